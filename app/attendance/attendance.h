#pragma once

#include "app/card_read.h"

#include <cstdio>
#include <ctime>
#include <string>

namespace lorvent {

// The one reply that confirms a record, compared byte for byte.
inline const char* const kServerConfirmation = "OK";

// "dd/mm/yyyy-hh:nn number": a record as the data file and the journal hold it
// (record/record_text.h).
std::string RecordText(const TLogItem& item);
// "L dd/mm/yyyy-hh:nn number", without the line end the connection adds.
std::string RequestLine(const TLogItem& item);
// "dd/mm/yyyy-hh:nn number" and CR LF: the line end is part of the record so
// that the data file is the same on every platform.
std::string DataFileLine(const TLogItem& item);

struct TFileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Appends records' lines to the attendance data file, each written and
// flushed on its own so that the caller knows exactly which lines reached it.
class TDataFileAppender {
public:
    // Takes over a file that an earlier run may have left ending inside a
    // line (the disk filled up mid-write, the power went): its next line then
    // begins on a line of its own too. An end that cannot be read counts as
    // a whole line.
    void TakeOver(std::FILE* file);
    // False when the line did not reach the file (disk full, I/O error); the
    // stream is then ready for the next attempt.
    bool Append(std::FILE* file, const std::string& line);

private:
    bool Write(std::FILE* file, const std::string& text);
    static long EndOffset(std::FILE* file);
    static bool EndsInsideALine(std::FILE* file);

    // A failed write may have left part of a line at the end of the file; the
    // next line is then begun on a line of its own, so that the fragment never
    // runs into a whole record.
    bool fragmentLeft_ = false;
};

} // namespace lorvent
