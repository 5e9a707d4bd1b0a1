// The bus device on Windows: the converter's FTD2XX.DLL, loaded when the
// device is first opened, its functions taken by ordinal.

#include "device/d2xx_device.h"

#include <windows.h>

namespace lorvent {

namespace {

// The library's own types and calling convention.
using DllHandle = PVOID;
using OpenFn = ULONG(WINAPI*)(int, DllHandle*);
using CloseFn = ULONG(WINAPI*)(DllHandle);
using ReadFn = ULONG(WINAPI*)(DllHandle, LPVOID, DWORD, LPDWORD);
using WriteFn = ULONG(WINAPI*)(DllHandle, LPVOID, DWORD, LPDWORD);
using SetBaudRateFn = ULONG(WINAPI*)(DllHandle, ULONG);
using SetDataCharacteristicsFn = ULONG(WINAPI*)(DllHandle, UCHAR, UCHAR, UCHAR);
using SetFlowControlFn = ULONG(WINAPI*)(DllHandle, USHORT, UCHAR, UCHAR);
using SetTimeoutsFn = ULONG(WINAPI*)(DllHandle, ULONG, ULONG);

struct TDllFunctions {
    OpenFn open = nullptr;
    CloseFn close = nullptr;
    ReadFn read = nullptr;
    WriteFn write = nullptr;
    SetBaudRateFn setBaudRate = nullptr;
    SetDataCharacteristicsFn setDataCharacteristics = nullptr;
    SetFlowControlFn setFlowControl = nullptr;
    SetTimeoutsFn setTimeouts = nullptr;

    bool Complete() const {
        return open && close && read && write && setBaudRate && setDataCharacteristics &&
               setFlowControl && setTimeouts;
    }
};

// The library exports these functions by number; their names are not relied on.
template <typename Fn> Fn Ordinal(HMODULE module, WORD ordinal) {
    const FARPROC address = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
    // Through void(*)(), which converts to any function pointer without a warning.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(address));
}

TDllFunctions LoadFunctions(HMODULE module) {
    TDllFunctions fns;
    fns.open = Ordinal<OpenFn>(module, 1);
    fns.close = Ordinal<CloseFn>(module, 2);
    fns.read = Ordinal<ReadFn>(module, 3);
    fns.write = Ordinal<WriteFn>(module, 4);
    fns.setBaudRate = Ordinal<SetBaudRateFn>(module, 7);
    fns.setDataCharacteristics = Ordinal<SetDataCharacteristicsFn>(module, 8);
    fns.setFlowControl = Ordinal<SetFlowControlFn>(module, 9);
    fns.setTimeouts = Ordinal<SetTimeoutsFn>(module, 17);
    return fns;
}

class TFtd2xxDllDevice final : public TD2xxDevice {
public:
    TFtd2xxDllDevice() = default;
    ~TFtd2xxDllDevice() override {
        if (module_ != nullptr)
            FreeLibrary(module_);
    }
    TFtd2xxDllDevice(const TFtd2xxDllDevice&) = delete;
    TFtd2xxDllDevice& operator=(const TFtd2xxDllDevice&) = delete;

    FT_STATUS FT_Open(int deviceIndex, FT_HANDLE* handle) override {
        if (handle == nullptr)
            return FT_INVALID_PARAMETER;
        *handle = nullptr;
        if (!EnsureLoaded())
            return FT_OTHER_ERROR;
        DllHandle opened = nullptr;
        const ULONG status = fns_.open(deviceIndex, &opened);
        if (status == FT_OK)
            *handle = opened;
        return status;
    }

    FT_STATUS FT_Close(FT_HANDLE handle) override {
        if (!Usable(handle))
            return FT_INVALID_HANDLE;
        return fns_.close(handle);
    }

    FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t length,
                      std::uint32_t* bytesRead) override {
        if (bytesRead != nullptr)
            *bytesRead = 0;
        if (!Usable(handle))
            return FT_INVALID_HANDLE;
        if (bytesRead == nullptr || (buffer == nullptr && length > 0))
            return FT_INVALID_PARAMETER;
        DWORD count = 0;
        const ULONG status = fns_.read(handle, buffer, length, &count);
        *bytesRead = count <= length ? count : length; // never more than was asked for
        return status;
    }

    FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t length,
                       std::uint32_t* bytesWritten) override {
        if (bytesWritten != nullptr)
            *bytesWritten = 0;
        if (!Usable(handle))
            return FT_INVALID_HANDLE;
        if (bytesWritten == nullptr || (buffer == nullptr && length > 0))
            return FT_INVALID_PARAMETER;
        DWORD count = 0;
        // The library takes a non-const pointer but only reads the buffer.
        const ULONG status = fns_.write(handle, const_cast<void*>(buffer), length, &count);
        *bytesWritten = count <= length ? count : length;
        return status;
    }

    FT_STATUS FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate) override {
        if (!Usable(handle))
            return FT_INVALID_HANDLE;
        return fns_.setBaudRate(handle, baudRate);
    }

    FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, std::uint8_t wordLength,
                                        std::uint8_t stopBits, std::uint8_t parity) override {
        if (!Usable(handle))
            return FT_INVALID_HANDLE;
        return fns_.setDataCharacteristics(handle, wordLength, stopBits, parity);
    }

    FT_STATUS FT_SetFlowControl(FT_HANDLE handle, std::uint16_t flowControl, std::uint8_t xon,
                                std::uint8_t xoff) override {
        if (!Usable(handle))
            return FT_INVALID_HANDLE;
        return fns_.setFlowControl(handle, flowControl, xon, xoff);
    }

    FT_STATUS FT_SetTimeouts(FT_HANDLE handle, std::uint32_t readTimeoutMs,
                             std::uint32_t writeTimeoutMs) override {
        if (!Usable(handle))
            return FT_INVALID_HANDLE;
        return fns_.setTimeouts(handle, readTimeoutMs, writeTimeoutMs);
    }

private:
    // Loads the library on first use and keeps trying at later opens, so a
    // library installed while the program runs is picked up.
    bool EnsureLoaded() {
        if (fns_.Complete())
            return true;
        if (module_ == nullptr)
            module_ = LoadLibraryA("FTD2XX.DLL");
        if (module_ == nullptr)
            return false;
        const TDllFunctions fns = LoadFunctions(module_);
        if (!fns.Complete()) {
            FreeLibrary(module_); // a library without all eight is no use
            module_ = nullptr;
            return false;
        }
        fns_ = fns;
        return true;
    }

    // A handle only exists once the library is loaded; without it nothing is called.
    bool Usable(FT_HANDLE handle) const { return handle != nullptr && fns_.Complete(); }

    HMODULE module_ = nullptr;
    TDllFunctions fns_;
};

} // namespace

std::unique_ptr<TD2xxDevice> MakePlatformDevice() {
    return std::make_unique<TFtd2xxDllDevice>();
}

} // namespace lorvent
