// Merge speed of the measurement database: rows a second of merging 100,000 temporary rows
// into a measurement table (batch move in append-and-update mode, then deleting the
// temporary table), against a plain SQLite insert of the same rows in one transaction.
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Database.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRows = 100000;

struct Row {
  std::string dateTime, date, time;
  double sensors[8];
};

std::vector<Row> MakeRows(double firstDay) {
  std::vector<Row> rows(kRows);
  for (int i = 0; i < kRows; ++i) {
    double when = firstDay + i * 60.0 / 86400.0;  // one row a minute
    rows[i].dateTime = dbvalue::DateTimeToIso(when);
    rows[i].date = rows[i].dateTime.substr(0, 10);
    rows[i].time = rows[i].dateTime.substr(11);
    for (int s = 0; s < 8; ++s) rows[i].sensors[s] = 7.0 + s + i * 1e-4;
  }
  return rows;
}

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE) {
    std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

// Inserts the rows into an existing table file in one transaction, as plain SQLite does it.
void Insert(const fs::path& file, const std::string& table, const std::vector<Row>& rows) {
  sqlite3* db = nullptr;
  Check(sqlite3_open(file.c_str(), &db), db, "open");
  Check(sqlite3_exec(db, "PRAGMA synchronous=FULL; BEGIN", nullptr, nullptr, nullptr), db, "begin");
  sqlite3_stmt* st = nullptr;
  std::string sql = "INSERT INTO \"" + table + "\" VALUES (?,?,?,?,?,?,?,?,?,?,?)";
  Check(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), db, "prepare");
  for (const Row& r : rows) {
    sqlite3_bind_text(st, 1, r.dateTime.c_str(), static_cast<int>(r.dateTime.size()), SQLITE_STATIC);
    sqlite3_bind_text(st, 2, r.date.c_str(), static_cast<int>(r.date.size()), SQLITE_STATIC);
    sqlite3_bind_text(st, 3, r.time.c_str(), static_cast<int>(r.time.size()), SQLITE_STATIC);
    for (int s = 0; s < 8; ++s) sqlite3_bind_double(st, 4 + s, r.sensors[s]);
    Check(sqlite3_step(st), db, "insert");
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  sqlite3_close(db);
}

void Define(TTable& t, const std::string& name, bool keyed) {
  t.SetDatabaseName("Zelvanor");
  t.SetTableName(name);
  t.FieldDefs.Clear();
  t.IndexDefs.Clear();
  t.FieldDefs.Add("DateTime", ftDateTime, 0, keyed);
  t.FieldDefs.Add("Datum", ftDate);
  t.FieldDefs.Add("Uhrzeit", ftTime);
  for (int i = 1; i <= 8; ++i) t.FieldDefs.Add("Sensor" + std::to_string(i), ftFloat);
  if (keyed) t.IndexDefs.Add("Table1Index1", "DateTime", ixPrimary);
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Seconds of one merge of the rows into the measurement table (temporary table set up first).
double TimeMerge(const std::vector<Row>& rows) {
  TTable temp, dest;
  Define(temp, "Korvidan1_Temp.DB", false);
  Define(dest, "Korvidan1.db", true);
  if (!dest.Exists()) dest.CreateTable();
  temp.CreateTable();
  Insert(temp.FileName(), "Korvidan1_Temp", rows);
  auto start = std::chrono::steady_clock::now();
  TBatchMove move;
  move.Source = &temp;
  move.Destination = &dest;
  move.Mode = batAppendUpdate;
  move.Execute();
  temp.DeleteTable();
  double s = Seconds(start);
  if (move.MovedCount() != kRows) {
    std::fprintf(stderr, "merge moved %lld rows\n", static_cast<long long>(move.MovedCount()));
    std::exit(1);
  }
  return s;
}

double TimeInsert(const std::vector<Row>& rows) {
  TTable plain;
  Define(plain, "Plain.db", true);
  plain.CreateTable();
  auto start = std::chrono::steady_clock::now();
  Insert(plain.FileName(), "Plain", rows);
  double s = Seconds(start);
  plain.DeleteTable();
  return s;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  const support::TempDir tmp("korvidan-bench-");
  const fs::path& dir = tmp.path();
  Session().AddStandardAlias("Zelvanor", dir);
  try {
    const std::vector<Row> rows = MakeRows(46000.0);
    std::vector<double> merge, insert;
    for (int rep = 0; rep < 3; ++rep) {
      TTable dest;
      Define(dest, "Korvidan1.db", true);
      if (dest.Exists()) dest.DeleteTable();
      merge.push_back(TimeMerge(rows));
      insert.push_back(TimeInsert(rows));
    }
    // Into a table that already holds these rows: every row replaces its older version.
    std::vector<Row> again = rows;
    for (Row& r : again) r.sensors[0] += 1;
    double update = TimeMerge(again);

    double mergeRate = kRows / Median(merge);
    double insertRate = kRows / Median(insert);
    std::printf("merge of %d temporary rows into an empty measurement table: %.0f rows/s\n", kRows,
                mergeRate);
    std::printf("plain SQLite insert of the same rows in one transaction:    %.0f rows/s\n", insertRate);
    std::printf("ratio merge / plain insert:                                 %.2f\n", mergeRate / insertRate);
    std::printf("merge of %d rows that all replace existing rows:            %.0f rows/s\n", kRows,
                kRows / update);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "db_merge: %s\n", e.what());
    return 1;
  }
  return 0;
}
