#include "app/UiThread.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QThread>
#include <cstdio>

std::function<void(const std::string& text, TMsgKind kind)> MessageSink;

bool OnWindowThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return !app || QThread::currentThread() == app->thread();
}

void RunOnWindowThread(std::function<void()> fn) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() == app->thread()) {
    fn();
    return;
  }
  QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

void ShowMessage(const std::string& text, TMsgKind kind, const std::string& caption) {
  if (MessageSink) {
    MessageSink(text, kind);
    return;
  }
  if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
    std::fprintf(stderr, "%s\n", text.c_str());
    return;
  }
  RunOnWindowThread([text, kind, caption] {
    QString title = caption.empty() ? QCoreApplication::applicationName() : QString::fromStdString(caption);
    QString body = QString::fromStdString(text);
    switch (kind) {
      case TMsgKind::Information:
        QMessageBox::information(nullptr, title, body);
        break;
      case TMsgKind::Warning:
        QMessageBox::warning(nullptr, title, body);
        break;
      case TMsgKind::Error:
        QMessageBox::critical(nullptr, title, body);
        break;
    }
  });
}
