// A new user's first day, offscreen, against the drifting controller simulator and a fresh
// data folder: the menu items that open the built windows, the value board from the menu,
// alarm limits changed from the board and judged in the next cycle, the alarm sounds that
// come with the program, the acquisition started from the menu after "Nein", and Qt's own
// dialogs in German.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTableWidget>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/Application.h"
#include "app/DBChart.h"
#include "app/DatabaseMove.h"
#include "app/Localregistry.h"
#include "app/Main.h"
#include "app/SetAlarmValues.h"
#include "app/Translations.h"
#include "app/UiThread.h"
#include "app/ValueBoard.h"
#include "link/RS485BusNew.h"
#include "link/SensorRecords.h"
#include "platform/Database.h"
#include "platform/DateTime.h"
#include "platform/Registry.h"
#include "platform/Text.h"
#include "serial/ComSelectForm.h"
#include "tests/main/Driver.h"
#include "tests/support/CpuTime.h"
#include "tests/support/Settings.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using e2e::RunUntil;
using e2e::Simulator;
using e2e::User;
using support::Setting;

// A fresh user: own settings file, an empty XDG_DATA_HOME (the tables go below it), and a
// working directory for the protocol files.
class FirstDayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = home_.path() / "data";
    setenv("XDG_DATA_HOME", data_.c_str(), 1);
    unsetenv("KORVIDAN_DATABASE_DIR");
    // The alias is made once a process, by the first start-up: each test's start-up makes
    // its own below this test's data folder.
    if (Session().IsAlias("Zelvanor")) Session().DeleteAlias("Zelvanor");
    SetRegistryFile((home_.path() / "registry.ini").string());
    old_ = fs::current_path();
    fs::current_path(home_.path());
    MessageSink = [this](const std::string& text, TMsgKind) {
      std::lock_guard<std::mutex> g(lock_);
      boxes_.push_back(text);
    };
    TForm1::ConfirmSink = [](const std::string&) { return true; };
    driver_ = std::make_unique<QTimer>();
    QObject::connect(driver_.get(), &QTimer::timeout, [this] { user_.Act(); });
    driver_->start(50);
  }
  void TearDown() override {
    driver_.reset();
    MessageSink = nullptr;
    TForm1::ConfirmSink = nullptr;
    fs::current_path(old_);
    SetRegistryFile("");
  }

  int Boxes(const std::string& part) {
    std::lock_guard<std::mutex> g(lock_);
    int n = 0;
    for (const std::string& t : boxes_) n += t.find(part) != std::string::npos;
    return n;
  }
  // Alarm reports of one sensor in today's protocol file.
  int Reports(int sensor) {
    const std::string text = support::ReadFile(home_.path() / ("Protokoll " + DateToStr(Now()) + ".txt"));
    const std::string key = "Sensor Nr = " + std::to_string(sensor) + ",";
    int n = 0;
    for (std::size_t at = 0; (at = text.find(key, at)) != std::string::npos; ++at) ++n;
    return n;
  }
  // Starts the application with short cycles (the sounds go to ALSA's null device), counts
  // the stored cycles in stored_ and answers the start-up dialogs.
  bool Start(TKorvidanApplication& app, int listenMs) {
    app.MainForm->FState.SetIntervalSeconds(0);
    app.Bus->ListenMilliseconds = listenMs;
    app.ValueBoard->MediaPlayer1.DeviceName = "null";
    e2e::CountStoredCycles(stored_);
    app.Show();
    return RunUntil([&] { return user_.startAnswers == 1; }, 20000);
  }
  // Types the first sensor's limits into the alarm form opened from the value board's menu
  // and confirms them.
  void SetFirstLimits(TKorvidanApplication& app, const char* lower, const char* upper) {
    app.ValueBoard->AlarmWertekonfigurieren1->trigger();
    TAlarmForm& alarms = *app.AlarmValues;
    ASSERT_TRUE(RunUntil([&] { return alarms.isVisible() && alarms.Model()->rowCount() == 8; }, 5000));
    QAbstractItemModel* grid = alarms.AlarmValueDBGrid->model();
    ASSERT_TRUE(grid->setData(grid->index(0, alarms.Model()->FieldIndex("UntererAlarmwert")), lower, Qt::EditRole));
    ASSERT_TRUE(grid->setData(grid->index(0, alarms.Model()->FieldIndex("ObererAlarmwert")), upper, Qt::EditRole));
    alarms.findChild<QPushButton*>("Button1")->click();
    EXPECT_FALSE(alarms.isVisible());
  }
  // What the sqlite3 shell prints for a query on one table file.
  static std::string Shell(const fs::path& file, const std::string& query) {
    const std::string cmd = "sqlite3 -readonly '" + file.string() + "' \"" + query + "\" 2>&1";
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
      char buf[256];
      while (std::fgets(buf, sizeof buf, p)) out += buf;
      pclose(p);
    }
    return out;
  }

  support::TempDir home_;
  fs::path data_, old_;
  std::mutex lock_;
  std::vector<std::string> boxes_;
  User user_;
  std::unique_ptr<QTimer> driver_;
  std::atomic<int> stored_{0};
};

std::string Cell(QTableWidget* grid, int row, int column) {
  QTableWidgetItem* item = grid->item(row, column);
  return item ? item->text().toStdString() : std::string();
}

TEST_F(FirstDayTest, ValueBoardFromTheMenuAndAlarmLimitsThatTheNextCycleJudges) {
  Simulator sim({"--period", "1"});
  ASSERT_TRUE(sim.OfferOnCom1());

  auto app = std::make_unique<TKorvidanApplication>();
  TForm1& form = *app->MainForm;
  TForm2& board = *app->ValueBoard;

  // Every command whose window is built can be chosen; the rest keep their stored state.
  for (QAction* a :
       {form.aktuelleWerteanzeigen1, form.Datenbankanzeigeaktualisieren1, form.Datenabfrage1,
        form.Datenabfrage2, form.Datenbankenverschieben1, form.FaxKonfiguration1, form.Faxmodemkonfigurieren1,
        form.Bezeichnung1, form.Testfaxsenden1, board.AlarmWertekonfigurieren1})
    EXPECT_TRUE(a->isEnabled()) << a->objectName().toStdString();
  for (QMenu* m : {form.RS485Bus1, form.Test1}) {
    EXPECT_TRUE(m->menuAction()->isVisible()) << m->objectName().toStdString();
    EXPECT_TRUE(m->menuAction()->isEnabled()) << m->objectName().toStdString();
  }
  EXPECT_FALSE(form.DatenbankNeu1->isEnabled());
  EXPECT_FALSE(form.SMSkonfigurieren1->isEnabled());
  for (const char* name : {"Undo1", "Cut1", "Copy1", "Paste1", "Find1"}) {
    QAction* a = form.findChild<QAction*>(name);
    ASSERT_NE(a, nullptr) << name;
    EXPECT_FALSE(a->isEnabled() || a->isVisible()) << name;
  }

  ASSERT_TRUE(Start(*app, 1500)) << "no start question";
  ASSERT_TRUE(form.IsCollecting());

  // The value board from the menu: the current values within one cycle.
  form.aktuelleWerteanzeigen1->trigger();
  EXPECT_TRUE(board.isVisible());
  EXPECT_TRUE(form.aktuelleWerteanzeigen1->isChecked());
  auto ph = [&] {
    std::string t = Cell(board.StringGrid1, 2, 2);
    for (char& c : t)
      if (c == ',') c = '.';
    double v = 0;
    return TryStrToFloat(t, v) ? v : 0.0;
  };
  ASSERT_TRUE(RunUntil([&] { return stored_ >= 1 && ph() != 0.0; }, 10000)) << Cell(board.StringGrid1, 2, 2);
  EXPECT_EQ(Cell(board.StringGrid1, 0, 1), "Korvidan1");
  EXPECT_EQ(Cell(board.StringGrid1, 2, 1), "pH");
  EXPECT_GE(ph(), 7.9);
  EXPECT_LE(ph(), 8.3);
  EXPECT_EQ(Cell(board.StringGrid1, 7, 2), "Wasser");
  // The board opened large enough for its grid.
  QCoreApplication::processEvents();
  EXPECT_EQ(board.StringGrid1->horizontalScrollBar()->maximum(), 0);
  EXPECT_EQ(board.StringGrid1->verticalScrollBar()->maximum(), 0);

  // The default limits (-1 and 1) put the pH in alarm: the sound that comes with the program
  // plays, no box appears.
  ASSERT_TRUE(RunUntil([&] { return Reports(1) >= 1; }, 10000));
  EXPECT_EQ(board.MediaPlayer1.FileName, InstalledSoundDirectory() + "/boing.wav");
  if (Boxes("Alarmton") == 0) {
    EXPECT_EQ(board.MediaPlayer1.Error(), TWavePlayer::weNone) << board.MediaPlayer1.ErrorMessage();
  } else {
    // A machine without ALSA's null device: the missing device is reported once.
    EXPECT_EQ(Boxes("Alarmton kann nicht gespielt werden: kein Audiogerät"), 1);
  }
  EXPECT_EQ(Boxes("existiert nicht"), 0);

  // The alarm limits from the board's menu: pH between 7,5 and 8,8.
  ASSERT_NO_FATAL_FAILURE(SetFirstLimits(*app, "7,5", "8,8"));

  const fs::path table = data_ / "korvidan" / "Zelvanor" / "Korvidan1_Val.db";
  EXPECT_EQ(Shell(table, "SELECT UntererAlarmwert, ObererAlarmwert FROM Korvidan1_Val WHERE SensorNr = 1"),
            "7.5|8.8\n");
  EXPECT_EQ(Shell(table, "SELECT count(*) FROM Korvidan1_Val"), "8\n");

  // The next cycles judge against the new limits: no more pH reports, the temperature (above
  // its upper limit of 1) is still reported.
  const int next = stored_ + 1;
  ASSERT_TRUE(RunUntil([&] { return stored_ >= next; }, 10000));
  const int phReports = Reports(1), tempReports = Reports(2);
  ASSERT_TRUE(RunUntil([&] { return stored_ >= next + 2; }, 15000));
  EXPECT_EQ(Reports(1), phReports);
  EXPECT_GT(Reports(2), tempReports);

  // After five cycles the grid and the preview charts show the merged rows: a curve, and all
  // ten columns in view at the window's default size.
  ASSERT_TRUE(RunUntil([&] { return form.DBGrid1->model()->rowCount() >= 5; }, 30000));
  QCoreApplication::processEvents();
  EXPECT_EQ(form.DBGrid1->horizontalScrollBar()->maximum(), 0);
  EXPECT_GE(form.DBChart1->PointCount(), 5);
  EXPECT_EQ(form.DBChart1->Title(), "Sensor1: pH");

  form.close();
  app.reset();
}

TEST_F(FirstDayTest, ASilentBusRaisesNoAlarmAndItsBoxStandsOnceUntilClosed) {
  Simulator sim({"--fixed", "--period", "0.5"});
  ASSERT_TRUE(sim.OfferOnCom1());

  auto app = std::make_unique<TKorvidanApplication>();
  ASSERT_TRUE(Start(*app, 400)) << "no start question";

  // A pH range of 6 to 9: the controller's pH of 7.05 lies inside, its temperature is above
  // the default upper limit of 1.
  ASSERT_NO_FATAL_FAILURE(SetFirstLimits(*app, "6", "9"));
  const int judged = stored_ + 1;
  ASSERT_TRUE(RunUntil([&] { return stored_ > judged && Reports(2) > 0; }, 15000));

  // The bus falls silent and nobody answers the boxes from now on.
  driver_->stop();
  MessageSink = nullptr;
  ASSERT_TRUE(sim.Command("silent on"));
  const int silentFrom = stored_ + 1;  // the cycle running now may still have heard values
  int reportsBefore = -1, mostOpen = 0;
  bool closed = false, shownAgain = false;
  auto open = [] {
    std::vector<QMessageBox*> boxes;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible() && box->text() == NoDataMessage)
        boxes.push_back(box);
    return boxes;
  };
  // Watched from a timer: it runs inside the open boxes' loops as well.
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    if (reportsBefore < 0 && stored_ >= silentFrom) reportsBefore = Reports(1) + Reports(2);
    const auto boxes = open();
    mostOpen = std::max(mostOpen, static_cast<int>(boxes.size()));
    if (!closed && stored_ >= silentFrom + 3) {
      closed = true;
      for (QMessageBox* box : boxes) box->button(QMessageBox::Ok)->click();
    } else if (closed && !boxes.empty()) {
      shownAgain = true;  // and closed at once, as any box after it, so that the loops unwind
      for (QMessageBox* box : boxes) box->button(QMessageBox::Ok)->click();
    }
  });
  watcher.start(20);
  EXPECT_TRUE(RunUntil([&] { return shownAgain; }, 30000));
  watcher.stop();

  // One box for three silent cycles; once closed, the next cycle shows it again. The zeros of
  // the silent cycles are judged against nothing: no report, no "kein Sensor" below 6.
  EXPECT_EQ(mostOpen, 1);
  EXPECT_EQ(Reports(1) + Reports(2), reportsBefore);
  EXPECT_EQ(support::ReadFile(home_.path() / ("Protokoll " + DateToStr(Now()) + ".txt")).find("kein Sensor"),
            std::string::npos);

  MessageSink = [this](const std::string& text, TMsgKind) {
    std::lock_guard<std::mutex> g(lock_);
    boxes_.push_back(text);
  };
  driver_->start(50);
  app->MainForm->close();
  app.reset();
}

TEST_F(FirstDayTest, AfterNeinTheMenuStartsAndStopsTheAcquisition) {
  Simulator sim({"--fixed", "--period", "1"});
  ASSERT_TRUE(sim.OfferOnCom1());
  user_.startAcquisition = false;

  auto app = std::make_unique<TKorvidanApplication>();
  TForm1& form = *app->MainForm;
  app->Bus->ListenMilliseconds = 300;
  app->Show();
  ASSERT_TRUE(RunUntil([&] { return user_.startAnswers == 1; }, 20000)) << "no start question";
  EXPECT_FALSE(form.IsCollecting());
  ASSERT_TRUE(form.Datenabfrage1->isEnabled());
  EXPECT_FALSE(form.Datenabfrage1->isChecked());

  form.Datenabfrage1->trigger();
  EXPECT_TRUE(form.IsCollecting());
  EXPECT_TRUE(form.Datenabfrage1->isChecked());
  EXPECT_EQ(Boxes("Datenabfrage gestartet !"), 1);
  form.Datenabfrage1->trigger();
  EXPECT_FALSE(form.IsCollecting());
  EXPECT_EQ(Boxes("Datenabfrage beendet !"), 1);
  EXPECT_FALSE(form.Datenabfrage1->isChecked());
  EXPECT_EQ(Boxes("Bitte warten"), 0);

  form.close();
  app.reset();
}

// As the README suggests: a shorter interval put into a fresh settings file before the first
// start. The start writes the other defaults beside it and keeps the interval, and the alarm
// sounds come from the folder that comes with the program.
TEST_F(FirstDayTest, ASettingsFileHoldingOnlyTheIntervalGetsTheOtherDefaults) {
  home_.Write("registry.ini", "[Software\\Zelvanor\\DataCollectingIntervall]\n\"Intervall\"=dword:2\n");
  Simulator sim({"--fixed", "--period", "0.5"});
  ASSERT_TRUE(sim.OfferOnCom1());

  auto app = std::make_unique<TKorvidanApplication>();
  EXPECT_EQ(app->MainForm->FState.GetIntervalSeconds(), 120);
  for (const support::DefaultSetting& d : support::DefaultSettings())
    EXPECT_EQ(Setting(d.key, d.name), d.name == "Intervall" ? "dword:2" : d.text) << d.key << "\\" << d.name;

  // The default limits put the pH in alarm: its sound is the one that comes with the program.
  ASSERT_TRUE(Start(*app, 400)) << "no start question";
  ASSERT_TRUE(RunUntil([&] { return Reports(1) >= 1; }, 15000));
  // Read once the acquisition, which plays the sounds, has ended with the close.
  app->MainForm->close();
  EXPECT_EQ(app->ValueBoard->MediaPlayer1.FileName, InstalledSoundDirectory() + "/boing.wav");
  EXPECT_EQ(Boxes("existiert nicht"), 0);
  EXPECT_EQ(Boxes("Warnung"), 0);
  app.reset();
  EXPECT_EQ(Setting("DataCollectingIntervall", "Intervall"), "dword:2");
}

// A settings file grown by hand to 200,000 notes under one key (one of them written twice, in
// another case), with the interval and the telephony sessions' key: the start reads it within
// seconds, takes the later of the two notes, and writes the missing defaults in one save of
// the file; the telephony session removes the entries of three sessions gone in one save more,
// and writes its own in another.
TEST_F(FirstDayTest, AHandGrownSettingsFileIsReadInSecondsAndGetsItsDefaultsInOneSave) {
  constexpr int kNotes = 200000;
  std::string text =
      "[Software\\Zelvanor\\DataCollectingIntervall]\n\"Intervall\"=dword:2\n"
      "[SOFTWARE\\Nordhaven\\SIO\\TAPI]\n\"alt1\"=sz:\"1\"\n\"alt2\"=sz:\"2\"\n\"alt3\"=sz:\"3\"\n"
      "[Software\\Zelvanor\\Notizen]\n";
  for (int i = 0; i < kNotes; ++i)
    text += "\"Notiz" + std::to_string(i) + "\"=sz:\"Wasserwechsel, Filter " + std::to_string(i) +
            " gereinigt\"\n";
  text += "\"NOTIZ7\"=sz:\"zuletzt geschrieben\"\n";
  home_.Write("registry.ini", text);
  // Each save moves a new file into place: the temporary file's move and the settings file's
  // alternate, so that no two events in a row are alike (the kernel would merge them).
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, home_.path().c_str(), IN_MOVED_FROM | IN_MOVED_TO), 0);
  Simulator sim({"--fixed", "--period", "1"});
  ASSERT_TRUE(sim.OfferOnCom1());
  user_.startAcquisition = false;

  // Under a second of the window thread's time in the plain build, a quarter of a minute under
  // a sanitizer; reading each value against the earlier ones took many minutes.
  const double cpu = support::ThreadCpuSeconds();
  auto app = std::make_unique<TKorvidanApplication>();
  EXPECT_LT(support::ThreadCpuSeconds() - cpu, 60.0);
  int saves = 0;
  alignas(inotify_event) char events[64 * 1024];
  for (ssize_t n; (n = read(watch, events, sizeof events)) > 0;)
    for (char* p = events; p < events + n;
         p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len) {
      const auto* e = reinterpret_cast<inotify_event*>(p);
      saves += (e->mask & IN_MOVED_TO) && std::string(e->name) == "registry.ini";
    }
  close(watch);
  EXPECT_EQ(saves, 3);
  EXPECT_EQ(app->MainForm->FState.GetIntervalSeconds(), 120);
  for (const support::DefaultSetting& d : support::DefaultSettings())
    EXPECT_EQ(Setting(d.key, d.name), d.name == "Intervall" ? "dword:2" : d.text) << d.key << "\\" << d.name;
  app.reset();

  SetRegistryFile((home_.path() / "registry.ini").string());  // as the next start reads it
  TRegistry notes;
  ASSERT_TRUE(notes.OpenKey("\\Software\\Zelvanor\\Notizen", false));
  TStringList names;
  notes.GetValueNames(names);
  ASSERT_EQ(names.Count(), kNotes);
  EXPECT_EQ(names[7], "NOTIZ7");
  EXPECT_EQ(notes.ReadString("Notiz7"), "zuletzt geschrieben");
  EXPECT_EQ(notes.ReadString("Notiz199999"), "Wasserwechsel, Filter 199999 gereinigt");
}

// A settings file of binary garbage is set aside and the start goes on with the defaults: a
// German box says so once, naming the file and the copy kept of it; the next start is quiet.
TEST_F(FirstDayTest, ADamagedSettingsFileIsReportedOnceWithTheCopyKept) {
  std::string garbage;
  for (int i = 0; i < 600; ++i) garbage += static_cast<char>((i * 73 + 11) % 256);
  const std::string file = home_.Write("registry.ini", garbage);
  Simulator sim({"--fixed", "--period", "1"});
  ASSERT_TRUE(sim.OfferOnCom1());
  user_.startAcquisition = false;

  auto app = std::make_unique<TKorvidanApplication>();
  EXPECT_EQ(user_.portDialogs, 1);
  std::vector<fs::path> kept;
  for (const auto& e : fs::directory_iterator(home_.path()))
    if (e.path().filename().string().rfind("registry.ini.corrupt-", 0) == 0) kept.push_back(e.path());
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(support::ReadFile(kept[0]), garbage);
  const std::string box = "Die Einstellungsdatei \"" + file +
                          "\" ist beschädigt und kann nicht gelesen werden.\nSie wurde als \"" +
                          kept[0].string() +
                          "\" aufbewahrt; das Programm startet mit den Standardeinstellungen.";
  EXPECT_EQ(Boxes(box), 1);
  {
    std::lock_guard<std::mutex> g(lock_);
    ASSERT_FALSE(boxes_.empty());
    EXPECT_EQ(boxes_.front(), box);  // before anything else of the start
  }
  EXPECT_EQ(app->MainForm->FState.GetIntervalSeconds(), 900);
  for (const support::DefaultSetting& d : support::DefaultSettings())
    EXPECT_EQ(Setting(d.key, d.name), d.text);
  ASSERT_TRUE(Start(*app, 300)) << "no start question";
  EXPECT_EQ(Boxes("Einstellungsdatei"), 1);
  app->MainForm->close();
  app.reset();

  SetRegistryFile(file);  // as a new process reads it
  user_.portDialogs = 0;
  app = std::make_unique<TKorvidanApplication>();
  EXPECT_EQ(user_.portDialogs, 1);
  EXPECT_EQ(Boxes("Einstellungsdatei"), 1);
  app.reset();
}

TEST(GermanQt, TheFileDialogOfTheDatabaseMoveReadsOeffnenAndAbbrechen) {
  ASSERT_TRUE(InstallGermanTranslations(*QCoreApplication::instance()));
  TDatabaseMoveForm move;
  // The form runs its open dialog modally as it shows; read the dialog from inside it.
  std::string open, cancel;
  bool found = false;
  QTimer reader;
  QObject::connect(&reader, &QTimer::timeout, [&] {
    if (!move.OpenDialog1()->isVisible()) return;
    if (auto* buttons = move.OpenDialog1()->findChild<QDialogButtonBox*>()) {
      auto text = [&](QDialogButtonBox::StandardButton which) {
        QPushButton* b = buttons->button(which);
        return b ? b->text().remove('&').toStdString() : std::string("<none>");
      };
      open = text(QDialogButtonBox::Open);
      cancel = text(QDialogButtonBox::Cancel);
      found = true;
    }
    move.OpenDialog1()->reject();
  });
  reader.start(20);
  move.show();
  ASSERT_TRUE(RunUntil([&] { return found; }, 10000)) << "not Qt's own file dialog";
  EXPECT_EQ(open, "Öffnen");
  EXPECT_EQ(cancel, "Abbrechen");
  reader.stop();
  move.reject();
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
