// Stand-in drawings until the real pictures land in the resources.
#include "app/ui/qt/pictures.h"

#include <QFile>
#include <QLabel>
#include <QMovie>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTimer>

#include "app/ui/wizard_ui.h"

namespace zorbix::app::ui {
namespace {

constexpr int kSpinnerFrames = 12;
constexpr int kSpinnerPeriodMs = 166;  // about 6 frames a second

QPixmap Ball(QColor colour, int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  QRadialGradient g(size * 0.35, size * 0.35, size * 0.6);
  g.setColorAt(0, colour.lighter(170));
  g.setColorAt(1, colour.darker(130));
  p.setBrush(g);
  p.setPen(QPen(colour.darker(180), 1));
  p.drawEllipse(QRectF(1, 1, size - 2, size - 2));
  return pm;
}

QPixmap Triangle(int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath path;
  path.moveTo(size / 2.0, 1);
  path.lineTo(size - 1, size - 1);
  path.lineTo(1, size - 1);
  path.closeSubpath();
  p.setBrush(QColor(250, 210, 40));
  p.setPen(QPen(QColor(120, 90, 0), 1));
  p.drawPath(path);
  p.setPen(QPen(Qt::black, std::max(1, size / 10)));
  p.drawLine(QPointF(size / 2.0, size * 0.35), QPointF(size / 2.0, size * 0.7));
  p.drawPoint(QPointF(size / 2.0, size * 0.82));
  return pm;
}

// A neutral framed tile for the decoration bitmaps and the other icons.
QPixmap Tile(int id, int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(QColor(200, 215, 235));
  p.setPen(QPen(QColor(60, 80, 120), 1));
  p.drawRoundedRect(QRectF(1, 1, size - 2, size - 2), size / 6.0, size / 6.0);
  if (id == 142 || id == 144) {
    p.setPen(QPen(QColor(60, 80, 120), std::max(1, size / 16)));
    p.drawText(pm.rect(), Qt::AlignCenter, QStringLiteral("ORVA"));
  }
  return pm;
}

}  // namespace

QPixmap Picture(int id, int size) {
  const QString path = QStringLiteral(":/zorbix/pictures/%1.png").arg(id);
  if (QFile::exists(path)) {
    QPixmap pm(path);
    if (!pm.isNull())
      return pm.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  }
  switch (id) {
    case kIconPass: return Ball(QColor(40, 170, 40), size);
    case kIconNotRun: return Ball(QColor(150, 150, 150), size);
    case kIconFail: return Ball(QColor(210, 40, 40), size);
    case kIconWarning: return Triangle(size);
    default: return Tile(id, size);
  }
}

BusyAnimation::BusyAnimation(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("animation"));
}

void BusyAnimation::Open(int resourceId) {
  Stop();
  delete movieLabel_;
  movieLabel_ = nullptr;
  movie_ = nullptr;
  const QString path = QStringLiteral(":/zorbix/animations/%1.gif").arg(resourceId);
  if (QFile::exists(path)) {
    movieLabel_ = new QLabel(this);
    movieLabel_->setGeometry(rect());
    movieLabel_->setScaledContents(true);
    movie_ = new QMovie(path, QByteArray(), movieLabel_);
    movieLabel_->setMovie(movie_);
    movie_->jumpToFrame(0);
    movieLabel_->show();
  } else if (!spin_) {
    spin_ = new QTimer(this);
    spin_->setInterval(kSpinnerPeriodMs);
    connect(spin_, &QTimer::timeout, this, [this] {
      frame_ = (frame_ + 1) % kSpinnerFrames;
      update();
    });
  }
  show();
}

void BusyAnimation::Play() {
  playing_ = true;
  if (movie_) {
    movie_->start();
  } else if (spin_) {
    spin_->start();
  }
}

void BusyAnimation::Stop() {
  playing_ = false;
  if (movie_) {
    movie_->stop();
    movie_->jumpToFrame(0);
  }
  if (spin_) spin_->stop();
  frame_ = 0;
  update();
}

void BusyAnimation::paintEvent(QPaintEvent*) {
  if (movie_) return;
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QPointF c(width() / 2.0, height() / 2.0);
  const double r = std::min(width(), height()) / 2.0 - 2;
  for (int i = 0; i < kSpinnerFrames; ++i) {
    const int age = (frame_ - i + kSpinnerFrames) % kSpinnerFrames;
    QColor dot(40, 80, 160);
    dot.setAlphaF(playing_ ? 1.0 - age / double(kSpinnerFrames) : 0.35);
    p.save();
    p.translate(c);
    p.rotate(i * 360.0 / kSpinnerFrames);
    p.setBrush(dot);
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(0, -r * 0.75), r * 0.15, r * 0.15);
    p.restore();
  }
}

}  // namespace zorbix::app::ui
