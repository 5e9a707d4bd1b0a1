#pragma once

#include <string>
#include <vector>

namespace lorvent::testing {

// A terminal's data file as lorvent writes it: a record a line, each line
// ended by CR LF on every platform.
struct TDataFileLines {
    std::vector<std::string> lines; // without their CR LF
    std::string unfinished;         // whatever follows the last CR LF
};

inline TDataFileLines SplitDataFile(const std::string& bytes) {
    TDataFileLines split;
    std::size_t from = 0;
    for (auto end = bytes.find("\r\n", from); end != std::string::npos;
         from = end + 2, end = bytes.find("\r\n", from))
        split.lines.push_back(bytes.substr(from, end - from));
    split.unfinished = bytes.substr(from);
    return split;
}

} // namespace lorvent::testing
