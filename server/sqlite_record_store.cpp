#include "server/sqlite_record_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <memory>

namespace lorvent::server {

namespace {

// read_at repeats read_time in a form that sorts by time, for the day report
// and whoever queries the database; terminal is the sender's address (or an
// import's name); received_at is when the server took the record (UTC);
// duplicate marks a row that repeats an earlier one, kept from the time the
// server stored repeats.
constexpr const char* kCreateTable = "CREATE TABLE IF NOT EXISTS attendance ("
                                     " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                                     " read_time TEXT NOT NULL,"
                                     " read_at TEXT NOT NULL,"
                                     " number TEXT NOT NULL,"
                                     " received_at TEXT NOT NULL"
                                     "  DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ', 'now')),"
                                     " terminal TEXT NOT NULL DEFAULT '',"
                                     " duplicate INTEGER NOT NULL DEFAULT 0)";
// Databases written before terminals were kept lack the column.
constexpr const char* kHasTerminal =
    "SELECT 1 FROM pragma_table_info('attendance') WHERE name = 'terminal'";
constexpr const char* kAddTerminal =
    "ALTER TABLE attendance ADD COLUMN terminal TEXT NOT NULL DEFAULT ''";
constexpr const char* kCreateReadAtIndex =
    "CREATE INDEX IF NOT EXISTS attendance_read_at ON attendance (read_at)";
// A record is held once: a database written before that may hold repeats,
// which are marked and kept rather than deleted, so that the index fits it.
constexpr const char* kHasOnceIndex =
    "SELECT 1 FROM sqlite_master WHERE type = 'index' AND name = 'attendance_once'";
constexpr const char* kHasDuplicate =
    "SELECT 1 FROM pragma_table_info('attendance') WHERE name = 'duplicate'";
constexpr const char* kAddDuplicate =
    "ALTER TABLE attendance ADD COLUMN duplicate INTEGER NOT NULL DEFAULT 0";
constexpr const char* kMarkDuplicates =
    "UPDATE attendance SET duplicate = 1 WHERE id IN (SELECT id FROM"
    " (SELECT id, row_number() OVER (PARTITION BY terminal, read_time, number ORDER BY id) AS n"
    "  FROM attendance) WHERE n > 1)";
constexpr const char* kCreateOnceIndex =
    "CREATE UNIQUE INDEX attendance_once ON attendance (terminal, read_time, number)"
    " WHERE duplicate = 0";
constexpr const char* kCreateImports = "CREATE TABLE IF NOT EXISTS attendance_imports ("
                                       " terminal TEXT PRIMARY KEY,"
                                       " lines INTEGER NOT NULL,"
                                       " bytes INTEGER NOT NULL,"
                                       " digest TEXT NOT NULL)";
// Who holds a card from which day on (card_holders.h): from_day is
// "yyyy-mm-dd", or '' from the card's first read; an empty personal_number
// marks a card handed back.
constexpr const char* kCreateHolders = "CREATE TABLE IF NOT EXISTS card_holders ("
                                       " card TEXT NOT NULL,"
                                       " from_day TEXT NOT NULL,"
                                       " personal_number TEXT NOT NULL,"
                                       " name TEXT NOT NULL,"
                                       " department TEXT NOT NULL,"
                                       " PRIMARY KEY (card, from_day))";
// A database opened only for reading may come from before there were holders.
constexpr const char* kHasHolders =
    "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'card_holders'";
constexpr const char* kSelectHolders =
    "SELECT card, from_day, personal_number, name, department FROM card_holders"
    " ORDER BY card, from_day";
constexpr const char* kUpsertHolder =
    "INSERT INTO card_holders (card, from_day, personal_number, name, department)"
    " VALUES (?1, ?2, ?3, ?4, ?5) ON CONFLICT (card, from_day) DO UPDATE SET"
    " personal_number = ?3, name = ?4, department = ?5";
// The report page's users (user_store.h): the name and the salted hash of
// the password, as libsodium writes it.
constexpr const char* kCreateUsers = "CREATE TABLE IF NOT EXISTS web_users ("
                                     " name TEXT PRIMARY KEY,"
                                     " password_hash TEXT NOT NULL)";
constexpr const char* kHasUsers =
    "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'web_users'";
constexpr const char* kSelectUserNames = "SELECT name FROM web_users ORDER BY name";
constexpr const char* kSelectPasswordHash = "SELECT password_hash FROM web_users WHERE name = ?1";
constexpr const char* kUpsertUser = "INSERT INTO web_users (name, password_hash) VALUES (?1, ?2)"
                                    " ON CONFLICT (name) DO UPDATE SET password_hash = ?2";
constexpr const char* kDeleteUser = "DELETE FROM web_users WHERE name = ?1";

// A record already held meets attendance_once and is skipped.
constexpr const char* kInsert = "INSERT INTO attendance (read_time, read_at, number, terminal,"
                                " received_at) VALUES (?1, ?2, ?3, ?4, ?5)"
                                " ON CONFLICT DO NOTHING";
constexpr const char* kSelectAll =
    "SELECT read_time, read_at, number, terminal, received_at FROM attendance ORDER BY id";
// read_at is "yyyy-mm-dd hh:nn": a day's rows sort from "day " up to "day!".
constexpr const char* kSelectDay =
    "SELECT read_time, read_at, number, terminal, received_at FROM attendance"
    " WHERE read_at >= ?1 || ' ' AND read_at < ?1 || '!' ORDER BY read_at, id";
constexpr const char* kSelectDays =
    "SELECT read_time, read_at, number, terminal, received_at FROM attendance"
    " WHERE read_at >= ?1 || ' ' AND read_at < ?2 || '!' ORDER BY read_at, id";
constexpr const char* kSelectMark =
    "SELECT lines, bytes, digest FROM attendance_imports WHERE terminal = ?1";
constexpr const char* kUpsertMark =
    "INSERT INTO attendance_imports (terminal, lines, bytes, digest) VALUES (?1, ?2, ?3, ?4)"
    " ON CONFLICT (terminal) DO UPDATE SET lines = ?2, bytes = ?3, digest = ?4";

constexpr int kBusyTimeoutMs = 5000;

struct StatementDeleter {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

std::string ColumnText(sqlite3_stmt* statement, int column) {
    const auto* text = sqlite3_column_text(statement, column);
    return text ? reinterpret_cast<const char*>(text) : "";
}

void BindText(sqlite3_stmt* statement, int index, std::string_view text) {
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
}

} // namespace

// BEGIN IMMEDIATE takes the write lock at once, so that a transaction never
// fails half-way for another writer; anything but Commit rolls back.
class SqliteRecordStore::Transaction {
public:
    explicit Transaction(SqliteRecordStore& store) : store_(store) {
        store_.Execute("BEGIN IMMEDIATE", "cannot store records");
    }
    ~Transaction() {
        if (open_)
            sqlite3_exec(store_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // With synchronous=FULL the commit is on disk when it returns.
    void Commit() {
        store_.Execute("COMMIT", "cannot store records");
        open_ = false;
    }

private:
    SqliteRecordStore& store_;
    bool open_ = true;
};

SqliteRecordStore::SqliteRecordStore(const std::string& path, Access access) : path_(path) {
    const int flags = access == Access::kReadOnly ? SQLITE_OPEN_READONLY
                                                  : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const std::string reason = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError("cannot open database '" + path + "': " + reason);
    }
    try {
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        if (access == Access::kReadWrite)
            CreateTables();
    } catch (...) {
        sqlite3_close(db_);
        throw;
    }
}

SqliteRecordStore::~SqliteRecordStore() {
    sqlite3_close(db_);
}

void SqliteRecordStore::CreateTables() {
    // WAL with FULL sync: a commit is on disk when it returns, at one sync
    // per transaction, and readers (the report) never block the writer.
    Execute("PRAGMA journal_mode=WAL", "cannot prepare database");
    Execute("PRAGMA synchronous=FULL", "cannot prepare database");
    Execute(kCreateTable, "cannot prepare database");
    if (!Exists(kHasTerminal))
        Execute(kAddTerminal, "cannot prepare database");
    Execute(kCreateReadAtIndex, "cannot prepare database");
    Execute(kCreateImports, "cannot prepare database");
    Execute(kCreateHolders, "cannot prepare database");
    Execute(kCreateUsers, "cannot prepare database");
    HoldEachRecordOnce();
}

// In a write transaction, so that two programs opening one old database mark
// its repeats once, and no record comes in between the marking and the index.
void SqliteRecordStore::HoldEachRecordOnce() {
    if (Exists(kHasOnceIndex))
        return;
    Transaction transaction(*this);
    if (Exists(kHasOnceIndex))
        return;
    if (!Exists(kHasDuplicate))
        Execute(kAddDuplicate, "cannot prepare database");
    Execute(kMarkDuplicates, "cannot prepare database");
    Execute(kCreateOnceIndex, "cannot prepare database");
    transaction.Commit();
}

bool SqliteRecordStore::Exists(const char* query) {
    Statement select(Prepare(query, "cannot prepare database"));
    const int step = sqlite3_step(select.get());
    if (step != SQLITE_ROW && step != SQLITE_DONE)
        Fail("cannot prepare database");
    return step == SQLITE_ROW;
}

AddedRecords SqliteRecordStore::Add(std::span<const StoredRecord> records) {
    Transaction transaction(*this);
    AddedRecords added = InsertAll(records);
    transaction.Commit();
    return added;
}

AddedRecords SqliteRecordStore::InsertAll(std::span<const StoredRecord> records) {
    AddedRecords added;
    added.reserve(records.size());
    Statement insert(Prepare(kInsert, "cannot store records"));
    for (const StoredRecord& stored : records) {
        sqlite3_reset(insert.get());
        BindText(insert.get(), 1, stored.record.readTime);
        BindText(insert.get(), 2, stored.record.readAt);
        BindText(insert.get(), 3, stored.record.number);
        BindText(insert.get(), 4, stored.terminal);
        BindText(insert.get(), 5, stored.receivedAt);
        if (sqlite3_step(insert.get()) != SQLITE_DONE)
            Fail("cannot store records");
        added.push_back(sqlite3_changes(db_) == 1);
    }
    return added;
}

void SqliteRecordStore::ForEach(const RecordVisitor& visit) {
    Select(kSelectAll, {}, visit);
}

void SqliteRecordStore::ForEachOnDay(std::string_view day, const RecordVisitor& visit) {
    Select(kSelectDay, {day}, visit);
}

void SqliteRecordStore::ForEachInDays(std::string_view first, std::string_view last,
                                      const RecordVisitor& visit) {
    Select(kSelectDays, {first, last}, visit);
}

void SqliteRecordStore::Select(const char* sql, std::vector<std::string_view> days,
                               const RecordVisitor& visit) {
    Statement select(Prepare(sql, "cannot read the records"));
    for (std::size_t i = 0; i < days.size(); ++i)
        BindText(select.get(), static_cast<int>(i + 1), days[i]);
    int step;
    while ((step = sqlite3_step(select.get())) == SQLITE_ROW) {
        sqlite3_stmt* row = select.get();
        visit({{ColumnText(row, 0), ColumnText(row, 1), ColumnText(row, 2)},
               ColumnText(row, 3),
               ColumnText(row, 4)});
    }
    if (step != SQLITE_DONE)
        Fail("cannot read the records");
}

ImportMark SqliteRecordStore::FindImportMark(std::string_view terminal) {
    Statement select(Prepare(kSelectMark, "cannot read the import marks"));
    BindText(select.get(), 1, terminal);
    const int step = sqlite3_step(select.get());
    if (step == SQLITE_DONE)
        return {};
    if (step != SQLITE_ROW)
        Fail("cannot read the import marks");
    return ImportMark{static_cast<std::uint64_t>(sqlite3_column_int64(select.get(), 0)),
                      static_cast<std::uint64_t>(sqlite3_column_int64(select.get(), 1)),
                      ColumnText(select.get(), 2)};
}

std::size_t SqliteRecordStore::AddImported(std::string_view terminal,
                                           std::span<const StoredRecord> records,
                                           const ImportMark& from, const ImportMark& to) {
    Transaction transaction(*this);
    if (FindImportMark(terminal) != from)
        throw ImportConflict("the data file of terminal '" + std::string(terminal) +
                             "' was imported meanwhile by someone else");
    const AddedRecords added = InsertAll(records);
    Statement upsert(Prepare(kUpsertMark, "cannot store the import mark"));
    BindText(upsert.get(), 1, terminal);
    sqlite3_bind_int64(upsert.get(), 2, static_cast<sqlite3_int64>(to.lines));
    sqlite3_bind_int64(upsert.get(), 3, static_cast<sqlite3_int64>(to.bytes));
    BindText(upsert.get(), 4, to.digest);
    if (sqlite3_step(upsert.get()) != SQLITE_DONE)
        Fail("cannot store the import mark");
    transaction.Commit();
    return std::count(added.begin(), added.end(), true);
}

std::vector<CardHolder> SqliteRecordStore::Holders() {
    std::vector<CardHolder> holders;
    if (!Exists(kHasHolders))
        return holders;
    Statement select(Prepare(kSelectHolders, "cannot read the card holders"));
    int step;
    while ((step = sqlite3_step(select.get())) == SQLITE_ROW) {
        sqlite3_stmt* row = select.get();
        holders.push_back({ColumnText(row, 0), ColumnText(row, 1), ColumnText(row, 2),
                           ColumnText(row, 3), ColumnText(row, 4)});
    }
    if (step != SQLITE_DONE)
        Fail("cannot read the card holders");
    return holders;
}

// The write lock, taken first, keeps another change from reading the
// holders before this one stores its own.
void SqliteRecordStore::ChangeHolders(const HolderChange& change) {
    Transaction transaction(*this);
    for (const CardHolder& holder : change(Holders()))
        PutHolder(holder);
    transaction.Commit();
}

void SqliteRecordStore::PutHolder(const CardHolder& holder) {
    Statement upsert(Prepare(kUpsertHolder, "cannot store the card holders"));
    const std::string_view fields[] = {holder.card, holder.fromDay, holder.personalNumber,
                                       holder.name, holder.department};
    for (int i = 0; i < 5; ++i)
        BindText(upsert.get(), i + 1, fields[i]);
    if (sqlite3_step(upsert.get()) != SQLITE_DONE)
        Fail("cannot store the card holders");
}

std::vector<std::string> SqliteRecordStore::UserNames() {
    std::vector<std::string> names;
    if (!Exists(kHasUsers))
        return names;
    Statement select(Prepare(kSelectUserNames, "cannot read the users"));
    int step;
    while ((step = sqlite3_step(select.get())) == SQLITE_ROW)
        names.push_back(ColumnText(select.get(), 0));
    if (step != SQLITE_DONE)
        Fail("cannot read the users");
    return names;
}

std::optional<std::string> SqliteRecordStore::PasswordHash(const std::string& name) {
    if (!Exists(kHasUsers))
        return std::nullopt;
    Statement select(Prepare(kSelectPasswordHash, "cannot read the users"));
    BindText(select.get(), 1, name);
    const int step = sqlite3_step(select.get());
    if (step == SQLITE_DONE)
        return std::nullopt;
    if (step != SQLITE_ROW)
        Fail("cannot read the users");
    return ColumnText(select.get(), 0);
}

// In one write transaction, so that "added" tells what this call did.
bool SqliteRecordStore::PutUser(const std::string& name, const std::string& passwordHash) {
    Transaction transaction(*this);
    const bool added = !PasswordHash(name);
    Statement upsert(Prepare(kUpsertUser, "cannot store the user"));
    BindText(upsert.get(), 1, name);
    BindText(upsert.get(), 2, passwordHash);
    if (sqlite3_step(upsert.get()) != SQLITE_DONE)
        Fail("cannot store the user");
    transaction.Commit();
    return added;
}

bool SqliteRecordStore::RemoveUser(const std::string& name) {
    Statement remove(Prepare(kDeleteUser, "cannot remove the user"));
    BindText(remove.get(), 1, name);
    if (sqlite3_step(remove.get()) != SQLITE_DONE)
        Fail("cannot remove the user");
    return sqlite3_changes(db_) == 1;
}

sqlite3_stmt* SqliteRecordStore::Prepare(const char* sql, const char* what) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK)
        Fail(what);
    return statement;
}

void SqliteRecordStore::Execute(const char* sql, const char* what) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail(what);
}

void SqliteRecordStore::Fail(const std::string& what) const {
    throw StoreError(what + " in '" + path_ + "': " + sqlite3_errmsg(db_));
}

} // namespace lorvent::server
