#include "app/attendance/journal_place.h"

#include "protocol/file_open.h"

#include <cstdint>
#include <cstdio>

namespace lorvent {

namespace {

const char* const kJournalSuffix = ".journal";

// FNV-1a, 64 bits: stable across versions and platforms, which a journal
// found again by its name needs (std::hash is neither).
std::string StableHash(const std::string& text) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
    return digits;
}

} // namespace

std::string SafeComputerName(const std::string& computer) {
    if (computer.empty())
        return "unknown";
    std::string safe = computer;
    for (char& c : safe) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        else if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            c = '_';
    }
    return safe;
}

std::string JournalPath(const std::string& dataFileName, const std::string& computer) {
    return dataFileName + "." + SafeComputerName(computer) + kJournalSuffix;
}

std::string EarlierJournalPath(const std::string& dataFileName) {
    return dataFileName + kJournalSuffix;
}

std::string StateFolderJournalPath(const std::string& folder, const std::string& identity,
                                   const std::string& computer) {
    const std::string name = Utf8FromPath(PathFromUtf8(identity).filename());
    return Utf8FromPath(PathFromUtf8(folder) /
                        PathFromUtf8(name + "-" + StableHash(identity) + "." +
                                     SafeComputerName(computer) + kJournalSuffix));
}

std::string DamagedJournalPath(const std::string& journalPath) {
    const std::string suffix = kJournalSuffix;
    const bool named =
        journalPath.size() >= suffix.size() &&
        journalPath.compare(journalPath.size() - suffix.size(), suffix.size(), suffix) == 0;
    return (named ? journalPath.substr(0, journalPath.size() - suffix.size()) : journalPath) +
           ".damaged";
}

TJournalPlace ChooseJournalPlace(TRecordJournal::TOpenResult besideTheDataFile,
                                 bool haveStateFolder) {
    switch (besideTheDataFile) {
    case TRecordJournal::TOpenResult::Opened:
        return TJournalPlace::BesideTheDataFile;
    case TRecordJournal::TOpenResult::Refused:
        return haveStateFolder ? TJournalPlace::StateFolder : TJournalPlace::Nowhere;
    case TRecordJournal::TOpenResult::InUse:
    case TRecordJournal::TOpenResult::Failed:
        break;
    }
    return TJournalPlace::Nowhere;
}

} // namespace lorvent
