// kalvinor-server: the reference attendance server. Takes attendance records
// over TCP, keeps them in SQLite or PostgreSQL and confirms each one once it
// is committed; imports terminals' data files and reports a day's reads.
#include "server/attendance_server.h"
#include "server/data_file_import.h"
#include "server/day_report.h"
#include "server/output_pump.h"
#include "server/record_store_factory.h"
#include "server/report_web_server.h"
#include "server/server_options.h"

#include <unistd.h>

#include <csignal>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>

using namespace lorvent::server;

namespace {

// The listing: received-at (UTC), terminal, then the record as the
// terminal sent it, so that the number stays the last word.
int ListRecords(const ServerOptions& options) {
    const auto store = OpenRecordStore(options.databasePath, RecordStore::Access::kReadOnly);
    store->ForEach([](const StoredRecord& stored) {
        std::cout << stored.receivedAt << ' ' << (stored.terminal.empty() ? "-" : stored.terminal)
                  << ' ' << stored.record.readTime << ' ' << stored.record.number << '\n';
    });
    std::cout.flush();
    return 0;
}

int ImportRecords(const ServerOptions& options) {
    const auto store = OpenRecordStore(options.databasePath, RecordStore::Access::kReadWrite);
    const ImportResult result = ImportDataFile(*store, options.terminal, options.importFile);
    for (const MalformedLine& line : result.malformed)
        std::cerr << options.importFile << ':' << line.number << ": skipped: " << line.reason
                  << (line.text.empty() ? "" : ": '" + line.text + "'") << '\n';
    std::cout << "imported " << result.added << " records from " << options.importFile
              << " for terminal '" << options.terminal << "'";
    if (result.linesBefore > 0)
        std::cout << "; " << result.linesBefore << " lines imported before were skipped";
    if (result.alreadyHeld > 0)
        std::cout << "; " << result.alreadyHeld << " records already held were skipped";
    if (!result.malformed.empty())
        std::cout << "; " << result.malformed.size() << " malformed lines skipped";
    std::cout << '\n';
    if (result.unfinishedLastLine)
        std::cout << "the last line has no line end yet; it is left for the next import\n";
    return 0;
}

int PrintReport(const ServerOptions& options) {
    const auto store = OpenRecordStore(options.databasePath, RecordStore::Access::kReadOnly);
    const DayReport report = BuildDayReport(*store, options.day);
    std::cout << (options.csv ? ReportCsv(report) : ReportText(report)) << std::flush;
    return 0;
}

// The report page on a thread and a database connection of its own.
class WebPage {
public:
    WebPage(const ServerOptions& options, LineSink& log)
        : store_(OpenRecordStore(options.databasePath, RecordStore::Access::kReadOnly)),
          server_(io_, {asio::ip::make_address(options.webBindAddress), *options.webPort}, *store_,
                  log, LocalToday),
          thread_([this] { io_.run(); }) {}
    ~WebPage() {
        io_.stop();
        thread_.join();
    }
    asio::ip::tcp::endpoint LocalEndpoint() const { return server_.LocalEndpoint(); }

private:
    asio::io_context io_;
    std::unique_ptr<RecordStore> store_;
    ReportWebServer server_;
    std::thread thread_;
};

int Serve(const ServerOptions& options) {
    // Neither output may hold the server up when nobody reads it.
    OutputPump echo(STDOUT_FILENO);
    OutputPump log(STDERR_FILENO);
    std::optional<TerminalAllowlist> terminals;
    if (!options.terminalsFile.empty())
        terminals = TerminalAllowlist::Load(options.terminalsFile);
    const auto store = OpenRecordStore(options.databasePath, RecordStore::Access::kReadWrite);
    asio::io_context io;
    StoreWorker worker(*store, echo, log);
    const asio::ip::tcp::endpoint endpoint(asio::ip::make_address(options.bindAddress),
                                           options.port);
    AttendanceServer server(io, endpoint, worker, log, kDefaultIdleTimeout, std::move(terminals));
    std::optional<WebPage> web;
    if (options.webPort)
        web.emplace(options, log);
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&server](const asio::error_code& error, int) {
        if (!error)
            server.Stop();
    });
    std::ostringstream banner;
    banner << "kalvinor-server: listening on " << server.LocalEndpoint() << ", database '"
           << RedactedLocation(options.databasePath) << "'";
    if (!options.terminalsFile.empty())
        banner << ", records only from the terminals in '" << options.terminalsFile << "'";
    log.Write(banner.str());
    if (web) {
        std::ostringstream page;
        page << "kalvinor-server: report page on http://" << web->LocalEndpoint() << "/";
        log.Write(page.str());
    }
    io.run();
    worker.Stop();
    log.Write("kalvinor-server: stopped");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // Records are echoed to stdout; a reader of that pipe going away must not
    // kill the server (its sockets never raise SIGPIPE, Asio sends with
    // MSG_NOSIGNAL).
    std::signal(SIGPIPE, SIG_IGN);
    try {
        const ServerOptions options = ParseServerOptions({argv + 1, argv + argc});
        if (options.help) {
            std::cout << kServerUsage;
            return 0;
        }
        switch (options.command) {
        case ServerCommand::kList:
            return ListRecords(options);
        case ServerCommand::kImport:
            return ImportRecords(options);
        case ServerCommand::kReport:
            return PrintReport(options);
        case ServerCommand::kServe:
            break;
        }
        return Serve(options);
    } catch (const UsageError& error) {
        std::cerr << "kalvinor-server: " << error.what() << '\n' << kServerUsage;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "kalvinor-server: " << error.what() << std::endl;
        return 1;
    }
}
