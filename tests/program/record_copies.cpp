#include "record_copies.h"

#include <sstream>

namespace lorvent::testing {

namespace {

std::string Describe(const TRecordCopies& copies, const TDoubleExcuse& excuse) {
    std::ostringstream text;
    text << copies.stored << " on the server and " << copies.filed << " in the data file for "
         << copies.reads << " read(s), stored " << (excuse.storedUnconfirmed ? "once" : "never")
         << " without its OK, in the journal at " << excuse.killsWithItInTheJournal << " kill(s)";
    return text.str();
}

} // namespace

// The server never gets a second copy: records a start-up recovers go to the
// file alone, and so does a record sent without its confirmation. Each kill
// with the record in the journal may add one copy, in the file; a store whose
// OK was lost adds the one in the file beside the server's.
std::string WrongCopies(const TRecordCopies& copies, const TDoubleExcuse& excuse) {
    const bool unconfirmedCopy = excuse.storedUnconfirmed && copies.stored > 0;
    const int excused = excuse.killsWithItInTheJournal + (unconfirmedCopy ? 1 : 0);
    if (copies.stored > copies.reads)
        return "stored twice on the server: " + Describe(copies, excuse);
    if (copies.filed > copies.reads + excuse.killsWithItInTheJournal)
        return "filed twice without a kill to explain it: " + Describe(copies, excuse);
    if (copies.stored + copies.filed > copies.reads + excused)
        return "an extra copy nothing explains: " + Describe(copies, excuse);
    return {};
}

} // namespace lorvent::testing
