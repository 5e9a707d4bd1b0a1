#pragma once

#include <mutex>

namespace lorvent {

// A re-entrant lock: the thread that holds it may take it again and it becomes
// free after as many releases as acquisitions. The engine relies on this when
// the reopen path calls back into the open and close logic under its lock.
class TCriticalSection {
public:
    void Acquire() { mutex_.lock(); }
    void Release() { mutex_.unlock(); }

    // BasicLockable, so the standard guards and condition_variable_any work too.
    void lock() { Acquire(); }
    void unlock() { Release(); }
    bool try_lock() { return mutex_.try_lock(); }

private:
    std::recursive_mutex mutex_;
};

// Holds a TCriticalSection for the guard's lifetime, also while an exception passes.
class LockCS {
public:
    explicit LockCS(TCriticalSection& section) : section_(section) { section_.Acquire(); }
    ~LockCS() { section_.Release(); }
    LockCS(const LockCS&) = delete;
    LockCS& operator=(const LockCS&) = delete;

private:
    TCriticalSection& section_;
};

} // namespace lorvent
