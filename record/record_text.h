#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace lorvent::record {

// A record is one line, "dd/mm/yyyy-hh:nn number", the same in the data file,
// in the journal and, after "L ", on the wire: the local time of the read to
// the minute, one space, and the card number of 8 or 10 lower-case hex digits.
// What one reader of these lines takes, every reader takes.

// "dd/mm/yyyy-hh:nn": fixed characters whatever the locale, no seconds.
std::string WireDateTime(const std::tm& time);
// A record's line without its line end.
std::string RecordText(std::string_view readTime, std::string_view number);

struct TRecordFields {
    std::string_view readTime;
    std::string_view number;
};

// Splits a record's text at every single space, so that a doubled or trailing
// space shows up as an empty field. Why the text is not two fields, or ""
// when it is.
std::string_view SplitRecordText(std::string_view text, TRecordFields& fields);
// Why the fields are not a record's, or "" when they are: the date must exist
// (leap years included), the time lie within 00:00 to 23:59, the number be 8
// or 10 lower-case hex digits.
std::string_view RecordFieldsProblem(const TRecordFields& fields);
// Why `text` is not a whole record, or "" when it is one. Pure, so that it can
// be fed anything.
std::string_view RecordTextProblem(std::string_view text);

inline bool IsRecordText(std::string_view text) {
    return RecordTextProblem(text).empty();
}

} // namespace lorvent::record
