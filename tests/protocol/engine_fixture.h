#pragma once

#include "protocol/proto_slave.h"
#include "protocol/protocol.h"
#include "support/engine_setup.h"
#include "support/fake_clock.h"
#include "support/recording_log.h"
#include "support/scripted_device.h"

#include <gtest/gtest.h>

namespace lorvent::testing {

// An engine over a scripted device and a hand-ticked clock, stepped pass by
// pass without its thread.
class EngineFixture : public ::testing::Test {
protected:
    EngineFixture() {
        auto scripted = std::make_unique<ScriptedDevice>();
        device = scripted.get();
        protocol =
            std::make_unique<TProtocol>(SteppedEngineSetup(std::move(scripted), log, clock, gui));
    }

    void OpenAndForget() {
        ASSERT_TRUE(protocol->Open("", "9600,n,8,1"));
        device->calls.clear();
        device->writes.clear();
        clock->TakeSleeps();
    }

    RecordingLog log;
    ScriptedDevice* device = nullptr;
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::shared_ptr<FlagThreadWatch> gui = std::make_shared<FlagThreadWatch>();
    std::unique_ptr<TProtocol> protocol;
};

} // namespace lorvent::testing
