// lorventd as the service manager runs it, with no display: the reader
// simulator on a pseudo-terminal, kalvinor-server on loopback, the journal
// read from its standard error and its notifications from a datagram socket
// of the test's own in NOTIFY_SOCKET.
#include <gtest/gtest.h>

#include "support/notify_socket.h"
#include "support/program_rig.h"
#include "support/wait.h"

#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>

namespace lorvent::testing {
namespace {

// The next journal line of `program` that begins with `prefix`.
std::string JournalOf(TChildProcess& program, const std::string& prefix,
                      std::chrono::seconds patience = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (const auto line =
               program.ReadStderrLine(std::chrono::duration_cast<std::chrono::milliseconds>(
                   deadline - std::chrono::steady_clock::now())))
        if (line->rfind(prefix, 0) == 0)
            return *line;
    return "(nothing: " + prefix + ")";
}

class DaemonTest : public ::testing::Test {
protected:
    void StartDaemon(const std::vector<std::string>& arguments, const TEnv& env = {}) {
        TEnv all = {{"NOTIFY_SOCKET", manager.Address()},
                    {"WATCHDOG_USEC", "2000000"},
                    {"STATE_DIRECTORY", StateDirectory()}};
        all.insert(all.end(), env.begin(), env.end());
        daemon = rig.StartProgram(Programs().lorventd, {arguments, {}, all, false});
    }
    // The server there a moment ago and now gone: every upload fails.
    std::string PortOfAStoppedServer() {
        const auto port = rig.StartServer();
        rig.server->Signal(SIGTERM);
        EXPECT_EQ(rig.server->Wait(20s), 0);
        return port ? std::to_string(*port) : std::string();
    }

    // The next journal line that begins with `prefix`.
    std::string Journal(const std::string& prefix, std::chrono::seconds patience = 20s) {
        return JournalOf(*daemon, prefix, patience);
    }
    std::string StateDirectory() const { return rig.File("state").string(); }
    std::string StateDataFile() const { return StateDirectory() + "/kalvinor.db"; }
    static std::string Bytes(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }
    std::string Stored() {
        std::string rows;
        for (const auto& line : rig.ListStored().records)
            rows += line + "\n";
        return rows;
    }

    // A read an upload tick already took to the file proves nothing: reads go
    // on until one is shown while the data file is still empty. Its number,
    // or empty when every read was taken by a tick first.
    std::string ReadShownBeforeAnyTick() {
        for (int card = 1; card <= 5; ++card) {
            char text[16];
            std::snprintf(text, sizeof text, "5a0000%02x", card);
            if (!rig.reader->Command(std::string("card ") + text) ||
                Journal("<6>").find(text) == std::string::npos)
                return {};
            if (rig.DataFileBytes().empty())
                return text;
            if (!WaitUntil([&] { return rig.DataFileBytes().find(text) != std::string::npos; }, 20s,
                           200ms))
                return {};
        }
        return {};
    }
    // Card numbers the data file holds more often than `allowed` says.
    std::vector<std::string> FiledTooOften(const std::function<int(const std::string&)>& allowed) {
        std::map<std::string, int> times;
        std::istringstream lines(rig.DataFileBytes());
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            ++times[line.substr(line.rfind(' ') + 1)];
        }
        std::vector<std::string> tooOften;
        for (const auto& [number, count] : times)
            if (count > allowed(number))
                tooOften.push_back(number + " " + std::to_string(count) + " times");
        return tooOften;
    }
    static std::string RecordsEndingWith(const std::string& number) {
        return R"((\d\d/\d\d/\d{4}-\d\d:\d\d 5a0000\w\w\r\n)*)"
               R"(\d\d/\d\d/\d{4}-\d\d:\d\d )" +
               number + "\r\n";
    }

    TProgramRig rig;
    TNotifySocket manager{rig.File("notify").string()};
    std::unique_ptr<TChildProcess> daemon;
};

TEST_F(DaemonTest, ReadsReachTheServerAndTheStateDirectorysDataFileWhenItIsDown) {
    const auto port = rig.StartServer();
    ASSERT_TRUE(port.has_value()) << rig.server->Stderr();
    ASSERT_TRUE(rig.StartReader()) << rig.reader->Stderr();
    StartDaemon({"-net"}, {{"LORVENT_SERVER_PORT", std::to_string(*port)}});
    EXPECT_EQ(Journal("<"), "<6>Kalvinor v1.6-ZMK(d2xx)");
    EXPECT_EQ(Journal("<"), "<6>Inicializace");
    ASSERT_EQ(Journal("<"), "<6>Ready") << daemon->Stderr();
    EXPECT_TRUE(manager.WaitFor("STATUS=Ready", 5s));
    EXPECT_EQ(manager.Texts("READY"), std::vector<std::string>{"READY=1"});
    EXPECT_EQ(manager.Texts("STATUS"),
              (std::vector<std::string>{"STATUS=Inicializace", "STATUS=Ready"}));

    ASSERT_TRUE(rig.reader->Command("card 12ab34cd"));
    const std::string row = Journal("<6>");
    EXPECT_TRUE(std::regex_match(row, std::regex(R"(<6>\d\d/\d\d/\d{4} \d\d:\d\d 12ab34cd)")))
        << row;
    EXPECT_TRUE(
        WaitUntil([&] { return Stored().find(" 12ab34cd\n") != std::string::npos; }, 20s, 200ms))
        << Stored();
    EXPECT_EQ(Bytes(StateDataFile()), "") << "a confirmed record is not kept";

    rig.server->Signal(SIGTERM);
    ASSERT_EQ(rig.server->Wait(20s), 0);
    ASSERT_TRUE(rig.reader->Command("card5 0a0b0c0d0e"));
    EXPECT_NE(Journal("<6>").find(" 0a0b0c0d0e"), std::string::npos);
    EXPECT_TRUE(WaitUntil([&] { return !Bytes(StateDataFile()).empty(); }, 20s, 200ms));
    EXPECT_TRUE(std::regex_match(Bytes(StateDataFile()),
                                 std::regex(R"(\d\d/\d\d/\d{4}-\d\d:\d\d 0a0b0c0d0e\r\n)")))
        << Bytes(StateDataFile());

    // The reader goes silent and comes back: a warning, then information.
    // The manager's queue holds ten datagrams: it is emptied first, as
    // systemd would have read it.
    manager.Collect(100ms);
    ASSERT_TRUE(rig.reader->Command("unplug 8s"));
    EXPECT_EQ(Journal("<", 40s), "<4>Nekomunikuje") << daemon->Stderr();
    EXPECT_EQ(Journal("<", 40s), "<6>Ready") << daemon->Stderr();
    EXPECT_TRUE(manager.WaitFor("STATUS=Nekomunikuje", 5s));
    EXPECT_TRUE(daemon->Running());
    EXPECT_NE(Bytes(rig.File("log.txt").string()).find("Slave wakes"), std::string::npos)
        << "the protocol log is in the working directory";
}

// The watchdog hears from the loop well within the manager's time-out, for
// as long as the program runs, also while every upload fails.
TEST_F(DaemonTest, WatchdogIsFedWithinTheManagersTimeOut) {
    const std::string port = PortOfAStoppedServer();
    ASSERT_TRUE(rig.StartReader()) << rig.reader->Stderr();
    StartDaemon({"-net"}, {{"LORVENT_SERVER_PORT", port}});
    ASSERT_TRUE(manager.WaitFor("READY=1", 20s)) << daemon->Stderr();
    ASSERT_TRUE(rig.reader->Command("card 12ab34cd"));
    const std::size_t before = manager.Received().size();
    manager.Collect(7s);
    std::vector<std::chrono::steady_clock::time_point> pings;
    for (std::size_t i = before; i < manager.Received().size(); ++i)
        if (manager.Received()[i].text == "WATCHDOG=1")
            pings.push_back(manager.Received()[i].arrived);
    ASSERT_GE(pings.size(), 4u);
    for (std::size_t i = 1; i < pings.size(); ++i)
        EXPECT_LT(pings[i] - pings[i - 1], 2s) << "ping " << i << " came after the time-out";
    EXPECT_NE(Bytes(StateDataFile()), "") << "an upload failed in the meantime";
}

// SIGTERM, as the service manager stops the service, runs the shut-down: a
// read that no upload tick has handled yet is written to the data file.
TEST_F(DaemonTest, SigtermKeepsTheQueuedRecord) {
    const std::string port = PortOfAStoppedServer();
    ASSERT_TRUE(rig.StartReader()) << rig.reader->Stderr();
    StartDaemon({"-net", "-db", rig.DataFile()}, {{"LORVENT_SERVER_PORT", port}});
    ASSERT_EQ(Journal("<6>Ready"), "<6>Ready") << daemon->Stderr();

    const std::string number = ReadShownBeforeAnyTick();
    ASSERT_FALSE(number.empty()) << "every read was taken by a tick before the signal";

    daemon->Signal(SIGTERM);
    EXPECT_EQ(daemon->Wait(30s), 0) << daemon->Stderr();
    EXPECT_EQ(Journal("<6>signal"), "<6>signal 15, shutting down");
    EXPECT_TRUE(manager.WaitFor("STOPPING=1", 5s));
    EXPECT_TRUE(std::regex_match(rig.DataFileBytes(), std::regex(RecordsEndingWith(number))))
        << rig.DataFileBytes();
    EXPECT_EQ(FiledTooOften([](const std::string&) { return 1; }), std::vector<std::string>{})
        << rig.DataFileBytes();
}

// A door terminal's power cut: SIGKILL leaves no shut-down to run, so a read
// shown but not yet handled by a tick lives only in the journal, and the
// next start puts it into the data file before it says Ready.
TEST_F(DaemonTest, SigkillLeavesTheShownReadToTheNextStart) {
    const std::string port = PortOfAStoppedServer();
    ASSERT_TRUE(rig.StartReader()) << rig.reader->Stderr();
    const std::vector<std::string> arguments = {"-net", "-db", rig.DataFile()};
    StartDaemon(arguments, {{"LORVENT_SERVER_PORT", port}});
    ASSERT_EQ(Journal("<6>Ready"), "<6>Ready") << daemon->Stderr();
    const std::string number = ReadShownBeforeAnyTick();
    ASSERT_FALSE(number.empty()) << "every read was taken by a tick before the kill";

    daemon->Signal(SIGKILL);
    daemon->Wait(30s);
    EXPECT_EQ(rig.DataFileBytes().find(number), std::string::npos) << rig.DataFileBytes();
    // Nothing writes the journal until the next start: this is the journal
    // at the moment of the kill.
    const std::string journalAtKill = Bytes(ComputerJournal(rig.DataFile()));
    EXPECT_NE(journalAtKill.find(number), std::string::npos);

    StartDaemon(arguments, {{"LORVENT_SERVER_PORT", port}});
    ASSERT_EQ(Journal("<6>Ready"), "<6>Ready") << daemon->Stderr();
    EXPECT_TRUE(std::regex_match(rig.DataFileBytes(), std::regex(RecordsEndingWith(number))))
        << rig.DataFileBytes();
    // A record the kill found in the journal may have reached the file
    // already (a tick's sync before the journal was emptied): the start files
    // it again. Any other record is filed once.
    EXPECT_EQ(FiledTooOften([&](const std::string& filed) {
                  return journalAtKill.find(filed) != std::string::npos ? 2 : 1;
              }),
              std::vector<std::string>{})
        << rig.DataFileBytes();
    daemon->Signal(SIGTERM);
    EXPECT_EQ(daemon->Wait(30s), 0) << daemon->Stderr();
}

// lorventd on a computer of its own: a UTS namespace named `host`, the
// reader of `on`, the working directory and state directory of `on`, a data
// file that other computers share. Root alone may make the namespace.
std::unique_ptr<TChildProcess> StartComputer(TProgramRig& on, const std::string& host,
                                             const std::string& dataFile, const std::string& port) {
    return on.StartProgram(
        "unshare", {{"--uts", "sh", "-c", R"(hostname "$0" && exec "$@")", host,
                     Programs().lorventd, "-net", "-db", dataFile},
                    {},
                    {{"STATE_DIRECTORY", on.File("state").string()}, {"LORVENT_SERVER_PORT", port}},
                    false});
}

// A card read on `reader`, shown by `program` and killed at once, before an
// upload tick took it out of the journal: true when the journal at the kill
// holds it (a tick that came first leaves it to the next card).
bool ReadAndKill(TProgramRig& reader, TChildProcess& program, const std::string& journal,
                 const std::string& number) {
    if (!reader.reader->Command("card " + number))
        return false;
    std::optional<std::string> line;
    do
        line = program.ReadStderrLine(20s);
    while (line && line->find(number) == std::string::npos);
    if (!line)
        return false;
    program.Signal(SIGKILL);
    program.Wait(30s);
    return FileBytes(journal).find(number) != std::string::npos;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// Two door terminals (two host names) on one data file in a shared folder:
// both start, every read reaches the server or the file, and each one killed
// with a read in its journal stores that read at its next start, leaving the
// other's journal alone.
TEST_F(DaemonTest, TwoComputersOnOneDataFileKeepAndRecoverTheirOwnReads) {
    if (geteuid() != 0)
        GTEST_SKIP() << "a UTS namespace of its own needs root";
    TProgramRig other;
    const auto port = rig.StartServer();
    ASSERT_TRUE(port.has_value()) << rig.server->Stderr();
    ASSERT_TRUE(rig.StartReader()) << rig.reader->Stderr();
    ASSERT_TRUE(other.StartReader()) << other.reader->Stderr();
    const std::string data = rig.File("shared/kalvinor.db").string();
    const std::string journalA = ComputerJournal(data, "pc-a");
    const std::string journalB = ComputerJournal(data, "PC.B");
    auto a = StartComputer(rig, "pc-a", data, std::to_string(*port));
    auto b = StartComputer(other, "PC.B", data, std::to_string(*port));
    ASSERT_EQ(JournalOf(*a, "<6>Ready"), "<6>Ready") << a->Stderr();
    ASSERT_EQ(JournalOf(*b, "<6>Ready"), "<6>Ready") << b->Stderr();
    EXPECT_TRUE(std::filesystem::exists(journalA));
    EXPECT_TRUE(std::filesystem::exists(data + ".pc_b.journal"));

    ASSERT_TRUE(rig.reader->Command("card 0a000001"));
    ASSERT_TRUE(other.reader->Command("card 0b000001"));
    EXPECT_TRUE(WaitUntil(
        [&] {
            return Count(Stored(), "0a000001") + Count(FileBytes(data), "0a000001") == 1 &&
                   Count(Stored(), "0b000001") + Count(FileBytes(data), "0b000001") == 1;
        },
        30s, 200ms))
        << Stored() << FileBytes(data);

    rig.server->Signal(SIGTERM);
    ASSERT_EQ(rig.server->Wait(20s), 0);
    std::string readB, readA;
    for (int card = 2; card <= 5 && readB.empty(); ++card) {
        const std::string number = "0b00000" + std::to_string(card);
        if (ReadAndKill(other, *b, journalB, number))
            readB = number;
        else if (b = StartComputer(other, "PC.B", data, std::to_string(*port));
                 JournalOf(*b, "<6>Ready") != "<6>Ready")
            break;
    }
    for (int card = 2; card <= 5 && readA.empty(); ++card) {
        const std::string number = "0a00000" + std::to_string(card);
        if (ReadAndKill(rig, *a, journalA, number))
            readA = number;
        else if (a = StartComputer(rig, "pc-a", data, std::to_string(*port));
                 JournalOf(*a, "<6>Ready") != "<6>Ready")
            break;
    }
    ASSERT_FALSE(readA.empty() || readB.empty()) << "every read was taken by a tick first";
    const std::string journalOfB = FileBytes(journalB);
    const std::string filedA = FileBytes(data);

    a = StartComputer(rig, "pc-a", data, std::to_string(*port));
    ASSERT_EQ(JournalOf(*a, "<6>Ready"), "<6>Ready") << a->Stderr();
    EXPECT_EQ(Count(FileBytes(data), readA), Count(filedA, readA) + 1) << FileBytes(data);
    EXPECT_EQ(FileBytes(journalA), "");
    EXPECT_EQ(FileBytes(journalB), journalOfB) << "the other computer's journal";
    EXPECT_EQ(Count(FileBytes(data), readB), Count(filedA, readB)) << FileBytes(data);

    b = StartComputer(other, "PC.B", data, std::to_string(*port));
    ASSERT_EQ(JournalOf(*b, "<6>Ready"), "<6>Ready") << b->Stderr();
    EXPECT_EQ(Count(FileBytes(data), readB), Count(filedA, readB) + 1) << FileBytes(data);
    EXPECT_EQ(Count(FileBytes(data), readA), Count(filedA, readA) + 1) << FileBytes(data);
    EXPECT_EQ(FileBytes(journalB), "");
}

// An administrator made the data file and lets the user write it, but not
// create files in its folder: lorventd, run as that user, starts with its
// journal in its state directory, says so, and a kill after a read loses
// nothing.
TEST_F(DaemonTest, AFolderWithoutCreateRightsKeepsTheJournalInTheStateDirectory) {
    if (geteuid() != 0)
        GTEST_SKIP() << "running lorventd as another user needs root";
    const std::string port = PortOfAStoppedServer();
    const std::filesystem::path shared = rig.File("shared"), state = rig.File("state"),
                                work = rig.File("work");
    for (const auto& folder : {shared, state, work})
        std::filesystem::create_directories(folder);
    const std::string data = (shared / "kalvinor.db").string();
    std::ofstream(data).close();
    using std::filesystem::perms;
    std::filesystem::permissions(rig.Dir(),
                                 perms::owner_all | perms::group_exec | perms::others_exec);
    std::filesystem::permissions(data, perms::owner_read | perms::owner_write | perms::others_read |
                                           perms::others_write);
    for (const auto& folder : {state, work})
        ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
    // A reader of its own for each start: a tty that a killed program held
    // stays exclusive (TIOCEXCL) to everybody but root while the simulator
    // holds it open. Its pty is given to the user.
    const auto start = [&] {
        EXPECT_TRUE(rig.StartReader()) << rig.reader->Stderr();
        std::filesystem::permissions(std::filesystem::canonical(rig.ReaderLink()),
                                     perms::owner_read | perms::owner_write | perms::others_read |
                                         perms::others_write);
        return rig.StartProgram(
            "setpriv",
            {{"--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c",
              R"(cd "$0" && exec "$@")", work.string(), Programs().lorventd, "-net", "-db", data},
             {},
             {{"STATE_DIRECTORY", state.string()}, {"LORVENT_SERVER_PORT", port}},
             false});
    };
    daemon = start();
    ASSERT_EQ(Journal("<6>Ready"), "<6>Ready") << daemon->Stderr() << FileBytes(work / "log.txt");
    std::vector<std::filesystem::path> journals;
    for (const auto& entry : std::filesystem::directory_iterator(state))
        journals.push_back(entry.path());
    ASSERT_EQ(journals.size(), 1u);
    const std::string journal = journals.front().string();
    EXPECT_EQ(journals.front().filename().string().rfind("kalvinor.db-", 0), 0u) << journal;
    EXPECT_FALSE(std::filesystem::exists(ComputerJournal(data)));
    EXPECT_EQ(Count(daemon->Stderr(), "it is kept as " + journal), 1u) << daemon->Stderr();
    EXPECT_EQ(Count(FileBytes(work / "log.txt"), "it is kept as " + journal), 1u)
        << FileBytes(work / "log.txt");

    std::string number;
    for (int card = 1; card <= 5 && number.empty(); ++card) {
        const std::string candidate = "5a0000c" + std::to_string(card);
        if (ReadAndKill(rig, *daemon, journal, candidate))
            number = candidate;
        else if (daemon = start(); Journal("<6>Ready") != "<6>Ready")
            break;
    }
    ASSERT_FALSE(number.empty()) << "every read was taken by a tick before the kill";
    const std::size_t filedBefore = Count(FileBytes(data), number);
    daemon = start();
    ASSERT_EQ(Journal("<6>Ready"), "<6>Ready") << daemon->Stderr();
    EXPECT_EQ(Count(FileBytes(data), number), filedBefore + 1) << FileBytes(data);
    EXPECT_EQ(FileBytes(journal), "");
    daemon->Signal(SIGTERM);
    EXPECT_EQ(daemon->Wait(30s), 0) << daemon->Stderr();
}

struct TFailureCase {
    const char* name;
    std::vector<std::string> arguments;
    bool portOpens;
    const char* message; // "@" is the test's directory
};

class DaemonFailure : public DaemonTest, public ::testing::WithParamInterface<TFailureCase> {};

// A failed start-up is one error line and a status for the manager, never
// READY=1, and a failure status, so that Restart=on-failure tries again.
TEST_P(DaemonFailure, IsOneErrorLineAndNoReadiness) {
    const std::string directory = rig.Dir().string();
    std::ofstream(rig.Dir() / "file") << "x";
    auto substituted = [&](std::string text) {
        for (auto at = text.find('@'); at != std::string::npos; at = text.find('@'))
            text.replace(at, 1, directory);
        return text;
    };
    std::vector<std::string> arguments;
    for (const auto& argument : GetParam().arguments)
        arguments.push_back(substituted(argument));
    TEnv env;
    if (GetParam().portOpens) {
        ASSERT_TRUE(rig.StartReader()) << rig.reader->Stderr();
    } else {
        env.push_back({"LORVENT_SERIAL", directory + "/no-such-port"});
    }
    StartDaemon(arguments, env);

    EXPECT_EQ(daemon->Wait(20s), 1);
    const std::string message = substituted(GetParam().message);
    // Whatever start-up showed before it failed is information; the failure
    // is the one error line, and the last.
    const std::string journal = daemon->Stderr();
    EXPECT_TRUE(std::regex_match(journal, std::regex("(<6>[^\n]*\n)*<3>[^\n]*\n"))) << journal;
    EXPECT_EQ(journal.substr(journal.rfind("<3>")), "<3>" + message + "\n");
    manager.Collect(300ms);
    EXPECT_EQ(manager.Texts("READY"), std::vector<std::string>{});
    EXPECT_EQ(manager.Texts("STATUS=").back(), "STATUS=" + message);
}

const TFailureCase kFailures[] = {
    {"keyboard",
     {},
     true,
     "Bez displeje nelze psát čísla karet: lorventd běží jen v režimu docházky (-net)"},
    {"keyb",
     {"-net", "/KEYB"},
     true,
     "Bez displeje nelze psát čísla karet: lorventd běží jen v režimu docházky (-net)"},
    {"argument", {"net"}, false, "Neplatný argument 'net'"},
    {"port", {"-net", "-com", "COM1"}, false, "Nepodařilo se otevřít sériový port 'COM1'"},
    {"directory",
     {"-net", "-db", "@/file/sub/k.db"},
     true,
     "Nepodařilo se vytvořit adresář '@/file/sub'"},
};

INSTANTIATE_TEST_SUITE_P(Messages, DaemonFailure, ::testing::ValuesIn(kFailures),
                         [](const auto& param) { return std::string(param.param.name); });

} // namespace
} // namespace lorvent::testing
