// The built kalvinor-server as a child process, as a site would run it.
#include "app/tcpconn/tcp_conn.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <regex>
#include <chrono>
#include <thread>

extern char** environ;

namespace lorvent {
namespace {

using namespace std::chrono_literals;
using testing::DatabaseRows;
using testing::TempDir;

// kalvinor-server with its stdout and stderr on pipes to the test.
class ServerProcess {
public:
    explicit ServerProcess(std::vector<std::string> arguments) {
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        for (int fd : {out[0], out[1], err[0], err[1]})
            posix_spawn_file_actions_addclose(&actions, fd);

        arguments.insert(arguments.begin(), KALVINOR_SERVER_PATH);
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
        if (spawned != 0)
            throw std::runtime_error("cannot start " + arguments[0]);
    }

    ~ServerProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
        close(err_);
    }

    // The next line on stdout or stderr, without its LF; "" after 10 s or at the end.
    std::string StdoutLine() { return ReadLine(out_); }
    std::string StderrLine() { return ReadLine(err_); }

    // Signals the process and returns its exit status, -1 unless it exits by itself within 10 s.
    int Stop(int signal) {
        kill(pid_, signal);
        return Wait();
    }

    int Wait() {
        for (auto waited = 0ms; waited < 10s; waited += 20ms) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }

private:
    static std::string ReadLine(int fd) {
        std::string line;
        char c;
        for (;;) {
            pollfd ready{fd, POLLIN, 0};
            if (poll(&ready, 1, 10000) != 1 || read(fd, &c, 1) != 1 || c == '\n')
                return line;
            line += c;
        }
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
};

std::uint16_t ListeningPort(ServerProcess& server) {
    const std::string banner = server.StderrLine(); // "... listening on 127.0.0.1:PORT, ..."
    const auto colon = banner.find("127.0.0.1:");
    if (colon == std::string::npos)
        throw std::runtime_error("no listening line: '" + banner + "'");
    return static_cast<std::uint16_t>(std::stoi(banner.substr(colon + 10)));
}

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
