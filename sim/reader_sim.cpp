#include "sim/reader_sim.h"

#include <cstdio>
#include <stdexcept>
#include <utility>

namespace lorvent::sim {
namespace {

constexpr std::size_t kCrcSize = 2;
constexpr std::size_t kMinPacket = 4; // address, control, CRC
constexpr std::size_t kSetAddressSize = 10;
constexpr int kHighestAddress = 126;
constexpr int kSeqModulo = 8;
constexpr int kConnectionlessPerReply = 3; // the master judges at most nine frames per poll
constexpr std::size_t kTextPerFragment = kMaxPayload - 2;
constexpr std::size_t kOversizePacket = kMaxPacket + 4;

const Bytes kAcknowledge = {0x03, 0x06, 0x00};
const Bytes kReadSignal = {0x02, 0xFF, 0xFF, 0x00};
const Bytes kIdleSignal = {0x02, 0xFF, 0x00, 0xFF};

std::string HexByte(unsigned value) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

std::string HexBytes(const std::uint8_t* bytes, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += (i ? " " : "") + HexByte(bytes[i]);
    return text;
}

std::string HexBytes(const Bytes& bytes) {
    return HexBytes(bytes.data(), bytes.size());
}

std::uint32_t BigEndian32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
           std::uint32_t{bytes[2]} << 8 | bytes[3];
}

std::string IdentifierText(std::uint32_t id) {
    char text[12];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(id));
    return text;
}

int SeqOf(std::uint8_t control) {
    return (control >> 4) & 7;
}
int AckOf(std::uint8_t control) {
    return control & 7;
}
bool IsToken(const Bytes& packet) {
    return !packet.empty() && (packet[0] & kTokenBit);
}

void RequirePayloadSize(std::size_t size, std::size_t most, const char* what) {
    if (size < 1 || size > most)
        throw std::invalid_argument(std::string(what) + " must have 1 to " + std::to_string(most) +
                                    " bytes, not " + std::to_string(size));
}

void RequireCount(int count, const char* what) {
    if (count < 0)
        throw std::invalid_argument(std::string(what) + " must not be negative");
}

} // namespace

std::string CommandName(const Bytes& payload) {
    if (payload == kAcknowledge)
        return "acknowledge";
    if (payload == kReadSignal)
        return "read signal";
    if (payload == kIdleSignal)
        return "idle signal";
    return "data";
}

TReaderSim::TReaderSim(const TReaderSimConfig& config)
    : identifier_(config.identifier), address_(config.address),
      connectionlessSubType_(config.connectionlessSubType), maxEvents_(config.maxEvents),
      random_(config.seed) {
    if (address_ != kUnassigned && (address_ < 1 || address_ > kHighestAddress))
        throw std::invalid_argument("a reader address is 1 to 126");
}

// --- What the master sends -------------------------------------------------

void TReaderSim::Receive(const std::uint8_t* bytes, std::size_t count, TimePoint now) {
    for (std::size_t i = 0; i < count; ++i) {
        switch (decoder_.Feed(bytes[i])) {
        case TFrameDecoder::TResult::Frame:
            OnFrame(decoder_.Frame(), decoder_.FrameSize(), now);
            break;
        case TFrameDecoder::TResult::Oversize:
            ++stats_.oversizeFramesReceived;
            Event(TSimEventKind::Problem, now, "frame longer than 36 bytes dropped");
            break;
        case TFrameDecoder::TResult::Truncated:
            ++stats_.truncatedFrames;
            Event(TSimEventKind::Problem, now, "frame cut short by a start flag");
            break;
        case TFrameDecoder::TResult::None:
            break;
        }
    }
}

void TReaderSim::OnFrame(const std::uint8_t* frame, std::size_t size, TimePoint now) {
    ++stats_.framesReceived;
    if (IgnoredWhileSilent(frame, size, now))
        return;
    if (frame[0] & kTokenBit) {
        OnToken(frame[0] & 0x7F, now);
        return;
    }
    if (size < kMinPacket) {
        ++stats_.shortFrames;
        Event(TSimEventKind::Problem, now, "short frame dropped: " + HexBytes(frame, size));
        return;
    }
    if (!CrcIntact(frame, size)) {
        ++stats_.crcErrors;
        Event(TSimEventKind::Problem, now, "frame with bad CRC dropped: " + HexBytes(frame, size));
        return;
    }
    const int address = frame[0];
    if (address == kBroadcast) {
        OnSetAddress(frame, size - kCrcSize, now);
        return;
    }
    if (address_ == kUnassigned || address != address_) {
        ++stats_.framesForOthers;
        return;
    }
    OnPacketForUs(frame, size - kCrcSize, now);
}

bool TReaderSim::IgnoredWhileSilent(const std::uint8_t* frame, std::size_t size, TimePoint now) {
    if (!Silent(now))
        return false;
    ++stats_.framesIgnoredWhileSilent;
    const bool poll = size == 1 && (frame[0] & kTokenBit);
    const bool ours = address_ == kUnassigned || (frame[0] & 0x7F) == address_;
    if (poll && ours) {
        ++stats_.pollsSilenced;
        if (silentPolls_ > 0 && now >= silentUntil_)
            --silentPolls_;
        Event(TSimEventKind::Fault, now, "silent: poll not answered");
    }
    return true;
}

void TReaderSim::OnToken(std::uint8_t address, TimePoint now) {
    if (address_ == kUnassigned || address != address_) {
        ++stats_.pollsForOthers;
        return;
    }
    ++stats_.pollsForUs;
    Event(TSimEventKind::Poll, now, "poll");
    AnswerPoll(now);
}

// packet: 7F 83 01 <identifier, 4 bytes, most significant first> <address>
void TReaderSim::OnSetAddress(const std::uint8_t* packet, std::size_t size, TimePoint now) {
    if (size + kCrcSize != kSetAddressSize || packet[1] != kCtlConnectionless ||
        packet[2] != kSubTypeSetAddress) {
        ++stats_.setAddressIgnored;
        Event(TSimEventKind::Problem, now, "unknown broadcast ignored: " + HexBytes(packet, size));
        return;
    }
    const std::uint32_t identifier = BigEndian32(packet + 3);
    const int newAddress = packet[7];
    if (identifier != identifier_ && identifier != 0xFFFFFFFF) {
        ++stats_.setAddressIgnored;
        Event(TSimEventKind::Received, now,
              "set address " + HexByte(newAddress) + " for identifier " +
                  IdentifierText(identifier) + ": not ours");
        return;
    }
    if (newAddress < 1 || newAddress > kHighestAddress) {
        ++stats_.setAddressIgnored;
        Event(TSimEventKind::Problem, now,
              "set address " + HexByte(newAddress) + " refused: not a reader address");
        return;
    }
    address_ = newAddress;
    ++stats_.setAddressAccepted;
    Event(TSimEventKind::Received, now,
          "set address " + HexByte(newAddress) + " (identifier " + IdentifierText(identifier) +
              ")");
}

void TReaderSim::OnPacketForUs(const std::uint8_t* packet, std::size_t size, TimePoint now) {
    const std::uint8_t control = packet[1];
    if (control < 0x80) {
        OnData(packet, size, now);
    } else if (control == kCtlResetRequest) {
        OnResetRequest(now);
    } else if (control == kCtlResetAck) {
        OnResetAck(now);
    } else if ((control & 0xF8) == kCtlAckOnly) {
        ++stats_.ackOnlyReceived;
        Event(TSimEventKind::Received, now, "ack-only ACK " + std::to_string(AckOf(control)));
        ApplyAck(AckOf(control), now);
    } else {
        ++stats_.unknownControls;
        Event(TSimEventKind::Problem, now, "unknown control " + HexByte(control) + " ignored");
    }
}

void TReaderSim::OnResetRequest(TimePoint now) {
    ++stats_.resetRequestsReceived;
    // Both sides start again from zero; our own request, if any, is settled too.
    ownResetPending_ = false;
    ZeroNumbers();
    resetAckOwed_ = true;
    Event(TSimEventKind::Received, now, "reset request: numbers zeroed");
}

void TReaderSim::OnResetAck(TimePoint now) {
    ++stats_.resetAcksReceived;
    if (!ownResetPending_) {
        Event(TSimEventKind::Problem, now, "reset acknowledge without our request ignored");
        return;
    }
    ownResetPending_ = false;
    Event(TSimEventKind::Received, now, "reset acknowledge");
}

void TReaderSim::OnData(const std::uint8_t* packet, std::size_t size, TimePoint now) {
    const int seq = SeqOf(packet[1]);
    const int ack = AckOf(packet[1]);
    Bytes payload(packet + 2, packet + size);
    const std::string what = "data SEQ " + std::to_string(seq) + " ACK " + std::to_string(ack) +
                             ": " + CommandName(payload) + " (" + HexBytes(payload) + ")";
    ackOwed_ = true; // whatever it was, the master learns what we expect next
    if (seq == recvSeq_) {
        ++stats_.commandsDelivered;
        commands_.push_back({now, seq, std::move(payload)});
        recvSeq_ = (recvSeq_ + 1) % kSeqModulo;
        Event(TSimEventKind::Received, now, what);
        ApplyAck(ack, now);
    } else if (seq == (recvSeq_ + kSeqModulo - 1) % kSeqModulo) {
        ++stats_.commandsRepeated;
        Event(TSimEventKind::Received, now, "repeated " + what + ", acknowledged again");
        ApplyAck(ack, now);
    } else {
        ++stats_.commandsOutOfOrder;
        Event(TSimEventKind::Problem, now,
              "unexpected " + what + ", expected SEQ " + std::to_string(recvSeq_) + ", dropped");
    }
}

void TReaderSim::ApplyAck(int ack, TimePoint now) {
    const int covered = (ack - sendSeq_ + kSeqModulo) % kSeqModulo;
    if (covered == 0)
        return;
    if (!outstanding_ || covered > 1) {
        ++stats_.badAcks;
        Event(TSimEventKind::Problem, now,
              "ACK " + std::to_string(ack) + " covers more than is outstanding (SEQ " +
                  std::to_string(sendSeq_) + ", " + std::to_string(outstanding_ ? 1 : 0) +
                  " outstanding)");
        return;
    }
    if (outstanding_->cardRead >= 0) {
        cardReads_[static_cast<std::size_t>(outstanding_->cardRead)].acknowledged = true;
        ++stats_.cardReadsAcknowledged;
        Event(TSimEventKind::Received, now,
              "card read " + CardText(outstanding_->cardRead) + " acknowledged");
    }
    outstanding_.reset();
    sendSeq_ = ack;
}

// A payload in flight goes back to the head of the queue and is numbered again.
void TReaderSim::ZeroNumbers() {
    sendSeq_ = 0;
    recvSeq_ = 0;
    ackOwed_ = false;
    if (outstanding_) {
        queued_.push_front(std::move(*outstanding_));
        outstanding_.reset();
    }
}

// --- What the reader sends -------------------------------------------------

void TReaderSim::AnswerPoll(TimePoint now) {
    std::vector<Bytes> reply = BuildReply(now);
    if (LoseReply(now))
        return;
    ApplyReplyFaults(reply, now);
    ++stats_.pollsAnswered;
    Bytes wire;
    for (const Bytes& packet : reply) {
        const Bytes frame = EncodeFrame(packet);
        wire.insert(wire.end(), frame.begin(), frame.end());
    }
    Emit(wire);
}

// Reset handshake first, then messages and at most one data Packet (or an
// acknowledgement), and our token last.
std::vector<Bytes> TReaderSim::BuildReply(TimePoint now) {
    std::vector<Bytes> reply;
    cardReadsInReply_.clear();
    if (resetAckOwed_) {
        reply.push_back(ControlPacket(kCtlResetAck));
        resetAckOwed_ = false;
        ++stats_.resetAcksSent;
        Event(TSimEventKind::Sent, now, "reset acknowledge");
    }
    if (ownResetPending_) {
        reply.push_back(ControlPacket(kCtlResetRequest));
        ++stats_.resetRequestsSent;
        Event(TSimEventKind::Sent, now, "reset request");
    } else {
        AddConnectionless(reply, now);
        AddDataOrAck(reply, now);
    }
    reply.push_back({static_cast<std::uint8_t>(address_ | kTokenBit)});
    return reply;
}

void TReaderSim::AddConnectionless(std::vector<Bytes>& reply, TimePoint now) {
    for (int i = 0; i < kConnectionlessPerReply && !connectionless_.empty(); ++i) {
        const TPayload message = std::move(connectionless_.front());
        connectionless_.pop_front();
        Bytes packet = {static_cast<std::uint8_t>(address_), kCtlConnectionless, message.subType};
        packet.insert(packet.end(), message.bytes.begin(), message.bytes.end());
        AppendCrc(packet);
        reply.push_back(std::move(packet));
        ++stats_.connectionlessSent;
        if (message.cardRead >= 0) {
            ++cardReads_[static_cast<std::size_t>(message.cardRead)].transmissions;
            cardReadsInReply_.push_back(message.cardRead);
            Event(TSimEventKind::Sent, now,
                  "card read " + CardText(message.cardRead) + " as connectionless message");
        } else {
            Event(TSimEventKind::Sent, now, "connectionless message " + HexBytes(message.bytes));
        }
    }
}

void TReaderSim::AddDataOrAck(std::vector<Bytes>& reply, TimePoint now) {
    const bool fresh = !outstanding_ && !queued_.empty();
    if (fresh) {
        outstanding_ = std::move(queued_.front());
        queued_.pop_front();
    }
    if (outstanding_) {
        reply.push_back(DataPacket(*outstanding_));
        ackOwed_ = false;
        ++stats_.dataPacketsSent;
        stats_.dataRetransmissions += fresh ? 0 : 1;
        const std::string numbers =
            " as data SEQ " + std::to_string(sendSeq_) + " ACK " + std::to_string(recvSeq_);
        const std::string again = fresh ? "" : " again";
        if (outstanding_->cardRead >= 0) {
            ++cardReads_[static_cast<std::size_t>(outstanding_->cardRead)].transmissions;
            cardReadsInReply_.push_back(outstanding_->cardRead);
            Event(TSimEventKind::Sent, now,
                  "card read " + CardText(outstanding_->cardRead) + again + numbers);
        } else {
            Event(TSimEventKind::Sent, now, HexBytes(outstanding_->bytes) + again + numbers);
        }
        return;
    }
    if (ackOwed_) {
        reply.push_back(ControlPacket(static_cast<std::uint8_t>(kCtlAckOnly | recvSeq_)));
        ackOwed_ = false;
        ++stats_.ackOnlySent;
        Event(TSimEventKind::Sent, now, "ack-only ACK " + std::to_string(recvSeq_));
    }
}

Bytes TReaderSim::DataPacket(const TPayload& payload) const {
    Bytes packet = {static_cast<std::uint8_t>(address_),
                    static_cast<std::uint8_t>(sendSeq_ << 4 | recvSeq_)};
    packet.insert(packet.end(), payload.bytes.begin(), payload.bytes.end());
    AppendCrc(packet);
    return packet;
}

Bytes TReaderSim::ControlPacket(std::uint8_t control) const {
    Bytes packet = {static_cast<std::uint8_t>(address_), control};
    AppendCrc(packet);
    return packet;
}

// A well-formed connectionless card read, too long for any Packet buffer: a
// master that cut it short instead of dropping it would show card eeeeeeee.
Bytes TReaderSim::OversizePacket() const {
    Bytes packet = {static_cast<std::uint8_t>(address_), kCtlConnectionless, connectionlessSubType_,
                    kRecordCardRead, kCardFlagValid | kCardFlagFourBytes};
    packet.resize(kOversizePacket - kCrcSize, 0xEE);
    AppendCrc(packet);
    return packet;
}

// A lost reply leaves the reader's state as if it had gone out.
bool TReaderSim::LoseReply(TimePoint now) {
    if (repliesToLose_ == 0)
        return false;
    --repliesToLose_;
    ++stats_.repliesLost;
    Event(TSimEventKind::Fault, now, "reply lost");
    return true;
}

void TReaderSim::ApplyReplyFaults(std::vector<Bytes>& reply, TimePoint now) {
    if (wrongAddress_) {
        // By default the neighbour's address: ours + 1, 126 wrapping to 1.
        const auto address = static_cast<std::uint8_t>(
            *wrongAddress_ == kUnassigned ? address_ % kHighestAddress + 1 : *wrongAddress_);
        for (Bytes& packet : reply) {
            packet[0] = static_cast<std::uint8_t>((packet[0] & kTokenBit) | address);
            if (!IsToken(packet)) {
                packet.resize(packet.size() - kCrcSize);
                AppendCrc(packet);
            }
        }
        wrongAddress_.reset();
        ++stats_.repliesFromWrongAddress;
        Event(TSimEventKind::Fault, now, "reply sent from address " + HexByte(address));
    }
    for (Bytes& packet : reply) {
        if (crcsToCorrupt_ == 0)
            break;
        if (IsToken(packet))
            continue;
        packet[packet.size() - kCrcSize] ^= 0xFF;
        --crcsToCorrupt_;
        ++stats_.crcsCorrupted;
        Event(TSimEventKind::Fault, now, "CRC corrupted: " + HexBytes(packet));
    }
    if (repliesToRepeat_ > 0) {
        --repliesToRepeat_;
        ++stats_.repliesRepeated;
        std::vector<Bytes> doubled;
        for (Bytes& packet : reply) {
            if (!IsToken(packet))
                doubled.push_back(packet);
            doubled.push_back(std::move(packet));
        }
        reply = std::move(doubled);
        // A card read's frame sent twice went on the wire twice.
        for (const int cardRead : cardReadsInReply_)
            ++cardReads_[static_cast<std::size_t>(cardRead)].transmissions;
        Event(TSimEventKind::Fault, now, "reply frames sent twice");
    }
    if (oversizeNext_) {
        oversizeNext_ = false;
        ++stats_.oversizeFramesSent;
        reply.insert(reply.begin(), OversizePacket());
        Event(TSimEventKind::Fault, now, "oversize frame sent");
    }
}

// One byte in each run of corruptOneIn_ output bytes is corrupted, at a place
// in the run drawn at random: the rate holds on a short or slow line too, so a
// soak that sends a few hundred bytes always meets some corruption.
void TReaderSim::Emit(const Bytes& wireBytes) {
    std::uniform_int_distribution<int> flip(1, 255);
    for (std::uint8_t byte : wireBytes) {
        if (corruptOneIn_ > 0 && NextByteIsCorrupted()) {
            byte = static_cast<std::uint8_t>(byte ^ flip(random_));
            ++stats_.bytesCorrupted;
        }
        output_.push_back(byte);
    }
}

bool TReaderSim::NextByteIsCorrupted() {
    if (placeInRun_ == 0)
        corruptedPlace_ = std::uniform_int_distribution<int>(0, corruptOneIn_ - 1)(random_);
    const bool corrupted = placeInRun_ == corruptedPlace_;
    placeInRun_ = (placeInRun_ + 1) % corruptOneIn_;
    return corrupted;
}

Bytes TReaderSim::TakeOutput() {
    return std::exchange(output_, {});
}

// --- Reader actions ---------------------------------------------------------

int TReaderSim::ReadCard(const Bytes& number, TimePoint now) {
    return ReadCardAs(number, false, now);
}

int TReaderSim::ReadCardConnectionless(const Bytes& number, TimePoint now) {
    return ReadCardAs(number, true, now);
}

int TReaderSim::ReadCardAs(const Bytes& number, bool connectionless, TimePoint now) {
    if (number.size() != 4 && number.size() != 5)
        throw std::invalid_argument("a card number has 4 or 5 bytes, not " +
                                    std::to_string(number.size()));
    const auto flags =
        static_cast<std::uint8_t>(kCardFlagValid | (number.size() == 4 ? kCardFlagFourBytes : 0));
    Bytes record = {kRecordCardRead, flags};
    record.insert(record.end(), number.begin(), number.end());

    const int index = static_cast<int>(cardReads_.size());
    cardReads_.push_back({number, connectionless, now, 0, false});
    ++stats_.cardReadsMade;
    if (connectionless)
        connectionless_.push_back({std::move(record), index, connectionlessSubType_});
    else
        queued_.push_back({std::move(record), index, 0});
    Event(TSimEventKind::Sent, now, "read card " + CardText(index));
    return index;
}

void TReaderSim::QueueData(const Bytes& payload) {
    RequirePayloadSize(payload.size(), kMaxPayload, "a data payload");
    queued_.push_back({payload, -1, 0});
}

void TReaderSim::QueueConnectionless(std::uint8_t subType, const Bytes& payload) {
    RequirePayloadSize(payload.size(), kMaxPayload - 1, "a connectionless payload");
    connectionless_.push_back({payload, -1, subType});
}

void TReaderSim::QueueText(const std::string& text) {
    std::size_t at = 0;
    std::uint8_t fragment = 0;
    do {
        const std::size_t take = std::min(kTextPerFragment, text.size() - at);
        Bytes record = {kRecordText, fragment++};
        record.insert(record.end(), text.begin() + static_cast<std::ptrdiff_t>(at),
                      text.begin() + static_cast<std::ptrdiff_t>(at + take));
        queued_.push_back({std::move(record), -1, 0});
        at += take;
    } while (at < text.size());
}

void TReaderSim::RequestReset(TimePoint now) {
    ownResetPending_ = true;
    ZeroNumbers();
    Event(TSimEventKind::Sent, now, "reset requested: numbers zeroed");
}

// --- Faults -------------------------------------------------------------------

void TReaderSim::SilenceForPolls(int polls) {
    RequireCount(polls, "a number of polls");
    silentPolls_ = polls;
}

void TReaderSim::SilenceUntil(TimePoint until) {
    silentUntil_ = until;
}

void TReaderSim::InjectNoise(int count, TimePoint now) {
    RequireCount(count, "a number of noise bytes");
    for (int i = 0; i < count; ++i)
        output_.push_back(NoiseByte());
    stats_.noiseBytesSent += count;
    Event(TSimEventKind::Fault, now, "noise: " + std::to_string(count) + " bytes");
}

// Half of the noise is 0xFF (an idle line that glitches); the rest is random
// but never a start flag, so noise cannot begin a frame.
std::uint8_t TReaderSim::NoiseByte() {
    std::uniform_int_distribution<int> any(0, 255);
    if (any(random_) < 128)
        return 0xFF;
    int byte = kFlagStart;
    while (byte == kFlagStart)
        byte = any(random_);
    return static_cast<std::uint8_t>(byte);
}

void TReaderSim::CorruptNextCrcs(int frames) {
    RequireCount(frames, "a number of frames");
    crcsToCorrupt_ = frames;
}

void TReaderSim::CorruptOneByteIn(int n) {
    RequireCount(n, "a corruption rate");
    corruptOneIn_ = n;
    placeInRun_ = 0;
}

void TReaderSim::LoseReplies(int replies) {
    RequireCount(replies, "a number of replies");
    repliesToLose_ = replies;
}

void TReaderSim::RepeatReplies(int replies) {
    RequireCount(replies, "a number of replies");
    repliesToRepeat_ = replies;
}

void TReaderSim::ReplyFromWrongAddress(int address) {
    if (address != kUnassigned && (address < 0 || address > 0x7F))
        throw std::invalid_argument("a bus address is 0 to 127");
    wrongAddress_ = address;
}

void TReaderSim::SendOversizeFrame() {
    oversizeNext_ = true;
}

// --- Events -------------------------------------------------------------------

void TReaderSim::Event(TSimEventKind kind, TimePoint now, std::string text) {
    if (!keepEvents_)
        return;
    events_.push_back({now, kind, std::move(text)});
    if (events_.size() > maxEvents_) {
        events_.pop_front();
        ++stats_.eventsDropped;
    }
}

std::vector<TSimEvent> TReaderSim::TakeEvents() {
    std::vector<TSimEvent> taken(std::make_move_iterator(events_.begin()),
                                 std::make_move_iterator(events_.end()));
    events_.clear();
    return taken;
}

std::string TReaderSim::CardText(int cardRead) const {
    std::string text;
    char cell[3];
    for (std::uint8_t byte : cardReads_[static_cast<std::size_t>(cardRead)].number) {
        std::snprintf(cell, sizeof cell, "%02x", byte);
        text += cell;
    }
    return text;
}

} // namespace lorvent::sim
