#include "main_frm.h"

#include "app/attendance/computer_name.h"
#include "app/attendance/data_path.h"
#include "app/keyboard/typing.h"
#include "app/startup/command_line.h"
#include "app/startup/key_delay.h"
#include "app/startup/startup_error.h"
#include "protocol/protocol.h"

#include <iterator>
#include <stdexcept>

namespace lorvent {

namespace {

std::unique_ptr<TProtoMessage> Command(std::initializer_list<std::uint8_t> bytes) {
    return std::make_unique<TProtoMessage>(std::data(bytes),
                                           static_cast<std::int32_t>(bytes.size()));
}

std::unique_ptr<TServerConnection> MakeServerConnection(const TMainFrmServices& services) {
    return services.makeServerConnection ? services.makeServerConnection() : nullptr;
}

} // namespace

std::unique_ptr<TProtoMessage> AcknowledgeCommand() {
    return Command({0x03, 0x06, 0x00});
}
std::unique_ptr<TProtoMessage> ReadSignalCommand() {
    return Command({0x02, 0xff, 0xff, 0x00});
}
std::unique_ptr<TProtoMessage> IdleSignalCommand() {
    return Command({0x02, 0xff, 0x00, 0xff});
}

std::string PortDeniedText(const TPortDenied& denied) {
    const std::string text = ": " + denied.path + ": permission denied; ";
    if (denied.group.empty())
        return text + kMsgPortDeniedNoGroup;
    return text + FormatMessage(kMsgPortDeniedJoinGroup, denied.group);
}

std::string VersionLine(int mode) {
    return std::string(mode == kModeAttendance ? "Kalvinor" : "Ravi") + " v1.6-ZMK(d2xx)";
}

TMainFrm::TMainFrm(TMainFrmServices services)
    : services_(std::move(services)),
      records_(MakeServerConnection(services_), services_.openDataFile,
               [this](const std::string& notice) { LogServerNotice(notice); }),
      typing_(services_.keyboard, services_.clock) {
    services_.view.SetPoslatEnter1Checked(PoslatEnter1Checked);
    services_.view.SetPoslatEnter1Visible(false);
    services_.view.LogTimer().Start(kLogTimerIntervalMs);
}

// The engine's thread ends first, after the pass it is in. The reader object
// cannot leave the poll schedule before: with the adapter gone the engine
// holds its lock through pass after pass of failing reads (until the link is
// given up for dead), and waiting for it would keep the window from closing
// for seconds.
TMainFrm::~TMainFrm() {
    StopTyping();
    StopEngineThread();
    HandleDeliveredReads();
    Device.reset();
    DestroyEngine();
    records_.Close();
}

// Closing waits for the number being typed: half a number in the window in
// front would be worse than a late close.
void TMainFrm::StopTyping() {
    const int untyped = typing_.Stop();
    if (untyped > 0 && Protocol)
        Protocol->LogWarning("%d card number(s) read but not typed: the program was closed",
                             untyped);
}

void TMainFrm::StopEngineThread() {
    if (!Protocol)
        return;
    Protocol->Terminate();
    Protocol->WaitFor();
}

// Nothing more is delivered once the engine's thread has ended; what the
// reader object has delivered before (and the link has acknowledged to the
// reader) is handled rather than freed unseen. In attendance mode those reads
// join the records for the data file; in keyboard mode they are shown and not
// typed, as the window that had the focus may be closing too.
void TMainFrm::HandleDeliveredReads() {
    shuttingDown_ = true;
    ProcessProtocolMessages();
}

void TMainFrm::DestroyEngine() {
    try {
        DestroyProtocol(Protocol);
    } catch (const std::exception&) {
        // A link still registered: the engine's own destructor ends it below.
    }
    Protocol.reset();
}

// ---- Start-up ----

bool TMainFrm::InitFromCommandLine(const std::vector<std::string>& arguments) {
    Mode = kModeKeyboard;
    PrefixKey = 0;
    ReadCommandLine(arguments);
    if (DataFileName.empty())
        DataFileName = services_.defaultDataFileName;
    if (Mode == kModeKeyboard)
        CheckKeyboard();
    StartEngine();
    services_.view.SetComLblText(VersionLine(Mode));
    if (Mode == kModeKeyboard)
        services_.view.SetPoslatEnter1Visible(true);
    StartReader();
    services_.view.SetStatusLblText(kStatusStarting);
    if (Mode == kModeAttendance)
        records_.Open(DataFileName, {ComputerName(), services_.journalStateFolder.empty()
                                                         ? DefaultJournalFolder()
                                                         : services_.journalStateFolder});
    return true;
}

void TMainFrm::ReadCommandLine(const std::vector<std::string>& arguments) {
    TCommandLine config{Mode, Port, DataFileName, PrefixKey, PrefixModifiers};
    ParseCommandLine(arguments, config);
    Mode = config.Mode;
    Port = config.Port;
    DataFileName = config.DataFileName;
    PrefixKey = config.PrefixKey;
    PrefixModifiers = config.PrefixModifiers;
}

// Card numbers that cannot be typed would be lost without a word: refuse to
// start. A key delay out of range is refused before the keyboard is made.
void TMainFrm::CheckKeyboard() {
    keyDelayMs_ = KeyDelayFromEnvironment(services_.keyboard.DefaultKeyDelayMs());
    const std::string reason = services_.keyboard.Unavailable();
    if (!reason.empty())
        throw TStartupError(reason);
}

void TMainFrm::StartEngine() {
    Protocol = services_.makeProtocol();
    if (Protocol->Open(Port, kLineSettings))
        return;
    std::string message = FormatMessage(kMsgPortOpenFailed, Port);
    if (const auto denied = Protocol->OpenDenied())
        message += PortDeniedText(*denied);
    throw TStartupError(message);
}

void TMainFrm::StartReader() {
    Device = std::make_unique<TProtoSlaveDev>(*Protocol, *this);
    Device->Init(kReaderIdentifier, kReaderAddress);
}

// ---- Protocol events ----

void TMainFrm::Dispatch(int message) {
    if (message == WM_PROTOCOL)
        ProcessProtocolMessages();
    else if (message == WM_BLICK_START)
        StartBlickTimer();
}

void TMainFrm::PostProtocolMessage() {
    services_.poster.Post(WM_PROTOCOL);
}

void TMainFrm::ProcessProtocolMessages() {
    if (!Device)
        return;
    while (auto message = Device->TakeInbound())
        HandleProtocolMessage(*message);
    SignalReads();
}

// The reader's feedback for the reads of one pass is made due once, after
// the last of them: the reader thread takes it as it pleases, and could
// otherwise send an acknowledgement between two reads that came together.
void TMainFrm::SignalReads() {
    if (!readsToSignal_)
        return;
    readsToSignal_ = false;
    AckPending.store(1);
    IndicatorState.store(kIndicatorReadDue);
}

void TMainFrm::HandleProtocolMessage(const TProtoMessage& message) {
    if (message.length < 1)
        return;
    switch (message.bytes[0]) {
    case kRecordCardRead:
        HandleCardReadRecord(message);
        break;
    case kWakeMarker:
        HandleReaderWakes();
        break;
    case kDieMarker:
        services_.view.SetStatusLblText(kStatusSilent);
        break;
    default:
        break; // the reader's text fragments and unknown kinds are of no use here
    }
}

// A record too short for its own number is dropped rather than read past its end.
void TMainFrm::HandleCardReadRecord(const TProtoMessage& message) {
    if (message.length < 2 || !(message.bytes[1] & kCardReadValid))
        return;
    const bool fourByteNumber = (message.bytes[1] & kCardReadFourBytes) != 0;
    const int needed = 2 + (fourByteNumber ? kFourByteNumber : kFiveByteNumber);
    if (message.length < needed)
        return;
    HandleCardRead(message.bytes.get() + 2, fourByteNumber);
}

// Whatever was queued or unacknowledged for the reader before it went silent
// is dropped (a command the link has already sent again under the new
// numbers is left to its acknowledgement). Discarding comes before the idle
// signal is made due, so that the protocol thread cannot hand the idle signal
// out in between and lose it.
void TMainFrm::HandleReaderWakes() {
    SignalReads(); // reads that came before the wake keep their place
    services_.view.SetStatusLblText(kStatusReady);
    if (Device)
        Device->DiscardOutput();
    IndicatorState.store(kIndicatorIdleDue);
}

bool TMainFrm::ChangeIndicator(TIndicatorState from, TIndicatorState to) {
    std::uint8_t expected = from;
    return IndicatorState.compare_exchange_strong(expected, to);
}

std::unique_ptr<TProtoMessage> TMainFrm::NextReaderCommand() {
    if (AckPending.exchange(0) != 0)
        return AcknowledgeCommand();
    if (ChangeIndicator(kIndicatorReadDue, kIndicatorReadShown)) {
        services_.poster.Post(WM_BLICK_START);
        return ReadSignalCommand();
    }
    if (ChangeIndicator(kIndicatorIdleDue, kIndicatorIdle))
        return IdleSignalCommand();
    return nullptr;
}

// The period counts from the first read signal: a running timer is left alone.
void TMainFrm::StartBlickTimer() {
    TTimerView& timer = services_.view.BlickTimer();
    if (!timer.Enabled())
        timer.Start(kBlickTimerIntervalMs);
}

void TMainFrm::BlickTimerTimer() {
    ChangeIndicator(kIndicatorReadShown, kIndicatorIdleDue);
    services_.view.BlickTimer().Stop();
}

// ---- Card reads ----

void TMainFrm::HandleCardRead(const std::uint8_t* bytes, bool fourByteNumber) {
    readsToSignal_ = true;
    auto item = std::make_unique<TLogItem>();
    item->ReadTime = services_.clock.Now();
    item->Number = CardNumberText(bytes, fourByteNumber);
    const std::string number = item->Number;
    AddLogRow(std::move(item));
    if (Mode == kModeKeyboard && !shuttingDown_)
        TypeCardNumber(number);
}

// The selection follows new rows only while it is on the last one. A record
// is on the disk before the window shows it: a read the window showed is never
// lost to a kill.
void TMainFrm::AddLogRow(std::unique_ptr<TLogItem> item) {
    const TLogItem read = *item;
    if (Mode == kModeAttendance)
        records_.Take(std::move(item));
    ShowLogRow(read);
}

void TMainFrm::ShowLogRow(const TLogItem& item) {
    TStringGridView& grid = services_.view.LogGrid();
    const int row = grid.RowCount();
    grid.SetRowCount(row + 1);
    grid.SetCell(0, row, FormatReadTime(item.ReadTime, services_.formats));
    grid.SetCell(1, row, item.Number);
    if (grid.Row() == row - 1)
        grid.SetRow(row);
}

// The check mark counts as it stands when the number is read.
void TMainFrm::TypeCardNumber(const std::string& text) {
    typing_.Type({PrefixKey, PrefixModifiers, PoslatEnter1Checked, keyDelayMs_}, text);
}

bool TMainFrm::WaitUntilTyped(std::chrono::milliseconds patience) {
    return typing_.WaitUntilTyped(patience);
}

// ---- Attendance upload ----

void TMainFrm::UploadRecords() {
    records_.UploadRecords();
}

void TMainFrm::LogServerNotice(const std::string& notice) {
    if (Protocol)
        Protocol->LogWarning("%s", notice.c_str());
}

// ---- Window and tray ----

void TMainFrm::LogTimerTimer() {
    UploadRecords();
}

void TMainFrm::Restore1Click() {
    services_.view.Restore();
}

void TMainFrm::TrayIcon1DblClick() {
    services_.view.Restore();
}

void TMainFrm::PoslatEnter1Click() {
    PoslatEnter1Checked = !PoslatEnter1Checked;
    services_.view.SetPoslatEnter1Checked(PoslatEnter1Checked);
}

// The reads already delivered become records too: in attendance mode
// handling them types nothing.
void TMainFrm::SessionEnding() {
    if (Mode == kModeAttendance)
        ProcessProtocolMessages();
    records_.StoreRecords();
}

// Without a tray the hidden window could not be brought back: it stays an
// ordinary minimised window then.
void TMainFrm::FormMinimized() {
    if (services_.view.TrayAvailable())
        services_.view.HideToTray();
}

} // namespace lorvent
