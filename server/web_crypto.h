#pragma once

#include <string>
#include <string_view>

namespace lorvent::server {

// The salted Argon2id hash of `password` in libsodium's string form
// ("$argon2id$v=19$m=65536,t=2,p=1$..."), salt and limits included. The
// interactive limits (64 MiB, two passes, about 0.1 s here) rather than the
// moderate ones (256 MiB, about 0.7 s): a login is checked on the report
// page's only thread, which answers nobody else meanwhile, and repeated
// guesses are slowed down by LoginThrottle instead. Throws std::runtime_error
// when the memory cannot be had.
std::string HashPassword(std::string_view password);

// Whether `password` is the one `hash` (as HashPassword makes it) was made
// of; false for a hash that is not one.
bool PasswordMatches(std::string_view hash, std::string_view password);

// `bytes` random bytes from the system's generator, as lower-case hex.
std::string RandomHex(std::size_t bytes);

// A keyed digest of `text` as hex, `bytes` long (16 to 64): the same text
// and key give the same digest, and without the key it tells nothing of the
// text. `key` is 32 bytes, e.g. from RandomKey.
std::string KeyedDigestHex(std::string_view key, std::string_view text, std::size_t bytes = 32);
std::string RandomKey();

// Compares two tokens in a time that does not depend on where they differ.
bool TokensEqual(std::string_view a, std::string_view b);

} // namespace lorvent::server
