// Fax engine framework: records, fax list, notices to the component's window, session
// start and stop, header macros and names of received faxes.
#include "fax/Swabsfax.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <new>

#include "fax/Swfax.h"
#include "platform/DateTime.h"
#include "platform/Threads.h"
#include "serial/SioMisc.h"
#include "serial/Sioexcept.h"

namespace {

std::string Cut(std::string_view s, std::size_t n) { return std::string(s.substr(0, n)); }

// A periodic status is given up when the window thread has not begun it in time; every other
// notice (the next fax, the name of a received one, the accept of a call, the history, an
// error, the first and the last status) waits until the window thread takes it.
LRESULT SendToWindow(TFaxRec* fax, UINT msg, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  if (fax->PData->HWindow == 0) return 0;
  const bool periodic = msg == apw_FaxStatus && wParam == 0;
  return SendEngineNotice(fax, fax->PData->HWindow, msg, wParam, lParam,
                          periodic ? TEngineNoticeWait::Timed : TEngineNoticeWait::Delivered, FaxMsgTimeoutMs,
                          result)
             ? result
             : 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Records and parameters
// ---------------------------------------------------------------------------------------

int afInitFaxData(TFaxData*& faxData, std::string_view stationID, TSioBaseDispatcher* comPort, HWND window) {
  faxData = new (std::nothrow) TFaxData;
  if (faxData == nullptr) return ecOutOfMemory;
  faxData->StationID = Cut(stationID, MaxStationIDLen);
  faxData->ComPort = comPort;
  faxData->HWindow = window;
  return 0;
}

void afDoneFaxData(TFaxData*& faxData) {
  delete faxData;
  faxData = nullptr;
}

void afSetComHandle(TFaxRec* fax, TSioBaseDispatcher* comPort) { fax->PData->ComPort = comPort; }
void afSetWindow(TFaxRec* fax, HWND window) { fax->PData->HWindow = window; }
void afSetTitle(TFaxRec* fax, std::string_view text) { fax->PData->Title = Cut(text, MaxNameLen); }
void afSetRecipientName(TFaxRec* fax, std::string_view text) {
  fax->PData->Recipient = Cut(text, MaxNameLen);
}
void afSetSenderName(TFaxRec* fax, std::string_view text) { fax->PData->Sender = Cut(text, MaxNameLen); }
void afSetDestinationDir(TFaxRec* fax, std::string_view dir) {
  fax->PData->DestinationDir = Cut(dir, MaxNameLen);
}
void afSetStationID(TFaxRec* fax, std::string_view id) { fax->PData->StationID = Cut(id, MaxStationIDLen); }
void afSetFaxName(TFaxRec* fax, std::string_view name) { fax->PData->FaxFileName = Cut(name, MaxNameLen); }
std::string afGetFaxName(TFaxRec* fax) { return fax->PData->FaxFileName; }

void afSetNextFax(TFaxRec* fax, std::string_view number, std::string_view faxFile,
                  std::string_view coverFile) {
  fax->PData->PhoneNum = Cut(number, MaxPhoneNumLen);
  // File names stay as given: the file system tells upper and lower case apart.
  fax->PData->FaxFileName = Cut(faxFile, MaxNameLen);
  fax->PData->CoverFileName = Cut(coverFile, MaxNameLen);
}

void afSetConnectAttempts(TFaxRec* fax, std::uint16_t attempts, std::uint16_t retryWaitTicks) {
  fax->PData->ConnectAttempts = attempts;
  fax->PData->RetryWait = retryWaitTicks;
}

void afOptionsOn(TFaxRec* fax, std::uint16_t options) { fax->PData->FaxOptions |= options; }
void afOptionsOff(TFaxRec* fax, std::uint16_t options) {
  fax->PData->FaxOptions = static_cast<std::uint16_t>(fax->PData->FaxOptions & ~options);
}
bool afOptionsAreOn(TFaxRec* fax, std::uint16_t options) {
  return (fax->PData->FaxOptions & options) == options;
}
std::int16_t afGetFaxProgress(TFaxRec* fax) { return fax->PData->FaxProgress; }

// ---------------------------------------------------------------------------------------
// Fax list
// ---------------------------------------------------------------------------------------

void afAddFaxEntry(TFaxRec* fax, std::string_view number, std::string_view faxFile,
                   std::string_view coverFile) {
  fax->PData->FaxList.push_back(
      {Cut(number, MaxPhoneNumLen), Cut(faxFile, MaxNameLen), Cut(coverFile, MaxNameLen)});
  ++fax->PData->EntryCount;
}

void afClearFaxEntries(TFaxRec* fax) {
  fax->PData->FaxList.clear();
  fax->PData->FaxListNode = 0;
  fax->PData->EntryCount = 0;
}

bool afNextFaxList(TFaxRec* fax, std::string& number, std::string& faxFile, std::string& coverFile) {
  TFaxData* d = fax->PData;
  if (d->FaxListNode >= d->FaxList.size()) return false;
  const TFaxEntry& e = d->FaxList[d->FaxListNode++];
  number = e.PhoneNum;
  faxFile = e.FaxFile;
  coverFile = e.CoverFile;
  return true;
}

// ---------------------------------------------------------------------------------------
// Notices
// ---------------------------------------------------------------------------------------

std::string afStatusMsg(int code) {
  if (code < fpInitModem || code > fpFinished) return {};
  return SioLoadStr(code);
}

char* afStatusMsg(char* buffer, std::size_t bufSize, int code) {
  return CopyToBufferZ(buffer, bufSize, afStatusMsg(code));
}

void afReportError(TFaxRec* fax, int code) {
  fax->PData->FaxError = code;
  SendToWindow(fax, apw_FaxError, static_cast<WPARAM>(static_cast<std::uint16_t>(code)), 0);
}

void afFaxStatus(TFaxRec* fax, bool starting, bool ending) {
  WPARAM flags = 0;
  if (starting) flags |= 1;
  if (ending) flags |= 2;
  SendToWindow(fax, apw_FaxStatus, flags, reinterpret_cast<LPARAM>(fax));
}

bool afNextFax(TFaxRec* fax) {
  return SendToWindow(fax, apw_FaxNextfile, 0, reinterpret_cast<LPARAM>(fax)) == 1;
}

void afLogFax(TFaxRec* fax, TLogFaxCode code) {
  SendToWindow(fax, apw_FaxLog, code, reinterpret_cast<LPARAM>(fax));
}

void afFaxName(TFaxRec* fax) { SendToWindow(fax, apw_FaxName, 0, reinterpret_cast<LPARAM>(fax)); }

void afSetRemoteID(TFaxRec* fax, std::string_view id) {
  std::lock_guard<std::mutex> g(fax->PData->InfoLock);
  fax->PData->RemoteID = Cut(id, MaxStationIDLen);
}

bool afAcceptFax(TFaxRec* fax, std::string_view remoteID) {
  afSetRemoteID(fax, remoteID);
  return SendToWindow(fax, apw_FaxAccept, 0, reinterpret_cast<LPARAM>(fax)) == 1;
}

namespace {

// Guards the finding of a record on its dispatcher and the counts of its calls.
std::mutex gFaxCallGate;

// Counts a call or reading into the record.
void CountIn(TFaxRec* fax) {
  std::lock_guard<std::mutex> g(gFaxCallGate);
  fax->Calls.fetch_add(1);
}

// Counts a call or reading out of its record; the last one out of a record that was set
// aside frees it.
void CountOut(TFaxRec* fax) {
  bool last = false;
  {
    std::lock_guard<std::mutex> g(gFaxCallGate);
    last = fax->Calls.fetch_sub(1) == 1 && fax->Orphaned.load();
  }
  if (last) fFreeC12Fax(fax);
}

// Holds a record for a stretch of the caller's own (as a call does, without its lock).
class THold {
 public:
  explicit THold(TFaxRec* fax) : fax_(fax) { CountIn(fax_); }
  ~THold() { CountOut(fax_); }
  THold(const THold&) = delete;
  THold& operator=(const THold&) = delete;

 private:
  TFaxRec* fax_;
};

}  // namespace

TFaxCall::TFaxCall(LPARAM lParam) {
  const int handle = static_cast<int>((static_cast<std::uintptr_t>(lParam) >> 16) & 0xFFFF);
  TSioBaseDispatcher* d = GetTComRecPtr(handle);
  if (d == nullptr) return;
  {
    std::lock_guard<std::mutex> g(gFaxCallGate);
    void* p = nullptr;
    if (d->GetDataPointer(p, 2) != 0 || p == nullptr) return;
    auto* fax = static_cast<TFaxRec*>(p);
    if (fax->Orphaned.load()) return;
    fax->Calls.fetch_add(1);
    Fax = fax;
  }
  LockEngine(Fax->Lock, Fax, Fax->PData->HWindow);
}

TFaxCall::~TFaxCall() {
  if (Fax == nullptr) return;
  Fax->Lock.unlock();
  CountOut(Fax);
}

TFaxReading::TFaxReading(TFaxRec* fax) : Fax(fax) {
  CountIn(Fax);
  Reading.emplace(Fax->Lock, Fax);
}

TFaxReading::~TFaxReading() {
  Reading.reset();
  CountOut(Fax);
}

bool afSetAsideFax(TFaxRec* fax) {
  TSioBaseDispatcher* d = nullptr;
  if (fax->PData != nullptr && fax->PData->DispatcherHandle >= 0)
    d = GetTComRecPtr(fax->PData->DispatcherHandle);
  std::lock_guard<std::mutex> g(gFaxCallGate);
  if (d != nullptr) {
    void* p = nullptr;
    if (d->GetDataPointer(p, 2) == 0 && p == fax) d->SetDataPointer(nullptr, 2);
  }
  if (fax->Calls.load() == 0) return true;
  fax->Orphaned = true;
  return false;
}

// ---------------------------------------------------------------------------------------
// Session start and stop
// ---------------------------------------------------------------------------------------

int afStartFax(TFaxRec* fax, TFaxPrepareProc prepare, TFaxTriggerHandler handler) {
  // The preparation and the first call run on the caller's thread and may hand it a notice
  // whose handler destroys the component: the record stays until the start is done.
  THold hold(fax);
  TFaxData* d = fax->PData;
  TSioBaseDispatcher* port = d->ComPort;
  if (port == nullptr) return ecCommNotOpen;
  d->HandlerRegistered = false;
  d->TriggerHandler = handler;
  port->ChangeLengthTrigger(1);

  d->TimeoutTrigger = port->AddTimerTrigger();
  d->StatusTrigger = port->AddTimerTrigger();
  d->OutFreeTrigger = port->AddStatusTrigger(stOutBuffFree);
  d->OutEmptyTrigger = port->AddStatusTrigger(stOutBuffUsed);
  d->ModemTrigger = port->AddStatusTrigger(stModem);
  if (d->TimeoutTrigger < 0 || d->StatusTrigger < 0 || d->OutFreeTrigger < 0 || d->OutEmptyTrigger < 0 ||
      d->ModemTrigger < 0) {
    afReportError(fax, ecNoMoreTriggers);
    afSignalFinish(fax);
    return ecNoMoreTriggers;
  }

  {
    std::lock_guard<std::mutex> g(gFaxCallGate);
    port->SetDataPointer(fax, 2);
    d->DispatcherHandle = port->Handle();
  }
  if (prepare != nullptr) prepare(fax);

  if (d->FaxError == 0) {
    port->RegisterProcTriggerHandler(handler);
    d->HandlerRegistered = true;
    handler(0, 0, static_cast<LPARAM>(port->Handle()) * 65536);
    if (d->HandlerRegistered)
      port->SetTimerTrigger(static_cast<std::uint32_t>(d->StatusTrigger), Secs2Ticks(d->StatusInterval),
                            true);
    return 0;
  }
  afFaxStatus(fax, false, true);
  afSignalFinish(fax);
  return 0;
}

void afStopFax(TFaxRec* fax) {
  TFaxData* d = fax->PData;
  TSioBaseDispatcher* port = d->ComPort;
  if (port != nullptr) {
    for (int* t :
         {&d->TimeoutTrigger, &d->StatusTrigger, &d->OutFreeTrigger, &d->OutEmptyTrigger, &d->ModemTrigger}) {
      if (*t > 0) port->RemoveTrigger(static_cast<std::uint32_t>(*t));
      *t = 0;
    }
    if (d->HandlerRegistered) port->DeregisterProcTriggerHandler(d->TriggerHandler);
  }
  d->HandlerRegistered = false;
  d->InProgress = false;
}

void afSignalFinish(TFaxRec* fax) {
  afStopFax(fax);
  TFaxData* d = fax->PData;
  if (d->ComPort != nullptr) {
    const std::string text = "ErrorCode:" + std::to_string(d->FaxError);
    d->ComPort->AddDispatchEntry(dtFax, dstStatus, 0, text.data(), static_cast<std::uint32_t>(text.size()));
  }
  if (d->HWindow != 0)
    PostMessage(d->HWindow, apw_FaxFinish, static_cast<WPARAM>(static_cast<std::uint16_t>(d->FaxError)),
                reinterpret_cast<LPARAM>(fax));
}

// ---------------------------------------------------------------------------------------
// Header macros
// ---------------------------------------------------------------------------------------

std::string afConvertHeaderString(TFaxRec* fax, std::string_view source) {
  TFaxData* d = fax->PData;
  // One pass over the source: what a macro gives is appended and never searched again (a "$"
  // inside it stays as it is). Once the result holds its 255 characters the rest cannot show.
  std::string text;
  std::size_t from = 0;
  while (from < source.size() && text.size() < MaxNameLen) {
    const std::size_t pos = source.find('$', from);
    if (pos == std::string_view::npos) {
      text.append(source.substr(from));
      break;
    }
    text.append(source.substr(from, pos - from));
    std::size_t end = source.find(' ', pos);
    if (end == std::string_view::npos) end = source.size();
    const char which =
        pos + 1 < end ? static_cast<char>(std::toupper(static_cast<unsigned char>(source[pos + 1]))) : '\0';
    std::string value;
    switch (which) {
      case 'D':
        value = DateToStr(Now());
        break;
      case 'T':
        value = TimeToStr(Now());
        break;
      case 'I':
        value = d->StationID;
        break;
      case 'N':
        value = std::to_string(d->PageCount + d->CoverCount);
        break;
      case 'P':
        if (d->CoverCount == 0)
          value = std::to_string(d->CurrentPage);
        else if (d->SendingCover)
          value = "1";
        else
          value = std::to_string(d->CurrentPage + 1);
        break;
      case 'F':
        value = d->Sender;
        break;
      case 'R':
        value = d->Recipient;
        break;
      case 'S':
        value = d->Title;
        break;
      default:
        break;
    }
    text += value;
    from = end;
  }
  if (text.size() > MaxNameLen) text.resize(MaxNameLen);
  return text;
}

// ---------------------------------------------------------------------------------------
// Names of received faxes
// ---------------------------------------------------------------------------------------

namespace {

// The receive directory with a separator behind it. The separator is "/": a backslash
// would only become part of the file name here.
std::string DirPrefix(const TFaxData* d) {
  const std::string& dir = d->DestinationDir;
  if (dir.empty() || dir.back() == ':' || dir.back() == '\\' || dir.back() == '/') return dir;
  return dir + "/";
}

std::string FirstFreeName(TFaxRec* fax, const std::string& stem) {
  const std::string prefix = DirPrefix(fax->PData);
  for (int n = 1; n <= 9999; ++n) {
    char num[8];
    std::snprintf(num, sizeof num, "%04d", n);
    const std::string name = prefix + stem + num + "." + fax->PData->FaxFileExt;
    // Made exclusively: of two receives that look at once, each gets a name of its own.
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::close(fd);
      return name;
    }
    if (errno != EEXIST) return name;  // the directory is the trouble: creating tells why
  }
  return {};
}

}  // namespace

std::string afFaxNameMD(TFaxRec* fax) {
  std::uint16_t y = 0, m = 0, day = 0;
  DecodeDate(Now(), y, m, day);
  char md[8];
  std::snprintf(md, sizeof md, "%02u%02u", static_cast<unsigned>(m % 100), static_cast<unsigned>(day % 100));
  return FirstFreeName(fax, md);
}

std::string afFaxNameCount(TFaxRec* fax) { return FirstFreeName(fax, "FAX"); }
