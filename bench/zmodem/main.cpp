// ZModem of the protocol component against lrzsz, measured in one run:
//  - unpaced, on one pseudo-terminal pair whose far end is bridged to the peer's pipes (one
//    lrzsz program always on the pipes, the other or ours on the pty): sz -> rz, our sender
//    -> rz, sz -> our receiver, and the ratio of our time to lrzsz's in both directions;
//  - on a relay paced at 115200 baud (11520 characters a second) in both directions: the
//    efficiency of each transfer, file bytes over the time the line needed for them.
//
//   bench_zmodem [unpaced megabytes] [paced kilobytes] [unpaced rounds]
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/Messages.h"
#include "serial/SioPort.h"
#include "tests/support/Child.h"
#include "tests/support/Pty.h"
#include "tests/support/Relay.h"
#include "tests/support/TempDir.h"
#include "transfer/SioProtocol.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t LineRate = 11520;  // 115200 baud, 10 bits a character

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

std::string RandomData(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

// A peer program with its standard input and output on the given descriptors.
support::ChildProcess* Peer(const std::string& dir, std::vector<std::string> args, int in, int out) {
  support::ChildOptions o;
  o.stdinFd = in;
  o.stdoutFd = out;
  o.stderrToNull = true;
  o.directory = dir;
  o.newSession = true;
  const std::string program = args.front();
  args.erase(args.begin());
  return new support::ChildProcess(program, args, o);
}

bool WaitChild(support::ChildProcess& c, int ms) { return c.Wait(ms) && c.ExitCode() == 0; }

// Our side: a port on the device and the component, driven as a form drives it.
struct Ours : TSioComponentOwner {
  explicit Ours(const std::string& device) {
    ::setenv("SIO_COM97", device.c_str(), 1);
    port = new TSioComPort(this);
    protocol = new TSioProtocol(this);
    port->SetComNumber(97);
    port->SetBaud(115200);
    port->SetInSize(32768);
    port->SetOutSize(65535);
    port->SetOpen(true);
    protocol->SetProtocolType(ptZmodem);
    protocol->SetUpcaseFileNames(false);
    protocol->SetOnProtocolFinish([this](TSioCustomProtocol*, int code) {
      finished = true;
      result = code;
    });
  }
  ~Ours() override {
    delete protocol;
    port->SetOpen(false);
    delete port;
  }
  void Send(const std::string& file) {
    sent = false;
    protocol->SetOnProtocolNextFile([this, file](TSioCustomProtocol*, std::string& name) {
      if (!sent) name = file;
      sent = true;
    });
    protocol->StartTransmit();
  }
  void Receive(const std::string& dir) {
    protocol->SetDestinationDirectory(dir);
    protocol->StartReceive();
  }
  bool Wait(int ms) {
    return PumpUntil([this] { return finished; }, static_cast<DWORD>(ms)) && result == 0;
  }
  TSioComPort* port;
  TSioProtocol* protocol;
  bool finished = false, sent = false;
  int result = 1;
};

bool Same(const std::string& a, const std::string& b) { return support::ReadFile(a) == support::ReadFile(b); }

struct Run {
  double secs = 0;
  bool ok = false;
};

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20;
  const std::size_t pacedKB = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 512;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  support::TempDir tmp("bench_zmodem");
  for (const char* d : {"src", "a", "b", "c"}) ::mkdir((tmp / d).c_str(), 0755);
  const std::string big = tmp.Write("src/big.bin", RandomData(megabytes << 20, 1));

  // ----- unpaced: one pty pair, its far end bridged to the peer's pipes -----
  support::Relay relay;
  auto timed = [&](const std::function<bool()>& body) {
    Run r;
    const auto t0 = Clock::now();
    r.ok = body();
    r.secs = Seconds(t0, Clock::now());
    return r;
  };
  // The three take turns, and each keeps its best time: the machine may be busy with other
  // work meanwhile.
  // lrzsz runs the same way as each of ours: its sender on the pty for our send (lrzszOut),
  // its receiver on the pty for our receive (lrzszIn).
  Run lrzszOut, lrzszIn, send, receive;
  for (Run* r : {&lrzszOut, &lrzszIn, &send, &receive}) {
    r->secs = 1e9;
    r->ok = true;
  }
  auto best = [](Run& into, const Run& r) {
    into.ok = into.ok && r.ok;
    if (r.secs < into.secs) into.secs = r.secs;
  };
  for (int round = 0; round < rounds; ++round) {
    for (const char* d : {"a", "b", "c", "g"}) {
      std::filesystem::remove_all(tmp / d);
      ::mkdir((tmp / d).c_str(), 0755);
    }
    best(lrzszOut, timed([&] {
           std::unique_ptr<support::ChildProcess> rz(
               Peer(tmp / "g", {"rz", "-q"}, relay.peerIn, relay.peerOut));
           std::unique_ptr<support::ChildProcess> sz(
               Peer(tmp / "src", {"sz", "-q", "big.bin"}, relay.nearEnd.slave(), relay.nearEnd.slave()));
           return WaitChild(*sz, 600000) && WaitChild(*rz, 60000) && Same(big, tmp / "g/big.bin");
         }));
    best(lrzszIn, timed([&] {
           std::unique_ptr<support::ChildProcess> rz(
               Peer(tmp / "a", {"rz", "-q"}, relay.nearEnd.slave(), relay.nearEnd.slave()));
           std::unique_ptr<support::ChildProcess> sz(
               Peer(tmp / "src", {"sz", "-q", "big.bin"}, relay.peerIn, relay.peerOut));
           return WaitChild(*sz, 600000) && WaitChild(*rz, 60000) && Same(big, tmp / "a/big.bin");
         }));
    best(send, timed([&] {
           Ours ours(relay.nearEnd.path());
           std::unique_ptr<support::ChildProcess> rz(
               Peer(tmp / "b", {"rz", "-q"}, relay.peerIn, relay.peerOut));
           ours.Send(big);
           return ours.Wait(600000) && WaitChild(*rz, 60000) && Same(big, tmp / "b/big.bin");
         }));
    best(receive, timed([&] {
           Ours ours(relay.nearEnd.path());
           ours.Receive(tmp / "c");
           std::unique_ptr<support::ChildProcess> sz(
               Peer(tmp / "src", {"sz", "-q", "big.bin"}, relay.peerIn, relay.peerOut));
           return ours.Wait(600000) && WaitChild(*sz, 60000) && Same(big, tmp / "c/big.bin");
         }));
  }
  const double mb = static_cast<double>(megabytes);
  std::printf("unpaced %zu MB on one pty pair, best of %d rounds\n", megabytes, rounds);
  auto line = [&](const char* what, const Run& r) {
    std::printf("  %-28s %7.3f s  %7.1f MB/s %s\n", what, r.secs, mb / r.secs, r.ok ? "" : "FAILED");
  };
  line("sz (pty) -> rz (pipes):", lrzszOut);
  line("ours (pty) -> rz (pipes):", send);
  line("sz (pipes) -> rz (pty):", lrzszIn);
  line("sz (pipes) -> ours (pty):", receive);
  std::printf("ratio send: %.2f\n", send.secs / lrzszOut.secs);
  std::printf("ratio receive: %.2f\n", receive.secs / lrzszIn.secs);

  // ----- paced at 115200 baud -----
  for (const char* d : {"d", "e", "f"}) ::mkdir((tmp / d).c_str(), 0755);
  const std::string small = tmp.Write("src/paced.bin", RandomData(pacedKB << 10, 2));
  auto paced = [&](const std::function<bool(support::Relay&)>& body) {
    support::Relay relay;
    relay.toNear.bytesPerSec = LineRate;
    relay.toFar.bytesPerSec = LineRate;
    return timed([&] { return body(relay); });
  };
  const Run pLrzsz = paced([&](support::Relay& relay) {
    std::unique_ptr<support::ChildProcess> rz(
        Peer(tmp / "d", {"rz", "-q"}, relay.nearEnd.slave(), relay.nearEnd.slave()));
    std::unique_ptr<support::ChildProcess> sz(
        Peer(tmp / "src", {"sz", "-q", "paced.bin"}, relay.peerIn, relay.peerOut));
    return WaitChild(*sz, 600000) && WaitChild(*rz, 60000) && Same(small, tmp / "d/paced.bin");
  });
  const Run pSend = paced([&](support::Relay& relay) {
    Ours ours(relay.nearEnd.path());
    std::unique_ptr<support::ChildProcess> rz(Peer(tmp / "e", {"rz", "-q"}, relay.peerIn, relay.peerOut));
    ours.Send(small);
    return ours.Wait(600000) && WaitChild(*rz, 60000) && Same(small, tmp / "e/paced.bin");
  });
  const Run pReceive = paced([&](support::Relay& relay) {
    Ours ours(relay.nearEnd.path());
    ours.Receive(tmp / "f");
    std::unique_ptr<support::ChildProcess> sz(
        Peer(tmp / "src", {"sz", "-q", "paced.bin"}, relay.peerIn, relay.peerOut));
    return ours.Wait(600000) && WaitChild(*sz, 60000) && Same(small, tmp / "f/paced.bin");
  });
  const double bytes = static_cast<double>(pacedKB << 10);
  auto eff = [&](const Run& r) { return 100.0 * bytes / (r.secs * static_cast<double>(LineRate)); };
  std::printf("paced %zu KB at 115200 baud (%llu characters a second)\n", pacedKB,
              static_cast<unsigned long long>(LineRate));
  std::printf("  sz -> rz:           %7.2f s  efficiency %5.1f %% %s\n", pLrzsz.secs, eff(pLrzsz),
              pLrzsz.ok ? "" : "FAILED");
  std::printf("  ours -> rz:         %7.2f s  efficiency %5.1f %% %s\n", pSend.secs, eff(pSend),
              pSend.ok ? "" : "FAILED");
  std::printf("  sz -> ours:         %7.2f s  efficiency %5.1f %% %s\n", pReceive.secs, eff(pReceive),
              pReceive.ok ? "" : "FAILED");
  std::printf("efficiency send: %.1f %%\n", eff(pSend));
  std::printf("efficiency receive: %.1f %%\n", eff(pReceive));
  return lrzszOut.ok && lrzszIn.ok && send.ok && receive.ok && pLrzsz.ok && pSend.ok && pReceive.ok ? 0 : 1;
}
