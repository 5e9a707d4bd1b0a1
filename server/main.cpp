// kalvinor-server: the reference attendance server. Takes attendance records
// over TCP, keeps them in SQLite or PostgreSQL and confirms each one once it
// is committed; imports terminals' data files, keeps who holds which card,
// reports a day's or a month's presence, and serves them as a web page
// behind a login.
#include "server/attendance_server.h"
#include "server/card_holders.h"
#include "server/data_file_import.h"
#include "server/day_report.h"
#include "server/output_pump.h"
#include "server/password_prompt.h"
#include "server/presence_report.h"
#include "server/record_store_factory.h"
#include "server/report_site.h"
#include "server/report_web_server.h"
#include "server/server_options.h"
#include "server/tls_transport.h"
#include "server/web_crypto.h"

#include <unistd.h>

#include <csignal>
#include <fstream>
#include <iostream>
#include <iterator>
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

int PrintMonth(const ServerOptions& options, Database& database) {
    const auto [first, last] = DaysOfMonth(options.month);
    const Presence presence =
        LoadPresence(*database.records, *database.holders, first, last, options.person);
    std::cout << (options.csv ? MonthPresenceCsv(presence) : MonthPresenceText(presence))
              << std::flush;
    return 0;
}

// The day's CSV stays the cards' and terminals' tallies that scripts read.
int PrintReport(const ServerOptions& options) {
    Database database = OpenDatabase(options.databasePath, RecordStore::Access::kReadOnly);
    if (!options.month.empty())
        return PrintMonth(options, database);
    const DayReport report = BuildDayReport(*database.records, options.day);
    if (options.csv) {
        std::cout << ReportCsv(report) << std::flush;
        return 0;
    }
    const Presence presence =
        LoadPresence(*database.records, *database.holders, options.day, options.day);
    std::cout << DayPresenceText(presence, report.terminals) << std::flush;
    return 0;
}

std::vector<HolderLine> ReadHoldersFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw HolderError("cannot open '" + path + "'");
    const std::string content(std::istreambuf_iterator<char>(file), {});
    if (file.bad())
        throw HolderError("cannot read '" + path + "'");
    try {
        std::vector<HolderLine> lines = ParseHoldersFile(content);
        if (lines.empty())
            throw HolderError("no card holders in it");
        return lines;
    } catch (const HolderError& error) {
        throw HolderError(path + ": " + error.what() + "; nothing was stored");
    }
}

int ImportHolders(const ServerOptions& options) {
    const std::vector<HolderLine> lines = ReadHoldersFile(options.holdersArgument);
    Database database = OpenDatabase(options.databasePath, RecordStore::Access::kReadWrite);
    try {
        database.holders->ChangeHolders([&](const std::vector<CardHolder>& held) {
            return AssignmentsToImport(held, lines, LocalToday());
        });
    } catch (const HolderError& error) {
        throw HolderError(options.holdersArgument + ": " + error.what() + "; nothing was stored");
    }
    std::cout << "stored " << lines.size() << " card holders from " << options.holdersArgument
              << '\n';
    return 0;
}

int ManageHolders(const ServerOptions& options) {
    switch (options.holdersAction) {
    case HoldersAction::kImport:
        return ImportHolders(options);
    case HoldersAction::kList: {
        Database database = OpenDatabase(options.databasePath, RecordStore::Access::kReadOnly);
        std::cout << HoldersText(database.holders->Holders()) << std::flush;
        return 0;
    }
    case HoldersAction::kRemove: {
        Database database = OpenDatabase(options.databasePath, RecordStore::Access::kReadWrite);
        const std::string today = LocalToday();
        database.holders->ChangeHolders([&](const std::vector<CardHolder>& held) {
            return std::vector{AssignmentToRemove(held, options.holdersArgument, today)};
        });
        std::cout << "card " << options.holdersArgument << " is nobody's from " << today
                  << " on; earlier days keep their holder\n";
        return 0;
    }
    }
    return 2;
}

int ManageUsers(const ServerOptions& options) {
    switch (options.usersAction) {
    case UsersAction::kAdd: {
        // The password first: a database that cannot be opened fails after
        // it, but a refused password never opens one.
        const std::string hash = HashPassword(ReadNewPassword(options.userName));
        Database database = OpenDatabase(options.databasePath, RecordStore::Access::kReadWrite);
        const bool added = database.users->PutUser(options.userName, hash);
        std::cout << (added ? "added user " : "changed the password of user ") << options.userName
                  << '\n';
        return 0;
    }
    case UsersAction::kList: {
        Database database = OpenDatabase(options.databasePath, RecordStore::Access::kReadOnly);
        for (const std::string& name : database.users->UserNames())
            std::cout << name << '\n';
        std::cout.flush();
        return 0;
    }
    case UsersAction::kRemove: {
        Database database = OpenDatabase(options.databasePath, RecordStore::Access::kReadWrite);
        if (!database.users->RemoveUser(options.userName)) {
            std::cerr << "kalvinor-server: there is no user " << options.userName << '\n';
            return 1;
        }
        std::cout << "removed user " << options.userName << '\n';
        return 0;
    }
    }
    return 2;
}

// The report page on a thread and a database connection of its own. Refuses
// to start (throws) where it would be open to other machines.
class WebPage {
public:
    WebPage(const ServerOptions& options, LineSink& log)
        : endpoint_(asio::ip::make_address(options.webBindAddress), *options.webPort),
          access_{!options.webCertificate.empty(), endpoint_.address().is_loopback()},
          database_(OpenDatabase(options.databasePath, RecordStore::Access::kReadOnly)),
          tls_(LoadTls(options)), site_(CheckedSite(log)),
          server_(io_, endpoint_, site_, log, tls_ ? &*tls_ : nullptr),
          thread_([this] { io_.run(); }) {}
    ~WebPage() {
        io_.stop();
        thread_.join();
    }
    std::string Url() const {
        std::ostringstream url;
        url << (access_.tls ? "https://" : "http://") << server_.LocalEndpoint() << "/";
        return url.str();
    }
    bool LoginNeeded() const { return !access_.loopback || users_ > 0; }

private:
    static std::optional<asio::ssl::context> LoadTls(const ServerOptions& options) {
        if (options.webCertificate.empty())
            return std::nullopt;
        return LoadTlsContext(options.webCertificate, options.webKey);
    }

    ReportSite CheckedSite(LineSink& log) {
        users_ = database_.users->UserNames().size();
        const std::string problem =
            ExposureProblem(endpoint_.address().to_string(), access_, users_);
        if (!problem.empty())
            throw std::runtime_error(problem);
        return ReportSite(database_, access_, log, LocalToday);
    }

    asio::ip::tcp::endpoint endpoint_;
    SiteAccess access_;
    Database database_;
    std::size_t users_ = 0;
    // Before the io_context: the TLS streams its handlers hold use it.
    std::optional<asio::ssl::context> tls_;
    ReportSite site_;
    asio::io_context io_;
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
    if (web)
        log.Write("kalvinor-server: report page on " + web->Url() +
                  (web->LoginNeeded() ? ", behind a login" : ", without a login (no users)"));
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
        case ServerCommand::kHolders:
            return ManageHolders(options);
        case ServerCommand::kUsers:
            return ManageUsers(options);
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
