// The built kalvinor-server as a child process, as a site would run it.
#include "app/tcpconn/tcp_conn.h"
#include "support/child_process.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <csignal>

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

    TChildProcess list(Server({"--list", "--db", db}));
    EXPECT_EQ(StdoutLine(list), "07/12/2026-23:16 012aff007b");
    EXPECT_EQ(StdoutLine(list), "07/12/2026-23:17 0000ffff");
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
    const Start starts[] = {
        {{"--port", port, "--db", dir.File("b.sqlite")}, 1}, // the port is taken
        {{"--list", "--db", dir.File("none.sqlite")}, 1},    // no such database
        {{"--port", "eleven"}, 2},
    };
    for (const Start& start : starts) {
        TChildProcess server(Server(start.arguments));
        EXPECT_NE(StderrLine(server).find("kalvinor-server: "), std::string::npos);
        EXPECT_EQ(server.Wait(10s), start.status) << start.arguments[1];
    }
}

} // namespace
} // namespace lorvent
