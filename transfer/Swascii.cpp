// ASCII transfer engine.
#include "transfer/Swascii.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "serial/SioPort.h"
#include "serial/Sioexcept.h"
#include "transfer/Swxmodem.h"

namespace {

constexpr std::uint32_t blockBytes = spDataBlockSize + sizeof(TAsciiTail);

std::uint32_t msToTicks(std::uint32_t ms) { return ms / MSecsPerTick + (ms % MSecsPerTick ? 1 : 0); }

// A run that ends with one of these statuses has failed, even before apSignalFinish turns the
// status into its error code.
bool runFailed(const TProtocolData& P) {
  if (P.ProtocolError != 0) return true;
  switch (P.ProtocolStatus) {
    case psFileRejected:
    case psCantWriteFile:
    case psTimeout:
    case psProtocolError:
    case psCancelRequested:
    case psSequenceError:
    case psAbortNoCarrier:
      return true;
    default:
      return false;
  }
}

// The characters that go on the line (or into the file) for one character c: none, c, or a
// CR LF pair.
std::uint32_t translate(const TAsciiTail& T, std::uint8_t c, std::uint8_t out[2]) {
  if (c == 13) {
    if (T.CRTranslation == aetStrip) return 0;
    if (T.CRTranslation == aetAddLFAfter) {
      out[0] = 13;
      out[1] = 10;
      return 2;
    }
  } else if (c == 10) {
    if (T.LFTranslation == aetStrip) return 0;
    if (T.LFTranslation == aetAddCRBefore) {
      out[0] = 13;
      out[1] = 10;
      return 2;
    }
  }
  out[0] = c;
  return 1;
}

// Drops what still waits to go out (the receiver never has anything there).
void flushOutput(TSioBaseDispatcher& D) {
  if (D.OutBuffUsed() > 0) D.FlushOutBuffer();
}

void logEntry(TAsciiTail& T, TSioBaseDispatcher& D) {
  if (D.DispatchLogging())
    D.AddDispatchEntry(dtAscii, static_cast<TDispatchSubType>(dsttaInitial + T.AsciiState), 0);
}

void setDefaults(TAsciiTail& T) { T = TAsciiTail{}; }

// Sends the block from SendIndex on. Result: the state that follows.
TAsciiState sendBlock(TProtocolData& P, TAsciiTail& T, TSioBaseDispatcher& D) {
  std::uint32_t busy = 0;  // ms waited in place during this call
  const std::int32_t len = P.CurrentBlockLength;
  while (T.SendIndex < len) {
    const std::uint8_t c = P.DataBlock[T.SendIndex];
    if (c == cCtrlZ) {
      // A Ctrl-Z never goes out; with AsciiSuppressCtrlZ it also ends the block.
      if (apOptionsAreOn(P, apAsciiSuppressCtrlZ)) {
        T.SendIndex = len;
        break;
      }
      ++T.SendIndex;
      continue;
    }
    std::uint8_t out[2];
    const std::uint32_t n = translate(T, c, out);
    if (n > 0 && D.OutBuffFree() < n) {
      // The line is slower than the translation grows the block: wait for room.
      apArmTimeout(P, D, P.TransmitTimeout);
      apArmOutFree(P, D, P.BlockLength + 1);
      return taWaitFreeSpace;
    }
    if (n > 0) {
      const int r = D.PutBlock(out, n);
      if (r < 0) {
        apProtocolError(P, r);
        return taFinished;
      }
      P.BytesTransferred += static_cast<std::int32_t>(n);
      P.BytesToSend = std::max(0, P.BytesToSend - static_cast<std::int32_t>(n));
    }
    ++T.SendIndex;
    if (n == 0) continue;
    const bool eol = out[0] == T.EOLChar || (n == 2 && out[1] == T.EOLChar);
    const std::uint32_t waitMs = T.CharDelay + (eol ? T.LineDelay : 0);
    if (waitMs == 0) continue;
    if (busy + waitMs < T.MaxBusyDelay) {
      DelayMS(waitMs);
      busy += waitMs;
    } else {
      apArmTimeout(P, D, T.CharDelayTicks + (eol ? T.LineDelayTicks : 0));
      // The last character of the block still has its pause before the block counts as done.
      return taSendDelay;
    }
  }
  ++P.BlockNumber;
  P.FileOffset += static_cast<std::int32_t>(std::min(P.BlockLength, spDataBlockSize));
  if (P.TimerRunning) P.ElapsedTicks = ElapsedTime(P.TransferTimer);
  P.ForceStatus = true;
  if (P.LastBlock) {
    apArmTimeout(P, D, P.TransmitTimeout);
    if (P.OutUsedTrigger) D.SetStatusTrigger(P.OutUsedTrigger, 0, true);
    return taFinishDrain;
  }
  return taGetBlock;
}

// The common frame of both machines: carrier loss and cancel. True when the run now ends.
bool frameEvents(TProtocolData& P, TAsciiTail& T, TSioBaseDispatcher& D, UINT msg, std::uint32_t trigger,
                 TAsciiState finished) {
  if (apIsStatusTrigger(msg, trigger, P.CarrierTrigger) && !D.CheckDCD()) {
    P.ProtocolStatus = psAbortNoCarrier;
  } else if (msg == apw_ProtocolCancel) {
    P.ProtocolStatus = psCancelRequested;
  } else {
    return false;
  }
  flushOutput(D);
  T.AsciiState = finished;
  P.ForceStatus = true;
  return true;
}

void transmitPrim(TProtocolData& P, TAsciiTail& T, TSioBaseDispatcher& D, UINT msg, std::uint32_t trigger) {
  if (T.AsciiState == taDone || T.AsciiState >= raInitial) return;
  if (msg == SW_TRIGGERAVAIL) trigger = 0;
  bool first = true;
  for (;;) {
    logEntry(T, D);
    if (first) frameEvents(P, T, D, msg, trigger, taFinished);
    xpStatusStep(P, D, trigger);
    const bool timeout = first && apIsTimeout(P, msg, trigger);
    const bool outFree = first && apIsStatusTrigger(msg, trigger, P.OutFreeTrigger);
    const bool outUsed = first && apIsStatusTrigger(msg, trigger, P.OutUsedTrigger);
    first = false;

    switch (T.AsciiState) {
      case taInitial:
        // The file is opened by the name it has: file names here are case-sensitive, and
        // no name goes on the line that could be upper-cased.
        if (P.LogFile) P.LogFile(P, lfTransmitStart);
        P.PrepareReading(P);
        if (P.ProtocolError != 0) {
          T.AsciiState = taFinished;
          break;
        }
        apArmTimeout(P, D, P.TransmitTimeout);
        NewTimer(P.TransferTimer, 0);
        P.TimerRunning = true;
        T.AsciiState = taGetBlock;
        break;
      case taGetBlock: {
        P.CurrentBlockLength = static_cast<std::int32_t>(P.BlockLength);
        std::uint32_t size = std::min(P.BlockLength, spDataBlockSize);
        P.LastBlock = P.ReadBlock(P, P.DataBlock, size);
        P.CurrentBlockLength = static_cast<std::int32_t>(size);
        if (P.ProtocolError != 0 || size == 0) {
          T.AsciiState = taFinished;
          break;
        }
        T.SendIndex = 0;
        apArmTimeout(P, D, P.TransmitTimeout);
        apArmOutFree(P, D, P.BlockLength + 1);
        T.AsciiState = taWaitFreeSpace;
        break;
      }
      case taWaitFreeSpace:
        if (outFree || D.OutBuffFree() >= P.BlockLength + 1) {
          T.AsciiState = taSendBlock;
        } else if (timeout) {
          apProtocolError(P, ecTimeout);
          T.AsciiState = taFinished;
        }
        break;
      case taSendBlock:
        T.AsciiState = sendBlock(P, T, D);
        break;
      case taSendDelay:
        if (timeout) T.AsciiState = taSendBlock;
        break;
      case taFinishDrain:
        if (outUsed || D.OutBuffUsed() == 0) {
          P.ProtocolStatus = psEndFile;
          T.AsciiState = taFinished;
        } else if (timeout) {
          apProtocolError(P, ecTimeout);
          T.AsciiState = taFinished;
        }
        break;
      case taFinished: {
        const bool failed = runFailed(P);
        if (failed) D.FlushInBuffer();
        P.FinishReading(P);
        if (P.LogFile) P.LogFile(P, failed ? lfTransmitFail : lfTransmitOk);
        T.AsciiState = taDone;
        apShowLastStatus(P);
        apSignalFinish(P);
        return;
      }
      default:
        return;
    }

    switch (T.AsciiState) {
      case taGetBlock:
      case taSendBlock:
      case taFinished:
        break;
      case taWaitFreeSpace:
        if (D.OutBuffFree() < P.BlockLength + 1) return;
        break;
      default:
        return;
    }
    trigger = 0;
    msg = 0;
  }
}

// Stores the waiting characters of the block; true once BlockLength have been collected.
bool collect(TProtocolData& P, TAsciiTail& T, TSioBaseDispatcher& D) {
  const std::uint32_t want = std::min(P.BlockLength, spDataBlockSize - 1);
  std::uint8_t c = 0;
  while (T.CollectCount < want && D.GetChar(c) == 0) {
    if (!P.TimerRunning) {
      NewTimer(P.TransferTimer, 0);
      P.TimerRunning = true;
    }
    if (c == cCtrlZ && apOptionsAreOn(P, apAsciiSuppressCtrlZ)) continue;
    std::uint8_t out[2];
    const std::uint32_t n = translate(T, c, out);
    for (std::uint32_t i = 0; i < n; ++i) P.DataBlock[T.CollectCount++] = out[i];
  }
  return T.CollectCount >= want;
}

void receivePrim(TProtocolData& P, TAsciiTail& T, TSioBaseDispatcher& D, UINT msg, std::uint32_t trigger) {
  if (T.AsciiState == raDone || T.AsciiState < raInitial) return;
  if (msg == SW_TRIGGERAVAIL) trigger = 0;
  bool first = true;
  for (;;) {
    logEntry(T, D);
    if (first) frameEvents(P, T, D, msg, trigger, raFinished);
    xpStatusStep(P, D, trigger);
    const bool timeout = first && apIsTimeout(P, msg, trigger);
    first = false;

    switch (T.AsciiState) {
      case raInitial:
        if (P.PathName[0] == 0) {
          apProtocolError(P, ecNoFilename);
          T.AsciiState = raFinished;
          break;
        }
        if (P.UpcaseFileNames) apUpcase(P.PathName);
        if (P.LogFile) P.LogFile(P, lfReceiveStart);
        if (P.AcceptFile && !P.AcceptFile(P, P.PathName)) {
          flushOutput(D);
          P.ProtocolStatus = psFileRejected;
          T.AsciiState = raFinished;
          break;
        }
        P.PrepareWriting(P);
        if (P.ProtocolError != 0 || P.ProtocolStatus == psCantWriteFile) {
          if (P.ProtocolError == 0) P.ProtocolError = ecCantWriteFile;
          flushOutput(D);
          T.AsciiState = raFinished;
          break;
        }
        P.FileOffset = 0;
        P.BlockNumber = 1;
        T.CollectCount = 0;
        P.ForceStatus = true;
        apArmTimeout(P, D, P.EOFTimeout);
        P.TimerRunning = false;
        T.AsciiState = raCollectBlock;
        break;
      case raCollectBlock:
        if (D.CharReady()) {
          if (collect(P, T, D)) T.AsciiState = raProcessBlock;
          // Every character restarts the wait for the end of the data.
          if (T.AsciiState == raCollectBlock) apArmTimeout(P, D, P.EOFTimeout);
        } else if (timeout) {
          T.CtrlZFound = true;
          T.AsciiState = raProcessBlock;
        }
        break;
      case raProcessBlock: {
        std::uint32_t len = T.CollectCount;
        for (std::uint32_t i = 0; i + 1 < len; ++i) {
          if (P.DataBlock[i] == cCtrlZ) {
            len = i + 1;
            T.CtrlZFound = true;
            break;
          }
        }
        P.BytesTransferred += static_cast<std::int32_t>(len);
        if (P.TimerRunning) P.ElapsedTicks = ElapsedTime(P.TransferTimer);
        if (len > 0 && P.WriteBlock(P, P.DataBlock, len) && P.ProtocolError == 0)
          apProtocolError(P, ecCantWriteFile);
        if (P.ProtocolError == 0) {
          P.FileOffset += static_cast<std::int32_t>(len);
          apArmTimeout(P, D, P.EOFTimeout);
          P.ForceStatus = true;
          T.CollectCount = 0;
        }
        T.AsciiState = (P.ProtocolError != 0 || T.CtrlZFound) ? raFinished : raCollectBlock;
        break;
      }
      case raFinished: {
        // Characters collected before a cancel or a carrier loss still go into the file.
        if (T.CollectCount > 0 && P.FileOpen && P.ProtocolError == 0) {
          if (P.WriteBlock(P, P.DataBlock, T.CollectCount) && P.ProtocolError == 0)
            apProtocolError(P, ecCantWriteFile);
          if (P.ProtocolError == 0) {
            P.BytesTransferred += static_cast<std::int32_t>(T.CollectCount);
            P.FileOffset += static_cast<std::int32_t>(T.CollectCount);
          }
          T.CollectCount = 0;
        }
        P.FinishWriting(P);
        if (T.CtrlZFound && P.ProtocolError == 0 && P.ProtocolStatus == psOK) P.ProtocolStatus = psEndFile;
        if (P.LogFile) P.LogFile(P, runFailed(P) ? lfReceiveFail : lfReceiveOk);
        T.AsciiState = raDone;
        apShowLastStatus(P);
        apSignalFinish(P);
        return;
      }
      default:
        return;
    }

    bool more = false;
    switch (T.AsciiState) {
      case raCollectBlock:
        more = D.CharReady();
        break;
      case raProcessBlock:
      case raFinished:
        more = true;
        break;
      default:
        break;
    }
    if (!more) return;
    trigger = 0;
    msg = 0;
  }
}

template <void (*Prim)(TProtocolData&, TAsciiTail&, TSioBaseDispatcher&, UINT, std::uint32_t)>
void runMachine(UINT msg, WPARAM wParam, LPARAM lParam) {
  TProtocolCall call(lParam);
  if (!call) return;
  TAsciiTail* T = spTail(*call.P);
  if (!T) return;
  Prim(*call.P, *T, *call.D, msg, static_cast<std::uint32_t>(wParam));
}

}  // namespace

TAsciiTail* spTail(TProtocolData& P) {
  if (!P.DataBlock || P.ProtocolType != ptAscii) return nullptr;
  return std::launder(reinterpret_cast<TAsciiTail*>(P.DataBlock + spDataBlockSize));
}

// ---------------------------------------------------------------------------------------
// Set-up
// ---------------------------------------------------------------------------------------
int spInit(TProtocolData*& P, TSioCustomComPort* port, std::uint32_t options) {
  P = nullptr;
  if (port && port->GetOutSize() < spDataBlockSize) return ecOutputBufferTooSmall;
  int r = apInitProtocolData(P, port, options);
  if (r != 0) return r;
  r = spReinit(*P);
  if (r != 0) apDoneProtocol(P);
  return r;
}

int spReinit(TProtocolData& P) {
  delete[] P.DataBlock;
  P.DataBlock = new (std::nothrow) std::uint8_t[blockBytes];
  if (!P.DataBlock) return ecOutOfMemory;
  std::memset(P.DataBlock, 0, spDataBlockSize);
  new (P.DataBlock + spDataBlockSize) TAsciiTail{};
  P.ProtocolType = ptAscii;
  P.BlockLength = 60;
  P.CheckType = bcmNone;
  P.EOFTimeout = 364;
  setDefaults(*spTail(P));
  apResetReadWriteHooks(P);
  P.ReleasePart = spDonePart;
  return 0;
}

void spDonePart(TProtocolData& P) {
  delete[] P.DataBlock;
  P.DataBlock = nullptr;
}

void spDone(TProtocolData*& P) { apDoneProtocol(P); }

int spSetDelays(TProtocolData& P, std::uint32_t charDelay, std::uint32_t lineDelay) {
  TAsciiTail* T = spTail(P);
  if (!T) return ecBadProtocolFunction;
  T->CharDelay = charDelay;
  T->LineDelay = lineDelay;
  T->CharDelayTicks = msToTicks(charDelay);
  T->LineDelayTicks = msToTicks(lineDelay);
  return 0;
}

int spSetEOLChar(TProtocolData& P, std::uint8_t c) {
  TAsciiTail* T = spTail(P);
  if (!T) return ecBadProtocolFunction;
  T->EOLChar = c;
  return 0;
}

int spSetEOLTranslation(TProtocolData& P, TAsciiEOLTranslation cr, TAsciiEOLTranslation lf) {
  TAsciiTail* T = spTail(P);
  if (!T) return ecBadProtocolFunction;
  T->CRTranslation = cr;
  T->LFTranslation = lf;
  return 0;
}

int spSetEOFTimeout(TProtocolData& P, std::uint32_t ticks) {
  if (!spTail(P)) return ecBadProtocolFunction;
  P.EOFTimeout = ticks;
  return 0;
}

std::int32_t spGetLineNumber(TProtocolData& P) { return P.ProtocolType == ptAscii ? P.BlockNumber : 0; }

// ---------------------------------------------------------------------------------------
// Runs
// ---------------------------------------------------------------------------------------
void spPrepareTransmit(TProtocolData& P) {
  P.FirstSearch = true;
  P.FileListIndex = 2;
  apResetStatus(P);
  apShowFirstStatus(P);
  TAsciiTail* T = spTail(P);
  if (!T) {
    apShowLastStatus(P);
    P.ProtocolError = ecOutOfMemory;
    return;
  }
  if (!P.NextFile || !P.NextFile(P, P.PathName) || P.PathName[0] == 0) {
    apShowLastStatus(P);
    if (P.ProtocolError == 0) P.ProtocolError = ecNoFilename;
    return;
  }
  T->CtrlZFound = false;
  P.BlockNumber = 0;
  P.ForceStatus = true;
  P.TimerRunning = false;
  T->AsciiState = taInitial;
  P.ProtocolError = 0;
  P.LastBlock = false;
}

void spTransmit(UINT msg, WPARAM wParam, LPARAM lParam) { runMachine<transmitPrim>(msg, wParam, lParam); }

void spPrepareReceive(TProtocolData& P) {
  TAsciiTail* T = spTail(P);
  apResetStatus(P);
  apShowFirstStatus(P);
  if (!T) {
    apShowLastStatus(P);
    P.ProtocolError = ecOutOfMemory;
    return;
  }
  T->AsciiState = raInitial;
  T->CtrlZFound = false;
  T->CollectCount = 0;
  P.ProtocolError = 0;
  P.ForceStatus = false;
  P.TimerRunning = false;
}

void spReceive(UINT msg, WPARAM wParam, LPARAM lParam) { runMachine<receivePrim>(msg, wParam, lParam); }
