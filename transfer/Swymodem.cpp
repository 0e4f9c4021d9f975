// YModem engine.
#include "transfer/Swymodem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "serial/SioPort.h"
#include "serial/Sioexcept.h"
#include "transfer/Swxmodem.h"

namespace {

constexpr std::uint32_t HeaderBufferSize = 1029;

// Sender: the end-of-batch block has drained and its answer is awaited.
std::uint32_t& endOfBatchSent(TProtocolData& P) { return P.EngineWord2; }

void sendEndOfBatch(TProtocolData& P, TSioBaseDispatcher& D) {
  static const std::uint8_t zeros[128] = {};
  const std::int32_t savedError = P.ProtocolError;
  const std::int32_t savedErrors = P.BlockErrors;
  P.BlockErrors = 0;  // never the 1K fall-back or its limit here
  xpTransmitBlock(P, D, zeros);
  P.BlockErrors = savedErrors;
  if (savedError != 0) P.ProtocolError = savedError;
  apArmTimeout(P, D, P.FinishWait ? P.FinishWait : 364);
  apArmOutUsed(P, D);
}

void finishRun(TProtocolData& P, TYmodemState done) {
  P.YmodemState = done;
  apShowLastStatus(P);
  apSignalFinish(P);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Set-up
// ---------------------------------------------------------------------------------------
int ypInit(TProtocolData*& P, TSioCustomComPort* port, bool oneK, bool g, std::uint32_t options) {
  P = nullptr;
  if (port && port->GetOutSize() < 1029) return ecOutputBufferTooSmall;
  int r = apInitProtocolData(P, port, options);
  if (r != 0) return r;
  r = ypReinit(*P, oneK, g);
  if (r != 0) apDoneProtocol(P);
  return r;
}

int ypReinit(TProtocolData& P, bool oneK, bool g) {
  if (!P.HeaderBlock) P.HeaderBlock = new (std::nothrow) std::uint8_t[HeaderBufferSize]();
  if (!P.HeaderBlock) return ecOutOfMemory;
  apResetReadWriteHooks(P);
  P.ProtocolType = ptYmodem;
  P.BlockWait = 91;
  P.MaxBlockErrors = 5;
  P.Overhead = 5;
  P.GMode = false;
  P.TurnDelay = 1000;
  xpSetCRCMode(P, true);
  xpSet1KMode(P, oneK);
  xpSetGMode(P, g);
  P.BatchProtocol = true;
  P.EotCheckCount = 0;
  P.ReleasePart = ypDonePart;
  return 0;
}

void ypDonePart(TProtocolData& P) {
  delete[] P.HeaderBlock;
  P.HeaderBlock = nullptr;
}

void ypDone(TProtocolData*& P) { apDoneProtocol(P); }

// ---------------------------------------------------------------------------------------
// Header blocks
// ---------------------------------------------------------------------------------------
std::uint32_t ypBuildHeader(TProtocolData& P) {
  std::string name =
      apOptionsAreOn(P, apIncludeDirectory) ? std::string(P.SavedPathName) : JustFilename(P.SavedPathName);
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '\\') c = '/';
  }
  if (name.size() > 254) name.resize(254);
  std::string digits = std::to_string(P.SavedFileLength < 0 ? 0 : P.SavedFileLength);
  std::string date;
  if (P.FileDate != 0) date = " " + apOctalStr(apPackToYMTimeStamp(P.FileDate));
  // Every byte has to fit: name, its NUL, the length and the date.
  const std::size_t used = name.size() + 1 + digits.size() + date.size();
  const std::uint32_t len = used > 128 ? 1024 : 128;
  std::memset(P.HeaderBlock, 0, HeaderBufferSize);
  std::memcpy(P.HeaderBlock, name.data(), name.size());
  std::size_t pos = name.size() + 1;
  std::memcpy(P.HeaderBlock + pos, digits.data(), digits.size());
  pos += digits.size();
  std::memcpy(P.HeaderBlock + pos, date.data(), date.size());
  return len;
}

bool ypReadHeader(TProtocolData& P, const std::uint8_t* data, std::uint32_t len) {
  bool empty = true;
  for (std::uint32_t i = 0; i < 117 && i < len; ++i)
    if (data[i] != 0) empty = false;
  if (empty) return false;
  std::uint32_t i = 0;
  std::string name;
  while (i < len && data[i] != 0 && name.size() < 254) name += static_cast<char>(data[i++]);
  while (i < len && data[i] != 0) ++i;
  ++i;  // the NUL
  apSetReceivePath(P, name);
  if (P.UpcaseFileNames) apUpcase(P.PathName);

  std::string lenText;
  while (i < len && data[i] != 0 && data[i] != ' ') lenText += static_cast<char>(data[i++]);
  if (i < len && data[i] == ' ') ++i;
  std::int32_t length = 0;
  if (lenText.empty() || !Str2LongZ(lenText.c_str(), length) || length < 0) length = 0;
  P.FileLength = length;
  P.BytesToSend = length;

  std::string dateText;
  while (i < len && data[i] != 0 && data[i] != ' ') dateText += static_cast<char>(data[i++]);
  P.HeaderDate = 0;
  if (!dateText.empty()) {
    P.HeaderDate = apOctalStr2Long(dateText);
    if (P.HeaderDate == 0) {
      P.ProtocolStatus = psInvalidDate;
      if (P.ShowStatus) P.ShowStatus(P, 0);
    }
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// Transmit
// ---------------------------------------------------------------------------------------
void ypPrepareTransmit(TProtocolData& P) {
  apResetStatus(P);
  P.ProtocolStatus = psProtocolHandshake;
  apShowFirstStatus(P);
  P.ForceStatus = false;
  P.TimerRunning = false;
  P.YmodemState = tyInitial;
  if (TSioBaseDispatcher* D = apDispatcher(P)) D->FlushInBuffer();
}

namespace {

int ypTransmitPrim(TProtocolData& P, TSioBaseDispatcher& D, UINT msg, std::uint32_t trigger) {
  if (P.YmodemState == tyDone) return 1;
  if (msg == SW_TRIGGERAVAIL) trigger = 0;
  bool first = true;
  for (;;) {
    if (D.DispatchLogging())
      D.AddDispatchEntry(dtYModem, static_cast<TDispatchSubType>(dsttyInitial + P.YmodemState), 0);
    const bool inXmodem = P.YmodemState == tySendXmodem;
    if (first && !inXmodem && xpAbortRequested(P, D, msg, trigger)) {
      // Between files nothing is open that could have failed.
      if (P.FileOpen && P.LogFile) P.LogFile(P, lfTransmitFail);
      P.YmodemState = tyFinished;
    }
    if (!inXmodem) xpStatusStep(P, D, trigger);
    const bool timeout = first && apIsTimeout(P, msg, trigger);
    const bool outUsed = first && apIsStatusTrigger(msg, trigger, P.OutUsedTrigger);
    const UINT callMsg = first ? msg : 0;
    const std::uint32_t callTrigger = first ? trigger : 0;
    first = false;
    bool more = false;

    switch (P.YmodemState) {
      case tyInitial:
        P.HandshakeAttempt = 0;
        P.YmodemState = xpPrepHandshake(P, D) ? tyHandshake : tyFinished;
        more = true;
        break;
      case tyHandshake:
        if (D.CharReady()) {
          if (xpProcessHandshake(P, D)) {
            NewTimer(P.TransferTimer, 0);
            P.TimerRunning = true;
            P.BlockErrors = 0;
            if (P.GMode) P.MaxBlockErrors = 0;
            P.YmodemState = tyGetFileName;
          } else if (P.ProtocolStatus == psCancelRequested || !xpPrepHandshake(P, D)) {
            P.YmodemState = tyFinished;
          }
        } else if (timeout) {
          if (!xpPrepHandshake(P, D)) P.YmodemState = tyFinished;
        }
        more = P.YmodemState != tyHandshake || D.CharReady();
        break;
      case tyGetFileName: {
        P.PathName[0] = 0;
        if (!P.NextFile || !P.NextFile(P, P.PathName) || P.PathName[0] == 0) {
          P.YmodemState = tyFinished;
        } else {
          P.PrepareReading(P);
          if (P.ProtocolError != 0) {
            P.YmodemState = tyFinished;
          } else {
            std::memcpy(P.SavedPathName, P.PathName, apMaxPath);
            P.SavedFileLength = P.FileLength;
            std::uint32_t len = ypBuildHeader(P);
            P.BlockLength = len;
            P.StartChar = len == 1024 ? cStx : cSoh;
            P.FileLength = static_cast<std::int32_t>(len);
            P.BytesToSend = static_cast<std::int32_t>(len);
            P.BytesTransferred = 0;
            P.ElapsedTicks = 0;
            P.PathName[0] = 0;
            P.BlockErrors = 0;
            P.YmodemState = tySendFileName;
          }
        }
        more = true;
        break;
      }
      case tySendFileName:
        P.BlockNumber = 0;
        if (!xpTransmitBlock(P, D, P.HeaderBlock)) {
          P.YmodemState = tyFinished;
        } else {
          P.WorkWord = 1;
          apArmTimeout(P, D, 1092);
          apArmOutUsed(P, D);
          P.YmodemState = tyDraining;
        }
        more = true;
        break;
      case tyDraining:
        if (outUsed || timeout || D.CharReady()) {
          apArmTimeout(P, D, P.BlockWait);
          P.YmodemState = tyReplyPending;
          more = D.CharReady();
        }
        break;
      case tyReplyPending:
        if (D.CharReady()) {
          if (P.GMode) {
            P.YmodemState = tyPrepXmodem;
          } else if (xpProcessBlockReply(P, D)) {
            P.YmodemState = tyPrepXmodem;
          } else if (P.ProtocolStatus == psCancelRequested) {
            P.YmodemState = tyFinished;
          } else if (P.BlockErrors > static_cast<std::int32_t>(P.MaxBlockErrors)) {
            apProtocolError(P, ecTooManyErrors);
            P.ProtocolStatus = psProtocolError;
            P.YmodemState = tyFinished;
          } else {
            P.YmodemState = tySendFileName;
          }
          more = true;
        } else if (timeout) {
          ++P.BlockErrors;
          ++P.TotalErrors;
          if (P.BlockErrors > static_cast<std::int32_t>(P.MaxBlockErrors)) {
            apProtocolError(P, ecTooManyErrors);
            P.ProtocolStatus = psProtocolError;
            P.YmodemState = tyFinished;
          } else {
            P.YmodemState = tySendFileName;
          }
          more = true;
        }
        break;
      case tyPrepXmodem:
        P.BytesTransferred = 0;
        P.ElapsedTicks = 0;
        std::memcpy(P.PathName, P.SavedPathName, apMaxPath);
        P.FileLength = P.SavedFileLength;
        P.BytesToSend = P.SavedFileLength;
        xpSet1KMode(P, true);
        P.CheckType = bcmCrc16;
        P.ForceStatus = true;
        P.XmodemState = txInitial;
        delete[] P.DataBlock;
        P.DataBlock = nullptr;
        P.YmodemState = tySendXmodem;
        more = true;
        break;
      case tySendXmodem:
        if (xpTransmitPrim(P, D, callMsg, callTrigger, true) == 1) {
          // A cancel inside the file ends the batch as an error does.
          P.YmodemState = (P.ProtocolError != 0 || P.ProtocolStatus != psEndFile) ? tyFinished : tyInitial;
          more = true;
        }
        break;
      case tyFinished:
        P.FinishReading(P);
        if (P.WorkWord && P.ProtocolStatus != psCancelRequested) {
          P.BlockNumber = 0;
          xpSet1KMode(P, false);
          P.CheckType = bcmCrc16;
          P.BlockErrors = 0;
          endOfBatchSent(P) = 0;
          sendEndOfBatch(P, D);
          P.YmodemState = tyFinishDrain;
        } else {
          finishRun(P, tyDone);
          return 1;
        }
        break;
      case tyFinishDrain:
        // The end-of-batch block is answered with an ACK; a receiver that did not get it
        // asks again ("C" or NAK) or stays silent, and the block goes again.
        if (endOfBatchSent(P) == 0) {
          if (!(outUsed || timeout)) break;
          if (P.ProtocolError != 0 || P.GMode) {
            finishRun(P, tyDone);
            return 1;
          }
          endOfBatchSent(P) = 1;
          apArmTimeout(P, D, P.BlockWait);
          more = D.CharReady();
          break;
        }
        if (D.CharReady()) {
          std::uint8_t c = 0;
          D.GetChar(c);
          if (c == cAck) {
            P.ProtocolStatus = psEndFile;
            finishRun(P, tyDone);
            return 1;
          }
          if (c == cCan) {
            P.ProtocolStatus = psCancelRequested;
            finishRun(P, tyDone);
            return 1;
          }
          if (c != cNak && c != 'C' && c != 'G') {
            more = D.CharReady();  // noise: the answer may follow
            break;
          }
        } else if (!timeout) {
          break;
        }
        if (++P.BlockErrors > static_cast<std::int32_t>(P.MaxBlockErrors)) {
          ++P.TotalErrors;
          P.ProtocolStatus = psProtocolError;
          apProtocolError(P, ecTooManyErrors);
          finishRun(P, tyDone);
          return 1;
        }
        ++P.TotalErrors;
        D.FlushInBuffer();
        endOfBatchSent(P) = 0;
        sendEndOfBatch(P, D);
        break;
      default:
        return 1;
    }
    if (!more) return 0;
    trigger = 0;
    msg = 0;
  }
}

int ypReceivePrim(TProtocolData& P, TSioBaseDispatcher& D, UINT msg, std::uint32_t trigger) {
  if (P.YmodemState == ryDone) return 1;
  if (msg == SW_TRIGGERAVAIL) trigger = 0;
  bool first = true;
  for (;;) {
    if (D.DispatchLogging())
      D.AddDispatchEntry(dtYModem, static_cast<TDispatchSubType>(dsttyInitial + P.YmodemState), 0);
    const bool inXmodem = P.YmodemState == ryReceiveXmodem;
    if (first && !inXmodem && xpAbortRequested(P, D, msg, trigger)) {
      if (P.FileOpen && P.LogFile) P.LogFile(P, lfReceiveFail);
      P.YmodemState = ryFinished;
    }
    if (!inXmodem) xpStatusStep(P, D, trigger);
    const bool timeout = first && apIsTimeout(P, msg, trigger);
    const UINT callMsg = first ? msg : 0;
    const std::uint32_t callTrigger = first ? trigger : 0;
    first = false;
    bool more = false;

    auto blockTimeout = [&] {
      ++P.BlockErrors;
      ++P.TotalErrors;
      if (P.BlockErrors > static_cast<std::int32_t>(P.MaxBlockErrors)) {
        apProtocolError(P, ecTooManyErrors);
        P.YmodemState = ryFinished;
      } else {
        P.YmodemState = ryInitial;
      }
      more = true;
    };

    switch (P.YmodemState) {
      case ryInitial:
        P.FileLength = P.BytesToSend = P.BytesTransferred = P.ElapsedTicks = 0;
        P.BlockNumber = 0;
        P.PathName[0] = 0;
        if (P.HeaderBlock) std::memset(P.HeaderBlock, 0, HeaderBufferSize);
        // The header block is collected in a block buffer of its own.
        if (!P.DataBlock) P.DataBlock = new (std::nothrow) std::uint8_t[HeaderBufferSize];
        if (!P.DataBlock) {
          apProtocolError(P, ecOutOfMemory);
          P.YmodemState = ryFinished;
          more = true;
          break;
        }
        xpSet1KMode(P, false);
        P.CheckType = bcmCrc16;
        P.CRCMode = true;
        P.BlockOverhead = 4;
        apArmTimeout(P, D, 9);
        P.YmodemState = ryDelay;
        break;
      case ryDelay:
        if (timeout) {
          P.HandshakeChar = P.GMode ? 'G' : 'C';
          D.PutChar(P.HandshakeChar);
          P.EotCount = 0;
          P.CanCount = 0;
          apArmTimeout(P, D, P.HandshakeWait);
          P.YmodemState = ryWaitForHSReply;
          more = D.CharReady();
        }
        break;
      case ryWaitForHSReply:
        if (D.CharReady()) {
          if (P.GMode) P.MaxBlockErrors = 0;
          P.TimerRunning = false;
          P.YmodemState = ryWaitForBlockStart;
          more = true;
        } else if (timeout) {
          ++P.BlockErrors;
          ++P.TotalErrors;
          if (P.BlockErrors > static_cast<std::int32_t>(P.MaxBlockErrors)) {
            apProtocolError(P, ecTooManyErrors);
            P.ProtocolStatus = psProtocolError;
            P.YmodemState = ryFinished;
            more = true;
          } else {
            D.PutChar(P.HandshakeChar);
            apArmTimeout(P, D, P.HandshakeWait);
          }
        }
        break;
      case ryWaitForBlockStart:
        if (D.CharReady()) {
          std::uint8_t c = 0;
          if (xpCheckForBlockStart(P, D, c)) {
            switch (xpProcessBlockStart(P, D, c)) {
              case pbs128:
              case pbs1024:
                if (!P.TimerRunning) {
                  NewTimer(P.TransferTimer, 0);
                  P.TimerRunning = true;
                }
                apArmTimeout(P, D, P.BlockWait);
                P.YmodemState = ryCollectBlock;
                break;
              case pbsEOT:
              case pbsCancel:
                P.YmodemState = ryFinished;
                break;
              default:
                break;
            }
          }
          more = P.YmodemState != ryWaitForBlockStart || D.CharReady();
        } else if (timeout) {
          blockTimeout();
        }
        break;
      case ryCollectBlock:
        if (xpCollectBlock(P, D)) {
          P.YmodemState = ryProcessBlock;
          more = true;
        } else if (timeout) {
          blockTimeout();
        }
        break;
      case ryProcessBlock:
        xpReceiveBlock(P, D);
        more = true;
        if (P.ProtocolError != 0 || P.ProtocolStatus != psOK) {
          if (P.ProtocolError != 0 || P.GMode) {
            if (P.ProtocolError == 0) apProtocolError(P, ecTooManyErrors);
            P.YmodemState = ryFinished;
          } else {
            P.YmodemState = ryWaitForHSReply;
            apArmTimeout(P, D, P.HandshakeWait);
            more = false;
          }
          break;
        }
        if (!ypReadHeader(P, P.DataBlock + 2, P.BlockLength)) {
          P.YmodemState = ryFinished;
          break;
        }
        P.BytesTransferred = 0;
        P.ElapsedTicks = 0;
        xpSet1KMode(P, true);
        P.CheckType = bcmCrc16;
        P.BlockLength = 1024;
        P.SavedFileLength = P.FileLength;
        P.YmodemState = ryPrepXmodem;
        break;
      case ryPrepXmodem: {
        P.XmodemState = rxInitial;
        delete[] P.DataBlock;
        P.DataBlock = nullptr;
        const std::int32_t status = P.ProtocolStatus;
        apResetStatus(P);
        (void)status;
        P.ProtocolStatus = psProtocolHandshake;
        P.FileLength = P.SavedFileLength;
        P.YmodemState = ryReceiveXmodem;
        more = true;
        break;
      }
      case ryReceiveXmodem:
        if (xpReceivePrim(P, D, callMsg, callTrigger, true) == 1) {
          more = true;
          if (P.ProtocolError != 0 || P.ProtocolStatus != psEndFile) {
            P.YmodemState = ryFinished;
            break;
          }
          // The padding of the last block goes; the file takes the header's date.
          struct stat st {};
          const int fd = apOpenReceived(P, O_WRONLY);
          if (fd >= 0 && ::fstat(fd, &st) == 0) {
            if (P.SavedFileLength > 0 && st.st_size > P.SavedFileLength &&
                st.st_size < static_cast<off_t>(P.SavedFileLength) + 1024) {
              if (::ftruncate(fd, P.SavedFileLength) != 0) {
                apProtocolError(P, SioErrorFromErrno(errno, true));
                ::close(fd);
                P.YmodemState = ryFinished;
                break;
              }
              P.FileLength = P.SavedFileLength;
            }
            if (P.HeaderDate != 0) {
              std::int64_t t = 0;
              std::uint32_t packed = apYMTimeStampToPack(P.HeaderDate);
              if (packed != 0 && apUnpackToFileTime(packed, t)) {
                const timespec ts[2] = {{static_cast<time_t>(t), 0}, {static_cast<time_t>(t), 0}};
                ::futimens(fd, ts);
                P.FileDate = packed;
              }
            }
          }
          if (fd >= 0) ::close(fd);
          apArmTimeout(P, D, P.HandshakeWait);
          P.ForceStatus = true;
          P.YmodemState = ryInitial;
        }
        break;
      case ryFinished:
        delete[] P.DataBlock;
        P.DataBlock = nullptr;
        finishRun(P, ryDone);
        return 1;
      default:
        return 1;
    }
    if (!more) return 0;
    trigger = 0;
    msg = 0;
  }
}

}  // namespace

void ypTransmit(UINT msg, WPARAM wParam, LPARAM lParam) {
  TProtocolCall call(lParam);
  if (!call) return;
  ypTransmitPrim(*call.P, *call.D, msg, static_cast<std::uint32_t>(wParam));
}

// ---------------------------------------------------------------------------------------
// Receive
// ---------------------------------------------------------------------------------------
void ypPrepareReceive(TProtocolData& P) {
  apResetStatus(P);
  P.ProtocolError = 0;
  apShowFirstStatus(P);
  P.ForceStatus = false;
  P.TimerRunning = false;
  P.YmodemState = ryInitial;
}

void ypReceive(UINT msg, WPARAM wParam, LPARAM lParam) {
  TProtocolCall call(lParam);
  if (!call) return;
  ypReceivePrim(*call.P, *call.D, msg, static_cast<std::uint32_t>(wParam));
}
