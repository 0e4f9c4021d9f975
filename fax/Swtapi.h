#pragma once
// The telephony device: TSioCustomTapiDevice, published as TSioTapiDevice.
//
// It drives one modem line of the telephony service (platform/Telephony.h, reached through
// Swtapiut.h): it dials out with redialing, answers incoming calls after a number of rings,
// or opens a pass-through call so that a program's own modem commands reach the modem. When
// a call is connected it hands the call's serial handle to a serial port component
// (TSioComPort with TapiMode tmOn), which then runs on it. Call progress goes to a status
// display, a history log (Swtapilog.h) and the events. With EnableVoice the line carries
// automated voice instead: wave files are played into the call and the caller recorded,
// DTMF digits detected and generated.
//
// Everything runs on the window thread: the service's events arrive there while it handles
// its messages, and every wait of the device handles them too.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "fax/Swtapilog.h"
#include "fax/Swtapiut.h"
#include "platform/Messages.h"
#include "platform/Text.h"
#include "platform/WaveIO.h"
#include "serial/SioPacket.h"
#include "serial/SioPort.h"

enum TTapiState {
  tsIdle,
  tsOffering,
  tsAccepted,
  tsDialTone,
  tsDialing,
  tsRingback,
  tsBusy,
  tsSpecialInfo,
  tsConnected,
  tsProceeding,
  tsOnHold,
  tsConferenced,
  tsOnHoldPendConf,
  tsOnHoldPendTransfer,
  tsDisconnected,
  tsUnknown
};

enum TWaveState { wsIdle, wsPlaying, wsRecording, wsData };
enum TWaveMessage { waPlayOpen, waPlayDone, waPlayClose, waRecordOpen, waDataReady, waRecordClose };

// A line's device configuration: its size and that many bytes.
struct TTapiConfigRec {
  std::uint32_t DataSize = 0;
  std::array<std::uint8_t, 1004> Data{};
};

class TSioCustomTapiDevice;

using TTapiNotifyEvent = std::function<void(TSioCustomTapiDevice* Sender)>;
using TTapiStatusEvent = std::function<void(TSioCustomTapiDevice* Sender, bool First, bool Last,
                                            std::uint32_t Device, std::uint32_t Message, std::uint32_t Param1,
                                            std::uint32_t Param2, std::uint32_t Param3)>;
using TTapiLogEvent = std::function<void(TSioCustomTapiDevice* Sender, TTapiLogCode Log)>;
using TTapiDTMFEvent = std::function<void(TSioCustomTapiDevice* Sender, char Digit, int ErrorCode)>;
using TTapiCallerIDEvent =
    std::function<void(TSioCustomTapiDevice* Sender, const std::string& ID, const std::string& IDName)>;
using TTapiWaveNotifyEvent = std::function<void(TSioCustomTapiDevice* Sender, TWaveMessage Msg)>;
using TTapiWaveSilenceEvent =
    std::function<void(TSioCustomTapiDevice* Sender, bool& StopRecording, bool& Hangup)>;

// ----- the device selection dialog -----

struct TDeviceSelectionRequest {
  bool ShowLines = true;
  bool ShowPorts = true;
  TTapiMode Mode = tmAuto;
  std::uint16_t ComNumber = 0;  // the port chosen before (mode tmOff)
  std::string LineName;         // the line chosen before
};

struct TDeviceSelectionResult {
  bool Ok = false;
  std::string Name;  // the chosen entry
  TTapiMode Mode = tmAuto;
  std::uint16_t ComNumber = 0;
};

// The dialog is a window of the UI library; it is shown through this hook (without one the
// selection counts as cancelled).
using TDeviceSelectionHook = std::function<TDeviceSelectionResult(const TDeviceSelectionRequest&)>;
void SetDeviceSelectionHook(TDeviceSelectionHook hook);
TDeviceSelectionResult RunDeviceSelection(const TDeviceSelectionRequest& request);

// Shows and hides the wait cursor while the device opens a line (the UI library installs it).
void SetTapiBusyCursorHook(std::function<void(bool busy)> hook);

// The telephony lines as the dialog lists them: a session of its own, each line device's
// name ("<noname>" for a line without one), devices that fail skipped.
TStringList EnumTapiLineNames();

// ----- the device -----

class TSioCustomTapiDevice : public TSioBaseComponent, public TSioComponentOwner {
 public:
  explicit TSioCustomTapiDevice(TSioComponentOwner* owner = nullptr);
  ~TSioCustomTapiDevice() override;

  // Clears TapiDevices and copies the mode, SelectedDevice, the device count, the open
  // flag, MaxAttempts, AnswerOnRing, the attempt counter, RetryWait, ShowTapiDevices,
  // ComPort, StatusDisplay, TapiLog and the call information.
  virtual void Assign(const TSioCustomTapiDevice& source);
  // Told by the owner when a component is added (linked when nothing is yet) or removed.
  virtual void Notification(TSioComponentOwner* component, TSioOperation operation);

  // ----- properties -----
  const std::string& GetSelectedDevice() const { return FSelectedDevice; }
  void SetSelectedDevice(const std::string& name);
  TSioCustomComPort* GetComPort() const { return FComPort; }
  void SetComPort(TSioCustomComPort* port);
  TSioAbstractTapiStatus* GetStatusDisplay() const { return FStatusDisplay; }
  void SetStatusDisplay(TSioAbstractTapiStatus* display);
  TSioTapiLog* GetTapiLog() const { return FTapiLog; }
  void SetTapiLog(TSioTapiLog* log);
  std::uint8_t GetAnswerOnRing() const { return FAnswerOnRing; }
  void SetAnswerOnRing(std::uint8_t rings) { FAnswerOnRing = rings; }
  std::uint16_t GetRetryWait() const { return FRetryWait; }
  void SetRetryWait(std::uint16_t seconds) { FRetryWait = seconds; }
  std::uint16_t GetMaxAttempts() const { return FMaxAttempts; }
  void SetMaxAttempts(std::uint16_t attempts) { FMaxAttempts = attempts; }
  bool GetShowTapiDevices() const { return FShowTapiDevices; }
  void SetShowTapiDevices(bool show) { FShowTapiDevices = show; }
  bool GetShowPorts() const { return FShowPorts; }
  void SetShowPorts(bool show) { FShowPorts = show; }
  bool GetEnableVoice() const { return FEnableVoice; }
  void SetEnableVoice(bool enable);
  const TStringList& GetTapiDevices() const { return FTapiDevices; }
  void SetTapiDevices(const TStringList& devices) { FTapiDevices = devices; }
  // The parent of the telephony service's dialogs.
  void SetParentWindow(DWORD_PTR window) { FParentWnd = window; }
  DWORD_PTR GetParentHWnd() const { return FParentWnd; }

  std::uint32_t GetBPSRate() const;
  TTapiState GetTapiState() const;
  std::string GetCallerID() const;
  std::string GetCallerIDName() const;
  // The port number of the selected line ("COM12" gives 12; 0 when unknown).
  std::uint16_t GetComNumber();

  // What the status window shows.
  bool GetDialMode() const { return FOperatingMode == kModeDial; }
  const std::string& GetNumber() const { return FNumber; }
  // The number of the call: Dial keeps the one it dials. A pass-through call (ConfigAndOpen)
  // dials nothing itself: its caller's own modem commands dial, and naming that number here
  // lets the history and the status window show it.
  void SetNumber(const std::string& number) { FNumber = number; }
  std::uint16_t GetAttempt() const { return FAttempt; }
  std::int32_t GetSecondsLeft() const { return FSecondsLeft; }
  bool GetOpen() const { return FOpen; }

  // ----- operations -----
  void Dial(const std::string& number);
  void AutoAnswer();
  void ConfigAndOpen();
  void CancelCall();
  // 1 for OK, 2 when cancelled.
  int SelectDevice();
  void ShowConfigDialog();
  TTapiConfigRec GetDevConfig();
  TTapiConfigRec ShowConfigDialogEdit(const TTapiConfigRec& config);
  void SetDevConfig(const TTapiConfigRec& config);
  std::string TranslateAddress(const std::string& number);
  LONG TranslateAddressEx(const std::string& number, std::uint32_t options, std::string& dialable,
                          std::string& displayable, std::uint32_t& currentCountry, std::uint32_t& destCountry,
                          std::uint32_t& translateResults);
  bool TranslateDialog(const std::string& number);
  void SendTone(const std::string& digits);
  void EnumLineDevices();
  // A fresh copy of the call information (none when there is none).
  TTapiRecord<LINECALLINFO> CopyCallInfo() const;
  std::string TapiStatusMsg(std::uint32_t Message, std::uint32_t State, std::uint32_t Reason) const;
  static std::string TapiLogToString(TTapiLogCode log);

  // ----- voice -----
  void CheckVoiceCapable();
  void PlayWaveFile(const std::string& fileName);
  void StopWaveFile();
  void StartWaveRecord();
  void StopWaveRecord();
  void SaveWaveFile(const std::string& fileName, bool overwrite);
  void SetRecordingParams(std::uint8_t channels, std::uint32_t sampleRate, std::uint8_t bitsPerSample);
  void SetMonitorRecording(bool monitor) { FMonitorRecording = monitor; }
  void MonitorDTMF();
  void AutomatedVoicetoComms();
  TWaveState GetWaveState() const { return FWaveState; }
  std::uint8_t GetChannels() const { return FChannels; }
  std::uint32_t GetSampleRate() const { return FSampleRate; }
  std::uint8_t GetBitsPerSample() const { return FBitsPerSample; }
  std::uint32_t GetMaxMessageLength() const { return FMaxMessageLength; }
  void SetMaxMessageLength(std::uint32_t seconds) { FMaxMessageLength = seconds; }
  std::uint8_t GetTrimSeconds() const { return FTrimSeconds; }
  void SetTrimSeconds(std::uint8_t seconds) { FTrimSeconds = seconds; }
  std::uint32_t GetSilenceThreshold() const { return FSilenceThreshold; }
  void SetSilenceThreshold(std::uint32_t threshold) { FSilenceThreshold = threshold; }
  bool GetInterruptWave() const { return FInterruptWave; }
  void SetInterruptWave(bool on) { FInterruptWave = on; }
  bool GetUseSoundCard() const { return FUseSoundCard; }
  void SetUseSoundCard(bool on) { FUseSoundCard = on; }
  const std::string& GetWaveFileName() const { return FWaveFileName; }

  // ----- events -----
  void SetOnTapiCallerID(TTapiCallerIDEvent e) { FOnTapiCallerID = std::move(e); }
  void SetOnTapiConnect(TTapiNotifyEvent e) { FOnTapiConnect = std::move(e); }
  void SetOnTapiDTMF(TTapiDTMFEvent e) { FOnTapiDTMF = std::move(e); }
  void SetOnTapiFail(TTapiNotifyEvent e) { FOnTapiFail = std::move(e); }
  void SetOnTapiLog(TTapiLogEvent e) { FOnTapiLog = std::move(e); }
  void SetOnTapiPortClose(TTapiNotifyEvent e) { FOnTapiPortClose = std::move(e); }
  void SetOnTapiPortOpen(TTapiNotifyEvent e) { FOnTapiPortOpen = std::move(e); }
  void SetOnTapiStatus(TTapiStatusEvent e) { FOnTapiStatus = std::move(e); }
  void SetOnTapiWaveNotify(TTapiWaveNotifyEvent e) { FOnTapiWaveNotify = std::move(e); }
  void SetOnTapiWaveSilence(TTapiWaveSilenceEvent e) { FOnTapiWaveSilence = std::move(e); }

  // The service's line callback.
  static void LineCallback(DWORD_PTR device, std::uint32_t message, DWORD_PTR instance, DWORD_PTR param1,
                           DWORD_PTR param2, DWORD_PTR param3);

 protected:
  virtual void DoLineCallInfo(std::uint32_t Device, std::uint32_t P1, std::uint32_t P2, std::uint32_t P3);
  virtual void DoLineCallState(std::uint32_t Device, std::uint32_t P1, std::uint32_t P2, std::uint32_t P3);
  virtual void DoLineClose(std::uint32_t Device, std::uint32_t P1, std::uint32_t P2, std::uint32_t P3);
  virtual void DoLineCreate(std::uint32_t Device, std::uint32_t P1, std::uint32_t P2, std::uint32_t P3);
  virtual void DoLineDevState(std::uint32_t Device, std::uint32_t P1, std::uint32_t P2, std::uint32_t P3);
  virtual void DoLineGenerate(std::uint32_t Device, std::uint32_t P1, std::uint32_t P2, std::uint32_t P3) {}
  virtual void DoLineMonitorDigits(std::uint32_t Device, std::uint32_t P1, std::uint32_t P2,
                                   std::uint32_t P3);
  virtual void DoLineMonitorMedia(std::uint32_t Device, std::uint32_t P1, std::uint32_t P2,
                                  std::uint32_t P3) {}
  virtual void DoLineMonitorTone(std::uint32_t Device, std::uint32_t P1, std::uint32_t P2, std::uint32_t P3) {
  }
  virtual void DoLineReply(std::uint32_t Device, std::uint32_t P1, std::uint32_t P2, std::uint32_t P3);
  virtual void DoLineRequest(std::uint32_t Device, std::uint32_t P1, std::uint32_t P2, std::uint32_t P3) {}

 public:
  // Internal steps, public as the component's were.
  void StartTapi();
  void StopTapi();
  void SetOpen(bool open);
  void HangupCall(bool endRedial);
  void OpenTapiPort();
  bool CloseTapiPort();
  std::int32_t DeviceIDFromName(const std::string& name);
  std::int32_t GetSelectedLine();
  void AssureTapiReady();
  void DialPrim(std::uint32_t bearer);
  int WaitForReply(LONG request);
  int WaitForCallState(std::uint32_t state);
  void CreateDialTimer();
  void TapiDialTimer();
  void UpdateCallInfo(HCALL call);
  void TapiStatus(bool First, bool Last, std::uint32_t Device, std::uint32_t Message, std::uint32_t Param1,
                  std::uint32_t Param2, std::uint32_t Param3);
  void TapiLogging(TTapiLogCode log);

  // The helper window's procedure ("swTapiHelper").
  static LRESULT HelperWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

 private:
  static constexpr std::uint8_t kModeAnswer = 0;  // answer or pass-through
  static constexpr std::uint8_t kModeDial = 1;

  int Check(int code) { return CheckException(static_cast<const TSioBaseComponent*>(this), code); }
  int CheckTapi(LONG result) { return Check(TapiResultToCode(result)); }
  void FreeDialTimer();
  void FireFail();
  void DigitEvent(char digit);
  void DoWaveMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  void WaveFail(int code, const std::string& text);
  std::uint32_t WaveDeviceId();
  void FreePlayBuffers();
  void FreeRecordBuffers();
  void LoadPlayBuffer();
  void QueuePlayBuffer();
  void RecordBufferFilled(WAVEHDR* header);
  void FinishRecording();

  // Session, line and call.
  HLINEAPP FLineApp = 0;
  LINEEXTENSIONID FExtensionID{};
  HLINE FLine = 0;
  HCALL FCall = 0;
  HCALL FIgnoredCall = 0;  // offered, but not a call this device takes
  std::int32_t FDeviceID = -1;
  std::array<std::uint32_t, 1028 / 4> FReplyBuffer{};
  bool FDialTimer = false;  // the one-second redial timer runs
  LONG FRequestWaited = 0;
  int FRequestResult = 0;
  std::uint32_t FLastCallState = 0;
  bool FReplyReceived = false;
  bool FCallStateChanged = false;
  bool FLineInUse = false;
  bool FOpenedOnce = false;
  bool FStarting = false;
  bool FConnected = false;
  bool FHangingUp = false;
  bool FStopped = false;
  bool FRedialing = false;
  bool FWaitingReply = false;
  bool FWaitingCallState = false;
  bool FQuiet = false;
  bool FCancelled = false;
  std::uint8_t FOperatingMode = kModeAnswer;
  std::int32_t FSecondsLeft = 0;
  TStringList FTapiDevices;
  std::string FSelectedDevice;
  std::uint32_t FApiVersion = 0;
  std::uint32_t FNumDevices = 0;
  bool FOpen = false;
  TTapiRecord<LINECALLINFO> FCallInfo;
  TSioCustomComPort* FComPort = nullptr;
  TSioAbstractTapiStatus* FStatusDisplay = nullptr;
  TSioTapiLog* FTapiLog = nullptr;
  std::string FNumber;
  std::uint16_t FMaxAttempts = 3;
  std::uint16_t FAttempt = 0;
  std::uint16_t FRetryWait = 60;
  std::uint8_t FAnswerOnRing = 2;
  DWORD_PTR FParentWnd = 0;
  bool FShowTapiDevices = true;
  bool FShowPorts = true;
  bool FEnableVoice = false;
  HWND FHelperWindow = 0;

  // Voice.
  TWaveState FWaveState = wsIdle;
  std::uint8_t FChannels = 1;
  std::uint32_t FSampleRate = 8000;
  std::uint8_t FBitsPerSample = 16;
  std::uint32_t FMaxMessageLength = 60;
  std::uint8_t FTrimSeconds = 2;
  std::uint32_t FSilenceThreshold = 50;
  bool FInterruptWave = true;
  bool FUseSoundCard = false;
  bool FMonitorRecording = false;
  std::string FWaveFileName;
  std::string FTempFileName;
  // Play-back.
  HWAVEOUT FWaveOut = 0;
  bool FWaveOutOpen = false;
  WAVEHDR FPlayHeader{};
  std::array<std::vector<char>, 2> FPlayBuffers;
  WAVEFORMATEX FPlayFormat{};
  std::vector<char> FPlayData;  // the file's samples, clamped to the file
  std::int64_t FPlayPosition = -1;
  std::uint32_t FLoadedSize = 0;
  int FNextBuffer = 0;
  bool FPlayClosing = false;
  // Recording.
  HWAVEIN FWaveIn = 0;
  bool FWaveInOpen = false;
  HWAVEOUT FMonitorOut = 0;
  bool FMonitorOpen = false;
  WAVEFORMATEX FRecordFormat{};
  WAVEHDR FRecordHeader{};
  WAVEHDR FMonitorHeader{};
  std::array<std::vector<char>, 2> FRecordBuffers;
  std::vector<char> FMonitorBuffer;
  int FActiveBuffer = 0;
  std::uint32_t FLastBytes = 0;
  std::uint64_t FTotalRecorded = 0;
  int FRecordFile = -1;
  std::uint32_t FSilentSeconds = 0;  // silent seconds in a row of this recording

  // Events.
  TTapiCallerIDEvent FOnTapiCallerID;
  TTapiNotifyEvent FOnTapiConnect;
  TTapiDTMFEvent FOnTapiDTMF;
  TTapiNotifyEvent FOnTapiFail;
  TTapiLogEvent FOnTapiLog;
  TTapiNotifyEvent FOnTapiPortClose;
  TTapiNotifyEvent FOnTapiPortOpen;
  TTapiStatusEvent FOnTapiStatus;
  TTapiWaveNotifyEvent FOnTapiWaveNotify;
  TTapiWaveSilenceEvent FOnTapiWaveSilence;
};

class TSioTapiDevice : public TSioCustomTapiDevice {
 public:
  using TSioCustomTapiDevice::TSioCustomTapiDevice;
};
