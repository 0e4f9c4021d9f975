// XModem against lrzsz's sx and rx, and against itself, through a relay of two ptys.
#include "xfer_harness.h"

using namespace xfer;

namespace {

class XmodemTest : public XferTest {};

struct SendCase {
  const char* name;
  bool crc, oneK;
  const char* rxFlag;  // rx option for the check method
};

TEST_F(XmodemTest, SendsToRxInEveryVariantByteIdentical) {
  const SendCase cases[] = {
      {"checksum", false, false, nullptr}, {"crc", true, false, "-c"}, {"1k", true, true, "-c"}};
  int com = 71;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Relay relay;
    Driver drv(com++, relay.nearEnd.path());
    const std::string data = RandomData(40 * 1024, 7);  // a multiple of 1024: nothing padded
    WriteFile(dir / "near" / "out.bin", data);
    std::vector<std::string> args = {"rx", "-q"};
    if (c.rxFlag) args.push_back(c.rxFlag);
    args.push_back(std::string("got_") + c.name);
    drv.InitXmodem(c.crc, c.oneK, false);
    drv.sendList = {(dir / "near" / "out.bin").string()};
    drv.StartTransmit();  // first: the start flushes what came in before
    Peer peer(relay, dir / "far", args);
    ASSERT_TRUE(drv.WaitFinish(20000))
        << "state " << int(drv.P->XmodemState) << " bytes " << drv.P->BytesTransferred << " err "
        << drv.P->ProtocolError << " st " << drv.P->ProtocolStatus << " toFar " << relay.toFar.passed
        << " toNear " << relay.toNear.passed << " peer " << peer.Log() << " inbuf "
        << drv.port.Dispatcher()->InBuffUsed() << " exit " << peer.Wait(10);
    EXPECT_EQ(0, drv.finishCode);
    EXPECT_EQ(0, peer.Wait(5000)) << peer.Log();
    EXPECT_EQ(data, ReadFile(dir / "far" / (std::string("got_") + c.name)));
    EXPECT_EQ(psEndFile, drv.P->ProtocolStatus);
    EXPECT_EQ((std::vector<unsigned>{lfTransmitStart, lfTransmitOk}), drv.logCodes);
    EXPECT_EQ(1, drv.firstStatus);
    EXPECT_EQ(1, drv.lastStatus);
    EXPECT_EQ(c.oneK ? ptXmodem1K : c.crc ? ptXmodemCRC : ptXmodem, drv.P->ProtocolType);
  }
}

TEST_F(XmodemTest, ReceivesFromSxWithSumCrcAnd1K) {
  struct Case {
    const char* name;
    bool crc;
    bool oneK;
  } cases[] = {{"sum", false, false}, {"crc", true, false}, {"onek", true, true}};
  int com = 74;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Relay relay;
    Driver drv(com++, relay.nearEnd.path());
    const std::string data = RandomData(30 * 1024 + 130, 11);
    WriteFile(dir / "far" / "src.bin", data);
    std::vector<std::string> args = {"sx", "-q"};
    if (c.oneK) args.push_back("-k");
    args.push_back("src.bin");
    Peer peer(relay, dir / "far", args);
    drv.InitXmodem(c.crc, false, false);
    drv.P->UpcaseFileNames = false;
    const std::string target = (dir / "near" / (std::string("in_") + c.name)).string();
    apSetReceiveFilename(*drv.P, target.c_str());
    drv.StartReceive();
    ASSERT_TRUE(drv.WaitFinish(20000));
    EXPECT_EQ(0, drv.finishCode);
    EXPECT_EQ(0, peer.Wait(5000)) << peer.Log();
    // XModem pads the last block with 0x1A: the data come first, the padding behind.
    std::string got = ReadFile(target);
    ASSERT_GE(got.size(), data.size());
    EXPECT_EQ(data, got.substr(0, data.size()));
    EXPECT_EQ(std::string(got.size() - data.size(), '\x1A'), got.substr(data.size()));
    EXPECT_EQ((std::vector<unsigned>{lfReceiveStart, lfReceiveOk}), drv.logCodes);
    EXPECT_EQ(c.crc ? bcmCrc16 : bcmChecksum, drv.P->CheckType);
  }
}

// Our sender and our receiver on the two ends of the relay: 1K-G streams without replies.
TEST_F(XmodemTest, OneKGBetweenTwoEngines) {
  Relay relay(false);
  Driver tx(81, relay.nearEnd.path());
  Driver rx(82, relay.farEnd.path());
  const std::string data = RandomData(64 * 1024, 3);
  WriteFile(dir / "near" / "g.bin", data);
  rx.InitXmodem(true, true, true);
  rx.P->UpcaseFileNames = false;
  const std::string target = (dir / "far" / "g.out").string();
  apSetReceiveFilename(*rx.P, target.c_str());
  tx.InitXmodem(true, true, true);
  tx.sendList = {(dir / "near" / "g.bin").string()};
  EXPECT_EQ(ptXmodem1KG, tx.P->ProtocolType);
  // The sender first: its start flushes what came in before, the receiver's first "C" too.
  tx.StartTransmit();
  rx.StartReceive();
  ASSERT_TRUE(PumpUntil([&] { return tx.finished && rx.finished; }, 20000));
  EXPECT_EQ(0, tx.finishCode);
  EXPECT_EQ(0, rx.finishCode);
  EXPECT_EQ(data, ReadFile(target));
}

// Bytes dropped and flipped on the line in both directions: blocks are asked for again and
// the file arrives whole.
TEST_F(XmodemTest, RecoversFromANoisyLine) {
  Relay relay;
  Driver drv(83, relay.nearEnd.path());
  const std::string data = RandomData(24 * 1024, 5);
  WriteFile(dir / "far" / "noisy.bin", data);
  relay.toNear.skipFirst = 2000;
  relay.toNear.dropEvery = 3001;
  relay.toNear.flipEvery = 4999;
  // Some of our ACKs arrive as NAKs: the sender repeats blocks we already have. (A NAK turned
  // into an ACK would make it skip one, which no XModem receiver can notice.)
  relay.toFar.flipMask = 0x06 ^ 0x15;
  relay.toFar.flipOnly = 0x06;
  relay.toFar.flipEvery = 37;
  Peer peer(relay, dir / "far", {"sx", "-q", "noisy.bin"});
  drv.InitXmodem(true, false, false);
  drv.P->UpcaseFileNames = false;
  drv.P->BlockWait = 5;
  const std::string target = (dir / "near" / "noisy.out").string();
  apSetReceiveFilename(*drv.P, target.c_str());
  drv.StartReceive();
  ASSERT_TRUE(drv.WaitFinish(60000));
  EXPECT_GT(relay.toNear.dropped + relay.toNear.flipped, 3u);
  EXPECT_EQ(0, drv.finishCode);
  EXPECT_GT(drv.P->TotalErrors, 0);
  std::string got = ReadFile(target);
  ASSERT_GE(got.size(), data.size());
  EXPECT_EQ(data, got.substr(0, data.size()));
  peer.Wait(5000);
}

// The sender goes away in the middle: the receiver gives up with too many errors and the
// partial file is logged as failed, never as received.
TEST_F(XmodemTest, PeerThatStopsEndsWithTooManyErrors) {
  Relay relay;
  Driver drv(84, relay.nearEnd.path());
  WriteFile(dir / "far" / "big.bin", RandomData(400 * 1024, 9));
  Peer peer(relay, dir / "far", {"sx", "-q", "big.bin"});
  drv.InitXmodem(true, false, false);
  drv.P->UpcaseFileNames = false;
  drv.P->BlockWait = 4;
  drv.P->HandshakeWait = 4;
  const std::string target = (dir / "near" / "cut.out").string();
  apSetReceiveFilename(*drv.P, target.c_str());
  drv.StartReceive();
  ASSERT_TRUE(PumpUntil([&] { return xfer::Transferred(*drv.P) > 8192; }, 10000));
  relay.toNear.cut = true;
  peer.Kill();
  ASSERT_TRUE(drv.WaitFinish(20000));
  EXPECT_EQ(ecTooManyErrors, drv.finishCode);
  ASSERT_FALSE(drv.logCodes.empty());
  EXPECT_EQ(lfReceiveFail, drv.logCodes.back());
}

// A receiver that stops answering: the sender resends on time-outs until its transmit
// time-out has passed, then ends with the fatal time-out.
TEST_F(XmodemTest, SilentReceiverEndsSenderWithTimeout) {
  Relay relay;
  Driver drv(85, relay.nearEnd.path());
  WriteFile(dir / "near" / "x.bin", RandomData(200 * 1024, 1));
  drv.InitXmodem(true, false, false);
  drv.P->BlockWait = 4;
  drv.P->TransmitTimeout = 20;
  drv.sendList = {(dir / "near" / "x.bin").string()};
  drv.StartTransmit();
  Peer peer(relay, dir / "far", {"rx", "-q", "-c", "x.out"});
  // Silent once it has taken the first block. With a block wait of a fifth of a second, a
  // loaded machine has blocks sent again whose late acknowledgements the sender then takes for
  // the next ones, and rx may cancel before many more have gone.
  ASSERT_TRUE(PumpUntil([&] { return xfer::Transferred(*drv.P) > 0; }, 10000));
  peer.Kill();
  relay.toNear.cut = true;
  ASSERT_TRUE(drv.WaitFinish(20000));
  ASSERT_EQ(ecTimeout, drv.finishCode);
  ASSERT_FALSE(drv.logCodes.empty());
  EXPECT_EQ(lfTransmitFail, drv.logCodes.back());
}

TEST_F(XmodemTest, CancelSendsCanAndEndsWithCancelRequested) {
  Relay relay;
  Driver drv(86, relay.nearEnd.path());
  WriteFile(dir / "far" / "c.bin", RandomData(300 * 1024, 2));
  Peer peer(relay, dir / "far", {"sx", "-q", "c.bin"});
  drv.InitXmodem(true, false, false);
  drv.P->UpcaseFileNames = false;
  const std::string target = (dir / "near" / "c.out").string();
  apSetReceiveFilename(*drv.P, target.c_str());
  drv.StartReceive();
  ASSERT_TRUE(PumpUntil([&] { return xfer::Transferred(*drv.P) > 4096; }, 10000));
  drv.Cancel();
  ASSERT_TRUE(drv.WaitFinish(5000));
  ASSERT_EQ(ecCancelRequested, drv.finishCode);
  ASSERT_FALSE(drv.logCodes.empty());
  EXPECT_EQ(lfReceiveFail, drv.logCodes.back());
  EXPECT_NE(0, peer.Wait(10000));  // the sender saw the cancel
}

TEST_F(XmodemTest, RefusedFileIsSkippedWithFileRejected) {
  Relay relay;
  Driver drv(87, relay.nearEnd.path());
  WriteFile(dir / "far" / "r.bin", "data");
  Peer peer(relay, dir / "far", {"sx", "-q", "r.bin"});
  drv.InitXmodem(true, false, false);
  drv.refuse = true;
  const std::string target = (dir / "near" / "r.out").string();
  apSetReceiveFilename(*drv.P, target.c_str());
  drv.StartReceive();
  ASSERT_TRUE(drv.WaitFinish(5000));
  ASSERT_EQ(ecFileRejected, drv.finishCode);
  ASSERT_FALSE(drv.logCodes.empty());
  EXPECT_EQ(lfReceiveSkip, drv.logCodes.back());
  EXPECT_FALSE(fs::exists(target));
}

}  // namespace

namespace {

// Reads what our engine sent to the far pty for up to ms milliseconds.
std::string ReadFar(int fd, std::size_t atLeast, int ms) {
  std::string out;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (out.size() < atLeast && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10) <= 0) continue;
    char buf[4096];
    ssize_t r = ::read(fd, buf, sizeof buf);
    if (r > 0) out.append(buf, static_cast<std::size_t>(r));
  }
  return out;
}

TEST_F(XmodemTest, CrcReceiverFallsBackToChecksumAfterFourTimeouts) {
  Relay relay(false);
  Driver drv(88, relay.nearEnd.path());
  drv.InitXmodem(true, false, false);
  drv.P->HandshakeWait = 2;
  apSetReceiveFilename(*drv.P, (dir / "near" / "none").c_str());
  drv.StartReceive();
  std::string sent = ReadFar(relay.farEnd.slave(), 7, 5000);
  EXPECT_EQ(std::string("CCCC\x15\x15"), sent.substr(0, 6));
  ASSERT_TRUE(drv.WaitFinish(5000));
  EXPECT_EQ(ecTooManyErrors, drv.finishCode);
}

// A receiver that refuses the first 1K block six times: the sender goes on with 128-byte
// blocks and the file still ends where it ends.
TEST_F(XmodemTest, OneKSenderFallsBackTo128AfterTooManyErrors) {
  Relay relay(false);
  Driver drv(89, relay.nearEnd.path());
  const std::string data = RandomData(300, 4);
  WriteFile(dir / "near" / "f.bin", data);
  drv.InitXmodem(true, true, false);
  drv.sendList = {(dir / "near" / "f.bin").string()};
  drv.StartTransmit();
  const int fd = relay.farEnd.slave();
  auto put = [&](char c) { ASSERT_EQ(1, ::write(fd, &c, 1)); };
  put('C');
  for (int i = 0; i < 6; ++i) {
    std::string block = ReadFar(fd, 1029, 3000);
    ASSERT_EQ(1029u, block.size()) << i;
    EXPECT_EQ('\x02', block[0]);
    put('\x15');
  }
  std::string got;
  for (int n = 1; n <= 3; ++n) {
    std::string block = ReadFar(fd, 133, 3000);
    ASSERT_EQ(133u, block.size()) << n;
    EXPECT_EQ('\x01', block[0]);
    EXPECT_EQ(static_cast<char>(n), block[1]);
    got += block.substr(3, 128);
    put('\x06');
  }
  EXPECT_EQ(std::string(1, '\x04'), ReadFar(fd, 1, 3000));
  put('\x06');
  ASSERT_TRUE(drv.WaitFinish(5000));
  EXPECT_EQ(0, drv.finishCode);
  EXPECT_EQ(data, got.substr(0, 300));
  EXPECT_EQ(std::string(84, '\x1A'), got.substr(300));
}

// Our CRC sender and receiver: the receiver answers the first EOT with NAK, the second with
// ACK, and a 130-byte file arrives as two padded blocks.
TEST_F(XmodemTest, TwoEnginesWithEotConfirmation) {
  Relay relay(false);
  Driver tx(90, relay.nearEnd.path());
  Driver rx(99, relay.farEnd.path());
  const std::string data = RandomData(130, 8);
  WriteFile(dir / "near" / "e.bin", data);
  rx.InitXmodem(true, false, false);
  rx.P->UpcaseFileNames = false;
  const std::string target = (dir / "far" / "e.out").string();
  apSetReceiveFilename(*rx.P, target.c_str());
  tx.InitXmodem(true, false, false);
  tx.sendList = {(dir / "near" / "e.bin").string()};
  // The sender first: its start flushes what came in before, the receiver's first "C" too.
  tx.StartTransmit();
  rx.StartReceive();
  ASSERT_TRUE(PumpUntil([&] { return tx.finished && rx.finished; }, 10000));
  EXPECT_EQ(0, tx.finishCode);
  EXPECT_EQ(0, rx.finishCode);
  EXPECT_EQ(psEndFile, tx.P->ProtocolStatus);
  EXPECT_EQ(data + std::string(126, '\x1A'), ReadFile(target));
}

}  // namespace

namespace {

// Six garbled ACKs of block 1 from rx: the receiver holds the 1K block already, so the
// sender must not fall back to a 128-byte block under the same number (rx would take it for
// a repeat and the rest would land 896 bytes short). A run never reports success with a file
// that differs.
TEST_F(XmodemTest, GarbledAcksNeverCorruptA1KTransfer) {
  Relay relay;
  Driver drv(88, relay.nearEnd.path());
  const std::string data = RandomData(8 * 1024, 12);
  WriteFile(dir / "near" / "k.bin", data);
  relay.toNear.skipFirst = 1;  // rx's "C"
  relay.toNear.flipEvery = 1;
  relay.toNear.lastFault = 7;
  relay.toNear.flipMask = 0x40;  // ACK becomes "F"
  drv.InitXmodem(true, true, false);
  drv.P->BlockWait = 9;
  drv.sendList = {(dir / "near" / "k.bin").string()};
  drv.StartTransmit();
  Peer peer(relay, dir / "far", {"rx", "-q", "-c", "k.out"});
  ASSERT_TRUE(drv.WaitFinish(30000));
  EXPECT_EQ(6u, relay.toNear.flipped.load());
  const int peerExit = peer.Wait(15000);
  if (drv.finishCode == 0) {
    EXPECT_TRUE(data == ReadFile(dir / "far" / "k.out").substr(0, data.size()))
        << "reported OK, file differs";
  } else {
    ASSERT_EQ(ecTooManyErrors, drv.finishCode);
    ASSERT_FALSE(drv.logCodes.empty());
    EXPECT_EQ(lfTransmitFail, drv.logCodes.back());
    EXPECT_NE(0, peerExit);  // the receiver was cancelled, it does not keep a "good" file
  }
  EXPECT_EQ(1024u, drv.P->BlockLength);
}

// The record is freed by the handler of the engine's last status notice, or of its finish
// notice, while the engine's call is still under way: the engine ends its call on the live
// record, which is freed behind it (the sanitizer build checks it).
TEST_F(XmodemTest, RecordFreedByItsLastNotices) {
  for (bool onFinish : {false, true}) {
    SCOPED_TRACE(onFinish ? "finish" : "last status");
    Relay relay;
    Driver drv(89 + onFinish, relay.nearEnd.path());
    WriteFile(dir / "far" / "f.bin", RandomData(20 * 1024, 14));
    Peer peer(relay, dir / "far", {"sx", "-q", "f.bin"});
    drv.InitXmodem(true, false, false);
    drv.P->UpcaseFileNames = false;
    const std::string target = (dir / "near" / "f.out").string();
    apSetReceiveFilename(*drv.P, target.c_str());
    drv.freeOnLastStatus = !onFinish;
    drv.freeOnFinish = onFinish;
    drv.StartReceive();
    // A record freed before its finish posts no finish notice.
    ASSERT_TRUE(PumpUntil([&] { return drv.P == nullptr; }, 20000));
    EXPECT_EQ(onFinish, drv.finished);
    if (onFinish) {
      EXPECT_EQ(0, drv.finishCode);
    }
    EXPECT_EQ(0, peer.Wait(5000));
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(onFinish, drv.finished);
  }
}

// An existing file and its "$" name are both kept: the new data go under a name that did
// not exist.
TEST_F(XmodemTest, RenameNeverTouchesAnExistingFile) {
  Relay relay;
  Driver drv(79, relay.nearEnd.path());
  const std::string data = RandomData(1024, 15);
  WriteFile(dir / "far" / "r.bin", data);
  WriteFile(dir / "near" / "x.bin", "mine");
  WriteFile(dir / "near" / "$.bin", "mine too");
  Peer peer(relay, dir / "far", {"sx", "-q", "r.bin"});
  drv.InitXmodem(true, false, false);
  drv.P->UpcaseFileNames = false;
  drv.P->WriteFailAction = wfWriteRename;
  apSetReceiveFilename(*drv.P, (dir / "near" / "x.bin").c_str());
  drv.StartReceive();
  ASSERT_TRUE(drv.WaitFinish(20000));
  EXPECT_EQ(0, drv.finishCode);
  EXPECT_EQ("mine", ReadFile(dir / "near" / "x.bin"));
  EXPECT_EQ("mine too", ReadFile(dir / "near" / "$.bin"));
  EXPECT_EQ(data, ReadFile(dir / "near" / "$1.bin"));
  EXPECT_EQ((dir / "near" / "$1.bin").string(), drv.P->PathName);
}

}  // namespace
