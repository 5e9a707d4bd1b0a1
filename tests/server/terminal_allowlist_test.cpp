#include "server/terminal_allowlist.h"

#include <gtest/gtest.h>

namespace lorvent::server {
namespace {

constexpr const char* kSiteList = "# door terminals\n"
                                  "10.1.0.0/16\n"
                                  "  192.168.5.7   # the till\r\n"
                                  "\n"
                                  "172.16.9.9/8\n" // host bits set: the network 172.0.0.0/8
                                  "fd00:1::/64\n";

TEST(TerminalAllowlistTest, AllowsTheListedAddressesAndNetworksOnly) {
    const TerminalAllowlist list = TerminalAllowlist::Parse(kSiteList);
    const struct {
        const char* address;
        bool allowed;
    } cases[] = {
        {"10.1.0.1", true},         {"10.1.255.254", true}, {"10.2.0.1", false},
        {"192.168.5.7", true},      {"192.168.5.8", false}, {"172.200.1.1", true},
        {"173.0.0.1", false},       {"fd00:1::7", true},    {"fd00:2::7", false},
        {"::ffff:10.1.3.4", true}, // an IPv4 client of a dual-stack socket
        {"::ffff:10.2.3.4", false}, {"::1", false},         {"127.0.0.1", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(list.Allows(asio::ip::make_address(c.address)), c.allowed) << c.address;
}

TEST(TerminalAllowlistTest, ABadLineIsNamedByItsNumber) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"10.0.0.1\ndoor-1\n", "line 2: 'door-1' is neither"},
        {"10.0.0.0/33\n", "line 1: '10.0.0.0/33'"},
        {"# list\n\nfd00::/129\n", "line 3:"},
        {"10.0.0.1/\n", "line 1:"},
        {"10.0.0.1 10.0.0.2\n", "line 1:"},
    };
    for (const auto& c : cases) {
        try {
            TerminalAllowlist::Parse(c.text);
            ADD_FAILURE() << "taken: " << c.text;
        } catch (const AllowlistError& error) {
            EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos) << error.what();
        }
    }
}

} // namespace
} // namespace lorvent::server
