// The simulated converter library, FTD2XX.DLL: a reader on the bus behind the
// eight calls the engine imports by ordinal (see ftd2xx_sim.def).
//
// LORVENT_SIM_SCRIPT names a script in the simulator's command language; it
// starts at the first FT_Open after the library is loaded, on a thread of the
// library, and runs for as long as the library stays loaded: reopening the
// device (after an unplug, say) does not restart it. The lines before the
// first `wait` run before that first open is answered, so `fail open ...`
// at the top of a script fails it. A script that cannot be read or has a bad
// line makes every FT_Open fail (status 18) and says why in the log.
// LORVENT_SIM_LOG names a file that gets one line per thing the reader hears,
// sends and does, and per open and close of the device.

#include "sim/dll/script_player.h"
#include "sim/sim_device.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

namespace {

using lorvent::FT_HANDLE;
using lorvent::FT_STATUS;
using lorvent::sim::SimClock;
using lorvent::sim::TimePoint;
using lorvent::sim::TSimDevice;
using lorvent::sim::dll::TScriptPlayer;

constexpr DWORD kThreadPatienceMs = 2000;
constexpr long long kLongestWaitMs = 1000;

struct TLibraryState {
    TSimDevice device;
    std::FILE* log = nullptr;
    std::unique_ptr<TScriptPlayer> player; // the script's thread's alone once it runs
    std::string loadError;                 // not empty: every FT_Open fails

    HANDLE thread = nullptr;
    HANDLE running = nullptr; // set by the thread once it runs
    HANDLE stop = nullptr;    // set by the unload
    HANDLE parked = nullptr;  // set by the thread once it holds nothing
};

// Plain pointers and a mutex without a destructor: nothing of the library's
// state is torn down behind the unload below.
TLibraryState* gState = nullptr;
std::mutex gStartLock;

std::wstring Environment(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0)
        return {};
    std::wstring value(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(name, value.data(), size);
    value.resize(length < size ? length : 0);
    return value;
}

std::string Utf8(const std::wstring& text) {
    if (text.empty())
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

bool ReadWholeFile(const std::wstring& path, std::string& content) {
    std::FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr)
        return false;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        content.append(buffer, got);
    const bool complete = std::ferror(file) == 0;
    std::fclose(file);
    return complete;
}

void LoadScript(TLibraryState& state) {
    const std::wstring path = Environment(L"LORVENT_SIM_SCRIPT");
    if (path.empty()) {
        state.player->Say(SimClock::now(), "no script: the reader only answers");
        return;
    }
    std::string content;
    if (!ReadWholeFile(path, content)) {
        state.loadError = "cannot read script '" + Utf8(path) + "'";
        return;
    }
    std::istringstream lines(content);
    if (state.player->Load(lines, Utf8(path), state.loadError))
        state.player->Say(SimClock::now(), "script " + Utf8(path));
}

// The thread waits on a plain event, not on a condition variable: waking from
// one may need the loader lock (which the unloading thread holds) the first
// time, and the unload would wait for it in vain.
DWORD WINAPI RunScript(void* parameter) {
    auto& state = *static_cast<TLibraryState*>(parameter);
    SetEvent(state.running);
    for (;;) {
        const TimePoint now = SimClock::now();
        const TimePoint wake = state.player->Step(now);
        const long long waitMs = std::clamp<long long>(
            std::chrono::ceil<std::chrono::milliseconds>(wake - now).count(), 1, kLongestWaitMs);
        if (WaitForSingleObject(state.stop, static_cast<DWORD>(waitMs)) == WAIT_OBJECT_0)
            break;
    }
    state.player->Report(SimClock::now());
    state.player->Say(SimClock::now(), "library unloaded");
    // The unloading thread holds the loader lock, which this thread would need
    // to end on its own; it ends it from here, where it holds nothing.
    SetEvent(state.parked);
    for (;;)
        Sleep(INFINITE);
}

// The first FT_Open sets the reader up and starts its script.
TLibraryState* Start() {
    std::lock_guard guard(gStartLock);
    if (gState != nullptr)
        return gState;
    auto state = std::make_unique<TLibraryState>();
    const std::wstring logPath = Environment(L"LORVENT_SIM_LOG");
    if (!logPath.empty())
        state->log = _wfopen(logPath.c_str(), L"ab");
    const TimePoint now = SimClock::now();
    state->device.SetPaced(true);
    state->player = std::make_unique<TScriptPlayer>(state->device, state->log, now);
    LoadScript(*state);
    if (!state->loadError.empty()) {
        state->player->Say(now, "error: " + state->loadError);
        OutputDebugStringA(("FTD2XX.DLL (simulated): " + state->loadError + "\n").c_str());
    } else {
        state->player->Step(now); // what comes before the first wait
        state->running = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        state->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        state->parked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        state->thread = CreateThread(nullptr, 0, RunScript, state.get(), 0, nullptr);
        if (state->thread == nullptr)
            state->loadError = "cannot start the script's thread";
        else
            WaitForSingleObject(state->running, kThreadPatienceMs);
    }
    gState = state.release();
    return gState;
}

// FreeLibrary: the script's thread is ended and the reader freed. A thread
// that does not come to rest in time is ended all the same (its code is about
// to go away), but then what it may still hold (the log, the reader's lock)
// is left alone rather than freed under it.
void Stop() {
    TLibraryState* state = gState;
    if (state == nullptr)
        return;
    gState = nullptr;
    bool parked = true;
    if (state->thread != nullptr) {
        SetEvent(state->stop);
        parked = WaitForSingleObject(state->parked, kThreadPatienceMs) == WAIT_OBJECT_0;
        TerminateThread(state->thread, 0);
        WaitForSingleObject(state->thread, kThreadPatienceMs);
        CloseHandle(state->thread);
    }
    for (HANDLE event : {state->running, state->stop, state->parked})
        if (event != nullptr)
            CloseHandle(event);
    if (!parked)
        return;
    if (state->log != nullptr)
        std::fclose(state->log);
    delete state;
}

void Say(TLibraryState& state, const std::string& text) {
    state.player->Say(SimClock::now(), text);
}

TSimDevice* Device() {
    return gState != nullptr ? &gState->device : nullptr;
}

// One of the device's calls, or FT_INVALID_HANDLE before the first FT_Open.
template <auto Call, typename... Args> ULONG CallDevice(Args... args) {
    TSimDevice* device = Device();
    return device != nullptr ? (device->*Call)(args...) : lorvent::FT_INVALID_HANDLE;
}

// A read or a write; the count goes back where the caller asked for it (the
// library's DWORD is not the device's uint32_t everywhere).
template <auto Call>
ULONG CallCounting(PVOID handle, LPVOID buffer, DWORD length, LPDWORD counted) {
    std::uint32_t count = 0;
    const ULONG status = CallDevice<Call>(handle, buffer, static_cast<std::uint32_t>(length),
                                          counted != nullptr ? &count : nullptr);
    if (counted != nullptr)
        *counted = count;
    return status;
}

} // namespace

extern "C" {

ULONG WINAPI FT_Open(int deviceIndex, PVOID* handle) {
    TLibraryState& state = *Start();
    if (!state.loadError.empty()) {
        Say(state, "FT_Open fails: " + state.loadError);
        return lorvent::FT_OTHER_ERROR;
    }
    if (deviceIndex != 0) {
        Say(state, "FT_Open of device " + std::to_string(deviceIndex) + ": there is only device 0");
        return lorvent::FT_DEVICE_NOT_FOUND;
    }
    FT_HANDLE opened = nullptr;
    const FT_STATUS status = state.device.FT_Open(0, handle != nullptr ? &opened : nullptr);
    if (status == lorvent::FT_OK) {
        *handle = opened;
        Say(state, "FT_Open: opened");
    } else {
        Say(state, "FT_Open: status " + std::to_string(status));
    }
    return status;
}

ULONG WINAPI FT_Close(PVOID handle) {
    TSimDevice* device = Device();
    if (device == nullptr)
        return lorvent::FT_INVALID_HANDLE;
    const FT_STATUS status = device->FT_Close(handle);
    Say(*gState, status == lorvent::FT_OK ? std::string("FT_Close: closed")
                                          : "FT_Close: status " + std::to_string(status));
    return status;
}

ULONG WINAPI FT_Read(PVOID handle, LPVOID buffer, DWORD length, LPDWORD bytesRead) {
    return CallCounting<&TSimDevice::FT_Read>(handle, buffer, length, bytesRead);
}

ULONG WINAPI FT_Write(PVOID handle, LPVOID buffer, DWORD length, LPDWORD bytesWritten) {
    return CallCounting<&TSimDevice::FT_Write>(handle, buffer, length, bytesWritten);
}

ULONG WINAPI FT_SetBaudRate(PVOID handle, ULONG baudRate) {
    return CallDevice<&TSimDevice::FT_SetBaudRate>(handle, baudRate);
}

ULONG WINAPI FT_SetDataCharacteristics(PVOID handle, UCHAR wordLength, UCHAR stopBits,
                                       UCHAR parity) {
    return CallDevice<&TSimDevice::FT_SetDataCharacteristics>(handle, wordLength, stopBits, parity);
}

ULONG WINAPI FT_SetFlowControl(PVOID handle, USHORT flowControl, UCHAR xon, UCHAR xoff) {
    return CallDevice<&TSimDevice::FT_SetFlowControl>(handle, flowControl, xon, xoff);
}

ULONG WINAPI FT_SetTimeouts(PVOID handle, ULONG readTimeoutMs, ULONG writeTimeoutMs) {
    return CallDevice<&TSimDevice::FT_SetTimeouts>(handle, readTimeoutMs, writeTimeoutMs);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    // At process exit (reserved not null) the other threads are gone already,
    // perhaps while holding a lock: nothing is touched then.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr)
        Stop();
    return TRUE;
}

} // extern "C"
