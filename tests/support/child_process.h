#pragma once

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace lorvent::testing {

using ChildClock = std::chrono::steady_clock;

// A program run by a test, with pipes on its standard streams. Only the
// process a test started is ever signalled.
class ChildProcess {
public:
    ChildProcess(const std::string& program, std::vector<std::string> args, bool withStdin = true,
                 std::chrono::milliseconds patience = std::chrono::seconds(5))
        : patience_(patience) {
        int in[2], out[2], err[2];
        if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (withStdin)
            posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        else
            posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            posix_spawn_file_actions_addclose(&actions, fd);
        args.insert(args.begin(), program);
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            throw std::runtime_error("posix_spawn");
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        close(err[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        stderr_ = err[0];
        if (!withStdin)
            CloseStdin();
    }

    ~ChildProcess() {
        CloseStdin();
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL); // only the process this test started
            waitpid(pid_, nullptr, 0);
        }
        close(stdout_);
        close(stderr_);
    }

    // Writes one line to the program's standard input; false if it is gone.
    bool Command(const std::string& line) {
        const std::string text = line + "\n";
        return write(stdin_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }

    void CloseStdin() {
        if (stdin_ >= 0)
            close(stdin_);
        stdin_ = -1;
    }

    // The next line of standard output that contains `part`, or "" when none
    // comes in time. Everything read is kept in Transcript().
    std::string LineWith(const std::string& part) {
        const auto deadline = ChildClock::now() + patience_;
        for (;;) {
            for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
                const std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                if (line.find(part) != std::string::npos)
                    return line;
            }
            if (!ReadSome(stdout_, deadline, pending_))
                return "";
        }
    }

    std::string Stderr() {
        std::string text;
        while (ReadSome(stderr_, ChildClock::now() + std::chrono::seconds(1), text)) {
        }
        return text;
    }

    // The exit status, or -1 if it has not ended in time.
    int ExitStatus() {
        const auto deadline = ChildClock::now() + patience_;
        while (ChildClock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    bool Running() {
        int status = 0;
        return waitpid(pid_, &status, WNOHANG) == 0;
    }

    void Signal(int signal) { kill(pid_, signal); }
    pid_t Pid() const { return pid_; }
    const std::string& Transcript() const { return transcript_; }

private:
    bool ReadSome(int fd, ChildClock::time_point deadline, std::string& into) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - ChildClock::now());
        pollfd p = {fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char buffer[4096];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0)
            return false;
        into.append(buffer, static_cast<std::size_t>(got));
        transcript_.append(buffer, static_cast<std::size_t>(got));
        return true;
    }

    std::chrono::milliseconds patience_;
    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1, stderr_ = -1;
    bool exited_ = false;
    std::string pending_, transcript_;
};

} // namespace lorvent::testing
