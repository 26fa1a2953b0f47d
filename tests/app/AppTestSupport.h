// The window tests' helpers: the browser kept out, settings files in a fresh folder.
#pragma once

#include <QDesktopServices>
#include <QObject>
#include <QUrl>

#include <string>
#include <vector>

#include "tests/support/QtApp.h"
#include "tests/support/TempDir.h"

// Records the URLs handed to the desktop instead of starting a browser.
class UrlRecorder : public QObject {
  Q_OBJECT
 public:
  UrlRecorder() {
    QDesktopServices::setUrlHandler("http", this, "open");
    QDesktopServices::setUrlHandler("https", this, "open");
  }
  ~UrlRecorder() override {
    QDesktopServices::unsetUrlHandler("http");
    QDesktopServices::unsetUrlHandler("https");
  }
  std::vector<QString> urls;
 public slots:
  void open(const QUrl& url) { urls.push_back(url.toString()); }
};

// An executable path in a fresh folder: the settings file goes beside it.
struct ExeInTemp {
  TempDir dir;
  std::string exe = dir.File("Pinmark");
  std::string ini = dir.File("Pinmark.ini");
};
