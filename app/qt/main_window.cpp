#include "main_window.h"

#include "app/main_frm.h"
#include "app/startup/startup.h"
#include "icons.h"
#include "thread_handoff.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHeaderView>
#include <QMessageBox>
#include <QWindowStateChangeEvent>

namespace lorvent {

namespace {

constexpr int kRowHeight = 16;
constexpr int kColumnWidth = 102;

QString Text(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

} // namespace

// ---- LogGrid ----

void TQtGrid::SetRowCount(int rows) {
    table_.setRowCount(rows < 1 ? 1 : rows);
}

void TQtGrid::SetCell(int column, int row, const std::string& text) {
    QTableWidgetItem* item = table_.item(row, column);
    if (item == nullptr) {
        item = new QTableWidgetItem;
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        table_.setItem(row, column, item);
    }
    item->setText(Text(text));
}

void TQtGrid::SetRow(int row) {
    table_.setCurrentCell(row, 0);
    table_.scrollTo(table_.model()->index(row, 0));
}

// ---- The window ----

TMainWindow::TMainWindow() : TrayImgList(CardReaderPixmap(16)) {
    setObjectName("MainFrm");
    setWindowTitle(kWindowCaption);
    setWindowIcon(CardReaderIcon());
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setGeometry(130, 159, 223, 126);
    setFixedSize(223, 126);
    // The designed face first; narrow stand-ins where it is missing, so that
    // a time still fits its 102-pixel column.
    QFont font;
    font.setFamilies(
        {"MS Sans Serif", "Arial", "Liberation Sans", "DejaVu Sans Condensed", "DejaVu Sans"});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    setFont(font);
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);
    BuildLabels();
    BuildGrid();
    BuildTray();
    WireTimers();
}

TMainWindow::~TMainWindow() {
    TrayIcon1->hide();
}

void TMainWindow::Attach(TMainFrm* form) {
    form_ = form;
}

void TMainWindow::BuildLabels() {
    ComLbl->setObjectName("ComLbl");
    ComLbl->move(8, 8);
    ComLbl->setText("ComLbl");
    ComLbl->adjustSize();
    StatusLbl->setObjectName("StatusLbl");
    StatusLbl->move(144, 8);
    StatusLbl->setText("StatusLbl");
    StatusLbl->adjustSize();
}

void TMainWindow::BuildGrid() {
    QTableWidget& table = *LogGridTable;
    table.setObjectName("LogGrid");
    table.setGeometry(0, 32, 209, 89);
    table.setColumnCount(2);
    table.setRowCount(1);
    table.horizontalHeader()->hide();
    table.verticalHeader()->hide();
    table.verticalHeader()->setMinimumSectionSize(kRowHeight);
    table.verticalHeader()->setDefaultSectionSize(kRowHeight);
    table.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    for (int column = 0; column < 2; ++column)
        table.setColumnWidth(column, kColumnWidth);
    table.setShowGrid(true);
    table.setTextElideMode(Qt::ElideNone); // clipped like a plain string grid, no "..."
    table.setSelectionBehavior(QAbstractItemView::SelectRows);
    table.setSelectionMode(QAbstractItemView::SingleSelection);
    table.setEditTriggers(QAbstractItemView::NoEditTriggers);
    table.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    table.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    table.setCurrentCell(0, 0);
    table.setFocus();
}

void TMainWindow::BuildTray() {
    Restore1 = TrayPopup->addAction("Obnovit");
    Restore1->setObjectName("Restore1");
    TrayPopup->setDefaultAction(Restore1);
    QFont bold = Restore1->font();
    bold.setBold(true);
    Restore1->setFont(bold);
    PoslatEnter1 = TrayPopup->addAction("Posílat Enter");
    PoslatEnter1->setObjectName("PoslatEnter1");
    PoslatEnter1->setCheckable(true);
    PoslatEnter1->setChecked(true);
    PoslatEnter1->setVisible(false);
    PoslatEnter1->setToolTip("Číslo karty ukončit enterem");
    PoslatEnter1->setStatusTip("Číslo karty ukončit enterem");
    TrayPopup->setToolTipsVisible(true);
    TrayPopup->setObjectName("TrayPopup");

    connect(Restore1, &QAction::triggered, this, [this] {
        if (form_)
            form_->Restore1Click();
    });
    connect(PoslatEnter1, &QAction::triggered, this, [this] {
        if (form_)
            form_->PoslatEnter1Click();
    });
    connect(TrayIcon1, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::DoubleClick && form_)
                    form_->TrayIcon1DblClick();
            });
    TrayIcon1->setIcon(QIcon(TrayImgList));
    TrayIcon1->setContextMenu(TrayPopup);
    TrayIcon1->show();
}

void TMainWindow::WireTimers() {
    connect(&LogTimer_.timer, &QTimer::timeout, this, [this] {
        if (form_)
            form_->LogTimerTimer();
    });
    connect(&BlickTimer_.timer, &QTimer::timeout, this, [this] {
        if (form_)
            form_->BlickTimerTimer();
    });
}

void TMainWindow::SetComLblText(const std::string& text) {
    ComLbl->setText(Text(text));
    ComLbl->adjustSize();
}

void TMainWindow::SetStatusLblText(const std::string& text) {
    StatusLbl->setText(Text(text));
    StatusLbl->adjustSize();
}

void TMainWindow::SetPoslatEnter1Visible(bool visible) {
    PoslatEnter1->setVisible(visible);
}

void TMainWindow::SetPoslatEnter1Checked(bool checked) {
    PoslatEnter1->setChecked(checked);
}

bool TMainWindow::TrayAvailable() const {
    return QSystemTrayIcon::isSystemTrayAvailable() && TrayIcon1->isVisible();
}

// Hiding from inside the minimise notification confuses some window
// managers; it is done once control is back in the event loop.
void TMainWindow::HideToTray() {
    QTimer::singleShot(0, this, [this] { hide(); });
}

void TMainWindow::Restore() {
    showNormal();
    raise();
    activateWindow();
}

// Safe from any thread: Qt queues the event for the GUI thread.
void TMainWindow::Post(int message) {
    auto* event = new QEvent(static_cast<QEvent::Type>(message));
    MarkHandedOver(event);
    QCoreApplication::postEvent(this, event);
}

bool TMainWindow::event(QEvent* event) {
    MarkTakenOver(event);
    const int type = event->type();
    if (type == WM_PROTOCOL || type == WM_BLICK_START) {
        if (form_)
            form_->Dispatch(type);
        return true;
    }
    return QWidget::event(event);
}

void TMainWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized() && form_)
        form_->FormMinimized();
}

// ---- Message boxes ----

void TQtMessageBoxes::ShowMessage(const std::string& text, const std::string& caption,
                                  TMessageIcon icon) {
    QMessageBox box(icon == TMessageIcon::Error ? QMessageBox::Critical : QMessageBox::NoIcon,
                    Text(caption), Text(text), QMessageBox::Ok);
    box.setObjectName("StartupMessage");
    box.exec();
}

} // namespace lorvent
