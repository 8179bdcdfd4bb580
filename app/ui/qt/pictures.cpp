// Pictures from the SVG resources, and the busy animation over its strip.
#include "app/ui/qt/pictures.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>
#include <QTimer>
#include <cmath>

namespace zorbix::app::ui {
namespace {

constexpr int kAnimationFrameSize = 119;  // one frame of the strip, in SVG units

QString PicturePath(int id) { return QStringLiteral(":/zorbix/pictures/%1.svg").arg(id); }

QPixmap Render(QSvgRenderer& renderer, QSize size, qreal dpr) {
  QPixmap pm(size * dpr);
  pm.setDevicePixelRatio(dpr);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  renderer.render(&p, QRectF(QPointF(0, 0), QSizeF(size)));
  return pm;
}

}  // namespace

QPixmap Picture(int id, QSize box, qreal devicePixelRatio, Qt::AspectRatioMode mode) {
  box = box.expandedTo(QSize(1, 1));
  QSvgRenderer renderer(PicturePath(id));
  if (!renderer.isValid()) {
    QPixmap empty(box);
    empty.fill(Qt::transparent);
    return empty;
  }
  const QSize size = renderer.defaultSize().scaled(box, mode).expandedTo(QSize(1, 1));
  QPixmap drawn = Render(renderer, size, devicePixelRatio);
  if (size == box || mode != Qt::KeepAspectRatioByExpanding) return drawn;
  const QRect middle(QPoint((size.width() - box.width()) / 2, (size.height() - box.height()) / 2),
                     box);
  QPixmap cut = drawn.copy(QRectF(QPointF(middle.topLeft()) * devicePixelRatio,
                                  QSizeF(middle.size()) * devicePixelRatio).toRect());
  cut.setDevicePixelRatio(devicePixelRatio);
  return cut;
}

BusyAnimation::BusyAnimation(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("animation"));
  timer_ = new QTimer(this);
  timer_->setTimerType(Qt::PreciseTimer);
  // Ticks twice a frame; the frame shown follows the clock, so the rate
  // stays at six a second whatever the timer's jitter.
  timer_->setInterval(1000 / kFramesPerSecond / 2);
  connect(timer_, &QTimer::timeout, this, [this] { Tick(); });
}

void BusyAnimation::Open(int resourceId) {
  Stop();
  frames_.clear();
  QSvgRenderer renderer(PicturePath(resourceId));
  if (renderer.isValid()) {
    const qreal dpr = devicePixelRatioF();
    const int count = renderer.defaultSize().width() / kAnimationFrameSize;
    for (int i = 0; i < count; ++i) {
      renderer.setViewBox(QRectF(i * kAnimationFrameSize, 0, kAnimationFrameSize, kAnimationFrameSize));
      frames_.push_back(Render(renderer, size(), dpr));
    }
  }
  show();
  update();
}

void BusyAnimation::Play() {
  playing_ = true;
  clock_.start();
  timer_->start();
}

void BusyAnimation::Stop() {
  playing_ = false;
  timer_->stop();
  frame_ = 0;
  update();
}

void BusyAnimation::Tick() {
  if (frames_.empty()) return;
  const int frame = static_cast<int>(clock_.elapsed() * kFramesPerSecond / 1000 %
                                     static_cast<qint64>(frames_.size()));
  if (frame != frame_) {
    frame_ = frame;
    update();
  }
}

void BusyAnimation::paintEvent(QPaintEvent*) {
  if (frames_.empty()) return;
  QPainter p(this);
  p.drawPixmap(0, 0, frames_[static_cast<std::size_t>(frame_) % frames_.size()]);
}

}  // namespace zorbix::app::ui
