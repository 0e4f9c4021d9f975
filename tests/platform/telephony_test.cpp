// The telephony service against a modem played on the far end of a pseudo-terminal: which
// commands it sends, how result codes become call states, the hand-over of the modem's
// descriptor, and that events keep to their thread and their line.
#include "platform/Telephony.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Messages.h"
#include "platform/Registry.h"
#include "platform/Threads.h"
#include "tests/support/ScriptedModem.h"
#include "tests/support/TempDir.h"

namespace {

std::string Ok(const std::string&) { return "\r\nOK\r\n"; }

struct Event {
  DWORD_PTR device;
  std::uint32_t message;
  DWORD_PTR p1, p2, p3;
  DWORD thread;
};

std::vector<Event> gEvents;

void Collect(DWORD_PTR device, std::uint32_t message, DWORD_PTR, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3) {
  gEvents.push_back({device, message, p1, p2, p3, GetCurrentThreadId()});
}

class TelephonyService : public ::testing::Test {
 protected:
  void SetUp() override {
    SetRegistryFile(dir / "registry.ini");
    gEvents.clear();
  }
  void TearDown() override {
    if (app_ != 0) lineShutdown(app_);
    SetRegistryFile("");
    unsetenv("SIO_COM9");
  }
  // The line "Modem" on COM9, the modem on the pseudo-terminal.
  void Line(support::ScriptedModem& modem, std::uint32_t ringTimeoutMs = 8000, std::uint32_t dialTimeoutS = 5) {
    setenv("SIO_COM9", modem.Path().c_str(), 1);
    TTelephonyLine l;
    l.Name = "Modem";
    l.ComNumber = 9;
    l.Init = "ATZ|ATE0V1";
    l.EscapeGuardMs = 50;
    l.DialTimeoutS = dialTimeoutS;
    l.RingTimeoutMs = ringTimeoutMs;
    WriteTelephonyLine(l);
    std::uint32_t n = 0;
    ASSERT_EQ(lineInitialize(&app_, nullptr, Collect, "test", &n), 0);
    ASSERT_EQ(n, 1u);
  }
  HLINE Open(std::uint32_t privilege) {
    HLINE line = 0;
    EXPECT_EQ(
        lineOpen(app_, 0, &line, kTelephonyApiVersion, 0, 42, privilege, LINEMEDIAMODE_DATAMODEM, nullptr),
        0);
    EXPECT_EQ(lineSetStatusMessages(line, LINEDEVSTATE_ALL, 0), 0);
    return line;
  }
  static bool WaitEvent(const std::function<bool(const Event&)>& match, int ms = 5000) {
    return PumpUntil(
        [&] {
          for (auto& e : gEvents)
            if (match(e)) return true;
          return false;
        },
        static_cast<DWORD>(ms));
  }
  static bool WaitState(std::uint32_t state, int ms = 5000) {
    return WaitEvent([&](const Event& e) { return e.message == LINE_CALLSTATE && e.p1 == state; }, ms);
  }
  static const Event* Find(std::uint32_t message, std::uint32_t p1) {
    for (auto& e : gEvents)
      if (e.message == message && e.p1 == p1) return &e;
    return nullptr;
  }
  HCALL Dial(HLINE line, const char* number) {
    HCALL call = 0;
    LONG r = lineMakeCall(line, &call, number, 0, nullptr);
    EXPECT_GT(r, 0);
    EXPECT_TRUE(WaitEvent(
        [&](const Event& e) { return e.message == LINE_REPLY && e.p1 == static_cast<DWORD_PTR>(r); }));
    return call;
  }

  support::TempDir dir{"telephony"};
  HLINEAPP app_ = 0;
};

TEST_F(TelephonyService, RingsComeOnTheSessionsThreadAndStopWithTheLine) {
  support::ScriptedModem modem(Ok);
  Line(modem);
  const HLINE line = Open(LINECALLPRIVILEGE_OWNER);
  EXPECT_EQ(modem.Commands(), (std::vector<std::string>{"ATZ", "ATE0V1", "AT+VCID=1"}));
  modem.Send("\r\nRING\r\n\r\nNMBR = P\r\n");
  ASSERT_TRUE(WaitEvent([](const Event& e) { return e.message == LINE_CALLINFO; }));
  const Event* offering = Find(LINE_CALLSTATE, LINECALLSTATE_OFFERING);
  ASSERT_NE(offering, nullptr);
  const Event* ring = Find(LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING);
  ASSERT_NE(ring, nullptr);
  EXPECT_EQ(ring->p3, 1u);
  for (auto& e : gEvents) EXPECT_EQ(e.thread, GetCurrentThreadId());
  std::vector<std::uint32_t> info(64);
  info[0] = static_cast<std::uint32_t>(info.size() * 4);
  auto* ci = reinterpret_cast<LINECALLINFO*>(info.data());
  ASSERT_EQ(lineGetCallInfo(static_cast<HCALL>(offering->device), ci), 0);
  EXPECT_EQ(ci->dwCallerIDFlags & LINECALLPARTYID_BLOCKED, LINECALLPARTYID_BLOCKED);
  EXPECT_EQ(ci->dwOrigin, LINECALLORIGIN_INBOUND);

  // Events that are still on their way when the line closes never arrive.
  modem.Send("\r\nRING\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  gEvents.clear();
  ASSERT_EQ(lineClose(line), 0);
  PumpUntil([] { return false; }, 300);
  EXPECT_TRUE(gEvents.empty());
}

struct Outcome {
  const char* result;
  std::uint32_t state;
  std::uint32_t mode;
};

class DialOutcome : public TelephonyService, public ::testing::WithParamInterface<Outcome> {};

TEST_P(DialOutcome, ResultCodesBecomeCallStates) {
  const Outcome o = GetParam();
  support::ScriptedModem modem([&](const std::string& c) -> std::string {
    if (c.rfind("ATD", 0) == 0) return std::string("\r\n") + o.result + "\r\n";
    return "\r\nOK\r\n";
  });
  Line(modem);
  const HLINE line = Open(LINECALLPRIVILEGE_NONE);
  EXPECT_TRUE(modem.Commands().empty());  // a line for dialling leaves the modem alone until a call
  const HCALL call = Dial(line, "0301234567");
  ASSERT_TRUE(WaitState(o.state));
  EXPECT_EQ(Find(LINE_CALLSTATE, o.state)->p2, o.mode);
  EXPECT_NE(Find(LINE_CALLSTATE, LINECALLSTATE_DIALING), nullptr);
  EXPECT_EQ(modem.Commands(), (std::vector<std::string>{"ATZ", "ATE0V1", "ATD0301234567"}));
  if (o.state == LINECALLSTATE_CONNECTED) {
    std::vector<std::uint32_t> info(64);
    info[0] = static_cast<std::uint32_t>(info.size() * 4);
    ASSERT_EQ(lineGetCallInfo(call, reinterpret_cast<LINECALLINFO*>(info.data())), 0);
    EXPECT_EQ(reinterpret_cast<LINECALLINFO*>(info.data())->dwRate, 14400u);
  }
  const LONG drop = lineDrop(call, nullptr, 0);
  ASSERT_TRUE(WaitState(LINECALLSTATE_IDLE));
  EXPECT_NE(Find(LINE_REPLY, static_cast<std::uint32_t>(drop)), nullptr);
  EXPECT_EQ(modem.Commands().back(), "ATH");
  EXPECT_EQ(lineDeallocateCall(call), 0);
  EXPECT_EQ(lineClose(line), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Results, DialOutcome,
    ::testing::Values(Outcome{"BUSY", LINECALLSTATE_BUSY, LINEBUSYMODE_UNAVAIL},
                      Outcome{"7", LINECALLSTATE_BUSY, LINEBUSYMODE_UNAVAIL},
                      Outcome{"NO DIALTONE", LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NODIALTONE},
                      Outcome{"NO ANSWER", LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NOANSWER},
                      Outcome{"NO CARRIER", LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NOANSWER},
                      Outcome{"ERROR", LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_BADADDRESS},
                      Outcome{"CONNECT 14400", LINECALLSTATE_CONNECTED, 0}));

TEST_F(TelephonyService, ADialWithoutAResultEndsAtItsTimeOut) {
  support::ScriptedModem modem([](const std::string& c) -> std::string {
    if (c.rfind("ATD", 0) == 0) return "";       // the modem keeps dialling
    if (c.empty()) return "\r\nNO CARRIER\r\n";  // until a character ends the attempt
    return "\r\nOK\r\n";
  });
  Line(modem, 8000, 1);
  const HLINE line = Open(LINECALLPRIVILEGE_NONE);
  const auto start = std::chrono::steady_clock::now();
  const HCALL call = Dial(line, "123");
  ASSERT_TRUE(WaitState(LINECALLSTATE_DISCONNECTED, 8000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(Find(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED)->p2, LINEDISCONNECTMODE_NOANSWER);
  EXPECT_EQ(Find(LINE_CALLSTATE, LINECALLSTATE_CONNECTED), nullptr);
  EXPECT_NE(modem.Raw().find("ATD123\r\r"), std::string::npos);
  EXPECT_EQ(lineDrop(call, nullptr, 0) > 0, true);
  ASSERT_TRUE(WaitState(LINECALLSTATE_IDLE));
  EXPECT_EQ(lineDeallocateCall(call), 0);
  EXPECT_EQ(lineClose(line), 0);
}

TEST_F(TelephonyService, TheConnectedCallsDescriptorIsTheModems) {
  support::ScriptedModem modem([](const std::string& c) -> std::string {
    if (c.rfind("ATD", 0) == 0) return "\r\nCONNECT 33600\r\n";
    return "\r\nOK\r\n";
  });
  Line(modem);
  const HLINE line = Open(LINECALLPRIVILEGE_NONE);
  const HCALL call = Dial(line, "1");
  ASSERT_TRUE(WaitState(LINECALLSTATE_CONNECTED));

  // Too small a record: the size needed, and no descriptor made for nothing.
  const int before = ::fcntl(0, F_DUPFD, 0);
  ::close(before);
  std::uint32_t small[6] = {sizeof small};
  auto* vs = reinterpret_cast<VARSTRING*>(small);
  ASSERT_EQ(lineGetID(0, 0, call, LINECALLSELECT_CALL, vs, "comm/datamodem"), 0);
  EXPECT_GT(vs->dwNeededSize, vs->dwTotalSize);
  EXPECT_EQ(vs->dwStringSize, 0u);
  const int probe = ::fcntl(0, F_DUPFD, 0);
  EXPECT_EQ(probe, before);
  ::close(probe);

  std::vector<std::uint32_t> buf(64);
  buf[0] = static_cast<std::uint32_t>(buf.size() * 4);
  vs = reinterpret_cast<VARSTRING*>(buf.data());
  ASSERT_EQ(lineGetID(0, 0, call, LINECALLSELECT_CALL, vs, "comm/datamodem"), 0);
  ASSERT_GE(vs->dwStringSize, 4u);
  std::uint32_t fd = 0;
  std::memcpy(&fd, reinterpret_cast<char*>(vs) + vs->dwStringOffset, 4);
  EXPECT_GT(fd, 0u);
  EXPECT_LT(fd, 65536u);
  EXPECT_STREQ(reinterpret_cast<char*>(vs) + vs->dwStringOffset + 4, "COM9");

  // The far end's bytes wait for the port; the service reads none of them.
  modem.Send("hello from the far end");
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  char got[64] = {};
  pollfd p{static_cast<int>(fd), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 2000), 1);
  const ssize_t n = ::read(static_cast<int>(fd), got, sizeof got - 1);
  EXPECT_EQ(std::string(got, n > 0 ? static_cast<std::size_t>(n) : 0), "hello from the far end");
  ASSERT_EQ(::write(static_cast<int>(fd), "ping", 4), 4);
  ::close(static_cast<int>(fd));

  // Hanging up escapes to the command state first.
  modem.SetScript([](const std::string&) { return std::string("\r\nOK\r\n"); });
  lineDrop(call, nullptr, 0);
  ASSERT_TRUE(WaitState(LINECALLSTATE_IDLE));
  EXPECT_NE(modem.Raw().find("ping"), std::string::npos);
  EXPECT_NE(modem.Raw().find("+++"), std::string::npos);
  EXPECT_EQ(modem.Commands().back(), "ATH");
  lineDeallocateCall(call);
  lineClose(line);
}

TEST_F(TelephonyService, DropDuringTheDialEndsIt) {
  support::ScriptedModem modem([](const std::string& c) -> std::string {
    if (c.rfind("ATD", 0) == 0) return {};  // no answer yet
    return "\r\nOK\r\n";
  });
  Line(modem);
  const HLINE line = Open(LINECALLPRIVILEGE_NONE);
  const HCALL call = Dial(line, "99");
  ASSERT_TRUE(WaitState(LINECALLSTATE_PROCEEDING));
  ASSERT_TRUE(modem.WaitForCommand("ATD99"));
  const std::size_t sent = modem.Raw().size();
  modem.SetScript([](const std::string&) { return std::string("\r\nNO CARRIER\r\n"); });
  lineDrop(call, nullptr, 0);
  ASSERT_TRUE(WaitState(LINECALLSTATE_IDLE));
  EXPECT_GT(modem.Raw().size(), sent);  // a character after the dial cancels it
  lineDeallocateCall(call);
  lineClose(line);
}

TEST_F(TelephonyService, NumbersThatAreNoNumbersAreRefused) {
  support::ScriptedModem modem(Ok);
  Line(modem);
  const HLINE line = Open(LINECALLPRIVILEGE_NONE);
  HCALL call = 0;
  EXPECT_EQ(lineMakeCall(line, &call, "12\rATZ", 0, nullptr), LINEERR_INVALADDRESS);
  EXPECT_EQ(lineMakeCall(line, &call, "12;ATH", 0, nullptr), LINEERR_INVALADDRESS);
  EXPECT_EQ(lineMakeCall(line, &call, "12H", 0, nullptr), LINEERR_INVALADDRESS);
  EXPECT_EQ(lineMakeCall(line, &call, "", 0, nullptr), LINEERR_INVALADDRESS);
  EXPECT_EQ(lineMakeCall(line, &call, "0800 12-34 (5)", 0, nullptr) > 0, true);
  ASSERT_TRUE(modem.WaitForCommand("ATD080012345"));
  for (auto& c : modem.Commands()) EXPECT_NE(c, "ATD12") << "a refused number was dialled";
  lineDeallocateCall(call);
  lineClose(line);
}

TEST_F(TelephonyService, AnUnansweredCallerIsGoneAfterTheRingTimeout) {
  support::ScriptedModem modem(Ok);
  Line(modem, 300);
  const HLINE line = Open(LINECALLPRIVILEGE_OWNER);
  modem.Send("\r\nRING\r\n");
  ASSERT_TRUE(WaitState(LINECALLSTATE_OFFERING));
  ASSERT_TRUE(WaitState(LINECALLSTATE_IDLE, 3000));
  for (auto& c : modem.Commands()) EXPECT_NE(c, "ATA");
  lineClose(line);
}

TEST_F(TelephonyService, LineSettings) {
  TTelephonyLine l;
  l.Name = "Modem";
  l.ComNumber = 4;
  ASSERT_TRUE(ApplyTelephonyLineConfigText("ComNumber=7\r\nInit=AT&F|ATE0\nBaud=115200\n", l));
  EXPECT_EQ(l.ComNumber, 7);
  EXPECT_EQ(l.Init, "AT&F|ATE0");
  EXPECT_EQ(l.Baud, 115200u);
  TTelephonyLine copy = l;
  EXPECT_TRUE(ApplyTelephonyLineConfigText(TelephonyLineConfigText(l), copy));
  EXPECT_EQ(TelephonyLineConfigText(copy), TelephonyLineConfigText(l));
  for (const char* bad : {"ComNumber=seven", "Baud=0", "Colour=blue", "ComNumber", "ComNumber=70000"}) {
    TTelephonyLine before = l;
    EXPECT_FALSE(ApplyTelephonyLineConfigText(bad, l)) << bad;
    EXPECT_EQ(TelephonyLineConfigText(l), TelephonyLineConfigText(before));
  }

  // The same name replaces its entry; a new one is added at the end and announced.
  WriteTelephonyLine(l);
  std::uint32_t n = 0;
  ASSERT_EQ(lineInitialize(&app_, nullptr, Collect, "test", &n), 0);
  EXPECT_EQ(n, 1u);
  l.Init = "ATZ";
  WriteTelephonyLine(l);
  ASSERT_EQ(ReadTelephonyLines().size(), 1u);
  EXPECT_EQ(ReadTelephonyLines()[0].Init, "ATZ");
  TTelephonyLine second;
  second.Name = "Second";
  second.ComNumber = 5;
  WriteTelephonyLine(second);
  ASSERT_EQ(ReadTelephonyLines().size(), 2u);
  EXPECT_EQ(ReadTelephonyLines()[1].Name, "Second");
  ASSERT_TRUE(WaitEvent([](const Event& e) { return e.message == LINE_CREATE && e.p1 == 1; }));
  std::uint32_t version = 0;
  LINEEXTENSIONID ext{};
  EXPECT_EQ(lineNegotiateAPIVersion(app_, 1, kTelephonyApiVersion, kTelephonyApiVersion, &version, &ext), 0);
  EXPECT_EQ(lineNegotiateAPIVersion(app_, 2, kTelephonyApiVersion, kTelephonyApiVersion, &version, &ext),
            LINEERR_BADDEVICEID);
  EXPECT_EQ(lineNegotiateAPIVersion(app_, 0, 0x00020000, 0x00030000, &version, &ext),
            LINEERR_INCOMPATIBLEAPIVERSION);
}

}  // namespace
