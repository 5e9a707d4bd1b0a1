#pragma once

// A reader's answers to a link's turns over a scripted device, so that tests
// reach a link's states through its own turns instead of writing them.

#include "protocol/proto_slave.h"
#include "support/frames.h"
#include "support/scripted_device.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace lorvent::testing {

// Turns the link, answering as its reader does (the token to every poll, and
// before it the acknowledgement of the link's reset request), until `done`
// holds or `mostTurns` have passed. Returns whether `done` holds.
bool AnswerTurnsUntil(TProtoSlave& link, ScriptedDevice& device, const std::function<bool()>& done,
                      int mostTurns = 40);

// Takes the link through its handshake: its address confirmed, awake after
// three replies, its reset acknowledged. It works from a new or a dead link.
bool Handshake(TProtoSlave& link, ScriptedDevice& device);

} // namespace lorvent::testing
