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

const RefusedLine kRefusedLines[] = {
    {"empty", ""},
    {"request word only", "L"},
    {"no number", "L 07/12/2026-23:16"},
    {"empty number", "L 07/12/2026-23:16 "},
    {"extra field", "L 07/12/2026-23:16 012aff007b 1"},
    {"doubled space", "L  07/12/2026-23:16 012aff007b"},
    {"leading space", " L 07/12/2026-23:16 012aff007b"},
    {"tab for space", "L\t07/12/2026-23:16 012aff007b"},
    {"lower-case request", "l 07/12/2026-23:16 012aff007b"},
    {"other request", "X 07/12/2026-23:16 012aff007b"},
    {"31 February", "L 31/02/2026-10:00 012aff007b"},
    {"29 February, common year", "L 29/02/2026-10:00 012aff007b"},
    {"29 February 1900", "L 29/02/1900-10:00 012aff007b"},
    {"31 April", "L 31/04/2026-10:00 012aff007b"},
    {"day 0", "L 00/12/2026-10:00 012aff007b"},
    {"month 13", "L 07/13/2026-10:00 012aff007b"},
    {"hour 24", "L 07/12/2026-24:00 012aff007b"},
    {"minute 60", "L 07/12/2026-23:60 012aff007b"},
    {"seconds", "L 07/12/2026-23:16:05 012aff007b"},
    {"one-digit day", "L 7/12/2026-23:16 012aff007b"},
    {"space for hyphen", "L 07/12/2026 23:16 012aff007b"},
    {"other separators", "L 07.12.2026-23.16 012aff007b"},
    {"sign in a digit place", "L +7/12/2026-23:16 012aff007b"},
    {"upper-case hex", "L 07/12/2026-23:16 012AFF007B"},
    {"not hex", "L 07/12/2026-23:16 012aff007g"},
    {"9 digits", "L 07/12/2026-23:16 012aff007"},
    {"11 digits", "L 07/12/2026-23:16 012aff007b0"},
    {"CR inside", "L 07/12/2026-23:16 012aff007b\r"},
    {"NUL inside", std::string("L 07/12/2026-23:16 012aff\0"
                               "07b",
                               29)},
    {"over-long", "L 07/12/2026-23:16 " + std::string(5000, 'a')},
};

INSTANTIATE_TEST_SUITE_P(RecordLine, RefusedLineTest, ::testing::ValuesIn(kRefusedLines));

} // namespace
} // namespace lorvent::server
