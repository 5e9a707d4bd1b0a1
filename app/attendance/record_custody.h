#pragma once

#include "app/attendance/attendance.h"
#include "app/attendance/record_journal.h"
#include "app/card_read.h"
#include "server_connection.h"

#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>

namespace lorvent {

// Opens the data file at `path` for appending, or gives null.
using TDataFileOpener = std::function<std::FILE*(const std::string& path)>;
// Writes a line to the program's log.
using TWarningLog = std::function<void(const std::string& text)>;

// Whose journal it is and where it may go (journal_place.h).
struct TJournalSettings {
    std::string computer; // this computer's name, as ComputerName() gives it
    // The user's folder for a journal that the data file's folder cannot
    // take; empty: there is none, and start-up fails instead.
    std::string stateFolder;
};

// The custody of the attendance records from the read until the server has
// confirmed them or the data file has them on the disk: the records waiting
// for the upload tick, the journal that keeps them on the disk meanwhile, the
// records a killed run left in it, the data file and the tick itself. The
// window owns one and every front-end reaches it through the window; it runs
// on the GUI thread alone.
class TRecordCustody {
public:
    // `server` is the connection the tick offers records on (null: none);
    // `openDataFile` opens the data file (null: the file itself, as the
    // program opens it); `logWarning` takes what the connection has to say.
    TRecordCustody(std::unique_ptr<TServerConnection> server, TDataFileOpener openDataFile,
                   TWarningLog logWarning);

    // Opens the data file at `dataFileName` (its directory made when missing)
    // and this computer's journal beside it (in the state folder when the
    // user may not create it there), and stores what a killed run left in
    // it and in this computer's other journals of the data file. Throws
    // TStartupError with the message to show.
    void Open(const std::string& dataFileName, const TJournalSettings& journal);
    // A new read: on the disk in the journal before this returns (standard
    // error says so when the journal cannot take it), then waiting for the tick.
    void Take(std::unique_ptr<TLogItem> record);
    // One upload tick: the pending records are offered to the attendance
    // server and whatever it does not confirm is appended to the data file.
    void UploadRecords();
    // Appends what waits to the data file now, without the server.
    void StoreRecords();
    // Shut-down: what waits goes to the data file, which is closed; what the
    // file cannot take is left to the journal and the next start.
    void Close();

    const std::deque<std::unique_ptr<TLogItem>>& QueuedRecords() const { return PendingRecords; }
    const std::deque<std::string>& FileOnlyRecords() const { return FileOnlyLines; }
    // Where this run keeps its journal, once it is open.
    const std::string& JournalFileName() const { return JournalFile; }

private:
    void OpenDataFile();
    void OpenJournal(const TJournalSettings& settings);
    void SayWhereTheJournalIs(const std::string& refused);
    void AdoptOtherJournals(const TJournalSettings& settings);
    void AdoptJournal(const std::string& path);
    void RecoverJournal();
    static void KeepDamagedLines(const std::string& journalPath, const std::string& bytes);
    void JournalRecord(const TLogItem& item);
    void OfferRecordsToServer();
    bool OfferFrontRecord();
    bool StoreLines(std::deque<std::string>& lines);

    std::unique_ptr<TServerConnection> TCPConn;
    TDataFileOpener openDataFile_;
    TWarningLog logWarning_;
    std::string DataFileName;
    std::string JournalFile;
    std::unique_ptr<std::FILE, TFileCloser> DataFile;
    TDataFileAppender dataFileAppender_;
    std::deque<std::unique_ptr<TLogItem>> PendingRecords;
    // Records that are never offered to the server again, as the server may
    // have stored them already: those found in the journal at start-up and
    // those sent without the confirmation coming back. They wait here (their
    // lines, line end included) until the data file takes them, before any
    // record of PendingRecords.
    std::deque<std::string> FileOnlyLines;
    TRecordJournal Journal;
};

} // namespace lorvent
