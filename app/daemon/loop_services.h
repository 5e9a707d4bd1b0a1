#pragma once

// The window's timers and message queue on an Asio event loop, for the
// program without a display.

#include "app/frm_services.h"

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <functional>

namespace lorvent {

// A repeating timer of the loop, as the window's timers are: it fires every
// interval from its start until it is stopped, and a start restarts it.
class TLoopTimer : public TTimerView {
public:
    TLoopTimer(asio::io_context& loop, std::function<void()> onTimeout);

    void Start(int intervalMs) override;
    void Stop() override;
    bool Enabled() const override { return enabled_; }

private:
    void Arm();

    asio::steady_timer timer_;
    std::function<void()> onTimeout_;
    std::chrono::milliseconds interval_{0};
    bool enabled_ = false;
    // Tells a wait that ended before a Stop or a restart from the present one.
    unsigned generation_ = 0;
};

// Posts the window's messages to the loop from any thread; the loop hands
// each to `dispatch` on its own thread, in the order posted.
class TLoopPoster : public TMessagePoster {
public:
    TLoopPoster(asio::io_context& loop, std::function<void(int)> dispatch)
        : loop_(loop), dispatch_(std::move(dispatch)) {}
    void Post(int message) override;

private:
    asio::io_context& loop_;
    std::function<void(int)> dispatch_;
};

} // namespace lorvent
