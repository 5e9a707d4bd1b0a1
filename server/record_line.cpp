#include "server/record_line.h"

#include "record/record_text.h"

#include <cstddef>

namespace lorvent::server {

namespace {

constexpr std::size_t kReadTimeLength = 16; // dd/mm/yyyy-hh:nn

std::string SortableReadTime(std::string_view readTime) {
    std::string sortable;
    sortable.reserve(kReadTimeLength);
    sortable.append(readTime.substr(6, 4)).append("-");
    sortable.append(readTime.substr(3, 2)).append("-");
    sortable.append(readTime.substr(0, 2)).append(" ");
    sortable.append(readTime.substr(11, 5));
    return sortable;
}

std::variant<AttendanceRecord, LineError> RecordFrom(const record::TRecordFields& fields) {
    if (const std::string_view problem = record::RecordFieldsProblem(fields); !problem.empty())
        return LineError{std::string(problem)};
    return AttendanceRecord{std::string(fields.readTime), SortableReadTime(fields.readTime),
                            std::string(fields.number)};
}

} // namespace

// The request word, then a record's text: the fields are counted before the
// word is judged, and the word before the record.
std::variant<AttendanceRecord, LineError> ParseRecordLine(std::string_view line) {
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos)
        return LineError{"missing fields"};
    record::TRecordFields fields;
    if (const std::string_view problem = record::SplitRecordText(line.substr(space + 1), fields);
        !problem.empty())
        return LineError{std::string(problem)};
    if (line.substr(0, space) != "L")
        return LineError{"unknown request"};
    return RecordFrom(fields);
}

std::variant<AttendanceRecord, LineError> ParseDataFileLine(std::string_view line) {
    record::TRecordFields fields;
    if (const std::string_view problem = record::SplitRecordText(line, fields); !problem.empty())
        return LineError{std::string(problem)};
    return RecordFrom(fields);
}

} // namespace lorvent::server
