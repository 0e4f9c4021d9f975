// The serial port component on pseudo-terminals: settings on the line, data both ways,
// trigger events on the opening thread, opening failures, closing from inside events,
// waiting for text, and the trace and log files written at the close.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Messages.h"
#include "platform/SerialDevice.h"
#include "platform/Threads.h"
#include "serial/ComSelect.h"
#include "serial/SioPort.h"
#include "serial/SioWin32.h"
#include "tests/support/CpuTime.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// Maps COM<n> to a new pseudo-terminal for the life of the object.
struct MappedPty : support::PtyPair {
  explicit MappedPty(int n) { MapTo(n); }
};

bool Pump(const std::function<bool()>& condition, DWORD ms = 5000) { return PumpUntil(condition, ms); }

using support::ReadFile;

class ComPortTest : public ::testing::Test {
 protected:
  void SetUp() override { SetPortPromptHook(nullptr); }
  void TearDown() override { SetPortPromptHook(nullptr); }
  support::TempDir tmp_{"sio_comport_"};
  const std::filesystem::path& dir = tmp_.path();
};

// Remembers the line settings that the dispatcher gives the device. A pseudo-terminal
// always carries 8 bits without parity, so bits and parity are kept here, as a UART keeps
// them, and checked here.
class TRecordingDispatcher : public TSioWin32Dispatcher {
 public:
  using TSioWin32Dispatcher::TSioWin32Dispatcher;
  int SetComState(const TLineState& s) override {
    Last = s;
    Set = true;
    return TSioWin32Dispatcher::SetComState(s);
  }
  int GetComState(TLineState& s) override {
    int r = TSioWin32Dispatcher::GetComState(s);
    if (Set) {
      s.ByteSize = Last.ByteSize;
      s.Parity = Last.Parity;
      s.Flags = (s.Flags & ~lfParity) | (Last.Flags & lfParity);
    }
    return r;
  }
  TLineState Last{};
  bool Set = false;
};

// ---------------------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------------------

TEST_F(ComPortTest, SettingsOfAClosedPort) {
  TSioComPort port;
  EXPECT_EQ(port.GetInBuffFree(), 8192u);
  EXPECT_EQ(port.GetOutBuffFree(), 4096u);

  // Only on and off are kept while closed.
  port.SetTracing(tlDump);
  EXPECT_EQ(port.GetTracing(), tlOff);
  port.SetLogging(tlPause);
  EXPECT_EQ(port.GetLogging(), tlOff);
  port.SetTracing(tlOn);
  EXPECT_EQ(port.GetTracing(), tlOn);
  port.SetTraceSize(5000000);
  EXPECT_EQ(port.GetTraceSize(), 4000000u);
  port.SetLogSize(20000000);
  EXPECT_EQ(port.GetLogSize(), 16000000u);

  // Hardware flow control sets the buffer marks from the input size.
  port.SetRS485Mode(true);
  port.SetHWFlowOptions(HWFlowBit(hwfUseRTS));
  EXPECT_EQ(port.GetBufferFull(), 3686);
  EXPECT_EQ(port.GetBufferResume(), 409);
  EXPECT_FALSE(port.GetRS485Mode());
  // RS485 takes RTS away from flow control and drops it.
  port.SetHWFlowOptions(HWFlowBit(hwfUseRTS) | HWFlowBit(hwfRequireCTS) | HWFlowBit(hwfUseDTR));
  port.SetRS485Mode(true);
  EXPECT_EQ(port.GetHWFlowOptions(), HWFlowBit(hwfUseDTR));
  EXPECT_FALSE(port.GetRTS());

  TSioComPort sw;
  sw.SetSWFlowOptions(swfBoth);
  EXPECT_EQ(sw.GetBufferFull(), 3072);
  EXPECT_EQ(sw.GetBufferResume(), 1024);
  sw.SetBufferFull(5000);
  EXPECT_EQ(sw.GetBufferFull(), 3686);
  sw.SetBufferResume(4000);
  EXPECT_EQ(sw.GetBufferResume(), 368);

  // Only the Win32 layer, only while closed.
  port.SetDeviceLayer(dlFossil);
  EXPECT_EQ(port.GetDeviceLayer(), dlWin32);
}

TEST_F(ComPortTest, SettingsReachTheLine) {
  MappedPty pty(61);
  TRecordingDispatcher* rec = nullptr;
  SetActivateDeviceLayerHook([&](TSioCustomComPort* cp) {
    rec = new TRecordingDispatcher(cp);
    return rec;
  });
  TSioComPort port;
  port.SetComNumber(61);
  port.SetBaud(9600);
  port.SetDataBits(7);
  port.SetParity(pEven);
  port.SetStopBits(2);
  port.SetHWFlowOptions(HWFlowBit(hwfUseRTS) | HWFlowBit(hwfRequireCTS));
  port.SetOpen(true);
  SetActivateDeviceLayerHook(nullptr);
  ASSERT_TRUE(port.GetOpen());
  ASSERT_EQ(port.Dispatcher(), rec);
  EXPECT_EQ(rec->Last.BaudRate, 9600u);
  EXPECT_EQ(rec->Last.ByteSize, 7);
  EXPECT_EQ(rec->Last.Parity, 2);
  EXPECT_EQ(rec->Last.StopBits, sbTwo);
  EXPECT_EQ(rec->Last.Flags & lfRtsControlMask, lfRtsHandshake);
  EXPECT_TRUE(rec->Last.Flags & lfOutxCtsFlow);
  support::LineSettings t = pty.Settings();
  EXPECT_EQ(t.c_ospeed, 9600u);
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);

  // Changes while open go to the line at once.
  port.SetBaud(38400);
  port.SetParity(pOdd);
  port.SetDataBits(8);
  port.SetStopBits(1);
  t = pty.Settings();
  EXPECT_EQ(t.c_ospeed, 38400u);
  EXPECT_FALSE(t.c_cflag & CSTOPB);
  EXPECT_EQ(rec->Last.ByteSize, 8);
  EXPECT_EQ(rec->Last.Parity, 1);
  EXPECT_EQ(rec->Last.StopBits, sbOne);

  // Software flow control keeps the port's own characters.
  port.SetXOnChar('\x05');
  port.SetXOffChar('\x06');
  port.SetSWFlowOptions(swfBoth);
  t = pty.Settings();
  EXPECT_TRUE(t.c_iflag & IXON);
  EXPECT_TRUE(t.c_iflag & IXOFF);
  EXPECT_EQ(t.c_cc[VSTART], 5);
  EXPECT_EQ(t.c_cc[VSTOP], 6);
  port.SetSWFlowOptions(swfNone);
  t = pty.Settings();
  EXPECT_FALSE(t.c_iflag & (IXON | IXOFF));

  // RS485 ends the RTS/CTS handshake on the line; handshake again ends RS485.
  port.SetRS485Mode(true);
  t = pty.Settings();
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
  EXPECT_EQ(port.GetHWFlowOptions(), 0);
  port.SetHWFlowOptions(HWFlowBit(hwfUseRTS) | HWFlowBit(hwfRequireCTS));
  EXPECT_FALSE(port.GetRS485Mode());
  EXPECT_FALSE(port.Dispatcher()->RS485Mode());
  t = pty.Settings();
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  port.SetOpen(false);
  EXPECT_EQ(port.GetPortState(), psClosed);
}

// What `stty -F` reports for a device ("speed 9600 baud; ...").
std::string SttyOf(const std::string& path) {
  std::string out;
  if (FILE* f = ::popen(("stty -F " + path + " 2>&1").c_str(), "r")) {
    char buf[512];
    while (std::fgets(buf, sizeof buf, f)) out += buf;
    ::pclose(f);
  }
  return out;
}

// Standard rates are set by their constants, so other tools see the real speed; a rate
// without a constant still reaches the line.
TEST_F(ComPortTest, StandardRatesShowInStty) {
  MappedPty pty(75);
  TSioComPort port;
  port.SetComNumber(75);
  port.SetBaud(9600);
  port.SetOpen(true);
  ASSERT_TRUE(port.GetOpen());
  std::string shown = SttyOf(pty.path());
  if (shown.find("busy") != std::string::npos) GTEST_SKIP() << "the open port is exclusive to this user";
  EXPECT_NE(shown.find("speed 9600 baud"), std::string::npos) << shown;
  port.SetBaud(115200);
  shown = SttyOf(pty.path());
  EXPECT_NE(shown.find("speed 115200 baud"), std::string::npos) << shown;
  port.SetBaud(250000);
  EXPECT_EQ(pty.Settings().c_ospeed, 250000u);
  port.SetOpen(false);
}

TEST_F(ComPortTest, RS485FromTheStoredSettingsEndsInRS485) {
  MappedPty pty(62);
  TSioComPort port;
  port.SetComNumber(62);
  port.SetHWFlowOptions(HWFlowBit(hwfRequireCTS));
  port.SetRS485Mode(true);  // removes the CTS requirement
  TRecordingDispatcher* rec = nullptr;
  SetActivateDeviceLayerHook([&](TSioCustomComPort* cp) {
    rec = new TRecordingDispatcher(cp);
    return rec;
  });
  port.SetOpen(true);
  SetActivateDeviceLayerHook(nullptr);
  ASSERT_EQ(port.Dispatcher(), rec);
  EXPECT_TRUE(rec->RS485Mode());
  // The direction switch is on the line although the flow options were applied first.
  EXPECT_EQ(rec->Last.Flags & lfRtsControlMask, lfRtsToggle);
  EXPECT_FALSE(rec->Last.Flags & lfOutxCtsFlow);
  EXPECT_FALSE(pty.Settings().c_cflag & CRTSCTS);
  // Data still goes out with the direction switch.
  port.PutString("bus");
  EXPECT_EQ(pty.Read(3), "bus");
  // Off again: RTS is a plain line once more, at its property's level.
  port.SetRS485Mode(false);
  EXPECT_EQ(rec->Last.Flags & lfRtsControlMask, port.GetRTS() ? lfRtsEnable : lfRtsDisable);
}

// ---------------------------------------------------------------------------------------
// Data and events
// ---------------------------------------------------------------------------------------

TEST_F(ComPortTest, DataBothWaysAndEventsOnTheOpeningThread) {
  MappedPty pty(63);
  TSioComPort port;
  port.SetComNumber(63);
  struct Event {
    std::string what;
    std::uint32_t a;
  };
  std::vector<Event> events;
  std::string received;
  const auto self = std::this_thread::get_id();
  bool wrongThread = false;
  auto here = [&] {
    if (std::this_thread::get_id() != self) wrongThread = true;
  };
  port.SetOnTrigger([&](TSioCustomComPort*, UINT msg, std::uint16_t h, std::uint32_t) {
    here();
    events.push_back({"trigger", msg});
  });
  port.SetOnTriggerAvail([&](TSioCustomComPort* cp, std::uint16_t count) {
    here();
    events.push_back({"avail", count});
    std::string chunk(count, '\0');
    cp->GetBlock(chunk.data(), count);
    received += chunk;
  });
  port.SetOnTriggerData([&](TSioCustomComPort*, std::uint16_t h) {
    here();
    events.push_back({"data", h});
  });
  port.SetOnTriggerTimer([&](TSioCustomComPort*, std::uint16_t h) {
    here();
    events.push_back({"timer", h});
  });
  port.SetOnTriggerOutSent([&](TSioCustomComPort*) {
    here();
    events.push_back({"sent", 0});
  });
  port.SetOpen(true);
  std::uint16_t ok = port.AddDataTrigger("OK", false);
  EXPECT_EQ(ok % 8, 0);

  pty.Write("12OK");
  ASSERT_TRUE(Pump([&] { return received.size() >= 4; }));
  Pump([&] {
    for (auto& e : events)
      if (e.what == "data") return true;
    return false;
  });
  EXPECT_EQ(received, "12OK");
  // The avail notice for the bytes before the pattern comes first, each event after OnTrigger.
  ASSERT_GE(events.size(), 4u);
  EXPECT_EQ(events[0].what, "trigger");
  EXPECT_EQ(events[0].a, SW_TRIGGERAVAIL);
  EXPECT_EQ(events[1].what, "avail");
  std::size_t dataAt = 0;
  for (std::size_t i = 0; i < events.size(); ++i)
    if (events[i].what == "data") dataAt = i;
  ASSERT_GT(dataAt, 1u);
  EXPECT_EQ(events[dataAt].a, ok);
  EXPECT_EQ(events[dataAt - 1].what, "trigger");
  EXPECT_EQ(events[dataAt - 1].a, SW_TRIGGERDATA);

  events.clear();
  std::uint16_t timer = port.AddTimerTrigger();
  port.SetTimerTrigger(timer, 2, true);
  std::uint16_t sent = port.AddStatusTrigger(stOutSent);
  port.SetStatusTrigger(sent, 0, true);
  port.PutString("hello");
  EXPECT_EQ(pty.Read(5), "hello");
  ASSERT_TRUE(Pump([&] {
    bool t = false, s = false;
    for (auto& e : events) {
      t |= e.what == "timer";
      s |= e.what == "sent";
    }
    return t && s;
  }));
  EXPECT_FALSE(wrongThread);
  port.SetOpen(false);
}

TEST_F(ComPortTest, UsersHearOfOpeningAndClosingLastRegisteredFirst) {
  MappedPty pty(64);
  TSioComPort port;
  port.SetComNumber(64);
  std::vector<std::string> heard;
  struct Listener {
    std::vector<std::string>* out;
    std::string name;
    void Notify(TSioCustomComPort*, bool opening) { out->push_back(name + (opening ? " open" : " close")); }
  } a{&heard, "a"}, b{&heard, "b"};
  port.RegisterUserCallback(TPortCallback::Of<&Listener::Notify>(&a));
  port.RegisterUserCallback(TPortCallback::Of<&Listener::Notify>(&b));
  port.SetOnPortOpen([&](TSioCustomComPort*) { heard.push_back("own open"); });
  port.SetOnPortClose([&](TSioCustomComPort*) { heard.push_back("own close"); });
  port.SetOpen(true);
  port.DeregisterUserCallback(TPortCallback::Of<&Listener::Notify>(&a));
  port.SetOpen(false);
  EXPECT_EQ(heard, (std::vector<std::string>{"b open", "a open", "own open", "b close", "own close"}));
}

// ---------------------------------------------------------------------------------------
// Opening failures
// ---------------------------------------------------------------------------------------

TEST_F(ComPortTest, MissingPortRaisesBadIdAndStaysClosed) {
  setenv("SIO_COM65", "/nonexistent/ttyQ9", 1);
  TSioComPort port;
  port.SetComNumber(65);
  port.SetAutoOpen(false);
  try {
    port.SetOpen(true);
    FAIL() << "no exception";
  } catch (const EBadId& e) {
    EXPECT_EQ(e.ErrorCode, ecBadId);
    EXPECT_STREQ(e.what(), "ie_BadId - Specified comport doesn't exist");
  }
  EXPECT_FALSE(port.GetOpen());
  EXPECT_EQ(port.GetPortState(), psClosed);
  EXPECT_EQ(port.Dispatcher(), nullptr);
  EXPECT_EQ(port.GetComWindow(), 0u);
  // Operations that need the port raise -2007 when it cannot be opened.
  EXPECT_THROW(port.PutString("x"), ECommNotOpen);
  unsetenv("SIO_COM65");
}

TEST_F(ComPortTest, NoPortNumber) {
  const char* text = "The ComNumber property of the TSioComPort has not been set";
  TSioComPort port;
  port.SetPromptForPort(false);
  try {
    port.SetOpen(true);
    FAIL() << "no exception";
  } catch (const ENoPortSelected& e) {
    EXPECT_EQ(e.ErrorCode, ecNoPortSelected);
    EXPECT_STREQ(e.what(), text);
  }
  EXPECT_FALSE(port.GetOpen());
  EXPECT_EQ(port.GetPortState(), psClosed);

  // Asking without a dialog installed is cancelling.
  port.SetPromptForPort(true);
  EXPECT_THROW(port.SetOpen(true), ENoPortSelected);
  EXPECT_FALSE(port.GetOpen());

  // The chosen port is used and kept.
  MappedPty pty(66);
  SetPortPromptHook([] { return std::optional<std::uint16_t>(66); });
  port.SetOpen(true);
  EXPECT_TRUE(port.GetOpen());
  EXPECT_EQ(port.GetComNumber(), 66);

  // Loading with Open set asks after loading; a refusal leaves the port closed and goes to
  // the application's exception handler.
  std::string shown;
  SetSioApplicationExceptionHandler([&](const std::exception& e) { shown = e.what(); });
  SetPortPromptHook(nullptr);
  TSioComPort loaded;
  loaded.ComponentState |= csLoading;
  loaded.SetOpen(true);
  EXPECT_EQ(loaded.GetPortState(), psClosed);
  loaded.Loaded();
  EXPECT_EQ(shown, text);
  EXPECT_FALSE(loaded.GetOpen());
  SetSioApplicationExceptionHandler(nullptr);
}

TEST_F(ComPortTest, PortInUseRaisesAlreadyOpen) {
  MappedPty pty(67);
  TSioComPort first, second;
  first.SetComNumber(67);
  second.SetComNumber(67);
  first.SetOpen(true);
  EXPECT_THROW(second.SetOpen(true), EAlreadyOpen);
  EXPECT_EQ(second.GetPortState(), psClosed);
  EXPECT_TRUE(first.GetOpen());
}

// A device that goes away while the port is open (here the far end of its pseudo-terminal)
// reaches the port's user as a line error: a break, once, with the device known to be gone;
// the port still closes at once.
TEST_F(ComPortTest, VanishedDeviceIsReportedAsALineBreak) {
  MappedPty pty(78);
  TSioComPort port;
  port.SetComNumber(78);
  struct Report {
    std::uint16_t error;
    bool lineBreak, gone;
  };
  std::vector<Report> reports;
  port.SetOnTriggerLineError([&](TSioCustomComPort* cp, std::uint16_t error, bool lineBreak) {
    reports.push_back({error, lineBreak, cp->GetDeviceGone()});
  });
  port.SetOpen(true);
  const std::uint16_t watch = port.AddStatusTrigger(stLine);
  port.SetStatusTrigger(watch, 8, true);  // break
  EXPECT_FALSE(port.GetDeviceGone());

  pty.CloseMaster();
  ASSERT_TRUE(Pump([&] { return !reports.empty(); }));
  EXPECT_EQ(reports[0].error, 0);
  EXPECT_TRUE(reports[0].lineBreak);
  EXPECT_TRUE(reports[0].gone);
  // Armed again, the trigger stays quiet: the loss is told once.
  port.SetStatusTrigger(watch, 8, true);
  EXPECT_FALSE(Pump([&] { return reports.size() > 1; }, 300));
  EXPECT_TRUE(port.GetDeviceGone());

  const auto t0 = Clock::now();
  port.SetOpen(false);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));
  EXPECT_EQ(port.GetPortState(), psClosed);
  EXPECT_FALSE(port.GetDeviceGone());
}

// ---------------------------------------------------------------------------------------
// Closing and reopening
// ---------------------------------------------------------------------------------------

TEST_F(ComPortTest, ChangingThePortKeepsTriggersAndHandles) {
  MappedPty one(68), two(69);
  TSioComPort port;
  port.SetComNumber(68);
  std::vector<std::uint16_t> fired;
  port.SetOnTriggerData([&](TSioCustomComPort*, std::uint16_t h) { fired.push_back(h); });
  port.SetOpen(true);
  std::uint16_t h = port.AddDataTrigger("OK", true);
  port.SetComNumber(69);
  ASSERT_TRUE(port.GetOpen());
  EXPECT_EQ(port.GetComNumber(), 69);
  std::uint16_t other = port.AddDataTrigger("NO", false);
  EXPECT_NE(other, h);
  two.Write("xok");
  ASSERT_TRUE(Pump([&] { return !fired.empty(); }));
  EXPECT_EQ(fired[0], h);
}

TEST_F(ComPortTest, CloseInsideAnEventFinishesAfterIt) {
  MappedPty pty(70);
  TSioComPort port;
  port.SetComNumber(70);
  int calls = 0;
  port.SetOnTriggerAvail([&](TSioCustomComPort* cp, std::uint16_t) {
    ++calls;
    cp->SetOpen(false);
    EXPECT_NE(cp->GetPortState(), psOpen);
  });
  port.SetOpen(true);
  pty.Write("x");
  ASSERT_TRUE(Pump([&] { return port.GetPortState() == psClosed; }));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(port.Dispatcher() == nullptr, false);  // AutoOpen opens it again on use
  EXPECT_TRUE(port.GetOpen());

  // A reopen asked for inside the event happens once the close is done.
  port.SetOnTriggerAvail([&](TSioCustomComPort* cp, std::uint16_t) {
    ++calls;
    cp->SetOpen(false);
    cp->SetOpen(true);
  });
  pty.Write("y");
  ASSERT_TRUE(Pump([&] { return calls == 2; }));
  ASSERT_TRUE(Pump([&] { return port.GetPortState() == psOpen; }));
  port.PutString("z");
  EXPECT_EQ(pty.Read(1), "z");
}

// An event that is still busy 3 s after its notification was sent is skipped: the port's
// other handlers hear of the next bytes meanwhile, and every byte reaches each of them once,
// in order: the event that was skipped reads on from where it was, the bytes of its own
// notification, and the next notification tells it of the rest.
TEST_F(ComPortTest, BusyEventIsSkippedAfterThreeSecondsAndLosesNoByte) {
  MappedPty pty(77);
  TSioComPort port;
  port.SetComNumber(77);
  port.SetOpen(true);
  // A second handler that reads everything it is told of, on the dispatch thread.
  struct Reader {
    TSioBaseDispatcher* d = nullptr;
    std::atomic<int> n{0};
    std::string got;
    std::atomic<std::size_t> gotSize{0};
    void On(UINT msg, WPARAM, LPARAM) {
      if (msg == SW_TRIGGERAVAIL) {
        std::string chunk(d->InBuffUsed(), '\0');
        if (!chunk.empty() && d->GetBlock(chunk.data(), static_cast<std::uint32_t>(chunk.size())) ==
                                  static_cast<int>(chunk.size()))
          got += chunk;
        gotSize = got.size();
      }
      ++n;
    }
  } others;
  others.d = port.Dispatcher();
  port.Dispatcher()->RegisterEventTriggerHandler(TSioNotifyEvent::Of<&Reader::On>(&others));

  const std::string first = "0123456789", second = "abcdefghij";
  std::string received;
  int calls = 0;
  bool heardWhileBusy = false;
  Clock::time_point written, heard;
  auto take = [&](TSioCustomComPort* cp, std::uint32_t n) {
    std::string chunk(n, '\0');
    if (n > 0 && cp->GetBlock(chunk.data(), static_cast<std::uint16_t>(n)) == static_cast<int>(n))
      received += chunk;
  };
  port.SetOnTriggerAvail([&](TSioCustomComPort* cp, std::uint16_t count) {
    if (++calls == 1) {
      take(cp, count / 2);
      // More bytes, then busy without handling messages until the other handler has been told
      // of them (or long past the limit).
      const int before = others.n;
      pty.Write(second);
      while (others.n == before && Clock::now() - written < std::chrono::seconds(12))
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      heard = Clock::now();
      heardWhileBusy = others.n > before;
    }
    take(cp, cp->GetInBuffUsed());
  });
  port.SetTriggerLength(1);
  written = Clock::now();
  pty.Write(first);
  const std::size_t all = first.size() + second.size();
  ASSERT_TRUE(Pump([&] { return received.size() >= all && others.gotSize >= all; }, 20000)) << received;
  EXPECT_TRUE(heardWhileBusy);
  EXPECT_GE(heard - written, std::chrono::milliseconds(3000));
  EXPECT_EQ(received, first + second);
  EXPECT_EQ(others.got, first + second);
}

// A window handler on the port's window thread that is still busy when the dispatcher goes
// on to the next window handler there never counts as that one: each reads the bytes of the
// notification once, from its own place.
TEST_F(ComPortTest, HandlerLeftRunningNeverTakesTheNextHandlersPlace) {
  MappedPty pty(78);
  TSioComPort port;
  port.SetComNumber(78);
  port.SetOpen(true);
  static TSioBaseDispatcher* target;
  static std::string second;
  target = port.Dispatcher();
  second.clear();
  RegisterClass("testSecondReader", [](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
    if (msg != SW_TRIGGERAVAIL) return 0;
    std::string chunk(target->InBuffUsed(), '\0');
    if (!chunk.empty() && target->GetBlock(chunk.data(), static_cast<std::uint32_t>(chunk.size())) ==
                              static_cast<int>(chunk.size()))
      second += chunk;
    return 0;
  });
  const HWND reader = CreateWindow("testSecondReader");
  target->RegisterWndTriggerHandler(reader);

  std::string first;
  int calls = 0;
  auto takeAll = [&](TSioCustomComPort* cp) {
    std::string chunk(cp->GetInBuffUsed(), '\0');
    if (!chunk.empty() && cp->GetBlock(chunk.data(), static_cast<std::uint16_t>(chunk.size())) ==
                              static_cast<int>(chunk.size()))
      first += chunk;
  };
  port.SetOnTriggerAvail([&](TSioCustomComPort* cp, std::uint16_t) {
    takeAll(cp);
    if (++calls != 1) return;
    // Busy past the 3 s without handling messages, reading all the while, until the other
    // window's notification has reached this thread.
    const auto until = Clock::now() + std::chrono::seconds(12);
    while (!HasPendingMessages() && Clock::now() < until) {
      takeAll(cp);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    takeAll(cp);
  });
  port.SetTriggerLength(1);
  const std::string data = "0123456789";
  pty.Write(data);
  EXPECT_TRUE(Pump([&] { return first.size() >= data.size() && second.size() >= data.size(); }, 20000));
  EXPECT_EQ(first, data);
  EXPECT_EQ(second, data);
  target->DeregisterWndTriggerHandler(reader);
  DestroyWindow(reader);
}

// A window handler on a thread of its own (as the terminal's window) that is still busy when
// the port closes: the dispatcher, its buffers and its lists stay until it has returned, and
// then the close completes and a reopen asked for meanwhile runs.
TEST_F(ComPortTest, CloseWaitsForAHandlerLeftRunningOnAnotherThread) {
  MappedPty pty(79);
  TSioComPort port;
  port.SetComNumber(79);
  port.SetOpen(true);
  TSioBaseDispatcher* d = port.Dispatcher();
  static std::atomic<bool> started, release, returned;
  static std::atomic<int> seen;
  static TSioBaseDispatcher* target;
  started = release = returned = false;
  seen = -1;
  target = d;
  RegisterClass("testLateHandler", [](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
    if (msg != SW_TRIGGERAVAIL || started.exchange(true)) return 0;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    seen = static_cast<int>(target->InBuffUsed());
    returned = true;
    return 0;
  });
  std::atomic<bool> stop{false};
  std::atomic<HWND> wnd{0};
  std::thread owner([&] {
    wnd = CreateWindow("testLateHandler");
    PumpUntil([&] { return stop.load(); }, INFINITE);
    DestroyWindow(wnd);
  });
  while (!wnd) std::this_thread::yield();
  d->RegisterWndTriggerHandler(wnd);
  port.SetTriggerLength(1);
  pty.Write("0123456789");
  ASSERT_TRUE(Pump([&] { return started.load(); }));
  // After 3 s the notification goes on without it.
  ASSERT_TRUE(Pump([&] { return !d->EventBusy(); }, 10000));
  port.SetOpen(false);
  port.SetOpen(true);  // done once the close is
  // The dispatcher's threads go, the dispatcher stays.
  ASSERT_TRUE(Pump([&] { return port.GetPortState() != psShuttingDown || d->RunningThreads() == 0; }));
  ProcessMessages();
  ProcessMessages();
  EXPECT_EQ(port.GetPortState(), psShuttingDown);
  release = true;
  ASSERT_TRUE(Pump([&] { return port.GetPortState() == psOpen; }));
  EXPECT_TRUE(returned);
  EXPECT_EQ(seen, 0);  // the close discarded the bytes
  port.PutString("z");
  EXPECT_EQ(pty.Read(1), "z");
  stop = true;
  WakeThread(GetWindowThreadId(wnd));
  owner.join();
}

// A handler may free its own port: the rest of that notification's events leave it alone,
// the device is let go, and the window thread waits only for the notification's own 3 s.
TEST_F(ComPortTest, HandlerThatFreesItsOwnPort) {
  MappedPty pty(80);
  struct Seen {
    int triggers = 0, avails = 0;
    bool freed = false;
    Clock::duration took{};
    double cpu = 0;
  } seen;
  auto* port = new TSioComPort;
  port->SetComNumber(80);
  // What the handler captured goes with the port: it keeps what it needs on its own stack.
  port->SetOnTrigger([s = &seen](TSioCustomComPort* cp, UINT, std::uint16_t, std::uint32_t) {
    Seen* const out = s;
    ++out->triggers;
    const auto t0 = Clock::now();
    const double cpu0 = support::ThreadCpuSeconds();
    delete cp;
    out->took = Clock::now() - t0;
    out->cpu = support::ThreadCpuSeconds() - cpu0;
    out->freed = true;
  });
  port->SetOnTriggerAvail([s = &seen](TSioCustomComPort*, std::uint16_t) { ++s->avails; });
  port->SetOpen(true);
  pty.Write("x");
  ASSERT_TRUE(Pump([&] { return seen.freed; }, 20000));
  EXPECT_EQ(seen.triggers, 1);
  EXPECT_EQ(seen.avails, 0);
  EXPECT_LT(seen.took, std::chrono::seconds(8));
  // The free waits for the dispatcher's threads without spinning.
  EXPECT_LT(seen.cpu, 0.5) << "of " << std::chrono::duration<double>(seen.took).count() << " s";
  TSioComPort again;
  again.SetComNumber(80);
  again.SetOpen(true);
  again.PutString("z");
  EXPECT_EQ(pty.Read(1), "z");
}

// A device whose read throws ends the dispatch thread: the application is shown why, and the
// port still closes and opens again.
TEST_F(ComPortTest, ThreadEndedByItsDeviceIsShownAndThePortStillCloses) {
  MappedPty pty(81);
  struct ThrowingRead : TSioWin32Dispatcher {
    using TSioWin32Dispatcher::TSioWin32Dispatcher;
    int ReadCom(std::uint8_t*, int) override { throw std::runtime_error("Lesefehler"); }
    int ReadComPieces(std::uint8_t*, int, std::uint8_t*, int) override {
      throw std::runtime_error("Lesefehler");
    }
  };
  std::atomic<int> shown{0};
  std::string text;
  std::mutex textLock;
  SetSioApplicationExceptionHandler([&](const std::exception& e) {
    std::lock_guard<std::mutex> g(textLock);
    text = e.what();
    ++shown;
  });
  SetActivateDeviceLayerHook([](TSioCustomComPort* cp) { return new ThrowingRead(cp); });
  TSioComPort port;
  port.SetComNumber(81);
  port.SetOpen(true);
  SetActivateDeviceLayerHook(nullptr);
  pty.Write("x");
  ASSERT_TRUE(Pump([&] { return shown.load() > 0; }, 20000));
  port.SetOpen(false);
  EXPECT_EQ(port.GetPortState(), psClosed);
  SetSioApplicationExceptionHandler(nullptr);
  {
    std::lock_guard<std::mutex> g(textLock);
    EXPECT_EQ(text, "Lesefehler");
  }
  port.SetOpen(true);
  port.PutString("z");
  EXPECT_EQ(pty.Read(1), "z");
}

// ---------------------------------------------------------------------------------------
// Waiting for text
// ---------------------------------------------------------------------------------------

TEST_F(ComPortTest, WaitForStrings) {
  MappedPty pty(71);
  TSioComPort port;
  port.SetComNumber(71);
  port.SetOpen(true);
  std::string seen;
  port.SetOnWaitChar([&](TSioCustomComPort*, char c) { seen += c; });
  pty.Write("xxOKyy");
  EXPECT_TRUE(port.WaitForString("ok", 36, true, true));
  EXPECT_EQ(seen, "xxOK");
  EXPECT_FALSE(port.WaitForString("never", 2, true, false));
  EXPECT_TRUE(port.WaitForString("", 2, true, false));

  pty.Write("ERR ERROR OK");
  EXPECT_EQ(port.WaitForMultiString("OK^ERROR^", 36, true, false, '^'), 2);
  EXPECT_EQ(port.WaitForMultiString("OK^ERROR", 36, false, false, '^'), 1);
  EXPECT_EQ(port.WaitForMultiString("A^B", 2, true, false, '^'), 0);

  std::uint8_t index = 0;
  bool hit = false;
  for (char c : std::string("AABAB")) hit = port.CheckForString(index, c, "AB", false) || hit;
  EXPECT_TRUE(hit);
  EXPECT_EQ(index, 0);
}

TEST_F(ComPortTest, CloseDuringAWaitEndsItSafely) {
  MappedPty pty(72);
  TSioComPort port;
  port.SetComNumber(72);
  port.SetAutoOpen(false);
  port.SetOpen(true);
  port.SetOnWaitChar([&](TSioCustomComPort* cp, char) { cp->SetOpen(false); });
  pty.Write("abc");
  EXPECT_FALSE(port.WaitForString("abc", 36, true, false));
  ASSERT_TRUE(Pump([&] { return port.GetPortState() == psClosed; }));
  EXPECT_EQ(port.Dispatcher(), nullptr);
}

// ---------------------------------------------------------------------------------------
// Trace and log at the close
// ---------------------------------------------------------------------------------------

std::vector<std::string> ExpectedLines(const std::string& name) {
  std::ifstream f(fs::path(KORVIDAN_SOURCE_DIR) / "tests/serial/data" / name, std::ios::binary);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(f, line)) lines.push_back(line);
  return lines;
}

std::vector<std::string> CrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0, end;
  while ((end = text.find("\r\n", start)) != std::string::npos) {
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

TEST_F(ComPortTest, TraceAndLogWrittenAtTheClose) {
  MappedPty pty(73);
  TSioComPort port;
  port.SetComNumber(73);
  port.SetTraceName((dir / "SIO.TRC").string());
  port.SetLogName((dir / "SIO.LOG").string());
  port.SetTracing(tlOn);
  port.SetLogging(tlOn);
  port.SetOpen(true);
  EXPECT_EQ(port.GetTracing(), tlOn);
  std::uint16_t h = port.AddDataTrigger("OK", false);
  port.PutString("AT\r");
  EXPECT_EQ(pty.Read(3), "AT\r");
  pty.Write("OK\r\n");
  // Taken once no notification of the bytes runs: until it ends they are its handlers' alone,
  // and one may begin between a look at the buffer and the read.
  char reply[4];
  ASSERT_TRUE(Pump([&] { return port.Dispatcher()->GetBlock(reply, 4) == 4; }));
  port.AddTraceEntry('X', 'A');
  port.AddStringToLog("note");
  port.SetOpen(false);
  EXPECT_EQ(port.GetTracing(), tlOff);
  EXPECT_EQ(port.GetLogging(), tlOff);

  std::string trace = ReadFile(dir / "SIO.TRC");
  EXPECT_NE(trace.substr(trace.size() - 2), "\r\n");
  EXPECT_EQ(CrLfLines(trace), ExpectedLines("exchange.trc"));

  auto log = CrLfLines(ReadFile(dir / "SIO.LOG"));
  ASSERT_GE(log.size(), 9u);
  EXPECT_EQ(log[0], "SIO v3.01");
  EXPECT_EQ(log[3], "Time      Type      SubType       Data      OtherData");
  // Entries in the order they happened, with the time and the layout of the columns.
  char handle[16];
  std::snprintf(handle, sizeof handle, "%08x", h);
  std::vector<std::string> wanted = {
      std::string("TrigAllc  Data          ") + handle + "  OK",
      "Dispatch  WriteCom      00000003  AT[0D]",
      "User                    00000000  note",
  };
  std::size_t at = 5;
  for (const std::string& w : wanted) {
    while (at < log.size() && (log[at].size() < 10 || log[at].substr(10) != w)) ++at;
    EXPECT_LT(at, log.size()) << w;
  }
  std::string reads;
  for (std::size_t i = 5; i < log.size(); ++i) {
    ASSERT_GE(log[i].size(), 44u);
    EXPECT_EQ(log[i][4], '.') << log[i];
    if (log[i].substr(10, 18) == "Dispatch  ReadCom ") reads += log[i].substr(44);
  }
  EXPECT_EQ(reads, "OK[0D][0A]");
}

TEST_F(ComPortTest, UnwritableTraceIsReportedAndThePortStillCloses) {
  MappedPty pty(74);
  TSioComPort port;
  port.SetComNumber(74);
  port.SetTraceName((dir / "missing" / "SIO.TRC").string());
  port.SetLogName((dir / "SIO.LOG").string());
  port.SetTracing(tlOn);
  port.SetLogging(tlOn);
  port.SetOpen(true);
  port.PutString("abc");
  EXPECT_EQ(pty.Read(3), "abc");
  EXPECT_THROW(port.SetOpen(false), Exception);
  EXPECT_EQ(port.GetPortState(), psClosed);
  EXPECT_FALSE(port.GetOpen());
  EXPECT_EQ(port.GetComWindow(), 0u);
  // The log was still written, and the port opens again.
  EXPECT_TRUE(fs::exists(dir / "SIO.LOG"));
  port.SetOpen(true);
  EXPECT_TRUE(port.GetOpen());
}

// ---------------------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------------------

TEST_F(ComPortTest, SearchAssignAndNames) {
  EXPECT_EQ(ComName(7), "COM7");
  TSioComponentOwner form;
  TSioComponentOwner panel(&form);
  TSioComponentOwner inner(&panel);
  TSioComPort deep(&inner);
  TSioComPort later(&form);
  EXPECT_EQ(SearchComPort(&form), &deep);
  EXPECT_EQ(SearchComPort(&panel), &deep);
  TSioComponentOwner empty;
  EXPECT_EQ(SearchComPort(&empty), nullptr);

  deep.SetBaud(2400);
  deep.SetComNumber(9);
  deep.SetTracing(tlOn);
  deep.SetTriggerLength(5);
  later.Assign(deep);
  EXPECT_EQ(later.GetBaud(), 2400u);
  EXPECT_EQ(later.GetComNumber(), 9);
  EXPECT_EQ(later.GetTracing(), tlOn);
  EXPECT_EQ(later.GetTriggerLength(), 5);
  EXPECT_FALSE(later.GetOpen());
}

}  // namespace
