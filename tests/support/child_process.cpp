#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace lorvent::testing {
namespace {

using Clock = std::chrono::steady_clock;

// The test's environment without the names unset or set, then those set; of
// a name set twice the later value holds.
std::vector<std::string> ChildEnvironment(const TChildProcess::TOptions& options) {
    std::map<std::string, std::string> set;
    for (const auto& [name, value] : options.setEnv)
        set[name] = value;
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        const bool unset = std::find(options.unsetEnv.begin(), options.unsetEnv.end(), name) !=
                           options.unsetEnv.end();
        if (!unset && set.count(name) == 0)
            entries.push_back(text);
    }
    for (const auto& [name, value] : set)
        entries.push_back(name + "=" + value);
    return entries;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void BecomeProgram(const TChildProcess::TOptions& options, int in, int out, int err,
                                char* const* argv, char* const* env) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL); // a crashed test leaves nothing running
    const int nothing = open("/dev/null", O_RDWR);
    dup2(options.withStdin ? in : nothing, STDIN_FILENO);
    dup2(options.captureStdout ? out : nothing, STDOUT_FILENO);
    if (options.captureStderr)
        dup2(err, STDERR_FILENO);
    // Out of the way first, so that placing one cannot close another.
    constexpr int kAside = 100;
    int aside[16];
    const std::size_t passed = std::min<std::size_t>(options.passFds.size(), 16);
    for (std::size_t i = 0; i < passed; ++i)
        aside[i] = fcntl(options.passFds[i], F_DUPFD_CLOEXEC, kAside);
    for (std::size_t i = 0; i < passed; ++i)
        dup2(aside[i], 3 + static_cast<int>(i));
    if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0)
        _exit(126);
    execvpe(argv[0], argv, env);
    _exit(127);
}

} // namespace

TChildProcess::TChildProcess(const TOptions& options) {
    signal(SIGPIPE, SIG_IGN); // a child that ended must not end the test with it
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    auto argv = options.argv;
    auto env = ChildEnvironment(options);
    auto argvPointers = Pointers(argv);
    auto envPointers = Pointers(env);
    pid_ = fork();
    if (pid_ == 0)
        BecomeProgram(options, in[0], out[1], err[1], argvPointers.data(), envPointers.data());
    close(in[0]);
    close(out[1]);
    close(err[1]);
    stdin_ = in[1];
    if (!options.withStdin)
        CloseStdin();
    out_.fd = out[0];
    err_.fd = err[0];
    fcntl(out_.fd, F_SETFL, O_NONBLOCK);
    fcntl(err_.fd, F_SETFL, O_NONBLOCK);
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
}

TChildProcess::~TChildProcess() {
    CloseStdin();
    if (Running()) {
        Signal(SIGTERM);
        if (!Wait(3s)) {
            Signal(SIGKILL);
            Wait(10s);
        }
    }
    close(out_.fd);
    close(err_.fd);
}

bool TChildProcess::Command(const std::string& line) {
    const std::string text = line + "\n";
    return stdin_ >= 0 &&
           write(stdin_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void TChildProcess::CloseStdin() {
    if (stdin_ >= 0)
        close(stdin_);
    stdin_ = -1;
}

bool TChildProcess::TStream::ReadSome() {
    char buffer[4096];
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count == 0)
        ended = true;
    if (count <= 0)
        return false;
    text.append(buffer, static_cast<std::size_t>(count));
    pending.append(buffer, static_cast<std::size_t>(count));
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        lines.push_back(pending.substr(0, end));
        pending.erase(0, end + 1);
    }
    return true;
}

std::optional<std::string> TChildProcess::TStream::NextLine() {
    if (taken < lines.size())
        return lines[taken++];
    return std::nullopt;
}

// Waits up to `timeoutMs` for either stream; false when nothing came.
bool TChildProcess::ReadAvailable(int timeoutMs) {
    // An ended stream would report its hang-up at once, again and again.
    pollfd fds[2] = {{out_.ended ? -1 : out_.fd, POLLIN, 0},
                     {err_.ended ? -1 : err_.fd, POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) <= 0)
        return false;
    bool read = false;
    while (err_.ReadSome())
        read = true;
    if (fds[0].revents & (POLLIN | POLLHUP))
        read = out_.ReadSome() || read;
    return read;
}

std::optional<std::string> TChildProcess::ReadLineOf(TStream& stream,
                                                     std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto line = stream.NextLine())
            return line;
        if (stream.ended || MillisecondsLeft(deadline) == 0)
            return std::nullopt;
        ReadAvailable(MillisecondsLeft(deadline));
    }
}

std::optional<std::string> TChildProcess::ReadLine(std::chrono::milliseconds timeout) {
    return ReadLineOf(out_, timeout);
}

std::optional<std::string>
TChildProcess::WaitForLine(const std::function<bool(const std::string&)>& match,
                           std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        auto line = ReadLine(std::chrono::milliseconds(MillisecondsLeft(deadline)));
        if (!line || match(*line))
            return line;
    }
}

std::optional<std::string> TChildProcess::WaitForPrefix(const std::string& prefix,
                                                        std::chrono::milliseconds timeout) {
    return WaitForLine([&](const std::string& line) { return line.rfind(prefix, 0) == 0; },
                       timeout);
}

std::optional<std::string> TChildProcess::LineWith(const std::string& part,
                                                   std::chrono::milliseconds timeout) {
    return WaitForLine(
        [&](const std::string& line) { return line.find(part) != std::string::npos; }, timeout);
}

std::vector<std::string> TChildProcess::TakeNewLines() {
    Poll();
    std::vector<std::string> fresh(out_.lines.begin() + static_cast<long>(out_.taken),
                                   out_.lines.end());
    out_.taken = out_.lines.size();
    return fresh;
}

std::string TChildProcess::Transcript() const {
    return out_.text;
}

void TChildProcess::Poll() {
    while (ReadAvailable(0)) {
    }
}

std::string TChildProcess::Stderr() {
    while (err_.ReadSome()) {
    }
    return err_.text;
}

std::optional<std::string> TChildProcess::ReadStderrLine(std::chrono::milliseconds timeout) {
    return ReadLineOf(err_, timeout);
}

bool TChildProcess::Running() {
    if (status_)
        return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_)
        return true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
}

std::optional<int> TChildProcess::Wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Running()) {
        if (Clock::now() > deadline)
            return std::nullopt;
        Poll();
        std::this_thread::sleep_for(10ms);
    }
    Poll();
    Stderr();
    return status_;
}

void TChildProcess::Signal(int signal) {
    if (!status_)
        kill(pid_, signal);
}

std::optional<std::uint16_t> ListeningPort(TChildProcess& server,
                                           std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (auto line =
               server.ReadStderrLine(std::chrono::milliseconds(MillisecondsLeft(deadline)))) {
        const auto at = line->find("listening on 127.0.0.1:");
        if (at != std::string::npos)
            return static_cast<std::uint16_t>(std::stoi(line->substr(at + 23)));
    }
    return std::nullopt;
}

} // namespace lorvent::testing
