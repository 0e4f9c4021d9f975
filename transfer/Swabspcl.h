#pragma once
// Protocol engine base: the state record shared by every file-transfer engine, starting and
// stopping a run on a serial port, the notices to the protocol component's hidden window,
// the list and mask of files to send, buffered reading and writing of the work file, check
// sums, and the Unix time stamps and octal numbers of batch headers.
//
// Every routine returns 0 or a negative library error code and records a failure in the
// record's ProtocolError; none raises.
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Messages.h"
#include "serial/SioDispatch.h"
#include "serial/SioMisc.h"

class TSioCustomComPort;

// ---------------------------------------------------------------------------------------
// Types
// ---------------------------------------------------------------------------------------
enum TProtocolType : std::uint8_t {
  ptNoProtocol,
  ptXmodem,
  ptXmodemCRC,
  ptXmodem1K,
  ptXmodem1KG,
  ptYmodem,
  ptYmodemG,
  ptZmodem,
  ptKermit,
  ptAscii,
  ptBPlus
};
enum TBlockCheckMethod : std::uint8_t { bcmNone, bcmChecksum, bcmChecksum2, bcmCrc16, bcmCrc32, bcmCrcK };
enum TWriteFailAction : std::uint8_t {
  wfWriteNone,
  wfWriteFail,
  wfWriteRename,
  wfWriteAnyway,
  wfWriteResume
};

enum TZmodemFileOptions : std::uint8_t {
  zfoNoOption,
  zfoWriteNewerLonger,
  zfoWriteCrc,
  zfoWriteAppend,
  zfoWriteClobber,
  zfoWriteNewer,
  zfoWriteDifferent,
  zfoWriteProtect
};

enum TZmodemState : std::uint8_t {
  tzInitial,
  tzHandshake,
  tzGetFile,
  tzSendFile,
  tzCheckFile,
  tzStartData,
  tzEscapeData,
  tzSendData,
  tzWaitAck,
  tzSendEof,
  tzDrainEof,
  tzCheckEof,
  tzSendFinish,
  tzCheckFinish,
  tzError,
  tzCleanup,
  tzDone,
  rzRqstFile,
  rzDelay,
  rzWaitFile,
  rzCollectFile,
  rzSendInit,
  rzSendBlockPrep,
  rzSendBlock,
  rzSync,
  rzStartFile,
  rzStartData,
  rzCollectData,
  rzGotData,
  rzWaitEof,
  rzEndOfFile,
  rzSendFinish,
  rzCollectFinish,
  rzError,
  rzWaitCancel,
  rzCleanup,
  rzDone
};
enum THeaderState : std::uint8_t {
  hsNone,
  hsGotZPad,
  hsGotZDle,
  hsGotZBin,
  hsGotZBin32,
  hsGotZHex,
  hsGotHeader
};

enum TXmodemState : std::uint8_t {
  txInitial,
  txHandshake,
  txGetBlock,
  txWaitFreeSpace,
  txSendBlock,
  txDraining,
  txReplyPending,
  txEndDrain,
  txFirstEndOfTransmit,
  txRestEndOfTransmit,
  txEotReply,
  txFinished,
  txDone,
  rxInitial,
  rxWaitForHSReply,
  rxWaitForBlockStart,
  rxCollectBlock,
  rxProcessBlock,
  rxFinishedSkip,
  rxFinished,
  rxDone
};
enum TYmodemState : std::uint8_t {
  tyInitial,
  tyHandshake,
  tyGetFileName,
  tySendFileName,
  tyDraining,
  tyReplyPending,
  tyPrepXmodem,
  tySendXmodem,
  tyFinished,
  tyFinishDrain,
  tyDone,
  ryInitial,
  ryDelay,
  ryWaitForHSReply,
  ryWaitForBlockStart,
  ryCollectBlock,
  ryProcessBlock,
  ryOpenFile,
  ryPrepXmodem,
  ryReceiveXmodem,
  ryFinished,
  ryDone
};

// Dispatch-log sub-kinds of the engines' states: the first state of each engine, the others
// follow in the order of its state type. The labels of the string table (15100 + value) name
// them: XModem txInitial .. rxDone, YModem tyInitial .. ryDone, ZModem tzInitial .. rzDone,
// ASCII taInitial .. raDone, Kermit tkInit .. rkDone. B+ follows behind Kermit.
constexpr TDispatchSubType dsttxInitial = 127;
constexpr TDispatchSubType dsttyInitial = 148;
constexpr TDispatchSubType dsttzInitial = 170;
constexpr TDispatchSubType dsttaInitial = 207;
constexpr TDispatchSubType dsttkInit = 220;
constexpr TDispatchSubType dstrkInit = 241;
constexpr TDispatchSubType dstBPlusFirst = 252;
static_assert(dsttxInitial + rxDone < dsttyInitial && dsttyInitial + ryDone < dsttzInitial &&
              dsttzInitial + rzDone < dsttaInitial);

// Option word bits.
constexpr std::uint32_t apIncludeDirectory = 0x0001;
constexpr std::uint32_t apHonorDirectory = 0x0002;
constexpr std::uint32_t apRTSLowForWrite = 0x0004;
constexpr std::uint32_t apAbortNoCarrier = 0x0008;
constexpr std::uint32_t apKermitLongPackets = 0x0010;
constexpr std::uint32_t apKermitSWC = 0x0020;
constexpr std::uint32_t apZmodem8K = 0x0040;
constexpr std::uint32_t apBP2KTransmit = 0x0080;
constexpr std::uint32_t apAsciiSuppressCtrlZ = 0x0100;
constexpr std::uint32_t apEngineOwnedOptions = apKermitLongPackets | apKermitSWC | apZmodem8K;

// Protocol status codes.
constexpr int psOK = 4700;
constexpr int psProtocolHandshake = 4701;
constexpr int psInvalidDate = 4702;
constexpr int psFileRejected = 4703;
constexpr int psFileRenamed = 4704;
constexpr int psSkipFile = 4705;
constexpr int psFileDoesntExist = 4706;
constexpr int psCantWriteFile = 4707;
constexpr int psTimeout = 4708;
constexpr int psBlockCheckError = 4709;
constexpr int psLongPacket = 4710;
constexpr int psDuplicateBlock = 4711;
constexpr int psProtocolError = 4712;
constexpr int psCancelRequested = 4713;
constexpr int psEndFile = 4714;
constexpr int psResumeBad = 4715;
constexpr int psSequenceError = 4716;
constexpr int psAbortNoCarrier = 4717;

// Notices to the component's window.
constexpr UINT apw_ProtocolCancel = 0x7E14;
constexpr UINT apw_ProtocolStatus = 0x7E15;
constexpr UINT apw_ProtocolLog = 0x7E16;
constexpr UINT apw_ProtocolNextFile = 0x7E17;
constexpr UINT apw_ProtocolAcceptFile = 0x7E18;
constexpr UINT apw_ProtocolFinish = 0x7E19;
constexpr UINT apw_ProtocolResume = 0x7E1A;
constexpr UINT apw_ProtocolError = 0x7E1B;
// Time-out of the periodic status notices; the others wait until the window thread takes them
// (TEngineNoticeWait).
constexpr DWORD apNoticeTimeoutMs = 1000;

// Log codes.
constexpr unsigned lfReceiveStart = 0, lfReceiveOk = 1, lfReceiveFail = 2, lfReceiveSkip = 3;
constexpr unsigned lfTransmitStart = 4, lfTransmitOk = 5, lfTransmitFail = 6, lfTransmitSkip = 7;

// Status option bits.
constexpr unsigned apFirstCall = 1, apLastCall = 2;

constexpr std::uint32_t apFileBufferSize = 8192;
constexpr std::uint8_t BlockFillChar = 0x1A;
constexpr std::size_t apMaxPath = 256;  // buffers of 255 characters and a NUL

struct TProtocolData;
using ShowStatusProc = void (*)(TProtocolData& P, unsigned options);
using LogFileProc = void (*)(TProtocolData& P, unsigned code);
using NextFileFunc = bool (*)(TProtocolData& P, char* buffer);
using AcceptFileFunc = bool (*)(TProtocolData& P, char* name);
using PrepFinishProc = void (*)(TProtocolData& P);
// True at the end of the file (or on failure); Size is cut to the valid bytes of the last block.
using ReadProtProc = bool (*)(TProtocolData& P, std::uint8_t* block, std::uint32_t& size);
// True on failure.
using WriteProtProc = bool (*)(TProtocolData& P, const std::uint8_t* block, std::uint32_t size);

struct TProtocolInfo {
  std::int32_t ProtocolType, BlockErrors, TotalErrors, BlockLength, BlocksTransferred, FileLength,
      BytesTransferred, BytesRemaining, InitialPosition, ElapsedTicks, Options, BlockCheck;
  char FileName[apMaxPath];
  std::int32_t Error, Status;
};

// ---------------------------------------------------------------------------------------
// The state record
// ---------------------------------------------------------------------------------------
struct TProtocolData {
  // ----- common part -----
  std::uint32_t StatusTimerTrigger = 0;
  std::uint32_t TimeoutTrigger = 0;
  std::uint32_t OutFreeTrigger = 0;
  std::uint32_t OutUsedTrigger = 0;
  std::uint32_t CarrierTrigger = 0;
  HWND NotifyWindow = 0;
  TSioCustomComPort* Port = nullptr;
  bool BatchProtocol = false;
  std::uint32_t WorkWord = 0;  // YModem: a header block was sent
  std::uint32_t EngineWord1 = 0;
  bool TimerRunning = false;
  TProtocolType ProtocolType = ptNoProtocol;
  TBlockCheckMethod CheckType = bcmNone;
  std::uint32_t HandshakeRetry = 10;
  std::uint32_t HandshakeWait = 182;
  std::uint32_t HandshakeAttempt = 0;  // engine counter: handshake attempts
  std::uint32_t BlockLength = 128;
  std::int32_t BlockNumber = 0;
  std::uint32_t Options = 0;
  std::uint32_t TransmitTimeout = 1092;
  std::uint32_t FinishWait = 0;
  std::uint32_t EOFTimeout = 0;
  std::int32_t ProtocolStatus = psOK;
  std::int32_t CurrentBlockLength = 0;
  std::int32_t ProtocolError = 0;
  std::int32_t FileLength = 0;
  std::uint32_t FileDate = 0;
  std::uint32_t BlockCheck = 0;
  std::int32_t InitialPosition = 0;
  EventTimer ReplyTimer{};
  std::uint8_t* DataBlock = nullptr;
  TSioNotifyProc StateProc = nullptr;
  TSioLock* Lock = nullptr;
  bool ForceStatus = false;
  std::uint32_t EngineWord2 = 0;
  std::int32_t InProgress = 0;
  std::int32_t BlockErrors = 0;
  std::int32_t TotalErrors = 0;
  std::uint32_t ActualCPS = 0;
  std::int32_t Overhead = 0;
  std::uint32_t TurnDelay = 0;
  std::uint32_t StatusInterval = 10;
  std::int32_t SavedStatus = 0, SavedError = 0;
  std::int32_t BytesToSend = 0;
  std::int32_t BytesTransferred = 0;
  std::int32_t ElapsedTicks = 0;
  EventTimer EngineTimer{};
  EventTimer TransferTimer{};
  bool DataAtEnd = false;
  bool FileOpen = false;
  bool LastBlock = false;
  std::uint32_t EngineWord3 = 0, EngineWord4 = 0;
  std::uint32_t WriteFailAction = wfWriteRename;
  std::int32_t BufferStart = 0;
  std::int32_t BufferEnd = 0;
  std::int32_t LastOffset = 0;
  std::int32_t FileOffset = 0;
  std::int32_t DataEnd = 0;
  std::uint8_t* FileBuffer = nullptr;
  std::uint32_t SavedFileMode = 0;
  bool UpcaseFileNames = true;
  bool FirstSearch = false;
  std::int32_t FileListIndex = 2;
  char PathName[apMaxPath] = {};
  char FileMask[apMaxPath] = {};
  std::uint8_t* FileList = nullptr;
  struct {
    std::string Directory;           // directory part of the mask, with its separator
    std::vector<std::string> Names;  // matching names, in order
    std::size_t Next = 0;
  } SearchRec;
  bool SearchOpen = false;
  ShowStatusProc ShowStatus = nullptr;
  LogFileProc LogFile = nullptr;
  NextFileFunc NextFile = nullptr;
  AcceptFileFunc AcceptFile = nullptr;
  PrepFinishProc PrepareReading = nullptr;
  ReadProtProc ReadBlock = nullptr;
  PrepFinishProc FinishReading = nullptr;
  PrepFinishProc PrepareWriting = nullptr;
  WriteProtProc WriteBlock = nullptr;
  PrepFinishProc FinishWriting = nullptr;
  int WorkFile = -1;  // file descriptor of the work file
  char DestinationDirectory[apMaxPath] = {};
  // File position of offset 0 of the received data: the old length when a file is appended
  // to, else 0 (offsets count the sender's bytes, the file keeps what it held).
  std::int32_t WriteOrigin = 0;
  // The received file in PathName was created (or rewritten) by this run and has not been
  // logged as received or skipped: only such a file may be deleted when the receive fails.
  bool FileCreated = false;
  // The name of the received file did not fit under DestinationDirectory: PathName holds its
  // name part alone (for the status and the history) and no file may be made of it.
  bool PathRefused = false;
  // The start of a file was logged (0 or 4) and its end (1 to 3, 5 to 7) not yet, through
  // apMsgLog; a run that ends so has its failure logged by apSignalFinish.
  std::int32_t LogPending = -1;
  // Releases the engine's own part of the record (its buffers); set by the engine's Reinit.
  PrepFinishProc ReleasePart = nullptr;
  // State machine calls under way (TProtocolCall), and a record that apDoneProtocol handed to
  // the last of them to free.
  std::atomic<int> Calls{0};
  std::atomic<bool> Orphaned{false};

  // ----- XModem tail -----
  bool CRCMode = false;
  bool OneKMode = false;
  bool GMode = false;
  std::uint32_t MaxBlockErrors = 5;
  std::uint32_t BlockWait = 91;
  std::uint32_t EotCheckCount = 1;
  std::uint8_t StartChar = 1;
  std::uint8_t HandshakeChar = 0x15;
  std::int32_t NakCount = 0;
  std::int32_t EotCount = 0;
  std::int32_t CanCount = 0;
  std::int32_t BlockOverhead = 3;
  TXmodemState XmodemState = txInitial;
  std::uint32_t CollectCount = 0;  // bytes of the block collected so far (start char excluded)

  // ----- YModem tail -----
  std::int32_t SavedFileLength = 0;
  std::uint32_t HeaderDate = 0;
  char SavedPathName[apMaxPath] = {};
  std::uint8_t* HeaderBlock = nullptr;
  TYmodemState YmodemState = tyInitial;

  // ----- ZModem tail -----
  std::uint8_t LastFrame = 0;
  std::uint8_t FrameEnd = 0;     // ZDLE sequence that ends the subpacket: 'h' .. 'k'
  std::uint8_t ReplyHeader = 1;  // receiver: ZRINIT, or ZSKIP once to refuse a file
  TZmodemState ZmodemState = tzInitial;
  THeaderState HeaderState = hsNone;
  std::uint8_t HexCount = 0, BinCount = 0;
  bool InCrcPhase = false;
  bool OptionOverride = false;
  bool Recover = false;
  bool UseCrc32 = false;
  bool CanCrc32 = true;
  bool HalfHexPending = false;
  bool ZdlePending = false;
  bool EscapeAll = false;
  bool FlowCharSeen = false;
  bool HeaderWasHex = false;
  std::uint8_t FileOption = zfoWriteNewer;  // low 3 bits the option, 0x80 skip-no-file
  std::uint8_t ConvOption = 0, TransOption = 0;
  std::uint32_t FinishRetry = 3;
  std::int32_t HexByte = 0;
  std::int32_t OCount = 0;
  std::uint32_t LastPosition = 0;
  std::uint8_t AttentionString[32] = {};
  bool Use8K = false;
  bool Repositioned = false;
  bool ZrinitAfterFile = false;  // a ZRINIT came back for the file header now waiting
  std::int32_t GoodAfterRepos = 0;
  std::uint8_t* WorkBlock = nullptr;  // escaped subpacket: 2048 bytes (16384 with 8K) and room
  std::int32_t BlockBytes = 0;
  std::int32_t SinceAck = 0;
  std::uint8_t RxHeader[5] = {};
  std::uint16_t RxBufferSize = 0;
  std::uint8_t LastSent = 0;
  std::uint8_t TxHeader[4] = {};
  std::uint32_t ZrqinitValue = 0;
  // Engine work of its own: received bytes not yet taken (InBuffer), the header bytes being
  // collected, the state of a subpacket being read, the escaped length in WorkBlock, and
  // whether a file went out in this run.
  std::uint8_t* InBuffer = nullptr;
  std::uint32_t InHead = 0, InTail = 0;
  std::uint8_t HeaderBytes[10] = {};
  std::uint32_t DataCrc = 0;
  std::uint8_t CrcBytes[4] = {};
  std::uint32_t CrcCount = 0;
  std::uint32_t WorkBytes = 0;
  bool FileSent = false;
  std::uint32_t FileTime = 0;     // Unix time of the file in the file information
  std::uint32_t EofPosition = 0;  // receiver: position of a ZEOF being checked
  std::uint32_t TimerRounds = 0;  // sender: status rounds in tzDrainEof
};

// ---------------------------------------------------------------------------------------
// Set-up and teardown
// ---------------------------------------------------------------------------------------
// Window class of protocol windows, registered once.
constexpr const char* apProtocolClassName = "swProtocol";
int apInitProtocolData(TProtocolData*& P, TSioCustomComPort* port, std::uint32_t options);
// Stops a run that is still under way, releases the engine's part and frees the record (at
// the end of a state machine call that is under way, when there is one); P becomes null.
void apDoneProtocol(TProtocolData*& P);
// Copies the settings of the common part (waits, retries, options, names, hooks of the
// component's window and port), never its run state, files or buffers.
void apCopySettings(TProtocolData& dest, const TProtocolData& source);
void apResetReadWriteHooks(TProtocolData& P);
void apSetProtocolWindow(TProtocolData& P, HWND window);
void apSetProtocolPort(TProtocolData& P, TSioCustomComPort* port);
void apSetFileList(TProtocolData& P, std::uint8_t* list);
void apSetFileMask(TProtocolData& P, const char* mask);
void apSetDestinationDirectory(TProtocolData& P, const char* dir);
void apSetStatusInterval(TProtocolData& P, std::uint32_t ticks);
void apSetEfficiencyParms(TProtocolData& P, std::int32_t overhead, std::uint32_t turnDelay);
void apSetHandshakeWait(TProtocolData& P, std::uint32_t wait, std::uint32_t retry);
void apSetOverwriteOption(TProtocolData& P, std::uint32_t action);
// PathName of a received file named `name`: a name with a directory separator as it is,
// any other in DestinationDirectory (see apSetReceivePath for a name that does not fit).
void apSetReceiveFilename(TProtocolData& P, const char* name);
void apSetActualBPS(TProtocolData& P, std::uint32_t bps);
void apOptionsOn(TProtocolData& P, std::uint32_t bits);
void apOptionsOff(TProtocolData& P, std::uint32_t bits);
bool apOptionsAreOn(const TProtocolData& P, std::uint32_t bits);
void apSetProtocolMsgBase(TProtocolData& P, UINT base);

// ---------------------------------------------------------------------------------------
// Queries
// ---------------------------------------------------------------------------------------
bool apSupportsBatch(const TProtocolData& P);
std::int32_t apGetInitialFilePos(const TProtocolData& P);
std::int32_t apGetBytesTransferred(TProtocolData& P);
std::int32_t apGetBytesRemaining(TProtocolData& P);
std::int32_t apEstimateTransferSecs(const TProtocolData& P, std::int32_t size);
std::uint32_t apGetProtocolInfo(TProtocolData& P, TProtocolInfo& info);
char* apStatusMsg(char* buffer, int code);  // buffer of at least 81 bytes
TDispatchType apDispatchType(TProtocolType type);

// ---------------------------------------------------------------------------------------
// Running a transfer
// ---------------------------------------------------------------------------------------
using PrepareProc = void (*)(TProtocolData& P);
void apStartProtocol(TProtocolData& P, TProtocolType type, TSioNotifyProc stateProc, PrepareProc prepare);
void apStopProtocol(TProtocolData& P);
void apResetStatus(TProtocolData& P);
void apShowFirstStatus(TProtocolData& P);
void apShowLastStatus(TProtocolData& P);
void apSignalFinish(TProtocolData& P);
void apProtocolError(TProtocolData& P, int code);
// The dispatcher of the record's port (null when it has none or it is closed).
TSioBaseDispatcher* apDispatcher(TProtocolData& P);

// One call of a state machine: the dispatcher and the record that the third argument
// addresses (its high word is the dispatcher handle), with the record's Lock held for the
// call. A record stays alive while a call holds it: apDoneProtocol during the call leaves the
// freeing to the call's end. False when no record is addressed (the run has ended).
class TProtocolCall {
 public:
  explicit TProtocolCall(LPARAM lParam);
  ~TProtocolCall();
  TProtocolCall(const TProtocolCall&) = delete;
  TProtocolCall& operator=(const TProtocolCall&) = delete;
  explicit operator bool() const { return P != nullptr; }
  TSioBaseDispatcher* D = nullptr;
  TProtocolData* P = nullptr;
};

// A reading of what a run changes, from a thread other than the engine's (the window thread
// polling the run, say): see TSioEngineReading. The reading counts as a call of the record, so
// that a notice handled while it waits (one whose handler destroys the component, say) leaves
// the record to the last of them to free.
class TProtocolReading {
 public:
  explicit TProtocolReading(TProtocolData& P);
  ~TProtocolReading();
  TProtocolReading(const TProtocolReading&) = delete;
  TProtocolReading& operator=(const TProtocolReading&) = delete;

 private:
  TProtocolData& P;
  std::optional<TSioEngineReading<TSioLock>> Reading;
};

// Sends a notice of the run to the component's window (SendEngineNotice): a periodic status
// within the time-out, every other notice once the window thread takes it. False when the
// window did not answer or the record has been set aside.
bool apSendNotice(TProtocolData& P, UINT msg, WPARAM w, LPARAM l, LRESULT& result);

// The engines' waits: the time-out timer (ticks), the output-buffer triggers, and the
// tests of the trigger that started a call.
void apArmTimeout(TProtocolData& P, TSioBaseDispatcher& D, std::uint32_t ticks);
void apArmOutUsed(TProtocolData& P, TSioBaseDispatcher& D);  // fires when the buffer is empty
void apArmOutFree(TProtocolData& P, TSioBaseDispatcher& D, std::uint32_t bytes);
bool apIsTimeout(const TProtocolData& P, UINT msg, std::uint32_t trigger);
bool apIsStatusTrigger(UINT msg, std::uint32_t trigger, std::uint32_t handle);

// ---------------------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------------------
int apMakeFileList(TProtocolData& P, std::uint8_t*& list, std::uint16_t size);
void apDisposeFileList(TProtocolData& P, std::uint8_t*& list, std::uint16_t size);
int apAddFileToList(TProtocolData& P, std::uint8_t* list, const char* name);
bool apNextFileList(TProtocolData& P, char* buffer);
bool apNextFileMask(TProtocolData& P, char* buffer);
void aapPrepareReading(TProtocolData& P);
bool aapReadProtocolBlock(TProtocolData& P, std::uint8_t* block, std::uint32_t& size);
void aapFinishReading(TProtocolData& P);
void aapPrepareWriting(TProtocolData& P);
// Creates the file of a received file whose name is taken: PathName with the first character
// of its name replaced by "$" ("$1", "$2" ... when that one is taken too), which PathName then
// holds; a name that grows past the path limit is shortened as apSetReceivePath does. An
// existing file is never opened. Gives the file's descriptor, or the negated errno (PathName
// then names the file that was asked for again).
int apCreateRenamed(TProtocolData& P);
// True, with -3 "Path not found" reported, when PathName is the refused name of a received
// file (PathRefused): the prepare-writing hooks make nothing then.
bool apRefusedPath(TProtocolData& P);
bool aapWriteProtocolBlock(TProtocolData& P, const std::uint8_t* block, std::uint32_t size);
void aapFinishWriting(TProtocolData& P);
// PathName of a received file from the name the sender gave: in DestinationDirectory by the
// name's file-name part, or, with option 0x0002, by its relative directories too (made when
// missing). A name that is absolute or steps up with ".." keeps only its file-name part, so
// a sender never writes outside the destination. Backslashes count as separators.
// A path longer than PathName holds has its file-name part shortened (the stem is cut and the
// extension kept while one character of the stem is left, at character boundaries of UTF-8);
// when not one character of the name fits, the name is refused (PathRefused).
void apSetReceivePath(TProtocolData& P, const std::string& name);
// The received file in PathName, looked at and opened without following a link below
// DestinationDirectory, neither the file's own name nor a folder on the way: a sender never
// reaches outside the destination through a link in it. The destination folder itself may be a
// link (the user chose it), and so may the folder of a path of the caller's that lies elsewhere.
// What lies at PathName (of a link the link itself): 0 and its status, or the negated errno.
int apStatReceived(const TProtocolData& P, struct stat& st);
// Opens PathName with the given open flags, never through a link (a link there or on the way
// fails the open), and only a plain file (a pipe, a device or a folder there gives -EACCES):
// the descriptor, or the negated errno.
int apOpenReceived(const TProtocolData& P, int flags);
std::uint32_t apCrc32OfFile(TProtocolData& P, const char* name, std::int32_t len);

// ---------------------------------------------------------------------------------------
// Notices (the default hooks)
// ---------------------------------------------------------------------------------------
void apMsgStatus(TProtocolData& P, unsigned options);
void apMsgLog(TProtocolData& P, unsigned code);
bool apMsgNextFile(TProtocolData& P, char* buffer);
bool apMsgAcceptFile(TProtocolData& P, char* name);

// ---------------------------------------------------------------------------------------
// Check values, numbers and time stamps
// ---------------------------------------------------------------------------------------
std::uint32_t apUpdateChecksum(std::uint8_t c, std::uint32_t sum);
std::uint32_t apUpdateCrc(std::uint8_t c, std::uint32_t crc);
std::uint32_t apUpdateCrcKermit(std::uint8_t c, std::uint32_t crc);
// apUpdateCrcKermit over the bytes from `from` up to `to`.
std::uint32_t apUpdateCrcKermitBlock(const std::uint8_t* from, const std::uint8_t* to, std::uint32_t crc);
std::uint32_t apUpdateCrc32(std::uint8_t c, std::uint32_t crc);
std::string apOctalStr(std::uint32_t value);
std::uint32_t apOctalStr2Long(const std::string& text);
std::string apTrimZeros(const std::string& text);
std::uint32_t apPackToYMTimeStamp(std::uint32_t packedDate);
std::uint32_t apYMTimeStampToPack(std::uint32_t seconds);
std::uint32_t apCurrentTimeStamp();
// Packed DOS date of a Unix file time, taken in local time; and the reverse (0 when invalid).
std::uint32_t apPackFileTime(std::int64_t unixTime);
bool apUnpackToFileTime(std::uint32_t packedDate, std::int64_t& unixTime);

// Upper-cases the file-name part of a NUL-ended path in place (ASCII letters); the
// directory part stays, as this file system tells cases apart.
void apUpcase(char* name);
// The native directory separator of the file system.
constexpr char apPathDelim = '/';
