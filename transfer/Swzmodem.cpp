// ZModem engine.
#include "transfer/Swzmodem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>

#include "serial/SioMisc.h"
#include "serial/SioPort.h"
#include "serial/Sioexcept.h"

namespace {

constexpr std::uint8_t XON = 0x11, XOFF = 0x13, CAN = 0x18, BS = 0x08;
constexpr std::uint32_t InBufferSize = 16384;
// Most time one call of the sender spends sending before it lets the dispatcher look at its
// other triggers.
constexpr std::uint32_t SendBudgetMs = 20;
// How long a file header waits for its answer after a ZRINIT came instead (2 seconds).
constexpr std::uint32_t ZrinitGraceTicks = 36;
// Errors allowed while data flow (beyond them the run ends with too many errors).
constexpr std::int32_t MaxDataErrors = 20;

// ---------------------------------------------------------------------------------------
// Check values
// ---------------------------------------------------------------------------------------
struct CrcTables {
  std::uint16_t c16[256];
  std::uint32_t c32[256];
  // 1: always escaped; 2: escaped when every control character is.
  std::uint8_t esc[256];
  CrcTables() {
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i << 8;
      for (int b = 0; b < 8; ++b) c = (c & 0x8000) ? ((c << 1) ^ 0x1021) : (c << 1);
      c16[i] = static_cast<std::uint16_t>(c);
      std::uint32_t r = i;
      for (int b = 0; b < 8; ++b) r = (r & 1) ? ((r >> 1) ^ 0xEDB88320u) : (r >> 1);
      c32[i] = r;
      esc[i] = (i & 0x60) == 0 ? 2 : 0;
    }
    for (std::uint8_t b : {0x10, 0x11, 0x13, 0x18, 0x90, 0x91, 0x93}) esc[b] = 1;
  }
};
const CrcTables& T() {
  static const CrcTables t;
  return t;
}
inline std::uint16_t Crc16(std::uint16_t crc, std::uint8_t c) {
  return static_cast<std::uint16_t>((crc << 8) ^ T().c16[((crc >> 8) ^ c) & 0xFF]);
}
inline std::uint32_t Crc32(std::uint32_t crc, std::uint8_t c) {
  return T().c32[(crc ^ c) & 0xFF] ^ (crc >> 8);
}

std::uint32_t Position(const std::uint8_t h[5]) {
  return static_cast<std::uint32_t>(h[1]) | (static_cast<std::uint32_t>(h[2]) << 8) |
         (static_cast<std::uint32_t>(h[3]) << 16) | (static_cast<std::uint32_t>(h[4]) << 24);
}
void SetPosition(std::uint8_t h[4], std::uint32_t pos) {
  for (int i = 0; i < 4; ++i) h[i] = static_cast<std::uint8_t>(pos >> (8 * i));
}
// Flags of a received header: ZF0 is its last byte.
std::uint8_t ZF0(const TProtocolData& P) { return P.RxHeader[4]; }
std::uint8_t ZF1(const TProtocolData& P) { return P.RxHeader[3]; }
std::uint8_t ZF2(const TProtocolData& P) { return P.RxHeader[2]; }

bool IsZmodem(const TProtocolData& P) { return P.ProtocolType == ptZmodem; }
std::uint32_t FullBlock(const TProtocolData& P) { return P.Use8K ? 8192 : 1024; }

// ---------------------------------------------------------------------------------------
// Input: received bytes are taken from the dispatcher into InBuffer and read from there.
// ---------------------------------------------------------------------------------------
bool Fill(TProtocolData& P, TSioBaseDispatcher& D) {
  if (P.InHead == P.InTail) {
    P.InHead = P.InTail = 0;
  } else if (P.InHead > InBufferSize / 2) {
    std::memmove(P.InBuffer, P.InBuffer + P.InHead, P.InTail - P.InHead);
    P.InTail -= P.InHead;
    P.InHead = 0;
  }
  const std::uint32_t room = InBufferSize - P.InTail;
  const std::uint32_t n = std::min(room, D.InBuffUsed());
  if (n > 0 && D.GetBlock(P.InBuffer + P.InTail, n) >= 0) P.InTail += n;
  return P.InTail > P.InHead;
}
bool BytesWait(TProtocolData& P, TSioBaseDispatcher& D) { return P.InTail > P.InHead || D.CharReady(); }
void FlushIn(TProtocolData& P, TSioBaseDispatcher& D) {
  D.FlushInBuffer();
  P.InHead = P.InTail = 0;
}

// ---------------------------------------------------------------------------------------
// Output
// ---------------------------------------------------------------------------------------
inline void PutEscaped(std::uint8_t*& out, std::uint8_t c, std::uint8_t& last, bool escapeAll) {
  const std::uint8_t kind = T().esc[c];
  if (kind == 1 || (kind == 2 && escapeAll) || ((c & 0x7F) == 0x0D && (last & 0x7F) == 0x40)) {
    *out++ = ZDLE;
    *out++ = static_cast<std::uint8_t>(c ^ 0x40);
  } else {
    *out++ = c;
  }
  last = c;
}

void Put(TProtocolData& P, TSioBaseDispatcher& D, const void* data, std::uint32_t len) {
  if (len == 0) return;
  int r = D.PutBlock(data, len);
  if (r < 0 && P.ProtocolError == 0) apProtocolError(P, r);
}

void SendHexHeader(TProtocolData& P, TSioBaseDispatcher& D, std::uint8_t type, const std::uint8_t h[4]) {
  static const char hex[] = "0123456789abcdef";
  std::uint8_t buf[32];
  std::size_t n = 0;
  buf[n++] = ZPAD;
  buf[n++] = ZPAD;
  buf[n++] = ZDLE;
  buf[n++] = ZHEX;
  std::uint16_t crc = 0;
  const std::uint8_t bytes[5] = {type, h[0], h[1], h[2], h[3]};
  for (std::uint8_t b : bytes) {
    buf[n++] = static_cast<std::uint8_t>(hex[b >> 4]);
    buf[n++] = static_cast<std::uint8_t>(hex[b & 15]);
    crc = Crc16(crc, b);
  }
  for (std::uint8_t b : {static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc & 0xFF)}) {
    buf[n++] = static_cast<std::uint8_t>(hex[b >> 4]);
    buf[n++] = static_cast<std::uint8_t>(hex[b & 15]);
  }
  buf[n++] = 0x0D;
  buf[n++] = 0x8A;
  if (type != ZFIN && type != ZACK) buf[n++] = XON;
  Put(P, D, buf, static_cast<std::uint32_t>(n));
  P.LastFrame = type;
  P.LastSent = 0;
}

bool SendsCrc32(const TProtocolData& P) { return P.CheckType == bcmCrc32 && P.CanCrc32; }

void SendBinHeader(TProtocolData& P, TSioBaseDispatcher& D, std::uint8_t type, const std::uint8_t h[4]) {
  std::uint8_t buf[40];
  std::uint8_t* out = buf;
  const bool crc32 = SendsCrc32(P);
  *out++ = ZPAD;
  *out++ = ZDLE;
  *out++ = crc32 ? ZBIN32 : ZBIN;
  const std::uint8_t bytes[5] = {type, h[0], h[1], h[2], h[3]};
  std::uint8_t last = 0;
  if (crc32) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint8_t b : bytes) {
      PutEscaped(out, b, last, P.EscapeAll);
      crc = Crc32(crc, b);
    }
    crc = ~crc;
    for (int i = 0; i < 4; ++i) PutEscaped(out, static_cast<std::uint8_t>(crc >> (8 * i)), last, P.EscapeAll);
  } else {
    std::uint16_t crc = 0;
    for (std::uint8_t b : bytes) {
      PutEscaped(out, b, last, P.EscapeAll);
      crc = Crc16(crc, b);
    }
    PutEscaped(out, static_cast<std::uint8_t>(crc >> 8), last, P.EscapeAll);
    PutEscaped(out, static_cast<std::uint8_t>(crc & 0xFF), last, P.EscapeAll);
  }
  Put(P, D, buf, static_cast<std::uint32_t>(out - buf));
  P.LastFrame = type;
  P.LastSent = last;
}

// The escaped subpacket of len data bytes with its frame end and check into out; the length.
std::uint32_t BuildSubpacket(TProtocolData& P, const std::uint8_t* data, std::uint32_t len, std::uint8_t end,
                             std::uint8_t* out) {
  std::uint8_t* o = out + zpEscape(data, len, out, P.LastSent, P.EscapeAll);
  *o++ = ZDLE;
  *o++ = end;
  if (SendsCrc32(P)) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint32_t i = 0; i < len; ++i) crc = Crc32(crc, data[i]);
    crc = ~Crc32(crc, end);
    for (int i = 0; i < 4; ++i)
      PutEscaped(o, static_cast<std::uint8_t>(crc >> (8 * i)), P.LastSent, P.EscapeAll);
  } else {
    std::uint16_t crc = 0;
    for (std::uint32_t i = 0; i < len; ++i) crc = Crc16(crc, data[i]);
    crc = Crc16(crc, end);
    PutEscaped(o, static_cast<std::uint8_t>(crc >> 8), P.LastSent, P.EscapeAll);
    PutEscaped(o, static_cast<std::uint8_t>(crc & 0xFF), P.LastSent, P.EscapeAll);
  }
  if (end == ZCRCW) *o++ = XON;
  return static_cast<std::uint32_t>(o - out);
}

void SendCancel(TProtocolData& P, TSioBaseDispatcher& D) {
  static const std::uint8_t seq[] = {CAN, CAN, CAN, CAN, CAN, CAN, CAN, CAN, BS,
                                     BS,  BS,  BS,  BS,  BS,  BS,  BS,  BS,  BS};
  D.FlushOutBuffer();
  D.PutBlock(seq, sizeof seq);
}

void SendAttention(TProtocolData& P, TSioBaseDispatcher& D) {
  for (std::size_t i = 0; i < sizeof P.AttentionString && P.AttentionString[i]; ++i) {
    const std::uint8_t c = P.AttentionString[i];
    if (c == 0xDD || c == 0xDE) continue;  // a break or a pause: nothing to send here
    D.PutChar(c);
  }
}

// ---------------------------------------------------------------------------------------
// Reading headers and subpackets
// ---------------------------------------------------------------------------------------
enum THeaderResult { hrMore, hrGot, hrBad, hrCancel };

bool CountCan(TProtocolData& P, std::uint8_t c) {
  if (c != CAN) {
    P.CanCount = 0;
    return false;
  }
  return ++P.CanCount >= 5;
}

THeaderResult HeaderDone(TProtocolData& P) {
  const std::uint8_t prev = P.LastFrame;
  std::memcpy(P.RxHeader, P.HeaderBytes, 5);
  P.HeaderState = hsNone;
  // A ZEOF from before the reposition this side asked for is stale.
  if (P.RxHeader[0] == ZEOF && prev == ZRPOS && P.ZmodemState >= rzRqstFile) return hrMore;
  if (prev == ZACK || prev == ZRPOS || prev == ZDATA || prev == ZEOF) {
    P.LastPosition = Position(P.RxHeader);
  }
  P.LastFrame = P.RxHeader[0];
  P.HeaderState = hsGotHeader;
  return hrGot;
}

THeaderResult BadHeader(TProtocolData& P) {
  P.HeaderState = hsNone;
  P.ProtocolStatus = psBlockCheckError;
  ++P.TotalErrors;
  return hrBad;
}

// Collects a header from the bytes that wait: hrGot with RxHeader filled.
THeaderResult CollectHeader(TProtocolData& P, TSioBaseDispatcher& D) {
  if (P.HeaderState == hsGotHeader) P.HeaderState = hsNone;
  for (;;) {
    if (P.InHead == P.InTail && !Fill(P, D)) return hrMore;
    const std::uint8_t c = P.InBuffer[P.InHead++];
    if (CountCan(P, c)) {
      P.HeaderState = hsNone;
      P.ProtocolStatus = psCancelRequested;
      return hrCancel;
    }
    const std::uint8_t c7 = c & 0x7F;
    switch (P.HeaderState) {
      case hsNone:
      case hsGotHeader:
        if (c7 == ZPAD) P.HeaderState = hsGotZPad;
        break;
      case hsGotZPad:
        if (c == ZDLE)
          P.HeaderState = hsGotZDle;
        else if (c7 != ZPAD)
          P.HeaderState = hsNone;
        break;
      case hsGotZDle:
        P.BinCount = P.HexCount = 0;
        P.ZdlePending = P.HalfHexPending = false;
        if (c7 == ZBIN)
          P.HeaderState = hsGotZBin;
        else if (c7 == ZBIN32)
          P.HeaderState = hsGotZBin32;
        else if (c7 == ZHEX)
          P.HeaderState = hsGotZHex;
        else
          P.HeaderState = hsNone;
        break;
      case hsGotZBin:
      case hsGotZBin32: {
        std::uint8_t b = c;
        if (P.ZdlePending) {
          if (c == CAN) break;  // the cancel count goes on
          P.ZdlePending = false;
          if (c == ZRUB0)
            b = 0x7F;
          else if (c == ZRUB1)
            b = 0xFF;
          else if ((c & 0x60) == 0x40)
            b = static_cast<std::uint8_t>(c ^ 0x40);
          else
            return BadHeader(P);
        } else if (c == ZDLE) {
          P.ZdlePending = true;
          break;
        } else if (c7 == XON || c7 == XOFF) {
          break;
        }
        P.HeaderBytes[P.BinCount++] = b;
        const bool crc32 = P.HeaderState == hsGotZBin32;
        if (P.BinCount < (crc32 ? 9 : 7)) break;
        bool good;
        if (crc32) {
          std::uint32_t crc = 0xFFFFFFFFu;
          for (int i = 0; i < 9; ++i) crc = Crc32(crc, P.HeaderBytes[i]);
          good = crc == 0xDEBB20E3u;
        } else {
          std::uint16_t crc = 0;
          for (int i = 0; i < 7; ++i) crc = Crc16(crc, P.HeaderBytes[i]);
          good = crc == 0;
        }
        if (!good) return BadHeader(P);
        P.UseCrc32 = crc32;
        P.HeaderWasHex = false;
        if (HeaderDone(P) == hrGot) return hrGot;
        break;
      }
      case hsGotZHex: {
        if (c7 == XON || c7 == XOFF) break;
        int v;
        if (c7 >= '0' && c7 <= '9')
          v = c7 - '0';
        else if (c7 >= 'a' && c7 <= 'f')
          v = c7 - 'a' + 10;
        else
          return BadHeader(P);
        if (!P.HalfHexPending) {
          P.HexByte = v << 4;
          P.HalfHexPending = true;
          break;
        }
        P.HalfHexPending = false;
        P.HeaderBytes[P.HexCount++] = static_cast<std::uint8_t>(P.HexByte | v);
        if (P.HexCount < 7) break;
        std::uint16_t crc = 0;
        for (int i = 0; i < 7; ++i) crc = Crc16(crc, P.HeaderBytes[i]);
        if (crc != 0) return BadHeader(P);
        P.UseCrc32 = false;
        P.HeaderWasHex = true;
        if (HeaderDone(P) == hrGot) return hrGot;
        break;
      }
    }
  }
}

enum TDataResult { drMore, drGood, drBad, drLong, drCancel };

void StartSubpacket(TProtocolData& P) {
  P.BlockBytes = 0;
  P.InCrcPhase = false;
  P.ZdlePending = false;
  P.CrcCount = 0;
  P.DataCrc = P.UseCrc32 ? 0xFFFFFFFFu : 0;
}

// Collects a data subpacket into dest (at most limit bytes): drGood with BlockBytes and
// FrameEnd set.
TDataResult CollectData(TProtocolData& P, TSioBaseDispatcher& D, std::uint8_t* dest, std::uint32_t limit) {
  const bool crc32 = P.UseCrc32;
  const CrcTables& t = T();
  for (;;) {
    if (P.InHead == P.InTail && !Fill(P, D)) return drMore;
    const std::uint8_t* p = P.InBuffer + P.InHead;
    const std::uint8_t* const end = P.InBuffer + P.InTail;
    std::uint32_t crc = P.DataCrc;
    std::uint32_t count = static_cast<std::uint32_t>(P.BlockBytes);
    TDataResult result = drMore;
    while (p < end) {
      const std::uint8_t c = *p++;
      std::uint8_t b = c;
      if (c == CAN) {
        if (++P.CanCount >= 5) {
          result = drCancel;
          break;
        }
      } else {
        P.CanCount = 0;
      }
      if (P.ZdlePending) {
        if (c == CAN) continue;
        P.ZdlePending = false;
        if (c >= ZCRCE && c <= ZCRCW) {
          if (P.InCrcPhase) {
            result = drBad;
            break;
          }
          P.FrameEnd = c;
          P.InCrcPhase = true;
          P.CrcCount = 0;
          crc = crc32 ? (t.c32[(crc ^ c) & 0xFF] ^ (crc >> 8))
                      : static_cast<std::uint16_t>((crc << 8) ^ t.c16[((crc >> 8) ^ c) & 0xFF]);
          continue;
        }
        if (c == ZRUB0)
          b = 0x7F;
        else if (c == ZRUB1)
          b = 0xFF;
        else if ((c & 0x60) == 0x40)
          b = static_cast<std::uint8_t>(c ^ 0x40);
        else {
          result = drBad;
          break;
        }
      } else if (c == ZDLE) {
        P.ZdlePending = true;
        continue;
      } else if ((c & 0x7F) == XON || (c & 0x7F) == XOFF) {
        continue;  // flow control, never data
      }
      crc = crc32 ? (t.c32[(crc ^ b) & 0xFF] ^ (crc >> 8))
                  : static_cast<std::uint16_t>((crc << 8) ^ t.c16[((crc >> 8) ^ b) & 0xFF]);
      if (P.InCrcPhase) {
        if (++P.CrcCount == (crc32 ? 4u : 2u)) {
          result = (crc32 ? crc == 0xDEBB20E3u : crc == 0) ? drGood : drBad;
          break;
        }
        continue;
      }
      if (count >= limit) {
        result = drLong;
        break;
      }
      dest[count++] = b;
    }
    P.InHead = static_cast<std::uint32_t>(p - P.InBuffer);
    P.DataCrc = crc;
    P.BlockBytes = static_cast<std::int32_t>(count);
    if (result == drMore) continue;
    P.InCrcPhase = false;
    P.ZdlePending = false;
    if (result == drBad) {
      P.ProtocolStatus = psBlockCheckError;
    } else if (result == drLong) {
      P.ProtocolStatus = psLongPacket;
    } else if (result == drCancel) {
      P.ProtocolStatus = psCancelRequested;
    } else {
      static const std::int32_t statuses[4] = {4718, 4719, 4721, 4720};
      P.ProtocolStatus = statuses[P.FrameEnd - ZCRCE];
    }
    return result;
  }
}

// ---------------------------------------------------------------------------------------
// Frame of the machines
// ---------------------------------------------------------------------------------------
void LogState(TProtocolData& P, TSioBaseDispatcher& D) {
  if (D.DispatchLogging())
    D.AddDispatchEntry(dtZModem, static_cast<TDispatchSubType>(dsttzInitial + P.ZmodemState), 0);
}

// The status step; true when the call was the status timer's.
bool StatusStep(TProtocolData& P, TSioBaseDispatcher& D, UINT msg, std::uint32_t trigger) {
  const bool timer = msg == SW_TRIGGERTIMER && trigger != 0 && trigger == P.StatusTimerTrigger;
  if (!timer && !P.ForceStatus) return false;
  if (P.TimerRunning) P.ElapsedTicks = ElapsedTime(P.TransferTimer);
  std::int32_t left = 0;
  if (P.StatusTimerTrigger && D.TimerTicksRemaining(P.StatusTimerTrigger, left) == 0 && left > 0 && !timer)
    return false;
  if (P.ShowStatus) P.ShowStatus(P, 0);
  if (P.StatusTimerTrigger)
    D.SetTimerTrigger(P.StatusTimerTrigger, static_cast<std::int32_t>(P.StatusInterval), true);
  P.ForceStatus = false;
  return timer;
}

// A lost carrier or the cancel message: true when the machine is to go to its error state.
bool AbortRequested(TProtocolData& P, TSioBaseDispatcher& D, UINT msg, std::uint32_t trigger) {
  if (P.ProtocolStatus == psCancelRequested) return false;
  const bool carrier = apIsStatusTrigger(msg, trigger, P.CarrierTrigger) && !D.CheckDCD();
  if (!carrier && msg != apw_ProtocolCancel) return false;
  if (carrier) {
    P.ProtocolStatus = psAbortNoCarrier;
  } else {
    // What still waits in the output buffer never went.
    const std::int32_t waiting = static_cast<std::int32_t>(D.OutBuffUsed());
    P.BytesTransferred = std::max(0, P.BytesTransferred - waiting);
    SendCancel(P, D);
    P.ProtocolStatus = psCancelRequested;
  }
  P.ForceStatus = true;
  return true;
}

void StartTimer(TProtocolData& P) {
  NewTimer(P.TransferTimer, 0);
  P.TimerRunning = true;
}

bool CountError(TProtocolData& P) {
  ++P.BlockErrors;
  ++P.TotalErrors;
  P.ForceStatus = true;
  return true;
}

// ---------------------------------------------------------------------------------------
// Transmit
// ---------------------------------------------------------------------------------------
void BuildFileInfo(TProtocolData& P) {
  std::string name =
      apOptionsAreOn(P, apIncludeDirectory) ? std::string(P.PathName) : JustFilename(P.PathName);
  for (char& c : name) {
    if (c == '\\') c = '/';
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (name.size() > 254) name.resize(254);
  std::string info = name;
  info += '\0';
  info += std::to_string(std::max(0, P.FileLength));
  if (P.FileTime != 0) info += " " + apOctalStr(P.FileTime);
  info += '\0';
  std::memcpy(P.DataBlock, info.data(), info.size());
  P.BlockBytes = static_cast<std::int32_t>(info.size());
}

void Reposition(TProtocolData& P, TSioBaseDispatcher& D, std::uint32_t pos) {
  CountError(P);
  P.FileOffset =
      static_cast<std::int32_t>(std::min<std::uint32_t>(pos, static_cast<std::uint32_t>(P.FileLength)));
  P.BytesTransferred = P.FileOffset;
  P.BytesToSend = P.FileLength - P.FileOffset;
  if (P.BlockLength > 256) P.BlockLength /= 2;
  P.Repositioned = true;
  P.GoodAfterRepos = 0;
  P.LastBlock = false;
  D.FlushOutBuffer();
  P.ZmodemState = tzStartData;
}

// A header during the data or at their end (tzWaitAck, tzDrainEof, tzCheckEof); atEnd: the
// ZEOF went out.
void HandleReply(TProtocolData& P, TSioBaseDispatcher& D, bool atEnd) {
  switch (P.RxHeader[0]) {
    case ZACK:
      if (!atEnd) P.ZmodemState = tzStartData;
      break;
    case ZABORT:
    case ZCAN:
      P.ProtocolStatus = psCancelRequested;
      P.ZmodemState = tzError;
      break;
    case ZRPOS:
      Reposition(P, D, Position(P.RxHeader));
      break;
    case ZSKIP:
    case ZRINIT:
      if (atEnd || P.RxHeader[0] == ZSKIP) {
        // The receiver has the file (or does not want it): on to the next one.
        P.ProtocolStatus = P.RxHeader[0] == ZSKIP && !atEnd ? psSkipFile : psEndFile;
        P.FinishReading(P);
        if (P.LogFile) P.LogFile(P, P.ProtocolStatus == psSkipFile ? lfTransmitSkip : lfTransmitOk);
        P.ZmodemState = tzGetFile;
        break;
      }
      [[fallthrough]];
    default: {
      const std::uint8_t zero[4] = {};
      SendBinHeader(P, D, ZNAK, zero);
      break;
    }
  }
}

void EscapeNext(TProtocolData& P, TSioBaseDispatcher& D) {
  if (P.Repositioned) {
    if (P.GoodAfterRepos >= 4) {
      P.BlockLength = FullBlock(P);
      P.Repositioned = false;
    }
    ++P.GoodAfterRepos;
  }
  std::uint32_t size = P.BlockLength;
  P.LastBlock = P.ReadBlock(P, P.DataBlock, size);
  if (P.ProtocolError != 0) {
    SendCancel(P, D);
    P.ZmodemState = tzError;
    return;
  }
  P.CurrentBlockLength = static_cast<std::int32_t>(size);
  P.BlockBytes = static_cast<std::int32_t>(size);
  if (P.RxBufferSize) P.SinceAck += static_cast<std::int32_t>(size);
  P.FrameEnd = P.LastBlock                                                                   ? ZCRCE
               : (P.RxBufferSize && P.SinceAck >= static_cast<std::int32_t>(P.RxBufferSize)) ? ZCRCW
                                                                                             : ZCRCG;
  P.WorkBytes = BuildSubpacket(P, P.DataBlock, size, P.FrameEnd, P.WorkBlock);
  apArmTimeout(P, D, P.TransmitTimeout);
  apArmOutFree(P, D, P.WorkBytes + 60);
  P.ZmodemState = tzSendData;
}

// The file header with its information subpacket, and the wait for the answer.
void SendFileInfo(TProtocolData& P, TSioBaseDispatcher& D) {
  SendBinHeader(P, D, ZFILE, P.TxHeader);
  std::uint8_t frame[2 * 300 + 16];
  Put(P, D, frame, BuildSubpacket(P, P.DataBlock, static_cast<std::uint32_t>(P.BlockBytes), ZCRCW, frame));
  P.ZrinitAfterFile = false;
  apArmTimeout(P, D, P.HandshakeWait);
}

int TransmitPrim(TProtocolData& P, TSioBaseDispatcher& D, UINT msg, std::uint32_t trigger) {
  if (P.ZmodemState == tzDone) return 1;
  if (msg == SW_TRIGGERAVAIL) trigger = 0;
  const std::uint32_t startMs = SioTimeGetTime();
  bool first = true;
  for (;;) {
    LogState(P, D);
    bool timeout = false, outUsed = false, outFree = false;
    if (first) {
      if (AbortRequested(P, D, msg, trigger)) P.ZmodemState = tzError;
      if (StatusStep(P, D, msg, trigger) && P.ZmodemState != tzError) return 0;
      timeout = apIsTimeout(P, msg, trigger);
      outUsed = apIsStatusTrigger(msg, trigger, P.OutUsedTrigger);
      outFree = apIsStatusTrigger(msg, trigger, P.OutFreeTrigger);
      first = false;
    } else if (P.ForceStatus) {
      StatusStep(P, D, 0, 0);
    }
    (void)outFree;
    bool more = true;
    THeaderResult hr = hrMore;

    switch (P.ZmodemState) {
      case tzInitial: {
        P.CanCount = 0;
        Put(P, D, "rz\r", 3);
        std::memset(P.AttentionString, 0, sizeof P.AttentionString);
        SetPosition(P.TxHeader, P.ZrqinitValue);
        SendHexHeader(P, D, ZRQINIT, P.TxHeader);
        P.BlockErrors = P.TotalErrors = 0;
        apArmTimeout(P, D, P.HandshakeWait);
        P.ZmodemState = tzHandshake;
        more = false;
        break;
      }
      case tzHandshake:
        if (!timeout) hr = CollectHeader(P, D);
        if (hr == hrCancel) {
          P.ZmodemState = tzError;
        } else if (timeout || hr == hrBad) {
          CountError(P);
          if (P.BlockErrors > static_cast<std::int32_t>(P.HandshakeRetry)) {
            SendCancel(P, D);
            apProtocolError(P, ecTooManyErrors);
            P.ZmodemState = tzError;
          } else if (timeout) {
            SendHexHeader(P, D, ZRQINIT, P.TxHeader);
            apArmTimeout(P, D, P.HandshakeWait);
          }
        } else if (hr == hrGot) {
          switch (P.RxHeader[0]) {
            case ZRINIT:
              P.RxBufferSize = static_cast<std::uint16_t>(P.RxHeader[1] | (P.RxHeader[2] << 8));
              P.CanCrc32 = (ZF0(P) & CANFC32) != 0;
              P.CheckType = P.CanCrc32 ? bcmCrc32 : bcmCrc16;
              P.EscapeAll = (ZF0(P) & ESCCTL) != 0;
              P.BlockErrors = 0;
              P.ZmodemState = tzGetFile;
              break;
            case ZCHALLENGE: {
              std::uint8_t h[4];
              std::memcpy(h, P.RxHeader + 1, 4);
              SendHexHeader(P, D, ZACK, h);
              break;
            }
            case ZRQINIT:
              break;
            default: {
              const std::uint8_t zero[4] = {};
              SendHexHeader(P, D, ZNAK, zero);
              break;
            }
          }
        }
        more = P.ZmodemState != tzHandshake || (hr != hrMore && BytesWait(P, D));
        break;
      case tzGetFile: {
        P.PathName[0] = 0;
        if (!P.NextFile || !P.NextFile(P, P.PathName) || P.PathName[0] == 0) {
          P.ZmodemState = tzSendFinish;
          break;
        }
        P.FileSent = true;
        P.BytesTransferred = 0;
        P.BytesToSend = 0;
        P.ProtocolStatus = psOK;
        if (P.LogFile) P.LogFile(P, lfTransmitStart);
        P.PrepareReading(P);
        if (P.ProtocolError != 0) {
          SendCancel(P, D);
          P.ZmodemState = tzError;
          break;
        }
        struct stat st {};
        P.FileTime =
            ::stat(P.PathName, &st) == 0 && st.st_mtime > 0 ? static_cast<std::uint32_t>(st.st_mtime) : 0;
        StartTimer(P);
        P.TxHeader[0] = 0;
        P.TxHeader[1] = 0;
        P.TxHeader[2] = P.FileOption;
        P.TxHeader[3] = P.Recover ? ZCRESUM : 0;
        P.FileOffset = 0;
        P.InitialPosition = 0;
        P.BlockLength = FullBlock(P);
        P.Repositioned = false;
        BuildFileInfo(P);
        P.ZmodemState = tzSendFile;
        break;
      }
      case tzSendFile:
        SendFileInfo(P, D);
        P.BlockErrors = 0;
        P.ZmodemState = tzCheckFile;
        more = BytesWait(P, D);
        break;
      case tzCheckFile:
        if (!timeout) hr = CollectHeader(P, D);
        if (hr == hrCancel) {
          P.ZmodemState = tzError;
        } else if (hr == hrGot && P.RxHeader[0] == ZRINIT) {
          // Mostly the answer to our ZRQINIT that crossed the file header, with the answer to
          // the header right behind it: sent again now, the header would be answered twice and
          // the second ZRPOS would start the data over. Only when nothing follows soon was the
          // header lost. Only the first ZRINIT shortens the wait: a stream of them must not
          // put the time-out off for ever.
          if (!P.ZrinitAfterFile) apArmTimeout(P, D, std::min<std::uint32_t>(P.HandshakeWait, ZrinitGraceTicks));
          P.ZrinitAfterFile = true;
        } else if (timeout || hr == hrBad) {
          CountError(P);
          if (P.BlockErrors > static_cast<std::int32_t>(P.HandshakeRetry)) {
            SendCancel(P, D);
            apProtocolError(P, ecTooManyErrors);
            P.ZmodemState = tzError;
          } else if (timeout) {
            // Again, keeping the count of this header's attempts.
            SendFileInfo(P, D);
          }
        } else if (hr == hrGot) {
          switch (P.RxHeader[0]) {
            case ZSKIP:
              P.ProtocolStatus = psSkipFile;
              if (P.ShowStatus) P.ShowStatus(P, 0);
              P.FinishReading(P);
              if (P.LogFile) P.LogFile(P, lfTransmitSkip);
              P.ZmodemState = tzGetFile;
              break;
            case ZRPOS: {
              const std::uint32_t pos =
                  std::min<std::uint32_t>(Position(P.RxHeader), static_cast<std::uint32_t>(P.FileLength));
              P.FileOffset = static_cast<std::int32_t>(pos);
              P.BytesTransferred = P.FileOffset;
              P.InitialPosition = P.FileOffset;
              P.BytesToSend = P.FileLength - P.FileOffset;
              P.ZmodemState = tzStartData;
              break;
            }
            case ZCRC: {
              const std::uint32_t crc = apCrc32OfFile(P, P.PathName, 0);
              if (P.ProtocolError != 0) {
                P.ZmodemState = tzError;
                break;
              }
              std::uint8_t h[4];
              SetPosition(h, crc);
              SendHexHeader(P, D, ZCRC, h);
              // A fresh wait, which the next ZRINIT may shorten again.
              P.ZrinitAfterFile = false;
              apArmTimeout(P, D, P.HandshakeWait);
              break;
            }
            case ZABORT:
            case ZCAN:
              P.ProtocolStatus = psCancelRequested;
              P.ZmodemState = tzError;
              break;
            default:
              break;
          }
        }
        more = P.ZmodemState != tzCheckFile || BytesWait(P, D);
        break;
      case tzStartData: {
        FlushIn(P, D);
        D.FlushOutBuffer();
        P.SinceAck = 0;
        P.BlockErrors = 0;
        SetPosition(P.TxHeader, static_cast<std::uint32_t>(P.FileOffset));
        SendBinHeader(P, D, ZDATA, P.TxHeader);
        P.ZmodemState = tzEscapeData;
        break;
      }
      case tzEscapeData:
        EscapeNext(P, D);
        break;
      case tzSendData:
        // A header from the receiver comes first (a ZRPOS makes the data go again).
        if (BytesWait(P, D)) {
          hr = CollectHeader(P, D);
          if (hr == hrCancel) {
            P.ZmodemState = tzError;
            break;
          }
          if (hr == hrGot) {
            HandleReply(P, D, false);
            if (P.ZmodemState != tzSendData) break;
          }
        }
        if (D.OutBuffFree() < P.WorkBytes + 60) {
          more = false;  // the free-space trigger is armed
          break;
        }
        if (SioTimeGetTime() - startMs > SendBudgetMs && !outFree) {
          more = false;  // the armed trigger fires again at once
          break;
        }
        Put(P, D, P.WorkBlock, P.WorkBytes);
        P.FileOffset += P.BlockBytes;
        P.BytesTransferred += P.BlockBytes;
        P.BytesToSend = std::max(0, P.BytesToSend - P.BlockBytes);
        P.ForceStatus = true;
        if (P.LastBlock) {
          P.ZmodemState = tzSendEof;
        } else if (P.FrameEnd == ZCRCW) {
          apArmTimeout(P, D, P.TransmitTimeout);
          P.ZmodemState = tzWaitAck;
          more = BytesWait(P, D);
        } else {
          P.ZmodemState = tzEscapeData;
        }
        outFree = false;
        break;
      case tzWaitAck:
        if (!timeout) hr = CollectHeader(P, D);
        if (hr == hrCancel) {
          P.ZmodemState = tzError;
        } else if (timeout || hr == hrBad) {
          CountError(P);
          if (P.BlockErrors > MaxDataErrors) {
            SendCancel(P, D);
            apProtocolError(P, ecTooManyErrors);
            P.ZmodemState = tzError;
          } else {
            P.ZmodemState = tzStartData;
          }
        } else if (hr == hrGot) {
          HandleReply(P, D, false);
        }
        more = P.ZmodemState != tzWaitAck || (hr != hrMore && BytesWait(P, D));
        break;
      case tzSendEof: {
        SetPosition(P.TxHeader, static_cast<std::uint32_t>(P.FileOffset));
        SendBinHeader(P, D, ZEOF, P.TxHeader);
        apArmOutUsed(P, D);
        std::uint32_t ticks = P.TransmitTimeout;
        if (P.ActualCPS) {
          std::uint32_t secs = D.OutBuffUsed() / P.ActualCPS * 2;
          if (secs <= 8) secs = 10;
          ticks = static_cast<std::uint32_t>(Secs2Ticks(static_cast<std::int32_t>(secs)));
        }
        apArmTimeout(P, D, ticks);
        P.ZmodemState = tzDrainEof;
        more = D.OutBuffUsed() == 0 || BytesWait(P, D);
        break;
      }
      case tzDrainEof:
      case tzCheckEof: {
        const bool drain = P.ZmodemState == tzDrainEof;
        if (drain && (outUsed || D.OutBuffUsed() == 0)) {
          apArmTimeout(P, D, P.FinishWait);
          P.ZmodemState = tzCheckEof;
          timeout = false;
        }
        if (!timeout) hr = CollectHeader(P, D);
        if (hr == hrCancel) {
          P.ZmodemState = tzError;
        } else if (timeout && drain) {
          apProtocolError(P, ecTimeout);
          P.ZmodemState = tzError;
        } else if (timeout || hr == hrBad) {
          CountError(P);
          if (P.BlockErrors > MaxDataErrors) {
            SendCancel(P, D);
            apProtocolError(P, ecTooManyErrors);
            P.ZmodemState = tzError;
          } else if (!drain) {
            P.ZmodemState = tzSendEof;
          }
        } else if (hr == hrGot) {
          if (P.RxHeader[0] != ZACK) HandleReply(P, D, true);
        }
        more =
            (P.ZmodemState != tzDrainEof && P.ZmodemState != tzCheckEof) || (hr != hrMore && BytesWait(P, D));
        if (P.ZmodemState == tzCheckEof && BytesWait(P, D)) more = true;
        break;
      }
      case tzSendFinish:
        SetPosition(P.TxHeader, static_cast<std::uint32_t>(P.FileOffset));
        SendHexHeader(P, D, ZFIN, P.TxHeader);
        apArmTimeout(P, D, P.FinishWait);
        P.ZmodemState = tzCheckFinish;
        more = BytesWait(P, D);
        break;
      case tzCheckFinish:
        if (!timeout) hr = CollectHeader(P, D);
        if (hr == hrGot && P.RxHeader[0] == ZFIN) {
          Put(P, D, "OO", 2);
          P.ZmodemState = tzCleanup;
        } else if (hr == hrGot && P.RxHeader[0] == ZRINIT) {
          // A repeated request for files crossed our ZFIN: its answer follows.
        } else if (timeout || hr != hrMore) {
          // The files are all confirmed: only the closing exchange is missing.
          if (hr != hrCancel) P.ProtocolError = 0;
          P.ZmodemState = tzCleanup;
        }
        more = P.ZmodemState != tzCheckFinish || BytesWait(P, D);
        break;
      case tzError:
        if (P.FileSent && P.FileOpen) {
          P.FinishReading(P);
          if (P.LogFile) P.LogFile(P, lfTransmitFail);
        }
        if (P.ProtocolStatus != psCancelRequested) D.FlushOutBuffer();
        P.ZmodemState = tzCleanup;
        break;
      case tzCleanup:
        FlushIn(P, D);
        SendAttention(P, D);
        apShowLastStatus(P);
        if (!P.FileSent && P.ProtocolError == 0 && P.ProtocolStatus != psCancelRequested &&
            P.ProtocolStatus != psAbortNoCarrier)
          P.ProtocolError = ecNoMatchingFiles;
        P.ZmodemState = tzDone;
        apSignalFinish(P);
        return 1;
      default:
        return 1;
    }
    if (P.HeaderState == hsGotHeader) P.HeaderState = hsNone;
    if (!more) return 0;
    trigger = 0;
    msg = 0;
  }
}

// ---------------------------------------------------------------------------------------
// Receive
// ---------------------------------------------------------------------------------------
void CloseReceived(TProtocolData& P) {
  P.ProtocolStatus = psEndFile;
  if (P.ShowStatus) P.ShowStatus(P, 0);
  P.FinishWriting(P);
  if (P.LogFile) P.LogFile(P, P.ProtocolError != 0 ? lfReceiveFail : lfReceiveOk);
  P.ZmodemState = rzRqstFile;
}

void StartFile(TProtocolData& P, TSioBaseDispatcher& D) {
  const std::uint8_t* b = P.DataBlock;
  const std::uint32_t n = static_cast<std::uint32_t>(P.BlockBytes);
  std::uint32_t i = 0;
  std::string name;
  while (i < n && b[i] != 0 && name.size() < 254) name += static_cast<char>(b[i++]);
  while (i < n && b[i] != 0) ++i;
  ++i;
  std::string lenText, dateText;
  while (i < n && b[i] != 0 && b[i] != ' ') lenText += static_cast<char>(b[i++]);
  while (i < n && b[i] == ' ') ++i;
  while (i < n && b[i] != 0 && b[i] != ' ') dateText += static_cast<char>(b[i++]);
  apSetReceivePath(P, name);
  if (P.UpcaseFileNames) apUpcase(P.PathName);
  std::int32_t length = 0;
  if (lenText.empty() || !Str2LongZ(lenText.c_str(), length) || length < 0) length = 0;
  P.FileLength = length;
  P.BytesToSend = length;
  P.FileTime = apOctalStr2Long(apTrimZeros(dateText));
  if (P.FileTime == 0) P.FileTime = static_cast<std::uint32_t>(std::time(nullptr));
  P.FileDate = apPackFileTime(P.FileTime);
  P.ProtocolStatus = psOK;
  P.FileOffset = 0;
  P.InitialPosition = 0;
  if (P.LogFile) P.LogFile(P, lfReceiveStart);
  const bool accepted = !P.AcceptFile || P.AcceptFile(P, P.PathName);
  if (accepted) {
    P.PrepareWriting(P);
    if (P.ProtocolError != 0) {
      // A file that cannot be made is refused and logged as failed with its error, which the
      // run ends with once the sender is through. (A cancel here is lost on lrzsz's sz: it
      // reads over it while it passes the ZRINIT that crossed its ZFILE, and waits on.)
      if (P.LogFile) P.LogFile(P, lfReceiveFail);
      if (P.SavedError == 0) P.SavedError = P.ProtocolError;
      P.ProtocolError = 0;
      P.ReplyHeader = ZSKIP;
      P.ZmodemState = rzRqstFile;
      return;
    }
    if (P.ProtocolStatus != psFileDoesntExist && P.ProtocolStatus != psCantWriteFile) {
      StartTimer(P);
      P.ZmodemState = rzSync;
      return;
    }
  }
  P.ReplyHeader = ZSKIP;
  P.ProtocolStatus = psSkipFile;
  if (P.LogFile) P.LogFile(P, lfReceiveSkip);
  P.ZmodemState = rzRqstFile;
}

void Sync(TProtocolData& P, TSioBaseDispatcher& D) {
  FlushIn(P, D);
  SetPosition(P.TxHeader, static_cast<std::uint32_t>(P.FileOffset));
  SendHexHeader(P, D, ZRPOS, P.TxHeader);
  P.BytesToSend = P.FileLength - P.FileOffset;
  P.BytesTransferred = P.FileOffset;
  // The error count goes on until data arrive again: a sender that is gone must not be asked
  // for ever.
  apArmTimeout(P, D, P.HandshakeWait);
  P.ZmodemState = rzStartData;
}

// A data error: the sender is asked for the data again, or the run ends.
void DataError(TProtocolData& P, TSioBaseDispatcher& D, bool attention, std::int32_t limit) {
  CountError(P);
  if (P.BlockErrors > limit) {
    SendCancel(P, D);
    apProtocolError(P, ecTooManyErrors);
    P.ZmodemState = rzError;
    return;
  }
  if (attention) SendAttention(P, D);
  P.ZmodemState = rzSync;
}

int ReceivePrim(TProtocolData& P, TSioBaseDispatcher& D, UINT msg, std::uint32_t trigger) {
  if (P.ZmodemState == rzDone) return 1;
  if (msg == SW_TRIGGERAVAIL) trigger = 0;
  bool first = true;
  for (;;) {
    LogState(P, D);
    bool timeout = false;
    if (first) {
      if (AbortRequested(P, D, msg, trigger)) P.ZmodemState = rzError;
      if (StatusStep(P, D, msg, trigger) && P.ZmodemState != rzError) return 0;
      timeout = apIsTimeout(P, msg, trigger);
      first = false;
    } else if (P.ForceStatus) {
      StatusStep(P, D, 0, 0);
    }
    bool more = true;
    THeaderResult hr = hrMore;
    const std::int32_t retry = static_cast<std::int32_t>(P.HandshakeRetry);

    switch (P.ZmodemState) {
      case rzRqstFile:
        P.CanCount = 0;
        std::memset(P.TxHeader, 0, 4);
        P.TxHeader[3] = zpReceiverFlags;
        P.ZmodemState = rzDelay;
        // The first request waits a moment for the sender; after a file the sender waits for
        // us, so the next one goes at once.
        if (!P.FileSent) {
          apArmTimeout(P, D, 9);
          more = false;
        }
        break;
      case rzDelay:
        SendHexHeader(P, D, P.ReplyHeader, P.TxHeader);
        P.ReplyHeader = ZRINIT;
        apArmTimeout(P, D, P.HandshakeWait);
        P.ZmodemState = rzWaitFile;
        more = BytesWait(P, D);
        break;
      case rzWaitFile:
        if (!timeout) hr = CollectHeader(P, D);
        if (hr == hrCancel) {
          P.ZmodemState = rzError;
        } else if (timeout || hr == hrBad) {
          CountError(P);
          if (P.BlockErrors > retry) {
            SendCancel(P, D);
            apProtocolError(P, ecTooManyErrors);
            P.ZmodemState = rzCleanup;
          } else if (timeout) {
            P.ZmodemState = rzRqstFile;
          }
        } else if (hr == hrGot) {
          switch (P.RxHeader[0]) {
            case ZRQINIT:
              P.ZmodemState = rzRqstFile;
              break;
            case ZSINIT:
              P.BlockErrors = 0;
              P.EscapeAll = (ZF0(P) & ESCCTL) != 0;
              StartSubpacket(P);
              P.ZmodemState = P.HeaderWasHex ? rzSendBlockPrep : rzSendBlock;
              P.HexCount = 0;
              break;
            case ZFILE: {
              P.ConvOption = ZF0(P);
              P.TransOption = ZF2(P);
              // The sender's file option counts unless ours overrides it or it gives none.
              if (!P.OptionOverride && (ZF1(P) & 7) != 0) P.FileOption = ZF1(P);
              P.BlockErrors = P.TotalErrors = 0;
              StartSubpacket(P);
              P.ZmodemState = rzCollectFile;
              break;
            }
            case ZFIN:
            case ZCOMPL:
              P.ZmodemState = rzSendFinish;
              break;
            case ZFREECNT: {
              struct statvfs fs {};
              const char* dir = P.DestinationDirectory[0] ? P.DestinationDirectory : ".";
              std::uint64_t room = ::statvfs(dir, &fs) == 0 ? std::uint64_t{fs.f_bavail} * fs.f_frsize : 0;
              std::uint8_t h[4];
              SetPosition(h, static_cast<std::uint32_t>(std::min<std::uint64_t>(room, 0xFFFFFFFFu)));
              SendHexHeader(P, D, ZACK, h);
              break;
            }
            case ZCOMMAND: {
              const std::uint8_t zero[4] = {};
              SendHexHeader(P, D, ZNAK, zero);
              break;
            }
            default:
              break;
          }
          apArmTimeout(P, D, P.HandshakeWait);
        }
        more = P.ZmodemState != rzWaitFile || (hr != hrMore && BytesWait(P, D));
        break;
      case rzCollectFile:
      case rzSendBlock: {
        const bool file = P.ZmodemState == rzCollectFile;
        if (timeout) {
          CountError(P);
          if (P.BlockErrors > retry) {
            P.ZmodemState = rzCleanup;
          } else if (file) {
            const std::uint8_t zero[4] = {};
            SendHexHeader(P, D, ZNAK, zero);
            P.ZmodemState = rzWaitFile;
            apArmTimeout(P, D, P.HandshakeWait);
          } else {
            P.ZmodemState = rzWaitFile;
            apArmTimeout(P, D, P.HandshakeWait);
          }
          break;
        }
        const TDataResult r = CollectData(P, D, P.DataBlock, file ? FullBlock(P) : 64);
        if (r == drMore) {
          more = false;
        } else if (r == drCancel) {
          P.ZmodemState = rzError;
        } else if (r == drGood) {
          P.ZmodemState = file ? rzStartFile : rzSendInit;
        } else {
          ++P.TotalErrors;
          P.ZmodemState = rzRqstFile;
        }
        break;
      }
      case rzSendBlockPrep:
        if (timeout) {
          ++P.TotalErrors;
          P.ZmodemState = P.TotalErrors > retry ? rzCleanup : rzRqstFile;
          break;
        }
        // The line end behind the hex header.
        while (P.HexCount < 2 && (P.InHead < P.InTail || Fill(P, D))) {
          ++P.InHead;
          ++P.HexCount;
        }
        if (P.HexCount < 2) {
          more = false;
          break;
        }
        StartSubpacket(P);
        P.ZmodemState = rzSendBlock;
        break;
      case rzSendInit: {
        std::memset(P.AttentionString, 0, sizeof P.AttentionString);
        std::memcpy(P.AttentionString, P.DataBlock,
                    std::min<std::size_t>(sizeof P.AttentionString, static_cast<std::size_t>(P.BlockBytes)));
        const std::uint8_t h[4] = {1, 0, 0, 0};
        SendHexHeader(P, D, ZACK, h);
        apArmTimeout(P, D, P.HandshakeWait);
        P.ZmodemState = rzWaitFile;
        more = BytesWait(P, D);
        break;
      }
      case rzStartFile:
        P.FileSent = true;
        StartFile(P, D);
        break;
      case rzSync:
        Sync(P, D);
        more = BytesWait(P, D);
        break;
      case rzStartData:
        if (!timeout) hr = CollectHeader(P, D);
        if (hr == hrCancel) {
          P.ZmodemState = rzError;
        } else if (timeout || hr == hrBad) {
          CountError(P);
          if (P.BlockErrors > retry) {
            SendCancel(P, D);
            apProtocolError(P, ecTooManyErrors);
            P.ZmodemState = rzError;
          } else {
            P.ZmodemState = rzSync;
          }
        } else if (hr == hrGot) {
          switch (P.RxHeader[0]) {
            case ZDATA:
              if (Position(P.RxHeader) == static_cast<std::uint32_t>(P.FileOffset)) {
                StartSubpacket(P);
                apArmTimeout(P, D, P.HandshakeWait);
                P.ZmodemState = rzCollectData;
              } else {
                DataError(P, D, true, MaxDataErrors);
              }
              break;
            case ZNAK:
              DataError(P, D, false, MaxDataErrors);
              break;
            case ZFILE:
              P.ZmodemState = rzSync;
              break;
            case ZEOF:
              P.ProtocolStatus = psEndFile;
              P.EofPosition = Position(P.RxHeader);
              P.ZmodemState = rzEndOfFile;
              break;
            default:
              DataError(P, D, true, MaxDataErrors);
              break;
          }
        }
        more = P.ZmodemState != rzStartData || (hr != hrMore && BytesWait(P, D));
        break;
      case rzCollectData: {
        if (timeout) {
          DataError(P, D, true, MaxDataErrors - 1);
          break;
        }
        bool wrote = false;
        for (;;) {
          const TDataResult r = CollectData(P, D, P.DataBlock, P.BlockLength);
          if (r == drMore) {
            more = false;
            break;
          }
          if (r == drCancel) {
            P.ZmodemState = rzError;
            break;
          }
          if (r != drGood) {
            DataError(P, D, true, MaxDataErrors - 1);
            break;
          }
          if (P.BlockBytes > 0 && P.WriteBlock(P, P.DataBlock, static_cast<std::uint32_t>(P.BlockBytes))) {
            SendCancel(P, D);
            if (P.ProtocolError == 0) apProtocolError(P, ecCantWriteFile);
            P.ZmodemState = rzError;
            break;
          }
          wrote = true;
          P.FileOffset += P.BlockBytes;
          P.BytesTransferred += P.BlockBytes;
          P.BytesToSend = std::max(0, P.BytesToSend - P.BlockBytes);
          P.BlockErrors = 0;
          P.ForceStatus = true;
          const std::uint8_t end = P.FrameEnd;
          StartSubpacket(P);
          if (end == ZCRCE) {
            apArmTimeout(P, D, P.HandshakeWait);
            P.ZmodemState = rzWaitEof;
            break;
          }
          if (end == ZCRCW || end == ZCRCQ) {
            SetPosition(P.TxHeader, static_cast<std::uint32_t>(P.FileOffset));
            SendHexHeader(P, D, ZACK, P.TxHeader);
            if (end == ZCRCW) {
              apArmTimeout(P, D, P.HandshakeWait);
              P.ZmodemState = rzStartData;
              break;
            }
          }
        }
        if (wrote && P.ZmodemState == rzCollectData) apArmTimeout(P, D, P.HandshakeWait);
        if (P.ZmodemState != rzCollectData) more = true;
        break;
      }
      case rzWaitEof:
        if (!timeout) hr = CollectHeader(P, D);
        if (hr == hrCancel) {
          P.ZmodemState = rzError;
        } else if (timeout || hr == hrBad) {
          CountError(P);
          if (P.BlockErrors > retry) {
            SendCancel(P, D);
            apProtocolError(P, ecTooManyErrors);
            P.ZmodemState = rzError;
          } else {
            P.ZmodemState = rzSync;
          }
        } else if (hr == hrGot) {
          if (P.RxHeader[0] == ZEOF && Position(P.RxHeader) == static_cast<std::uint32_t>(P.FileOffset))
            CloseReceived(P);
          else
            DataError(P, D, true, MaxDataErrors);
        }
        more = P.ZmodemState != rzWaitEof || (hr != hrMore && BytesWait(P, D));
        break;
      case rzEndOfFile:
        if (P.EofPosition == static_cast<std::uint32_t>(P.FileOffset))
          CloseReceived(P);
        else
          P.ZmodemState = rzSync;
        break;
      case rzSendFinish:
        SetPosition(P.TxHeader, static_cast<std::uint32_t>(P.FileOffset));
        SendHexHeader(P, D, ZFIN, P.TxHeader);
        apArmTimeout(P, D, P.FinishWait);
        P.OCount = 0;
        P.BlockErrors = 0;
        P.ZmodemState = rzCollectFinish;
        more = BytesWait(P, D);
        break;
      case rzCollectFinish:
        if (timeout) {
          CountError(P);
          if (P.BlockErrors < static_cast<std::int32_t>(P.FinishRetry)) {
            SendHexHeader(P, D, ZFIN, P.TxHeader);
            apArmTimeout(P, D, P.FinishWait);
          } else {
            P.ZmodemState = rzCleanup;
          }
          break;
        }
        while (P.ZmodemState == rzCollectFinish && (P.InHead < P.InTail || Fill(P, D))) {
          if (P.InBuffer[P.InHead++] == 'O' && ++P.OCount >= 2) P.ZmodemState = rzCleanup;
        }
        more = P.ZmodemState != rzCollectFinish;
        break;
      case rzError:
        if (P.FileOpen) {
          P.FinishWriting(P);
          if (P.LogFile) P.LogFile(P, lfReceiveFail);
        }
        if (D.OutBuffUsed() > 0) {
          apArmTimeout(P, D, P.TransmitTimeout);
          apArmOutUsed(P, D);
          P.ZmodemState = rzWaitCancel;
          more = false;
        } else {
          P.ZmodemState = rzCleanup;
        }
        break;
      case rzWaitCancel:
        P.ZmodemState = rzCleanup;
        break;
      case rzCleanup:
        apShowLastStatus(P);
        FlushIn(P, D);
        P.ZmodemState = rzDone;
        if (P.ProtocolError == 0) P.ProtocolError = P.SavedError;
        apSignalFinish(P);
        return 1;
      default:
        return 1;
    }
    if (P.HeaderState == hsGotHeader) P.HeaderState = hsNone;
    if (!more) return 0;
    trigger = 0;
    msg = 0;
  }
}

void FreeBuffers(TProtocolData& P) {
  delete[] P.DataBlock;
  P.DataBlock = nullptr;
  delete[] P.WorkBlock;
  P.WorkBlock = nullptr;
  delete[] P.InBuffer;
  P.InBuffer = nullptr;
}

int MakeBuffers(TProtocolData& P, bool use8K) {
  const std::uint32_t block = use8K ? 8192 : 1024;
  auto* data = new (std::nothrow) std::uint8_t[block + 16];
  auto* work = new (std::nothrow) std::uint8_t[2 * block + 64];
  auto* in = P.InBuffer ? P.InBuffer : new (std::nothrow) std::uint8_t[InBufferSize];
  if (!data || !work || !in) {
    delete[] data;
    delete[] work;
    if (in != P.InBuffer) delete[] in;
    return ecOutOfMemory;
  }
  delete[] P.DataBlock;
  delete[] P.WorkBlock;
  P.DataBlock = data;
  P.WorkBlock = work;
  P.InBuffer = in;
  P.Use8K = use8K;
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Public routines
// ---------------------------------------------------------------------------------------
std::uint32_t zpEscape(const std::uint8_t* data, std::uint32_t len, std::uint8_t* out, std::uint8_t& last,
                       bool escapeAll) {
  std::uint8_t* o = out;
  for (std::uint32_t i = 0; i < len; ++i) PutEscaped(o, data[i], last, escapeAll);
  return static_cast<std::uint32_t>(o - out);
}

int zpInit(TProtocolData*& P, TSioCustomComPort* port, std::uint32_t options) {
  P = nullptr;
  const std::uint32_t need = (options & apZmodem8K) ? 16414 : 2078;
  if (port && port->GetOutSize() < need) return ecOutputBufferTooSmall;
  int r = apInitProtocolData(P, port, options);
  if (r != 0) return r;
  r = zpReinit(*P);
  if (r == 0 && (options & apZmodem8K)) r = zpSetBigSubpacketOption(*P, true);
  if (r != 0) apDoneProtocol(P);
  return r;
}

int zpReinit(TProtocolData& P) {
  const int r = MakeBuffers(P, false);
  if (r != 0) return r;
  P.ProtocolType = ptZmodem;
  P.Options &= ~apZmodem8K;
  P.BatchProtocol = true;
  P.CheckType = bcmCrc32;
  P.BlockLength = 1024;
  P.Overhead = 20;
  P.TurnDelay = 0;
  P.FinishWait = 364;
  P.HandshakeWait = 1092;
  P.EOFTimeout = 364;
  P.FileDate = 0;
  P.FileOption = zfoWriteNewer;
  P.OptionOverride = false;
  P.Recover = false;
  P.CanCrc32 = true;
  P.EscapeAll = false;
  P.FinishRetry = 3;
  P.ReplyHeader = ZRINIT;
  P.ZrqinitValue = 0;
  P.InHead = P.InTail = 0;
  apResetReadWriteHooks(P);
  P.PrepareWriting = zpPrepareWriting;
  P.FinishWriting = zpFinishWriting;
  P.ReleasePart = zpDonePart;
  return 0;
}

void zpDonePart(TProtocolData& P) { FreeBuffers(P); }

void zpDone(TProtocolData*& P) { apDoneProtocol(P); }

int zpSetFileMgmtOptions(TProtocolData& P, bool override, bool skipNoFile, std::uint8_t option) {
  if (!IsZmodem(P)) return ecBadProtocolFunction;
  P.OptionOverride = override;
  P.FileOption = static_cast<std::uint8_t>((option & 7) | (skipNoFile ? 0x80 : 0));
  return 0;
}

int zpSetRecoverOption(TProtocolData& P, bool on) {
  if (!IsZmodem(P)) return ecBadProtocolFunction;
  P.Recover = on;
  return 0;
}

int zpSetBigSubpacketOption(TProtocolData& P, bool on) {
  if (!IsZmodem(P)) return ecBadProtocolFunction;
  const int r = MakeBuffers(P, on);
  if (r != 0) return r;
  if (on)
    P.Options |= apZmodem8K;
  else
    P.Options &= ~apZmodem8K;
  P.BlockLength = FullBlock(P);
  return 0;
}

int zpSetZmodemFinishWait(TProtocolData& P, std::uint32_t ticks, std::uint32_t retry) {
  if (!IsZmodem(P)) return ecBadProtocolFunction;
  if (ticks != 0) P.FinishWait = ticks;
  P.FinishRetry = retry;
  return 0;
}

void zpPrepareTransmit(TProtocolData& P) {
  TSioBaseDispatcher* D = apDispatcher(P);
  std::uint32_t in = 0, out = 0;
  if (D) D->BufferSizes(in, out);
  if (out < (P.Use8K ? 16414u : 2078u)) {
    P.ProtocolError = ecOutputBufferTooSmall;
    return;
  }
  apResetStatus(P);
  apShowFirstStatus(P);
  P.TimerRunning = false;
  P.HeaderState = hsNone;
  P.ZmodemState = tzInitial;
  P.ProtocolError = 0;
  P.FileSent = false;
  P.InHead = P.InTail = 0;
  P.CanCount = 0;
  P.LastFrame = 0;
  P.LastSent = 0;
  P.BlockLength = FullBlock(P);
}

void zpPrepareReceive(TProtocolData& P) {
  apResetStatus(P);
  apShowFirstStatus(P);
  P.TimerRunning = false;
  P.InHead = P.InTail = 0;
  if (TSioBaseDispatcher* D = apDispatcher(P)) D->FlushInBuffer();
  P.ReplyHeader = ZRINIT;
  P.ZmodemState = rzRqstFile;
  P.HeaderState = hsNone;
  P.ProtocolError = 0;
  P.SavedError = 0;    // the error of a file that could not be made
  P.FileSent = false;  // receiver: no file offered yet
  P.CanCount = 0;
  P.LastFrame = 0;
  P.BlockLength = FullBlock(P);
}

void zpTransmit(UINT msg, WPARAM wParam, LPARAM lParam) {
  TProtocolCall call(lParam);
  if (!call) return;
  TransmitPrim(*call.P, *call.D, msg, static_cast<std::uint32_t>(wParam));
}

void zpReceive(UINT msg, WPARAM wParam, LPARAM lParam) {
  TProtocolCall call(lParam);
  if (!call) return;
  ReceivePrim(*call.P, *call.D, msg, static_cast<std::uint32_t>(wParam));
}

// ---------------------------------------------------------------------------------------
// File hooks
// ---------------------------------------------------------------------------------------
void zpPrepareWriting(TProtocolData& P) {
  P.ProtocolError = 0;
  P.FileCreated = false;
  P.WriteOrigin = 0;
  if (P.FileOpen || apRefusedPath(P)) return;
  P.FileBuffer = new (std::nothrow) std::uint8_t[apFileBufferSize];
  if (!P.FileBuffer) {
    apProtocolError(P, ecOutOfMemory);
    return;
  }
  auto fail = [&](int err) {
    delete[] P.FileBuffer;
    P.FileBuffer = nullptr;
    const int code = SioErrorFromErrno(err, true);
    apProtocolError(P, code ? code : -101);
  };
  if (P.Recover) P.ConvOption = ZCRESUM;
  struct stat st {};
  const int found = apStatReceived(P, st);
  const bool exists = found == 0;
  if (exists && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    fail(EISDIR);
    return;
  }
  if (!exists && found != -ENOENT) {
    fail(-found);
    return;
  }
  const std::int64_t localLength = exists ? st.st_size : 0;
  // A write-protected file is skipped, not replaced or extended, even where the system
  // would let this user write it; so is a link, whose length and date are not the file's.
  if (exists && (S_ISLNK(st.st_mode) || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)) {
    P.ProtocolStatus = psCantWriteFile;
    P.ForceStatus = true;
    delete[] P.FileBuffer;
    P.FileBuffer = nullptr;
    return;
  }
  std::int32_t start = 0;  // resume offset
  bool append = false;
  P.InitialPosition = 0;
  if (exists && P.ConvOption == ZCRESUM && localLength < P.FileLength) {
    start = static_cast<std::int32_t>(localLength);
    P.InitialPosition = start;
  } else {
    const std::uint8_t option = P.FileOption & 7;
    const bool newer = exists && static_cast<std::int64_t>(P.FileTime) > st.st_mtime + 1;
    const bool sameDate = exists && std::llabs(static_cast<std::int64_t>(P.FileTime) - st.st_mtime) <= 1;
    bool skip = false;
    if (!exists && (P.FileOption & 0x80)) {
      P.ProtocolStatus = psFileDoesntExist;
      delete[] P.FileBuffer;
      P.FileBuffer = nullptr;
      return;
    }
    if (exists) {
      switch (option) {
        case zfoWriteNewerLonger:
          skip = !(newer || P.FileLength > localLength);
          break;
        case zfoWriteCrc:
        case zfoWriteNewer:
          skip = !newer;
          break;
        case zfoWriteAppend:
          append = true;
          break;
        case zfoWriteDifferent:
          skip = sameDate && localLength == P.FileLength;
          break;
        case zfoWriteProtect:
          skip = true;
          break;
        default:  // clobber, or no option
          break;
      }
    }
    if (skip) {
      P.ProtocolStatus = psCantWriteFile;
      P.ForceStatus = true;
      delete[] P.FileBuffer;
      P.FileBuffer = nullptr;
      return;
    }
  }
  if (P.ShowStatus) P.ShowStatus(P, 0);
  const int fd = apOpenReceived(P, start > 0 || append ? O_WRONLY : O_WRONLY | O_CREAT | O_TRUNC);
  if (fd < 0) {
    fail(-fd);
    return;
  }
  P.WorkFile = fd;
  // Offsets count the sender's bytes: appended ones land behind what the file holds.
  P.WriteOrigin = append ? static_cast<std::int32_t>(localLength) : 0;
  P.FileOffset = P.BufferStart = P.LastOffset = start;
  P.BufferEnd = start + static_cast<std::int32_t>(apFileBufferSize);
  P.FileOpen = true;
  P.FileCreated = start == 0 && !append;
}

void zpFinishWriting(TProtocolData& P) {
  if (!P.FileOpen) return;
  const std::int32_t before = P.ProtocolError;
  P.ProtocolError = 0;
  aapFinishWriting(P);
  const bool failed = P.ProtocolError != 0;
  if (!failed && before == 0 && P.FileTime != 0) {
    const timespec ts[2] = {{static_cast<time_t>(P.FileTime), 0}, {static_cast<time_t>(P.FileTime), 0}};
    const int fd = apOpenReceived(P, O_WRONLY);
    if (fd >= 0) {
      ::futimens(fd, ts);
      ::close(fd);
    }
  }
  if (!failed) P.ProtocolError = before;
}
