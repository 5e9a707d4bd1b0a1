#pragma once

#include "protocol/proto_slave.h"
#include "protocol/protocol.h"
#include "sim/sim_device.h"
#include "support/fake_clock.h"
#include "support/hex.h"
#include "support/recording_log.h"

#include <gtest/gtest.h>

#include <mutex>

namespace lorvent::testing {

// Passes the engine's device calls to another device and keeps each frame
// the master writes, as hex.
class WriteRecorder : public TD2xxDevice {
public:
    explicit WriteRecorder(TD2xxDevice& inner) : inner_(inner) {}

    FT_STATUS FT_Open(int index, FT_HANDLE* handle) override {
        return inner_.FT_Open(index, handle);
    }
    FT_STATUS FT_Close(FT_HANDLE handle) override { return inner_.FT_Close(handle); }
    FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t length,
                      std::uint32_t* read) override {
        return inner_.FT_Read(handle, buffer, length, read);
    }
    FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t length,
                       std::uint32_t* written) override {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            writes_.push_back(ToHex(static_cast<const std::uint8_t*>(buffer), length));
        }
        return inner_.FT_Write(handle, buffer, length, written);
    }
    FT_STATUS FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baud) override {
        return inner_.FT_SetBaudRate(handle, baud);
    }
    FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, std::uint8_t word, std::uint8_t stop,
                                        std::uint8_t parity) override {
        return inner_.FT_SetDataCharacteristics(handle, word, stop, parity);
    }
    FT_STATUS FT_SetFlowControl(FT_HANDLE handle, std::uint16_t flow, std::uint8_t xon,
                                std::uint8_t xoff) override {
        return inner_.FT_SetFlowControl(handle, flow, xon, xoff);
    }
    FT_STATUS FT_SetTimeouts(FT_HANDLE handle, std::uint32_t read, std::uint32_t write) override {
        return inner_.FT_SetTimeouts(handle, read, write);
    }

    std::vector<std::string> TakeWrites() {
        std::lock_guard<std::mutex> guard(mutex_);
        auto taken = std::move(writes_);
        writes_.clear();
        return taken;
    }

private:
    TD2xxDevice& inner_;
    std::mutex mutex_;
    std::vector<std::string> writes_;
};

// The application's side of the link, as far as the bus tests need it.
class AppLink : public TProtoSlave {
public:
    using TProtoSlave::TProtoSlave;
    ~AppLink() override { protocol.UnregisterSlave(this); }

    void Send(const std::vector<std::uint8_t>& payload) {
        PutOutbound(
            std::make_unique<TProtoMessage>(payload.data(), static_cast<int>(payload.size())));
    }
    // Every inbound message as hex, markers included, in order.
    std::vector<std::string> Drain() {
        std::vector<std::string> messages;
        while (auto message = TakeInbound())
            messages.push_back(
                ToHex(message->bytes.get(), static_cast<std::size_t>(message->length)));
        return messages;
    }
};

// Engine, link and simulated reader in one process; the engine is stepped by
// hand on a clock that only moves when it sleeps.
class BusFixture : public ::testing::Test {
protected:
    BusFixture() {
        clock = std::make_shared<FakeClock>();
        TProtocolSetup setup;
        setup.device = std::make_unique<WriteRecorder>(reader);
        setup.logSink = &log;
        setup.guiThread = std::make_shared<FlagThreadWatch>();
        setup.clock = clock;
        setup.startThread = false;
        auto* device = static_cast<WriteRecorder*>(setup.device.get());
        protocol = std::make_unique<TProtocol>(std::move(setup));
        line = device;
        EXPECT_TRUE(protocol->Open("", "9600,n,8,1"));
        link = std::make_unique<AppLink>(*protocol, &log);
        link->Init(0xFFFFFFFF, 1);
    }
    ~BusFixture() override { link.reset(); }

    // Runs passes until the link has taken one turn; returns what it wrote.
    std::vector<std::string> Turn() {
        const TPollTime before = link->nextPollTime;
        for (int pass = 0; pass < 100 && link->nextPollTime == before; ++pass)
            protocol->RunPass();
        EXPECT_NE(link->nextPollTime, before) << "the link got no turn";
        return line->TakeWrites();
    }
    // Turns until the link is alive and its reset handshake is done.
    void BringUp() {
        for (int turn = 0; turn < 20 && (link->linkState != kLinkAlive || link->resetPending);
             ++turn)
            Turn();
        ASSERT_EQ(link->linkState, kLinkAlive);
        ASSERT_FALSE(link->resetPending);
        link->Drain();
        log.Take();
    }
    template <class F> decltype(auto) Reader(F&& f) { return reader.Locked(std::forward<F>(f)); }

    sim::TSimDevice reader;
    WriteRecorder* line = nullptr;
    RecordingLog log;
    std::shared_ptr<FakeClock> clock;
    std::unique_ptr<TProtocol> protocol;
    std::unique_ptr<AppLink> link;
};

} // namespace lorvent::testing
