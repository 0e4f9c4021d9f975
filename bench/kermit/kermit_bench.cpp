// Our Kermit against C-Kermit: one file each way between our engine and C-Kermit, and the
// same file between two C-Kermits, on one relay of two pseudo-terminals, with the same packet
// length, window size and block check on every side. Prints the times and the ratios.
//
//   kermit_bench [megabytes] [packet length] [windows] [rounds] [ways: p, s and/or r]
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "platform/Messages.h"
#include "serial/SioPort.h"
#include "tests/support/Child.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"
#include "transfer/Swkermit.h"

namespace {

using Clock = std::chrono::steady_clock;

// Copies bytes between the masters of two pseudo-terminals, as fast as they go: one thread for
// each way, as the two wires of a line are independent of each other.
class Relay {
 public:
  support::PtyPair a, b;
  Relay() : ab_([this] { Run(a.master(), b.master()); }), ba_([this] { Run(b.master(), a.master()); }) {}
  ~Relay() {
    stop_ = true;
    ab_.join();
    ba_.join();
  }

 private:
  void Run(int from, int to) {
    char buf[8192];
    while (!stop_) {
      pollfd p{from, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      if (p.revents & (POLLHUP | POLLERR) && !(p.revents & POLLIN)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      const ssize_t r = ::read(from, buf, sizeof buf);
      for (ssize_t done = 0; r > 0 && done < r && !stop_;) {
        const ssize_t w = ::write(to, buf + done, static_cast<std::size_t>(r - done));
        if (w > 0) {
          done += w;
        } else {
          pollfd q{to, POLLOUT, 0};
          ::poll(&q, 1, 20);
        }
      }
    }
  }
  std::atomic<bool> stop_{false};
  std::thread ab_, ba_;
};

std::string gSettings;

// C-Kermit on a line, started in its directory with the shared settings.
std::unique_ptr<support::ChildProcess> CKermit(const std::string& line, const std::string& dir,
                                               const std::string& action) {
  support::WriteFile(dir + "/.kermit-settings", gSettings);
  std::string cmd = "cd '" + dir + "' && exec kermit '" + dir + "/.kermit-settings' -q -l '" + line +
                    "' -b 115200 -i " + action;
  return std::make_unique<support::ChildProcess>("sh", std::vector<std::string>{"-c", cmd}, true);
}

// Our side, answering the engine's notices.
struct Ours {
  TSioComPort port;
  TProtocolData* P = nullptr;
  HWND window = 0;
  std::string file;
  bool gave = false, finished = false;
  int code = 1;
  Ours(const std::string& device, std::uint32_t len, std::uint32_t windows) {
    ::setenv("SIO_COM140", device.c_str(), 1);
    port.SetComNumber(140);
    port.SetBaud(115200);
    port.SetInSize(32768);
    port.SetOutSize(16384);
    port.SetOpen(true);
    static bool registered = RegisterClass("swMsgHandlerKermitBench", [](HWND h, UINT m, WPARAM w, LPARAM l) {
      auto* self = static_cast<Ours*>(GetWindowUserData(h));
      if (!self) return DefWindowProc(h, m, w, l);
      switch (m) {
        case apw_ProtocolNextFile:
          if (self->gave) return LRESULT(0);
          self->gave = true;
          CopyToBufferZ(reinterpret_cast<char*>(l), apMaxPath, self->file);
          return LRESULT(1);
        case apw_ProtocolAcceptFile:
          return LRESULT(1);
        case apw_ProtocolFinish:
          self->finished = true;
          self->code = static_cast<int>(static_cast<std::intptr_t>(w));
          return LRESULT(0);
        default:
          return LRESULT(0);
      }
    });
    (void)registered;
    window = CreateWindow("swMsgHandlerKermitBench", this);
    kpInit(P, &port, 0);
    apSetProtocolWindow(*P, window);
    kpSetMaxLongPacketLen(*P, len);
    kpSetMaxWindows(*P, windows);
    kpSetKermitCheck(*P, bcmCrcK);
    P->UpcaseFileNames = false;
  }
  ~Ours() {
    kpDone(P);
    DestroyWindow(window);
    port.SetOpen(false);
  }
};

double Elapsed(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

bool Same(const std::string& a, const std::string& b) { return support::ReadFile(a) == support::ReadFile(b); }

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 8;
  const std::uint32_t len = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1024;
  const std::uint32_t windows = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 8;
  const int rounds = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
  // The ways to time: p (C-Kermit pair), s (ours sending), r (ours receiving); all by default.
  const std::string ways = argc > 5 ? argv[5] : "psr";
  // C-Kermit names one more than the longest packet it takes.
  gSettings =
      "set carrier-watch off\nset transfer display none\nset block-check 3\nset receive packet-length " +
      std::to_string(len + 1) + "\nset window " + std::to_string(windows) + "\n";
  support::TempDir src("kbench_src"), dstA("kbench_a"), dstB("kbench_b"), dstC("kbench_c");
  std::string data(mb * 1024 * 1024, '\0');
  std::mt19937 gen(1);
  for (auto& c : data) c = static_cast<char>(gen() & 0xFF);
  const std::string file = src.Write("bench.bin", data);
  std::printf("kermit_bench: %zu MB of random bytes, packets of %u, %u windows, CRC, unpaced ptys, best of %d\n",
              mb, len, windows, rounds);

  // Each way is timed in every round; the best time of each counts, so that a stall of this
  // machine in one round does not decide the ratio.
  Relay relay;
  double peerTime = 1e9, sendTime = 1e9, recvTime = 1e9;
  // One timed transfer: its line, and the best time of its way.
  auto record = [&](const char* what, double took, bool ok, double& best) {
    best = std::min(best, took);
    std::printf("%-21s %.2f s (%.0f kB/s)%s\n", what, took, data.size() / 1024.0 / took, ok ? "" : "  FAILED");
  };
  for (int round = 1; round <= rounds; ++round) {
    std::filesystem::remove(dstA / "bench.bin");
    std::filesystem::remove(dstB / "bench.bin");
    std::filesystem::remove(dstC / "BENCH.BIN");
    // C-Kermit to C-Kermit.
    if (ways.find('p') != std::string::npos) {
      auto rx = CKermit(relay.b.path(), dstA.str(), "-r");
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      const auto t = Clock::now();
      auto tx = CKermit(relay.a.path(), src.str(), "-s bench.bin");
      const bool ok = tx->Wait(600000) && rx->Wait(60000) && tx->ExitCode() == 0 && rx->ExitCode() == 0;
      const double took = Elapsed(t);  // before the file is compared
      record("C-Kermit -> C-Kermit:", took, ok && Same(file, dstA / "bench.bin"), peerTime);
    }
    // Ours to C-Kermit.
    if (ways.find('s') != std::string::npos) {
      Ours ours(relay.a.path(), len, windows);
      ours.file = file;
      auto rx = CKermit(relay.b.path(), dstB.str(), "-r");
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      const auto t = Clock::now();
      apStartProtocol(*ours.P, ptKermit, kpTransmit, kpPrepareTransmit);
      PumpUntil([&] { return ours.finished; }, 600000);
      const bool ok = rx->Wait(60000) && rx->ExitCode() == 0 && ours.code == 0;
      const double took = Elapsed(t);  // before the file is compared
      record("ours -> C-Kermit:", took, ok && Same(file, dstB / "bench.bin"), sendTime);
    }
    // C-Kermit to ours.
    if (ways.find('r') != std::string::npos) {
      Ours ours(relay.a.path(), len, windows);
      apSetDestinationDirectory(*ours.P, dstC.str().c_str());
      apStartProtocol(*ours.P, ptKermit, kpReceive, kpPrepareReceive);
      const auto t = Clock::now();
      auto tx = CKermit(relay.b.path(), src.str(), "-s bench.bin");
      PumpUntil([&] { return ours.finished; }, 600000);
      const bool ok = tx->Wait(60000) && tx->ExitCode() == 0 && ours.code == 0;
      const double took = Elapsed(t);  // before the file is compared
      record("C-Kermit -> ours:", took, ok && Same(file, dstC / "BENCH.BIN"), recvTime);
    }
  }
  if (sendTime < 1e9 && peerTime < 1e9)
    std::printf("ratio send (ours / C-Kermit pair):    %.2f\n", sendTime / peerTime);
  if (recvTime < 1e9 && peerTime < 1e9)
    std::printf("ratio receive (ours / C-Kermit pair): %.2f\n", recvTime / peerTime);
  return 0;
}
