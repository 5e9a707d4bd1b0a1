// The built kalvinor-server as a child process, as a site would run it.
#include "app/tcpconn/tcp_conn.h"
#include "server_process.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <thread>

namespace lorvent {
namespace {

using namespace std::chrono_literals;
using testing::DatabaseRows;
using testing::ListeningPort;
using testing::ServerProcess;
using testing::TempDir;

class ServerProcessTest : public ::testing::TestWithParam<int> {};

TEST_P(ServerProcessTest, StopsCleanlyOnTheSignalAndKeepsWhatItConfirmed) {
    TempDir dir;
    const std::string db = dir.File("site.sqlite");
    ServerProcess server({"--port", "0", "--db", db});
    TCPConn client("127.0.0.1", ListeningPort(server));
    client.Connect();
    for (const char* line : {"L 07/12/2026-23:16 012aff007b", "L 07/12/2026-23:17 0000ffff"}) {
        client.WriteLine(line);
        ASSERT_EQ(client.ReadLine(), "OK");
    }
    EXPECT_EQ(server.StdoutLine(), "07/12/2026-23:16 012aff007b");
    EXPECT_EQ(server.StdoutLine(), "07/12/2026-23:17 0000ffff");

    // Stopped while the client is still connected.
    EXPECT_EQ(server.Stop(GetParam()), 0);
    EXPECT_EQ(DatabaseRows(db), (std::vector<std::string>{"07/12/2026-23:16 012aff007b",
                                                          "07/12/2026-23:17 0000ffff"}));

    // Arrival (UTC), sender, then the record as sent.
    ServerProcess list({"--list", "--db", db});
    const std::regex listed(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z 127\.0\.0\.1 (.*))");
    std::smatch match;
    for (const char* record : {"07/12/2026-23:16 012aff007b", "07/12/2026-23:17 0000ffff"}) {
        const std::string line = list.StdoutLine();
        ASSERT_TRUE(std::regex_match(line, match, listed)) << line;
        EXPECT_EQ(match[1], record);
    }
    EXPECT_EQ(list.StdoutLine(), "");
    EXPECT_EQ(list.Wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, ServerProcessTest, ::testing::Values(SIGTERM, SIGINT));

TEST(ServerProcessStartTest, FailsWithAReasonWhenItCannotStart) {
    TempDir dir;
    ServerProcess first({"--port", "0", "--db", dir.File("a.sqlite")});
    const std::string port = std::to_string(ListeningPort(first));

    struct Start {
        std::vector<std::string> arguments;
        int status;
    };
    const Start starts[] = {
        {{"--port", port, "--db", dir.File("b.sqlite")}, 1}, // the port is taken
        {{"--list", "--db", dir.File("none.sqlite")}, 1},    // no such database
        {{"--port", "eleven"}, 2},
    };
    for (const Start& start : starts) {
        ServerProcess server(start.arguments);
        EXPECT_NE(server.StderrLine().find("kalvinor-server: "), std::string::npos);
        EXPECT_EQ(server.Wait(), start.status) << start.arguments[1];
    }
}

} // namespace
} // namespace lorvent

namespace lorvent {
namespace {

// Its standard output goes to a pipe that the test never reads, as when the
// server runs under a supervisor that stalls: the echo of some thousands of
// records fills the pipe many times over, and still every record is confirmed.
TEST(ServerProcessOutputTest, KeepsConfirmingWhenNobodyReadsItsOutput) {
    constexpr int kClients = 20;
    constexpr int kRecordsEach = 250; // 5,000 echo lines: 140 kB
    TempDir dir;
    const std::string db = dir.File("site.sqlite");
    ServerProcess server({"--port", "0", "--db", db});
    const std::uint16_t port = ListeningPort(server);
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
    EXPECT_EQ(server.Stop(SIGTERM), 0);
}

TEST(ServerProcessOfficeTest, ImportsADataFileThenReportsTheDay) {
    TempDir dir;
    const std::string db = dir.File("site.sqlite");
    const std::string dataFile = dir.File("kalvinor.db");
    std::ofstream(dataFile, std::ios::binary) << "07/12/2026-07:58 012aff007b\r\n"
                                                 "07/12/2026-0\r\n"
                                                 "07/12/2026-16:31 012aff007b\r\n";
    {
        ServerProcess import({"import", "--from-terminal", "door-1", "--db", db, dataFile});
        EXPECT_EQ(import.StderrLine(),
                  dataFile + ":2: skipped: missing fields: '07/12/2026-0'");
        EXPECT_EQ(import.StdoutLine(), "imported 2 records from " + dataFile +
                                           " for terminal 'door-1'; 1 malformed lines skipped");
        EXPECT_EQ(import.Wait(), 0);
    }
    {
        ServerProcess again({"import", "--from-terminal", "door-1", "--db", db, dataFile});
        EXPECT_EQ(again.StdoutLine(), "imported 0 records from " + dataFile +
                                          " for terminal 'door-1'; 3 lines imported before "
                                          "were skipped");
        EXPECT_EQ(again.Wait(), 0);
    }
    {
        ServerProcess other({"import", "--from-terminal", "door-1", "--db", db, dir.File("none")});
        EXPECT_NE(other.StderrLine().find("cannot open"), std::string::npos);
        EXPECT_EQ(other.Wait(), 1);
    }
    ServerProcess report({"report", "--day", "2026-12-07", "--csv", "--db", db});
    EXPECT_EQ(report.StdoutLine(), "kind,name,first,last,reads\r");
    EXPECT_EQ(report.StdoutLine(), "card,012aff007b,07:58,16:31,2\r");
    EXPECT_EQ(report.StdoutLine(), "terminal,door-1,07:58,16:31,2\r");
    EXPECT_EQ(report.Wait(), 0);
}

} // namespace
} // namespace lorvent
