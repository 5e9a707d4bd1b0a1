// The window's timers and message queue on the event loop of lorventd.
#include "app/daemon/loop_services.h"

#include <gtest/gtest.h>

#include <thread>

namespace lorvent::testing {
namespace {

using namespace std::chrono_literals;

// A repeating timer fires until it is stopped, also when its own handler
// stops it (the one-shot use of BlickTimer); the loop then has nothing left.
TEST(LoopTimer, RepeatsUntilStoppedEvenFromItsOwnHandler) {
    for (const int firings : {1, 3}) {
        SCOPED_TRACE(firings);
        asio::io_context loop;
        int fired = 0;
        TLoopTimer* self = nullptr;
        TLoopTimer timer(loop, [&] {
            if (++fired == firings)
                self->Stop();
        });
        self = &timer;
        timer.Start(5);
        EXPECT_TRUE(timer.Enabled());
        loop.run_for(10s); // returns as soon as the timer stops waiting
        EXPECT_EQ(fired, firings);
        EXPECT_FALSE(timer.Enabled());
    }
}

TEST(LoopTimer, StoppedBeforeItFiresItNeverDoes) {
    asio::io_context loop;
    int fired = 0;
    TLoopTimer timer(loop, [&] { ++fired; });
    timer.Start(5);
    timer.Stop();
    loop.run_for(10s);
    EXPECT_EQ(fired, 0);
    EXPECT_FALSE(timer.Enabled());
}

// A start while it runs begins the interval again: the long first interval
// never ends, the short second one does.
TEST(LoopTimer, StartingAgainRestartsWithTheNewInterval) {
    asio::io_context loop;
    int fired = 0;
    TLoopTimer* self = nullptr;
    TLoopTimer timer(loop, [&] {
        ++fired;
        self->Stop();
    });
    self = &timer;
    timer.Start(3'600'000);
    timer.Start(5);
    loop.run_for(60s);
    EXPECT_EQ(fired, 1);
}

// A handler that blocks the loop longer than the interval (an upload waiting
// for a server) is followed by one tick, not by a burst that makes up for
// every one missed.
TEST(LoopTimer, TicksMissedWhileTheLoopWasBlockedAreNotMadeUp) {
    asio::io_context loop;
    std::vector<std::chrono::steady_clock::time_point> ticks;
    TLoopTimer* self = nullptr;
    TLoopTimer timer(loop, [&] {
        ticks.push_back(std::chrono::steady_clock::now());
        if (ticks.size() == 1)
            std::this_thread::sleep_for(200ms); // ten intervals
        if (ticks.size() == 3)
            self->Stop();
    });
    self = &timer;
    timer.Start(20);
    loop.run_for(10s);
    ASSERT_EQ(ticks.size(), 3u);
    EXPECT_GE(ticks[2] - ticks[1], 15ms) << "the third tick waited a whole interval";
}

// Messages posted from the protocol thread reach the loop's thread, all of
// them and in the order posted.
TEST(LoopPoster, MessagesFromAnotherThreadArriveInOrderOnTheLoopThread) {
    asio::io_context loop;
    const auto guard = asio::make_work_guard(loop);
    std::vector<int> arrived;
    std::vector<std::thread::id> threads;
    constexpr int kLast = 32770 + 500;
    TLoopPoster poster(loop, [&](int message) {
        arrived.push_back(message);
        threads.push_back(std::this_thread::get_id());
        if (message == kLast)
            loop.stop();
    });
    std::thread protocol([&] {
        for (int message = 32770; message <= kLast; ++message)
            poster.Post(message);
    });
    loop.run_for(30s);
    protocol.join();
    ASSERT_EQ(arrived.size(), 501u);
    for (std::size_t i = 0; i < arrived.size(); ++i)
        ASSERT_EQ(arrived[i], 32770 + static_cast<int>(i));
    for (const auto& id : threads)
        ASSERT_EQ(id, std::this_thread::get_id());
}

} // namespace
} // namespace lorvent::testing
