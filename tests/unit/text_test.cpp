// The texts and arithmetic users read: progress lines, resume points, socket errors, requests.
#include <gtest/gtest.h>

#include <climits>

#include "platform/term/term_input.h"
#include "platform/text.h"
#include "resources/resources.h"
#include "settings/options.h"
#include "transfer/download.h"
#include "transfer/http_request.h"
#include "session/progress_text.h"
#include "transfer/session_socket.h"

namespace {

// The speed is the job's rate (bytes a second over the last second), in k/sec.
TEST(Progress, ElapsedOrLeftAtTheJobsRate) {
  EXPECT_EQ(timeSpeedLine(51200 / 1024.0, false, 0, 0, 51200, 1), "0:00:01 elapsed  (Average 50.0k/sec)");
  EXPECT_EQ(timeSpeedLine(51200 / 1024.0, false, 1024 * 500, 0, 51200, 1), "0:00:09 left  (Average 50.0k/sec)");
}

TEST(Progress, TimeAndSpeedLines) {
  struct Case {
    double average;
    bool nothing;
    std::int64_t total, start, got;
    unsigned sinceFirst;
    const char* text;
  };
  const Case cases[] = {
      {0, true, 1000, 0, 0, 5, "?:??:??  (0.0k/sec)"},
      {100.0, false, 0, 0, 5000, 3725, "1:02:05 elapsed  (Average 100.0k/sec)"},
      {100.1, false, 0, 0, 5000, 59, "0:00:59 elapsed  (Average 0.10MB/sec)"},
      {2048, false, 1024 * 2048 * 10, 0, 0, 0, "0:00:10 left  (Average 2.00MB/sec)"},
      {10, false, 1024 * 100, 1024 * 50, 1024 * 40, 0, "0:00:06 left  (Average 10.0k/sec)"},
      // More than 2 GiB: counts are 64-bit.
      {1024, false, 5LL << 30, 3LL << 30, 0, 0, "1:25:20 left  (Average 1.00MB/sec)"},
      // Sizes at the wire's limit, and a speed near nothing: no overflow, the longest time.
      {1024, false, 1LL << 62, 1LL << 62, 0, 0, "1221679586:25:04 left  (Average 1.00MB/sec)"},
      {1e-12, false, 1LL << 62, 1LL << 62, 1, 0, "2562047788015215:30:07 left  (Average 0.0k/sec)"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(timeSpeedLine(c.average, c.nothing, c.total, c.start, c.got, c.sinceFirst), c.text);
}

TEST(Progress, SizeLinesAndTitles) {
  SizeTexts t = sizeTexts(750000, 500000, 500000);
  EXPECT_EQ(t.line, "732.4k of 976.6k (75%)");
  EXPECT_EQ(t.title, "75% Downloaded by Tarnwick");
  EXPECT_EQ(t.percent, 75);

  t = sizeTexts(5000, 0, 0);
  EXPECT_EQ(t.line, "4k");
  EXPECT_EQ(t.title, "4k Downloaded by Tarnwick");
  EXPECT_EQ(t.percent, -1);

  // A server sending more than it announced drives the percentage past 100.
  EXPECT_EQ(sizeTexts(1500, 1000, 0).percent, 150);
  // 3 GiB of 4 GiB does not overflow.
  t = sizeTexts(3LL << 30, 4LL << 30, 0);
  EXPECT_EQ(t.percent, 75);
  EXPECT_EQ(t.line, "3145728.0k of 4194304.0k (75%)");
  // Counts at the wire's limit: the total passes 2^63 and the product 2^68.
  t = sizeTexts(1LL << 62, 1LL << 62, 1LL << 62);
  EXPECT_EQ(t.line, "4503599627370496.0k of 9007199254740992.0k (50%)");
  EXPECT_EQ(t.title, "50% Downloaded by Tarnwick");
  EXPECT_EQ(sizeTexts(1LL << 62, 1, 0).percent, INT_MAX);
}

// What a server says is shown without driving the terminal or reordering the line.
TEST(DisplayText, ControlsAndOverridesReplacedLineBreaksKept) {
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"Not Found", "Not Found"},
      {"caf\xC3\xA9 \xE2\x80\xA6", "caf\xC3\xA9 \xE2\x80\xA6"},
      {"a\x1b]0;owned\x07" "b", "a" + r + "]0;owned" + r + "b"},
      {"\x1b[2J\x7f", r + "[2J" + r},
      {"x\xC2\x9B" "2J", "x" + r + "2J"},             // CSI as a C1 character
      {"x\x9B" "2J", "x" + r + "2J"},                 // and as a stray byte
      {"exe.\xE2\x80\xAEtxt", "exe." + r + "txt"},    // right-to-left override
      {"\xE2\x81\xA6" "a\xE2\x81\xA9", r + "a" + r},  // isolates
      {"\xE2\x80\x8F", "\xE2\x80\x8F"},               // a mark overrides nothing
      {"one\ntwo\r\nthree\rfour\ta", "one\ntwo\r\nthree" + r + "four" + r + "a"},
      {std::string("nul\0!", 5), "nul" + r + "!"},
      {"\xC0\xAF\xED\xA0\x80", r + r + r + r + r},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(displayText(in), want) << in;
  // In a table's cell the same characters are written out, line breaks too.
  EXPECT_EQ(escapedText("a\tb\nc\r\x1b\x7f\xFF.\xE2\x80\xAEtxt caf\xC3\xA9"),
            "a\\tb\\nc\\r\\x1B\\x7F\\xFF.\\u202Etxt caf\xC3\xA9");
}

TEST(PanelText, WrappedBetweenWordsSegmentsKeptWhole) {
  using Lines = std::vector<std::string>;
  const std::string time = "  0:00:04 left  (Average 1.38MB/sec)  4 connections";
  EXPECT_EQ(term::wrapWords(time, 60, "  "), Lines{time});
  EXPECT_EQ(term::wrapWords(time, 39, "  "), (Lines{"  0:00:04 left  (Average 1.38MB/sec)", "  4 connections"}));
  EXPECT_EQ(term::wrapWords(time, 17, "  "), (Lines{"  0:00:04 left", "  (Average", "  1.38MB/sec)", "  4 connections"}));
  EXPECT_EQ(term::wrapWords("Supercalifragilistic", 8), Lines{"Supe\u2026tic"});
}

TEST(Rollback, StepsBackToAKilobyteBoundaryNeverBelowZero) {
  const std::tuple<std::int64_t, std::int64_t, std::int64_t> cases[] = {
      {10000, 4096, 5120}, {3000, 4096, 0}, {5000, 4096, 0}, {0, 4096, 0},
      {50000, 4096, 45056}, {40000, 4096, 35840}, {40000, 0, 39936}, {(5LL << 30) + 7, 4096, (5LL << 30) - 4096},
  };
  for (const auto& [offset, r, want] : cases) EXPECT_EQ(StepBack(offset, r), want) << offset << " " << r;
}

TEST(SocketErrors, TextsForCodes) {
  EXPECT_STREQ(socketErrorText(10061), "Connection refused");
  EXPECT_STREQ(socketErrorText(10035), "Operation would block");
  EXPECT_STREQ(socketErrorText(10022), "Invalid argument");
  EXPECT_STREQ(socketErrorText(10051), "ICMP network unreachable (other side of a firewall?)");
  EXPECT_STREQ(socketErrorText(11001), "Host not found");
  for (int code : {0, 10072, 10090, 12000, -1}) EXPECT_STREQ(socketErrorText(code), "Unknown") << code;
}

// LoadString searches the table: a string added out of order hides its neighbours.
TEST(StringTable, EveryStringIsFoundByItsNumber) {
  for (const auto& [id, text] : StringTable()) EXPECT_EQ(LoadString(id), text) << id;
}

TEST(Base64, PaddingAndHighBytes) {
  const std::pair<std::string, std::string> cases[] = {
      {"abc", "YWJj"}, {"a", "YQ=="}, {"ab", "YWI="}, {"", ""}, {":pw", "OnB3"}, {"user:", "dXNlcjo="},
      {"\xff\xfe\x80", "//6A"}, {std::string(100, 'x'), std::string(132, 'x')},
  };
  for (auto [in, want] : cases) {
    std::string s = in;
    base64Encode(s);
    if (in.size() == 100) {
      EXPECT_EQ(s.size(), 136u);
      EXPECT_EQ(s.find('\n'), std::string::npos);
    } else {
      EXPECT_EQ(s, want);
    }
  }
}

TEST(HttpRequest, BothFormsByteForByte) {
  HttpRequestParams p;
  p.target = "/dir/f.zip";
  p.hostHeader = "host";
  p.startOffset = 10240;
  p.lastModified = "Tue, 01 Dec 2026 10:00:00 GMT";
  EXPECT_EQ(buildHttpRequest(p),
            "GET /dir/f.zip HTTP/1.1\r\nRange: bytes=10240- \r\nHost: host\r\nConnection: close\r\n"
            "User-Agent: Tarnwick/1.2 \r\nAccept: *.*, */* \r\nRange-If: Tue, 01 Dec 2026 10:00:00 GMT\r\n\r\n");
  p.http10 = true;
  p.startOffset = 0;
  p.password = "pw";
  p.hostHeader = "host:8080";
  p.proxyUser = "bob";
  p.proxyPassword = "s@cret";
  const std::string head = "GET /dir/f.zip HTTP/1.0\r\nHost: host:8080\r\nUser-Agent: Tarnwick/1.2 \r\nAccept: *.*, */* \r\n";
  EXPECT_EQ(buildHttpRequest(p), head + "Authorization: Basic OnB3\r\nProxy-Authorization: Basic Ym9iOnNAY3JldA==\r\n\r\n");
  // The header log's copy: both logins masked.
  EXPECT_EQ(maskedRequest(buildHttpRequest(p)), head + "Authorization: Basic ***\r\nProxy-Authorization: Basic ***\r\n\r\n");
  // Offsets past 2 GiB are written whole.
  p.http10 = false;
  p.startOffset = 3LL << 30;
  EXPECT_NE(buildHttpRequest(p).find("Range: bytes=3221225472- \r\n"), std::string::npos);
}

}  // namespace
