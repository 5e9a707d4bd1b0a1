#pragma once

#include "server/record_line.h"

#include <functional>
#include <stdexcept>
#include <string>

struct sqlite3;

namespace lorvent::server {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where the server keeps what it has confirmed.
class RecordStore {
public:
    virtual ~RecordStore() = default;
    // Returns only once the record is durable; throws StoreError otherwise.
    virtual void Add(const AttendanceRecord& record) = 0;
};

// Records in an SQLite database, one row each, in the order they came.
class SqliteRecordStore final : public RecordStore {
public:
    enum class Access { kReadWrite, kReadOnly };

    // Opens the database, creating file and table when writable. Throws StoreError.
    explicit SqliteRecordStore(const std::string& path, Access access = Access::kReadWrite);
    ~SqliteRecordStore() override;
    SqliteRecordStore(const SqliteRecordStore&) = delete;
    SqliteRecordStore& operator=(const SqliteRecordStore&) = delete;

    void Add(const AttendanceRecord& record) override;
    // Calls visit for every record, oldest first.
    void ForEach(const std::function<void(const AttendanceRecord&)>& visit) const;

private:
    void Execute(const char* sql);
    [[noreturn]] void Fail(const std::string& what) const;

    std::string path_;
    sqlite3* db_ = nullptr;
};

} // namespace lorvent::server
