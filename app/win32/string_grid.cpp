#include "string_grid.h"

#include "text.h"

#include <algorithm>

namespace lorvent {

namespace {

const wchar_t* const kGridClass = L"LorventStringGrid";
constexpr int kCellPitchX = TStringGrid::kColumnWidth + TStringGrid::kLineWidth;
constexpr int kCellPitchY = TStringGrid::kRowHeight + TStringGrid::kLineWidth;
constexpr int kTextIndent = 2;

void RegisterGridClass(WNDPROC procedure) {
    static const ATOM atom = [procedure] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.style = CS_DBLCLKS;
        windowClass.lpfnWndProc = procedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.lpszClassName = kGridClass;
        return RegisterClassExW(&windowClass);
    }();
    (void)atom;
}

void FillSolid(HDC dc, const RECT& area, COLORREF colour) {
    SetBkColor(dc, colour);
    ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &area, nullptr, 0, nullptr);
}

} // namespace

TStringGrid::TStringGrid(HWND parent, int id, const RECT& bounds, HFONT font) : font_(font) {
    RegisterGridClass(&TStringGrid::WindowProc);
    hwnd_ = CreateWindowExW(
        WS_EX_CLIENTEDGE, kGridClass, L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP, bounds.left,
        bounds.top, bounds.right - bounds.left, bounds.bottom - bounds.top, parent,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), this);
}

TStringGrid::~TStringGrid() {
    if (hwnd_ != nullptr && IsWindow(hwnd_)) {
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
    }
}

void TStringGrid::SetRowCount(int rows) {
    cells_.resize(static_cast<std::size_t>(std::max(rows, 1)));
    row_ = std::min(row_, RowCount() - 1);
    top_ = std::min(top_, row_);
    Redraw();
}

void TStringGrid::SetCell(int column, int row, const std::string& text) {
    if (column < 0 || column >= kColumns || row < 0 || row >= RowCount())
        return;
    cells_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)] = Utf16(text);
    Redraw();
}

void TStringGrid::SetRow(int row) {
    if (row < 0 || row >= RowCount())
        return;
    row_ = row;
    KeepRowInView();
    Redraw();
}

std::string TStringGrid::Cell(int column, int row) const {
    if (column < 0 || column >= kColumns || row < 0 || row >= RowCount())
        return {};
    return Utf8(cells_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)]);
}

int TStringGrid::VisibleRows() const {
    RECT client{};
    GetClientRect(hwnd_, &client);
    return std::max(1, static_cast<int>(client.bottom - client.top) / kCellPitchY);
}

int TStringGrid::RowAt(int y) const {
    if (y < 0)
        return -1;
    const int row = top_ + y / kCellPitchY;
    return row < RowCount() ? row : -1;
}

void TStringGrid::KeepRowInView() {
    const int visible = VisibleRows();
    if (row_ < top_)
        top_ = row_;
    else if (row_ >= top_ + visible)
        top_ = row_ - visible + 1;
}

void TStringGrid::Redraw() {
    if (hwnd_ != nullptr)
        InvalidateRect(hwnd_, nullptr, FALSE);
}

void TStringGrid::Paint(HDC dc, const RECT& client) const {
    FillSolid(dc, client, GetSysColor(COLOR_WINDOW));
    HGDIOBJ oldFont = SelectObject(dc, font_ != nullptr ? font_ : GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);
    const COLORREF lineColour = GetSysColor(COLOR_BTNFACE);
    for (int row = top_, y = 0; row < RowCount() && y < client.bottom; ++row, y += kCellPitchY) {
        const bool selected = row == row_;
        for (int column = 0; column < kColumns; ++column) {
            const int x = column * kCellPitchX;
            RECT cell{x, y, x + kColumnWidth, y + kRowHeight};
            if (selected)
                FillSolid(dc, cell, GetSysColor(COLOR_HIGHLIGHT));
            SetTextColor(dc, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
            RECT text = cell;
            text.left += kTextIndent;
            const std::wstring& value =
                cells_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
            DrawTextW(dc, value.c_str(), static_cast<int>(value.size()), &text,
                      DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_LEFT);
            const RECT right{cell.right, y, cell.right + kLineWidth, y + kCellPitchY};
            FillSolid(dc, right, lineColour);
        }
        const RECT bottom{0, y + kRowHeight, kColumns * kCellPitchX, y + kCellPitchY};
        FillSolid(dc, bottom, lineColour);
    }
    SelectObject(dc, oldFont);
}

// Painted off screen first, so that a new row does not flicker.
void TStringGrid::PaintBuffered() {
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(hwnd_, &paint);
    RECT client{};
    GetClientRect(hwnd_, &client);
    HDC memory = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, std::max<LONG>(client.right, 1),
                                            std::max<LONG>(client.bottom, 1));
    HGDIOBJ old = SelectObject(memory, bitmap);
    Paint(memory, client);
    BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    EndPaint(hwnd_, &paint);
}

void TStringGrid::MoveSelection(WPARAM key) {
    const int last = RowCount() - 1;
    const int page = VisibleRows();
    switch (key) {
    case VK_UP:
        SetRow(std::max(row_ - 1, 0));
        break;
    case VK_DOWN:
        SetRow(std::min(row_ + 1, last));
        break;
    case VK_PRIOR:
        SetRow(std::max(row_ - page, 0));
        break;
    case VK_NEXT:
        SetRow(std::min(row_ + page, last));
        break;
    case VK_HOME:
        SetRow(0);
        break;
    case VK_END:
        SetRow(last);
        break;
    default:
        break;
    }
}

LRESULT CALLBACK TStringGrid::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        auto* grid = static_cast<TStringGrid*>(create->lpCreateParams);
        grid->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(grid));
    }
    auto* grid = reinterpret_cast<TStringGrid*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (grid == nullptr)
        return DefWindowProcW(hwnd, message, wParam, lParam);
    return grid->Handle(message, wParam, lParam);
}

LRESULT TStringGrid::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT:
        PaintBuffered();
        return 0;
    case WM_PRINTCLIENT: {
        RECT client{};
        GetClientRect(hwnd_, &client);
        Paint(reinterpret_cast<HDC>(wParam), client);
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;
    case WM_SETFONT:
        font_ = reinterpret_cast<HFONT>(wParam);
        if (LOWORD(lParam))
            Redraw();
        return 0;
    case WM_GETFONT:
        return reinterpret_cast<LRESULT>(font_);
    case WM_GETDLGCODE:
        return DLGC_WANTARROWS;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
        SetFocus(hwnd_);
        const int row = RowAt(static_cast<short>(HIWORD(lParam)));
        if (row >= 0)
            SetRow(row);
        return 0;
    }
    case WM_KEYDOWN:
        MoveSelection(wParam);
        return 0;
    default:
        return DefWindowProcW(hwnd_, message, wParam, lParam);
    }
}

} // namespace lorvent
