#include "server/text_table.h"

#include <algorithm>
#include <cstdio>

namespace lorvent::server {

namespace {

// UTF-8 continuation bytes (10xxxxxx) do not start a character.
std::size_t Characters(const std::string& text) {
    return std::count_if(text.begin(), text.end(),
                         [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
}

} // namespace

std::string AlignedColumns(const std::vector<std::vector<std::string>>& rows,
                           const std::string& indent) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (std::size_t column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], Characters(row[column]));
    }
    std::string text;
    for (const auto& row : rows) {
        std::string line = indent;
        for (std::size_t column = 0; column < row.size(); ++column) {
            line += row[column];
            if (column + 1 < row.size())
                line.append(widths[column] - Characters(row[column]) + 2, ' ');
        }
        while (line.size() > indent.size() && line.back() == ' ')
            line.pop_back();
        text += line + '\n';
    }
    return text;
}

std::string HoursText(long long minutes, char decimalPoint) {
    const long long hundredths = (minutes * 100 + 30) / 60;
    char text[32];
    std::snprintf(text, sizeof text, "%lld%c%02lld", hundredths / 100, decimalPoint,
                  hundredths % 100);
    return text;
}

} // namespace lorvent::server
