#pragma once

#include "server/web_exchange.h"

#include <asio.hpp>
#include <asio/ssl.hpp>

#include <stdexcept>
#include <string>

namespace lorvent::server {

class TlsSetupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A server's TLS context from a PEM certificate (with any intermediate
// certificates after it) and its PEM private key, TLS 1.2 at least. A key
// protected by a passphrase is refused rather than asked for: the server
// runs as a service, without a terminal. Throws TlsSetupError naming the file
// and OpenSSL's reason.
asio::ssl::context LoadTlsContext(const std::string& certificateFile, const std::string& keyFile);

using TlsStream = asio::ssl::stream<asio::ip::tcp::socket>;

// The handshake before the request; the closing alert after the answer.
template <> struct StreamSteps<TlsStream> {
    static void Begin(TlsStream& stream, std::function<void(const asio::error_code&)> then) {
        stream.async_handshake(asio::ssl::stream_base::server, std::move(then));
    }
    static void End(TlsStream& stream, std::function<void()> then) {
        stream.async_shutdown([then = std::move(then)](const asio::error_code&) { then(); });
    }
};

} // namespace lorvent::server
