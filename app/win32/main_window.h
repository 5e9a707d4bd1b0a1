#pragma once

#include "app/frm_services.h"
#include "string_grid.h"

#include <windows.h>

#include <memory>

namespace lorvent {

class TMainFrm;

// Window messages of the window's own that are not the behaviour's.
inline constexpr UINT WM_TRAY_ICON = WM_APP + 0x10;
// Command ids of the tray menu's items and the grid's control id.
inline constexpr UINT kRestore1Id = 1;
inline constexpr UINT kPoslatEnter1Id = 2;
inline constexpr int kLogGridId = 100;
inline constexpr UINT kTrayIconId = 1;

// A timer of the window, firing WM_TIMER with its id on the GUI thread.
class TWin32Timer : public TTimerView {
public:
    explicit TWin32Timer(UINT_PTR id) : id_(id) {}
    void Bind(HWND window) { window_ = window; }
    UINT_PTR Id() const { return id_; }

    void Start(int intervalMs) override;
    void Stop() override;
    bool Enabled() const override { return enabled_; }

private:
    HWND window_ = nullptr;
    UINT_PTR id_;
    bool enabled_ = false;
};

// The main window with its components. It holds no rules of its own: every
// event goes to the TMainFrm attached to it, which changes the window through
// TMainFrmView. The window is created hidden; Show() shows it at its place.
class TMainWindow : public TMainFrmView, public TMessagePoster {
public:
    TMainWindow();
    ~TMainWindow() override;
    TMainWindow(const TMainWindow&) = delete;
    TMainWindow& operator=(const TMainWindow&) = delete;

    // The window's behaviour; null detaches it (before it is destroyed).
    void Attach(TMainFrm* form) { form_ = form; }
    HWND Handle() const { return hwnd_; }
    void Show();

    void SetComLblText(const std::string& text) override;
    void SetStatusLblText(const std::string& text) override;
    void SetPoslatEnter1Visible(bool visible) override;
    void SetPoslatEnter1Checked(bool checked) override;
    TStringGridView& LogGrid() override { return *LogGridControl; }
    TTimerView& LogTimer() override { return LogTimer_; }
    TTimerView& BlickTimer() override { return BlickTimer_; }
    bool TrayAvailable() const override { return trayShown_; }
    void HideToTray() override;
    void Restore() override;

    // Safe from any thread: the message is queued for the GUI thread.
    void Post(int message) override;

    // The hidden owner that carries the application title ("Lorvent karet")
    // on the task-bar button.
    HWND Application = nullptr;
    // Components, named as the window's behaviour knows them.
    HICON TrayImgList = nullptr;
    HFONT Font = nullptr;
    HWND ComLbl = nullptr;
    HWND StatusLbl = nullptr;
    std::unique_ptr<TStringGrid> LogGridControl;
    HMENU TrayPopup = nullptr;

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void CreateFrame();
    HWND CreateLabel(const wchar_t* text, int x, int y);
    void SetLabelText(HWND label, const std::string& text);
    void BuildTrayPopup();
    void ShowTrayPopup();
    void OnTrayIcon(UINT mouseMessage);
    void OnTimer(UINT_PTR id);
    void OnCommand(UINT id);
    bool AddTrayIcon();
    void RemoveTrayIcon();

    HWND hwnd_ = nullptr;
    TMainFrm* form_ = nullptr;
    TWin32Timer LogTimer_{1};
    TWin32Timer BlickTimer_{2};
    UINT taskbarCreated_ = 0;
    bool trayShown_ = false;
    bool poslatEnter1Visible_ = false;
    bool poslatEnter1Checked_ = true;
};

// Modal message boxes, owned by no window: the main window is not shown while
// start-up reports its failures.
class TWin32MessageBoxes : public TMessageBoxes {
public:
    void ShowMessage(const std::string& text, const std::string& caption,
                     TMessageIcon icon) override;
};

} // namespace lorvent
