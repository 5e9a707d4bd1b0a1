#pragma once

// What the engine needs besides its device when a harness or the seed
// recorder steps it by hand: a clock that moves only when the engine sleeps,
// a window thread that never ends, and a log nobody reads.

#include "protocol/clock.h"
#include "protocol/text_log.h"

#include <memory>

namespace lorvent::fuzz {

class ManualClock : public TClock {
public:
    TPollTime Now() override { return now; }
    void Sleep(int milliseconds) override { now += milliseconds > 0 ? milliseconds : 0; }
    TPollTime now = 1'000'000;
};

class AlwaysAlive : public TThreadWatch {
public:
    bool Alive() override { return true; }
};

class DiscardingLog : public TTextMessageQueue {
public:
    void Put(std::unique_ptr<TTextMessage>) override {}
};

} // namespace lorvent::fuzz
