#include "support/fault_vfs.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tarvenix::testing {
namespace {

// What one write or truncation overwrote, to put back at a power cut.
struct Undo {
  sqlite3_int64 offset = 0;
  std::vector<unsigned char> old;  // the bytes that were there, up to the old end
  sqlite3_int64 sizeBefore = 0;
};

struct State {
  std::mutex mutex;
  sqlite3_vfs* root = nullptr;
  bool armed = false;
  FaultVfs::Op op = FaultVfs::Op::kWrite;
  std::uint64_t countdown = 0;
  bool sticky = false;
  bool failing = false;  // a sticky failure has fired
  bool fired = false;
  bool dead = false;  // after a power cut
  std::uint64_t syncDelayUs = 0;
  std::uint64_t writes = 0;
  std::uint64_t syncs = 0;
  std::uint64_t failures = 0;
  std::map<std::string, std::vector<Undo>> unsynced;  // by path
  std::set<std::string> databases;                    // main files opened
};

State& TheState() {
  static State state;
  return state;
}

struct FaultFile {
  sqlite3_file base;
  sqlite3_file* real;
  bool tracked;
  char path[512];
};

sqlite3_file* Real(sqlite3_file* file) {
  return reinterpret_cast<FaultFile*>(file)->real;
}

// Whether this operation fails; counts it. Called with the lock held.
bool ShouldFail(State& s, FaultVfs::Op op) {
  if (s.failing) {
    ++s.failures;
    return true;
  }
  if (s.armed && s.op == op && --s.countdown == 0) {
    s.armed = false;
    s.fired = true;
    s.failing = s.sticky;
    ++s.failures;
    return true;
  }
  return false;
}

int Close(sqlite3_file* file) {
  sqlite3_file* real = Real(file);
  const int rc = real->pMethods != nullptr ? real->pMethods->xClose(real) : SQLITE_OK;
  file->pMethods = nullptr;
  return rc;
}

int Read(sqlite3_file* file, void* out, int amount, sqlite3_int64 offset) {
  sqlite3_file* real = Real(file);
  return real->pMethods->xRead(real, out, amount, offset);
}

// The bytes [offset, offset + amount) as they are now, cut at the end.
Undo Remember(sqlite3_file* real, int amount, sqlite3_int64 offset) {
  Undo undo{.offset = offset};
  real->pMethods->xFileSize(real, &undo.sizeBefore);
  const sqlite3_int64 end = std::min(undo.sizeBefore, offset + amount);
  if (end > offset) {
    undo.old.resize(static_cast<std::size_t>(end - offset));
    real->pMethods->xRead(real, undo.old.data(), static_cast<int>(undo.old.size()), offset);
  }
  return undo;
}

int Write(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset) {
  auto* f = reinterpret_cast<FaultFile*>(file);
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  if (f->tracked) {
    if (s.dead) {
      return SQLITE_OK;  // into a cache that is already lost
    }
    ++s.writes;
    if (ShouldFail(s, FaultVfs::Op::kWrite)) {
      return SQLITE_IOERR_WRITE;
    }
    s.unsynced[f->path].push_back(Remember(f->real, amount, offset));
  }
  return f->real->pMethods->xWrite(f->real, data, amount, offset);
}

int Truncate(sqlite3_file* file, sqlite3_int64 size) {
  auto* f = reinterpret_cast<FaultFile*>(file);
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  if (f->tracked) {
    if (s.dead) {
      return SQLITE_OK;
    }
    ++s.writes;
    if (ShouldFail(s, FaultVfs::Op::kWrite)) {
      return SQLITE_IOERR_TRUNCATE;
    }
    sqlite3_int64 current = 0;
    f->real->pMethods->xFileSize(f->real, &current);
    if (current > size) {
      s.unsynced[f->path].push_back(Remember(f->real, static_cast<int>(current - size), size));
    }
  }
  return f->real->pMethods->xTruncate(f->real, size);
}

int Sync(sqlite3_file* file, int flags) {
  auto* f = reinterpret_cast<FaultFile*>(file);
  State& s = TheState();
  std::uint64_t delayUs = 0;
  {
    std::lock_guard lock(s.mutex);
    if (f->tracked) {
      if (s.dead) {
        return SQLITE_OK;
      }
      ++s.syncs;
      if (ShouldFail(s, FaultVfs::Op::kSync)) {
        return SQLITE_IOERR_FSYNC;
      }
    }
    delayUs = f->tracked ? s.syncDelayUs : 0;
  }
  if (delayUs > 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
  }
  const int rc = f->real->pMethods->xSync(f->real, flags);
  if (rc == SQLITE_OK && f->tracked) {
    std::lock_guard lock(s.mutex);
    s.unsynced.erase(f->path);
  }
  return rc;
}

int FileSize(sqlite3_file* file, sqlite3_int64* size) {
  sqlite3_file* real = Real(file);
  return real->pMethods->xFileSize(real, size);
}
int Lock(sqlite3_file* file, int level) {
  sqlite3_file* real = Real(file);
  return real->pMethods->xLock(real, level);
}
int Unlock(sqlite3_file* file, int level) {
  sqlite3_file* real = Real(file);
  return real->pMethods->xUnlock(real, level);
}
int CheckReservedLock(sqlite3_file* file, int* out) {
  sqlite3_file* real = Real(file);
  return real->pMethods->xCheckReservedLock(real, out);
}
int FileControl(sqlite3_file* file, int op, void* arg) {
  sqlite3_file* real = Real(file);
  return real->pMethods->xFileControl(real, op, arg);
}
int SectorSize(sqlite3_file* file) {
  sqlite3_file* real = Real(file);
  return real->pMethods->xSectorSize(real);
}
int DeviceCharacteristics(sqlite3_file* file) {
  sqlite3_file* real = Real(file);
  return real->pMethods->xDeviceCharacteristics(real);
}
int ShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** out) {
  sqlite3_file* real = Real(file);
  return real->pMethods->xShmMap(real, region, size, extend, out);
}
int ShmLock(sqlite3_file* file, int offset, int n, int flags) {
  sqlite3_file* real = Real(file);
  return real->pMethods->xShmLock(real, offset, n, flags);
}
void ShmBarrier(sqlite3_file* file) {
  sqlite3_file* real = Real(file);
  real->pMethods->xShmBarrier(real);
}
int ShmUnmap(sqlite3_file* file, int deleteFlag) {
  sqlite3_file* real = Real(file);
  return real->pMethods->xShmUnmap(real, deleteFlag);
}

// Version 2: shared memory for WAL, but no memory-mapped reads, so that
// every read sees what the writes left.
const sqlite3_io_methods kMethods = {
    2,
    Close,
    Read,
    Write,
    Truncate,
    Sync,
    FileSize,
    Lock,
    Unlock,
    CheckReservedLock,
    FileControl,
    SectorSize,
    DeviceCharacteristics,
    ShmMap,
    ShmLock,
    ShmBarrier,
    ShmUnmap,
    nullptr,
    nullptr,
};

int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags) {
  auto* f = reinterpret_cast<FaultFile*>(file);
  sqlite3_vfs* root = static_cast<sqlite3_vfs*>(vfs->pAppData);
  f->real = reinterpret_cast<sqlite3_file*>(f + 1);
  f->tracked = name != nullptr && (flags & (SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_WAL)) != 0;
  f->path[0] = '\0';
  if (f->tracked) {
    std::strncpy(f->path, name, sizeof f->path - 1);
    f->path[sizeof f->path - 1] = '\0';
  }
  if (name != nullptr && (flags & SQLITE_OPEN_MAIN_DB) != 0) {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    s.databases.insert(name);
  }
  const int rc = root->xOpen(root, name, f->real, flags, outFlags);
  file->pMethods = f->real->pMethods != nullptr ? &kMethods : nullptr;
  return rc;
}

int Delete(sqlite3_vfs* vfs, const char* name, int syncDir) {
  State& s = TheState();
  {
    std::lock_guard lock(s.mutex);
    if (s.dead) {
      return SQLITE_OK;
    }
    s.unsynced.erase(name);
  }
  sqlite3_vfs* root = static_cast<sqlite3_vfs*>(vfs->pAppData);
  return root->xDelete(root, name, syncDir);
}

int Access(sqlite3_vfs* vfs, const char* name, int flags, int* out) {
  sqlite3_vfs* root = static_cast<sqlite3_vfs*>(vfs->pAppData);
  return root->xAccess(root, name, flags, out);
}

int FullPathname(sqlite3_vfs* vfs, const char* name, int size, char* out) {
  sqlite3_vfs* root = static_cast<sqlite3_vfs*>(vfs->pAppData);
  return root->xFullPathname(root, name, size, out);
}

sqlite3_vfs& TheVfs() {
  static sqlite3_vfs vfs;
  return vfs;
}

}  // namespace

FaultVfs::FaultVfs() {
  State& s = TheState();
  s.root = sqlite3_vfs_find(nullptr);
  if (s.root == nullptr) {
    throw std::runtime_error("no default SQLite VFS");
  }
  sqlite3_vfs& vfs = TheVfs();
  vfs = *s.root;  // the calls that touch no file go straight through
  vfs.iVersion = std::min(s.root->iVersion, 3);
  vfs.szOsFile = static_cast<int>(sizeof(FaultFile)) + s.root->szOsFile;
  vfs.pNext = nullptr;
  vfs.zName = "tarvenix-fault";
  vfs.pAppData = s.root;
  vfs.xOpen = Open;
  vfs.xDelete = Delete;
  vfs.xAccess = Access;
  vfs.xFullPathname = FullPathname;
  sqlite3_vfs_register(&vfs, 1);
  Heal();
}

FaultVfs::~FaultVfs() {
  State& s = TheState();
  sqlite3_vfs_unregister(&TheVfs());
  sqlite3_vfs_register(s.root, 1);
}

void FaultVfs::FailAt(Op op, std::uint64_t nth, bool sticky) {
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  s.armed = nth > 0;
  s.op = op;
  s.countdown = nth;
  s.sticky = sticky;
  s.fired = false;
}

void FaultVfs::PowerCut() {
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  s.dead = true;
  for (auto& [path, undos] : s.unsynced) {
    const int fd = ::open(path.c_str(), O_RDWR);
    if (fd < 0) {
      continue;
    }
    for (auto undo = undos.rbegin(); undo != undos.rend(); ++undo) {
      if (!undo->old.empty() &&
          ::pwrite(fd, undo->old.data(), undo->old.size(), undo->offset) < 0) {
        break;
      }
      if (::ftruncate(fd, undo->sizeBefore) != 0) {
        break;
      }
    }
    ::close(fd);
  }
  s.unsynced.clear();
  // The index in shared memory does not survive; it is rebuilt from the
  // log when the database is next opened.
  for (const std::string& path : s.databases) {
    ::unlink((path + "-shm").c_str());
  }
}

void FaultVfs::Heal() {
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  s.armed = false;
  s.failing = false;
  s.fired = false;
  s.dead = false;
}

void FaultVfs::SetSyncDelayUs(std::uint64_t us) {
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  s.syncDelayUs = us;
}

std::uint64_t FaultVfs::Writes() const {
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  return s.writes;
}

std::uint64_t FaultVfs::Syncs() const {
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  return s.syncs;
}

std::uint64_t FaultVfs::Failures() const {
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  return s.failures;
}

bool FaultVfs::Fired() const {
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  return s.fired;
}

}  // namespace tarvenix::testing
