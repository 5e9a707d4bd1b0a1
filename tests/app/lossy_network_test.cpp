// The upload over a network with a site's milder faults, run by
// tests/support/in_lossy_network.sh in a network namespace of its own whose
// packet filter loses every second SYN: the first connection attempt of each
// tick goes unanswered, and the system would send it again only after a
// second, at the connect's bound. The name server takes 1.5 s per answer.
#include "app/tcpconn/tcp_conn.h"
#include "attendance_window.h"
#include "support/loopback_server.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <thread>

namespace lorvent {
namespace {

using namespace std::chrono_literals;

constexpr int kTicks = 100;
constexpr auto kNameServerDelay = 1500ms;

std::string CardNumber(int tick) {
    char number[11];
    std::snprintf(number, sizeof number, "%010x", 0x3a000000 + tick);
    return number;
}

// The card numbers of the data file's lines ("dd/mm/yyyy-hh:nn number" CR LF).
std::vector<std::string> FiledNumbers(const std::filesystem::path& dataFile) {
    std::ifstream file(dataFile);
    std::vector<std::string> numbers;
    for (std::string line; std::getline(file, line);) {
        const std::size_t number = line.rfind(' ') + 1;
        numbers.push_back(line.substr(number, line.find('\r') - number));
    }
    return numbers;
}

// Every tick but the first reaches the server: the first waits for a lookup
// that takes longer than its bound, every later one uses the address a
// lookup gave, and a second attempt connects where the first was lost.
TEST(LossyNetworkTest, ASlowNameServerAndALostSynCostAtMostTheFirstTick) {
    testing::TLoopbackServer server;
    const auto slowNameServer = [](const std::string&) -> std::vector<std::string> {
        std::this_thread::sleep_for(kNameServerDelay);
        return {"127.0.0.1"};
    };
    testing::TAttendanceWindow window(
        server.DataFile().string(), [&]() -> std::unique_ptr<TServerConnection> {
            // The reply wait is generous: the server's commits on a loaded
            // machine are not what this test is about.
            return std::make_unique<TCPConn>("attendance.test", server.Port(), 30s,
                                             kConnectTimeout, slowNameServer);
        });
    std::tm readAt{};
    readAt.tm_year = 126;
    readAt.tm_mday = 1;
    std::set<std::string> read;
    for (int tick = 0; tick < kTicks; ++tick) {
        readAt.tm_min = tick % 60;
        read.insert(CardNumber(tick));
        window.Read(CardNumber(tick), readAt);
        window.UploadTick();
    }
    window.Close();

    const std::vector<std::string> stored = server.StoredNumbers();
    const std::vector<std::string> filed = FiledNumbers(server.DataFile());
    EXPECT_GE(stored.size(), kTicks - 1u) << filed.size() << " ticks went to the data file";
    std::multiset<std::string> everywhere(stored.begin(), stored.end());
    everywhere.insert(filed.begin(), filed.end());
    EXPECT_EQ(everywhere, std::multiset<std::string>(read.begin(), read.end()))
        << "each read once, on the server or in the data file";
}

} // namespace
} // namespace lorvent
