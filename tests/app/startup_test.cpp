#include "app/attendance/data_path.h"
#include "app/startup/key_delay.h"
#include "app/startup/command_line.h"
#include "app/startup/startup.h"
#include "app/startup/startup_error.h"
#include "frm_fixture.h"
#include "support/scoped_env.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace lorvent::testing {
namespace {

class StartUpTest : public FrmFixture {
protected:
    // Runs start-up as the program does; the boxes shown are kept.
    bool Run(const std::vector<std::string>& arguments) {
        frm = std::make_unique<TMainFrm>(Services());
        return StartUp(*frm, arguments, boxes, errors);
    }
    void ExpectOneBox(const std::string& text, const std::string& caption, TMessageIcon icon) {
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].text, text);
        EXPECT_EQ(boxes.shown[0].caption, caption);
        EXPECT_EQ(boxes.shown[0].icon, icon);
        EXPECT_NE(errors.str().find(text), std::string::npos) << errors.str();
    }

    TFakeMessageBoxes boxes;
    std::ostringstream errors;
};

TEST_F(StartUpTest, NoArgumentsGiveKeyboardModeWithoutDataFile) {
    ASSERT_TRUE(Run({}));
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(frm->RunMode(), kModeKeyboard);
    EXPECT_EQ(frm->PrefixKeyCode(), 0);
    EXPECT_EQ(view.comLbl, "Ravi v1.6-ZMK(d2xx)");
    EXPECT_EQ(view.statusLbl, "Inicializace");
    EXPECT_TRUE(view.poslatEnterVisible);
    EXPECT_TRUE(view.poslatEnterChecked);
    EXPECT_EQ(frm->DataFilePath(), defaultDataFile);
    EXPECT_EQ(openedDataFile, nullptr);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(defaultDataFile).parent_path()));
    // The engine got the port text and the line settings, and serves the reader at address 1.
    EXPECT_EQ(frm->Engine()->PortText(), "");
    EXPECT_EQ(frm->Engine()->SettingsText(), "9600,n,8,1");
    EXPECT_TRUE(frm->Engine()->HasSlaves());
    EXPECT_EQ(frm->ReaderDevice()->Address(), 1);
    EXPECT_EQ(frm->ReaderDevice()->Identifier(), 0xFFFFFFFFu);
    EXPECT_TRUE(frm->ReaderDevice()->Active());
}

TEST_F(StartUpTest, AttendanceModeCreatesTheDirectoryAndOpensTheDataFile) {
    std::filesystem::create_directories(std::filesystem::path(defaultDataFile).parent_path());
    std::ofstream(defaultDataFile) << "earlier record\r\n";
    std::filesystem::remove_all(std::filesystem::path(defaultDataFile).parent_path());

    ASSERT_TRUE(Run({"/NET"}));
    EXPECT_EQ(view.comLbl, "Kalvinor v1.6-ZMK(d2xx)");
    EXPECT_FALSE(view.poslatEnterVisible);
    ASSERT_NE(openedDataFile, nullptr);
    EXPECT_TRUE(std::filesystem::is_regular_file(defaultDataFile));
}

TEST_F(StartUpTest, DataFileIsOpenedForAppendingWithoutLosingItsContent) {
    const auto path = temp.Path() / "kept.db";
    std::ofstream(path, std::ios::binary) << "earlier record\r\n";
    ASSERT_TRUE(Run({"-net", "-db", path.string()}));
    std::fputs((std::string("later") + kDataFileLineEnd).c_str(), openedDataFile);
    frm.reset();
    std::ifstream in(path, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(content, "earlier record\r\nlater\r\n");
}

TEST_F(StartUpTest, EmptyDbValueMeansTheDefaultPath) {
    ASSERT_TRUE(Run({"-net", "-db"}));
    EXPECT_EQ(frm->DataFilePath(), defaultDataFile);
    EXPECT_TRUE(std::filesystem::exists(defaultDataFile));
}

// A bare file name is a file in the working directory, not a failure.
TEST_F(StartUpTest, BareDataFileNameLivesInTheWorkingDirectory) {
    const auto before = std::filesystem::current_path();
    std::filesystem::current_path(temp.Path());
    const bool started = Run({"-net", "-db", "bare.db"});
    std::filesystem::current_path(before);
    ASSERT_TRUE(started) << errors.str();
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_TRUE(std::filesystem::is_regular_file(temp.Path() / "bare.db"));
}

TEST_F(StartUpTest, PortIsPassedOnAndQuotedWhenTheDeviceDoesNotOpen) {
    auto services = Services();
    auto make = services.makeProtocol;
    services.makeProtocol = [&] {
        auto engine = make();
        device->FailAt("FT_Open", 1, FT_DEVICE_NOT_FOUND);
        return engine;
    };
    frm = std::make_unique<TMainFrm>(services);
    EXPECT_FALSE(StartUp(*frm, {"-com", "/dev/ttyUSB7"}, boxes, errors));
    ExpectOneBox("Nepodařilo se otevřít sériový port '/dev/ttyUSB7'", "Chyba", TMessageIcon::None);
    EXPECT_EQ(frm->ReaderDevice(), nullptr) << "no reader object after a failed open";
}

// The port is there but the user may not open it: the message says where
// and how to get in, not only that the port did not open.
TEST_F(StartUpTest, APortTheUserMayNotOpenIsNamedWithTheGroupToJoin) {
    struct Case {
        TPortDenied denied;
        const char* message;
    };
    const Case cases[] = {
        {{"/dev/lorvent-reader", "dialout"},
         "Nepodařilo se otevřít sériový port '': /dev/lorvent-reader: permission denied; "
         "uživatel musí být ve skupině dialout"},
        {{"/dev/ttyUSB0", ""},
         "Nepodařilo se otevřít sériový port '': /dev/ttyUSB0: permission denied; přístup k "
         "portu musí povolit správce"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        boxes.shown.clear();
        auto services = Services();
        auto make = services.makeProtocol;
        services.makeProtocol = [&] {
            auto engine = make();
            device->FailAt("FT_Open", 1, FT_DEVICE_NOT_OPENED);
            device->denied = c.denied;
            return engine;
        };
        frm = std::make_unique<TMainFrm>(services);
        EXPECT_FALSE(StartUp(*frm, {"-net"}, boxes, errors));
        ExpectOneBox(c.message, "Chyba", TMessageIcon::None);
    }
}

struct TFailureCase {
    const char* name;
    std::vector<std::string> arguments;
    std::string message; // "@" stands for the test's temporary directory
};

class StartUpFailure : public StartUpTest, public ::testing::WithParamInterface<TFailureCase> {};

TEST_P(StartUpFailure, ShowsTheExactMessageCaptionedChybaWithoutIcon) {
    // "@/file" is a plain file, so nothing can be created below it; "@/dir" a directory.
    std::ofstream(temp.Path() / "file") << "x";
    std::filesystem::create_directories(temp.Path() / "dir");
    auto substitute = [&](std::string text) {
        if (const auto at = text.find('@'); at != std::string::npos)
            text.replace(at, 1, temp.Path().string());
        return text;
    };
    std::vector<std::string> arguments;
    for (const auto& argument : GetParam().arguments)
        arguments.push_back(substitute(argument));

    EXPECT_FALSE(Run(arguments));
    ExpectOneBox(substitute(GetParam().message), "Chyba", TMessageIcon::None);
}

const TFailureCase kFailures[] = {
    {"argument", {"net"}, "Neplatný argument 'net'"},
    {"option", {"-x"}, "Neplatný argument '-x'"},
    {"prefix_last", {"-prefix"}, "Neplatný prefix ''"},
    {"prefix_F25", {"-prefix", "F25"}, "Neplatný prefix 'F25'"},
    {"directory",
     {"-net", "-db", "@/file/sub/k.db"},
     "Nepodařilo se vytvořit adresář '@/file/sub'"},
    {"file", {"-net", "-db", "@/dir"}, "Nepodařilo se otevřít soubor '@/dir'"},
};

INSTANTIATE_TEST_SUITE_P(Messages, StartUpFailure, ::testing::ValuesIn(kFailures),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(StartUpTest, BadArgumentsStopBeforeTheEngineIsMade) {
    EXPECT_FALSE(Run({"-net", "-bogus"}));
    EXPECT_EQ(frm->Engine(), nullptr);
    EXPECT_EQ(device, nullptr);
}

// Numbers that cannot be typed would be lost silently: keyboard mode refuses
// to start, attendance mode does not need the keyboard.
TEST_F(StartUpTest, KeyboardThatCannotTypeStopsKeyboardModeOnly) {
    keyboard.unavailable = "Klávesnici nelze simulovat: X server nemá rozšíření XTEST";
    EXPECT_FALSE(Run({}));
    ExpectOneBox(keyboard.unavailable, "Chyba", TMessageIcon::None);
    EXPECT_EQ(frm->Engine(), nullptr);

    boxes.shown.clear();
    EXPECT_TRUE(Run({"-net"}));
    EXPECT_TRUE(boxes.shown.empty());
}

// LORVENT_KEY_DELAY_MS in whole milliseconds 0..1000, the keyboard's own
// delay when unset or empty; anything else stops keyboard mode before the
// engine is made, with the value and the range in Czech.
TEST_F(StartUpTest, KeyDelayIsTakenOrRefusedWithItsValue) {
    keyboard.defaultKeyDelayMs = 40;
    const struct {
        std::optional<std::string> value;
        int delay; // -1: refused
    } cases[] = {
        {std::nullopt, 40}, {"", 40},     {"0", 0},      {"1000", 1000}, {"007", 7},
        {"1001", -1},       {"-1", -1},   {"-0", -1},    {"abc", -1},    {"5 ", -1},
        {" 5", -1},         {"+5", -1},   {"2.5", -1},   {"99999999999", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.value_or("(unset)"));
        TScopedEnv delay(kKeyDelayVariable, c.value);
        boxes.shown.clear();
        errors.str("");
        if (c.delay >= 0) {
            ASSERT_TRUE(Run({}));
            EXPECT_EQ(frm->KeyDelay(), c.delay);
            continue;
        }
        EXPECT_FALSE(Run({}));
        ExpectOneBox("Neplatná prodleva mezi znaky '" + *c.value +
                         "' (LORVENT_KEY_DELAY_MS): zadejte celý počet milisekund od 0 do 1000",
                     "Chyba", TMessageIcon::None);
        EXPECT_EQ(frm->Engine(), nullptr);
        EXPECT_TRUE(Run({"-net"})) << "attendance mode types nothing";
    }
}

TEST_F(StartUpTest, LibraryFailureShowsItsMessageInTheErrorBox) {
    auto services = Services();
    services.makeProtocol = []() -> std::unique_ptr<TProtocol> {
        throw std::runtime_error("Unable to create directory");
    };
    frm = std::make_unique<TMainFrm>(services);
    EXPECT_FALSE(StartUp(*frm, {}, boxes, errors));
    ExpectOneBox("Unable to create directory.", "Lorvent karet", TMessageIcon::Error);
}

TEST_F(StartUpTest, UnknownFailureShowsAnEmptyErrorBox) {
    auto services = Services();
    services.makeProtocol = []() -> std::unique_ptr<TProtocol> { throw 42; };
    frm = std::make_unique<TMainFrm>(services);
    EXPECT_FALSE(StartUp(*frm, {}, boxes, errors));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "");
    EXPECT_EQ(boxes.shown[0].caption, "Lorvent karet");
    EXPECT_EQ(boxes.shown[0].icon, TMessageIcon::Error);
}

TEST(ErrorBoxText, FullStopOnlyAfterCharactersAboveIt) {
    EXPECT_EQ(ErrorBoxText(""), "");
    EXPECT_EQ(ErrorBoxText("Disk full"), "Disk full.");
    EXPECT_EQ(ErrorBoxText("Done."), "Done.");
    EXPECT_EQ(ErrorBoxText("Code (5)"), "Code (5)"); // ')' is below '.'
    EXPECT_EQ(ErrorBoxText("Path a/"), "Path a/.");  // '/' is above '.'
    EXPECT_EQ(ErrorBoxText("a-"), "a-");             // '-' is below '.'
    EXPECT_EQ(ErrorBoxText("Chyba č"), "Chyba č.");  // non-ASCII ends above it
}

// A failure after the engine thread started: the thread is stopped and joined
// when the window goes, with the reader object gone first.
TEST_F(StartUpTest, FailureAfterTheEngineStartedStopsItsThread) {
    startEngineThread = true;
    bool deviceClosed = false;
    auto services = Services();
    auto make = services.makeProtocol;
    services.makeProtocol = [&] {
        auto engine = make();
        device->onClose = [&] { deviceClosed = true; };
        return engine;
    };
    std::ofstream(temp.Path() / "file") << "x";
    frm = std::make_unique<TMainFrm>(services);
    EXPECT_FALSE(
        StartUp(*frm, {"-net", "-db", (temp.Path() / "file" / "k.db").string()}, boxes, errors));
    ASSERT_NE(frm->Engine(), nullptr);
    ASSERT_NE(frm->ReaderDevice(), nullptr);
    frm.reset(); // returns only once the thread has ended and the engine is gone
    EXPECT_TRUE(deviceClosed);
}

} // namespace
} // namespace lorvent::testing
