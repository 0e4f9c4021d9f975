#pragma once
// Internals shared by Messages.cpp and Threads.cpp; not for use outside platform/.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/Messages.h"

namespace platform_detail {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

// INFINITE gives no deadline.
Deadline DeadlineAfter(DWORD timeoutMs);

// Something a thread sleeps on. Wake() before or during a wait ends it; Arm() forgets
// earlier wake-ups and must be called before the state is checked.
struct Waiter {
  std::mutex m;
  std::condition_variable cv;
  bool woken = false;

  void Arm() {
    std::lock_guard<std::mutex> g(m);
    woken = false;
  }
  void Wake() {
    {
      std::lock_guard<std::mutex> g(m);
      woken = true;
    }
    cv.notify_all();
  }
  // Returns when woken or at the earlier of the two deadlines.
  void WaitUntil(Deadline a, Deadline b = std::nullopt);
};

struct EventState {
  std::mutex m;
  bool manual = false;
  bool signaled = false;
  std::vector<Waiter*> waiters;

  void Set();
  void Reset();
  bool TryConsume();
  void AddWaiter(Waiter* w);
  void RemoveWaiter(Waiter* w);
};

struct ThreadContext;

// A sent message (or a function to run) on its way to the owning thread.
struct SendRecord {
  enum State : int { Pending, Running, Done, Failed, Withdrawn };
  HWND hwnd = 0;
  UINT msg = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  const void* tag = nullptr;  // the sender's tag (SendMessageTimeout), null for none
  std::function<void()> fn;  // set for functions run on the window thread
  std::exception_ptr error;  // exception thrown by fn
  LRESULT result = 0;
  std::atomic<int> state{Pending};
  std::atomic<bool> returned{false};      // Done or Failed: nothing runs for it any more
  std::shared_ptr<ThreadContext> sender;  // woken when done; none for queued functions
};

struct TimerEntry {
  HWND hwnd;
  UINT id;
  DWORD interval;
  Clock::time_point due;
};

struct PostedEntry {
  MSG msg;
  std::uint64_t seq;
};

struct ThreadContext {
  DWORD tid = 0;
  Waiter waiter;
  std::mutex m;  // guards everything below
  std::deque<PostedEntry> posted;
  std::deque<std::shared_ptr<SendRecord>> sent;
  std::vector<TimerEntry> timers;
  std::uint64_t nextSeq = 1;
  bool quit = false;
  int quitCode = 0;
  bool dead = false;
  int epollFd = -1;
  int eventFd = -1;
  int timerFd = -1;

  ~ThreadContext();
  // Wakes the owner and makes the descriptor readable (call without m held).
  void Signal();
  // Locked helpers.
  std::optional<Clock::time_point> NextTimerLocked() const;
  bool HasPendingLocked(bool countQuit) const;
  void RearmTimerFdLocked();
};

// The calling thread's context (created on first use).
std::shared_ptr<ThreadContext> Current();
// The window thread's context (created on its behalf when it has none yet).
std::shared_ptr<ThreadContext> MainContext();

// Handles every pending send to the calling thread; true when one was handled. With a tag,
// only the sends that carry it (the others stay queued in their order).
bool DeliverPendingSends(ThreadContext& me, const void* tag = nullptr);

// Waits until the event is set (consuming it for automatic reset). pumpMode 0: no pumping;
// 1: handle sends (and window-thread functions) only; 2: handle all messages.
bool WaitEventState(EventState& ev, DWORD timeoutMs, int pumpMode);

}  // namespace platform_detail
