#pragma once

#include "server/day_report.h"
#include "server/page_words.h"
#include "server/presence.h"

#include <functional>
#include <string>

namespace lorvent::server {

// What every page of one request shares.
struct PageFrame {
    Language language = Language::kCzech;
    std::string user;      // the logged-in user; "" where the page needs no login
    std::string csrfToken; // the session's, for the logout form
};

// The day: each person's arrival, departure and hours, the unknown cards
// apart, then the chart of arrivals per hour and each card's and terminal's
// reads. Every name and value is HTML-escaped.
std::string DayPage(const PageFrame& frame, const DayReport& report, const Presence& presence);

// Gives the opaque id by which a person's sheet alone is asked for, from the
// personal number: the address carries no personal data.
using PersonIdOf = std::function<std::string(const std::string& personalNumber)>;

// The month ("yyyy-mm") as sheets, one a person, each day of the month a row,
// with the days present and the hours; printed, each sheet is an A4 page of
// its own. `personId` is the id of the one person the page shows, or "".
std::string MonthPage(const PageFrame& frame, const std::string& month, const Presence& presence,
                      const PersonIdOf& idOf, const std::string& personId);

struct LoginForm {
    std::string token;   // the login form's token (WebSessions::LoginToken)
    std::string next;    // the page to go to after the login
    std::string message; // why the last login failed; "" at first
};

std::string LoginPage(Language language, const LoginForm& form);

// "/path?name=value&...", with lang=en added in English. The values go into
// the address as they are: the callers pass days, months and opaque ids.
std::string PageLink(Language language, const std::string& path,
                     const std::vector<std::pair<std::string, std::string>>& query = {});

} // namespace lorvent::server
