#pragma once

#include "clock.h"
#include "text_log.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace lorvent {

inline constexpr TPollTime kRepeatSummaryIntervalMs = 60'000;
inline constexpr std::size_t kRepeatFilterCapacity = 256;

// Keeps a failure that repeats (an adapter pulled out fails every poll) from
// filling the log. The first occurrence of each message, by category and
// text, is written at once; its repeats are counted, and the count is written
// as "<text> ... repeated N times" before anything else is written, and at the
// latest once per summary interval, also when nothing else comes (Due). Counts
// come out in the order their messages first appeared. A message not seen for
// a whole interval counts as new again. Records at level Trce are the state
// changes of a reader link (it dies, wakes, has its address set, resets its
// numbers): they are never held back.
class TRepeatFilter {
public:
    struct TEntry {
        std::uint8_t level;
        std::string category;
        std::string text;
    };

    explicit TRepeatFilter(TPollTime summaryIntervalMs = kRepeatSummaryIntervalMs,
                           std::size_t capacity = kRepeatFilterCapacity);

    // What to write, in order, for a record that arrives at `now`
    // (milliseconds on a monotonic clock): the counts due, then the record
    // unless it is a repeat.
    std::vector<TEntry> Admit(const TTextMessage& record, TPollTime now);
    // The counts due at `now` with no record arriving: those of an interval
    // that has ended, so that a count is never held back much longer than one.
    std::vector<TEntry> Due(TPollTime now);
    // The counts not yet written, for the end of the log.
    std::vector<TEntry> Flush();

private:
    struct TSeen {
        std::uint8_t level;
        std::string category;
        std::string text;
        int repeats = 0;
        TPollTime lastSeen = 0;
        std::uint64_t arrival = 0; // orders the counts as the messages first came
    };

    void SummariseIfIntervalEnded(TPollTime now, std::vector<TEntry>& out);
    void SummariseInto(std::vector<TEntry>& out);
    void ForgetSeenBefore(TPollTime time);
    void MakeRoom();

    TPollTime interval_;
    std::size_t capacity_;
    std::map<std::string, TSeen> seen_; // by category and text
    bool started_ = false;
    TPollTime lastSummary_ = 0;
    std::uint64_t arrivals_ = 0;
};

} // namespace lorvent
