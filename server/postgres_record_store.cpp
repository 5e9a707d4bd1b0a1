#include "server/postgres_record_store.h"

#include <libpq-fe.h>

#include <poll.h>

#include <algorithm>
#include <set>
#include <tuple>

namespace lorvent::server {

namespace {

// read_at is the read time as a timestamp of the terminals' own clock;
// received_at when the server took the record; duplicate marks a row that
// repeats an earlier one, kept from the time the server stored repeats.
//
// A record is held once (attendance_once). A database written before that
// may hold repeats: they are marked and kept rather than deleted, so that the
// index fits. The table lock keeps records out between the marking and the
// index. The statements run as one transaction.
//
// Programs opening one database at once take their turns on the advisory
// lock first: each CREATE INDEX holds a share lock on the table, and two of
// them both waiting for the table lock would deadlock.
//
// card_holders: who holds a card from which day on (card_holders.h):
// from_day is "yyyy-mm-dd", or '' from the card's first read; an empty
// personal_number marks a card handed back.
//
// web_users: the report page's users (user_store.h), the name and the salted
// hash of the password as libsodium writes it.
constexpr const char* kCreateTables =
    "SET client_min_messages = warning;"
    "SELECT pg_advisory_xact_lock(hashtext('kalvinor-server schema'));"
    "CREATE TABLE IF NOT EXISTS attendance ("
    " id BIGSERIAL PRIMARY KEY,"
    " read_time TEXT NOT NULL,"
    " read_at TIMESTAMP(0) NOT NULL,"
    " number TEXT NOT NULL,"
    " terminal TEXT NOT NULL,"
    " received_at TIMESTAMPTZ NOT NULL,"
    " duplicate BOOLEAN NOT NULL DEFAULT false);"
    "CREATE INDEX IF NOT EXISTS attendance_read_at ON attendance (read_at);"
    "CREATE TABLE IF NOT EXISTS attendance_imports ("
    " terminal TEXT PRIMARY KEY,"
    " lines BIGINT NOT NULL,"
    " bytes BIGINT NOT NULL,"
    " digest TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS card_holders ("
    " card TEXT NOT NULL,"
    " from_day TEXT NOT NULL,"
    " personal_number TEXT NOT NULL,"
    " name TEXT NOT NULL,"
    " department TEXT NOT NULL,"
    " PRIMARY KEY (card, from_day));"
    "CREATE TABLE IF NOT EXISTS web_users ("
    " name TEXT PRIMARY KEY,"
    " password_hash TEXT NOT NULL);"
    "DO $$ BEGIN"
    " IF to_regclass('attendance_once') IS NULL THEN"
    "  LOCK TABLE attendance IN SHARE ROW EXCLUSIVE MODE;"
    "  ALTER TABLE attendance ADD COLUMN IF NOT EXISTS duplicate BOOLEAN NOT NULL DEFAULT false;"
    "  UPDATE attendance SET duplicate = true WHERE id IN (SELECT id FROM"
    "   (SELECT id, row_number() OVER (PARTITION BY terminal, read_time, number ORDER BY id) AS n"
    "    FROM attendance) AS ranked WHERE n > 1);"
    "  CREATE UNIQUE INDEX IF NOT EXISTS attendance_once"
    "   ON attendance (terminal, read_time, number) WHERE NOT duplicate;"
    " END IF;"
    " END $$";

constexpr const char* kInsertHead =
    "INSERT INTO attendance (read_time, read_at, number, terminal, received_at) VALUES ";
// A record already held meets attendance_once and is skipped; the rows
// returned are those stored.
constexpr const char* kInsertTail = " ON CONFLICT DO NOTHING RETURNING terminal, read_time, number";
constexpr int kColumns = 5;
// PostgreSQL takes at most 65535 parameters in one statement.
constexpr std::size_t kRowsPerInsert = 1000;

constexpr const char* kSelect =
    "SELECT read_time, to_char(read_at, 'YYYY-MM-DD HH24:MI'), number, terminal,"
    " to_char(received_at AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')"
    " FROM attendance";
constexpr const char* kOrderById = " ORDER BY id";
constexpr const char* kOnDay = " WHERE read_at >= $1::date AND read_at < $1::date + 1"
                               " ORDER BY read_at, id";
constexpr const char* kInDays = " WHERE read_at >= $1::date AND read_at < $2::date + 1"
                                " ORDER BY read_at, id";
constexpr const char* kSelectMark =
    "SELECT lines, bytes, digest FROM attendance_imports WHERE terminal = $1";
// A database opened only for reading may come from before there were holders.
constexpr const char* kHasHolders = "SELECT to_regclass('card_holders') IS NOT NULL";
constexpr const char* kSelectHolders =
    "SELECT card, from_day, personal_number, name, department FROM card_holders"
    " ORDER BY card, from_day";
// Changes of the holders take turns; readers go on reading.
constexpr const char* kLockHolders = "LOCK TABLE card_holders IN SHARE ROW EXCLUSIVE MODE";
constexpr const char* kUpsertHolder =
    "INSERT INTO card_holders (card, from_day, personal_number, name, department)"
    " VALUES ($1, $2, $3, $4, $5) ON CONFLICT (card, from_day) DO UPDATE SET"
    " personal_number = $3, name = $4, department = $5";
constexpr const char* kHasUsers = "SELECT to_regclass('web_users') IS NOT NULL";
constexpr const char* kSelectUserNames = "SELECT name FROM web_users ORDER BY name COLLATE \"C\"";
constexpr const char* kSelectPasswordHash = "SELECT password_hash FROM web_users WHERE name = $1";
// xmax = 0 on the returned row: it was inserted, not updated.
constexpr const char* kUpsertUser = "INSERT INTO web_users (name, password_hash) VALUES ($1, $2)"
                                    " ON CONFLICT (name) DO UPDATE SET password_hash = $2"
                                    " RETURNING xmax = 0";
constexpr const char* kDeleteUser = "DELETE FROM web_users WHERE name = $1";
// A first import of a terminal makes its row, so that the lock below holds a
// second import that starts at the same time.
constexpr const char* kEnsureMark =
    "INSERT INTO attendance_imports (terminal, lines, bytes, digest) VALUES ($1, 0, 0, '')"
    " ON CONFLICT (terminal) DO NOTHING";
constexpr const char* kLockMark =
    "SELECT lines, bytes, digest FROM attendance_imports WHERE terminal = $1 FOR UPDATE";
constexpr const char* kUpsertMark =
    "INSERT INTO attendance_imports (terminal, lines, bytes, digest) VALUES ($1, $2, $3, $4)"
    " ON CONFLICT (terminal) DO UPDATE SET lines = $2, bytes = $3, digest = $4";

// Settings that the URI may override (it comes last): a host that drops
// packets must not hold the store for minutes.
constexpr const char* kConnectKeywords[] = {"connect_timeout",
                                            "keepalives_idle",
                                            "keepalives_interval",
                                            "keepalives_count",
                                            "tcp_user_timeout",
                                            "application_name",
                                            "dbname",
                                            nullptr};
constexpr const char* kConnectDefaults[] = {"5", "10", "3", "3", "15000", "kalvinor-server"};

std::string InsertStatement(std::size_t rows) {
    std::string sql = kInsertHead;
    for (std::size_t row = 0; row < rows; ++row) {
        sql += row == 0 ? "(" : ",(";
        for (int column = 1; column <= kColumns; ++column) {
            sql += '$' + std::to_string(row * kColumns + column);
            sql += column == kColumns ? ")" : ",";
        }
    }
    return sql + kInsertTail;
}

using RecordKey = std::tuple<std::string, std::string, std::string>;

RecordKey KeyOf(const StoredRecord& stored) {
    return {stored.terminal, stored.record.readTime, stored.record.number};
}

// Which records of the statement were stored. A record given twice in one
// statement is stored at its first place, the second meeting the first.
AddedRecords AddedOf(pg_result* returned, std::span<const StoredRecord> records) {
    std::multiset<RecordKey> stored;
    for (int row = 0; row < PQntuples(returned); ++row)
        stored.insert({PQgetvalue(returned, row, 0), PQgetvalue(returned, row, 1),
                       PQgetvalue(returned, row, 2)});
    AddedRecords added;
    added.reserve(records.size());
    for (const StoredRecord& record : records) {
        const auto found = stored.find(KeyOf(record));
        added.push_back(found != stored.end());
        if (found != stored.end())
            stored.erase(found);
    }
    return added;
}

ImportMark MarkOf(pg_result* result) {
    if (PQntuples(result) == 0)
        return {};
    return ImportMark{std::stoull(PQgetvalue(result, 0, 0)), std::stoull(PQgetvalue(result, 0, 1)),
                      PQgetvalue(result, 0, 2)};
}

void IgnoreNotice(void*, const char*) {}

bool HasInputWaiting(pg_conn* conn) {
    pollfd socket{PQsocket(conn), POLLIN, 0};
    return poll(&socket, 1, 0) > 0;
}

// Reads all that waits on an idle connection; false when it ended.
bool IsAlive(pg_conn* conn) {
    while (PQstatus(conn) == CONNECTION_OK && HasInputWaiting(conn))
        if (!PQconsumeInput(conn))
            return false;
    return PQstatus(conn) == CONNECTION_OK;
}

} // namespace

void PostgresRecordStore::ResultDeleter::operator()(pg_result* result) const {
    PQclear(result);
}

void PostgresRecordStore::ConnectionDeleter::operator()(pg_conn* conn) const {
    PQfinish(conn);
}

// Anything but Commit rolls back.
class PostgresRecordStore::Transaction {
public:
    explicit Transaction(PostgresRecordStore& store) : store_(store) {
        store_.Execute("BEGIN", {}, "cannot store records");
        store_.inTransaction_ = true;
    }
    ~Transaction() {
        store_.inTransaction_ = false;
        if (open_ && PQstatus(store_.conn_.get()) == CONNECTION_OK)
            PQclear(PQexec(store_.conn_.get(), "ROLLBACK"));
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // With synchronous_commit on (PostgreSQL's default) the commit is durable
    // when it returns.
    void Commit() {
        open_ = false;
        store_.Execute("COMMIT", {}, "cannot store records");
    }

private:
    PostgresRecordStore& store_;
    bool open_ = true;
};

PostgresRecordStore::PostgresRecordStore(std::string uri, Access access)
    : uri_(std::move(uri)), access_(access) {
    Connection();
}

PostgresRecordStore::~PostgresRecordStore() = default;

// A connection whose server has gone (restarted, say) shows it here, before
// anything is sent on it. Between transactions the server sends nothing
// unless it goes: then its last words (an error that it is shutting down)
// and the close wait on the socket, and libpq reads them without blocking,
// one read each when they came apart.
pg_conn* PostgresRecordStore::Connection() {
    pg_conn* conn = conn_.get();
    if (conn && IsAlive(conn))
        return conn;
    // The database rolled back what this transaction did when the connection
    // ended; going on over a new one would store the rest on its own and let
    // COMMIT report the whole as stored.
    if (conn && inTransaction_)
        Fail("cannot store records",
             "the connection ended inside a transaction, which the database rolled back");
    if (conn) {
        PQreset(conn);
    } else {
        const char* values[std::size(kConnectKeywords)];
        std::copy(std::begin(kConnectDefaults), std::end(kConnectDefaults), values);
        values[std::size(kConnectKeywords) - 2] = uri_.c_str();
        values[std::size(kConnectKeywords) - 1] = nullptr;
        conn_.reset(PQconnectdbParams(kConnectKeywords, values, 1));
        conn = conn_.get();
        if (!conn)
            throw StoreError("cannot reach database '" + RedactedLocation(uri_) +
                             "': out of memory");
    }
    if (PQstatus(conn) != CONNECTION_OK)
        Fail("cannot reach database", PQerrorMessage(conn));
    PQsetNoticeProcessor(conn, IgnoreNotice, nullptr);
    Prepare();
    return conn;
}

// Run on every new connection: the tables for a writer, a read-only session
// for --list and the report.
void PostgresRecordStore::Prepare() {
    const char* sql =
        access_ == Access::kReadWrite ? kCreateTables : "SET default_transaction_read_only = on";
    Result result(PQexec(conn_.get(), sql));
    if (PQresultStatus(result.get()) != PGRES_COMMAND_OK)
        Fail("cannot prepare database", PQerrorMessage(conn_.get()));
}

PostgresRecordStore::Result PostgresRecordStore::Execute(const std::string& sql,
                                                         const std::vector<std::string>& parameters,
                                                         const char* what) {
    std::vector<const char*> values;
    for (const std::string& parameter : parameters)
        values.push_back(parameter.c_str());
    pg_conn* conn = Connection();
    Result result(PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr,
                               values.data(), nullptr, nullptr, 0));
    const auto status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        Fail(what, PQerrorMessage(conn));
    return result;
}

// A batch that fits one statement is one round trip: a statement on its own
// is a transaction of its own.
AddedRecords PostgresRecordStore::Add(std::span<const StoredRecord> records) {
    if (records.size() <= kRowsPerInsert)
        return InsertAll(records);
    Transaction transaction(*this);
    AddedRecords added = InsertAll(records);
    transaction.Commit();
    return added;
}

AddedRecords PostgresRecordStore::InsertAll(std::span<const StoredRecord> records) {
    AddedRecords added;
    added.reserve(records.size());
    for (std::size_t start = 0; start < records.size(); start += kRowsPerInsert) {
        const auto chunk = records.subspan(start, std::min(kRowsPerInsert, records.size() - start));
        std::vector<std::string> parameters;
        parameters.reserve(chunk.size() * kColumns);
        for (const StoredRecord& stored : chunk) {
            parameters.insert(parameters.end(),
                              {stored.record.readTime, stored.record.readAt, stored.record.number,
                               stored.terminal, stored.receivedAt});
        }
        const Result returned =
            Execute(InsertStatement(chunk.size()), parameters, "cannot store records");
        const AddedRecords chunkAdded = AddedOf(returned.get(), chunk);
        added.insert(added.end(), chunkAdded.begin(), chunkAdded.end());
    }
    return added;
}

void PostgresRecordStore::ForEach(const RecordVisitor& visit) {
    Select(std::string(kSelect) + kOrderById, {}, visit);
}

void PostgresRecordStore::ForEachOnDay(std::string_view day, const RecordVisitor& visit) {
    Select(std::string(kSelect) + kOnDay, {std::string(day)}, visit);
}

void PostgresRecordStore::ForEachInDays(std::string_view first, std::string_view last,
                                        const RecordVisitor& visit) {
    Select(std::string(kSelect) + kInDays, {std::string(first), std::string(last)}, visit);
}

// Row by row, so that a large table is never held in memory at once.
void PostgresRecordStore::Select(const std::string& sql, const std::vector<std::string>& parameters,
                                 const RecordVisitor& visit) {
    std::vector<const char*> values;
    for (const std::string& parameter : parameters)
        values.push_back(parameter.c_str());
    pg_conn* conn = Connection();
    if (!PQsendQueryParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr,
                           values.data(), nullptr, nullptr, 0) ||
        !PQsetSingleRowMode(conn))
        Fail("cannot read the records", PQerrorMessage(conn));
    std::string error;
    while (Result result{PQgetResult(conn)}) {
        const auto status = PQresultStatus(result.get());
        if (status == PGRES_SINGLE_TUPLE && error.empty()) {
            pg_result* row = result.get();
            visit({{PQgetvalue(row, 0, 0), PQgetvalue(row, 0, 1), PQgetvalue(row, 0, 2)},
                   PQgetvalue(row, 0, 3),
                   PQgetvalue(row, 0, 4)});
        } else if (status != PGRES_SINGLE_TUPLE && status != PGRES_TUPLES_OK && error.empty()) {
            error = PQerrorMessage(conn);
        }
    }
    if (!error.empty())
        Fail("cannot read the records", error);
}

ImportMark PostgresRecordStore::FindImportMark(std::string_view terminal) {
    return MarkOf(
        Execute(kSelectMark, {std::string(terminal)}, "cannot read the import marks").get());
}

std::size_t PostgresRecordStore::AddImported(std::string_view terminal,
                                             std::span<const StoredRecord> records,
                                             const ImportMark& from, const ImportMark& to) {
    const std::string name(terminal);
    Transaction transaction(*this);
    // The row lock makes a second import of the same terminal wait for this one.
    Execute(kEnsureMark, {name}, "cannot store the import mark");
    if (MarkOf(Execute(kLockMark, {name}, "cannot read the import marks").get()) != from)
        throw ImportConflict("the data file of terminal '" + name +
                             "' was imported meanwhile by someone else");
    const AddedRecords added = InsertAll(records);
    Execute(kUpsertMark, {name, std::to_string(to.lines), std::to_string(to.bytes), to.digest},
            "cannot store the import mark");
    transaction.Commit();
    return std::count(added.begin(), added.end(), true);
}

std::vector<CardHolder> PostgresRecordStore::Holders() {
    std::vector<CardHolder> holders;
    const Result exists = Execute(kHasHolders, {}, "cannot read the card holders");
    if (PQgetvalue(exists.get(), 0, 0) != std::string("t"))
        return holders;
    const Result rows = Execute(kSelectHolders, {}, "cannot read the card holders");
    for (int row = 0; row < PQntuples(rows.get()); ++row)
        holders.push_back({PQgetvalue(rows.get(), row, 0), PQgetvalue(rows.get(), row, 1),
                           PQgetvalue(rows.get(), row, 2), PQgetvalue(rows.get(), row, 3),
                           PQgetvalue(rows.get(), row, 4)});
    return holders;
}

void PostgresRecordStore::ChangeHolders(const HolderChange& change) {
    Transaction transaction(*this);
    Execute(kLockHolders, {}, "cannot store the card holders");
    for (const CardHolder& holder : change(Holders()))
        Execute(
            kUpsertHolder,
            {holder.card, holder.fromDay, holder.personalNumber, holder.name, holder.department},
            "cannot store the card holders");
    transaction.Commit();
}

bool PostgresRecordStore::HasUsersTable() {
    const Result exists = Execute(kHasUsers, {}, "cannot read the users");
    return PQgetvalue(exists.get(), 0, 0) == std::string("t");
}

std::vector<std::string> PostgresRecordStore::UserNames() {
    std::vector<std::string> names;
    if (!HasUsersTable())
        return names;
    const Result rows = Execute(kSelectUserNames, {}, "cannot read the users");
    for (int row = 0; row < PQntuples(rows.get()); ++row)
        names.push_back(PQgetvalue(rows.get(), row, 0));
    return names;
}

std::optional<std::string> PostgresRecordStore::PasswordHash(const std::string& name) {
    if (!HasUsersTable())
        return std::nullopt;
    const Result rows = Execute(kSelectPasswordHash, {name}, "cannot read the users");
    if (PQntuples(rows.get()) == 0)
        return std::nullopt;
    return PQgetvalue(rows.get(), 0, 0);
}

bool PostgresRecordStore::PutUser(const std::string& name, const std::string& passwordHash) {
    const Result added = Execute(kUpsertUser, {name, passwordHash}, "cannot store the user");
    return PQgetvalue(added.get(), 0, 0) == std::string("t");
}

bool PostgresRecordStore::RemoveUser(const std::string& name) {
    const Result removed = Execute(kDeleteUser, {name}, "cannot remove the user");
    return std::string(PQcmdTuples(removed.get())) == "1";
}

void PostgresRecordStore::Fail(const char* what, const std::string& reason) {
    std::string text = reason;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    throw StoreError(std::string(what) + " in '" + RedactedLocation(uri_) + "': " + text);
}

} // namespace lorvent::server
