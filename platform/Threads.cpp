// Threads, events and the clock.
#include "platform/Threads.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <stdexcept>

#include "platform/QueueInternal.h"

using namespace platform_detail;

DWORD GetCurrentThreadId() {
  thread_local DWORD tid = static_cast<DWORD>(::syscall(SYS_gettid));
  return tid;
}

std::uint64_t GetTickCountMicro() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCountMicro() / 1000u); }

void Sleep(DWORD ms) {
  if (ms == 0) {
    std::this_thread::yield();
    return;
  }
  if (ms == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// ---------------------------------------------------------------------------------------
// Events

namespace platform_detail {

void EventState::Set() {
  std::lock_guard<std::mutex> g(m);
  signaled = true;
  // Woken under the lock: a waiter removes itself under the same lock before it goes away.
  for (Waiter* w : waiters) w->Wake();
}

void EventState::Reset() {
  std::lock_guard<std::mutex> g(m);
  signaled = false;
}

bool EventState::TryConsume() {
  std::lock_guard<std::mutex> g(m);
  if (!signaled) return false;
  if (!manual) signaled = false;
  return true;
}

void EventState::AddWaiter(Waiter* w) {
  std::lock_guard<std::mutex> g(m);
  waiters.push_back(w);
}

void EventState::RemoveWaiter(Waiter* w) {
  std::lock_guard<std::mutex> g(m);
  auto it = std::find(waiters.begin(), waiters.end(), w);
  if (it != waiters.end()) waiters.erase(it);
}

namespace {

// Registers a waiter with a set of events for the life of a wait.
class Registration {
 public:
  Registration(std::span<EventState* const> evs, Waiter* w) : evs_(evs.begin(), evs.end()), w_(w) {
    for (auto* e : evs_) e->AddWaiter(w_);
  }
  ~Registration() {
    for (auto* e : evs_) e->RemoveWaiter(w_);
  }
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

 private:
  std::vector<EventState*> evs_;
  Waiter* w_;
};

bool Expired(const Deadline& d) { return d && Clock::now() >= *d; }

// pumpMode 0: none, 1: sends only, 2: every message; withMessages: a pending message ends
// the wait with index evs.size(). Returns the index, or -1 on time-out.
int WaitAny(std::span<EventState* const> evs, DWORD timeoutMs, int pumpMode, bool withMessages) {
  Deadline deadline = DeadlineAfter(timeoutMs);
  std::shared_ptr<ThreadContext> me;
  Waiter local;
  Waiter* w = &local;
  if (pumpMode != 0 || withMessages) {
    me = Current();
    w = &me->waiter;
  }
  Registration reg(evs, w);
  for (;;) {
    w->Arm();
    if (pumpMode == 1) DeliverPendingSends(*me);
    if (pumpMode == 2) ProcessMessages();
    for (std::size_t i = 0; i < evs.size(); ++i)
      if (evs[i]->TryConsume()) return static_cast<int>(i);
    std::optional<Clock::time_point> next;
    if (me) {
      std::lock_guard<std::mutex> g(me->m);
      if (withMessages && me->HasPendingLocked(true)) return static_cast<int>(evs.size());
      if (pumpMode == 1 && !me->sent.empty()) continue;
      if (pumpMode == 2 && me->HasPendingLocked(false)) continue;
      if (pumpMode == 2 || withMessages) next = me->NextTimerLocked();
    }
    if (Expired(deadline)) return -1;
    w->WaitUntil(deadline, next);
  }
}

}  // namespace

bool WaitEventState(EventState& ev, DWORD timeoutMs, int pumpMode) {
  EventState* one[1] = {&ev};
  return WaitAny(one, timeoutMs, pumpMode, false) == 0;
}

namespace {
struct NamedEvents {
  std::mutex m;
  std::map<std::string, std::weak_ptr<EventState>> byName;
};
NamedEvents& TheNamedEvents() {
  static NamedEvents* n = new NamedEvents;
  return *n;
}
}  // namespace

}  // namespace platform_detail

TEvent::TEvent(bool manualReset, bool initialState, const std::string& name) : name_(name) {
  if (!name.empty()) {
    // The first creator fixes reset kind and initial state; later ones share its event.
    auto& n = TheNamedEvents();
    std::lock_guard<std::mutex> g(n.m);
    auto& slot = n.byName[name];
    state_ = slot.lock();
    if (state_) return;
    state_ = std::make_shared<EventState>();
    state_->manual = manualReset;
    state_->signaled = initialState;
    slot = state_;
    return;
  }
  state_ = std::make_shared<EventState>();
  state_->manual = manualReset;
  state_->signaled = initialState;
}

TEvent::~TEvent() {
  if (name_.empty()) return;
  auto& n = TheNamedEvents();
  std::lock_guard<std::mutex> g(n.m);
  auto it = n.byName.find(name_);
  state_.reset();
  if (it != n.byName.end() && it->second.expired()) n.byName.erase(it);
}

void TEvent::SetEvent() { state_->Set(); }
void TEvent::ResetEvent() { state_->Reset(); }

TWaitResult TEvent::WaitFor(DWORD timeoutMs) {
  return WaitEventState(*state_, timeoutMs, 0) ? wrSignaled : wrTimeout;
}

TWaitResult TEvent::WaitForPumping(DWORD timeoutMs) {
  return WaitEventState(*state_, timeoutMs, 2) ? wrSignaled : wrTimeout;
}

bool TEvent::ManualReset() const { return state_->manual; }

bool TEvent::IsSet() const {
  std::lock_guard<std::mutex> g(state_->m);
  return state_->signaled;
}

namespace {
DWORD WaitMultiple(std::span<TEvent* const> events, DWORD timeoutMs, bool withMessages) {
  if (events.empty() && !withMessages) return WAIT_FAILED;
  std::vector<EventState*> evs;
  for (TEvent* e : events) {
    if (!e) return WAIT_FAILED;
    evs.push_back(e->State());
  }
  int r = WaitAny(evs, timeoutMs, 0, withMessages);
  return r < 0 ? WAIT_TIMEOUT : WAIT_OBJECT_0 + static_cast<DWORD>(r);
}
}  // namespace

DWORD WaitForMultipleEvents(std::span<TEvent* const> events, DWORD timeoutMs) {
  return WaitMultiple(events, timeoutMs, false);
}

DWORD WaitForMultipleEvents(std::initializer_list<TEvent*> events, DWORD timeoutMs) {
  return WaitMultiple(std::span<TEvent* const>(events.begin(), events.size()), timeoutMs, false);
}

DWORD MsgWaitForMultipleEvents(std::span<TEvent* const> events, DWORD timeoutMs) {
  return WaitMultiple(events, timeoutMs, true);
}

// ---------------------------------------------------------------------------------------
// Threads

namespace platform_detail {
struct ThreadState {
  std::mutex m;
  TThread* obj = nullptr;  // cleared before a FreeOnTerminate object deletes itself
  std::atomic<DWORD> tid{0};
  std::atomic<int> exitCode{0};
  std::atomic<bool> finished{false};
  std::atomic<bool> started{false};
  EventState done;  // manual reset, set when the thread has ended

  ThreadState() { done.manual = true; }
};
}  // namespace platform_detail

namespace {
thread_local TThread* t_currentThread = nullptr;

bool WaitDone(ThreadState& s, DWORD timeoutMs) {
  // The window thread keeps handling sends and Synchronize calls, so the thread it waits
  // for can still synchronise with it (OnTerminate included).
  return WaitEventState(s.done, timeoutMs, IsMainThread() ? 1 : 0);
}
}  // namespace

void TThreadHandle::Terminate() const {
  if (!s_) return;
  std::lock_guard<std::mutex> g(s_->m);
  if (s_->obj) s_->obj->Terminate();
}

bool TThreadHandle::Finished() const { return s_ && s_->finished.load(); }

bool TThreadHandle::WaitFor(DWORD timeoutMs, int* exitCode) const {
  if (!s_) return true;
  if (!s_->started.load()) return true;
  if (s_->tid.load() == GetCurrentThreadId()) throw std::logic_error("a thread cannot wait for its own end");
  bool ok = WaitDone(*s_, timeoutMs);
  if (ok && exitCode) *exitCode = s_->exitCode.load();
  return ok;
}

TThread::TThread(bool createSuspended) : state_(std::make_shared<ThreadState>()) {
  state_->obj = this;
  (void)createSuspended;  // see the header: the derived constructor starts the thread
}

TThread::~TThread() {
  bool self = state_->tid.load() == GetCurrentThreadId();
  if (!self) {
    if (state_->started.load() && !state_->finished.load()) {
      Terminate();
      WaitDone(*state_, INFINITE);
    }
    std::lock_guard<std::mutex> g(startLock_);
    if (thread_.joinable()) thread_.join();
  }
  std::lock_guard<std::mutex> g(state_->m);
  state_->obj = nullptr;
}

void TThread::Start() {
  std::lock_guard<std::mutex> g(startLock_);
  if (started_) return;
  started_ = true;
  state_->started.store(true);
  try {
    thread_ = std::thread(&TThread::Run, this, state_);
  } catch (...) {
    started_ = false;
    state_->started.store(false);
    throw;
  }
  // ThreadID() is valid once Start returns.
  while (state_->tid.load() == 0) std::this_thread::yield();
}

void TThread::Terminate() { terminated_.store(true, std::memory_order_release); }

bool TThread::Finished() const { return state_->finished.load(); }

bool TThread::Suspended() const { return !state_->started.load(); }

DWORD TThread::ThreadID() const { return state_->tid.load(); }

int TThread::WaitFor() {
  if (!state_->started.load()) return ReturnValue();
  if (state_->tid.load() == GetCurrentThreadId())
    throw std::logic_error("a thread cannot wait for its own end");
  WaitDone(*state_, INFINITE);
  {
    std::lock_guard<std::mutex> g(startLock_);
    if (thread_.joinable()) thread_.join();
  }
  return state_->exitCode.load();
}

void TThread::Synchronize(const std::function<void()>& fn) { RunOnMainThread(fn); }

void TThread::Queue(std::function<void()> fn) { QueueOnMainThread(std::move(fn)); }

TThread* TThread::CurrentThread() { return t_currentThread; }

void TThread::DoTerminate() {
  if (OnTerminate) Synchronize([this] { OnTerminate(this); });
}

namespace {
void ReportThreadException(const char* where) {
  try {
    throw;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "thread %u: exception in %s: %s\n", GetCurrentThreadId(), where, e.what());
  } catch (...) {
    std::fprintf(stderr, "thread %u: unknown exception in %s\n", GetCurrentThreadId(), where);
  }
}
}  // namespace

void TThread::Run(TThread* self, std::shared_ptr<ThreadState> state) {
  state->tid.store(GetCurrentThreadId());
  t_currentThread = self;
  try {
    self->Execute();
  } catch (...) {
    ReportThreadException("Execute");
  }
  state->exitCode.store(self->ReturnValue());
  try {
    self->DoTerminate();
  } catch (...) {
    ReportThreadException("OnTerminate");
  }
  if (self->FreeOnTerminate()) {
    {
      std::lock_guard<std::mutex> g(self->startLock_);
      if (self->thread_.joinable()) self->thread_.detach();
    }
    {
      std::lock_guard<std::mutex> g(state->m);
      state->obj = nullptr;
    }
    delete self;
  }
  t_currentThread = nullptr;
  state->finished.store(true);
  state->done.Set();
}
