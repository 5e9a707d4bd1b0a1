// Faults under load, with nothing lost: fifty terminals with lorvent's upload
// rules keep uploading while the database or the server dies and comes back.
// Every record that got "OK" must be in the database once; every other one
// in its terminal's data file; none answered twice.
#include "pg_cluster.h"
#include "server_process.h"
#include "terminal_fleet.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <map>

namespace lorvent {
namespace {

using namespace std::chrono_literals;
using testing::FleetAccount;
using testing::ListeningPort;
using testing::PgCluster;
using testing::ServerProcess;
using testing::TTempDir;
using testing::TerminalFleet;

constexpr int kTerminals = 50;
constexpr int kRecordsPerTick = 5;

// Waits until the fleet has `count` more confirmations than `from`, for at most 30 s.
bool AwaitConfirmations(TerminalFleet& fleet, std::size_t from, std::size_t count) {
    for (auto waited = 0ms; waited < 30s; waited += 50ms) {
        if (fleet.ConfirmedSoFar() >= from + count)
            return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// `stored` holds the database's card numbers, one per row.
void ExpectNothingLostOrDoubled(const FleetAccount& account,
                                const std::vector<std::string>& stored) {
    EXPECT_TRUE(account.strangeLines.empty()) << account.strangeLines.front();
    EXPECT_EQ(account.answeredTwice, 0);
    EXPECT_EQ(account.filedTwice, 0);
    std::map<std::string, int> rows;
    for (const std::string& number : stored)
        ++rows[number];

    int lost = 0, confirmedAndFiled = 0, confirmedNotStored = 0, storedTwice = 0, unknown = 0;
    for (const std::string& number : account.sent) {
        const bool confirmed = account.confirmed.contains(number);
        const bool filed = account.filed.contains(number);
        lost += !confirmed && !filed;
        confirmedAndFiled += confirmed && filed;
        confirmedNotStored += confirmed && rows[number] == 0;
    }
    for (const auto& [number, count] : rows) {
        storedTwice += count > 1;
        unknown += !account.sent.contains(number);
    }
    EXPECT_EQ(lost, 0) << "records neither confirmed nor in a data file";
    EXPECT_EQ(confirmedAndFiled, 0);
    EXPECT_EQ(confirmedNotStored, 0) << "confirmed, yet not in the database";
    EXPECT_EQ(storedTwice, 0);
    EXPECT_EQ(unknown, 0);

    // A commit whose "OK" never reached its terminal (the server died after
    // it, or the reply came after the terminal had given up) leaves the
    // record in both places; say how many, the import of data files must
    // know of them.
    int inBoth = 0;
    for (const std::string& number : account.filed)
        inBoth += rows.contains(number);
    std::cout << "sent " << account.sent.size() << ", confirmed " << account.confirmed.size()
              << ", filed " << account.filed.size() << ", filed and also stored " << inBoth
              << std::endl;
}

std::vector<std::string> SqliteNumbers(const std::string& path) {
    std::vector<std::string> numbers;
    for (const std::string& row : testing::DatabaseRows(path))
        numbers.push_back(row.substr(row.rfind(' ') + 1));
    return numbers;
}

TEST(ServerFaultTest, TheServerKilledUnderLoadLosesNothingItConfirmed) {
    TTempDir dir;
    const std::string db = dir.File("site.sqlite");
    auto server = std::make_unique<ServerProcess>(std::vector<std::string>{"--port", "0", "--db", db});
    const std::uint16_t port = ListeningPort(*server);
    TerminalFleet fleet(kTerminals, kRecordsPerTick, port, dir.File(""));
    ASSERT_TRUE(AwaitConfirmations(fleet, 0, 1000));

    server->Stop(SIGKILL);
    server.reset();
    std::this_thread::sleep_for(500ms); // the terminals find nobody there
    server = std::make_unique<ServerProcess>(
        std::vector<std::string>{"--port", std::to_string(port), "--db", db});
    ASSERT_EQ(ListeningPort(*server), port);
    ASSERT_TRUE(AwaitConfirmations(fleet, fleet.ConfirmedSoFar(), 1000)) << "no recovery";

    fleet.Stop();
    EXPECT_EQ(server->Stop(SIGTERM), 0);
    ExpectNothingLostOrDoubled(fleet.Account(), SqliteNumbers(db));
}

TEST(ServerFaultTest, PostgresKilledUnderLoadLosesNothingAndTheServerComesBack) {
    PgCluster cluster;
    const std::string database = cluster.CreateDatabase();
    TTempDir dir;
    ServerProcess server({"--port", "0", "--db", cluster.Uri(database)});
    TerminalFleet fleet(kTerminals, kRecordsPerTick, ListeningPort(server), dir.File(""));
    ASSERT_TRUE(AwaitConfirmations(fleet, 0, 1000));

    cluster.Kill(); // pg_ctl stop -m immediate
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(server.Running()) << "the server must outlive its database";
    cluster.Start();
    ASSERT_TRUE(AwaitConfirmations(fleet, fleet.ConfirmedSoFar(), 1000)) << "no reconnection";

    fleet.Stop();
    EXPECT_EQ(server.Stop(SIGTERM), 0);
    ExpectNothingLostOrDoubled(fleet.Account(),
                               cluster.Query(database, "SELECT number FROM attendance"));
}

} // namespace
} // namespace lorvent
