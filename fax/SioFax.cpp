// The fax components, the status display base and the history log.
#include "fax/SioFax.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>

#include "platform/DateTime.h"
#include "serial/SioMisc.h"
#include "serial/Sioexcept.h"

namespace {

// The process-wide list of fax handler windows and their components.
std::mutex gWindowLock;
std::map<HWND, TSioCustomAbstractFax*>& Windows() {
  static std::map<HWND, TSioCustomAbstractFax*> windows;
  return windows;
}

// The first component of type T below owner that Accept takes, depth first.
template <class T, class Accept>
T* SearchComponent(TSioComponentOwner* owner, Accept&& accept) {
  if (owner == nullptr) return nullptr;
  for (int i = 0; i < owner->ComponentCount(); ++i) {
    TSioComponentOwner* c = owner->Components(i);
    if (auto* t = dynamic_cast<T*>(c); t != nullptr && accept(t)) return t;
    if (T* t = SearchComponent<T>(c, accept)) return t;
  }
  return nullptr;
}

// Checks the 64-byte header of a file to be joined; -8001 when it is no fax file.
int ReadJoinHeader(std::FILE* f, std::uint8_t* header) {
  if (std::fread(header, 1, FaxHeaderSize, f) != FaxHeaderSize) return ecFaxBadFormat;
  if (!TFaxHeaderRec::Load(header).HasSignature()) return ecFaxBadFormat;
  return 0;
}

}  // namespace

TSioCustomAbstractFax* SearchFax(TSioComponentOwner* owner) {
  return SearchComponent<TSioCustomAbstractFax>(owner, [](TSioCustomAbstractFax*) { return true; });
}

// ---------------------------------------------------------------------------------------
// Status display base

TSioAbstractFaxStatus::TSioAbstractFaxStatus(TSioComponentOwner* owner) : TSioComponentOwner(owner) {}

TSioAbstractFaxStatus::~TSioAbstractFaxStatus() {
  if (FFax != nullptr && FFax->GetStatusDisplay() == this) FFax->SetStatusDisplay(nullptr);
}

void TSioAbstractFaxStatus::SetPosition(TPosition p) {
  FPosition = p;
  ApplyToDisplay();
}
void TSioAbstractFaxStatus::SetCtl3D(bool on) {
  FCtl3D = on;
  ApplyToDisplay();
}
void TSioAbstractFaxStatus::SetVisible(bool on) {
  FVisible = on;
  ApplyToDisplay();
}
void TSioAbstractFaxStatus::SetCaption(std::string_view caption) {
  FCaption = std::string(caption);
  ApplyToDisplay();
}

void TSioAbstractFaxStatus::SetFax(TSioCustomAbstractFax* fax) {
  if (fax == FFax) return;
  TSioCustomAbstractFax* old = FFax;
  FFax = fax;
  if (old != nullptr && old->GetStatusDisplay() == this) old->SetStatusDisplay(nullptr);
  if (fax != nullptr && fax->GetStatusDisplay() != this) fax->SetStatusDisplay(this);
}

void TSioAbstractFaxStatus::Show() { ShowDisplay(); }

// ---------------------------------------------------------------------------------------
// History log

TSioFaxLog::TSioFaxLog(TSioComponentOwner* owner) : TSioComponentOwner(owner) {}

TSioFaxLog::~TSioFaxLog() {
  if (FFax != nullptr && FFax->GetFaxLog() == this) FFax->SetFaxLog(nullptr);
}

void TSioFaxLog::SetFax(TSioCustomAbstractFax* fax) {
  if (fax == FFax) return;
  TSioCustomAbstractFax* old = FFax;
  FFax = fax;
  if (old != nullptr && old->GetFaxLog() == this) old->SetFaxLog(nullptr);
  if (fax != nullptr && fax->GetFaxLog() != this) fax->SetFaxLog(this);
}

void TSioFaxLog::UpdateLog(TLogFaxCode LogCode) {
  if (FFaxHistoryName.empty() || FFax == nullptr) return;
  const std::string when = DateTimeToStr(Now());
  const std::string hangup = std::to_string(FFax->GetHangupCode());
  const std::string errorText = SioLoadStr(FFax->GetFaxError());
  std::string entry;
  switch (LogCode) {
    case lfaxTransmitStart:
      if (auto* send = dynamic_cast<TSioCustomSendFax*>(FFax))
        for (const std::string& name : send->FaxFileList())
          entry += "Transmit " + name + " to " + send->GetPhoneNumber() + " started at " + when + "\r\n";
      break;
    case lfaxTransmitOk:
      entry = "Transmit to " + FFax->GetRemoteID() + " finished OK at " + when + " " + hangup + "\r\n";
      break;
    case lfaxTransmitFail:
      entry = "Transmit failed at " + when + "\r\n  (" + errorText + ") " + hangup + "\r\n";
      break;
    case lfaxReceiveStart:
      entry =
          "Receive " + FFax->GetFaxFile() + " from " + FFax->GetRemoteID() + " started at " + when + "\r\n";
      break;
    case lfaxReceiveOk:
      entry = "Receive finished OK at " + when + "\r\n";
      break;
    case lfaxReceiveSkip:
      entry = "Receive skipped at " + when + "\r\n";
      break;
    case lfaxReceiveFail:
      entry = "Receive failed at " + when + "\r\n  (" + errorText + ")\r\n";
      break;
    default:
      break;
  }
  if (entry.empty()) return;
  // Appended, or created when missing; never truncated.
  if (std::FILE* f = std::fopen(FFaxHistoryName.c_str(), "ab")) {
    std::fwrite(entry.data(), 1, entry.size(), f);
    std::fclose(f);
  }
}

// ---------------------------------------------------------------------------------------
// The abstract fax component

TSioCustomAbstractFax::TSioCustomAbstractFax(TSioComponentOwner* owner, TKind kind)
    : TSioComponentOwner(owner), FKind(kind) {
  const int r =
      kind == fkSend ? fInitC12SendFax(FFax, "", nullptr, 0) : fInitC12ReceiveFax(FFax, "", nullptr, 0);
  if (r != 0) {
    FFax = nullptr;
    RaiseSioException(r);
  }
  RegisterClass(FaxHandlerClassName, &TSioCustomAbstractFax::WindowProc);
  FWindow = CreateWindow(FaxHandlerClassName, this);
  if (FWindow == 0) {
    if (kind == fkSend)
      fDoneC12SendFax(FFax);
    else
      fDoneC12ReceiveFax(FFax);
    RaiseSioException(ecInternal);
  }
  {
    std::lock_guard<std::mutex> g(gWindowLock);
    Windows()[FWindow] = this;
  }
  afSetWindow(FFax, FWindow);
  FFax->PData->ClassInUse = ctDetect;
  BindDefaults(owner);
}

TSioCustomAbstractFax::~TSioCustomAbstractFax() {
  if (FComPort != nullptr)
    FComPort->DeregisterUserCallback(TPortCallback::Of<&TSioCustomAbstractFax::PortEvent>(this));
  {
    std::lock_guard<std::mutex> g(gWindowLock);
    Windows().erase(FWindow);
  }
  if (FStatusDisplay != nullptr && FStatusDisplay->FFax == this) FStatusDisplay->FFax = nullptr;
  if (FFaxLog != nullptr && FFaxLog->FFax == this) FFaxLog->FFax = nullptr;
  if (FKind == fkSend)
    fDoneC12SendFax(FFax);
  else
    fDoneC12ReceiveFax(FFax);
  DestroyWindow(FWindow);
}

void TSioCustomAbstractFax::BindDefaults(TSioComponentOwner* owner) {
  if (TSioCustomComPort* port = SearchComPort(owner)) SetComPort(port);
  if (auto* display = SearchComponent<TSioAbstractFaxStatus>(
          owner, [](TSioAbstractFaxStatus* s) { return s->GetFax() == nullptr; }))
    SetStatusDisplay(display);
  if (auto* log = SearchComponent<TSioFaxLog>(owner, [](TSioFaxLog* l) { return l->GetFax() == nullptr; }))
    SetFaxLog(log);
}

void TSioCustomAbstractFax::Notification(TSioComponentOwner* component, TSioOperation operation) {
  if (operation == opRemove) {
    if (component == FComPort) SetComPort(nullptr);
    if (component == FStatusDisplay) FStatusDisplay = nullptr;
    if (component == FFaxLog) FFaxLog = nullptr;
    return;
  }
  if (auto* port = dynamic_cast<TSioCustomComPort*>(component); port != nullptr && FComPort == nullptr)
    SetComPort(port);
  if (auto* display = dynamic_cast<TSioAbstractFaxStatus*>(component);
      display != nullptr && FStatusDisplay == nullptr && display->GetFax() == nullptr)
    SetStatusDisplay(display);
  if (auto* log = dynamic_cast<TSioFaxLog*>(component);
      log != nullptr && FFaxLog == nullptr && log->GetFax() == nullptr)
    SetFaxLog(log);
}

void TSioCustomAbstractFax::Loaded() {
  ComponentState &= ~csLoading;
  if (!FHasMarker) SetStatusInterval(1);
}

void TSioCustomAbstractFax::ApplyPortSettings(TSioCustomComPort* port) {
  port->SetDataBits(8);
  port->SetStopBits(1);
  port->SetParity(pNone);
  port->SetBaud(19200);
  port->SetInSize(8192);
  port->SetOutSize(8192);
  port->SetHWFlowOptions(HWFlowBit(hwfUseRTS) | HWFlowBit(hwfRequireCTS));
}

void TSioCustomAbstractFax::SetComPort(TSioCustomComPort* port) {
  if (port == FComPort) return;
  const TPortCallback callback = TPortCallback::Of<&TSioCustomAbstractFax::PortEvent>(this);
  if (FComPort != nullptr) FComPort->DeregisterUserCallback(callback);
  FComPort = port;
  if (port != nullptr) port->RegisterUserCallback(callback);
  if (port != nullptr && (port->ComponentState & csLoading) == 0) ApplyPortSettings(port);
  FModemModel.clear();
  FModemChip.clear();
  FModemRevision.clear();
  FModemBPS = 0;
  FSupportedClasses = 0;
  if (port == nullptr) fSetFaxPort(FFax, nullptr);
}

void TSioCustomAbstractFax::PortEvent(TSioCustomComPort*, bool opening) {
  if (opening) return;
  LockEngine(FFax->Lock, FFax, FWindow);
  std::lock_guard<std::recursive_mutex> g(FFax->Lock, std::adopt_lock);
  if (FFax->PData->HandlerRegistered) {
    // The port goes away under a running fax: the fax ends with the error, its files closed.
    FFax->CData->FaxFile.Close();
    FFax->CData->RxFile.Close();
    FFax->State = FKind == fkSend ? static_cast<std::uint8_t>(tfDone) : static_cast<std::uint8_t>(rfDone);
    afReportError(FFax, ecCommNotOpen);
    afSignalFinish(FFax);
  }
  FFax->PData->InProgress = false;
  fSetFaxPort(FFax, nullptr);
}

void TSioCustomAbstractFax::SetStatusDisplay(TSioAbstractFaxStatus* display) {
  if (display == FStatusDisplay) return;
  TSioAbstractFaxStatus* old = FStatusDisplay;
  FStatusDisplay = display;
  if (old != nullptr && old->FFax == this) old->FFax = nullptr;
  if (display != nullptr) display->FFax = this;
}

void TSioCustomAbstractFax::SetFaxLog(TSioFaxLog* log) {
  if (log == FFaxLog) return;
  TSioFaxLog* old = FFaxLog;
  FFaxLog = log;
  if (old != nullptr && old->FFax == this) old->FFax = nullptr;
  if (log != nullptr) log->FFax = this;
}

void TSioCustomAbstractFax::SetInitBaud(std::int32_t baud) {
  FInitBaud = baud;
  fSetInitBaudRate(FFax, baud, FNormalBaud, !Designing() && FFax->PData->ComPort != nullptr);
}

void TSioCustomAbstractFax::SetNormalBaud(std::int32_t baud) {
  FNormalBaud = baud;
  FFax->CData->NormalBaud = baud;
}

TFaxClass TSioCustomAbstractFax::GetFaxClass() const {
  switch (FFax->PData->ClassInUse) {
    case ctDetect:
      return fcDetect;
    case ctClass1:
      return fcClass1;
    case ctClass2:
      return fcClass2;
    case ctClass2_0:
      return fcClass2_0;
    default:
      return fcUnknown;
  }
}

void TSioCustomAbstractFax::SetFaxClass(TFaxClass cls) {
  static const ClassType kTypes[5] = {ctUnknown, ctDetect, ctClass1, ctClass2, ctClass2_0};
  FFax->PData->ClassInUse = kTypes[cls];
}

std::string TSioCustomAbstractFax::GetModemInit() const { return FFax->CData->ModemInit; }
void TSioCustomAbstractFax::SetModemInit(std::string_view init) { fSetModemInit(FFax, init); }
std::string TSioCustomAbstractFax::GetStationID() const { return FFax->PData->StationID; }
void TSioCustomAbstractFax::SetStationID(std::string_view id) { afSetStationID(FFax, id); }

void TSioCustomAbstractFax::SetAbortNoConnect(bool on) {
  on ? afOptionsOn(FFax, afAbortNoConnect) : afOptionsOff(FFax, afAbortNoConnect);
}
void TSioCustomAbstractFax::SetExitOnError(bool on) {
  on ? afOptionsOn(FFax, afExitOnError) : afOptionsOff(FFax, afExitOnError);
}
void TSioCustomAbstractFax::SetSoftwareFlow(bool on) {
  on ? afOptionsOn(FFax, afSoftwareFlow) : afOptionsOff(FFax, afSoftwareFlow);
}

std::int32_t TSioCustomAbstractFax::GetSessionBPS() const {
  std::int32_t bps = 0;
  bool res = false, ecm = false;
  Read([&](TFaxRec* f) { return fGetSessionParams(f, bps, res, ecm); });
  return bps;
}
bool TSioCustomAbstractFax::GetSessionResolution() const {
  return Read([](TFaxRec* f) { return f->CData->SessionRes != 0; });
}
bool TSioCustomAbstractFax::GetSessionECM() const {
  return Read([](TFaxRec* f) { return f->CData->SessionECM != 0; });
}
std::string TSioCustomAbstractFax::GetRemoteID() const { return fGetRemoteID(FFax); }

namespace {
struct PageInfo {
  std::int32_t pages = 0, page = 0, bytes = 0, length = 0;
};
PageInfo ReadPageInfo(TFaxRec* fax) {
  PageInfo i;
  fGetPageInfoC12(fax, i.pages, i.page, i.bytes, i.length);
  return i;
}
}  // namespace

std::int32_t TSioCustomAbstractFax::GetTotalPages() const { return Read(ReadPageInfo).pages; }
std::int32_t TSioCustomAbstractFax::GetCurrentPage() const { return Read(ReadPageInfo).page; }
std::int32_t TSioCustomAbstractFax::GetBytesTransferred() const { return Read(ReadPageInfo).bytes; }
std::int32_t TSioCustomAbstractFax::GetPageLength() const { return Read(ReadPageInfo).length; }

TFaxClassSet TSioCustomAbstractFax::GetSupportedFaxClasses() {
  if (InProgress()) return FSupportedClasses;
  CheckPort();
  bool c1 = false, c2 = false, c20 = false;
  fGetModemClassSupport(FFax, c1, c2, c20, false);
  FSupportedClasses =
      static_cast<TFaxClassSet>((c1 ? fcsClass1 : 0) | (c2 ? fcsClass2 : 0) | (c20 ? fcsClass2_0 : 0));
  return FSupportedClasses;
}

namespace {
void AskModemInfo(TSioCustomAbstractFax* fax, std::string& model, std::string& chip, std::string& rev) {
  char cls = '0';
  fGetModemInfo(fax->FaxRec(), cls, model, chip, rev, false);
}
}  // namespace

std::string TSioCustomAbstractFax::GetModemModel() {
  if (!InProgress() && FModemModel.empty()) {
    CheckPort();
    AskModemInfo(this, FModemModel, FModemChip, FModemRevision);
  }
  return FModemModel;
}
std::string TSioCustomAbstractFax::GetModemChip() {
  if (!InProgress() && FModemModel.empty()) {
    CheckPort();
    AskModemInfo(this, FModemModel, FModemChip, FModemRevision);
  }
  return FModemChip;
}
std::string TSioCustomAbstractFax::GetModemRevision() {
  if (!InProgress() && FModemModel.empty()) {
    CheckPort();
    AskModemInfo(this, FModemModel, FModemChip, FModemRevision);
  }
  return FModemRevision;
}
std::int32_t TSioCustomAbstractFax::GetModemBPS() {
  if (!InProgress()) {
    CheckPort();
    char ecm = '0';
    fGetModemFeatures(FFax, FModemBPS, ecm);
    FModemECM = ecm == '1';
  }
  return FModemBPS;
}
bool TSioCustomAbstractFax::GetModemECM() {
  GetModemBPS();
  return FModemECM;
}

void TSioCustomAbstractFax::CheckPort() {
  if (FComPort == nullptr) RaiseSioException(ecPortNotAssigned);
  if (FComPort->GetDeviceLayer() == dlWinsock) RaiseSioException(ecCannotUseWithWinSock);
  if (FComPort->GetOutSize() < 8192) RaiseSioException(ecOutputBufferTooSmall);
  TSioBaseDispatcher* dispatcher = FComPort->ValidDispatcher();
  // A port that is still closing (and may be opened again after) has no line: its
  // dispatcher is going away.
  if (FComPort->GetPortState() != psOpen) RaiseSioException(ecCommNotOpen);
  fSetFaxPort(FFax, dispatcher);
}

void TSioCustomAbstractFax::CancelFax() {
  if (!InProgress() || FFax->PData->ComPort == nullptr) return;
  // Inside the handling of the engine's own notice the engine waits for this thread with its
  // call held: the cancel goes through the window once the notice is done.
  if (InSendMessageTagged(FFax)) {
    PostMessage(FWindow, apw_FaxCancel, 0, 0);
    return;
  }
  TFaxTriggerHandler handler = FFax->PData->TriggerHandler;
  if (handler == nullptr) return;
  handler(apw_FaxCancel, 0, static_cast<LPARAM>(FFax->PData->ComPort->Handle()) * 65536);
}

void TSioCustomAbstractFax::Fire(const std::function<void()>& fn) { SioGuarded(fn); }

void TSioCustomAbstractFax::apwFaxStatus(TSioCustomAbstractFax* CP, bool First, bool Last) {
  if (FStatusDisplay != nullptr) Fire([&] { FStatusDisplay->UpdateDisplay(First, Last); });
  if (FOnFaxStatus) Fire([&] { FOnFaxStatus(CP, First, Last); });
}

void TSioCustomAbstractFax::apwFaxLog(TSioCustomAbstractFax* CP, TLogFaxCode LogCode) {
  if (FFaxLog != nullptr) Fire([&] { FFaxLog->UpdateLog(LogCode); });
  if (FOnFaxLog) Fire([&] { FOnFaxLog(CP, LogCode); });
}

void TSioCustomAbstractFax::apwFaxError(TSioCustomAbstractFax* CP, int ErrorCode) {
  if (FOnFaxError) Fire([&] { FOnFaxError(CP, ErrorCode); });
}

void TSioCustomAbstractFax::apwFaxFinish(TSioCustomAbstractFax* CP, int ErrorCode) {
  AfterFinish();
  if (FOnFaxFinish) Fire([&] { FOnFaxFinish(CP, ErrorCode); });
}

LRESULT TSioCustomAbstractFax::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  TSioCustomAbstractFax* fax = nullptr;
  {
    std::lock_guard<std::mutex> g(gWindowLock);
    auto it = Windows().find(hwnd);
    if (it != Windows().end()) fax = it->second;
  }
  if (fax == nullptr) return DefWindowProc(hwnd, msg, wParam, lParam);
  return fax->Dispatch(msg, wParam, lParam);
}

LRESULT TSioCustomAbstractFax::Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) {
  // Codes travel in the low 16 bits of wParam: they are negative.
  const int code = static_cast<std::int16_t>(static_cast<std::uint16_t>(wParam));
  switch (msg) {
    case apw_FaxNextfile:
      return HandleNext() ? 1 : 0;
    case apw_FaxStatus:
      apwFaxStatus(this, wParam == 1, wParam == 2);
      return 0;
    case apw_FaxLog:
      apwFaxLog(this, static_cast<TLogFaxCode>(wParam));
      return 0;
    case apw_FaxName:
      HandleName();
      return 0;
    case apw_FaxAccept:
      return HandleAccept() ? 1 : 0;
    case apw_FaxError:
      apwFaxError(this, code);
      return 0;
    case apw_FaxFinish:
      apwFaxFinish(this, code);
      return 0;
    case apw_FaxCancel:  // a cancel that had to wait for the engine
      CancelFax();
      return 0;
    default:
      return DefWindowProc(FWindow, msg, wParam, lParam);
  }
}

// ---------------------------------------------------------------------------------------
// Sending

TSioCustomSendFax::TSioCustomSendFax(TSioComponentOwner* owner) : TSioCustomAbstractFax(owner, fkSend) {
  SetDialWait(FDialWait);
  afSetConnectAttempts(FFax, 3, static_cast<std::uint16_t>(Secs2Ticks(FDialRetryWait)));
}

TSioCustomSendFax::~TSioCustomSendFax() {
  if (!FTempFile.empty()) {
    std::error_code ec;
    std::filesystem::remove(FTempFile, ec);
  }
}

void TSioCustomSendFax::SetDialWait(std::int32_t seconds) {
  FDialWait = seconds;
  fSetDialTime(FFax, Secs2Ticks(seconds));
}

void TSioCustomSendFax::SetDialRetryWait(std::int32_t seconds) {
  FDialRetryWait = seconds;
  FFax->PData->RetryWait = static_cast<std::uint16_t>(Secs2Ticks(seconds));
}

void TSioCustomSendFax::ConcatFaxes(const std::string& fileName) {
  if (FFaxFileList.empty()) return;
  std::FILE* out = std::fopen(fileName.c_str(), "w+b");
  if (out == nullptr) RaiseSioException(fxfFileError(errno));
  int result = 0;
  std::uint8_t first[FaxHeaderSize];
  std::uint32_t pages = 0;
  std::vector<char> buf(64 * 1024);
  for (std::size_t i = 0; i < FFaxFileList.size() && result == 0; ++i) {
    std::FILE* in = std::fopen(FFaxFileList[i].c_str(), "rb");
    if (in == nullptr) {
      result = fxfFileError(errno);
      break;
    }
    std::uint8_t header[FaxHeaderSize];
    result = ReadJoinHeader(in, header);
    if (result == 0) {
      pages += TFaxHeaderRec::Load(header).PageCount;
      if (i == 0) {
        std::memcpy(first, header, FaxHeaderSize);
        if (std::fwrite(header, 1, FaxHeaderSize, out) != FaxHeaderSize) result = ecDeviceWrite;
      }
      std::size_t n = 0;
      while (result == 0 && (n = std::fread(buf.data(), 1, buf.size(), in)) > 0)
        if (std::fwrite(buf.data(), 1, n, out) != n) result = ecDeviceWrite;
    }
    std::fclose(in);
  }
  if (result == 0) {
    TFaxHeaderRec h = TFaxHeaderRec::Load(first);
    h.PageCount = static_cast<std::uint16_t>(pages > 0xFFFF ? 0xFFFF : pages);
    h.Store(first);
    if (std::fseek(out, 0, SEEK_SET) != 0 || std::fwrite(first, 1, FaxHeaderSize, out) != FaxHeaderSize)
      result = ecDeviceWrite;
  }
  if (std::fclose(out) != 0 && result == 0) result = ecDeviceWrite;
  if (result != 0) {
    std::error_code ec;
    std::filesystem::remove(fileName, ec);  // no half-joined file stays behind
    RaiseSioException(result);
  }
}

void TSioCustomSendFax::StartTransmit() {
  CheckPort();
  if (!FTempFile.empty()) {
    std::error_code ec;
    std::filesystem::remove(FTempFile, ec);
    FTempFile.clear();
  }
  if (FFaxFileList.size() >= 2 && !FOnFaxNext) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "~APXXXXXX.TMP").string();
    const int fd = ::mkstemps(tmpl.data(), 4);
    if (fd < 0) RaiseSioException(fxfFileError(errno));
    ::close(fd);
    try {
      ConcatFaxes(tmpl);
    } catch (...) {
      std::error_code ec;
      std::filesystem::remove(tmpl, ec);
      throw;
    }
    FTempFile = tmpl;
    FFax->PData->UsingTempFile = true;
  } else {
    FFax->PData->UsingTempFile = false;
  }
  FHandedOut = false;
  afStartFax(FFax, fPrepareFaxTransmit, fFaxTransmit);
}

void TSioCustomSendFax::StartManualTransmit() {
  FFax->PData->ManualSend = true;
  StartTransmit();
}

void TSioCustomSendFax::apwFaxNext(TSioCustomAbstractFax* CP, std::string& APhoneNum, std::string& AFaxFile,
                                   std::string& ACoverFile) {
  if (FOnFaxNext) {
    APhoneNum.clear();
    AFaxFile.clear();
    ACoverFile.clear();
    Fire([&] { FOnFaxNext(CP, APhoneNum, AFaxFile, ACoverFile); });
    FPhoneNumber = APhoneNum;
    FFaxFile = AFaxFile;
    FCoverFile = ACoverFile;
    return;
  }
  if (FHandedOut) {
    APhoneNum.clear();
    AFaxFile.clear();
    ACoverFile.clear();
    return;
  }
  FHandedOut = true;
  APhoneNum = FPhoneNumber;
  AFaxFile = !FTempFile.empty() ? FTempFile : FFaxFile;
  ACoverFile = FCoverFile;
}

bool TSioCustomSendFax::HandleNext() {
  std::string number, faxFile, coverFile;
  apwFaxNext(this, number, faxFile, coverFile);
  if (number.empty()) return false;
  afSetNextFax(FFax, number, faxFile, coverFile);
  return true;
}

void TSioCustomSendFax::AfterFinish() {
  if (!FTempFile.empty()) {
    std::error_code ec;
    std::filesystem::remove(FTempFile, ec);
    FTempFile.clear();
  }
  FFax->PData->UsingTempFile = false;
  FFax->PData->ManualSend = false;
}

// ---------------------------------------------------------------------------------------
// Receiving

TSioCustomReceiveFax::TSioCustomReceiveFax(TSioComponentOwner* owner)
    : TSioCustomAbstractFax(owner, fkReceive) {
  FFax->PData->FaxFileExt = "FXF";
  fSetAnswerOnRing(FFax, 1);
}

TSioCustomReceiveFax::~TSioCustomReceiveFax() = default;

void TSioCustomReceiveFax::SetDestinationDir(std::string_view dir) {
  std::string d(dir);
  if (!d.empty() && d.back() != '/' && d.back() != '\\') d += '/';
  afSetDestinationDir(FFax, d);
}

void TSioCustomReceiveFax::StartReceive() {
  CheckPort();
  afStartFax(FFax, fPrepareFaxReceive, fFaxReceive);
}

void TSioCustomReceiveFax::StartManualReceive(bool answerNow) {
  CheckPort();
  fSetManualReceive(FFax, answerNow);
  afStartFax(FFax, fPrepareFaxReceive, fFaxReceive);
}

void TSioCustomReceiveFax::InitModemForFaxReceive() {
  if (InProgress()) return;
  CheckPort();
  Check(fInitModemForFaxReceive(FFax));
}

void TSioCustomReceiveFax::PrepareConnectInProgress() { fSetConnectState(FFax); }

void TSioCustomReceiveFax::apwFaxAccept(TSioCustomAbstractFax* CP, bool& Accept) {
  Accept = true;
  if (FOnFaxAccept) Fire([&] { FOnFaxAccept(CP, Accept); });
}

void TSioCustomReceiveFax::apwFaxName(TSioCustomAbstractFax* CP, std::string& Name) {
  if (FOnFaxName) {
    Fire([&] { FOnFaxName(CP, Name); });
    return;
  }
  switch (FNameMode) {
    case fnCount:
      Name = afFaxNameCount(FFax);
      break;
    case fnMonthDay:
      Name = afFaxNameMD(FFax);
      break;
    default:
      Name = "noname.fxf";
      break;
  }
}

void TSioCustomReceiveFax::apwFaxLog(TSioCustomAbstractFax* CP, TLogFaxCode LogCode) {
  TSioCustomAbstractFax::apwFaxLog(CP, LogCode);
  if (LogCode == lfaxReceiveOk || LogCode == lfaxReceiveSkip || LogCode == lfaxReceiveFail) FFaxFile.clear();
}

bool TSioCustomReceiveFax::HandleAccept() {
  bool accept = true;
  apwFaxAccept(this, accept);
  return accept;
}

void TSioCustomReceiveFax::HandleName() {
  std::string name = FFaxFile;
  apwFaxName(this, name);
  FFaxFile = name.substr(0, 255);
  afSetFaxName(FFax, FFaxFile);
}
