#pragma once

#include "typing.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace lorvent {

// Types card numbers on a thread of its own, each number whole and in the
// order handed over, so that the window's thread never waits for the pauses
// between the keys: it goes on handling reads (and the reader's feedback)
// while a number is typed. A number handed over while another is typed waits
// for it, and the key delay separates it from the one before as it separates
// two characters. The thread starts with the first number.
class TTypingQueue {
public:
    TTypingQueue(TKeyboard& keyboard, TAppClock& clock);
    // Stop().
    ~TTypingQueue();
    TTypingQueue(const TTypingQueue&) = delete;
    TTypingQueue& operator=(const TTypingQueue&) = delete;

    void Type(const TTypingSetup& setup, std::string number);
    // Waits until every number handed over is typed; false when `patience`
    // ran out first.
    bool WaitUntilTyped(std::chrono::milliseconds patience);
    // The number being typed is finished, so that no part of a number is left
    // in the window in front; the numbers still waiting are not typed. Their
    // reads are in the window's list. Returns how many were left untyped.
    int Stop();

private:
    struct TNumber {
        TTypingSetup setup;
        std::string text;
    };

    void Run();
    // The next number to type, or none when the queue has stopped.
    bool TakeNext(TNumber& next, bool& followsAnother);
    void Finished();

    TKeyboard& keyboard_;
    TAppClock& clock_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<TNumber> waiting_;
    bool typing_ = false;
    bool stopping_ = false;
    // The number just typed found the next one waiting.
    bool backToBack_ = false;
    std::thread thread_;
};

} // namespace lorvent
