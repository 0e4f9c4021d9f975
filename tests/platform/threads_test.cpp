// Threads, Synchronize, OnTerminate, FreeOnTerminate, events and critical sections.
#include "platform/Threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/Messages.h"

namespace {

class FnThread : public TThread {
 public:
  explicit FnThread(std::function<void(FnThread&)> body, bool freeOnTerminate = false,
                    std::atomic<bool>* destroyed = nullptr)
      : TThread(false), body_(std::move(body)), destroyed_(destroyed) {
    SetFreeOnTerminate(freeOnTerminate);
  }
  ~FnThread() override {
    if (destroyed_) *destroyed_ = true;
  }
  using TThread::Synchronize;

 protected:
  void Execute() override { body_(*this); }

 private:
  std::function<void(FnThread&)> body_;
  std::atomic<bool>* destroyed_;
};

TEST(ThreadTest, WaitForReturnsExitCodeAndTerminateIsSeen) {
  FnThread t([](FnThread& self) {
    while (!self.Terminated()) Sleep(1);
    self.SetReturnValue(42);
  });
  EXPECT_TRUE(t.Suspended());
  t.Start();
  EXPECT_NE(t.ThreadID(), 0u);
  EXPECT_NE(t.ThreadID(), GetCurrentThreadId());
  Sleep(20);
  EXPECT_FALSE(t.Finished());
  t.Terminate();
  EXPECT_EQ(t.WaitFor(), 42);
  EXPECT_TRUE(t.Finished());
}

TEST(ThreadTest, SynchronizeRunsOnWindowThreadWhileItWaits) {
  std::atomic<DWORD> ranOn{0};
  FnThread t([&](FnThread&) { TThread::Synchronize([&] { ranOn = GetCurrentThreadId(); }); });
  t.Start();
  t.WaitFor();  // the window thread handles the call while it waits
  EXPECT_EQ(ranOn.load(), GetCurrentThreadId());
  EXPECT_TRUE(IsMainThread());
  // From the window thread itself the call runs at once.
  bool direct = false;
  TThread::Synchronize([&] { direct = true; });
  EXPECT_TRUE(direct);
}

TEST(ThreadTest, SynchronizeDeliveredByProcessMessagesAndPassesExceptions) {
  std::atomic<bool> caught{false};
  std::atomic<DWORD> ranOn{0};
  FnThread t([&](FnThread&) {
    TThread::Synchronize([&] { ranOn = GetCurrentThreadId(); });
    try {
      TThread::Synchronize([] { throw std::runtime_error("boom"); });
    } catch (const std::runtime_error&) {
      caught = true;
    }
  });
  t.Start();
  DWORD t0 = GetTickCount();
  while (!t.Finished() && GetTickCount() - t0 < 3000) {
    ProcessMessages();
    Sleep(1);
  }
  EXPECT_EQ(ranOn.load(), GetCurrentThreadId());
  EXPECT_TRUE(caught);
  t.WaitFor();
}

TEST(ThreadTest, FreeOnTerminateRunsOnTerminateOnWindowThreadThenDeletes) {
  std::atomic<bool> destroyed{false};
  std::atomic<DWORD> onTermTid{0};
  auto* t = new FnThread([](FnThread& self) { self.SetReturnValue(3); }, true, &destroyed);
  t->OnTerminate = [&](TThread* th) {
    onTermTid = GetCurrentThreadId();
    EXPECT_EQ(th->ReturnValue(), 3);
  };
  TThreadHandle h = t->Handle();
  t->Start();
  t = nullptr;  // the object is no longer ours
  int code = 0;
  EXPECT_TRUE(h.WaitFor(3000, &code));
  EXPECT_EQ(code, 3);
  EXPECT_TRUE(destroyed);
  EXPECT_TRUE(h.Finished());
  EXPECT_EQ(onTermTid.load(), GetCurrentThreadId());
  h.Terminate();  // harmless after the object is gone
}

TEST(ThreadTest, ExceptionInExecuteEndsThreadCleanly) {
  FnThread t([](FnThread&) { throw std::runtime_error("fails"); });
  t.Start();
  EXPECT_EQ(t.WaitFor(), 0);
}

TEST(EventTest, AutoResetReleasesOneWaiterPerSet) {
  TEvent ev(false, false);
  std::atomic<int> released{0};
  std::vector<std::thread> ws;
  for (int i = 0; i < 2; ++i)
    ws.emplace_back([&] {
      if (ev.WaitFor(10000) == wrSignaled) {
        ++released;
        released.notify_all();
      }
    });
  ev.SetEvent();
  released.wait(0);
  // The set went to the one waiter: the other still waits, and takes the next.
  EXPECT_FALSE(ev.IsSet());
  EXPECT_EQ(released, 1);
  ev.SetEvent();
  for (auto& w : ws) w.join();
  EXPECT_EQ(released, 2);
  EXPECT_FALSE(ev.IsSet());
  EXPECT_EQ(ev.WaitFor(0), wrTimeout);
}

TEST(EventTest, ManualResetStaysSetUntilReset) {
  TEvent ev(true, false);
  std::atomic<int> released{0};
  std::vector<std::thread> ws;
  for (int i = 0; i < 3; ++i)
    ws.emplace_back([&] {
      if (ev.WaitFor(2000) == wrSignaled) released++;
    });
  Sleep(30);
  ev.SetEvent();
  for (auto& w : ws) w.join();
  EXPECT_EQ(released, 3);
  EXPECT_EQ(ev.WaitFor(0), wrSignaled);
  ev.ResetEvent();
  DWORD t0 = GetTickCount();
  EXPECT_EQ(ev.WaitFor(50), wrTimeout);
  EXPECT_GE(GetTickCount() - t0, 45u);
  TEvent initiallySet(true, true);
  EXPECT_EQ(initiallySet.WaitFor(0), wrSignaled);
}

TEST(EventTest, NamedEventsAreSharedByName) {
  {
    TEvent a(false, false, "Terminate");
    TEvent b(true, true, "Terminate");  // same event: its own settings are ignored
    TEvent other(false, false, "KorvidanVersion");
    EXPECT_FALSE(b.ManualReset());
    EXPECT_EQ(b.WaitFor(0), wrTimeout);
    std::thread t([&] { a.SetEvent(); });
    t.join();
    EXPECT_EQ(other.WaitFor(0), wrTimeout);
    EXPECT_EQ(b.WaitFor(1000), wrSignaled);
    EXPECT_EQ(a.WaitFor(0), wrTimeout);  // auto reset consumed through the other object
  }
  // Gone with its last user: a new one starts afresh.
  TEvent c(true, true, "Terminate");
  EXPECT_TRUE(c.ManualReset());
  EXPECT_EQ(c.WaitFor(0), wrSignaled);
}

TEST(EventTest, WaitForMultipleEventsGivesIndex) {
  TEvent a(false, false), b(false, false);
  EXPECT_EQ(WaitForMultipleEvents({&a, &b}, 20), WAIT_TIMEOUT);
  std::thread t([&] {
    Sleep(20);
    b.SetEvent();
  });
  EXPECT_EQ(WaitForMultipleEvents({&a, &b}, 2000), WAIT_OBJECT_0 + 1);
  t.join();
  EXPECT_EQ(WaitForMultipleEvents({&a, nullptr}, 0), WAIT_FAILED);
  TEvent* evs[] = {&a};
  PostThreadMessage(GetCurrentThreadId(), WM_USER, 0, 0);
  EXPECT_EQ(MsgWaitForMultipleEvents(evs, 1000), WAIT_OBJECT_0 + 1);
  MSG m;
  EXPECT_TRUE(PeekMessage(&m));
}

TEST(CriticalSectionTest, RecursiveAndExclusive) {
  TCriticalSection cs;
  cs.Enter();
  cs.Acquire();  // same thread again
  std::atomic<bool> got{false};
  std::thread t([&] {
    cs.Enter();
    got = true;
    cs.Leave();
  });
  Sleep(30);
  EXPECT_FALSE(got);
  cs.Release();
  Sleep(10);
  EXPECT_FALSE(got);
  cs.Leave();
  t.join();
  EXPECT_TRUE(got);
}

// Milliseconds: as far as the steady clock went meanwhile, however long the sleep took.
TEST(ClockTest, TickCountAdvancesWithSleep) {
  const auto t0 = std::chrono::steady_clock::now();
  DWORD a = GetTickCount();
  Sleep(30);
  DWORD b = GetTickCount();
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  EXPECT_GE(b - a, 29u);
  EXPECT_LE(b - a, static_cast<DWORD>(ms.count()) + 1);
}

}  // namespace
