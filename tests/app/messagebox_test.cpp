// The window thread's message boxes: a report repeated while its box is open adds no box, a
// box is wide enough for its caption in a title bar, and a plain box carries no icon.
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

// Runs step every few milliseconds from a timer, which fires inside the open boxes' own
// loops too, until it returns true; from then on the timer closes every box that is still
// open, so that the loops unwind.
bool Watch(const std::function<bool()>& step, int timeoutMs = 10000) {
  bool done = false;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (!done) {
      done = step();
      return;
    }
    for (QMessageBox* box : OpenBoxes()) box->button(QMessageBox::Ok)->click();
  });
  timer.start(10);
  QElapsedTimer t;
  t.start();
  while (!done && t.elapsed() < timeoutMs) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
  return done;
}

TEST(MessageBoxes, AReportRepeatedWhileItsBoxIsOpenAddsNoBoxUntilItIsClosed) {
  auto report = [] { ShowMessage("Tabelle kann nicht geschrieben werden", TMsgKind::Error, "Datenbank"); };
  std::thread cycles([&] {
    for (int i = 0; i < 5; ++i) report();
    ShowMessage("Tabelle kann nicht geschrieben werden", TMsgKind::Error, "Datenabfrage");
  });
  cycles.join();

  int most = 0, ticks = 0;
  bool asked = false, returned = false, returnedWhileOpen = false;
  ASSERT_TRUE(Watch([&] {
    const auto boxes = OpenBoxes();
    most = std::max(most, static_cast<int>(boxes.size()));
    if (boxes.size() < 2) return false;
    if (!asked) {
      // The same report from the window thread returns at once while its box is open.
      asked = true;
      QTimer::singleShot(0, [&] {
        report();
        returned = true;
      });
      return false;
    }
    if (++ticks < 5) return false;
    returnedWhileOpen = returned;
    for (QMessageBox* box : boxes) box->button(QMessageBox::Ok)->click();
    return true;
  }));
  EXPECT_TRUE(returnedWhileOpen);
  EXPECT_EQ(most, 2) << "one box for each caption";
  QApplication::processEvents();
  EXPECT_TRUE(OpenBoxes().empty());

  // Closed: the next occurrence is shown again.
  std::thread([&] { report(); }).join();
  EXPECT_TRUE(Watch([&] {
    const auto boxes = OpenBoxes();
    if (boxes.empty()) return false;
    boxes.front()->button(QMessageBox::Ok)->click();
    return true;
  }));
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
