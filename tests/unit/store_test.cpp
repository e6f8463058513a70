// The settings store shared by many processes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/app.h"
#include "queue/queue_entry.h"

namespace {

struct TempDir {
  std::string path;
  TempDir() {
    char t[] = "/tmp/tarnwick-store-XXXXXX";
    path = ::mkdtemp(t);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
};

TEST(ProfileStore, ValuesDefaultsAndDeletion) {
  TempDir d;
  ProfileStore s(d.path + "/a/b/settings.db");
  EXPECT_EQ(s.getInt("Config", "Rollback", 4), 4);
  EXPECT_EQ(s.getString("Config", "EMail", "tarnwick@"), "tarnwick@");
  s.writeInt("FileQueue", "Start05", 5LL << 32);
  s.writeString("FileQueue", "Get05", "http://h/x");
  EXPECT_EQ(s.getInt("FileQueue", "Start05", 0), 5LL << 32);
  EXPECT_EQ(s.getString("FileQueue", "Get05", ""), "http://h/x");
  s.remove("FileQueue", "Get05");
  s.remove("FileQueue", "Absent");
  EXPECT_EQ(s.getString("FileQueue", "Get05", "dflt"), "dflt");
  // Another connection sees the same values.
  ProfileStore other(d.path + "/a/b/settings.db");
  EXPECT_EQ(other.getInt("FileQueue", "Start05", 0), 5LL << 32);
}

TEST(ProfileStore, ManyProcessesWritingAtOnceLoseNothing) {
  TempDir d;
  const std::string db = d.path + "/settings.db";
  { ProfileStore init(db); }
  constexpr int kProcs = 6, kValues = 150;
  std::vector<pid_t> kids;
  for (int p = 0; p < kProcs; ++p) {
    pid_t pid = ::fork();
    if (pid == 0) {
      ProfileStore s(db);
      bool ok = true;
      for (int i = 0; i < kValues; ++i) {
        ok = s.writeInt("P" + std::to_string(p), "V" + std::to_string(i), i) && ok;
        ok = s.writeString("Shared", "Last", std::to_string(p)) && ok;
        bool tx = s.transaction([&] { s.writeInt("Shared", "Counter", s.getInt("Shared", "Counter", 0) + 1); });
        ok = ok && tx;
      }
      ::_exit(ok ? 0 : 1);
    }
    kids.push_back(pid);
  }
  for (pid_t k : kids) {
    int status = 0;
    ::waitpid(k, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer saw an error";
  }
  ProfileStore s(db);
  for (int p = 0; p < kProcs; ++p)
    for (int i = 0; i < kValues; ++i) ASSERT_EQ(s.getInt("P" + std::to_string(p), "V" + std::to_string(i), -1), i);
  // Read-modify-write inside a transaction is atomic across processes.
  EXPECT_EQ(s.getInt("Shared", "Counter", 0), kProcs * kValues);
}

// Takes write permission from a file or folder for as long as it lives. Root writes despite
// the mode bits, so for root the path is made immutable instead.
struct Unwritable {
  std::string path;
  bool ok;
  explicit Unwritable(std::string p) : path(std::move(p)) {
    ok = ::geteuid() == 0 ? std::system(("chattr +i '" + path + "' 2>/dev/null").c_str()) == 0
                          : ::chmod(path.c_str(), 0555) == 0;
  }
  ~Unwritable() {
    if (::geteuid() == 0)
      std::system(("chattr -i '" + path + "' 2>/dev/null").c_str());
    else
      ::chmod(path.c_str(), 0755);
  }
};

std::string contents(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// Without a usable store there is no queue: a damaged one is replaced (once, keeping the old
// file), an unwritable one is used for reading and said to be so.
TEST(ProfileStore, DamagedStoresAreMovedAsideUnwritableOnesSaySo) {
  TempDir d;
  const std::string db = d.path + "/settings.db";
  const std::string garbage = "not a database, but long enough to look like one's header\n";
  std::ofstream(db, std::ios::binary) << garbage;
  {
    ProfileStore s(db);
    ASSERT_EQ(s.movedAsideTo().rfind(db + ".damaged-", 0), 0u) << s.movedAsideTo();
    EXPECT_EQ(contents(s.movedAsideTo()), garbage);
    EXPECT_FALSE(s.readOnly());
    EXPECT_TRUE(s.writeInt("FileQueue", "Start00", 7));
    EXPECT_EQ(s.getInt("FileQueue", "Start00", 0), 7);
  }
  ProfileStore again(db);
  EXPECT_EQ(again.movedAsideTo(), "");
  EXPECT_EQ(again.getInt("FileQueue", "Start00", 0), 7);

  // Processes starting together on a damaged store: one moves it aside, none moves the new one.
  const std::string raced = d.path + "/race/settings.db";
  std::filesystem::create_directories(d.path + "/race");
  std::ofstream(raced, std::ios::binary) << garbage;
  std::vector<pid_t> kids;
  for (int p = 0; p < 6; ++p) {
    pid_t pid = ::fork();
    if (pid == 0) {
      ProfileStore s(raced);
      bool wrote = s.writeInt("P", std::to_string(p), p);
      ::_exit(!wrote ? 1 : s.movedAsideTo().empty() ? 0 : 10);
    }
    kids.push_back(pid);
  }
  int movers = 0;
  for (pid_t k : kids) {
    int status = 0;
    ::waitpid(k, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 1) << "a process could not write";
    movers += WEXITSTATUS(status) == 10;
  }
  EXPECT_EQ(movers, 1);
  ProfileStore afterRace(raced);
  for (int p = 0; p < 6; ++p) EXPECT_EQ(afterRace.getInt("P", std::to_string(p), -1), p);

  // Something that is no file at all stands at the path.
  const std::string dirDb = d.path + "/dir/settings.db";
  std::filesystem::create_directories(dirDb);
  ProfileStore fromDir(dirDb);
  EXPECT_NE(fromDir.movedAsideTo(), "");
  EXPECT_TRUE(fromDir.writeString("Config", "Proxy", "p:1"));

  // A read-only store: its values are read, nothing is written, nothing is moved.
  const std::string roDb = d.path + "/ro/settings.db";
  { ProfileStore(roDb).writeInt("Config", "Rollback", 9); }
  {
    Unwritable folder(d.path + "/ro"), file(roDb);
    if (!folder.ok || !file.ok) GTEST_SKIP() << "cannot take write permission here";
    ProfileStore ro(roDb);
    EXPECT_TRUE(ro.readOnly());
    EXPECT_EQ(ro.movedAsideTo(), "");
    EXPECT_EQ(ro.getInt("Config", "Rollback", 4), 9);
    EXPECT_FALSE(ro.writeString("Config", "Proxy", "p:1"));
  }
  // A folder where no store can be made: defaults, and said to be unwritable.
  std::filesystem::create_directories(d.path + "/empty");
  Unwritable empty(d.path + "/empty");
  ProfileStore none(d.path + "/empty/settings.db");
  EXPECT_TRUE(none.readOnly());
  EXPECT_EQ(none.movedAsideTo(), "");
  EXPECT_EQ(none.getInt("Config", "Rollback", 4), 4);
}

// A reader in another process sees one save or the other, never a mix.
TEST(QueueEntryRecord, SavedAndLoadedWhole) {
  struct App : CWinApp {
    bool InitInstance() override { return true; }
  };
  TempDir d;
  App app;
  app.SetProfilePath(d.path + "/settings.db");
  const QueueEntry full{"05", "http://a/x", "/tmp/a", 5LL << 32, 10, 20, true, "Mon, 01 Jan 2024", 1, "md5=00ff", true,
                        "8388608-9437184", "\"v1\"", 5LL << 33, "H X-A: 1\n", "report.pdf", 3, true, "b1", {}},
      bare{"05", "ftp://b/y", "", 0, -1, -1, false, "", 0, "", false, "", "", 0, "", "", 0, false, "", {}};
  full.save();
  if (pid_t writer = ::fork(); writer == 0) {
    App child;  // a store connection of its own
    child.SetProfilePath(d.path + "/settings.db");
    for (int i = 0; i < 400; ++i) (i % 2 ? full : bare).save();
    ::_exit(0);
  } else {
    int torn = 0;
    for (int i = 0; i < 400; ++i) {
      QueueEntry seen = QueueEntry::load("05");
      torn += seen != full && seen != bare;
    }
    ::waitpid(writer, nullptr, 0);
    EXPECT_EQ(torn, 0);
  }
}

}  // namespace
