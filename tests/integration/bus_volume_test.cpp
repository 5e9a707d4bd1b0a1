// The bus at volume: the engine stepped pass by pass on a clock of its own
// against the simulated reader, unpaced, so that a year's worth of card reads
// and faults runs in minutes. Each read comes with one fault, the kinds taken
// in a shuffled round so that each gets its share: corrupted bytes, noise, a
// lost reply, a repeated reply, a reply from a wrong address, an oversize
// frame, the reader's reset request, a silence until the link dies, and a
// failed device read or write. No read may be lost; a second delivery is
// allowed only for a read that went on the wire twice because its
// acknowledgement was lost, and is counted.
//
// LORVENT_BUS_READS sets the number of reads (10000 by default, about a second; 100000 for
// the long run, scripts/bus-volume-soak); LORVENT_BUS_SEED the draws.
#include "bus_fixture.h"
#include "support/card_deliveries.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>

namespace lorvent::testing {
namespace {

int EnvNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    const long value = text ? std::strtol(text, nullptr, 10) : 0;
    return value > 0 ? static_cast<int>(value) : fallback;
}

enum TFault {
    kCorruptBytes,
    kNoise,
    kLostReply,
    kRepeatedReply,
    kWrongAddress,
    kOversizeFrame,
    kResetRequest,
    kSilenceUntilDeath,
    kDeviceFailure,
    kFaultKinds,
};

const char* const kFaultNames[kFaultKinds] = {
    "corrupted bytes", "noise",        "lost reply", "repeated reply", "wrong address",
    "oversize frame",  "reset request", "silence until the link died", "device read/write failure",
};

// The link gives the reader up after five polls in a row go unanswered; the
// silence lasts twice that, as not every frame the reader hears is a poll.
constexpr int kPollsUntilDeath = 10;

class BusVolume : public BusFixture {
protected:
    // What the application does with what the link delivers: every read
    // counted and acknowledged to the reader, the reader's wake honoured.
    void Drain() {
        deliveries_.Take(*link);
        line->TakeWrites();
        log.Take();
    }

    // A silence kills only a link that lives: one that died a moment ago is
    // first brought back.
    void AwaitLiveLink() {
        for (int turn = 0; turn < 100 && link->LinkState() != kLinkAlive; ++turn) {
            Turn();
            Drain();
        }
    }

    void Inject(TFault fault) {
        if (fault == kSilenceUntilDeath)
            AwaitLiveLink();
        if (fault == kDeviceFailure) {
            const sim::TDeviceCall call =
                faults_[kDeviceFailure] % 2 ? sim::TDeviceCall::Write : sim::TDeviceCall::Read;
            reader.FailAt(call, reader.CallCount(call) + 1, FT_IO_ERROR);
        } else {
            Reader([&](sim::TReaderSim& r) {
                switch (fault) {
                case kCorruptBytes: r.CorruptNextCrcs(1); break;
                case kNoise: r.InjectNoise(1 + faults_[kNoise] % 20); break;
                case kLostReply: r.LoseReplies(1); break;
                case kRepeatedReply: r.RepeatReplies(1); break;
                case kWrongAddress: r.ReplyFromWrongAddress(); break;
                case kOversizeFrame: r.SendOversizeFrame(); break;
                case kResetRequest: r.RequestReset(); break;
                case kSilenceUntilDeath: r.SilenceForPolls(kPollsUntilDeath); break;
                default: break;
                }
            });
        }
        ++faults_[fault];
    }

    bool Acknowledged(std::size_t read) {
        return Reader([&](sim::TReaderSim& r) { return r.CardReads()[read].acknowledged; });
    }

    // Turns until the read is acknowledged to the reader, a link death
    // included; a read still open after that goes on with the next ones.
    void Settle(std::size_t read, int patience) {
        for (int turn = 0; turn < patience && !Acknowledged(read); ++turn) {
            Turn();
            Drain();
        }
    }

    TCardDeliveries deliveries_;
    std::array<int, kFaultKinds> faults_{};
};

TEST_F(BusVolume, NoReadIsLostUnderEveryKindOfFault) {
    const int reads = EnvNumber("LORVENT_BUS_READS", 10000);
    const unsigned seed = static_cast<unsigned>(EnvNumber("LORVENT_BUS_SEED", 20261209));
    const auto started = std::chrono::steady_clock::now();
    Reader([](sim::TReaderSim& r) { r.KeepEvents(false); });
    BringUp();
    Reader([](sim::TReaderSim& r) { r.CorruptOneByteIn(200); });

    std::mt19937 random(seed);
    std::array<TFault, kFaultKinds> round{};
    for (int kind = 0; kind < kFaultKinds; ++kind)
        round[kind] = static_cast<TFault>(kind);
    for (int n = 1; n <= reads; ++n) {
        if ((n - 1) % kFaultKinds == 0)
            std::shuffle(round.begin(), round.end(), random);
        const std::uint32_t number = static_cast<std::uint32_t>(n);
        const int index = Reader([&](sim::TReaderSim& r) {
            return r.ReadCard({std::uint8_t(number >> 24), std::uint8_t(number >> 16),
                               std::uint8_t(number >> 8), std::uint8_t(number)});
        });
        Inject(round[(n - 1) % kFaultKinds]);
        Settle(static_cast<std::size_t>(index), 200);
    }

    // A clean line until the reader has every read acknowledged.
    Reader([](sim::TReaderSim& r) { r.CorruptOneByteIn(0); });
    for (int turn = 0; turn < 2000; ++turn) {
        Turn();
        Drain();
    }
    const auto made = Reader([](sim::TReaderSim& r) { return r.CardReads(); });
    const sim::TSimStats stats = Reader([](sim::TReaderSim& r) { return r.Stats(); });
    int lost = 0, duplicates = 0, unexplained = 0;
    for (std::size_t i = 0; i < made.size(); ++i) {
        const auto found = deliveries_.byCard.find(static_cast<std::uint32_t>(i + 1));
        const int delivered = found == deliveries_.byCard.end() ? 0 : found->second;
        lost += delivered == 0;
        if (delivered > 1) {
            duplicates += delivered - 1;
            unexplained += made[i].transmissions < 2;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("bus volume: seed %u, %zu reads, %d lost, %d duplicates (each after a lost "
                "acknowledgement), %.1f s\n",
                seed, made.size(), lost, duplicates, seconds);
    for (int kind = 0; kind < kFaultKinds; ++kind)
        std::printf("  %-28s %d injected\n", kFaultNames[kind], faults_[kind]);
    std::printf("  as the reader saw them: %d bytes corrupted (1 in 200 besides), %d CRCs "
                "corrupted, %d noise bytes, %d replies lost, %d repeated, %d from a wrong "
                "address, %d oversize frames, %d reset requests; %d link deaths\n",
                stats.bytesCorrupted, stats.crcsCorrupted, stats.noiseBytesSent,
                stats.repliesLost, stats.repliesRepeated, stats.repliesFromWrongAddress,
                stats.oversizeFramesSent, stats.resetRequestsSent, deliveries_.deaths);

    EXPECT_EQ(made.size(), static_cast<std::size_t>(reads));
    EXPECT_EQ(lost, 0) << "seed " << seed;
    EXPECT_EQ(unexplained, 0) << "a duplicate without a lost acknowledgement, seed " << seed;
    EXPECT_EQ(deliveries_.malformed, 0) << "a corrupted record reached the application";
    EXPECT_EQ(deliveries_.byCard.size(), made.size()) << "a card that was never read was delivered";
    // The faults took effect, not only were asked for.
    EXPECT_GE(deliveries_.deaths, faults_[kSilenceUntilDeath]);
    EXPECT_GE(stats.repliesLost, faults_[kLostReply]);
    EXPECT_GE(stats.oversizeFramesSent, faults_[kOversizeFrame]);
    EXPECT_GE(stats.repliesFromWrongAddress, faults_[kWrongAddress]);
}

} // namespace
} // namespace lorvent::testing
