#pragma once

// A program run by a test, as a site would run it: its own arguments,
// environment and working directory, its standard output (and standard error)
// read line by line through pipes. Only the process a test started is ever
// signalled; a crashed test leaves nothing running.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lorvent::testing {

using namespace std::chrono_literals;

class TChildProcess {
public:
    struct TOptions {
        std::vector<std::string> argv; // argv[0] is looked up on PATH
        std::vector<std::pair<std::string, std::string>> setEnv;
        std::vector<std::string> unsetEnv;
        std::string workingDirectory; // empty: the test's own
        bool withStdin = false;       // otherwise standard input is /dev/null
        bool captureStdout = true;    // otherwise standard output is /dev/null
        bool captureStderr = true;    // otherwise the test's own standard error
        // Given to the program as its descriptors 3, 4, ... in this order
        // (chromium's --remote-debugging-pipe reads 3 and writes 4).
        std::vector<int> passFds;
    };

    explicit TChildProcess(const TOptions& options);
    // Asks it to end (SIGTERM), then makes it (SIGKILL) if it still runs after 3 s.
    ~TChildProcess();
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    // Writes one line to its standard input; false when that is not possible.
    bool Command(const std::string& line);
    void CloseStdin();

    // The next line of standard output, or nothing when none came in time or
    // the output ended.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
    // Reads lines until one satisfies `match`; every line read is kept in Lines().
    std::optional<std::string> WaitForLine(const std::function<bool(const std::string&)>& match,
                                           std::chrono::milliseconds timeout);
    std::optional<std::string> WaitForPrefix(const std::string& prefix,
                                             std::chrono::milliseconds timeout);
    // The next line that contains `part`.
    std::optional<std::string> LineWith(const std::string& part, std::chrono::milliseconds timeout);
    const std::vector<std::string>& Lines() const { return out_.lines; }
    // Lines read since the last call.
    std::vector<std::string> TakeNewLines();
    // Everything read from standard output so far, for failure messages.
    std::string Transcript() const;
    // Reads whatever output is waiting, without blocking.
    void Poll();

    // What it wrote to standard error so far.
    std::string Stderr();
    // The next line of standard error, or nothing when none came in time.
    std::optional<std::string> ReadStderrLine(std::chrono::milliseconds timeout);

    // The exit status (128 + signal number when killed), or nothing if it
    // still runs after `timeout`.
    std::optional<int> Wait(std::chrono::milliseconds timeout);
    bool Running();
    void Signal(int signal);
    pid_t Pid() const { return pid_; }

private:
    // One output stream, split into lines.
    struct TStream {
        int fd = -1;
        std::string pending;
        std::string text;
        std::vector<std::string> lines;
        std::size_t taken = 0;
        bool ended = false;

        bool ReadSome();
        std::optional<std::string> NextLine();
    };

    bool ReadAvailable(int timeoutMs);
    std::optional<std::string> ReadLineOf(TStream& stream, std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    int stdin_ = -1;
    TStream out_;
    TStream err_;
    std::optional<int> status_;
};

// The port that kalvinor-server (started with --port 0) reports on standard
// error as "listening on 127.0.0.1:PORT, ..."; nothing when it does not say
// so within `timeout`. The lines read are kept by the process.
std::optional<std::uint16_t> ListeningPort(TChildProcess& server,
                                           std::chrono::milliseconds timeout = 10s);

} // namespace lorvent::testing
