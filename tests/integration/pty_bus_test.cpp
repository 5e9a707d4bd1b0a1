// The whole bus over a real pseudo-terminal: the reader simulator program on
// one side, the engine with the serial port backend and its own thread on the
// other, in real time.
#include "bus_fixture.h"
#include "support/child_process.h"
#include "support/engine_setup.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "support/wait.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace lorvent {
namespace {

using namespace std::chrono_literals;

class PtyBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::TChildProcess::TOptions options;
        options.argv = {LORVENT_READER_SIM_PATH, "--link", linkPath};
        options.withStdin = true;
        reader = std::make_unique<testing::TChildProcess>(options);
        ASSERT_TRUE(reader->LineWith("LORVENT_SERIAL=", 5s));

        protocol = std::make_unique<TProtocol>(testing::EngineSetup(MakePlatformDevice(), log));
        ASSERT_TRUE(protocol->Open("", "9600,n,8,1"));
        link = std::make_unique<testing::AppLink>(*protocol, &log);
        link->Init(0xFFFFFFFF, 1);
    }
    void TearDown() override {
        link.reset();
        if (protocol) {
            protocol->Terminate();
            protocol->WaitFor();
        }
        reader.reset();
    }

    // Waits until the log holds `line`; everything logged so far is kept.
    bool WaitForLog(const std::string& line, std::chrono::milliseconds patience = 10s) {
        return testing::WaitUntil(
            [&] {
                for (auto& entry : log.Take())
                    logged.push_back(entry);
                return std::find(logged.begin(), logged.end(), line) != logged.end();
            },
            patience, 10ms);
    }
    // Collects inbound messages until `message` arrives (it is included).
    bool WaitForInbound(const std::string& message, std::chrono::milliseconds patience = 10s) {
        bool arrived = false;
        return testing::WaitUntil(
            [&] {
                for (auto& m : link->Drain()) {
                    inbound.push_back(m);
                    arrived = arrived || m == message;
                }
                return arrived;
            },
            patience, 10ms);
    }

    testing::TTempDir directory_;
    const std::string linkPath = directory_.File("reader");
    testing::TScopedEnv serial_{"LORVENT_SERIAL", linkPath};
    testing::RecordingLog log;
    std::vector<std::string> logged, inbound;
    std::unique_ptr<testing::TChildProcess> reader;
    std::unique_ptr<TProtocol> protocol;
    std::unique_ptr<testing::AppLink> link;
};

TEST_F(PtyBusTest, StartCardReadUnplugAndReplug) {
    link->Send({0x03, 0x06, 0x00});
    ASSERT_TRUE(WaitForLog("S1 Trce Slave acknowledged reset")) << reader->Transcript();
    EXPECT_EQ(logged, (std::vector<std::string>{
                          "S1 Trce Address set to 01", "S1 Mesg Reply from slave",
                          "S1 Mesg Reply from slave", "S1 Mesg Reply from slave",
                          "S1 Trce Slave wakes", "S1 Trce Slave acknowledged reset"}));
    EXPECT_TRUE(reader->LineWith("acknowledge", 5s)) << "the command reached the reader";

    ASSERT_TRUE(reader->Command("card 12345678"));
    ASSERT_TRUE(WaitForInbound("83 81 12 34 56 78")) << reader->Transcript();
    std::this_thread::sleep_for(300ms); // time enough for a wrong second delivery
    for (auto& m : link->Drain())
        inbound.push_back(m);
    EXPECT_EQ(std::count(inbound.begin(), inbound.end(), "83 81 12 34 56 78"), 1);

    // The adapter goes away: reads fail, the engine keeps reopening, the
    // reader dies; when the port is back, it is found again and wakes. Each
    // poll on a failed device spends its frame budget on 100 ms pauses, so
    // dying takes five or six seconds.
    inbound.clear();
    ASSERT_TRUE(reader->Command("unplug 8s"));
    ASSERT_TRUE(WaitForInbound("A1", 20s)) << reader->Transcript();
    ASSERT_TRUE(WaitForInbound("A0", 20s)) << reader->Transcript();
    for (auto& entry : log.Take())
        logged.push_back(entry);
    const bool sawDeviceFailure =
        std::any_of(logged.begin(), logged.end(), [](const std::string& entry) {
            return entry.rfind("Protocol Err  SendPacket: FT_Read error", 0) == 0 ||
                   entry.rfind("Protocol Err  SendPacket: FT_Write error", 0) == 0;
        });
    EXPECT_TRUE(sawDeviceFailure);
    EXPECT_TRUE(protocol->DeviceOpen());

    ASSERT_TRUE(reader->Command("card 0a0b0c0d"));
    EXPECT_TRUE(WaitForInbound("83 81 0A 0B 0C 0D")) << reader->Transcript();
}

} // namespace
} // namespace lorvent
