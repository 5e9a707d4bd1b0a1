// Figures of the whole lorvent process, as a user runs it: the reader is
// simulated in this process on a pseudo-terminal, lorvent runs on an Xvfb of
// our own, and an X window of ours holds the focus and takes the keys typed.
//
//   program_bench latency [reads]            last byte of a card-read frame on
//                                            the line to the first key event
//   program_bench cpu [seconds]              CPU of lorvent per second: reader
//                                            alive and idle, reader silent, no device
//   program_bench memory keyboard|attendance [reads]
//                                            RSS and anonymous memory as reads go by
//   program_bench logsize [seconds]          log.txt bytes per second with the
//                                            adapter unplugged
//   program_bench shutdown [closes]          closing the window with the adapter
//                                            unplugged: close to end of process
//
// Benchmarks, not tests: nothing here passes or fails on a figure.
#include "sim/cli/pty_port.h"
#include "sim/reader_sim.h"
#include "support/program_rig.h"
#include "support/x_windows.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace lorvent::bench {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using sim::Bytes;
using testing::TChildProcess;
using testing::TEnv;
using testing::TProgramRig;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// CPU time (user + system) of a whole process, all threads, in milliseconds.
double CpuMs(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15)
            ticks += std::stod(field);
    return ticks * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A line of /proc/PID/status in kB, e.g. "VmRSS" or "RssAnon".
long StatusKb(pid_t pid, const std::string& name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(name + ":", 0) == 0)
            return std::atol(line.c_str() + name.size() + 1);
    return -1;
}

// The reader on a pseudo-terminal behind a stable link, served from this
// thread; optionally paced at 9600 baud, one byte every 1042 us.
class TReaderOnPty {
public:
    TReaderOnPty(std::string link, bool paced) : link_(std::move(link)), paced_(paced) {
        reader_.KeepEvents(false);
        Plug();
    }
    void Plug() {
        port_.Open();
        sim::cli::PointLink(link_, port_.SlavePath());
        pending_.clear();
    }
    void Unplug() {
        sim::cli::RemoveLink(link_); // first: its number is free once the pty closes
        port_.Close();
        pending_.clear();
    }
    sim::TReaderSim& Reader() { return reader_; }
    int Fd() const { return port_.IsOpen() ? port_.Fd() : -1; }
    // When the last byte of the most recent card-read frame went on the line.
    std::optional<Clock::time_point> CardFrameEnded() const { return cardFrameEnded_; }
    void ForgetCardFrame() { cardFrameEnded_.reset(); }

    void OnReadable() {
        std::uint8_t buffer[256];
        for (ssize_t got; port_.IsOpen() && (got = port_.Read(buffer, sizeof buffer)) > 0;) {
            const int sentBefore = reader_.Stats().dataPacketsSent;
            reader_.Receive(buffer, static_cast<std::size_t>(got), Clock::now());
            Take(reader_.Stats().dataPacketsSent != sentBefore);
        }
    }
    // Writes what is due; the time until the next byte is due, if any waits.
    std::optional<Clock::duration> WriteDue() {
        const auto now = Clock::now();
        while (!pending_.empty() && port_.IsOpen()) {
            if (paced_ && now < nextByteAt_)
                return nextByteAt_ - now;
            const std::size_t count = paced_ ? 1 : pending_.size();
            std::vector<std::uint8_t> bytes(pending_.begin(), pending_.begin() + count);
            const ssize_t put = port_.Write(bytes.data(), bytes.size());
            if (put <= 0)
                return 1ms;
            pending_.erase(pending_.begin(), pending_.begin() + put);
            written_ += static_cast<std::size_t>(put);
            if (cardFrameEndsAt_ && written_ >= *cardFrameEndsAt_) {
                // The first transmission counts; a repeat may follow the keys.
                if (!cardFrameEnded_)
                    cardFrameEnded_ = Clock::now();
                cardFrameEndsAt_.reset();
            }
            nextByteAt_ = std::max(nextByteAt_ + sim::kByteTime, now);
        }
        return std::nullopt;
    }

private:
    // A reply carrying a data Packet begins with it, up to the first end flag
    // (the token that follows has none).
    void Take(bool carriesData) {
        const Bytes out = reader_.TakeOutput();
        const auto end = std::find(out.begin(), out.end(), sim::kFlagEnd);
        if (carriesData && end != out.end())
            cardFrameEndsAt_ = written_ + pending_.size() + (end - out.begin()) + 1;
        if (pending_.empty())
            nextByteAt_ = std::max(nextByteAt_, Clock::now() + sim::kByteTime);
        pending_.insert(pending_.end(), out.begin(), out.end());
    }

    std::string link_;
    bool paced_;
    sim::TReaderSim reader_;
    sim::cli::TPtyPort port_;
    std::deque<std::uint8_t> pending_;
    Clock::time_point nextByteAt_{};
    std::size_t written_ = 0;
    std::optional<std::size_t> cardFrameEndsAt_;
    std::optional<Clock::time_point> cardFrameEnded_;
};

// Our window, holding the focus; counts the keys it is given.
class TKeyTarget {
public:
    explicit TKeyTarget(const std::string& display) {
        display_ = XOpenDisplay(display.c_str());
        if (!display_)
            throw std::runtime_error("cannot open " + display);
        const int screen = DefaultScreen(display_);
        window_ = XCreateSimpleWindow(display_, RootWindow(display_, screen), 400, 80, 300, 100, 1,
                                      BlackPixel(display_, screen), WhitePixel(display_, screen));
        XSelectInput(display_, window_, KeyPressMask | FocusChangeMask | StructureNotifyMask);
        XMapRaised(display_, window_);
        XEvent event;
        do
            XWindowEvent(display_, window_, StructureNotifyMask, &event);
        while (event.type != MapNotify);
        XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
        XSync(display_, False);
    }
    ~TKeyTarget() { XCloseDisplay(display_); }
    int Fd() const { return ConnectionNumber(display_); }

    // Handles waiting events; for each key press, calls `onKey` with the
    // time it was seen and whether it was Return.
    template <typename F> void Handle(F onKey) {
        while (XPending(display_)) {
            XEvent event;
            XNextEvent(display_, &event);
            const auto seen = Clock::now();
            if (event.type == MappingNotify) {
                XRefreshKeyboardMapping(&event.xmapping);
            } else if (event.type == FocusOut) {
                XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
            } else if (event.type == KeyPress) {
                ++keys;
                onKey(seen, XLookupKeysym(&event.xkey, 0) == XK_Return);
            }
        }
        XFlush(display_);
    }
    long keys = 0;

private:
    Display* display_;
    Window window_;
};

// lorvent on the rig's Xvfb, our reader on the rig's link, our window for the
// keys. Without the window's trace: it would cost lorvent time.
struct TRun {
    explicit TRun(bool paced) {
        if (!rig.StartX())
            throw std::runtime_error("Xvfb did not start");
        keys = std::make_unique<TKeyTarget>(rig.Display());
        reader = std::make_unique<TReaderOnPty>(rig.ReaderLink(), paced);
    }
    ~TRun() { rig.lorvent.reset(); } // before its reader and its display
    void StartLorvent(const std::vector<std::string>& arguments, const TEnv& env = {}) {
        lorvent = &rig.StartLorvent({arguments, "", env, false});
    }

    // Serves the bus and the keys for `span`, or until `done` says so.
    template <typename F>
    void Serve(Clock::duration span, F onKey, const std::function<bool()>& done = {}) {
        const auto end = Clock::now() + span;
        while (Clock::now() < end && !(done && done())) {
            const auto due = reader->WriteDue();
            const auto wait = std::min<Clock::duration>(due.value_or(20ms), end - Clock::now());
            pollfd fds[2] = {{keys->Fd(), POLLIN, 0}, {reader->Fd(), POLLIN, 0}};
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
            const timespec timeout{static_cast<time_t>(ns / 1000000000),
                                   static_cast<long>(ns % 1000000000)};
            ::ppoll(fds, reader->Fd() >= 0 ? 2 : 1, ns > 0 ? &timeout : nullptr, nullptr);
            if (reader->Fd() >= 0)
                reader->OnReadable();
            keys->Handle(onKey);
            lorvent->Poll();
        }
    }
    void Serve(Clock::duration span) {
        Serve(span, [](Clock::time_point, bool) {});
    }
    void WaitAlive() {
        Serve(
            15s, [](Clock::time_point, bool) {},
            [&] { return reader->Reader().Stats().pollsAnswered > 20; });
        if (reader->Reader().Stats().pollsAnswered <= 20)
            throw std::runtime_error("lorvent never polled the reader: " + lorvent->Stderr());
        Serve(1s);
    }

    TProgramRig rig;
    std::unique_ptr<TKeyTarget> keys;
    std::unique_ptr<TReaderOnPty> reader;
    TChildProcess* lorvent = nullptr;
};

Bytes CardNumber(std::uint32_t n) {
    return {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)};
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[at];
}

int Latency(int reads) {
    TRun run(true);
    run.StartLorvent({});
    run.WaitAlive();
    std::mt19937 random(5);
    std::uniform_int_distribution<int> gapMs(30, 130);
    std::vector<double> fromLastByte, fromPresented;
    for (int i = 0; i < reads; ++i) {
        run.Serve(std::chrono::milliseconds(gapMs(random)));
        run.reader->ForgetCardFrame();
        const auto presented = Clock::now();
        run.reader->Reader().ReadCard(CardNumber(0x10000000u + static_cast<unsigned>(i)));
        std::optional<Clock::time_point> firstKey;
        bool lineDone = false;
        run.Serve(
            5s,
            [&](Clock::time_point seen, bool isReturn) {
                if (!firstKey)
                    firstKey = seen;
                lineDone = lineDone || isReturn;
            },
            [&] { return lineDone; });
        const auto lastByte = run.reader->CardFrameEnded();
        if (!firstKey || !lastByte) {
            std::cerr << "read " << i << ": no key or no frame seen\n";
            continue;
        }
        fromLastByte.push_back(Ms(*firstKey - *lastByte));
        fromPresented.push_back(Ms(*firstKey - presented));
    }
    if (fromLastByte.empty())
        return 1;
    std::printf("latency over %zu reads (paced at 9600 baud); card reads sent again: %d\n",
                fromLastByte.size(), run.reader->Reader().Stats().dataRetransmissions);
    // The master hands a frame on as soon as its end flag is read, before the
    // token that closes the reply: after the last byte the wire adds nothing.
    std::printf("  last byte of the card-read frame -> first key event: p50 %.2f ms, p99 %.2f ms, "
                "max %.2f ms (floor from the wire: 0)\n",
                Percentile(fromLastByte, 0.5), Percentile(fromLastByte, 0.99),
                *std::max_element(fromLastByte.begin(), fromLastByte.end()));
    // The poll (2 bytes) and the reply: the card-read frame (11 bytes) and the
    // token; before them, up to one poll interval (20 ms, 10 ms on average).
    const double wireMs = (2 + 11 + 2) * Ms(sim::kByteTime);
    std::printf("  card presented -> first key event:               p50 %.2f ms, p99 %.2f ms "
                "(floor: %.1f ms on the wire after a wait for the poll of 0 to 20 ms)\n",
                Percentile(fromPresented, 0.5), Percentile(fromPresented, 0.99), wireMs);
    return 0;
}

double CpuPerSecond(TRun& run, Clock::duration span) {
    const double before = CpuMs(run.lorvent->Pid());
    const auto start = Clock::now();
    run.Serve(span);
    return (CpuMs(run.lorvent->Pid()) - before) / (Ms(Clock::now() - start) / 1000.0);
}

int Cpu(int seconds) {
    TRun run(true);
    run.StartLorvent({});
    run.WaitAlive();
    run.Serve(2s);
    const auto span = std::chrono::seconds(seconds);
    const double alive = CpuPerSecond(run, span);
    const int polls = run.reader->Reader().Stats().pollsSilenced;
    run.reader->Reader().SilenceUntil(Clock::now() + 24h);
    run.Serve(5s); // long enough to be given up
    const double silent = CpuPerSecond(run, span);
    const int pollsSilent = run.reader->Reader().Stats().pollsSilenced - polls;
    run.reader->Unplug();
    run.Serve(3s);
    const double noDevice = CpuPerSecond(run, span);
    std::printf("lorvent CPU (user + system, all threads) per second, over %d s each\n", seconds);
    std::printf("  reader alive and idle:              %.2f ms/s\n", alive);
    std::printf("  device present, nothing answers:    %.2f ms/s (%d polls meanwhile)\n", silent,
                pollsSilent);
    std::printf("  no device (adapter unplugged):      %.2f ms/s\n", noDevice);
    return 0;
}

// The reads come as connectionless messages, three to a reply: the record
// that reaches the window is the same as from a data Packet, but a read needs
// no turn of its own for its acknowledgement, so 100,000 of them take about
// twenty minutes rather than over an hour. In keyboard mode each number is
// followed by a 100 ms pause before Enter, so there the reads are made only as
// fast as they are typed (at most three waiting), not faster.
int Memory(bool attendance, int reads) {
    TRun run(false);
    TEnv env;
    if (attendance) {
        const auto port = run.rig.StartServer();
        if (!port)
            throw std::runtime_error("kalvinor-server did not start: " + run.rig.server->Stderr());
        env.push_back({"LORVENT_SERVER_PORT", std::to_string(*port)});
    }
    run.StartLorvent(attendance ? std::vector<std::string>{"-net"} : std::vector<std::string>{},
                     env);
    run.WaitAlive();
    long typed = 0;
    const auto onKey = [&](Clock::time_point, bool isReturn) { typed += isReturn ? 1 : 0; };
    const pid_t pid = run.lorvent->Pid();
    auto& reader = run.reader->Reader();
    const auto report = [&](int made) {
        std::printf("  %7d reads: VmRSS %6ld kB, RssAnon %6ld kB, CPU %.1f s, numbers typed %ld\n",
                    made, StatusKb(pid, "VmRSS"), StatusKb(pid, "RssAnon"), CpuMs(pid) / 1000.0,
                    typed);
        std::fflush(stdout);
    };
    std::printf("lorvent memory in %s mode, reads unpaced and connectionless\n",
                attendance ? "attendance" : "keyboard");
    report(0);
    const auto start = Clock::now();
    const auto total = static_cast<std::uint32_t>(reads);
    const auto step = std::max<std::uint32_t>(total / 10, 1);
    std::uint32_t made = 0;
    while (made < total) {
        const std::uint32_t target = std::min(total, made + step);
        run.Serve(24h, onKey, [&] {
            while (reader.Stats().connectionlessSent + 6 > static_cast<int>(made) &&
                   (attendance || typed + 3 > static_cast<long>(made)) && made < target)
                reader.ReadCardConnectionless(CardNumber(0x20000000u + made++));
            return made == target && reader.Stats().connectionlessSent == static_cast<int>(made);
        });
        run.Serve(attendance ? 6s : 1s, onKey); // the last reads typed, or uploaded by a tick
        report(static_cast<int>(made));
    }
    const double seconds = Ms(Clock::now() - start) / 1000.0;
    std::printf("  %u reads in %.0f s (%.0f a second)\n", made, seconds, made / seconds);
    return 0;
}

std::uintmax_t FileSize(const std::filesystem::path& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

// log.txt with the adapter pulled out: its growth over the first minute
// (each failure's first occurrence) and over the whole span.
int LogSize(int seconds) {
    TRun run(true);
    run.StartLorvent({});
    run.WaitAlive();
    const auto log = run.rig.File("log.txt");
    run.reader->Unplug();
    const auto start = Clock::now();
    const std::uintmax_t before = FileSize(log);
    run.Serve(60s);
    const std::uintmax_t firstMinute = FileSize(log) - before;
    run.Serve(std::chrono::seconds(std::max(seconds, 61)) - 60s);
    const double span = Ms(Clock::now() - start) / 1000.0;
    const std::uintmax_t grown = FileSize(log) - before;
    std::printf("log.txt with the adapter unplugged for %.0f s\n", span);
    std::printf("  first minute: %ju bytes (%.1f bytes/s)\n", firstMinute,
                static_cast<double>(firstMinute) / 60.0);
    std::printf("  whole span:   %ju bytes (%.1f bytes/s)\n", grown,
                static_cast<double>(grown) / span);
    if (seconds > 120) {
        const std::uintmax_t later = grown - firstMinute;
        std::printf("  after the first minute: %.1f bytes/s\n",
                    static_cast<double>(later) / (span - 60.0));
    }
    return 0;
}

// Closing the window at a random moment, with the reader answering and with
// the adapter gone (each failing poll holds the engine lock through its
// failed reads): the time from the close request to the end of the process.
std::vector<double> CloseTimes(int closes, bool unplugged) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> phaseMs(0, 1500);
    std::vector<double> took;
    for (int i = 0; i < closes; ++i) {
        TRun run(true);
        run.StartLorvent({});
        run.WaitAlive();
        if (unplugged)
            run.reader->Unplug();
        run.Serve(3s + std::chrono::milliseconds(phaseMs(random)));
        const auto window = testing::FindWindow(run.rig.Display(), "Lorvent");
        if (!window)
            throw std::runtime_error("lorvent's window is not on the screen");
        const auto asked = Clock::now();
        testing::CloseWindow(run.rig.Display(), window->id);
        const auto status = run.lorvent->Wait(30s);
        took.push_back(Ms(Clock::now() - asked));
        if (status != 0)
            std::fprintf(stderr, "close %d: status %d\n", i, status.value_or(-1));
    }
    return took;
}

int Shutdown(int closes) {
    std::printf("closing the window, %d times each: close -> process ended\n", closes);
    for (const bool unplugged : {false, true}) {
        const std::vector<double> took = CloseTimes(closes, unplugged);
        std::printf("  %-24s p50 %5.0f ms, max %5.0f ms\n",
                    unplugged ? "adapter unplugged:" : "reader answering:", Percentile(took, 0.5),
                    *std::max_element(took.begin(), took.end()));
    }
    return 0;
}

} // namespace
} // namespace lorvent::bench

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    const auto number = [&](int at, int otherwise) {
        return argc > at ? std::atoi(argv[at]) : otherwise;
    };
    try {
        if (what == "latency")
            return lorvent::bench::Latency(number(2, 500));
        if (what == "cpu")
            return lorvent::bench::Cpu(number(2, 30));
        if (what == "memory" && argc > 2)
            return lorvent::bench::Memory(std::string(argv[2]) == "attendance", number(3, 100000));
        if (what == "logsize")
            return lorvent::bench::LogSize(number(2, 600));
        if (what == "shutdown")
            return lorvent::bench::Shutdown(number(2, 20));
    } catch (const std::exception& error) {
        std::cerr << "program_bench: " << error.what() << "\n";
        return 1;
    }
    std::cerr << "usage: program_bench latency [reads] | cpu [seconds] | "
                 "memory keyboard|attendance [reads] | logsize [seconds] | shutdown [closes]\n";
    return 2;
}
