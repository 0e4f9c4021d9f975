#pragma once
// The dispatcher behind one open serial port: the receive ring (dispatch buffer) that a
// worker thread fills from the device, the output ring that a second worker thread drains
// to it, line settings, flow control, modem lines and line errors, triggers and their
// notifications. The device itself is reached through the virtual operations that a device
// layer supplies (TSioWin32Dispatcher, TSioTAPI32Dispatcher in SioWin32.h).
//
// Every routine returns 0 or a negative library error code (or a value); none raises,
// except StartDispatcher on a dispatcher that already runs.
//
// Thread contract
// ---------------
// Who runs what:
// - Application threads (the window thread that owns the port component, the acquisition
//   thread, the fax and transfer engines' threads) open and close the port, change the
//   settings, queue output (PutBlock), add and remove triggers, read, flush and wait for
//   text. Every such call takes the lock of the state it touches and returns; none blocks on
//   a worker thread, except FlushOutBuffer (until the output thread acknowledges), SetLine
//   (until the output has left the line) and the close (below).
// - The communications thread (SioWin32.h) only waits on the device, records the events in
//   its pending mask, wakes the dispatch thread and waits until that one has handled them.
//   While a stream keeps coming the dispatch thread reads on without being woken.
// - The dispatch thread is the only one that reads the device into the dispatch buffer
//   (ExtractData: the head moves only here, by one read of whatever fits, under the
//   dispatch-buffer lock, so a flush comes wholly before or after it) and tests the triggers
//   (the start bytes of the data patterns are looked for over whole contiguous pieces; the
//   matching goes byte by byte only from a start byte on). It sends every
//   notification itself: method and procedure handlers run on it, synchronised method
//   handlers on the window thread (RunOnMainThread) and window handlers on their window's
//   thread, as a message sent from the dispatch thread (SendMessageTimeout, 3 s). It waits
//   for each handler, a window handler at most 3 s: one still running then is left to
//   finish on its own thread and the notification goes on without it. No lock is held while
//   a handler runs. The head does not move while a notification runs.
// - The output thread drains the output ring to the device and sets "output sent". A short
//   block (PutBlock) that finds the ring empty goes to the device from the caller's thread
//   instead, under the output lock, ahead of nothing: the output thread moves the ring's tail
//   only after its bytes are written.
//
// Atomic flags, and who writes them:
// - killThreads_: StartDispatcher clears it; CloseCom and StopDispatcher (the closing thread)
//   set it. started_: StartDispatcher sets it, the last worker's ThreadGone clears it.
//   runningThreads_: counted up by StartDispatcher for each worker, down by its ThreadGone.
//   releasePending_: set by the dispatch thread as it ends after a deferred close, taken by
//   its ThreadGone.
// - closeDeferred_: set by DonePort while EventBusy(), cleared by the next open.
// - waitBusy_: the busy mark of a wait, written only through SetEventBusy by application
//   threads (WaitForString, WaitForMultiString, PrepareWait, the fax engine's commands).
//   inNotification_: the dispatch thread, for the length of one notification.
// - outputSent_: set by the output thread when the output has left the line, taken by the
//   dispatch thread when the status trigger fires. ringSeen_: set by the dispatch thread on
//   the trailing edge of a ring, taken by GetModemStatusPrim. statusHit_: dispatch thread.
// - lastError_: or-ed by RefreshStatus (any thread), cleared by GetLineError and
//   CheckLineBreak. outFreeArmed_: set by SetStatusTrigger, cleared by the output thread's
//   test when no free-space trigger is armed. handlerServiceNeeded_ and lengthTrigger_: under
//   the trigger lock by the register, deregister and trigger calls (and the dispatch thread
//   when it purges deregistered handlers at the end of a notification).
// - deviceHandle_, lastBaud_, rs485_, threadBoost_, tracing_, dispatchLogging_: application
//   threads (open, close and settings); the worker threads only read them.
//
// Reading during a notification: while an avail or data notification runs, reads made by
// one of its handler calls are relative: every call starts at the first unread byte, GetChar
// and GetBlock add to its own count instead of moving the tail, and when the notification
// ends the tail moves once by the largest count a call took. A call is known by a token of
// its own (TSioHandlerCall), not by its thread: a method or procedure handler runs inside a
// scope that names it (TSioHandlerScope), a window procedure inside a send tagged with it. So
// a call keeps its own reading position wherever it runs, and a window procedure left running
// past its 3 s never counts as a handler of a later notification, even on the thread that runs
// the next window handler. Such a call may go on reading the bytes of its own notification up
// to where the tail moved at its end (those that another handler took and it has not), never
// further: what lies beyond belongs to the next notification, which its window hears of in
// turn. Those bytes stay in the ring for it while there is room for new ones; when the ring
// needs their room, the call is cut off there. Any other reader meanwhile (a wait started
// during the notification, another thread) finds no bytes until the notification has ended,
// so no byte ever reaches both a handler and someone else. A wait's busy mark keeps new
// notifications from starting; the dispatch thread tests it under the dispatch-buffer lock
// before it begins one. A flush during a notification discards everything present once the
// notification ends; until then the handlers read the bytes they were told about, except a
// handler that flushed itself, which finds the buffer empty at once. A flush also ends what a
// call left running may still read. Data notifications still due from a scan that a flush
// overtook are dropped.
//
// Closing: DonePort flushes, and CloseCom tells the workers to end and wakes them; the
// device stays open until they have gone. Outside a notification the closing thread then
// stops the workers itself (DonePortPrim: StopDispatcher handles its messages while it waits,
// so that a worker in a sent message or synchronised call can finish) and frees the buffers.
// While EventBusy(), or while a window handler left running has not returned yet (it may
// still read), it only sets closeDeferred_: the running notification stops after the
// current handler, the dispatch thread leaves its loop and, in its ThreadGone, stops the
// other workers (and frees the buffers unless a handler left running may still read them);
// the port component posts SW_CLOSEPENDING to its window and frees the dispatcher once
// StillInUse() is false: no worker runs and every handler left running has returned, on
// whatever thread. The destructor waits the same way before anything goes, except for a
// handler left running on the destroying thread itself (up its stack), which it cannot wait
// for.
//
// Locks: where two are held, the dispatch-buffer lock first, then the trigger lock.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/Messages.h"
#include "platform/Threads.h"
#include "serial/SioMisc.h"

// ---------------------------------------------------------------------------------------
// Notification messages (wParam, lParam: data in the low word, dispatcher handle in the high)
// ---------------------------------------------------------------------------------------
constexpr UINT SW_TRIGGERAVAIL = 0x7E01;   // wParam: count of bytes
constexpr UINT SW_TRIGGERDATA = 0x7E02;    // wParam: trigger handle, low word: pattern length
constexpr UINT SW_TRIGGERTIMER = 0x7E03;   // wParam: trigger handle
constexpr UINT SW_TRIGGERSTATUS = 0x7E04;  // wParam: trigger handle (with kind), low word: data
constexpr UINT SW_PORTOPEN = 0x7E08;
constexpr UINT SW_PORTCLOSE = 0x7E09;
constexpr UINT SW_CLOSEPENDING = 0x7E0A;

// Size of the dispatch buffer, whatever the input queue size.
constexpr std::uint32_t DispatchBufferSize = 8192;
// Longest data-trigger pattern.
constexpr std::uint32_t MaxTrigData = 21;
// Handle of the length (avail) trigger.
constexpr std::uint16_t LengthTriggerHandle = 1;

// Status trigger kinds.
constexpr std::uint32_t stNotActive = 0;
constexpr std::uint32_t stModem = 1;
constexpr std::uint32_t stLine = 2;
constexpr std::uint32_t stOutBuffFree = 3;
constexpr std::uint32_t stOutBuffUsed = 4;
constexpr std::uint32_t stOutSent = 5;

// Line-error bits of the last error.
constexpr std::uint32_t leRxOverflow = 0x01;
constexpr std::uint32_t leOverrun = 0x02;
constexpr std::uint32_t leParity = 0x04;
constexpr std::uint32_t leFraming = 0x08;
constexpr std::uint32_t leBreak = 0x10;

// Modem status byte (layout of a UART modem status register).
constexpr std::uint8_t msDeltaCTS = 0x01;
constexpr std::uint8_t msDeltaDSR = 0x02;
constexpr std::uint8_t msTrailingRI = 0x04;
constexpr std::uint8_t msDeltaDCD = 0x08;
constexpr std::uint8_t msCTS = 0x10;
constexpr std::uint8_t msDSR = 0x20;
constexpr std::uint8_t msRI = 0x40;
constexpr std::uint8_t msDCD = 0x80;

// Events of the device's event wait.
constexpr std::uint32_t evRxChar = 0x0001;
constexpr std::uint32_t evCTS = 0x0008;
constexpr std::uint32_t evDSR = 0x0010;
constexpr std::uint32_t evRLSD = 0x0020;
constexpr std::uint32_t evBreak = 0x0040;
constexpr std::uint32_t evErr = 0x0080;
constexpr std::uint32_t evRing = 0x0100;
constexpr std::uint32_t evRingTE = 0x2000;
constexpr std::uint32_t evModemEvents = 0x2138;  // CTS, DSR, carrier, ring, trailing edge of ring
constexpr std::uint32_t evLineEvents = evBreak | evErr;

// Escape functions of the device layer.
constexpr int efSetRTS = 3;
constexpr int efClrRTS = 4;
constexpr int efSetDTR = 5;
constexpr int efClrDTR = 6;
constexpr int efSetBreak = 8;
constexpr int efClrBreak = 9;
constexpr int efGetBaseAddress = 10;

// Line settings record of the driver.
struct TLineState {
  std::uint32_t BaudRate = 0;
  std::uint32_t Flags = 0;  // lf* bits below
  std::uint16_t XonLim = 0;
  std::uint16_t XoffLim = 0;
  std::uint8_t ByteSize = 8;
  std::uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t StopBits = 0;  // sbOne, sbOneHalf, sbTwo
  std::uint8_t XonChar = 17;
  std::uint8_t XoffChar = 19;
};
constexpr std::uint8_t sbOne = 0;
constexpr std::uint8_t sbOneHalf = 1;
constexpr std::uint8_t sbTwo = 2;

constexpr std::uint32_t lfBinary = 0x0001;
constexpr std::uint32_t lfParity = 0x0002;
constexpr std::uint32_t lfOutxCtsFlow = 0x0004;
constexpr std::uint32_t lfOutxDsrFlow = 0x0008;
constexpr std::uint32_t lfDtrControlMask = 0x0030;
constexpr std::uint32_t lfDtrDisable = 0x0000;
constexpr std::uint32_t lfDtrEnable = 0x0010;
constexpr std::uint32_t lfDtrHandshake = 0x0020;
constexpr std::uint32_t lfDsrSensitivity = 0x0040;
constexpr std::uint32_t lfTxContinueOnXoff = 0x0080;
constexpr std::uint32_t lfOutX = 0x0100;
constexpr std::uint32_t lfInX = 0x0200;
constexpr std::uint32_t lfRtsControlMask = 0x3000;
constexpr std::uint32_t lfRtsDisable = 0x0000;
constexpr std::uint32_t lfRtsEnable = 0x1000;
constexpr std::uint32_t lfRtsHandshake = 0x2000;
constexpr std::uint32_t lfRtsToggle = 0x3000;

// Status record of the driver.
struct TComStat {
  std::uint32_t Flags = 0;   // csCtsHold ...
  std::uint32_t InQue = 0;   // bytes waiting in the driver's input queue
  std::uint32_t OutQue = 0;  // bytes waiting for output (the output ring)
};
constexpr std::uint32_t csCtsHold = 0x01;
constexpr std::uint32_t csDsrHold = 0x02;
constexpr std::uint32_t csRlsdHold = 0x04;
constexpr std::uint32_t csXoffHold = 0x08;
constexpr std::uint32_t csXoffSent = 0x10;

// Hardware and software flow option bits.
constexpr std::uint32_t hfUseDTR = 1;
constexpr std::uint32_t hfUseRTS = 2;
constexpr std::uint32_t hfRequireDSR = 4;
constexpr std::uint32_t hfRequireCTS = 8;
constexpr std::uint32_t sfTransmitFlow = 1;
constexpr std::uint32_t sfReceiveFlow = 2;

enum TTriggerType { ttNone, ttAvail, ttTimer, ttData, ttStatus };
enum TApHandlerFlagUpdate { fuKeepPort, fuEnablePort, fuDisablePort };
enum TApThreadBoost { tbNone, tbPlusOne, tbPlusTwo };

// Kinds of dispatch-log entries (labels: string table 15001 + ordinal, 15100 + value).
enum TDispatchType : std::uint8_t {
  dtNone,
  dtDispatch,
  dtTrigger,
  dtError,
  dtThread,
  dtTriggerAlloc,
  dtTriggerDispose,
  dtTriggerHandlerAlloc,
  dtTriggerHandlerDispose,
  dtTriggerDataChange,
  dtTelnet,
  dtFax,
  dtXModem,
  dtYModem,
  dtZModem,
  dtKermit,
  dtAscii,
  dtBPlus,
  dtPacket,
  dtUser
};
// 16 bits: the 252 labelled values of the string table are all taken by the dispatcher, the
// packets, the fax engine and the transfer engines up to Kermit; B+ follows behind them.
using TDispatchSubType = std::uint16_t;
constexpr TDispatchSubType dstNone = 0;
constexpr TDispatchSubType dstReadCom = 1;
constexpr TDispatchSubType dstWriteCom = 2;
constexpr TDispatchSubType dstLineStatus = 3;
constexpr TDispatchSubType dstModemStatus = 4;
constexpr TDispatchSubType dstAvail = 5;
constexpr TDispatchSubType dstTimer = 6;
constexpr TDispatchSubType dstData = 7;
constexpr TDispatchSubType dstStatus = 8;
constexpr TDispatchSubType dstThreadStart = 9;
constexpr TDispatchSubType dstThreadExit = 10;
constexpr TDispatchSubType dstThreadSleep = 11;
constexpr TDispatchSubType dstThreadWake = 12;
constexpr TDispatchSubType dstDataTrigger = 13;
constexpr TDispatchSubType dstTimerTrigger = 14;
constexpr TDispatchSubType dstStatusTrigger = 15;
constexpr TDispatchSubType dstAvailTrigger = 16;
constexpr TDispatchSubType dstWndHandler = 17;
constexpr TDispatchSubType dstProcHandler = 18;
constexpr TDispatchSubType dstEventHandler = 19;

// Receives the trace and dispatch-log entries of a dispatcher. The trace and log keeper
// installs one with SetRecorder; calls come under the dispatcher's trigger lock.
class TSioDispatchRecorder {
 public:
  virtual ~TSioDispatchRecorder() = default;
  // kind 'T' a byte queued for output, 'R' a byte taken by the application.
  virtual void TraceEntry(char kind, std::uint8_t c) = 0;
  virtual void DispatchEntry(TDispatchType type, TDispatchSubType subType, std::uint32_t data,
                             const void* bytes, std::uint32_t count) = 0;
};

// Handlers. A procedure handler is a plain routine; a method handler is a routine with the
// object it belongs to (compared by both), made with TSioNotifyEvent::Of<&T::Method>(obj).
using TSioNotifyProc = void (*)(UINT msg, WPARAM wParam, LPARAM lParam);
struct TSioNotifyEvent {
  void (*Code)(void* self, UINT msg, WPARAM wParam, LPARAM lParam) = nullptr;
  void* Data = nullptr;
  bool operator==(const TSioNotifyEvent&) const = default;
  explicit operator bool() const { return Code != nullptr; }
  void operator()(UINT msg, WPARAM wParam, LPARAM lParam) const { Code(Data, msg, wParam, lParam); }
  template <auto Method, class T>
  static TSioNotifyEvent Of(T* obj) {
    TSioNotifyEvent e;
    e.Code = [](void* self, UINT m, WPARAM w, LPARAM l) { (static_cast<T*>(self)->*Method)(m, w, l); };
    e.Data = obj;
    return e;
  }
};

// Trigger records.
struct TTimerTrigger {
  std::uint32_t Handle = 0;
  EventTimer Timer{};
  std::int32_t Ticks = 0;
  bool Armed = false;
};
struct TDataTrigger {
  std::uint32_t Handle = 0;
  std::uint32_t Length = 0;
  std::uint32_t Counters[MaxTrigData + 1] = {};
  std::uint32_t Busy = 0;  // bit i set while Counters[i] is not 0
  bool Matched = false;
  bool IgnoreCase = false;
  std::uint8_t Pattern[MaxTrigData] = {};
};
struct TStatusTrigger {
  std::uint32_t Handle = 0;
  std::uint32_t Kind = 0;
  std::uint16_t Condition = 0;
  bool Armed = false;
  bool Hit = false;
};
// Copies of all triggers, kept across a close and reopen of the port.
struct TTriggerSave {
  std::uint32_t LengthTrigger = 0;
  std::vector<TTimerTrigger> Timers;
  std::vector<TStatusTrigger> Status;
  std::vector<TDataTrigger> Data;
};

// A recursive lock (like a critical section) that is destroyed explicitly, so that a
// thread checker never mistakes a new lock at the same address for an old one.
class TSioLock {
 public:
  TSioLock() {
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&m_, &a);
    pthread_mutexattr_destroy(&a);
  }
  ~TSioLock() { pthread_mutex_destroy(&m_); }
  TSioLock(const TSioLock&) = delete;
  TSioLock& operator=(const TSioLock&) = delete;
  void lock() { pthread_mutex_lock(&m_); }
  void unlock() { pthread_mutex_unlock(&m_); }
  bool try_lock() { return pthread_mutex_trylock(&m_) == 0; }

 private:
  pthread_mutex_t m_;
};

// What an engine's notice waits for while the window thread is busy elsewhere.
enum class TEngineNoticeWait {
  // A periodic status: given up when the window thread has not begun it within the time-out;
  // the next one brings the same news.
  Timed,
  // Every other notice: one whose answer the engine reads (accept a file or a call, the next
  // file or fax, its name, resume), one that goes into a history, an error, the first and the
  // last status of a run. It waits until the window thread takes it, for a busy window thread's
  // silence is nobody's answer; it fails only when the window is gone.
  Delivered,
};

// The notices of an engine (fax, file transfer) whose state machine runs as a dispatcher
// handler, to its component's window: abort-if-hung, blocking, and tagged with the engine's
// record, so that a reading of the record knows the handling of the engine's own notice
// (TSioEngineReading). A handler that has begun is waited for either way. True when the
// window answered (its result).
bool SendEngineNotice(const void* engine, HWND window, UINT msg, WPARAM wParam, LPARAM lParam,
                      TEngineNoticeWait wait, DWORD timeoutMs, LRESULT& result);

// Handles the engine's notices to the calling thread, or pauses briefly when none is due.
void WaitForEngine(const void* engine);

// Takes an engine's record lock for a call of the engine or a cancel, from any thread. The
// engine holds the lock while it waits for the window thread to take one of its notices: on
// that thread (the owner of the engine's window) the wait handles the engine's notices, on
// any other it simply blocks.
template <class Lockable>
void LockEngine(Lockable& lock, const void* engine, HWND window) {
  if (lock.try_lock()) return;
  if (window == 0 || GetWindowThreadId(window) != GetCurrentThreadId()) {
    lock.lock();
    return;
  }
  while (!lock.try_lock()) WaitForEngine(engine);
}

// A reading of an engine's record from a thread that the engine sends its notices to (the
// window thread polling a run through a component's getter). The engine holds the record's
// lock for the whole of each of its calls and may wait for this thread's answer to a notice
// meanwhile. So inside the handling of that engine's own notice (at any depth) the engine
// waits with the lock held and the record stands still: nothing is taken. Anywhere else the
// lock is taken, and while this thread waits for it, it handles the engine's notices to it and
// nothing else: no function queued for the window thread and no other message, which might
// free what is being read. (A notice's own handler may destroy the component: the record must
// outlive the reading, see TProtocolReading.)
template <class Lockable>
class TSioEngineReading {
 public:
  TSioEngineReading(Lockable& lock, const void* engine) {
    if (InSendMessageTagged(engine)) return;
    while (!lock.try_lock()) WaitForEngine(engine);
    held_ = &lock;
  }
  ~TSioEngineReading() {
    if (held_ != nullptr) held_->unlock();
  }
  TSioEngineReading(const TSioEngineReading&) = delete;
  TSioEngineReading& operator=(const TSioEngineReading&) = delete;

 private:
  Lockable* held_ = nullptr;
};

// One call of a handler during a notification, the token by which its reads are known.
struct TSioHandlerCall {
  std::uint64_t Begin = 0;  // the first byte of its notification
  std::uint64_t End = 0;    // the call reads no further
  std::uint32_t Taken = 0;  // bytes the call has taken
  bool Relative = false;    // an avail or data notification: the call reads from its own position
  bool Ended = false;       // its notification has ended (a call left running)
  DWORD Thread = 0;         // the thread a window procedure left running runs on
  SendFinished Finished;    // set once that procedure has returned
};

// A small event (manual or automatic reset) for the worker threads.
class TSioSignal {
 public:
  explicit TSioSignal(bool manualReset = false) : manual_(manualReset) {}
  void Set();
  void Reset();
  // True when set within the time (an automatic one is reset); timeoutMs < 0: no limit.
  bool WaitFor(int timeoutMs);
  bool IsSet();

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool set_ = false;
  bool manual_;
};

// The output thread waits for one of two events.
class TSioSignalPair {
 public:
  void Set(int which);  // 0 or 1
  // 0 or 1 for the event that was set (which is reset), -1 after timeoutMs (< 0: no limit).
  int WaitAny(int timeoutMs);

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool set_[2] = {false, false};
};

class TSioDispatcherThread;

class TSioBaseDispatcher {
 public:
  explicit TSioBaseDispatcher(void* owner);
  virtual ~TSioBaseDispatcher();
  TSioBaseDispatcher(const TSioBaseDispatcher&) = delete;
  TSioBaseDispatcher& operator=(const TSioBaseDispatcher&) = delete;

  // ----- device layer (virtual operations) -----
  virtual int EscapeComFunction(int function) = 0;
  virtual int FlushCom(int queue) = 0;  // 0 output, 1 input
  virtual std::uint32_t GetComError(TComStat& stat) = 0;
  virtual int GetComEventMask(std::uint32_t mask) = 0;
  virtual int GetComState(TLineState& state) = 0;
  virtual int ReadCom(std::uint8_t* buffer, int count) = 0;
  // Reads into two pieces (the second only once the first is full); the count or 0.
  virtual int ReadComPieces(std::uint8_t* first, int firstCount, std::uint8_t* second, int secondCount);
  // The line-error bits of GetComError, without the rest of the status.
  virtual std::uint32_t PollComErrors();
  virtual int SetComState(const TLineState& state) = 0;
  virtual int WriteCom(const std::uint8_t* buffer, int count) = 0;
  virtual bool WaitComEvent(std::uint32_t& mask) = 0;
  virtual bool SetupCom(int inSize, int outSize) = 0;
  virtual void DonePortPrim();
  virtual int StartDispatcher() = 0;
  virtual void StopDispatcher() = 0;
  // The device handle (>= 0) or a negative library code.
  virtual int OpenCom(const char* name, int inSize, int outSize) = 0;
  virtual int CloseCom() = 0;
  virtual int ProcessCommunications() = 0;
  virtual void SetThreadBoost(std::uint8_t boost);
  virtual void UpdateHandlerFlags(TApHandlerFlagUpdate kind);
  // Levels of the modem lines in the modem-status layout (msCTS, msDSR, msRI, msDCD).
  virtual std::uint8_t ReadModemLevels() = 0;

  // ----- port list -----
  int Handle() const { return handle_; }
  void* Owner() const { return owner_; }

  // ----- opening and closing -----
  int InitPort(const char* name, std::uint32_t baud, std::uint32_t parity, std::uint32_t dataBits,
               std::uint32_t stopBits, std::uint32_t inSize, std::uint32_t outSize, bool dtr, bool rts);
  int InitSocket(std::uint32_t inSize, std::uint32_t outSize);
  int SetCommBuffers(std::uint32_t inSize, std::uint32_t outSize);
  void DonePort();
  int DeviceHandle() const { return deviceHandle_.load(std::memory_order_acquire); }

  // ----- line settings -----
  int SetLine(std::uint32_t baud, std::uint32_t parity, std::uint32_t dataBits, std::uint32_t stopBits);
  int GetLine(std::uint32_t& baud, std::uint32_t& parity, std::uint32_t& dataBits, std::uint32_t& stopBits);
  int ChangeBaud(std::uint32_t baud) { return SetLine(baud, 5, 9, 3); }
  int SetModem(bool dtr, bool rts);
  int SetDtr(bool on);
  int SetRts(bool on);
  int SendBreak(std::uint32_t ticks, bool yield);
  int SetBreak(bool on);
  int SetCommStateFix(TLineState& state);

  // ----- modem lines and errors -----
  std::uint8_t GetModemStatusPrim(std::uint8_t keepMask);
  std::uint8_t GetModemStatus() { return GetModemStatusPrim(0xF0); }
  bool CheckCTS() { return (GetModemStatusPrim(0xFE) & msCTS) != 0; }
  bool CheckDSR() { return (GetModemStatusPrim(0xFD) & msDSR) != 0; }
  bool CheckRI() { return (GetModemStatusPrim(0xFB) & msRI) != 0; }
  bool CheckDCD() { return (GetModemStatusPrim(0xF7) & msDCD) != 0; }
  bool CheckDeltaCTS() { return (GetModemStatusPrim(0xFE) & msDeltaCTS) != 0; }
  bool CheckDeltaDSR() { return (GetModemStatusPrim(0xFD) & msDeltaDSR) != 0; }
  bool CheckDeltaRI() { return (GetModemStatusPrim(0xFB) & msTrailingRI) != 0; }
  bool CheckDeltaDCD() { return (GetModemStatusPrim(0xF7) & msDeltaDCD) != 0; }
  std::uint32_t RefreshStatus();
  std::uint8_t MapEventsToMS();
  int GetLineError();
  bool CheckLineBreak();
  // The device has gone away (hung up, unplugged, a read error): nothing more comes from it
  // and nothing reaches it. The loss is reported once as a break of the line.
  virtual bool DeviceGone() { return false; }

  // ----- reading -----
  bool CharReady();
  int PeekCharPrim(std::uint8_t& c, std::uint32_t n);
  int PeekChar(std::uint8_t& c, std::uint32_t n);
  int GetChar(std::uint8_t& c);
  int PeekBlockPrim(void* buffer, std::uint32_t offset, std::uint32_t count, bool take);
  int PeekBlock(void* buffer, std::uint32_t count);
  int GetBlock(void* buffer, std::uint32_t count);
  std::uint32_t InBuffUsed();
  std::uint32_t InBuffFree();

  // ----- writing -----
  int PutChar(std::uint8_t c) { return PutBlock(&c, 1); }
  int PutString(std::string_view text) {
    return PutBlock(text.data(), static_cast<std::uint32_t>(text.size()));
  }
  int PutBlock(const void* data, std::uint32_t count);
  std::uint32_t OutBuffUsed();
  std::uint32_t OutBuffFree();
  int FlushOutBuffer() { return FlushCom(0); }
  int FlushInBuffer();
  void BufferSizes(std::uint32_t& inSize, std::uint32_t& outSize);
  // Waits until the output ring is empty and then for TxSentDelayMs.
  void WaitTxSent();
  // The time that 18 characters take at the rate last written to the driver, in the current
  // character format, rounded up to whole milliseconds (doubled when below one millisecond);
  // 0 before a rate was written.
  std::uint32_t TxSentDelayMs();

  // ----- flow control -----
  int HWFlowOptions(std::uint32_t bufferFull, std::uint32_t bufferResume, std::uint32_t options);
  int HWFlowState();
  int SWFlowEnable(std::uint32_t bufferFull, std::uint32_t bufferResume, std::uint32_t options);
  int SWFlowDisable();
  int SWFlowState();
  int SWFlowChars(std::uint8_t xon, std::uint8_t xoff);
  int GetFlowOptions(std::uint32_t& hwOptions, std::uint32_t& swOptions, std::uint32_t& bufferFull,
                     std::uint32_t& bufferResume, std::uint8_t& xon, std::uint8_t& xoff);

  // ----- other -----
  void SetRS485Mode(bool on);
  bool RS485Mode() const { return rs485_.load(std::memory_order_acquire); }
  void SetBaseAddress(std::uint16_t address);
  std::uint16_t GetBaseAddress();
  std::uint8_t ThreadBoost() const { return threadBoost_.load(); }
  int SetDataPointer(void* p, int slot);
  int GetDataPointer(void*& p, int slot);
  void OptionsOn(std::uint32_t bits);
  void OptionsOff(std::uint32_t bits);
  bool OptionsAreOn(std::uint32_t bits);
  // Sets or clears the busy mark of a wait (no trigger is tested while it is set) and gives
  // its previous value.
  void SetEventBusy(bool& previous, bool value);
  // A wait's busy mark is set or a notification runs.
  bool EventBusy() const { return waitBusy_.load() || inNotification_.load(); }
  bool CloseDeferred() const { return closeDeferred_.load(std::memory_order_acquire); }
  // A worker thread runs, or a window handler left running has not returned: the dispatcher
  // must not be freed yet.
  bool StillInUse();
  bool DispatcherStarted() const { return started_.load(std::memory_order_acquire); }
  int RunningThreads() const { return runningThreads_.load(std::memory_order_acquire); }
  void ThreadGone(TSioDispatcherThread* thread);

  // ----- triggers -----
  int ChangeLengthTrigger(std::uint32_t count);
  std::uint32_t LengthTrigger();
  int AddTimerTrigger();
  int SetTimerTrigger(std::uint32_t handle, std::int32_t ticks, bool activate);
  int ExtendTimer(std::uint32_t handle, std::int32_t ticks);
  int TimerTicksRemaining(std::uint32_t handle, std::int32_t& ticks);
  int AddDataTrigger(std::string_view text, bool ignoreCase);
  int AddDataTriggerLen(const void* data, bool ignoreCase, std::uint32_t length);
  int AddStatusTrigger(std::uint32_t kind);
  int SetStatusTrigger(std::uint32_t handle, std::uint32_t value, bool activate);
  int RemoveTrigger(std::uint32_t handle);
  void RemoveAllTriggers();
  // The kind of trigger with that handle (ttNone when none); remove frees it.
  TTriggerType FindTriggerFromHandle(std::uint32_t handle, bool remove);
  static std::uint32_t ClassifyStatusTrigger(std::uint32_t handle) { return handle & 7; }
  void SaveTriggers(TTriggerSave& save);
  void RestoreTriggers(const TTriggerSave& save);
  static void ClearSaveBuffers(TTriggerSave& save);

  int RegisterWndTriggerHandler(HWND window);
  int RegisterProcTriggerHandler(TSioNotifyProc proc);
  int RegisterEventTriggerHandler(TSioNotifyEvent method);
  int RegisterSyncEventTriggerHandler(TSioNotifyEvent method);
  int DeregisterWndTriggerHandler(HWND window);
  int DeregisterProcTriggerHandler(TSioNotifyProc proc);
  int DeregisterEventTriggerHandler(TSioNotifyEvent method);
  bool PortHandlerInstalled();
  bool HandlerServiceNeeded() const { return handlerServiceNeeded_.load(std::memory_order_acquire); }

  bool SendNotify(UINT msg, WPARAM wParam, std::uint32_t data);
  bool CheckTimerTriggers();
  bool CheckStatusTriggers();
  bool CheckReceiveTriggers();
  bool CheckTriggers();
  void ResetStatusHits();
  void ResetDataTriggers();
  // True when an output-buffer or output-sent status trigger is armed.
  bool OutputTriggersArmed();
  // True when a trigger on free output space is armed (cheap while none is).
  bool OutFreeTriggerArmed();

  // ----- trace and dispatch log hooks -----
  void SetRecorder(TSioDispatchRecorder* recorder);
  void SetTracing(bool on) { tracing_.store(on, std::memory_order_release); }
  bool Tracing() const { return tracing_.load(std::memory_order_acquire); }
  void SetDispatchLogging(bool on) { dispatchLogging_.store(on, std::memory_order_release); }
  bool DispatchLogging() const { return dispatchLogging_.load(std::memory_order_acquire); }
  void AddTraceEntry(char kind, std::uint8_t c);
  void AddDispatchEntry(TDispatchType type, TDispatchSubType subType, std::uint32_t data,
                        const void* bytes = nullptr, std::uint32_t count = 0);
  // Milliseconds since the port opened.
  std::uint32_t GetDispatchTime() const;

  // ----- the dispatch thread's work (one round) -----
  // Moves what the device holds into the dispatch buffer.
  void ExtractData();
  // Bytes received since the port opened; whether the dispatch buffer is full.
  std::uint64_t ReceivedCount();
  bool DispatchBufferFull();
  // Handles the events of the last event wait, then tests the triggers.
  void HandleEvents(std::uint32_t mask);
  // Tests status and timer triggers until neither fires.
  void CheckIdleTriggers();
  // Milliseconds until the next armed timer trigger can expire (at most maxMs).
  int NextTimerWait(int maxMs);

  // ----- locks -----
  // Order where two are held: dispatch-buffer lock first, then the trigger lock.
  TSioLock& TriggerLock() { return triggerLock_; }
  TSioLock& OutputLock() { return outputLock_; }
  TSioLock& DispatchLock() { return dispatchLock_; }

 protected:
  // Output ring, guarded by the output lock (shared with the device layer).
  std::unique_ptr<std::uint8_t[]> outBuff_;
  std::uint32_t outSize_ = 0;
  std::uint32_t outHead_ = 0;
  std::uint32_t outTail_ = 0;
  bool outFull_ = false;
  std::uint64_t outGeneration_ = 0;  // changes when the ring is emptied by a flush
  static std::uint32_t TranslateBaudRate(std::uint32_t baud);
  std::uint32_t OutRingUsedLocked() const {
    if (outFull_) return outSize_;
    return outHead_ >= outTail_ ? outHead_ - outTail_ : outHead_ + outSize_ - outTail_;
  }

  void* owner_;
  int handle_ = -1;
  std::atomic<int> deviceHandle_{-1};
  std::uint32_t inQueueSize_ = 0;

  // Flags shared with the worker threads.
  std::atomic<bool> killThreads_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> releasePending_{false};
  std::atomic<int> runningThreads_{0};
  std::atomic<bool> closeDeferred_{false};
  std::atomic<bool> waitBusy_{false};        // application threads (SetEventBusy)
  std::atomic<bool> inNotification_{false};  // dispatch thread (SendNotify)
  std::atomic<bool> outputSent_{false};
  std::atomic<bool> ringSeen_{false};
  std::atomic<std::uint32_t> lastError_{0};
  std::atomic<std::uint32_t> lastBaud_{115200};
  std::atomic<bool> rs485_{false};
  std::atomic<std::uint8_t> threadBoost_{0};
  std::atomic<bool> tracing_{false};
  std::atomic<bool> dispatchLogging_{false};
  // Bytes taken out of the dispatch buffer while it was full: the device layer wakes its
  // event wait again.
  virtual void DispatchRoomMade() {}

  // Worker thread bookkeeping (Win32 layer).
  std::mutex threadLock_;
  std::condition_variable threadCv_;
  TSioDispatcherThread* comThread_ = nullptr;
  TSioDispatcherThread* dispThread_ = nullptr;
  TSioDispatcherThread* outThread_ = nullptr;

  // Line state and modem status (trigger lock).
  TLineState lineState_{};
  bool dtrState_ = false, dtrAuto_ = false, rtsState_ = false, rtsAuto_ = false;
  std::uint16_t baseAddress_ = 0;
  std::uint32_t options_ = 0;
  std::uint8_t modemStatus_ = 0;
  TComStat comStat_{};

  // A window handler left running has not returned yet (anywhere, or on a thread other than
  // the calling one).
  bool LateHandlerRunning();
  bool LateHandlerRunningElsewhere();

 private:
  friend class TSioDispatcherThread;
  friend class TSioHandlerScope;
  // The handler call of this dispatcher that the calling thread runs (the innermost one), or
  // null (dispatch-buffer lock).
  TSioHandlerCall* CurrentCallLocked() const;
  // Where the caller reads from and how many bytes it may read; the handler call that reads,
  // when it reads its own way (dispatch-buffer lock).
  TSioHandlerCall* ReadWindowLocked(std::uint64_t& start, std::uint32_t& available) const;
  // Ends what the calls left running may still read (dispatch-buffer lock).
  void CutLateCallsLocked();
  void FreeTriggers();
  std::uint32_t GetTriggerHandle();
  bool HandleInUse(std::uint32_t base) const;
  bool SendNotifyPrim(UINT msg, WPARAM wParam, std::uint32_t data, bool relative);
  void PurgeDeletedHandlers();
  void UpdateHandlerFlagsLocked(TApHandlerFlagUpdate kind);
  bool StatusConditionHolds(TStatusTrigger& t, std::uint32_t& data);
  void StatusRound();
  bool MatchData(TDataTrigger& t, std::uint8_t c);
  std::uint32_t PresentLocked() const { return static_cast<std::uint32_t>(dispHead_ - dispTail_); }
  void TraceBytes(char kind, const std::uint8_t* p, std::uint32_t n);

  TSioLock triggerLock_;
  TSioLock outputLock_;
  // A free-space trigger may be armed (set when one is armed, cleared when a test finds none).
  std::atomic<bool> outFreeArmed_{false};
  TSioLock dispatchLock_;

  // Dispatch buffer. Positions count every byte ever received (the ring index is the
  // position modulo the size), so consumed or discarded bytes can never be scanned again.
  std::unique_ptr<std::uint8_t[]> dispBuff_;
  std::uint64_t dispHead_ = 0;       // next byte from the device
  std::uint64_t dispTail_ = 0;       // next byte for the application
  std::uint64_t scanPos_ = 0;        // next byte for the data triggers
  std::uint64_t notifyPos_ = ~0ull;  // head at the last avail notification
  bool inRelative_ = false;          // an avail or data notification runs
  std::uint32_t largestGetCount_ = 0;
  std::uint64_t flushes_ = 0;  // counts FlushInBuffer calls
  // The call of the window handler that the dispatch thread sends to, while it does, and the
  // window handler calls left running past their time (dispatch-buffer lock): a close and
  // the destructor wait for them.
  TSioHandlerCall* windowCall_ = nullptr;
  std::vector<std::unique_ptr<TSioHandlerCall>> lateCalls_;
  void DropReturnedLocked();
  // Bytes a flush during the notification discarded: its later handlers never see them.
  std::uint32_t flushedInRound_ = 0;
  std::uint64_t flushesAtRound_ = 0;  // flushes_ when the notification began
  // Switches reads to relative mode for an avail or data notification (dispatch-buffer lock).
  void BeginRelativeLocked();

  // Triggers (trigger lock).
  std::vector<TTimerTrigger> timerTriggers_;
  std::vector<TDataTrigger> dataTriggers_;
  std::vector<TStatusTrigger> statusTriggers_;
  std::atomic<std::uint32_t> lengthTrigger_{0};
  std::uint32_t triggerCounter_ = 1;
  std::atomic<bool> statusHit_{false};

  // Handlers (trigger lock); records stay in place while a notification walks them.
  struct WndHandler {
    HWND Window;
    bool Deleted;
  };
  struct ProcHandler {
    TSioNotifyProc Proc;
    bool Deleted;
  };
  struct EventHandler {
    TSioNotifyEvent Method;
    bool Deleted;
    bool Sync;
  };
  std::vector<std::unique_ptr<WndHandler>> wndHandlers_;
  std::vector<std::unique_ptr<ProcHandler>> procHandlers_;
  std::vector<std::unique_ptr<EventHandler>> eventHandlers_;
  std::atomic<bool> handlerServiceNeeded_{false};
  bool portHandlerInstalled_ = false;
  bool handlersToDelete_ = false;
  bool notifying_ = false;  // handlers are being walked: removals are only marked

  void* dataPointers_[3] = {nullptr, nullptr, nullptr};
  TSioDispatchRecorder* recorder_ = nullptr;
  std::uint32_t startTime_ = 0;
};

// Marks the calling thread, for the life of the object, as running the handler call of the
// dispatcher's notification (see the top of this file). The dispatcher opens one around every
// method and procedure handler it calls; a window procedure is known by the tag of the send.
class TSioHandlerScope {
 public:
  TSioHandlerScope(const TSioBaseDispatcher* d, TSioHandlerCall* call);
  ~TSioHandlerScope();
  TSioHandlerScope(const TSioHandlerScope&) = delete;
  TSioHandlerScope& operator=(const TSioHandlerScope&) = delete;

 private:
  friend class TSioBaseDispatcher;
  const TSioBaseDispatcher* dispatcher_;
  TSioHandlerCall* call_;
  const TSioHandlerScope* outer_;
};

// ----- the process-wide port list -----
void LockPortList();
void UnlockPortList();
// Number of slots (empty ones included) and the dispatcher in a slot (null when empty);
// call under the port-list lock.
int PortListCount();
TSioBaseDispatcher* PortListItem(int index);
// The dispatcher with that handle, when it is a T (or derives from it); null otherwise.
TSioBaseDispatcher* GetTComRecPtr(int handle);
template <class T>
T* GetTComRecPtrAs(int handle) {
  return dynamic_cast<T*>(GetTComRecPtr(handle));
}
