// The desktop backend: message boxes, Save As, sounds, help and the clipboard through Qt,
// and a widget view for every dialog.
#include "platform/qt/qt_ui.h"

#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "platform/qt/desktop.h"
#include "platform/file.h"
#include "platform/qt/dialog_view.h"
#include "platform/qt/icons.h"
#include "resources/ids.h"
#include "platform/services.h"
#include "platform/text.h"

namespace qtui {

QMessageBox::Icon messageIcon(UINT type, const std::string& text) {
  switch (type & 0xF0) {
    case MB_ICONHAND: return QMessageBox::Critical;
    case MB_ICONQUESTION: return QMessageBox::Question;
    case MB_ICONEXCLAMATION: return QMessageBox::Warning;
    case 0x40: return QMessageBox::Information;
    default: break;
  }
  // Most boxes name no icon; their kind shows in their buttons and words.
  if ((type & MB_TYPEMASK) == MB_YESNO || (type & MB_TYPEMASK) == MB_YESNOCANCEL) return QMessageBox::Question;
  auto ends = [&text](const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
  };
  if (ends("Aborting.") || text.rfind("Error", 0) == 0 || text.find("\nSocket Error:") != std::string::npos)
    return QMessageBox::Critical;
  if (text.rfind("No requests", 0) == 0 || text.find("Program Usage:") != std::string::npos)
    return QMessageBox::Information;
  return QMessageBox::Warning;
}

namespace {

// The help pages in a window of the program's own: no URL opener or browser is needed.
class HelpWindow : public QDialog {
 public:
  HelpWindow() {
    setWindowTitle("Tarnwick Help");
    setWindowIcon(qtui::windowIcon(res::IDR_MAINFRAME));
    // The program's dialogs are modal; help opened from one must still take input.
    setWindowModality(Qt::ApplicationModal);
    auto* layout = new QVBoxLayout(this);
    browser = new QTextBrowser(this);
    browser->setObjectName("helpBrowser");
    browser->setOpenExternalLinks(true);
    layout->addWidget(browser);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    layout->addWidget(buttons);
    QFontMetrics fm(font());
    resize(fm.averageCharWidth() * 80, fm.height() * 34);
  }
  QTextBrowser* browser;
};

class QtUi : public UiBackend {
 public:
  int messageBox(const std::string& text, UINT type) override {
    QMessageBox box(messageIcon(type, text), QString::fromStdString(AppName()), QString::fromStdString(displayText(text)));
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowIcon(windowIcon(res::IDR_MAINFRAME));
    switch (type & MB_TYPEMASK) {
      case MB_YESNO:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton((type & MB_DEFBUTTON2) ? QMessageBox::No : QMessageBox::Yes);
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

  // Else the desktop's download folder, as other programs on the desktop propose it.
  std::string saveFolder(const std::string& folder) override {
    return folder.empty() ? DesktopDownloadFolder(CurrentFolder()) : folder;
  }

  std::optional<std::string> saveAs(const std::string& proposedFolder, const std::string& proposedName) override {
    QDir folder(QFile::decodeName(QByteArray::fromStdString(saveFolder(proposedFolder))));
    QFileDialog dlg(nullptr, "Save As", folder.filePath(QString::fromStdString(proposedName)));
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setFileMode(QFileDialog::AnyFile);
    // "*.*" means every file to the program's users; as a Qt pattern it would hide names
    // without a dot, so the filter matches everything.
    dlg.setNameFilter("All Files (*)");
    dlg.setOption(QFileDialog::DontConfirmOverwrite, false);
    dlg.setWindowModality(Qt::ApplicationModal);
    dlg.setDirectory(folder);
    dlg.selectFile(QString::fromStdString(proposedName));
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return std::nullopt;
    return QFile::encodeName(dlg.selectedFiles().first()).toStdString();
  }

  std::optional<std::string> chooseFolder(const std::string& start) override {
    QString at = QFile::decodeName(QByteArray::fromStdString(start.empty() ? DesktopDownloadFolder(CurrentFolder()) : start));
    QFileDialog dlg(QApplication::activeWindow(), "Download folder", at);
    dlg.setFileMode(QFileDialog::Directory);
    dlg.setOption(QFileDialog::ShowDirsOnly, true);
    dlg.setWindowModality(Qt::ApplicationModal);
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
    if (!m_help) m_help = std::make_unique<HelpWindow>();
    m_help->browser->setSource(url);
    if (context == 0) m_help->browser->verticalScrollBar()->setValue(0);
    m_help->show();
    m_help->raise();
    m_help->activateWindow();
  }

  bool setClipboardText(const std::string& text) override {
    QGuiApplication::clipboard()->setText(QString::fromStdString(text));
    return true;
  }

  bool openFile(const std::string& path) override {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
  }

 private:
  std::unique_ptr<HelpWindow> m_help;
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
  // Ties the windows to the installed menu entry (its icon and name in docks and task bars).
  QGuiApplication::setDesktopFileName("org.quillfern.Tarnwick");
  return std::make_unique<qtui::QtUi>();
}
