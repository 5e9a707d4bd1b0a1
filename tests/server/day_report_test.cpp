// The day report from an SQLite store: the tallies, the CSV, the page and
// the web answers.
#include "server/day_report.h"
#include "server/report_web_server.h"
#include "server/sqlite_record_store.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

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
    const std::string page = ReportPage(BuildDayReport(store_, "2026-12-07"));
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

class UnreadableStore : public RecordStore {
public:
    AddedRecords Add(std::span<const StoredRecord>) override { return {}; }
    void ForEach(const RecordVisitor&) override {}
    void ForEachOnDay(std::string_view, const RecordVisitor&) override {
        throw StoreError("server closed the connection");
    }
    void ForEachInDays(std::string_view, std::string_view, const RecordVisitor&) override {}
    ImportMark FindImportMark(std::string_view) override { return {}; }
    std::size_t AddImported(std::string_view, std::span<const StoredRecord>, const ImportMark&,
                            const ImportMark&) override {
        return 0;
    }
};

TEST_F(DayReportTest, TheWebAnswersOnlyWhatItServes) {
    std::ostringstream logged;
    StreamLineSink log(logged);
    struct Case {
        std::string head;
        int status;
        const char* contentType;
        const char* contains;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", 200, "text/html", "<time>2026-12-07</time>"},
        {"GET /?day=2026-12-06 HTTP/1.1\r\n\r\n", 200, "text/html", "<td>012aff007b</td>"},
        {"HEAD /?x=1&day=2026-12-07 HTTP/1.0\r\n\r\n", 200, "text/html", "<td>1234abcd</td>"},
        {"GET /report.csv?day=2026-12-08 HTTP/1.1\r\n\r\n", 200, "text/csv", "card,0000ffff"},
        {"GET /?day=2026-02-30 HTTP/1.1\r\n\r\n", 400, "text/plain", "YYYY-MM-DD"},
        {"GET /?day=2026-12-07%00 HTTP/1.1\r\n\r\n", 400, "text/plain", "YYYY-MM-DD"},
        {"POST / HTTP/1.1\r\n\r\n", 405, "text/plain", "read-only"},
        {"GET /../etc/passwd HTTP/1.1\r\n\r\n", 404, "text/plain", "No such page"},
        {"GET /favicon.ico HTTP/1.1\r\n\r\n", 404, "text/plain", "No such page"},
        {"hello\r\n\r\n", 400, "text/plain", "Not an HTTP request"},
    };
    for (const Case& request : cases) {
        const WebResponse response = AnswerWebRequest(request.head, store_, "2026-12-07", log);
        EXPECT_EQ(response.status, request.status) << request.head;
        EXPECT_TRUE(response.contentType.starts_with(request.contentType)) << request.head;
        EXPECT_NE(response.body.find(request.contains), std::string::npos) << request.head;
    }

    UnreadableStore unreadable;
    const WebResponse response =
        AnswerWebRequest("GET / HTTP/1.1\r\n\r\n", unreadable, "2026-12-07", log);
    EXPECT_EQ(response.status, 503);
    EXPECT_EQ(response.body.find("closed the connection"), std::string::npos)
        << "told to the log only";
    EXPECT_NE(logged.str().find("server closed the connection"), std::string::npos);
}

} // namespace
} // namespace lorvent::server
