#pragma once

#include "sim/reader_sim.h"
#include "support/hex.h"

#include <algorithm>
#include <string>
#include <vector>

namespace lorvent::sim::testing {

using lorvent::testing::Hex;
using lorvent::testing::ToHex;

// Master frames as they appear on the wire (worked examples, address 1).
inline const char* const kPoll = "C0 81";
inline const char* const kSetAddress1 = "C0 7F 83 01 FF FF FF FF 01 D2 88 C1";
inline const char* const kResetRequest = "C0 01 81 1E 83 C1";
inline const char* const kDataAcknowledge = "C0 01 00 03 06 00 87 7F C1"; // SEQ 0 ACK 0

// Reader frames, checked against an independent CRC computation.
inline const char* const kToken = "C0 81";
inline const char* const kResetAck = "C0 01 82 85 B1 C1";
inline const char* const kReaderResetRequest = "C0 01 81 1E 83 C1";
inline const char* const kAckOnly1 = "C0 01 7D E1 1A 7D E1 C1";
inline const char* const kAckOnly2 = "C0 01 C2 81 F3 C1";
inline const char* const kCard12345678Seq0Ack0 = "C0 01 00 83 81 12 34 56 78 F2 ED C1";
inline const char* const kCard12345678Seq0Ack1 = "C0 01 01 83 81 12 34 56 78 27 72 C1";

// A master frame for bytes before the CRC, for cases beyond the worked
// examples (the reader's CRC and framing are checked on their own).
inline Bytes MasterFrame(const std::string& beforeCrc) {
    Bytes packet = Hex(beforeCrc);
    AppendCrc(packet);
    return EncodeFrame(packet);
}

inline std::string Join(std::initializer_list<std::string> parts) {
    std::string all;
    for (const auto& part : parts)
        all += (all.empty() || part.empty() ? "" : " ") + part;
    return all;
}

// Feeds the master's bytes in chunks of `chunk` (0: all at once) and returns
// what the reader put on the line meanwhile.
inline std::string Exchange(TReaderSim& reader, const Bytes& master, std::size_t chunk = 0,
                            TimePoint now = {}) {
    if (chunk == 0)
        chunk = std::max<std::size_t>(master.size(), 1);
    for (std::size_t at = 0; at < master.size(); at += chunk)
        reader.Receive(master.data() + at, std::min(chunk, master.size() - at), now);
    return ToHex(reader.TakeOutput());
}

inline std::string Exchange(TReaderSim& reader, const Bytes& master, TimePoint now) {
    return Exchange(reader, master, 0, now);
}

inline std::string Exchange(TReaderSim& reader, const std::string& master, TimePoint now = {}) {
    return Exchange(reader, Hex(master), 0, now);
}

inline std::string Poll(TReaderSim& reader, TimePoint now = {}) {
    return Exchange(reader, kPoll, now);
}

// A reader at address 1 that has answered the master's reset.
inline void BringUp(TReaderSim& reader) {
    Exchange(reader, kSetAddress1);
    Exchange(reader, kResetRequest);
    Poll(reader);
}

inline TReaderSim BroughtUpReader() {
    TReaderSim reader;
    BringUp(reader);
    return reader;
}

// The Packets (CRC included) in a stretch of reader output, in order.
inline std::vector<Bytes> Frames(const std::string& wireHex) {
    TFrameDecoder decoder;
    std::vector<Bytes> frames;
    for (std::uint8_t byte : Hex(wireHex))
        if (decoder.Feed(byte) == TFrameDecoder::TResult::Frame)
            frames.push_back(decoder.FrameBytes());
    return frames;
}

} // namespace lorvent::sim::testing
