#pragma once

#include "server/line_sink.h"
#include "server/record_store.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace lorvent::server {

// What became of a record handed to the store worker.
enum class StoreOutcome {
    kStored,      // committed
    kAlreadyHeld, // the store held it already and it was not stored again
    kFailed,      // the database refused it or went away during the commit
    kUnavailable, // the database is down; not tried again yet
    kTooLate,     // it waited so long that its terminal has given up on the reply
    kStopping,    // the server stops
};

struct StoreWorkerSettings {
    // The most records one transaction takes.
    std::size_t maxBatch = 1000;
    // A terminal waits about a second for its reply; a record that has
    // waited this long is refused rather than committed, since its terminal
    // will have put it in its data file by the time the "OK" came.
    std::chrono::milliseconds maxQueueWait{750};
    // After a failed commit the database is left alone this long, the
    // records meanwhile refused at once; it doubles up to retryMax while the
    // failures go on.
    std::chrono::milliseconds retryFirst{200};
    std::chrono::milliseconds retryMax{2000};
    // Records beyond this many waiting are refused at once.
    std::size_t maxQueued = 20000;
};

// Commits records on a thread of its own: what arrives while one commit runs
// waits and goes into the next, all in one transaction (group commit), so
// that one slow commit costs every terminal one wait, not one each. Each
// record's callback runs on the worker's thread once its fate is known, after
// the commit that holds it. kStored and kAlreadyHeld both earn "OK": either
// way the record is in the store.
class StoreWorker {
public:
    using Done = std::function<void(StoreOutcome)>;
    using Clock = std::chrono::steady_clock;

    // Every stored record is echoed to `echo` as "dd/mm/yyyy-hh:nn number";
    // failures of the store, and how many records of a commit it held
    // already, go to `log`.
    StoreWorker(RecordStore& store, LineSink& echo, LineSink& log,
                StoreWorkerSettings settings = {});
    ~StoreWorker();
    StoreWorker(const StoreWorker&) = delete;
    StoreWorker& operator=(const StoreWorker&) = delete;

    // From any thread.
    void Submit(StoredRecord record, Done done);
    // Finishes the commit under way; what still waits gets kStopping.
    void Stop();

private:
    struct Pending {
        StoredRecord record;
        Done done;
        Clock::time_point queuedAt;
    };

    void Run();
    std::deque<Pending> TakeBatch();
    void Commit(std::deque<Pending>& batch);
    void NoteFailure(const StoreError& error, std::size_t refused);
    void NoteRecovery();
    void NoteAlreadyHeld(std::size_t count);

    RecordStore& store_;
    LineSink& echo_;
    LineSink& log_;
    StoreWorkerSettings settings_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Pending> queue_;
    bool stopping_ = false;

    // Worker thread only.
    bool down_ = false;
    Clock::time_point retryAt_;
    std::chrono::milliseconds retryDelay_{0};
    std::size_t refusedWhileDown_ = 0;

    std::thread thread_;
};

} // namespace lorvent::server
