#pragma once

#include "app/frm_services.h"
#include "app/keyboard/keyboard.h"
#include "app/attendance/server_connection.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace lorvent::testing {

// One thing the keyboard or the clock was asked to do, in the order asked.
struct TKeyRecord {
    enum Kind { Key, Pause } kind;
    int vk = 0;      // Key
    int scan = 0;    // Key
    bool up = false; // Key
    int ms = 0;      // Pause

    bool operator==(const TKeyRecord&) const = default;
};

inline TKeyRecord Down(int vk, int scan) {
    return {TKeyRecord::Key, vk, scan, false, 0};
}
inline TKeyRecord Up(int vk, int scan) {
    return {TKeyRecord::Key, vk, scan, true, 0};
}
inline TKeyRecord PauseMs(int ms) {
    return {TKeyRecord::Pause, 0, 0, false, ms};
}

std::string Describe(const TKeyRecord& record);

// The Shift bit of a key-scan answer (VkKeyScanEx's numbering).
inline constexpr int kKeyScanShift = 0x100;

// Key events and pauses land in one journal, so a test sees their order.
// Strokes are planned as the Windows keyboard plans them, from the answers
// below: the key is the character itself, the low byte of its key scan
// rides as the scan code, and the key scan's Shift bit says whether Shift is
// held, turned round by Caps Lock on letter keys. Held keys and virtual keys
// carry their own scan codes.
class TRecordingKeyboard : public TKeyboard, public TAppClock {
public:
    std::string unavailable;
    // Key-scan answers per character; characters not listed give -1.
    std::map<char, int> keyScan;
    // Scan codes of virtual keys; keys not listed give 0.
    std::map<int, int> scanCodes;
    std::tm now{};
    std::vector<TKeyRecord> journal;
    // Strokes of characters asked for: each looks the layout up afresh.
    int layoutLookups = 0;
    std::function<void()> onKey;
    // Called with each pause before it is written down.
    std::function<void(int)> onPause;
    int defaultKeyDelayMs = 0;
    // Caps Lock as the usual layouts take it on letter keys: Shift then gives
    // the small letter, and the capital comes without it.
    bool capsLock = false;

    std::string Unavailable() override { return unavailable; }
    TStroke CharacterStroke(char c) override {
        ++layoutLookups;
        const auto it = keyScan.find(c);
        const int scan = it == keyScan.end() ? -1 : it->second;
        const bool scanned = (scan & kKeyScanShift) != 0;
        const bool letterKey = scan != -1 && c >= 'A' && c <= 'Z';
        return {.key = static_cast<unsigned char>(c),
                .scan = scan & 0xFF,
                .shift = capsLock && letterKey ? !scanned : scanned};
    }
    TStroke VirtualKeyStroke(std::uint8_t vk) override { return {.key = vk, .scan = ScanCode(vk)}; }
    void Strike(const TStroke& stroke) override {
        InStrokeOrder(
            stroke, [this](std::uint8_t vk, bool down) { Record(vk, ScanCode(vk), down); },
            [this, &stroke](bool down) { Record(stroke.key, stroke.scan, down); });
    }
    int DefaultKeyDelayMs() const override { return defaultKeyDelayMs; }
    std::tm Now() override { return now; }
    void Sleep(int milliseconds) override {
        if (onPause)
            onPause(milliseconds);
        journal.push_back(PauseMs(milliseconds));
    }

private:
    int ScanCode(int vk) const {
        const auto it = scanCodes.find(vk);
        return it == scanCodes.end() ? 0 : it->second;
    }
    void Record(int vk, int scan, bool down) {
        journal.push_back({TKeyRecord::Key, vk, scan, !down, 0});
        if (onKey)
            onKey();
    }
};

// A US-English-like layout: digits unshifted, capitals with Shift, and the
// scan codes of a PC keyboard for the keys that carry them.
TRecordingKeyboard UsKeyboard();

class TFakeTimer : public TTimerView {
public:
    void Start(int intervalMs) override {
        enabled = true;
        interval = intervalMs;
        ++starts;
    }
    void Stop() override { enabled = false; }
    bool Enabled() const override { return enabled; }

    bool enabled = false;
    int interval = 0;
    int starts = 0;
};

class TFakeGrid : public TStringGridView {
public:
    int RowCount() const override { return static_cast<int>(cells.size()); }
    void SetRowCount(int rows) override { cells.resize(static_cast<std::size_t>(rows)); }
    void SetCell(int column, int row, const std::string& text) override {
        cells.at(static_cast<std::size_t>(row))[column] = text;
    }
    int Row() const override { return selected; }
    void SetRow(int row) override { selected = row; }

    std::vector<std::array<std::string, 2>> cells = std::vector<std::array<std::string, 2>>(1);
    int selected = 0;
};

class TFakeView : public TMainFrmView {
public:
    void SetComLblText(const std::string& text) override { comLbl = text; }
    void SetStatusLblText(const std::string& text) override {
        statusLbl = text;
        statusHistory.push_back(text);
    }
    void SetPoslatEnter1Visible(bool visible) override { poslatEnterVisible = visible; }
    void SetPoslatEnter1Checked(bool checked) override { poslatEnterChecked = checked; }
    TStringGridView& LogGrid() override { return grid; }
    TTimerView& LogTimer() override { return logTimer; }
    TTimerView& BlickTimer() override { return blickTimer; }
    bool TrayAvailable() const override { return trayAvailable; }
    void HideToTray() override { hiddenToTray = true; }
    void Restore() override {
        hiddenToTray = false;
        ++restores;
    }

    std::string comLbl = "ComLbl";
    std::string statusLbl = "StatusLbl";
    std::vector<std::string> statusHistory;
    bool poslatEnterVisible = false;
    bool poslatEnterChecked = false;
    TFakeGrid grid;
    TFakeTimer logTimer;
    TFakeTimer blickTimer;
    bool trayAvailable = true;
    bool hiddenToTray = false;
    int restores = 0;
};

// Collects posted messages; the protocol thread posts while the test thread reads.
class TFakePoster : public TMessagePoster {
public:
    void Post(int message) override {
        std::lock_guard guard(mutex_);
        posted_.push_back(message);
    }
    std::vector<int> Take() {
        std::lock_guard guard(mutex_);
        return std::exchange(posted_, {});
    }

private:
    std::mutex mutex_;
    std::vector<int> posted_;
};

struct TShownMessage {
    std::string text;
    std::string caption;
    TMessageIcon icon;
};

class TFakeMessageBoxes : public TMessageBoxes {
public:
    void ShowMessage(const std::string& text, const std::string& caption,
                     TMessageIcon icon) override {
        shown.push_back({text, caption, icon});
    }
    std::vector<TShownMessage> shown;
};

// A connection to the attendance server that answers from a script and keeps
// a journal of what it was asked: "connect", "disconnect", and each line sent.
class TScriptedConnection : public TServerConnection {
public:
    // The reply to each request line; a request with no reply left gets "".
    std::deque<std::string> replies;
    bool refuseConnect = false;
    // Called with each request line before it is answered; may throw to fail the write.
    std::function<void(const std::string&)> onRequest;
    std::vector<std::string> journal;

    void Connect() override {
        journal.push_back("connect");
        if (refuseConnect)
            throw std::runtime_error("connection refused");
        connected_ = true;
    }
    void WriteLine(std::string_view text) override {
        if (!connected_)
            throw std::runtime_error("not connected");
        journal.emplace_back(text);
        if (onRequest)
            onRequest(std::string(text));
    }
    std::string ReadLine() override {
        if (!connected_)
            throw std::runtime_error("not connected");
        if (replies.empty())
            return {};
        std::string reply = replies.front();
        replies.pop_front();
        return reply;
    }
    bool Connected() const override { return connected_; }
    void Disconnect() noexcept override {
        if (connected_)
            journal.push_back("disconnect");
        connected_ = false;
    }
    int Connects() const {
        return static_cast<int>(std::count(journal.begin(), journal.end(), "connect"));
    }

private:
    bool connected_ = false;
};

// Hands the window a connection that stays with the test, which decides
// what it reaches.
class TServerConnectionProxy : public TServerConnection {
public:
    explicit TServerConnectionProxy(std::function<TServerConnection&()> target)
        : target_(std::move(target)) {}
    void Connect() override { target_().Connect(); }
    void WriteLine(std::string_view text) override { target_().WriteLine(text); }
    std::string ReadLine() override { return target_().ReadLine(); }
    bool Connected() const override { return target_().Connected(); }
    void Disconnect() noexcept override { target_().Disconnect(); }

private:
    std::function<TServerConnection&()> target_;
};

} // namespace lorvent::testing
