#pragma once
// The fax modem layer over the engine framework (fax/Swabsfax.h): the modem record, the
// command exchange with the modem, class detection and modem queries, the Class 2 and
// Class 2.0 command table, rates and scan-line rules, and the send state machine.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fax/Swabsfax.h"
#include "fax/Swfaxfmt.h"
#include "fax/Swfont.h"
#include "serial/SioMisc.h"

// Class 2 / Class 2.0 command table entries
constexpr int mcSelectClass = 0;
constexpr int mcModel = 1;
constexpr int mcMaker = 2;
constexpr int mcRevision = 3;
constexpr int mcSessionParams = 4;
constexpr int mcLocalID = 5;
constexpr int mcCapabilities = 6;
constexpr int mcConnectReply = 7;
constexpr int mcRemoteCapsReply = 8;
constexpr int mcSessionReply = 9;
constexpr int mcTSIReply = 10;
constexpr int mcCSIReply = 11;
constexpr int mcPageStatusReply = 12;

constexpr std::size_t ReplyMaxLen = 129;
constexpr std::size_t DataBufferSize = 4096;
constexpr std::size_t FrameBufferSize = 8192;

struct TModCodes {
  std::array<std::string, 13> Codes;
  std::string Hangup;  // "FHNG" or "FHS"
};

struct TC12AbsData {
  bool GotRemoteID = false;
  bool MorePages = false;
  std::uint8_t SessionRes = 0;
  std::uint8_t SessionWid = 0;
  std::uint8_t SessionECM = 0;
  bool CanDoHighRes = false;
  bool CanDoHighWid = false;
  bool CheckFrame = true;
  bool ToneDial = true;
  bool LastPageOk = false;
  bool UseLengthWords = false;
  bool CoverIsFXF = false;
  bool InitSent = false;
  bool InInitBaud = false;
  bool ReceivedCFR = false;
  bool FinalFrame = false;
  bool ForceStatus = false;
  std::uint16_t EOPCount = 0;
  bool BlindDial = false;
  bool DetectBusy = true;
  char ECMChar = '0';
  char ResChar = '0';
  char LastResChar = ' ';
  std::uint8_t ScanTimeCode = 0;
  std::uint8_t LastFrame = 0;
  std::uint16_t ReplyWait = 182;  // ticks
  std::uint16_t DataWait = 1092;  // ticks
  std::uint16_t DesiredBPS = 9600;
  std::uint16_t RateIndex = 0;
  std::uint16_t MinBytes = 0;
  std::int16_t HangupCode = 0;
  std::int32_t DialWait = 1092;  // ticks
  std::int32_t SessionBPS = 0;
  std::int32_t NormalBaud = 0;
  std::int32_t InitBaud = 0;
  std::unique_ptr<std::uint8_t[]> DataBuffer;
  TFaxFileReader FaxFile;  // the open fax file (or FXF cover)
  TModCodes ModCodes;
  std::string DefInit = "ATE0Q0V1X4S0=0S2=43";
  std::string ModemInit;
  std::string DialPrefix;
  std::string Response;
  bool LineReady = false;  // Response holds a complete line
  EventTimer ReplyTimer{};
  std::array<bool, 6> Class1Rates{true, true, false, false, false, false};
  std::array<bool, 6> RemoteRates{};
  std::unique_ptr<std::uint8_t[]> FrameBuffer;
  bool EnhTextEnabled = false;
  TFaxTextFont EnhSmallFont;
  TFaxTextFont EnhStandardFont;
  // Class 1: a received HDLC frame being collected, and the training modulation code
  bool InFrame = false;
  bool FrameDLE = false;
  std::vector<std::uint8_t> RxFrame;
  std::string TrainCode = "96";
  // The page whose end was signalled last (a page the remote rejects goes again)
  std::uint16_t SentPage = 0;
  bool SentCover = false;
  std::string SentCoverName;
  // Class 1 send: a wait for the remote's frames, which the modem's NO CARRIER or ERROR does not
  // end: the sender listens again until ListenTimer has run out
  bool Listening = false;
  EventTimer ListenTimer{};
  std::int32_t DISWait = 637;  // ticks: T1, how long the caller waits for the remote's DIS (35 s)
  // The DIS awaited follows EOM: it does not raise the call's rate again, and the pages before it
  // went out
  bool AfterEOM = false;
  // Receive side
  std::uint16_t AnswerOnRing = 1;
  std::uint16_t RingCount = 0;
  char FaxAndData = '0';
  std::int32_t BufferFill = 0;
  std::int32_t RetryCount = 0;
  bool EOMSeen = false;      // the last post-page frame was EOM
  bool StartSent = false;    // the starting status of this session went out
  bool AcceptAsked = false;  // the component was asked to take this call
  std::string ListenCode;    // Class 1: the modulation of the last "AT+FRM="
  int CarrierRetries = 0;    // "AT+FRM=" repeated after +FCERROR
  bool PageMissed = false;   // Class 1: the page's carrier was missed; it is asked for again (RTN)
  bool FrameSeen = false;
  bool SkipLineFeed = false;  // page data follow the CONNECT line            // Class 1: a frame came since
                              // the last "AT+FRH=3"
  std::int32_t NonZeroCount = 0;     // training check
  std::string PageCode = "96";       // Class 1 receive: modulation of the pages after CFR
  std::string PageTrainCode = "96";  // after MCF (MPS)
  TFaxFileWriter RxFile;             // the received fax file
};

// Send states; value n is also the dispatch-log sub-type 30 + n.
enum SendStates : std::uint8_t {
  tfNone,
  tfGetEntry,
  tfInit,
  tf1Init1,
  tf2Init1,
  tf2Init1A,
  tf2Init1B,
  tf2Init2,
  tf2Init3,
  tfDial,
  tfRetryWait,
  tf1Connect,
  tf1SendTSI,
  tf1TSIResponse,
  tf1DCSResponse,
  tf1TrainStart,
  tf1TrainFinish,
  tf1WaitCFR,
  tf1WaitPageConnect,
  tf2Connect,
  tf2GetParams,
  tfWaitXon,
  tfWaitFreeHeader,
  tfSendPageHeader,
  tfOpenCover,
  tfSendCover,
  tfPrepPage,
  tfSendPage,
  tfDrainPage,
  tf1PageEnd,
  tf1PrepareEOP,
  tf1SendEOP,
  tf1WaitMPS,
  tf1WaitEOP,
  tf1WaitMCF,
  tf1SendDCN,
  tf1Hangup,
  tf1WaitHangup,
  tf2SendEOP,
  tf2WaitFPTS,
  tf2WaitFET,
  tf2WaitPageOK,
  tf2SendNewParams,
  tf2NextPage,
  tf20CheckPage,
  tfClose,
  tfCompleteOK,
  tfAbort,
  tfDone
};
constexpr TDispatchSubType FaxSendSubTypeBase = 30;

// Receive states; value n is also the dispatch-log sub-type 79 + n.
enum ReceiveStates : std::uint8_t {
  rfNone,
  rfInit,
  rf1Init1,
  rf2Init1,
  rf2Init1A,
  rf2Init1B,
  rf2Init2,
  rf2Init3,
  rfWaiting,
  rfAnswer,
  rf1SendCSI,
  rf1SendDIS,
  rf1CollectFrames,
  rf1CollectRetry1,
  rf1CollectRetry2,
  rf1StartTrain,
  rf1CollectTrain,
  rf1Timeout,
  rf1Retrain,
  rf1FinishTrain,
  rf1SendCFR,
  rf1WaitPageConnect,
  rf2ValidConnect,
  rf2GetSenderID,
  rf2GetConnect,
  rfStartPage,
  rfGetPageData,
  rf1FinishPage,
  rf1WaitEOP,
  rf1WritePage,
  rf1SendMCF,
  rf1WaitDCN,
  rf1WaitHangup,
  rf2GetPageResult,
  rf2GetFHNG,
  rfComplete,
  rfAbort,
  rfDone
};
constexpr TDispatchSubType FaxReceiveSubTypeBase = 79;
// FileState of the receive record
constexpr std::uint8_t fsNextPage = 2;  // the next page goes into the open file
constexpr std::uint8_t fsNewFile = 3;   // a new file is due
constexpr std::uint8_t fsDocEnd = 4;    // the document has ended

// ----- records -----
int fInitC12SendFax(TFaxRec*& fax, std::string_view stationID, TSioBaseDispatcher* comPort, HWND window);
// Frees the record, at once or, while a call of the engine or a reading holds it, at the end
// of the last of them (afSetAsideFax); fax becomes null.
void fDoneC12SendFax(TFaxRec*& fax);
// Frees a record that no call or reading holds any more.
void fFreeC12Fax(TFaxRec* fax);
int cInitC12AbsData(TC12AbsData*& data);
void cDoneC12AbsData(TC12AbsData*& data);

// ----- parameters -----
void fSetFaxPort(TFaxRec* fax, TSioBaseDispatcher* comPort);
void fSetModemInit(TFaxRec* fax, std::string_view init);
// Sets the class; ctDetect asks the modem (blocking) and is false when it has no fax class.
bool fSetClassType(TFaxRec* fax, ClassType ct);
void fSetInitBaudRate(TFaxRec* fax, std::int32_t initRate, std::int32_t normalRate, bool setCurrent);
void fSetHeaderText(TFaxRec* fax, std::string_view text);
void fSetEnhTextEnabled(TFaxRec* fax, bool enabled);
void fSetEnhSmallFont(TFaxRec* fax, const TFaxTextFont& font);
void fSetEnhStandardFont(TFaxRec* fax, const TFaxTextFont& font);
void fSetBlindDial(TFaxRec* fax, bool blind);
void fSetDetectBusy(TFaxRec* fax, bool detect);
void fSetToneDial(TFaxRec* fax, bool tone);
void fSetDialPrefix(TFaxRec* fax, std::string_view prefix);
void fSetDialTime(TFaxRec* fax, std::int32_t ticks);
void fSetMaxRetries(TFaxRec* fax, std::int32_t retries);
void fSetYielding(TFaxRec* fax, std::uint16_t maxSendCount, std::uint16_t bufferMinimum);
void fSetSafeMode(TFaxRec* fax, bool safe);
void fSetModemFeatures(TFaxRec* fax, std::uint16_t bps, char ecmChar);

// ----- queries (blocking modem commands) -----
bool fGetModemClassSupport(TFaxRec* fax, bool& class1, bool& class2, bool& class2_0, bool reset);
bool fGetModemInfo(TFaxRec* fax, char& cls, std::string& model, std::string& chip, std::string& rev,
                   bool reset);
void fGetModemFeatures(TFaxRec* fax, std::int32_t& bps, char& correction);
void fGetPageInfoC12(TFaxRec* fax, std::int32_t& pages, std::int32_t& page, std::int32_t& bytesTransferred,
                     std::int32_t& pageLength);
bool fGetLastPageStatus(TFaxRec* fax);
std::string fGetRemoteID(TFaxRec* fax);
void fGetSessionParams(TFaxRec* fax, std::int32_t& bps, bool& resolution, bool& correction);
std::int16_t fGetHangupResult(TFaxRec* fax);

// ----- the modem layer's shared rules -----
// Builds the Class 2 / 2.0 command table for the class in use.
void fBuildModCodes(TFaxRec* fax);
// Rate code of DesiredBPS for the Class 2 commands.
char fRateCode(std::uint16_t bps);
// Minimum bytes per scan line for a scan time code, resolution and rate.
std::uint16_t fMinBytes(std::uint8_t scanTimeCode, bool highRes, std::int32_t bps);
// Decodes a Class 2 session parameters or remote capabilities reply (prefix included).
void fDecodeSessionParams(TFaxRec* fax, std::string_view reply);
// Sends a command to the modem asynchronously (pre-delay, CR, reply time-out armed).
int fPutModemCommand(TFaxRec* fax, std::string_view command);
// Sends a command and waits for its reply, handling the caller's messages meanwhile.
bool fBlockingCommand(TFaxRec* fax, std::string_view command);
// Collects reply characters; true when Response holds a complete line.
bool fReadReplyLine(TFaxRec* fax);
// Queues bytes with every DLE doubled (through the frame buffer).
int fPutDLEData(TFaxRec* fax, const std::uint8_t* data, std::size_t len);
// Queues bytes as they are, waiting for room in the output buffer.
int fPutRaw(TFaxRec* fax, const std::uint8_t* data, std::size_t len);
// Class 1: the rates the modem can send with (AT+FTM=?); sets Class1Rates and RateIndex.
bool fGetClass1Rates(TFaxRec* fax);
// Class 1 rate of a rate index 1..6 (0 for others).
std::int32_t fClass1Rate(int rateIndex);
void fSwitchToNormalBaud(TFaxRec* fax);
void fSwitchToInitBaud(TFaxRec* fax);
void fLineReset(TFaxRec* fax);
// Hangs up the call (escape and ATH0, or a line reset when the carrier stays).
void fHangup(TFaxRec* fax);

// ----- sending -----
void fPrepareFaxTransmit(TFaxRec* fax);
void fFaxTransmit(UINT msg, WPARAM wParam, LPARAM lParam);

// ----- receiving -----
int fInitC12ReceiveFax(TFaxRec*& fax, std::string_view stationID, TSioBaseDispatcher* comPort, HWND window);
void fDoneC12ReceiveFax(TFaxRec*& fax);
void fSetAnswerOnRing(TFaxRec* fax, std::uint16_t rings);
void fSetFaxAndData(TFaxRec* fax, bool on);
void fSetOneFax(TFaxRec* fax, bool on);
void fSetConstantStatus(TFaxRec* fax, bool on);
// The receive PrepareProc: modem set-up for answering.
void fPrepareFaxReceive(TFaxRec* fax);
void fFaxReceive(UINT msg, WPARAM wParam, LPARAM lParam);
// The same set-up as a blocking procedure (after a line reset); 0 or the error.
int fInitModemForFaxReceive(TFaxRec* fax);
// Prepares a receive that starts in a call the modem has already connected (Class 2, 2.0).
void fSetConnectState(TFaxRec* fax);
// Prepares a manual receive: with answerNow the modem is told to answer at once.
void fSetManualReceive(TFaxRec* fax, bool answerNow);
// The dispatch-log sub-type of a receive state.
inline TDispatchSubType fReceiveSubType(std::uint8_t state) {
  return static_cast<TDispatchSubType>(FaxReceiveSubTypeBase + state);
}
