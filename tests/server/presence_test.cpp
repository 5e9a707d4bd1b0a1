// Card holders and presence without a database: which holder a read
// belongs to, how reads make a person's days, and how an import assigns.
#include "server/card_holders.h"
#include "server/presence.h"

#include <gtest/gtest.h>

namespace lorvent::server {
namespace {

// "dd/mm/yyyy-hh:nn number" at door-1, or at the terminal after a space.
StoredRecord Read(const std::string& text, const std::string& terminal = "door-1") {
    const std::string readAt = text.substr(6, 4) + '-' + text.substr(3, 2) + '-' +
                               text.substr(0, 2) + ' ' + text.substr(11, 5);
    return {{text.substr(0, 16), readAt, text.substr(17)}, terminal, "2026-12-01T00:00:00.000Z"};
}

// "day arrival departure hours" of each person's day, "unknown card day
// reads" of each unknown card's.
std::vector<std::string> Described(const Presence& presence) {
    std::vector<std::string> lines;
    for (const PersonPresence& person : presence.people)
        for (const PersonDay& day : person.days)
            lines.push_back(person.person.name + ' ' + day.day + ' ' + day.arrival + ' ' +
                            (day.departure.empty() ? "-" : day.departure) +
                            (day.departureNextDay ? "+1 " : " ") +
                            (day.minutes ? std::to_string(*day.minutes) : "-"));
    for (const UnknownCardDay& card : presence.unknownCards)
        lines.push_back("unknown " + card.card + ' ' + card.day + ' ' +
                        std::to_string(card.reads.size()));
    return lines;
}

const HolderRegister kHolders({
    {"0000000a", "", "1", "Anna", ""},
    {"0000000b", "", "2", "Bedřich", ""},
    {"0000000c", "", "3", "Cyril", ""},
    {"0000000c", "2026-12-09", "4", "Dana", ""}, // re-issued
    {"0000000d", "", "5", "Emil", ""},
    {"0000000d", "2026-12-09", "", "", ""}, // handed back
});

TEST(PresenceTest, ReadsBecomeEachPersonsDays) {
    const struct {
        const char* what;
        std::vector<StoredRecord> reads;
        std::vector<std::string> days; // those of 2026-12-08 and 2026-12-09
    } cases[] = {
        {"one read is an arrival without departure, not zero hours",
         {Read("08/12/2026-07:30 0000000a")},
         {"Anna 2026-12-08 07:30 - -"}},
        {"a day worker's days stay apart",
         {Read("08/12/2026-08:00 0000000a"), Read("08/12/2026-17:00 0000000a"),
          Read("09/12/2026-08:00 0000000a"), Read("09/12/2026-17:00 0000000a")},
         {"Anna 2026-12-08 08:00 17:00 540", "Anna 2026-12-09 08:00 17:00 540"}},
        {"a forgotten departure does not take the next morning",
         {Read("08/12/2026-08:00 0000000a"), Read("09/12/2026-07:55 0000000a"),
          Read("09/12/2026-16:00 0000000a")},
         {"Anna 2026-12-08 08:00 - -", "Anna 2026-12-09 07:55 16:00 485"}},
        {"a night shift belongs to the day it began",
         {Read("08/12/2026-22:00 0000000b"), Read("09/12/2026-06:00 0000000b"),
          Read("09/12/2026-21:55 0000000b"), Read("10/12/2026-06:05 0000000b")},
         {"Bedřich 2026-12-08 22:00 06:00+1 480", "Bedřich 2026-12-09 21:55 06:05+1 490"}},
        {"a night with a break, then a day shift within the reach",
         {Read("08/12/2026-22:00 0000000b"), Read("09/12/2026-02:00 0000000b"),
          Read("09/12/2026-02:30 0000000b"), Read("09/12/2026-06:00 0000000b"),
          Read("09/12/2026-13:00 0000000b"), Read("09/12/2026-21:00 0000000b")},
         {"Bedřich 2026-12-08 22:00 06:00+1 480", "Bedřich 2026-12-09 13:00 21:00 480"}},
        {"a run of night shifts is followed from before the first day",
         {Read("07/12/2026-22:00 0000000b"), Read("08/12/2026-06:00 0000000b"),
          Read("08/12/2026-22:00 0000000b"), Read("09/12/2026-06:00 0000000b")},
         {"Bedřich 2026-12-08 22:00 06:00+1 480"}},
        {"a re-issued card: each day its own holder",
         {Read("08/12/2026-08:00 0000000c"), Read("08/12/2026-16:00 0000000c"),
          Read("09/12/2026-08:00 0000000c")},
         {"Cyril 2026-12-08 08:00 16:00 480", "Dana 2026-12-09 08:00 - -"}},
        {"a card nobody holds is listed apart, also once handed back",
         {Read("08/12/2026-09:00 0000ffff"), Read("08/12/2026-09:30 0000ffff", "door-2"),
          Read("09/12/2026-09:00 0000000d")},
         {"unknown 0000000d 2026-12-09 1", "unknown 0000ffff 2026-12-08 2"}},
        {"a card's reads in one minute at one terminal count once",
         {Read("08/12/2026-08:00 0000000a"), Read("08/12/2026-08:00 0000000a")},
         {"Anna 2026-12-08 08:00 - -"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Described(BuildPresence(c.reads, kHolders, "2026-12-08", "2026-12-09")), c.days)
            << c.what;
}

TEST(PresenceTest, APersonsCardsAreOnePresence) {
    const HolderRegister holders(
        {{"0000000a", "", "1", "Anna", ""}, {"0000000e", "", "1", "Anna", ""}});
    const Presence presence = BuildPresence(
        {Read("08/12/2026-08:00 0000000a", "gate"), Read("08/12/2026-16:00 0000000e", "door")},
        holders, "2026-12-08", "2026-12-08");
    ASSERT_EQ(Described(presence), std::vector<std::string>{"Anna 2026-12-08 08:00 16:00 480"});
    EXPECT_EQ(presence.people[0].days[0].terminals, (std::vector<std::string>{"door", "gate"}));
}

HolderLine Line(int number, const char* card, const char* person, const char* fromDay = "") {
    return {number, card, std::string("Name ") + person, person, "", fromDay};
}

TEST(CardHoldersTest, AnImportWithoutStartDaysAssignsAsTheCardStands) {
    const std::vector<CardHolder> held = {
        {"0000000a", "", "1", "Name 1", "old department"},
        {"0000000b", "2026-11-02", "2", "Name 2", ""},
        {"0000000c", "", "3", "Name 3", ""},
        {"0000000c", "2026-11-20", "", "", ""},
    };
    const std::vector<CardHolder> stored = AssignmentsToImport(
        held,
        {Line(1, "0000000f", "9"), Line(2, "0000000a", "1"), Line(3, "0000000b", "7"),
         Line(4, "0000000c", "8"), Line(5, "0000000a", "6", "2027-01-04")},
        "2026-12-10");
    const std::vector<std::string> expected = {"0000000f  9", "0000000a  1",
                                               "0000000b 2026-12-10 7", "0000000c 2026-12-10 8",
                                               "0000000a 2027-01-04 6"};
    ASSERT_EQ(stored.size(), expected.size());
    for (std::size_t i = 0; i < stored.size(); ++i)
        EXPECT_EQ(stored[i].card + ' ' + stored[i].fromDay + ' ' + stored[i].personalNumber,
                  expected[i]);

    try {
        AssignmentsToImport(held, {Line(4, "0000000f", "1"), Line(9, "0000000f", "2")},
                            "2026-12-10");
        FAIL() << "one card given to two people from the same day";
    } catch (const HolderError& error) {
        EXPECT_STREQ(error.what(), "line 9: card 0000000f is assigned on line 4 too (give each "
                                   "line of one card its own start day)");
    }
    EXPECT_EQ(AssignmentToRemove(held, "0000000a", "2026-12-10"),
              (CardHolder{"0000000a", "2026-12-10", "", "", ""}));
    EXPECT_THROW(AssignmentToRemove(held, "0000000c", "2026-12-10"), HolderError);
    EXPECT_THROW(AssignmentToRemove(held, "0000ffff", "2026-12-10"), HolderError);
}

} // namespace
} // namespace lorvent::server
