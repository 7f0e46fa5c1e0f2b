// The two locks of a line.
//
// LineLock: the re-entrant lock of one line. PollState holds it for its
// exchange; ReadTotals and ReadParam hold it around their command and their
// follow-up polls, whose PollState enters it again on the same thread.
//
// TableLock: guards the line's table entries (live values, counters, state
// codes, price, doses, the line parameter). Every operation takes it only
// around reading or writing entries, never across an exchange, so an
// unlocked operation such as WriteParam is never held back by a ReadParam
// that holds the LineLock of its line. Nothing is taken while it is held.
//
// On Windows LineLock is a critical section, set up with the driver object,
// and TableLock a slim reader/writer lock, which needs no set-up, so that
// entering either never allocates (the runtime's mutexes there are created
// lazily, on the heap, at their first use). Elsewhere the standard mutexes
// already allocate nothing.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <mutex>
#endif

namespace tarvenix {

#if defined(_WIN32)

class LineLock {
 public:
  LineLock() { InitializeCriticalSection(&section_); }
  ~LineLock() { DeleteCriticalSection(&section_); }
  LineLock(const LineLock&) = delete;
  LineLock& operator=(const LineLock&) = delete;

  void lock() { EnterCriticalSection(&section_); }
  void unlock() { LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};

class TableLock {
 public:
  TableLock() = default;
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;

  void lock() { AcquireSRWLockExclusive(&lock_); }
  void unlock() { ReleaseSRWLockExclusive(&lock_); }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};

#else

using LineLock = std::recursive_mutex;
using TableLock = std::mutex;

#endif

}  // namespace tarvenix
