// LineLock: the re-entrant lock of one line. PollState holds it for its
// exchange; ReadTotals and ReadParam hold it around their command and their
// follow-up polls, whose PollState enters it again on the same thread.
//
// On Windows it is a critical section, set up with the driver object, so
// that entering it never allocates (the runtime's mutexes there are created
// lazily, on the heap, at their first use). Elsewhere the standard
// re-entrant mutex already allocates nothing.
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

#else

using LineLock = std::recursive_mutex;

#endif

}  // namespace tarvenix
