#include "typing_queue.h"

namespace lorvent {

TTypingQueue::TTypingQueue(TKeyboard& keyboard, TAppClock& clock)
    : keyboard_(keyboard), clock_(clock) {}

TTypingQueue::~TTypingQueue() {
    Stop();
}

void TTypingQueue::Type(const TTypingSetup& setup, std::string number) {
    std::lock_guard lock(mutex_);
    if (stopping_)
        return;
    waiting_.push_back({setup, std::move(number)});
    if (!thread_.joinable())
        thread_ = std::thread([this] { Run(); });
    changed_.notify_all();
}

bool TTypingQueue::WaitUntilTyped(std::chrono::milliseconds patience) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, patience, [this] { return waiting_.empty() && !typing_; });
}

int TTypingQueue::Stop() {
    int untyped = 0;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        untyped = static_cast<int>(waiting_.size());
        waiting_.clear();
        changed_.notify_all();
    }
    if (thread_.joinable())
        thread_.join();
    return untyped;
}

void TTypingQueue::Run() {
    TNumber next;
    bool followsAnother = false;
    while (TakeNext(next, followsAnother)) {
        if (followsAnother && next.setup.KeyDelayMs > 0)
            clock_.Sleep(next.setup.KeyDelayMs);
        TypeCardNumber(keyboard_, clock_, next.setup, next.text);
        Finished();
    }
}

bool TTypingQueue::TakeNext(TNumber& next, bool& followsAnother) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
    if (stopping_)
        return false;
    next = std::move(waiting_.front());
    waiting_.pop_front();
    typing_ = true;
    followsAnother = backToBack_;
    return true;
}

void TTypingQueue::Finished() {
    std::lock_guard lock(mutex_);
    typing_ = false;
    backToBack_ = !waiting_.empty();
    changed_.notify_all();
}

} // namespace lorvent
