#include "platform/qt/notifier.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDesktopServices>
#include <QEventLoop>
#include <QFileInfo>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>
#include <memory>

namespace qtui {
namespace {
const QString kService = "org.freedesktop.Notifications";
const QString kPath = "/org/freedesktop/Notifications";
// A bus that does not answer must not hold up the download's window.
constexpr int kCallTimeoutMs = 2000;

std::unique_ptr<Notifier> g_notifier;
}  // namespace

Notifier::Notifier(const QDBusConnection& bus) : m_bus(bus) {
  if (!m_bus.isConnected()) return;
  m_bus.connect(kService, kPath, kService, "ActionInvoked", this, SLOT(onActionInvoked(uint, QString)));
  m_bus.connect(kService, kPath, kService, "NotificationClosed", this, SLOT(onClosed(uint, uint)));
}

bool Notifier::available() const {
  if (!m_bus.isConnected() || !m_bus.interface()) return false;
  auto* bus = m_bus.interface();
  if (bus->isServiceRegistered(kService)) return true;
  QDBusReply<QStringList> activatable = bus->activatableServiceNames();
  return activatable.isValid() && activatable.value().contains(kService);
}

uint Notifier::notify(const QString& summary, const QString& body, const QString& finishedFile) {
  if (!available()) return 0;
  QStringList actions;
  if (!finishedFile.isEmpty())
    actions << "open"
            << "Open"
            << "folder"
            << "Show in folder";
  QVariantMap hints;
  hints["desktop-entry"] = QStringLiteral("org.quillfern.Tarnwick");
  hints["category"] = finishedFile.isEmpty() ? QStringLiteral("transfer.error") : QStringLiteral("transfer.complete");
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, "Notify");
  call << QStringLiteral("Tarnwick") << uint(0) << QStringLiteral("org.quillfern.Tarnwick") << summary << body
       << actions << hints << int(-1);
  QDBusMessage reply = m_bus.call(call, QDBus::Block, kCallTimeoutMs);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return 0;
  uint id = reply.arguments().first().toUInt();
  if (id != 0 && !finishedFile.isEmpty()) m_files[id] = finishedFile;
  return id;
}

void Notifier::settle(int ms) {
  if (m_files.empty()) return;
  QEventLoop loop;
  QTimer timer;
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
  timer.start(ms);
  while (!m_files.empty() && timer.isActive()) loop.processEvents(QEventLoop::WaitForMoreEvents);
}

void Notifier::onActionInvoked(uint id, const QString& action) {
  auto it = m_files.find(id);
  if (it == m_files.end()) return;
  QString file = it->second;
  m_files.erase(it);
  if (action == "open" || action == "default") {
    QDesktopServices::openUrl(QUrl::fromLocalFile(file));
  } else if (action == "folder") {
    // The file manager selects the file where it can; otherwise its folder is opened.
    QDBusMessage show = QDBusMessage::createMethodCall("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                                                       "org.freedesktop.FileManager1", "ShowItems");
    show << QStringList{QUrl::fromLocalFile(file).toString()} << QString();
    QDBusMessage r = m_bus.call(show, QDBus::Block, kCallTimeoutMs);
    if (r.type() != QDBusMessage::ReplyMessage)
      QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(file).absolutePath()));
  }
}

void Notifier::onClosed(uint id, uint) { m_files.erase(id); }

Notifier& notifier() {
  if (!g_notifier) g_notifier = std::make_unique<Notifier>(QDBusConnection::sessionBus());
  return *g_notifier;
}

void setNotifierBus(const QDBusConnection& bus) { g_notifier = std::make_unique<Notifier>(bus); }

}  // namespace qtui
