#include "clock.h"

namespace lorvent {
namespace {

// One per thread that asked to be watched; it clears the flag when its thread
// ends (for the main thread: when the process runs its exit handlers).
struct ThreadLifeSentinel {
    std::shared_ptr<std::atomic<bool>> alive = std::make_shared<std::atomic<bool>>(true);
    ~ThreadLifeSentinel() { *alive = false; }
};

class TFlagWatch : public TThreadWatch {
public:
    explicit TFlagWatch(std::shared_ptr<std::atomic<bool>> alive) : alive_(std::move(alive)) {}
    bool Alive() override { return *alive_; }

private:
    std::shared_ptr<std::atomic<bool>> alive_;
};

} // namespace

std::shared_ptr<TThreadWatch> WatchCurrentThread() {
    thread_local ThreadLifeSentinel sentinel;
    return std::make_shared<TFlagWatch>(sentinel.alive);
}

} // namespace lorvent
