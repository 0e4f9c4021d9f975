// Throughput of the engines against lrzsz, on a line paced at a given rate or unpaced.
// Not part of the regular run: --gtest_also_run_disabled_tests --gtest_filter='*Throughput*'.
#include <chrono>
#include <cstdio>

#include "xfer_harness.h"

using namespace xfer;

namespace {

class ThroughputTest : public XferTest {};

double Measure(const fs::path& dir, int com, const char* what, std::vector<std::string> peerArgs, bool send,
               bool ymodem, bool g, std::uint64_t lineBytesPerSec, std::size_t size) {
  Relay relay;
  relay.toNear.bytesPerSec = lineBytesPerSec;
  relay.toFar.bytesPerSec = lineBytesPerSec;
  Driver drv(com, relay.nearEnd.path());
  const std::string data = RandomData(size, 5);
  WriteFile((send ? dir / "near" : dir / "far") / "t.bin", data);
  if (ymodem)
    drv.InitYmodem(g);
  else
    drv.InitXmodem(true, true, g);
  drv.P->UpcaseFileNames = false;
  if (send) {
    drv.sendList = {(dir / "near" / "t.bin").string()};
  } else {
    apSetDestinationDirectory(*drv.P, (dir / "near").c_str());
    apSetReceiveFilename(*drv.P, "t.bin.in");
  }
  Peer peer(relay, dir / "far", peerArgs);
  auto t0 = std::chrono::steady_clock::now();
  if (send)
    drv.StartTransmit();
  else
    drv.StartReceive();
  EXPECT_TRUE(drv.WaitFinish(120000));
  auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(0, drv.finishCode) << what;
  double elapsed = drv.P->ElapsedTicks * 0.055;
  double rate = size / (elapsed > 0 ? elapsed : secs);
  std::printf("%-28s %8.0f B/s (run %.2f s, data %.2f s)", what, rate, secs, elapsed);
  if (lineBytesPerSec)
    std::printf("  efficiency %.0f%%", 100.0 * rate / static_cast<double>(lineBytesPerSec));
  std::printf("\n");
  peer.Wait(5000);
  fs::remove_all(dir / "near");
  fs::remove_all(dir / "far");
  fs::create_directories(dir / "near");
  fs::create_directories(dir / "far");
  return rate;
}

TEST_F(ThroughputTest, DISABLED_Throughput) {
  for (std::uint64_t line : {std::uint64_t{0}, std::uint64_t{11520}}) {
    std::size_t size = line ? 200 * 1024 : 2 * 1024 * 1024;
    std::printf("line %s\n", line ? "115200 baud" : "unpaced pty");
    Measure(dir, 101, "xmodem-1k send to rx", {"rx", "-q", "-c", "t.bin"}, true, false, false, line, size);
    Measure(dir, 102, "xmodem-1k receive from sx", {"sx", "-q", "-k", "t.bin"}, false, false, false, line,
            size);
    Measure(dir, 103, "ymodem send to rb", {"rb", "-q"}, true, true, false, line, size);
    Measure(dir, 104, "ymodem receive from sb", {"sb", "-q", "t.bin"}, false, true, false, line, size);
    Measure(dir, 105, "ymodem-g receive from sb", {"sb", "-q", "t.bin"}, false, true, true, line, size);
  }
}

}  // namespace
