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

// "yyyy-mm" as its first and last day.
std::pair<std::string, std::string> DaysOfMonth(const std::string& month);

} // namespace lorvent::server
