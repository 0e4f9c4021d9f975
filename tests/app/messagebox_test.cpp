// The window thread's message boxes: a box is wide enough for its caption in a title bar, and
// a plain box carries no icon. (That a repeated report adds no box while its box is open is
// seen through the acquisition in the first-day tests.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/UiThread.h"

namespace {

std::vector<QMessageBox*> OpenBoxes() {
  std::vector<QMessageBox*> boxes;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) boxes.push_back(box);
  return boxes;
}

// Runs step every few milliseconds from a timer, which fires inside an open box's own loop
// too, until it returns true.
bool Watch(const std::function<bool()>& step, int timeoutMs = 10000) {
  bool done = false;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] { done = done || step(); });
  timer.start(10);
  QElapsedTimer t;
  t.start();
  while (!done && t.elapsed() < timeoutMs) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
  return done;
}

TEST(MessageBoxes, APlainBoxHasNoIconAndRoomForItsCaption) {
  QMessageBox* seen = nullptr;
  int width = 0, titleWidth = 0;
  QMessageBox::Icon icon = QMessageBox::Information;
  std::thread([] { ShowMessage("Datenübertragung OK", TMsgKind::Plain, "Schreiben der Daten"); }).join();
  ASSERT_TRUE(Watch([&] {
    const auto boxes = OpenBoxes();
    if (boxes.empty()) return false;
    seen = boxes.front();
    icon = seen->icon();
    width = seen->width();
    QFont bold = seen->font();
    bold.setBold(true);
    titleWidth = QFontMetrics(bold).horizontalAdvance(seen->windowTitle());
    seen->button(QMessageBox::Ok)->click();
    return true;
  }));
  EXPECT_EQ(icon, QMessageBox::NoIcon);
  // A title bar holds the window's icon and three buttons beside the caption.
  EXPECT_GE(width, titleWidth + 4 * 22);
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
