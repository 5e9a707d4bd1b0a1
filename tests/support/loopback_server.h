#pragma once

// kalvinor-server's core on a thread of its own, listening on 127.0.0.1 with
// its SQLite database in a fresh temporary directory, for tests and benches
// of the upload that want the real server without its process.
#include "server/sqlite_record_store.h"
#include "support/running_server.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <string>
#include <vector>

namespace lorvent::testing {

class TLoopbackServer {
public:
    std::uint16_t Port() const { return server_.Port(); }
    // A data file for the terminal, beside the server's database.
    std::filesystem::path DataFile() const { return directory_.File("kalvinor.db"); }

    // Stops the server and gives the card numbers it stored, in order.
    std::vector<std::string> StoredNumbers() {
        server_.Stop();
        std::vector<std::string> numbers;
        store_.ForEach([&](const server::StoredRecord& stored) {
            numbers.push_back(stored.record.number);
        });
        return numbers;
    }

private:
    TTempDir directory_;
    server::SqliteRecordStore store_{directory_.File("server.sqlite")};
    TRunningServer server_{store_};
};

} // namespace lorvent::testing
