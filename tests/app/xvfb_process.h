#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lorvent::testing {

using namespace std::chrono_literals;

// A child process with its standard output (and optionally its standard
// error) read through pipes. The destructor ends it if it still runs.
class TChildProcess {
public:
    struct TOptions {
        std::vector<std::string> argv;
        std::vector<std::pair<std::string, std::string>> setEnv;
        std::vector<std::string> unsetEnv;
        std::string workingDirectory;
        bool captureStderr = true;
        bool withStdin = false; // otherwise standard input is /dev/null
    };

    explicit TChildProcess(const TOptions& options);
    ~TChildProcess();
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    // Writes one line to its standard input; false when that is not possible.
    bool Command(const std::string& line);

    // The next line of standard output, or nothing when none came in time or
    // the output ended.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
    // Reads lines until one satisfies `match`; every line read is kept in Lines().
    std::optional<std::string> WaitForLine(const std::function<bool(const std::string&)>& match,
                                           std::chrono::milliseconds timeout);
    std::optional<std::string> WaitForPrefix(const std::string& prefix,
                                             std::chrono::milliseconds timeout);
    const std::vector<std::string>& Lines() const { return lines_; }
    // Lines read since the last call.
    std::vector<std::string> TakeNewLines();
    // Reads whatever output is waiting, without blocking.
    void Poll();

    // The exit status (128 + signal number when killed), or nothing if it
    // still runs after `timeout`.
    std::optional<int> Wait(std::chrono::milliseconds timeout);
    bool Running();
    void Signal(int signal);
    // What it wrote to standard error so far.
    std::string Stderr();
    pid_t Pid() const { return pid_; }

private:
    bool ReadAvailable(int timeoutMs);
    void DrainStderr();

    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    int stderr_ = -1;
    std::string pending_;
    std::string stderrText_;
    std::vector<std::string> lines_;
    std::size_t taken_ = 0;
    std::optional<int> status_;
    bool outputEnded_ = false;
};

// An Xvfb of its own on a free display number.
class TXvfb {
public:
    explicit TXvfb(const std::vector<std::string>& extraArguments = {});
    // ":N", or empty when the server did not start.
    const std::string& Display() const { return display_; }
    // What the server said on standard error, and whether it still runs.
    std::string Log();

private:
    static bool Connectable(const std::string& display);

    std::unique_ptr<TChildProcess> server_;
    std::string display_;
};

} // namespace lorvent::testing
