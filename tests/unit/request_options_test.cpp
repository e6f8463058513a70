// Request options: cookies.txt, the Cookie each request sends, headers refused, .netrc, and
// what the header log may show.
#include "transfer/request_options.h"

#include <gtest/gtest.h>

#include "transfer/http_request.h"

namespace {

constexpr std::int64_t kNow = 1'800'000'000;

TEST(Cookies, MatchHostPathSchemeAndExpiry) {
  const std::string jar =
      "# Netscape HTTP Cookie File\r\n"
      ".Example.com\tTRUE\t/\tFALSE\t0\tsid\tall\r\n"         // the domain and its subdomains
      "example.com\tFALSE\t/\tFALSE\t0\texact\t1\n"           // this host only
      "#HttpOnly_example.com\tFALSE\t/dl\tTRUE\t0\tsec\t2\n"  // curl's HttpOnly mark; https only
      "example.com\tFALSE\t/dl/deep\tFALSE\t0\tdeep\t3\n"
      "example.com\tFALSE\t/\tFALSE\t1700000000\told\t4\n"  // expired
      "example.com\tFALSE\t/\tFALSE\t1900000000\tnew\n"     // six fields: an empty value
      "example.com\tFALSE\t/\tFALSE\t0\tbad\tv;x=1\n"       // would add a cookie: skipped
      "example.com\tFALSE\t/\tFALSE\t0\tinj\tv\rX: 1\n"     // a control character: skipped
      "example.com\tFALSE\t/\tFALSE\tsoon\tt\t1\n"          // no expiry number: skipped
      "not a cookie line\n";
  auto cookies = parseCookiesTxt(jar);
  ASSERT_EQ(cookies.size(), 6u);
  EXPECT_EQ(cookies[0].domain, "example.com");

  struct Case {
    const char* host;
    const char* path;
    bool https;
    const char* sent;
  } cases[] = {
      {"example.com", "/f.zip", false, "sid=all; exact=1; new="},
      {"EXAMPLE.com", "/dl/f.zip?x=/dl/deep", true, "sec=2; sid=all; exact=1; new="},
      {"example.com", "/dl/deep/f", true, "deep=3; sec=2; sid=all; exact=1; new="},
      {"example.com", "/dl/deeper", false, "sid=all; exact=1; new="},  // /dl/deep is no prefix of it
      {"example.com", "/dlx", true, "sid=all; exact=1; new="},
      {"a.b.example.com", "/", false, "sid=all"},
      {"badexample.com", "/", false, ""},
      {"example.org", "/", false, ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(cookieHeader(cookies, c.host, c.path, c.https, kNow), c.sent) << c.host << c.path;

  // What is kept for a download: its host's cookies only, read back as they were.
  RequestOptions o{{"X-Token: abc"}, "agent/1", "http://example.com/page", cookies};
  o.cookies.push_back({"example.org", false, "/", false, 0, "other", "x"});
  RequestOptions kept = o.forHost("www.example.com");
  ASSERT_EQ(kept.cookies.size(), 1u);
  EXPECT_EQ(kept.cookies[0].name, "sid");
  EXPECT_EQ(decodeRequestOptions(encodeRequestOptions(o)), o);
  EXPECT_TRUE(decodeRequestOptions("garbage\nH Host: evil\nH X-A: 1\n").headers == std::vector<std::string>{"X-A: 1"});
}

TEST(Headers, CheckedSentAndMasked) {
  // nullptr: refused, with a reason that never repeats the value.
  const std::pair<const char*, const char*> cases[] = {
      {"X-Token:  abc def ", "X-Token: abc def"},
      {"X-A: abc\r\nX-Evil: 1", nullptr},
      {"X-A: abc\x01", nullptr},
      {"X-A:", nullptr},
      {"X A: abc", nullptr},
      {"host: abc", nullptr},
  };
  for (const auto& [given, sent] : cases) {
    std::string why;
    auto h = checkHeader(given, why);
    EXPECT_EQ(h.value_or("refused"), sent ? sent : "refused") << given;
    EXPECT_EQ(why.find("abc"), std::string::npos) << why;
  }

  // The user's header replaces the program's own; the log masks every credential.
  HttpRequestParams p;
  p.target = "/f", p.hostHeader = "h", p.user = "u", p.password = "pw";
  p.userAgent = "Agent/2", p.referer = "http://h/page", p.cookie = "sid=s3cret";
  p.headers = {"Accept: text/plain", "X-Token: t0ken"};
  std::string req = buildHttpRequest(p);
  EXPECT_EQ(req,
            "GET /f HTTP/1.1\r\nRange: bytes=0- \r\nHost: h\r\nConnection: close\r\nUser-Agent: Agent/2\r\n"
            "Authorization: Basic dTpwdw==\r\nReferer: http://h/page\r\nCookie: sid=s3cret\r\n"
            "Accept: text/plain\r\nX-Token: t0ken\r\n\r\n");
  EXPECT_EQ(maskedRequest(req, p.headers),
            "GET /f HTTP/1.1\r\nRange: bytes=0- \r\nHost: h\r\nConnection: close\r\nUser-Agent: Agent/2\r\n"
            "Authorization: Basic ***\r\nReferer: http://h/page\r\nCookie: ***\r\nAccept: ***\r\nX-Token: ***\r\n\r\n");

  // What a redirect leaves behind: to another port or an https upgrade on the same host, to
  // plain http from https, to another host.
  const struct {
    bool otherHost, toPlainHttp;
    const char* kept;
  } redirects[] = {
      {false, false, "H cookie: a=b\nH X-Keep: 1\nC h\tFALSE\t/\tTRUE\t0\ta\tb\n"},
      {false, true, "H X-Keep: 1\nC h\tFALSE\t/\tTRUE\t0\ta\tb\n"},  // the jar's Secure cookie stays home itself
      {true, false, "H X-Keep: 1\n"},
  };
  for (const auto& r : redirects) {
    RequestOptions o{
        {"Authorization: Bearer x", "cookie: a=b", "X-Keep: 1"}, "", "", {{"h", false, "/", true, 0, "a", "b"}}};
    o.dropCredentials(r.otherHost, r.toPlainHttp);
    EXPECT_EQ(encodeRequestOptions(o), r.kept) << r.otherHost << r.toPlainHttp;
  }
}

TEST(Cookies, TheStoreKeepsEveryDomainExactly) {
  // "..corg" is the domain ".corg" and its subdomains: no host. Read back as "corg" it would
  // go to every host under corg.
  auto cookies = parseCookiesTxt(
      "..corg\tTRUE\t/\tFALSE\t0\tdots\t1\n"
      "corg\tTRUE\t/\tFALSE\t0\twide\t2\n"
      "host.corg\tFALSE\t/\tTRUE\t0\texact\t3\n");
  ASSERT_EQ(cookies.size(), 3u);
  EXPECT_EQ(cookies[0].domain, ".corg");
  RequestOptions o;
  o.cookies = cookies;
  o.leftHttps = true;
  RequestOptions back = decodeRequestOptions(encodeRequestOptions(o));
  EXPECT_EQ(back, o);
  EXPECT_EQ(decodeRequestOptions(encodeRequestOptions(back)), o);
  EXPECT_EQ(cookieHeader(back.cookies, "host.corg", "/", true, kNow), "wide=2; exact=3");
  // A host-only domain with a leading dot could not be read back as it is: no cookie.
  EXPECT_FALSE(usableCookie({".corg", false, "/", false, 0, "n", "v"}));
  EXPECT_TRUE(usableCookie({".corg", true, "/", false, 0, "n", "v"}));
  EXPECT_FALSE(usableCookie({"corg", false, "", false, 0, "n", "v"}));
}

TEST(Netrc, MachineThenDefault) {
  const std::string netrc =
      "machine files.example.com login alice password s3cret\n"
      "macdef init\nmachine macro.example.com login no\n\n"
      "machine nologin.example.com password x\n"
      "default login anonymous password me@home\n";
  const std::pair<const char*, const char*> cases[] = {{"FILES.example.com", "alice:s3cret"},
                                                       {"nologin.example.com", "none"},
                                                       {"macro.example.com", "anonymous:me@home"}};
  for (const auto& [host, login] : cases) {
    auto l = netrcLogin(netrc, host);
    EXPECT_EQ(l ? l->login + ":" + l->password : "none", login) << host;
  }
  // The host's own entry wins over a default written before it.
  const std::string defaultFirst = "default login anonymous password me@home\nmachine files.example.com login alice password s3cret\n";
  auto own = netrcLogin(defaultFirst, "files.example.com");
  EXPECT_EQ(own ? own->login : "none", "alice");
  auto other = netrcLogin(defaultFirst, "other.example.com");
  EXPECT_EQ(other ? other->login : "none", "anonymous");
}

}  // namespace
