#include "sim/cli/sim_runner.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>
#include <utility>

namespace lorvent::sim::cli {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kLongestSleep{250}; // how soon a stop signal is seen
constexpr auto kFallenBehind = milliseconds(50);
constexpr std::size_t kMostPending = 64 * 1024;

std::string Hex8(std::uint32_t value) {
    char text[12];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}

} // namespace

TSimRunner::TSimRunner(TRunnerOptions options, std::ostream& out, std::ostream& err)
    : options_(std::move(options)), out_(out), err_(err), reader_(options_.reader),
      interpreter_(*this, SimClock::now(), options_.cardSeed, options_.showPolls),
      stdinOpen_(options_.readStdin), paced_(options_.paced) {}

int TSimRunner::Run(const volatile std::sig_atomic_t* stop) {
    if (!options_.scriptPath.empty() && !LoadScript())
        return 2;
    if (!Plug(SimClock::now()))
        return 1;
    while (!quit_ && !(stop && *stop)) {
        Step(SimClock::now());
        if (quit_ || Finished())
            break;
        Wait(NextWake(SimClock::now()));
    }
    if (!options_.linkPath.empty())
        RemoveLink(options_.linkPath);
    port_.Close();
    interpreter_.Say(SimClock::now(), "simulator ends");
    return 0;
}

// Every line of the script is checked before the reader goes on the bus, so a
// typo does not show up half-way through a test run.
bool TSimRunner::LoadScript() {
    std::ifstream in(options_.scriptPath);
    if (!in) {
        err_ << "lorvent-reader-sim: cannot read script '" << options_.scriptPath
             << "': " << std::strerror(errno) << "\n";
        return false;
    }
    std::string error;
    if (!interpreter_.Load(in, options_.scriptPath, error)) {
        err_ << "lorvent-reader-sim: " << error << "\n";
        return false;
    }
    return true;
}

bool TSimRunner::Plug(TimePoint now) {
    try {
        port_.Open();
        if (!options_.linkPath.empty())
            PointLink(options_.linkPath, port_.SlavePath());
    } catch (const std::exception& error) {
        err_ << "lorvent-reader-sim: " << error.what() << "\n";
        port_.Close();
        return false;
    }
    pending_.clear();
    interpreter_.Say(now, "pty " + port_.SlavePath());
    // The one line a test or a shell picks up: where the program should look.
    out_ << "LORVENT_SERIAL=" << (options_.linkPath.empty() ? port_.SlavePath() : options_.linkPath)
         << std::endl;
    return true;
}

// The link goes before the pseudo-terminal, as the device node of a pulled
// adapter does: a dangling link would name the terminal's number, which the
// next pseudo-terminal opened on the machine takes, and a program reopening
// the link would find another program's line there.
void TSimRunner::Unplug(TimePoint) {
    if (!options_.linkPath.empty())
        RemoveLink(options_.linkPath);
    port_.Close();
    pending_.clear();
}

bool TSimRunner::Replug(TimePoint now) {
    return port_.IsOpen() || Plug(now);
}

void TSimRunner::WithReader(const std::function<void(TReaderSim&)>& action) {
    action(reader_);
}

void TSimRunner::ShowHelp(TimePoint) {
    out_ << script::CommandHelp() << std::flush;
}

void TSimRunner::Quit(TimePoint) {
    quit_ = true;
}

void TSimRunner::WriteLine(const std::string& line) {
    out_ << line << std::endl;
}

// --- One pass of the loop ---------------------------------------------------

void TSimRunner::Step(TimePoint now) {
    interpreter_.Step(now);
    TakeReaderOutput(now);
    WriteDueBytes(now);
}

bool TSimRunner::Finished() const {
    return options_.quitOnEof && !stdinOpen_ && !interpreter_.HasLines() && pending_.empty();
}

// --- Waiting, reading and writing --------------------------------------------

TimePoint TSimRunner::NextWake(TimePoint now) const {
    TimePoint wake = std::min(now + kLongestSleep, interpreter_.NextDue(now));
    if (!pending_.empty() && !writeBlocked_)
        wake = std::min(wake, paced_ ? nextByteAt_ : now);
    return std::max(wake, now);
}

void TSimRunner::Wait(TimePoint until) {
    pollfd fds[2];
    nfds_t count = 0;
    int stdinAt = -1, portAt = -1;
    if (stdinOpen_) {
        stdinAt = static_cast<int>(count);
        fds[count++] = {STDIN_FILENO, POLLIN, 0};
    }
    if (port_.IsOpen()) {
        portAt = static_cast<int>(count);
        fds[count++] = {port_.Fd(), static_cast<short>(POLLIN | (writeBlocked_ ? POLLOUT : 0)), 0};
    }
    const auto wait = std::max(until - SimClock::now(), SimClock::duration::zero());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
    const timespec timeout = {
        static_cast<time_t>(seconds.count()),
        static_cast<long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(wait - seconds).count())};
    if (::ppoll(fds, count, &timeout, nullptr) <= 0)
        return; // time-out, or a signal: the loop looks again
    const TimePoint now = SimClock::now();
    if (portAt >= 0 && (fds[portAt].revents & POLLOUT))
        writeBlocked_ = false;
    if (portAt >= 0 && (fds[portAt].revents & POLLIN))
        ReadPort(now);
    if (stdinAt >= 0 && (fds[stdinAt].revents & (POLLIN | POLLHUP | POLLERR)))
        ReadStdin();
}

void TSimRunner::ReadPort(TimePoint now) {
    std::uint8_t buffer[256];
    for (;;) {
        const ssize_t got = port_.Read(buffer, sizeof buffer);
        if (got <= 0)
            break;
        reader_.Receive(buffer, static_cast<std::size_t>(got), now);
    }
    TakeReaderOutput(now);
}

void TSimRunner::ReadStdin() {
    char buffer[4096];
    const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (got <= 0) {
        stdinOpen_ = false;
        if (!stdinPartial_.empty())
            interpreter_.Add("stdin", ++stdinLines_, std::exchange(stdinPartial_, {}));
        interpreter_.Say(SimClock::now(),
                         options_.quitOnEof
                             ? "standard input ended"
                             : "standard input ended; serving on until quit or a signal");
        return;
    }
    stdinPartial_.append(buffer, static_cast<std::size_t>(got));
    for (std::size_t end; (end = stdinPartial_.find('\n')) != std::string::npos;) {
        interpreter_.Add("stdin", ++stdinLines_, stdinPartial_.substr(0, end));
        stdinPartial_.erase(0, end + 1);
    }
}

void TSimRunner::TakeReaderOutput(TimePoint now) {
    const Bytes out = reader_.TakeOutput();
    if (out.empty() || !port_.IsOpen())
        return;
    // A reply starts once the line is free, and its first byte needs its own time.
    if (pending_.empty())
        nextByteAt_ = std::max(nextByteAt_, now + kByteTime);
    if (pending_.size() + out.size() > kMostPending) {
        interpreter_.Say(now, "error: nobody reads the pty; reader output dropped");
        return;
    }
    pending_.insert(pending_.end(), out.begin(), out.end());
}

void TSimRunner::WriteDueBytes(TimePoint now) {
    if (pending_.empty() || writeBlocked_ || !port_.IsOpen())
        return;
    std::size_t due = pending_.size();
    if (paced_) {
        if (now < nextByteAt_)
            return;
        if (now - nextByteAt_ > kFallenBehind)
            nextByteAt_ = now; // after a stall, pace again from here
        due = std::min<std::size_t>(due, 1 + (now - nextByteAt_) / kByteTime);
    }
    const std::vector<std::uint8_t> bytes(pending_.begin(),
                                          pending_.begin() + static_cast<std::ptrdiff_t>(due));
    const ssize_t put = port_.Write(bytes.data(), bytes.size());
    if (put < 0) {
        interpreter_.Say(now, std::string("error: writing the pty: ") + std::strerror(errno));
        pending_.clear();
        return;
    }
    writeBlocked_ = static_cast<std::size_t>(put) < bytes.size();
    pending_.erase(pending_.begin(), pending_.begin() + put);
    nextByteAt_ += put * kByteTime;
}

// --- Telling what happens ------------------------------------------------------

void TSimRunner::ShowStatus(TimePoint now) {
    const TSimStats& s = reader_.Stats();
    const int address = reader_.Address();
    char addressText[8];
    std::snprintf(addressText, sizeof addressText, "%02X", address & 0xFF);
    std::string lastCommands;
    const auto& commands = reader_.Commands();
    for (std::size_t i = commands.size() > 5 ? commands.size() - 5 : 0; i < commands.size(); ++i)
        lastCommands += (lastCommands.empty() ? "" : ", ") + CommandName(commands[i].payload);
    interpreter_.Say(
        now, "status: address " + (address == kUnassigned ? std::string("none") : addressText) +
                 ", identifier " + Hex8(reader_.Identifier()) + ", SEQ " +
                 std::to_string(reader_.SendSeq()) + " ACK " + std::to_string(reader_.RecvSeq()) +
                 (reader_.ResetRequestPending() ? ", reset request pending" : "") + ", pty " +
                 (port_.IsOpen() ? port_.SlavePath() : "unplugged") + ", pace " +
                 (paced_ ? "on" : "off"));
    interpreter_.Say(now, "  heard: polls " + std::to_string(s.pollsForUs) + ", frames " +
                              std::to_string(s.framesReceived) + ", commands " +
                              std::to_string(s.commandsDelivered) + " (repeated " +
                              std::to_string(s.commandsRepeated) + ", out of order " +
                              std::to_string(s.commandsOutOfOrder) + "), CRC errors " +
                              std::to_string(s.crcErrors) + ", bad ACKs " +
                              std::to_string(s.badAcks));
    interpreter_.Say(now, "  sent: card reads " + std::to_string(s.cardReadsMade) + " made, " +
                              std::to_string(s.cardReadsAcknowledged) + " acknowledged; data " +
                              std::to_string(s.dataPacketsSent) + " (again " +
                              std::to_string(s.dataRetransmissions) + "), ack-only " +
                              std::to_string(s.ackOnlySent) + ", connectionless " +
                              std::to_string(s.connectionlessSent) + ", queued " +
                              std::to_string(reader_.QueuedPayloads()));
    interpreter_.Say(now, "  faults: polls silenced " + std::to_string(s.pollsSilenced) +
                              ", replies lost " + std::to_string(s.repliesLost) + ", repeated " +
                              std::to_string(s.repliesRepeated) + ", wrong address " +
                              std::to_string(s.repliesFromWrongAddress) + ", CRCs corrupted " +
                              std::to_string(s.crcsCorrupted) + ", bytes corrupted " +
                              std::to_string(s.bytesCorrupted) + ", noise bytes " +
                              std::to_string(s.noiseBytesSent) + ", oversize " +
                              std::to_string(s.oversizeFramesSent));
    interpreter_.Say(now, "  last commands: " +
                              (lastCommands.empty() ? std::string("none") : lastCommands));
}

} // namespace lorvent::sim::cli
