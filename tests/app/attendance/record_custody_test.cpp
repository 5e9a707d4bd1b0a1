// The record custody without a window: files that an earlier run left ending
// inside a line (the disk filled up mid-write, the power went) and the next
// record written to them.
#include "app/attendance/computer_name.h"
#include "app/attendance/journal_place.h"
#include "app/attendance/record_custody.h"
#include "app/attendance/record_journal.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

namespace lorvent::testing {
namespace {

const std::string kRecord = "07/12/2026-23:16 012aff007b";

struct TLeftOverCase {
    const char* name;
    std::string leftOver;  // the end of the file as the earlier run left it
    std::string separator; // in the data file, between it and the next record
};

void PrintTo(const TLeftOverCase& leftOver, std::ostream* out) {
    *out << leftOver.name;
}

class LeftOverEndTest : public ::testing::TestWithParam<TLeftOverCase> {
protected:
    std::string DataFilePath() const { return (temp.Path() / "kalvinor.db").string(); }
    static void Write(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    std::string Expected() const {
        return GetParam().leftOver + GetParam().separator + kRecord + "\r\n";
    }

    TTempDir temp;
};

// A record the start recovers from the journal, and what the data file holds
// once it is closed.
TEST_P(LeftOverEndTest, TheDataFileBeginsTheNextRecordOnALineOfItsOwn) {
    Write(DataFilePath(), GetParam().leftOver);
    Write(JournalPath(DataFilePath(), ComputerName()), kRecord + "\r\n");
    TRecordCustody custody(nullptr, nullptr, nullptr);
    custody.Open(DataFilePath(), {ComputerName(), {}});
    custody.Close();
    EXPECT_EQ(FileBytes(DataFilePath()), Expected());
}

// The journal is kept at start-up when the data file cannot take its
// records: the next start must find a new record whole. (On Windows the
// fragment is closed by LF alone; the journal reads either line end.)
TEST_P(LeftOverEndTest, TheJournalBeginsTheNextRecordOnALineOfItsOwn) {
    const std::string path = JournalPath(DataFilePath(), ComputerName());
    Write(path, GetParam().leftOver);
    {
        TRecordJournal journal;
        ASSERT_EQ(journal.Open(path), TRecordJournal::TOpenResult::Opened);
        ASSERT_TRUE(journal.Append(kRecord));
    }
    const std::string bytes = FileBytes(path);
    EXPECT_EQ(bytes.substr(0, GetParam().leftOver.size()), GetParam().leftOver);
    const std::vector<std::string> records = ParseJournal(bytes).records;
    ASSERT_FALSE(records.empty()) << bytes;
    EXPECT_EQ(records.back(), kRecord) << bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Ends, LeftOverEndTest,
    ::testing::Values(TLeftOverCase{"Nothing", "", ""},
                      TLeftOverCase{"AWholeRecord", kRecord + "\r\n", ""},
                      TLeftOverCase{"ALineEndedByLineFeedAlone", "earlier\n", ""},
                      TLeftOverCase{"PartOfARecord", "07/12/20", "\r\n"},
                      TLeftOverCase{"ARecordWithoutItsLineFeed", kRecord + "\r", "\r\n"}),
    [](const auto& test) { return std::string(test.param.name); });

} // namespace
} // namespace lorvent::testing
