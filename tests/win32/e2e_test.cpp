// lorvent.exe end to end under Windows (Wine): the program runs with the
// simulated converter library beside it, a scripted reader behind it, and
// types into a window of another program; its start-up failures end in a
// message box. Each test runs the program in a folder of its own, which is
// also its working directory (log.txt lands there).
#include "win_process.h"
#include "win_test_util.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>

namespace lorvent {
namespace {

using namespace std::chrono_literals;
using testing::CountContaining;
using testing::Lines;
using testing::TProcess;
using testing::WaitUntil;
using testing::WindowText;

constexpr auto kStartPatience = 20s; // a Wine process start can take seconds

std::wstring BuiltFile(const std::wstring& relative) {
    return testing::ExeDir() + L"\\" + relative;
}

// One run of the program: its folder, with lorvent.exe and (unless a test
// leaves it out) the simulated library in it, and the reader's script and log.
class TInstall {
public:
    explicit TInstall(bool withLibrary = true) {
        if (!testing::CopyInto(BuiltFile(L"lorvent-bin\\lorvent.exe"), dir.Path(), L"lorvent.exe"))
            throw std::runtime_error("cannot copy lorvent.exe");
        if (withLibrary &&
            !testing::CopyInto(BuiltFile(L"dll-sim\\FTD2XX.DLL"), dir.Path(), L"FTD2XX.DLL"))
            throw std::runtime_error("cannot copy FTD2XX.DLL");
    }

    void Script(const std::string& lines) {
        testing::WriteTextFile(dir.File(L"script.txt"), lines);
        script.emplace(L"LORVENT_SIM_SCRIPT", dir.File(L"script.txt"));
    }
    std::unique_ptr<TProcess> Start(const std::vector<std::wstring>& args) {
        return std::make_unique<TProcess>(dir.File(L"lorvent.exe"), args, dir.Path());
    }
    std::string File(const wchar_t* name) const {
        return testing::ReadTextFile(dir.File(name))
            .value_or("(" + testing::Narrow(name) + " is missing)");
    }

    testing::TTempDir dir;
    testing::TScopedEnv simLog{L"LORVENT_SIM_LOG", dir.File(L"sim.log")};
    testing::TScopedEnv noScript{L"LORVENT_SIM_SCRIPT", L""};
    std::optional<testing::TScopedEnv> script;
};

// --- Start-up failures --------------------------------------------------------

struct TFailure {
    const char* what;
    std::vector<std::wstring> args;
    std::wstring message;
    bool withLibrary = true;
    std::string script;
};

// The box of the failure, its text, OK, and status 1; the main window is never shown.
void ExpectFailureBox(TInstall& install, const TFailure& failure) {
    auto lorvent = install.Start(failure.args);
    const HWND box = lorvent->WaitForWindow(L"#32770", L"Chyba", kStartPatience);
    ASSERT_NE(box, nullptr) << "no message box; status "
                            << lorvent->Wait(0ms).value_or(STILL_ACTIVE);
    const HWND text = GetDlgItem(box, 0xFFFF);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(testing::Narrow(WindowText(text)), testing::Narrow(failure.message));
    EXPECT_EQ(lorvent->FindOwnWindow(L"", L"Lorvent", true), nullptr)
        << "the main window was shown before the failure";
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(lorvent->Wait(15s), std::optional<DWORD>(1));
}

TEST(E2eStartupTest, EachFailureShowsItsMessageAndEndsWithStatusOne) {
    std::vector<TFailure> failures = {
        {"unknown option", {L"-x"}, L"Neplatný argument '-x'"},
        {"no introducer", {L"-net", L"keyb"}, L"Neplatný argument 'keyb'"},
        {"bad prefix", {L"-prefix", L"F25"}, L"Neplatný prefix 'F25'"},
        {"empty prefix", {L"-prefix"}, L"Neplatný prefix ''"},
        {"no library", {}, L"Nepodařilo se otevřít sériový port ''", false},
        {"no library, port named",
         {L"-com", L"COM3"},
         L"Nepodařilo se otevřít sériový port 'COM3'",
         false},
        {"the device does not open",
         {},
         L"Nepodařilo se otevřít sériový port ''",
         true,
         "fail open 3\n"},
    };
    for (const TFailure& failure : failures) {
        SCOPED_TRACE(failure.what);
        TInstall install(failure.withLibrary);
        if (!failure.script.empty())
            install.Script(failure.script);
        ExpectFailureBox(install, failure);
        if (!failure.script.empty()) {
            EXPECT_EQ(CountContaining(Lines(install.File(L"log.txt")), "Error 3 in FT_Open"), 1)
                << install.File(L"log.txt");
        }
    }
}

// Attendance mode: the data file's folder cannot be made, or the file cannot
// be opened. The paths are the test's own, so they are built at run time.
TEST(E2eStartupTest, DataFileFailuresInAttendanceMode) {
    TInstall install;
    // A file where the data file's folder should be.
    testing::WriteTextFile(install.dir.File(L"blocker"), "not a folder");
    const std::wstring underFile = install.dir.File(L"blocker") + L"\\kalvinor";
    // A folder where the data file should be.
    const std::wstring folderAsFile = install.dir.File(L"taken");
    ASSERT_TRUE(CreateDirectoryW(folderAsFile.c_str(), nullptr));

    const TFailure failures[] = {
        {"folder",
         {L"-net", L"-db", underFile + L"\\kalvinor.db"},
         L"Nepodařilo se vytvořit adresář '" + underFile + L"'"},
        {"file",
         {L"-net", L"-db", folderAsFile},
         L"Nepodařilo se otevřít soubor '" + folderAsFile + L"'"},
    };
    for (const TFailure& failure : failures) {
        SCOPED_TRACE(failure.what);
        ExpectFailureBox(install, failure);
    }
}

// --- Typing card numbers into another program ------------------------------------

class E2eTypingTest : public ::testing::Test {
protected:
    void SetUp() override {
        target = std::make_unique<TProcess>(BuiltFile(L"edit_target.exe"),
                                            std::vector<std::wstring>{}, install.dir.Path());
        const HWND window =
            target->WaitForWindow(L"LorventEditTarget", L"Lorvent edit target", kStartPatience);
        ASSERT_NE(window, nullptr);
        edit = FindWindowExW(window, nullptr, L"EDIT", nullptr);
        ASSERT_NE(edit, nullptr);
    }

    // Waits until the target's text is `expected`; returns what it holds then.
    std::string TypedText(const std::string& expected, std::chrono::milliseconds patience) {
        std::string text;
        WaitUntil(
            [&] {
                text = testing::Narrow(WindowText(edit));
                return text == expected;
            },
            patience);
        return text;
    }

    // Closes lorvent's window as a user would; the program ends with status 0.
    void CloseLorvent(TProcess& lorvent) {
        const HWND main = lorvent.FindOwnWindow(L"", L"Lorvent");
        ASSERT_NE(main, nullptr);
        PostMessageW(main, WM_CLOSE, 0, 0);
        EXPECT_EQ(lorvent.Wait(15s), std::optional<DWORD>(0));
    }

    TInstall install;
    std::unique_ptr<TProcess> target;
    HWND edit = nullptr;
};

TEST_F(E2eTypingTest, CardNumbersArriveWithPrefixAndEnter) {
    install.Script("wait 3s\ncard 0x00ab12cd\nwait 2s\ncard 0x12345678\n");
    auto lorvent = install.Start({L"-prefix", L"Sa"});

    const std::string expected = "A00AB12CD\r\nA12345678\r\n";
    EXPECT_EQ(TypedText(expected, 30s), expected) << install.File(L"sim.log");

    // The reader got its feedback for each read: acknowledge, read signal,
    // and the idle signal a second later.
    WaitUntil(
        [&] { return CountContaining(Lines(install.File(L"sim.log")), ": idle signal") >= 2; }, 5s);
    const auto simLog = Lines(install.File(L"sim.log"));
    EXPECT_EQ(CountContaining(simLog, "-> read card"), 2) << install.File(L"sim.log");
    EXPECT_EQ(CountContaining(simLog, "acknowledged"), 2) << install.File(L"sim.log");
    EXPECT_EQ(CountContaining(simLog, ": acknowledge ("), 2) << install.File(L"sim.log");
    EXPECT_EQ(CountContaining(simLog, ": read signal ("), 2) << install.File(L"sim.log");
    EXPECT_EQ(CountContaining(simLog, ": idle signal ("), 2) << install.File(L"sim.log");
    EXPECT_GE(CountContaining(Lines(install.File(L"log.txt")), "Slave wakes"), 1)
        << install.File(L"log.txt");

    CloseLorvent(*lorvent);
}

} // namespace
} // namespace lorvent
