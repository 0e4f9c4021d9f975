#pragma once
// The serial port component: TSioCustomComPort, published as TSioComPort.
//
// The component holds a port's settings, opens the port by creating a dispatcher
// (SioDispatch.h, SioWin32.h), keeps a hidden window of class "swComWindow" on the thread
// that opened the port and turns the dispatcher's notifications into its trigger events
// there, forwards reads, writes and trigger operations to the dispatcher, and raises the
// library exception (Sioexcept.h) of every negative result.
//
// Properties are Get.../Set... pairs; events are set with SetOn... (the component tells the
// dispatcher whether its window wants notifications from which events are assigned).
// The component is used from the thread that opens it (the window thread in the
// application); its events run on that thread while it handles its messages.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Messages.h"
#include "serial/SioDispatch.h"
#include "serial/SioMisc.h"
#include "serial/SioTrace.h"
#include "serial/Sioexcept.h"

// ---------------------------------------------------------------------------------------
// Types of the properties
// ---------------------------------------------------------------------------------------

enum TDeviceLayer { dlWin16, dlFossil, dlWin32, dlWinsock };
enum TParity { pNone, pOdd, pEven, pMark, pSpace };
enum THWFlowOptions { hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS };
// A set of THWFlowOptions: bit (1 << option).
using THWFlowOptionSet = std::uint8_t;
constexpr THWFlowOptionSet HWFlowBit(THWFlowOptions o) { return static_cast<THWFlowOptionSet>(1u << o); }
enum TSWFlowOptions { swfNone, swfReceive, swfTransmit, swfBoth };
enum TTraceLogState { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };
enum TTapiMode { tmNone, tmAuto, tmOn, tmOff };
enum TPortState { psClosed, psShuttingDown, psOpen };
enum TFlowControlState { fcOff, fcOn, fcDsrHold, fcCtsHold, fcDcdHold, fcXOutHold, fcXInHold, fcXBothHold };

constexpr std::uint32_t MaxTraceSize = 4000000;
constexpr std::uint32_t MaxLogSize = 16000000;
// Dispatcher option bit switched by UseEventWord.
constexpr std::uint32_t poUseEventWord = 0x10;

class TSioCustomComPort;

// ---------------------------------------------------------------------------------------
// Owners
// ---------------------------------------------------------------------------------------

// Forms, data modules and components that hold components of their own list them here, in
// creation order (the list does not own them). SearchComPort walks these lists.
class TSioComponentOwner {
 public:
  TSioComponentOwner() = default;
  explicit TSioComponentOwner(TSioComponentOwner* owner);
  virtual ~TSioComponentOwner();
  TSioComponentOwner(const TSioComponentOwner&) = delete;
  TSioComponentOwner& operator=(const TSioComponentOwner&) = delete;

  TSioComponentOwner* Owner() const { return FOwner; }
  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TSioComponentOwner* Components(int index) const { return FComponents.at(static_cast<std::size_t>(index)); }
  void InsertComponent(TSioComponentOwner* component);
  void RemoveComponent(TSioComponentOwner* component);

 private:
  TSioComponentOwner* FOwner = nullptr;
  std::vector<TSioComponentOwner*> FComponents;
};

// ---------------------------------------------------------------------------------------
// Events and callbacks
// ---------------------------------------------------------------------------------------

using TTriggerEvent =
    std::function<void(TSioCustomComPort* CP, UINT Msg, std::uint16_t TriggerHandle, std::uint32_t Data)>;
using TTriggerAvailEvent = std::function<void(TSioCustomComPort* CP, std::uint16_t Count)>;
using TTriggerDataEvent = std::function<void(TSioCustomComPort* CP, std::uint16_t TriggerHandle)>;
using TTriggerTimerEvent = std::function<void(TSioCustomComPort* CP, std::uint16_t TriggerHandle)>;
using TTriggerStatusEvent = std::function<void(TSioCustomComPort* CP, std::uint16_t TriggerHandle)>;
using TTriggerLineErrorEvent =
    std::function<void(TSioCustomComPort* CP, std::uint16_t Error, bool LineBreak)>;
using TTriggerNotifyEvent = std::function<void(TSioCustomComPort* CP)>;
using TWaitCharEvent = std::function<void(TSioCustomComPort* CP, char C)>;
// The component's own port-opened and port-closed callbacks.
using TPortNotifyEvent = std::function<void(TSioCustomComPort* CP)>;

// A user's method callback: told of the port opening (true) and closing (false). Compared
// by routine and object; made with TPortCallback::Of<&T::Method>(obj).
struct TPortCallback {
  void (*Code)(void* self, TSioCustomComPort* CP, bool Opening) = nullptr;
  void* Data = nullptr;
  bool operator==(const TPortCallback&) const = default;
  explicit operator bool() const { return Code != nullptr; }
  void operator()(TSioCustomComPort* cp, bool opening) const { Code(Data, cp, opening); }
  template <auto Method, class T>
  static TPortCallback Of(T* obj) {
    TPortCallback c;
    c.Code = [](void* self, TSioCustomComPort* cp, bool opening) {
      (static_cast<T*>(self)->*Method)(cp, opening);
    };
    c.Data = obj;
    return c;
  }
};

// Makes the dispatcher of a port instead of the built-in device layers (installed by code
// outside the component; null: none).
using TSioActivateDeviceLayerHook = std::function<TSioBaseDispatcher*(TSioCustomComPort* CP)>;
void SetActivateDeviceLayerHook(TSioActivateDeviceLayerHook hook);

// The application's exception handler: exceptions raised by event handlers of the port and
// by opening after loading go here. Without one the message is written to standard error.
using TSioExceptionHandler = std::function<void(const std::exception& e)>;
void SetSioApplicationExceptionHandler(TSioExceptionHandler handler);
// Hands an exception to the installed handler.
void SioHandleException(const std::exception& e);
// Runs what a component does for the event loop (a notice, an event handler of the
// application): whatever it throws goes to the installed handler and not into the loop.
template <class F>
void SioGuarded(F&& f) noexcept {
  try {
    f();
  } catch (const std::exception& e) {
    SioHandleException(e);
  } catch (...) {
    SioHandleException(Exception("Unknown exception in an event handler"));
  }
}

// ---------------------------------------------------------------------------------------
// The component
// ---------------------------------------------------------------------------------------

class TSioCustomComPort : public TSioBaseComponent, public TSioComponentOwner {
 public:
  explicit TSioCustomComPort(TSioComponentOwner* owner = nullptr);
  ~TSioCustomComPort() override;

  // Copies users, settings, trigger length, the first five trigger events and the port
  // callbacks; Open stays false. The source's triggers are kept for this port's next open.
  virtual void Assign(const TSioCustomComPort& source);
  // Ends reading from the stored form (clears csLoading): opens the port when asked.
  virtual void Loaded();

  // ----- settings -----
  TDeviceLayer GetDeviceLayer() const { return FDeviceLayer; }
  void SetDeviceLayer(TDeviceLayer layer);
  std::uint16_t GetComNumber() const { return FComNumber; }
  void SetComNumber(std::uint16_t number);
  std::uint32_t GetBaud() const { return FBaud; }
  void SetBaud(std::uint32_t baud);
  bool GetPromptForPort() const { return FPromptForPort; }
  void SetPromptForPort(bool prompt) { FPromptForPort = prompt; }
  TParity GetParity() const { return FParity; }
  void SetParity(TParity parity);
  std::uint16_t GetDataBits() const { return FDataBits; }
  void SetDataBits(std::uint16_t bits);
  std::uint16_t GetStopBits() const { return FStopBits; }
  void SetStopBits(std::uint16_t bits);
  std::uint16_t GetInSize() const { return FInSize; }
  void SetInSize(std::uint16_t size);
  std::uint16_t GetOutSize() const { return FOutSize; }
  void SetOutSize(std::uint16_t size);
  bool GetAutoOpen() const { return FAutoOpen; }
  void SetAutoOpen(bool autoOpen) { FAutoOpen = autoOpen; }
  bool GetOpen() const { return FOpen; }
  void SetOpen(bool open);
  bool GetDTR() const { return FDTR; }
  void SetDTR(bool on);
  bool GetRTS() const { return FRTS; }
  void SetRTS(bool on);
  THWFlowOptionSet GetHWFlowOptions() const { return FHWFlowOptions; }
  void SetHWFlowOptions(THWFlowOptionSet options);
  TSWFlowOptions GetSWFlowOptions() const { return FSWFlowOptions; }
  void SetSWFlowOptions(TSWFlowOptions options);
  char GetXOnChar() const { return FXOnChar; }
  void SetXOnChar(char c);
  char GetXOffChar() const { return FXOffChar; }
  void SetXOffChar(char c);
  std::uint16_t GetBufferFull() const { return FBufferFull; }
  void SetBufferFull(std::uint16_t value);
  std::uint16_t GetBufferResume() const { return FBufferResume; }
  void SetBufferResume(std::uint16_t value);
  TTraceLogState GetTracing() const { return FTracing; }
  void SetTracing(TTraceLogState state);
  std::uint32_t GetTraceSize() const { return FTraceSize; }
  void SetTraceSize(std::uint32_t size);
  const std::string& GetTraceName() const { return FTraceName; }
  void SetTraceName(std::string_view name);
  bool GetTraceHex() const { return FTraceHex; }
  void SetTraceHex(bool hex) { FTraceHex = hex; }
  bool GetTraceAllHex() const { return FTraceAllHex; }
  void SetTraceAllHex(bool allHex) { FTraceAllHex = allHex; }
  TTraceLogState GetLogging() const { return FLogging; }
  void SetLogging(TTraceLogState state);
  std::uint32_t GetLogSize() const { return FLogSize; }
  void SetLogSize(std::uint32_t size);
  const std::string& GetLogName() const { return FLogName; }
  void SetLogName(std::string_view name);
  bool GetLogHex() const { return FLogHex; }
  void SetLogHex(bool hex) { FLogHex = hex; }
  bool GetLogAllHex() const { return FLogAllHex; }
  void SetLogAllHex(bool allHex) { FLogAllHex = allHex; }
  bool GetUseMSRShadow() const { return FUseMSRShadow; }
  virtual void SetUseMSRShadow(bool use);
  bool GetUseEventWord() const { return FUseEventWord; }
  void SetUseEventWord(bool use);
  std::uint16_t GetCommNotificationLevel() const { return FCommNotificationLevel; }
  void SetCommNotificationLevel(std::uint16_t level) { FCommNotificationLevel = level; }
  TTapiMode GetTapiMode() const { return FTapiMode; }
  void SetTapiMode(TTapiMode mode) { FTapiMode = mode; }
  bool GetRS485Mode() const { return FRS485Mode; }
  void SetRS485Mode(bool on);
  TApThreadBoost GetThreadBoost() const { return FThreadBoost; }
  void SetThreadBoost(TApThreadBoost boost);
  std::uint16_t GetBaseAddress();
  void SetBaseAddress(std::uint16_t address);
  // Threshold of the length (avail) trigger: 1 after construction, 0 after RemoveAllTriggers.
  std::uint16_t GetTriggerLength() const { return FTriggerLength; }
  void SetTriggerLength(std::uint16_t length);

  // Telephony hand-over: the low 16 bits of the call's serial handle, 0 when none. With
  // TapiMode tmOn the port runs on this handle instead of opening a device.
  std::uint16_t GetTapiCid() const { return FTapiCid; }
  void SetTapiCid(std::uint16_t cid) { FTapiCid = cid; }

  // ----- events -----
  void SetOnTrigger(TTriggerEvent e);
  void SetOnTriggerAvail(TTriggerAvailEvent e);
  void SetOnTriggerData(TTriggerDataEvent e);
  void SetOnTriggerStatus(TTriggerStatusEvent e);
  void SetOnTriggerTimer(TTriggerTimerEvent e);
  void SetOnTriggerLineError(TTriggerLineErrorEvent e);
  void SetOnTriggerModemStatus(TTriggerNotifyEvent e);
  void SetOnTriggerOutbuffFree(TTriggerNotifyEvent e);
  void SetOnTriggerOutbuffUsed(TTriggerNotifyEvent e);
  void SetOnTriggerOutSent(TTriggerNotifyEvent e);
  void SetOnWaitChar(TWaitCharEvent e) { FOnWaitChar = std::move(e); }
  const TTriggerEvent& GetOnTrigger() const { return FOnTrigger; }
  const TTriggerAvailEvent& GetOnTriggerAvail() const { return FOnTriggerAvail; }
  const TTriggerDataEvent& GetOnTriggerData() const { return FOnTriggerData; }
  const TTriggerStatusEvent& GetOnTriggerStatus() const { return FOnTriggerStatus; }
  const TTriggerTimerEvent& GetOnTriggerTimer() const { return FOnTriggerTimer; }
  const TTriggerLineErrorEvent& GetOnTriggerLineError() const { return FOnTriggerLineError; }
  const TTriggerNotifyEvent& GetOnTriggerModemStatus() const { return FOnTriggerModemStatus; }
  const TTriggerNotifyEvent& GetOnTriggerOutbuffFree() const { return FOnTriggerOutbuffFree; }
  const TTriggerNotifyEvent& GetOnTriggerOutbuffUsed() const { return FOnTriggerOutbuffUsed; }
  const TTriggerNotifyEvent& GetOnTriggerOutSent() const { return FOnTriggerOutSent; }
  const TWaitCharEvent& GetOnWaitChar() const { return FOnWaitChar; }
  // The component's port-opened / port-closed callbacks (after the users have heard).
  void SetOnPortOpen(TPortNotifyEvent e) { FOnPortOpen = std::move(e); }
  void SetOnPortClose(TPortNotifyEvent e) { FOnPortClose = std::move(e); }

  // ----- dispatcher, users -----
  // Opens the port first when AutoOpen is set and it is closed; null when there is none.
  TSioBaseDispatcher* Dispatcher();
  // The same, raising the exception of -2007 when there is none.
  TSioBaseDispatcher* ValidDispatcher();
  TPortState GetPortState() const { return FPortState; }
  HWND GetComWindow() const { return FComWindow; }
  void ForcePortOpen();
  int RegisterUser(HWND window);
  int RegisterUserCallback(TPortCallback callback);
  void DeregisterUser(HWND window);
  void DeregisterUserCallback(TPortCallback callback);
  virtual int ProcessCommunications();

  // ----- reading and writing -----
  bool CharReady();
  char PeekChar(std::uint16_t n);
  char GetChar();
  // Both return the number of bytes copied.
  int PeekBlock(void* buffer, std::uint16_t count);
  int GetBlock(void* buffer, std::uint16_t count);
  void PutChar(char c);
  void PutString(std::string_view text);
  int PutBlock(const void* buffer, std::uint16_t count);
  void FlushInBuffer();
  void FlushOutBuffer();
  int SendBreak(std::uint32_t ticks, bool yield);
  int SetBreak(bool on);

  // ----- status -----
  std::uint8_t GetModemStatus();
  bool GetDSR();
  bool GetCTS();
  bool GetRI();
  bool GetDCD();
  bool GetDeltaDSR();
  bool GetDeltaCTS();
  bool GetDeltaRI();
  bool GetDeltaDCD();
  std::uint16_t GetLineError();
  bool GetLineBreak();
  // The open port's device has gone away (its loss came as a line break); false when closed.
  bool GetDeviceGone();
  std::uint32_t GetInBuffUsed();
  std::uint32_t GetInBuffFree();
  std::uint32_t GetOutBuffUsed();
  std::uint32_t GetOutBuffFree();
  TFlowControlState GetFlowState();

  // ----- triggers -----
  std::uint16_t AddDataTrigger(std::string_view data, bool ignoreCase);
  std::uint16_t AddTimerTrigger();
  std::uint16_t AddStatusTrigger(std::uint16_t kind);
  void SetTimerTrigger(std::uint16_t handle, std::int32_t ticks, bool activate);
  void SetStatusTrigger(std::uint16_t handle, std::uint16_t value, bool activate);
  void RemoveTrigger(std::uint16_t handle);
  void RemoveAllTriggers();

  // ----- trace and dispatch log -----
  void InitTracing(std::uint32_t numEntries);
  void DumpTrace(std::string_view fileName, bool inHex);
  void AppendTrace(std::string_view fileName, bool inHex);
  void ClearTracing();
  void AbortTracing();
  void StartTracing();
  void StopTracing();
  void AddTraceEntry(char currentEntry, char currentChar);
  void InitLogging(std::uint32_t size);
  void DumpLog(std::string_view fileName, bool inHex);
  void AppendLog(std::string_view fileName, bool inHex);
  void ClearLogging();
  void AbortLogging();
  void StartLogging();
  void StopLogging();
  void AddStringToLog(std::string_view s);

  // ----- waiting for text -----
  bool CheckForString(std::uint8_t& index, char c, std::string_view s, bool ignoreCase);
  bool WaitForString(std::string_view s, std::int32_t timeout, bool yield, bool ignoreCase);
  int WaitForMultiString(std::string_view s, std::int32_t timeout, bool yield, bool ignoreCase, char sepChar);
  void PrepareWait();

 protected:
  // Virtual operations, in their slot order.
  virtual void ActivateDeviceLayer();
  virtual void DeviceLayerChanged() {}
  virtual void InitializePort();
  virtual void RegisterComPort(bool doRegister);
  virtual void ValidateComport();
  virtual void Trigger(UINT msg, std::uint16_t triggerHandle, std::uint32_t data);
  virtual void TriggerAvail(std::uint16_t count);
  virtual void TriggerData(std::uint16_t triggerHandle);
  virtual void TriggerStatus(std::uint16_t triggerHandle);
  virtual void TriggerTimer(std::uint16_t triggerHandle);
  virtual void UpdateHandlerFlag();
  virtual void TriggerLineError(std::uint16_t error, bool lineBreak);
  virtual void TriggerModemStatus();
  virtual void TriggerOutbuffFree();
  virtual void TriggerOutbuffUsed();
  virtual void TriggerOutSent();
  virtual void WaitChar(char c);
  // For a descendant's ActivateDeviceLayer: the dispatcher it made becomes the port's; and
  // the dispatcher being opened, for its InitializePort.
  void SetActivatedDispatcher(TSioBaseDispatcher* dispatcher);
  TSioBaseDispatcher* ActivatedDispatcher() const { return FDispatcher; }

 public:
  virtual void DonePort();
  virtual void PortOpen();
  virtual void PortClose();
  virtual void InitPort();

  // The window procedure of "swComWindow" (runs on the thread that opened the port).
  static LRESULT ComWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

 private:
  struct TUserEntry {
    HWND Window = 0;
    TPortCallback Callback;
  };

  bool Shutting() const { return FPortState == psShuttingDown; }
  bool IsOpenPort() const { return FPortState == psOpen && FDispatcher != nullptr; }
  bool Designing() const { return (ComponentState & csDesigning) != 0; }
  bool Loading() const { return (ComponentState & csLoading) != 0; }
  int Check(int code) { return CheckException(static_cast<const TSioBaseComponent*>(this), code); }
  // Raises the exception of the code in every case.
  [[noreturn]] void Raise(int code);
  void ApplyTracing(TTraceLogState state, bool trace, int* error);
  void ApplyLine();
  void ReapplyFlow();
  void ReadBackTapiSettings();
  void FreeDispatcher();
  void ClosePrim(int& error);
  void CompleteClose();
  void NotifyUsers(bool opening);
  void EndWait(TSioBaseDispatcher* d, std::uint64_t generation, bool wasBusy);
  // Takes received characters until match gives a result (> 0), the time runs out (0) or
  // the application ends (-1).
  template <class Match>
  int WaitLoop(std::int32_t timeout, bool yield, Match&& match);

  // Settings.
  TDeviceLayer FDeviceLayer = dlWin32;
  std::uint16_t FComNumber = 0;
  std::uint32_t FBaud = 19200;
  bool FPromptForPort = true;
  TParity FParity = pNone;
  std::uint16_t FDataBits = 8;
  std::uint16_t FStopBits = 1;
  std::uint16_t FInSize = 4096;
  std::uint16_t FOutSize = 4096;
  bool FAutoOpen = true;
  bool FOpen = false;
  bool FDTR = true;
  bool FRTS = true;
  THWFlowOptionSet FHWFlowOptions = 0;
  TSWFlowOptions FSWFlowOptions = swfNone;
  char FXOnChar = 17;
  char FXOffChar = 19;
  std::uint16_t FBufferFull = 0;
  std::uint16_t FBufferResume = 0;
  TTraceLogState FTracing = tlOff;
  std::uint32_t FTraceSize = 10000;
  std::string FTraceName = "SIO.TRC";
  bool FTraceHex = true;
  bool FTraceAllHex = false;
  TTraceLogState FLogging = tlOff;
  std::uint32_t FLogSize = 10000;
  std::string FLogName = "SIO.LOG";
  bool FLogHex = true;
  bool FLogAllHex = false;
  bool FUseMSRShadow = true;
  bool FUseEventWord = true;
  std::uint16_t FCommNotificationLevel = 10;
  TTapiMode FTapiMode = tmAuto;
  bool FRS485Mode = false;
  TApThreadBoost FThreadBoost = tbNone;
  std::uint16_t FBaseAddress = 0;
  std::uint16_t FTriggerLength = 1;
  std::uint16_t FTapiCid = 0;

  // Events.
  TTriggerEvent FOnTrigger;
  TTriggerAvailEvent FOnTriggerAvail;
  TTriggerDataEvent FOnTriggerData;
  TTriggerStatusEvent FOnTriggerStatus;
  TTriggerTimerEvent FOnTriggerTimer;
  TTriggerLineErrorEvent FOnTriggerLineError;
  TTriggerNotifyEvent FOnTriggerModemStatus;
  TTriggerNotifyEvent FOnTriggerOutbuffFree;
  TTriggerNotifyEvent FOnTriggerOutbuffUsed;
  TTriggerNotifyEvent FOnTriggerOutSent;
  TWaitCharEvent FOnWaitChar;
  TPortNotifyEvent FOnPortOpen;
  TPortNotifyEvent FOnPortClose;

  // State.
  // Read by the engines on the dispatcher's threads while the window thread closes the port.
  std::atomic<TPortState> FPortState{psClosed};
  TSioBaseDispatcher* FDispatcher = nullptr;
  std::uint64_t FGeneration = 0;  // changes whenever a dispatcher is made or freed
  HWND FComWindow = 0;
  std::vector<TUserEntry> FUsers;
  TTriggerSave FTriggerSave;
  bool FTriggersSaved = false;
  bool FOpenAfterLoading = false;
  bool FReopenPending = false;
  bool FApplyingSettings = false;
  bool FWaitPrepared = false;
  bool FWaitPreparedBusy = false;
  TSioTraceLog FTraceLog;
  // The port's events running on its thread, innermost first (ComWindowProc): a port freed by
  // one of its own handlers marks them, so that they leave it alone.
  struct TEventFrame {
    TEventFrame* Outer = nullptr;
    bool PortFreed = false;
  };
  TEventFrame* FEventFrames = nullptr;
};

// The published component.
class TSioComPort : public TSioCustomComPort {
 public:
  using TSioCustomComPort::TSioCustomComPort;
};

// The first port among the owner's components, each component's own components searched
// depth first; null when there is none.
TSioCustomComPort* SearchComPort(TSioComponentOwner* owner);
// "COM" followed by the number.
std::string ComName(std::uint16_t number);
