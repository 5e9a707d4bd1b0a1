#pragma once

#include "protocol/proto_slave.h"

namespace lorvent {

class TProtocol;

// What the reader object needs of its window; both run on the protocol thread.
class TReaderHost {
public:
    virtual ~TReaderHost() = default;
    // The next command for the reader, or null.
    virtual std::unique_ptr<TProtoMessage> NextReaderCommand() = 0;
    // Announces a received record to the GUI thread.
    virtual void PostProtocolMessage() = 0;
};

// The window's own reader object: announces every record it receives to the
// window and, when its own outbound queue is empty, sends the window's reader
// commands. Notify and NextOutbound run on the protocol thread.
class TProtoSlaveDev : public TProtoSlave {
public:
    // Registers with the engine, logging to the engine's sink.
    TProtoSlaveDev(TProtocol& engine, TReaderHost& host);
    // Withdraws from the engine before this object starts to come apart: the
    // base class does so only after this part is gone, and a turn in between
    // would call the overrides of a half-destroyed object.
    ~TProtoSlaveDev() override;

    std::unique_ptr<TProtoMessage> NextOutbound() override;
    void Notify() override;

    TReaderHost& reader;
};

} // namespace lorvent
