// The report page as an office away from the server sees it: kalvinor-server
// serving it over HTTPS on every address, with a certificate the test makes,
// and Debian's chromium, headless, logging in, reading the month's sheets,
// downloading their CSV and printing them. Requests a browser would not send
// (no form token, a wrong password) go over HTTPS from the test itself.
// LORVENT_SHEET_SCREENSHOTS=DIR keeps a screenshot of the month sheet and
// the sheets printed to PDF there (scripts/report-screenshots).
#include "server/card_holders.h"
#include "server/http_request.h"
#include "server/sqlite_record_store.h"
#include "server/web_crypto.h"
#include "support/devtools_browser.h"
#include "support/program_rig.h"
#include "support/test_certificate.h"

#include <gtest/gtest.h>

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <csignal>
#include <fstream>
#include <regex>

namespace lorvent {
namespace {

using namespace std::chrono_literals;
using server::ParseRecordLine;
using server::SqliteRecordStore;
using server::StoredRecord;
using testing::TCertificate;
using testing::TDevToolsBrowser;
using testing::TProgramRig;

constexpr const char* kPassword = "Žluťoučký kůň 7";

// Three people over the first fortnight of December 2026, Jan on nights, and
// a card nobody holds.
void FillDatabase(const std::string& path) {
    SqliteRecordStore store(path);
    std::vector<server::HolderLine> lines =
        server::ParseHoldersFile("Karta;Jméno;Osobní číslo;Oddělení\n"
                                 "012aff007b;Žofie Čermáková;0042;Účtárna\n"
                                 "0000ffff;Jan Novák;57;Sklad\n"
                                 "0000aaaa;Bedřich Šťastný;103;Údržba\n");
    store.ChangeHolders([&](const std::vector<server::CardHolder>& held) {
        return server::AssignmentsToImport(held, lines, "2026-12-01");
    });
    std::vector<StoredRecord> records;
    const auto add = [&](int day, const char* time, const char* card) {
        char line[64];
        std::snprintf(line, sizeof line, "L %02d/12/2026-%s %s", day, time, card);
        records.push_back({std::get<server::AttendanceRecord>(ParseRecordLine(line)), "10.0.0.15",
                           "2026-12-01T06:00:00.000Z"});
    };
    for (int day = 1; day <= 14; ++day) {
        if (day % 7 == 5 || day % 7 == 6)
            continue; // the weekend
        add(day, day % 2 ? "07:52" : "08:04", "012aff007b");
        add(day, day % 2 ? "16:31" : "15:58", "012aff007b");
        add(day, "21:57", "0000ffff");
        add(day + 1, "06:05", "0000ffff");
        if (day % 3 == 0)
            add(day, "06:45", "0000aaaa");
    }
    add(9, "09:13", "1234abcd");
    add(9, "09:14", "1234abcd");
    store.Add(records);
    store.PutUser("anna", server::HashPassword(kPassword));
}

// What chromium is told to trust: the certificate's public key, as SHA-256
// in base64.
std::string PublicKeyDigest(const TCertificate& certificate) {
    FILE* file = std::fopen(certificate.certificate.c_str(), "r");
    X509* x509 = file ? PEM_read_X509(file, nullptr, nullptr, nullptr) : nullptr;
    if (file)
        std::fclose(file);
    unsigned char* der = nullptr;
    const int length = x509 ? i2d_X509_PUBKEY(X509_get_X509_PUBKEY(x509), &der) : 0;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned digestLength = 0;
    EVP_Digest(der, static_cast<std::size_t>(length), digest, &digestLength, EVP_sha256(), nullptr);
    OPENSSL_free(der);
    X509_free(x509);
    unsigned char base64[2 * EVP_MAX_MD_SIZE];
    EVP_EncodeBlock(base64, digest, static_cast<int>(digestLength));
    return reinterpret_cast<const char*>(base64);
}

// The server with its page on every address over HTTPS; the page's port.
std::uint16_t StartServer(TProgramRig& rig, const TCertificate& certificate) {
    testing::TServerStart start;
    start.arguments = {"--web-port", "0",
                       "--web-bind", "0.0.0.0",
                       "--web-cert", certificate.certificate,
                       "--web-key",  certificate.key};
    if (!rig.StartServer(start))
        throw std::runtime_error("the server did not start: " + rig.server->Stderr());
    const std::string line = rig.server->ReadStderrLine(10s).value_or("");
    std::smatch match;
    if (!std::regex_search(line, match, std::regex(R"(https://0\.0\.0\.0:(\d+)/, behind a login)")))
        throw std::runtime_error("no page: " + line);
    return static_cast<std::uint16_t>(std::stoi(match[1]));
}

// One request over HTTPS, the server's certificate checked; the response.
std::string HttpsExchange(std::uint16_t port, const TCertificate& certificate,
                          const std::string& request) {
    asio::io_context io;
    asio::ssl::context context(asio::ssl::context::tls_client);
    context.load_verify_file(certificate.certificate);
    context.set_verify_mode(asio::ssl::verify_peer);
    asio::ssl::stream<asio::ip::tcp::socket> stream(io, context);
    stream.lowest_layer().connect({asio::ip::make_address("127.0.0.1"), port});
    stream.handshake(asio::ssl::stream_base::client);
    asio::write(stream, asio::buffer(request));
    std::string response;
    asio::error_code end;
    asio::read(stream, asio::dynamic_buffer(response), end);
    return response;
}

std::string Post(const std::string& path, const std::string& cookie, const std::string& body) {
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + cookie +
           "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Match(const std::string& text, const std::string& pattern) {
    std::smatch match;
    return std::regex_search(text, match, std::regex(pattern)) ? match[1].str() : "";
}

void Keep(const std::string& name, const std::string& bytes) {
    if (const char* dir = std::getenv("LORVENT_SHEET_SCREENSHOTS"))
        std::ofstream(std::string(dir) + "/" + name, std::ios::binary) << bytes;
}

std::string Screenshot(TDevToolsBrowser& browser) {
    return testing::Base64Decoded(
        testing::JsonString(browser.Call("Page.captureScreenshot", R"({"format":"png"})"), "data")
            .value_or(""));
}

TEST(ReportLoginBrowserTest, ChromiumLogsInOverHttpsReadsPrintsAndDownloadsTheMonth) {
    TProgramRig rig;
    FillDatabase(rig.Database());
    const TCertificate certificate = testing::MakeCertificate(rig.Dir());
    const std::string base = "https://127.0.0.1:" + std::to_string(StartServer(rig, certificate));
    TDevToolsBrowser browser(
        rig.File("profile").string(),
        {"--ignore-certificate-errors-spki-list=" + PublicKeyDigest(certificate)});
    browser.Call("Emulation.setDeviceMetricsOverride",
                 R"({"width":1000,"height":900,"deviceScaleFactor":1,"mobile":false})");

    browser.Open(base + "/month?month=2026-12");
    ASSERT_EQ(browser.Evaluate("location.pathname"), "/login");
    browser.EvaluateAndWaitForLoad(
        "document.querySelector('[name=user]').value = 'anna';"
        "document.querySelector('[name=password]').value = " +
        testing::JsonQuoted(kPassword) +
        ";"
        "document.querySelector('form[action=\"/login\"] button').click()");
    ASSERT_EQ(browser.Evaluate("location.pathname + location.search"), "/month?month=2026-12");
    EXPECT_EQ(browser.Evaluate("document.documentElement.lang"), "cs");
    EXPECT_EQ(browser.Evaluate("[...document.querySelectorAll('section.sheet h2')]"
                               ".map(h => h.firstChild.textContent.trim()).join('|')"),
              "Žofie Čermáková|Jan Novák|Bedřich Šťastný");
    EXPECT_EQ(browser.Evaluate("document.querySelector('section.sheet tfoot').textContent"),
              "Dní v práci: 10Hodin celkem82,75");

    const std::string cookies = browser.Call("Network.getCookies");
    const std::string session = cookies.substr(cookies.find("\"name\":\"kalvinor_session\""));
    const std::string sessionCookie = session.substr(0, session.find('}'));
    for (const char* attribute :
         {"\"httpOnly\":true", "\"secure\":true", "\"sameSite\":\"Strict\""})
        EXPECT_NE(sessionCookie.find(attribute), std::string::npos) << sessionCookie;

    const std::string screen = Screenshot(browser);
    EXPECT_EQ(screen.substr(1, 3), "PNG");
    Keep("month-sheet.png", screen);

    // Printed: one A4 page a person, and one for the unknown cards.
    const std::string pdf = testing::Base64Decoded(
        testing::JsonString(browser.Call("Page.printToPDF", R"({"preferCSSPageSize":true})"),
                            "data")
            .value_or(""));
    ASSERT_TRUE(pdf.starts_with("%PDF"));
    const std::regex page(R"(/Type\s*/Page[^s])");
    EXPECT_EQ(
        std::distance(std::sregex_iterator(pdf.begin(), pdf.end(), page), std::sregex_iterator()),
        4);
    EXPECT_NE(Match(pdf, R"(/MediaBox\s*\[0 0 (59[45]\.\d+ 84[12]\.\d+)\])"), "") << "A4";
    Keep("month-sheet.pdf", pdf);

    // The day, as before with names, the unknown card apart.
    browser.Open(base + "/?day=2026-12-09");
    const auto rows = [&](const std::string& table) {
        return browser.Evaluate("[...document.querySelectorAll('" + table +
                                " tbody tr')].map(r => [...r.cells].map(c => c.textContent)"
                                ".join('/')).join('|')");
    };
    EXPECT_EQ(rows("#people"), "103/Bedřich Šťastný/Údržba/06:45/—//10.0.0.15|"
                               "0042/Žofie Čermáková/Účtárna/07:52/16:31/8,65/10.0.0.15|"
                               "57/Jan Novák/Sklad/21:57/06:05+1/8,13/10.0.0.15");
    EXPECT_EQ(rows("#unknown"), "1234abcd/09:13 10.0.0.15, 09:14 10.0.0.15");
    Keep("report-page.png", Screenshot(browser));
    browser.Open(base + "/month?month=2026-12");

    const std::string downloads = rig.File("downloads").string();
    browser.Call("Browser.setDownloadBehavior",
                 R"({"behavior":"allow","eventsEnabled":true,"downloadPath":)" +
                     testing::JsonQuoted(downloads) + "}",
                 true);
    browser.Evaluate("document.querySelector('nav a[href^=\"/month.csv\"]').click()");
    EXPECT_EQ(
        testing::JsonString(browser.WaitForEvent("Browser.downloadWillBegin"), "suggestedFilename"),
        "dochazka-2026-12.csv");
    std::string state;
    while (state != "completed" && state != "canceled")
        state = testing::JsonString(browser.WaitForEvent("Browser.downloadProgress"), "state")
                    .value_or("");
    ASSERT_EQ(state, "completed");
    const std::string csv = testing::FileBytes(downloads + "/dochazka-2026-12.csv");
    EXPECT_TRUE(csv.starts_with("\xEF\xBB\xBF"
                                "Druh;Osobní číslo;Jméno;"))
        << csv;
    EXPECT_NE(csv.find("den;0042;Žofie Čermáková;Účtárna;012aff007b;1.12.2026;7:52;16:31;8,65;;"),
              std::string::npos)
        << csv;
    EXPECT_NE(csv.find("celkem;0042;Žofie Čermáková;Účtárna;;;;;82,75;10;"), std::string::npos);

    rig.server->Signal(SIGTERM);
    EXPECT_EQ(rig.server->Wait(10s), 0);
}

// Neither a login without the form's token nor one with a wrong password
// opens a session; the wrong one is answered a second late.
TEST(ReportLoginBrowserTest, AMissingFormTokenAndAWrongPasswordAreRefused) {
    TProgramRig rig;
    FillDatabase(rig.Database());
    const TCertificate certificate = testing::MakeCertificate(rig.Dir());
    const std::uint16_t port = StartServer(rig, certificate);
    const std::string form =
        HttpsExchange(port, certificate, "GET /login HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const std::string cookie = Match(form, R"(Set-Cookie: (kalvinor_login=[0-9a-f]+);)");
    const std::string token = Match(form, R"re(name="token" value="([0-9a-f]+)")re");
    ASSERT_FALSE(cookie.empty()) << form;
    ASSERT_FALSE(token.empty()) << form;
    const std::string password = "password=" + server::PercentEncoded(kPassword);

    struct Attempt {
        std::string body;
        std::string status;
    };
    const Attempt attempts[] = {
        {"user=anna&" + password, "HTTP/1.1 403 Forbidden"},
        {"token=" + token + "&user=anna&password=wrong+horse", "HTTP/1.1 401 Unauthorized"},
        {"token=" + token + "&user=nobody&" + password, "HTTP/1.1 401 Unauthorized"},
    };
    for (const Attempt& attempt : attempts) {
        const std::string answer =
            HttpsExchange(port, certificate, Post("/login", cookie, attempt.body));
        EXPECT_TRUE(answer.starts_with(attempt.status)) << attempt.body << "\n" << answer;
        EXPECT_EQ(answer.find("kalvinor_session="), std::string::npos) << attempt.body;
    }
    const std::string right = HttpsExchange(
        port, certificate, Post("/login", cookie, "token=" + token + "&user=anna&" + password));
    EXPECT_TRUE(right.starts_with("HTTP/1.1 303")) << right;
    EXPECT_NE(right.find("Set-Cookie: kalvinor_session="), std::string::npos) << right;
}

} // namespace
} // namespace lorvent
