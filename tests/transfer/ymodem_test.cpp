// YModem batches against lrzsz's sb and rb, and YModem-G, through the relay.
#include <sys/stat.h>
#include <utime.h>

#include <set>

#include "xfer_harness.h"

using namespace xfer;

namespace {

class YmodemTest : public XferTest {};

void SetTime(const fs::path& p, time_t t) {
  utimbuf u{t, t};
  ::utime(p.c_str(), &u);
}
time_t MTime(const fs::path& p) {
  struct stat st {};
  ::stat(p.c_str(), &st);
  return st.st_mtime;
}

// Even seconds: the packed file date keeps two-second steps.
constexpr time_t kTimeA = 1700000000;
constexpr time_t kTimeB = 1600000002;

TEST_F(YmodemTest, ReceivesABatchFromSbWithNamesLengthsAndTimes) {
  Relay relay;
  Driver drv(91, relay.nearEnd.path());
  const std::string a = RandomData(50 * 1024 + 17, 21), b = RandomData(1000, 22);
  WriteFile(dir / "far" / "alpha.bin", a);
  WriteFile(dir / "far" / "Beta.Txt", b);
  SetTime(dir / "far" / "alpha.bin", kTimeA);
  SetTime(dir / "far" / "Beta.Txt", kTimeB);
  Peer peer(relay, dir / "far", {"sb", "-q", "alpha.bin", "Beta.Txt"});
  drv.InitYmodem(false);
  apSetDestinationDirectory(*drv.P, (dir / "near").c_str());
  drv.StartReceive();
  ASSERT_TRUE(drv.WaitFinish(20000)) << peer.Log();
  EXPECT_EQ(0, drv.finishCode);
  EXPECT_EQ(0, peer.Wait(5000)) << peer.Log();
  // Upper-cased names in the destination, lengths cut back from the last block's padding.
  EXPECT_EQ(a, ReadFile(dir / "near" / "ALPHA.BIN"));
  EXPECT_EQ(b, ReadFile(dir / "near" / "BETA.TXT"));
  EXPECT_EQ(kTimeA, MTime(dir / "near" / "ALPHA.BIN"));
  EXPECT_EQ(kTimeB, MTime(dir / "near" / "BETA.TXT"));
  EXPECT_EQ((std::vector<unsigned>{lfReceiveStart, lfReceiveOk, lfReceiveStart, lfReceiveOk}), drv.logCodes);
  EXPECT_EQ(1, drv.firstStatus);
  EXPECT_EQ(1, drv.lastStatus);
}

TEST_F(YmodemTest, SendsABatchToRbWithLowerCaseNamesAndTimes) {
  Relay relay;
  Driver drv(92, relay.nearEnd.path());
  const std::string a = RandomData(70 * 1024 + 5, 31), b = RandomData(128, 32), c;
  WriteFile(dir / "near" / "ONE.DAT", a);
  WriteFile(dir / "near" / "two.dat", b);
  WriteFile(dir / "near" / "empty.dat", c);
  SetTime(dir / "near" / "ONE.DAT", kTimeA);
  SetTime(dir / "near" / "two.dat", kTimeB);
  drv.InitYmodem(false);
  drv.sendList = {(dir / "near" / "ONE.DAT").string(), (dir / "near" / "two.dat").string(),
                  (dir / "near" / "empty.dat").string()};
  drv.StartTransmit();
  Peer peer(relay, dir / "far", {"rb", "-q"});
  ASSERT_TRUE(drv.WaitFinish(20000)) << peer.Log();
  EXPECT_EQ(0, drv.finishCode);
  EXPECT_EQ(0, peer.Wait(5000)) << peer.Log();
  EXPECT_EQ(a, ReadFile(dir / "far" / "one.dat"));
  EXPECT_EQ(b, ReadFile(dir / "far" / "two.dat"));
  EXPECT_TRUE(fs::exists(dir / "far" / "empty.dat"));
  EXPECT_EQ(0u, fs::file_size(dir / "far" / "empty.dat"));
  EXPECT_EQ(kTimeA, MTime(dir / "far" / "one.dat"));
  EXPECT_EQ(kTimeB, MTime(dir / "far" / "two.dat"));
  EXPECT_EQ(ptYmodem, drv.P->ProtocolType);
}

TEST_F(YmodemTest, ReceivesYmodemGFromSb) {
  Relay relay;
  Driver drv(93, relay.nearEnd.path());
  const std::string a = RandomData(90 * 1024 + 999, 41);
  WriteFile(dir / "far" / "g.bin", a);
  Peer peer(relay, dir / "far", {"sb", "-q", "g.bin"});
  drv.InitYmodem(true);
  EXPECT_EQ(ptYmodemG, drv.P->ProtocolType);
  drv.P->UpcaseFileNames = false;
  apSetDestinationDirectory(*drv.P, (dir / "near").c_str());
  drv.StartReceive();
  ASSERT_TRUE(drv.WaitFinish(20000)) << peer.Log();
  EXPECT_EQ(0, drv.finishCode);
  EXPECT_EQ(0, peer.Wait(5000)) << peer.Log();
  EXPECT_EQ(a, ReadFile(dir / "near" / "g.bin"));
}

TEST_F(YmodemTest, YmodemGBetweenTwoEngines) {
  Relay relay(false);
  Driver tx(94, relay.nearEnd.path());
  Driver rx(95, relay.farEnd.path());
  const std::string a = RandomData(120 * 1024 + 3, 51), b = RandomData(2048, 52);
  WriteFile(dir / "near" / "x1", a);
  WriteFile(dir / "near" / "x2", b);
  rx.InitYmodem(true);
  rx.P->UpcaseFileNames = false;
  apSetDestinationDirectory(*rx.P, (dir / "far").c_str());
  tx.InitYmodem(true);
  tx.sendList = {(dir / "near" / "x1").string(), (dir / "near" / "x2").string()};
  // The sender first: its start flushes what came in before, the receiver's first "C" too.
  tx.StartTransmit();
  rx.StartReceive();
  ASSERT_TRUE(PumpUntil([&] { return tx.finished && rx.finished; }, 20000));
  EXPECT_EQ(0, tx.finishCode);
  EXPECT_EQ(0, rx.finishCode);
  EXPECT_EQ(a, ReadFile(dir / "far" / "x1"));
  EXPECT_EQ(b, ReadFile(dir / "far" / "x2"));
}

// The sender stops in the middle of the first file of a batch: the run ends with too many
// errors, the file is logged as failed and the batch ends there.
TEST_F(YmodemTest, SenderThatStopsFailsTheBatch) {
  Relay relay;
  Driver drv(96, relay.nearEnd.path());
  WriteFile(dir / "far" / "big.bin", RandomData(600 * 1024, 61));
  WriteFile(dir / "far" / "next.bin", "next");
  Peer peer(relay, dir / "far", {"sb", "-q", "big.bin", "next.bin"});
  drv.InitYmodem(false);
  drv.P->BlockWait = 4;
  drv.P->HandshakeWait = 4;
  apSetDestinationDirectory(*drv.P, (dir / "near").c_str());
  drv.StartReceive();
  ASSERT_TRUE(PumpUntil([&] { return xfer::Transferred(*drv.P) > 16384; }, 10000));
  relay.toNear.cut = true;
  peer.Kill();
  ASSERT_TRUE(drv.WaitFinish(20000));
  EXPECT_EQ(ecTooManyErrors, drv.finishCode);
  EXPECT_EQ((std::vector<unsigned>{lfReceiveStart, lfReceiveFail}), drv.logCodes);
  EXPECT_FALSE(fs::exists(dir / "near" / "NEXT.BIN"));
}

// A receiver that goes away after the header: the sender gives up and sends its cancel.
TEST_F(YmodemTest, ReceiverThatStopsFailsTheSender) {
  Relay relay;
  Driver drv(97, relay.nearEnd.path());
  WriteFile(dir / "near" / "s.bin", RandomData(300 * 1024, 71));
  drv.InitYmodem(false);
  drv.P->BlockWait = 4;
  drv.P->TransmitTimeout = 20;
  drv.sendList = {(dir / "near" / "s.bin").string()};
  drv.StartTransmit();
  Peer peer(relay, dir / "far", {"rb", "-q"});
  // Gone once it has taken the first block (see the XModem test of a silent receiver).
  ASSERT_TRUE(PumpUntil([&] { return xfer::Transferred(*drv.P) > 0; }, 10000));
  peer.Kill();
  relay.toNear.cut = true;
  ASSERT_TRUE(drv.WaitFinish(20000));
  ASSERT_EQ(ecTimeout, drv.finishCode);
  ASSERT_FALSE(drv.logCodes.empty());
  EXPECT_EQ(lfTransmitFail, drv.logCodes.back());
}

// A noisy line under a YModem batch: dropped and flipped bytes are recovered.
TEST_F(YmodemTest, BatchSurvivesANoisyLine) {
  Relay relay;
  Driver drv(98, relay.nearEnd.path());
  const std::string a = RandomData(20 * 1024 + 300, 81);
  WriteFile(dir / "far" / "n.bin", a);
  relay.toNear.skipFirst = 3000;
  relay.toNear.dropEvery = 5003;
  relay.toNear.flipEvery = 7001;
  Peer peer(relay, dir / "far", {"sb", "-q", "n.bin"});
  drv.InitYmodem(false);
  drv.P->BlockWait = 5;
  apSetDestinationDirectory(*drv.P, (dir / "near").c_str());
  drv.StartReceive();
  ASSERT_TRUE(drv.WaitFinish(60000)) << peer.Log();
  EXPECT_EQ(0, drv.finishCode);
  EXPECT_GT(relay.toNear.dropped + relay.toNear.flipped, 1u);
  EXPECT_GT(drv.P->TotalErrors, 0);
  EXPECT_EQ(a, ReadFile(dir / "near" / "N.BIN"));
  peer.Wait(5000);
}

}  // namespace

namespace {

// A sender whose data end before the length its header announced: the receiver does not
// take the short file for a complete one.
bool ShortRead(TProtocolData& P, std::uint8_t* block, std::uint32_t& size) {
  if (P.FileOffset >= 2048) {
    size = 0;
    return true;
  }
  aapReadProtocolBlock(P, block, size);
  return P.FileOffset + static_cast<std::int32_t>(size) >= 2048;
}

TEST_F(YmodemTest, FileShorterThanItsHeaderIsNotComplete) {
  Relay relay(false);
  Driver tx(106, relay.nearEnd.path());
  Driver rx(107, relay.farEnd.path());
  WriteFile(dir / "near" / "s1", RandomData(10000, 5));
  rx.InitYmodem(false);
  rx.P->UpcaseFileNames = false;
  apSetDestinationDirectory(*rx.P, (dir / "far").c_str());
  tx.InitYmodem(false);
  tx.P->ReadBlock = ShortRead;
  tx.sendList = {(dir / "near" / "s1").string()};
  // The sender first: its start flushes what came in before, the receiver's first "C" too.
  tx.StartTransmit();
  rx.StartReceive();
  ASSERT_TRUE(PumpUntil([&] { return tx.finished && rx.finished; }, 10000));
  EXPECT_EQ(ecProtocolError, rx.finishCode);
  EXPECT_EQ((std::vector<unsigned>{lfReceiveStart, lfReceiveFail}), rx.logCodes);
  EXPECT_EQ(ecCancelRequested, tx.finishCode);  // the receiver's cancel ends the batch
}

}  // namespace

namespace {

// The dispatch log names every engine state by its own label: YModem's states as "ty.." and
// "ry..", those of the XModem machine it runs as "tx.." and "rx..".
TEST_F(YmodemTest, DispatchLogLabelsTheStatesOfBothMachines) {
  Relay relay;
  const fs::path logName = dir / "SIO.LOG";
  std::set<std::string> labels;
  {
    Driver drv(108, relay.nearEnd.path());
    drv.port.SetLogName(logName.string());
    drv.port.SetLogSize(1000000);
    drv.port.SetLogging(tlOn);
    WriteFile(dir / "far" / "l.bin", RandomData(3000, 1));
    Peer peer(relay, dir / "far", {"sb", "-q", "l.bin"});
    drv.InitYmodem(false);
    apSetDestinationDirectory(*drv.P, (dir / "near").c_str());
    drv.StartReceive();
    ASSERT_TRUE(drv.WaitFinish(20000));
    EXPECT_EQ(0, drv.finishCode);
    drv.port.SetLogging(tlDump);
  }
  std::istringstream in(ReadFile(logName));
  std::string line;
  int engineLines = 0;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string time, type, sub;
    words >> time >> type >> sub;
    if (type != "XModem" && type != "YModem") continue;
    ++engineLines;
    labels.insert(sub);
    const std::string prefix = sub.substr(0, 2);
    if (type == "XModem") {
      EXPECT_TRUE(prefix == "rx" || prefix == "tx") << line;
    } else {
      EXPECT_TRUE(prefix == "ry" || sub == "Status") << line;
    }
  }
  EXPECT_GT(engineLines, 10);
  for (const char* want : {"ryInitial", "ryDelay", "ryProcessBlock", "ryReceiveXmodem", "rxInitial",
                           "rxCollectBlock", "rxFinished"})
    EXPECT_EQ(1u, labels.count(want)) << want;
}

}  // namespace

namespace {

// The end-of-batch block is lost on its way to rb: rb asks again with "C" and we send it
// again, so that both sides end the batch. Without the answer the sender must not report
// success.
TEST_F(YmodemTest, LostEndOfBatchBlockIsSentAgain) {
  Relay relay;
  Driver drv(109, relay.nearEnd.path());
  const std::string a = RandomData(5000, 91);
  WriteFile(dir / "near" / "e.bin", a);
  drv.InitYmodem(false);
  drv.P->BlockWait = 18;
  drv.sendList = {(dir / "near" / "e.bin").string()};
  std::uint64_t cutAt = 0;
  drv.onLog = [&](unsigned code) {
    if (code != lfTransmitOk) return;
    cutAt = relay.toFar.passed;
    relay.toFar.cut = true;  // what goes out next, the end-of-batch block, is lost
  };
  drv.StartTransmit();
  Peer peer(relay, dir / "far", {"rb", "-q", "-t", "20"});
  ASSERT_TRUE(PumpUntil([&] { return cutAt != 0 && relay.toFar.passed >= cutAt + 133; }, 15000));
  relay.toFar.cut = false;
  ASSERT_TRUE(drv.WaitFinish(20000));
  EXPECT_EQ(0, drv.finishCode);
  EXPECT_EQ(0, peer.Wait(15000)) << peer.Log();
  EXPECT_EQ(a, ReadFile(dir / "far" / "e.bin"));
  EXPECT_GE(relay.toFar.passed.load(), cutAt + 2 * 133);
}

// A receiver that never answers the end of the batch: the sender gives up with an error
// instead of reporting a finished batch.
TEST_F(YmodemTest, UnansweredEndOfBatchIsAnError) {
  Relay relay;
  Driver drv(110, relay.nearEnd.path());
  WriteFile(dir / "near" / "u.bin", RandomData(3000, 92));
  drv.InitYmodem(false);
  drv.P->BlockWait = 4;
  drv.sendList = {(dir / "near" / "u.bin").string()};
  drv.onLog = [&](unsigned code) {
    if (code == lfTransmitOk) relay.toFar.cut = true;
  };
  drv.StartTransmit();
  Peer peer(relay, dir / "far", {"rb", "-q", "-t", "10"});
  ASSERT_TRUE(drv.WaitFinish(20000));
  EXPECT_EQ(ecTooManyErrors, drv.finishCode);
  peer.Kill();
}

}  // namespace
