// Implements serial/SioDispatch.h, part two: the triggers, handlers and notifications of the
// dispatcher.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <type_traits>

#include "platform/Messages.h"
#include "platform/Threads.h"
#include "serial/SioDispatch.h"
#include "serial/SioPort.h"
#include "serial/Sioexcept.h"

namespace {

constexpr std::uint32_t kMask = DispatchBufferSize - 1;
constexpr std::uint32_t kWindowTimeoutMs = 3000;

// Upper case in the Windows ANSI code page (Windows-1252).
struct UpperTable {
  std::uint8_t t[256];
  constexpr UpperTable() : t() {
    for (int i = 0; i < 256; ++i) t[i] = static_cast<std::uint8_t>(i);
    for (int i = 'a'; i <= 'z'; ++i) t[i] = static_cast<std::uint8_t>(i - 32);
    for (int i = 0xE0; i <= 0xFE; ++i)
      if (i != 0xF7) t[i] = static_cast<std::uint8_t>(i - 32);
    t[0x9A] = 0x8A;
    t[0x9C] = 0x8C;
    t[0x9E] = 0x8E;
    t[0xFF] = 0x9F;
  }
};
constexpr UpperTable kUpper;

// The bytes that can start a data-trigger pattern, to pass over a stream quickly while no
// match is under way.
struct StartBytes {
  bool table[256] = {};
  std::uint8_t list[4] = {};
  int count = 0;  // distinct bytes in list; more than 4: only the table is used
  void Add(std::uint8_t c) {
    if (table[c]) return;
    table[c] = true;
    if (count < 4) list[count] = c;
    ++count;
  }
  // The first byte in [p, e) that starts a pattern, or e. With a few start bytes sixteen
  // bytes are compared at a time.
  const std::uint8_t* Find(const std::uint8_t* p, const std::uint8_t* e) const {
    if (count >= 1 && count <= 4) {
      using V = std::uint8_t __attribute__((vector_size(16)));
      const std::uint8_t b1 = list[count > 1 ? 1 : 0], b2 = list[count > 2 ? 2 : 0],
                         b3 = list[count > 3 ? 3 : 0];
      V s0, s1, s2, s3;
      for (int i = 0; i < 16; ++i) {
        s0[i] = list[0];
        s1[i] = b1;
        s2[i] = b2;
        s3[i] = b3;
      }
      while (e - p >= 16) {
        V v;
        std::memcpy(&v, p, 16);
        const auto hit = (v == s0) | (v == s1) | (v == s2) | (v == s3);
        std::uint64_t h[2];
        std::memcpy(h, &hit, 16);
        if ((h[0] | h[1]) != 0) break;  // the byte is found below
        p += 16;
      }
    }
    while (p < e && !table[*p]) ++p;
    return p;
  }
};

}  // namespace

// ---------------------------------------------------------------------------------------
// Handles
// ---------------------------------------------------------------------------------------

bool TSioBaseDispatcher::HandleInUse(std::uint32_t base) const {
  for (auto& t : timerTriggers_)
    if ((t.Handle & ~7u) == base) return true;
  for (auto& t : statusTriggers_)
    if ((t.Handle & ~7u) == base) return true;
  for (auto& t : dataTriggers_)
    if ((t.Handle & ~7u) == base) return true;
  return false;
}

std::uint32_t TSioBaseDispatcher::GetTriggerHandle() {
  while (triggerCounter_ < 4096) {
    std::uint32_t h = triggerCounter_ * 8;
    ++triggerCounter_;
    if (!HandleInUse(h)) return h;
  }
  for (std::uint32_t h = 8; h <= 0xFFF8; h += 8)
    if (!HandleInUse(h)) return h;
  return 0;
}

int TSioBaseDispatcher::ChangeLengthTrigger(std::uint32_t count) {
  {
    std::lock_guard<TSioLock> g(triggerLock_);
    lengthTrigger_ = count;
  }
  if (dispatchLogging_.load(std::memory_order_relaxed))
    AddDispatchEntry(dtTriggerDataChange, dstAvailTrigger, count);
  return 0;
}

std::uint32_t TSioBaseDispatcher::LengthTrigger() { return lengthTrigger_.load(); }

int TSioBaseDispatcher::AddTimerTrigger() {
  std::uint32_t h;
  {
    std::lock_guard<TSioLock> g(triggerLock_);
    h = GetTriggerHandle();
    if (h == 0) return ecNoMoreTriggers;
    TTimerTrigger t;
    t.Handle = h;
    timerTriggers_.push_back(t);
    AddDispatchEntry(dtTriggerAlloc, dstTimerTrigger, h);
  }
  return static_cast<int>(h);
}

int TSioBaseDispatcher::SetTimerTrigger(std::uint32_t handle, std::int32_t ticks, bool activate) {
  std::lock_guard<TSioLock> g(triggerLock_);
  for (auto& t : timerTriggers_) {
    if (t.Handle != handle || handle < 2) continue;
    if (activate) {
      if (ticks != 0) t.Ticks = ticks;
      NewTimer(t.Timer, t.Ticks);
      t.Armed = true;
      AddDispatchEntry(dtTriggerDataChange, dstTimerTrigger, handle, &t.Ticks, 4);
    } else {
      t.Armed = false;
      AddDispatchEntry(dtTriggerDataChange, dstTimerTrigger, handle, "Deactivated", 11);
    }
    return 0;
  }
  return ecBadTriggerHandle;
}

int TSioBaseDispatcher::ExtendTimer(std::uint32_t handle, std::int32_t ticks) {
  std::lock_guard<TSioLock> g(triggerLock_);
  for (auto& t : timerTriggers_) {
    if (t.Handle != handle || handle < 2) continue;
    t.Timer.ExpireTicks += ticks;
    AddDispatchEntry(dtTriggerDataChange, dstTimerTrigger, handle, &ticks, 4);
    return 0;
  }
  return ecBadTriggerHandle;
}

int TSioBaseDispatcher::TimerTicksRemaining(std::uint32_t handle, std::int32_t& ticks) {
  std::lock_guard<TSioLock> g(triggerLock_);
  for (auto& t : timerTriggers_) {
    if (t.Handle != handle || handle < 2) continue;
    ticks = RemainingTime(t.Timer);
    return 0;
  }
  return ecBadTriggerHandle;
}

int TSioBaseDispatcher::AddDataTrigger(std::string_view text, bool ignoreCase) {
  return AddDataTriggerLen(text.data(), ignoreCase, static_cast<std::uint32_t>(text.size()));
}

int TSioBaseDispatcher::AddDataTriggerLen(const void* data, bool ignoreCase, std::uint32_t length) {
  if (length > MaxTrigData) return ecTriggerTooLong;
  std::lock_guard<TSioLock> g(triggerLock_);
  std::uint32_t h = GetTriggerHandle();
  if (h == 0) return ecNoMoreTriggers;
  TDataTrigger t;
  t.Handle = h;
  t.Length = length;
  t.IgnoreCase = ignoreCase;
  const auto* p = static_cast<const std::uint8_t*>(data);
  for (std::uint32_t i = 0; i < length; ++i) t.Pattern[i] = ignoreCase ? kUpper.t[p[i]] : p[i];
  dataTriggers_.push_back(t);
  AddDispatchEntry(dtTriggerAlloc, dstDataTrigger, h, t.Pattern, length);
  return static_cast<int>(h);
}

int TSioBaseDispatcher::AddStatusTrigger(std::uint32_t kind) {
  if (kind > stOutSent) return ecBadArgument;
  std::lock_guard<TSioLock> g(triggerLock_);
  std::uint32_t h = GetTriggerHandle();
  if (h == 0) return ecNoMoreTriggers;
  TStatusTrigger t;
  t.Handle = h | kind;
  t.Kind = kind;
  statusTriggers_.push_back(t);
  std::uint8_t k = static_cast<std::uint8_t>(kind);
  AddDispatchEntry(dtTriggerAlloc, dstStatusTrigger, t.Handle, &k, 1);
  return static_cast<int>(t.Handle);
}

int TSioBaseDispatcher::SetStatusTrigger(std::uint32_t handle, std::uint32_t value, bool activate) {
  std::lock_guard<TSioLock> g(triggerLock_);
  for (auto& t : statusTriggers_) {
    if (t.Handle != handle || handle < 2) continue;
    if (activate) {
      switch (t.Kind) {
        case stModem: {
          std::uint32_t mask = value & 0xFF;
          t.Condition = static_cast<std::uint16_t>((mask << 8) | (mask & modemStatus_));
          break;
        }
        case stLine: {
          std::uint16_t m = 0;
          if (value & 1) m |= leOverrun;
          if (value & 2) m |= leParity;
          if (value & 4) m |= leFraming;
          if (value & 8) m |= leBreak;
          t.Condition = m;
          break;
        }
        case stOutBuffFree:
        case stOutBuffUsed:
          t.Condition = static_cast<std::uint16_t>(value);
          break;
        default:
          break;
      }
      std::uint32_t c = t.Condition;
      AddDispatchEntry(dtTriggerDataChange, dstStatusTrigger, handle, &c, 4);
    }
    t.Armed = activate;
    if (activate && t.Kind == stOutBuffFree) outFreeArmed_.store(true, std::memory_order_release);
    return 0;
  }
  return ecBadTriggerHandle;
}

TTriggerType TSioBaseDispatcher::FindTriggerFromHandle(std::uint32_t handle, bool remove) {
  if (handle < 2) return handle == LengthTriggerHandle ? ttAvail : ttNone;
  std::lock_guard<TSioLock> g(triggerLock_);
  for (auto it = timerTriggers_.begin(); it != timerTriggers_.end(); ++it) {
    if (it->Handle != handle) continue;
    if (remove) {
      AddDispatchEntry(dtTriggerDispose, dstTimer, handle);
      timerTriggers_.erase(it);
    }
    return ttTimer;
  }
  for (auto it = statusTriggers_.begin(); it != statusTriggers_.end(); ++it) {
    if (it->Handle != handle) continue;
    if (remove) {
      std::uint8_t k = static_cast<std::uint8_t>(it->Kind);
      AddDispatchEntry(dtTriggerDispose, dstStatusTrigger, handle, &k, 1);
      statusTriggers_.erase(it);
    }
    return ttStatus;
  }
  for (auto it = dataTriggers_.begin(); it != dataTriggers_.end(); ++it) {
    if (it->Handle != handle) continue;
    if (remove) {
      AddDispatchEntry(dtTriggerDispose, dstData, handle);
      dataTriggers_.erase(it);
    }
    return ttData;
  }
  return ttNone;
}

int TSioBaseDispatcher::RemoveTrigger(std::uint32_t handle) {
  if (handle == LengthTriggerHandle) {
    ChangeLengthTrigger(0);
    return 0;
  }
  return FindTriggerFromHandle(handle, true) == ttNone ? ecBadTriggerHandle : 0;
}

void TSioBaseDispatcher::RemoveAllTriggers() {
  std::lock_guard<TSioLock> g(triggerLock_);
  lengthTrigger_ = 0;
  timerTriggers_.clear();
  statusTriggers_.clear();
  dataTriggers_.clear();
  triggerCounter_ = 1;
}

void TSioBaseDispatcher::FreeTriggers() {
  std::lock_guard<TSioLock> g(triggerLock_);
  timerTriggers_.clear();
  statusTriggers_.clear();
  dataTriggers_.clear();
  wndHandlers_.clear();
  procHandlers_.clear();
  eventHandlers_.clear();
}

void TSioBaseDispatcher::SaveTriggers(TTriggerSave& save) {
  ClearSaveBuffers(save);
  std::lock_guard<TSioLock> g(triggerLock_);
  save.LengthTrigger = lengthTrigger_;
  save.Timers = timerTriggers_;
  save.Status = statusTriggers_;
  save.Data = dataTriggers_;
}

void TSioBaseDispatcher::RestoreTriggers(const TTriggerSave& save) {
  std::lock_guard<TSioLock> g(triggerLock_);
  lengthTrigger_ = save.LengthTrigger;
  timerTriggers_ = save.Timers;
  statusTriggers_ = save.Status;
  dataTriggers_ = save.Data;
  // Bytes of the previous session must not complete a match in the new one.
  for (auto& t : dataTriggers_) {
    std::fill(std::begin(t.Counters), std::end(t.Counters), 0u);
    t.Busy = 0;
    t.Matched = false;
  }
  for (auto& t : statusTriggers_) t.Hit = false;
}

void TSioBaseDispatcher::ClearSaveBuffers(TTriggerSave& save) {
  save.LengthTrigger = 0;
  save.Timers.clear();
  save.Status.clear();
  save.Data.clear();
}

void TSioBaseDispatcher::ResetStatusHits() {
  std::lock_guard<TSioLock> g(triggerLock_);
  for (auto& t : statusTriggers_) t.Hit = false;
  statusHit_ = false;
}

bool TSioBaseDispatcher::OutputTriggersArmed() {
  std::lock_guard<TSioLock> g(triggerLock_);
  for (auto& t : statusTriggers_)
    if (t.Armed && t.Kind >= stOutBuffFree) return true;
  return false;
}

bool TSioBaseDispatcher::OutFreeTriggerArmed() {
  if (!outFreeArmed_.load(std::memory_order_acquire)) return false;
  std::lock_guard<TSioLock> g(triggerLock_);
  bool armed = false;
  for (auto& t : statusTriggers_)
    if (t.Armed && t.Kind == stOutBuffFree) armed = true;
  outFreeArmed_.store(armed, std::memory_order_release);
  return armed;
}

void TSioBaseDispatcher::ResetDataTriggers() {
  std::lock_guard<TSioLock> g(triggerLock_);
  for (auto& t : dataTriggers_) {
    std::fill(std::begin(t.Counters), std::end(t.Counters), 0u);
    t.Busy = 0;
    t.Matched = false;
  }
}

// ---------------------------------------------------------------------------------------
// Handlers
// ---------------------------------------------------------------------------------------

void TSioBaseDispatcher::UpdateHandlerFlagsLocked(TApHandlerFlagUpdate kind) {
  int wnd = 0, procs = 0, events = 0;
  for (auto& h : wndHandlers_)
    if (!h->Deleted) ++wnd;
  for (auto& h : procHandlers_)
    if (!h->Deleted) ++procs;
  for (auto& h : eventHandlers_)
    if (!h->Deleted) ++events;
  switch (kind) {
    case fuKeepPort:
      handlerServiceNeeded_ = wnd > 1 || procs > 0 || events > 0 || portHandlerInstalled_;
      break;
    case fuEnablePort:
      portHandlerInstalled_ = true;
      handlerServiceNeeded_ = true;
      break;
    case fuDisablePort:
      portHandlerInstalled_ = false;
      handlerServiceNeeded_ = wnd > 1 || procs > 0 || events > 0;
      break;
  }
}

void TSioBaseDispatcher::UpdateHandlerFlags(TApHandlerFlagUpdate kind) {
  std::lock_guard<TSioLock> g(triggerLock_);
  UpdateHandlerFlagsLocked(kind);
}

bool TSioBaseDispatcher::PortHandlerInstalled() {
  std::lock_guard<TSioLock> g(triggerLock_);
  return portHandlerInstalled_;
}

int TSioBaseDispatcher::RegisterWndTriggerHandler(HWND window) {
  std::lock_guard<TSioLock> g(triggerLock_);
  wndHandlers_.push_back(std::make_unique<WndHandler>(WndHandler{window, false}));
  handlerServiceNeeded_ = true;
  AddDispatchEntry(dtTriggerHandlerAlloc, dstWndHandler, window);
  return 0;
}

int TSioBaseDispatcher::RegisterProcTriggerHandler(TSioNotifyProc proc) {
  std::lock_guard<TSioLock> g(triggerLock_);
  procHandlers_.push_back(std::make_unique<ProcHandler>(ProcHandler{proc, false}));
  handlerServiceNeeded_ = true;
  AddDispatchEntry(dtTriggerHandlerAlloc, dstProcHandler, 0);
  return 0;
}

int TSioBaseDispatcher::RegisterEventTriggerHandler(TSioNotifyEvent method) {
  std::lock_guard<TSioLock> g(triggerLock_);
  eventHandlers_.push_back(std::make_unique<EventHandler>(EventHandler{method, false, false}));
  handlerServiceNeeded_ = true;
  AddDispatchEntry(dtTriggerHandlerAlloc, dstEventHandler, 0);
  return 0;
}

int TSioBaseDispatcher::RegisterSyncEventTriggerHandler(TSioNotifyEvent method) {
  std::lock_guard<TSioLock> g(triggerLock_);
  eventHandlers_.push_back(std::make_unique<EventHandler>(EventHandler{method, false, true}));
  handlerServiceNeeded_ = true;
  AddDispatchEntry(dtTriggerHandlerAlloc, dstEventHandler, 1);
  return 0;
}

template <class List, class Pred>
static bool RemoveHandler(List& list, bool defer, bool& toDelete, Pred pred) {
  for (auto it = list.begin(); it != list.end(); ++it) {
    if ((*it)->Deleted || !pred(**it)) continue;
    if (defer) {
      (*it)->Deleted = true;
      toDelete = true;
    } else {
      list.erase(it);
    }
    return true;
  }
  return false;
}

int TSioBaseDispatcher::DeregisterWndTriggerHandler(HWND window) {
  std::lock_guard<TSioLock> g(triggerLock_);
  if (RemoveHandler(wndHandlers_, notifying_, handlersToDelete_,
                    [&](const WndHandler& h) { return h.Window == window; }))
    AddDispatchEntry(dtTriggerHandlerDispose, dstWndHandler, window);
  UpdateHandlerFlagsLocked(fuKeepPort);
  return 0;
}

int TSioBaseDispatcher::DeregisterProcTriggerHandler(TSioNotifyProc proc) {
  std::lock_guard<TSioLock> g(triggerLock_);
  if (RemoveHandler(procHandlers_, notifying_, handlersToDelete_,
                    [&](const ProcHandler& h) { return h.Proc == proc; }))
    AddDispatchEntry(dtTriggerHandlerDispose, dstProcHandler, 0);
  UpdateHandlerFlagsLocked(fuKeepPort);
  return 0;
}

int TSioBaseDispatcher::DeregisterEventTriggerHandler(TSioNotifyEvent method) {
  std::lock_guard<TSioLock> g(triggerLock_);
  bool sync = false;
  if (RemoveHandler(eventHandlers_, notifying_, handlersToDelete_, [&](const EventHandler& h) {
        sync = h.Sync;
        return h.Method == method;
      }))
    AddDispatchEntry(dtTriggerHandlerDispose, dstEventHandler, sync ? 1 : 0);
  UpdateHandlerFlagsLocked(fuKeepPort);
  return 0;
}

void TSioBaseDispatcher::PurgeDeletedHandlers() {
  auto purge = [](auto& list) {
    list.erase(std::remove_if(list.begin(), list.end(), [](const auto& h) { return h->Deleted; }),
               list.end());
  };
  purge(wndHandlers_);
  purge(procHandlers_);
  purge(eventHandlers_);
  handlersToDelete_ = false;
}

// ---------------------------------------------------------------------------------------
// Notifications
// ---------------------------------------------------------------------------------------

bool TSioBaseDispatcher::LateHandlerRunning() {
  std::lock_guard<TSioLock> g(dispatchLock_);
  DropReturnedLocked();
  return !lateCalls_.empty();
}

bool TSioBaseDispatcher::LateHandlerRunningElsewhere() {
  std::lock_guard<TSioLock> g(dispatchLock_);
  DropReturnedLocked();
  const DWORD me = GetCurrentThreadId();
  return std::any_of(lateCalls_.begin(), lateCalls_.end(), [&](const auto& c) { return c->Thread != me; });
}

void TSioBaseDispatcher::DropReturnedLocked() {
  // Its procedure has returned: the call reads no more (its tag is gone with it).
  std::erase_if(lateCalls_, [](const auto& c) { return c->Finished->load(std::memory_order_acquire); });
}

void TSioBaseDispatcher::BeginRelativeLocked() {
  inRelative_ = true;
  largestGetCount_ = flushedInRound_ = 0;
  flushesAtRound_ = flushes_;
}

bool TSioBaseDispatcher::SendNotify(UINT msg, WPARAM wParam, std::uint32_t data) {
  bool relative = msg == SW_TRIGGERAVAIL || msg == SW_TRIGGERDATA;
  if (relative && handlerServiceNeeded_.load()) {
    std::lock_guard<TSioLock> g(dispatchLock_);
    BeginRelativeLocked();
  }
  return SendNotifyPrim(msg, wParam, data, relative);
}

// relative: an avail or data notification, for which the caller has switched reads to
// relative mode when handlers were registered.
bool TSioBaseDispatcher::SendNotifyPrim(UINT msg, WPARAM wParam, std::uint32_t data, bool relative) {
  if (!handlerServiceNeeded_.load()) {
    if (relative) {
      std::lock_guard<TSioLock> g(dispatchLock_);
      inRelative_ = false;
      largestGetCount_ = flushedInRound_ = 0;
    }
    return true;
  }
  {
    std::lock_guard<TSioLock> g(triggerLock_);
    inNotification_ = true;
    notifying_ = true;
    if (dispatchLogging_.load(std::memory_order_relaxed)) {
      TDispatchSubType st = msg == SW_TRIGGERAVAIL   ? dstAvail
                            : msg == SW_TRIGGERDATA  ? dstData
                            : msg == SW_TRIGGERTIMER ? dstTimer
                                                     : dstStatus;
      AddDispatchEntry(dtTrigger, st, static_cast<std::uint32_t>(wParam));
    }
  }
  const LPARAM lParam = static_cast<LPARAM>(data & 0xFFFF) + static_cast<LPARAM>(handle_) * 65536;
  bool aborted = false;
  // The bytes of this notification: every call reads them from the start. The head does not
  // move while the notification runs.
  TSioHandlerCall round;
  {
    std::lock_guard<TSioLock> g(dispatchLock_);
    relative = relative && inRelative_;
    round.Relative = relative;
    round.Begin = dispTail_;
    round.End = dispHead_;
  }

  auto beginCall = [&](TSioHandlerCall& call) {
    call = round;
    if (!relative) return;
    std::lock_guard<TSioLock> g(dispatchLock_);
    call.Taken = flushedInRound_;
  };
  auto endCall = [&](const TSioHandlerCall& call) {
    if (relative) {
      std::lock_guard<TSioLock> g(dispatchLock_);
      largestGetCount_ = std::max(largestGetCount_, call.Taken);
    }
    if (closeDeferred_.load(std::memory_order_acquire)) aborted = true;
  };

  // Each live handler of a list in turn, on a copy of its record taken under the trigger lock;
  // no lock is held while it runs. Window handlers are served only while more than one is
  // live or the port's own is installed.
  auto eachHandler = [&](auto& list, bool windows, auto&& run) {
    for (std::size_t i = 0; !aborted; ++i) {
      std::remove_cvref_t<decltype(*list.front())> h{};
      {
        std::lock_guard<TSioLock> g(triggerLock_);
        if (i >= list.size()) break;
        if (windows) {
          std::size_t live = 0;
          for (auto& w : wndHandlers_)
            if (!w->Deleted) ++live;
          if (!(live > 1 || portHandlerInstalled_)) break;
        }
        if (list[i]->Deleted) continue;
        h = *list[i];
      }
      run(h);
    }
  };
  // What a handler throws goes to the library's exception handler, on the thread the handler
  // ran on: the round ends as usual and the port goes on notifying.
  auto callHandler = [&](bool onWindowThread, auto&& handler) {
    TSioHandlerCall call;
    beginCall(call);
    const auto guarded = [&] {
      SioGuarded([&] {
        TSioHandlerScope scope(this, &call);
        handler();
      });
    };
    if (onWindowThread)
      RunOnMainThread(guarded);
    else
      guarded();
    endCall(call);
  };

  // Method handlers, then procedures, then windows.
  eachHandler(eventHandlers_, false,
              [&](const EventHandler& h) { callHandler(h.Sync, [&] { h.Method(msg, wParam, lParam); }); });
  eachHandler(procHandlers_, false,
              [&](const ProcHandler& h) { callHandler(false, [&] { h.Proc(msg, wParam, lParam); }); });
  eachHandler(wndHandlers_, true, [&](const WndHandler& h) {
    // The call outlives this round when its procedure is left running.
    auto call = std::make_unique<TSioHandlerCall>();
    beginCall(*call);
    call->Thread = GetWindowThreadId(h.Window);
    {
      std::lock_guard<TSioLock> g(dispatchLock_);
      windowCall_ = call.get();
    }
    // The procedure runs on the window's thread, as a message sent from this one (or here,
    // when this thread owns the window), tagged with its call. One that is still busy after
    // its time is skipped: it finishes by itself, and its messages carry no pointers.
    LRESULT res = 0;
    SendFinished late;
    SioGuarded([&] {
      SendMessageTimeout(h.Window, msg, wParam, lParam, SMTO_BLOCK | SMTO_LEAVERUNNING, kWindowTimeoutMs,
                         &res, &late, call.get());
    });
    endCall(*call);
    std::lock_guard<TSioLock> g(dispatchLock_);
    windowCall_ = nullptr;
    if (late) {
      call->Finished = std::move(late);
      DropReturnedLocked();
      lateCalls_.push_back(std::move(call));
    }
  });

  bool result = !aborted;
  bool roomMade = false;
  {
    std::lock_guard<TSioLock> g(dispatchLock_);
    if (relative) {
      inRelative_ = false;
      // What the calls left running took so far counts as well.
      for (auto& c : lateCalls_)
        if (!c->Ended) largestGetCount_ = std::max(largestGetCount_, c->Taken);
      if (!aborted && dispBuff_) {
        std::uint32_t take = std::min(largestGetCount_, PresentLocked());
        roomMade = take > 0 && PresentLocked() == DispatchBufferSize;
        dispTail_ += take;
        if (scanPos_ < dispTail_) scanPos_ = dispTail_;
        if (msg == SW_TRIGGERAVAIL && largestGetCount_ != wParam) result = false;
      }
      largestGetCount_ = flushedInRound_ = 0;
    }
    // A call left running may go on reading its notification's bytes up to the tail, the
    // ones another handler took; what lies beyond is the next notification's. After a flush
    // in the round it reads nothing more.
    const bool flushed = flushes_ != flushesAtRound_;
    for (auto& c : lateCalls_) {
      if (c->Ended) continue;
      c->Ended = true;
      c->End = flushed || aborted ? std::min(c->End, c->Begin + c->Taken) : std::min(c->End, dispTail_);
    }
  }
  {
    std::lock_guard<TSioLock> g(triggerLock_);
    inNotification_ = false;
    notifying_ = false;
    if (handlersToDelete_) {
      PurgeDeletedHandlers();
      UpdateHandlerFlagsLocked(fuKeepPort);
    }
  }
  if (roomMade) DispatchRoomMade();
  return result;
}

// ---------------------------------------------------------------------------------------
// Engines' notices and readings
// ---------------------------------------------------------------------------------------

bool SendEngineNotice(const void* engine, HWND window, UINT msg, WPARAM wParam, LPARAM lParam,
                      TEngineNoticeWait wait, DWORD timeoutMs, LRESULT& result) {
  result = 0;
  // Without a time-out the send ends unanswered only when the window or its thread is gone.
  return SendMessageTimeout(window, msg, wParam, lParam, SMTO_ABORTIFHUNG | SMTO_BLOCK,
                            wait == TEngineNoticeWait::Delivered ? INFINITE : timeoutMs, &result, nullptr,
                            engine);
}

void WaitForEngine(const void* engine) {
  if (!DeliverSendsTagged(engine)) std::this_thread::sleep_for(std::chrono::microseconds(200));
}

// ---------------------------------------------------------------------------------------
// Trigger tests
// ---------------------------------------------------------------------------------------

bool TSioBaseDispatcher::CheckTimerTriggers() {
  std::uint32_t handle = 0;
  {
    std::lock_guard<TSioLock> g(triggerLock_);
    for (auto& t : timerTriggers_) {
      if (t.Armed && TimerExpired(t.Timer)) {
        t.Armed = false;
        handle = t.Handle;
        break;
      }
    }
  }
  if (handle == 0) return false;
  return SendNotify(SW_TRIGGERTIMER, handle, 0);
}

bool TSioBaseDispatcher::StatusConditionHolds(TStatusTrigger& t, std::uint32_t& data) {
  data = 0;
  switch (t.Kind) {
    case stModem:
      return (modemStatus_ & (t.Condition >> 8)) != (t.Condition & 0xFF);
    case stLine:
      return (lastError_.load() & t.Condition) != 0;
    case stOutBuffFree: {
      std::uint32_t f = OutBuffFree();
      data = f;
      return f >= t.Condition;
    }
    case stOutBuffUsed: {
      std::uint32_t u = OutBuffUsed();
      data = u;
      return u <= t.Condition;
    }
    case stOutSent:
      return outputSent_.load();
    default:
      return false;
  }
}

bool TSioBaseDispatcher::CheckStatusTriggers() {
  std::uint32_t handle = 0, data = 0;
  {
    std::lock_guard<TSioLock> g(triggerLock_);
    for (auto& t : statusTriggers_) {
      if (!t.Armed || t.Hit) continue;
      if (!StatusConditionHolds(t, data)) continue;
      t.Armed = false;
      t.Hit = true;
      statusHit_ = true;
      if (t.Kind == stOutSent) outputSent_ = false;
      handle = t.Handle;
      break;
    }
  }
  if (handle == 0) return false;
  return SendNotify(SW_TRIGGERSTATUS, handle, data);
}

bool TSioBaseDispatcher::MatchData(TDataTrigger& t, std::uint8_t c) {
  if (t.IgnoreCase) c = kUpper.t[c];
  const std::uint8_t first = t.Pattern[0];
  // Nothing pending and not the first character: nothing changes.
  if (t.Busy == 0 && c != first) return false;
  const std::uint32_t n = t.Length;
  bool started = false;
  bool complete = false;
  std::uint32_t busy = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    std::uint32_t& ctr = t.Counters[i];
    if (i != 0 && ctr == 0 && (started || first != c)) continue;
    std::uint32_t pos = ctr;
    if (t.Pattern[pos] == c) {
      ctr = pos + 1;
      if (ctr == n) {
        // A completed match drops every partial one; the walk goes on, so this byte can
        // start the next match.
        complete = true;
        std::fill(std::begin(t.Counters), std::end(t.Counters), 0u);
        busy = 0;
      }
    } else if (first == c) {
      ctr = 1;
      started = true;
    } else {
      ctr = 0;
    }
    if (ctr == 1) started = true;
    if (ctr != 0)
      busy |= 1u << i;
    else
      busy &= ~(1u << i);
  }
  t.Busy = busy;
  return complete;
}

bool TSioBaseDispatcher::CheckReceiveTriggers() {
  std::uint32_t availCount = 0;
  bool sendAvail = false;
  bool matched = false;
  std::uint64_t matchPos = 0;
  std::uint64_t flushes = 0;
  {
    std::lock_guard<TSioLock> g(dispatchLock_);
    if (!dispBuff_) return false;
    // A wait that has set its mark reads on its own: no notification is begun beside it
    // (its reads take this lock, so it cannot slip in between this test and the handlers).
    if (waitBusy_.load()) return false;
    flushes = flushes_;
    std::lock_guard<TSioLock> g2(triggerLock_);
    // Never look at bytes the application has already taken or discarded.
    if (scanPos_ < dispTail_) scanPos_ = dispTail_;
    const std::uint64_t head = dispHead_;
    bool anyData = false;
    for (auto& t : dataTriggers_)
      if (t.Length != 0) {
        anyData = true;
        break;
      }
    std::uint32_t longest = 0;
    if (anyData) {
      StartBytes starts;
      bool pending = false;
      for (auto& t : dataTriggers_) {
        if (t.Length == 0) continue;
        starts.Add(t.Pattern[0]);
        if (t.IgnoreCase) {
          for (int ch = 0; ch < 256; ++ch)
            if (kUpper.t[ch] == t.Pattern[0]) starts.Add(static_cast<std::uint8_t>(ch));
        }
        if (t.Busy != 0 || t.Matched) pending = true;
      }
      const std::uint8_t* buf = dispBuff_.get();
      for (std::uint64_t i = scanPos_; i < head; ++i) {
        if (!pending) {
          // Run over the contiguous piece up to the next byte that starts a pattern.
          const std::uint32_t idx = static_cast<std::uint32_t>(i & kMask);
          const std::uint32_t len =
              static_cast<std::uint32_t>(std::min<std::uint64_t>(head - i, DispatchBufferSize - idx));
          const std::uint8_t* e = buf + idx + len;
          const std::uint8_t* p = starts.Find(buf + idx, e);
          i += static_cast<std::uint64_t>(p - (buf + idx));
          if (p == e) {
            --i;  // the loop steps on to the next piece
            continue;
          }
        }
        const std::uint8_t c = buf[i & kMask];
        pending = false;
        for (auto& t : dataTriggers_) {
          if (t.Length == 0) continue;
          if (MatchData(t, c)) t.Matched = true;
          if (t.Matched) {
            matched = true;
            longest = std::max(longest, t.Length);
          }
          if (t.Busy != 0) pending = true;
        }
        if (matched) {
          matchPos = i;
          break;
        }
      }
    }
    const std::uint32_t lt = lengthTrigger_.load();
    if (matched) {
      if (lt != 0 && notifyPos_ != matchPos) {
        std::uint32_t count = static_cast<std::uint32_t>(matchPos + 1 - dispTail_);
        if (count >= longest && count - longest >= lt) {
          availCount = count - longest;
          sendAvail = true;
          notifyPos_ = matchPos;
        }
      }
      scanPos_ = matchPos;
    } else {
      scanPos_ = head;
      if (lt != 0 && notifyPos_ != head) {
        std::uint32_t count = PresentLocked();
        if (count >= lt) {
          availCount = count;
          sendAvail = true;
          notifyPos_ = head;
        }
      }
    }
    if (sendAvail && handlerServiceNeeded_.load()) BeginRelativeLocked();
  }
  bool result = false;
  if (sendAvail) {
    result = SendNotifyPrim(SW_TRIGGERAVAIL, availCount, 0, true);
    if (closeDeferred_.load()) return false;
  }
  if (!matched) return result;
  // Data notifications, the trigger added last first.
  {
    std::lock_guard<TSioLock> g(dispatchLock_);
    if (scanPos_ == matchPos) scanPos_ = matchPos + 1;
  }
  for (;;) {
    std::uint32_t handle = 0, length = 0;
    {
      std::lock_guard<TSioLock> g(triggerLock_);
      for (auto it = dataTriggers_.rbegin(); it != dataTriggers_.rend(); ++it) {
        if (!it->Matched) continue;
        it->Matched = false;
        handle = it->Handle;
        length = it->Length;
        break;
      }
    }
    if (handle == 0) break;
    {
      std::lock_guard<TSioLock> g(dispatchLock_);
      // A flush since the match has discarded the bytes that matched.
      if (flushes_ != flushes) break;
      if (handlerServiceNeeded_.load()) BeginRelativeLocked();
    }
    result = SendNotifyPrim(SW_TRIGGERDATA, handle, length, true);
    if (closeDeferred_.load()) return false;
  }
  return result;
}

bool TSioBaseDispatcher::CheckTriggers() {
  if (CheckTimerTriggers()) return true;
  if (CheckStatusTriggers()) return true;
  return CheckReceiveTriggers();
}

// ---------------------------------------------------------------------------------------
// One round of the dispatch thread
// ---------------------------------------------------------------------------------------

void TSioBaseDispatcher::StatusRound() {
  while (!closeDeferred_.load() && CheckStatusTriggers()) {
  }
  if (statusHit_.load()) ResetStatusHits();
}

void TSioBaseDispatcher::HandleEvents(std::uint32_t mask) {
  if (mask & evModemEvents) {
    MapEventsToMS();
    if (!EventBusy()) StatusRound();
  }
  if (mask & evLineEvents) {
    RefreshStatus();
    if (!EventBusy()) StatusRound();
  }
  ExtractData();
  if (!EventBusy()) {
    while (!closeDeferred_.load() && CheckStatusTriggers()) {
    }
    while (!closeDeferred_.load() && CheckReceiveTriggers()) {
    }
  }
  if (statusHit_.load()) ResetStatusHits();
}

void TSioBaseDispatcher::CheckIdleTriggers() {
  if (closeDeferred_.load() || EventBusy()) return;
  statusHit_ = false;
  for (;;) {
    if (closeDeferred_.load()) break;
    bool fired = CheckStatusTriggers();
    if (closeDeferred_.load()) break;
    fired = CheckTimerTriggers() || fired;
    if (!fired) break;
  }
  if (statusHit_.load()) ResetStatusHits();
}

int TSioBaseDispatcher::NextTimerWait(int maxMs) {
  // While a notification or a wait for text runs, timers are not tested: no early wake-up.
  if (EventBusy() || closeDeferred_.load()) return maxMs;
  std::lock_guard<TSioLock> g(triggerLock_);
  if (timerTriggers_.empty()) return maxMs;
  const std::uint32_t now = SioTimeGetTime();
  const std::int64_t curTick = now / MSecsPerTick;
  const std::int64_t intoTick = now % MSecsPerTick;
  std::int64_t best = maxMs;
  for (auto& t : timerTriggers_) {
    if (!t.Armed) continue;
    std::int64_t dt = static_cast<std::int64_t>(t.Timer.ExpireTicks) - curTick;
    if (dt < 0) return 0;
    // It fires once the current tick has passed the expiry tick.
    std::int64_t ms = (dt + 1) * MSecsPerTick - intoTick + 1;
    best = std::min(best, ms);
  }
  return static_cast<int>(std::max<std::int64_t>(best, 0));
}
