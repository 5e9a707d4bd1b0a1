// The programs as a user runs them: lorvent-reader-sim on a pseudo-terminal,
// lorvent started with LORVENT_SERIAL naming it, on an Xvfb of the test's own
// with a notification area, and a small X client holding the focus that
// reports every key it receives. What the window shows comes from its UI
// trace (LORVENT_UI_TRACE).
#include <gtest/gtest.h>

#include "support/dropping_listener.h"
#include "support/program_rig.h"
#include "support/wait.h"
#include "support/x_tray_host.h"
#include "support/x_windows.h"

#include <QSet>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <csignal>
#include <fstream>
#include <regex>
#include <thread>

namespace lorvent::testing {
namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(rig.StartX(xvfbArguments)) << "Xvfb did not start"; }
    void TearDown() override {
        rig.lorvent.reset(); // before the notification area its icon docks in
        tray.reset();
    }

    void StartDesktop() {
        tray = std::make_unique<TXTrayHost>(rig.Display());
        ASSERT_TRUE(tray->Started());
        ASSERT_TRUE(rig.StartKeyWindow()) << rig.keyWindow->Stderr();
    }
    void StartReader() { ASSERT_TRUE(rig.StartReader()) << rig.reader->Stderr(); }
    void StartLorvent(const std::vector<std::string>& arguments,
                      const std::string& serial = std::string(), const TEnv& env = {}) {
        rig.StartLorvent({arguments, serial, env});
    }

    std::string Shown(const std::string& prefix, std::chrono::seconds patience = 20s) {
        return rig.Shown(prefix, patience);
    }
    bool ReaderHeard(const std::string& part, std::chrono::seconds patience = 20s) {
        return rig.reader->LineWith(part, patience).has_value();
    }
    // Key presses up to the line Return ended.
    std::vector<std::string> KeysUpToLine(std::string& line) {
        TTypedLine typed = ReadTypedLine(*rig.keyWindow, 30s);
        line = typed.line.value_or("(no Return)");
        return typed.keys;
    }
    // The characters typed, Shift presses left out, once `count` have come.
    std::string Characters(std::size_t count, std::vector<std::string>& keys) {
        std::string typed;
        rig.keyWindow->WaitForLine(
            [&](const std::string& text) {
                if (!StartsWith(text, "key "))
                    return false;
                keys.push_back(text.substr(4));
                const std::string name = text.substr(4, text.find(' ', 4) - 4);
                if (name.size() == 1)
                    typed += name;
                return typed.size() == count;
            },
            30s);
        return typed;
    }
    void ToggleEnterInTrayMenu() {
        for (int i = 0; i < 100 && !tray->IconDocked(); ++i)
            std::this_thread::sleep_for(100ms);
        ASSERT_TRUE(tray->IconDocked()) << "the tray icon never docked";
        tray->ClickIcon(3);
        tray->Key("Down");
        tray->Key("Down");
        tray->Key("Return");
    }

    std::vector<std::string> xvfbArguments;
    TProgramRig rig;
    std::unique_ptr<TXTrayHost> tray;
};

TEST_F(EndToEnd, ReadsAreShownAndTypedAndTheWindowFollowsTheReader) {
    StartDesktop();
    StartReader();
    StartLorvent({});
    EXPECT_EQ(Shown("ComLbl"), "ComLbl Ravi v1.6-ZMK(d2xx)");
    EXPECT_EQ(Shown("StatusLbl"), "StatusLbl Inicializace");
    ASSERT_EQ(Shown("StatusLbl"), "StatusLbl Ready") << rig.lorvent->Stderr();

    // A read: a row in the grid, the number typed upper-case with Enter, and
    // the reader's feedback.
    ASSERT_TRUE(rig.reader->Command("card 12ab34cd"));
    std::string line;
    const auto keys = KeysUpToLine(line);
    EXPECT_EQ(line, "12AB34CD");
    ASSERT_FALSE(keys.empty());
    EXPECT_EQ(keys.back(), "Return -");
    EXPECT_TRUE(std::regex_match(Shown("LogGrid 0 1 "),
                                 std::regex(R"(LogGrid 0 1 \d\d/\d\d/\d{4} \d\d:\d\d)")));
    EXPECT_EQ(Shown("LogGrid 1 1 "), "LogGrid 1 1 12ab34cd");
    EXPECT_EQ(Shown("LogGrid select"), "LogGrid select 1");
    EXPECT_TRUE(ReaderHeard("acknowledge"));
    EXPECT_TRUE(ReaderHeard("read signal"));
    EXPECT_TRUE(ReaderHeard("idle signal"));

    // "Posílat Enter" unchecked in the tray menu: the next number comes without Enter.
    ToggleEnterInTrayMenu();
    ASSERT_EQ(Shown("PoslatEnter1"), "PoslatEnter1 unchecked");
    ASSERT_TRUE(rig.reader->Command("card5 0a0b0c0d0e"));
    std::vector<std::string> noEnterKeys;
    EXPECT_EQ(Characters(10, noEnterKeys), "0A0B0C0D0E");
    EXPECT_EQ(Shown("LogGrid 1 2 "), "LogGrid 1 2 0a0b0c0d0e");
    std::this_thread::sleep_for(1500ms); // time enough for a wrong Enter to arrive
    for (const auto& text : rig.keyWindow->TakeNewLines())
        EXPECT_FALSE(StartsWith(text, "key Return") || StartsWith(text, "line")) << text;

    // The reader goes away and comes back.
    ASSERT_TRUE(rig.reader->Command("unplug 8s"));
    EXPECT_EQ(Shown("StatusLbl", 40s), "StatusLbl Nekomunikuje");
    EXPECT_EQ(Shown("StatusLbl", 40s), "StatusLbl Ready");

    ToggleEnterInTrayMenu();
    ASSERT_EQ(Shown("PoslatEnter1"), "PoslatEnter1 checked");
    ASSERT_TRUE(rig.reader->Command("card 99887766"));
    KeysUpToLine(line);
    EXPECT_EQ(line, "0A0B0C0D0E99887766") << "the number typed without Enter runs into this one";
    EXPECT_EQ(Shown("LogGrid 1 3 "), "LogGrid 1 3 99887766");

    // What the window looks like now (kept beside the test for the docs).
    const auto window = FindWindow(rig.Display(), "Lorvent");
    ASSERT_TRUE(window.has_value());
    const QImage shot = Capture(rig.Display(), window->id);
    EXPECT_EQ(shot.size(), QSize(223, 126));
    QSet<QRgb> colours;
    for (int y = 0; y < shot.height(); ++y)
        for (int x0 = 0; x0 < shot.width(); ++x0)
            colours.insert(shot.pixel(x0, y));
    EXPECT_GT(colours.size(), 3) << "the window has text and a grid on it";
    shot.save(LORVENT_OUTPUT_DIR "/lorvent-window.png");
}

// The locked modifiers of the X server's keyboard (Caps Lock is LockMask).
unsigned LockedModifiers(Display* display) {
    XkbStateRec state{};
    XkbGetState(display, XkbUseCoreKbd, &state);
    return state.locked_mods;
}

// Caps Lock left on by the user: the number arrives as read all the same, and
// Caps Lock is still on once it has been typed.
TEST_F(EndToEnd, CapsLockOnStillGivesTheNumberAsRead) {
    StartDesktop();
    StartReader();
    StartLorvent({});
    ASSERT_EQ(Shown("StatusLbl Ready"), "StatusLbl Ready") << rig.lorvent->Stderr();
    Display* display = XOpenDisplay(rig.Display().c_str());
    ASSERT_NE(display, nullptr);
    const KeyCode capsLock = XKeysymToKeycode(display, XK_Caps_Lock);
    XTestFakeKeyEvent(display, capsLock, True, CurrentTime);
    XTestFakeKeyEvent(display, capsLock, False, CurrentTime);
    XSync(display, False);
    ASSERT_EQ(LockedModifiers(display), unsigned{LockMask});

    ASSERT_TRUE(rig.reader->Command("card5 abcdef1290"));
    std::string line;
    KeysUpToLine(line);
    EXPECT_EQ(line, "ABCDEF1290");
    EXPECT_EQ(Shown("LogGrid 1 1 "), "LogGrid 1 1 abcdef1290");
    EXPECT_EQ(LockedModifiers(display), unsigned{LockMask}) << "typing changed the lock";
    XCloseDisplay(display);
}

// With a notification area, minimising hides the window; a double click on
// the tray icon brings it back.
TEST_F(EndToEnd, MinimisedWindowHidesInTheTrayAndComesBack) {
    StartDesktop();
    StartReader();
    StartLorvent({});
    ASSERT_EQ(Shown("StatusLbl Ready"), "StatusLbl Ready") << rig.lorvent->Stderr();
    for (int i = 0; i < 100 && !tray->IconDocked(); ++i)
        std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(tray->IconDocked());
    const auto window = FindWindow(rig.Display(), "Lorvent");
    ASSERT_TRUE(window.has_value());

    Iconify(rig.Display(), window->id);
    EXPECT_EQ(Shown("Window"), "Window hidden");
    tray->ClickIcon(1, 2);
    EXPECT_EQ(Shown("Window"), "Window restored");
    std::optional<TXWindow> shown;
    for (int i = 0; i < 100 && !shown; ++i) {
        std::this_thread::sleep_for(50ms);
        shown = FindWindow(rig.Display(), "Lorvent");
    }
    EXPECT_TRUE(shown.has_value()) << "the window is on the screen again";
}

TEST_F(EndToEnd, PrefixCtrlF2ComesBeforeTheNumber) {
    StartDesktop();
    StartReader();
    StartLorvent({"-prefix", "CF2"});
    ASSERT_EQ(Shown("StatusLbl Ready"), "StatusLbl Ready") << rig.lorvent->Stderr();
    ASSERT_TRUE(rig.reader->Command("card 0000abcd"));
    std::string line;
    const auto keys = KeysUpToLine(line);
    ASSERT_GE(keys.size(), 3u);
    EXPECT_EQ(keys[0], "Control_L -");
    EXPECT_EQ(keys[1], "F2 ctrl");
    EXPECT_EQ(keys[2], "0 -");
    EXPECT_EQ(line, "0000ABCD");
}

// ---- Attendance mode against kalvinor-server ----

class AttendanceEndToEnd : public EndToEnd {
protected:
    // On a port the system picks, which lorvent learns from
    // LORVENT_SERVER_PORT: on 11000 another run on the same machine (a demo,
    // a second test run) could hand its records to this test's server.
    std::string StartServer() {
        const auto port = rig.StartServer();
        return port ? std::to_string(*port) : std::string();
    }
    std::string Stored() {
        std::string rows;
        for (const auto& line : rig.ListStored().records)
            rows += line + "\n";
        return rows;
    }
    std::string DataFile() const { return rig.DataFile(); }
    std::string FileBytes() const { return rig.DataFileBytes(); }
    // Polls for up to 20 s; a tick is 5 s.
    bool Eventually(const std::function<bool()>& done) { return WaitUntil(done, 20s, 200ms); }
};

TEST_F(AttendanceEndToEnd, ReadsReachTheServerAndTheDataFileWhenItIsDown) {
    const std::string port = StartServer();
    ASSERT_FALSE(port.empty()) << rig.server->Stderr();
    StartReader();
    StartLorvent({"-net", "-db", DataFile()}, {}, {{"LORVENT_SERVER_PORT", port}});
    EXPECT_EQ(Shown("ComLbl"), "ComLbl Kalvinor v1.6-ZMK(d2xx)");
    ASSERT_EQ(Shown("StatusLbl Ready"), "StatusLbl Ready") << rig.lorvent->Stderr();

    ASSERT_TRUE(rig.reader->Command("card 12ab34cd"));
    EXPECT_EQ(Shown("LogGrid 1 1 "), "LogGrid 1 1 12ab34cd");
    EXPECT_TRUE(Eventually([&] { return Stored().find(" 12ab34cd\n") != std::string::npos; }))
        << Stored();
    const std::string stored = Stored();
    // Arrival time and sender, then the record as sent.
    EXPECT_TRUE(std::regex_match(
        stored, std::regex(R"(\S+Z 127\.0\.0\.1 \d\d/\d\d/\d{4}-\d\d:\d\d 12ab34cd\n)")))
        << stored;
    EXPECT_EQ(FileBytes(), "") << "a confirmed record is not kept";

    rig.server->Signal(SIGTERM);
    ASSERT_EQ(rig.server->Wait(20s), 0);
    ASSERT_TRUE(rig.reader->Command("card5 0a0b0c0d0e"));
    EXPECT_EQ(Shown("LogGrid 1 2 "), "LogGrid 1 2 0a0b0c0d0e");
    EXPECT_TRUE(Eventually([&] { return !FileBytes().empty(); }));
    EXPECT_TRUE(
        std::regex_match(FileBytes(), std::regex(R"(\d\d/\d\d/\d{4}-\d\d:\d\d 0a0b0c0d0e\r\n)")))
        << FileBytes();
    EXPECT_TRUE(rig.lorvent->Running());
}

// The seconds since the simulator started, from the stamp of its line.
double StampOf(const std::string& line) {
    return std::stod(line.substr(line.find('[') + 1));
}

// The server's host swallows connection attempts (gone off the network):
// each tick gives up its connect after a second, every read is still answered
// with the acknowledge and the read signal within 2 s of reaching lorvent,
// and the records go to the data file in order.
TEST_F(AttendanceEndToEnd, ReadsAreAnsweredAtOnceWhileTheServerDropsConnections) {
    TDroppingListener silent;
    ASSERT_TRUE(silent.DropsAttempts()) << "this system answers attempts to a full accept queue";
    StartReader();
    StartLorvent({"-net", "-db", DataFile()}, {},
                 {{"LORVENT_SERVER_PORT", std::to_string(silent.Port())}});
    ASSERT_EQ(Shown("StatusLbl Ready"), "StatusLbl Ready") << rig.lorvent->Stderr();

    // Reads 1.7 s apart fall on every phase of the 5-second tick.
    std::vector<std::string> numbers;
    for (int card = 1; card <= 6; ++card) {
        char number[16];
        std::snprintf(number, sizeof number, "5b0000%02x", card);
        numbers.push_back(number);
        ASSERT_TRUE(rig.reader->Command(std::string("card ") + number));
        std::this_thread::sleep_for(1700ms);
    }
    EXPECT_TRUE(WaitUntil(
        [&] {
            const std::string bytes = FileBytes();
            return std::count(bytes.begin(), bytes.end(), '\n') == 6;
        },
        30s, 200ms))
        << FileBytes();
    std::string expected;
    for (const auto& number : numbers)
        expected += R"(\d\d/\d\d/\d{4}-\d\d:\d\d )" + number + "\r\n";
    EXPECT_TRUE(std::regex_match(FileBytes(), std::regex(expected))) << FileBytes();

    ReaderHeard("idle signal", 5s);
    rig.reader->Poll();
    const auto& lines = rig.reader->Lines();
    for (const auto& number : numbers) {
        const auto sent = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find("-> card read " + number + " as data") != std::string::npos;
        });
        ASSERT_NE(sent, lines.end()) << number;
        const auto acknowledge = std::find_if(sent, lines.end(), [](const std::string& line) {
            return line.find(": acknowledge (") != std::string::npos;
        });
        const auto signal = std::find_if(acknowledge, lines.end(), [](const std::string& line) {
            return line.find(": read signal (") != std::string::npos;
        });
        ASSERT_NE(signal, lines.end()) << number << " got no acknowledge and read signal";
        EXPECT_LE(StampOf(*signal) - StampOf(*sent), 2.0)
            << number << ": " << *sent << " / " << *acknowledge << " / " << *signal;
    }
    EXPECT_TRUE(rig.lorvent->Running());
}

// A termination request ends lorvent as closing its window does: the reads
// that the last upload tick has not yet handled are written to the data file
// instead of going down with the process.
class SignalledAttendance : public AttendanceEndToEnd, public ::testing::WithParamInterface<int> {};

TEST_P(SignalledAttendance, ShutDownRunsAndKeepsTheLastReads) {
    // The server was there and is gone: every upload fails, and the reads
    // reach the data file only through a tick or through shut-down.
    const std::string port = StartServer();
    ASSERT_FALSE(port.empty()) << rig.server->Stderr();
    rig.server->Signal(SIGTERM);
    ASSERT_EQ(rig.server->Wait(20s), 0);
    StartReader();
    StartLorvent({"-net", "-db", DataFile()}, {}, {{"LORVENT_SERVER_PORT", port}});
    ASSERT_EQ(Shown("StatusLbl Ready"), "StatusLbl Ready") << rig.lorvent->Stderr();

    // The upload tick comes every 5 s; a read it already took to the file
    // proves nothing, so reads go on until one is shown while the file is
    // still empty.
    std::string number;
    for (int card = 1; card <= 5 && number.empty(); ++card) {
        char text[16];
        std::snprintf(text, sizeof text, "5a0000%02x", card);
        ASSERT_TRUE(rig.reader->Command(std::string("card ") + text));
        ASSERT_EQ(Shown("LogGrid 1 " + std::to_string(card) + " "),
                  "LogGrid 1 " + std::to_string(card) + " " + text);
        if (FileBytes().empty())
            number = text;
        else
            ASSERT_TRUE(Eventually([&] { return FileBytes().find(text) != std::string::npos; }));
    }
    ASSERT_FALSE(number.empty()) << "every read was taken by a tick before the signal";

    rig.lorvent->Signal(GetParam());
    EXPECT_EQ(rig.lorvent->Wait(30s), 0) << rig.lorvent->Stderr();
    EXPECT_NE(
        rig.lorvent->Stderr().find("signal " + std::to_string(GetParam()) + ", shutting down"),
        std::string::npos)
        << rig.lorvent->Stderr();
    EXPECT_TRUE(
        std::regex_match(FileBytes(), std::regex(R"((\d\d/\d\d/\d{4}-\d\d:\d\d 5a0000\w\w\r\n)*)"
                                                 R"(\d\d/\d\d/\d{4}-\d\d:\d\d )" +
                                                 number + "\r\n")))
        << FileBytes();
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalledAttendance, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& signal) {
                             return std::string(sigabbrev_np(signal.param));
                         });

struct TFailureCase {
    const char* name;
    std::vector<std::string> arguments;
    bool portOpens;      // a simulated reader is there, or no port at all
    const char* message; // "@" is the test's directory
};

class EndToEndFailure : public EndToEnd, public ::testing::WithParamInterface<TFailureCase> {};

std::string Substituted(std::string text, const std::string& directory) {
    for (auto at = text.find('@'); at != std::string::npos; at = text.find('@'))
        text.replace(at, 1, directory);
    return text;
}

// The message box captioned "Chyba" appears, the main window never does, and
// the process ends with a failure status once the box is closed.
TEST_P(EndToEndFailure, BoxWithoutWindowAndFailureStatus) {
    const std::string directory = rig.Dir().string();
    std::ofstream(rig.Dir() / "file") << "x";
    std::vector<std::string> arguments;
    for (const auto& argument : GetParam().arguments)
        arguments.push_back(Substituted(argument, directory));
    if (GetParam().portOpens)
        StartReader();
    StartLorvent(arguments, GetParam().portOpens ? rig.ReaderLink() : directory + "/no-such-port");

    std::optional<TXWindow> box;
    for (int i = 0; i < 200 && !box; ++i) {
        std::this_thread::sleep_for(50ms);
        box = FindWindow(rig.Display(), "Chyba");
    }
    ASSERT_TRUE(box.has_value()) << rig.lorvent->Stderr() << "\nXvfb: " << rig.x->Log();
    EXPECT_FALSE(FindWindow(rig.Display(), "Lorvent").has_value());
    CloseWindow(rig.Display(), box->id);
    EXPECT_EQ(rig.lorvent->Wait(20s), 1) << rig.lorvent->Stderr();
    EXPECT_NE(rig.lorvent->Stderr().find(Substituted(GetParam().message, directory)),
              std::string::npos)
        << rig.lorvent->Stderr();
}

const TFailureCase kFailures[] = {
    {"argument", {"net"}, false, "Neplatný argument 'net'"},
    {"prefix", {"-prefix", "F25"}, false, "Neplatný prefix 'F25'"},
    {"port", {"-com", "COM1"}, false, "Nepodařilo se otevřít sériový port 'COM1'"},
    {"directory",
     {"-net", "-db", "@/file/sub/k.db"},
     true,
     "Nepodařilo se vytvořit adresář '@/file/sub'"},
    {"file", {"-net", "-db", "@"}, true, "Nepodařilo se otevřít soubor '@'"},
};

INSTANTIATE_TEST_SUITE_P(Messages, EndToEndFailure, ::testing::ValuesIn(kFailures),
                         [](const auto& param) { return std::string(param.param.name); });

class WithoutXtest : public EndToEnd {
protected:
    WithoutXtest() { xvfbArguments = {"-extension", "XTEST"}; }
};

TEST_F(WithoutXtest, KeyboardModeRefusesToStart) {
    StartReader();
    StartLorvent({});
    std::optional<TXWindow> box;
    for (int i = 0; i < 200 && !box; ++i) {
        std::this_thread::sleep_for(50ms);
        box = FindWindow(rig.Display(), "Chyba");
    }
    ASSERT_TRUE(box.has_value()) << rig.lorvent->Stderr();
    CloseWindow(rig.Display(), box->id);
    EXPECT_EQ(rig.lorvent->Wait(20s), 1) << rig.lorvent->Stderr();
    EXPECT_NE(rig.lorvent->Stderr().find("X server nemá rozšíření XTEST"), std::string::npos);
}

TEST(EndToEndWithoutDisplay, SaysSoAndFails) {
    TProgramRig rig;
    TChildProcess& lorvent = rig.StartLorvent();
    EXPECT_EQ(lorvent.Wait(20s), 2);
    EXPECT_NE(lorvent.Stderr().find("no display"), std::string::npos) << lorvent.Stderr();
}

} // namespace
} // namespace lorvent::testing
