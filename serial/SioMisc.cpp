// Tick time, event timers, delays and shared helpers.
#include "serial/SioMisc.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/Messages.h"

namespace {

std::atomic<std::uint32_t> gClockOffset{0};

// The performance counter here is CLOCK_MONOTONIC in nanoseconds, 10^9 units a second.
std::uint64_t PerformanceCounter() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

std::uint32_t ComputeQPFreq() {
  const std::uint64_t frequency = 1000000000u;
  auto low = static_cast<std::uint32_t>(frequency);
  if ((frequency >> 32) != 0 || low == 0) return 0;
  return low / 1000 + (low % 1000 > 500 ? 1 : 0);
}

const std::uint32_t gQPFreq = ComputeQPFreq();

bool IsDelimiter(char c) { return c == ':' || c == '\\' || c == '/'; }

// Index of the last delimiter, or npos.
std::size_t LastDelimiter(std::string_view s) {
  for (std::size_t i = s.size(); i > 0; --i)
    if (IsDelimiter(s[i - 1])) return i - 1;
  return std::string_view::npos;
}

// Index of the dot that starts the extension (after the last delimiter), or npos.
std::size_t ExtensionDot(std::string_view name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return dot;
  std::size_t delim = LastDelimiter(name);
  if (delim != std::string_view::npos && delim > dot) return std::string_view::npos;
  return dot;
}

}  // namespace

const std::uint32_t& QPFreq = gQPFreq;

std::uint32_t SioTimeGetTime() {
  std::uint32_t ms;
  if (gQPFreq != 0) {
    ms = static_cast<std::uint32_t>(PerformanceCounter() / gQPFreq);
  } else {
    ms = static_cast<std::uint32_t>(PerformanceCounter() / 1000000u);
  }
  return ms + gClockOffset.load(std::memory_order_relaxed);
}

std::int32_t SioCurrentTick() { return static_cast<std::int32_t>(SioTimeGetTime() / MSecsPerTick); }

void SioSetClockOffset(std::uint32_t offsetMs) { gClockOffset.store(offsetMs, std::memory_order_relaxed); }
std::uint32_t SioClockOffset() { return gClockOffset.load(std::memory_order_relaxed); }

// The products are formed in 64 bits: in 32 bits MSecs2Ticks would overflow from about
// 21 minutes on and Secs2Ticks from about 15 days on.
std::int32_t Secs2Ticks(std::int32_t secs) {
  return static_cast<std::int32_t>(static_cast<std::int64_t>(secs) * 1675 / 92);
}
std::int32_t Ticks2Secs(std::int32_t ticks) {
  return static_cast<std::int32_t>((static_cast<std::int64_t>(ticks) + 9) * 92 / 1675);
}
std::int32_t MSecs2Ticks(std::int32_t msecs) {
  return static_cast<std::int32_t>(static_cast<std::int64_t>(msecs) * 1675 / 92000);
}

void NewTimer(EventTimer& et, std::int32_t ticks) {
  if (ticks > MaxTimerTicks) ticks = MaxTimerTicks;
  et.StartTicks = SioCurrentTick();
  et.ExpireTicks = et.StartTicks + ticks;
}

void NewTimerSecs(EventTimer& et, std::int32_t secs) { NewTimer(et, Secs2Ticks(secs)); }

// A current tick below the start tick means the clock has wrapped since the start; the
// tick counter then restarted after TickWrap values.
bool TimerExpired(const EventTimer& et) {
  std::int32_t now = SioCurrentTick();
  if (now > et.ExpireTicks) return true;
  if (now < et.StartTicks) return now + TickWrap > et.ExpireTicks;
  return false;
}

std::int32_t ElapsedTime(const EventTimer& et) {
  std::int32_t now = SioCurrentTick();
  if (now >= et.StartTicks) return now - et.StartTicks;
  return now + (TickWrap - et.StartTicks);
}

std::int32_t ElapsedTimeInSecs(const EventTimer& et) { return Ticks2Secs(ElapsedTime(et)); }

std::int32_t RemainingTime(const EventTimer& et) {
  std::int32_t now = SioCurrentTick();
  std::int32_t remaining = now >= et.StartTicks ? et.ExpireTicks - now : et.ExpireTicks - TickWrap - now;
  return remaining < 0 ? 0 : remaining;
}

std::int32_t RemainingTimeInSecs(const EventTimer& et) { return Ticks2Secs(RemainingTime(et)); }

std::uint32_t SafeYield() {
  MSG msg;
  if (!PeekMessage(&msg, true)) return 0;
  if (msg.message == WM_QUIT) {
    PostQuitMessage(static_cast<int>(msg.wParam));
  } else {
    DispatchMessage(msg);
  }
  return (msg.message & 0xFFFFu) | ((msg.hwnd & 0xFFFFu) << 16);
}

std::uint32_t DelayTicks(std::int32_t ticks, bool yield) {
  if (ticks < 1) return 0;
  EventTimer et;
  NewTimer(et, ticks);
  std::uint32_t result = 0;
  for (;;) {
    if (yield) {
      result = SafeYield();
      if (result == WM_QUIT) break;
    }
    if (TimerExpired(et)) break;
    if (yield && result != 0) continue;  // more messages may be waiting
    // Sleep until the next tick at the latest; with Yield a message wakes the thread early.
    std::uint32_t waitMs = std::clamp<std::uint32_t>(
        static_cast<std::uint32_t>(RemainingTime(et)) * MSecsPerTick, 1, MSecsPerTick);
    if (yield)
      MsgWaitForMessages(waitMs);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
  }
  return result;
}

std::uint32_t DelayMS(std::uint32_t ms) {
  std::uint32_t passed = 0;
  std::uint32_t last = SioTimeGetTime();
  while (passed < ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms - passed));
    std::uint32_t now = SioTimeGetTime();
    passed += now - last;
    last = now;
  }
  return ms;
}

void NotBuffer(void* buffer, std::size_t size) {
  auto* p = static_cast<unsigned char*>(buffer);
  std::size_t i = 0;
  for (; i + 4 <= size; i += 4) {
    std::uint32_t v;
    std::memcpy(&v, p + i, 4);
    v = ~v;
    std::memcpy(p + i, &v, 4);
  }
  for (; i < size; ++i) p[i] = static_cast<unsigned char>(~p[i]);
}

std::string Long2Str(std::int32_t value) { return std::to_string(value); }

bool Str2LongZ(const char* s, std::int32_t& value) {
  if (!s || !*s) return false;
  const char* p = s;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int base = 10;
  if (*p == '$') {
    base = 16;
    ++p;
  }
  if (!*p) return false;
  std::int64_t v = 0;
  for (; *p; ++p) {
    int digit;
    if (*p >= '0' && *p <= '9')
      digit = *p - '0';
    else if (base == 16 && *p >= 'a' && *p <= 'f')
      digit = *p - 'a' + 10;
    else if (base == 16 && *p >= 'A' && *p <= 'F')
      digit = *p - 'A' + 10;
    else
      return false;
    v = v * base + digit;
    if (v > 0xFFFFFFFFll) return false;
  }
  if (base == 10) {
    if (negative ? v > 2147483648ll : v > 2147483647ll) return false;
    value = static_cast<std::int32_t>(negative ? -v : v);
  } else {
    // hex gives the 32-bit pattern ($FFFFFFFF is -1)
    auto bits = static_cast<std::uint32_t>(v);
    value = static_cast<std::int32_t>(negative ? 0u - bits : bits);
  }
  return true;
}

std::string StrStCopy(std::string_view s, std::size_t pos, std::size_t count) {
  if (pos >= s.size()) return {};
  return std::string(s.substr(pos, count));
}

std::string JustPathname(std::string_view pathName) {
  std::size_t delim = LastDelimiter(pathName);
  if (delim == std::string_view::npos) return {};
  if (delim == 0) return std::string(pathName.substr(0, 1));
  // C:\DIR\F.TXT gives C:\DIR; C:\F.TXT gives C:\ (the delimiter stays after ":")
  if (pathName[delim] != ':' && pathName[delim - 1] == ':') return std::string(pathName.substr(0, delim + 1));
  if (pathName[delim] == ':') return std::string(pathName.substr(0, delim + 1));
  return std::string(pathName.substr(0, delim));
}

std::string JustFilename(std::string_view pathName) {
  std::size_t delim = LastDelimiter(pathName);
  std::string_view name = delim == std::string_view::npos ? pathName : pathName.substr(delim + 1);
  return std::string(name.substr(0, 255));
}

std::string JustExtension(std::string_view name) {
  std::size_t dot = ExtensionDot(name);
  if (dot == std::string_view::npos) return {};
  return std::string(name.substr(dot + 1, 3));
}

std::string AddBackSlash(std::string_view dirName) {
  std::string result(dirName);
  if (!result.empty() && !IsDelimiter(result.back())) result += '\\';
  return result;
}

bool ExistFile(std::string_view fileName) {
  struct stat st {};
  return !fileName.empty() && stat(std::string(fileName).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ForceExtension(std::string_view name, std::string_view ext) {
  std::size_t dot = ExtensionDot(name);
  std::string result(dot == std::string_view::npos ? name : name.substr(0, dot));
  result += '.';
  result += ext;
  return result;
}

std::string DefaultExtension(std::string_view name, std::string_view ext) {
  if (ExtensionDot(name) != std::string_view::npos) return std::string(name);
  std::string result(name);
  result += '.';
  result += ext;
  return result;
}

std::string JustName(std::string_view pathName) {
  std::string name = JustFilename(pathName);
  std::size_t dot = name.find('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

char* CopyToBufferZ(char* dest, std::size_t destSize, std::string_view text) {
  if (!dest || destSize == 0) return dest;
  std::size_t n = std::min(text.size(), destSize - 1);
  std::memcpy(dest, text.data(), n);
  dest[n] = '\0';
  return dest;
}

bool IsWin2000() { return false; }

// ---------------------------------------------------------------------------------------

TLineReader::TLineReader(std::unique_ptr<std::istream> stream) : FStream(std::move(stream)) {
  if (FStream) {
    auto here = FStream->tellg();
    FStream->seekg(0, std::ios::end);
    auto end = FStream->tellg();
    if (here >= 0 && end >= here) FSize = static_cast<std::uint64_t>(end - here);
    FStream->clear();
    FStream->seekg(here);
  }
  ReadPage();
}

void TLineReader::ReadPage() {
  std::size_t count = 0;
  if (FStream && FStream->good()) {
    FStream->read(FPage, PageSize);
    count = static_cast<std::size_t>(FStream->gcount());
  }
  FBytesRead += count;
  FEof = count == 0;
  FPos = 0;
  FLength = count;
  // An LF opening the page is the second half of a CR LF split across the pages when the line
  // before ended at that CR; otherwise it ends a line of its own.
  if (count > 0 && FPage[0] == '\n' && FLineEndedAtPageCR) FPos = 1;
  FLineEndedAtPageCR = false;
  if (count > 0) {
    if (FPage[count - 1] == 26)
      FPage[count - 1] = '\0';
    else
      FPage[count] = '\0';
  } else {
    FPage[0] = '\0';
  }
}

std::string TLineReader::NextLine() {
  std::string result;
  for (;;) {
    const char* start = FPage + FPos;
    const std::size_t left = std::strlen(start);
    // A line ends at CR, CR LF or LF, whichever comes first.
    const std::size_t end = std::strcspn(start, "\r\n");
    if (end < left) {
      result.append(start, end);
      FPos += end + 1;
      if (start[end] == '\r') {
        if (FPage[FPos] == '\n')
          ++FPos;
        else if (FPos == FLength)
          FLineEndedAtPageCR = true;  // its LF, if any, opens the next page
      }
      return result;
    }
    result.append(start, left);
    ReadPage();
    if (FEof) return result;
  }
}

// ---------------------------------------------------------------------------------------

TSioStr::TSioStr(std::size_t maxLen) { SetMaxLen(maxLen); }

void TSioStr::SetMaxLen(std::size_t n) {
  if (n != FMaxLen || (n > 0 && !FBuffer)) {
    FBuffer.reset(n > 0 ? new char[n + 5] : nullptr);
    FMaxLen = n;
  }
  if (FBuffer) FBuffer[0] = '\0';
  FLen = 0;
  FCursor = 0;
}

void TSioStr::Resize(std::size_t n) {
  std::string keep(Str().substr(0, n > 0 ? n - 1 : 0));
  SetMaxLen(n);
  if (FBuffer) {
    std::memcpy(FBuffer.get(), keep.data(), keep.size());
    FBuffer[keep.size()] = '\0';
    FLen = keep.size();
  }
}

void TSioStr::Grow(std::size_t newLen) {
  if (newLen <= FMaxLen) return;
  std::string keep(Str());
  SetMaxLen(newLen);
  std::memcpy(FBuffer.get(), keep.data(), keep.size());
  FBuffer[keep.size()] = '\0';
  FLen = keep.size();
}

void TSioStr::Append(std::string_view s) {
  if (s.empty()) return;
  std::size_t cursor = FCursor;
  Grow(FLen + s.size());
  std::memcpy(FBuffer.get() + FLen, s.data(), s.size());
  FLen += s.size();
  FBuffer[FLen] = '\0';
  FCursor = cursor;
}

void TSioStr::Prepend(std::string_view s) {
  if (s.empty()) return;
  std::string text(s);
  text += Str();
  std::size_t cursor = FCursor;
  Grow(text.size());
  std::memcpy(FBuffer.get(), text.data(), text.size());
  FLen = text.size();
  FBuffer[FLen] = '\0';
  FCursor = cursor;
}

void TSioStr::Insert(std::string_view s, std::size_t pos) {
  if (s.empty() || pos < 1 || pos > FLen) return;
  std::string text(Str());
  text.insert(pos - 1, s);
  std::size_t cursor = FCursor;
  Grow(text.size());
  std::memcpy(FBuffer.get(), text.data(), text.size());
  FLen = text.size();
  FBuffer[FLen] = '\0';
  FCursor = cursor;
}

void TSioStr::Delete(std::size_t pos, std::size_t count) {
  if (pos == 0 || count == 0 || pos > FLen) return;
  std::size_t n = std::min(count, FLen - pos + 1);
  std::memmove(FBuffer.get() + pos - 1, FBuffer.get() + pos - 1 + n, FLen - (pos - 1 + n) + 1);
  FLen -= n;
  if (FCursor > FLen) FCursor = FLen;
}

std::string TSioStr::Copy(std::size_t pos, std::size_t count) const {
  if (pos == 0 || count == 0 || pos > FLen) return {};
  return std::string(Str().substr(pos - 1, count));
}

std::size_t TSioStr::PosIdx(std::string_view s, std::size_t from) {
  if (from == 0 || from > FLen || s.empty()) return 0;
  std::size_t found = Str().find(s, from - 1);
  if (found == std::string_view::npos) return 0;
  FCursor = found;
  return found + 1;
}

void TSioStr::Assign(const TSioStr& other) {
  std::string text(other.Str());
  SetMaxLen(other.FMaxLen);
  if (FBuffer) {
    std::memcpy(FBuffer.get(), text.data(), text.size());
    FBuffer[text.size()] = '\0';
  }
  FLen = text.size();
  FCursor = other.FCursor;
}

void TSioStr::Clear() {
  if (FBuffer) FBuffer[0] = '\0';
  FLen = 0;
  FCursor = 0;
}

void TSioStr::MoveBy(std::ptrdiff_t n) {
  std::ptrdiff_t pos = static_cast<std::ptrdiff_t>(FCursor) + n;
  FCursor = static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(pos, 0, static_cast<std::ptrdiff_t>(FLen)));
}

void TSioStr::GotoPos(std::size_t pos) { FCursor = std::min(pos > 0 ? pos - 1 : 0, FLen); }

void TSioStr::SetLen(std::size_t n) {
  if (n > FLen) return;
  FLen = n;
  if (FBuffer) FBuffer[FLen] = '\0';
  if (FCursor > FLen) FCursor = FLen;
}
