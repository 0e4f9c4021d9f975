#include "fax/ui/OnScreen.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <algorithm>

namespace {

// The moves of the first second after a show are the placing and framing of the window by
// the window system; a move after that is the user's and is left alone.
constexpr qint64 kPlacingMs = 1000;

class TOnScreen : public QObject {
 public:
  explicit TOnScreen(QWidget* window) : QObject(window), window_(window) { window->installEventFilter(this); }

  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Show) {
      shown_.start();
      Place();
    } else if (e->type() == QEvent::Move && shown_.isValid() && shown_.elapsed() < kPlacingMs) {
      Place();
    }
    return false;
  }

 private:
  void Place() {
    const QRect frame = window_->frameGeometry();
    QScreen* screen = QGuiApplication::screenAt(frame.center());
    if (screen == nullptr) screen = window_->screen();
    if (screen == nullptr) screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    const QRect area = screen->availableGeometry();
    const int x = std::max(area.left(), std::min(frame.left(), area.right() + 1 - frame.width()));
    const int y = std::max(area.top(), std::min(frame.top(), area.bottom() + 1 - frame.height()));
    if (x != frame.left() || y != frame.top()) window_->move(x, y);
  }

  QWidget* window_;
  QElapsedTimer shown_;
};

}  // namespace

void KeepOnScreen(QWidget* window) { new TOnScreen(window); }
