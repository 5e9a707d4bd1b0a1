#pragma once

#include <ctime>
#include <string>

namespace lorvent {

// Posted by the reader object for every record it receives.
inline constexpr int WM_PROTOCOL = 32770;
// Carries the protocol thread's request to start BlickTimer over to the GUI
// thread, which owns the timer.
inline constexpr int WM_BLICK_START = 32771;

// Posts a message to the window's own queue. Called from any thread; returns
// at once and never waits for the GUI thread.
class TMessagePoster {
public:
    virtual ~TMessagePoster() = default;
    virtual void Post(int message) = 0;
};

// A GUI-thread timer of the window; its handler is wired by the front-end.
class TTimerView {
public:
    virtual ~TTimerView() = default;
    virtual void Start(int intervalMs) = 0;
    virtual void Stop() = 0;
    virtual bool Enabled() const = 0;
};

// A string grid: a row count that never drops below 1, cells addressed as
// (column, row) and one selected row.
class TStringGridView {
public:
    virtual ~TStringGridView() = default;
    virtual int RowCount() const = 0;
    virtual void SetRowCount(int rows) = 0;
    virtual void SetCell(int column, int row, const std::string& text) = 0;
    virtual int Row() const = 0;
    // Selects the row and scrolls it into view.
    virtual void SetRow(int row) = 0;
};

// The window's components as its behaviour uses them.
class TMainFrmView {
public:
    virtual ~TMainFrmView() = default;
    virtual void SetComLblText(const std::string& text) = 0;
    virtual void SetStatusLblText(const std::string& text) = 0;
    virtual void SetPoslatEnter1Visible(bool visible) = 0;
    virtual void SetPoslatEnter1Checked(bool checked) = 0;
    virtual TStringGridView& LogGrid() = 0;
    virtual TTimerView& LogTimer() = 0;
    virtual TTimerView& BlickTimer() = 0;
    // Whether the desktop shows the notification-area icon right now.
    virtual bool TrayAvailable() const = 0;
    // Hides the window and its task-bar button; the tray icon remains.
    virtual void HideToTray() = 0;
    // Shows the window and its task-bar button again, in front.
    virtual void Restore() = 0;
};

enum class TMessageIcon { None, Error };

// Modal message boxes of the GUI.
class TMessageBoxes {
public:
    virtual ~TMessageBoxes() = default;
    virtual void ShowMessage(const std::string& text, const std::string& caption,
                             TMessageIcon icon) = 0;
};

// Local time and sleeping as the window sees them.
class TAppClock {
public:
    virtual ~TAppClock() = default;
    virtual std::tm Now() = 0;
    virtual void Sleep(int milliseconds) = 0;
};

// The user's locale separators, for dates shown on screen.
struct TFormatSettings {
    std::string DateSeparator = "/";
    std::string TimeSeparator = ":";
};

} // namespace lorvent
