// The termios backend over real pseudo-terminals: which port is device 0,
// the line settings, bytes both ways, time-outs, exclusive use, unplug and replug.

#include "device/serial_port_linux.h"
#include "support/pty_line.h"
#include "support/read_to_end.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <functional>
#include <numeric>
#include <sstream>
#include <thread>

#include <grp.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>

namespace lorvent {
namespace {

using namespace std::chrono_literals;
using testing::TPtyLine;
using testing::TScopedEnv;
using testing::TTempDir;
using Bytes = std::vector<std::uint8_t>;

constexpr char kEnv[] = "LORVENT_SERIAL";

// A device whose own port search finds nothing, so only the variable counts.
std::unique_ptr<TD2xxDevice> DeviceWithoutPorts(const TTempDir& dir) {
    return MakeSerialPortDevice({kEnv, {(dir.Path() / "no-port-here*").string()}});
}

template <typename F> std::chrono::milliseconds Timed(F work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

Bytes AllByteValues() {
    Bytes bytes(256);
    std::iota(bytes.begin(), bytes.end(), 0);
    return bytes;
}

// ---- Which port is device 0 ---------------------------------------------------

struct SelectionCase {
    const char* name;
    std::optional<std::string> env;
    std::vector<std::string> files; // created under the test's directory
    int index;
    std::optional<std::string> expected; // relative to the directory unless absolute
};

void PrintTo(const SelectionCase& c, std::ostream* out) {
    *out << c.name;
}

class PortSelection : public ::testing::TestWithParam<SelectionCase> {};

TEST_P(PortSelection, FindsTheExpectedPath) {
    const SelectionCase& c = GetParam();
    TTempDir dir;
    std::filesystem::create_directory(dir.Path() / "by-id");
    for (const auto& file : c.files)
        std::ofstream(dir.Path() / file).put('x');
    TScopedEnv env(kEnv, c.env);
    const TSerialPortSearch search{
        kEnv, {(dir.Path() / "by-id/*FTDI*").string(), (dir.Path() / "ttyUSB*").string()}};

    const auto found = FindSerialPort(c.index, search);

    std::optional<std::string> expected = c.expected;
    if (expected && expected->front() != '/')
        expected = (dir.Path() / *expected).string();
    EXPECT_EQ(found, expected);
}

const std::vector<std::string> kAllKinds = {"by-id/usb-FTDI_FT232R_A1-if00-port0", "ttyUSB0"};

INSTANTIATE_TEST_SUITE_P(
    Device0, PortSelection,
    ::testing::Values(
        SelectionCase{"VariableWinsOverPorts", "/line/one", kAllKinds, 0, "/line/one"},
        SelectionCase{"FirstOfColonList", "/line/one:/line/two", {}, 0, "/line/one"},
        SelectionCase{"EmptyEntriesSkipped", "::/line/two:", {}, 0, "/line/two"},
        SelectionCase{"EmptyVariableFallsBack", "", {"ttyUSB0"}, 0, "ttyUSB0"},
        SelectionCase{"FtdiByIdBeforeTtyUsb", std::nullopt, kAllKinds, 0, kAllKinds[0]},
        SelectionCase{"OtherMakersByIdIgnored",
                      std::nullopt,
                      {"by-id/usb-Prolific_PL2303-if00-port0", "ttyUSB1"},
                      0,
                      "ttyUSB1"},
        SelectionCase{"ByIdInSortedOrder",
                      std::nullopt,
                      {"by-id/usb-FTDI_B-if00-port0", "by-id/usb-FTDI_A-if00-port0"},
                      0,
                      "by-id/usb-FTDI_A-if00-port0"},
        SelectionCase{"TtyUsbInNaturalOrder", std::nullopt, {"ttyUSB10", "ttyUSB2"}, 0, "ttyUSB2"},
        SelectionCase{"NothingThere", std::nullopt, {}, 0, std::nullopt},
        SelectionCase{"OnlyIndexZeroExists", "/line/one", kAllKinds, 1, std::nullopt},
        SelectionCase{"NegativeIndex", std::nullopt, kAllKinds, -1, std::nullopt}),
    [](const auto& param) { return std::string(param.param.name); });

// ---- Opening what is not a usable port ------------------------------------------

TEST(SerialPortOpen, FailsClearlyWhenThereIsNoUsablePort) {
    TTempDir dir;
    std::ofstream(dir.Path() / "plain-file").put('x');
    TPtyLine line;
    struct Case {
        const char* what;
        std::optional<std::string> env;
        int index;
        FT_STATUS expected;
    };
    const Case cases[] = {
        {"no variable, no ports", std::nullopt, 0, FT_DEVICE_NOT_FOUND},
        {"missing path", (dir.Path() / "gone").string(), 0, FT_DEVICE_NOT_FOUND},
        {"regular file", (dir.Path() / "plain-file").string(), 0, FT_DEVICE_NOT_OPENED},
        {"directory", dir.Path().string(), 0, FT_DEVICE_NOT_OPENED},
        {"index 1 of a live port", line.SlavePath(), 1, FT_DEVICE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TScopedEnv env(kEnv, c.env);
        auto device = DeviceWithoutPorts(dir);
        int marker = 0;
        FT_HANDLE handle = &marker;
        EXPECT_EQ(device->FT_Open(c.index, &handle), c.expected);
        EXPECT_EQ(handle, nullptr);
    }
}

// ---- An open port ----------------------------------------------------------------

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        line_ = std::make_unique<TPtyLine>();
        PointLinkAt(line_->SlavePath());
    }

    std::filesystem::path LinkPath() const { return dir_.Path() / "port"; }

    // Re-points the stable path at a line, as udev does for a replugged adapter.
    void PointLinkAt(const std::string& target) const {
        sim::cli::PointLink(LinkPath().string(), target);
    }

    // Opens and configures the port the way the engine does.
    FT_HANDLE OpenConfigured(std::uint32_t readTimeoutMs = 50, std::uint32_t writeTimeoutMs = 100) {
        FT_HANDLE handle = nullptr;
        EXPECT_EQ(device_->FT_Open(0, &handle), FT_OK);
        EXPECT_EQ(device_->FT_SetBaudRate(handle, 9600), FT_OK);
        EXPECT_EQ(device_->FT_SetDataCharacteristics(handle, 8, 0, 0), FT_OK);
        EXPECT_EQ(device_->FT_SetFlowControl(handle, 0, 0, 0), FT_OK);
        EXPECT_EQ(device_->FT_SetTimeouts(handle, readTimeoutMs, writeTimeoutMs), FT_OK);
        return handle;
    }

    struct ReadResult {
        FT_STATUS status;
        Bytes bytes;
    };
    ReadResult Read(FT_HANDLE handle, std::uint32_t length) const {
        Bytes bytes(length);
        std::uint32_t count = 12345;
        const FT_STATUS status = device_->FT_Read(handle, bytes.data(), length, &count);
        EXPECT_LE(count, length);
        bytes.resize(std::min(count, length));
        return {status, bytes};
    }

    FT_STATUS Write(FT_HANDLE handle, const Bytes& bytes) const {
        std::uint32_t count = 0;
        const FT_STATUS status = device_->FT_Write(
            handle, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &count);
        if (status == FT_OK) {
            EXPECT_EQ(count, bytes.size());
        }
        return status;
    }

    termios LineSettings() const {
        termios settings{};
        EXPECT_EQ(tcgetattr(line_->SlaveFd(), &settings), 0);
        return settings;
    }

    TTempDir dir_;
    TScopedEnv env_{kEnv, LinkPath().string()};
    std::unique_ptr<TD2xxDevice> device_ = DeviceWithoutPorts(dir_);
    std::unique_ptr<TPtyLine> line_;
};

TEST_F(SerialPortTest, OpenMakesTheLineRaw9600WithoutFlowControlAndExclusive) {
    line_->MakeCooked();
    FT_HANDLE handle = OpenConfigured();

    const termios s = LineSettings();
    EXPECT_EQ(s.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(s.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP), 0u);
    EXPECT_EQ(s.c_oflag & OPOST, 0u);
    EXPECT_EQ(s.c_cflag & (CRTSCTS | CSTOPB | PARENB), 0u);
    EXPECT_EQ(s.c_cflag & (CLOCAL | CREAD), CLOCAL | CREAD);
    EXPECT_EQ(s.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(cfgetispeed(&s), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&s), static_cast<speed_t>(B9600));

    int exclusive = -1;
    ASSERT_EQ(ioctl(line_->SlaveFd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    EXPECT_EQ(device_->FT_Close(handle), FT_OK);
    ASSERT_EQ(ioctl(line_->SlaveFd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "a closed port must not stay exclusive";
}

TEST_F(SerialPortTest, EveryByteValuePassesUnchangedBothWaysWithoutEcho) {
    line_->MakeCooked();
    FT_HANDLE handle = OpenConfigured(2000);

    ASSERT_EQ(Write(handle, AllByteValues()), FT_OK);
    EXPECT_EQ(line_->Receive(256, 2s), AllByteValues());

    line_->Send(AllByteValues());
    const ReadResult got = Read(handle, 256);
    EXPECT_EQ(got.status, FT_OK);
    EXPECT_EQ(got.bytes, AllByteValues());
    EXPECT_TRUE(line_->Receive(1, 50ms).empty()) << "the port echoed what it received";
}

TEST_F(SerialPortTest, ReadTimesOutWithNothingAsSuccessWithNoBytes) {
    FT_HANDLE handle = OpenConfigured(50);
    ReadResult got;
    const auto elapsed = Timed([&] { got = Read(handle, 1); });
    EXPECT_EQ(got.status, FT_OK);
    EXPECT_TRUE(got.bytes.empty());
    EXPECT_GE(elapsed, 45ms);
    EXPECT_LT(elapsed, 2s);
}

TEST_F(SerialPortTest, ReadCollectsBytesArrivingInPiecesAndReturnsOnceAllAreThere) {
    FT_HANDLE handle = OpenConfigured(60000);
    std::thread reader([&] {
        line_->Send({0xC0, 0x01});
        std::this_thread::sleep_for(30ms);
        line_->Send({0x02, 0xC1});
    });
    ReadResult got;
    const auto elapsed = Timed([&] { got = Read(handle, 4); });
    reader.join();
    EXPECT_EQ(got.status, FT_OK);
    EXPECT_EQ(got.bytes, (Bytes{0xC0, 0x01, 0x02, 0xC1}));
    EXPECT_LT(elapsed, 30s) << "the read waited for its time-out";
}

TEST_F(SerialPortTest, ReadReturnsWhatCameWhenTheTimeOutEnds) {
    FT_HANDLE handle = OpenConfigured(100);
    line_->Send({0x11, 0x13, 0x7D});
    ReadResult got;
    const auto elapsed = Timed([&] { got = Read(handle, 10); });
    EXPECT_EQ(got.status, FT_OK);
    EXPECT_EQ(got.bytes, (Bytes{0x11, 0x13, 0x7D}));
    EXPECT_GE(elapsed, 90ms);
    EXPECT_LT(elapsed, 3s);
}

TEST_F(SerialPortTest, BytesLeftFromBeforeTheOpenAreDiscarded) {
    line_->Send({0xC0, 0x01, 0xC1});
    int queued = 0;
    for (int i = 0; i < 100 && queued < 3; ++i) {
        std::this_thread::sleep_for(1ms);
        ioctl(line_->SlaveFd(), FIONREAD, &queued);
    }
    ASSERT_EQ(queued, 3);
    FT_HANDLE handle = OpenConfigured(50);
    EXPECT_TRUE(Read(handle, 3).bytes.empty());
}

void IgnoreSignal(int) {}

TEST_F(SerialPortTest, SignalsDoNotCutTheReadTimeOutShort) {
    struct sigaction action {};
    action.sa_handler = IgnoreSignal; // no SA_RESTART: poll() sees EINTR
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    FT_HANDLE handle = OpenConfigured(150);
    const pthread_t self = pthread_self();
    std::atomic<bool> reading{true};
    std::thread interrupter([&] {
        while (reading) {
            pthread_kill(self, SIGUSR1);
            std::this_thread::sleep_for(5ms);
        }
    });
    ReadResult got;
    const auto elapsed = Timed([&] { got = Read(handle, 1); });
    reading = false;
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(got.status, FT_OK);
    EXPECT_TRUE(got.bytes.empty());
    EXPECT_GE(elapsed, 140ms);
}

TEST_F(SerialPortTest, WriteGivesUpAtItsTimeOutAndReportsWhatWentOut) {
    FT_HANDLE handle = OpenConfigured(50, 50);
    Bytes big(256 * 1024);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i * 7);
    std::uint32_t count = 0;
    FT_STATUS status = FT_OTHER_ERROR;
    // Nobody reads the far end, so the line's buffer fills up.
    const auto elapsed = Timed([&] {
        status =
            device_->FT_Write(handle, big.data(), static_cast<std::uint32_t>(big.size()), &count);
    });
    EXPECT_EQ(status, FT_OK);
    EXPECT_GT(count, 0u);
    EXPECT_LT(count, big.size());
    EXPECT_GE(elapsed, 45ms);
    EXPECT_LT(elapsed, 3s);
    const Bytes arrived = line_->Receive(big.size(), 500ms);
    EXPECT_EQ(arrived, Bytes(big.begin(), big.begin() + count));
}

TEST_F(SerialPortTest, LineSettingsAcceptedOrRejected) {
    FT_HANDLE handle = OpenConfigured();
    struct Case {
        std::uint32_t baud;
        FT_STATUS expected;
        speed_t speedAfter;
    };
    const Case bauds[] = {
        {115200, FT_OK, B115200},
        {300, FT_OK, B300},
        {9600, FT_OK, B9600},
        {0, FT_INVALID_BAUD_RATE, B9600},
        {9601, FT_INVALID_BAUD_RATE, B9600},
        {12345, FT_INVALID_BAUD_RATE, B9600},
        {4000000000u, FT_INVALID_BAUD_RATE, B9600},
    };
    for (const Case& c : bauds) {
        SCOPED_TRACE(c.baud);
        EXPECT_EQ(device_->FT_SetBaudRate(handle, c.baud), c.expected);
        const termios settings = LineSettings();
        EXPECT_EQ(cfgetospeed(&settings), c.speedAfter);
    }

    // A pseudo-terminal keeps CSTOPB and PARODD as set (it forces CS8 and no PARENB).
    struct Framing {
        std::uint8_t bits, stops, parity;
        FT_STATUS expected;
        tcflag_t flagsAfter; // of CSTOPB | PARODD
    };
    const Framing framings[] = {
        {8, 2, 0, FT_OK, CSTOPB},
        {8, 0, 1, FT_OK, PARODD},
        {7, 0, 2, FT_OK, 0},
        {8, 2, 1, FT_OK, CSTOPB | PARODD},
        {9, 0, 0, FT_INVALID_PARAMETER, CSTOPB | PARODD},
        {8, 1, 0, FT_INVALID_PARAMETER, CSTOPB | PARODD},
        {8, 0, 5, FT_INVALID_PARAMETER, CSTOPB | PARODD},
        {8, 0, 0, FT_OK, 0},
    };
    for (const Framing& f : framings) {
        SCOPED_TRACE(::testing::Message()
                     << int(f.bits) << " " << int(f.stops) << " " << int(f.parity));
        EXPECT_EQ(device_->FT_SetDataCharacteristics(handle, f.bits, f.stops, f.parity),
                  f.expected);
        EXPECT_EQ(LineSettings().c_cflag & (CSTOPB | PARODD), f.flagsAfter);
    }

    EXPECT_EQ(device_->FT_SetFlowControl(handle, 0x0100, 0x11, 0x13), FT_INVALID_PARAMETER);
}

// ---- Exclusive use -----------------------------------------------------------------

// Tries to open device 0 in a child process; its status is the exit code.
FT_STATUS OpenInAnotherProcess(const TTempDir& dir) {
    const pid_t child = fork();
    if (child == 0) {
        auto device = DeviceWithoutPorts(dir);
        FT_HANDLE handle = nullptr;
        _exit(static_cast<int>(device->FT_Open(0, &handle)));
    }
    int wstatus = 0;
    waitpid(child, &wstatus, 0);
    return WIFEXITED(wstatus) ? static_cast<FT_STATUS>(WEXITSTATUS(wstatus)) : FT_OTHER_ERROR;
}

TEST_F(SerialPortTest, ASecondOpenFailsUntilTheFirstIsClosed) {
    struct Case {
        const char* who;
        bool samePath;
        std::function<FT_STATUS()> open;
    };
    std::unique_ptr<TD2xxDevice> other = DeviceWithoutPorts(dir_);
    std::vector<FT_HANDLE> toClose;
    auto openWith = [&](TD2xxDevice& device) {
        FT_HANDLE handle = nullptr;
        const FT_STATUS status = device.FT_Open(0, &handle);
        EXPECT_EQ(status == FT_OK, handle != nullptr);
        if (handle)
            device.FT_Close(handle);
        return status;
    };
    const Case cases[] = {
        {"the same device", true, [&] { return openWith(*device_); }},
        {"another device, by the pts path", false, [&] { return openWith(*other); }},
        {"another process", true, [&] { return OpenInAnotherProcess(dir_); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.who);
        FT_HANDLE first = OpenConfigured();
        TScopedEnv path(kEnv, c.samePath ? LinkPath().string() : line_->SlavePath());
        EXPECT_EQ(c.open(), FT_DEVICE_NOT_OPENED);
        EXPECT_EQ(Write(first, {0x42}), FT_OK) << "the refused open disturbed the first";
        EXPECT_EQ(line_->Receive(1, 1s), Bytes{0x42});
        EXPECT_EQ(device_->FT_Close(first), FT_OK);
        EXPECT_EQ(c.open(), FT_OK) << "closing did not release the port";
    }
}

TEST_F(SerialPortTest, DestroyingTheDeviceReleasesItsPorts) {
    OpenConfigured();
    device_.reset();
    EXPECT_EQ(OpenInAnotherProcess(dir_), FT_OK);
}

// ---- Unplug and replug ---------------------------------------------------------------

TEST_F(SerialPortTest, UnpluggedPortFailsAtOnceAndKeepsFailing) {
    FT_HANDLE handle = OpenConfigured(60000);
    line_->Unplug();
    for (int attempt = 0; attempt < 2; ++attempt) {
        SCOPED_TRACE(attempt);
        ReadResult got;
        const auto elapsed = Timed([&] { got = Read(handle, 1); });
        EXPECT_NE(got.status, FT_OK);
        EXPECT_LT(elapsed, 30s) << "the hang-up was taken for silence";
        EXPECT_NE(Write(handle, {0x01}), FT_OK);
    }
}

TEST_F(SerialPortTest, UnplugWhileAReadWaitsEndsTheReadWithAFailure) {
    FT_HANDLE handle = OpenConfigured(60000);
    std::thread puller([&] {
        std::this_thread::sleep_for(50ms);
        line_->Unplug();
    });
    ReadResult got;
    const auto elapsed = Timed([&] { got = Read(handle, 1); });
    puller.join();
    EXPECT_EQ(got.status, FT_IO_ERROR);
    EXPECT_LT(elapsed, 30s) << "the unplug was taken for silence";
}

TEST_F(SerialPortTest, RepluggedPortIsFoundAgainAndCarriesData) {
    FT_HANDLE handle = OpenConfigured();
    // udev takes the node away with the adapter; a link left dangling would
    // name a terminal number that any other test's pseudo-terminal may take.
    std::filesystem::remove(LinkPath());
    line_->Unplug();
    EXPECT_NE(Read(handle, 1).status, FT_OK);
    EXPECT_EQ(device_->FT_Close(handle), FT_OK);
    FT_HANDLE none = nullptr;
    EXPECT_EQ(device_->FT_Open(0, &none), FT_DEVICE_NOT_FOUND) << "the adapter is gone";

    line_ = std::make_unique<TPtyLine>();
    PointLinkAt(line_->SlavePath());
    handle = OpenConfigured(1000);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(Write(handle, {0xC0, 0x05, 0xC1}), FT_OK);
    EXPECT_EQ(line_->Receive(3, 1s), (Bytes{0xC0, 0x05, 0xC1}));
    line_->Send({0xC0, 0x06, 0xC1});
    EXPECT_EQ(Read(handle, 3).bytes, (Bytes{0xC0, 0x06, 0xC1}));
}

// ---- Bad handles and arguments ---------------------------------------------------------

TEST_F(SerialPortTest, NullAndClosedHandlesAndBadArgumentsAreRefused) {
    FT_HANDLE closed = OpenConfigured();
    // A second line, opened before the first closes, so its handle is another address.
    TPtyLine secondLine;
    TScopedEnv second(kEnv, secondLine.SlavePath());
    FT_HANDLE open = OpenConfigured();
    ASSERT_EQ(device_->FT_Close(closed), FT_OK);
    std::uint8_t byte = 0;
    std::uint32_t count = 99;
    using Call = std::function<FT_STATUS(FT_HANDLE)>;
    const std::pair<const char*, Call> calls[] = {
        {"FT_Close", [&](FT_HANDLE h) { return device_->FT_Close(h); }},
        {"FT_Read", [&](FT_HANDLE h) { return device_->FT_Read(h, &byte, 1, &count); }},
        {"FT_Write", [&](FT_HANDLE h) { return device_->FT_Write(h, &byte, 1, &count); }},
        {"FT_SetBaudRate", [&](FT_HANDLE h) { return device_->FT_SetBaudRate(h, 9600); }},
        {"FT_SetDataCharacteristics",
         [&](FT_HANDLE h) { return device_->FT_SetDataCharacteristics(h, 8, 0, 0); }},
        {"FT_SetFlowControl", [&](FT_HANDLE h) { return device_->FT_SetFlowControl(h, 0, 0, 0); }},
        {"FT_SetTimeouts", [&](FT_HANDLE h) { return device_->FT_SetTimeouts(h, 50, 100); }},
    };
    for (const auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        EXPECT_EQ(call(nullptr), FT_INVALID_HANDLE);
        EXPECT_EQ(call(closed), FT_INVALID_HANDLE);
    }
    for (FT_HANDLE bad : {FT_HANDLE{}, closed}) {
        count = 99;
        device_->FT_Read(bad, &byte, 1, &count);
        EXPECT_EQ(count, 0u) << "a failed read left its count unset";
        count = 99;
        device_->FT_Write(bad, &byte, 1, &count);
        EXPECT_EQ(count, 0u) << "a failed write left its count unset";
    }

    EXPECT_EQ(device_->FT_Open(0, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(device_->FT_Read(open, &byte, 1, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(device_->FT_Write(open, &byte, 1, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(device_->FT_Read(open, nullptr, 1, &count), FT_INVALID_PARAMETER);
    EXPECT_EQ(device_->FT_Write(open, nullptr, 1, &count), FT_INVALID_PARAMETER);
    EXPECT_EQ(Write(open, {0x33}), FT_OK) << "the port is still usable";
}

// ---- A port the user may not open ----------------------------------------------------------

// What an open by a user without root's power to override file modes
// reports. Root (as CI runs) opens anything, so there the open is made in a
// child process that has become nobody; another user opens as itself.
struct TOpenAsUser {
    FT_STATUS status = FT_OTHER_ERROR;
    std::optional<TPortDenied> denied;
};

TOpenAsUser OpenWithoutOverride(TD2xxDevice& device) {
    int results[2];
    if (pipe(results) != 0)
        return {};
    const pid_t child = fork();
    if (child == 0) {
        close(results[0]);
        const bool dropped =
            getuid() != 0 || (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0);
        FT_HANDLE handle = nullptr;
        const FT_STATUS status = dropped ? device.FT_Open(0, &handle) : FT_OTHER_ERROR;
        const auto denied = device.OpenDenied();
        const std::string report = std::to_string(status) + "\n" +
                                   (denied ? "denied\n" + denied->path + "\n" + denied->group : "");
        [[maybe_unused]] const ssize_t written = write(results[1], report.data(), report.size());
        _exit(0);
    }
    close(results[1]);
    const std::string report = testing::ReadToEnd(results[0]);
    waitpid(child, nullptr, 0);

    std::istringstream lines(report);
    TOpenAsUser result;
    std::string line;
    if (std::getline(lines, line))
        result.status = static_cast<FT_STATUS>(std::stoul(line));
    if (std::getline(lines, line) && line == "denied") {
        result.denied.emplace();
        std::getline(lines, result.denied->path);
        std::getline(lines, result.denied->group);
    }
    return result;
}

std::string GroupOf(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        return "(no such file)";
    const group* entry = getgrgid(status.st_gid);
    return entry != nullptr ? entry->gr_name : std::to_string(status.st_gid);
}

// The port's mode shuts the user out, and the group it names is the one
// whose members may read and write it, or none when its mode grants its
// group nothing. A port that is not there is not reported as refused.
TEST_F(SerialPortTest, APortTheUserMayNotOpenIsReportedWithTheGroupThatMay) {
    const std::string port = line_->SlavePath();
    // The owner's bits shut out an ordinary user who owns the port, the
    // others' bits shut out nobody.
    const mode_t groupOnly = getuid() == 0 ? 0660 : 0060;
    const mode_t noGroup = getuid() == 0 ? 0600 : 0000;
    struct Case {
        const char* what;
        mode_t mode;
        std::string group;
    };
    const Case cases[] = {{"group may read and write", groupOnly, GroupOf(port)},
                          {"group may not", noGroup, ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(chmod(port.c_str(), c.mode), 0);
        const TOpenAsUser opened = OpenWithoutOverride(*device_);
        EXPECT_EQ(opened.status, FT_DEVICE_NOT_OPENED);
        ASSERT_TRUE(opened.denied.has_value());
        EXPECT_EQ(opened.denied->path, LinkPath().string());
        EXPECT_EQ(opened.denied->group, c.group);
    }

    ASSERT_EQ(chmod(port.c_str(), 0620), 0);
    const TOpenAsUser missing = [&] {
        TScopedEnv gone(kEnv, (dir_.Path() / "gone").string());
        return OpenWithoutOverride(*device_);
    }();
    EXPECT_EQ(missing.status, FT_DEVICE_NOT_FOUND);
    EXPECT_FALSE(missing.denied.has_value()) << "only a refusal is reported as one";
}

// ---- The platform's device ---------------------------------------------------------------

TEST_F(SerialPortTest, PlatformDeviceOpensThePortNamedInTheEnvironment) {
    auto device = MakePlatformDevice();
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(device->FT_Open(0, &handle), FT_OK);
    const std::uint8_t byte = 0x5A;
    std::uint32_t count = 0;
    EXPECT_EQ(device->FT_Write(handle, &byte, 1, &count), FT_OK);
    EXPECT_EQ(line_->Receive(1, 1s), Bytes{0x5A});
    EXPECT_EQ(device->FT_Close(handle), FT_OK);
}

} // namespace
} // namespace lorvent
