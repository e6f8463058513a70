#include "scripted_ui.h"

#include "settings/options.h"

#include <stdlib.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/services.h"
#include "resources/ids.h"

namespace {
class TestApp : public CWinApp {
 public:
  bool InitInstance() override { return false; }
};

class ScriptedView : public DialogView, public DialogObserver {
 public:
  ScriptedView(CDialog& dlg, ScriptedUi& ui) : m_dlg(dlg), m_ui(ui) { m_dlg.SetObserver(this); }
  ~ScriptedView() override { *m_alive = false; }
  void started() override {
    auto& q = m_ui.dialogActions[m_dlg.TemplateId()];
    if (!q.empty()) {
      auto action = std::move(q.front());
      q.pop_front();
      QTimer::singleShot(0, [this, action, alive = m_alive] {
        if (!*alive || m_dlg.IsEnded()) return;
        action(m_dlg);
      });
    } else if (m_dlg.TemplateId() != res::IDD_DOWNLOAD) {
      // Nothing scripted: the user presses Cancel.
      QTimer::singleShot(0, [this, alive = m_alive] {
        if (*alive && !m_dlg.IsEnded()) m_dlg.ViewCommand(IDCANCEL);
      });
    }
    checkRest();
  }
  void modelChanged(CDialog&, ModelChange, int) override { checkRest(); }

 private:
  void checkRest() {
    if (!m_ui.endSessionAtRest) return;
    QTimer::singleShot(0, [this, alive = m_alive] {
      if (*alive && m_dlg.IsRunning() && !m_dlg.IsEnded() && m_dlg.IsAtRest()) m_dlg.EndDialog(IDCANCEL);
    });
  }
  CDialog& m_dlg;
  ScriptedUi& m_ui;
  std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};
}  // namespace

int ScriptedUi::messageBox(const std::string& text, UINT type) {
  boxes.push_back({text, type});
  if (whileBoxOpen) whileBoxOpen();
  UINT kind = type & MB_TYPEMASK;
  if (boxAnswers.empty()) return kind == MB_OK ? IDOK : (type & MB_DEFBUTTON2) ? IDNO : IDYES;
  int a = boxAnswers.front();
  boxAnswers.pop_front();
  return a;
}

std::optional<std::string> ScriptedUi::saveAs(const std::string& folder, const std::string& proposedName) {
  proposedNames.push_back(proposedName);
  proposedFolders.push_back(folder);
  if (saveAnswers.empty()) return std::nullopt;
  auto a = saveAnswers.front();
  saveAnswers.pop_front();
  return a;
}

std::unique_ptr<DialogView> ScriptedUi::createView(CDialog& dlg) { return std::make_unique<ScriptedView>(dlg, *this); }

TestEnvironment::TestEnvironment() {
  char tmpl[] = "/tmp/tarnwick-test-XXXXXX";
  m_dir = ::mkdtemp(tmpl);
  auto ui = std::make_unique<ScriptedUi>();
  m_ui = ui.get();
  setUi(std::move(ui));
  SetAppName("tarnwick");
  SetProgramStarter([this](const std::string& cmd) {
    m_ui->started.push_back(cmd);
    return true;
  });
  m_app = std::make_unique<TestApp>();
  m_app->SetProfilePath(m_dir + "/settings.db");
  // A break pauses at once unless a test asks for tries.
  m_app->WriteProfileInt(kSectionConfig, kRetries, 0);
}

TestEnvironment::~TestEnvironment() {
  m_app.reset();
  SetProgramStarter(nullptr);
  setUi(nullptr);
  std::error_code ec;
  std::filesystem::remove_all(m_dir, ec);
}

std::string readWholeFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void writeWholeFile(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << data;
}

bool spinUntil(const std::function<bool()>& pred, int ms) {
  QElapsedTimer t;
  t.start();
  bool ok;
  while (!(ok = pred()) && t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  return ok;
}
