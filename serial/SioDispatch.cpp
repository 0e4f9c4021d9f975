// Dispatcher core: port list, opening and closing, line settings, flow control, modem
// lines and errors, the dispatch buffer and the output ring.
#include "serial/SioDispatch.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/Threads.h"
#include "serial/Sioexcept.h"

namespace {

constexpr std::uint32_t kMask = DispatchBufferSize - 1;

std::recursive_mutex& PortListMutex() {
  static std::recursive_mutex m;
  return m;
}
std::vector<TSioBaseDispatcher*>& PortList() {
  static std::vector<TSioBaseDispatcher*> list;
  return list;
}
int cacheHandle = -1;
TSioBaseDispatcher* cachePtr = nullptr;

}  // namespace

// ---------------------------------------------------------------------------------------
// Small events
// ---------------------------------------------------------------------------------------

void TSioSignal::Set() {
  {
    std::lock_guard<std::mutex> g(m_);
    set_ = true;
  }
  cv_.notify_all();
}

void TSioSignal::Reset() {
  std::lock_guard<std::mutex> g(m_);
  set_ = false;
}

bool TSioSignal::WaitFor(int timeoutMs) {
  std::unique_lock<std::mutex> g(m_);
  if (timeoutMs < 0) {
    cv_.wait(g, [this] { return set_; });
  } else if (!cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [this] { return set_; })) {
    return false;
  }
  if (!manual_) set_ = false;
  return true;
}

bool TSioSignal::IsSet() {
  std::lock_guard<std::mutex> g(m_);
  return set_;
}

void TSioSignalPair::Set(int which) {
  {
    std::lock_guard<std::mutex> g(m_);
    set_[which & 1] = true;
  }
  cv_.notify_all();
}

int TSioSignalPair::WaitAny(int timeoutMs) {
  std::unique_lock<std::mutex> g(m_);
  auto any = [this] { return set_[0] || set_[1]; };
  if (timeoutMs < 0) {
    cv_.wait(g, any);
  } else if (!cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), any)) {
    return -1;
  }
  int w = set_[0] ? 0 : 1;
  set_[w] = false;
  return w;
}

// ---------------------------------------------------------------------------------------
// Port list
// ---------------------------------------------------------------------------------------

void LockPortList() { PortListMutex().lock(); }
void UnlockPortList() { PortListMutex().unlock(); }

int PortListCount() {
  std::lock_guard<std::recursive_mutex> g(PortListMutex());
  return static_cast<int>(PortList().size());
}

TSioBaseDispatcher* PortListItem(int index) {
  std::lock_guard<std::recursive_mutex> g(PortListMutex());
  auto& l = PortList();
  if (index < 0 || index >= static_cast<int>(l.size())) return nullptr;
  return l[static_cast<std::size_t>(index)];
}

TSioBaseDispatcher* GetTComRecPtr(int handle) {
  std::lock_guard<std::recursive_mutex> g(PortListMutex());
  if (handle == cacheHandle && cachePtr != nullptr) return cachePtr;
  TSioBaseDispatcher* d = PortListItem(handle);
  cacheHandle = handle;
  cachePtr = d;
  return d;
}

// ---------------------------------------------------------------------------------------
// Construction
// ---------------------------------------------------------------------------------------

TSioBaseDispatcher::TSioBaseDispatcher(void* owner) : owner_(owner) {
  std::lock_guard<std::recursive_mutex> g(PortListMutex());
  auto& l = PortList();
  auto it = std::find(l.begin(), l.end(), nullptr);
  if (it != l.end()) {
    *it = this;
    handle_ = static_cast<int>(it - l.begin());
  } else {
    l.push_back(this);
    handle_ = static_cast<int>(l.size() - 1);
  }
  if (cacheHandle == handle_) {
    cacheHandle = -1;
    cachePtr = nullptr;
  }
  triggerCounter_ = 1;
}

TSioBaseDispatcher::~TSioBaseDispatcher() {
  // The device layer has stopped the threads and closed the device in its destructor.
  {
    std::lock_guard<TSioLock> g(dispatchLock_);
    dispBuff_.reset();
  }
  {
    std::lock_guard<TSioLock> g(outputLock_);
    outBuff_.reset();
  }
  {
    std::lock_guard<std::recursive_mutex> g(PortListMutex());
    auto& l = PortList();
    if (handle_ >= 0 && handle_ < static_cast<int>(l.size()) &&
        l[static_cast<std::size_t>(handle_)] == this) {
      l[static_cast<std::size_t>(handle_)] = nullptr;
      while (!l.empty() && l.back() == nullptr) l.pop_back();
    }
    if (cachePtr == this || cacheHandle == handle_) {
      cacheHandle = -1;
      cachePtr = nullptr;
    }
  }
  FreeTriggers();
}

// ---------------------------------------------------------------------------------------
// Opening and closing
// ---------------------------------------------------------------------------------------

int TSioBaseDispatcher::InitPort(const char* name, std::uint32_t baud, std::uint32_t parity,
                                 std::uint32_t dataBits, std::uint32_t stopBits, std::uint32_t inSize,
                                 std::uint32_t outSize, bool dtr, bool rts) {
  ringSeen_ = false;
  waitBusy_ = false;
  inNotification_ = false;
  closeDeferred_ = false;
  {
    std::lock_guard<TSioLock> g(triggerLock_);
    handlersToDelete_ = false;
  }
  int h = OpenCom(name, static_cast<int>(inSize), static_cast<int>(outSize));
  if (h < 0) {
    DonePort();
    return h;
  }
  deviceHandle_.store(h, std::memory_order_release);
  if (int r = SetCommBuffers(inSize, outSize); r != 0) {
    DonePort();
    return r;
  }
  {
    std::lock_guard<TSioLock> g(dispatchLock_);
    dispBuff_.reset(new (std::nothrow) std::uint8_t[DispatchBufferSize]());
    dispHead_ = dispTail_ = 0;
    scanPos_ = 0;
    notifyPos_ = ~0ull;
    inRelative_ = false;
    largestGetCount_ = flushedInRound_ = 0;
  }
  {
    std::lock_guard<TSioLock> g(outputLock_);
    outSize_ = outSize;
    outBuff_.reset(outSize ? new (std::nothrow) std::uint8_t[outSize] : nullptr);
    outHead_ = outTail_ = 0;
    outFull_ = false;
  }
  {
    std::lock_guard<TSioLock> g(dispatchLock_);
    std::lock_guard<TSioLock> g2(outputLock_);
    if (!dispBuff_ || (outSize != 0 && !outBuff_)) {
      DonePort();
      return ecOutOfMemory;
    }
  }
  inQueueSize_ = inSize;
  lastError_ = 0;
  outputSent_ = false;
  rs485_ = false;
  {
    std::lock_guard<TSioLock> g(triggerLock_);
    baseAddress_ = 0;
    GetComState(lineState_);
  }
  SetDtr(dtr);
  SetRts(rts);
  RemoveAllTriggers();
  {
    std::lock_guard<TSioLock> g(triggerLock_);
    statusHit_ = false;
    for (auto& t : statusTriggers_) t.Hit = false;
    modemStatus_ = 0;
  }
  GetModemStatusPrim(0xF0);
  lastBaud_ = 115200;
  if (int r = SetLine(baud, parity, dataBits, stopBits); r != 0) {
    DonePort();
    return r;
  }
  RefreshStatus();
  startTime_ = SioTimeGetTime();
  tracing_ = false;
  dispatchLogging_ = false;
  if (int r = StartDispatcher(); r != 0) {
    DonePort();
    return r;
  }
  return 0;
}

int TSioBaseDispatcher::InitSocket(std::uint32_t inSize, std::uint32_t outSize) {
  ringSeen_ = false;
  waitBusy_ = false;
  inNotification_ = false;
  closeDeferred_ = false;
  int h = OpenCom(nullptr, static_cast<int>(inSize), static_cast<int>(outSize));
  if (h < 0) {
    DonePort();
    return h;
  }
  deviceHandle_.store(h, std::memory_order_release);
  if (!SetupCom(0, 0)) {
    DonePort();
    return ecCommNotOpen;
  }
  {
    std::lock_guard<TSioLock> g(dispatchLock_);
    dispBuff_.reset(new (std::nothrow) std::uint8_t[DispatchBufferSize]());
    dispHead_ = dispTail_ = scanPos_ = 0;
    notifyPos_ = ~0ull;
    if (!dispBuff_) {
      DonePort();
      return ecOutOfMemory;
    }
  }
  // A socket takes what it can at a time; the rest waits in the output ring like the bytes
  // for a serial line (without a ring every PutBlock would fail).
  {
    std::lock_guard<TSioLock> g(outputLock_);
    outSize_ = outSize;
    outBuff_.reset(outSize ? new (std::nothrow) std::uint8_t[outSize] : nullptr);
    outHead_ = outTail_ = 0;
    outFull_ = false;
    if (outSize != 0 && !outBuff_) {
      DonePort();
      return ecOutOfMemory;
    }
  }
  inQueueSize_ = inSize;
  lastError_ = 0;
  outputSent_ = false;
  startTime_ = SioTimeGetTime();
  if (int r = StartDispatcher(); r != 0) {
    DonePort();
    return r;
  }
  return 0;
}

int TSioBaseDispatcher::SetCommBuffers(std::uint32_t inSize, std::uint32_t outSize) {
  if (!SetupCom(static_cast<int>(inSize), static_cast<int>(outSize))) return ecMemory;
  inQueueSize_ = inSize;
  return 0;
}

void TSioBaseDispatcher::DonePort() {
  if (deviceHandle_.load(std::memory_order_acquire) >= 0) {
    FlushOutBuffer();
    FlushInBuffer();
    CloseCom();
  }
  if (EventBusy() || LateHandlerRunning()) {
    closeDeferred_.store(true, std::memory_order_release);
  } else {
    DonePortPrim();
  }
}

void TSioBaseDispatcher::DonePortPrim() {
  if (started_.load(std::memory_order_acquire)) StopDispatcher();
  // A handler left running may still read and write: the buffers then go with the dispatcher.
  std::lock_guard<TSioLock> g(dispatchLock_);
  DropReturnedLocked();
  if (!lateCalls_.empty()) return;
  {
    std::lock_guard<TSioLock> g2(outputLock_);
    outBuff_.reset();
    outHead_ = outTail_ = 0;
    outFull_ = false;
  }
  dispBuff_.reset();
  dispHead_ = dispTail_ = scanPos_ = 0;
}

bool TSioBaseDispatcher::StillInUse() { return RunningThreads() > 0 || LateHandlerRunning(); }

// ---------------------------------------------------------------------------------------
// Line settings
// ---------------------------------------------------------------------------------------

std::uint32_t TSioBaseDispatcher::TranslateBaudRate(std::uint32_t baud) {
  if (baud == 0xFEFF) return 115200;
  if (baud >= 0xFF10 && baud <= 0xFF27) {
    switch (baud) {
      case 0xFF10:
        return 110;
      case 0xFF11:
        return 300;
      case 0xFF12:
        return 600;
      case 0xFF13:
        return 1200;
      case 0xFF14:
        return 2400;
      case 0xFF15:
        return 4800;
      case 0xFF16:
        return 9600;
      case 0xFF17:
        return 14400;
      case 0xFF18:
        return 19200;
      case 0xFF1B:
        return 38400;
      case 0xFF1F:
        return 56000;
      case 0xFF23:
        return 128000;
      case 0xFF27:
        return 256000;
      default:
        return baud;
    }
  }
  return baud;
}

int TSioBaseDispatcher::SetLine(std::uint32_t baud, std::uint32_t parity, std::uint32_t dataBits,
                                std::uint32_t stopBits) {
  TLineState cur;
  {
    std::lock_guard<TSioLock> g(triggerLock_);
    if (GetComState(cur) != 0) cur = lineState_;
  }
  std::uint32_t newBaud = baud == 0 ? cur.BaudRate : baud;
  std::uint8_t newParity = parity == 5 ? cur.Parity : static_cast<std::uint8_t>(parity);
  std::uint8_t newSize = dataBits == 9 ? cur.ByteSize : static_cast<std::uint8_t>(dataBits);
  bool fiveGiven = dataBits == 5;
  std::uint8_t code;
  if (stopBits == 3) {
    code = fiveGiven ? sbOneHalf : cur.StopBits;
  } else {
    std::uint32_t sb = stopBits == 0 ? 1 : (stopBits > 2 ? 2 : stopBits);
    code = sb == 1 ? sbOne : sbTwo;
    if (newSize == 5) code = sbOneHalf;
  }
  if (newBaud == cur.BaudRate && newParity == cur.Parity && newSize == cur.ByteSize && code == cur.StopBits) {
    // The driver already runs at this rate: later waits for the output count with it.
    lastBaud_ = cur.BaudRate;
    return 0;
  }
  WaitTxSent();
  std::lock_guard<TSioLock> g(triggerLock_);
  TLineState st;
  if (GetComState(st) != 0) st = lineState_;
  st.BaudRate = newBaud;
  st.Parity = newParity;
  st.ByteSize = newSize;
  st.StopBits = code;
  if (newParity != 0)
    st.Flags |= lfParity;
  else
    st.Flags &= ~lfParity;
  return SetCommStateFix(st);
}

int TSioBaseDispatcher::GetLine(std::uint32_t& baud, std::uint32_t& parity, std::uint32_t& dataBits,
                                std::uint32_t& stopBits) {
  std::lock_guard<TSioLock> g(triggerLock_);
  TLineState st;
  int r = GetComState(st);
  if (r != 0) return r;
  baud = TranslateBaudRate(st.BaudRate);
  parity = st.Parity;
  dataBits = st.ByteSize;
  stopBits = st.StopBits != sbOne ? 2 : 1;
  return 0;
}

int TSioBaseDispatcher::SetCommStateFix(TLineState& state) {
  std::lock_guard<TSioLock> g(triggerLock_);
  if (!dtrAuto_) state.Flags = (state.Flags & ~lfDtrControlMask) | (dtrState_ ? lfDtrEnable : lfDtrDisable);
  if (!rtsAuto_) state.Flags = (state.Flags & ~lfRtsControlMask) | (rtsState_ ? lfRtsEnable : lfRtsDisable);
  int r = SetComState(state);
  if (r == 0) lineState_ = state;
  lastBaud_ = state.BaudRate;
  SetDtr(dtrState_);
  if (!rs485_) SetRts(rtsState_);
  return r;
}

int TSioBaseDispatcher::SetModem(bool dtr, bool rts) {
  int r = SetDtr(dtr);
  if (r == 0) SetRts(rts);
  return r;
}

int TSioBaseDispatcher::SetDtr(bool on) {
  std::lock_guard<TSioLock> g(triggerLock_);
  if (dtrAuto_) return 1;
  int r = EscapeComFunction(on ? efSetDTR : efClrDTR);
  dtrState_ = on;
  return r < 0 ? ecBadArgument : 0;
}

int TSioBaseDispatcher::SetRts(bool on) {
  std::lock_guard<TSioLock> g(triggerLock_);
  if (rtsAuto_) return 1;
  int r = EscapeComFunction(on ? efSetRTS : efClrRTS);
  rtsState_ = on;
  return r < 0 ? ecBadArgument : 0;
}

int TSioBaseDispatcher::SendBreak(std::uint32_t ticks, bool yield) {
  EscapeComFunction(efSetBreak);
  DelayTicks(static_cast<std::int32_t>(ticks), yield);
  EscapeComFunction(efClrBreak);
  return 0;
}

int TSioBaseDispatcher::SetBreak(bool on) {
  EscapeComFunction(on ? efSetBreak : efClrBreak);
  return 0;
}

void TSioBaseDispatcher::WaitTxSent() {
  for (int i = 0; i < 5000 && OutBuffUsed() > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  std::this_thread::sleep_for(std::chrono::milliseconds(TxSentDelayMs()));
}

std::uint32_t TSioBaseDispatcher::TxSentDelayMs() {
  TLineState st;
  {
    std::lock_guard<TSioLock> g(triggerLock_);
    if (GetComState(st) != 0) st = lineState_;
  }
  std::uint32_t baud = TranslateBaudRate(lastBaud_.load());
  if (baud == 0) return 0;
  std::uint32_t bits = st.ByteSize + (st.Parity != 0 ? 1 : 0) + (st.StopBits != sbOne ? 2 : 1) + 1;
  std::uint64_t wait = static_cast<std::uint64_t>(10000000u / baud) * bits * 18;
  if (wait < 10000) wait *= 2;
  return static_cast<std::uint32_t>((wait + 9999) / 10000);
}

// ---------------------------------------------------------------------------------------
// Modem lines and errors
// ---------------------------------------------------------------------------------------

std::uint8_t TSioBaseDispatcher::GetModemStatusPrim(std::uint8_t keepMask) {
  std::lock_guard<TSioLock> g(triggerLock_);
  std::uint8_t levels = ReadModemLevels() & 0xF0;
  modemStatus_ = static_cast<std::uint8_t>((modemStatus_ & 0x0F) | levels);
  if (ringSeen_.exchange(false)) modemStatus_ |= msTrailingRI;
  std::uint8_t result = modemStatus_;
  modemStatus_ &= keepMask;
  return result;
}

std::uint8_t TSioBaseDispatcher::MapEventsToMS() {
  std::lock_guard<TSioLock> g(triggerLock_);
  std::uint8_t levels = ReadModemLevels() & 0xF0;
  std::uint8_t changed = static_cast<std::uint8_t>((levels ^ modemStatus_) & 0xF0);
  std::uint8_t delta = static_cast<std::uint8_t>(changed >> 4);  // CTS->0x01, DSR->0x02, RI->0x04, DCD->0x08
  modemStatus_ = static_cast<std::uint8_t>(levels | (modemStatus_ & 0x0F) | delta);
  return delta;
}

std::uint32_t TSioBaseDispatcher::RefreshStatus() {
  TComStat st;
  std::uint32_t err = GetComError(st) & 0x1F;
  {
    std::lock_guard<TSioLock> g(triggerLock_);
    comStat_ = st;
  }
  if (err) lastError_.fetch_or(err);
  return err;
}

int TSioBaseDispatcher::GetLineError() {
  std::uint32_t le = lastError_.load();
  int r = 0;
  if (le & leRxOverflow)
    r = 1;
  else if (le & leOverrun)
    r = 2;
  else if (le & leParity)
    r = 3;
  else if (le & leFraming)
    r = 4;
  else if (le & leBreak)
    r = 9;
  if (r != 0) lastError_.fetch_and(~0x0Fu);
  return r;
}

bool TSioBaseDispatcher::CheckLineBreak() { return (lastError_.fetch_and(~leBreak) & leBreak) != 0; }

// ---------------------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------------------

void TSioBaseDispatcher::TraceBytes(char kind, const std::uint8_t* p, std::uint32_t n) {
  std::lock_guard<TSioLock> g(triggerLock_);
  if (recorder_ == nullptr || !tracing_.load()) return;
  for (std::uint32_t i = 0; i < n; ++i) recorder_->TraceEntry(kind, p[i]);
}

namespace {
// The innermost handler scope of the calling thread (none: null).
thread_local const TSioHandlerScope* tlScope = nullptr;
}  // namespace

TSioHandlerScope::TSioHandlerScope(const TSioBaseDispatcher* d, TSioHandlerCall* call)
    : dispatcher_(d), call_(call), outer_(tlScope) {
  tlScope = this;
}
TSioHandlerScope::~TSioHandlerScope() { tlScope = outer_; }

TSioHandlerCall* TSioBaseDispatcher::CurrentCallLocked() const {
  for (const TSioHandlerScope* s = tlScope; s != nullptr; s = s->outer_)
    if (s->dispatcher_ == this) return s->call_;
  if (windowCall_ == nullptr && lateCalls_.empty()) return nullptr;
  // A window procedure: the tag of the send it runs for (sends nest when a procedure pumps).
  for (std::size_t depth = 0;; ++depth) {
    const void* tag = SendMessageTag(depth);
    if (tag == nullptr) return nullptr;
    if (tag == windowCall_) return windowCall_;
    for (auto& c : lateCalls_)
      if (tag == c.get()) return c.get();
  }
}

TSioHandlerCall* TSioBaseDispatcher::ReadWindowLocked(std::uint64_t& start, std::uint32_t& available) const {
  TSioHandlerCall* call = CurrentCallLocked();
  if (call != nullptr && call->Relative) {
    start = call->Begin + call->Taken;
    available = call->End > start ? static_cast<std::uint32_t>(call->End - start) : 0;
    return call;
  }
  start = dispTail_;
  // The bytes belong to the running notification until it ends and the tail has moved;
  // a wait or another thread reads them after that, never beside a handler.
  available = inRelative_ ? 0 : PresentLocked();
  return nullptr;
}

void TSioBaseDispatcher::CutLateCallsLocked() {
  for (auto& c : lateCalls_)
    if (c->Ended) c->End = std::min(c->End, c->Begin + c->Taken);
}

bool TSioBaseDispatcher::CharReady() {
  std::lock_guard<TSioLock> g(dispatchLock_);
  if (!dispBuff_) return false;
  std::uint64_t start;
  std::uint32_t available;
  ReadWindowLocked(start, available);
  return available > 0;
}

int TSioBaseDispatcher::PeekCharPrim(std::uint8_t& c, std::uint32_t n) {
  std::lock_guard<TSioLock> g(dispatchLock_);
  if (!dispBuff_) return ecCommNotOpen;
  if (n == 0 || PresentLocked() < n) return ecBufferIsEmpty;
  c = dispBuff_[(dispTail_ + n - 1) & kMask];
  return 0;
}

int TSioBaseDispatcher::PeekChar(std::uint8_t& c, std::uint32_t n) {
  std::lock_guard<TSioLock> g(dispatchLock_);
  if (!dispBuff_) return ecCommNotOpen;
  std::uint64_t start;
  std::uint32_t available;
  ReadWindowLocked(start, available);
  if (n == 0 || available < n) return ecBufferIsEmpty;
  c = dispBuff_[(start + n - 1) & kMask];
  return 0;
}

int TSioBaseDispatcher::GetChar(std::uint8_t& c) {
  int r = PeekBlockPrim(&c, 0, 1, true);
  return r < 0 ? r : 0;
}

int TSioBaseDispatcher::PeekBlockPrim(void* buffer, std::uint32_t offset, std::uint32_t count, bool take) {
  bool roomMade = false;
  {
    std::lock_guard<TSioLock> g(dispatchLock_);
    if (!dispBuff_) return ecCommNotOpen;
    std::uint64_t start;
    std::uint32_t available;
    TSioHandlerCall* call = ReadWindowLocked(start, available);
    if (static_cast<std::uint64_t>(available) < static_cast<std::uint64_t>(offset) + count)
      return ecBufferIsEmpty;
    std::uint32_t idx = static_cast<std::uint32_t>((start + offset) & kMask);
    std::uint32_t first = std::min<std::uint32_t>(count, DispatchBufferSize - idx);
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::memcpy(out, dispBuff_.get() + idx, first);
    if (first < count) std::memcpy(out + first, dispBuff_.get(), count - first);
    if (take) {
      if (call != nullptr) {
        call->Taken += count;
      } else {
        roomMade = PresentLocked() == DispatchBufferSize;
        dispTail_ += count;
      }
    }
  }
  if (take && tracing_.load(std::memory_order_relaxed))
    TraceBytes('R', static_cast<const std::uint8_t*>(buffer), count);
  if (roomMade) DispatchRoomMade();
  return static_cast<int>(count);
}

int TSioBaseDispatcher::PeekBlock(void* buffer, std::uint32_t count) {
  return PeekBlockPrim(buffer, 0, count, false);
}

int TSioBaseDispatcher::GetBlock(void* buffer, std::uint32_t count) {
  return PeekBlockPrim(buffer, 0, count, true);
}

std::uint32_t TSioBaseDispatcher::InBuffUsed() {
  std::lock_guard<TSioLock> g(dispatchLock_);
  if (!dispBuff_) return 0;
  std::uint64_t start;
  std::uint32_t available;
  ReadWindowLocked(start, available);
  return available;
}

std::uint32_t TSioBaseDispatcher::InBuffFree() {
  std::lock_guard<TSioLock> g(dispatchLock_);
  if (!dispBuff_) return DispatchBufferSize;
  std::uint32_t present = PresentLocked();
  std::uint64_t start;
  std::uint32_t available;
  // A handler counts what it took as free already.
  const bool own = ReadWindowLocked(start, available) != nullptr && start > dispTail_;
  return DispatchBufferSize - present + (own ? std::min<std::uint32_t>(static_cast<std::uint32_t>(start - dispTail_), present) : 0);
}

int TSioBaseDispatcher::FlushInBuffer() {
  bool roomMade = false;
  {
    std::lock_guard<TSioLock> g(dispatchLock_);
    if (deviceHandle_.load() >= 0) FlushCom(1);
    ++flushes_;
    if (!dispBuff_) return 0;
    roomMade = PresentLocked() == DispatchBufferSize;
    if (!inRelative_) {
      dispTail_ = dispHead_;
    } else {
      // Everything present goes when the notification ends. A handler that flushes sees
      // the buffer empty at once; a flush from elsewhere leaves the running handler the
      // bytes it was told about, so that its reads do not fail half-way.
      largestGetCount_ = PresentLocked();
      // A handler's own flush also hides the discarded bytes from the later handlers.
      TSioHandlerCall* call = CurrentCallLocked();
      if (call != nullptr && call->Relative && !call->Ended) call->Taken = flushedInRound_ = largestGetCount_;
    }
    CutLateCallsLocked();
    // Nothing that was discarded is ever looked at again.
    scanPos_ = dispHead_;
    notifyPos_ = dispHead_;
    ResetDataTriggers();
  }
  if (roomMade) DispatchRoomMade();
  return 0;
}

// ---------------------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------------------

int TSioBaseDispatcher::PutBlock(const void* data, std::uint32_t count) {
  if (count == 0) return 0;
  bool failed = false;
  {
    std::lock_guard<TSioLock> g(outputLock_);
    // Closed (the ring stays while a handler left running may still use the dispatcher).
    if (!outBuff_ || deviceHandle_.load(std::memory_order_acquire) < 0) return ecCommNotOpen;
    std::uint32_t freeBytes = outSize_ - OutRingUsedLocked();
    if (freeBytes < count) return ecOutputBufferTooSmall;
    failed = WriteCom(static_cast<const std::uint8_t*>(data), static_cast<int>(count)) <= 0;
  }
  if (failed) {
    RefreshStatus();
    return ecPutBlockFail;
  }
  if (dispatchLogging_.load(std::memory_order_relaxed))
    AddDispatchEntry(dtDispatch, dstWriteCom, count, data, count);
  if (tracing_.load(std::memory_order_relaxed))
    TraceBytes('T', static_cast<const std::uint8_t*>(data), count);
  return 0;
}

std::uint32_t TSioBaseDispatcher::OutBuffUsed() {
  std::lock_guard<TSioLock> g(outputLock_);
  if (!outBuff_) return 0;
  return OutRingUsedLocked();
}

std::uint32_t TSioBaseDispatcher::OutBuffFree() {
  std::lock_guard<TSioLock> g(outputLock_);
  if (!outBuff_) return outSize_;
  return outSize_ - OutRingUsedLocked();
}

void TSioBaseDispatcher::BufferSizes(std::uint32_t& inSize, std::uint32_t& outSize) {
  inSize = inQueueSize_;
  std::lock_guard<TSioLock> g(outputLock_);
  outSize = outSize_;
}

// ---------------------------------------------------------------------------------------
// Flow control
// ---------------------------------------------------------------------------------------

int TSioBaseDispatcher::HWFlowOptions(std::uint32_t bufferFull, std::uint32_t bufferResume,
                                      std::uint32_t options) {
  if (bufferFull < bufferResume || bufferFull > inQueueSize_) return ecBadArgument;
  std::lock_guard<TSioLock> g(triggerLock_);
  TLineState st;
  if (GetComState(st) != 0) st = lineState_;
  st.Flags &= ~(lfDtrControlMask | lfRtsControlMask | lfOutxCtsFlow | lfOutxDsrFlow);
  dtrAuto_ = false;
  rtsAuto_ = false;
  if (options & hfUseDTR) {
    st.Flags |= lfDtrHandshake;
    dtrAuto_ = true;
  } else if (dtrState_) {
    st.Flags |= lfDtrEnable;
  }
  if (options & hfUseRTS) {
    st.Flags |= lfRtsHandshake;
    rtsAuto_ = true;
  } else if (rtsState_) {
    st.Flags |= lfRtsEnable;
  }
  if (rs485_) {
    st.Flags = (st.Flags & ~lfRtsControlMask) | lfRtsToggle;
    rtsAuto_ = true;
  }
  st.XoffLim = static_cast<std::uint16_t>(inQueueSize_ - bufferFull);
  st.XonLim = static_cast<std::uint16_t>(bufferResume);
  if (options & hfRequireDSR) st.Flags |= lfOutxDsrFlow;
  if (options & hfRequireCTS) st.Flags |= lfOutxCtsFlow;
  return SetCommStateFix(st);
}

int TSioBaseDispatcher::HWFlowState() {
  TLineState st;
  {
    std::lock_guard<TSioLock> g(triggerLock_);
    if (GetComState(st) != 0) st = lineState_;
  }
  std::uint32_t dtrc = st.Flags & lfDtrControlMask, rtsc = st.Flags & lfRtsControlMask;
  bool cts = st.Flags & lfOutxCtsFlow, dsr = st.Flags & lfOutxDsrFlow;
  if (dtrc != lfDtrHandshake && rtsc != lfRtsHandshake && !cts && !dsr) return 1;
  int r = 2;
  if (dtrc == lfDtrHandshake || rtsc == lfRtsHandshake) {
    RefreshStatus();
    std::uint32_t flags;
    {
      std::lock_guard<TSioLock> g(triggerLock_);
      flags = comStat_.Flags;
    }
    if (cts && (flags & csCtsHold))
      r = 4;
    else if (dsr && (flags & csDsrHold))
      r = 3;
  }
  return r;
}

int TSioBaseDispatcher::SWFlowEnable(std::uint32_t bufferFull, std::uint32_t bufferResume,
                                     std::uint32_t options) {
  if (bufferFull < bufferResume || bufferFull > inQueueSize_) return ecBadArgument;
  std::lock_guard<TSioLock> g(triggerLock_);
  TLineState st;
  if (GetComState(st) != 0) st = lineState_;
  if (options & sfReceiveFlow) {
    st.Flags |= lfInX;
    st.XoffLim = static_cast<std::uint16_t>(inQueueSize_ - bufferFull);
    st.XonLim = static_cast<std::uint16_t>(bufferResume);
    st.XonChar = 17;
    st.XoffChar = 19;
  }
  if (options & sfTransmitFlow) {
    st.Flags |= lfOutX;
    st.XonChar = 17;
    st.XoffChar = 19;
  }
  return SetCommStateFix(st);
}

int TSioBaseDispatcher::SWFlowDisable() {
  std::lock_guard<TSioLock> g(triggerLock_);
  TLineState st;
  if (GetComState(st) != 0) st = lineState_;
  st.Flags &= ~(lfInX | lfOutX);
  return SetCommStateFix(st);
}

int TSioBaseDispatcher::SWFlowState() {
  TLineState st;
  {
    std::lock_guard<TSioLock> g(triggerLock_);
    if (GetComState(st) != 0) st = lineState_;
  }
  if (!(st.Flags & (lfInX | lfOutX))) return 1;
  RefreshStatus();
  std::uint32_t flags;
  {
    std::lock_guard<TSioLock> g(triggerLock_);
    flags = comStat_.Flags;
  }
  bool hold = flags & csXoffHold, sent = flags & csXoffSent;
  if (hold && sent) return 8;
  if (sent) return 7;
  if (hold) return 6;
  return 2;
}

int TSioBaseDispatcher::SWFlowChars(std::uint8_t xon, std::uint8_t xoff) {
  std::lock_guard<TSioLock> g(triggerLock_);
  TLineState st;
  if (GetComState(st) != 0) st = lineState_;
  st.XonChar = xon;
  st.XoffChar = xoff;
  return SetCommStateFix(st);
}

int TSioBaseDispatcher::GetFlowOptions(std::uint32_t& hwOptions, std::uint32_t& swOptions, std::uint32_t&,
                                       std::uint32_t&, std::uint8_t& xon, std::uint8_t& xoff) {
  hwOptions = 0;
  swOptions = 0;
  std::lock_guard<TSioLock> g(triggerLock_);
  TLineState st;
  int r = GetComState(st);
  if ((st.Flags & lfDtrControlMask) == lfDtrHandshake) hwOptions |= hfUseDTR;
  if ((st.Flags & lfRtsControlMask) == lfRtsHandshake) hwOptions |= hfUseRTS;
  if (st.Flags & lfOutxDsrFlow) hwOptions |= hfRequireDSR;
  if (st.Flags & lfOutxCtsFlow) hwOptions |= hfRequireCTS;
  if (st.Flags & lfInX) swOptions |= sfReceiveFlow;
  if (st.Flags & lfOutX) swOptions |= sfTransmitFlow;
  xon = st.XonChar;
  xoff = st.XoffChar;
  return r;
}

// ---------------------------------------------------------------------------------------
// Other
// ---------------------------------------------------------------------------------------

void TSioBaseDispatcher::SetRS485Mode(bool on) {
  std::lock_guard<TSioLock> g(triggerLock_);
  rs485_ = on;
  // Thread priorities follow through SetThreadBoost; the direction switch itself is the
  // driver's RTS toggle (HWFlowOptions), so no base address is needed here.
  SetThreadBoost(threadBoost_.load());
}

void TSioBaseDispatcher::SetBaseAddress(std::uint16_t address) {
  std::lock_guard<TSioLock> g(triggerLock_);
  baseAddress_ = address;
}

std::uint16_t TSioBaseDispatcher::GetBaseAddress() {
  std::lock_guard<TSioLock> g(triggerLock_);
  return baseAddress_;
}

void TSioBaseDispatcher::SetThreadBoost(std::uint8_t boost) { threadBoost_ = boost; }

int TSioBaseDispatcher::SetDataPointer(void* p, int slot) {
  if (slot < 1 || slot > 3) return ecBadArgument;
  std::lock_guard<TSioLock> g(triggerLock_);
  dataPointers_[slot - 1] = p;
  return 0;
}

int TSioBaseDispatcher::GetDataPointer(void*& p, int slot) {
  if (slot < 1 || slot > 3) return ecBadArgument;
  std::lock_guard<TSioLock> g(triggerLock_);
  p = dataPointers_[slot - 1];
  return 0;
}

void TSioBaseDispatcher::OptionsOn(std::uint32_t bits) {
  std::lock_guard<TSioLock> g(triggerLock_);
  options_ |= bits;
}

void TSioBaseDispatcher::OptionsOff(std::uint32_t bits) {
  std::lock_guard<TSioLock> g(triggerLock_);
  options_ &= ~bits;
}

bool TSioBaseDispatcher::OptionsAreOn(std::uint32_t bits) {
  std::lock_guard<TSioLock> g(triggerLock_);
  return (options_ & bits) == bits;
}

void TSioBaseDispatcher::SetEventBusy(bool& previous, bool value) { previous = waitBusy_.exchange(value); }

// ---------------------------------------------------------------------------------------
// Trace and dispatch log hooks
// ---------------------------------------------------------------------------------------

void TSioBaseDispatcher::SetRecorder(TSioDispatchRecorder* recorder) {
  std::lock_guard<TSioLock> g(triggerLock_);
  recorder_ = recorder;
}

void TSioBaseDispatcher::AddTraceEntry(char kind, std::uint8_t c) {
  std::lock_guard<TSioLock> g(triggerLock_);
  if (recorder_ != nullptr && tracing_.load()) recorder_->TraceEntry(kind, c);
}

void TSioBaseDispatcher::AddDispatchEntry(TDispatchType type, TDispatchSubType subType, std::uint32_t data,
                                          const void* bytes, std::uint32_t count) {
  std::lock_guard<TSioLock> g(triggerLock_);
  if (recorder_ != nullptr && dispatchLogging_.load())
    recorder_->DispatchEntry(type, subType, data, bytes, count);
}

std::uint32_t TSioBaseDispatcher::GetDispatchTime() const { return SioTimeGetTime() - startTime_; }

// ---------------------------------------------------------------------------------------
// The dispatch thread's reading
// ---------------------------------------------------------------------------------------

void TSioBaseDispatcher::ExtractData() {
  std::lock_guard<TSioLock> g(dispatchLock_);
  if (!dispBuff_) return;
  std::uint32_t present = PresentLocked();
  if (present == DispatchBufferSize) return;
  // The bytes behind the tail that a handler left running may still read are kept while
  // there is room for new ones beside them.
  std::uint32_t held = 0;
  if (!lateCalls_.empty()) DropReturnedLocked();
  if (!lateCalls_.empty()) {
    std::uint64_t from = dispTail_;
    for (auto& c : lateCalls_)
      if (c->Ended && c->Begin + c->Taken < c->End) from = std::min(from, c->Begin + c->Taken);
    held = static_cast<std::uint32_t>(dispTail_ - from);
    if (present + held >= DispatchBufferSize) {
      CutLateCallsLocked();
      held = 0;
    }
  }
  // Everything that fits, both ends of the ring in one read: asking the driver first how much
  // it holds would cost a call of its own for every piece of a stream.
  const std::uint32_t idx = static_cast<std::uint32_t>(dispHead_ & kMask);
  const std::uint32_t room = DispatchBufferSize - present - held;
  const std::uint32_t first = std::min<std::uint32_t>(room, DispatchBufferSize - idx);
  const std::uint32_t second = room - first;
  int got = ReadComPieces(dispBuff_.get() + idx, static_cast<int>(first), dispBuff_.get(),
                          static_cast<int>(second));
  if (got > 0) {
    const std::uint32_t n = static_cast<std::uint32_t>(got);
    if (dispatchLogging_.load(std::memory_order_relaxed)) {
      AddDispatchEntry(dtDispatch, dstReadCom, std::min(n, first), dispBuff_.get() + idx, std::min(n, first));
      if (n > first) AddDispatchEntry(dtDispatch, dstReadCom, n - first, dispBuff_.get(), n - first);
    }
    dispHead_ += n;
  }
  // After the read, so that a device found gone by it is reported in this round.
  std::uint32_t err = PollComErrors() & 0x1F;
  if (err) lastError_.fetch_or(err);
}

int TSioBaseDispatcher::ReadComPieces(std::uint8_t* first, int firstCount, std::uint8_t* second,
                                      int secondCount) {
  int got = ReadCom(first, firstCount);
  if (got < firstCount || secondCount <= 0) return std::max(got, 0);
  int more = ReadCom(second, secondCount);
  return got + std::max(more, 0);
}

std::uint32_t TSioBaseDispatcher::PollComErrors() {
  TComStat st;
  return GetComError(st);
}

std::uint64_t TSioBaseDispatcher::ReceivedCount() {
  std::lock_guard<TSioLock> g(dispatchLock_);
  return dispHead_;
}

bool TSioBaseDispatcher::DispatchBufferFull() {
  std::lock_guard<TSioLock> g(dispatchLock_);
  return dispBuff_ && PresentLocked() == DispatchBufferSize;
}
