#include "app/UiThread.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QGridLayout>
#include <QMessageBox>
#include <QPointer>
#include <QThread>
#include <QWindow>
#include <cstdio>
#include <mutex>
#include <set>
#include <utility>

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#include <sanitizer/tsan_interface.h>
#define KORVIDAN_THREAD_CHECKER 1
#endif
#endif

TMessageSink MessageSink;

bool OnWindowThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return !app || QThread::currentThread() == app->thread();
}

namespace {

// A call queued for the window thread: an object of its own, made on the calling thread and
// handed to the window thread whole, which runs it and deletes it. (A queued functor of Qt's
// is released by whichever thread lets go of it last, and Qt's queue is built without the
// thread checker, so that hand-over would be invisible to it.)
class TQueuedCall : public QObject {
 public:
  TQueuedCall(std::function<void()> fn, QObject* context)
      : fn_(std::move(fn)), context_(context), hasContext_(context != nullptr) {}

  static QEvent::Type Type() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
  }

  bool event(QEvent* e) override {
    HandOverEnd(this);
    if (e->type() != Type()) return QObject::event(e);
    deleteLater();
    // A context that is gone drops the call; without one it always runs.
    if (!hasContext_ || context_) fn_();
    return true;
  }

  // What the calling thread did before posting (the call and its event made) happens before
  // the window thread handles any event of the call.
  static void HandOverStart(void* call) {
#if KORVIDAN_THREAD_CHECKER
    __tsan_release(call);
#else
    (void)call;
#endif
  }
  static void HandOverEnd(void* call) {
#if KORVIDAN_THREAD_CHECKER
    __tsan_acquire(call);
#else
    (void)call;
#endif
  }

 private:
  std::function<void()> fn_;
  QPointer<QObject> context_;
  bool hasContext_;
};

}  // namespace

void RunOnWindowThread(std::function<void()> fn, QObject* context) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() == app->thread()) {
    fn();
    return;
  }
  auto* call = new TQueuedCall(std::move(fn), context);
  call->moveToThread(app->thread());
  // The event itself is made by Qt, as Qt's own queued events are: the window thread's
  // application filters (one looks at every window's shows) read its type before the call's
  // hand-over is taken, and only Qt's queue, which the thread checker cannot see into, hands
  // it over.
  QEvent* run = QEvent(TQueuedCall::Type()).clone();
  TQueuedCall::HandOverStart(call);
  QCoreApplication::postEvent(call, run);
}

namespace {

// The boxes on screen or on their way there, by caption and text. A report that comes again
// while its box is still open (a failing cycle every minute, say) adds no second box.
std::mutex openBoxesLock;
std::set<std::pair<std::string, std::string>> openBoxes;

bool ReserveBox(const std::pair<std::string, std::string>& key) {
  std::lock_guard<std::mutex> g(openBoxesLock);
  return openBoxes.insert(key).second;
}

void ReleaseBox(const std::pair<std::string, std::string>& key) {
  std::lock_guard<std::mutex> g(openBoxesLock);
  openBoxes.erase(key);
}

QMessageBox::Icon IconOf(TMsgKind kind) {
  switch (kind) {
    case TMsgKind::Plain:
      return QMessageBox::NoIcon;
    case TMsgKind::Information:
      return QMessageBox::Information;
    case TMsgKind::Warning:
      return QMessageBox::Warning;
    case TMsgKind::Error:
      break;
  }
  return QMessageBox::Critical;
}

// The width a window needs for its caption to stand whole in a title bar: window managers
// draw the title in a bold face, beside the window's icon and its three buttons.
int CaptionWidth(const QWidget& window) {
  QFont bold = window.font();
  bold.setBold(true);
  const QFontMetrics fm(bold);
  return fm.horizontalAdvance(window.windowTitle()) + 6 * fm.height();
}

QPointer<QWidget> mainWindow;

QWidget* Shown(QWidget* window) { return window && window->isVisible() ? window : nullptr; }

// The window system keeps the window above its owner's while both are shown. The window is
// not the owner's child: a window that is disabled for a while, the main window during a
// programming transfer, would disable it with it.
void SetOwner(QWidget& window, const QWidget& owner) {
  (void)window.winId();
  if (QWindow* handle = window.windowHandle()) handle->setTransientParent(owner.windowHandle());
}

// A window that comes unasked leaves the keyboard with the window the user works in. It is
// shown without being activated; should the window system activate it all the same as it maps
// it (the offscreen platform does, so do some window managers), that window gets the keyboard
// back: an activation before the window is on the screen is none that the user asked for.
class TKeyboardStays : public QObject {
 public:
  TKeyboardStays(QWidget& window, QWidget& user) : QObject(&window), user_(&user) {
    (void)window.winId();
    window_ = window.windowHandle();
    window_->installEventFilter(this);
  }

  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::FocusIn) {
      if (user_ && user_->isVisible()) user_->activateWindow();
      Done();
    } else if (e->type() == QEvent::Expose && window_ && window_->isExposed()) {
      Done();
    }
    return false;
  }

 private:
  void Done() {
    if (window_) window_->removeEventFilter(this);
    deleteLater();
  }

  QPointer<QWidget> user_;
  QPointer<QWindow> window_;
};

// Shows a window without taking the keyboard from the window the user works in.
void ShowLeavingKeyboard(QWidget& window) {
  window.setAttribute(Qt::WA_ShowWithoutActivating);
  if (QWidget* user = Shown(QApplication::activeWindow()); user && user != &window)
    new TKeyboardStays(window, *user);
}

// Whenever its window is shown, it stands above the main window (see StandAboveMainWindow).
class TAboveMainWindow : public QObject {
 public:
  TAboveMainWindow(QWidget& window, TKeyboard keyboard) : QObject(&window), keyboard_(keyboard) {
    setObjectName(QStringLiteral("AboveMainWindow"));
    // A window system keeps a window above its owner only when it is one that has an owner
    // (a dialog's kind of window; X11 ignores the owner of a plain window). Its buttons stay.
    if (window.windowType() == Qt::Window)
      window.setWindowFlags(Qt::Dialog | (window.windowFlags() & ~Qt::WindowType_Mask));
    if (keyboard == TKeyboard::Leaves) window.setAttribute(Qt::WA_ShowWithoutActivating);
    window.installEventFilter(this);
  }

  bool eventFilter(QObject* o, QEvent* e) override {
    // A show of the program's (not the window system's giving back a minimised window).
    if (e->type() != QEvent::Show || e->spontaneous()) return false;
    auto& window = *static_cast<QWidget*>(o);
    QWidget* owner = Shown(mainWindow);
    if (!owner || owner == &window) return false;
    SetOwner(window, *owner);
    // A dialog centres itself on its owner's window as it shows, unless it was placed.
    if (!qobject_cast<QDialog*>(&window) && !window.testAttribute(Qt::WA_Moved)) {
      const QRect frame = owner->frameGeometry();
      const QSize size = window.frameGeometry().size();
      window.move(frame.center() - QPoint(size.width() / 2, size.height() / 2));
      window.setAttribute(Qt::WA_Moved, false);  // placed by no one: centred again next time
    }
    if (keyboard_ == TKeyboard::Leaves) ShowLeavingKeyboard(window);
    return false;
  }

 private:
  TKeyboard keyboard_;
};

}  // namespace

void SetMainWindow(QWidget* window) { mainWindow = window; }

void StandAboveMainWindow(QWidget& window, TKeyboard keyboard) {
  if (!window.findChild<TAboveMainWindow*>(QStringLiteral("AboveMainWindow"), Qt::FindDirectChildrenOnly))
    new TAboveMainWindow(window, keyboard);
}

void FitToCaption(QMessageBox& box) {
  // The box takes the width its layout asks for at least: a spacer across its grid.
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
    grid->addItem(new QSpacerItem(CaptionWidth(box), 0, QSizePolicy::Fixed, QSizePolicy::Minimum),
                  grid->rowCount(), 0, 1, grid->columnCount());
}

void ShowMessage(const std::string& text, TMsgKind kind, const std::string& caption) {
  if (const auto sink = MessageSink.Get()) {
    sink(text, kind);
    return;
  }
  if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
    std::fprintf(stderr, "%s\n", text.c_str());
    return;
  }
  auto key = std::make_pair(caption, text);
  if (!ReserveBox(key)) return;
  // A box reported from another thread (the acquisition's, say) is not modal and runs no loop
  // of its own: the main window can still be closed, and a close does not wait for an answer.
  const bool modal = OnWindowThread();
  RunOnWindowThread([key = std::move(key), kind, modal] {
    const auto& [caption, text] = key;
    QString title = caption.empty() ? QCoreApplication::applicationName() : QString::fromStdString(caption);
    auto* box = new QMessageBox(IconOf(kind), title, QString::fromStdString(text), QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    FitToCaption(*box);
    QObject::connect(box, &QDialog::finished, [key] { ReleaseBox(key); });
    QWidget* user = Shown(QApplication::activeWindow());
    if (QWidget* owner = modal && user ? user : Shown(mainWindow)) SetOwner(*box, *owner);
    if (modal) {
      box->exec();
    } else {
      box->setWindowModality(Qt::NonModal);  // a message box is modal from its start
      ShowLeavingKeyboard(*box);
      box->show();
    }
  });
}
