#include "sim/dll/script_player.h"

#include <algorithm>
#include <map>
#include <sstream>
#include <stdexcept>

namespace lorvent::sim::dll {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kEventsEvery{50}; // how soon what the reader heard is written
constexpr int kMostFailures = 1000;

[[noreturn]] void Fail(const std::string& message) {
    throw script::TCommandError(message);
}

struct TCallFailure {
    TDeviceCall call = TDeviceCall::Open;
    FT_STATUS status = FT_OK;
    int times = 1;
};

const char* const kFailUsage =
    "usage: fail open|close|read|write|baud-rate|data-characteristics|flow-control|timeouts "
    "<status 1..4294967295> [times 1..1000]";

TDeviceCall ParseCall(const std::string& word) {
    static const std::map<std::string, TDeviceCall> kCalls = {
        {"open", TDeviceCall::Open},
        {"close", TDeviceCall::Close},
        {"read", TDeviceCall::Read},
        {"write", TDeviceCall::Write},
        {"baud-rate", TDeviceCall::SetBaudRate},
        {"data-characteristics", TDeviceCall::SetDataCharacteristics},
        {"flow-control", TDeviceCall::SetFlowControl},
        {"timeouts", TDeviceCall::SetTimeouts},
    };
    const auto found = kCalls.find(word);
    if (found == kCalls.end())
        Fail(kFailUsage);
    return found->second;
}

unsigned long long ParseWhole(const std::string& word, unsigned long long least,
                              unsigned long long most) {
    if (word.empty() || word.size() > 10 ||
        word.find_first_not_of("0123456789") != std::string::npos)
        Fail(kFailUsage);
    const unsigned long long value = std::stoull(word);
    if (value < least || value > most)
        Fail(kFailUsage);
    return value;
}

TCallFailure ParseFail(const std::vector<std::string>& words) {
    if (words.size() < 3 || words.size() > 4)
        Fail(kFailUsage);
    TCallFailure command;
    command.call = ParseCall(words[1]);
    command.status = static_cast<FT_STATUS>(ParseWhole(words[2], 1, 0xFFFFFFFFull));
    if (words.size() == 4)
        command.times = static_cast<int>(ParseWhole(words[3], 1, kMostFailures));
    return command;
}

const char* CallName(TDeviceCall call) {
    switch (call) {
    case TDeviceCall::Open:
        return "FT_Open";
    case TDeviceCall::Close:
        return "FT_Close";
    case TDeviceCall::Read:
        return "FT_Read";
    case TDeviceCall::Write:
        return "FT_Write";
    case TDeviceCall::SetBaudRate:
        return "FT_SetBaudRate";
    case TDeviceCall::SetDataCharacteristics:
        return "FT_SetDataCharacteristics";
    case TDeviceCall::SetFlowControl:
        return "FT_SetFlowControl";
    case TDeviceCall::SetTimeouts:
        return "FT_SetTimeouts";
    }
    return "?";
}

} // namespace

TScriptPlayer::TScriptPlayer(TSimDevice& device, std::FILE* log, TimePoint start)
    : device_(device), log_(log), interpreter_(*this, start, 1) {}

bool TScriptPlayer::Load(std::istream& in, const std::string& name, std::string& error) {
    return interpreter_.Load(in, name, error);
}

TimePoint TScriptPlayer::Step(TimePoint now) {
    return std::min(interpreter_.Step(now), now + kEventsEvery);
}

void TScriptPlayer::WithReader(const std::function<void(TReaderSim&)>& action) {
    device_.Locked(action);
}

// The failures land on the next calls of that kind; a call the engine makes
// at the same moment may come first.
script::TOwnCommand TScriptPlayer::ParseOwn(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    if (words.empty() || words[0] != "fail")
        return {};
    const TCallFailure failure = ParseFail(words);
    return [this, failure](TimePoint now) {
        const int next = device_.CallCount(failure.call) + 1;
        for (int i = 0; i < failure.times; ++i)
            device_.FailAt(failure.call, next + i, failure.status);
        Say(now, std::string("!! the next ") + std::to_string(failure.times) + " " +
                     CallName(failure.call) + " fail with status " +
                     std::to_string(failure.status));
    };
}

void TScriptPlayer::Unplug(TimePoint) {
    device_.Unplug();
}

bool TScriptPlayer::Replug(TimePoint now) {
    device_.Replug();
    Say(now, "plugged in again");
    return true;
}

// The script ends; the reader stays on the bus and keeps answering.
void TScriptPlayer::Quit(TimePoint now) {
    Say(now, "script ends");
}

void TScriptPlayer::ShowHelp(TimePoint now) {
    std::istringstream help(script::CommandHelp());
    for (std::string text; std::getline(help, text);)
        Say(now, text);
    Say(now, "  fail <call> <status> [times]      the next calls of FT_<call> fail");
}

void TScriptPlayer::ShowStatus(TimePoint now) {
    struct TSnapshot {
        int address;
        int sendSeq;
        int recvSeq;
        TSimStats stats;
    };
    const TSnapshot s = device_.Locked([](TReaderSim& reader) {
        return TSnapshot{reader.Address(), reader.SendSeq(), reader.RecvSeq(), reader.Stats()};
    });
    Say(now, "status: address " + (s.address == kUnassigned ? "none" : std::to_string(s.address)) +
                 ", SEQ " + std::to_string(s.sendSeq) + " ACK " + std::to_string(s.recvSeq) +
                 (device_.Plugged() ? ", plugged in" : ", unplugged") +
                 (device_.IsOpen() ? ", open" : ", closed"));
    Say(now, "  heard: polls " + std::to_string(s.stats.pollsForUs) + ", commands " +
                 std::to_string(s.stats.commandsDelivered) + ", CRC errors " +
                 std::to_string(s.stats.crcErrors));
    Say(now, "  sent: card reads " + std::to_string(s.stats.cardReadsMade) + " made, " +
                 std::to_string(s.stats.cardReadsAcknowledged) + " acknowledged");
    Say(now, "  calls: FT_Open " + std::to_string(device_.CallCount(TDeviceCall::Open)) +
                 ", FT_Close " + std::to_string(device_.CallCount(TDeviceCall::Close)) +
                 ", FT_Write " + std::to_string(device_.CallCount(TDeviceCall::Write)));
}

void TScriptPlayer::WriteLine(const std::string& line) {
    if (log_ == nullptr)
        return;
    std::fprintf(log_, "%s\n", line.c_str());
    std::fflush(log_);
}

} // namespace lorvent::sim::dll
