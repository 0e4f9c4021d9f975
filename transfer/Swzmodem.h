#pragma once
// ZModem engine: batches of files in frames of a header (hex, binary with CRC-16 or with
// CRC-32) and data subpackets with ZDLE escaping; streaming without acknowledgements,
// repositioning on errors, file management options, crash recovery (resuming a partial
// file) and 1024 or 8192-byte subpackets.
#include <cstdint>

#include "transfer/Swabspcl.h"

// Frame types.
constexpr std::uint8_t ZRQINIT = 0, ZRINIT = 1, ZSINIT = 2, ZACK = 3, ZFILE = 4, ZSKIP = 5, ZNAK = 6,
                       ZABORT = 7, ZFIN = 8, ZRPOS = 9, ZDATA = 10, ZEOF = 11, ZFERR = 12, ZCRC = 13,
                       ZCHALLENGE = 14, ZCOMPL = 15, ZCAN = 16, ZFREECNT = 17, ZCOMMAND = 18;
// Bytes on the line.
constexpr std::uint8_t ZPAD = '*', ZDLE = 0x18, ZBIN = 'A', ZHEX = 'B', ZBIN32 = 'C';
constexpr std::uint8_t ZCRCE = 'h', ZCRCG = 'i', ZCRCQ = 'j', ZCRCW = 'k', ZRUB0 = 'l', ZRUB1 = 'm';
// ZRINIT flags of this receiver (full duplex, overlapped I/O, break, 32-bit CRC) and the ones
// a sender reads.
constexpr std::uint8_t zpReceiverFlags = 0x27;
constexpr std::uint8_t CANFC32 = 0x20, ESCCTL = 0x40;
// Conversion option of ZFILE: resume an interrupted file.
constexpr std::uint8_t ZCRESUM = 3;

int zpInit(TProtocolData*& P, TSioCustomComPort* port, std::uint32_t options);
int zpReinit(TProtocolData& P);
void zpDonePart(TProtocolData& P);
void zpDone(TProtocolData*& P);

int zpSetFileMgmtOptions(TProtocolData& P, bool override, bool skipNoFile, std::uint8_t option);
int zpSetRecoverOption(TProtocolData& P, bool on);
int zpSetBigSubpacketOption(TProtocolData& P, bool on);
int zpSetZmodemFinishWait(TProtocolData& P, std::uint32_t ticks, std::uint32_t retry);

void zpPrepareTransmit(TProtocolData& P);
void zpTransmit(UINT msg, WPARAM wParam, LPARAM lParam);
void zpPrepareReceive(TProtocolData& P);
void zpReceive(UINT msg, WPARAM wParam, LPARAM lParam);

// The ZModem file hooks that replace the default writing ones: file management options,
// resuming and appending (behind the bytes that are there), the file's date at the end.
void zpPrepareWriting(TProtocolData& P);
void zpFinishWriting(TProtocolData& P);

// Escapes len bytes of data into out (room for 2 × len); last is the byte sent before them
// (the CR-after-at-sign rule) and becomes the last one of them. Gives the escaped length.
std::uint32_t zpEscape(const std::uint8_t* data, std::uint32_t len, std::uint8_t* out, std::uint8_t& last,
                       bool escapeAll);
