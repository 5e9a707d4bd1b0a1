#include "sim/wire.h"

namespace lorvent::sim {
namespace {

std::array<std::uint16_t, 256> MakeCrcTable() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < table.size(); ++i) {
        unsigned r = i;
        for (int bit = 0; bit < 8; ++bit)
            r = (r & 1) ? (r >> 1) ^ 0x8408 : r >> 1;
        table[i] = static_cast<std::uint16_t>(r);
    }
    return table;
}

const std::array<std::uint16_t, 256> kCrcTable = MakeCrcTable();

bool NeedsEscape(std::uint8_t byte) {
    return byte == kFlagStart || byte == kFlagEnd || byte == kFlagEscape;
}

} // namespace

std::uint16_t CrcUpdate(std::uint16_t crc, const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        crc = static_cast<std::uint16_t>(kCrcTable[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8));
    return crc;
}

std::uint16_t CrcOf(const std::uint8_t* bytes, std::size_t count) {
    return static_cast<std::uint16_t>(~CrcUpdate(kCrcInit, bytes, count));
}

void AppendCrc(Bytes& packet) {
    const std::uint16_t crc = CrcOf(packet.data(), packet.size());
    packet.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    packet.push_back(static_cast<std::uint8_t>(crc >> 8));
}

bool CrcIntact(const std::uint8_t* packet, std::size_t count) {
    return CrcUpdate(kCrcInit, packet, count) == kCrcResidue;
}

Bytes EncodeFrame(const Bytes& packet) {
    Bytes frame;
    frame.reserve(2 * packet.size() + 2);
    frame.push_back(kFlagStart);
    for (std::uint8_t byte : packet) {
        if (NeedsEscape(byte)) {
            frame.push_back(kFlagEscape);
            frame.push_back(static_cast<std::uint8_t>(byte ^ kEscapeMask));
        } else {
            frame.push_back(byte);
        }
    }
    if (packet.empty() || !(packet.front() & kTokenBit))
        frame.push_back(kFlagEnd);
    return frame;
}

void TFrameDecoder::Reset() {
    size_ = 0;
    inFrame_ = false;
    escaped_ = false;
    overflow_ = false;
}

TFrameDecoder::TResult TFrameDecoder::StartFrame() {
    const bool cutShort = inFrame_ && (size_ > 0 || overflow_);
    Reset();
    inFrame_ = true;
    return cutShort ? TResult::Truncated : TResult::None;
}

TFrameDecoder::TResult TFrameDecoder::Feed(std::uint8_t byte) {
    if (byte == kFlagStart)
        return StartFrame();
    if (!inFrame_)
        return TResult::None; // line noise between frames
    if (byte == kFlagEnd) {
        const bool oversize = overflow_;
        const bool empty = size_ == 0;
        inFrame_ = false;
        escaped_ = false;
        overflow_ = false;
        if (oversize)
            return TResult::Oversize;
        return empty ? TResult::None : TResult::Frame;
    }
    if (byte == kFlagEscape) {
        escaped_ = true; // a second escape only renews the first
        return TResult::None;
    }
    if (escaped_) {
        byte ^= kEscapeMask;
        escaped_ = false;
    }
    return Store(byte);
}

TFrameDecoder::TResult TFrameDecoder::Store(std::uint8_t byte) {
    if (size_ == 0 && !overflow_ && (byte & kTokenBit)) {
        buffer_[0] = byte;
        size_ = 1;
        inFrame_ = false; // a token is complete in itself
        return TResult::Frame;
    }
    if (size_ == buffer_.size()) {
        overflow_ = true;
        return TResult::None;
    }
    buffer_[size_++] = byte;
    return TResult::None;
}

} // namespace lorvent::sim
