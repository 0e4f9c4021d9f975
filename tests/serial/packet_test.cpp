// Data packets on a pseudo-terminal: start and end strings, sizes, any-data starts, data
// split across reads, time-outs, two packets on one port and refused property sets.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/Messages.h"
#include "serial/SioPacket.h"
#include "serial/SioPort.h"
#include "tests/support/Pty.h"

namespace {

struct MappedPty : support::PtyPair {
  explicit MappedPty(int n) { MapTo(n); }
  // Writes s and lets the port take it in before anything else is written, so that every
  // call arrives as a read of its own.
  void Send(const std::string& s) {
    ASSERT_EQ(::write(master(), s.data(), s.size()), static_cast<ssize_t>(s.size()));
    Idle(80);
  }
  static void Idle(DWORD ms) {
    PumpUntil([] { return false; }, ms);
  }
};

bool Pump(const std::function<bool()>& condition, DWORD ms = 5000) { return PumpUntil(condition, ms); }

// A port on a pseudo-terminal with packets that record what they deliver.
class PacketTest : public ::testing::Test {
 protected:
  explicit PacketTest() = default;
  void OpenPort(int n) {
    pty = std::make_unique<MappedPty>(n);
    port = std::make_unique<TSioComPort>();
    port->SetComNumber(static_cast<std::uint16_t>(n));
    port->SetOpen(true);
  }
  std::unique_ptr<TSioDataPacket> MakePacket(std::vector<std::string>& out) {
    auto p = std::make_unique<TSioDataPacket>();
    p->SetOnStringPacket([&out](TSioDataPacket*, const std::string& s) { out.push_back(s); });
    return p;
  }
  void TearDown() override {
    packets.clear();
    port.reset();
    pty.reset();
  }
  std::unique_ptr<MappedPty> pty;
  std::unique_ptr<TSioComPort> port;
  std::vector<std::unique_ptr<TSioDataPacket>> packets;
};

using Strings = std::vector<std::string>;

TEST_F(PacketTest, StartAndEndStrings) {
  OpenPort(71);
  Strings got;
  auto p = MakePacket(got);
  int rawSize = -1;
  p->SetOnPacket([&](TSioDataPacket* sender, const void*, int size) {
    rawSize = size;
    EXPECT_EQ(sender->GetCollectedString().size(), static_cast<std::size_t>(size));
  });
  p->SetComPort(port.get());
  p->SetStartString("<");
  p->SetEndCond(PacketEndBit(ecString));
  p->SetEndString(">");
  p->SetIncludeStrings(false);
  p->SetEnabled(true);

  pty->Send("x<abc>y");
  ASSERT_TRUE(Pump([&] { return got.size() == 1; }));
  EXPECT_EQ(got[0], "abc");
  EXPECT_EQ(rawSize, 3);
  EXPECT_TRUE(p->GetEnabled());  // enabled again by AutoEnable

  // Start, data and end each in reads of their own; a multi-byte end string split inside.
  p->SetIncludeStrings(true);
  p->SetEndString("END");
  pty->Send("<");
  pty->Send("de");
  pty->Send("EN");
  pty->Send("E");
  pty->Send("ND");
  ASSERT_TRUE(Pump([&] { return got.size() == 2; }));
  EXPECT_EQ(got[1], "<deENEND");

  // Two complete packets in one read, and case-insensitive end strings.
  pty->Send("<1end<2END");
  ASSERT_TRUE(Pump([&] { return got.size() == 4; }));
  EXPECT_EQ(got[2], "<1end");
  EXPECT_EQ(got[3], "<2END");

  // An end string that equals the start string is found behind it, not in it.
  p->SetEndString("<");
  pty->Send("<ab<");
  ASSERT_TRUE(Pump([&] { return got.size() == 5; }));
  EXPECT_EQ(got[4], "<ab<");
}

TEST_F(PacketTest, StartStringAndSize) {
  OpenPort(72);
  Strings got;
  auto p = MakePacket(got);
  p->SetComPort(port.get());
  p->SetStartString("AT");
  p->SetEndCond(PacketEndBit(ecPacketSize));
  p->SetPacketSize(6);
  p->SetIncludeStrings(false);
  p->SetEnabled(true);

  // The size counts from the first byte of the start string.
  pty->Send("--A");
  pty->Send("Tabc");
  pty->Send("defATwx");
  ASSERT_TRUE(Pump([&] { return got.size() == 1; }));
  EXPECT_EQ(got[0], "abcd");
  pty->Send("yz");
  ASSERT_TRUE(Pump([&] { return got.size() == 2; }));
  EXPECT_EQ(got[1], "wxyz");
  MappedPty::Idle(100);
  EXPECT_EQ(p->Manager()->BufferFill(), 0u);
}

TEST_F(PacketTest, StartStringsAlone) {
  OpenPort(73);
  Strings at, wild, literal;
  auto p1 = MakePacket(at);
  p1->SetComPort(port.get());
  p1->SetStartString("ok");
  p1->SetEnabled(true);

  pty->Send("xxOKyyok");
  pty->Send("O");
  pty->Send("K!");
  ASSERT_TRUE(Pump([&] { return at.size() == 3; }));
  EXPECT_EQ(at, (Strings{"OK", "ok", "OK"}));

  // A partial match that fails restarts on the byte after its first one.
  pty->Send("oOK");
  ASSERT_TRUE(Pump([&] { return at.size() == 4; }));
  EXPECT_EQ(at[3], "OK");

  p1->SetStartString("A?C");
  pty->Send("ABC AXC A?C AC");
  ASSERT_TRUE(Pump([&] { return at.size() == 7; }));
  EXPECT_EQ(at[4], "ABC");
  EXPECT_EQ(at[5], "AXC");
  EXPECT_EQ(at[6], "A?C");

  p1->SetStartString("A\\?C");
  pty->Send("ABC A?C");
  ASSERT_TRUE(Pump([&] { return at.size() == 8; }));
  MappedPty::Idle(100);
  ASSERT_EQ(at.size(), 8u);
  EXPECT_EQ(at[7], "A?C");

  // Case matters when asked.
  p1->SetStartString("ok");
  p1->SetIgnoreCase(false);
  pty->Send("OKok");
  ASSERT_TRUE(Pump([&] { return at.size() == 9; }));
  MappedPty::Idle(100);
  EXPECT_EQ(at.size(), 9u);
  EXPECT_EQ(at[8], "ok");
}

TEST_F(PacketTest, AnyDataStarts) {
  OpenPort(74);
  Strings got;
  auto p = MakePacket(got);
  p->SetComPort(port.get());
  p->SetStartCond(scAnyData);
  p->SetEndCond(PacketEndBit(ecPacketSize));
  p->SetPacketSize(4);
  p->SetEnabled(true);
  EXPECT_EQ(p->Mode(), dpCollecting);

  pty->Send("abcdefg");
  pty->Send("hij");
  ASSERT_TRUE(Pump([&] { return got.size() == 2; }));
  EXPECT_EQ(got, (Strings{"abcd", "efgh"}));
  pty->Send("kl");
  ASSERT_TRUE(Pump([&] { return got.size() == 3; }));
  EXPECT_EQ(got[2], "ijkl");

  // Lines, whichever condition comes first.
  p->SetEndString("\r");
  p->SetPacketSize(5);
  p->SetEndCond(PacketEndBit(ecString) | PacketEndBit(ecPacketSize));
  pty->Send("12\r3456789\r");
  ASSERT_TRUE(Pump([&] { return got.size() == 6; }));
  EXPECT_EQ(got[3], "12\r");
  EXPECT_EQ(got[4], "34567");
  EXPECT_EQ(got[5], "89\r");
}

TEST_F(PacketTest, TimeoutFiresOnceAndLeavesThePacketDisabled) {
  OpenPort(75);
  Strings got;
  int timeouts = 0;
  auto p = MakePacket(got);
  p->SetOnTimeout([&](TSioDataPacket*) { ++timeouts; });
  p->SetComPort(port.get());
  p->SetStartString("<");
  p->SetEndCond(PacketEndBit(ecString));
  p->SetEndString(">");
  p->SetTimeOut(5);  // about 275 ms
  p->SetEnabled(true);

  pty->Send("<abc");
  ASSERT_TRUE(Pump([&] { return timeouts == 1; }));
  MappedPty::Idle(600);
  EXPECT_EQ(timeouts, 1);
  EXPECT_FALSE(p->GetEnabled());
  EXPECT_EQ(p->Mode(), dpIdle);
  pty->Send("d><x>");
  MappedPty::Idle(200);
  EXPECT_TRUE(got.empty());

  // Enabled again it works as before; a packet that completes in time does not time out.
  p->SetEnabled(true);
  pty->Send("<y>");
  ASSERT_TRUE(Pump([&] { return got.size() == 1; }));
  EXPECT_EQ(got[0], "<y>");
  MappedPty::Idle(500);
  EXPECT_EQ(timeouts, 1);
}

TEST_F(PacketTest, OnePacketCollectsTheOtherWaits) {
  OpenPort(76);
  Strings framed, at;
  auto p1 = MakePacket(framed);
  p1->SetComPort(port.get());
  p1->SetStartString("<");
  p1->SetEndCond(PacketEndBit(ecString));
  p1->SetEndString(">");
  p1->SetEnabled(true);
  auto p2 = MakePacket(at);
  p2->SetComPort(port.get());
  p2->SetStartString("AT");
  p2->SetEnabled(true);
  EXPECT_EQ(p1->Manager(), p2->Manager());

  pty->Send("<xxAT");
  pty->Send("yyA");
  pty->Send("T>");
  ASSERT_TRUE(Pump([&] { return framed.size() == 1; }));
  EXPECT_EQ(framed[0], "<xxATyyAT>");
  MappedPty::Idle(100);
  EXPECT_TRUE(at.empty());

  // Without a capture the start string is seen again; a partial start of the second packet
  // does not keep the first from taking the capture.
  pty->Send("A<AT>AT");
  ASSERT_TRUE(Pump([&] { return framed.size() == 2 && at.size() == 1; }));
  EXPECT_EQ(framed[1], "<AT>");
  EXPECT_EQ(at[0], "AT");

  // The manager goes with its last packet.
  p1->SetComPort(nullptr);
  EXPECT_NE(GetPortManager(port.get()), nullptr);
  p2.reset();
  EXPECT_EQ(GetPortManager(port.get()), nullptr);
}

TEST_F(PacketTest, InvalidPropertiesAreRefused) {
  OpenPort(77);
  Strings got;
  auto p = MakePacket(got);
  p->SetComPort(port.get());
  auto code = [&] {
    try {
      p->SetEnabled(true);
    } catch (const EInvalidProperty& e) {
      EXPECT_EQ(p->Mode(), dpIdle);
      EXPECT_FALSE(p->GetEnabled());
      return e.ErrorCode;
    }
    return 0;
  };
  EXPECT_EQ(code(), -5501);  // no start string
  p->SetStartString("ABC");
  p->SetEndCond(PacketEndBit(ecPacketSize));
  p->SetPacketSize(2);
  EXPECT_EQ(code(), -5502);   // smaller than the start string
  p->SetStartString("A\\?");  // two characters once compiled
  EXPECT_EQ(code(), 0);
  p->SetEnabled(false);
  p->SetStartCond(scAnyData);
  p->SetEndCond(0);
  EXPECT_EQ(code(), -5503);
  p->SetEndCond(PacketEndBit(ecString));
  EXPECT_EQ(code(), -5504);
  p->SetEndCond(PacketEndBit(ecPacketSize));
  p->SetPacketSize(0);
  EXPECT_EQ(code(), -5505);

  // Messages come from the library's string table.
  try {
    p->SetEnabled(true);
    FAIL();
  } catch (const EInvalidProperty& e) {
    EXPECT_STREQ(e.what(), "Packet size cannot be zero");
  }
}

TEST_F(PacketTest, PacketsFollowThePortThroughCloseAndReopen) {
  OpenPort(78);
  Strings got;
  auto p = MakePacket(got);
  p->SetComPort(port.get());
  p->SetStartString("<");
  p->SetEndCond(PacketEndBit(ecString));
  p->SetEndString(">");
  p->SetEnabled(true);
  pty->Send("<a");
  port->SetOpen(false);
  EXPECT_EQ(p->Mode(), dpIdle);
  port->SetOpen(true);
  EXPECT_EQ(p->Mode(), dpWaitStart);
  pty->Send("b><c>");
  ASSERT_TRUE(Pump([&] { return got.size() == 1; }));
  EXPECT_EQ(got[0], "<c>");
}

// A port that goes first leaves its packets idle and without a port, never pointing at it.
TEST_F(PacketTest, PacketsOutliveTheirPort) {
  OpenPort(79);
  Strings got;
  auto p = MakePacket(got);
  p->SetComPort(port.get());
  p->SetStartString("<");
  p->SetEndCond(PacketEndBit(ecString));
  p->SetEndString(">");
  p->SetEnabled(true);
  pty->Send("<a");
  port.reset();
  EXPECT_EQ(p->GetComPort(), nullptr);
  EXPECT_EQ(p->Mode(), dpIdle);
  p->SetEnabled(false);
  p.reset();
  EXPECT_TRUE(got.empty());
}

TEST_F(PacketTest, AnyDataWaitsForTheCapture) {
  OpenPort(79);
  Strings framed, rest;
  auto p1 = MakePacket(framed);
  p1->SetComPort(port.get());
  p1->SetStartString("<");
  p1->SetEndCond(PacketEndBit(ecString));
  p1->SetEndString(">");
  p1->SetEnabled(true);
  pty->Send("<ab");
  ASSERT_EQ(p1->Mode(), dpCollecting);

  auto p2 = MakePacket(rest);
  p2->SetComPort(port.get());
  p2->SetStartCond(scAnyData);
  p2->SetPacketSize(2);
  p2->SetEndCond(PacketEndBit(ecPacketSize));
  p2->SetEnabled(true);
  EXPECT_EQ(p2->Mode(), dpIdle);
  EXPECT_TRUE(p2->GetEnabled());

  pty->Send("c>xy");
  ASSERT_TRUE(Pump([&] { return framed.size() == 1 && rest.size() == 1; }));
  EXPECT_EQ(framed[0], "<abc>");
  EXPECT_EQ(rest[0], "xy");
}

TEST_F(PacketTest, LoadingAndOwnerNotifications) {
  OpenPort(80);
  TSioComponentOwner form;
  Strings got;
  TSioDataPacket p(&form);
  p.SetOnStringPacket([&](TSioDataPacket*, const std::string& s) { got.push_back(s); });
  p.ComponentState |= csLoading;
  p.SetStartString("OK");
  p.SetEnabled(true);
  EXPECT_EQ(p.Mode(), dpIdle);
  p.Notification(port.get(), opInsert);
  EXPECT_EQ(p.GetComPort(), port.get());
  p.Loaded();
  EXPECT_EQ(p.Mode(), dpWaitStart);
  pty->Send("xOKx");
  ASSERT_TRUE(Pump([&] { return got.size() == 1; }));

  p.Notification(port.get(), opRemove);
  EXPECT_EQ(p.GetComPort(), nullptr);
  EXPECT_EQ(GetPortManager(port.get()), nullptr);
  pty->Send("OK");
  EXPECT_EQ(got.size(), 1u);
}

}  // namespace
