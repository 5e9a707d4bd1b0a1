#pragma once

#include <functional>
#include <string>
#include <vector>

namespace lorvent::server {

// One card's holder from a day on: the card is the person's until the card's
// next assignment starts.
struct CardHolder {
    std::string card;    // 8 or 10 lower-case hex digits, as the terminals send it
    std::string fromDay; // "yyyy-mm-dd"; "" from the card's first read on
    // The person; an empty personal number means nobody holds the card from
    // fromDay on (it was handed back), and its reads are an unknown card's.
    std::string personalNumber;
    std::string name;
    std::string department;

    bool HeldByNobody() const { return personalNumber.empty(); }
    bool operator==(const CardHolder&) const = default;
};

// Given every assignment held, the assignments to store; may throw to store
// nothing.
using HolderChange = std::function<std::vector<CardHolder>(const std::vector<CardHolder>& held)>;

// Card holders, kept in the database beside the records.
class HolderStore {
public:
    virtual ~HolderStore() = default;
    // Every assignment, by card, then start day. A database that has never
    // been opened writable by this version has none. Throws StoreError.
    virtual std::vector<CardHolder> Holders() = 0;
    // In one transaction, while no other change of the holders runs: reads
    // every assignment, hands them to `change` and stores what it returns,
    // each replacing the card's assignment that starts on the same day. An
    // exception from `change` stores nothing and goes on to the caller.
    virtual void ChangeHolders(const HolderChange& change) = 0;
};

} // namespace lorvent::server
