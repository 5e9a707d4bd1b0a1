// The server on 127.0.0.1 with a port of the system's choosing, run on a
// thread of its own, with the application's TCPConn as its client.
#include "app/tcpconn/tcp_conn.h"
#include "idle_record_store.h"
#include "server/attendance_server.h"
#include "server/sqlite_record_store.h"
#include "support/running_server.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <latch>
#include <thread>

namespace lorvent::server {
namespace {

using namespace std::chrono_literals;
using testing::DatabaseRows;
using testing::TTempDir;

const std::string kRecordLine = "L 07/12/2026-23:16 012aff007b";

using RunningServer = testing::TRunningServer;

class AttendanceServerTest : public ::testing::Test {
protected:
    TCPConn Client(std::chrono::milliseconds wait = kReplyWaitTimeout) {
        return TCPConn("127.0.0.1", server_.Port(), wait);
    }

    TTempDir dir_;
    std::string path_ = dir_.File("records.sqlite");
    SqliteRecordStore store_{path_};
    RunningServer server_{store_};
};

TEST_F(AttendanceServerTest, ConfirmsARecordThatIsAlreadyInTheDatabase) {
    TCPConn client = Client();
    client.Connect();
    client.WriteLine(kRecordLine);
    ASSERT_EQ(client.ReadLine(), "OK");
    // Read through another connection right after the OK, while the server runs.
    EXPECT_EQ(DatabaseRows(path_), std::vector<std::string>{"07/12/2026-23:16 012aff007b"});

    // Sent again, on this connection and on a later one from the same
    // address: its "OK" was lost, or the card was read twice in the minute.
    client.WriteLine(kRecordLine);
    EXPECT_EQ(client.ReadLine(), "OK");
    client.Disconnect();
    TCPConn later = Client();
    later.Connect();
    later.WriteLine(kRecordLine);
    EXPECT_EQ(later.ReadLine(), "OK");
    later.Disconnect();
    server_.Stop();
    EXPECT_EQ(DatabaseRows(path_).size(), 1u);
    EXPECT_EQ(server_.Stored(), "07/12/2026-23:16 012aff007b\n");
    EXPECT_NE(server_.Problems().find("1 record was held already"), std::string::npos)
        << server_.Problems();
}

TEST_F(AttendanceServerTest, MalformedLinesAreRefusedAndTheConnectionStaysUsable) {
    TCPConn client = Client();
    client.Connect();
    for (const char* line : {"l 07/12/2026-23:16 012aff007b", "L 31/02/2026-23:16 012aff007b",
                             "L 07/12/2026-23:16", "L 07/12/2026-23:16 012AFF007B", "", "OK"}) {
        client.WriteLine(line);
        const std::string reply = client.ReadLine();
        EXPECT_TRUE(reply.starts_with("ERR ")) << line << " -> " << reply;
    }
    EXPECT_TRUE(DatabaseRows(path_).empty());

    client.WriteLine(kRecordLine);
    EXPECT_EQ(client.ReadLine(), "OK");
    EXPECT_EQ(DatabaseRows(path_).size(), 1u);
}

TEST_F(AttendanceServerTest, AnOverlongLineIsRefusedThenTheServerHangsUp) {
    TCPConn client = Client();
    client.Connect();
    client.WriteLine(std::string(2 * kMaxRequestLength, 'L'));
    EXPECT_TRUE(client.ReadLine().starts_with("ERR "));
    EXPECT_THROW(client.ReadLine(), TCPConnError);
    EXPECT_TRUE(DatabaseRows(path_).empty());
}

TEST_F(AttendanceServerTest, RepliesInOrderWhenAClientSendsAhead) {
    TCPConn client = Client();
    client.Connect();
    client.WriteLine(kRecordLine);
    client.WriteLine("bad");
    client.WriteLine("L 08/12/2026-07:00 0000ffff");
    EXPECT_EQ(client.ReadLine(), "OK");
    EXPECT_TRUE(client.ReadLine().starts_with("ERR "));
    EXPECT_EQ(client.ReadLine(), "OK");
    EXPECT_EQ(DatabaseRows(path_), (std::vector<std::string>{"07/12/2026-23:16 012aff007b",
                                                             "08/12/2026-07:00 0000ffff"}));
}

// A terminal at `source` (all of 127/8 is this machine) that sends each line
// and gives back the replies.
std::vector<std::string> SendFrom(const char* source, std::uint16_t port,
                                  const std::vector<std::string>& lines) {
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    socket.open(asio::ip::tcp::v4());
    socket.bind({asio::ip::make_address(source), 0});
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    std::vector<std::string> replies;
    std::string input;
    for (const std::string& line : lines) {
        asio::write(socket, asio::buffer(line + "\r\n"));
        const std::size_t length = asio::read_until(socket, asio::dynamic_buffer(input), "\r\n");
        replies.push_back(input.substr(0, length - 2));
        input.erase(0, length);
    }
    return replies;
}

TEST_F(AttendanceServerTest, ATerminalNotListedIsRefusedEveryLineAndLoggedOnce) {
    RunningServer listed(store_, kDefaultIdleTimeout, TerminalAllowlist::Parse("127.0.0.1\n"));
    const std::vector<std::string> records = {kRecordLine, "L 08/12/2026-07:00 0000ffff", "bad"};
    const std::vector<std::string> refused(records.size(), kTerminalNotAllowed);
    EXPECT_EQ(SendFrom("127.0.0.2", listed.Port(), records), refused);
    EXPECT_EQ(SendFrom("127.0.0.2", listed.Port(), records), refused); // and on a new connection
    EXPECT_TRUE(DatabaseRows(path_).empty());
    EXPECT_EQ(SendFrom("127.0.0.1", listed.Port(), {kRecordLine}), std::vector<std::string>{"OK"});
    listed.Stop();

    const std::string problems = listed.Problems();
    const auto first = problems.find("terminal 127.0.0.2 ");
    ASSERT_NE(first, std::string::npos) << problems;
    EXPECT_EQ(problems.find("terminal 127.0.0.2 ", first + 1), std::string::npos) << problems;
    EXPECT_EQ(problems.find("127.0.0.1"), std::string::npos) << problems;
}

std::string CardNumber(int client, int record) {
    char number[9];
    std::snprintf(number, sizeof number, "%02x%06x", client, record);
    return number;
}

TEST_F(AttendanceServerTest, ServesManyClientsAtOnce) {
    constexpr int kClients = 8;
    constexpr int kRecordsEach = 25;
    TCPConn idle = Client(); // connected and silent all along: must hold nobody up
    idle.Connect();

    std::latch allConnected(kClients);
    std::vector<int> confirmed(kClients, 0);
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            TCPConn client = Client();
            client.Connect();
            allConnected.arrive_and_wait();
            for (int r = 0; r < kRecordsEach; ++r) {
                client.WriteLine("L 07/12/2026-23:16 " + CardNumber(c, r));
                confirmed[c] += client.ReadLine() == "OK";
            }
        });
    }
    for (auto& client : clients)
        client.join();

    const auto rows = DatabaseRows(path_);
    ASSERT_EQ(rows.size(), std::size_t{kClients * kRecordsEach});
    for (int c = 0; c < kClients; ++c) {
        EXPECT_EQ(confirmed[c], kRecordsEach) << "client " << c;
        std::vector<std::string> mine;
        for (const auto& row : rows) {
            if (row.substr(17, 2) == CardNumber(c, 0).substr(0, 2))
                mine.push_back(row.substr(17));
        }
        std::vector<std::string> sent;
        for (int r = 0; r < kRecordsEach; ++r)
            sent.push_back(CardNumber(c, r));
        EXPECT_EQ(mine, sent) << "client " << c << ": each client's records keep their order";
    }
}

TEST_F(AttendanceServerTest, StopEndsTheRunWithClientsConnectedAndKeepsTheRecords) {
    TCPConn client = Client();
    client.Connect();
    client.WriteLine(kRecordLine);
    ASSERT_EQ(client.ReadLine(), "OK");

    server_.Stop(); // returns only once the server's thread has finished
    EXPECT_THROW(client.ReadLine(), TCPConnError);
    EXPECT_THROW(client.Connect(), TCPConnError);
    EXPECT_EQ(DatabaseRows(path_).size(), 1u);
}

class FailingStore : public testing::TIdleRecordStore {
public:
    AddedRecords Add(std::span<const StoredRecord>) override { throw StoreError("disk full"); }
};

TEST(AttendanceServerStoreTest, NoOkForARecordThatCouldNotBeStored) {
    FailingStore store;
    RunningServer server(store);
    TCPConn client("127.0.0.1", server.Port());
    client.Connect();
    client.WriteLine(kRecordLine);
    const std::string reply = client.ReadLine();
    EXPECT_TRUE(reply.starts_with("ERR ")) << reply;
    client.Disconnect();
    server.Stop();
    EXPECT_EQ(server.Stored(), "");
    EXPECT_NE(server.Problems().find("disk full"), std::string::npos);
}

TEST(AttendanceServerIdleTest, DropsAClientThatStaysSilent) {
    TTempDir dir;
    SqliteRecordStore store(dir.File("records.sqlite"));
    RunningServer server(store, 100ms);
    TCPConn client("127.0.0.1", server.Port(), 5000ms);
    client.Connect();
    // A closed connection, not the client's own 5 s wait running out.
    EXPECT_THROW(client.ReadLine(), TCPConnError);
}

} // namespace
} // namespace lorvent::server
