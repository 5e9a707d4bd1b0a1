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
#include <condition_variable>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
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
        close(struckSignal_);
    }
    TEvdevReader(const TEvdevReader&) = delete;
    TEvdevReader& operator=(const TEvdevReader&) = delete;

    bool Found() const { return device_ != nullptr; }

    // Events up to the report that ends the release of Enter, or a quiet second.
    std::vector<input_event> ReadNumber() {
        std::vector<input_event> events;
        for (;;) {
            const long struck = Struck();
            input_event event{};
            const int result = libevdev_next_event(device_, LIBEVDEV_READ_FLAG_NORMAL, &event);
            if (result == -EAGAIN) {
                TakenUpTo(struck);
                pollfd ready[] = {{fd_, POLLIN, 0}, {struckSignal_, POLLIN, 0}};
                if (poll(ready, 2, 1000) <= 0)
                    return Ended(std::move(events));
                eventfd_t count = 0;
                eventfd_read(struckSignal_, &count);
                continue;
            }
            if (result != LIBEVDEV_READ_STATUS_SUCCESS)
                return Ended(std::move(events));
            events.push_back(event);
            const bool report = event.type == EV_SYN && event.code == SYN_REPORT;
            if (report && events.size() >= 2 && events[events.size() - 2].code == KEY_ENTER &&
                events[events.size() - 2].value == 0)
                return Ended(std::move(events));
        }
    }

    // The kernel keeps 64 events for a reader, fewer than a number's, and on
    // the machine's one processor the typing would fill them before the
    // reader had a turn: the typing waits after each stroke until the reader
    // has taken its events, or has stopped reading.
    void Begin() {
        std::lock_guard lock(mutex_);
        reading_ = true;
    }
    void AwaitTaken() {
        std::unique_lock lock(mutex_);
        const long stroke = ++struck_;
        eventfd_write(struckSignal_, 1);
        changed_.wait(lock, [&] { return taken_ >= stroke || !reading_; });
    }

    // What a compositor does when Caps Lock changes: it sets the keyboard's light.
    void SetCapsLight(bool on) {
        libevdev_kernel_set_led_value(device_, LED_CAPSL, on ? LIBEVDEV_LED_ON : LIBEVDEV_LED_OFF);
    }

    std::string path;

private:
    long Struck() {
        std::lock_guard lock(mutex_);
        return struck_;
    }
    // Every event of the first `strokes` strokes was written before the read
    // that found the kernel's buffer empty: they are all taken.
    void TakenUpTo(long strokes) {
        std::lock_guard lock(mutex_);
        taken_ = std::max(taken_, strokes);
        changed_.notify_all();
    }
    std::vector<input_event> Ended(std::vector<input_event> events) {
        std::lock_guard lock(mutex_);
        reading_ = false;
        changed_.notify_all();
        return events;
    }

    int fd_ = -1;
    libevdev* device_ = nullptr;
    int struckSignal_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    std::mutex mutex_;
    std::condition_variable changed_;
    long struck_ = 0;
    long taken_ = 0;
    bool reading_ = false;
};

// The keyboard under test, kept to the reader's pace.
class TPacedKeyboard : public TKeyboard {
public:
    TPacedKeyboard(TKeyboard& keyboard, TEvdevReader& reader)
        : keyboard_(keyboard), reader_(reader) {}
    std::string Unavailable() override { return keyboard_.Unavailable(); }
    TStroke CharacterStroke(char c) override { return keyboard_.CharacterStroke(c); }
    TStroke VirtualKeyStroke(std::uint8_t vk) override { return keyboard_.VirtualKeyStroke(vk); }
    void Strike(const TStroke& stroke) override {
        keyboard_.Strike(stroke);
        reader_.AwaitTaken();
    }

private:
    TKeyboard& keyboard_;
    TEvdevReader& reader_;
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

// Reads on a thread of its own, which the typing waits for after each stroke.
std::vector<input_event> TypeAndReadBack(TKeyboard& keyboard, TEvdevReader& reader,
                                         const TTypingSetup& setup, const std::string& number) {
    std::vector<input_event> events;
    reader.Begin();
    std::thread readThread([&] { events = reader.ReadNumber(); });
    TSystemClock clock;
    TPacedKeyboard paced(keyboard, reader);
    TypeCardNumber(paced, clock, setup, number);
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

    const std::string number = "0123456789abcdef";
    EXPECT_EQ(Text(TypeAndReadBack(*keyboard, reader, {0, 0, true}, number), "cz", {}),
              "0123456789ABCDEF\r");
    reader.SetCapsLight(true);
    EXPECT_EQ(Text(TypeAndReadBack(*keyboard, reader, {0, 0, true}, number), "cz", {true, false}),
              "0123456789ABCDEF\r");
}

} // namespace
} // namespace lorvent::testing
