// kalvinor-server: the reference attendance server. Takes attendance records
// over TCP, keeps them in SQLite and confirms each one once it is committed.
#include "server/attendance_server.h"
#include "server/server_options.h"

#include <csignal>
#include <iostream>

using namespace lorvent::server;

namespace {

int ListRecords(const ServerOptions& options) {
    SqliteRecordStore store(options.databasePath, SqliteRecordStore::Access::kReadOnly);
    store.ForEach([](const AttendanceRecord& record) {
        std::cout << record.readTime << ' ' << record.number << '\n';
    });
    std::cout.flush();
    return 0;
}

int Serve(const ServerOptions& options) {
    SqliteRecordStore store(options.databasePath);
    asio::io_context io;
    const asio::ip::tcp::endpoint endpoint(asio::ip::make_address(options.bindAddress),
                                           options.port);
    AttendanceServer server(io, endpoint, store, std::cout, std::cerr);
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&server](const asio::error_code& error, int) {
        if (!error)
            server.Stop();
    });
    std::cerr << "kalvinor-server: listening on " << server.LocalEndpoint() << ", database '"
              << options.databasePath << "'" << std::endl;
    io.run();
    std::cerr << "kalvinor-server: stopped" << std::endl;
    return 0;
}

} // namespace

int main(int argc, char** argv) {
#ifdef SIGPIPE
    // Records are echoed to stdout; a reader of that pipe going away must not
    // kill the server (its sockets never raise SIGPIPE, Asio sends with
    // MSG_NOSIGNAL).
    std::signal(SIGPIPE, SIG_IGN);
#endif
    try {
        const ServerOptions options = ParseServerOptions({argv + 1, argv + argc});
        if (options.help) {
            std::cout << kServerUsage;
            return 0;
        }
        return options.list ? ListRecords(options) : Serve(options);
    } catch (const UsageError& error) {
        std::cerr << "kalvinor-server: " << error.what() << '\n' << kServerUsage;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "kalvinor-server: " << error.what() << std::endl;
        return 1;
    }
}
