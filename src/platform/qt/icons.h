// The program's icons and its one bitmap, drawn rather than shipped as image files.
#pragma once
#include <QIcon>
#include <QPixmap>
#include <QSize>

namespace qtui {

// Icon resource id drawn square at size pixels.
QPixmap iconPixmap(int id, int size);
// Icon id as a window icon (several sizes).
QIcon windowIcon(int id);
// Bitmap resource id filling size (the About banner); unknown ids get an icon centred.
QPixmap bitmapPixmap(int id, QSize size);
// Whether id has a drawing of its own (the rest get a neutral placeholder).
bool knownImage(int id);

}  // namespace qtui
