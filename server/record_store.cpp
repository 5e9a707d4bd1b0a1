#include "server/record_store.h"

#include <sqlite3.h>

#include <memory>

namespace lorvent::server {

namespace {

// read_at repeats read_time in a form that sorts by time, for whoever queries
// the database; received_at is when the server committed the row (UTC).
constexpr const char* kCreateTable = "CREATE TABLE IF NOT EXISTS attendance ("
                                     " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                                     " read_time TEXT NOT NULL,"
                                     " read_at TEXT NOT NULL,"
                                     " number TEXT NOT NULL,"
                                     " received_at TEXT NOT NULL"
                                     "  DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ', 'now')))";

constexpr const char* kInsert =
    "INSERT INTO attendance (read_time, read_at, number) VALUES (?1, ?2, ?3)";
constexpr const char* kSelectAll = "SELECT read_time, read_at, number FROM attendance ORDER BY id";

constexpr int kBusyTimeoutMs = 5000;

struct StatementDeleter {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

std::string ColumnText(sqlite3_stmt* statement, int column) {
    const auto* text = sqlite3_column_text(statement, column);
    return text ? reinterpret_cast<const char*>(text) : "";
}

} // namespace

SqliteRecordStore::SqliteRecordStore(const std::string& path, Access access) : path_(path) {
    const int flags = access == Access::kReadOnly ? SQLITE_OPEN_READONLY
                                                  : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        const std::string reason = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError("cannot open database '" + path + "': " + reason);
    }
    try {
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        if (access == Access::kReadWrite) {
            // WAL with FULL sync: a commit is on disk when it returns, at one
            // sync per record instead of several.
            Execute("PRAGMA journal_mode=WAL");
            Execute("PRAGMA synchronous=FULL");
            Execute(kCreateTable);
        }
    } catch (...) {
        sqlite3_close(db_);
        throw;
    }
}

SqliteRecordStore::~SqliteRecordStore() {
    sqlite3_close(db_);
}

void SqliteRecordStore::Add(const AttendanceRecord& record) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, kInsert, -1, &raw, nullptr) != SQLITE_OK)
        Fail("cannot store a record");
    Statement insert(raw);
    sqlite3_bind_text(raw, 1, record.readTime.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(raw, 2, record.readAt.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(raw, 3, record.number.c_str(), -1, SQLITE_TRANSIENT);
    // In autocommit mode SQLITE_DONE means the row is committed.
    if (sqlite3_step(raw) != SQLITE_DONE)
        Fail("cannot store a record");
}

void SqliteRecordStore::ForEach(const std::function<void(const AttendanceRecord&)>& visit) const {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, kSelectAll, -1, &raw, nullptr) != SQLITE_OK)
        Fail("cannot read the records");
    Statement select(raw);
    int step;
    while ((step = sqlite3_step(raw)) == SQLITE_ROW)
        visit({ColumnText(raw, 0), ColumnText(raw, 1), ColumnText(raw, 2)});
    if (step != SQLITE_DONE)
        Fail("cannot read the records");
}

void SqliteRecordStore::Execute(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail("cannot prepare database");
}

void SqliteRecordStore::Fail(const std::string& what) const {
    throw StoreError(what + " in '" + path_ + "': " + sqlite3_errmsg(db_));
}

} // namespace lorvent::server
