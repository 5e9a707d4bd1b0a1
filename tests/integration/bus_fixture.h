#pragma once

#include "protocol/proto_slave.h"
#include "protocol/protocol.h"
#include "sim/sim_device.h"
#include "support/app_link.h"
#include "support/device_doubles.h"
#include "support/engine_setup.h"
#include "support/fake_clock.h"
#include "support/hex.h"
#include "support/recording_log.h"

#include <gtest/gtest.h>

#include <mutex>

namespace lorvent::testing {

// Keeps each frame the master writes, as hex.
class WriteRecorder : public TForwardingDevice {
public:
    using TForwardingDevice::TForwardingDevice;

    FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t length,
                       std::uint32_t* written) override {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            writes_.push_back(ToHex(static_cast<const std::uint8_t*>(buffer), length));
        }
        return TForwardingDevice::FT_Write(handle, buffer, length, written);
    }

    std::vector<std::string> TakeWrites() {
        std::lock_guard<std::mutex> guard(mutex_);
        auto taken = std::move(writes_);
        writes_.clear();
        return taken;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> writes_;
};

// Engine, link and simulated reader in one process; the engine is stepped by
// hand on a clock that only moves when it sleeps.
class BusFixture : public ::testing::Test {
protected:
    BusFixture() {
        auto recorder = std::make_unique<WriteRecorder>(reader);
        line = recorder.get();
        protocol = std::make_unique<TProtocol>(SteppedEngineSetup(std::move(recorder), log, clock));
        EXPECT_TRUE(protocol->Open("", "9600,n,8,1"));
        link = std::make_unique<AppLink>(*protocol, &log);
        link->Init(0xFFFFFFFF, 1);
    }
    ~BusFixture() override { link.reset(); }

    // Runs passes until the link has taken one turn; returns what it wrote.
    std::vector<std::string> Turn() {
        const TPollTime before = link->NextPollTime();
        for (int pass = 0; pass < 100 && link->NextPollTime() == before; ++pass)
            protocol->RunPass();
        EXPECT_NE(link->NextPollTime(), before) << "the link got no turn";
        return line->TakeWrites();
    }
    // Takes `turns` turns; what the link delivered meanwhile, in order.
    std::vector<std::string> InboundOver(int turns) {
        std::vector<std::string> inbound;
        for (int turn = 0; turn < turns; ++turn) {
            Turn();
            for (auto& m : link->Drain())
                inbound.push_back(m);
        }
        return inbound;
    }
    // Turns until the link is alive and its reset handshake is done.
    void BringUp() {
        for (int turn = 0; turn < 20 && (link->LinkState() != kLinkAlive || link->ResetPending());
             ++turn)
            Turn();
        ASSERT_EQ(link->LinkState(), kLinkAlive);
        ASSERT_FALSE(link->ResetPending());
        link->Drain();
        log.Take();
    }
    template <class F> decltype(auto) Reader(F&& f) { return reader.Locked(std::forward<F>(f)); }

    sim::TSimDevice reader;
    WriteRecorder* line = nullptr;
    RecordingLog log;
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::unique_ptr<TProtocol> protocol;
    std::unique_ptr<AppLink> link;
};

} // namespace lorvent::testing
