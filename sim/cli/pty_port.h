#pragma once

// The reader's end of a pseudo-terminal: the program under test opens the
// slave side as its serial port. We open the slave side too, set it raw and
// keep it open, so nothing is echoed or translated before the program sets
// its own mode, and the line does not hang up between the program's opens.

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace lorvent::sim::cli {

class TPtyPort {
public:
    TPtyPort() = default;
    TPtyPort(const TPtyPort&) = delete;
    TPtyPort& operator=(const TPtyPort&) = delete;
    ~TPtyPort() { Close(); }

    // Throws std::system_error naming the call that failed.
    void Open();
    // The program's end sees a hang-up; its device path goes away.
    void Close();
    bool IsOpen() const { return master_ >= 0; }
    int Fd() const { return master_; }
    // Our own fd on the program's side.
    int SlaveFd() const { return slave_; }
    const std::string& SlavePath() const { return slavePath_; }

    // Non-blocking. Return the count moved, 0 when nothing can move now, -1 on
    // an error other than "try again".
    ssize_t Read(std::uint8_t* buffer, std::size_t size);
    ssize_t Write(const std::uint8_t* bytes, std::size_t count);

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

// Makes `link` a symbolic link to `target`, replacing an older link in one
// step. Refuses (std::runtime_error) to replace anything that is not a link.
void PointLink(const std::string& link, const std::string& target);
// Removes `link` if it is a symbolic link.
void RemoveLink(const std::string& link);

} // namespace lorvent::sim::cli
