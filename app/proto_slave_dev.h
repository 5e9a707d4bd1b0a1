#pragma once

#include "protocol/proto_slave.h"

namespace lorvent {

class TMainFrm;

// The window's own reader object: announces every record it receives to the
// window and, when its own outbound queue is empty, sends the window's reader
// commands. Notify and NextOutbound run on the protocol thread.
class TProtoSlaveDev : public TProtoSlave {
public:
    // Registers with the window's engine, logging to the engine's sink.
    explicit TProtoSlaveDev(TMainFrm& mainForm);
    // Withdraws from the engine before this object starts to come apart: the
    // base class does so only after this part is gone, and a turn in between
    // would call the overrides of a half-destroyed object.
    ~TProtoSlaveDev() override;

    std::unique_ptr<TProtoMessage> NextOutbound() override;
    void Notify() override;

    TMainFrm& reader;
};

} // namespace lorvent
