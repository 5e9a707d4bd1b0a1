// The built kalvinor-server as a child process, as a site would run it.
#include "app/tcpconn/tcp_conn.h"
#include "server/sqlite_record_store.h"
#include "server/web_crypto.h"
#include "support/child_process.h"
#include "support/test_certificate.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <regex>
#include <thread>

namespace lorvent {
namespace {

using namespace std::chrono_literals;
using testing::DatabaseRows;
using testing::TChildProcess;
using testing::TTempDir;

// kalvinor-server with its stdout and stderr on pipes to the test.
TChildProcess::TOptions Server(std::vector<std::string> arguments) {
    TChildProcess::TOptions options;
    options.argv = {KALVINOR_SERVER_PATH};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    return options;
}

// The next line on stdout or stderr, without its LF; "" after 10 s or at the end.
std::string StdoutLine(TChildProcess& server) {
    return server.ReadLine(10s).value_or("");
}
std::string StderrLine(TChildProcess& server) {
    return server.ReadStderrLine(10s).value_or("");
}

class ServerProcessTest : public ::testing::TestWithParam<int> {};

TEST_P(ServerProcessTest, StopsCleanlyOnTheSignalAndKeepsWhatItConfirmed) {
    TTempDir dir;
    const std::string db = dir.File("site.sqlite");
    TChildProcess server(Server({"--port", "0", "--db", db}));
    TCPConn client("127.0.0.1", ListeningPort(server).value());
    client.Connect();
    for (const char* line : {"L 07/12/2026-23:16 012aff007b", "L 07/12/2026-23:17 0000ffff"}) {
        client.WriteLine(line);
        ASSERT_EQ(client.ReadLine(), "OK");
    }
    EXPECT_EQ(StdoutLine(server), "07/12/2026-23:16 012aff007b");
    EXPECT_EQ(StdoutLine(server), "07/12/2026-23:17 0000ffff");

    // Stopped while the client is still connected.
    server.Signal(GetParam());
    EXPECT_EQ(server.Wait(10s), 0);
    EXPECT_EQ(DatabaseRows(db), (std::vector<std::string>{"07/12/2026-23:16 012aff007b",
                                                          "07/12/2026-23:17 0000ffff"}));

    // Arrival (UTC), sender, then the record as sent.
    TChildProcess list(Server({"--list", "--db", db}));
    const std::regex listed(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z 127\.0\.0\.1 (.*))");
    std::smatch match;
    for (const char* record : {"07/12/2026-23:16 012aff007b", "07/12/2026-23:17 0000ffff"}) {
        const std::string line = StdoutLine(list);
        ASSERT_TRUE(std::regex_match(line, match, listed)) << line;
        EXPECT_EQ(match[1], record);
    }
    EXPECT_EQ(StdoutLine(list), "");
    EXPECT_EQ(list.Wait(10s), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, ServerProcessTest, ::testing::Values(SIGTERM, SIGINT));

TEST(ServerProcessStartTest, FailsWithAReasonWhenItCannotStart) {
    TTempDir dir;
    TChildProcess first(Server({"--port", "0", "--db", dir.File("a.sqlite")}));
    const std::string port = std::to_string(ListeningPort(first).value());

    struct Start {
        std::vector<std::string> arguments;
        int status;
    };
    const std::string terminals = dir.File("terminals.txt");
    std::ofstream(terminals) << "10.0.0.0/8\nthe office\n";
    const Start starts[] = {
        {{"--port", port, "--db", dir.File("b.sqlite")}, 1}, // the port is taken
        {{"--port", "0", "--db", dir.File("c.sqlite"), "--terminals", terminals}, 1},
        {{"--list", "--db", dir.File("none.sqlite")}, 1}, // no such database
        {{"--port", "eleven"}, 2},
    };
    for (const Start& start : starts) {
        TChildProcess server(Server(start.arguments));
        EXPECT_NE(StderrLine(server).find("kalvinor-server: "), std::string::npos);
        EXPECT_EQ(server.Wait(10s), start.status) << start.arguments[1];
    }
}

// Plain HTTP on an address that other machines reach is refused, and so is
// HTTPS there without a user to log in; loopback may stay plain HTTP.
TEST(ServerProcessStartTest, ThePageIsServedAwayFromLoopbackOnlyOverHttpsBehindALogin) {
    TTempDir dir;
    const testing::TCertificate certificate = testing::MakeCertificate(dir.Path());
    const std::string withUser = dir.File("with-user.sqlite");
    server::SqliteRecordStore(withUser).PutUser("anna", server::HashPassword("correct horse"));
    const std::vector<std::string> https = {"--web-cert", certificate.certificate, "--web-key",
                                            certificate.key};
    struct Start {
        std::string database;
        std::vector<std::string> arguments;
        int status;
        std::string said; // in the first line on stderr
    };
    const Start starts[] = {
        {withUser, {"--web-bind", "0.0.0.0"}, 1, "lacks HTTPS (--web-cert FILE --web-key FILE)"},
        {withUser, {"--web-bind", "::"}, 1, "lacks HTTPS"},
        {dir.File("empty.sqlite"),
         {"--web-bind", "0.0.0.0", https[0], https[1], https[2], https[3]},
         1,
         "lacks a user to log in (kalvinor-server users add NAME)"},
        {withUser,
         {"--web-bind", "0.0.0.0", https[0], https[1], https[2], certificate.certificate},
         1,
         "cannot use the key"},
        {withUser, {"--web-bind", "0.0.0.0", https[0], https[1]}, 2, "go together"},
        {withUser, {}, 0, "listening on"},
    };
    for (const Start& start : starts) {
        std::vector<std::string> arguments = {"--port",       "0",          "--db",
                                              start.database, "--web-port", "0"};
        arguments.insert(arguments.end(), start.arguments.begin(), start.arguments.end());
        TChildProcess server(Server(arguments));
        const std::string said = StderrLine(server);
        EXPECT_NE(said.find(start.said), std::string::npos) << said;
        if (start.status == 0) {
            EXPECT_NE(StderrLine(server).find("http://127.0.0.1:"), std::string::npos);
            server.Signal(SIGTERM);
        }
        EXPECT_EQ(server.Wait(10s), start.status) << said;
    }
}

// Its standard output goes to a pipe that the test never reads, as when the
// server runs under a supervisor that stalls: the echo of some thousands of
// records fills the pipe many times over, and still every record is confirmed.
TEST(ServerProcessOutputTest, KeepsConfirmingWhenNobodyReadsItsOutput) {
    constexpr int kClients = 20;
    constexpr int kRecordsEach = 250; // 5,000 echo lines: 140 kB
    TTempDir dir;
    const std::string db = dir.File("site.sqlite");
    TChildProcess server(Server({"--port", "0", "--db", db}));
    const std::uint16_t port = ListeningPort(server).value();
    std::vector<int> confirmed(kClients, 0);
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            TCPConn client("127.0.0.1", port);
            client.Connect();
            for (int r = 0; r < kRecordsEach; ++r) {
                char line[40];
                std::snprintf(line, sizeof line, "L 07/12/2026-08:00 %02x%06x", c, r);
                client.WriteLine(line);
                if (client.ReadLine() != "OK")
                    return;
                ++confirmed[c];
            }
        });
    }
    for (auto& client : clients)
        client.join();
    for (int c = 0; c < kClients; ++c)
        EXPECT_EQ(confirmed[c], kRecordsEach) << "client " << c;
    EXPECT_EQ(DatabaseRows(db).size(), std::size_t{kClients * kRecordsEach});
    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(10s), 0);
}

TEST(ServerProcessOfficeTest, ImportsADataFileThenReportsTheDay) {
    TTempDir dir;
    const std::string db = dir.File("site.sqlite");
    const std::string dataFile = dir.File("kalvinor.db");
    std::ofstream(dataFile, std::ios::binary) << "07/12/2026-07:58 012aff007b\r\n"
                                                 "07/12/2026-0\r\n"
                                                 "07/12/2026-16:31 012aff007b\r\n";
    {
        TChildProcess import(Server({"import", "--from-terminal", "door-1", "--db", db, dataFile}));
        EXPECT_EQ(StderrLine(import), dataFile + ":2: skipped: missing fields: '07/12/2026-0'");
        EXPECT_EQ(StdoutLine(import), "imported 2 records from " + dataFile +
                                          " for terminal 'door-1'; 1 malformed lines skipped");
        EXPECT_EQ(import.Wait(10s), 0);
    }
    {
        TChildProcess again(Server({"import", "--from-terminal", "door-1", "--db", db, dataFile}));
        EXPECT_EQ(StdoutLine(again), "imported 0 records from " + dataFile +
                                         " for terminal 'door-1'; 3 lines imported before "
                                         "were skipped");
        EXPECT_EQ(again.Wait(10s), 0);
    }
    {
        TChildProcess other(
            Server({"import", "--from-terminal", "door-1", "--db", db, dir.File("none")}));
        EXPECT_NE(StderrLine(other).find("cannot open"), std::string::npos);
        EXPECT_EQ(other.Wait(10s), 1);
    }
    TChildProcess report(Server({"report", "--day", "2026-12-07", "--csv", "--db", db}));
    EXPECT_EQ(StdoutLine(report), "kind,name,first,last,reads\r");
    EXPECT_EQ(StdoutLine(report), "card,012aff007b,07:58,16:31,2\r");
    EXPECT_EQ(StdoutLine(report), "terminal,door-1,07:58,16:31,2\r");
    EXPECT_EQ(report.Wait(10s), 0);
}

// A record whose "OK" was lost is on the server and in the terminal's data
// file, where a kill may have written it twice; the office imports the file
// under the terminal's address, and the day counts the read once.
TEST(ServerProcessOfficeTest, ARecordBothUploadedAndInTheDataFileIsCountedOnce) {
    TTempDir dir;
    const std::string db = dir.File("site.sqlite");
    {
        TChildProcess server(Server({"--port", "0", "--db", db}));
        TCPConn client("127.0.0.1", ListeningPort(server).value());
        client.Connect();
        client.WriteLine("L 07/12/2026-07:58 012aff007b");
        ASSERT_EQ(client.ReadLine(), "OK");
        server.Signal(SIGTERM);
        ASSERT_EQ(server.Wait(10s), 0);
    }
    const std::string dataFile = dir.File("kalvinor.db");
    std::ofstream(dataFile, std::ios::binary) << "07/12/2026-07:58 012aff007b\r\n"
                                                 "07/12/2026-07:58 012aff007b\r\n"
                                                 "07/12/2026-16:31 012aff007b\r\n";
    TChildProcess import(Server({"import", "--from-terminal", "127.0.0.1", "--db", db, dataFile}));
    EXPECT_EQ(StdoutLine(import), "imported 1 records from " + dataFile +
                                      " for terminal '127.0.0.1'; 2 records already held were "
                                      "skipped");
    EXPECT_EQ(import.Wait(10s), 0);
    TChildProcess report(Server({"report", "--day", "2026-12-07", "--csv", "--db", db}));
    EXPECT_EQ(StdoutLine(report), "kind,name,first,last,reads\r");
    EXPECT_EQ(StdoutLine(report), "card,012aff007b,07:58,16:31,2\r");
    EXPECT_EQ(report.Wait(10s), 0);
}

// `users add` takes the password from standard input when that is no
// terminal; the database keeps a salted Argon2id hash of it, never the
// password.
TEST(ServerProcessUsersTest, AddsChangesListsAndRemovesUsers) {
    TTempDir dir;
    const std::string db = dir.File("site.sqlite");
    struct Step {
        std::vector<std::string> arguments;
        std::string input;
        int status;
        std::string said; // the first line on stdout, or else on stderr
    };
    const Step steps[] = {
        {{"users", "add", "anna"}, "short\n", 1, "kalvinor-server: the password needs at least 8"},
        {{"users", "add", "anna"}, "", 1, "kalvinor-server: no password on standard input"},
        {{"users", "add", "anna"}, "correct horse\n", 0, "added user anna"},
        {{"users", "add", "anna"}, "žluťoučký kůň\r\n", 0, "changed the password of user anna"},
        {{"users", "add", "bob"}, "battery staple\n", 0, "added user bob"},
        {{"users", "remove", "bob"}, "", 0, "removed user bob"},
        {{"users", "remove", "bob"}, "", 1, "kalvinor-server: there is no user bob"},
        {{"users", "list"}, "", 0, "anna"},
    };
    for (const Step& step : steps) {
        TChildProcess::TOptions options = Server(step.arguments);
        options.argv.insert(options.argv.end(), {"--db", db});
        options.withStdin = true;
        TChildProcess users(options);
        if (!step.input.empty()) {
            ASSERT_TRUE(users.Command(step.input.substr(0, step.input.size() - 1)));
        }
        users.CloseStdin();
        const auto status = users.Wait(30s);
        const std::string said = users.ReadLine(1s).value_or(users.ReadStderrLine(1s).value_or(""));
        EXPECT_EQ(status, step.status) << step.arguments[1] << " " << step.input;
        EXPECT_TRUE(said.starts_with(step.said)) << said;
    }
    server::SqliteRecordStore store(db, server::RecordStore::Access::kReadOnly);
    const std::string hash = store.PasswordHash("anna").value_or("");
    EXPECT_TRUE(hash.starts_with("$argon2id$")) << hash;
    EXPECT_TRUE(server::PasswordMatches(hash, "žluťoučký kůň")) << "the line end is not part of it";
    EXPECT_FALSE(server::PasswordMatches(hash, "correct horse"));
}

} // namespace
} // namespace lorvent
