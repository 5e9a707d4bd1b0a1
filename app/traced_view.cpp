#include "traced_view.h"

namespace lorvent {

TTracedView::TTracedView(TMainFrmView& inner, std::ostream& trace)
    : inner_(inner), trace_(trace), grid_(inner.LogGrid(), trace) {}

void TTracedView::Line(const std::string& text) {
    trace_ << text << std::endl;
}

void TTracedView::SetComLblText(const std::string& text) {
    inner_.SetComLblText(text);
    Line("ComLbl " + text);
}

void TTracedView::SetStatusLblText(const std::string& text) {
    inner_.SetStatusLblText(text);
    Line("StatusLbl " + text);
}

void TTracedView::SetPoslatEnter1Visible(bool visible) {
    inner_.SetPoslatEnter1Visible(visible);
    Line(std::string("PoslatEnter1 ") + (visible ? "visible" : "hidden"));
}

void TTracedView::SetPoslatEnter1Checked(bool checked) {
    inner_.SetPoslatEnter1Checked(checked);
    Line(std::string("PoslatEnter1 ") + (checked ? "checked" : "unchecked"));
}

void TTracedView::HideToTray() {
    inner_.HideToTray();
    Line("Window hidden");
}

void TTracedView::Restore() {
    inner_.Restore();
    Line("Window restored");
}

void TTracedView::TTracedGrid::SetCell(int column, int row, const std::string& text) {
    inner_.SetCell(column, row, text);
    trace_ << "LogGrid " << column << ' ' << row << ' ' << text << std::endl;
}

void TTracedView::TTracedGrid::SetRow(int row) {
    inner_.SetRow(row);
    trace_ << "LogGrid select " << row << std::endl;
}

} // namespace lorvent
