#pragma once

// Whether the copies of one attendance record that a run left on the server
// and in the data file are copies the program may make. A record is never
// lost; a second copy comes only from a moment the program cannot see past:
// the server stored the record and its OK never arrived (then the record is
// on the server and in the file), or the program was killed with the record
// in its journal after the server's OK or the data file's sync (then the next
// start puts it into the file once more).
#include <string>

namespace lorvent::testing {

struct TRecordCopies {
    int reads = 0;  // rows the window showed for the number: each is a record
    int stored = 0; // rows on the server
    int filed = 0;  // lines in the data file
};

// What a test knows of one record that may explain an extra copy.
struct TDoubleExcuse {
    // Kills of the program that found the record in its journal (read back
    // after the kill, so it is the journal at the moment of the kill).
    int killsWithItInTheJournal = 0;
    // The server stored the record without the program hearing its "OK".
    bool storedUnconfirmed = false;
};

// Empty when the copies are sound; otherwise what is wrong with them. Fewer
// copies than reads (a loss) is the caller's to judge.
std::string WrongCopies(const TRecordCopies& copies, const TDoubleExcuse& excuse);

} // namespace lorvent::testing
