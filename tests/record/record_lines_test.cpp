// The record line "dd/mm/yyyy-hh:nn number": how the terminal writes it, and
// one table of good and bad lines on which the grammar and every reader of
// the lines agree, so that the journal keeps as a record exactly what the
// server and its import take. (The record-level cases of the server's own
// line tests were folded into this table.)
#include "app/attendance/record_journal.h"
#include "record/record_text.h"
#include "server/data_file_import.h"
#include "server/record_line.h"
#include "server/sqlite_record_store.h"
#include "support/temp_dir.h"
#include "support/tm.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <variant>

namespace lorvent::testing {
namespace {

TEST(WireDateTime, FixedCharactersAndTwoDigitFields) {
    std::tm time = Tm(2026, 12, 7, 23, 16, 59);
    EXPECT_EQ(record::WireDateTime(time), "07/12/2026-23:16");
    time.tm_mon = 0;
    time.tm_mday = 1;
    time.tm_hour = 0;
    time.tm_min = 5;
    EXPECT_EQ(record::WireDateTime(time), "01/01/2026-00:05");
}

struct TRecordLine {
    const char* why;
    std::string text; // without its line end
    bool isRecord;
};

void PrintTo(const TRecordLine& line, std::ostream* out) {
    *out << line.why;
}

// An empty line is not here: the journal skips it (a failed append leaves one).
const TRecordLine kLines[] = {
    {"five-byte number", "07/12/2026-23:16 012aff007b", true},
    {"four-byte number at midnight", "01/01/2027-00:00 0000ffff", true},
    {"29 February, leap year", "29/02/2024-12:30 0123456789", true},
    {"29 February 2000", "29/02/2000-12:30 0123456789", true},
    {"last minute of the year", "31/12/2026-23:59 abcdef0123", true},
    {"31 February at 25:61", "31/02/2026-25:61 012aff007b", false},
    {"31 February", "31/02/2026-10:00 012aff007b", false},
    {"29 February, common year", "29/02/2026-10:00 012aff007b", false},
    {"29 February 1900", "29/02/1900-10:00 012aff007b", false},
    {"31 April", "31/04/2026-10:00 012aff007b", false},
    {"day 0", "00/12/2026-10:00 012aff007b", false},
    {"month 0", "07/00/2026-10:00 012aff007b", false},
    {"month 13", "07/13/2026-10:00 012aff007b", false},
    {"hour 24", "07/12/2026-24:00 012aff007b", false},
    {"minute 60", "07/12/2026-23:60 012aff007b", false},
    {"seconds", "07/12/2026-23:16:05 012aff007b", false},
    {"one-digit day", "7/12/2026-23:16 012aff007b", false},
    {"space for hyphen", "07/12/2026 23:16 012aff007b", false},
    {"other separators", "07.12.2026-23.16 012aff007b", false},
    {"sign in a digit place", "+7/12/2026-23:16 012aff007b", false},
    {"no number", "07/12/2026-23:16", false},
    {"empty number", "07/12/2026-23:16 ", false},
    {"extra field", "07/12/2026-23:16 012aff007b 1", false},
    {"doubled space", "07/12/2026-23:16  012aff007b", false},
    {"leading space", " 07/12/2026-23:16 012aff007b", false},
    {"tab for space", "07/12/2026-23:16\t012aff007b", false},
    {"upper-case hex", "07/12/2026-23:16 012AFF007B", false},
    {"not hex", "07/12/2026-23:16 012aff007g", false},
    {"9 digits", "07/12/2026-23:16 012aff007", false},
    {"11 digits", "07/12/2026-23:16 012aff007b0", false},
    {"CR inside", "07/12/2026-23:16 012aff007b\r", false},
    {"NUL inside",
     std::string("07/12/2026-23:16 012aff\0"
                 "07b",
                 27),
     false},
    {"cut off inside the number", "07/12/2026-23:17 012a", false},
    {"over-long", "07/12/2026-23:16 " + std::string(5000, 'a'), false},
};

bool ServerTakes(const std::variant<server::AttendanceRecord, server::LineError>& parsed) {
    return std::holds_alternative<server::AttendanceRecord>(parsed);
}

class RecordLineTest : public ::testing::TestWithParam<TRecordLine> {};

TEST_P(RecordLineTest, TheGrammarTheJournalAndTheServerAgree) {
    const TRecordLine& line = GetParam();
    const std::string_view problem = record::RecordTextProblem(line.text);
    EXPECT_EQ(problem.empty(), line.isRecord) << "the grammar: " << problem;

    const TJournalContent journal = ParseJournal(line.text + "\r\n");
    EXPECT_EQ(journal.records,
              line.isRecord ? std::vector<std::string>{line.text} : std::vector<std::string>{})
        << "the journal's records";
    EXPECT_EQ(journal.damaged, line.isRecord ? "" : line.text + "\r\n")
        << "the journal's damaged lines";

    EXPECT_EQ(ServerTakes(server::ParseDataFileLine(line.text)), line.isRecord)
        << "the server, as a data-file line";
    EXPECT_EQ(ServerTakes(server::ParseRecordLine("L " + line.text)), line.isRecord)
        << "the server, as a request";
}

INSTANTIATE_TEST_SUITE_P(RecordLines, RecordLineTest, ::testing::ValuesIn(kLines));

// The whole table as one terminal's data file: the import adds the records
// and reports every other line.
TEST(RecordLineImport, AddsTheTablesRecordsAndReportsTheRest) {
    TTempDir dir;
    const std::string file = (dir.Path() / "kalvinor.db").string();
    std::set<std::uint64_t> notRecords;
    std::size_t records = 0;
    {
        std::ofstream out(file, std::ios::binary);
        std::uint64_t number = 0;
        for (const TRecordLine& line : kLines) {
            out << line.text << "\r\n";
            ++number;
            if (line.isRecord)
                ++records;
            else
                notRecords.insert(number);
        }
    }
    server::SqliteRecordStore store((dir.Path() / "records.sqlite").string());
    const server::ImportResult result = server::ImportDataFile(store, "door-1", file);
    EXPECT_EQ(result.added, records);
    std::set<std::uint64_t> malformed;
    for (const server::MalformedLine& line : result.malformed)
        malformed.insert(line.number);
    EXPECT_EQ(malformed, notRecords);
}

} // namespace
} // namespace lorvent::testing
