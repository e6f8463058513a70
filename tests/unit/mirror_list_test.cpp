#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>

#include "platform/file.h"
#include "queue/mirror_list.h"

namespace {

std::vector<std::string> readAll(const std::string& content) {
  char t[] = "/tmp/tarnwick-fml-XXXXXX";
  int fd = ::mkstemp(t);
  ::write(fd, content.data(), content.size());
  ::close(fd);
  CFile f;
  f.Open(t, CFile::Mode::Read);
  std::vector<std::string> lines;
  std::int64_t len = f.GetLength();
  for (int guard = 0; f.GetPosition() < len && guard < 100; ++guard) lines.push_back(readListLine(f));
  ::unlink(t);
  return lines;
}

TEST(MirrorList, LinesAreTrimmedAndLongOnesSplit) {
  EXPECT_EQ(readAll("FML,1.0,x\r\n a , b \n last"), (std::vector<std::string>{"FML,1.0,x", "a , b", "last"}));
  std::string longLine(300, 'u');
  auto lines = readAll(longLine + "\nnext\n");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], std::string(255, 'u'));
  EXPECT_EQ(lines[1], std::string(44, 'u'));  // the byte after the first 255 is skipped
  EXPECT_EQ(lines[2], "next");
  // A zero byte does not stop the reader for ever.
  EXPECT_LE(readAll(std::string("ab\0cd\n", 6)).size(), 3u);
}

TEST(MirrorList, SiteUrlIsAfterTheThirdComma) {
  EXPECT_EQ(siteUrlOf("Site,Place,Fast,http://h/a,b"), "http://h/a,b");
  EXPECT_EQ(siteUrlOf("http://h/a"), "http://h/a");
  EXPECT_EQ(siteUrlOf("a,b,http://h/x"), "a,b,http://h/x");
  EXPECT_EQ(siteUrlOf(""), "");
}

}  // namespace
