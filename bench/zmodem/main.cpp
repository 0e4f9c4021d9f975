// ZModem of the protocol component against lrzsz, measured in one run:
//  - unpaced, on a pseudo-terminal pair (a fresh one each round, shared by its four runs)
//    whose far end is bridged to the peer's pipes (one lrzsz program always on the pipes, the
//    other or ours on the pty): sz -> rz, our sender -> rz, sz -> our receiver, and the ratio
//    of our time to lrzsz's in both directions;
//  - on a relay paced at 115200 baud (11520 characters a second) in both directions: the
//    efficiency of each transfer, file bytes over the time the line needed for them.
//
//   bench_zmodem [unpaced megabytes] [paced kilobytes] [unpaced rounds]
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
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

bool WaitChild(support::ChildProcess& c, int ms) {
  if (c.Wait(ms) && c.ExitCode() == 0) return true;
  std::fprintf(stderr, "  peer: %s\n",
               c.Wait(0) ? ("exit " + std::to_string(c.ExitCode())).c_str() : "still running");
  return false;
}

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
  // Waits for our finish; a peer that is gone gets a few seconds more of it, then the run is
  // cancelled (our time-outs would wait for minutes).
  bool Wait(int ms, support::ChildProcess& peer) {
    PumpUntil([&] { return finished || peer.Wait(0); }, static_cast<DWORD>(ms));
    if (!finished) PumpUntil([this] { return finished; }, 5000);
    if (!finished) {
      protocol->CancelProtocol();
      PumpUntil([this] { return finished; }, 5000);
    }
    if (finished && result == 0) return true;
    std::fprintf(stderr, "  ours: %s %d\n", finished ? "finished with" : "not finished,", result);
    return false;
  }
  TSioComPort* port;
  TSioProtocol* protocol;
  bool finished = false, sent = false;
  int result = 1;
};

bool Same(const std::string& a, const std::string& b) {
  if (support::ReadFile(a) == support::ReadFile(b)) return true;
  std::fprintf(stderr, "  %s differs\n", b.c_str());
  return false;
}

// Between two runs on the same pair: what the last one left on the line (a receiver's
// repeated ZFIN or ZRINIT that its peer never read) is thrown away, or the next receiver
// takes it for its own peer's and gives up.
void Drain(support::Relay& relay) {
  ::fcntl(relay.peerIn, F_SETFL, ::fcntl(relay.peerIn, F_GETFL) | O_NONBLOCK);
  char buf[4096];
  for (int quiet = 0; quiet < 3;) {
    pollfd p{relay.peerIn, POLLIN, 0};
    ::tcflush(relay.nearEnd.slave(), TCIOFLUSH);
    if (::poll(&p, 1, 100) > 0 && ::read(relay.peerIn, buf, sizeof buf) > 0) {
      quiet = 0;
    } else {
      ++quiet;
    }
  }
  ::fcntl(relay.peerIn, F_SETFL, ::fcntl(relay.peerIn, F_GETFL) & ~O_NONBLOCK);
}

struct Run {
  double secs = 0;
  bool ok = false;
  int failed = 0;  // rounds that failed (they count for no time)
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
  // A body may end the time itself (stop) before it checks the outcome.
  Clock::time_point stop{};
  auto timed = [&](const std::function<bool()>& body) {
    Run r;
    stop = {};
    const auto t0 = Clock::now();
    r.ok = body();
    r.secs = Seconds(t0, stop == Clock::time_point{} ? Clock::now() : stop);
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
  // A failed round ends early and says nothing of the speed: only good rounds are timed.
  auto best = [](Run& into, const Run& r) {
    if (!r.ok) {
      ++into.failed;
      return;
    }
    if (r.secs < into.secs) into.secs = r.secs;
  };
  for (int round = 0; round < rounds; ++round) {
    // A fresh pair each round, so that nothing a failed run left on the line reaches the next.
    support::Relay relay;
    for (const char* d : {"a", "b", "c", "g"}) {
      std::filesystem::remove_all(tmp / d);
      ::mkdir((tmp / d).c_str(), 0755);
    }
    Drain(relay);
    // The program on the pty starts first, as our port is open first: sz flushes its
    // terminal's input when it starts, which would throw away rz's first ZRINIT (and leave
    // the two waiting for half a minute).
    best(lrzszOut, timed([&] {
           const std::uint64_t before = relay.toFar.passed;
           std::unique_ptr<support::ChildProcess> sz(
               Peer(tmp / "src", {"sz", "-q", "big.bin"}, relay.nearEnd.slave(), relay.nearEnd.slave()));
           // rz starts when sz has spoken: before that, sz's start may still throw away
           // what rz says first.
           for (int i = 0; i < 5000 && relay.toFar.passed == before; ++i) ::usleep(1000);
           std::unique_ptr<support::ChildProcess> rz(
               Peer(tmp / "g", {"rz", "-q"}, relay.peerIn, relay.peerOut));
           // The sender's time ends when sz is done. Its last words ("OO") go out just before
           // it flushes its terminal, which can throw them away before the relay has read
           // them: rz then waits half a minute for them. The file is complete by then.
           const bool sent = WaitChild(*sz, 600000);
           stop = Clock::now();
           return sent && WaitChild(*rz, 60000) && Same(big, tmp / "g/big.bin");
         }));
    Drain(relay);
    best(lrzszIn, timed([&] {
           std::unique_ptr<support::ChildProcess> rz(
               Peer(tmp / "a", {"rz", "-q"}, relay.nearEnd.slave(), relay.nearEnd.slave()));
           std::unique_ptr<support::ChildProcess> sz(
               Peer(tmp / "src", {"sz", "-q", "big.bin"}, relay.peerIn, relay.peerOut));
           // The receiver's time ends when rz is done.
           const bool received = WaitChild(*rz, 600000);
           stop = Clock::now();
           return received && WaitChild(*sz, 60000) && Same(big, tmp / "a/big.bin");
         }));
    Drain(relay);
    best(send, timed([&] {
           Ours ours(relay.nearEnd.path());
           std::unique_ptr<support::ChildProcess> rz(
               Peer(tmp / "b", {"rz", "-q"}, relay.peerIn, relay.peerOut));
           ours.Send(big);
           // Ours is done at its finish, as sz is when it ends.
           const bool sent = ours.Wait(600000, *rz);
           stop = Clock::now();
           return sent && WaitChild(*rz, 60000) && Same(big, tmp / "b/big.bin");
         }));
    Drain(relay);
    best(receive, timed([&] {
           Ours ours(relay.nearEnd.path());
           ours.Receive(tmp / "c");
           std::unique_ptr<support::ChildProcess> sz(
               Peer(tmp / "src", {"sz", "-q", "big.bin"}, relay.peerIn, relay.peerOut));
           const bool received = ours.Wait(600000, *sz);
           stop = Clock::now();
           return received && WaitChild(*sz, 60000) && Same(big, tmp / "c/big.bin");
         }));
  }
  const double mb = static_cast<double>(megabytes);
  std::printf("unpaced %zu MB on a pty pair a round, best of %d rounds\n", megabytes, rounds);
  for (Run* r : {&lrzszOut, &lrzszIn, &send, &receive}) r->ok = r->failed < rounds;
  auto line = [&](const char* what, const Run& r) {
    std::printf("  %-28s %7.3f s  %7.1f MB/s", what, r.secs, mb / r.secs);
    if (r.failed) std::printf("  (%d of %d rounds FAILED)", r.failed, rounds);
    std::printf("\n");
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
    return ours.Wait(600000, *rz) && WaitChild(*rz, 60000) && Same(small, tmp / "e/paced.bin");
  });
  const Run pReceive = paced([&](support::Relay& relay) {
    Ours ours(relay.nearEnd.path());
    ours.Receive(tmp / "f");
    std::unique_ptr<support::ChildProcess> sz(
        Peer(tmp / "src", {"sz", "-q", "paced.bin"}, relay.peerIn, relay.peerOut));
    return ours.Wait(600000, *sz) && WaitChild(*sz, 60000) && Same(small, tmp / "f/paced.bin");
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
  const bool allGood = lrzszOut.failed + lrzszIn.failed + send.failed + receive.failed == 0;
  return allGood && pLrzsz.ok && pSend.ok && pReceive.ok ? 0 : 1;
}
