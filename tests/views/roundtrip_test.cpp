// What the user does reaches the model, and what the program changes in the model reaches
// the widgets, without one echoing back into the other.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include "platform/drop.h"
#include "platform/qt/icons.h"
#include "resources/ids.h"
#include "view_support.h"

namespace {
using namespace res;

template <class W>
W* widget(qtui::QtDialogView& view, int id) {
  return view.window()->findChild<W*>(QString("c%1").arg(id));
}

TEST_F(ViewTest, TypingReachesTheModelAndModelTextReachesTheEdit) {
  RecordingDialog dlg(IDD_ENTERURL);
  qtui::QtDialogView view(dlg);
  view.started();
  auto* edit = widget<QLineEdit>(view, IDC_ENTERED_URL);
  QTest::keyClicks(edit, "http://host/a b");
  EXPECT_EQ(dlg.ControlText(IDC_ENTERED_URL), "http://host/a b");

  dlg.SetControlText(IDC_ENTERED_URL, "ftp://other/");
  EXPECT_EQ(edit->text(), "ftp://other/");
  // A change the view wrote is not applied back (the cursor stays where the user typed).
  edit->setCursorPosition(3);
  QTest::keyClick(edit, Qt::Key_X);
  EXPECT_EQ(dlg.ControlText(IDC_ENTERED_URL), "ftpx://other/");
  EXPECT_EQ(edit->cursorPosition(), 4);
}

TEST_F(ViewTest, ButtonsEscapeAndCloseReachTheCommandTable) {
  RecordingDialog dlg(IDD_CONFIG);
  qtui::QtDialogView view(dlg);
  view.started();
  QTest::mouseClick(widget<QPushButton>(view, IDC_FIND_HTTP_PROXY), Qt::LeftButton);
  QTest::mouseClick(widget<QPushButton>(view, IDOK), Qt::LeftButton);
  QTest::keyClick(view.window(), Qt::Key_Escape);
  view.window()->close();
  EXPECT_EQ(dlg.commands, (std::vector<int>{IDC_FIND_HTTP_PROXY, IDOK, IDCANCEL, IDCANCEL}));
  EXPECT_TRUE(view.window()->isVisible()) << "closing is the model's decision";
}

TEST_F(ViewTest, EnterPressesTheDefaultButton) {
  RecordingDialog dlg(IDD_PASSWORD);
  qtui::QtDialogView view(dlg);
  view.started();
  auto* user = widget<QLineEdit>(view, IDC_USER);
  user->setFocus();
  QTest::keyClick(user, Qt::Key_Return);
  EXPECT_EQ(dlg.commands, std::vector<int>{IDOK});

  // Held on a button, Enter or Space is one click: its repeats are not more.
  RecordingDialog session(IDD_DOWNLOAD);
  qtui::QtDialogView sessionView(session);
  sessionView.started();
  auto* pause = widget<QPushButton>(sessionView, IDC_PAUSE);
  pause->setFocus();
  for (auto key : {Qt::Key_Return, Qt::Key_Space}) {
    QTest::keyPress(pause, key);
    for (int i = 0; i < 3; ++i) {
      QKeyEvent repeat(QEvent::KeyPress, key, Qt::NoModifier, QString(), true);
      QApplication::sendEvent(pause, &repeat);
    }
    QTest::keyRelease(pause, key);
  }
  EXPECT_EQ(session.commands, (std::vector<int>{IDC_PAUSE, IDC_PAUSE}));
}

TEST_F(ViewTest, CheckBoxesFollowAndReportTheirState) {
  RecordingDialog dlg(IDD_CONFIG);
  qtui::QtDialogView view(dlg);
  view.started();
  auto* box = widget<QCheckBox>(view, IDC_RESUME_SERIAL);
  EXPECT_FALSE(box->isChecked());
  QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
  EXPECT_EQ(dlg.Control(IDC_RESUME_SERIAL)->checked, 1);
  CCtl ctl;
  ctl.Attach(&dlg, IDC_RESUME_SERIAL);
  ctl.SetCheck(0);
  EXPECT_FALSE(box->isChecked());
  EXPECT_TRUE(dlg.commands.empty());
}

TEST_F(ViewTest, ModelChangesOfTheSessionWindowReachTheWidgets) {
  RecordingDialog dlg(IDD_DOWNLOAD);
  qtui::QtDialogView view(dlg);
  view.started();
  CCtl pause, cancel, progress, note, status;
  pause.Attach(&dlg, IDC_PAUSE);
  cancel.Attach(&dlg, IDCANCEL);
  progress.Attach(&dlg, IDC_PROGRESS);
  note.Attach(&dlg, IDC_NO_RESUME_NOTE);
  status.Attach(&dlg, IDC_STATUS_ICON);

  pause.SetWindowText("Resume");
  pause.EnableWindow(false);
  cancel.SetWindowText("Close");
  progress.SetPos(42);
  note.ShowWindow(false);
  dlg.SetWindowText("42% Downloaded by Tarnwick");
  dlg.SetControlText(IDC_URL_TEXT, "http://h/?a=1&b=2");

  EXPECT_EQ(widget<QPushButton>(view, IDC_PAUSE)->text(), "Resume");
  EXPECT_FALSE(widget<QPushButton>(view, IDC_PAUSE)->isEnabled());
  EXPECT_EQ(widget<QPushButton>(view, IDCANCEL)->text(), "Close");
  EXPECT_EQ(widget<QProgressBar>(view, IDC_PROGRESS)->value(), 42);
  EXPECT_FALSE(widget<QLabel>(view, IDC_NO_RESUME_NOTE)->isVisible());
  EXPECT_EQ(view.window()->windowTitle(), "42% Downloaded by Tarnwick");
  // A URL's ampersands are text, not mnemonics.
  EXPECT_EQ(widget<QLabel>(view, IDC_URL_TEXT)->text(), "http://h/?a=1&b=2");

  QWidget* icon = widget<QWidget>(view, IDC_STATUS_ICON);
  QImage before = icon->grab().toImage();
  status.SetIcon(IDI_COMPLETE);
  QImage after = icon->grab().toImage();
  EXPECT_NE(before, after);
  status.SetIcon(IDR_MAINFRAME);
  EXPECT_EQ(icon->grab().toImage(), before);
}

TEST_F(ViewTest, TitleIsShownAsItStands) {
  RecordingDialog dlg(IDD_DOWNLOAD);
  qtui::QtDialogView view(dlg);
  view.started();
  dlg.SetWindowText("Trying: [*]host");
  // What the window system is given, after Qt's handling of its modified marker.
  ASSERT_NE(view.window()->windowHandle(), nullptr);
  EXPECT_EQ(view.window()->windowHandle()->title(), "Trying: [*]host");
}

TEST_F(ViewTest, ListBoxShowsModelOrderAndReportsExtendedSelection) {
  RecordingDialog dlg(IDD_RESUME);
  qtui::QtDialogView view(dlg);
  view.started();
  auto* c = dlg.Control(IDC_QUEUE_LIST);
  c->items = {{"ftp://a/x", 3}, {"http://b/y", 0}, {"http://c/z", 7}};
  dlg.ChangedControl(IDC_QUEUE_LIST);
  auto* list = widget<QListWidget>(view, IDC_QUEUE_LIST);
  ASSERT_EQ(list->count(), 3);
  EXPECT_EQ(list->item(0)->text(), "ftp://a/x");
  EXPECT_EQ(list->item(2)->text(), "http://c/z");
  EXPECT_EQ(list->selectionMode(), QAbstractItemView::ExtendedSelection);

  list->item(2)->setSelected(true);
  list->item(0)->setSelected(true);
  EXPECT_EQ(c->selected, (std::vector<int>{0, 2}));

  // The program deletes an entry and clears the selection.
  c->items.erase(c->items.begin());
  c->selected.clear();
  dlg.ChangedControl(IDC_QUEUE_LIST);
  ASSERT_EQ(list->count(), 2);
  EXPECT_TRUE(list->selectedItems().isEmpty());
  EXPECT_EQ(list->item(0)->text(), "http://b/y");
}

TEST_F(ViewTest, MultiLineEditShowsLinesAndKeepsCrLfInTheModel) {
  RecordingDialog dlg(IDD_HEADERS);
  qtui::QtDialogView view(dlg);
  dlg.SetControlText(IDC_HEADERS_TEXT, "GET / HTTP/1.1\r\nHost: h\r\n\r\n");
  auto* e = widget<QPlainTextEdit>(view, IDC_HEADERS_TEXT);
  EXPECT_EQ(e->toPlainText(), "GET / HTTP/1.1\nHost: h\n\n");
  EXPECT_EQ(e->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_EQ(dlg.ControlText(IDC_HEADERS_TEXT), "GET / HTTP/1.1\r\nHost: h\r\n\r\n");
}

TEST_F(ViewTest, WindowPlacementSizeAndModesFollowTheModel) {
  RecordingDialog dlg(IDD_DROPWND);
  qtui::QtDialogView view(dlg);
  dlg.MoveWindow(120, 80);
  view.started();
  EXPECT_EQ(view.window()->pos(), QPoint(120, 80));
  EXPECT_FALSE(hasMessage(dlg, WM_MOVE)) << "the model's own placement is not a move";

  int h = dlg.Height();
  dlg.SetClientSize(h + 5, h);
  EXPECT_EQ(view.clientArea()->size(), QSize(h + 5, h));
  EXPECT_EQ(view.window()->size(), QSize(h + 5 + 2 * view.margin(), h + 2 * view.margin()));

  dlg.SetTopmost(true);
  EXPECT_TRUE(view.window()->windowFlags() & Qt::WindowStaysOnTopHint);
  dlg.SetTopmost(false);
  EXPECT_FALSE(view.window()->windowFlags() & Qt::WindowStaysOnTopHint);

  view.window()->move(200, 150);
  ASSERT_TRUE(hasMessage(dlg, WM_MOVE));
  EXPECT_EQ(dlg.X(), 200);
  EXPECT_EQ(dlg.Y(), 150);
  EXPECT_EQ(LOWORD_S(dlg.params.back()), 200);
  EXPECT_EQ(HIWORD_S(dlg.params.back()), 150);
}

TEST_F(ViewTest, DropWindowDoubleClicksBecomeMessages) {
  RecordingDialog dlg(IDD_DROPWND);
  qtui::QtDialogView view(dlg);
  view.started();
  QWidget* label = widget<QWidget>(view, IDC_DROP_TEXT);
  QTest::mouseDClick(label, Qt::LeftButton);
  QTest::mouseDClick(view.clientArea(), Qt::RightButton);
  EXPECT_TRUE(hasMessage(dlg, WM_LBUTTONDBLCLK));
  EXPECT_TRUE(hasMessage(dlg, WM_RBUTTONDBLCLK));
}

// Opens the window menu the way a user does and picks the item whose text is given.
void pickFromMenu(const QString& text, QString* shownChecks) {
  QTimer::singleShot(50, [text, shownChecks] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!menu) return;
    for (QAction* a : menu->actions()) {
      if (a->isSeparator()) *shownChecks += "|";
      else *shownChecks += a->text() + (a->isChecked() ? "*" : "") + ";";
    }
    for (QAction* a : menu->actions())
      if (a->text() == text) {
        menu->setActiveAction(a);
        QTest::keyClick(menu, Qt::Key_Return);
        return;
      }
    menu->close();
  });
}

TEST_F(ViewTest, WindowMenuOffersTheModelsItemsWithChecks) {
  RecordingDialog dlg(IDD_DOWNLOAD);
  qtui::QtDialogView view(dlg);
  dlg.AppendSystemMenu(0, "");
  dlg.AppendSystemMenu(IDM_HELP, "Tarnwick &Help");
  dlg.AppendSystemMenu(IDM_VIEW_HEADER, "&View Header...");
  dlg.CheckSystemMenuItem(IDM_VIEW_HEADER, true);
  view.started();

  QString shown;
  pickFromMenu("&View Header...", &shown);
  // The window's top-left icon opens the menu.
  QTest::mouseClick(widget<QWidget>(view, IDC_STATE_ICON), Qt::LeftButton);
  EXPECT_EQ(shown, "Mi&nimize;&Close;|Tarnwick &Help;&View Header...*;");
  ASSERT_FALSE(dlg.messages.empty());
  EXPECT_EQ(dlg.messages.back(), (std::pair<UINT, WPARAM>{WM_SYSCOMMAND, IDM_VIEW_HEADER}));
}

TEST_F(ViewTest, RightClickOpensTheWindowMenuWhereItIsFree) {
  RecordingDialog dlg(IDD_CONFIG);
  qtui::QtDialogView view(dlg);
  dlg.AppendSystemMenu(0, "");
  dlg.AppendSystemMenu(IDM_ABOUTBOX, "&About Tarnwick...");
  view.started();
  QString shown;
  pickFromMenu("&About Tarnwick...", &shown);
  QContextMenuEvent e(QContextMenuEvent::Mouse, QPoint(300, 250), view.window()->mapToGlobal(QPoint(300, 250)));
  QApplication::sendEvent(view.window(), &e);
  EXPECT_EQ(dlg.messages.back(), (std::pair<UINT, WPARAM>{WM_SYSCOMMAND, IDM_ABOUTBOX}));
}

// Drag and drop through the model's drop target.
struct RecordingTarget : COleDropTarget {
  std::vector<DropData> entered, dropped;
  int answer = DROPEFFECT_LINK;
  int OnDragEnter(const DropData& d) override { return entered.push_back(d), d.hasText ? answer : DROPEFFECT_NONE; }
  int OnDragOver(const DropData& d) override { return d.hasText ? answer : DROPEFFECT_NONE; }
  bool OnDrop(const DropData& d) override { return dropped.push_back(d), true; }
};

struct DropCase {
  const char* name;
  const char* format;
  QByteArray data;
  bool accepted;
  std::string text;
};

class DropTest : public ViewTest, public ::testing::WithParamInterface<DropCase> {};

TEST_P(DropTest, OffersOfTextReachTheDropTarget) {
  const DropCase& c = GetParam();
  RecordingDialog dlg(IDD_DROPWND);
  qtui::QtDialogView view(dlg);
  RecordingTarget target;
  target.Register(&dlg);
  view.started();

  QMimeData mime;
  mime.setData(c.format, c.data);
  QPoint at(10, 10);
  QDragEnterEvent enter(at, Qt::CopyAction | Qt::LinkAction, &mime, Qt::LeftButton, {});
  QApplication::sendEvent(view.window(), &enter);
  EXPECT_EQ(enter.isAccepted(), c.accepted);
  ASSERT_EQ(target.entered.size(), 1u);
  EXPECT_EQ(target.entered[0].hasText, c.accepted);
  if (!c.accepted) return;
  EXPECT_EQ(enter.dropAction(), Qt::LinkAction);
  QDropEvent drop(at, Qt::CopyAction | Qt::LinkAction, &mime, Qt::LeftButton, {});
  QApplication::sendEvent(view.window(), &drop);
  ASSERT_EQ(target.dropped.size(), 1u);
  EXPECT_EQ(target.dropped[0].text, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Offers, DropTest,
    ::testing::Values(DropCase{"PlainText", "text/plain", "http://h/f.zip", true, "http://h/f.zip"},
                      DropCase{"TextKeptWithBlanksAndBreaks", "text/plain", "a b\nc", true, "a b\nc"},
                      DropCase{"FirstUri", "text/uri-list", "# comment\r\nhttp://h/1\r\nhttp://h/2\r\n", true,
                               "http://h/1"},
                      DropCase{"ImageOnly", "image/png", "\x89PNG", false, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ViewTest, WithoutDropTargetDragsAreRefused) {
  RecordingDialog dlg(IDD_DOWNLOAD);
  qtui::QtDialogView view(dlg);
  view.started();
  QMimeData mime;
  mime.setText("http://h/");
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction | Qt::LinkAction, &mime, Qt::LeftButton, {});
  QApplication::sendEvent(view.window(), &enter);
  EXPECT_FALSE(enter.isAccepted());
}

TEST(Icons, EveryImageTheProgramShowsHasADrawingOfItsOwn) {
  std::vector<int> ids = {IDR_MAINFRAME,    IDI_BROKEN, IDI_PAUSE,   IDI_COMPLETE,     IDI_DROP_TARGET,
                          IDI_KEY,          IDI_SETTINGS, IDB_ABOUT_BANNER, IDI_LOCAL_FILE, IDI_SIZE,
                          IDI_WORKING,      IDI_PAUSED_STATE, IDI_MIRROR_LIST};
  ids.insert(ids.end(), std::begin(IDI_ACTIVITY_FRAMES), std::end(IDI_ACTIVITY_FRAMES));
  ids.insert(ids.end(), std::begin(IDI_CLOCK_FRAMES), std::end(IDI_CLOCK_FRAMES));
  ASSERT_EQ(ids.size(), 34u);
  std::vector<QImage> seen;
  for (int id : ids) {
    SCOPED_TRACE(id);
    EXPECT_TRUE(qtui::knownImage(id));
    QImage img = id == IDB_ABOUT_BANNER ? qtui::bitmapPixmap(id, QSize(46, 180)).toImage() : qtui::iconPixmap(id, 32).toImage();
    for (const QImage& other : seen) EXPECT_NE(img, other) << "two images look the same";
    seen.push_back(img);
  }
  EXPECT_FALSE(qtui::knownImage(999));
}

}  // namespace
