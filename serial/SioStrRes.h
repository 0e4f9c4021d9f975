#pragma once
// String tables of the library: program resources in the "STR0" layout.
//
// Layout (little-endian): the signature "STR0", the entry count (u32), then per entry an
// index record of 12 bytes (id i32, offset of the text from the start of the resource u32,
// length in UTF-16 units u32) sorted by id ascending, then the texts in UTF-16LE without
// terminators. A lookup is a binary search over the index; a missing id gives empty text.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "serial/Sioexcept.h"

// Faults of string resources (not a library error code, so not under ESIOException).
class ESioStringResourceError : public Exception {
 public:
  using Exception::Exception;
};

// A set of named resources standing in for a loadable module. A null module instance means
// the program's own resources (FindResource of platform/Resources.h).
class TSioResourceModule {
 public:
  void Add(std::string name, std::vector<std::uint8_t> data) {
    FResources[std::move(name)] = std::move(data);
  }
  std::optional<std::span<const std::uint8_t>> Find(std::string_view name) const;

 private:
  std::map<std::string, std::vector<std::uint8_t>, std::less<>> FResources;
};
using TSioInstance = const TSioResourceModule*;

#pragma pack(push, 1)
struct TIndexRec {
  std::int32_t id;
  std::uint32_t ofs;
  std::uint32_t len;
};
struct TResourceRec {
  char id[4];
  std::uint32_t count;
  // count TIndexRec entries follow
};
#pragma pack(pop)
static_assert(sizeof(TIndexRec) == 12 && sizeof(TResourceRec) == 8);

class TSioStringResource {
 public:
  static constexpr char ResID[4] = {'S', 'T', 'R', '0'};

  // Opens the named table; raises ESioStringResourceError when it is missing or invalid.
  TSioStringResource(TSioInstance instance, std::string_view resourceName);
  ~TSioStringResource();
  TSioStringResource(const TSioStringResource&) = delete;
  TSioStringResource& operator=(const TSioStringResource&) = delete;

  // Closes the current table and, when Name is not empty, opens the named one.
  void ChangeResource(TSioInstance instance, std::string_view resourceName);

  // The text in the ANSI code page (Windows-1252; characters outside it become '?').
  std::string GetString(int id);
  // The text into a NUL-terminated ANSI buffer of bufSize bytes (the text is cut by whole
  // UTF-16 units until it fits); an unknown id gives an empty string. Returns buffer.
  char* GetAsciiZ(int id, char* buffer, std::size_t bufSize);
  // The text into a NUL-terminated UTF-16 buffer of bufChars units. Returns buffer.
  char16_t* GetWideChar(int id, char16_t* buffer, std::size_t bufChars);

  // The raw UTF-16 text; empty when not found.
  std::u16string GetWide(int id);
  // The text as UTF-8, for the user interface.
  std::string GetUtf8(int id);
  bool IsOpen() const { return FResource.has_value(); }

 private:
  void srOpenResource(TSioInstance instance, std::string_view name);
  void srCloseResource();
  void srLock();
  void srUnLock();
  // Index record of the id in the open table, or null.
  const std::uint8_t* srFindIdent(int id) const;

  std::optional<std::span<const std::uint8_t>> FResource;  // the loaded table
  const std::uint8_t* FLocked = nullptr;                   // data while locked
  int FLockCount = 0;
};

// The reader's own messages ("SIOSRMGR_STRINGS"), process-wide.
TSioStringResource& SioResStrings();

// Text encodings used around the tables.
std::string Utf16ToAnsi(std::u16string_view text);  // to Windows-1252, '?' for others
std::string Utf16ToUtf8(std::u16string_view text);

// Ids of text groups in the error-text table.
constexpr int sidFaxStatusFirst = 4801;
constexpr int sidFaxStatusLast = 4843;
constexpr int sidProtocolStatusFirst = 4700;
constexpr int sidProtocolStatusLast = 4723;
constexpr int sidTapiCallStateBase = 13500;  // + 1-based bit of the call state
constexpr int sidTapiLineStateBase = 13532;  // + 1-based bit of the line device state
constexpr int sidTapiReplyBase = 13564;
constexpr int sidTapiOtherBase = 13596;
constexpr int sidTapiRetryWait = 13600;       // "Waiting for retry in %d seconds"
constexpr int sidTapiDisconnectBase = 13650;  // + 1-based bit of the disconnect reason
constexpr int sidCallerIDBlocked = 13937;
constexpr int sidOutOfAreaCall = 13938;
constexpr int sidDispatchTypeBase = 15001;     // + TDispatchType ordinal
constexpr int sidDispatchSubTypeBase = 15100;  // + TDispatchSubType value (1..251, B+ behind)
constexpr int sidDispatchLogHeading = 15501;
constexpr int sidDispatchLogRule = 15502;
constexpr int sidModemStatusBitBase = 15601;  // + bit number 0..7
constexpr int sidTelnetOptionBase = 15700;    // + option 0..42
