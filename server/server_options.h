#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace lorvent::server {

class UsageError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

enum class ServerCommand {
    kServe,   // take records over TCP
    kList,    // print the records and exit
    kImport,  // bring a terminal's data file into the database
    kReport,  // print a day's or a month's report
    kHolders, // import, list or remove card holders
    kUsers,   // add, list or remove the report page's users
};

enum class HoldersAction { kImport, kList, kRemove };
enum class UsersAction { kAdd, kList, kRemove };

struct ServerOptions {
    ServerCommand command = ServerCommand::kServe;
    std::uint16_t port = 11000;                          // 0: any free port
    std::string bindAddress = "127.0.0.1";               // an address literal, not a name
    std::string databasePath = "kalvinor-server.sqlite"; // SQLite path or postgresql:// URI
    std::optional<std::uint16_t> webPort;                // the report page, when asked for
    std::string webBindAddress = "127.0.0.1";
    std::string webCertificate; // the page over HTTPS: PEM certificate and key files
    std::string webKey;
    std::string terminalsFile; // serve: only these terminals may upload; empty: any
    std::string terminal;      // import: whose data file
    std::string importFile;    // import: the data file
    std::string day;           // report: yyyy-mm-dd
    std::string month;         // report: yyyy-mm, instead of a day
    std::string person;        // report --month: one person's personal number
    bool csv = false;          // report: as CSV
    HoldersAction holdersAction = HoldersAction::kList;
    std::string holdersArgument; // holders import: the file; holders remove: the card
    UsersAction usersAction = UsersAction::kList;
    std::string userName; // users add and users remove
    bool help = false;
};

// Reads the arguments after the program name. Throws UsageError.
ServerOptions ParseServerOptions(const std::vector<std::string>& arguments);

// "yyyy-mm-dd" naming a real day.
bool IsDay(const std::string& text);
// "yyyy-mm" naming a real month.
bool IsMonth(const std::string& text);

extern const char* const kServerUsage;

} // namespace lorvent::server
