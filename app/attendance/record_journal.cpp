#include "app/attendance/record_journal.h"

#include "app/attendance/file_sync.h"
#include "protocol/file_open.h"
#include "record/record_text.h"

namespace lorvent {

namespace {

const char* const kJournalLineEnd = "\r\n";

} // namespace

TJournalContent ParseJournal(const std::string& bytes) {
    TJournalContent content;
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t newline = bytes.find('\n', start);
        const bool ended = newline != std::string::npos;
        const std::size_t end = ended ? newline + 1 : bytes.size();
        const std::string piece = bytes.substr(start, end - start);
        start = end;
        std::string text = piece;
        if (ended)
            text.pop_back();
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
        // An empty line is what a failed append leaves before the next record.
        if (ended && text.empty())
            continue;
        if (ended && record::IsRecordText(text))
            content.records.push_back(text);
        else
            content.damaged += ended ? piece : piece + kJournalLineEnd;
    }
    return content;
}

TRecordJournal::TOpenResult TRecordJournal::Open(const std::string& path) {
    return OpenAndLock(path, "ab+");
}

// Read and written, never created.
TRecordJournal::TOpenResult TRecordJournal::OpenExisting(const std::string& path) {
    return OpenAndLock(path, "rb+");
}

TRecordJournal::TOpenResult TRecordJournal::OpenAndLock(const std::string& path, const char* mode) {
    std::FILE* opened = OpenFile(PathFromUtf8(path), mode);
    const int error = opened == nullptr ? LastOpenError() : 0; // before a close may change it
    file_.reset(opened);
    if (!file_)
        return OpenRefused(error) ? TOpenResult::Refused : TOpenResult::Failed;
    if (!LockFileExclusively(file_.get())) {
        file_.reset();
        return TOpenResult::InUse;
    }
    appender_.TakeOver(file_.get());
    return TOpenResult::Opened;
}

bool TRecordJournal::ReadAll(std::string& bytes) {
    bytes.clear();
    if (!file_ || std::fseek(file_.get(), 0, SEEK_SET) != 0)
        return false;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file_.get())) > 0)
        bytes.append(buffer, got);
    const bool complete = std::ferror(file_.get()) == 0;
    std::clearerr(file_.get());
    return complete;
}

// The appender begins the line after a failed one on a line of its own, so
// that a fragment left by a full disk never runs into the next record.
bool TRecordJournal::Append(const std::string& recordText) {
    return file_ && appender_.Append(file_.get(), recordText + kJournalLineEnd) &&
           SyncFile(file_.get());
}

bool TRecordJournal::Clear() {
    if (!file_ || !ClearFile(file_.get()))
        return false;
    appender_ = TDataFileAppender();
    return true;
}

} // namespace lorvent
