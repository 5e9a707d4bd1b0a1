#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace lorvent::server {

struct WebResponse {
    int status = 200;
    std::string contentType;
    std::string body;
    // More header fields: Set-Cookie, Location, Content-Disposition, ...
    std::vector<std::pair<std::string, std::string>> headers;
    // How long the answer is held back before it is sent (a failed login).
    std::chrono::steady_clock::duration delay{};
};

WebResponse PlainResponse(int status, std::string text);
// 303: the browser asks for `location` (a path of this page) with GET.
WebResponse Redirect(const std::string& location);

// The status line and header fields of `response` whose body is `length`
// bytes; the connection closes after it. A header field whose name or value
// holds a line end or a NUL is left out, so that nothing a request brought
// can add one of its own.
std::string ResponseHead(const WebResponse& response, std::size_t length);

} // namespace lorvent::server
