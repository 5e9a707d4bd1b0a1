// The virtual keyboard in the kernel: made once through /dev/uinput and kept
// for the program's life. A compositor takes up a new input device only after
// the kernel has announced it and udev has handled it, and drops keys sent
// before: the device node is waited for, then a settle time, once.
#include "uinput_device.h"

#include "keyboard_layout_source.h"

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace lorvent {

namespace {

const char* const kUinputPath = "/dev/uinput";
const char* const kDeviceName = "Lorvent virtual keyboard";
constexpr int kHighestKey = 255; // every key a layout may use, F13..F24 included
constexpr auto kNodeWait = std::chrono::seconds(2);

const char* const kXwaylandHint =
    " Píše-li se do programu běžícího pod Xwayland, lze nastavit LORVENT_KEYBOARD=xtest.";

std::string OpenProblem(int error) {
    if (error == ENOENT || error == ENODEV || error == ENXIO)
        return std::string("chybí zařízení /dev/uinput (modul jádra uinput není zaveden). "
                           "Zaveďte jej příkazem „modprobe uinput“ (jako root); "
                           "balíček lorvent jej zavádí při startu.") +
               kXwaylandHint;
    if (error == EACCES || error == EPERM)
        return std::string("chybí oprávnění k /dev/uinput. Nainstalujte balíček lorvent "
                           "(jeho pravidlo udev dává zařízení uživateli u počítače) "
                           "nebo pravidlo podle README, a přihlaste se znovu.") +
               kXwaylandHint;
    return std::string("/dev/uinput nelze otevřít: ") + std::strerror(error) + "." + kXwaylandHint;
}


// The node the kernel made for the device, once it exists.
void WaitForAnnouncement(libevdev_uinput* device) {
    const auto until = std::chrono::steady_clock::now() + kNodeWait;
    for (;;) {
        struct stat node {};
        const char* path = libevdev_uinput_get_devnode(device);
        if ((path != nullptr && stat(path, &node) == 0) || std::chrono::steady_clock::now() > until)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kAnnouncementSettleMs));
}

} // namespace

libevdev* VirtualKeyboardDescription(const char* name) {
    libevdev* description = libevdev_new();
    libevdev_set_name(description, name);
    libevdev_set_id_bustype(description, BUS_VIRTUAL);
    libevdev_enable_event_type(description, EV_KEY);
    for (unsigned key = 1; key <= kHighestKey; ++key)
        libevdev_enable_event_code(description, EV_KEY, key, nullptr);
    // The seat's lock lights come back on these.
    libevdev_enable_event_type(description, EV_LED);
    for (const unsigned led : {LED_NUML, LED_CAPSL, LED_SCROLLL})
        libevdev_enable_event_code(description, EV_LED, led, nullptr);
    return description;
}

TUinputSetup CreateUinputDevice() {
    TUinputSetup setup;
    const TXkbNames names = SessionLayoutNames();
    setup.layout = TXkbLayout::Compile(names, setup.problem);
    if (!setup.layout) {
        setup.problem += " (" + std::string(kLayoutVariable) + " jej může určit)";
        return setup;
    }
    const int fd = open(kUinputPath, O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        setup.problem = OpenProblem(errno);
        setup.layout.reset();
        return setup;
    }
    libevdev* description = VirtualKeyboardDescription(kDeviceName);
    libevdev_uinput* device = nullptr;
    const int result = libevdev_uinput_create_from_device(description, fd, &device);
    libevdev_free(description);
    if (result < 0) {
        close(fd);
        setup.problem = OpenProblem(-result);
        setup.layout.reset();
        return setup;
    }
    WaitForAnnouncement(device);
    setup.fd = fd;
    setup.owner = std::shared_ptr<void>(device, [fd](void* made) {
        libevdev_uinput_destroy(static_cast<libevdev_uinput*>(made));
        close(fd);
    });
    return setup;
}

} // namespace lorvent
