#include "server/record_line.h"

#include <gtest/gtest.h>

#include <string>

namespace lorvent::server {
namespace {

struct AcceptedLine {
    std::string line;
    const char* readAt;
};

void PrintTo(const AcceptedLine& accepted, std::ostream* out) {
    *out << accepted.line;
}

class AcceptedLineTest : public ::testing::TestWithParam<AcceptedLine> {};

TEST_P(AcceptedLineTest, YieldsTheRecordAsSent) {
    const auto parsed = ParseRecordLine(GetParam().line);
    ASSERT_TRUE(std::holds_alternative<AttendanceRecord>(parsed))
        << std::get<LineError>(parsed).reason;
    const auto& record = std::get<AttendanceRecord>(parsed);
    EXPECT_EQ("L " + record.readTime + " " + record.number, GetParam().line);
    EXPECT_EQ(record.readAt, GetParam().readAt);
}

INSTANTIATE_TEST_SUITE_P(
    RecordLine, AcceptedLineTest,
    ::testing::Values(AcceptedLine{"L 07/12/2026-23:16 012aff007b", "2026-12-07 23:16"},
                      AcceptedLine{"L 01/01/2027-00:00 0000ffff", "2027-01-01 00:00"},
                      AcceptedLine{"L 29/02/2024-12:30 0123456789", "2024-02-29 12:30"},
                      AcceptedLine{"L 29/02/2000-12:30 0123456789", "2000-02-29 12:30"},
                      AcceptedLine{"L 31/12/2026-23:59 abcdef0123", "2026-12-31 23:59"}));

struct RefusedLine {
    const char* why;
    std::string line;
};

void PrintTo(const RefusedLine& refused, std::ostream* out) {
    *out << refused.why;
}

class RefusedLineTest : public ::testing::TestWithParam<RefusedLine> {};

TEST_P(RefusedLineTest, IsAnErrorWithAReason) {
    const auto parsed = ParseRecordLine(GetParam().line);
    ASSERT_TRUE(std::holds_alternative<LineError>(parsed)) << GetParam().why;
    EXPECT_FALSE(std::get<LineError>(parsed).reason.empty());
}

// The request around the record; the record's own cases are in the one table
// of record lines (tests/record/record_lines_test.cpp), which parses each of
// its lines as a request too.
const RefusedLine kRefusedLines[] = {
    {"empty", ""},
    {"request word only", "L"},
    {"leading space", " L 07/12/2026-23:16 012aff007b"},
    {"tab for space", "L\t07/12/2026-23:16 012aff007b"},
    {"lower-case request", "l 07/12/2026-23:16 012aff007b"},
    {"other request", "X 07/12/2026-23:16 012aff007b"},
};

INSTANTIATE_TEST_SUITE_P(RecordLine, RefusedLineTest, ::testing::ValuesIn(kRefusedLines));

} // namespace
} // namespace lorvent::server
