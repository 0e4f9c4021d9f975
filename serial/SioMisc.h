#pragma once
// Tick time, event timers, delays and the small shared helpers of the library.
//
// The library measures time in ticks of 55 ms on a 32-bit millisecond clock and waits with
// event timers. The millisecond clock wraps after 2^32 ms; the tick counter (ms / 55) then
// restarts from 0 after tick 78090314. Timers stay right across that wrap as long as they
// are asked within one wrap period (about 49.7 days).
#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <string_view>

// ---------------------------------------------------------------------------------------
// Clock and ticks
// ---------------------------------------------------------------------------------------

// Largest span a timer accepts (2147483647 div 55).
constexpr std::int32_t MaxTimerTicks = 39045157;
// Number of distinct tick values of the 32-bit millisecond clock: ticks run 0 .. 78090314.
constexpr std::int32_t TickWrap = 78090315;
constexpr std::uint32_t MSecsPerTick = 55;

// Performance-counter units per millisecond, set once at start-up; 0 when not used.
extern const std::uint32_t& QPFreq;

// Milliseconds of a monotonic clock, low 32 bits.
std::uint32_t SioTimeGetTime();
// Current tick: SioTimeGetTime() div 55.
std::int32_t SioCurrentTick();

// Test hook: a value added (modulo 2^32) to every reading of the millisecond clock, so that
// tests can place the clock just before its wrap or move it forward.
void SioSetClockOffset(std::uint32_t offsetMs);
std::uint32_t SioClockOffset();

std::int32_t Secs2Ticks(std::int32_t secs);    // secs * 1675 div 92
std::int32_t Ticks2Secs(std::int32_t ticks);   // (ticks + 9) * 92 div 1675
std::int32_t MSecs2Ticks(std::int32_t msecs);  // msecs * 1675 div 92000

// ---------------------------------------------------------------------------------------
// Event timers
// ---------------------------------------------------------------------------------------

struct EventTimer {
  std::int32_t StartTicks = 0;
  std::int32_t ExpireTicks = 0;
};

void NewTimer(EventTimer& et, std::int32_t ticks);
void NewTimerSecs(EventTimer& et, std::int32_t secs);
bool TimerExpired(const EventTimer& et);
std::int32_t ElapsedTime(const EventTimer& et);
std::int32_t ElapsedTimeInSecs(const EventTimer& et);
std::int32_t RemainingTime(const EventTimer& et);
std::int32_t RemainingTimeInSecs(const EventTimer& et);

// ---------------------------------------------------------------------------------------
// Waiting
// ---------------------------------------------------------------------------------------

// Takes at most one message of the calling thread's queue and dispatches it; a quit message
// is posted again (with its exit code) and not dispatched. Result: 0 when there was none,
// else the message number in the low word and the low word of its window in the high word.
std::uint32_t SafeYield();
// Waits Ticks ticks; with Yield the calling thread's messages are handled meanwhile and a
// quit message ends the wait early. Returns the last SafeYield result (0 without Yield).
// The thread sleeps between checks.
std::uint32_t DelayTicks(std::int32_t ticks, bool yield);
// Returns after MS milliseconds of the clock have passed (sleeping, no messages handled).
std::uint32_t DelayMS(std::uint32_t ms);

// ---------------------------------------------------------------------------------------
// Flags and pointers
// ---------------------------------------------------------------------------------------

inline bool FlagIsSet(std::uint32_t flags, std::uint32_t mask) { return (flags & mask) != 0; }
inline void SetFlag(std::uint32_t& flags, std::uint32_t mask) { flags |= mask; }
inline void ClearFlag(std::uint32_t& flags, std::uint32_t mask) { flags &= ~mask; }
inline bool ByteFlagIsSet(std::uint8_t flags, std::uint8_t mask) { return (flags & mask) != 0; }
inline void SetByteFlag(std::uint8_t& flags, std::uint8_t mask) { flags |= mask; }
inline void ClearByteFlag(std::uint8_t& flags, std::uint8_t mask) {
  flags &= static_cast<std::uint8_t>(~mask);
}
inline std::uint16_t MinWord(std::uint16_t a, std::uint16_t b) { return a < b ? a : b; }
inline void* AddWordToPtr(void* p, std::size_t n) { return static_cast<char*>(p) + n; }
inline const void* AddWordToPtr(const void* p, std::size_t n) { return static_cast<const char*>(p) + n; }
inline void* GetPtr(void* p, std::size_t n) { return static_cast<char*>(p) + n; }
inline const void* GetPtr(const void* p, std::size_t n) { return static_cast<const char*>(p) + n; }
// Inverts every bit of Size bytes.
void NotBuffer(void* buffer, std::size_t size);

// ---------------------------------------------------------------------------------------
// Texts and file names
// ---------------------------------------------------------------------------------------
// Path delimiters are ":" and "\" and, on this platform, "/".
// The ...Z forms write a NUL-terminated text into the caller's buffer and return it; the
// text is cut to fit the buffer (array forms take its size from the array).

std::string Long2Str(std::int32_t value);
// Value of the whole text (optional sign, decimal digits, or "$" and hex digits); false
// when the text is empty, has other characters or does not fit in 32 bits (L unchanged).
bool Str2LongZ(const char* s, std::int32_t& value);
std::string StrStCopy(std::string_view s, std::size_t pos, std::size_t count);
std::string JustPathname(std::string_view pathName);
std::string JustFilename(std::string_view pathName);
std::string JustExtension(std::string_view name);
std::string AddBackSlash(std::string_view dirName);
bool ExistFile(std::string_view fileName);
std::string ForceExtension(std::string_view name, std::string_view ext);
std::string DefaultExtension(std::string_view name, std::string_view ext);
// File name without path and without everything from its first ".".
std::string JustName(std::string_view pathName);

char* CopyToBufferZ(char* dest, std::size_t destSize, std::string_view text);

inline char* Long2StrZ(char* dest, std::size_t destSize, std::int32_t value) {
  return CopyToBufferZ(dest, destSize, Long2Str(value));
}
inline char* StrStCopy(char* dest, std::size_t destSize, const char* s, std::size_t pos, std::size_t count) {
  return CopyToBufferZ(dest, destSize, StrStCopy(std::string_view(s ? s : ""), pos, count));
}
inline char* JustPathnameZ(char* dest, std::size_t destSize, const char* pathName) {
  return CopyToBufferZ(dest, destSize, JustPathname(pathName ? pathName : ""));
}
inline char* JustFilenameZ(char* dest, std::size_t destSize, const char* pathName) {
  return CopyToBufferZ(dest, destSize, JustFilename(pathName ? pathName : ""));
}
inline char* JustExtensionZ(char* dest, std::size_t destSize, const char* name) {
  return CopyToBufferZ(dest, destSize, JustExtension(name ? name : ""));
}
inline char* AddBackSlashZ(char* dest, std::size_t destSize, const char* dirName) {
  return CopyToBufferZ(dest, destSize, AddBackSlash(dirName ? dirName : ""));
}
inline bool ExistFileZ(const char* fileName) { return fileName && ExistFile(fileName); }
inline char* ForceExtensionZ(char* dest, std::size_t destSize, const char* name, const char* ext) {
  return CopyToBufferZ(dest, destSize, ForceExtension(name ? name : "", ext ? ext : ""));
}
inline char* DefaultExtensionZ(char* dest, std::size_t destSize, const char* name, const char* ext) {
  return CopyToBufferZ(dest, destSize, DefaultExtension(name ? name : "", ext ? ext : ""));
}

template <std::size_t N>
char* Long2StrZ(char (&dest)[N], std::int32_t value) {
  return Long2StrZ(dest, N, value);
}
template <std::size_t N>
char* JustPathnameZ(char (&dest)[N], const char* p) {
  return JustPathnameZ(dest, N, p);
}
template <std::size_t N>
char* JustFilenameZ(char (&dest)[N], const char* p) {
  return JustFilenameZ(dest, N, p);
}
template <std::size_t N>
char* JustExtensionZ(char (&dest)[N], const char* p) {
  return JustExtensionZ(dest, N, p);
}
template <std::size_t N>
char* AddBackSlashZ(char (&dest)[N], const char* p) {
  return AddBackSlashZ(dest, N, p);
}
template <std::size_t N>
char* ForceExtensionZ(char (&dest)[N], const char* n, const char* e) {
  return ForceExtensionZ(dest, N, n, e);
}
template <std::size_t N>
char* DefaultExtensionZ(char (&dest)[N], const char* n, const char* e) {
  return DefaultExtensionZ(dest, N, n, e);
}

// True when the operating system is the NT platform at major version 5 (never here).
bool IsWin2000();

// ---------------------------------------------------------------------------------------
// Line reader
// ---------------------------------------------------------------------------------------

// Reads a text stream line by line, page by page (4096 bytes). A line ends at CR LF, CR or
// LF (files of either system, or a mix of them, give one line per line end); an end-of-text
// mark (26) closing a page is dropped; a NUL byte ends the text of its page. The reader owns
// the stream.
class TLineReader {
 public:
  static constexpr std::size_t PageSize = 4096;

  explicit TLineReader(std::unique_ptr<std::istream> stream);
  // The next line (bytes as they are in the stream).
  std::string NextLine();
  // True once a read found no more data; the line returned together with it is the last.
  bool Eof() const { return FEof; }
  std::uint64_t Size() const { return FSize; }
  std::uint64_t BytesRead() const { return FBytesRead; }

 private:
  void ReadPage();

  std::unique_ptr<std::istream> FStream;
  std::uint64_t FSize = 0;
  std::uint64_t FBytesRead = 0;
  bool FEof = false;
  bool FLineEndedAtPageCR = false;  // the last line ended at the CR that closed its page
  std::size_t FPos = 0;
  std::size_t FLength = 0;  // bytes in the page
  char FPage[PageSize + 1] = {};
};

// ---------------------------------------------------------------------------------------
// String buffer
// ---------------------------------------------------------------------------------------

// A NUL-terminated character buffer with a maximum length and a cursor. Positions are
// 1-based; the cursor is a 0-based index into the buffer (0 .. length).
class TSioStr {
 public:
  explicit TSioStr(std::size_t maxLen = 0);
  TSioStr(const TSioStr& other) { Assign(other); }
  TSioStr& operator=(const TSioStr& other) {
    if (this != &other) Assign(other);
    return *this;
  }

  void SetMaxLen(std::size_t n);
  void Resize(std::size_t n);
  void Append(std::string_view s);
  void AppendBuff(const char* p) { Append(p ? std::string_view(p) : std::string_view()); }
  void AppendTSioStr(const TSioStr& other) { Append(other.Str()); }
  void Prepend(std::string_view s);
  void Insert(std::string_view s, std::size_t pos);
  void Delete(std::size_t pos, std::size_t count);
  std::string Copy(std::size_t pos, std::size_t count) const;
  std::size_t Pos(std::string_view s) { return PosIdx(s, 1); }
  std::size_t PosIdx(std::string_view s, std::size_t from);
  void Assign(const TSioStr& other);
  void Clear();

  void First() { FCursor = 0; }
  void Last() { FCursor = FLen > 0 ? FLen - 1 : 0; }
  void Next() { MoveBy(1); }
  void Prev() { MoveBy(-1); }
  void MoveBy(std::ptrdiff_t n);
  void GotoPos(std::size_t pos);
  std::size_t CursorPos() const { return FCursor + 1; }

  char GetChar(std::size_t pos) const { return pos >= 1 && pos <= FLen ? FBuffer[pos - 1] : '\0'; }
  void SetChar(std::size_t pos, char c) {
    if (pos >= 1 && pos <= FLen && c != '\0') FBuffer[pos - 1] = c;
  }
  char GetCurChar() const { return FCursor < FLen ? FBuffer[FCursor] : '\0'; }
  std::size_t GetLen() const { return FLen; }
  std::size_t GetMaxLen() const { return FMaxLen; }
  std::size_t GetBuffLen() const { return FMaxLen + 1; }
  void SetLen(std::size_t n);

  std::string_view Str() const {
    return FBuffer ? std::string_view(FBuffer.get(), FLen) : std::string_view();
  }
  const char* Buffer() const { return FBuffer ? FBuffer.get() : ""; }

 private:
  void Grow(std::size_t newLen);

  std::unique_ptr<char[]> FBuffer;
  std::size_t FMaxLen = 0;
  std::size_t FLen = 0;
  std::size_t FCursor = 0;
};

// ---------------------------------------------------------------------------------------
// Component bases
// ---------------------------------------------------------------------------------------

// Component state bits.
constexpr std::uint32_t csLoading = 0x1;
constexpr std::uint32_t csDesigning = 0x10;
constexpr std::uint32_t csDestroying = 0x8;

// Base of the library's non-visual components and of its windowed controls: the read-only
// Version property ("v3.01") and the component state that CheckException asks.
class TSioBaseComponent {
 public:
  virtual ~TSioBaseComponent() = default;
  std::string GetVersion() const { return "v3.01"; }
  void SetVersion(std::string_view) {}  // read-only in effect
  std::uint32_t ComponentState = 0;
};

class TSioBaseWinControl {
 public:
  virtual ~TSioBaseWinControl() = default;
  std::string GetVersion() const { return "v3.01"; }
  void SetVersion(std::string_view) {}
  std::uint32_t ComponentState = 0;
};

inline bool ComponentIsLoading(const TSioBaseComponent& c) { return (c.ComponentState & csLoading) != 0; }
inline bool ComponentIsLoading(const TSioBaseWinControl& c) { return (c.ComponentState & csLoading) != 0; }
