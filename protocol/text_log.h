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

// The ctime form of a local time, line break included: "Tue Dec 08 14:01:43 2026\n".
std::string FormatCtime(const std::tm& local);

// The local time now, to the second.
std::tm LocalTimeNow();

// printf-style formatting into a string of any length.
std::string FormatText(const char* format, std::va_list arguments);

} // namespace lorvent
