#include "log_file.h"

#include "file_open.h"

#include <filesystem>
#include <utility>

namespace lorvent {

mqLog::mqLog(const char* path, TLogLimits limits, std::shared_ptr<TClock> clock)
    : path_(path), sizeLimit_(limits.sizeBytes), rotationRetryMs_(limits.rotationRetryMs),
      clock_(clock ? std::move(clock) : std::make_shared<TSteadyClock>()),
      repeats_(std::make_unique<TRepeatFilter>(limits.summaryIntervalMs)) {
    Open();
}

mqLog::~mqLog() {
    for (const auto& entry : repeats_->Flush())
        Write(entry.category, entry.text);
    if (stream_ != nullptr)
        std::fclose(stream_);
}

void mqLog::Put(std::unique_ptr<TTextMessage> message) {
    for (const auto& entry : repeats_->Admit(*message, clock_->Now()))
        Write(entry.category, entry.text);
}

void mqLog::Tick() {
    for (const auto& entry : repeats_->Due(clock_->Now()))
        Write(entry.category, entry.text);
}

void mqLog::Write(const std::string& category, const std::string& text) {
    if (RotationDue())
        Rotate();
    Append(category, text);
}

void mqLog::Append(const std::string& category, const std::string& text) {
    if (stream_ == nullptr)
        return; // no log file: the record is dropped, the engine runs on
    const std::string timestamp = FormatCtime(LocalTimeNow());
    const std::string shown =
        text.size() > kMaxLogTextLength ? text.substr(0, kMaxLogTextLength) + "..." : text;
    std::fprintf(stream_, "%s %s %s\n", timestamp.c_str(), category.c_str(), shown.c_str());
    std::fflush(stream_);
    const long end = std::ftell(stream_);
    if (end >= 0)
        size_ = static_cast<std::uint64_t>(end);
}

void mqLog::Open() {
    // The working directory's name may be anything: the file is opened by
    // the platform's own path.
    stream_ = OpenFile(PathFromUtf8(path_), "a");
    size_ = 0;
    if (stream_ != nullptr && std::fseek(stream_, 0, SEEK_END) == 0) {
        const long end = std::ftell(stream_);
        size_ = end > 0 ? static_cast<std::uint64_t>(end) : 0;
    }
}

bool mqLog::RotationDue() {
    return stream_ != nullptr && size_ >= sizeLimit_ &&
           (!rotationFailing_ || clock_->Now() >= nextRotationTry_);
}

// The full log becomes log.old beside it. Where it cannot be renamed (a
// viewer holds log.old open on Windows, a directory has taken the name),
// log.txt is kept and written on, and the rename is tried again later: the
// entries matter more than the bound on the disk.
void mqLog::Rotate() {
    std::fclose(stream_);
    stream_ = nullptr;
    const std::filesystem::path current = PathFromUtf8(path_);
    const std::filesystem::path old = std::filesystem::path(current).replace_extension(".old");
    std::error_code error;
    std::filesystem::remove(old, error);
    std::filesystem::rename(current, old, error);
    Open();
    if (!error) {
        rotationFailing_ = false;
        return;
    }
    nextRotationTry_ = clock_->Now() + rotationRetryMs_;
    if (rotationFailing_)
        return;
    rotationFailing_ = true;
    Append("Log", "Cannot rename " + Utf8FromPath(current.filename()) + " to " +
                      Utf8FromPath(old.filename()) + " (" + error.message() +
                      "): the log is kept and grows on until a later try succeeds");
}

} // namespace lorvent
