#include "sim/script/interpreter.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace lorvent::sim::script {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kPollReportEvery{5000};
constexpr milliseconds kReplugRetry{1000};

std::string TrimLine(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The mark that begins a line about something the reader heard ("<- "),
// sent ("-> "), suffered ("!! ") or found wrong ("?? ").
const char* EventMarker(TSimEventKind kind) {
    switch (kind) {
    case TSimEventKind::Poll:
    case TSimEventKind::Received:
        return "<- ";
    case TSimEventKind::Sent:
        return "-> ";
    case TSimEventKind::Fault:
        return "!! ";
    case TSimEventKind::Problem:
        return "?? ";
    }
    return "";
}

Bytes CardNumber(const TCommand& command, std::mt19937& cards) {
    if (!command.random)
        return command.bytes;
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes number;
    for (int i = 0; i < command.cardBytes; ++i)
        number.push_back(static_cast<std::uint8_t>(byte(cards)));
    return number;
}

// The commands that act on the reader itself; the rest are the
// interpreter's or the host's.
void Apply(const TCommand& command, TReaderSim& reader, TimePoint now, std::mt19937& cards) {
    switch (command.kind) {
    case TCommandKind::Card:
        if (command.connectionless)
            reader.ReadCardConnectionless(CardNumber(command, cards), now);
        else
            reader.ReadCard(CardNumber(command, cards), now);
        break;
    case TCommandKind::Send:
        reader.QueueData(command.bytes);
        break;
    case TCommandKind::Text:
        reader.QueueText(command.text);
        break;
    case TCommandKind::SilencePolls:
        reader.SilenceForPolls(command.count);
        break;
    case TCommandKind::SilenceTime:
        reader.SilenceUntil(now + command.duration);
        break;
    case TCommandKind::Noise:
        reader.InjectNoise(command.count, now);
        break;
    case TCommandKind::CorruptCrc:
        reader.CorruptNextCrcs(command.count);
        break;
    case TCommandKind::CorruptRate:
        reader.CorruptOneByteIn(command.count);
        break;
    case TCommandKind::LoseReplies:
        reader.LoseReplies(command.count);
        break;
    case TCommandKind::Repeat:
        reader.RepeatReplies(command.count);
        break;
    case TCommandKind::WrongAddress:
        reader.ReplyFromWrongAddress(command.count < 0 ? kUnassigned : command.count);
        break;
    case TCommandKind::Oversize:
        reader.SendOversizeFrame();
        break;
    case TCommandKind::ResetRequest:
        reader.RequestReset(now);
        break;
    default:
        break;
    }
}

} // namespace

TOwnCommand TScriptHost::ParseOwn(const std::string&) {
    return {};
}

TScriptInterpreter::TScriptInterpreter(TScriptHost& host, TimePoint start, std::uint32_t cardSeed,
                                       bool showPolls)
    : host_(host), start_(start), cards_(cardSeed), showPolls_(showPolls), pollsReportedAt_(start) {
    host_.WithReader([](TReaderSim& reader) { reader.KeepEvents(true); });
}

bool TScriptInterpreter::Load(std::istream& in, const std::string& name, std::string& error) {
    std::deque<TLine> loaded;
    int number = 0;
    for (std::string text; std::getline(in, text);) {
        loaded.push_back(Parse(name, ++number, text));
        if (!loaded.back().error.empty()) {
            error = name + " line " + std::to_string(number) + ": " + loaded.back().error;
            return false;
        }
    }
    lines_.insert(lines_.end(), loaded.begin(), loaded.end());
    return true;
}

void TScriptInterpreter::Add(const std::string& source, int number, const std::string& text) {
    lines_.push_back(Parse(source, number, text));
}

TScriptInterpreter::TLine TScriptInterpreter::Parse(const std::string& source, int number,
                                                    const std::string& text) const {
    TLine line{source, number, TrimLine(text), {}, {}, {}};
    try {
        line.own = host_.ParseOwn(text);
        if (!line.own)
            line.command = ParseCommand(text);
    } catch (const TCommandError& error) {
        line.error = error.what();
    }
    return line;
}

TimePoint TScriptInterpreter::Step(TimePoint now) {
    if (replugAt_ && now >= *replugAt_)
        Replug(now);
    for (TRepeat& repeat : repeats_) {
        if (now < repeat.next)
            continue;
        ReportEvents(now); // what the reader did before comes first in the report
        Execute(repeat.command, now);
        // Keep to the period, but never make a burst after a stall.
        repeat.next = std::max(repeat.next + repeat.period, now);
    }
    while (!lines_.empty() && now >= resumeAt_) {
        const TLine line = lines_.front();
        lines_.pop_front();
        RunLine(line, now);
    }
    ReportEvents(now);
    return NextDue(now);
}

TimePoint TScriptInterpreter::NextDue(TimePoint now) const {
    TimePoint due = TimePoint::max();
    if (!lines_.empty())
        due = std::min(due, resumeAt_);
    for (const TRepeat& repeat : repeats_)
        due = std::min(due, repeat.next);
    if (replugAt_)
        due = std::min(due, *replugAt_);
    if (pollsUnreported_ > 0)
        due = std::min(due, pollsReportedAt_ + kPollReportEvery);
    return std::max(due, now);
}

void TScriptInterpreter::RunLine(const TLine& line, TimePoint now) {
    if (!line.error.empty()) {
        Say(now,
            "error: " + line.source + " line " + std::to_string(line.number) + ": " + line.error);
        return;
    }
    if (!line.own && line.command.kind == TCommandKind::Nothing)
        return;
    ReportEvents(now);
    Say(now, ">> " + line.text);
    if (line.own)
        line.own(now);
    else if (line.command.kind == TCommandKind::Wait)
        resumeAt_ = now + line.command.duration;
    else
        Execute(line.command, now);
}

void TScriptInterpreter::Execute(const TCommand& command, TimePoint now) {
    switch (command.kind) {
    case TCommandKind::Every:
        repeats_.push_back({*command.repeated, command.duration, now + command.duration});
        break;
    case TCommandKind::EveryOff:
        repeats_.clear();
        break;
    case TCommandKind::Unplug:
        Unplug(now, command.duration);
        break;
    case TCommandKind::Replug:
        Replug(now);
        break;
    case TCommandKind::Pace:
        host_.SetPaced(command.on);
        break;
    case TCommandKind::Status:
        host_.ShowStatus(now);
        break;
    case TCommandKind::Help:
        host_.ShowHelp(now);
        break;
    case TCommandKind::Quit:
        Quit(now);
        break;
    default:
        ApplyToReader(command, now);
        break;
    }
}

// The reader refuses what it cannot do (a payload it cannot send, say); the
// script goes on.
void TScriptInterpreter::ApplyToReader(const TCommand& command, TimePoint now) {
    try {
        host_.WithReader([&](TReaderSim& reader) { Apply(command, reader, now, cards_); });
    } catch (const std::invalid_argument& error) {
        Say(now, std::string("error: ") + error.what());
    }
}

void TScriptInterpreter::Unplug(TimePoint now, milliseconds duration) {
    host_.Unplug(now);
    if (duration.count() > 0) {
        replugAt_ = now + duration;
        Say(now, "!! unplugged for " + std::to_string(duration.count()) + " ms");
    } else {
        replugAt_.reset();
        Say(now, "!! unplugged until replug");
    }
}

void TScriptInterpreter::Replug(TimePoint now) {
    replugAt_.reset();
    if (!host_.Replug(now))
        replugAt_ = now + kReplugRetry;
}

// The script ends here; what happens to the reader is the host's to decide.
void TScriptInterpreter::Quit(TimePoint now) {
    lines_.clear();
    repeats_.clear();
    host_.Quit(now);
}

// Polls are counted, not listed, unless asked: the engine polls up to fifty
// times a second.
void TScriptInterpreter::ReportEvents(TimePoint now) {
    std::vector<TSimEvent> events;
    host_.WithReader([&](TReaderSim& reader) { events = reader.TakeEvents(); });
    for (const TSimEvent& event : events) {
        if (event.kind == TSimEventKind::Poll && !showPolls_) {
            if (pollsUnreported_++ == 0)
                pollsReportedAt_ = event.at;
            continue;
        }
        ReportPollCount(event.at);
        Say(event.at, EventMarker(event.kind) + event.text);
    }
    if (pollsUnreported_ > 0 && now - pollsReportedAt_ >= kPollReportEvery)
        ReportPollCount(now);
}

void TScriptInterpreter::ReportPollCount(TimePoint at) {
    if (pollsUnreported_ == 0)
        return;
    Say(at, "<- polls: " + std::to_string(pollsUnreported_));
    pollsUnreported_ = 0;
    pollsReportedAt_ = at;
}

void TScriptInterpreter::Say(TimePoint at, const std::string& text) const {
    const double seconds = std::chrono::duration<double>(at - start_).count();
    char stamp[24];
    std::snprintf(stamp, sizeof stamp, "[%9.3f] ", seconds);
    host_.WriteLine(stamp + text);
}

} // namespace lorvent::sim::script
