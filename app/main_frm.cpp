#include "main_frm.h"

#include "app/attendance/data_path.h"
#include "app/attendance/file_sync.h"
#include "command_line.h"
#include "protocol/file_open.h"
#include "protocol/protocol.h"
#include "startup_error.h"
#include "typing.h"

#include <filesystem>
#include <iterator>
#include <stdexcept>

namespace lorvent {

namespace {

std::unique_ptr<TProtoMessage> Command(std::initializer_list<std::uint8_t> bytes) {
    return std::make_unique<TProtoMessage>(std::data(bytes),
                                           static_cast<std::int32_t>(bytes.size()));
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

TMainFrm::TMainFrm(TMainFrmServices services) : services_(std::move(services)) {
    if (services_.makeServerConnection)
        TCPConn = services_.makeServerConnection();
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
    StopEngineThread();
    HandleDeliveredReads();
    Device.reset();
    DestroyEngine();
    // The last seconds' reads are not dropped: the file keeps them for the site.
    StoreRecords();
    PendingRecords.clear();
    DataFile.reset();
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
        OpenDataFile();
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

// Card numbers that cannot be typed would be lost without a word: refuse to start.
void TMainFrm::CheckKeyboard() {
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

// A bare file name has no directory part and lives in the working directory.
// The name is UTF-8 and may hold any character (D:\Docházka\kalvinor.db): the
// directory and the file are made through the platform's own paths.
void TMainFrm::OpenDataFile() {
    const std::filesystem::path path = PathFromUtf8(DataFileName);
    const std::filesystem::path directory = path.parent_path();
    if (!directory.empty()) {
        std::error_code error;
        std::filesystem::create_directories(directory, error);
        if (error)
            throw TStartupError(FormatMessage(kMsgDirectoryFailed, Utf8FromPath(directory)));
    }
    DataFile.reset(services_.openDataFile ? services_.openDataFile(DataFileName)
                                          : OpenFile(path, kDataFileMode));
    if (!DataFile)
        throw TStartupError(FormatMessage(kMsgFileOpenFailed, DataFileName));
    OpenJournal();
    RecoverJournal();
}

// A second program on the same data file is refused: it would take the first
// one's journal for the leftovers of a killed run.
void TMainFrm::OpenJournal() {
    const std::string path = JournalPath(DataFileName);
    const TRecordJournal::TOpenResult opened = Journal.Open(path);
    if (opened == TRecordJournal::TOpenResult::Opened)
        return;
    if (opened == TRecordJournal::TOpenResult::InUse)
        std::fprintf(stderr, "lorvent: %s is in use by another lorvent on the same data file\n",
                     path.c_str());
    throw TStartupError(FormatMessage(kMsgFileOpenFailed, path));
}

// Records left in the journal by a run that was killed or lost its power: the
// server may or may not have taken them, so they go to the data file (a late
// confirmation puts a record in both places, as it always could). Lines that
// are not whole records are never stored as records; their bytes are kept
// aside for a person to look at.
void TMainFrm::RecoverJournal() {
    std::string bytes;
    if (!Journal.ReadAll(bytes))
        throw TStartupError(FormatMessage(kMsgFileOpenFailed, JournalPath(DataFileName)));
    if (bytes.empty())
        return;
    const TJournalContent content = ParseJournal(bytes);
    for (const std::string& record : content.records)
        FileOnlyLines.push_back(record + kDataFileLineEnd);
    KeepDamagedLines(content.damaged);
    StoreRecords();
}

namespace {

bool AppendAndSync(const std::string& path, const std::string& bytes) {
    std::unique_ptr<std::FILE, TFileCloser> file(OpenFile(PathFromUtf8(path), "ab"));
    return file && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size() &&
           SyncFile(file.get());
}

std::string Printable(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x", c);
        text += escaped;
    }
    return text;
}

} // namespace

// Where the file cannot take them, the bytes go to standard error instead.
void TMainFrm::KeepDamagedLines(const std::string& bytes) {
    if (bytes.empty())
        return;
    const std::string path = DamagedJournalPath(DataFileName);
    if (!AppendAndSync(path, bytes))
        std::fprintf(stderr, "lorvent: %s: could not keep these damaged journal lines: %s\n",
                     path.c_str(), Printable(bytes).c_str());
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
    AckPending.store(1);
    IndicatorState.store(kIndicatorReadDue);
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
    if (Mode == kModeAttendance)
        JournalRecord(*item);
    TStringGridView& grid = services_.view.LogGrid();
    const int row = grid.RowCount();
    grid.SetRowCount(row + 1);
    grid.SetCell(0, row, FormatReadTime(item->ReadTime, services_.formats));
    grid.SetCell(1, row, item->Number);
    if (grid.Row() == row - 1)
        grid.SetRow(row);
    if (Mode == kModeAttendance)
        PendingRecords.push_back(std::move(item));
}

// A record the journal could not take (a full disk) still waits in memory for
// the tick, as every record did before the journal: said on standard error,
// since a kill before the tick would lose it.
void TMainFrm::JournalRecord(const TLogItem& item) {
    if (Journal.IsOpen() && !Journal.Append(RecordText(item)))
        std::fprintf(stderr,
                     "lorvent: %s: could not write the record %s; it waits in memory for the "
                     "next upload\n",
                     JournalPath(DataFileName).c_str(), RecordText(item).c_str());
}

void TMainFrm::TypeCardNumber(const std::string& text) {
    const TTypingSetup setup{PrefixKey, PrefixModifiers, PoslatEnter1Checked};
    lorvent::TypeCardNumber(services_.keyboard, services_.clock, setup, text);
}

// ---- Attendance upload ----

void TMainFrm::UploadRecords() {
    if (PendingRecords.empty() && FileOnlyLines.empty())
        return;
    OfferRecordsToServer();
    StoreRecords();
}

// One connection for the whole tick, one request and one reply at a time. The
// first reply that is not exactly the confirmation, and any error, ends the
// exchange; failures are not reported, as the data file keeps the records.
void TMainFrm::OfferRecordsToServer() {
    if (!TCPConn || PendingRecords.empty())
        return;
    try {
        TCPConn->Connect();
        bool confirmed = true;
        while (confirmed && !PendingRecords.empty())
            confirmed = OfferFrontRecord();
    } catch (...) {
        // Not connected: every record waits for the data file or the next tick.
    }
    if (TCPConn->Connected())
        TCPConn->Disconnect();
    if (const std::string notice = TCPConn->TakeNotice(); !notice.empty() && Protocol)
        Protocol->LogWarning("%s", notice.c_str());
}

// The front record leaves the queue either way. Once its request is on its
// way, a record that is not confirmed may be stored by the server all the
// same (the reply was late, lost or wrong): from then on it goes to the data
// file alone, so that a data file that refuses it cannot make a later tick
// store it on the server a second time.
bool TMainFrm::OfferFrontRecord() {
    const TLogItem& record = *PendingRecords.front();
    bool confirmed = false;
    try {
        TCPConn->WriteLine(RequestLine(record));
        confirmed = TCPConn->ReadLine() == kServerConfirmation;
    } catch (...) {
        // A failed write or read: the server may have the line all the same.
    }
    if (!confirmed)
        FileOnlyLines.push_back(DataFileLine(record));
    PendingRecords.pop_front();
    return confirmed;
}

// A record leaves the queue only once its line is in the file; those the file
// could not take wait for the next tick, which offers the server only those
// it has never been sent. The records for the file alone go first. The
// journal is emptied only once every record of it is confirmed or on the
// disk in the data file; until then it keeps them all (a record may then
// reach the file twice, never none).
void TMainFrm::StoreRecords() {
    bool wrote = StoreLines(FileOnlyLines);
    while (FileOnlyLines.empty() && !PendingRecords.empty() &&
           dataFileAppender_.Append(DataFile.get(), DataFileLine(*PendingRecords.front()))) {
        PendingRecords.pop_front();
        wrote = true;
    }
    if (!DataFile)
        return;
    const bool onDisk = wrote ? SyncFile(DataFile.get()) : std::fflush(DataFile.get()) == 0;
    if (onDisk && PendingRecords.empty() && FileOnlyLines.empty() && Journal.IsOpen())
        Journal.Clear(); // when it fails, the journal keeps records already dealt with
}

bool TMainFrm::StoreLines(std::deque<std::string>& lines) {
    bool wrote = false;
    while (!lines.empty() && dataFileAppender_.Append(DataFile.get(), lines.front())) {
        lines.pop_front();
        wrote = true;
    }
    return wrote;
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
    StoreRecords();
}

// Without a tray the hidden window could not be brought back: it stays an
// ordinary minimised window then.
void TMainFrm::FormMinimized() {
    if (services_.view.TrayAvailable())
        services_.view.HideToTray();
}

} // namespace lorvent
