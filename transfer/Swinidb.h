#pragma once
// A small record database kept in an INI file: one section per record (named by the
// record's index value), an "Index" section listing the records and a "Defaults" section
// with the record count ("_Entries") and every field's default value.
//
// The INI file itself is read and written by the private-profile routines below: sections
// and keys compare without regard to case, every change rewrites the file through a
// temporary file and a rename. A bare file name (no directory) names the file in the current
// directory when it is there, else the one in the system directory ($XDG_CONFIG_HOME/korvidan,
// by default ~/.config/korvidan).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// ----- private-profile routines -----
std::string IniResolveFileName(const std::string& fileName);
bool IniFileExists(const std::string& fileName);
// Value of a key, or def when the file, the section or the key is missing.
std::string IniReadString(const std::string& fileName, std::string_view section, std::string_view key,
                          std::string_view def);
// Writes a value; a missing value removes the key. False when the file cannot be written.
bool IniWriteString(const std::string& fileName, std::string_view section, std::string_view key,
                    std::optional<std::string_view> value);
// Creates the section when missing (empty).
bool IniEnsureSection(const std::string& fileName, std::string_view section);
bool IniEraseSection(const std::string& fileName, std::string_view section);
// Keys of a section in file order; nullopt when the file or section cannot be read.
std::optional<std::vector<std::string>> IniSectionKeys(const std::string& fileName, std::string_view section);

// ----- the record database -----
constexpr int MaxIniNameLen = 21;
constexpr int MaxIniRecords = 999;
constexpr int MaxIniRecordSize = 65520;
constexpr int MaxIniIndexWidth = 31;

struct TIniField {
  std::string Name;
  int Size = 0;  // bytes in the record image
  bool IsString = false;
  bool IsIndex = false;
};

struct TIniDatabase {
  std::string FName;
  std::vector<TIniField> Fields;
  int NumRecords = 0;
  int RecordSize = 0;
  std::vector<std::uint8_t> Defaults;
  bool Prepared = false;
};

int iInitIniDatabase(TIniDatabase*& database, const std::string& fileName);
void iDoneIniDatabase(TIniDatabase*& database);
int iAddIniDBStringField(TIniDatabase* database, const std::string& name, int width, bool isIndex);
int iAddIniDBIntField(TIniDatabase* database, const std::string& name);
int iPrepareIniDatabase(TIniDatabase* database, const std::uint8_t* defaults);
int iChangeIniDefaults(TIniDatabase* database, const std::uint8_t* defaults);
bool iKeyExists(TIniDatabase* database, const std::string& key);
int iAddIniRecord(TIniDatabase* database, const std::uint8_t* record);
int iUpdIniRecord(TIniDatabase* database, const std::string& oldKey, const std::uint8_t* record);
int iDelIniRecord(TIniDatabase* database, const std::string& key);
// record must hold RecordSize bytes.
int iGetIniRecord(TIniDatabase* database, const std::string& key, std::uint8_t* record);
int iGetIniIndexRecSize(TIniDatabase* database);
int iAllocIniIndexRec(TIniDatabase* database, std::vector<char>& block, int size);
void iDeallocIniIndexRec(TIniDatabase* database, std::vector<char>& block, int& size);
// The keys of "Index", each followed by a zero, ended by an empty key; cut to size bytes.
int iLoadIniIndex(TIniDatabase* database, std::vector<char>& block, int size);
int iNumIniRecs(TIniDatabase* database);
int iWriteToIni(TIniDatabase* database, const std::uint8_t* record, const std::string& section,
                const std::string& fileName);
int iReadFromIni(TIniDatabase* database, std::uint8_t* record, const std::string& section,
                 const std::string& fileName);

// Field access within a record image (helpers for callers that build images).
int iFieldOffset(const TIniDatabase* database, const std::string& name);
void iSetStringField(const TIniDatabase* database, std::uint8_t* record, const std::string& name,
                     std::string_view value);
std::string iGetStringField(const TIniDatabase* database, const std::uint8_t* record,
                            const std::string& name);
