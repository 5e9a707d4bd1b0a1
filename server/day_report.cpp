#include "server/day_report.h"

#include <algorithm>
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

} // namespace lorvent::server
