// What one row of LogGrid costs in memory: the window's own grid (the Qt
// front-end's TMainWindow, offscreen) given rows as a card read adds them,
// with the heap in use measured before and after. This is the growth per read
// that lorvent shows by design; program_bench measures the whole process.
//
//   grid_bench [rows]
#include "app/qt/main_window.h"

#include <QApplication>

#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    const int rows = argc > 1 ? std::atoi(argv[1]) : 100000;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    lorvent::TMainWindow window;
    window.show();
    lorvent::TStringGridView& grid = window.LogGrid();
    const auto heap = [] { return static_cast<double>(mallinfo2().uordblks); };
    const double before = heap();
    char number[16];
    for (int row = 1; row <= rows; ++row) {
        // As a read adds it: one more row, the time and the number, the
        // selection moved on.
        std::snprintf(number, sizeof number, "%08x", 0x20000000 + row);
        grid.SetRowCount(row + 1);
        grid.SetCell(0, row, "08/12/2026 17:44");
        grid.SetCell(1, row, number);
        grid.SetRow(row);
        if (row % 1000 == 0)
            QApplication::processEvents();
    }
    QApplication::processEvents();
    const double after = heap();
    std::printf("LogGrid: %d rows, heap in use %.1f MB more, %.0f bytes a row\n", rows,
                (after - before) / 1e6, (after - before) / rows);
    return 0;
}
