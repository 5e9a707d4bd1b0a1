#pragma once

#include "server/day_report.h"
#include "server/presence.h"

#include <string>

namespace lorvent::server {

// The day for a person reading it in a terminal: each person's arrival,
// departure, hours and terminals, the unknown cards apart with their reads,
// then each terminal's reads.
std::string DayPresenceText(const Presence& presence, const std::vector<DayTally>& terminals);

// The month for a person reading it in a terminal: each person's days, then
// the days present and the hours; the unknown cards apart.
std::string MonthPresenceText(const Presence& presence);

// The month as a Czech spreadsheet opens it (the man page says why): UTF-8
// with a byte order mark, ';' between fields, CR LF line ends, dates as
// d.m.yyyy, hours with a decimal comma. One line a person's day ("den"), a
// person's total ("celkem") and an unknown card's day ("neznámá karta").
std::string MonthPresenceCsv(const Presence& presence);

// The departure as the reports show it: "16:31", "06:02+1" on the next
// day, "—" after one read.
std::string DepartureText(const PersonDay& day);

// An unknown card's reads of a day: "07:02 10.0.0.15, 16:31 10.0.0.16".
std::string ReadsText(const UnknownCardDay& card);

// "2026-12-07" as a Czech writes it: "7.12.2026".
std::string CzechDate(const std::string& day);

// The minutes of all the person's days.
long long TotalMinutes(const PersonPresence& person);

// "yyyy-mm" as its first and last day.
std::pair<std::string, std::string> DaysOfMonth(const std::string& month);

} // namespace lorvent::server
