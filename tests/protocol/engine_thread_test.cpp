// The engine's thread and the GUI thread side by side: what they share (the
// link's queues, the engine lock) must hold up under ThreadSanitizer.
#include "support/engine_setup.h"
#include "support/fake_clock.h"
#include "support/frames.h"
#include "support/hex.h"
#include "support/recording_log.h"
#include "support/scripted_device.h"
#include "support/temp_dir.h"

#include "protocol/log_file.h"
#include "protocol/proto_slave.h"
#include "protocol/protocol.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <thread>

namespace lorvent {
namespace {

using namespace std::chrono_literals;

// A reader that answers each poll at once: its token, and now and then a card
// read as a data Packet, repeated until the master acknowledges it. It runs
// inside the device calls, on the protocol thread.
class InstantReader {
public:
    explicit InstantReader(testing::ScriptedDevice& device) : device_(device) {
        device_.onWrite = [this](const std::vector<std::uint8_t>& frame) { Answer(frame); };
    }

    int cardsAcknowledged = 0;

private:
    void Answer(const std::vector<std::uint8_t>& frame) {
        if (frame.size() == 2 && frame[1] == 0x81) { // poll for address 1
            if (unacknowledged_ || ++polls_ % 3 == 0)
                SendCard();
            device_.Feed({0xC0, 0x81});
            return;
        }
        if (frame.size() < 4 || frame[1] != 0x01)
            return;
        const std::uint8_t control = frame[2] == 0x7D ? frame[3] ^ 0x20 : frame[2];
        if (control == 0x81) { // the master's reset: numbers start again
            seq_ = ack_ = 0;
            unacknowledged_ = false;
            Reply({0x01, 0x82});
        } else if (control < 0x80) {
            ack_ = ((control >> 4) + 1) & 7;
            TakeAck(control & 7);
        } else if (control >= 0xC0 && control <= 0xC7) {
            TakeAck(control & 7);
        }
    }
    void TakeAck(int ack) {
        if (unacknowledged_ && ack == ((seq_ + 1) & 7)) {
            unacknowledged_ = false;
            seq_ = (seq_ + 1) & 7;
            ++cardsAcknowledged;
        }
    }
    void SendCard() {
        unacknowledged_ = true;
        Reply({0x01, static_cast<std::uint8_t>((seq_ << 4) | ack_), 0x83, 0x00, 0x12, 0x34, 0x56,
               static_cast<std::uint8_t>(cardsAcknowledged)});
    }
    void Reply(const std::vector<std::uint8_t>& bytes) {
        device_.Feed(testing::ReaderFrame(bytes));
    }

    testing::ScriptedDevice& device_;
    int polls_ = 0;
    int seq_ = 0;
    int ack_ = 0;
    bool unacknowledged_ = false;
};

class CountingLink : public TProtoSlave {
public:
    using TProtoSlave::TProtoSlave;
    ~CountingLink() override { Protocol().UnregisterSlave(this); }
    void Notify() override { ++notified; }
    std::atomic<int> notified{0};
};

TEST(EngineThreadTest, GuiThreadDrainsAndDiscardsWhileTheBusRuns) {
    auto scripted = std::make_unique<testing::ScriptedDevice>();
    InstantReader reader(*scripted);
    testing::RecordingLog log;
    auto protocol = std::make_unique<TProtocol>(testing::EngineSetup(std::move(scripted), log));
    ASSERT_TRUE(protocol->Open("", "9600,n,8,1"));
    auto link = std::make_unique<CountingLink>(*protocol, &log);
    link->Init(0xFFFFFFFF, 1);

    int cards = 0, wakes = 0;
    const auto deadline = std::chrono::steady_clock::now() + 3000ms; // about 1 s of it to wake
    while (std::chrono::steady_clock::now() < deadline) {
        while (auto message = link->TakeInbound()) {
            if (message->bytes[0] == kWakeMarker) {
                ++wakes;
                link->DiscardOutput();
            } else if (message->bytes[0] == 0x83) {
                ++cards;
                const std::uint8_t command[] = {0x03, 0x06, 0x00};
                link->PutOutbound(std::make_unique<TProtoMessage>(command, 3));
            }
        }
        std::this_thread::sleep_for(2ms);
    }
    link.reset(); // unregisters under the engine lock while the thread runs
    protocol->Terminate();
    protocol->WaitFor();
    EXPECT_EQ(wakes, 1);
    EXPECT_GT(cards, 10);
    // Each read reaches the application once, however often it was repeated.
    EXPECT_LE(cards - reader.cardsAcknowledged, 1);
    DestroyProtocol(protocol);
}

// The log written from both sides: the protocol thread's ticks write the
// counts due while another thread logs the same message over and over. The
// engine's clock is a fake one whose sleeps return at once, so its thread
// ticks without pause; the log's own is the real one with a summary interval
// of a millisecond, so that both threads write counts and share no lock but
// the engine's. Every occurrence is in the file once, as its first line or
// within a count; ThreadSanitizer watches the two sharing the log.
TEST(EngineThreadTest, LogTicksAndEntriesFromAnotherThreadLoseAndDoubleNothing) {
    testing::TTempDir directory;
    const std::string path = directory.File("log.txt").string();
    constexpr int kOccurrences = 5000;
    {
        mqLog log(path.c_str(), {TLogLimits{}.sizeBytes, 1});
        TProtocolSetup setup =
            testing::EngineSetup(std::make_unique<testing::ScriptedDevice>(), log);
        setup.clock = std::make_shared<testing::FakeClock>();
        TProtocol protocol(std::move(setup));
        for (int i = 0; i < kOccurrences; ++i)
            protocol.LogWarning("No answer");
        protocol.Terminate();
        protocol.WaitFor();
    }
    const std::string text = testing::FileBytes(path);
    const std::regex entry(R"( Protocol No answer(?: \.\.\. repeated (\d+) times?)?\r?\n)");
    int occurrences = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), entry);
         it != std::sregex_iterator(); ++it)
        occurrences += (*it)[1].matched ? std::stoi((*it)[1]) : 1;
    EXPECT_EQ(occurrences, kOccurrences) << text.substr(0, 2000);
}

} // namespace
} // namespace lorvent
