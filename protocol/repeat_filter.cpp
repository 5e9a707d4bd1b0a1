#include "repeat_filter.h"

#include <algorithm>

namespace lorvent {

namespace {

std::string KeyOf(const TTextMessage& record) {
    return record.category + '\n' + record.text;
}

} // namespace

TRepeatFilter::TRepeatFilter(TPollTime summaryIntervalMs, std::size_t capacity)
    : interval_(summaryIntervalMs), capacity_(std::max<std::size_t>(capacity, 1)) {}

std::vector<TRepeatFilter::TEntry> TRepeatFilter::Admit(const TTextMessage& record,
                                                        TPollTime now) {
    std::vector<TEntry> out;
    SummariseIfIntervalEnded(now, out);
    const bool stateChange = record.level == kLevelTrace;
    const std::string key = KeyOf(record);
    const auto known = seen_.find(key);
    if (!stateChange && known != seen_.end()) {
        ++known->second.repeats;
        known->second.lastSeen = now;
        return out;
    }
    // What repeated so far is told before what happens now.
    SummariseInto(out);
    out.push_back({record.level, record.category, record.text});
    if (!stateChange) {
        MakeRoom();
        seen_[key] = TSeen{record.level, record.category, record.text, 0, now, arrivals_++};
    }
    return out;
}

std::vector<TRepeatFilter::TEntry> TRepeatFilter::Due(TPollTime now) {
    std::vector<TEntry> out;
    SummariseIfIntervalEnded(now, out);
    return out;
}

std::vector<TRepeatFilter::TEntry> TRepeatFilter::Flush() {
    std::vector<TEntry> out;
    SummariseInto(out);
    return out;
}

// The interval starts with the first record or tick the filter sees.
void TRepeatFilter::SummariseIfIntervalEnded(TPollTime now, std::vector<TEntry>& out) {
    if (!started_) {
        started_ = true;
        lastSummary_ = now;
    }
    if (now - lastSummary_ < interval_)
        return;
    SummariseInto(out);
    ForgetSeenBefore(lastSummary_);
    lastSummary_ = now;
}

void TRepeatFilter::SummariseInto(std::vector<TEntry>& out) {
    std::vector<TSeen*> counted;
    for (auto& [key, seen] : seen_)
        if (seen.repeats > 0)
            counted.push_back(&seen);
    std::sort(counted.begin(), counted.end(),
              [](const TSeen* a, const TSeen* b) { return a->arrival < b->arrival; });
    for (TSeen* seen : counted) {
        out.push_back({seen->level, seen->category,
                       seen->text + " ... repeated " + std::to_string(seen->repeats) +
                           (seen->repeats == 1 ? " time" : " times")});
        seen->repeats = 0;
    }
}

void TRepeatFilter::ForgetSeenBefore(TPollTime time) {
    std::erase_if(seen_, [time](const auto& entry) { return entry.second.lastSeen < time; });
}

// The message seen longest ago makes way; its count has been written already.
void TRepeatFilter::MakeRoom() {
    if (seen_.size() < capacity_)
        return;
    const auto oldest = std::min_element(seen_.begin(), seen_.end(), [](const auto& a, const auto& b) {
        return a.second.lastSeen < b.second.lastSeen;
    });
    seen_.erase(oldest);
}

} // namespace lorvent
