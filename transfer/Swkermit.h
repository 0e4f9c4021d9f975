#pragma once
// Kermit engine: batches of files in printable packets with control quoting, optional 8th-bit
// and repeat-count prefixing, one- or two-character checksums or the three-character CRC, long
// packets up to 1024 bytes and sliding windows of up to 27 packets.
//
// The engine's own state lives in the record's DataBlock (a TKermitTail), so the shared record
// needs no fields of its own for it.
#include <cstdint>

#include "transfer/Swabspcl.h"

// Options, in the order and with the widths of the stored option block (20 bytes).
struct TKermitOptions {
  std::uint8_t MaxPacketLen = 80;  // longest normal packet (at most 94)
  std::uint8_t MaxTimeout = 5;     // seconds the other side should wait for a packet
  std::uint8_t PadCount = 0;
  std::uint8_t PadChar = 0;
  std::uint8_t Terminator = 13;
  char CtlPrefix = '#';
  char HibitPrefix = 'Y';  // "Y": willing when the other side asks
  char Check = '1';        // "1", "2" or "3"
  char RepeatPrefix = '~';
  std::uint8_t CapabilitiesMask = 0;  // 2 long packets, 4 sliding windows
  std::uint8_t WindowSize = 0;        // 1 to 27; 0 = no windows
  std::uint8_t Reserved1 = 0;
  std::uint32_t MaxLongPacketLen = 0;  // at most 1024; 0 = no long packets
  std::uint32_t Reserved2 = 0;
};
static_assert(sizeof(TKermitOptions) == 20, "the option block is 20 bytes");

constexpr std::uint8_t kpCapLongPackets = 2;
constexpr std::uint8_t kpCapSlidingWindows = 4;
constexpr std::uint32_t kpMaxData = 1024;  // longest data field of a packet
constexpr std::uint32_t kpMaxWindows = 27;
constexpr std::uint32_t kpInBuffSize = 4096;

enum TKermitState : std::uint8_t {
  tkInit,
  tkInitReply,
  tkCollectInit,
  tkOpenFile,
  tkSendFile,
  tkFileReply,
  tkCollectFile,
  tkCheckTable,
  tkSendData,
  tkBlockReply,
  tkCollectBlock,
  tkSendEof,
  tkEofReply,
  tkCollectEof,
  tkSendBreak,
  tkBreakReply,
  tkCollectBreak,
  tkComplete,
  tkWaitCancel,
  tkError,
  tkDone,
  rkInit,
  rkGetInit,
  rkCollectInit,
  rkGetFile,
  rkCollectFile,
  rkGetData,
  rkCollectData,
  rkComplete,
  rkWaitCancel,
  rkError,
  rkDone
};
enum TKermitHeaderState : std::uint8_t {
  hskNone,
  hskGotMark,
  hskGotLen,
  hskGotSeq,
  hskGotType,
  hskGotLong1,
  hskGotLong2,
  hskDone
};
enum TKermitDataState : std::uint8_t { dskData, dskCheck1, dskCheck2, dskCheck3 };

// Dispatch-log sub-kinds of the states (tkInit .. tkDone, then rkInit .. rkDone): dsttkInit
// and dstrkInit of the protocol base.
static_assert(dstrkInit == dsttkInit + rkInit && dsttkInit + rkDone < dstBPlusFirst);

// One slot of the window table.
struct TKermitSlot {
  std::uint32_t Len = 0;        // encoded data length
  std::uint32_t FileBytes = 0;  // file bytes the packet carries (sending side)
  std::uint8_t Seq = 0;
  bool InUse = false;
  bool Acked = false;  // sending: acknowledged; receiving: received
  std::uint32_t Retries = 0;
  std::uint8_t Data[kpMaxData];
};

// The engine's part of a run.
struct TKermitTail {
  char PacketType = 0;  // type of the packet just read
  TKermitState KermitState = tkInit;
  TKermitHeaderState HeaderState = hskNone;
  TKermitDataState DataState = dskData;
  bool CheckKnown = false;  // the Send-Init exchange is over
  bool LPInUse = false;
  bool UsingHibit = false;
  bool UsingRepeat = false;
  bool ReceiveInProgress = false;   // a received file is open (this run created it)
  bool TransmitInProgress = false;  // a file is being sent and not yet logged
  bool FileSkipped = false;         // the current incoming file was refused or skipped
  std::uint32_t DataLen = 0;        // data length of the packet being built
  std::uint32_t RecDataLen = 0;     // data length of the packet read
  std::uint8_t RecBlockNum = 0;     // its sequence number
  std::uint32_t RepeatThreshold = 4;
  std::uint8_t LastSeq = 0;      // sequence number of the last packet sent
  std::uint8_t ExpectedSeq = 0;  // receiving: the next sequence number expected
  std::uint8_t TailSeq = 0;      // receiving: sequence number of the table's oldest slot
  TKermitOptions Options;        // ours
  TKermitOptions RmtOptions;     // the other side's, as received
  // Values in use after the negotiation.
  std::uint32_t PacketLen = 80;  // longest packet we send
  char CheckChar = '1';
  char HibitChar = 0;
  std::uint32_t SWCTurnDelay = 0;
  // Input: the bytes taken from the port, read from InHead up to InTail.
  std::uint8_t InBuff[kpInBuffSize];
  std::uint32_t InHead = 0, InTail = 0;
  std::uint32_t PacketStart = 0;  // offset of the SOH of the packet being read
  std::uint32_t HeaderLen = 0;    // header characters after the SOH
  std::uint32_t CheckLen = 1;     // check characters of the packet being read
  // File data to send.
  std::uint8_t FileBuff[kpMaxData];
  std::uint32_t FileBuffLen = 0, FileBuffIndex = 0;
  bool FileAtEnd = false;  // the read hook reported the end of the file
  bool EndOfData = false;  // and its bytes are all in packets
  // The data field of the packet read (all types but "D").
  std::uint8_t PacketBuff[kpMaxData];
  // Window table (slots 0 .. TableSize - 1 round the ring).
  TKermitSlot Slots[kpMaxWindows];
  std::uint32_t TableSize = 1;
  std::uint32_t TableHead = 0;  // newest slot in use (sending) / slot of ExpectedSeq - 1
  std::uint32_t TableTail = 0;  // oldest slot in use
  std::uint32_t SlotsInUse = 0;
  std::uint32_t SendSlot = 0;  // the slot that tkSendData puts on the line
};

int kpInit(TProtocolData*& P, TSioCustomComPort* port, std::uint32_t options);
int kpReinit(TProtocolData& P);
void kpDonePart(TProtocolData& P);
void kpDone(TProtocolData*& P);
// The engine's part of the record, or null when the record is not a Kermit one.
TKermitTail* kpTail(TProtocolData& P);

int kpSetKermitOptions(TProtocolData& P, const TKermitOptions& options);
int kpSetMaxPacketLen(TProtocolData& P, std::uint32_t n);
int kpSetMaxLongPacketLen(TProtocolData& P, std::uint32_t n);
int kpSetMaxWindows(TProtocolData& P, std::uint32_t n);
int kpSetSWCTurnDelay(TProtocolData& P, std::uint32_t ms);
std::uint32_t kpGetSWCSize(TProtocolData& P);
int kpGetLPStatus(TProtocolData& P, bool& inUse, std::uint32_t& length);
int kpSetMaxTimeoutSecs(TProtocolData& P, std::uint32_t secs);
int kpSetPacketPadding(TProtocolData& P, std::uint8_t padChar, std::uint32_t padCount);
int kpSetTerminator(TProtocolData& P, std::uint8_t c);
int kpSetCtlPrefix(TProtocolData& P, char c);
int kpSetHibitPrefix(TProtocolData& P, char c);
int kpSetRepeatPrefix(TProtocolData& P, char c);
int kpSetKermitCheck(TProtocolData& P, TBlockCheckMethod method);
std::uint32_t kpWindowsUsed(TProtocolData& P);

void kpPrepareTransmit(TProtocolData& P);
void kpTransmit(UINT msg, WPARAM wParam, LPARAM lParam);
void kpPrepareReceive(TProtocolData& P);
void kpReceive(UINT msg, WPARAM wParam, LPARAM lParam);

// Building blocks, open for the tests of the packet layer.
// Encodes file bytes into data characters: consumes from src[index..len) while the encoding
// fits in room; returns the characters written to out.
std::uint32_t kpEncodeData(const TKermitTail& T, const std::uint8_t* src, std::uint32_t len,
                           std::uint32_t& index, std::uint8_t* out, std::uint32_t room);
// Decodes data characters into bytes; returns the byte count.
std::uint32_t kpDecodeData(const TKermitTail& T, const std::uint8_t* src, std::uint32_t len,
                           std::uint8_t* out, std::uint32_t outSize);
// The whole packet as it goes on the line (padding, mark, header, data, check, terminator).
std::uint32_t kpBuildPacket(const TKermitTail& T, char type, std::uint8_t seq, const std::uint8_t* data,
                            std::uint32_t len, char check, std::uint8_t* out);
// The check characters of the given check type over bytes [from, to).
std::uint32_t kpBlockCheck(char check, const std::uint8_t* from, const std::uint8_t* to, std::uint8_t out[3]);
