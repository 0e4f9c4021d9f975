// B+ engine.
#include "transfer/Swbplus.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>

#include "serial/SioPort.h"
#include "serial/Sioexcept.h"

// ETX, ENQ, DLE, XON, XOFF and NAK.
const std::uint8_t DQDefault[8] = {0x14, 0x00, 0xD4, 0x00, 0x00, 0x00, 0x00, 0x00};
const std::uint8_t DQFull[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

namespace {

const char* const ESCIResponse = "#IB1,SSxx,GF,PB,DT";

bool isBPlus(const TProtocolData& P) { return P.ProtocolType == ptBPlus && P.DataBlock != nullptr; }

int ioError(int err) {
  if (err == ENOSPC) return -101;
  int code = SioErrorFromErrno(err, true);
  return code ? code : -162;
}

// The check in use: the CRC once the parameters are agreed on it, the 8-bit check before.
bool crcInUse(const TProtocolData& P, const TBPlusTail& T) {
  return T.ParmsAgreed && P.CheckType == bcmCrc16;
}

std::uint16_t updateCheck(const TProtocolData& P, const TBPlusTail& T, std::uint8_t c, std::uint16_t check) {
  return crcInUse(P, T) ? bpUpdateCrc(c, check) : bpUpdateCheck8(c, check);
}

void arm(TBPlusTail& T, TSioBaseDispatcher& D, std::uint32_t ticks) {
  if (T.TimerTrigger) D.SetTimerTrigger(T.TimerTrigger, static_cast<std::int32_t>(ticks), true);
}

std::uint8_t unquote(std::uint8_t b) {
  return b >= 0x60 ? static_cast<std::uint8_t>((b & 0x1F) + 0x80) : static_cast<std::uint8_t>(b & 0x1F);
}

void countError(TProtocolData& P) {
  ++P.BlockErrors;
  ++P.TotalErrors;
  P.ForceStatus = true;
}

// A time-out or sequence slip that the protocol recovers from: the error notice goes to the
// component, but the run does not end with it.
void noticeOnly(TProtocolData& P, int code) {
  const std::int32_t kept = P.ProtocolError;
  apProtocolError(P, code);
  P.ProtocolError = kept;
}

void sendAck(TBPlusTail& T, TSioBaseDispatcher& D) {
  if (T.Aborting) return;
  const std::uint8_t ack[2] = {bpDLE, static_cast<std::uint8_t>('0' + T.Seq)};
  D.PutBlock(ack, 2);
}

void putSlot(TProtocolData& P, TBPlusTail& T, TSioBaseDispatcher& D, int slot) {
  const TBPlusSlot& s = T.Slots[slot - 1];
  std::vector<std::uint8_t> frame = bpBuildPacket(T.QuoteTable, crcInUse(P, T), s.Seq, s.Type, s.Data, s.Len);
  D.PutBlock(frame.data(), static_cast<std::uint32_t>(frame.size()));
}

// Sends the packet whose data already stand in the next slot.
void sendSlotPacket(TProtocolData& P, TBPlusTail& T, TSioBaseDispatcher& D, char type, std::uint32_t len) {
  T.Seq = (T.Seq + 1) % 10;
  TBPlusSlot& s = T.Slots[T.NextSlot - 1];
  s.Seq = T.Seq;
  s.Len = len;
  s.Type = type;
  putSlot(P, T, D, T.NextSlot);
  T.NextSlot = T.NextSlot == 1 ? 2 : 1;
  ++T.Outstanding;
}

void sendPacket(TProtocolData& P, TBPlusTail& T, TSioBaseDispatcher& D, char type, const std::string& data) {
  const std::uint32_t len = static_cast<std::uint32_t>(std::min<std::size_t>(data.size(), bpMaxBlock));
  std::memcpy(T.Slots[T.NextSlot - 1].Data, data.data(), len);
  sendSlotPacket(P, T, D, type, len);
}

// A failure packet: nothing else stays outstanding, and no acknowledgements go out any more.
void sendFailure(TProtocolData& P, TBPlusTail& T, TSioBaseDispatcher& D, const std::string& text) {
  T.OldestSlot = T.NextSlot = 1;
  T.Outstanding = 0;
  T.Aborting = true;
  sendPacket(P, T, D, 'F', text);
}

void resetParameters(TProtocolData& P, TBPlusTail& T) {
  T.Seq = 0;
  T.WindowSize = 1;
  T.OldestSlot = T.NextSlot = 1;
  T.Outstanding = 0;
  T.SlowDown = 0;
  P.BlockLength = 512;
  P.CheckType = bcmChecksum;
  T.ParmsAgreed = false;
  T.OurParms = TBPlusOurParms{};
  bpBuildQuoteTable(T.QuoteTable, DQDefault);
}

void setOfferedBlockSize(TProtocolData& P, TBPlusTail& T) {
  const std::uint32_t cps = P.ActualCPS;
  T.OfferedBlockSize = cps == 0 ? 8 : cps <= 30 ? 1 : cps <= 120 ? 4 : 16;
}

// ---------------------------------------------------------------------------------------
// Packet collector
// ---------------------------------------------------------------------------------------
enum CollectResult { crWorking, crDone, crDuplicate, crError, crFailed };

CollectResult collectError(TProtocolData& P, TBPlusTail& T, TSioBaseDispatcher& D) {
  T.PacketState = psGetDLE;
  T.DlePending = false;
  countError(P);
  if (P.BlockErrors > bpMaxErrors) return crFailed;
  if (!(T.ParmsAgreed && T.NakSent)) {
    D.PutChar(bpNAK);
    T.NakSent = true;
  }
  return crError;
}

CollectResult collectPacket(TProtocolData& P, TBPlusTail& T, TSioBaseDispatcher& D) {
  const bool crc = crcInUse(P, T);
  std::uint8_t c = 0;
  while (D.GetChar(c) == 0) {
    arm(T, D, P.HandshakeWait);
    switch (T.PacketState) {
      case psGetDLE:
        if (c == bpENQ)
          sendAck(T, D);
        else if (c == bpDLE)
          T.PacketState = psGetB;
        break;
      case psGetB:
        if (c == bpENQ) {
          sendAck(T, D);
          T.PacketState = psGetDLE;
        } else {
          T.PacketState = c == 'B' ? psGetSeq : psGetDLE;
        }
        break;
      case psGetSeq:
        if (c == bpENQ) {
          sendAck(T, D);
          T.PacketState = psGetDLE;
          break;
        }
        T.Check = crc ? 0xFFFF : 0;
        T.Check = updateCheck(P, T, c, T.Check);
        T.RecvSeq = c - '0';
        T.DlePending = false;
        T.PacketState = psGetType;
        break;
      case psGetType:
        T.Check = updateCheck(P, T, c, T.Check);
        T.PacketType = c;
        T.RecvBuffer[0] = c;
        T.PacketLength = 1;
        T.PacketState = psGetData;
        break;
      case psGetData:
        if (!T.DlePending && c == bpDLE) {
          T.DlePending = true;
          break;
        }
        if (!T.DlePending && c == bpETX) {
          T.Check = updateCheck(P, T, c, T.Check);
          T.PacketState = psGetCheck1;
          break;
        }
        if (T.DlePending) {
          c = unquote(c);
          T.DlePending = false;
        }
        // Longer than any block is a bad packet, not a buffer overrun.
        if (T.PacketLength >= sizeof T.RecvBuffer) {
          P.ProtocolStatus = psLongPacket;
          return collectError(P, T, D);
        }
        T.Check = updateCheck(P, T, c, T.Check);
        T.RecvBuffer[T.PacketLength++] = c;
        break;
      case psGetCheck1:
      case psGetCheck2:
        if (!T.DlePending && c == bpDLE) {
          T.DlePending = true;
          break;
        }
        if (T.DlePending) {
          c = unquote(c);
          T.DlePending = false;
        }
        if (crc) {
          T.Check = bpUpdateCrc(c, T.Check);
          if (T.PacketState == psGetCheck1) {
            T.PacketState = psGetCheck2;
            break;
          }
          T.RecvCheck = 0;
        } else {
          T.RecvCheck = c;
          T.Check &= 0xFF;
        }
        {
          const bool good = T.Check == T.RecvCheck;
          if (!good) {
            P.ProtocolStatus = psBlockCheckError;
            return collectError(P, T, D);
          }
          T.PacketState = psGetDLE;
          if (T.PacketType == 'F') {
            T.Seq = T.RecvSeq;
            return crDone;
          }
          if (T.RecvSeq == T.Seq) {
            P.ProtocolStatus = psDuplicateBlock;
            sendAck(T, D);
            return crDuplicate;
          }
          if (T.RecvSeq == (T.Seq + 1) % 10) {
            P.ProtocolStatus = psOK;
            if (!T.Aborting) T.Seq = T.RecvSeq;
            return crDone;
          }
          if (T.RecvSeq == (T.Seq + 2) % 10) break;  // one too far ahead: ignored
          apProtocolError(P, ecSequenceError);
          return crFailed;
        }
      default:
        T.PacketState = psGetDLE;
        break;
    }
  }
  return crWorking;
}

// ---------------------------------------------------------------------------------------
// Acknowledgement collector
// ---------------------------------------------------------------------------------------
enum AckResult { arWorking, arSuccess, arFailed };

// The acknowledgement of the packet with this sequence digit, when one is outstanding.
bool acknowledge(TProtocolData& P, TBPlusTail& T, int digit) {
  if (T.Outstanding == 0) return false;
  TBPlusSlot& oldest = T.Slots[T.OldestSlot - 1];
  auto take = [&](TBPlusSlot& s) {
    if (s.Type == 'N') T.AckedBytes += s.Len;
    P.CurrentBlockLength = static_cast<std::int32_t>(s.Len);
    T.OldestSlot = T.OldestSlot == 1 ? 2 : 1;
    --T.Outstanding;
  };
  if (digit == oldest.Seq) {
    take(oldest);
  } else if (T.Outstanding == 2 && digit == T.Slots[(T.OldestSlot == 1 ? 2 : 1) - 1].Seq) {
    // The second acknowledged while the first's acknowledgement was lost: the host has both.
    noticeOnly(P, ecSequenceError);
    take(oldest);
    take(T.Slots[T.OldestSlot - 1]);
  } else {
    return false;
  }
  if (T.SlowDown > 0) --T.SlowDown;
  P.BlockErrors = 0;
  T.ResendPending = false;
  return true;
}

AckResult collectAck(TProtocolData& P, TBPlusTail& T, TSioBaseDispatcher& D, bool timeout) {
  if (timeout) T.AckState = acTimeout;
  for (;;) {
    switch (T.AckState) {
      case acTimeout:
        noticeOnly(P, ecTimeout);
        T.AckState = acSendEnq;
        continue;
      case acSendNak:
        countError(P);
        if (P.BlockErrors > bpMaxErrors || T.Aborting) {
          apProtocolError(P, ecTooManyErrors);
          T.AckState = acGetDLE;
          return arFailed;
        }
        D.PutChar(bpNAK);
        T.AckState = acGetDLE;
        continue;
      case acSendEnq: {
        countError(P);
        if (P.BlockErrors > bpMaxErrors || T.Aborting) {
          apProtocolError(P, ecTooManyErrors);
          T.AckState = acGetDLE;
          return arFailed;
        }
        const std::uint8_t enq[2] = {bpENQ, bpENQ};
        D.PutBlock(enq, 2);
        T.ResendPending = true;
        arm(T, D, P.HandshakeWait);
        T.AckState = acResync1;
        continue;
      }
      case acHaveAck: {
        const int digit = T.LastAckChar - '0';
        if (acknowledge(P, T, digit)) {
          T.AckState = acGetDLE;
          return arSuccess;
        }
        const int before = T.Outstanding ? (T.Slots[T.OldestSlot - 1].Seq + 9) % 10 : T.Seq;
        if (digit == before)
          T.AckState = T.ResendPending ? acSendData : acGetDLE;
        else
          T.AckState = T.Aborting ? acGetDLE : acTimeout;
        continue;
      }
      case acSendData: {
        T.SlowDown += 3;
        if (T.SlowDown > 11) T.WindowSize = 1;
        int slot = T.OldestSlot;
        for (int i = 0; i < T.Outstanding; ++i) {
          putSlot(P, T, D, slot);
          slot = slot == 1 ? 2 : 1;
        }
        T.ResendPending = false;
        arm(T, D, P.HandshakeWait);
        T.AckState = acGetDLE;
        continue;
      }
      case acGetPacket:
        T.PacketState = psGetSeq;
        T.NakSent = false;
        T.AckState = acCollectPacket;
        continue;
      default:
        break;
    }
    // States that read a byte.
    std::uint8_t c = 0;
    if (T.AckState == acCollectPacket) {
      CollectResult r = collectPacket(P, T, D);
      if (r == crWorking) return arWorking;
      T.AckState = acGetDLE;
      if (r == crDone) {
        // A failure packet from the host: it is acknowledged and ends the run.
        if (T.PacketType == 'F') {
          T.HostAbort = true;
          P.ProtocolStatus = psCancelRequested;
          sendAck(T, D);
        }
        return arSuccess;
      }
      if (r == crFailed) return arFailed;
      continue;
    }
    if (D.GetChar(c) != 0) return arWorking;
    arm(T, D, P.HandshakeWait);
    switch (T.AckState) {
      case acGetDLE:
        if (c == bpETX)
          T.AckState = acSendNak;
        else if (c == bpDLE)
          T.AckState = acGetNum;
        else if (c == bpNAK)
          T.AckState = acSendEnq;
        break;
      case acGetNum:
        if (c == bpNAK) {
          T.AckState = acSendEnq;
        } else if (c >= '0' && c <= '9') {
          T.LastAckChar = c;
          T.AckState = acHaveAck;
        } else if (c == ';') {
          P.ProtocolStatus = psHostBusy;
          T.AckState = acGetDLE;
        } else if (c == 'B') {
          T.AckState = T.Aborting ? acSkipPacket1 : acGetPacket;
        } else {
          T.AckState = acGetDLE;
        }
        break;
      case acSkipPacket1:  // sequence digit
        T.AckState = acSkipPacket2;
        break;
      case acSkipPacket2:  // type
        T.DlePending = false;
        T.AckState = acSkipPacket3;
        break;
      case acSkipPacket3:  // data up to an ETX that was not quoted
        if (T.DlePending)
          T.DlePending = false;
        else if (c == bpDLE)
          T.DlePending = true;
        else if (c == bpETX)
          T.AckState = acSkipPacket4;
        break;
      case acSkipPacket4:
      case acSkipPacket5:
        if (!T.DlePending && c == bpDLE) {
          T.DlePending = true;
          break;
        }
        T.DlePending = false;
        T.AckState = T.AckState == acSkipPacket4 && crcInUse(P, T) ? acSkipPacket5 : acGetDLE;
        break;
      case acResync1:
      case acResync3:
        if (c == bpDLE) T.AckState = T.AckState == acResync1 ? acResync2 : acResync4;
        break;
      case acResync2:
      case acResync4:
        if (c == 'B') {
          T.AckState = acGetPacket;
        } else if (c >= '0' && c <= '9') {
          T.LastAckChar = c;
          T.AckState = T.AckState == acResync2 ? acResync3 : acHaveAck;
        } else {
          T.AckState = acResync1;
        }
        break;
      default:
        T.AckState = acGetDLE;
        break;
    }
  }
}

// ---------------------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------------------
// The code a run ends with, as the finish will report it.
int finalCode(const TProtocolData& P) {
  if (P.ProtocolError != 0) return P.ProtocolError;
  switch (P.ProtocolStatus) {
    case psFileRejected:
      return ecFileRejected;
    case psCantWriteFile:
      return ecCantWriteFile;
    case psTimeout:
      return ecTimeout;
    case psProtocolError:
      return ecProtocolError;
    case psCancelRequested:
      return ecCancelRequested;
    case psSequenceError:
      return ecSequenceError;
    case psAbortNoCarrier:
      return ecAbortNoCarrier;
    default:
      return 0;
  }
}

std::uint32_t askResume(TProtocolData& P) {
  LRESULT r = 0;
  if (apSendNotice(P, apw_ProtocolResume, P.WriteFailAction, reinterpret_cast<LPARAM>(&P), r) && r >= 0 &&
      r <= wfWriteResume)
    return static_cast<std::uint32_t>(r);
  return P.WriteFailAction;
}

void freeFileBuffer(TProtocolData& P) {
  delete[] P.FileBuffer;
  P.FileBuffer = nullptr;
}

bool openForWriting(TProtocolData& P, bool truncate) {
  const int fd = apOpenReceived(P, O_WRONLY | O_CREAT | (truncate ? O_TRUNC : 0));
  if (fd < 0) {
    freeFileBuffer(P);
    apProtocolError(P, ioError(-fd));
    return false;
  }
  P.WorkFile = fd;
  P.FileOpen = true;
  return true;
}

void startAt(TProtocolData& P, std::int32_t offset) {
  P.FileOffset = P.BytesTransferred = P.InitialPosition = offset;
  P.BytesToSend = std::max(0, P.FileLength - offset);
  P.BufferStart = P.LastOffset = offset;
  P.BufferEnd = offset + static_cast<std::int32_t>(apFileBufferSize);
}

// The B+ prepare-writing hook: a file that exists may be resumed.
void bpPrepareWriting(TProtocolData& P) {
  P.ProtocolError = 0;
  TBPlusTail* T = bpTail(P);
  TSioBaseDispatcher* D = apDispatcher(P);
  if (!T || !D || P.FileOpen || apRefusedPath(P)) return;
  P.FileCreated = false;  // a resumed file stays the user's
  P.FileBuffer = new (std::nothrow) std::uint8_t[apFileBufferSize];
  if (!P.FileBuffer) {
    apProtocolError(P, ecOutOfMemory);
    return;
  }
  struct stat st {};
  const int found = apStatReceived(P, st);
  const bool exists = found == 0;
  if (!exists && found != -ENOENT) {
    freeFileBuffer(P);
    apProtocolError(P, ioError(-found));
    return;
  }
  std::uint32_t action = exists ? askResume(P) : static_cast<std::uint32_t>(wfWriteAnyway);
  if (exists && action == wfWriteFail) {
    P.ProtocolStatus = psCantWriteFile;
    P.ForceStatus = true;
    freeFileBuffer(P);
    return;
  }
  if (exists && (action == wfWriteNone || action == wfWriteRename)) {
    // Written under a fresh "$" name; neither the file nor an earlier "$" file is touched.
    const int fd = apCreateRenamed(P);
    if (fd < 0) {
      freeFileBuffer(P);
      apProtocolError(P, ioError(-fd));
      return;
    }
    P.WorkFile = fd;
    P.FileOpen = true;
    P.FileCreated = true;
    P.ProtocolStatus = psFileRenamed;
    P.ForceStatus = true;
  } else if (exists && S_ISLNK(st.st_mode)) {
    // A link is neither resumed nor replaced, nor written through.
    freeFileBuffer(P);
    apProtocolError(P, ecFileAccessDenied);
    return;
  }
  if (exists && action == wfWriteResume && S_ISREG(st.st_mode)) {
    P.ProtocolStatus = psTryResume;
    if (P.ShowStatus) P.ShowStatus(P, 0);
    const int fd = apOpenReceived(P, O_RDONLY);
    if (fd < 0) {
      freeFileBuffer(P);
      apProtocolError(P, ioError(-fd));
      return;
    }
    // The CRC of the part already here; a long file keeps the host waiting with DLE ";".
    std::uint16_t crc = 0xFFFF;
    std::uint32_t length = 0;
    std::uint8_t chunk[512];
    auto lastBusy = std::chrono::steady_clock::now();
    for (;;) {
      ssize_t r = ::read(fd, chunk, sizeof chunk);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      for (ssize_t i = 0; i < r; ++i) crc = bpUpdateCrc(chunk[i], crc);
      length += static_cast<std::uint32_t>(r);
      if (std::chrono::steady_clock::now() - lastBusy >= std::chrono::seconds(10)) {
        const std::uint8_t busy[2] = {bpDLE, ';'};
        D->PutBlock(busy, 2);
        if (P.ShowStatus) P.ShowStatus(P, 0);
        lastBusy = std::chrono::steady_clock::now();
      }
    }
    ::close(fd);
    T->ResumeLength = length;
    sendPacket(P, *T, *D, 'T', "r " + std::to_string(crc) + " " + std::to_string(length));
    P.ProtocolStatus = psHostResume;
    if (P.ShowStatus) P.ShowStatus(P, 0);
    if (!openForWriting(P, false)) return;
    startAt(P, static_cast<std::int32_t>(length));
    return;
  }
  if (!P.FileOpen) {
    if (!openForWriting(P, true)) return;
    P.FileCreated = true;  // what it holds is this run's: a failed run's part may be deleted
  }
  sendAck(*T, *D);
  startAt(P, 0);
  P.FileLength = 0;
  P.BytesToSend = 0;
}

// The host's transfer request. True when the run may start; otherwise a failure packet
// has gone out (or the resume request waits for its acknowledgement).
bool readTransferPacket(TProtocolData& P, TBPlusTail& T, TSioBaseDispatcher& D, bool& upload) {
  const std::uint8_t* data = T.RecvBuffer + 1;
  const std::uint32_t len = T.PacketLength - 1;
  const char dir = len > 0 ? static_cast<char>(data[0]) : 0;
  if (dir != 'D' && dir != 'U') {
    sendFailure(P, T, D, "NUnimplemented Transfer Function");
    P.ProtocolError = ecProtocolError;
    return false;
  }
  upload = dir == 'U';
  NewTimer(P.TransferTimer, 0);
  P.TimerRunning = true;
  const char type = len > 1 ? static_cast<char>(data[1]) : 0;
  if (type != 'A' && type != 'B') {
    sendFailure(P, T, D, "NUnimplemented File Type");
    P.ProtocolError = ecProtocolError;
    return false;
  }
  std::string name;
  for (std::uint32_t i = 2; i < len && data[i] != 0 && name.size() < apMaxPath - 1; ++i)
    name += static_cast<char>(data[i]);
  // Only the name part counts, under this side's directory: a host writes and fetches
  // nothing outside it.
  const std::string asked = name;
  name = bpNamePart(name);
  if (name.empty()) {
    // A request that names no file is refused; the history names what was asked for.
    CopyToBufferZ(P.PathName, apMaxPath, asked);
    if (P.UpcaseFileNames) apUpcase(P.PathName);
    if (P.LogFile) P.LogFile(P, upload ? lfTransmitStart : lfReceiveStart);
    P.ProtocolStatus = psFileRejected;
    P.ForceStatus = true;
    sendFailure(P, T, D, "AFile rejected");
    if (P.LogFile) P.LogFile(P, upload ? lfTransmitSkip : lfReceiveSkip);
    return false;
  }
  apSetReceivePath(P, name);
  if (P.UpcaseFileNames) apUpcase(P.PathName);
  if (upload) {
    if (P.LogFile) P.LogFile(P, lfTransmitStart);
    // A name that does not fit names no file of this side's, nor does a link: what it leads
    // to is not the host's to fetch.
    if (!apRefusedPath(P)) {
      struct stat st {};
      if (apStatReceived(P, st) == 0 && S_ISLNK(st.st_mode))
        apProtocolError(P, ecFileNotFound);
      else
        P.PrepareReading(P);
    }
    if (P.ProtocolError != 0 || !P.FileOpen) {
      if (P.ProtocolError == 0) P.ProtocolError = ecFileNotFound;
      sendFailure(P, T, D, "AFile Error");
      if (P.LogFile) P.LogFile(P, lfTransmitFail);
      return false;
    }
    P.FileOffset = 0;
    sendAck(T, D);
    return true;
  }
  if (P.LogFile) P.LogFile(P, lfReceiveStart);
  if (P.AcceptFile && P.AcceptFile(P, P.PathName)) {
    P.PrepareWriting(P);
    if (P.ProtocolStatus == psCantWriteFile || P.ProtocolError != 0 || !P.FileOpen) {
      if (P.ProtocolError == 0 && P.ProtocolStatus != psCantWriteFile) P.ProtocolError = ecCantWriteFile;
      sendFailure(P, T, D, "AAborted by user");
      if (P.LogFile) P.LogFile(P, lfReceiveFail);
      return false;
    }
    return P.ProtocolStatus != psHostResume;
  }
  P.ProtocolStatus = psFileRejected;
  P.ForceStatus = true;
  sendFailure(P, T, D, "AFile rejected");
  if (P.LogFile) P.LogFile(P, lfReceiveSkip);
  return false;
}

void agreeParameters(TProtocolData& P, TBPlusTail& T) {
  const TBPlusParms& h = T.HostParms;
  T.WindowSize = h.SendWindow ? 2 : 1;
  T.OurParms.Window = static_cast<std::uint8_t>(T.WindowSize);
  std::uint32_t units = h.BlockSize == 0 ? 4 : std::min<std::uint32_t>(h.BlockSize, T.OfferedBlockSize);
  T.OurParms.BlockSize = static_cast<std::uint8_t>(units);
  P.BlockLength = units * 128;
  T.OurParms.Crc = h.CheckMethod ? 1 : 0;
  P.CheckType = h.CheckMethod ? bcmCrc16 : bcmChecksum;
  T.OurParms.DownloadResume = std::min<std::uint8_t>(h.DownloadResume, 1);
  T.OurParms.FileInfo = h.FileInfo ? 1 : 0;
  bpBuildQuoteTable(T.QuoteTable, DQDefault);
  if (T.HostParmsLong) bpBuildQuoteTable(T.QuoteTable, h.QuoteSet, false);
  T.ParmsAgreed = true;
}

void takeHostParms(TBPlusTail& T) {
  const std::uint8_t* d = T.RecvBuffer + 1;
  const std::uint32_t n = T.PacketLength - 1;
  TBPlusParms h;
  auto at = [&](std::uint32_t i) -> std::uint8_t { return i < n ? d[i] : 0; };
  h.SendWindow = at(0);
  h.RecvWindow = at(1);
  h.BlockSize = at(2);
  h.CheckMethod = at(3);
  h.QuoteLevel = at(4);
  h.TransportExt = at(5);
  T.HostParmsLong = n > 13;
  for (int i = 0; i < 8; ++i) h.QuoteSet[i] = T.HostParmsLong ? at(6 + static_cast<std::uint32_t>(i)) : 0;
  h.DownloadResume = at(14);
  h.UploadResume = at(15);
  h.FileInfo = at(16);
  T.HostParms = h;
}

void logEntry(TProtocolData& P, TSioBaseDispatcher& D, TBPlusTail& T) {
  if (D.DispatchLogging())
    D.AddDispatchEntry(dtBPlus, static_cast<TDispatchSubType>(dstrbInitial + T.BPlusState), 0);
}

void statusStep(TProtocolData& P, TSioBaseDispatcher& D, std::uint32_t trigger) {
  if (!(trigger != 0 && trigger == P.StatusTimerTrigger) && !P.ForceStatus) return;
  if (P.TimerRunning) P.ElapsedTicks = ElapsedTime(P.TransferTimer);
  std::int32_t left = 0;
  if (P.StatusTimerTrigger && D.TimerTicksRemaining(P.StatusTimerTrigger, left) == 0 && left > 0) return;
  if (P.ShowStatus) P.ShowStatus(P, 0);
  if (P.StatusTimerTrigger)
    D.SetTimerTrigger(P.StatusTimerTrigger, static_cast<std::int32_t>(P.StatusInterval), true);
  P.ForceStatus = false;
}

void finishRun(TProtocolData& P, TBPlusTail& T, TSioBaseDispatcher& D, bool transmit) {
  if (transmit) {
    P.FinishReading(P);
  } else {
    const std::int32_t length = P.FileLength;
    P.FinishWriting(P);
    P.FileLength = length;
  }
  // The log follows the code the finish reports: a cancel or a host's failure packet is
  // no success.
  const bool failed = finalCode(P) != 0;
  if (P.LogFile)
    P.LogFile(P,
              transmit ? (failed ? lfTransmitFail : lfTransmitOk) : (failed ? lfReceiveFail : lfReceiveOk));
  apShowLastStatus(P);
  D.FlushInBuffer();
  T.BPlusState = transmit ? tbDone : rbDone;
  T.TimerTrigger = 0;
  apSignalFinish(P);
}

bool carrierLost(TProtocolData& P, TSioBaseDispatcher& D, UINT msg, std::uint32_t trigger) {
  return apIsStatusTrigger(msg, trigger, P.CarrierTrigger) && !D.CheckDCD();
}

// ---------------------------------------------------------------------------------------
// Transmit machine
// ---------------------------------------------------------------------------------------
void transmitPrim(TProtocolData& P, TBPlusTail& T, TSioBaseDispatcher& D, UINT msg, std::uint32_t trigger) {
  if (T.BPlusState == tbDone) return;
  if (msg == SW_TRIGGERAVAIL) trigger = 0;
  bool first = true;
  for (;;) {
    logEntry(P, D, T);
    const bool timeout = first && apIsTimeout(P, msg, trigger);
    const bool outFree = first && apIsStatusTrigger(msg, trigger, P.OutFreeTrigger);
    if (first && P.ProtocolStatus != psCancelRequested && P.ProtocolStatus != psFileRejected) {
      if (msg == apw_ProtocolCancel) {
        if (T.BPlusState == tbWaitErrorAck) {
          T.BPlusState = tbCleanup;
        } else {
          sendFailure(P, T, D, "AAborted by user");
          P.ProtocolStatus = psCancelRequested;
          T.BPlusState = tbError;
        }
      } else if (carrierLost(P, D, msg, trigger)) {
        P.ProtocolStatus = psAbortNoCarrier;
        T.BPlusState = tbCleanup;
      }
    }
    statusStep(P, D, first ? trigger : 0);
    first = false;
    bool more = true;
    switch (T.BPlusState) {
      case tbInitial:
        apShowFirstStatus(P);
        T.TimerTrigger = P.TimeoutTrigger;
        arm(T, D, P.HandshakeWait);
        NewTimer(P.TransferTimer, 0);
        P.TimerRunning = true;
        T.EndOfData = false;
        T.BPlusState = tbGetBlock;
        break;
      case tbGetBlock: {
        if (T.Outstanding >= T.WindowSize) {
          T.BPlusState = tbCheckAck;
          more = D.CharReady();
          break;
        }
        if (T.EndOfData) {
          T.BPlusState = tbEndOfFile;
          break;
        }
        std::uint32_t size =
            apOptionsAreOn(P, apBP2KTransmit) ? P.BlockLength : std::min<std::uint32_t>(P.BlockLength, 1024);
        size = std::min(size, bpMaxBlock);
        const bool atEnd = P.ReadBlock(P, T.Slots[T.NextSlot - 1].Data, size);
        if (P.ProtocolError != 0) {
          sendFailure(P, T, D, "EFile read failure");
          T.BPlusState = tbError;
          break;
        }
        T.EndOfData = atEnd;
        if (size == 0) break;  // nothing left: the end of the file follows
        T.Slots[T.NextSlot - 1].Len = size;
        P.FileOffset += static_cast<std::int32_t>(size);
        arm(T, D, P.TransmitTimeout);
        if (D.OutBuffFree() >= 2 * size + 10) {
          T.BPlusState = tbSendData;
        } else {
          if (P.OutFreeTrigger) D.SetStatusTrigger(P.OutFreeTrigger, 2 * size + 10, true);
          T.BPlusState = tbWaitFreeSpace;
          more = false;
        }
        break;
      }
      case tbWaitFreeSpace: {
        const std::uint32_t size = T.Slots[T.NextSlot - 1].Len;
        if (outFree || D.OutBuffFree() >= 2 * size + 10) {
          T.BPlusState = tbSendData;
        } else if (timeout) {
          sendFailure(P, T, D, "ETimeout waiting for output buffer space");
          T.BPlusState = tbError;
        } else if (D.CharReady()) {
          AckResult r = collectAck(P, T, D, false);
          if (r == arFailed) {
            sendFailure(P, T, D, "EToo many errors");
            T.BPlusState = tbError;
          } else {
            more = false;
          }
        } else {
          more = false;
        }
        break;
      }
      case tbSendData:
        sendSlotPacket(P, T, D, 'N', T.Slots[T.NextSlot - 1].Len);
        ++P.BlockNumber;
        P.ForceStatus = true;
        arm(T, D, P.HandshakeWait);
        if (T.Outstanding == 1) T.AckState = acGetDLE;
        T.BPlusState = tbCheckAck;
        break;
      case tbCheckAck: {
        if (T.Outstanding < T.WindowSize && !D.CharReady()) {
          T.BPlusState = tbGetBlock;
          break;
        }
        if (!D.CharReady() && !timeout && T.AckState != acSendData && T.AckState != acHaveAck) {
          more = false;
          break;
        }
        T.AckedBytes = 0;
        AckResult r = collectAck(P, T, D, timeout && !D.CharReady());
        if (r == arFailed) {
          sendFailure(P, T, D, "EToo many errors");
          T.BPlusState = tbError;
        } else if (r == arSuccess) {
          P.BytesTransferred += static_cast<std::int32_t>(T.AckedBytes);
          P.BytesToSend = std::max(0, P.BytesToSend - static_cast<std::int32_t>(T.AckedBytes));
          T.BPlusState = tbGetBlock;
        } else {
          more = D.CharReady();
        }
        break;
      }
      case tbEndOfFile:
        sendPacket(P, T, D, 'T', "C");
        arm(T, D, P.HandshakeWait);
        T.BPlusState = tbEofAck;
        more = D.CharReady();
        break;
      case tbEofAck: {
        if (!D.CharReady() && !timeout) {
          more = false;
          break;
        }
        T.AckedBytes = 0;
        AckResult r = collectAck(P, T, D, timeout && !D.CharReady());
        if (r == arFailed) {
          sendFailure(P, T, D, "EToo many errors");
          T.BPlusState = tbError;
        } else if (r == arSuccess) {
          P.BytesTransferred += static_cast<std::int32_t>(T.AckedBytes);
          P.BytesToSend = std::max(0, P.BytesToSend - static_cast<std::int32_t>(T.AckedBytes));
          if (T.Outstanding == 0) {
            P.ProtocolStatus = psOK;
            T.BPlusState = tbCleanup;
          }
        } else {
          more = false;
        }
        break;
      }
      case tbError:
        P.SavedError = P.ProtocolError;
        T.AckState = acGetDLE;
        arm(T, D, P.FinishWait);
        T.BPlusState = tbWaitErrorAck;
        more = D.CharReady();
        break;
      case tbWaitErrorAck: {
        if (!D.CharReady() && !timeout) {
          more = false;
          break;
        }
        AckResult r = collectAck(P, T, D, timeout && !D.CharReady());
        if (r == arWorking) {
          more = false;
          break;
        }
        P.ProtocolError = P.SavedError;
        T.BPlusState = tbCleanup;
        break;
      }
      case tbCleanup:
        finishRun(P, T, D, true);
        return;
      default:
        return;
    }
    // A failure packet from the host ends the run.
    if (T.HostAbort && T.BPlusState != tbCleanup && T.BPlusState != tbDone) {
      P.ProtocolStatus = psCancelRequested;
      T.BPlusState = tbCleanup;
      more = true;
    }
    if (!more) return;
    trigger = 0;
    msg = 0;
  }
}

// ---------------------------------------------------------------------------------------
// Receive machine
// ---------------------------------------------------------------------------------------
void processPacket(TProtocolData& P, TBPlusTail& T, TSioBaseDispatcher& D) {
  const std::uint8_t* data = T.RecvBuffer + 1;
  const std::uint32_t len = T.PacketLength - 1;
  switch (T.PacketType) {
    case 'F':
      P.ProtocolStatus = psCancelRequested;
      T.Aborting = false;
      sendAck(T, D);
      T.BPlusState = rbCleanup;
      return;
    case 'N':
      if (P.WriteBlock(P, data, len)) {
        sendFailure(P, T, D, "EWrite failure");
        T.BPlusState = rbError;
        return;
      }
      P.FileOffset += static_cast<std::int32_t>(len);
      P.BytesTransferred += static_cast<std::int32_t>(len);
      P.BytesToSend = std::max(0, P.BytesToSend - static_cast<std::int32_t>(len));
      ++P.BlockNumber;
      P.CurrentBlockLength = static_cast<std::int32_t>(len);
      if (P.TimerRunning) P.ElapsedTicks = ElapsedTime(P.TransferTimer);
      sendAck(T, D);
      T.BPlusState = rbGetDLE;
      return;
    case 'T':
      if (len >= 1 && data[0] == 'C') {
        const std::int32_t length = P.FileLength;
        P.FinishWriting(P);
        if (P.ProtocolError != 0) {
          sendFailure(P, T, D, "EWrite failure");
          T.BPlusState = rbError;
          return;
        }
        if (length > P.FileLength) P.FileLength = length;
        sendAck(T, D);
        P.ProtocolStatus = psOK;
        T.BPlusState = rbCleanup;
        return;
      }
      if (len >= 1 && data[0] == 'I') {
        sendAck(T, D);
        std::int32_t n = 0;
        bool valid = len > 3;
        for (std::uint32_t i = 3; i < len && data[i] >= '0' && data[i] <= '9'; ++i) {
          if (n > 214748363) {
            valid = false;
            break;
          }
          n = n * 10 + (data[i] - '0');
        }
        P.FileLength = valid ? n : 0;
        P.BytesToSend = std::max(0, P.FileLength - P.BytesTransferred);
        P.ForceStatus = true;
        T.BPlusState = rbGetDLE;
        return;
      }
      if (len >= 1 && data[0] == 'f') {
        // The host refused to resume: the file starts again.
        if (P.FileOpen && P.WorkFile >= 0 && ::ftruncate(P.WorkFile, 0) != 0) {
          apProtocolError(P, ioError(errno));
          sendFailure(P, T, D, "CCannot create file");
          T.BPlusState = rbError;
          return;
        }
        P.FileCreated = true;  // emptied: what it holds from now on is this run's
        sendAck(T, D);
        P.ProtocolStatus = psResumeBad;
        P.ForceStatus = true;
        startAt(P, 0);
        T.BPlusState = rbGetDLE;
        return;
      }
      apProtocolError(P, ecProtocolError);
      sendFailure(P, T, D, "NInvalid T Packet");
      T.BPlusState = rbError;
      return;
    default:
      apProtocolError(P, ecProtocolError);
      sendFailure(P, T, D, "NUnknown packet type");
      T.BPlusState = rbError;
      return;
  }
}

void receivePrim(TProtocolData& P, TBPlusTail& T, TSioBaseDispatcher& D, UINT msg, std::uint32_t trigger) {
  if (T.BPlusState == rbDone) return;
  if (msg == SW_TRIGGERAVAIL) trigger = 0;
  bool first = true;
  for (;;) {
    logEntry(P, D, T);
    const bool timeout = first && apIsTimeout(P, msg, trigger);
    if (first) {
      if (msg == apw_ProtocolCancel) {
        if (T.BPlusState == rbWaitErrorAck) {
          T.BPlusState = rbCleanup;
        } else if (P.ProtocolStatus != psCancelRequested) {
          sendFailure(P, T, D, "AAborted by user");
          P.ProtocolStatus = psCancelRequested;
          T.BPlusState = rbError;
        }
      } else if (carrierLost(P, D, msg, trigger)) {
        P.ProtocolStatus = psAbortNoCarrier;
        T.BPlusState = rbCleanup;
      }
    }
    statusStep(P, D, first ? trigger : 0);
    first = false;
    bool more = true;
    std::uint8_t c = 0;
    switch (T.BPlusState) {
      case rbInitial:
        P.BlockNumber = 0;
        P.ElapsedTicks = 0;
        P.BlockErrors = 0;
        P.TotalErrors = 0;
        apShowFirstStatus(P);
        T.TimerTrigger = P.TimeoutTrigger;
        arm(T, D, P.HandshakeWait);
        if (!P.TimerRunning) {
          NewTimer(P.TransferTimer, 0);
          P.TimerRunning = true;
        }
        T.BPlusState = rbGetDLE;
        break;
      case rbGetDLE:
        if (D.GetChar(c) == 0) {
          arm(T, D, P.HandshakeWait);
          if (c == bpDLE)
            T.BPlusState = rbGetB;
          else if (c == bpENQ)
            sendAck(T, D);
        } else if (timeout) {
          T.BPlusState = rbSendEnq;
        } else {
          more = false;
        }
        break;
      case rbGetB:
        if (D.GetChar(c) == 0) {
          arm(T, D, P.HandshakeWait);
          if (c == 'B') {
            T.NakSent = false;
            T.NextSeq = (T.Seq + 1) % 10;
            P.BlockErrors = 0;
            T.PacketState = psGetSeq;
            T.BPlusState = rbCollectPacket;
          } else if (c == bpENQ) {
            sendAck(T, D);
            T.BPlusState = rbGetDLE;
          } else {
            T.BPlusState = rbGetDLE;  // an acknowledgement or noise: not a packet
          }
        } else if (timeout) {
          T.BPlusState = rbSendEnq;
        } else {
          more = false;
        }
        break;
      case rbCollectPacket: {
        if (timeout && !D.CharReady()) {
          T.BPlusState = rbSendEnq;
          break;
        }
        CollectResult r = collectPacket(P, T, D);
        if (r == crWorking) {
          more = false;
        } else if (r == crDone) {
          P.BlockErrors = 0;
          T.BPlusState = rbProcessPacket;
        } else if (r == crDuplicate) {
          T.BPlusState = rbGetDLE;
        } else if (r == crError) {
          arm(T, D, P.HandshakeWait);
          T.BPlusState = rbGetDLE;
        } else {
          if (P.ProtocolError == 0) apProtocolError(P, ecTooManyErrors);
          sendFailure(P, T, D, "EToo many errors");
          T.BPlusState = rbError;
        }
        break;
      }
      case rbProcessPacket:
        processPacket(P, T, D);
        break;
      case rbSendEnq:
        P.ProtocolStatus = psTimeout;
        countError(P);
        if (P.BlockErrors <= bpMaxErrors) {
          // Nothing came: a NAK makes the host find out where this side stands.
          D.PutChar(bpNAK);
          arm(T, D, P.HandshakeWait);
          T.BPlusState = rbGetDLE;
          more = D.CharReady();
        } else {
          apProtocolError(P, ecTimeout);
          sendFailure(P, T, D, "ATimeout");
          T.BPlusState = rbError;
        }
        break;
      case rbError:
        P.SavedError = P.ProtocolError;
        T.AckState = acGetDLE;
        arm(T, D, P.FinishWait);
        T.BPlusState = rbWaitErrorAck;
        more = D.CharReady();
        break;
      case rbWaitErrorAck: {
        if (!D.CharReady() && !timeout) {
          more = false;
          break;
        }
        AckResult r = collectAck(P, T, D, timeout && !D.CharReady());
        if (r == arWorking) {
          more = false;
          break;
        }
        P.ProtocolError = P.SavedError;
        T.BPlusState = rbCleanup;
        break;
      }
      case rbCleanup:
        finishRun(P, T, D, false);
        return;
      default:
        return;
    }
    if (!more) return;
    trigger = 0;
    msg = 0;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Building blocks
// ---------------------------------------------------------------------------------------
std::uint16_t bpUpdateCheck8(std::uint8_t c, std::uint16_t check) {
  std::uint32_t v = check & 0xFF;
  v = ((v << 1) | (v >> 7)) & 0xFF;
  v += c;
  if (v > 0xFF) v = (v & 0xFF) + 1;
  return static_cast<std::uint16_t>(v);
}

std::uint16_t bpUpdateCrc(std::uint8_t c, std::uint16_t crc) {
  // The byte enters at the high end: running the two check bytes through it leaves 0.
  static const auto table = [] {
    std::array<std::uint16_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t v = i << 8;
      for (int b = 0; b < 8; ++b) v = (v & 0x8000) ? ((v << 1) ^ 0x1021) : (v << 1);
      t[i] = static_cast<std::uint16_t>(v);
    }
    return t;
  }();
  return static_cast<std::uint16_t>((crc << 8) ^ table[((crc >> 8) ^ c) & 0xFF]);
}

void bpBuildQuoteTable(std::uint8_t table[256], const std::uint8_t set[8], bool clear) {
  if (clear) std::memset(table, 0, 256);
  for (int n = 0; n < 64; ++n) {
    if (!(set[n / 8] & (0x80 >> (n % 8)))) continue;
    if (n < 32)
      table[n] = static_cast<std::uint8_t>(0x40 + n);
    else
      table[0x80 + n - 32] = static_cast<std::uint8_t>(0x60 + n - 32);
  }
}

std::vector<std::uint8_t> bpBuildPacket(const std::uint8_t quote[256], bool crc, int seq, char type,
                                        const std::uint8_t* data, std::uint32_t len) {
  std::vector<std::uint8_t> out;
  out.reserve(len * 2 + 12);
  std::uint16_t check = crc ? 0xFFFF : 0;
  auto sum = [&](std::uint8_t c) { check = crc ? bpUpdateCrc(c, check) : bpUpdateCheck8(c, check); };
  auto put = [&](std::uint8_t c) {
    if (quote[c]) {
      out.push_back(bpDLE);
      out.push_back(quote[c]);
    } else {
      out.push_back(c);
    }
  };
  out.push_back(bpDLE);
  out.push_back('B');
  const std::uint8_t digit = static_cast<std::uint8_t>('0' + seq % 10);
  out.push_back(digit);
  sum(digit);
  out.push_back(static_cast<std::uint8_t>(type));
  sum(static_cast<std::uint8_t>(type));
  for (std::uint32_t i = 0; i < len; ++i) {
    put(data[i]);
    sum(data[i]);
  }
  out.push_back(bpETX);
  sum(bpETX);
  if (crc) {
    put(static_cast<std::uint8_t>(check >> 8));
    put(static_cast<std::uint8_t>(check & 0xFF));
  } else {
    put(static_cast<std::uint8_t>(check & 0xFF));
  }
  return out;
}

std::string bpNamePart(const std::string& name) {
  std::size_t cut = name.find_last_of("/\\:");
  std::string part = cut == std::string::npos ? name : name.substr(cut + 1);
  while (!part.empty() && (part.back() == ' ' || part.back() == '.')) part.pop_back();
  if (part == "." || part == ".." || part.empty()) return {};
  return part;
}

// ---------------------------------------------------------------------------------------
// Set-up
// ---------------------------------------------------------------------------------------
TBPlusTail* bpTail(TProtocolData& P) {
  if (!isBPlus(P)) return nullptr;
  return std::launder(reinterpret_cast<TBPlusTail*>(P.DataBlock));
}

int bpInit(TProtocolData*& P, TSioCustomComPort* port, std::uint32_t options) {
  P = nullptr;
  if (port && port->GetOutSize() < 1024) return ecOutputBufferTooSmall;
  int r = apInitProtocolData(P, port, options);
  if (r != 0) return r;
  r = bpReinit(*P);
  if (r != 0) apDoneProtocol(P);
  return r;
}

int bpReinit(TProtocolData& P) {
  delete[] P.DataBlock;
  P.DataBlock = new (std::nothrow) std::uint8_t[sizeof(TBPlusTail)];
  if (!P.DataBlock) return ecOutOfMemory;
  TBPlusTail* T = new (P.DataBlock) TBPlusTail{};
  P.ProtocolType = ptBPlus;
  P.BatchProtocol = false;
  P.CheckType = bcmChecksum;
  P.FinishWait = 273;
  P.HandshakeWait = 546;
  P.TurnDelay = 0;
  P.Overhead = 20;
  apResetReadWriteHooks(P);
  P.PrepareWriting = bpPrepareWriting;
  P.ReleasePart = bpDonePart;
  resetParameters(P, *T);
  setOfferedBlockSize(P, *T);
  return 0;
}

void bpDonePart(TProtocolData& P) {
  if (P.ProtocolType != ptBPlus) return;
  delete[] P.DataBlock;
  P.DataBlock = nullptr;
}

// The part goes with the record (ReleasePart), after a call that may still use it.
void bpDone(TProtocolData*& P) { apDoneProtocol(P); }

// ---------------------------------------------------------------------------------------
// Host hooks
// ---------------------------------------------------------------------------------------
int bpProcessENQ(TProtocolData& P) {
  TBPlusTail* T = bpTail(P);
  if (!T) return ecBadProtocolFunction;
  TSioBaseDispatcher* D = apDispatcher(P);
  if (!D) return ecCommNotOpen;
  T->Aborting = false;
  resetParameters(P, *T);
  setOfferedBlockSize(P, *T);
  const std::uint8_t reply[5] = {bpDLE, '+', '+', bpDLE, '0'};
  return D->PutBlock(reply, 5) < 0 ? ecCommNotOpen : 0;
}

int bpProcessESCI(TProtocolData& P, std::uint8_t first, std::uint8_t second) {
  if (!bpTail(P)) return ecBadProtocolFunction;
  TSioBaseDispatcher* D = apDispatcher(P);
  if (!D) return ecCommNotOpen;
  std::string reply = ESCIResponse;
  if (reply.find(",+") == std::string::npos) reply += ",+";
  std::size_t ss = reply.find("SS");
  if (ss != std::string::npos && ss + 3 < reply.size()) {
    reply[ss + 2] = static_cast<char>(second + 31);
    reply[ss + 3] = static_cast<char>(first + 31);
  }
  std::uint32_t sum = 0;
  for (char c : reply) sum += static_cast<std::uint8_t>(c);
  reply += std::to_string(sum & 0xFF);
  reply += '\r';
  return D->PutString(reply) < 0 ? ecCommNotOpen : 0;
}

int bpPrepareProcessDLE(TProtocolData& P, std::uint32_t& handle) {
  TBPlusTail* T = bpTail(P);
  handle = 0;
  if (!T) return ecBadProtocolFunction;
  TSioBaseDispatcher* D = apDispatcher(P);
  if (!D) return ecCommNotOpen;
  P.ProtocolStatus = psOK;
  P.ProtocolError = 0;
  T->TermState = tpsWaitB;
  T->Aborting = false;
  if (T->OwnTrigger) D->RemoveTrigger(T->OwnTrigger);
  int h = D->AddTimerTrigger();
  if (h < 0) return h;
  T->OwnTrigger = static_cast<std::uint32_t>(h);
  handle = T->OwnTrigger;
  T->TimerTrigger = T->OwnTrigger;
  arm(*T, *D, P.HandshakeWait);
  return 0;
}

int bpProcessDLE(TProtocolData& P, bool dleSeen, bool& start, bool& upload, bool& error) {
  start = upload = error = false;
  TBPlusTail* T = bpTail(P);
  if (!T) return ecBadProtocolFunction;
  TSioBaseDispatcher* D = apDispatcher(P);
  if (!D) return ecCommNotOpen;
  (void)dleSeen;  // a DLE still waiting is skipped either way
  auto endWalk = [&] {
    if (T->OwnTrigger) D->RemoveTrigger(T->OwnTrigger);
    T->OwnTrigger = 0;
    T->TimerTrigger = P.TimeoutTrigger;
  };
  std::int32_t left = 1;
  const bool expired = T->OwnTrigger && D->TimerTicksRemaining(T->OwnTrigger, left) == 0 && left <= 0;
  for (;;) {
    std::uint8_t c = 0;
    switch (T->TermState) {
      case tpsWaitB:
      case tpsWaitSeq:
      case tpsWaitType:
        if (D->GetChar(c) != 0) {
          if (expired) {
            P.ProtocolStatus = psTimeout;
            if (P.ProtocolError == 0) P.ProtocolError = ecTimeout;
            T->TermState = tpsError;
            continue;
          }
          return 0;
        }
        arm(*T, *D, P.HandshakeWait);
        if (T->TermState == tpsWaitB) {
          if (c == 'B')
            T->TermState = tpsWaitSeq;
          else if (c != bpDLE)
            T->TermState = tpsError;
        } else if (T->TermState == tpsWaitSeq) {
          T->Check = crcInUse(P, *T) ? 0xFFFF : 0;
          T->Check = updateCheck(P, *T, c, T->Check);
          T->RecvSeq = c - '0';
          T->DlePending = false;
          T->TermState = tpsWaitType;
        } else {
          if (c == '+' || c == 'T') {
            if (c == '+') {
              T->OldestSlot = T->NextSlot = 1;
              T->Outstanding = 0;
              T->WindowSize = 1;
              P.BlockErrors = 0;
            }
            T->Check = updateCheck(P, *T, c, T->Check);
            T->PacketType = c;
            T->RecvBuffer[0] = c;
            T->PacketLength = 1;
            T->PacketState = psGetData;
            T->NakSent = false;
            T->TermState = c == '+' ? tpsCollectPlus : tpsCollectT;
          } else {
            T->TermState = tpsError;
          }
        }
        continue;
      case tpsCollectPlus:
      case tpsCollectT: {
        if (expired && !D->CharReady()) {
          P.ProtocolStatus = psTimeout;
          if (P.ProtocolError == 0) P.ProtocolError = ecTimeout;
          T->TermState = tpsError;
          continue;
        }
        CollectResult r = collectPacket(P, *T, *D);
        if (r == crWorking) return 0;
        // A bad or repeated packet is answered; the bytes behind it are walked on at once,
        // not when the next ones come (that may be never: the host waits for the answer).
        if (r == crError || r == crDuplicate) continue;
        if (r == crFailed) {
          if (P.ProtocolError == 0) P.ProtocolError = ecTooManyErrors;
          T->TermState = tpsError;
          continue;
        }
        if (T->TermState == tpsCollectPlus) {
          if (T->PacketType != '+') {
            T->TermState = tpsError;
            continue;
          }
          takeHostParms(*T);
          sendAck(*T, *D);
          std::uint8_t ours[17] = {1, 2, static_cast<std::uint8_t>(T->OfferedBlockSize), 1, 1, 0};
          std::memcpy(ours + 6, DQDefault, 8);
          ours[14] = 1;
          ours[15] = 0;
          ours[16] = 1;
          std::memcpy(T->Slots[T->NextSlot - 1].Data, ours, sizeof ours);
          sendSlotPacket(P, *T, *D, '+', sizeof ours);
          T->AckState = acGetDLE;
          T->TermState = tpsCollectAckPlus;
          continue;
        }
        if (T->PacketType != 'T') {
          T->TermState = tpsError;
          continue;
        }
        if (readTransferPacket(P, *T, *D, upload)) {
          start = true;
          endWalk();
          return 0;
        }
        P.SavedError = finalCode(P);
        T->AckState = acGetDLE;
        T->TermState = tpsCollectAckT;
        continue;
      }
      case tpsCollectAckPlus:
      case tpsCollectAckT: {
        if (!D->CharReady() && !expired) return 0;
        AckResult r = collectAck(P, *T, *D, expired && !D->CharReady());
        if (r == arWorking) return 0;
        if (T->TermState == tpsCollectAckPlus) {
          if (r == arFailed) {
            T->TermState = tpsError;
            continue;
          }
          agreeParameters(P, *T);
          T->TermState = tpsWaitB;
          continue;
        }
        if (P.ProtocolStatus == psHostResume && r == arSuccess && !T->HostAbort) {
          start = true;
          upload = false;
          endWalk();
          return 0;
        }
        if (P.SavedError != 0) P.ProtocolError = P.SavedError;
        T->TermState = tpsError;
        continue;
      }
      case tpsError:
      default: {
        endWalk();
        error = true;
        int code = P.ProtocolError != 0 ? P.ProtocolError : finalCode(P);
        if (code == 0) code = ecProtocolError;
        P.ProtocolError = code;
        return code;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// Machines
// ---------------------------------------------------------------------------------------
void bpPrepareTransmit(TProtocolData& P) {
  TBPlusTail* T = bpTail(P);
  if (!T) {
    P.ProtocolError = ecBadProtocolFunction;
    return;
  }
  T->BPlusState = tbInitial;
  P.ProtocolError = 0;
  P.SavedStatus = psOK;
  const std::int32_t length = P.FileLength, toSend = P.BytesToSend;
  apResetStatus(P);
  P.FileLength = length;
  P.BytesToSend = toSend;
  T->TimerTrigger = P.TimeoutTrigger;
  T->HostAbort = false;
}

void bpTransmit(UINT msg, WPARAM wParam, LPARAM lParam) {
  TProtocolCall call(lParam);
  if (!call) return;
  if (TBPlusTail* T = bpTail(*call.P))
    transmitPrim(*call.P, *T, *call.D, msg, static_cast<std::uint32_t>(wParam));
}

void bpPrepareReceive(TProtocolData& P) {
  TBPlusTail* T = bpTail(P);
  if (!T) {
    P.ProtocolError = ecBadProtocolFunction;
    return;
  }
  T->BPlusState = rbInitial;
  P.ProtocolError = 0;
  P.SavedStatus = psOK;
  T->TimerTrigger = P.TimeoutTrigger;
  T->HostAbort = false;
}

void bpReceive(UINT msg, WPARAM wParam, LPARAM lParam) {
  TProtocolCall call(lParam);
  if (!call) return;
  if (TBPlusTail* T = bpTail(*call.P))
    receivePrim(*call.P, *T, *call.D, msg, static_cast<std::uint32_t>(wParam));
}
