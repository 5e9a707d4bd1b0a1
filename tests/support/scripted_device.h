#pragma once

#include "device/d2xx_device.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace lorvent::testing {

// A bus device for tests: canned bytes to read, every write recorded, every
// call logged by name, and a failure injected at the Nth call of a given kind.
class ScriptedDevice : public TD2xxDevice {
public:
    // Bytes the line will deliver, one read at a time.
    void Feed(const std::vector<std::uint8_t>& bytes) {
        incoming.insert(incoming.end(), bytes.begin(), bytes.end());
    }
    // The nth (1-based) call named `call` returns `status`.
    void FailAt(const std::string& call, int nth, FT_STATUS status) {
        failures.push_back({call, nth, status});
    }
    // Called after each write with the frame written; a test may answer it.
    std::function<void(const std::vector<std::uint8_t>&)> onWrite;

    FT_STATUS FT_Open(int deviceIndex, FT_HANDLE* handle) override {
        openedIndex = deviceIndex;
        if (FT_STATUS s = Enter("FT_Open", nullptr))
            return s;
        *handle = &handleToken;
        ++openCount;
        return FT_OK;
    }
    FT_STATUS FT_Close(FT_HANDLE handle) override {
        const FT_STATUS s = Enter("FT_Close", handle);
        if (s == FT_OK)
            ++closeCount;
        return s;
    }
    FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t length,
                      std::uint32_t* bytesRead) override {
        *bytesRead = 0;
        if (FT_STATUS s = Enter("FT_Read", handle))
            return s;
        auto* out = static_cast<std::uint8_t*>(buffer);
        while (*bytesRead < length && !incoming.empty()) {
            out[(*bytesRead)++] = incoming.front();
            incoming.pop_front();
        }
        return FT_OK;
    }
    FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t length,
                       std::uint32_t* bytesWritten) override {
        *bytesWritten = 0;
        if (FT_STATUS s = Enter("FT_Write", handle))
            return s;
        const auto* in = static_cast<const std::uint8_t*>(buffer);
        std::vector<std::uint8_t> frame(in, in + length);
        *bytesWritten = shortWrite > 0 && shortWrite < length ? shortWrite : length;
        writes.push_back(frame);
        if (onWrite)
            onWrite(frame);
        return FT_OK;
    }
    FT_STATUS FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate) override {
        baud = baudRate;
        return Enter("FT_SetBaudRate", handle);
    }
    FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, std::uint8_t wordLength,
                                        std::uint8_t stopBits, std::uint8_t parity) override {
        dataCharacteristics = {wordLength, stopBits, parity};
        return Enter("FT_SetDataCharacteristics", handle);
    }
    FT_STATUS FT_SetFlowControl(FT_HANDLE handle, std::uint16_t flowControl, std::uint8_t xon,
                                std::uint8_t xoff) override {
        flow = {flowControl, xon, xoff};
        return Enter("FT_SetFlowControl", handle);
    }
    FT_STATUS FT_SetTimeouts(FT_HANDLE handle, std::uint32_t readTimeoutMs,
                             std::uint32_t writeTimeoutMs) override {
        timeouts.push_back({static_cast<int>(readTimeoutMs), static_cast<int>(writeTimeoutMs)});
        return Enter("FT_SetTimeouts", handle);
    }

    std::optional<TPortDenied> OpenDenied() const override { return denied; }

    int CallCount(const std::string& call) const {
        int n = 0;
        for (const auto& c : calls)
            n += c == call;
        return n;
    }

    std::deque<std::uint8_t> incoming;
    std::vector<std::vector<std::uint8_t>> writes;
    std::vector<std::string> calls;
    std::vector<std::vector<int>> timeouts;
    std::vector<int> dataCharacteristics, flow;
    std::uint32_t baud = 0;
    std::uint32_t shortWrite = 0; // when set, writes report this many bytes
    int openedIndex = -1;
    int openCount = 0;
    int closeCount = 0;
    // What OpenDenied reports: set with a failing FT_Open, as for a port the
    // user may not open.
    std::optional<TPortDenied> denied;

private:
    struct Failure {
        std::string call;
        int nth;
        FT_STATUS status;
    };

    // Records the call; a null handle fails like the real library does.
    FT_STATUS Enter(const char* call, FT_HANDLE handle) {
        calls.push_back(call);
        const int n = CallCount(call);
        for (const auto& f : failures)
            if (f.call == call && f.nth == n)
                return f.status;
        if (handle == nullptr && std::string(call) != "FT_Open")
            return FT_INVALID_HANDLE;
        return FT_OK;
    }

    std::vector<Failure> failures;
    int handleToken = 0;
};

} // namespace lorvent::testing
