#pragma once

#include <cstdint>
#include <deque>
#include <memory>

namespace lorvent {

// A counted byte record: a reader's payload, a reader command, or the link
// layer's wake (0xA0) and die (0xA1) markers. The bytes are copied in.
class TProtoMessage {
public:
    TProtoMessage(const std::uint8_t* source, std::int32_t count);
    TProtoMessage(const TProtoMessage&) = delete;
    TProtoMessage& operator=(const TProtoMessage&) = delete;

    std::int32_t length;
    std::unique_ptr<std::uint8_t[]> bytes;
};

inline constexpr std::uint8_t kWakeMarker = 0xA0;
inline constexpr std::uint8_t kDieMarker = 0xA1;

// A FIFO of owned records: added at the back, taken from the front, unbounded.
using MessageQueue = std::deque<std::unique_ptr<TProtoMessage>>;

} // namespace lorvent
