#pragma once

#include "server/record_line.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lorvent::server {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The terminal's import mark moved while an import was being prepared: another
// import of the same terminal got there first.
class ImportConflict : public StoreError {
public:
    using StoreError::StoreError;
};

// One record as the database keeps it.
struct StoredRecord {
    AttendanceRecord record;
    std::string terminal;   // the sender's address, or the name an import was given
    std::string receivedAt; // when the server took it, UTC: "yyyy-mm-ddThh:mm:ss.mmmZ"
};

// How far a terminal's data file has been imported: its first `lines` lines,
// `bytes` bytes whose FNV-1a digest is `digest`, so that a longer version of
// the same file can be told from another file. All zero: nothing yet.
struct ImportMark {
    std::uint64_t lines = 0;
    std::uint64_t bytes = 0;
    std::string digest;

    bool operator==(const ImportMark&) const = default;
};

using RecordVisitor = std::function<void(const StoredRecord&)>;

// For each record handed to Add, whether it was stored (true) or skipped
// because the store already held the same record: the same terminal, read
// time and card number. A terminal sends a record again when the server's
// "OK" was lost, and its data file may hold one the server has.
using AddedRecords = std::vector<bool>;

// Where the server keeps what it has confirmed. A store is used by one thread
// at a time; each thread that needs one opens its own.
class RecordStore {
public:
    enum class Access { kReadWrite, kReadOnly };

    virtual ~RecordStore() = default;
    // Commits the records in one transaction and returns only once they are
    // durable; throws StoreError otherwise. A record the store already holds
    // is skipped. A store whose database went away tries to reach it again on
    // each call.
    virtual AddedRecords Add(std::span<const StoredRecord> records) = 0;
    // Every record in the order the server took them.
    virtual void ForEach(const RecordVisitor& visit) = 0;
    // The records read on `day` ("yyyy-mm-dd", the terminals' own time), by
    // read time, then in the order taken.
    virtual void ForEachOnDay(std::string_view day, const RecordVisitor& visit) = 0;
    // The records read on the days `first` to `last`, both included, in the
    // same order.
    virtual void ForEachInDays(std::string_view first, std::string_view last,
                               const RecordVisitor& visit) = 0;
    virtual ImportMark FindImportMark(std::string_view terminal) = 0;
    // Adds the records and moves the terminal's mark from `from` to `to` in
    // one transaction; returns how many were added, those already held being
    // skipped. Throws ImportConflict when the mark is no longer `from`.
    virtual std::size_t AddImported(std::string_view terminal,
                                    std::span<const StoredRecord> records, const ImportMark& from,
                                    const ImportMark& to) = 0;
};

// "postgresql://..." or "postgres://..." (a libpq connection URI) names a
// PostgreSQL database; anything else is the path of an SQLite file.
bool IsPostgresLocation(std::string_view location);
// The location with any password replaced by "***", fit for a log.
std::string RedactedLocation(std::string_view location);
// The current time as received_at has it.
std::string UtcTimestampNow();

} // namespace lorvent::server
