// Where a new window goes among the program's other windows, which may belong to other
// processes.
#pragma once
#include <QPoint>
#include <QRect>
#include <QSize>
#include <optional>
#include <string>
#include <vector>

namespace qtui {

// The first place of the cascade (from the centre of available, down and right by step) that
// no window in taken occupies (its top left) and that covers none of the windows in taken that
// are to be kept clear (those with a size: the Downloads window); when the cascade leaves
// available it starts again at its top left. When every place of the cascade covers such a
// window, the first place beside one (right, left, below, above) that covers none. A window
// with a place of its own (own) starts the cascade there: it keeps its place when that is free.
QPoint cascadePosition(const QRect& available, const QSize& window, const std::vector<QRect>& taken, int step,
                       std::optional<QPoint> own = std::nullopt);

// The positions of every open window of the program, one small file per window in the user's
// runtime folder, so that copies running side by side (Resume All) do not open on one another.
class WindowRegistry {
 public:
  WindowRegistry();
  explicit WindowRegistry(std::string dir);
  ~WindowRegistry();
  WindowRegistry(const WindowRegistry&) = delete;
  WindowRegistry& operator=(const WindowRegistry&) = delete;

  // Chooses a cascade place among the other windows and records it, under a lock so that
  // windows opening at the same moment get different places.
  QPoint claim(const QRect& available, const QSize& window, int step, std::optional<QPoint> own = std::nullopt);
  // Records where this window is now; with a size, the window is to be kept clear (a window
  // the user works in, such as the Downloads window: others open beside it, not over it).
  void record(const QPoint& pos, const QSize& keepClear = QSize());
  // The places of the other live windows (those of ended processes are cleared away), with
  // their size when they are to be kept clear, else empty.
  std::vector<QRect> others() const;

 private:
  std::string m_dir, m_file;
};

}  // namespace qtui
