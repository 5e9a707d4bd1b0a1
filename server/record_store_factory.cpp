#include "server/record_store_factory.h"

#include "server/postgres_record_store.h"
#include "server/sqlite_record_store.h"

namespace lorvent::server {

namespace {

template <class Store> Database DatabaseOf(std::unique_ptr<Store> store) {
    HolderStore* holders = store.get();
    UserStore* users = store.get();
    return {std::move(store), holders, users};
}

} // namespace

std::unique_ptr<RecordStore> OpenRecordStore(const std::string& location,
                                             RecordStore::Access access) {
    return std::move(OpenDatabase(location, access).records);
}

Database OpenDatabase(const std::string& location, RecordStore::Access access) {
    if (IsPostgresLocation(location))
        return DatabaseOf(std::make_unique<PostgresRecordStore>(location, access));
    return DatabaseOf(std::make_unique<SqliteRecordStore>(location, access));
}

} // namespace lorvent::server
