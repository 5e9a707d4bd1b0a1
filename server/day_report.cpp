#include "server/day_report.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <tuple>

namespace lorvent::server {

namespace {

void Count(DayTally& tally, const std::string& name, const std::string& time) {
    if (tally.reads == 0) {
        tally.name = name;
        tally.first = time;
    }
    tally.first = std::min(tally.first, time);
    tally.last = std::max(tally.last, time);
    ++tally.reads;
}

std::vector<DayTally> Values(const std::map<std::string, DayTally>& tallies) {
    std::vector<DayTally> values;
    for (const auto& [name, tally] : tallies)
        values.push_back(tally);
    return values;
}

// RFC 4180: a field with a comma, quote or line end goes in quotes.
std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + '"';
}

std::string Html(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        case '\'':
            escaped += "&#39;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

std::string HtmlTable(const char* id, const char* caption, const char* nameHeading,
                      const std::vector<DayTally>& tallies) {
    std::string html = std::string("<table id=\"") + id + "\"><caption>" + caption +
                       "</caption>\n<thead><tr><th>" + nameHeading +
                       "</th><th>First read</th><th>Last read</th><th>Reads</th></tr></thead>\n"
                       "<tbody>\n";
    for (const DayTally& tally : tallies)
        html += "<tr><td>" + Html(tally.name) + "</td><td>" + tally.first + "</td><td>" +
                tally.last + "</td><td>" + std::to_string(tally.reads) + "</td></tr>\n";
    if (tallies.empty())
        html += "<tr><td colspan=\"4\" class=\"none\">no reads</td></tr>\n";
    return html + "</tbody></table>\n";
}

// Bars of arrivals per hour, drawn by the server so that the page needs no script.
std::string ArrivalsChart(const DayReport& report) {
    constexpr int kBarWidth = 28;
    constexpr int kGap = 4;
    constexpr int kPlotHeight = 160;
    constexpr int kTop = 20;
    const int most = std::max(
        1, *std::max_element(report.arrivalsPerHour.begin(), report.arrivalsPerHour.end()));
    std::string svg = "<svg id=\"arrivals\" role=\"img\" viewBox=\"0 0 " +
                      std::to_string(24 * (kBarWidth + kGap) + kGap) + " " +
                      std::to_string(kTop + kPlotHeight + 24) +
                      "\" aria-label=\"Arrivals per hour\">\n";
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

std::string NeighbourDay(const std::string& day, int offset) {
    using namespace std::chrono;
    const year_month_day date{year{std::stoi(day.substr(0, 4))},
                              month{static_cast<unsigned>(std::stoi(day.substr(5, 2)))},
                              std::chrono::day{static_cast<unsigned>(std::stoi(day.substr(8, 2)))}};
    const year_month_day next{sys_days{date} + days{offset}};
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(next.year()),
                  static_cast<unsigned>(next.month()), static_cast<unsigned>(next.day()));
    return text;
}

constexpr const char* kPageStyle =
    "body{font-family:sans-serif;margin:1.5em;color:#222}"
    "h1{font-size:1.4em}nav a,nav form{margin-right:1em;display:inline}"
    "table{border-collapse:collapse;margin:1em 2em 1em 0;display:inline-table;vertical-align:top}"
    "caption{text-align:left;font-weight:bold;padding:.3em 0}"
    "th,td{border:1px solid #bbb;padding:.2em .6em;text-align:left}"
    "td:nth-child(n+2){font-variant-numeric:tabular-nums}"
    "td.none{color:#777;font-style:italic}"
    "svg{width:100%;max-width:780px;height:auto;display:block}"
    ".bar{fill:#3b73b9}.hour,.count{font-size:11px;text-anchor:middle;fill:#444}";

} // namespace

DayReport BuildDayReport(RecordStore& store, const std::string& day) {
    DayReport report;
    report.day = day;
    std::map<std::string, DayTally> cards;
    std::map<std::string, DayTally> terminals;
    // One card read twice in a minute at one terminal is one attendance
    // event; a database from before records were held once keeps both rows.
    std::set<std::tuple<std::string, std::string, std::string>> events;
    store.ForEachOnDay(day, [&](const StoredRecord& stored) {
        if (!events.emplace(stored.terminal, stored.record.readAt, stored.record.number).second)
            return;
        const std::string time = stored.record.readAt.substr(11, 5);
        const int hour = std::stoi(time.substr(0, 2));
        DayTally& card = cards[stored.record.number];
        if (card.reads == 0)
            ++report.arrivalsPerHour[hour]; // the rows come by read time
        Count(card, stored.record.number, time);
        Count(terminals[stored.terminal], stored.terminal, time);
        ++report.readsPerHour[hour];
    });
    report.cards = Values(cards);
    std::stable_sort(report.cards.begin(), report.cards.end(),
                     [](const DayTally& a, const DayTally& b) { return a.first < b.first; });
    report.terminals = Values(terminals);
    return report;
}

std::string ReportCsv(const DayReport& report) {
    std::string csv = "kind,name,first,last,reads\r\n";
    const auto rows = [&csv](const char* kind, const std::vector<DayTally>& tallies) {
        for (const DayTally& tally : tallies)
            csv += std::string(kind) + ',' + CsvField(tally.name) + ',' + tally.first + ',' +
                   tally.last + ',' + std::to_string(tally.reads) + "\r\n";
    };
    rows("card", report.cards);
    rows("terminal", report.terminals);
    return csv;
}

std::string ReportPage(const DayReport& report) {
    int arrivals = 0;
    for (int count : report.arrivalsPerHour)
        arrivals += count;
    const std::string previous = NeighbourDay(report.day, -1);
    const std::string next = NeighbourDay(report.day, 1);
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<title>Attendance " +
           report.day + "</title><style>" + kPageStyle +
           "</style></head>\n<body>\n<h1>Attendance on <time>" + report.day +
           "</time></h1>\n"
           "<nav><a href=\"/?day=" +
           previous + "\">&larr; " + previous +
           "</a>"
           "<a href=\"/?day=" +
           next + "\">" + next +
           " &rarr;</a>"
           "<form method=\"get\" action=\"/\"><input type=\"date\" name=\"day\" value=\"" +
           report.day +
           "\"> <button>Show</button></form>"
           "<a href=\"/report.csv?day=" +
           report.day +
           "\">CSV</a></nav>\n"
           "<h2>Arrivals per hour <small>(" +
           std::to_string(arrivals) + " cards, first read of the day)</small></h2>\n" +
           ArrivalsChart(report) + HtmlTable("cards", "Cards", "Card", report.cards) +
           HtmlTable("terminals", "Terminals", "Terminal", report.terminals) + "</body></html>\n";
}

} // namespace lorvent::server
