#pragma once

// The reader: the slave end of the bus. It is fed the master's bytes, keeps
// its own link state (address, sequence numbers, reset handshake), answers
// polls, and can be told to read cards or to misbehave in chosen ways. It
// makes no system calls: time comes in as arguments, bytes go out through
// TakeOutput(), so it can sit behind an in-process device or a serial line.

#include "sim/wire.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace lorvent::sim {

using SimClock = std::chrono::steady_clock;
using TimePoint = SimClock::time_point;

inline constexpr int kUnassigned = -1;
inline constexpr std::uint8_t kCtlResetRequest = 0x81;
inline constexpr std::uint8_t kCtlResetAck = 0x82;
inline constexpr std::uint8_t kCtlConnectionless = 0x83;
inline constexpr std::uint8_t kCtlAckOnly = 0xC0;
inline constexpr std::uint8_t kSubTypeSetAddress = 0x01;
inline constexpr std::uint8_t kRecordCardRead = 0x83;
inline constexpr std::uint8_t kRecordText = 0x85;
inline constexpr std::uint8_t kCardFlagValid = 0x01;
inline constexpr std::uint8_t kCardFlagFourBytes = 0x80;

struct TReaderSimConfig {
    std::uint32_t identifier = 0x00000001; // the master's FFFFFFFF matches any reader
    int address = kUnassigned;             // 1..126 to start already addressed
    std::uint32_t seed = 1;                // noise and corruption are reproducible
    std::uint8_t connectionlessSubType = 0x00;
    std::size_t maxEvents = 4096; // oldest events are dropped beyond this
};

// One payload the master delivered in a data Packet, in arrival order.
struct TReceivedCommand {
    TimePoint at;
    int seq = 0;
    Bytes payload;
};

// "acknowledge", "read signal", "idle signal", or "data" for anything else.
std::string CommandName(const Bytes& payload);

// One card the reader has read, and what became of it on the bus.
struct TCardRead {
    Bytes number; // 4 or 5 bytes, first byte first
    bool connectionless = false;
    TimePoint madeAt;
    int transmissions = 0; // how often it went on the wire (repeats included)
    bool acknowledged = false;
};

struct TSimStats {
    // What the reader heard.
    int framesReceived = 0;
    int pollsForUs = 0;
    int pollsAnswered = 0;
    int pollsForOthers = 0;
    int crcErrors = 0;
    int shortFrames = 0;
    int oversizeFramesReceived = 0;
    int truncatedFrames = 0;
    int framesForOthers = 0;
    int setAddressAccepted = 0;
    int setAddressIgnored = 0;
    int resetRequestsReceived = 0;
    int resetAcksReceived = 0;
    int commandsDelivered = 0;
    int commandsRepeated = 0; // the master's repeat of its last SEQ
    int commandsOutOfOrder = 0;
    int ackOnlyReceived = 0;
    int badAcks = 0; // an ACK covering more than was outstanding
    int unknownControls = 0;
    // What the reader sent.
    int dataPacketsSent = 0;
    int dataRetransmissions = 0;
    int ackOnlySent = 0;
    int resetRequestsSent = 0;
    int resetAcksSent = 0;
    int connectionlessSent = 0;
    int cardReadsMade = 0;
    int cardReadsAcknowledged = 0;
    // Faults carried out.
    int pollsSilenced = 0;
    int framesIgnoredWhileSilent = 0;
    int repliesLost = 0;
    int repliesRepeated = 0;
    int repliesFromWrongAddress = 0;
    int crcsCorrupted = 0;
    int bytesCorrupted = 0;
    int noiseBytesSent = 0;
    int oversizeFramesSent = 0;
    int eventsDropped = 0;
};

enum class TSimEventKind {
    Poll,     // a poll for this reader (worth summarising, not printing)
    Received, // a Packet from the master that changed or told something
    Sent,     // something the reader sent that matters to a reader of the log
    Fault,    // an injected fault took effect
    Problem,  // something the master sent was wrong
};

struct TSimEvent {
    TimePoint at;
    TSimEventKind kind;
    std::string text;
};

class TReaderSim {
public:
    explicit TReaderSim(const TReaderSimConfig& config = {});

    // The master's bytes, in any chunks. Replies to polls go to the output.
    void Receive(const std::uint8_t* bytes, std::size_t count, TimePoint now = SimClock::now());
    void Receive(const Bytes& bytes, TimePoint now = SimClock::now()) {
        Receive(bytes.data(), bytes.size(), now);
    }
    // Bytes for the line, oldest first; the output is empty afterwards.
    Bytes TakeOutput();

    // Reader actions. Card numbers are 4 or 5 bytes, payloads 1 to 32 bytes;
    // anything else throws std::invalid_argument. Card reads return their
    // index in CardReads().
    int ReadCard(const Bytes& number, TimePoint now = SimClock::now());
    int ReadCardConnectionless(const Bytes& number, TimePoint now = SimClock::now());
    void QueueData(const Bytes& payload);
    void QueueConnectionless(std::uint8_t subType, const Bytes& payload);
    // A text as 0x85 records, 30 characters per fragment, fragment 0 first.
    void QueueText(const std::string& text);
    // Zeroes the reader's numbers and sends 0x81 with every reply until the
    // master answers 0x82.
    void RequestReset(TimePoint now = SimClock::now());

    // Faults. Silence makes the reader deaf and mute, as if unplugged; polls
    // are those for its address (any poll while it has none).
    void SilenceForPolls(int polls);
    void SilenceUntil(TimePoint until);
    // Goes to the output at once, so it lands between frames.
    void InjectNoise(int count, TimePoint now = SimClock::now());
    void CorruptNextCrcs(int frames);
    void CorruptOneByteIn(int n); // one output byte in each n, placed at random; 0 stops
    void LoseReplies(int replies);
    void RepeatReplies(int replies); // each frame but the closing token twice
    // The next reply comes from this address (kUnassigned: our address + 1).
    void ReplyFromWrongAddress(int address = kUnassigned);
    void SendOversizeFrame(); // with the next reply, before its frames

    // Inspection.
    int Address() const { return address_; }
    std::uint32_t Identifier() const { return identifier_; }
    int SendSeq() const { return sendSeq_; }
    int RecvSeq() const { return recvSeq_; }
    bool ResetRequestPending() const { return ownResetPending_; }
    bool Silent(TimePoint now) const { return silentPolls_ > 0 || now < silentUntil_; }
    std::size_t QueuedPayloads() const { return queued_.size() + (outstanding_ ? 1 : 0); }
    const std::vector<TReceivedCommand>& Commands() const { return commands_; }
    const std::vector<TCardRead>& CardReads() const { return cardReads_; }
    const TSimStats& Stats() const { return stats_; }
    // Events are kept only when enabled (the CLI prints them).
    void KeepEvents(bool keep) { keepEvents_ = keep; }
    std::vector<TSimEvent> TakeEvents();

private:
    struct TPayload {
        Bytes bytes;
        int cardRead = -1;        // index into cardReads_, or -1
        std::uint8_t subType = 0; // connectionless messages only
    };

    void OnFrame(const std::uint8_t* frame, std::size_t size, TimePoint now);
    bool IgnoredWhileSilent(const std::uint8_t* frame, std::size_t size, TimePoint now);
    void OnToken(std::uint8_t address, TimePoint now);
    void OnSetAddress(const std::uint8_t* packet, std::size_t size, TimePoint now);
    void OnPacketForUs(const std::uint8_t* packet, std::size_t size, TimePoint now);
    void OnResetRequest(TimePoint now);
    void OnResetAck(TimePoint now);
    void OnData(const std::uint8_t* packet, std::size_t size, TimePoint now);
    void ApplyAck(int ack, TimePoint now);
    void ZeroNumbers();

    void AnswerPoll(TimePoint now);
    std::vector<Bytes> BuildReply(TimePoint now);
    void AddConnectionless(std::vector<Bytes>& reply, TimePoint now);
    void AddDataOrAck(std::vector<Bytes>& reply, TimePoint now);
    Bytes DataPacket(const TPayload& payload) const;
    Bytes ControlPacket(std::uint8_t control) const;
    Bytes OversizePacket() const;
    bool LoseReply(TimePoint now);
    void ApplyReplyFaults(std::vector<Bytes>& reply, TimePoint now);
    void Emit(const Bytes& wireBytes);
    bool NextByteIsCorrupted();
    std::uint8_t NoiseByte();

    int ReadCardAs(const Bytes& number, bool connectionless, TimePoint now);
    void Event(TSimEventKind kind, TimePoint now, std::string text);
    std::string CardText(int cardRead) const;

    std::uint32_t identifier_;
    int address_;
    std::uint8_t connectionlessSubType_;
    std::size_t maxEvents_;
    std::mt19937 random_;

    TFrameDecoder decoder_;
    int sendSeq_ = 0;
    int recvSeq_ = 0;
    bool ackOwed_ = false;
    bool resetAckOwed_ = false;
    bool ownResetPending_ = false;
    std::deque<TPayload> queued_;
    std::optional<TPayload> outstanding_; // one data Packet in flight at a time
    std::deque<TPayload> connectionless_;

    int silentPolls_ = 0;
    TimePoint silentUntil_{};
    int crcsToCorrupt_ = 0;
    int corruptOneIn_ = 0;
    int placeInRun_ = 0;     // of the current run of corruptOneIn_ bytes
    int corruptedPlace_ = 0; // the byte of that run to corrupt
    int repliesToLose_ = 0;
    int repliesToRepeat_ = 0;
    std::optional<int> wrongAddress_;
    bool oversizeNext_ = false;

    Bytes output_;
    std::vector<TReceivedCommand> commands_;
    std::vector<TCardRead> cardReads_;
    std::vector<int> cardReadsInReply_; // the card reads of the reply being built
    TSimStats stats_;
    bool keepEvents_ = false;
    std::deque<TSimEvent> events_;
};

} // namespace lorvent::sim
