#include "server/server_options.h"

#include <gtest/gtest.h>

namespace lorvent::server {
namespace {

using Arguments = std::vector<std::string>;

TEST(ServerOptionsTest, DefaultsListenOnLoopbackPort11000) {
    const ServerOptions options = ParseServerOptions({});
    EXPECT_EQ(options.port, 11000);
    EXPECT_EQ(options.bindAddress, "127.0.0.1");
    EXPECT_EQ(options.databasePath, "kalvinor-server.sqlite");
    EXPECT_EQ(options.command, ServerCommand::kServe);
}

TEST(ServerOptionsTest, ReadsEveryOption) {
    const ServerOptions options =
        ParseServerOptions({"--port", "0", "--bind", "::1", "--db", "/tmp/x.sqlite", "--list"});
    EXPECT_EQ(options.port, 0);
    EXPECT_EQ(options.bindAddress, "::1");
    EXPECT_EQ(options.databasePath, "/tmp/x.sqlite");
    EXPECT_EQ(options.command, ServerCommand::kList);
    EXPECT_EQ(ParseServerOptions({"--port", "65535"}).port, 65535);
}

TEST(ServerOptionsTest, ReadsTheWebPageImportAndReportCommands) {
    const ServerOptions serve = ParseServerOptions(
        {"--db", "postgresql://kal@db/att", "--web-port", "8080", "--web-bind", "0.0.0.0"});
    EXPECT_EQ(serve.command, ServerCommand::kServe);
    EXPECT_EQ(serve.databasePath, "postgresql://kal@db/att");
    EXPECT_EQ(serve.webPort, 8080);
    EXPECT_EQ(serve.webBindAddress, "0.0.0.0");
    EXPECT_FALSE(ParseServerOptions({}).webPort) << "no page unless asked for";

    const ServerOptions import =
        ParseServerOptions({"import", "--from-terminal", "door-1", "/mnt/kalvinor.db"});
    EXPECT_EQ(import.command, ServerCommand::kImport);
    EXPECT_EQ(import.terminal, "door-1");
    EXPECT_EQ(import.importFile, "/mnt/kalvinor.db");

    const ServerOptions report = ParseServerOptions({"report", "--csv", "--day", "2028-02-29"});
    EXPECT_EQ(report.command, ServerCommand::kReport);
    EXPECT_EQ(report.day, "2028-02-29");
    EXPECT_TRUE(report.csv);

    const ServerOptions month =
        ParseServerOptions({"report", "--month", "2026-12", "--person", "0042"});
    EXPECT_EQ(month.month, "2026-12");
    EXPECT_EQ(month.person, "0042");
    const ServerOptions remove = ParseServerOptions({"holders", "remove", "012AFF007B"});
    EXPECT_EQ(remove.command, ServerCommand::kHolders);
    EXPECT_EQ(remove.holdersAction, HoldersAction::kRemove);
    EXPECT_EQ(remove.holdersArgument, "012aff007b") << "as the terminals send it";

    const ServerOptions addUser = ParseServerOptions({"users", "add", "anna.k@office"});
    EXPECT_EQ(addUser.command, ServerCommand::kUsers);
    EXPECT_EQ(addUser.usersAction, UsersAction::kAdd);
    EXPECT_EQ(addUser.userName, "anna.k@office");
}

TEST(ServerOptionsTest, RefusesWhatItCannotUse) {
    const Arguments refused[] = {
        {"--port", "65536"},
        {"--port", "-1"},
        {"--port", ""},
        {"--port", "11000x"},
        {"--port"},
        {"--bind", "localhost"},
        {"--bind", "1.2.3"},
        {"--db", ""},
        {"--db"},
        {"--verbose"},
        {"11000"},
        {"--web-port", "http"},
        {"--csv"},
        {"--day", "2026-12-07"},
        {"import", "FILE"},
        {"import", "--from-terminal", "door-1"},
        {"import", "--from-terminal", "door 1", "FILE"},
        {"import", "--from-terminal", "", "FILE"},
        {"import", "--from-terminal", "door-1", "FILE", "SECOND"},
        {"import", "--from-terminal", "door-1", "--port", "1", "FILE"},
        {"report"},
        {"report", "--day", "2026-02-29"},
        {"report", "--day", "07/12/2026"},
        {"report", "--day", "2026-12-07", "--web-port", "1"},
        {"report", "--day", "2026-12-07", "--month", "2026-12"},
        {"report", "--day", "2026-12-07", "--person", "0042"},
        {"report", "--month", "2026-13"},
        {"report", "--month", "2026-1"},
        {"holders"},
        {"holders", "add", "FILE"},
        {"holders", "import"},
        {"holders", "remove", "12aff07"},
        {"holders", "list", "EXTRA"},
        {"users"},
        {"users", "add"},
        {"users", "add", "anna novak"},
        {"users", "add", "anna", "bob"},
        {"users", "remove", "<b>"},
        {"users", "list", "--web-port", "1"},
    };
    for (const Arguments& arguments : refused)
        EXPECT_THROW(ParseServerOptions(arguments), UsageError) << arguments.front();
}

} // namespace
} // namespace lorvent::server
