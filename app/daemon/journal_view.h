#pragma once

#include "app/frm_services.h"

#include <ostream>
#include <string>

namespace lorvent {

class TServiceNotifier;

// The priority prefixes that the journal reads at the start of a line of
// standard error.
inline const char* const kJournalError = "<3>";
inline const char* const kJournalWarning = "<4>";
inline const char* const kJournalInfo = "<6>";

// Writes one line to the journal with its priority prefix.
void JournalLine(std::ostream& journal, const char* priority, const std::string& text);

// The window of the program without a display: whatever the window would
// show becomes one journal line (the version line, each status, each row of
// the grid as its two cells), and the status also goes to the service
// manager. A reader that stops answering is a warning; the rest is
// information. There is no tray and no menu to show or hide.
class TJournalView : public TMainFrmView {
public:
    TJournalView(std::ostream& journal, TServiceNotifier& notifier, TTimerView& logTimer,
                 TTimerView& blickTimer);

    void SetComLblText(const std::string& text) override;
    void SetStatusLblText(const std::string& text) override;
    void SetPoslatEnter1Visible(bool) override {}
    void SetPoslatEnter1Checked(bool) override {}
    TStringGridView& LogGrid() override { return grid_; }
    TTimerView& LogTimer() override { return logTimer_; }
    TTimerView& BlickTimer() override { return blickTimer_; }
    bool TrayAvailable() const override { return false; }
    void HideToTray() override {}
    void Restore() override {}

private:
    // Keeps no rows: a row's cells make one line once its last cell is set.
    class TJournalGrid : public TStringGridView {
    public:
        explicit TJournalGrid(std::ostream& journal) : journal_(journal) {}
        int RowCount() const override { return rows_; }
        void SetRowCount(int rows) override;
        void SetCell(int column, int row, const std::string& text) override;
        int Row() const override { return selected_; }
        void SetRow(int row) override { selected_ = row; }

    private:
        std::ostream& journal_;
        int rows_ = 1;
        int selected_ = 0;
        std::string firstCell_;
    };

    std::ostream& journal_;
    TServiceNotifier& notifier_;
    TTimerView& logTimer_;
    TTimerView& blickTimer_;
    TJournalGrid grid_;
};

// A start-up failure, which the window shows in a box, is an error line.
class TJournalBoxes : public TMessageBoxes {
public:
    TJournalBoxes(std::ostream& journal, TServiceNotifier& notifier)
        : journal_(journal), notifier_(notifier) {}
    void ShowMessage(const std::string& text, const std::string& caption,
                     TMessageIcon icon) override;

private:
    std::ostream& journal_;
    TServiceNotifier& notifier_;
};

} // namespace lorvent
