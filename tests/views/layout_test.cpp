// Every dialog is laid out from its template: window size, each control's place, its kind of
// widget and its text.
#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>

#include "resources/ids.h"
#include "view_support.h"

namespace {
using namespace res;

class TemplateLayout : public ViewTest, public ::testing::WithParamInterface<int> {};

TEST_P(TemplateLayout, ControlsSitAtTheirTemplatePlaces) {
  Units u;
  RecordingDialog dlg(GetParam());
  qtui::QtDialogView view(dlg);
  const DialogTemplate& t = dlg.Template();

  // The model knows its size before initialisation (the drop window measures it then).
  EXPECT_EQ(dlg.Width(), u.x(t.cx));
  EXPECT_EQ(dlg.Height(), u.y(t.cy));
  EXPECT_EQ(view.clientArea()->size(), QSize(u.x(t.cx), u.y(t.cy)));
  int m = view.margin();
  int menu = view.clientArea()->y() - m;
  EXPECT_GT(m, 0);
  EXPECT_EQ(view.clientArea()->x(), m);
  EXPECT_EQ(view.window()->size(), QSize(u.x(t.cx) + 2 * m, u.y(t.cy) + menu + 2 * m));
  EXPECT_EQ(menu > 0, t.menuId != 0);

  for (std::size_t i = 0; i < t.controls.size(); ++i) {
    const ControlTemplate& c = t.controls[i];
    SCOPED_TRACE("control " + std::to_string(i) + " id " + std::to_string(c.id));
    QWidget* w = view.controlWidget(i);
    ASSERT_NE(w, nullptr);
    QRect g = w->geometry();
    EXPECT_EQ(g.x(), u.x(c.x));
    if (c.kind == ControlKind::Line) {
      EXPECT_EQ(g.y(), u.y(c.y));
      EXPECT_EQ(g.height(), std::max(2, u.y(c.cy)));
    } else if (c.kind == ControlKind::Picture && !(c.style & cs::Bitmap)) {
      // An icon keeps only its square of the place.
      EXPECT_EQ(g.y(), u.y(c.y));
      EXPECT_EQ(g.width(), g.height());
      EXPECT_LE(g.height(), u.y(c.cy));
      continue;
    } else if (c.kind == ControlKind::Label && (qobject_cast<QLabel*>(w)->alignment() & Qt::AlignVCenter)) {
      // Moved onto the baseline of the field beside it: within the template's row still.
      EXPECT_LE(std::abs(g.center().y() - (u.y(c.y) + u.y(c.cy) / 2)), u.y(4));
    } else if (c.kind == ControlKind::Label) {
      // A caption may give up empty rows above a field, never its line of text.
      EXPECT_EQ(g.y(), u.y(c.y));
      EXPECT_LE(g.height(), u.y(c.cy));
      EXPECT_GE(g.height(), std::min(u.y(c.cy), w->fontMetrics().height()));
    } else {
      EXPECT_EQ(g.y(), u.y(c.y));
      EXPECT_EQ(g.height(), u.y(c.cy));
    }
    bool mayGrow = c.kind == ControlKind::CheckBox || (c.kind == ControlKind::Label && c.id == IDC_STATIC);
    if (mayGrow)
      EXPECT_GE(g.width(), u.x(c.cx));
    else
      EXPECT_EQ(g.width(), u.x(c.cx));
    EXPECT_LE(g.right(), view.clientArea()->width() - 1);
  }
}

TEST_P(TemplateLayout, GrownTextsOverlapNoNeighbour) {
  RecordingDialog dlg(GetParam());
  qtui::QtDialogView view(dlg);
  Units u;
  const auto& controls = dlg.Template().controls;
  for (std::size_t i = 0; i < controls.size(); ++i) {
    QRect gi = view.controlWidget(i)->geometry();
    if (gi.width() == u.x(controls[i].cx)) continue;  // not grown
    for (std::size_t j = 0; j < controls.size(); ++j) {
      if (j == i || controls[j].kind == ControlKind::Line) continue;
      const ControlTemplate& o = controls[j];
      QRect tj(u.x(o.x), u.y(o.y), u.x(o.cx), u.y(o.cy));
      QRect ti(u.x(controls[i].x), u.y(controls[i].y), u.x(controls[i].cx), u.y(controls[i].cy));
      if (ti.intersects(tj)) continue;  // the template itself overlaps them
      EXPECT_FALSE(gi.intersects(tj)) << "control " << i << " grew over control " << j;
    }
  }
}

TEST_P(TemplateLayout, FixedTextsAreNotCutOff) {
  RecordingDialog dlg(GetParam());
  qtui::QtDialogView view(dlg);
  const auto& controls = dlg.Template().controls;
  for (std::size_t i = 0; i < controls.size(); ++i) {
    const ControlTemplate& c = controls[i];
    bool fixedText = c.kind == ControlKind::CheckBox ||
                     (c.kind == ControlKind::Label && c.id == IDC_STATIC && !(c.style & cs::WordWrap));
    if (!fixedText) continue;
    QWidget* w = view.controlWidget(i);
    EXPECT_LE(w->sizeHint().width(), w->width()) << "control " << i << " \"" << c.text << "\"";
  }
}

TEST_P(TemplateLayout, TextsAndWidgetKindsFollowTheTemplate) {
  RecordingDialog dlg(GetParam());
  qtui::QtDialogView view(dlg);
  const auto& controls = dlg.Template().controls;
  for (std::size_t i = 0; i < controls.size(); ++i) {
    const ControlTemplate& c = controls[i];
    SCOPED_TRACE("control " + std::to_string(i));
    QWidget* w = view.controlWidget(i);
    switch (c.kind) {
      case ControlKind::Label: {
        auto* l = qobject_cast<QLabel*>(w);
        ASSERT_NE(l, nullptr);
        QString expected = QString::fromStdString(c.text);
        if (c.id == IDC_STATIC) expected.replace("&&", "&");
        EXPECT_EQ(l->text(), expected);
        EXPECT_EQ(l->wordWrap(), (c.style & cs::WordWrap) != 0);
        EXPECT_EQ((l->alignment() & Qt::AlignHCenter) != 0, (c.style & cs::Centered) != 0);
        break;
      }
      case ControlKind::PushButton: {
        auto* b = qobject_cast<QPushButton*>(w);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->text().toStdString(), c.text);
        EXPECT_EQ(b->isDefault(), (c.style & cs::DefaultButton) != 0);
        break;
      }
      case ControlKind::CheckBox:
        ASSERT_NE(qobject_cast<QCheckBox*>(w), nullptr);
        EXPECT_EQ(qobject_cast<QCheckBox*>(w)->text().toStdString(), c.text);
        break;
      case ControlKind::Edit:
        if (c.style & cs::Multiline) {
          auto* e = qobject_cast<QPlainTextEdit*>(w);
          ASSERT_NE(e, nullptr);
          EXPECT_EQ(e->isReadOnly(), (c.style & cs::ReadOnly) != 0);
        } else {
          auto* e = qobject_cast<QLineEdit*>(w);
          ASSERT_NE(e, nullptr);
          EXPECT_EQ(e->isReadOnly(), (c.style & cs::ReadOnly) != 0);
          EXPECT_EQ(e->echoMode() == QLineEdit::Password, (c.style & cs::Password) != 0);
        }
        break;
      case ControlKind::Progress: ASSERT_NE(qobject_cast<QProgressBar*>(w), nullptr); break;
      case ControlKind::ListBox: ASSERT_NE(qobject_cast<QListWidget*>(w), nullptr); break;
      case ControlKind::Table: {
        auto* t = qobject_cast<QTreeWidget*>(w);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->columnCount(), std::count(c.text.begin(), c.text.end(), '\t') + 1);
        break;
      }
      case ControlKind::Line: {
        auto* f = qobject_cast<QFrame*>(w);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->frameShape(), QFrame::HLine);
        break;
      }
      case ControlKind::Picture: EXPECT_FALSE(w->inherits("QAbstractButton")); break;
    }
  }
  EXPECT_EQ(view.window()->windowTitle().toStdString(), dlg.Template().caption);
}

// On a desktop every control keeps clear of its neighbours and of the window's frame.
TEST_P(TemplateLayout, NothingTouchesAnotherControlOrTheEdge) {
  RecordingDialog dlg(GetParam());
  qtui::QtDialogView view(dlg);
  const auto& controls = dlg.Template().controls;
  QRect inner = view.window()->rect().adjusted(1, view.clientArea()->y() - view.margin() + 1, -1, -1);
  auto placed = [&](std::size_t i) {
    QWidget* w = view.controlWidget(i);
    return QRect(w->mapTo(view.window(), QPoint(0, 0)), w->size());
  };
  for (std::size_t i = 0; i < controls.size(); ++i) {
    if (controls[i].kind == ControlKind::Line) continue;  // a separator may meet what it separates
    QRect gi = placed(i);
    EXPECT_TRUE(inner.contains(gi)) << "control " << i << " touches the window's edge";
    for (std::size_t j = i + 1; j < controls.size(); ++j) {
      if (controls[j].kind == ControlKind::Line) continue;
      EXPECT_FALSE(gi.adjusted(-1, -1, 1, 1).intersects(placed(j))) << "controls " << i << " and " << j << " touch";
    }
  }
}

TEST_P(TemplateLayout, LabelsStandOnTheBaselineOfTheFieldBesideThem) {
  RecordingDialog dlg(GetParam());
  qtui::QtDialogView view(dlg);
  const auto& controls = dlg.Template().controls;
  for (std::size_t i = 0; i < controls.size(); ++i) {
    auto* label = qobject_cast<QLabel*>(view.controlWidget(i));
    if (!label || label->wordWrap() || label->frameWidth() > 0) continue;
    for (std::size_t j = 0; j < controls.size(); ++j) {
      auto* field = qobject_cast<QLineEdit*>(view.controlWidget(j));
      if (!field || controls[j].y >= controls[i].y + controls[i].cy || controls[i].y >= controls[j].y + controls[j].cy)
        continue;
      SCOPED_TRACE(controls[i].text);
      EXPECT_EQ(label->geometry().center().y(), field->geometry().center().y());
      EXPECT_TRUE(label->alignment() & Qt::AlignVCenter);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllTemplates, TemplateLayout, ::testing::Values(IDD_ABOUTBOX, IDD_DOWNLOAD, IDD_DROPWND, IDD_CONFIG,
                                                                            IDD_PASSWORD, IDD_HEADERS, IDD_RESUME, IDD_ENTERURL));

// The two windows users see most, checked against the places their layout names.
struct Place {
  int templateId, controlId, x, y, cx, cy;
};
const Place kPlaces[] = {
    {IDD_DOWNLOAD, IDC_URL_TEXT, 28, 5, 172, 11},      {IDD_DOWNLOAD, IDC_LOCAL_FILE_TEXT, 28, 20, 172, 8},
    {IDD_DOWNLOAD, IDC_SIZE_TEXT, 28, 36, 172, 8},     {IDD_DOWNLOAD, IDC_TIME_TEXT, 28, 52, 172, 8},
    {IDD_DOWNLOAD, IDC_STATE_ICON, 4, 0, 18, 20},      {IDD_DOWNLOAD, IDC_STATUS_ICON, 0, 84, 18, 20},
    {IDD_DOWNLOAD, IDC_PROGRESS, 4, 72, 196, 10},      {IDD_DOWNLOAD, IDC_NO_RESUME_NOTE, 28, 84, 80, 16},
    {IDD_DOWNLOAD, IDC_PAUSE, 112, 88, 44, 14},        {IDD_DOWNLOAD, IDCANCEL, 160, 88, 40, 14},
    {IDD_CONFIG, IDC_HTTP_PROXY, 72, 4, 144, 12},      {IDD_CONFIG, IDC_FIND_HTTP_PROXY, 220, 4, 34, 12},
    {IDD_CONFIG, IDC_FTP_PROXY, 72, 20, 144, 12},      {IDD_CONFIG, IDC_ROLLBACK, 39, 56, 37, 12},
    {IDD_CONFIG, IDC_CONFIG_HELP, 28, 185, 44, 14},    {IDD_CONFIG, IDOK, 164, 185, 44, 14},
    {IDD_CONFIG, IDCANCEL, 212, 185, 44, 14},          {IDD_CONFIG, IDC_CONFIG_ICON, 0, 181, 18, 20},
    {IDD_CONFIG, IDC_BROWSER_ASK, 72, 169, 182, 8},
};

TEST_F(ViewTest, NamedControlsOfGettingFileAndConfiguration) {
  Units u;
  for (const Place& p : kPlaces) {
    SCOPED_TRACE(std::to_string(p.templateId) + "/" + std::to_string(p.controlId));
    RecordingDialog dlg(p.templateId);
    qtui::QtDialogView view(dlg);
    QWidget* w = view.window()->findChild<QWidget*>(QString("c%1").arg(p.controlId));
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->geometry().topLeft(), QPoint(u.x(p.x), u.y(p.y)));
    bool icon = w->metaObject() == &QWidget::staticMetaObject;
    EXPECT_EQ(w->width(), icon ? std::min(u.x(p.cx), u.y(p.cy)) : u.x(p.cx));
  }
  RecordingDialog getting(IDD_DOWNLOAD);
  qtui::QtDialogView view(getting);
  EXPECT_EQ(view.clientArea()->size(), QSize(u.x(204), u.y(105)));
  // A caption, a window menu and a minimize box; no resizing.
  EXPECT_TRUE(view.window()->windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_EQ(view.window()->minimumSize(), view.window()->maximumSize());
}

TEST_F(ViewTest, HeadersWindowHasItsEditMenuAboveTheClientArea) {
  RecordingDialog dlg(IDD_HEADERS);
  qtui::QtDialogView view(dlg);
  auto* bar = view.window()->findChild<QMenuBar*>();
  ASSERT_NE(bar, nullptr);
  ASSERT_EQ(bar->actions().size(), 1);
  EXPECT_EQ(bar->actions()[0]->text(), "&Edit");
  QMenu* edit = bar->actions()[0]->menu();
  ASSERT_NE(edit, nullptr);
  ASSERT_EQ(edit->actions().size(), 1);
  EXPECT_EQ(edit->actions()[0]->text(), "&Copy All");
  edit->actions()[0]->trigger();
  EXPECT_EQ(dlg.commands, std::vector<int>{ID_EDIT_COPY});
  EXPECT_GE(view.clientArea()->y(), bar->height());
}

}  // namespace
