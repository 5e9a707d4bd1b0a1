#pragma once

// The built kalvinor-server as a child process, as a site runs it.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace lorvent::testing {

using namespace std::chrono_literals;

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

    bool Running() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

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

// The port of the "listening on 127.0.0.1:PORT, ..." line, the first on stderr.
inline std::uint16_t ListeningPort(ServerProcess& server) {
    const std::string banner = server.StderrLine(); // "... listening on 127.0.0.1:PORT, ..."
    const auto colon = banner.find("127.0.0.1:");
    if (colon == std::string::npos)
        throw std::runtime_error("no listening line: '" + banner + "'");
    return static_cast<std::uint16_t>(std::stoi(banner.substr(colon + 10)));
}

} // namespace lorvent::testing
