#include "attendance_window.h"

#include "protocol/protocol.h"
#include "support/engine_setup.h"
#include "support/fake_clock.h"
#include "support/scripted_device.h"

namespace lorvent::testing {

TAttendanceWindow::TAttendanceWindow(const std::string& dataFile, TConnect connect) {
    auto makeProtocol = [this] {
        return std::make_unique<TProtocol>(SteppedEngineSetup(std::make_unique<ScriptedDevice>(),
                                                              log_, std::make_shared<FakeClock>()));
    };
    frm_ = std::make_unique<TMainFrm>(TMainFrmServices{
        view_, poster_, keyboard_, keyboard_, {}, {}, makeProtocol, std::move(connect), {}});
    frm_->InitFromCommandLine({"-net", "-db", dataFile});
}

void TAttendanceWindow::Read(const std::string& number, const std::tm& time) {
    frm_->AddLogRow(std::make_unique<TLogItem>(TLogItem{time, number}));
}

} // namespace lorvent::testing
