// The protocol pieces that need no connection: reply lines, chunked bodies, FTP replies.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/retry.h"
#include "session/ending.h"
#include "transfer/ftp_address.h"
#include "transfer/ftp_parse.h"
#include "transfer/http_parse.h"

namespace {

TEST(HttpReply, StatusAndHeaderLines) {
  HeaderLine h = splitHeaderLine("Content-Length:   5 ");
  EXPECT_EQ(h.name, "Content-Length:");
  EXPECT_EQ(h.value, "5");
  EXPECT_TRUE(headerIs(h.name, "content-length:"));
  EXPECT_EQ(splitHeaderLine("NoBlank").name, "");

  // The code stands after the version whether or not a reason follows.
  int code = 0;
  std::string reason;
  EXPECT_TRUE(parseStatusLine("HTTP/1.1 206 Partial Content", code, reason));
  EXPECT_EQ(code, 206);
  EXPECT_EQ(reason, "Partial Content");
  EXPECT_TRUE(parseStatusLine("HTTP/1.1 404", code, reason));
  EXPECT_EQ(code, 404);
  EXPECT_EQ(reason, "");
  EXPECT_TRUE(parseStatusLine("http/1.0 200 ", code, reason));
  for (const char* bad : {"", "hello world", "HTTP/1.1 20", "HTTP/1.1 2000 OK", "HTTP/1.1  200 OK", "ICY 200 OK",
                          "HTTP/1.1 abc OK"})
    EXPECT_FALSE(parseStatusLine(bad, code, reason)) << bad;
}

// Sizes from the wire: digits only, never negative, never near overflow.
TEST(HttpReply, LengthsAndRanges) {
  std::int64_t n = 0, first = 0, last = 0;
  EXPECT_TRUE(parseContentLength("5368709120", n));
  EXPECT_EQ(n, 5368709120LL);
  EXPECT_TRUE(parseContentLength("4611686018427387904", n));
  EXPECT_EQ(n, kMaxWireNumber);
  for (const char* bad : {"", "-1", "12abc", "+5", "99999999999999999999", "4611686018427387905"})
    EXPECT_FALSE(parseContentLength(bad, n)) << bad;
  EXPECT_TRUE(parseContentRange("bytes 100-199/1000", first, last));
  EXPECT_EQ(first, 100);
  EXPECT_EQ(last, 199);
  EXPECT_TRUE(parseContentRange("bytes 0-0/*", first, last));
  for (const char* bad : {"bytes 200-100/1000", "bytes 100-199/150", "bytes -5-10/20", "items 0-1/2", "bytes 1-2",
                          "bytes 0-99999999999999999999/100000000000000000000"})
    EXPECT_FALSE(parseContentRange(bad, first, last)) << bad;
}

// The framing must come off however the blocks cut it: inside the size line, between CR
// and LF, inside the data, and in the trailer.
TEST(ChunkedBody, DecodesWhateverTheBlockBoundaries) {
  const std::string wire = "5\r\nhello\r\n1a;ext=1\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\nX-Trailer: 1\r\n\r\n";
  const std::string body = "helloabcdefghijklmnopqrstuvwxyz";
  for (std::size_t cut1 = 0; cut1 <= wire.size(); ++cut1) {
    for (std::size_t cut2 = cut1; cut2 <= wire.size(); cut2 += 7) {
      ChunkedDecoder d;
      std::string out;
      d.decode(wire.data(), cut1, out);
      d.decode(wire.data() + cut1, cut2 - cut1, out);
      EXPECT_FALSE(d.done() && cut2 < wire.size()) << cut1 << " " << cut2;
      d.decode(wire.data() + cut2, wire.size() - cut2, out);
      ASSERT_EQ(out, body) << cut1 << " " << cut2;
      EXPECT_TRUE(d.done());
    }
  }
  // Bytes after the last chunk are not data.
  ChunkedDecoder d;
  std::string out;
  std::string tail = "3\r\nabc\r\n0\r\n\r\nGARBAGE";
  d.decode(tail.data(), tail.size(), out);
  EXPECT_EQ(out, "abc");
}

TEST(ChunkedBody, BrokenFramingFails) {
  for (const char* bad : {"zz\r\nabc", "-5\r\nabcde\r\n", "1000000000000000\r\n", "3\r\nabcX\r\n0\r\n\r\n",
                          "3\r\nabc\r\n\r\n"}) {
    ChunkedDecoder d;
    std::string out;
    d.decode(bad, std::strlen(bad), out);
    EXPECT_TRUE(d.failed()) << bad;
    EXPECT_LE(out.size(), 3u);
  }
}

// A multi-line reply ends only at its own code and a blank; lines inside it that look like
// other replies do not end it.
TEST(FtpReplies, MultiLineRepliesEndAtTheirOwnCode) {
  FtpReplyReader r;
  const std::pair<const char*, bool> lines[] = {
      {"220-Welcome", false}, {"230 not the end", false}, {"220-still", false},
      {" 220 indented", false}, {"220 ready", true}, {"331 Password required", true},
      {"230-", false}, {"230", true},
  };
  for (const auto& [line, ends] : lines) EXPECT_EQ(r.endsReply(line, ftpReplyCode(line)), ends) << line;
  EXPECT_EQ(ftpReplyCode("x220"), 0);
}

TEST(FtpReplies, PassivePortsAndRetrSizes) {
  std::string host;
  EXPECT_EQ(parsePassiveReply("227 Entering Passive Mode (10,9,8,7,19,137).", host), 19 * 256 + 137);
  EXPECT_EQ(host, "10.9.8.7");
  EXPECT_EQ(parsePassiveReply("227 =127,0,0,1,4,1", host), 1025);
  EXPECT_EQ(parsePassiveReply("227 Entering Passive Mode", host), 0);
  // Numbers beyond a byte wrap rather than spill into the other half.
  EXPECT_EQ(parsePassiveReply("227 (1,2,3,4,300,256)", host), (300 % 256) * 256);

  std::int64_t size = 0;
  EXPECT_TRUE(parseRetrSize("150 Opening BINARY mode data connection for f.zip (5368709120 bytes).", size));
  EXPECT_EQ(size, 5368709120LL);
  EXPECT_TRUE(parseRetrSize("150 Opening data connection (12 BYTES.)", size));
  EXPECT_EQ(size, 12);
  EXPECT_FALSE(parseRetrSize("150 Opening data connection", size));
  for (const char* bad : {"150 x (-5 bytes).", "150 x (99999999999999999999 bytes).", "150 x (12ab bytes)."}) {
    EXPECT_FALSE(parseRetrSize(bad, size)) << bad;
    EXPECT_TRUE(namesRetrSize(bad));
  }
  EXPECT_TRUE(parseSizeReply("213 5368709120", size));
  EXPECT_EQ(size, 5368709120LL);
  for (const char* other : {"213-5", "550 No such file", "213 ", "213 12 bytes", "213 -1", "200 12"})
    EXPECT_FALSE(parseSizeReply(other, size)) << other;
  std::string stamp;
  EXPECT_TRUE(parseMdtmReply("213 20261201080000", stamp));
  EXPECT_EQ(stamp, "20261201080000");
  EXPECT_TRUE(parseMdtmReply("213 20261201080000.250 ", stamp));
  EXPECT_EQ(stamp, "20261201080000.250");
  for (const char* other : {"550 No such file", "213 2026120108", "213 20261201080000.", "213 20261201080000 GMT",
                            "200 20261201080000"})
    EXPECT_FALSE(parseMdtmReply(other, stamp)) << other;
}

TEST(FtpReplies, DataAddressesByFamily) {
  EXPECT_EQ(ftpPortCommand("127.0.0.1", 1025), "PORT 127,0,0,1,4,1\r\n");
  EXPECT_EQ(ftpPortCommand("::1", 1025), "EPRT |2|::1|1025|\r\n");
  EXPECT_EQ(ftpPassiveCommand("10.0.0.2"), "PASV\r\n");
  EXPECT_EQ(ftpPassiveCommand("fe80::2"), "EPSV\r\n");
  EXPECT_EQ(parseExtendedPassiveReply("229 Entering Extended Passive Mode (|||6446|)"), 6446);
  EXPECT_EQ(parseExtendedPassiveReply("229 (!!!21!)"), 21);
  for (const char* bad : {"229 Entering Extended Passive Mode", "229 (|||0|)", "229 (|||70000|)", "229 (||6446|)",
                          "229 (|||6446)", "229 (|||"})
    EXPECT_EQ(parseExtendedPassiveReply(bad), 0) << bad;
}

}  // namespace

// The exit status a failure gives a script: who failed decides, where one outcome covers several.
TEST(ExitStatus, TheFailureEachOutcomeStandsFor) {
  const std::tuple<Outcome, int, std::optional<Failure>> cases[] = {
      {Outcome::TlsFailed, kCertificateRefused, Failure::Tls},  {Outcome::TlsFailed, 0, Failure::Network},
      {Outcome::FtpRefused, 550, Failure::ServerError},         {Outcome::FtpRefused, 530, Failure::Login},
      {Outcome::Refused, 404, Failure::ServerError},            {Outcome::Refused, 407, Failure::Login},
      {Outcome::TunnelRefused, 0, Failure::Network},            {Outcome::TunnelRefused, 403, Failure::ServerError},
      {Outcome::ConnectFailed, WSAHOST_NOT_FOUND, Failure::Network}, {Outcome::WriteFailed, 0, Failure::LocalFile},
      {Outcome::Redirected, 0, std::nullopt},                   {Outcome::Restart, 0, std::nullopt},
  };
  for (const auto& [what, code, failure] : cases) {
    ConnectionResult r;
    r.what = what;
    r.code = code;
    EXPECT_EQ(failureOf(r), failure) << static_cast<int>(what) << " " << code;
  }
}

// Which failures are tried again, and how long the job waits first.
TEST(RetryPolicy, TemporaryFailuresAndWaits) {
  struct Case {
    Outcome what;
    int code;
    bool temporary;
  };
  const Case cases[] = {
      {Outcome::Broken, 0, true},
      {Outcome::Broken, WSAECONNRESET, true},
      {Outcome::ConnectFailed, WSAECONNREFUSED, true},
      {Outcome::ConnectFailed, 11002, true},      // the name server did not answer
      {Outcome::ConnectFailed, WSAHOST_NOT_FOUND, false},  // no such host
      {Outcome::ServerBusy, 503, true},
      {Outcome::DataConnectFailed, WSAECONNREFUSED, true},
      {Outcome::FtpRefused, 421, true},
      {Outcome::FtpRefused, 451, true},
      {Outcome::FtpRefused, 550, false},
      {Outcome::FtpLoginRefused, 530, false},
      {Outcome::Refused, 404, false},
      {Outcome::Refused, 403, false},
      {Outcome::TlsFailed, 0, false},
      {Outcome::WriteFailed, 0, false},
      {Outcome::NeedCredentials, 0, false},
  };
  for (const auto& c : cases) {
    ConnectionResult r;
    r.what = c.what;
    r.code = c.code;
    EXPECT_EQ(isTemporary(r), c.temporary) << static_cast<int>(c.what) << " " << c.code;
  }
  const std::pair<int, int> waits[] = {{1, 1}, {2, 2}, {3, 4}, {4, 8}, {6, 32}, {7, 60}, {40, 60}};
  for (auto [fruitless, wait] : waits) EXPECT_EQ(retryWaitSeconds(fruitless, -1), wait) << fruitless;
  EXPECT_EQ(retryWaitSeconds(3, 0), 0);
  EXPECT_EQ(retryWaitSeconds(1, 120), 120);
  EXPECT_EQ(retryWaitSeconds(1, 5000), 600);  // a server's wish, within reason

  const std::time_t now = 1796601600;  // Mon, 07 Dec 2026 00:00:00 GMT
  const std::pair<const char*, int> afters[] = {
      {"120", 120}, {" 7 ", 7}, {"Mon, 07 Dec 2026 00:01:30 GMT", 90}, {"Sun, 06 Dec 2026 23:00:00 GMT", 0},
      {"soon", -1}, {"-5", -1}, {"", -1}, {"99999999999999", 1000000000},
  };
  for (auto [value, seconds] : afters) EXPECT_EQ(parseRetryAfter(value, now), seconds) << value;
}
