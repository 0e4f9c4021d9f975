// XModem engine.
#include "transfer/Swxmodem.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "serial/SioPort.h"
#include "serial/Sioexcept.h"

namespace {

bool isXorY(const TProtocolData& P) { return P.ProtocolType >= ptXmodem && P.ProtocolType <= ptYmodemG; }
bool isYmodem(const TProtocolData& P) { return P.ProtocolType == ptYmodem || P.ProtocolType == ptYmodemG; }

// Time-out resends of one block (the sender), kept in an engine word.
std::uint32_t& timeoutResends(TProtocolData& P) { return P.EngineWord3; }
// Sender: a reply to the block in transit was lost or garbled, so the receiver may hold the
// block already (only its ACK went missing).
std::uint32_t& blockMayBeHeld(TProtocolData& P) { return P.EngineWord4; }

void freeBlock(TProtocolData& P) {
  delete[] P.DataBlock;
  P.DataBlock = nullptr;
}

// Leads to the send of the block in DataBlock, through the free-space check.
void freeSpaceCheck(TProtocolData& P, TSioBaseDispatcher& D) {
  const std::uint32_t need = P.BlockLength + 5;
  if (D.OutBuffFree() < need) {
    apArmTimeout(P, D, P.TransmitTimeout);
    apArmOutFree(P, D, need);
    P.XmodemState = txWaitFreeSpace;
  } else {
    P.XmodemState = txSendBlock;
  }
}

void acceptBlock(TProtocolData& P) {
  P.ProtocolStatus = psOK;
  P.BytesTransferred += static_cast<std::int32_t>(P.BlockLength);
  P.BytesToSend = std::max(0, P.BytesToSend - static_cast<std::int32_t>(P.BlockLength));
  ++P.BlockNumber;
  P.FileOffset += static_cast<std::int32_t>(P.BlockLength);
  timeoutResends(P) = 0;
}

bool waitingByte(TSioBaseDispatcher& D, std::uint8_t a, std::uint8_t b) {
  std::uint32_t n = D.InBuffUsed();
  for (std::uint32_t i = 1; i <= n; ++i) {
    std::uint8_t c = 0;
    if (D.PeekChar(c, i) != 0) break;
    if (c == a || c == b) return true;
  }
  return false;
}

void logEntry(TProtocolData& P, TSioBaseDispatcher& D, TDispatchType type, TDispatchSubType sub) {
  if (D.DispatchLogging()) D.AddDispatchEntry(type, sub, 0);
}

void finishCommon(TProtocolData& P, TSioBaseDispatcher& D, bool fromYmodem, TXmodemState done) {
  freeBlock(P);
  P.XmodemState = done;
  if (fromYmodem) {
    if (P.ShowStatus) P.ShowStatus(P, 0);
  } else {
    apShowLastStatus(P);
    apSignalFinish(P);
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Set-up
// ---------------------------------------------------------------------------------------
int xpInit(TProtocolData*& P, TSioCustomComPort* port, bool crc, bool oneK, bool g, std::uint32_t options) {
  P = nullptr;
  if (port && port->GetOutSize() < 1029) return ecOutputBufferTooSmall;
  int r = apInitProtocolData(P, port, options);
  if (r != 0) return r;
  return xpReinit(*P, crc, oneK, g);
}

int xpReinit(TProtocolData& P, bool crc, bool oneK, bool g) {
  P.ProtocolType = ptXmodem;
  P.CRCMode = false;
  P.OneKMode = false;
  P.GMode = false;
  P.BlockLength = 128;
  P.StartChar = cSoh;
  P.CheckType = bcmChecksum;
  xpSetCRCMode(P, crc);
  xpSet1KMode(P, oneK);
  xpSetGMode(P, g);
  P.EotCheckCount = P.GMode ? 0 : 1;
  P.BlockWait = 91;
  P.MaxBlockErrors = 5;
  P.Overhead = 5;
  P.TurnDelay = P.GMode ? 0 : 1000;
  P.FinishWait = 0;
  apResetReadWriteHooks(P);
  P.ReleasePart = nullptr;
  return 0;
}

void xpDone(TProtocolData*& P) { apDoneProtocol(P); }

void xpRecomputeType(TProtocolData& P) {
  if (isYmodem(P)) {
    P.ProtocolType = P.GMode ? ptYmodemG : ptYmodem;
    return;
  }
  if (!P.CRCMode)
    P.ProtocolType = ptXmodem;
  else if (!P.OneKMode)
    P.ProtocolType = ptXmodemCRC;
  else if (!P.GMode)
    P.ProtocolType = ptXmodem1K;
  else
    P.ProtocolType = ptXmodem1KG;
}

int xpSetCRCMode(TProtocolData& P, bool on) {
  if (!isXorY(P)) return ecBadProtocolFunction;
  if (P.ProtocolType == ptXmodem || P.ProtocolType == ptXmodemCRC)
    P.CRCMode = on;
  else
    P.CRCMode = true;
  P.CheckType = P.CRCMode ? bcmCrc16 : bcmChecksum;
  xpRecomputeType(P);
  return 0;
}

int xpSet1KMode(TProtocolData& P, bool on) {
  if (!isXorY(P)) return ecBadProtocolFunction;
  P.OneKMode = on;
  if (on) {
    P.BlockLength = 1024;
    P.StartChar = cStx;
    P.CRCMode = true;
    P.CheckType = bcmCrc16;
  } else {
    P.BlockLength = 128;
    P.StartChar = cSoh;
  }
  xpRecomputeType(P);
  return 0;
}

int xpSetGMode(TProtocolData& P, bool on) {
  if (!isXorY(P)) return ecBadProtocolFunction;
  P.GMode = on;
  if (on) {
    xpSet1KMode(P, true);
    P.TurnDelay = 0;
    P.EotCheckCount = 0;
  } else {
    P.TurnDelay = 1000;
    P.EotCheckCount = 1;
    P.MaxBlockErrors = 5;
  }
  xpRecomputeType(P);
  return 0;
}

int xpSetBlockWait(TProtocolData& P, std::uint32_t ticks) {
  if (!isXorY(P)) return ecBadProtocolFunction;
  P.BlockWait = ticks;
  return 0;
}

int xpSetXmodemFinishWait(TProtocolData& P, std::uint32_t ticks) {
  if (!isXorY(P)) return ecBadProtocolFunction;
  P.FinishWait = ticks;
  return 0;
}

// ---------------------------------------------------------------------------------------
// Building blocks
// ---------------------------------------------------------------------------------------
void xpCancel(TProtocolData&, TSioBaseDispatcher& D) {
  static const std::uint8_t seq[] = {cCan, cCan, cCan, cBs, cBs, cBs};
  // What still waits to go is moot; the cancel must not be dropped with it later.
  D.FlushOutBuffer();
  D.PutBlock(seq, sizeof seq);
}

bool xpPrepHandshake(TProtocolData& P, TSioBaseDispatcher& D) {
  ++P.HandshakeAttempt;
  if (P.HandshakeAttempt > P.HandshakeRetry) {
    apProtocolError(P, ecTimeout);
    return false;
  }
  apArmTimeout(P, D, P.HandshakeWait);
  if (P.HandshakeAttempt > 1) {
    ++P.BlockErrors;
    ++P.TotalErrors;
    P.ForceStatus = true;
  }
  return true;
}

bool xpProcessHandshake(TProtocolData& P, TSioBaseDispatcher& D) {
  std::uint8_t c = 0;
  if (D.GetChar(c) != 0) return false;
  switch (c) {
    case cNak:
      P.CheckType = bcmChecksum;
      P.CRCMode = false;
      break;
    case 'C':
      P.CheckType = bcmCrc16;
      P.CRCMode = true;
      break;
    case 'G':
      P.CheckType = bcmCrc16;
      P.CRCMode = true;
      xpSetGMode(P, true);
      break;
    case cCan:
      P.ProtocolStatus = psCancelRequested;
      return false;
    default:
      P.ProtocolStatus = psProtocolError;
      return false;
  }
  // A checksum receiver cannot take 1K blocks.
  if (!P.CRCMode && P.OneKMode) xpSet1KMode(P, false);
  xpRecomputeType(P);
  return true;
}

bool xpTransmitBlock(TProtocolData& P, TSioBaseDispatcher& D, const std::uint8_t* data) {
  if (P.BlockErrors > static_cast<std::int32_t>(P.MaxBlockErrors)) {
    // A 128-byte block goes under the same number: a receiver that holds the 1K block would
    // take it for a repeat and the following data would land 896 bytes short. So the fall-back
    // applies only to a block that every reply refused.
    if (P.OneKMode && P.BlockLength == 1024 && P.DataBlock && data == P.DataBlock && !blockMayBeHeld(P)) {
      P.BlockLength = 128;
      P.StartChar = cSoh;
      P.BlockErrors = 0;
      // The block is read again at its new length, so that its end and the file's end agree.
      std::uint32_t size = 128;
      P.LastBlock = P.ReadBlock(P, P.DataBlock, size);
      P.CurrentBlockLength = static_cast<std::int32_t>(size);
      if (P.ProtocolError != 0) {
        xpCancel(P, D);
        return false;
      }
      if (size == 0) {
        // Nothing is left at this offset: the end of the file follows.
        return true;
      }
    } else {
      xpCancel(P, D);
      apProtocolError(P, ecTooManyErrors);
      return false;
    }
  }
  std::uint8_t frame[1024 + 5];
  const std::uint32_t len = P.BlockLength;
  std::uint8_t n = static_cast<std::uint8_t>(P.BlockNumber & 0xFF);
  frame[0] = P.StartChar;
  frame[1] = n;
  frame[2] = static_cast<std::uint8_t>(255 - n);
  std::memcpy(frame + 3, data, len);
  std::uint32_t total = 3 + len;
  if (P.CheckType == bcmCrc16) {
    std::uint32_t crc = 0;
    for (std::uint32_t i = 0; i < len; ++i) crc = apUpdateCrc(data[i], crc);
    crc = apUpdateCrc(0, apUpdateCrc(0, crc));
    P.BlockCheck = crc;
    frame[total++] = static_cast<std::uint8_t>(crc >> 8);
    frame[total++] = static_cast<std::uint8_t>(crc & 0xFF);
  } else {
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < len; ++i) sum = apUpdateChecksum(data[i], sum);
    P.BlockCheck = sum & 0xFF;
    frame[total++] = static_cast<std::uint8_t>(sum & 0xFF);
  }
  int r = D.PutBlock(frame, total);
  if (r < 0) {
    apProtocolError(P, r);
    return false;
  }
  return true;
}

bool xpProcessBlockReply(TProtocolData& P, TSioBaseDispatcher& D) {
  if (P.GMode) {
    if (waitingByte(D, cCan, cNak)) {
      P.ProtocolStatus = psCancelRequested;
      return false;
    }
    acceptBlock(P);
    return true;
  }
  std::uint8_t c = 0;
  if (D.GetChar(c) != 0) return false;
  switch (c) {
    case cAck:
      acceptBlock(P);
      return true;
    case cCan:
      P.ProtocolStatus = psCancelRequested;
      return false;
    case cNak:
      P.ProtocolStatus = psBlockCheckError;
      break;
    default:
      P.ProtocolStatus = psProtocolError;
      blockMayBeHeld(P) = 1;
      break;
  }
  ++P.BlockErrors;
  ++P.TotalErrors;
  P.ForceStatus = true;
  return false;
}

void xpSendHandshakeChar(TProtocolData& P, TSioBaseDispatcher& D) {
  if (P.GMode && P.HandshakeChar == cAck) return;
  D.PutChar(P.HandshakeChar);
}

namespace {
// The reply sent again when the sender has been silent too long. Mid-file it is a NAK: a
// repeated ACK could pass a block that was lost after the one it acknowledged.
void RepeatReply(TProtocolData& P, TSioBaseDispatcher& D) {
  if (P.HandshakeChar == cAck) P.HandshakeChar = cNak;
  xpSendHandshakeChar(P, D);
}
}  // namespace

void xpStatusStep(TProtocolData& P, TSioBaseDispatcher& D, std::uint32_t trigger) {
  if (!(trigger != 0 && trigger == P.StatusTimerTrigger) && !P.ForceStatus) return;
  if (P.TimerRunning) P.ElapsedTicks = ElapsedTime(P.TransferTimer);
  std::int32_t left = 0;
  if (P.StatusTimerTrigger && D.TimerTicksRemaining(P.StatusTimerTrigger, left) == 0 && left > 0) return;
  if (P.ShowStatus) P.ShowStatus(P, 0);
  if (P.StatusTimerTrigger)
    D.SetTimerTrigger(P.StatusTimerTrigger, static_cast<std::int32_t>(P.StatusInterval), true);
  P.ForceStatus = false;
}

// ---------------------------------------------------------------------------------------
// Transmit
// ---------------------------------------------------------------------------------------
void xpPrepareTransmit(TProtocolData& P) {
  apResetStatus(P);
  apShowFirstStatus(P);
  if (!P.NextFile || !P.NextFile(P, P.PathName) || P.PathName[0] == 0) {
    apShowLastStatus(P);
    if (P.ProtocolError == 0) P.ProtocolError = ecNoFilename;
    return;
  }
  P.TimerRunning = false;
  P.ForceStatus = true;
  P.XmodemState = txInitial;
  freeBlock(P);
  if (TSioBaseDispatcher* D = apDispatcher(P)) D->FlushInBuffer();
}

bool xpAbortRequested(TProtocolData& P, TSioBaseDispatcher& D, UINT msg, std::uint32_t trigger) {
  const bool carrier = apIsStatusTrigger(msg, trigger, P.CarrierTrigger) && !D.CheckDCD();
  if (!carrier && msg != apw_ProtocolCancel) return false;
  if (!carrier) xpCancel(P, D);
  P.ProtocolStatus = carrier ? psAbortNoCarrier : psCancelRequested;
  P.ForceStatus = true;
  return true;
}

int xpTransmitPrim(TProtocolData& P, TSioBaseDispatcher& D, UINT msg, std::uint32_t trigger,
                   bool fromYmodem) {
  if (P.XmodemState == txDone) return 1;
  if (msg == SW_TRIGGERAVAIL) trigger = 0;
  bool first = true;
  for (;;) {
    logEntry(P, D, dtXModem, static_cast<TDispatchSubType>(dsttxInitial + P.XmodemState));
    if (first && xpAbortRequested(P, D, msg, trigger)) P.XmodemState = txFinished;
    xpStatusStep(P, D, trigger);
    const bool timeout = first && apIsTimeout(P, msg, trigger);
    const bool outUsed = first && apIsStatusTrigger(msg, trigger, P.OutUsedTrigger);
    const bool outFree = first && apIsStatusTrigger(msg, trigger, P.OutFreeTrigger);
    first = false;

    switch (P.XmodemState) {
      case txInitial: {
        if (!P.DataBlock) P.DataBlock = new (std::nothrow) std::uint8_t[1024];
        if (!P.DataBlock) {
          apProtocolError(P, ecOutOfMemory);
          P.XmodemState = txFinished;
          break;
        }
        if (P.LogFile) P.LogFile(P, lfTransmitStart);
        P.ProtocolStatus = psProtocolHandshake;
        P.PrepareReading(P);
        if (P.ProtocolError != 0) {
          P.XmodemState = txFinished;
          break;
        }
        P.BlockNumber = 1;
        P.HandshakeAttempt = 0;
        P.XmodemState = xpPrepHandshake(P, D) ? txHandshake : txFinished;
        break;
      }
      case txHandshake:
        if (D.CharReady()) {
          if (xpProcessHandshake(P, D)) {
            NewTimer(P.TransferTimer, 0);
            P.TimerRunning = true;
            P.FileOffset = 0;
            P.BlockErrors = 0;
            P.TotalErrors = 0;
            if (P.GMode) P.MaxBlockErrors = 0;
            P.ProtocolStatus = psOK;
            timeoutResends(P) = 0;
            P.XmodemState = txGetBlock;
          } else if (P.ProtocolStatus == psCancelRequested || !xpPrepHandshake(P, D)) {
            P.XmodemState = txFinished;
          }
        } else if (timeout) {
          if (!xpPrepHandshake(P, D)) P.XmodemState = txFinished;
        }
        break;
      case txGetBlock: {
        std::uint32_t size = P.BlockLength;
        P.BlockErrors = 0;
        blockMayBeHeld(P) = 0;
        P.LastBlock = P.ReadBlock(P, P.DataBlock, size);
        P.CurrentBlockLength = static_cast<std::int32_t>(size);
        // A read error stays in ProtocolError for the send step to see.
        if (P.ProtocolError != 0)
          P.XmodemState = txSendBlock;
        else
          freeSpaceCheck(P, D);
        break;
      }
      case txWaitFreeSpace:
        if (P.GMode && waitingByte(D, cCan, cCan)) {
          P.ProtocolStatus = psCancelRequested;
          P.XmodemState = txFinished;
        } else if (outFree || D.OutBuffFree() >= P.BlockLength + 5) {
          P.XmodemState = txSendBlock;
        } else if (timeout) {
          apProtocolError(P, ecTimeout);
          P.XmodemState = txFinished;
        }
        break;
      case txSendBlock:
        if (P.ProtocolError != 0) {
          xpCancel(P, D);
          P.XmodemState = txFinished;
          break;
        }
        if (P.CurrentBlockLength == 0) {
          P.XmodemState = txFirstEndOfTransmit;
          break;
        }
        if (!xpTransmitBlock(P, D, P.DataBlock)) {
          // A cancel that the failure sent stays in the output buffer.
          P.XmodemState = txFinished;
          break;
        }
        if (P.CurrentBlockLength == 0) {  // a fallback found the file's end
          P.XmodemState = txFirstEndOfTransmit;
          break;
        }
        if (!P.GMode) {
          apArmTimeout(P, D, 1092);
          apArmOutUsed(P, D);
          P.XmodemState = txDraining;
        } else if (!xpProcessBlockReply(P, D)) {
          D.FlushOutBuffer();
          P.XmodemState = txFinished;
        } else if (P.LastBlock) {
          std::uint32_t wait = P.FinishWait;
          if (wait == 0) {
            std::uint32_t in = 0, out = 0;
            D.BufferSizes(in, out);
            std::uint32_t cps = P.ActualCPS ? P.ActualCPS : 1;
            wait = (in / cps * 182 / 10 + P.BlockWait) * 2;
          }
          apArmTimeout(P, D, wait);
          apArmOutUsed(P, D);
          P.XmodemState = txEndDrain;
        } else {
          P.XmodemState = txGetBlock;
        }
        P.ForceStatus = true;
        break;
      case txDraining:
        if (outUsed || D.CharReady() || timeout) {
          apArmTimeout(P, D, P.BlockWait);
          P.XmodemState = txReplyPending;
        }
        break;
      case txReplyPending:
        if (D.CharReady()) {
          if (xpProcessBlockReply(P, D)) {
            P.XmodemState = P.LastBlock ? txFirstEndOfTransmit : txGetBlock;
          } else if (P.ProtocolStatus == psCancelRequested) {
            D.FlushOutBuffer();
            P.XmodemState = txFinished;
          } else {
            freeSpaceCheck(P, D);
          }
        } else if (timeout) {
          // No reply: the block goes again. A receiver that stays silent for the whole
          // transmit time-out ends the run.
          ++timeoutResends(P);
          blockMayBeHeld(P) = 1;
          if (timeoutResends(P) * std::max<std::uint32_t>(P.BlockWait, 1) >= P.TransmitTimeout) {
            xpCancel(P, D);
            apProtocolError(P, ecTimeout);
            P.XmodemState = txFinished;
          } else {
            freeSpaceCheck(P, D);
          }
        }
        break;
      case txEndDrain:
        if (outUsed || timeout) P.XmodemState = txFirstEndOfTransmit;
        break;
      case txFirstEndOfTransmit:
        P.ProtocolStatus = psOK;
        P.BlockErrors = 0;
        P.NakCount = 0;
        D.FlushInBuffer();
        D.PutChar(cEot);
        apArmTimeout(P, D, P.TransmitTimeout);
        P.XmodemState = txEotReply;
        break;
      case txRestEndOfTransmit:
        P.ProtocolStatus = psOK;
        D.FlushInBuffer();
        if (P.BlockErrors > static_cast<std::int32_t>(P.MaxBlockErrors)) {
          apProtocolError(P, ecTooManyErrors);
          P.XmodemState = txFinished;
          break;
        }
        D.PutChar(cEot);
        apArmTimeout(P, D, P.BlockWait);
        P.XmodemState = txEotReply;
        break;
      case txEotReply:
        if (D.CharReady()) {
          std::uint8_t c = 0;
          D.GetChar(c);
          if (c == cAck) {
            P.ProtocolStatus = psEndFile;
            P.XmodemState = txFinished;
          } else if (c == cCan) {
            P.ProtocolStatus = psCancelRequested;
            P.XmodemState = txFinished;
          } else if (c == cNak) {
            if (++P.NakCount >= 3) {
              xpCancel(P, D);
              apProtocolError(P, ecTooManyErrors);
              P.XmodemState = txFinished;
            } else {
              P.XmodemState = txRestEndOfTransmit;
            }
          } else {
            ++P.BlockErrors;
            ++P.TotalErrors;
            P.ProtocolStatus = psProtocolError;
            P.XmodemState = txRestEndOfTransmit;
          }
        } else if (timeout) {
          // Unanswered EOTs count, so that a receiver that is gone ends the run.
          ++P.BlockErrors;
          ++P.TotalErrors;
          P.XmodemState = txRestEndOfTransmit;
        }
        break;
      case txFinished: {
        if (!(P.ProtocolStatus == psEndFile && P.ProtocolError == 0)) D.FlushInBuffer();
        P.FinishReading(P);
        const bool ok = P.ProtocolStatus == psEndFile && P.ProtocolError == 0;
        if (P.LogFile) P.LogFile(P, ok ? lfTransmitOk : lfTransmitFail);
        finishCommon(P, D, fromYmodem, txDone);
        return 1;
      }
      default:
        return 1;
    }

    bool more = false;
    switch (P.XmodemState) {
      case txInitial:
      case txWaitFreeSpace:
      case txEndDrain:
      case txDone:
        more = false;
        break;
      case txHandshake:
      case txDraining:
      case txReplyPending:
      case txEotReply:
        more = D.CharReady();
        break;
      default:
        more = true;
        break;
    }
    if (!more) return 0;
    trigger = 0;
  }
}

void xpTransmit(UINT msg, WPARAM wParam, LPARAM lParam) {
  TProtocolCall call(lParam);
  if (!call) return;
  xpTransmitPrim(*call.P, *call.D, msg, static_cast<std::uint32_t>(wParam), false);
}

// ---------------------------------------------------------------------------------------
// Receive
// ---------------------------------------------------------------------------------------
void xpPrepareReceive(TProtocolData& P) {
  P.XmodemState = rxInitial;
  freeBlock(P);
  apResetStatus(P);
  apShowFirstStatus(P);
  P.ForceStatus = false;
  P.TimerRunning = false;
}

bool xpCheckForBlockStart(TProtocolData& P, TSioBaseDispatcher& D, std::uint8_t& c) {
  while (D.GetChar(c) == 0) {
    if (c == cSoh || c == cStx || c == cEot || c == cCan) return true;
    P.ProtocolStatus = psProtocolError;
    P.ForceStatus = true;
    P.EotCount = 0;
    P.CanCount = 0;
  }
  return false;
}

TProcessBlockStart xpProcessBlockStart(TProtocolData& P, TSioBaseDispatcher& D, std::uint8_t c) {
  switch (c) {
    case cSoh:
    case cStx:
      P.BlockLength = c == cSoh ? 128 : 1024;
      P.CollectCount = 0;
      P.EotCount = 0;
      P.CanCount = 0;
      return c == cSoh ? pbs128 : pbs1024;
    case cEot:
      P.CanCount = 0;
      ++P.EotCount;
      if (P.EotCount > static_cast<std::int32_t>(P.EotCheckCount)) {
        D.PutChar(cAck);
        P.ProtocolStatus = psEndFile;
        return pbsEOT;
      }
      D.PutChar(cNak);
      apArmTimeout(P, D, P.BlockWait);
      return pbsNone;
    case cCan:
      P.EotCount = 0;
      if (++P.CanCount >= 3) {
        xpCancel(P, D);
        P.ProtocolStatus = psCancelRequested;
        return pbsCancel;
      }
      return pbsNone;
    default:
      return pbsNone;
  }
}

bool xpCollectBlock(TProtocolData& P, TSioBaseDispatcher& D) {
  const std::uint32_t need = P.BlockLength + static_cast<std::uint32_t>(P.BlockOverhead);
  std::uint32_t avail = D.InBuffUsed();
  if (avail > 0 && P.CollectCount < need && P.DataBlock) {
    std::uint32_t take = std::min(avail, need - P.CollectCount);
    if (D.GetBlock(P.DataBlock + P.CollectCount, take) >= 0) P.CollectCount += take;
  }
  return P.CollectCount >= need;
}

void xpReceiveBlock(TProtocolData& P, TSioBaseDispatcher& D) {
  const std::uint8_t* b = P.DataBlock;
  const std::uint8_t num = b[0];
  const std::uint32_t len = P.BlockLength;
  bool good = false;
  if (static_cast<std::uint8_t>(num + b[1]) == 0xFF) {
    std::uint32_t check = 0, got = 0;
    if (P.CheckType == bcmCrc16) {
      for (std::uint32_t i = 0; i < len; ++i) check = apUpdateCrc(b[2 + i], check);
      check = apUpdateCrc(0, apUpdateCrc(0, check));
      got = (static_cast<std::uint32_t>(b[2 + len]) << 8) | b[3 + len];
    } else {
      for (std::uint32_t i = 0; i < len; ++i) check = apUpdateChecksum(b[2 + i], check);
      check &= 0xFF;
      got = b[2 + len];
    }
    P.BlockCheck = check;
    good = check == got;
  }
  if (!good) {
    // A damaged block, the header bytes included: it is asked for again.
    ++P.BlockErrors;
    ++P.TotalErrors;
    D.FlushInBuffer();
    P.ProtocolStatus = psBlockCheckError;
    P.HandshakeChar = cNak;
  } else if (num == static_cast<std::uint8_t>((P.BlockNumber - 1) & 0xFF)) {
    P.HandshakeChar = cAck;
    P.BlockErrors = 0;
    P.ProtocolStatus = psDuplicateBlock;
  } else if (num == static_cast<std::uint8_t>(P.BlockNumber & 0xFF)) {
    P.HandshakeChar = cAck;
    ++P.BlockNumber;
    P.BytesTransferred += static_cast<std::int32_t>(len);
    P.BytesToSend = std::max(0, P.BytesToSend - static_cast<std::int32_t>(len));
    P.BlockErrors = 0;
    P.ProtocolError = 0;
    P.ProtocolStatus = psOK;
    P.ForceStatus = true;
    P.CurrentBlockLength = static_cast<std::int32_t>(len);
  } else {
    ++P.BlockErrors;
    ++P.TotalErrors;
    xpCancel(P, D);
    P.ProtocolStatus = psSequenceError;
    apProtocolError(P, ecSequenceError);
    return;
  }
  if (P.GMode && P.ProtocolStatus != psOK) return;  // no replies in G mode; the caller cancels
  xpSendHandshakeChar(P, D);
}

int xpReceivePrim(TProtocolData& P, TSioBaseDispatcher& D, UINT msg, std::uint32_t trigger, bool fromYmodem) {
  if (P.XmodemState == rxDone) return 1;
  if (msg == SW_TRIGGERAVAIL) trigger = 0;
  bool first = true;
  for (;;) {
    logEntry(P, D, dtXModem, static_cast<TDispatchSubType>(dsttxInitial + P.XmodemState));
    if (first && xpAbortRequested(P, D, msg, trigger)) P.XmodemState = rxFinished;
    xpStatusStep(P, D, trigger);
    const bool timeout = first && apIsTimeout(P, msg, trigger);
    first = false;

    switch (P.XmodemState) {
      case rxInitial: {
        if (!P.DataBlock) P.DataBlock = new (std::nothrow) std::uint8_t[1029];
        if (!P.DataBlock) {
          apProtocolError(P, ecOutOfMemory);
          P.XmodemState = rxFinished;
          break;
        }
        if (P.PathName[0] == 0) {
          apProtocolError(P, ecNoFilename);
          xpCancel(P, D);
          P.XmodemState = rxFinished;
          break;
        }
        if (P.UpcaseFileNames) apUpcase(P.PathName);
        if (P.LogFile) P.LogFile(P, lfReceiveStart);
        if (P.AcceptFile && !P.AcceptFile(P, P.PathName)) {
          xpCancel(P, D);
          P.ProtocolStatus = psFileRejected;
          P.XmodemState = rxFinishedSkip;
          break;
        }
        P.PrepareWriting(P);
        if (P.ProtocolError != 0 || P.ProtocolStatus == psCantWriteFile) {
          // An existing file that is not to be replaced is skipped; a file that cannot be made
          // has failed.
          const bool failed = P.ProtocolError != 0;
          if (!failed) P.ProtocolError = ecCantWriteFile;
          xpCancel(P, D);
          P.XmodemState = failed ? rxFinished : rxFinishedSkip;
          break;
        }
        P.FileOffset = 0;
        P.HandshakeChar = P.GMode ? 'G' : P.CRCMode ? 'C' : cNak;
        xpSendHandshakeChar(P, D);
        P.BlockNumber = 1;
        P.EotCount = 0;
        P.CanCount = 0;
        apArmTimeout(P, D, P.HandshakeWait);
        P.BlockOverhead = P.CRCMode ? 4 : 3;
        P.XmodemState = rxWaitForHSReply;
        break;
      }
      case rxWaitForHSReply:
        if (D.CharReady()) {
          P.XmodemState = rxWaitForBlockStart;
        } else if (timeout) {
          ++P.BlockErrors;
          ++P.TotalErrors;
          if (P.BlockErrors > static_cast<std::int32_t>(P.MaxBlockErrors)) {
            apProtocolError(P, ecTooManyErrors);
            P.ProtocolStatus = psProtocolError;
            P.XmodemState = rxFinished;
            break;
          }
          if (P.HandshakeChar == 'C' && P.BlockErrors > 3) {
            P.BlockErrors = 0;
            P.CheckType = bcmChecksum;
            P.HandshakeChar = cNak;
            P.CRCMode = false;
            P.BlockOverhead = 3;
          }
          RepeatReply(P, D);
          apArmTimeout(P, D, P.HandshakeWait);
        }
        break;
      case rxWaitForBlockStart:
        if (D.CharReady()) {
          if (!P.TimerRunning) {
            NewTimer(P.TransferTimer, 0);
            P.TimerRunning = true;
            if (P.GMode) P.MaxBlockErrors = 0;
          }
          std::uint8_t c = 0;
          if (!xpCheckForBlockStart(P, D, c)) break;
          switch (xpProcessBlockStart(P, D, c)) {
            case pbs128:
            case pbs1024:
              apArmTimeout(P, D, P.BlockWait);
              P.XmodemState = rxCollectBlock;
              break;
            case pbsEOT:
            case pbsCancel:
              P.XmodemState = rxFinished;
              break;
            default:
              break;
          }
        } else if (timeout) {
          if (P.EotCount > 0) {
            D.PutChar(cAck);
            P.ProtocolStatus = psEndFile;
            P.XmodemState = rxFinished;
            break;
          }
          ++P.BlockErrors;
          ++P.TotalErrors;
          if (P.BlockErrors > static_cast<std::int32_t>(P.MaxBlockErrors)) {
            apProtocolError(P, ecTooManyErrors);
            P.XmodemState = rxFinished;
          } else if (P.CanCount > 0) {
            P.ProtocolStatus = psCancelRequested;
            P.XmodemState = rxFinished;
          } else {
            RepeatReply(P, D);
            P.XmodemState = rxWaitForHSReply;
            apArmTimeout(P, D, P.BlockWait);
          }
        }
        break;
      case rxCollectBlock:
        P.HandshakeChar = cNak;
        if (xpCollectBlock(P, D)) {
          P.XmodemState = rxProcessBlock;
        } else if (timeout) {
          D.PutChar(cNak);
          P.ProtocolStatus = psTimeout;
          P.XmodemState = rxWaitForBlockStart;
          apArmTimeout(P, D, P.BlockWait);
        }
        break;
      case rxProcessBlock:
        xpReceiveBlock(P, D);
        if (P.ProtocolError == 0 && P.ProtocolStatus == psBlockCheckError &&
            P.BlockErrors > static_cast<std::int32_t>(P.MaxBlockErrors))
          apProtocolError(P, ecTooManyErrors);
        if (P.ProtocolError == 0 && P.ProtocolStatus == psOK) {
          if (P.WriteBlock(P, P.DataBlock + 2, static_cast<std::uint32_t>(P.CurrentBlockLength))) {
            if (P.ProtocolError == 0) P.ProtocolError = ecCantWriteFile;
          }
        }
        if (P.ProtocolStatus == psOK && P.ProtocolError == 0) {
          P.FileOffset += P.CurrentBlockLength;
          P.XmodemState = rxWaitForBlockStart;
          apArmTimeout(P, D, P.BlockWait);
        } else if (P.ProtocolError == 0 && !P.GMode) {
          P.XmodemState = rxWaitForHSReply;
          apArmTimeout(P, D, P.HandshakeWait);
        } else {
          xpCancel(P, D);
          // A bad block in G mode cannot be asked for again: the file is incomplete.
          if (P.ProtocolError == 0) apProtocolError(P, ecTooManyErrors);
          P.XmodemState = rxFinished;
        }
        break;
      case rxFinishedSkip:
      case rxFinished: {
        const bool skip = P.XmodemState == rxFinishedSkip;
        if (!(P.ProtocolStatus == psEndFile && P.ProtocolError == 0)) D.FlushInBuffer();
        P.FinishWriting(P);
        // A batch header announced the length: a file that ended short of it is incomplete.
        if (fromYmodem && !skip && P.ProtocolStatus == psEndFile && P.ProtocolError == 0 &&
            P.SavedFileLength > 0 && P.FileOffset < P.SavedFileLength) {
          P.ProtocolStatus = psProtocolError;
          apProtocolError(P, ecProtocolError);
          xpCancel(P, D);
        }
        const bool ok = P.ProtocolStatus == psEndFile && P.ProtocolError == 0;
        if (P.LogFile) P.LogFile(P, skip ? lfReceiveSkip : ok ? lfReceiveOk : lfReceiveFail);
        finishCommon(P, D, fromYmodem, rxDone);
        return 1;
      }
      default:
        return 1;
    }

    bool more = false;
    switch (P.XmodemState) {
      case rxInitial:
      case rxDone:
        more = false;
        break;
      case rxWaitForHSReply:
      case rxWaitForBlockStart:
      case rxCollectBlock:
        more = D.CharReady();
        break;
      default:
        more = true;
        break;
    }
    if (!more) return 0;
    trigger = 0;
  }
}

void xpReceive(UINT msg, WPARAM wParam, LPARAM lParam) {
  TProtocolCall call(lParam);
  if (!call) return;
  xpReceivePrim(*call.P, *call.D, msg, static_cast<std::uint32_t>(wParam), false);
}
