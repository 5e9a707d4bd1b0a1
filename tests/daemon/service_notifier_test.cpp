// The notification protocol of the service manager, spoken to a datagram
// socket of the test's own.
#include "app/daemon/service_notifier.h"
#include "support/notify_socket.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace lorvent::testing {
namespace {

using namespace std::chrono_literals;

struct TAddressCase {
    const char* name;
    bool abstract;
};

class NotifierAddress : public ::testing::TestWithParam<TAddressCase> {};

// Each message is one datagram, as sent, whichever kind of address the
// manager gives.
TEST_P(NotifierAddress, EachMessageArrivesAsOneDatagram) {
    TTempDir dir;
    const std::string address = GetParam().abstract ? "@lorvent-test-" + std::to_string(getpid())
                                                    : dir.File("notify").string();
    TNotifySocket manager(address);
    ASSERT_TRUE(manager.Bound());
    TServiceNotifier notifier(address, std::nullopt);
    ASSERT_TRUE(notifier.Connected());

    notifier.Status("Inicializace");
    notifier.Ready();
    notifier.Status("Nekomunikuje\nsecond line\r\n");
    notifier.Watchdog();
    notifier.Stopping();
    const std::vector<std::string> expected = {"STATUS=Inicializace", "READY=1",
                                               "STATUS=Nekomunikuje", "WATCHDOG=1", "STOPPING=1"};
    for (const auto& text : expected)
        EXPECT_EQ(manager.Receive(2s), text);
    EXPECT_EQ(manager.Receive(100ms), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Kinds, NotifierAddress,
                         ::testing::Values(TAddressCase{"Path", false},
                                           TAddressCase{"Abstract", true}),
                         [](const auto& param) { return std::string(param.param.name); });

// A manager that does not read in time loses messages; the sender never
// waits for it, as its event loop would then stop.
TEST(ServiceNotifier, AManagerThatFallsBehindLosesMessagesInsteadOfStoppingTheSender) {
    TTempDir dir;
    TNotifySocket manager(dir.File("notify").string());
    TServiceNotifier notifier(manager.Address(), std::nullopt);
    int sent = 0;
    for (int i = 0; i < 2000; ++i)
        sent += notifier.Send("WATCHDOG=1") ? 1 : 0;
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, 2000) << "the manager's queue took them all: nothing was tested";
    manager.Collect(200ms);
    EXPECT_EQ(manager.Texts().size(), static_cast<std::size_t>(sent));
    EXPECT_TRUE(notifier.Send("READY=1")) << "once it has read, messages arrive again";
    EXPECT_EQ(manager.Receive(2s), "READY=1");
}

// Without a usable address (run by hand, or a kind of socket it does not
// speak) nothing is sent and nothing fails.
TEST(ServiceNotifier, WithoutAUsableAddressEverythingIsDropped) {
    TTempDir dir;
    const std::optional<std::string> addresses[] = {std::nullopt,
                                                    "",
                                                    "relative/notify",
                                                    "vsock:2:1234",
                                                    "/" + std::string(200, 'x'),
                                                    dir.File("nobody-listens").string()};
    for (const auto& address : addresses) {
        SCOPED_TRACE(address.value_or("(unset)"));
        TScopedEnv env("NOTIFY_SOCKET", address);
        TScopedEnv watchdog("WATCHDOG_USEC", "1000000");
        const auto notifier = TServiceNotifier::FromEnvironment();
        EXPECT_FALSE(notifier->Send("READY=1"));
        if (!notifier->Connected()) {
            EXPECT_EQ(notifier->WatchdogInterval(), std::nullopt);
        }
    }
}

// The watchdog is the manager's to ask for: half its time-out, and only for
// the process it names.
TEST(ServiceNotifier, WatchdogIntervalIsHalfTheManagersTimeOutForThisProcessOnly) {
    TTempDir dir;
    TNotifySocket manager(dir.File("notify").string());
    TScopedEnv env("NOTIFY_SOCKET", manager.Address());
    struct Case {
        std::optional<std::string> usec;
        std::optional<std::string> pid;
        std::optional<std::chrono::microseconds> interval;
    };
    const std::string self = std::to_string(getpid());
    const Case cases[] = {
        {"3000000", std::nullopt, 1500ms},
        {"3000000", self, 1500ms},
        {"1", std::nullopt, 1us},
        {"3000000", std::to_string(getpid() + 1), std::nullopt},
        {"3000000", "", std::nullopt},
        {std::nullopt, self, std::nullopt},
        {"", std::nullopt, std::nullopt},
        {"0", std::nullopt, std::nullopt},
        {"-5", std::nullopt, std::nullopt},
        {"12x", std::nullopt, std::nullopt},
        {"99999999999999999999999", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.usec.value_or("(unset)") + " for " + c.pid.value_or("(any)"));
        TScopedEnv usec("WATCHDOG_USEC", c.usec);
        TScopedEnv pid("WATCHDOG_PID", c.pid);
        const auto notifier = TServiceNotifier::FromEnvironment();
        EXPECT_TRUE(notifier->Connected());
        EXPECT_EQ(notifier->WatchdogInterval(), c.interval);
    }
}

} // namespace
} // namespace lorvent::testing
