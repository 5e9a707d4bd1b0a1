#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace lorvent {

using FT_HANDLE = void*;
using FT_STATUS = std::uint32_t;

inline constexpr FT_STATUS FT_OK = 0;
inline constexpr FT_STATUS FT_INVALID_HANDLE = 1;
inline constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
inline constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
inline constexpr FT_STATUS FT_IO_ERROR = 4;
inline constexpr FT_STATUS FT_INVALID_PARAMETER = 6;
inline constexpr FT_STATUS FT_INVALID_BAUD_RATE = 7;
inline constexpr FT_STATUS FT_OTHER_ERROR = 18;

// A port that exists but that this user may not open: what a user needs to
// be told to put it right.
struct TPortDenied {
    std::string path;
    // The group whose members may read and write the port; empty when no
    // group may.
    std::string group;
};

// The eight operations of the USB serial converter's library that the engine
// needs.
//
// Errors: every call returns a status, FT_OK on success; a call made with a
// null handle fails. An adapter that is gone (unplugged, its port torn down)
// gives a failing status on every call that touches it (FT_IO_ERROR where the
// backend has no nearer one), never FT_OK with no bytes: FT_OK with nothing
// read means a reader that is silent, and the engine keeps polling it, while
// a failing status makes it close the device and open it again. A read or
// write that runs into its time-out is no failure: FT_OK with the bytes it
// did move.
//
// Threads: only the engine calls them, one at a time, under its lock; a
// backend needs no locking of its own and may block a call for at most its
// time-outs.
class TD2xxDevice {
public:
    virtual ~TD2xxDevice() = default;

    // Opens the first device the library enumerates (index 0).
    virtual FT_STATUS FT_Open(int deviceIndex, FT_HANDLE* handle) = 0;
    virtual FT_STATUS FT_Close(FT_HANDLE handle) = 0;
    // Returns after `length` bytes or when the read time-out ends; FT_OK with
    // *bytesRead 0 means nothing arrived.
    virtual FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t length,
                              std::uint32_t* bytesRead) = 0;
    virtual FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t length,
                               std::uint32_t* bytesWritten) = 0;
    virtual FT_STATUS FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate) = 0;
    // wordLength 8; stopBits 0 = one stop bit; parity 0 = none.
    virtual FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, std::uint8_t wordLength,
                                                std::uint8_t stopBits, std::uint8_t parity) = 0;
    // flowControl 0 = none.
    virtual FT_STATUS FT_SetFlowControl(FT_HANDLE handle, std::uint16_t flowControl,
                                        std::uint8_t xon, std::uint8_t xoff) = 0;
    virtual FT_STATUS FT_SetTimeouts(FT_HANDLE handle, std::uint32_t readTimeoutMs,
                                     std::uint32_t writeTimeoutMs) = 0;

    // After a failed FT_Open: why the device's library could not be used, when
    // that is more than the status says (empty otherwise). The engine logs it.
    virtual std::string OpenProblem() const { return {}; }

    // Beyond the library's eight: set when the last FT_Open failed because
    // the user lacks the permission, which its status cannot say. Backends
    // that cannot tell leave it empty.
    virtual std::optional<TPortDenied> OpenDenied() const { return std::nullopt; }
};

// The device of this platform: the serial port backend on Linux, FTD2XX.DLL
// on Windows. The source file is chosen by CMake.
std::unique_ptr<TD2xxDevice> MakePlatformDevice();

} // namespace lorvent
