#pragma once

#include "critical_section.h"
#include "frame_reader.h"

namespace lorvent {

struct Packet;
class TProtoSlave;

// What a reader link needs of the engine it is registered with (TProtocol):
// its place in the schedule, a bus address, the bus both ways (a reply is
// read byte by byte, as TByteReader) and the engine lock. The link sees no
// more of the engine, so that the engine may see the whole link without the
// two leaning on each other.
class TLinkEngine : public TByteReader {
public:
    virtual void RegisterSlave(TProtoSlave* slave) = 0;
    virtual void UnregisterSlave(TProtoSlave* slave) = 0;
    // The lowest bus address 1..126 that no registered link holds, or -1.
    virtual int AllocateAddress() = 0;
    // Frames the Packet and writes it with one device write; the count written or -1.
    virtual int SendPacket(const Packet& packet) = 0;
    virtual TCriticalSection& Lock() = 0;
};

} // namespace lorvent
