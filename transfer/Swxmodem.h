#pragma once
// XModem engine: one file in checksum, CRC-16, 1K and 1K-G variants. The YModem engine runs
// the two state machines of this unit for the data of each file.
#include <cstdint>

#include "transfer/Swabspcl.h"

constexpr std::uint8_t cSoh = 0x01, cStx = 0x02, cEot = 0x04, cAck = 0x06, cBs = 0x08, cNak = 0x15,
                       cCan = 0x18;

int xpInit(TProtocolData*& P, TSioCustomComPort* port, bool crc, bool oneK, bool g, std::uint32_t options);
int xpReinit(TProtocolData& P, bool crc, bool oneK, bool g);
void xpDone(TProtocolData*& P);
int xpSetCRCMode(TProtocolData& P, bool on);
int xpSet1KMode(TProtocolData& P, bool on);
int xpSetGMode(TProtocolData& P, bool on);
int xpSetBlockWait(TProtocolData& P, std::uint32_t ticks);
int xpSetXmodemFinishWait(TProtocolData& P, std::uint32_t ticks);

void xpPrepareTransmit(TProtocolData& P);
void xpTransmit(UINT msg, WPARAM wParam, LPARAM lParam);
void xpPrepareReceive(TProtocolData& P);
void xpReceive(UINT msg, WPARAM wParam, LPARAM lParam);

// The machines' work for one call (the record's Lock held by the caller): msg is the
// message of the call (0, a trigger notice or the cancel message), trigger the handle that
// fired (0: waiting data). fromYmodem: the YModem engine drives the data phase and finishes
// the run itself. Result 1 once the machine has finished, else 0.
int xpTransmitPrim(TProtocolData& P, TSioBaseDispatcher& D, UINT msg, std::uint32_t trigger, bool fromYmodem);
int xpReceivePrim(TProtocolData& P, TSioBaseDispatcher& D, UINT msg, std::uint32_t trigger, bool fromYmodem);

// Building blocks shared with YModem.
bool xpPrepHandshake(TProtocolData& P, TSioBaseDispatcher& D);
void xpCancel(TProtocolData& P, TSioBaseDispatcher& D);
// A lost carrier or a cancel request in the message that starts a call of a state machine:
// cancels the peer on a cancel request, sets the status and reports true; the caller then
// moves to its finished state.
bool xpAbortRequested(TProtocolData& P, TSioBaseDispatcher& D, UINT msg, std::uint32_t trigger);
// Reads one handshake byte: true for NAK, "C" or "G" (the check method follows from it).
bool xpProcessHandshake(TProtocolData& P, TSioBaseDispatcher& D);
// Transmit-side reply to a block; true when the block is accepted.
bool xpProcessBlockReply(TProtocolData& P, TSioBaseDispatcher& D);
// Sends the block in DataBlock (BlockLength bytes); false on failure (ProtocolError set).
bool xpTransmitBlock(TProtocolData& P, TSioBaseDispatcher& D, const std::uint8_t* data);
void xpSendHandshakeChar(TProtocolData& P, TSioBaseDispatcher& D);
void xpRecomputeType(TProtocolData& P);
enum TProcessBlockStart { pbsNone, pbs128, pbs1024, pbsCancel, pbsEOT };
// Skips to a block start; true with the start character in c.
bool xpCheckForBlockStart(TProtocolData& P, TSioBaseDispatcher& D, std::uint8_t& c);
TProcessBlockStart xpProcessBlockStart(TProtocolData& P, TSioBaseDispatcher& D, std::uint8_t c);
// Collects block bytes; true once the block is complete.
bool xpCollectBlock(TProtocolData& P, TSioBaseDispatcher& D);
// Checks the collected block against the expected BlockNumber and sends the reply.
void xpReceiveBlock(TProtocolData& P, TSioBaseDispatcher& D);
// The status step of the machines' frame.
void xpStatusStep(TProtocolData& P, TSioBaseDispatcher& D, std::uint32_t trigger);
