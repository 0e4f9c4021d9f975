#include "app/UiThread.h"

#include <QApplication>
#include <QCoreApplication>
#include <QGridLayout>
#include <QMessageBox>
#include <QThread>
#include <cstdio>
#include <mutex>
#include <set>
#include <utility>

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

}  // namespace

void FitToCaption(QMessageBox& box) {
  // The box takes the width its layout asks for at least: a spacer across its grid.
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
    grid->addItem(new QSpacerItem(CaptionWidth(box), 0, QSizePolicy::Fixed, QSizePolicy::Minimum),
                  grid->rowCount(), 0, 1, grid->columnCount());
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
  auto key = std::make_pair(caption, text);
  if (!ReserveBox(key)) return;
  RunOnWindowThread([key = std::move(key), kind] {
    const auto& [caption, text] = key;
    QString title = caption.empty() ? QCoreApplication::applicationName() : QString::fromStdString(caption);
    QMessageBox box(IconOf(kind), title, QString::fromStdString(text), QMessageBox::Ok);
    FitToCaption(box);
    box.exec();
    ReleaseBox(key);
  });
}
