// The measurement database module: store, merge, type rows, failures, and a merge killed at
// random moments.
#include "app/DataBase.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/SharedState.h"
#include "app/UiThread.h"
#include "platform/DateTime.h"
#include "platform/Text.h"
#include "tests/support/FullDisk.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// The sqlite3 shell with its arguments; what it prints.
std::string Sqlite3(const std::string& arguments) {
  std::string cmd = "sqlite3 " + arguments + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return "popen failed";
  std::string out;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) out += buf;
  pclose(p);
  return out;
}

std::string Shell(const fs::path& file, const std::string& command) {
  return Sqlite3("-readonly '" + file.string() + "' \"" + command + "\"");
}

// A user looking into a table with the shell, as the README suggests.
void UserShell(const fs::path& file, const std::string& command) {
  Sqlite3("'" + file.string() + "' \"" + command + "\"");
}

std::string FileBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TKorvidan* Controller(TControllerList& list, const std::string& name) {
  auto* c = new TKorvidan(list.GetControllerCount());
  c->GetIdent()->SetName(name);
  list.AddController(c);
  return c;
}

void SetValues(TKorvidan& c, float first) {
  for (int s = 0; s < 8; ++s) c.GetSensor(s)->SetValue(first + static_cast<float>(s));
}

// "DateTime" (to the second, as text) -> Sensor1 of a measurement table.
std::map<std::string, double> ReadRows(const std::string& table) {
  std::map<std::string, double> rows;
  TRowReader r("Zelvanor", table, {"DateTime", "Sensor1"});
  while (r.Next()) rows[DateTimeToStr(r.AsDateTime(0))] = r.AsFloat(1);
  return rows;
}

int RowCount(const std::string& table) {
  TRowReader r("Zelvanor", table);
  return static_cast<int>(r.RowCount());
}

void WaitForNextSecond() {
  const std::string now = DateTimeToStr(Now());
  while (DateTimeToStr(Now()) == now) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

class DataBaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Session().AddStandardAlias("Zelvanor", dir_);
    TDataModule2::FTypesWritten = false;
    MainFlags.FTempDataMerged = true;
    MessageSink = [this](const std::string& text, TMsgKind) { messages_.push_back(text); };
  }
  void TearDown() override { MessageSink = nullptr; }
  bool Exists(const std::string& file) { return fs::exists(dir_ / file); }
  // The German line that names a table's file and the cause of its failure.
  std::string Line(const std::string& file, const std::string& cause) const {
    return "Datei \"" + (dir_ / file).string() + "\": " + cause;
  }
  // The files in the tables' folder, by name.
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // Tables live on a tmpfs where there is one: fast, and a killed process leaves it intact.
  support::TempDir tmp_{"korvidan-app-db-", support::TmpfsOrTemp()};
  const fs::path& dir_ = tmp_.path();
  std::vector<std::string> messages_;
};

TEST_F(DataBaseTest, FifthStoreMergesIntoTheMeasurementTableThatTheShellReads) {
  TDataModule2 module;
  TControllerList list;
  TKorvidan* c = Controller(list, "Korvidan1");

  std::map<std::string, double> expected;
  for (int cycle = 1; cycle <= 5; ++cycle) {
    if (cycle == 2 || cycle == 4) WaitForNextSecond();
    c->StampTime();
    SetValues(*c, static_cast<float>(cycle) + 0.25f);
    expected[DateTimeToStr(c->GetTimeStamp())] = cycle + 0.25;  // a later row of the same second replaces it
    module.StoreCurrentValues(list);
    if (cycle < 5) {
      EXPECT_TRUE(Exists("Korvidan1_Temp.DB"));
      EXPECT_EQ(RowCount("Korvidan1_Temp.DB"), cycle);
      EXPECT_FALSE(MainFlags.FTempDataMerged);
    }
  }
  EXPECT_FALSE(Exists("Korvidan1_Temp.DB")) << "the fifth row merges and deletes the temporary table";
  EXPECT_TRUE(MainFlags.FTempDataMerged);
  EXPECT_EQ(ReadRows("Korvidan1.db"), expected);
  EXPECT_GE(expected.size(), 3u);
  EXPECT_TRUE(messages_.empty()) << messages_.front();

  // The columns as the measurement row has them, read by the sqlite3 shell.
  const fs::path file = dir_ / "Korvidan1.db";
  EXPECT_EQ(
      Shell(file,
            "SELECT group_concat(name || ':' || type || ':' || pk, ' ') FROM pragma_table_info('Korvidan1')"),
      "DateTime:DATETIME:1 Datum:DATE:0 Uhrzeit:TIME:0 Sensor1:FLOAT:0 Sensor2:FLOAT:0 Sensor3:FLOAT:0 "
      "Sensor4:FLOAT:0 Sensor5:FLOAT:0 Sensor6:FLOAT:0 Sensor7:FLOAT:0 Sensor8:FLOAT:0\n");
  const std::string last = Shell(file, "SELECT * FROM Korvidan1 ORDER BY DateTime DESC LIMIT 1");
  const TDateTime stamp = c->GetTimeStamp();
  std::uint16_t y, mo, d, h, mi, s, ms;
  DecodeDate(stamp, y, mo, d);
  DecodeTime(stamp, h, mi, s, ms);
  EXPECT_EQ(last, Format("%04u-%02u-%02u %02u:%02u:%02u.000|%04u-%02u-%02u|%02u:%02u:%02u.000|"
                         "5.25|6.25|7.25|8.25|9.25|10.25|11.25|12.25\n",
                         y, mo, d, h, mi, s, y, mo, d, h, mi, s));
  EXPECT_EQ(Shell(file, "SELECT count(*) FROM Korvidan1"),
            IntToStr(static_cast<int>(expected.size())) + "\n");

  // The sixth cycle starts a new temporary table.
  module.StoreCurrentValues(list);
  EXPECT_EQ(RowCount("Korvidan1_Temp.DB"), 1);
}

TEST_F(DataBaseTest, MergeReplacesRowsOfTheSameTimeAndTakesEveryController) {
  TDataModule2 module;
  TControllerList list;
  TKorvidan* a = Controller(list, "Korvidan1");
  TKorvidan* b = Controller(list, "Korvidan2");
  SetValues(*a, 1.0f);
  SetValues(*b, 100.0f);
  module.StoreCurrentValues(list);
  module.MergeTempTables(list);
  const std::string key = DateTimeToStr(a->GetTimeStamp());
  EXPECT_EQ(ReadRows("Korvidan1.db")[key], 1.0);

  // The same time stamp again with new values: the row is replaced, not doubled.
  SetValues(*a, 2.5f);
  SetValues(*b, 200.0f);
  module.StoreCurrentValues(list);
  EXPECT_FALSE(MainFlags.FTempDataMerged);
  module.MergeTempTables(list);
  EXPECT_TRUE(MainFlags.FTempDataMerged);
  EXPECT_EQ(RowCount("Korvidan1.db"), 1);
  EXPECT_EQ(ReadRows("Korvidan1.db")[DateTimeToStr(a->GetTimeStamp())], 2.5);
  EXPECT_EQ(ReadRows("Korvidan2.db")[DateTimeToStr(b->GetTimeStamp())], 200.0);
  // The replaced rows of both controllers are kept in "ChangedTable" as they were.
  ASSERT_TRUE(Exists("ChangedTable.db"));
  {
    TRowReader changed("Zelvanor", "ChangedTable", {"DateTime", "Sensor1"});
    std::vector<double> old;
    while (changed.Next()) old.push_back(changed.AsFloat(1));
    EXPECT_EQ(old, (std::vector<double>{1.0, 100.0}));
  }
  EXPECT_FALSE(Exists("ProblemTable.db"));
  EXPECT_FALSE(Exists("Korvidan1_Temp.DB"));
  EXPECT_FALSE(Exists("Korvidan2_Temp.DB"));
  // After the merge, Table1 is open on the last controller's measurement table.
  EXPECT_TRUE(module.Table1.Active());
  EXPECT_EQ(module.Table1.TableName(), "Korvidan2.db");
  // A merge with nothing waiting changes nothing and complains about nothing.
  module.MergeTempTables(list);
  EXPECT_EQ(RowCount("Korvidan1.db"), 1);
  EXPECT_TRUE(messages_.empty());
}

TEST_F(DataBaseTest, TypeTableGainsOneRowPerControllerAndRun) {
  TControllerList list;
  TKorvidan* c = Controller(list, "Korvidan1");
  c->GetSensor(0)->SetType(SensorPH);
  c->GetSensor(1)->SetType(SensorTemperature);
  c->GetSensor(2)->SetType(SensorOxygen);
  c->GetSensor(2)->SetO2Mode(O2ModePercent);
  {
    TDataModule2 module;
    EXPECT_EQ(module.ReadSensorType(*c, 0), "") << "no row yet";
    module.StoreCurrentValues(list);
    module.MergeTempTables(list);
    module.StoreCurrentValues(list);
    module.MergeTempTables(list);
    EXPECT_EQ(RowCount("Korvidan1_Type.db"), 1);
    EXPECT_EQ(module.ReadSensorType(*c, 0), "pH");
    EXPECT_EQ(module.ReadSensorType(*c, 1), "Temp.[°C]");
    EXPECT_EQ(module.ReadSensorType(*c, 2), "O2[%]");
    EXPECT_EQ(module.ReadSensorType(*c, 7), "kein Sensor");
    EXPECT_EQ(module.ReadSensorType(*c, 8), "");
  }
  // The next run (the main window clears the flag when it is created) adds one more row; the
  // first row stays the one that is read.
  TDataModule2::FTypesWritten = false;
  c->GetSensor(0)->SetType(SensorRedox);
  TDataModule2 module;
  module.StoreCurrentValues(list);
  module.MergeTempTables(list);
  EXPECT_EQ(RowCount("Korvidan1_Type.db"), 2);
  EXPECT_EQ(module.ReadSensorType(*c, 0), "pH");
}

TEST_F(DataBaseTest, AFailedMoveKeepsTheTemporaryRowsForTheNextMerge) {
  TDataModule2 module;
  TControllerList list;
  TKorvidan* a = Controller(list, "Korvidan1");
  TKorvidan* b = Controller(list, "Korvidan2");
  SetValues(*a, 3.0f);
  SetValues(*b, 4.0f);
  module.StoreCurrentValues(list);
  // Korvidan1's measurement table is no table: its move fails.
  {
    FILE* f = std::fopen((dir_ / "Korvidan1.db").c_str(), "wb");
    std::fputs("kein SQLite", f);
    std::fclose(f);
  }
  module.MergeTempTables(list);
  EXPECT_EQ(messages_, std::vector<std::string>{Line("Korvidan1.db", "Die Datei ist keine Tabelle.")});
  EXPECT_FALSE(MainFlags.FTempDataMerged) << "rows still wait";
  EXPECT_EQ(RowCount("Korvidan1_Temp.DB"), 1);
  EXPECT_EQ(RowCount("Korvidan2.db"), 1) << "the other controller is merged";
  EXPECT_FALSE(Exists("Korvidan2_Temp.DB"));

  fs::remove(dir_ / "Korvidan1.db");
  messages_.clear();
  module.MergeTempTables(list);
  EXPECT_TRUE(messages_.empty());
  EXPECT_TRUE(MainFlags.FTempDataMerged);
  EXPECT_EQ(ReadRows("Korvidan1.db")[DateTimeToStr(a->GetTimeStamp())], 3.0);
}

TEST_F(DataBaseTest, AFailingTableIsReportedAndTheOtherControllersAreStored) {
  TDataModule2 module;
  TControllerList list;
  Controller(list, "Korvidan1");
  Controller(list, "Korvidan2");
  fs::create_directory(dir_ / "Korvidan1_Temp.DB");  // in the way of the table file
  module.StoreCurrentValues(list);
  EXPECT_EQ(messages_, std::vector<std::string>{" Tabelle konnte nicht erstellt werden !\n" +
                                                Line("Korvidan1_Temp.DB", "Die Datei ist keine Tabelle.")});
  EXPECT_EQ(RowCount("Korvidan2_Temp.DB"), 1);
  EXPECT_EQ(Files(), (std::vector<std::string>{"Korvidan1_Temp.DB", "Korvidan2_Temp.DB"}));
}

// A full disk: each table that cannot be made or written is named with the cause, nothing of
// a failed creation stays in the folder, and the rows stored before are merged once there is
// room again.
TEST_F(DataBaseTest, AFullDiskIsNamedAndAFailedCreationLeavesNothingBehind) {
  TDataModule2 module;
  TControllerList list;
  TKorvidan* c = Controller(list, "Korvidan1");
  const std::string full = "Der Datenträger ist voll.", notMade = " Tabelle konnte nicht erstellt werden !\n";
  struct Room {
    ~Room() { support::FullDisk::Free(); }
  } room;

  support::FullDisk::Fill(dir_);
  module.StoreCurrentValues(list);
  module.MergeTempTables(list);
  EXPECT_EQ(messages_, (std::vector<std::string>{notMade + Line("Korvidan1_Temp.DB", full),
                                                 notMade + Line("Korvidan1.db", full)}));
  EXPECT_EQ(Files(), std::vector<std::string>{});
  EXPECT_FALSE(MainFlags.FTempDataMerged);

  // A row is stored; the disk fills up; the next row and the merge fail, the row waits.
  support::FullDisk::Free();
  messages_.clear();
  SetValues(*c, 1.5f);
  module.StoreCurrentValues(list);
  ASSERT_TRUE(messages_.empty()) << messages_.front();
  support::FullDisk::Fill(dir_);
  SetValues(*c, 2.5f);
  module.StoreCurrentValues(list);
  module.MergeTempTables(list);
  EXPECT_EQ(messages_, (std::vector<std::string>{Line("Korvidan1_Temp.DB", full),
                                                 notMade + Line("Korvidan1.db", full)}));
  // No file of a creation is left; the temporary table keeps its row (and SQLite the journal
  // files it made for it, empty, until the table's next use).
  for (const std::string& f : Files()) {
    EXPECT_TRUE(f.find(".new") == std::string::npos) << f;
    if (f.size() > 4 && f.compare(f.size() - 4, 4, "-wal") == 0) {
      EXPECT_EQ(fs::file_size(dir_ / f), 0u) << f;
    }
  }
  EXPECT_EQ(Shell(dir_ / "Korvidan1_Temp.DB", "SELECT Sensor1 FROM Korvidan1_Temp"), "1.5\n");

  support::FullDisk::Free();
  messages_.clear();
  module.MergeTempTables(list);
  EXPECT_TRUE(messages_.empty()) << messages_.front();
  EXPECT_TRUE(MainFlags.FTempDataMerged);
  module.Table1.Close();
  for (const std::string& f : Files())
    EXPECT_TRUE(f.find(".new") == std::string::npos && f.find("-wal") == std::string::npos &&
                f.find("-shm") == std::string::npos && f.find("_Temp") == std::string::npos)
        << f;
  EXPECT_EQ(Shell(dir_ / "Korvidan1.db", "SELECT Sensor1 FROM Korvidan1"), "1.5\n");
}

TEST_F(DataBaseTest, AFileTheShellLeftWithoutATableIsATableNotMadeYet) {
  TDataModule2 module;
  TControllerList list;
  TKorvidan* a = Controller(list, "Korvidan1");
  TKorvidan* b = Controller(list, "Korvidan2");
  // Looking into tables that are not there yet leaves empty files behind...
  UserShell(dir_ / "Korvidan1_Temp.DB", "SELECT 1");
  UserShell(dir_ / "Korvidan1.db", "SELECT * FROM Korvidan1");
  UserShell(dir_ / "Korvidan1_Type.db", ".tables");
  for (const char* file : {"Korvidan1_Temp.DB", "Korvidan1.db", "Korvidan1_Type.db"})
    ASSERT_EQ(fs::file_size(dir_ / file), 0u) << file;
  // ...and a database whose only table was dropped holds none.
  UserShell(dir_ / "Korvidan2_Temp.DB", "CREATE TABLE Notizen(Text); DROP TABLE Notizen");
  ASSERT_GT(fs::file_size(dir_ / "Korvidan2_Temp.DB"), 0u);

  for (int cycle = 1; cycle <= 5; ++cycle) {
    SetValues(*a, static_cast<float>(cycle));
    SetValues(*b, static_cast<float>(cycle) * 10);
    module.StoreCurrentValues(list);
  }
  EXPECT_TRUE(messages_.empty()) << messages_.front();
  EXPECT_TRUE(MainFlags.FTempDataMerged);
  EXPECT_EQ(ReadRows("Korvidan1.db")[DateTimeToStr(a->GetTimeStamp())], 5.0);
  EXPECT_EQ(ReadRows("Korvidan2.db")[DateTimeToStr(b->GetTimeStamp())], 50.0);
  EXPECT_EQ(RowCount("Korvidan1_Type.db"), 1);
}

TEST_F(DataBaseTest, AFileOfAnotherProgramIsReportedAndLeftAsItIsUntilItMakesWay) {
  TDataModule2 module;
  TControllerList list;
  for (const char* name : {"Korvidan1", "Korvidan2", "Korvidan3"}) Controller(list, name);
  // In the way: a text file, a table of notes, and a measurement table with a column more.
  const fs::path text = dir_ / "Korvidan1_Temp.DB", notes = dir_ / "Korvidan2_Temp.DB",
                 wider = dir_ / "Korvidan3.db";
  Sqlite3(":memory: \".once '" + text.string() + "'\" \"SELECT 'Einkaufsliste'\"");
  std::string rows;
  for (int day = 1; day <= 6; ++day)
    rows += Format("INSERT INTO Notizen VALUES ('2026-12-0%d 10:00', 'Filter');", day);
  UserShell(notes, "CREATE TABLE Notizen(DateTime DATETIME, Notiz TEXT);" + rows);
  UserShell(wider,
            "CREATE TABLE Korvidan3(DateTime DATETIME PRIMARY KEY, Datum DATE, Uhrzeit TIME, Sensor1 FLOAT, "
            "Sensor2 FLOAT, Sensor3 FLOAT, Sensor4 FLOAT, Sensor5 FLOAT, Sensor6 FLOAT, Sensor7 FLOAT, "
            "Sensor8 FLOAT, Bemerkung TEXT)");
  std::map<fs::path, std::string> before;
  for (const fs::path& f : {text, notes, wider}) before[f] = FileBytes(f);

  for (int cycle = 1; cycle <= 5; ++cycle) module.StoreCurrentValues(list);  // the fifth merges
  for (const auto& entry : before)
    EXPECT_TRUE(FileBytes(entry.first) == entry.second) << entry.first << " was changed";
  // Each box names the file in the way and why, in German.
  const std::string layout = "Die Datei enthält eine Tabelle mit anderem Aufbau; sie bleibt unverändert.";
  const std::vector<std::string> lines = {Line("Korvidan1_Temp.DB", "Die Datei ist keine Tabelle."),
                                          Line("Korvidan2_Temp.DB", layout), Line("Korvidan3.db", layout)};
  for (const std::string& line : lines)
    EXPECT_NE(std::find(messages_.begin(), messages_.end(), line), messages_.end())
        << line << " is not shown";
  for (const std::string& m : messages_)
    EXPECT_NE(std::find(lines.begin(), lines.end(), m), lines.end()) << m;
  EXPECT_EQ(RowCount("Korvidan3_Temp.DB"), 5) << "its rows wait for a measurement table of their own";
  EXPECT_FALSE(MainFlags.FTempDataMerged);

  // Once the files are moved away, the next cycle stores every controller's row and merges.
  for (const fs::path& f : {text, notes, wider}) fs::rename(f, f.string() + ".weg");
  messages_.clear();
  module.StoreCurrentValues(list);
  EXPECT_TRUE(messages_.empty()) << messages_.front();
  EXPECT_TRUE(MainFlags.FTempDataMerged);
  for (const char* table : {"Korvidan1.db", "Korvidan2.db", "Korvidan3.db"})
    EXPECT_EQ(RowCount(table), 1) << table;
}

TEST_F(DataBaseTest, StoreFromTheAcquisitionThreadAndMergeFromTheWindowThread) {
  TDataModule2 module;
  TControllerList list;
  Controller(list, "Korvidan1");
  std::atomic<bool> stop{false};
  std::thread acquisition([&] {
    for (int i = 0; i < 12 && !stop; ++i) {
      {
        std::lock_guard<TCriticalSection> g(SensorDataLock);
        list.GetController(0)->StampTime();
        SetValues(*list.GetController(0), static_cast<float>(i));
      }
      module.StoreCurrentValues(list);
    }
  });
  for (int i = 0; i < 5; ++i) module.MergeTempTables(list);
  acquisition.join();
  module.MergeTempTables(list);
  EXPECT_TRUE(messages_.empty()) << messages_.front();
  EXPECT_FALSE(Exists("Korvidan1_Temp.DB"));
  EXPECT_GE(RowCount("Korvidan1.db"), 1);
  EXPECT_TRUE(MainFlags.FTempDataMerged);
}

// --- A merge killed at any moment ---------------------------------------------------------
//
// The child (this program started again with the environment below) merges the temporary
// tables of two controllers; the parent kills it at a random moment and checks that every
// row is in the tables exactly once, and that the next merge completes the work.

const char* const kControllers[] = {"Korvidan1", "Korvidan2"};

TEST(DataBaseKillChild, Merge) {
  const char* dir = std::getenv("KORVIDAN_APP_KILL_DIR");
  const char* fd = std::getenv("KORVIDAN_APP_KILL_FD");
  if (!dir || !fd) GTEST_SKIP() << "runs only as the child of the kill test";
  Session().AddStandardAlias("Zelvanor", dir);
  TDataModule2 module;
  TControllerList list;
  for (const char* name : kControllers) Controller(list, name);
  char mark = 'R';
  ASSERT_EQ(write(std::atoi(fd), &mark, 1), 1);
  module.MergeTempTables(list);
  mark = 'D';
  ASSERT_EQ(write(std::atoi(fd), &mark, 1), 1);
}

// Writes rows (second of the day -> value) into a new temporary table in one transaction.
void FillTemp(const fs::path& dir, const std::string& name, const std::vector<std::pair<int, double>>& rows) {
  TTable temp;
  temp.SetDatabaseName("Zelvanor");
  temp.SetTableName(name + "_Temp.DB");
  TDataModule2::DefineMeasurementFields(temp, false);
  temp.CreateTable();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir / (name + "_Temp.DB")).c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* st = nullptr;
  std::string sql = "INSERT INTO \"" + name + "_Temp\" VALUES (?, ?, ?, ?, 0, 0, 0, 0, 0, 0, 0)";
  ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK);
  for (auto [second, value] : rows) {
    const double when = 46365.0 + second / 86400.0;
    const std::string dt = dbvalue::DateTimeToIso(when), d = dbvalue::DateToIso(when),
                      t = dbvalue::TimeToIso(when);
    sqlite3_bind_text(st, 1, dt.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, d.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 3, t.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_double(st, 4, value);
    ASSERT_EQ(sqlite3_step(st), SQLITE_DONE);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

std::map<int, double> Measured(const std::string& name) {
  std::map<int, double> rows;
  if (!fs::exists(Session().GetAliasPath("Zelvanor") / (name + ".db"))) return rows;
  TRowReader r("Zelvanor", name + ".db", {"DateTime", "Sensor1"});
  int count = 0;
  while (r.Next()) {
    rows[static_cast<int>(std::lround((r.AsDateTime(0) - 46365.0) * 86400.0))] = r.AsFloat(1);
    ++count;
  }
  if (count != static_cast<int>(rows.size())) rows[-1] = count;  // a doubled row shows as a mismatch
  return rows;
}

TEST_F(DataBaseTest, MergeKilledAtAnyMomentLosesAndDoublesNoRow) {
  MessageSink = nullptr;
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  std::mt19937 rng(20261209);
  const int kRuns = 30, kRows = 500, kOverlap = 100;
  std::map<std::string, std::map<int, double>> expected;
  double mergeMicros = 30000;
  int killedBefore = 0, killedMidway = 0, killedAfter = 0;

  for (int run = 0; run < kRuns; ++run) {
    std::map<std::string, std::map<int, double>> merged = expected;
    for (int n = 0; n < 2; ++n) {
      const std::string name = kControllers[n];
      std::vector<std::pair<int, double>> rows;
      const int first = run * (kRows - kOverlap);  // the last rows of the previous run come again
      for (int i = 0; i < kRows; ++i) rows.emplace_back(first + i, run * 10000.0 + i + n * 0.5);
      FillTemp(dir_, name, rows);
      for (auto [k, v] : rows) merged[name][k] = v;
    }

    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.push_back("KORVIDAN_APP_KILL_DIR=" + dir_.string());
    env.push_back("KORVIDAN_APP_KILL_FD=" + std::to_string(pipefd[1]));
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string filter = "--gtest_filter=DataBaseKillChild.Merge";
    std::string exe = self;
    char* argv[] = {exe.data(), filter.data(), nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, self.c_str(), &quiet, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&quiet);
    close(pipefd[1]);
    ASSERT_EQ(spawned, 0);
    pollfd p{pipefd[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 20000), 1) << "child did not start";
    char c = 0;
    ASSERT_EQ(read(pipefd[0], &c, 1), 1);
    const auto started = std::chrono::steady_clock::now();
    int status = 0;
    if (run == 0) {
      // Not killed: measures how long the merge takes.
      ASSERT_EQ(poll(&p, 1, 20000), 1) << "merge did not end";
      ASSERT_EQ(read(pipefd[0], &c, 1), 1);
      mergeMicros = static_cast<double>(
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started)
              .count());
      waitpid(pid, &status, 0);
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    } else {
      std::uniform_real_distribution<double> delay(0, mergeMicros);
      std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long>(delay(rng))));
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    close(pipefd[0]);

    // Right after the kill every controller's rows are either wholly in its measurement
    // table or wholly still in its temporary table (or both), never half, never twice.
    int done = 0;
    for (const char* name : kControllers) {
      const std::map<int, double> now = Measured(name);
      const bool tempLeft = fs::exists(dir_ / (std::string(name) + "_Temp.DB"));
      if (now == merged[name]) {
        ++done;
      } else {
        ASSERT_EQ(now, expected[name]) << "run " << run << " " << name << ": partial merge";
        ASSERT_TRUE(tempLeft) << "run " << run << " " << name << ": rows lost";
      }
    }
    (done == 0 ? killedBefore : done == 2 ? killedAfter : killedMidway)++;

    // The application's next merge (e.g. at its next close) completes the work.
    {
      TDataModule2 module;
      TControllerList list;
      for (const char* name : kControllers) Controller(list, name);
      module.MergeTempTables(list);
    }
    for (const char* name : kControllers) {
      ASSERT_EQ(Measured(name), merged[name]) << "run " << run << " " << name;
      ASSERT_FALSE(fs::exists(dir_ / (std::string(name) + "_Temp.DB")));
    }
    expected = merged;
  }
  std::printf("kills: %d before any move, %d between the controllers, %d after both moves (merge %.1f ms)\n",
              killedBefore, killedMidway, killedAfter, mergeMicros / 1000);
}

}  // namespace
