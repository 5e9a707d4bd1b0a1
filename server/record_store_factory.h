#pragma once

#include "server/record_store.h"

#include <memory>
#include <string>

namespace lorvent::server {

// Opens the store at `location` (IsPostgresLocation tells which backend),
// creating the tables when writable. Throws StoreError.
std::unique_ptr<RecordStore> OpenRecordStore(const std::string& location,
                                             RecordStore::Access access);

} // namespace lorvent::server
