// Session lifecycle: start-up paths, the queue, Cancel, Pause/Resume and connection failures.
#include <gtest/gtest.h>

#include <atomic>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <thread>

#include <fstream>
#include <sstream>

#include <QTimer>

#include "script_server.h"
#include "platform/file.h"
#include "platform/services.h"
#include "platform/socket.h"
#include "session/ending.h"
#include "queue/queue_store.h"
#include "session_helpers.h"
#include "ui/resume_dlg.h"

namespace {

struct Lifecycle : ::testing::Test {
  TestEnvironment env;
};

// Paused at the first break without tries left: the entry stays, as after tries used up.
TEST_F(Lifecycle, RefusedConnectReportsAndKeepsTheEntry) {
  int port = closedPort();
  env.ui().saveAnswers.push_back(env.path("x.zip"));
  std::string url = "http://127.0.0.1:" + std::to_string(port) + "/x.zip";
  auto dlg = runSession(env, url);
  ASSERT_EQ(env.ui().boxes.size(), 1u);
  EXPECT_EQ(env.ui().boxes[0].text,
            "Error connecting to:\n  127.0.0.1\nServer or network may be down.\n\nSocket Error:\n  Connection refused");
  EXPECT_EQ(dlg->m_urlText.GetWindowText(), "Err:  127.0.0.1");
  EXPECT_TRUE(dlg->m_paused);
  EXPECT_EQ(queueValue(env, "Get00"), url);
}

// A download that waits for its turn says so where the window says its state (not as a wait
// to try again), and in the queue. One that failed holds no place.
TEST_F(Lifecycle, ADownloadWaitingForItsTurnSaysSoOnItsBar) {
  env.app().WriteProfileInt(kSectionConfig, kMaxActive, 1);
  QueueEntry busy;  // one running already, in this process's name
  busy.slot = "05";
  busy.url = "http://h/busy.bin";
  busy.save();
  env.app().WriteProfileString("Running", "05", ownLease());
  env.ui().saveAnswers.push_back(env.path("x.zip"));
  env.app().m_lpCmdLine = "http://127.0.0.1:9/x.zip";
  CDownloadDlg dlg;
  QObject scope;
  QTimer::singleShot(0, &scope, [&] {
    EXPECT_TRUE(spinUntil([&] { return dlg.GetTaskState() == JobPhase::Pending; }, 3000));
    EXPECT_EQ(QueueEntry::readText("00", QueueValue::Phase), "pending");
    // The running one failed and rests in its window: it holds no place, and this one starts.
    LiveState failed;
    failed.phase = JobPhase::Failed;
    QueueEntry::publish("05", std::nullopt, failed);
    EXPECT_TRUE(spinUntil([&] { return dlg.GetTaskState() != JobPhase::Pending; }, 3000));
    dlg.EndDialog(IDCANCEL);
  });
  dlg.DoModal();
}

TEST_F(Lifecycle, AQueuedEntryOutlivesAServerThatIsDown) {
  writeWholeFile(env.path("x.zip"), std::string(9000, 'a'));
  CWinApp& app = env.app();
  std::string url = "http://127.0.0.1:" + std::to_string(closedPort()) + "/x.zip";
  app.WriteProfileString(kSectionFileQueue, "Get06", url);
  app.WriteProfileString(kSectionFileQueue, "Local06", env.path("x.zip"));
  app.WriteProfileInt(kSectionFileQueue, "Start06", 9000);
  auto dlg = runSession(env, "#06");
  ASSERT_EQ(env.ui().boxes.size(), 1u);
  EXPECT_NE(env.ui().boxes[0].text.find("Connection refused"), std::string::npos);
  EXPECT_TRUE(dlg->m_paused);
  EXPECT_EQ(queueValue(env, "Get06"), url);
  EXPECT_EQ(queueValue(env, "Start06"), "9000");
}

// After a refused first connect, a Resume in the same window that gets bytes, and "resume
// later? Yes", both leave the entry whole (address and file), for a later start to take up.
TEST_F(Lifecycle, ARefusedFirstConnectLeavesAWholeEntryToResumeOrKeep) {
  for (bool serverComesUp : {true, false}) {
    SCOPED_TRACE(serverComesUp);
    TestEnvironment local;
    int port = closedPort();
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/x.zip";
    local.ui().saveAnswers.push_back(local.path("x.zip"));
    local.ui().endSessionAtRest = false;
    local.ui().boxAnswers = {IDOK, IDYES};  // the refusal, then "resumed later?" Yes
    local.app().m_lpCmdLine = url;
    CDownloadDlg dlg;
    QObject scope;
    std::thread server;
    int listenFd = -1;
    if (serverComesUp) {
      QTimer::singleShot(150, &scope, [&] {
        listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        ASSERT_EQ(::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ::listen(listenFd, 4);
        server = std::thread([&] {
          ScriptConn c(acceptWithTimeout(listenFd, 3000));
          c.readUntil("\r\n\r\n");
          c.send("HTTP/1.1 206 Partial Content\r\nContent-Length: 100000\r\n\r\n" + std::string(1000, 'a'));
          ::usleep(100000);
          c.reset();
        });
      });
      QTimer::singleShot(250, &scope, [&] { dlg.ViewCommand(3); });
    } else {
      QTimer::singleShot(250, &scope, [&] { dlg.ViewCommand(IDCANCEL); });
    }
    QTimer::singleShot(1200, &scope, [&] { dlg.EndDialog(-1); });
    dlg.DoModal();
    local.app().FlushProfile();
    if (server.joinable()) server.join();
    if (listenFd >= 0) ::close(listenFd);
    EXPECT_EQ(queueValue(local, "Get00"), url);
    EXPECT_EQ(queueValue(local, "Local00"), local.path("x.zip"));
    if (serverComesUp) {
      EXPECT_EQ(queueValue(local, "Start00"), "1000");
    }
  }
}

// A queued entry whose file cannot be opened now is kept whole, and the user told why.
TEST_F(Lifecycle, AnOutputFileThatCannotBeOpenedKeepsTheEntry) {
  writeWholeFile(env.path("target"), "someone else's file");
  ASSERT_EQ(::symlink(env.path("target").c_str(), env.path("link.zip").c_str()), 0);
  const std::pair<std::string, std::string> cases[] = {
      {env.path("gone/x.zip"), "No such file or directory"},
      {env.path("link.zip"), "It is a symbolic link"},
  };
  for (const auto& [path, why] : cases) {
    SCOPED_TRACE(path);
    CWinApp& app = env.app();
    app.WriteProfileString(kSectionFileQueue, "Get03", "http://127.0.0.1:" + std::to_string(closedPort()) + "/x.zip");
    app.WriteProfileString(kSectionFileQueue, "Local03", path);
    app.WriteProfileInt(kSectionFileQueue, "Start03", 5000);
    env.ui().boxes.clear();
    runSession(env, "#03");
    ASSERT_EQ(env.ui().boxes.size(), 1u);
    EXPECT_EQ(env.ui().boxes[0].text.rfind("Couldn't open output file:\n  " + path + "\n  " + why, 0), 0u)
        << env.ui().boxes[0].text;
    EXPECT_EQ(queueValue(env, "Local03"), path);
    EXPECT_EQ(queueValue(env, "Start03"), "5000");
  }
  EXPECT_EQ(readWholeFile(env.path("target")), "someone else's file");
}

// A session that gives up removes the empty file it made, never one that was there.
TEST_F(Lifecycle, AFailedSessionLeavesNoEmptyFileOfItsOwn) {
  ScriptServer srv([&](ScriptConn& c, int) {
    c.readUntil("\r\n\r\n");
    c.send(httpReply("404 Not Found", "", "gone"));
    c.close();
  });
  std::string url = "http://127.0.0.1:" + std::to_string(srv.port()) + "/x.zip";
  env.ui().saveAnswers.push_back(env.path("new.zip"));
  runSession(env, url);
  EXPECT_FALSE(FileExists(env.path("new.zip")));
  writeWholeFile(env.path("old.zip"), "");
  env.ui().saveAnswers.push_back(env.path("old.zip"));
  runSession(env, url);
  EXPECT_TRUE(FileExists(env.path("old.zip")));
}

// Said in words, not tried again, and told to a script as a network failure.
TEST_F(Lifecycle, UnresolvableHostIsSaidSo) {
  env.ui().saveAnswers.push_back(env.path("x.zip"));
  auto dlg = runSession(env, "http://no-such-host.invalid/x.zip");
  ASSERT_EQ(env.ui().boxes.size(), 1u);
  EXPECT_EQ(env.ui().boxes[0].text, "Host not found: no-such-host.invalid");
  EXPECT_EQ(sessionStatus(*dlg), 4);
}

// A failure's status is its cause, whether its entry is kept or not; a host that does not
// exist is the same alone and as a queued entry without bytes (as a batch runs its new ones);
// no ending leaves an empty file of the session's making.
int noSuchName(const char*, const char*, const addrinfo*, addrinfo**) { return EAI_NONAME; }
TEST_F(Lifecycle, EndingsTellTheirCauseAndLeaveNoEmptyFile) {
  struct Case {
    const char* name;
    std::string url;
    bool queued;  // run as "#05", an entry with its address and file and no bytes
    int status;
    bool entryKept;
    int retries = 0;
  };
  std::string refused = "http://127.0.0.1:" + std::to_string(closedPort()) + "/x.zip";
  ScriptServer busy([&](ScriptConn& c, int) {
    c.readUntil("\r\n\r\n");
    c.send("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n");
    c.close();
  });
  const Case cases[] = {
      {"a refused connection", refused, false, 4, true},
      {"a refused connection, queued", refused, true, 4, true},
      {"a host not found", "http://gone.test/x.zip", false, 4, false},
      {"a host not found, queued", "http://gone.test/x.zip", true, 4, false},
      {"a busy server after its tries", "http://127.0.0.1:" + std::to_string(busy.port()) + "/x.zip", false, 8, true, 1},
  };
  SetNameLookup(noSuchName);
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    TestEnvironment local;
    local.app().WriteProfileInt(kSectionConfig, kRetries, tc.retries);
    std::string slot = tc.queued ? "05" : "00";
    if (tc.queued) {
      local.app().WriteProfileString(kSectionFileQueue, "Get05", tc.url);
      local.app().WriteProfileString(kSectionFileQueue, "Local05", local.path("x.zip"));
    } else {
      local.ui().saveAnswers.push_back(local.path("x.zip"));
    }
    auto dlg = runSession(local, tc.queued ? "#05" : tc.url);
    EXPECT_EQ(sessionStatus(*dlg), tc.status);
    EXPECT_EQ(QueueEntry::exists(slot), tc.entryKept);
    EXPECT_FALSE(FileExists(local.path("x.zip")));
  }
  SetNameLookup(nullptr);
}

TEST_F(Lifecycle, UnusableUrlsAreRefusedWithTheirMessages) {
  const std::pair<std::string, std::string> cases[] = {
      {"ssh://host/x", "Service unknown for:\n  ssh://host/x\nAborting."},
      {"gopher://host/x", "Sorry, only HTTP or FTP protocols are supported.\nAborting."},
      {"file://c/x", "Sorry, only HTTP or FTP protocols are supported.\nAborting."},
      {"http://host/a\r\nX-Injected: 1", "Service unknown for:\n  http://host/a\r\nX-Injected: 1\nAborting."},
  };
  for (const auto& [url, text] : cases) {
    SCOPED_TRACE(url);
    TestEnvironment local;
    runSession(local, url);
    ASSERT_EQ(local.ui().boxes.size(), 1u);
    EXPECT_EQ(local.ui().boxes[0].text, text);
    EXPECT_TRUE(local.ui().proposedNames.empty());
  }
}

TEST_F(Lifecycle, EmptyCommandLineShowsTheUsage) {
  runSession(env, "");
  ASSERT_EQ(env.ui().boxes.size(), 1u);
  EXPECT_EQ(env.ui().boxes[0].text.rfind("TARNWICK - Web and FTP downloading with request-resume.\nProgram Usage:\n", 0),
            0u);
}

TEST_F(Lifecycle, AHundredQueuedEntriesStillTakeANewUrl) {
  for (int i = 0; i < 100; ++i)
    env.app().WriteProfileString(kSectionFileQueue, Format("Get%02i", i), "http://h/" + std::to_string(i));
  runSession(env, "http://host/new.zip");
  EXPECT_EQ(env.ui().proposedNames, std::vector<std::string>{"new.zip"});
  for (const auto& box : env.ui().boxes) EXPECT_EQ(box.text.find("Too many"), std::string::npos);
  EXPECT_EQ(QueueEntry::loadAll().size(), 100u);  // Save As was cancelled: no entry for it
}

TEST_F(Lifecycle, MissingEntryAndCancelledSaveAs) {
  runSession(env, "#42");
  ASSERT_EQ(env.ui().boxes.size(), 1u);
  EXPECT_EQ(env.ui().boxes[0].text, "Couldn't find information to resume downloading.\nAborting.");

  TestEnvironment local;
  runSession(local, "http://host/dir/");
  EXPECT_EQ(local.ui().proposedNames, std::vector<std::string>{""});
  ASSERT_EQ(local.ui().boxes.size(), 1u);
  EXPECT_EQ(local.ui().boxes[0].text, "'Save As' Dialog cancelled.\nAborting.");
}

// A process that stays alive while the test runs, holding slot 05.
struct OtherProcess {
  pid_t pid = ::fork();
  OtherProcess() {
    if (pid == 0) {
      ::pause();
      ::_exit(0);
    }
  }
  ~OtherProcess() {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  std::string lease() const {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(f, stat);
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 22 && rest >> field; ++i) {
    }
    return std::to_string(pid) + ":" + field;
  }
};

TEST_F(Lifecycle, AnEntryRunsInOneProcessOnly) {
  OtherProcess other;
  CWinApp& app = env.app();
  app.WriteProfileString(kSectionFileQueue, "Get05", "http://127.0.0.1:1/a.zip");
  app.WriteProfileString(kSectionFileQueue, "Local05", env.path("a.zip"));
  app.WriteProfileString("Running", "05", other.lease());
  runSession(env, "#05");
  ASSERT_EQ(env.ui().boxes.size(), 1u);
  EXPECT_NE(env.ui().boxes[0].text.find("already being downloaded"), std::string::npos);
  EXPECT_EQ(queueValue(env, "Get05"), "http://127.0.0.1:1/a.zip");

  // A new URL does not take the slot either, nor does the launcher start it again.
  app.WriteProfileString(kSectionFileQueue, "Get05", nullptr);
  CDownloadDlg dlg;
  EXPECT_TRUE(dlg.allocateQueueSlot());
  EXPECT_EQ(dlg.m_slot, "00");
  app.WriteProfileString(kSectionFileQueue, "Get05", "http://h/x");
  EXPECT_FALSE(resumeQueuedDownloads());

  // One at a time: a running entry is the one, so nothing else starts beside it.
  app.WriteProfileString(kSectionFileQueue, "Get09", "http://h/y");
  EXPECT_TRUE(resumeQueuedDownloads());
  EXPECT_EQ(env.ui().started, std::vector<std::string>{"TARNWICK.EXE #09"});
  app.WriteProfileInt(kSectionConfig, kResumeSerial, 1);
  env.ui().started.clear();
  EXPECT_TRUE(resumeQueuedDownloads());
  EXPECT_TRUE(env.ui().started.empty());
}

// Deleting it would let that process write stray values and leave its file without an entry.
TEST_F(Lifecycle, ResumeDownloadsKeepsAnEntryRunningElsewhere) {
  OtherProcess other;
  for (std::string slot : {"01", "02", "03"}) {
    env.app().WriteProfileString(kSectionFileQueue, "Get" + slot, "http://h/" + slot);
    env.app().WriteProfileString(kSectionFileQueue, "Local" + slot, "/tmp/f" + slot);
  }
  env.app().WriteProfileString("Running", "02", other.lease());
  env.ui().dialogActions[175].push_back([](CDialog& d) {
    auto* list = d.Control(1011);
    EXPECT_EQ(list->items[1].first, "http://h/02 (running)");
    list->selected = {1};
    d.ViewCommand(1012);  // Delete, then Delete All
    d.ViewCommand(1013);
    EXPECT_EQ(list->items.size(), 1u);
    d.ViewCommand(IDCANCEL);
  });
  CResumeDlg().DoModal();
  ASSERT_EQ(env.ui().boxes.size(), 2u);
  EXPECT_EQ(env.ui().boxes[1].text,
            "/tmp/f02 is being downloaded by another Tarnwick window; it cannot be removed now.");
  EXPECT_TRUE(queueEmpty(env, "01") && queueEmpty(env, "03"));
  EXPECT_EQ(queueValue(env, "Local02"), "/tmp/f02");
}

TEST_F(Lifecycle, CancelAnswers) {
  // Yes keeps entry and file; No removes both; Cancel goes on.
  // completes: the rest of the file arrives while the question is open.
  for (auto [answer, completes] : {std::pair{IDYES, false}, {IDNO, false}, {IDCANCEL, false}, {IDNO, true}}) {
    SCOPED_TRACE(answer + 10 * completes);
    TestEnvironment local;
    std::atomic<bool> rest{false};
    CDownloadDlg dlg;
    ScriptServer srv([&](ScriptConn& c, int) {
      c.readUntil("\r\n\r\n");
      c.send("HTTP/1.1 206 Partial Content\r\nContent-Length: 100000\r\n\r\n" + std::string(1000, 'a'));
      for (int i = 0; i < 150 && !rest; ++i) ::usleep(10000);
      if (rest) c.send(std::string(99000, 'a'));
      c.close();
    });
    if (completes)
      local.ui().whileBoxOpen = [&] {
        rest = true;
        spinUntil([&] { return dlg.m_finished != 0; }, 2000);
      };
    local.ui().saveAnswers.push_back(local.path("f.bin"));
    local.ui().endSessionAtRest = true;
    local.app().m_lpCmdLine = "http://127.0.0.1:" + std::to_string(srv.port()) + "/f.bin";
    QObject scope;  // timers end with the iteration
    local.ui().boxAnswers = {answer};
    QTimer::singleShot(400, &scope, [&] { dlg.ViewCommand(IDCANCEL); });
    QTimer::singleShot(3000, &scope, [&] { dlg.EndDialog(-1); });
    dlg.DoModal();
    local.app().FlushProfile();
    ASSERT_GE(local.ui().boxes.size(), 1u);
    EXPECT_EQ(local.ui().boxes[0].text, "Would you like to have this request resumed later?");
    bool fileThere = ::access(local.path("f.bin").c_str(), F_OK) == 0;
    if (completes) {
      // The answer no longer applies: the file stays whole, and no entry.
      EXPECT_TRUE(dlg.m_finished);
      EXPECT_EQ(readWholeFile(local.path("f.bin")).size(), 100000u);
      EXPECT_TRUE(queueEmpty(local, "00"));
    } else if (answer == IDYES) {
      EXPECT_EQ(dlg.Result(), IDCANCEL);
      EXPECT_TRUE(fileThere);
      EXPECT_EQ(queueValue(local, "Start00"), "1000");
    } else if (answer == IDNO) {
      EXPECT_FALSE(fileThere);
      EXPECT_TRUE(queueEmpty(local, "00"));
    } else {
      // The transfer went on until the server broke it off.
      EXPECT_EQ(dlg.Result(), IDCANCEL);
      EXPECT_TRUE(dlg.m_paused);
    }
  }
}

TEST_F(Lifecycle, PauseAndResumeStepBackByTheRollback) {
  std::vector<std::string> ranges;
  const std::string body = bytesOf(60000, 11);
  ScriptServer srv([&](ScriptConn& c, int i) {
    std::string req = c.readUntil("\r\n\r\n");
    if (i == 0) {
      c.send(partialReply(body, 0, "", 10000));
      c.readUntil("never", 2000);
      c.close();
      return;
    }
    c.send(partialReply(body, 5120));
    c.close();
  });
  env.ui().saveAnswers.push_back(env.path("f.bin"));
  env.ui().endSessionAtRest = false;
  env.app().m_lpCmdLine = "http://127.0.0.1:" + std::to_string(srv.port()) + "/f.bin";
  CDownloadDlg dlg;
  QObject scope;
  QTimer::singleShot(500, &scope, [&] {
    dlg.ViewCommand(3);  // Pause
    EXPECT_EQ(dlg.m_job.startOffset(), 10000);
    EXPECT_EQ(dlg.m_pauseButton.GetWindowText(), "Resume");
    EXPECT_EQ(dlg.m_stateIcon.GetIcon(), 173);
    dlg.ViewCommand(3);  // Resume: 10000 - 4096 on a 1024 boundary
    EXPECT_EQ(dlg.m_job.startOffset(), 5120);
  });
  QTimer::singleShot(8000, &scope, [&] { dlg.EndDialog(-1); });
  dlg.DoModal();
  EXPECT_TRUE(dlg.m_finished);
  auto reqs = srv.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_NE(reqs[1].find("Range: bytes=5120- "), std::string::npos);
  EXPECT_EQ(readWholeFile(env.path("f.bin")), body);
}

TEST_F(Lifecycle, FinishWithExitOffKeepsTheWindowAndStartsTheNextQueuedEntry) {
  CWinApp& app = env.app();
  app.WriteProfileInt(kSectionConfig, kExit, 0);
  app.WriteProfileInt(kSectionConfig, kResumeSerial, 1);
  ScriptServer srv([&](ScriptConn& c, int) {
    c.readUntil("\r\n\r\n");
    c.send(httpReply("206 Partial Content", "", "data"));
    c.close();
  });
  app.WriteProfileString(kSectionFileQueue, "Get03", "http://127.0.0.1:" + std::to_string(srv.port()) + "/a");
  app.WriteProfileString(kSectionFileQueue, "Local03", env.path("a"));
  app.WriteProfileString(kSectionFileQueue, "Get07", "http://h/b");
  auto dlg = runSession(env, "#03");
  EXPECT_TRUE(dlg->m_finished);
  EXPECT_FALSE(dlg->m_pauseButton.IsWindowEnabled());
  EXPECT_EQ(dlg->m_statusIcon.GetIcon(), 151);
  EXPECT_EQ(env.ui().started, std::vector<std::string>{"TARNWICK.EXE #07"});
  EXPECT_EQ(env.ui().beeps, std::vector<bool>{false});
}

TEST_F(Lifecycle, WindowPlaceIsKeptInTheEntry) {
  CWinApp& app = env.app();
  app.WriteProfileString(kSectionFileQueue, "Get02", "http://127.0.0.1:1/a");
  app.WriteProfileString(kSectionFileQueue, "Local02", env.path("a"));
  app.WriteProfileInt(kSectionFileQueue, "WindowX", 1);
  app.WriteProfileInt(kSectionFileQueue, "WindowX02", 30);
  app.WriteProfileInt(kSectionFileQueue, "WindowY02", 40);
  app.WriteProfileInt(kSectionFileQueue, "Minimized02", 1);
  env.ui().endSessionAtRest = false;
  app.m_lpCmdLine = "#02";
  CDownloadDlg dlg;
  QObject scope;
  QTimer::singleShot(300, &scope, [&] {
    EXPECT_EQ(dlg.X(), 30);
    EXPECT_EQ(dlg.Y(), 40);
    EXPECT_TRUE(dlg.IsIconic());
    dlg.ViewMoved(99, 99);  // minimized: not kept
    dlg.ViewSized(false);
    dlg.ViewMoved(50, 60);
    dlg.EndDialog(IDCANCEL);
  });
  dlg.DoModal();
  app.FlushProfile();
  EXPECT_EQ(app.GetProfileInt(kSectionFileQueue, "WindowX02", -1), 50);
  EXPECT_EQ(app.GetProfileInt(kSectionFileQueue, "WindowY02", -1), 60);
  EXPECT_EQ(queueValue(env, "Minimized02"), "");
}

}  // namespace
