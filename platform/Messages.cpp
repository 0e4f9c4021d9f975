// Per-thread message queues, hidden windows, sent messages and window timers.
#include "platform/Messages.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/QueueInternal.h"
#include "platform/Text.h"
#include "platform/Threads.h"

namespace platform_detail {

Deadline DeadlineAfter(DWORD timeoutMs) {
  if (timeoutMs == INFINITE) return std::nullopt;
  return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

void Waiter::WaitUntil(Deadline a, Deadline b) {
  Deadline d = a;
  if (b && (!d || *b < *d)) d = b;
  std::unique_lock<std::mutex> lk(m);
  if (d) {
    cv.wait_until(lk, *d, [this] { return woken; });
  } else {
    cv.wait(lk, [this] { return woken; });
  }
}

namespace {

struct WndClass {
  std::string name;
  WNDPROC proc;
};

struct Window {
  HWND id = 0;
  std::shared_ptr<WndClass> cls;
  std::atomic<void*> userData{nullptr};
  std::shared_ptr<ThreadContext> owner;
};

// Lock order: Table::m, then Threads::m, then a ThreadContext::m, then a Waiter::m.
struct Table {
  std::mutex m;
  std::map<std::string, std::shared_ptr<WndClass>> classes;  // lower-case names
  std::unordered_map<HWND, std::shared_ptr<Window>> windows;
  HWND nextId = 0x00010000;
};

Table& TheTable() {
  static Table* t = new Table;  // never destroyed: threads may still end during exit
  return *t;
}

struct Threads {
  std::mutex m;
  std::unordered_map<DWORD, std::weak_ptr<ThreadContext>> byTid;
  std::atomic<DWORD> mainTid{0};
};

Threads& TheThreads() {
  static Threads* t = new Threads;
  return *t;
}

void ShutdownContext(const std::shared_ptr<ThreadContext>& ctx);

struct Holder {
  std::shared_ptr<ThreadContext> ctx;
  ~Holder() {
    if (ctx) ShutdownContext(ctx);
  }
};

thread_local Holder t_holder;

std::shared_ptr<ThreadContext> ContextFor(DWORD tid) {
  Threads& th = TheThreads();
  std::lock_guard<std::mutex> g(th.m);
  auto it = th.byTid.find(tid);
  if (it != th.byTid.end()) {
    if (auto c = it->second.lock()) {
      std::lock_guard<std::mutex> g2(c->m);
      if (!c->dead) return c;
    }
  }
  auto c = std::make_shared<ThreadContext>();
  c->tid = tid;
  th.byTid[tid] = c;
  return c;
}

std::shared_ptr<Window> FindWindow(HWND hwnd) {
  if (hwnd == 0) return nullptr;
  Table& t = TheTable();
  std::lock_guard<std::mutex> g(t.m);
  auto it = t.windows.find(hwnd);
  return it == t.windows.end() ? nullptr : it->second;
}

void FinishRecord(SendRecord& rec, int state) {
  auto sender = rec.sender;
  rec.returned.store(true, std::memory_order_release);
  rec.state.store(state, std::memory_order_release);
  if (sender) sender->waiter.Wake();
}

void ShutdownContext(const std::shared_ptr<ThreadContext>& ctx) {
  // Windows of the ending thread go with it.
  std::vector<HWND> mine;
  {
    Table& t = TheTable();
    std::lock_guard<std::mutex> g(t.m);
    for (auto it = t.windows.begin(); it != t.windows.end();) {
      if (it->second->owner == ctx) {
        mine.push_back(it->first);
        it = t.windows.erase(it);
      } else {
        ++it;
      }
    }
  }
  std::deque<std::shared_ptr<SendRecord>> sent;
  {
    std::lock_guard<std::mutex> g(ctx->m);
    ctx->dead = true;
    sent.swap(ctx->sent);
    for (auto& r : sent) r->state.store(SendRecord::Running, std::memory_order_relaxed);
    ctx->posted.clear();
    ctx->timers.clear();
  }
  for (auto& r : sent) FinishRecord(*r, SendRecord::Failed);
  {
    Threads& th = TheThreads();
    std::lock_guard<std::mutex> g(th.m);
    auto it = th.byTid.find(ctx->tid);
    if (it != th.byTid.end() && it->second.lock() == ctx) th.byTid.erase(it);
  }
}

// Senders of the sent messages that this thread is handling, innermost last.
thread_local std::vector<DWORD> tlSenders;
// Tags of the tagged sends whose procedures this thread runs, innermost last.
thread_local std::vector<const void*> tlSendTags;

// Runs a window procedure for a send, with the send's tag known to the thread meanwhile.
LRESULT RunTagged(const void* tag, const WNDPROC& proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (tag == nullptr) return proc(hwnd, msg, wParam, lParam);
  struct Tagged {
    explicit Tagged(const void* t) { tlSendTags.push_back(t); }
    ~Tagged() { tlSendTags.pop_back(); }
  } tagged(tag);
  return proc(hwnd, msg, wParam, lParam);
}

// Runs one handed-over record on the owning thread.
void RunRecord(const std::shared_ptr<SendRecord>& rec) {
  if (rec->fn) {
    try {
      rec->fn();
    } catch (...) {
      rec->error = std::current_exception();
    }
    bool queued = !rec->sender;
    auto error = rec->error;
    FinishRecord(*rec, SendRecord::Done);
    // Nobody waits for a queued function: its exception goes to whoever pumps.
    if (queued && error) std::rethrow_exception(error);
    return;
  }
  auto w = FindWindow(rec->hwnd);
  if (!w) {
    FinishRecord(*rec, SendRecord::Failed);
    return;
  }
  struct Handling {
    explicit Handling(DWORD tid) { tlSenders.push_back(tid); }
    ~Handling() { tlSenders.pop_back(); }
  } handling(rec->sender ? rec->sender->tid : 0);
  try {
    rec->result = RunTagged(rec->tag, w->cls->proc, rec->hwnd, rec->msg, rec->wParam, rec->lParam);
  } catch (...) {
    // The sender gets 0; the exception goes on to whoever pumps this thread.
    rec->result = 0;
    FinishRecord(*rec, SendRecord::Done);
    throw;
  }
  FinishRecord(*rec, SendRecord::Done);
}

std::shared_ptr<SendRecord> TakeSend(ThreadContext& me, const void* tag) {
  std::lock_guard<std::mutex> g(me.m);
  auto it = me.sent.begin();
  if (tag != nullptr) it = std::find_if(it, me.sent.end(), [&](const auto& r) { return r->tag == tag; });
  if (it == me.sent.end()) return nullptr;
  auto rec = *it;
  me.sent.erase(it);
  rec->state.store(SendRecord::Running, std::memory_order_release);
  return rec;
}

void DrainFd(int fd) {
  if (fd < 0) return;
  std::uint64_t v;
  while (::read(fd, &v, sizeof v) == static_cast<ssize_t>(sizeof v)) {
  }
}

void ClearFds(ThreadContext& me) {
  int ev, tf;
  {
    std::lock_guard<std::mutex> g(me.m);
    ev = me.eventFd;
    tf = me.timerFd;
  }
  DrainFd(ev);
  DrainFd(tf);
}

// Takes a posted message, a quit or a due timer. maxSeq limits posted messages to those
// queued before a pumping round began.
bool TakeMessage(ThreadContext& me, MSG* out, bool remove, std::uint64_t maxSeq, bool takeQuit,
                 const std::vector<std::pair<HWND, UINT>>* firedTimers) {
  std::lock_guard<std::mutex> g(me.m);
  if (!me.posted.empty() && me.posted.front().seq <= maxSeq) {
    *out = me.posted.front().msg;
    if (remove) me.posted.pop_front();
    return true;
  }
  if (!me.posted.empty()) return false;  // newer posted messages wait for the next round
  if (me.quit) {
    if (!takeQuit) return false;
    *out = MSG{0, WM_QUIT, static_cast<WPARAM>(me.quitCode), 0, GetTickCount()};
    if (remove) me.quit = false;
    return true;
  }
  auto now = Clock::now();
  TimerEntry* best = nullptr;
  for (auto& t : me.timers) {
    if (t.due > now) continue;
    if (firedTimers && std::find(firedTimers->begin(), firedTimers->end(), std::make_pair(t.hwnd, t.id)) !=
                           firedTimers->end())
      continue;
    if (!best || t.due < best->due) best = &t;
  }
  if (!best) return false;
  *out = MSG{best->hwnd, WM_TIMER, best->id, 0, GetTickCount()};
  if (remove) {
    best->due += std::chrono::milliseconds(best->interval);
    if (best->due <= now) best->due = now + std::chrono::milliseconds(best->interval);
    me.RearmTimerFdLocked();
  }
  return true;
}

// One full round of pumping: all sends, the posted messages queued before it began and
// each due timer once. False when a quit is pending.
// After a pumping call, also one left by an exception of a handler: the descriptor stays
// readable while work is left, and the timer descriptor points at the next timer.
struct AfterPump {
  ThreadContext& me;
  bool countQuit;
  ~AfterPump() {
    bool more;
    {
      std::lock_guard<std::mutex> g(me.m);
      more = !me.sent.empty() || !me.posted.empty() || (countQuit && me.quit);
      me.RearmTimerFdLocked();
    }
    if (more) me.Signal();
  }
};

bool PumpRound(ThreadContext& me) {
  ClearFds(me);
  AfterPump after{me, false};
  std::uint64_t maxSeq;
  {
    std::lock_guard<std::mutex> g(me.m);
    maxSeq = me.nextSeq - 1;
  }
  std::vector<std::pair<HWND, UINT>> fired;
  for (;;) {
    if (DeliverPendingSends(me)) continue;
    MSG msg;
    if (TakeMessage(me, &msg, true, maxSeq, false, &fired)) {
      if (msg.message == WM_TIMER) fired.emplace_back(msg.hwnd, static_cast<UINT>(msg.wParam));
      DispatchMessage(msg);
      continue;
    }
    break;
  }
  std::lock_guard<std::mutex> g(me.m);
  return !me.quit;
}

}  // namespace

ThreadContext::~ThreadContext() {
  if (epollFd >= 0) ::close(epollFd);
  if (eventFd >= 0) ::close(eventFd);
  if (timerFd >= 0) ::close(timerFd);
}

void ThreadContext::Signal() {
  int fd;
  {
    std::lock_guard<std::mutex> g(m);
    fd = eventFd;
  }
  if (fd >= 0) {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
  }
  waiter.Wake();
}

std::optional<Clock::time_point> ThreadContext::NextTimerLocked() const {
  std::optional<Clock::time_point> r;
  for (const auto& t : timers)
    if (!r || t.due < *r) r = t.due;
  return r;
}

bool ThreadContext::HasPendingLocked(bool countQuit) const {
  if (!sent.empty() || !posted.empty()) return true;
  if (countQuit && quit) return true;
  auto n = NextTimerLocked();
  return n && *n <= Clock::now();
}

void ThreadContext::RearmTimerFdLocked() {
  if (timerFd < 0) return;
  itimerspec its{};
  if (auto n = NextTimerLocked()) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(n->time_since_epoch()).count();
    if (ns <= 0) ns = 1;
    its.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
    its.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    if (its.it_value.tv_sec == 0 && its.it_value.tv_nsec == 0) its.it_value.tv_nsec = 1;
  }
  ::timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &its, nullptr);
}

std::shared_ptr<ThreadContext> Current() {
  if (!t_holder.ctx) t_holder.ctx = ContextFor(GetCurrentThreadId());
  return t_holder.ctx;
}

std::shared_ptr<ThreadContext> MainContext() {
  DWORD tid = MainThreadId();
  if (tid == GetCurrentThreadId()) return Current();
  return ContextFor(tid);
}

bool DeliverPendingSends(ThreadContext& me, const void* tag) {
  bool any = false;
  while (auto rec = TakeSend(me, tag)) {
    any = true;
    RunRecord(rec);
  }
  return any;
}

}  // namespace platform_detail

using namespace platform_detail;

bool RegisterClass(std::string_view className, WNDPROC proc) {
  if (className.empty() || !proc) return false;
  Table& t = TheTable();
  std::lock_guard<std::mutex> g(t.m);
  auto key = LowerCase(className);
  if (t.classes.count(key)) return false;
  t.classes[key] = std::make_shared<WndClass>(WndClass{std::string(className), std::move(proc)});
  return true;
}

bool UnregisterClass(std::string_view className) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> g(t.m);
  return t.classes.erase(LowerCase(className)) > 0;
}

bool IsClassRegistered(std::string_view className) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> g(t.m);
  return t.classes.count(LowerCase(className)) > 0;
}

HWND CreateWindow(std::string_view className, void* userData) {
  auto me = Current();
  Table& t = TheTable();
  std::lock_guard<std::mutex> g(t.m);
  auto it = t.classes.find(LowerCase(className));
  if (it == t.classes.end()) return 0;
  auto w = std::make_shared<Window>();
  do {
    w->id = t.nextId++;
  } while (w->id == 0 || t.windows.count(w->id));
  w->cls = it->second;
  w->userData.store(userData);
  w->owner = me;
  t.windows[w->id] = w;
  return w->id;
}

bool DestroyWindow(HWND hwnd) {
  std::shared_ptr<Window> w;
  {
    Table& t = TheTable();
    std::lock_guard<std::mutex> g(t.m);
    auto it = t.windows.find(hwnd);
    if (it == t.windows.end()) return false;
    w = it->second;
    t.windows.erase(it);
  }
  auto& ctx = *w->owner;
  std::vector<std::shared_ptr<SendRecord>> failed;
  {
    std::lock_guard<std::mutex> g(ctx.m);
    std::erase_if(ctx.posted, [hwnd](const PostedEntry& e) { return e.msg.hwnd == hwnd; });
    std::erase_if(ctx.timers, [hwnd](const TimerEntry& e) { return e.hwnd == hwnd; });
    for (auto it = ctx.sent.begin(); it != ctx.sent.end();) {
      if (!(*it)->fn && (*it)->hwnd == hwnd) {
        (*it)->state.store(SendRecord::Running, std::memory_order_relaxed);
        failed.push_back(*it);
        it = ctx.sent.erase(it);
      } else {
        ++it;
      }
    }
    ctx.RearmTimerFdLocked();
  }
  for (auto& r : failed) FinishRecord(*r, SendRecord::Failed);
  return true;
}

bool IsWindow(HWND hwnd) { return FindWindow(hwnd) != nullptr; }

void* GetWindowUserData(HWND hwnd) {
  auto w = FindWindow(hwnd);
  return w ? w->userData.load() : nullptr;
}

void SetWindowUserData(HWND hwnd, void* userData) {
  if (auto w = FindWindow(hwnd)) w->userData.store(userData);
}

DWORD GetWindowThreadId(HWND hwnd) {
  auto w = FindWindow(hwnd);
  return w ? w->owner->tid : 0;
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

DWORD InSendMessageFrom() { return tlSenders.empty() ? 0 : tlSenders.back(); }

bool InSendMessageTagged(const void* tag) {
  return tag != nullptr && std::find(tlSendTags.begin(), tlSendTags.end(), tag) != tlSendTags.end();
}

const void* SendMessageTag(std::size_t depth) {
  return depth < tlSendTags.size() ? tlSendTags[tlSendTags.size() - 1 - depth] : nullptr;
}

bool DeliverSendsTagged(const void* tag) { return tag != nullptr && DeliverPendingSends(*Current(), tag); }

namespace {
bool PostTo(ThreadContext& ctx, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  {
    std::lock_guard<std::mutex> g(ctx.m);
    if (ctx.dead) return false;
    ctx.posted.push_back(PostedEntry{MSG{hwnd, msg, wParam, lParam, GetTickCount()}, ctx.nextSeq++});
  }
  ctx.Signal();
  return true;
}
}  // namespace

bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto w = FindWindow(hwnd);
  if (!w) return false;
  return PostTo(*w->owner, hwnd, msg, wParam, lParam);
}

bool PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (threadId == GetCurrentThreadId()) return PostTo(*Current(), 0, msg, wParam, lParam);
  if (threadId == MainThreadId()) return PostTo(*MainContext(), 0, msg, wParam, lParam);
  std::shared_ptr<ThreadContext> ctx;
  {
    Threads& th = TheThreads();
    std::lock_guard<std::mutex> g(th.m);
    auto it = th.byTid.find(threadId);
    if (it != th.byTid.end()) ctx = it->second.lock();
  }
  if (!ctx) return false;
  return PostTo(*ctx, 0, msg, wParam, lParam);
}

LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  LRESULT r = 0;
  if (!SendMessageTimeout(hwnd, msg, wParam, lParam, SMTO_NORMAL, INFINITE, &r)) return 0;
  return r;
}

bool SendMessageTimeout(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, DWORD timeoutMs, LRESULT* result) {
  return SendMessageTimeout(hwnd, msg, wParam, lParam, SMTO_NORMAL, timeoutMs, result);
}

namespace {
enum class SendOutcome { Ran, NotRun, LeftRunning };

// Hands the record to the owner and waits for it.
SendOutcome SendAndWait(const std::shared_ptr<ThreadContext>& owner, const std::shared_ptr<SendRecord>& rec,
                        UINT flags, DWORD timeoutMs) {
  auto me = Current();
  rec->sender = me;
  {
    std::lock_guard<std::mutex> g(owner->m);
    if (owner->dead) return SendOutcome::NotRun;
    owner->sent.push_back(rec);
  }
  owner->Signal();
  Deadline deadline = DeadlineAfter(timeoutMs);
  for (;;) {
    me->waiter.Arm();
    int st = rec->state.load(std::memory_order_acquire);
    if (st == SendRecord::Done) return SendOutcome::Ran;
    if (st == SendRecord::Failed) return SendOutcome::NotRun;
    if (!(flags & SMTO_BLOCK) && DeliverPendingSends(*me)) continue;
    if (deadline && Clock::now() >= *deadline) {
      std::lock_guard<std::mutex> g(owner->m);
      if (rec->state.load(std::memory_order_acquire) == SendRecord::Pending) {
        // Not started: withdraw it so that it never runs.
        auto it = std::find(owner->sent.begin(), owner->sent.end(), rec);
        if (it != owner->sent.end()) owner->sent.erase(it);
        rec->state.store(SendRecord::Withdrawn, std::memory_order_release);
        return SendOutcome::NotRun;
      }
      // Already running. The owner holds the record (arguments and result slot) until the
      // procedure returns, so the caller that said so may go; otherwise the arguments may
      // live on our stack, and we wait for its end.
      if (flags & SMTO_LEAVERUNNING) return SendOutcome::LeftRunning;
      deadline.reset();
      continue;
    }
    me->waiter.WaitUntil(deadline);
  }
}
}  // namespace

bool SendMessageTimeout(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags, DWORD timeoutMs,
                        LRESULT* result) {
  return SendMessageTimeout(hwnd, msg, wParam, lParam, flags, timeoutMs, result, nullptr);
}

bool SendMessageTimeout(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags, DWORD timeoutMs,
                        LRESULT* result, SendFinished* leftRunning) {
  return SendMessageTimeout(hwnd, msg, wParam, lParam, flags, timeoutMs, result, leftRunning, nullptr);
}

bool SendMessageTimeout(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags, DWORD timeoutMs,
                        LRESULT* result, SendFinished* leftRunning, const void* tag) {
  if (leftRunning) leftRunning->reset();
  auto w = FindWindow(hwnd);
  if (!w) return false;
  if (w->owner->tid == GetCurrentThreadId()) {
    LRESULT r = RunTagged(tag, w->cls->proc, hwnd, msg, wParam, lParam);
    if (result) *result = r;
    return true;
  }
  auto rec = std::make_shared<SendRecord>();
  rec->hwnd = hwnd;
  rec->msg = msg;
  rec->wParam = wParam;
  rec->lParam = lParam;
  rec->tag = tag;
  switch (SendAndWait(w->owner, rec, flags, timeoutMs)) {
    case SendOutcome::Ran:
      if (result) *result = rec->result;
      return true;
    case SendOutcome::LeftRunning:
      // The flag lives in the record, which stays as long as either side holds it.
      if (leftRunning) *leftRunning = SendFinished(rec, &rec->returned);
      return false;
    case SendOutcome::NotRun:
      break;
  }
  return false;
}

bool SetTimer(HWND hwnd, UINT id, DWORD intervalMs) {
  auto w = FindWindow(hwnd);
  if (!w) return false;
  if (intervalMs < 10) intervalMs = 10;  // like the window system's minimum
  auto& ctx = *w->owner;
  {
    std::lock_guard<std::mutex> g(ctx.m);
    if (ctx.dead) return false;
    auto due = Clock::now() + std::chrono::milliseconds(intervalMs);
    auto it = std::find_if(ctx.timers.begin(), ctx.timers.end(),
                           [&](const TimerEntry& t) { return t.hwnd == hwnd && t.id == id; });
    if (it != ctx.timers.end()) {
      it->interval = intervalMs;
      it->due = due;
    } else {
      ctx.timers.push_back(TimerEntry{hwnd, id, intervalMs, due});
    }
    ctx.RearmTimerFdLocked();
  }
  ctx.waiter.Wake();  // a sleeping owner must recompute its wake-up time
  return true;
}

bool KillTimer(HWND hwnd, UINT id) {
  auto w = FindWindow(hwnd);
  if (!w) return false;
  auto& ctx = *w->owner;
  std::lock_guard<std::mutex> g(ctx.m);
  auto n = std::erase_if(ctx.timers, [&](const TimerEntry& t) { return t.hwnd == hwnd && t.id == id; });
  ctx.RearmTimerFdLocked();
  return n > 0;
}

void PostQuitMessage(int exitCode) {
  auto me = Current();
  {
    std::lock_guard<std::mutex> g(me->m);
    me->quit = true;
    me->quitCode = exitCode;
  }
  me->Signal();
}

bool PeekMessage(MSG* msg, bool remove) {
  auto me = Current();
  ClearFds(*me);
  AfterPump after{*me, true};
  while (DeliverPendingSends(*me)) {
  }
  MSG m;
  bool got = TakeMessage(*me, &m, remove, UINT64_MAX, true, nullptr);
  if (got && msg) *msg = m;
  return got;
}

LRESULT DispatchMessage(const MSG& msg) {
  if (msg.message == WM_QUIT || msg.hwnd == 0) return 0;
  auto w = FindWindow(msg.hwnd);
  if (!w) return 0;  // destroyed meanwhile: dropped
  return w->cls->proc(msg.hwnd, msg.message, msg.wParam, msg.lParam);
}

bool GetMessage(MSG* msg) {
  auto me = Current();
  for (;;) {
    me->waiter.Arm();
    MSG m;
    if (PeekMessage(&m, true)) {
      if (msg) *msg = m;
      return m.message != WM_QUIT;
    }
    std::optional<Clock::time_point> next;
    {
      std::lock_guard<std::mutex> g(me->m);
      next = me->NextTimerLocked();
    }
    me->waiter.WaitUntil(next);
  }
}

int RunMessageLoop() {
  MSG m;
  while (GetMessage(&m)) DispatchMessage(m);
  return static_cast<int>(m.wParam);
}

bool ProcessMessages() { return PumpRound(*Current()); }

bool HasPendingMessages() {
  auto me = Current();
  std::lock_guard<std::mutex> g(me->m);
  return me->HasPendingLocked(true);
}

bool MsgWaitForMessages(DWORD timeoutMs) {
  auto me = Current();
  Deadline deadline = DeadlineAfter(timeoutMs);
  for (;;) {
    me->waiter.Arm();
    std::optional<Clock::time_point> next;
    {
      std::lock_guard<std::mutex> g(me->m);
      if (me->HasPendingLocked(true)) return true;
      next = me->NextTimerLocked();
    }
    if (deadline && Clock::now() >= *deadline) return false;
    me->waiter.WaitUntil(deadline, next);
  }
}

bool PumpUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
  auto me = Current();
  Deadline deadline = DeadlineAfter(timeoutMs);
  for (;;) {
    me->waiter.Arm();
    PumpRound(*me);
    if (condition()) return true;
    if (deadline && Clock::now() >= *deadline) return false;
    std::optional<Clock::time_point> next;
    {
      std::lock_guard<std::mutex> g(me->m);
      if (me->HasPendingLocked(false)) continue;
      next = me->NextTimerLocked();
    }
    // A condition that nobody wakes us for is looked at again every few milliseconds.
    auto poll = Clock::now() + std::chrono::milliseconds(5);
    if (!next || poll < *next) next = poll;
    me->waiter.WaitUntil(deadline, next);
  }
}

void WakeThread(DWORD threadId) {
  std::shared_ptr<ThreadContext> ctx;
  {
    Threads& th = TheThreads();
    std::lock_guard<std::mutex> g(th.m);
    auto it = th.byTid.find(threadId);
    if (it != th.byTid.end()) ctx = it->second.lock();
  }
  if (ctx) ctx->waiter.Wake();
}

int MessageQueueFd() {
  auto me = Current();
  std::lock_guard<std::mutex> g(me->m);
  if (me->epollFd >= 0) return me->epollFd;
  int ep = ::epoll_create1(EPOLL_CLOEXEC);
  int ev = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  int tf = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (ep < 0 || ev < 0 || tf < 0) {
    std::perror("message queue descriptor");
    if (ep >= 0) ::close(ep);
    if (ev >= 0) ::close(ev);
    if (tf >= 0) ::close(tf);
    return -1;
  }
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.fd = ev;
  ::epoll_ctl(ep, EPOLL_CTL_ADD, ev, &e);
  e.data.fd = tf;
  ::epoll_ctl(ep, EPOLL_CTL_ADD, tf, &e);
  me->epollFd = ep;
  me->eventFd = ev;
  me->timerFd = tf;
  me->RearmTimerFdLocked();
  if (me->HasPendingLocked(true)) {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(ev, &one, sizeof one);
  }
  return ep;
}

void SetMainThread() {
  Current();  // the window thread always has its queue
  TheThreads().mainTid.store(GetCurrentThreadId());
}

DWORD MainThreadId() {
  DWORD t = TheThreads().mainTid.load();
  return t ? t : static_cast<DWORD>(::getpid());
}

bool IsMainThread() { return MainThreadId() == GetCurrentThreadId(); }

void RunOnMainThread(const std::function<void()>& fn) {
  if (IsMainThread()) {
    fn();
    return;
  }
  auto rec = std::make_shared<SendRecord>();
  rec->fn = fn;
  if (SendAndWait(MainContext(), rec, SMTO_NORMAL, INFINITE) != SendOutcome::Ran) return;  // window thread gone
  if (rec->error) std::rethrow_exception(rec->error);
}

void QueueOnMainThread(std::function<void()> fn) {
  if (IsMainThread()) {
    fn();
    return;
  }
  auto rec = std::make_shared<SendRecord>();
  rec->fn = std::move(fn);
  auto owner = MainContext();
  {
    std::lock_guard<std::mutex> g(owner->m);
    if (owner->dead) return;
    owner->sent.push_back(rec);
  }
  owner->Signal();
}
