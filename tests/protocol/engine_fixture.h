#pragma once

#include "protocol/proto_slave.h"
#include "protocol/protocol.h"
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
        clock = std::make_shared<FakeClock>();
        gui = std::make_shared<FlagThreadWatch>();
        TProtocolSetup setup;
        setup.device = std::move(scripted);
        setup.logSink = &log;
        setup.guiThread = gui;
        setup.clock = clock;
        setup.startThread = false;
        protocol = std::make_unique<TProtocol>(std::move(setup));
    }

    void OpenAndForget() {
        ASSERT_TRUE(protocol->Open("", "9600,n,8,1"));
        device->calls.clear();
        device->writes.clear();
        clock->TakeSleeps();
    }

    RecordingLog log;
    ScriptedDevice* device = nullptr;
    std::shared_ptr<FakeClock> clock;
    std::shared_ptr<FlagThreadWatch> gui;
    std::unique_ptr<TProtocol> protocol;
};

} // namespace lorvent::testing
