#pragma once

#include "server/record_store.h"

#include <array>
#include <string>
#include <vector>

namespace lorvent::server {

// One card's or one terminal's reads on a day; times are "hh:nn" as read.
struct DayTally {
    std::string name; // the card number or the terminal
    std::string first;
    std::string last;
    int reads = 0;
};

struct DayReport {
    std::string day;                 // yyyy-mm-dd
    std::vector<DayTally> cards;     // by first read, then number
    std::vector<DayTally> terminals; // by name
    // Arrivals: each card's first read of the day, by its hour.
    std::array<int, 24> arrivalsPerHour{};
    std::array<int, 24> readsPerHour{};
};

// The report of `day` from the records read on it, each card's reads in one
// minute at one terminal counted once. Throws StoreError.
DayReport BuildDayReport(RecordStore& store, const std::string& day);

// "kind,name,first,last,reads" a line, kind being card or terminal.
std::string ReportCsv(const DayReport& report);

} // namespace lorvent::server
