// The Qt window and program with an engine on a scripted device, on Qt's
// off-screen platform.
#include "app/qt/icons.h"
#include "app/qt/main_window.h"
#include "app/qt/qt_program.h"
#include "app/startup/startup.h"
#include "frm_fixture.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QMessageBox>
#include <QScrollBar>

#include <thread>

namespace lorvent::testing {
namespace {

// Runs the event loop until `done` holds or `seconds` pass; generous, since
// only a missing event should make it fail.
template <typename Condition> bool WaitFor(Condition done, int seconds = 10) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > seconds * 1000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

TEST(QtWindow, ComponentsAreLaidOutAsDesigned) {
    TMainWindow window;
    EXPECT_EQ(window.windowTitle(), "Lorvent");
    EXPECT_EQ(window.size(), QSize(223, 126));
    EXPECT_EQ(window.minimumSize(), window.maximumSize()) << "fixed size";
    EXPECT_EQ(window.pos(), QPoint(130, 159));
    EXPECT_TRUE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(window.windowIcon().isNull());

    EXPECT_EQ(window.ComLbl->pos(), QPoint(8, 8));
    EXPECT_EQ(window.ComLbl->text(), "ComLbl");
    EXPECT_EQ(window.StatusLbl->pos(), QPoint(144, 8));

    const QTableWidget& grid = *window.LogGridTable;
    EXPECT_EQ(grid.geometry(), QRect(0, 32, 209, 89));
    EXPECT_EQ(grid.columnCount(), 2);
    EXPECT_EQ(grid.rowCount(), 1);
    EXPECT_EQ(grid.columnWidth(0), 102);
    EXPECT_EQ(grid.columnWidth(1), 102);
    EXPECT_EQ(grid.rowHeight(0), 16);
    EXPECT_TRUE(grid.horizontalHeader()->isHidden());
    EXPECT_TRUE(grid.verticalHeader()->isHidden());
    EXPECT_EQ(grid.selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(grid.verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(grid.horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_TRUE(grid.showGrid());

    const auto actions = window.TrayPopup->actions();
    ASSERT_EQ(actions.size(), 2);
    EXPECT_EQ(actions[0], window.Restore1);
    EXPECT_EQ(actions[0]->text(), "Obnovit");
    EXPECT_EQ(window.TrayPopup->defaultAction(), window.Restore1);
    EXPECT_TRUE(window.Restore1->font().bold());
    EXPECT_EQ(actions[1]->text(), "Posílat Enter");
    EXPECT_TRUE(actions[1]->isCheckable());
    EXPECT_TRUE(actions[1]->isChecked());
    EXPECT_FALSE(actions[1]->isVisible());
    EXPECT_EQ(actions[1]->toolTip(), "Číslo karty ukončit enterem");
    EXPECT_EQ(window.TrayIcon1->contextMenu(), window.TrayPopup);
    EXPECT_TRUE(window.TrayIcon1->toolTip().isEmpty());
}

TEST(QtWindow, OwnPicturesAreDrawn) {
    const QImage image = CardReaderPixmap(16).toImage();
    ASSERT_EQ(image.size(), QSize(16, 16));
    int opaque = 0;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            opaque += qAlpha(image.pixel(x, y)) > 128;
    EXPECT_GT(opaque, 40) << "a picture, not an empty square";
    EXPECT_LT(opaque, 256);
}

// The window with its behaviour attached, as the program runs it.
using QtFrmTest = TWindowFrmFixture<TMainWindow>;

TEST_F(QtFrmTest, StartUpFillsTheLabelsAndShowsTheEnterItem) {
    StartOn();
    EXPECT_EQ(window.ComLbl->text(), "Ravi v1.6-ZMK(d2xx)");
    EXPECT_EQ(window.StatusLbl->text(), "Inicializace");
    EXPECT_TRUE(window.PoslatEnter1->isVisible());
    EXPECT_TRUE(window.LogTimer().Enabled());
    EXPECT_FALSE(window.BlickTimer().Enabled());
}

TEST_F(QtFrmTest, AttendanceModeHidesTheEnterItem) {
    StartOn({"-net"});
    EXPECT_EQ(window.ComLbl->text(), "Kalvinor v1.6-ZMK(d2xx)");
    EXPECT_FALSE(window.PoslatEnter1->isVisible());
}

TEST_F(QtFrmTest, TriggeringTheEnterItemTogglesTheCheckMark) {
    StartOn();
    window.PoslatEnter1->trigger();
    EXPECT_FALSE(frm->SendsEnter());
    EXPECT_FALSE(window.PoslatEnter1->isChecked());
    window.PoslatEnter1->trigger();
    EXPECT_TRUE(frm->SendsEnter());
    EXPECT_TRUE(window.PoslatEnter1->isChecked());
}

// Records delivered on another thread reach the window through its event
// queue; the read signal's request starts the real timer, which ends the
// period a second later.
TEST_F(QtFrmTest, RecordsFromAnotherThreadReachTheWindowAndTheTimerRuns) {
    StartOn({"-prefix", "CF2"});
    std::thread protocolThread([&] {
        const std::uint8_t wake[] = {0xA0};
        const std::uint8_t read[] = {0x83, 0x81, 0xde, 0xad, 0xbe, 0xef};
        frm->ReaderDevice()->Deliver(wake, 1);
        frm->ReaderDevice()->Deliver(read, 6);
    });
    protocolThread.join();
    ASSERT_TRUE(WaitFor([&] { return window.LogGridTable->rowCount() == 2; }));
    EXPECT_EQ(window.StatusLbl->text(), "Ready");
    EXPECT_EQ(window.LogGridTable->item(1, 1)->text(), "deadbeef");
    EXPECT_EQ(window.LogGridTable->currentRow(), 1);
    EXPECT_EQ(window.LogGridTable->item(0, 0), nullptr) << "row 0 stays empty";

    EXPECT_EQ(DrainCommandsOnTheProtocolThread(),
              (std::vector<std::vector<std::uint8_t>>{kAck, kReadSignal}));
    ASSERT_TRUE(WaitFor([&] { return window.BlickTimer().Enabled(); }));
    ASSERT_TRUE(WaitFor([&] { return frm->Indicator() == kIndicatorIdleDue; }));
    EXPECT_FALSE(window.BlickTimer().Enabled());
}

TEST_F(QtFrmTest, MinimisingWithoutATrayLeavesTheWindowReachable) {
    StartOn();
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "off-screen has no tray";
    window.show();
    window.showMinimized();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_TRUE(window.isVisible());
}

// The program's start-up failures: the message box, its caption, no window,
// and a failure status.
class QtProgramTest : public FrmFixture {
protected:
    int Run(const std::vector<std::string>& arguments) {
        QApplication::instance()->installEventFilter(&showWatch);
        QTimer::singleShot(0, &showWatch, [this] { InspectBox(); });
        auto services = Services();
        TProgramPlatform platform{keyboard, defaultDataFile, services.makeProtocol,
                                  services.makeServerConnection};
        const int status = RunProgram(*qApp, arguments, platform);
        QApplication::instance()->removeEventFilter(&showWatch);
        return status;
    }
    void InspectBox() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            QTimer::singleShot(10, &showWatch, [this] { InspectBox(); });
            return;
        }
        boxText = box->text().toStdString();
        boxCaption = box->windowTitle().toStdString();
        boxIcon = box->icon();
        box->accept();
    }
    struct TShowWatch : QObject {
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() == QEvent::Show && watched->objectName() == "MainFrm")
                mainWindowShown = true;
            return false;
        }
        bool mainWindowShown = false;
    } showWatch;
    std::string boxText;
    std::string boxCaption;
    QMessageBox::Icon boxIcon = QMessageBox::Warning;
};

TEST_F(QtProgramTest, InvalidArgumentShowsChybaBoxAndNoWindow) {
    EXPECT_EQ(Run({"-x"}), kExitStartupFailed);
    EXPECT_EQ(boxText, "Neplatný argument '-x'");
    EXPECT_EQ(boxCaption, "Chyba");
    EXPECT_EQ(boxIcon, QMessageBox::NoIcon);
    EXPECT_FALSE(showWatch.mainWindowShown);
}

TEST_F(QtProgramTest, DataFileFailureShowsChybaBoxAndStopsTheEngine) {
    EXPECT_EQ(Run({"-net", "-db", temp.Path().string()}), kExitStartupFailed);
    EXPECT_EQ(boxText, "Nepodařilo se otevřít soubor '" + temp.Path().string() + "'");
    EXPECT_EQ(boxCaption, "Chyba");
    EXPECT_FALSE(showWatch.mainWindowShown);
}

TEST_F(QtProgramTest, LibraryFailureShowsTheErrorBoxWithTheApplicationTitle) {
    TProgramPlatform platform{
        keyboard,
        defaultDataFile,
        []() -> std::unique_ptr<TProtocol> { throw std::runtime_error("Out of handles"); },
        {}};
    QTimer::singleShot(0, &showWatch, [this] { InspectBox(); });
    EXPECT_EQ(RunProgram(*qApp, {}, platform), kExitStartupFailed);
    EXPECT_EQ(boxText, "Out of handles.");
    EXPECT_EQ(boxCaption, "Lorvent karet");
    EXPECT_EQ(boxIcon, QMessageBox::Critical);
}

// A good start shows the window and runs the loop until the window closes.
TEST_F(QtProgramTest, SuccessfulStartShowsTheWindowAndEndsWithStatusZero) {
    QTimer::singleShot(0, [] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (widget->objectName() == "MainFrm" && widget->isVisible())
                widget->close();
    });
    EXPECT_EQ(Run({}), 0);
    EXPECT_TRUE(showWatch.mainWindowShown);
    EXPECT_TRUE(boxText.empty());
}

} // namespace
} // namespace lorvent::testing
