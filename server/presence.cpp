#include "server/presence.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <tuple>

namespace lorvent::server {

namespace {

int NumberAt(const std::string& text, std::size_t at, std::size_t length) {
    int value = 0;
    std::from_chars(text.data() + at, text.data() + at + length, value);
    return value;
}

std::chrono::sys_days DateOf(const std::string& day) {
    using namespace std::chrono;
    return sys_days{year_month_day{year{NumberAt(day, 0, 4)},
                                   month{static_cast<unsigned>(NumberAt(day, 5, 2))},
                                   std::chrono::day{static_cast<unsigned>(NumberAt(day, 8, 2))}}};
}

// Minutes since the epoch of a read_at "yyyy-mm-dd hh:nn".
long long MinutesOf(const std::string& readAt) {
    const auto days = DateOf(readAt).time_since_epoch().count();
    return days * 24LL * 60 + NumberAt(readAt, 11, 2) * 60 + NumberAt(readAt, 14, 2);
}

std::string DayOf(const StoredRecord& read) {
    return read.record.readAt.substr(0, 10);
}

std::string TimeOf(const StoredRecord& read) {
    return read.record.readAt.substr(11, 5);
}

// A card read twice in one minute at one terminal is one event; a database
// from before records were held once may hold both rows.
std::vector<StoredRecord> OncePerMinute(std::vector<StoredRecord> reads) {
    std::set<std::tuple<std::string, std::string, std::string>> seen;
    std::erase_if(reads, [&seen](const StoredRecord& read) {
        return !seen.emplace(read.terminal, read.record.readAt, read.record.number).second;
    });
    return reads;
}

// How many reads from `end` on the day [begin, end) takes: none when its
// reads are even, else those within the night shift's reach, as many as
// leave the day even.
std::size_t ReadsTakenFromNextDay(const std::vector<StoredRecord>& reads, std::size_t begin,
                                  std::size_t end) {
    if ((end - begin) % 2 == 0)
        return 0;
    const long long reach = MinutesOf(reads[begin].record.readAt) + kNightShiftReachMinutes;
    std::size_t taken = 0;
    while (end + taken < reads.size() && MinutesOf(reads[end + taken].record.readAt) < reach)
        ++taken;
    return taken % 2 == 0 && taken > 0 ? taken - 1 : taken;
}

PersonDay DayOfReads(const std::vector<StoredRecord>& reads, std::size_t begin, std::size_t end) {
    PersonDay day;
    day.day = DayOf(reads[begin]);
    day.arrival = TimeOf(reads[begin]);
    day.reads = static_cast<int>(end - begin);
    if (day.reads > 1) {
        const StoredRecord& last = reads[end - 1];
        day.departure = TimeOf(last);
        day.departureNextDay = DayOf(last) != day.day;
        day.minutes =
            static_cast<int>(MinutesOf(last.record.readAt) - MinutesOf(reads[begin].record.readAt));
    }
    std::set<std::string> terminals, cards;
    for (std::size_t i = begin; i < end; ++i) {
        terminals.insert(reads[i].terminal);
        cards.insert(reads[i].record.number);
    }
    day.terminals.assign(terminals.begin(), terminals.end());
    day.cards.assign(cards.begin(), cards.end());
    return day;
}

// One person's reads, by read time, as days.
std::vector<PersonDay> DaysOf(const std::vector<StoredRecord>& reads) {
    std::vector<PersonDay> days;
    for (std::size_t begin = 0; begin < reads.size();) {
        const std::string day = DayOf(reads[begin]);
        std::size_t end = begin;
        while (end < reads.size() && DayOf(reads[end]) == day)
            ++end;
        end += ReadsTakenFromNextDay(reads, begin, end);
        days.push_back(DayOfReads(reads, begin, end));
        begin = end;
    }
    return days;
}

bool ByReadTime(const StoredRecord& a, const StoredRecord& b) {
    return std::tie(a.record.readAt, a.terminal, a.record.number) <
           std::tie(b.record.readAt, b.terminal, b.record.number);
}

} // namespace

std::string DayAfter(const std::string& day, int offset) {
    using namespace std::chrono;
    const year_month_day moved{DateOf(day) + days{offset}};
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(moved.year()),
                  static_cast<unsigned>(moved.month()), static_cast<unsigned>(moved.day()));
    return text;
}

// Numbers by their value (leading zeros aside), then as text.
bool PersonalNumberBefore(const std::string& a, const std::string& b) {
    const auto value = [](const std::string& text) -> std::optional<std::string_view> {
        if (text.empty() ||
            !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        const std::string_view digits(text);
        return digits.substr(std::min(digits.find_first_not_of('0'), digits.size()));
    };
    const auto va = value(a), vb = value(b);
    if (va && vb && *va != *vb)
        return va->size() != vb->size() ? va->size() < vb->size() : *va < *vb;
    return a < b;
}

Presence BuildPresence(std::vector<StoredRecord> reads, const HolderRegister& holders,
                       const std::string& firstDay, const std::string& lastDay) {
    Presence presence{firstDay, lastDay, {}, {}};
    std::sort(reads.begin(), reads.end(), ByReadTime);
    std::map<std::string, std::vector<StoredRecord>, decltype(&PersonalNumberBefore)> byPerson(
        &PersonalNumberBefore);
    std::map<std::pair<std::string, std::string>, std::vector<StoredRecord>> unknown;
    for (StoredRecord& read : OncePerMinute(std::move(reads))) {
        const std::string day = DayOf(read);
        if (const CardHolder* holder = holders.HolderOn(read.record.number, day))
            byPerson[holder->personalNumber].push_back(std::move(read));
        else if (day >= firstDay && day <= lastDay)
            unknown[{read.record.number, day}].push_back(std::move(read));
    }
    for (const auto& [personalNumber, personReads] : byPerson) {
        PersonPresence person{*holders.FindPerson(personalNumber), {}};
        for (PersonDay& day : DaysOf(personReads))
            if (day.day >= firstDay && day.day <= lastDay)
                person.days.push_back(std::move(day));
        if (!person.days.empty())
            presence.people.push_back(std::move(person));
    }
    for (auto& [key, cardReads] : unknown)
        presence.unknownCards.push_back({key.first, key.second, std::move(cardReads)});
    return presence;
}

Presence LoadPresence(RecordStore& records, HolderStore& holders, const std::string& firstDay,
                      const std::string& lastDay, const std::string& personalNumber) {
    const HolderRegister known(holders.Holders());
    const CardHolder* person = personalNumber.empty() ? nullptr : known.FindPerson(personalNumber);
    if (!personalNumber.empty() && !person)
        throw HolderError("no card was ever held by personal number '" + personalNumber + "'");
    std::vector<StoredRecord> reads;
    records.ForEachInDays(DayAfter(firstDay, -kLookBackDays), DayAfter(lastDay, 1),
                          [&reads](const StoredRecord& read) { reads.push_back(read); });
    Presence presence = BuildPresence(std::move(reads), known, firstDay, lastDay);
    if (!person)
        return presence;
    presence.unknownCards.clear();
    std::erase_if(presence.people, [&](const PersonPresence& other) {
        return other.person.personalNumber != personalNumber;
    });
    if (presence.people.empty())
        presence.people.push_back({*person, {}});
    return presence;
}

} // namespace lorvent::server
