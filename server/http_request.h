#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace lorvent::server {

// The most a request's head (request line and header lines) and its body
// may hold: the page takes nothing larger than a login form.
constexpr std::size_t kMaxRequestHead = 8192;
constexpr std::size_t kMaxRequestBody = 4096;

// A request that is refused before it is read whole, with the status to
// answer it with.
class BadRequest : public std::runtime_error {
public:
    BadRequest(int answer, const std::string& reason)
        : std::runtime_error(reason), status(answer) {}
    int status;
};

struct HttpRequest {
    std::string method;
    std::string path;    // the target up to '?'
    std::string query;   // after '?', as sent
    std::string cookies; // the Cookie header; "" when none
    std::size_t contentLength = 0;
    std::string body; // filled in by the transport, contentLength bytes
};

// Reads a request head, "\r\n\r\n" included. Throws BadRequest for
// anything but HTTP/1.x, a body longer than kMaxRequestBody (413) or one
// sent in chunks (501): nothing the page serves needs one.
HttpRequest ParseRequestHead(std::string_view head);

// The value of `name` in a query string or a form body
// (application/x-www-form-urlencoded), decoded; nothing when absent or not
// validly encoded.
std::optional<std::string> FormValue(std::string_view form, std::string_view name);
// As FormValue, "" for nothing.
std::string FormText(std::string_view form, std::string_view name);

// The value of cookie `name` in a Cookie header, "" when there is none.
std::string CookieValue(std::string_view cookies, std::string_view name);

// `text` fit to stand as a query value: every byte but letters, digits and
// "-._~/" as %XX.
std::string PercentEncoded(std::string_view text);

} // namespace lorvent::server
