#include "sim/dll/script_player.h"

#include <algorithm>
#include <map>
#include <sstream>
#include <stdexcept>

namespace lorvent::sim::dll {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kEventsEvery{50}; // how soon what the reader heard is written
constexpr milliseconds kPollReportEvery{5000};
constexpr int kMostFailures = 1000;

[[noreturn]] void Fail(const std::string& message) {
    throw cli::TCommandError(message);
}

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

TScriptCommand ParseFail(const std::vector<std::string>& words) {
    if (words.size() < 3 || words.size() > 4)
        Fail(kFailUsage);
    TScriptCommand command;
    command.deviceFailure = true;
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

TScriptCommand ParseScriptLine(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    if (!words.empty() && words[0] == "fail")
        return ParseFail(words);
    TScriptCommand command;
    command.command = cli::ParseCommand(line);
    return command;
}

TScriptPlayer::TScriptPlayer(TSimDevice& device, std::FILE* log, TimePoint start)
    : device_(device), log_(log), start_(start), pollsReportedAt_(start) {
    device_.Locked([](TReaderSim& reader) { reader.KeepEvents(true); });
}

bool TScriptPlayer::Load(std::istream& in, const std::string& name, std::string& error) {
    int number = 0;
    for (std::string text; std::getline(in, text);) {
        ++number;
        try {
            lines_.push_back({number, cli::TrimLine(text), ParseScriptLine(text)});
        } catch (const cli::TCommandError& fault) {
            error = name + " line " + std::to_string(number) + ": " + fault.what();
            lines_.clear();
            return false;
        }
    }
    return true;
}

TimePoint TScriptPlayer::Step(TimePoint now) {
    if (replugAt_ && now >= *replugAt_)
        Replug(now);
    for (TRepeat& repeat : repeats_) {
        if (now < repeat.next)
            continue;
        WriteEvents();
        Execute(repeat.command, now);
        // Keep to the period, but never make a burst after a stall.
        repeat.next = std::max(repeat.next + repeat.period, now);
    }
    while (!quit_ && !lines_.empty() && now >= resumeAt_) {
        const TLine line = lines_.front();
        lines_.pop_front();
        RunLine(line, now);
    }
    Report(now);

    TimePoint wake = now + kEventsEvery;
    if (!quit_ && !lines_.empty())
        wake = std::min(wake, resumeAt_);
    for (const TRepeat& repeat : repeats_)
        wake = std::min(wake, repeat.next);
    if (replugAt_)
        wake = std::min(wake, *replugAt_);
    return std::max(wake, now);
}

void TScriptPlayer::RunLine(const TLine& line, TimePoint now) {
    if (!line.command.deviceFailure && line.command.command.kind == cli::TCommandKind::Nothing)
        return;
    WriteEvents(); // what the reader did before this line comes first in the log
    Say(now, ">> " + line.text);
    if (line.command.deviceFailure) {
        FailCalls(line.command, now);
        return;
    }
    if (line.command.command.kind == cli::TCommandKind::Wait) {
        resumeAt_ = now + line.command.command.duration;
        return;
    }
    Execute(line.command.command, now);
}

void TScriptPlayer::Execute(const cli::TCommand& command, TimePoint now) {
    using cli::TCommandKind;
    switch (command.kind) {
    case TCommandKind::Every:
        repeats_.push_back({*command.repeated, command.duration, now + command.duration});
        break;
    case TCommandKind::EveryOff:
        repeats_.clear();
        break;
    case TCommandKind::Unplug:
        Unplug(command.duration, now);
        break;
    case TCommandKind::Replug:
        Replug(now);
        break;
    case TCommandKind::Pace:
        device_.SetPaced(command.on);
        break;
    case TCommandKind::Status:
        WriteStatus(now);
        break;
    case TCommandKind::Quit:
        // The script ends; the reader stays on the bus and keeps answering.
        quit_ = true;
        repeats_.clear();
        lines_.clear();
        Say(now, "script ends");
        break;
    case TCommandKind::Help: {
        std::istringstream help(cli::CommandHelp());
        for (std::string text; std::getline(help, text);)
            Say(now, text);
        Say(now, "  fail <call> <status> [times]      the next calls of FT_<call> fail");
        break;
    }
    default:
        ReaderCommand(command, now);
        break;
    }
}

void TScriptPlayer::ReaderCommand(const cli::TCommand& command, TimePoint now) {
    try {
        device_.Locked(
            [&](TReaderSim& reader) { cli::ApplyToReader(command, reader, now, cards_); });
    } catch (const std::invalid_argument& fault) {
        Say(now, std::string("error: ") + fault.what());
    }
}

// The failures land on the next calls of that kind; a call the engine makes
// at the same moment may come first.
void TScriptPlayer::FailCalls(const TScriptCommand& command, TimePoint now) {
    const int next = device_.CallCount(command.call) + 1;
    for (int i = 0; i < command.times; ++i)
        device_.FailAt(command.call, next + i, command.status);
    Say(now, std::string("!! the next ") + std::to_string(command.times) + " " +
                 CallName(command.call) + " fail with status " + std::to_string(command.status));
}

void TScriptPlayer::Unplug(std::chrono::milliseconds duration, TimePoint now) {
    device_.Unplug();
    if (duration.count() > 0) {
        replugAt_ = now + duration;
        Say(now, "!! unplugged for " + std::to_string(duration.count()) + " ms");
    } else {
        replugAt_.reset();
        Say(now, "!! unplugged until replug");
    }
}

void TScriptPlayer::Replug(TimePoint now) {
    replugAt_.reset();
    device_.Replug();
    Say(now, "plugged in again");
}

void TScriptPlayer::WriteStatus(TimePoint now) {
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

void TScriptPlayer::Report(TimePoint now) {
    WriteEvents();
    if (pollsUnreported_ > 0 && now - pollsReportedAt_ >= kPollReportEvery) {
        Say(now, "<- polls: " + std::to_string(pollsUnreported_));
        pollsUnreported_ = 0;
        pollsReportedAt_ = now;
    }
}

// Polls are counted, not listed: the engine polls up to fifty times a second.
void TScriptPlayer::WriteEvents() {
    const auto events = device_.Locked([](TReaderSim& reader) { return reader.TakeEvents(); });
    for (const TSimEvent& event : events) {
        if (event.kind == TSimEventKind::Poll) {
            if (pollsUnreported_++ == 0)
                pollsReportedAt_ = event.at;
            continue;
        }
        if (pollsUnreported_ > 0) {
            Say(event.at, "<- polls: " + std::to_string(pollsUnreported_));
            pollsUnreported_ = 0;
            pollsReportedAt_ = event.at;
        }
        Say(event.at, cli::EventMarker(event.kind) + event.text);
    }
}

void TScriptPlayer::Say(TimePoint at, const std::string& text) {
    if (log_ == nullptr)
        return;
    const double seconds = std::chrono::duration<double>(at - start_).count();
    std::fprintf(log_, "[%9.3f] %s\n", seconds, text.c_str());
    std::fflush(log_);
}

} // namespace lorvent::sim::dll
