#pragma once

// The reader behind an in-process bus device: what the engine writes goes to
// the reader, what the reader answers waits for the engine's reads. Safe to
// use from the engine's thread and a test thread at once.

#include "device/d2xx_device.h"
#include "sim/reader_sim.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace lorvent::sim {

enum class TDeviceCall {
    Open,
    Close,
    Read,
    Write,
    SetBaudRate,
    SetDataCharacteristics,
    SetFlowControl,
    SetTimeouts,
};
inline constexpr std::size_t kDeviceCallKinds = 8;

class TSimDevice : public TD2xxDevice {
public:
    explicit TSimDevice(const TReaderSimConfig& config = {});

    FT_STATUS FT_Open(int deviceIndex, FT_HANDLE* handle) override;
    FT_STATUS FT_Close(FT_HANDLE handle) override;
    FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t length,
                      std::uint32_t* bytesRead) override;
    FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t length,
                       std::uint32_t* bytesWritten) override;
    FT_STATUS FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate) override;
    FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, std::uint8_t wordLength,
                                        std::uint8_t stopBits, std::uint8_t parity) override;
    FT_STATUS FT_SetFlowControl(FT_HANDLE handle, std::uint16_t flowControl, std::uint8_t xon,
                                std::uint8_t xoff) override;
    FT_STATUS FT_SetTimeouts(FT_HANDLE handle, std::uint32_t readTimeoutMs,
                             std::uint32_t writeTimeoutMs) override;

    // Runs f(TReaderSim&) under the device's lock, for card reads, faults and
    // inspection; what the reader emits meanwhile (noise) goes to the line.
    // f must not call back into the device.
    template <class F> decltype(auto) Locked(F&& f) {
        std::lock_guard lock(mutex_);
        TFlushOnExit flush{*this};
        return f(sim_);
    }

    // Unpaced (the default): reads return at once with what is queued. Paced:
    // reply bytes become readable one per 9600-baud byte time, and reads wait
    // up to the read time-out for the bytes asked for.
    void SetPaced(bool paced);

    // Unplugged: FT_Open fails, an open handle fails every call until it is
    // closed, and bytes on the line are lost. The reader keeps its state.
    void Unplug();
    void UnplugFor(std::chrono::milliseconds duration);
    void Replug();
    bool Plugged() const;
    bool IsOpen() const;

    // The nth call (1-based, counted per kind since construction) of `call`
    // fails with `status` and has no other effect.
    void FailAt(TDeviceCall call, int nth, FT_STATUS status);
    int CallCount(TDeviceCall call) const;

    std::size_t BytesOnLine() const;
    // False when the engine set anything but 9600 baud, 8N1, no flow control;
    // the reader then hears only garbage and the written bytes are dropped.
    bool LineSettingsMatch() const;
    int GarbledWrites() const;

private:
    struct TFlushOnExit {
        TSimDevice& device;
        ~TFlushOnExit() {
            const TimePoint now = SimClock::now();
            device.QueueOutput(now, now);
        }
    };
    struct TLineByte {
        std::uint8_t byte;
        TimePoint readyAt;
    };
    struct TFailure {
        TDeviceCall call;
        int nth;
        FT_STATUS status;
    };

    FT_STATUS Enter(TDeviceCall call, FT_HANDLE handle, TimePoint now);
    FT_STATUS HandleStatus(FT_HANDLE handle) const;
    void RefreshPlug(TimePoint now);
    void UnplugLocked(std::optional<TimePoint> replugAt);
    void DropLine();
    void QueueOutput(TimePoint now, TimePoint earliestStart);
    std::size_t ReadyBytes(TimePoint now) const;
    bool LineSettingsMatchLocked() const;
    void ResetLineSettings();

    mutable std::mutex mutex_;
    std::condition_variable lineChanged_;
    TReaderSim sim_;

    bool paced_ = false;
    bool plugged_ = true;
    std::optional<TimePoint> replugAt_;
    FT_HANDLE handle_ = nullptr;
    bool handleDead_ = false; // the device went away under an open handle
    std::uintptr_t handlesIssued_ = 0;

    std::uint32_t readTimeoutMs_ = 0;
    std::uint32_t baud_ = 9600;
    std::array<int, 3> dataCharacteristics_{};
    int flowControl_ = 0;
    int garbledWrites_ = 0;

    std::deque<TLineByte> line_;
    TimePoint lineFreeAt_{};

    std::array<int, kDeviceCallKinds> callCounts_{};
    std::vector<TFailure> failures_;
};

} // namespace lorvent::sim
