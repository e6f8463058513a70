// The Downloads window offscreen: the table from a seeded store (words, masking, the bar),
// sorting by a heading, a finished download kept, Remove asked first, and the size kept; the
// line of waiting ones moved and jumped, Pause all, and the settings written as typed.
#include <algorithm>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <ctime>
#include <fstream>
#include <sstream>

#include "platform/app.h"
#include "platform/control.h"
#include "platform/drop.h"
#include "platform/services.h"
#include "queue/overview.h"
#include "queue/queue_entry.h"
#include "resources/ids.h"
#include "settings/options.h"
#include "ui/overview_dlg.h"
#include "view_support.h"

namespace {
using namespace res;

struct StoreApp : CWinApp {
  bool InitInstance() override { return false; }
};

LiveState published(JobPhase phase, std::int64_t size, std::int64_t done, std::int64_t rate, int connections) {
  LiveState l;
  l.phase = phase, l.size = size, l.done = done, l.rate = rate, l.connections = connections;
  return l;
}

std::string leaseOf(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat, field;
  std::getline(f, stat);
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  for (int i = 3; i <= 22 && rest >> field; ++i) {
  }
  return std::to_string(pid) + ":" + field;
}

class OverviewView : public ViewTest {
 protected:
  void SetUp() override {
    ViewTest::SetUp();
    app.SetProfilePath(dir.filePath("settings.db").toStdString());
    holder = ::fork();
    if (holder == 0) {
      ::pause();
      ::_exit(0);
    }
    struct Seed {
      const char* slot;
      std::string url, file;
      std::int64_t start, size, rate, retryIn;
      const char* phase;
      bool running;
    };
    for (const Seed& s : {Seed{"03", "http://me:pw@h/q.iso", path("q.iso"), 500, 2000, 0, 0, "", false},
                          Seed{"07", "http://h/a.zip", path("a.zip"), 1000, 4000, 100, 0, "receiving", true},
                          Seed{"09", "ftp://h/w.bin", path("w.bin"), 0, 0, 0, 65, "waiting", true}}) {
      QueueEntry e;
      e.slot = s.slot;
      e.url = s.url;
      e.localPath = s.file;
      e.start = s.start;
      e.live.phase = phaseOf(s.phase);
      if (!*s.phase) e.live.phase = JobPhase::Idle;
      e.live.size = s.size, e.live.done = s.start, e.live.rate = s.rate;
      e.live.retryAt = s.retryIn ? std::time(nullptr) + s.retryIn : 0;
      e.live.connections = s.running ? 1 : 0;
      e.save();
      if (s.running) app.WriteProfileString("Running", s.slot, leaseOf(holder));
    }
  }
  void TearDown() override {
    view.reset();
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ViewTest::TearDown();
  }
  std::string path(const std::string& name) { return dir.filePath(QString::fromStdString(name)).toStdString(); }
  void open() {
    view = std::make_unique<qtui::QtDialogView>(dlg);
    dlg.OnInitDialog();
    view->started();
  }
  QTreeWidget* table() { return view->window()->findChild<QTreeWidget*>(QString("c%1").arg(IDC_OVERVIEW_LIST)); }
  std::vector<QString> column(int c) {
    std::vector<QString> out;
    for (int r = 0; r < table()->topLevelItemCount(); ++r) out.push_back(table()->topLevelItem(r)->text(c));
    return out;
  }

  QTemporaryDir dir;
  StoreApp app;
  pid_t holder = 0;
  COverviewDlg dlg;
  std::unique_ptr<qtui::QtDialogView> view;
};

TEST_F(OverviewView, ShowsEveryDownloadSortsAndKeepsTheFinished) {
  open();
  ASSERT_EQ(table()->topLevelItemCount(), 3);
  EXPECT_EQ(column(0), (std::vector<QString>{"#03", "#07", "#09"}));
  EXPECT_EQ(table()->headerItem()->text(5), "Time left");
  EXPECT_EQ(column(1), (std::vector<QString>{"q.iso", "a.zip", "w.bin"}));
  EXPECT_EQ(column(3), (std::vector<QString>{"500 B (25%)", "1000 B (25%)", "0 B"}));
  EXPECT_EQ(column(5)[1], "0:30");
  EXPECT_EQ(column(6)[0], "Queued");
  EXPECT_EQ(column(6)[1], "Receiving");
  EXPECT_TRUE(column(6)[2].startsWith("Trying again in 1:0")) << column(6)[2].toStdString();
  EXPECT_EQ(column(7), (std::vector<QString>{"", "1", "1"}));
  EXPECT_EQ(column(8)[0], "http://me:***@h/q.iso");
  EXPECT_EQ(dlg.Control(IDC_OVERVIEW_LIST)->bars, (std::vector<int>{25, 25, -1}));
  // Receiving, and no byte comes: said so, not "Receiving" beside an empty rate.
  QueueEntry::publish("07", std::nullopt, published(JobPhase::Receiving, 4000, 1000, 0, 1));
  dlg.refresh();
  EXPECT_EQ(column(6)[1], "No data for 1 s");
  EXPECT_EQ(column(4)[1], "");

  // A heading sorts by its column, numbers as numbers; a second click turns it round.
  QHeaderView* header = table()->header();
  for (auto [clicks, order] : {std::pair{1, std::vector<QString>{"w.bin", "q.iso", "a.zip"}},
                               std::pair{1, std::vector<QString>{"a.zip", "q.iso", "w.bin"}}}) {
    for (int i = 0; i < clicks; ++i)
      QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(header->sectionPosition(2) + 5, 5));
    EXPECT_EQ(column(1), order);
  }

  // a.zip completes between two looks: its entry goes with word of it, and it stays listed
  // as finished. w.bin's entry goes without that word, its file at full size (as a reserved
  // file always is): it failed or was removed, and is no longer listed.
  for (const char* name : {"a.zip", "w.bin"}) std::ofstream(path(name)) << std::string(4000, 'x');
  QueueEntry::removeFinished("07");
  QueueEntry::remove("09");
  dlg.refresh();
  ASSERT_EQ(column(1), (std::vector<QString>{"a.zip", "q.iso"}));  // still by size, downwards
  EXPECT_EQ(column(6)[0], "Finished");
  EXPECT_EQ(column(0)[0], "");  // its entry went: the number is no longer its own
  EXPECT_EQ(column(3)[0], "3.9 KiB (100%)");
  EXPECT_EQ(dlg.Control(IDC_OVERVIEW_LIST)->bars[0], 100);

  // Resume starts a queued download in a copy of its own; a link dropped on the window, a new one.
  std::vector<std::string> started;
  SetProgramStarter([&](const std::string& cmd) { return started.push_back(cmd), true; });
  table()->clearSelection();
  table()->topLevelItem(1)->setSelected(true);
  QTest::mouseClick(view->window()->findChild<QPushButton*>(QString("c%1").arg(IDC_OVERVIEW_RESUME)), Qt::LeftButton);
  EXPECT_TRUE(dlg.DropTarget()->OnDrop(DropData{true, "http://h/new.iso"}));
  SetProgramStarter(nullptr);
  EXPECT_EQ(started, (std::vector<std::string>{"TARNWICK.EXE #03", "TARNWICK.EXE http://h/new.iso"}));

  // Remove asks first; No keeps everything, Yes removes the queued entry and the finished line,
  // then asks apart whether the partial file goes too (No unless the user says so).
  { std::ofstream(path("q.iso")) << "part"; }
  table()->clearSelection();
  for (int r : {0, 1}) table()->topLevelItem(r)->setSelected(true);
  boxes->answers = {IDNO, IDYES, IDYES};
  auto* remove = view->window()->findChild<QPushButton*>(QString("c%1").arg(IDC_OVERVIEW_REMOVE));
  for (int answer = 0; answer < 2; ++answer) QTest::mouseClick(remove, Qt::LeftButton);
  ASSERT_EQ(boxes->shown.size(), 3u);
  EXPECT_EQ(boxes->shown[0], "Remove 2 downloads from the list?\nA running download is stopped.");
  EXPECT_EQ(boxes->shown[2], "Delete its partial file too?");
  EXPECT_TRUE(QTest::qWaitFor([&] { return !QueueEntry::exists("03"); }, 3000));
  EXPECT_FALSE(QFile::exists(QString::fromStdString(path("q.iso"))));
  EXPECT_EQ(column(1), std::vector<QString>{});
}

// Failed downloads stay, with why, until removed: one whose entry went (a missing file) and
// one whose copy ended keeping it (a refused connection).
// A download that finished before it said its size has its file's; and a rate that appears
// later is not cut off.
TEST_F(OverviewView, FailedOnesStayWithWhyFinishedOnesKeepTheirSize) {
  QueueEntry::recordFailed("04", "http://h/nothere.zip", path("nothere.zip"), "Not found: http://h/nothere.zip");
  QueueEntry kept;
  kept.slot = "05";
  kept.url = "http://h/r.bin";
  kept.localPath = path("r.bin");
  kept.live.phase = JobPhase::Failed;
  kept.live.reason = "Connection refused";
  kept.save();
  open();
  EXPECT_EQ(column(0), (std::vector<QString>{"#03", "#04", "#05", "#07", "#09"}));
  EXPECT_EQ(column(6)[1], "Failed: Not found: http://h/nothere.zip");
  EXPECT_EQ(column(6)[2], "Failed: Connection refused");

  // Said by the one that failed as it failed: read alike from --list.
  auto rows = readOverview();
  std::string listed = overviewTable(rows);
  auto at04 = listed.find("\n#04");
  EXPECT_NE(listed.substr(at04, listed.find('\n', at04 + 1) - at04).find("failed: Not found"), std::string::npos) << listed;
  EXPECT_NE(overviewJson(rows).find("\"state\": \"failed\""), std::string::npos);

  // A rate that appears after the table was laid out fits its column.
  QueueEntry::publish("09", std::nullopt, published(JobPhase::Receiving, 0, 10, 1023 * 1024 * 1024, 1));
  dlg.refresh();
  QString rate = column(4)[4];
  EXPECT_EQ(rate, "1023.0 MiB/s");
  EXPECT_GT(table()->columnWidth(4), table()->fontMetrics().horizontalAdvance(rate));

  // a.zip completes within its first second: no size published, the file's is taken.
  QueueEntry::publish("07", std::nullopt, published(JobPhase::Finished, 0, 0, 0, 0));
  dlg.refresh();
  std::ofstream(path("a.zip")) << std::string(4000, 'x');
  QueueEntry::removeFinished("07");
  dlg.refresh();
  auto files = column(1);
  auto at = std::find(files.begin(), files.end(), "a.zip") - files.begin();
  ASSERT_LT(at, static_cast<long>(files.size()));
  EXPECT_EQ(column(2)[static_cast<std::size_t>(at)], "3.9 KiB");
  EXPECT_EQ(column(3)[static_cast<std::size_t>(at)], "3.9 KiB (100%)");

  // Remove takes a failed one, its word or its entry.
  table()->clearSelection();
  for (int r = 0; r < table()->topLevelItemCount(); ++r)
    if (table()->topLevelItem(r)->text(6).startsWith("Failed")) table()->topLevelItem(r)->setSelected(true);
  boxes->answers = {IDYES};
  QTest::mouseClick(view->window()->findChild<QPushButton*>(QString("c%1").arg(IDC_OVERVIEW_REMOVE)), Qt::LeftButton);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !QueueEntry::exists("05") && QueueEntry::failed().empty(); }, 3000));
  dlg.refresh();
  auto numbers = column(0);
  EXPECT_EQ(std::count(numbers.begin(), numbers.end(), "#04"), 0);
}

// Three downloads wait for their turn, each in a copy of its own (one process stands for all,
// and one socket answers for it).
TEST_F(OverviewView, WaitingOnesMoveStartNowAndPauseAll) {
  for (auto [slot, turn] : {std::pair{"11", 1}, {"12", 2}, {"13", 3}}) {
    QueueEntry e;
    e.slot = slot;
    e.url = std::string("http://h/") + slot;
    e.turn = turn;
    e.save();
    app.WriteProfileString("Running", slot, leaseOf(holder));
  }
  QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  qputenv("XDG_RUNTIME_DIR", dir.path().toUtf8());
  std::vector<std::string> asked;
  ControlServer copy;
  ASSERT_TRUE(copy.listen(controlPathOf(leaseOf(holder)), [&](const std::string& r) { return asked.push_back(r), "ok"; }));
  open();
  auto click = [&](int id) {
    QTest::mouseClick(view->window()->findChild<QPushButton*>(QString("c%1").arg(id)), Qt::LeftButton);
  };
  auto select = [&](const std::vector<int>& rows) {
    table()->clearSelection();
    for (int r : rows) table()->topLevelItem(r)->setSelected(true);
  };
  auto line = [&] {
    auto all = column(0);
    return std::vector<QString>(all.begin() + 3, all.end());
  };
  EXPECT_EQ(column(0), (std::vector<QString>{"#03", "#07", "#09", "#11", "#12", "#13"}));
  EXPECT_EQ(column(6)[3], "Waiting for its turn");
  EXPECT_EQ(dlg.ControlText(IDC_OVERVIEW_TOTALS), "2 running, 3 waiting for their turn, 100 B/s in all");

  // Moved one place; two together keep their order; at the head of the line one stays, and so
  // does the one behind it.
  const std::pair<std::vector<int>, int> moves[] = {{{5}, IDC_OVERVIEW_MOVE_UP},
                                                         {{3, 4}, IDC_OVERVIEW_MOVE_DOWN},
                                                         {{3, 4}, IDC_OVERVIEW_MOVE_UP}};
  const std::vector<QString> after[] = {{"#11", "#13", "#12"}, {"#12", "#11", "#13"}, {"#12", "#11", "#13"}};
  for (int i = 0; i < 3; ++i) {
    select(moves[i].first);
    click(moves[i].second);
    EXPECT_EQ(line(), after[i]) << "move " << i;
  }

  // Start now: the last in line goes first, its copy told to go on (it may have been paused);
  // a queued download that no process runs starts in a copy of its own.
  std::vector<std::string> started;
  SetProgramStarter([&](const std::string& cmd) { return started.push_back(cmd), true; });
  select({0, 5});
  click(IDC_OVERVIEW_START_NOW);
  SetProgramStarter(nullptr);
  EXPECT_EQ(started, std::vector<std::string>{"TARNWICK.EXE #03"});
  EXPECT_TRUE(QTest::qWaitFor([&] { return asked.size() == 1; }, 3000));
  EXPECT_EQ(asked, std::vector<std::string>{"resume 13"});
  dlg.refresh();
  EXPECT_EQ(line(), (std::vector<QString>{"#13", "#12", "#11"}));

  // Pause all reaches every copy, the waiting ones too (a paused one would let the next start).
  asked.clear();
  click(IDC_OVERVIEW_PAUSE_ALL);
  EXPECT_TRUE(QTest::qWaitFor([&] { return asked.size() == 5; }, 3000));
  std::sort(asked.begin(), asked.end());
  EXPECT_EQ(asked, (std::vector<std::string>{"pause 07", "pause 09", "pause 11", "pause 12", "pause 13"}));
  EXPECT_TRUE(boxes->shown.empty());

  // The settings are written as they are typed, once they are valid.
  auto* active = view->window()->findChild<QLineEdit*>(QString("c%1").arg(IDC_OVERVIEW_MAX_ACTIVE));
  auto* total = view->window()->findChild<QLineEdit*>(QString("c%1").arg(IDC_OVERVIEW_TOTAL_SPEED));
  EXPECT_EQ(active->text(), "3");
  for (auto [field, typed, name, stored] : {std::tuple{active, "7", "MaxActive", 7}, {active, "0", "MaxActive", 7},
                                            {active, "x", "MaxActive", 7}, {total, "250", "TotalMaxSpeed", 256000}}) {
    field->clear();
    QTest::keyClicks(field, typed);
    EXPECT_EQ(app.GetProfileInt("Config", name, -1), stored) << typed;
  }
  qputenv("XDG_RUNTIME_DIR", runtime);
}

TEST_F(OverviewView, RemembersTheSizeTheUserGaveIt) {
  open();
  QSize before = view->window()->size();
  view->window()->resize(before + QSize(120, 80));
  QApplication::processEvents();
  int w = dlg.Width(), h = dlg.Height();
  EXPECT_EQ(app.GetProfileInt("Overview", "Width", 0), w);
  EXPECT_EQ(app.GetProfileInt("Overview", "Height", 0), h);
  EXPECT_GT(table()->height(), 0);
  COverviewDlg again;
  qtui::QtDialogView second(again);
  again.OnInitDialog();
  EXPECT_EQ(std::pair(again.Width(), again.Height()), std::pair(w, h));
}

}  // namespace
