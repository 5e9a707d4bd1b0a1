// The day report from an SQLite store: the tallies, the CSV and the page.
#include "server/day_report.h"
#include "server/report_pages.h"
#include "server/sqlite_record_store.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <regex>

namespace lorvent::server {
namespace {

using testing::TTempDir;

StoredRecord Record(const char* readTime, const char* number, const char* terminal) {
    return {
        std::get<AttendanceRecord>(ParseRecordLine(std::string("L ") + readTime + " " + number)),
        terminal, "2026-12-07T07:00:00.000Z"};
}

std::string Describe(const DayTally& tally) {
    return tally.name + " " + tally.first + " " + tally.last + " " + std::to_string(tally.reads);
}

std::vector<std::string> Describe(const std::vector<DayTally>& tallies) {
    std::vector<std::string> lines;
    for (const DayTally& tally : tallies)
        lines.push_back(Describe(tally));
    return lines;
}

class DayReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Taken out of read order, as terminals upload on their own ticks.
        store_.Add(std::vector{
            Record("07/12/2026-16:31", "012aff007b", "10.0.0.15"),
            Record("07/12/2026-07:58", "012aff007b", "10.0.0.15"),
            Record("07/12/2026-08:05", "0000ffff", "10.0.0.16"),
            Record("07/12/2026-12:00", "012aff007b", "10.0.0.16"),
            Record("07/12/2026-07:02", "1234abcd", "door,\"west\""),
            Record("07/12/2026-08:59", "0000ffff", "10.0.0.16"),
            Record("06/12/2026-07:00", "012aff007b", "10.0.0.15"), // the day before
            Record("08/12/2026-07:00", "0000ffff", "10.0.0.15"),   // the day after
        });
    }

    TTempDir dir_;
    SqliteRecordStore store_{dir_.File("records.sqlite")};
};

TEST_F(DayReportTest, EachCardAndEachTerminalWithItsFirstAndLastReadOfTheDay) {
    const DayReport report = BuildDayReport(store_, "2026-12-07");
    EXPECT_EQ(Describe(report.cards),
              (std::vector<std::string>{"1234abcd 07:02 07:02 1", "012aff007b 07:58 16:31 3",
                                        "0000ffff 08:05 08:59 2"}));
    EXPECT_EQ(Describe(report.terminals),
              (std::vector<std::string>{"10.0.0.15 07:58 16:31 2", "10.0.0.16 08:05 12:00 3",
                                        "door,\"west\" 07:02 07:02 1"}));
    std::array<int, 24> arrivals{};
    arrivals[7] = 2; // 1234abcd and 012aff007b
    arrivals[8] = 1; // 0000ffff's first; its second read at 08:59 is no arrival
    EXPECT_EQ(report.arrivalsPerHour, arrivals);
    EXPECT_EQ(report.readsPerHour[8], 2);
    EXPECT_EQ(report.readsPerHour[16], 1);

    EXPECT_TRUE(BuildDayReport(store_, "2026-12-09").cards.empty());
}

TEST_F(DayReportTest, TheCsvQuotesWhatWouldSplitAField) {
    EXPECT_EQ(ReportCsv(BuildDayReport(store_, "2026-12-07")),
              "kind,name,first,last,reads\r\n"
              "card,1234abcd,07:02,07:02,1\r\n"
              "card,012aff007b,07:58,16:31,3\r\n"
              "card,0000ffff,08:05,08:59,2\r\n"
              "terminal,10.0.0.15,07:58,16:31,2\r\n"
              "terminal,10.0.0.16,08:05,12:00,3\r\n"
              "terminal,\"door,\"\"west\"\"\",07:02,07:02,1\r\n");
}

TEST_F(DayReportTest, ThePageEscapesNamesAndDrawsABarForEachHour) {
    store_.Add(std::vector{Record("07/12/2026-09:00", "0000aaaa", "<script>x</script>")});
    const std::string page = DayPage({}, BuildDayReport(store_, "2026-12-07"),
                                     LoadPresence(store_, store_, "2026-12-07", "2026-12-07"));
    EXPECT_EQ(page.find("<script>"), std::string::npos);
    EXPECT_NE(page.find("<td>&lt;script&gt;x&lt;/script&gt;</td>"), std::string::npos);
    const std::regex bar(R"re(<rect class="bar" data-hour="(\d+)" data-arrivals="(\d+)")re");
    std::map<int, int> bars;
    for (auto it = std::sregex_iterator(page.begin(), page.end(), bar);
         it != std::sregex_iterator(); ++it)
        bars[std::stoi((*it)[1])] = std::stoi((*it)[2]);
    EXPECT_EQ(bars.size(), 24u);
    EXPECT_EQ(bars[7], 2);
    EXPECT_EQ(bars[9], 1);
    EXPECT_NE(page.find("href=\"/?day=2026-12-06\""), std::string::npos);
    EXPECT_NE(page.find("href=\"/?day=2026-12-08\""), std::string::npos);
}

} // namespace
} // namespace lorvent::server
