#include "server/server_options.h"

#include "server/holders_file.h"
#include "server/user_store.h"

#include <asio/ip/address.hpp>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <functional>
#include <map>
#include <optional>

namespace lorvent::server {

const char* const kServerUsage =
    "usage: kalvinor-server [--port N] [--bind ADDRESS] [--db DATABASE]\n"
    "                       [--web-port N [--web-bind ADDRESS] [--web-cert FILE --web-key FILE]]\n"
    "                       [--terminals FILE]\n"
    "       kalvinor-server --list [--db DATABASE]\n"
    "       kalvinor-server import --from-terminal NAME [--db DATABASE] FILE\n"
    "       kalvinor-server report --day YYYY-MM-DD [--csv] [--db DATABASE]\n"
    "       kalvinor-server report --month YYYY-MM [--person NUMBER] [--csv] [--db DATABASE]\n"
    "       kalvinor-server holders import FILE.csv | list | remove CARD [--db DATABASE]\n"
    "       kalvinor-server users add NAME | list | remove NAME [--db DATABASE]\n"
    "  --port N          TCP port to take records on (default 11000; 0 picks a free one)\n"
    "  --bind ADDRESS    IP address to take records on (default 127.0.0.1)\n"
    "  --db DATABASE     an SQLite file (default kalvinor-server.sqlite), or a PostgreSQL\n"
    "                    connection URI: postgresql://[user[:password]@][host][:port]/dbname\n"
    "  --web-port N      also serve the read-only report page (the day, the month's\n"
    "                    sheets, their CSV; Czech, or English by a link) on port N\n"
    "  --web-bind ADDRESS  IP address of the web page (default 127.0.0.1); any but\n"
    "                    loopback needs --web-cert, --web-key and a user\n"
    "  --web-cert FILE   serve the page over HTTPS with this PEM certificate (chain)\n"
    "  --web-key FILE    and this PEM private key (without a passphrase)\n"
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
    "  report --day      each person's arrival, departure, hours and terminals, the\n"
    "                    unknown cards apart, and each terminal's reads; --csv: each\n"
    "                    card's and terminal's first and last read and number of reads.\n"
    "                    A card read twice in one minute at one terminal counts once\n"
    "  report --month    each person's days and the month's days present and hours\n"
    "                    (--person: one person by personal number); --csv: for a Czech\n"
    "                    spreadsheet (UTF-8 with BOM, ';', decimal comma)\n"
    "  holders import    card holders from a CSV file: card;name;personal number;\n"
    "                    department[;from day], all or nothing\n"
    "  holders list      every card's holders and the days they start\n"
    "  holders remove    the card is nobody's from today; earlier days keep the holder\n"
    "  users add         a user of the report page, or a new password for one: asked\n"
    "                    for twice on a terminal, else the first line of standard input;\n"
    "                    once there is a user, the page asks for a login on loopback too\n"
    "  users list        the users' names\n"
    "  users remove      the user can no longer log in; its sessions end\n"
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

std::string CheckMonth(const std::string& text) {
    if (!IsMonth(text))
        throw UsageError("--month needs a month as YYYY-MM, not '" + text + "'");
    return text;
}

std::string CheckPerson(const std::string& text) {
    if (text.empty())
        throw UsageError("--person needs a personal number");
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
        {"--web-cert",
         [](ServerOptions& o, const std::string& v) {
             if (v.empty())
                 throw UsageError("--web-cert needs a file");
             o.webCertificate = v;
         }},
        {"--web-key",
         [](ServerOptions& o, const std::string& v) {
             if (v.empty())
                 throw UsageError("--web-key needs a file");
             o.webKey = v;
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
        {"--month", [](ServerOptions& o, const std::string& v) { o.month = CheckMonth(v); }},
        {"--person", [](ServerOptions& o, const std::string& v) { o.person = CheckPerson(v); }},
    };
    return options;
}

// Which options each command takes besides --db.
bool Allowed(ServerCommand command, const std::string& name) {
    static const std::map<ServerCommand, std::vector<std::string>> allowed = {
        {ServerCommand::kServe,
         {"--port", "--bind", "--web-port", "--web-bind", "--web-cert", "--web-key",
          "--terminals"}},
        // --list has always let the serving options stand beside it, unused.
        {ServerCommand::kList, {"--port", "--bind", "--web-port", "--web-bind"}},
        {ServerCommand::kImport, {"--from-terminal"}},
        {ServerCommand::kReport, {"--day", "--month", "--person", "--csv"}},
        {ServerCommand::kHolders, {}},
        {ServerCommand::kUsers, {}},
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
    if (options.command == ServerCommand::kReport) {
        if (options.day.empty() == options.month.empty())
            throw UsageError("report needs either --day YYYY-MM-DD or --month YYYY-MM");
        if (!options.person.empty() && options.month.empty())
            throw UsageError("--person goes with --month");
    }
    if (options.webCertificate.empty() != options.webKey.empty())
        throw UsageError("--web-cert and --web-key go together");
    if (!options.webCertificate.empty() && !options.webPort)
        throw UsageError("--web-cert and --web-key go with --web-port");
    if (options.command == ServerCommand::kUsers && options.usersAction != UsersAction::kList &&
        options.userName.empty())
        throw UsageError(options.usersAction == UsersAction::kAdd ? "users add needs a NAME"
                                                                  : "users remove needs a NAME");
    if (options.command == ServerCommand::kHolders &&
        options.holdersAction != HoldersAction::kList && options.holdersArgument.empty())
        throw UsageError(options.holdersAction == HoldersAction::kImport
                             ? "holders import needs a FILE"
                             : "holders remove needs a CARD");
}

// "holders import FILE", "holders list" or "holders remove CARD".
HoldersAction ParseHoldersAction(const std::vector<std::string>& arguments) {
    static const std::map<std::string, HoldersAction> actions = {
        {"import", HoldersAction::kImport},
        {"list", HoldersAction::kList},
        {"remove", HoldersAction::kRemove}};
    const auto action = arguments.size() > 1 ? actions.find(arguments[1]) : actions.end();
    if (action == actions.end())
        throw UsageError("holders needs import FILE, list or remove CARD");
    return action->second;
}

// "users add NAME", "users list" or "users remove NAME".
UsersAction ParseUsersAction(const std::vector<std::string>& arguments) {
    static const std::map<std::string, UsersAction> actions = {
        {"add", UsersAction::kAdd}, {"list", UsersAction::kList}, {"remove", UsersAction::kRemove}};
    const auto action = arguments.size() > 1 ? actions.find(arguments[1]) : actions.end();
    if (action == actions.end())
        throw UsageError("users needs add NAME, list or remove NAME");
    return action->second;
}

bool TakeUserName(ServerOptions& options, const std::string& text) {
    if (options.usersAction == UsersAction::kList || !options.userName.empty())
        return false;
    if (!IsUserName(text))
        throw UsageError("a user's name is 1 to 64 letters, digits or . _ - @, not '" + text + "'");
    options.userName = text;
    return true;
}

// The FILE of import, the FILE of holders import, the CARD of holders
// remove or the NAME of users add and remove; false when the command takes
// no such argument or has it already.
bool TakeOperand(ServerOptions& options, const std::string& text) {
    if (text.starts_with("-"))
        return false;
    if (options.command == ServerCommand::kUsers)
        return TakeUserName(options, text);
    if (options.command == ServerCommand::kImport && options.importFile.empty()) {
        options.importFile = text;
        return true;
    }
    if (options.command != ServerCommand::kHolders ||
        options.holdersAction == HoldersAction::kList || !options.holdersArgument.empty())
        return false;
    if (options.holdersAction == HoldersAction::kRemove) {
        const std::optional<std::string> card = NormalizedCard(text);
        if (!card)
            throw UsageError("holders remove needs a card number of 8 or 10 hex digits, not '" +
                             text + "'");
        options.holdersArgument = *card;
    } else {
        options.holdersArgument = text;
    }
    return true;
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

bool IsMonth(const std::string& text) {
    return text.size() == 7 && IsDay(text + "-01");
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
    } else if (!arguments.empty() && arguments[0] == "holders") {
        options.command = ServerCommand::kHolders;
        options.holdersAction = ParseHoldersAction(arguments);
        i += 2;
    } else if (!arguments.empty() && arguments[0] == "users") {
        options.command = ServerCommand::kUsers;
        options.usersAction = ParseUsersAction(arguments);
        i += 2;
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
        } else if (!TakeOperand(options, name)) {
            throw UsageError("unknown option '" + name + "'");
        }
    }
    if (!options.help)
        CheckComplete(options, given);
    return options;
}

} // namespace lorvent::server
