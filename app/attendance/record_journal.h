#pragma once

#include "app/attendance/attendance.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace lorvent {

struct TJournalContent {
    std::vector<std::string> records; // whole records, oldest first
    // Every line that is not a whole record, as found, each ended by CR LF.
    std::string damaged;
};

// Splits a journal's bytes into its whole records and what is not one. A
// record counts only with its line end: the last line of a journal cut off by
// a power cut may look whole and yet miss digits. A record is what the server
// and its import take (record/record_text.h): a line they would refuse, say
// with a date that does not exist, goes with the damaged ones.
TJournalContent ParseJournal(const std::string& bytes);

// The journal keeps every attendance record on disk from the moment its read
// is handled until the upload tick has dealt with it (the server confirmed it
// or the data file took it). A program that is killed or loses its power
// leaves its records there for the next start (journal_place.h says where).
class TRecordJournal {
public:
    // Refused: the user may not create or write the file there.
    enum class TOpenResult { Opened, Failed, Refused, InUse };

    // Opens the journal at `path`, created when missing, and locks it: one
    // program at a time keeps records in a journal.
    TOpenResult Open(const std::string& path);
    // The same for a journal that is there already: Failed when it is not.
    TOpenResult OpenExisting(const std::string& path);
    bool IsOpen() const { return file_ != nullptr; }
    // Everything the journal holds.
    bool ReadAll(std::string& bytes);
    // Appends the record's line and puts it on the disk before returning.
    bool Append(const std::string& recordText);
    // Empties the journal, on the disk too.
    bool Clear();

private:
    TOpenResult OpenAndLock(const std::string& path, const char* mode);

    std::unique_ptr<std::FILE, TFileCloser> file_;
    TDataFileAppender appender_;
};

} // namespace lorvent
