#pragma once
// Runs the window thread's platform message queue inside Qt's event loop: posted and sent
// messages, window timers and Synchronize calls are handled whenever Qt's loop (or the
// nested loop of a modal dialog) runs.
#include <QObject>

class QSocketNotifier;

class TMessagePump : public QObject {
  Q_OBJECT
 public:
  // Create on the window thread: it pumps the queue of the thread it is created on.
  explicit TMessagePump(QObject* parent = nullptr);
  ~TMessagePump() override;

  // Handles everything pending now. A quit posted to the queue (PostQuitMessage) ends Qt's
  // event loop with its exit code. Nothing a window procedure throws leaves it.
  void Pump();

 private:
  void PumpPending();
  QSocketNotifier* notifier_;
};
