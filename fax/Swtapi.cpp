// The telephony device: session, line, calls, redialing, the service's events and the
// hand-over of the call's port. Voice and wave handling is in Swtapiwav.cpp.
#include "fax/Swtapi.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/Registry.h"
#include "platform/Threads.h"
#include "serial/SioStrRes.h"
#include "serial/Sioexcept.h"

namespace {

constexpr const char* kSessionKey = "\\SOFTWARE\\Nordhaven\\SIO\\TAPI";
constexpr const char* kHelperClass = "swTapiHelper";
constexpr UINT kLineCreatedMsg = 1062;
constexpr UINT kQueryEndSession = 17;
constexpr UINT kRedialTimer = 1;
constexpr DWORD kReplyLimitMs = 120000;  // a service that never answers does not hang the program

std::mutex& HookLock() {
  static std::mutex m;
  return m;
}
TDeviceSelectionHook& SelectionHook() {
  static TDeviceSelectionHook h;
  return h;
}
std::function<void(bool)>& CursorHook() {
  static std::function<void(bool)> h;
  return h;
}

void BusyCursor(bool on) {
  std::function<void(bool)> h;
  {
    std::lock_guard<std::mutex> g(HookLock());
    h = CursorHook();
  }
  if (h) h(on);
}

// The helper windows of all devices, for the broadcast of a new line device.
std::vector<HWND>& HelperWindows() {
  static std::vector<HWND> w;
  return w;
}

std::string SessionValueName() {
  char name[16];
  std::snprintf(name, sizeof name, "$%08X", static_cast<unsigned>(::getpid()));
  return name;
}

std::string ProgramName() {
  std::string n = program_invocation_short_name != nullptr ? program_invocation_short_name : "";
  const std::size_t dot = n.rfind('.');
  if (dot != std::string::npos && dot > 0) n.erase(dot);
  return n;
}

// 1-based position of the lowest set bit, 33 for 0.
int LowBit(std::uint32_t v) {
  if (v == 0) return 33;
  int b = 1;
  while ((v & 1u) == 0) {
    v >>= 1;
    ++b;
  }
  return b;
}

std::string ReplaceFirst(std::string text, std::string_view what, const std::string& with) {
  const std::size_t p = text.find(what);
  if (p != std::string::npos) text.replace(p, what.size(), with);
  return text;
}

void NoCallback(DWORD_PTR, std::uint32_t, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

// Components of the owner, depth first.
template <class T>
T* FindFree(TSioComponentOwner* owner) {
  if (owner == nullptr) return nullptr;
  for (int i = 0; i < owner->ComponentCount(); ++i) {
    TSioComponentOwner* c = owner->Components(i);
    if (auto* t = dynamic_cast<T*>(c); t != nullptr && t->GetTapiDevice() == nullptr) return t;
    if (T* t = FindFree<T>(c)) return t;
  }
  return nullptr;
}

[[noreturn]] void Raise(int code) { RaiseSioException(code); }

}  // namespace

// ---------------------------------------------------------------------------------------
// Hooks and the line list of the selection dialog
// ---------------------------------------------------------------------------------------

void SetDeviceSelectionHook(TDeviceSelectionHook hook) {
  std::lock_guard<std::mutex> g(HookLock());
  SelectionHook() = std::move(hook);
}

TDeviceSelectionResult RunDeviceSelection(const TDeviceSelectionRequest& request) {
  TDeviceSelectionHook h;
  {
    std::lock_guard<std::mutex> g(HookLock());
    h = SelectionHook();
  }
  if (!h) return {};
  return h(request);
}

void SetTapiBusyCursorHook(std::function<void(bool)> hook) {
  std::lock_guard<std::mutex> g(HookLock());
  CursorHook() = std::move(hook);
}

TStringList EnumTapiLineNames() {
  TStringList names;
  HLINEAPP app = 0;
  std::uint32_t count = 0;
  if (tuLineInitialize(&app, nullptr, NoCallback, "", &count) != 0) return names;
  for (std::uint32_t id = 0; id < count; ++id) {
    std::uint32_t version = 0;
    LINEEXTENSIONID ext{};
    if (tuLineNegotiateApiVersion(app, id, kTelephonyApiVersion, kTelephonyApiVersion, &version, &ext) != 0)
      continue;
    TTapiRecord<LINEDEVCAPS> caps;
    if (tuLineGetDevCapsDyn(app, id, version, 0, caps) != 0 || !caps) continue;
    std::string name = TapiRecordString(caps.get(), caps->dwLineNameSize, caps->dwLineNameOffset);
    names.Add(name.empty() ? "<noname>" : name);
  }
  tuLineShutdown(app);
  return names;
}

// ---------------------------------------------------------------------------------------
// Creation and destruction
// ---------------------------------------------------------------------------------------

TSioCustomTapiDevice::TSioCustomTapiDevice(TSioComponentOwner* owner) : TSioComponentOwner(owner) {
  TSioComponentOwner* o = Owner();
  if (TSioCustomComPort* port = SearchComPort(o)) SetComPort(port);
  if (auto* display = FindFree<TSioAbstractTapiStatus>(o)) SetStatusDisplay(display);
  if (auto* log = FindFree<TSioTapiLog>(o)) SetTapiLog(log);
  static std::once_flag classOnce;
  std::call_once(classOnce, [] { RegisterClass(kHelperClass, &TSioCustomTapiDevice::HelperWindowProc); });
  FHelperWindow = CreateWindow(kHelperClass, this);
  HelperWindows().push_back(FHelperWindow);
  if ((ComponentState & csDesigning) == 0) {
    try {
      StartTapi();
      EnumLineDevices();
    } catch (const std::exception& e) {
      // Without the telephony service the device stays usable; the next use tries again.
      SioHandleException(e);
    }
  }
}

TSioCustomTapiDevice::~TSioCustomTapiDevice() {
  try {
    if (FWaveState == wsPlaying) StopWaveFile();
    SetOpen(false);
    StopTapi();
  } catch (const std::exception& e) {
    SioHandleException(e);
  }
  FreeDialTimer();
  FreePlayBuffers();
  FreeRecordBuffers();
  if (FRecordFile >= 0) ::close(FRecordFile);
  if (!FTempFileName.empty()) ::unlink(FTempFileName.c_str());
  if (FStatusDisplay != nullptr) FStatusDisplay->ForgetDevice();
  if (FTapiLog != nullptr) FTapiLog->ForgetDevice();
  auto& w = HelperWindows();
  w.erase(std::remove(w.begin(), w.end(), FHelperWindow), w.end());
  DestroyWindow(FHelperWindow);
}

void TSioCustomTapiDevice::Assign(const TSioCustomTapiDevice& source) {
  FTapiDevices.Clear();
  FOperatingMode = source.FOperatingMode;
  FSelectedDevice = source.FSelectedDevice;
  FNumDevices = source.FNumDevices;
  FOpen = source.FOpen;
  FMaxAttempts = source.FMaxAttempts;
  FAnswerOnRing = source.FAnswerOnRing;
  FAttempt = source.FAttempt;
  FRetryWait = source.FRetryWait;
  FShowTapiDevices = source.FShowTapiDevices;
  FComPort = source.FComPort;
  FStatusDisplay = source.FStatusDisplay;
  FTapiLog = source.FTapiLog;
  FCallInfo = source.CopyCallInfo();
}

void TSioCustomTapiDevice::Notification(TSioComponentOwner* component, TSioOperation operation) {
  if (operation == opRemove) {
    if (component == FComPort) FComPort = nullptr;
    if (component == FStatusDisplay) FStatusDisplay = nullptr;
    if (component == FTapiLog) FTapiLog = nullptr;
    return;
  }
  if (auto* port = dynamic_cast<TSioCustomComPort*>(component); port != nullptr && FComPort == nullptr)
    SetComPort(port);
  if (auto* display = dynamic_cast<TSioAbstractTapiStatus*>(component);
      display != nullptr && FStatusDisplay == nullptr && display->GetTapiDevice() == nullptr)
    SetStatusDisplay(display);
  if (auto* log = dynamic_cast<TSioTapiLog*>(component);
      log != nullptr && FTapiLog == nullptr && log->GetTapiDevice() == nullptr)
    SetTapiLog(log);
}

// ---------------------------------------------------------------------------------------
// Properties
// ---------------------------------------------------------------------------------------

void TSioCustomTapiDevice::SetSelectedDevice(const std::string& name) {
  FSelectedDevice = name;
  if (FEnableVoice) CheckVoiceCapable();
}

void TSioCustomTapiDevice::SetComPort(TSioCustomComPort* port) {
  FComPort = port;
  if (port != nullptr && port->GetTapiMode() == tmAuto) {
    // The port runs on the call's handle from now on.
    port->SetTapiMode(tmOn);
    port->SetAutoOpen(false);
    port->SetOpen(false);
  }
}

void TSioCustomTapiDevice::SetStatusDisplay(TSioAbstractTapiStatus* display) {
  if (display == FStatusDisplay) return;
  if (FStatusDisplay != nullptr) FStatusDisplay->ForgetDevice();
  FStatusDisplay = display;
  if (display != nullptr && display->GetTapiDevice() != this) display->SetTapiDevice(this);
}

void TSioCustomTapiDevice::SetTapiLog(TSioTapiLog* log) {
  if (log == FTapiLog) return;
  if (FTapiLog != nullptr) FTapiLog->ForgetDevice();
  FTapiLog = log;
  if (log != nullptr && log->GetTapiDevice() != this) log->SetTapiDevice(this);
}

void TSioCustomTapiDevice::SetEnableVoice(bool enable) {
  FEnableVoice = enable;
  if (enable && !FSelectedDevice.empty()) CheckVoiceCapable();
}

std::uint32_t TSioCustomTapiDevice::GetBPSRate() const {
  if (!FConnected || !FCallInfo) return 0;
  return FCallInfo->dwRate;
}

TTapiState TSioCustomTapiDevice::GetTapiState() const {
  if (FCall == 0) return tsIdle;
  std::uint32_t state = FLastCallState;
  TTapiRecord<LINECALLSTATUS> status;
  if (tuLineGetCallStatusDyn(FCall, status) == 0 && status) state = status->dwCallState;
  for (int i = 0; i < 15; ++i)
    if (state == (1u << i)) return static_cast<TTapiState>(i);
  return tsUnknown;
}

std::string TSioCustomTapiDevice::GetCallerID() const {
  if (!FCallInfo) return {};
  const std::uint32_t f = FCallInfo->dwCallerIDFlags;
  if ((f & LINECALLPARTYID_ADDRESS) == 0) {
    if (f & LINECALLPARTYID_BLOCKED) return SioLoadStr(sidCallerIDBlocked);
    if (f & LINECALLPARTYID_OUTOFAREA) return SioLoadStr(sidOutOfAreaCall);
    if (f & LINECALLPARTYID_UNKNOWN) return "Unknown";
    if (f & LINECALLPARTYID_UNAVAIL) return "Unavailable";
  }
  return TapiRecordString(FCallInfo.get(), FCallInfo->dwCallerIDSize, FCallInfo->dwCallerIDOffset);
}

std::string TSioCustomTapiDevice::GetCallerIDName() const {
  if (!FCallInfo) return {};
  const std::uint32_t f = FCallInfo->dwCallerIDFlags;
  if (f & LINECALLPARTYID_BLOCKED) return SioLoadStr(sidCallerIDBlocked);
  if (f & LINECALLPARTYID_OUTOFAREA) return SioLoadStr(sidOutOfAreaCall);
  if (f & LINECALLPARTYID_UNKNOWN) return "Unknown";
  if (f & LINECALLPARTYID_UNAVAIL) return "Unavailable";
  return TapiRecordString(FCallInfo.get(), FCallInfo->dwCallerIDNameSize, FCallInfo->dwCallerIDNameOffset);
}

std::uint16_t TSioCustomTapiDevice::GetComNumber() {
  StartTapi();
  const std::int32_t id = GetSelectedLine();
  // A look at the line's name, without a word to its modem.
  HLINE line = FLine;
  bool opened = false;
  if (line == 0) {
    std::uint32_t version = 0;
    LINEEXTENSIONID ext{};
    if (tuLineNegotiateApiVersion(FLineApp, static_cast<std::uint32_t>(id), kTelephonyApiVersion,
                                  kTelephonyApiVersion, &version, &ext) != 0 ||
        tuLineOpen(FLineApp, static_cast<std::uint32_t>(id), &line, version, 0, 0, LINECALLPRIVILEGE_NONE,
                   LINEMEDIAMODE_DATAMODEM, nullptr) != 0)
      return 0;
    opened = true;
  }
  FReplyBuffer.fill(0);
  auto* vs = reinterpret_cast<VARSTRING*>(FReplyBuffer.data());
  vs->dwTotalSize = sizeof FReplyBuffer;
  std::uint16_t number = 0;
  if (tuLineGetID(line, 0, 0, LINECALLSELECT_LINE, vs, "comm/datamodem/portname") == 0) {
    std::string name = TapiRecordString(vs, vs->dwStringSize, vs->dwStringOffset).substr(0, 10);
    if (name.size() > 3) {
      unsigned v = 0;
      bool ok = true;
      for (char c : name.substr(3)) {
        if (c < '0' || c > '9' || v > 6553) {
          ok = false;
          break;
        }
        v = v * 10 + static_cast<unsigned>(c - '0');
      }
      if (ok && v <= 0xFFFF) number = static_cast<std::uint16_t>(v);
    }
  }
  if (opened) tuLineClose(line);
  return number;
}

// ---------------------------------------------------------------------------------------
// Session
// ---------------------------------------------------------------------------------------

void TSioCustomTapiDevice::StartTapi() {
  if (FLineApp != 0 || FStarting) return;
  FStarting = true;
  struct Reset {
    bool& f;
    ~Reset() { f = false; }
  } reset{FStarting};
  {
    // The entries of sessions gone are removed in one write of the settings file.
    TRegistryBatch batch;
    TRegistry reg;
    if (reg.OpenKey(kSessionKey, true)) {
      TStringList names;
      reg.GetValueNames(names);
      for (int i = 0; i < names.Count(); ++i) reg.DeleteValue(names[i]);
    }
    batch.Commit();
  }
  const std::string app = ProgramName();
  bool reinitWaited = false;
  for (int attempt = 1;; ++attempt) {
    HLINEAPP handle = 0;
    std::uint32_t count = 0;
    LONG r = tuLineInitialize(&handle, nullptr, &TSioCustomTapiDevice::LineCallback, app.c_str(), &count);
    if (r == 0) {
      FLineApp = handle;
      FNumDevices = count;
      break;
    }
    const int code = TapiResultToCode(r);
    if (code == ecTapiReinit && !reinitWaited) {
      reinitWaited = true;
      PumpUntil([] { return false; }, 5000);
      continue;
    }
    if (code == ecTapiReinit || code == ecTapiLineMapperFailed || code == ecTapiNoDevice ||
        code == ecTapiNoDriver || code == ecTapiNoMem || code == ecTapiNotOwner ||
        code == ecTapiOperationFailed || attempt >= 3)
      Raise(code);
  }
  TRegistry reg;
  if (reg.OpenKey(kSessionKey, true)) reg.WriteString(SessionValueName(), std::to_string(FLineApp));
  FLine = 0;
  FCall = 0;
}

void TSioCustomTapiDevice::StopTapi() {
  if (FStopped || FLineApp == 0) return;
  FStopped = true;
  struct Reset {
    bool& f;
    ~Reset() { f = false; }
  } reset{FStopped};
  HangupCall(true);
  const LONG r = tuLineShutdown(FLineApp);
  FLineApp = 0;
  FLine = 0;
  FCall = 0;
  try {
    TRegistry reg;
    if (reg.OpenKey(kSessionKey, false)) reg.DeleteValue(SessionValueName());
  } catch (const std::exception&) {
  }
  CheckTapi(r);
}

void TSioCustomTapiDevice::EnumLineDevices() {
  StartTapi();
  FTapiDevices.Clear();
  for (std::uint32_t id = 0; id < FNumDevices; ++id) {
    std::uint32_t version = 0;
    LINEEXTENSIONID ext{};
    if (tuLineNegotiateApiVersion(FLineApp, id, kTelephonyApiVersion, kTelephonyApiVersion, &version, &ext) !=
        0)
      continue;
    TTapiRecord<LINEDEVCAPS> caps;
    if (tuLineGetDevCapsDyn(FLineApp, id, version, 0, caps) != 0 || !caps) continue;
    FTapiDevices.Add(TapiRecordString(caps.get(), caps->dwLineNameSize, caps->dwLineNameOffset));
  }
}

std::int32_t TSioCustomTapiDevice::DeviceIDFromName(const std::string& name) {
  StartTapi();
  if (name.empty()) return -1;
  for (std::uint32_t id = 0; id < FNumDevices; ++id) {
    std::uint32_t version = 0;
    LINEEXTENSIONID ext{};
    if (tuLineNegotiateApiVersion(FLineApp, id, kTelephonyApiVersion, kTelephonyApiVersion, &version, &ext) !=
        0)
      continue;
    // A line whose capabilities cannot be read is skipped, as the enumeration does.
    TTapiRecord<LINEDEVCAPS> caps;
    if (tuLineGetDevCapsDyn(FLineApp, id, version, 0, caps) != 0 || !caps) continue;
    if (TapiRecordString(caps.get(), caps->dwLineNameSize, caps->dwLineNameOffset) == name) {
      FApiVersion = version;
      return static_cast<std::int32_t>(id);
    }
  }
  return -1;
}

std::int32_t TSioCustomTapiDevice::GetSelectedLine() {
  std::int32_t id = DeviceIDFromName(FSelectedDevice);
  if (id >= 0) return id;
  if (FNumDevices == 1 && FSelectedDevice.empty()) {
    std::uint32_t version = 0;
    LINEEXTENSIONID ext{};
    if (tuLineNegotiateApiVersion(FLineApp, 0, kTelephonyApiVersion, kTelephonyApiVersion, &version, &ext) ==
        0) {
      FApiVersion = version;
      TTapiRecord<LINEDEVCAPS> caps;
      if (tuLineGetDevCapsDyn(FLineApp, 0, version, 0, caps) == 0 && caps)
        FSelectedDevice = TapiRecordString(caps.get(), caps->dwLineNameSize, caps->dwLineNameOffset);
      return 0;
    }
  }
  if (!FShowTapiDevices && !FShowPorts) Raise(ecTapiNoSelect);
  TDeviceSelectionRequest request;
  request.ShowLines = true;
  request.ShowPorts = false;
  request.Mode = tmAuto;
  request.LineName = FSelectedDevice;
  TDeviceSelectionResult result = RunDeviceSelection(request);
  if (!result.Ok) Raise(ecTapiNoSelect);
  FSelectedDevice = result.Name;
  id = DeviceIDFromName(FSelectedDevice);
  if (id < 0) Raise(ecTapiNoSelect);
  return id;
}

// ---------------------------------------------------------------------------------------
// Line
// ---------------------------------------------------------------------------------------

void TSioCustomTapiDevice::SetOpen(bool open) {
  StartTapi();
  if (open) FDeviceID = GetSelectedLine();
  if (open == FOpen) return;
  if (!open) {
    if (FCall == 0 && !FHangingUp) {
      // A line without a call closes without a word: no call has ended.
      if (FLine != 0) tuLineClose(FLine);
      FLine = 0;
      FOpen = false;
      FLineInUse = false;
      FConnected = false;
      return;
    }
    HangupCall(false);
    return;
  }
  if (FApiVersion == 0) FApiVersion = kTelephonyApiVersion;
  const std::uint32_t privilege =
      FOperatingMode == kModeDial ? LINECALLPRIVILEGE_NONE : LINECALLPRIVILEGE_OWNER;
  const std::uint32_t media = FEnableVoice ? LINEMEDIAMODE_AUTOMATEDVOICE : LINEMEDIAMODE_DATAMODEM;
  HLINE line = 0;
  CheckTapi(tuLineOpen(FLineApp, static_cast<std::uint32_t>(FDeviceID), &line, FApiVersion, 0,
                       reinterpret_cast<DWORD_PTR>(this), privilege, media, nullptr));
  FLine = line;
  FLineInUse = true;
  FOpenedOnce = true;
  const LONG r = tuLineSetStatusMessages(FLine, LINEDEVSTATE_ALL, LINEADDRESSSTATE_ALL);
  if (r != 0) {
    tuLineClose(FLine);
    FLine = 0;
    FLineInUse = false;
    CheckTapi(r);
  }
  FOpen = true;
  if (FAttempt == 1 || FOperatingMode == kModeAnswer) TapiLogging(ltapiCallStart);
}

void TSioCustomTapiDevice::AssureTapiReady() {
  if (FComPort == nullptr) Raise(ecPortNotAssigned);
  if (FComPort->GetTapiMode() == tmAuto) FComPort->SetTapiMode(tmOn);
  if (FComPort->GetTapiMode() != tmOn) Raise(ecTapiNotSet);
  if (GetTapiState() != tsIdle) Raise(ecTapiBusy);
}

void TSioCustomTapiDevice::Dial(const std::string& number) {
  AssureTapiReady();
  // A line that is open already (waiting for calls, say) is not dialled over.
  if (FLineInUse) Raise(ecTapiBusy);
  FAttempt = 1;
  FRedialing = true;
  FNumber = number;
  FQuiet = false;
  if (FStatusDisplay != nullptr) FStatusDisplay->SetAnswering(false);
  DialPrim(LINEBEARERMODE_VOICE);
}

void TSioCustomTapiDevice::DialPrim(std::uint32_t bearer) {
  if (FLineInUse) Raise(ecTapiBusy);
  StartTapi();
  FCancelled = false;
  FOperatingMode = kModeDial;
  SetOpen(true);
  LINECALLPARAMS params{};
  params.dwTotalSize = sizeof params;
  params.dwBearerMode = bearer;
  params.dwMediaMode = FEnableVoice ? LINEMEDIAMODE_AUTOMATEDVOICE : LINEMEDIAMODE_DATAMODEM;
  params.dwCallParamFlags = LINECALLPARAMFLAGS_IDLE;
  params.dwAddressMode = LINEADDRESSMODE_ADDRESSID;
  params.dwAddressID = 0;
  TapiLogging(ltapiDial);
  FLastCallState = 0;
  FConnected = false;
  HCALL call = 0;
  LONG r = tuLineMakeCall(FLine, &call, FNumber.c_str(), 0, &params);
  int result;
  if (r > 0) {
    FCall = call;
    result = WaitForReply(r);
  } else {
    result = TapiResultToCode(r);
  }
  if (result >= 0) return;
  // The service has no such call after a failed request.
  FCall = 0;
  TapiLogging(ltapiDialFail);
  FRedialing = false;
  HangupCall(true);
  if (FOnTapiFail)
    FOnTapiFail(this);
  else
    Raise(ecTapiCallUnavail);
}

void TSioCustomTapiDevice::ConfigAndOpen() {
  AssureTapiReady();
  StartTapi();
  FOperatingMode = kModeAnswer;
  FQuiet = true;
  // An outgoing call, as a dialled one: its window reads "Dialing:".
  if (FStatusDisplay != nullptr) FStatusDisplay->SetAnswering(false);
  SetOpen(false);
  BusyCursor(true);
  try {
    SetOpen(true);
  } catch (...) {
    BusyCursor(false);
    throw;
  }
  BusyCursor(false);
  SetOpen(false);
  DialPrim(LINEBEARERMODE_PASSTHROUGH);
}

void TSioCustomTapiDevice::AutoAnswer() {
  AssureTapiReady();
  StartTapi();
  FCancelled = false;
  FOperatingMode = kModeAnswer;
  FQuiet = false;
  SetOpen(false);
  SetOpen(true);
  if (FStatusDisplay != nullptr) FStatusDisplay->SetAnswering(true);
}

void TSioCustomTapiDevice::CancelCall() {
  if (FWaveState == wsPlaying) StopWaveFile();
  FCancelled = true;
  TapiLogging(ltapiCancel);
  HangupCall(true);
}

int TSioCustomTapiDevice::WaitForReply(LONG request) {
  if (FWaitingReply) return 1;
  if (request <= 0) return request;
  FWaitingReply = true;
  FRequestWaited = request;
  FRequestResult = ecTapiOperationFailed;
  FReplyReceived = false;
  PumpUntil([this] { return FReplyReceived || !FLineInUse; }, kReplyLimitMs);
  FWaitingReply = false;
  if (FReplyReceived) return FRequestResult;
  return FLineInUse ? FRequestResult : 1;
}

int TSioCustomTapiDevice::WaitForCallState(std::uint32_t state) {
  if (FWaitingCallState) return 1;
  FWaitingCallState = true;
  FCallStateChanged = false;
  int result = 2;
  PumpUntil(
      [&] {
        if (state == 0 ? FCallStateChanged : FLastCallState == state) {
          result = 0;
          return true;
        }
        if (!FLineInUse) {
          result = 1;
          return true;
        }
        return false;
      },
      30000);
  FWaitingCallState = false;
  return result;
}

void TSioCustomTapiDevice::HangupCall(bool endRedial) {
  if (FHangingUp) return;
  const bool wasConnected = FConnected;
  // A call that was: one the service knows, or a dial whose next attempt is waiting.
  const bool hadCall = FCall != 0 || (FRedialing && FDialTimer);
  const bool lineWasInUse = FLineInUse;
  FHangingUp = true;
  if (FLineInUse) {
    const bool portWasOpen = CloseTapiPort();
    if (FCall != 0) {
      if (FLastCallState != LINECALLSTATE_IDLE) {
        const LONG r = tuLineDrop(FCall, nullptr, 0);
        if (r > 0) WaitForReply(r);
        WaitForCallState(LINECALLSTATE_IDLE);
      }
      tuLineDeallocateCall(FCall);
    }
    if (FLine != 0) tuLineClose(FLine);
    FCall = 0;
    FLine = 0;
    FOpen = false;
    FConnected = false;
    FLineInUse = false;
    if (portWasOpen && FOnTapiPortClose) FOnTapiPortClose(this);
    if (hadCall) TapiLogging(ltapiDrop);
  }
  if (endRedial) FRedialing = false;
  bool finished = true;
  if (FRedialing && FAttempt < FMaxAttempts) {
    CreateDialTimer();
    finished = false;
  } else {
    FRedialing = false;
    FreeDialTimer();
  }
  if (finished && hadCall && !FQuiet && (lineWasInUse || FOpenedOnce)) {
    TapiStatus(false, true, 0, 0, 0, 0, 0);
    TapiLogging(ltapiCallFinish);
    if (!wasConnected) {
      TapiLogging(ltapiDialFail);
      if (FOnTapiFail) FOnTapiFail(this);
    }
  }
  FLastCallState = 0;
  FHangingUp = false;
  FLineInUse = false;
}

void TSioCustomTapiDevice::CreateDialTimer() {
  FreeDialTimer();
  SetTimer(FHelperWindow, kRedialTimer, 1000);
  FDialTimer = true;
  FSecondsLeft = FRetryWait;
}

void TSioCustomTapiDevice::FreeDialTimer() {
  if (!FDialTimer) return;
  KillTimer(FHelperWindow, kRedialTimer);
  FDialTimer = false;
}

void TSioCustomTapiDevice::TapiDialTimer() {
  --FSecondsLeft;
  if (FLineInUse || !FRedialing) {
    FreeDialTimer();
    return;
  }
  if (FSecondsLeft < 1) {
    FreeDialTimer();
    ++FAttempt;
    DialPrim(LINEBEARERMODE_VOICE);
  } else {
    TapiStatus(false, false, 0, 32, 8, 0, 0);
  }
}

void TSioCustomTapiDevice::UpdateCallInfo(HCALL call) {
  FCallInfo.reset();
  TTapiRecord<LINECALLINFO> info;
  if (tuLineGetCallInfoDyn(call, info) == 0) FCallInfo = std::move(info);
}

TTapiRecord<LINECALLINFO> TSioCustomTapiDevice::CopyCallInfo() const {
  if (!FCallInfo) return nullptr;
  const std::size_t size = std::max<std::size_t>(FCallInfo->dwTotalSize, sizeof(LINECALLINFO));
  void* p = std::malloc(size);
  if (p == nullptr) return nullptr;
  std::memcpy(p, FCallInfo.get(), size);
  return TTapiRecord<LINECALLINFO>(static_cast<LINECALLINFO*>(p));
}

// ---------------------------------------------------------------------------------------
// The call's port
// ---------------------------------------------------------------------------------------

void TSioCustomTapiDevice::OpenTapiPort() {
  if (FComPort == nullptr) return;
  FComPort->SetOpen(false);
  std::int64_t handle = -1;
  FReplyBuffer.fill(0);
  auto* vs = reinterpret_cast<VARSTRING*>(FReplyBuffer.data());
  vs->dwTotalSize = sizeof FReplyBuffer;
  if (tuLineGetID(0, 0, FCall, LINECALLSELECT_CALL, vs, "comm/datamodem") == 0 && vs->dwStringSize >= 4 &&
      vs->dwStringOffset >= sizeof(VARSTRING) && vs->dwStringOffset <= sizeof FReplyBuffer - 4 &&
      vs->dwStringSize <= sizeof FReplyBuffer - vs->dwStringOffset) {
    std::uint32_t h = 0;
    std::memcpy(&h, reinterpret_cast<const char*>(vs) + vs->dwStringOffset, 4);
    handle = h;
  }
  if (handle <= 0 || handle > 0xFFFF) {
    // No handle a port can run on: the call is of no use, and no other port is opened.
    if (handle > 0xFFFF && handle <= 0x7FFFFFFF) ::close(static_cast<int>(handle));
    FConnected = false;
    HangupCall(true);  // outside quiet mode the hang-up reports the failed call
    if (FQuiet) {
      TapiLogging(ltapiDialFail);
      if (FOnTapiFail) {
        FOnTapiFail(this);
        return;
      }
    } else if (FOnTapiFail) {
      return;
    }
    Raise(ecNotOpenedByTapi);
  }
  FComPort->SetTapiCid(static_cast<std::uint16_t>(handle));
  try {
    FComPort->SetOpen(true);
  } catch (...) {
    FComPort->SetTapiCid(0);
    FConnected = false;
    HangupCall(true);
    throw;
  }
  if (FOnTapiPortOpen) FOnTapiPortOpen(this);
}

bool TSioCustomTapiDevice::CloseTapiPort() {
  if (FComPort == nullptr) return false;
  const bool wasOpen = FComPort->GetOpen();
  FComPort->SetOpen(false);
  FComPort->SetTapiCid(0);
  return wasOpen;
}

// ---------------------------------------------------------------------------------------
// The service's events
// ---------------------------------------------------------------------------------------

void TSioCustomTapiDevice::LineCallback(DWORD_PTR device, std::uint32_t message, DWORD_PTR instance,
                                        DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3) {
  if (message == LINE_CREATE)
    for (HWND w : HelperWindows()) PostMessage(w, kLineCreatedMsg, param1, static_cast<LPARAM>(param2));
  if (instance == 0) return;
  auto* self = reinterpret_cast<TSioCustomTapiDevice*>(instance);
  const auto d = static_cast<std::uint32_t>(device);
  const auto p1 = static_cast<std::uint32_t>(param1);
  const auto p2 = static_cast<std::uint32_t>(param2);
  const auto p3 = static_cast<std::uint32_t>(param3);
  try {
    switch (message) {
      case LINE_CALLINFO:
        self->DoLineCallInfo(d, p1, p2, p3);
        break;
      case LINE_CALLSTATE:
        self->DoLineCallState(d, p1, p2, p3);
        break;
      case LINE_CLOSE:
        self->DoLineClose(d, p1, p2, p3);
        break;
      case LINE_GENERATE:
        self->DoLineGenerate(d, p1, p2, p3);
        break;
      case LINE_LINEDEVSTATE:
        self->DoLineDevState(d, p1, p2, p3);
        break;
      case LINE_MONITORDIGITS:
        self->DoLineMonitorDigits(d, p1, p2, p3);
        break;
      case LINE_MONITORMEDIA:
        self->DoLineMonitorMedia(d, p1, p2, p3);
        break;
      case LINE_MONITORTONE:
        self->DoLineMonitorTone(d, p1, p2, p3);
        break;
      case LINE_REPLY:
        self->DoLineReply(d, p1, p2, p3);
        break;
      case LINE_REQUEST:
        self->DoLineRequest(d, p1, p2, p3);
        break;
      case LINE_CREATE:
        self->DoLineCreate(d, p1, p2, p3);
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    SioHandleException(e);
  }
}

void TSioCustomTapiDevice::DoLineReply(std::uint32_t, std::uint32_t request, std::uint32_t result,
                                       std::uint32_t) {
  if (static_cast<LONG>(request) != FRequestWaited) return;
  FReplyReceived = true;
  FRequestResult = TapiResultToCode(static_cast<LONG>(result));
}

void TSioCustomTapiDevice::DoLineCallState(std::uint32_t device, std::uint32_t state, std::uint32_t detail,
                                           std::uint32_t privilege) {
  // A call offered and left alone is none of this device's business, nor is its end.
  if (device != 0 && device == FIgnoredCall && device != FCall) {
    if (state == LINECALLSTATE_IDLE) FIgnoredCall = 0;
    return;
  }
  FLastCallState = state;
  FCallStateChanged = true;
  switch (state) {
    case LINECALLSTATE_IDLE:
      TapiStatus(false, false, device, LINE_CALLSTATE, state, detail, privilege);
      HangupCall(false);
      break;
    case LINECALLSTATE_OFFERING: {
      UpdateCallInfo(device);
      if (!FCallInfo) Raise(ecTapiUnexpected);
      const std::uint32_t wanted = FEnableVoice ? 0x3A : 0x32;
      if ((FCallInfo->dwMediaMode & wanted) == 0) {  // not a call for this device
        FIgnoredCall = device;
        FLastCallState = 0;
        return;
      }
      FCall = device;
      TapiStatus(true, false, device, LINE_CALLSTATE, state, detail, privilege);
      WaitForReply(tuLineAccept(FCall, nullptr, 0));
      TapiLogging(ltapiAccept);
      break;
    }
    case LINECALLSTATE_ACCEPTED:
    case LINECALLSTATE_DIALING:
    case LINECALLSTATE_RINGBACK:
    case LINECALLSTATE_PROCEEDING:
      TapiStatus(false, false, device, LINE_CALLSTATE, state, detail, privilege);
      break;
    case LINECALLSTATE_DIALTONE:
      TapiStatus(true, false, device, LINE_CALLSTATE, state, detail, privilege);
      break;
    case LINECALLSTATE_BUSY:
      TapiLogging(ltapiBusy);
      TapiStatus(false, false, device, LINE_CALLSTATE, state, detail, privilege);
      HangupCall(false);
      break;
    case LINECALLSTATE_SPECIALINFO:
      TapiStatus(false, false, device, LINE_CALLSTATE, state, detail, privilege);
      HangupCall(false);
      break;
    case LINECALLSTATE_CONNECTED:
      if (FConnected) return;
      UpdateCallInfo(device);
      FConnected = true;
      FreeDialTimer();
      FRedialing = false;
      if (FEnableVoice) {
        MonitorDTMF();
      } else {
        OpenTapiPort();
        if (!FConnected) return;  // no usable port: hung up and reported
      }
      TapiStatus(false, true, device, LINE_CALLSTATE, state, detail, privilege);
      if (FOnTapiConnect) FOnTapiConnect(this);
      TapiLogging(ltapiConnect);
      break;
    case LINECALLSTATE_DISCONNECTED:
      TapiStatus(false, false, device, LINE_CALLSTATE, state, detail, privilege);
      if (detail == LINEDISCONNECTMODE_BUSY) TapiLogging(ltapiBusy);
      HangupCall(false);
      break;
    default:
      break;
  }
}

void TSioCustomTapiDevice::DoLineDevState(std::uint32_t device, std::uint32_t state, std::uint32_t p2,
                                          std::uint32_t p3) {
  switch (state) {
    case LINEDEVSTATE_RINGING:
      if (FCall != 0 && FAnswerOnRing != 0 && p3 == FAnswerOnRing) {
        WaitForReply(tuLineAnswer(FCall, nullptr, 0));
        TapiLogging(ltapiAnswer);
        TapiStatus(false, false, device, LINE_LINEDEVSTATE, state, p2, p3);
      }
      break;
    case LINEDEVSTATE_DISCONNECTED:
    case LINEDEVSTATE_OUTOFSERVICE:
    case LINEDEVSTATE_MAINTENANCE:
      HangupCall(true);
      break;
    case LINEDEVSTATE_REINIT:
      if (p2 == 0)
        StopTapi();
      else if (p2 == LINE_LINEDEVSTATE)
        DoLineDevState(device, p3, 0, 0);
      else if (p2 == LINE_CREATE)
        DoLineCreate(device, p3, 0, 0);
      break;
    default:
      break;
  }
}

void TSioCustomTapiDevice::DoLineClose(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {
  FLine = 0;
  FCall = 0;
  HangupCall(true);
}

void TSioCustomTapiDevice::DoLineCreate(std::uint32_t, std::uint32_t newId, std::uint32_t, std::uint32_t) {
  if (newId >= FNumDevices) FNumDevices = newId + 1;
  EnumLineDevices();
}

void TSioCustomTapiDevice::DoLineCallInfo(std::uint32_t device, std::uint32_t changed, std::uint32_t,
                                          std::uint32_t) {
  UpdateCallInfo(device);
  if ((changed & LINECALLINFOSTATE_CALLERID) && FOnTapiCallerID)
    FOnTapiCallerID(this, Trim(GetCallerID()), Trim(GetCallerIDName()));
}

void TSioCustomTapiDevice::DoLineMonitorDigits(std::uint32_t, std::uint32_t digit, std::uint32_t,
                                               std::uint32_t) {
  DigitEvent(static_cast<char>(digit & 0xFF));
  TapiLogging(ltapiReceivedDigit);
}

LRESULT TSioCustomTapiDevice::HelperWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = static_cast<TSioCustomTapiDevice*>(GetWindowUserData(hwnd));
  if (self == nullptr) return 0;
  try {
    switch (msg) {
      case WM_TIMER:
        if (wParam == kRedialTimer) self->TapiDialTimer();
        return 0;
      case kLineCreatedMsg:
        self->DoLineCreate(0, static_cast<std::uint32_t>(wParam), 0, 0);
        return 0;
      case kQueryEndSession:
        return 1;
      case MM_WOM_OPEN:
      case MM_WOM_DONE:
      case MM_WOM_CLOSE:
      case MM_WIM_OPEN:
      case MM_WIM_DATA:
      case MM_WIM_CLOSE:
        self->DoWaveMessage(msg, wParam, lParam);
        return 0;
      default:
        return 0;
    }
  } catch (const std::exception& e) {
    SioHandleException(e);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------
// Status and log
// ---------------------------------------------------------------------------------------

void TSioCustomTapiDevice::TapiStatus(bool First, bool Last, std::uint32_t Device, std::uint32_t Message,
                                      std::uint32_t Param1, std::uint32_t Param2, std::uint32_t Param3) {
  if (FQuiet) return;
  if (FStatusDisplay != nullptr)
    FStatusDisplay->UpdateDisplay(First, Last, Device, Message, Param1, Param2, Param3);
  if (FOnTapiStatus && (Message != 0 || Param1 != 0 || Param2 != 0 || Param3 != 0))
    FOnTapiStatus(this, First, Last, Device, Message, Param1, Param2, Param3);
}

void TSioCustomTapiDevice::TapiLogging(TTapiLogCode log) {
  if (FTapiLog != nullptr) FTapiLog->UpdateLog(log);
  if (FOnTapiLog) FOnTapiLog(this, log);
}

std::string TSioCustomTapiDevice::TapiLogToString(TTapiLogCode log) {
  static const char* const texts[] = {"None",
                                      "Call started",
                                      "Call finished",
                                      "Dialing",
                                      "Accepting an incoming call",
                                      "Answering an incoming call",
                                      "Connected",
                                      "Call cancelled",
                                      "Call drop",
                                      "Called number was busy",
                                      "Dial failed",
                                      "Received a DTMF tone"};
  const auto i = static_cast<std::size_t>(log);
  return i < std::size(texts) ? texts[i] : "";
}

std::string TSioCustomTapiDevice::TapiStatusMsg(std::uint32_t Message, std::uint32_t State,
                                                std::uint32_t Reason) const {
  const int bit = LowBit(State);
  int id;
  if (Message == LINE_CALLSTATE)
    id = bit + sidTapiCallStateBase;
  else if (Message == LINE_LINEDEVSTATE)
    id = bit + sidTapiLineStateBase;
  else if (Message == LINE_REPLY)
    id = bit + sidTapiReplyBase;
  else
    id = bit + sidTapiOtherBase;
  if (Message == 32 && State == 8)
    return ReplaceFirst(SioLoadStr(sidTapiRetryWait), "%d", std::to_string(FSecondsLeft));
  if (Message == LINE_CALLSTATE && State == LINECALLSTATE_DISCONNECTED)
    return ReplaceFirst(SioLoadStr(id), "%s", SioLoadStr(sidTapiDisconnectBase + LowBit(Reason)));
  return SioLoadStr(id);
}

// ---------------------------------------------------------------------------------------
// Dialogs, configuration and addresses
// ---------------------------------------------------------------------------------------

int TSioCustomTapiDevice::SelectDevice() {
  TDeviceSelectionRequest request;
  request.ShowLines = FShowTapiDevices;
  request.ShowPorts = FShowPorts;
  request.Mode = FComPort != nullptr ? FComPort->GetTapiMode() : tmAuto;
  request.ComNumber = FComPort != nullptr ? FComPort->GetComNumber() : 0;
  request.LineName = FSelectedDevice;
  TDeviceSelectionResult result = RunDeviceSelection(request);
  if (!result.Ok) return 2;
  if (result.Mode == tmOff && FComPort != nullptr) {
    FComPort->SetTapiMode(tmOff);
    FComPort->SetComNumber(result.ComNumber);
  } else {
    if (FComPort != nullptr) FComPort->SetTapiMode(result.Mode);
    FSelectedDevice = result.Name;
    SetEnableVoice(FEnableVoice);
  }
  return 1;
}

void TSioCustomTapiDevice::ShowConfigDialog() {
  StartTapi();
  const std::int32_t id = GetSelectedLine();
  CheckTapi(tuLineConfigDialog(static_cast<std::uint32_t>(id), GetParentHWnd(), "comm/datamodem"));
}

TTapiConfigRec TSioCustomTapiDevice::GetDevConfig() {
  StartTapi();
  const std::int32_t id = GetSelectedLine();
  FReplyBuffer.fill(0);
  auto* vs = reinterpret_cast<VARSTRING*>(FReplyBuffer.data());
  vs->dwTotalSize = sizeof FReplyBuffer;
  CheckTapi(tuLineGetDevConfig(static_cast<std::uint32_t>(id), vs, "comm/datamodem"));
  TTapiConfigRec rec;
  if (vs->dwStringOffset >= sizeof(VARSTRING) && vs->dwStringOffset <= sizeof FReplyBuffer) {
    const std::uint32_t n =
        std::min<std::uint32_t>({vs->dwStringSize, static_cast<std::uint32_t>(rec.Data.size()),
                                 static_cast<std::uint32_t>(sizeof FReplyBuffer - vs->dwStringOffset)});
    std::memcpy(rec.Data.data(), reinterpret_cast<const char*>(vs) + vs->dwStringOffset, n);
    rec.DataSize = n;
  }
  return rec;
}

TTapiConfigRec TSioCustomTapiDevice::ShowConfigDialogEdit(const TTapiConfigRec& config) {
  StartTapi();
  const std::int32_t id = GetSelectedLine();
  FReplyBuffer.fill(0);
  auto* vs = reinterpret_cast<VARSTRING*>(FReplyBuffer.data());
  vs->dwTotalSize = sizeof FReplyBuffer;
  const std::uint32_t size =
      std::min<std::uint32_t>(config.DataSize, static_cast<std::uint32_t>(config.Data.size()));
  CheckTapi(tuLineConfigDialogEdit(static_cast<std::uint32_t>(id), GetParentHWnd(), "comm/datamodem",
                                   config.Data.data(), size, vs));
  TTapiConfigRec rec;
  if (vs->dwStringOffset >= sizeof(VARSTRING) && vs->dwStringOffset <= sizeof FReplyBuffer) {
    const std::uint32_t n =
        std::min<std::uint32_t>({vs->dwStringSize, static_cast<std::uint32_t>(rec.Data.size()),
                                 static_cast<std::uint32_t>(sizeof FReplyBuffer - vs->dwStringOffset)});
    std::memcpy(rec.Data.data(), reinterpret_cast<const char*>(vs) + vs->dwStringOffset, n);
    rec.DataSize = n;
  }
  return rec;
}

void TSioCustomTapiDevice::SetDevConfig(const TTapiConfigRec& config) {
  StartTapi();
  const std::int32_t id = GetSelectedLine();
  const std::uint32_t size =
      std::min<std::uint32_t>(config.DataSize, static_cast<std::uint32_t>(config.Data.size()));
  CheckTapi(tuLineSetDevConfig(static_cast<std::uint32_t>(id), config.Data.data(), size, "comm/datamodem"));
}

LONG TSioCustomTapiDevice::TranslateAddressEx(const std::string& number, std::uint32_t options,
                                              std::string& dialable, std::string& displayable,
                                              std::uint32_t& currentCountry, std::uint32_t& destCountry,
                                              std::uint32_t& translateResults) {
  StartTapi();
  const std::int32_t id = GetSelectedLine();
  TTapiRecord<LINETRANSLATEOUTPUT> out;
  const LONG r = tuLineTranslateAddressDyn(FLineApp, static_cast<std::uint32_t>(id), FApiVersion, out,
                                           options, 0, number);
  if (r == 0 && out) {
    dialable = TapiRecordString(out.get(), out->dwDialableStringSize, out->dwDialableStringOffset);
    displayable = TapiRecordString(out.get(), out->dwDisplayableStringSize, out->dwDisplayableStringOffset);
    currentCountry = out->dwCurrentCountry;
    destCountry = out->dwDestCountry;
    translateResults = out->dwTranslateResults;
  }
  return r;
}

std::string TSioCustomTapiDevice::TranslateAddress(const std::string& number) {
  std::string dialable, displayable;
  std::uint32_t current = 0, dest = 0, results = 0;
  if (TranslateAddressEx(number, LINETRANSLATEOPTION_CANCELCALLWAITING, dialable, displayable, current, dest,
                         results) != 0)
    Raise(ecTapiTranslateFail);
  return dialable;
}

bool TSioCustomTapiDevice::TranslateDialog(const std::string& number) {
  StartTapi();
  const std::int32_t id = GetSelectedLine();
  return tuLineTranslateDialog(FLineApp, static_cast<std::uint32_t>(id), FApiVersion, GetParentHWnd(),
                               number) == 0;
}

void TSioCustomTapiDevice::SendTone(const std::string& digits) {
  if (!FEnableVoice || FCall == 0) return;
  CheckTapi(tuLineGenerateDigits(FCall, LINEDIGITMODE_DTMF, digits.c_str(), 0));
}

void TSioCustomTapiDevice::FireFail() {
  if (FOnTapiFail) FOnTapiFail(this);
}
