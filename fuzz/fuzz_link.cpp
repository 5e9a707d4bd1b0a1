// The reader link judging arbitrary replies: a TProtoSlave registered with a
// TProtocol over a scripted bus device, stepped pass by pass.
//
// Input: a run of operations, each one byte whose low 3 bits choose it:
//   0  a reply frame: a length byte (0..34) and that many Packet bytes; the
//      CRC is computed and appended (not to a token), so mutations reach the
//      judging instead of dying at the CRC check
//   1  a reply frame taken as it is: a length byte (0..36) and the bytes, CRC
//      included or not
//   2  a frame too long for a Packet: 37 + (length byte % 40) bytes
//   3  line noise without a start flag: top 5 bits + 1 bytes
//   4  engine passes: top 5 bits % 4 + 1 of them, each a little later
//   5  a payload for the reader: a length byte (0..39) and the bytes
//   6  the next device read (bit 3 clear) or write (set) fails
//   7  the application takes what arrived (bit 3 clear) or discards its
//      output (set), as it does on the wake marker
// Frames go onto the line at once and are read by the next polls.
//
// Checked: the numbers stay in 0..7, at most `window` payloads are
// outstanding, no frame is delivered twice or unless it was intact and in
// sequence, a delivery carries exactly the frame's payload, every frame the
// master writes is a well-formed intact Packet, and no buffer is overrun.

#include "fuzz/fuzz_check.h"
#include "protocol/packet.h"
#include "protocol/proto_slave.h"
#include "protocol/protocol.h"
#include "support/device_doubles.h"
#include "support/engine_setup.h"
#include "support/fake_clock.h"
#include "support/recording_log.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <vector>

namespace lorvent {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kNotAFrame = -1;

// A frame on the line: the Packet bytes the reader should return for it, or
// none for noise and oversize frames, which must never be judged.
struct LineFrame {
    Bytes packet;
};

struct LineByte {
    std::uint8_t value;
    int frame; // index into the frames, or kNotAFrame
};

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ == size_; }
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    Bytes Take(std::size_t count) {
        Bytes bytes;
        while (count-- > 0 && at_ < size_)
            bytes.push_back(data_[at_++]);
        return bytes;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Checks a frame the master wrote: start flag, escaped body, end flag unless
// a token, and an intact CRC.
void CheckMasterFrame(const std::uint8_t* frame, std::uint32_t length) {
    FUZZ_CHECK(length >= 2 && length <= 2 + 2 * kPacketCapacity);
    FUZZ_CHECK(frame[0] == kStartFlag);
    Bytes packet;
    bool escaped = false;
    for (std::uint32_t i = 1; i < length; ++i) {
        const std::uint8_t byte = frame[i];
        if (byte == kEndFlag) {
            FUZZ_CHECK(i == length - 1 && !escaped);
            break;
        }
        FUZZ_CHECK(byte != kStartFlag);
        if (byte == kEscape) {
            FUZZ_CHECK(!escaped);
            escaped = true;
            continue;
        }
        packet.push_back(escaped ? static_cast<std::uint8_t>(byte ^ kEscapeXor) : byte);
        escaped = false;
    }
    FUZZ_CHECK(!packet.empty() && packet.size() <= static_cast<std::size_t>(kPacketCapacity));
    const bool token = IsToken(packet[0]);
    FUZZ_CHECK(token == (frame[length - 1] != kEndFlag));
    if (token)
        FUZZ_CHECK(packet.size() == 1);
    else
        FUZZ_CHECK(CheckReceivedFrame(packet.data(), static_cast<int>(packet.size())) ==
                   static_cast<int>(packet.size()) - 2);
}

class FuzzDevice : public testing::TAcceptingDevice {
public:
    FT_STATUS FT_Open(int, FT_HANDLE* handle) override {
        *handle = &token_;
        return FT_OK;
    }
    FT_STATUS FT_Close(FT_HANDLE) override { return FT_OK; }
    FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t length,
                      std::uint32_t* bytesRead) override {
        *bytesRead = 0;
        if (handle == nullptr)
            return FT_INVALID_HANDLE;
        if (failNextRead) {
            failNextRead = false;
            return FT_IO_ERROR;
        }
        auto* out = static_cast<std::uint8_t*>(buffer);
        while (*bytesRead < length && !line.empty()) {
            out[(*bytesRead)++] = line.front().value;
            lastFrame = line.front().frame;
            line.pop_front();
        }
        return FT_OK;
    }
    FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t length,
                       std::uint32_t* bytesWritten) override {
        *bytesWritten = 0;
        if (handle == nullptr)
            return FT_INVALID_HANDLE;
        if (failNextWrite) {
            failNextWrite = false;
            return FT_IO_ERROR;
        }
        CheckMasterFrame(static_cast<const std::uint8_t*>(buffer), length);
        *bytesWritten = length;
        return FT_OK;
    }

    std::deque<LineByte> line;
    int lastFrame = kNotAFrame; // the frame of the byte read last
    bool failNextRead = false;
    bool failNextWrite = false;

private:
    int token_ = 0;
};

// The link under test, checking each delivery against the frame it came from.
class CheckedLink : public TProtoSlave {
public:
    CheckedLink(TProtocol& engine, TTextMessageQueue* log, const FuzzDevice& device,
                const std::vector<LineFrame>& frames)
        : TProtoSlave(engine, log), device_(device), frames_(frames) {}
    ~CheckedLink() override { Protocol().UnregisterSlave(this); }

    int Deliver(const std::uint8_t* bytes, int count) override {
        if (marker_ != 0) {
            FUZZ_CHECK(count == 1 && bytes[0] == marker_);
        } else {
            CheckPayload(bytes, count);
        }
        return TProtoSlave::Deliver(bytes, count);
    }
    void Wakes() override {
        FUZZ_CHECK(LinkState() != kLinkAlive);
        marker_ = kWakeMarker;
        TProtoSlave::Wakes();
        marker_ = 0;
    }
    void Dies() override {
        FUZZ_CHECK(LinkState() != kLinkDead);
        marker_ = kDieMarker;
        TProtoSlave::Dies();
        marker_ = 0;
    }

private:
    // A payload comes from the intact frame just read, once, and is exactly
    // the bytes behind its control byte (a data Packet in sequence) or behind
    // its sub-type byte (a connectionless message).
    void CheckPayload(const std::uint8_t* bytes, int count) {
        const int index = device_.lastFrame;
        FUZZ_CHECK(index != kNotAFrame);
        const Bytes& packet = frames_[static_cast<std::size_t>(index)].packet;
        const int size = static_cast<int>(packet.size());
        FUZZ_CHECK(!packet.empty() && !IsToken(packet[0]));
        FUZZ_CHECK(CheckReceivedFrame(packet.data(), size) == size - 2);
        FUZZ_CHECK((packet[0] & 0x7F) == Address());
        const std::uint8_t control = packet[1];
        int skip = 0;
        if (control <= 0x7F) {
            FUZZ_CHECK(!ResetPending());
            FUZZ_CHECK(((control >> 4) & 7) == RecvSeq());
            FUZZ_CHECK(delivered_.insert(index).second);
            skip = 2;
        } else {
            FUZZ_CHECK(control == kConnectionless);
            skip = 3;
        }
        FUZZ_CHECK(count == size - 2 - skip);
        for (int i = 0; i < count; ++i)
            FUZZ_CHECK(bytes[i] == packet[static_cast<std::size_t>(skip + i)]);
    }

    const FuzzDevice& device_;
    const std::vector<LineFrame>& frames_;
    std::set<int> delivered_;
    std::uint8_t marker_ = 0;
};

void PutOnLine(FuzzDevice& device, const Bytes& wire, int frame) {
    for (std::uint8_t byte : wire)
        device.line.push_back({byte, frame});
}

// Frames a Packet the way a reader does: escaped, end flag unless a token.
Bytes Frame(const Bytes& packet) {
    Bytes wire{kStartFlag};
    for (std::uint8_t byte : packet) {
        if (byte == kStartFlag || byte == kEndFlag || byte == kEscape) {
            wire.push_back(kEscape);
            wire.push_back(static_cast<std::uint8_t>(byte ^ kEscapeXor));
        } else {
            wire.push_back(byte);
        }
    }
    if (packet.empty() || !IsToken(packet[0]))
        wire.push_back(kEndFlag);
    return wire;
}

void AddFrame(FuzzDevice& device, std::vector<LineFrame>& frames, Bytes packet) {
    if (packet.empty())
        return;
    if (IsToken(packet[0]))
        packet.resize(1); // a token ends with its first byte
    frames.push_back({packet});
    PutOnLine(device, Frame(packet), static_cast<int>(frames.size()) - 1);
}

// The Packet with its CRC appended, as an intact reply carries it; a token
// has none.
Bytes WithCrc(Bytes packet) {
    if (packet.empty() || IsToken(packet[0]))
        return packet;
    const std::uint16_t crc = static_cast<std::uint16_t>(
        ~Crc16(kCrcPreset, packet.data(), static_cast<int>(packet.size())));
    packet.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    packet.push_back(static_cast<std::uint8_t>(crc >> 8));
    return packet;
}

void CheckLinkInvariants(const CheckedLink& link) {
    FUZZ_CHECK(link.SendSeq() >= 0 && link.SendSeq() <= 7);
    FUZZ_CHECK(link.RecvSeq() >= 0 && link.RecvSeq() <= 7);
    FUZZ_CHECK(link.LinkState() == kLinkAlive || link.LinkState() == kLinkDead ||
               link.LinkState() == kLinkNew);
    FUZZ_CHECK(link.OutstandingCount() <= static_cast<std::size_t>(link.Window()));
    FUZZ_CHECK(link.ReplyCounter() >= -link.DieThreshold() - 1 &&
               link.ReplyCounter() <= link.WakeThreshold() + 1);
    FUZZ_CHECK(link.PollInterval() == kPollIntervalAlive ||
               link.PollInterval() == kPollIntervalSlow ||
               link.PollInterval() == kPollIntervalIdle);
    for (const auto& payload : link.OutstandingPayloads())
        FUZZ_CHECK(payload.size() <= static_cast<std::size_t>(kMaxPayload));
}

} // namespace
} // namespace lorvent

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lorvent;
    auto ownedDevice = std::make_unique<FuzzDevice>();
    FuzzDevice& device = *ownedDevice;
    auto clock = std::make_shared<testing::FakeClock>();
    testing::DiscardingLog log;
    TProtocol engine(testing::SteppedEngineSetup(std::move(ownedDevice), log, clock));
    FUZZ_CHECK(engine.Open("", ""));

    std::vector<LineFrame> frames;
    CheckedLink link(engine, &log, device, frames);
    link.Init(0xFFFFFFFF, 1);

    FuzzInput input(data, size);
    while (!input.Empty()) {
        const std::uint8_t op = input.Byte();
        switch (op & 7) {
        case 0: {
            AddFrame(device, frames, WithCrc(input.Take(input.Byte() % 35)));
            break;
        }
        case 1:
            AddFrame(device, frames, input.Take(input.Byte() % 37));
            break;
        case 2: {
            Bytes packet = input.Take(37 + input.Byte() % 40);
            if (packet.size() > static_cast<std::size_t>(kPacketCapacity))
                PutOnLine(device, Frame(packet), kNotAFrame);
            break;
        }
        case 3: {
            Bytes noise = input.Take((op >> 3) + 1u);
            for (auto& byte : noise)
                if (byte == kStartFlag)
                    byte = static_cast<std::uint8_t>(byte + 2);
            PutOnLine(device, noise, kNotAFrame);
            break;
        }
        case 4:
            for (int pass = 0; pass <= (op >> 3) % 4; ++pass) {
                clock->Advance(kPollIntervalIdle);
                engine.RunPass();
                CheckLinkInvariants(link);
            }
            break;
        case 5: {
            const Bytes payload = input.Take(input.Byte() % 40);
            link.PutOutbound(
                std::make_unique<TProtoMessage>(payload.data(), static_cast<int>(payload.size())));
            break;
        }
        case 6:
            (op & 8 ? device.failNextWrite : device.failNextRead) = true;
            break;
        default:
            if (op & 8)
                link.DiscardOutput();
            else
                while (link.TakeInbound()) {
                }
            break;
        }
        CheckLinkInvariants(link);
    }
    return 0;
}
