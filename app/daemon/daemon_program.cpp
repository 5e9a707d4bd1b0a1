#include "daemon_program.h"

#include "app/attendance/data_path.h"
#include "app/main_frm.h"
#include "journal_view.h"
#include "loop_services.h"
#include "service_notifier.h"

#include <asio/signal_set.hpp>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>

namespace lorvent {

namespace {

// WATCHDOG=1 at the interval the manager asked for, sent from the loop
// itself, so that a loop that stops turning is noticed and restarted.
class TWatchdogPulse {
public:
    TWatchdogPulse(asio::io_context& loop, TServiceNotifier& notifier)
        : notifier_(notifier), timer_(loop, [this] { notifier_.Watchdog(); }) {}

    void Start() {
        if (const auto interval = notifier_.WatchdogInterval()) {
            notifier_.Watchdog();
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*interval);
            timer_.Start(static_cast<int>(std::min<std::int64_t>(ms.count(), INT32_MAX)));
        }
    }

private:
    TServiceNotifier& notifier_;
    TLoopTimer timer_;
};

} // namespace

std::string DaemonStateDirectory() {
    const char* state = std::getenv("STATE_DIRECTORY");
    if (state == nullptr || state[0] != '/')
        return {};
    // The manager lists one directory per StateDirectory= entry, colon-separated.
    const std::string directories(state);
    return directories.substr(0, directories.find(':'));
}

std::string DaemonDataFileName() {
    const std::string state = DaemonStateDirectory();
    return state.empty() ? DefaultDataFileName() : state + "/kalvinor.db";
}

int RunDaemon(const std::vector<std::string>& arguments, TProgramPlatform& platform,
              TServiceNotifier& notifier, std::ostream& journal) {
    asio::io_context loop;
    // Set up before start-up, so that a signal that comes during it is kept
    // for the loop rather than ending the process at once.
    asio::signal_set quitSignals(loop, SIGTERM, SIGINT, SIGHUP);
    TMainFrm* form = nullptr;
    TLoopTimer logTimer(loop, [&form] {
        if (form != nullptr)
            form->LogTimerTimer();
    });
    TLoopTimer blickTimer(loop, [&form] {
        if (form != nullptr)
            form->BlickTimerTimer();
    });
    TLoopPoster poster(loop, [&form](int message) {
        if (form != nullptr)
            form->Dispatch(message);
    });
    TJournalView view(journal, notifier, logTimer, blickTimer);
    // A start-up failure's box is its journal line; nothing else repeats it.
    TJournalBoxes boxes(journal, notifier);
    std::ostream nowhere(nullptr);
    TWatchdogPulse watchdog(loop, notifier);

    const auto run = [&] {
        quitSignals.async_wait([&](const asio::error_code& error, int number) {
            if (error)
                return;
            JournalLine(journal, kJournalInfo,
                        "signal " + std::to_string(number) + ", shutting down");
            notifier.Stopping();
            loop.stop();
        });
        notifier.Ready();
        watchdog.Start();
        loop.run();
        return 0;
    };
    return RunMainFrm(
        {view, poster, boxes, [&form](TMainFrm* attached) { form = attached; }, run, &nowhere},
        arguments, platform);
}

} // namespace lorvent
