// Lock primitives under the process-wide lock time-out, and the reader/writer lock.
//
// A time-out or a failed wait is never returned to the caller: it ends the process through
// misc::programAbort.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "platform/sync.h"

// Seconds; negative means no limit. Fixed at -1.0: no lock or wait of the plug-in ever times out.
extern float lockTimeoutSeconds;

// Enters the section; returns only with it held.
void timedEnterCriticalSection(platform::CriticalSection* section);
void leaveCriticalSection(platform::CriticalSection* section);
// Waits for the event; returns platform::kWaitSignalled, or aborts on a time-out or failure.
std::uint32_t timedWaitForSingleObject(platform::Event* event, std::uint32_t milliseconds);

// A reader/writer lock. Read locks are recursive per thread; the write lock is recursive and its
// holder may also take read locks; a thread that is the only reader may take the write lock on
// top of its read locks. Readers queue behind a writer. Every unlock matches an earlier lock of
// the same thread. Destroy only when no thread holds or waits for it.
class CReadWriteLock {
  public:
    CReadWriteLock();
    ~CReadWriteLock();
    CReadWriteLock(const CReadWriteLock&) = delete;
    CReadWriteLock& operator=(const CReadWriteLock&) = delete;

    void readLock();
    void readUnlock();
    void writeLock();
    void writeUnlock();

  private:
    platform::CriticalSection state_;  // guards readers_
    platform::CriticalSection gate_;   // held by the writer for as long as it writes
    // Signalled under state_ whenever a reader leaves, so a waiting writer cannot miss it.
    platform::ConditionVariable readerLeft_;
    std::unordered_map<std::uint32_t, std::int32_t> readers_;
};

// Scoped guards; a guard on a null lock does nothing.
class CWriteLockGuard {
  public:
    explicit CWriteLockGuard(CReadWriteLock* lock) : lock_(lock) {
        if (lock_)
            lock_->writeLock();
    }
    ~CWriteLockGuard() {
        if (lock_)
            lock_->writeUnlock();
    }
    CWriteLockGuard(const CWriteLockGuard&) = delete;
    CWriteLockGuard& operator=(const CWriteLockGuard&) = delete;

  private:
    CReadWriteLock* lock_;
};

class CReadLockGuard {
  public:
    explicit CReadLockGuard(CReadWriteLock* lock) : lock_(lock) {
        if (lock_)
            lock_->readLock();
    }
    ~CReadLockGuard() {
        if (lock_)
            lock_->readUnlock();
    }
    CReadLockGuard(const CReadLockGuard&) = delete;
    CReadLockGuard& operator=(const CReadLockGuard&) = delete;

  private:
    CReadWriteLock* lock_;
};
