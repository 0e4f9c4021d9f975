#pragma once
// The measurement database module: one set of tables per controller, named after it.
//
//   N + ".db"        measurement table (DateTime primary index)
//   N + "_Temp.DB"   temporary rows of the acquisition cycles since the last merge
//   N + "_Type.db"   sensor type texts, one row per controller and run
//   N + "_Val"       alarm limits and actions
//
// All tables live on the database "Zelvanor", an alias naming the database directory.
//
// Every acquisition cycle stores one row per controller in its temporary table; when the
// temporary table holds more than 4 rows, all temporary tables are moved into the
// measurement tables (append and update by "DateTime") and deleted. A merge that is cut off
// at any moment loses and doubles nothing: the move is one transaction, and a temporary
// table that survived its move is moved again by the next merge, which replaces the rows of
// the same "DateTime" by themselves.
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "link/Tkorvidan.h"
#include "platform/Database.h"

class TDlgUpdate;

class TDataModule2 {
 public:
  // Connects Database1 to the alias "Zelvanor". When the engine has no such alias yet, it is
  // made for $KORVIDAN_DATABASE_DIR, else $XDG_DATA_HOME/korvidan/Zelvanor
  // (~/.local/share/korvidan/Zelvanor), and the directory is created.
  TDataModule2();
  ~TDataModule2();
  TDataModule2(const TDataModule2&) = delete;
  TDataModule2& operator=(const TDataModule2&) = delete;

  TDatabase Database1;
  TTable Table1;           // measurement table of the controller being merged
  TTable TempTable;        // temporary table of the controller being stored or merged
  TTable SensorTypeTable;  // sensor type texts
  TTable AlarmValueTable;  // alarm limits and actions
  TTable ProtocolTable;
  TTable Table2, Table3;  // the main window's left and right preview chart
  TTable Table4;          // the main window's grid
  TTable Table5;
  TTable Graphik1, Graphik2, Graphik3, Graphik4, Graphik5, Graphik6, Graphik7, Graphik8;
  TBatchMove BatchMove;

  // Appends one row per controller (its time stamp and eight values) to its temporary table
  // and merges when the last controller's temporary table holds more than 4 rows. Runs on
  // the acquisition thread after each cycle. A controller whose table fails is reported and
  // skipped; the others are stored.
  void StoreCurrentValues(TControllerList& list);
  // Moves every controller's temporary rows into its measurement table and deletes the
  // temporary table. A temporary table whose move fails is reported and kept for the next
  // merge. Callable from any thread; its progress box and the main window's grid and charts
  // are updated on the window thread.
  void MergeTempTables(TControllerList& list);

  // Precision 2 and display format "#.##" on the sensor fields of Table4 (when it is open;
  // on the window thread only, where the grid's tables live).
  void SetGridDisplayFormats(TKorvidan& controller);
  // Appends a row of the eight type labels to N + "_Type.db" (created when missing).
  void WriteSensorTypes(TKorvidan& controller);
  // The type text of sensor 0..7 in the first row of N + "_Type.db" (created when missing);
  // empty when the table has no row or the index is out of range.
  std::string ReadSensorType(TKorvidan& controller, int index);

  // Field definitions of the tables.
  static void DefineMeasurementFields(TTable& table, bool withPrimaryIndex);
  static void DefineSensorTypeFields(TTable& table);
  static void DefineAlarmValueFields(TTable& table);
  // The fields of each kind of table as the application makes them.
  static const TFieldDefs& MeasurementLayout();
  static const TFieldDefs& SensorTypeLayout();
  static const TFieldDefs& AlarmValueLayout();
  // A table file that another program made (or changed) is never written by the application,
  // nor moved from or deleted: raises EDatabaseError (cause Layout, or the cause that keeps
  // the file from being read) unless its fields are these, by name and type in their order.
  // The file is read without any change to it; so the check comes before the table is opened,
  // which sets the file up for the application's use.
  static void CheckLayout(const TTable& table, const TFieldDefs& layout);

  // Set after the first merge of the run; while it is clear, each merge appends a type row
  // per controller. Cleared by the main window's create handler.
  static std::atomic<bool> FTypesWritten;

  // The progress box shown during a merge (set by the application; none: no box).
  TDlgUpdate* DlgUpdate = nullptr;
  // The main window's share of a merge, run on the window thread: its grid is disabled
  // during the merge, and the preview charts re-read their tables afterwards.
  std::function<void(bool enabled)> SetGridEnabled;
  std::function<void()> RefreshPreviewCharts;

 private:
  void ProgressBegin(int step);
  void ProgressStage(const std::string& source, const std::string& destination);
  void ProgressEnd();
  void WriteSensorTypeRow(const std::string& name, const std::vector<std::string>& labels);

  bool merging_ = false;  // a merge runs (guarded by TempTableLock)
};

extern TDataModule2* DataModule2;
