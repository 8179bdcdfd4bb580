// Pictures by resource id: the status icons, the page bitmaps and the busy
// animation. A picture found in the Qt resources (":/zorbix/pictures/<id>.png",
// ":/zorbix/animations/<id>.gif") wins; otherwise a simple drawing stands in.
#pragma once

#include <QPixmap>
#include <QString>
#include <QWidget>

class QLabel;
class QMovie;
class QTimer;

namespace zorbix::app::ui {

QPixmap Picture(int id, int size);

// The busy animation of the test page.
class BusyAnimation : public QWidget {
 public:
  explicit BusyAnimation(QWidget* parent);

  void Open(int resourceId);  // shows the first frame, still
  void Play();                // all frames, repeating
  void Stop();                // stop and show the first frame
  bool IsPlaying() const { return playing_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QLabel* movieLabel_ = nullptr;
  QMovie* movie_ = nullptr;
  QTimer* spin_ = nullptr;
  int frame_ = 0;
  bool playing_ = false;
};

}  // namespace zorbix::app::ui
