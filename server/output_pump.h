#pragma once

#include "server/line_sink.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <string>
#include <thread>

namespace lorvent::server {

// Lines for a file descriptor that nobody may be reading (standard output or
// error piped to a program that stalls). A thread of its own writes them;
// Write only queues. When more than `capacity` bytes wait, further lines are
// dropped and counted, and a line saying how many follows once the reader
// takes output again: the server never stops for its output.
class OutputPump final : public LineSink {
public:
    explicit OutputPump(int fd, std::size_t capacity = 1 << 20);
    // Gives the queued lines up to `kDrainTime` to leave, then stops.
    ~OutputPump() override;
    OutputPump(const OutputPump&) = delete;
    OutputPump& operator=(const OutputPump&) = delete;

    void Write(std::string line) override;

    static constexpr std::chrono::milliseconds kDrainTime{2000};

private:
    void Run();
    std::string TakeQueued();
    // False when stopping and the drain time has run out.
    bool WriteOut(const std::string& text);

    int fd_;
    std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::string queued_;
    std::size_t dropped_ = 0;
    bool stopping_ = false;
    std::chrono::steady_clock::time_point drainDeadline_;
    std::thread writer_;
};

} // namespace lorvent::server
