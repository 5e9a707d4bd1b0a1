#pragma once

#include "app/main_frm.h"
#include "fakes.h"
#include "support/recording_log.h"

#include <ctime>
#include <functional>
#include <memory>
#include <string>

namespace lorvent::testing {

// The window in attendance mode as the program starts it, on fakes: its
// engine stepped by hand over a scripted device (nothing reads the bus), its
// data file `dataFile`, its connection to the server made by `connect`, the
// factory the program is given.
class TAttendanceWindow {
public:
    using TConnect = std::function<std::unique_ptr<TServerConnection>()>;

    TAttendanceWindow(const std::string& dataFile, TConnect connect);
    TAttendanceWindow(const TAttendanceWindow&) = delete;
    TAttendanceWindow& operator=(const TAttendanceWindow&) = delete;

    // A card read at `time`, queued for the next upload tick.
    void Read(const std::string& number, const std::tm& time);
    // One tick of the upload timer.
    void UploadTick() { frm_->UploadRecords(); }
    // Every read taken is confirmed by the server or in the data file.
    bool QueueIsEmpty() const {
        return frm_->QueuedRecords().empty() && frm_->FileOnlyRecords().empty();
    }
    // Shut-down: what is still queued goes to the data file, which is closed.
    void Close() { frm_.reset(); }

private:
    TFakeView view_;
    TFakePoster poster_;
    TRecordingKeyboard keyboard_;
    DiscardingLog log_;
    std::unique_ptr<TMainFrm> frm_;
};

} // namespace lorvent::testing
