#pragma once

#include "clock.h"
#include "critical_section.h"
#include "device/d2xx_device.h"
#include "frame_reader.h"
#include "link_engine.h"
#include "packet.h"
#include "text_log.h"

#include <atomic>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>

namespace lorvent {

class TProtoSlave;

// What the engine is built from. Only the device is required.
struct TProtocolSetup {
    std::unique_ptr<TD2xxDevice> device;
    // Receives every log record of the engine and its links. Null: the engine
    // makes its own sink on log.txt in the working directory.
    TTextMessageQueue* logSink = nullptr;
    // The GUI thread; the engine ends itself when it is gone. Null: the thread
    // that constructs the engine.
    std::shared_ptr<TThreadWatch> guiThread;
    // Null: the monotonic clock and real sleeping.
    std::shared_ptr<TClock> clock;
    // Tests that step the scheduling loop by hand (RunPass) leave the thread off.
    bool startThread = true;
};

inline constexpr int kIdleSleepMs = 300;    // longest unlocked sleep of the loop
inline constexpr int kFailurePauseMs = 100; // after a failed write or read, and a reopen
inline constexpr int kOpenReadTimeoutMs = 50;
inline constexpr int kBaudRate = 9600;

// The bus master: owns the device and the protocol thread, which gives each
// registered reader link its turn when its poll time comes, reopens the device
// after failures and ends when asked to or when the GUI thread is gone.
class TProtocol : public TLinkEngine {
public:
    explicit TProtocol(TProtocolSetup setup);
    // Stops and joins the thread if the owner has not. Never throws: use
    // DestroyProtocol to learn of links that are still registered.
    ~TProtocol() override;
    TProtocol(const TProtocol&) = delete;
    TProtocol& operator=(const TProtocol&) = delete;

    // Stores both texts (neither selects or configures the device) and opens device 0.
    bool Open(const std::string& portText, const std::string& settingsText);
    bool OpenDevice();
    void CloseDevice();

    bool SetReadTimeout(int milliseconds) override;
    int ReadBytes(std::uint8_t* buffer, int count) override;
    // Frames the Packet and writes it with one device write; the count written or -1.
    int SendPacket(const Packet& packet) override;

    void RegisterSlave(TProtoSlave* slave) override;
    void UnregisterSlave(TProtoSlave* slave) override;
    // Moves a registered link's next turn to `when` on the engine's clock.
    void ScheduleAt(TProtoSlave* slave, TPollTime when);
    // The lowest bus address 1..126 that no registered link holds, or -1.
    int AllocateAddress() override;
    bool HasSlaves();

    void LogWarning(const char* format, ...);
    void LogError(const char* format, ...);
    TTextMessageQueue* LogSink() const { return logSink_; }

    void Terminate() { terminated_ = true; }
    bool Terminated() const { return terminated_; }
    // Waits until the protocol thread has ended.
    void WaitFor();

    // One pass of the scheduling loop, taking the engine lock itself. The
    // thread repeats it; tests without the thread call it by hand.
    void RunPass();

    TCriticalSection& Lock() override { return lock_; }
    const std::string& PortText() const { return portText_; }
    const std::string& SettingsText() const { return settingsText_; }
    bool ReopenPending() {
        LockCS guard(lock_);
        return reopenPending_;
    }
    bool DeviceOpen() {
        LockCS guard(lock_);
        return deviceHandle_ != nullptr;
    }
    // Set while the last open failed for lack of permission on the port.
    std::optional<TPortDenied> OpenDenied() {
        LockCS guard(lock_);
        return openDenied_;
    }

    // Earlier poll time first; equal times by object identity.
    struct SlavesPrioCmp {
        bool operator()(const TProtoSlave* a, const TProtoSlave* b) const;
    };

private:
    void Execute();
    void Pass();
    void SleepUnlocked(int milliseconds);
    void Log(std::uint8_t level, const char* format, std::va_list arguments);
    bool FailOpenStep(const char* step, FT_STATUS status);
    bool FailOpen(FT_STATUS status);

    std::unique_ptr<TD2xxDevice> device_;
    std::unique_ptr<TTextMessageQueue> ownLogSink_;
    TTextMessageQueue* logSink_;
    std::shared_ptr<TThreadWatch> guiThread_;
    std::shared_ptr<TClock> clock_;

    TCriticalSection lock_;
    FT_HANDLE deviceHandle_ = nullptr;
    std::set<TProtoSlave*> slaves_;
    std::set<TProtoSlave*, SlavesPrioCmp> schedule_;
    std::string portText_;
    std::string settingsText_;
    bool reopenPending_ = false;
    std::optional<TPortDenied> openDenied_;
    std::atomic<bool> terminated_{false};
    std::thread thread_;
};

// Destroys the engine once its thread has ended. While reader links are still
// registered it throws std::runtime_error("Destroying protocol with slaves")
// and leaves the engine as it is, so the owner can catch it.
void DestroyProtocol(std::unique_ptr<TProtocol>& protocol);

} // namespace lorvent
