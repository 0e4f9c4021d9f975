// Protocol engine base: the shared record, runs on a port, notices, files, check values.
#include "transfer/Swabspcl.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include "platform/DateTime.h"
#include "platform/Threads.h"
#include "serial/SioPort.h"
#include "serial/Sioexcept.h"

namespace {

struct Tables {
  std::uint32_t Crc[256];
  std::uint32_t Crc32[256];
  Tables() {
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i << 8;
      for (int b = 0; b < 8; ++b) c = (c & 0x8000) ? ((c << 1) ^ 0x1021) : (c << 1);
      Crc[i] = c & 0xFFFF;
      std::uint32_t r = i;
      for (int b = 0; b < 8; ++b) r = (r & 1) ? ((r >> 1) ^ 0xEDB88320u) : (r >> 1);
      Crc32[i] = r;
    }
  }
};
const Tables& tables() {
  static const Tables t;
  return t;
}

void copyName(char* dest, const char* src) {
  std::size_t n = src ? std::min<std::size_t>(std::strlen(src), apMaxPath - 1) : 0;
  if (n) std::memmove(dest, src, n);
  dest[n] = 0;
}

// Bytes of the UTF-8 character that starts at s[i]; 1 for a byte that starts none.
std::size_t charLength(const std::string& s, std::size_t i) {
  const auto c = static_cast<std::uint8_t>(s[i]);
  const std::size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 1;
  if (i + n > s.size()) return 1;
  for (std::size_t k = 1; k < n; ++k)
    if ((static_cast<std::uint8_t>(s[i + k]) & 0xC0) != 0x80) return 1;
  return n;
}

// The first characters of s that take at most n bytes.
std::string cutChars(const std::string& s, std::size_t n) {
  std::size_t end = 0;
  while (end < s.size() && end + charLength(s, end) <= n) end += charLength(s, end);
  return s.substr(0, end);
}

// A file name in at most `room` bytes: its stem is cut, its extension kept while a character
// of the stem stays before it. Empty when not one character fits.
std::string fitName(const std::string& name, std::size_t room) {
  if (name.size() <= room) return name;
  const std::size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0 && name.size() - dot < room) {
    const std::string stem = cutChars(name.substr(0, dot), room - (name.size() - dot));
    if (!stem.empty()) return stem + name.substr(dot);
  }
  return cutChars(name, room);
}

// PathName := head (a directory with its separator) and the name, shortened to fit. A name
// of which nothing fits is refused: PathName then holds it alone, for the status and the
// history, and PathRefused says that no file is made of it.
bool placeName(TProtocolData& P, const std::string& head, const std::string& name) {
  constexpr std::size_t limit = apMaxPath - 1;
  const bool named = name != "." && name != "..";  // these name a folder, never a file
  const std::string fitted = named && head.size() < limit ? fitName(name, limit - head.size()) : std::string();
  P.PathRefused = fitted.empty();
  copyName(P.PathName, P.PathRefused ? cutChars(name, limit).c_str() : (head + fitted).c_str());
  return !P.PathRefused;
}

// Negated run-time I/O result of an operating-system error.
int ioError(int err, bool writing = false) {
  if (err == ENOSPC) return -101;
  int code = SioErrorFromErrno(err, writing);
  return code ? code : -162;
}

void freeBuffer(TProtocolData& P) {
  delete[] P.FileBuffer;
  P.FileBuffer = nullptr;
}

void closeSearch(TProtocolData& P) {
  P.SearchOpen = false;
  P.SearchRec.Names.clear();
  P.SearchRec.Next = 0;
}

// Guards the pairing of a dispatcher's data pointer with a record and the records' call
// counts: a call that finds a record counts itself in before the record can be freed.
std::mutex& callGate() {
  static std::mutex m;
  return m;
}

// Removes the record's triggers and handler from the dispatcher and unlinks the record.
void stopOn(TProtocolData& P, TSioBaseDispatcher* D) {
  for (std::uint32_t* t :
       {&P.TimeoutTrigger, &P.StatusTimerTrigger, &P.OutFreeTrigger, &P.OutUsedTrigger, &P.CarrierTrigger}) {
    if (*t && D) D->RemoveTrigger(*t);
    *t = 0;
  }
  if (D && P.StateProc) D->DeregisterProcTriggerHandler(P.StateProc);
  // A notice that is already under way finds no record any more.
  if (D) {
    std::lock_guard<std::mutex> g(callGate());
    void* data = nullptr;
    D->GetDataPointer(data, 1);
    if (data == &P) D->SetDataPointer(nullptr, 1);
  }
}

// Frees the record; D is the dispatcher it may still be registered with (or null).
void destroyRecord(TProtocolData* P, TSioBaseDispatcher* D) {
  stopOn(*P, D);
  if (P->WorkFile >= 0) ::close(P->WorkFile);
  P->WorkFile = -1;
  P->FileOpen = false;
  if (P->ReleasePart) P->ReleasePart(*P);
  delete[] P->FileBuffer;
  delete[] P->DataBlock;
  delete[] P->HeaderBlock;
  delete P->Lock;
  delete P;
}

struct DosFields {
  unsigned year, month, day, hour, min, sec;
};
bool unpackDos(std::uint32_t packed, DosFields& f) {
  f.year = 1980 + (packed >> 25);
  f.month = (packed >> 21) & 15;
  f.day = (packed >> 16) & 31;
  f.hour = (packed >> 11) & 31;
  f.min = (packed >> 5) & 63;
  f.sec = (packed & 31) * 2;
  if (f.month < 1 || f.month > 12 || f.day < 1 || f.hour > 23 || f.min > 59 || f.sec > 59) return false;
  return f.day <= DaysInMonth(f.year, f.month);
}
std::uint32_t packDos(const std::tm& t) {
  int year = t.tm_year + 1900;
  if (year < 1980 || year > 2107) return 0;
  return (static_cast<std::uint32_t>(year - 1980) << 25) | (static_cast<std::uint32_t>(t.tm_mon + 1) << 21) |
         (static_cast<std::uint32_t>(t.tm_mday) << 16) | (static_cast<std::uint32_t>(t.tm_hour) << 11) |
         (static_cast<std::uint32_t>(t.tm_min) << 5) | static_cast<std::uint32_t>(t.tm_sec / 2);
}

bool isDelim(char c) { return c == '/' || c == '\\' || c == ':'; }

}  // namespace

// ---------------------------------------------------------------------------------------
// Set-up and teardown
// ---------------------------------------------------------------------------------------
int apInitProtocolData(TProtocolData*& P, TSioCustomComPort* port, std::uint32_t options) {
  static std::once_flag classOnce;
  std::call_once(classOnce, [] { RegisterClass(apProtocolClassName, DefWindowProc); });
  P = new (std::nothrow) TProtocolData();
  if (!P) return ecOutOfMemory;
  P->Lock = new (std::nothrow) TSioLock();
  if (!P->Lock) {
    delete P;
    P = nullptr;
    return ecOutOfMemory;
  }
  P->Port = port;
  P->UpcaseFileNames = true;
  P->ProtocolType = ptNoProtocol;
  P->HandshakeWait = 182;
  P->HandshakeRetry = 10;
  P->BlockLength = 128;
  P->WriteFailAction = wfWriteRename;
  P->TransmitTimeout = 1092;
  P->StatusInterval = 10;
  P->Options = options;
  P->ActualCPS = 0;
  P->WriteOrigin = 0;
  P->FileCreated = false;
  P->ReleasePart = nullptr;
  if (port && port->GetPortState() == psOpen) P->ActualCPS = port->GetBaud() / 10;
  copyName(P->FileMask, "*.*");
  apResetReadWriteHooks(*P);
  P->ShowStatus = apMsgStatus;
  P->LogFile = apMsgLog;
  P->NextFile = apMsgNextFile;
  P->AcceptFile = apMsgAcceptFile;
  return 0;
}

void apDoneProtocol(TProtocolData*& P) {
  if (!P) return;
  TProtocolData* p = P;
  P = nullptr;
  TSioBaseDispatcher* D = apDispatcher(*p);
  {
    std::lock_guard<std::mutex> g(callGate());
    if (D) {
      void* data = nullptr;
      D->GetDataPointer(data, 1);
      if (data == p) D->SetDataPointer(nullptr, 1);
    }
    // A call under way goes on with the record and frees it when it ends.
    if (p->Calls.load() > 0) {
      p->Orphaned = true;
      return;
    }
  }
  destroyRecord(p, D);
}

void apCopySettings(TProtocolData& dest, const TProtocolData& source) {
  if (&dest == &source) return;
  dest.HandshakeRetry = source.HandshakeRetry;
  dest.HandshakeWait = source.HandshakeWait;
  dest.TransmitTimeout = source.TransmitTimeout;
  dest.FinishWait = source.FinishWait;
  dest.EOFTimeout = source.EOFTimeout;
  dest.Options = source.Options;
  dest.StatusInterval = source.StatusInterval;
  dest.TurnDelay = source.TurnDelay;
  dest.Overhead = source.Overhead;
  dest.ActualCPS = source.ActualCPS;
  dest.WriteFailAction = source.WriteFailAction;
  dest.UpcaseFileNames = source.UpcaseFileNames;
  std::memcpy(dest.PathName, source.PathName, apMaxPath);
  std::memcpy(dest.FileMask, source.FileMask, apMaxPath);
  std::memcpy(dest.DestinationDirectory, source.DestinationDirectory, apMaxPath);
  dest.ShowStatus = source.ShowStatus;
  dest.LogFile = source.LogFile;
  dest.NextFile = source.NextFile;
  dest.AcceptFile = source.AcceptFile;
}

namespace {
// Counts a call out of its record: true for the last one out of a record that was set aside,
// which frees it.
bool countOut(TProtocolData* P) {
  std::lock_guard<std::mutex> g(callGate());
  return P->Calls.fetch_sub(1) == 1 && P->Orphaned.load();
}
}  // namespace

TProtocolCall::TProtocolCall(LPARAM lParam) {
  TSioBaseDispatcher* d = GetTComRecPtr(static_cast<int>(static_cast<std::uint32_t>(lParam) >> 16));
  if (!d) return;
  {
    std::lock_guard<std::mutex> g(callGate());
    void* data = nullptr;
    d->GetDataPointer(data, 1);
    auto* p = static_cast<TProtocolData*>(data);
    if (!p || p->Orphaned.load()) return;
    p->Calls.fetch_add(1);
    P = p;
  }
  D = d;
  LockEngine(*P->Lock, P, P->NotifyWindow);
}

TProtocolCall::~TProtocolCall() {
  if (!P) return;
  P->Lock->unlock();
  if (countOut(P)) destroyRecord(P, D);
}

TProtocolReading::TProtocolReading(TProtocolData& p) : P(p) {
  {
    std::lock_guard<std::mutex> g(callGate());
    P.Calls.fetch_add(1);
  }
  Reading.emplace(*P.Lock, &P);
}

TProtocolReading::~TProtocolReading() {
  Reading.reset();
  if (countOut(&P)) destroyRecord(&P, apDispatcher(P));
}

void apArmTimeout(TProtocolData& P, TSioBaseDispatcher& D, std::uint32_t ticks) {
  if (P.TimeoutTrigger) D.SetTimerTrigger(P.TimeoutTrigger, static_cast<std::int32_t>(ticks), true);
}
void apArmOutUsed(TProtocolData& P, TSioBaseDispatcher& D) {
  if (P.OutUsedTrigger) D.SetStatusTrigger(P.OutUsedTrigger, 0, true);
}
void apArmOutFree(TProtocolData& P, TSioBaseDispatcher& D, std::uint32_t bytes) {
  if (P.OutFreeTrigger) D.SetStatusTrigger(P.OutFreeTrigger, bytes, true);
}
bool apIsTimeout(const TProtocolData& P, UINT msg, std::uint32_t trigger) {
  return msg == SW_TRIGGERTIMER && trigger != 0 && trigger == P.TimeoutTrigger;
}
bool apIsStatusTrigger(UINT msg, std::uint32_t trigger, std::uint32_t handle) {
  return msg == SW_TRIGGERSTATUS && trigger != 0 && trigger == handle;
}

void apResetReadWriteHooks(TProtocolData& P) {
  P.PrepareReading = aapPrepareReading;
  P.ReadBlock = aapReadProtocolBlock;
  P.FinishReading = aapFinishReading;
  P.PrepareWriting = aapPrepareWriting;
  P.WriteBlock = aapWriteProtocolBlock;
  P.FinishWriting = aapFinishWriting;
}

void apSetProtocolWindow(TProtocolData& P, HWND window) { P.NotifyWindow = window; }
void apSetProtocolPort(TProtocolData& P, TSioCustomComPort* port) { P.Port = port; }
void apSetFileList(TProtocolData& P, std::uint8_t* list) { P.FileList = list; }
void apSetFileMask(TProtocolData& P, const char* mask) { copyName(P.FileMask, mask); }
void apSetDestinationDirectory(TProtocolData& P, const char* dir) { copyName(P.DestinationDirectory, dir); }
void apSetStatusInterval(TProtocolData& P, std::uint32_t ticks) { P.StatusInterval = ticks; }
void apSetEfficiencyParms(TProtocolData& P, std::int32_t overhead, std::uint32_t turnDelay) {
  P.Overhead = overhead;
  P.TurnDelay = turnDelay;
}
void apSetHandshakeWait(TProtocolData& P, std::uint32_t wait, std::uint32_t retry) {
  if (wait) P.HandshakeWait = wait;
  if (retry) P.HandshakeRetry = retry;
}
void apSetOverwriteOption(TProtocolData& P, std::uint32_t action) {
  if (action <= wfWriteResume) P.WriteFailAction = action;
}

void apSetReceiveFilename(TProtocolData& P, const char* name) {
  std::string n = name ? name : "";
  const std::size_t cut = n.find_last_of("/\\");
  if (cut != std::string::npos) {
    // A path of the caller's is taken whole or not at all: a cut one names another file.
    if (n.size() < apMaxPath) {
      P.PathRefused = false;
      copyName(P.PathName, n.c_str());
    } else {
      P.PathRefused = true;
      copyName(P.PathName, cutChars(n.substr(cut + 1), apMaxPath - 1).c_str());
    }
    return;
  }
  std::string dir = P.DestinationDirectory;
  if (!dir.empty() && !isDelim(dir.back())) dir += apPathDelim;
  placeName(P, dir, n);
}

void apSetActualBPS(TProtocolData& P, std::uint32_t bps) {
  std::uint32_t bits = 10;
  if (P.Port && P.Port->GetPortState() == psOpen) {
    bits = P.Port->GetDataBits() + 2u;
    if (P.Port->GetParity() != pNone) ++bits;
  }
  P.ActualCPS = bps / bits;
}

void apOptionsOn(TProtocolData& P, std::uint32_t bits) { P.Options |= bits & ~apEngineOwnedOptions; }
void apOptionsOff(TProtocolData& P, std::uint32_t bits) { P.Options &= ~(bits & ~apEngineOwnedOptions); }
bool apOptionsAreOn(const TProtocolData& P, std::uint32_t bits) { return (P.Options & bits) == bits; }
void apSetProtocolMsgBase(TProtocolData&, UINT) {}

// ---------------------------------------------------------------------------------------
// Queries
// ---------------------------------------------------------------------------------------
bool apSupportsBatch(const TProtocolData& P) { return P.BatchProtocol; }
std::int32_t apGetInitialFilePos(const TProtocolData& P) { return P.InitialPosition; }

std::int32_t apGetBytesTransferred(TProtocolData& P) {
  TSioBaseDispatcher* D = apDispatcher(P);
  if (!D) return 0;
  std::int32_t used = static_cast<std::uint16_t>(std::min<std::uint32_t>(D->OutBuffUsed(), 0xFFFF));
  if (P.BlockLength == 0 || used < static_cast<std::int32_t>(P.BlockLength)) return P.BytesTransferred;
  std::int32_t r = P.BytesTransferred + (used / static_cast<std::int32_t>(P.BlockLength)) * P.Overhead - used;
  return r < 0 ? 0 : r;
}

std::int32_t apGetBytesRemaining(TProtocolData& P) {
  std::int32_t r = P.FileLength - apGetBytesTransferred(P);
  return r < 0 ? 0 : r;
}

std::int32_t apEstimateTransferSecs(const TProtocolData& P, std::int32_t size) {
  if (size == 0) return 0;
  std::int64_t cps = P.ActualCPS;
  std::int64_t denom = static_cast<std::int64_t>(P.TurnDelay) * cps / 1000 + P.BlockLength + P.Overhead;
  if (denom == 0) return 0;
  std::int64_t effective = cps * ((static_cast<std::int64_t>(P.BlockLength) * 100) / denom);
  if (effective / 100 == 0) return 0;
  return static_cast<std::int32_t>(size / (effective / 100));
}

std::uint32_t apGetProtocolInfo(TProtocolData& P, TProtocolInfo& info) {
  info = TProtocolInfo{};
  info.ProtocolType = P.ProtocolType;
  info.BlockErrors = P.BlockErrors;
  info.TotalErrors = P.TotalErrors;
  info.BlockLength = static_cast<std::int32_t>(P.BlockLength);
  info.BlocksTransferred = P.BlockLength ? P.BytesTransferred / static_cast<std::int32_t>(P.BlockLength) : 0;
  info.FileLength = P.FileLength;
  info.BytesTransferred = apGetBytesTransferred(P);
  info.BytesRemaining = apGetBytesRemaining(P);
  info.InitialPosition = P.InitialPosition;
  info.ElapsedTicks = P.ElapsedTicks;
  info.Options = static_cast<std::int32_t>(P.Options);
  info.BlockCheck = static_cast<std::int32_t>(P.BlockCheck);
  copyName(info.FileName, P.PathName);
  info.Error = P.ProtocolError;
  info.Status = P.ProtocolStatus;
  return P.Options;
}

char* apStatusMsg(char* buffer, int code) {
  buffer[0] = 0;
  if (code < psOK || code > 4723) return buffer;
  CopyToBufferZ(buffer, 81, SioLoadStr(code));
  return buffer;
}

TDispatchType apDispatchType(TProtocolType type) {
  switch (type) {
    case ptXmodem:
    case ptXmodemCRC:
    case ptXmodem1K:
    case ptXmodem1KG:
      return dtXModem;
    case ptYmodem:
    case ptYmodemG:
      return dtYModem;
    case ptZmodem:
      return dtZModem;
    case ptKermit:
      return dtKermit;
    case ptAscii:
      return dtAscii;
    case ptBPlus:
      return dtBPlus;
    default:
      return dtNone;
  }
}

// ---------------------------------------------------------------------------------------
// Running a transfer
// ---------------------------------------------------------------------------------------
TSioBaseDispatcher* apDispatcher(TProtocolData& P) {
  if (!P.Port || P.Port->GetPortState() != psOpen) return nullptr;
  return P.Port->Dispatcher();
}

void apStartProtocol(TProtocolData& P, TProtocolType type, TSioNotifyProc stateProc, PrepareProc prepare) {
  P.ProtocolType = type;
  P.StateProc = stateProc;
  P.WorkWord = 0;
  P.FirstSearch = true;
  P.FileListIndex = 2;
  P.ProtocolError = 0;
  TSioBaseDispatcher* D = apDispatcher(P);
  if (!D) {
    P.ProtocolError = ecCommNotOpen;
    apSignalFinish(P);
    return;
  }
  D->ChangeLengthTrigger(1);
  auto add = [&](std::uint32_t& field, int handle) {
    if (handle > 0) field = static_cast<std::uint32_t>(handle);
    return handle > 0;
  };
  bool ok = add(P.TimeoutTrigger, D->AddTimerTrigger()) && add(P.StatusTimerTrigger, D->AddTimerTrigger()) &&
            add(P.OutFreeTrigger, D->AddStatusTrigger(stOutBuffFree)) &&
            add(P.OutUsedTrigger, D->AddStatusTrigger(stOutBuffUsed)) &&
            add(P.CarrierTrigger, D->AddStatusTrigger(stModem));
  if (!ok) {
    P.ProtocolError = ecNoMoreTriggers;
    apSignalFinish(P);
    return;
  }
  {
    std::lock_guard<std::mutex> g(callGate());
    D->SetDataPointer(&P, 1);
  }
  const LPARAM handleArg = static_cast<LPARAM>(D->Handle()) * 65536;
  {
    std::lock_guard<TSioLock> g(*P.Lock);
    prepare(P);
    if (P.ProtocolError != 0) {
      apSignalFinish(P);
      return;
    }
  }
  stateProc(0, 0, handleArg);
  // A run that the first call ended has lost its triggers. One that goes on needs its
  // handler, even when it has failed already: it may still wait for the other side to take
  // the failure (B+ after a bad packet that was waiting when it started).
  if (P.TimeoutTrigger == 0) return;
  {
    std::lock_guard<TSioLock> g(*P.Lock);
    if (P.StatusTimerTrigger)
      D->SetTimerTrigger(P.StatusTimerTrigger, static_cast<std::int32_t>(P.StatusInterval), true);
    if (apOptionsAreOn(P, apAbortNoCarrier)) {
      if (!D->CheckDCD()) {
        P.ProtocolError = ecAbortNoCarrier;
        apSignalFinish(P);
        return;
      }
      D->SetStatusTrigger(P.CarrierTrigger, msDCD, true);
    }
  }
  D->RegisterProcTriggerHandler(stateProc);
  // Bytes that came in before the handler was in place would wait for the next byte.
  if (D->CharReady()) stateProc(SW_TRIGGERAVAIL, 0, handleArg);
}

void apStopProtocol(TProtocolData& P) {
  stopOn(P, apDispatcher(P));
  closeSearch(P);
  if (P.FileOpen) {
    if (P.WorkFile >= 0) ::close(P.WorkFile);
    P.WorkFile = -1;
    freeBuffer(P);
    P.FileOpen = false;
  }
}

void apResetStatus(TProtocolData& P) {
  if (P.InProgress == 0) {
    P.FileLength = 0;
    P.BytesToSend = 0;
  }
  P.BytesTransferred = 0;
  P.BlockNumber = 0;
  P.ElapsedTicks = 0;
  P.BlockErrors = 0;
  P.TotalErrors = 0;
  P.ProtocolError = 0;
  P.ProtocolStatus = psOK;
}

void apShowFirstStatus(TProtocolData& P) {
  if (P.ShowStatus) P.ShowStatus(P, P.InProgress == 0 ? apFirstCall : 0);
  ++P.InProgress;
}

void apShowLastStatus(TProtocolData& P) {
  if (P.InProgress == 0) return;
  --P.InProgress;
  if (P.ShowStatus) P.ShowStatus(P, P.InProgress == 0 ? apLastCall : 0);
}

void apSignalFinish(TProtocolData& P) {
  apStopProtocol(P);
  if (P.ProtocolError == 0) {
    switch (P.ProtocolStatus) {
      case psFileRejected:
        P.ProtocolError = ecFileRejected;
        break;
      case psCantWriteFile:
        P.ProtocolError = ecCantWriteFile;
        break;
      case psTimeout:
        P.ProtocolError = ecTimeout;
        break;
      case psProtocolError:
        P.ProtocolError = ecProtocolError;
        break;
      case psCancelRequested:
        P.ProtocolError = ecCancelRequested;
        break;
      case psSequenceError:
        P.ProtocolError = ecSequenceError;
        break;
      case psAbortNoCarrier:
        P.ProtocolError = ecAbortNoCarrier;
        break;
      default:
        break;
    }
  }
  // A file whose start was logged gets its end: a run that ends without having said how the
  // file went has failed it.
  if (P.LogPending >= 0 && P.LogFile) P.LogFile(P, P.LogPending == lfReceiveStart ? lfReceiveFail : lfTransmitFail);
  P.LogPending = -1;
  if (P.Port && P.Port->GetPortState() == psOpen) {
    if (TSioBaseDispatcher* D = P.Port->Dispatcher(); D && D->DispatchLogging()) {
      std::string text = "ErrorCode:" + std::to_string(P.ProtocolError);
      D->AddDispatchEntry(apDispatchType(P.ProtocolType), dstStatus, 0, text.data(),
                          static_cast<std::uint32_t>(text.size()));
    }
  }
  if (P.NotifyWindow && !P.Orphaned.load())
    PostMessage(P.NotifyWindow, apw_ProtocolFinish,
                static_cast<WPARAM>(static_cast<std::intptr_t>(P.ProtocolError)),
                reinterpret_cast<LPARAM>(&P));
}

void apProtocolError(TProtocolData& P, int code) {
  LRESULT r;
  apSendNotice(P, apw_ProtocolError, static_cast<WPARAM>(static_cast<std::intptr_t>(code)), 0, r);
  P.ProtocolError = code;
}

// ---------------------------------------------------------------------------------------
// Notices
// ---------------------------------------------------------------------------------------

bool apSendNotice(TProtocolData& P, UINT msg, WPARAM w, LPARAM l, LRESULT& result) {
  result = 0;
  if (!P.NotifyWindow || P.Orphaned.load()) return false;
  const bool periodic = msg == apw_ProtocolStatus && (w & (apFirstCall | apLastCall)) == 0;
  return SendEngineNotice(&P, P.NotifyWindow, msg, w, l,
                          periodic ? TEngineNoticeWait::Timed : TEngineNoticeWait::Delivered,
                          apNoticeTimeoutMs, result);
}

void apMsgStatus(TProtocolData& P, unsigned options) {
  LRESULT r;
  apSendNotice(P, apw_ProtocolStatus, options, reinterpret_cast<LPARAM>(&P), r);
}
void apMsgLog(TProtocolData& P, unsigned code) {
  LRESULT r;
  apSendNotice(P, apw_ProtocolLog, code, reinterpret_cast<LPARAM>(&P), r);
  // Once its end is logged, the file is the user's.
  if (code == lfReceiveOk || code == lfReceiveFail || code == lfReceiveSkip) P.FileCreated = false;
  P.LogPending = code == lfReceiveStart || code == lfTransmitStart ? static_cast<std::int32_t>(code) : -1;
}
bool apMsgNextFile(TProtocolData& P, char* buffer) {
  LRESULT r;
  buffer[0] = 0;
  bool sent = apSendNotice(P, apw_ProtocolNextFile, 0, reinterpret_cast<LPARAM>(buffer), r);
  buffer[apMaxPath - 1] = 0;
  return sent && r != 0;
}
bool apMsgAcceptFile(TProtocolData& P, char* name) {
  LRESULT r;
  bool sent = apSendNotice(P, apw_ProtocolAcceptFile, 0, reinterpret_cast<LPARAM>(name), r);
  name[apMaxPath - 1] = 0;
  return sent && r == 1;
}

// ---------------------------------------------------------------------------------------
// File list and mask
// ---------------------------------------------------------------------------------------
int apMakeFileList(TProtocolData&, std::uint8_t*& list, std::uint16_t size) {
  list = new (std::nothrow) std::uint8_t[size < 2 ? 2 : size]();
  if (!list) return ecOutOfMemory;
  list[0] = static_cast<std::uint8_t>(size & 0xFF);
  list[1] = static_cast<std::uint8_t>(size >> 8);
  return 0;
}

void apDisposeFileList(TProtocolData&, std::uint8_t*& list, std::uint16_t) {
  delete[] list;
  list = nullptr;
}

int apAddFileToList(TProtocolData&, std::uint8_t* list, const char* name) {
  if (!list) return ecBadArgument;
  std::uint32_t cap = list[0] | (list[1] << 8);
  if (cap <= 3) return ecBadArgument;
  std::uint32_t end = 2;
  while (end < cap && list[end] != 0) ++end;
  if (end >= cap) return ecBadFileList;
  std::uint32_t len = static_cast<std::uint32_t>(std::strlen(name));
  std::uint32_t need = len + (end > 2 ? 1 : 0) + 1;
  if (end + need > cap) return ecOutOfMemory;
  if (end > 2) list[end++] = ';';
  std::memcpy(list + end, name, len);
  list[end + len] = 0;
  return 0;
}

bool apNextFileList(TProtocolData& P, char* buffer) {
  P.ProtocolError = 0;
  buffer[0] = 0;
  if (!P.FileList) return false;
  std::uint32_t cap = P.FileList[0] | (P.FileList[1] << 8);
  if (cap <= 3) return false;
  std::uint32_t i = static_cast<std::uint32_t>(P.FileListIndex);
  if (i >= cap || P.FileList[i] == 0) return false;
  if (i > 2 && P.FileList[i] == ';') ++i;
  if (i >= cap || P.FileList[i] == 0) return false;
  std::uint32_t n = 0;
  while (i + n < cap && P.FileList[i + n] != ';' && P.FileList[i + n] != 0) {
    if (n >= 79) {
      apProtocolError(P, ecBadFileList);
      buffer[0] = 0;
      return false;
    }
    ++n;
  }
  std::memcpy(buffer, P.FileList + i, n);
  buffer[n] = 0;
  P.FileListIndex = static_cast<std::int32_t>(i + n);
  return true;
}

bool apNextFileMask(TProtocolData& P, char* buffer) {
  buffer[0] = 0;
  if (P.FileMask[0] == 0) {
    apProtocolError(P, ecNoSearchMask);
    return false;
  }
  if (P.FirstSearch) {
    std::string mask = P.FileMask;
    std::size_t cut = mask.find_last_of("/\\:");
    std::string dir = cut == std::string::npos ? std::string() : mask.substr(0, cut + 1);
    std::string pattern = cut == std::string::npos ? mask : mask.substr(cut + 1);
    closeSearch(P);
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) {
      int err = errno;
      apProtocolError(P, err == ENOENT || err == ENOTDIR ? ecDirNotFound : ioError(err));
      return false;
    }
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      struct stat st {};
      if (::stat((dir.empty() ? name : dir + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      // "*.*" is every file, with or without an extension.
      if (pattern != "*.*" && pattern != "*" && ::fnmatch(pattern.c_str(), name.c_str(), 0) != 0) continue;
      names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    P.FirstSearch = false;
    if (names.empty()) {
      apProtocolError(P, ecNoMatchingFiles);
      return false;
    }
    P.SearchRec.Directory = dir;
    P.SearchRec.Names = std::move(names);
    P.SearchRec.Next = 0;
    P.SearchOpen = true;
  }
  if (!P.SearchOpen || P.SearchRec.Next >= P.SearchRec.Names.size()) {
    closeSearch(P);
    return false;
  }
  copyName(buffer, (P.SearchRec.Directory + P.SearchRec.Names[P.SearchRec.Next++]).c_str());
  return true;
}

// ---------------------------------------------------------------------------------------
// Reading the file to send
// ---------------------------------------------------------------------------------------
void aapPrepareReading(TProtocolData& P) {
  P.ProtocolError = 0;
  if (P.FileOpen) return;
  if (P.PathName[0] == 0) {
    apProtocolError(P, ecFileNotFound);
    return;
  }
  P.FileBuffer = new (std::nothrow) std::uint8_t[apFileBufferSize];
  if (!P.FileBuffer) {
    apProtocolError(P, ecOutOfMemory);
    return;
  }
  int fd = ::open(P.PathName, O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    fd = -1;
    errno = EISDIR;
  }
  if (fd < 0) {
    int err = errno;
    freeBuffer(P);
    apProtocolError(P, ioError(err));
    return;
  }
  P.WorkFile = fd;
  P.FileLength = st.st_size > 0x7FFFFFFF ? 0 : static_cast<std::int32_t>(st.st_size);
  P.BytesToSend = P.FileLength;
  if (P.ShowStatus) P.ShowStatus(P, 0);
  P.FileDate = apPackFileTime(st.st_mtime);
  P.FileOffset = P.BufferStart = P.BufferEnd = P.LastOffset = 0;
  P.DataAtEnd = false;
  P.FileOpen = true;
}

bool aapReadProtocolBlock(TProtocolData& P, std::uint8_t* block, std::uint32_t& size) {
  if (!P.FileOpen || !P.FileBuffer) {
    apProtocolError(P, -103);
    size = 0;
    return true;
  }
  if (P.FileOffset >= P.FileLength) {
    size = 0;
    return true;
  }
  if (size > apFileBufferSize) size = apFileBufferSize;
  // A step back outside the buffered window is read again; inside it the buffer serves.
  if (P.BufferEnd < P.FileOffset || P.FileOffset < P.BufferStart) P.BufferEnd = P.FileOffset;
  if (P.BufferEnd < P.FileOffset + static_cast<std::int32_t>(size)) {
    // Bytes behind FileOffset that are still valid file data move to the front.
    std::int32_t validEnd = P.DataAtEnd ? std::min(P.BufferEnd, P.DataEnd) : P.BufferEnd;
    std::int32_t keep = std::max(0, validEnd - P.FileOffset);
    if (keep > 0)
      std::memmove(P.FileBuffer, P.FileBuffer + (P.FileOffset - P.BufferStart),
                   static_cast<std::size_t>(keep));
    std::uint32_t want = apFileBufferSize - static_cast<std::uint32_t>(keep);
    std::uint32_t got = 0;
    while (got < want) {
      ssize_t r = ::pread(P.WorkFile, P.FileBuffer + keep + got, want - got,
                          P.FileOffset + keep + static_cast<off_t>(got));
      if (r < 0) {
        if (errno == EINTR) continue;
        apProtocolError(P, ioError(errno));
        size = 0;
        return true;
      }
      if (r == 0) break;
      got += static_cast<std::uint32_t>(r);
    }
    P.BufferStart = P.FileOffset;
    P.BufferEnd = P.FileOffset + static_cast<std::int32_t>(apFileBufferSize);
    if (got < want) {
      std::memset(P.FileBuffer + keep + got, BlockFillChar, want - got);
      P.DataEnd = P.BufferStart + keep + static_cast<std::int32_t>(got);
      P.DataAtEnd = true;
    } else {
      P.DataAtEnd = false;
    }
  }
  std::memcpy(block, P.FileBuffer + (P.FileOffset - P.BufferStart), size);
  P.LastOffset = P.FileOffset;
  if (!P.DataAtEnd) return false;
  if (P.FileOffset + static_cast<std::int32_t>(size) < P.DataEnd) return false;
  size = static_cast<std::uint32_t>(std::max(0, P.DataEnd - P.FileOffset));
  return true;
}

void aapFinishReading(TProtocolData& P) {
  if (!P.FileOpen) return;
  if (P.WorkFile >= 0) ::close(P.WorkFile);
  P.WorkFile = -1;
  freeBuffer(P);
  P.FileOpen = false;
}

// ---------------------------------------------------------------------------------------
// Writing a received file
// ---------------------------------------------------------------------------------------
namespace {

// The folder of the received file in PathName, for looking at it only (O_PATH), and the file's
// own name in `leaf`. The folders from DestinationDirectory on are the sender's: each is
// opened only when it is no link (and made when missing and `make`). The destination folder
// itself is opened as it is named, and so is the folder of a path of the caller's that lies
// elsewhere. The descriptor, or the negated errno.
int openReceivedFolder(const TProtocolData& P, std::string& leaf, bool make) {
  const std::string path = P.PathName;
  const std::size_t cut = path.find_last_of(apPathDelim);
  leaf = path.substr(cut == std::string::npos ? 0 : cut + 1);
  const std::string folder = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
  std::string dest = P.DestinationDirectory;
  if (!dest.empty() && !isDelim(dest.back())) dest += apPathDelim;
  // Without a destination the current folder is it, for the relative names.
  const bool below = folder.compare(0, dest.size(), dest) == 0 &&
                     (!dest.empty() || folder.empty() || folder[0] != apPathDelim);
  const std::string base = below ? dest : folder;
  int fd = ::open(base.empty() ? "." : base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -errno;
  for (std::size_t i = below ? dest.size() : folder.size(), j; i < folder.size(); i = j + 1) {
    j = folder.find(apPathDelim, i);
    const std::string step = folder.substr(i, j - i);
    if (step.empty() || step == ".") continue;
    int next = ::openat(fd, step.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && make && ::mkdirat(fd, step.c_str(), 0755) == 0)
      next = ::openat(fd, step.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int err = errno;
    ::close(fd);
    if (next < 0) return -err;
    fd = next;
  }
  return fd;
}

// Writes the buffered bytes [BufferStart, BufferStart + count); true on failure.
bool flushBuffer(TProtocolData& P, std::int32_t count) {
  if (count <= 0) return false;
  TSioBaseDispatcher* D = apOptionsAreOn(P, apRTSLowForWrite) ? apDispatcher(P) : nullptr;
  if (D) D->SetRts(false);
  std::int32_t done = 0;
  int err = 0;
  while (done < count) {
    ssize_t r = ::pwrite(P.WorkFile, P.FileBuffer + done, static_cast<std::size_t>(count - done),
                         static_cast<off_t>(P.WriteOrigin) + P.BufferStart + done);
    if (r < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    if (r == 0) {
      err = ENOSPC;
      break;
    }
    done += static_cast<std::int32_t>(r);
  }
  if (D) D->SetRts(true);
  if (err) {
    apProtocolError(P, ioError(err, true));
    return true;
  }
  return false;
}

}  // namespace

void aapPrepareWriting(TProtocolData& P) {
  P.ProtocolError = 0;
  if (P.FileOpen || apRefusedPath(P)) return;
  P.FileCreated = false;
  P.WriteOrigin = 0;
  P.FileBuffer = new (std::nothrow) std::uint8_t[apFileBufferSize];
  if (!P.FileBuffer) {
    apProtocolError(P, ecOutOfMemory);
    return;
  }
  struct stat st {};
  const int found = apStatReceived(P, st);
  const bool exists = found == 0;
  if (found != 0 && found != -ENOENT) {
    freeBuffer(P);
    apProtocolError(P, ioError(-found));
    return;
  }
  if (exists && P.WriteFailAction == wfWriteFail) {
    P.ProtocolStatus = psCantWriteFile;
    P.ForceStatus = true;
    freeBuffer(P);
    return;
  }
  int fd = -1;
  if (exists && P.WriteFailAction == wfWriteRename) {
    fd = apCreateRenamed(P);
    if (fd < 0) {
      freeBuffer(P);
      apProtocolError(P, ioError(-fd, true));
      return;
    }
    if (P.ShowStatus) P.ShowStatus(P, 0);
  } else if (exists && (S_ISLNK(st.st_mode) || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)) {
    // A write-protected file is not replaced, not even by a user whom the system would let;
    // nor is a link, which is not written through either.
    freeBuffer(P);
    apProtocolError(P, ecFileAccessDenied);
    return;
  } else {
    if (P.ShowStatus) P.ShowStatus(P, 0);
    fd = apOpenReceived(P, O_WRONLY | O_CREAT | O_TRUNC);
  }
  if (fd < 0) {
    freeBuffer(P);
    apProtocolError(P, ioError(-fd, true));
    return;
  }
  P.WorkFile = fd;
  P.BufferStart = 0;
  P.LastOffset = 0;
  P.BufferEnd = static_cast<std::int32_t>(apFileBufferSize);
  P.FileOpen = true;
  P.FileCreated = true;
}

int apCreateRenamed(TProtocolData& P) {
  const std::string path = P.PathName;
  const std::size_t cut = path.find_last_of('/');
  const std::size_t first = cut == std::string::npos ? 0 : cut + 1;
  const std::string head = path.substr(0, first);
  // The first character goes, not its first byte: "Ärger.txt" becomes "$rger.txt".
  const std::string tail = first < path.size() ? path.substr(first + charLength(path, first)) : std::string();
  int err = EEXIST;
  for (int n = 0; n < 1000 && err == EEXIST; ++n) {
    if (!placeName(P, head, "$" + (n ? std::to_string(n) : std::string()) + tail)) {
      err = ENAMETOOLONG;
      break;
    }
    const int fd = apOpenReceived(P, O_WRONLY | O_CREAT | O_EXCL);
    if (fd >= 0) return fd;
    err = -fd;
  }
  // No name of ours: the status and the history name the file that was asked for, not a
  // "$" file that is somebody else's.
  P.PathRefused = false;
  copyName(P.PathName, path.c_str());
  return -err;
}

bool aapWriteProtocolBlock(TProtocolData& P, const std::uint8_t* block, std::uint32_t size) {
  P.ProtocolError = 0;
  if (!P.FileOpen || !P.FileBuffer) {
    apProtocolError(P, -103);
    return true;
  }
  if (size > apFileBufferSize) size = apFileBufferSize;
  if (P.FileOffset < P.LastOffset) {
    if (P.FileOffset >= P.BufferStart && flushBuffer(P, P.FileOffset - P.BufferStart)) return true;
    P.BufferStart = P.FileOffset;
    P.BufferEnd = P.FileOffset + static_cast<std::int32_t>(apFileBufferSize);
    P.LastOffset = P.FileOffset;
  }
  if (P.FileOffset + static_cast<std::int32_t>(size) > P.BufferEnd || P.FileOffset > P.LastOffset) {
    if (flushBuffer(P, P.LastOffset - P.BufferStart)) return true;
    P.BufferStart = P.FileOffset;
    P.BufferEnd = P.FileOffset + static_cast<std::int32_t>(apFileBufferSize);
    P.LastOffset = P.FileOffset;
  }
  std::memcpy(P.FileBuffer + (P.FileOffset - P.BufferStart), block, size);
  P.LastOffset += static_cast<std::int32_t>(size);
  return false;
}

void aapFinishWriting(TProtocolData& P) {
  if (!P.FileOpen) return;
  std::int32_t saved = P.ProtocolError;
  bool failed = flushBuffer(P, P.LastOffset - P.BufferStart);
  struct stat st {};
  if (::fstat(P.WorkFile, &st) == 0) {
    P.FileLength = static_cast<std::int32_t>(std::min<off_t>(st.st_size, 0x7FFFFFFF));
    P.FileDate = apPackFileTime(st.st_mtime);
  }
  if (::close(P.WorkFile) != 0 && !failed) apProtocolError(P, ioError(errno, true));
  // An earlier error of the run is kept when the flush went well.
  if (!failed && P.ProtocolError == 0) P.ProtocolError = saved;
  P.WorkFile = -1;
  freeBuffer(P);
  P.FileOpen = false;
}

void apSetReceivePath(TProtocolData& P, const std::string& name) {
  std::vector<std::string> parts;
  bool unsafe = name.empty() || name[0] == '/' || name[0] == '\\' ||
                (name.size() > 1 && name[1] == ':');  // a drive letter
  std::size_t i = 0;
  while (i <= name.size()) {
    std::size_t j = name.find_first_of("/\\", i);
    if (j == std::string::npos) j = name.size();
    std::string part = name.substr(i, j - i);
    if (part == "..") unsafe = true;
    if (!part.empty() && part != ".") parts.push_back(part);
    i = j + 1;
  }
  std::string dir = P.DestinationDirectory;
  if (!dir.empty() && !isDelim(dir.back())) dir += apPathDelim;
  const bool keepDirs = apOptionsAreOn(P, apHonorDirectory) && !unsafe && parts.size() > 1;
  std::string head = dir;
  if (keepDirs)
    for (std::size_t k = 0; k + 1 < parts.size(); ++k) head += parts[k] + apPathDelim;
  if (!placeName(P, head, parts.empty() ? std::string() : parts.back()) || !keepDirs) return;
  // A link among the folders stays as it is: the file can't be made below it then.
  std::string leaf;
  const int folder = openReceivedFolder(P, leaf, true);
  if (folder >= 0) ::close(folder);
}

int apStatReceived(const TProtocolData& P, struct stat& st) {
  std::string leaf;
  const int folder = openReceivedFolder(P, leaf, false);
  if (folder < 0) return folder;
  const int r = ::fstatat(folder, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -errno;
  ::close(folder);
  return r;
}

int apOpenReceived(const TProtocolData& P, int flags) {
  std::string leaf;
  const int folder = openReceivedFolder(P, leaf, false);
  if (folder < 0) return folder;
  // Opened without waiting, so that a pipe in the file's place can't hold the engine's thread;
  // whatever is there must be a plain file.
  int fd = ::openat(folder, leaf.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
  int r = fd >= 0 ? fd : errno == ENXIO ? -EACCES : -errno;
  ::close(folder);
  struct stat st {};
  if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    ::close(fd);
    r = -EACCES;
  } else if (fd >= 0) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  return r;
}

bool apRefusedPath(TProtocolData& P) {
  if (!P.PathRefused) return false;
  apProtocolError(P, ecPathNotFound);
  return true;
}

std::uint32_t apCrc32OfFile(TProtocolData& P, const char* name, std::int32_t len) {
  P.BlockCheck = 0;
  int fd = ::open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    apProtocolError(P, ioError(errno));
    return 0;
  }
  P.BlockCheck = 0xFFFFFFFFu;
  std::vector<std::uint8_t> buf(apFileBufferSize);
  std::int64_t left = len == 0 ? -1 : len;
  while (left != 0) {
    std::size_t want = buf.size();
    if (left > 0 && static_cast<std::int64_t>(want) > left) want = static_cast<std::size_t>(left);
    ssize_t r = ::read(fd, buf.data(), want);
    if (r <= 0) break;
    for (ssize_t i = 0; i < r; ++i)
      P.BlockCheck = apUpdateCrc32(buf[static_cast<std::size_t>(i)], P.BlockCheck);
    if (left > 0) left -= r;
  }
  ::close(fd);
  return P.BlockCheck;
}

// ---------------------------------------------------------------------------------------
// Check values, numbers and time stamps
// ---------------------------------------------------------------------------------------
std::uint32_t apUpdateChecksum(std::uint8_t c, std::uint32_t sum) { return sum + c; }

std::uint32_t apUpdateCrc(std::uint8_t c, std::uint32_t crc) {
  return (tables().Crc[(crc >> 8) & 0xFF] ^ (crc << 8) ^ c) & 0xFFFF;
}

namespace {
// The reflected CRC-16 (polynomial 0x8408) one byte at a time: entry i is what eight shifts
// make of i. The shifts are linear, so (crc >> 8) ^ table[(crc ^ c) & 0xFF] is the same
// value for every crc, also one with bits above the sixteenth.
struct KermitCrcTable {
  std::uint16_t v[256];
  constexpr KermitCrcTable() : v() {
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t r = i;
      for (int b = 0; b < 8; ++b) r = (r & 1) ? ((r >> 1) ^ 0x8408) : (r >> 1);
      v[i] = static_cast<std::uint16_t>(r);
    }
  }
};
constexpr KermitCrcTable kermitCrc;
}  // namespace

std::uint32_t apUpdateCrcKermit(std::uint8_t c, std::uint32_t crc) {
  return kermitCrc.v[(crc ^ c) & 0xFF] ^ (crc >> 8);
}

std::uint32_t apUpdateCrcKermitBlock(const std::uint8_t* from, const std::uint8_t* to, std::uint32_t crc) {
  for (const std::uint8_t* p = from; p < to; ++p) crc = apUpdateCrcKermit(*p, crc);
  return crc;
}

std::uint32_t apUpdateCrc32(std::uint8_t c, std::uint32_t crc) {
  return tables().Crc32[(crc ^ c) & 0xFF] ^ (crc >> 8);
}

std::string apOctalStr(std::uint32_t value) {
  std::string s(12, '0');
  for (int i = 11; i >= 0; --i) {
    s[static_cast<std::size_t>(i)] = static_cast<char>('0' + (value & 7));
    value >>= 3;
  }
  return s;
}

std::string apTrimZeros(const std::string& text) {
  std::string s = text;
  while (s.size() > 1 && static_cast<unsigned char>(s.back()) < 0x21) s.pop_back();
  std::size_t i = 0;
  while (i + 1 < s.size() && (static_cast<unsigned char>(s[i]) < 0x21 || s[i] == '0')) ++i;
  return s.substr(i);
}

std::uint32_t apOctalStr2Long(const std::string& text) {
  std::string s = apTrimZeros(text);
  if (s.empty() || s.size() > 11) return 0;
  std::uint32_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '7') return 0;
    v = v * 8 + static_cast<std::uint32_t>(c - '0');
  }
  return v;
}

std::uint32_t apPackToYMTimeStamp(std::uint32_t packedDate) {
  DosFields f{};
  if (!unpackDos(packedDate, f)) return 0;
  const auto days = static_cast<std::int64_t>(EncodeDate(f.year, f.month, f.day)) - UnixDateDelta;
  std::int64_t secs = days * 86400 + f.hour * 3600 + f.min * 60 + f.sec;
  return secs < 0 || secs > 0xFFFFFFFFll ? 0 : static_cast<std::uint32_t>(secs);
}

std::uint32_t apYMTimeStampToPack(std::uint32_t seconds) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (!gmtime_r(&t, &tm)) return 0;
  return packDos(tm);
}

std::uint32_t apCurrentTimeStamp() { return apPackToYMTimeStamp(apPackFileTime(std::time(nullptr))); }

std::uint32_t apPackFileTime(std::int64_t unixTime) {
  std::time_t t = static_cast<std::time_t>(unixTime);
  std::tm tm{};
  if (!localtime_r(&t, &tm)) return 0;
  return packDos(tm);
}

bool apUnpackToFileTime(std::uint32_t packedDate, std::int64_t& unixTime) {
  DosFields f{};
  if (!unpackDos(packedDate, f)) return false;
  std::tm tm{};
  tm.tm_year = static_cast<int>(f.year) - 1900;
  tm.tm_mon = static_cast<int>(f.month) - 1;
  tm.tm_mday = static_cast<int>(f.day);
  tm.tm_hour = static_cast<int>(f.hour);
  tm.tm_min = static_cast<int>(f.min);
  tm.tm_sec = static_cast<int>(f.sec);
  tm.tm_isdst = -1;
  std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return false;
  unixTime = t;
  return true;
}

void apUpcase(char* name) {
  if (char* slash = std::strrchr(name, '/')) name = slash + 1;
  for (; *name; ++name)
    if (*name >= 'a' && *name <= 'z') *name = static_cast<char>(*name - 'a' + 'A');
}
