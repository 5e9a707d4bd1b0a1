// Writes the seed corpora under fuzz/corpus from real traffic: the link runs
// against the reader simulator in process, and what crosses the bus becomes
// seeds for the frame reader, the link and the round trip. The command line
// and record line seeds are the usual and the edge cases of each grammar.
//
//     fuzz_make_seeds <fuzz/corpus directory>

#include "protocol/proto_slave.h"
#include "protocol/protocol.h"
#include "sim/sim_device.h"
#include "sim/wire.h"
#include "support/device_doubles.h"
#include "support/engine_setup.h"
#include "support/fake_clock.h"
#include "support/recording_log.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace lorvent {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// One thing seen on the bus: a frame the master wrote, bytes the reader sent,
// or a payload the application queued.
struct BusEvent {
    enum Kind { Write, Read, Queue } kind;
    Bytes bytes;
};

// The simulator's device with every write and every non-empty read recorded.
class RecordingDevice : public testing::TForwardingDevice {
public:
    explicit RecordingDevice(std::vector<BusEvent>& events)
        : TForwardingDevice(sim), events_(events) {}
    sim::TSimDevice sim;

    FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t length,
                      std::uint32_t* read) override {
        const FT_STATUS status = sim.FT_Read(handle, buffer, length, read);
        if (status == FT_OK && *read > 0) {
            const auto* bytes = static_cast<const std::uint8_t*>(buffer);
            if (events_.empty() || events_.back().kind != BusEvent::Read)
                events_.push_back({BusEvent::Read, {}});
            events_.back().bytes.insert(events_.back().bytes.end(), bytes, bytes + *read);
        }
        return status;
    }
    FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t length,
                       std::uint32_t* written) override {
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        events_.push_back({BusEvent::Write, Bytes(bytes, bytes + length)});
        return sim.FT_Write(handle, buffer, length, written);
    }

private:
    std::vector<BusEvent>& events_;
};

// What the reader does before a given engine pass.
using Scene = std::function<void(sim::TReaderSim&, TProtoSlave&, std::vector<BusEvent>&)>;

// Runs the link against the simulator for `passes` passes, one turn each.
std::vector<BusEvent> Record(int passes, const std::vector<std::pair<int, Scene>>& scenes) {
    std::vector<BusEvent> events;
    auto owned = std::make_unique<RecordingDevice>(events);
    RecordingDevice& device = *owned;
    auto clock = std::make_shared<testing::FakeClock>();
    testing::DiscardingLog log;
    TProtocol engine(testing::SteppedEngineSetup(std::move(owned), log, clock));
    engine.Open("", "");
    TProtoSlave link(engine, &log);
    link.Init(0xFFFFFFFF, 1);
    for (int pass = 0; pass < passes; ++pass) {
        for (const auto& [at, scene] : scenes)
            if (at == pass)
                device.sim.Locked([&](sim::TReaderSim& reader) { scene(reader, link, events); });
        clock->Advance(kPollIntervalIdle);
        engine.RunPass();
    }
    engine.UnregisterSlave(&link);
    return events;
}

void Queue(TProtoSlave& link, std::vector<BusEvent>& queued, const Bytes& payload) {
    link.PutOutbound(
        std::make_unique<TProtoMessage>(payload.data(), static_cast<int>(payload.size())));
    queued.push_back({BusEvent::Queue, payload});
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

void WriteText(const fs::path& path, const std::string& text) {
    WriteFile(path, Bytes(text.begin(), text.end()));
}

// The reader's bytes, in chunks of `chunk` with a time-out after every frame
// now and then, in the frame reader harness's chunk format.
Bytes ChunkedLine(const std::vector<BusEvent>& events, std::size_t chunk) {
    Bytes input;
    int replies = 0;
    for (const auto& event : events) {
        if (event.kind != BusEvent::Read)
            continue;
        for (std::size_t at = 0; at < event.bytes.size(); at += chunk) {
            const std::size_t count = std::min(chunk, event.bytes.size() - at);
            const bool last = at + count == event.bytes.size();
            input.push_back(
                static_cast<std::uint8_t>(count | (last && ++replies % 3 == 0 ? 0x40 : 0)));
            input.insert(input.end(), event.bytes.begin() + static_cast<std::ptrdiff_t>(at),
                         event.bytes.begin() + static_cast<std::ptrdiff_t>(at + count));
        }
    }
    return input;
}

// The reader's replies as link harness operations: each reply's frames go on
// the line before the pass that polls for them; queued payloads in order.
// Noise and frames too long for a Packet are left out.
Bytes LinkScript(const std::vector<BusEvent>& events) {
    Bytes script;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const BusEvent& event = events[i];
        if (event.kind == BusEvent::Queue) {
            script.push_back(5);
            script.push_back(static_cast<std::uint8_t>(event.bytes.size()));
            script.insert(script.end(), event.bytes.begin(), event.bytes.end());
        } else if (event.kind == BusEvent::Write) {
            // The reply to this write, if any, comes next in the events.
            if (i + 1 < events.size() && events[i + 1].kind == BusEvent::Read) {
                const Bytes& wire = events[i + 1].bytes;
                sim::TFrameDecoder decoder;
                for (std::size_t at = 0; at < wire.size(); ++at) {
                    const std::uint8_t byte = wire[at];
                    if (byte == sim::kFlagStart && at + 1 < wire.size() &&
                        (wire[at + 1] & sim::kTokenBit) != 0) {
                        script.insert(script.end(), {0, 1, wire[at + 1]}); // the closing token
                        ++at;
                        continue;
                    }
                    if (decoder.Feed(byte) != sim::TFrameDecoder::TResult::Frame)
                        continue;
                    Bytes packet = decoder.FrameBytes();
                    if (sim::CrcIntact(packet.data(), packet.size())) {
                        packet.resize(packet.size() - 2); // the harness adds the CRC
                        script.push_back(0);
                    } else {
                        script.push_back(1); // a corrupted frame goes on the line as it is
                    }
                    script.push_back(static_cast<std::uint8_t>(packet.size()));
                    script.insert(script.end(), packet.begin(), packet.end());
                }
            }
            script.push_back(4); // one pass
        }
    }
    return script;
}

// Round trip inputs: kind, SEQ/ACK, address, identifier, payload.
Bytes RoundTrip(std::uint8_t kind, std::uint8_t seqAck, std::uint8_t address,
                const Bytes& payload) {
    Bytes input{kind, seqAck, address, 0xFF, 0xFF, 0xFF, 0xFF};
    input.insert(input.end(), payload.begin(), payload.end());
    return input;
}

void WriteBusSeeds(const fs::path& corpus, const std::string& name,
                   const std::vector<BusEvent>& events) {
    WriteFile(corpus / "frame_reader" / (name + "-whole"), ChunkedLine(events, 63));
    WriteFile(corpus / "frame_reader" / (name + "-chunked"), ChunkedLine(events, 5));
    WriteFile(corpus / "link" / name, LinkScript(events));
}

} // namespace
} // namespace lorvent

int main(int argc, char** argv) {
    using namespace lorvent;
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <fuzz/corpus directory>\n", argv[0]);
        return 2;
    }
    const fs::path corpus = argv[1];
    for (const char* harness :
         {"frame_reader", "link", "round_trip", "command_line", "record_line"})
        fs::create_directories(corpus / harness);

    // A start: address, wake, reset handshake; then card reads of both
    // kinds, the application's acknowledge and signals, and a reader reset.
    const Bytes card4{0x12, 0x34, 0x56, 0x78};
    const Bytes card5{0xC0, 0xC1, 0x7D, 0x00, 0x41};
    auto start = Record(14, {});
    WriteBusSeeds(corpus, "start", start);

    auto reads =
        Record(40, {
                       {10, [&](sim::TReaderSim& r, TProtoSlave&,
                                std::vector<BusEvent>&) { r.ReadCard(card4); }},
                       {14,
                        [&](sim::TReaderSim&, TProtoSlave& l, std::vector<BusEvent>& e) {
                            Queue(l, e, {0x03, 0x06, 0x00});
                        }},
                       {18, [&](sim::TReaderSim& r, TProtoSlave&,
                                std::vector<BusEvent>&) { r.ReadCardConnectionless(card5); }},
                       {22,
                        [&](sim::TReaderSim&, TProtoSlave& l, std::vector<BusEvent>& e) {
                            Queue(l, e, {0x02, 0xFF, 0xFF, 0x00});
                        }},
                       {26, [&](sim::TReaderSim& r, TProtoSlave&,
                                std::vector<BusEvent>&) { r.ReadCard(card5); }},
                       {30, [&](sim::TReaderSim& r, TProtoSlave&,
                                std::vector<BusEvent>&) { r.RequestReset(); }},
                       {34, [&](sim::TReaderSim& r, TProtoSlave&,
                                std::vector<BusEvent>&) { r.QueueText("Lorvent čtečka"); }},
                   });
    WriteBusSeeds(corpus, "card-reads", reads);

    auto faults = Record(40, {
                                 {10,
                                  [&](sim::TReaderSim& r, TProtoSlave&, std::vector<BusEvent>&) {
                                      r.RepeatReplies(2);
                                      r.ReadCard(card4);
                                  }},
                                 {16,
                                  [&](sim::TReaderSim& r, TProtoSlave&, std::vector<BusEvent>&) {
                                      r.InjectNoise(12);
                                      r.SendOversizeFrame();
                                  }},
                                 {20,
                                  [&](sim::TReaderSim& r, TProtoSlave&, std::vector<BusEvent>&) {
                                      r.CorruptNextCrcs(1);
                                      r.ReadCard(card4);
                                  }},
                                 {24, [&](sim::TReaderSim& r, TProtoSlave&,
                                          std::vector<BusEvent>&) { r.ReplyFromWrongAddress(); }},
                                 {28, [&](sim::TReaderSim& r, TProtoSlave&,
                                          std::vector<BusEvent>&) { r.SilenceForPolls(6); }},
                             });
    WriteBusSeeds(corpus, "faults", faults);

    // Every Packet kind, and payloads of 0, 3, 32 and 33 bytes with flag bytes.
    Bytes flags32;
    for (int i = 0; i < 32; ++i)
        flags32.push_back(
            static_cast<std::uint8_t>(i % 3 == 0 ? 0xC0 : (i % 3 == 1 ? 0xC1 : 0x7D)));
    Bytes flags33 = flags32;
    flags33.push_back(0x7D);
    WriteFile(corpus / "round_trip" / "token", RoundTrip(0, 0, 1, {}));
    WriteFile(corpus / "round_trip" / "token-escaped", RoundTrip(0, 0, 0x40, {}));
    WriteFile(corpus / "round_trip" / "set-address", RoundTrip(1, 0, 1, {}));
    WriteFile(corpus / "round_trip" / "reset-request", RoundTrip(2, 0, 1, {}));
    WriteFile(corpus / "round_trip" / "reset-ack", RoundTrip(3, 0, 1, {}));
    WriteFile(corpus / "round_trip" / "ack", RoundTrip(4, 0x01, 1, {}));
    WriteFile(corpus / "round_trip" / "data-empty", RoundTrip(5, 0x12, 1, {}));
    WriteFile(corpus / "round_trip" / "data-command", RoundTrip(5, 0x00, 1, {0x03, 0x06, 0x00}));
    WriteFile(corpus / "round_trip" / "data-card",
              RoundTrip(5, 0x70, 1, {0x83, 0x81, 0x12, 0x34, 0x56, 0x78}));
    WriteFile(corpus / "round_trip" / "data-32", RoundTrip(5, 0x77, 0x7F, flags32));
    WriteFile(corpus / "round_trip" / "data-33", RoundTrip(5, 0x77, 0x7F, flags33));

    const std::vector<std::pair<std::string, std::string>> commandLines = {
        {"none", ""},
        {"net", "-net"},
        {"everything", "-com\nCOM3\n-db\nzaznamy.db\n/NET\n-prefix\nCSa"},
        {"keyboard-prefix", "/keyb\n/prefix\nAF12"},
        {"prefix-f01", "-prefix\nF01"},
        {"prefix-last", "-net\n-prefix"},
        {"prefix-f25", "-prefix\nF25"},
        {"prefix-after-key", "-prefix\naS"},
        {"com-takes-option", "-com\n-net"},
        {"no-introducer", "net"},
        {"unknown", "-keyboard"},
        {"czech", "-db\nzáznamy.db\n-x"},
    };
    for (const auto& [name, text] : commandLines)
        WriteText(corpus / "command_line" / name, text);

    const std::vector<std::pair<std::string, std::string>> recordLines = {
        {"record-8", "L 08/12/2026-14:01 12345678"},
        {"record-10", "L 29/02/2024-23:59 c0c17d0041"},
        {"no-such-date", "L 29/02/2100-00:00 12345678"},
        {"no-such-time", "L 31/12/2026-24:00 12345678"},
        {"upper-case", "L 01/01/2026-00:00 ABCDEF12"},
        {"double-space", "L  01/01/2026-00:00 12345678"},
        {"trailing-space", "L 01/01/2026-00:00 12345678 "},
        {"unknown-request", "X 01/01/2026-00:00 12345678"},
        {"missing-fields", "L 01/01/2026-00:00"},
    };
    for (const auto& [name, text] : recordLines)
        WriteText(corpus / "record_line" / name, text);
    return 0;
}
