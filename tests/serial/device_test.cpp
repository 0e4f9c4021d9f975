// The dispatcher with its worker threads over pseudo-terminal pairs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/Messages.h"
#include "platform/Registry.h"
#include "platform/Threads.h"
#include "serial/SioPort.h"
#include "serial/SioWin32.h"
#include "serial/Sioexcept.h"
#include "tests/support/CpuTime.h"
#include "tests/support/Pty.h"
#include "tests/support/Sanitizer.h"

namespace {

using Clock = std::chrono::steady_clock;

// The far end blocks, so that a writer waits for the port however long it takes.
struct Pty : support::PtyPair {
  Pty() : PtyPair(false) {}
};

using support::ProcessCpuSeconds;

int OpenOn(TSioBaseDispatcher& d, const std::string& path, std::uint32_t outSize = 4096) {
  return d.InitPort(path.c_str(), 115200, 0, 8, 1, 4096, outSize, true, true);
}

// Collects what arrives, on the dispatch thread.
struct Collector {
  TSioBaseDispatcher* d = nullptr;
  std::mutex m;
  std::string data;
  std::vector<std::pair<UINT, WPARAM>> notes;
  std::atomic<std::size_t> size{0};
  void On(UINT msg, WPARAM w, LPARAM) {
    std::lock_guard<std::mutex> g(m);
    notes.emplace_back(msg, w);
    if (msg == SW_TRIGGERAVAIL) {
      std::string b(w, '\0');
      if (d->GetBlock(b.data(), static_cast<std::uint32_t>(w)) == static_cast<int>(w)) data += b;
      size = data.size();
    }
  }
  int Count(UINT msg, WPARAM w = 0) {
    std::lock_guard<std::mutex> g(m);
    int n = 0;
    for (auto& e : notes)
      if (e.first == msg && (w == 0 || e.second == w)) ++n;
    return n;
  }
  TSioNotifyEvent Handler() { return TSioNotifyEvent::Of<&Collector::On>(this); }
};

bool WaitFor(const std::function<bool()>& cond, int ms) {
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!cond()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

}  // namespace

TEST(DeviceMapping, ComNumbersAndErrors) {
  Pty pty;
  ASSERT_FALSE(pty.path().empty());
  setenv("SIO_COM7", pty.path().c_str(), 1);
  EXPECT_EQ(TSerialDevice::PathForName("\\\\.\\COM7"), pty.path());
  EXPECT_EQ(TSerialDevice::PathForName("COM3").substr(0, 9), "/dev/ttyS");
  EXPECT_EQ(TSerialDevice::PathForName("COM3"),
            std::getenv("SIO_COM3") ? std::getenv("SIO_COM3") : "/dev/ttyS2");
  EXPECT_EQ(TSerialDevice::PathForName("LPT1"), "");
  {
    TSioWin32Dispatcher a(nullptr);
    ASSERT_EQ(a.InitPort("\\\\.\\COM7", 9600, 0, 8, 1, 4096, 4096, true, true), 0);
    TSioWin32Dispatcher b(nullptr);  // not shared
    EXPECT_EQ(b.InitPort("\\\\.\\COM7", 9600, 0, 8, 1, 4096, 4096, true, true), ecFileAccessDenied);
  }
  setenv("SIO_COM8", "/nonexistent/tty", 1);
  TSioWin32Dispatcher c(nullptr);
  EXPECT_EQ(c.InitPort("\\\\.\\COM8", 9600, 0, 8, 1, 4096, 4096, true, true), ecFileNotFound);
  // A file that is no terminal is no port either.
  std::string plain = std::string(KORVIDAN_BINARY_DIR) + "/device_test_plain_file";
  FILE* f = std::fopen(plain.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  TSioWin32Dispatcher e(nullptr);
  EXPECT_EQ(e.InitPort(plain.c_str(), 9600, 0, 8, 1, 4096, 4096, true, true), ecFileNotFound);
  std::remove(plain.c_str());
  unsetenv("SIO_COM7");
  unsetenv("SIO_COM8");
}

TEST(DeviceMapping, SettingsMapAPortUnlessTheEnvironmentDoes) {
  std::string file = std::string(KORVIDAN_BINARY_DIR) + "/device_test_registry.ini";
  std::remove(file.c_str());
  SetRegistryFile(file);
  unsetenv("SIO_COM9");
  EXPECT_EQ(TSerialDevice::PathForName("COM9"), "/dev/ttyS8");
  {
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(TSerialDevice::kPortMapKey, true));
    reg.WriteString("COM9", "/dev/ttyUSB0");
  }
  EXPECT_EQ(TSerialDevice::PathForName("COM9"), "/dev/ttyUSB0");
  EXPECT_EQ(TSerialDevice::PathForName("COM10"), "/dev/ttyS9");
  setenv("SIO_COM9", "/dev/pts/99", 1);
  EXPECT_EQ(TSerialDevice::PathForName("COM9"), "/dev/pts/99");
  unsetenv("SIO_COM9");
  std::remove(file.c_str());
}

TEST(DevicePty, OneMegabyteEachWayArrivesIntact) {
  Pty pty;
  TSioWin32Dispatcher d(nullptr);
  ASSERT_EQ(OpenOn(d, pty.path(), 8192), 0);
  Collector col;
  col.d = &d;
  d.RegisterEventTriggerHandler(col.Handler());
  d.ChangeLengthTrigger(1);

  const std::size_t kSize = 1 << 20;
  const std::string in = RandomBytes(kSize, 1), out = RandomBytes(kSize, 2);
  std::string got;
  std::thread writer([&] { pty.Write(in.data(), in.size()); });
  std::thread reader([&] { got = pty.Read(kSize, 20000); });
  std::size_t pos = 0;
  auto end = Clock::now() + std::chrono::seconds(20);
  while (pos < kSize && Clock::now() < end) {
    std::uint32_t room = d.OutBuffFree();
    if (room == 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      continue;
    }
    // Short blocks, which may go to the line at once, between long ones that are queued:
    // neither may overtake the other.
    const std::size_t want = (pos / 4096) % 3 == 0 ? 1 + pos % 97 : room;
    std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>({want, room, kSize - pos}));
    ASSERT_EQ(d.PutBlock(out.data() + pos, n), 0);
    pos += n;
  }
  writer.join();
  reader.join();
  EXPECT_TRUE(WaitFor([&] { return col.size.load() >= kSize; }, 20000));
  std::lock_guard<std::mutex> g(col.m);
  EXPECT_TRUE(col.data == in) << "received " << col.data.size();
  EXPECT_TRUE(got == out) << "sent " << got.size();
}

TEST(DevicePty, DataTriggerMatchesAStringSplitAcrossReads) {
  Pty pty;
  TSioWin32Dispatcher d(nullptr);
  ASSERT_EQ(OpenOn(d, pty.path()), 0);
  Collector col;
  col.d = &d;
  d.RegisterEventTriggerHandler(col.Handler());
  int h = d.AddDataTrigger("CONNECT 9600", false);
  pty.Write("xxCONN");
  ASSERT_TRUE(WaitFor([&] { return d.InBuffUsed() == 6; }, 2000));
  EXPECT_EQ(col.Count(SW_TRIGGERDATA), 0);
  pty.Write("ECT 9600yy");
  EXPECT_TRUE(WaitFor([&] { return col.Count(SW_TRIGGERDATA, static_cast<WPARAM>(h)) == 1; }, 2000));
}

TEST(DevicePty, TimerTriggersFireWithinOneTickOfTheirDeadline) {
  Pty pty;
  TSioWin32Dispatcher d(nullptr);
  ASSERT_EQ(OpenOn(d, pty.path()), 0);
  struct Rec {
    std::mutex m;
    std::vector<std::pair<WPARAM, std::uint32_t>> fired;
    void On(UINT msg, WPARAM w, LPARAM) {
      if (msg != SW_TRIGGERTIMER) return;
      std::lock_guard<std::mutex> g(m);
      fired.emplace_back(w, SioTimeGetTime());
    }
  } rec;
  d.RegisterEventTriggerHandler(TSioNotifyEvent::Of<&Rec::On>(&rec));
  const int ticks[] = {1, 3, 7};
  int handles[3];
  std::uint32_t armed[3];
  for (int i = 0; i < 3; ++i) {
    handles[i] = d.AddTimerTrigger();
    armed[i] = SioTimeGetTime();
    ASSERT_EQ(d.SetTimerTrigger(handles[i], ticks[i], true), 0);
  }
  ASSERT_TRUE(WaitFor(
      [&] {
        std::lock_guard<std::mutex> g(rec.m);
        return rec.fired.size() == 3;
      },
      3000));
  std::lock_guard<std::mutex> g(rec.m);
  for (auto& [h, at] : rec.fired) {
    int i = 0;
    while (handles[i] != static_cast<int>(h)) ++i;
    double deadline = armed[i] + ticks[i] * 55.0;
    double late = at - deadline;
    EXPECT_GE(late, -55.0) << "timer " << ticks[i];
    // One tick and some scheduling: the normal build keeps that pace; a sanitizer's slower
    // threads on a loaded machine need not.
    if (!support::SanitizerBuild()) EXPECT_LE(late, 55.0 + 25.0) << "timer " << ticks[i];
  }
}

TEST(DevicePty, OutputAndAvailTriggersReachTheWindowThread) {
  Pty pty;
  TSioWin32Dispatcher d(nullptr);
  ASSERT_EQ(OpenOn(d, pty.path()), 0);
  struct Seen {
    UINT msg;
    WPARAM w;
    std::string data;
    bool onWindowThread;
  };
  static std::vector<Seen> seen;
  static TSioWin32Dispatcher* disp;
  seen.clear();
  disp = &d;
  RegisterClass("devTestWnd", [](HWND, UINT m, WPARAM w, LPARAM) -> LRESULT {
    Seen s{m, w, {}, IsMainThread()};
    if (m == SW_TRIGGERAVAIL) {
      s.data.resize(w);
      disp->GetBlock(s.data.data(), static_cast<std::uint32_t>(w));
    }
    seen.push_back(s);
    return 0;
  });
  HWND wnd = CreateWindow("devTestWnd");
  d.RegisterWndTriggerHandler(wnd);
  d.UpdateHandlerFlags(fuEnablePort);
  int used = d.AddStatusTrigger(stOutBuffUsed);
  int sent = d.AddStatusTrigger(stOutSent);
  int freeT = d.AddStatusTrigger(stOutBuffFree);
  d.ChangeLengthTrigger(3);
  ASSERT_EQ(d.PutString("hello"), 0);
  EXPECT_EQ(pty.Read(5), "hello");
  d.SetStatusTrigger(used, 0, true);
  d.SetStatusTrigger(sent, 0, true);
  d.SetStatusTrigger(freeT, 4096, true);
  pty.Write("abc");
  auto has = [&](UINT m, WPARAM w) {
    for (auto& s : seen)
      if (s.msg == m && s.w == w) return true;
    return false;
  };
  PumpUntil(
      [&] {
        return has(SW_TRIGGERAVAIL, 3) && has(SW_TRIGGERSTATUS, static_cast<WPARAM>(used)) &&
               has(SW_TRIGGERSTATUS, static_cast<WPARAM>(sent)) &&
               has(SW_TRIGGERSTATUS, static_cast<WPARAM>(freeT));
      },
      3000);
  EXPECT_TRUE(has(SW_TRIGGERAVAIL, 3));
  EXPECT_TRUE(has(SW_TRIGGERSTATUS, static_cast<WPARAM>(used)));
  EXPECT_TRUE(has(SW_TRIGGERSTATUS, static_cast<WPARAM>(sent)));
  EXPECT_TRUE(has(SW_TRIGGERSTATUS, static_cast<WPARAM>(freeT)));
  for (auto& s : seen) {
    EXPECT_TRUE(s.onWindowThread);
    if (s.msg == SW_TRIGGERAVAIL) {
      EXPECT_EQ(s.data, "abc");
    }
  }
  EXPECT_EQ(d.InBuffUsed(), 0u);
  d.DonePort();
  DestroyWindow(wnd);
}

// A handler that throws, whichever kind it is, is reported through the library's exception
// handler; the notification ends as usual, and the port goes on notifying and reading.
TEST(DevicePty, ThrowingHandlersAreReportedAndThePortGoesOn) {
  std::mutex m;
  std::vector<std::string> reported;
  SetSioApplicationExceptionHandler([&](const std::exception& e) {
    std::lock_guard<std::mutex> g(m);
    reported.emplace_back(e.what());
  });
  struct Reset {
    ~Reset() { SetSioApplicationExceptionHandler(nullptr); }
  } reset;
  auto reports = [&] {
    std::lock_guard<std::mutex> g(m);
    return reported;
  };
  Pty pty;
  TSioWin32Dispatcher d(nullptr);
  ASSERT_EQ(OpenOn(d, pty.path()), 0);
  // Each throws at its first notification.
  struct Thrower {
    const char* what;
    std::atomic<int> calls{0};
    void On(UINT, WPARAM, LPARAM) {
      if (calls++ == 0) throw std::runtime_error(what);
    }
  } method{"method"}, synced{"on the window thread"};
  static std::atomic<int> procCalls;
  procCalls = 0;
  Collector c;
  c.d = &d;
  d.RegisterEventTriggerHandler(TSioNotifyEvent::Of<&Thrower::On>(&method));
  d.RegisterSyncEventTriggerHandler(TSioNotifyEvent::Of<&Thrower::On>(&synced));
  d.RegisterEventTriggerHandler(c.Handler());
  const TSioNotifyProc proc = [](UINT, WPARAM, LPARAM) {
    if (procCalls++ == 0) throw ESIOException(ecBufferIsEmpty);
  };
  d.RegisterProcTriggerHandler(proc);
  d.ChangeLengthTrigger(1);
  pty.Write("one");
  EXPECT_TRUE(PumpUntil([&] { return c.size >= 3 && reports().size() >= 3; }, 5000));
  pty.Write("two");
  EXPECT_TRUE(PumpUntil([&] { return c.size >= 6; }, 5000));
  EXPECT_EQ(c.data, "onetwo");
  EXPECT_EQ(reports(), (std::vector<std::string>{"method", "on the window thread", "Buffer is empty"}));
  EXPECT_GE(procCalls, 2);

  // Without handlers, plain reads take what comes.
  d.DeregisterEventTriggerHandler(TSioNotifyEvent::Of<&Thrower::On>(&method));
  d.DeregisterEventTriggerHandler(TSioNotifyEvent::Of<&Thrower::On>(&synced));
  d.DeregisterEventTriggerHandler(c.Handler());
  d.DeregisterProcTriggerHandler(proc);
  EXPECT_EQ(d.InBuffUsed(), 0u);
  pty.Write("three");
  ASSERT_TRUE(WaitFor([&] { return d.InBuffUsed() == 5; }, 5000));
  std::string rest(5, '\0');
  EXPECT_EQ(d.GetBlock(rest.data(), 5), 5);
  EXPECT_EQ(rest, "three");
  d.DonePort();
}

// A close that has to wait for a notification in flight, followed at once by the end of the
// dispatcher: the dispatch thread finishes the close itself, and nothing waits for ever.
TEST(DevicePty, DestroyingAfterADeferredCloseFinishes) {
  static int calls;
  RegisterClass("devDeferWnd", [](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
    ++calls;
    return 0;
  });
  // The dispatch thread and the destructor race for the release; run it often enough to
  // meet the unlucky order.
  for (int round = 0; round < 40; ++round) {
    Pty pty;
    auto d = std::make_unique<TSioWin32Dispatcher>(nullptr);
    ASSERT_EQ(OpenOn(*d, pty.path()), 0);
    calls = 0;
    HWND wnd = CreateWindow("devDeferWnd");
    d->RegisterWndTriggerHandler(wnd);
    d->UpdateHandlerFlags(fuEnablePort);
    d->ChangeLengthTrigger(1);
    pty.Write("abc");
    // The window thread does not pump, so the notification stays in flight.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!d->EventBusy() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(d->EventBusy());
    d->DonePort();
    EXPECT_TRUE(d->CloseDeferred());
    auto start = std::chrono::steady_clock::now();
    d.reset();
    // Not held up by a thread's time-out; a sanitizer's threads on a loaded machine need
    // not keep the pace.
    if (!support::SanitizerBuild())
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(calls, 1);
    DestroyWindow(wnd);
  }
}

// Flushes one right after the other: the output thread must acknowledge each of them, also
// when the second one is asked for before the thread has woken from the first.
TEST(DevicePty, FlushesInQuickSuccessionAreEachAcknowledged) {
  Pty pty;
  TSioWin32Dispatcher d(nullptr);
  ASSERT_EQ(OpenOn(d, pty.path()), 0);
  std::atomic<bool> done{false};
  std::thread flusher([&] {
    for (int i = 0; i < 300; ++i) {
      d.PutString("x");
      d.FlushOutBuffer();
      d.FlushOutBuffer();
    }
    done = true;
  });
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (!done) {
    ADD_FAILURE() << "a flush waits for ever for the output thread";
    std::abort();
  }
  flusher.join();
  d.DonePort();
}

TEST(DevicePty, TriggersSurviveACloseAndReopen) {
  Pty pty;
  TTriggerSave save;
  int hData, hTimer;
  {
    TSioWin32Dispatcher d(nullptr);
    ASSERT_EQ(OpenOn(d, pty.path()), 0);
    hTimer = d.AddTimerTrigger();
    hData = d.AddDataTrigger("PING", true);
    d.SaveTriggers(save);
    d.DonePort();
  }
  TSioWin32Dispatcher d(nullptr);
  ASSERT_EQ(OpenOn(d, pty.path()), 0);
  d.RestoreTriggers(save);
  int fresh = d.AddTimerTrigger();
  EXPECT_NE(fresh & ~7, hData & ~7);
  EXPECT_NE(fresh & ~7, hTimer & ~7);
  Collector col;
  col.d = &d;
  d.RegisterEventTriggerHandler(col.Handler());
  ASSERT_EQ(d.SetTimerTrigger(hTimer, 1, true), 0);
  pty.Write("..ping..");
  EXPECT_TRUE(WaitFor([&] { return col.Count(SW_TRIGGERDATA, static_cast<WPARAM>(hData)) == 1; }, 2000));
  EXPECT_TRUE(WaitFor([&] { return col.Count(SW_TRIGGERTIMER, static_cast<WPARAM>(hTimer)) == 1; }, 2000));
}

TEST(DevicePty, PseudoTerminalHasNoLinesAndNothingHangs) {
  Pty pty;
  TSioWin32Dispatcher d(nullptr);
  ASSERT_EQ(OpenOn(d, pty.path()), 0);
  auto t0 = Clock::now();
  EXPECT_EQ(d.GetModemStatus(), 0);
  EXPECT_FALSE(d.CheckDSR());
  EXPECT_FALSE(d.CheckDCD());
  EXPECT_EQ(d.SetModem(false, false), 0);
  EXPECT_EQ(d.SetModem(true, true), 0);
  EXPECT_EQ(d.SendBreak(1, false), 0);
  EXPECT_EQ(d.SetLine(9600, 2, 7, 2), 0);  // the pseudo-terminal keeps 8 bits, no parity
  EXPECT_EQ(d.HWFlowOptions(3000, 1000, hfUseRTS | hfRequireCTS), 0);
  EXPECT_EQ(d.SWFlowEnable(3000, 1000, sfTransmitFlow | sfReceiveFlow), 0);
  EXPECT_EQ(d.SWFlowDisable(), 0);
  EXPECT_EQ(d.HWFlowOptions(3000, 1000, 0), 0);
  d.SetRS485Mode(true);
  d.HWFlowOptions(3000, 1000, 0);
  ASSERT_EQ(d.PutString("485"), 0);
  EXPECT_EQ(pty.Read(3), "485");
  if (!support::SanitizerBuild()) EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
  std::uint32_t b, p, db, sb;
  ASSERT_EQ(d.GetLine(b, p, db, sb), 0);
  EXPECT_EQ(b, 9600u);
  EXPECT_EQ(d.GetLineError(), 0);
}

namespace {
// A device with modem lines, the levels set by the test.
class TLinesDispatcher : public TSioWin32Dispatcher {
 public:
  using TSioWin32Dispatcher::TSioWin32Dispatcher;
  ~TLinesDispatcher() override { Shutdown(); }
  std::atomic<unsigned> lines{0};
  // Sets the levels and waits until the dispatcher has looked at them and gone on to its next
  // look: the round that saw them has ended.
  bool Set(unsigned levels) {
    lines = levels;
    const unsigned seen = reads.load();
    return WaitFor([&] { return reads.load() >= seen + 2; }, 5000);
  }

 protected:
  bool ReadModemLines(unsigned& l) override {
    l = lines.load();
    ++reads;
    return true;
  }

 private:
  std::atomic<unsigned> reads{0};
};
}  // namespace

TEST(DevicePty, ModemLineStatusTriggersWithInjectedLines) {
  Pty pty;
  TLinesDispatcher d(nullptr);
  ASSERT_EQ(OpenOn(d, pty.path()), 0);
  Collector col;
  col.d = &d;
  d.RegisterEventTriggerHandler(col.Handler());
  int h = d.AddStatusTrigger(stModem);
  ASSERT_EQ(d.SetStatusTrigger(h, msDSR | msDCD, true), 0);
  ASSERT_TRUE(d.Set(kSerialCTS));  // not watched
  EXPECT_EQ(col.Count(SW_TRIGGERSTATUS), 0);
  d.lines = kSerialCTS | kSerialDSR;
  ASSERT_TRUE(WaitFor([&] { return col.Count(SW_TRIGGERSTATUS, static_cast<WPARAM>(h)) == 1; }, 1000));
  EXPECT_TRUE(d.CheckDSR());
  EXPECT_TRUE(d.CheckCTS());
  ASSERT_EQ(d.SetStatusTrigger(h, msDSR | msDCD, true), 0);
  ASSERT_TRUE(d.Set(kSerialCTS | kSerialDSR | kSerialRI));  // ring alone: not watched
  ASSERT_TRUE(d.Set(kSerialCTS | kSerialDSR));
  EXPECT_EQ(col.Count(SW_TRIGGERSTATUS), 1);
  EXPECT_TRUE(d.CheckDeltaRI());  // the trailing edge of the ring
  d.lines = 0;
  EXPECT_TRUE(WaitFor([&] { return col.Count(SW_TRIGGERSTATUS, static_cast<WPARAM>(h)) == 2; }, 1000));
}

TEST(DevicePty, VanishedDeviceSurfacesAsLineBreakWithoutSpinning) {
  Pty pty;
  TSioWin32Dispatcher d(nullptr);
  ASSERT_EQ(OpenOn(d, pty.path()), 0);
  Collector col;
  col.d = &d;
  d.RegisterEventTriggerHandler(col.Handler());
  int h = d.AddStatusTrigger(stLine);
  ASSERT_EQ(d.SetStatusTrigger(h, 8, true), 0);  // break
  pty.Write("last");
  ASSERT_TRUE(WaitFor([&] { return d.InBuffUsed() == 4; }, 2000));
  pty.CloseMaster();
  ASSERT_TRUE(WaitFor([&] { return col.Count(SW_TRIGGERSTATUS, static_cast<WPARAM>(h)) == 1; }, 2000));
  EXPECT_TRUE(d.CheckLineBreak());
  char buf[4];
  EXPECT_EQ(d.GetBlock(buf, 4), 4);  // what came before is still there
  EXPECT_EQ(std::string(buf, 4), "last");
  EXPECT_EQ(d.PutString("gone"), 0);  // queued, then dropped by the output thread
  EXPECT_TRUE(WaitFor([&] { return d.OutBuffUsed() == 0; }, 2000));
  double cpu0 = ProcessCpuSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_LT(ProcessCpuSeconds() - cpu0, 0.1);
  auto t0 = Clock::now();
  d.DonePort();
  if (!support::SanitizerBuild()) EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));
  EXPECT_EQ(d.RunningThreads(), 0);
}

TEST(DevicePty, FullReceiveRingDoesNotSpinAndLosesNothing) {
  Pty pty;
  TSioWin32Dispatcher d(nullptr);
  ASSERT_EQ(OpenOn(d, pty.path()), 0);
  const std::string in = RandomBytes(20000, 3);
  std::thread writer([&] { pty.Write(in.data(), in.size()); });
  ASSERT_TRUE(WaitFor([&] { return d.InBuffUsed() == DispatchBufferSize; }, 3000));
  double cpu0 = ProcessCpuSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_LT(ProcessCpuSeconds() - cpu0, 0.1);
  std::string got;
  auto end = Clock::now() + std::chrono::seconds(5);
  while (got.size() < in.size() && Clock::now() < end) {
    std::uint32_t n = d.InBuffUsed();
    if (n == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    std::string b(n, '\0');
    ASSERT_EQ(d.GetBlock(b.data(), n), static_cast<int>(n));
    got += b;
  }
  writer.join();
  EXPECT_TRUE(got == in) << got.size();
}

TEST(DevicePty, OutputFlushEndsAPendingWrite) {
  Pty pty;
  TSioWin32Dispatcher d(nullptr);
  ASSERT_EQ(OpenOn(d, pty.path(), 32768), 0);
  // Nobody reads: the device fills up and the output thread waits inside a write.
  std::size_t queued = 0;
  const std::string block(32768, 'z');
  for (int i = 0; i < 40; ++i) {
    if (d.PutBlock(block.data(), static_cast<std::uint32_t>(block.size())) == 0) queued += block.size();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_GT(d.OutBuffUsed(), 0u);
  auto t0 = Clock::now();
  EXPECT_EQ(d.FlushOutBuffer(), 0);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));  // not until a reader comes
  EXPECT_EQ(d.OutBuffUsed(), 0u);
  ASSERT_EQ(d.PutString("after"), 0);
  // What the device still held may come; the flushed ring does not, and output goes on.
  std::string got;
  auto end = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < end && (got.size() < 5 || got.compare(got.size() - 5, 5, "after") != 0))
    got += pty.Read(65536, 50);
  ASSERT_GE(got.size(), 5u);
  EXPECT_EQ(got.substr(got.size() - 5), "after");
  EXPECT_LT(got.size(), queued);
}

TEST(DevicePty, ExpiredTimerDuringABusyWaitDoesNotSpin) {
  Pty pty;
  TSioWin32Dispatcher d(nullptr);
  ASSERT_EQ(OpenOn(d, pty.path()), 0);
  Collector col;
  col.d = &d;
  d.RegisterEventTriggerHandler(col.Handler());
  int t = d.AddTimerTrigger();
  bool prev;
  d.SetEventBusy(prev, true);  // as a wait for text does
  ASSERT_EQ(d.SetTimerTrigger(t, 1, true), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  double cpu0 = ProcessCpuSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(ProcessCpuSeconds() - cpu0, 0.1);
  EXPECT_EQ(col.Count(SW_TRIGGERTIMER), 0);
  d.SetEventBusy(prev, false);
  EXPECT_TRUE(WaitFor([&] { return col.Count(SW_TRIGGERTIMER) == 1; }, 1000));
}

TEST(DevicePty, CloseEndsAllThreadsWithinOneSecond) {
  Pty pty;
  TSioWin32Dispatcher d(nullptr);
  ASSERT_EQ(OpenOn(d, pty.path()), 0);
  EXPECT_EQ(d.RunningThreads(), 3);
  EXPECT_THROW(d.StartDispatcher(), ESIOException);
  ASSERT_EQ(d.PutString(std::string(3000, 'x')), 0);
  auto t0 = Clock::now();
  d.DonePort();
  if (!support::SanitizerBuild()) EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));
  EXPECT_EQ(d.RunningThreads(), 0);
  EXPECT_FALSE(d.DispatcherStarted());
  EXPECT_EQ(d.DeviceHandle(), -1);
}

TEST(DevicePty, CloseInsideAHandlerIsCompletedByTheDispatchThread) {
  Pty pty;
  auto* d = new TSioWin32Dispatcher(nullptr);
  ASSERT_EQ(OpenOn(*d, pty.path()), 0);
  struct Closer {
    TSioBaseDispatcher* d;
    std::atomic<int> calls{0};
    void On(UINT msg, WPARAM, LPARAM) {
      if (msg != SW_TRIGGERDATA) return;
      ++calls;
      d->DonePort();
    }
  } closer{d};
  d->RegisterEventTriggerHandler(TSioNotifyEvent::Of<&Closer::On>(&closer));
  d->AddDataTrigger("BYE", false);
  d->AddDataTrigger("E", false);  // completed by the same byte: not notified after the close
  pty.Write("BYE");
  ASSERT_TRUE(WaitFor([&] { return d->CloseDeferred(); }, 2000));
  ASSERT_TRUE(WaitFor([&] { return d->RunningThreads() == 0; }, 1000));
  EXPECT_EQ(closer.calls.load(), 1);
  EXPECT_EQ(d->InBuffUsed(), 0u);
  delete d;
}

TEST(DeviceTapi, HandedOverDescriptors) {
  TSioTAPI32Dispatcher none(nullptr, -1);
  EXPECT_EQ(none.InitPort(nullptr, 9600, 0, 8, 1, 4096, 4096, true, true), ecCommNotOpen);

  // Descriptor 0 is a descriptor like any other.
  Pty pty;
  int slave = open(pty.path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  int savedStdin = dup(0);
  ASSERT_EQ(dup2(slave, 0), 0);
  close(slave);
  {
    TSioTAPI32Dispatcher d(nullptr, 0);
    ASSERT_EQ(d.InitPort(nullptr, 9600, 0, 8, 1, 4096, 4096, true, true), 0);
    EXPECT_EQ(d.DeviceHandle(), 0);
    pty.Write("ok");
    EXPECT_TRUE(WaitFor([&] { return d.InBuffUsed() == 2; }, 2000));
    ASSERT_EQ(d.PutString("AT"), 0);
    EXPECT_EQ(pty.Read(2), "AT");
  }
  dup2(savedStdin, 0);
  close(savedStdin);
}
