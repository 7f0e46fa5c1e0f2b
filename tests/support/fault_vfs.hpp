// A disk that fails on request, for tests of the journal: a thin SQLite VFS
// over the default one, in the manner of SQLite's own I/O-error and crash
// tests. Installed as the default VFS, so the code under test opens its
// databases as it always does.
//
// - Failing: the Nth write or sync from now fails with an I/O error, once,
//   or from then on until Heal().
// - Power loss: every write since a file's last sync is remembered with
//   what it overwrote. PowerCut() puts that back, as a disk that loses its
//   cache would, and leaves the disk dead (every later write, sync or
//   delete is dropped) until Heal(): the connections of the process that
//   "lost power" can then be closed without touching the files. The shared
//   memory index (-shm) is not durable, and is removed by PowerCut().
// - Slowness and counting: syncs can be made to take a while on the
//   wall clock (for benchmarks), and are counted.
//
// Only main-database and WAL files are tracked; temporary files pass
// through. Safe to use from several threads.
#pragma once

#include <cstdint>
#include <string>

namespace tarvenix::testing {

class FaultVfs {
 public:
  // Registers the VFS as the default; the previous default stays below it.
  // One at a time.
  FaultVfs();
  ~FaultVfs();
  FaultVfs(const FaultVfs&) = delete;
  FaultVfs& operator=(const FaultVfs&) = delete;

  enum class Op { kWrite, kSync };
  // The `nth` (1-based) operation of `op` from now fails; with `sticky`
  // every later one of either kind fails too, until Heal().
  void FailAt(Op op, std::uint64_t nth, bool sticky = false);
  // Restores every unsynced write's old bytes and sizes and removes -shm
  // files; the disk stays dead until Heal().
  void PowerCut();
  // Ends failures and a power cut.
  void Heal();
  // Each sync sleeps this long first.
  void SetSyncDelayUs(std::uint64_t us);

  std::uint64_t Writes() const;
  std::uint64_t Syncs() const;
  // Operations failed on purpose so far.
  std::uint64_t Failures() const;
  // Whether the armed failure has fired yet (false when none is armed).
  bool Fired() const;
};

}  // namespace tarvenix::testing
