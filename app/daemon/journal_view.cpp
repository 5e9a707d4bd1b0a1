#include "journal_view.h"

#include "app/main_frm.h"
#include "service_notifier.h"

#include <algorithm>

namespace lorvent {

void JournalLine(std::ostream& journal, const char* priority, const std::string& text) {
    journal << priority << text << std::endl;
}

TJournalView::TJournalView(std::ostream& journal, TServiceNotifier& notifier, TTimerView& logTimer,
                           TTimerView& blickTimer)
    : journal_(journal), notifier_(notifier), logTimer_(logTimer), blickTimer_(blickTimer),
      grid_(journal) {}

void TJournalView::SetComLblText(const std::string& text) {
    JournalLine(journal_, kJournalInfo, text);
}

void TJournalView::SetStatusLblText(const std::string& text) {
    JournalLine(journal_, text == kStatusSilent ? kJournalWarning : kJournalInfo, text);
    notifier_.Status(text);
}

void TJournalView::TJournalGrid::SetRowCount(int rows) {
    rows_ = std::max(rows, 1);
}

void TJournalView::TJournalGrid::SetCell(int column, int, const std::string& text) {
    if (column == 0)
        firstCell_ = text;
    else
        JournalLine(journal_, kJournalInfo, firstCell_ + " " + text);
}

void TJournalBoxes::ShowMessage(const std::string& text, const std::string&, TMessageIcon) {
    JournalLine(journal_, kJournalError, text);
    notifier_.Status(text);
}

} // namespace lorvent
