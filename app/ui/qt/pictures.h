// Pictures by resource id, drawn from the SVG files of res/pictures (built
// into the program as Qt resources): the status icons, the page bitmaps, the
// program icon and the busy animation.
#pragma once

#include <QElapsedTimer>
#include <QPixmap>
#include <QSize>
#include <QWidget>
#include <vector>

class QTimer;

namespace zorbix::app::ui {

// Picture `id` fitted into `box` (aspect kept; with KeepAspectRatioByExpanding
// it covers the box and its middle part is kept), drawn for
// `devicePixelRatio`. A transparent pixmap when there is no such picture.
QPixmap Picture(int id, QSize box, qreal devicePixelRatio = 1.0,
                Qt::AspectRatioMode mode = Qt::KeepAspectRatio);
inline QPixmap Picture(int id, int size, qreal devicePixelRatio = 1.0) {
  return Picture(id, QSize(size, size), devicePixelRatio);
}

// The busy animation of the test page: 26 frames, 6 a second.
class BusyAnimation : public QWidget {
 public:
  static constexpr int kFrames = 26;
  static constexpr int kFramesPerSecond = 6;

  explicit BusyAnimation(QWidget* parent);

  void Open(int resourceId);  // shows the first frame, still
  void Play();                // all frames, repeating
  void Stop();                // stop and show the first frame
  bool IsPlaying() const { return playing_; }
  int Frame() const { return frame_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void Tick();

  std::vector<QPixmap> frames_;
  QTimer* timer_ = nullptr;
  QElapsedTimer clock_;
  int frame_ = 0;
  bool playing_ = false;
};

}  // namespace zorbix::app::ui
