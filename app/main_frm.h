#pragma once

#include "app/attendance/record_custody.h"
#include "app/attendance/server_connection.h"
#include "app/keyboard/keyboard.h"
#include "app/keyboard/typing_queue.h"
#include "card_read.h"
#include "device/d2xx_device.h"
#include "frm_services.h"
#include "proto_slave_dev.h"
#include "protocol/proto_message.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lorvent {

class TProtocol;

// The reader's indication after a card read.
enum TIndicatorState : std::uint8_t {
    kIndicatorIdle = 0,      // nothing due
    kIndicatorReadDue = 1,   // read signal due
    kIndicatorReadShown = 2, // read signal handed out, BlickTimer running
    kIndicatorIdleDue = 3,   // idle signal due
};

inline constexpr std::uint8_t kRecordCardRead = 0x83;
inline constexpr std::uint8_t kCardReadValid = 0x01;
inline constexpr std::uint8_t kCardReadFourBytes = 0x80;

inline constexpr int kLogTimerIntervalMs = 5000;
inline constexpr int kBlickTimerIntervalMs = 1000;
inline constexpr std::uint32_t kReaderIdentifier = 0xFFFFFFFF;
inline constexpr int kReaderAddress = 1;
inline const char* const kLineSettings = "9600,n,8,1";
inline const char* const kStatusStarting = "Inicializace";
inline const char* const kStatusReady = "Ready";
inline const char* const kStatusSilent = "Nekomunikuje";

// The reader commands handed to the link layer.
std::unique_ptr<TProtoMessage> AcknowledgeCommand();
std::unique_ptr<TProtoMessage> ReadSignalCommand();
std::unique_ptr<TProtoMessage> IdleSignalCommand();

// What follows the port message when the port exists but the user may not
// open it: the path, "permission denied" and the group to join.
std::string PortDeniedText(const TPortDenied& denied);

// "Kalvinor v1.6-ZMK(d2xx)" in attendance mode, "Ravi v1.6-ZMK(d2xx)" otherwise.
std::string VersionLine(int mode);

// What the window is built on; the front-end provides the real ones, tests fakes.
struct TMainFrmServices {
    TMainFrmView& view;
    TMessagePoster& poster;
    TKeyboard& keyboard;
    TAppClock& clock;
    TFormatSettings formats;
    std::string defaultDataFileName;
    // Makes the engine; its thread starts at once. Runs on the GUI thread,
    // which the engine watches.
    std::function<std::unique_ptr<TProtocol>()> makeProtocol;
    // Makes the window's connection to the attendance server; it connects
    // only when asked to.
    std::function<std::unique_ptr<TServerConnection>()> makeServerConnection;
    // Opens the data file at `path` for appending, or gives null; null here:
    // the file itself (tests hand out streams that fail as a full disk does).
    TDataFileOpener openDataFile;
    // The folder for the journal when the data file's folder does not let
    // the user create it; empty: the user's own (DefaultJournalFolder).
    std::string journalStateFolder = {};
};

// The main window's behaviour: start-up from the command line, the reader
// object and its feedback, card reads, and typing. Everything runs on the GUI
// thread except NextReaderCommand and PostProtocolMessage, which the reader
// object calls on the protocol thread.
class TMainFrm : public TReaderHost {
public:
    explicit TMainFrm(TMainFrmServices services);
    // Shut-down: the number being typed is finished and the numbers waiting
    // to be typed are not typed; the engine's thread ends, the reads the
    // reader object has delivered are handled (not typed), then the reader
    // object and the engine go; records still pending are appended to the
    // data file. The front-end destroys its window afterwards.
    ~TMainFrm() override;
    TMainFrm(const TMainFrm&) = delete;
    TMainFrm& operator=(const TMainFrm&) = delete;

    // Start-up after the window exists; throws TStartupError with the message
    // to show, and lets failures of libraries pass as they are.
    bool InitFromCommandLine(const std::vector<std::string>& arguments);

    // A message taken from the window's queue: WM_PROTOCOL or WM_BLICK_START.
    void Dispatch(int message);
    void ProcessProtocolMessages();
    void HandleProtocolMessage(const TProtoMessage& message);

    // Protocol thread: the next command for the reader, or null.
    std::unique_ptr<TProtoMessage> NextReaderCommand() override;
    // Protocol thread: announces a received record to the GUI thread.
    void PostProtocolMessage() override;

    void AddLogRow(std::unique_ptr<TLogItem> item);
    // Hands the number to the typing thread; returns at once.
    void TypeCardNumber(const std::string& text);
    // Waits until the numbers handed to the typing thread are typed; false
    // when `patience` ran out first.
    bool WaitUntilTyped(std::chrono::milliseconds patience);
    // One upload tick: the pending records are offered to the attendance
    // server and whatever it does not confirm is appended to the data file.
    void UploadRecords();

    // Handlers of the window's components.
    void BlickTimerTimer();
    void LogTimerTimer();
    void Restore1Click();
    void PoslatEnter1Click();
    void TrayIcon1DblClick();
    void FormMinimized();
    // The session ends, and the process may be ended without its shut-down:
    // the records the server has not confirmed go to the data file now.
    void SessionEnding();

    // What others may look at. The GUI thread's state is for the GUI thread;
    // the reader's indication and the owed acknowledgement, which the
    // protocol thread changes too, may be read from any thread.
    const std::string& DataFilePath() const { return DataFileName; }
    int RunMode() const { return Mode; }
    int PrefixKeyCode() const { return PrefixKey; }
    TProtocol* Engine() const { return Protocol.get(); }
    TProtoSlaveDev* ReaderDevice() const { return Device.get(); }
    const std::deque<std::unique_ptr<TLogItem>>& QueuedRecords() const {
        return records_.QueuedRecords();
    }
    const std::deque<std::string>& FileOnlyRecords() const { return records_.FileOnlyRecords(); }
    TIndicatorState Indicator() const {
        return static_cast<TIndicatorState>(IndicatorState.load());
    }
    bool AcknowledgementDue() const { return AckPending.load() != 0; }
    bool SendsEnter() const { return PoslatEnter1Checked; }
    int KeyDelay() const { return keyDelayMs_; }

private:
    std::string Port;
    std::string DataFileName;
    int PrefixKey = 0;
    std::unique_ptr<TProtocol> Protocol;
    std::unique_ptr<TProtoSlaveDev> Device;
    std::atomic<std::uint8_t> IndicatorState{kIndicatorIdle};
    int Mode = 0;
    std::atomic<std::uint8_t> AckPending{0};
    int PrefixModifiers = 0;
    // The check mark of "Posílat Enter": Enter follows each typed number.
    bool PoslatEnter1Checked = true;

    void ReadCommandLine(const std::vector<std::string>& arguments);
    void CheckKeyboard();
    void StopTyping();
    void StartEngine();
    void StartReader();
    void StopEngineThread();
    void HandleDeliveredReads();
    void DestroyEngine();
    void HandleCardReadRecord(const TProtoMessage& message);
    void HandleCardRead(const std::uint8_t* bytes, bool fourByteNumber);
    void HandleReaderWakes();
    void SignalReads();
    void StartBlickTimer();
    bool ChangeIndicator(TIndicatorState from, TIndicatorState to);
    void ShowLogRow(const TLogItem& item);
    void LogServerNotice(const std::string& notice);

    TMainFrmServices services_;
    // The attendance records, from the read to the server or the data file.
    TRecordCustody records_;
    // Set once shut-down has begun: reads are still shown, no longer typed.
    bool shuttingDown_ = false;
    // Reads handled in this pass whose feedback is not yet due.
    bool readsToSignal_ = false;
    // The pause between two typed characters, set at start-up.
    int keyDelayMs_ = 0;
    // Types the numbers on a thread of its own.
    TTypingQueue typing_;
};

} // namespace lorvent
