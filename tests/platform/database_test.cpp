#include "platform/Database.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "tests/support/TempDir.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// 30 Dec 1899 + days; 2026-12-08 is day 46364.
constexpr double kDay = 46364.0;
double At(int second) { return kDay + second / 86400.0; }

void DefineMeasurementRow(TTable& t, bool keyed) {
  t.FieldDefs.Clear();
  t.IndexDefs.Clear();
  t.FieldDefs.Add("DateTime", ftDateTime, 0, keyed);
  t.FieldDefs.Add("Datum", ftDate);
  t.FieldDefs.Add("Uhrzeit", ftTime);
  for (int i = 1; i <= 8; ++i) t.FieldDefs.Add("Sensor" + std::to_string(i), ftFloat);
  if (keyed) t.IndexDefs.Add("Table1Index1", "DateTime", ixPrimary);
}

void Store(TTable& t, double when, double first) {
  t.Append();
  t.FieldByName("DateTime").SetAsDateTime(when);
  t.FieldByName("Datum").SetAsDateTime(when);
  t.FieldByName("Uhrzeit").SetAsDateTime(when);
  for (int i = 0; i < 8; ++i) t.Fields(3 + i).SetAsFloat(first + i);
  t.Post();
}

std::string Shell(const fs::path& file, const std::string& command) {
  std::string cmd = "sqlite3 -readonly '" + file.string() + "' \"" + command + "\" 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return "popen failed";
  std::string out;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) out += buf;
  pclose(p);
  return out;
}

// Writes rows straight into a table file in one transaction (fast set-up of big tables).
void BulkInsert(const fs::path& file, const std::string& table,
                const std::vector<std::pair<int, double>>& rows) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* st = nullptr;
  std::string sql = "INSERT INTO \"" + table + "\" VALUES (?,?,?,?,?,?,?,?,?,?,?)";
  ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK);
  for (auto [second, value] : rows) {
    std::string iso = dbvalue::DateTimeToIso(At(second));
    sqlite3_bind_text(st, 1, iso.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, iso.substr(0, 10).c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 3, iso.substr(11).c_str(), -1, SQLITE_TRANSIENT);
    for (int i = 0; i < 8; ++i) sqlite3_bind_double(st, 4 + i, value + i);
    ASSERT_EQ(sqlite3_step(st), SQLITE_DONE);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  ASSERT_EQ(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
}

// Key second -> Sensor1 value of every row of a measurement table.
std::map<int, double> ReadRows(const std::string& table) {
  std::map<int, double> rows;
  TRowReader r("Zelvanor", table, {"DateTime", "Sensor1"});
  while (r.Next()) {
    int second = static_cast<int>(std::lround((r.AsDateTime(0) - kDay) * 86400.0));
    EXPECT_EQ(rows.count(second), 0u) << "key " << second << " stored twice";
    rows[second] = r.AsFloat(1);
  }
  return rows;
}

void Merge(const std::string& controller) {
  TTable temp, dest;
  temp.SetDatabaseName("Zelvanor");
  temp.SetTableName(controller + "_Temp.DB");
  dest.SetDatabaseName("Zelvanor");
  dest.SetTableName(controller + ".db");
  TBatchMove move;
  move.Source = &temp;
  move.Destination = &dest;
  move.Mode = batAppendUpdate;
  move.Execute();
  temp.DeleteTable();
}

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Session().AddStandardAlias("Zelvanor", dir_);
    Session().SetLockTimeout(5000);
  }
  void TearDown() override { Session().DeleteAlias("Zelvanor"); }
  void Name(TTable& t, const std::string& name) {
    t.SetDatabaseName("Zelvanor");
    t.SetTableName(name);
  }
  // Tables of the tests live in memory where the machine has a tmpfs: a killed process leaves
  // the page cache as it is, so the kill test needs no disk, and the tests stay fast.
  support::TempDir tmp_{"korvidan-db-", support::TmpfsOrTemp()};
  const fs::path& dir_ = tmp_.path();
};

TEST_F(DatabaseTest, TablesHaveTheColumnsOfTheApplicationAndTheShellReadsThem) {
  TTable m;
  Name(m, "Korvidan1.db");
  DefineMeasurementRow(m, true);
  ASSERT_FALSE(m.Exists());
  m.CreateTable();
  EXPECT_TRUE(fs::is_regular_file(dir_ / "Korvidan1.db"));
  m.Open();
  Store(m, At(3600 * 23 + 59 * 60 + 30) + 0.123 / 86400, 7.12);
  m.Close();

  TTable types;
  Name(types, "Korvidan1_Type.db");
  for (int i = 1; i <= 8; ++i) types.FieldDefs.Add("Sensor" + std::to_string(i) + "Type", ftString, 20);
  types.CreateTable();

  TTable alarm;
  Name(alarm, "Korvidan1_Val");
  alarm.FieldDefs.Add("SensorNr", ftInteger);
  alarm.FieldDefs.Add("SensorTyp", ftString, 20);
  alarm.FieldDefs.Add("UntererAlarmwert", ftFloat);
  alarm.FieldDefs.Add("ObererAlarmwert", ftFloat);
  alarm.FieldDefs.Add("Aktion", ftString, 20);
  for (const char* t : {"MoFr", "SaSo", "Mo", "Di", "Mi", "Do", "Fr"}) {
    alarm.FieldDefs.Add(std::string(t) + "Start", ftTime);
    alarm.FieldDefs.Add(std::string(t) + "End", ftTime);
  }
  alarm.FieldDefs.Add("DayOfWeek", ftInteger);
  alarm.CreateTable();

  std::string schema = Shell(dir_ / "Korvidan1.db", ".schema");
  EXPECT_NE(schema.find("\"DateTime\" DATETIME NOT NULL"), std::string::npos) << schema;
  EXPECT_NE(schema.find("\"Datum\" DATE"), std::string::npos) << schema;
  EXPECT_NE(schema.find("\"Uhrzeit\" TIME"), std::string::npos) << schema;
  EXPECT_NE(schema.find("\"Sensor8\" FLOAT"), std::string::npos) << schema;
  EXPECT_NE(schema.find("PRIMARY KEY (\"DateTime\")"), std::string::npos) << schema;
  EXPECT_EQ(Shell(dir_ / "Korvidan1.db", "SELECT DateTime, Datum, Uhrzeit, Sensor1, Sensor8 FROM Korvidan1"),
            "2026-12-08 23:59:30.123|2026-12-08|23:59:30.123|7.12|14.12\n");
  EXPECT_EQ(Shell(dir_ / "Korvidan1.db", "PRAGMA journal_mode"), "wal\n");
  EXPECT_NE(Shell(dir_ / "Korvidan1_Type.db", ".schema").find("\"Sensor8Type\" VARCHAR(20)"),
            std::string::npos);
  std::string val = Shell(dir_ / "Korvidan1_Val.db", ".schema");
  EXPECT_NE(val.find("\"SensorNr\" INTEGER"), std::string::npos) << val;
  EXPECT_NE(val.find("\"FrEnd\" TIME"), std::string::npos) << val;
  EXPECT_NE(val.find("\"DayOfWeek\" INTEGER"), std::string::npos) << val;

  // The structure comes back from the file.
  TTable again;
  Name(again, "Korvidan1.db");
  again.Open();
  ASSERT_EQ(again.FieldCount(), 11);
  EXPECT_EQ(again.FieldDefs[0].DataType, ftDateTime);
  EXPECT_TRUE(again.FieldDefs[0].Required);
  EXPECT_EQ(again.FieldDefs[1].DataType, ftDate);
  EXPECT_EQ(again.FieldDefs[2].DataType, ftTime);
  EXPECT_EQ(again.FieldDefs[10].DataType, ftFloat);
  ASSERT_NE(again.IndexDefs.Primary(), nullptr);
  EXPECT_EQ(again.IndexDefs.Primary()->Fields, "DateTime");
  EXPECT_EQ(again.FieldByName("datetime").AsString(), "08.12.2026 23:59:30");
  EXPECT_EQ(again.FieldByName("Datum").AsString(), "08.12.2026");
  EXPECT_EQ(again.FieldByName("Uhrzeit").AsString(), "23:59:30");
  EXPECT_EQ(again.FieldByName("Sensor1").AsString(), "7,12");
  EXPECT_NEAR(again.FieldByName("DateTime").AsDateTime(), At(86370) + 0.123 / 86400, 1e-9);
  EXPECT_NEAR(again.FieldByName("Uhrzeit").AsDateTime(), (86370 + 0.123) / 86400, 1e-9);
  EXPECT_EQ(again.FieldByName("Datum").AsDateTime(), kDay);
  again.Close();
  types.Open();
  EXPECT_EQ(types.FieldDefs[7].DataType, ftString);
  EXPECT_EQ(types.FieldDefs[7].Size, 20);
}

TEST_F(DatabaseTest, NamesAliasesAndDatabases) {
  TTable a, b, c;
  Name(a, "Korvidan1");
  Name(b, "Korvidan1.db");
  Name(c, "KORVIDAN1.DB");
  DefineMeasurementRow(b, true);
  b.CreateTable();
  // Without an extension the default one; existing files match whatever the case.
  EXPECT_EQ(a.FileName(), dir_ / "Korvidan1.db");
  EXPECT_EQ(c.FileName(), dir_ / "Korvidan1.db");
  EXPECT_TRUE(a.Exists());
  TTable temp;
  Name(temp, "Korvidan1_Temp.DB");
  EXPECT_EQ(temp.FileName(), dir_ / "Korvidan1_Temp.DB");

  TTable bad;
  Name(bad, "../outside.db");
  EXPECT_THROW(bad.Exists(), EDatabaseError);
  bad.SetTableName("");
  EXPECT_THROW(bad.Open(), EDatabaseError);

  TTable unknown;
  unknown.SetDatabaseName("NoSuchAlias");
  unknown.SetTableName("x.db");
  try {
    unknown.Open();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("NoSuchAlias"), std::string::npos);
  }

  // An application database name for an alias.
  Session().AddStandardAlias("ZelvanorData", dir_);
  TDatabase db;
  db.AliasName = "ZelvanorData";
  db.DatabaseName = "Aquarium";
  db.Open();
  TTable viaDb;
  viaDb.SetDatabaseName("Aquarium");
  viaDb.SetTableName("Korvidan1");
  EXPECT_TRUE(viaDb.Exists());
  db.Close();
  EXPECT_THROW(viaDb.Exists(), EDatabaseError);
  TDatabase missing;
  missing.AliasName = "Nowhere";
  missing.DatabaseName = "X";
  EXPECT_THROW(missing.Open(), EDatabaseError);
  Session().DeleteAlias("ZelvanorData");
}

TEST_F(DatabaseTest, RowsAreKeptInKeyOrderAndEditedInPlace) {
  TTable t;
  Name(t, "Korvidan1.db");
  DefineMeasurementRow(t, true);
  t.CreateTable();
  t.Open();
  EXPECT_TRUE(t.Eof());
  EXPECT_EQ(t.RecordCount(), 0);
  Store(t, At(30), 3);
  Store(t, At(10), 1);
  Store(t, At(20), 2);
  EXPECT_EQ(t.RecordCount(), 3);
  std::vector<double> seen;
  for (t.First(); !t.Eof(); t.Next()) seen.push_back(t.FieldByName("Sensor1").AsFloat());
  EXPECT_EQ(seen, (std::vector<double>{1, 2, 3}));

  // Edit and post; cancel drops an edit; moving posts a modified row.
  t.First();
  t.Edit();
  t.FieldByName("Sensor1").SetAsFloat(1.5);
  t.Post();
  t.Edit();
  t.FieldByName("Sensor1").SetAsFloat(99);
  t.Cancel();
  EXPECT_EQ(t.FieldByName("Sensor1").AsFloat(), 1.5);
  t.Edit();
  t.FieldByName("Sensor2").SetAsString("2,25");
  t.Next();
  t.First();
  EXPECT_EQ(t.FieldByName("Sensor2").AsFloat(), 2.25);

  // Writing outside edit mode, a duplicate key, a missing key: refused, nothing changes.
  EXPECT_THROW(t.FieldByName("Sensor1").SetAsFloat(5), EDatabaseError);
  t.Append();
  t.FieldByName("DateTime").SetAsDateTime(At(20));
  EXPECT_THROW(t.Post(), EDBEngineError);
  t.FieldByName("DateTime").Clear();
  EXPECT_THROW(t.Post(), EDatabaseError);
  t.Cancel();
  EXPECT_EQ(t.RecordCount(), 3);
  EXPECT_THROW(t.FieldByName("Sensor9"), EDatabaseError);
  EXPECT_THROW(t.DeleteTable(), EDatabaseError);

  t.Last();
  t.Delete();
  EXPECT_EQ(t.RecordCount(), 2);
  t.EmptyTable();
  EXPECT_EQ(t.RecordCount(), 0);
  EXPECT_TRUE(t.Eof());
  t.Close();
  t.DeleteTable();
  EXPECT_FALSE(t.Exists());
  EXPECT_THROW(t.DeleteTable(), EDBEngineError);
}

TEST_F(DatabaseTest, FieldSettingsMadeOnAClosedTableStayWhenItOpens) {
  TTable grid;
  Name(grid, "Korvidan1");
  DefineMeasurementRow(grid, true);
  grid.CreateTable();
  for (int i = 1; i <= 8; ++i) {
    TField& f = grid.FieldByName("Sensor" + std::to_string(i));
    f.Precision = 2;
    f.DisplayFormat = "#.##";
  }
  TField* first = &grid.FieldByName("Sensor1");
  EXPECT_THROW(first->AsFloat(), EDatabaseError);
  grid.Open();
  EXPECT_EQ(&grid.FieldByName("Sensor1"), first);
  EXPECT_EQ(grid.FieldByName("Sensor8").DisplayFormat, "#.##");
  EXPECT_EQ(first->Precision, 2);
  EXPECT_EQ(first->DataType(), ftFloat);
  grid.Close();
  grid.FieldDefs.Clear();
  EXPECT_EQ(grid.FindField("Sensor1"), nullptr);
}

TEST_F(DatabaseTest, AlarmTableLoopFillsEightRowsOnceAndRewritesThem) {
  TTable t;
  Name(t, "Korvidan1_Val");
  t.FieldDefs.Add("SensorNr", ftInteger);
  t.FieldDefs.Add("SensorTyp", ftString, 20);
  t.FieldDefs.Add("UntererAlarmwert", ftFloat);
  t.FieldDefs.Add("ObererAlarmwert", ftFloat);
  t.FieldDefs.Add("Aktion", ftString, 20);
  t.CreateTable();
  t.Open();
  for (int pass = 0; pass < 2; ++pass) {
    t.First();
    for (int i = 0; i < 8; ++i) {
      if (t.Eof())
        t.Insert();
      else
        t.Edit();
      t.FieldByName("SensorNr").SetAsInteger(i + 1);
      t.FieldByName("SensorTyp").SetAsString("Temperatur/Ü-Fühler mit langem Namen");
      t.FieldByName("ObererAlarmwert").SetAsFloat(pass + 1.0);
      t.FieldByName("UntererAlarmwert").SetAsFloat(-1.0);
      t.Post();
      t.Next();
    }
  }
  EXPECT_EQ(t.RecordCount(), 8);
  t.First();
  EXPECT_EQ(t.FieldByName("SensorNr").AsInteger(), 1);
  EXPECT_EQ(t.FieldByName("SensorTyp").AsString(), "Temperatur/Ü-Fühler ");  // 20 characters
  EXPECT_EQ(t.FieldByName("ObererAlarmwert").AsFloat(), 2.0);
  EXPECT_EQ(t.FieldByName("Aktion").AsString(), "");
  t.Last();
  EXPECT_EQ(t.FieldByName("SensorNr").AsInteger(), 8);
}

TEST_F(DatabaseTest, ValueTextsAndConversions) {
  double v = 0;
  EXPECT_TRUE(dbvalue::ParseDateTime("08.12.2026 23:59:30", v));
  EXPECT_EQ(dbvalue::DateTimeToIso(v), "2026-12-08 23:59:30.000");
  EXPECT_TRUE(dbvalue::ParseDateTime("2026-12-08T07:05", v));
  EXPECT_EQ(dbvalue::DateTimeToIso(v), "2026-12-08 07:05:00.000");
  EXPECT_TRUE(dbvalue::ParseDateTime("1.2.98", v));
  EXPECT_EQ(dbvalue::DateToIso(v), "1998-02-01");
  EXPECT_TRUE(dbvalue::ParseDateTime("12:00:00.5", v));
  EXPECT_DOUBLE_EQ(v, (43200 + 0.5) / 86400);
  EXPECT_TRUE(dbvalue::ParseDateTime("29.02.2024", v));
  for (const char* bad :
       {"", "31.02.2026", "2026-13-01", "24:00", "12.12.2026 10", "12:61", "abc", "2026-1-1x"})
    EXPECT_FALSE(dbvalue::ParseDateTime(bad, v)) << bad;
  EXPECT_EQ(dbvalue::DateTimeToIso(0), "1899-12-30 00:00:00.000");
  EXPECT_THROW(dbvalue::DateTimeToIso(1e9), EDatabaseError);
  EXPECT_THROW(dbvalue::DateTimeToIso(std::nan("")), EDatabaseError);
  EXPECT_EQ(dbvalue::ToText(TDbValue(7.11999988555908), ftFloat), "7,11999988555908");

  TTable t;
  Name(t, "Werte.db");
  t.FieldDefs.Add("DateTime", ftDateTime, 0, true);
  t.FieldDefs.Add("Nr", ftSmallint);
  t.FieldDefs.Add("Ok", ftBoolean);
  t.FieldDefs.Add("Wert", ftFloat);
  t.IndexDefs.Add("", "DateTime", ixPrimary);
  t.CreateTable();
  t.Open();
  t.Append();
  t.FieldByName("DateTime").SetAsString("08.12.2026 12:00:00");
  EXPECT_THROW(t.FieldByName("DateTime").SetAsString("32.12.2026"), EDatabaseError);
  EXPECT_THROW(t.FieldByName("Nr").SetAsInteger(40000), EDatabaseError);
  EXPECT_THROW(t.FieldByName("Nr").SetAsString("1,5"), EDatabaseError);
  EXPECT_THROW(t.FieldByName("Wert").SetAsString("7.1x"), EDatabaseError);
  EXPECT_THROW(t.FieldByName("Ok").SetAsString("vielleicht"), EDatabaseError);
  t.FieldByName("Nr").SetAsString("-12");
  t.FieldByName("Ok").SetAsBoolean(true);
  t.FieldByName("Wert").SetAsString("7.25");
  t.Post();
  EXPECT_EQ(t.FieldByName("DateTime").AsDateTime(), kDay + 0.5);
  EXPECT_EQ(t.FieldByName("Nr").AsInteger(), -12);
  EXPECT_EQ(t.FieldByName("Ok").AsString(), "True");
  EXPECT_EQ(t.FieldByName("Wert").AsString(), "7,25");
}

TEST_F(DatabaseTest, BatchMoveAppendsNewKeysAndReplacesExistingOnes) {
  TTable dest, temp;
  Name(dest, "Korvidan1.db");
  Name(temp, "Korvidan1_Temp.DB");
  DefineMeasurementRow(dest, true);
  DefineMeasurementRow(temp, false);
  dest.CreateTable();
  temp.CreateTable();
  dest.Open();
  Store(dest, At(10), 1);
  Store(dest, At(20), 2);
  dest.Close();
  temp.Open();
  Store(temp, At(20), 20);  // replaces
  Store(temp, At(30), 3);   // new
  Store(temp, At(30), 33);  // the same key twice in the temporary rows: the later one wins
  Store(temp, At(5), 0.5);  // new, before the others
  temp.Close();

  TBatchMove move;
  move.Source = &temp;
  move.Destination = &dest;
  move.Mode = batAppendUpdate;
  move.AbortOnKeyViol = false;
  move.Execute();
  EXPECT_EQ(move.MovedCount(), 4);
  std::map<int, double> expected{{5, 0.5}, {10, 1}, {20, 20}, {30, 33}};
  EXPECT_EQ(ReadRows("Korvidan1.db"), expected);
  // Repeating the move changes nothing.
  move.Execute();
  EXPECT_EQ(ReadRows("Korvidan1.db"), expected);
  dest.Open();
  dest.First();
  dest.Next();
  EXPECT_EQ(dest.FieldByName("Sensor8").AsFloat(), 8.0);
  EXPECT_EQ(dest.FieldByName("Uhrzeit").AsString(), "00:00:10");
  dest.Close();

  // A row without a key: the move fails as a whole, or sets the row aside.
  temp.Open();
  temp.Append();
  temp.FieldByName("Sensor1").SetAsFloat(77);
  temp.Post();
  Store(temp, At(40), 4);
  temp.Close();
  move.AbortOnKeyViol = true;
  EXPECT_THROW(move.Execute(), EDBEngineError);
  EXPECT_EQ(ReadRows("Korvidan1.db"), expected);
  move.AbortOnKeyViol = false;
  EXPECT_THROW(move.Execute(), EDBEngineError) << "no table named for rows without a key";
  move.KeyViolTableName = "KeyViolTable";
  move.Execute();
  EXPECT_EQ(move.KeyViolCount(), 1);
  expected[40] = 4;
  EXPECT_EQ(ReadRows("Korvidan1.db"), expected);
  TTable kv;
  Name(kv, "KeyViolTable");
  kv.Open();
  ASSERT_EQ(kv.RecordCount(), 1);
  EXPECT_EQ(kv.FieldByName("Sensor1").AsFloat(), 77.0);
  kv.Close();

  // A missing destination or source is reported.
  dest.SetTableName("Korvidan2.db");
  EXPECT_THROW(move.Execute(), EDBEngineError);
  dest.SetTableName("Korvidan1.db");
  temp.SetTableName("Korvidan2_Temp.DB");
  EXPECT_THROW(move.Execute(), EDBEngineError);
}

TEST_F(DatabaseTest, BatchMoveKeepsReplacedRowsAndSetsRowsThatDoNotFitAside) {
  TTable dest, temp;
  Name(dest, "Korvidan1.db");
  Name(temp, "Korvidan1_Temp.DB");
  DefineMeasurementRow(dest, true);
  DefineMeasurementRow(temp, false);
  dest.CreateTable();
  temp.CreateTable();
  dest.Open();
  Store(dest, At(10), 1);
  Store(dest, At(20), 2);
  dest.Close();
  temp.Open();
  Store(temp, At(10), 1);   // the same values again: nothing is replaced
  Store(temp, At(20), 20);  // replaces the row with 2
  Store(temp, At(30), 3);   // new
  temp.Close();
  // Rows another program wrote: a text in a number field, a key that is no date.
  const std::string foreign =
      "INSERT INTO Korvidan1_Temp (DateTime, Datum, Uhrzeit, Sensor1) VALUES "
      "('2026-12-08 00:00:40.000', '2026-12-08', '00:00:40.000', 'kaputt'), ('gestern', NULL, NULL, 5);";
  ASSERT_EQ(std::system(("sqlite3 '" + temp.FileName().string() + "' \"" + foreign + "\"").c_str()), 0);

  TBatchMove move;
  move.Source = &temp;
  move.Destination = &dest;
  move.Mode = batAppendUpdate;
  move.AbortOnKeyViol = false;
  move.KeyViolTableName = "KeyViolTable";
  move.ChangedTableName = "ChangedTable";
  // Such rows stop the whole move, or go to the problem table.
  EXPECT_THROW(move.Execute(), EDBEngineError);
  move.AbortOnProblem = false;
  EXPECT_THROW(move.Execute(), EDBEngineError) << "no table named for the rows that do not fit";
  const std::map<int, double> before{{10, 1}, {20, 2}};
  EXPECT_EQ(ReadRows("Korvidan1.db"), before);
  EXPECT_FALSE(fs::exists(dir_ / "ChangedTable.db"));

  move.ProblemTableName = "ProblemTable";
  move.Execute();
  EXPECT_EQ(move.ProblemCount(), 2);
  EXPECT_EQ(move.ChangedCount(), 1);
  EXPECT_EQ(move.KeyViolCount(), 0);
  // The measurement table holds only what reads back as measurements.
  const std::map<int, double> after{{10, 1}, {20, 20}, {30, 3}};
  EXPECT_EQ(ReadRows("Korvidan1.db"), after);

  TTable changed;
  Name(changed, "ChangedTable");
  changed.Open();
  ASSERT_EQ(changed.RecordCount(), 1);
  EXPECT_EQ(changed.FieldByName("DateTime").AsDateTime(), At(20));
  EXPECT_EQ(changed.FieldByName("Sensor1").AsFloat(), 2.0);  // as it was before the move
  EXPECT_EQ(changed.FieldByName("Sensor8").AsFloat(), 9.0);
  changed.Close();
  // The problem rows keep every value as text, for a person to look at.
  EXPECT_EQ(Shell(dir_ / "ProblemTable.db", "SELECT DateTime, Sensor1 FROM ProblemTable ORDER BY rowid"),
            "2026-12-08 00:00:40.000|kaputt\ngestern|5.0\n");

  // Moved again, the same rows replace nothing that differs; the problems are set aside again.
  move.Execute();
  EXPECT_EQ(move.ChangedCount(), 0);
  EXPECT_EQ(move.ProblemCount(), 2);
  EXPECT_EQ(ReadRows("Korvidan1.db"), after);
}

TEST_F(DatabaseTest, LockedAndCorruptFilesAreReported) {
  TTable t;
  Name(t, "Korvidan1.db");
  DefineMeasurementRow(t, true);
  t.CreateTable();

  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open((dir_ / "Korvidan1.db").c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  Session().SetLockTimeout(100);
  t.Open();
  t.Append();
  t.FieldByName("DateTime").SetAsDateTime(At(1));
  auto start = std::chrono::steady_clock::now();
  try {
    t.Post();
    FAIL() << "post went through a locked table";
  } catch (const EDBEngineError& e) {
    EXPECT_NE(std::string(e.what()).find("locked"), std::string::npos) << e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  // Still in insert mode: once the lock is gone the same row can be posted.
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  t.Post();
  EXPECT_EQ(t.RecordCount(), 1);
  t.Close();

  std::ofstream(dir_ / "Kaputt.db")
      << "this is no table, just some text that is long enough to look like a file";
  TTable bad;
  Name(bad, "Kaputt.db");
  try {
    bad.Open();
    FAIL();
  } catch (const EDBEngineError& e) {
    EXPECT_NE(std::string(e.what()).find("corrupt"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(bad.Active());

  // A damaged table file (its pages overwritten) fails cleanly when read.
  TTable big;
  Name(big, "Gross.db");
  DefineMeasurementRow(big, true);
  big.CreateTable();
  std::vector<std::pair<int, double>> rows;
  for (int i = 0; i < 2000; ++i) rows.emplace_back(i, i);
  BulkInsert(dir_ / "Gross.db", "Gross", rows);
  {
    std::fstream f(dir_ / "Gross.db", std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(4096 * 3);
    std::string junk(4096 * 4, '\x5a');
    f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
  }
  EXPECT_THROW(
      {
        big.Open();
        for (big.First(); !big.Eof(); big.Next()) big.FieldByName("Sensor1").AsFloat();
        TRowReader r("Zelvanor", "Gross.db");
        while (r.Next()) {
        }
      },
      EDBEngineError);

  TTable none;
  Name(none, "Fehlt.db");
  EXPECT_THROW(none.Open(), EDBEngineError);
}

// A process killed while deleting a table may leave the table's write-ahead log behind; a
// table created later under that name must not take the old rows over from it.
TEST_F(DatabaseTest, NewTableIgnoresTheLogOfADeletedOne) {
  TTable temp;
  Name(temp, "Korvidan1_Temp.DB");
  DefineMeasurementRow(temp, false);
  temp.CreateTable();
  const fs::path file = dir_ / "Korvidan1_Temp.DB";
  const fs::path wal = file.string() + "-wal";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "INSERT INTO Korvidan1_Temp (DateTime) VALUES ('2026-12-08 10:00:00.000')",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  ASSERT_TRUE(fs::exists(wal));
  fs::copy_file(wal, dir_ / "saved-wal");
  sqlite3_close(db);
  temp.DeleteTable();
  fs::copy_file(dir_ / "saved-wal", wal);

  EXPECT_FALSE(temp.Exists());
  temp.CreateTable();
  temp.Open();
  EXPECT_EQ(temp.RecordCount(), 0);
}

TEST_F(DatabaseTest, RowReaderReadsFieldsInKeyOrderFromAnyRow) {
  TTable t;
  Name(t, "Korvidan1.db");
  DefineMeasurementRow(t, true);
  t.CreateTable();
  std::vector<std::pair<int, double>> rows;
  for (int i = 99; i >= 0; --i) rows.emplace_back(i * 60, i);
  BulkInsert(dir_ / "Korvidan1.db", "Korvidan1", rows);

  TRowReader r(t, {"DateTime", "Sensor3"});
  EXPECT_EQ(r.RowCount(), 100);
  ASSERT_EQ(r.FieldDefs().Count(), 2);
  EXPECT_EQ(r.FieldDefs()[1].Name, "Sensor3");
  EXPECT_EQ(r.FieldDefs()[0].DataType, ftDateTime);
  int n = 0;
  while (r.Next()) {
    EXPECT_EQ(r.AsFloat(1), n + 2);
    EXPECT_EQ(r.AsString(0), dbvalue::ToText(TDbValue(dbvalue::DateTimeToIso(At(n * 60))), ftDateTime));
    ++n;
  }
  EXPECT_EQ(n, 100);
  r.Seek(97);
  ASSERT_TRUE(r.Next());
  EXPECT_EQ(r.AsFloat(1), 99);
  EXPECT_THROW(r.AsFloat(2), EDatabaseError);
  EXPECT_THROW(TRowReader(t, {"Sensor9"}), EDatabaseError);
}

// --- Crash safety of the merge -------------------------------------------------------------
//
// The child process (this test program, started again with the environment below) merges
// the temporary table of "Korvidan1" into its measurement table and deletes it; the parent
// kills it with SIGKILL at a random moment and checks the tables.

TEST(DatabaseKillChild, Merge) {
  const char* dir = std::getenv("KORVIDAN_DB_KILL_DIR");
  const char* fd = std::getenv("KORVIDAN_DB_KILL_FD");
  if (!dir || !fd) GTEST_SKIP() << "runs only as the child of the kill test";
  Session().AddStandardAlias("Zelvanor", dir);
  char mark = 'R';
  ASSERT_EQ(write(std::atoi(fd), &mark, 1), 1);
  Merge("Korvidan1");
  mark = 'D';
  ASSERT_EQ(write(std::atoi(fd), &mark, 1), 1);
}

TEST_F(DatabaseTest, MergeKilledAtAnyMomentLosesAndDoublesNoRow) {
  TTable dest;
  Name(dest, "Korvidan1.db");
  DefineMeasurementRow(dest, true);
  dest.CreateTable();

  std::map<int, double> expected;
  std::mt19937 rng(20261208);
  const int kRuns = 24, kRows = 1500, kOverlap = 300;
  double mergeMicros = 20000;
  int before = 0, between = 0, after = 0;
  std::string self = fs::read_symlink("/proc/self/exe").string();

  for (int run = 0; run < kRuns; ++run) {
    // Temporary rows: the last keys of the previous run again (new values) and new keys.
    TTable temp;
    Name(temp, "Korvidan1_Temp.DB");
    DefineMeasurementRow(temp, false);
    temp.CreateTable();
    std::vector<std::pair<int, double>> rows;
    int firstKey = run * (kRows - kOverlap);
    for (int i = 0; i < kRows; ++i) rows.emplace_back(firstKey + i, run * 10000.0 + i);
    BulkInsert(dir_ / "Korvidan1_Temp.DB", "Korvidan1_Temp", rows);
    std::map<int, double> merged = expected;
    for (auto [k, v] : rows) merged[k] = v;

    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.push_back("KORVIDAN_DB_KILL_DIR=" + dir_.string());
    env.push_back("KORVIDAN_DB_KILL_FD=" + std::to_string(pipefd[1]));
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string filter = "--gtest_filter=DatabaseKillChild.Merge";
    char* argv[] = {self.data(), filter.data(), nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, self.c_str(), &quiet, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&quiet);
    close(pipefd[1]);
    ASSERT_EQ(spawned, 0);
    pollfd p{pipefd[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 20000), 1) << "child did not start";
    char c = 0;
    ASSERT_EQ(read(pipefd[0], &c, 1), 1);
    auto started = std::chrono::steady_clock::now();
    if (run == 0) {
      // The first run is not killed: it measures how long a merge takes.
      ASSERT_EQ(poll(&p, 1, 20000), 1) << "merge did not end";
      ASSERT_EQ(read(pipefd[0], &c, 1), 1);
      mergeMicros = static_cast<double>(
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started)
              .count());
      close(pipefd[0]);
      int status = 0;
      waitpid(pid, &status, 0);
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    } else {
      close(pipefd[0]);
      std::uniform_real_distribution<double> delay(0, mergeMicros * 1.1);
      std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long>(delay(rng))));
      kill(pid, SIGKILL);
      int status = 0;
      waitpid(pid, &status, 0);
    }

    // Right after the kill: the measurement table has the whole merge or none of it, and
    // the temporary table is either complete or gone.
    std::map<int, double> now = ReadRows("Korvidan1.db");
    bool tempLeft = temp.Exists();
    if (now == merged) {
      (tempLeft ? between : after)++;
    } else {
      ASSERT_EQ(now, expected) << "run " << run << ": partial merge";
      ASSERT_TRUE(tempLeft) << "run " << run << ": temporary rows gone, not merged";
      ++before;
    }
    if (tempLeft) {
      {
        std::map<int, double> t;
        TRowReader r("Zelvanor", "Korvidan1_Temp.DB", {"DateTime", "Sensor1"});
        while (r.Next()) t[static_cast<int>(std::lround((r.AsDateTime(0) - kDay) * 86400.0))] = r.AsFloat(1);
        ASSERT_EQ(t.size(), rows.size()) << "run " << run;
        // A table being read cannot be deleted.
        EXPECT_THROW(temp.DeleteTable(), EDBEngineError);
      }
      // The application's next merge takes them over again.
      Merge("Korvidan1");
    }
    ASSERT_EQ(ReadRows("Korvidan1.db"), merged) << "run " << run;
    expected = merged;
  }
  std::printf(
      "kills: %d before the commit, %d between commit and delete, %d after the merge (merge %.1f ms)\n",
      before, between, after, mergeMicros / 1000);
}

}  // namespace
