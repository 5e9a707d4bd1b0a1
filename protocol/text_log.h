#pragma once

#include "clock.h"
#include "critical_section.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <memory>
#include <string>

namespace lorvent {

enum TLogLevel : std::uint8_t {
    kLevelWarn = 0,
    kLevelTrace = 1,
    kLevelInfo = 2,
    kLevelMessage = 3,
    kLevelError = 4,
};

// One protocol log record. The producer makes it and hands it to a sink,
// which owns it from then on.
class TTextMessage {
public:
    TTextMessage(std::uint8_t level, std::string text, std::string category);
    virtual ~TTextMessage() = default;

    // The level's four-character name; "Unkn" for a level out of range.
    virtual const char* LevelName() const;

    std::uint8_t level;
    std::string text;
    std::string category;
};

// The base log sink: a FIFO of records under a lock of its own.
class TTextMessageQueue {
public:
    TTextMessageQueue() = default;
    virtual ~TTextMessageQueue();
    TTextMessageQueue(const TTextMessageQueue&) = delete;
    TTextMessageQueue& operator=(const TTextMessageQueue&) = delete;

    // Takes the record, queues it and calls Notify, all under the sink's lock.
    virtual void Put(std::unique_ptr<TTextMessage> message);
    // The oldest record, or null when there is none; the caller owns it.
    virtual std::unique_ptr<TTextMessage> Get();
    // Called under the lock after each Put; a consumer may override it to wake up.
    virtual void Notify() {}
    // Called by the protocol thread on each pass of its loop (a few times a
    // second), under the engine lock like every Put: a sink that holds
    // records back writes those that are due, even when no record follows.
    virtual void Tick() {}

private:
    TCriticalSection lock_;
    std::deque<std::unique_ptr<TTextMessage>> queue_;
};

class TRepeatFilter;

// How large log.txt may grow, and how often the counts of repeated messages
// are written.
struct TLogLimits {
    // Once the file has reached this size it becomes log.old (replacing an
    // older one) and a new file is started: the two never take much more
    // than twice this on disk, unless the rename fails (log.txt is then kept
    // whole and grows on until a later try succeeds).
    std::uint64_t sizeBytes = 10ull * 1024 * 1024;
    TPollTime summaryIntervalMs = 60'000;
    // After a failed rename to log.old, how long log.txt grows on before the
    // next try.
    TPollTime rotationRetryMs = 60'000;
};

// A text longer than this is cut, so that no one entry can pass the size bound.
inline constexpr std::size_t kMaxLogTextLength = 4096;

// The sink the program uses: appends records to a text file (log.txt in the
// working directory) and flushes each at once. A message that repeats is
// written once and then counted (TRepeatFilter). It takes no lock of its own:
// every producer logs while holding the engine lock.
class mqLog : public TTextMessageQueue {
public:
    // Null clock: the monotonic one.
    explicit mqLog(const char* path = "log.txt", TLogLimits limits = {},
                   std::shared_ptr<TClock> clock = nullptr);
    // Writes the counts still held back.
    ~mqLog() override;

    void Put(std::unique_ptr<TTextMessage> message) override;
    // Writes the counts whose interval has ended.
    void Tick() override;

private:
    void Write(const std::string& category, const std::string& text);
    void Append(const std::string& category, const std::string& text);
    void Open();
    bool RotationDue();
    void Rotate();

    std::string path_;
    std::uint64_t sizeLimit_;
    TPollTime rotationRetryMs_;
    std::shared_ptr<TClock> clock_;
    std::unique_ptr<TRepeatFilter> repeats_;
    std::FILE* stream_ = nullptr;
    std::uint64_t size_ = 0;
    bool rotationFailing_ = false; // told once in the log until a rename succeeds
    TPollTime nextRotationTry_ = 0;
};

// The ctime form of a local time, line break included: "Tue Dec 08 14:01:43 2026\n".
std::string FormatCtime(const std::tm& local);

// The local time now, to the second.
std::tm LocalTimeNow();

// printf-style formatting into a string of any length.
std::string FormatText(const char* format, std::va_list arguments);

} // namespace lorvent
