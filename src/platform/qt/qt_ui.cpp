// The desktop backend: message boxes, Save As, sounds, help and the clipboard through Qt,
// and a widget view for every dialog.
#include "platform/qt/qt_ui.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>

#include "platform/qt/dialog_view.h"
#include "platform/qt/icons.h"
#include "resources/ids.h"
#include "platform/services.h"

namespace qtui {
namespace {

QMessageBox::Icon iconOf(UINT type) {
  switch (type & 0xF0) {
    case MB_ICONHAND: return QMessageBox::Critical;
    case MB_ICONQUESTION: return QMessageBox::Question;
    case MB_ICONEXCLAMATION: return QMessageBox::Warning;
    case 0x40: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
  }
}

class QtUi : public UiBackend {
 public:
  int messageBox(const std::string& text, UINT type) override {
    QMessageBox box(iconOf(type), QString::fromStdString(AppName()), QString::fromStdString(text));
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowIcon(windowIcon(res::IDR_MAINFRAME));
    switch (type & MB_TYPEMASK) {
      case MB_YESNO:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::No);
        break;
      case MB_YESNOCANCEL:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::Cancel);
        break;
      default:
        box.setStandardButtons(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Ok);
        break;
    }
    box.exec();
    switch (box.standardButton(box.clickedButton())) {
      case QMessageBox::Yes: return IDYES;
      case QMessageBox::No: return IDNO;
      case QMessageBox::Cancel: return IDCANCEL;
      default: return IDOK;
    }
  }

  std::optional<std::string> saveAs(const std::string& proposedName) override {
    QFileDialog dlg(nullptr, "Save As", QDir::current().filePath(QString::fromStdString(proposedName)));
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setFileMode(QFileDialog::AnyFile);
    // "*.*" means every file to the program's users; as a Qt pattern it would hide names
    // without a dot, so the filter matches everything.
    dlg.setNameFilter("All Files (*)");
    dlg.setOption(QFileDialog::DontConfirmOverwrite, false);
    dlg.setWindowModality(Qt::ApplicationModal);
    dlg.selectFile(QString::fromStdString(proposedName));
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return std::nullopt;
    return QFile::encodeName(dlg.selectedFiles().first()).toStdString();
  }

  std::unique_ptr<DialogView> createView(CDialog& dlg) override { return std::make_unique<QtDialogView>(dlg); }

  void beep(bool error) override {
    static const QString player = QStandardPaths::findExecutable("canberra-gtk-play");
    if (!player.isEmpty() &&
        QProcess::startDetached(player, {"--id", error ? "dialog-error" : "complete", "--description", "Tarnwick"}))
      return;
    QApplication::beep();
  }

  void openHelp(int context) override {
    QUrl url = QUrl::fromLocalFile(QString::fromStdString(HelpFilePath()));
    if (context != 0) url.setFragment(QString("ctx-%1").arg(context));
    QDesktopServices::openUrl(url);
  }

  bool setClipboardText(const std::string& text) override {
    QGuiApplication::clipboard()->setText(QString::fromStdString(text));
    return true;
  }
};

struct WidgetEventLoop : EventLoop {
  WidgetEventLoop(int& argc, char** argv) : app(argc, argv) {}
  QApplication app;
};

}  // namespace
}  // namespace qtui

std::unique_ptr<EventLoop> makeWidgetEventLoop(int& argc, char** argv) {
  return std::make_unique<qtui::WidgetEventLoop>(argc, argv);
}

std::unique_ptr<UiBackend> makeQtUi() {
  // Windows come and go inside one job (message boxes, nested dialogs); the job's own end
  // decides when the process stops, not the last window closing.
  QApplication::setQuitOnLastWindowClosed(false);
  return std::make_unique<qtui::QtUi>();
}
