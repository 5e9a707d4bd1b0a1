#pragma once

#include "server/record_store.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace lorvent::server {

// The file cannot be read, or is not the one imported before under that name.
class ImportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct MalformedLine {
    std::uint64_t number; // counted from 1
    std::string reason;
    std::string text; // printable, shortened
};

struct ImportResult {
    std::size_t added = 0;
    // Records the store held already, uploaded by the terminal or twice in
    // the file; skipped.
    std::size_t alreadyHeld = 0;
    std::uint64_t linesBefore = 0; // imported by earlier runs, skipped
    std::vector<MalformedLine> malformed;
    // The file ends in a line without its line end: the terminal may be
    // writing it, so it waits for the next import.
    bool unfinishedLastLine = false;
};

// Adds the records of a terminal's data file ("dd/mm/yyyy-hh:nn number" and
// CR LF a line) that earlier imports under the same terminal name have not
// added, so that a file the terminal keeps appending to can be imported again
// and again with nothing counted twice. Records the store holds already
// under the same terminal are skipped: named by the address its uploads come
// from, the terminal's records that reached the server are recognised in
// its file. Malformed lines are skipped and returned. Throws ImportError,
// StoreError.
ImportResult ImportDataFile(RecordStore& store, const std::string& terminal,
                            const std::string& path);

} // namespace lorvent::server
