#include "proto_slave_dev.h"

#include "protocol/protocol.h"

namespace lorvent {

TProtoSlaveDev::TProtoSlaveDev(TProtocol& engine, TReaderHost& host)
    : TProtoSlave(engine, engine.LogSink()), reader(host) {}

TProtoSlaveDev::~TProtoSlaveDev() {
    Protocol().UnregisterSlave(this);
}

std::unique_ptr<TProtoMessage> TProtoSlaveDev::NextOutbound() {
    if (auto queued = TProtoSlave::NextOutbound())
        return queued;
    return reader.NextReaderCommand();
}

void TProtoSlaveDev::Notify() {
    reader.PostProtocolMessage();
}

} // namespace lorvent
