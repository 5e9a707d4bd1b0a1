#include "proto_message.h"

#include <algorithm>

namespace lorvent {

TProtoMessage::TProtoMessage(const std::uint8_t* source, std::int32_t count)
    : length(count < 0 ? 0 : count),
      bytes(std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(length))) {
    if (length > 0)
        std::copy_n(source, length, bytes.get());
}

} // namespace lorvent
