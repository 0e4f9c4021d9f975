#include "fax/ui/OnScreen.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QHash>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <algorithm>

namespace {

// The moves of the first second after a window appears are the placing and framing of the
// window by the window system; a move after that is the user's and is left alone.
constexpr qint64 kPlacingMs = 1000;

bool IsPlacedWindow(const QWidget& w) {
  if (!w.isWindow()) return false;
  switch (w.windowType()) {
    case Qt::Window:
    case Qt::Dialog:
    case Qt::Sheet:
    case Qt::Tool:
      return true;
    default:
      return false;
  }
}

void Place(QWidget& window) {
  const QRect frame = window.frameGeometry();
  QScreen* screen = QGuiApplication::screenAt(frame.center());
  if (screen == nullptr) screen = window.screen();
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  const int x = std::max(area.left(), std::min(frame.left(), area.right() + 1 - frame.width()));
  const int y = std::max(area.top(), std::min(frame.top(), area.bottom() + 1 - frame.height()));
  if (x != frame.left() || y != frame.top()) window.move(x, y);
}

// Installed on the application object, it sees the events of every object of the window
// thread; it only looks at the shows, the exposures and the early moves of windows.
//
// Until the window system has put a window on the screen, the places it reports for it are
// not yet where the window stands (an X server reports the place of the window it made, at
// the top left, while the window manager still places it): a window is placed at its show and
// once it appears, and only the moves after that count. A move asked for on such a report
// would be carried out after the window manager's placing and leave the window in the corner.
class TOnScreen : public QObject {
 public:
  explicit TOnScreen(QObject* app) : QObject(app) { app->installEventFilter(this); }

  bool eventFilter(QObject* o, QEvent* e) override {
    const QEvent::Type type = e->type();
    if (type == QEvent::WindowStateChange && o->isWidgetType()) {
      KeepUnbuttonedState(*static_cast<QWidget*>(o));
      return false;
    }
    if (type == QEvent::Expose) {
      if (auto* handle = qobject_cast<QWindow*>(o); handle && handle->isExposed()) Appeared(*handle);
      return false;
    }
    if (type != QEvent::Show && type != QEvent::Move) return false;
    if (!o->isWidgetType()) return false;
    auto* w = static_cast<QWidget*>(o);
    if (!IsPlacedWindow(*w)) return false;
    if (type == QEvent::Show) {
      auto it = shown_.find(w);
      if (it == shown_.end()) {
        it = shown_.insert(w, TShown());
        connect(w, &QObject::destroyed, this, [this, w] { shown_.remove(w); });
      }
      it->appeared = false;
      // A window that nobody placed is placed as it shows, after this (a dialog centres itself
      // on its owner), or by the window manager: it is kept on the screen once it appears.
      if (w->testAttribute(Qt::WA_Moved)) Place(*w);
    } else if (auto it = shown_.constFind(w);
               it != shown_.constEnd() && it->appeared && it->since.elapsed() < kPlacingMs) {
      Place(*w);
    }
    return false;
  }

 private:
  struct TShown {
    bool appeared = false;  // on the screen since its last show
    QElapsedTimer since;    // since it appeared
  };

  // A window that asks for a title bar without a minimise or maximise button is not left
  // minimised or maximised by a window manager that draws those buttons all the same (openbox
  // does): a modal dialog minimised would block the other windows from nowhere.
  static void KeepUnbuttonedState(QWidget& w) {
    if (!w.isWindow() || !w.windowFlags().testFlag(Qt::CustomizeWindowHint)) return;
    Qt::WindowStates undo;
    if (!w.windowFlags().testFlag(Qt::WindowMinimizeButtonHint)) undo |= Qt::WindowMinimized;
    if (!w.windowFlags().testFlag(Qt::WindowMaximizeButtonHint)) undo |= Qt::WindowMaximized;
    if (!(w.windowState() & undo)) return;
    QTimer::singleShot(0, &w, [&w, undo] {
      if (w.isVisible()) w.setWindowState(w.windowState() & ~undo);
    });
  }

  void Appeared(QWindow& handle) {
    for (auto it = shown_.begin(); it != shown_.end(); ++it) {
      auto* w = static_cast<QWidget*>(it.key());
      if (w->windowHandle() != &handle || it->appeared) continue;
      it->appeared = true;
      it->since.start();
      Place(*w);
      return;
    }
  }

  // The windows shown so far.
  QHash<QObject*, TShown> shown_;
};

}  // namespace

void KeepWindowsOnScreen() {
  // One filter for each application object (a test program may make a second one).
  static QPointer<TOnScreen> filter;
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || (filter && filter->parent() == app)) return;
  filter = new TOnScreen(app);
}
