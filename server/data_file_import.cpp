#include "server/data_file_import.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <variant>

namespace lorvent::server {

namespace {

constexpr std::size_t kMaxLineLength = 256;
constexpr std::size_t kShownLength = 60;
constexpr std::size_t kChunk = 64 * 1024;

// FNV-1a, 64 bits: enough to tell a longer version of a file from another file.
class Digest {
public:
    Digest() = default;
    explicit Digest(const std::string& hex) {
        if (!hex.empty())
            state_ = std::stoull(hex, nullptr, 16);
    }
    void Add(const char* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            state_ ^= static_cast<unsigned char>(data[i]);
            state_ *= 0x100000001b3ULL;
        }
    }
    std::string Hex() const {
        char text[17];
        std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(state_));
        return text;
    }

private:
    std::uint64_t state_ = 0xcbf29ce484222325ULL;
};

std::string Printable(const std::string& line) {
    std::string shown;
    for (unsigned char c : line.substr(0, kShownLength)) {
        if (c >= ' ' && c < 0x7f) {
            shown += static_cast<char>(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            shown += escaped;
        }
    }
    return line.size() > kShownLength ? shown + "..." : shown;
}

// Reads the part imported before and checks that it is the same.
Digest CheckImportedPart(std::ifstream& file, const std::string& path, const std::string& terminal,
                         const ImportMark& mark) {
    Digest digest;
    std::vector<char> buffer(kChunk);
    for (std::uint64_t left = mark.bytes; left > 0;) {
        file.read(buffer.data(),
                  static_cast<std::streamsize>(std::min<std::uint64_t>(left, kChunk)));
        const auto got = static_cast<std::size_t>(file.gcount());
        if (got == 0)
            throw ImportError(path + " is shorter than the " + std::to_string(mark.lines) +
                              " lines imported before for terminal '" + terminal +
                              "': it is another file; nothing imported");
        digest.Add(buffer.data(), got);
        left -= got;
    }
    if (digest.Hex() != Digest(mark.digest).Hex())
        throw ImportError(path + " does not begin with the " + std::to_string(mark.lines) +
                          " lines imported before for terminal '" + terminal +
                          "': it is another file; nothing imported");
    return digest;
}

// The lines after the mark: each complete line is judged, and the mark moves
// past it with the digest of every byte up to there; an unfinished last line
// stays out of the mark.
class LineCollector {
public:
    LineCollector(const ImportMark& mark, Digest digest, std::string receivedAt,
                  std::string terminal)
        : mark_(mark), running_(digest), receivedAt_(std::move(receivedAt)),
          terminal_(std::move(terminal)) {}

    void Feed(const char* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            running_.Add(data + i, 1);
            ++unfinishedBytes_;
            if (data[i] == '\n')
                EndLine();
            else if (line_.size() <= kMaxLineLength)
                line_ += data[i];
        }
    }

    void Finish() { result_.unfinishedLastLine = unfinishedBytes_ > 0; }
    ImportResult& Result() { return result_; }
    const std::vector<StoredRecord>& Records() const { return records_; }
    const ImportMark& NewMark() const { return mark_; }

private:
    void EndLine() {
        ++mark_.lines;
        mark_.bytes += unfinishedBytes_;
        mark_.digest = running_.Hex();
        unfinishedBytes_ = 0;
        std::string text = std::move(line_);
        line_.clear();
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
        Judge(text);
    }

    void Judge(const std::string& text) {
        const auto malformed = [&](std::string reason) {
            result_.malformed.push_back({mark_.lines, std::move(reason), Printable(text)});
        };
        if (text.size() > kMaxLineLength)
            return malformed("line too long");
        if (text.empty())
            return malformed("empty line");
        auto parsed = ParseDataFileLine(text);
        if (const auto* refusal = std::get_if<LineError>(&parsed))
            return malformed(refusal->reason);
        records_.push_back({std::get<AttendanceRecord>(std::move(parsed)), terminal_, receivedAt_});
    }

    ImportMark mark_;
    Digest running_;
    std::string receivedAt_;
    std::string terminal_;
    std::string line_; // kept up to one character past the longest line
    std::uint64_t unfinishedBytes_ = 0;
    ImportResult result_;
    std::vector<StoredRecord> records_;
};

} // namespace

ImportResult ImportDataFile(RecordStore& store, const std::string& terminal,
                            const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw ImportError("cannot open " + path + ": " + std::strerror(errno));
    const ImportMark mark = store.FindImportMark(terminal);
    LineCollector lines(mark, CheckImportedPart(file, path, terminal, mark), UtcTimestampNow(),
                        terminal);
    std::vector<char> buffer(kChunk);
    while (file.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) ||
           file.gcount() > 0)
        lines.Feed(buffer.data(), static_cast<std::size_t>(file.gcount()));
    if (file.bad())
        throw ImportError("cannot read " + path + ": " + std::strerror(errno));
    lines.Finish();

    ImportResult result = std::move(lines.Result());
    result.linesBefore = mark.lines;
    const ImportMark next = lines.NewMark();
    if (next != mark)
        result.added = store.AddImported(terminal, lines.Records(), mark, next);
    result.alreadyHeld = lines.Records().size() - result.added;
    return result;
}

} // namespace lorvent::server
