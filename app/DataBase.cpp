#include "app/DataBase.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "app/DlgUpdate.h"
#include "app/ErrorText.h"
#include "app/SharedState.h"
#include "app/UiThread.h"
#include "platform/DateTime.h"
#include "platform/Text.h"

namespace fs = std::filesystem;

TDataModule2* DataModule2 = nullptr;
std::atomic<bool> TDataModule2::FTypesWritten{false};

namespace {

const std::string kDatabase = "Zelvanor";
const char* const kCreateFailed = " Tabelle konnte nicht erstellt werden !";

fs::path DefaultDatabaseDirectory() {
  if (const char* dir = std::getenv("KORVIDAN_DATABASE_DIR"); dir && *dir) return dir;
  fs::path base;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data)
    base = data;
  else if (const char* home = std::getenv("HOME"); home && *home)
    base = fs::path(home) / ".local" / "share";
  else
    base = fs::temp_directory_path();
  return base / "korvidan" / "Zelvanor";
}

void Bind(TTable& table, const std::string& name) {
  table.Close();
  table.SetDatabaseName(kDatabase);
  table.SetTableName(name);
}

// Runs fn with the progress box on the window thread: at once there, else queued.
template <class F>
void OnDialog(TDlgUpdate* dlg, F fn) {
  if (!dlg) return;
  RunOnWindowThread([dlg, fn] { fn(dlg); }, dlg);
}

// The fields of a table as the application makes it.
template <class Define>
TFieldDefs LayoutOf(Define define) {
  TTable t;
  define(t);
  return t.FieldDefs;
}

}  // namespace

const TFieldDefs& TDataModule2::MeasurementLayout() {
  static const TFieldDefs layout = LayoutOf([](TTable& t) { DefineMeasurementFields(t, false); });
  return layout;
}

const TFieldDefs& TDataModule2::SensorTypeLayout() {
  static const TFieldDefs layout = LayoutOf(DefineSensorTypeFields);
  return layout;
}

const TFieldDefs& TDataModule2::AlarmValueLayout() {
  static const TFieldDefs layout = LayoutOf(DefineAlarmValueFields);
  return layout;
}

void TDataModule2::CheckLayout(const TTable& table, const TFieldDefs& layout) {
  const TFieldDefs found = table.StoredFieldDefs();
  bool same = found.Count() == layout.Count();
  for (int i = 0; same && i < layout.Count(); ++i)
    same = LowerCase(found[i].Name) == LowerCase(layout[i].Name) && found[i].DataType == layout[i].DataType;
  if (same) return;
  std::string fields;
  for (const TFieldDef& f : found.Items()) fields += (fields.empty() ? "" : ", ") + f.Name;
  throw EDatabaseError("Table '" + table.TableName() + "' (" + table.FileName().string() +
                           "): holds a table of another layout (" + fields + "), left as it is",
                       TDbCause::Layout, table.FileName());
}

namespace {

// Creates the table with the fields that define() sets when it does not exist. A creation
// that fails is reported, with its cause, and gives false.
template <class Define>
bool CreateWhenMissing(TTable& table, Define define) {
  if (table.Exists()) return true;
  try {
    define(table);
    table.CreateTable();
    return true;
  } catch (const EDatabaseError& e) {
    ShowError(e, kCreateFailed);
    return false;
  }
}

void DefineTemporaryFields(TTable& t) { TDataModule2::DefineMeasurementFields(t, false); }
void DefineMeasurementTableFields(TTable& t) { TDataModule2::DefineMeasurementFields(t, true); }

// Clears a flag when the scope ends, however it ends.
struct FlagGuard {
  bool& flag;
  explicit FlagGuard(bool& f) : flag(f) { flag = true; }
  ~FlagGuard() { flag = false; }
};

}  // namespace

TDataModule2::TDataModule2() {
  if (!Session().IsAlias(kDatabase)) {
    fs::path dir = DefaultDatabaseDirectory();
    std::error_code ec;
    fs::create_directories(dir, ec);
    Session().AddStandardAlias(kDatabase, dir);
  }
  Database1.AliasName = kDatabase;
  Database1.DatabaseName = kDatabase;
  Database1.Open();

  for (TTable* t :
       {&Table1, &TempTable, &SensorTypeTable, &AlarmValueTable, &ProtocolTable, &Table2, &Table3, &Table4,
        &Table5, &Graphik1, &Graphik2, &Graphik3, &Graphik4, &Graphik5, &Graphik6, &Graphik7, &Graphik8})
    t->SetDatabaseName(kDatabase);
  Table1.SetTableName("Korvidan0.DB");
  DefineMeasurementFields(Table1, true);
  TempTable.SetTableName("Korvidan1_Temp.DB");
  DefineMeasurementFields(TempTable, false);
  SensorTypeTable.SetTableName("Korvidan0_Type.db");
  DefineSensorTypeFields(SensorTypeTable);
  AlarmValueTable.SetTableName("Val.DB");
  DefineAlarmValueFields(AlarmValueTable);
  ProtocolTable.SetTableName("Protokoll 12.10.98.db");
  Table4.SetTableName("Korvidan 1.DB");

  BatchMove.Source = &TempTable;
  BatchMove.Destination = &Table1;
  BatchMove.Mode = batAppendUpdate;
  BatchMove.AbortOnKeyViol = false;
  BatchMove.AbortOnProblem = false;
  BatchMove.ChangedTableName = "ChangedTable";
  BatchMove.KeyViolTableName = "KeyViolTable";
  BatchMove.ProblemTableName = "ProblemTable";

  if (!DataModule2) DataModule2 = this;
}

TDataModule2::~TDataModule2() {
  if (DataModule2 == this) DataModule2 = nullptr;
}

void TDataModule2::DefineMeasurementFields(TTable& table, bool withPrimaryIndex) {
  table.FieldDefs.Clear();
  table.IndexDefs.Clear();
  table.FieldDefs.Add("DateTime", ftDateTime, 0, withPrimaryIndex);
  table.FieldDefs.Add("Datum", ftDate);
  table.FieldDefs.Add("Uhrzeit", ftTime);
  for (int i = 1; i <= 8; ++i) table.FieldDefs.Add("Sensor" + IntToStr(i), ftFloat);
  if (withPrimaryIndex) table.IndexDefs.Add("Table1Index1", "DateTime", ixPrimary);
}

void TDataModule2::DefineSensorTypeFields(TTable& table) {
  table.FieldDefs.Clear();
  table.IndexDefs.Clear();
  for (int i = 1; i <= 8; ++i) table.FieldDefs.Add("Sensor" + IntToStr(i) + "Type", ftString, 20);
}

void TDataModule2::DefineAlarmValueFields(TTable& table) {
  table.FieldDefs.Clear();
  table.IndexDefs.Clear();
  table.FieldDefs.Add("SensorNr", ftInteger);
  table.FieldDefs.Add("SensorTyp", ftString, 20);
  table.FieldDefs.Add("UntererAlarmwert", ftFloat);
  table.FieldDefs.Add("ObererAlarmwert", ftFloat);
  table.FieldDefs.Add("Aktion", ftString, 20);
  for (const char* t : {"MoFr", "SaSo", "Mo", "Di", "Mi", "Do", "Fr"}) {
    table.FieldDefs.Add(std::string(t) + "Start", ftTime);
    table.FieldDefs.Add(std::string(t) + "End", ftTime);
  }
  table.FieldDefs.Add("DayOfWeek", ftInteger);
}

// ---------------------------------------------------------------------------------------
// Store

void TDataModule2::StoreCurrentValues(TControllerList& list) {
  struct Row {
    std::string name;
    TDateTime stamp;
    float values[TKorvidan::SensorCount];
  };
  std::vector<Row> rows;
  {
    std::lock_guard<TCriticalSection> sensors(SensorDataLock);
    for (int k = 0; k < list.GetControllerCount(); ++k) {
      const TKorvidan* c = list.GetController(k);
      if (!c) continue;
      Row r{c->GetIdent()->GetName(), c->GetTimeStamp(), {}};
      for (int s = 0; s < TKorvidan::SensorCount; ++s) r.values[s] = c->GetSensor(s)->GetValue();
      rows.push_back(std::move(r));
    }
  }
  if (rows.empty()) return;

  MainFlags.FTempDataMerged = false;
  std::lock_guard<TCriticalSection> lock(TempTableLock);
  TempTable.Close();
  // The last controller's temporary table decides on the merge.
  int rowsWaiting = 0;
  for (const Row& r : rows) {
    rowsWaiting = 0;
    try {
      Bind(TempTable, r.name + "_Temp.DB");
      if (!CreateWhenMissing(TempTable, DefineTemporaryFields)) continue;
      CheckLayout(TempTable, MeasurementLayout());
      TempTable.Open();
      TempTable.Append();
      TempTable.FieldByName("DateTime").SetAsString(DateTimeToStr(r.stamp));
      TempTable.FieldByName("Datum").SetAsString(DateToStr(r.stamp));
      TempTable.FieldByName("Uhrzeit").SetAsString(TimeToStr(r.stamp));
      for (int s = 0; s < TKorvidan::SensorCount; ++s)
        TempTable.FieldByName("Sensor" + IntToStr(s + 1)).SetAsFloat(static_cast<double>(r.values[s]));
      TempTable.Post();
      rowsWaiting = TempTable.RecordCount();
      TempTable.Close();
    } catch (const EDatabaseError& e) {
      TempTable.Close();
      ShowError(e);
    }
  }
  if (rowsWaiting > 4) MergeTempTables(list);
}

// ---------------------------------------------------------------------------------------
// Merge

void TDataModule2::ProgressBegin(int step) {
  OnDialog(DlgUpdate, [step](TDlgUpdate* d) {
    d->Step = step;
    d->show();
  });
  if (SetGridEnabled) RunOnWindowThread([f = SetGridEnabled] { f(false); });
}

void TDataModule2::ProgressStage(const std::string& source, const std::string& destination) {
  OnDialog(DlgUpdate, [source, destination](TDlgUpdate* d) {
    d->SourceDB->setText(QString::fromStdString(source));
    d->DestinationDB->setText(QString::fromStdString(destination));
    d->StepIt();
  });
  if (DlgUpdate && OnWindowThread() && QCoreApplication::instance())
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void TDataModule2::ProgressEnd() {
  OnDialog(DlgUpdate, [](TDlgUpdate* d) {
    d->ProgressBar1->setValue(0);
    d->hide();
  });
  if (RefreshPreviewCharts) RunOnWindowThread(RefreshPreviewCharts);
  if (SetGridEnabled) RunOnWindowThread([f = SetGridEnabled] { f(true); });
}

void TDataModule2::MergeTempTables(TControllerList& list) {
  const int count = list.GetControllerCount();
  if (count <= 0) return;

  // The type rows are taken from the sensors before the temporary tables are locked: the two
  // locks are never held together.
  std::vector<std::vector<std::string>> labels(static_cast<std::size_t>(count));
  if (!FTypesWritten) {
    std::lock_guard<TCriticalSection> sensors(SensorDataLock);
    for (int k = 0; k < count; ++k)
      if (TKorvidan* c = list.GetController(k))
        for (int s = 0; s < TKorvidan::SensorCount; ++s)
          labels[static_cast<std::size_t>(k)].push_back(c->GetSensor(s)->GetTypeText());
  }

  std::lock_guard<TCriticalSection> lock(TempTableLock);
  // A merge asked for while this thread is already merging (through the message queue that
  // the progress box lets run) has nothing left to do: the running merge takes every table.
  if (merging_) return;
  FlagGuard guard(merging_);
  MainFlags.FTempDataMerged = false;
  TempTable.Close();
  Table1.Close();
  ProgressBegin(100 / count);

  bool allMerged = true;
  bool ownTable1 = false;  // Table1 is the application's measurement table
  for (int k = 0; k < count; ++k) {
    ownTable1 = false;
    TKorvidan* c = list.GetController(k);
    if (!c) continue;
    const std::string name = c->GetIdent()->GetName();
    Bind(Table1, name + ".db");
    Bind(TempTable, name + "_Temp.DB");
    ProgressStage(TempTable.TableName(), Table1.TableName());

    if (!CreateWhenMissing(Table1, DefineMeasurementTableFields)) {
      allMerged = false;
      continue;
    }
    // No file is written, moved from or deleted unless both are the application's.
    try {
      CheckLayout(Table1, MeasurementLayout());
      ownTable1 = true;
    } catch (const EDatabaseError& e) {
      ShowError(e);
      allMerged = allMerged && !TempTable.Exists();
      continue;
    }
    if (TempTable.Exists()) {
      try {
        CheckLayout(TempTable, MeasurementLayout());
        BatchMove.Execute();
      } catch (const EDatabaseError& e) {
        // The rows stay in the temporary table for the next merge.
        TempTable.Close();
        ShowError(e);
        allMerged = false;
        continue;
      }
      TempTable.Close();
      if (!Table1.Exists()) {
        ShowError(EDatabaseError("Table '" + Table1.TableName() + "' does not exist", TDbCause::NotFound,
                                 Table1.FileName()),
                  "Tabelle existiert nicht !");
        allMerged = false;
        continue;
      }
      try {
        TempTable.DeleteTable();
      } catch (const EDatabaseError& e) {
        // Its rows are in the measurement table; the next merge moves them onto themselves.
        ShowError(e, "Kann temporäre Datenbank-Tabelle nicht löschen !");
      }
    }
    SetGridDisplayFormats(*c);
    if (!FTypesWritten) {
      try {
        WriteSensorTypeRow(name, labels[static_cast<std::size_t>(k)]);
      } catch (const EDatabaseError& e) {
        ShowError(e);
      }
    }
  }
  FTypesWritten = true;
  try {
    if (ownTable1 && Table1.Exists()) Table1.Open();
  } catch (const EDatabaseError& e) {
    ShowError(e);
  }
  MainFlags.FTempDataMerged = allMerged;
  ProgressEnd();
}

// ---------------------------------------------------------------------------------------
// Grid formats and sensor types

void TDataModule2::SetGridDisplayFormats(TKorvidan&) {
  // Table4 belongs to the window thread's grid; a merge on the acquisition thread leaves the
  // formats to the next tab selection, which sets them again.
  if (!OnWindowThread() || !Table4.Active()) return;
  for (int i = 1; i <= 8; ++i)
    if (TField* f = Table4.FindField("Sensor" + IntToStr(i))) {
      f->Precision = 2;
      f->DisplayFormat = "#.##";
    }
}

void TDataModule2::WriteSensorTypeRow(const std::string& name, const std::vector<std::string>& labels) {
  std::lock_guard<TCriticalSection> lock(TempTableLock);
  Bind(SensorTypeTable, name + "_Type.db");
  if (!CreateWhenMissing(SensorTypeTable, DefineSensorTypeFields)) return;
  CheckLayout(SensorTypeTable, SensorTypeLayout());
  SensorTypeTable.Open();
  try {
    SensorTypeTable.Append();
    for (std::size_t i = 0; i < labels.size() && i < 8; ++i)
      SensorTypeTable.FieldByName("Sensor" + IntToStr(static_cast<int>(i) + 1) + "Type")
          .SetAsString(labels[i]);
    SensorTypeTable.Post();
  } catch (...) {
    SensorTypeTable.Close();
    throw;
  }
  SensorTypeTable.Close();
}

void TDataModule2::WriteSensorTypes(TKorvidan& controller) {
  std::vector<std::string> labels;
  std::string name;
  {
    std::lock_guard<TCriticalSection> sensors(SensorDataLock);
    name = controller.GetIdent()->GetName();
    for (int s = 0; s < TKorvidan::SensorCount; ++s) labels.push_back(controller.GetSensor(s)->GetTypeText());
  }
  WriteSensorTypeRow(name, labels);
}

std::string TDataModule2::ReadSensorType(TKorvidan& controller, int index) {
  if (index < 0 || index >= TKorvidan::SensorCount) return {};
  // A table of its own: the chart titles read on the window thread while a merge may write
  // the type table on the acquisition thread.
  TTable types;
  types.SetDatabaseName(kDatabase);
  types.SetTableName(controller.GetIdent()->GetName() + "_Type.db");
  {
    std::lock_guard<TCriticalSection> lock(TempTableLock);  // a merge may be creating it
    if (!types.Exists()) {
      DefineSensorTypeFields(types);
      types.CreateTable();
    }
  }
  try {
    CheckLayout(types, SensorTypeLayout());
  } catch (const EDatabaseError& e) {
    if (e.Cause != TDbCause::Layout) throw;
    return {};  // another program's table holds no type texts; its file is left as it is
  }
  types.Open();
  std::string text;
  if (!types.Eof())
    if (TField* f = types.FindField("Sensor" + IntToStr(index + 1) + "Type")) text = f->AsString();
  types.Close();
  return text;
}
