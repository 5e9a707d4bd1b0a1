#pragma once

#include "server/http_request.h"
#include "server/line_sink.h"
#include "server/login_throttle.h"
#include "server/record_store_factory.h"
#include "server/report_pages.h"
#include "server/web_response.h"
#include "server/web_sessions.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace lorvent::server {

// How the report page is reached.
struct SiteAccess {
    bool tls = false;     // over HTTPS: its cookies are Secure
    bool loopback = true; // on a loopback address only
};

// Why the page may not be served as `access` says, or "" when it may: on an
// address other machines reach it needs HTTPS and at least one user.
std::string ExposureProblem(const std::string& address, SiteAccess access, std::size_t users);

// The report page's answers: the day (/, /report.csv) and the month
// (/month, /month.csv), in Czech or English (lang=en), read-only; the login
// (/login) and the logout (/logout). A login is needed when the page is
// reached from other machines, and on loopback too once the database has a
// user. A person's sheet is asked for by an opaque id, so that the address
// carries no more than a day or a month.
//
// Used on the report page's one thread; reads the database there.
class ReportSite {
public:
    using Clock = std::chrono::steady_clock;

    ReportSite(Database& database, SiteAccess access, LineSink& log,
               std::function<std::string()> today);

    // The answer to a request read whole from `clientAddress`. Throws
    // nothing: a database that cannot be read is a 503, any other failure a
    // 500, both logged.
    WebResponse Answer(const HttpRequest& request, const std::string& clientAddress,
                       Clock::time_point now);

private:
    WebResponse AnswerOrThrow(const HttpRequest& request, const std::string& clientAddress,
                              Clock::time_point now);
    bool LoginNeeded();
    // The request's session, or nullptr; a session whose user was removed or
    // given another password ends here.
    const WebSession* SessionOf(const HttpRequest& request, Clock::time_point now);
    WebResponse LoginForm(const HttpRequest& request, Language language, const std::string& next,
                          int status, const std::string& message);
    WebResponse Login(const HttpRequest& request, const std::string& clientAddress,
                      Clock::time_point now);
    WebResponse Logout(const HttpRequest& request, Clock::time_point now);
    WebResponse Page(const HttpRequest& request, const PageFrame& frame);
    WebResponse DayAnswer(const HttpRequest& request, const PageFrame& frame);
    WebResponse MonthAnswer(const HttpRequest& request, const PageFrame& frame);
    // The personal number whose opaque id is `id`, or nothing.
    std::optional<std::string> PersonWithId(const std::string& id);
    bool CheckPassword(const std::optional<std::string>& hash, const std::string& password);
    std::string Cookie(const std::string& name, const std::string& value, bool expire) const;

    Database& database_;
    SiteAccess access_;
    LineSink& log_;
    std::function<std::string()> today_;
    WebSessions sessions_;
    LoginThrottle throttle_;
    // Checked against when the user does not exist, so that a login takes
    // as long whether the name is known or not.
    std::string unknownUserHash_;
};

} // namespace lorvent::server
