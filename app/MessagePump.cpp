#include "app/MessagePump.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include "platform/Messages.h"
#include "serial/SioPort.h"

TMessagePump::TMessagePump(QObject* parent)
    : QObject(parent), notifier_(new QSocketNotifier(MessageQueueFd(), QSocketNotifier::Read, this)) {
  connect(notifier_, &QSocketNotifier::activated, this, &TMessagePump::Pump);
  notifier_->setEnabled(true);
}

TMessagePump::~TMessagePump() = default;

void TMessagePump::Pump() {
  // A window procedure that throws has its message taken: what it threw goes to the
  // application's exception handler, and the messages after it are handled as usual.
  bool done = false;
  while (!done) SioGuarded([&] {
    PumpPending();
    done = true;
  });
}

void TMessagePump::PumpPending() {
  if (ProcessMessages()) return;
  // A quit is pending: take it (and what was posted after it) and end Qt's loop.
  MSG msg;
  while (PeekMessage(&msg, true)) {
    if (msg.message == WM_QUIT) {
      QCoreApplication::exit(static_cast<int>(msg.wParam));
      return;
    }
    DispatchMessage(msg);
  }
}
