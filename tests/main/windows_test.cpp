// Where the application's windows and boxes appear, on a screen of 1024×768 (the offscreen
// platform's screen is set so in main): every window opens wholly on the screen at its
// designed size, wherever it was placed before; a box that the acquisition raises stands above
// the main window and leaves the keyboard with the window the user types in.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QMoveEvent>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/Application.h"
#include "app/DatabaseMove.h"
#include "app/DlgReadSaveData.h"
#include "app/DlgUpdate.h"
#include "app/GraphicOverview.h"
#include "app/IntervallFrm.h"
#include "app/Main.h"
#include "app/Sensorgraphic.h"
#include "app/SharedState.h"
#include "app/StoredDataWindow.h"
#include "app/UiThread.h"
#include "app/ValueBoard.h"
#include "fax/ui/OnScreen.h"
#include "link/RS485BusNew.h"
#include "link/SensorRecords.h"
#include "programming/ui/ProgrammingForm.h"
#include "serial/ComSelect.h"
#include "serial/ComSelectForm.h"
#include "tests/main/Driver.h"
#include "tests/programming_ui/ProgrammingSample.h"
#include "tests/support/TempDir.h"

namespace {

using e2e::RunUntil;

QRect Area() { return QGuiApplication::primaryScreen()->availableGeometry(); }

QMessageBox* OpenBox(const QString& text) {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible() && box->text().contains(text))
      return box;
  return nullptr;
}

// Keys as the keyboard sends them: to whatever has the keyboard focus.
void Type(const QString& text) {
  for (QChar c : text) {
    QWidget* focus = QApplication::focusWidget();
    if (!focus) return;
    QKeyEvent press(QEvent::KeyPress, c.unicode(), Qt::NoModifier, QString(c));
    QKeyEvent release(QEvent::KeyRelease, c.unicode(), Qt::NoModifier, QString(c));
    QApplication::sendEvent(focus, &press);
    QApplication::sendEvent(focus, &release);
  }
}

class WindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QGuiApplication::primaryScreen()->geometry(), QRect(0, 0, 1024, 768));
    driver.start(50);
    QObject::connect(&driver, &QTimer::timeout, [this] { user.Act(); });
  }
  void TearDown() override {
    MessageSink = nullptr;
    TForm1::ConfirmSink = nullptr;
  }

  e2e::Sandbox sandbox;
  e2e::User user;
  QTimer driver;
};

// Every window of the application, placed where its bottom right lies off the screen ("Grafik
// Sensor" once opened at y = 333 with its 450 pixels of height), opens wholly inside the
// available area, at the size it was made with.
TEST_F(WindowsTest, EveryWindowOpensWhollyOnTheScreenAtItsDesignedSize) {
  std::vector<std::string> boxes;
  MessageSink = [&](const std::string& text, TMsgKind) { boxes.push_back(text); };
  e2e::Simulator sim({"--fixed", "--period", "1"});
  ASSERT_FALSE(sim.Path().empty());
  setenv("SIO_COM1", sim.Path().c_str(), 1);
  InstallComSelectPrompt();
  user.startAcquisition = false;
  // The windows of the start-up, where they stood when first seen, before the user answers.
  std::map<std::string, QRect> startUp;
  driver.disconnect();
  QObject::connect(&driver, &QTimer::timeout, [&] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->isVisible()) startUp.emplace(w->windowTitle().toStdString(), w->frameGeometry());
    user.Act();
  });
  auto app = std::make_unique<TKorvidanApplication>();
  app->Show();
  ASSERT_TRUE(RunUntil([&] { return user.startAnswers == 1; }, 30000)) << "no start question";
  driver.stop();
  EXPECT_EQ(user.portDialogs, 1);
  for (const char* title : {"Select Port", "ovu dralmit v0.19.0", "Dralmit Startup"})
    EXPECT_EQ(startUp.count(title), 1u) << title;
  for (const auto& [title, frame] : startUp) EXPECT_TRUE(Area().contains(frame)) << title;

  // A file dialog that a window opens as it shows ("Datenbanken verschieben") is cancelled.
  const e2e::CancellingFileDialogs cancel;

  const QRect area = Area();
  std::vector<std::string> walked;
  std::set<QWidget*> seen;
  for (bool more = true; more;) {
    more = false;
    for (QWidget* w : QApplication::topLevelWidgets()) {
      const Qt::WindowType type = w->windowType();
      if ((type != Qt::Window && type != Qt::Dialog && type != Qt::Tool) || !seen.insert(w).second) continue;
      more = true;
      const std::string title = w->windowTitle().toStdString();
      SCOPED_TRACE(title);
      walked.push_back(title);
      const bool wasVisible = w->isVisible();
      w->hide();
      const QSize designed = w->size();
      const QSize frame = w->frameGeometry().size();
      w->move(area.right() + 1 - frame.width() / 2, area.bottom() + 1 - frame.height() / 2);
      w->show();
      ASSERT_TRUE(RunUntil([&] { return w->windowHandle() && w->windowHandle()->isExposed(); }, 15000));
      const QRect placed = w->frameGeometry();
      EXPECT_TRUE(area.contains(placed))
          << placed.width() << "x" << placed.height() << " at " << placed.x() << "," << placed.y();
      // Not made smaller to fit (a layout may widen a window a little beyond its form's size).
      EXPECT_GE(w->width(), designed.width());
      EXPECT_GE(w->height(), designed.height());
      if (!wasVisible) w->hide();
    }
  }
  EXPECT_NE(std::find(walked.begin(), walked.end(), "Grafik Sensor"), walked.end());
  EXPECT_NE(std::find(walked.begin(), walked.end(), "Grafik Übersicht"), walked.end());
  EXPECT_GE(walked.size(), 30u);

  app->MainForm->close();
  app.reset();
}

// While the user types in the programming window, the acquisition hears nothing on the bus:
// its box stands above the main window, and the keys go on into the field.
TEST_F(WindowsTest, ABoxFromTheAcquisitionStandsAboveTheMainWindowAndLeavesTheKeyboard) {
  e2e::Simulator sim({"--fixed", "--period", "1"});
  ASSERT_FALSE(sim.Path().empty());
  setenv("SIO_COM1", sim.Path().c_str(), 1);
  InstallComSelectPrompt();
  const std::string file = sandbox.Write("sample.prg", sample::PrgFile(sample::Configuration()));
  user.startAcquisition = false;
  auto app = std::make_unique<TKorvidanApplication>();
  TForm1& main = *app->MainForm;
  main.FState.SetIntervalSeconds(0);
  app->Bus->ListenMilliseconds = 500;
  app->Show();
  ASSERT_TRUE(RunUntil([&] { return user.startAnswers == 1; }, 30000));
  driver.stop();
  ASSERT_FALSE(main.IsCollecting());

  // "korvidan konfigurieren", a file opened through its dialog, a field typed in.
  main.korvidanprogrammieren1->trigger();
  TProgrammingForm& programming = *app->Programming;
  QFileDialog* open = programming.odProgData();
  QTimer::singleShot(0, open, [open, file] {
    if (auto* list = open->findChild<QAbstractItemView*>("listView")) list->clearSelection();
    if (auto* name = open->findChild<QLineEdit*>("fileNameEdit")) name->setText(QString::fromStdString(file));
    QMetaObject::invokeMethod(open, "accept");
  });
  programming.Dateiffnen1->trigger();
  auto* field = programming.findChild<QLineEdit*>("PhPanelWertSommerTag");
  ASSERT_NE(field, nullptr);
  ASSERT_TRUE(field->isEnabled()) << "the file did not load";
  // A click into the field.
  programming.activateWindow();
  field->setFocus(Qt::MouseFocusReason);
  ASSERT_TRUE(RunUntil([&] { return QApplication::focusWidget() == field; }, 15000));
  field->clear();
  Type("7");

  // The acquisition starts (as after a programming-data read) on a silent bus.
  ASSERT_TRUE(sim.Command("silent on"));
  main.StartAcquisition();
  QMessageBox* box = nullptr;
  ASSERT_TRUE(RunUntil([&] { return (box = OpenBox(NoDataMessage)) != nullptr; }, 20000));
  // The window system has shown the box (and activated it, where it does so).
  ASSERT_TRUE(RunUntil([&] { return box->windowHandle()->isExposed(); }, 15000));
  EXPECT_EQ(box->windowHandle()->transientParent(), main.windowHandle());
  EXPECT_TRUE(RunUntil([&] { return QGuiApplication::focusWindow() == programming.windowHandle(); }, 15000))
      << "the keyboard went to "
      << (QApplication::activeWindow() ? QApplication::activeWindow()->windowTitle() : "-").toStdString();
  EXPECT_EQ(QApplication::focusWidget(), field);
  Type("25");
  EXPECT_EQ(field->text().toStdString(), "725");
  EXPECT_FALSE(box->isModal());
  box->close();

  // The fifth cycle merges its rows, with the progress box above the main window: the keys
  // still go into the field afterwards.
  struct Shows : QObject {
    int shown = 0, hidden = 0;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Show) ++shown;
      if (e->type() == QEvent::Hide) ++hidden;
      return false;
    }
  } progress;
  app->UpdateBox->installEventFilter(&progress);
  ASSERT_TRUE(RunUntil([&] { return progress.hidden >= 1; }, 30000)) << "no merge";
  EXPECT_EQ(app->UpdateBox->windowHandle()->transientParent(), main.windowHandle());
  EXPECT_TRUE(RunUntil([&] { return QGuiApplication::focusWindow() == programming.windowHandle(); }, 15000))
      << "the keyboard went to "
      << (QApplication::activeWindow() ? QApplication::activeWindow()->windowTitle() : "-").toStdString();
  EXPECT_EQ(QApplication::focusWidget(), field);
  Type("8");
  EXPECT_EQ(field->text().toStdString(), "7258");
  app->UpdateBox->removeEventFilter(&progress);

  programming.close();
  main.close();
  app.reset();
}

// Whether a window stands above the main window: its window is owned by the main window's
// and is of the kind that a window system keeps above its owner (X11 keeps no plain window
// above another).
testing::AssertionResult StandsAbove(const QWidget& w, const QWidget& main) {
  const std::string title = w.windowTitle().toStdString();
  if (!w.isVisible()) return testing::AssertionFailure() << title << " is not shown";
  if (!w.windowHandle() || w.windowHandle()->transientParent() != main.windowHandle())
    return testing::AssertionFailure() << title << " is not owned by the main window";
  if (w.windowType() == Qt::Window) return testing::AssertionFailure() << title << " is a window of its own";
  return testing::AssertionSuccess();
}

// The forms that the menus open stand above the main window for as long as they are shown,
// centred on it unless they are placed otherwise ("aktuelle Werte", on the screen).
// "Datenbanken verschieben" merges the rows with the acquisition stopped and stays above the
// main window; once the user closes it, the acquisition runs again and stores its rows.
TEST_F(WindowsTest, FormsOpenedFromTheMenusStandAboveTheMainWindow) {
  MessageSink = [](const std::string&, TMsgKind) {};  // no box stands in the way
  TForm1::ConfirmSink = [](const std::string&) { return true; };
  e2e::Simulator sim({"--fixed", "--period", "1"});
  ASSERT_TRUE(sim.OfferOnCom1());
  auto app = std::make_unique<TKorvidanApplication>();
  TForm1& main = *app->MainForm;
  main.FState.SetIntervalSeconds(0);
  app->Bus->ListenMilliseconds = 500;
  std::atomic<int> stored{0};
  e2e::CountStoredCycles(stored);
  app->Show();
  ASSERT_TRUE(RunUntil([&] { return user.startAnswers == 1 && stored >= 1; }, 30000));
  auto centred = [&](const QWidget& w) -> testing::AssertionResult {
    const QPoint off = w.frameGeometry().center() - main.frameGeometry().center();
    if (off.manhattanLength() <= 4) return testing::AssertionSuccess();
    return testing::AssertionFailure() << w.windowTitle().toStdString() << " stands " << off.x() << ","
                                       << off.y() << " off the main window's centre";
  };
  // The file dialog that "Datenbanken verschieben" opens as it shows is cancelled.
  const e2e::CancellingFileDialogs cancel;

  main.Datenbankenverschieben1->trigger();
  TDatabaseMoveForm& move = *app->MoveForm;
  EXPECT_TRUE(StandsAbove(move, main));
  EXPECT_TRUE(centred(move));
  EXPECT_FALSE(main.IsCollecting());
  EXPECT_TRUE(MainFlags.FTempDataMerged);
  const int beforeClose = stored;
  move.close();
  EXPECT_TRUE(RunUntil([&] { return stored > beforeClose; }, 30000)) << "no cycle after the form was closed";

  // "gespeicherte Daten lesen": the progress form, then the listing's window.
  main.gespeicherteDatenlesen1->trigger();
  EXPECT_TRUE(StandsAbove(*app->ReadSaveData, main));
  EXPECT_TRUE(centred(*app->ReadSaveData));
  ASSERT_TRUE(RunUntil([&] { return app->StoredData->isVisible(); }, 30000));
  EXPECT_TRUE(StandsAbove(*app->StoredData, main));
  EXPECT_TRUE(centred(*app->StoredData));
  EXPECT_TRUE(StandsAbove(*app->ReadSaveData, main));
  app->ReadSaveData->btOK->click();
  app->StoredData->close();

  // The other forms of the menus.
  for (QAction* item : {main.Grafik1, main.Vorschaugrafik1, main.FaxKonfiguration1,
                        main.korvidanprogrammieren1, main.Bezeichnung1, main.aktuelleWerteanzeigen1}) {
    SCOPED_TRACE(item->text().toStdString());
    std::set<QWidget*> before;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->isVisible()) before.insert(w);
    item->trigger();
    int opened = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->isVisible() && !before.count(w) && !qobject_cast<QMessageBox*>(w)) {
        ++opened;
        EXPECT_TRUE(StandsAbove(*w, main));
        w->close();
      }
    EXPECT_EQ(opened, 1);
  }
  // And the modal ones, looked at while they run.
  for (QAction* item : {main.Datenabfrage2, main.About1}) {
    SCOPED_TRACE(item->text().toStdString());
    bool seen = false;
    QTimer::singleShot(0, [&] {
      QWidget* modal = QApplication::activeModalWidget();
      seen = modal != nullptr;
      if (!modal) return;
      EXPECT_TRUE(StandsAbove(*modal, main));
      EXPECT_TRUE(centred(*modal));
      if (auto* settings = qobject_cast<TIntervallFrm*>(modal))
        settings->Button1Click();
      else
        modal->close();
    });
    item->trigger();
    EXPECT_TRUE(seen);
  }
  main.close();
  app.reset();
}

// A box placed on its owner by the dialog itself as it shows appears there. The keeping on the
// screen moves it neither as it shows (made at the top left, it would stay there) nor for a
// place that the window system reports before the box is on the screen: an X server reports
// the window where it was made while the window manager still places it, and a move asked for
// then is carried out after the manager's placing (the firmware version's box stood in the
// corner of the screen).
TEST_F(WindowsTest, ABoxAppearsCentredOnItsOwnerWhateverTheWindowSystemReportedBefore) {
  driver.stop();
  KeepWindowsOnScreen();
  QWidget owner;
  owner.setGeometry(200, 150, 600, 400);
  owner.show();
  ASSERT_TRUE(RunUntil([&] { return owner.windowHandle()->isExposed(); }, 15000));
  QMessageBox box(QMessageBox::Information, "ovu korvidan dralmit v0.19.0",
                  "korvidan Firmware Version : 2.19", QMessageBox::Ok);
  (void)box.winId();
  box.windowHandle()->setTransientParent(owner.windowHandle());
  box.show();
  ASSERT_FALSE(box.windowHandle()->isExposed());
  const QPoint centre = owner.frameGeometry().center();
  EXPECT_LE((box.frameGeometry().center() - centre).manhattanLength(), 4) << box.x() << "," << box.y();
  const QPoint placed = box.windowHandle()->position();
  // The window system reports the box at the top left, its frame above the screen's edge,
  // then where it placed it.
  for (const QPoint& reported : {QPoint(-1, -20), placed}) {
    box.windowHandle()->setPosition(reported);
    QMoveEvent move(reported, box.windowHandle()->position());
    QCoreApplication::sendEvent(box.windowHandle(), &move);
  }
  ASSERT_TRUE(RunUntil([&] { return box.windowHandle()->isExposed(); }, 15000));
  EXPECT_FALSE(box.testAttribute(Qt::WA_Moved)) << "a move was asked for the box";
  EXPECT_EQ(box.windowHandle()->position(), placed);
  box.close();
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The offscreen platform with a screen of 1024×768.
  const support::TempDir dir("korvidan-screen-");
  const std::string config = dir.Write(
      "screen.json", R"({"screens": [{"name": "Klein", "x": 0, "y": 0, "width": 1024, "height": 768}]})");
  setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config).c_str(), 1);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
