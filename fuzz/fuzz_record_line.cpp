// The attendance server's request line parser, and its data-file line parser.
//
// Input: one line, as the server hands it over without its CR LF. A record is
// accepted exactly when the line is "L dd/mm/yyyy-hh:nn number" with a date
// that exists, a time of day, and 8 or 10 lower-case hex digits; the fields
// it returns are the line's own, and the sortable time their reordering. The
// same line as a data-file line is accepted exactly when "L " and it would be.

#include "fuzz/fuzz_check.h"
#include "server/record_line.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

bool Digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

bool LeapYear(int year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month) {
    constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && LeapYear(year) ? 29 : kDays[month - 1];
}

bool ModelReadTime(std::string_view text) {
    if (text.size() != 16 || text[2] != '/' || text[5] != '/' || text[10] != '-' || text[13] != ':')
        return false;
    int day = 0, month = 0, year = 0, hour = 0, minute = 0;
    if (!Digits(text, 0, 2, day) || !Digits(text, 3, 2, month) || !Digits(text, 6, 4, year) ||
        !Digits(text, 11, 2, hour) || !Digits(text, 14, 2, minute))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
        return false;
    return hour <= 23 && minute <= 59;
}

bool ModelNumber(std::string_view text) {
    if (text.size() != 8 && text.size() != 10)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

bool ModelAccepts(std::string_view line) {
    if (line.size() < 2 || line.substr(0, 2) != "L ")
        return false;
    const std::string_view rest = line.substr(2);
    if (rest.size() < 17 || rest[16] != ' ')
        return false;
    return ModelReadTime(rest.substr(0, 16)) && ModelNumber(rest.substr(17));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lorvent::server;
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const auto asDataFileLine = ParseDataFileLine(line);
    FUZZ_CHECK(std::holds_alternative<AttendanceRecord>(asDataFileLine) ==
               ModelAccepts("L " + std::string(line)));
    const auto parsed = ParseRecordLine(line);
    const bool accepted = std::holds_alternative<AttendanceRecord>(parsed);
    FUZZ_CHECK(accepted == ModelAccepts(line));
    if (!accepted) {
        FUZZ_CHECK(!std::get<LineError>(parsed).reason.empty());
        return 0;
    }
    const auto& record = std::get<AttendanceRecord>(parsed);
    FUZZ_CHECK(line == "L " + record.readTime + " " + record.number);
    const std::string& t = record.readTime;
    FUZZ_CHECK(record.readAt == t.substr(6, 4) + "-" + t.substr(3, 2) + "-" + t.substr(0, 2) + " " +
                                    t.substr(11, 5));
    return 0;
}
