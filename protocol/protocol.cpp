#include "protocol.h"

#include "log_file.h"
#include "proto_slave.h"

#include <stdexcept>

namespace lorvent {

namespace {
constexpr std::uint32_t kDataBits = 8;
constexpr std::uint8_t kOneStopBit = 0;
constexpr std::uint8_t kNoParity = 0;
constexpr std::uint16_t kNoFlowControl = 0;

// The engine logs the low 8 bits of a device status as a signed number.
int StatusForLog(FT_STATUS status) {
    return static_cast<std::int8_t>(status & 0xFF);
}
} // namespace

bool TProtocol::SlavesPrioCmp::operator()(const TProtoSlave* a, const TProtoSlave* b) const {
    if (a->nextPollTime != b->nextPollTime)
        return a->nextPollTime < b->nextPollTime;
    return std::less<const TProtoSlave*>()(a, b);
}

TProtocol::TProtocol(TProtocolSetup setup)
    : device_(std::move(setup.device)), logSink_(setup.logSink),
      guiThread_(setup.guiThread ? std::move(setup.guiThread) : WatchCurrentThread()),
      clock_(setup.clock ? std::move(setup.clock) : std::make_shared<TSteadyClock>()) {
    if (logSink_ == nullptr) {
        // The engine's own log lives as long as the engine; every entry is
        // flushed as it is written, so nothing is lost when it closes. It
        // keeps time on the engine's clock, which its ticks come from.
        ownLogSink_ = std::make_unique<mqLog>("log.txt", TLogLimits{}, clock_);
        logSink_ = ownLogSink_.get();
    }
    if (setup.startThread)
        thread_ = std::thread([this] { Execute(); });
}

TProtocol::~TProtocol() {
    Terminate();
    WaitFor();
    CloseDevice();
}

void TProtocol::WaitFor() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

bool TProtocol::Open(const std::string& portText, const std::string& settingsText) {
    {
        LockCS guard(lock_);
        portText_ = portText;
        settingsText_ = settingsText;
    }
    return OpenDevice();
}

bool TProtocol::FailOpenStep(const char* step, FT_STATUS status) {
    LogError("Error %d in %s", StatusForLog(status), step);
    if (deviceHandle_ != nullptr)
        device_->FT_Close(deviceHandle_);
    deviceHandle_ = nullptr;
    return false;
}

// The status alone would leave a user who lacks the permission on the port
// guessing: the log says which port and which group grants it.
bool TProtocol::FailOpen(FT_STATUS status) {
    openDenied_ = device_->OpenDenied();
    if (!openDenied_) {
        FailOpenStep("FT_Open", status);
        if (const std::string problem = device_->OpenProblem(); !problem.empty())
            LogError("%s", problem.c_str());
        return false;
    }
    if (openDenied_->group.empty())
        LogError("Error %d in FT_Open: %s: permission denied, and no group may open it",
                 StatusForLog(status), openDenied_->path.c_str());
    else
        LogError("Error %d in FT_Open: %s: permission denied, the user must be in group %s",
                 StatusForLog(status), openDenied_->path.c_str(), openDenied_->group.c_str());
    return false;
}

bool TProtocol::OpenDevice() {
    LockCS guard(lock_);
    reopenPending_ = false;
    openDenied_.reset();
    CloseDevice();
    FT_HANDLE handle = nullptr;
    if (FT_STATUS status = device_->FT_Open(0, &handle))
        return FailOpen(status);
    deviceHandle_ = handle;
    if (FT_STATUS status = device_->FT_SetBaudRate(deviceHandle_, kBaudRate))
        return FailOpenStep("FT_SetBaudRate", status);
    if (FT_STATUS status =
            device_->FT_SetDataCharacteristics(deviceHandle_, kDataBits, kOneStopBit, kNoParity))
        return FailOpenStep("FT_SetDataCharacteristics", status);
    if (FT_STATUS status = device_->FT_SetFlowControl(deviceHandle_, kNoFlowControl, 0, 0))
        return FailOpenStep("FT_SetFlowControl", status);
    if (FT_STATUS status =
            device_->FT_SetTimeouts(deviceHandle_, kOpenReadTimeoutMs, kWriteTimeoutMs))
        return FailOpenStep("FT_SetTimeouts", status);
    return true;
}

void TProtocol::CloseDevice() {
    LockCS guard(lock_);
    if (deviceHandle_ != nullptr)
        device_->FT_Close(deviceHandle_);
    deviceHandle_ = nullptr;
}

bool TProtocol::SetReadTimeout(int milliseconds) {
    LockCS guard(lock_);
    if (FT_STATUS status = device_->FT_SetTimeouts(
            deviceHandle_, static_cast<std::uint32_t>(milliseconds), kWriteTimeoutMs)) {
        LogError("Error %d in FT_SetTimeouts", StatusForLog(status));
        return false;
    }
    return true;
}

int TProtocol::SendPacket(const Packet& packet) {
    LockCS guard(lock_);
    std::array<std::uint8_t, kFrameBufferSize> frame{};
    const int length = EncodeFrame(packet, frame);
    std::uint32_t written = 0;
    if (FT_STATUS status = device_->FT_Write(deviceHandle_, frame.data(),
                                             static_cast<std::uint32_t>(length), &written)) {
        LogError("SendPacket: FT_Write error %d", StatusForLog(status));
        clock_->Sleep(kFailurePauseMs);
        reopenPending_ = true;
        return -1;
    }
    if (static_cast<int>(written) < length) {
        LogWarning("SendPacket: Incomplete write (%d/%d)", static_cast<int>(written), length);
        return -1;
    }
    return static_cast<int>(written);
}

int TProtocol::ReadBytes(std::uint8_t* buffer, int count) {
    LockCS guard(lock_);
    std::uint32_t read = 0;
    if (FT_STATUS status =
            device_->FT_Read(deviceHandle_, buffer, static_cast<std::uint32_t>(count), &read)) {
        LogError("SendPacket: FT_Read error %d", StatusForLog(status));
        clock_->Sleep(kFailurePauseMs);
        reopenPending_ = true;
        return -1;
    }
    return static_cast<int>(read);
}

void TProtocol::RegisterSlave(TProtoSlave* slave) {
    LockCS guard(lock_);
    slaves_.insert(slave);
    schedule_.insert(slave);
}

void TProtocol::UnregisterSlave(TProtoSlave* slave) {
    LockCS guard(lock_);
    slaves_.erase(slave);
    schedule_.erase(slave);
}

void TProtocol::ScheduleAt(TProtoSlave* slave, TPollTime when) {
    LockCS guard(lock_);
    // The schedule is ordered by the time a link is entered with.
    schedule_.erase(slave);
    slave->nextPollTime = when;
    if (slaves_.count(slave) != 0)
        schedule_.insert(slave);
}

bool TProtocol::HasSlaves() {
    LockCS guard(lock_);
    return !slaves_.empty();
}

int TProtocol::AllocateAddress() {
    LockCS guard(lock_);
    std::array<bool, 127> taken{};
    for (const TProtoSlave* slave : slaves_)
        if (slave->address >= 1 && slave->address <= 126)
            taken[static_cast<std::size_t>(slave->address)] = true;
    for (int address = 1; address <= 126; ++address)
        if (!taken[static_cast<std::size_t>(address)])
            return address;
    return -1;
}

void TProtocol::Log(std::uint8_t level, const char* format, std::va_list arguments) {
    if (logSink_ == nullptr)
        return;
    LockCS guard(lock_);
    logSink_->Put(std::make_unique<TTextMessage>(level, FormatText(format, arguments), "Protocol"));
}

void TProtocol::LogWarning(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    Log(kLevelWarn, format, arguments);
    va_end(arguments);
}

void TProtocol::LogError(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    Log(kLevelError, format, arguments);
    va_end(arguments);
}

void TProtocol::Execute() {
    NameCurrentThread("protocol");
    try {
        LockCS guard(lock_);
        while (!terminated_)
            Pass();
    } catch (const std::exception& error) {
        LogError("Protocol thread ends: %s", error.what());
    }
    CloseDevice();
}

void TProtocol::RunPass() {
    LockCS guard(lock_);
    Pass();
}

// The loop holds the engine lock once; only its waits give it up.
void TProtocol::SleepUnlocked(int milliseconds) {
    lock_.Release();
    clock_->Sleep(milliseconds);
    lock_.Acquire();
}

void TProtocol::Pass() {
    // Every pass ends within a sleep's length or a turn, so the log's counts
    // held back come out on time even on a silent bus.
    logSink_->Tick();
    if (!guiThread_->Alive()) {
        Terminate();
        return;
    }
    if (reopenPending_) {
        OpenDevice();
        clock_->Sleep(kFailurePauseMs); // with the lock held
        return;
    }
    if (schedule_.empty()) {
        SleepUnlocked(kIdleSleepMs);
        return;
    }
    TProtoSlave* slave = *schedule_.begin();
    const TPollTime wait = slave->nextPollTime - clock_->Now();
    if (wait > 0) {
        // Whole milliseconds, truncated; under one millisecond only yields.
        const auto milliseconds = static_cast<long long>(wait);
        SleepUnlocked(static_cast<int>(milliseconds < kIdleSleepMs ? milliseconds : kIdleSleepMs));
        return;
    }
    schedule_.erase(schedule_.begin());
    slave->Turn();
    slave->nextPollTime = clock_->Now() + slave->pollInterval;
    schedule_.insert(slave);
}

void DestroyProtocol(std::unique_ptr<TProtocol>& protocol) {
    if (!protocol)
        return;
    if (protocol->HasSlaves())
        throw std::runtime_error("Destroying protocol with slaves");
    protocol.reset();
}

} // namespace lorvent
