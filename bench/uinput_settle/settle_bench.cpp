// How long a Wayland compositor takes to take up a new uinput keyboard: the
// bench is a focused Wayland window and the keyboard's driver at once, on one
// clock. Each round makes a keyboard as the program makes its own, strikes a
// key on it every few milliseconds from the moment it exists, and notes which
// stroke first reaches the window, and when; then the keyboard is destroyed.
//   settle_bench rounds N [STALL_ROUNDS COMPOSITOR_PID]
//                            the rounds, on the session of WAYLAND_DISPLAY; then
//                            card numbers typed while the compositor is stopped
//   settle_bench calibrate   the speed of a fixed loop, to compare machines
#include "app/keyboard/keyboard_uinput.h"
#include "app/keyboard/typing.h"
#include "app/keyboard/uinput_device.h"
#include "app/system_clock.h"
#include "xdg-shell-client-protocol.h"

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <wayland-client.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <random>
#include <signal.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::int64_t kStrokeIntervalUs = 2000;
constexpr std::int64_t kRoundLimitUs = 20'000'000;
constexpr std::int64_t kFocusLimitUs = 60'000'000;
constexpr std::int64_t kRemovalPauseUs = 500'000;
constexpr int kLaterStrokes = 50;
constexpr std::int64_t kDrainUs = 300'000;
constexpr std::int64_t kBurstPauseUs = 1'000'000;
constexpr int kBurstAttempts = 3;
constexpr int kWidth = 64;
constexpr int kHeight = 64;

std::int64_t NowUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000 + now.tv_nsec / 1000;
}

[[noreturn]] void Fail(const std::string& why) {
    std::fprintf(stderr, "settle-bench: %s\n", why.c_str());
    std::exit(1);
}

// The program's own keyboard: every key, the three lock lights, a virtual bus.
libevdev_uinput* MakeKeyboard(const char* name) {
    libevdev* description = lorvent::VirtualKeyboardDescription(name);
    // Opened as the program opens it: the lights are read without blocking.
    const int fd = open("/dev/uinput", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        Fail(std::string("cannot open /dev/uinput: ") + std::strerror(errno));
    libevdev_uinput* device = nullptr;
    const int result = libevdev_uinput_create_from_device(description, fd, &device);
    libevdev_free(description);
    if (result < 0)
        Fail(std::string("cannot make a uinput keyboard: ") + std::strerror(-result));
    return device;
}

void DestroyKeyboard(libevdev_uinput* device) {
    const int fd = libevdev_uinput_get_fd(device);
    libevdev_uinput_destroy(device);
    close(fd);
}

// A press and a release, each written with its report as the program writes
// them: one write a key event.
void Strike(libevdev_uinput* device, unsigned key) {
    for (const int value : {1, 0}) {
        const input_event events[] = {{{}, EV_KEY, static_cast<__u16>(key), value},
                                      {{}, EV_SYN, SYN_REPORT, 0}};
        if (write(libevdev_uinput_get_fd(device), events, sizeof events) != sizeof events)
            Fail(std::string("cannot write to the uinput keyboard: ") + std::strerror(errno));
    }
}

// A key press the window got: when it came, and the time the kernel gave the
// stroke (milliseconds of CLOCK_MONOTONIC, cut to 32 bits).
struct TPress {
    std::int64_t receivedUs;
    std::uint32_t strokeMs;
    std::uint32_t key;
};

struct TWindow {
    wl_display* display = nullptr;
    wl_compositor* compositor = nullptr;
    wl_shm* shm = nullptr;
    xdg_wm_base* wmBase = nullptr;
    wl_seat* seat = nullptr;
    wl_keyboard* keyboard = nullptr;
    wl_surface* surface = nullptr;
    bool focused = false;
    std::vector<TPress> presses;
};

// --- the window's listeners -------------------------------------------------

void OnKeymap(void*, wl_keyboard*, std::uint32_t, std::int32_t fd, std::uint32_t) { close(fd); }
void OnEnter(void* data, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {
    static_cast<TWindow*>(data)->focused = true;
}
void OnLeave(void* data, wl_keyboard*, std::uint32_t, wl_surface*) {
    static_cast<TWindow*>(data)->focused = false;
}
void OnKey(void* data, wl_keyboard*, std::uint32_t, std::uint32_t time, std::uint32_t key,
           std::uint32_t state) {
    if (state == WL_KEYBOARD_KEY_STATE_PRESSED)
        static_cast<TWindow*>(data)->presses.push_back({NowUs(), time, key});
}
void OnModifiers(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                 std::uint32_t) {}
void OnRepeatInfo(void*, wl_keyboard*, std::int32_t, std::int32_t) {}
const wl_keyboard_listener kKeyboardListener = {OnKeymap,     OnEnter,    OnLeave,
                                                OnKey,        OnModifiers, OnRepeatInfo};

void OnCapabilities(void* data, wl_seat* seat, std::uint32_t capabilities) {
    auto* window = static_cast<TWindow*>(data);
    const bool hasKeyboard = (capabilities & WL_SEAT_CAPABILITY_KEYBOARD) != 0;
    if (hasKeyboard && window->keyboard == nullptr) {
        window->keyboard = wl_seat_get_keyboard(seat);
        wl_keyboard_add_listener(window->keyboard, &kKeyboardListener, window);
    } else if (!hasKeyboard && window->keyboard != nullptr) {
        wl_keyboard_release(window->keyboard);
        window->keyboard = nullptr;
        window->focused = false;
    }
}
void OnSeatName(void*, wl_seat*, const char*) {}
const wl_seat_listener kSeatListener = {OnCapabilities, OnSeatName};

void OnPing(void*, xdg_wm_base* base, std::uint32_t serial) { xdg_wm_base_pong(base, serial); }
const xdg_wm_base_listener kWmBaseListener = {OnPing};

void OnGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
              std::uint32_t) {
    auto* window = static_cast<TWindow*>(data);
    const std::string is = interface;
    if (is == wl_compositor_interface.name)
        window->compositor = static_cast<wl_compositor*>(
            wl_registry_bind(registry, name, &wl_compositor_interface, 4));
    else if (is == wl_shm_interface.name)
        window->shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    else if (is == xdg_wm_base_interface.name) {
        window->wmBase = static_cast<xdg_wm_base*>(
            wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
        xdg_wm_base_add_listener(window->wmBase, &kWmBaseListener, window);
    } else if (is == wl_seat_interface.name && window->seat == nullptr) {
        window->seat =
            static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 5));
        wl_seat_add_listener(window->seat, &kSeatListener, window);
    }
}
void OnGlobalRemove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener kRegistryListener = {OnGlobal, OnGlobalRemove};

wl_buffer* GreyBuffer(wl_shm* shm) {
    const int stride = kWidth * 4;
    const int size = stride * kHeight;
    const int fd = memfd_create("settle-bench", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, size) < 0)
        Fail("cannot make the window's buffer");
    void* pixels = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    std::memset(pixels, 0x80, size);
    munmap(pixels, size);
    wl_shm_pool* pool = wl_shm_create_pool(shm, fd, size);
    wl_buffer* buffer =
        wl_shm_pool_create_buffer(pool, 0, kWidth, kHeight, stride, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    return buffer;
}

// The first configure maps the window: a buffer is attached only after it.
void OnSurfaceConfigure(void* data, xdg_surface* surface, std::uint32_t serial) {
    auto* window = static_cast<TWindow*>(data);
    xdg_surface_ack_configure(surface, serial);
    static wl_buffer* buffer = GreyBuffer(window->shm);
    wl_surface_attach(window->surface, buffer, 0, 0);
    wl_surface_commit(window->surface);
}
const xdg_surface_listener kSurfaceListener = {OnSurfaceConfigure};

void OnToplevelConfigure(void*, xdg_toplevel*, std::int32_t, std::int32_t, wl_array*) {}
void OnToplevelClose(void*, xdg_toplevel*) {}
void OnToplevelBounds(void*, xdg_toplevel*, std::int32_t, std::int32_t) {}
void OnToplevelCapabilities(void*, xdg_toplevel*, wl_array*) {}
const xdg_toplevel_listener kToplevelListener = {OnToplevelConfigure, OnToplevelClose,
                                                 OnToplevelBounds, OnToplevelCapabilities};

void OpenWindow(TWindow& window) {
    window.display = wl_display_connect(nullptr);
    if (window.display == nullptr)
        Fail("no Wayland display (WAYLAND_DISPLAY)");
    wl_registry* registry = wl_display_get_registry(window.display);
    wl_registry_add_listener(registry, &kRegistryListener, &window);
    wl_display_roundtrip(window.display);
    if (!window.compositor || !window.shm || !window.wmBase || !window.seat)
        Fail("the compositor lacks wl_compositor, wl_shm, xdg_wm_base or wl_seat");
    window.surface = wl_compositor_create_surface(window.compositor);
    xdg_surface* shell = xdg_wm_base_get_xdg_surface(window.wmBase, window.surface);
    xdg_surface_add_listener(shell, &kSurfaceListener, &window);
    xdg_toplevel* toplevel = xdg_surface_get_toplevel(shell);
    xdg_toplevel_add_listener(toplevel, &kToplevelListener, &window);
    xdg_toplevel_set_title(toplevel, "settle-bench");
    wl_surface_commit(window.surface);
    wl_display_flush(window.display);
}

// Handles what the compositor sent, waiting for it at most until `untilUs`.
void Dispatch(TWindow& window, std::int64_t untilUs) {
    wl_display_flush(window.display);
    const std::int64_t leftUs = std::max<std::int64_t>(0, untilUs - NowUs());
    pollfd watched{wl_display_get_fd(window.display), POLLIN, 0};
    if (poll(&watched, 1, static_cast<int>((leftUs + 999) / 1000)) > 0 &&
        wl_display_dispatch(window.display) < 0)
        Fail("the compositor closed the connection");
    wl_display_dispatch_pending(window.display);
}

void DispatchFor(TWindow& window, std::int64_t us) {
    const std::int64_t untilUs = NowUs() + us;
    while (NowUs() < untilUs)
        Dispatch(window, untilUs);
}

// --- the rounds -------------------------------------------------------------

struct TRound {
    std::int64_t nodeUs = -1;    // creation → /dev/input/eventN exists
    std::int64_t udevUs = -1;    // creation → udev has recorded the device
    std::int64_t sentUs = -1;    // creation → the first stroke that counted was struck
    std::int64_t receivedUs = -1; // creation → the window got it
    int lost = 0;                // strokes struck before it, that never came
    int lostLater = 0;           // strokes struck after it that never came
    int doubled = 0;             // strokes from it on that came twice
    int mismatched = 0;          // presses of another key than their stroke's
};

bool Exists(const std::string& path) {
    struct stat node {};
    return stat(path.c_str(), &node) == 0;
}

// udev's record of a character device: written once its rules have run.
std::string UdevRecord(const char* node) {
    struct stat info {};
    if (node == nullptr || stat(node, &info) != 0)
        return {};
    return "/run/udev/data/c" + std::to_string(major(info.st_rdev)) + ":" +
           std::to_string(minor(info.st_rdev));
}

// The first press of a stroke struck since `sinceUs`: presses of strokes
// struck before it (on another keyboard) may still be on their way.
std::optional<TPress> PressSince(const TWindow& window, std::int64_t sinceUs) {
    const auto sinceMs = static_cast<std::uint32_t>(sinceUs / 1000);
    for (const TPress& press : window.presses)
        if (static_cast<std::int32_t>(press.strokeMs - sinceMs) >= 0)
            return press;
    return std::nullopt;
}

// Consecutive strokes strike different keys.
unsigned KeyOfStroke(std::size_t stroke) { return KEY_A + static_cast<unsigned>(stroke % 20); }

// Strikes a key every few ms on `device` until the window gets one.
std::optional<TPress> StrikeUntilReceived(TWindow& window, libevdev_uinput* device,
                                          std::int64_t createdUs, TRound* round,
                                          std::vector<std::int64_t>* struck) {
    const char* node = libevdev_uinput_get_devnode(device);
    std::string udevRecord;
    window.presses.clear();
    std::int64_t nextStrokeUs = NowUs();
    while (!PressSince(window, createdUs)) {
        const std::int64_t now = NowUs();
        if (now - createdUs > kRoundLimitUs)
            return std::nullopt;
        if (round && round->nodeUs < 0 && node && Exists(node)) {
            round->nodeUs = now - createdUs;
            udevRecord = UdevRecord(node);
        }
        if (round && round->udevUs < 0 && !udevRecord.empty() && Exists(udevRecord))
            round->udevUs = now - createdUs;
        if (now >= nextStrokeUs) {
            if (struck)
                struck->push_back(NowUs());
            Strike(device, KeyOfStroke(struck ? struck->size() - 1 : 0));
            // Never two strokes within one millisecond, even when the loop lags.
            nextStrokeUs = NowUs() + kStrokeIntervalUs;
        }
        Dispatch(window, nextStrokeUs);
    }
    return PressSince(window, createdUs);
}

// The stroke whose kernel time stamp the press carries: the last one struck
// at or before that millisecond.
int StrokeIndex(const std::vector<std::int64_t>& struckUs, std::uint32_t strokeMs) {
    int found = 0;
    for (std::size_t i = 0; i < struckUs.size(); ++i) {
        const auto ms = static_cast<std::uint32_t>(struckUs[i] / 1000);
        if (static_cast<std::int32_t>(strokeMs - ms) >= 0)
            found = static_cast<int>(i);
    }
    return found;
}

// The presses and strokes around the first press that came, in ms from it.
void PrintPresses(const TWindow& window, const std::vector<std::int64_t>& struckUs,
                  const TPress& first) {
    const int firstStroke = StrokeIndex(struckUs, first.strokeMs);
    for (int stroke = std::max(0, firstStroke - 2);
         stroke < std::min<int>(struckUs.size(), firstStroke + 8); ++stroke)
        std::printf("  stroke %d: key %u struck at %+.1f\n", stroke, KeyOfStroke(stroke),
                    (struckUs[stroke] - struckUs[firstStroke]) / 1000.0);
    for (std::size_t i = 0; i < std::min<std::size_t>(window.presses.size(), 10); ++i) {
        const TPress& press = window.presses[i];
        std::printf("  press: key %u stamped %+d, received %+.1f\n", press.key,
                    static_cast<std::int32_t>(press.strokeMs - first.strokeMs),
                    (press.receivedUs - struckUs[firstStroke]) / 1000.0);
    }
}

// Once a key has come, every later one must, once: strikes some more, then
// tells each press to its stroke by the time and checks it by the key.
void CheckLaterStrokes(TWindow& window, libevdev_uinput* device,
                       std::vector<std::int64_t>& struckUs, const TPress& first, TRound& round) {
    // The strokes stay a full interval apart, so that a time stamp tells one.
    DispatchFor(window, kStrokeIntervalUs);
    for (int i = 0; i < kLaterStrokes; ++i) {
        struckUs.push_back(NowUs());
        Strike(device, KeyOfStroke(struckUs.size() - 1));
        DispatchFor(window, kStrokeIntervalUs);
    }
    DispatchFor(window, kDrainUs);
    std::vector<int> pressesOfStroke(struckUs.size(), 0);
    for (const TPress& press : window.presses) {
        if (static_cast<std::int32_t>(press.strokeMs - first.strokeMs) < 0)
            continue;
        const int stroke = StrokeIndex(struckUs, press.strokeMs);
        if (press.key == KeyOfStroke(stroke))
            ++pressesOfStroke[stroke];
        else
            ++round.mismatched;
    }
    for (std::size_t stroke = round.lost; stroke < struckUs.size(); ++stroke) {
        round.lostLater += pressesOfStroke[stroke] == 0;
        round.doubled += pressesOfStroke[stroke] > 1;
    }
    if (round.lostLater + round.doubled + round.mismatched > 0)
        PrintPresses(window, struckUs, first);
}

TRound MeasureRound(TWindow& window) {
    TRound round;
    std::vector<std::int64_t> struckUs;
    libevdev_uinput* device = MakeKeyboard("Lorvent virtual keyboard");
    const std::int64_t createdUs = NowUs();
    const auto press = StrikeUntilReceived(window, device, createdUs, &round, &struckUs);
    if (press) {
        round.receivedUs = press->receivedUs - createdUs;
        round.lost = StrokeIndex(struckUs, press->strokeMs);
        round.sentUs = struckUs[round.lost] - createdUs;
        CheckLaterStrokes(window, device, struckUs, *press, round);
    }
    DestroyKeyboard(device);
    return round;
}

double Ms(std::int64_t us) { return us / 1000.0; }

// Milliseconds, or a dash for what was not seen.
std::string Figure(std::int64_t us) {
    if (us < 0)
        return "      -";
    char text[32];
    std::snprintf(text, sizeof text, "%7.1f", Ms(us));
    return text;
}

void PrintDistribution(const char* what, std::vector<std::int64_t> values) {
    values.erase(std::remove(values.begin(), values.end(), -1), values.end());
    if (values.empty()) {
        std::printf("%-34s no figure\n", what);
        return;
    }
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    const double median = n % 2 ? Ms(values[n / 2]) : (Ms(values[n / 2 - 1]) + Ms(values[n / 2])) / 2;
    std::printf("%-34s min %8.1f  median %8.1f  max %8.1f ms  (%zu rounds)\n", what,
                Ms(values.front()), median, Ms(values.back()), n);
}

// A card number is typed as one burst of writes, with no pause between its
// keys: a keyboard taken up, bursts of growing length, and how many came.
void MeasureBursts(TWindow& window) {
    libevdev_uinput* device = MakeKeyboard("Lorvent virtual keyboard");
    if (!StrikeUntilReceived(window, device, NowUs(), nullptr, nullptr))
        Fail("no key of the burst keyboard reached the window");
    DispatchFor(window, kBurstPauseUs);
    for (const int strokes : {4, 8, 12, 16, 24, 32, 64}) {
        for (int attempt = 0; attempt < kBurstAttempts; ++attempt) {
            window.presses.clear();
            for (int stroke = 0; stroke < strokes; ++stroke)
                Strike(device, KeyOfStroke(stroke));
            DispatchFor(window, kBurstPauseUs);
            std::printf("burst of %2d strokes (%3d events): %2zu came\n", strokes, strokes * 4,
                        window.presses.size());
        }
    }
    std::fflush(stdout);
    DestroyKeyboard(device);
}

// The program's own uinput keyboard with the layout sway uses by default, on
// `device`, once the window has been seen to take keys from it.
std::unique_ptr<lorvent::TKeyboard> MakeTypingKeyboard(TWindow& window, libevdev_uinput* device,
                                                       const char* which) {
    if (!StrikeUntilReceived(window, device, NowUs(), nullptr, nullptr))
        Fail(std::string("no key of the ") + which + " keyboard reached the window");
    DispatchFor(window, kBurstPauseUs);
    auto keyboard = lorvent::MakeUinputKeyboard([device] {
        lorvent::TUinputSetup setup;
        setup.fd = libevdev_uinput_get_fd(device);
        setup.layout = lorvent::TXkbLayout::Compile({"pc105", "us", "", ""}, setup.problem);
        return setup;
    });
    if (const std::string problem = keyboard->Unavailable(); !problem.empty())
        Fail(problem);
    return keyboard;
}

// Card numbers typed by the program's own uinput keyboard and typing, with
// the layout sway uses by default; counted by the keys that are not Shift.
void MeasureCardNumbers(TWindow& window) {
    libevdev_uinput* device = MakeKeyboard("Lorvent virtual keyboard");
    const auto keyboard = MakeTypingKeyboard(window, device, "typing");
    lorvent::TSystemClock clock;
    for (const std::string number : {"12345678", "0123456789", "0123456789ABCDEF",
                                     "04A2B3C4D5E6F7801234"}) {
        for (int attempt = 0; attempt < kBurstAttempts; ++attempt) {
            window.presses.clear();
            const std::int64_t startedUs = NowUs();
            lorvent::TypeCardNumber(*keyboard, clock, {0, 0, true, keyboard->DefaultKeyDelayMs()},
                                    number);
            const std::int64_t typingUs = NowUs() - startedUs;
            DispatchFor(window, kBurstPauseUs);
            const auto came = std::count_if(window.presses.begin(), window.presses.end(),
                                            [](const TPress& press) {
                                                return press.key != KEY_LEFTSHIFT;
                                            });
            std::printf("card number %-20s typed by the program in %5.0f ms: %2ld of %2zu keys "
                        "came\n",
                        number.c_str(), Ms(typingUs), static_cast<long>(came), number.size() + 1);
        }
    }
    std::fflush(stdout);
    DestroyKeyboard(device);
}

// --- the compositor stalled while a number is typed --------------------------

constexpr int kStallNumberLength = 20;
constexpr int kStallsMs[] = {50, 100, 150, 250};

// The key of a card number's character in the US layout.
unsigned KeyOfCharacter(char c) {
    static const unsigned digits[] = {KEY_0, KEY_1, KEY_2, KEY_3, KEY_4,
                                      KEY_5, KEY_6, KEY_7, KEY_8, KEY_9};
    static const unsigned letters[] = {KEY_A, KEY_B, KEY_C, KEY_D, KEY_E, KEY_F};
    return c >= '0' && c <= '9' ? digits[c - '0'] : letters[c - 'A'];
}

std::string RandomNumber(std::mt19937& random) {
    static const char hex[] = "0123456789ABCDEF";
    std::string number;
    for (int i = 0; i < kStallNumberLength; ++i)
        number += hex[random() % 16];
    return number;
}

// Stops the compositor `afterMs` after it is started, for `forMs`.
std::thread StallLater(pid_t compositor, int afterMs, int forMs) {
    return std::thread([=] {
        std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
        kill(compositor, SIGSTOP);
        std::this_thread::sleep_for(std::chrono::milliseconds(forMs));
        kill(compositor, SIGCONT);
    });
}

// When a stall begins: at a random moment between the first character and
// the last (without a key delay they are all written within a millisecond or
// so, and the stall then begins with them), or between the first character
// and Enter, 100 ms after the last.
enum class TStallMoment { AmongTheCharacters, AnyTimeBeforeEnter };

// One number typed on a thread of its own (the window goes on reading what
// the compositor sends) while the compositor stalls once; true when every
// key came, in order, and Enter after them.
bool TypedWholeThroughAStall(TWindow& window, lorvent::TKeyboard& keyboard, int delayMs,
                             pid_t compositor, int stallMs, TStallMoment moment,
                             std::mt19937& random) {
    const std::string number = RandomNumber(random);
    int span = (kStallNumberLength - 1) * delayMs;
    if (moment == TStallMoment::AnyTimeBeforeEnter)
        span += lorvent::kBeforeEnterPauseMs;
    const int stallAfterMs = span > 0 ? static_cast<int>(random() % span) : 0;
    window.presses.clear();
    std::atomic<bool> typed{false};
    lorvent::TSystemClock clock;
    std::thread stall = StallLater(compositor, stallAfterMs, stallMs);
    std::thread typing([&] {
        lorvent::TypeCardNumber(keyboard, clock, {0, 0, true, delayMs}, number);
        typed = true;
    });
    while (!typed)
        Dispatch(window, NowUs() + 20'000);
    typing.join();
    stall.join();
    DispatchFor(window, kBurstPauseUs);
    std::vector<unsigned> expected;
    for (char c : number)
        expected.push_back(KeyOfCharacter(c));
    expected.push_back(KEY_ENTER);
    std::vector<unsigned> came;
    for (const TPress& press : window.presses)
        if (press.key != KEY_LEFTSHIFT)
            came.push_back(press.key);
    return came == expected;
}

// Each stall, with the uinput keyboard's key delay and without one: how many
// 20-character numbers came whole.
void MeasureStalls(TWindow& window, int rounds, pid_t compositor) {
    libevdev_uinput* device = MakeKeyboard("Lorvent virtual keyboard");
    const auto keyboard = MakeTypingKeyboard(window, device, "stalled");
    std::mt19937 random(30);
    for (const auto moment : {TStallMoment::AmongTheCharacters, TStallMoment::AnyTimeBeforeEnter})
        for (const int stallMs : kStallsMs)
            for (const int delayMs : {0, lorvent::kUinputKeyDelayMs}) {
                int whole = 0;
                for (int round = 0; round < rounds; ++round)
                    whole += TypedWholeThroughAStall(window, *keyboard, delayMs, compositor,
                                                     stallMs, moment, random);
                std::printf("stall %3d ms %s, key delay %2d ms: %2d of %2d numbers whole\n",
                            stallMs,
                            moment == TStallMoment::AmongTheCharacters ? "among the characters"
                                                                       : "before Enter        ",
                            delayMs, whole, rounds);
                std::fflush(stdout);
            }
    DestroyKeyboard(device);
}

int RunRounds(int count, int stallRounds, pid_t compositor) {
    TWindow window;
    OpenWindow(window);
    // The machine's own keyboard, there before the program starts; once the
    // window has focus and a key of it arrives, the seat is ready.
    libevdev_uinput* own = MakeKeyboard("settle-bench own keyboard");
    const std::int64_t focusUntil = NowUs() + kFocusLimitUs;
    while (!window.focused && NowUs() < focusUntil)
        Dispatch(window, std::min(focusUntil, NowUs() + 100'000));
    if (!window.focused)
        Fail("the window never got keyboard focus");
    if (!StrikeUntilReceived(window, own, NowUs(), nullptr, nullptr))
        Fail("no key of the seat's own keyboard reached the window");
    std::printf("settle-bench: window focused, the seat's keyboard works\n");

    std::vector<TRound> rounds;
    for (int i = 0; i < count; ++i) {
        const TRound round = MeasureRound(window);
        rounds.push_back(round);
        std::printf("round %2d: node %s  udev %s  first counted key struck %s "
                    "(%3d lost)  received %s ms; after it %d lost, %d twice, %d mismatched\n",
                    i + 1, Figure(round.nodeUs).c_str(), Figure(round.udevUs).c_str(),
                    Figure(round.sentUs).c_str(), round.lost, Figure(round.receivedUs).c_str(),
                    round.lostLater, round.doubled, round.mismatched);
        std::fflush(stdout);
        DispatchFor(window, kRemovalPauseUs);
    }
    MeasureBursts(window);
    MeasureCardNumbers(window);
    if (stallRounds > 0)
        MeasureStalls(window, stallRounds, compositor);
    DestroyKeyboard(own);

    auto column = [&](auto member) {
        std::vector<std::int64_t> values;
        for (const TRound& round : rounds)
            values.push_back(round.*member);
        return values;
    };
    std::vector<std::int64_t> nodeToReceived;
    for (const TRound& round : rounds)
        nodeToReceived.push_back(round.receivedUs < 0 || round.nodeUs < 0
                                     ? -1
                                     : round.receivedUs - round.nodeUs);
    PrintDistribution("creation -> node", column(&TRound::nodeUs));
    PrintDistribution("creation -> udev record", column(&TRound::udevUs));
    PrintDistribution("creation -> first counted stroke", column(&TRound::sentUs));
    PrintDistribution("creation -> first key received", column(&TRound::receivedUs));
    PrintDistribution("node -> first key received", nodeToReceived);
    const auto failed = std::count_if(rounds.begin(), rounds.end(),
                                      [](const TRound& round) { return round.receivedUs < 0; });
    long lostLater = 0;
    long doubled = 0;
    long mismatched = 0;
    for (const TRound& round : rounds) {
        lostLater += round.lostLater;
        doubled += round.doubled;
        mismatched += round.mismatched;
    }
    std::printf("settle-bench: %zu rounds, %ld without a key received; after the first key "
                "that came %ld lost, %ld twice, %ld presses not told to their stroke\n",
                rounds.size(), static_cast<long>(failed), lostLater, doubled, mismatched);
    return failed == 0 && mismatched == 0 ? 0 : 1;
}

// How many times `pass` runs in two seconds of this machine's time, per second.
template <typename Pass> double PassesPerSecond(Pass pass) {
    std::uint64_t passes = 0;
    const std::int64_t started = NowUs();
    while (NowUs() - started < 2'000'000) {
        pass(passes);
        ++passes;
    }
    return passes / ((NowUs() - started) / 1e6);
}

// The speed of this machine at what a compositor and udev do most: plain
// computing, system calls, and (udev) starting processes.
int Calibrate() {
    volatile std::uint64_t sink = 0;
    const double loops = PassesPerSecond([&](std::uint64_t pass) {
        std::uint64_t x = pass;
        for (int i = 0; i < 100'000; ++i)
            x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        sink = sink + x;
    });
    const double calls = PassesPerSecond([](std::uint64_t) {
        struct stat info {};
        stat("/", &info);
    });
    const double forks = PassesPerSecond([](std::uint64_t) {
        const pid_t child = fork();
        if (child == 0)
            _exit(0);
        waitpid(child, nullptr, 0);
    });
    std::printf("settle-bench: calibration %.0f loop passes/s, %.0f stat calls/s, %.0f forks/s\n",
                loops, calls, forks);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "calibrate")
        return Calibrate();
    if (mode == "rounds" && argc > 2 && std::atoi(argv[2]) > 0)
        return RunRounds(std::atoi(argv[2]), argc > 4 ? std::atoi(argv[3]) : 0,
                         argc > 4 ? static_cast<pid_t>(std::atoi(argv[4])) : 0);
    std::fprintf(stderr, "usage: settle_bench rounds N [STALL_ROUNDS COMPOSITOR_PID] | "
                         "settle_bench calibrate\n");
    return 2;
}
