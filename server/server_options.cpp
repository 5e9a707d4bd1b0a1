#include "server/server_options.h"

#include <asio/ip/address.hpp>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <functional>
#include <map>

namespace lorvent::server {

const char* const kServerUsage =
    "usage: kalvinor-server [--port N] [--bind ADDRESS] [--db DATABASE]\n"
    "                       [--web-port N [--web-bind ADDRESS]] [--terminals FILE]\n"
    "       kalvinor-server --list [--db DATABASE]\n"
    "       kalvinor-server import --from-terminal NAME [--db DATABASE] FILE\n"
    "       kalvinor-server report --day YYYY-MM-DD [--csv] [--db DATABASE]\n"
    "  --port N          TCP port to take records on (default 11000; 0 picks a free one)\n"
    "  --bind ADDRESS    IP address to take records on (default 127.0.0.1)\n"
    "  --db DATABASE     an SQLite file (default kalvinor-server.sqlite), or a PostgreSQL\n"
    "                    connection URI: postgresql://[user[:password]@][host][:port]/dbname\n"
    "  --web-port N      also serve the read-only day report as a web page on port N\n"
    "  --web-bind ADDRESS  IP address of the web page (default 127.0.0.1)\n"
    "  --terminals FILE  take records only from these terminals: an address or a network\n"
    "                    (10.1.0.0/16, fd00::/64) a line, # comments; any other gets\n"
    "                    \"ERR terminal not allowed\" and keeps its records\n"
    "  --list            print the stored records in the order taken and exit:\n"
    "                    received-at (UTC) terminal read-time number\n"
    "  import            add the records of a terminal's data file, skipping the lines\n"
    "                    imported from NAME before and reporting malformed ones.\n"
    "                    A record the database holds already from the same terminal\n"
    "                    (same read time and number) is skipped and counted; a\n"
    "                    terminal's uploads are known by its address (as --list shows\n"
    "                    it), so name the terminal by that address to have the file's\n"
    "                    records that were uploaded too recognised\n"
    "  report            each card's first and last read and number of reads on the\n"
    "                    day, and each terminal's (--csv: as CSV); a card read twice\n"
    "                    in one minute at one terminal counts once\n"
    "Stored records are echoed to standard output; the log goes to standard error.\n";

namespace {

std::uint16_t ParsePort(const std::string& name, const std::string& text) {
    unsigned value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value > 65535)
        throw UsageError(name + " needs a number from 0 to 65535, not '" + text + "'");
    return static_cast<std::uint16_t>(value);
}

std::string CheckAddress(const std::string& name, const std::string& text) {
    asio::error_code error;
    asio::ip::make_address(text, error);
    if (error)
        throw UsageError(name + " needs an IP address, not '" + text + "'");
    return text;
}

// A terminal's name goes into the database, the report and the page: one
// word of printable characters.
std::string CheckTerminalName(const std::string& text) {
    const bool printable =
        !text.empty() && text.size() <= 64 &&
        std::all_of(text.begin(), text.end(), [](unsigned char c) { return c > ' ' && c < 0x7f; });
    if (!printable)
        throw UsageError("--from-terminal needs a name of 1 to 64 printable characters without "
                         "spaces, not '" +
                         text + "'");
    return text;
}

std::string CheckDay(const std::string& text) {
    if (!IsDay(text))
        throw UsageError("--day needs a date as YYYY-MM-DD, not '" + text + "'");
    return text;
}

using ValueSetter = std::function<void(ServerOptions&, const std::string&)>;

const std::map<std::string, ValueSetter>& ValueOptions() {
    static const std::map<std::string, ValueSetter> options = {
        {"--port", [](ServerOptions& o, const std::string& v) { o.port = ParsePort("--port", v); }},
        {"--bind",
         [](ServerOptions& o, const std::string& v) { o.bindAddress = CheckAddress("--bind", v); }},
        {"--db",
         [](ServerOptions& o, const std::string& v) {
             if (v.empty())
                 throw UsageError("--db needs a path or a postgresql:// URI");
             o.databasePath = v;
         }},
        {"--web-port",
         [](ServerOptions& o, const std::string& v) { o.webPort = ParsePort("--web-port", v); }},
        {"--web-bind",
         [](ServerOptions& o, const std::string& v) {
             o.webBindAddress = CheckAddress("--web-bind", v);
         }},
        {"--from-terminal",
         [](ServerOptions& o, const std::string& v) { o.terminal = CheckTerminalName(v); }},
        {"--terminals",
         [](ServerOptions& o, const std::string& v) {
             if (v.empty())
                 throw UsageError("--terminals needs a file");
             o.terminalsFile = v;
         }},
        {"--day", [](ServerOptions& o, const std::string& v) { o.day = CheckDay(v); }},
    };
    return options;
}

// Which options each command takes besides --db.
bool Allowed(ServerCommand command, const std::string& name) {
    static const std::map<ServerCommand, std::vector<std::string>> allowed = {
        {ServerCommand::kServe, {"--port", "--bind", "--web-port", "--web-bind", "--terminals"}},
        // --list has always let the serving options stand beside it, unused.
        {ServerCommand::kList, {"--port", "--bind", "--web-port", "--web-bind"}},
        {ServerCommand::kImport, {"--from-terminal"}},
        {ServerCommand::kReport, {"--day", "--csv"}},
    };
    const auto& names = allowed.at(command);
    return name == "--db" || std::find(names.begin(), names.end(), name) != names.end();
}

void CheckComplete(const ServerOptions& options, const std::vector<std::string>& given) {
    for (const std::string& name : given) {
        if (!Allowed(options.command, name))
            throw UsageError(name + " does not go with this command");
    }
    if (options.command == ServerCommand::kImport &&
        (options.terminal.empty() || options.importFile.empty()))
        throw UsageError("import needs --from-terminal NAME and a FILE");
    if (options.command == ServerCommand::kReport && options.day.empty())
        throw UsageError("report needs --day YYYY-MM-DD");
}

} // namespace

bool IsDay(const std::string& text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-')
        return false;
    int parts[3];
    const std::size_t starts[3] = {0, 5, 8};
    const std::size_t lengths[3] = {4, 2, 2};
    for (int i = 0; i < 3; ++i) {
        const char* begin = text.data() + starts[i];
        const auto [stop, error] = std::from_chars(begin, begin + lengths[i], parts[i]);
        if (error != std::errc() || stop != begin + lengths[i])
            return false;
    }
    using namespace std::chrono;
    return year_month_day{year{parts[0]}, month{static_cast<unsigned>(parts[1])},
                          day{static_cast<unsigned>(parts[2])}}
        .ok();
}

ServerOptions ParseServerOptions(const std::vector<std::string>& arguments) {
    ServerOptions options;
    std::vector<std::string> given;
    std::size_t i = 0;
    if (!arguments.empty() && arguments[0] == "import") {
        options.command = ServerCommand::kImport;
        ++i;
    } else if (!arguments.empty() && arguments[0] == "report") {
        options.command = ServerCommand::kReport;
        ++i;
    }
    for (; i < arguments.size(); ++i) {
        const std::string& name = arguments[i];
        if (name == "--help" || name == "-h") {
            options.help = true;
        } else if (name == "--list" && options.command == ServerCommand::kServe) {
            options.command = ServerCommand::kList;
        } else if (name == "--csv") {
            options.csv = true;
            given.push_back(name);
        } else if (const auto setter = ValueOptions().find(name); setter != ValueOptions().end()) {
            if (i + 1 == arguments.size())
                throw UsageError(name + " needs a value");
            setter->second(options, arguments[++i]);
            given.push_back(name);
        } else if (options.command == ServerCommand::kImport && !name.starts_with("-") &&
                   options.importFile.empty()) {
            options.importFile = name;
        } else {
            throw UsageError("unknown option '" + name + "'");
        }
    }
    if (!options.help)
        CheckComplete(options, given);
    return options;
}

} // namespace lorvent::server
