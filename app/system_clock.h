#pragma once

#include "frm_services.h"
#include "protocol/text_log.h"

#include <chrono>
#include <thread>

namespace lorvent {

class TSystemClock : public TAppClock {
public:
    std::tm Now() override { return LocalTimeNow(); }
    void Sleep(int milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
};

} // namespace lorvent
