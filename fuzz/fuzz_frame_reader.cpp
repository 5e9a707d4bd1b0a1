// The frame reader fed an arbitrary byte stream in arbitrary chunks.
//
// Input: a run of chunks. Each starts with a header byte: its low 6 bits give
// the number of stream bytes that follow (cut short at the end of the input),
// its top 2 bits what comes after them on the line: 1 a read time-out, 2 a
// device failure, 0 and 3 nothing. After the last chunk the line stays quiet.
//
// Every frame the reader returns is compared with what a plain model of the
// wire rules expects from the same line, and the reader may neither store more
// than a Packet nor read past the stream.

#include "fuzz/fuzz_check.h"
#include "protocol/frame_reader.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace lorvent {
namespace {

enum class StepKind { Data, Timeout, Failure };

struct Step {
    StepKind kind;
    const std::uint8_t* bytes = nullptr; // into the input itself, unowned
    std::size_t count = 0;
};

std::vector<Step> SplitIntoSteps(const std::uint8_t* data, std::size_t size) {
    std::vector<Step> steps;
    std::size_t at = 0;
    while (at < size) {
        const std::uint8_t header = data[at++];
        std::size_t count = header & 0x3F;
        if (count > size - at)
            count = size - at;
        if (count > 0)
            steps.push_back({StepKind::Data, data + at, count});
        at += count;
        if ((header >> 6) == 1)
            steps.push_back({StepKind::Timeout});
        else if ((header >> 6) == 2)
            steps.push_back({StepKind::Failure});
    }
    return steps;
}

// The line as a sequence of read results; shared by the reader and the model
// so both see the same thing. Past the last step every read gets nothing.
class Line {
public:
    explicit Line(const std::vector<Step>& steps) : steps_(steps) {}

    int Read(std::uint8_t& byte) {
        if (step_ == steps_.size()) {
            ++readsPastEnd;
            return 0;
        }
        const Step& step = steps_[step_];
        if (step.kind != StepKind::Data) {
            ++step_;
            return step.kind == StepKind::Timeout ? 0 : -1;
        }
        FUZZ_CHECK(offset_ < step.count);
        byte = step.bytes[offset_++];
        if (offset_ == step.count) {
            ++step_;
            offset_ = 0;
        }
        return 1;
    }
    bool Over() const { return step_ == steps_.size(); }
    std::size_t Position() const { return step_ * 256 + offset_; }

    int readsPastEnd = 0;

private:
    const std::vector<Step>& steps_;
    std::size_t step_ = 0;
    std::size_t offset_ = 0;
};

class LineReader : public TByteReader {
public:
    explicit LineReader(Line& line) : line_(line) {}

    bool SetReadTimeout(int milliseconds) override {
        timeout = milliseconds;
        return true;
    }
    int ReadBytes(std::uint8_t* buffer, int count) override {
        FUZZ_CHECK(count >= 1);
        return line_.Read(buffer[0]); // one byte at most, however many were asked for
    }

    int timeout = 0;

private:
    Line& line_;
};

struct Expected {
    int result = 0;
    std::vector<std::uint8_t> frame;
};

// The wire rules, one byte at a time: hunt for the start flag, unescape, end
// at the end flag; a token is complete after its first byte, and a frame too
// long for a Packet is read to its end and reported as none.
Expected ModelReadFrame(Line& line) {
    std::uint8_t byte = 0;
    for (;;) {
        const int result = line.Read(byte);
        if (result <= 0)
            return {result, {}};
        if (byte == kStartFlag)
            break;
    }
    std::vector<std::uint8_t> frame;
    bool escaped = false;
    for (;;) {
        const int result = line.Read(byte);
        if (result <= 0)
            return {result, {}};
        if (byte == kEndFlag) {
            if (frame.size() > static_cast<std::size_t>(kPacketCapacity))
                return {0, {}};
            return {static_cast<int>(frame.size()), frame};
        }
        if (byte == kEscape) {
            escaped = true;
            continue;
        }
        frame.push_back(escaped ? static_cast<std::uint8_t>(byte ^ kEscapeXor) : byte);
        escaped = false;
        if (frame.size() == 1 && IsToken(frame[0]))
            return {1, frame};
    }
}

} // namespace
} // namespace lorvent

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lorvent;
    const std::vector<Step> steps = SplitIntoSteps(data, size);
    Line line(steps);
    Line modelLine(steps);
    LineReader reader(line);
    // On the heap and exactly a Packet long, so a store past it is caught.
    auto buffer = std::make_unique<FrameBuffer>();

    for (int calls = 0; !line.Over(); ++calls) {
        FUZZ_CHECK(calls <= static_cast<int>(size) + 1); // every call consumes something
        int length = -1;
        const int pastEndBefore = line.readsPastEnd;
        const int result = ReadFrame(reader, *buffer, length);
        const Expected expected = ModelReadFrame(modelLine);

        FUZZ_CHECK(reader.timeout == kFrameReadTimeoutMs);
        FUZZ_CHECK(line.readsPastEnd - pastEndBefore <= 1); // stops at the first empty read
        FUZZ_CHECK(line.Position() == modelLine.Position());
        FUZZ_CHECK(result == expected.result);
        FUZZ_CHECK(result <= kPacketCapacity);
        if (result > 0) {
            FUZZ_CHECK(length == result);
            for (int i = 0; i < result; ++i)
                FUZZ_CHECK((*buffer)[static_cast<std::size_t>(i)] ==
                           expected.frame[static_cast<std::size_t>(i)]);
            // A token is one byte, and only a token is short of a control byte.
            FUZZ_CHECK(IsToken((*buffer)[0]) == (result == 1 && IsToken(expected.frame[0])));
        }
    }
    return 0;
}
