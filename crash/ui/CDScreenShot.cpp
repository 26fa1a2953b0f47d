#include "crash/ui/CDScreenShot.h"

#include <QApplication>
#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QWidget>

#include "runtime/Forms.h"

namespace {

// The program's visible windows painted where they stand, within area.
QImage ComposeWindows(const QRect& area, const QWidget* except) {
  QImage image(area.size(), QImage::Format_RGB32);
  image.fill(Qt::black);
  QPainter painter(&image);
  bool any = false;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (!w->isVisible() || w == except || w->isMinimized()) continue;
    painter.drawPixmap(w->geometry().topLeft() - area.topLeft(), w->grab());
    any = true;
  }
  painter.end();
  return any ? image : QImage();
}

}  // namespace

QImage::Format ScreenShotFormat(int depth) {
  if (depth <= 8) return QImage::Format_Indexed8;
  if (depth <= 16) return QImage::Format_RGB16;
  return QImage::Format_RGB32;
}

std::string TakeCDScreenShot(int depth, bool appOnly, const std::string& folder, const QWidget* except) {
  if (depth <= 0) return std::string();
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return std::string();
  QImage image;
  if (appOnly) {
    QRect area;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->isVisible() && w != except && !w->isMinimized()) area |= w->geometry();
    if (!area.isEmpty()) image = ComposeWindows(area, except);
  } else {
    image = screen->grabWindow(0).toImage();
    // Platforms without a screen to read (offscreen) still have our windows.
    if (image.isNull()) image = ComposeWindows(screen->geometry(), except);
  }
  if (image.isNull()) return std::string();
  image = image.convertToFormat(ScreenShotFormat(depth));
  std::string path = folder + "screenShot.png";
  return image.save(ToQString(path), "PNG") ? path : std::string();
}
