// What the window would show, as lorventd writes it for the journal: one
// line each with its priority, the status also to the service manager.
#include "app/attendance/data_path.h"
#include "app/daemon/daemon_program.h"
#include "app/daemon/journal_view.h"
#include "app/daemon/service_notifier.h"
#include "app/startup/startup.h"
#include "frm_fixture.h"
#include "support/notify_socket.h"
#include "support/scoped_env.h"
#include "support/tm.h"

#include <sstream>

namespace lorvent::testing {
namespace {

using namespace std::chrono_literals;

class JournalViewTest : public FrmFixture {
protected:
    void StartJournal(const std::vector<std::string>& arguments) {
        keyboard.now = Tm(2026, 12, 7, 23, 16);
        frm = std::make_unique<TMainFrm>(Services(journalView, poster));
        ASSERT_TRUE(frm->InitFromCommandLine(arguments));
    }
    std::vector<std::string> JournalLines() {
        std::vector<std::string> lines;
        std::istringstream text(journal.str());
        for (std::string line; std::getline(text, line);)
            lines.push_back(line);
        journal.str("");
        return lines;
    }

    std::ostringstream journal;
    TNotifySocket manager{temp.File("notify").string()};
    TServiceNotifier notifier{manager.Address(), std::nullopt};
    TFakeTimer logTimer, blickTimer;
    TJournalView journalView{journal, notifier, logTimer, blickTimer};
};

TEST_F(JournalViewTest, EverythingTheWindowShowsIsALineWithItsPriority) {
    StartJournal({"-net"});
    EXPECT_EQ(JournalLines(),
              (std::vector<std::string>{"<6>Kalvinor v1.6-ZMK(d2xx)", "<6>Inicializace"}));
    EXPECT_TRUE(logTimer.enabled) << "the upload timer runs from the start";

    Deliver({0xA0});
    PumpMessages();
    CardRead({0x01, 0x2a, 0xff, 0x00, 0x7b});
    CardRead({0x12, 0xab, 0x34, 0xcd});
    Deliver({0xA1});
    PumpMessages();
    EXPECT_EQ(JournalLines(),
              (std::vector<std::string>{"<6>Ready", "<6>07/12/2026 23:16 012aff007b",
                                        "<6>07/12/2026 23:16 12ab34cd", "<4>Nekomunikuje"}));
    EXPECT_EQ(frm->QueuedRecords().size(), 2u) << "the reads wait for the upload";

    manager.Collect(300ms);
    EXPECT_EQ(manager.Texts(), (std::vector<std::string>{"STATUS=Inicializace", "STATUS=Ready",
                                                         "STATUS=Nekomunikuje"}));
}

// Without a display there is nothing to type into: keyboard mode, asked for
// or by default, stops start-up with a message that says what to do.
TEST_F(JournalViewTest, KeyboardModeIsRefused) {
    for (const auto& arguments : {std::vector<std::string>{}, {"-net", "-keyb"}}) {
        TNoKeyboard none;
        auto services = Services();
        TMainFrm form(TMainFrmServices{journalView,
                                       poster,
                                       none,
                                       keyboard,
                                       {},
                                       defaultDataFile,
                                       services.makeProtocol,
                                       services.makeServerConnection,
                                       services.openDataFile});
        TJournalBoxes boxes(journal, notifier);
        std::ostringstream nowhere;
        EXPECT_FALSE(StartUp(form, arguments, boxes, nowhere));
        EXPECT_EQ(JournalLines(),
                  (std::vector<std::string>{"<3>Bez displeje nelze psát čísla karet: lorventd "
                                            "běží jen v režimu docházky (-net)"}));
        EXPECT_EQ(form.Engine(), nullptr) << "refused before the bus is opened";
    }
}

TEST(DaemonDataFile, LivesInTheServicesStateDirectoryOrWhereTheWindowKeepsIt) {
    struct Case {
        std::optional<std::string> stateDirectory;
        std::optional<std::string> expected; // nothing: the window's default
    };
    const Case cases[] = {
        {"/var/lib/lorventd", "/var/lib/lorventd/kalvinor.db"},
        {"/var/lib/lorventd:/var/lib/other", "/var/lib/lorventd/kalvinor.db"},
        {std::nullopt, std::nullopt},
        {"", std::nullopt},
        {"relative/dir", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stateDirectory.value_or("(unset)"));
        TScopedEnv env("STATE_DIRECTORY", c.stateDirectory);
        EXPECT_EQ(DaemonDataFileName(), c.expected.value_or(DefaultDataFileName()));
    }
}

} // namespace
} // namespace lorvent::testing
