#pragma once

#include "protocol/clock.h"

#include <functional>
#include <mutex>
#include <vector>

namespace lorvent::testing {

// A clock ticked by hand: sleeping only moves its time on and is recorded.
class FakeClock : public TClock {
public:
    explicit FakeClock(TPollTime start = 1'000'000) : now_(start) {}

    TPollTime Now() override {
        std::lock_guard<std::mutex> guard(mutex_);
        return now_;
    }
    void Sleep(int milliseconds) override {
        std::function<void(int)> hook;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            sleeps.push_back(milliseconds);
            now_ += milliseconds;
            hook = onSleep;
        }
        if (hook)
            hook(milliseconds);
    }
    void Advance(TPollTime milliseconds) {
        std::lock_guard<std::mutex> guard(mutex_);
        now_ += milliseconds;
    }
    std::vector<int> TakeSleeps() {
        std::lock_guard<std::mutex> guard(mutex_);
        auto taken = std::move(sleeps);
        sleeps.clear();
        return taken;
    }

    std::function<void(int)> onSleep;
    std::vector<int> sleeps;

private:
    std::mutex mutex_;
    TPollTime now_;
};

// A GUI thread whose end the test decides.
class FlagThreadWatch : public TThreadWatch {
public:
    bool Alive() override { return alive; }
    std::atomic<bool> alive{true};
};

} // namespace lorvent::testing
