#include "server/card_holders.h"

#include "server/text_table.h"

#include <algorithm>
#include <utility>

namespace lorvent::server {

namespace {

// The card's assignment in force on `day`, or nullptr when none has started.
const CardHolder* AssignmentOn(const std::vector<CardHolder>& held, const std::string& card,
                               const std::string& day) {
    const CardHolder* found = nullptr;
    for (const CardHolder& assignment : held) {
        if (assignment.card == card && assignment.fromDay <= day &&
            (!found || assignment.fromDay > found->fromDay))
            found = &assignment;
    }
    return found;
}

std::string StartDayOf(const std::vector<CardHolder>& held, const HolderLine& line,
                       const std::string& today) {
    if (!line.fromDay.empty())
        return line.fromDay;
    const CardHolder* present = AssignmentOn(held, line.card, today);
    if (!present)
        return ""; // the card's first holder: its reads before this import get the name too
    if (!present->HeldByNobody() && present->personalNumber == line.personalNumber)
        return present->fromDay;
    return today;
}

[[noreturn]] void RefuseSecondLine(const HolderLine& line, int firstLine) {
    throw HolderError("line " + std::to_string(line.lineNumber) + ": card " + line.card +
                      " is assigned on line " + std::to_string(firstLine) +
                      " too (give each line of one card its own start day)");
}

} // namespace

// Lines of one card start on different days; two without a start day would
// both say who holds the card now.
std::vector<CardHolder> AssignmentsToImport(const std::vector<CardHolder>& held,
                                            const std::vector<HolderLine>& lines,
                                            const std::string& today) {
    std::vector<CardHolder> assignments;
    std::map<std::pair<std::string, std::string>, int> lineOfStart;
    std::map<std::string, int> lineWithoutStart;
    for (const HolderLine& line : lines) {
        CardHolder assignment{line.card, StartDayOf(held, line, today), line.personalNumber,
                              line.name, line.department};
        if (line.fromDay.empty()) {
            const auto [seen, added] = lineWithoutStart.emplace(line.card, line.lineNumber);
            if (!added)
                RefuseSecondLine(line, seen->second);
        }
        const auto [seen, added] =
            lineOfStart.emplace(std::pair{line.card, assignment.fromDay}, line.lineNumber);
        if (!added)
            RefuseSecondLine(line, seen->second);
        assignments.push_back(std::move(assignment));
    }
    return assignments;
}

CardHolder AssignmentToRemove(const std::vector<CardHolder>& held, const std::string& card,
                              const std::string& today) {
    const CardHolder* present = AssignmentOn(held, card, today);
    if (!present || present->HeldByNobody())
        throw HolderError("card " + card + " has no holder today");
    return CardHolder{card, today, "", "", ""};
}

std::string HoldersText(const std::vector<CardHolder>& assignments) {
    std::vector<std::vector<std::string>> rows = {
        {"card", "from", "personal number", "name", "department"}};
    for (const CardHolder& holder : assignments) {
        const std::string from = holder.fromDay.empty() ? "-" : holder.fromDay;
        if (holder.HeldByNobody())
            rows.push_back({holder.card, from, "-", "(handed back)"});
        else
            rows.push_back(
                {holder.card, from, holder.personalNumber, holder.name, holder.department});
    }
    return AlignedColumns(rows);
}

HolderRegister::HolderRegister(std::vector<CardHolder> assignments) {
    for (CardHolder& assignment : assignments)
        byCard_[assignment.card].push_back(std::move(assignment));
    for (auto& [card, list] : byCard_)
        std::sort(list.begin(), list.end(),
                  [](const CardHolder& a, const CardHolder& b) { return a.fromDay < b.fromDay; });
}

const CardHolder* HolderRegister::HolderOn(const std::string& card, const std::string& day) const {
    const auto found = byCard_.find(card);
    if (found == byCard_.end())
        return nullptr;
    const auto& list = found->second;
    const auto after = std::upper_bound(
        list.begin(), list.end(), day,
        [](const std::string& d, const CardHolder& assignment) { return d < assignment.fromDay; });
    if (after == list.begin() || std::prev(after)->HeldByNobody())
        return nullptr;
    return &*std::prev(after);
}

const CardHolder* HolderRegister::FindPerson(const std::string& personalNumber) const {
    const CardHolder* latest = nullptr;
    if (personalNumber.empty())
        return nullptr; // the mark of a card handed back
    for (const auto& [card, list] : byCard_)
        for (const CardHolder& assignment : list)
            if (assignment.personalNumber == personalNumber &&
                (!latest || assignment.fromDay >= latest->fromDay))
                latest = &assignment;
    return latest;
}

} // namespace lorvent::server
