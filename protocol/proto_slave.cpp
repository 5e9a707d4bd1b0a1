#include "proto_slave.h"

#include "frame_reader.h"
#include "packet.h"

#include <stdexcept>

namespace lorvent {

namespace {
constexpr int kAllOnesAddress = -1; // masked to the broadcast address 0x7F
constexpr int kSlowAfterMissedPolls = 2;

int Modulo8(int value) {
    return value & 7;
}
} // namespace

TProtoSlave::TProtoSlave(TLinkEngine& protocol_, TTextMessageQueue* logSink_)
    : protocol(protocol_), logSink(logSink_) {
    protocol.RegisterSlave(this);
}

TProtoSlave::~TProtoSlave() {
    protocol.UnregisterSlave(this);
    LockCS guard(lock);
    inbound.clear();
    outstanding.clear();
    outbound.clear();
}

int TProtoSlave::Deliver(const std::uint8_t* bytes, int count) {
    {
        LockCS guard(lock);
        inbound.push_back(std::make_unique<TProtoMessage>(bytes, count));
    }
    Notify();
    return 1;
}

std::unique_ptr<TProtoMessage> TProtoSlave::NextOutbound() {
    LockCS guard(lock);
    if (outbound.empty())
        return nullptr;
    auto message = std::move(outbound.front());
    outbound.pop_front();
    return message;
}

int TProtoSlave::Log(std::uint8_t level, const char* format, ...) {
    if (logSink == nullptr)
        return 1;
    std::va_list arguments;
    va_start(arguments, format);
    std::string text = FormatText(format, arguments);
    va_end(arguments);
    const std::string category = "S" + std::to_string(address);
    // Every log producer holds the engine lock, so entries never interleave.
    LockCS guard(protocol.Lock());
    logSink->Put(std::make_unique<TTextMessage>(level, std::move(text), category));
    return 1;
}

void TProtoSlave::Wakes() {
    Log(kLevelTrace, "Slave wakes");
    DeliverMarker(kWakeMarker);
    linkState = kLinkAlive;
    replyCounter = 0;
    pollInterval = kPollIntervalAlive;
}

void TProtoSlave::Dies() {
    Log(kLevelTrace, "Slave dies");
    addressPending = true;
    recvSeq = 0;
    sendSeq = 0;
    outstandingSent = false;
    resetPending = true;
    DeliverMarker(kDieMarker);
    linkState = kLinkDead;
    replyCounter = 0;
    pollInterval = kPollIntervalIdle;
}

void TProtoSlave::DeliverMarker(std::uint8_t marker) {
    Deliver(&marker, 1);
}

bool TProtoSlave::Init(std::uint32_t identifier_, int address_) {
    // Made under the engine lock, so the protocol thread sees them complete.
    LockCS guard(protocol.Lock());
    if (address_ < 0)
        address_ = protocol.AllocateAddress();
    if (address_ < 0)
        throw std::runtime_error("Can't allocate slave address");
    sendSeq = 0;
    recvSeq = 0;
    resetPending = true;
    resetAckPending = false;
    outstandingSent = false;
    addressPending = true;
    pollNext = false;
    linkState = kLinkNew;
    replyCounter = 0;
    identifier = identifier_;
    address = address_;
    pollInterval = kPollIntervalIdle;
    active = true;
    return true;
}

void TProtoSlave::Turn() {
    if (!active)
        return;
    if (pollNext) {
        pollNext = false;
        Poll();
        return;
    }
    Packet packet;
    if (addressPending) {
        BuildSetAddress(packet, kAllOnesAddress, identifier, address);
        protocol.SendPacket(packet);
        pollNext = true;
        return;
    }
    if (linkState != kLinkAlive) {
        Poll();
        return;
    }
    if (resetAckPending) {
        BuildResetAck(packet, address);
        protocol.SendPacket(packet);
        resetAckPending = false;
        pollNext = true;
        return;
    }
    if (resetPending) {
        BuildResetRequest(packet, address);
        protocol.SendPacket(packet);
        pollNext = true;
        return;
    }
    if (!outstanding.empty()) {
        SendData(*outstanding.front(), sendSeq);
        outstandingSent = true;
        ackPending = false;
        pollNext = true;
        return;
    }
    int sent = 0;
    while (sent < window) {
        auto payload = NextOutbound();
        if (!payload)
            break;
        if (payload->length > kMaxPayload) {
            // No Packet can carry it; sending a cut one would corrupt the command.
            Log(kLevelWarn, "Outbound payload too long (%d bytes)", payload->length);
            continue;
        }
        SendData(*payload, sendSeq + sent);
        outstanding.push_back(std::move(payload));
        ++sent;
    }
    if (sent > 0) {
        outstandingSent = true;
        pollNext = true;
        ackPending = false;
    } else if (ackPending) {
        BuildAck(packet, address, recvSeq);
        protocol.SendPacket(packet);
        ackPending = false;
    } else {
        Poll();
    }
}

void TProtoSlave::SendData(const TProtoMessage& payload, int sequence) {
    Packet packet;
    BuildData(packet, address, sequence, recvSeq, payload.bytes.get(), payload.length);
    protocol.SendPacket(packet);
}

void TProtoSlave::Poll() {
    Packet token;
    BuildToken(token, address);
    protocol.SendPacket(token);

    int replies = 0;
    int budget = kReplyFrameBudget;
    for (;;) {
        FrameBuffer frame{};
        int length = 0;
        const int result = ReadFrame(protocol, frame, length);
        if (result == 0)
            break;
        if (--budget == 0)
            break; // read from the line, but past what one reply may hold
        if (result < 0)
            continue;
        bool ended = false;
        JudgeReplyFrame(frame.data(), result, replies, ended);
        if (ended)
            break;
    }
    UpdateLinkState(replies > 0);
}

// A frame that fails its CRC is dropped after the log line: judging it could
// deliver a corrupted card number, and it is no proof that the reader answered.
void TProtoSlave::JudgeReplyFrame(const std::uint8_t* frame, int count, int& replies, bool& ended) {
    const int judgedCount = CheckReceivedFrame(frame, count);
    if (judgedCount < 0) {
        Log(kLevelWarn, "Packet with invalid CRC");
        return;
    }
    const int verdict = Judge(frame, judgedCount);
    if (verdict >= 0)
        ++replies;
    ended = verdict == 0;
}

namespace {
// Bytes a frame of its kind needs, CRC excluded: the address of a token; the
// address and control byte of others; and the sub-type byte of an 0x83 message.
int MinimumLength(const std::uint8_t* frame, int count) {
    if (IsToken(frame[0]))
        return 1;
    if (count < 2)
        return 2;
    return frame[1] == kConnectionless ? 3 : 2;
}
} // namespace

int TProtoSlave::Judge(const std::uint8_t* frame, int count) {
    if (count < 1)
        return -1;
    if (count < MinimumLength(frame, count)) {
        Log(kLevelWarn, "Packet too short (%d bytes)", count);
        return -1;
    }
    const int from = frame[0] & 0x7F;
    if (from != address) {
        Log(kLevelWarn, "Reply from invalid slave 0x%02x", from);
        return -1;
    }
    if (addressPending) {
        Log(kLevelTrace, "Address set to %02x", address);
        addressPending = false;
    }
    if (IsToken(frame[0]))
        return 0;

    const std::uint8_t control = frame[1];
    if (control <= 0x7F)
        return JudgeData(frame, count);
    if (control == kResetRequest) {
        Log(kLevelTrace, "Slave requested sequence reset");
        sendSeq = 0;
        recvSeq = 0;
        outstandingSent = false;
        resetAckPending = true;
        resetPending = false;
        ackPending = false;
        return 1;
    }
    if (control == kResetAck) {
        Log(kLevelTrace, "Slave acknowledged reset");
        resetPending = false;
        return 1;
    }
    if (control == kConnectionless) {
        Deliver(frame + 3, count - 3);
        return 1;
    }
    if (control >= 0xC0 && control <= 0xC7)
        return Acknowledge(control & 7);
    if (control >= 0xC8) {
        Log(kLevelWarn, "Invalid controll 0x%02x", control);
        return -1;
    }
    Log(kLevelWarn, "Unknown control 0x%02x", control);
    return -1;
}

int TProtoSlave::JudgeData(const std::uint8_t* frame, int count) {
    if (resetPending) {
        Log(kLevelWarn, "Data packet received when reset pending");
        return 1;
    }
    const int sequence = (frame[1] >> 4) & 7;
    const int ack = frame[1] & 7;
    if (sequence == recvSeq) {
        if (Deliver(frame + 2, count - 2) > 0)
            recvSeq = Modulo8(recvSeq + 1);
        ackPending = true;
        return Acknowledge(ack);
    }
    ackPending = true;
    if (sequence == Modulo8(recvSeq - 1)) {
        Acknowledge(ack);
        Log(kLevelWarn, "Repeated SEQ from slave");
        return -1;
    }
    Log(kLevelWarn, "Unexpected SEQ from slave");
    return -1;
}

int TProtoSlave::Acknowledge(int ack) {
    const int acknowledged = Modulo8(ack - sendSeq);
    if (acknowledged == 0)
        return 1;
    if (acknowledged > static_cast<int>(outstanding.size())) {
        Log(kLevelWarn, "Slave is acking more than window");
        return -1;
    }
    outstanding.erase(outstanding.begin(), outstanding.begin() + acknowledged);
    sendSeq = Modulo8(sendSeq + acknowledged);
    return 1;
}

void TProtoSlave::UpdateLinkState(bool replied) {
    switch (linkState) {
    case kLinkAlive:
        if (replied) {
            pollInterval = kPollIntervalAlive;
            replyCounter = 0;
            return;
        }
        Log(kLevelWarn, "No reply from slave");
        if (--replyCounter < -dieThreshold)
            Dies();
        else if (replyCounter < -kSlowAfterMissedPolls)
            pollInterval = kPollIntervalSlow;
        return;
    case kLinkDead:
        if (!replied) {
            addressPending = true;
            replyCounter = 0;
            return;
        }
        Log(kLevelMessage, "Reply from slave");
        if (++replyCounter > wakeThreshold)
            Wakes();
        return;
    default: // new
        if (replied) {
            Log(kLevelMessage, "Reply from slave");
            if (replyCounter < 0)
                replyCounter = 0;
            else if (++replyCounter > wakeThreshold)
                Wakes();
            return;
        }
        Log(kLevelMessage, "No reply from slave");
        if (replyCounter > 0)
            replyCounter = 0;
        else if (--replyCounter < -dieThreshold)
            Dies();
        return;
    }
}

std::unique_ptr<TProtoMessage> TProtoSlave::TakeInbound() {
    LockCS guard(lock);
    if (inbound.empty())
        return nullptr;
    auto message = std::move(inbound.front());
    inbound.pop_front();
    return message;
}

// A payload that went out under the present numbers stays until the reader
// acknowledges it: the reader may have it, and forgetting it would leave
// sendSeq one behind the reader's count, so that the reader took the next
// command for a repeat and dropped it.
void TProtoSlave::DiscardOutput() {
    LockCS engine(protocol.Lock());
    LockCS mine(lock);
    outbound.clear();
    if (!outstandingSent)
        outstanding.clear();
}

void TProtoSlave::PutOutbound(std::unique_ptr<TProtoMessage> message) {
    LockCS guard(lock);
    outbound.push_back(std::move(message));
}

// ---- The state as others see it ----

template <typename T> T TProtoSlave::UnderEngineLock(const T& field) const {
    LockCS guard(protocol.Lock());
    return field;
}

int TProtoSlave::Window() const {
    return UnderEngineLock(window);
}
int TProtoSlave::WakeThreshold() const {
    return UnderEngineLock(wakeThreshold);
}
int TProtoSlave::DieThreshold() const {
    return UnderEngineLock(dieThreshold);
}
int TProtoSlave::SendSeq() const {
    return UnderEngineLock(sendSeq);
}
int TProtoSlave::RecvSeq() const {
    return UnderEngineLock(recvSeq);
}
bool TProtoSlave::AddressPending() const {
    return UnderEngineLock(addressPending);
}
bool TProtoSlave::ResetPending() const {
    return UnderEngineLock(resetPending);
}
bool TProtoSlave::ResetAckPending() const {
    return UnderEngineLock(resetAckPending);
}
bool TProtoSlave::AckPending() const {
    return UnderEngineLock(ackPending);
}
bool TProtoSlave::PollNext() const {
    return UnderEngineLock(pollNext);
}
std::uint8_t TProtoSlave::LinkState() const {
    return UnderEngineLock(linkState);
}
std::uint32_t TProtoSlave::Identifier() const {
    return UnderEngineLock(identifier);
}
int TProtoSlave::Address() const {
    return UnderEngineLock(address);
}
int TProtoSlave::ReplyCounter() const {
    return UnderEngineLock(replyCounter);
}
TPollTime TProtoSlave::NextPollTime() const {
    return UnderEngineLock(nextPollTime);
}
int TProtoSlave::PollInterval() const {
    return UnderEngineLock(pollInterval);
}
bool TProtoSlave::Active() const {
    return UnderEngineLock(active);
}

std::size_t TProtoSlave::OutstandingCount() const {
    LockCS guard(protocol.Lock());
    return outstanding.size();
}

std::vector<std::vector<std::uint8_t>> TProtoSlave::OutstandingPayloads() const {
    LockCS guard(protocol.Lock());
    std::vector<std::vector<std::uint8_t>> payloads;
    for (const auto& message : outstanding)
        payloads.emplace_back(message->bytes.get(), message->bytes.get() + message->length);
    return payloads;
}

std::size_t TProtoSlave::OutboundCount() const {
    LockCS guard(lock);
    return outbound.size();
}

} // namespace lorvent
