// ASCII transfers through a relay of two ptys; the far pty is read and written by the test.
#include "platform/Threads.h"
#include "serial/Sioexcept.h"
#include "transfer/Swascii.h"
#include "xfer_harness.h"

using namespace xfer;
using Clock = std::chrono::steady_clock;

namespace {

// A byte that arrived at the far end and when.
struct Arrival {
  char c;
  Clock::time_point at;
};

// Reads the far end until want bytes came or ms passed.
std::vector<Arrival> ReadFar(int fd, std::size_t want, int ms) {
  std::vector<Arrival> got;
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (got.size() < want && Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof buf);
    for (ssize_t i = 0; i < n; ++i) got.push_back({buf[i], Clock::now()});
  }
  return got;
}

std::string Text(const std::vector<Arrival>& a) {
  std::string s;
  for (const auto& x : a) s += x.c;
  return s;
}

void WriteFar(int fd, const std::string& s) {
  ASSERT_EQ(static_cast<ssize_t>(s.size()), ::write(fd, s.data(), s.size()));
}

long long Ms(Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); }

class AsciiTest : public XferTest {
 protected:
  // The driver's record made into an ASCII record (the driver keeps its notice window).
  static void MakeAscii(Driver& d) {
    d.InitXmodem(false, false, false);
    ASSERT_EQ(0, spReinit(*d.P));
    d.P->UpcaseFileNames = false;
  }
  static void StartTransmit(Driver& d) {
    d.finished = false;
    apStartProtocol(*d.P, ptAscii, spTransmit, spPrepareTransmit);
  }
  static void StartReceive(Driver& d, const std::string& target) {
    d.finished = false;
    apSetReceiveFilename(*d.P, target.c_str());
    apStartProtocol(*d.P, ptAscii, spReceive, spPrepareReceive);
  }
  static void Cancel(Driver& d, TSioNotifyProc proc) {
    proc(apw_ProtocolCancel, 0, static_cast<LPARAM>(d.port.Dispatcher()->Handle()) * 65536);
  }
  // Ends a run that is still going and frees the record, so that the driver leaves it alone.
  static void Release(Driver& d, TSioNotifyProc proc) {
    if (!d.P) return;
    if (d.P->InProgress && d.port.Dispatcher()) {
      Cancel(d, proc);
      d.WaitFinish(3000);
    }
    spDone(d.P);
  }
};

TEST_F(AsciiTest, InitAndSetters) {
  TSioComPort small;
  small.SetOutSize(512);
  TProtocolData* P = nullptr;
  EXPECT_EQ(ecOutputBufferTooSmall, spInit(P, &small, 0));
  ASSERT_EQ(0, spInit(P, nullptr, 0));
  EXPECT_EQ(0, spSetDelays(*P, 110, 56));  // in ticks, rounded up
  EXPECT_EQ(2u, spTail(*P)->CharDelayTicks);
  EXPECT_EQ(2u, spTail(*P)->LineDelayTicks);
  spDone(P);
  ASSERT_EQ(0, xpInit(P, nullptr, true, false, false, 0));
  EXPECT_EQ(ecBadProtocolFunction, spSetDelays(*P, 10, 10));
  EXPECT_EQ(ecBadProtocolFunction, spSetEOLTranslation(*P, aetStrip, aetStrip));
  xpDone(P);
}

// Line ends translated, the Ctrl-Z left out, pauses after every character and longer ones
// after each line.
TEST_F(AsciiTest, SendsTranslatedTextWithCharacterAndLinePacing) {
  Relay relay(false);
  Driver d(61, relay.nearEnd.path());
  MakeAscii(d);
  WriteFile(dir / "near" / "t.txt", std::string("line1\nline2\r\nend\x1A"));
  ASSERT_EQ(0, spSetEOLTranslation(*d.P, aetStrip, aetAddCRBefore));
  ASSERT_EQ(0, spSetDelays(*d.P, 20, 100));
  d.sendList = {(dir / "near" / "t.txt").string()};
  const std::string expect = "line1\r\nline2\r\nend";
  const auto start = Clock::now();
  StartTransmit(d);
  const auto got = ReadFar(relay.farEnd.slave(), expect.size(), 5000);
  ASSERT_TRUE(d.WaitFinish(5000));
  const auto took = Clock::now() - start;
  EXPECT_EQ(expect, Text(got));
  EXPECT_EQ(0, d.finishCode);
  EXPECT_EQ(psEndFile, d.P->ProtocolStatus);
  EXPECT_EQ((std::vector<unsigned>{lfTransmitStart, lfTransmitOk}), d.logCodes);
  EXPECT_EQ(1, d.lastStatus);
  EXPECT_EQ(1, spGetLineNumber(*d.P));
  // 17 characters of 20 ms and two lines of 100 ms more; timer waits may end up to a tick
  // early, so only part of it is asked for.
  EXPECT_GE(Ms(took), 400);
  // The pause after the second line end (the run is under way on the dispatcher's thread by
  // then; the first call's output may go out in one piece).
  ASSERT_EQ(expect.size(), got.size());
  const std::size_t lf = expect.rfind('\n');
  EXPECT_GE(Ms(got[lf + 1].at - got[lf].at), 60);
  Release(d, spTransmit);
}

// Blocks of 60 characters; with AsciiSuppressCtrlZ a Ctrl-Z drops the rest of its block.
TEST_F(AsciiTest, SuppressedCtrlZDropsTheRestOfItsBlock) {
  Relay relay(false);
  Driver d(62, relay.nearEnd.path());
  MakeAscii(d);
  apOptionsOn(*d.P, apAsciiSuppressCtrlZ);
  std::string data;
  for (int i = 0; i < 150; ++i) data += static_cast<char>('A' + i % 26);
  data[30] = '\x1A';
  WriteFile(dir / "near" / "b.txt", data);
  d.sendList = {(dir / "near" / "b.txt").string()};
  const std::string expect = data.substr(0, 30) + data.substr(60);
  StartTransmit(d);
  const auto got = ReadFar(relay.farEnd.slave(), expect.size(), 5000);
  ASSERT_TRUE(d.WaitFinish(5000));
  // Nothing more follows.
  const auto extra = ReadFar(relay.farEnd.slave(), 1, 200);
  EXPECT_EQ(expect, Text(got) + Text(extra));
  EXPECT_EQ(0, d.finishCode);
  EXPECT_EQ(3, spGetLineNumber(*d.P));
  Release(d, spTransmit);
}

// A send runs to its end while another port's event handler, on a thread of its own, is
// busy for long without handling messages.
TEST_F(AsciiTest, SendGoesOnWhileAnotherPortsEventIsBusy) {
  Relay relay(false);
  Driver d(69, relay.nearEnd.path());
  MakeAscii(d);
  std::string data;
  for (int i = 0; i < 40; ++i) data += "Zeile " + std::to_string(i) + "\r\n";
  WriteFile(dir / "near" / "s.txt", data);
  d.sendList = {(dir / "near" / "s.txt").string()};

  support::PtyPair line;
  line.MapTo(70);
  std::atomic<bool> opened{false}, busy{false}, release{false}, stop{false};
  std::atomic<DWORD> ownerThread{0};
  std::thread owner([&] {
    ownerThread = GetCurrentThreadId();
    TSioComPort other;
    other.SetComNumber(70);
    other.SetOnTriggerAvail([&](TSioCustomComPort*, std::uint16_t) {
      busy = true;
      const auto until = Clock::now() + std::chrono::seconds(10);
      while (!release && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      busy = false;
    });
    try {
      other.SetOpen(true);
      opened = true;
    } catch (const std::exception&) {
    }
    PumpUntil([&] { return stop.load(); }, INFINITE);
  });
  struct Join {
    std::atomic<bool>& release;
    std::atomic<bool>& stop;
    std::atomic<DWORD>& thread;
    std::thread& owner;
    ~Join() {
      release = stop = true;
      while (thread == 0) std::this_thread::yield();
      WakeThread(thread);
      owner.join();
    }
  } join{release, stop, ownerThread, owner};
  const auto until = Clock::now() + std::chrono::seconds(10);
  while (!opened && Clock::now() < until) std::this_thread::yield();
  ASSERT_TRUE(opened);
  line.Write("x");
  while (!busy && Clock::now() < until) std::this_thread::yield();
  ASSERT_TRUE(busy);

  StartTransmit(d);
  const auto got = ReadFar(relay.farEnd.slave(), data.size(), 20000);
  const bool finished = d.WaitFinish(20000);
  const bool stillBusy = busy;
  release = true;
  EXPECT_TRUE(finished);
  EXPECT_EQ(0, d.finishCode);
  EXPECT_EQ(data, Text(got));
  EXPECT_TRUE(stillBusy) << "the send waited for the other port's handler";
  Release(d, spTransmit);
}

// A receiver that stops reading: the output never drains and the run fails with a time-out.
TEST_F(AsciiTest, SendToAPeerThatStopsReadingFailsWithTimeout) {
  support::PtyPair line;  // its master is never read
  Driver d(63, line.path());
  MakeAscii(d);
  d.P->TransmitTimeout = 10;
  std::string data;
  for (int i = 0; i < 400 * 1024; ++i) data += static_cast<char>(' ' + i % 90);
  WriteFile(dir / "near" / "big.txt", data);
  d.sendList = {(dir / "near" / "big.txt").string()};
  StartTransmit(d);
  ASSERT_TRUE(d.WaitFinish(10000));
  EXPECT_EQ(ecTimeout, d.finishCode);
  EXPECT_NE(psEndFile, d.P->ProtocolStatus);
  EXPECT_EQ((std::vector<unsigned>{lfTransmitStart, lfTransmitFail}), d.logCodes);
  EXPECT_LT(d.P->BytesTransferred, static_cast<std::int32_t>(data.size()));
  Release(d, spTransmit);
}

// A cancel stops a paced send at once and the run is reported failed.
TEST_F(AsciiTest, CancelledSendFails) {
  Relay relay(false);
  Driver d(68, relay.nearEnd.path());
  MakeAscii(d);
  ASSERT_EQ(0, spSetDelays(*d.P, 50, 0));
  const std::string data(600, 'c');
  WriteFile(dir / "near" / "slow.txt", data);
  d.sendList = {(dir / "near" / "slow.txt").string()};
  StartTransmit(d);
  const auto first = ReadFar(relay.farEnd.slave(), 5, 3000);
  ASSERT_EQ(5u, first.size());
  Cancel(d, spTransmit);
  ASSERT_TRUE(d.WaitFinish(3000));
  EXPECT_EQ(ecCancelRequested, d.finishCode);
  EXPECT_EQ((std::vector<unsigned>{lfTransmitStart, lfTransmitFail}), d.logCodes);
  const auto rest = ReadFar(relay.farEnd.slave(), data.size(), 300);
  EXPECT_LT(first.size() + rest.size(), data.size());
  Release(d, spTransmit);
}

// A Ctrl-Z before the last character of a block ends the file right behind it; received line
// ends are translated before they are stored.
TEST_F(AsciiTest, ReceiveEndsAtCtrlZ) {
  Relay relay(false);
  Driver d(64, relay.nearEnd.path());
  MakeAscii(d);
  ASSERT_EQ(0, spSetEOLTranslation(*d.P, aetNone, aetAddCRBefore));
  const std::string target = (dir / "near" / "in.txt").string();
  StartReceive(d, target);
  // The Ctrl-Z is seen when its block is full: more text follows it.
  WriteFar(relay.farEnd.slave(), "first\nsecond\x1A" + std::string(60, 't'));
  ASSERT_TRUE(d.WaitFinish(5000));
  EXPECT_EQ(0, d.finishCode);
  EXPECT_EQ("first\r\nsecond\x1A", ReadFile(target));
  EXPECT_EQ((std::vector<unsigned>{lfReceiveStart, lfReceiveOk}), d.logCodes);
  EXPECT_EQ(1, d.lastStatus);
  Release(d, spReceive);
}

// Without a Ctrl-Z (one in the last place of a full block doesn't count) the file ends after
// EOFTimeout ticks of silence and holds everything that came.
TEST_F(AsciiTest, ReceiveEndsAfterSilenceWithEverythingThatCame) {
  Relay relay(false);
  Driver d(65, relay.nearEnd.path());
  MakeAscii(d);
  ASSERT_EQ(0, spSetEOFTimeout(*d.P, 20));
  const std::string target = (dir / "near" / "quiet.txt").string();
  StartReceive(d, target);
  std::string part1(59, 'x');
  part1 += '\x1A';
  const std::string part2 = "0123456789";
  WriteFar(relay.farEnd.slave(), part1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // shorter than the time-out
  WriteFar(relay.farEnd.slave(), part2);
  const auto last = Clock::now();
  ASSERT_TRUE(d.WaitFinish(5000));
  EXPECT_GE(Ms(Clock::now() - last), 950);
  EXPECT_EQ(0, d.finishCode);
  EXPECT_EQ(part1 + part2, ReadFile(target));
  EXPECT_EQ(static_cast<std::int32_t>(part1.size() + part2.size()), d.P->BytesTransferred);
  Release(d, spReceive);
}

// A cancelled receive is reported failed and keeps what had arrived.
TEST_F(AsciiTest, CancelledReceiveFailsAndKeepsWhatCame) {
  Relay relay(false);
  Driver d(66, relay.nearEnd.path());
  MakeAscii(d);
  const std::string target = (dir / "near" / "cut.txt").string();
  StartReceive(d, target);
  WriteFar(relay.farEnd.slave(), "partial text");
  // The text has come in and the engine has taken it from the port.
  PumpUntil([] { return false; }, 300);
  ASSERT_TRUE(PumpUntil([&] { return d.port.Dispatcher()->InBuffUsed() == 0; }, 3000));
  Cancel(d, spReceive);
  ASSERT_TRUE(d.WaitFinish(3000));
  EXPECT_EQ(ecCancelRequested, d.finishCode);
  EXPECT_EQ((std::vector<unsigned>{lfReceiveStart, lfReceiveFail}), d.logCodes);
  EXPECT_EQ("partial text", ReadFile(target));
  Release(d, spReceive);
}

TEST_F(AsciiTest, ReceiveWithoutANameOrRefusedFails) {
  Relay relay(false);
  Driver d(67, relay.nearEnd.path());
  MakeAscii(d);
  d.finished = false;
  d.P->PathName[0] = 0;
  apStartProtocol(*d.P, ptAscii, spReceive, spPrepareReceive);
  ASSERT_TRUE(d.WaitFinish(3000));
  EXPECT_EQ(ecNoFilename, d.finishCode);

  d.refuse = true;
  d.logCodes.clear();
  const std::string target = (dir / "near" / "no.txt").string();
  StartReceive(d, target);
  ASSERT_TRUE(d.WaitFinish(3000));
  EXPECT_EQ(ecFileRejected, d.finishCode);
  EXPECT_EQ((std::vector<unsigned>{lfReceiveStart, lfReceiveFail}), d.logCodes);
  EXPECT_FALSE(fs::exists(target));
  Release(d, spReceive);
}

}  // namespace
