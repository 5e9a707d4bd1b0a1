#pragma once

#include "server/holder_store.h"
#include "server/record_store.h"
#include "server/user_store.h"

#include <memory>
#include <string>

namespace lorvent::server {

// Opens the store at `location` (IsPostgresLocation tells which backend),
// creating the tables when writable. Throws StoreError.
std::unique_ptr<RecordStore> OpenRecordStore(const std::string& location,
                                             RecordStore::Access access);

// The records, the card holders and the report page's users of one
// database, on one connection.
struct Database {
    std::unique_ptr<RecordStore> records;
    HolderStore* holders = nullptr; // the same store's, living as long
    UserStore* users = nullptr;     // likewise
};

// As OpenRecordStore, with the holders and the users. Throws StoreError.
Database OpenDatabase(const std::string& location, RecordStore::Access access);

} // namespace lorvent::server
