#pragma once
// Threads, events, critical sections and the millisecond clock.
//
// TThread runs Execute on a thread of its own. The window thread (see SetMainThread in
// Messages.h: by default the process's initial thread) is where Synchronize and OnTerminate
// run; they are delivered whenever the window thread pumps its messages (ProcessMessages,
// PeekMessage, GetMessage, PumpUntil, ...) and also while it blocks in TThread::WaitFor, so
// the window thread may wait for a thread that is synchronising with it.
//
// TEvent: manual or automatic reset; events created with the same non-empty name in this
// process are one event (shared, it lives while any TEvent refers to it).
#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "platform/Messages.h"

// Kernel thread id of the calling thread (never 0).
DWORD GetCurrentThreadId();
// Milliseconds on a monotonic clock, wrapping at 32 bits.
DWORD GetTickCount();
// Microseconds on the same monotonic clock, 64 bits.
std::uint64_t GetTickCountMicro();
// Sleeps without pumping messages. Sleep(0) yields the processor.
void Sleep(DWORD ms);

enum TWaitResult { wrSignaled, wrTimeout, wrAbandoned, wrError, wrIOCompletion };

namespace platform_detail {
struct EventState;
}

class TEvent {
 public:
  // manualReset false: a successful wait resets the event (one waiter released per set).
  explicit TEvent(bool manualReset = false, bool initialState = false, const std::string& name = {});
  ~TEvent();
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;

  void SetEvent();
  void ResetEvent();
  // Does not pump messages. INFINITE waits without limit.
  TWaitResult WaitFor(DWORD timeoutMs = INFINITE);
  // Waits like WaitFor but handles the calling thread's messages meanwhile (see PumpUntil).
  TWaitResult WaitForPumping(DWORD timeoutMs = INFINITE);
  const std::string& Name() const { return name_; }
  bool ManualReset() const;
  // The state without consuming it.
  bool IsSet() const;

  platform_detail::EventState* State() const { return state_.get(); }

 private:
  std::shared_ptr<platform_detail::EventState> state_;
  std::string name_;
};

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

// Waits until one of the events is set (an automatic-reset one is then reset) and returns
// WAIT_OBJECT_0 + its index (the lowest index when several are set), WAIT_TIMEOUT, or
// WAIT_FAILED for an empty list or a null entry. Does not pump messages.
DWORD WaitForMultipleEvents(std::span<TEvent* const> events, DWORD timeoutMs);
DWORD WaitForMultipleEvents(std::initializer_list<TEvent*> events, DWORD timeoutMs);
// As WaitForMultipleEvents, but also returns WAIT_OBJECT_0 + events.size() when the calling
// thread has a message pending (handles nothing, like MsgWaitForMessages).
DWORD MsgWaitForMultipleEvents(std::span<TEvent* const> events, DWORD timeoutMs);

// Recursive lock like the Win32 critical section.
class TCriticalSection {
 public:
  void Enter() { m_.lock(); }
  void Leave() { m_.unlock(); }
  void Acquire() { m_.lock(); }
  void Release() { m_.unlock(); }
  bool TryEnter() { return m_.try_lock(); }
  // BasicLockable, for std::lock_guard / std::unique_lock.
  void lock() { m_.lock(); }
  void unlock() { m_.unlock(); }

 private:
  std::recursive_mutex m_;
};

namespace platform_detail {
struct ThreadState;
}

// A handle to a thread that stays valid after a FreeOnTerminate thread object deleted
// itself: wait for its end and ask it to stop through it.
class TThreadHandle {
 public:
  TThreadHandle() = default;
  explicit TThreadHandle(std::shared_ptr<platform_detail::ThreadState> s) : s_(std::move(s)) {}
  bool Valid() const { return s_ != nullptr; }
  // Sets the terminate request when the thread object still exists.
  void Terminate() const;
  bool Finished() const;
  // As TThread::WaitFor; true when the thread ended within the time.
  bool WaitFor(DWORD timeoutMs = INFINITE, int* exitCode = nullptr) const;

 private:
  std::shared_ptr<platform_detail::ThreadState> s_;
};

class TThread {
 public:
  // The thread runs once Start()/Resume() is called. The base cannot start it on its own
  // (the derived part does not exist yet while the base is constructed): a thread created
  // "not suspended" calls Start() as the last step of its most derived constructor, after
  // setting FreeOnTerminate and OnTerminate. createSuspended documents the intent only.
  explicit TThread(bool createSuspended = false);
  // Deleting a thread object that still runs requests termination and waits for its end;
  // since the derived parts are already gone then, a derived class whose Execute uses its
  // own members must stop the thread in its own destructor (Terminate(); WaitFor();).
  // Never delete a FreeOnTerminate thread that has been started.
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  void Start();
  void Resume() { Start(); }
  void Terminate();
  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }
  bool Finished() const;
  bool Suspended() const;

  // Waits for the end of Execute (and of OnTerminate) and returns ReturnValue. On the window
  // thread it handles sent messages and Synchronize calls while it waits. Not for
  // FreeOnTerminate threads (use Handle().WaitFor); a never-started thread returns at once.
  int WaitFor();

  // The object deletes itself after Execute and OnTerminate. Set before Start.
  void SetFreeOnTerminate(bool v) { freeOnTerminate_.store(v, std::memory_order_release); }
  bool FreeOnTerminate() const { return freeOnTerminate_.load(std::memory_order_acquire); }

  // Called on the window thread after Execute returned (also after an exception).
  std::function<void(TThread*)> OnTerminate;

  DWORD ThreadID() const;
  TThreadHandle Handle() const { return TThreadHandle(state_); }
  int ReturnValue() const { return returnValue_.load(std::memory_order_acquire); }
  void SetReturnValue(int v) { returnValue_.store(v, std::memory_order_release); }

  // Runs fn on the window thread and waits for it (at once when called there).
  static void Synchronize(const std::function<void()>& fn);
  // Queues fn for the window thread without waiting.
  static void Queue(std::function<void()> fn);

  // The thread object whose Execute runs on the calling thread, or nullptr.
  static TThread* CurrentThread();

 protected:
  virtual void Execute() = 0;
  // Runs OnTerminate on the window thread; override to add work (call the base).
  virtual void DoTerminate();

 private:
  static void Run(TThread* self, std::shared_ptr<platform_detail::ThreadState> state);

  std::shared_ptr<platform_detail::ThreadState> state_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> freeOnTerminate_{false};
  std::atomic<int> returnValue_{0};
  std::thread thread_;
  std::mutex startLock_;
  bool started_ = false;
};
