// The Win32 front-end in-process: the string grid, the window's components,
// its tray menu and minimise/restore, the timers, messages posted from
// another thread, the keyboard backend against a real EDIT control, and the
// program's start-up boxes. Runs under Wine on an X server.

#include "frm_fixture.h"

#include "app/keyboard/keyboard.h"
#include "app/keyboard/keyboard_win32.h"
#include "app/keyboard/typing.h"
#include "app/program.h"
#include "app/startup/startup.h"
#include "app/system_clock.h"
#include "app/win32/icons.h"
#include "app/win32/main_window.h"
#include "app/win32/text.h"
#include "app/win32/win32_program.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace lorvent::testing {
namespace {

// Handles the thread's messages until `done` holds or `ms` pass; generous,
// since only a missing message should make it fail.
template <typename Condition> bool PumpUntil(Condition done, DWORD ms = 10000) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > ms)
            return false;
        MSG message{};
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

void PumpFor(DWORD ms) {
    PumpUntil([] { return false; }, ms);
}

// Handles the thread's messages until WM_QUIT comes, which PumpUntil would
// take and drop with the rest.
bool PumpUntilQuit(DWORD ms = 10000) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start <= ms) {
        MSG message{};
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT)
                return true;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return false;
}

std::string WindowText(HWND window) {
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    return Utf8(text);
}

RECT RectInParent(HWND child) {
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(HWND_DESKTOP, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

std::string MenuItemText(HMENU menu, int position) {
    wchar_t text[128] = {};
    GetMenuStringW(menu, static_cast<UINT>(position), text, 128, MF_BYPOSITION);
    return Utf8(text);
}

UINT MenuItemState(HMENU menu, int position) {
    MENUITEMINFOW item{};
    item.cbSize = sizeof item;
    item.fMask = MIIM_STATE;
    GetMenuItemInfoW(menu, static_cast<UINT>(position), TRUE, &item);
    return item.fState;
}

// A plain top-level window to hold controls under test.
class THostWindow {
public:
    THostWindow() {
        hwnd = CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 400,
                               300, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    }
    ~THostWindow() { DestroyWindow(hwnd); }
    THostWindow(const THostWindow&) = delete;
    THostWindow& operator=(const THostWindow&) = delete;
    HWND hwnd = nullptr;
};

// ---- The string grid ----

class StringGridTest : public ::testing::Test {
protected:
    static constexpr RECT kBounds{0, 32, 209, 121};
    THostWindow host;
    TStringGrid grid{host.hwnd, 100, kBounds, nullptr};

    void AddRows(int rows) {
        grid.SetRowCount(rows);
        for (int row = 0; row < rows; ++row)
            grid.SetCell(1, row, "row " + std::to_string(row));
    }
    int RowTop(int row) const {
        return (row - grid.TopRow()) * (TStringGrid::kRowHeight + TStringGrid::kLineWidth);
    }
    // The grid as it paints itself, in a bitmap of its client size.
    std::vector<COLORREF> Painted(int& width, int& height) {
        RECT client{};
        GetClientRect(grid.Handle(), &client);
        width = client.right;
        height = client.bottom;
        HDC screen = GetDC(nullptr);
        HDC memory = CreateCompatibleDC(screen);
        HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
        HGDIOBJ old = SelectObject(memory, bitmap);
        SendMessageW(grid.Handle(), WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory), PRF_CLIENT);
        std::vector<COLORREF> pixels;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                pixels.push_back(GetPixel(memory, x, y));
        SelectObject(memory, old);
        DeleteObject(bitmap);
        DeleteDC(memory);
        ReleaseDC(nullptr, screen);
        return pixels;
    }
};

TEST_F(StringGridTest, StartsWithOneEmptySelectedRowAndNeverHasFewer) {
    EXPECT_EQ(grid.RowCount(), 1);
    EXPECT_EQ(grid.Row(), 0);
    EXPECT_EQ(grid.Cell(0, 0), "");
    const struct {
        int asked;
        int rows;
    } cases[] = {{3, 3}, {0, 1}, {-4, 1}, {7, 7}, {1, 1}};
    for (const auto& c : cases) {
        grid.SetRowCount(c.asked);
        EXPECT_EQ(grid.RowCount(), c.rows) << "asked for " << c.asked;
    }
}

TEST_F(StringGridTest, CellsKeepTheirTextAndIgnoreAddressesOutside) {
    grid.SetRowCount(2);
    grid.SetCell(0, 1, "08/12/2026 17:05");
    grid.SetCell(1, 1, "Číslo 012aff007b");
    EXPECT_EQ(grid.Cell(0, 1), "08/12/2026 17:05");
    EXPECT_EQ(grid.Cell(1, 1), "Číslo 012aff007b") << "UTF-8 in and out";
    const struct {
        int column;
        int row;
    } outside[] = {{2, 0}, {-1, 0}, {0, 2}, {0, -1}, {1, 1000}};
    for (const auto& cell : outside) {
        grid.SetCell(cell.column, cell.row, "x");
        EXPECT_EQ(grid.Cell(cell.column, cell.row), "");
    }
    EXPECT_EQ(grid.RowCount(), 2) << "writing outside does not grow the grid";
    EXPECT_EQ(grid.Cell(0, 0), "");
    EXPECT_EQ(grid.Cell(1, 1), "Číslo 012aff007b");
}

// 89 pixels less the sunken border show five 16-pixel rows with their lines.
TEST_F(StringGridTest, TheSelectedRowIsScrolledIntoView) {
    ASSERT_EQ(grid.VisibleRows(), 5);
    AddRows(20);
    grid.SetRow(12);
    EXPECT_EQ(grid.Row(), 12);
    EXPECT_EQ(grid.TopRow(), 8) << "scrolled down just far enough";
    grid.SetRow(10);
    EXPECT_EQ(grid.TopRow(), 8) << "already in view: no scrolling";
    grid.SetRow(3);
    EXPECT_EQ(grid.TopRow(), 3) << "scrolled up to it";
    grid.SetRow(20);
    grid.SetRow(-1);
    EXPECT_EQ(grid.Row(), 3) << "rows outside the grid are not selected";
}

TEST_F(StringGridTest, ShrinkingKeepsTheSelectionInside) {
    AddRows(10);
    grid.SetRow(9);
    grid.SetRowCount(4);
    EXPECT_EQ(grid.Row(), 3);
    EXPECT_LE(grid.TopRow(), 3);
    grid.SetRowCount(0);
    EXPECT_EQ(grid.Row(), 0);
    EXPECT_EQ(grid.TopRow(), 0);
}

TEST_F(StringGridTest, ClicksAndKeysSelectRows) {
    AddRows(12);
    const auto click = [&](int y) {
        SendMessageW(grid.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(10, y));
        SendMessageW(grid.Handle(), WM_LBUTTONUP, 0, MAKELPARAM(10, y));
    };
    click(RowTop(2) + 5);
    EXPECT_EQ(grid.Row(), 2);
    EXPECT_EQ(GetFocus(), grid.Handle()) << "a click gives the grid the focus";

    const struct {
        WPARAM key;
        int row;
    } keys[] = {{VK_DOWN, 3}, {VK_UP, 2}, {VK_END, 11}, {VK_DOWN, 11},
                {VK_HOME, 0}, {VK_UP, 0}, {VK_NEXT, 5}, {VK_PRIOR, 0}};
    for (const auto& k : keys) {
        SendMessageW(grid.Handle(), WM_KEYDOWN, k.key, 0);
        EXPECT_EQ(grid.Row(), k.row) << "after key " << k.key;
    }
    EXPECT_EQ(SendMessageW(grid.Handle(), WM_GETDLGCODE, 0, 0) & DLGC_WANTARROWS, DLGC_WANTARROWS);

    grid.SetRowCount(3);
    click(RowTop(2) + 30);
    EXPECT_EQ(grid.Row(), 0) << "a click below the last row selects nothing";
}

TEST_F(StringGridTest, PaintsTheSelectedRowHighlightedWithGridLines) {
    AddRows(8);
    grid.SetRow(7);
    int width = 0, height = 0;
    const std::vector<COLORREF> pixels = Painted(width, height);
    ASSERT_EQ(width, 205);
    ASSERT_EQ(height, 85);
    const auto at = [&](int x, int y) { return pixels[static_cast<std::size_t>(y * width + x)]; };
    const int selectedTop = RowTop(7);
    ASSERT_EQ(selectedTop, 4 * 17) << "the selected last row is the bottom one in view";
    EXPECT_EQ(at(200, selectedTop + 1), GetSysColor(COLOR_HIGHLIGHT)) << "whole row, column 1";
    EXPECT_EQ(at(1, selectedTop + 1), GetSysColor(COLOR_HIGHLIGHT)) << "whole row, column 0";
    EXPECT_EQ(at(200, 1), GetSysColor(COLOR_WINDOW)) << "other rows";
    EXPECT_EQ(at(102, 1), GetSysColor(COLOR_BTNFACE)) << "line between the columns";
    EXPECT_EQ(at(50, 16), GetSysColor(COLOR_BTNFACE)) << "line under a row";
    int textPixels = 0;
    for (int y = RowTop(3); y < RowTop(3) + 16; ++y)
        for (int x = 103; x < 205; ++x)
            textPixels += at(x, y) == GetSysColor(COLOR_WINDOWTEXT);
    EXPECT_GT(textPixels, 10) << "the text of a cell is drawn";

    // The window's own painting of every grid state we can make.
    for (int rows : {1, 5, 6, 40}) {
        AddRows(rows);
        grid.SetRow(rows - 1);
        RedrawWindow(grid.Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    }
    EXPECT_TRUE(ValidateRect(grid.Handle(), nullptr));
}

// ---- The window and its behaviour ----

class Win32FrmTest : public TWindowFrmFixture<TMainWindow> {
protected:
    TStringGrid& Grid() { return *window.LogGridControl; }
    void Deliver(std::vector<std::uint8_t> record) {
        frm->ReaderDevice()->Deliver(record.data(), static_cast<int>(record.size()));
    }
    void CardReadOnWindow(std::vector<std::uint8_t> number) {
        const int rows = Grid().RowCount();
        std::vector<std::uint8_t> record = {0x83, 0x81};
        record.insert(record.end(), number.begin(), number.end());
        Deliver(record);
        ASSERT_TRUE(PumpUntil([&] { return Grid().RowCount() == rows + 1; }));
    }
};

TEST(Win32Window, ComponentsAreLaidOutAsDesigned) {
    TMainWindow window;
    HWND frame = window.Handle();
    EXPECT_EQ(WindowText(frame), "Lorvent");
    EXPECT_FALSE(IsWindowVisible(frame)) << "created hidden";
    RECT client{};
    GetClientRect(frame, &client);
    EXPECT_EQ(client.right, 223);
    EXPECT_EQ(client.bottom, 126);
    RECT outer{};
    GetWindowRect(frame, &outer);
    EXPECT_EQ(outer.left, 130);
    EXPECT_EQ(outer.top, 159);
    const LONG_PTR style = GetWindowLongPtrW(frame, GWL_STYLE);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_FALSE(style & WS_THICKFRAME) << "not resizable";
    EXPECT_NE(SendMessageW(frame, WM_GETICON, ICON_SMALL, 0), 0);
    EXPECT_EQ(GetClassLongPtrW(frame, GCLP_HBRBACKGROUND),
              static_cast<ULONG_PTR>(COLOR_BTNFACE + 1));

    EXPECT_EQ(WindowText(window.ComLbl), "ComLbl");
    EXPECT_EQ(RectInParent(window.ComLbl).left, 8);
    EXPECT_EQ(RectInParent(window.ComLbl).top, 8);
    EXPECT_EQ(WindowText(window.StatusLbl), "StatusLbl");
    EXPECT_EQ(RectInParent(window.StatusLbl).left, 144);
    EXPECT_EQ(RectInParent(window.StatusLbl).top, 8);
    EXPECT_EQ(SendMessageW(window.ComLbl, WM_GETFONT, 0, 0),
              reinterpret_cast<LRESULT>(window.Font));
    LOGFONTW font{};
    GetObjectW(window.Font, sizeof font, &font);
    EXPECT_EQ(font.lfHeight, -11);
    EXPECT_STREQ(font.lfFaceName, L"MS Sans Serif");

    const RECT grid = RectInParent(window.LogGridControl->Handle());
    EXPECT_EQ(grid.left, 0);
    EXPECT_EQ(grid.top, 32);
    EXPECT_EQ(grid.right - grid.left, 209);
    EXPECT_EQ(grid.bottom - grid.top, 89);
    EXPECT_FALSE(GetWindowLongPtrW(window.LogGridControl->Handle(), GWL_STYLE) &
                 (WS_VSCROLL | WS_HSCROLL));

    ASSERT_EQ(GetMenuItemCount(window.TrayPopup), 1) << "Posílat Enter starts hidden";
    EXPECT_EQ(MenuItemText(window.TrayPopup, 0), "Obnovit");
    EXPECT_EQ(GetMenuDefaultItem(window.TrayPopup, FALSE, 0), kRestore1Id);
    EXPECT_TRUE(window.TrayAvailable()) << "Wine's tray took the icon";
}

TEST(Win32Window, OwnPictureIsDrawn) {
    const auto pixels = CardReaderPixels();
    int opaque = 0;
    for (std::uint32_t pixel : pixels)
        opaque += (pixel >> 24) > 128;
    EXPECT_GT(opaque, 40) << "a picture, not an empty square";
    EXPECT_LT(opaque, 256);
    HICON icon = CardReaderIcon();
    ASSERT_NE(icon, nullptr);
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP colour{};
    GetObjectW(info.hbmColor, sizeof colour, &colour);
    EXPECT_EQ(colour.bmWidth, 16);
    EXPECT_EQ(colour.bmHeight, 16);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
}

TEST_F(Win32FrmTest, StartUpFillsTheLabelsAndTheTrayMenu) {
    StartOn();
    EXPECT_EQ(WindowText(window.ComLbl), "Ravi v1.6-ZMK(d2xx)");
    EXPECT_EQ(WindowText(window.StatusLbl), "Inicializace");
    RECT label{};
    GetClientRect(window.ComLbl, &label);
    EXPECT_GT(label.right, 60) << "the label grows with its text";
    ASSERT_EQ(GetMenuItemCount(window.TrayPopup), 2);
    EXPECT_EQ(MenuItemText(window.TrayPopup, 1), "Posílat Enter");
    EXPECT_TRUE(MenuItemState(window.TrayPopup, 1) & MFS_CHECKED);
    EXPECT_EQ(GetMenuDefaultItem(window.TrayPopup, FALSE, 0), kRestore1Id);
    EXPECT_TRUE(window.LogTimer().Enabled());
    EXPECT_FALSE(window.BlickTimer().Enabled());
}

TEST_F(Win32FrmTest, AttendanceModeLeavesTheEnterItemOut) {
    StartOn({"-net"});
    EXPECT_EQ(WindowText(window.ComLbl), "Kalvinor v1.6-ZMK(d2xx)");
    EXPECT_EQ(GetMenuItemCount(window.TrayPopup), 1);
}

TEST_F(Win32FrmTest, ChoosingTheMenuItemsReachesTheirHandlers) {
    StartOn();
    SendMessageW(window.Handle(), WM_COMMAND, kPoslatEnter1Id, 0);
    EXPECT_FALSE(frm->SendsEnter());
    EXPECT_FALSE(MenuItemState(window.TrayPopup, 1) & MFS_CHECKED);
    SendMessageW(window.Handle(), WM_COMMAND, kPoslatEnter1Id, 0);
    EXPECT_TRUE(frm->SendsEnter());
    EXPECT_TRUE(MenuItemState(window.TrayPopup, 1) & MFS_CHECKED);

    SendMessageW(window.Handle(), WM_COMMAND, kRestore1Id, 0);
    EXPECT_TRUE(IsWindowVisible(window.Handle())) << "Obnovit shows the window";
    EXPECT_EQ(GetForegroundWindow(), window.Handle());
}

// Minimising hides the window (and so its task-bar button); a double click
// with any button brings it back; single clicks do nothing.
TEST_F(Win32FrmTest, MinimiseHidesToTheTrayAndDoubleClickRestores) {
    StartOn();
    window.Show();
    const auto trayMouse = [&](UINT message) {
        SendMessageW(window.Handle(), WM_TRAY_ICON, kTrayIconId, message);
    };
    for (UINT doubleClick : {WM_LBUTTONDBLCLK, WM_RBUTTONDBLCLK, WM_MBUTTONDBLCLK}) {
        ShowWindow(window.Handle(), SW_MINIMIZE);
        PumpFor(50);
        ASSERT_FALSE(IsWindowVisible(window.Handle())) << "hidden after minimising";
        for (UINT single : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_RBUTTONDOWN, WM_MOUSEMOVE})
            trayMouse(single);
        EXPECT_FALSE(IsWindowVisible(window.Handle())) << "a single click does nothing";
        trayMouse(doubleClick);
        PumpFor(50);
        EXPECT_TRUE(IsWindowVisible(window.Handle())) << "double click " << doubleClick;
        EXPECT_FALSE(IsIconic(window.Handle()));
        EXPECT_EQ(GetForegroundWindow(), window.Handle());
    }
}

BOOL CALLBACK NoteTaskBarWindow(HWND window, LPARAM titles) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    const bool ownProcess = process == GetCurrentProcessId();
    const bool toolWindow = (GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW) != 0;
    if (ownProcess && IsWindowVisible(window) && GetWindow(window, GW_OWNER) == nullptr &&
        !toolWindow)
        reinterpret_cast<std::vector<std::string>*>(titles)->push_back(WindowText(window));
    return TRUE;
}

// The titles of this process's task-bar buttons: Windows gives one to each
// shown top-level window that has no owner and is no tool window.
std::vector<std::string> TaskBarTitles() {
    std::vector<std::string> titles;
    EnumWindows(NoteTaskBarWindow, reinterpret_cast<LPARAM>(&titles));
    return titles;
}

// The button carries the application title, not the window's caption; it
// goes to the tray with the window and comes back with it, and minimising
// or closing from it reaches the window.
TEST_F(Win32FrmTest, TheTaskBarButtonCarriesTheApplicationTitle) {
    using Titles = std::vector<std::string>;
    StartOn();
    EXPECT_EQ(TaskBarTitles(), Titles{}) << "nothing shows before the window does";
    window.Show();
    PumpFor(50);
    EXPECT_EQ(TaskBarTitles(), Titles{"Lorvent karet"});
    EXPECT_EQ(WindowText(window.Handle()), "Lorvent");
    EXPECT_EQ(GetWindow(window.Handle(), GW_OWNER), window.Application);

    ShowWindow(window.Handle(), SW_MINIMIZE);
    PumpFor(50);
    EXPECT_EQ(TaskBarTitles(), Titles{}) << "hidden to the tray";
    SendMessageW(window.Handle(), WM_TRAY_ICON, kTrayIconId, WM_LBUTTONDBLCLK);
    PumpFor(50);
    EXPECT_EQ(TaskBarTitles(), Titles{"Lorvent karet"});

    SendMessageW(window.Application, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    PumpFor(50);
    EXPECT_FALSE(IsWindowVisible(window.Handle())) << "the button's minimise hides to the tray";
    window.Restore();
    PumpFor(50);
    SendMessageW(window.Application, WM_CLOSE, 0, 0);
    EXPECT_TRUE(PumpUntilQuit()) << "the button's Close closes the window";
}

// What the timer inside the tray menu's loop saw of the menu.
struct TMenuProbe {
    int shownItems = -1;
    bool ownerInFront = false;
} menuProbe;

// A timer procedure (a named one: on 32-bit Windows it must be stdcall).
void CALLBACK ProbeOpenMenu(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    HWND popup = FindWindowW(L"#32768", nullptr);
    if (popup != nullptr && IsWindowVisible(popup)) {
        auto menu = reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0));
        menuProbe.shownItems = GetMenuItemCount(menu);
    } else {
        menuProbe.shownItems = 0;
    }
    menuProbe.ownerInFront = GetForegroundWindow() == FindWindowW(L"LorventMainFrm", nullptr);
    EndMenu();
}

// The right button's release opens the menu at the cursor; a timer running
// inside the menu's own loop looks at it and closes it.
TEST_F(Win32FrmTest, RightButtonReleaseOpensTheTrayMenu) {
    StartOn();
    menuProbe = {};
    const UINT_PTR probe = SetTimer(nullptr, 0, 200, ProbeOpenMenu);
    ASSERT_NE(probe, 0u);
    SendMessageW(window.Handle(), WM_TRAY_ICON, kTrayIconId, WM_RBUTTONUP);
    EXPECT_EQ(menuProbe.shownItems, 2) << "Obnovit and Posílat Enter";
    EXPECT_TRUE(menuProbe.ownerInFront) << "the window is brought to the foreground for the menu";
}

TEST_F(Win32FrmTest, TrayIconLeavesAtSessionEndAndReturnsWithANewTaskbar) {
    StartOn();
    const auto iconPresent = [&] {
        NOTIFYICONDATAW icon{};
        icon.cbSize = sizeof icon;
        icon.hWnd = window.Handle();
        icon.uID = kTrayIconId;
        icon.uFlags = NIF_ICON;
        icon.hIcon = window.TrayImgList;
        return Shell_NotifyIconW(NIM_MODIFY, &icon) != FALSE;
    };
    ASSERT_TRUE(iconPresent());
    SendMessageW(window.Handle(), WM_ENDSESSION, TRUE, 0);
    EXPECT_FALSE(iconPresent());
    EXPECT_FALSE(window.TrayAvailable());
    SendMessageW(window.Handle(), RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    EXPECT_TRUE(iconPresent());
    EXPECT_TRUE(window.TrayAvailable());
}

// Without a tray the window must stay reachable: minimising leaves it visible.
TEST_F(Win32FrmTest, WithoutATrayIconMinimisingDoesNotHide) {
    StartOn();
    window.Show();
    SendMessageW(window.Handle(), WM_ENDSESSION, TRUE, 0);
    ShowWindow(window.Handle(), SW_MINIMIZE);
    PumpFor(50);
    EXPECT_TRUE(IsWindowVisible(window.Handle()));
    EXPECT_TRUE(IsIconic(window.Handle()));
}

// Records delivered on another thread reach the window through its message
// queue and are handled on the GUI thread, which hands the number to the
// typing thread rather than wait for its keys; the read signal's request
// starts the real BlickTimer there, which ends the period a second later.
TEST_F(Win32FrmTest, PostedRecordsAreHandledOnTheGuiThreadAndTheTimerRuns) {
    StartOn();
    const std::thread::id guiThread = std::this_thread::get_id();
    std::vector<std::thread::id> typingThreads;
    keyboard.onKey = [&] { typingThreads.push_back(std::this_thread::get_id()); };
    std::thread protocolThread([&] {
        Deliver({0xA0});
        Deliver({0x83, 0x81, 0xde, 0xad, 0xbe, 0xef});
    });
    protocolThread.join();
    ASSERT_TRUE(PumpUntil([&] { return Grid().RowCount() == 2; }));
    EXPECT_EQ(WindowText(window.StatusLbl), "Ready");
    EXPECT_EQ(Grid().Cell(1, 1), "deadbeef");
    EXPECT_EQ(Grid().Row(), 1);
    EXPECT_EQ(Grid().Cell(1, 0), "") << "row 0 stays empty";
    ASSERT_TRUE(frm->WaitUntilTyped(std::chrono::seconds(10)));
    ASSERT_FALSE(typingThreads.empty());
    for (const auto& id : typingThreads)
        EXPECT_NE(id, guiThread);

    EXPECT_EQ(DrainCommandsOnTheProtocolThread(),
              (std::vector<std::vector<std::uint8_t>>{kAck, kReadSignal}));
    ASSERT_TRUE(PumpUntil([&] { return window.BlickTimer().Enabled(); }));
    const DWORD started = GetTickCount();
    ASSERT_TRUE(PumpUntil([&] { return frm->Indicator() == kIndicatorIdleDue; }));
    EXPECT_GE(GetTickCount() - started, 900u) << "one second of read signal";
    EXPECT_FALSE(window.BlickTimer().Enabled()) << "one-shot";
}

TEST_F(Win32FrmTest, TheSelectionFollowsNewRowsOnlyFromTheLastRow) {
    StartOn();
    CardReadOnWindow({0x00, 0x00, 0x00, 0x01});
    CardReadOnWindow({0x00, 0x00, 0x00, 0x02});
    EXPECT_EQ(Grid().Row(), 2);
    Grid().SetRow(1); // the user picks an older row
    CardReadOnWindow({0x00, 0x00, 0x00, 0x03});
    EXPECT_EQ(Grid().Row(), 1);
    EXPECT_EQ(Grid().Cell(1, 3), "00000003");
    Grid().SetRow(3);
    for (std::uint8_t n = 4; n <= 9; ++n)
        CardReadOnWindow({0x00, 0x00, 0x00, n});
    EXPECT_EQ(Grid().Row(), 9);
    EXPECT_EQ(Grid().TopRow(), 5) << "the new row is scrolled into view";
}

// LogTimer's WM_TIMER reaches the upload: a record read in attendance mode
// goes to the server on the next tick.
TEST_F(Win32FrmTest, LogTimerTicksUpload) {
    StartOn({"-net"});
    server.replies = {"OK"};
    window.LogTimer().Start(100);
    CardReadOnWindow({0x12, 0x34, 0x56, 0x78});
    ASSERT_TRUE(PumpUntil([&] { return server.journal.size() >= 2; }));
    EXPECT_EQ(server.journal[0], "connect");
    EXPECT_NE(server.journal[1].find(" 12345678"), std::string::npos) << server.journal[1];
    EXPECT_TRUE(window.LogTimer().Enabled()) << "it keeps ticking";
    window.LogTimer().Stop();
    EXPECT_FALSE(window.LogTimer().Enabled());
}

// Windows may end the process once WM_ENDSESSION returns: the records not
// yet confirmed are in the data file by then. A cancelled end writes nothing.
TEST_F(Win32FrmTest, RecordsReachTheDataFileWhenTheSessionEnds) {
    const std::filesystem::path dataFile = temp.Path() / "kalvinor.db";
    StartOn({"-net", "-db", dataFile.string()});
    CardReadOnWindow({0x12, 0x34, 0x56, 0x78});
    const auto fileBytes = [&] {
        std::ifstream file(dataFile, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    };
    SendMessageW(window.Handle(), WM_ENDSESSION, FALSE, 0);
    EXPECT_EQ(fileBytes(), "");
    SendMessageW(window.Handle(), WM_ENDSESSION, TRUE, 0);
    const std::string bytes = fileBytes();
    EXPECT_EQ(bytes.size(), std::string("08/12/2026-20:15 12345678\r\n").size()) << bytes;
    EXPECT_NE(bytes.find(" 12345678\r\n"), std::string::npos) << bytes;
    EXPECT_TRUE(server.journal.empty()) << "the end of the session does not wait on the server";
}

TEST_F(Win32FrmTest, StoppedTimerDoesNotFire) {
    StartOn();
    // The read signal handed out: the window then starts BlickTimer, which
    // this test stops to run it by hand.
    CardReadOnWindow({0x12, 0x34, 0x56, 0x78});
    DrainCommands();
    PumpUntil([&] { return window.BlickTimer().Enabled(); });
    window.BlickTimer().Stop();
    ASSERT_EQ(frm->Indicator(), kIndicatorReadShown);
    window.BlickTimer().Start(50);
    window.BlickTimer().Stop();
    PumpFor(300);
    EXPECT_EQ(frm->Indicator(), kIndicatorReadShown);
    window.BlickTimer().Start(50);
    ASSERT_TRUE(PumpUntil([&] { return !window.BlickTimer().Enabled(); }));
    EXPECT_EQ(frm->Indicator(), kIndicatorIdleDue);
}

// ---- Keyboard backend ----

// A window of the test's own with a focused multi-line EDIT control.
class KeyboardTest : public ::testing::Test {
protected:
    KeyboardTest() {
        SetForegroundWindow(host.hwnd);
        edit =
            CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_WANTRETURN,
                            0, 0, 300, 100, host.hwnd, nullptr, GetModuleHandleW(nullptr), nullptr);
        SetFocus(edit);
        PumpFor(50);
    }
    std::string Typed() {
        wchar_t text[256] = {};
        SendMessageW(edit, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text));
        return Utf8(text);
    }
    THostWindow host;
    HWND edit = nullptr;
    std::unique_ptr<TKeyboard> keyboard = MakePlatformKeyboard();
    TSystemClock clock;
};

TEST_F(KeyboardTest, CardNumbersArriveUpperCaseInTheFocusedWindow) {
    ASSERT_EQ(GetForegroundWindow(), host.hwnd);
    ASSERT_EQ(GetFocus(), edit);
    EXPECT_EQ(keyboard->Unavailable(), "");
    const struct {
        std::string number;
        bool enter;
        std::string arrives;
    } cases[] = {
        {"0a", false, "0A"},
        {"012aff007b", true, "012AFF007B\r\n"},
        {"deadbeef", false, "DEADBEEF"},
        {"0123456789abcdef", true, "0123456789ABCDEF\r\n"},
    };
    for (const auto& c : cases) {
        SetWindowTextW(edit, L"");
        TypeCardNumber(*keyboard, clock, {0, 0, c.enter}, c.number);
        ASSERT_TRUE(PumpUntil([&] { return Typed().size() >= c.arrives.size(); }, 5000))
            << c.number << " gave only " << Typed();
        PumpFor(50);
        EXPECT_EQ(Typed(), c.arrives);
        EXPECT_FALSE(GetKeyState(VK_SHIFT) & 0x8000) << "Shift released after " << c.number;
    }
}

// Presses and releases Caps Lock as the user would, until it is `on`.
bool SetCapsLock(bool on) {
    for (int press = 0; press < 2 && ((GetKeyState(VK_CAPITAL) & 1) != 0) != on; ++press) {
        const BYTE scan = static_cast<BYTE>(MapVirtualKeyW(VK_CAPITAL, MAPVK_VK_TO_VSC));
        keybd_event(VK_CAPITAL, scan, 0, 0);
        keybd_event(VK_CAPITAL, scan, KEYEVENTF_KEYUP, 0);
        PumpUntil([&] { return ((GetKeyState(VK_CAPITAL) & 1) != 0) == on; }, 2000);
    }
    return ((GetKeyState(VK_CAPITAL) & 1) != 0) == on;
}

// With Caps Lock on, Shift would turn the letters small: the number arrives
// as read all the same, and Caps Lock is still on afterwards.
TEST_F(KeyboardTest, CapsLockOnStillGivesTheNumberAsRead) {
    ASSERT_TRUE(SetCapsLock(true));
    for (const char* number : {"abcdef1290", "0123456789abcdef"}) {
        SetWindowTextW(edit, L"");
        TypeCardNumber(*keyboard, clock, {0, 0, false}, number);
        std::string expected = number;
        for (char& c : expected)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        PumpUntil([&] { return Typed().size() >= expected.size(); }, 5000);
        PumpFor(50);
        EXPECT_EQ(Typed(), expected);
    }
    EXPECT_TRUE(GetKeyState(VK_CAPITAL) & 1) << "typing changed Caps Lock";
    EXPECT_TRUE(SetCapsLock(false));
}

// The layout is that of the window in front, here this thread's.
TEST_F(KeyboardTest, LooksKeysUpInTheForegroundLayout) {
    TUser32Keys user32;
    EXPECT_EQ(user32.ForegroundLayout(), GetKeyboardLayout(0));
    EXPECT_TRUE(keyboard->CharacterStroke('A').shift);
    EXPECT_EQ(keyboard->CharacterStroke('A').scan, 'A') << "the low byte of the key scan";
    EXPECT_FALSE(keyboard->CharacterStroke('0').shift);
    EXPECT_EQ(user32.MapVirtualKeyA(kVkShift, MAPVK_VK_TO_VSC),
              MapVirtualKeyW(VK_SHIFT, MAPVK_VK_TO_VSC));
    EXPECT_NE(user32.MapVirtualKeyA(kVkReturn, MAPVK_VK_TO_VSC), 0u)
        << "a virtual key's scan code, not its character";
}

// ---- The program ----

// What a thread watching the screen saw of the start-up box, which it answers.
struct TBoxSeen {
    bool found = false;
    std::string text;
    bool icon = false;
    bool mainWindowShown = false;
};

BOOL CALLBACK NoteVisibleIcon(HWND child, LPARAM found) {
    wchar_t name[32] = {};
    GetClassNameW(child, name, 32);
    const bool isIcon = lstrcmpiW(name, L"Static") == 0 &&
                        (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
    if (isIcon && IsWindowVisible(child) && SendMessageW(child, STM_GETICON, 0, 0) != 0)
        *reinterpret_cast<bool*>(found) = true;
    return TRUE;
}

bool HasVisibleIcon(HWND box) {
    bool icon = false;
    EnumChildWindows(box, NoteVisibleIcon, reinterpret_cast<LPARAM>(&icon));
    return icon;
}

std::thread AnswerBox(const std::string& caption, TBoxSeen& seen) {
    return std::thread([caption, &seen] {
        for (int i = 0; i < 400 && !seen.found; ++i) {
            HWND box = FindWindowW(L"#32770", Utf16(caption).c_str());
            if (box == nullptr) {
                Sleep(25);
                continue;
            }
            Sleep(100); // let the box finish its set-up
            wchar_t text[512] = {};
            GetDlgItemTextW(box, 0xFFFF, text, 512);
            seen.text = Utf8(text);
            seen.icon = HasVisibleIcon(box);
            HWND frame = FindWindowW(L"LorventMainFrm", nullptr);
            seen.mainWindowShown = frame != nullptr && IsWindowVisible(frame);
            seen.found = true;
            PostMessageW(box, WM_COMMAND, IDOK, 0);
        }
    });
}

class Win32ProgramTest : public FrmFixture {
protected:
    int Run(const std::vector<std::string>& arguments) {
        auto services = Services();
        TProgramPlatform platform{keyboard, defaultDataFile, services.makeProtocol,
                                  services.makeServerConnection};
        return RunProgram(arguments, platform);
    }
};

TEST_F(Win32ProgramTest, OwnStartUpFailuresShowAChybaBoxWithoutIconAndNoWindow) {
    const struct {
        std::vector<std::string> arguments;
        std::string text;
    } cases[] = {
        {{"-x"}, "Neplatný argument '-x'"},
        {{"-prefix", "F25"}, "Neplatný prefix 'F25'"},
        {{"-net", "-db", temp.Path().string()},
         "Nepodařilo se otevřít soubor '" + temp.Path().string() + "'"},
    };
    for (const auto& c : cases) {
        TBoxSeen seen;
        std::thread answer = AnswerBox("Chyba", seen);
        EXPECT_EQ(Run(c.arguments), kExitStartupFailed) << c.text;
        answer.join();
        ASSERT_TRUE(seen.found) << c.text;
        EXPECT_EQ(seen.text, c.text);
        EXPECT_FALSE(seen.icon) << c.text;
        EXPECT_FALSE(seen.mainWindowShown) << c.text;
        EXPECT_EQ(FindWindowW(L"LorventMainFrm", nullptr), nullptr) << "destroyed afterwards";
    }
}

TEST_F(Win32ProgramTest, LibraryFailureShowsTheErrorBoxWithTheApplicationTitle) {
    TProgramPlatform platform{
        keyboard,
        defaultDataFile,
        []() -> std::unique_ptr<TProtocol> { throw std::runtime_error("Out of handles"); },
        {}};
    TBoxSeen seen;
    std::thread answer = AnswerBox("Lorvent karet", seen);
    EXPECT_EQ(RunProgram({}, platform), kExitStartupFailed);
    answer.join();
    ASSERT_TRUE(seen.found);
    EXPECT_EQ(seen.text, "Out of handles.");
    EXPECT_TRUE(seen.icon) << "error icon";
    EXPECT_FALSE(seen.mainWindowShown);
}

// A good start shows the window at its place and runs the loop until the
// window is closed; the window's changes go to the trace file when asked for.
TEST_F(Win32ProgramTest, SuccessfulStartShowsTheWindowAndClosingEndsWithStatusZero) {
    const std::string tracePath = (temp.Path() / "trace.txt").string();
    _putenv_s("LORVENT_UI_TRACE", tracePath.c_str());
    std::atomic<bool> shown{false};
    std::atomic<int> left{0}, top{0};
    std::thread closer([&] {
        for (int i = 0; i < 400 && !shown; ++i) {
            HWND frame = FindWindowW(L"LorventMainFrm", nullptr);
            if (frame != nullptr && IsWindowVisible(frame)) {
                RECT outer{};
                GetWindowRect(frame, &outer);
                left = outer.left;
                top = outer.top;
                shown = true;
                PostMessageW(frame, WM_CLOSE, 0, 0);
            }
            Sleep(25);
        }
    });
    const int status = Run({});
    closer.join();
    _putenv_s("LORVENT_UI_TRACE", "");
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(shown);
    EXPECT_EQ(left, 130);
    EXPECT_EQ(top, 159);
    EXPECT_EQ(FindWindowW(L"LorventMainFrm", nullptr), nullptr) << "destroyed at the end";

    std::ifstream trace(tracePath);
    std::stringstream lines;
    lines << trace.rdbuf();
    EXPECT_NE(lines.str().find("ComLbl Ravi v1.6-ZMK(d2xx)\n"), std::string::npos) << lines.str();
    EXPECT_NE(lines.str().find("StatusLbl Inicializace\n"), std::string::npos);
    EXPECT_NE(lines.str().find("PoslatEnter1 visible\n"), std::string::npos);
}

TEST(ServerPort, OnlyWholeDecimalPortNumbersAreAccepted) {
    const struct {
        const char* text;
        std::optional<std::uint16_t> port;
    } cases[] = {
        {"11000", 11000},
        {"1", 1},
        {"65535", 65535},
        {"0", std::nullopt},
        {"65536", std::nullopt},
        {"", std::nullopt},
        {"-5", std::nullopt},
        {"+5", std::nullopt},
        {"80x", std::nullopt},
        {" 80", std::nullopt},
        {"99999999999", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParsePort(c.text), c.port) << '"' << c.text << '"';
}

} // namespace
} // namespace lorvent::testing
