// The yardstick for Pinmark's start: a Qt application that shows one small
// window titled "Bare" and nothing else, on the same display.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget window;
  window.setWindowTitle(QStringLiteral("Bare"));
  window.resize(202, 100);
  window.show();
  return app.exec();
}
