// Device layer and worker threads of the dispatcher.
#include "serial/SioWin32.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/Messages.h"
#include "platform/Winsock.h"
#include "serial/SioPort.h"
#include "serial/Sioexcept.h"

namespace {

constexpr int kStartAckMs = 3000;
constexpr int kDispatchPeriodMs = 50;
// The longest block that a writer puts on the line itself (see WriteCom).
constexpr std::uint32_t kDirectWriteMax = 64;

// A pumping wait: the caller's messages are handled meanwhile, so a worker thread that
// sends to the caller's windows or synchronises with it can finish.
void PumpWait(const std::function<bool()>& done) {
  while (!done()) PumpUntil(done, 20);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------------------

TSioDispatcherThread::~TSioDispatcherThread() {
  if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id())
    thread_.detach();
  else
    Join();
}

void TSioDispatcherThread::Start() {
  thread_ = std::thread([this] { Run(); });
}

void TSioDispatcherThread::Join() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TSioDispatcherThread::Run() {
  id_.store(std::this_thread::get_id());
  tid_.store(static_cast<int>(::gettid()));
  if (dispatcher_->ThreadBoost() != 0 || dispatcher_->RS485Mode()) dispatcher_->ApplyPriority(this);
  // What ends a thread's loop is shown to the application, and the thread ends as gone, so
  // that a stop does not wait for it.
  try {
    Execute();
  } catch (const std::exception& e) {
    SioGuarded([&] { SioHandleException(e); });
    dispatcher_->ThreadGone(this);
  } catch (...) {
    SioGuarded([] { SioHandleException(Exception("Unknown exception in a thread of the port")); });
    dispatcher_->ThreadGone(this);
  }
}

void TSioDispatcherThread::SyncNotify(UINT msg, WPARAM wParam, TSioNotifyEvent method, LPARAM lParam) {
  RunOnMainThread([&] { method(msg, wParam, lParam); });
}

void TSioDispatcherThread::Sync(const std::function<void()>& fn) { RunOnMainThread(fn); }

void TComThread::Execute() {
  auto* d = dispatcher_;
  d->ThreadStarted();
  std::uint64_t lastHead = d->ReceivedCount();
  int idleEvents = 0;
  while (!d->killThreads_.load()) {
    bool full = d->DispatchBufferFull();
    int r = d->device_.WaitReadable(-1, !full);
    if (d->killThreads_.load()) break;
    std::uint32_t mask = 0;
    if (r & TSerialDevice::WaitData) mask |= evRxChar;
    if (r & TSerialDevice::WaitHangup) mask |= evErr | evBreak;
    if (mask == 0) continue;  // woken: room in the dispatch buffer, or a stop
    d->pendingEvents_.fetch_or(mask);
    d->commEvent_.Set();
    d->eventsHandled_.WaitFor(-1);
    // Input reported but nothing could be taken: do not turn this into a busy loop.
    std::uint64_t head = d->ReceivedCount();
    if (head == lastHead && !d->DispatchBufferFull()) {
      if (++idleEvents > 2) d->device_.WaitReadable(10, false);
    } else {
      idleEvents = 0;
    }
    lastHead = head;
  }
  d->ThreadGone(this);
}

void TDispThread::Execute() {
  auto* d = dispatcher_;
  d->ThreadStarted();
  // The last round ended with the stream still coming.
  bool streaming = false;
  for (;;) {
    int wait = d->NextTimerWait(kDispatchPeriodMs);
    // A stream is read on at once, not after the communications thread has been woken to see
    // it again (on a busy machine that can take longer than the stream takes to fill the
    // driver's queue).
    d->commEvent_.WaitFor(streaming ? 0 : wait);
    if (d->killThreads_.load()) break;
    // Events the communications thread reported: it waits until they are handled. They are
    // answered whether or not the wait above saw its signal, since they may come between the
    // end of a timed-out wait and this exchange (the signal is then taken by the next wait).
    const std::uint32_t reported = d->pendingEvents_.exchange(0);
    std::uint32_t mask = reported | d->PollLineEvents() | (streaming ? evRxChar : 0);
    streaming = false;
    d->HandleEvents(mask);
    // While the device keeps delivering, read on here instead of waiting for the next
    // wake-up: a stream then costs no thread switch per piece.
    if (mask & evRxChar) {
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(d->NextTimerWait(20));
      for (;;) {
        if (d->killThreads_.load() || d->closeDeferred_.load() || d->DispatchBufferFull()) break;
        if (std::chrono::steady_clock::now() >= until) {
          streaming = true;
          break;
        }
        std::uint64_t before = d->ReceivedCount();
        d->HandleEvents(0);
        if (d->ReceivedCount() == before && !d->device_.WaitInput(2)) break;
      }
    }
    if (reported) d->eventsHandled_.Set();
    d->CheckIdleTriggers();
    if (d->killThreads_.load() || d->closeDeferred_.load()) break;
  }
  // Let the communications thread go on to see the stop.
  d->eventsHandled_.Set();
  // After a close that came during a notification nobody else releases the buffers.
  d->releasePending_.store(d->closeDeferred_.load());
  d->ThreadGone(this);
}

void TOutThread::Execute() {
  auto* d = dispatcher_;
  d->ThreadStarted();
  for (;;) {
    int w = d->outSignals_.WaitAny(-1);
    if (d->killThreads_.load()) break;
    if (w == 1 || d->outStopRequest_.load()) {
      d->AckOutputStop();
      continue;
    }
    WriteRing();
    if (d->killThreads_.load() || d->closeDeferred_.load()) break;
  }
  d->ThreadGone(this);
}

void TOutThread::WriteRing() {
  auto* d = dispatcher_;
  bool rtsUp = false;
  // Back to receiving when the writing ends early.
  auto dropRts = [&] {
    if (rtsUp) d->device_.SetModemLine(kSerialRTS, false);
    rtsUp = false;
  };
  for (;;) {
    for (;;) {
      if (d->killThreads_.load()) {
        dropRts();
        return;
      }
      if (d->outStopRequest_.load()) {
        dropRts();
        d->AckOutputStop();
        return;
      }
      const std::uint8_t* p;
      std::uint32_t len;
      std::uint64_t gen;
      {
        std::lock_guard<TSioLock> g(d->OutputLock());
        if (!d->outBuff_ || (!d->outFull_ && d->outHead_ == d->outTail_)) break;
        if (d->outFull_ || d->outHead_ <= d->outTail_)
          len = d->outSize_ - d->outTail_;
        else
          len = d->outHead_ - d->outTail_;
        p = d->outBuff_.get() + d->outTail_;
        gen = d->outGeneration_;
      }
      if (d->dsrFlow_.load()) {
        unsigned lines = 0;
        if (d->ReadModemLines(lines) && !(lines & kSerialDSR)) {
          d->device_.WaitWritable(10);  // hold the output until DSR comes on
          continue;
        }
      }
      if (d->rtsToggle_.load() && !d->rs485ByDriver_.load() && !rtsUp) {
        d->device_.SetModemLine(kSerialRTS, true);
        rtsUp = true;
      }
      ssize_t n = d->device_.Write(p, len);
      if (n == 0) {
        d->device_.WaitWritable(-1);
        continue;
      }
      // A failed write drops the piece.
      std::uint32_t adv = n > 0 ? static_cast<std::uint32_t>(n) : len;
      {
        std::lock_guard<TSioLock> g(d->OutputLock());
        if (gen != d->outGeneration_) continue;
        d->outTail_ += adv;
        if (d->outTail_ >= d->outSize_) d->outTail_ = 0;
        d->outFull_ = false;
        if (d->outTail_ == d->outHead_) d->outTail_ = d->outHead_ = 0;
      }
      // Room was made: a trigger waiting for free space is tested now, not in the next round,
      // so that a sender can keep the line busy.
      if (d->OutFreeTriggerArmed()) d->commEvent_.Set();
    }
    // The ring is empty: wait until the bytes have left the line.
    d->draining_.store(true);
    bool sent = false;
    for (;;) {
      std::uint32_t baud = 9600;
      sent = d->device_.WaitSent(1000, baud);
      if (sent || d->killThreads_.load() || d->outStopRequest_.load() || d->device_.HungUp()) break;
      if (d->OutBuffUsed() != 0) break;
    }
    d->draining_.store(false);
    if (d->OutBuffUsed() != 0 && !d->killThreads_.load() && !d->outStopRequest_.load()) continue;
    dropRts();
    if (sent) {
      d->outputSent_.store(true);
      // Let the dispatch thread test the output triggers now rather than in its next round.
      if (d->OutputTriggersArmed()) d->commEvent_.Set();
    }
    return;
  }
}

// ---------------------------------------------------------------------------------------
// Dispatcher
// ---------------------------------------------------------------------------------------

TSioWin32Dispatcher::TSioWin32Dispatcher(void* owner) : TSioBaseDispatcher(owner) {}

TSioWin32Dispatcher::~TSioWin32Dispatcher() { Shutdown(); }

void TSioWin32Dispatcher::Shutdown() {
  // A close deferred during a notification is carried out by the dispatch thread itself as
  // it leaves its loop: stopping the threads here beside it would have the two of them
  // joining each other. Wake it instead and let it finish.
  if (closeDeferred_.load())
    commEvent_.Set();
  else
    DonePort();
  // A release that a worker thread is carrying out finishes first, and so does every window
  // handler left running (it may still read); one up this thread's own stack cannot be
  // waited for.
  PumpWait([this] {
    {
      std::lock_guard<std::mutex> g(threadLock_);
      if (runningThreads_.load() != 0) return false;
    }
    return !LateHandlerRunningElsewhere();
  });
  // No thread is left: this only frees what no release has freed yet.
  DonePortPrim();
  {
    std::lock_guard<std::mutex> g(joinLock_);
    if (com_) com_->Join();
    if (disp_) disp_->Join();
    if (out_) out_->Join();
  }
  CloseDevicePrim();
}

// Priorities counted from idle 0 (3 normal): the communications and dispatch threads run
// at boost + 3, the output thread one step higher in RS485 mode. A step is 5 nice levels;
// raising needs the right to do so, and without it the threads simply stay at normal.
void TSioWin32Dispatcher::ApplyPriority(TSioDispatcherThread* t) {
  if (t == nullptr || t->Tid() == 0) return;
  int prio = threadBoost_.load() + 3;
  if (dynamic_cast<TOutThread*>(t) != nullptr && rs485_.load()) ++prio;
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(t->Tid()), -(prio - 3) * 5);
}

void TSioWin32Dispatcher::SetThreadBoost(std::uint8_t boost) {
  TSioBaseDispatcher::SetThreadBoost(boost);
  std::lock_guard<std::mutex> g(threadLock_);
  ApplyPriority(comThread_);
  ApplyPriority(dispThread_);
  ApplyPriority(outThread_);
}

void TSioWin32Dispatcher::ThreadStarted() {
  std::lock_guard<std::mutex> g(threadLock_);
  started1_ = true;
  threadCv_.notify_all();
}

void TSioWin32Dispatcher::AckOutputStop() {
  std::unique_lock<std::mutex> g(threadLock_);
  // A wake-up left over from a request that has already ended asks for nothing.
  if (!outStopRequest_.load()) return;
  ++outStopAcks_;
  threadCv_.notify_all();
  // Wait for the end of this request, not for the flag: a second flush may raise the flag
  // again before this thread wakes, and must then get an acknowledgement of its own.
  const std::uint64_t releases = outStopReleases_;
  threadCv_.wait(g, [&] { return outStopReleases_ != releases || killThreads_.load(); });
}

int TSioWin32Dispatcher::StartDispatcher() {
  {
    std::lock_guard<TSioLock> g(TriggerLock());
    if (started_.load()) throw ESIOException(std::string("Dispatcher already started"));
    started_ = true;
    killThreads_ = false;
  }
  releasePending_ = false;
  hangupReported_ = false;
  pendingEvents_ = 0;
  outStopRequest_ = false;
  polledLines_ = 0;
  unsigned lines = 0;
  if (ReadModemLines(lines)) polledLines_ = lines;

  auto launch = [this](TSioDispatcherThread* t, TSioDispatcherThread*& slot) {
    std::unique_lock<std::mutex> g(threadLock_);
    started1_ = false;
    slot = t;
    runningThreads_.fetch_add(1);
    g.unlock();
    try {
      t->Start();
    } catch (...) {
      g.lock();
      slot = nullptr;
      if (runningThreads_.fetch_sub(1) == 1) started_ = false;
      return;
    }
    g.lock();
    threadCv_.wait_for(g, std::chrono::milliseconds(kStartAckMs), [this] { return started1_; });
  };
  com_ = std::make_unique<TComThread>(this);
  launch(com_.get(), comThread_);
  disp_ = std::make_unique<TDispThread>(this);
  launch(disp_.get(), dispThread_);
  out_ = std::make_unique<TOutThread>(this);
  launch(out_.get(), outThread_);
  return 0;
}

void TSioWin32Dispatcher::StopDispatcher() {
  {
    std::lock_guard<TSioLock> g(TriggerLock());
    if (!started_.load()) return;
    killThreads_ = true;
  }
  auto gone = [this](TSioDispatcherThread* const& slot) {
    std::lock_guard<std::mutex> g(threadLock_);
    return slot == nullptr;
  };
  // Output thread.
  outSignals_.Set(1);
  device_.WakeWriter();
  {
    std::lock_guard<std::mutex> g(threadLock_);
    threadCv_.notify_all();
  }
  PumpWait([&] { return gone(outThread_); });
  // Communications thread.
  device_.WakeReader();
  eventsHandled_.Set();
  PumpWait([&] { return gone(comThread_); });
  // Dispatch thread (already forgotten when this runs on it as part of its release).
  commEvent_.Set();
  PumpWait([&] { return gone(dispThread_); });
  {
    std::lock_guard<std::mutex> g(joinLock_);
    if (out_) out_->Join();
    if (com_) com_->Join();
    if (disp_) disp_->Join();
  }
  if (closePending_.exchange(false)) CloseDevicePrim();
}

void TSioBaseDispatcher::ThreadGone(TSioDispatcherThread* thread) {
  bool release = false;
  {
    std::lock_guard<std::mutex> g(threadLock_);
    if (thread == comThread_) comThread_ = nullptr;
    if (thread == outThread_) outThread_ = nullptr;
    if (thread == dispThread_) {
      dispThread_ = nullptr;
      release = releasePending_.exchange(false);
    }
    threadCv_.notify_all();
  }
  if (release) DonePortPrim();
  std::lock_guard<std::mutex> g(threadLock_);
  if (runningThreads_.fetch_sub(1) == 1) started_ = false;
  threadCv_.notify_all();
}

void TSioWin32Dispatcher::CloseDevicePrim() { device_.Close(); }

int TSioWin32Dispatcher::OpenCom(const char* name, int, int) {
  std::string path = TSerialDevice::PathForName(name != nullptr ? name : "");
  if (path.empty()) return ecFileNotFound;
  int e = device_.Open(path);
  if (e != 0) {
    // A node without a device behind it is a port that does not exist.
    if (e == ENOENT || e == ENXIO || e == ENODEV || e == EIO || e == ENOTTY) return ecFileNotFound;
    return SioErrorFromErrno(e);
  }
  return device_.Fd();
}

int TSioWin32Dispatcher::CloseCom() {
  int r = 0;
  if (started_.load()) {
    // The threads are told to end; the descriptor stays open until they have.
    killThreads_ = true;
    outSignals_.Set(1);
    device_.WakeWriter();
    device_.WakeReader();
    eventsHandled_.Set();
    commEvent_.Set();
    {
      std::lock_guard<std::mutex> g(threadLock_);
      threadCv_.notify_all();
    }
    closePending_ = true;
  } else {
    r = device_.Close() == 0 ? 0 : -1;
  }
  deviceHandle_.store(-1, std::memory_order_release);
  return r;
}

int TSioWin32Dispatcher::EscapeComFunction(int function) {
  int e = 0;
  switch (function) {
    case efSetRTS:
      e = device_.SetModemLine(kSerialRTS, true);
      break;
    case efClrRTS:
      e = device_.SetModemLine(kSerialRTS, false);
      break;
    case efSetDTR:
      e = device_.SetModemLine(kSerialDTR, true);
      break;
    case efClrDTR:
      e = device_.SetModemLine(kSerialDTR, false);
      break;
    case efSetBreak:
      e = device_.SetBreak(true);
      break;
    case efClrBreak:
      e = device_.SetBreak(false);
      break;
    default:
      break;  // no UART base address on this platform
  }
  return e == 0 ? 0 : SioErrorFromErrno(e);
}

int TSioWin32Dispatcher::FlushCom(int queue) {
  if (queue == 1) {
    int e = device_.Flush(true, false);
    return e == 0 ? 0 : SioErrorFromErrno(e);
  }
  bool haveThread;
  {
    std::lock_guard<std::mutex> g(threadLock_);
    haveThread = outThread_ != nullptr;
  }
  if (haveThread && !killThreads_.load()) {
    std::unique_lock<std::mutex> g(threadLock_);
    std::uint64_t acks = outStopAcks_;
    outStopRequest_ = true;
    g.unlock();
    outSignals_.Set(1);
    device_.WakeWriter();
    g.lock();
    threadCv_.wait(g, [&] { return outStopAcks_ != acks || outThread_ == nullptr || killThreads_.load(); });
    g.unlock();
  }
  {
    std::lock_guard<TSioLock> g(OutputLock());
    outHead_ = outTail_ = 0;
    outFull_ = false;
    ++outGeneration_;
  }
  int e = device_.Flush(false, true);
  {
    std::lock_guard<std::mutex> g(threadLock_);
    outStopRequest_ = false;
    ++outStopReleases_;
    threadCv_.notify_all();
  }
  return e == 0 ? 0 : SioErrorFromErrno(e);
}

std::uint32_t TSioWin32Dispatcher::PollComErrors() {
  std::uint32_t errors = 0;
  if (!device_.IsOpen()) return 0;
  TSerialErrorCounts c;
  if (device_.GetErrorCounts(c) == 0) {
    std::lock_guard<TSioLock> g(TriggerLock());
    if (c.overrun != lastCounts_.overrun) errors |= leOverrun;
    if (c.bufOverrun != lastCounts_.bufOverrun) errors |= leRxOverflow;
    if (c.parity != lastCounts_.parity) errors |= leParity;
    if (c.frame != lastCounts_.frame) errors |= leFraming;
    if (c.brk != lastCounts_.brk) errors |= leBreak;
    if (c.overrun || c.bufOverrun || c.parity || c.frame || c.brk) lastCounts_ = c;
  }
  // A device that went away reports it once, as a break of the line.
  if (device_.HungUp() && !hangupReported_.exchange(true)) errors |= leBreak;
  return errors;
}

std::uint32_t TSioWin32Dispatcher::GetComError(TComStat& stat) {
  stat = {};
  std::uint32_t errors = PollComErrors();
  if (device_.IsOpen()) {
    stat.InQue = static_cast<std::uint32_t>(device_.InputQueued());
    if (ctsFlow_.load()) {
      unsigned lines = 0;
      if (ReadModemLines(lines) && !(lines & kSerialCTS)) stat.Flags |= csCtsHold;
    }
    if (dsrFlow_.load()) {
      unsigned lines = 0;
      if (ReadModemLines(lines) && !(lines & kSerialDSR)) stat.Flags |= csDsrHold;
    }
  }
  {
    std::lock_guard<TSioLock> g(OutputLock());
    stat.OutQue = OutRingUsedLocked();
  }
  return errors;
}

int TSioWin32Dispatcher::GetComEventMask(std::uint32_t) { return 0; }

int TSioWin32Dispatcher::GetComState(TLineState& st) {
  TSerialSettings s;
  if (device_.GetSettings(s) != 0) return -1;
  std::lock_guard<TSioLock> g(TriggerLock());
  if (shadowValid_) {
    st = shadow_;
  } else {
    st = TLineState{};
    st.Flags = lfBinary | lfDtrEnable | lfRtsEnable;
  }
  st.BaudRate = s.baud;
  st.ByteSize = s.dataBits;
  st.Parity = s.parity;
  st.StopBits = s.stopBits == 0 ? sbOne : (s.stopBits == 1 ? sbOneHalf : sbTwo);
  if (s.parity != 0)
    st.Flags |= lfParity;
  else
    st.Flags &= ~lfParity;
  bool askedHw = (st.Flags & lfOutxCtsFlow) || (st.Flags & lfRtsControlMask) == lfRtsHandshake;
  if (s.rtsCts && !askedHw) {
    st.Flags |= lfOutxCtsFlow;
    st.Flags = (st.Flags & ~lfRtsControlMask) | lfRtsHandshake;
  } else if (!s.rtsCts && askedHw) {
    st.Flags &= ~lfOutxCtsFlow;
    if ((st.Flags & lfRtsControlMask) == lfRtsHandshake)
      st.Flags = (st.Flags & ~lfRtsControlMask) | lfRtsEnable;
  }
  st.Flags = (st.Flags & ~(lfOutX | lfInX)) | (s.xonXoffOut ? lfOutX : 0) | (s.xonXoffIn ? lfInX : 0);
  st.XonChar = s.xonChar;
  st.XoffChar = s.xoffChar;
  return 0;
}

int TSioWin32Dispatcher::SetComState(const TLineState& st) {
  TSerialSettings s;
  s.baud = TSioBaseDispatcher::TranslateBaudRate(st.BaudRate);
  s.dataBits = st.ByteSize;
  s.parity = st.Parity;
  s.stopBits = st.StopBits == sbOne ? 0 : (st.StopBits == sbOneHalf ? 1 : 2);
  if (st.StopBits == sbOneHalf && st.ByteSize != 5) s.stopBits = 2;
  std::uint32_t rtsc = st.Flags & lfRtsControlMask;
  s.rtsCts = (st.Flags & lfOutxCtsFlow) || rtsc == lfRtsHandshake;
  s.xonXoffOut = st.Flags & lfOutX;
  s.xonXoffIn = st.Flags & lfInX;
  s.xonChar = st.XonChar;
  s.xoffChar = st.XoffChar;
  int e = device_.SetSettings(s);
  if (e != 0) return SioErrorFromErrno(e);
  bool toggle = rtsc == lfRtsToggle;
  if (toggle != rtsToggle_.load()) {
    bool byDriver = device_.SetRS485(toggle);
    rs485ByDriver_ = toggle && byDriver;
    rtsToggle_ = toggle;
    // Between transmissions RTS is low (receiving).
    if (toggle && !byDriver) device_.SetModemLine(kSerialRTS, false);
  }
  dsrFlow_ = (st.Flags & lfOutxDsrFlow) != 0;
  ctsFlow_ = (st.Flags & lfOutxCtsFlow) != 0;
  std::lock_guard<TSioLock> g(TriggerLock());
  shadow_ = st;
  shadowValid_ = true;
  return 0;
}

int TSioWin32Dispatcher::ReadCom(std::uint8_t* buffer, int count) {
  ssize_t n = device_.Read(buffer, static_cast<std::size_t>(count));
  return n > 0 ? static_cast<int>(n) : 0;
}

int TSioWin32Dispatcher::ReadComPieces(std::uint8_t* first, int firstCount, std::uint8_t* second,
                                       int secondCount) {
  ssize_t n = device_.Read(first, static_cast<std::size_t>(std::max(firstCount, 0)), second,
                           static_cast<std::size_t>(std::max(secondCount, 0)));
  return n > 0 ? static_cast<int>(n) : 0;
}

int TSioWin32Dispatcher::WriteCom(const std::uint8_t* buffer, int count) {
  {
    std::lock_guard<TSioLock> g(OutputLock());
    if (!outBuff_ || count <= 0) return 0;
    std::uint32_t n = static_cast<std::uint32_t>(count);
    // A short answer (an acknowledgement, a frame header) with nothing queued before it goes
    // to the line from this thread, so that it does not wait for the output thread to wake
    // up; what the line does not take now is queued. The output thread moves the tail only
    // once its bytes are written, so nothing overtakes them. Longer blocks are the output
    // thread's, which leaves the caller free to prepare the next one. The output thread still
    // sees the signal below and waits for the bytes to leave the line; flow control by DSR
    // and RTS raised for the transmission stay with it.
    if (n <= kDirectWriteMax && !outFull_ && outHead_ == outTail_ && !dsrFlow_.load() && !outStopRequest_.load() &&
        !(rtsToggle_.load() && !rs485ByDriver_.load())) {
      ssize_t written = device_.Write(buffer, n);
      if (written > 0) {
        buffer += written;
        n -= static_cast<std::uint32_t>(written);
      }
    }
    if (n > 0) {
      std::uint32_t first = std::min(n, outSize_ - outHead_);
      std::memcpy(outBuff_.get() + outHead_, buffer, first);
      if (first < n) std::memcpy(outBuff_.get(), buffer + first, n - first);
      outHead_ += n;
      if (outHead_ >= outSize_) outHead_ -= outSize_;
      if (outHead_ == outTail_) outFull_ = true;
    }
  }
  outSignals_.Set(0);
  if (draining_.load()) device_.WakeWriter();
  return count;
}

bool TSioWin32Dispatcher::WaitComEvent(std::uint32_t& mask) {
  mask = 0;
  int r = device_.WaitReadable(0, true);
  if (r & TSerialDevice::WaitData) mask |= evRxChar;
  if (r & TSerialDevice::WaitHangup) mask |= evErr | evBreak;
  return mask != 0;
}

bool TSioWin32Dispatcher::SetupCom(int, int) { return true; }

int TSioWin32Dispatcher::ProcessCommunications() {
  std::this_thread::yield();
  return 0;
}

bool TSioWin32Dispatcher::ReadModemLines(unsigned& lines) {
  lines = 0;
  if (!device_.IsOpen() || !device_.HasModemLines()) return false;
  return device_.GetModemLines(lines) == 0;
}

std::uint8_t TSioWin32Dispatcher::ReadModemLevels() {
  unsigned lines = 0;
  if (!ReadModemLines(lines)) return 0;
  std::uint8_t ms = 0;
  if (lines & kSerialCTS) ms |= msCTS;
  if (lines & kSerialDSR) ms |= msDSR;
  if (lines & kSerialRI) ms |= msRI;
  if (lines & kSerialDCD) ms |= msDCD;
  return ms;
}

std::uint32_t TSioWin32Dispatcher::PollLineEvents() {
  unsigned lines = 0;
  if (!ReadModemLines(lines)) {
    // A device that has gone away reads all lines off.
    if (polledLines_.load() == 0) return 0;
    lines = 0;
  }
  unsigned changed =
      (lines ^ polledLines_.exchange(lines)) & (kSerialCTS | kSerialDSR | kSerialRI | kSerialDCD);
  std::uint32_t mask = 0;
  if (changed & kSerialCTS) mask |= evCTS;
  if (changed & kSerialDSR) mask |= evDSR;
  if (changed & kSerialDCD) mask |= evRLSD;
  if (changed & kSerialRI) {
    mask |= evRing;
    if (!(lines & kSerialRI)) ringSeen_ = true;  // trailing edge of the ring signal
  }
  return mask;
}

void TSioWin32Dispatcher::DispatchRoomMade() { device_.WakeReader(); }

// ---------------------------------------------------------------------------------------
// Telephony hand-over
// ---------------------------------------------------------------------------------------

TSioTAPI32Dispatcher::TSioTAPI32Dispatcher(void* owner, int deviceHandle)
    : TSioWin32Dispatcher(owner), handedOver_(deviceHandle) {}

int TSioTAPI32Dispatcher::OpenCom(const char*, int, int) {
  if (handedOver_ < 0) return ecCommNotOpen;
  int e = device_.Adopt(handedOver_);
  if (e != 0) return e == EBADF ? ecCommNotOpen : SioErrorFromErrno(e);
  return device_.Fd();
}

// ---------------------------------------------------------------------------------------
// Socket device layer
// ---------------------------------------------------------------------------------------

TSioWinsockDispatcher::TSioWinsockDispatcher(void* owner, int socket)
    : TSioWin32Dispatcher(owner), socket_(socket) {
  line_.BaudRate = 115200;
  line_.Flags = lfBinary | lfDtrEnable | lfRtsEnable;
}

int TSioWinsockDispatcher::OpenCom(const char*, int, int) {
  struct stat st;
  if (socket_ < 0 || ::fstat(socket_, &st) != 0) return ecCommNotOpen;
  if (!S_ISSOCK(st.st_mode)) return ecBadArgument;
  // From here on the descriptor is the port's: no notices to a window beside it.
  WsReleaseSocket(socket_);
  int e = device_.Adopt(socket_);
  if (e != 0) return SioErrorFromErrno(e);
  return device_.Fd();
}

int TSioWinsockDispatcher::GetComState(TLineState& state) {
  std::lock_guard<std::mutex> g(lineLock_);
  state = line_;
  return 0;
}

int TSioWinsockDispatcher::SetComState(const TLineState& state) {
  std::lock_guard<std::mutex> g(lineLock_);
  line_ = state;
  return 0;
}
