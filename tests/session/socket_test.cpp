// The socket layer's event semantics against loopback peers.
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/file.h"
#include "script_server.h"
#include "scripted_ui.h"
#include "transfer/session_socket.h"

namespace {

// Records events and answers read events as a handler would, a block at a time.
struct Probe : CAsyncSocket {
  std::string data;
  std::vector<int> closes, connects;
  int sends = 0, reads = 0;
  int block = 1000;
  CFile* file = nullptr;  // set: bytes go straight into it
  void OnReceive(int) override {
    ++reads;
    if (file) {
      ASSERT_TRUE(CanReceiveToFile());
      std::int64_t n = ReceiveToFile(file->Handle(), block);
      ASSERT_LE(n, block);
      return;
    }
    char buf[65536];
    int n = Receive(buf, block);
    if (n > 0) data.append(buf, static_cast<std::size_t>(n));
  }
  void OnClose(int e) override { closes.push_back(e); }
  void OnConnect(int e) override { connects.push_back(e); }
  void OnSend(int) override { ++sends; }
};

TEST(AsyncSocket, RefusedConnectReportsTheRefusal) {
  TestEnvironment env;
  Probe p;
  ASSERT_TRUE(p.Create());
  int port = closedPort();
  bool now = p.Connect("127.0.0.1", static_cast<unsigned>(port));
  if (!now && CAsyncSocket::GetLastError() != WSAEWOULDBLOCK) {
    EXPECT_EQ(CAsyncSocket::GetLastError(), WSAECONNREFUSED);
    return;
  }
  ASSERT_TRUE(spinUntil([&] { return !p.connects.empty(); }));
  EXPECT_EQ(p.connects[0], WSAECONNREFUSED);
  EXPECT_EQ(p.sends, 0);
}

// Received or spliced into a file alike: every byte, at most a block per read event, then one close.
TEST(AsyncSocket, CloseComesOnceAfterEveryByte) {
  std::string payload(100000, 'q');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  for (bool toFile : {false, true}) {
    SCOPED_TRACE(toFile ? "into a file" : "received");
    TestEnvironment env;
    ScriptServer srv([&](ScriptConn& c, int) {
      c.send(payload);
      c.close();
    });
    CFile out;
    ASSERT_TRUE(out.Open(env.path("out.bin"), CFile::Mode::WriteShareRead));
    Probe p;
    if (toFile) p.file = &out;
    ASSERT_TRUE(p.Create());
    p.Connect("127.0.0.1", static_cast<unsigned>(srv.port()));
    ASSERT_TRUE(spinUntil([&] { return !p.closes.empty(); }));
    spinUntil([] { return false; }, 100);
    out.Close();
    EXPECT_EQ(toFile ? readWholeFile(env.path("out.bin")) : p.data, payload);
    EXPECT_EQ(p.closes, std::vector<int>{0});
    EXPECT_EQ(p.sends, 1);  // the connection stood once; nothing was sent
    EXPECT_GE(p.reads, 100);
  }
}

// A literal address, or a name looked up off the event loop (localhost comes from /etc/hosts).
TEST(AsyncSocket, ResetIsAnErrorClose) {
  for (const char* host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    TestEnvironment env;
    ScriptServer srv([&](ScriptConn& c, int) {
      c.send("partial");
      ::usleep(100000);
      c.reset();
    });
    Probe p;
    ASSERT_TRUE(p.Create());
    bool now = p.Connect(host, static_cast<unsigned>(srv.port()));
    EXPECT_TRUE(host[0] != 'l' || (!now && CAsyncSocket::GetLastError() == WSAEWOULDBLOCK));
    ASSERT_TRUE(spinUntil([&] { return !p.closes.empty(); }));
    EXPECT_EQ(p.data, "partial");
    EXPECT_EQ(p.connects, std::vector<int>{0});
    EXPECT_EQ(p.closes, std::vector<int>{WSAECONNRESET});
  }
}

// A scripted resolver: two failures, and a name whose lookup waits until the test opens the gate.
std::atomic<bool> g_gateOpen{false};
int scriptedLookup(const char* host, const char*, const addrinfo* hints, addrinfo** res) {
  std::string name = host;
  if (name == "again.test") return EAI_AGAIN;
  if (name == "gone.test") return EAI_NONAME;
  for (int ms = 0; ms < 5000 && !g_gateOpen; ++ms) ::usleep(1000);
  return ::getaddrinfo("127.0.0.1", nullptr, hints, res);
}
struct ScriptedLookup {
  ScriptedLookup() { SetNameLookup(scriptedLookup); }
  ~ScriptedLookup() { SetNameLookup(nullptr); }
};

TEST(AsyncSocket, FailedLookupsAreFailedConnectsOfTheirKind) {
  TestEnvironment env;
  ScriptedLookup scripted;
  for (auto [name, code] : {std::pair{"gone.test", WSAHOST_NOT_FOUND}, {"again.test", WSATRY_AGAIN}}) {
    Probe p;
    ASSERT_TRUE(p.Create());
    EXPECT_FALSE(p.Connect(name, 80));
    ASSERT_TRUE(spinUntil([&] { return !p.connects.empty(); }));
    EXPECT_EQ(p.connects, std::vector<int>{code}) << name;
    EXPECT_EQ(p.sends + static_cast<int>(p.closes.size()), 0);
  }
}

// The answer to a lookup reaches neither a socket destroyed meanwhile nor one closed and
// connected elsewhere.
TEST(AsyncSocket, LookupOutlivingItsConnectReachesNoOne) {
  TestEnvironment env;
  ScriptedLookup scripted;
  g_gateOpen = false;
  ScriptServer srv([&](ScriptConn& c, int) {
    c.send("hello");
    c.close();
  });
  Probe p;
  auto gone = std::make_unique<Probe>();
  for (Probe* s : {&p, gone.get()}) {
    ASSERT_TRUE(s->Create());
    EXPECT_FALSE(s->Connect("slow.test", static_cast<unsigned>(closedPort())));
  }
  gone.reset();
  p.Close();
  ASSERT_TRUE(p.Create());
  p.Connect("127.0.0.1", static_cast<unsigned>(srv.port()));
  ASSERT_TRUE(spinUntil([&] { return !p.closes.empty(); }));
  g_gateOpen = true;
  spinUntil([] { return false; }, 200);
  EXPECT_EQ(p.data, "hello");
  EXPECT_EQ(p.connects, std::vector<int>{0});
  EXPECT_EQ(p.closes, std::vector<int>{0});
}

// A session socket whose write events are counted; sending blocks against a slow reader.
struct Sender : CSessionSocket {
  int writes = 0;
  void OnSend(int e) override {
    CSessionSocket::OnSend(e);
    if (!sendPending()) ++writes;
  }
};

TEST(SessionSocket, SendsThatWouldBlockGoOutOnceAndWhole) {
  TestEnvironment env;
  std::string big(8 << 20, 'x');
  for (std::size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>(i / 4096);
  std::string got;
  ScriptServer srv([&](ScriptConn& c, int) {
    ::usleep(300000);  // let the sender fill every buffer first
    got = c.readUntil("\x01\x02\x03\x04", 10000);
    c.close();
  });
  Sender s;
  ASSERT_TRUE(s.Create());
  s.Connect("127.0.0.1", static_cast<unsigned>(srv.port()));
  ASSERT_TRUE(spinUntil([&] { return s.writes == 1; }));
  EXPECT_EQ(s.sendString(big + "\x01\x02\x03\x04"), static_cast<int>(big.size() + 4));
  EXPECT_TRUE(s.sendPending());
  ASSERT_TRUE(spinUntil([&] { return s.writes == 2; }, 15000));
  EXPECT_FALSE(s.sendPending());
  srv.requests();
  EXPECT_EQ(got.size(), big.size() + 4);
  EXPECT_TRUE(got == big + "\x01\x02\x03\x04");
}

// Lines come whole out of the buffer, however the bytes arrive: a line whose end has not
// come waits, and what is left at the close is the last line.
TEST(SessionSocket, LinesComeWholeFromTheBuffer) {
  TestEnvironment env;
  ScriptServer srv([&](ScriptConn& c, int) {
    c.send("123456789\r\n1234");
    ::usleep(200000);
    c.send("567\r\nlast");
    ::usleep(200000);
    c.close();
  });
  CSessionSocket s;
  ASSERT_TRUE(s.Create());
  s.Connect("127.0.0.1", static_cast<unsigned>(srv.port()));
  std::vector<std::string> lines;
  std::string line;
  ASSERT_TRUE(spinUntil([&] {
    if (s.buffered() == 0 || lines.size() < 3) s.fill();
    while (s.takeLine(line) > 0) lines.push_back(line);
    return lines.size() == 3 || s.ended();
  }));
  EXPECT_EQ(lines, (std::vector<std::string>{"123456789", "1234567", "last"}));
}

}  // namespace
