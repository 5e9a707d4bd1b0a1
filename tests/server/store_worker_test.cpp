// The store worker's group commit against a store whose commits the test
// holds, fails and releases.
#include "idle_record_store.h"
#include "server/store_worker.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <sstream>

namespace lorvent::server {
namespace {

using namespace std::chrono_literals;

StoredRecord Record(const char* number) {
    return {
        std::get<AttendanceRecord>(ParseRecordLine(std::string("L 07/12/2026-08:00 ") + number)),
        "10.0.0.7", "2026-12-07T07:00:00.000Z"};
}

// Commits are held at the gate while it is closed; what each commit held and
// what each record's outcome was land in one journal, in order.
class GatedStore : public testing::TIdleRecordStore {
public:
    AddedRecords Add(std::span<const StoredRecord> records) override {
        std::unique_lock lock(mutex_);
        ++commitsStarted_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
        if (failing_) {
            journal_.push_back("failed commit");
            throw StoreError("database went away");
        }
        std::string entry = "commit";
        for (const StoredRecord& stored : records)
            entry += " " + stored.record.number;
        journal_.push_back(entry);
        return AddedRecords(records.size(), true);
    }

    void SetOpen(bool open) {
        const std::lock_guard lock(mutex_);
        open_ = open;
        changed_.notify_all();
    }
    void SetFailing(bool failing) {
        const std::lock_guard lock(mutex_);
        failing_ = failing;
    }
    void AwaitCommitsStarted(int count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return commitsStarted_ >= count; });
    }
    void Note(std::string entry) {
        const std::lock_guard lock(mutex_);
        journal_.push_back(std::move(entry));
        changed_.notify_all();
    }
    std::vector<std::string> AwaitJournal(std::size_t length) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 10s, [&] { return journal_.size() >= length; });
        return journal_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = true;
    bool failing_ = false;
    int commitsStarted_ = 0;
    std::vector<std::string> journal_;
};

const char* Name(StoreOutcome outcome) {
    switch (outcome) {
    case StoreOutcome::kStored:
        return "OK";
    case StoreOutcome::kAlreadyHeld:
        return "OK, held already";
    case StoreOutcome::kFailed:
        return "failed";
    case StoreOutcome::kUnavailable:
        return "unavailable";
    case StoreOutcome::kTooLate:
        return "too late";
    case StoreOutcome::kStopping:
        return "stopping";
    }
    return "?";
}

class StoreWorkerTest : public ::testing::Test {
protected:
    void Submit(const char* number) {
        worker_->Submit(Record(number), [this, number](StoreOutcome outcome) {
            store_.Note(std::string(number) + " " + Name(outcome));
        });
    }

    GatedStore store_;
    std::ostringstream echoed_;
    std::ostringstream logged_;
    StreamLineSink echo_{echoed_};
    StreamLineSink log_{logged_};
    StoreWorkerSettings settings_{.maxBatch = 3, .maxQueueWait = 10s, .retryFirst = 300ms};
    std::unique_ptr<StoreWorker> worker_ =
        std::make_unique<StoreWorker>(store_, echo_, log_, settings_);
};

TEST_F(StoreWorkerTest, WhatArrivesDuringACommitGoesIntoTheNextAndIsConfirmedAfterIt) {
    store_.SetOpen(false);
    Submit("0000000a");
    store_.AwaitCommitsStarted(1);
    for (const char* number : {"0000000b", "0000000c", "0000000d", "0000000e"})
        Submit(number);
    store_.SetOpen(true);
    EXPECT_EQ(store_.AwaitJournal(8),
              (std::vector<std::string>{"commit 0000000a", "0000000a OK",
                                        "commit 0000000b 0000000c 0000000d", // a batch at most
                                        "0000000b OK", "0000000c OK", "0000000d OK",
                                        "commit 0000000e", "0000000e OK"}));
    worker_->Stop();
    EXPECT_EQ(echoed_.str(), "07/12/2026-08:00 0000000a\n07/12/2026-08:00 0000000b\n"
                             "07/12/2026-08:00 0000000c\n07/12/2026-08:00 0000000d\n"
                             "07/12/2026-08:00 0000000e\n");
}

TEST_F(StoreWorkerTest, AFailedCommitRefusesItsRecordsAndTheDatabaseRestsBeforeTheNextTry) {
    store_.SetFailing(true);
    Submit("0000000a");
    ASSERT_EQ(store_.AwaitJournal(2)[1], "0000000a failed");
    Submit("0000000b"); // within the rest: refused without a try
    ASSERT_EQ(store_.AwaitJournal(3)[2], "0000000b unavailable");
    store_.SetFailing(false);
    std::this_thread::sleep_for(settings_.retryFirst + 50ms);
    Submit("0000000c");
    EXPECT_EQ(store_.AwaitJournal(5),
              (std::vector<std::string>{"failed commit", "0000000a failed", "0000000b unavailable",
                                        "commit 0000000c", "0000000c OK"}));
    worker_->Stop();
    EXPECT_EQ(echoed_.str(), "07/12/2026-08:00 0000000c\n") << "only what was stored is echoed";
    const std::string log = logged_.str();
    EXPECT_NE(log.find("database went away"), std::string::npos) << log;
    EXPECT_NE(log.find("takes records again (2 refused meanwhile)"), std::string::npos) << log;
}

TEST_F(StoreWorkerTest, ARecordWhoseTerminalHasStoppedWaitingIsNotCommitted) {
    settings_.maxQueueWait = 100ms;
    worker_ = std::make_unique<StoreWorker>(store_, echo_, log_, settings_);
    store_.SetOpen(false);
    Submit("0000000a");
    store_.AwaitCommitsStarted(1);
    Submit("0000000b");
    std::this_thread::sleep_for(300ms);
    store_.SetOpen(true);
    EXPECT_EQ(store_.AwaitJournal(3),
              (std::vector<std::string>{"commit 0000000a", "0000000a OK", "0000000b too late"}));
}

TEST_F(StoreWorkerTest, StopFinishesTheCommitUnderWayAndRefusesTheRest) {
    store_.SetOpen(false);
    Submit("0000000a");
    store_.AwaitCommitsStarted(1);
    Submit("0000000b");
    auto stopped = std::async(std::launch::async, [this] { worker_->Stop(); });
    std::this_thread::sleep_for(50ms);
    store_.SetOpen(true);
    stopped.get();
    Submit("0000000c"); // after the stop
    EXPECT_EQ(store_.AwaitJournal(4),
              (std::vector<std::string>{"commit 0000000a", "0000000a OK", "0000000b stopping",
                                        "0000000c stopping"}));
}

} // namespace
} // namespace lorvent::server
