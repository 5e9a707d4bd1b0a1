#pragma once

#include <string>
#include <string_view>

namespace lorvent {

// The attendance server's connection as the upload uses it: one request line,
// one reply line, strictly alternating. The real one is TCPConn; tests give
// scripted ones. Every operation but Connected and Disconnect may throw.
class TServerConnection {
public:
    virtual ~TServerConnection() = default;
    // Opens a fresh connection, dropping any earlier one.
    virtual void Connect() = 0;
    // Sends text followed by CR LF.
    virtual void WriteLine(std::string_view text) = 0;
    // The next line without its CR LF; an empty text when none came in time.
    virtual std::string ReadLine() = 0;
    virtual bool Connected() const = 0;
    virtual void Disconnect() noexcept = 0;
    // Something about the connection worth a line in the log, each said once;
    // empty when there is nothing new.
    virtual std::string TakeNotice() { return {}; }
};

} // namespace lorvent
