#include "server/presence_report.h"

#include "server/text_table.h"

#include <algorithm>

namespace lorvent::server {

namespace {

constexpr const char* kUnknownCard = "neznámá karta";
constexpr const char* kNoDeparture = "—";

std::string Joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text;
}

std::string HoursOf(const PersonDay& day, char decimalPoint) {
    return day.minutes ? HoursText(*day.minutes, decimalPoint) : "";
}

std::string UnknownCardsText(const Presence& presence, bool withDay) {
    if (presence.unknownCards.empty())
        return "";
    std::vector<std::vector<std::string>> rows;
    rows.push_back(withDay ? std::vector<std::string>{kUnknownCard, "day", "reads"}
                           : std::vector<std::string>{kUnknownCard, "reads"});
    for (const UnknownCardDay& card : presence.unknownCards)
        rows.push_back(withDay ? std::vector<std::string>{card.card, card.day, ReadsText(card)}
                               : std::vector<std::string>{card.card, ReadsText(card)});
    return "\n" + AlignedColumns(rows);
}

// "07:58" as "7:58".
std::string CzechTime(const std::string& time) {
    return time.empty() ? "" : std::to_string(std::stoi(time.substr(0, 2))) + time.substr(2);
}

// RFC 4180 with ';': a field with the separator, a quote or a line end goes
// in quotes.
std::string CsvField(const std::string& text) {
    if (text.find_first_of(";\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + '"';
}

std::string CsvLine(const std::vector<std::string>& fields) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i)
        line += (i == 0 ? "" : ";") + CsvField(fields[i]);
    return line + "\r\n";
}

std::vector<std::string> PersonFields(const CardHolder& person, const char* kind) {
    return {kind, person.personalNumber, person.name, person.department};
}

} // namespace

long long TotalMinutes(const PersonPresence& person) {
    long long total = 0;
    for (const PersonDay& day : person.days)
        total += day.minutes.value_or(0);
    return total;
}

std::string ReadsText(const UnknownCardDay& card) {
    std::vector<std::string> reads;
    for (const StoredRecord& read : card.reads)
        reads.push_back(read.record.readAt.substr(11, 5) + ' ' + read.terminal);
    return Joined(reads);
}

std::string DepartureText(const PersonDay& day) {
    if (day.departure.empty())
        return kNoDeparture;
    return day.departure + (day.departureNextDay ? "+1" : "");
}

std::string CzechDate(const std::string& day) {
    return std::to_string(std::stoi(day.substr(8, 2))) + '.' +
           std::to_string(std::stoi(day.substr(5, 2))) + '.' + day.substr(0, 4);
}

std::string DayPresenceText(const Presence& presence, const std::vector<DayTally>& terminals) {
    std::vector<const PersonPresence*> people;
    for (const PersonPresence& person : presence.people)
        people.push_back(&person);
    std::stable_sort(people.begin(), people.end(), [](const auto* a, const auto* b) {
        return a->days.front().arrival < b->days.front().arrival;
    });
    std::vector<std::vector<std::string>> rows = {
        {"person", "name", "department", "arrival", "departure", "hours", "terminals"}};
    for (const PersonPresence* person : people) {
        const PersonDay& day = person->days.front();
        rows.push_back({person->person.personalNumber, person->person.name,
                        person->person.department, day.arrival, DepartureText(day),
                        HoursOf(day, '.'), Joined(day.terminals)});
    }
    std::vector<std::vector<std::string>> terminalRows = {{"terminal", "first", "last", "reads"}};
    for (const DayTally& terminal : terminals)
        terminalRows.push_back(
            {terminal.name, terminal.first, terminal.last, std::to_string(terminal.reads)});
    return "Attendance on " + presence.firstDay + "\n\n" + AlignedColumns(rows) +
           UnknownCardsText(presence, false) + "\n" + AlignedColumns(terminalRows);
}

std::string MonthPresenceText(const Presence& presence) {
    std::string text = "Attendance from " + presence.firstDay + " to " + presence.lastDay + "\n";
    for (const PersonPresence& person : presence.people) {
        text += "\n" + AlignedColumns({{person.person.personalNumber, person.person.name,
                                        person.person.department}});
        std::vector<std::vector<std::string>> rows = {
            {"day", "arrival", "departure", "hours", "terminals"}};
        for (const PersonDay& day : person.days)
            rows.push_back({day.day, day.arrival, DepartureText(day), HoursOf(day, '.'),
                            Joined(day.terminals)});
        text += AlignedColumns(rows, "  ") + "  days present " +
                std::to_string(person.days.size()) + ", hours " +
                HoursText(TotalMinutes(person), '.') + "\n";
    }
    return text + UnknownCardsText(presence, true);
}

std::string MonthPresenceCsv(const Presence& presence) {
    std::string csv =
        "\xEF\xBB\xBF" + CsvLine({"Druh", "Osobní číslo", "Jméno", "Oddělení", "Karta", "Datum",
                                  "Příchod", "Odchod", "Hodin", "Dní", "Terminály"});
    for (const PersonPresence& person : presence.people) {
        for (const PersonDay& day : person.days) {
            auto fields = PersonFields(person.person, "den");
            fields.insert(fields.end(),
                          {Joined(day.cards), CzechDate(day.day), CzechTime(day.arrival),
                           CzechTime(day.departure), HoursOf(day, ','), "", Joined(day.terminals)});
            csv += CsvLine(fields);
        }
        auto total = PersonFields(person.person, "celkem");
        total.insert(total.end(), {"", "", "", "", HoursText(TotalMinutes(person), ','),
                                   std::to_string(person.days.size()), ""});
        csv += CsvLine(total);
    }
    for (const UnknownCardDay& card : presence.unknownCards) {
        std::vector<std::string> terminals;
        for (const StoredRecord& read : card.reads)
            if (std::find(terminals.begin(), terminals.end(), read.terminal) == terminals.end())
                terminals.push_back(read.terminal);
        const std::string first = card.reads.front().record.readAt.substr(11, 5);
        const std::string last =
            card.reads.size() > 1 ? card.reads.back().record.readAt.substr(11, 5) : "";
        csv += CsvLine({kUnknownCard, "", "", "", card.card, CzechDate(card.day), CzechTime(first),
                        CzechTime(last), "", "", Joined(terminals)});
    }
    return csv;
}

std::pair<std::string, std::string> DaysOfMonth(const std::string& month) {
    const std::string first = month + "-01";
    const int monthNumber = std::stoi(month.substr(5, 2));
    const std::string nextMonth = monthNumber == 12
                                      ? std::to_string(std::stoi(month.substr(0, 4)) + 1) + "-01-01"
                                      : month.substr(0, 5) + (monthNumber < 9 ? "0" : "") +
                                            std::to_string(monthNumber + 1) + "-01";
    return {first, DayAfter(nextMonth, -1)};
}

} // namespace lorvent::server
