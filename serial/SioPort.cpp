// The serial port component.
#include "serial/SioPort.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <thread>

#include "platform/Threads.h"
#include "serial/ComSelect.h"
#include "serial/SioPacket.h"
#include "serial/SioWin32.h"

namespace {

constexpr const char* kComWindowClass = "swComWindow";
// Timer of the window while a close waits for a window handler left running.
constexpr UINT kClosePendingTimer = 1;
constexpr std::size_t kMaxWaitParts = 127;
constexpr std::size_t kMaxDataTriggerText = 255;

std::mutex& HookLock() {
  static std::mutex m;
  return m;
}

TSioActivateDeviceLayerHook& ActivateHook() {
  static TSioActivateDeviceLayerHook hook;
  return hook;
}

TSioExceptionHandler& ExceptionHandler() {
  static TSioExceptionHandler handler;
  return handler;
}

char UpCase(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

bool SameChar(char a, char b, bool ignoreCase) { return ignoreCase ? UpCase(a) == UpCase(b) : a == b; }

// Percentages of the flow-control marks, computed in floating point and truncated.
std::uint16_t Percent(std::uint16_t value, double factor) {
  return static_cast<std::uint16_t>(static_cast<double>(value) * factor);
}

std::uint32_t SWFlowBits(TSWFlowOptions o) {
  switch (o) {
    case swfReceive:
      return sfReceiveFlow;
    case swfTransmit:
      return sfTransmitFlow;
    case swfBoth:
      return sfReceiveFlow | sfTransmitFlow;
    default:
      return 0;
  }
}

constexpr THWFlowOptionSet kRtsCtsFlow = HWFlowBit(hwfUseRTS) | HWFlowBit(hwfRequireCTS);

}  // namespace

void SetActivateDeviceLayerHook(TSioActivateDeviceLayerHook hook) {
  std::lock_guard<std::mutex> g(HookLock());
  ActivateHook() = std::move(hook);
}

void SetSioApplicationExceptionHandler(TSioExceptionHandler handler) {
  std::lock_guard<std::mutex> g(HookLock());
  ExceptionHandler() = std::move(handler);
}

void SioHandleException(const std::exception& e) {
  TSioExceptionHandler handler;
  {
    std::lock_guard<std::mutex> g(HookLock());
    handler = ExceptionHandler();
  }
  if (handler)
    handler(e);
  else
    std::cerr << e.what() << std::endl;
}

// ---------------------------------------------------------------------------------------
// Owners
// ---------------------------------------------------------------------------------------

TSioComponentOwner::TSioComponentOwner(TSioComponentOwner* owner) {
  if (owner != nullptr) owner->InsertComponent(this);
}

TSioComponentOwner::~TSioComponentOwner() {
  for (TSioComponentOwner* c : FComponents) c->FOwner = nullptr;
  if (FOwner != nullptr) FOwner->RemoveComponent(this);
}

void TSioComponentOwner::InsertComponent(TSioComponentOwner* component) {
  if (component == nullptr || component == this) return;
  if (component->FOwner != nullptr) component->FOwner->RemoveComponent(component);
  component->FOwner = this;
  FComponents.push_back(component);
}

void TSioComponentOwner::RemoveComponent(TSioComponentOwner* component) {
  auto it = std::find(FComponents.begin(), FComponents.end(), component);
  if (it == FComponents.end()) return;
  FComponents.erase(it);
  component->FOwner = nullptr;
}

TSioCustomComPort* SearchComPort(TSioComponentOwner* owner) {
  if (owner == nullptr) return nullptr;
  for (int i = 0; i < owner->ComponentCount(); ++i) {
    TSioComponentOwner* c = owner->Components(i);
    if (auto* port = dynamic_cast<TSioCustomComPort*>(c)) return port;
    if (auto* port = SearchComPort(c)) return port;
  }
  return nullptr;
}

std::string ComName(std::uint16_t number) { return "COM" + std::to_string(number); }

// ---------------------------------------------------------------------------------------
// Construction, destruction, Assign, Loaded
// ---------------------------------------------------------------------------------------

TSioCustomComPort::TSioCustomComPort(TSioComponentOwner* owner) : TSioComponentOwner(owner) {}

TSioCustomComPort::~TSioCustomComPort() {
  for (TEventFrame* f = FEventFrames; f != nullptr; f = f->Outer) f->PortFreed = true;
  try {
    DonePort();
  } catch (const std::exception& e) {
    SioHandleException(e);
  }
  // A close that waits for the dispatcher's threads is finished here. When a handler frees its
  // own port, the close cannot finish by itself before that handler has returned: it is not
  // waited for, and freeing the dispatcher waits only for what runs elsewhere.
  if (FPortState == psShuttingDown) {
    FReopenPending = false;
    if (FEventFrames == nullptr) PumpUntil([this] { return FPortState == psClosed; }, 10000);
    if (FPortState != psClosed) CompleteClose();
  }
  FUsers.clear();
  TSioBaseDispatcher::ClearSaveBuffers(FTriggerSave);
  // Data packets on this port must not reach it any more.
  if (TSioDataPacketManager* m = GetPortManager(this)) m->PortGone();
}

void TSioCustomComPort::Assign(const TSioCustomComPort& source) {
  if (&source == this) return;
  if (FPortState == psOpen) DonePort();
  FUsers = source.FUsers;
  FDeviceLayer = source.FDeviceLayer;
  FComNumber = source.FComNumber;
  FBaud = source.FBaud;
  FPromptForPort = source.FPromptForPort;
  FParity = source.FParity;
  FDataBits = source.FDataBits;
  FStopBits = source.FStopBits;
  FInSize = source.FInSize;
  FOutSize = source.FOutSize;
  FAutoOpen = source.FAutoOpen;
  FDTR = source.FDTR;
  FRTS = source.FRTS;
  FHWFlowOptions = source.FHWFlowOptions;
  FSWFlowOptions = source.FSWFlowOptions;
  FXOnChar = source.FXOnChar;
  FXOffChar = source.FXOffChar;
  FBufferFull = source.FBufferFull;
  FBufferResume = source.FBufferResume;
  FTracing = source.FTracing == tlOn ? tlOn : tlOff;
  FTraceSize = source.FTraceSize;
  FTraceName = source.FTraceName;
  FTraceHex = source.FTraceHex;
  FTraceAllHex = source.FTraceAllHex;
  FLogging = source.FLogging == tlOn ? tlOn : tlOff;
  FLogSize = source.FLogSize;
  FLogName = source.FLogName;
  FLogHex = source.FLogHex;
  FLogAllHex = source.FLogAllHex;
  FUseMSRShadow = source.FUseMSRShadow;
  FUseEventWord = source.FUseEventWord;
  FCommNotificationLevel = source.FCommNotificationLevel;
  FTapiMode = source.FTapiMode;
  FRS485Mode = source.FRS485Mode;
  FThreadBoost = source.FThreadBoost;
  FTriggerLength = source.FTriggerLength;
  FOnTrigger = source.FOnTrigger;
  FOnTriggerAvail = source.FOnTriggerAvail;
  FOnTriggerData = source.FOnTriggerData;
  FOnTriggerStatus = source.FOnTriggerStatus;
  FOnTriggerTimer = source.FOnTriggerTimer;
  FOnPortOpen = source.FOnPortOpen;
  FOnPortClose = source.FOnPortClose;
  FOpen = false;
  if (source.FPortState == psOpen && source.FDispatcher != nullptr) {
    source.FDispatcher->SaveTriggers(FTriggerSave);
    FTriggersSaved = true;
  }
}

void TSioCustomComPort::Loaded() {
  ComponentState &= ~csLoading;
  if (Designing()) return;
  if (FOpenAfterLoading) FOpen = true;
  FOpenAfterLoading = false;
  if (FOpen && FPortState == psClosed) {
    try {
      InitPort();
    } catch (const std::exception& e) {
      FOpen = false;
      SioHandleException(e);
    }
  }
}

// ---------------------------------------------------------------------------------------
// Opening and closing
// ---------------------------------------------------------------------------------------

void TSioCustomComPort::Raise(int code) {
  Check(code);
  RaiseSioException(code);  // also while loading: the caller cannot go on
}

void TSioCustomComPort::SetOpen(bool open) {
  if (open) {
    if (Loading() || Designing()) {
      FOpen = true;
      FOpenAfterLoading = true;
      return;
    }
    if (FPortState == psShuttingDown) {
      FReopenPending = true;
      return;
    }
    if (FPortState == psOpen) return;
    InitPort();
  } else {
    FReopenPending = false;
    DonePort();
  }
}

void TSioCustomComPort::ForcePortOpen() {
  if (FAutoOpen) FOpenAfterLoading = true;
}

void TSioCustomComPort::ValidateComport() {
  if (FComNumber != 0) return;
  if (!FPromptForPort) Raise(ecNoPortSelected);
  std::optional<std::uint16_t> chosen = PromptForComPort();
  if (!chosen || *chosen == 0) Raise(ecNoPortSelected);
  FComNumber = *chosen;
}

void TSioCustomComPort::ActivateDeviceLayer() {
  TSioActivateDeviceLayerHook hook;
  {
    std::lock_guard<std::mutex> g(HookLock());
    hook = ActivateHook();
  }
  if (hook) {
    FDispatcher = hook(this);
    if (FDispatcher == nullptr) Raise(ecNoDispatcher);
  } else if (FDeviceLayer == dlWin32) {
    if (FTapiMode == tmOn)
      // A handle of 0 is no handle: the open then fails instead of taking descriptor 0.
      FDispatcher = new TSioTAPI32Dispatcher(this, FTapiCid != 0 ? static_cast<int>(FTapiCid) : -1);
    else
      FDispatcher = new TSioWin32Dispatcher(this);
  } else {
    Raise(ecNullApi);
  }
  ++FGeneration;
}

void TSioCustomComPort::SetActivatedDispatcher(TSioBaseDispatcher* dispatcher) {
  FDispatcher = dispatcher;
  ++FGeneration;
}

void TSioCustomComPort::InitializePort() {
  std::string name;
  if (FTapiMode != tmOn) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "\\\\.\\COM%u", static_cast<unsigned>(FComNumber));
    name = buf;
  }
  int r = FDispatcher->InitPort(name.empty() ? nullptr : name.c_str(), FBaud, FParity, FDataBits, FStopBits,
                                FInSize, FOutSize, FDTR, FRTS);
  if (r == ecFileAccessDenied)
    r = ecAlreadyOpen;
  else if (r == ecFileNotFound || r == ecPathNotFound)
    r = ecBadId;
  if (r != 0) Raise(r);
}

void TSioCustomComPort::ReadBackTapiSettings() {
  // The call's port keeps the settings the modem line was opened with.
  struct termios2 t {};
  if (::ioctl(static_cast<int>(FTapiCid), TCGETS2, &t) != 0) return;
  if (t.c_ospeed != 0) FBaud = t.c_ospeed;
  if (!(t.c_cflag & PARENB))
    FParity = pNone;
  else if (t.c_cflag & CMSPAR)
    FParity = (t.c_cflag & PARODD) ? pMark : pSpace;
  else
    FParity = (t.c_cflag & PARODD) ? pOdd : pEven;
  switch (t.c_cflag & CSIZE) {
    case CS5:
      FDataBits = 5;
      break;
    case CS6:
      FDataBits = 6;
      break;
    case CS7:
      FDataBits = 7;
      break;
    default:
      FDataBits = 8;
      break;
  }
  FStopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
  FHWFlowOptions = (t.c_cflag & CRTSCTS) ? kRtsCtsFlow : 0;
  bool in = (t.c_iflag & IXOFF) != 0, out = (t.c_iflag & IXON) != 0;
  FSWFlowOptions = in && out ? swfBoth : in ? swfReceive : out ? swfTransmit : swfNone;
  FXOnChar = static_cast<char>(t.c_cc[VSTART]);
  FXOffChar = static_cast<char>(t.c_cc[VSTOP]);
}

void TSioCustomComPort::InitPort() {
  if (FPortState != psClosed) return;
  if (FTapiMode != tmOn) ValidateComport();
  ActivateDeviceLayer();
  try {
    if (FTapiMode == tmOn) {
      if (FTapiCid == 0) Raise(ecNotOpenedByTapi);
      ReadBackTapiSettings();
    }
    InitializePort();
    FPortState = psOpen;
    FTraceLog.Bind(FDispatcher);
    UpdateHandlerFlag();
    FApplyingSettings = true;
    SetTracing(FTracing);
    SetLogging(FLogging);
    SetHWFlowOptions(FHWFlowOptions);
    SetSWFlowOptions(FSWFlowOptions);
    SetXOnChar(FXOnChar);
    SetXOffChar(FXOffChar);
    SetTriggerLength(FTriggerLength);
    SetDTR(FDTR);
    if (FDeviceLayer != dlFossil) SetRTS(FRTS);
    SetUseMSRShadow(FUseMSRShadow);
    SetUseEventWord(FUseEventWord);
    SetCommNotificationLevel(FCommNotificationLevel);
    SetRS485Mode(FRS485Mode);
    SetThreadBoost(FThreadBoost);
    FApplyingSettings = false;
    FOpen = true;
    RegisterComPort(true);
    if (FTriggersSaved) {
      FTriggerSave.LengthTrigger = FTriggerLength;
      FDispatcher->RestoreTriggers(FTriggerSave);
      TSioBaseDispatcher::ClearSaveBuffers(FTriggerSave);
      FTriggersSaved = false;
    }
    PortOpen();
  } catch (...) {
    FApplyingSettings = false;
    FreeDispatcher();
    FPortState = psClosed;
    FOpen = false;
    throw;
  }
}

void TSioCustomComPort::FreeDispatcher() {
  RegisterComPort(false);
  FTraceLog.Bind(nullptr);
  delete FDispatcher;
  FDispatcher = nullptr;
  ++FGeneration;
}

void TSioCustomComPort::RegisterComPort(bool doRegister) {
  if (doRegister) {
    static std::once_flag once;
    std::call_once(once, [] {
      if (!IsClassRegistered(kComWindowClass))
        RegisterClass(kComWindowClass, &TSioCustomComPort::ComWindowProc);
    });
    if (FComWindow == 0) FComWindow = CreateWindow(kComWindowClass, this);
    if (FComWindow == 0) Raise(ecRegisterHandlerFailed);
    Check(FDispatcher->RegisterWndTriggerHandler(FComWindow));
  } else if (FComWindow != 0) {
    if (FDispatcher != nullptr) FDispatcher->DeregisterWndTriggerHandler(FComWindow);
    DestroyWindow(FComWindow);
    FComWindow = 0;
  }
}

void TSioCustomComPort::DonePort() {
  int error = 0;
  ClosePrim(error);
  // A trace or log that could not be written is reported once the close has been done.
  if (error < 0) Raise(error);
}

void TSioCustomComPort::ClosePrim(int& error) {
  FOpen = false;
  if (FPortState != psOpen || FDispatcher == nullptr) return;
  ApplyTracing(tlDump, true, &error);
  ApplyTracing(tlDump, false, &error);
  FPortState = psShuttingDown;
  try {
    PortClose();
  } catch (const std::exception& e) {
    SioHandleException(e);
  }
  FDispatcher->SaveTriggers(FTriggerSave);
  FTriggersSaved = true;
  FDispatcher->DonePort();
  if (FDispatcher->CloseDeferred()) {
    // The dispatcher is inside a notification: the window completes the close once the
    // dispatcher's threads have gone.
    PostMessage(FComWindow, SW_CLOSEPENDING, 0, static_cast<LPARAM>(FDispatcher->Handle()) * 65536);
    MSG msg;
    if (PeekMessage(&msg, true)) DispatchMessage(msg);
    return;
  }
  CompleteClose();
}

void TSioCustomComPort::CompleteClose() {
  if (FDispatcher == nullptr) return;
  FreeDispatcher();
  FPortState = psClosed;
  if (FReopenPending) {
    FReopenPending = false;
    InitPort();
  }
}

void TSioCustomComPort::NotifyUsers(bool opening) {
  LPARAM lParam = FDispatcher != nullptr ? static_cast<LPARAM>(FDispatcher->Handle()) * 65536 : 0;
  // The users list may change while they are told: work on a copy.
  std::vector<TUserEntry> users = FUsers;
  for (auto it = users.rbegin(); it != users.rend(); ++it) {
    if (it->Window != 0)
      SendMessage(it->Window, opening ? SW_PORTOPEN : SW_PORTCLOSE, 0, lParam);
    else if (it->Callback)
      it->Callback(this, opening);
  }
  const TPortNotifyEvent& own = opening ? FOnPortOpen : FOnPortClose;
  if (own) own(this);
}

void TSioCustomComPort::PortOpen() { NotifyUsers(true); }

void TSioCustomComPort::PortClose() { NotifyUsers(false); }

// ---------------------------------------------------------------------------------------
// Dispatcher and users
// ---------------------------------------------------------------------------------------

TSioBaseDispatcher* TSioCustomComPort::Dispatcher() {
  if (FDispatcher == nullptr && !Loading() && !Designing() && FPortState == psClosed && FAutoOpen) InitPort();
  return FDispatcher;
}

TSioBaseDispatcher* TSioCustomComPort::ValidDispatcher() {
  TSioBaseDispatcher* d = Dispatcher();
  if (d == nullptr) Raise(ecCommNotOpen);
  return d;
}

int TSioCustomComPort::RegisterUser(HWND window) {
  FUsers.push_back(TUserEntry{window, {}});
  return static_cast<int>(FUsers.size()) - 1;
}

int TSioCustomComPort::RegisterUserCallback(TPortCallback callback) {
  FUsers.push_back(TUserEntry{0, callback});
  return static_cast<int>(FUsers.size()) - 1;
}

void TSioCustomComPort::DeregisterUser(HWND window) {
  std::erase_if(FUsers, [&](const TUserEntry& u) { return u.Window != 0 && u.Window == window; });
}

void TSioCustomComPort::DeregisterUserCallback(TPortCallback callback) {
  std::erase_if(FUsers, [&](const TUserEntry& u) { return u.Window == 0 && u.Callback == callback; });
}

int TSioCustomComPort::ProcessCommunications() {
  if (Shutting()) return 0;
  return Check(ValidDispatcher()->ProcessCommunications());
}

// ---------------------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------------------

void TSioCustomComPort::SetDeviceLayer(TDeviceLayer layer) {
  if (layer == FDeviceLayer || FPortState != psClosed || layer != dlWin32) return;
  FDeviceLayer = layer;
  DeviceLayerChanged();
}

void TSioCustomComPort::SetComNumber(std::uint16_t number) {
  if (FPortState != psOpen) {
    FComNumber = number;
    return;
  }
  if (number == FComNumber && !FApplyingSettings) return;
  TTraceLogState tracing = FTracing, logging = FLogging;
  int error = 0;
  ClosePrim(error);  // saves the triggers; the next open restores them
  FComNumber = number;
  ApplyTracing(tracing == tlPause ? tlOn : tracing, true, nullptr);
  ApplyTracing(logging == tlPause ? tlOn : logging, false, nullptr);
  SetOpen(true);
  if (error < 0) Raise(error);
}

void TSioCustomComPort::ApplyLine() {
  if (IsOpenPort()) Check(FDispatcher->SetLine(FBaud, FParity, FDataBits, FStopBits));
}

void TSioCustomComPort::SetBaud(std::uint32_t baud) {
  FBaud = baud;
  ApplyLine();
}

void TSioCustomComPort::SetParity(TParity parity) {
  FParity = parity;
  ApplyLine();
}

void TSioCustomComPort::SetDataBits(std::uint16_t bits) {
  FDataBits = bits;
  ApplyLine();
}

void TSioCustomComPort::SetStopBits(std::uint16_t bits) {
  FStopBits = bits;
  ApplyLine();
}

void TSioCustomComPort::SetInSize(std::uint16_t size) {
  FInSize = size;
  if (IsOpenPort()) Check(FDispatcher->SetCommBuffers(FInSize, FOutSize));
}

void TSioCustomComPort::SetOutSize(std::uint16_t size) {
  FOutSize = size;
  if (IsOpenPort()) Check(FDispatcher->SetCommBuffers(FInSize, FOutSize));
}

void TSioCustomComPort::SetDTR(bool on) {
  if (IsOpenPort()) {
    int r = FDispatcher->SetDtr(on);
    if (r == 1) return;  // the line follows the flow control
    Check(r);
  }
  FDTR = on;
}

void TSioCustomComPort::SetRTS(bool on) {
  if (IsOpenPort()) {
    int r = FDispatcher->SetRts(on);
    if (r == 1) return;  // the line follows the flow control or the RS485 direction
    Check(r);
  }
  FRTS = on;
}

void TSioCustomComPort::SetHWFlowOptions(THWFlowOptionSet options) {
  if (options != 0) {
    if (FBufferFull == 0 || FBufferFull > FInSize) FBufferFull = Percent(FInSize, 0.9);
    if (FBufferResume == 0 || FBufferResume > FBufferFull) FBufferResume = Percent(FInSize, 0.1);
  }
  const bool leavesRS485 = (options & kRtsCtsFlow) != 0 && FRS485Mode;
  if (IsOpenPort()) {
    // RTS handshake and the RS485 direction switch exclude each other: the direction
    // switch goes first, or it would override the handshake just set.
    if (leavesRS485) FDispatcher->SetRS485Mode(false);
    FHWFlowOptions = options;
    if (leavesRS485) FRS485Mode = false;
    Check(FDispatcher->HWFlowOptions(FBufferFull, FBufferResume, options));
  }
  FHWFlowOptions = options;
  if (options & kRtsCtsFlow) FRS485Mode = false;
}

void TSioCustomComPort::SetSWFlowOptions(TSWFlowOptions options) {
  if (options != swfNone) {
    if (FBufferFull == 0 || FBufferFull > FInSize) FBufferFull = Percent(FInSize, 0.75);
    if (FBufferResume == 0 || FBufferResume > FBufferFull) FBufferResume = Percent(FInSize, 0.25);
  }
  FSWFlowOptions = options;
  if (IsOpenPort()) {
    if (options == swfNone) {
      Check(FDispatcher->SWFlowDisable());
    } else {
      Check(FDispatcher->SWFlowEnable(FBufferFull, FBufferResume, SWFlowBits(options)));
      // Enabling puts the standard characters in place; the port's own follow.
      Check(FDispatcher->SWFlowChars(static_cast<std::uint8_t>(FXOnChar),
                                     static_cast<std::uint8_t>(FXOffChar)));
    }
  }
}

void TSioCustomComPort::SetXOnChar(char c) {
  FXOnChar = c;
  if (IsOpenPort())
    Check(
        FDispatcher->SWFlowChars(static_cast<std::uint8_t>(FXOnChar), static_cast<std::uint8_t>(FXOffChar)));
}

void TSioCustomComPort::SetXOffChar(char c) {
  FXOffChar = c;
  if (IsOpenPort())
    Check(
        FDispatcher->SWFlowChars(static_cast<std::uint8_t>(FXOnChar), static_cast<std::uint8_t>(FXOffChar)));
}

void TSioCustomComPort::ReapplyFlow() {
  bool was = FApplyingSettings;
  FApplyingSettings = true;
  try {
    SetHWFlowOptions(FHWFlowOptions);
    SetSWFlowOptions(FSWFlowOptions);
  } catch (...) {
    FApplyingSettings = was;
    throw;
  }
  FApplyingSettings = was;
}

void TSioCustomComPort::SetBufferFull(std::uint16_t value) {
  if (value > FInSize) value = Percent(FInSize, 0.9);
  FBufferFull = value;
  ReapplyFlow();
}

void TSioCustomComPort::SetBufferResume(std::uint16_t value) {
  if (value > FBufferFull) value = Percent(FBufferFull, 0.1);
  FBufferResume = value;
  ReapplyFlow();
}

void TSioCustomComPort::SetUseMSRShadow(bool use) { FUseMSRShadow = use; }

void TSioCustomComPort::SetUseEventWord(bool use) {
  FUseEventWord = use;
  if (IsOpenPort()) {
    if (use)
      FDispatcher->OptionsOn(poUseEventWord);
    else
      FDispatcher->OptionsOff(poUseEventWord);
  }
}

void TSioCustomComPort::SetRS485Mode(bool on) {
  FRS485Mode = on;
  if (on) FHWFlowOptions &= static_cast<THWFlowOptionSet>(~kRtsCtsFlow);
  if (IsOpenPort()) {
    FDispatcher->SetRS485Mode(on);
    // The flow options carry the direction switch to the line (or take it away again),
    // so they are applied after the mode.
    bool was = FApplyingSettings;
    FApplyingSettings = true;
    try {
      SetHWFlowOptions(FHWFlowOptions);
    } catch (...) {
      FApplyingSettings = was;
      throw;
    }
    FApplyingSettings = was;
    if (!on) SetRTS(FRTS);
  }
  if (on) SetRTS(false);
}

void TSioCustomComPort::SetThreadBoost(TApThreadBoost boost) {
  FThreadBoost = boost;
  if (IsOpenPort()) FDispatcher->SetThreadBoost(static_cast<std::uint8_t>(boost));
}

std::uint16_t TSioCustomComPort::GetBaseAddress() {
  if (IsOpenPort()) FBaseAddress = FDispatcher->GetBaseAddress();
  return FBaseAddress;
}

void TSioCustomComPort::SetBaseAddress(std::uint16_t address) {
  if (!IsOpenPort()) return;
  FDispatcher->SetBaseAddress(address);
  FBaseAddress = address;
}

void TSioCustomComPort::SetTriggerLength(std::uint16_t length) {
  FTriggerLength = length;
  if (IsOpenPort()) Check(FDispatcher->ChangeLengthTrigger(length));
}

// ---------------------------------------------------------------------------------------
// Tracing and logging states
// ---------------------------------------------------------------------------------------

void TSioCustomComPort::SetTracing(TTraceLogState state) { ApplyTracing(state, true, nullptr); }

void TSioCustomComPort::SetLogging(TTraceLogState state) { ApplyTracing(state, false, nullptr); }

void TSioCustomComPort::ApplyTracing(TTraceLogState state, bool trace, int* error) {
  TTraceLogState& current = trace ? FTracing : FLogging;
  if (state == current && !FApplyingSettings) return;
  if (!IsOpenPort()) {
    current = state == tlOn ? tlOn : tlOff;
    return;
  }
  const TTraceLogState p = current;
  const bool active = p == tlOn || p == tlPause;
  TSioTraceLog& tl = FTraceLog;
  int r = 0;
  switch (state) {
    case tlOff:
      if (active) r = trace ? tl.AbortTracing() : tl.AbortDispatchLogging();
      current = tlOff;
      break;
    case tlOn:
      if (p == tlPause)
        r = trace ? tl.StartTracing() : tl.StartDispatchLogging();
      else
        r = trace ? tl.InitTracing(FTraceSize) : tl.InitDispatchLogging(FLogSize);
      current = r < 0 ? tlOff : tlOn;
      break;
    case tlDump:
    case tlAppend:
      if (active) {
        const bool append = state == tlAppend;
        if (trace) {
          tl.StartTracing();
          r = tl.DumpTracePrim(FTraceName, append, FTraceHex, FTraceAllHex);
        } else {
          tl.StartDispatchLogging();
          r = tl.DumpDispatchLogPrim(FLogName, append, FLogHex, FLogAllHex);
        }
      }
      current = tlOff;
      break;
    case tlClear:
      if (active) r = trace ? tl.ClearTracing() : tl.ClearDispatchLogging();
      break;
    case tlPause:
      if (p == tlOn) {
        r = trace ? tl.StopTracing() : tl.StopDispatchLogging();
        current = tlPause;
      }
      break;
  }
  if (r < 0) {
    if (error != nullptr) {
      if (*error == 0) *error = r;
    } else {
      Check(r);
    }
  }
}

void TSioCustomComPort::SetTraceSize(std::uint32_t size) {
  size = std::min(size, MaxTraceSize);
  if (size == FTraceSize) return;
  FTraceSize = size;
  if (IsOpenPort() && (FTracing == tlOn || FTracing == tlPause)) {
    TTraceLogState state = FTracing;
    FTraceLog.AbortTracing();
    Check(FTraceLog.InitTracing(FTraceSize));
    if (state == tlPause) FTraceLog.StopTracing();
  }
}

void TSioCustomComPort::SetLogSize(std::uint32_t size) {
  size = std::min(size, MaxLogSize);
  if (size == FLogSize) return;
  FLogSize = size;
  if (IsOpenPort() && (FLogging == tlOn || FLogging == tlPause)) {
    TTraceLogState state = FLogging;
    FTraceLog.AbortDispatchLogging();
    Check(FTraceLog.InitDispatchLogging(FLogSize));
    if (state == tlPause) FTraceLog.StopDispatchLogging();
  }
}

void TSioCustomComPort::SetTraceName(std::string_view name) { FTraceName = std::string(name.substr(0, 255)); }

void TSioCustomComPort::SetLogName(std::string_view name) { FLogName = std::string(name.substr(0, 255)); }

// ---------------------------------------------------------------------------------------
// Trace and log operations
// ---------------------------------------------------------------------------------------

void TSioCustomComPort::InitTracing(std::uint32_t numEntries) {
  if (Shutting()) return;
  ValidDispatcher();
  Check(FTraceLog.InitTracing(numEntries));
  FTracing = tlOn;
}

void TSioCustomComPort::DumpTrace(std::string_view fileName, bool inHex) {
  if (Shutting()) return;
  ValidDispatcher();
  int r = FTraceLog.DumpTrace(fileName, inHex, FTraceAllHex);
  FTracing = tlOff;
  Check(r);
}

void TSioCustomComPort::AppendTrace(std::string_view fileName, bool inHex) {
  if (Shutting()) return;
  ValidDispatcher();
  int r = FTraceLog.AppendTrace(fileName, inHex, FTraceAllHex);
  FTracing = tlOff;
  Check(r);
}

void TSioCustomComPort::ClearTracing() {
  if (Shutting()) return;
  ValidDispatcher();
  Check(FTraceLog.ClearTracing());
}

void TSioCustomComPort::AbortTracing() {
  if (Shutting()) return;
  ValidDispatcher();
  Check(FTraceLog.AbortTracing());
  FTracing = tlOff;
}

void TSioCustomComPort::StartTracing() {
  if (Shutting()) return;
  ValidDispatcher();
  Check(FTraceLog.StartTracing());
  FTracing = tlOn;
}

void TSioCustomComPort::StopTracing() {
  if (Shutting()) return;
  ValidDispatcher();
  Check(FTraceLog.StopTracing());
  FTracing = tlPause;
}

void TSioCustomComPort::AddTraceEntry(char currentEntry, char currentChar) {
  if (Shutting()) return;
  ValidDispatcher()->AddTraceEntry(currentEntry, static_cast<std::uint8_t>(currentChar));
}

void TSioCustomComPort::InitLogging(std::uint32_t size) {
  if (Shutting()) return;
  ValidDispatcher();
  Check(FTraceLog.InitDispatchLogging(size));
  FLogging = tlOn;
}

void TSioCustomComPort::DumpLog(std::string_view fileName, bool inHex) {
  if (Shutting()) return;
  ValidDispatcher();
  int r = FTraceLog.DumpDispatchLog(fileName, inHex, FLogAllHex);
  FLogging = tlOff;
  Check(r);
}

void TSioCustomComPort::AppendLog(std::string_view fileName, bool inHex) {
  if (Shutting()) return;
  ValidDispatcher();
  int r = FTraceLog.AppendDispatchLog(fileName, inHex, FLogAllHex);
  FLogging = tlOff;
  Check(r);
}

void TSioCustomComPort::ClearLogging() {
  if (Shutting()) return;
  ValidDispatcher();
  Check(FTraceLog.ClearDispatchLogging());
}

void TSioCustomComPort::AbortLogging() {
  if (Shutting()) return;
  ValidDispatcher();
  Check(FTraceLog.AbortDispatchLogging());
  FLogging = tlOff;
}

void TSioCustomComPort::StartLogging() {
  if (Shutting()) return;
  ValidDispatcher();
  Check(FTraceLog.StartDispatchLogging());
  FLogging = tlOn;
}

void TSioCustomComPort::StopLogging() {
  if (Shutting()) return;
  ValidDispatcher();
  Check(FTraceLog.StopDispatchLogging());
  FLogging = tlPause;
}

void TSioCustomComPort::AddStringToLog(std::string_view s) {
  if (Shutting()) return;
  ValidDispatcher()->AddDispatchEntry(dtUser, dstNone, 0, s.data(), static_cast<std::uint32_t>(s.size()));
}

// ---------------------------------------------------------------------------------------
// Reading and writing
// ---------------------------------------------------------------------------------------

bool TSioCustomComPort::CharReady() {
  if (Shutting()) return false;
  return ValidDispatcher()->CharReady();
}

char TSioCustomComPort::PeekChar(std::uint16_t n) {
  if (Shutting()) return 0;
  std::uint8_t c = 0;
  Check(ValidDispatcher()->PeekChar(c, n));
  return static_cast<char>(c);
}

char TSioCustomComPort::GetChar() {
  if (Shutting()) return 0;
  std::uint8_t c = 0;
  Check(ValidDispatcher()->GetChar(c));
  return static_cast<char>(c);
}

int TSioCustomComPort::PeekBlock(void* buffer, std::uint16_t count) {
  if (Shutting()) return 0;
  int r = Check(ValidDispatcher()->PeekBlock(buffer, count));
  return r < 0 ? 0 : r;
}

int TSioCustomComPort::GetBlock(void* buffer, std::uint16_t count) {
  if (Shutting()) return 0;
  int r = Check(ValidDispatcher()->GetBlock(buffer, count));
  return r < 0 ? 0 : r;
}

void TSioCustomComPort::PutChar(char c) {
  if (Shutting()) return;
  Check(ValidDispatcher()->PutChar(static_cast<std::uint8_t>(c)));
}

void TSioCustomComPort::PutString(std::string_view text) {
  if (Shutting()) return;
  Check(ValidDispatcher()->PutString(text));
}

int TSioCustomComPort::PutBlock(const void* buffer, std::uint16_t count) {
  if (Shutting()) return 0;
  return Check(ValidDispatcher()->PutBlock(buffer, count));
}

void TSioCustomComPort::FlushInBuffer() {
  if (Shutting()) return;
  Check(ValidDispatcher()->FlushInBuffer());
}

void TSioCustomComPort::FlushOutBuffer() {
  if (Shutting()) return;
  Check(ValidDispatcher()->FlushOutBuffer());
}

int TSioCustomComPort::SendBreak(std::uint32_t ticks, bool yield) {
  if (Shutting()) return 0;
  return ValidDispatcher()->SendBreak(ticks, yield);
}

int TSioCustomComPort::SetBreak(bool on) {
  if (Shutting()) return 0;
  return ValidDispatcher()->SetBreak(on);
}

// ---------------------------------------------------------------------------------------
// Status
// ---------------------------------------------------------------------------------------

std::uint8_t TSioCustomComPort::GetModemStatus() {
  if (Shutting()) return 0;
  return ValidDispatcher()->GetModemStatus();
}

bool TSioCustomComPort::GetDSR() { return IsOpenPort() && FDispatcher->CheckDSR(); }
bool TSioCustomComPort::GetCTS() { return IsOpenPort() && FDispatcher->CheckCTS(); }
bool TSioCustomComPort::GetRI() { return IsOpenPort() && FDispatcher->CheckRI(); }
bool TSioCustomComPort::GetDCD() { return IsOpenPort() && FDispatcher->CheckDCD(); }
bool TSioCustomComPort::GetDeltaDSR() { return IsOpenPort() && FDispatcher->CheckDeltaDSR(); }
bool TSioCustomComPort::GetDeltaCTS() { return IsOpenPort() && FDispatcher->CheckDeltaCTS(); }
bool TSioCustomComPort::GetDeltaRI() { return IsOpenPort() && FDispatcher->CheckDeltaRI(); }
bool TSioCustomComPort::GetDeltaDCD() { return IsOpenPort() && FDispatcher->CheckDeltaDCD(); }

std::uint16_t TSioCustomComPort::GetLineError() {
  if (!IsOpenPort()) return 0;
  return static_cast<std::uint16_t>(Check(FDispatcher->GetLineError()));
}

bool TSioCustomComPort::GetLineBreak() { return IsOpenPort() && FDispatcher->CheckLineBreak(); }

bool TSioCustomComPort::GetDeviceGone() { return IsOpenPort() && FDispatcher->DeviceGone(); }

std::uint32_t TSioCustomComPort::GetInBuffUsed() { return IsOpenPort() ? FDispatcher->InBuffUsed() : 0; }

std::uint32_t TSioCustomComPort::GetInBuffFree() {
  return IsOpenPort() ? FDispatcher->InBuffFree() : DispatchBufferSize;
}

std::uint32_t TSioCustomComPort::GetOutBuffUsed() { return IsOpenPort() ? FDispatcher->OutBuffUsed() : 0; }

std::uint32_t TSioCustomComPort::GetOutBuffFree() {
  return IsOpenPort() ? FDispatcher->OutBuffFree() : FOutSize;
}

TFlowControlState TSioCustomComPort::GetFlowState() {
  if (!IsOpenPort()) return fcOff;
  int hw = Check(FDispatcher->HWFlowState());
  int state = hw - 1;
  if (state == fcOff) state = Check(FDispatcher->SWFlowState()) - 1;
  if (state < fcOff || state > fcXBothHold) return fcOff;
  return static_cast<TFlowControlState>(state);
}

// ---------------------------------------------------------------------------------------
// Triggers
// ---------------------------------------------------------------------------------------

std::uint16_t TSioCustomComPort::AddDataTrigger(std::string_view data, bool ignoreCase) {
  if (Shutting()) return 0;
  data = data.substr(0, kMaxDataTriggerText);
  return static_cast<std::uint16_t>(Check(ValidDispatcher()->AddDataTrigger(data, ignoreCase)));
}

std::uint16_t TSioCustomComPort::AddTimerTrigger() {
  if (Shutting()) return 0;
  return static_cast<std::uint16_t>(Check(ValidDispatcher()->AddTimerTrigger()));
}

std::uint16_t TSioCustomComPort::AddStatusTrigger(std::uint16_t kind) {
  if (Shutting()) return 0;
  return static_cast<std::uint16_t>(Check(ValidDispatcher()->AddStatusTrigger(kind)));
}

void TSioCustomComPort::SetTimerTrigger(std::uint16_t handle, std::int32_t ticks, bool activate) {
  if (Shutting()) return;
  Check(ValidDispatcher()->SetTimerTrigger(handle, ticks, activate));
}

void TSioCustomComPort::SetStatusTrigger(std::uint16_t handle, std::uint16_t value, bool activate) {
  if (Shutting()) return;
  Check(ValidDispatcher()->SetStatusTrigger(handle, value, activate));
}

void TSioCustomComPort::RemoveTrigger(std::uint16_t handle) {
  if (!IsOpenPort()) return;
  Check(FDispatcher->RemoveTrigger(handle));
}

void TSioCustomComPort::RemoveAllTriggers() {
  if (IsOpenPort()) FDispatcher->RemoveAllTriggers();
  FTriggerLength = 0;
}

// ---------------------------------------------------------------------------------------
// Events
// ---------------------------------------------------------------------------------------

void TSioCustomComPort::UpdateHandlerFlag() {
  if (!IsOpenPort()) return;
  bool any = FOnTrigger || FOnTriggerAvail || FOnTriggerData || FOnTriggerStatus || FOnTriggerTimer ||
             FOnTriggerLineError || FOnTriggerModemStatus || FOnTriggerOutbuffFree || FOnTriggerOutbuffUsed ||
             FOnTriggerOutSent;
  FDispatcher->UpdateHandlerFlags(any ? fuEnablePort : fuDisablePort);
}

void TSioCustomComPort::SetOnTrigger(TTriggerEvent e) {
  FOnTrigger = std::move(e);
  UpdateHandlerFlag();
}
void TSioCustomComPort::SetOnTriggerAvail(TTriggerAvailEvent e) {
  FOnTriggerAvail = std::move(e);
  UpdateHandlerFlag();
}
void TSioCustomComPort::SetOnTriggerData(TTriggerDataEvent e) {
  FOnTriggerData = std::move(e);
  UpdateHandlerFlag();
}
void TSioCustomComPort::SetOnTriggerStatus(TTriggerStatusEvent e) {
  FOnTriggerStatus = std::move(e);
  UpdateHandlerFlag();
}
void TSioCustomComPort::SetOnTriggerTimer(TTriggerTimerEvent e) {
  FOnTriggerTimer = std::move(e);
  UpdateHandlerFlag();
}
void TSioCustomComPort::SetOnTriggerLineError(TTriggerLineErrorEvent e) {
  FOnTriggerLineError = std::move(e);
  UpdateHandlerFlag();
}
void TSioCustomComPort::SetOnTriggerModemStatus(TTriggerNotifyEvent e) {
  FOnTriggerModemStatus = std::move(e);
  UpdateHandlerFlag();
}
void TSioCustomComPort::SetOnTriggerOutbuffFree(TTriggerNotifyEvent e) {
  FOnTriggerOutbuffFree = std::move(e);
  UpdateHandlerFlag();
}
void TSioCustomComPort::SetOnTriggerOutbuffUsed(TTriggerNotifyEvent e) {
  FOnTriggerOutbuffUsed = std::move(e);
  UpdateHandlerFlag();
}
void TSioCustomComPort::SetOnTriggerOutSent(TTriggerNotifyEvent e) {
  FOnTriggerOutSent = std::move(e);
  UpdateHandlerFlag();
}

void TSioCustomComPort::Trigger(UINT msg, std::uint16_t triggerHandle, std::uint32_t data) {
  if (FOnTrigger) FOnTrigger(this, msg, triggerHandle, data);
}
void TSioCustomComPort::TriggerAvail(std::uint16_t count) {
  if (FOnTriggerAvail) FOnTriggerAvail(this, count);
}
void TSioCustomComPort::TriggerData(std::uint16_t triggerHandle) {
  if (FOnTriggerData) FOnTriggerData(this, triggerHandle);
}
void TSioCustomComPort::TriggerStatus(std::uint16_t triggerHandle) {
  if (FOnTriggerStatus) FOnTriggerStatus(this, triggerHandle);
}
void TSioCustomComPort::TriggerTimer(std::uint16_t triggerHandle) {
  if (FOnTriggerTimer) FOnTriggerTimer(this, triggerHandle);
}
void TSioCustomComPort::TriggerLineError(std::uint16_t error, bool lineBreak) {
  if (FOnTriggerLineError) FOnTriggerLineError(this, error, lineBreak);
}
void TSioCustomComPort::TriggerModemStatus() {
  if (FOnTriggerModemStatus) FOnTriggerModemStatus(this);
}
void TSioCustomComPort::TriggerOutbuffFree() {
  if (FOnTriggerOutbuffFree) FOnTriggerOutbuffFree(this);
}
void TSioCustomComPort::TriggerOutbuffUsed() {
  if (FOnTriggerOutbuffUsed) FOnTriggerOutbuffUsed(this);
}
void TSioCustomComPort::TriggerOutSent() {
  if (FOnTriggerOutSent) FOnTriggerOutSent(this);
}
void TSioCustomComPort::WaitChar(char c) {
  if (FOnWaitChar) FOnWaitChar(this, c);
}

LRESULT TSioCustomComPort::ComWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_TIMER && wParam == kClosePendingTimer) {
    // A close waits for a window handler left running: look again.
    KillTimer(hwnd, kClosePendingTimer);
    auto* cp = static_cast<TSioCustomComPort*>(GetWindowUserData(hwnd));
    if (cp != nullptr && cp->FDispatcher != nullptr)
      PostMessage(hwnd, SW_CLOSEPENDING, 0, static_cast<LPARAM>(cp->FDispatcher->Handle()) * 65536);
    return 0;
  }
  if (msg != SW_TRIGGERAVAIL && msg != SW_TRIGGERDATA && msg != SW_TRIGGERTIMER && msg != SW_TRIGGERSTATUS &&
      msg != SW_CLOSEPENDING)
    return DefWindowProc(hwnd, msg, wParam, lParam);
  const int index = static_cast<int>((static_cast<std::uintptr_t>(lParam) >> 16) & 0xFFFF);
  auto* cp = static_cast<TSioCustomComPort*>(GetWindowUserData(hwnd));
  // Only the port's own dispatcher, found in the port list, counts; no other is looked into.
  // The list stays unlocked while the events run, so that they never hold up another port's
  // engines, which find their dispatcher there.
  TSioBaseDispatcher* d = PortListItem(index);
  if (d == nullptr || cp == nullptr || cp->FDispatcher != d || d->Owner() != cp) return 0;
  const auto handle = static_cast<std::uint16_t>(wParam);
  const auto low = static_cast<std::uint32_t>(static_cast<std::uintptr_t>(lParam) & 0xFFFF);
  // A handler may free its own port (the dispatcher then stays until its notification has
  // ended): nothing here touches the port after that.
  TEventFrame frame{cp->FEventFrames};
  cp->FEventFrames = &frame;
  struct Leave {
    TSioCustomComPort* cp;
    TEventFrame& frame;
    ~Leave() {
      if (!frame.PortFreed) cp->FEventFrames = frame.Outer;
    }
  } leave{cp, frame};
  try {
    if (msg == SW_CLOSEPENDING) {
      if (d->RunningThreads() > 0 || d->StillInUse()) {
        // The dispatcher's threads are still ending, or a window handler left running may
        // take long: looked at again a little later, without spinning meanwhile.
        SetTimer(hwnd, kClosePendingTimer, 10);
      } else {
        cp->CompleteClose();
      }
      return 0;
    }
    if (cp->FPortState != psOpen) return 0;
    const std::uint32_t data = msg == SW_TRIGGERAVAIL ? static_cast<std::uint32_t>(wParam) : low;
    cp->Trigger(msg, handle, data);
    if (frame.PortFreed) return 0;
    switch (msg) {
      case SW_TRIGGERAVAIL:
        cp->TriggerAvail(static_cast<std::uint16_t>(wParam));
        break;
      case SW_TRIGGERDATA:
        cp->TriggerData(handle);
        break;
      case SW_TRIGGERTIMER:
        cp->TriggerTimer(handle);
        break;
      case SW_TRIGGERSTATUS:
        cp->TriggerStatus(handle);
        if (frame.PortFreed) return 0;
        switch (TSioBaseDispatcher::ClassifyStatusTrigger(handle)) {
          case stModem:
            cp->TriggerModemStatus();
            break;
          case stLine: {
            // The break is read first (reading it clears it), the error after it.
            bool lineBreak = cp->GetLineBreak();
            std::uint16_t error = cp->GetLineError();
            cp->TriggerLineError(error, lineBreak);
            break;
          }
          case stOutBuffFree:
            cp->TriggerOutbuffFree();
            break;
          case stOutBuffUsed:
            cp->TriggerOutbuffUsed();
            break;
          case stOutSent:
            cp->TriggerOutSent();
            break;
          default:
            break;
        }
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    if (IsMainThread()) SioHandleException(e);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------
// Waiting for text
// ---------------------------------------------------------------------------------------

bool TSioCustomComPort::CheckForString(std::uint8_t& index, char c, std::string_view s, bool ignoreCase) {
  ++index;
  if (index <= s.size() && SameChar(c, s[index - 1], ignoreCase)) {
    if (index == s.size()) {
      index = 0;
      return true;
    }
    return false;
  }
  index = !s.empty() && SameChar(c, s[0], ignoreCase) ? 1 : 0;
  return false;
}

void TSioCustomComPort::PrepareWait() {
  if (!IsOpenPort()) return;
  bool previous = false;
  FDispatcher->SetEventBusy(previous, true);
  if (!FWaitPrepared) FWaitPreparedBusy = previous;
  FWaitPrepared = true;
}

void TSioCustomComPort::EndWait(TSioBaseDispatcher* d, std::uint64_t generation, bool wasBusy) {
  // The port may have been closed (and its dispatcher freed) while the wait handled
  // messages: the mark is then gone with the dispatcher.
  if (generation == FGeneration && FDispatcher == d && d != nullptr && !wasBusy) {
    bool previous;
    d->SetEventBusy(previous, false);
  }
  FWaitPrepared = false;
  FWaitPreparedBusy = false;
}

template <class Match>
int TSioCustomComPort::WaitLoop(std::int32_t timeout, bool yield, Match&& match) {
  TSioBaseDispatcher* d = ValidDispatcher();
  const std::uint64_t generation = FGeneration;
  bool wasBusy = false;
  d->SetEventBusy(wasBusy, true);
  if (FWaitPrepared) wasBusy = FWaitPreparedBusy;
  EventTimer timer;
  NewTimer(timer, timeout);
  int found = 0;
  bool expired = false;
  try {
    for (;;) {
      if (generation != FGeneration || FPortState != psOpen) break;  // closed meanwhile
      bool got = false;
      if (d->CharReady()) {
        std::uint8_t c = 0;
        if (d->GetChar(c) == 0) {
          got = true;
          WaitChar(static_cast<char>(c));
          found = match(static_cast<char>(c));
        }
      }
      if (found != 0) break;
      expired = TimerExpired(timer);
      if (expired) break;
      if (yield) {
        if (!ProcessMessages()) {
          found = -1;  // the application is ending
          break;
        }
      }
      if (!got) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  } catch (...) {
    EndWait(d, generation, wasBusy);
    throw;
  }
  EndWait(d, generation, wasBusy);
  return found;
}

bool TSioCustomComPort::WaitForString(std::string_view s, std::int32_t timeout, bool yield, bool ignoreCase) {
  if (s.empty() || Shutting()) return true;
  std::size_t pos = 0;
  int r = WaitLoop(timeout, yield, [&](char c) -> int {
    if (SameChar(c, s[pos], ignoreCase)) {
      if (++pos == s.size()) return 1;
    } else {
      pos = SameChar(c, s[0], ignoreCase) ? 1 : 0;
    }
    return 0;
  });
  // Found, or the application ends; a time-out or a close during the wait is no success.
  return r != 0;
}

int TSioCustomComPort::WaitForMultiString(std::string_view s, std::int32_t timeout, bool yield,
                                          bool ignoreCase, char sepChar) {
  if (Shutting()) return 0;
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start < s.size() && parts.size() < kMaxWaitParts) {
    std::size_t end = s.find(sepChar, start);
    if (end == std::string_view::npos) end = s.size();
    parts.push_back(s.substr(start, end - start));
    start = end + 1;
  }
  if (parts.empty()) return 0;
  std::vector<std::size_t> pos(parts.size(), 0);
  int r = WaitLoop(timeout, yield, [&](char c) -> int {
    for (std::size_t i = 0; i < parts.size(); ++i) {
      std::string_view part = parts[i];
      if (part.empty()) continue;
      if (SameChar(c, part[pos[i]], ignoreCase)) {
        if (++pos[i] == part.size()) return static_cast<int>(i) + 1;
      } else {
        pos[i] = SameChar(c, part[0], ignoreCase) ? 1 : 0;
      }
    }
    return 0;
  });
  return r > 0 ? r : 0;
}
