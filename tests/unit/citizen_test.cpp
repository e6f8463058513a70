// What a command-line user brings along: proxies from the environment, names and digests
// from the server.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "platform/digest.h"
#include "settings/env_proxy.h"
#include "transfer/download.h"
#include "transfer/http_parse.h"
#include "transfer/route.h"
#include "transfer/url.h"

namespace {

TEST(NoProxy, NamesSuffixesAddressesRangesAndStar) {
  struct Case {
    const char* noProxy;
    const char* host;
    bool direct;
  };
  const Case cases[] = {
      {"example.org", "example.org", true},        {"example.org", "dl.example.org", true},
      {"example.org", "badexample.org", false},    {".example.org", "example.org", true},
      {".example.org", "a.b.example.org", true},   {"EXAMPLE.org", "Dl.Example.ORG.", true},
      {"*.example.org", "x.example.org", true},    {"other, example.org", "example.org", true},
      {"a b\texample.org", "example.org", true},   {"", "example.org", false},
      {"*", "anything", true},                     {"*.", "anything", false},
      {"127.0.0.1", "127.0.0.1", true},            {"127.0.0.1", "127.0.0.2", false},
      {"10.0.0.0/8", "10.20.30.40", true},         {"10.0.0.0/8", "11.0.0.1", false},
      {"192.168.1.0/24", "192.168.1.255", true},   {"192.168.1.0/24", "192.168.2.1", false},
      {"0.0.0.0/0", "8.8.8.8", true},              {"10.0.0.0/33", "10.0.0.1", false},
      {"::1", "[::1]", true},                      {"fd00::/8", "[fd12::5]", true},
      {"fd00::/8", "[fe80::1]", false},            {"10.0.0.0/8", "[::ffff:10.0.0.1]", false},
      {"10.0.0.0/8", "10.example.org", false},     {"127.0.0.1", "localhost", false},
      {"localhost", "localhost", true},            {"org", "example.org", true},
  };
  for (const auto& c : cases) EXPECT_EQ(noProxyMatches(c.noProxy, c.host), c.direct) << c.noProxy << " / " << c.host;
}

TEST(EnvProxy, ConfiguredWinsThenLowerThenUpperCaseAndNoProxy) {
  std::map<std::string, std::string> env;
  EnvLookup lookup = [&](const char* name) -> const char* {
    auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  };
  auto said = [&](const char* scheme, const char* host, const char* configured = "") {
    ProxyChoice c = chooseProxy(scheme, host, configured, lookup);
    return c.setting.empty() ? std::string("direct") : c.setting + " from " + c.source + (c.speaksHttp ? "" : " (ftp)");
  };
  EXPECT_EQ(said("http", "h"), "direct");
  env = {{"HTTP_PROXY", "http://up:1"}, {"https_proxy", "http://tls:2"}, {"ftp_proxy", "ftp://gw:21"}};
  EXPECT_EQ(said("http", "h"), "http://up:1 from HTTP_PROXY");
  EXPECT_EQ(said("https", "h"), "http://tls:2 from https_proxy");
  EXPECT_EQ(said("ftp", "h"), "ftp://gw:21 from ftp_proxy (ftp)");
  EXPECT_EQ(said("http", "h", "conf:8080"), "conf:8080 from the configuration");
  EXPECT_EQ(said("ftp", "h", "conf:21"), "conf:21 from the configuration (ftp)");
  env["http_proxy"] = "low:3";
  env["ftp_proxy"] = "http://web:3128";
  env["NO_PROXY"] = ".local";
  EXPECT_EQ(said("http", "h"), "low:3 from http_proxy");
  EXPECT_EQ(said("ftp", "h"), "http://web:3128 from ftp_proxy");
  EXPECT_EQ(said("http", "nas.local"), "direct");
  EXPECT_EQ(said("http", "nas.local", "conf:1"), "conf:1 from the configuration");

  // An ftp URL asked of an HTTP proxy is an HTTP conversation with it on its HTTP port.
  Download d;
  d.m_service = svc::kFtp;
  auto route = chooseRoute(d, "http://web", true);
  ASSERT_TRUE(route);
  EXPECT_EQ(route->port, 80);
  EXPECT_TRUE(route->ftpOverHttp);
  EXPECT_FALSE(chooseRoute(d, "ftp://gw", false)->ftpOverHttp);
}

TEST(ContentDisposition, RfcExamplesEncodingsAndHostileNames) {
  const std::pair<const char*, const char*> cases[] = {  // value, the name saved under
      {"Attachment; filename=example.html", "example.html"},
      {"INLINE; FILENAME= \"an example.html\"", "an example.html"},
      {"attachment; filename*= UTF-8''%e2%82%ac%20rates", "\xE2\x82\xAC rates"},
      {"attachment; filename=\"EURO rates\"; filename*=utf-8''%e2%82%ac%20rates", "\xE2\x82\xAC rates"},
      {"attachment; filename*=iso-8859-1'en'%A3%20rates", "\xC2\xA3 rates"},
      {"attachment; filename*=koi8-r''%C1; filename=plain.txt", "plain.txt"},  // a charset not read
      {"attachment; filename=\"a\\\"b.txt\"", "a\"b.txt"},
      {"attachment; filename=\"100%.txt\"", "100%.txt"},
      {"attachment", ""},
      {"attachment; filename=\"unclosed.txt", ""},
      // No folder, no hidden file, nothing that drives a terminal.
      {"attachment; filename=\"../../etc/passwd\"", "passwd"},
      {"attachment; filename=\"..\\\\..\\\\win.ini\"", "win.ini"},
      {"attachment; filename*=UTF-8''%2e%2e%2f.bashrc", "bashrc"},
      {"attachment; filename=\"a\x1b[2Jb\"", "a%1B[2Jb"},
      {"attachment; filename*=UTF-8''a%0Ab", "a%0Ab"},
      {"attachment; filename*=UTF-8''%E2%80%AEexe.txt", "%E2%80%AEexe.txt"},
      {"attachment; filename*=UTF-8''%C3", "%C3"},
      {"attachment; filename=\"..\"", ""},
  };
  for (const auto& [value, want] : cases) EXPECT_EQ(serverFileName(contentDispositionName(value)), want) << value;
}

TEST(WholeFileDigest, ReprDigestAndDigestSha256AndSha512) {
  const std::string hello256 = "sha256=2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824";
  const std::string b64 = "LPJNul+wow4m6DsqxbninhsWHlwfp0JecwQzYpOLmCQ=";
  EXPECT_EQ(wholeFileDigest("sha-256=:" + b64 + ":", false), hello256);
  EXPECT_EQ(wholeFileDigest("md5=:XUFAKrxLKna5cZ2REBfFkg==:, sha-256=:" + b64 + ":", false), hello256);
  EXPECT_EQ(wholeFileDigest("SHA-256=" + b64, true), hello256);
  EXPECT_EQ(wholeFileDigest("sha-256=" + b64, false), "");  // a byte sequence needs its colons
  EXPECT_EQ(wholeFileDigest("sha-256=:AAAA:", false), "");  // not 32 bytes
  EXPECT_EQ(wholeFileDigest("MD5=XUFAKrxLKna5cZ2REBfFkg==", true), "");
  std::string sha512 = wholeFileDigest("sha-256=:" + b64 + ":, sha-512=:" + std::string(86, 'A') + "==:", false);
  EXPECT_EQ(sha512, "sha512=" + std::string(128, '0'));
}

TEST(Checksum, TypesLengthsAndTheFileReadBack) {
  const std::pair<const char*, const char*> texts[] = {
      {"SHA256=2CF24DBA5FB0A30E26E83B2AC5B9E29E1B161E5C1FA7425E73043362938B9824",
       "sha256=2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824"},
      {"sha-1=aaf4c61ddcc5e8a2dabede0f3b482cd9aea9434d", "sha1=aaf4c61ddcc5e8a2dabede0f3b482cd9aea9434d"},
      {"md5=5d41402abc4b2a76b9719d911017c592", "md5=5d41402abc4b2a76b9719d911017c592"},
      {"md5=5d41402abc4b2a76b9719d911017c59", ""}, {"crc32=12345678", ""}, {"sha256", ""},
      {"md5=5d41402abc4b2a76b9719d911017c59z", ""},
  };
  for (const auto& [text, want] : texts) EXPECT_EQ(parseChecksum(text).value_or(""), want) << text;
  char path[] = "/tmp/tarnwick-digest-XXXXXX";
  int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "hello", 5), 5);
  ::close(fd);
  std::string why;
  for (const char* want : {"md5=5d41402abc4b2a76b9719d911017c592", "sha1=aaf4c61ddcc5e8a2dabede0f3b482cd9aea9434d",
                           "sha256=2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824"}) {
    std::string type(want, std::string(want).find('='));
    EXPECT_EQ(FileDigest(path, type, why).value_or(why), want);
  }
  EXPECT_EQ(FileDigest(path, "sha512", why).value_or("").size(), 7u + 128u);
  ::unlink(path);
  EXPECT_FALSE(FileDigest(path, "md5", why));
}

TEST(DefaultScheme, BareHostsAreHttpPathsAndSwitchesAreNot) {
  const std::pair<const char*, const char*> cases[] = {
      {"example.org/f.iso", "http://example.org/f.iso"}, {"localhost:8080/a", "http://localhost:8080/a"},
      {"http://x/y", ""}, {"ftp://x/y", ""}, {"#05", ""}, {"/RESUME", ""}, {"-RESUME", ""},
      {"/home/u/list.fml", ""}, {"", ""},
  };
  for (const auto& [text, want] : cases) {
    std::string url;
    EXPECT_EQ(addDefaultScheme(text, url) ? url : "", want) << text;
  }
}

}  // namespace
