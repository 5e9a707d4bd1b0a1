// The report page's answers from an SQLite database: what it serves, in
// which language, what it escapes, what it puts in addresses, and the login
// that guards it.
#include "server/card_holders.h"
#include "server/report_site.h"
#include "server/web_crypto.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

namespace lorvent::server {
namespace {

using namespace std::chrono_literals;
using testing::TTempDir;

constexpr const char* kBom = "\xEF\xBB\xBF";

StoredRecord Record(const char* readTime, const char* number) {
    return {
        std::get<AttendanceRecord>(ParseRecordLine(std::string("L ") + readTime + " " + number)),
        "10.0.0.15", "2026-12-07T07:00:00.000Z"};
}

std::string Header(const WebResponse& response, const std::string& name,
                   const std::string& startingWith = "") {
    for (const auto& [field, value] : response.headers)
        if (field == name && value.starts_with(startingWith))
            return value;
    return "";
}

// "name=value" of the cookie the response sets.
std::string CookieSet(const WebResponse& response, const std::string& name) {
    const std::string value = Header(response, "Set-Cookie", name + "=");
    return value.substr(0, value.find(';'));
}

std::string Field(const std::string& page, const std::string& name) {
    std::smatch match;
    const std::regex field("name=\"" + name + "\" value=\"([^\"]*)\"");
    return std::regex_search(page, match, field) ? match[1].str() : "";
}

// Žofie's day shift and a night shift of Jan's, and a card nobody holds.
class ReportSiteTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::vector<HolderLine> lines = ParseHoldersFile(
            "012aff007b;Žofie Čermáková;0042;Účtárna\n0000ffff;Jan Novák;57;Sklad\n");
        database_.holders->ChangeHolders([&](const std::vector<CardHolder>& held) {
            return AssignmentsToImport(held, lines, "2026-12-01");
        });
        database_.records->Add(std::vector{
            Record("07/12/2026-07:58", "012aff007b"), Record("07/12/2026-16:31", "012aff007b"),
            Record("07/12/2026-22:00", "0000ffff"), Record("08/12/2026-06:02", "0000ffff"),
            Record("07/12/2026-09:00", "1234abcd")});
    }

    ReportSite Site(SiteAccess access) {
        return ReportSite(database_, access, log_, [] { return std::string("2026-12-07"); });
    }

    WebResponse Ask(ReportSite& site, const std::string& method, const std::string& target,
                    const std::string& cookies = "", const std::string& body = "") {
        HttpRequest request =
            ParseRequestHead(method + " " + target + " HTTP/1.1\r\nHost: x\r\n" +
                             (cookies.empty() ? "" : "Cookie: " + cookies + "\r\n") +
                             "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n");
        request.body = body;
        return site.Answer(request, "10.0.0.9", now_);
    }

    // Loads the login form and posts it with `password`; `token` replaces
    // the form's own token when given.
    WebResponse LogIn(ReportSite& site, const std::string& password,
                      std::optional<std::string> token = std::nullopt) {
        const WebResponse form = Ask(site, "GET", "/login?next=/month%3Fmonth%3D2026-12");
        return Ask(site, "POST", "/login", CookieSet(form, "kalvinor_login"),
                   "token=" + token.value_or(Field(form.body, "token")) +
                       "&next=%2Fmonth%3Fmonth%3D2026-12&user=anna&password=" + password);
    }

    TTempDir dir_;
    Database database_ = OpenDatabase(dir_.File("site.sqlite"), RecordStore::Access::kReadWrite);
    std::ostringstream logged_;
    StreamLineSink log_{logged_};
    ReportSite::Clock::time_point now_ = ReportSite::Clock::now();
};

TEST_F(ReportSiteTest, ServesTheDayAndTheMonthInCzechOrEnglish) {
    ReportSite site = Site({});
    struct Case {
        std::string method, target;
        int status;
        std::vector<std::string> contains;
    };
    const Case cases[] = {
        {"GET",
         "/",
         200,
         {"<html lang=\"cs\">", "<h1>Docházka",
          "<td>Žofie Čermáková</td><td>Účtárna</td>"
          "<td>07:58</td><td>16:31</td><td>8,55</td>",
          "<td>Jan Novák</td><td>Sklad</td><td>22:00</td><td>06:02+1</td>",
          "Neznámé karty</caption>", "<td>1234abcd</td><td>09:00 10.0.0.15</td>"}},
        {"GET",
         "/?day=2026-12-07&lang=en",
         200,
         {"<html lang=\"en\">", "Attendance on", "<td>8.55</td>",
          "href=\"/?day=2026-12-08&amp;lang=en\"", "href=\"/?day=2026-12-07\">Česky"}},
        {"HEAD", "/month?month=2026-12", 200, {"<h2>Jan Novák", "<h2>Žofie Čermáková", "8,55"}},
        {"GET", "/month?lang=en", 200, {"Attendance – December 2026", "Days present: 1"}},
        {"GET", "/report.csv?day=2026-12-07", 200, {"card,012aff007b,07:58,16:31,2\r\n"}},
        {"GET",
         "/month.csv?month=2026-12",
         200,
         {kBom, "den;0042;Žofie Čermáková;Účtárna;012aff007b;7.12.2026;7:58;16:31;8,55;;"}},
        {"GET", "/?day=2026-02-30", 400, {"YYYY-MM-DD"}},
        {"GET", "/?day=2026-12-07%00", 400, {"YYYY-MM-DD"}},
        {"GET", "/month?month=2026-13", 400, {"YYYY-MM"}},
        {"GET", "/month?month=2026-12&person=0042", 404, {"No such person"}},
        {"GET", "/../etc/passwd", 404, {"No such page"}},
        {"POST", "/", 405, {"read-only"}},
    };
    for (const Case& request : cases) {
        const WebResponse response = Ask(site, request.method, request.target);
        EXPECT_EQ(response.status, request.status) << request.target;
        for (const std::string& part : request.contains)
            EXPECT_NE(response.body.find(part), std::string::npos)
                << request.target << " lacks " << part << "\n"
                << response.body;
    }
    EXPECT_EQ(Header(Ask(site, "GET", "/month.csv?month=2026-12"), "Content-Disposition"),
              "attachment; filename=\"dochazka-2026-12.csv\"");
}

TEST_F(ReportSiteTest, EveryNameAndValueInAPageIsEscaped) {
    const std::vector<HolderLine> lines =
        ParseHoldersFile("1234abcd;<script>alert(1)</script>;\"<i>\";a&b'\n");
    database_.holders->ChangeHolders([&](const std::vector<CardHolder>& held) {
        return AssignmentsToImport(held, lines, "2026-12-01");
    });
    ReportSite site = Site({});
    for (const char* target : {"/?day=2026-12-07", "/month?month=2026-12"}) {
        const std::string page = Ask(site, "GET", target).body;
        EXPECT_EQ(page.find("<script>"), std::string::npos) << target;
        EXPECT_EQ(page.find("<i>"), std::string::npos) << target;
        EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos) << target;
        EXPECT_NE(page.find("a&amp;b&#39;"), std::string::npos) << target;
    }
}

// Only days, months, the language and opaque ids go into addresses: a
// browser keeps them in its history and a proxy in its log.
TEST_F(ReportSiteTest, NoPersonalDataInAnyAddressAndAPersonsSheetByAnOpaqueId) {
    ReportSite site = Site({});
    const std::string month = Ask(site, "GET", "/month?month=2026-12").body;
    const std::regex address(R"re((?:href|action)="([^"]*)")re");
    std::vector<std::string> sheets;
    for (auto it = std::sregex_iterator(month.begin(), month.end(), address);
         it != std::sregex_iterator(); ++it) {
        const std::string target = (*it)[1].str();
        const std::regex allowed(R"(/(month|month\.csv|report\.csv|logout)?)"
                                 R"((\?(day=\d{4}-\d\d-\d\d|month=\d{4}-\d\d|lang=en|)"
                                 R"(person=[0-9a-f]{32})(&amp;(day=\d{4}-\d\d-\d\d|)"
                                 R"(month=\d{4}-\d\d|lang=en|person=[0-9a-f]{32}))*)?)");
        EXPECT_TRUE(std::regex_match(target, allowed)) << target;
        if (target.find("person=") != std::string::npos)
            sheets.push_back(target);
    }
    ASSERT_EQ(sheets.size(), 2u);

    // Žofie's sheet is listed first (personal number 0042 before 57).
    const std::string target = std::regex_replace(sheets[0], std::regex("&amp;"), "&");
    const WebResponse sheet = Ask(site, "GET", target);
    EXPECT_NE(sheet.body.find("Žofie Čermáková"), std::string::npos);
    EXPECT_EQ(sheet.body.find("Jan Novák"), std::string::npos);
    const WebResponse csv =
        Ask(site, "GET", std::regex_replace(target, std::regex("^/month"), "/month.csv"));
    EXPECT_EQ(Header(csv, "Content-Disposition"),
              "attachment; filename=\"dochazka-2026-12-0042.csv\"");
    EXPECT_EQ(csv.body.find("Jan Novák"), std::string::npos);
}

TEST_F(ReportSiteTest, AwayFromLoopbackEveryPageWaitsForALogin) {
    database_.users->PutUser("anna", HashPassword("correct horse"));
    ReportSite site = Site({.tls = true, .loopback = false});
    const WebResponse away = Ask(site, "GET", "/month?month=2026-12");
    EXPECT_EQ(away.status, 303);
    EXPECT_EQ(Header(away, "Location"), "/login?next=/month%3Fmonth%3D2026-12");
    for (const char* target : {"/", "/report.csv", "/month.csv?month=2026-12"})
        EXPECT_EQ(Ask(site, "GET", target).status, 303) << target;

    const WebResponse form = Ask(site, "GET", "/login?next=/month%3Fmonth%3D2026-12");
    EXPECT_EQ(Field(form.body, "next"), "/month?month=2026-12");
    EXPECT_NE(Header(form, "Set-Cookie").find("; HttpOnly; SameSite=Strict; Secure"),
              std::string::npos);

    // The token must come with the form's own cookie.
    EXPECT_EQ(LogIn(site, "correct+horse", "").status, 403);
    EXPECT_EQ(LogIn(site, "correct+horse", RandomHex(32)).status, 403);
    const WebResponse wrong = LogIn(site, "wrong+horse");
    EXPECT_EQ(wrong.status, 401);
    EXPECT_EQ(wrong.delay, 1s);
    EXPECT_EQ(CookieSet(wrong, "kalvinor_session"), "");
    // Asked again before the wait is over, the right password is not checked.
    const WebResponse early = LogIn(site, "correct+horse");
    EXPECT_EQ(early.status, 429);
    EXPECT_EQ(Header(early, "Retry-After"), "1");

    now_ += 1s;
    const WebResponse in = LogIn(site, "correct+horse");
    ASSERT_EQ(in.status, 303);
    EXPECT_EQ(Header(in, "Location"), "/month?month=2026-12");
    EXPECT_TRUE(Header(in, "Set-Cookie", "kalvinor_session=")
                    .ends_with("; Path=/; HttpOnly; SameSite=Strict; Secure"));
    const std::string session = CookieSet(in, "kalvinor_session");
    const WebResponse page = Ask(site, "GET", "/month?month=2026-12", session);
    ASSERT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("Uživatel: anna"), std::string::npos);
    EXPECT_NE(page.body.find("Žofie Čermáková"), std::string::npos);

    EXPECT_EQ(Ask(site, "POST", "/logout", session, "token=").status, 403);
    EXPECT_EQ(Ask(site, "GET", "/", session).status, 200) << "a refused logout ends nothing";
    const WebResponse out =
        Ask(site, "POST", "/logout", session, "token=" + Field(page.body, "token"));
    EXPECT_EQ(out.status, 303);
    EXPECT_EQ(Ask(site, "GET", "/", session).status, 303);
    EXPECT_NE(logged_.str().find("failed login as 'anna' from 10.0.0.9"), std::string::npos);
}

TEST_F(ReportSiteTest, ASessionEndsWhenItsUserGetsANewPasswordOrIsRemoved) {
    const std::string correct = HashPassword("correct horse");
    database_.users->PutUser("anna", correct);
    database_.users->PutUser("bob", HashPassword("battery staple"));
    ReportSite site = Site({.tls = true, .loopback = false});
    const auto sessionAfter = [&](const std::function<void()>& change) {
        const std::string session = CookieSet(LogIn(site, "correct+horse"), "kalvinor_session");
        EXPECT_EQ(Ask(site, "GET", "/", session).status, 200);
        change();
        return Ask(site, "GET", "/", session).status;
    };
    EXPECT_EQ(sessionAfter([&] { database_.users->PutUser("bob", HashPassword("new staple")); }),
              200);
    EXPECT_EQ(sessionAfter([&] { database_.users->PutUser("anna", HashPassword("other")); }), 303);
    database_.users->PutUser("anna", correct);
    EXPECT_EQ(sessionAfter([&] { database_.users->RemoveUser("anna"); }), 303);
}

// On loopback the page is open until the database has a user; over plain
// HTTP its cookies cannot be Secure, or the browser would drop them.
TEST_F(ReportSiteTest, OnLoopbackALoginIsNeededOnceThereIsAUser) {
    ReportSite site = Site({.tls = false, .loopback = true});
    EXPECT_EQ(Ask(site, "GET", "/").status, 200);
    database_.users->PutUser("anna", HashPassword("correct horse"));
    EXPECT_EQ(Ask(site, "GET", "/").status, 303);
    const WebResponse in = LogIn(site, "correct+horse");
    EXPECT_EQ(Header(in, "Set-Cookie", "kalvinor_session=").find("Secure"), std::string::npos);
    EXPECT_EQ(Ask(site, "GET", "/", CookieSet(in, "kalvinor_session")).status, 200);
}

// A store whose database went away.
class UnreadableStore : public RecordStore, public HolderStore, public UserStore {
public:
    AddedRecords Add(std::span<const StoredRecord>) override { return {}; }
    void ForEach(const RecordVisitor&) override {}
    void ForEachOnDay(std::string_view, const RecordVisitor&) override { Fail(); }
    void ForEachInDays(std::string_view, std::string_view, const RecordVisitor&) override {
        Fail();
    }
    ImportMark FindImportMark(std::string_view) override { return {}; }
    std::size_t AddImported(std::string_view, std::span<const StoredRecord>, const ImportMark&,
                            const ImportMark&) override {
        return 0;
    }
    std::vector<CardHolder> Holders() override { Fail(); }
    void ChangeHolders(const HolderChange&) override {}
    std::vector<std::string> UserNames() override { return {}; }
    std::optional<std::string> PasswordHash(const std::string&) override { Fail(); }
    bool PutUser(const std::string&, const std::string&) override { return false; }
    bool RemoveUser(const std::string&) override { return false; }

private:
    [[noreturn]] static void Fail() { throw StoreError("server closed the connection"); }
};

TEST_F(ReportSiteTest, ADatabaseThatCannotBeReadIsTheLogsAffair) {
    auto unreadable = std::make_unique<UnreadableStore>();
    Database database{nullptr, unreadable.get(), unreadable.get()};
    database.records = std::move(unreadable);
    ReportSite site(database, {}, log_, [] { return std::string("2026-12-07"); });
    for (const char* target : {"/", "/month", "/month.csv?month=2026-12"}) {
        const WebResponse response = Ask(site, "GET", target);
        EXPECT_EQ(response.status, 503) << target;
        EXPECT_EQ(response.body.find("closed the connection"), std::string::npos)
            << "told to the log only";
    }
    EXPECT_NE(logged_.str().find("server closed the connection"), std::string::npos);
}

// A login leads only to a page of this site, by an address that cannot end
// the header it goes in.
TEST_F(ReportSiteTest, ALoginLeadsOnlyToAPageOfThisSite) {
    database_.users->PutUser("anna", HashPassword("correct horse"));
    ReportSite site = Site({.tls = true, .loopback = false});
    const std::pair<std::string, std::string> nexts[] = {
        {"%2Fmonth%3Fmonth%3D2026-11%26lang%3Den", "/month?month=2026-11&lang=en"},
        {"%2F%2Fevil.example%2F", "/"},
        {"https%3A%2F%2Fevil.example%2F", "/"},
        {"%2Fmonth%0D%0ASet-Cookie%3A+x%3D1", "/"},
        {"%2Fetc%2Fpasswd", "/"},
    };
    for (const auto& [next, location] : nexts) {
        const WebResponse form = Ask(site, "GET", "/login");
        const WebResponse in = Ask(site, "POST", "/login", CookieSet(form, "kalvinor_login"),
                                   "token=" + Field(form.body, "token") + "&next=" + next +
                                       "&user=anna&password=correct+horse");
        EXPECT_EQ(Header(in, "Location"), location) << next;
    }
}

} // namespace
} // namespace lorvent::server
