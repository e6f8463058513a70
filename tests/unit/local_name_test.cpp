// The one rule for a download's file name: what the file system takes, and never a name a
// file or a queued download holds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/app.h"
#include "platform/file.h"
#include "queue/local_name.h"
#include "queue/queue_entry.h"
#include "transfer/download.h"

namespace {

TEST(FileNames, FittedToTheFileSystemKeepingTheExtensionAndWholeCharacters) {
  const std::string e = "\xC3\xA9";  // é: two bytes
  auto times = [](const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
  };
  struct Case {
    std::string name;
    int n;  // NumberedName's n
    std::string want;
  };
  const Case cases[] = {
      {"report.pdf", 0, "report.pdf"},
      {"report.pdf", 2, "report.pdf.2"},
      {times("a", 255), 0, times("a", 255)},
      {times("a", 5000) + ".pdf", 0, times("a", 251) + ".pdf"},
      {times("a", 5000) + ".pdf", 12, times("a", 248) + ".pdf.12"},
      // 251 bytes would end inside a character: one byte less.
      {times(e, 2500) + ".pdf", 0, times(e, 125) + ".pdf"},
      {times(e, 2500), 0, times(e, 127)},
      // A long "extension" is no extension; a leading dot is none either.
      {"x." + times("b", 300), 0, "x." + times("b", 253)},
      {"." + times("c", 300), 0, "." + times("c", 254)},
  };
  for (const auto& c : cases) {
    std::string got = NumberedName(c.name, c.n);
    EXPECT_EQ(got, c.want) << c.name.substr(0, 20) << " " << c.n;
    EXPECT_LE(got.size(), static_cast<std::size_t>(NAME_MAX));
  }
}

TEST(FileNames, NoneAQueuedDownloadOrAFileHolds) {
  struct App : CWinApp {
    bool InitInstance() override { return true; }
  };
  char t[] = "/tmp/tarnwick-names-XXXXXX";
  const std::string dir = ::mkdtemp(t);
  App app;
  app.SetProfilePath(dir + "/settings.db");
  std::filesystem::create_directory(dir + "/sub");
  auto put = [&](const std::string& name, const std::string& text) { std::ofstream(dir + "/" + name) << text; };
  // A batch cut short: its entries hold names whose files are not made yet (one spelled otherwise).
  for (auto [slot, local] : {std::pair{"00", dir + "/same.bin"}, std::pair{"01", dir + "/sub/../other.bin"}}) {
    QueueEntry e;
    e.slot = slot;
    e.url = "http://h/" + std::string(slot);
    e.localPath = local;
    e.newFile = 1;
    e.save();
  }
  put("there.bin", "keep me");
  put("slow20.bin", "");  // the browser's own empty file for its download
  put("full.bin", "x");   // a file of the same name with bytes: not the browser's to drop
  struct Case {
    std::string name, browsers, want;
  };
  const Case cases[] = {
      {"same.bin", "", "same.bin.1"},
      {"other.bin", "", "other.bin.1"},
      {"there.bin", "", "there.bin.1"},
      {"new.bin", "", "new.bin"},
      {"slow20.bin", "", "slow20.bin.1"},
      {"slow20.bin", dir + "/sub/../slow20.bin", "slow20.bin"},
      {"full.bin", dir + "/full.bin", "full.bin.1"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(freeLocalPath(dir, c.name, heldByQueue(), c.browsers), dir + "/" + c.want) << c.name;

  std::string why;
  // Its own name is the entry's to make; a file standing there sends it on to the next free one.
  EXPECT_EQ(makeLocalFile(dir + "/same.bin", "00", why), dir + "/same.bin");
  EXPECT_EQ(makeLocalFile(dir + "/there.bin", "05", why), dir + "/there.bin.1");
  std::ifstream kept(dir + "/there.bin");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep me");
  // The server's name (-J) is given by the same rule.
  EXPECT_EQ(RenameNewFile(dir + "/there.bin.1", "other.bin", why, heldByQueue("05")), dir + "/other.bin.1");
  std::filesystem::remove_all(dir);
}

}  // namespace
