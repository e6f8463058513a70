// The widget view of a dialog model: built from its template in dialog units, following
// every model change, and reporting what the user does back to the model.
#pragma once
#include <QFont>
#include <QPointer>
#include <QRect>
#include <memory>
#include <vector>

#include "platform/ui.h"
#include "platform/wnd.h"

class QMenu;
class QWidget;

namespace qtui {

class WindowRegistry;

// Dialog units of a font: x unit = average character width / 4, y unit = character height / 8.
struct DialogUnits {
  int baseX = 6, baseY = 13;
  static DialogUnits of(const QFont& font);
  int x(int du) const { return (du * baseX + 2) / 4; }
  int y(int du) const { return (du * baseY + 4) / 8; }
  QRect rect(int x0, int y0, int cx, int cy) const;
};

class DialogWindow;

class QtDialogView : public DialogView, public DialogObserver {
 public:
  explicit QtDialogView(CDialog& dlg);
  ~QtDialogView() override;

  void started() override;
  void modelChanged(CDialog& dlg, ModelChange what, int controlId) override;

  // For tests and the backend.
  QWidget* window() const;
  QWidget* clientArea() const;
  // The widget of the template's index-th control.
  QWidget* controlWidget(std::size_t index) const;
  const DialogUnits& units() const { return m_units; }
  // Free space between the window's edges and the template's area.
  int margin() const { return m_margin; }
  // The window menu as it would open now (the caller owns it).
  QMenu* buildSystemMenu(QWidget* parent) const;
  void openSystemMenu(const QPoint& globalPos);

 private:
  friend class DialogWindow;
  void build();
  void widenToText();
  void alignLabelsToFields();
  void fitIcons();
  void setLabelText(QWidget* label, const QString& text, bool elide);
  void showTaskState();
  void applyControl(std::size_t index);
  void applyTitle();
  void applyIcon();
  void applyPosition();
  // Tells the other windows of the program where this one is (and its size when it is kept clear).
  void recordPlace();
  void applySize();
  void applyMinimized();
  void applyTopmost();
  // A resizable window: the table takes the growth, what stands below it moves down.
  void relayout();
  // Writes a widget's state into the model; the resulting notification is not applied back.
  void userChanged(std::size_t index);

  CDialog& m_dlg;
  DialogUnits m_units;
  std::unique_ptr<DialogWindow> m_window;
  QWidget* m_client = nullptr;
  int m_menuHeight = 0;
  int m_margin = 0;
  std::unique_ptr<WindowRegistry> m_registry;
  bool m_awaitsAction = false;  // a notification of this window offers actions
  std::vector<QPointer<QWidget>> m_widgets;
  bool m_fromView = false;  // the model change now being notified came from this view
  bool m_shown = false;
  std::vector<QRect> m_placed;  // each control's place at the template's size
};

}  // namespace qtui
