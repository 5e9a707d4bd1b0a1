#include "engine_fixture.h"
#include "support/hex.h"

#include <future>
#include <thread>

namespace lorvent {
namespace {

using testing::EngineFixture;
using testing::Hex;

using EngineTest = EngineFixture;

TEST_F(EngineTest, OpenConfiguresDeviceZeroWhateverThePortText) {
    EXPECT_TRUE(protocol->Open("", "9600,n,8,1"));
    EXPECT_EQ(protocol->PortText(), "");
    EXPECT_EQ(protocol->SettingsText(), "9600,n,8,1");
    EXPECT_EQ(device->openedIndex, 0);
    EXPECT_EQ(device->calls,
              (std::vector<std::string>{"FT_Open", "FT_SetBaudRate", "FT_SetDataCharacteristics",
                                        "FT_SetFlowControl", "FT_SetTimeouts"}));
    EXPECT_EQ(device->baud, 9600u);
    EXPECT_EQ(device->dataCharacteristics, (std::vector<int>{8, 0, 0}));
    EXPECT_EQ(device->flow, (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(device->timeouts.back(), (std::vector<int>{50, 100}));
    EXPECT_TRUE(protocol->DeviceOpen());
}

TEST_F(EngineTest, EachFailingOpenStepLogsItselfAndLeavesTheDeviceClosed) {
    const char* steps[] = {"FT_Open", "FT_SetBaudRate", "FT_SetDataCharacteristics",
                           "FT_SetFlowControl", "FT_SetTimeouts"};
    for (const char* step : steps) {
        SCOPED_TRACE(step);
        EngineFixture::SetUp();
        device->FailAt(step, device->CallCount(step) + 1, 0x1FF); // low byte FF logs as -1
        const int closesBefore = device->closeCount;
        EXPECT_FALSE(protocol->OpenDevice());
        EXPECT_FALSE(protocol->DeviceOpen());
        EXPECT_EQ(log.Take(),
                  (std::vector<std::string>{std::string("Protocol Err  Error -1 in ") + step}));
        const bool wasOpened = std::string(step) != "FT_Open";
        EXPECT_EQ(device->closeCount - closesBefore, wasOpened ? 1 : 0);
        // The sequence stops at the failing step.
        EXPECT_EQ(device->calls.back(), wasOpened ? "FT_Close" : "FT_Open");
    }
}

// A port the user may not open is named in the log with the group that
// grants it, and the engine keeps that for start-up's message until an open
// goes otherwise.
TEST_F(EngineTest, APortTheUserMayNotOpenIsNamedWithItsGroup) {
    struct Case {
        TPortDenied denied;
        const char* logged;
    };
    const Case cases[] = {
        {{"/dev/lorvent-reader", "dialout"},
         "Protocol Err  Error 3 in FT_Open: /dev/lorvent-reader: permission denied, the user "
         "must be in group dialout"},
        {{"/dev/ttyUSB0", ""},
         "Protocol Err  Error 3 in FT_Open: /dev/ttyUSB0: permission denied, and no group may "
         "open it"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        device->FailAt("FT_Open", device->CallCount("FT_Open") + 1, FT_DEVICE_NOT_OPENED);
        device->denied = c.denied;
        EXPECT_FALSE(protocol->Open("", "9600,n,8,1"));
        EXPECT_EQ(log.Take(), (std::vector<std::string>{c.logged}));
        const auto denied = protocol->OpenDenied();
        ASSERT_TRUE(denied.has_value());
        EXPECT_EQ(denied->path, c.denied.path);
        EXPECT_EQ(denied->group, c.denied.group);

        device->denied.reset();
        EXPECT_TRUE(protocol->OpenDevice());
        EXPECT_FALSE(protocol->OpenDenied().has_value());
    }
}

TEST_F(EngineTest, WithNoLinkTheLoopOnlySleepsUnlocked) {
    OpenAndForget();
    std::vector<bool> lockFreeDuringSleep;
    clock->onSleep = [&](int) {
        lockFreeDuringSleep.push_back(std::async(std::launch::async, [&] {
                                          const bool free = protocol->Lock().try_lock();
                                          if (free)
                                              protocol->Lock().unlock();
                                          return free;
                                      }).get());
    };
    for (int pass = 0; pass < 3; ++pass)
        protocol->RunPass();
    EXPECT_EQ(clock->sleeps, (std::vector<int>{300, 300, 300}));
    EXPECT_EQ(lockFreeDuringSleep, (std::vector<bool>{true, true, true}));
    EXPECT_TRUE(device->calls.empty());
}

TEST_F(EngineTest, LinkRegisteredDuringASleepIsServedInTheNextPass) {
    OpenAndForget();
    std::unique_ptr<TProtoSlave> link;
    clock->onSleep = [&](int) {
        if (!link)
            link = std::make_unique<TProtoSlave>(*protocol, &log);
    };
    protocol->RunPass(); // idle sleep; the link arrives meanwhile
    clock->onSleep = nullptr;
    link->Init(0xFFFFFFFF, 1);
    protocol->RunPass();
    ASSERT_EQ(device->writes.size(), 1u); // the set-address Packet
    EXPECT_EQ(device->writes[0], Hex("C0 7F 83 01 FF FF FF FF 01 D2 88 C1"));
}

TEST_F(EngineTest, DueOrderWithIdentityBreakingTies) {
    OpenAndForget();
    TProtoSlave a(*protocol, &log), b(*protocol, &log), c(*protocol, &log);
    TProtoSlave* lower = std::less<TProtoSlave*>()(&a, &b) ? &a : &b;
    TProtoSlave* higher = lower == &a ? &b : &a;
    protocol->ScheduleAt(&c, clock->Now() + 5);
    // a and b are both due (time 0); one turn per pass, lower identity first.
    const TPollTime start = clock->Now();
    protocol->RunPass();
    EXPECT_EQ(lower->NextPollTime(), start + lower->PollInterval());
    EXPECT_EQ(higher->NextPollTime(), 0);
    protocol->RunPass();
    EXPECT_EQ(higher->NextPollTime(), start + higher->PollInterval());
    // c is due in 5 ms: the loop sleeps exactly that, then serves it.
    protocol->RunPass();
    EXPECT_EQ(clock->TakeSleeps(), (std::vector<int>{5}));
    protocol->RunPass();
    EXPECT_EQ(c.NextPollTime(), start + 5 + c.PollInterval());
}

TEST_F(EngineTest, WaitsAreCappedAtThreeHundredMillisecondsAndTruncated) {
    OpenAndForget();
    TProtoSlave link(*protocol, &log);
    protocol->ScheduleAt(&link, clock->Now() + 700.9);
    for (int pass = 0; pass < 4; ++pass)
        protocol->RunPass();
    // 700.9 ms: 300, 300, then 100 whole ms, then 0.9 ms left -> yield (0).
    EXPECT_EQ(clock->TakeSleeps(), (std::vector<int>{300, 300, 100, 0}));
}

TEST_F(EngineTest, NextPollIsMeasuredFromTheEndOfTheTurn) {
    OpenAndForget();
    TProtoSlave link(*protocol, &log);
    link.Init(0xFFFFFFFF, 1);
    device->onWrite = [&](const std::vector<std::uint8_t>&) { clock->Advance(37); };
    const TPollTime start = clock->Now();
    protocol->RunPass(); // set-address Packet: the write takes 37 ms
    EXPECT_EQ(link.NextPollTime(), start + 37 + 200);
}

TEST_F(EngineTest, FailedWriteLogsPausesAndReopensInTheNextPass) {
    OpenAndForget();
    TProtoSlave link(*protocol, &log);
    link.Init(0xFFFFFFFF, 1);
    device->FailAt("FT_Write", 1, 4);
    protocol->RunPass();
    EXPECT_EQ(log.Take(), (std::vector<std::string>{"Protocol Err  SendPacket: FT_Write error 4"}));
    EXPECT_EQ(clock->TakeSleeps(), (std::vector<int>{100}));
    EXPECT_TRUE(protocol->ReopenPending());

    bool lockHeldDuringPause = false;
    clock->onSleep = [&](int) {
        lockHeldDuringPause = !std::async(std::launch::async, [&] {
                                   const bool free = protocol->Lock().try_lock();
                                   if (free)
                                       protocol->Lock().unlock();
                                   return free;
                               }).get();
    };
    device->calls.clear();
    protocol->RunPass();
    EXPECT_EQ(device->calls.front(), "FT_Close");
    EXPECT_EQ(device->calls[1], "FT_Open");
    EXPECT_EQ(clock->TakeSleeps(), (std::vector<int>{100}));
    EXPECT_TRUE(lockHeldDuringPause);
    EXPECT_FALSE(protocol->ReopenPending());
    EXPECT_TRUE(protocol->DeviceOpen());
}

TEST_F(EngineTest, FailedReopenIsRetriedAtThePaceOfThePolls) {
    OpenAndForget();
    TProtoSlave link(*protocol, &log);
    link.Init(0xFFFFFFFF, 1);
    device->FailAt("FT_Write", 1, 4);
    device->FailAt("FT_Open", 1, 2); // the first reopen fails (calls counted since the open)
    protocol->RunPass();             // write fails
    protocol->RunPass();             // reopen fails: device closed, nothing pending
    EXPECT_FALSE(protocol->DeviceOpen());
    EXPECT_FALSE(protocol->ReopenPending());
    log.Take();
    // The next turn writes on the closed device, which fails and asks again.
    clock->Advance(1000);
    protocol->RunPass();
    EXPECT_TRUE(protocol->ReopenPending());
    protocol->RunPass();
    EXPECT_TRUE(protocol->DeviceOpen());
    EXPECT_EQ(device->openCount, 2); // first open and the successful retry
}

TEST_F(EngineTest, ReadAndTimeoutFailures) {
    OpenAndForget();
    std::uint8_t byte = 0;
    device->FailAt("FT_Read", 1, 4);
    EXPECT_EQ(protocol->ReadBytes(&byte, 1), -1);
    EXPECT_TRUE(protocol->ReopenPending());
    EXPECT_EQ(clock->TakeSleeps(), (std::vector<int>{100}));
    protocol->OpenDevice();

    device->FailAt("FT_SetTimeouts", device->CallCount("FT_SetTimeouts") + 1, 3);
    EXPECT_FALSE(protocol->SetReadTimeout(100));
    EXPECT_FALSE(protocol->ReopenPending()); // a failed time-out setting does not reopen
    EXPECT_TRUE(protocol->DeviceOpen());

    device->Feed({0x42});
    EXPECT_EQ(protocol->ReadBytes(&byte, 1), 1);
    EXPECT_EQ(byte, 0x42);
    EXPECT_EQ(protocol->ReadBytes(&byte, 1), 0);
    EXPECT_EQ(log.Take(), (std::vector<std::string>{"Protocol Err  SendPacket: FT_Read error 4",
                                                    "Protocol Err  Error 3 in FT_SetTimeouts"}));
}

TEST_F(EngineTest, IncompleteWriteIsLoggedWithoutReopening) {
    OpenAndForget();
    device->shortWrite = 3;
    Packet packet;
    BuildResetRequest(packet, 1);
    EXPECT_EQ(protocol->SendPacket(packet), -1);
    EXPECT_FALSE(protocol->ReopenPending());
    EXPECT_EQ(log.Take(),
              (std::vector<std::string>{"Protocol Warn SendPacket: Incomplete write (3/6)"}));
    device->shortWrite = 0;
    EXPECT_EQ(protocol->SendPacket(packet), 6);
    EXPECT_EQ(device->writes.back(), Hex("C0 01 81 1E 83 C1"));
}

TEST_F(EngineTest, AllocateAddress) {
    struct Case {
        const char* name;
        std::vector<int> taken;
        int expected;
    } cases[] = {
        {"none taken", {}, 1},
        {"1 and 3 taken", {1, 3}, 2},
        {"0 and 127 take nothing", {0, 127}, 1},
        {"1 to 125 taken", {}, 126},
        {"all 126 taken", {}, -1},
    };
    cases[3].taken.resize(125);
    cases[4].taken.resize(126);
    for (int i = 0; i < 125; ++i)
        cases[3].taken[static_cast<std::size_t>(i)] = i + 1;
    for (int i = 0; i < 126; ++i)
        cases[4].taken[static_cast<std::size_t>(i)] = i + 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::unique_ptr<TProtoSlave>> links;
        for (int address : c.taken) {
            links.push_back(std::make_unique<TProtoSlave>(*protocol, &log));
            links.back()->Init(0xFFFFFFFF, address);
        }
        EXPECT_EQ(protocol->AllocateAddress(), c.expected);
    }
}

TEST_F(EngineTest, InitWithoutAddressTakesAFreeOneOrFails) {
    std::vector<std::unique_ptr<TProtoSlave>> links;
    for (int i = 0; i < 126; ++i) {
        links.push_back(std::make_unique<TProtoSlave>(*protocol, &log));
        links.back()->Init(0xFFFFFFFF, -1);
        EXPECT_EQ(links.back()->Address(), i + 1);
    }
    TProtoSlave extra(*protocol, &log);
    try {
        extra.Init(0xFFFFFFFF, -1);
        ADD_FAILURE() << "no error for the 127th link";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Can't allocate slave address");
    }
    EXPECT_FALSE(extra.Active());
}

TEST_F(EngineTest, DestructionFailsWhileLinksAreRegistered) {
    auto link = std::make_unique<TProtoSlave>(*protocol, &log);
    try {
        DestroyProtocol(protocol);
        ADD_FAILURE() << "destroyed with a link registered";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Destroying protocol with slaves");
    }
    ASSERT_NE(protocol, nullptr); // still usable by the owner
    link.reset();
    DestroyProtocol(protocol);
    EXPECT_EQ(protocol, nullptr);
}

// With its thread: the GUI thread's end stops the engine and closes the device.
TEST(EngineThreadTest, EndsWhenTheGuiThreadIsGone) {
    auto scripted = std::make_unique<testing::ScriptedDevice>();
    auto* device = scripted.get();
    auto gui = std::make_shared<testing::FlagThreadWatch>();
    testing::RecordingLog log;
    TProtocolSetup setup = testing::EngineSetup(std::move(scripted), log);
    setup.guiThread = gui;
    TProtocol protocol(std::move(setup));
    ASSERT_TRUE(protocol.Open("", "9600,n,8,1"));
    gui->alive = false;
    protocol.WaitFor(); // returns once the loop has seen it
    EXPECT_TRUE(protocol.Terminated());
    EXPECT_FALSE(protocol.DeviceOpen());
    EXPECT_EQ(device->closeCount, 1);
}

TEST(EngineThreadTest, WatchesTheThreadThatConstructedIt) {
    // The engine is made on a thread that then ends without stopping it.
    std::unique_ptr<TProtocol> protocol;
    std::thread gui([&] {
        static testing::RecordingLog log;
        protocol = std::make_unique<TProtocol>(
            testing::EngineSetup(std::make_unique<testing::ScriptedDevice>(), log));
    });
    gui.join();
    protocol->WaitFor();
    EXPECT_TRUE(protocol->Terminated());
}

} // namespace
} // namespace lorvent
