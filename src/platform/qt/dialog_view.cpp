#include "platform/qt/dialog_view.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDialog>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFontMetrics>
#include <QFrame>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QWindow>
#include <algorithm>
#include <cmath>

#include "platform/drop.h"
#include "platform/qt/desktop.h"
#include "platform/qt/icons.h"
#include "platform/qt/notifier.h"
#include "platform/text.h"
#include "resources/ids.h"

namespace qtui {

namespace {
constexpr int kScMinimize = 0xF020;
constexpr int kScClose = 0xF060;

// Every text the program sets may hold a server's words (reason phrases, headers, URLs).
QString qs(const std::string& s) { return QString::fromStdString(displayText(s)); }
// A table's headings: cells split at the template text's tabs.
QStringList cellsOf(const std::string& s) {
  QStringList cells;
  for (std::size_t at = 0; at <= s.size();) {
    std::size_t tab = std::min(s.find('\t', at), s.size());
    cells << qs(s.substr(at, tab - at));
    at = tab + 1;
  }
  return cells;
}

// Static texts of the templates use the mnemonic convention ("&&" is one ampersand); texts
// the program sets at run time (URLs, file names) are shown exactly as they are.
QString templateLabelText(const std::string& s) { return QString::fromStdString(StripMnemonics(s)); }

// Qt reads "[*]" in a window title as the modified marker; a title is shown as it stands.
QString titleText(const std::string& s) { return qs(s).replace("[*]", "[*][*]"); }

// Multi-line edits hold CR LF line ends as the program writes them; the widget wants LF.
QString toWidgetText(const std::string& s) { return qs(s).replace("\r\n", "\n"); }
std::string fromWidgetText(const QString& s, bool multiline) {
  return (multiline ? QString(s).replace("\n", "\r\n") : s).toStdString();
}

DropData dropDataOf(const QMimeData* mime) {
  DropData d;
  if (!mime) return d;
  if (mime->hasFormat("text/plain")) {
    d.hasText = true;
    d.text = mime->text().toStdString();
  } else if (mime->hasFormat("text/uri-list")) {
    d.hasText = true;
    // The first URI as listed, not re-encoded: the new process judges it as typed.
    for (const QByteArray& line : mime->data("text/uri-list").split('\n')) {
      QByteArray l = line.trimmed();
      if (l.isEmpty() || l.startsWith('#')) continue;
      d.text = l.toStdString();
      break;
    }
  }
  return d;
}

bool isTopLeft(const ControlTemplate& t) { return t.x <= 8 && t.y <= 4; }

// How long a finished session's process waits for a click on its notification's actions.
constexpr int kNotificationWaitMs = 10000;

}  // namespace

DialogUnits DialogUnits::of(const QFont& font) {
  QFontMetrics fm(font);
  // The average width of the 52 letters, rounded as the dialog manager rounds it.
  int w = fm.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  DialogUnits u;
  u.baseX = std::max(1, (w / 26 + 1) / 2);
  u.baseY = std::max(1, fm.height());
  return u;
}

QRect DialogUnits::rect(int x0, int y0, int cx, int cy) const {
  return QRect(x(x0), y(y0), std::max(1, x(cx)), std::max(1, y(cy)));
}

// ---- the progress bar ----

// A progress bar that draws instead a map of its range when the model's text gives one, a
// character a cell: '#' done, '>' where work goes on, anything else still to do.
class MapBar : public QProgressBar {
 public:
  using QProgressBar::QProgressBar;
  void setMap(const QString& map) {
    if (map == m_map) return;
    m_map = map;
    update();
  }

 protected:
  void paintEvent(QPaintEvent* e) override {
    if (m_map.isEmpty()) return QProgressBar::paintEvent(e);
    QPainter p(this);
    p.fillRect(rect(), palette().base());
    p.setPen(palette().mid().color());
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    QRect r = rect().adjusted(1, 1, -1, -1);
    const int n = static_cast<int>(m_map.size());
    for (int i = 0; i < n; ++i) {
      int x0 = r.left() + r.width() * i / n, x1 = r.left() + r.width() * (i + 1) / n;
      if (m_map[i] == '#') p.fillRect(QRect(x0, r.top(), x1 - x0, r.height()), palette().highlight());
      if (m_map[i] == '>') p.fillRect(QRect(x0, r.top(), std::max(2, x1 - x0), r.height()), palette().dark());
    }
  }

 private:
  QString m_map;
};

// ---- the picture control ----

class PictureWidget : public QWidget {
 public:
  PictureWidget(QWidget* parent, bool bitmap, bool sunken) : QWidget(parent), m_bitmap(bitmap), m_sunken(sunken) {}
  int imageId = 0;
  std::function<void(QPoint)> onClick;  // set when the picture opens the window menu

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    if (m_bitmap) {
      p.drawPixmap(0, 0, bitmapPixmap(imageId, size()));
      return;
    }
    // Icons keep their shape: the largest square that fits, up to the usual 32 pixels.
    int inset = m_sunken ? 2 : 0;
    int s = std::min({32, width() - 2 * inset, height() - 2 * inset});
    if (m_sunken) {
      QRect r(0, 0, s + 2 * inset, s + 2 * inset);
      p.setPen(palette().color(QPalette::Dark));
      p.drawLine(r.topLeft(), r.topRight());
      p.drawLine(r.topLeft(), r.bottomLeft());
      p.setPen(palette().color(QPalette::Light));
      p.drawLine(r.bottomLeft(), r.bottomRight());
      p.drawLine(r.topRight(), r.bottomRight());
    }
    if (s > 0) p.drawPixmap(inset, inset, iconPixmap(imageId, s));
  }
  void mousePressEvent(QMouseEvent* e) override {
    if (onClick && e->button() == Qt::LeftButton) {
      onClick(mapToGlobal(QPoint(0, height())));
      e->accept();
      return;
    }
    e->ignore();
  }

 private:
  bool m_bitmap, m_sunken;
};

// ---- the window ----

// a mixed with b, share parts of a.
static QColor mixed(const QColor& a, const QColor& b, double share) {
  auto mix = [share](int x, int y) { return static_cast<int>(x * share + y * (1 - share) + 0.5); };
  return QColor(mix(a.red(), b.red()), mix(a.green(), b.green()), mix(a.blue(), b.blue()));
}

// The contrast ratio of two colours (1 to 21), from their relative luminance.
static double contrast(const QColor& a, const QColor& b) {
  auto luminance = [](const QColor& c) {
    auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
  };
  double x = luminance(a), y = luminance(b);
  return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}

// A table's bar column: the item's percent drawn as a progress bar under its text.
class BarDelegate : public QStyledItemDelegate {
 public:
  BarDelegate(QObject* parent, CDialog& dlg, std::size_t index) : QStyledItemDelegate(parent), m_dlg(dlg), m_index(index) {}
  void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const ControlState& c = m_dlg.Controls()[m_index];
    std::size_t row = static_cast<std::size_t>(index.row());
    if (index.column() != c.barColumn || row >= c.bars.size() || c.bars[row] < 0)
      return QStyledItemDelegate::paint(p, option, index);
    // Drawn here rather than by the style, which may write the text in two colours (one over
    // the filled part, one over the rest) that do not both read: the fill is a light tint of
    // the highlight, and the text one colour that reads on the fill and on the base alike.
    if (option.state & QStyle::State_Selected) p->fillRect(option.rect, option.palette.highlight());
    const QRect r = option.rect.adjusted(1, 2, -2, -3);
    const QColor base = option.palette.color(QPalette::Base), high = option.palette.color(QPalette::Highlight);
    const QColor fill = mixed(high, base, 0.4);
    p->save();
    p->setPen(option.palette.color(QPalette::Mid));
    p->setBrush(base);
    p->drawRect(r);
    p->fillRect(QRect(r.left() + 1, r.top() + 1, (r.width() - 1) * std::clamp(c.bars[row], 0, 100) / 100, r.height() - 1),
                fill);
    QColor text = option.palette.color(QPalette::Text);
    for (const QColor& other : {option.palette.color(QPalette::HighlightedText), QColor(Qt::black), QColor(Qt::white)})
      if (std::min(contrast(other, fill), contrast(other, base)) > std::min(contrast(text, fill), contrast(text, base)))
        text = other;
    p->setPen(text);
    p->drawText(r, Qt::AlignCenter, option.fontMetrics.elidedText(index.data().toString(), Qt::ElideRight, r.width()));
    p->restore();
  }

 private:
  CDialog& m_dlg;
  std::size_t m_index;
};

class DialogWindow : public QDialog {
 public:
  DialogWindow(QtDialogView& view, Qt::WindowFlags flags) : QDialog(nullptr, flags), m_view(view) {
    m_rightClick.setSingleShot(true);
    m_rightClick.setInterval(QApplication::doubleClickInterval());
    QObject::connect(&m_rightClick, &QTimer::timeout, this, [this] { m_view.openSystemMenu(m_rightClickAt); });
  }
  bool closing = false;
  bool dragAnywhere = false;          // a left press anywhere moves the window
  bool rightDoubleClickGesture = false;  // the right double-click is taken: the menu waits for it

  void reject() override {
    if (!closing) m_view.m_dlg.ViewCommand(IDCANCEL);
  }

 protected:
  // A held key repeats: Enter or Space held on a button is one click, not a train of them
  // (Pause, Resume, Pause ...).
  static bool repeatedClickKey(QEvent* e) {
    if (e->type() != QEvent::KeyPress && e->type() != QEvent::KeyRelease) return false;
    auto* k = static_cast<QKeyEvent*>(e);
    return k->isAutoRepeat() && (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter || k->key() == Qt::Key_Space);
  }
  bool eventFilter(QObject* o, QEvent* e) override { return repeatedClickKey(e) || QDialog::eventFilter(o, e); }
  void keyPressEvent(QKeyEvent* e) override {
    if (!repeatedClickKey(e)) QDialog::keyPressEvent(e);
  }
  void closeEvent(QCloseEvent* e) override {
    e->ignore();
    if (!closing) m_view.m_dlg.ViewCommand(IDCANCEL);
  }
  void moveEvent(QMoveEvent* e) override {
    QDialog::moveEvent(e);
    if (!m_view.m_shown || closing) return;
    QPoint p = pos();
    m_view.recordPlace();
    if (p.x() != m_view.m_dlg.X() || p.y() != m_view.m_dlg.Y()) m_view.m_dlg.ViewMoved(p.x(), p.y());
  }
  void resizeEvent(QResizeEvent* e) override {
    QDialog::resizeEvent(e);
    if (!m_view.m_dlg.Template().resizable || closing) return;
    int w = width() - 2 * m_view.m_margin, h = height() - m_view.m_menuHeight - 2 * m_view.m_margin;
    m_view.m_client->resize(w, h);
    m_view.relayout();
    if (m_view.m_shown) m_view.recordPlace();
    if (m_view.m_shown) m_view.m_dlg.ViewResized(w, h);
  }
  void changeEvent(QEvent* e) override {
    QDialog::changeEvent(e);
    if (e->type() == QEvent::WindowStateChange && m_view.m_shown && !closing)
      m_view.m_dlg.ViewSized((windowState() & Qt::WindowMinimized) != 0);
  }
  void contextMenuEvent(QContextMenuEvent* e) override {
    if (rightDoubleClickGesture && e->reason() == QContextMenuEvent::Mouse) {
      m_rightClickAt = e->globalPos();
      m_rightClick.start();
    } else {
      m_view.openSystemMenu(e->globalPos());
    }
    e->accept();
  }
  void mousePressEvent(QMouseEvent* e) override {
    if (dragAnywhere && e->button() == Qt::LeftButton) {
      m_pressAt = e->globalPosition().toPoint();
      m_windowAt = pos();
      m_pressed = true;
      m_manualMove = false;
      e->accept();
      return;
    }
    QDialog::mousePressEvent(e);
  }
  void mouseMoveEvent(QMouseEvent* e) override {
    if (!m_pressed || !(e->buttons() & Qt::LeftButton)) return QDialog::mouseMoveEvent(e);
    QPoint now = e->globalPosition().toPoint();
    if (!m_manualMove) {
      if ((now - m_pressAt).manhattanLength() < QApplication::startDragDistance()) return;
      // The window manager moves it as if the caption were grabbed; without one, we do.
      if (windowHandle() && windowHandle()->startSystemMove()) {
        m_pressed = false;
        return;
      }
      m_manualMove = true;
    }
    move(m_windowAt + (now - m_pressAt));
  }
  void mouseReleaseEvent(QMouseEvent* e) override {
    m_pressed = false;
    QDialog::mouseReleaseEvent(e);
  }
  void mouseDoubleClickEvent(QMouseEvent* e) override {
    QPoint c = m_view.m_client->mapFrom(this, e->position().toPoint());
    if (e->button() == Qt::LeftButton) {
      m_pressed = false;
      m_view.m_dlg.SendMessage(WM_LBUTTONDBLCLK, 0, MAKELPARAM(c.x(), c.y()));
    } else if (e->button() == Qt::RightButton) {
      m_rightClick.stop();
      m_view.m_dlg.SendMessage(WM_RBUTTONDBLCLK, 0, MAKELPARAM(c.x(), c.y()));
    }
    e->accept();
  }
  void dragEnterEvent(QDragEnterEvent* e) override { answerDrag(e, true); }
  void dragMoveEvent(QDragMoveEvent* e) override { answerDrag(e, false); }
  void dropEvent(QDropEvent* e) override {
    COleDropTarget* target = m_view.m_dlg.DropTarget();
    DropData d = dropDataOf(e->mimeData());
    if (!target || !d.hasText) return e->ignore();
    if (e->possibleActions() & Qt::LinkAction) e->setDropAction(Qt::LinkAction);
    e->accept();
    target->OnDrop(d);
  }

 private:
  void answerDrag(QDropEvent* e, bool enter) {
    COleDropTarget* target = m_view.m_dlg.DropTarget();
    if (!target) return e->ignore();
    DropData d = dropDataOf(e->mimeData());
    int effect = enter ? target->OnDragEnter(d) : target->OnDragOver(d);
    if (effect == DROPEFFECT_NONE) return e->ignore();
    if (effect == DROPEFFECT_LINK && (e->possibleActions() & Qt::LinkAction))
      e->setDropAction(Qt::LinkAction);
    else
      e->setDropAction(e->proposedAction());
    e->accept();
  }

  QtDialogView& m_view;
  QTimer m_rightClick;
  QPoint m_rightClickAt;
  bool m_pressed = false, m_manualMove = false;
  QPoint m_pressAt, m_windowAt;
};

// ---- the view ----

QtDialogView::QtDialogView(CDialog& dlg) : m_dlg(dlg) {
  m_units = DialogUnits::of(QApplication::font());
  // Templates place controls against the edges; on a desktop nothing touches the frame.
  m_margin = m_units.x(4);
  build();
  m_dlg.SetObserver(this);
  // The program measures the window before it is shown (the drop window's two sizes).
  const DialogTemplate& t = m_dlg.Template();
  m_dlg.SetClientSize(m_units.x(t.cx), m_units.y(t.cy));
}

QtDialogView::~QtDialogView() {
  m_dlg.SetObserver(nullptr);
  m_window->closing = true;
  m_window->hide();
  m_registry.reset();
  if (m_awaitsAction) notifier().settle(kNotificationWaitMs);
}

QWidget* QtDialogView::window() const { return m_window.get(); }
QWidget* QtDialogView::clientArea() const { return m_client; }
QWidget* QtDialogView::controlWidget(std::size_t index) const {
  return index < m_widgets.size() ? m_widgets[index].data() : nullptr;
}

void QtDialogView::build() {
  const DialogTemplate& t = m_dlg.Template();
  Qt::WindowFlags flags = (t.minimizeBox ? Qt::Window : Qt::Dialog) | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  if (t.minimizeBox) flags |= Qt::WindowMinimizeButtonHint;
  m_window = std::make_unique<DialogWindow>(*this, flags);
  m_window->setWindowModality(Qt::ApplicationModal);
  m_window->setAcceptDrops(true);
  m_window->setObjectName(QString("dialog%1").arg(t.id));
  // A window with mouse gestures (the link drop window) is dragged from anywhere and toggles
  // its modes with double-clicks, so its window menu waits out the right double-click.
  m_window->dragAnywhere = t.mouseGestures;
  m_window->rightDoubleClickGesture = t.mouseGestures;

  if (const MenuTemplate* mt = t.menuId ? FindMenuTemplate(t.menuId) : nullptr) {
    auto* bar = new QMenuBar(m_window.get());
    bar->setNativeMenuBar(false);
    QMenu* menu = bar->addMenu(qs(mt->popupText));
    for (const auto& item : mt->items) {
      QAction* a = menu->addAction(qs(item.text));
      int command = item.command;
      QObject::connect(a, &QAction::triggered, m_window.get(), [this, command] { m_dlg.ViewCommand(command); });
    }
    // The window menu's icon sits where the window manager would draw it: the bar's left end.
    auto* sys = new QToolButton(bar);
    sys->setObjectName("systemMenuButton");
    sys->setAutoRaise(true);
    sys->setFocusPolicy(Qt::NoFocus);
    QObject::connect(sys, &QToolButton::clicked, m_window.get(),
                     [this, sys] { openSystemMenu(sys->mapToGlobal(QPoint(0, sys->height()))); });
    bar->setCornerWidget(sys, Qt::TopLeftCorner);
    m_menuHeight = bar->sizeHint().height();
    bar->setGeometry(0, 0, m_units.x(t.cx) + 2 * m_margin, m_menuHeight);
  }

  m_client = new QWidget(m_window.get());
  m_client->setObjectName("client");
  m_client->setGeometry(m_margin, m_menuHeight + m_margin, m_units.x(t.cx), m_units.y(t.cy));

  bool topLeftTaken = false;
  auto& controls = m_dlg.Controls();
  for (std::size_t i = 0; i < controls.size(); ++i) {
    const ControlTemplate& ct = *controls[i].tmpl;
    QRect r = m_units.rect(ct.x, ct.y, ct.cx, ct.cy);
    if (r.intersects(m_units.rect(0, 0, 10, 10))) topLeftTaken = true;
    QWidget* w = nullptr;
    switch (ct.kind) {
      case ControlKind::Label: {
        auto* l = new QLabel(m_client);
        l->setTextFormat(Qt::PlainText);
        l->setAlignment(Qt::AlignTop | ((ct.style & cs::Centered) ? Qt::AlignHCenter : Qt::AlignLeft));
        l->setWordWrap((ct.style & cs::WordWrap) != 0);
        if (ct.style & (cs::Border | cs::Sunken)) {
          l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
          l->setLineWidth(1);
          l->setIndent(2);
        }
        w = l;
        break;
      }
      case ControlKind::Edit: {
        bool readOnly = (ct.style & cs::ReadOnly) != 0;
        if (ct.style & cs::Multiline) {
          auto* e = new QPlainTextEdit(m_client);
          e->setReadOnly(readOnly);
          e->setTabChangesFocus(true);
          e->setLineWrapMode((ct.style & cs::AutoHScroll) ? QPlainTextEdit::NoWrap : QPlainTextEdit::WidgetWidth);
          e->setVerticalScrollBarPolicy((ct.style & cs::VScroll) ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
          e->setHorizontalScrollBarPolicy((ct.style & cs::AutoHScroll) ? Qt::ScrollBarAsNeeded
                                                                        : Qt::ScrollBarAlwaysOff);
          if (!(ct.style & cs::Border)) e->setFrameStyle(QFrame::NoFrame);
          if (!(ct.style & cs::Border)) e->document()->setDocumentMargin(0);
          if (readOnly) e->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
          QObject::connect(e, &QPlainTextEdit::textChanged, m_window.get(), [this, i] { userChanged(i); });
          w = e;
        } else {
          auto* e = new QLineEdit(m_client);
          e->setReadOnly(readOnly);
          e->setFrame((ct.style & cs::Border) != 0);
          if (ct.style & cs::Password) e->setEchoMode(QLineEdit::Password);
          QObject::connect(e, &QLineEdit::textEdited, m_window.get(), [this, i] { userChanged(i); });
          w = e;
        }
        if (readOnly) {
          // Read-only fields sit on the dialog's own colour, as the program's users know them.
          QPalette p = w->palette();
          p.setColor(QPalette::Base, p.color(QPalette::Window));
          w->setPalette(p);
        }
        break;
      }
      case ControlKind::PushButton: {
        auto* b = new QPushButton(qs(ct.text), m_client);
        if (ct.style & cs::DefaultButton) b->setDefault(true);
        int id = ct.id;
        QObject::connect(b, &QPushButton::clicked, m_window.get(), [this, id] { m_dlg.ViewCommand(id); });
        w = b;
        break;
      }
      case ControlKind::CheckBox: {
        auto* b = new QCheckBox(qs(ct.text), m_client);
        QObject::connect(b, &QCheckBox::toggled, m_window.get(), [this, i] { userChanged(i); });
        w = b;
        break;
      }
      case ControlKind::Picture: {
        bool bitmap = (ct.style & cs::Bitmap) != 0, sunken = (ct.style & cs::Sunken) != 0;
        auto* p = new PictureWidget(m_client, bitmap, sunken);
        if (isTopLeft(ct) && !m_window->dragAnywhere) {
          p->onClick = [this](QPoint at) { openSystemMenu(at); };
          p->setCursor(Qt::PointingHandCursor);
          p->setObjectName("systemMenuButton");
        }
        w = p;
        break;
      }
      case ControlKind::Progress: {
        auto* b = new MapBar(m_client);
        b->setTextVisible(false);
        w = b;
        break;
      }
      case ControlKind::ListBox: {
        auto* l = new QListWidget(m_client);
        l->setSelectionMode((ct.style & cs::ExtendedSel) ? QAbstractItemView::ExtendedSelection
                                                          : QAbstractItemView::SingleSelection);
        l->setVerticalScrollBarPolicy((ct.style & cs::VScroll) ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAsNeeded);
        // Items come in the model's order, which is already the sorted one.
        l->setSortingEnabled(false);
        // URLs and paths differ at their ends: the middle gives way.
        l->setTextElideMode(Qt::ElideMiddle);
        QObject::connect(l, &QListWidget::itemSelectionChanged, m_window.get(), [this, i] { userChanged(i); });
        w = l;
        break;
      }
      case ControlKind::Table: {
        auto* t = new QTreeWidget(m_client);
        QStringList headings = cellsOf(ct.text);
        t->setColumnCount(static_cast<int>(headings.size()));
        t->setHeaderLabels(headings);
        t->setRootIsDecorated(false);
        t->setUniformRowHeights(true);
        t->setAllColumnsShowFocus(true);
        t->setSelectionMode(QAbstractItemView::ExtendedSelection);
        t->setItemDelegate(new BarDelegate(t, m_dlg, i));
        t->header()->setSectionsClickable(true);
        t->header()->setStretchLastSection(true);
        // The model sorts: a click on a heading says by which column, a second one turns it round.
        QObject::connect(t->header(), &QHeaderView::sectionClicked, m_window.get(), [this, i](int column) {
          ControlState& c = m_dlg.Controls()[i];
          c.sortDescending = c.sortColumn == column ? !c.sortDescending : false;
          c.sortColumn = column;
          m_dlg.ViewCommand(c.id);
        });
        QObject::connect(t, &QTreeWidget::itemSelectionChanged, m_window.get(), [this, i] { userChanged(i); });
        QObject::connect(t, &QTreeWidget::itemActivated, m_window.get(), [this] { m_dlg.ViewCommand(IDOK); });
        w = t;
        break;
      }
      case ControlKind::Line: {
        auto* f = new QFrame(m_client);
        f->setFrameStyle(QFrame::HLine | QFrame::Sunken);
        // A line one unit high still needs two pixels to show its etching.
        r.setHeight(std::max(2, r.height()));
        w = f;
        break;
      }
    }
    if (ct.id != IDC_STATIC) w->setObjectName(QString("c%1").arg(ct.id));
    w->setProperty("templateIndex", static_cast<int>(i));
    w->setGeometry(r);
    w->installEventFilter(m_window.get());
    m_widgets.emplace_back(w);
  }

  // A bitmap stays whole where a line of the template runs into it.
  for (std::size_t i = 0; i < controls.size(); ++i)
    if (controls[i].kind == ControlKind::Picture && (controls[i].tmpl->style & cs::Bitmap)) m_widgets[i]->raise();

  // Nothing at the client's top-left: a small icon button there opens the window menu.
  if (!topLeftTaken && !m_menuHeight && !m_window->dragAnywhere) {
    auto* sys = new QToolButton(m_client);
    sys->setObjectName("systemMenuButton");
    sys->setAutoRaise(true);
    sys->setFocusPolicy(Qt::NoFocus);
    sys->setGeometry(0, 0, 16, 16);
    QObject::connect(sys, &QToolButton::clicked, m_window.get(),
                     [this, sys] { openSystemMenu(sys->mapToGlobal(QPoint(0, sys->height()))); });
  }

  for (const auto& w : m_widgets) m_placed.push_back(w->geometry());
  if (t.resizable)
    m_window->setMinimumSize(m_units.x(t.cx) + 2 * m_margin, m_units.y(t.cy) + m_menuHeight + 2 * m_margin);
  else
    m_window->setFixedSize(m_units.x(t.cx) + 2 * m_margin, m_units.y(t.cy) + m_menuHeight + 2 * m_margin);
  applyTitle();
  applyIcon();
  alignLabelsToFields();
  fitIcons();
  for (std::size_t i = 0; i < m_widgets.size(); ++i) applyControl(i);
  widenToText();
}

// A label beside a one-line field takes the field's height and centres its text, so both
// texts stand on one baseline.
void QtDialogView::alignLabelsToFields() {
  auto& controls = m_dlg.Controls();
  for (std::size_t i = 0; i < m_widgets.size(); ++i) {
    const ControlTemplate& ct = *controls[i].tmpl;
    if (ct.kind != ControlKind::Label || (ct.style & (cs::WordWrap | cs::Border | cs::Sunken))) continue;
    auto* label = qobject_cast<QLabel*>(m_widgets[i].data());
    if (!label) continue;
    for (std::size_t j = 0; j < m_widgets.size(); ++j) {
      auto* field = qobject_cast<QLineEdit*>(m_widgets[j].data());
      const ControlTemplate& ft = *controls[j].tmpl;
      // On one row in the template's own units, where pixel rounding cannot blur it.
      if (!field || ft.y >= ct.y + ct.cy || ct.y >= ft.y + ft.cy) continue;
      QRect r = label->geometry(), f = field->geometry();
      label->setGeometry(r.x(), f.y(), r.width(), f.height());
      label->setAlignment((label->alignment() & Qt::AlignHorizontal_Mask) | Qt::AlignVCenter);
      break;
    }
  }
}

// Icons were drawn for the template's small-icon places: each takes the largest square, up to
// 32 pixels, that keeps a pixel's gap to every other control; labels keep theirs too.
void QtDialogView::fitIcons() {
  auto& controls = m_dlg.Controls();
  for (std::size_t i = 0; i < m_widgets.size(); ++i) {
    const ControlTemplate& ct = *controls[i].tmpl;
    if (ct.kind != ControlKind::Picture || (ct.style & cs::Bitmap) || !m_widgets[i]) continue;
    QRect r = m_widgets[i]->geometry();
    int side = std::min({32, r.width(), r.height()});
    auto clear = [&](int s) {
      QRect want = QRect(r.topLeft(), QSize(s, s)).adjusted(-1, -1, 1, 1);
      for (std::size_t j = 0; j < m_widgets.size(); ++j)
        if (j != i && m_widgets[j] && controls[j].kind != ControlKind::Line &&
            want.intersects(m_widgets[j]->geometry()))
          return false;
      return true;
    };
    while (side > 16 && !clear(side)) --side;
    m_widgets[i]->resize(side, side);
  }
  // A caption drawn down to the field under it gives up its empty bottom rows.
  for (std::size_t i = 0; i < m_widgets.size(); ++i) {
    auto* label = qobject_cast<QLabel*>(m_widgets[i].data());
    if (!label || (label->alignment() & Qt::AlignVCenter)) continue;
    QRect r = label->geometry();
    for (std::size_t j = 0; j < m_widgets.size(); ++j) {
      QRect o = m_widgets[j] ? m_widgets[j]->geometry() : QRect();
      if (j == i || o.isNull() || controls[j].kind == ControlKind::Line || o.top() <= r.top()) continue;
      int height = o.top() - r.top() - 2;
      if (r.adjusted(-1, -1, 1, 1).intersects(o) && height >= label->fontMetrics().height()) r.setHeight(height);
    }
    label->setGeometry(r);
  }
}

// Texts the program sets at run time (URLs, paths) are shortened in the middle when they do
// not fit, and shown whole in the tooltip.
void QtDialogView::setLabelText(QWidget* w, const QString& text, bool elide) {
  auto* l = static_cast<QLabel*>(w);
  QString shown = text;
  if (elide) {
    QFontMetrics fm(l->font());
    int indent = l->indent() >= 0 ? l->indent() : (l->frameWidth() > 0 ? fm.horizontalAdvance('x') / 2 : 0);
    int room = l->contentsRect().width() - indent - 2 * l->margin() - 1;
    shown = fm.horizontalAdvance(text) > room ? fm.elidedText(text, Qt::ElideMiddle, room) : text;
    l->setProperty("fullText", text);
    QString tip = shown != text ? text : QString();
    if (l->toolTip() != tip) l->setToolTip(tip);
  }
  if (l->text() != shown) l->setText(shown);
}

// The window's state is said in words on its progress bar; a finish or break that the user
// is not looking at is announced on the desktop.
void QtDialogView::showTaskState() {
  JobPhase state = m_dlg.GetTaskState();
  // A working download shows its percentage; one at rest says why in words.
  QString words = phaseAtRest(state) ? QString::fromUtf8(phaseText(state)) : QString();
  for (auto& w : m_widgets) {
    auto* bar = qobject_cast<QProgressBar*>(w.data());
    if (!bar) continue;
    bar->setFormat(words);
    bar->setTextVisible(!words.isEmpty());
    bar->setAccessibleDescription(words);
  }
  if ((state != JobPhase::Failed && state != JobPhase::Finished) || m_window->isActiveWindow()) return;
  QString path = QString::fromStdString(m_dlg.TaskFile());
  QString name = path.isEmpty() ? titleText(m_dlg.GetWindowText()) : qs(QFileInfo(path).fileName().toStdString());
  if (state == JobPhase::Finished) {
    if (notifier().notify("Download finished", name, path) != 0 && !path.isEmpty()) m_awaitsAction = true;
  } else {
    notifier().notify("Download failed", name + "\nPaused; resume it from its window.");
  }
}

// The templates were drawn for a narrower font than a Linux desktop's: a check box or fixed
// label whose text does not fit grows to the right, as far as its neighbours allow.
void QtDialogView::widenToText() {
  auto& controls = m_dlg.Controls();
  qreal checkBoxType = 0;  // the smallest type a check box needed
  for (std::size_t i = 0; i < m_widgets.size(); ++i) {
    const ControlTemplate& ct = *controls[i].tmpl;
    bool fixedText = ct.kind == ControlKind::CheckBox ||
                     (ct.kind == ControlKind::Label && ct.id == IDC_STATIC && !(ct.style & cs::WordWrap));
    QWidget* w = m_widgets[i];
    if (!fixedText || !w) continue;
    QRect r = w->geometry();
    int needed = w->sizeHint().width();
    if (needed <= r.width()) continue;
    int limit = m_client->width() - r.x() - m_units.x(2);
    for (std::size_t j = 0; j < m_widgets.size(); ++j) {
      QRect o = m_widgets[j] ? m_widgets[j]->geometry() : QRect();
      if (j == i || o.isNull() || controls[j].kind == ControlKind::Line) continue;
      if (o.bottom() < r.top() || o.top() > r.bottom() || o.left() < r.right()) continue;
      limit = std::min(limit, o.left() - r.x() - 2);
    }
    int width = std::max(r.width(), std::min(needed, limit));
    w->resize(width, r.height());
    // Still too long: a slightly smaller type rather than a cut-off word.
    int step = 0;
    for (; step < 4 && w->sizeHint().width() > width; ++step) {
      QFont f = w->font();
      f.setPointSizeF(f.pointSizeF() * 0.95);
      w->setFont(f);
    }
    if (ct.kind == ControlKind::CheckBox && step > 0)
      checkBoxType = checkBoxType > 0 ? std::min(checkBoxType, w->font().pointSizeF()) : w->font().pointSizeF();
  }
  // Check boxes read as one list: all in the type the longest one needed.
  if (checkBoxType <= 0) return;
  for (std::size_t i = 0; i < m_widgets.size(); ++i) {
    if (controls[i].kind != ControlKind::CheckBox || !m_widgets[i]) continue;
    QFont f = m_widgets[i]->font();
    f.setPointSizeF(checkBoxType);
    m_widgets[i]->setFont(f);
  }
}

void QtDialogView::started() {
  applyTopmost();
  applyPosition();
  // A window without a place of its own opens off the program's other windows.
  m_registry = std::make_unique<WindowRegistry>();
  // A dialog opened from another window of this process (Enter URL from the Downloads
  // window) opens over the middle of it.
  QWidget* parent = QApplication::activeWindow();
  bool own = m_dlg.X() != -1 || m_dlg.Y() != -1;
  if (!own && parent && parent != m_window.get() && !m_dlg.Template().minimizeBox) {
    m_window->move(parent->frameGeometry().center() - QRect(QPoint(), m_window->frameGeometry().size()).center());
  } else {
    // A place of its own is kept while it is free: not over a window kept clear (a download
    // resumed from the Downloads window opens beside it), nor where another window is
    // (downloads resumed together, their places alike, cascade from it).
    QScreen* screen = m_window->screen() ? m_window->screen() : QGuiApplication::primaryScreen();
    QRect avail = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    m_window->move(m_registry->claim(avail, m_window->size(), m_units.y(16),
                                     own ? std::optional<QPoint>(QPoint(m_dlg.X(), m_dlg.Y())) : std::nullopt));
  }
  recordPlace();
  if (m_dlg.IsIconic())
    m_window->showMinimized();
  else
    m_window->show();
  m_window->raise();
  m_window->activateWindow();
  m_shown = true;
}

void QtDialogView::modelChanged(CDialog&, ModelChange what, int controlId) {
  switch (what) {
    case ModelChange::Control:
      if (m_fromView) return;
      for (std::size_t i = 0; i < m_widgets.size(); ++i)
        if (m_dlg.Controls()[i].id == controlId) applyControl(i);
      return;
    case ModelChange::Title: applyTitle(); return;
    case ModelChange::Icon: applyIcon(); return;
    case ModelChange::Menu: return;  // the window menu is built from the model each time it opens
    case ModelChange::Position: applyPosition(); return;
    case ModelChange::Size: applySize(); return;
    case ModelChange::Minimized: applyMinimized(); return;
    case ModelChange::Topmost: applyTopmost(); return;
    case ModelChange::Task: showTaskState(); return;
  }
}

void QtDialogView::applyControl(std::size_t index) {
  QWidget* w = m_widgets[index];
  if (!w) return;
  const ControlState& c = m_dlg.Controls()[index];
  bool wasFromView = m_fromView;
  m_fromView = true;  // signals raised by setting the widget are not user input
  switch (c.kind) {
    case ControlKind::Label: {
      bool runTime = c.id != IDC_STATIC;
      setLabelText(w, runTime ? qs(c.text) : templateLabelText(c.text), runTime && !(c.tmpl->style & cs::WordWrap));
      break;
    }
    case ControlKind::Edit:
      if (auto* e = qobject_cast<QLineEdit*>(w)) {
        QString text = qs(c.text);
        if (e->text() != text) e->setText(text);
        // The limit stops typing; a longer text given by the program stays for OK to refuse.
        if (c.limitText > 0)
          e->setMaxLength(std::max<int>(c.limitText, static_cast<int>(e->text().size())));
        else
          e->setMaxLength(32767);
        e->setProperty("limitText", c.limitText);
      } else if (auto* m = qobject_cast<QPlainTextEdit*>(w)) {
        QString text = toWidgetText(c.text);
        if (m->toPlainText() != text) m->setPlainText(text);
      }
      break;
    case ControlKind::PushButton: {
      auto* b = static_cast<QPushButton*>(w);
      if (b->text() != qs(c.text)) b->setText(qs(c.text));
      break;
    }
    case ControlKind::CheckBox: {
      auto* b = static_cast<QCheckBox*>(w);
      if (b->text() != qs(c.text)) b->setText(qs(c.text));
      b->setChecked(c.checked != 0);
      break;
    }
    case ControlKind::Picture: {
      auto* p = static_cast<PictureWidget*>(w);
      if (p->imageId != c.imageId) {
        p->imageId = c.imageId;
        p->update();
      }
      break;
    }
    case ControlKind::Progress: {
      auto* b = static_cast<MapBar*>(w);
      b->setMap(qs(c.text));
      if (b->minimum() != c.rangeLo || b->maximum() != c.rangeHi) b->setRange(c.rangeLo, c.rangeHi);
      b->setValue(std::clamp(c.pos, std::min(c.rangeLo, c.rangeHi), std::max(c.rangeLo, c.rangeHi)));
      break;
    }
    case ControlKind::ListBox: {
      auto* l = static_cast<QListWidget*>(w);
      bool same = l->count() == static_cast<int>(c.items.size());
      for (int r = 0; same && r < l->count(); ++r) same = l->item(r)->text() == qs(c.items[r].first);
      if (!same) {
        l->clear();
        for (const auto& [text, data] : c.items) {
          auto* item = new QListWidgetItem(qs(text), l);
          item->setData(Qt::UserRole, data);
          item->setToolTip(qs(text));
        }
      }
      for (int r = 0; r < l->count(); ++r) {
        bool sel = std::find(c.selected.begin(), c.selected.end(), r) != c.selected.end();
        if (l->item(r)->isSelected() != sel) l->item(r)->setSelected(sel);
      }
      break;
    }
    case ControlKind::Table: {
      auto* t = static_cast<QTreeWidget*>(w);
      bool grown = t->topLevelItemCount() < static_cast<int>(c.rows.size());
      while (t->topLevelItemCount() > static_cast<int>(c.rows.size())) delete t->takeTopLevelItem(t->topLevelItemCount() - 1);
      std::vector<bool> changed(static_cast<std::size_t>(t->columnCount()), false);
      for (std::size_t r = 0; r < c.rows.size(); ++r) {
        QTreeWidgetItem* item = t->topLevelItem(static_cast<int>(r));
        if (!item) item = new QTreeWidgetItem(t);
        const auto& cells = c.rows[r];
        for (int col = 0; col < static_cast<int>(cells.size()) && col < t->columnCount(); ++col)
          if (QString text = qs(cells[static_cast<std::size_t>(col)]); item->text(col) != text) {
            item->setText(col, text);
            item->setToolTip(col, text);  // the whole text, where the column cuts it
            changed[static_cast<std::size_t>(col)] = true;
          }
        bool sel = std::find(c.selected.begin(), c.selected.end(), static_cast<int>(r)) != c.selected.end();
        if (item->isSelected() != sel) item->setSelected(sel);
      }
      // New rows, or a longer text (a rate that appears), may be wider: the columns but the
      // last (which takes the rest) fit them; one that is wide enough stays, not to jump.
      for (int col = 0; col + 1 < t->columnCount(); ++col) {
        if (!grown && !changed[static_cast<std::size_t>(col)]) continue;
        int was = t->columnWidth(col);
        t->resizeColumnToContents(col);
        // A bar needs room beside its text.
        int wanted = t->columnWidth(col) + (col == c.barColumn ? t->fontMetrics().averageCharWidth() * 8 : 0);
        // A long text (a failure's reason) takes a third of the table at most: the columns
        // after it stay in sight, and it shows whole in its tooltip.
        wanted = std::min(wanted, std::max(t->header()->sectionSizeHint(col), t->viewport()->width() / 3));
        t->setColumnWidth(col, grown ? wanted : std::max(was, wanted));
      }
      t->header()->setSortIndicatorShown(c.sortColumn >= 0);
      if (c.sortColumn >= 0)
        t->header()->setSortIndicator(c.sortColumn, c.sortDescending ? Qt::DescendingOrder : Qt::AscendingOrder);
      t->viewport()->update();
      break;
    }
    case ControlKind::Line: break;
  }
  if (w->isEnabled() != c.enabled) w->setEnabled(c.enabled);
  if (w->isHidden() == c.visible) w->setVisible(c.visible);
  m_fromView = wasFromView;
}

void QtDialogView::userChanged(std::size_t index) {
  if (m_fromView) return;
  QWidget* w = m_widgets[index];
  ControlState& c = m_dlg.Controls()[index];
  if (auto* e = qobject_cast<QLineEdit*>(w)) {
    c.text = fromWidgetText(e->text(), false);
    // Once the text is within the limit again, the limit holds.
    int limit = e->property("limitText").toInt();
    if (limit > 0) e->setMaxLength(std::max<int>(limit, static_cast<int>(e->text().size())));
  } else if (auto* m = qobject_cast<QPlainTextEdit*>(w)) {
    c.text = fromWidgetText(m->toPlainText(), true);
  } else if (auto* b = qobject_cast<QCheckBox*>(w)) {
    c.checked = b->isChecked() ? 1 : 0;
  } else if (auto* l = qobject_cast<QListWidget*>(w)) {
    c.selected.clear();
    for (int r = 0; r < l->count(); ++r)
      if (l->item(r)->isSelected()) c.selected.push_back(r);
  } else if (auto* t = qobject_cast<QTreeWidget*>(w)) {
    c.selected.clear();
    for (int r = 0; r < t->topLevelItemCount(); ++r)
      if (t->topLevelItem(r)->isSelected()) c.selected.push_back(r);
  } else {
    return;
  }
  m_fromView = true;
  m_dlg.ChangedControl(c.id);
  m_fromView = false;
}

void QtDialogView::applyTitle() { m_window->setWindowTitle(titleText(m_dlg.GetWindowText())); }

void QtDialogView::applyIcon() {
  int id = m_dlg.GetIcon() ? m_dlg.GetIcon() : res::IDR_MAINFRAME;
  m_window->setWindowIcon(windowIcon(id));
  if (auto* b = m_window->findChild<QToolButton*>("systemMenuButton")) b->setIcon(windowIcon(id));
}

void QtDialogView::recordPlace() {
  // A window the user sizes is one to work in: kept clear of the others.
  if (m_registry) m_registry->record(m_window->pos(), m_dlg.Template().resizable ? m_window->frameGeometry().size() : QSize());
}

void QtDialogView::applyPosition() {
  if (m_dlg.X() == -1 && m_dlg.Y() == -1) return;
  if (m_window->pos() != QPoint(m_dlg.X(), m_dlg.Y())) m_window->move(m_dlg.X(), m_dlg.Y());
}

void QtDialogView::applySize() {
  int w = std::max(1, m_dlg.Width()), h = std::max(1, m_dlg.Height());
  m_client->resize(w, h);
  if (auto* bar = m_window->findChild<QMenuBar*>()) bar->resize(w + 2 * m_margin, m_menuHeight);
  if (m_dlg.Template().resizable) {
    m_window->resize(w + 2 * m_margin, h + m_menuHeight + 2 * m_margin);
    relayout();
    return;
  }
  m_window->setFixedSize(w + 2 * m_margin, h + m_menuHeight + 2 * m_margin);
}

void QtDialogView::relayout() {
  const DialogTemplate& t = m_dlg.Template();
  int dw = std::max(0, m_client->width() - m_units.x(t.cx)), dh = std::max(0, m_client->height() - m_units.y(t.cy));
  int tableBottom = 0;
  for (std::size_t i = 0; i < m_widgets.size(); ++i)
    if (m_dlg.Controls()[i].kind == ControlKind::Table) tableBottom = std::max(tableBottom, m_placed[i].bottom());
  for (std::size_t i = 0; i < m_widgets.size() && i < m_placed.size(); ++i) {
    QRect r = m_placed[i];
    if (m_dlg.Controls()[i].kind == ControlKind::Table)
      r.adjust(0, 0, dw, dh);
    else if (r.top() > tableBottom)
      r.translate(0, dh);
    m_widgets[i]->setGeometry(r);
  }
}

void QtDialogView::applyMinimized() {
  if (!m_shown) return;  // started() shows the window in the model's state
  bool minimized = (m_window->windowState() & Qt::WindowMinimized) != 0;
  if (minimized == m_dlg.IsIconic()) return;
  if (m_dlg.IsIconic())
    m_window->showMinimized();
  else
    m_window->showNormal();
}

void QtDialogView::applyTopmost() {
  bool on = m_dlg.IsTopmost();
  if (m_window->testAttribute(Qt::WA_WState_Created) && m_window->windowHandle()) {
    // Changing the flags of a mapped window through QWidget would unmap it; the window
    // handle tells the window manager in place.
    Qt::WindowFlags f = m_window->windowFlags();
    f.setFlag(Qt::WindowStaysOnTopHint, on);
    if (f == m_window->windowFlags()) return;
    m_window->overrideWindowFlags(f);
    m_window->windowHandle()->setFlags(f);
  } else {
    m_window->setWindowFlag(Qt::WindowStaysOnTopHint, on);
  }
}

QMenu* QtDialogView::buildSystemMenu(QWidget* parent) const {
  auto* menu = new QMenu(parent);
  menu->setSeparatorsCollapsible(true);
  auto add = [menu](int command, const std::string& text, bool checked) {
    QAction* a = menu->addAction(qs(text));
    a->setData(command);
    if (checked) {
      a->setCheckable(true);
      a->setChecked(true);
    }
  };
  if (m_dlg.Template().minimizeBox) add(kScMinimize, "Mi&nimize", false);
  add(kScClose, "&Close", false);
  for (const SysMenuItem& item : const_cast<CDialog&>(m_dlg).SystemMenu()) {
    if (item.command == 0)
      menu->addSeparator();
    else
      add(item.command, item.text, item.checked);
  }
  return menu;
}

void QtDialogView::openSystemMenu(const QPoint& globalPos) {
  std::unique_ptr<QMenu> menu(buildSystemMenu(m_window.get()));
  QAction* chosen = menu->exec(globalPos);
  if (chosen) m_dlg.ViewSysCommand(chosen->data().toInt());
}

}  // namespace qtui
