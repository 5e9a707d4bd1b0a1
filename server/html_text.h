#pragma once

#include <string>
#include <string_view>

namespace lorvent::server {

// `text` fit to stand in an HTML page, as element text or as a quoted
// attribute value: & < > " ' written as entities.
inline std::string HtmlEscaped(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        case '\'':
            escaped += "&#39;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

} // namespace lorvent::server
