// The record journal beside the data file: what it holds while records wait
// for the tick, what a start-up makes of one left by a killed run, and how it
// fares with a full disk and a second program on the same data file.
#include "app/attendance/attendance.h"
#include "app/attendance/computer_name.h"
#include "app/attendance/journal_place.h"
#include "app/attendance/record_journal.h"
#include "app/startup/startup_error.h"
#include "frm_fixture.h"
#include "support/tm.h"

#ifndef _WIN32
#include "support/read_to_end.h"
#include "support/temp_dir.h"

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#endif

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <sstream>

namespace lorvent::testing {
namespace {

struct TParseCase {
    const char* name;
    std::string bytes;
    std::vector<std::string> records;
    std::string damaged;
};

void PrintTo(const TParseCase& parse, std::ostream* out) {
    *out << parse.name;
}

class ParseJournalTest : public ::testing::TestWithParam<TParseCase> {};

TEST_P(ParseJournalTest, OnlyWholeRecordsWithTheirLineEndCount) {
    const TJournalContent content = ParseJournal(GetParam().bytes);
    EXPECT_EQ(content.records, GetParam().records);
    EXPECT_EQ(content.damaged, GetParam().damaged);
}

const std::string kFive = "07/12/2026-23:16 012aff007b";
const std::string kFour = "31/01/2027-00:05 deadbeef";

INSTANTIATE_TEST_SUITE_P(
    Journals, ParseJournalTest,
    ::testing::Values(
        TParseCase{"empty", "", {}, ""},
        TParseCase{"whole records", kFive + "\r\n" + kFour + "\r\n", {kFive, kFour}, ""},
        TParseCase{
            "last line cut off after its digits", kFive + "\r\n" + kFour, {kFive}, kFour + "\r\n"},
        TParseCase{"last line cut off inside its number",
                   kFive + "\r\n07/12/2026-23:17 012a",
                   {kFive},
                   "07/12/2026-23:17 012a\r\n"},
        TParseCase{"fragment of a failed append, then the next record",
                   kFive + "\r\n07/12/20\r\n" + kFour + "\r\n",
                   {kFive, kFour},
                   "07/12/20\r\n"},
        TParseCase{"empty lines between records", "\r\n" + kFive + "\r\n\n", {kFive}, ""},
        TParseCase{"not records",
                   "07/12/2026-23:16 012AFF007B\r\n07/12/2026 23:16 012aff007b\r\n"
                   "07/12/2026-23:16 012aff00\r\n07/12/2026-23:16 012aff007b7b\r\n",
                   {"07/12/2026-23:16 012aff00"},
                   "07/12/2026-23:16 012AFF007B\r\n07/12/2026 23:16 012aff007b\r\n"
                   "07/12/2026-23:16 012aff007b7b\r\n"},
        TParseCase{"zero bytes of a block the power cut left unwritten",
                   kFive + "\r\n" + std::string(5, '\0'),
                   {kFive},
                   std::string(5, '\0') + "\r\n"}),
    [](const auto& test) {
        std::string name = test.param.name;
        for (char& c : name)
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

class JournalTest : public FrmFixture {
protected:
    void SetUp() override { keyboard.now = Tm(2026, 12, 7, 23, 16); }
    std::string DataFilePath() const { return (temp.Path() / "att" / "kalvinor.db").string(); }
    void StartAttendance() { Start({"-net", "-db", DataFilePath()}); }
    static std::vector<std::uint8_t> Card(int i) {
        return {0x01, 0x2a, 0xff, 0x00, static_cast<std::uint8_t>(i)};
    }
    static std::string Record(int i) {
        char text[64];
        std::snprintf(text, sizeof text, "07/12/2026-23:16 012aff00%02x", i);
        return text;
    }
    static std::string Lines(const std::vector<int>& cards, const char* lineEnd = "\r\n") {
        std::string lines;
        for (int i : cards)
            lines += Record(i) + lineEnd;
        return lines;
    }
    static void Write(const std::string& path, const std::string& bytes) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }
    std::string Journal() const {
        return testing::FileBytes(JournalPath(DataFilePath(), ComputerName()));
    }
    std::string DataFile() const { return testing::FileBytes(DataFilePath()); }
    std::string Damaged() const {
        return testing::FileBytes(DamagedJournalPath(JournalPath(DataFilePath(), ComputerName())));
    }
    std::vector<std::string> Uploaded() const {
        std::vector<std::string> requests;
        for (const std::string& line : server.journal)
            if (line.rfind("L ", 0) == 0)
                requests.push_back(line.substr(2));
        return requests;
    }
};

// Each read is on the disk before the next message is handled, and leaves the
// journal only with the tick that dealt with it, whichever way it did.
TEST_F(JournalTest, ReadsStayJournaledUntilTheTickHasDealtWithThem) {
    StartAttendance();
    CardRead(Card(0));
    EXPECT_EQ(Journal(), Lines({0}));
    CardRead(Card(1));
    CardRead(Card(2));
    EXPECT_EQ(Journal(), Lines({0, 1, 2}));

    server.replies = {"OK", "nope"};
    frm->LogTimerTimer();
    EXPECT_EQ(Uploaded(), (std::vector<std::string>{Record(0), Record(1)}));
    EXPECT_EQ(DataFile(), Lines({1, 2}));
    EXPECT_EQ(Journal(), "");

    CardRead(Card(3));
    EXPECT_EQ(Journal(), Lines({3}));
}

// A run killed before its tick: the next start stores the journal's records in
// the data file, behind what it held, without offering them to the server;
// the cut-off line is kept aside and the journal begins empty.
TEST_F(JournalTest, StartUpStoresWhatAKilledRunLeftAndKeepsTheCutOffLineAside) {
    Write(DataFilePath(), "earlier\r\n");
    Write(JournalPath(DataFilePath(), ComputerName()), Lines({0, 1}) + "07/12/2026-23:16 012a");
    StartAttendance();
    EXPECT_EQ(DataFile(), "earlier\r\n" + Lines({0, 1}));
    EXPECT_EQ(Damaged(), "07/12/2026-23:16 012a\r\n");
    EXPECT_EQ(Journal(), "");
    EXPECT_TRUE(frm->QueuedRecords().empty());

    CardRead(Card(2));
    server.replies = {"OK"};
    frm->LogTimerTimer();
    EXPECT_EQ(Uploaded(), std::vector<std::string>{Record(2)}) << "recovered records are not sent";
    EXPECT_EQ(DataFile(), "earlier\r\n" + Lines({0, 1}));
}

// Killed after the server confirmed a tick's records but before the journal
// was emptied (the journal as it was then is put back): those records end up
// both on the server and in the file, and every read is in one or the other.
TEST_F(JournalTest, RecordsConfirmedJustBeforeAKillAreCountedInBothPlaces) {
    StartAttendance();
    for (int i = 0; i < 4; ++i)
        CardRead(Card(i));
    const std::string journalAtTheKill = Journal();
    server.replies = {"OK", "OK", "OK"};
    frm->LogTimerTimer();
    frm.reset();
    std::vector<std::string> uploaded = Uploaded();
    uploaded.resize(3); // the fourth was offered and not confirmed
    Write(JournalPath(DataFilePath(), ComputerName()), journalAtTheKill);

    StartAttendance();
    const std::string stored = DataFile();
    int inBoth = 0;
    for (int i = 0; i < 4; ++i) {
        const bool onServer = std::count(uploaded.begin(), uploaded.end(), Record(i)) == 1;
        const bool inFile = stored.find(Record(i)) != std::string::npos;
        EXPECT_TRUE(onServer || inFile) << Record(i);
        inBoth += onServer && inFile;
    }
    EXPECT_EQ(inBoth, 3);
    EXPECT_EQ(stored, Lines({3, 0, 1, 2, 3})) << "the unconfirmed one twice, in the file";
}

// A second program on the same data file would take the first one's journal
// for a killed run's; it is refused at start-up and the first one's records
// stay where they are.
TEST_F(JournalTest, ASecondProgramOnTheSameDataFileIsRefused) {
    StartAttendance();
    CardRead(Card(0));
    TMainFrm second(Services());
    try {
        second.InitFromCommandLine({"-net", "-db", DataFilePath()});
        FAIL() << "the second program started";
    } catch (const TStartupError& error) {
        EXPECT_NE(error.text.find(JournalPath(DataFilePath(), ComputerName())), std::string::npos)
            << error.text;
    }
    EXPECT_EQ(Journal(), Lines({0}));
}

#ifndef _WIN32
// What `run` writes to standard error, through a pipe: the file size limit
// that stands in for a full disk would cut off a file.
std::string StandardErrorOf(const std::function<void()>& run) {
    int ends[2];
    if (pipe(ends) != 0)
        return "(no pipe)";
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    dup2(ends[1], STDERR_FILENO);
    run();
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(ends[1]);
    return ReadToEnd(ends[0]);
}

// The disk fills between two reads (a file size limit stands in for it): the
// record the journal cannot take still waits in memory and is said on
// standard error; the fragment it left never joins a whole record, and the
// next start finds every record the journal took.
TEST_F(JournalTest, ARecordTheJournalCannotTakeWaitsInMemoryAndIsReported) {
    StartAttendance();
    CardRead(Card(0));
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit full = saved;
    full.rlim_cur = Lines({0}).size() + 10;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    const std::string said = StandardErrorOf([&] { CardRead(Card(1)); });
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    std::signal(SIGXFSZ, previous);

    EXPECT_NE(said.find(Record(1)), std::string::npos) << said;
    EXPECT_EQ(frm->QueuedRecords().size(), 2u);
    CardRead(Card(2));
    const TJournalContent content = ParseJournal(Journal());
    EXPECT_EQ(content.records, (std::vector<std::string>{Record(0), Record(2)}));
    EXPECT_EQ(content.damaged, Record(1).substr(0, 10) + "\r\n");

    server.refuseConnect = true;
    frm->LogTimerTimer();
    EXPECT_EQ(DataFile(), Lines({0, 1, 2}));
    EXPECT_EQ(Journal(), "");
}

// The data file (the kernel's full device) cannot take the recovered records
// at start-up: they wait for the ticks, are never offered to the server, and
// the journal keeps them until the file, reopened on a real disk, has them.
TEST_F(JournalTest, RecoveredRecordsTheFileCannotTakeWaitInTheJournal) {
    Write(JournalPath(DataFilePath(), ComputerName()), Lines({0}));
    dataFileOpener = [](const std::string&) { return std::fopen("/dev/full", "ab+"); };
    StartAttendance();
    EXPECT_EQ(frm->FileOnlyRecords().size(), 1u);

    CardRead(Card(1));
    server.replies = {"OK"};
    frm->LogTimerTimer();
    EXPECT_EQ(Uploaded(), std::vector<std::string>{Record(1)});
    EXPECT_EQ(Journal(), Lines({0, 1})) << "emptied only with the recovered record stored";

    ASSERT_EQ(std::freopen(DataFilePath().c_str(), "ab+", openedDataFile), openedDataFile);
    const std::size_t connects = server.journal.size();
    frm->LogTimerTimer();
    EXPECT_EQ(server.journal.size(), connects) << "no connection for recovered records";
    EXPECT_EQ(DataFile(), Lines({0}));
    EXPECT_EQ(Journal(), "");
}
#endif

} // namespace
} // namespace lorvent::testing
