#pragma once

#include "protocol/text_log.h"

#include <mutex>
#include <string>
#include <vector>

namespace lorvent::testing {

// A log sink that keeps each entry as "category level text", e.g. "S1 Warn No reply from slave".
class RecordingLog : public TTextMessageQueue {
public:
    void Put(std::unique_ptr<TTextMessage> message) override {
        std::lock_guard<std::mutex> guard(mutex_);
        lines_.push_back(message->category + " " + message->LevelName() + " " + message->text);
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> guard(mutex_);
        return lines_;
    }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> guard(mutex_);
        auto taken = std::move(lines_);
        lines_.clear();
        return taken;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A log sink nobody reads, for harnesses that run the engine many times over.
class DiscardingLog : public TTextMessageQueue {
public:
    void Put(std::unique_ptr<TTextMessage>) override {}
};

} // namespace lorvent::testing
