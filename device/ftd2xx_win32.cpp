// The bus device on Windows: the converter's FTD2XX.DLL, loaded when the
// device is first opened, its functions taken by ordinal and checked against
// their names where the library has them.

#include "device/d2xx_device.h"

#include <windows.h>

#include <string>

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

// The library's functions: imported by number; the names are what the
// library's own export table should say each number is.
struct TExport {
    WORD ordinal;
    const char* name;
};
constexpr TExport kExports[] = {
    {1, "FT_Open"},           {2, "FT_Close"},        {3, "FT_Read"},
    {4, "FT_Write"},          {7, "FT_SetBaudRate"},  {8, "FT_SetDataCharacteristics"},
    {9, "FT_SetFlowControl"}, {17, "FT_SetTimeouts"},
};

template <typename Fn> Fn As(FARPROC address) {
    // Through void(*)(), which converts to any function pointer without a warning.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(address));
}

FARPROC ByOrdinal(HMODULE module, WORD ordinal) {
    return GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
}

TDllFunctions LoadFunctions(HMODULE module) {
    TDllFunctions fns;
    fns.open = As<OpenFn>(ByOrdinal(module, 1));
    fns.close = As<CloseFn>(ByOrdinal(module, 2));
    fns.read = As<ReadFn>(ByOrdinal(module, 3));
    fns.write = As<WriteFn>(ByOrdinal(module, 4));
    fns.setBaudRate = As<SetBaudRateFn>(ByOrdinal(module, 7));
    fns.setDataCharacteristics = As<SetDataCharacteristicsFn>(ByOrdinal(module, 8));
    fns.setFlowControl = As<SetFlowControlFn>(ByOrdinal(module, 9));
    fns.setTimeouts = As<SetTimeoutsFn>(ByOrdinal(module, 17));
    return fns;
}

// A library laid out differently would have each call go to another function
// with the wrong arguments. Where the library also names its functions, each
// number must be the function of that name; a library without names is taken
// on trust. Empty when they agree, else which one does not.
std::string OrdinalMismatch(HMODULE module) {
    for (const TExport& expected : kExports) {
        const FARPROC named = GetProcAddress(module, expected.name);
        if (named != nullptr && named != ByOrdinal(module, expected.ordinal))
            return "FTD2XX.DLL is not used: its function number " +
                   std::to_string(expected.ordinal) + " is not " + expected.name;
    }
    return {};
}

const char* WidthOf(WORD machine) {
    switch (machine) {
    case IMAGE_FILE_MACHINE_I386:
        return "32-bit";
    case IMAGE_FILE_MACHINE_AMD64:
        return "64-bit";
    case IMAGE_FILE_MACHINE_ARM64:
        return "ARM64";
    default:
        return nullptr;
    }
}

// The machine a library file was built for, read from its headers; 0 when
// it cannot be read or is not a library file at all.
WORD FileMachine(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    BYTE headers[4096] = {};
    DWORD size = 0;
    const bool read = ReadFile(file, headers, sizeof headers, &size, nullptr) != FALSE;
    CloseHandle(file);
    IMAGE_DOS_HEADER dos{};
    if (!read || size < sizeof dos)
        return 0;
    CopyMemory(&dos, headers, sizeof dos);
    IMAGE_NT_HEADERS nt{};
    const DWORD needed = sizeof nt.Signature + sizeof nt.FileHeader;
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0 || size < needed ||
        static_cast<DWORD>(dos.e_lfanew) > size - needed)
        return 0;
    CopyMemory(&nt, headers + dos.e_lfanew, needed);
    return nt.Signature == IMAGE_NT_SIGNATURE ? nt.FileHeader.Machine : 0;
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The FTD2XX.DLL that LoadLibrary found: it looks in the program's folder,
// then the folder SetDllDirectory names, then the system's folders and PATH.
std::wstring FoundLibrary() {
    wchar_t folder[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, folder, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        std::wstring program(folder);
        const std::wstring beside =
            program.substr(0, program.find_last_of(L'\\') + 1) + L"FTD2XX.DLL";
        if (FileExists(beside))
            return beside;
    }
    if (GetDllDirectoryW(MAX_PATH, folder) > 0 && folder[0] != L'\0') {
        const std::wstring named = std::wstring(folder) + L"\\FTD2XX.DLL";
        if (FileExists(named))
            return named;
    }
    wchar_t found[MAX_PATH] = {};
    const DWORD foundLength =
        SearchPathW(nullptr, L"FTD2XX.DLL", nullptr, MAX_PATH, found, nullptr);
    return foundLength > 0 && foundLength < MAX_PATH ? std::wstring(found) : std::wstring();
}

// A library that does not load because it is of another width than the
// program: the open fails as without a library, and the log says why.
std::string WidthMismatch(DWORD loadError) {
    if (loadError != ERROR_BAD_EXE_FORMAT)
        return {};
    const char* library = WidthOf(FileMachine(FoundLibrary()));
    const char* program = sizeof(void*) == 8 ? "64-bit" : "32-bit";
    if (library == nullptr)
        return "FTD2XX.DLL cannot be loaded: it is not a library for this machine";
    return std::string("FTD2XX.DLL is a ") + library + " library and this program is " + program +
           ": it needs the " + program + " FTD2XX.DLL";
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

    std::string OpenProblem() const override { return problem_; }

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
        problem_.clear();
        if (module_ == nullptr)
            module_ = LoadLibraryW(L"FTD2XX.DLL");
        if (module_ == nullptr) {
            problem_ = WidthMismatch(GetLastError());
            return false;
        }
        const TDllFunctions fns = LoadFunctions(module_);
        problem_ = fns.Complete() ? OrdinalMismatch(module_) : std::string();
        if (!fns.Complete() || !problem_.empty()) {
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
    std::string problem_;
};

} // namespace

std::unique_ptr<TD2xxDevice> MakePlatformDevice() {
    return std::make_unique<TFtd2xxDllDevice>();
}

} // namespace lorvent
