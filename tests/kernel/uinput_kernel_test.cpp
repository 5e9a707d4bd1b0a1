// Runs as the init of a small Linux system under QEMU (run_kernel_test.sh):
// the uinput keyboard is made by the real kernel, and what the kernel hands
// on to /dev/input/eventN is read back with libevdev, as a compositor reads
// a keyboard, and turned into text with the layout.
#include "app/startup/command_line.h"
#include "app/key_event_rig.h"
#include "app/keyboard/keyboard_layout_source.h"
#include "app/keyboard/typing.h"
#include "app/keyboard/uinput_device.h"
#include "app/system_clock.h"
#include "support/scoped_env.h"

#include <libevdev/libevdev.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace lorvent::testing {
namespace {

using std::chrono::steady_clock;

// The evdev side of the virtual keyboard, found by its name.
class TEvdevReader {
public:
    TEvdevReader() {
        for (const auto& entry : std::filesystem::directory_iterator("/dev/input")) {
            if (entry.path().filename().string().rfind("event", 0) != 0)
                continue;
            const int fd = open(entry.path().c_str(), O_RDWR | O_NONBLOCK);
            libevdev* device = nullptr;
            if (fd >= 0 && libevdev_new_from_fd(fd, &device) == 0 &&
                std::string(libevdev_get_name(device)) == "Lorvent virtual keyboard") {
                fd_ = fd;
                device_ = device;
                path = entry.path();
                return;
            }
            if (device != nullptr)
                libevdev_free(device);
            if (fd >= 0)
                close(fd);
        }
    }
    ~TEvdevReader() {
        if (device_ != nullptr)
            libevdev_free(device_);
        if (fd_ >= 0)
            close(fd_);
    }
    TEvdevReader(const TEvdevReader&) = delete;
    TEvdevReader& operator=(const TEvdevReader&) = delete;

    bool Found() const { return device_ != nullptr; }

    // Events up to the report that ends the release of Enter, or a quiet second.
    std::vector<input_event> ReadNumber() {
        std::vector<input_event> events;
        for (;;) {
            input_event event{};
            const int result = libevdev_next_event(device_, LIBEVDEV_READ_FLAG_NORMAL, &event);
            if (result == -EAGAIN) {
                pollfd ready{fd_, POLLIN, 0};
                if (poll(&ready, 1, 1000) <= 0)
                    return events;
                continue;
            }
            if (result != LIBEVDEV_READ_STATUS_SUCCESS)
                return events;
            events.push_back(event);
            const bool report = event.type == EV_SYN && event.code == SYN_REPORT;
            if (report && events.size() >= 2 && events[events.size() - 2].code == KEY_ENTER &&
                events[events.size() - 2].value == 0)
                return events;
        }
    }

    // What a compositor does when Caps Lock changes: it sets the keyboard's light.
    void SetCapsLight(bool on) {
        libevdev_kernel_set_led_value(device_, LED_CAPSL, on ? LIBEVDEV_LED_ON : LIBEVDEV_LED_OFF);
    }

    std::string path;

private:
    int fd_ = -1;
    libevdev* device_ = nullptr;
};

std::vector<std::string> Described(const std::vector<input_event>& events) {
    std::vector<std::string> described;
    for (const input_event& event : events)
        described.push_back(DescribeEvent(event));
    return described;
}

std::string Text(const std::vector<input_event>& events, const char* layout, TLockState locks) {
    TCompositor compositor(*CompiledLayout(layout), locks);
    for (const input_event& event : events)
        compositor.Feed(event);
    return compositor.Text();
}

// The kernel's time of each stroke: from its first press with no key held to
// the report after its last release.
struct TStrokeTimes {
    double beganMs;
    double endedMs;
};

double Ms(const input_event& event) {
    return event.input_event_sec * 1000.0 + event.input_event_usec / 1000.0;
}

std::vector<TStrokeTimes> StrokeTimes(const std::vector<input_event>& events) {
    std::vector<TStrokeTimes> strokes;
    int held = 0;
    for (const input_event& event : events) {
        if (event.type == EV_KEY && event.value == 1 && held++ == 0)
            strokes.push_back({Ms(event), Ms(event)});
        else if (event.type == EV_KEY && event.value == 0)
            --held;
        if (!strokes.empty())
            strokes.back().endedMs = Ms(event);
    }
    return strokes;
}

// The pause before each stroke after the first, by the kernel's time stamps.
std::vector<double> PausesBetweenStrokes(const std::vector<input_event>& events) {
    const auto strokes = StrokeTimes(events);
    std::vector<double> pauses;
    for (std::size_t i = 1; i < strokes.size(); ++i)
        pauses.push_back(strokes[i].beganMs - strokes[i - 1].endedMs);
    return pauses;
}

// Reads on a thread of its own while the program's typing, with the key
// delay of the uinput keyboard, writes the strokes: the kernel keeps 64
// events for a reader, fewer than a number's, and the typing's own pauses
// must give the reader its turns on the machine's one processor.
std::vector<input_event> TypeAndReadBack(TKeyboard& keyboard, TEvdevReader& reader,
                                         TTypingSetup setup, const std::string& number) {
    std::vector<input_event> events;
    std::thread readThread([&] { events = reader.ReadNumber(); });
    TSystemClock clock;
    setup.KeyDelayMs = keyboard.DefaultKeyDelayMs();
    TypeCardNumber(keyboard, clock, setup, number);
    readThread.join();
    return events;
}

TEST(UinputOnARealKernel, CzechNumberArrivesWithCapsLockOffAndOn) {
    TScopedEnv wayland("WAYLAND_DISPLAY", "wayland-0");
    TScopedEnv layout(kLayoutVariable, "cz");
    const auto started = steady_clock::now();
    const auto keyboard = MakePlatformKeyboard();
    ASSERT_EQ(keyboard->Unavailable(), "");
    const auto made = steady_clock::now() - started;
    TEvdevReader reader;
    ASSERT_TRUE(reader.Found()) << "no /dev/input/event* of the virtual keyboard";
    std::printf(
        "device made and announced in %lld ms (settle %d ms included), node %s\n",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(made).count()),
        kAnnouncementSettleMs, reader.path.c_str());

    const auto plain = TypeAndReadBack(*keyboard, reader, {0x71, kModCtrl, true}, "1a");
    const std::vector<std::string> expected = {
        "KEY_LEFTCTRL 1",  "SYN", "KEY_F2 1",    "SYN", "KEY_F2 0", "SYN", "KEY_LEFTCTRL 0",  "SYN",
        "KEY_LEFTSHIFT 1", "SYN", "KEY_1 1",     "SYN", "KEY_1 0",  "SYN", "KEY_LEFTSHIFT 0", "SYN",
        "KEY_LEFTSHIFT 1", "SYN", "KEY_A 1",     "SYN", "KEY_A 0",  "SYN", "KEY_LEFTSHIFT 0", "SYN",
        "KEY_ENTER 1",     "SYN", "KEY_ENTER 0", "SYN"};
    EXPECT_EQ(Described(plain), expected);

    const double delay = keyboard->DefaultKeyDelayMs();
    EXPECT_GE(delay, 1) << "the uinput keyboard types without pauses";
    const auto prefixed = PausesBetweenStrokes(plain);
    ASSERT_EQ(prefixed.size(), 3u);
    EXPECT_GE(prefixed[0], kPrefixPauseMs);
    EXPECT_GE(prefixed[1], delay);
    EXPECT_GE(prefixed[2], kBeforeEnterPauseMs);

    const std::string number = "0123456789abcdef";
    const auto events = TypeAndReadBack(*keyboard, reader, {0, 0, true}, number);
    EXPECT_EQ(Text(events, "cz", {}), "0123456789ABCDEF\r");
    const auto pauses = PausesBetweenStrokes(events);
    ASSERT_EQ(pauses.size(), number.size());
    for (std::size_t i = 0; i + 1 < pauses.size(); ++i)
        EXPECT_GE(pauses[i], delay) << "before character " << i + 1;
    reader.SetCapsLight(true);
    EXPECT_EQ(Text(TypeAndReadBack(*keyboard, reader, {0, 0, true}, number), "cz", {true, false}),
              "0123456789ABCDEF\r");
}

} // namespace
} // namespace lorvent::testing
