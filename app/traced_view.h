#pragma once

#include "frm_services.h"

#include <memory>
#include <ostream>

namespace lorvent {

// Passes every change of the window on and writes it as one line, so that a
// run without anyone watching the screen (a head-less demo, a test, a remote
// session) can tell what the window showed:
//   ComLbl <text> | StatusLbl <text> | LogGrid <column> <row> <text> |
//   LogGrid select <row> | PoslatEnter1 visible|hidden|checked|unchecked
class TTracedView : public TMainFrmView {
public:
    TTracedView(TMainFrmView& inner, std::ostream& trace);

    void SetComLblText(const std::string& text) override;
    void SetStatusLblText(const std::string& text) override;
    void SetPoslatEnter1Visible(bool visible) override;
    void SetPoslatEnter1Checked(bool checked) override;
    TStringGridView& LogGrid() override { return grid_; }
    TTimerView& LogTimer() override { return inner_.LogTimer(); }
    TTimerView& BlickTimer() override { return inner_.BlickTimer(); }
    bool TrayAvailable() const override { return inner_.TrayAvailable(); }
    void HideToTray() override;
    void Restore() override;

private:
    class TTracedGrid : public TStringGridView {
    public:
        TTracedGrid(TStringGridView& inner, std::ostream& trace) : inner_(inner), trace_(trace) {}
        int RowCount() const override { return inner_.RowCount(); }
        void SetRowCount(int rows) override { inner_.SetRowCount(rows); }
        void SetCell(int column, int row, const std::string& text) override;
        int Row() const override { return inner_.Row(); }
        void SetRow(int row) override;

    private:
        TStringGridView& inner_;
        std::ostream& trace_;
    };

    void Line(const std::string& text);

    TMainFrmView& inner_;
    std::ostream& trace_;
    TTracedGrid grid_;
};

} // namespace lorvent
