#include "proto_slave_dev.h"

#include "main_frm.h"
#include "protocol/protocol.h"

namespace lorvent {

TProtoSlaveDev::TProtoSlaveDev(TMainFrm& mainForm)
    : TProtoSlave(*mainForm.Engine(), mainForm.Engine()->LogSink()), reader(mainForm) {}

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
