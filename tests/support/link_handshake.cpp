#include "support/link_handshake.h"

#include "protocol/packet.h"

namespace lorvent::testing {
namespace {

std::vector<std::uint8_t> Token(int address) {
    Packet packet;
    BuildToken(packet, address);
    return Framed(packet);
}

std::vector<std::uint8_t> ResetRequest(int address) {
    Packet packet;
    BuildResetRequest(packet, address);
    return Framed(packet);
}

std::vector<std::uint8_t> ResetAck(int address) {
    Packet packet;
    BuildResetAck(packet, address);
    return Framed(packet);
}

} // namespace

bool AnswerTurnsUntil(TProtoSlave& link, ScriptedDevice& device, const std::function<bool()>& done,
                      int mostTurns) {
    const int address = link.Address();
    bool resetRequested = false;
    device.onWrite = [&](const std::vector<std::uint8_t>& frame) {
        if (frame == ResetRequest(address)) {
            resetRequested = true;
        } else if (frame == Token(address)) {
            if (resetRequested)
                device.Feed(ResetAck(address));
            resetRequested = false;
            device.Feed(Token(address));
        }
    };
    for (int turn = 0; turn < mostTurns && !done(); ++turn)
        link.Turn();
    device.onWrite = nullptr;
    return done();
}

bool Handshake(TProtoSlave& link, ScriptedDevice& device) {
    return AnswerTurnsUntil(link, device, [&] {
        return link.LinkState() == kLinkAlive && !link.AddressPending() && !link.ResetPending();
    });
}

} // namespace lorvent::testing
