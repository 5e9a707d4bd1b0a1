#pragma once

#include "server/holder_store.h"
#include "server/record_store.h"
#include "server/user_store.h"

#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace lorvent::server {

// Records in an SQLite file, one row each, in the order they came, each
// record once; the card holders and the report page's users.
class SqliteRecordStore final : public RecordStore, public HolderStore, public UserStore {
public:
    // Opens the database, creating file and tables when writable. Throws StoreError.
    explicit SqliteRecordStore(const std::string& path, Access access = Access::kReadWrite);
    ~SqliteRecordStore() override;
    SqliteRecordStore(const SqliteRecordStore&) = delete;
    SqliteRecordStore& operator=(const SqliteRecordStore&) = delete;

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

    void CreateTables();
    void HoldEachRecordOnce();
    bool Exists(const char* query);
    AddedRecords InsertAll(std::span<const StoredRecord> records);
    void Select(const char* sql, std::vector<std::string_view> days, const RecordVisitor& visit);
    void PutHolder(const CardHolder& holder);
    sqlite3_stmt* Prepare(const char* sql, const char* what);
    void Execute(const char* sql, const char* what);
    [[noreturn]] void Fail(const std::string& what) const;

    std::string path_;
    sqlite3* db_ = nullptr;
};

} // namespace lorvent::server
