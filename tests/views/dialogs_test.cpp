// Real dialogs of the program in their widget views, and the desktop backend's message boxes.
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "platform/services.h"
#include "resources/ids.h"
#include "ui/config_dlg.h"
#include "ui/password_dlg.h"
#include "view_support.h"

namespace {
using namespace res;

template <class W>
W* widget(qtui::QtDialogView& view, int id) {
  return view.window()->findChild<W*>(QString("c%1").arg(id));
}

class ConfigDialogView : public ViewTest {
 protected:
  void SetUp() override {
    ViewTest::SetUp();
    dlg.m_proxy = "proxy.example:3128";
    dlg.m_proxyFtp = "";
    dlg.m_email = "me@example.org";
    dlg.m_rollback = 4;
    dlg.m_errorBeep = 1;
    dlg.m_doneBeep = 0;
    dlg.m_exitWhenDone = 1;
    dlg.m_resumeSerial = 0;
    dlg.m_downloadDir = "/tmp";
    dlg.m_browserAsk = 1;
    view = std::make_unique<qtui::QtDialogView>(dlg);
    dlg.OnInitDialog();
    view->started();
  }
  CConfigDlg dlg;
  std::unique_ptr<qtui::QtDialogView> view;
};

TEST_F(ConfigDialogView, ShowsTheSettingsItWasGiven) {
  EXPECT_EQ(widget<QLineEdit>(*view, IDC_HTTP_PROXY)->text(), "proxy.example:3128");
  EXPECT_EQ(widget<QLineEdit>(*view, IDC_EMAIL)->text(), "me@example.org");
  EXPECT_EQ(widget<QLineEdit>(*view, IDC_ROLLBACK)->text(), "4");
  EXPECT_EQ(widget<QLineEdit>(*view, IDC_DOWNLOAD_DIR)->text(), "/tmp");
  EXPECT_EQ(widget<QLineEdit>(*view, IDC_RETRIES)->text(), "5");
  EXPECT_EQ(widget<QLineEdit>(*view, IDC_TIMEOUT)->text(), "60");
  const std::pair<int, bool> checks[] = {{IDC_ERROR_BEEP, true},     {IDC_DONE_BEEP, false},  {IDC_EXIT_WHEN_DONE, true},
                                         {IDC_RESUME_SERIAL, false}, {IDC_FTP_PASSIVE, true},
                                         {IDC_BROWSER_ASK, true}};
  for (auto [id, on] : checks) EXPECT_EQ(widget<QCheckBox>(*view, id)->isChecked(), on) << id;
  EXPECT_EQ(view->window()->windowTitle(), "Configure Tarnwick");
  // The check boxes read as one list: one type, however long each text is.
  for (auto [id, on] : checks)
    EXPECT_EQ(widget<QCheckBox>(*view, id)->font(), widget<QCheckBox>(*view, IDC_ERROR_BEEP)->font()) << id;
}

TEST_F(ConfigDialogView, EditsAndChecksComeBackOnOk) {
  auto* rollback = widget<QLineEdit>(*view, IDC_ROLLBACK);
  rollback->selectAll();
  QTest::keyClicks(rollback, "12");
  QTest::mouseClick(widget<QCheckBox>(*view, IDC_DONE_BEEP), Qt::LeftButton, {}, QPoint(5, 5));
  QTest::mouseClick(widget<QPushButton>(*view, IDOK), Qt::LeftButton);
  EXPECT_TRUE(dlg.IsEnded());
  EXPECT_EQ(dlg.Result(), IDOK);
  EXPECT_EQ(dlg.m_rollback, 12);
  EXPECT_EQ(dlg.m_doneBeep, 1);
  EXPECT_TRUE(boxes->shown.empty());
}

// Browse beside the download folder starts where the field points and fills it; a chooser
// cancelled changes nothing.
TEST_F(ConfigDialogView, BrowseChoosesTheDownloadFolder) {
  auto* field = widget<QLineEdit>(*view, IDC_DOWNLOAD_DIR);
  auto* browse = widget<QPushButton>(*view, IDC_BROWSE_DOWNLOAD_DIR);
  ASSERT_NE(browse, nullptr);
  QTest::mouseClick(browse, Qt::LeftButton);
  EXPECT_EQ(field->text(), "/tmp");
  boxes->folderAnswer = "/var/tmp";
  QTest::mouseClick(browse, Qt::LeftButton);
  EXPECT_EQ(field->text(), "/var/tmp");
  EXPECT_EQ(boxes->folderAsked, (std::vector<std::string>{"/tmp", "/tmp"}));
  QTest::mouseClick(widget<QPushButton>(*view, IDOK), Qt::LeftButton);
  EXPECT_EQ(dlg.m_downloadDir, "/var/tmp");
}

TEST_F(ConfigDialogView, RefusedRollbackKeepsTheDialogOpen) {
  auto* rollback = widget<QLineEdit>(*view, IDC_ROLLBACK);
  rollback->selectAll();
  QTest::keyClicks(rollback, "101");
  QTest::mouseClick(widget<QPushButton>(*view, IDOK), Qt::LeftButton);
  EXPECT_FALSE(dlg.IsEnded());
  ASSERT_EQ(boxes->shown.size(), 1u);
  EXPECT_EQ(boxes->shown[0], "Please enter an integer between 0 and 100.");
}

class PasswordDialogView : public ViewTest {};

TEST_F(PasswordDialogView, PasswordIsMaskedAndTypingStopsAtForty) {
  CPasswordDlg dlg;
  dlg.m_prompt = "Enter username and password for realm at host";
  qtui::QtDialogView view(dlg);
  dlg.OnInitDialog();
  view.started();
  auto* user = widget<QLineEdit>(view, IDC_USER);
  auto* pass = widget<QLineEdit>(view, IDC_PASSWORD);
  EXPECT_EQ(pass->echoMode(), QLineEdit::Password);
  EXPECT_EQ(user->echoMode(), QLineEdit::Normal);
  EXPECT_EQ(view.window()->findChild<QWidget*>(QString("c%1").arg(IDC_PASSWORD_PROMPT))->property("text").toString().toStdString(), dlg.m_prompt);

  QTest::keyClicks(pass, QString(45, 'p'));
  EXPECT_EQ(dlg.ControlText(IDC_PASSWORD), std::string(40, 'p'));
  QTest::keyClicks(user, "alice");
  QTest::mouseClick(widget<QPushButton>(view, IDOK), Qt::LeftButton);
  EXPECT_EQ(dlg.Result(), IDOK);
  EXPECT_EQ(dlg.m_user, "alice");
  EXPECT_EQ(dlg.m_password, std::string(40, 'p'));
}

TEST_F(PasswordDialogView, LongerPrefilledNameIsKeptForOkToRefuse) {
  CPasswordDlg dlg;
  dlg.m_user = std::string(45, 'u');
  qtui::QtDialogView view(dlg);
  dlg.OnInitDialog();
  view.started();
  EXPECT_EQ(widget<QLineEdit>(view, IDC_USER)->text().size(), 45);
  QTest::mouseClick(widget<QPushButton>(view, IDOK), Qt::LeftButton);
  EXPECT_FALSE(dlg.IsEnded());
  ASSERT_EQ(boxes->shown.size(), 1u);
  EXPECT_EQ(boxes->shown[0], "Please enter no more than 40 characters.");
}

// The desktop backend's message boxes: caption, exact text, buttons and the answer.
struct BoxCase {
  const char* name;
  UINT type;
  QMessageBox::StandardButton press;  // NoButton: press Escape
  int expected;
  QMessageBox::Icon icon;
};

class MessageBoxTest : public ::testing::TestWithParam<BoxCase> {};

TEST_P(MessageBoxTest, AnswersWithTheButtonPressed) {
  const BoxCase& c = GetParam();
  SetAppName("tarnwick");
  auto qtUi = makeQtUi();
  QString caption, text;
  Qt::TextFormat format = Qt::AutoText;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QTimer::singleShot(50, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    caption = box->windowTitle();
    text = box->text();
    format = box->textFormat();
    icon = box->icon();
    if (c.press == QMessageBox::NoButton)
      QTest::keyClick(box, Qt::Key_Escape);
    else
      box->button(c.press)->click();
  });
  int r = qtUi->messageBox("Error connecting to:\n  <host>\nServer or network may be down.", c.type);
  EXPECT_EQ(r, c.expected);
  EXPECT_EQ(caption, "tarnwick");
  EXPECT_EQ(text, "Error connecting to:\n  <host>\nServer or network may be down.");
  EXPECT_EQ(format, Qt::PlainText);
  EXPECT_EQ(icon, c.icon);
}

INSTANTIATE_TEST_SUITE_P(
    Types, MessageBoxTest,
    ::testing::Values(BoxCase{"Ok", MB_OK, QMessageBox::Ok, IDOK, QMessageBox::Critical},
                      BoxCase{"OkEscape", MB_OK | MB_ICONEXCLAMATION, QMessageBox::NoButton, IDOK,
                              QMessageBox::Warning},
                      BoxCase{"Yes", MB_YESNO, QMessageBox::Yes, IDYES, QMessageBox::Question},
                      BoxCase{"No", MB_YESNO | MB_ICONQUESTION, QMessageBox::No, IDNO, QMessageBox::Question},
                      BoxCase{"CancelByEscape", MB_YESNOCANCEL | MB_ICONQUESTION, QMessageBox::NoButton, IDCANCEL,
                              QMessageBox::Question},
                      BoxCase{"NoOfThree", MB_YESNOCANCEL, QMessageBox::No, IDNO, QMessageBox::Question},
                      BoxCase{"Hand", MB_OK | MB_ICONHAND, QMessageBox::Ok, IDOK, QMessageBox::Critical}),
    [](const auto& info) { return std::string(info.param.name); });

// Boxes that name no icon still show their kind: failures, notices and warnings.
TEST(MessageBoxIcon, KindFollowsButtonsAndWords) {
  const std::tuple<UINT, const char*, QMessageBox::Icon> cases[] = {
      {MB_OK, "Couldn't open output file:\n  /x\nAborting.", QMessageBox::Critical},
      {MB_OK, "Connection refused\n\nSocket Error:\n  Connection refused", QMessageBox::Critical},
      {MB_OK, "No requests needed to be resumed.", QMessageBox::Information},
      {MB_OK, "Invalid proxy server format.\nUse format:\n   server.name:port", QMessageBox::Warning},
      {MB_YESNO, "Would you like to have this request resumed later?", QMessageBox::Question},
      {MB_OK | MB_ICONEXCLAMATION, "Error writing to output file:\n  /x\nAborting.", QMessageBox::Warning},
  };
  for (const auto& [type, text, icon] : cases) EXPECT_EQ(qtui::messageIcon(type, text), icon) << text;
}

}  // namespace
