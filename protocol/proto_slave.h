#pragma once

#include "clock.h"
#include "critical_section.h"
#include "link_engine.h"
#include "proto_message.h"
#include "text_log.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace lorvent {

class TProtocol;

enum TLinkState : std::uint8_t { kLinkAlive = 0, kLinkDead = 1, kLinkNew = 2 };

inline constexpr int kPollIntervalAlive = 20;
inline constexpr int kPollIntervalSlow = 100;
inline constexpr int kPollIntervalIdle = 200;
inline constexpr int kReplyFrameBudget = 10;

// The master's side of the link to one reader: its address and identifier,
// sequence and acknowledge numbers, the reset handshake, the new/alive/dead
// judgement and the queues of payloads in both directions.
class TProtoSlave {
public:
    // Registers the link with the engine; it is scheduled at once but does
    // nothing until Init.
    TProtoSlave(TLinkEngine& protocol, TTextMessageQueue* logSink);
    // Unregisters first (no turn can follow), then frees the queued messages.
    // A subclass whose overrides use its own members unregisters in its own
    // destructor already (UnregisterSlave may be called twice), so that no
    // turn reaches it half destroyed.
    virtual ~TProtoSlave();
    TProtoSlave(const TProtoSlave&) = delete;
    TProtoSlave& operator=(const TProtoSlave&) = delete;

    // Virtual operations, in their slot order.
    virtual int Deliver(const std::uint8_t* bytes, int count);
    virtual std::unique_ptr<TProtoMessage> NextOutbound();
    virtual int Log(std::uint8_t level, const char* format, ...);
    virtual void Dies();
    virtual void Wakes();
    virtual void Notify() {}

    // Gives the link its identity and starts it. A negative address asks the
    // engine for a free one; throws std::runtime_error("Can't allocate slave
    // address") when there is none.
    bool Init(std::uint32_t identifier, int address);

    // One exchange on the bus; the engine calls it with its lock held.
    void Turn();
    // -1 invalid reply, 0 the reader's token (end of reply), 1 valid, read on.
    int Judge(const std::uint8_t* frame, int count);
    // Applies an acknowledge number from the reader: 1, or -1 when it claims
    // more than is outstanding.
    int Acknowledge(int ack);

    // GUI thread: the oldest inbound message, or null.
    std::unique_ptr<TProtoMessage> TakeInbound();
    // GUI thread: empties outbound, and outstanding unless it has gone out
    // since the numbers last started from zero; serialised with the protocol
    // thread (engine lock, then the link's lock).
    void DiscardOutput();

    // Application side: queues a payload to be sent as a data Packet.
    void PutOutbound(std::unique_ptr<TProtoMessage> message);

    // The link's state as the application and tests see it, from any thread:
    // each takes the lock that guards it, the engine's for the turn state and
    // the payloads in flight, the link's own for its queues.
    int Window() const;
    int WakeThreshold() const;
    int DieThreshold() const;
    int SendSeq() const;
    int RecvSeq() const;
    bool AddressPending() const;
    bool ResetPending() const;
    bool ResetAckPending() const;
    bool AckPending() const;
    bool PollNext() const;
    std::uint8_t LinkState() const;
    std::uint32_t Identifier() const;
    int Address() const;
    int ReplyCounter() const;
    TPollTime NextPollTime() const;
    int PollInterval() const;
    bool Active() const;
    std::size_t OutstandingCount() const;
    // Copies of the payloads sent and not yet acknowledged, oldest first.
    std::vector<std::vector<std::uint8_t>> OutstandingPayloads() const;
    std::size_t OutboundCount() const;

protected:
    // For a subclass that withdraws from the engine in its own destructor.
    TLinkEngine& Protocol() const { return protocol; }

private:
    // The engine schedules its links by these, under its own lock.
    friend class TProtocol;

    template <typename T> T UnderEngineLock(const T& field) const;
    int window = 1;
    int wakeThreshold = 2;
    int dieThreshold = 4;
    int sendSeq = 0;
    int recvSeq = 0;
    bool addressPending = false;
    bool resetPending = false;
    bool resetAckPending = false;
    bool ackPending = false;
    // What is outstanding went out under the present sequence numbers.
    bool outstandingSent = false;
    bool pollNext = false;
    std::uint8_t linkState = kLinkNew;
    std::uint32_t identifier = 0;
    int address = 0;
    int replyCounter = 0;
    TLinkEngine& protocol;
    MessageQueue outbound;
    MessageQueue outstanding;
    MessageQueue inbound;
    TTextMessageQueue* logSink;
    TPollTime nextPollTime = 0;
    int pollInterval = kPollIntervalIdle;
    bool active = false;
    mutable TCriticalSection lock;

    void Poll();
    void SendData(const TProtoMessage& payload, int sequence);
    void JudgeReplyFrame(const std::uint8_t* frame, int count, int& replies, bool& ended);
    void UpdateLinkState(bool replied);
    int JudgeData(const std::uint8_t* frame, int count);
    void DeliverMarker(std::uint8_t marker);
};

} // namespace lorvent
