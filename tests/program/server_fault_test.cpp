// Faults under load, with nothing lost: fifty terminals with lorvent's upload
// rules keep uploading while the database or the server dies and comes back.
// Every record that got "OK" must be in the database once; every other one
// in its terminal's data file; none answered twice.
#include "support/pg_cluster.h"
#include "support/program_rig.h"
#include "support/wait.h"
#include "terminal_fleet.h"

#include <gtest/gtest.h>

#include <csignal>
#include <iostream>
#include <map>

namespace lorvent {
namespace {

using namespace std::chrono_literals;
using testing::FleetAccount;
using testing::TerminalFleet;
using testing::TPgCluster;
using testing::TProgramRig;

constexpr int kTerminals = 50;
constexpr int kRecordsPerTick = 5;

// Waits until the fleet has `count` more confirmations than `from`, for at most 30 s.
bool AwaitConfirmations(TerminalFleet& fleet, std::size_t from, std::size_t count) {
    return testing::WaitUntil([&] { return fleet.ConfirmedSoFar() >= from + count; }, 30s, 50ms);
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

// The card numbers kalvinor-server --list gives, one per row.
std::vector<std::string> ListedNumbers(TProgramRig& rig) {
    const testing::TListing listing = rig.ListStored();
    EXPECT_EQ(listing.status, 0) << listing.errors;
    std::vector<std::string> numbers;
    for (const std::string& row : listing.records)
        numbers.push_back(row.substr(row.rfind(' ') + 1));
    return numbers;
}

// Its own SQLite file, killed with SIGKILL under load and started again on
// the same port.
TEST(ServerFaultTest, TheServerKilledUnderLoadLosesNothingItConfirmed) {
    TProgramRig rig;
    const auto port = rig.StartServer();
    ASSERT_TRUE(port) << rig.server->Stderr();
    TerminalFleet fleet(kTerminals, kRecordsPerTick, *port, rig.Dir());
    ASSERT_TRUE(AwaitConfirmations(fleet, 0, 1000));

    rig.server->Signal(SIGKILL);
    ASSERT_TRUE(rig.server->Wait(10s));
    rig.server.reset();
    std::this_thread::sleep_for(500ms); // the terminals find nobody there
    testing::TServerStart samePort;
    samePort.port = *port;
    ASSERT_EQ(rig.StartServer(samePort), port) << rig.server->Stderr();
    ASSERT_TRUE(AwaitConfirmations(fleet, fleet.ConfirmedSoFar(), 1000)) << "no recovery";

    fleet.Stop();
    rig.server->Signal(SIGTERM);
    EXPECT_EQ(rig.server->Wait(10s), 0);
    ExpectNothingLostOrDoubled(fleet.Account(), ListedNumbers(rig));
}

TEST(ServerFaultTest, PostgresKilledUnderLoadLosesNothingAndTheServerComesBack) {
    TPgCluster cluster;
    const std::string database = cluster.CreateDatabase();
    TProgramRig rig;
    testing::TServerStart onPostgres;
    onPostgres.database = cluster.Uri(database);
    const auto port = rig.StartServer(onPostgres);
    ASSERT_TRUE(port) << rig.server->Stderr();
    TerminalFleet fleet(kTerminals, kRecordsPerTick, *port, rig.Dir());
    ASSERT_TRUE(AwaitConfirmations(fleet, 0, 1000));

    cluster.Kill(); // pg_ctl stop -m immediate
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(rig.server->Running()) << "the server must outlive its database";
    cluster.Start();
    ASSERT_TRUE(AwaitConfirmations(fleet, fleet.ConfirmedSoFar(), 1000)) << "no reconnection";

    fleet.Stop();
    rig.server->Signal(SIGTERM);
    EXPECT_EQ(rig.server->Wait(10s), 0);
    ExpectNothingLostOrDoubled(fleet.Account(),
                               cluster.Query(database, "SELECT number FROM attendance"));
}

} // namespace
} // namespace lorvent
