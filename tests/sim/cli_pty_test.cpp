// The simulator program driven as the application would meet it: over a
// real pseudo-terminal, its commands on standard input, its report on
// standard output.

#include "sim_test_util.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace lorvent::sim {
namespace {

using namespace testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kPatience = 5s; // generous: only a hang should reach it

// One run of lorvent-reader-sim with pipes on its standard streams.
class SimProcess : public lorvent::testing::TChildProcess {
public:
    explicit SimProcess(std::vector<std::string> args, bool withStdin = true)
        : TChildProcess(Options(std::move(args), withStdin)) {}

    // The next line that contains `part`, or "" when none comes in time.
    std::string LineWith(const std::string& part) {
        return TChildProcess::LineWith(part, kPatience).value_or("");
    }
    // The exit status, or -1 if it has not ended in time.
    int ExitStatus() { return Wait(kPatience).value_or(-1); }

private:
    static TOptions Options(std::vector<std::string> args, bool withStdin) {
        TOptions options;
        options.argv = {LORVENT_READER_SIM_PATH};
        options.argv.insert(options.argv.end(), args.begin(), args.end());
        options.withStdin = withStdin;
        return options;
    }
};

std::string SerialPath(SimProcess& sim) {
    const std::string line = sim.LineWith("LORVENT_SERIAL=");
    return line.empty() ? "" : line.substr(line.find('=') + 1);
}

// The application's end of the line.
class Line {
public:
    explicit Line(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
        if (fd_ < 0)
            return;
        termios mode{};
        tcgetattr(fd_, &mode);
        cfmakeraw(&mode);
        tcsetattr(fd_, TCSANOW, &mode);
    }
    ~Line() {
        if (fd_ >= 0)
            close(fd_);
    }
    bool Ok() const { return fd_ >= 0; }

    // Writes the master's frames and collects the reply until it holds
    // `replyBytes` bytes or nothing more comes.
    std::string Exchange(const std::string& master, std::size_t replyBytes,
                         std::chrono::milliseconds patience = kPatience) {
        const Bytes out = Hex(master);
        if (write(fd_, out.data(), out.size()) != static_cast<ssize_t>(out.size()))
            return "write failed";
        return Read(replyBytes, patience);
    }

    std::string Read(std::size_t bytes, std::chrono::milliseconds patience = kPatience) {
        Bytes got;
        const auto deadline = Clock::now() + patience;
        while (got.size() < bytes && Clock::now() < deadline) {
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            std::uint8_t buffer[256];
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n <= 0)
                break;
            got.insert(got.end(), buffer, buffer + n);
        }
        return ToHex(got);
    }

    // True once the far end has hung up (read fails or sees end of file).
    bool HungUp() {
        const auto deadline = Clock::now() + kPatience;
        while (Clock::now() < deadline) {
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            if (p.revents & (POLLHUP | POLLERR))
                return true;
            std::uint8_t byte;
            if (read(fd_, &byte, 1) <= 0)
                return true;
        }
        return false;
    }

private:
    int fd_;
};

std::size_t Size(const std::string& hex) {
    return Hex(hex).size();
}

TEST(SimPtyTest, ServesTheMasterOverAPseudoTerminal) {
    SimProcess sim({});
    const std::string path = SerialPath(sim);
    ASSERT_FALSE(path.empty()) << sim.Transcript();
    Line line(path);
    ASSERT_TRUE(line.Ok()) << path;

    EXPECT_EQ(line.Exchange(Join({kSetAddress1, kPoll}), Size(kToken)), kToken);
    EXPECT_NE(sim.LineWith("set address 01"), "");
    const std::string resetReply = Join({kResetAck, kToken});
    EXPECT_EQ(line.Exchange(Join({kResetRequest, kPoll}), Size(resetReply)), resetReply);

    ASSERT_TRUE(sim.Command("card 0x12345678"));
    EXPECT_NE(sim.LineWith("read card 12345678"), "");
    const std::string cardReply = Join({kCard12345678Seq0Ack0, kToken});
    const auto sent = Clock::now();
    EXPECT_EQ(line.Exchange(kPoll, Size(cardReply)), cardReply);
    // Paced at 9600 baud: the poll and the reply each take their time on the line.
    EXPECT_GE(Clock::now() - sent, Size(cardReply) * kByteTime);

    // The master acknowledges the card and sends its acknowledge command.
    EXPECT_EQ(line.Exchange(Join({ToHex(MasterFrame("01 01 03 06 00")), kPoll}),
                            Size(Join({kAckOnly1, kToken}))),
              Join({kAckOnly1, kToken}));
    EXPECT_NE(sim.LineWith("data SEQ 0 ACK 1: acknowledge (03 06 00)"), "");
    EXPECT_NE(sim.LineWith("card read 12345678 acknowledged"), "");

    ASSERT_TRUE(sim.Command("status"));
    EXPECT_NE(sim.LineWith("card reads 1 made, 1 acknowledged"), "");
    ASSERT_TRUE(sim.Command("quit"));
    EXPECT_EQ(sim.ExitStatus(), 0) << sim.Transcript();
}

TEST(SimPtyTest, FaultsReachTheLine) {
    SimProcess sim({"--no-pace", "--address", "1"});
    Line line(SerialPath(sim));
    ASSERT_TRUE(line.Ok()) << sim.Transcript();

    ASSERT_TRUE(sim.Command("wrong-address"));
    sim.Command("status"); // commands run in order: once this prints, the fault is armed
    ASSERT_NE(sim.LineWith("status:"), "");
    EXPECT_EQ(line.Exchange(kPoll, 2), "C0 82");

    ASSERT_TRUE(sim.Command("silence 1"));
    ASSERT_TRUE(sim.Command("status"));
    ASSERT_NE(sim.LineWith("status:"), "");
    EXPECT_EQ(line.Exchange(kPoll, 2, 300ms), "") << "silent";
    EXPECT_EQ(line.Exchange(kPoll, 2), kToken);

    ASSERT_TRUE(sim.Command("noise 30"));
    const Bytes noise = Hex(line.Read(30));
    ASSERT_EQ(noise.size(), 30u);
    for (std::uint8_t byte : noise)
        EXPECT_NE(byte, kFlagStart);

    ASSERT_TRUE(sim.Command("bogus"));
    EXPECT_NE(sim.LineWith("error: stdin line 6: unknown command 'bogus'"), "") << sim.Transcript();
    EXPECT_TRUE(sim.Running()) << "a bad command does not end the simulator";
}

TEST(SimPtyTest, LinkFollowsUnplugAndReplug) {
    lorvent::testing::TTempDir directory;
    const std::string link = directory.File("reader");
    {
        SimProcess sim({"--link", link, "--no-pace"});
        ASSERT_EQ(SerialPath(sim), link) << sim.Transcript();
        char target[256] = {};
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u) << target;

        {
            Line line(link);
            ASSERT_TRUE(line.Ok());
            EXPECT_EQ(line.Exchange(Join({kSetAddress1, kPoll}), 2), kToken);
            ASSERT_TRUE(sim.Command("unplug"));
            EXPECT_TRUE(line.HungUp()) << "the program sees the adapter go";
        }
        {
            // Meanwhile the terminal's number is free, and the next
            // pseudo-terminal on the machine takes it: a program reopening
            // the link must not land on that other line.
            const int other = posix_openpt(O_RDWR | O_NOCTTY);
            ASSERT_GE(other, 0);
            ASSERT_EQ(grantpt(other), 0);
            ASSERT_EQ(unlockpt(other), 0);
            struct stat meanwhile {};
            EXPECT_NE(lstat(link.c_str(), &meanwhile), 0) << "the link is gone with the adapter";
            Line stray(link);
            EXPECT_FALSE(stray.Ok()) << "the link led to " << ptsname(other);
            close(other);
            ASSERT_TRUE(sim.Command("replug"));
        }
        ASSERT_EQ(SerialPath(sim), link) << "announced again after the replug";
        Line again(link);
        ASSERT_TRUE(again.Ok()) << sim.Transcript();
        EXPECT_EQ(again.Exchange(kPoll, 2), kToken) << "the reader kept its address";

        sim.Signal(SIGTERM);
        EXPECT_EQ(sim.ExitStatus(), 0);
    }
    struct stat gone {};
    EXPECT_NE(lstat(link.c_str(), &gone), 0) << "the link is removed at the end";
}

TEST(SimPtyTest, ScriptKeepsRunningWithoutStandardInput) {
    lorvent::testing::TTempDir directory;
    const std::string script = directory.File("script");
    std::ofstream(script) << "# a demo\ncard 0x0A0B0C0D\nevery 100ms status\n";

    SimProcess sim({"--script", script, "--address", "1"}, /*withStdin=*/false);
    Line line(SerialPath(sim));
    ASSERT_TRUE(line.Ok()) << sim.Transcript();
    EXPECT_NE(sim.LineWith("standard input ended"), "");
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(sim.LineWith("status:"), "") << "still serving after stdin ended";
    const std::string reply = Join({ToHex(MasterFrame("01 00 83 81 0A 0B 0C 0D")), kToken});
    EXPECT_EQ(line.Exchange(kPoll, Size(reply)), reply) << "the script's card read";
    sim.Signal(SIGINT);
    EXPECT_EQ(sim.ExitStatus(), 0);
}

TEST(SimPtyTest, QuitsAtTheEndOfInputWhenAsked) {
    SimProcess sim({"--quit-on-eof"});
    ASSERT_FALSE(SerialPath(sim).empty());
    ASSERT_TRUE(sim.Command("card 0x01020304"));
    sim.CloseStdin();
    EXPECT_EQ(sim.ExitStatus(), 0) << sim.Transcript();
}

TEST(SimPtyTest, RefusesBadStartsClearly) {
    lorvent::testing::TTempDir directory;
    const std::string script = directory.File("script");
    std::ofstream(script) << "card 0x01\ncard 0xNOPE\n";

    const std::pair<std::vector<std::string>, const char*> starts[] = {
        {{"--script", script}, "line 2: a card number is hexadecimal"},
        {{"--script", "/nonexistent/script"}, "cannot read script"},
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"--address", "127"}, "--address does not take '127'"},
        {{"--link"}, "--link needs a value"},
    };
    for (const auto& [args, message] : starts) {
        SCOPED_TRACE(args[0]);
        SimProcess sim(args);
        EXPECT_EQ(sim.ExitStatus(), 2);
        EXPECT_NE(sim.Stderr().find(message), std::string::npos);
    }
}

} // namespace
} // namespace lorvent::sim
