#pragma once
// B+ engine: the user's side of a host session. The host starts everything: it sends ENQ,
// an ESC I inquiry and a DLE "B" packet, which the terminal passes to the protocol
// component's B+ hooks; they answer the inquiries, agree on the transport parameters ("+"
// packets) and read the host's transfer request ("T" packet) that names the file and the
// direction. Then the transmit or receive machine runs. Packets carry a sequence digit, a
// type, quoted data and an 8-bit check or a CRC-16; up to two packets may be outstanding; a
// download can resume an existing partial file.
//
// The engine's own state lives in the record's DataBlock (a TBPlusTail).
#include <cstdint>
#include <string>
#include <vector>

#include "transfer/Swabspcl.h"

constexpr std::uint8_t bpDLE = 0x10, bpENQ = 0x05, bpETX = 0x03, bpNAK = 0x15, bpESC = 0x1B;
constexpr std::uint32_t bpMaxBlock = 2048;  // the largest data field of a packet
constexpr int bpMaxErrors = 10;

// Status codes of the engine beyond the common ones.
constexpr int psTryResume = 4722;
constexpr int psHostResume = 4723;
constexpr int psHostBusy = 4724;  // internal: the host works, keep waiting

enum TBPlusState : std::uint8_t {
  rbInitial,
  rbGetDLE,
  rbGetB,
  rbCollectPacket,
  rbProcessPacket,
  rbFinished,
  rbSendEnq,
  rbError,
  rbWaitErrorAck,
  rbCleanup,
  rbDone,
  tbInitial,
  tbGetBlock,
  tbWaitFreeSpace,
  tbSendData,
  tbCheckAck,
  tbEndOfFile,
  tbEofAck,
  tbError,
  tbWaitErrorAck,
  tbCleanup,
  tbDone
};
enum TPacketState : std::uint8_t {
  psGetDLE,
  psGetB,
  psGetSeq,
  psGetType,
  psGetData,
  psGetCheck1,
  psGetCheck2,
  psCheckCheck,
  psSendAck,
  psError,
  psSuccess
};
enum TAckCollectionState : std::uint8_t {
  acGetDLE,
  acGetNum,
  acHaveAck,
  acGetPacket,
  acCollectPacket,
  acSkipPacket1,
  acSkipPacket2,
  acSkipPacket3,
  acSkipPacket4,
  acSkipPacket5,
  acTimeout,
  acError,
  acSendNak,
  acSendEnq,
  acResync1,
  acResync2,
  acResync3,
  acResync4,
  acSendData,
  acFailed
};
enum TTermPacketState : std::uint8_t {
  tpsWaitB,
  tpsWaitSeq,
  tpsWaitType,
  tpsCollectPlus,
  tpsCollectAckPlus,
  tpsCollectT,
  tpsCollectAckT,
  tpsError
};

// Dispatch-log sub-kinds of the states (after those of the other engines).
constexpr TDispatchSubType dstrbInitial = 252;

// The host's "+" packet, in the order of its bytes.
struct TBPlusParms {
  std::uint8_t SendWindow = 0, RecvWindow = 0, BlockSize = 0, CheckMethod = 0, QuoteLevel = 0,
               TransportExt = 0;
  std::uint8_t QuoteSet[8] = {};
  std::uint8_t DownloadResume = 0, UploadResume = 0, FileInfo = 0;
};
// What this side agreed.
struct TBPlusOurParms {
  std::uint8_t Window = 1, BlockSize = 4, Crc = 0, DownloadResume = 0, FileInfo = 0;
};

struct TBPlusSlot {
  int Seq = 0;
  std::uint32_t Len = 0;
  char Type = 0;
  std::uint8_t Data[bpMaxBlock];
};

struct TBPlusTail {
  std::uint8_t LastAckChar = 0;
  bool HostParmsLong = false;
  bool Quoted = false;
  bool FirstPacket = false;
  bool Aborting = false;
  bool ParmsAgreed = false;
  bool DlePending = false;
  bool ResendPending = false;
  bool NakSent = false;
  std::uint16_t Check = 0;
  std::uint16_t RecvCheck = 0;
  std::uint32_t TimerTrigger = 0;
  std::uint32_t OwnTrigger = 0;  // the timer trigger of the DLE processing
  int NextSeq = 1;
  int RecvSeq = 0;
  std::uint8_t PacketType = 0;
  std::uint32_t PacketLength = 0;  // bytes in RecvBuffer (type byte first)
  int Seq = 0;
  int OldestSlot = 1, NextSlot = 1, Outstanding = 0;
  int WindowSize = 1;
  int SlowDown = 0;
  TBPlusSlot Slots[2];
  std::uint8_t RecvBuffer[bpMaxBlock + 1];
  std::uint8_t QuoteTable[256] = {};
  TBPlusParms HostParms;
  TBPlusOurParms OurParms;
  std::uint32_t OfferedBlockSize = 8;  // in 128-byte units
  TBPlusState BPlusState = rbInitial;
  TPacketState PacketState = psGetDLE;
  TAckCollectionState AckState = acGetDLE;
  TTermPacketState TermState = tpsWaitB;
  // Work values of the machines.
  std::uint32_t AckedBytes = 0;  // data bytes the last acknowledgement confirmed
  bool EndOfData = false;        // the read hook has delivered the file's last block
  bool HostAbort = false;        // the host sent a failure packet
  int AckErrors = 0;             // errors of the acknowledgement collector
  int SkipCount = 0;             // check bytes still to skip while aborting
  std::uint32_t ResumeLength = 0;
};

int bpInit(TProtocolData*& P, TSioCustomComPort* port, std::uint32_t options);
int bpReinit(TProtocolData& P);
void bpDonePart(TProtocolData& P);
void bpDone(TProtocolData*& P);
// The engine's part of the record, or null when the record is not a B+ one.
TBPlusTail* bpTail(TProtocolData& P);

// Host hooks of the terminal.
int bpProcessENQ(TProtocolData& P);
int bpProcessESCI(TProtocolData& P, std::uint8_t first, std::uint8_t second);
int bpPrepareProcessDLE(TProtocolData& P, std::uint32_t& handle);
// Walks the host's start packets while bytes wait. start: the transfer may start (upload
// tells the direction); error: the start failed (the result holds the code).
int bpProcessDLE(TProtocolData& P, bool dleSeen, bool& start, bool& upload, bool& error);

void bpPrepareTransmit(TProtocolData& P);
void bpTransmit(UINT msg, WPARAM wParam, LPARAM lParam);
void bpPrepareReceive(TProtocolData& P);
void bpReceive(UINT msg, WPARAM wParam, LPARAM lParam);

// Building blocks, open for the tests of the packet layer.
std::uint16_t bpUpdateCheck8(std::uint8_t c, std::uint16_t check);
std::uint16_t bpUpdateCrc(std::uint8_t c, std::uint16_t crc);
// The quote table of one quote set (8 bytes, one bit a character, most significant first).
void bpBuildQuoteTable(std::uint8_t table[256], const std::uint8_t set[8], bool clear = true);
extern const std::uint8_t DQDefault[8];
extern const std::uint8_t DQFull[8];
// A packet as it goes on the line: DLE "B", sequence digit, type, quoted data, ETX, check.
std::vector<std::uint8_t> bpBuildPacket(const std::uint8_t quote[256], bool crc, int seq, char type,
                                        const std::uint8_t* data, std::uint32_t len);
// The name part of a host's file name (no directory, no drive); empty when none is left.
std::string bpNamePart(const std::string& name);
