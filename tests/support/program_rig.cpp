#include "support/program_rig.h"

#include <sys/utsname.h>

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace lorvent::testing {
namespace {

std::string EnvOr(const char* name, const std::string& otherwise) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : otherwise;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

} // namespace

const TPrograms& Programs() {
    static const TPrograms programs{LORVENT_PROGRAM, LORVENT_DAEMON, LORVENT_READER_SIM,
                                    LORVENT_KEY_WINDOW, KALVINOR_SERVER};
    return programs;
}

TTypedLine ReadTypedLine(TChildProcess& keyWindow, std::chrono::milliseconds patience) {
    TTypedLine typed;
    const auto end = keyWindow.WaitForLine(
        [&](const std::string& text) {
            if (StartsWith(text, "key "))
                typed.keys.push_back(text.substr(4));
            return StartsWith(text, "line ");
        },
        patience);
    if (end)
        typed.line = end->substr(5);
    return typed;
}

bool TProgramRig::StartX(const std::vector<std::string>& extraArguments) {
    x = std::make_unique<TXvfb>(extraArguments);
    return !x->Display().empty();
}

bool TProgramRig::StartKeyWindow(const std::vector<std::string>& arguments) {
    TChildProcess::TOptions options;
    options.argv = {Programs().keyWindow};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.setEnv = {{"DISPLAY", Display()}};
    options.withStdin = true;
    keyWindow = std::make_unique<TChildProcess>(options);
    return keyWindow->WaitForPrefix("ready", 20s).has_value();
}

bool TProgramRig::StartReader(const std::vector<std::string>& extraArguments) {
    TChildProcess::TOptions options;
    options.argv = {Programs().readerSim, "--link", ReaderLink()};
    options.argv.insert(options.argv.end(), extraArguments.begin(), extraArguments.end());
    options.withStdin = true;
    reader = std::make_unique<TChildProcess>(options);
    return reader->WaitForPrefix("LORVENT_SERIAL=", 20s).has_value();
}

// Its echo of every record goes nowhere: nobody reads it, and a full pipe
// would stop the server.
std::optional<std::uint16_t> TProgramRig::StartServer(const TServerStart& start) {
    TChildProcess::TOptions options;
    options.argv = {Programs().server, "--port", std::to_string(start.port), "--db",
                    start.database.empty() ? Database() : start.database};
    options.argv.insert(options.argv.end(), start.arguments.begin(), start.arguments.end());
    options.captureStdout = false;
    server = std::make_unique<TChildProcess>(options);
    return ListeningPort(*server);
}

TChildProcess& TProgramRig::StartLorvent(const TProgramStart& start) {
    lorvent = StartProgram(Programs().lorvent, start);
    return *lorvent;
}

std::unique_ptr<TChildProcess> TProgramRig::StartProgram(const std::string& program,
                                                         const TProgramStart& start) {
    TChildProcess::TOptions options;
    options.argv = {program};
    options.argv.insert(options.argv.end(), start.arguments.begin(), start.arguments.end());
    options.setEnv = {
        {"LORVENT_SERIAL", start.serial.empty() ? ReaderLink() : start.serial},
        {"XDG_DATA_HOME", File("data").string()},
        {"LSAN_OPTIONS", "suppressions=" LORVENT_LSAN_SUPPRESSIONS},
        {"TSAN_OPTIONS", EnvOr("TSAN_OPTIONS", "") + " suppressions=" LORVENT_TSAN_SUPPRESSIONS}};
    // Nothing of a service manager that runs the tests reaches the programs.
    options.unsetEnv = {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "DISPLAY",      "LORVENT_UI_TRACE",
                        "NOTIFY_SOCKET",   "WATCHDOG_USEC",   "WATCHDOG_PID", "STATE_DIRECTORY"};
    if (x)
        options.setEnv.push_back({"DISPLAY", Display()});
    if (start.trace)
        options.setEnv.push_back({"LORVENT_UI_TRACE", "/dev/stdout"});
    options.setEnv.insert(options.setEnv.end(), start.env.begin(), start.env.end());
    options.workingDirectory = Dir().string();
    return std::make_unique<TChildProcess>(options);
}

std::string TProgramRig::DataFileBytes() const {
    return FileBytes(DataFile());
}

std::string TProgramRig::Shown(const std::string& prefix, std::chrono::milliseconds patience) {
    return lorvent->WaitForPrefix(prefix, patience).value_or("(nothing: " + prefix + ")");
}

TListing TProgramRig::ListStored() {
    TChildProcess::TOptions options;
    options.argv = {Programs().server, "--list", "--db", Database()};
    TChildProcess list(options);
    TListing listing;
    listing.status = list.Wait(30s);
    listing.records = list.Lines();
    listing.errors = list.Stderr();
    return listing;
}

std::string HostName() {
    utsname names{};
    return uname(&names) == 0 ? names.nodename : "";
}

std::string ComputerJournal(const std::string& dataFile, const std::string& computer) {
    std::string safe;
    for (const char c : computer) {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')
            safe += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        else
            safe += '_';
    }
    return dataFile + "." + (safe.empty() ? "unknown" : safe) + ".journal";
}

std::optional<TShownRow> ShownRow(const std::string& traceLine) {
    const std::string prefix = "LogGrid 1 ";
    if (traceLine.rfind(prefix, 0) != 0)
        return std::nullopt;
    std::istringstream words(traceLine.substr(prefix.size()));
    TShownRow shown;
    words >> shown.row >> shown.number;
    return shown;
}

} // namespace lorvent::testing
