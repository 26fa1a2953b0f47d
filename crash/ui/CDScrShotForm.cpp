#include "crash/ui/CDScrShotForm.h"

#include <QDesktopServices>
#include <QEvent>
#include <QFileInfo>
#include <QMouseEvent>
#include <QPixmap>
#include <QUrl>
#include <QVBoxLayout>

#include "runtime/Forms.h"

namespace {
constexpr int kPreviewWidth = 320, kPreviewHeight = 200;
}

TCDScrShotForm::TCDScrShotForm(std::string screenShot, QWidget* parent)
    : TCDAssistantPage(parent), file_(std::move(screenShot)) {
  setObjectName("ScrShotForm");
  AttachCheck = new QCheckBox(tr("attach a screenshot to the bug report"), this);
  AttachCheck->setChecked(true);
  Image = new QLabel(this);
  Image->setFixedSize(kPreviewWidth, kPreviewHeight);
  Image->setAlignment(Qt::AlignCenter);
  Image->setFrameShape(QFrame::StyledPanel);
  Image->setCursor(Qt::PointingHandCursor);
  Image->installEventFilter(this);
  auto* hint = new QLabel(tr("(click to edit image)"), this);
  hint->setAlignment(Qt::AlignCenter);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(AttachCheck);
  layout->addWidget(Image, 0, Qt::AlignHCenter);
  layout->addWidget(hint);
  layout->addStretch();
  Reload();
  timer_.setInterval(250);
  connect(&timer_, &QTimer::timeout, this, [this] { Reload(); });
  timer_.start();
}

void TCDScrShotForm::Reload() {
  QFileInfo info(ToQString(file_));
  QDateTime modified = info.exists() ? info.lastModified() : QDateTime();
  if (modified == loaded_ && !Image->pixmap().isNull()) return;
  loaded_ = modified;
  QPixmap pixmap(info.absoluteFilePath());
  Image->setPixmap(pixmap.isNull() ? QPixmap()
                                   : pixmap.scaled(Image->size() - QSize(4, 4), Qt::KeepAspectRatio,
                                                   Qt::SmoothTransformation));
}

bool TCDScrShotForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Image && event->type() == QEvent::MouseButtonRelease &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(ToQString(file_)));
    return true;
  }
  return TCDAssistantPage::eventFilter(watched, event);
}

void TCDScrShotForm::Leave(TCDAssistantOutput& output) {
  if (!AttachCheck->isChecked()) output.DropScreenShot = true;
}
