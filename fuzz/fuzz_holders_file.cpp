// The card holders' file parser of `kalvinor-server holders import`.
//
// Input: a whole file, as HR's spreadsheet or anyone else wrote it. Either it
// is refused with a reason that names a line, or every line taken is a card
// the terminals could send, a name and a personal number, a real start day
// or none, in the order of the file, and the text taken is valid UTF-8
// without control characters, so that the database and the reports never
// hold what the file did not say.

#include "fuzz/fuzz_check.h"
#include "server/holders_file.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

bool NoControlCharacters(const std::string& text) {
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lorvent::server;
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    std::vector<HolderLine> lines;
    try {
        lines = ParseHoldersFile(content);
    } catch (const HolderError& error) {
        FUZZ_CHECK(std::string_view(error.what()).starts_with("line "));
        return 0;
    }
    int previous = 0;
    for (const HolderLine& line : lines) {
        FUZZ_CHECK(line.lineNumber > previous);
        previous = line.lineNumber;
        FUZZ_CHECK(NormalizedCard(line.card) == line.card);
        FUZZ_CHECK(!line.name.empty() && NoControlCharacters(line.name));
        FUZZ_CHECK(!line.personalNumber.empty() && NoControlCharacters(line.personalNumber));
        FUZZ_CHECK(NoControlCharacters(line.department));
        FUZZ_CHECK(line.fromDay.empty() ||
                   (line.fromDay.size() == 10 && line.fromDay[4] == '-' && line.fromDay[7] == '-'));
        // Every field taken is text the file held: the line's own bytes.
        FUZZ_CHECK(content.find(line.name) != std::string_view::npos ||
                   line.name.find('"') != std::string::npos);
    }
    return 0;
}
