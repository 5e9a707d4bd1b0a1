// lorvent-reader-sim: a simulated card reader on a pseudo-terminal.

#include "sim/cli/sim_runner.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

using lorvent::sim::script::CommandHelp;
using lorvent::sim::cli::TRunnerOptions;
using lorvent::sim::cli::TSimRunner;

volatile std::sig_atomic_t gStop = 0;

void OnStopSignal(int) {
    gStop = 1;
}

const char* const kUsage =
    "Usage: lorvent-reader-sim [options]\n"
    "Serves a simulated card reader on a new pseudo-terminal and prints\n"
    "LORVENT_SERIAL=<path> for the program under test. Commands come from the\n"
    "script, then from standard input; the end of standard input stops reading\n"
    "commands, not the simulator.\n"
    "Options:\n"
    "  --link PATH        keep a symbolic link at PATH to the current pty\n"
    "                     (re-pointed when an unplug ends); print PATH\n"
    "  --script FILE      run the commands in FILE first\n"
    "  --no-pace          write replies at once instead of at 9600 baud\n"
    "  --show-polls       print every poll instead of counting them\n"
    "  --identifier HEX   the reader's identifier (default 00000001)\n"
    "  --address N        start at bus address N (1..126) instead of waiting for one\n"
    "  --seed N           seed for noise, corruption and random card numbers\n"
    "  --no-stdin         take no commands from standard input\n"
    "  --quit-on-eof      end when standard input and the script are done\n"
    "  --help             this text and the commands\n";

[[noreturn]] void BadUsage(const std::string& message) {
    std::cerr << "lorvent-reader-sim: " << message << "\nTry lorvent-reader-sim --help\n";
    std::exit(2);
}

unsigned long ParseNumber(const std::string& option, const std::string& text, int base,
                          unsigned long most) {
    std::size_t used = 0;
    unsigned long value = 0;
    try {
        value = std::stoul(text, &used, base);
    } catch (const std::exception&) {
        used = 0;
    }
    if (text.empty() || text[0] == '-' || used != text.size() || value > most)
        BadUsage(option + " does not take '" + text + "'");
    return value;
}

TRunnerOptions ParseOptions(int argc, char** argv) {
    TRunnerOptions options;
    options.cardSeed = static_cast<std::uint32_t>(std::time(nullptr));
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                BadUsage(option + " needs a value");
            return argv[++i];
        };
        if (option == "--link") {
            options.linkPath = value();
        } else if (option == "--script") {
            options.scriptPath = value();
        } else if (option == "--no-pace") {
            options.paced = false;
        } else if (option == "--show-polls") {
            options.showPolls = true;
        } else if (option == "--identifier") {
            std::string hex = value();
            if (hex.rfind("0x", 0) == 0 || hex.rfind("0X", 0) == 0)
                hex = hex.substr(2);
            options.reader.identifier =
                static_cast<std::uint32_t>(ParseNumber(option, hex, 16, 0xFFFFFFFFul));
        } else if (option == "--address") {
            const auto address = ParseNumber(option, value(), 10, 126);
            if (address < 1)
                BadUsage("--address takes 1 to 126");
            options.reader.address = static_cast<int>(address);
        } else if (option == "--seed") {
            const auto seed =
                static_cast<std::uint32_t>(ParseNumber(option, value(), 10, 0xFFFFFFFFul));
            options.reader.seed = seed;
            options.cardSeed = seed;
        } else if (option == "--no-stdin") {
            options.readStdin = false;
        } else if (option == "--quit-on-eof") {
            options.quitOnEof = true;
        } else if (option == "--help") {
            std::cout << kUsage << "\n" << CommandHelp();
            std::exit(0);
        } else {
            BadUsage("unknown option '" + option + "'");
        }
    }
    return options;
}

} // namespace

int main(int argc, char** argv) {
    const TRunnerOptions options = ParseOptions(argc, argv);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    TSimRunner runner(options, std::cout, std::cerr);
    return runner.Run(&gStop);
}
