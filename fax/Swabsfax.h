#pragma once
// Fax engine framework: the session records shared by the send and receive state machines,
// the fax list, the private messages to the component's window, status and log notices,
// the start and stop of a session on the dispatcher's triggers, header-line macros and the
// names of received fax files.
//
// Routines take the fax record first and return 0 or a negative library error code.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Messages.h"
#include "serial/SioDispatch.h"

struct TC12AbsData;
struct TAbsFaxCvt;
class TLineReader;

enum ClassType : std::uint8_t { ctUnknown, ctDetect, ctClass1, ctClass2, ctClass2_0 };

enum TLogFaxCode : std::uint8_t {
  lfaxNone,
  lfaxTransmitStart,
  lfaxTransmitOk,
  lfaxTransmitFail,
  lfaxReceiveStart,
  lfaxReceiveOk,
  lfaxReceiveSkip,
  lfaxReceiveFail
};

// Private messages between the engine and its component's window (lParam: the TFaxRec).
constexpr UINT apw_FaxCancel = 0x7EA0;
constexpr UINT apw_FaxNextfile = 0x7EA1;
constexpr UINT apw_FaxStatus = 0x7EA2;
constexpr UINT apw_FaxLog = 0x7EA3;
constexpr UINT apw_FaxName = 0x7EA4;
constexpr UINT apw_FaxAccept = 0x7EA5;
constexpr UINT apw_FaxError = 0x7EA6;
constexpr UINT apw_FaxFinish = 0x7EA7;
// Time-out of the notices sent to the window.
constexpr DWORD FaxMsgTimeoutMs = 1000;

// FaxOptions bits
constexpr std::uint16_t afAbortNoConnect = 1;
constexpr std::uint16_t afExitOnError = 2;
constexpr std::uint16_t afSoftwareFlow = 8;

// Status codes (FaxProgress)
constexpr std::int16_t fpInitModem = 4801;
constexpr std::int16_t fpDialing = 4802;
constexpr std::int16_t fpBusyWait = 4803;
constexpr std::int16_t fpSendPage = 4804;
constexpr std::int16_t fpSendPageStatus = 4805;
constexpr std::int16_t fpPageError = 4806;
constexpr std::int16_t fpPageOK = 4807;
constexpr std::int16_t fpConnecting = 4808;
constexpr std::int16_t fpWaiting = 4820;
constexpr std::int16_t fpNoConnect = 4821;
constexpr std::int16_t fpAnswer = 4822;
constexpr std::int16_t fpIncoming = 4823;
constexpr std::int16_t fpGetPage = 4824;
constexpr std::int16_t fpGetPageResult = 4825;
constexpr std::int16_t fpCheckMorePages = 4826;
constexpr std::int16_t fpGetHangup = 4827;
constexpr std::int16_t fpGotHangup = 4828;
constexpr std::int16_t fpSessionParams = 4840;
constexpr std::int16_t fpGotRemoteID = 4841;
constexpr std::int16_t fpCancel = 4842;
constexpr std::int16_t fpFinished = 4843;

constexpr std::size_t MaxStationIDLen = 20;
constexpr std::size_t MaxPhoneNumLen = 40;
constexpr std::size_t MaxNameLen = 255;

struct TFaxEntry {
  std::string PhoneNum;  // at most 40 characters
  std::string FaxFile;
  std::string CoverFile;
};

struct TFaxRec;
// The state machine of a session, registered as the dispatcher's procedure trigger handler.
using TFaxTriggerHandler = void (*)(UINT msg, WPARAM wParam, LPARAM lParam);
// Prepares a session (modem set-up); reports its errors through afReportError.
using TFaxPrepareProc = void (*)(TFaxRec* fax);

struct TFaxData {
  // Triggers of the running session
  int StatusTrigger = 0;
  int TimeoutTrigger = 0;
  int OutFreeTrigger = 0;
  int OutEmptyTrigger = 0;
  int ModemTrigger = 0;
  std::int32_t StatusInterval = 1;  // seconds
  HWND HWindow = 0;
  TSioBaseDispatcher* ComPort = nullptr;
  // The handle of the dispatcher whose data pointer 2 holds this record (afStartFax); -1
  // before a start. It outlives ComPort, which a port taken from the component clears.
  int DispatcherHandle = -1;
  TFaxTriggerHandler TriggerHandler = nullptr;
  bool SendingCover = false;
  bool InProgress = false;
  std::uint16_t ConnectAttempts = 1;  // 0: no limit
  std::uint16_t ConnectCount = 0;
  std::uint16_t RetryWait = 0;  // ticks
  std::uint16_t FaxOptions = 0;
  std::int16_t FaxProgress = 0;
  std::int32_t EntryCount = 0;
  std::int32_t FaxError = 0;
  std::uint16_t CurrentPage = 0;
  std::int32_t PageCount = 0;
  std::int32_t CoverCount = 0;
  std::int32_t DataCount = 0;
  std::int32_t PageSize = 0;
  std::vector<TFaxEntry> FaxList;  // the fax list, in order
  std::size_t FaxListNode = 0;     // next entry to hand out
  ClassType ClassInUse = ctUnknown;
  std::string StationID;       // at most 20 characters
  std::string DestinationDir;  // upper-cased
  std::string FaxFileExt = "FXF";
  std::string FaxFileName;    // upper-cased
  std::string CoverFileName;  // upper-cased
  std::string PhoneNum;
  std::string Title, Recipient, Sender;
  std::string RemoteID;  // written and read under InfoLock (afSetRemoteID, fGetRemoteID)
  std::mutex InfoLock;
  bool ManualSend = false;
  bool UsingTempFile = false;
  bool HandlerRegistered = false;
};

struct TFaxRec {
  TFaxData* PData = nullptr;
  TC12AbsData* CData = nullptr;
  bool SafeMode = true;
  std::uint16_t MaxSendCount = 50;
  std::uint16_t BufferMinimum = 1000;
  bool FrameConnect = false;
  std::int32_t RetryCount = 0;
  std::int32_t MaxRetries = 2;
  TAbsFaxCvt* Converter = nullptr;
  bool ConverterEnhanced = false;  // the converter is the font-based one
  std::uint8_t State = 0;          // SendStates or ReceiveStates value
  std::string HeaderText;
  TLineReader* CoverReader = nullptr;
  bool CoverOpen = false;
  bool FastPage = true;
  // Receive side
  bool OneFax = false;
  bool ConstantStatus = false;
  std::uint8_t LastChar = 255;
  std::uint8_t FileState = 0;
  std::uint8_t StartState = 1;
  // The state machine runs on the dispatch thread and, for its first state and a cancel,
  // on the caller's thread: one pass at a time.
  std::recursive_mutex Lock;
  // Calls of the state machine and readings under way (TFaxCall, TFaxReading), and a record
  // that fDoneC12SendFax handed to the last of them to free.
  std::atomic<int> Calls{0};
  std::atomic<bool> Orphaned{false};
};

// One call of a state machine: the record of the dispatcher that a notification's lParam
// addresses (its data pointer 2, the handle number in the high word), with the record's Lock
// held for the call. A record stays alive while a call holds it: fDoneC12SendFax during the
// call (a notice's handler that destroys the component) leaves the freeing to the call's end.
// False when no record is addressed (none was started there, or it has been set aside).
class TFaxCall {
 public:
  explicit TFaxCall(LPARAM lParam);
  ~TFaxCall();
  TFaxCall(const TFaxCall&) = delete;
  TFaxCall& operator=(const TFaxCall&) = delete;
  explicit operator bool() const { return Fax != nullptr; }
  TFaxRec* Fax = nullptr;
};

// A reading of what a session changes, from a thread other than the engine's (the window
// thread polling the fax, say): see TSioEngineReading. The reading counts as a call of the
// record, so that a notice handled while it waits (one whose handler destroys the component,
// say) leaves the record to the last of them to free.
class TFaxReading {
 public:
  explicit TFaxReading(TFaxRec* fax);
  ~TFaxReading();
  TFaxReading(const TFaxReading&) = delete;
  TFaxReading& operator=(const TFaxReading&) = delete;

 private:
  TFaxRec* Fax;
  std::optional<TSioEngineReading<std::recursive_mutex>> Reading;
};

// ----- records -----
int afInitFaxData(TFaxData*& faxData, std::string_view stationID, TSioBaseDispatcher* comPort, HWND window);
void afDoneFaxData(TFaxData*& faxData);

// ----- parameters -----
void afSetComHandle(TFaxRec* fax, TSioBaseDispatcher* comPort);
void afSetWindow(TFaxRec* fax, HWND window);
void afSetTitle(TFaxRec* fax, std::string_view text);
void afSetRecipientName(TFaxRec* fax, std::string_view text);
void afSetSenderName(TFaxRec* fax, std::string_view text);
void afSetDestinationDir(TFaxRec* fax, std::string_view dir);
void afSetStationID(TFaxRec* fax, std::string_view id);
void afSetFaxName(TFaxRec* fax, std::string_view name);
// The remote's identifier (at most 20 characters); readers on other threads see it whole.
void afSetRemoteID(TFaxRec* fax, std::string_view id);
std::string afGetFaxName(TFaxRec* fax);
void afSetNextFax(TFaxRec* fax, std::string_view number, std::string_view faxFile,
                  std::string_view coverFile);
void afSetConnectAttempts(TFaxRec* fax, std::uint16_t attempts, std::uint16_t retryWaitTicks);
void afOptionsOn(TFaxRec* fax, std::uint16_t options);
void afOptionsOff(TFaxRec* fax, std::uint16_t options);
bool afOptionsAreOn(TFaxRec* fax, std::uint16_t options);
std::int16_t afGetFaxProgress(TFaxRec* fax);

// ----- fax list -----
void afAddFaxEntry(TFaxRec* fax, std::string_view number, std::string_view faxFile,
                   std::string_view coverFile);
void afClearFaxEntries(TFaxRec* fax);
// The current entry's strings; false when no entry is left.
bool afNextFaxList(TFaxRec* fax, std::string& number, std::string& faxFile, std::string& coverFile);

// ----- status texts -----
// The text of a status code 4801..4843; empty for other codes.
std::string afStatusMsg(int code);
char* afStatusMsg(char* buffer, std::size_t bufSize, int code);

// ----- session control -----
int afStartFax(TFaxRec* fax, TFaxPrepareProc prepare, TFaxTriggerHandler handler);
void afStopFax(TFaxRec* fax);
void afSignalFinish(TFaxRec* fax);
void afReportError(TFaxRec* fax, int code);
void afFaxStatus(TFaxRec* fax, bool starting, bool ending);
// Asks the window for the next fax (it calls afSetNextFax); true when it gave one.
bool afNextFax(TFaxRec* fax);
void afLogFax(TFaxRec* fax, TLogFaxCode code);
// Asks the window for the name of a received fax (it calls afSetFaxName).
void afFaxName(TFaxRec* fax);
// Asks the window whether to take a call from RemoteID.
bool afAcceptFax(TFaxRec* fax, std::string_view remoteID);
// Takes the record off its dispatcher, so that no later call finds it. True when no call or
// reading holds it any more: the caller frees it now (fFreeC12Fax). Otherwise it is set
// aside, and the last call or reading out frees it.
bool afSetAsideFax(TFaxRec* fax);

// ----- header lines -----
// Expands the macros $D $T $I $N $P $F $R $S; the result holds at most 255 characters.
std::string afConvertHeaderString(TFaxRec* fax, std::string_view source);

// ----- names of received faxes -----
// The first free name of the series, made as an empty file at once so that no other
// receive takes it; empty when all 9999 names are taken.
std::string afFaxNameMD(TFaxRec* fax);
std::string afFaxNameCount(TFaxRec* fax);
