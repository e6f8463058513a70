// Desktop notifications (the freedesktop Notifications service on the session bus) for a
// download that finishes or breaks while its window is not the one the user looks at.
#pragma once
#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <map>

namespace qtui {

class Notifier : public QObject {
  Q_OBJECT

 public:
  explicit Notifier(const QDBusConnection& bus);
  // Whether a notification service runs (or would be started) on the bus.
  bool available() const;
  // Shows summary and body; a finished file gets "Open" and "Show in folder". Returns the
  // notification's id, 0 when nothing was shown.
  uint notify(const QString& summary, const QString& body, const QString& finishedFile = QString());
  // The process is about to end: gives the user up to ms to act on a notification that
  // offers actions, since nobody else would carry them out.
  void settle(int ms);
  bool hasPendingActions() const { return !m_files.empty(); }

 private slots:
  void onActionInvoked(uint id, const QString& action);
  void onClosed(uint id, uint reason);

 private:
  QDBusConnection m_bus;
  std::map<uint, QString> m_files;  // notifications with actions, by id
};

// The notifier of this process, on the session bus unless a test chose another.
Notifier& notifier();
void setNotifierBus(const QDBusConnection& bus);

}  // namespace qtui
