// The download job alone, on fake connections and a fake clock: what it lends to whom, what
// it concludes from replies and ends, and what its checkpoint stores after each step.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <stdexcept>

#include "engine/job.h"
#include "queue/queue_store.h"
#include "session_helpers.h"

namespace {

constexpr std::int64_t kMiB = 1 << 20;

class FakeClock : public JobClock {
 public:
  struct Timer : JobTimer {
    explicit Timer(FakeClock& c) : clock(c) {}
    bool start(int ms, std::function<void()> f, bool once) override {
      fn = std::move(f), every = once ? 0 : ms, due = clock.now + ms, on = true;
      return true;
    }
    void stop() override { on = false; }
    bool active() const override { return on; }
    FakeClock& clock;
    std::function<void()> fn;
    std::int64_t due = 0, every = 0;
    bool on = false;
  };
  std::int64_t ms() const override { return now; }
  std::int64_t seconds() const override { return now / 1000; }
  std::unique_ptr<JobTimer> timer() override {
    auto t = std::make_unique<Timer>(*this);
    timers.push_back(t.get());
    return t;
  }
  // Runs every timer due within ms, in order.
  void advance(std::int64_t ms) {
    std::int64_t until = now + ms;
    for (;;) {
      Timer* next = nullptr;
      for (Timer* t : timers)
        if (t->on && t->due <= until && (!next || t->due < next->due)) next = t;
      if (!next) break;
      now = std::max(now, next->due);
      next->on = next->every > 0;
      next->due += next->every;
      auto fn = next->fn;
      fn();
    }
    now = until;
  }
  std::int64_t now = 0;
  std::vector<Timer*> timers;
};

struct FakeConn : Connection {
  FakeConn(ConnectionRequest r, ConnectionEvents& e, bool f) : req(std::move(r)), events(e), pos(req.first), fails(f) {}
  // A start that fails at once, as a connect to an unreachable literal address does.
  bool start(ConnectionResult& failed) override {
    if (!fails) return true;
    open = false;
    failed = ConnectionResult{Outcome::ConnectFailed, WSAENETUNREACH, "h", Answerer::Local, -1};
    return false;
  }
  void close() override { open = false; }
  bool isOpen() const override { return open; }
  const Route& route() const override { return req.route; }
  std::int64_t end() const override { return req.end; }
  void limitTo(std::int64_t e) override { req.end = e; }
  void setLimit(std::shared_ptr<RateLimit> l) override { req.limit = std::move(l); }
  ConnectionRequest req;
  ConnectionEvents& events;
  std::int64_t pos;
  bool fails;
  bool open = true;
};

// The job with its fake world; a session's part (open again when told) done by hand.
struct Rig : JobEvents {
  explicit Rig(TestEnvironment& env) : env(env) {
    job.m_d.m_url = "http://h/f.bin";
    job.m_d.m_server = "h";
    job.m_d.m_object = "/f.bin";
    job.m_d.m_options.headers = {"X-Token: t"};
    job.m_d.m_localPath = env.path("f.bin");
    writeWholeFile(job.m_d.m_localPath, "");
    lease.take("00");
    QueueEntry::write("00", QueueValue::Get, job.m_d.m_url);
    job.m_slot = "00";
  }
  void jobNote(Note, const std::string& text) override { notes.push_back(text); }
  void jobWrote() override {}
  void jobOutcome(const ConnectionResult& r) override { outcomes.push_back(r.what); }
  void jobWaiting(int, const std::string&) override {}
  void jobRetry() override { open(); }
  void open() {
    std::string why;
    ASSERT_TRUE(job.open(Route{}, why)) << why;
  }
  FakeConn& c(std::size_t i) { return *conns.at(i); }
  bool reply(std::size_t i, std::int64_t first, std::int64_t total, const std::string& etag = "\"a\"",
             const std::string& date = "") {
    ReplyFacts f;
    f.validator = date;
    f.first = first;
    f.length = (c(i).req.end >= 0 ? c(i).req.end : total) - first;
    f.total = total;
    f.etag = etag;
    f.ranges = true;
    return c(i).events.connectionReply(f);
  }
  void write(std::size_t i, std::int64_t n) {
    c(i).events.connectionWrote(c(i).pos, n);
    c(i).pos += n;
  }
  void end(std::size_t i, Outcome what, int code = 0) {
    c(i).open = false;
    c(i).events.connectionOutcome(ConnectionResult{what, code, "", Answerer::Origin, -1});
  }
  std::string stored(const char* name) { return queueValue(env, std::string(name) + "00"); }

  TestEnvironment& env;
  SlotLease lease;
  FakeClock clock;
  std::vector<std::shared_ptr<FakeConn>> conns;
  std::vector<Outcome> outcomes;
  std::vector<std::string> notes;
  bool failStart = false;
  DownloadJob job{*this, clock, [this](ConnectionRequest r, ConnectionEvents& e, std::shared_ptr<CFile>) {
                    // A job that opens connections without end fails here rather than hanging.
                    if (conns.size() >= 100) throw std::runtime_error("100 connections");
                    conns.push_back(std::make_shared<FakeConn>(std::move(r), e, failStart));
                    return conns.back();
                  }};
};

// A download of 8 MiB on two connections whose first one is slow: the second is opened
// for the far half once the first one's rate has been sampled.
void startTwo(Rig& r) {
  r.open();
  ASSERT_TRUE(r.reply(0, 0, 8 * kMiB));
  r.write(0, 64 << 10);
  r.clock.advance(60);
  ASSERT_GE(r.conns.size(), 2u);
}

}  // namespace

TEST(Job, LendsRangesAndConcludesFromWhatConnectionsReport) {
  struct Case {
    const char* name;
    int connections, retries;
    std::function<void(Rig&)> run;
  };
  const Case cases[] = {
      {"a further range is cut from the first only once it is answered, and a refusal costs nothing", 2, 5,
       [](Rig& r) {
         startTwo(r);
         EXPECT_EQ(r.c(1).req.first, 4 * kMiB);
         EXPECT_EQ(r.c(1).req.end, 8 * kMiB);
         EXPECT_EQ(r.c(1).req.ifRange, "\"a\"");
         EXPECT_EQ(r.c(1).req.address.m_options.headers, std::vector<std::string>{"X-Token: t"});  // as the first asks
         EXPECT_EQ(r.c(0).end(), -1);
         r.end(1, Outcome::PieceRefused, 503);
         r.clock.advance(0);
         EXPECT_EQ(r.c(0).end(), -1);
         EXPECT_EQ(r.job.running(), (std::vector<Range>{{64 << 10, 8 * kMiB}}));
       }},
      {"a weak ETag vouches for no bytes: pieces are asked on the date", 2, 5,
       [](Rig& r) {
         r.open();
         ASSERT_TRUE(r.reply(0, 0, 8 * kMiB, "W/\"a\"", "Tue, 01 Dec 2026"));
         r.write(0, 64 << 10);
         r.clock.advance(60);
         ASSERT_EQ(r.conns.size(), 2u);
         EXPECT_EQ(r.c(1).req.ifRange, "Tue, 01 Dec 2026");
       }},
      {"an answered range is the taker's", 2, 5,
       [](Rig& r) {
         startTwo(r);
         EXPECT_TRUE(r.reply(1, 4 * kMiB, 8 * kMiB));
         EXPECT_EQ(r.c(0).end(), 4 * kMiB);
         r.write(1, kMiB);
         r.clock.advance(200);
         EXPECT_EQ(r.stored("Start"), std::to_string(64 << 10));
         EXPECT_EQ(r.stored("Pieces"), "4194304-5242880");
         EXPECT_EQ(r.stored("ETag"), "\"a\"");
       }},
      {"a whole file in answer to a range: no further connection for this download", 3, 5,
       [](Rig& r) {
         startTwo(r);
         std::size_t opened = r.conns.size();
         r.end(opened - 1, Outcome::PieceRefused, 200);
         r.clock.advance(2000);
         EXPECT_TRUE(r.job.state().oneConnection);
         EXPECT_EQ(r.conns.size(), opened);
       }},
      {"another version under the first connection starts over, validators and all", 1, 5,
       [](Rig& r) {
         r.open();
         r.reply(0, 0, 100);
         r.write(0, 40);
         r.end(0, Outcome::Broken, 10054);
         r.clock.advance(2000);  // a few bytes are no progress: the wait applies
         ASSERT_EQ(r.conns.size(), 2u);
         EXPECT_EQ(r.c(1).req.first, 0);  // a rollback of more than the bytes on disk
         EXPECT_EQ(r.c(1).req.ifRange, "\"a\"");
         r.write(1, 50);
         r.end(1, Outcome::Broken, 10054);
         r.clock.advance(2000);
         EXPECT_EQ(r.c(2).req.first, 40);  // stepped back once, not over bytes fetched again
         EXPECT_FALSE(r.reply(2, 40, 100, "\"b\""));
         r.end(2, Outcome::FileChanged);
         r.clock.advance(0);
         EXPECT_EQ(r.outcomes.back(), Outcome::Reconnect);
         EXPECT_TRUE(r.job.state().done.empty());
         EXPECT_EQ(r.stored("Start"), "");
         EXPECT_EQ(r.stored("ETag"), "");
       }},
      {"attempts count only well past the most any attempt had, and stop after the setting's number", 1, 2,
       [](Rig& r) {
         for (int i = 0; i < 4 && r.conns.size() == static_cast<std::size_t>(i + (i > 0)); ++i) {
           if (i == 0) r.open();
           // A server without ranges that breaks at the same byte each time.
           r.c(i).events.connectionNote(Note::NoResume, "");
           r.c(i).pos = 0;
           r.reply(i, 0, 1000);
           r.write(i, 300);
           r.end(i, Outcome::Broken, 10054);
           r.clock.advance(10000);
         }
         EXPECT_EQ(r.conns.size(), 2u);  // 300 new bytes are no progress
         EXPECT_EQ(r.outcomes.back(), Outcome::GaveUp);
         EXPECT_EQ(r.job.endReason(), "Gave up after 2 attempts without data: Connection broken");
       }},
      {"a total speed limit set while it runs reaches its connection within a second, and so does none", 1, 5,
       [](Rig& r) {
         r.open();
         r.reply(0, 0, 8 * kMiB);
         EXPECT_EQ(r.c(0).req.limit, nullptr);
         r.env.app().WriteProfileInt(kSectionConfig, kTotalMaxSpeed, 100 << 10);
         r.clock.advance(1000);
         ASSERT_NE(r.c(0).req.limit, nullptr);
         r.env.app().WriteProfileInt(kSectionConfig, kTotalMaxSpeed, 0);
         r.clock.advance(1000);
         EXPECT_EQ(r.c(0).req.limit, nullptr);
       }},
      {"a stop drops the outcomes not yet told: a paused download never reopens by itself", 1, 5,
       [](Rig& r) {
         r.open();
         r.end(0, Outcome::NoRange);  // asks for the next connection, from the event loop
         r.job.stop();
         r.clock.advance(1000);
         EXPECT_TRUE(r.outcomes.empty());
         EXPECT_EQ(r.job.phase(), JobPhase::Paused);
       }},
      {"a connection that cannot start is an attempt: the first one's tries follow, not another at once", 2, 2,
       [](Rig& r) {
         startTwo(r);
         ASSERT_TRUE(r.reply(1, 4 * kMiB, 8 * kMiB));
         r.write(1, kMiB);
         r.end(1, Outcome::Broken, 10054);
         r.write(0, 4 * kMiB - (64 << 10));
         r.failStart = true;  // nothing is open when the next piece is lent
         r.end(0, Outcome::PieceDone);
         r.clock.advance(0);
         EXPECT_EQ(r.conns.size(), 3u);
         EXPECT_EQ(r.outcomes, std::vector<Outcome>{Outcome::Reconnect});
         r.open();
         EXPECT_EQ(r.job.phase(), JobPhase::Waiting);
         r.clock.advance(10000);
         EXPECT_EQ(r.conns.size(), 6u);  // the pieces' bytes were progress, then two fruitless tries
         EXPECT_EQ(r.outcomes.back(), Outcome::GaveUp);
       }},
      {"at the end an idle connection races the slowest range and the first byte wins", 2, 5,
       [](Rig& r) {
         startTwo(r);
         r.reply(1, 4 * kMiB, 8 * kMiB);
         r.write(0, 3 * kMiB);  // too little left to split
         r.clock.advance(10000);
         r.write(1, 4 * kMiB);
         r.end(1, Outcome::PieceDone);
         r.clock.advance(0);
         ASSERT_EQ(r.conns.size(), 3u);
         std::int64_t cut = r.c(2).req.first;
         EXPECT_GT(cut, r.c(0).pos);
         EXPECT_EQ(r.c(2).req.end, 4 * kMiB);
         r.reply(2, cut, 8 * kMiB);
         EXPECT_EQ(r.c(0).end(), 4 * kMiB);  // not before the racer's first byte
         r.write(2, 1);
         EXPECT_EQ(r.c(0).end(), cut);
       }},
      {"a reply of another length is another file, without validators too: after a break and after a restart", 1, 5,
       [](Rig& r) {
         r.open();
         ASSERT_TRUE(r.reply(0, 0, 6000000, ""));
         r.write(0, 3 << 20);
         r.clock.advance(200);
         EXPECT_EQ(r.stored("Total"), "6000000");
         r.end(0, Outcome::Broken, 10054);
         r.clock.advance(1000);  // the wait after a break
         ASSERT_EQ(r.conns.size(), 2u);
         EXPECT_FALSE(r.reply(1, r.c(1).req.first, 5000000, ""));
         r.end(1, Outcome::FileChanged);
         r.clock.advance(0);
         EXPECT_EQ(r.outcomes.back(), Outcome::Reconnect);
         EXPECT_TRUE(r.job.state().done.empty());
         EXPECT_EQ(r.stored("Total"), "");
         QueueEntry kept;
         kept.start = 3 << 20;
         kept.total = 6000000;
         r.job.restore(kept, 4096);
         r.open();
         EXPECT_FALSE(r.reply(2, r.c(2).req.first, 5000000, ""));
       }},
      {"another site of a mirror list goes on from the bytes on disk only when tied to them, or compared", 1, 5,
       [](Rig& r) {
         struct Site {
           const char* etag;
           const char* date;
           std::int64_t total;
           int rollbackK;
           bool goesOn;
         };
         for (const Site& s : {Site{"W/\"x\"", "", 100000, 0, false}, Site{"", "", 100000, 0, false},
                               Site{"", "D", 100000, 0, true}, Site{"\"x\"", "", 100000, 0, true},
                               Site{"W/\"x\"", "", 100000, 4, true}, Site{"", "", 90000, 4, false}}) {
           SCOPED_TRACE(std::string(s.etag) + "/" + s.date + "/" + std::to_string(s.rollbackK));
           r.env.app().WriteProfileInt(kSectionConfig, kRollback, s.rollbackK);
           writeWholeFile(r.job.m_d.m_localPath, bytesOf(49152));
           r.job.startFresh();
           std::size_t n = r.conns.size();
           r.open();
           ASSERT_TRUE(r.reply(n, 0, 100000, s.etag, "D"));
           r.write(n, 49152);
           r.job.stop();
           r.job.siteChanged();
           r.open();
           EXPECT_EQ(r.reply(n + 1, r.c(n + 1).req.first, s.total, s.etag, s.date), s.goesOn);
         }
       }},
      {"a checkpoint the store refuses is said once, and tried again with the next bytes", 1, 5,
       [](Rig& r) {
         r.open();
         r.reply(0, 0, 100);
         sqlite3* db = nullptr;
         ASSERT_EQ(sqlite3_open(r.env.path("settings.db").c_str(), &db), SQLITE_OK);
         auto exec = [&](const char* sql) { EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql; };
         exec("CREATE TRIGGER refuse BEFORE INSERT ON profile WHEN NEW.name = 'Start00' "
              "BEGIN SELECT RAISE(ABORT, 'refused'); END");
         r.write(0, 20);
         r.clock.advance(200);
         r.write(0, 20);
         r.clock.advance(200);
         const std::string said = "Cannot save the download's progress in the queue.";
         EXPECT_EQ(std::count(r.notes.begin(), r.notes.end(), said), 1);
         EXPECT_EQ(r.stored("Start"), "");
         exec("DROP TRIGGER refuse");
         sqlite3_close(db);
         r.job.stop();
         EXPECT_EQ(r.stored("Start"), "40");
       }},
      {"a removed entry, or one another process took, gets no checkpoint", 1, 5,
       [](Rig& r) {
         r.open();
         r.reply(0, 0, 100);
         r.env.app().WriteProfileString("Running", "00", "1:1");
         r.write(0, 20);
         r.job.stop();
         EXPECT_EQ(r.stored("Start"), "");
         QueueEntry::remove("00");
         r.lease.take("00");
         r.open();
         r.reply(1, 20, 100);
         r.write(1, 40);
         r.job.stop();
         EXPECT_EQ(r.stored("Start"), "");
         EXPECT_EQ(r.stored("Get"), "");
       }},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    TestEnvironment env;
    env.app().WriteProfileInt(kSectionConfig, kConnections, tc.connections);
    env.app().WriteProfileInt(kSectionConfig, kRetries, tc.retries);
    Rig rig(env);
    tc.run(rig);
  }
}
