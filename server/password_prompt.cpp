#include "server/password_prompt.h"

#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <stdexcept>

namespace lorvent::server {

namespace {

// The terminal's settings while echo is off, put back by a signal that
// ends the program in the middle of the prompt too.
termios savedTerminal;

void RestoreTerminalAndDie(int signal) {
    tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

std::string ReadLineWithoutEcho(const std::string& prompt) {
    std::cerr << prompt << std::flush;
    if (tcgetattr(STDIN_FILENO, &savedTerminal) != 0)
        throw std::runtime_error("cannot read the terminal's settings");
    termios quiet = savedTerminal;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    const auto previousInt = std::signal(SIGINT, RestoreTerminalAndDie);
    const auto previousTerm = std::signal(SIGTERM, RestoreTerminalAndDie);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::string line;
    const bool read = static_cast<bool>(std::getline(std::cin, line));
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
    if (!read)
        throw std::runtime_error("no password given");
    return line;
}

std::size_t Utf8Characters(const std::string& text) {
    std::size_t count = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80)
            ++count;
    return count;
}

} // namespace

std::string CheckedNewPassword(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (line.size() > kMaxPasswordBytes)
        throw std::invalid_argument("the password is longer than " +
                                    std::to_string(kMaxPasswordBytes) + " bytes");
    if (Utf8Characters(line) < kMinPasswordCharacters)
        throw std::invalid_argument("the password needs at least " +
                                    std::to_string(kMinPasswordCharacters) + " characters");
    return line;
}

std::string ReadNewPassword(const std::string& user) {
    if (!isatty(STDIN_FILENO)) {
        std::string line;
        if (!std::getline(std::cin, line))
            throw std::runtime_error("no password on standard input");
        return CheckedNewPassword(line);
    }
    const std::string password =
        CheckedNewPassword(ReadLineWithoutEcho("Password for " + user + ": "));
    if (ReadLineWithoutEcho("The same again: ") != password)
        throw std::runtime_error("the two passwords differ; nothing was stored");
    return password;
}

} // namespace lorvent::server
