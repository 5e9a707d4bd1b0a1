#pragma once

#include "clock.h"
#include "repeat_filter.h"
#include "text_log.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace lorvent {

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

} // namespace lorvent
