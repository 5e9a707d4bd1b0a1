#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace lorvent {

// Milliseconds on a monotonic clock. Poll times are kept on it so that the
// wall clock going back (daylight-saving end, a clock step) cannot stall the bus.
using TPollTime = double;

// Time and sleeping as the engine sees them; tests tick a fake by hand.
class TClock {
public:
    virtual ~TClock() = default;
    virtual TPollTime Now() = 0;
    virtual void Sleep(int milliseconds) = 0;
};

class TSteadyClock : public TClock {
public:
    // Whole milliseconds, so a wait is never a fraction of one that the loop
    // could only spin through. Offset so that a fresh link's poll time 0 is
    // always long past.
    TPollTime Now() override {
        using namespace std::chrono;
        const auto now = duration_cast<milliseconds>(steady_clock::now().time_since_epoch());
        return static_cast<TPollTime>(now.count()) + 86'400'000.0;
    }
    void Sleep(int milliseconds) override {
        if (milliseconds <= 0)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
};

// Tells whether the thread that owns the window is still running. The engine
// ends itself when it is gone.
class TThreadWatch {
public:
    virtual ~TThreadWatch() = default;
    virtual bool Alive() = 0;
};

// Watches the thread that calls it. Must be called on the GUI thread.
std::shared_ptr<TThreadWatch> WatchCurrentThread();

// Names the calling thread for debuggers.
void NameCurrentThread(const char* name);

} // namespace lorvent
