#include "server/record_store.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace lorvent::server {
namespace {

using testing::DatabaseRows;
using testing::TTempDir;

AttendanceRecord Record(const char* readTime, const char* number) {
    return std::get<AttendanceRecord>(ParseRecordLine(std::string("L ") + readTime + " " + number));
}

std::vector<std::string> Listed(const SqliteRecordStore& store) {
    std::vector<std::string> lines;
    store.ForEach([&](const AttendanceRecord& record) {
        lines.push_back(record.readTime + " " + record.number + " " + record.readAt);
    });
    return lines;
}

TEST(SqliteRecordStoreTest, KeepsRecordsAcrossReopeningInTheOrderTheyCame) {
    TTempDir dir;
    const std::string path = dir.File("records.sqlite");
    {
        SqliteRecordStore store(path);
        store.Add(Record("07/12/2026-23:16", "012aff007b"));
        store.Add(Record("01/01/2020-08:00", "0000ffff"));
        store.Add(Record("07/12/2026-23:16", "012aff007b")); // same card, same minute: kept twice
    }
    SqliteRecordStore reopened(path, SqliteRecordStore::Access::kReadOnly);
    EXPECT_EQ(Listed(reopened), (std::vector<std::string>{
                                    "07/12/2026-23:16 012aff007b 2026-12-07 23:16",
                                    "01/01/2020-08:00 0000ffff 2020-01-01 08:00",
                                    "07/12/2026-23:16 012aff007b 2026-12-07 23:16",
                                }));
    EXPECT_EQ(DatabaseRows(path).size(), 3u);
}

TEST(SqliteRecordStoreTest, RefusesAFileThatIsNotADatabaseAndLeavesItAlone) {
    TTempDir dir;
    const std::string path = dir.File("notes.txt");
    const std::string content = "these are someone's notes, not a database\n";
    std::ofstream(path, std::ios::binary) << content;

    try {
        SqliteRecordStore store(path);
        FAIL() << "opened a text file as a database";
    } catch (const StoreError& error) {
        EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
    }
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content);
}

TEST(SqliteRecordStoreTest, ReadOnlyOpenOfAMissingDatabaseFailsWithoutCreatingIt) {
    TTempDir dir;
    const std::string path = dir.File("missing.sqlite");
    EXPECT_THROW(SqliteRecordStore(path, SqliteRecordStore::Access::kReadOnly), StoreError);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(SqliteRecordStoreTest, AddFailsLoudlyWhenTheDatabaseIsReadOnly) {
    TTempDir dir;
    const std::string path = dir.File("records.sqlite");
    { SqliteRecordStore create(path); }
    SqliteRecordStore store(path, SqliteRecordStore::Access::kReadOnly);
    EXPECT_THROW(store.Add(Record("07/12/2026-23:16", "012aff007b")), StoreError);
    EXPECT_TRUE(DatabaseRows(path).empty());
}

} // namespace
} // namespace lorvent::server
