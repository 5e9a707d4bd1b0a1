#include "server/report_web_server.h"

#include "server/day_report.h"
#include "server/server_options.h"

#include <chrono>
#include <ctime>
#include <memory>

namespace lorvent::server {

namespace {

constexpr std::size_t kMaxRequestHead = 8192;
constexpr std::chrono::seconds kExchangeTimeout{10};

const char* StatusText(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 503:
        return "Service Unavailable";
    }
    return "Internal Server Error";
}

WebResponse Plain(int status, std::string text) {
    return {status, "text/plain; charset=utf-8", std::move(text) + "\n"};
}

// The value of `name` in a query string, "" when absent.
std::string QueryValue(std::string_view query, std::string_view name) {
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        if (pair.size() > name.size() && pair.starts_with(name) && pair[name.size()] == '=')
            return std::string(pair.substr(name.size() + 1));
        if (amp == std::string_view::npos)
            break;
        query.remove_prefix(amp + 1);
    }
    return {};
}

std::string Head(const WebResponse& response, std::size_t length) {
    return "HTTP/1.1 " + std::to_string(response.status) + " " + StatusText(response.status) +
           "\r\nContent-Type: " + response.contentType +
           "\r\nContent-Length: " + std::to_string(length) +
           "\r\nCache-Control: no-store"
           "\r\nX-Content-Type-Options: nosniff"
           "\r\nContent-Security-Policy: default-src 'none'; style-src 'unsafe-inline';"
           " form-action 'self'"
           "\r\nConnection: close\r\n\r\n";
}

} // namespace

WebResponse AnswerWebRequest(std::string_view head, RecordStore& store, const std::string& today,
                             LineSink& log) {
    const std::string_view requestLine = head.substr(0, head.find("\r\n"));
    const std::size_t space = requestLine.find(' ');
    const std::size_t secondSpace = requestLine.find(' ', space + 1);
    if (space == std::string_view::npos || secondSpace == std::string_view::npos ||
        !requestLine.substr(secondSpace + 1).starts_with("HTTP/1."))
        return Plain(400, "Not an HTTP request.");
    const std::string_view method = requestLine.substr(0, space);
    const std::string_view target = requestLine.substr(space + 1, secondSpace - space - 1);
    if (method != "GET" && method != "HEAD")
        return Plain(405, "This page is read-only.");
    const std::string_view path = target.substr(0, target.find('?'));
    const std::string_view query =
        target.find('?') == std::string_view::npos ? "" : target.substr(target.find('?') + 1);
    const bool csv = path == "/report.csv";
    if (path != "/" && !csv)
        return Plain(404, "No such page; the report is at /.");
    std::string day = QueryValue(query, "day");
    if (day.empty())
        day = today;
    if (!IsDay(day))
        return Plain(400, "The day must be given as YYYY-MM-DD.");
    try {
        const DayReport report = BuildDayReport(store, day);
        if (csv)
            return {200, "text/csv; charset=utf-8", ReportCsv(report)};
        return {200, "text/html; charset=utf-8", ReportPage(report)};
    } catch (const StoreError& error) {
        log.Write(std::string("kalvinor-server: web page: ") + error.what());
        return Plain(503, "The database cannot be read just now; try again shortly.");
    }
}

// One request and its response on a connection, which then closes.
class ReportWebServer::Exchange : public std::enable_shared_from_this<Exchange> {
public:
    Exchange(ReportWebServer& server, asio::ip::tcp::socket socket)
        : server_(server), socket_(std::move(socket)), timer_(socket_.get_executor()) {}

    void Start() {
        timer_.expires_after(kExchangeTimeout);
        timer_.async_wait([self = shared_from_this()](const asio::error_code& error) {
            if (!error)
                self->Close();
        });
        asio::async_read_until(
            socket_, asio::dynamic_buffer(input_, kMaxRequestHead), "\r\n\r\n",
            [self = shared_from_this()](const asio::error_code& error, std::size_t length) {
                self->OnHead(error, length);
            });
    }

private:
    void OnHead(const asio::error_code& error, std::size_t length) {
        if (error == asio::error::not_found) {
            Send(Plain(400, "The request is too long."), false);
            return;
        }
        if (error) {
            Close();
            return;
        }
        const std::string_view head(input_.data(), length);
        Send(AnswerWebRequest(head, server_.store_, server_.today_(), server_.log_),
             head.starts_with("HEAD "));
    }

    void Send(const WebResponse& response, bool headOnly) {
        output_ = Head(response, response.body.size());
        if (!headOnly)
            output_ += response.body;
        asio::async_write(
            socket_, asio::buffer(output_),
            [self = shared_from_this()](const asio::error_code&, std::size_t) { self->Close(); });
    }

    void Close() {
        asio::error_code ignored;
        socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        timer_.cancel();
    }

    ReportWebServer& server_;
    asio::ip::tcp::socket socket_;
    asio::steady_timer timer_;
    std::string input_;
    std::string output_;
};

ReportWebServer::ReportWebServer(asio::io_context& io, const asio::ip::tcp::endpoint& endpoint,
                                 RecordStore& store, LineSink& log,
                                 std::function<std::string()> today)
    : acceptor_(io, endpoint, log, "web page",
                [this](asio::ip::tcp::socket socket) {
                    std::make_shared<Exchange>(*this, std::move(socket))->Start();
                }),
      store_(store), log_(log), today_(std::move(today)) {}

ReportWebServer::~ReportWebServer() = default;

void ReportWebServer::Stop() {
    acceptor_.Stop();
}

std::string LocalToday() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    return text;
}

} // namespace lorvent::server
