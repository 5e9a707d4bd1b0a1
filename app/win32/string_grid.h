#pragma once

#include "app/frm_services.h"

#include <windows.h>

#include <array>
#include <string>
#include <vector>

namespace lorvent {

// A small string grid control: two columns of text, rows of one height with
// grid lines between them, no fixed rows, no scroll bars. The selection is a
// whole row; a click or the arrow keys select, and the selected row is
// scrolled into view.
class TStringGrid : public TStringGridView {
public:
    static constexpr int kColumns = 2;
    static constexpr int kColumnWidth = 102;
    static constexpr int kRowHeight = 16;
    static constexpr int kLineWidth = 1;

    // Creates the control as a child of `parent`; `bounds` include its border.
    TStringGrid(HWND parent, int id, const RECT& bounds, HFONT font);
    ~TStringGrid() override;
    TStringGrid(const TStringGrid&) = delete;
    TStringGrid& operator=(const TStringGrid&) = delete;

    HWND Handle() const { return hwnd_; }

    int RowCount() const override { return static_cast<int>(cells_.size()); }
    void SetRowCount(int rows) override;
    // Cells outside the grid are ignored.
    void SetCell(int column, int row, const std::string& text) override;
    int Row() const override { return row_; }
    // A row outside the grid is ignored.
    void SetRow(int row) override;

    // The text of a cell, empty outside the grid.
    std::string Cell(int column, int row) const;
    // The first row shown.
    int TopRow() const { return top_; }
    // How many rows the client area shows whole (at least one).
    int VisibleRows() const;
    // The row under a client y coordinate, -1 below the last row.
    int RowAt(int y) const;
    // Draws the visible cells into `dc`, whose client area is `client`.
    void Paint(HDC dc, const RECT& client) const;

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void PaintBuffered();
    void MoveSelection(WPARAM key);
    void KeepRowInView();
    void Redraw();

    HWND hwnd_ = nullptr;
    HFONT font_ = nullptr;
    std::vector<std::array<std::wstring, kColumns>> cells_ =
        std::vector<std::array<std::wstring, kColumns>>(1);
    int row_ = 0;
    int top_ = 0;
};

} // namespace lorvent
