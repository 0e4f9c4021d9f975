// Message queues: sends with time-out, withdrawal, nesting, destroyed windows, timers, quit.
#include "platform/Messages.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <thread>

#include "platform/Threads.h"

namespace {

constexpr UINT kPing = WM_USER + 1;
constexpr UINT kNest = WM_USER + 2;

struct Recorder {
  std::atomic<int> calls{0};
  std::atomic<DWORD> lastTid{0};
  std::atomic<UINT> lastMsg{0};
};

// A class whose procedure records calls into the Recorder given as user data.
const char* RecorderClass() {
  static const bool once = RegisterClass("testRecorder", [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    auto* r = static_cast<Recorder*>(GetWindowUserData(h));
    if (!r) return 0;
    r->calls++;
    r->lastTid = GetCurrentThreadId();
    r->lastMsg = m;
    if (m == kPing && l) *reinterpret_cast<int*>(l) = static_cast<int>(w) * 2;
    return static_cast<LRESULT>(w) + 1;
  });
  (void)once;
  return "testRecorder";
}

// A worker thread that owns a window and runs a loop of its own.
struct OwnerThread {
  Recorder rec;
  std::atomic<HWND> hwnd{0};
  std::atomic<bool> stop{false};
  std::atomic<int> busyMs{0};
  std::atomic<bool> busy{false};
  std::thread th;

  OwnerThread() {
    th = std::thread([this] {
      hwnd = CreateWindow(RecorderClass(), &rec);
      while (!stop) {
        if (int b = busyMs.exchange(0)) {
          busy = true;
          Sleep(static_cast<DWORD>(b));  // busy, not pumping
          busy = false;
        }
        PumpUntil([this] { return stop.load() || busyMs.load() != 0; }, 20);
      }
      DestroyWindow(hwnd);
    });
    while (!hwnd) std::this_thread::yield();
  }
  ~OwnerThread() {
    stop = true;
    th.join();
  }
  // Returns once the owner has stopped pumping for ms (a loaded machine may take a while to
  // let it start).
  void BeBusy(int ms) {
    busyMs = ms;
    while (!busy) std::this_thread::yield();
  }
};

TEST(SendMessageTimeoutTest, RunsOnOwningThreadAndReturnsResult) {
  OwnerThread owner;
  int out = 0;
  LRESULT r = 0;
  ASSERT_TRUE(SendMessageTimeout(owner.hwnd, kPing, 20, reinterpret_cast<LPARAM>(&out), 3000, &r));
  EXPECT_EQ(r, 21);
  EXPECT_EQ(out, 40);
  EXPECT_EQ(owner.rec.calls, 1);
  EXPECT_NE(owner.rec.lastTid.load(), GetCurrentThreadId());
  EXPECT_EQ(owner.rec.lastTid.load(), GetWindowThreadId(owner.hwnd));
  EXPECT_EQ(SendMessage(owner.hwnd, kPing, 5, 0), 6);
}

TEST(SendMessageTimeoutTest, SendFromOwningThreadRunsAtOnce) {
  Recorder rec;
  HWND h = CreateWindow(RecorderClass(), &rec);
  LRESULT r = 0;
  ASSERT_TRUE(SendMessageTimeout(h, kPing, 1, 0, 0, &r));
  EXPECT_EQ(r, 2);
  EXPECT_EQ(rec.calls, 1);
  DestroyWindow(h);
}

TEST(SendMessageTimeoutTest, TimesOutWhenOwnerBusyAndNeverRunsLater) {
  OwnerThread owner;
  owner.BeBusy(800);
  std::atomic<bool> done{false};
  DWORD elapsed = 0;
  bool ok = true;
  {
    // The argument lives on this stack frame only for the time of the send.
    int onStack = -1;
    DWORD t0 = GetTickCount();
    LRESULT r = 0;
    ok = SendMessageTimeout(owner.hwnd, kPing, 7, reinterpret_cast<LPARAM>(&onStack), 60, &r);
    elapsed = GetTickCount() - t0;
    EXPECT_EQ(onStack, -1);
    done = true;
  }
  EXPECT_FALSE(ok);
  EXPECT_GE(elapsed, 55u);
  EXPECT_LT(elapsed, 600u);
  // The owner pumps again: the withdrawn send must not show up.
  Sleep(900);
  EXPECT_EQ(owner.rec.calls, 0);
  EXPECT_TRUE(IsWindow(owner.hwnd));
}

TEST(SendMessageTimeoutTest, ProcedureThatStartedBeforeTimeOutIsAwaited) {
  static std::atomic<int> finished;
  finished = 0;
  RegisterClass("testSlow", [](HWND, UINT, WPARAM w, LPARAM l) -> LRESULT {
    Sleep(200);
    *reinterpret_cast<int*>(l) = 99;  // writes into the sender's frame: it must still exist
    finished++;
    return static_cast<LRESULT>(w);
  });
  std::atomic<HWND> h{0};
  std::atomic<bool> stop{false};
  std::thread t([&] {
    h = CreateWindow("testSlow");
    PumpUntil([&] { return stop.load(); }, 5000);
    DestroyWindow(h);
  });
  while (!h) std::this_thread::yield();
  int slot = 0;
  LRESULT r = 0;
  DWORD t0 = GetTickCount();
  EXPECT_TRUE(SendMessageTimeout(h, kPing, 5, reinterpret_cast<LPARAM>(&slot), 50, &r));
  EXPECT_GE(GetTickCount() - t0, 190u);
  EXPECT_EQ(r, 5);
  EXPECT_EQ(slot, 99);
  EXPECT_EQ(finished, 1);
  stop = true;
  t.join();
}

// Unless the sender says it need not wait: it goes at its time-out, its thread may end, and
// the procedure finishes later with the arguments it was given; the sender learns when.
TEST(SendMessageTimeoutTest, ProcedureLeftRunningFinishesByItself) {
  static std::atomic<bool> started, release;
  static std::atomic<WPARAM> seen;
  started = release = false;
  seen = 0;
  RegisterClass("testLeftRunning", [](HWND, UINT, WPARAM w, LPARAM) -> LRESULT {
    started = true;
    while (!release) Sleep(1);
    seen = w;
    return 1;
  });
  std::atomic<HWND> h{0};
  std::atomic<bool> stop{false};
  std::thread owner([&] {
    h = CreateWindow("testLeftRunning");
    PumpUntil([&] { return stop.load(); }, INFINITE);
    DestroyWindow(h);
  });
  while (!h) std::this_thread::yield();
  SendFinished finished;
  bool ok = true;
  LRESULT r = -1;
  DWORD elapsed = 0;
  std::thread sender([&] {
    const DWORD t0 = GetTickCount();
    ok = SendMessageTimeout(h, kPing, 42, 0, SMTO_BLOCK | SMTO_LEAVERUNNING, 1000, &r, &finished);
    elapsed = GetTickCount() - t0;
  });
  sender.join();  // gone before the procedure returns
  EXPECT_FALSE(ok);
  EXPECT_GE(elapsed, 990u);
  EXPECT_EQ(r, -1);
  EXPECT_TRUE(started);
  const bool leftRunning = finished != nullptr;
  EXPECT_TRUE(leftRunning);
  EXPECT_FALSE(leftRunning && finished->load());
  release = true;
  for (int i = 0; leftRunning && i < 5000 && !finished->load(); ++i) Sleep(1);
  EXPECT_TRUE(leftRunning && finished->load());
  EXPECT_EQ(seen, 42u);
  // One that answers in time is not left running.
  EXPECT_TRUE(SendMessageTimeout(h, kPing, 1, 0, SMTO_LEAVERUNNING, 5000, &r, &finished));
  EXPECT_FALSE(finished);
  stop = true;
  WakeThread(GetWindowThreadId(h));
  owner.join();
}

// A handler that pumps sees sends that arrive meanwhile (nested delivery), and a thread
// waiting for its own send still answers a send addressed to it.
TEST(SendMessageTest, NestedSendsInsidePumpingHandler) {
  static std::atomic<int> depth, maxDepth, innerSeen;
  static std::atomic<bool> innerSent;
  depth = maxDepth = innerSeen = 0;
  innerSent = false;
  RegisterClass("testNest", [](HWND, UINT m, WPARAM, LPARAM) -> LRESULT {
    int d = ++depth;
    if (d > maxDepth) maxDepth = d;
    if (m == kNest) {
      // The outer handler pumps until the inner send has been handled.
      PumpUntil([] { return innerSeen.load() > 0; }, 3000);
    } else {
      innerSeen++;
    }
    --depth;
    return m == kNest ? 1 : 2;
  });
  HWND h = CreateWindow("testNest");
  std::atomic<LRESULT> outer{0}, inner{0};
  std::thread a([&] { outer = SendMessage(h, kNest, 0, 0); });
  std::thread b([&] {
    // Once the outer handler runs (and pumps).
    while (depth.load() == 0) std::this_thread::yield();
    innerSent = true;
    inner = SendMessage(h, kPing, 0, 0);
  });
  PumpUntil([&] { return outer.load() != 0 && inner.load() != 0; }, 5000);
  a.join();
  b.join();
  EXPECT_EQ(outer, 1);
  EXPECT_EQ(inner, 2);
  EXPECT_EQ(maxDepth, 2);
  DestroyWindow(h);
}

TEST(SendMessageTest, MutualSendsDoNotDeadlock) {
  static std::atomic<HWND> mainWnd{0};
  RegisterClass("testBounce", [](HWND, UINT m, WPARAM w, LPARAM) -> LRESULT {
    if (m == kNest) return SendMessage(mainWnd, kPing, w, 0) + 100;  // back to the sender
    return static_cast<LRESULT>(w) + 1;
  });
  mainWnd = CreateWindow("testBounce");
  std::atomic<HWND> other{0};
  std::atomic<bool> stop{false};
  std::thread t([&] {
    other = CreateWindow("testBounce");
    PumpUntil([&] { return stop.load(); }, 5000);
  });
  while (!other) std::this_thread::yield();
  LRESULT r = 0;
  EXPECT_TRUE(SendMessageTimeout(other, kNest, 3, 0, 2000, &r));
  EXPECT_EQ(r, 104);
  stop = true;
  t.join();
  // The ending thread took its window with it.
  EXPECT_FALSE(IsWindow(other));
  DestroyWindow(mainWnd);
}

TEST(SendMessageTest, DeliveredToThreadInPumpingWait) {
  Recorder rec;
  HWND h = CreateWindow(RecorderClass(), &rec);
  TEvent ev(true, false);
  std::thread t([&] {
    LRESULT r = 0;
    EXPECT_TRUE(SendMessageTimeout(h, kPing, 1, 0, 2000, &r));
    EXPECT_EQ(r, 2);
    ev.SetEvent();
  });
  EXPECT_EQ(ev.WaitForPumping(3000), wrSignaled);
  t.join();
  EXPECT_EQ(rec.calls, 1);
  DestroyWindow(h);
}

TEST(DestroyedWindowTest, PendingMessagesAreDropped) {
  Recorder rec;
  HWND h = CreateWindow(RecorderClass(), &rec);
  ASSERT_TRUE(PostMessage(h, kPing, 1, 0));
  ASSERT_TRUE(SetTimer(h, 1, 10));
  ASSERT_TRUE(DestroyWindow(h));
  Sleep(30);
  ProcessMessages();
  EXPECT_EQ(rec.calls, 0);
  EXPECT_FALSE(IsWindow(h));
  EXPECT_FALSE(PostMessage(h, kPing, 1, 0));
  LRESULT r = 5;
  EXPECT_FALSE(SendMessageTimeout(h, kPing, 1, 0, 100, &r));
  EXPECT_EQ(r, 5);
  // A message taken before the destruction is not dispatched afterwards either.
  HWND h2 = CreateWindow(RecorderClass(), &rec);
  EXPECT_NE(h2, h);
  PostMessage(h2, kPing, 1, 0);
  MSG m;
  ASSERT_TRUE(PeekMessage(&m));
  DestroyWindow(h2);
  EXPECT_EQ(DispatchMessage(m), 0);
  EXPECT_EQ(rec.calls, 0);
}

TEST(DestroyedWindowTest, SendWaitingForDestroyedWindowFails) {
  OwnerThread owner;
  owner.BeBusy(300);
  std::thread killer([&] {
    Sleep(50);
    DestroyWindow(owner.hwnd);
  });
  LRESULT r = 0;
  DWORD t0 = GetTickCount();
  EXPECT_FALSE(SendMessageTimeout(owner.hwnd, kPing, 1, 0, 2000, &r));
  EXPECT_LT(GetTickCount() - t0, 1000u);
  killer.join();
  Sleep(350);
  EXPECT_EQ(owner.rec.calls, 0);
}

TEST(TimerTest, FiresOnOwningThreadUntilKilled) {
  Recorder rec;
  std::atomic<DWORD> ownerTid{0};
  std::thread t([&] {
    ownerTid = GetCurrentThreadId();
    HWND h = CreateWindow(RecorderClass(), &rec);
    SetTimer(h, 7, 20);
    DWORD t0 = GetTickCount();
    PumpUntil([&] { return rec.calls >= 3; }, 2000);
    EXPECT_GE(GetTickCount() - t0, 50u);
    KillTimer(h, 7);
    int seen = rec.calls;
    PumpUntil([] { return false; }, 80);
    EXPECT_EQ(rec.calls, seen);
    DestroyWindow(h);
  });
  t.join();
  EXPECT_GE(rec.calls, 3);
  EXPECT_EQ(rec.lastMsg.load(), WM_TIMER);
  EXPECT_EQ(rec.lastTid.load(), ownerTid.load());
}

TEST(QueueTest, PostedOrderQuitAndPeek) {
  Recorder rec;
  HWND h = CreateWindow(RecorderClass(), &rec);
  PostMessage(h, kPing, 1, 0);
  PostQuitMessage(7);
  PostMessage(h, kPing, 2, 0);
  MSG m;
  ASSERT_TRUE(PeekMessage(&m, false));  // look without taking
  EXPECT_EQ(m.wParam, 1u);
  ASSERT_TRUE(PeekMessage(&m));
  EXPECT_EQ(m.wParam, 1u);
  ASSERT_TRUE(PeekMessage(&m));
  EXPECT_EQ(m.wParam, 2u);
  ASSERT_TRUE(PeekMessage(&m));
  EXPECT_EQ(m.message, WM_QUIT);
  EXPECT_EQ(m.wParam, 7u);
  EXPECT_FALSE(PeekMessage(&m));
  // A quit re-posted by a yielding helper stays for the message loop.
  PostQuitMessage(static_cast<int>(m.wParam));
  EXPECT_FALSE(ProcessMessages());
  EXPECT_EQ(RunMessageLoop(), 7);
  DestroyWindow(h);
}

TEST(QueueTest, DescriptorReadableForPostsAndTimers) {
  Recorder rec;
  HWND h = CreateWindow(RecorderClass(), &rec);
  int fd = MessageQueueFd();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(MessageQueueFd(), fd);
  pollfd p{fd, POLLIN, 0};
  ProcessMessages();
  EXPECT_EQ(poll(&p, 1, 0), 0);
  std::thread t([&] { PostMessage(h, kPing, 1, 0); });
  EXPECT_EQ(poll(&p, 1, 1000), 1);
  t.join();
  ProcessMessages();
  EXPECT_EQ(rec.calls, 1);
  EXPECT_EQ(poll(&p, 1, 0), 0);
  SetTimer(h, 1, 30);
  DWORD t0 = GetTickCount();
  EXPECT_EQ(poll(&p, 1, 1000), 1);
  EXPECT_GE(GetTickCount() - t0, 20u);
  ProcessMessages();
  EXPECT_EQ(rec.calls, 2);
  KillTimer(h, 1);
  DestroyWindow(h);
}

TEST(QueueTest, HandlerExceptionReachesPumpAndKeepsTheRest) {
  static std::atomic<int> handled;
  handled = 0;
  RegisterClass("testThrow", [](HWND, UINT m, WPARAM, LPARAM) -> LRESULT {
    if (m == kNest) throw std::runtime_error("handler failed");
    handled++;
    return 0;
  });
  HWND h = CreateWindow("testThrow");
  int fd = MessageQueueFd();
  PostMessage(h, kNest, 0, 0);
  PostMessage(h, kPing, 0, 0);
  EXPECT_THROW(ProcessMessages(), std::runtime_error);
  pollfd p{fd, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 1);  // the rest is still announced
  ProcessMessages();
  EXPECT_EQ(handled, 1);
  // A sender whose procedure throws gets 0 and is not left hanging.
  std::thread t([&] {
    LRESULT r = 5;
    EXPECT_TRUE(SendMessageTimeout(h, kNest, 0, 0, 2000, &r));
    EXPECT_EQ(r, 0);
  });
  bool thrown = false;
  DWORD t0 = GetTickCount();
  while (!thrown && GetTickCount() - t0 < 2000) {
    try {
      MsgWaitForMessages(50);
      ProcessMessages();
    } catch (const std::runtime_error&) {
      thrown = true;
    }
  }
  t.join();
  EXPECT_TRUE(thrown);
  DestroyWindow(h);
}

TEST(QueueTest, ClassesAndIds) {
  EXPECT_FALSE(RegisterClass(RecorderClass(), DefWindowProc));  // already there
  EXPECT_TRUE(IsClassRegistered("TESTRECORDER"));               // names ignore case
  EXPECT_EQ(CreateWindow("noSuchClass"), 0u);
  HWND a = CreateWindow(RecorderClass());
  DestroyWindow(a);
  HWND b = CreateWindow(RecorderClass());
  EXPECT_NE(a, b);
  DestroyWindow(b);
}

}  // namespace
