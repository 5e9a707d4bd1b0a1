#pragma once

#include "server/holder_store.h"
#include "server/record_store.h"
#include "server/user_store.h"

#include <vector>

struct pg_conn;
struct pg_result;

namespace lorvent::server {

// Records in a PostgreSQL database through libpq. A connection that breaks
// is made again on the next call (a call that finds it broken inside one of
// its transactions fails instead), so that the server outlives a restart of
// the database. The card holders and the report page's users are kept in the
// same database.
class PostgresRecordStore final : public RecordStore, public HolderStore, public UserStore {
public:
    // Connects and, when writable, creates the tables. Throws StoreError.
    PostgresRecordStore(std::string uri, Access access = Access::kReadWrite);
    ~PostgresRecordStore() override;
    PostgresRecordStore(const PostgresRecordStore&) = delete;
    PostgresRecordStore& operator=(const PostgresRecordStore&) = delete;

    AddedRecords Add(std::span<const StoredRecord> records) override;
    void ForEach(const RecordVisitor& visit) override;
    void ForEachOnDay(std::string_view day, const RecordVisitor& visit) override;
    void ForEachInDays(std::string_view first, std::string_view last,
                       const RecordVisitor& visit) override;
    ImportMark FindImportMark(std::string_view terminal) override;
    std::size_t AddImported(std::string_view terminal, std::span<const StoredRecord> records,
                            const ImportMark& from, const ImportMark& to) override;
    std::vector<CardHolder> Holders() override;
    void ChangeHolders(const HolderChange& change) override;
    std::vector<std::string> UserNames() override;
    std::optional<std::string> PasswordHash(const std::string& name) override;
    bool PutUser(const std::string& name, const std::string& passwordHash) override;
    bool RemoveUser(const std::string& name) override;

private:
    class Transaction;
    struct ResultDeleter {
        void operator()(pg_result* result) const;
    };
    using Result = std::unique_ptr<pg_result, ResultDeleter>;
    struct ConnectionDeleter {
        void operator()(pg_conn* conn) const;
    };

    pg_conn* Connection();
    void Prepare();
    bool HasUsersTable();
    AddedRecords InsertAll(std::span<const StoredRecord> records);
    Result Execute(const std::string& sql, const std::vector<std::string>& parameters,
                   const char* what);
    void Select(const std::string& sql, const std::vector<std::string>& parameters,
                const RecordVisitor& visit);
    [[noreturn]] void Fail(const char* what, const std::string& reason);

    std::string uri_;
    Access access_;
    std::unique_ptr<pg_conn, ConnectionDeleter> conn_;
    // Between BEGIN and the end of COMMIT or ROLLBACK: a broken connection is
    // then not made again.
    bool inTransaction_ = false;
};

} // namespace lorvent::server
