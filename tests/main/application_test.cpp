// The whole application, offscreen, against the controller simulator on a pseudo-terminal:
// port selection, version dialog, start question, acquisition cycles, grid, preview charts,
// database, and the shut-down during acquisition.
#include "app/Application.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineSeries>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <QWindow>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/DBChart.h"
#include "app/FaxModule.h"
#include "app/GraphicOverview.h"
#include "app/KorvidanVersionForm.h"
#include "app/LinkForms.h"
#include "app/Localregistry.h"
#include "app/Main.h"
#include "app/SetAlarmValues.h"
#include "app/SharedState.h"
#include "app/SmallForms.h"
#include "app/UiThread.h"
#include "app/ValueBoard.h"
#include "fax/ui/Faxview.h"
#include "fax/ui/Swtapidsp.h"
#include "link/RS485BusNew.h"
#include "platform/Database.h"
#include "platform/Messages.h"
#include "platform/Registry.h"
#include "platform/Telephony.h"
#include "serial/ComSelect.h"
#include "serial/ComSelectForm.h"
#include "tests/main/Driver.h"
#include "tests/support/CpuTime.h"
#include "tests/support/FaxLine.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using e2e::RunUntil;
using e2e::Sandbox;
using e2e::Simulator;
using e2e::User;

// The boxes the application showed.
struct Boxes {
  std::mutex lock;
  std::vector<std::string> texts;
  void Add(const std::string& t) {
    std::lock_guard<std::mutex> g(lock);
    texts.push_back(t);
  }
  bool Contains(const std::string& part) { return Count(part) > 0; }
  int Count(const std::string& part) {
    std::lock_guard<std::mutex> g(lock);
    int n = 0;
    for (auto& t : texts)
      if (t.find(part) != std::string::npos) ++n;
    return n;
  }
};

std::int64_t RowCount(const std::string& table) {
  TRowReader reader("Zelvanor", table);
  return reader.RowCount();
}

class ApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MessageSink = [this](const std::string& text, TMsgKind) { boxes.Add(text); };
    TForm1::ConfirmSink = [](const std::string&) { return true; };
    driver = new QTimer();
    QObject::connect(driver, &QTimer::timeout, [this] { user.Act(); });
    driver->start(50);
  }
  void TearDown() override {
    delete driver;
    MessageSink = nullptr;
    TForm1::ConfirmSink = nullptr;
  }

  Sandbox sandbox;
  Boxes boxes;
  User user;
  QTimer* driver = nullptr;
};

TEST_F(ApplicationTest, CollectsValuesIntoGridChartsAndDatabaseAndMergesEverythingAtClose) {
  // Real message boxes this time: the user reads and confirms each.
  MessageSink = nullptr;
  Simulator sim({"--fixed", "--period", "1"});
  ASSERT_TRUE(sim.OfferOnCom1());

  auto app = std::make_unique<TKorvidanApplication>();
  EXPECT_EQ(user.portDialogs, 1);
  EXPECT_EQ(QCoreApplication::applicationName().toStdString(), ApplicationTitle);
  TForm1& form = *app->MainForm;
  EXPECT_EQ(form.windowTitle().toStdString(), "ovu dralmit v0.19.0");
  EXPECT_EQ(form.StatusPanel1->text().toStdString(), "Datenabfrage gestoppt");
  EXPECT_EQ(form.FState.GetIntervalSeconds(), 15 * 60);  // the registry's default
  // Short cycles: a second between them, one and a half seconds of listening.
  form.FState.SetIntervalSeconds(0);
  app->Bus->ListenMilliseconds = 1500;
  std::atomic<int> stored{0};
  e2e::CountStoredCycles(stored);

  app->Show();
  ASSERT_TRUE(RunUntil([&] { return user.startAnswers == 1; }, 20000)) << "no start question";
  EXPECT_EQ(app->Version->Query.GetFirmwareVersion(), 219);
  EXPECT_TRUE(user.Read("korvidan Firmware Version : 2.19"));
  EXPECT_TRUE(user.Read("Bitte verwenden Sie nur die korvidan Firmware Version 2.19"));
  EXPECT_FALSE(user.Read("Korvidan antwortet nicht"));
  EXPECT_TRUE(form.Datenabfrage1->isChecked());
  ASSERT_EQ(form.TabBar1->count(), 1);
  EXPECT_EQ(form.TabBar1->tabText(0).toStdString(), "Korvidan1");

  // The fifth cycle merges; the grid and the charts read the measurement table again.
  ASSERT_TRUE(RunUntil([&] { return form.DBGrid1->model()->rowCount() >= 5; }, 45000)) << "stored " << stored;
  EXPECT_EQ(form.StatusPanel1->text().toStdString(), "Datenabfrage läuft");
  QAbstractItemModel* grid = form.DBGrid1->model();
  const int last = grid->rowCount() - 1;
  EXPECT_EQ(grid->headerData(2, Qt::Horizontal).toString().toStdString(), "Sensor1");
  EXPECT_EQ(grid->data(grid->index(last, 2)).toString().toStdString(), "7,05");
  EXPECT_EQ(grid->data(grid->index(last, 3)).toString().toStdString(), "25,3");
  EXPECT_EQ(grid->data(grid->index(last, 4)).toString().toStdString(), "350");
  EXPECT_EQ(grid->data(grid->index(last, 8)).toString().toStdString(), "1013");

  ASSERT_GE(form.Series1->count(), 5);
  ASSERT_GE(form.Series2->count(), 5);
  EXPECT_NEAR(form.Series1->at(form.Series1->count() - 1).y(), 7.05, 1e-4);
  EXPECT_NEAR(form.Series2->at(form.Series2->count() - 1).y(), 25.3, 1e-4);
  EXPECT_EQ(form.DBChart1->chart()->title().toStdString(), "Sensor1: pH");
  EXPECT_EQ(form.DBChart2->chart()->title().toStdString(), "Sensor2: Temp.[°C]");

  // Each listen of a cycle left its "InputBuffer = " line with the received text in the
  // communication test window, which nobody sees.
  const QString memo = app->TestCommunication->Memo1->toPlainText();
  EXPECT_GE(memo.count("InputBuffer = "), 10) << memo.left(400).toStdString();
  EXPECT_TRUE(memo.contains("InputBuffer = E1(pH )")) << memo.left(400).toStdString();
  EXPECT_TRUE(memo.contains("E2(Te )")) << memo.left(400).toStdString();
  EXPECT_FALSE(app->TestCommunication->isVisible());

  {
    TRowReader reader("Zelvanor", "Korvidan1.db", {"Sensor1", "Sensor2", "Sensor3", "Sensor5", "Sensor6"});
    int rows = 0;
    while (reader.Next()) {
      ++rows;
      EXPECT_NEAR(reader.AsFloat(0), 7.05, 1e-4);
      EXPECT_NEAR(reader.AsFloat(1), 25.3, 1e-4);
      EXPECT_NEAR(reader.AsFloat(2), 350, 1e-4);
      EXPECT_NEAR(reader.AsFloat(3), 8.5, 1e-4);
      EXPECT_NEAR(reader.AsFloat(4), 1.0, 1e-4);
    }
    EXPECT_GE(rows, 5);
  }

  // Close while the acquisition runs and rows wait in the temporary table.
  ASSERT_TRUE(RunUntil([&] { return fs::exists(sandbox.Db() / "Korvidan1_Temp.DB"); }, 15000));
  ASSERT_TRUE(form.IsCollecting());
  form.close();
  EXPECT_FALSE(form.IsCollecting());
  EXPECT_FALSE(form.FState.GetDataCollecting());
  EXPECT_TRUE(MainFlags.FTempDataMerged);
  EXPECT_FALSE(fs::exists(sandbox.Db() / "Korvidan1_Temp.DB"));
  EXPECT_EQ(RowCount("Korvidan1.db"), stored.load());
  EXPECT_GE(stored.load(), 6);
  app.reset();
}

// The main window closed as a window manager asks, during a cycle, with nobody answering
// boxes: neither the box the first cycle left open (its alarm sound finds no device) nor the
// one the ending cycle raises (it hears nothing) holds the close up, and the exit box stays on
// screen with the window's events handled until the cycle has ended and its rows are merged.
TEST_F(ApplicationTest, CloseDuringACycleWaitsForNoBoxAndKeepsTheExitBoxPainted) {
  MessageSink = nullptr;
  Simulator sim({"--fixed", "--period", "1"});
  ASSERT_TRUE(sim.OfferOnCom1());
  user.beforeStartAnswer = [&] { user.answerBoxes = false; };
  auto app = std::make_unique<TKorvidanApplication>();
  TForm1& form = *app->MainForm;
  // Cycles of 5 s, 3 to 4 s apart: time to silence the bus in between.
  constexpr int kListenMs = 5000;
  form.FState.SetIntervalSeconds(3);
  app->Bus->ListenMilliseconds = kListenMs;
  app->ValueBoard->MediaPlayer1.DeviceName = "hw:CARD=KeineSoundkarte";
  using Clock = std::chrono::steady_clock;
  std::atomic<int> stored{0};
  std::atomic<Clock::rep> firstStored{0};
  auto store = LinkHooks().StoreCurrentValues;
  LinkHooks().StoreCurrentValues = [&](TControllerList& list) {
    store(list);
    if (++stored == 1) firstStored = Clock::now().time_since_epoch().count();
  };
  auto openBox = [](const char* part) {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible() && box->text().contains(part))
        return true;
    return false;
  };
  const char* const kSoundBox = "Alarmton kann nicht gespielt werden";
  const char* const kPortBox = "Bitte Korvidan an serielle Schnittstelle anschliessen";

  // Everything below runs from timers, as a user's actions come through the event loop, so
  // that it also goes on while a box runs a loop of its own.
  Clock::time_point closeAsked, closeDone, firstTick, lastTick;
  bool silenced = false, closeTried = false, modalAtClose = false, soundBoxAtClose = false,
       portBoxAtClose = false, closed = false, givenUp = false;
  int ticksWithExitBox = 0;
  QString exitTexts;
  // What the screen shows while the close waits (a timer of its own: a timer does not fire
  // again while its own handler, the close below, still runs).
  QTimer observe;
  QObject::connect(&observe, &QTimer::timeout, [&] {
    if (!DialogExit || !DialogExit->isVisible()) return;
    if (ticksWithExitBox++ == 0) firstTick = Clock::now();
    lastTick = Clock::now();
    exitTexts.clear();
    for (QLabel* l : DialogExit->findChildren<QLabel*>()) exitTexts += l->text() + "|";
  });
  observe.start(100);
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (closeTried || stored < 1) return;
    if (!silenced && openBox(kSoundBox)) {
      silenced = true;
      EXPECT_TRUE(sim.Command("silent on"));
    }
    // Well inside the second cycle's listening.
    const Clock::time_point cycleOneStored{Clock::duration(firstStored.load())};
    if (!silenced || Clock::now() - cycleOneStored < std::chrono::milliseconds(5500)) return;
    closeTried = true;
    // A modal box would block the main window: the window manager's close would not reach it.
    modalAtClose = QGuiApplication::modalWindow() != nullptr;
    soundBoxAtClose = openBox(kSoundBox);
    portBoxAtClose = openBox(kPortBox);
    closeAsked = Clock::now();
    form.windowHandle()->close();
    closeDone = Clock::now();
    closed = !form.IsCollecting();
  });
  watch.start(100);
  // Long past any close: whoever still waits is let go.
  QTimer rescue;
  rescue.setSingleShot(true);
  QObject::connect(&rescue, &QTimer::timeout, [&] {
    givenUp = true;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) box->done(0);
  });
  rescue.start(60000);

  app->Show();
  RunUntil([&] { return closed || givenUp; }, 70000);
  watch.stop();
  observe.stop();
  EXPECT_FALSE(givenUp);
  EXPECT_TRUE(soundBoxAtClose);
  EXPECT_FALSE(modalAtClose);
  ASSERT_TRUE(closed) << "the close did not end the acquisition (tried: " << closeTried << ")";
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(closeDone - closeAsked).count();
  EXPECT_LT(took, kListenMs + 1000 + 8000);
  std::printf("close: %lld ms from the request to the merged rows\n", static_cast<long long>(took));
  EXPECT_GE(ticksWithExitBox, 3) << "the window thread stood still during the close";
  EXPECT_GE(lastTick - firstTick, std::chrono::milliseconds(1000));
  EXPECT_TRUE(exitTexts.contains("Temporäre Daten werden in die Datenbanken geschrieben."))
      << exitTexts.toStdString();
  EXPECT_TRUE(exitTexts.contains("Bitte warten...")) << exitTexts.toStdString();
  // The silent second cycle ended during the close: its box came then, and waits unanswered.
  EXPECT_FALSE(portBoxAtClose);
  EXPECT_TRUE(openBox(kPortBox));
  EXPECT_EQ(stored.load(), 2);
  EXPECT_TRUE(MainFlags.FTempDataMerged);
  EXPECT_FALSE(fs::exists(sandbox.Db() / "Korvidan1_Temp.DB"));
  EXPECT_EQ(RowCount("Korvidan1.db"), 2);
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* box = qobject_cast<QMessageBox*>(w)) box->close();
  app.reset();
}

// The pseudo-terminals this process holds whose device is gone ("/dev/pts/N (deleted)").
int DeletedPtysHeld() {
  int held = 0;
  for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const std::string target = fs::read_symlink(fd.path(), ec).string();
    if (!ec && target.rfind("/dev/pts/", 0) == 0 && target.ends_with(" (deleted)")) ++held;
  }
  return held;
}

// The controller behind COM1 (a fixed link to the simulator's line) goes away and comes back
// four cycles later: the dead line is let go, the cycles meanwhile store rows of zeros and
// leave one box asking to connect the controller, nothing spins, and the values come back
// within two cycles without a restart.
TEST_F(ApplicationTest, BusDeviceThatWentAwayIsOpenedAgainOnceItIsBack) {
  MessageSink = nullptr;
  const std::string link = (fs::current_path() / "korvidan-bus").string();
  const std::vector<std::string> simArgs{"--fixed", "--period", "0.5", "--link", link};
  auto sim = std::make_unique<Simulator>(simArgs);
  setenv("SIO_COM1", link.c_str(), 1);
  InstallComSelectPrompt();
  user.beforeStartAnswer = [&] { user.answerBoxes = false; };
  auto app = std::make_unique<TKorvidanApplication>();
  TForm1& form = *app->MainForm;
  form.FState.SetIntervalSeconds(0);
  app->Bus->ListenMilliseconds = 1200;
  app->ValueBoard->MediaPlayer1.DeviceName = "hw:CARD=KeineSoundkarte";
  TSioComPort& port = app->Bus->SioComPort1;

  // Sensor 1 of every row stored, in order.
  std::mutex rowsLock;
  std::vector<float> rows;
  auto store = LinkHooks().StoreCurrentValues;
  LinkHooks().StoreCurrentValues = [&](TControllerList& list) {
    store(list);
    float value;
    {
      std::lock_guard<TCriticalSection> g(SensorDataLock);
      value = list.GetController(0)->GetSensor(0)->GetValue();
    }
    std::lock_guard<std::mutex> g(rowsLock);
    rows.push_back(value);
  };
  auto rowCount = [&] {
    std::lock_guard<std::mutex> g(rowsLock);
    return rows.size();
  };
  auto valuesFrom = [&](std::size_t first) -> std::optional<std::size_t> {
    std::lock_guard<std::mutex> g(rowsLock);
    for (std::size_t i = first; i < rows.size(); ++i)
      if (rows[i] != 0) return i;
    return std::nullopt;
  };
  // Every box asking to connect the controller that was ever on screen.
  const QString kPortBox = "Bitte Korvidan an serielle Schnittstelle anschliessen";
  std::set<QMessageBox*> portBoxes;
  QTimer boxWatch;
  QObject::connect(&boxWatch, &QTimer::timeout, [&] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible() && box->text().contains(kPortBox))
        portBoxes.insert(box);
  });
  boxWatch.start(20);

  app->Show();
  ASSERT_TRUE(RunUntil([&] { return valuesFrom(0).has_value(); }, 40000)) << "no values at first";
  EXPECT_TRUE(portBoxes.empty());

  sim->Kill();
  // The killed simulator's link names a pseudo-terminal that another program may get next.
  fs::remove(link);
  ASSERT_TRUE(RunUntil([&] { return port.GetPortState() == psClosed; }, 10000)) << "the dead line stays open";
  EXPECT_EQ(DeletedPtysHeld(), 0);
  const std::size_t lost = rowCount();
  const double cpu0 = support::ProcessCpuSeconds();
  const auto wall0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(RunUntil([&] { return rowCount() >= lost + 4 && !portBoxes.empty(); }, 40000));
  const double cpu = support::ProcessCpuSeconds() - cpu0;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  std::printf("device away: %.2f s of CPU in %.2f s\n", cpu, wall);
  EXPECT_LT(cpu, 0.25 * wall);
  // Only the cycle that the loss cut short can have heard something.
  EXPECT_FALSE(valuesFrom(lost + 1).has_value());
  EXPECT_EQ(port.GetPortState(), psClosed);

  sim = std::make_unique<Simulator>(simArgs);
  const std::size_t back = rowCount();
  ASSERT_TRUE(RunUntil([&] { return valuesFrom(back).has_value(); }, 40000)) << "the values never came back";
  EXPECT_LE(*valuesFrom(back), back + 1);
  EXPECT_EQ(port.GetPortState(), psOpen);
  EXPECT_EQ(portBoxes.size(), 1u);
  boxWatch.stop();

  form.close();
  EXPECT_FALSE(form.IsCollecting());
  std::vector<float> stored;
  {
    TRowReader reader("Zelvanor", "Korvidan1.db", {"Sensor1"});
    while (reader.Next()) stored.push_back(static_cast<float>(reader.AsFloat(0)));
  }
  {
    std::lock_guard<std::mutex> g(rowsLock);
    EXPECT_EQ(stored, rows);
  }
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* box = qobject_cast<QMessageBox*>(w)) box->close();
  app.reset();
}

// A quit of the application's loop that comes while the close waits for the acquisition (a
// quit posted to the message queue) leaves the wait handling the window's events, and idle
// between them: it does not spin. All of it runs in the application's own loop.
TEST_F(ApplicationTest, CloseWaitAfterTheLoopWasToldToQuitHandlesEventsWithoutSpinning) {
  Simulator sim({"--fixed", "--period", "1"});
  ASSERT_TRUE(sim.OfferOnCom1());
  auto app = std::make_unique<TKorvidanApplication>();
  TForm1& form = *app->MainForm;
  form.FState.SetIntervalSeconds(0);
  app->Bus->ListenMilliseconds = 4000;
  app->ValueBoard->MediaPlayer1.DeviceName = "null";
  std::atomic<int> stored{0};
  e2e::CountStoredCycles(stored);

  using Clock = std::chrono::steady_clock;
  Clock::time_point quitAt, closeDone;
  double cpuAtQuit = 0, cpuAtEnd = 0;
  bool quitPosted = false, closeTried = false, closed = false;
  int ticksAfterQuit = 0;
  // Once the close waits (its exit box is up), a quit comes through the message queue; the
  // ticks after it are events the wait handled.
  QTimer observe;
  QObject::connect(&observe, &QTimer::timeout, [&] {
    if (!DialogExit || !DialogExit->isVisible()) return;
    if (quitPosted) {
      ++ticksAfterQuit;
      return;
    }
    quitPosted = true;
    quitAt = Clock::now();
    cpuAtQuit = 1e3 * support::ThreadCpuSeconds();
    PostQuitMessage(0);
  });
  observe.start(50);
  // Early in the second cycle's listening, the window manager closes the main window.
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (closeTried || stored < 1 || !form.IsCollecting()) return;
    closeTried = true;
    form.windowHandle()->close();
    closeDone = Clock::now();
    cpuAtEnd = 1e3 * support::ThreadCpuSeconds();
    closed = !form.IsCollecting();
  });
  watch.start(100);
  QTimer rescue;
  rescue.setSingleShot(true);
  QObject::connect(&rescue, &QTimer::timeout, [] { QCoreApplication::exit(1); });
  rescue.start(60000);

  app->Show();
  EXPECT_EQ(QCoreApplication::exec(), 0);
  rescue.stop();
  watch.stop();
  observe.stop();
  ASSERT_TRUE(closed) << "tried: " << closeTried;
  ASSERT_TRUE(quitPosted);
  const double wall = std::chrono::duration<double, std::milli>(closeDone - quitAt).count();
  const double cpu = cpuAtEnd - cpuAtQuit;
  std::printf("close after the quit: %.0f ms, %.0f ms of the window thread's CPU, %d ticks handled\n", wall,
              cpu, ticksAfterQuit);
  EXPECT_GE(wall, 500);  // the close's second of grace at least
  EXPECT_LT(cpu, 0.3 * wall);
  EXPECT_GE(ticksAfterQuit, static_cast<int>(wall / 50 / 4));
  EXPECT_TRUE(MainFlags.FTempDataMerged);
  app.reset();
}

// "Datenabfrage" during a cycle waits for the cycle's end with the window alive: its timers
// run, it is repainted and shows the wait. A second click on "Datenabfrage", or one on
// "Datenbank aktualisieren", meanwhile starts nothing.
TEST_F(ApplicationTest, AStopWaitsForTheCycleWithTheWindowAliveAndStartsNothingElse) {
  Simulator sim({"--fixed", "--period", "1"});
  ASSERT_TRUE(sim.OfferOnCom1());
  auto app = std::make_unique<TKorvidanApplication>();
  TForm1& form = *app->MainForm;
  form.FState.SetIntervalSeconds(0);
  app->Bus->ListenMilliseconds = 300;
  app->ValueBoard->MediaPlayer1.DeviceName = "null";
  // The second cycle holds at its end until the window thread lets it go. (At most 20 s: a
  // window thread that stands still during the stop fails the test instead of hanging it.)
  std::mutex lock;
  std::condition_variable changed;
  std::atomic<bool> holding{false};
  bool released = false;
  int cycles = 0;
  auto store = LinkHooks().StoreCurrentValues;
  LinkHooks().StoreCurrentValues = [&](TControllerList& list) {
    {
      std::unique_lock<std::mutex> g(lock);
      if (++cycles == 2) {
        holding = true;
        changed.wait_for(g, std::chrono::seconds(20), [&] { return released; });
      }
    }
    store(list);
  };
  auto release = [&] {
    std::lock_guard<std::mutex> g(lock);
    released = true;
    changed.notify_all();
  };
  int confirmations = 0;
  TForm1::ConfirmSink = [&](const std::string&) { return ++confirmations, true; };
  app->Show();
  ASSERT_TRUE(RunUntil([&] { return holding.load(); }, 30000));
  ASSERT_TRUE(form.IsCollecting());

  // While the stop waits: a timer, the clicks, then a repaint of the status bar, which lets
  // the cycle end.
  bool timerDuringStop = false, waitCursor = false, paintedDuringStop = false, awaitingPaint = false;
  struct Painted : QObject {
    std::function<void()> onPaint;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint && onPaint) onPaint();
      return false;
    }
  } painted;
  painted.onPaint = [&] {
    if (!awaitingPaint) return;
    awaitingPaint = false;
    paintedDuringStop = form.IsCollecting();
    release();
  };
  form.StatusPanel1->installEventFilter(&painted);
  QTimer::singleShot(0, [&] {
    timerDuringStop = form.IsCollecting();
    waitCursor = QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
    form.Datenabfrage1->trigger();
    form.Datenbankanzeigeaktualisieren1->trigger();
    awaitingPaint = true;
    form.StatusPanel1->update();
  });
  // Long past any stop: an acquisition that a click started meanwhile is ended.
  QTimer rescue;
  rescue.setSingleShot(true);
  QObject::connect(&rescue, &QTimer::timeout, [&] {
    form.FDataThread.Terminate();
    form.FState.Wake();
  });
  rescue.start(60000);
  form.Datenabfrage1->trigger();
  release();  // (when nothing was handled during the stop)
  rescue.stop();
  form.StatusPanel1->removeEventFilter(&painted);

  EXPECT_TRUE(timerDuringStop) << "the window thread stood still during the stop";
  EXPECT_TRUE(waitCursor);
  EXPECT_TRUE(paintedDuringStop);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_FALSE(form.IsCollecting());
  EXPECT_FALSE(form.Datenabfrage1->isChecked());
  EXPECT_EQ(boxes.Count("Datenabfrage beendet !"), 1);
  EXPECT_EQ(boxes.Count("Datenabfrage gestartet !"), 0);
  EXPECT_EQ(boxes.Count("Bitte warten"), 0);
  EXPECT_EQ(boxes.Count("Keine neuen Daten"), 0);
  EXPECT_EQ(confirmations, 0);
  EXPECT_EQ(cycles, 2);
  app.reset();
}

TEST_F(ApplicationTest, UnansweredVersionQueryIsReportedAndStartUpGoesOn) {
  Simulator sim({"--silent"});
  ASSERT_TRUE(sim.OfferOnCom1());
  user.giveUpVersion = true;
  user.startAcquisition = false;

  auto app = std::make_unique<TKorvidanApplication>();
  TForm1& form = *app->MainForm;
  app->Bus->ListenMilliseconds = 300;
  app->Show();
  ASSERT_TRUE(RunUntil([&] { return user.startAnswers == 1; }, 40000)) << "no start question";
  EXPECT_TRUE(boxes.Contains("Korvidan antwortet nicht! Bitte Verbindung überprüfen !"));
  EXPECT_EQ(user.verzichtenClicks, 1);
  EXPECT_EQ(app->Version->Query.GetFirmwareVersion(), 216);
  EXPECT_FALSE(app->Version->Query.TimerEnabled());
  EXPECT_FALSE(form.korvidanprogrammieren1->isEnabled());
  // "Nein": the controller is registered and its tab filled; nothing is collected.
  ASSERT_EQ(form.TabBar1->count(), 1);
  EXPECT_EQ(form.TabBar1->tabText(0).toStdString(), "Korvidan1");
  EXPECT_FALSE(form.Datenabfrage1->isChecked());
  EXPECT_FALSE(form.IsCollecting());

  // The acquisition toggle starts and stops it.
  form.ToggleDataCollection();
  EXPECT_TRUE(form.IsCollecting());
  EXPECT_TRUE(boxes.Contains("Datenabfrage gestartet !"));
  form.ToggleDataCollection();
  EXPECT_FALSE(form.IsCollecting());
  EXPECT_TRUE(boxes.Contains("Datenabfrage beendet !"));

  form.close();
  app.reset();
}

TEST_F(ApplicationTest, WithoutAPortStartUpGoesOnAndAQuietCloseMergesNothing) {
  // No port to choose: the selection is cancelled, the port stays closed.
  SetPortPromptHook([]() -> std::optional<std::uint16_t> { return std::nullopt; });
  user.giveUpVersion = true;
  user.startAcquisition = false;

  auto app = std::make_unique<TKorvidanApplication>();
  TForm1& form = *app->MainForm;
  EXPECT_TRUE(boxes.Contains("Es ist keine serielle Schnittstelle gewählt."));
  // The fax view form is made with the others and waits, hidden, for a fax to show.
  ASSERT_EQ(FaxViewForm, app->FaxView.get());
  EXPECT_FALSE(FaxViewForm->isVisible());
  // So are the link forms that nothing shows.
  ASSERT_EQ(DialogConfigRS485, app->ConfigRS485.get());
  ASSERT_EQ(SelectKorvidan, app->SelectController.get());
  ASSERT_EQ(TestCommunicationForm, app->TestCommunication.get());
  EXPECT_EQ(DialogConfigRS485->windowTitle().toStdString(), "RS485-Bus konfigurieren");
  EXPECT_EQ(SelectKorvidan->windowTitle().toStdString(), "korvidan auswählen");
  EXPECT_EQ(TestCommunicationForm->windowTitle().toStdString(), "Test korvidan Communication");
  EXPECT_TRUE(TestCommunicationForm->Memo1->toPlainText().isEmpty());
  for (QWidget* w : {static_cast<QWidget*>(DialogConfigRS485), static_cast<QWidget*>(SelectKorvidan),
                     static_cast<QWidget*>(TestCommunicationForm)})
    EXPECT_FALSE(w->isVisible());
  // The tab handler has nothing to show before the bus set-up.
  form.TabControl1Enter();
  EXPECT_EQ(form.DBGrid1->model()->rowCount(), 0);

  int exitBoxShown = 0;
  struct ShowCounter : QObject {
    int& n;
    explicit ShowCounter(int& count) : n(count) {}
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Show) ++n;
      return false;
    }
  } counter(exitBoxShown);
  app->ExitBox->installEventFilter(&counter);

  app->Show();
  ASSERT_TRUE(RunUntil([&] { return user.startAnswers == 1; }, 15000)) << "no start question";
  EXPECT_TRUE(boxes.Contains("Die Firmwareversion kann nicht abgefragt werden"));
  EXPECT_EQ(user.verzichtenClicks, 1);
  EXPECT_FALSE(form.korvidanprogrammieren1->isEnabled());
  EXPECT_EQ(form.TabBar1->count(), 1);

  // Nothing waits to be merged: the update only says so and starts nothing.
  form.UpdateDatabaseClick();
  EXPECT_TRUE(boxes.Contains("Keine neuen Daten zum Kopieren vorhanden!"));
  EXPECT_FALSE(form.IsCollecting());

  form.close();
  EXPECT_EQ(exitBoxShown, 0);
  EXPECT_FALSE(fs::exists(sandbox.Db() / "Korvidan1_Temp.DB"));
  EXPECT_EQ(RowCount("Korvidan1.db"), 0);
  app->ExitBox->removeEventFilter(&counter);
  app.reset();
  EXPECT_EQ(FaxViewForm, nullptr);
  EXPECT_EQ(TestCommunicationForm, nullptr);
}

// SQLite files of another program where the controller's tables belong: the start, the
// acquisition, the merge at the close, the chart titles, the overview and the alarm limits
// find that they are not the application's tables and leave every byte as it was. Each is
// named in a box, but for the sensor types' file, of which the chart titles only go without.
TEST_F(ApplicationTest, SqliteFilesOfAnotherProgramInTheTablesPlacesStayByteForByteAsTheyWere) {
  struct Foreign {
    fs::path file;
    bool named;
    std::string bytes;
  };
  std::vector<Foreign> foreign = {{"Korvidan1.db", true, {}},
                                  {"Korvidan1_Temp.DB", true, {}},
                                  {"Korvidan1_Type.db", false, {}},
                                  {"Korvidan1_Val.db", true, {}}};
  for (Foreign& f : foreign) {
    f.file = sandbox.Db() / f.file;
    const std::string shell = "sqlite3 '" + f.file.string() +
                              "' \"CREATE TABLE Fische(Name TEXT, Anzahl INTEGER); "
                              "INSERT INTO Fische VALUES ('Guppy', 12), ('Neon', 30)\"";
    ASSERT_EQ(std::system(shell.c_str()), 0) << shell;
    f.bytes = support::ReadFile(f.file);
  }
  Simulator sim({"--fixed", "--period", "1"});
  ASSERT_TRUE(sim.OfferOnCom1());
  auto app = std::make_unique<TKorvidanApplication>();
  TForm1& form = *app->MainForm;
  form.FState.SetIntervalSeconds(0);
  app->Bus->ListenMilliseconds = 400;
  app->ValueBoard->MediaPlayer1.DeviceName = "null";
  std::atomic<int> stored{0};
  e2e::CountStoredCycles(stored);
  app->Show();
  ASSERT_TRUE(RunUntil([&] { return user.startAnswers == 1; }, 20000)) << "no start question";
  ASSERT_TRUE(RunUntil([&] { return stored >= 2; }, 20000));
  // The overview and the alarm limits, as the user opens them.
  form.Vorschaugrafik1->trigger();
  ASSERT_TRUE(RunUntil([&] { return app->Overview->isVisible(); }, 5000));
  app->ValueBoard->AlarmWertekonfigurieren1->trigger();
  ASSERT_TRUE(RunUntil([&] { return app->AlarmValues->isVisible(); }, 5000));
  form.close();
  app.reset();

  for (const Foreign& f : foreign) {
    EXPECT_TRUE(support::ReadFile(f.file) == f.bytes) << f.file << " was changed";
    EXPECT_FALSE(fs::exists(f.file.string() + "-wal")) << f.file;
    EXPECT_EQ(
        boxes.Contains("Datei \"" + f.file.string() +
                       "\": Die Datei enthält eine Tabelle mit anderem Aufbau; sie bleibt unverändert."),
        f.named)
        << f.file;
  }
}

// "Testfax senden" with a fax file whose header is sound and whose page is cut off: the fax
// view form cannot show it, and the box names the file and the cause in German.
TEST_F(ApplicationTest, ATestFaxWhosePageCannotBeShownIsNamedInGerman) {
  SetPortPromptHook([]() -> std::optional<std::uint16_t> { return std::nullopt; });
  user.giveUpVersion = true;
  user.startAcquisition = false;
  constexpr int kLineCom = 47;
  support::Simulator modem("faxmodem-sim", {"--classes", "2"}, kLineCom);
  WriteTapiDeviceName(support::ListFaxModemLine(kLineCom));
  // The header and the first bytes of the page that comes with the program.
  fs::copy_file(fs::path(InstalledDataDirectory("Fax")) / "korvidan.fxf", "korvidan.fxf");
  fs::resize_file("korvidan.fxf", 64 + 16 + 40);

  auto app = std::make_unique<TKorvidanApplication>();
  TForm1& form = *app->MainForm;
  app->Show();
  ASSERT_TRUE(RunUntil([&] { return user.startAnswers == 1; }, 15000)) << "no start question";
  ASSERT_TRUE(form.Testfaxsenden1->isEnabled());
  form.Testfaxsenden1->trigger();
  EXPECT_TRUE(boxes.Contains("SendFax: TestFax"));
  EXPECT_TRUE(
      boxes.Contains("Die Datei \"korvidan.fxf\" kann nicht angezeigt werden: Die Faxdatei ist beschädigt."));
  EXPECT_FALSE(boxes.Contains("FXF")) << "the library's English text";
  EXPECT_FALSE(FaxViewForm->isVisible());
  ASSERT_TRUE(RunUntil([&] { return !app->FaxModule->Sending(); }, 30000));
  form.close();
  app.reset();
}

// "Testfax senden" that cannot go out: the box names the cause in German, whether no modem
// line is chosen or the line's modem gives no sensible answer.
TEST_F(ApplicationTest, ATestFaxThatCannotGoOutNamesItsCauseInGerman) {
  SetPortPromptHook([]() -> std::optional<std::uint16_t> { return std::nullopt; });
  user.giveUpVersion = true;
  user.startAcquisition = false;
  constexpr int kLineCom = 47;
  support::Simulator modem("faxmodem-sim", {"--classes", "2", "--mute"}, kLineCom);
  support::ListFaxModemLine(kLineCom);
  auto app = std::make_unique<TKorvidanApplication>();
  TForm1& form = *app->MainForm;
  // The user cancels the choice of a line that a name matching none brings up. It stands
  // above the window the user chose the menu item in.
  int cancelled = 0;
  QTimer chooser;
  QObject::connect(&chooser, &QTimer::timeout, [&] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* choice = qobject_cast<TDeviceSelectionForm*>(w); choice && choice->isVisible()) {
        ++cancelled;
        EXPECT_EQ(choice->windowHandle()->transientParent(), form.windowHandle());
        choice->dsfCancelBitBtn->click();
      }
  });
  chooser.start(50);
  app->Show();
  ASSERT_TRUE(RunUntil([&] { return user.startAnswers == 1; }, 15000)) << "no start question";
  const std::string failed = "Alarmfax konnte nicht gesendet werden: ";
  auto failures = [&] {
    std::lock_guard<std::mutex> g(boxes.lock);
    std::vector<std::string> found;
    for (const std::string& t : boxes.texts)
      if (t.rfind(failed, 0) == 0) found.push_back(t);
    return found;
  };

  WriteTapiDeviceName("kein Modem");
  form.activateWindow();
  ASSERT_TRUE(RunUntil([&] { return QApplication::activeWindow() == &form; }, 15000));
  form.Testfaxsenden1->trigger();
  ASSERT_TRUE(RunUntil([&] { return failures().size() == 1; }, 15000));
  EXPECT_EQ(failures()[0], failed + "Es ist keine Modemleitung ausgewählt.");
  EXPECT_EQ(cancelled, 1);

  WriteTapiDeviceName("Faxmodem");
  form.Testfaxsenden1->trigger();
  ASSERT_TRUE(RunUntil([&] { return failures().size() == 2; }, 30000));
  EXPECT_EQ(failures()[1], failed + "Das Modem gibt keine sinnvolle Antwort.");
  EXPECT_FALSE(app->FaxModule->Sending());
  form.close();
  app.reset();
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Also when the tests are only listed, outside the test environment.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
