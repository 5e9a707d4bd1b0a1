#include "server/web_crypto.h"

#include <sodium.h>

#include <stdexcept>

namespace lorvent::server {

namespace {

// sodium_init may run any number of times, from any thread.
void UseSodium() {
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot start: no source of random bytes");
}

std::string Hex(const unsigned char* data, std::size_t size) {
    std::string hex(size * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), data, size);
    hex.pop_back();
    return hex;
}

const unsigned char* Bytes(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

} // namespace

std::string HashPassword(std::string_view password) {
    UseSodium();
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(
            hash, password.data(), password.size(), crypto_pwhash_argon2id_OPSLIMIT_INTERACTIVE,
            crypto_pwhash_argon2id_MEMLIMIT_INTERACTIVE, crypto_pwhash_ALG_ARGON2ID13) != 0)
        throw std::runtime_error("not enough memory to hash the password");
    return hash;
}

bool PasswordMatches(std::string_view hash, std::string_view password) {
    UseSodium();
    // The hash must end where libsodium expects its terminating zero.
    if (hash.empty() || hash.size() >= crypto_pwhash_STRBYTES)
        return false;
    const std::string terminated(hash);
    return crypto_pwhash_str_verify(terminated.c_str(), password.data(), password.size()) == 0;
}

std::string RandomHex(std::size_t bytes) {
    UseSodium();
    std::string random(bytes, '\0');
    randombytes_buf(random.data(), random.size());
    return Hex(Bytes(random), random.size());
}

std::string RandomKey() {
    UseSodium();
    std::string key(crypto_generichash_KEYBYTES, '\0');
    randombytes_buf(key.data(), key.size());
    return key;
}

std::string KeyedDigestHex(std::string_view key, std::string_view text, std::size_t bytes) {
    UseSodium();
    unsigned char digest[crypto_generichash_BYTES_MAX];
    if (bytes < crypto_generichash_BYTES_MIN || bytes > sizeof digest ||
        key.size() < crypto_generichash_KEYBYTES_MIN ||
        key.size() > crypto_generichash_KEYBYTES_MAX)
        throw std::invalid_argument("KeyedDigestHex: digest or key of a size BLAKE2b has not");
    crypto_generichash(digest, bytes, Bytes(text), text.size(), Bytes(key), key.size());
    return Hex(digest, bytes);
}

bool TokensEqual(std::string_view a, std::string_view b) {
    return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace lorvent::server
