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
  Driver drv(120, relay.nearEnd.path);
  Configure(drv);
  const std::string a = MixedData(200000, 7), b;
  farDir.Write("mixed.bin", a);
  farDir.Write("empty.bin", b);
  apSetDestinationDirectory(*drv.P, nearDir.str().c_str());
  drv.StartReceive();
  CKermit peer(relay.farEnd.path, farDir.str(), GetParam().peerCommands, {"-s", "mixed.bin", "empty.bin"});
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
  Driver drv(121, relay.nearEnd.path);
  Configure(drv);
  const std::string a = MixedData(200000, 8), b;
  nearDir.Write("mixed.bin", a);
  nearDir.Write("empty.bin", b);
  drv.sendList = {nearDir / "mixed.bin", nearDir / "empty.bin"};
  CKermit peer(relay.farEnd.path, farDir.str(), GetParam().peerCommands, {"-r"});
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

INSTANTIATE_TEST_SUITE_P(Kermit, KermitPeer, ::testing::ValuesIn(kSetups),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
