#include "sim/sim_device.h"

#include <algorithm>
#include <cstring>

namespace lorvent::sim {
namespace {

constexpr std::uint32_t kBaud = 9600;
constexpr std::array<int, 3> kEightNoneOne = {8, 0, 0};

std::size_t Index(TDeviceCall call) {
    return static_cast<std::size_t>(call);
}

} // namespace

TSimDevice::TSimDevice(const TReaderSimConfig& config) : sim_(config) {
    ResetLineSettings();
}

void TSimDevice::ResetLineSettings() {
    baud_ = kBaud;
    dataCharacteristics_ = kEightNoneOne;
    flowControl_ = 0;
}

// --- The eight calls ----------------------------------------------------------

FT_STATUS TSimDevice::FT_Open(int /*deviceIndex*/, FT_HANDLE* handle) {
    std::lock_guard lock(mutex_);
    const TimePoint now = SimClock::now();
    if (FT_STATUS status = Enter(TDeviceCall::Open, nullptr, now))
        return status;
    if (handle == nullptr)
        return FT_INVALID_PARAMETER;
    if (!plugged_)
        return FT_DEVICE_NOT_FOUND;
    if (handle_ != nullptr && !handleDead_)
        return FT_DEVICE_NOT_OPENED; // already open: one owner at a time
    // Handles are tokens that are never dereferenced, distinct for each open.
    handle_ = reinterpret_cast<FT_HANDLE>(++handlesIssued_);
    handleDead_ = false;
    ResetLineSettings();
    DropLine();
    *handle = handle_;
    return FT_OK;
}

FT_STATUS TSimDevice::FT_Close(FT_HANDLE handle) {
    std::lock_guard lock(mutex_);
    if (FT_STATUS status = Enter(TDeviceCall::Close, handle, SimClock::now()))
        return status;
    if (handle == nullptr || handle != handle_)
        return FT_INVALID_HANDLE;
    handle_ = nullptr;
    handleDead_ = false;
    DropLine();
    return FT_OK;
}

FT_STATUS TSimDevice::FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t length,
                              std::uint32_t* bytesRead) {
    std::unique_lock lock(mutex_);
    TimePoint now = SimClock::now();
    if (bytesRead != nullptr)
        *bytesRead = 0;
    if (FT_STATUS status = Enter(TDeviceCall::Read, handle, now))
        return status;
    if (bytesRead == nullptr || (buffer == nullptr && length > 0))
        return FT_INVALID_PARAMETER;
    const TimePoint deadline = now + std::chrono::milliseconds(readTimeoutMs_);
    std::size_t ready = ReadyBytes(now);
    while (paced_ && ready < length && now < deadline) {
        TimePoint wake = deadline;
        if (line_.size() > ready)
            wake = std::min(wake, line_[ready].readyAt);
        lineChanged_.wait_until(lock, wake);
        now = SimClock::now();
        RefreshPlug(now);
        if (FT_STATUS status = HandleStatus(handle))
            return status; // unplugged or closed while waiting
        ready = ReadyBytes(now);
    }
    const std::size_t count = std::min<std::size_t>(ready, length);
    auto* out = static_cast<std::uint8_t*>(buffer);
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = line_.front().byte;
        line_.pop_front();
    }
    *bytesRead = static_cast<std::uint32_t>(count);
    return FT_OK;
}

FT_STATUS TSimDevice::FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t length,
                               std::uint32_t* bytesWritten) {
    std::lock_guard lock(mutex_);
    const TimePoint now = SimClock::now();
    if (bytesWritten != nullptr)
        *bytesWritten = 0;
    if (FT_STATUS status = Enter(TDeviceCall::Write, handle, now))
        return status;
    if (bytesWritten == nullptr || (buffer == nullptr && length > 0))
        return FT_INVALID_PARAMETER;
    *bytesWritten = length;
    if (!LineSettingsMatchLocked()) {
        ++garbledWrites_;
        return FT_OK;
    }
    sim_.Receive(static_cast<const std::uint8_t*>(buffer), length, now);
    // The reader hears the frame only once it has crossed the line.
    QueueOutput(now, now + length * kByteTime);
    return FT_OK;
}

FT_STATUS TSimDevice::FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate) {
    std::lock_guard lock(mutex_);
    if (FT_STATUS status = Enter(TDeviceCall::SetBaudRate, handle, SimClock::now()))
        return status;
    if (baudRate == 0)
        return FT_INVALID_BAUD_RATE;
    baud_ = baudRate;
    return FT_OK;
}

FT_STATUS TSimDevice::FT_SetDataCharacteristics(FT_HANDLE handle, std::uint8_t wordLength,
                                                std::uint8_t stopBits, std::uint8_t parity) {
    std::lock_guard lock(mutex_);
    if (FT_STATUS status = Enter(TDeviceCall::SetDataCharacteristics, handle, SimClock::now()))
        return status;
    dataCharacteristics_ = {wordLength, stopBits, parity};
    return FT_OK;
}

FT_STATUS TSimDevice::FT_SetFlowControl(FT_HANDLE handle, std::uint16_t flowControl,
                                        std::uint8_t /*xon*/, std::uint8_t /*xoff*/) {
    std::lock_guard lock(mutex_);
    if (FT_STATUS status = Enter(TDeviceCall::SetFlowControl, handle, SimClock::now()))
        return status;
    flowControl_ = flowControl;
    return FT_OK;
}

FT_STATUS TSimDevice::FT_SetTimeouts(FT_HANDLE handle, std::uint32_t readTimeoutMs,
                                     std::uint32_t /*writeTimeoutMs*/) {
    std::lock_guard lock(mutex_);
    if (FT_STATUS status = Enter(TDeviceCall::SetTimeouts, handle, SimClock::now()))
        return status;
    readTimeoutMs_ = readTimeoutMs;
    return FT_OK;
}

// Counts the call, applies an injected failure, then checks the handle
// (FT_Open has none yet).
FT_STATUS TSimDevice::Enter(TDeviceCall call, FT_HANDLE handle, TimePoint now) {
    const int nth = ++callCounts_[Index(call)];
    // Spent failures go, so that a long run with many of them stays fast.
    std::optional<FT_STATUS> failed;
    std::erase_if(failures_, [&](const TFailure& failure) {
        if (failure.call != call || failure.nth > nth)
            return false;
        if (failure.nth == nth && !failed)
            failed = failure.status;
        return true;
    });
    if (failed)
        return *failed;
    RefreshPlug(now);
    if (call == TDeviceCall::Open || call == TDeviceCall::Close)
        return FT_OK;
    return HandleStatus(handle);
}

FT_STATUS TSimDevice::HandleStatus(FT_HANDLE handle) const {
    if (handle == nullptr || handle != handle_)
        return FT_INVALID_HANDLE;
    return handleDead_ ? FT_IO_ERROR : FT_OK;
}

// --- The line -------------------------------------------------------------------

void TSimDevice::QueueOutput(TimePoint now, TimePoint earliestStart) {
    const Bytes out = sim_.TakeOutput();
    if (out.empty())
        return;
    if (handle_ == nullptr || handleDead_)
        return; // nobody is listening: the bytes are lost like on a real line
    TimePoint at = paced_ ? std::max(earliestStart, lineFreeAt_) : now;
    for (std::uint8_t byte : out) {
        if (paced_)
            at += kByteTime;
        line_.push_back({byte, at});
    }
    lineFreeAt_ = at;
    lineChanged_.notify_all();
}

std::size_t TSimDevice::ReadyBytes(TimePoint now) const {
    std::size_t ready = 0;
    while (ready < line_.size() && line_[ready].readyAt <= now)
        ++ready;
    return ready;
}

void TSimDevice::DropLine() {
    line_.clear();
    lineFreeAt_ = {};
    lineChanged_.notify_all();
}

void TSimDevice::RefreshPlug(TimePoint now) {
    if (!plugged_ && replugAt_ && now >= *replugAt_) {
        plugged_ = true;
        replugAt_.reset();
    }
}

// --- Test controls -----------------------------------------------------------

void TSimDevice::SetPaced(bool paced) {
    std::lock_guard lock(mutex_);
    paced_ = paced;
}

void TSimDevice::Unplug() {
    std::lock_guard lock(mutex_);
    UnplugLocked(std::nullopt);
}

void TSimDevice::UnplugFor(std::chrono::milliseconds duration) {
    std::lock_guard lock(mutex_);
    UnplugLocked(SimClock::now() + duration);
}

void TSimDevice::UnplugLocked(std::optional<TimePoint> replugAt) {
    plugged_ = false;
    replugAt_ = replugAt;
    if (handle_ != nullptr)
        handleDead_ = true;
    DropLine();
}

void TSimDevice::Replug() {
    std::lock_guard lock(mutex_);
    plugged_ = true;
    replugAt_.reset();
}

bool TSimDevice::Plugged() const {
    std::lock_guard lock(mutex_);
    return plugged_ || (replugAt_ && SimClock::now() >= *replugAt_);
}

bool TSimDevice::IsOpen() const {
    std::lock_guard lock(mutex_);
    return handle_ != nullptr && !handleDead_;
}

void TSimDevice::FailAt(TDeviceCall call, int nth, FT_STATUS status) {
    std::lock_guard lock(mutex_);
    failures_.push_back({call, nth, status});
}

int TSimDevice::CallCount(TDeviceCall call) const {
    std::lock_guard lock(mutex_);
    return callCounts_[Index(call)];
}

std::size_t TSimDevice::BytesOnLine() const {
    std::lock_guard lock(mutex_);
    return line_.size();
}

bool TSimDevice::LineSettingsMatch() const {
    std::lock_guard lock(mutex_);
    return LineSettingsMatchLocked();
}

bool TSimDevice::LineSettingsMatchLocked() const {
    return baud_ == kBaud && dataCharacteristics_ == kEightNoneOne && flowControl_ == 0;
}

int TSimDevice::GarbledWrites() const {
    std::lock_guard lock(mutex_);
    return garbledWrites_;
}

} // namespace lorvent::sim
