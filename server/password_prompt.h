#pragma once

#include <cstddef>
#include <istream>
#include <string>

namespace lorvent::server {

constexpr std::size_t kMinPasswordCharacters = 8;
constexpr std::size_t kMaxPasswordBytes = 1024;

// `line` as a new password: its line end taken off; throws
// std::invalid_argument when it is shorter than kMinPasswordCharacters
// (UTF-8 characters) or longer than kMaxPasswordBytes.
std::string CheckedNewPassword(std::string line);

// A new password for `user`, from standard input: asked for twice, without
// echo, when it is a terminal; otherwise its first line, so that scripts and
// tests can give it. Throws std::runtime_error (std::invalid_argument for a
// password refused by CheckedNewPassword).
std::string ReadNewPassword(const std::string& user);

} // namespace lorvent::server
