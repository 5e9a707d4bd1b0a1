#pragma once

#include "server/holder_store.h"
#include "server/holders_file.h"

#include <map>
#include <string>
#include <vector>

namespace lorvent::server {

// What an import of `lines` stores, given the assignments `held`. A line
// with a start day assigns the card from that day. A line without one
// assigns a card that nobody was ever given from its first read on, updates
// the name and department of the card's present holder when that is the same
// person, and re-issues the card from `today` when it is someone else's or
// was handed back. Throws HolderError when two lines assign one card from the
// same day.
std::vector<CardHolder> AssignmentsToImport(const std::vector<CardHolder>& held,
                                            const std::vector<HolderLine>& lines,
                                            const std::string& today);

// The assignment that hands `card` back from `today` on: earlier days keep
// their holder. Throws HolderError when nobody holds the card today.
CardHolder AssignmentToRemove(const std::vector<CardHolder>& held, const std::string& card,
                              const std::string& today);

// The assignments as `holders list` prints them: card, start day ("-" from
// the card's first read), personal number, name, department.
std::string HoldersText(const std::vector<CardHolder>& assignments);

// Who held which card on which day.
class HolderRegister {
public:
    explicit HolderRegister(std::vector<CardHolder> assignments);

    // The person holding `card` on `day` ("yyyy-mm-dd"), or nullptr when the
    // card is nobody's then.
    const CardHolder* HolderOn(const std::string& card, const std::string& day) const;
    // The person's latest assignment, or nullptr when no card was ever theirs.
    const CardHolder* FindPerson(const std::string& personalNumber) const;

private:
    // By card, then start day: a card's assignments in the order they start.
    std::map<std::string, std::vector<CardHolder>> byCard_;
};

} // namespace lorvent::server
