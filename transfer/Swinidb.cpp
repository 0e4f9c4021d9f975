// INI-file record database and the private-profile routines under it.
#include "transfer/Swinidb.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/Text.h"
#include "serial/Sioexcept.h"

// ---------------------------------------------------------------------------------------
// Private-profile files
// ---------------------------------------------------------------------------------------

namespace {

struct TIniEntry {
  std::string Key;
  std::string Value;
};
struct TIniSection {
  std::string Name;
  std::vector<TIniEntry> Entries;
};
using TIniContent = std::vector<TIniSection>;

std::string SystemDirectory() {
  std::string base;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x) {
    base = x;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home && *home ? home : ".") + "/.config";
  }
  return base + "/korvidan";
}

bool PlainFileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Blanks around names and values; other control characters are part of a value.
constexpr std::string_view kBlanks = " \t\r\n";

std::string_view TrimView(std::string_view s) {
  std::size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

// The whole file; false when it cannot be opened. Read straight, as every value read reads it.
bool ReadText(const std::string& path, std::string& text) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  text.clear();
  if (::fstat(fd, &st) == 0 && st.st_size > 0) text.reserve(static_cast<std::size_t>(st.st_size));
  char chunk[8192];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

// Walks a file's lines in order: onSection(name) for a section header, onEntry(key, value) for
// a key line inside a section, both with blanks trimmed; comments, blank lines and key lines
// before the first section are passed over. A callback that returns false ends the walk.
template <class OnSection, class OnEntry>
void WalkContent(std::string_view text, OnSection onSection, OnEntry onEntry) {
  bool inSection = false;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = TrimView(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line[0] == ';') continue;
    if (line.front() == '[') {
      inSection = true;
      if (!onSection(TrimView(line.substr(1, line.find(']') - 1)))) return;
      continue;
    }
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos || !inSection) continue;
    if (!onEntry(TrimView(line.substr(0, eq)), TrimView(line.substr(eq + 1)))) return;
  }
}

bool ReadContent(const std::string& path, TIniContent& content) {
  content.clear();
  std::string text;
  if (!ReadText(path, text)) return false;
  WalkContent(
      text,
      [&](std::string_view name) {
        content.push_back({std::string(name), {}});
        return true;
      },
      [&](std::string_view key, std::string_view value) {
        content.back().Entries.push_back({std::string(key), std::string(value)});
        return true;
      });
  return true;
}

bool WriteContent(const std::string& path, const TIniContent& content) {
  std::ostringstream out;
  for (std::size_t i = 0; i < content.size(); ++i) {
    if (i) out << "\r\n";
    out << '[' << content[i].Name << "]\r\n";
    for (const auto& e : content[i].Entries) out << e.Key << '=' << e.Value << "\r\n";
  }
  std::string dir = path.substr(0, path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/'));
  if (!dir.empty()) ::mkdir(dir.c_str(), 0755);  // the system directory may be missing
  std::string tmp = path + ".tmp" + std::to_string(::getpid());
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    if (!f) return false;
    f << out.str();
    f.flush();
    if (!f) {
      std::remove(tmp.c_str());
      return false;
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

TIniSection* FindSection(TIniContent& c, std::string_view name) {
  for (auto& s : c)
    if (SameText(s.Name, name)) return &s;
  return nullptr;
}

TIniEntry* FindEntry(TIniSection& s, std::string_view key) {
  for (auto& e : s.Entries)
    if (SameText(e.Key, key)) return &e;
  return nullptr;
}

}  // namespace

std::string IniResolveFileName(const std::string& fileName) {
  if (fileName.find('/') != std::string::npos) return fileName;
  if (PlainFileExists(fileName)) return fileName;
  return SystemDirectory() + "/" + fileName;
}

bool IniFileExists(const std::string& fileName) { return PlainFileExists(IniResolveFileName(fileName)); }

std::string IniReadString(const std::string& fileName, std::string_view section, std::string_view key,
                          std::string_view def) {
  // Read for every value, so only the first section of the name and its first entry of the key
  // are looked at, and nothing else of the file is kept.
  std::string text;
  if (!ReadText(IniResolveFileName(fileName), text)) return std::string(def);
  enum { Before, Inside, After } where = Before;
  std::string value(def);
  WalkContent(
      text,
      [&](std::string_view name) {
        if (where == Inside) where = After;
        else if (where == Before && SameText(name, section)) where = Inside;
        return where != After;
      },
      [&](std::string_view k, std::string_view v) {
        if (where != Inside || !SameText(k, key)) return true;
        value = std::string(v);
        return false;
      });
  return value;
}

bool IniWriteString(const std::string& fileName, std::string_view section, std::string_view key,
                    std::optional<std::string_view> value) {
  std::string path = IniResolveFileName(fileName);
  TIniContent c;
  ReadContent(path, c);
  TIniSection* s = FindSection(c, section);
  if (!s) {
    if (!value) return true;
    c.push_back({std::string(section), {}});
    s = &c.back();
  }
  TIniEntry* e = FindEntry(*s, key);
  if (!value) {
    if (!e) return true;
    s->Entries.erase(s->Entries.begin() + (e - s->Entries.data()));
  } else if (e) {
    e->Value = std::string(*value);
  } else {
    s->Entries.push_back({std::string(key), std::string(*value)});
  }
  return WriteContent(path, c);
}

bool IniEnsureSection(const std::string& fileName, std::string_view section) {
  std::string path = IniResolveFileName(fileName);
  TIniContent c;
  ReadContent(path, c);
  if (FindSection(c, section) && PlainFileExists(path)) return true;
  if (!FindSection(c, section)) c.push_back({std::string(section), {}});
  return WriteContent(path, c);
}

bool IniEraseSection(const std::string& fileName, std::string_view section) {
  std::string path = IniResolveFileName(fileName);
  TIniContent c;
  if (!ReadContent(path, c)) return false;
  auto it =
      std::remove_if(c.begin(), c.end(), [&](const TIniSection& s) { return SameText(s.Name, section); });
  if (it == c.end()) return true;
  c.erase(it, c.end());
  return WriteContent(path, c);
}

std::optional<std::vector<std::string>> IniSectionKeys(const std::string& fileName,
                                                       std::string_view section) {
  TIniContent c;
  if (!ReadContent(IniResolveFileName(fileName), c)) return std::nullopt;
  TIniSection* s = FindSection(c, section);
  if (!s) return std::nullopt;
  std::vector<std::string> keys;
  for (const auto& e : s->Entries) keys.push_back(e.Key);
  return keys;
}

// ---------------------------------------------------------------------------------------
// Record database
// ---------------------------------------------------------------------------------------

namespace {

constexpr const char* IndexSection = "Index";
constexpr const char* DefaultsSection = "Defaults";
constexpr const char* EntriesKey = "_Entries";

const TIniField* IndexField(const TIniDatabase* db) {
  for (const auto& f : db->Fields)
    if (f.IsIndex) return &f;
  return nullptr;
}

int OffsetOf(const TIniDatabase* db, const TIniField* field) {
  int ofs = 0;
  for (const auto& f : db->Fields) {
    if (&f == field) return ofs;
    ofs += f.Size;
  }
  return -1;
}

std::string StringAt(const std::uint8_t* record, int ofs, int size) {
  const char* p = reinterpret_cast<const char*>(record + ofs);
  return std::string(p, strnlen(p, static_cast<std::size_t>(size)));
}

void PutString(std::uint8_t* record, int ofs, int size, std::string_view value) {
  std::size_t n = std::min<std::size_t>(value.size(), static_cast<std::size_t>(size - 1));
  std::memset(record + ofs, 0, static_cast<std::size_t>(size));
  std::memcpy(record + ofs, value.data(), n);
}

std::int32_t IntAt(const std::uint8_t* record, int ofs) {
  std::int32_t v;
  std::memcpy(&v, record + ofs, 4);
  return v;
}

void PutInt(std::uint8_t* record, int ofs, std::int32_t v) { std::memcpy(record + ofs, &v, 4); }

std::string FieldText(const TIniField& f, const std::uint8_t* record, int ofs) {
  return f.IsString ? StringAt(record, ofs, f.Size) : std::to_string(IntAt(record, ofs));
}

std::string IndexValue(const TIniDatabase* db, const std::uint8_t* record) {
  const TIniField* idx = IndexField(db);
  return idx ? StringAt(record, OffsetOf(db, idx), idx->Size) : std::string();
}

bool WriteEntries(TIniDatabase* db) {
  return IniWriteString(db->FName, DefaultsSection, EntriesKey, std::to_string(db->NumRecords));
}

// The non-index fields of a record into its section.
bool WriteFields(TIniDatabase* db, const std::string& section, const std::uint8_t* record) {
  int ofs = 0;
  for (const auto& f : db->Fields) {
    if (!f.IsIndex) {
      std::string text = FieldText(f, record, ofs);
      bool ok;
      if (text.empty()) {
        // an empty value removes the key, unless it holds the empty marker "#"
        if (IniReadString(db->FName, section, f.Name, "") == "#")
          ok = true;
        else
          ok = IniWriteString(db->FName, section, f.Name, std::nullopt);
      } else {
        ok = IniWriteString(db->FName, section, f.Name, text);
      }
      if (!ok) return false;
    }
    ofs += f.Size;
  }
  return true;
}

int CheckName(const std::string& name) {
  return name.size() > static_cast<std::size_t>(MaxIniNameLen) ? ecKeyTooLong : 0;
}

}  // namespace

int iInitIniDatabase(TIniDatabase*& database, const std::string& fileName) {
  database = new TIniDatabase();
  database->FName = fileName;
  return 0;
}

void iDoneIniDatabase(TIniDatabase*& database) {
  delete database;
  database = nullptr;
}

int iAddIniDBStringField(TIniDatabase* database, const std::string& name, int width, bool isIndex) {
  if (int rc = CheckName(name)) return rc;
  if (width < 0 || database->RecordSize + width + 1 > MaxIniRecordSize) return ecDataTooLarge;
  if (isIndex && width > MaxIniIndexWidth) return ecDataTooLarge;
  database->Fields.push_back({name, width + 1, true, isIndex});
  database->RecordSize += width + 1;
  return 0;
}

int iAddIniDBIntField(TIniDatabase* database, const std::string& name) {
  if (int rc = CheckName(name)) return rc;
  if (database->RecordSize + 4 > MaxIniRecordSize) return ecDataTooLarge;
  database->Fields.push_back({name, 4, false, false});
  database->RecordSize += 4;
  return 0;
}

int iChangeIniDefaults(TIniDatabase* database, const std::uint8_t* defaults) {
  if (database->Fields.empty()) return ecNoFieldsDefined;
  database->Defaults.assign(defaults, defaults + database->RecordSize);
  int ofs = 0;
  for (const auto& f : database->Fields) {
    if (!f.IsIndex && !IniWriteString(database->FName, DefaultsSection, f.Name, FieldText(f, defaults, ofs)))
      return ecIniWrite;
    ofs += f.Size;
  }
  return 0;
}

int iPrepareIniDatabase(TIniDatabase* database, const std::uint8_t* defaults) {
  if (database->Fields.empty()) return ecNoFieldsDefined;
  if (!IndexField(database)) return ecNoIndexKey;
  database->Defaults.assign(static_cast<std::size_t>(database->RecordSize), 0);
  if (IniFileExists(database->FName)) {
    database->NumRecords = std::clamp(
        StrToIntDef(IniReadString(database->FName, DefaultsSection, EntriesKey, "0"), 0), 0, MaxIniRecords);
    int ofs = 0;
    for (const auto& f : database->Fields) {
      if (!f.IsIndex) {
        std::string v = IniReadString(database->FName, DefaultsSection, f.Name, "");
        if (f.IsString)
          PutString(database->Defaults.data(), ofs, f.Size, v == "#" ? "" : v);
        else
          PutInt(database->Defaults.data(), ofs, StrToIntDef(v, 0));
      }
      ofs += f.Size;
    }
  } else {
    if (!IniEnsureSection(database->FName, IndexSection)) return ecIniWrite;
    database->NumRecords = 0;
    if (!WriteEntries(database)) return ecIniWrite;
    if (defaults) {
      if (int rc = iChangeIniDefaults(database, defaults)) return rc;
    }
  }
  database->Prepared = true;
  return 0;
}

bool iKeyExists(TIniDatabase* database, const std::string& key) {
  return !key.empty() && IniReadString(database->FName, IndexSection, key, "") == "#";
}

int iAddIniRecord(TIniDatabase* database, const std::uint8_t* record) {
  if (database->Fields.empty()) return ecNoFieldsDefined;
  if (!database->Prepared) return ecDatabaseNotPrepared;
  if (database->NumRecords >= MaxIniRecords) return ecDatabaseFull;
  std::string key = IndexValue(database, record);
  if (key.empty()) return ecMustHaveIdxVal;
  if (iKeyExists(database, key)) return ecRecordExists;
  if (!IniWriteString(database->FName, IndexSection, key, "#")) return ecIniWrite;
  if (!WriteFields(database, key, record)) return ecIniWrite;
  ++database->NumRecords;
  return WriteEntries(database) ? 0 : ecIniWrite;
}

int iDelIniRecord(TIniDatabase* database, const std::string& key) {
  if (!database->Prepared) return ecDatabaseNotPrepared;
  if (!iKeyExists(database, key)) return ecRecordNotFound;
  if (!IniWriteString(database->FName, IndexSection, key, std::nullopt)) return ecIniWrite;
  if (!IniEraseSection(database->FName, key)) return ecIniWrite;
  if (database->NumRecords > 0) --database->NumRecords;
  return WriteEntries(database) ? 0 : ecIniWrite;
}

int iUpdIniRecord(TIniDatabase* database, const std::string& oldKey, const std::uint8_t* record) {
  if (!database->Prepared) return ecDatabaseNotPrepared;
  if (!iKeyExists(database, oldKey)) return ecRecordNotFound;
  std::string key = IndexValue(database, record);
  if (SameText(key, oldKey)) return WriteFields(database, oldKey, record) ? 0 : ecIniWrite;
  if (key.empty()) return ecMustHaveIdxVal;
  if (iKeyExists(database, key)) return ecRecordExists;  // would otherwise lose the old record
  if (int rc = iDelIniRecord(database, oldKey)) return rc;
  return iAddIniRecord(database, record);
}

int iGetIniRecord(TIniDatabase* database, const std::string& key, std::uint8_t* record) {
  if (!database->Prepared) return ecDatabaseNotPrepared;
  if (!iKeyExists(database, key)) return ecRecordNotFound;
  int ofs = 0;
  for (const auto& f : database->Fields) {
    const std::uint8_t* def = database->Defaults.data();
    if (f.IsIndex) {
      PutString(record, ofs, f.Size, key);
    } else if (f.IsString) {
      std::string v = IniReadString(database->FName, key, f.Name, StringAt(def, ofs, f.Size));
      PutString(record, ofs, f.Size, v == "#" ? "" : v);
    } else {
      PutInt(record, ofs, StrToIntDef(IniReadString(database->FName, key, f.Name, ""), IntAt(def, ofs)));
    }
    ofs += f.Size;
  }
  return 0;
}

int iGetIniIndexRecSize(TIniDatabase* database) { return database->NumRecords * 31 + 1; }

int iAllocIniIndexRec(TIniDatabase* database, std::vector<char>& block, int size) {
  if (size <= 0) return ecDatabaseEmpty;
  block.assign(static_cast<std::size_t>(size), 0);
  return 0;
}

void iDeallocIniIndexRec(TIniDatabase* database, std::vector<char>& block, int& size) {
  block.clear();
  block.shrink_to_fit();
  size = 0;
}

int iLoadIniIndex(TIniDatabase* database, std::vector<char>& block, int size) {
  if (database->NumRecords == 0) return ecDatabaseEmpty;
  if (!database->Prepared) return ecDatabaseNotPrepared;
  auto keys = IniSectionKeys(database->FName, IndexSection);
  if (!keys) return ecIniRead;
  block.assign(static_cast<std::size_t>(std::max(size, 1)), 0);
  std::size_t pos = 0;
  for (const auto& k : *keys) {
    if (IniReadString(database->FName, IndexSection, k, "") != "#") continue;
    if (pos + k.size() + 2 > block.size()) break;  // whole names only, room for the end mark
    std::memcpy(block.data() + pos, k.data(), k.size());
    pos += k.size();
    block[pos++] = 0;
  }
  return 0;
}

int iNumIniRecs(TIniDatabase* database) { return database->NumRecords; }

int iWriteToIni(TIniDatabase* database, const std::uint8_t* record, const std::string& section,
                const std::string& fileName) {
  int ofs = 0;
  for (const auto& f : database->Fields) {
    if (!IniWriteString(fileName, section, f.Name, FieldText(f, record, ofs))) return ecIniWrite;
    ofs += f.Size;
  }
  return 0;
}

int iReadFromIni(TIniDatabase* database, std::uint8_t* record, const std::string& section,
                 const std::string& fileName) {
  int ofs = 0;
  const std::uint8_t* def = database->Defaults.size() == static_cast<std::size_t>(database->RecordSize)
                                ? database->Defaults.data()
                                : nullptr;
  for (const auto& f : database->Fields) {
    if (f.IsString) {
      std::string v = IniReadString(fileName, section, f.Name, def ? StringAt(def, ofs, f.Size) : "");
      PutString(record, ofs, f.Size, v == "#" ? "" : v);
    } else {
      PutInt(record, ofs,
             StrToIntDef(IniReadString(fileName, section, f.Name, ""), def ? IntAt(def, ofs) : 0));
    }
    ofs += f.Size;
  }
  return 0;
}

int iFieldOffset(const TIniDatabase* database, const std::string& name) {
  int ofs = 0;
  for (const auto& f : database->Fields) {
    if (SameText(f.Name, name)) return ofs;
    ofs += f.Size;
  }
  return -1;
}

void iSetStringField(const TIniDatabase* database, std::uint8_t* record, const std::string& name,
                     std::string_view value) {
  for (const auto& f : database->Fields)
    if (SameText(f.Name, name) && f.IsString) {
      PutString(record, iFieldOffset(database, name), f.Size, value);
      return;
    }
}

std::string iGetStringField(const TIniDatabase* database, const std::uint8_t* record,
                            const std::string& name) {
  for (const auto& f : database->Fields)
    if (SameText(f.Name, name) && f.IsString) return StringAt(record, iFieldOffset(database, name), f.Size);
  return {};
}
