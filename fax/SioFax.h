#pragma once
// The fax components: the send-fax and receive-fax components over the fax engine
// (fax/Swfax.h), the base of their status displays and the history log "SIOFAX.HIS".
//
// A component owns its engine record and a hidden window of class "swFaxHandler" on the
// thread that made it; the engine's notices (status, log, error, finish, next fax, name,
// accept) arrive there and become the component's events. Properties are Get.../Set...
// pairs; events are set with SetOn.... Exceptions of the user's event handlers go to the
// application's exception handler (SetSioApplicationExceptionHandler), not back into the
// engine.
#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>
#include <string_view>
#include <vector>

#include "fax/Swfax.h"
#include "fax/Swfont.h"
#include "fax/Swtapilog.h"  // TPosition, shared with the telephony displays
#include "serial/SioPacket.h"
#include "serial/SioPort.h"

enum TFaxClass { fcUnknown, fcDetect, fcClass1, fcClass2, fcClass2_0 };
// Supported classes as a set: 4 Class 1, 8 Class 2, 16 Class 2.0.
using TFaxClassSet = std::uint8_t;
constexpr TFaxClassSet fcsClass1 = 4;
constexpr TFaxClassSet fcsClass2 = 8;
constexpr TFaxClassSet fcsClass2_0 = 16;

// The fax handler's window class.
inline constexpr const char* FaxHandlerClassName = "swFaxHandler";

class TSioCustomAbstractFax;
class TSioCustomSendFax;
class TSioCustomReceiveFax;

using TFaxProgressEvent = std::function<void(TSioCustomAbstractFax* CP, bool First, bool Last)>;
using TFaxLogEvent = std::function<void(TSioCustomAbstractFax* CP, TLogFaxCode LogCode)>;
using TFaxErrorEvent = std::function<void(TSioCustomAbstractFax* CP, int ErrorCode)>;
using TFaxFinishEvent = std::function<void(TSioCustomAbstractFax* CP, int ErrorCode)>;
using TFaxNextEvent = std::function<void(TSioCustomAbstractFax* CP, std::string& APhoneNum,
                                         std::string& AFaxFile, std::string& ACoverFile)>;
using TFaxAcceptEvent = std::function<void(TSioCustomAbstractFax* CP, bool& Accept)>;
using TFaxNameEvent = std::function<void(TSioCustomAbstractFax* CP, std::string& FaxName)>;

// ---------------------------------------------------------------------------------------
// Status display base
// ---------------------------------------------------------------------------------------

class TSioAbstractFaxStatus : public TSioBaseComponent, public TSioComponentOwner {
 public:
  explicit TSioAbstractFaxStatus(TSioComponentOwner* owner = nullptr);
  ~TSioAbstractFaxStatus() override;

  TPosition GetPosition() const { return FPosition; }
  void SetPosition(TPosition p);
  bool GetCtl3D() const { return FCtl3D; }
  void SetCtl3D(bool on);
  bool GetVisible() const { return FVisible; }
  void SetVisible(bool on);
  const std::string& GetCaption() const { return FCaption; }
  void SetCaption(std::string_view caption);
  TSioCustomAbstractFax* GetFax() const { return FFax; }
  void SetFax(TSioCustomAbstractFax* fax);

  // Shows the display form.
  void Show();
  // What a concrete display supplies.
  virtual void CreateDisplay() = 0;
  virtual void DestroyDisplay() = 0;
  virtual void UpdateDisplay(bool First, bool Last) = 0;

 protected:
  // Passes Position, Ctl3D, Visible and Caption to the display form when it exists.
  virtual void ApplyToDisplay() {}
  virtual void ShowDisplay() {}

 private:
  friend class TSioCustomAbstractFax;
  TPosition FPosition = poDesigned;
  bool FCtl3D = true;
  bool FVisible = false;
  std::string FCaption = "Fax Status";
  TSioCustomAbstractFax* FFax = nullptr;
};

// ---------------------------------------------------------------------------------------
// History log
// ---------------------------------------------------------------------------------------

class TSioFaxLog : public TSioBaseComponent, public TSioComponentOwner {
 public:
  explicit TSioFaxLog(TSioComponentOwner* owner = nullptr);
  ~TSioFaxLog() override;

  const std::string& GetFaxHistoryName() const { return FFaxHistoryName; }
  void SetFaxHistoryName(std::string_view name) { FFaxHistoryName = std::string(name.substr(0, 255)); }
  TSioCustomAbstractFax* GetFax() const { return FFax; }
  void SetFax(TSioCustomAbstractFax* fax);

  // Appends the entry of a log code to the history file (nothing without a name).
  virtual void UpdateLog(TLogFaxCode LogCode);

 private:
  friend class TSioCustomAbstractFax;
  std::string FFaxHistoryName = "SIOFAX.HIS";
  TSioCustomAbstractFax* FFax = nullptr;
};

// ---------------------------------------------------------------------------------------
// The components
// ---------------------------------------------------------------------------------------

class TSioCustomAbstractFax : public TSioBaseComponent, public TSioComponentOwner {
 public:
  enum TKind { fkSend = 1, fkReceive = 2 };

  ~TSioCustomAbstractFax() override;
  TSioCustomAbstractFax(const TSioCustomAbstractFax&) = delete;
  TSioCustomAbstractFax& operator=(const TSioCustomAbstractFax&) = delete;

  TKind Kind() const { return FKind; }
  // Told by the owner when a component is added to it or removed from it.
  void Notification(TSioComponentOwner* component, TSioOperation operation);
  // The version marker of a stored form ("FakeProperty"): forms written by this version
  // carry it; Loaded() of a form without it sets StatusInterval to 1.
  void ReadFakeProperty(int) { FHasMarker = true; }
  int WriteFakeProperty() const { return 1; }
  void Loaded();

  // ----- shared properties
  std::int32_t GetInitBaud() const { return FInitBaud; }
  void SetInitBaud(std::int32_t baud);
  std::int32_t GetNormalBaud() const { return FNormalBaud; }
  void SetNormalBaud(std::int32_t baud);
  TFaxClass GetFaxClass() const;
  void SetFaxClass(TFaxClass cls);
  std::string GetModemInit() const;
  void SetModemInit(std::string_view init);
  std::string GetStationID() const;
  void SetStationID(std::string_view id);
  TSioCustomComPort* GetComPort() const { return FComPort; }
  void SetComPort(TSioCustomComPort* port);
  TSioAbstractFaxStatus* GetStatusDisplay() const { return FStatusDisplay; }
  void SetStatusDisplay(TSioAbstractFaxStatus* display);
  TSioFaxLog* GetFaxLog() const { return FFaxLog; }
  void SetFaxLog(TSioFaxLog* log);
  virtual std::string GetFaxFile() const { return FFaxFile; }
  virtual void SetFaxFile(std::string_view name) { FFaxFile = std::string(name.substr(0, 255)); }
  bool GetAbortNoConnect() const { return afOptionsAreOn(FFax, afAbortNoConnect); }
  void SetAbortNoConnect(bool on);
  bool GetExitOnError() const { return afOptionsAreOn(FFax, afExitOnError); }
  void SetExitOnError(bool on);
  bool GetSoftwareFlow() const { return afOptionsAreOn(FFax, afSoftwareFlow); }
  void SetSoftwareFlow(bool on);
  std::int32_t GetStatusInterval() const { return FFax->PData->StatusInterval; }
  void SetStatusInterval(std::int32_t seconds) { FFax->PData->StatusInterval = seconds; }
  std::uint16_t GetDesiredBPS() const { return FFax->CData->DesiredBPS; }
  void SetDesiredBPS(std::uint16_t bps) { FFax->CData->DesiredBPS = bps; }
  bool GetDesiredECM() const { return FFax->CData->ECMChar == '1'; }
  void SetDesiredECM(bool on) { FFax->CData->ECMChar = on ? '1' : '0'; }
  std::string GetFaxFileExt() const { return FFax->PData->FaxFileExt; }
  void SetFaxFileExt(std::string_view ext) { FFax->PData->FaxFileExt = std::string(ext.substr(0, 3)); }

  void SetOnFaxStatus(TFaxProgressEvent e) { FOnFaxStatus = std::move(e); }
  void SetOnFaxLog(TFaxLogEvent e) { FOnFaxLog = std::move(e); }
  void SetOnFaxError(TFaxErrorEvent e) { FOnFaxError = std::move(e); }
  void SetOnFaxFinish(TFaxFinishEvent e) { FOnFaxFinish = std::move(e); }

  // ----- run-time readers (what a session changes is read under its lock, TFaxReading)
  std::int16_t GetFaxProgress() const { return Read(afGetFaxProgress); }
  std::int32_t GetFaxError() const { return Read([](TFaxRec* f) { return f->PData->FaxError; }); }
  std::int32_t GetSessionBPS() const;
  bool GetSessionResolution() const;
  bool GetSessionWidth() const { return Read([](TFaxRec* f) { return f->CData->SessionWid != 0; }); }
  bool GetSessionECM() const;
  std::int16_t GetHangupCode() const { return Read(fGetHangupResult); }
  bool GetLastPageStatus() const { return Read(fGetLastPageStatus); }
  std::string GetRemoteID() const;
  std::int32_t GetTotalPages() const;
  std::int32_t GetCurrentPage() const;
  std::int32_t GetBytesTransferred() const;
  std::int32_t GetPageLength() const;
  TFaxClassSet GetSupportedFaxClasses();
  std::string GetModemModel();
  std::string GetModemChip();
  std::string GetModemRevision();
  std::int32_t GetModemBPS();
  bool GetModemECM();
  bool InProgress() const { return Read([](TFaxRec* f) { return f->PData->InProgress; }); }

  // Ends a running fax as a user abort.
  void CancelFax();
  // The text of a status code.
  static std::string StatusMsg(int code) { return afStatusMsg(code); }

  // The engine record (status displays read it).
  TFaxRec* FaxRec() const { return FFax; }
  HWND MessageWindow() const { return FWindow; }

 protected:
  TSioCustomAbstractFax(TSioComponentOwner* owner, TKind kind);

  // Notices of the engine; the defaults update the display and the log and fire the events.
  virtual void apwFaxStatus(TSioCustomAbstractFax* CP, bool First, bool Last);
  virtual void apwFaxLog(TSioCustomAbstractFax* CP, TLogFaxCode LogCode);
  virtual void apwFaxError(TSioCustomAbstractFax* CP, int ErrorCode);
  virtual void apwFaxFinish(TSioCustomAbstractFax* CP, int ErrorCode);
  // Send: the next fax; Receive: the name and the acceptance. The base does nothing.
  virtual bool HandleNext() { return false; }
  virtual void HandleName() {}
  virtual bool HandleAccept() { return true; }
  virtual void AfterFinish() {}

  // Raises -1005 without a port, -1009 for a socket port, -3006 for an output buffer below
  // 8192 bytes; otherwise binds the port's dispatcher to the engine.
  void CheckPort();
  // Runs a user event; its exception goes to the application's handler.
  void Fire(const std::function<void()>& fn);
  bool Designing() const { return (ComponentState & csDesigning) != 0; }
  bool Loading() const { return (ComponentState & csLoading) != 0; }
  int Check(int code) { return CheckException(static_cast<const TSioBaseComponent*>(this), code); }
  template <class F>
  std::invoke_result_t<F&, TFaxRec*> Read(F&& f) const {
    // A notice handled while the reading waits may destroy this component: the record is
    // what is read.
    TFaxRec* fax = FFax;
    TFaxReading r(fax);
    return f(fax);
  }

  TFaxRec* FFax = nullptr;
  std::string FFaxFile;

 private:
  static LRESULT WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  // Told by the port when it opens and closes: a fax never keeps a dispatcher that is gone.
  void PortEvent(TSioCustomComPort* port, bool opening);
  LRESULT Dispatch(UINT msg, WPARAM wParam, LPARAM lParam);
  void ApplyPortSettings(TSioCustomComPort* port);
  void BindDefaults(TSioComponentOwner* owner);

  TKind FKind;
  HWND FWindow = 0;
  TSioCustomComPort* FComPort = nullptr;
  TSioAbstractFaxStatus* FStatusDisplay = nullptr;
  TSioFaxLog* FFaxLog = nullptr;
  std::int32_t FInitBaud = 0;
  std::int32_t FNormalBaud = 0;
  std::string FModemModel, FModemChip, FModemRevision;
  std::int32_t FModemBPS = 0;
  bool FModemECM = false;
  TFaxClassSet FSupportedClasses = 0;
  bool FHasMarker = false;
  TFaxProgressEvent FOnFaxStatus;
  TFaxLogEvent FOnFaxLog;
  TFaxErrorEvent FOnFaxError;
  TFaxFinishEvent FOnFaxFinish;
};

class TSioCustomSendFax : public TSioCustomAbstractFax {
 public:
  explicit TSioCustomSendFax(TSioComponentOwner* owner = nullptr);
  ~TSioCustomSendFax() override;

  bool GetEnhTextEnabled() const { return FFax->CData->EnhTextEnabled; }
  void SetEnhTextEnabled(bool on) { fSetEnhTextEnabled(FFax, on); }
  const TFaxTextFont& GetEnhHeaderFont() const { return FFax->CData->EnhSmallFont; }
  void SetEnhHeaderFont(const TFaxTextFont& font) { fSetEnhSmallFont(FFax, font); }
  const TFaxTextFont& GetEnhFont() const { return FFax->CData->EnhStandardFont; }
  void SetEnhFont(const TFaxTextFont& font) { fSetEnhStandardFont(FFax, font); }
  std::vector<std::string>& FaxFileList() { return FFaxFileList; }
  const std::vector<std::string>& FaxFileList() const { return FFaxFileList; }
  void SetFaxFileList(std::vector<std::string> list) { FFaxFileList = std::move(list); }
  bool GetBlindDial() const { return FFax->CData->BlindDial; }
  void SetBlindDial(bool on) { fSetBlindDial(FFax, on); }
  bool GetDetectBusy() const { return FFax->CData->DetectBusy; }
  void SetDetectBusy(bool on) { fSetDetectBusy(FFax, on); }
  bool GetToneDial() const { return FFax->CData->ToneDial; }
  void SetToneDial(bool on) { fSetToneDial(FFax, on); }
  std::string GetDialPrefix() const { return FFax->CData->DialPrefix; }
  void SetDialPrefix(std::string_view prefix) { fSetDialPrefix(FFax, prefix); }
  // Seconds (the engine counts ticks).
  std::int32_t GetDialWait() const { return FDialWait; }
  void SetDialWait(std::int32_t seconds);
  std::uint16_t GetDialAttempts() const { return FFax->PData->ConnectAttempts; }
  void SetDialAttempts(std::uint16_t attempts) { FFax->PData->ConnectAttempts = attempts; }
  std::int32_t GetDialRetryWait() const { return FDialRetryWait; }
  void SetDialRetryWait(std::int32_t seconds);
  std::uint16_t GetMaxSendCount() const { return FFax->MaxSendCount; }
  void SetMaxSendCount(std::uint16_t n) { fSetYielding(FFax, n, FFax->BufferMinimum); }
  std::uint16_t GetBufferMinimum() const { return FFax->BufferMinimum; }
  void SetBufferMinimum(std::uint16_t n) { fSetYielding(FFax, FFax->MaxSendCount, n); }
  std::string GetHeaderLine() const { return FFax->HeaderText; }
  void SetHeaderLine(std::string_view text) { fSetHeaderText(FFax, text); }
  const std::string& GetCoverFile() const { return FCoverFile; }
  void SetCoverFile(std::string_view name) { FCoverFile = std::string(name.substr(0, 255)); }
  const std::string& GetPhoneNumber() const { return FPhoneNumber; }
  void SetPhoneNumber(std::string_view number) { FPhoneNumber = std::string(number.substr(0, 255)); }
  bool GetSafeMode() const { return FFax->SafeMode; }
  void SetSafeMode(bool on) { fSetSafeMode(FFax, on); }
  std::int32_t GetDialAttempt() const { return FFax->PData->ConnectCount + 1; }
  std::string GetHeaderSender() const { return FFax->PData->Sender; }
  void SetHeaderSender(std::string_view text) { afSetSenderName(FFax, text); }
  std::string GetHeaderRecipient() const { return FFax->PData->Recipient; }
  void SetHeaderRecipient(std::string_view text) { afSetRecipientName(FFax, text); }
  std::string GetHeaderTitle() const { return FFax->PData->Title; }
  void SetHeaderTitle(std::string_view text) { afSetTitle(FFax, text); }
  bool GetFastPage() const { return FFax->FastPage; }
  void SetFastPage(bool on) { FFax->FastPage = on; }
  void SetOnFaxNext(TFaxNextEvent e) { FOnFaxNext = std::move(e); }

  // Starts sending: one fax (PhoneNumber, FaxFile or the joined FaxFileList, CoverFile), or
  // what OnFaxNext hands out.
  void StartTransmit();
  // The same on a line that is already connected (the modem is told "ATD").
  void StartManualTransmit();
  // Joins the files of FaxFileList into one fax file.
  void ConcatFaxes(const std::string& fileName);

 protected:
  virtual void apwFaxNext(TSioCustomAbstractFax* CP, std::string& APhoneNum, std::string& AFaxFile,
                          std::string& ACoverFile);
  bool HandleNext() override;
  void AfterFinish() override;

 private:
  std::vector<std::string> FFaxFileList;
  std::string FCoverFile;
  std::string FPhoneNumber;
  std::int32_t FDialWait = 60;
  std::int32_t FDialRetryWait = 60;
  std::string FTempFile;  // the joined list, deleted at the finish
  bool FHandedOut = false;
  TFaxNextEvent FOnFaxNext;
};

class TSioSendFax : public TSioCustomSendFax {
 public:
  using TSioCustomSendFax::TSioCustomSendFax;
};

// How a receive component names the files it receives without OnFaxName.
enum TFaxNameMode { fnNone = 0, fnCount = 1, fnMonthDay = 2 };

class TSioCustomReceiveFax : public TSioCustomAbstractFax {
 public:
  explicit TSioCustomReceiveFax(TSioComponentOwner* owner = nullptr);
  ~TSioCustomReceiveFax() override;

  std::uint16_t GetAnswerOnRing() const { return FFax->CData->AnswerOnRing; }
  void SetAnswerOnRing(std::uint16_t rings) { fSetAnswerOnRing(FFax, rings); }
  bool GetFaxAndData() const { return FFax->CData->FaxAndData == '1'; }
  void SetFaxAndData(bool on) { fSetFaxAndData(FFax, on); }
  bool GetOneFax() const { return FFax->OneFax; }
  void SetOneFax(bool on) { fSetOneFax(FFax, on); }
  bool GetConstantStatus() const { return FFax->ConstantStatus; }
  void SetConstantStatus(bool on) { fSetConstantStatus(FFax, on); }
  std::string GetDestinationDir() const { return FFax->PData->DestinationDir; }
  // A separator is put behind a directory that has none.
  void SetDestinationDir(std::string_view dir);
  TFaxNameMode GetFaxNameMode() const { return FNameMode; }
  void SetFaxNameMode(TFaxNameMode mode) { FNameMode = mode; }
  void SetOnFaxAccept(TFaxAcceptEvent e) { FOnFaxAccept = std::move(e); }
  void SetOnFaxName(TFaxNameEvent e) { FOnFaxName = std::move(e); }

  // Waits for calls (for one fax with OneFax) until the finish.
  void StartReceive();
  // Receives on a call now: with answerNow the modem is told to answer at once.
  void StartManualReceive(bool answerNow);
  // Sets the modem up for answering, at once (blocking); raises the engine's error.
  void InitModemForFaxReceive();
  // The next StartReceive takes up a call the modem has already connected (Class 2, 2.0).
  void PrepareConnectInProgress();

 protected:
  virtual void apwFaxAccept(TSioCustomAbstractFax* CP, bool& Accept);
  virtual void apwFaxName(TSioCustomAbstractFax* CP, std::string& Name);
  void apwFaxLog(TSioCustomAbstractFax* CP, TLogFaxCode LogCode) override;
  bool HandleAccept() override;
  void HandleName() override;

 private:
  TFaxNameMode FNameMode = fnCount;
  TFaxAcceptEvent FOnFaxAccept;
  TFaxNameEvent FOnFaxName;
};

class TSioReceiveFax : public TSioCustomReceiveFax {
 public:
  using TSioCustomReceiveFax::TSioCustomReceiveFax;
};

// The first fax component among the owner's components (depth first), or null.
TSioCustomAbstractFax* SearchFax(TSioComponentOwner* owner);
