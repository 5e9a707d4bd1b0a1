#include "server/report_pages.h"

#include "server/html_text.h"
#include "server/http_request.h"
#include "server/presence_report.h"
#include "server/text_table.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>

namespace lorvent::server {

namespace {

// On paper each person's sheet is an A4 page of its own: a page break comes
// before every sheet but the first, each names the month, and the heading
// and the navigation are left off.
constexpr const char* kPageStyle =
    "body{font-family:sans-serif;margin:1.5em;color:#222}"
    "h1{font-size:1.4em}h2{font-size:1.15em;margin:.3em 0}"
    "nav{margin-bottom:1em}nav a,nav form{margin-right:1em;display:inline}"
    ".session{float:right}.session form{display:inline}"
    "table{border-collapse:collapse;margin:1em 2em 1em 0;display:inline-table;vertical-align:top}"
    "caption{text-align:left;font-weight:bold;padding:.3em 0}"
    "th,td{border:1px solid #bbb;padding:.2em .6em;text-align:left}"
    "td:nth-child(n+2){font-variant-numeric:tabular-nums}"
    "td.none{color:#777;font-style:italic}"
    ".error{color:#a00;font-weight:bold}"
    "label{display:block;margin:.6em 0}"
    "section.sheet{border-top:2px solid #3b73b9;margin-top:1.5em}"
    "section.sheet table{display:table}"
    "tr.weekend td{background:#f0f0f0}"
    ".who{font-weight:normal;color:#555}"
    "svg{width:100%;max-width:780px;height:auto;display:block}"
    ".bar{fill:#3b73b9}.hour,.count{font-size:11px;text-anchor:middle;fill:#444}"
    "@page{size:A4;margin:14mm}"
    ".print{display:none}"
    "@media print{body{margin:0;font-size:10pt}nav,.session,.screen{display:none}"
    ".print{display:block;margin:0}"
    "section.sheet{border:0;margin:0}"
    "section.sheet+section.sheet{break-before:page;page-break-before:always}"
    "table{width:100%;margin:.5em 0}th,td{padding:1px 5px}"
    "tr.weekend td{background:none;color:#666}}";

using Query = std::vector<std::pair<std::string, std::string>>;

std::string Document(const PageWords& words, const std::string& title, const std::string& body) {
    return std::string("<!DOCTYPE html>\n<html lang=\"") + words.htmlLang +
           "\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width\"><title>" +
           HtmlEscaped(title) + "</title><style>" + kPageStyle + "</style></head>\n<body>\n" +
           body + "</body></html>\n";
}

std::string Link(const std::string& href, const std::string& text) {
    return "<a href=\"" + HtmlEscaped(href) + "\">" + HtmlEscaped(text) + "</a>";
}

std::string Cell(const std::string& text) {
    return "<td>" + HtmlEscaped(text) + "</td>";
}

std::string HeadingRow(std::initializer_list<const char*> headings) {
    std::string row = "<tr>";
    for (const char* heading : headings)
        row += std::string("<th>") + heading + "</th>";
    return row + "</tr>";
}

std::string HiddenField(const std::string& name, const std::string& value) {
    return "<input type=\"hidden\" name=\"" + name + "\" value=\"" + HtmlEscaped(value) + "\">";
}

std::string LanguageField(Language language) {
    return language == Language::kEnglish ? HiddenField("lang", "en") : "";
}

// The logged-in user and the logout button, which posts the session's token.
std::string SessionBox(const PageFrame& frame) {
    if (frame.user.empty())
        return "";
    const PageWords& words = WordsOf(frame.language);
    return std::string("<div class=\"session\">") + words.user + ": " + HtmlEscaped(frame.user) +
           " <form method=\"post\" action=\"/logout\">" + HiddenField("token", frame.csrfToken) +
           LanguageField(frame.language) + "<button>" + words.logOut + "</button></form></div>\n";
}

std::string OtherLanguageLink(const PageFrame& frame, const std::string& path, Query query) {
    const Language other =
        frame.language == Language::kEnglish ? Language::kCzech : Language::kEnglish;
    return Link(PageLink(other, path, query), WordsOf(frame.language).otherLanguage);
}

std::string HoursOf(const PersonDay& day, const PageWords& words) {
    return day.minutes ? HoursText(*day.minutes, words.decimalPoint) : "";
}

std::string Joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text;
}

std::string DateText(Language language, const std::string& day) {
    return language == Language::kEnglish ? day : CzechDate(day);
}

std::chrono::year_month_day DateOf(const std::string& day) {
    using namespace std::chrono;
    return {year{std::stoi(day.substr(0, 4))},
            month{static_cast<unsigned>(std::stoi(day.substr(5, 2)))},
            std::chrono::day{static_cast<unsigned>(std::stoi(day.substr(8, 2)))}};
}

// 0 for Monday, 6 for Sunday.
unsigned WeekdayIndex(const std::string& day) {
    return std::chrono::weekday{std::chrono::sys_days{DateOf(day)}}.iso_encoding() - 1;
}

// "prosinec 2026"
std::string MonthName(const PageWords& words, const std::string& month) {
    return std::string(words.months[std::stoi(month.substr(5, 2)) - 1]) + " " + month.substr(0, 4);
}

// The month before or after "yyyy-mm".
std::string NeighbourMonth(const std::string& month, int offset) {
    const auto [first, last] = DaysOfMonth(month);
    return (offset < 0 ? DayAfter(first, -1) : DayAfter(last, 1)).substr(0, 7);
}

std::string EmptyRow(int columns, const char* text) {
    return "<tr><td colspan=\"" + std::to_string(columns) + "\" class=\"none\">" + text +
           "</td></tr>\n";
}

// --- The day ---

std::string PeopleTable(const PageWords& words, const Presence& presence) {
    std::vector<const PersonPresence*> people;
    for (const PersonPresence& person : presence.people)
        people.push_back(&person);
    std::stable_sort(people.begin(), people.end(), [](const auto* a, const auto* b) {
        return a->days.front().arrival < b->days.front().arrival;
    });
    std::string html = std::string("<table id=\"people\"><caption>") + words.people +
                       "</caption>\n<thead>" +
                       HeadingRow({words.personalNumber, words.name, words.department,
                                   words.arrival, words.departure, words.hours, words.terminals}) +
                       "</thead>\n<tbody>\n";
    for (const PersonPresence* person : people) {
        const PersonDay& day = person->days.front();
        html += "<tr>" + Cell(person->person.personalNumber) + Cell(person->person.name) +
                Cell(person->person.department) + Cell(day.arrival) + Cell(DepartureText(day)) +
                Cell(HoursOf(day, words)) + Cell(Joined(day.terminals)) + "</tr>\n";
    }
    if (people.empty())
        html += EmptyRow(7, words.nobody);
    return html + "</tbody></table>\n";
}

std::string UnknownCardsTable(const PageWords& words, const Presence& presence, bool withDay,
                              Language language) {
    if (presence.unknownCards.empty())
        return "";
    std::string html = std::string("<table id=\"unknown\"><caption>") + words.unknownCards +
                       "</caption>\n<thead>" +
                       (withDay ? HeadingRow({words.card, words.date, words.reads})
                                : HeadingRow({words.card, words.reads})) +
                       "</thead>\n<tbody>\n";
    for (const UnknownCardDay& card : presence.unknownCards)
        html += "<tr>" + Cell(card.card) + (withDay ? Cell(DateText(language, card.day)) : "") +
                Cell(ReadsText(card)) + "</tr>\n";
    return html + "</tbody></table>\n";
}

std::string TallyTable(const char* id, const PageWords& words, const char* caption,
                       const char* nameHeading, const std::vector<DayTally>& tallies) {
    std::string html = std::string("<table id=\"") + id + "\"><caption>" + caption +
                       "</caption>\n<thead>" +
                       HeadingRow({nameHeading, words.firstRead, words.lastRead, words.reads}) +
                       "</thead>\n<tbody>\n";
    for (const DayTally& tally : tallies)
        html += "<tr>" + Cell(tally.name) + Cell(tally.first) + Cell(tally.last) +
                Cell(std::to_string(tally.reads)) + "</tr>\n";
    if (tallies.empty())
        html += EmptyRow(4, words.noReads);
    return html + "</tbody></table>\n";
}

// Bars of arrivals per hour, drawn by the server so that the page needs no script.
std::string ArrivalsChart(const PageWords& words, const DayReport& report) {
    constexpr int kBarWidth = 28;
    constexpr int kGap = 4;
    constexpr int kPlotHeight = 160;
    constexpr int kTop = 20;
    const int most = std::max(
        1, *std::max_element(report.arrivalsPerHour.begin(), report.arrivalsPerHour.end()));
    std::string svg = "<svg id=\"arrivals\" role=\"img\" viewBox=\"0 0 " +
                      std::to_string(24 * (kBarWidth + kGap) + kGap) + " " +
                      std::to_string(kTop + kPlotHeight + 24) + "\" aria-label=\"" +
                      words.arrivalsPerHour + "\">\n";
    for (int hour = 0; hour < 24; ++hour) {
        const int count = report.arrivalsPerHour[hour];
        const int height = count * kPlotHeight / most;
        const int x = kGap + hour * (kBarWidth + kGap);
        const int y = kTop + kPlotHeight - height;
        char bar[400];
        std::snprintf(bar, sizeof bar,
                      "<rect class=\"bar\" data-hour=\"%d\" data-arrivals=\"%d\" x=\"%d\" y=\"%d\""
                      " width=\"%d\" height=\"%d\"><title>%02d:00-%02d:59: %d</title></rect>\n"
                      "<text class=\"hour\" x=\"%d\" y=\"%d\">%02d</text>\n",
                      hour, count, x, y, kBarWidth, height, hour, hour, count, x + kBarWidth / 2,
                      kTop + kPlotHeight + 16, hour);
        svg += bar;
        if (count > 0)
            svg += "<text class=\"count\" x=\"" + std::to_string(x + kBarWidth / 2) + "\" y=\"" +
                   std::to_string(y - 4) + "\">" + std::to_string(count) + "</text>\n";
    }
    return svg + "</svg>\n";
}

std::string DayNavigation(const PageFrame& frame, const std::string& day) {
    const PageWords& words = WordsOf(frame.language);
    const std::string previous = DayAfter(day, -1);
    const std::string next = DayAfter(day, 1);
    return "<nav>" +
           Link(PageLink(frame.language, "/", {{"day", previous}}),
                "← " + DateText(frame.language, previous)) +
           Link(PageLink(frame.language, "/", {{"day", next}}),
                DateText(frame.language, next) + " →") +
           "<form method=\"get\" action=\"/\"><input type=\"date\" name=\"day\" value=\"" + day +
           "\">" + LanguageField(frame.language) + " <button>" + words.show + "</button></form>" +
           Link(PageLink(frame.language, "/month", {{"month", day.substr(0, 7)}}), words.month) +
           Link(PageLink(frame.language, "/report.csv", {{"day", day}}), words.csv) +
           OtherLanguageLink(frame, "/", {{"day", day}}) + "</nav>\n";
}

// --- The month ---

std::string MonthNavigation(const PageFrame& frame, const std::string& month,
                            const std::string& personId) {
    const PageWords& words = WordsOf(frame.language);
    Query here = {{"month", month}};
    if (!personId.empty())
        here.emplace_back("person", personId);
    const auto monthLink = [&](const std::string& other, const std::string& text) {
        Query query = here;
        query.front().second = other;
        return Link(PageLink(frame.language, "/month", query), text);
    };
    const std::string previous = NeighbourMonth(month, -1);
    const std::string next = NeighbourMonth(month, 1);
    std::string nav = "<nav>" + monthLink(previous, "← " + MonthName(words, previous)) +
                      monthLink(next, MonthName(words, next) + " →") +
                      "<form method=\"get\" action=\"/month\"><input type=\"month\" name=\"month\""
                      " value=\"" +
                      month + "\">" + (personId.empty() ? "" : HiddenField("person", personId)) +
                      LanguageField(frame.language) + " <button>" + words.show +
                      "</button></form>" +
                      Link(PageLink(frame.language, "/", {{"day", month + "-01"}}), words.day) +
                      Link(PageLink(frame.language, "/month.csv", here), words.csv);
    if (!personId.empty())
        nav += Link(PageLink(frame.language, "/month", {{"month", month}}), words.everyone);
    return nav + OtherLanguageLink(frame, "/month", here) + "</nav>\n";
}

std::string SheetRow(const PageFrame& frame, const std::string& day, const PersonDay* present) {
    const PageWords& words = WordsOf(frame.language);
    const unsigned weekday = WeekdayIndex(day);
    std::string row = std::string(weekday >= 5 ? "<tr class=\"weekend\">" : "<tr>") +
                      Cell(DateText(frame.language, day)) + Cell(words.weekdays[weekday]);
    if (!present)
        return row + "<td></td><td></td><td></td><td></td></tr>\n";
    return row + Cell(present->arrival) + Cell(DepartureText(*present)) +
           Cell(HoursOf(*present, words)) + Cell(Joined(present->terminals)) + "</tr>\n";
}

// One person's month: every day of it, present or not.
std::string PersonSheet(const PageFrame& frame, const Presence& presence,
                        const PersonPresence& person, const std::string& id, bool alone) {
    const PageWords& words = WordsOf(frame.language);
    std::map<std::string, const PersonDay*> present;
    for (const PersonDay& day : person.days)
        present[day.day] = &day;
    std::string who = words.personalNumber + std::string(" ") + person.person.personalNumber;
    if (!person.person.department.empty())
        who += " · " + person.person.department;
    std::string html = std::string("<section class=\"sheet\">\n<p class=\"print\">") +
                       words.attendance + " – " + MonthName(words, presence.firstDay.substr(0, 7)) +
                       "</p>\n<h2>" + HtmlEscaped(person.person.name) + " <span class=\"who\">" +
                       HtmlEscaped(who) + "</span></h2>\n";
    if (!alone)
        html += "<p class=\"screen\">" +
                Link(PageLink(frame.language, "/month",
                              {{"month", presence.firstDay.substr(0, 7)}, {"person", id}}),
                     words.thisSheetOnly) +
                "</p>\n";
    html += "<table class=\"month\">\n<thead>" +
            HeadingRow({words.date, words.day, words.arrival, words.departure, words.hours,
                        words.terminals}) +
            "</thead>\n<tbody>\n";
    for (std::string day = presence.firstDay; day <= presence.lastDay; day = DayAfter(day, 1)) {
        const auto found = present.find(day);
        html += SheetRow(frame, day, found == present.end() ? nullptr : found->second);
    }
    return html + "</tbody>\n<tfoot><tr><th colspan=\"2\">" + words.daysPresent + ": " +
           std::to_string(person.days.size()) + "</th><th colspan=\"2\">" + words.hoursInMonth +
           "</th><th>" + HoursText(TotalMinutes(person), words.decimalPoint) +
           "</th><th></th></tr></tfoot></table>\n</section>\n";
}

} // namespace

std::string PageLink(Language language, const std::string& path, const Query& query) {
    std::string link = path;
    char separator = '?';
    for (const auto& [name, value] : query) {
        link += separator + name + "=" + value;
        separator = '&';
    }
    if (language == Language::kEnglish)
        link += std::string(1, separator) + "lang=en";
    return link;
}

std::string DayPage(const PageFrame& frame, const DayReport& report, const Presence& presence) {
    const PageWords& words = WordsOf(frame.language);
    int arrivals = 0;
    for (int count : report.arrivalsPerHour)
        arrivals += count;
    const std::string date = DateText(frame.language, report.day);
    const std::string body =
        SessionBox(frame) + "<h1>" + words.attendanceOn + " <time datetime=\"" + report.day +
        "\">" + date + "</time></h1>\n" + DayNavigation(frame, report.day) +
        PeopleTable(words, presence) + UnknownCardsTable(words, presence, false, frame.language) +
        "<h2>" + words.arrivalsPerHour + " <small>(" + words.arrivalsNote + " " +
        std::to_string(arrivals) + ")</small></h2>\n" + ArrivalsChart(words, report) +
        TallyTable("cards", words, words.cards, words.card, report.cards) +
        TallyTable("terminals", words, words.terminals, words.terminal, report.terminals);
    return Document(words, std::string(words.attendance) + " " + date, body);
}

std::string MonthPage(const PageFrame& frame, const std::string& month, const Presence& presence,
                      const PersonIdOf& idOf, const std::string& personId) {
    const PageWords& words = WordsOf(frame.language);
    std::string title = std::string(words.attendance) + " – " + MonthName(words, month);
    if (!personId.empty() && !presence.people.empty())
        title += " – " + presence.people.front().person.name;
    std::string body = SessionBox(frame) + "<h1 class=\"screen\">" + HtmlEscaped(title) +
                       "</h1>\n" + MonthNavigation(frame, month, personId);
    for (const PersonPresence& person : presence.people)
        body += PersonSheet(frame, presence, person, idOf(person.person.personalNumber),
                            !personId.empty());
    if (presence.people.empty())
        body += std::string("<p class=\"none\">") + words.nobody + "</p>\n";
    if (!presence.unknownCards.empty())
        body += "<section class=\"sheet\">\n<p class=\"print\">" + HtmlEscaped(title) + "</p>\n" +
                UnknownCardsTable(words, presence, true, frame.language) + "</section>\n";
    return Document(words, title, body);
}

std::string LoginPage(Language language, const LoginForm& form) {
    const PageWords& words = WordsOf(language);
    const Language other = language == Language::kEnglish ? Language::kCzech : Language::kEnglish;
    std::string body = std::string("<h1>") + words.loginTitle + "</h1>\n";
    if (!form.message.empty())
        body += "<p class=\"error\" id=\"message\">" + HtmlEscaped(form.message) + "</p>\n";
    body += "<form method=\"post\" action=\"/login\">" + HiddenField("token", form.token) +
            HiddenField("next", form.next) + LanguageField(language) + "\n<label>" + words.user +
            " <input name=\"user\" autocomplete=\"username\" required autofocus></label>\n"
            "<label>" +
            words.password +
            " <input type=\"password\" name=\"password\" autocomplete=\"current-password\""
            " required></label>\n<button>" +
            words.logIn + "</button></form>\n<nav>" +
            Link(PageLink(other, "/login", {{"next", PercentEncoded(form.next)}}),
                 words.otherLanguage) +
            "</nav>\n";
    return Document(words, words.loginTitle, body);
}

} // namespace lorvent::server
