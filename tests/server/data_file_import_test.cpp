// Importing terminals' data files into an SQLite store.
#include "server/data_file_import.h"
#include "server/sqlite_record_store.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

namespace lorvent::server {
namespace {

using testing::TTempDir;

class DataFileImportTest : public ::testing::Test {
protected:
    void Append(const std::string& text) {
        std::ofstream(file_, std::ios::binary | std::ios::app) << text;
    }
    ImportResult Import(const std::string& terminal = "door-1") {
        return ImportDataFile(store_, terminal, file_);
    }
    std::vector<std::string> Rows() {
        std::vector<std::string> rows;
        store_.ForEach([&](const StoredRecord& stored) {
            rows.push_back(stored.terminal + " " + stored.record.readTime + " " +
                           stored.record.number);
        });
        return rows;
    }

    TTempDir dir_;
    std::string file_ = dir_.File("kalvinor.db");
    SqliteRecordStore store_{dir_.File("records.sqlite")};
};

TEST_F(DataFileImportTest, AFileThatKeepsGrowingAddsEachLineOnce) {
    Append("07/12/2026-07:58 012aff007b\r\n07/12/2026-08:01 0000ffff\r\n");
    ImportResult first = Import();
    EXPECT_EQ(first.added, 2u);
    EXPECT_EQ(first.linesBefore, 0u);
    EXPECT_FALSE(first.unfinishedLastLine);

    // The terminal appends, and is in the middle of a line when the office imports.
    Append("07/12/2026-12:00 0000ffff\r\n07/12/2026-16:3");
    ImportResult second = Import();
    EXPECT_EQ(second.added, 1u);
    EXPECT_EQ(second.linesBefore, 2u);
    EXPECT_TRUE(second.unfinishedLastLine);

    Append("0 012aff007b\r\n");
    EXPECT_EQ(Import().added, 1u);
    EXPECT_EQ(Import().added, 0u) << "the same file again adds nothing";
    EXPECT_EQ(Rows(), (std::vector<std::string>{"door-1 07/12/2026-07:58 012aff007b",
                                                "door-1 07/12/2026-08:01 0000ffff",
                                                "door-1 07/12/2026-12:00 0000ffff",
                                                "door-1 07/12/2026-16:30 012aff007b"}));
}

TEST_F(DataFileImportTest, MalformedLinesAreReportedByNumberSkippedAndNotReportedAgain) {
    Append("07/12/2026-07:58 012aff007b\r\n"   // 1
           "07/12/2026-08:00 012AFF007B\r\n"   // 2 upper case
           "\r\n"                              // 3 empty
           "07/12/2026-0\r\n"                  // 4 what a full disk cut short
           "31/02/2026-10:00 0000ffff\r\n"     // 5 no such date
           + std::string(300, 'x') + "\r\n" +  // 6 far too long
           "07/12/2026-09:00 0000ffff\n"       // 7 LF alone: still a record
           "L 07/12/2026-23:16 012aff007b\r\n" // 8 a request line, not a data-file line
           "07/12/2026-09:00  0000ffff\r\n");  // 9 two spaces
    const ImportResult result = Import();
    EXPECT_EQ(result.added, 2u);
    std::vector<std::uint64_t> numbers;
    for (const MalformedLine& line : result.malformed)
        numbers.push_back(line.number);
    EXPECT_EQ(numbers, (std::vector<std::uint64_t>{2, 3, 4, 5, 6, 8, 9}));
    EXPECT_EQ(result.malformed[0].text, "07/12/2026-08:00 012AFF007B");
    EXPECT_EQ(result.malformed[4].reason, "line too long");
    EXPECT_LE(result.malformed[4].text.size(), 64u);

    Append("07/12/2026-10:00 0000ffff\r\n");
    const ImportResult again = Import();
    EXPECT_EQ(again.added, 1u);
    EXPECT_TRUE(again.malformed.empty());
    EXPECT_EQ(again.linesBefore, 9u);
    EXPECT_EQ(Rows().size(), 3u);
}

TEST_F(DataFileImportTest, AnotherFileUnderAnImportedNameIsRefusedWhole) {
    Append("07/12/2026-07:58 012aff007b\r\n07/12/2026-08:01 0000ffff\r\n");
    Import();
    const std::string imported = file_;

    struct Case {
        const char* what;
        std::string content;
    };
    const Case others[] = {
        {"a different first line", "07/12/2026-07:59 012aff007b\r\n07/12/2026-08:01 0000ffff\r\n"
                                   "07/12/2026-09:00 0000ffff\r\n"},
        {"shorter than what was imported", "07/12/2026-07:58 012aff007b\r\n"},
    };
    for (const Case& other : others) {
        file_ = dir_.File("other.db");
        std::ofstream(file_, std::ios::binary | std::ios::trunc) << other.content;
        EXPECT_THROW(Import(), ImportError) << other.what;
    }
    EXPECT_EQ(Rows().size(), 2u);

    // Under a name of its own it is a file like any other.
    EXPECT_EQ(Import("door-2").added, 1u);
    file_ = imported;
    EXPECT_EQ(Import().added, 0u);
}

TEST_F(DataFileImportTest, AMissingFileIsAnErrorThatNamesIt) {
    file_ = dir_.File("none.db");
    try {
        Import();
        FAIL() << "imported a file that does not exist";
    } catch (const ImportError& error) {
        EXPECT_NE(std::string(error.what()).find(file_), std::string::npos) << error.what();
    }
}

TEST_F(DataFileImportTest, TwoImportsOfOneFileAtOnceAddItOnce) {
    for (int i = 0; i < 500; ++i)
        Append("07/12/2026-08:00 " + std::to_string(10000000 + i) + "\r\n");
    const auto importer = [this] {
        SqliteRecordStore store(dir_.File("records.sqlite"));
        for (int attempt = 0; attempt < 3; ++attempt) {
            try {
                ImportDataFile(store, "door-1", file_);
                return;
            } catch (const ImportConflict&) {
                // the other one moved the mark first: read it again
            }
        }
    };
    std::thread a(importer);
    std::thread b(importer);
    a.join();
    b.join();
    EXPECT_EQ(Rows().size(), 500u);
}

} // namespace
} // namespace lorvent::server
