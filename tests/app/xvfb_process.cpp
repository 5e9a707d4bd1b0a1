#include "xvfb_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <X11/Xlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace lorvent::testing {

namespace {

std::vector<std::string> ChildEnvironment(const TChildProcess::TOptions& options) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const auto& unset : options.unsetEnv)
            replaced = replaced || unset == name;
        for (const auto& [setName, value] : options.setEnv)
            replaced = replaced || setName == name;
        if (!replaced)
            entries.push_back(text);
    }
    for (const auto& [name, value] : options.setEnv)
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
    if (pid_ == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL); // a crashed test leaves nothing running
        if (options.withStdin) {
            dup2(in[0], STDIN_FILENO);
        } else {
            const int nothing = open("/dev/null", O_RDONLY);
            dup2(nothing, STDIN_FILENO);
        }
        dup2(out[1], STDOUT_FILENO);
        if (options.captureStderr)
            dup2(err[1], STDERR_FILENO);
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0)
            _exit(126);
        execvpe(argvPointers[0], argvPointers.data(), envPointers.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    stdin_ = in[1];
    if (!options.withStdin) {
        close(stdin_);
        stdin_ = -1;
    }
    stdout_ = out[0];
    stderr_ = err[0];
    fcntl(stdout_, F_SETFL, O_NONBLOCK);
    fcntl(stderr_, F_SETFL, O_NONBLOCK);
}

TChildProcess::~TChildProcess() {
    if (stdin_ >= 0)
        close(stdin_);
    if (Running()) {
        Signal(SIGTERM);
        if (!Wait(3s)) {
            Signal(SIGKILL);
            Wait(10s);
        }
    }
    close(stdout_);
    close(stderr_);
}

bool TChildProcess::Command(const std::string& line) {
    const std::string text = line + "\n";
    return stdin_ >= 0 &&
           write(stdin_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool TChildProcess::ReadAvailable(int timeoutMs) {
    pollfd fds[2] = {{stdout_, POLLIN, 0}, {stderr_, POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) <= 0)
        return false;
    DrainStderr();
    if (!(fds[0].revents & (POLLIN | POLLHUP)))
        return false;
    char buffer[4096];
    const ssize_t count = read(stdout_, buffer, sizeof buffer);
    if (count == 0)
        outputEnded_ = true;
    if (count <= 0)
        return false;
    pending_.append(buffer, static_cast<std::size_t>(count));
    for (auto end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n')) {
        lines_.push_back(pending_.substr(0, end));
        pending_.erase(0, end + 1);
    }
    return true;
}

void TChildProcess::DrainStderr() {
    char buffer[4096];
    ssize_t count;
    while ((count = read(stderr_, buffer, sizeof buffer)) > 0)
        stderrText_.append(buffer, static_cast<std::size_t>(count));
}

std::optional<std::string> TChildProcess::ReadLine(std::chrono::milliseconds timeout) {
    const std::size_t wanted = taken_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (lines_.size() <= wanted) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || outputEnded_)
            return std::nullopt;
        ReadAvailable(static_cast<int>(left.count()));
    }
    return lines_[taken_++];
}

std::optional<std::string>
TChildProcess::WaitForLine(const std::function<bool(const std::string&)>& match,
                           std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        auto line = ReadLine(left);
        if (!line)
            return std::nullopt;
        if (match(*line))
            return line;
    }
}

std::optional<std::string> TChildProcess::WaitForPrefix(const std::string& prefix,
                                                        std::chrono::milliseconds timeout) {
    return WaitForLine([&](const std::string& line) { return line.rfind(prefix, 0) == 0; },
                       timeout);
}

std::vector<std::string> TChildProcess::TakeNewLines() {
    Poll();
    std::vector<std::string> fresh(lines_.begin() + static_cast<long>(taken_), lines_.end());
    taken_ = lines_.size();
    return fresh;
}

void TChildProcess::Poll() {
    while (ReadAvailable(0)) {
    }
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
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Running()) {
        if (std::chrono::steady_clock::now() > deadline)
            return std::nullopt;
        Poll();
        std::this_thread::sleep_for(10ms);
    }
    Poll();
    DrainStderr();
    return status_;
}

void TChildProcess::Signal(int signal) {
    if (!status_)
        kill(pid_, signal);
}

std::string TChildProcess::Stderr() {
    DrainStderr();
    return stderrText_;
}

// A display number of its own choosing, well away from the low numbers that
// desktops and other test runs keep taking and giving back; one already in use
// makes the server exit, and the next number is tried.
TXvfb::TXvfb(const std::vector<std::string>& extraArguments) {
    std::random_device random;
    for (int attempt = 0; attempt < 20 && display_.empty(); ++attempt) {
        const std::string number = std::to_string(200 + random() % 30000);
        TChildProcess::TOptions options;
        // -noreset: without it the server resets whenever its last client
        // leaves, and a client connecting just then is turned away.
        options.argv = {"Xvfb", ":" + number,  "-displayfd", "1",   "-screen",
                        "0",    "1024x768x24", "-nolisten",  "tcp", "-noreset"};
        options.argv.insert(options.argv.end(), extraArguments.begin(), extraArguments.end());
        server_ = std::make_unique<TChildProcess>(options);
        if (server_->ReadLine(20s) && Connectable(":" + number))
            display_ = ":" + number;
    }
}

std::string TXvfb::Log() {
    if (!server_)
        return "(no server)";
    const bool running = server_->Running();
    return (running ? "(running) " : "(ended) ") + server_->Stderr();
}

bool TXvfb::Connectable(const std::string& display) {
    ::Display* connection = XOpenDisplay(display.c_str());
    if (connection == nullptr)
        return false;
    XCloseDisplay(connection);
    return true;
}

} // namespace lorvent::testing
