// Each icon is drawn on a 32 by 32 grid and scaled, so every size stays sharp. The shapes only
// need to be told apart at a glance: status (round), documents (sheets), tools (key, gear).
#include "platform/qt/icons.h"

#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QtMath>
#include <algorithm>
#include <iterator>

#include "resources/ids.h"

namespace qtui {
namespace {

// The frame an id has in an animation, or -1.
int frameOf(const int* begin, const int* end, int id) {
  auto it = std::find(begin, end, id);
  return it == end ? -1 : static_cast<int>(it - begin);
}

void disc(QPainter& p, QColor fill, QColor edge) {
  QRadialGradient g(QPointF(12, 10), 20);
  g.setColorAt(0, fill.lighter(140));
  g.setColorAt(1, fill);
  p.setBrush(g);
  p.setPen(QPen(edge, 1.5));
  p.drawEllipse(QRectF(2.5, 2.5, 27, 27));
}

void appIcon(QPainter& p) {
  QLinearGradient g(0, 0, 0, 32);
  g.setColorAt(0, QColor(70, 130, 220));
  g.setColorAt(1, QColor(20, 60, 150));
  p.setBrush(g);
  p.setPen(QPen(QColor(15, 40, 100), 1.2));
  p.drawRoundedRect(QRectF(2, 2, 28, 28), 6, 6);
  p.setBrush(Qt::white);
  p.setPen(Qt::NoPen);
  p.drawPolygon(QPolygonF({{13, 6}, {19, 6}, {19, 14}, {24, 14}, {16, 22}, {8, 14}, {13, 14}}));
  p.drawRect(QRectF(7, 24, 18, 3));
}

void activity(QPainter& p, int frame) {
  disc(p, QColor(40, 110, 200), QColor(20, 50, 110));
  p.setPen(QPen(QColor(255, 255, 255, 150), 1.2));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(QRectF(9, 3, 14, 26));
  p.drawLine(QPointF(3, 16), QPointF(29, 16));
  double a = frame * 2 * M_PI / 13 - M_PI / 2;
  QPointF c(16 + 10 * std::cos(a), 16 + 10 * std::sin(a));
  p.setPen(QPen(QColor(120, 60, 0), 1));
  p.setBrush(QColor(255, 210, 40));
  p.drawEllipse(c, 4, 4);
}

void broken(QPainter& p) {
  disc(p, QColor(200, 30, 30), QColor(110, 10, 10));
  p.setBrush(Qt::white);
  p.setPen(Qt::NoPen);
  p.drawPolygon(QPolygonF({{18, 5}, {9, 18}, {15, 18}, {12, 27}, {23, 13}, {17, 13}, {20, 5}}));
}

void pauseSquare(QPainter& p) {
  QLinearGradient g(0, 0, 0, 32);
  g.setColorAt(0, QColor(255, 170, 60));
  g.setColorAt(1, QColor(220, 110, 0));
  p.setBrush(g);
  p.setPen(QPen(QColor(130, 60, 0), 1.2));
  p.drawRoundedRect(QRectF(3, 3, 26, 26), 4, 4);
  p.setBrush(Qt::white);
  p.setPen(Qt::NoPen);
  p.drawRect(QRectF(10, 9, 4, 14));
  p.drawRect(QRectF(18, 9, 4, 14));
}

void complete(QPainter& p) {
  disc(p, QColor(40, 160, 60), QColor(15, 80, 25));
  p.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  p.drawPolyline(QPolygonF({{9, 16}, {14, 22}, {23, 10}}));
}

void dropTarget(QPainter& p) {
  p.setPen(QPen(QColor(120, 0, 0), 1));
  for (int i = 0; i < 4; ++i) {
    p.setBrush(i % 2 ? QColor(Qt::white) : QColor(220, 40, 40));
    double r = 14 - i * 3.6;
    p.drawEllipse(QPointF(16, 16), r, r);
  }
  p.setPen(QPen(QColor(20, 20, 120), 2.5, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(27, 5), QPointF(18, 14));
  p.setBrush(QColor(20, 20, 120));
  p.setPen(Qt::NoPen);
  p.drawPolygon(QPolygonF({{16, 16}, {17, 10}, {22, 15}}));
}

void key(QPainter& p) {
  p.setPen(QPen(QColor(120, 80, 0), 1.2));
  p.setBrush(QColor(240, 190, 40));
  QPainterPath path;
  path.addEllipse(QPointF(10, 16), 7, 7);
  path.addRect(QRectF(15, 14, 14, 4));
  path.addRect(QRectF(23, 18, 3, 5));
  path.addRect(QRectF(27, 18, 2, 4));
  p.drawPath(path.simplified());
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(8, 16), 2.2, 2.2);
}

void gear(QPainter& p) {
  p.setPen(QPen(QColor(50, 50, 60), 1.2));
  p.setBrush(QColor(150, 155, 170));
  QPainterPath path;
  path.addEllipse(QPointF(16, 16), 10, 10);
  for (int i = 0; i < 8; ++i) {
    QTransform t;
    t.translate(16, 16);
    t.rotate(i * 45);
    QPainterPath tooth;
    tooth.addRect(QRectF(-2.5, -14, 5, 6));
    path.addPath(t.map(tooth));
  }
  p.drawPath(path.simplified());
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(16, 16), 4, 4);
}

void sheet(QPainter& p, QColor paper, QColor ink, bool bullets) {
  p.setPen(QPen(QColor(70, 70, 70), 1.2));
  p.setBrush(paper);
  p.drawPolygon(QPolygonF({{6, 2}, {20, 2}, {26, 8}, {26, 30}, {6, 30}}));
  p.setBrush(paper.darker(120));
  p.drawPolygon(QPolygonF({{20, 2}, {20, 8}, {26, 8}}));
  p.setPen(QPen(ink, 1.6));
  for (int y = 12; y <= 26; y += 4) {
    if (bullets) {
      p.setBrush(ink);
      p.drawEllipse(QPointF(10, y), 1, 1);
      p.drawLine(QPointF(13, y), QPointF(23, y));
    } else {
      p.drawLine(QPointF(9, y), QPointF(23, y));
    }
  }
}

void sizeBars(QPainter& p) {
  p.setPen(QPen(QColor(20, 60, 20), 1));
  const double heights[] = {8, 14, 20, 26};
  for (int i = 0; i < 4; ++i) {
    p.setBrush(QColor(60 + i * 30, 170, 70));
    p.drawRect(QRectF(3 + i * 7, 29 - heights[i], 5, heights[i]));
  }
}

void clock(QPainter& p, int frame) {
  p.setPen(QPen(QColor(40, 40, 40), 1.5));
  p.setBrush(QColor(250, 250, 235));
  p.drawEllipse(QRectF(3, 3, 26, 26));
  p.setPen(QPen(QColor(90, 90, 90), 1.5));
  for (int i = 0; i < 4; ++i) {
    double a = i * M_PI / 2;
    p.drawLine(QPointF(16 + 10 * std::cos(a), 16 + 10 * std::sin(a)),
               QPointF(16 + 12 * std::cos(a), 16 + 12 * std::sin(a)));
  }
  double a = frame * M_PI / 4 - M_PI / 2;
  p.setPen(QPen(QColor(200, 30, 30), 2.2, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(16, 16), QPointF(16 + 10 * std::cos(a), 16 + 10 * std::sin(a)));
  p.setPen(QPen(Qt::black, 2.2, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(16, 16), QPointF(16, 10));
}

void working(QPainter& p) {
  disc(p, QColor(30, 170, 80), QColor(10, 80, 30));
  p.setBrush(Qt::white);
  p.setPen(Qt::NoPen);
  p.drawPolygon(QPolygonF({{8, 13}, {17, 13}, {17, 7}, {26, 16}, {17, 25}, {17, 19}, {8, 19}}));
}

void pausedState(QPainter& p) {
  disc(p, QColor(240, 210, 30), QColor(120, 100, 0));
  p.setBrush(QColor(60, 50, 0));
  p.setPen(Qt::NoPen);
  p.drawRect(QRectF(10, 9, 4, 14));
  p.drawRect(QRectF(18, 9, 4, 14));
}

void unknown(QPainter& p) {
  disc(p, QColor(150, 150, 150), QColor(80, 80, 80));
  p.setPen(Qt::white);
  QFont f = p.font();
  f.setPixelSize(20);
  f.setBold(true);
  p.setFont(f);
  p.drawText(QRectF(0, 0, 32, 32), Qt::AlignCenter, "?");
}

bool draw(QPainter& p, int id) {
  using namespace res;
  if (int f = frameOf(std::begin(IDI_ACTIVITY_FRAMES), std::end(IDI_ACTIVITY_FRAMES), id); f >= 0)
    return activity(p, f), true;
  if (int f = frameOf(std::begin(IDI_CLOCK_FRAMES), std::end(IDI_CLOCK_FRAMES), id); f >= 0) return clock(p, f), true;
  switch (id) {
    case IDR_MAINFRAME: appIcon(p); return true;
    case IDI_BROKEN: broken(p); return true;
    case IDI_PAUSE: pauseSquare(p); return true;
    case IDI_COMPLETE: complete(p); return true;
    case IDI_DROP_TARGET: dropTarget(p); return true;
    case IDI_KEY: key(p); return true;
    case IDI_SETTINGS: gear(p); return true;
    case IDI_LOCAL_FILE: sheet(p, Qt::white, QColor(60, 60, 160), false); return true;
    case IDI_SIZE: sizeBars(p); return true;
    case IDI_WORKING: working(p); return true;
    case IDI_PAUSED_STATE: pausedState(p); return true;
    case IDI_MIRROR_LIST: sheet(p, QColor(235, 220, 250), QColor(110, 40, 150), true); return true;
    default: unknown(p); return false;
  }
}

}  // namespace

bool knownImage(int id) {
  QPixmap pm(1, 1);
  QPainter p(&pm);
  return id == res::IDB_ABOUT_BANNER || draw(p, id);
}

QPixmap iconPixmap(int id, int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 32.0, size / 32.0);
  draw(p, id);
  return pm;
}

QIcon windowIcon(int id) {
  QIcon icon;
  for (int s : {16, 24, 32, 48, 64}) icon.addPixmap(iconPixmap(id, s));
  return icon;
}

QPixmap bitmapPixmap(int id, QSize size) {
  QPixmap pm(size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  if (id != res::IDB_ABOUT_BANNER) {
    int s = std::min(size.width(), size.height());
    p.drawPixmap((size.width() - s) / 2, (size.height() - s) / 2, iconPixmap(id, s));
    return pm;
  }
  // The About banner: the program's name running up a tall strip, with its icon at the foot.
  QLinearGradient g(0, 0, 0, size.height());
  g.setColorAt(0, QColor(20, 50, 120));
  g.setColorAt(1, QColor(30, 140, 160));
  p.fillRect(pm.rect(), g);
  int w = size.width();
  int iconSize = std::max(8, w - 6);
  p.drawPixmap((w - iconSize) / 2, size.height() - iconSize - 4, iconPixmap(res::IDR_MAINFRAME, iconSize));
  // The name runs upwards from above the icon, as large as the strip allows.
  double room = size.height() - iconSize - 14;
  QFont f = p.font();
  f.setBold(true);
  f.setPixelSize(std::max(8, w * 3 / 5));
  QFontMetricsF fm(f);
  if (fm.horizontalAdvance("Tarnwick") > room && room > 0)
    f.setPixelSize(std::max(6, static_cast<int>(f.pixelSize() * room / fm.horizontalAdvance("Tarnwick"))));
  p.save();
  p.translate(w / 2.0, size.height() - iconSize - 10);
  p.rotate(-90);
  p.setFont(f);
  p.setPen(QColor(255, 255, 255, 230));
  p.drawText(QRectF(0, -w / 2.0, room, w), Qt::AlignLeft | Qt::AlignVCenter, "Tarnwick");
  p.restore();
  return pm;
}

}  // namespace qtui
