#pragma once

#include "app/frm_services.h"

#include <QLabel>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTableWidget>
#include <QTimer>
#include <QWidget>

namespace lorvent {

class TMainFrm;

class TQtTimer : public TTimerView {
public:
    void Start(int intervalMs) override { timer.start(intervalMs); }
    void Stop() override { timer.stop(); }
    bool Enabled() const override { return timer.isActive(); }

    QTimer timer;
};

class TQtGrid : public TStringGridView {
public:
    explicit TQtGrid(QTableWidget& table) : table_(table) {}
    int RowCount() const override { return table_.rowCount(); }
    void SetRowCount(int rows) override;
    void SetCell(int column, int row, const std::string& text) override;
    int Row() const override { return table_.currentRow(); }
    void SetRow(int row) override;

private:
    QTableWidget& table_;
};

// The main window with its components. It holds no rules of its own: every
// event goes to the TMainFrm attached to it, which changes the window through
// TMainFrmView. Messages posted from any thread arrive as QEvents of the same
// number on the GUI thread.
class TMainWindow : public QWidget, public TMainFrmView, public TMessagePoster {
    Q_OBJECT
public:
    TMainWindow();
    ~TMainWindow() override;

    // The window's behaviour; null detaches it (before it is destroyed).
    void Attach(TMainFrm* form);

    void SetComLblText(const std::string& text) override;
    void SetStatusLblText(const std::string& text) override;
    void SetPoslatEnter1Visible(bool visible) override;
    void SetPoslatEnter1Checked(bool checked) override;
    TStringGridView& LogGrid() override { return grid_; }
    TTimerView& LogTimer() override { return LogTimer_; }
    TTimerView& BlickTimer() override { return BlickTimer_; }
    bool TrayAvailable() const override;
    void HideToTray() override;
    void Restore() override;

    void Post(int message) override;

    // Components, named as the window's behaviour knows them.
    QSystemTrayIcon* TrayIcon1 = new QSystemTrayIcon(this);
    QLabel* ComLbl = new QLabel(this);
    QLabel* StatusLbl = new QLabel(this);
    QTableWidget* LogGridTable = new QTableWidget(this);
    QMenu* TrayPopup = new QMenu(this);
    QAction* Restore1 = nullptr;
    QAction* PoslatEnter1 = nullptr;
    // The tray's one 16 x 16 picture.
    const QPixmap TrayImgList;

protected:
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void BuildLabels();
    void BuildGrid();
    void BuildTray();
    void WireTimers();

    TMainFrm* form_ = nullptr;
    TQtGrid grid_{*LogGridTable};
    TQtTimer LogTimer_;
    TQtTimer BlickTimer_;
};

// Modal message boxes; never shown without a display.
class TQtMessageBoxes : public TMessageBoxes {
public:
    void ShowMessage(const std::string& text, const std::string& caption,
                     TMessageIcon icon) override;
};

} // namespace lorvent
