// Where a computer keeps its journal of a data file, and start-ups with two
// computers on one data file, an earlier version's journal and a folder that
// lets the user write the data file but not create the journal.
#include "app/attendance/data_path.h"
#include "app/attendance/file_sync.h"
#include "app/attendance/journal_place.h"
#include "app/attendance/record_custody.h"
#include "app/startup/startup_error.h"
#include "protocol/file_open.h"
#include "support/temp_dir.h"
#include "support/tm.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <fstream>
#include <tuple>
#include <utility>

namespace lorvent::testing {
namespace {

// A file name on every system, never a folder's, one for either letter case.
TEST(JournalPlaceTest, AComputerNameBecomesAFileNameOfItsOwn) {
    const std::pair<std::string, std::string> cases[] = {
        {"pc-a_1", "pc-a_1"}, {"KANCELAR-7", "kancelar-7"}, {"a b/c\\d:e*f?", "a_b_c_d_e_f_"},
        {"..", "__"},         {"kancelář", "kancel____"},   {"", "unknown"}};
    for (const auto& [computer, safe] : cases)
        EXPECT_EQ(SafeComputerName(computer), safe) << computer;
}

// Where a journal is kept and under what name. The state folder's name holds
// a hash of the data file's path that must not change between versions.
TEST(JournalPlaceTest, EachJournalHasAPlaceTheNextStartFindsAgain) {
    const std::pair<std::string, std::string> cases[] = {
        {JournalPath("/srv/k.db", "PC.B"), "/srv/k.db.pc_b.journal"},
        {DamagedJournalPath(JournalPath("/srv/k.db", "PC.B")), "/srv/k.db.pc_b.damaged"},
        {EarlierJournalPath("/srv/k.db"), "/srv/k.db.journal"},
        {DamagedJournalPath(EarlierJournalPath("/srv/k.db")), "/srv/k.db.damaged"},
        {StateFolderJournalPath("state", "/srv/a/k.db", "PC.B"),
         Utf8FromPath(PathFromUtf8("state") / "k.db-58fe662365e43593.pc_b.journal")}};
    for (const auto& [got, want] : cases)
        EXPECT_EQ(got, want);
    EXPECT_NE(StateFolderJournalPath("state", "/srv/a/k.db", "pc-a"),
              StateFolderJournalPath("state", "/srv/b/k.db", "pc-a"));
    EXPECT_EQ(DataFileIdentity("k.db"), DataFileIdentity("./sub/../k.db"));
    EXPECT_TRUE(PathFromUtf8(DataFileIdentity("k.db")).is_absolute());

    // Only a missing right moves it to the state folder; a full disk, a
    // missing folder or another program holding it stop the start.
    using TOpen = TRecordJournal::TOpenResult;
    using P = TJournalPlace;
    const std::tuple<TOpen, bool, P> places[] = {{TOpen::Opened, true, P::BesideTheDataFile},
                                                 {TOpen::Refused, true, P::StateFolder},
                                                 {TOpen::Refused, false, P::Nowhere},
                                                 {TOpen::InUse, true, P::Nowhere},
                                                 {TOpen::Failed, true, P::Nowhere}};
    for (const auto& [beside, haveStateFolder, place] : places)
        EXPECT_EQ(ChooseJournalPlace(beside, haveStateFolder), place)
            << static_cast<int>(beside) << " " << haveStateFolder;
    const std::pair<int, bool> errors[] = {
#ifdef _WIN32
        {ERROR_ACCESS_DENIED, true},         {ERROR_WRITE_PROTECT, true},
        {ERROR_NETWORK_ACCESS_DENIED, true}, {ERROR_DISK_FULL, false},
        {ERROR_PATH_NOT_FOUND, false},       {ERROR_SHARING_VIOLATION, false}};
#else
        {EACCES, true},  {EPERM, true},   {EROFS, true},  {ENOSPC, false},
        {ENOENT, false}, {EMFILE, false}, {EISDIR, false}};
#endif
    for (const auto& [error, refused] : errors)
        EXPECT_EQ(OpenRefused(error), refused) << error;
}

// ---- Start-up with the custody ----

const std::string kLineA = "07/12/2026-23:16 0000000a\r\n";
const std::string kLineB = "07/12/2026-23:16 0000000b\r\n";

std::unique_ptr<TLogItem> Read(const std::string& number) {
    return std::make_unique<TLogItem>(TLogItem{Tm(2026, 12, 7, 23, 16), number});
}

class JournalStartTest : public ::testing::Test {
protected:
    std::string Data() const { return Utf8FromPath(temp.File("shared") / "kalvinor.db"); }
    std::string State() const { return Utf8FromPath(temp.File("state")); }
    std::string StateJournal() const {
        return StateFolderJournalPath(State(), DataFileIdentity(Data()), "pc-a");
    }
    // A custody as a program on `computer` opens it; one dropped without
    // Close is a killed program's.
    std::unique_ptr<TRecordCustody> Start(const std::string& computer) {
        auto custody = std::make_unique<TRecordCustody>(
            nullptr, nullptr, [this](const std::string& text) { logged += text + "\n"; });
        custody->Open(Data(), {computer, State()});
        return custody;
    }
    static void Write(const std::string& path, const std::string& bytes) {
        std::filesystem::create_directories(PathFromUtf8(path).parent_path());
        std::ofstream(PathFromUtf8(path), std::ios::binary) << bytes;
    }
    static std::string Bytes(const std::string& path) { return FileBytes(PathFromUtf8(path)); }

    TTempDir temp;
    std::string logged;
};

// Each killed with a record in its journal: pc-a's next start stores its own
// record once and leaves pc-b's journal alone; a second program on pc-a
// (named in the other letter case) is refused.
TEST_F(JournalStartTest, TwoComputersOnOneDataFileEachRecoverTheirOwnRecords) {
    auto a = Start("pc-a");
    auto b = Start("pc-b");
    a->Take(Read("0000000a"));
    b->Take(Read("0000000b"));
    a.reset();
    b.reset();

    auto again = Start("pc-a");
    EXPECT_EQ(Bytes(Data()), kLineA);
    EXPECT_EQ(Bytes(JournalPath(Data(), "pc-a")), "");
    EXPECT_EQ(Bytes(JournalPath(Data(), "pc-b")), kLineB) << "the other computer's";
    EXPECT_THROW(Start("PC-A"), TStartupError) << "a second program on this computer";
    again->Close();
    EXPECT_EQ(Bytes(Data()), kLineA);
}

// An earlier version's shared journal, or the state folder's of a run that
// could not create its journal beside the data file: stored once, its
// cut-off line kept beside it, left empty; left alone while a program holds it.
TEST_F(JournalStartTest, ALeftJournalIsStoredOnceUnlessAnotherProgramHoldsIt) {
    for (const bool earlierVersion : {true, false}) {
        SCOPED_TRACE(earlierVersion ? "an earlier version's journal" : "the state folder's");
        std::filesystem::remove_all(temp.File("shared"));
        std::filesystem::remove_all(temp.File("state"));
        const std::string left = earlierVersion ? EarlierJournalPath(Data()) : StateJournal();
        Write(left, kLineA + "07/12/20");
        {
            TRecordJournal holder;
            ASSERT_EQ(holder.Open(left), TRecordJournal::TOpenResult::Opened);
            Start("pc-a")->Close();
            EXPECT_EQ(Bytes(Data()), "") << "held by a running program";
            EXPECT_EQ(Bytes(left), kLineA + "07/12/20");
        }
        Start("pc-a")->Close();
        EXPECT_EQ(Bytes(Data()), kLineA);
        EXPECT_EQ(Bytes(left), "");
        EXPECT_EQ(Bytes(DamagedJournalPath(left)), "07/12/20\r\n");
        Start("pc-a")->Close();
        EXPECT_EQ(Bytes(Data()), kLineA) << "stored once";
    }
}

#ifndef _WIN32
// An immutable folder: not even root may create a file in it, while the data
// file in it may still be written.
bool SetImmutable(const std::filesystem::path& folder, bool immutable) {
    const int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    bool set = ioctl(descriptor, FS_IOC_GETFLAGS, &flags) == 0; // fails on -1 too
    flags = immutable ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    set = set && ioctl(descriptor, FS_IOC_SETFLAGS, &flags) == 0;
    close(descriptor);
    return set;
}

// The journal goes to the state folder, said once in the log; a kill after a
// read loses nothing, as the next start finds that journal again.
TEST_F(JournalStartTest, AFolderThatRefusesTheJournalSendsItToTheStateFolder) {
    Write(Data(), "");
    if (!SetImmutable(temp.File("shared"), true))
        GTEST_SKIP() << "the folder cannot be made immutable here";
    const struct TReopen {
        std::filesystem::path folder;
        ~TReopen() { SetImmutable(folder, false); }
    } reopen{temp.File("shared")};

    auto killed = Start("pc-a");
    EXPECT_EQ(killed->JournalFileName(), StateJournal());
    EXPECT_NE(logged.find(StateJournal()), std::string::npos) << logged;
    EXPECT_EQ(logged.find(StateJournal()), logged.rfind(StateJournal())) << logged;
    killed->Take(Read("0000000a"));
    EXPECT_EQ(Bytes(StateJournal()), kLineA);
    killed.reset();

    Start("pc-a")->Close();
    EXPECT_EQ(Bytes(Data()), kLineA);
    EXPECT_EQ(Bytes(StateJournal()), "");
}
#endif

} // namespace
} // namespace lorvent::testing
