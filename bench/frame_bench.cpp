// Throughput of the CRC and of framing in bytes per second. The wire carries
// 960 bytes per second at 9600 baud 8N1; these figures say how far above that
// the protocol's own work stays.
#include "protocol/frame_reader.h"
#include "protocol/packet.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace lorvent {
namespace {

std::vector<Packet> MakePackets(int count) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<Packet> packets(static_cast<std::size_t>(count));
    for (auto& packet : packets) {
        std::uint8_t payload[kMaxPayload];
        for (auto& b : payload)
            b = static_cast<std::uint8_t>(byte(random));
        BuildData(packet, 1, 0, 0, payload, kMaxPayload);
    }
    return packets;
}

void BM_Crc16(benchmark::State& state) {
    std::vector<std::uint8_t> block(4096);
    std::mt19937 random(1);
    for (auto& b : block)
        b = static_cast<std::uint8_t>(random());
    for (auto _ : state)
        benchmark::DoNotOptimize(Crc16(kCrcPreset, block.data(), static_cast<int>(block.size())));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * block.size()));
}
BENCHMARK(BM_Crc16);

void BM_EncodeFrame(benchmark::State& state) {
    const auto packets = MakePackets(256);
    std::array<std::uint8_t, kFrameBufferSize> frame{};
    std::int64_t bytes = 0;
    std::size_t i = 0;
    for (auto _ : state) {
        bytes += EncodeFrame(packets[i++ % packets.size()], frame);
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_EncodeFrame);

// A byte reader over a memory buffer that starts again at its end.
class LoopingLine : public TByteReader {
public:
    explicit LoopingLine(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    bool SetReadTimeout(int) override { return true; }
    int ReadBytes(std::uint8_t* buffer, int) override {
        *buffer = bytes_[at_];
        at_ = (at_ + 1) % bytes_.size();
        return 1;
    }

private:
    std::vector<std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

void BM_ReadAndCheckFrame(benchmark::State& state) {
    std::vector<std::uint8_t> line;
    for (const auto& packet : MakePackets(256)) {
        std::array<std::uint8_t, kFrameBufferSize> frame{};
        const int length = EncodeFrame(packet, frame);
        line.insert(line.end(), frame.begin(), frame.begin() + length);
    }
    const auto lineBytesPerFrame = static_cast<double>(line.size()) / 256.0;
    LoopingLine source(std::move(line));
    FrameBuffer buffer{};
    int length = 0;
    for (auto _ : state) {
        const int count = ReadFrame(source, buffer, length);
        benchmark::DoNotOptimize(CheckReceivedFrame(buffer.data(), count));
    }
    state.SetBytesProcessed(
        static_cast<std::int64_t>(static_cast<double>(state.iterations()) * lineBytesPerFrame));
}
BENCHMARK(BM_ReadAndCheckFrame);

} // namespace
} // namespace lorvent

BENCHMARK_MAIN();
