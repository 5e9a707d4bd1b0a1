#include "server/store_worker.h"

#include <algorithm>
#include <vector>

namespace lorvent::server {

StoreWorker::StoreWorker(RecordStore& store, LineSink& echo, LineSink& log,
                         StoreWorkerSettings settings)
    : store_(store), echo_(echo), log_(log), settings_(settings), thread_([this] { Run(); }) {}

StoreWorker::~StoreWorker() {
    Stop();
}

void StoreWorker::Submit(StoredRecord record, Done done) {
    StoreOutcome refusal;
    {
        const std::lock_guard lock(mutex_);
        if (!stopping_ && queue_.size() < settings_.maxQueued) {
            queue_.push_back({std::move(record), std::move(done), Clock::now()});
            wake_.notify_one();
            return;
        }
        refusal = stopping_ ? StoreOutcome::kStopping : StoreOutcome::kUnavailable;
    }
    done(refusal);
}

void StoreWorker::Stop() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void StoreWorker::Run() {
    for (;;) {
        std::deque<Pending> batch = TakeBatch();
        if (batch.empty())
            return;
        Commit(batch);
    }
}

// Everything that waits, up to a batch; empty once stopping.
std::deque<StoreWorker::Pending> StoreWorker::TakeBatch() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) {
        std::deque<Pending> left = std::move(queue_);
        queue_.clear();
        lock.unlock();
        for (Pending& pending : left)
            pending.done(StoreOutcome::kStopping);
        return {};
    }
    const std::size_t count = std::min(queue_.size(), settings_.maxBatch);
    std::deque<Pending> batch(std::make_move_iterator(queue_.begin()),
                              std::make_move_iterator(queue_.begin() + count));
    queue_.erase(queue_.begin(), queue_.begin() + count);
    return batch;
}

void StoreWorker::Commit(std::deque<Pending>& batch) {
    const auto now = Clock::now();
    const auto stale = std::partition(batch.begin(), batch.end(), [&](const Pending& pending) {
        return now - pending.queuedAt < settings_.maxQueueWait;
    });
    for (auto it = stale; it != batch.end(); ++it)
        it->done(StoreOutcome::kTooLate);
    batch.erase(stale, batch.end());
    if (batch.empty())
        return;
    if (down_ && now < retryAt_) {
        refusedWhileDown_ += batch.size();
        for (Pending& pending : batch)
            pending.done(StoreOutcome::kUnavailable);
        return;
    }

    std::vector<StoredRecord> records;
    records.reserve(batch.size());
    for (const Pending& pending : batch)
        records.push_back(pending.record);
    AddedRecords added;
    try {
        added = store_.Add(records);
    } catch (const StoreError& error) {
        NoteFailure(error, batch.size());
        for (Pending& pending : batch)
            pending.done(StoreOutcome::kFailed);
        return;
    }
    if (down_)
        NoteRecovery();
    std::size_t alreadyHeld = 0;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        Pending& pending = batch[i];
        if (added[i]) {
            echo_.Write(pending.record.record.readTime + ' ' + pending.record.record.number);
            pending.done(StoreOutcome::kStored);
        } else {
            ++alreadyHeld;
            pending.done(StoreOutcome::kAlreadyHeld);
        }
    }
    if (alreadyHeld > 0)
        NoteAlreadyHeld(alreadyHeld);
}

// One line when the database fails, not one per refused record.
void StoreWorker::NoteFailure(const StoreError& error, std::size_t refused) {
    if (!down_) {
        log_.Write(std::string("kalvinor-server: ") + error.what() +
                   "; records are refused until the database takes them again");
        retryDelay_ = settings_.retryFirst;
    } else {
        retryDelay_ = std::min(retryDelay_ * 2, settings_.retryMax);
    }
    down_ = true;
    refusedWhileDown_ += refused;
    retryAt_ = Clock::now() + retryDelay_;
}

// One line a commit: a terminal whose "OK" was lost sends the record again.
void StoreWorker::NoteAlreadyHeld(std::size_t count) {
    log_.Write("kalvinor-server: " + std::to_string(count) +
               (count == 1 ? " record was" : " records were") +
               " held already; confirmed, not stored again");
}

void StoreWorker::NoteRecovery() {
    log_.Write("kalvinor-server: the database takes records again (" +
               std::to_string(refusedWhileDown_) + " refused meanwhile)");
    down_ = false;
    refusedWhileDown_ = 0;
}

} // namespace lorvent::server
