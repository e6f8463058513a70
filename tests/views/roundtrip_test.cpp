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
#include "view_support.h"

namespace {

template <class W>
W* widget(qtui::QtDialogView& view, int id) {
  return view.window()->findChild<W*>(QString("c%1").arg(id));
}

TEST_F(ViewTest, TypingReachesTheModelAndModelTextReachesTheEdit) {
  RecordingDialog dlg(178);
  qtui::QtDialogView view(dlg);
  view.started();
  auto* edit = widget<QLineEdit>(view, 1035);
  QTest::keyClicks(edit, "http://host/a b");
  EXPECT_EQ(dlg.ControlText(1035), "http://host/a b");

  dlg.SetControlText(1035, "ftp://other/");
  EXPECT_EQ(edit->text(), "ftp://other/");
  // A change the view wrote is not applied back (the cursor stays where the user typed).
  edit->setCursorPosition(3);
  QTest::keyClick(edit, Qt::Key_X);
  EXPECT_EQ(dlg.ControlText(1035), "ftpx://other/");
  EXPECT_EQ(edit->cursorPosition(), 4);
}

TEST_F(ViewTest, ButtonsEscapeAndCloseReachTheCommandTable) {
  RecordingDialog dlg(150);
  qtui::QtDialogView view(dlg);
  view.started();
  QTest::mouseClick(widget<QPushButton>(view, 1028), Qt::LeftButton);
  QTest::mouseClick(widget<QPushButton>(view, 1), Qt::LeftButton);
  QTest::keyClick(view.window(), Qt::Key_Escape);
  view.window()->close();
  EXPECT_EQ(dlg.commands, (std::vector<int>{1028, IDOK, IDCANCEL, IDCANCEL}));
  EXPECT_TRUE(view.window()->isVisible()) << "closing is the model's decision";
}

TEST_F(ViewTest, EnterPressesTheDefaultButton) {
  RecordingDialog dlg(153);
  qtui::QtDialogView view(dlg);
  view.started();
  auto* user = widget<QLineEdit>(view, 1014);
  user->setFocus();
  QTest::keyClick(user, Qt::Key_Return);
  EXPECT_EQ(dlg.commands, std::vector<int>{IDOK});
}

TEST_F(ViewTest, CheckBoxesFollowAndReportTheirState) {
  RecordingDialog dlg(150);
  qtui::QtDialogView view(dlg);
  view.started();
  auto* box = widget<QCheckBox>(view, 1011);
  EXPECT_FALSE(box->isChecked());
  QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
  EXPECT_EQ(dlg.Control(1011)->checked, 1);
  CCtl ctl;
  ctl.Attach(&dlg, 1011);
  ctl.SetCheck(0);
  EXPECT_FALSE(box->isChecked());
  EXPECT_TRUE(dlg.commands.empty());
}

TEST_F(ViewTest, ModelChangesOfTheSessionWindowReachTheWidgets) {
  RecordingDialog dlg(102);
  qtui::QtDialogView view(dlg);
  view.started();
  CCtl pause, cancel, progress, note, status;
  pause.Attach(&dlg, 3);
  cancel.Attach(&dlg, 2);
  progress.Attach(&dlg, 1003);
  note.Attach(&dlg, 1025);
  status.Attach(&dlg, 1005);

  pause.SetWindowText("Resume");
  pause.EnableWindow(false);
  cancel.SetWindowText("Close");
  progress.SetPos(42);
  note.ShowWindow(false);
  dlg.SetWindowText("42% Downloaded by Tarnwick");
  dlg.SetControlText(1000, "http://h/?a=1&b=2");

  EXPECT_EQ(widget<QPushButton>(view, 3)->text(), "Resume");
  EXPECT_FALSE(widget<QPushButton>(view, 3)->isEnabled());
  EXPECT_EQ(widget<QPushButton>(view, 2)->text(), "Close");
  EXPECT_EQ(widget<QProgressBar>(view, 1003)->value(), 42);
  EXPECT_FALSE(widget<QLabel>(view, 1025)->isVisible());
  EXPECT_EQ(view.window()->windowTitle(), "42% Downloaded by Tarnwick");
  // A URL's ampersands are text, not mnemonics.
  EXPECT_EQ(widget<QLabel>(view, 1000)->text(), "http://h/?a=1&b=2");

  QWidget* icon = view.window()->findChild<QWidget*>("c1005");
  QImage before = icon->grab().toImage();
  status.SetIcon(151);
  QImage after = icon->grab().toImage();
  EXPECT_NE(before, after);
  status.SetIcon(128);
  EXPECT_EQ(icon->grab().toImage(), before);
}

TEST_F(ViewTest, TitleIsShownAsItStands) {
  RecordingDialog dlg(102);
  qtui::QtDialogView view(dlg);
  view.started();
  dlg.SetWindowText("Trying: [*]host");
  // What the window system is given, after Qt's handling of its modified marker.
  ASSERT_NE(view.window()->windowHandle(), nullptr);
  EXPECT_EQ(view.window()->windowHandle()->title(), "Trying: [*]host");
}

TEST_F(ViewTest, ListBoxShowsModelOrderAndReportsExtendedSelection) {
  RecordingDialog dlg(175);
  qtui::QtDialogView view(dlg);
  view.started();
  auto* c = dlg.Control(1011);
  c->items = {{"ftp://a/x", 3}, {"http://b/y", 0}, {"http://c/z", 7}};
  dlg.ChangedControl(1011);
  auto* list = widget<QListWidget>(view, 1011);
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
  dlg.ChangedControl(1011);
  ASSERT_EQ(list->count(), 2);
  EXPECT_TRUE(list->selectedItems().isEmpty());
  EXPECT_EQ(list->item(0)->text(), "http://b/y");
}

TEST_F(ViewTest, MultiLineEditShowsLinesAndKeepsCrLfInTheModel) {
  RecordingDialog dlg(174);
  qtui::QtDialogView view(dlg);
  dlg.SetControlText(1026, "GET / HTTP/1.1\r\nHost: h\r\n\r\n");
  auto* e = widget<QPlainTextEdit>(view, 1026);
  EXPECT_EQ(e->toPlainText(), "GET / HTTP/1.1\nHost: h\n\n");
  EXPECT_EQ(e->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_EQ(dlg.ControlText(1026), "GET / HTTP/1.1\r\nHost: h\r\n\r\n");
}

TEST_F(ViewTest, WindowPlacementSizeAndModesFollowTheModel) {
  RecordingDialog dlg(149);
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
  RecordingDialog dlg(149);
  qtui::QtDialogView view(dlg);
  view.started();
  QWidget* label = view.window()->findChild<QWidget*>("c1027");
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
  RecordingDialog dlg(102);
  qtui::QtDialogView view(dlg);
  dlg.AppendSystemMenu(0, "");
  dlg.AppendSystemMenu(17, "Tarnwick &Help");
  dlg.AppendSystemMenu(18, "&View Header...");
  dlg.CheckSystemMenuItem(18, true);
  view.started();

  QString shown;
  pickFromMenu("&View Header...", &shown);
  // The window's top-left icon opens the menu.
  QTest::mouseClick(view.window()->findChild<QWidget*>("c1020"), Qt::LeftButton);
  EXPECT_EQ(shown, "Mi&nimize;&Close;|Tarnwick &Help;&View Header...*;");
  ASSERT_FALSE(dlg.messages.empty());
  EXPECT_EQ(dlg.messages.back(), (std::pair<UINT, WPARAM>{WM_SYSCOMMAND, 18}));
}

TEST_F(ViewTest, RightClickOpensTheWindowMenuWhereItIsFree) {
  RecordingDialog dlg(150);
  qtui::QtDialogView view(dlg);
  dlg.AppendSystemMenu(0, "");
  dlg.AppendSystemMenu(16, "&About Tarnwick...");
  view.started();
  QString shown;
  pickFromMenu("&About Tarnwick...", &shown);
  QContextMenuEvent e(QContextMenuEvent::Mouse, QPoint(300, 250), view.window()->mapToGlobal(QPoint(300, 250)));
  QApplication::sendEvent(view.window(), &e);
  EXPECT_EQ(dlg.messages.back(), (std::pair<UINT, WPARAM>{WM_SYSCOMMAND, 16}));
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
  RecordingDialog dlg(149);
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
  RecordingDialog dlg(102);
  qtui::QtDialogView view(dlg);
  view.started();
  QMimeData mime;
  mime.setText("http://h/");
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction | Qt::LinkAction, &mime, Qt::LeftButton, {});
  QApplication::sendEvent(view.window(), &enter);
  EXPECT_FALSE(enter.isAccepted());
}

TEST(Icons, EveryImageTheProgramShowsHasADrawingOfItsOwn) {
  const int ids[] = {128, 130, 131, 132, 133, 135, 136, 138, 139, 140, 141, 142, 143, 144, 145, 146, 151,
                     152, 154, 155, 158, 161, 162, 163, 164, 165, 166, 167, 168, 169, 170, 172, 173, 177};
  std::vector<QImage> seen;
  for (int id : ids) {
    SCOPED_TRACE(id);
    EXPECT_TRUE(qtui::knownImage(id));
    QImage img = id == 158 ? qtui::bitmapPixmap(id, QSize(46, 180)).toImage() : qtui::iconPixmap(id, 32).toImage();
    for (const QImage& other : seen) EXPECT_NE(img, other) << "two images look the same";
    seen.push_back(img);
  }
  EXPECT_FALSE(qtui::knownImage(999));
}

}  // namespace
