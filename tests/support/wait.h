#pragma once

#include <chrono>
#include <thread>

namespace lorvent::testing {

// Polls `done` every `step` until it holds or `patience` is over; whether it
// held. Only a missing event should ever reach the patience.
template <class F>
bool WaitUntil(F&& done, std::chrono::milliseconds patience,
               std::chrono::milliseconds step = std::chrono::milliseconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

} // namespace lorvent::testing
