// A bounded soak of the bus: the engine's thread against the simulated reader
// on a bad line (one byte in 200 corrupted, noise, lost and repeated replies,
// CRC failures, replies from a wrong address, oversize frames, the reader
// restarting its numbering, the adapter unplugged for 150 ms, silences long
// enough to kill the link), while this thread plays the application. Every
// card read the reader makes must reach the application; a second delivery is
// allowed only for a read that went on the wire more than once because its
// acknowledgement was lost, and is counted. LORVENT_SOAK_SECONDS sets the
// length (60 s by default).
#include "bus_fixture.h"
#include "support/card_deliveries.h"

#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <thread>

namespace lorvent {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

int SoakSeconds() {
    const char* text = std::getenv("LORVENT_SOAK_SECONDS");
    const int seconds = text ? std::atoi(text) : 60;
    return seconds > 0 ? seconds : 60;
}

TEST(SoakTest, NoCardReadIsLostOnABadLine) {
    sim::TReaderSimConfig config;
    config.seed = 20261208;
    sim::TSimDevice reader(config);
    testing::RecordingLog log;
    auto recorder = std::make_unique<testing::WriteRecorder>(reader);
    auto* line = recorder.get();
    auto protocol = std::make_unique<TProtocol>(testing::EngineSetup(std::move(recorder), log));
    ASSERT_TRUE(protocol->Open("", "9600,n,8,1"));
    auto link = std::make_unique<testing::AppLink>(*protocol, &log);
    link->Init(0xFFFFFFFF, 1);

    testing::TCardDeliveries app;
    std::map<std::uint32_t, int>& deliveries = app.byCard;
    auto drain = [&] {
        app.Take(*link);
        line->TakeWrites(); // the line's record is not needed here
    };

    std::mt19937 random(7);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    reader.Locked([](auto& r) { r.CorruptOneByteIn(200); });
    std::uint32_t nextCard = 1;
    const auto end = SteadyClock::now() + std::chrono::seconds(SoakSeconds());
    while (SteadyClock::now() < end) {
        reader.Locked([&](auto& r) {
            if (chance(random) < 0.15) {
                const std::uint32_t n = nextCard++;
                r.ReadCard({std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8),
                            std::uint8_t(n)});
            }
            if (chance(random) < 0.02)
                r.InjectNoise(1 + static_cast<int>(chance(random) * 20));
            if (chance(random) < 0.01)
                r.LoseReplies(1);
            if (chance(random) < 0.004)
                r.SilenceForPolls(1 + static_cast<int>(chance(random) * 9));
            if (chance(random) < 0.01)
                r.RequestReset();
            if (chance(random) < 0.01)
                r.RepeatReplies(1);
            if (chance(random) < 0.005)
                r.CorruptNextCrcs(2);
            if (chance(random) < 0.005)
                r.ReplyFromWrongAddress();
            if (chance(random) < 0.005)
                r.SendOversizeFrame();
        });
        // Each unplug costs the link seconds (death, reopen, wake): about one
        // in ten seconds leaves most of the soak to the faults on the line.
        if (chance(random) < 0.002)
            reader.UnplugFor(150ms);
        drain();
        std::this_thread::sleep_for(20ms);
    }

    // A clean line until the reader has every read acknowledged.
    reader.Locked([](auto& r) { r.CorruptOneByteIn(0); });
    const auto settle = SteadyClock::now() + 20s;
    auto allAcknowledged = [&] {
        return reader.Locked([](auto& r) {
            for (const auto& read : r.CardReads())
                if (!read.acknowledged)
                    return false;
            return true;
        });
    };
    while (SteadyClock::now() < settle && !allAcknowledged()) {
        drain();
        std::this_thread::sleep_for(20ms);
    }
    std::this_thread::sleep_for(200ms);
    drain();

    const auto reads = reader.Locked([](auto& r) { return r.CardReads(); });
    const auto stats = reader.Locked([](auto& r) { return r.Stats(); });
    int lost = 0, duplicates = 0, unexplainedDuplicates = 0;
    std::string unexplained;
    for (std::size_t i = 0; i < reads.size(); ++i) {
        const int delivered =
            deliveries.count(std::uint32_t(i + 1)) ? deliveries[std::uint32_t(i + 1)] : 0;
        if (delivered == 0)
            ++lost;
        // A read is delivered again only when it went on the wire again (its
        // acknowledgement was lost): never more often than it was sent.
        if (delivered > 1) {
            duplicates += delivered - 1;
            if (delivered > reads[i].transmissions) {
                ++unexplainedDuplicates;
                unexplained += " read " + std::to_string(i + 1) + " delivered " +
                               std::to_string(delivered) + " times, sent " +
                               std::to_string(reads[i].transmissions) + ";";
            }
        }
    }
    std::printf(
        "soak: %d s, card reads made %zu, delivered %zu distinct, lost %d, duplicates %d "
        "(after a lost acknowledgement), wakes %d, deaths %d, bytes corrupted %d, noise "
        "bytes %d, replies lost %d, polls silenced %d, retransmissions %d, polls answered %d\n",
        SoakSeconds(), reads.size(), deliveries.size(), lost, duplicates, app.wakes, app.deaths,
        stats.bytesCorrupted, stats.noiseBytesSent, stats.repliesLost, stats.pollsSilenced,
        stats.dataRetransmissions, stats.pollsAnswered);
    EXPECT_GT(reads.size(), static_cast<std::size_t>(3 * SoakSeconds()));
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(unexplainedDuplicates, 0) << unexplained;
    EXPECT_EQ(app.malformed, 0) << "a corrupted record reached the application";
    EXPECT_EQ(deliveries.size(), reads.size()) << "a card that was never read was delivered";
    EXPECT_GT(stats.bytesCorrupted, 0);
    if (SoakSeconds() >= 30) { // about six silences a minute are long enough to kill it
        EXPECT_GT(app.deaths, 0) << "the silences should have killed the link at least once";
    }

    link.reset();
    protocol->Terminate();
    protocol->WaitFor();
}

} // namespace
} // namespace lorvent
