#pragma once

#include <string>
#include <string_view>
#include <variant>

namespace lorvent::server {

// One attendance record as a client offers it.
struct AttendanceRecord {
    std::string readTime; // as sent: "dd/mm/yyyy-hh:nn"
    std::string readAt;   // the same moment, sortable: "yyyy-mm-dd hh:nn"
    std::string number;   // the card number: 8 or 10 lower-case hex digits
};

// Why a line was refused; short enough to go back to the client.
struct LineError {
    std::string reason;
};

// Parses one request line without its CR LF: "L dd/mm/yyyy-hh:nn number".
// Exactly one space between fields and none elsewhere; the record after "L "
// is judged by the one record grammar (record/record_text.h), which the
// terminal's journal keeps too. Pure, so that it can be fed anything.
std::variant<AttendanceRecord, LineError> ParseRecordLine(std::string_view line);

// Parses one line of a terminal's data file without its line end:
// "dd/mm/yyyy-hh:nn number", under the same rules.
std::variant<AttendanceRecord, LineError> ParseDataFileLine(std::string_view line);

} // namespace lorvent::server
