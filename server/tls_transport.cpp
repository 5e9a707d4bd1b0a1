#include "server/tls_transport.h"

#include <openssl/ssl.h>

namespace lorvent::server {

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& file,
                       const asio::error_code& error) {
    throw TlsSetupError("cannot use " + what + " '" + file + "': " + error.message());
}

} // namespace

asio::ssl::context LoadTlsContext(const std::string& certificateFile, const std::string& keyFile) {
    asio::ssl::context context(asio::ssl::context::tls_server);
    context.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                        asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                        asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
    SSL_CTX_set_min_proto_version(context.native_handle(), TLS1_2_VERSION);
    context.set_password_callback(
        [](std::size_t, asio::ssl::context::password_purpose) { return std::string(); });
    asio::error_code error;
    context.use_certificate_chain_file(certificateFile, error);
    if (error)
        Fail("the certificate", certificateFile, error);
    // OpenSSL checks here that the key is the certificate's.
    context.use_private_key_file(keyFile, asio::ssl::context::pem, error);
    if (error)
        Fail("the key", keyFile, error);
    return context;
}

} // namespace lorvent::server
