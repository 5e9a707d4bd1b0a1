#include "server/holders_file.h"

#include "server/blank_trim.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <map>

namespace lorvent::server {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::size_t kColumns = 4;
constexpr std::size_t kColumnsWithStartDay = 5;
constexpr std::size_t kLongestText = 200;
constexpr std::size_t kLongestPersonalNumber = 32;

[[noreturn]] void Refuse(int lineNumber, const std::string& reason) {
    throw HolderError("line " + std::to_string(lineNumber) + ": " + reason);
}

// The length of the UTF-8 sequence that `lead` starts, checking the bytes
// after it: no overlong forms, no surrogates, nothing past U+10FFFF.
std::size_t Utf8SequenceAt(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (at + length > text.size() || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    return length;
}

bool IsUtf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = Utf8SequenceAt(text, at);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

// A field in double quotes may hold the separator; "" in it is one quote.
std::vector<std::string> SplitFields(std::string_view line, char separator, int lineNumber) {
    std::vector<std::string> fields;
    std::size_t at = 0;
    while (true) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
            ++at;
        std::string field;
        if (at < line.size() && line[at] == '"') {
            for (++at;; ++at) {
                if (at == line.size())
                    Refuse(lineNumber, "a quote is not closed");
                if (line[at] == '"' && (at + 1 == line.size() || line[at + 1] != '"'))
                    break;
                if (line[at] == '"')
                    ++at;
                field += line[at];
            }
            const std::size_t end = std::min(line.find(separator, at), line.size());
            if (!Trimmed(line.substr(at + 1, end - at - 1)).empty())
                Refuse(lineNumber, "text after a closing quote");
            at = end;
        } else {
            const std::size_t end = std::min(line.find(separator, at), line.size());
            field = line.substr(at, end - at);
            at = end;
        }
        fields.emplace_back(Trimmed(field));
        if (at == line.size())
            return fields;
        ++at; // the separator
    }
}

// ';' when the first line has one outside quotes, else ','.
char SeparatorOf(std::string_view firstLine) {
    bool quoted = false;
    for (char c : firstLine) {
        if (c == '"')
            quoted = !quoted;
        else if (c == ';' && !quoted)
            return ';';
    }
    return ',';
}

bool HasDigit(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool ReadNumber(std::string_view text, int& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

std::optional<std::string> DayText(int yearNumber, int monthNumber, int dayNumber) {
    using namespace std::chrono;
    if (yearNumber < 1900 || yearNumber > 9999 || monthNumber < 1 || monthNumber > 12 ||
        dayNumber < 1 || dayNumber > 31)
        return std::nullopt;
    if (!year_month_day{year{yearNumber}, month{static_cast<unsigned>(monthNumber)},
                        day{static_cast<unsigned>(dayNumber)}}
             .ok())
        return std::nullopt;
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", yearNumber, monthNumber, dayNumber);
    return text;
}

// "d.m.yyyy" (as Czech spreadsheets write dates, spaces after the dots
// allowed) or "yyyy-mm-dd", as "yyyy-mm-dd".
std::optional<std::string> ParseStartDay(const std::string& text) {
    int parts[3];
    const bool iso = text.size() == 10 && text[4] == '-' && text[7] == '-';
    if (iso) {
        if (!ReadNumber(std::string_view(text).substr(0, 4), parts[0]) ||
            !ReadNumber(std::string_view(text).substr(5, 2), parts[1]) ||
            !ReadNumber(std::string_view(text).substr(8, 2), parts[2]))
            return std::nullopt;
        return DayText(parts[0], parts[1], parts[2]);
    }
    std::string_view rest = text;
    for (int i = 0; i < 3; ++i) {
        const std::size_t dot = i < 2 ? rest.find('.') : rest.size();
        if (dot == std::string_view::npos || !ReadNumber(Trimmed(rest.substr(0, dot)), parts[i]))
            return std::nullopt;
        rest.remove_prefix(std::min(dot + 1, rest.size()));
    }
    return DayText(parts[2], parts[1], parts[0]);
}

bool HasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

std::string CheckedText(const std::string& text, const char* what, int lineNumber,
                        std::size_t longest) {
    if (HasControlCharacter(text))
        Refuse(lineNumber, std::string("the ") + what + " holds a control character");
    if (text.size() > longest)
        Refuse(lineNumber, std::string("the ") + what + " is longer than " +
                               std::to_string(longest) + " bytes");
    return text;
}

HolderLine ReadHolderLine(std::vector<std::string> fields, int lineNumber) {
    while (fields.size() > kColumnsWithStartDay && fields.back().empty())
        fields.pop_back(); // a spreadsheet writes the empty columns of a wider sheet
    if (fields.size() < kColumns || fields.size() > kColumnsWithStartDay)
        Refuse(lineNumber, std::to_string(fields.size()) +
                               " fields; expected card number, name, personal number, "
                               "department and an optional start day");
    HolderLine line;
    line.lineNumber = lineNumber;
    const std::optional<std::string> card = NormalizedCard(fields[0]);
    if (!card)
        Refuse(lineNumber, "card number '" + fields[0] + "' is not 8 or 10 hex digits");
    line.card = *card;
    line.name = CheckedText(fields[1], "name", lineNumber, kLongestText);
    if (line.name.empty())
        Refuse(lineNumber, "no name");
    line.personalNumber = fields[2];
    if (line.personalNumber.empty())
        Refuse(lineNumber, "no personal number");
    if (line.personalNumber.size() > kLongestPersonalNumber ||
        std::any_of(line.personalNumber.begin(), line.personalNumber.end(),
                    [](unsigned char c) { return c <= ' ' || c == 0x7f; }))
        Refuse(lineNumber,
               "personal number '" + line.personalNumber + "' is not one word of at most 32 bytes");
    line.department = CheckedText(fields[3], "department", lineNumber, kLongestText);
    if (fields.size() == kColumnsWithStartDay && !fields[4].empty()) {
        const std::optional<std::string> day = ParseStartDay(fields[4]);
        if (!day)
            Refuse(lineNumber, "start day '" + fields[4] + "' is not d.m.yyyy or yyyy-mm-dd");
        line.fromDay = *day;
    }
    return line;
}

// One personal number is one person: two names for it are a typing error.
void CheckOneNamePerPerson(const std::vector<HolderLine>& lines) {
    std::map<std::string, const HolderLine*> first;
    for (const HolderLine& line : lines) {
        const auto [seen, added] = first.emplace(line.personalNumber, &line);
        if (!added && seen->second->name != line.name)
            Refuse(line.lineNumber, "personal number " + line.personalNumber + " is '" +
                                        seen->second->name + "' on line " +
                                        std::to_string(seen->second->lineNumber));
    }
}

} // namespace

std::optional<std::string> NormalizedCard(std::string_view text) {
    if (text.size() != 8 && text.size() != 10)
        return std::nullopt;
    std::string card;
    for (char c : text) {
        const char lower = c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
        if (!((lower >= '0' && lower <= '9') || (lower >= 'a' && lower <= 'f')))
            return std::nullopt;
        card += lower;
    }
    return card;
}

std::vector<HolderLine> ParseHoldersFile(std::string_view content) {
    if (content.starts_with(kByteOrderMark))
        content.remove_prefix(kByteOrderMark.size());
    std::vector<HolderLine> lines;
    std::optional<char> separator;
    int lineNumber = 0;
    for (std::size_t start = 0; start < content.size();) {
        const std::size_t end = std::min(content.find('\n', start), content.size());
        std::string_view text = content.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (text.ends_with('\r'))
            text.remove_suffix(1);
        if (!IsUtf8(text))
            Refuse(lineNumber, "not UTF-8 text (save the sheet as CSV UTF-8)");
        const bool first = !separator;
        if (first && Trimmed(text).empty())
            continue;
        if (first)
            separator = SeparatorOf(text);
        const std::vector<std::string> fields = SplitFields(text, *separator, lineNumber);
        if (std::all_of(fields.begin(), fields.end(), [](const auto& f) { return f.empty(); }))
            continue;
        if (first && !HasDigit(fields[0]) && !NormalizedCard(fields[0]))
            continue; // the header
        lines.push_back(ReadHolderLine(fields, lineNumber));
    }
    CheckOneNamePerPerson(lines);
    return lines;
}

} // namespace lorvent::server
