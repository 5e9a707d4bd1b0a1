#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace lorvent::testing {

// A minimal notification area for an Xvfb without a desktop: it owns the
// system-tray selection, docks the icon windows that ask for it and lets the
// test click them through XTEST, like a user would.
class TXTrayHost {
public:
    explicit TXTrayHost(const std::string& display);
    ~TXTrayHost();
    TXTrayHost(const TXTrayHost&) = delete;
    TXTrayHost& operator=(const TXTrayHost&) = delete;

    bool Started() const { return started_; }
    bool IconDocked() const { return icon_ != 0; }
    // Presses and releases a mouse button over the docked icon (1 left, 3 right).
    void ClickIcon(int button, int clicks = 1);
    // Presses and releases keys through XTEST, e.g. "Down" or "Return".
    void Key(const std::string& keysymName);

private:
    void Run();

    std::string displayName_;
    std::atomic<bool> started_{false};
    std::atomic<bool> stop_{false};
    std::atomic<unsigned long> icon_{0};
    std::thread thread_;
};

} // namespace lorvent::testing
