#pragma once
// The desktop database of the application, on SQLite.
//
// Aliases and databases: an alias names a directory (TSession::AddStandardAlias). A
// TDatabase gives an alias an application name (DatabaseName); a table finds its directory
// through its DatabaseName: a connected TDatabase of that name, else an alias of that name,
// else an existing directory of that path.
//
// Tables: each table is one SQLite file in that directory, named as the table; the file
// holds one SQLite table. A table name without an extension gets the default extension
// ".db". Existing files are matched without regard to the case of the name (as the file
// system of the original platform did), so "Korvidan1", "Korvidan1.db" and "Korvidan1.DB"
// are one table. Files are in WAL journal mode with full synchronisation.
//
// Column storage, chosen so that the sqlite3 shell shows sensible values and text order is
// time order:
//   ftDateTime  DATETIME     text 'YYYY-MM-DD HH:MM:SS.sss'
//   ftDate      DATE         text 'YYYY-MM-DD'
//   ftTime      TIME         text 'HH:MM:SS.sss'
//   ftFloat     FLOAT        REAL
//   ftInteger   INTEGER      INTEGER       (ftSmallint: SMALLINT)
//   ftBoolean   BOOLEAN      INTEGER 0 or 1
//   ftString    VARCHAR(n)   TEXT of at most n characters
// Date-time values are TDateTime: days since 30 Dec 1899, the fraction the time of day;
// they are kept to the millisecond. The primary index is the table's primary key.
//
// Texts of values (AsString) use the German formats of the application whatever the locale:
// "dd.mm.yyyy", "hh:nn:ss", decimal comma. Assigned texts may also use ISO dates
// ("yyyy-mm-dd") and a decimal point.
//
// Errors: EDatabaseError for misuse of a dataset (wrong state, unknown field, bad value),
// EDBEngineError for failures of the engine and its files (missing, locked, corrupt,
// key violation), each with a message naming the table and its file. Both also carry the
// cause as a code and the table's file, so that a caller can word its own report; the
// message is English, for logs.
//
// A TTable, a TBatchMove or a TRowReader is used by one thread at a time; different
// objects may be used by different threads at once (each has its own connection).
#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

struct sqlite3;

// What a failure of a table is about.
enum class TDbCause {
  Other,         // misuse of a dataset, or an engine failure of no kind below
  NotFound,      // the table's file is not there
  InUse,         // the table is open in this program, so it cannot be replaced or deleted
  Locked,        // another connection kept the table locked past the lock time-out
  NotATable,     // the file is no database, or holds not exactly one table
  Corrupt,       // the file is a damaged database
  Layout,        // the table's fields are not those asked for
  ReadOnly,      // the file or its directory may not be written (rights, read-only medium)
  DiskFull,      // no space left on the medium (or the user's quota is used up)
  IoError,       // any other failure to read or write the medium
  KeyViolation,  // a row with the same key exists, or a row has no key value
  RowDeleted,    // the row being changed was deleted by another connection
};

class EDatabaseError : public std::runtime_error {
 public:
  explicit EDatabaseError(const std::string& message, TDbCause cause = TDbCause::Other,
                          std::filesystem::path file = {})
      : std::runtime_error(message), Cause(cause), File(std::move(file)) {}
  TDbCause Cause;
  // The table's file (empty when the failure concerns no table file).
  std::filesystem::path File;
};

class EDBEngineError : public EDatabaseError {
 public:
  // errorCode: the SQLite (extended) result code, 0 when the engine itself is not involved.
  EDBEngineError(const std::string& message, int errorCode, TDbCause cause = TDbCause::Other,
                 std::filesystem::path file = {})
      : EDatabaseError(message, cause, std::move(file)), ErrorCode(errorCode) {}
  int ErrorCode;
};

enum TFieldType {
  ftUnknown,
  ftString,
  ftSmallint,
  ftInteger,
  ftBoolean,
  ftFloat,
  ftDate,
  ftTime,
  ftDateTime
};

struct TFieldDef {
  std::string Name;
  TFieldType DataType = ftUnknown;
  int Size = 0;  // characters of an ftString field
  bool Required = false;
};

class TFieldDefs {
 public:
  void Add(const std::string& name, TFieldType type, int size = 0, bool required = false);
  void Clear() { items_.clear(); }
  int Count() const { return static_cast<int>(items_.size()); }
  const TFieldDef& operator[](int i) const { return items_.at(static_cast<std::size_t>(i)); }
  // -1 when there is no field of that name (names compare without regard to case).
  int IndexOf(std::string_view name) const;
  const std::vector<TFieldDef>& Items() const { return items_; }

 private:
  std::vector<TFieldDef> items_;
};

enum TIndexOption { ixPrimary = 1, ixUnique = 2 };

struct TIndexDef {
  std::string Name;
  std::string Fields;  // field names separated by ';'
  int Options = 0;     // TIndexOption bits
};

class TIndexDefs {
 public:
  void Add(const std::string& name, const std::string& fields, int options);
  void Clear() { items_.clear(); }
  int Count() const { return static_cast<int>(items_.size()); }
  const TIndexDef& operator[](int i) const { return items_.at(static_cast<std::size_t>(i)); }
  // The primary index, or nullptr.
  const TIndexDef* Primary() const;

 private:
  std::vector<TIndexDef> items_;
};

// A stored value: null, integer, real or text.
using TDbValue = std::variant<std::monostate, std::int64_t, double, std::string>;

// Process-wide aliases (the engine's configuration) and engine settings.
class TSession {
 public:
  // Registers or replaces an alias; the directory need not exist yet.
  void AddStandardAlias(const std::string& name, const std::filesystem::path& directory);
  void DeleteAlias(const std::string& name);
  bool IsAlias(const std::string& name) const;
  // The alias's directory; EDatabaseError for an unknown alias.
  std::filesystem::path GetAliasPath(const std::string& name) const;
  // How long an operation waits for a table that another connection has locked before it
  // fails with "locked" (default 5000 ms).
  void SetLockTimeout(int milliseconds);
  int LockTimeout() const;
  // The directory of a DatabaseName (see the top of this file); EDatabaseError when none.
  std::filesystem::path ResolveDatabase(const std::string& databaseName) const;
};
TSession& Session();

class TDatabase {
 public:
  TDatabase() = default;
  ~TDatabase();
  TDatabase(const TDatabase&) = delete;
  TDatabase& operator=(const TDatabase&) = delete;

  std::string AliasName;
  std::string DatabaseName;
  std::string SessionName = "Default";

  // Connects: the alias must exist; its DatabaseName then reaches the alias's directory.
  void Open();
  void Close();
  bool Connected() const { return connected_; }
  std::filesystem::path Directory() const;

 private:
  bool connected_ = false;
};

enum TDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert };

class TTable;

// One field of a table's current record.
class TField {
 public:
  const std::string& FieldName() const;
  TFieldType DataType() const;
  int Size() const;
  bool Required() const;
  int Index() const { return index_; }

  bool IsNull() const;
  double AsFloat() const;
  std::int32_t AsInteger() const;
  bool AsBoolean() const;
  double AsDateTime() const;
  std::string AsString() const;
  TDbValue Value() const;

  // Setters need the table in edit or insert mode.
  void SetAsFloat(double v);
  void SetAsInteger(std::int32_t v);
  void SetAsBoolean(bool v);
  void SetAsDateTime(double v);
  void SetAsString(const std::string& v);
  void Clear();

  // Presentation settings kept for views over the table (a grid); the table ignores them.
  std::string DisplayFormat;
  int Precision = 15;

 private:
  friend class TTable;
  TField(TTable* table, int index) : table_(table), index_(index) {}
  const TFieldDef& Def() const;
  TTable* table_;
  int index_;
  std::string name_;
};

class TTable {
 public:
  TTable();
  ~TTable();
  TTable(const TTable&) = delete;
  TTable& operator=(const TTable&) = delete;

  // Name settings; they cannot change while the table is open.
  void SetDatabaseName(const std::string& name);
  const std::string& DatabaseName() const { return databaseName_; }
  void SetTableName(const std::string& name);
  const std::string& TableName() const { return tableName_; }
  // The file the table is (or would be) stored in.
  std::filesystem::path FileName() const;

  // Structure used by CreateTable; Open replaces it with the structure of the file. Not to
  // be changed while the table is open.
  TFieldDefs FieldDefs;
  TIndexDefs IndexDefs;

  // Whether the table's file is there. A file that holds no table at all (empty, or a
  // database without tables, as a program that only opened it leaves it) is a table that
  // does not exist yet; any other file counts as the table, whatever it holds.
  bool Exists() const;
  // Creates the file with FieldDefs and IndexDefs; an existing table is replaced. A file
  // that holds no table gets the table in it. A creation that fails leaves the table as it
  // was, and no file of its own behind.
  void CreateTable();
  // The fields of the table in its file, read without changing the file (EDBEngineError
  // naming the file when it holds no single table).
  TFieldDefs StoredFieldDefs() const;
  // Removes the file (the table must be closed); EDBEngineError when it cannot.
  void DeleteTable();
  // Removes every row.
  void EmptyTable();

  void Open();
  void Close();
  bool Active() const { return state_ != dsInactive; }
  TDataSetState State() const { return state_; }
  // Re-reads the rows (others may have changed the file); keeps the position when it can.
  void Refresh();

  // Rows in the order of the primary index (tables without one: in the order they were
  // added). Eof turns true when Next is called on the last row, Bof when Prior is called
  // on the first; both are true for an empty table.
  void First();
  void Last();
  void Next();
  void Prior();
  bool Eof() const { return eof_; }
  bool Bof() const { return bof_; }
  int RecordCount() const;
  // 1-based position of the current row, 0 without one.
  int RecNo() const;

  // Insert and Append both start a new row (stored at its key's place, or at the end of a
  // table without a primary index); Edit the current row. Post stores it, Cancel drops it.
  // Moving to another row posts a modified row first (and cancels an unmodified one);
  // Close drops a pending row.
  void Insert();
  void Append();
  void Edit();
  void Post();
  void Cancel();
  void Delete();

  // The fields of the open table; while the table is closed, those of FieldDefs (their
  // values cannot be read then, but presentation settings can be made). A field object
  // lives as long as the table has a field of its name.
  int FieldCount() const;
  TField& Fields(int i);
  TField& FieldByName(std::string_view name);
  TField* FindField(std::string_view name);

 private:
  friend class TField;
  void CheckActive(const char* op) const;
  void CheckInactive(const char* op) const;
  std::string Describe() const;
  std::filesystem::path FileOrNone() const;
  void LoadRowIds();
  void LoadCurrent();
  void SetValue(int index, TDbValue v);
  const TDbValue& GetValue(int index) const;
  void CheckRequired();
  void CheckBrowseMode();
  void SyncFields();

  std::string databaseName_;
  std::string tableName_;
  std::filesystem::path file_;
  sqlite3* db_ = nullptr;
  std::string sqlName_;
  TDataSetState state_ = dsInactive;
  std::vector<std::int64_t> rowIds_;
  std::size_t pos_ = 0;
  bool eof_ = true;
  bool bof_ = true;
  std::vector<TDbValue> record_;
  bool modified_ = false;
  std::vector<std::unique_ptr<TField>> fields_;
};

enum TBatchMode { batAppendUpdate };

// Moves the rows of Source into Destination. batAppendUpdate: rows whose primary key is new
// are appended, rows whose key exists replace that row; the destination needs a primary
// index. The whole move is one transaction of the destination: after a crash it has
// happened entirely or not at all, and repeating it gives the same result. Fields are
// matched by name; destination fields missing in the source stay null (or unchanged).
// Rows without a key value cannot be placed: with AbortOnKeyViol the move fails and
// changes nothing, else they are added to the table KeyViolTableName. Rows with a value
// that the destination's field cannot take without losing or misreading it (a text that is
// no number in a number field, no date in a date field, longer than a text field) are
// problems: with AbortOnProblem the move fails and changes nothing, else they are added,
// every value as text, to the table ProblemTableName. Without the name of the table a row
// would go to, the move fails all the same, so that no row is lost. With ChangedTableName,
// the destination's rows that the move replaces by different values are first copied
// there as they were. These tables are made in the destination's directory when missing
// and gain rows with every move (none is emptied). Both tables need not be open; open ones
// are left as they are.
class TBatchMove {
 public:
  TTable* Source = nullptr;
  TTable* Destination = nullptr;
  TBatchMode Mode = batAppendUpdate;
  bool AbortOnKeyViol = true;
  bool AbortOnProblem = true;
  std::string ChangedTableName;
  std::string KeyViolTableName;
  std::string ProblemTableName;

  void Execute();
  // Figures of the last Execute.
  std::int64_t MovedCount() const { return moved_; }
  std::int64_t KeyViolCount() const { return keyViol_; }
  std::int64_t ChangedCount() const { return changed_; }
  std::int64_t ProblemCount() const { return problems_; }

 private:
  std::int64_t moved_ = 0;
  std::int64_t keyViol_ = 0;
  std::int64_t changed_ = 0;
  std::int64_t problems_ = 0;
};

// Read-only rows of a table in primary-key order, for views (table models, charts). Opens a
// connection of its own and reads a consistent snapshot while it lives; nothing in the file
// changes, not even its journal mode.
class TRowReader {
 public:
  // fields: the field names to read, in that order; empty: every field.
  TRowReader(const TTable& table, const std::vector<std::string>& fields = {});
  TRowReader(const std::string& databaseName, const std::string& tableName,
             const std::vector<std::string>& fields = {});
  ~TRowReader();
  TRowReader(const TRowReader&) = delete;
  TRowReader& operator=(const TRowReader&) = delete;

  const TFieldDefs& FieldDefs() const { return defs_; }
  std::int64_t RowCount();
  // Starts over at the row of 0-based index `first` (rows before it are skipped by the
  // engine, not read).
  void Seek(std::int64_t first);
  // Steps to the next row; false after the last one. The first call reads the first row.
  bool Next();

  bool IsNull(int i) const;
  double AsFloat(int i) const;
  double AsDateTime(int i) const;
  std::string AsString(int i) const;
  TDbValue Value(int i) const;

 private:
  void Init(const std::filesystem::path& file, const std::vector<std::string>& fields);
  const TDbValue& Cell(int i) const;
  sqlite3* db_ = nullptr;
  std::filesystem::path file_;
  struct Stmt;
  std::unique_ptr<Stmt> stmt_;
  std::string select_;
  std::string sqlName_;
  std::string describe_;
  TFieldDefs defs_;
  std::vector<TDbValue> row_;
};

// Conversions used by the table and available to views.
namespace dbvalue {
// 'YYYY-MM-DD HH:MM:SS.sss' and back; EDatabaseError outside the years 1 to 9999.
std::string DateTimeToIso(double dateTime);
std::string DateToIso(double dateTime);
std::string TimeToIso(double dateTime);
// Parses the ISO forms above (seconds and milliseconds optional, 'T' allowed) and the
// German forms "d.m.yyyy", "d.m.yyyy h:n[:s[.z]]", "h:n[:s[.z]]"; false when it is neither.
bool ParseDateTime(std::string_view text, double& dateTime);
// Value of a column as the field type presents it.
double ToFloat(const TDbValue& v, TFieldType type);
double ToDateTime(const TDbValue& v, TFieldType type);
std::string ToText(const TDbValue& v, TFieldType type);
}  // namespace dbvalue
