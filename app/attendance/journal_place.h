#pragma once

#include "app/attendance/record_journal.h"

#include <string>

namespace lorvent {

// Where a computer keeps its journal. Each computer has a journal of its own,
// so that computers sharing a data file (a network folder) never take each
// other's waiting records for a killed run's.

// A computer's name as it appears in a journal's name: ASCII letters (lowered,
// as Windows names a computer in either case), digits, '-' and '_' as they
// are, anything else '_'; "unknown" for a computer without a name.
std::string SafeComputerName(const std::string& computer);

// "<data file>.<computer>.journal", beside the data file.
std::string JournalPath(const std::string& dataFileName, const std::string& computer);

// "<data file>.journal": the one journal of the versions before, which every
// computer on the data file shared.
std::string EarlierJournalPath(const std::string& dataFileName);

// The journal kept in the user's state folder when the data file's folder does
// not let the user create it: "<data file's name>-<hash>.<computer>.journal",
// where the hash (16 hexadecimal digits) tells apart data files of one name
// in different folders. `identity` is DataFileIdentity's.
std::string StateFolderJournalPath(const std::string& folder, const std::string& identity,
                                   const std::string& computer);

// Where the bytes of a journal's lines that are not whole records are kept
// for a person to look at (a line cut off by a power cut, say): beside the
// journal, its ".journal" replaced by ".damaged".
std::string DamagedJournalPath(const std::string& journalPath);

enum class TJournalPlace { BesideTheDataFile, StateFolder, Nowhere };

// Where the journal is kept, given how opening it beside the data file went:
// there when it opened, in the state folder (when there is one) when the user
// may not create it there, and nowhere (start-up fails) when another program
// on this computer holds it or anything else went wrong.
TJournalPlace ChooseJournalPlace(TRecordJournal::TOpenResult besideTheDataFile,
                                 bool haveStateFolder);

} // namespace lorvent
