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
    EXPECT_FALSE(options.list);
}

TEST(ServerOptionsTest, ReadsEveryOption) {
    const ServerOptions options =
        ParseServerOptions({"--port", "0", "--bind", "::1", "--db", "/tmp/x.sqlite", "--list"});
    EXPECT_EQ(options.port, 0);
    EXPECT_EQ(options.bindAddress, "::1");
    EXPECT_EQ(options.databasePath, "/tmp/x.sqlite");
    EXPECT_TRUE(options.list);
    EXPECT_EQ(ParseServerOptions({"--port", "65535"}).port, 65535);
}

TEST(ServerOptionsTest, RefusesWhatItCannotUse) {
    const Arguments refused[] = {
        {"--port", "65536"},  {"--port", "-1"}, {"--port", ""},
        {"--port", "11000x"}, {"--port"},       {"--bind", "localhost"},
        {"--bind", "1.2.3"},  {"--db", ""},     {"--db"},
        {"--verbose"},        {"11000"},
    };
    for (const Arguments& arguments : refused)
        EXPECT_THROW(ParseServerOptions(arguments), UsageError) << arguments.front();
}

} // namespace
} // namespace lorvent::server
