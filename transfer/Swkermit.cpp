// Kermit engine.
#include "transfer/Swkermit.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "serial/SioPort.h"
#include "serial/Sioexcept.h"
#include "transfer/Swxmodem.h"

namespace {

constexpr std::uint8_t cMark = 0x01;  // SOH, the start of every packet

inline std::uint8_t tochar(std::uint32_t x) { return static_cast<std::uint8_t>(x + 32); }
inline std::uint32_t unchar(std::uint8_t c) { return static_cast<std::uint32_t>(c - 32) & 0xFF; }
inline std::uint8_t ctl(std::uint8_t c) { return static_cast<std::uint8_t>(c ^ 64); }
inline bool printable(std::uint8_t c) { return c >= 32 && c <= 126; }
inline std::uint8_t nextSeq(std::uint8_t s) { return static_cast<std::uint8_t>((s + 1) & 63); }

std::uint32_t checkLength(char check) { return check == '2' ? 2 : check == '3' ? 3 : 1; }

// A prefix character that both sides may choose: 33 to 62 or 96 to 126.
bool prefixRange(char ch) {
  const auto c = static_cast<std::uint8_t>(ch);
  return (c >= 33 && c <= 62) || (c >= 96 && c <= 126);
}

TBlockCheckMethod methodOf(char check) {
  return check == '2' ? bcmChecksum2 : check == '3' ? bcmCrcK : bcmChecksum;
}

bool isKermit(const TProtocolData& P) { return P.ProtocolType == ptKermit && P.DataBlock; }

// A run that ends with one of these statuses has failed even without an error code.
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
// An error state makes sure that the finish reports a failure.
void markFailed(TProtocolData& P) {
  if (!runFailed(P)) P.ProtocolStatus = psProtocolError;
}

// ---------------------------------------------------------------------------------------
// Packets on the line
// ---------------------------------------------------------------------------------------
bool sendPacket(TProtocolData& P, TKermitTail& T, TSioBaseDispatcher& D, char type, std::uint8_t seq,
                const std::uint8_t* data, std::uint32_t len) {
  // The Send-Init and its acknowledgement always go with check "1".
  const char check = T.CheckKnown && type != 'S' ? T.CheckChar : '1';
  std::uint8_t out[kpMaxData + 16 + 255];
  const std::uint32_t n = kpBuildPacket(T, type, seq, data, len, check, out);
  const int r = D.PutBlock(out, n);
  if (r < 0) {
    apProtocolError(P, r);
    return false;
  }
  return true;
}

bool sendText(TProtocolData& P, TKermitTail& T, TSioBaseDispatcher& D, char type, std::uint8_t seq,
              const char* text) {
  return sendPacket(P, T, D, type, seq, reinterpret_cast<const std::uint8_t*>(text),
                    static_cast<std::uint32_t>(std::strlen(text)));
}

bool sendAck(TProtocolData& P, TKermitTail& T, TSioBaseDispatcher& D, std::uint8_t seq) {
  return sendPacket(P, T, D, 'Y', seq, nullptr, 0);
}
bool sendNak(TProtocolData& P, TKermitTail& T, TSioBaseDispatcher& D, std::uint8_t seq) {
  return sendPacket(P, T, D, 'N', seq, nullptr, 0);
}

// Our 13 Send-Init fields; `check` is the block check we name.
std::uint32_t initData(const TProtocolData& P, const TKermitTail& T, char check, char hibit,
                       std::uint8_t* d) {
  const TKermitOptions& O = T.Options;
  std::uint8_t caps = O.CapabilitiesMask & (kpCapLongPackets | kpCapSlidingWindows);
  if (!(P.Options & apKermitLongPackets)) caps &= static_cast<std::uint8_t>(~kpCapLongPackets);
  if (!(P.Options & apKermitSWC)) caps &= static_cast<std::uint8_t>(~kpCapSlidingWindows);
  d[0] = tochar(std::min<std::uint32_t>(O.MaxPacketLen, 94));
  d[1] = tochar(std::min<std::uint32_t>(O.MaxTimeout, 94));
  d[2] = tochar(std::min<std::uint32_t>(O.PadCount, 94));
  d[3] = ctl(O.PadChar);
  d[4] = tochar(O.Terminator & 31);
  d[5] = static_cast<std::uint8_t>(O.CtlPrefix);
  d[6] = static_cast<std::uint8_t>(hibit);
  d[7] = static_cast<std::uint8_t>(check);
  d[8] = static_cast<std::uint8_t>(O.RepeatPrefix);
  d[9] = tochar(caps);
  d[10] = tochar(std::min<std::uint32_t>(O.WindowSize, 31));
  d[11] = tochar(O.MaxLongPacketLen / 95);
  d[12] = tochar(O.MaxLongPacketLen % 95);
  return 13;
}

// Takes what the port holds into the input buffer.
void fillInput(TKermitTail& T, TSioBaseDispatcher& D) {
  if (T.InHead > kpInBuffSize / 2 || T.InHead == T.InTail) {
    std::memmove(T.InBuff, T.InBuff + T.InHead, T.InTail - T.InHead);
    T.InTail -= T.InHead;
    T.InHead = 0;
  }
  const std::uint32_t room = kpInBuffSize - T.InTail;
  const std::uint32_t n = std::min(D.InBuffUsed(), room);
  if (n > 0 && D.GetBlock(T.InBuff + T.InTail, n) >= 0) T.InTail += n;
}

void flushInput(TKermitTail& T, TSioBaseDispatcher& D) {
  D.FlushInBuffer();
  T.InHead = T.InTail = 0;
  T.HeaderState = hskNone;
}

enum ReadResult { rrNone, rrGood, rrBad };

// Drops the mark of a packet that cannot be one, so that the search goes on behind it.
ReadResult dropPacket(TKermitTail& T) {
  ++T.InHead;
  T.HeaderState = hskNone;
  return rrBad;
}

// The header of the next packet: the mark, LEN, SEQ, TYPE and for a long packet LENX1, LENX2
// and HCHECK.
ReadResult readHeader(TProtocolData& P, TKermitTail& T) {
  for (;;) {
    if (T.HeaderState == hskNone) {
      while (T.InHead < T.InTail && T.InBuff[T.InHead] != cMark) ++T.InHead;
      if (T.InHead == T.InTail) return rrNone;
      T.HeaderState = hskGotMark;
    }
    const std::uint8_t* p = T.InBuff + T.InHead;
    const std::uint32_t avail = T.InTail - T.InHead;
    if (avail < 4) return rrNone;
    const bool isLong = p[1] == tochar(0);
    const std::uint32_t headerLen = isLong ? 6 : 3;
    if (isLong && avail < 7) return rrNone;
    // A mark within the header starts a packet anew there.
    std::uint32_t restart = 0;
    for (std::uint32_t i = 1; i <= headerLen && !restart; ++i)
      if (p[i] == cMark) restart = i;
    if (restart) {
      T.InHead += restart;
      T.HeaderState = hskNone;
      continue;
    }
    for (std::uint32_t i = 1; i <= headerLen; ++i)
      if (!printable(p[i])) return dropPacket(T);
    if (unchar(p[2]) > 63) return dropPacket(T);
    T.PacketType = static_cast<char>(p[3]);
    T.RecBlockNum = static_cast<std::uint8_t>(unchar(p[2]));
    T.CheckLen = T.PacketType == 'S' || !T.CheckKnown ? 1 : checkLength(T.CheckChar);
    std::uint32_t total = 0;  // data and check characters
    if (isLong) {
      const std::uint32_t s = (p[1] + p[2] + p[3] + p[4] + p[5]) & 0xFF;
      if (p[6] != tochar((s + (s >> 6)) & 63)) return dropPacket(T);
      total = unchar(p[4]) * 95 + unchar(p[5]);
    } else {
      if (unchar(p[1]) < 2) return dropPacket(T);
      total = unchar(p[1]) - 2;
    }
    if (total < T.CheckLen) return dropPacket(T);
    // Nothing longer than a slot is taken.
    if (total - T.CheckLen > kpMaxData) {
      P.ProtocolStatus = psLongPacket;
      return dropPacket(T);
    }
    T.RecDataLen = total - T.CheckLen;
    T.HeaderLen = headerLen;
    T.HeaderState = hskDone;
    return rrGood;
  }
}

// The data and check characters of the packet whose header was read; the data land in
// PacketBuff.
ReadResult readData(TProtocolData& P, TKermitTail& T) {
  const std::uint8_t* p = T.InBuff + T.InHead;
  const std::uint32_t avail = T.InTail - T.InHead;
  const std::uint32_t body = 1 + T.HeaderLen + T.RecDataLen;
  const std::uint32_t total = body + T.CheckLen;
  // A mark inside means that this packet was cut short.
  const std::uint32_t from = 1 + T.HeaderLen, upTo = std::min(avail, total);
  if (from < upTo) {
    if (const void* m = std::memchr(p + from, cMark, upTo - from)) {
      T.InHead += static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(m) - p);
      T.HeaderState = hskNone;
      P.ProtocolStatus = psBlockCheckError;
      return rrBad;
    }
  }
  if (avail < total) return rrNone;
  std::uint8_t check[3];
  const char kind = T.CheckLen == 1 ? '1' : T.CheckLen == 2 ? '2' : '3';
  kpBlockCheck(kind, p + 1, p + body, check);
  const bool good = std::memcmp(check, p + body, T.CheckLen) == 0;
  if (good) std::memcpy(T.PacketBuff, p + 1 + T.HeaderLen, T.RecDataLen);
  T.InHead += total;
  T.HeaderState = hskNone;
  if (!good) {
    P.ProtocolStatus = psBlockCheckError;
    return rrBad;
  }
  return rrGood;
}

// Counts a time-out, a bad packet or an unexpected reply; false when the run must end.
bool countError(TProtocolData& P) {
  P.ForceStatus = true;
  ++P.BlockErrors;
  ++P.TotalErrors;
  if (P.ProtocolStatus == psCancelRequested) return false;
  if (P.BlockErrors > static_cast<std::int32_t>(P.HandshakeRetry)) {
    if (P.ProtocolError == 0) apProtocolError(P, ecProtocolError);
    return false;
  }
  return true;
}

void clearErrors(TProtocolData& P) { P.BlockErrors = 0; }

// ---------------------------------------------------------------------------------------
// Negotiation
// ---------------------------------------------------------------------------------------
void resetTable(TKermitTail& T) {
  for (auto& s : T.Slots) {
    s.InUse = s.Acked = false;
    s.Len = s.FileBytes = s.Retries = 0;
  }
  T.TableHead = T.TableTail = 0;
  T.SlotsInUse = 0;
}

void negotiate(TProtocolData& P, TKermitTail& T, const std::uint8_t* d, std::uint32_t n, bool receiving) {
  TKermitOptions R;
  R.HibitPrefix = ' ';
  R.RepeatPrefix = ' ';
  R.Check = '1';
  R.CapabilitiesMask = 0;
  R.WindowSize = 0;
  R.MaxLongPacketLen = 0;
  if (n > 0) R.MaxPacketLen = static_cast<std::uint8_t>(unchar(d[0]));
  if (n > 1) R.MaxTimeout = static_cast<std::uint8_t>(unchar(d[1]));
  if (n > 2) R.PadCount = static_cast<std::uint8_t>(unchar(d[2]));
  if (n > 3) R.PadChar = ctl(d[3]);
  if (n > 4) R.Terminator = static_cast<std::uint8_t>(unchar(d[4]));
  if (n > 5) R.CtlPrefix = static_cast<char>(d[5]);
  if (n > 6) R.HibitPrefix = static_cast<char>(d[6]);
  if (n > 7) R.Check = static_cast<char>(d[7]);
  if (n > 8) R.RepeatPrefix = static_cast<char>(d[8]);
  std::uint32_t i = 9;
  if (n > i) {
    R.CapabilitiesMask = static_cast<std::uint8_t>(unchar(d[i]));
    // Further capability bytes follow while the lowest bit is set.
    while (i < n && (unchar(d[i]) & 1)) ++i;
    ++i;
  }
  if (n > i) R.WindowSize = static_cast<std::uint8_t>(unchar(d[i]) & 31);
  if (n > i + 2) R.MaxLongPacketLen = unchar(d[i + 1]) * 95 + unchar(d[i + 2]);
  T.RmtOptions = R;

  const TKermitOptions& O = T.Options;
  T.UsingHibit = T.UsingRepeat = false;
  std::uint32_t theirs = R.MaxPacketLen ? R.MaxPacketLen : 80;
  std::uint32_t normal = std::min<std::uint32_t>(std::max<std::uint32_t>(O.MaxPacketLen, 20), theirs);
  normal = std::clamp<std::uint32_t>(normal, 20, 94);
  T.UsingRepeat = R.RepeatPrefix == O.RepeatPrefix && prefixRange(R.RepeatPrefix);
  if (prefixRange(R.HibitPrefix)) {
    T.UsingHibit = true;
    T.HibitChar = R.HibitPrefix;
  } else if (prefixRange(O.HibitPrefix) && R.HibitPrefix == 'Y') {
    T.UsingHibit = true;
    T.HibitChar = O.HibitPrefix;
  }
  T.LPInUse = false;
  T.PacketLen = normal;
  if ((R.CapabilitiesMask & kpCapLongPackets) && (P.Options & apKermitLongPackets)) {
    std::uint32_t len = R.MaxLongPacketLen;
    if (len == 0)
      len = normal;
    else if (len > kpMaxData)
      len = 500;
    // Never longer than we were set to send.
    if (O.MaxLongPacketLen > 0) len = std::min(len, O.MaxLongPacketLen);
    T.LPInUse = true;
    T.PacketLen = std::max(len, normal);
  }
  std::uint32_t slots = 1;
  if ((R.CapabilitiesMask & kpCapSlidingWindows) && (P.Options & apKermitSWC)) {
    slots = std::max<std::uint32_t>(O.WindowSize, 1);
    if (R.WindowSize > 0 && R.WindowSize < slots) slots = R.WindowSize;
  }
  if (receiving)
    T.CheckChar = R.Check == '1' || R.Check == '2' || R.Check == '3' ? R.Check : '1';
  else
    T.CheckChar = R.Check == O.Check ? O.Check : '1';
  P.CheckType = methodOf(T.CheckChar);
  if (slots > 1) P.TurnDelay = T.SWCTurnDelay;
  T.TableSize = std::min(slots, kpMaxWindows);
  P.BlockLength = T.PacketLen;
  resetTable(T);
}

// ---------------------------------------------------------------------------------------
// Data in and out of the file
// ---------------------------------------------------------------------------------------
bool refill(TProtocolData& P, TKermitTail& T) {
  std::uint32_t size = kpMaxData;
  P.ProtocolError = 0;
  const bool end = P.ReadBlock(P, T.FileBuff, size);
  if (P.ProtocolError != 0) return false;
  T.FileBuffLen = std::min(size, kpMaxData);
  T.FileBuffIndex = 0;
  P.FileOffset += static_cast<std::int32_t>(T.FileBuffLen);
  T.FileAtEnd = end;
  return true;
}

// Fills the slot with the next data packet; false on a read error.
bool buildDataPacket(TProtocolData& P, TKermitTail& T, TKermitSlot& slot) {
  const std::uint32_t room = std::min(T.PacketLen, kpMaxData + 5) - 5;
  std::uint32_t n = 0, bytes = 0;
  while (n < room) {
    if (T.FileBuffIndex >= T.FileBuffLen) {
      if (T.FileAtEnd) break;
      if (!refill(P, T)) return false;
      if (T.FileBuffLen == 0) break;
    }
    const std::uint32_t before = T.FileBuffIndex;
    n += kpEncodeData(T, T.FileBuff, T.FileBuffLen, T.FileBuffIndex, slot.Data + n, room - n);
    bytes += T.FileBuffIndex - before;
    if (T.FileBuffIndex < T.FileBuffLen) break;  // the next byte's encoding does not fit
  }
  slot.Len = n;
  slot.FileBytes = bytes;
  if (T.FileAtEnd && T.FileBuffIndex >= T.FileBuffLen) T.EndOfData = true;
  return true;
}

// Decoding into the file: a 1024-byte buffer written through the write hook.
struct FileSink {
  explicit FileSink(TProtocolData& p) : P(p) {}
  TProtocolData& P;
  std::uint8_t buf[kpMaxData];
  std::uint32_t n = 0;
  std::uint32_t total = 0;
  bool failed = false;
  bool Flush() {
    if (n == 0 || failed) return !failed;
    if (P.WriteBlock(P, buf, n)) {
      failed = true;
      if (P.ProtocolError == 0) P.ProtocolError = ecCantWriteFile;
      return false;
    }
    P.FileOffset += static_cast<std::int32_t>(n);
    total += n;
    n = 0;
    return true;
  }
  void Put(std::uint8_t c) {
    if (failed) return;
    buf[n++] = c;
    if (n == kpMaxData) Flush();
  }
  void PutRun(const std::uint8_t* s, std::uint32_t len) {
    while (len > 0 && !failed) {
      const std::uint32_t take = std::min(len, kpMaxData - n);
      std::memcpy(buf + n, s, take);
      n += take;
      s += take;
      len -= take;
      if (n == kpMaxData) Flush();
    }
  }
};

template <class Sink>
void decode(const TKermitTail& T, const std::uint8_t* src, std::uint32_t len, Sink& sink) {
  const auto ctlp = static_cast<std::uint8_t>(T.Options.CtlPrefix);
  const auto rep = static_cast<std::uint8_t>(T.Options.RepeatPrefix);
  const auto hib = static_cast<std::uint8_t>(T.HibitChar);
  const bool repeats = T.UsingRepeat, hibits = T.UsingHibit;
  auto plain = [&](std::uint8_t c) { return c != ctlp && !(repeats && c == rep) && !(hibits && c == hib); };
  std::uint32_t i = 0;
  while (i < len) {
    // Bytes without a prefix go as they are, a run at a time.
    if (plain(src[i])) {
      const std::uint32_t start = i;
      while (++i < len && plain(src[i])) {
      }
      sink.PutRun(src + start, i - start);
      continue;
    }
    std::uint8_t c = src[i++];
    std::uint32_t count = 1;
    if (T.UsingRepeat && c == rep) {
      if (i + 1 > len) break;
      count = unchar(src[i++]);
      if (i >= len) break;
      c = src[i++];
    }
    bool high = false;
    if (T.UsingHibit && c == hib) {
      if (i >= len) break;
      high = true;
      c = src[i++];
    }
    if (c == ctlp) {
      if (i >= len) break;
      c = src[i++];
      const std::uint8_t c7 = c & 0x7F;
      if (!(c7 == ctlp || (T.UsingRepeat && c7 == rep) || (T.UsingHibit && c7 == hib))) c = ctl(c);
    }
    if (high) c |= 0x80;
    for (std::uint32_t k = 0; k < count; ++k) sink.Put(c);
  }
}

struct ArraySink {
  std::uint8_t* out;
  std::uint32_t size;
  std::uint32_t n = 0;
  void Put(std::uint8_t c) {
    if (n < size) out[n++] = c;
  }
  void PutRun(const std::uint8_t* s, std::uint32_t len) {
    const std::uint32_t take = std::min(len, size - n);
    std::memcpy(out + n, s, take);
    n += take;
  }
};

// ---------------------------------------------------------------------------------------
// The window table
// ---------------------------------------------------------------------------------------
TKermitSlot* findSlot(TKermitTail& T, std::uint8_t seq) {
  for (std::uint32_t i = 0; i < T.SlotsInUse; ++i) {
    TKermitSlot& s = T.Slots[(T.TableTail + i) % T.TableSize];
    if (s.Seq == seq) return &s;
  }
  return nullptr;
}

std::uint32_t slotIndex(const TKermitTail& T, const TKermitSlot* s) {
  return static_cast<std::uint32_t>(s - T.Slots);
}

// The oldest slot that still waits for its acknowledgement (sending side).
TKermitSlot* lowestOutstanding(TKermitTail& T) {
  for (std::uint32_t i = 0; i < T.SlotsInUse; ++i) {
    TKermitSlot& s = T.Slots[(T.TableTail + i) % T.TableSize];
    if (!s.Acked) return &s;
  }
  return nullptr;
}

// An acknowledged slot is done; the table's tail moves past the slots that are.
void ackSlot(TProtocolData& P, TKermitTail& T, TKermitSlot& s) {
  if (s.Acked) return;
  s.Acked = true;
  P.BytesTransferred += static_cast<std::int32_t>(s.FileBytes);
  P.BytesToSend = std::max(0, P.BytesToSend - static_cast<std::int32_t>(s.FileBytes));
  ++P.BlockNumber;
  while (T.SlotsInUse > 0 && T.Slots[T.TableTail].Acked) {
    T.Slots[T.TableTail].InUse = false;
    T.TableTail = (T.TableTail + 1) % T.TableSize;
    --T.SlotsInUse;
  }
}

// Receiving side: the slots from the tail (sequence TailSeq) up to ExpectedSeq - 1 are in
// the table; the received ones at its tail go into the file.
std::uint32_t pendingSlots(const TKermitTail& T, std::uint8_t tailSeq) {
  return static_cast<std::uint32_t>((T.ExpectedSeq - tailSeq) & 63);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Packet layer
// ---------------------------------------------------------------------------------------
std::uint32_t kpBlockCheck(char check, const std::uint8_t* from, const std::uint8_t* to,
                           std::uint8_t out[3]) {
  if (check == '3') {
    const std::uint32_t crc = apUpdateCrcKermitBlock(from, to, 0);
    out[0] = tochar((crc >> 12) & 15);
    out[1] = tochar((crc >> 6) & 63);
    out[2] = tochar(crc & 63);
    return 3;
  }
  std::uint32_t s = 0;
  for (const std::uint8_t* p = from; p < to; ++p) s += *p;
  if (check == '2') {
    out[0] = tochar((s >> 6) & 63);
    out[1] = tochar(s & 63);
    return 2;
  }
  out[0] = tochar((s + ((s >> 6) & 3)) & 63);
  return 1;
}

std::uint32_t kpBuildPacket(const TKermitTail& T, char type, std::uint8_t seq, const std::uint8_t* data,
                            std::uint32_t len, char check, std::uint8_t* out) {
  std::uint32_t n = 0;
  for (std::uint32_t i = 0; i < T.Options.PadCount; ++i) out[n++] = T.Options.PadChar;
  out[n++] = cMark;
  const std::uint32_t start = n;
  const std::uint32_t cl = checkLength(check);
  if (2 + len + cl > 94) {
    out[n++] = tochar(0);
    out[n++] = tochar(seq & 63);
    out[n++] = static_cast<std::uint8_t>(type);
    out[n++] = tochar((len + cl) / 95);
    out[n++] = tochar((len + cl) % 95);
    const std::uint32_t s =
        (out[start] + out[start + 1] + out[start + 2] + out[start + 3] + out[start + 4]) & 0xFF;
    out[n++] = tochar((s + (s >> 6)) & 63);
  } else {
    out[n++] = tochar(2 + len + cl);
    out[n++] = tochar(seq & 63);
    out[n++] = static_cast<std::uint8_t>(type);
  }
  if (len) std::memcpy(out + n, data, len);
  n += len;
  n += kpBlockCheck(check, out + start, out + n, out + n);
  out[n++] = T.Options.Terminator;
  return n;
}

std::uint32_t kpEncodeData(const TKermitTail& T, const std::uint8_t* src, std::uint32_t len,
                           std::uint32_t& index, std::uint8_t* out, std::uint32_t room) {
  const auto ctlp = static_cast<std::uint8_t>(T.Options.CtlPrefix);
  const auto rep = static_cast<std::uint8_t>(T.Options.RepeatPrefix);
  const auto hib = static_cast<std::uint8_t>(T.HibitChar);
  std::uint32_t n = 0;
  while (index < len) {
    const std::uint8_t b = src[index];
    std::uint32_t run = 1;
    if (T.UsingRepeat)
      while (run < 94 && index + run < len && src[index + run] == b) ++run;
    const bool useRun = T.UsingRepeat && run > T.RepeatThreshold;
    std::uint8_t enc[5];
    std::uint32_t k = 0;
    if (useRun) {
      enc[k++] = rep;
      enc[k++] = tochar(run);
    }
    std::uint8_t c = b;
    if (T.UsingHibit && (c & 0x80)) {
      enc[k++] = hib;
      c &= 0x7F;
    }
    const std::uint8_t c7 = c & 0x7F;
    if (c7 < 32 || c7 == 127) {
      enc[k++] = ctlp;
      enc[k++] = ctl(c);
    } else if (c7 == ctlp || (T.UsingRepeat && c7 == rep) || (T.UsingHibit && c7 == hib)) {
      enc[k++] = ctlp;
      enc[k++] = c;
    } else {
      enc[k++] = c;
    }
    if (n + k > room) break;
    std::memcpy(out + n, enc, k);
    n += k;
    index += useRun ? run : 1;
  }
  return n;
}

std::uint32_t kpDecodeData(const TKermitTail& T, const std::uint8_t* src, std::uint32_t len,
                           std::uint8_t* out, std::uint32_t outSize) {
  ArraySink sink{out, outSize};
  decode(T, src, len, sink);
  return sink.n;
}

// ---------------------------------------------------------------------------------------
// Set-up
// ---------------------------------------------------------------------------------------
TKermitTail* kpTail(TProtocolData& P) {
  if (!isKermit(P)) return nullptr;
  return std::launder(reinterpret_cast<TKermitTail*>(P.DataBlock));
}

int kpInit(TProtocolData*& P, TSioCustomComPort* port, std::uint32_t options) {
  P = nullptr;
  if (port && port->GetOutSize() < kpMaxData) return ecOutputBufferTooSmall;
  int r = apInitProtocolData(P, port, options);
  if (r != 0) return r;
  r = kpReinit(*P);
  if (r != 0) apDoneProtocol(P);
  return r;
}

int kpReinit(TProtocolData& P) {
  delete[] P.DataBlock;
  P.DataBlock = new (std::nothrow) std::uint8_t[sizeof(TKermitTail)];
  if (!P.DataBlock) return ecOutOfMemory;
  TKermitTail* T = new (P.DataBlock) TKermitTail{};
  P.ProtocolType = ptKermit;
  P.BatchProtocol = true;
  P.Overhead = 20;
  P.TurnDelay = 1000;
  P.Options &= ~(apKermitLongPackets | apKermitSWC);
  apResetReadWriteHooks(P);
  P.BlockLength = T->Options.MaxLongPacketLen ? T->Options.MaxLongPacketLen : T->Options.MaxPacketLen;
  T->TableSize = std::max<std::uint32_t>(T->Options.WindowSize, 1);
  P.CheckType = methodOf(T->Options.Check);
  P.ReleasePart = kpDonePart;
  return 0;
}

void kpDonePart(TProtocolData& P) {
  if (P.ProtocolType != ptKermit) return;
  delete[] P.DataBlock;
  P.DataBlock = nullptr;
}

// The part goes with the record (ReleasePart), after a call that may still use it.
void kpDone(TProtocolData*& P) { apDoneProtocol(P); }

int kpSetKermitOptions(TProtocolData& P, const TKermitOptions& options) {
  TKermitTail* T = kpTail(P);
  if (!T) return ecBadProtocolFunction;
  T->Options = options;
  P.CheckType = methodOf(options.Check);
  return 0;
}

int kpSetMaxPacketLen(TProtocolData& P, std::uint32_t n) {
  TKermitTail* T = kpTail(P);
  if (!T) return ecBadProtocolFunction;
  if (n > 94) return ecBadArgument;
  T->Options.MaxPacketLen = static_cast<std::uint8_t>(n);
  if (!(P.Options & apKermitLongPackets)) P.BlockLength = n;
  return 0;
}

int kpSetMaxLongPacketLen(TProtocolData& P, std::uint32_t n) {
  TKermitTail* T = kpTail(P);
  if (!T) return ecBadProtocolFunction;
  if (n > kpMaxData) return ecBadArgument;
  if (n > 0) {
    P.Options |= apKermitLongPackets;
    T->Options.CapabilitiesMask |= kpCapLongPackets;
    T->Options.MaxLongPacketLen = n;
    P.BlockLength = n;
    // A one-character checksum is too weak for long packets.
    if (T->Options.Check == '1') {
      T->Options.Check = '2';
      P.CheckType = bcmChecksum2;
    }
  } else {
    P.Options &= ~apKermitLongPackets;
    T->Options.CapabilitiesMask &= static_cast<std::uint8_t>(~kpCapLongPackets);
    T->Options.MaxLongPacketLen = 0;
    P.BlockLength = T->Options.MaxPacketLen;
  }
  return 0;
}

int kpSetMaxWindows(TProtocolData& P, std::uint32_t n) {
  TKermitTail* T = kpTail(P);
  if (!T) return ecBadProtocolFunction;
  if (n > kpMaxWindows) return ecBadArgument;
  if (n > 0) {
    P.Options |= apKermitSWC;
    T->Options.CapabilitiesMask |= kpCapSlidingWindows;
    T->Options.WindowSize = static_cast<std::uint8_t>(n);
    T->TableSize = n;
  } else {
    P.Options &= ~apKermitSWC;
    T->Options.CapabilitiesMask &= static_cast<std::uint8_t>(~kpCapSlidingWindows);
    T->Options.WindowSize = 0;
    T->TableSize = 1;
  }
  return 0;
}

int kpSetSWCTurnDelay(TProtocolData& P, std::uint32_t ms) {
  TKermitTail* T = kpTail(P);
  if (!T) return ecBadProtocolFunction;
  T->SWCTurnDelay = ms;
  return 0;
}

std::uint32_t kpGetSWCSize(TProtocolData& P) {
  TKermitTail* T = kpTail(P);
  return T ? T->Options.WindowSize : 0;
}

int kpGetLPStatus(TProtocolData& P, bool& inUse, std::uint32_t& length) {
  TKermitTail* T = kpTail(P);
  inUse = false;
  length = 0;
  if (!T) return ecBadProtocolFunction;
  inUse = T->LPInUse;
  length = T->LPInUse ? T->PacketLen : 0;
  return 0;
}

int kpSetMaxTimeoutSecs(TProtocolData& P, std::uint32_t secs) {
  TKermitTail* T = kpTail(P);
  if (!T) return ecBadProtocolFunction;
  T->Options.MaxTimeout = static_cast<std::uint8_t>(std::min<std::uint32_t>(secs, 94));
  return 0;
}

int kpSetPacketPadding(TProtocolData& P, std::uint8_t padChar, std::uint32_t padCount) {
  TKermitTail* T = kpTail(P);
  if (!T) return ecBadProtocolFunction;
  T->Options.PadChar = padChar;
  T->Options.PadCount = static_cast<std::uint8_t>(std::min<std::uint32_t>(padCount, 94));
  return 0;
}

int kpSetTerminator(TProtocolData& P, std::uint8_t c) {
  TKermitTail* T = kpTail(P);
  if (!T) return ecBadProtocolFunction;
  T->Options.Terminator = c;
  return 0;
}

int kpSetCtlPrefix(TProtocolData& P, char c) {
  TKermitTail* T = kpTail(P);
  if (!T) return ecBadProtocolFunction;
  T->Options.CtlPrefix = c;
  return 0;
}

int kpSetHibitPrefix(TProtocolData& P, char c) {
  TKermitTail* T = kpTail(P);
  if (!T) return ecBadProtocolFunction;
  T->Options.HibitPrefix = c;
  return 0;
}

int kpSetRepeatPrefix(TProtocolData& P, char c) {
  TKermitTail* T = kpTail(P);
  if (!T) return ecBadProtocolFunction;
  T->Options.RepeatPrefix = c;
  return 0;
}

int kpSetKermitCheck(TProtocolData& P, TBlockCheckMethod method) {
  TKermitTail* T = kpTail(P);
  if (!T) return ecBadProtocolFunction;
  int r = 0;
  switch (method) {
    case bcmChecksum:
      T->Options.Check = '1';
      break;
    case bcmChecksum2:
      T->Options.Check = '2';
      break;
    case bcmCrcK:
      T->Options.Check = '3';
      break;
    default:
      T->Options.Check = '1';
      r = ecBadArgument;
      break;
  }
  P.CheckType = methodOf(T->Options.Check);
  return r;
}

std::uint32_t kpWindowsUsed(TProtocolData& P) {
  TKermitTail* T = kpTail(P);
  return T ? T->SlotsInUse : 0;
}

// ---------------------------------------------------------------------------------------
// Runs
// ---------------------------------------------------------------------------------------
namespace {

void resetRun(TProtocolData& P, TKermitTail& T, TKermitState first) {
  T.KermitState = first;
  T.HeaderState = hskNone;
  T.DataState = dskData;
  T.CheckKnown = false;
  T.CheckChar = '1';
  T.LPInUse = T.UsingHibit = T.UsingRepeat = false;
  T.ReceiveInProgress = T.TransmitInProgress = T.FileSkipped = false;
  T.PacketLen = T.Options.MaxPacketLen;
  T.TableSize = 1;
  T.LastSeq = 0;
  T.ExpectedSeq = 0;
  T.InHead = T.InTail = 0;
  T.FileBuffLen = T.FileBuffIndex = 0;
  T.FileAtEnd = T.EndOfData = false;
  resetTable(T);
  P.TimerRunning = false;
  P.ProtocolStatus = psProtocolHandshake;
}

void logState(const TKermitTail& T, TSioBaseDispatcher& D) {
  if (D.DispatchLogging())
    D.AddDispatchEntry(dtKermit, static_cast<TDispatchSubType>(dsttkInit + T.KermitState), 0);
}

// Cancels the other side: inside a received file an acknowledgement carrying "Z", otherwise
// an end-of-file packet carrying "D"; then waits for the output to drain.
void cancelRun(TProtocolData& P, TKermitTail& T, TSioBaseDispatcher& D, bool receiving) {
  if (receiving && T.ReceiveInProgress)
    sendText(P, T, D, 'Y', T.ExpectedSeq, "Z");
  else
    sendText(P, T, D, 'Z', receiving ? T.ExpectedSeq : nextSeq(T.LastSeq), "D");
  P.ProtocolStatus = psCancelRequested;
  P.ForceStatus = true;
  apArmOutUsed(P, D);
  apArmTimeout(P, D, P.HandshakeWait);
  T.KermitState = receiving ? rkWaitCancel : tkWaitCancel;
}

// Opens the file in PathName for sending; false when it cannot be read.
bool openFile(TProtocolData& P, TKermitTail& T) {
  if (P.LogFile) P.LogFile(P, lfTransmitStart);
  T.TransmitInProgress = true;
  P.PrepareReading(P);
  if (P.ProtocolError != 0) return false;
  P.FileOffset = 0;
  T.FileBuffLen = T.FileBuffIndex = 0;
  T.FileAtEnd = T.EndOfData = false;
  if (!refill(P, T)) return false;
  T.LastSeq = nextSeq(T.LastSeq);
  P.BytesTransferred = 0;
  P.BlockNumber = 0;
  NewTimer(P.TransferTimer, 0);
  P.TimerRunning = true;
  return true;
}

// Room the packet of a slot takes in the output buffer.
std::uint32_t packetRoom(const TKermitTail& T, const TKermitSlot& s) {
  return s.Len + 16 + T.Options.PadCount;
}

void armOutFree(TProtocolData& P, TSioBaseDispatcher& D, std::uint32_t bytes) {
  if (P.OutFreeTrigger) D.SetStatusTrigger(P.OutFreeTrigger, bytes, true);
}

void goSendData(TProtocolData& P, TKermitTail& T, TSioBaseDispatcher& D, std::uint32_t slot) {
  T.SendSlot = slot;
  armOutFree(P, D, packetRoom(T, T.Slots[slot]));
  apArmTimeout(P, D, P.TransmitTimeout);
  T.KermitState = tkSendData;
}

void goResend(TProtocolData& P, TKermitTail& T, TSioBaseDispatcher& D) {
  if (TKermitSlot* s = lowestOutstanding(T))
    goSendData(P, T, D, slotIndex(T, s));
  else
    T.KermitState = tkCheckTable;
}

bool moreToSend(const TKermitTail& T) { return T.SlotsInUse < T.TableSize && !T.EndOfData; }

}  // namespace

void kpPrepareTransmit(TProtocolData& P) {
  TKermitTail* T = kpTail(P);
  if (!T) {
    P.ProtocolError = ecBadProtocolFunction;
    return;
  }
  apResetStatus(P);
  resetRun(P, *T, tkInit);
  apShowFirstStatus(P);
  if (!P.NextFile || !P.NextFile(P, P.PathName) || P.PathName[0] == 0) {
    apShowLastStatus(P);
    if (P.ProtocolError == 0) P.ProtocolError = ecNoFilename;
    return;
  }
  if (TSioBaseDispatcher* D = apDispatcher(P)) D->FlushInBuffer();
}

void kpPrepareReceive(TProtocolData& P) {
  TKermitTail* T = kpTail(P);
  if (!T) {
    P.ProtocolError = ecBadProtocolFunction;
    return;
  }
  apResetStatus(P);
  resetRun(P, *T, rkInit);
  apShowFirstStatus(P);
}

namespace {

// The frame of every call: carrier loss, the cancel request and the status timer.
bool frameEvents(TProtocolData& P, TKermitTail& T, TSioBaseDispatcher& D, UINT msg, std::uint32_t trigger,
                 bool receiving) {
  const TKermitState done = receiving ? rkDone : tkDone;
  if (T.KermitState == done) return false;
  if (apIsStatusTrigger(msg, trigger, P.CarrierTrigger) && !D.CheckDCD()) {
    P.ProtocolStatus = psAbortNoCarrier;
    P.ForceStatus = true;
    T.KermitState = receiving ? rkError : tkError;
  } else if (msg == apw_ProtocolCancel) {
    const TKermitState waiting = receiving ? rkWaitCancel : tkWaitCancel;
    const TKermitState error = receiving ? rkError : tkError;
    if (T.KermitState != waiting && T.KermitState != error &&
        T.KermitState != (receiving ? rkComplete : tkComplete))
      cancelRun(P, T, D, receiving);
  }
  xpStatusStep(P, D, trigger);
  return true;
}

void transmitPrim(TProtocolData& P, TKermitTail& T, TSioBaseDispatcher& D, UINT msg, std::uint32_t trigger) {
  if (msg == SW_TRIGGERAVAIL) trigger = 0;
  if (!frameEvents(P, T, D, msg, trigger, false)) return;
  bool timeout = apIsTimeout(P, msg, trigger);
  bool outUsed = apIsStatusTrigger(msg, trigger, P.OutUsedTrigger);
  bool outFree = apIsStatusTrigger(msg, trigger, P.OutFreeTrigger);
  for (;;) {
    fillInput(T, D);
    logState(T, D);
    const TKermitState before = T.KermitState;
    const std::uint32_t headBefore = T.InHead;
    switch (T.KermitState) {
      case tkInit: {
        T.LastSeq = 0;
        T.CheckKnown = false;
        std::uint8_t d[13];
        const std::uint32_t n = initData(P, T, T.Options.Check, T.Options.HibitPrefix, d);
        if (!sendPacket(P, T, D, 'S', 0, d, n)) {
          T.KermitState = tkError;
          break;
        }
        apArmTimeout(P, D, P.HandshakeWait);
        T.KermitState = tkInitReply;
        break;
      }
      case tkInitReply: {
        const ReadResult r = timeout ? rrBad : readHeader(P, T);
        if (r == rrGood) {
          T.KermitState = tkCollectInit;
        } else if (r == rrBad) {
          if (timeout) P.ProtocolStatus = psTimeout;
          flushInput(T, D);
          T.KermitState = countError(P) ? tkInit : tkError;
        }
        break;
      }
      case tkCollectInit: {
        const ReadResult r = timeout ? rrBad : readData(P, T);
        if (r == rrNone) break;
        if (r == rrBad) {
          if (timeout) P.ProtocolStatus = psTimeout;
          T.KermitState = countError(P) ? tkInit : tkError;
        } else if (T.PacketType == 'Y' && T.RecBlockNum == 0) {
          negotiate(P, T, T.PacketBuff, T.RecDataLen, false);
          T.CheckKnown = true;
          clearErrors(P);
          P.ProtocolStatus = psOK;
          T.KermitState = openFile(P, T) ? tkSendFile : tkError;
        } else if (T.PacketType == 'E') {
          P.ProtocolStatus = psProtocolError;
          T.KermitState = tkError;
        } else {
          T.KermitState = countError(P) ? tkInit : tkError;
        }
        break;
      }
      case tkOpenFile:
        T.KermitState = openFile(P, T) ? tkSendFile : tkError;
        break;
      case tkSendFile: {
        const char* path = P.PathName;
        const char* name = std::strrchr(path, '/');
        // The name goes out upper-cased; the file itself keeps its name on this file system.
        char sent[apMaxPath];
        CopyToBufferZ(sent, apMaxPath, (P.Options & apIncludeDirectory) || !name ? path : name + 1);
        if (P.UpcaseFileNames) apUpcase(sent);
        std::uint8_t enc[kpMaxData];
        std::uint32_t index = 0;
        const std::uint32_t len = static_cast<std::uint32_t>(std::strlen(sent));
        const std::uint32_t room = std::min(T.PacketLen, kpMaxData + 5) - 5;
        const std::uint32_t n =
            kpEncodeData(T, reinterpret_cast<const std::uint8_t*>(sent), len, index, enc, room);
        if (!sendPacket(P, T, D, 'F', T.LastSeq, enc, n)) {
          T.KermitState = tkError;
          break;
        }
        apArmTimeout(P, D, P.HandshakeWait);
        T.KermitState = tkFileReply;
        break;
      }
      case tkFileReply: {
        const ReadResult r = timeout ? rrBad : readHeader(P, T);
        if (r == rrGood) {
          T.KermitState = tkCollectFile;
        } else if (r == rrBad) {
          if (timeout) P.ProtocolStatus = psTimeout;
          T.KermitState = countError(P) ? tkSendFile : tkError;
        }
        break;
      }
      case tkCollectFile: {
        const ReadResult r = timeout ? rrBad : readData(P, T);
        if (r == rrNone) break;
        if (r == rrBad) {
          if (timeout) P.ProtocolStatus = psTimeout;
          T.KermitState = countError(P) ? tkSendFile : tkError;
        } else if (T.PacketType == 'Y' && T.RecBlockNum == T.LastSeq) {
          clearErrors(P);
          P.ProtocolStatus = psOK;
          resetTable(T);
          T.KermitState = tkCheckTable;
        } else if (T.PacketType == 'E' || T.PacketType == 'Z') {
          P.ProtocolStatus = T.PacketType == 'E' ? psProtocolError : psCancelRequested;
          T.KermitState = tkError;
        } else {
          T.KermitState = countError(P) ? tkSendFile : tkError;
        }
        break;
      }
      case tkCheckTable: {
        if (T.SlotsInUse == T.TableSize) {
          // The oldest packet still waits for its acknowledgement.
          apArmTimeout(
              P, D, static_cast<std::uint32_t>(Secs2Ticks(std::max<std::uint8_t>(T.Options.MaxTimeout, 1))));
          T.KermitState = tkBlockReply;
          break;
        }
        if (!T.EndOfData) {
          const std::uint32_t idx = (T.TableTail + T.SlotsInUse) % T.TableSize;
          TKermitSlot& s = T.Slots[idx];
          if (!buildDataPacket(P, T, s)) {
            cancelRun(P, T, D, false);
            if (P.ProtocolError == 0) apProtocolError(P, ecProtocolError);
            break;
          }
          if (s.Len > 0 || s.FileBytes > 0) {
            T.LastSeq = nextSeq(T.LastSeq);
            s.Seq = T.LastSeq;
            s.InUse = true;
            s.Acked = false;
            s.Retries = 0;
            ++T.SlotsInUse;
            T.TableHead = idx;
            goSendData(P, T, D, idx);
            break;
          }
          P.ProtocolStatus = psEndFile;
        }
        if (T.SlotsInUse > 0) {
          T.KermitState = tkBlockReply;
        } else {
          T.LastSeq = nextSeq(T.LastSeq);
          T.KermitState = tkSendEof;
        }
        break;
      }
      case tkSendData: {
        // The packet goes as soon as the output buffer has room for it all.
        if (D.OutBuffFree() >= packetRoom(T, T.Slots[T.SendSlot])) {
          const TKermitSlot& s = T.Slots[T.SendSlot];
          P.CurrentBlockLength = static_cast<std::int32_t>(s.FileBytes);
          if (!sendPacket(P, T, D, 'D', s.Seq, s.Data, s.Len)) {
            T.KermitState = tkError;
            break;
          }
          apArmTimeout(P, D, P.HandshakeWait);
          T.KermitState = tkBlockReply;
        } else if (timeout) {
          apProtocolError(P, ecTimeout);
          T.KermitState = tkError;
        } else if (outFree) {
          armOutFree(P, D, packetRoom(T, T.Slots[T.SendSlot]));
        }
        break;
      }
      case tkBlockReply: {
        const ReadResult r = timeout ? rrBad : readHeader(P, T);
        if (r == rrGood) {
          T.KermitState = tkCollectBlock;
        } else if (r == rrBad) {
          if (timeout) P.ProtocolStatus = psTimeout;
          if (countError(P))
            goResend(P, T, D);
          else
            T.KermitState = tkError;
        } else if (moreToSend(T)) {
          T.KermitState = tkCheckTable;
        }
        break;
      }
      case tkCollectBlock: {
        const ReadResult r = timeout ? rrBad : readData(P, T);
        if (r == rrNone) break;
        if (r == rrBad) {
          if (timeout) P.ProtocolStatus = psTimeout;
          if (countError(P))
            goResend(P, T, D);
          else
            T.KermitState = tkError;
          break;
        }
        const std::uint8_t seq = T.RecBlockNum;
        if (T.PacketType == 'Y') {
          if (T.RecDataLen > 0 &&
              (T.PacketBuff[0] == 'D' || T.PacketBuff[0] == 'X' || T.PacketBuff[0] == 'Z')) {
            // The receiver wants no more.
            cancelRun(P, T, D, false);
            break;
          }
          if (TKermitSlot* s = findSlot(T, seq)) ackSlot(P, T, *s);
          clearErrors(P);
          P.ProtocolStatus = psOK;
          T.KermitState = tkCheckTable;
        } else if (T.PacketType == 'N') {
          TKermitSlot* s = findSlot(T, seq);
          if (s && !s->Acked) {
            P.ProtocolStatus = psBlockCheckError;
            P.ForceStatus = true;
            ++P.TotalErrors;
            if (++s->Retries >= P.HandshakeRetry) {
              apProtocolError(P, ecProtocolError);
              T.KermitState = tkError;
            } else {
              goSendData(P, T, D, slotIndex(T, s));
            }
          } else {
            // A NAK of the packet after the newest acknowledges the newest.
            if (seq == nextSeq(T.LastSeq))
              if (TKermitSlot* newest = findSlot(T, T.LastSeq)) ackSlot(P, T, *newest);
            T.KermitState = tkCheckTable;
          }
        } else if (T.PacketType == 'E') {
          P.ProtocolStatus = psProtocolError;
          T.KermitState = tkError;
        } else {
          T.KermitState = countError(P) ? tkCheckTable : tkError;
        }
        break;
      }
      case tkSendEof:
        P.FinishReading(P);
        if (!sendPacket(P, T, D, 'Z', T.LastSeq, nullptr, 0)) {
          T.KermitState = tkError;
          break;
        }
        apArmTimeout(P, D, P.HandshakeWait);
        T.KermitState = tkEofReply;
        break;
      case tkEofReply: {
        const ReadResult r = timeout ? rrBad : readHeader(P, T);
        if (r == rrGood) {
          T.KermitState = tkCollectEof;
        } else if (r == rrBad) {
          if (timeout) P.ProtocolStatus = psTimeout;
          T.KermitState = countError(P) ? tkSendEof : tkError;
        }
        break;
      }
      case tkCollectEof: {
        const ReadResult r = timeout ? rrBad : readData(P, T);
        if (r == rrNone) break;
        if (r == rrGood && T.PacketType == 'Y' && T.RecBlockNum == T.LastSeq) {
          // The receiver has the whole file.
          clearErrors(P);
          P.ProtocolStatus = psEndFile;
          if (T.TransmitInProgress && P.LogFile) P.LogFile(P, lfTransmitOk);
          T.TransmitInProgress = false;
          P.TimerRunning = false;
          if (P.NextFile && P.NextFile(P, P.PathName) && P.PathName[0] != 0) {
            T.KermitState = openFile(P, T) ? tkSendFile : tkError;
          } else {
            P.ProtocolError = 0;
            T.LastSeq = nextSeq(T.LastSeq);
            T.KermitState = tkSendBreak;
          }
        } else if (r == rrGood && T.PacketType == 'E') {
          P.ProtocolStatus = psProtocolError;
          T.KermitState = tkError;
        } else {
          if (timeout) P.ProtocolStatus = psTimeout;
          T.KermitState = countError(P) ? tkSendEof : tkError;
        }
        break;
      }
      case tkSendBreak:
        if (!sendPacket(P, T, D, 'B', T.LastSeq, nullptr, 0)) {
          T.KermitState = tkError;
          break;
        }
        apArmTimeout(P, D, P.HandshakeWait);
        T.KermitState = tkBreakReply;
        break;
      case tkBreakReply: {
        const ReadResult r = timeout ? rrBad : readHeader(P, T);
        if (r == rrGood) {
          T.KermitState = tkCollectBreak;
        } else if (r == rrBad) {
          if (timeout) P.ProtocolStatus = psTimeout;
          T.KermitState = countError(P) ? tkSendBreak : tkError;
        }
        break;
      }
      case tkCollectBreak: {
        const ReadResult r = timeout ? rrBad : readData(P, T);
        if (r == rrNone) break;
        if (r == rrBad) {
          if (timeout) P.ProtocolStatus = psTimeout;
          T.KermitState = countError(P) ? tkSendBreak : tkError;
        } else if (T.PacketType == 'Y') {
          P.ProtocolStatus = psOK;
          T.KermitState = tkComplete;
        } else {
          P.ProtocolStatus = psProtocolError;
          T.KermitState = tkError;
        }
        break;
      }
      case tkWaitCancel:
        if (timeout || outUsed || D.OutBuffUsed() == 0) T.KermitState = tkError;
        break;
      case tkError:
        P.FinishReading(P);
        markFailed(P);
        if (T.TransmitInProgress && P.LogFile) P.LogFile(P, lfTransmitFail);
        T.TransmitInProgress = false;
        T.KermitState = tkComplete;
        break;
      case tkComplete:
        apShowLastStatus(P);
        T.KermitState = tkDone;
        apSignalFinish(P);
        return;
      default:
        return;
    }
    timeout = outUsed = outFree = false;
    if (T.KermitState == tkDone) return;
    if (T.KermitState == before && T.InHead == headBefore) return;
  }
}

// The slots of the receive window run from TableTail (sequence TailSeq, the oldest packet not
// yet in the file) to the slot of ExpectedSeq - 1.
std::uint8_t& tailSeq(TKermitTail& T) { return T.TailSeq; }

// Writes the received packets at the table's tail into the file, in order.
bool flushWindow(TProtocolData& P, TKermitTail& T) {
  while (pendingSlots(T, tailSeq(T)) > 0) {
    TKermitSlot& s = T.Slots[T.TableTail];
    if (!s.Acked) return true;
    FileSink sink{P};
    decode(T, s.Data, s.Len, sink);
    if (!sink.Flush()) return false;
    P.BytesTransferred += static_cast<std::int32_t>(sink.total);
    P.CurrentBlockLength = static_cast<std::int32_t>(sink.total);
    ++P.BlockNumber;
    s.InUse = s.Acked = false;
    T.TableTail = (T.TableTail + 1) % T.TableSize;
    tailSeq(T) = nextSeq(tailSeq(T));
    if (T.SlotsInUse) --T.SlotsInUse;
  }
  return true;
}

// A data packet: stored in its slot, acknowledged, and the window written as far as it is
// complete. A packet beyond the window is not taken while its oldest slot is missing: that
// one is asked for again. False on a write error.
bool receiveData(TProtocolData& P, TKermitTail& T, TSioBaseDispatcher& D) {
  const std::uint8_t n = T.RecBlockNum;
  const std::uint8_t base = tailSeq(T);
  const std::uint32_t inTable = pendingSlots(T, base);
  const std::uint32_t offset = static_cast<std::uint32_t>((n - base) & 63);
  if (offset < inTable) {
    // A slot of the table: a missing one arrives, or one we have comes again.
    TKermitSlot& s = T.Slots[(T.TableTail + offset) % T.TableSize];
    if (!s.Acked) {
      std::memcpy(s.Data, T.PacketBuff, T.RecDataLen);
      s.Len = T.RecDataLen;
      s.Acked = true;
    }
    sendAck(P, T, D, n);
  } else if (((n - T.ExpectedSeq) & 63) >= 32) {
    // Older than the table: its acknowledgement was lost.
    sendAck(P, T, D, n);
  } else if (offset >= T.TableSize) {
    sendNak(P, T, D, inTable > 0 ? base : T.ExpectedSeq);
  } else {
    // New: the numbers between the expected one and n are missing.
    for (std::uint8_t m = T.ExpectedSeq; m != n; m = nextSeq(m)) {
      TKermitSlot& gap = T.Slots[(T.TableTail + ((m - base) & 63)) % T.TableSize];
      gap.Seq = m;
      gap.InUse = true;
      gap.Acked = false;
      gap.Len = 0;
      ++T.SlotsInUse;
      sendNak(P, T, D, m);
    }
    TKermitSlot& s = T.Slots[(T.TableTail + offset) % T.TableSize];
    s.Seq = n;
    s.InUse = true;
    s.Acked = true;
    std::memcpy(s.Data, T.PacketBuff, T.RecDataLen);
    s.Len = T.RecDataLen;
    ++T.SlotsInUse;
    T.TableHead = (T.TableTail + offset) % T.TableSize;
    T.ExpectedSeq = nextSeq(n);
    sendAck(P, T, D, n);
  }
  return flushWindow(P, T);
}

// The oldest packet that the window still waits for, or the next one.
std::uint8_t wantedSeq(TKermitTail& T) {
  const std::uint32_t inTable = pendingSlots(T, tailSeq(T));
  for (std::uint32_t i = 0; i < inTable; ++i) {
    const TKermitSlot& s = T.Slots[(T.TableTail + i) % T.TableSize];
    if (!s.Acked) return static_cast<std::uint8_t>((tailSeq(T) + i) & 63);
  }
  return T.ExpectedSeq;
}

void ackInit(TProtocolData& P, TKermitTail& T, TSioBaseDispatcher& D, std::uint8_t seq) {
  std::uint8_t d[13];
  // Agreeing to the sender's 8th-bit prefix is said with "Y".
  const char hibit = T.UsingHibit && T.HibitChar == T.RmtOptions.HibitPrefix ? 'Y' : T.Options.HibitPrefix;
  const std::uint32_t n = initData(P, T, T.CheckChar, hibit, d);
  const bool known = T.CheckKnown;
  T.CheckKnown = false;
  sendPacket(P, T, D, 'Y', seq, d, n);
  T.CheckKnown = known;
}

// An "F" packet: the file is named, accepted and created.
void openReceived(TProtocolData& P, TKermitTail& T, TSioBaseDispatcher& D) {
  std::uint8_t name[apMaxPath];
  const std::uint32_t len = kpDecodeData(T, T.PacketBuff, T.RecDataLen, name, apMaxPath - 1);
  std::string incoming(reinterpret_cast<const char*>(name), len);
  if (std::size_t nul = incoming.find('\0'); nul != std::string::npos) incoming.resize(nul);
  apSetReceivePath(P, incoming);
  T.FileSkipped = false;
  if (P.LogFile) P.LogFile(P, lfReceiveStart);
  if (P.AcceptFile && !P.AcceptFile(P, P.PathName)) {
    T.FileSkipped = true;
    cancelRun(P, T, D, true);
    P.ProtocolStatus = psFileRejected;
    return;
  }
  P.BytesTransferred = 0;
  P.BlockNumber = 0;
  P.BytesToSend = 0;
  P.FileLength = 0;
  NewTimer(P.TransferTimer, 0);
  P.TimerRunning = true;
  P.ProtocolError = 0;
  P.PrepareWriting(P);
  if (P.ProtocolError != 0 || P.ProtocolStatus == psCantWriteFile) {
    // An existing file that is not to be replaced is skipped; a file that cannot be made has
    // failed (nothing of ours is on the disk, so nothing is deleted for it).
    if (P.ProtocolStatus != psCantWriteFile) P.ProtocolError = ecCantWriteFile;
    T.FileSkipped = P.ProtocolStatus == psCantWriteFile;
    sendText(P, T, D, 'E', T.RecBlockNum, "Error opening or writing file");
    T.KermitState = rkError;
    return;
  }
  T.ReceiveInProgress = true;
  P.FileOffset = 0;
  P.ProtocolStatus = psOK;
  sendAck(P, T, D, T.RecBlockNum);
  T.ExpectedSeq = nextSeq(T.RecBlockNum);
  tailSeq(T) = T.ExpectedSeq;
  resetTable(T);
  apArmTimeout(P, D, P.HandshakeWait);
  T.KermitState = rkGetData;
}

// A "Z" packet inside a file.
void endOfFile(TProtocolData& P, TKermitTail& T, TSioBaseDispatcher& D) {
  const bool discard = T.RecDataLen >= 1 && T.PacketBuff[0] == 'D';
  if (T.RecDataLen > 1 && discard) {
    P.ProtocolStatus = psCancelRequested;
    T.KermitState = rkError;
    return;
  }
  if (pendingSlots(T, tailSeq(T)) > 0) {
    // A packet of the window never came: the file would have a hole.
    apProtocolError(P, ecTableFull);
    cancelRun(P, T, D, true);
    return;
  }
  P.FinishWriting(P);
  T.ReceiveInProgress = false;
  P.TimerRunning = false;
  if (P.ProtocolError != 0) {
    if (P.LogFile) P.LogFile(P, lfReceiveFail);
    sendText(P, T, D, 'E', T.RecBlockNum, "Error opening or writing file");
    T.KermitState = rkError;
    return;
  }
  if (discard) {
    // The sender gave the file up: what came of it goes.
    ::unlink(P.PathName);
    P.ProtocolStatus = psSkipFile;
    if (P.LogFile) P.LogFile(P, lfReceiveSkip);
  } else {
    P.ProtocolStatus = psEndFile;
    if (P.LogFile) P.LogFile(P, lfReceiveOk);
  }
  sendAck(P, T, D, T.RecBlockNum);
  T.ExpectedSeq = nextSeq(T.RecBlockNum);
  clearErrors(P);
  apArmTimeout(P, D, P.HandshakeWait);
  T.KermitState = rkGetFile;
}

void receivePrim(TProtocolData& P, TKermitTail& T, TSioBaseDispatcher& D, UINT msg, std::uint32_t trigger) {
  if (msg == SW_TRIGGERAVAIL) trigger = 0;
  if (!frameEvents(P, T, D, msg, trigger, true)) return;
  bool timeout = apIsTimeout(P, msg, trigger);
  bool outUsed = apIsStatusTrigger(msg, trigger, P.OutUsedTrigger);
  for (;;) {
    fillInput(T, D);
    logState(T, D);
    const TKermitState before = T.KermitState;
    const std::uint32_t headBefore = T.InHead;
    switch (T.KermitState) {
      case rkInit:
        T.ExpectedSeq = 0;
        apArmTimeout(P, D, P.HandshakeWait);
        T.KermitState = rkGetInit;
        break;
      case rkGetInit:
      case rkGetFile:
      case rkGetData: {
        const ReadResult r = timeout ? rrBad : readHeader(P, T);
        if (r == rrGood) {
          T.KermitState = T.KermitState == rkGetInit   ? rkCollectInit
                          : T.KermitState == rkGetFile ? rkCollectFile
                                                       : rkCollectData;
        } else if (r == rrBad && (timeout || T.KermitState != rkGetInit)) {
          // A time-out, or a packet whose header cannot be one (it is asked for again).
          if (timeout) P.ProtocolStatus = psTimeout;
          if (!countError(P)) {
            T.KermitState = rkError;
            break;
          }
          if (T.KermitState == rkGetFile) sendNak(P, T, D, T.ExpectedSeq);
          if (T.KermitState == rkGetData) sendNak(P, T, D, wantedSeq(T));
          apArmTimeout(P, D, P.HandshakeWait);
        } else if (r == rrBad) {
          apArmTimeout(P, D, P.HandshakeWait);
        }
        break;
      }
      case rkCollectInit: {
        const ReadResult r = timeout ? rrBad : readData(P, T);
        if (r == rrNone) break;
        if (r == rrGood && T.PacketType == 'S') {
          negotiate(P, T, T.PacketBuff, T.RecDataLen, true);
          ackInit(P, T, D, T.RecBlockNum);
          T.CheckKnown = true;
          clearErrors(P);
          P.ProtocolStatus = psOK;
          T.ExpectedSeq = nextSeq(T.RecBlockNum);
          apArmTimeout(P, D, P.HandshakeWait);
          T.KermitState = rkGetFile;
        } else if (r == rrGood && T.PacketType == 'E') {
          P.ProtocolStatus = psProtocolError;
          T.KermitState = rkError;
        } else {
          if (timeout) {
            P.ProtocolStatus = psTimeout;
            if (!countError(P)) {
              T.KermitState = rkError;
              break;
            }
            apArmTimeout(P, D, P.HandshakeWait);
          }
          T.KermitState = rkGetInit;
        }
        break;
      }
      case rkCollectFile: {
        const ReadResult r = timeout ? rrBad : readData(P, T);
        if (r == rrNone) break;
        if (r == rrBad) {
          if (timeout) P.ProtocolStatus = psTimeout;
          if (!countError(P)) {
            T.KermitState = rkError;
            break;
          }
          sendNak(P, T, D, T.ExpectedSeq);
          apArmTimeout(P, D, P.HandshakeWait);
          T.KermitState = rkGetFile;
          break;
        }
        switch (T.PacketType) {
          case 'F':
            openReceived(P, T, D);
            break;
          case 'S':
            negotiate(P, T, T.PacketBuff, T.RecDataLen, true);
            ackInit(P, T, D, T.RecBlockNum);
            T.ExpectedSeq = nextSeq(T.RecBlockNum);
            apArmTimeout(P, D, P.HandshakeWait);
            T.KermitState = rkGetFile;
            break;
          case 'Z':
            sendAck(P, T, D, T.RecBlockNum);
            if (!countError(P)) {
              sendText(P, T, D, 'E', T.RecBlockNum, "Failed to syncronize protocol");
              T.KermitState = rkError;
            } else {
              apArmTimeout(P, D, P.HandshakeWait);
              T.KermitState = rkGetFile;
            }
            break;
          case 'B':
            sendAck(P, T, D, T.RecBlockNum);
            P.ProtocolStatus = psOK;
            T.KermitState = rkComplete;
            break;
          case 'X':
            T.KermitState = rkGetFile;
            break;
          case 'E':
          default:
            P.ProtocolStatus = psProtocolError;
            T.KermitState = rkError;
            break;
        }
        break;
      }
      case rkCollectData: {
        const ReadResult r = timeout ? rrBad : readData(P, T);
        if (r == rrNone) break;
        if (r == rrBad) {
          if (timeout) P.ProtocolStatus = psTimeout;
          if (!countError(P)) {
            T.KermitState = rkError;
            break;
          }
          // The packet we miss most is asked for again (with one slot: the expected one).
          sendNak(P, T, D, T.TableSize == 1 ? T.ExpectedSeq : wantedSeq(T));
          apArmTimeout(P, D, P.HandshakeWait);
          T.KermitState = rkGetData;
          break;
        }
        switch (T.PacketType) {
          case 'D':
            if (!receiveData(P, T, D)) {
              cancelRun(P, T, D, true);
              break;
            }
            clearErrors(P);
            P.ProtocolStatus = psOK;
            apArmTimeout(P, D, P.HandshakeWait);
            T.KermitState = rkGetData;
            break;
          case 'F':
            sendAck(P, T, D, T.RecBlockNum);
            if (!countError(P)) {
              sendText(P, T, D, 'E', T.RecBlockNum, "Failed to syncronize protocol");
              T.KermitState = rkError;
            } else {
              T.KermitState = rkGetData;
            }
            break;
          case 'Z':
            endOfFile(P, T, D);
            break;
          case 'E':
            P.ProtocolStatus = psProtocolError;
            T.KermitState = rkError;
            break;
          default:
            T.KermitState = rkGetData;
            break;
        }
        break;
      }
      case rkWaitCancel:
        if (timeout || outUsed || D.OutBuffUsed() == 0) T.KermitState = rkError;
        break;
      case rkError:
        if (T.ReceiveInProgress) {
          // A file this run created is left incomplete.
          P.FinishWriting(P);
          T.ReceiveInProgress = false;
          markFailed(P);
          if (P.LogFile) P.LogFile(P, lfReceiveFail);
        } else if (T.FileSkipped) {
          markFailed(P);
          if (P.LogFile) P.LogFile(P, lfReceiveSkip);
        }
        T.FileSkipped = false;
        markFailed(P);
        flushInput(T, D);
        T.KermitState = rkComplete;
        break;
      case rkComplete:
        apShowLastStatus(P);
        T.KermitState = rkDone;
        flushInput(T, D);
        apSignalFinish(P);
        return;
      default:
        return;
    }
    timeout = outUsed = false;
    if (T.KermitState == rkDone) return;
    if (T.KermitState == before && T.InHead == headBefore) return;
  }
}

template <void (*Prim)(TProtocolData&, TKermitTail&, TSioBaseDispatcher&, UINT, std::uint32_t)>
void run(UINT msg, WPARAM wParam, LPARAM lParam) {
  TProtocolCall call(lParam);
  if (!call) return;
  TKermitTail* T = kpTail(*call.P);
  if (!T) return;
  Prim(*call.P, *T, *call.D, msg, static_cast<std::uint32_t>(wParam));
}

}  // namespace

void kpTransmit(UINT msg, WPARAM wParam, LPARAM lParam) { run<transmitPrim>(msg, wParam, lParam); }
void kpReceive(UINT msg, WPARAM wParam, LPARAM lParam) { run<receivePrim>(msg, wParam, lParam); }
