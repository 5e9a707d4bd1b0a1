// The engine's own cost: CPU time of its thread while idle, and how many turns
// it can give a reader that answers at once.
#include "protocol/proto_slave.h"
#include "protocol/protocol.h"
#include "support/device_doubles.h"
#include "support/engine_setup.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <deque>
#include <thread>

namespace lorvent {
namespace {

// A device whose reader answers every poll with its token at once.
class AnsweringDevice : public testing::TAcceptingDevice {
public:
    FT_STATUS FT_Open(int, FT_HANDLE* handle) override {
        *handle = this;
        return FT_OK;
    }
    FT_STATUS FT_Close(FT_HANDLE) override { return FT_OK; }
    FT_STATUS FT_Read(FT_HANDLE, void* buffer, std::uint32_t length, std::uint32_t* read) override {
        auto* out = static_cast<std::uint8_t*>(buffer);
        *read = 0;
        while (*read < length && !line_.empty()) {
            out[(*read)++] = line_.front();
            line_.pop_front();
        }
        return FT_OK;
    }
    FT_STATUS FT_Write(FT_HANDLE, const void* buffer, std::uint32_t length,
                       std::uint32_t* written) override {
        const auto* frame = static_cast<const std::uint8_t*>(buffer);
        if (length == 2 && (frame[1] & 0x80)) // a poll: answer with the reader's token
            line_.insert(line_.end(), {0xC0, frame[1]});
        *written = length;
        return FT_OK;
    }

private:
    std::deque<std::uint8_t> line_;
};

// Time that jumps to the next due poll instead of sleeping.
class JumpingClock : public TClock {
public:
    TPollTime Now() override { return now_; }
    void Sleep(int milliseconds) override { now_ += milliseconds; }

private:
    TPollTime now_ = 1e6;
};

double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

TProtocolSetup Setup(std::shared_ptr<TClock> clock = nullptr, bool thread = true) {
    static TTextMessageQueue quietLog; // records pile up unread; fine for a bench
    TProtocolSetup setup = testing::EngineSetup(std::make_unique<AnsweringDevice>(), quietLog);
    setup.clock = std::move(clock);
    setup.startThread = thread;
    return setup;
}

// CPU the idle engine thread uses per second of wall time (no link registered).
void BM_IdleEngineCpuPerSecond(benchmark::State& state) {
    for (auto _ : state) {
        TProtocol protocol(Setup());
        protocol.Open("", "9600,n,8,1");
        const double cpuBefore = ProcessCpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        const double cpu = ProcessCpuSeconds() - cpuBefore;
        state.counters["cpu_us_per_s"] = cpu / 3.0 * 1e6;
        protocol.Terminate();
        protocol.WaitFor();
    }
}
BENCHMARK(BM_IdleEngineCpuPerSecond)->Iterations(1)->Unit(benchmark::kSecond);

// Turns per second of real time with one alive reader served every 20 ms, and
// the CPU that costs.
void BM_AliveReaderTurnsPerSecond(benchmark::State& state) {
    for (auto _ : state) {
        TProtocol protocol(Setup());
        protocol.Open("", "9600,n,8,1");
        TProtoSlave link(protocol, protocol.LogSink());
        link.Init(0xFFFFFFFF, 1);
        std::this_thread::sleep_for(std::chrono::seconds(2)); // wake up
        const auto writesBefore = std::chrono::steady_clock::now();
        const double cpuBefore = ProcessCpuSeconds();
        const double turnsBefore = link.NextPollTime();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        const double cpu = ProcessCpuSeconds() - cpuBefore;
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - writesBefore).count();
        const double turnsAfter = link.NextPollTime();
        // Each turn moves the next poll time on by about the 20 ms interval.
        state.counters["turns_per_s"] = (turnsAfter - turnsBefore) / 20.0 / seconds;
        state.counters["cpu_us_per_s"] = cpu / seconds * 1e6;
        state.counters["alive"] = link.LinkState() == kLinkAlive;
        protocol.UnregisterSlave(&link);
        protocol.Terminate();
        protocol.WaitFor();
    }
}
BENCHMARK(BM_AliveReaderTurnsPerSecond)->Iterations(1)->Unit(benchmark::kSecond);

// The engine's own ceiling: turns per second of CPU when time costs nothing.
void BM_TurnCost(benchmark::State& state) {
    TProtocol protocol(Setup(std::make_shared<JumpingClock>(), false));
    protocol.Open("", "9600,n,8,1");
    TProtoSlave link(protocol, protocol.LogSink());
    link.Init(0xFFFFFFFF, 1);
    for (auto _ : state)
        protocol.RunPass();
    state.counters["passes_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    protocol.UnregisterSlave(&link);
}
BENCHMARK(BM_TurnCost);

} // namespace
} // namespace lorvent

BENCHMARK_MAIN();
