#include "server/output_pump.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace lorvent::server {

namespace {

constexpr int kPollIntervalMs = 100;

} // namespace

OutputPump::OutputPump(int fd, std::size_t capacity)
    : fd_(fd), capacity_(capacity), writer_([this] { Run(); }) {}

OutputPump::~OutputPump() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        drainDeadline_ = std::chrono::steady_clock::now() + kDrainTime;
    }
    wake_.notify_one();
    writer_.join();
}

void OutputPump::Write(std::string line) {
    {
        const std::lock_guard lock(mutex_);
        if (queued_.size() + line.size() + 1 > capacity_) {
            ++dropped_;
            return;
        }
        queued_.append(line).push_back('\n');
    }
    wake_.notify_one();
}

void OutputPump::Run() {
    for (;;) {
        std::string text = TakeQueued();
        if (text.empty())
            return; // stopping, and nothing left
        if (!WriteOut(text))
            return;
    }
}

// Waits for lines; the count of those dropped follows as soon as there is room.
std::string OutputPump::TakeQueued() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return stopping_ || !queued_.empty() || dropped_ > 0; });
    // The queued lines came before the ones left out.
    std::string text = std::move(queued_);
    queued_.clear();
    if (dropped_ > 0) {
        text += "kalvinor-server: " + std::to_string(dropped_) +
                " lines left out while nobody read this output\n";
        dropped_ = 0;
    }
    return text;
}

// Never blocks in write: each piece is at most PIPE_BUF bytes and goes out
// only once poll says the descriptor takes it, so a stalled reader only
// holds this thread in poll, where it notices a stop.
bool OutputPump::WriteOut(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        pollfd ready{fd_, POLLOUT, 0};
        const int polled = poll(&ready, 1, kPollIntervalMs);
        if (polled < 0 && errno != EINTR)
            return false;
        if (polled <= 0) {
            const std::lock_guard lock(mutex_);
            if (stopping_ && std::chrono::steady_clock::now() > drainDeadline_)
                return false;
            continue;
        }
        if ((ready.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
            return true; // the reader is gone: what it would have read is lost with it
        const std::size_t piece = std::min<std::size_t>(text.size() - done, PIPE_BUF);
        const ssize_t written = ::write(fd_, text.data() + done, piece);
        if (written < 0 && errno != EINTR && errno != EAGAIN)
            return true;
        if (written > 0)
            done += static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace lorvent::server
