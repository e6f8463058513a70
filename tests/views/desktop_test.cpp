// The desktop around the windows: the download folder Save As starts in, where new windows
// open among the program's others, what the session window says in words, and notifications.
#include "platform/qt/desktop.h"

#include "platform/file.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <mutex>

#include "platform/qt/notifier.h"
#include "view_support.h"

namespace {

void writeFile(const QString& path, const QByteArray& text) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(text);
}

TEST(DownloadFolder, XdgDirThenDownloadsThenWorkingFolder) {
  QTemporaryDir tmp;
  QString home = tmp.path() + "/home", config = home + "/.config";
  QDir().mkpath(config);
  QDir().mkpath(home + "/Fetched");
  QDir().mkpath(home + "/Downloads");
  QDir().mkpath(tmp.path() + "/elsewhere/dl");
  auto folder = [&] {
    return QString::fromStdString(DesktopDownloadFolder(home.toStdString(), config.toStdString(), "/work"));
  };

  const std::pair<QByteArray, QString> cases[] = {
      {"# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_DOWNLOAD_DIR=\"$HOME/Fetched\"\n",
       home + "/Fetched"},
      {"XDG_DOWNLOAD_DIR=\"" + (tmp.path() + "/elsewhere/dl/").toUtf8() + "\"\n", tmp.path() + "/elsewhere/dl"},
      {"XDG_DOWNLOAD_DIR=\"$HOME/\"\n", home + "/Downloads"},         // turned off
      {"XDG_DOWNLOAD_DIR=\"$HOME/Missing\"\n", home + "/Downloads"},  // not there
      {"XDG_DOWNLOAD_DIR=relative/path\n", home + "/Downloads"},      // not the file's form
      {"", home + "/Downloads"},
  };
  for (const auto& [text, want] : cases) {
    writeFile(config + "/user-dirs.dirs", text);
    EXPECT_EQ(folder(), want) << text.constData();
  }
  QDir(home + "/Downloads").removeRecursively();
  EXPECT_EQ(folder(), "/work");
  EXPECT_EQ(DesktopDownloadFolder("", "", "/work"), "/work");
}

TEST(Cascade, WindowsOpeningTogetherGetPlacesOfTheirOwn) {
  QTemporaryDir tmp;
  const QRect screen(0, 0, 1024, 768);
  const QSize window(400, 200);
  const int step = 26;
  QPoint centre(312, 284);

  // Resume All: five windows at once, each one step further down and right.
  std::vector<std::unique_ptr<qtui::WindowRegistry>> open;
  for (int i = 0; i < 5; ++i) {
    open.push_back(std::make_unique<qtui::WindowRegistry>(tmp.path().toStdString()));
    EXPECT_EQ(open.back()->claim(screen, window, step), centre + QPoint(i, i) * step) << i;
  }
  // A closed window's place is free again; a window moved away frees its place too.
  open[1].reset();
  qtui::WindowRegistry again(tmp.path().toStdString());
  EXPECT_EQ(again.claim(screen, window, step), centre + QPoint(step, step));
  open[0]->record(QPoint(5, 5));
  qtui::WindowRegistry third(tmp.path().toStdString());
  EXPECT_EQ(third.claim(screen, window, step), centre);

  // Places of a process that was killed are cleared away.
  writeFile(tmp.path() + "/999999999-1", "312 284\n");
  EXPECT_EQ(third.others().size(), 5u);
  EXPECT_FALSE(QFile::exists(tmp.path() + "/999999999-1"));

  // Off the bottom of the screen the cascade starts a new run at the top.
  std::vector<QRect> taken;
  for (int i = 0; i < 12; ++i) taken.push_back(QRect(centre + QPoint(i, i) * step, QSize()));
  EXPECT_EQ(qtui::cascadePosition(screen, window, taken, step), QPoint(step, 0));

  // A window kept clear (Downloads, where the cascade would start): a new one opens beside it.
  const QRect downloads(40, 100, 560, 400);
  QPoint beside = qtui::cascadePosition(screen, window, {downloads}, step);
  EXPECT_FALSE(downloads.intersects(QRect(beside, window))) << beside.x() << "," << beside.y();
  EXPECT_TRUE(screen.contains(QRect(beside, window)));
  open[2]->record(downloads.topLeft(), downloads.size());
  qtui::WindowRegistry fourth(tmp.path().toStdString());
  EXPECT_FALSE(downloads.intersects(QRect(fourth.claim(screen, window, step), window)));

  // Windows with a place of their own, all the same (downloads resumed together): the first
  // keeps it, the others cascade from it.
  QTemporaryDir own;
  std::vector<std::unique_ptr<qtui::WindowRegistry>> resumed;
  const QPoint kept(100, 60);
  for (int i = 0; i < 3; ++i) {
    resumed.push_back(std::make_unique<qtui::WindowRegistry>(own.path().toStdString()));
    EXPECT_EQ(resumed.back()->claim(screen, window, step, kept), kept + QPoint(i, i) * step) << i;
  }
  // Beside a Downloads window that leaves the cascade no room, they open side by side still.
  resumed.front()->record(QPoint(150, 150), QSize(800, 600));
  std::vector<QPoint> places;
  for (int i = 0; i < 3; ++i) {
    resumed.push_back(std::make_unique<qtui::WindowRegistry>(own.path().toStdString()));
    places.push_back(resumed.back()->claim(screen, window, step, kept));
    EXPECT_EQ(std::count(places.begin(), places.end(), places.back()), 1) << i;
  }
}

// A dialog opened from a window of the program (Enter URL from Downloads) opens over the
// middle of it, not where the cascade would put a window of its own.
TEST_F(ViewTest, ADialogOpensOverTheWindowItWasOpenedFrom) {
  QTemporaryDir runtime;
  QByteArray was = qgetenv("XDG_RUNTIME_DIR");
  qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
  RecordingDialog parent(res::IDD_OVERVIEW);
  qtui::QtDialogView parentView(parent);
  parentView.started();
  parentView.window()->move(30, 40);
  QApplication::setActiveWindow(parentView.window());
  ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == parentView.window(); }, 2000));
  RecordingDialog child(res::IDD_ENTERURL);
  qtui::QtDialogView childView(child);
  childView.started();
  QPoint off = childView.window()->frameGeometry().center() - parentView.window()->frameGeometry().center();
  EXPECT_LE(off.manhattanLength(), 6) << off.x() << "," << off.y();
  qputenv("XDG_RUNTIME_DIR", was);
}

// The session window's pictures say their state in words too; long paths keep both ends.
TEST_F(ViewTest, SessionWindowSaysItsStateAndShortensPathsInTheMiddle) {
  RecordingDialog dlg(res::IDD_DOWNLOAD);
  qtui::QtDialogView view(dlg);
  auto* bar = view.window()->findChild<QProgressBar*>("c1003");
  // Waiting for its turn is no wait to try again: each says which.
  const std::pair<JobPhase, QString> states[] = {{JobPhase::Paused, "Paused"},
                                                  {JobPhase::Waiting, "Waiting to try again"},
                                                  {JobPhase::Pending, "Waiting for its turn"},
                                                  {JobPhase::Failed, "Failed"},
                                                  {JobPhase::Receiving, ""},
                                                  {JobPhase::Connecting, ""},
                                                  {JobPhase::Finished, "Finished"}};
  for (const auto& [state, words] : states) {
    dlg.SetTaskState(state);
    EXPECT_EQ(bar->isTextVisible() ? bar->text() : QString(), words) << static_cast<int>(state);
  }

  std::string path = "/home/user/" + std::string(200, 'd') + "/release-2.4.zip";
  dlg.SetControlText(1001, path);
  auto* label = view.window()->findChild<QLabel*>("c1001");
  EXPECT_TRUE(label->text().startsWith("/home/user/"));
  EXPECT_TRUE(label->text().endsWith("release-2.4.zip"));
  EXPECT_TRUE(label->text().contains(QChar(0x2026)));
  EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->contentsRect().width());
  EXPECT_EQ(label->toolTip().toStdString(), path);
  dlg.SetControlText(1001, "/tmp/a.zip");
  EXPECT_EQ(label->text(), "/tmp/a.zip");
  EXPECT_TRUE(label->toolTip().isEmpty());
}

// ---- notifications, against a private session bus ----

class FakeNotifications : public QDBusVirtualObject {
 public:
  struct Shown {
    QString summary, body;
    QStringList actions;
  };
  bool handleMessage(const QDBusMessage& m, const QDBusConnection& bus) override {
    if (m.member() != "Notify") return false;
    const QVariantList a = m.arguments();
    std::lock_guard<std::mutex> lock(mutex);
    shown.push_back({a.value(3).toString(), a.value(4).toString(), a.value(5).toStringList()});
    bus.send(m.createReply(QVariantList{QVariant::fromValue(uint(shown.size()))}));
    return true;
  }
  QString introspect(const QString&) const override { return QString(); }
  std::vector<Shown> taken() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(shown, {});
  }

 private:
  std::mutex mutex;
  std::vector<Shown> shown;
};

class Notifications : public ViewTest {
 protected:
  void SetUp() override {
    ViewTest::SetUp();
    if (QStandardPaths::findExecutable("dbus-daemon").isEmpty()) GTEST_SKIP() << "dbus-daemon not installed";
    writeFile(tmp.path() + "/bus.conf",
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig><type>session</type><listen>unix:dir=" +
                  tmp.path().toUtf8() +
                  "</listen>"
                  "<auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                  "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    daemon.start("dbus-daemon", {"--config-file=" + tmp.path() + "/bus.conf", "--nofork", "--print-address=1"});
    ASSERT_TRUE(daemon.waitForReadyRead(5000));
    address = QString::fromUtf8(daemon.readLine()).trimmed();
    qtui::setNotifierBus(QDBusConnection::connectToBus(address, "client"));
  }
  void TearDown() override {
    if (server.isRunning()) {
      server.quit();
      server.wait();
    }
    qtui::setNotifierBus(QDBusConnection(QString()));
    QDBusConnection::disconnectFromBus("client");
    QDBusConnection::disconnectFromBus("service");
    daemon.kill();
    daemon.waitForFinished();
    ViewTest::TearDown();
  }
  // The service answers on a thread of its own, as a separate program would.
  void startService() {
    fake.moveToThread(&server);
    server.start();
    bool ok = false;
    QMetaObject::invokeMethod(
        &fake,
        [&] {
          QDBusConnection bus = QDBusConnection::connectToBus(address, "service");
          ok = bus.registerVirtualObject("/org/freedesktop/Notifications", &fake) &&
               bus.registerService("org.freedesktop.Notifications");
        },
        Qt::BlockingQueuedConnection);
    ASSERT_TRUE(ok);
  }

  QTemporaryDir tmp;
  QProcess daemon;
  QString address;
  QThread server;
  FakeNotifications fake;
};

TEST_F(Notifications, FinishAndBreakAreAnnouncedOnlyWhereAServiceRuns) {
  RecordingDialog dlg(res::IDD_DOWNLOAD);
  qtui::QtDialogView view(dlg);  // never shown: not the window the user looks at
  // The notification names the file the window makes, whatever its lines say.
  const std::string file = "/home/user/Downloads/release-2.4.zip";
  dlg.SetControlText(1001, "3906.2k of 3906.2k (100%)");

  // No service on the bus: nothing is shown, and nothing waits for it.
  EXPECT_FALSE(qtui::notifier().available());
  dlg.SetTaskState(JobPhase::Finished, file);
  EXPECT_EQ(qtui::notifier().notify("x", "y"), 0u);

  startService();
  EXPECT_TRUE(qtui::notifier().available());
  for (JobPhase s : {JobPhase::Receiving, JobPhase::Paused, JobPhase::Waiting, JobPhase::Pending, JobPhase::Failed,
                     JobPhase::Receiving, JobPhase::Finished})
    dlg.SetTaskState(s, file);  // paused by the user, or waiting to try again: nothing to announce
  auto shown = fake.taken();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].summary, "Download failed");
  EXPECT_TRUE(shown[0].body.startsWith("release-2.4.zip"));
  EXPECT_TRUE(shown[0].actions.isEmpty());
  EXPECT_EQ(shown[1].summary, "Download finished");
  EXPECT_EQ(shown[1].body, "release-2.4.zip");
  EXPECT_EQ(shown[1].actions, QStringList({"open", "Open", "folder", "Show in folder"}));

  // Until the user dismisses it, the finished window's process stays to carry out the actions.
  EXPECT_TRUE(qtui::notifier().hasPendingActions());
  QDBusMessage closed = QDBusMessage::createSignal("/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                                                   "NotificationClosed");
  closed << uint(2) << uint(2);
  QDBusConnection("service").send(closed);
  qtui::notifier().settle(5000);
  EXPECT_FALSE(qtui::notifier().hasPendingActions());
}

}  // namespace
