#pragma once

#include "server/record_line.h"
#include "support/temp_dir.h"

#include <sqlite3.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace lorvent::testing {

// What the database holds, read through a connection of the test's own,
// "read_time number" per row in insertion order.
inline std::vector<std::string> DatabaseRows(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("cannot open " + path);
    }
    std::vector<std::string> rows;
    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(db, "SELECT read_time || ' ' || number FROM attendance ORDER BY id", -1,
                       &select, nullptr);
    while (select && sqlite3_step(select) == SQLITE_ROW)
        rows.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(select, 0)));
    const bool failed = select == nullptr;
    sqlite3_finalize(select);
    sqlite3_close(db);
    if (failed)
        throw std::runtime_error("no attendance table in " + path);
    return rows;
}

// Runs statements on an SQLite file of the test's own making.
inline void ExecuteSql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    char* error = nullptr;
    const int result = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    const std::string reason = error ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    if (result != SQLITE_OK)
        throw std::runtime_error(sql + ": " + reason);
}

} // namespace lorvent::testing
