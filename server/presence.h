#pragma once

#include "server/card_holders.h"
#include "server/record_store.h"

#include <optional>
#include <string>
#include <vector>

namespace lorvent::server {

// A shift still open at midnight (an odd number of reads on its day) takes
// the next day's reads up to this long after its arrival.
constexpr int kNightShiftReachMinutes = 16 * 60;
// How far back the reads before a report's first day are read, so that a run
// of night shifts is followed from where it began.
constexpr int kLookBackDays = 31;

// A person's presence that began on `day`.
struct PersonDay {
    std::string day;       // "yyyy-mm-dd"
    std::string arrival;   // "hh:nn", the first read
    std::string departure; // "hh:nn", the last read; "" when there was one read only
    bool departureNextDay = false;
    std::optional<int> minutes;         // between arrival and departure; none after one read
    std::vector<std::string> terminals; // each once, sorted
    std::vector<std::string> cards;     // each once, sorted
    int reads = 0;
};

struct PersonPresence {
    CardHolder person; // the person's latest assignment: name and department
    std::vector<PersonDay> days;
};

// The reads of a card that nobody held on their calendar day.
struct UnknownCardDay {
    std::string card;
    std::string day;
    std::vector<StoredRecord> reads; // by read time
};

struct Presence {
    std::string firstDay;
    std::string lastDay;
    std::vector<PersonPresence> people;       // by personal number
    std::vector<UnknownCardDay> unknownCards; // by card, then day
};

// The presence on the days firstDay to lastDay from `reads`, which should
// hold the reads of kLookBackDays before firstDay up to the day after
// lastDay. A card's reads in one minute at one terminal count once; a
// person's reads are those of every card they held on the read's day. A day
// ends at midnight unless its shift is still open (see
// kNightShiftReachMinutes); it then takes as many of the next day's reads
// within that reach as leave it with an even number, so that a day shift
// following a night shift stays the next day's.
Presence BuildPresence(std::vector<StoredRecord> reads, const HolderRegister& holders,
                       const std::string& firstDay, const std::string& lastDay);

// Loads the holders and the reads that BuildPresence needs. Given a personal
// number, the presence of that person only, with no unknown cards, and the
// person listed even without a day present; HolderError when no card was
// ever theirs. Throws StoreError.
Presence LoadPresence(RecordStore& records, HolderStore& holders, const std::string& firstDay,
                      const std::string& lastDay, const std::string& personalNumber = "");

// "yyyy-mm-dd" moved by `offset` days.
std::string DayAfter(const std::string& day, int offset);

// Personal numbers in their natural order: "42" before "100".
bool PersonalNumberBefore(const std::string& a, const std::string& b);

} // namespace lorvent::server
