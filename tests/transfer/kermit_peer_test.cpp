// Kermit against C-Kermit on a pseudo-terminal line, both ways: byte transparency, repeat and
// 8th-bit prefixing, the three block checks, long packets and sliding windows, a faulty line,
// and the endings that must leave the disk as it should be.
#include "kermit_harness.h"

using namespace kermit;
namespace fs = std::filesystem;

namespace {

std::string Diff(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  char buf[160];
  std::snprintf(buf, sizeof buf, "sizes %zu/%zu, first difference at %zu: %02x/%02x", a.size(), b.size(), i,
                i < a.size() ? static_cast<unsigned char>(a[i]) : 0u,
                i < b.size() ? static_cast<unsigned char>(b[i]) : 0u);
  std::string r = buf;
  for (std::size_t k = i; k < i + 24 && k < b.size(); ++k) {
    std::snprintf(buf, 8, " %02x", (unsigned char)b[k]);
    r += buf;
  }
  r += " /";
  for (std::size_t k = i; k < i + 24 && k < a.size(); ++k) {
    std::snprintf(buf, 8, " %02x", (unsigned char)a[k]);
    r += buf;
  }
  return r;
}

struct PeerSetup {
  const char* name;
  char check;                // our block check
  std::uint32_t longLen;     // our long-packet length (0: none)
  std::uint32_t windows;     // our window slots (0: none)
  const char* peerCommands;  // C-Kermit's settings
};

class KermitPeer : public ::testing::TestWithParam<PeerSetup> {
 protected:
  support::TempDir nearDir{"kermit_near"}, farDir{"kermit_far"};
  void Configure(Driver& drv) {
    const PeerSetup& s = GetParam();
    if (s.longLen || s.windows) drv.Long(s.longLen, s.windows);
    ASSERT_EQ(0, kpSetKermitCheck(*drv.P, s.check == '3'   ? bcmCrcK
                                          : s.check == '2' ? bcmChecksum2
                                                           : bcmChecksum));
    drv.P->UpcaseFileNames = false;
  }
};

const PeerSetup kSetups[] = {
    {"Check1", '1', 0, 0, ""},
    {"Check2", '2', 0, 0, "set block-check 2"},
    {"Crc", '3', 0, 0, "set block-check 3"},
    {"Long1024Windows8", '3', 1024, 8, "set block-check 3,set receive packet-length 1025,set window 8"},
};

// C-Kermit sends a batch: every byte value, runs, random data and an empty file.
TEST_P(KermitPeer, ReceivesFromCKermit) {
  Relay relay(false);
  Driver drv(120, relay.nearEnd.path());
  Configure(drv);
  const std::string a = MixedData(200000, 7), b;
  farDir.Write("mixed.bin", a);
  farDir.Write("empty.bin", b);
  apSetDestinationDirectory(*drv.P, nearDir.str().c_str());
  drv.StartReceive();
  CKermit peer(relay.farEnd.path(), farDir.str(), GetParam().peerCommands, {"-s", "mixed.bin", "empty.bin"});
  ASSERT_TRUE(drv.WaitFinish(60000));
  EXPECT_EQ(0, drv.finishCode);
  EXPECT_EQ(0, peer.Wait(10000));
  // C-Kermit sends its names in upper case.
  EXPECT_TRUE(a == nearDir.Read("MIXED.BIN")) << Diff(a, nearDir.Read("MIXED.BIN"));
  ASSERT_TRUE(fs::exists(nearDir / "EMPTY.BIN"));
  EXPECT_EQ(0u, fs::file_size(nearDir / "EMPTY.BIN"));
  EXPECT_EQ((std::vector<unsigned>{lfReceiveStart, lfReceiveOk, lfReceiveStart, lfReceiveOk}), drv.logCodes);
  EXPECT_EQ(1, drv.firstStatus);
  EXPECT_EQ(1, drv.lastStatus);
  if (GetParam().longLen) {
    EXPECT_EQ(8u, kpTail(*drv.P)->TableSize);
  }
}

// We send the same batch to C-Kermit.
TEST_P(KermitPeer, SendsToCKermit) {
  Relay relay(false);
  Driver drv(121, relay.nearEnd.path());
  Configure(drv);
  const std::string a = MixedData(200000, 8), b;
  nearDir.Write("mixed.bin", a);
  nearDir.Write("empty.bin", b);
  drv.sendList = {nearDir / "mixed.bin", nearDir / "empty.bin"};
  CKermit peer(relay.farEnd.path(), farDir.str(), GetParam().peerCommands, {"-r"});
  drv.StartTransmit();
  ASSERT_TRUE(drv.WaitFinish(60000));
  EXPECT_EQ(0, drv.finishCode);
  EXPECT_EQ(0, peer.Wait(10000));
  EXPECT_TRUE(a == farDir.Read("mixed.bin")) << Diff(a, farDir.Read("mixed.bin"));
  ASSERT_TRUE(fs::exists(farDir / "empty.bin"));
  EXPECT_EQ(0u, fs::file_size(farDir / "empty.bin"));
  EXPECT_EQ((std::vector<unsigned>{lfTransmitStart, lfTransmitOk, lfTransmitStart, lfTransmitOk}),
            drv.logCodes);
  if (GetParam().longLen) {
    bool inUse = false;
    std::uint32_t len = 0;
    kpGetLPStatus(*drv.P, inUse, len);
    EXPECT_TRUE(inUse);
    EXPECT_EQ(1024u, len);
    EXPECT_EQ(8u, kpTail(*drv.P)->TableSize);
  }
}

// Long packets and windows over a line that drops and garbles bytes both ways.
class KermitFaultyLine : public ::testing::TestWithParam<bool> {
 protected:
  support::TempDir nearDir{"kermit_near"}, farDir{"kermit_far"};
};

TEST_P(KermitFaultyLine, FileArrivesWhole) {
  const bool weSend = GetParam();
  Relay relay(false);
  Driver drv(weSend ? 122 : 123, relay.nearEnd.path());
  drv.Long(1024, 8);
  drv.Quick(18, 1);
  kpSetKermitCheck(*drv.P, bcmCrcK);
  drv.P->UpcaseFileNames = false;
  apSetHandshakeWait(*drv.P, 0, 20);
  for (xfer::Faults* f : {&relay.toNear, &relay.toFar}) {
    f->skipFirst = 400;
    f->dropEvery = 2999;
    f->flipEvery = 2301;
  }
  const std::string a = xfer::RandomData(60000, 11);
  const char* settings = "set block-check 3,set receive packet-length 1025,set window 8,set retry 30";
  if (weSend) {
    nearDir.Write("noisy.bin", a);
    drv.sendList = {nearDir / "noisy.bin"};
    CKermit peer(relay.farEnd.path(), farDir.str(), settings, {"-r"});
    drv.StartTransmit();
    ASSERT_TRUE(drv.WaitFinish(90000));
    EXPECT_EQ(0, drv.finishCode);
    EXPECT_EQ(0, peer.Wait(10000));
    EXPECT_TRUE(a == farDir.Read("noisy.bin")) << Diff(a, farDir.Read("noisy.bin"));
  } else {
    farDir.Write("noisy.bin", a);
    apSetDestinationDirectory(*drv.P, nearDir.str().c_str());
    drv.StartReceive();
    CKermit peer(relay.farEnd.path(), farDir.str(), settings, {"-s", "noisy.bin"});
    ASSERT_TRUE(drv.WaitFinish(90000));
    EXPECT_EQ(0, drv.finishCode);
    EXPECT_EQ(0, peer.Wait(10000));
    EXPECT_TRUE(a == nearDir.Read("NOISY.BIN")) << Diff(a, nearDir.Read("NOISY.BIN"));
  }
  EXPECT_GT(relay.toNear.dropped + relay.toFar.dropped + relay.toNear.flipped + relay.toFar.flipped, 10u);
  EXPECT_GT(drv.P->TotalErrors, 0);
}

INSTANTIATE_TEST_SUITE_P(Kermit, KermitFaultyLine, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "WeSend" : "WeReceive"; });

// C-Kermit stops in the middle of a file: our receive fails with the file logged as failed
// (the component deletes such a file), and a cancel of ours ends a run at once.
class KermitEndings : public ::testing::Test {
 protected:
  support::TempDir nearDir{"kermit_near"}, farDir{"kermit_far"};
};

TEST_F(KermitEndings, PeerGoneMidFileFailsTheFile) {
  Relay relay(false);
  Driver drv(124, relay.nearEnd.path());
  drv.Quick(9, 1);
  apSetHandshakeWait(*drv.P, 0, 4);
  relay.toNear.bytesPerSec = 20000;
  farDir.Write("cut.bin", xfer::RandomData(300000, 12));
  apSetDestinationDirectory(*drv.P, nearDir.str().c_str());
  bool killed = false;
  std::unique_ptr<CKermit> peer;
  drv.onStatus = [&] {
    if (!killed && drv.P->BytesTransferred > 20000) {
      killed = true;
      peer->Kill();
    }
  };
  drv.StartReceive();
  peer = std::make_unique<CKermit>(relay.farEnd.path(), farDir.str(), "",
                                   std::vector<std::string>{"-s", "cut.bin"});
  ASSERT_TRUE(drv.WaitFinish(30000));
  EXPECT_TRUE(killed);
  EXPECT_NE(0, drv.finishCode);
  EXPECT_EQ((std::vector<unsigned>{lfReceiveStart, lfReceiveFail}), drv.logCodes);
  ASSERT_EQ(2u, drv.logNames.size());
  EXPECT_EQ(nearDir / "CUT.BIN", drv.logNames[1]);
}

TEST_F(KermitEndings, CancelledSendEndsAtOnce) {
  Relay relay(false);
  Driver drv(125, relay.nearEnd.path());
  relay.toFar.bytesPerSec = 20000;
  nearDir.Write("big.bin", xfer::RandomData(400000, 13));
  drv.sendList = {nearDir / "big.bin"};
  CKermit peer(relay.farEnd.path(), farDir.str(), "", {"-r"});
  drv.StartTransmit();
  // Cancelled from this thread, as a form does, not from inside a notice.
  const bool cancelled = PumpUntil([&] { return xfer::Transferred(*drv.P) > 20000 || drv.finished; }, 30000);
  drv.Cancel();
  ASSERT_TRUE(drv.WaitFinish(30000));
  EXPECT_TRUE(cancelled);
  EXPECT_EQ(ecCancelRequested, drv.finishCode);
  EXPECT_EQ((std::vector<unsigned>{lfTransmitStart, lfTransmitFail}), drv.logCodes);
  // C-Kermit was told that the file ends incomplete.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LT(farDir.Read("big.bin").size(), 400000u);
  peer.Kill();
}

INSTANTIATE_TEST_SUITE_P(Kermit, KermitPeer, ::testing::ValuesIn(kSetups),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
