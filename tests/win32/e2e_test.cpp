// lorvent.exe end to end under Windows (Wine): the program runs with the
// simulated converter library beside it, a scripted reader behind it, and
// types into a window of another program; its start-up failures end in a
// message box. Each test runs the program in a folder of its own, which is
// also its working directory (log.txt lands there).
#include "win_process.h"
#include "win_test_util.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <memory>

namespace lorvent {
namespace {

using namespace std::chrono_literals;
using testing::CountContaining;
using testing::Lines;
using testing::TProcess;
using testing::WaitUntil;
using testing::WindowText;

// A Wine process start can take seconds, and tens of seconds under software
// emulation (the 32-bit tests in wine32-guest's virtual machine); the waits
// return as soon as the window is there.
constexpr auto kStartPatience = 60s;

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
        script.emplace("LORVENT_SIM_SCRIPT", dir.File("script.txt").string());
    }
    std::unique_ptr<TProcess> Start(const std::vector<std::wstring>& args) {
        return std::make_unique<TProcess>(dir.File(L"lorvent.exe"), args, dir.Path());
    }
    std::string File(const wchar_t* name) const {
        return testing::ReadTextFile(dir.File(name)).value_or("(" + Utf8(name) + " is missing)");
    }

    testing::TTempDir dir;
    testing::TScopedEnv simLog{"LORVENT_SIM_LOG", dir.File("sim.log").string()};
    testing::TScopedEnv noScript{"LORVENT_SIM_SCRIPT", ""};
    std::optional<testing::TScopedEnv> script;
};

// --- Start-up failures --------------------------------------------------------

struct TFailure {
    TFailure(const char* what_, std::vector<std::wstring> args_, std::wstring message_,
             bool withLibrary_ = true, std::string script_ = "")
        : what(what_), args(std::move(args_)), message(std::move(message_)),
          withLibrary(withLibrary_), script(std::move(script_)) {}

    const char* what;
    std::vector<std::wstring> args;
    std::wstring message;
    bool withLibrary;
    std::string script; // for the reader behind the library
};

// The box of the failure, its text, OK, and status 1; the main window is never shown.
void ExpectFailureBox(TInstall& install, const TFailure& failure) {
    auto lorvent = install.Start(failure.args);
    const HWND box = lorvent->WaitForWindow(L"#32770", L"Chyba", kStartPatience);
    ASSERT_NE(box, nullptr) << "no message box; status "
                            << lorvent->Wait(0ms).value_or(STILL_ACTIVE);
    const HWND text = GetDlgItem(box, 0xFFFF);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(Utf8(WindowText(text)), Utf8(failure.message));
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
    const std::wstring underFile = install.dir.File(L"blocker").wstring() + L"\\kalvinor";
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

// A bare data file name is a file in the working directory: the program starts
// and makes the file there.
TEST(E2eStartupTest, BareDataFileNameIsAFileInTheWorkingDirectory) {
    TInstall install;
    auto lorvent = install.Start({L"-net", L"-db", L"records.db"});
    ASSERT_TRUE(WaitUntil([&] { return lorvent->FindOwnWindow(L"", L"Lorvent", true) != nullptr; },
                          kStartPatience))
        << "no main window; status " << lorvent->Wait(0ms).value_or(STILL_ACTIVE);
    EXPECT_EQ(lorvent->FindOwnWindow(L"#32770", L"Chyba"), nullptr);
    EXPECT_NE(GetFileAttributesW(install.dir.File(L"records.db").c_str()), INVALID_FILE_ATTRIBUTES);
    PostMessageW(lorvent->FindOwnWindow(L"", L"Lorvent"), WM_CLOSE, 0, 0);
    EXPECT_EQ(lorvent->Wait(15s), std::optional<DWORD>(0));
}

// LORVENT_SERVER_PORT is read before the window exists; a bad value is shown
// in the same box as the other start-up failures, since nobody sees a GUI
// program's standard error.
TEST(E2eStartupTest, BadServerPortIsShownInABox) {
    TInstall install;
    testing::TScopedEnv port("LORVENT_SERVER_PORT", "11OOO");
    ExpectFailureBox(install, {"server port", {L"-net"}, L"Neplatný port serveru '11OOO' "
                                                         L"(LORVENT_SERVER_PORT)"});
}

// The main window, shown once the program has started; null if it never was.
HWND WaitForMainWindow(TProcess& lorvent) {
    HWND main = nullptr;
    WaitUntil([&] { return (main = lorvent.FindOwnWindow(L"", L"Lorvent", true)) != nullptr; },
              kStartPatience);
    return main;
}

// A Czech site's data folder, typed in a shortcut: the folder and the file
// get exactly that name, the program runs in a folder of such a name too,
// and the reads that the server does not take reach that file. The
// task-bar button says "Lorvent karet" meanwhile.
TEST(E2eSiteTest, DataFileUnderANameOutsideAsciiWithTheTitleOnTheTaskBar) {
    TInstall install;
    install.Script("wait 2s\ncard 0x12345678\n");
    const std::filesystem::path runIn = install.dir.File(L"Pracovní složka");
    const std::filesystem::path dataDir = install.dir.File(L"Docházka") / L"Přítomnost";
    ASSERT_TRUE(std::filesystem::create_directory(runIn));
    for (const wchar_t* name : {L"lorvent.exe", L"FTD2XX.DLL"})
        ASSERT_TRUE(testing::CopyInto(install.dir.File(name), runIn, name));
    testing::TScopedEnv noServer("LORVENT_SERVER_PORT", "1"); // nothing listens there

    TProcess lorvent((runIn / L"lorvent.exe").wstring(),
                     {L"-net", L"-db", (dataDir / L"kalvinor.db").wstring()}, runIn.wstring());
    const HWND main = WaitForMainWindow(lorvent);
    ASSERT_NE(main, nullptr) << "status " << lorvent.Wait(0ms).value_or(STILL_ACTIVE);

    const HWND button = lorvent.FindOwnWindow(L"LorventApplication", L"Lorvent karet", true);
    EXPECT_NE(button, nullptr) << "no shown window carries the application title";
    EXPECT_EQ(GetWindow(main, GW_OWNER), button) << "the main window would have a button too";

    std::string records;
    EXPECT_TRUE(WaitUntil(
        [&] {
            records = testing::ReadTextFile(dataDir / L"kalvinor.db").value_or("");
            return records.find("12345678") != std::string::npos;
        },
        30s))
        << "data file: '" << records << "'; sim.log: " << install.File(L"sim.log");
    EXPECT_EQ(records.substr(records.size() - 11), " 12345678\r\n");
    EXPECT_GE(CountContaining(Lines(testing::ReadTextFile(runIn / L"log.txt").value_or("")),
                              "Slave wakes"),
              1);

    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(lorvent.Wait(15s), std::optional<DWORD>(0));
}

// What Explorer and the installer show of lorvent.exe: its version, its
// icon, and a manifest that asks for no elevation.
TEST(E2eResourcesTest, ProgramCarriesVersionIconAndAnAsInvokerManifest) {
    const std::wstring exe = BuiltFile(L"lorvent-bin\\lorvent.exe");
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    ASSERT_GT(size, 0u) << "no version resource";
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, info.data()));
    const auto text = [&](const wchar_t* name) {
        wchar_t* value = nullptr;
        UINT length = 0;
        const std::wstring key = std::wstring(L"\\StringFileInfo\\040504b0\\") + name;
        if (!VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length))
            return std::string("(missing)");
        return Utf8(std::wstring(value, length > 0 ? length - 1 : 0));
    };
    EXPECT_EQ(text(L"ProductName"), "Lorvent");
    EXPECT_EQ(text(L"OriginalFilename"), "lorvent.exe");
    EXPECT_EQ(text(L"ProductVersion").rfind("1.6", 0), 0u) << text(L"ProductVersion");
    EXPECT_NE(text(L"CompanyName"), "(missing)");
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize));
    EXPECT_EQ(HIWORD(fixed->dwProductVersionMS), 1u);
    EXPECT_EQ(LOWORD(fixed->dwProductVersionMS), 6u);

    EXPECT_GE(ExtractIconExW(exe.c_str(), -1, nullptr, nullptr, 0), 1u) << "no icon";

    const HMODULE image = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    const HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(found, nullptr) << "no manifest";
    const auto* bytes = static_cast<const char*>(LockResource(LoadResource(image, found)));
    const std::string manifest(bytes, SizeofResource(image, found));
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
    EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos) << manifest;
    FreeLibrary(image);
}

// --- Typing card numbers into another program ------------------------------------

class E2eTypingTest : public ::testing::Test {
protected:
    void SetUp() override {
        target = std::make_unique<TProcess>(BuiltFile(L"edit_target.exe"),
                                            std::vector<std::wstring>{}, install.dir.Path());
        targetWindow =
            target->WaitForWindow(L"LorventEditTarget", L"Lorvent edit target", kStartPatience);
        ASSERT_NE(targetWindow, nullptr);
        // The window shows before its EDIT child may be made.
        WaitUntil(
            [&] {
                return (edit = FindWindowExW(targetWindow, nullptr, L"EDIT", nullptr)) != nullptr;
            },
            kStartPatience);
        ASSERT_NE(edit, nullptr);
    }

    void TearDown() override {
        if (targetWindow != nullptr)
            PostMessageW(targetWindow, WM_CLOSE, 0, 0);
        if (target)
            target->Wait(5s);
    }

    // Waits until the target's text is `expected`; returns what it holds then.
    std::string TypedText(const std::string& expected, std::chrono::milliseconds patience) {
        std::string text;
        WaitUntil(
            [&] {
                text = Utf8(WindowText(edit));
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
    HWND targetWindow = nullptr;
    HWND edit = nullptr;
};

TEST_F(E2eTypingTest, CardNumbersArriveWithPrefixAndEnter) {
    install.Script("wait 3s\ncard 0x00ab12cd\nwait 2s\ncard 0x12345678\n");
    auto lorvent = install.Start({L"-prefix", L"Sa"});

    const std::string expected = "A00AB12CD\r\nA12345678\r\n";
    EXPECT_EQ(TypedText(expected, 30s), expected) << install.File(L"sim.log");

    // The reader got its feedback for each read: acknowledge, read signal,
    // and the idle signal a second later. The first idle signal answered the
    // reader's return at the start.
    WaitUntil(
        [&] { return CountContaining(Lines(install.File(L"sim.log")), ": idle signal") >= 3; }, 30s);
    const auto simLog = Lines(install.File(L"sim.log"));
    EXPECT_EQ(CountContaining(simLog, "-> read card"), 2) << install.File(L"sim.log");
    EXPECT_EQ(CountContaining(simLog, "acknowledged"), 2) << install.File(L"sim.log");
    EXPECT_EQ(CountContaining(simLog, ": acknowledge ("), 2) << install.File(L"sim.log");
    EXPECT_EQ(CountContaining(simLog, ": read signal ("), 2) << install.File(L"sim.log");
    EXPECT_EQ(CountContaining(simLog, ": idle signal ("), 3) << install.File(L"sim.log");
    EXPECT_GE(CountContaining(Lines(install.File(L"log.txt")), "Slave wakes"), 1)
        << install.File(L"log.txt");

    CloseLorvent(*lorvent);
}

// --- The tray icon's menu ---------------------------------------------------------

constexpr UINT WM_HOLD_FOCUS = WM_APP + 1; // the edit target's: wParam 1 holds, 0 lets go

// Without a notification area Wine shows tray icons in a window of its own;
// an icon there is a child window, or a cell of that window.
HWND TrayIconWindow(POINT& at) {
    const HWND tray = FindWindowW(nullptr, L"Wine System Tray");
    if (tray == nullptr)
        return nullptr;
    HWND icon = FindWindowExW(tray, nullptr, nullptr, nullptr);
    const HWND window = icon != nullptr ? icon : tray;
    RECT area{};
    GetClientRect(window, &area);
    const int cell = icon != nullptr ? area.right : GetSystemMetrics(SM_CXSMICON) + 8;
    at = {cell / 2, area.bottom / 2};
    return window;
}

// A visible popup menu of that process, or null.
HWND OpenMenuOf(const TProcess& process) {
    return process.FindOwnWindow(L"#32768", L"", true);
}

// Right click on lorvent's tray icon, then the menu's second item, "Posílat
// Enter", chosen with the arrow keys and Enter as a user would.
void ToggleEnterFromTrayMenu(TProcess& lorvent) {
    POINT at{};
    HWND icon = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (icon = TrayIconWindow(at)) != nullptr; }, 10s))
        << "no Wine System Tray window";
    PostMessageW(icon, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(at.x, at.y));
    PostMessageW(icon, WM_RBUTTONUP, 0, MAKELPARAM(at.x, at.y));
    HWND menu = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (menu = OpenMenuOf(lorvent)) != nullptr; }, 10s))
        << "the tray menu did not open";
    for (WPARAM key : {VK_DOWN, VK_DOWN, VK_RETURN})
        PostMessageW(menu, WM_KEYDOWN, key, 0);
    EXPECT_TRUE(WaitUntil([&] { return OpenMenuOf(lorvent) == nullptr; }, 10s))
        << "the tray menu stayed open";
}

TEST_F(E2eTypingTest, EnterSwitchedOffInTheTrayMenuEndsNumbersWithoutIt) {
    install.Script(
        "wait 3s\ncard 0x00ab12cd\nwait 8s\ncard 0x12345678\nwait 2s\ncard 0x00000042\n");
    auto lorvent = install.Start({});

    const std::string first = "00AB12CD\r\n";
    ASSERT_EQ(TypedText(first, 30s), first) << install.File(L"sim.log");

    SendMessageW(targetWindow, WM_HOLD_FOCUS, 0, 0);
    ToggleEnterFromTrayMenu(*lorvent);
    SendMessageW(targetWindow, WM_HOLD_FOCUS, 1, 0);

    const std::string all = first + "12345678" + "00000042";
    EXPECT_EQ(TypedText(all, 20s), all) << install.File(L"sim.log");
    std::this_thread::sleep_for(1500ms); // an Enter would come right after the number
    EXPECT_EQ(Utf8(WindowText(edit)), all);
    CloseLorvent(*lorvent);
}

} // namespace
} // namespace lorvent
