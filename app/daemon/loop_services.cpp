#include "loop_services.h"

#include <asio/post.hpp>

namespace lorvent {

TLoopTimer::TLoopTimer(asio::io_context& loop, std::function<void()> onTimeout)
    : timer_(loop), onTimeout_(std::move(onTimeout)) {}

void TLoopTimer::Start(int intervalMs) {
    interval_ = std::chrono::milliseconds(intervalMs);
    enabled_ = true;
    ++generation_;
    timer_.expires_after(interval_);
    Arm();
}

void TLoopTimer::Stop() {
    enabled_ = false;
    ++generation_;
    timer_.cancel();
}

// The next expiry counts from the last one, so that the ticks do not drift
// by the time each takes. Ticks missed while the loop was blocked are not
// made up: one comes at once, and the next a whole interval after it.
void TLoopTimer::Arm() {
    timer_.async_wait([this, generation = generation_](const asio::error_code& error) {
        if (error || generation != generation_ || !enabled_)
            return;
        const auto now = asio::steady_timer::clock_type::now();
        const auto next = timer_.expiry() + interval_;
        timer_.expires_at(next > now ? next : now + interval_);
        Arm();
        onTimeout_();
    });
}

void TLoopPoster::Post(int message) {
    asio::post(loop_, [this, message] { dispatch_(message); });
}

} // namespace lorvent
