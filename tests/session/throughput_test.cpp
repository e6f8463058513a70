// What a file of a batch costs the process: the store's write transactions, and an event
// loop that every download shares, kept free while a finished file is read back.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/digest.h"
#include "script_server.h"
#include "session/batch.h"
#include "session_helpers.h"

namespace {

// Serves body for every request of every connection, kept alive as a server does.
ScriptServer::Handler servingAlive(const std::string& body) {
  return [body](ScriptConn& c, int) {
    while (c.readUntil("\r\n\r\n").find("\r\n\r\n") != std::string::npos)
      c.send(httpReply("200 OK", "ETag: \"v1\"\r\nLast-Modified: Mon, 01 Jan 2024 00:00:00 GMT\r\n", body));
  };
}

// The store's write transactions a batch of n small files makes.
std::uint64_t batchWrites(int n) {
  TestEnvironment env;
  // Room for all at once: a claim refused for want of room is the line's cost, not the file's.
  env.app().WriteProfileInt(kSectionConfig, kMaxActive, n);
  const std::string body = bytesOf(64 << 10, 7);
  ScriptServer srv(servingAlive(body));
  std::vector<std::string> urls;
  for (int i = 0; i < n; ++i) urls.push_back("http://127.0.0.1:" + std::to_string(srv.port()) + "/f" + std::to_string(i));
  std::vector<std::string> made;
  std::string id = queueBatch(urls, env.dir(), false, RequestOptions(), made);
  // Names the files have already (as after a resume): making a new file at its start and
  // saying so before its first byte costs one more, for a kill in between.
  for (const auto& slot : made) QueueEntry::write(slot, {{QueueValue::NewFile, ProfileData()}});
  std::uint64_t before = env.app().Store()->commits();
  std::vector<int> statuses;
  {
    BatchRun batch(id, made, BatchRun::Mode::Sessions);
    statuses = batch.run();
  }
  std::uint64_t writes = env.app().Store()->commits() - before;
  EXPECT_EQ(statuses, std::vector<int>(n, 0));
  for (int i = 0; i < n; ++i) EXPECT_EQ(readWholeFile(env.path("f" + std::to_string(i))), body);
  EXPECT_TRUE(QueueEntry::loadAll().empty());
  return writes;
}

// A file done within its first second is started in one write transaction (its claim) and
// ended in one (its entry and its lease gone together): nothing else of it is written.
TEST(Throughput, EachSmallFileOfABatchCostsTwoWriteTransactions) {
  std::uint64_t one = batchWrites(1), four = batchWrites(4);
  EXPECT_LE(four - one, 3u * 2) << "one file: " << one << ", four: " << four;
}

// The checksum is read back off the event loop: the file's path is made a pipe before its
// last byte comes, and the loop itself must feed that pipe for the check to end. Read on the
// loop, the pipe would stay empty (a watchdog ends the wait, and the check then fails).
TEST(Throughput, TheLoopRunsWhileTheFileIsReadBackForItsChecksum) {
  TestEnvironment env;
  const std::string body = bytesOf(300000, 9);
  std::atomic<bool> lastByte{false};
  ScriptServer srv([&](ScriptConn& c, int) {
    c.readUntil("\r\n\r\n");
    c.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body.substr(0, body.size() - 1));
    for (int i = 0; i < 1000 && !lastByte; ++i) ::usleep(10000);
    c.send(body.substr(body.size() - 1));
    c.close();
  });
  const std::string path = env.path("f.bin"), kept = env.path("f.bin.real");
  writeWholeFile(kept, body);
  std::string why;
  auto expected = FileDigest(kept, "sha256", why);
  ASSERT_TRUE(expected);
  env.ui().saveAnswers.push_back(path);
  env.app().m_lpCmdLine = "http://127.0.0.1:" + std::to_string(srv.port()) + "/f.bin";
  CDownloadDlg dlg;
  dlg.m_checksum = *expected;

  std::mutex m;
  std::condition_variable cv;
  bool over = false;
  std::thread feeder;
  // Should the loop be held, the pipe is given an end after a while: the wait ends, wrongly.
  std::thread watchdog([&] {
    std::unique_lock lock(m);
    if (cv.wait_for(lock, std::chrono::seconds(20), [&] { return over; })) return;
    int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
  });
  bool piped = false, fed = false;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    if (!piped && dlg.m_job.state().bytesDone() == static_cast<std::int64_t>(body.size()) - 1) {
      // The job writes on through the file it holds open; the path is the pipe's now.
      ASSERT_EQ(std::rename(path.c_str(), (path + ".got").c_str()), 0);
      ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
      piped = true;
      lastByte = true;
    } else if (piped && !fed) {
      // Opens only once a reader has the pipe open: the check is under way.
      int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd < 0) return;
      ::fcntl(fd, F_SETFL, 0);
      fed = true;
      feeder = std::thread([fd, &body] {
        if (::write(fd, body.data(), body.size()) < 0) std::perror("feeding the pipe");
        ::close(fd);
      });
    }
  });
  ticker.start(0);
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [&] { dlg.EndDialog(-1); });
  guard.start(30000);
  dlg.DoModal();
  ticker.stop();
  {
    std::lock_guard lock(m);
    over = true;
  }
  cv.notify_all();
  watchdog.join();
  if (feeder.joinable()) feeder.join();
  EXPECT_TRUE(fed) << "the pipe was never read while the loop ran";
  EXPECT_TRUE(dlg.m_finished);
  EXPECT_TRUE(env.ui().boxes.empty()) << env.ui().boxes[0].text;
  EXPECT_EQ(readWholeFile(path + ".got"), body);
}

// Another process holding the store's write lock stalls no session: a checkpoint the store
// refuses for now is tried again from a timer while the loop goes on, and lands once the
// lock goes. (Waiting in the loop, the checkpoint would hold it until the holder gave up.)
TEST(Throughput, AStoreHeldByAnotherWriterStallsNoLoop) {
  TestEnvironment env;
  const std::string body = bytesOf(90000, 4);
  std::atomic<int> go{0};
  auto await = [&](int step) {
    for (int i = 0; i < 3000 && go < step; ++i) ::usleep(10000);
  };
  ScriptServer srv([&](ScriptConn& c, int) {
    c.readUntil("\r\n\r\n");
    c.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body.substr(0, 30000));
    await(1);
    c.send(body.substr(30000, 30000));
    await(2);
    c.send(body.substr(60000));
    c.close();
  });
  env.ui().saveAnswers.push_back(env.path("f.bin"));
  env.app().m_lpCmdLine = "http://127.0.0.1:" + std::to_string(srv.port()) + "/f.bin";
  CDownloadDlg dlg;
  ProfileStore* store = env.app().Store();

  // The other writer: a connection of its own, on a thread, holding a write transaction once asked.
  std::mutex m;
  std::condition_variable cv;
  bool take = false, held = false, release = false;
  std::thread holder([&] {
    {
      std::unique_lock lock(m);
      cv.wait(lock, [&] { return take || release; });
      if (release) return;
    }
    ProfileStore other(store->path());
    other.transaction([&] {
      other.writeString("Other", "Writer", "holds");
      std::unique_lock lock(m);
      held = true;
      cv.notify_all();
      cv.wait_for(lock, std::chrono::seconds(20), [&] { return release; });
    });
  });
  auto holding = [&] {
    std::lock_guard lock(m);
    return held && !release;
  };
  int ticksWhileRefused = 0;
  bool refused = false;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    std::int64_t done = dlg.m_job.state().bytesDone();
    if (go == 0 && done == 30000) {
      std::unique_lock lock(m);
      take = true;
      cv.notify_all();
      cv.wait(lock, [&] { return held; });
      go = 1;  // the next bytes come while the store is held
    } else if (go == 1 && holding() && done == 60000) {
      refused = refused || store->busy();
      if (refused && ++ticksWhileRefused == 3) {
        std::lock_guard lock(m);
        release = true;
        cv.notify_all();
      }
    } else if (go == 1 && !holding() && QueueEntry::readInt(dlg.m_slot, QueueValue::Start, 0) == 60000) {
      go = 2;
    }
  });
  ticker.start(0);
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [&] { dlg.EndDialog(-1); });
  guard.start(40000);
  dlg.DoModal();
  ticker.stop();
  {
    std::lock_guard lock(m);
    release = true;
  }
  cv.notify_all();
  go = 2;
  holder.join();
  EXPECT_EQ(ticksWhileRefused, 3) << "the loop did not run while the store was held";
  EXPECT_TRUE(dlg.m_finished);
  EXPECT_EQ(readWholeFile(env.path("f.bin")), body);
}

}  // namespace
