#include "app/attendance/record_custody.h"

#include "app/attendance/data_path.h"
#include "app/attendance/file_sync.h"
#include "app/attendance/journal_place.h"
#include "app/startup/startup_error.h"
#include "protocol/file_open.h"

#include <filesystem>
#include <vector>

namespace lorvent {

namespace {

bool AppendAndSync(const std::string& path, const std::string& bytes) {
    std::unique_ptr<std::FILE, TFileCloser> file(OpenFile(PathFromUtf8(path), "ab"));
    return file && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size() &&
           SyncFile(file.get());
}

// Throws the message to show when the directory cannot be made.
void MakeDirectories(const std::filesystem::path& directory) {
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error)
        throw TStartupError(FormatMessage(kMsgDirectoryFailed, Utf8FromPath(directory)));
}

std::string StateFolderJournal(const TJournalSettings& settings, const std::string& dataFileName) {
    return StateFolderJournalPath(settings.stateFolder, DataFileIdentity(dataFileName),
                                  settings.computer);
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

TRecordCustody::TRecordCustody(std::unique_ptr<TServerConnection> server,
                               TDataFileOpener openDataFile, TWarningLog logWarning)
    : TCPConn(std::move(server)), openDataFile_(std::move(openDataFile)),
      logWarning_(std::move(logWarning)) {}

// ---- Start-up ----

void TRecordCustody::Open(const std::string& dataFileName, const TJournalSettings& journal) {
    DataFileName = dataFileName;
    OpenDataFile();
    OpenJournal(journal);
    AdoptOtherJournals(journal);
    RecoverJournal();
}

// A bare file name has no directory part and lives in the working directory.
// The name is UTF-8 and may hold any character (D:\Docházka\kalvinor.db): the
// directory and the file are made through the platform's own paths.
void TRecordCustody::OpenDataFile() {
    const std::filesystem::path path = PathFromUtf8(DataFileName);
    if (!path.parent_path().empty())
        MakeDirectories(path.parent_path());
    DataFile.reset(openDataFile_ ? openDataFile_(DataFileName) : OpenFile(path, kDataFileMode));
    if (!DataFile)
        throw TStartupError(FormatMessage(kMsgFileOpenFailed, DataFileName));
    dataFileAppender_.TakeOver(DataFile.get());
}

// Each computer keeps its own journal beside the data file, so that computers
// sharing the data file never take each other's records. A second program on
// this computer and the same data file is refused: it would take the first
// one's journal for the leftovers of a killed run. A user who may write the
// data file but not create files in its folder keeps the journal in the
// state folder, where the next start finds it again.
void TRecordCustody::OpenJournal(const TJournalSettings& settings) {
    const std::string beside = JournalPath(DataFileName, settings.computer);
    JournalFile = beside;
    TRecordJournal::TOpenResult opened = Journal.Open(beside);
    if (ChooseJournalPlace(opened, !settings.stateFolder.empty()) == TJournalPlace::StateFolder) {
        JournalFile = StateFolderJournal(settings, DataFileName);
        MakeDirectories(PathFromUtf8(settings.stateFolder));
        opened = Journal.Open(JournalFile);
        if (opened == TRecordJournal::TOpenResult::Opened)
            SayWhereTheJournalIs(beside);
    }
    if (opened == TRecordJournal::TOpenResult::Opened)
        return;
    if (opened == TRecordJournal::TOpenResult::InUse)
        std::fprintf(stderr, "lorvent: %s is in use by another lorvent on the same data file\n",
                     JournalFile.c_str());
    throw TStartupError(FormatMessage(kMsgFileOpenFailed, JournalFile));
}

// Once a start, on standard error and in the program's log.
void TRecordCustody::SayWhereTheJournalIs(const std::string& refused) {
    const std::string text = "the journal may not be created as " + refused +
                             " (the folder is not writable for this user); it is kept as " +
                             JournalFile;
    std::fprintf(stderr, "lorvent: %s\n", text.c_str());
    if (logWarning_)
        logWarning_(text);
}

// This computer's journals of the data file that are not this run's: the one
// journal of an earlier version that every computer shared, and the one in
// the other place (beside the data file, or in the state folder) that a run
// with other rights kept.
void TRecordCustody::AdoptOtherJournals(const TJournalSettings& settings) {
    std::vector<std::string> others = {EarlierJournalPath(DataFileName)};
    const std::string beside = JournalPath(DataFileName, settings.computer);
    if (JournalFile != beside)
        others.push_back(beside);
    else if (!settings.stateFolder.empty())
        others.push_back(StateFolderJournal(settings, DataFileName));
    for (const std::string& path : others)
        AdoptJournal(path);
}

// Its records move into this run's journal (on the disk before the other one
// is emptied), which stores them as a killed run's; the emptied file is left
// where it is, as another program may be opening it. A journal that another
// program holds (an earlier version on another computer), or that this user
// may not write, is left alone.
void TRecordCustody::AdoptJournal(const std::string& path) {
    TRecordJournal other;
    if (other.OpenExisting(path) != TRecordJournal::TOpenResult::Opened)
        return;
    std::string bytes;
    if (!other.ReadAll(bytes) || bytes.empty())
        return;
    const TJournalContent content = ParseJournal(bytes);
    for (const std::string& record : content.records) {
        if (!Journal.Append(record)) {
            std::fprintf(stderr,
                         "lorvent: %s: could not take over the records of %s; they stay there "
                         "for the next start\n",
                         JournalFile.c_str(), path.c_str());
            return;
        }
    }
    KeepDamagedLines(path, content.damaged);
    if (!other.Clear())
        std::fprintf(stderr,
                     "lorvent: %s: could not empty it after taking over its records; the next "
                     "start stores them again\n",
                     path.c_str());
}

// Records left in the journal by a run that was killed or lost its power: the
// server may or may not have taken them, so they go to the data file (a late
// confirmation puts a record in both places, as it always could). Lines that
// are not whole records are never stored as records; their bytes are kept
// aside for a person to look at.
void TRecordCustody::RecoverJournal() {
    std::string bytes;
    if (!Journal.ReadAll(bytes))
        throw TStartupError(FormatMessage(kMsgFileOpenFailed, JournalFile));
    if (bytes.empty())
        return;
    const TJournalContent content = ParseJournal(bytes);
    for (const std::string& record : content.records)
        FileOnlyLines.push_back(record + kDataFileLineEnd);
    KeepDamagedLines(JournalFile, content.damaged);
    StoreRecords();
}

// Beside the journal they come from; where the file cannot take them, the
// bytes go to standard error instead.
void TRecordCustody::KeepDamagedLines(const std::string& journalPath, const std::string& bytes) {
    if (bytes.empty())
        return;
    const std::string path = DamagedJournalPath(journalPath);
    if (!AppendAndSync(path, bytes))
        std::fprintf(stderr, "lorvent: %s: could not keep these damaged journal lines: %s\n",
                     path.c_str(), Printable(bytes).c_str());
}

// ---- Reads ----

void TRecordCustody::Take(std::unique_ptr<TLogItem> record) {
    JournalRecord(*record);
    PendingRecords.push_back(std::move(record));
}

// A record the journal could not take (a full disk) still waits in memory for
// the tick, as every record did before the journal: said on standard error,
// since a kill before the tick would lose it.
void TRecordCustody::JournalRecord(const TLogItem& item) {
    if (Journal.IsOpen() && !Journal.Append(RecordText(item)))
        std::fprintf(stderr,
                     "lorvent: %s: could not write the record %s; it waits in memory for the "
                     "next upload\n",
                     JournalFile.c_str(), RecordText(item).c_str());
}

// ---- The upload tick ----

void TRecordCustody::UploadRecords() {
    if (PendingRecords.empty() && FileOnlyLines.empty())
        return;
    OfferRecordsToServer();
    StoreRecords();
}

// One connection for the whole tick, one request and one reply at a time. The
// first reply that is not exactly the confirmation, and any error, ends the
// exchange; failures are not reported, as the data file keeps the records.
void TRecordCustody::OfferRecordsToServer() {
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
    if (const std::string notice = TCPConn->TakeNotice(); !notice.empty() && logWarning_)
        logWarning_(notice);
}

// The front record leaves the queue either way. Once its request is on its
// way, a record that is not confirmed may be stored by the server all the
// same (the reply was late, lost or wrong): from then on it goes to the data
// file alone, so that a data file that refuses it cannot make a later tick
// store it on the server a second time.
bool TRecordCustody::OfferFrontRecord() {
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
void TRecordCustody::StoreRecords() {
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

bool TRecordCustody::StoreLines(std::deque<std::string>& lines) {
    bool wrote = false;
    while (!lines.empty() && dataFileAppender_.Append(DataFile.get(), lines.front())) {
        lines.pop_front();
        wrote = true;
    }
    return wrote;
}

// The last seconds' reads are not dropped: the file keeps them for the site.
void TRecordCustody::Close() {
    StoreRecords();
    PendingRecords.clear();
    DataFile.reset();
}

} // namespace lorvent
