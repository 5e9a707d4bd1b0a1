#include "server/report_site.h"

#include "server/day_report.h"
#include "server/holders_file.h"
#include "server/presence_report.h"
#include "server/server_options.h"
#include "server/web_crypto.h"

#include <set>

namespace lorvent::server {

namespace {

constexpr const char* kSessionCookie = "kalvinor_session";
// Binds the login form's token to the browser that loaded the form, so that
// another site cannot log a browser in (there is no session yet).
constexpr const char* kLoginCookie = "kalvinor_login";
constexpr std::size_t kLoginCookieBytes = 32;
constexpr std::size_t kMaxNextLength = 512;

bool IsPagePath(const std::string& path) {
    return path == "/" || path == "/report.csv" || path == "/month" || path == "/month.csv";
}

// Where a login may lead: a page of this site, with nothing in the address
// that could end a header or lead elsewhere.
bool IsLocalTarget(const std::string& target) {
    if (target.empty() || target.size() > kMaxNextLength || target[0] != '/' ||
        target.starts_with("//"))
        return false;
    for (char c : target)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              std::string_view("/?=&-._~%").find(c) != std::string_view::npos))
            return false;
    return IsPagePath(target.substr(0, target.find('?')));
}

std::string TargetOf(const HttpRequest& request) {
    return request.path + (request.query.empty() ? "" : "?" + request.query);
}

Language RequestLanguage(const HttpRequest& request) {
    const std::string_view form = request.method == "POST" ? request.body : request.query;
    return LanguageOf(FormText(form, "lang"));
}

// A file name of letters, digits and "-" only, whatever the personal number holds.
std::string FileNamePart(const std::string& text) {
    std::string safe;
    for (char c : text)
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-')
            safe += c;
    return safe;
}

WebResponse CsvDownload(std::string csv, const std::string& fileName) {
    WebResponse response{200, "text/csv; charset=utf-8", std::move(csv), {}, {}};
    response.headers.emplace_back("Content-Disposition",
                                  "attachment; filename=\"" + fileName + "\"");
    return response;
}

std::string WaitText(LoginThrottle::Clock::duration wait) {
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(wait).count();
    return std::to_string(seconds);
}

} // namespace

std::string ExposureProblem(const std::string& address, SiteAccess access, std::size_t users) {
    if (access.loopback || (access.tls && users > 0))
        return "";
    std::string missing;
    if (!access.tls)
        missing = "HTTPS (--web-cert FILE --web-key FILE)";
    if (users == 0)
        missing += std::string(missing.empty() ? "" : " and ") +
                   "a user to log in (kalvinor-server users add NAME)";
    return "the report page on " + address +
           " would be reachable from other machines; it is served there only over HTTPS and "
           "behind a login, and lacks " +
           missing;
}

ReportSite::ReportSite(Database& database, SiteAccess access, LineSink& log,
                       std::function<std::string()> today)
    : database_(database), access_(access), log_(log), today_(std::move(today)) {}

WebResponse ReportSite::Answer(const HttpRequest& request, const std::string& clientAddress,
                               Clock::time_point now) {
    try {
        return AnswerOrThrow(request, clientAddress, now);
    } catch (const StoreError& error) {
        log_.Write(std::string("kalvinor-server: web page: ") + error.what());
        return PlainResponse(503, "The database cannot be read just now; try again shortly.");
    } catch (const std::exception& error) {
        // Nothing may end the page's thread, which would end the server.
        log_.Write(std::string("kalvinor-server: web page: ") + error.what());
        return PlainResponse(500, "The page could not be made; the server's log says why.");
    }
}

WebResponse ReportSite::AnswerOrThrow(const HttpRequest& request, const std::string& clientAddress,
                                      Clock::time_point now) {
    const bool reading = request.method == "GET" || request.method == "HEAD";
    if (request.path == "/login" && request.method == "POST")
        return Login(request, clientAddress, now);
    if (request.path == "/logout" && request.method == "POST")
        return Logout(request, now);
    if (!reading)
        return PlainResponse(405, "This page is read-only.");
    const Language language = RequestLanguage(request);
    if (request.path == "/login") {
        const std::string next = FormText(request.query, "next");
        return LoginForm(request, language, IsLocalTarget(next) ? next : "/", 200, "");
    }
    if (!IsPagePath(request.path))
        return PlainResponse(404, "No such page; the report is at /.");
    PageFrame frame{language, "", ""};
    if (LoginNeeded()) {
        const WebSession* session = SessionOf(request, now);
        if (!session)
            return Redirect(
                PageLink(language, "/login", {{"next", PercentEncoded(TargetOf(request))}}));
        frame.user = session->user;
        frame.csrfToken = session->csrfToken;
    }
    return Page(request, frame);
}

bool ReportSite::LoginNeeded() {
    return !access_.loopback || !database_.users->UserNames().empty();
}

const WebSession* ReportSite::SessionOf(const HttpRequest& request, Clock::time_point now) {
    const std::string id = CookieValue(request.cookies, kSessionCookie);
    const WebSession* session = sessions_.Find(id, now);
    if (!session)
        return nullptr;
    const std::optional<std::string> hash = database_.users->PasswordHash(session->user);
    if (hash && TokensEqual(*hash, session->passwordHash))
        return session;
    sessions_.Close(id);
    return nullptr;
}

std::string ReportSite::Cookie(const std::string& name, const std::string& value,
                               bool expire) const {
    return name + "=" + value + "; Path=/; HttpOnly; SameSite=Strict" +
           (access_.tls ? "; Secure" : "") + (expire ? "; Max-Age=0" : "");
}

WebResponse ReportSite::LoginForm(const HttpRequest& request, Language language,
                                  const std::string& next, int status, const std::string& message) {
    std::string cookie = CookieValue(request.cookies, kLoginCookie);
    if (cookie.size() != kLoginCookieBytes * 2)
        cookie = RandomHex(kLoginCookieBytes);
    WebResponse response{status,
                         "text/html; charset=utf-8",
                         LoginPage(language, {sessions_.LoginToken(cookie), next, message}),
                         {{"Set-Cookie", Cookie(kLoginCookie, cookie, false)}},
                         {}};
    return response;
}

WebResponse ReportSite::Login(const HttpRequest& request, const std::string& clientAddress,
                              Clock::time_point now) {
    const Language language = RequestLanguage(request);
    const PageWords& words = WordsOf(language);
    std::string next = FormText(request.body, "next");
    if (!IsLocalTarget(next))
        next = "/";
    if (!sessions_.LoginTokenMatches(CookieValue(request.cookies, kLoginCookie),
                                     FormText(request.body, "token")))
        return LoginForm(request, language, next, 403, words.formExpired);
    if (const auto wait = throttle_.WaitLeft(clientAddress, now); wait > Clock::duration::zero()) {
        WebResponse refused =
            LoginForm(request, language, next, 429, words.tooManyLogins + (" " + WaitText(wait)));
        refused.headers.emplace_back("Retry-After", WaitText(wait));
        return refused;
    }
    const std::string user = FormText(request.body, "user");
    const std::optional<std::string> hash =
        IsUserName(user) ? database_.users->PasswordHash(user) : std::nullopt;
    if (!CheckPassword(hash, FormText(request.body, "password"))) {
        const auto delay = throttle_.Failed(clientAddress, now);
        log_.Write("kalvinor-server: web page: failed login" +
                   (IsUserName(user) ? " as '" + user + "'" : std::string()) + " from " +
                   clientAddress);
        WebResponse failed = LoginForm(request, language, next, 401, words.wrongPassword);
        failed.delay = delay;
        return failed;
    }
    throttle_.Succeeded(clientAddress);
    const std::string id = sessions_.Open({user, *hash, ""}, now);
    log_.Write("kalvinor-server: web page: '" + user + "' logged in from " + clientAddress);
    WebResponse response = Redirect(next);
    response.headers.emplace_back("Set-Cookie", Cookie(kSessionCookie, id, false));
    response.headers.emplace_back("Set-Cookie", Cookie(kLoginCookie, "", true));
    return response;
}

bool ReportSite::CheckPassword(const std::optional<std::string>& hash,
                               const std::string& password) {
    if (hash)
        return PasswordMatches(*hash, password);
    if (unknownUserHash_.empty())
        unknownUserHash_ = HashPassword(RandomHex(16));
    PasswordMatches(unknownUserHash_, password);
    return false;
}

WebResponse ReportSite::Logout(const HttpRequest& request, Clock::time_point now) {
    const Language language = RequestLanguage(request);
    const WebSession* session = SessionOf(request, now);
    if (session && !TokensEqual(session->csrfToken, FormText(request.body, "token")))
        return PlainResponse(403, WordsOf(language).formExpired);
    if (session)
        log_.Write("kalvinor-server: web page: '" + session->user + "' logged out");
    sessions_.Close(CookieValue(request.cookies, kSessionCookie));
    WebResponse response = Redirect(PageLink(language, "/login"));
    response.headers.emplace_back("Set-Cookie", Cookie(kSessionCookie, "", true));
    return response;
}

WebResponse ReportSite::Page(const HttpRequest& request, const PageFrame& frame) {
    if (request.path == "/" || request.path == "/report.csv")
        return DayAnswer(request, frame);
    return MonthAnswer(request, frame);
}

WebResponse ReportSite::DayAnswer(const HttpRequest& request, const PageFrame& frame) {
    std::string day = FormText(request.query, "day");
    if (day.empty())
        day = today_();
    if (!IsDay(day))
        return PlainResponse(400, "The day must be given as YYYY-MM-DD.");
    const DayReport report = BuildDayReport(*database_.records, day);
    if (request.path == "/report.csv")
        return CsvDownload(ReportCsv(report), "karty-" + day + ".csv");
    const Presence presence = LoadPresence(*database_.records, *database_.holders, day, day);
    return {200, "text/html; charset=utf-8", DayPage(frame, report, presence), {}, {}};
}

WebResponse ReportSite::MonthAnswer(const HttpRequest& request, const PageFrame& frame) {
    std::string month = FormText(request.query, "month");
    if (month.empty())
        month = today_().substr(0, 7);
    if (!IsMonth(month))
        return PlainResponse(400, "The month must be given as YYYY-MM.");
    const std::string personId = FormText(request.query, "person");
    std::string personalNumber;
    if (!personId.empty()) {
        const std::optional<std::string> found = PersonWithId(personId);
        if (!found)
            return PlainResponse(404, "No such person; the list of everyone is at /month.");
        personalNumber = *found;
    }
    const auto [first, last] = DaysOfMonth(month);
    const Presence presence =
        LoadPresence(*database_.records, *database_.holders, first, last, personalNumber);
    if (request.path == "/month.csv")
        return CsvDownload(MonthPresenceCsv(presence),
                           "dochazka-" + month +
                               (personalNumber.empty() ? "" : "-" + FileNamePart(personalNumber)) +
                               ".csv");
    const PersonIdOf idOf = [this](const std::string& number) {
        return sessions_.OpaqueName(number);
    };
    return {
        200, "text/html; charset=utf-8", MonthPage(frame, month, presence, idOf, personId), {}, {}};
}

std::optional<std::string> ReportSite::PersonWithId(const std::string& id) {
    std::set<std::string> numbers;
    for (const CardHolder& holder : database_.holders->Holders())
        if (!holder.HeldByNobody())
            numbers.insert(holder.personalNumber);
    for (const std::string& number : numbers)
        if (TokensEqual(sessions_.OpaqueName(number), id))
            return number;
    return std::nullopt;
}

} // namespace lorvent::server
