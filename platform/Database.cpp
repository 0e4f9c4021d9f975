#include "platform/Database.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <system_error>

#include "platform/DateTime.h"
#include "platform/Text.h"

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------------------
// Small text helpers

// ASCII only: names and texts are compared the same way whatever the process's locale.
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool SameName(std::string_view a, std::string_view b) { return LowerCase(a) == LowerCase(b); }

std::string Quote(std::string_view ident) {
  std::string r = "\"";
  for (char c : ident) {
    r += c;
    if (c == '"') r += '"';
  }
  r += '"';
  return r;
}

// Blanks around values: the C locale's white space (other control characters stay).
constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";

// Number of characters of UTF-8 text, and the byte length of its first n characters.
std::size_t Utf8Prefix(const std::string& s, std::size_t n) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (chars == n) return i;
      ++chars;
    }
  }
  return s.size();
}

// ---------------------------------------------------------------------------------------
// Date and time values split into their fields and joined again (platform/DateTime).

struct Civil {
  unsigned year, month, day, hour, minute, second, msec;
};

// Splits a TDateTime (rounded to the millisecond); false outside the years 1 to 9999.
bool Split(double dt, Civil& c) {
  std::uint16_t y, mo, d, h, mi, s, ms;
  if (!DecodeDate(dt, y, mo, d)) return false;
  DecodeTime(dt, h, mi, s, ms);
  c = {y, mo, d, h, mi, s, ms};
  return true;
}

double Join(unsigned y, unsigned mo, unsigned d, unsigned h, unsigned mi, unsigned s, unsigned ms) {
  return EncodeDate(y, mo, d) + EncodeTime(h, mi, s, ms);
}

// Reads an unsigned decimal of 1 to maxDigits digits at s[i].
bool ReadNumber(std::string_view s, std::size_t& i, unsigned maxDigits, unsigned& value) {
  std::size_t start = i;
  value = 0;
  while (i < s.size() && i - start < maxDigits && IsDigit(s[i])) {
    value = value * 10 + static_cast<unsigned>(s[i] - '0');
    ++i;
  }
  return i > start;
}

// "h:n[:s[.z]]" starting at s[i], to the end of the text.
bool ParseClock(std::string_view s, std::size_t i, unsigned& h, unsigned& mi, unsigned& sec, unsigned& ms) {
  sec = ms = 0;
  if (!ReadNumber(s, i, 2, h) || i >= s.size() || s[i] != ':') return false;
  ++i;
  if (!ReadNumber(s, i, 2, mi)) return false;
  if (i < s.size() && s[i] == ':') {
    ++i;
    if (!ReadNumber(s, i, 2, sec)) return false;
    if (i < s.size() && (s[i] == '.' || s[i] == ',')) {
      ++i;
      std::size_t start = i;
      if (!ReadNumber(s, i, 3, ms)) return false;
      for (std::size_t k = i - start; k < 3; ++k) ms *= 10;
      while (i < s.size() && IsDigit(s[i])) ++i;  // finer digits
    }
  }
  return i == s.size() && h < 24 && mi < 60 && sec < 60;
}

std::string FormatNumber(double v) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 15);
  std::string s(buf, res.ptr);
  for (char& c : s)
    if (c == '.') c = ',';
  return s;
}

bool ParseNumber(std::string_view text, double& v) {
  std::string s = Trim(text, kWhiteSpace);
  for (char& c : s)
    if (c == ',') c = '.';
  if (s.empty()) return false;
  const char* b = s.data();
  if (*b == '+') ++b;
  auto res = std::from_chars(b, s.data() + s.size(), v);
  return res.ec == std::errc() && res.ptr == s.data() + s.size();
}

const char* TypeName(TFieldType t) {
  switch (t) {
    case ftString:
      return "VARCHAR";
    case ftSmallint:
      return "SMALLINT";
    case ftInteger:
      return "INTEGER";
    case ftBoolean:
      return "BOOLEAN";
    case ftFloat:
      return "FLOAT";
    case ftDate:
      return "DATE";
    case ftTime:
      return "TIME";
    case ftDateTime:
      return "DATETIME";
    case ftUnknown:
      break;
  }
  return "";
}

TFieldType TypeFromDecl(const std::string& declared, int& size) {
  std::string d = LowerCase(Trim(declared, kWhiteSpace));
  size = 0;
  if (d.rfind("varchar", 0) == 0 || d.rfind("char", 0) == 0) {
    auto open = d.find('(');
    if (open != std::string::npos) size = std::atoi(d.c_str() + open + 1);
    return ftString;
  }
  if (d == "text") return ftString;
  if (d == "datetime" || d == "timestamp") return ftDateTime;
  if (d == "date") return ftDate;
  if (d == "time") return ftTime;
  if (d == "float" || d == "real" || d == "double") return ftFloat;
  if (d == "integer" || d == "int") return ftInteger;
  if (d == "smallint") return ftSmallint;
  if (d == "boolean") return ftBoolean;
  return ftUnknown;
}

// ---------------------------------------------------------------------------------------
// SQLite wrappers

// Where a failure happens: the text that opens its message, and the table file it is about.
struct Site {
  std::string text;
  fs::path file;
};

// The cause of a failed call of the operating system.
TDbCause CauseOfErrno(int error) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
      return TDbCause::DiskFull;
    case EACCES:
    case EPERM:
    case EROFS:
      return TDbCause::ReadOnly;
    case ENOENT:
      return TDbCause::NotFound;
    case EISDIR:  // a directory in the way of the table's file
      return TDbCause::NotATable;
    case EBUSY:
      return TDbCause::InUse;
    default:
      return TDbCause::IoError;
  }
}

// The cause of an engine result; systemErrno is the operating system's error of the call
// that failed (0 when none), which tells a full disk from other I/O failures: SQLite reports
// some writes that find the disk full (those of the shared-memory index) as I/O errors.
TDbCause CauseOf(int rc, int systemErrno) {
  switch (rc & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return TDbCause::Locked;
    case SQLITE_NOTADB:
      return TDbCause::NotATable;
    case SQLITE_CORRUPT:
      return TDbCause::Corrupt;
    case SQLITE_READONLY:
    case SQLITE_PERM:
      return TDbCause::ReadOnly;
    case SQLITE_FULL:
      return TDbCause::DiskFull;
    case SQLITE_CONSTRAINT:
      return TDbCause::KeyViolation;
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
      return systemErrno != 0 ? CauseOfErrno(systemErrno) : TDbCause::IoError;
    default:
      return TDbCause::Other;
  }
}

[[noreturn]] void ThrowEngine(const Site& at, sqlite3* db, int rc) {
  const std::string text = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  const TDbCause cause = CauseOf(rc, db ? sqlite3_system_errno(db) : 0);
  std::string what;
  switch (cause) {
    case TDbCause::Locked:
      what = "table is locked by another user (" + text + ")";
      break;
    case TDbCause::NotATable:
    case TDbCause::Corrupt:
      what = "table file is corrupt or not a table (" + text + ")";
      break;
    case TDbCause::ReadOnly:
      what = "table file is read-only (" + text + ")";
      break;
    case TDbCause::DiskFull:
      what = "disk full (" + text + ")";
      break;
    default:
      what = text;
  }
  throw EDBEngineError(at.text + ": " + what, rc, cause, at.file);
}

// A failure found by this layer itself.
[[noreturn]] void Fail(const Site& at, const std::string& what, int rc, TDbCause cause) {
  throw EDBEngineError(at.text + ": " + what, rc, cause, at.file);
}

class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql, const Site& context) : db_(db), context_(context) {
    int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr);
    if (rc != SQLITE_OK) ThrowEngine(context, db, rc);
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // True while a row is available.
  bool Step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    ThrowEngine(context_, db_, sqlite3_extended_errcode(db_));
  }
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  void Bind(int i, const TDbValue& v) {
    int rc = SQLITE_OK;
    if (std::holds_alternative<std::monostate>(v))
      rc = sqlite3_bind_null(stmt_, i);
    else if (auto p = std::get_if<std::int64_t>(&v))
      rc = sqlite3_bind_int64(stmt_, i, *p);
    else if (auto d = std::get_if<double>(&v))
      rc = sqlite3_bind_double(stmt_, i, *d);
    else {
      const std::string& s = std::get<std::string>(v);
      rc = sqlite3_bind_text(stmt_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }
    if (rc != SQLITE_OK) ThrowEngine(context_, db_, rc);
  }
  void BindText(int i, const std::string& s) { Bind(i, TDbValue(s)); }
  void BindInt(int i, std::int64_t v) { Bind(i, TDbValue(v)); }
  TDbValue Column(int i) const {
    switch (sqlite3_column_type(stmt_, i)) {
      case SQLITE_INTEGER:
        return sqlite3_column_int64(stmt_, i);
      case SQLITE_FLOAT:
        return sqlite3_column_double(stmt_, i);
      case SQLITE_NULL:
        return std::monostate{};
      default: {
        const auto* p = sqlite3_column_text(stmt_, i);
        int n = sqlite3_column_bytes(stmt_, i);
        return std::string(p ? reinterpret_cast<const char*>(p) : "", static_cast<std::size_t>(n));
      }
    }
  }
  std::int64_t Int(int i) const { return sqlite3_column_int64(stmt_, i); }
  std::string Text(int i) const {
    const auto* p = sqlite3_column_text(stmt_, i);
    return p ? reinterpret_cast<const char*>(p) : "";
  }
  int Columns() const { return sqlite3_column_count(stmt_); }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  Site context_;
};

void Exec(sqlite3* db, const std::string& sql, const Site& context) {
  char* err = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
  if (err) sqlite3_free(err);
  if (rc != SQLITE_OK) ThrowEngine(context, db, sqlite3_extended_errcode(db));
}

// Rolls back an open transaction unless committed.
class Transaction {
 public:
  Transaction(sqlite3* db, const Site& context) : db_(db), context_(context) {
    Exec(db, "BEGIN IMMEDIATE", context);
  }
  ~Transaction() {
    if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void Commit() {
    Exec(db_, "COMMIT", context_);
    done_ = true;
  }

 private:
  sqlite3* db_;
  Site context_;
  bool done_ = false;
};

struct Connection {
  sqlite3* db = nullptr;
  Connection() = default;
  explicit Connection(sqlite3* d) : db(d) {}
  ~Connection() {
    if (db) sqlite3_close_v2(db);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  sqlite3* Release() {
    sqlite3* d = db;
    db = nullptr;
    return d;
  }
};

// ---------------------------------------------------------------------------------------
// Session state

struct SessionState {
  std::mutex mutex;
  std::map<std::string, fs::path> aliases;       // lower-case alias -> directory
  std::map<std::string, std::string> databases;  // lower-case database name -> alias
  std::map<std::string, int> openFiles;          // file -> users in this process
  std::atomic<int> lockTimeout{5000};
};

SessionState& State() {
  static SessionState s;
  return s;
}

std::string FileKey(const fs::path& file) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(file, ec);
  return (ec ? file : p).string();
}

void AddUser(const fs::path& file) {
  std::lock_guard lock(State().mutex);
  ++State().openFiles[FileKey(file)];
}

void RemoveUser(const fs::path& file) {
  std::lock_guard lock(State().mutex);
  auto it = State().openFiles.find(FileKey(file));
  if (it != State().openFiles.end() && --it->second <= 0) State().openFiles.erase(it);
}

bool InUse(const fs::path& file) {
  std::lock_guard lock(State().mutex);
  return State().openFiles.count(FileKey(file)) != 0;
}

// Marks a file as in use for as long as it lives.
class FileUser {
 public:
  explicit FileUser(fs::path file) : file_(std::move(file)) { AddUser(file_); }
  ~FileUser() { RemoveUser(file_); }
  FileUser(const FileUser&) = delete;
  FileUser& operator=(const FileUser&) = delete;

 private:
  fs::path file_;
};

// The files SQLite keeps beside a database.
void RemoveSideFiles(const fs::path& file) {
  std::error_code ec;
  for (const char* suffix : {"-wal", "-shm", "-journal"}) fs::remove(fs::path(file.string() + suffix), ec);
}

void CheckTableName(const std::string& name) {
  if (name.empty()) throw EDatabaseError("Table name is missing");
  if (name.find('/') != std::string::npos || name.find('\0') != std::string::npos || name == "." ||
      name == "..")
    throw EDatabaseError("Invalid table name '" + name + "'");
}

fs::path ResolveTableFile(const fs::path& dir, const std::string& tableName) {
  CheckTableName(tableName);
  std::string fname = tableName;
  if (fs::path(tableName).extension().empty()) fname += ".db";
  fs::path exact = dir / fname;
  std::error_code ec;
  if (fs::exists(exact, ec)) return exact;
  const std::string want = LowerCase(fname);
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (LowerCase(it->path().filename().string()) == want && it->is_regular_file(ec)) return it->path();
  }
  return exact;
}

// Opens a table file for reading and writing.
sqlite3* OpenFile(const fs::path& file, bool create, const Site& context) {
  std::error_code ec;
  if (!create && !fs::is_regular_file(file, ec))
    Fail(context, "table does not exist", SQLITE_CANTOPEN, TDbCause::NotFound);
  sqlite3* raw = nullptr;
  int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(file.c_str(), &raw, flags, nullptr);
  Connection conn(raw);
  if (rc != SQLITE_OK) ThrowEngine(context, raw, rc);
  sqlite3_extended_result_codes(raw, 1);
  sqlite3_busy_timeout(raw, State().lockTimeout.load());
  std::string current;
  {
    Statement mode(raw, "PRAGMA journal_mode", context);
    current = mode.Step() ? LowerCase(mode.Text(0)) : "";
  }
  if (current != "wal") {
    Statement set(raw, "PRAGMA journal_mode=WAL", context);
    set.Step();
  }
  Exec(raw, "PRAGMA synchronous=FULL", context);
  return conn.Release();
}

struct Structure {
  std::string sqlName;
  TFieldDefs fields;
  std::vector<std::string> key;  // primary key fields in key order
};

// The names of the tables of a database (the engine's own excepted).
std::string TablesQuery(const std::string& schema) {
  return "SELECT name FROM " + Quote(schema) +
         ".sqlite_schema WHERE type='table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'";
}

// Opens an existing file for reading what it holds: nothing in it changes, not even its
// journal mode (it may be another program's file).
sqlite3* OpenAsItIs(const fs::path& file, const Site& context) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  Connection conn(raw);
  if (rc != SQLITE_OK) ThrowEngine(context, raw, rc);
  sqlite3_extended_result_codes(raw, 1);
  sqlite3_busy_timeout(raw, State().lockTimeout.load());
  return conn.Release();
}

// Whether a file is a database that holds no table at all: empty, or opened by a program
// (the sqlite3 shell, say) that made no table in it. A file that cannot be read as a
// database (something else, or locked for longer than the lock time-out) is not.
bool HoldsNoTable(const fs::path& file) {
  std::error_code ec;
  const auto size = fs::file_size(file, ec);
  if (ec) return false;
  if (size == 0 && !fs::exists(fs::path(file.string() + "-wal"), ec)) return true;
  try {
    const Site at{file.string(), file};
    Connection conn(OpenAsItIs(file, at));
    return !Statement(conn.db, TablesQuery("main"), at).Step();
  } catch (const EDBEngineError&) {
    return false;
  }
}

// Reads the one table of a file; schema is "main" or an attached name.
Structure ReadStructure(sqlite3* db, const std::string& schema, const Site& context) {
  Structure s;
  {
    Statement q(db, TablesQuery(schema), context);
    int n = 0;
    while (q.Step()) {
      s.sqlName = q.Text(0);
      ++n;
    }
    if (n != 1)
      Fail(context, "not a table file (" + std::to_string(n) + " tables in it)", SQLITE_NOTADB,
           TDbCause::NotATable);
  }
  std::vector<std::pair<int, std::string>> key;
  Statement info(db, "PRAGMA " + Quote(schema) + ".table_info(" + Quote(s.sqlName) + ")", context);
  while (info.Step()) {
    int size = 0;
    TFieldType t = TypeFromDecl(info.Text(2), size);
    int pk = static_cast<int>(info.Int(5));
    s.fields.Add(info.Text(1), t, size, info.Int(3) != 0 || pk > 0);
    if (pk > 0) key.emplace_back(pk, info.Text(1));
  }
  std::sort(key.begin(), key.end());
  for (auto& k : key) s.key.push_back(k.second);
  return s;
}

std::string OrderClause(const std::vector<std::string>& key) {
  std::string order = " ORDER BY ";
  for (const auto& k : key) order += Quote(k) + ", ";
  return order + "rowid";
}

std::vector<std::string> SplitFields(const std::string& fields) {
  std::vector<std::string> r;
  std::size_t start = 0;
  while (start <= fields.size()) {
    std::size_t end = fields.find(';', start);
    if (end == std::string::npos) end = fields.size();
    std::string f = Trim(std::string_view(fields).substr(start, end - start), kWhiteSpace);
    if (!f.empty()) r.push_back(f);
    start = end + 1;
  }
  return r;
}

}  // namespace

// =========================================================================================
// Conversions

namespace dbvalue {

std::string DateTimeToIso(double dateTime) {
  Civil c;
  if (!Split(dateTime, c)) throw EDatabaseError("Date-time value out of range: " + FormatNumber(dateTime));
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02u:%02u:%02u.%03u", static_cast<int>(c.year), c.month,
                c.day, c.hour, c.minute, c.second, c.msec);
  return buf;
}

std::string DateToIso(double dateTime) { return DateTimeToIso(dateTime).substr(0, 10); }

std::string TimeToIso(double dateTime) { return DateTimeToIso(dateTime).substr(11); }

bool ParseDateTime(std::string_view input, double& dateTime) {
  std::string text = Trim(input, kWhiteSpace);
  std::string_view s = text;
  std::size_t i = 0;
  unsigned a = 0, b = 0, c = 0, h = 0, mi = 0, sec = 0, ms = 0;
  std::int64_t year;
  unsigned month, day;
  if (!ReadNumber(s, i, 4, a)) return false;
  if (i < s.size() && s[i] == ':') {  // a time of day alone
    if (!ParseClock(s, 0, h, mi, sec, ms)) return false;
    dateTime = Join(1899, 12, 30, h, mi, sec, ms);
    return true;
  }
  if (i == 4 && i < s.size() && s[i] == '-') {  // yyyy-mm-dd
    ++i;
    if (!ReadNumber(s, i, 2, b) || i >= s.size() || s[i] != '-') return false;
    ++i;
    if (!ReadNumber(s, i, 2, c)) return false;
    year = a, month = b, day = c;
    if (i < s.size()) {
      if (s[i] != ' ' && s[i] != 'T') return false;
      while (i < s.size() && (s[i] == ' ' || s[i] == 'T')) ++i;
      if (!ParseClock(s, i, h, mi, sec, ms)) return false;
    }
  } else if (i <= 2 && i < s.size() && s[i] == '.') {  // d.m.yyyy
    ++i;
    if (!ReadNumber(s, i, 2, b) || i >= s.size() || s[i] != '.') return false;
    ++i;
    std::size_t ys = i;
    if (!ReadNumber(s, i, 4, c)) return false;
    if (i - ys == 2) c += c < 50 ? 2000 : 1900;  // two-digit years: 1950 to 2049
    year = c, month = b, day = a;
    if (i < s.size()) {
      if (s[i] != ' ') return false;
      while (i < s.size() && s[i] == ' ') ++i;
      if (!ParseClock(s, i, h, mi, sec, ms)) return false;
    }
  } else {
    return false;
  }
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(static_cast<unsigned>(year), month))
    return false;
  dateTime = Join(year, month, day, h, mi, sec, ms);
  return true;
}

double ToFloat(const TDbValue& v, TFieldType type) {
  if (auto d = std::get_if<double>(&v)) return *d;
  if (auto n = std::get_if<std::int64_t>(&v)) return static_cast<double>(*n);
  if (auto s = std::get_if<std::string>(&v)) {
    if (type == ftDateTime || type == ftDate || type == ftTime) return ToDateTime(v, type);
    double r;
    if (ParseNumber(*s, r)) return r;
    throw EDatabaseError("'" + *s + "' is not a valid number");
  }
  return 0.0;
}

double ToDateTime(const TDbValue& v, TFieldType type) {
  if (auto s = std::get_if<std::string>(&v)) {
    double r;
    if (ParseDateTime(*s, r)) return r;
    throw EDatabaseError("'" + *s + "' is not a valid date and time");
  }
  if (std::holds_alternative<std::monostate>(v)) return 0.0;
  return ToFloat(v, ftFloat);
}

std::string ToText(const TDbValue& v, TFieldType type) {
  if (std::holds_alternative<std::monostate>(v)) return {};
  switch (type) {
    case ftDateTime:
    case ftDate:
    case ftTime: {
      Civil c;
      if (!Split(ToDateTime(v, type), c)) return {};
      char buf[40];
      if (type == ftDate)
        std::snprintf(buf, sizeof buf, "%02u.%02u.%04d", c.day, c.month, static_cast<int>(c.year));
      else if (type == ftTime)
        std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", c.hour, c.minute, c.second);
      else
        std::snprintf(buf, sizeof buf, "%02u.%02u.%04d %02u:%02u:%02u", c.day, c.month,
                      static_cast<int>(c.year), c.hour, c.minute, c.second);
      return buf;
    }
    case ftBoolean:
      return ToFloat(v, ftInteger) != 0 ? "True" : "False";
    default:
      break;
  }
  if (auto d = std::get_if<double>(&v)) return FormatNumber(*d);
  if (auto n = std::get_if<std::int64_t>(&v)) return std::to_string(*n);
  return std::get<std::string>(v);
}

}  // namespace dbvalue

// =========================================================================================
// Definitions

void TFieldDefs::Add(const std::string& name, TFieldType type, int size, bool required) {
  items_.push_back(TFieldDef{name, type, size, required});
}

int TFieldDefs::IndexOf(std::string_view name) const {
  for (std::size_t i = 0; i < items_.size(); ++i)
    if (SameName(items_[i].Name, name)) return static_cast<int>(i);
  return -1;
}

void TIndexDefs::Add(const std::string& name, const std::string& fields, int options) {
  items_.push_back(TIndexDef{name, fields, options});
}

const TIndexDef* TIndexDefs::Primary() const {
  for (const auto& i : items_)
    if (i.Options & ixPrimary) return &i;
  return nullptr;
}

// =========================================================================================
// Session and database

void TSession::AddStandardAlias(const std::string& name, const fs::path& directory) {
  if (name.empty()) throw EDatabaseError("Alias name is missing");
  std::lock_guard lock(State().mutex);
  State().aliases[LowerCase(name)] = directory;
}

void TSession::DeleteAlias(const std::string& name) {
  std::lock_guard lock(State().mutex);
  State().aliases.erase(LowerCase(name));
}

bool TSession::IsAlias(const std::string& name) const {
  std::lock_guard lock(State().mutex);
  return State().aliases.count(LowerCase(name)) != 0;
}

fs::path TSession::GetAliasPath(const std::string& name) const {
  std::lock_guard lock(State().mutex);
  auto it = State().aliases.find(LowerCase(name));
  if (it == State().aliases.end()) throw EDatabaseError("Unknown database alias '" + name + "'");
  return it->second;
}

void TSession::SetLockTimeout(int milliseconds) { State().lockTimeout = std::max(0, milliseconds); }

int TSession::LockTimeout() const { return State().lockTimeout; }

fs::path TSession::ResolveDatabase(const std::string& databaseName) const {
  if (databaseName.empty()) throw EDatabaseError("No database name given");
  {
    std::lock_guard lock(State().mutex);
    auto& st = State();
    auto db = st.databases.find(LowerCase(databaseName));
    std::string alias = db != st.databases.end() ? db->second : LowerCase(databaseName);
    auto it = st.aliases.find(LowerCase(alias));
    if (it != st.aliases.end()) return it->second;
  }
  std::error_code ec;
  if (fs::is_directory(databaseName, ec)) return databaseName;
  throw EDatabaseError("Unknown database '" + databaseName + "'");
}

TSession& Session() {
  static TSession session;
  return session;
}

TDatabase::~TDatabase() { Close(); }

void TDatabase::Open() {
  if (connected_) return;
  if (DatabaseName.empty()) throw EDatabaseError("Database name is missing");
  if (!SessionName.empty() && !SameName(SessionName, "Default"))
    throw EDatabaseError("Unknown session '" + SessionName + "' (only the session \"Default\" exists)");
  fs::path dir = Session().GetAliasPath(AliasName.empty() ? DatabaseName : AliasName);
  (void)dir;
  std::lock_guard lock(State().mutex);
  State().databases[LowerCase(DatabaseName)] = AliasName.empty() ? DatabaseName : AliasName;
  connected_ = true;
}

void TDatabase::Close() {
  if (!connected_) return;
  std::lock_guard lock(State().mutex);
  State().databases.erase(LowerCase(DatabaseName));
  connected_ = false;
}

fs::path TDatabase::Directory() const {
  return Session().GetAliasPath(AliasName.empty() ? DatabaseName : AliasName);
}

// =========================================================================================
// Fields

const TFieldDef& TField::Def() const {
  const TFieldDefs& defs = table_->FieldDefs;
  if (index_ < defs.Count() && SameName(defs[index_].Name, name_)) return defs[index_];
  int i = defs.IndexOf(name_);
  if (i < 0) throw EDatabaseError("Field '" + name_ + "' is no longer defined");
  return defs[i];
}

const std::string& TField::FieldName() const { return name_; }
TFieldType TField::DataType() const { return Def().DataType; }
int TField::Size() const { return Def().Size; }
bool TField::Required() const { return Def().Required; }

bool TField::IsNull() const { return std::holds_alternative<std::monostate>(table_->GetValue(index_)); }

TDbValue TField::Value() const { return table_->GetValue(index_); }

double TField::AsFloat() const {
  try {
    return dbvalue::ToFloat(table_->GetValue(index_), DataType());
  } catch (const EDatabaseError& e) {
    throw EDatabaseError(std::string(e.what()) + " in field '" + FieldName() + "'");
  }
}

std::int32_t TField::AsInteger() const {
  double v = AsFloat();
  if (!(v >= -2147483648.0 && v <= 2147483647.0))
    throw EDatabaseError("Value of field '" + FieldName() + "' is out of the integer range");
  return static_cast<std::int32_t>(std::llround(v));
}

bool TField::AsBoolean() const {
  const TDbValue& v = table_->GetValue(index_);
  if (auto s = std::get_if<std::string>(&v)) {
    std::string l = LowerCase(Trim(*s, kWhiteSpace));
    if (l == "true" || l == "1") return true;
    if (l == "false" || l == "0" || l.empty()) return false;
    throw EDatabaseError("'" + *s + "' is not a valid boolean value in field '" + FieldName() + "'");
  }
  return AsFloat() != 0.0;
}

double TField::AsDateTime() const {
  try {
    return dbvalue::ToDateTime(table_->GetValue(index_), DataType());
  } catch (const EDatabaseError& e) {
    throw EDatabaseError(std::string(e.what()) + " in field '" + FieldName() + "'");
  }
}

std::string TField::AsString() const {
  try {
    return dbvalue::ToText(table_->GetValue(index_), DataType());
  } catch (const EDatabaseError& e) {
    throw EDatabaseError(std::string(e.what()) + " in field '" + FieldName() + "'");
  }
}

void TField::Clear() { table_->SetValue(index_, std::monostate{}); }

void TField::SetAsFloat(double v) {
  switch (DataType()) {
    case ftDateTime:
    case ftDate:
    case ftTime:
      SetAsDateTime(v);
      return;
    case ftInteger:
    case ftSmallint:
      if (!std::isfinite(v) || std::fabs(v) > 2147483647.0)
        throw EDatabaseError("Value " + FormatNumber(v) + " is out of range for field '" + FieldName() + "'");
      SetAsInteger(static_cast<std::int32_t>(std::llround(v)));
      return;
    case ftBoolean:
      SetAsBoolean(v != 0.0);
      return;
    case ftString:
      SetAsString(FormatNumber(v));
      return;
    default:
      table_->SetValue(index_, std::isnan(v) ? TDbValue(std::monostate{}) : TDbValue(v));
  }
}

void TField::SetAsInteger(std::int32_t v) {
  switch (DataType()) {
    case ftSmallint:
      if (v < -32768 || v > 32767)
        throw EDatabaseError("Value " + std::to_string(v) + " is out of range for field '" + FieldName() +
                             "'");
      [[fallthrough]];
    case ftInteger:
      table_->SetValue(index_, static_cast<std::int64_t>(v));
      return;
    case ftBoolean:
      SetAsBoolean(v != 0);
      return;
    case ftString:
      SetAsString(std::to_string(v));
      return;
    default:
      SetAsFloat(v);
  }
}

void TField::SetAsBoolean(bool v) {
  switch (DataType()) {
    case ftBoolean:
    case ftInteger:
    case ftSmallint:
      table_->SetValue(index_, static_cast<std::int64_t>(v ? 1 : 0));
      return;
    case ftString:
      SetAsString(v ? "True" : "False");
      return;
    default:
      throw EDatabaseError("Field '" + FieldName() + "' cannot take a boolean value");
  }
}

void TField::SetAsDateTime(double v) {
  switch (DataType()) {
    case ftDateTime:
      table_->SetValue(index_, dbvalue::DateTimeToIso(v));
      return;
    case ftDate:
      table_->SetValue(index_, dbvalue::DateToIso(std::floor(v)));
      return;
    case ftTime: {
      // The time of day only, kept to the millisecond.
      std::string iso = dbvalue::DateTimeToIso(v);
      table_->SetValue(index_, iso.substr(11));
      return;
    }
    case ftFloat:
      table_->SetValue(index_, v);
      return;
    case ftString:
      SetAsString(dbvalue::ToText(TDbValue(dbvalue::DateTimeToIso(v)), ftDateTime));
      return;
    default:
      throw EDatabaseError("Field '" + FieldName() + "' cannot take a date-time value");
  }
}

void TField::SetAsString(const std::string& text) {
  switch (DataType()) {
    case ftString: {
      int size = Size();
      table_->SetValue(index_,
                       size > 0 ? text.substr(0, Utf8Prefix(text, static_cast<std::size_t>(size))) : text);
      return;
    }
    case ftDateTime:
    case ftDate:
    case ftTime: {
      if (Trim(text, kWhiteSpace).empty()) return Clear();
      double dt;
      if (!dbvalue::ParseDateTime(text, dt))
        throw EDatabaseError("'" + text + "' is not a valid date and time for field '" + FieldName() + "'");
      SetAsDateTime(dt);
      return;
    }
    case ftBoolean: {
      std::string l = LowerCase(Trim(text, kWhiteSpace));
      if (l.empty()) return Clear();
      if (l == "true" || l == "1") return SetAsBoolean(true);
      if (l == "false" || l == "0") return SetAsBoolean(false);
      throw EDatabaseError("'" + text + "' is not a valid boolean value for field '" + FieldName() + "'");
    }
    default: {
      if (Trim(text, kWhiteSpace).empty()) return Clear();
      double v;
      if (!ParseNumber(text, v))
        throw EDatabaseError("'" + text + "' is not a valid number for field '" + FieldName() + "'");
      if ((DataType() == ftInteger || DataType() == ftSmallint) && v != std::floor(v))
        throw EDatabaseError("'" + text + "' is not a valid integer for field '" + FieldName() + "'");
      SetAsFloat(v);
    }
  }
}

// =========================================================================================
// Table

TTable::TTable() = default;

TTable::~TTable() { Close(); }

std::string TTable::Describe() const {
  const fs::path file = FileOrNone();
  return "Table '" + tableName_ + "' (" + (file.empty() ? databaseName_ : file.string()) + ")";
}

fs::path TTable::FileOrNone() const {
  try {
    return FileName();
  } catch (const EDatabaseError&) {
    return {};
  }
}

void TTable::CheckActive(const char* op) const {
  if (state_ == dsInactive) throw EDatabaseError(Describe() + ": " + op + " needs an open table");
}

void TTable::CheckInactive(const char* op) const {
  if (state_ != dsInactive)
    throw EDatabaseError(Describe() + ": " + op + " is not possible on an open table");
}

void TTable::SetDatabaseName(const std::string& name) {
  CheckInactive("changing the database");
  databaseName_ = name;
}

void TTable::SetTableName(const std::string& name) {
  CheckInactive("changing the table name");
  tableName_ = name;
}

fs::path TTable::FileName() const {
  if (state_ != dsInactive) return file_;
  return ResolveTableFile(Session().ResolveDatabase(databaseName_), tableName_);
}

bool TTable::Exists() const {
  const fs::path file = FileName();
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) return false;
  return InUse(file) || !HoldsNoTable(file);
}

void TTable::CreateTable() {
  CheckInactive("CreateTable");
  const Site context{Describe(), FileOrNone()};
  if (FieldDefs.Count() == 0) throw EDatabaseError(context.text + ": no fields defined");
  std::string sql = "CREATE TABLE ";
  fs::path file = FileName();
  std::string sqlName = file.stem().string();
  sql += Quote(sqlName) + " (";
  for (int i = 0; i < FieldDefs.Count(); ++i) {
    const TFieldDef& f = FieldDefs[i];
    if (f.Name.empty() || f.DataType == ftUnknown)
      throw EDatabaseError(context.text + ": field " + std::to_string(i + 1) + " has no name or type");
    if (FieldDefs.IndexOf(f.Name) != i)
      throw EDatabaseError(context.text + ": field '" + f.Name + "' is defined twice");
    if (f.DataType == ftString && f.Size <= 0)
      throw EDatabaseError(context.text + ": string field '" + f.Name + "' needs a size");
    if (i) sql += ", ";
    sql += Quote(f.Name) + " " + TypeName(f.DataType);
    if (f.DataType == ftString) sql += "(" + std::to_string(f.Size) + ")";
    if (f.Required) sql += " NOT NULL";
  }
  if (const TIndexDef* pk = IndexDefs.Primary()) {
    auto keys = SplitFields(pk->Fields);
    if (keys.empty()) throw EDatabaseError(context.text + ": primary index '" + pk->Name + "' has no fields");
    sql += ", PRIMARY KEY (";
    for (std::size_t k = 0; k < keys.size(); ++k) {
      if (FieldDefs.IndexOf(keys[k]) < 0)
        throw EDatabaseError(context.text + ": index field '" + keys[k] + "' is not a field of the table");
      sql += (k ? ", " : "") + Quote(keys[k]);
    }
    sql += ")";
  }
  sql += ")";
  if (InUse(file)) Fail(context, "table is in use", SQLITE_BUSY, TDbCause::InUse);

  // A file that holds no table yet gets the table in it: it stays the file that another
  // program may still have open.
  std::error_code ec;
  if (fs::is_regular_file(file, ec) && HoldsNoTable(file)) {
    Connection conn(OpenFile(file, false, context));
    Transaction tx(conn.db, context);
    if (!Statement(conn.db, TablesQuery("main"), context).Step()) {
      Exec(conn.db, sql, context);
      tx.Commit();
      return;
    }
    // A table was made in it meanwhile: replaced below, as any existing table is.
  }

  // Build the new file beside the old one and move it into place, so that the table is
  // either the old one or the complete new one. A failure (a full disk, say) leaves neither
  // the new file nor its journal files behind.
  const fs::path temp = file.string() + ".new";
  struct RemovedAtTheEnd {  // by then it has been moved into place, unless the creation failed
    const fs::path& temp;
    ~RemovedAtTheEnd() {
      std::error_code ec;
      fs::remove(temp, ec);
      RemoveSideFiles(temp);
    }
  } cleanUp{temp};
  fs::remove(temp, ec);
  RemoveSideFiles(temp);
  {
    Connection conn(OpenFile(temp, true, context));
    Exec(conn.db, sql, context);
    // The table goes from the journal into the file itself before the journal is removed:
    // a checkpoint that finds no room fails here, not silently at the close.
    Exec(conn.db, "PRAGMA wal_checkpoint(TRUNCATE)", context);
    if (int rc = sqlite3_close(conn.db); rc != SQLITE_OK) ThrowEngine(context, conn.db, rc);
    conn.Release();
  }
  RemoveSideFiles(temp);
  RemoveSideFiles(file);  // left from an old table (or from one deleted by a killed process)
  fs::rename(temp, file, ec);
  if (ec)
    Fail(context, "cannot create the table file (" + ec.message() + ")", SQLITE_CANTOPEN,
         CauseOfErrno(ec.value()));
}

TFieldDefs TTable::StoredFieldDefs() const {
  const fs::path file = FileName();
  const Site context{Describe(), FileOrNone()};
  std::error_code ec;
  if (!fs::is_regular_file(file, ec))
    Fail(context, "table does not exist", SQLITE_CANTOPEN, TDbCause::NotFound);
  Connection conn(OpenAsItIs(file, context));
  return ReadStructure(conn.db, "main", context).fields;
}

void TTable::DeleteTable() {
  CheckInactive("DeleteTable");
  fs::path file = FileName();
  const Site context{Describe(), FileOrNone()};
  std::error_code ec;
  if (!fs::is_regular_file(file, ec))
    Fail(context, "table does not exist", SQLITE_CANTOPEN, TDbCause::NotFound);
  if (InUse(file)) Fail(context, "table is in use", SQLITE_BUSY, TDbCause::InUse);
  if (!fs::remove(file, ec) || ec)
    Fail(context, "cannot delete the table file (" + ec.message() + ")", SQLITE_IOERR,
         CauseOfErrno(ec.value()));
  RemoveSideFiles(file);
}

void TTable::EmptyTable() {
  const Site context{Describe(), FileOrNone()};
  if (state_ != dsInactive) {
    CheckBrowseMode();
    Exec(db_, "DELETE FROM " + Quote(sqlName_), context);
    LoadRowIds();
    First();
    return;
  }
  fs::path file = FileName();
  Connection conn(OpenFile(file, false, context));
  Structure s = ReadStructure(conn.db, "main", context);
  Exec(conn.db, "DELETE FROM " + Quote(s.sqlName), context);
}

void TTable::Open() {
  if (state_ != dsInactive) return;
  fs::path file = FileName();
  const Site context{Describe(), FileOrNone()};
  Connection conn(OpenFile(file, false, context));
  Structure s = ReadStructure(conn.db, "main", context);
  db_ = conn.Release();
  file_ = file;
  sqlName_ = s.sqlName;
  FieldDefs = s.fields;
  IndexDefs.Clear();
  if (!s.key.empty()) {
    std::string keys;
    for (const auto& k : s.key) keys += (keys.empty() ? "" : ";") + k;
    IndexDefs.Add("Primary", keys, ixPrimary);
  }
  SyncFields();
  record_.assign(fields_.size(), std::monostate{});
  state_ = dsBrowse;
  AddUser(file_);
  try {
    LoadRowIds();
  } catch (...) {
    Close();
    throw;
  }
  First();
}

void TTable::Close() {
  if (state_ == dsInactive) return;
  state_ = dsInactive;
  sqlite3_close_v2(db_);
  db_ = nullptr;
  RemoveUser(file_);
  rowIds_.clear();
  record_.assign(record_.size(), std::monostate{});
  eof_ = bof_ = true;
  modified_ = false;
}

void TTable::Refresh() {
  CheckActive("Refresh");
  CheckBrowseMode();
  std::int64_t current = pos_ < rowIds_.size() ? rowIds_[pos_] : -1;
  LoadRowIds();
  auto it = std::find(rowIds_.begin(), rowIds_.end(), current);
  pos_ = it != rowIds_.end() ? static_cast<std::size_t>(it - rowIds_.begin()) : 0;
  eof_ = bof_ = rowIds_.empty();
  LoadCurrent();
}

void TTable::LoadRowIds() {
  std::vector<std::string> key;
  if (const TIndexDef* pk = IndexDefs.Primary()) key = SplitFields(pk->Fields);
  Statement q(db_, "SELECT rowid FROM " + Quote(sqlName_) + OrderClause(key), {Describe(), file_});
  rowIds_.clear();
  while (q.Step()) rowIds_.push_back(q.Int(0));
  if (pos_ >= rowIds_.size()) pos_ = rowIds_.empty() ? 0 : rowIds_.size() - 1;
}

void TTable::LoadCurrent() {
  record_.assign(fields_.size(), std::monostate{});
  modified_ = false;
  if (rowIds_.empty()) return;
  Statement q(db_, "SELECT * FROM " + Quote(sqlName_) + " WHERE rowid = ?", {Describe(), file_});
  q.BindInt(1, rowIds_[pos_]);
  if (q.Step()) {
    int n = std::min(q.Columns(), static_cast<int>(record_.size()));
    for (int i = 0; i < n; ++i) record_[static_cast<std::size_t>(i)] = q.Column(i);
  }
}

void TTable::CheckBrowseMode() {
  if (state_ == dsEdit || state_ == dsInsert) {
    if (modified_)
      Post();
    else
      Cancel();
  }
}

void TTable::First() {
  CheckActive("First");
  CheckBrowseMode();
  pos_ = 0;
  eof_ = rowIds_.empty();
  bof_ = true;
  LoadCurrent();
}

void TTable::Last() {
  CheckActive("Last");
  CheckBrowseMode();
  pos_ = rowIds_.empty() ? 0 : rowIds_.size() - 1;
  eof_ = true;
  bof_ = rowIds_.empty();
  LoadCurrent();
}

void TTable::Next() {
  CheckActive("Next");
  CheckBrowseMode();
  if (rowIds_.empty() || pos_ + 1 >= rowIds_.size()) {
    eof_ = true;
    return;
  }
  ++pos_;
  bof_ = eof_ = false;
  LoadCurrent();
}

void TTable::Prior() {
  CheckActive("Prior");
  CheckBrowseMode();
  if (rowIds_.empty() || pos_ == 0) {
    bof_ = true;
    return;
  }
  --pos_;
  bof_ = eof_ = false;
  LoadCurrent();
}

int TTable::RecordCount() const {
  CheckActive("RecordCount");
  return static_cast<int>(rowIds_.size());
}

int TTable::RecNo() const {
  if (state_ != dsBrowse && state_ != dsEdit) return 0;
  return rowIds_.empty() ? 0 : static_cast<int>(pos_) + 1;
}

void TTable::Insert() {
  CheckActive("Insert");
  CheckBrowseMode();
  record_.assign(fields_.size(), std::monostate{});
  state_ = dsInsert;
  modified_ = false;
}

void TTable::Append() { Insert(); }

void TTable::Edit() {
  CheckActive("Edit");
  if (state_ == dsEdit || state_ == dsInsert) return;
  if (rowIds_.empty()) {
    // Editing an empty table starts a new row, as the class library does.
    Insert();
    return;
  }
  LoadCurrent();
  state_ = dsEdit;
}

void TTable::CheckRequired() {
  for (int i = 0; i < FieldDefs.Count(); ++i)
    if (FieldDefs[i].Required && std::holds_alternative<std::monostate>(record_[static_cast<std::size_t>(i)]))
      throw EDatabaseError(Describe() + ": field '" + FieldDefs[i].Name + "' must have a value");
}

void TTable::Post() {
  CheckActive("Post");
  if (state_ == dsBrowse) return;
  const Site context{Describe(), FileOrNone()};
  CheckRequired();
  std::int64_t rowid = 0;
  try {
    if (state_ == dsInsert) {
      std::string cols, params;
      for (int i = 0; i < FieldDefs.Count(); ++i) {
        cols += (i ? ", " : "") + Quote(FieldDefs[i].Name);
        params += i ? ", ?" : "?";
      }
      Statement ins(db_, "INSERT INTO " + Quote(sqlName_) + " (" + cols + ") VALUES (" + params + ")",
                    context);
      for (std::size_t i = 0; i < record_.size(); ++i) ins.Bind(static_cast<int>(i) + 1, record_[i]);
      ins.Step();
      rowid = sqlite3_last_insert_rowid(db_);
    } else {
      rowid = rowIds_[pos_];
      std::string sets;
      for (int i = 0; i < FieldDefs.Count(); ++i) sets += (i ? ", " : "") + Quote(FieldDefs[i].Name) + " = ?";
      Statement upd(db_, "UPDATE " + Quote(sqlName_) + " SET " + sets + " WHERE rowid = ?", context);
      for (std::size_t i = 0; i < record_.size(); ++i) upd.Bind(static_cast<int>(i) + 1, record_[i]);
      upd.BindInt(static_cast<int>(record_.size()) + 1, rowid);
      upd.Step();
      if (sqlite3_changes(db_) == 0) {
        state_ = dsBrowse;
        Refresh();
        Fail(context, "the row was deleted by another user", SQLITE_NOTFOUND, TDbCause::RowDeleted);
      }
    }
  } catch (const EDBEngineError& e) {
    if (e.ErrorCode == SQLITE_CONSTRAINT_PRIMARYKEY || e.ErrorCode == SQLITE_CONSTRAINT_UNIQUE)
      Fail(context, "key violation (a row with this key exists)", e.ErrorCode, TDbCause::KeyViolation);
    throw;
  }
  state_ = dsBrowse;
  LoadRowIds();
  auto it = std::find(rowIds_.begin(), rowIds_.end(), rowid);
  pos_ = it != rowIds_.end() ? static_cast<std::size_t>(it - rowIds_.begin()) : 0;
  eof_ = bof_ = rowIds_.empty();
  LoadCurrent();
}

void TTable::Cancel() {
  CheckActive("Cancel");
  if (state_ == dsBrowse) return;
  state_ = dsBrowse;
  LoadCurrent();
}

void TTable::Delete() {
  CheckActive("Delete");
  if (state_ == dsInsert) {
    Cancel();
    return;
  }
  state_ = dsBrowse;
  if (rowIds_.empty()) throw EDatabaseError(Describe() + ": Delete on an empty table");
  Statement del(db_, "DELETE FROM " + Quote(sqlName_) + " WHERE rowid = ?", {Describe(), file_});
  del.BindInt(1, rowIds_[pos_]);
  del.Step();
  LoadRowIds();
  eof_ = bof_ = rowIds_.empty();
  LoadCurrent();
}

void TTable::SyncFields() {
  // Field objects follow FieldDefs by name, so that a field keeps its presentation settings
  // (and references to it stay valid) across Close, Open and a change of the table.
  bool same = static_cast<int>(fields_.size()) == FieldDefs.Count();
  for (std::size_t i = 0; same && i < fields_.size(); ++i)
    same = fields_[i]->name_ == FieldDefs[static_cast<int>(i)].Name;
  if (same) return;
  std::vector<std::unique_ptr<TField>> fields;
  for (int i = 0; i < FieldDefs.Count(); ++i) {
    auto it = std::find_if(fields_.begin(), fields_.end(), [&](const std::unique_ptr<TField>& f) {
      return f && SameName(f->name_, FieldDefs[i].Name);
    });
    std::unique_ptr<TField> f =
        it != fields_.end() ? std::move(*it) : std::unique_ptr<TField>(new TField(this, i));
    f->index_ = i;
    f->name_ = FieldDefs[i].Name;
    fields.push_back(std::move(f));
  }
  fields_ = std::move(fields);
}

int TTable::FieldCount() const {
  return state_ == dsInactive ? FieldDefs.Count() : static_cast<int>(fields_.size());
}

TField& TTable::Fields(int i) {
  if (state_ == dsInactive) SyncFields();
  if (i < 0 || i >= static_cast<int>(fields_.size()))
    throw EDatabaseError(Describe() + ": no field number " + std::to_string(i));
  return *fields_[static_cast<std::size_t>(i)];
}

TField* TTable::FindField(std::string_view name) {
  if (state_ == dsInactive) SyncFields();
  int i = FieldDefs.IndexOf(name);
  return i < 0 || i >= static_cast<int>(fields_.size()) ? nullptr
                                                        : fields_[static_cast<std::size_t>(i)].get();
}

TField& TTable::FieldByName(std::string_view name) {
  if (TField* f = FindField(name)) return *f;
  throw EDatabaseError(Describe() + ": field '" + std::string(name) + "' not found");
}

const TDbValue& TTable::GetValue(int index) const {
  CheckActive("reading a field");
  return record_.at(static_cast<std::size_t>(index));
}

void TTable::SetValue(int index, TDbValue v) {
  CheckActive("writing a field");
  if (state_ != dsEdit && state_ != dsInsert)
    throw EDatabaseError(Describe() + ": table is not in edit or insert mode");
  record_.at(static_cast<std::size_t>(index)) = std::move(v);
  modified_ = true;
}

// =========================================================================================
// Batch move

namespace {

// Whether a stored value can be taken by a field of the type and size without being lost
// or misread.
bool ValueFits(sqlite3_value* v, TFieldType type, int size) {
  const int kind = sqlite3_value_type(v);
  if (kind == SQLITE_NULL || type == ftUnknown) return true;
  if (kind == SQLITE_BLOB) return false;
  const std::string text = kind == SQLITE_TEXT ? reinterpret_cast<const char*>(sqlite3_value_text(v)) : "";
  switch (type) {
    case ftString:
      if (kind != SQLITE_TEXT) return true;
      return size <= 0 || Utf8Prefix(text, static_cast<std::size_t>(size)) == text.size();
    case ftFloat:
      if (kind != SQLITE_TEXT) return true;
      {
        double d;
        return ParseNumber(text, d);
      }
    case ftInteger:
    case ftSmallint:
    case ftBoolean: {
      double d = kind == SQLITE_TEXT ? 0.0 : sqlite3_value_double(v);
      if (kind == SQLITE_TEXT) {
        const std::string l = LowerCase(Trim(text, kWhiteSpace));
        if (type == ftBoolean && (l == "true" || l == "false")) return true;
        if (!ParseNumber(text, d)) return false;
      }
      if (d != std::floor(d)) return false;
      if (type == ftSmallint) return d >= -32768 && d <= 32767;
      return std::fabs(d) <= 2147483647.0;
    }
    case ftDate:
    case ftTime:
    case ftDateTime: {
      if (kind != SQLITE_TEXT) return true;
      double dt;
      return dbvalue::ParseDateTime(text, dt);
    }
    case ftUnknown:
      break;
  }
  return true;
}

// korvidan_fits(spec, value1, value2, ...): whether every value fits its field; spec holds
// the fields' type and size as "type:size;" per value (parsed once per statement).
void FitsFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  using Spec = std::vector<std::pair<TFieldType, int>>;
  auto* spec = static_cast<Spec*>(sqlite3_get_auxdata(ctx, 0));
  if (spec == nullptr) {
    spec = new Spec;
    const char* text = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    for (const char* p = text ? text : ""; *p;) {
      char* end;
      int type = static_cast<int>(std::strtol(p, &end, 10));
      int size = *end == ':' ? static_cast<int>(std::strtol(end + 1, &end, 10)) : 0;
      spec->emplace_back(static_cast<TFieldType>(type), size);
      p = *end == ';' ? end + 1 : end;
    }
    sqlite3_set_auxdata(ctx, 0, spec, [](void* p) { delete static_cast<Spec*>(p); });
    spec = static_cast<Spec*>(sqlite3_get_auxdata(ctx, 0));
    if (spec == nullptr) {
      sqlite3_result_error_nomem(ctx);
      return;
    }
  }
  bool ok = static_cast<int>(spec->size()) == argc - 1;
  for (int i = 1; ok && i < argc; ++i) {
    const auto& [type, size] = (*spec)[static_cast<std::size_t>(i - 1)];
    ok = ValueFits(argv[i], type, size);
  }
  sqlite3_result_int(ctx, ok ? 1 : 0);
}

}  // namespace

void TBatchMove::Execute() {
  moved_ = keyViol_ = changed_ = problems_ = 0;
  if (!Source || !Destination) throw EDatabaseError("Batch move: source and destination must be set");
  const fs::path src = Source->FileName();
  const fs::path dst = Destination->FileName();
  // A failure is about the destination, unless it is the source's.
  const Site context{"Batch move from " + src.string() + " to " + dst.string(), dst};
  const Site fromSource{context.text, src};
  std::error_code ec;
  if (!fs::is_regular_file(src, ec))
    Fail(fromSource, "source table does not exist", SQLITE_CANTOPEN, TDbCause::NotFound);
  if (fs::equivalent(src, dst, ec))
    throw EDatabaseError(context.text + ": source and destination are one table");

  FileUser srcUser(src), dstUser(dst);  // neither can be deleted meanwhile
  Connection conn(OpenFile(dst, false, context));
  sqlite3* db = conn.db;
  Structure d = ReadStructure(db, "main", context);
  if (d.key.empty())
    throw EDatabaseError(context.text + ": append-and-update needs a primary index on the destination",
                         TDbCause::Layout, dst);
  {
    Statement attach(db, "ATTACH DATABASE ? AS src", fromSource);
    attach.BindText(1, src.string());
    attach.Step();
  }
  if (int rc = sqlite3_create_function(db, "korvidan_fits", -1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                       &FitsFunction, nullptr, nullptr);
      rc != SQLITE_OK)
    ThrowEngine(context, db, rc);
  // From here on the source is attached; the connection's close detaches it.
  Structure s = ReadStructure(db, "src", fromSource);
  std::vector<std::string> cols;
  for (const auto& f : d.fields.Items())
    if (s.fields.IndexOf(f.Name) >= 0) cols.push_back(f.Name);
  for (const auto& k : d.key)
    if (s.fields.IndexOf(k) < 0)
      throw EDatabaseError(context.text + ": the source has no field '" + k + "'", TDbCause::Layout, src);

  std::string colList, keyList, nullKey, updates, fits, differs, join;
  for (const auto& c : cols) colList += (colList.empty() ? "" : ", ") + Quote(c);
  for (const auto& k : d.key) {
    keyList += (keyList.empty() ? "" : ", ") + Quote(k);
    nullKey += (nullKey.empty() ? "" : " OR ") + Quote(k) + " IS NULL";
    join += (join.empty() ? "" : " AND ") + std::string("d.") + Quote(k) + " = s." + Quote(k);
  }
  for (const auto& c : cols) {
    differs += (differs.empty() ? "" : " OR ") + std::string("d.") + Quote(c) + " IS NOT s." + Quote(c);
    if (std::find_if(d.key.begin(), d.key.end(), [&](const std::string& k) { return SameName(k, c); }) ==
        d.key.end())
      updates += (updates.empty() ? "" : ", ") + Quote(c) + " = excluded." + Quote(c);
  }
  // One call a row looks at every value that moves.
  std::string spec;
  for (const auto& c : cols) {
    const TFieldDef& f = d.fields[d.fields.IndexOf(c)];
    spec += std::to_string(static_cast<int>(f.DataType)) + ":" + std::to_string(f.Size) + ";";
  }
  fits = "korvidan_fits('" + spec + "', " + colList + ")";
  const std::string srcTable = "src." + Quote(s.sqlName);
  // Rows without a key go to the key violation table; rows with a value that the
  // destination cannot take (text in a number field, a text longer than its field, no date
  // in a date field) to the problem table; the rest are moved.
  const std::string isKeyViol = "(" + nullKey + ")";
  const std::string isProblem = "(NOT " + isKeyViol + " AND NOT (" + fits + "))";
  std::string isMoved = "(NOT " + isKeyViol + " AND " + fits + ")";
  {
    Statement q(db,
                "SELECT count(*) FILTER (WHERE " + isKeyViol + "), count(*) FILTER (WHERE " + isProblem +
                    ") FROM " + srcTable,
                context);
    q.Step();
    keyViol_ = q.Int(0);
    problems_ = q.Int(1);
  }
  // Without problems every row with a key moves: the values need no second look.
  if (problems_ == 0) isMoved = "(NOT " + isKeyViol + ")";
  if (keyViol_ > 0 && (AbortOnKeyViol || KeyViolTableName.empty()))
    Fail(fromSource, "key violation (" + std::to_string(keyViol_) + " rows without a key value)",
         SQLITE_CONSTRAINT_NOTNULL, TDbCause::KeyViolation);
  if (problems_ > 0 && (AbortOnProblem || ProblemTableName.empty()))
    Fail(fromSource, std::to_string(problems_) + " rows with values that do not fit the destination's fields",
         SQLITE_MISMATCH, TDbCause::Other);

  // The tables that take rows aside live beside the destination; they are made before the
  // move and attached under the given schema name. Their fields are the given ones, none
  // required; with asText every field keeps its value as text.
  auto attachAside = [&](const std::string& name, const std::string& schema, const TFieldDefs& fields,
                         bool asText) {
    TTable t;
    t.SetDatabaseName(dst.parent_path().string());
    t.SetTableName(name);
    if (!t.Exists()) {
      for (const auto& f : fields.Items()) {
        bool text = asText || f.DataType == ftString || f.DataType == ftUnknown;
        t.FieldDefs.Add(f.Name, text ? ftString : f.DataType, text ? std::max(f.Size, 255) : 0, false);
      }
      t.CreateTable();
    }
    Statement attach(db, "ATTACH DATABASE ? AS " + schema, context);
    attach.BindText(1, t.FileName().string());
    attach.Step();
  };
  // Inserts the source rows that meet the condition into an attached aside table.
  auto setAside = [&](const std::string& schema, const std::string& where) {
    Structure k = ReadStructure(db, schema, context);
    std::string asideCols;
    for (const auto& f : k.fields.Items())
      if (s.fields.IndexOf(f.Name) >= 0) asideCols += (asideCols.empty() ? "" : ", ") + Quote(f.Name);
    Exec(db,
         "INSERT INTO " + schema + "." + Quote(k.sqlName) + " (" + asideCols + ") SELECT " + asideCols +
             " FROM " + srcTable + " WHERE " + where + " ORDER BY rowid",
         context);
  };
  // The destination's rows that the move replaces by different values.
  const std::string replaced = " FROM main." + Quote(d.sqlName) + " d JOIN (SELECT * FROM " + srcTable +
                               " WHERE " + isMoved + ") s ON " + join + " WHERE " + differs;
  std::int64_t replacing = 0;
  if (!ChangedTableName.empty()) {
    Statement q(db, "SELECT count(*)" + replaced, context);
    q.Step();
    replacing = q.Int(0);
  }
  if (keyViol_ > 0) attachAside(KeyViolTableName, "kv", s.fields, false);
  if (problems_ > 0) attachAside(ProblemTableName, "pb", s.fields, true);
  if (replacing > 0) attachAside(ChangedTableName, "ch", d.fields, false);

  Transaction tx(db, context);
  if (keyViol_ > 0) setAside("kv", isKeyViol);
  if (problems_ > 0) setAside("pb", isProblem);
  if (replacing > 0) {
    // Copied as they were before the move replaces them.
    Structure k = ReadStructure(db, "ch", context);
    std::string into, from;
    for (const auto& f : k.fields.Items()) {
      if (d.fields.IndexOf(f.Name) < 0) continue;
      into += (into.empty() ? "" : ", ") + Quote(f.Name);
      from += (from.empty() ? "" : ", ") + std::string("d.") + Quote(f.Name);
    }
    Exec(db,
         "INSERT INTO ch." + Quote(k.sqlName) + " (" + into + ") SELECT " + from + replaced +
             " ORDER BY d.rowid",
         context);
    changed_ = sqlite3_changes64(db);
  }
  std::string sql = "INSERT INTO main." + Quote(d.sqlName) + " (" + colList + ") SELECT " + colList +
                    " FROM " + srcTable + " WHERE " + isMoved + " ORDER BY rowid ON CONFLICT (" + keyList +
                    ") DO ";
  sql += updates.empty() ? "NOTHING" : "UPDATE SET " + updates;
  Exec(db, sql, context);
  moved_ = sqlite3_changes64(db);
  tx.Commit();
}

// =========================================================================================
// Row reader

struct TRowReader::Stmt {
  std::unique_ptr<Statement> q;
};

TRowReader::TRowReader(const TTable& table, const std::vector<std::string>& fields) {
  describe_ = "Table '" + table.TableName() + "'";
  Init(table.FileName(), fields);
}

TRowReader::TRowReader(const std::string& databaseName, const std::string& tableName,
                       const std::vector<std::string>& fields) {
  describe_ = "Table '" + tableName + "'";
  Init(ResolveTableFile(Session().ResolveDatabase(databaseName), tableName), fields);
}

void TRowReader::Init(const fs::path& file, const std::vector<std::string>& fields) {
  describe_ += " (" + file.string() + ")";
  file_ = file;
  const Site at{describe_, file};
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) Fail(at, "table does not exist", SQLITE_CANTOPEN, TDbCause::NotFound);
  // A reader changes nothing in the file, not even its journal mode (it may be another
  // program's file, in the place of a table).
  Connection conn(OpenAsItIs(file, at));
  Structure s = ReadStructure(conn.db, "main", at);
  std::string cols;
  if (fields.empty()) {
    defs_ = s.fields;
  } else {
    for (const auto& name : fields) {
      int i = s.fields.IndexOf(name);
      if (i < 0) throw EDatabaseError(describe_ + ": field '" + name + "' not found", TDbCause::Layout, file);
      const TFieldDef& f = s.fields[i];
      defs_.Add(f.Name, f.DataType, f.Size, f.Required);
    }
  }
  for (const auto& f : defs_.Items()) cols += (cols.empty() ? "" : ", ") + Quote(f.Name);
  sqlName_ = s.sqlName;
  select_ = "SELECT " + cols + " FROM " + Quote(s.sqlName) + OrderClause(s.key) + " LIMIT -1 OFFSET ?";
  // One read transaction for the reader's life: every query sees the same rows.
  Exec(conn.db, "BEGIN", at);
  stmt_ = std::make_unique<Stmt>();
  stmt_->q = std::make_unique<Statement>(conn.db, select_, at);
  stmt_->q->BindInt(1, 0);
  row_.assign(static_cast<std::size_t>(defs_.Count()), std::monostate{});
  db_ = conn.Release();
  AddUser(file_);
}

TRowReader::~TRowReader() {
  stmt_.reset();
  if (db_) {
    sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close_v2(db_);
    RemoveUser(file_);
  }
}

std::int64_t TRowReader::RowCount() {
  Statement q(db_, "SELECT count(*) FROM " + Quote(sqlName_), {describe_, file_});
  q.Step();
  return q.Int(0);
}

void TRowReader::Seek(std::int64_t first) {
  stmt_->q.reset();
  stmt_->q = std::make_unique<Statement>(db_, select_, Site{describe_, file_});
  stmt_->q->BindInt(1, std::max<std::int64_t>(0, first));
  row_.assign(static_cast<std::size_t>(defs_.Count()), std::monostate{});
}

bool TRowReader::Next() {
  if (!stmt_->q->Step()) {
    row_.assign(row_.size(), std::monostate{});
    return false;
  }
  for (std::size_t i = 0; i < row_.size(); ++i) row_[i] = stmt_->q->Column(static_cast<int>(i));
  return true;
}

const TDbValue& TRowReader::Cell(int i) const {
  if (i < 0 || i >= static_cast<int>(row_.size()))
    throw EDatabaseError(describe_ + ": no field number " + std::to_string(i));
  return row_[static_cast<std::size_t>(i)];
}

bool TRowReader::IsNull(int i) const { return std::holds_alternative<std::monostate>(Cell(i)); }
double TRowReader::AsFloat(int i) const {
  const TDbValue& v = Cell(i);
  return dbvalue::ToFloat(v, defs_[i].DataType);
}
double TRowReader::AsDateTime(int i) const {
  const TDbValue& v = Cell(i);
  return dbvalue::ToDateTime(v, defs_[i].DataType);
}
std::string TRowReader::AsString(int i) const {
  const TDbValue& v = Cell(i);
  return dbvalue::ToText(v, defs_[i].DataType);
}
TDbValue TRowReader::Value(int i) const { return Cell(i); }
