// The report page as an office sees it: kalvinor-server serving it, Debian's
// chromium loading it headless. The page's tables and chart are checked
// against the database, read by the test's own query; a screenshot is taken.
// LORVENT_REPORT_SCREENSHOT=FILE keeps the screenshot there.
#include "server/sqlite_record_store.h"
#include "support/devtools_browser.h"
#include "support/program_rig.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <regex>

namespace lorvent {
namespace {

using namespace std::chrono_literals;
using server::ParseRecordLine;
using server::SqliteRecordStore;
using server::StoredRecord;
using testing::TChildProcess;
using testing::TProgramRig;

constexpr const char* kChromium = "/usr/bin/chromium";

// Runs chromium headless on `url` with `action` (--dump-dom or
// --screenshot=FILE); its standard output, "" when it failed or hung.
std::string Chromium(const std::string& profile, const std::string& action,
                     const std::string& url) {
    TChildProcess::TOptions options;
    options.argv = testing::HeadlessChromium(profile);
    options.argv.insert(options.argv.end(), {"--window-size=1000,900", action, url});
    TChildProcess chromium(options);
    const auto status = chromium.Wait(90s);
    if (!status) {
        ADD_FAILURE() << "chromium did not finish: " << chromium.Stderr();
        return "";
    }
    return status == 0 ? chromium.Transcript() : "";
}

// "card first last reads" per row of the page's table `id`.
std::vector<std::string> TableRows(const std::string& dom, const std::string& id) {
    const std::size_t start = dom.find("<table id=\"" + id + "\"");
    const std::string table = dom.substr(start, dom.find("</table>", start) - start);
    const std::regex row(
        R"(<tr><td>([^<]*)</td><td>([^<]*)</td><td>([^<]*)</td><td>(\d+)</td></tr>)");
    std::vector<std::string> rows;
    for (auto it = std::sregex_iterator(table.begin(), table.end(), row);
         it != std::sregex_iterator(); ++it)
        rows.push_back((*it)[1].str() + " " + (*it)[2].str() + " " + (*it)[3].str() + " " +
                       (*it)[4].str());
    return rows;
}

std::vector<std::string> SqlRows(const std::string& db, const std::string& sql) {
    std::vector<std::string> rows;
    sqlite3* handle = nullptr;
    sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_exec(
        handle, sql.c_str(),
        [](void* into, int columns, char** values, char**) {
            std::string text;
            for (int c = 0; c < columns; ++c)
                text += (c ? " " : "") + std::string(values[c] ? values[c] : "");
            static_cast<std::vector<std::string>*>(into)->push_back(text);
            return 0;
        },
        &rows, nullptr);
    sqlite3_close(handle);
    return rows;
}

// A morning at three doors and the day before it.
void FillDatabase(const std::string& path) {
    SqliteRecordStore store(path);
    std::vector<StoredRecord> records;
    const auto add = [&](const std::string& time, const std::string& number, const char* door) {
        records.push_back(
            {std::get<server::AttendanceRecord>(ParseRecordLine("L " + time + " " + number)), door,
             "2026-12-07T06:00:00.000Z"});
    };
    const char* doors[] = {"10.0.0.15", "10.0.0.16", "gate-north"};
    for (int card = 0; card < 40; ++card) {
        char number[9];
        std::snprintf(number, sizeof number, "%08x", 0x1a2b0000 + card * 7919);
        const int arrival = 6 * 60 + 15 + card * 5; // 06:15 onwards
        char time[17];
        std::snprintf(time, sizeof time, "07/12/2026-%02d:%02d", arrival / 60, arrival % 60);
        add(time, number, doors[card % 3]);
        std::snprintf(time, sizeof time, "07/12/2026-%02d:%02d", 14 + card % 4, card);
        add(time, number, doors[(card + 1) % 3]);
        if (card % 5 == 0)
            add("06/12/2026-09:00", number, doors[0]);
    }
    store.Add(records);
}

TEST(ReportPageBrowserTest, ChromiumShowsTheDayAsTheDatabaseHasIt) {
    ASSERT_TRUE(std::filesystem::exists(kChromium)) << "install chromium (scripts/install-deps.sh)";
    TProgramRig rig;
    const std::string db = rig.Database();
    FillDatabase(db);
    testing::TServerStart start;
    start.arguments = {"--web-port", "0"};
    ASSERT_TRUE(rig.StartServer(start)) << rig.server->Stderr();
    const std::string pageLine = rig.server->ReadStderrLine(10s).value_or("");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(pageLine, match, std::regex(R"(http://127\.0\.0\.1:\d+/)")))
        << pageLine;
    const std::string url = match.str() + "?day=2026-12-07";

    const std::string profile = rig.File("profile");
    const std::string dom = Chromium(profile, "--dump-dom", url);
    ASSERT_NE(dom.find("<h1>Docházka <time datetime=\"2026-12-07\">7.12.2026</time></h1>"),
              std::string::npos)
        << dom;

    const std::string day = " FROM attendance WHERE read_at LIKE '2026-12-07 %' ";
    EXPECT_EQ(TableRows(dom, "cards"),
              SqlRows(db, "SELECT number, min(substr(read_at, 12)), max(substr(read_at, 12)),"
                          " count(*)" +
                              day + "GROUP BY number ORDER BY min(read_at), number"));
    EXPECT_EQ(TableRows(dom, "terminals"),
              SqlRows(db, "SELECT terminal, min(substr(read_at, 12)), max(substr(read_at, 12)),"
                          " count(*)" +
                              day + "GROUP BY terminal ORDER BY terminal"));
    EXPECT_EQ(TableRows(dom, "cards").size(), 40u);

    std::map<std::string, std::string> bars;
    const std::regex bar(R"re(data-hour="(\d+)" data-arrivals="(\d+)")re");
    for (auto it = std::sregex_iterator(dom.begin(), dom.end(), bar); it != std::sregex_iterator();
         ++it)
        if ((*it)[2] != "0")
            bars[(*it)[1]] = (*it)[2];
    std::map<std::string, std::string> arrivals;
    for (const std::string& row :
         SqlRows(db, "SELECT CAST(substr(first, 1, 2) AS INTEGER), count(*) FROM (SELECT"
                     " min(substr(read_at, 12)) AS first" +
                         day + "GROUP BY number) GROUP BY 1"))
        arrivals[row.substr(0, row.find(' '))] = row.substr(row.find(' ') + 1);
    EXPECT_EQ(bars, arrivals);

    const char* kept = std::getenv("LORVENT_REPORT_SCREENSHOT");
    const std::string screenshot = kept ? kept : rig.File("report.png").string();
    Chromium(profile, "--screenshot=" + screenshot, url);
    const std::string png = testing::FileBytes(screenshot);
    ASSERT_GT(png.size(), 10000u) << "no screenshot";
    EXPECT_EQ(png.substr(1, 3), "PNG");
    rig.server->Signal(SIGTERM);
    EXPECT_EQ(rig.server->Wait(10s), 0);
}

} // namespace
} // namespace lorvent
