#pragma once

#include <mutex>
#include <ostream>
#include <string>

namespace lorvent::server {

// Where the server's echo of stored records and its log lines go. Write may
// be called from any thread and never waits for a reader.
class LineSink {
public:
    virtual ~LineSink() = default;
    // One line, without its line end.
    virtual void Write(std::string line) = 0;
};

// Lines into a stream that is always ready (a string stream, in tests).
class StreamLineSink final : public LineSink {
public:
    explicit StreamLineSink(std::ostream& stream) : stream_(stream) {}
    void Write(std::string line) override {
        const std::lock_guard lock(mutex_);
        stream_ << line << '\n';
    }

private:
    std::mutex mutex_;
    std::ostream& stream_;
};

} // namespace lorvent::server
