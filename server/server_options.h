#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace lorvent::server {

class UsageError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

struct ServerOptions {
    std::uint16_t port = 11000;                          // 0: any free port
    std::string bindAddress = "127.0.0.1";               // an address literal, not a name
    std::string databasePath = "kalvinor-server.sqlite"; // relative to the working directory
    bool list = false;                                   // print the records and exit
    bool help = false;
};

// Reads the arguments after the program name. Throws UsageError.
ServerOptions ParseServerOptions(const std::vector<std::string>& arguments);

extern const char* const kServerUsage;

} // namespace lorvent::server
