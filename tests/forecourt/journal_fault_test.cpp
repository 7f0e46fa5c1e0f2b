// The journal on a disk that fails: writes and syncs that fail, and power
// cuts that lose whatever was not synced, in the manner of SQLite's own
// I/O-error and crash tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "forecourt/database.hpp"
#include "support/fault_vfs.hpp"

namespace tarvenix::forecourt {
namespace {

using testing::FaultVfs;

class JournalFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("journal-fault-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path() const { return (dir_ / "journal.db").string(); }

  FaultVfs vfs_;
  std::filesystem::path dir_;
};

// The shim itself: after a cut at any write or sync of a run of commits,
// the database holds exactly the commits that returned, and is sound.
TEST_F(JournalFaultTest, APowerCutKeepsExactlyTheCommittedRows) {
  constexpr int kRows = 6;
  for (std::uint64_t cutAt = 1; cutAt <= 40; ++cutAt) {
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    int committed = 0;
    {
      Database db(Path());
      db.QueryText("PRAGMA journal_mode=WAL");
      db.Execute("PRAGMA synchronous=FULL; CREATE TABLE t(v INTEGER)");
      vfs_.FailAt(FaultVfs::Op::kSync, cutAt, /*sticky=*/true);
      for (int i = 1; i <= kRows; ++i) {
        try {
          db.Execute("INSERT INTO t VALUES(" + std::to_string(i) + ")");
          committed = i;
        } catch (const DatabaseError&) {
          break;
        }
      }
      vfs_.PowerCut();
    }
    vfs_.Heal();
    Database db(Path());
    EXPECT_EQ(db.QueryText("PRAGMA integrity_check"), "ok") << "cut at sync " << cutAt;
    EXPECT_EQ(db.QueryInt("SELECT count(*) FROM t"), committed) << "cut at sync " << cutAt;
    EXPECT_EQ(db.QueryInt("SELECT coalesce(max(v), 0) FROM t"), committed);
  }
}

}  // namespace
}  // namespace tarvenix::forecourt
