#include "sim/sim_device.h"
#include "sim_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace lorvent::sim {
namespace {

using namespace testing;
using namespace std::chrono_literals;

// The engine's way of opening the line.
FT_HANDLE OpenConfigured(TSimDevice& device) {
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(device.FT_Open(0, &handle), FT_OK);
    EXPECT_EQ(device.FT_SetBaudRate(handle, 9600), FT_OK);
    EXPECT_EQ(device.FT_SetDataCharacteristics(handle, 8, 0, 0), FT_OK);
    EXPECT_EQ(device.FT_SetFlowControl(handle, 0, 0, 0), FT_OK);
    EXPECT_EQ(device.FT_SetTimeouts(handle, 100, 100), FT_OK);
    return handle;
}

FT_STATUS Write(TSimDevice& device, FT_HANDLE handle, const Bytes& bytes) {
    std::uint32_t written = 0;
    const FT_STATUS status =
        device.FT_Write(handle, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &written);
    if (status == FT_OK) {
        EXPECT_EQ(written, bytes.size());
    }
    return status;
}

// Reads up to `most` bytes one at a time, as the engine's frame reader does,
// until a read returns nothing.
std::string ReadAll(TSimDevice& device, FT_HANDLE handle, std::size_t most = 512) {
    Bytes got;
    std::uint8_t byte = 0;
    std::uint32_t count = 0;
    while (got.size() < most && device.FT_Read(handle, &byte, 1, &count) == FT_OK && count == 1)
        got.push_back(byte);
    return ToHex(got);
}

TEST(SimDeviceTest, CarriesTheConversationAcrossWritesOfAnySize) {
    TSimDevice device;
    FT_HANDLE handle = OpenConfigured(device);
    EXPECT_EQ(ReadAll(device, handle), "") << "unpaced: an empty line answers at once";

    // The set-address frame and a poll, written one byte at a time.
    Bytes start = Hex(kSetAddress1);
    const Bytes poll = Hex(kPoll);
    start.insert(start.end(), poll.begin(), poll.end());
    for (std::uint8_t byte : start)
        ASSERT_EQ(Write(device, handle, {byte}), FT_OK);
    EXPECT_EQ(ReadAll(device, handle), kToken);

    device.Locked([](TReaderSim& reader) { reader.ReadCard(Hex("12 34 56 78")); });
    ASSERT_EQ(Write(device, handle, Hex(kPoll)), FT_OK);
    EXPECT_EQ(device.BytesOnLine(), Hex(Join({kCard12345678Seq0Ack0, kToken})).size());

    // The engine reads more than is there: it gets what there is.
    std::uint8_t buffer[64];
    std::uint32_t count = 0;
    ASSERT_EQ(device.FT_Read(handle, buffer, sizeof buffer, &count), FT_OK);
    EXPECT_EQ(ToHex(buffer, count), Join({kCard12345678Seq0Ack0, kToken}));
    EXPECT_EQ(device.FT_Close(handle), FT_OK);
}

TEST(SimDeviceTest, ClosedOrUnknownHandlesFail) {
    TSimDevice device;
    std::uint8_t byte = 0;
    std::uint32_t count = 99;
    EXPECT_EQ(device.FT_Read(nullptr, &byte, 1, &count), FT_INVALID_HANDLE);
    EXPECT_EQ(count, 0u);
    EXPECT_NE(Write(device, nullptr, {0xC0}), FT_OK);
    EXPECT_NE(device.FT_SetTimeouts(nullptr, 100, 100), FT_OK);
    EXPECT_NE(device.FT_Close(nullptr), FT_OK);

    FT_HANDLE handle = OpenConfigured(device);
    FT_HANDLE second = nullptr;
    EXPECT_NE(device.FT_Open(0, &second), FT_OK) << "one owner at a time";
    EXPECT_EQ(device.FT_Read(handle, &byte, 1, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(device.FT_SetBaudRate(handle, 0), FT_INVALID_BAUD_RATE);
    ASSERT_EQ(device.FT_Close(handle), FT_OK);
    EXPECT_EQ(device.FT_Read(handle, &byte, 1, &count), FT_INVALID_HANDLE) << "closed";
    EXPECT_NE(device.FT_Close(handle), FT_OK) << "closed twice";

    FT_HANDLE reopened = OpenConfigured(device);
    EXPECT_NE(reopened, handle) << "a stale handle must not come back to life";
}

TEST(SimDeviceTest, UnpluggedDeviceFailsUntilReplugged) {
    TSimDevice device;
    FT_HANDLE handle = OpenConfigured(device);
    Write(device, handle, Hex(Join({kSetAddress1, kPoll})));
    device.Unplug();
    EXPECT_EQ(device.BytesOnLine(), 0u) << "the reply is lost with the adapter";

    std::uint8_t byte = 0;
    std::uint32_t count = 0;
    EXPECT_EQ(device.FT_Read(handle, &byte, 1, &count), FT_IO_ERROR);
    EXPECT_EQ(Write(device, handle, Hex(kPoll)), FT_IO_ERROR);
    FT_HANDLE other = nullptr;
    EXPECT_EQ(device.FT_Open(0, &other), FT_DEVICE_NOT_FOUND);

    device.Replug();
    EXPECT_EQ(device.FT_Read(handle, &byte, 1, &count), FT_IO_ERROR) << "old handle stays dead";
    EXPECT_EQ(device.FT_Close(handle), FT_OK);
    handle = OpenConfigured(device);
    Write(device, handle, Hex(kPoll));
    EXPECT_EQ(ReadAll(device, handle), kToken) << "the reader kept its address";
}

TEST(SimDeviceTest, UnplugForATimeReplugsByItself) {
    TSimDevice device;
    device.UnplugFor(30ms);
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(device.FT_Open(0, &handle), FT_DEVICE_NOT_FOUND);
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(device.FT_Open(0, &handle), FT_OK);
}

TEST(SimDeviceTest, FailsTheNthCallOfAKind) {
    TSimDevice device;
    device.FailAt(TDeviceCall::Open, 1, FT_DEVICE_NOT_FOUND);
    device.FailAt(TDeviceCall::Write, 2, FT_IO_ERROR);
    device.FailAt(TDeviceCall::Read, 3, FT_OTHER_ERROR);
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(device.FT_Open(0, &handle), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(handle, nullptr);
    handle = OpenConfigured(device);
    EXPECT_EQ(Write(device, handle, Hex(kSetAddress1)), FT_OK);
    EXPECT_EQ(Write(device, handle, Hex(kPoll)), FT_IO_ERROR);
    EXPECT_EQ(device.BytesOnLine(), 0u) << "the failed write never reached the reader";
    EXPECT_EQ(Write(device, handle, Hex(kPoll)), FT_OK);

    std::uint8_t byte = 0;
    std::uint32_t count = 0;
    EXPECT_EQ(device.FT_Read(handle, &byte, 1, &count), FT_OK);
    EXPECT_EQ(device.FT_Read(handle, &byte, 1, &count), FT_OK);
    EXPECT_EQ(device.FT_Read(handle, &byte, 1, &count), FT_OTHER_ERROR);
    EXPECT_EQ(device.CallCount(TDeviceCall::Read), 3);
    EXPECT_EQ(device.CallCount(TDeviceCall::Open), 2);
}

TEST(SimDeviceTest, WrongLineSettingsMeanTheReaderHearsNothing) {
    TSimDevice device;
    FT_HANDLE handle = OpenConfigured(device);
    device.FT_SetBaudRate(handle, 19200);
    EXPECT_FALSE(device.LineSettingsMatch());
    Write(device, handle, Hex(Join({kSetAddress1, kPoll})));
    EXPECT_EQ(ReadAll(device, handle), "");
    EXPECT_EQ(device.GarbledWrites(), 1);
}

TEST(SimDeviceTest, PacedBytesComeNoFasterThanTheLine) {
    TSimDevice device(TReaderSimConfig{.address = 1});
    device.SetPaced(true);
    FT_HANDLE handle = OpenConfigured(device);
    device.Locked([](TReaderSim& reader) { reader.ReadCard(Hex("12 34 56 78")); });
    const Bytes expected = Hex(Join({kCard12345678Seq0Ack0, kToken}));

    const auto start = SimClock::now();
    ASSERT_EQ(Write(device, handle, Hex(kPoll)), FT_OK);
    Bytes got(expected.size());
    std::uint32_t count = 0;
    device.FT_SetTimeouts(handle, 5000, 100);
    ASSERT_EQ(device.FT_Read(handle, got.data(), static_cast<std::uint32_t>(got.size()), &count),
              FT_OK);
    const auto elapsed = SimClock::now() - start;
    EXPECT_EQ(count, expected.size()) << "a read waits for the bytes it asked for";
    EXPECT_EQ(got, expected);
    // The poll (2 bytes) and the reply must have crossed the line first.
    EXPECT_GE(elapsed, (2 + expected.size()) * kByteTime);
}

TEST(SimDeviceTest, PacedReadWaitsForItsTimeOut) {
    TSimDevice device;
    device.SetPaced(true);
    FT_HANDLE handle = OpenConfigured(device);
    device.FT_SetTimeouts(handle, 30, 100);
    std::uint8_t byte = 0;
    std::uint32_t count = 99;
    const auto start = SimClock::now();
    EXPECT_EQ(device.FT_Read(handle, &byte, 1, &count), FT_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_GE(SimClock::now() - start, 30ms);
}

TEST(SimDeviceTest, UnplugEndsAWaitingRead) {
    TSimDevice device;
    device.SetPaced(true);
    FT_HANDLE handle = OpenConfigured(device);
    device.FT_SetTimeouts(handle, 60000, 100);
    std::thread unplugger([&] {
        std::this_thread::sleep_for(20ms);
        device.Unplug();
    });
    std::uint8_t byte = 0;
    std::uint32_t count = 0;
    EXPECT_EQ(device.FT_Read(handle, &byte, 1, &count), FT_IO_ERROR);
    unplugger.join();
}

// A tiny master on one thread, card reads from another: every card arrives
// once and in order (and ThreadSanitizer sees the two threads share safely).
TEST(SimDeviceTest, CardReadsFromAnotherThreadWhileTheBusRuns) {
    constexpr int kCards = 60;
    TSimDevice device(TReaderSimConfig{.address = 1});
    FT_HANDLE handle = OpenConfigured(device);
    std::atomic<bool> readerDone{false};

    std::thread cardThread([&] {
        for (int i = 0; i < kCards; ++i) {
            device.Locked([i](TReaderSim& reader) {
                reader.ReadCard({0x00, 0x00, 0x01, static_cast<std::uint8_t>(i)});
            });
            if (i % 7 == 0)
                std::this_thread::sleep_for(1ms);
        }
        readerDone = true;
    });

    std::vector<int> seen;
    int expectedSeq = 0;
    for (int round = 0; round < 100000 && static_cast<int>(seen.size()) < kCards; ++round) {
        ASSERT_EQ(Write(device, handle, Hex(kPoll)), FT_OK);
        for (const Bytes& frame : Frames(ReadAll(device, handle))) {
            if (frame.size() < 4 || (frame[1] & 0x80))
                continue;
            if ((frame[1] >> 4) != expectedSeq)
                continue; // a repeat
            seen.push_back(frame[7]);
            expectedSeq = (expectedSeq + 1) % 8;
            Write(device, handle,
                  MasterFrame("01 " + ToHex({static_cast<std::uint8_t>(0xC0 | expectedSeq)})));
        }
        if (round % 50 == 0)
            std::this_thread::yield();
    }
    cardThread.join();
    ASSERT_EQ(static_cast<int>(seen.size()), kCards);
    for (int i = 0; i < kCards; ++i)
        EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);
    EXPECT_TRUE(readerDone);
    EXPECT_EQ(device.Locked([](TReaderSim& r) { return r.Stats().cardReadsAcknowledged; }), kCards);
}

} // namespace
} // namespace lorvent::sim
