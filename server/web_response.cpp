#include "server/web_response.h"

namespace lorvent::server {

namespace {

const char* StatusText(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 303:
        return "See Other";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Content Too Large";
    case 429:
        return "Too Many Requests";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    }
    return "Internal Server Error";
}

bool FitsOneLine(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

} // namespace

WebResponse PlainResponse(int status, std::string text) {
    return {status, "text/plain; charset=utf-8", std::move(text) + "\n", {}, {}};
}

WebResponse Redirect(const std::string& location) {
    WebResponse response = PlainResponse(303, location);
    response.headers.emplace_back("Location", location);
    return response;
}

// The page has no script and loads nothing from elsewhere; no other site
// may frame it, and no address of it goes to another site as a referrer.
std::string ResponseHead(const WebResponse& response, std::size_t length) {
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                       StatusText(response.status) + "\r\nContent-Type: " + response.contentType +
                       "\r\nContent-Length: " + std::to_string(length) +
                       "\r\nCache-Control: no-store"
                       "\r\nX-Content-Type-Options: nosniff"
                       "\r\nReferrer-Policy: no-referrer"
                       "\r\nContent-Security-Policy: default-src 'none'; style-src 'unsafe-inline';"
                       " form-action 'self'; frame-ancestors 'none'";
    for (const auto& [name, value] : response.headers)
        if (FitsOneLine(name) && FitsOneLine(value))
            head += "\r\n" + name + ": " + value;
    return head + "\r\nConnection: close\r\n\r\n";
}

} // namespace lorvent::server
