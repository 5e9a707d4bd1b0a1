#pragma once

// A self-signed certificate for 127.0.0.1 and its key, as PEM files, made by
// the openssl program (Debian's openssl) for a test's HTTPS server.

#include "support/child_process.h"

#include <filesystem>
#include <stdexcept>
#include <string>

namespace lorvent::testing {

struct TCertificate {
    std::string certificate; // PEM
    std::string key;         // PEM, without a passphrase
};

inline TCertificate MakeCertificate(const std::filesystem::path& dir) {
    TCertificate made{(dir / "cert.pem").string(), (dir / "key.pem").string()};
    TChildProcess::TOptions options;
    options.argv = {"openssl",
                    "req",
                    "-x509",
                    "-newkey",
                    "ec",
                    "-pkeyopt",
                    "ec_paramgen_curve:P-256",
                    "-nodes",
                    "-days",
                    "2",
                    "-subj",
                    "/CN=127.0.0.1",
                    "-addext",
                    "subjectAltName=IP:127.0.0.1",
                    "-keyout",
                    made.key,
                    "-out",
                    made.certificate};
    TChildProcess openssl(options);
    if (openssl.Wait(60s) != 0)
        throw std::runtime_error("openssl could not make a certificate: " + openssl.Stderr());
    return made;
}

} // namespace lorvent::testing
