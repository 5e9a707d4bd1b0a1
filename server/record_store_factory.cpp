#include "server/record_store_factory.h"

#include "server/postgres_record_store.h"
#include "server/sqlite_record_store.h"

namespace lorvent::server {

std::unique_ptr<RecordStore> OpenRecordStore(const std::string& location,
                                             RecordStore::Access access) {
    if (IsPostgresLocation(location))
        return std::make_unique<PostgresRecordStore>(location, access);
    return std::make_unique<SqliteRecordStore>(location, access);
}

} // namespace lorvent::server
