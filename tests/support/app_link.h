#pragma once

#include "protocol/proto_slave.h"
#include "protocol/protocol.h"
#include "support/hex.h"

#include <string>
#include <vector>

namespace lorvent::testing {

// The application's side of the link, as far as tests of the bus need it.
class AppLink : public TProtoSlave {
public:
    using TProtoSlave::TProtoSlave;
    ~AppLink() override { Protocol().UnregisterSlave(this); }

    void Send(const std::vector<std::uint8_t>& payload) {
        PutOutbound(
            std::make_unique<TProtoMessage>(payload.data(), static_cast<int>(payload.size())));
    }
    // Every inbound message as hex, markers included, in order.
    std::vector<std::string> Drain() {
        std::vector<std::string> messages;
        while (auto message = TakeInbound())
            messages.push_back(
                ToHex(message->bytes.get(), static_cast<std::size_t>(message->length)));
        return messages;
    }
};

} // namespace lorvent::testing
