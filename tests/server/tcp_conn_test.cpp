// TCPConn against small scripted servers on 127.0.0.1.
#include "app/tcpconn/tcp_conn.h"
#include "support/dropping_listener.h"
#include "support/scripted_peer.h"

#include <asio.hpp>
#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace lorvent {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

using testing::AwaitHangUp;
using testing::TDroppingListener;
using testing::ReadRequest;
using testing::ScriptedPeer;
using testing::Send;

TEST(TCPConnTest, WritesTheLineWithCrLfAndReadsTheReplyWithoutIt) {
    std::promise<std::string> received;
    ScriptedPeer peer([&](tcp::socket& socket, int) {
        received.set_value(ReadRequest(socket));
        Send(socket, "OK\r\n");
        AwaitHangUp(socket);
    });
    TCPConn conn("127.0.0.1", peer.Port());
    conn.Connect();
    EXPECT_TRUE(conn.Connected());
    EXPECT_THROW(conn.WriteLine("L 07/12/2026-23:16\r\n012aff007b"), std::invalid_argument);
    conn.WriteLine("L 07/12/2026-23:16 012aff007b");
    EXPECT_EQ(conn.ReadLine(), "OK");
    EXPECT_EQ(received.get_future().get(), "L 07/12/2026-23:16 012aff007b\r\n");
    conn.Disconnect();
    EXPECT_FALSE(conn.Connected());
}

struct ReplyCase {
    const char* what;
    std::vector<std::string> pieces; // sent 100 ms apart
    const char* line;                // what ReadLine gives; "" also for a time-out
};

void PrintTo(const ReplyCase& reply, std::ostream* out) {
    *out << reply.what;
}

class TCPConnReplyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(TCPConnReplyTest, ReadsUpToTheFirstCrLf) {
    const ReplyCase& reply = GetParam();
    ScriptedPeer peer([&reply](tcp::socket& socket, int) {
        for (const std::string& piece : reply.pieces) {
            std::this_thread::sleep_for(100ms);
            Send(socket, piece);
        }
        AwaitHangUp(socket);
    });
    // The wait is long beside the pieces' 100 ms, so that a slow machine
    // (Wine under emulation) cannot pass for a line that never ends.
    TCPConn conn("127.0.0.1", peer.Port(), 3s);
    conn.Connect();
    EXPECT_EQ(conn.ReadLine(), reply.line) << reply.what;
    EXPECT_TRUE(conn.Connected()) << "a time-out is not an error";
}

INSTANTIATE_TEST_SUITE_P(
    Replies, TCPConnReplyTest,
    ::testing::Values(ReplyCase{"plain", {"OK\r\n"}, "OK"},
                      ReplyCase{"lower case is passed on as it is", {"ok\r\n"}, "ok"},
                      ReplyCase{"trailing space is kept", {"OK \r\n"}, "OK "},
                      ReplyCase{"empty line", {"\r\n"}, ""},
                      ReplyCase{"LF alone never ends a line: time-out", {"OK\n"}, ""},
                      ReplyCase{"CR alone never ends a line: time-out", {"OK\r"}, ""},
                      ReplyCase{"lone CR and LF are text", {"A\rB\nC\r\n"}, "A\rB\nC"},
                      ReplyCase{"in pieces", {"O", "K", "\r\n"}, "OK"},
                      ReplyCase{"CR LF split across pieces", {"OK\r", "\n"}, "OK"}));

TEST(TCPConnTest, TwoLinesInOneArrivalAreReadOneAtATime) {
    ScriptedPeer peer([](tcp::socket& socket, int) {
        Send(socket, "OK\r\nsecond\r\nthi");
        AwaitHangUp(socket);
    });
    // Under emulation the one arrival took over 300 ms to come.
    TCPConn conn("127.0.0.1", peer.Port(), 3s);
    conn.Connect();
    EXPECT_EQ(conn.ReadLine(), "OK");
    EXPECT_EQ(conn.ReadLine(), "second");
    EXPECT_EQ(conn.ReadLine(), ""); // "thi" never ends
}

TEST(TCPConnTest, TheWaitIsForEachArrivalNotForTheWholeLine) {
    // Three pieces 600 ms apart: the line takes longer than 1000 ms in all,
    // yet no single wait does.
    ScriptedPeer peer([](tcp::socket& socket, int) {
        for (const char* piece : {"O", "K", "\r\n"}) {
            std::this_thread::sleep_for(600ms);
            Send(socket, piece);
        }
        AwaitHangUp(socket);
    });
    TCPConn conn("127.0.0.1", peer.Port());
    conn.Connect();
    EXPECT_EQ(conn.ReadLine(), "OK");
}

TEST(TCPConnTest, AReplyLaterThanTheWaitGivesAnEmptyText) {
    ScriptedPeer peer([](tcp::socket& socket, int) {
        std::this_thread::sleep_for(1500ms);
        Send(socket, "OK\r\n");
        AwaitHangUp(socket);
    });
    TCPConn conn("127.0.0.1", peer.Port()); // the default 1000 ms wait
    conn.Connect();
    const auto start = Clock::now();
    EXPECT_EQ(conn.ReadLine(), "");
    EXPECT_GE(Clock::now() - start, 900ms);
    EXPECT_TRUE(conn.Connected());
}

TEST(TCPConnTest, TheServerClosingIsAnError) {
    ScriptedPeer peer([](tcp::socket& socket, int) {
        ReadRequest(socket);
        Send(socket, "O"); // half a reply, then gone
        socket.close();
    });
    TCPConn conn("127.0.0.1", peer.Port());
    conn.Connect();
    conn.WriteLine("L 07/12/2026-23:16 012aff007b");
    EXPECT_THROW(conn.ReadLine(), TCPConnError);
    EXPECT_FALSE(conn.Connected());
}

TEST(TCPConnTest, TheServerClosingRightAfterAnOkFailsTheNextExchange) {
    ScriptedPeer peer([](tcp::socket& socket, int) {
        ReadRequest(socket);
        Send(socket, "OK\r\n");
        socket.close();
    });
    TCPConn conn("127.0.0.1", peer.Port());
    conn.Connect();
    conn.WriteLine("L 07/12/2026-23:16 012aff007b");
    EXPECT_EQ(conn.ReadLine(), "OK");
    EXPECT_THROW(
        {
            conn.WriteLine("L 07/12/2026-23:17 012aff007b");
            conn.ReadLine();
        },
        TCPConnError);
}

TEST(TCPConnTest, AReplyLineWithoutEndIsCutOffAsAnError) {
    ScriptedPeer peer([](tcp::socket& socket, int) {
        const std::string chunk(1024, 'x');
        for (std::size_t sent = 0; sent <= kMaxReplyLineLength + chunk.size(); sent += chunk.size())
            Send(socket, chunk);
        AwaitHangUp(socket);
    });
    TCPConn conn("127.0.0.1", peer.Port());
    conn.Connect();
    EXPECT_THROW(conn.ReadLine(), TCPConnError);
    EXPECT_FALSE(conn.Connected());
}

TEST(TCPConnTest, NothingListeningIsAnError) {
    std::uint16_t freePort;
    {
        asio::io_context io;
        tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
        freePort = probe.local_endpoint().port();
    }
    TCPConn conn("127.0.0.1", freePort);
    EXPECT_THROW(conn.Connect(), TCPConnError);
    EXPECT_FALSE(conn.Connected());
    EXPECT_THROW(conn.WriteLine("L"), TCPConnError);
    EXPECT_THROW(conn.ReadLine(), TCPConnError);
}

TEST(TCPConnTest, ReconnectingByNameLeavesNothingOfTheLastConnection) {
    ScriptedPeer peer(
        [](tcp::socket& socket, int connection) {
            Send(socket, connection == 0 ? "OK\r\nleft over\r\n" : "fresh\r\n");
            AwaitHangUp(socket);
        },
        2);
    // "localhost" may name ::1 first, where nothing listens; 127.0.0.1 must
    // still be tried. The bounds are generous: a slow lookup (Wine under
    // emulation takes over a second) is not what this test is about.
    TCPConn conn("localhost", peer.Port(), 30s, 30s);
    conn.Connect();
    EXPECT_EQ(conn.ReadLine(), "OK");
    conn.Connect(); // drops the first connection with its unread line
    EXPECT_EQ(conn.ReadLine(), "fresh");
}

// ---- How long a connect may last ----

// The system's own attempt against a host that drops it lasts minutes; the
// connect gives up at its bound instead, having waited for it.
TEST(TCPConnConnectTest, AHostThatDropsTheAttemptIsGivenUpAtTheBound) {
    TDroppingListener silent;
    ASSERT_TRUE(silent.DropsAttempts()) << "this system answers attempts to a full accept queue";
    for (const char* host : {"127.0.0.1", "localhost"}) {
        TCPConn conn(host, silent.Port());
        const auto start = Clock::now();
        EXPECT_THROW(conn.Connect(), TCPConnError) << host;
        const auto took = Clock::now() - start;
        EXPECT_GE(took, kConnectTimeout - 50ms) << host;
        EXPECT_LT(took, kConnectTimeout + 2s) << host;
        EXPECT_FALSE(conn.Connected());
    }
}

// A name server that does not answer holds the lookup; the connect gives up
// at the bound all the same, the next connect waits for the same lookup
// rather than starting another, and once it has answered connects go on.
TEST(TCPConnConnectTest, ALookupThatDoesNotAnswerIsBoundedAndNotStartedTwice) {
    struct TNameServer {
        std::mutex mutex;
        std::condition_variable answered;
        bool answers = false;
        int lookups = 0;
    };
    auto nameServer = std::make_shared<TNameServer>();
    const auto resolve = [nameServer](const std::string&) -> std::vector<std::string> {
        std::unique_lock<std::mutex> guard(nameServer->mutex);
        ++nameServer->lookups;
        nameServer->answered.wait(guard, [&] { return nameServer->answers; });
        return {"127.0.0.1"};
    };
    ScriptedPeer peer([](tcp::socket& socket, int) {
        Send(socket, "hello\r\n");
        AwaitHangUp(socket);
    });
    TCPConn conn("attendance.example", peer.Port(), kReplyWaitTimeout, 300ms, resolve);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto start = Clock::now();
        EXPECT_THROW(conn.Connect(), TCPConnError);
        EXPECT_GE(Clock::now() - start, 250ms);
        EXPECT_LT(Clock::now() - start, 2s);
    }
    {
        std::lock_guard<std::mutex> guard(nameServer->mutex);
        EXPECT_EQ(nameServer->lookups, 1);
        nameServer->answers = true;
    }
    nameServer->answered.notify_all();
    conn.Connect();
    EXPECT_EQ(conn.ReadLine(), "hello");
}

// A name server of the test's own: each lookup takes the next answer in turn
// (no address: the name is not known); a held answer waits until released.
// Its state outlives it for as long as a lookup thread holds the resolver.
class TScriptedNameServer {
public:
    struct TAnswer {
        std::vector<std::string> addresses;
        bool held = false;
    };

    explicit TScriptedNameServer(std::vector<TAnswer> answers)
        : state_(std::make_shared<TState>()) {
        state_->answers = std::move(answers);
    }
    ~TScriptedNameServer() { Release(); }

    TNameResolver Resolver() const {
        return [state = state_](const std::string& host) {
            std::unique_lock<std::mutex> guard(state->mutex);
            const TAnswer answer = state->answers.at(state->lookups++);
            state->released.wait(guard, [&] { return !answer.held || state->release; });
            if (answer.addresses.empty())
                throw TCPConnError("cannot resolve '" + host + "': not known");
            return answer.addresses;
        };
    }
    void Release() {
        std::lock_guard<std::mutex> guard(state_->mutex);
        state_->release = true;
        state_->released.notify_all();
    }

private:
    struct TState {
        std::mutex mutex;
        std::condition_variable released;
        std::vector<TAnswer> answers;
        std::size_t lookups = 0;
        bool release = false;
    };
    std::shared_ptr<TState> state_;
};

// Once a lookup has answered, a name server that is slow to answer the next
// one does not hold the connect: the addresses it gave are used meanwhile.
TEST(TCPConnConnectTest, ASlowLookupAfterAnAnswerUsesTheKnownAddresses) {
    TScriptedNameServer nameServer({{{"127.0.0.1"}}, {{"127.0.0.1"}, true}});
    ScriptedPeer peer(
        [](tcp::socket& socket, int connection) {
            Send(socket, "hello " + std::to_string(connection) + "\r\n");
            AwaitHangUp(socket);
        },
        2);
    TCPConn conn("attendance.example", peer.Port(), 30s, 30s, nameServer.Resolver());
    for (const char* reply : {"hello 0", "hello 1"}) {
        conn.Connect();
        EXPECT_EQ(conn.ReadLine(), reply);
    }
    EXPECT_EQ(conn.TakeNotice(), "");
}

// A name that stops resolving keeps its last addresses, and the log is told
// once each time it stops; an answer that comes again is used at once.
TEST(TCPConnConnectTest, ANameThatStopsResolvingKeepsItsLastAddressesAndSaysSoOnce) {
    TScriptedNameServer nameServer({{{"127.0.0.1"}}, {}, {}, {{"127.0.0.1"}}, {}, {{"::1"}}});
    ScriptedPeer peer(
        [](tcp::socket& socket, int) {
            Send(socket, "hello\r\n");
            AwaitHangUp(socket);
        },
        5);
    // Fresh answers are waited for here, so that each connect takes its own.
    TCPConn conn("attendance.example", peer.Port(), 30s, 60s, nameServer.Resolver(), 30s);
    const std::string toldOnce =
        "cannot resolve 'attendance.example': not known; using the last known addresses of "
        "'attendance.example': 127.0.0.1";
    for (const std::string expectedNotice : {"", toldOnce.c_str(), "", "", toldOnce.c_str()}) {
        conn.Connect();
        EXPECT_EQ(conn.ReadLine(), "hello");
        EXPECT_EQ(conn.TakeNotice(), expectedNotice);
    }
    // The next answer names ::1, where nothing listens: it is the one tried.
    EXPECT_THROW(conn.Connect(), TCPConnError);
}

TEST(TCPConnConnectTest, ANameThatCannotBeResolvedIsAnErrorThatSaysSo) {
    TCPConn conn("attendance.example", 11000, kReplyWaitTimeout, kConnectTimeout,
                 [](const std::string& host) -> std::vector<std::string> {
                     throw TCPConnError("cannot resolve '" + host + "': not known");
                 });
    try {
        conn.Connect();
        ADD_FAILURE() << "connected";
    } catch (const TCPConnError& error) {
        EXPECT_STREQ(error.what(), "cannot resolve 'attendance.example': not known");
    }
}

} // namespace
} // namespace lorvent
