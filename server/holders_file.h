#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lorvent::server {

// A card holders' file or a change of the holders that cannot be taken; the
// text names the line at fault ("line 7: ...") where there is one.
class HolderError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One line of a card holders' file.
struct HolderLine {
    int lineNumber = 0;
    std::string card; // as the terminals send it: lower-case hex
    std::string name;
    std::string personalNumber;
    std::string department; // may be empty
    std::string fromDay;    // "yyyy-mm-dd", or "" when the line gives no start day
};

// Reads a card holders' file as a spreadsheet saves it: UTF-8 (a byte order
// mark is skipped), lines of card number, name, personal number, department
// and an optional start day (d.m.yyyy or yyyy-mm-dd), separated by ';' or
// ',' (whichever the first line uses), fields in double quotes where they
// hold the separator. A first line whose first field has no digit is a
// header; empty lines are skipped. Throws HolderError naming the first line
// at fault. Pure, so that it can be fed anything.
std::vector<HolderLine> ParseHoldersFile(std::string_view content);

// The card number as the terminals send it (lower case), or nothing when the
// text is not 8 or 10 hex digits.
std::optional<std::string> NormalizedCard(std::string_view text);

} // namespace lorvent::server
