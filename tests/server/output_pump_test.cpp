// The server's output when nobody reads it: a pipe the test leaves full.
#include "server/output_pump.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <future>
#include <regex>

namespace lorvent::server {
namespace {

using namespace std::chrono_literals;

class Pipe {
public:
    Pipe() {
        if (pipe(fds_) != 0)
            throw std::runtime_error("pipe");
    }
    ~Pipe() {
        CloseReader();
        close(fds_[1]);
    }
    int Writer() const { return fds_[1]; }
    void CloseReader() {
        if (fds_[0] >= 0)
            close(fds_[0]);
        fds_[0] = -1;
    }
    // Everything that arrives until nothing has come for `quiet`.
    std::string Drain(std::chrono::milliseconds quiet = 500ms) {
        std::string text;
        char buffer[4096];
        pollfd ready{fds_[0], POLLIN, 0};
        while (poll(&ready, 1, static_cast<int>(quiet.count())) == 1) {
            const ssize_t got = read(fds_[0], buffer, sizeof buffer);
            if (got <= 0)
                break;
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    }

private:
    int fds_[2];
};

std::string Line(int i) {
    return "07/12/2026-08:00 " + std::to_string(1000000000 + i) + std::string(60, '.');
}

TEST(OutputPumpTest, AReaderThatStallsLosesLinesButNeverHoldsTheWriterUp) {
    constexpr int kLines = 20000; // about 1.6 MB, far more than a pipe holds
    Pipe pipe;
    auto pump = std::make_unique<OutputPump>(pipe.Writer(), 256 * 1024);
    auto writing = std::async(std::launch::async, [&] {
        for (int i = 0; i < kLines; ++i)
            pump->Write(Line(i));
    });
    ASSERT_EQ(writing.wait_for(20s), std::future_status::ready) << "Write waited for the reader";

    // The reader comes back: whole lines in the order written, each gap told
    // by a line with its count where it happened, then what is written from
    // then on.
    std::string text = pipe.Drain();
    pump->Write("after");
    text += pipe.Drain();
    const std::regex notice("kalvinor-server: (\\d+) lines left out while nobody read this output");
    int next = 0;
    int gaps = 0;
    std::size_t start = 0;
    for (std::size_t end; next < kLines && (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        const std::string line = text.substr(start, end - start);
        std::smatch match;
        if (std::regex_match(line, match, notice)) {
            next += std::stoi(match[1]);
            ++gaps;
        } else {
            ASSERT_EQ(line, Line(next)) << "line " << next;
            ++next;
        }
    }
    EXPECT_EQ(next, kLines);
    EXPECT_GT(gaps, 0);
    EXPECT_EQ(text.substr(start), "after\n");
}

TEST(OutputPumpTest, StopsInTimeWhenTheReaderNeverComesBack) {
    Pipe pipe;
    auto stopped = std::async(std::launch::async, [&] {
        OutputPump pump(pipe.Writer(), 4 << 20);
        for (int i = 0; i < 40000; ++i)
            pump.Write(Line(i));
    });
    EXPECT_EQ(stopped.wait_for(OutputPump::kDrainTime + 10s), std::future_status::ready);
}

TEST(OutputPumpTest, AReaderThatIsGoneIsNoError) {
    Pipe pipe;
    pipe.CloseReader();
    OutputPump pump(pipe.Writer());
    for (int i = 0; i < 100; ++i)
        pump.Write(Line(i));
}

} // namespace
} // namespace lorvent::server
