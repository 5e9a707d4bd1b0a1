#include "server/record_line.h"

#include <array>
#include <chrono>
#include <cstddef>

namespace lorvent::server {

namespace {

constexpr std::size_t kReadTimeLength = 16; // dd/mm/yyyy-hh:nn

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsLowerHexDigit(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'f');
}

int DigitsValue(std::string_view digits) {
    int value = 0;
    for (char c : digits)
        value = value * 10 + (c - '0');
    return value;
}

// Digits everywhere but at the separators, and each separator where it belongs.
bool HasReadTimeShape(std::string_view text) {
    constexpr std::string_view kShape = "00/00/0000-00:00";
    if (text.size() != kShape.size())
        return false;
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        const bool ok = kShape[i] == '0' ? IsDigit(text[i]) : text[i] == kShape[i];
        if (!ok)
            return false;
    }
    return true;
}

bool IsRealDate(int year, int month, int day) {
    using namespace std::chrono;
    return year_month_day{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                          std::chrono::day{static_cast<unsigned>(day)}}
        .ok();
}

// "" when the read time is sound, otherwise why not.
std::string_view CheckReadTime(std::string_view text) {
    if (!HasReadTimeShape(text))
        return "read time is not dd/mm/yyyy-hh:nn";
    const int day = DigitsValue(text.substr(0, 2));
    const int month = DigitsValue(text.substr(3, 2));
    const int year = DigitsValue(text.substr(6, 4));
    if (!IsRealDate(year, month, day))
        return "no such date";
    if (DigitsValue(text.substr(11, 2)) > 23 || DigitsValue(text.substr(14, 2)) > 59)
        return "no such time of day";
    return {};
}

bool IsCardNumber(std::string_view text) {
    if (text.size() != 8 && text.size() != 10)
        return false;
    for (char c : text) {
        if (!IsLowerHexDigit(c))
            return false;
    }
    return true;
}

std::string SortableReadTime(std::string_view readTime) {
    std::string sortable;
    sortable.reserve(kReadTimeLength);
    sortable.append(readTime.substr(6, 4)).append("-");
    sortable.append(readTime.substr(3, 2)).append("-");
    sortable.append(readTime.substr(0, 2)).append(" ");
    sortable.append(readTime.substr(11, 5));
    return sortable;
}

// Splits at every single space, so that a doubled or trailing space shows
// up as an empty field and is refused with the rest. "" when the count fits.
template <std::size_t N>
std::string SplitFields(std::string_view line, std::array<std::string_view, N>& fields) {
    std::size_t count = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t space = line.find(' ', start);
        if (count == N)
            return "too many fields";
        fields[count++] = line.substr(start, space - start);
        if (space == std::string_view::npos)
            break;
        start = space + 1;
    }
    return count < N ? "missing fields" : "";
}

std::variant<AttendanceRecord, LineError> RecordFrom(std::string_view readTime,
                                                     std::string_view number) {
    if (const std::string_view problem = CheckReadTime(readTime); !problem.empty())
        return LineError{std::string(problem)};
    if (!IsCardNumber(number))
        return LineError{"card number is not 8 or 10 lower-case hex digits"};
    return AttendanceRecord{std::string(readTime), SortableReadTime(readTime), std::string(number)};
}

} // namespace

std::variant<AttendanceRecord, LineError> ParseRecordLine(std::string_view line) {
    std::array<std::string_view, 3> fields;
    if (std::string problem = SplitFields(line, fields); !problem.empty())
        return LineError{std::move(problem)};
    if (fields[0] != "L")
        return LineError{"unknown request"};
    return RecordFrom(fields[1], fields[2]);
}

std::variant<AttendanceRecord, LineError> ParseDataFileLine(std::string_view line) {
    std::array<std::string_view, 2> fields;
    if (std::string problem = SplitFields(line, fields); !problem.empty())
        return LineError{std::move(problem)};
    return RecordFrom(fields[0], fields[1]);
}

} // namespace lorvent::server
