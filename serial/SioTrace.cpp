// The trace and the dispatch log of a port, and their text files.
#include "serial/SioTrace.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/Text.h"
#include "serial/SioStrRes.h"
#include "serial/Sioexcept.h"

namespace {

constexpr const char* kLineEnd = "\r\n";
constexpr std::uint32_t kMaxTraceEntries = 4000000;
constexpr int kRightMargin = 78;
constexpr int kLogBytesColumn = 45;

// Labels of the log come from the library's string table; an id without text gives "".
std::string Label(int id) {
  static TSioStringResource* table = [] {
    try {
      return new TSioStringResource(nullptr, "SIO_ERROR_STRINGS_ENGLISH");
    } catch (const std::exception&) {
      return static_cast<TSioStringResource*>(nullptr);
    }
  }();
  static std::mutex lock;
  if (table == nullptr) return {};
  std::lock_guard<std::mutex> g(lock);
  return table->GetString(id);
}

// One byte as the files show it (its length is the number of columns it takes).
std::string ByteText(std::uint8_t c, bool inHex, bool allHex) {
  char buf[8];
  if (allHex) {
    std::snprintf(buf, sizeof buf, "[%02X]", c);
    return buf;
  }
  std::uint8_t lowest = inHex ? 0x21 : 0x20;
  if (c < lowest || c > 0x7E) {
    if (inHex)
      std::snprintf(buf, sizeof buf, "[%02X]", c);
    else
      std::snprintf(buf, sizeof buf, "[%u]", static_cast<unsigned>(c));
    return buf;
  }
  return std::string(1, static_cast<char>(c));
}

std::string CompilerText() {
#if defined(__clang__)
  return std::string("Clang ") + __clang_version__ + ", C++20";
#elif defined(__GNUC__)
  return std::string("GCC ") + __VERSION__ + ", C++20";
#else
  return "C++20";
#endif
}

// The platform is none of the three the log knows by name, so it is "Unknown", followed by
// the kernel's major and minor version and its release text.
std::string OperatingSystemText() {
  std::string s = "Unknown";
  utsname u{};
  if (::uname(&u) == 0) {
    unsigned major = 0, minor = 0;
    std::sscanf(u.release, "%u.%u", &major, &minor);
    s += std::to_string(major) + "." + std::to_string(minor) + " " + u.sysname + " " + u.release;
  }
  if (s.size() > 80) s.resize(80);
  return s;
}

// Opens the file for writing; 0 or the library code of the error.
int OpenTextFile(std::FILE*& f, std::string_view name, bool append) {
  std::string path(name);
  // Append only to a file that exists; otherwise the file is made anew.
  const char* mode = "wb";
  if (append) {
    if (std::FILE* probe = std::fopen(path.c_str(), "rb")) {
      std::fclose(probe);
      mode = "ab";
    }
  }
  errno = 0;
  f = std::fopen(path.c_str(), mode);
  if (f == nullptr) return SioErrorFromErrno(errno != 0 ? errno : EIO, true);
  return 0;
}

// Writes the text and closes the file; 0 or the library code of the first error.
int WriteAndClose(std::FILE* f, const std::string& text) {
  int result = 0;
  errno = 0;
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), f) != text.size())
    result = SioErrorFromErrno(errno != 0 ? errno : EIO, true);
  errno = 0;
  if (std::fflush(f) != 0 && result == 0) result = SioErrorFromErrno(errno != 0 ? errno : EIO, true);
  errno = 0;
  if (std::fclose(f) != 0 && result == 0) result = SioErrorFromErrno(errno != 0 ? errno : EIO, true);
  return result;
}

}  // namespace

TSioTraceLog::~TSioTraceLog() { Bind(nullptr); }

void TSioTraceLog::Bind(TSioBaseDispatcher* dispatcher) {
  TSioBaseDispatcher* old;
  {
    std::lock_guard<std::recursive_mutex> g(FLock);
    old = FDispatcher;
    FDispatcher = dispatcher;
  }
  // The dispatcher's lock is never taken while ours is held.
  if (old != nullptr && old != dispatcher) {
    old->SetTracing(false);
    old->SetDispatchLogging(false);
    old->SetRecorder(nullptr);
  }
  if (dispatcher != nullptr) {
    dispatcher->SetRecorder(this);
    std::lock_guard<std::recursive_mutex> g(FLock);
    SyncFlags();
  }
}

void TSioTraceLog::SyncFlags() {
  if (FDispatcher == nullptr) return;
  FDispatcher->SetTracing(FTraceOn && !FTraceQueue.empty());
  FDispatcher->SetDispatchLogging(FLogOn && !FLogRing.empty());
}

// ---------------------------------------------------------------------------------------
// Trace
// ---------------------------------------------------------------------------------------

bool TSioTraceLog::HasTraceBuffer() {
  std::lock_guard<std::recursive_mutex> g(FLock);
  return !FTraceQueue.empty();
}

bool TSioTraceLog::TracingOn() {
  std::lock_guard<std::recursive_mutex> g(FLock);
  return FTraceOn;
}

int TSioTraceLog::InitTracing(std::uint32_t numEntries) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  if (!FTraceQueue.empty()) {
    FTraceIndex = 0;
    FTraceWrapped = false;
  } else {
    // An empty buffer could hold nothing: refused like one that is too large.
    if (numEntries == 0 || numEntries > kMaxTraceEntries) return ecBadArgument;
    try {
      FTraceQueue.assign(static_cast<std::size_t>(numEntries) * 2, 0);
    } catch (const std::bad_alloc&) {
      return ecOutOfMemory;
    }
    FTraceMax = numEntries;
    FTraceIndex = 0;
    FTraceWrapped = false;
  }
  FTraceOn = true;
  SyncFlags();
  return 0;
}

void TSioTraceLog::AddTraceEntry(char kind, std::uint8_t c) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  if (FTraceQueue.empty() || !FTraceOn) return;
  FTraceQueue[FTraceIndex * 2] = static_cast<std::uint8_t>(kind);
  FTraceQueue[FTraceIndex * 2 + 1] = c;
  if (++FTraceIndex >= FTraceMax) {
    FTraceIndex = 0;
    FTraceWrapped = true;
  }
}

void TSioTraceLog::TraceEntry(char kind, std::uint8_t c) { AddTraceEntry(kind, c); }

int TSioTraceLog::StartTracing() {
  std::lock_guard<std::recursive_mutex> g(FLock);
  if (!FTraceQueue.empty()) FTraceOn = true;
  SyncFlags();
  return 0;
}

int TSioTraceLog::StopTracing() {
  std::lock_guard<std::recursive_mutex> g(FLock);
  FTraceOn = false;
  SyncFlags();
  return 0;
}

int TSioTraceLog::ClearTracing() {
  std::lock_guard<std::recursive_mutex> g(FLock);
  FTraceIndex = 0;
  FTraceWrapped = false;
  return 0;
}

void TSioTraceLog::FreeTrace() {
  FTraceOn = false;
  std::vector<std::uint8_t>().swap(FTraceQueue);
  FTraceIndex = 0;
  FTraceMax = 0;
  FTraceWrapped = false;
  SyncFlags();
}

int TSioTraceLog::AbortTracing() {
  std::lock_guard<std::recursive_mutex> g(FLock);
  FreeTrace();
  return 0;
}

int TSioTraceLog::DumpTrace(std::string_view fileName, bool inHex, bool allHex) {
  return DumpTracePrim(fileName, false, inHex, allHex);
}

int TSioTraceLog::AppendTrace(std::string_view fileName, bool inHex, bool allHex) {
  return DumpTracePrim(fileName, true, inHex, allHex);
}

int TSioTraceLog::DumpTracePrim(std::string_view fileName, bool append, bool inHex, bool allHex) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  if (FTraceQueue.empty()) return 0;
  FTraceOn = false;
  SyncFlags();
  if (FTraceIndex == 0 && !FTraceWrapped) {
    FreeTrace();
    return 0;
  }
  std::FILE* f = nullptr;
  if (int r = OpenTextFile(f, fileName, append); r != 0) {
    FreeTrace();
    return r;
  }

  std::string out;
  std::uint32_t start = FTraceWrapped ? FTraceIndex : 0;
  std::uint32_t count = FTraceWrapped ? FTraceMax : FTraceIndex;
  int column = 0;
  bool first = true;
  std::uint8_t previous = 0;
  for (std::uint32_t n = 0; n < count; ++n) {
    std::uint32_t i = (start + n) % FTraceMax;
    std::uint8_t kind = FTraceQueue[i * 2];
    std::uint8_t c = FTraceQueue[i * 2 + 1];
    if (first || kind != previous) {
      if (!first) {
        out += "\r\n";
        out += kLineEnd;
      }
      column = 0;
      if (kind == 'R')
        out += "Receive: ";
      else if (kind == 'T')
        out += "Transmit: ";
      else {
        out += "Special-";
        out += static_cast<char>(kind);
        out += ": ";
      }
      out += kLineEnd;
      previous = kind;
      first = false;
    }
    std::string text = ByteText(c, inHex, allHex);
    int width = static_cast<int>(text.size());
    column += width;
    if (column > kRightMargin) {
      out += kLineEnd;
      column = width;
    }
    out += text;
  }
  int r = WriteAndClose(f, out);
  FreeTrace();
  return r;
}

// ---------------------------------------------------------------------------------------
// Dispatch log
// ---------------------------------------------------------------------------------------

bool TSioTraceLog::HasLogRing() {
  std::lock_guard<std::recursive_mutex> g(FLock);
  return !FLogRing.empty();
}

bool TSioTraceLog::LoggingOn() {
  std::lock_guard<std::recursive_mutex> g(FLock);
  return FLogOn;
}

std::uint32_t TSioTraceLog::GetDispatchTime() {
  std::lock_guard<std::recursive_mutex> g(FLock);
  return FDispatcher != nullptr ? FDispatcher->GetDispatchTime() : 0;
}

int TSioTraceLog::InitDispatchLogging(std::uint32_t size) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  if (!FLogRing.empty()) {
    FLogHead = FLogTail = 0;
    FLogFree = static_cast<std::uint32_t>(FLogRing.size());
  } else {
    if (size == 0) return ecBadArgument;
    try {
      FLogRing.assign(size, 0);
    } catch (const std::bad_alloc&) {
      return ecOutOfMemory;
    }
    FLogHead = FLogTail = 0;
    FLogFree = size;
  }
  FLogOn = true;
  SyncFlags();
  return 0;
}

void TSioTraceLog::PushBytes(const void* bytes, std::uint32_t count) {
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  const auto size = static_cast<std::uint32_t>(FLogRing.size());
  std::uint32_t first = std::min(count, size - FLogHead);
  std::memcpy(FLogRing.data() + FLogHead, p, first);
  if (count > first) std::memcpy(FLogRing.data(), p + first, count - first);
  FLogHead = (FLogHead + count) % size;
  FLogFree -= count;
}

void TSioTraceLog::PopBytes(void* bytes, std::uint32_t count) {
  auto* p = static_cast<std::uint8_t*>(bytes);
  const auto size = static_cast<std::uint32_t>(FLogRing.size());
  std::uint32_t first = std::min(count, size - FLogTail);
  if (p != nullptr) {
    std::memcpy(p, FLogRing.data() + FLogTail, first);
    if (count > first) std::memcpy(p + first, FLogRing.data(), count - first);
  }
  FLogTail = (FLogTail + count) % size;
  FLogFree += count;
}

bool TSioTraceLog::PushDLEntry(const TDispatchRecord& record, const void* bytes) {
  // A record and its bytes go in together, so that the ring never holds one without the
  // other; an entry that could never fit is not logged.
  const std::uint64_t total = sizeof(TDispatchRecord) + static_cast<std::uint64_t>(record.MoreData);
  if (FLogRing.empty() || total >= FLogRing.size()) return false;
  TDispatchRecord dropped;
  std::vector<std::uint8_t> scratch;
  while (FLogFree < total) {
    if (PopLastDLEntry(dropped, scratch)) break;
  }
  PushBytes(&record, sizeof record);
  if (record.MoreData > 0) PushBytes(bytes, record.MoreData);
  return true;
}

bool TSioTraceLog::PopLastDLEntry(TDispatchRecord& record, std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  if (FLogRing.empty() || FLogFree >= FLogRing.size()) return true;
  PopBytes(&record, sizeof record);
  // The buffer is sized by the entry, whatever the queue sizes of the port.
  bytes.resize(record.MoreData);
  PopBytes(bytes.data(), record.MoreData);
  return false;
}

void TSioTraceLog::AddDispatchEntry(TDispatchType type, TDispatchSubType subType, std::uint32_t data,
                                    const void* bytes, std::uint32_t count) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  if (FLogRing.empty() || !FLogOn) return;
  TDispatchRecord r{};
  r.EventType = static_cast<std::uint8_t>(type);
  r.SubType = subType;
  r.Time = FDispatcher != nullptr ? FDispatcher->GetDispatchTime() : 0;
  r.Data = data;
  r.MoreData = bytes != nullptr ? count : 0;
  PushDLEntry(r, bytes);
}

void TSioTraceLog::DispatchEntry(TDispatchType type, TDispatchSubType subType, std::uint32_t data,
                                 const void* bytes, std::uint32_t count) {
  AddDispatchEntry(type, subType, data, bytes, count);
}

void TSioTraceLog::AddStringToLog(std::string_view text) {
  AddDispatchEntry(dtUser, dstNone, 0, text.data(), static_cast<std::uint32_t>(text.size()));
}

int TSioTraceLog::StartDispatchLogging() {
  std::lock_guard<std::recursive_mutex> g(FLock);
  if (!FLogRing.empty()) FLogOn = true;
  SyncFlags();
  return 0;
}

int TSioTraceLog::StopDispatchLogging() {
  std::lock_guard<std::recursive_mutex> g(FLock);
  FLogOn = false;
  SyncFlags();
  return 0;
}

int TSioTraceLog::ClearDispatchLogging() {
  std::lock_guard<std::recursive_mutex> g(FLock);
  FLogHead = FLogTail = 0;
  FLogFree = static_cast<std::uint32_t>(FLogRing.size());
  return 0;
}

void TSioTraceLog::FreeLog() {
  FLogOn = false;
  std::vector<std::uint8_t>().swap(FLogRing);
  FLogHead = FLogTail = FLogFree = 0;
  SyncFlags();
}

int TSioTraceLog::AbortDispatchLogging() {
  std::lock_guard<std::recursive_mutex> g(FLock);
  FreeLog();
  return 0;
}

int TSioTraceLog::DumpDispatchLog(std::string_view fileName, bool inHex, bool allHex) {
  return DumpDispatchLogPrim(fileName, false, inHex, allHex);
}

int TSioTraceLog::AppendDispatchLog(std::string_view fileName, bool inHex, bool allHex) {
  return DumpDispatchLogPrim(fileName, true, inHex, allHex);
}

std::string TSioTraceLog::FormatLogTime(std::uint32_t ms) {
  // Seconds with three decimals. The point goes before the last three digits, so that
  // times from 10000 s on (about 2.8 hours) keep their value and only grow a digit.
  char digits[16];
  std::snprintf(digits, sizeof digits, "%07u", ms);
  std::string s(digits);
  s.insert(s.size() - 3, ".");
  return s;
}

int TSioTraceLog::DumpDispatchLogPrim(std::string_view fileName, bool append, bool inHex, bool allHex) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  if (FLogRing.empty() || FLogFree >= FLogRing.size()) {
    FreeLog();
    return 0;
  }
  FLogOn = false;
  SyncFlags();
  std::FILE* f = nullptr;
  if (int r = OpenTextFile(f, fileName, append); r != 0) return r;  // the ring is kept

  std::string out;
  out += "SIO v3.01";
  out += kLineEnd;
  out += "Compiler : " + CompilerText() + kLineEnd;
  out += "Operating System : " + OperatingSystemText() + kLineEnd;
  out += Label(sidDispatchLogHeading) + kLineEnd;
  out += Label(sidDispatchLogRule) + kLineEnd;

  static const char* const kStatusKinds[] = {"(Not active)",         "(Modem status)",       "(Line status)",
                                             "(Output buffer free)", "(Output buffer used)", "(Output sent)"};
  TDispatchRecord rec{};
  std::vector<std::uint8_t> bytes;
  while (!PopLastDLEntry(rec, bytes)) {
    std::string typeLabel =
        rec.EventType <= dtUser ? Label(sidDispatchTypeBase + rec.EventType) : std::string();
    std::string subLabel = rec.SubType != 0 ? Label(sidDispatchSubTypeBase + rec.SubType) : std::string();
    char line[128];
    std::snprintf(line, sizeof line, "%8s  %-8s  %-12s  %08x  ", FormatLogTime(rec.Time).c_str(),
                  typeLabel.c_str(), subLabel.c_str(), rec.Data);
    out += line;
    if (!bytes.empty()) {
      if (rec.SubType == dstStatusTrigger &&
          (rec.EventType == dtTriggerAlloc || rec.EventType == dtTriggerDispose) && bytes[0] <= 5) {
        out += kStatusKinds[bytes[0]];
      } else {
        int column = kLogBytesColumn;
        bool raw = allHex && rec.EventType == dtUser;
        for (std::uint8_t c : bytes) {
          std::string text = raw ? std::string(1, static_cast<char>(c)) : ByteText(c, inHex, allHex);
          int width = static_cast<int>(text.size());
          if (column + width > kRightMargin) {
            out += kLineEnd;
            out += std::string(kLogBytesColumn - 1, ' ');
            column = width + kLogBytesColumn;
          } else {
            column += width;
          }
          out += text;
        }
      }
      if (rec.SubType == dstModemStatus) {
        std::string names;
        for (int bit = 0; bit < 8; ++bit)
          if (rec.Data & (1u << bit)) names += Label(sidModemStatusBitBase + bit);
        out += " (" + Trim(names) + ")";
      }
    } else if (rec.EventType == dtTelnet) {
      std::string name =
          rec.Data <= 42 ? Label(sidTelnetOptionBase + static_cast<int>(rec.Data)) : std::string();
      out += " [" + Trim(name) + "]";
    }
    out += kLineEnd;
  }
  int r = WriteAndClose(f, out);
  FreeLog();
  return r;
}
