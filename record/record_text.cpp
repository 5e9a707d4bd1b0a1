#include "record/record_text.h"

#include <chrono>
#include <cstddef>
#include <cstdio>

namespace lorvent::record {

namespace {

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
    return std::chrono::year_month_day{std::chrono::year{year},
                                       std::chrono::month{static_cast<unsigned>(month)},
                                       std::chrono::day{static_cast<unsigned>(day)}}
        .ok();
}

std::string_view ReadTimeProblem(std::string_view text) {
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

} // namespace

std::string WireDateTime(const std::tm& time) {
    char text[64];
    std::snprintf(text, sizeof text, "%02d/%02d/%04d-%02d:%02d", time.tm_mday, time.tm_mon + 1,
                  time.tm_year + 1900, time.tm_hour, time.tm_min);
    return text;
}

std::string RecordText(std::string_view readTime, std::string_view number) {
    std::string text(readTime);
    return text.append(" ").append(number);
}

std::string_view SplitRecordText(std::string_view text, TRecordFields& fields) {
    const std::size_t space = text.find(' ');
    if (space == std::string_view::npos)
        return "missing fields";
    fields = {text.substr(0, space), text.substr(space + 1)};
    if (fields.number.find(' ') != std::string_view::npos)
        return "too many fields";
    return {};
}

std::string_view RecordFieldsProblem(const TRecordFields& fields) {
    if (const std::string_view problem = ReadTimeProblem(fields.readTime); !problem.empty())
        return problem;
    if (!IsCardNumber(fields.number))
        return "card number is not 8 or 10 lower-case hex digits";
    return {};
}

std::string_view RecordTextProblem(std::string_view text) {
    TRecordFields fields;
    if (const std::string_view problem = SplitRecordText(text, fields); !problem.empty())
        return problem;
    return RecordFieldsProblem(fields);
}

} // namespace lorvent::record
