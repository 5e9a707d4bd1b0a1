// Where a computer keeps its journal of a data file: its name, the choice of
// the state folder, and a start-up with several computers on one data file,
// with the journal of an earlier version, and with a folder that lets the
// user write the data file but not create the journal.
#include "app/attendance/data_path.h"
#include "app/attendance/file_sync.h"
#include "app/attendance/journal_place.h"
#include "app/attendance/record_custody.h"
#include "app/startup/startup_error.h"
#include "protocol/file_open.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <fstream>

namespace lorvent::testing {
namespace {

struct TNameCase {
    std::string computer;
    std::string safe;
};

class SafeComputerNameTest : public ::testing::TestWithParam<TNameCase> {};

TEST_P(SafeComputerNameTest, KeepsLettersDigitsDashAndUnderscoreAndLowersTheLetters) {
    EXPECT_EQ(SafeComputerName(GetParam().computer), GetParam().safe);
}

INSTANTIATE_TEST_SUITE_P(
    Names, SafeComputerNameTest,
    ::testing::Values(TNameCase{"pc-a_1", "pc-a_1"}, TNameCase{"KANCELAR-7", "kancelar-7"},
                      TNameCase{"pc1.example.org", "pc1_example_org"},
                      TNameCase{"a b/c\\d:e*f?", "a_b_c_d_e_f_"}, TNameCase{"..", "__"},
                      TNameCase{"kancelář", "kancel____"}, TNameCase{"", "unknown"}));

TEST(JournalNamesTest, EachComputerHasItsJournalAndItsDamagedLinesBesideIt) {
    EXPECT_EQ(JournalPath("/srv/k.db", "PC.B"), "/srv/k.db.pc_b.journal");
    EXPECT_NE(JournalPath("/srv/k.db", "pc-a"), JournalPath("/srv/k.db", "pc-b"));
    EXPECT_EQ(DamagedJournalPath(JournalPath("/srv/k.db", "PC.B")), "/srv/k.db.pc_b.damaged");
    EXPECT_EQ(EarlierJournalPath("/srv/k.db"), "/srv/k.db.journal");
    EXPECT_EQ(DamagedJournalPath(EarlierJournalPath("/srv/k.db")), "/srv/k.db.damaged")
        << "an earlier version's journal keeps its damaged lines where they always were";
}

// Found again for the same data file, told apart from another data file of
// the same name, and from another computer's.
TEST(JournalNamesTest, AStateFolderJournalIsNamedAfterTheDataFileItsFolderAndTheComputer) {
    const std::string first = StateFolderJournalPath("state", "/srv/a/k.db", "pc-a");
    EXPECT_EQ(first, StateFolderJournalPath("state", "/srv/a/k.db", "pc-a"));
    EXPECT_NE(first, StateFolderJournalPath("state", "/srv/b/k.db", "pc-a"));
    EXPECT_NE(first, StateFolderJournalPath("state", "/srv/a/k.db", "pc-b"));
    const std::string name = PathFromUtf8(first).filename().string();
    EXPECT_EQ(PathFromUtf8(first).parent_path(), PathFromUtf8("state"));
    EXPECT_EQ(name.rfind("k.db-", 0), 0u) << name;
    EXPECT_EQ(name.size(), std::string("k.db-").size() + 16 + std::string(".pc-a.journal").size())
        << name;
    EXPECT_EQ(name.substr(name.size() - 13), ".pc-a.journal") << name;
}

TEST(JournalNamesTest, OneDataFileNamedTwoWaysIsOneIdentity) {
    EXPECT_EQ(DataFileIdentity("k.db"), DataFileIdentity("./sub/../k.db"));
    EXPECT_TRUE(PathFromUtf8(DataFileIdentity("k.db")).is_absolute());
}

struct TPlaceCase {
    const char* name;
    TRecordJournal::TOpenResult beside;
    bool haveStateFolder;
    TJournalPlace place;
};

class JournalPlaceTest : public ::testing::TestWithParam<TPlaceCase> {};

TEST_P(JournalPlaceTest, OnlyAFolderThatRefusesTheUserMovesTheJournal) {
    EXPECT_EQ(ChooseJournalPlace(GetParam().beside, GetParam().haveStateFolder), GetParam().place);
}

using TOpen = TRecordJournal::TOpenResult;
INSTANTIATE_TEST_SUITE_P(
    Places, JournalPlaceTest,
    ::testing::Values(TPlaceCase{"Opened", TOpen::Opened, true, TJournalPlace::BesideTheDataFile},
                      TPlaceCase{"Refused", TOpen::Refused, true, TJournalPlace::StateFolder},
                      TPlaceCase{"RefusedWithoutAStateFolder", TOpen::Refused, false,
                                 TJournalPlace::Nowhere},
                      TPlaceCase{"InUseOnThisComputer", TOpen::InUse, true, TJournalPlace::Nowhere},
                      TPlaceCase{"FailedOtherwise", TOpen::Failed, true, TJournalPlace::Nowhere}),
    [](const auto& test) { return std::string(test.param.name); });

struct TRefusalCase {
    const char* name;
    int error;
    bool refused;
};

class OpenRefusedTest : public ::testing::TestWithParam<TRefusalCase> {};

TEST_P(OpenRefusedTest, OnlyAMissingRightIsARefusal) {
    EXPECT_EQ(OpenRefused(GetParam().error), GetParam().refused);
}

#ifdef _WIN32
INSTANTIATE_TEST_SUITE_P(
    Errors, OpenRefusedTest,
    ::testing::Values(TRefusalCase{"AccessDenied", ERROR_ACCESS_DENIED, true},
                      TRefusalCase{"WriteProtect", ERROR_WRITE_PROTECT, true},
                      TRefusalCase{"NetworkAccessDenied", ERROR_NETWORK_ACCESS_DENIED, true},
                      TRefusalCase{"DiskFull", ERROR_DISK_FULL, false},
                      TRefusalCase{"PathNotFound", ERROR_PATH_NOT_FOUND, false},
                      TRefusalCase{"SharingViolation", ERROR_SHARING_VIOLATION, false}),
    [](const auto& test) { return std::string(test.param.name); });
#else
INSTANTIATE_TEST_SUITE_P(
    Errors, OpenRefusedTest,
    ::testing::Values(TRefusalCase{"EACCES", EACCES, true}, TRefusalCase{"EPERM", EPERM, true},
                      TRefusalCase{"EROFS", EROFS, true}, TRefusalCase{"ENOSPC", ENOSPC, false},
                      TRefusalCase{"ENOENT", ENOENT, false}, TRefusalCase{"EMFILE", EMFILE, false},
                      TRefusalCase{"EISDIR", EISDIR, false}),
    [](const auto& test) { return std::string(test.param.name); });
#endif

// ---- Start-up with the custody ----

const std::string kRecordA = "07/12/2026-23:16 0000000a";
const std::string kRecordB = "07/12/2026-23:16 0000000b";

std::unique_ptr<TLogItem> Read(const std::string& number) {
    auto item = std::make_unique<TLogItem>();
    item->ReadTime.tm_year = 2026 - 1900;
    item->ReadTime.tm_mon = 11;
    item->ReadTime.tm_mday = 7;
    item->ReadTime.tm_hour = 23;
    item->ReadTime.tm_min = 16;
    item->Number = number;
    return item;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class JournalStartTest : public ::testing::Test {
protected:
    std::string Data() const { return Utf8FromPath(temp.File("shared") / "kalvinor.db"); }
    std::string State() const { return Utf8FromPath(temp.File("state")); }
    // A custody as a program on `computer` opens it; a custody dropped
    // without Close is a killed program's.
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

// Two computers on one data file both start; one killed with a record in its
// journal and started again stores that record once and leaves the other
// computer's journal as it is.
TEST_F(JournalStartTest, TwoComputersOnOneDataFileEachRecoverTheirOwnRecords) {
    auto a = Start("pc-a");
    auto b = Start("pc-b");
    a->Take(Read("0000000a"));
    b->Take(Read("0000000b"));
    a.reset();
    b.reset();
    const std::string journalOfB = Bytes(JournalPath(Data(), "pc-b"));
    ASSERT_EQ(journalOfB, kRecordB + "\r\n");

    auto again = Start("pc-a");
    EXPECT_EQ(Bytes(Data()), kRecordA + "\r\n");
    EXPECT_EQ(Bytes(JournalPath(Data(), "pc-a")), "");
    EXPECT_EQ(Bytes(JournalPath(Data(), "pc-b")), journalOfB) << "the other computer's journal";
    EXPECT_THROW(Start("PC-A"), TStartupError) << "a second program on this computer";
    again->Close();
    EXPECT_EQ(Count(Bytes(Data()), kRecordA), 1u);
}

struct TLeftJournalCase {
    const char* name;
    bool earlierVersion; // else the state folder's, from a run that could not create it beside
};

class LeftJournalTest : public JournalStartTest,
                        public ::testing::WithParamInterface<TLeftJournalCase> {
protected:
    std::string LeftJournal() const {
        return GetParam().earlierVersion
                   ? EarlierJournalPath(Data())
                   : StateFolderJournalPath(State(), DataFileIdentity(Data()), "pc-a");
    }
};

// Its records are stored once, its cut-off line kept beside it, and it is
// left empty; a journal that another program holds is left alone.
TEST_P(LeftJournalTest, IsStoredOnceByTheNextStartUnlessAnotherProgramHoldsIt) {
    Write(LeftJournal(), kRecordA + "\r\n07/12/20");
    {
        TRecordJournal holder;
        ASSERT_EQ(holder.Open(LeftJournal()), TRecordJournal::TOpenResult::Opened);
        Start("pc-a")->Close();
        EXPECT_EQ(Bytes(Data()), "") << "held by a running program";
        EXPECT_EQ(Bytes(LeftJournal()), kRecordA + "\r\n07/12/20");
    }
    Start("pc-a")->Close();
    EXPECT_EQ(Bytes(Data()), kRecordA + "\r\n");
    EXPECT_EQ(Bytes(LeftJournal()), "");
    EXPECT_EQ(Bytes(DamagedJournalPath(LeftJournal())), "07/12/20\r\n");
    Start("pc-a")->Close();
    EXPECT_EQ(Bytes(Data()), kRecordA + "\r\n") << "stored once";
}

INSTANTIATE_TEST_SUITE_P(Journals, LeftJournalTest,
                         ::testing::Values(TLeftJournalCase{"EarlierVersion", true},
                                           TLeftJournalCase{"StateFolder", false}),
                         [](const auto& test) { return std::string(test.param.name); });

#ifndef _WIN32
// The data file's folder made immutable: not even root may create a file in
// it, while the data file in it may still be written.
class ClosedFolder {
public:
    explicit ClosedFolder(const std::filesystem::path& folder)
        : descriptor_(open(folder.c_str(), O_RDONLY | O_DIRECTORY)) {
        closed_ = Set(true);
    }
    ~ClosedFolder() { Open(); }
    void Open() {
        if (closed_)
            Set(false);
        closed_ = false;
        if (descriptor_ >= 0)
            close(descriptor_);
        descriptor_ = -1;
    }
    bool Closed() const { return closed_; }

private:
    bool Set(bool immutable) {
        int flags = 0;
        if (descriptor_ < 0 || ioctl(descriptor_, FS_IOC_GETFLAGS, &flags) != 0)
            return false;
        flags = immutable ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        return ioctl(descriptor_, FS_IOC_SETFLAGS, &flags) == 0;
    }
    int descriptor_;
    bool closed_ = false;
};

// The journal goes to the state folder, said once in the log; a kill after a
// read loses nothing, whether the folder is still closed at the next start
// or opened by then (the state folder's journal is then taken over).
TEST_F(JournalStartTest, AFolderThatRefusesTheJournalSendsItToTheStateFolder) {
    for (const bool openedByThen : {false, true}) {
        SCOPED_TRACE(openedByThen ? "folder opened by the next start" : "folder still closed");
        std::filesystem::remove_all(temp.File("shared"));
        std::filesystem::remove_all(temp.File("state"));
        logged.clear();
        Write(Data(), "");
        ClosedFolder folder(temp.File("shared"));
        if (!folder.Closed())
            GTEST_SKIP() << "the folder cannot be made immutable here (root on ext4 or the like)";
        const std::string stateJournal =
            StateFolderJournalPath(State(), DataFileIdentity(Data()), "pc-a");

        auto killed = Start("pc-a");
        EXPECT_EQ(killed->JournalFileName(), stateJournal);
        EXPECT_EQ(Count(logged, stateJournal), 1u) << logged;
        killed->Take(Read("0000000a"));
        EXPECT_EQ(Bytes(stateJournal), kRecordA + "\r\n");
        killed.reset();

        if (openedByThen)
            folder.Open();
        Start("pc-a")->Close();
        EXPECT_EQ(Bytes(Data()), kRecordA + "\r\n");
        EXPECT_EQ(Bytes(stateJournal), "");
        EXPECT_EQ(std::filesystem::exists(PathFromUtf8(JournalPath(Data(), "pc-a"))), openedByThen);
    }
}
#endif

} // namespace
} // namespace lorvent::testing
