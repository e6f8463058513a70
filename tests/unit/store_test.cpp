// The settings store shared by many processes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/app.h"

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

}  // namespace
