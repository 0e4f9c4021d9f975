#pragma once
// The window thread's share of the application: message boxes and work that has to run
// there, from whichever thread asks for it.
#include <functional>
#include <mutex>
#include <string>

class QMessageBox;
class QObject;
class QWidget;

// Plain: a box without an icon.
enum class TMsgKind { Plain, Information, Warning, Error };

// Shows a message box with an OK button. On the window thread it is modal and returns when
// closed; it stands above the window the user works in (else above the main window) and
// takes the keyboard. From any other thread the box is queued for the window thread and the
// caller goes on at once (a worker thread never waits for the window thread). Such a box is
// not modal: it blocks no other window, and nothing waits for its answer; it stands above the
// main window and leaves the keyboard where it is, with a dialog the user is typing in, say.
// While a box of the same caption and text is open (or queued), the report is not shown
// again; once it is closed, the next one is. Without a running application the text goes to
// stderr.
void ShowMessage(const std::string& text, TMsgKind kind = TMsgKind::Information,
                 const std::string& caption = {});

// The main window, above which the boxes stand; while it is unset, gone or hidden, a box
// stands on its own. Window thread only.
void SetMainWindow(QWidget* window);

// Whether a window takes the keyboard as it shows, or leaves it with the window the user
// works in (a window that comes unasked, a progress box, say).
enum class TKeyboard { Takes, Leaves };

// From now on, whenever the window is shown while the main window is, it stands above the
// main window, as the boxes do, for as long as it is shown; it opens centred on the main
// window unless it was placed before its show. A second call does nothing. Window thread only.
void StandAboveMainWindow(QWidget& window, TKeyboard keyboard = TKeyboard::Takes);

// Widens a box until its caption stands whole in a window manager's title bar; call once its
// title, text and buttons are set.
void FitToCaption(QMessageBox& box);

// When set, receives every message instead of a box (headless runs, tests). Set and taken
// under a lock of its own: a box may be asked for from any thread while the sink changes.
class TMessageSink {
 public:
  using Fn = std::function<void(const std::string& text, TMsgKind kind)>;
  TMessageSink& operator=(Fn fn) {
    std::lock_guard<std::mutex> g(lock_);
    fn_ = std::move(fn);
    return *this;
  }
  // A copy of what is set now (empty when nothing is).
  Fn Get() const {
    std::lock_guard<std::mutex> g(lock_);
    return fn_;
  }

 private:
  mutable std::mutex lock_;
  Fn fn_;
};
extern TMessageSink MessageSink;

// True on the thread of the application object (the window thread), and when there is no
// application object at all.
bool OnWindowThread();
// Runs fn at once on the window thread, else queues it there without waiting. With a
// context, a queued fn is dropped when the context is destroyed before it runs. The calling
// thread touches nothing of a queued fn afterwards: all it did before is done when fn runs.
void RunOnWindowThread(std::function<void()> fn, QObject* context = nullptr);
