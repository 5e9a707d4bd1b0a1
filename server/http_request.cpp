#include "server/http_request.h"

#include "server/blank_trim.h"

#include <charconv>

namespace lorvent::server {

namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

bool IsUnreserved(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~' || c == '/';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "%XX" and '+' decoded; nothing for a '%' without two hex digits.
std::optional<std::string> FormDecoded(std::string_view text) {
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            decoded += ' ';
        } else if (text[i] != '%') {
            decoded += text[i];
        } else {
            if (i + 2 >= text.size())
                return std::nullopt;
            const int high = HexDigit(text[i + 1]);
            const int low = HexDigit(text[i + 2]);
            if (high < 0 || low < 0)
                return std::nullopt;
            decoded += static_cast<char>(high * 16 + low);
            i += 2;
        }
    }
    return decoded;
}

std::size_t ContentLength(std::string_view value) {
    std::size_t length = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
    if (value.empty() || error == std::errc::result_out_of_range)
        throw BadRequest(413, "The request is too long.");
    if (error != std::errc() || end != value.data() + value.size())
        throw BadRequest(400, "Content-Length is not a number.");
    if (length > kMaxRequestBody)
        throw BadRequest(413, "The request is too long.");
    return length;
}

// One "Name: value" line into the request.
void TakeHeader(HttpRequest& request, std::string_view line, bool& sawLength) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0 || line.front() == ' ' ||
        line.front() == '\t')
        throw BadRequest(400, "A header line is malformed.");
    const std::string name = Lower(line.substr(0, colon));
    const std::string_view value = Trimmed(line.substr(colon + 1));
    if (name == "content-length") {
        if (sawLength)
            throw BadRequest(400, "Content-Length is given twice.");
        sawLength = true;
        request.contentLength = ContentLength(value);
    } else if (name == "transfer-encoding") {
        throw BadRequest(501, "A body in chunks is not taken.");
    } else if (name == "cookie") {
        request.cookies += (request.cookies.empty() ? "" : "; ") + std::string(value);
    }
}

} // namespace

HttpRequest ParseRequestHead(std::string_view head) {
    const std::size_t lineEnd = head.find("\r\n");
    const std::string_view requestLine = head.substr(0, lineEnd);
    const std::size_t space = requestLine.find(' ');
    const std::size_t secondSpace = requestLine.find(' ', space + 1);
    if (lineEnd == std::string_view::npos || space == std::string_view::npos ||
        secondSpace == std::string_view::npos ||
        !requestLine.substr(secondSpace + 1).starts_with("HTTP/1."))
        throw BadRequest(400, "Not an HTTP request.");
    HttpRequest request;
    request.method = requestLine.substr(0, space);
    const std::string_view target = requestLine.substr(space + 1, secondSpace - space - 1);
    const std::size_t question = target.find('?');
    request.path = target.substr(0, question);
    if (question != std::string_view::npos)
        request.query = target.substr(question + 1);
    bool sawLength = false;
    std::string_view rest = head.substr(lineEnd + 2);
    while (!rest.empty() && !rest.starts_with("\r\n")) {
        const std::size_t end = rest.find("\r\n");
        TakeHeader(request, rest.substr(0, end), sawLength);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 2);
    }
    return request;
}

std::optional<std::string> FormValue(std::string_view form, std::string_view name) {
    while (!form.empty()) {
        const std::size_t amp = form.find('&');
        const std::string_view pair = form.substr(0, amp);
        if (pair.size() >= name.size() + 1 && pair.starts_with(name) && pair[name.size()] == '=')
            return FormDecoded(pair.substr(name.size() + 1));
        if (amp == std::string_view::npos)
            break;
        form.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

std::string FormText(std::string_view form, std::string_view name) {
    return FormValue(form, name).value_or("");
}

std::string CookieValue(std::string_view cookies, std::string_view name) {
    while (!cookies.empty()) {
        const std::size_t semicolon = cookies.find(';');
        const std::string_view pair = Trimmed(cookies.substr(0, semicolon));
        if (pair.size() > name.size() && pair.starts_with(name) && pair[name.size()] == '=')
            return std::string(pair.substr(name.size() + 1));
        if (semicolon == std::string_view::npos)
            break;
        cookies.remove_prefix(semicolon + 1);
    }
    return {};
}

std::string PercentEncoded(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : text) {
        if (IsUnreserved(static_cast<char>(c))) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 15];
        }
    }
    return encoded;
}

} // namespace lorvent::server
