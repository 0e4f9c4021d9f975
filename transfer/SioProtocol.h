#pragma once
// The protocol component: sends and receives files over a serial port component with one of
// the transfer engines, keeps every protocol option as a property, turns the engines' notices
// into events (hidden window "swMsgHandler"), and feeds a status display and a history log.
//
// TSioCustomProtocol holds it all; TSioProtocol is the published component. TSioAbstractStatus
// is the base of status displays (the Qt one lives in transfer/ui/), TSioProtocolLog appends
// one line per logged event to "SIO.HIS".
//
// Everything runs on the window thread; the engines run on the port's dispatch thread and
// reach the component through its window. Engine codes set through properties raise the
// exception of their code; failures during a transfer reach OnProtocolError and
// OnProtocolFinish instead.
#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>
#include <string_view>

#include "platform/DateTime.h"
#include "platform/Messages.h"
#include "serial/SioMisc.h"
#include "serial/SioPacket.h"
#include "serial/SioPort.h"
#include "transfer/Swabspcl.h"
#include "transfer/Swascii.h"

enum TDeleteFailed : std::uint8_t { dfNever, dfAlways, dfNonRecoverable };
// Where a display form is placed.
enum TPosition : std::uint8_t {
  poDesigned,
  poDefault,
  poDefaultPosOnly,
  poDefaultSizeOnly,
  poScreenCenter,
  poDesktopCenter,
  poMainFormCenter,
  poOwnerFormCenter
};

constexpr const char* ProtocolWindowClassName = "swMsgHandler";

class TSioCustomProtocol;

using TProtocolAcceptEvent = std::function<void(TSioCustomProtocol* CP, bool& Accept, std::string& FName)>;
using TProtocolErrorEvent = std::function<void(TSioCustomProtocol* CP, int ErrorCode)>;
using TProtocolFinishEvent = std::function<void(TSioCustomProtocol* CP, int ErrorCode)>;
using TProtocolLogEvent = std::function<void(TSioCustomProtocol* CP, std::uint16_t Log)>;
using TProtocolNextFileEvent = std::function<void(TSioCustomProtocol* CP, std::string& FName)>;
using TProtocolResumeEvent = std::function<void(TSioCustomProtocol* CP, TWriteFailAction& Resume)>;
using TProtocolStatusEvent = std::function<void(TSioCustomProtocol* CP, std::uint16_t Options)>;

// Name of a protocol type ("None" for any value without one), of a block check method
// ("No check" likewise), and seconds as minutes and two-digit seconds in 6 characters.
std::string ProtocolName(TProtocolType type);
std::string CheckNameString(TBlockCheckMethod method);
std::string FormatMinSec(std::int32_t secs);

// ---------------------------------------------------------------------------------------
// Status display base
// ---------------------------------------------------------------------------------------
// A descendant owns a display form: it implements CreateDisplay, DestroyDisplay and
// UpdateDisplay and the Display... hooks that reach its form, calls InitDisplay at the end of
// its constructor and DestroyDisplay in its destructor.
class TSioAbstractStatus : public TSioBaseComponent, public TSioComponentOwner {
 public:
  explicit TSioAbstractStatus(TSioComponentOwner* owner = nullptr);
  ~TSioAbstractStatus() override;

  // first: the first status of a run; last: its last status.
  virtual void UpdateDisplay(bool first, bool last) = 0;
  virtual void CreateDisplay() = 0;
  virtual void DestroyDisplay() = 0;

  TPosition GetPosition() const { return FPosition; }
  void SetPosition(TPosition v);
  bool GetCtl3D() const { return FCtl3D; }
  void SetCtl3D(bool v);
  bool GetVisible() const { return FVisible; }
  void SetVisible(bool v);
  const std::string& GetCaption() const { return FCaption; }
  void SetCaption(std::string_view v);
  TSioCustomProtocol* GetProtocol() const { return FProtocol; }
  // Links the display to a protocol (and the protocol to it); null unlinks.
  void SetProtocol(TSioCustomProtocol* protocol);
  void Show();
  void Notification(TSioComponentOwner* component, TSioOperation operation);

 protected:
  // CreateDisplay, then Position, Ctl3D, Visible and Caption from the form, then the caption
  // "Protocol Status".
  void InitDisplay();
  // The display form, when there is one: read its settings (false: no form) and pass new
  // ones on.
  virtual bool ReadDisplay(TPosition& position, bool& ctl3d, bool& visible, std::string& caption) = 0;
  virtual void DisplayPosition(TPosition) {}
  virtual void DisplayCtl3D(bool) {}
  virtual void DisplayVisible(bool) {}
  virtual void DisplayCaption(const std::string&) {}
  virtual void DisplayShow() {}

 private:
  friend class TSioCustomProtocol;
  TPosition FPosition = poScreenCenter;
  bool FCtl3D = true;
  bool FVisible = false;
  std::string FCaption;
  TSioCustomProtocol* FProtocol = nullptr;
};

// ---------------------------------------------------------------------------------------
// History log
// ---------------------------------------------------------------------------------------
class TSioProtocolLog : public TSioBaseComponent, public TSioComponentOwner {
 public:
  explicit TSioProtocolLog(TSioComponentOwner* owner = nullptr);
  ~TSioProtocolLog() override;

  // Appends the history line of a log code (0 to 7) of the linked protocol; a failed receive
  // of a file that this run created is deleted by DeleteFailed. Raises when the history file
  // can't be opened.
  virtual void UpdateLog(std::uint16_t log);

  TSioCustomProtocol* GetProtocol() const { return FProtocol; }
  void SetProtocol(TSioCustomProtocol* protocol);
  TDeleteFailed GetDeleteFailed() const { return FDeleteFailed; }
  void SetDeleteFailed(TDeleteFailed v) { FDeleteFailed = v; }
  const std::string& GetHistoryName() const { return FHistoryName; }
  void SetHistoryName(std::string_view v) { FHistoryName = v; }
  void Notification(TSioComponentOwner* component, TSioOperation operation);

 private:
  friend class TSioCustomProtocol;
  TSioCustomProtocol* FProtocol = nullptr;
  TDeleteFailed FDeleteFailed = dfNonRecoverable;
  std::string FHistoryName = "SIO.HIS";
};

// ---------------------------------------------------------------------------------------
// The component
// ---------------------------------------------------------------------------------------
class TSioCustomProtocol : public TSioBaseComponent, public TSioComponentOwner {
 public:
  explicit TSioCustomProtocol(TSioComponentOwner* owner = nullptr);
  ~TSioCustomProtocol() override;

  // Takes the settings and stored values of another protocol component (never its run, its
  // window, its files or its companions) and its protocol type.
  virtual void Assign(const TSioCustomProtocol& source);
  // Told by the owner when a component is added to it or removed from it.
  void Notification(TSioComponentOwner* component, TSioOperation operation);

  // ----- handlers of the engine's notices (the window procedure calls them) -----
  virtual bool apwProtocolAccept(char* name);
  virtual void apwProtocolError(int errorCode);
  virtual void apwProtocolFinish(int errorCode);
  virtual void apwProtocolLog(std::uint16_t log);
  virtual bool apwProtocolNextFile(char* buffer);
  virtual TWriteFailAction apwProtocolResume(TWriteFailAction proposed);
  virtual void apwProtocolStatus(std::uint16_t options);

  // ----- running -----
  void StartTransmit();
  void StartReceive();
  void CancelProtocol();
  std::int32_t EstimateTransferSecs(std::int32_t size) const;

  // ----- B+ host hooks of a terminal that meets a host's start sequence -----
  // Each needs the port, makes the protocol B+ and raises the exception of a failing code.
  void ProcessENQ();
  void ProcessESCI(std::uint8_t first, std::uint8_t second);
  std::uint32_t PrepareProcessDLE();
  // Walks the host's start packets; start: the transfer may start (upload tells the
  // direction); error: the start failed.
  void ProcessDLE(bool dleSeen, bool& start, bool& upload, bool& error);
  static std::string StatusMsg(int status);

  // ----- properties -----
  TSioCustomComPort* GetComPort() const { return FComPort; }
  void SetComPort(TSioCustomComPort* port);
  TProtocolType GetProtocolType() const { return FProtocolType; }
  void SetProtocolType(TProtocolType type);
  std::string GetDestinationDirectory() const { return FP->DestinationDirectory; }
  void SetDestinationDirectory(std::string_view dir);
  std::string GetFileMask() const { return FP->FileMask; }
  void SetFileMask(std::string_view mask);
  TBlockCheckMethod GetBlockCheckMethod() const { return FP->CheckType; }
  void SetBlockCheckMethod(TBlockCheckMethod method);
  std::uint32_t GetHandshakeRetry() const { return FP->HandshakeRetry; }
  void SetHandshakeRetry(std::uint32_t v);
  std::uint32_t GetHandshakeWait() const { return FP->HandshakeWait; }
  void SetHandshakeWait(std::uint32_t v);
  std::uint32_t GetTransmitTimeout() const { return FP->TransmitTimeout; }
  void SetTransmitTimeout(std::uint32_t v) { FP->TransmitTimeout = v; }
  std::uint32_t GetFinishWait() const { return FP->FinishWait; }
  void SetFinishWait(std::uint32_t v);
  std::uint32_t GetTurnDelay() const { return FP->TurnDelay; }
  void SetTurnDelay(std::uint32_t v);
  std::uint32_t GetOverhead() const { return static_cast<std::uint32_t>(FP->Overhead); }
  void SetOverhead(std::uint32_t v);
  TWriteFailAction GetWriteFailAction() const { return static_cast<TWriteFailAction>(FP->WriteFailAction); }
  void SetWriteFailAction(TWriteFailAction v);
  bool GetHonorDirectory() const { return apOptionsAreOn(*FP, apHonorDirectory); }
  void SetHonorDirectory(bool v) { SetOption(apHonorDirectory, v); }
  bool GetIncludeDirectory() const { return apOptionsAreOn(*FP, apIncludeDirectory); }
  void SetIncludeDirectory(bool v) { SetOption(apIncludeDirectory, v); }
  bool GetRTSLowForWrite() const { return apOptionsAreOn(*FP, apRTSLowForWrite); }
  void SetRTSLowForWrite(bool v) { SetOption(apRTSLowForWrite, v); }
  bool GetAbortNoCarrier() const { return apOptionsAreOn(*FP, apAbortNoCarrier); }
  void SetAbortNoCarrier(bool v) { SetOption(apAbortNoCarrier, v); }
  bool GetBP2KTransmit() const { return apOptionsAreOn(*FP, apBP2KTransmit); }
  void SetBP2KTransmit(bool v) { SetOption(apBP2KTransmit, v); }
  bool GetAsciiSuppressCtrlZ() const { return apOptionsAreOn(*FP, apAsciiSuppressCtrlZ); }
  void SetAsciiSuppressCtrlZ(bool v) { SetOption(apAsciiSuppressCtrlZ, v); }
  TSioAbstractStatus* GetStatusDisplay() const { return FStatusDisplay; }
  void SetStatusDisplay(TSioAbstractStatus* display);
  TSioProtocolLog* GetProtocolLog() const { return FProtocolLog; }
  void SetProtocolLog(TSioProtocolLog* log);
  std::uint32_t GetStatusInterval() const { return FP->StatusInterval; }
  void SetStatusInterval(std::uint32_t v) { apSetStatusInterval(*FP, v); }
  std::string GetFileName() const { return Read([](TProtocolData& P) { return std::string(P.PathName); }); }
  void SetFileName(std::string_view name);
  bool GetUpcaseFileNames() const { return FP->UpcaseFileNames; }
  void SetUpcaseFileNames(bool v) { FP->UpcaseFileNames = v; }

  std::uint32_t GetXYmodemBlockWait() const;
  void SetXYmodemBlockWait(std::uint32_t v);
  bool GetZmodemOptionOverride() const;
  void SetZmodemOptionOverride(bool v);
  bool GetZmodemSkipNoFile() const;
  void SetZmodemSkipNoFile(bool v);
  TZmodemFileOptions GetZmodemFileOption() const;
  void SetZmodemFileOption(TZmodemFileOptions v);
  bool GetZmodemRecover() const;
  void SetZmodemRecover(bool v);
  bool GetZmodem8K() const;
  void SetZmodem8K(bool v);
  std::uint32_t GetZmodemFinishRetry() const;
  void SetZmodemFinishRetry(std::uint32_t v);
  std::uint32_t GetKermitMaxLen() const { return FKermitMaxLen; }
  void SetKermitMaxLen(std::uint32_t v);
  std::uint32_t GetKermitMaxWindows() const { return FKermitMaxWindows; }
  void SetKermitMaxWindows(std::uint32_t v);
  std::uint32_t GetKermitSWCTurnDelay() const { return FKermitSWCTurnDelay; }
  void SetKermitSWCTurnDelay(std::uint32_t v);
  std::uint32_t GetKermitTimeoutSecs() const { return FKermitTimeoutSecs; }
  void SetKermitTimeoutSecs(std::uint32_t v);
  char GetKermitPadCharacter() const { return FKermitPadCharacter; }
  void SetKermitPadCharacter(char v);
  std::uint32_t GetKermitPadCount() const { return FKermitPadCount; }
  void SetKermitPadCount(std::uint32_t v);
  char GetKermitTerminator() const { return FKermitTerminator; }
  void SetKermitTerminator(char v);
  char GetKermitCtlPrefix() const { return FKermitCtlPrefix; }
  void SetKermitCtlPrefix(char v);
  char GetKermitHighbitPrefix() const { return FKermitHighbitPrefix; }
  void SetKermitHighbitPrefix(char v);
  char GetKermitRepeatPrefix() const { return FKermitRepeatPrefix; }
  void SetKermitRepeatPrefix(char v);
  std::uint32_t GetAsciiCharDelay() const { return FAsciiCharDelay; }
  void SetAsciiCharDelay(std::uint32_t v);
  std::uint32_t GetAsciiLineDelay() const { return FAsciiLineDelay; }
  void SetAsciiLineDelay(std::uint32_t v);
  char GetAsciiEOLChar() const { return FAsciiEOLChar; }
  void SetAsciiEOLChar(char v);
  TAsciiEOLTranslation GetAsciiCRTranslation() const { return FAsciiCRTranslation; }
  void SetAsciiCRTranslation(TAsciiEOLTranslation v);
  TAsciiEOLTranslation GetAsciiLFTranslation() const { return FAsciiLFTranslation; }
  void SetAsciiLFTranslation(TAsciiEOLTranslation v);
  std::uint32_t GetAsciiEOFTimeout() const { return FAsciiEOFTimeout; }
  void SetAsciiEOFTimeout(std::uint32_t v);

  // ----- read-only -----
  bool GetBatch() const { return apSupportsBatch(*FP); }
  // What a run changes is read under the record's lock (TProtocolReading).
  std::int32_t GetProtocolStatus() const { return Read([](TProtocolData& P) { return P.ProtocolStatus; }); }
  std::int16_t GetProtocolError() const {
    return Read([](TProtocolData& P) { return static_cast<std::int16_t>(P.ProtocolError); });
  }
  std::int32_t GetFileLength() const { return Read([](TProtocolData& P) { return P.FileLength; }); }
  TDateTime GetFileDate() const;
  std::int32_t GetInitialPosition() const { return Read(apGetInitialFilePos); }
  bool GetInProgress() const { return Read([](TProtocolData& P) { return P.InProgress != 0; }); }
  std::int32_t GetBlockErrors() const { return Read([](TProtocolData& P) { return P.BlockErrors; }); }
  std::int32_t GetTotalErrors() const { return Read([](TProtocolData& P) { return P.TotalErrors; }); }
  std::int32_t GetBytesRemaining() const { return Read(apGetBytesRemaining); }
  std::int32_t GetBytesTransferred() const { return Read(apGetBytesTransferred); }
  std::int32_t GetElapsedTicks() const { return Read([](TProtocolData& P) { return P.ElapsedTicks; }); }
  std::int32_t GetBlockLength() const;
  std::int32_t GetBlockNumber() const { return Read([](TProtocolData& P) { return P.BlockNumber; }); }
  std::uint32_t GetKermitWindowsTotal() const;
  std::uint32_t GetKermitWindowsUsed() const;
  bool GetKermitLongBlocks() const;
  std::uint32_t GetActualBPS() const { return FP->ActualCPS * 10; }
  void SetActualBPS(std::uint32_t bps);

  // ----- events -----
  void SetOnProtocolAccept(TProtocolAcceptEvent e) { FOnProtocolAccept = std::move(e); }
  void SetOnProtocolError(TProtocolErrorEvent e) { FOnProtocolError = std::move(e); }
  void SetOnProtocolFinish(TProtocolFinishEvent e) { FOnProtocolFinish = std::move(e); }
  void SetOnProtocolLog(TProtocolLogEvent e) { FOnProtocolLog = std::move(e); }
  void SetOnProtocolNextFile(TProtocolNextFileEvent e) { FOnProtocolNextFile = std::move(e); }
  void SetOnProtocolResume(TProtocolResumeEvent e) { FOnProtocolResume = std::move(e); }
  void SetOnProtocolStatus(TProtocolStatusEvent e) { FOnProtocolStatus = std::move(e); }

  // The engine record (for status displays and tests) and the hidden window.
  TProtocolData& Data() const { return *FP; }
  HWND Window() const { return FWindow; }

  static LRESULT WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

 private:
  friend class TSioAbstractStatus;
  friend class TSioProtocolLog;

  bool Designing() const { return (ComponentState & csDesigning) != 0; }
  bool Loading() const { return (ComponentState & csLoading) != 0; }
  int Check(int code) const { return CheckException(static_cast<const TSioBaseComponent*>(this), code); }
  void SetOption(std::uint32_t bit, bool on);
  bool IsXorY() const { return FProtocolType >= ptXmodem && FProtocolType <= ptYmodemG; }
  // Ends a run that is still under way: the engine is cancelled and its record set aside
  // (freed now, or by the engine call that is under way), the component goes on with a
  // fresh record that holds the same settings.
  void StopRun();
  // Releases the current engine's part and initialises the engine of the type.
  int InitEngine(TProtocolType type);
  // The port and type a B+ hook needs.
  void PrepareBPlus();
  void PushStoredValues();
  void PushKermitMaxLen();
  template <class F>
  void Fire(F&& f);
  template <class F>
  std::invoke_result_t<F&, TProtocolData&> Read(F&& f) const {
    // A notice handled while the reading waits may destroy this component: the record is
    // what is read.
    TProtocolData& P = *FP;
    TProtocolReading r(P);
    return f(P);
  }

  TProtocolData* FP = nullptr;
  TSioCustomComPort* FComPort = nullptr;
  TProtocolType FProtocolType = ptNoProtocol;
  TSioAbstractStatus* FStatusDisplay = nullptr;
  TSioProtocolLog* FProtocolLog = nullptr;
  HWND FWindow = 0;
  TSioNotifyProc FStateProc = nullptr;
  // Starts a transmit or receive run of the chosen engine (nothing while one runs).
  void StartRun(bool transmit);
  bool FForce = false;
  bool FTakeBaud = true;

  // Stored copies of the protocol-specific properties.
  std::uint32_t FXYmodemBlockWait = 91;
  bool FZmodemOptionOverride = false;
  bool FZmodemSkipNoFile = false;
  TZmodemFileOptions FZmodemFileOption = zfoWriteNewer;
  bool FZmodemRecover = false;
  bool FZmodem8K = false;
  std::uint32_t FZmodemFinishRetry = 0;
  std::uint32_t FKermitMaxLen = 80;
  std::uint32_t FKermitMaxWindows = 0;
  std::uint32_t FKermitSWCTurnDelay = 0;
  std::uint32_t FKermitTimeoutSecs = 5;
  char FKermitPadCharacter = ' ';
  std::uint32_t FKermitPadCount = 0;
  char FKermitTerminator = 13;
  char FKermitCtlPrefix = '#';
  char FKermitHighbitPrefix = 'Y';
  char FKermitRepeatPrefix = '~';
  std::uint32_t FAsciiCharDelay = 0;
  std::uint32_t FAsciiLineDelay = 0;
  char FAsciiEOLChar = 13;
  TAsciiEOLTranslation FAsciiCRTranslation = aetNone;
  TAsciiEOLTranslation FAsciiLFTranslation = aetNone;
  std::uint32_t FAsciiEOFTimeout = 364;

  TProtocolAcceptEvent FOnProtocolAccept;
  TProtocolErrorEvent FOnProtocolError;
  TProtocolFinishEvent FOnProtocolFinish;
  TProtocolLogEvent FOnProtocolLog;
  TProtocolNextFileEvent FOnProtocolNextFile;
  TProtocolResumeEvent FOnProtocolResume;
  TProtocolStatusEvent FOnProtocolStatus;
};

// The published component.
class TSioProtocol : public TSioCustomProtocol {
 public:
  using TSioCustomProtocol::TSioCustomProtocol;
};
