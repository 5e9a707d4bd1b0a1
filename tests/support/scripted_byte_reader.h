#pragma once

#include "protocol/frame_reader.h"

#include <cstdint>
#include <deque>
#include <vector>

namespace lorvent::testing {

// A byte source for the frame reader. Bytes arrive in chunks; a read never
// crosses a chunk. Between chunks the script may place a time-out (a read
// returns 0) or a device failure (a read returns -1).
class ScriptedByteReader : public TByteReader {
public:
    ScriptedByteReader& Bytes(const std::vector<std::uint8_t>& bytes, std::size_t chunk = 0) {
        if (chunk == 0)
            chunk = bytes.empty() ? 1 : bytes.size();
        for (std::size_t at = 0; at < bytes.size(); at += chunk)
            steps_.push_back({Kind::Data,
                              {bytes.begin() + static_cast<std::ptrdiff_t>(at),
                               bytes.begin() + static_cast<std::ptrdiff_t>(
                                                   std::min(at + chunk, bytes.size()))}});
        return *this;
    }
    ScriptedByteReader& Timeout() {
        steps_.push_back({Kind::Timeout, {}});
        return *this;
    }
    ScriptedByteReader& Failure() {
        steps_.push_back({Kind::Failure, {}});
        return *this;
    }

    bool SetReadTimeout(int milliseconds) override {
        timeouts.push_back(milliseconds);
        return true;
    }

    int ReadBytes(std::uint8_t* buffer, int count) override {
        ++reads;
        if (steps_.empty())
            return 0; // the line is quiet once the script is over
        Step& step = steps_.front();
        if (step.kind != Kind::Data) {
            const int result = step.kind == Kind::Timeout ? 0 : -1;
            steps_.pop_front();
            return result;
        }
        int taken = 0;
        while (taken < count && !step.bytes.empty()) {
            buffer[taken++] = step.bytes.front();
            step.bytes.pop_front();
        }
        if (step.bytes.empty())
            steps_.pop_front();
        return taken;
    }

    bool Exhausted() const { return steps_.empty(); }

    std::vector<int> timeouts;
    int reads = 0;

private:
    enum class Kind { Data, Timeout, Failure };
    struct Step {
        Kind kind;
        std::deque<std::uint8_t> bytes;
    };
    std::deque<Step> steps_;
};

} // namespace lorvent::testing
