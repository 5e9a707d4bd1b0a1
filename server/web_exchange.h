#pragma once

#include "server/http_request.h"
#include "server/report_site.h"

#include <asio.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace lorvent::server {

// How an exchange begins and ends on its kind of stream: nothing to do on a
// plain socket; the handshake and the closing alert over TLS (tls_transport.h).
template <class Stream> struct StreamSteps;

template <> struct StreamSteps<asio::ip::tcp::socket> {
    static void Begin(asio::ip::tcp::socket&, std::function<void(const asio::error_code&)> then) {
        then({});
    }
    static void End(asio::ip::tcp::socket&, std::function<void()> then) { then(); }
};

// One request and its response on a connection, which then closes; the
// whole exchange must end within kTimeout (plus any delay of the answer), so
// that a client that sends nothing holds nothing for long. The answer of a
// failed login is held back on a timer, never by stopping the thread.
template <class Stream>
class WebExchange : public std::enable_shared_from_this<WebExchange<Stream>> {
public:
    static constexpr std::chrono::seconds kTimeout{10};

    WebExchange(Stream stream, ReportSite& site, std::string clientAddress)
        : stream_(std::move(stream)), site_(site), clientAddress_(std::move(clientAddress)),
          deadline_(stream_.get_executor()), delay_(stream_.get_executor()) {}

    void Start() {
        ArmDeadline(kTimeout);
        StreamSteps<Stream>::Begin(
            stream_, [self = this->shared_from_this()](const asio::error_code& error) {
                if (error)
                    self->Close();
                else
                    self->ReadHead();
            });
    }

private:
    void ArmDeadline(std::chrono::steady_clock::duration after) {
        deadline_.expires_after(after);
        deadline_.async_wait([self = this->shared_from_this()](const asio::error_code& error) {
            if (!error)
                self->Close();
        });
    }

    void ReadHead() {
        asio::async_read_until(
            stream_, asio::dynamic_buffer(input_, kMaxRequestHead), "\r\n\r\n",
            [self = this->shared_from_this()](const asio::error_code& error, std::size_t length) {
                self->OnHead(error, length);
            });
    }

    void OnHead(const asio::error_code& error, std::size_t length) {
        if (error == asio::error::not_found) {
            Send(PlainResponse(413, "The request is too long."));
            return;
        }
        if (error) {
            Close();
            return;
        }
        try {
            request_ = ParseRequestHead(std::string_view(input_).substr(0, length));
        } catch (const BadRequest& bad) {
            Send(PlainResponse(bad.status, bad.what()));
            return;
        }
        input_.erase(0, length);
        if (input_.size() >= request_.contentLength) {
            Answer();
            return;
        }
        asio::async_read(
            stream_, asio::dynamic_buffer(input_, request_.contentLength),
            asio::transfer_exactly(request_.contentLength - input_.size()),
            [self = this->shared_from_this()](const asio::error_code& bodyError, std::size_t) {
                if (bodyError)
                    self->Close();
                else
                    self->Answer();
            });
    }

    void Answer() {
        request_.body = input_.substr(0, request_.contentLength);
        WebResponse response =
            site_.Answer(request_, clientAddress_, std::chrono::steady_clock::now());
        if (response.delay <= std::chrono::steady_clock::duration::zero()) {
            Send(response);
            return;
        }
        ArmDeadline(response.delay + kTimeout);
        delay_.expires_after(response.delay);
        delay_.async_wait([self = this->shared_from_this(),
                           response = std::move(response)](const asio::error_code& error) {
            if (!error)
                self->Send(response);
        });
    }

    // A HEAD request gets the head a GET would, without the body.
    void Send(const WebResponse& response) {
        output_ = ResponseHead(response, response.body.size());
        if (request_.method != "HEAD")
            output_ += response.body;
        asio::async_write(
            stream_, asio::buffer(output_),
            [self = this->shared_from_this()](const asio::error_code& error, std::size_t) {
                if (error)
                    self->Close();
                else
                    StreamSteps<Stream>::End(self->stream_, [self] { self->Close(); });
            });
    }

    void Close() {
        asio::error_code ignored;
        stream_.lowest_layer().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        stream_.lowest_layer().close(ignored);
        deadline_.cancel();
        delay_.cancel();
    }

    Stream stream_;
    ReportSite& site_;
    std::string clientAddress_;
    asio::steady_timer deadline_;
    asio::steady_timer delay_;
    std::string input_;
    HttpRequest request_;
    std::string output_;
};

} // namespace lorvent::server
