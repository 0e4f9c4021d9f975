#pragma once
// A relay between two pseudo-terminals that copies bytes both ways and can drop, flip or cut
// them and pace them at a line rate. The near pty is a port under test; the far side is
// another pty, or a pair of pipes for a program that runs there (lrzsz flushes its terminal
// output when it ends, which on a pty can drop its last reply).
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>

#include "tests/support/Pty.h"

namespace support {

// Faults of one direction, applied to the bytes that pass while the rule is set.
struct Faults {
  std::atomic<std::uint64_t> dropEvery{0};  // drop each n-th byte (0: none)
  std::atomic<std::uint64_t> flipEvery{0};  // change each n-th byte by flipMask
  std::atomic<std::uint8_t> flipMask{0x04};
  std::atomic<int> flipOnly{-1};  // change only this byte value (-1: any)
  std::atomic<std::uint64_t> skipFirst{0};    // faults only after this many bytes
  std::atomic<std::uint64_t> lastFault{0};    // and only up to this byte (0: to the end)
  std::atomic<bool> cut{false};               // forward nothing at all
  std::atomic<std::uint64_t> bytesPerSec{0};  // line rate (0: as fast as the ptys go)
  std::atomic<std::uint64_t> passed{0};
  std::atomic<std::uint64_t> dropped{0}, flipped{0};
};

// Copies bytes between the near pty (our port) and the far pty (the peer).
class Relay {
 public:
  support::PtyPair nearEnd, farEnd;
  Faults toNear, toFar;  // toNear: peer -> us, toFar: us -> peer

  // The peer's side: the far pty, or a pair of pipes when a program runs there (lrzsz
  // flushes its terminal output when it ends, which on a pty can drop its last reply).
  int farIn = -1, farOut = -1;    // the relay reads farIn and writes farOut
  int peerIn = -1, peerOut = -1;  // the program's stdin and stdout

  explicit Relay(bool pipes = true) {
    if (pipes) {
      int a[2], b[2];
      if (::pipe(a) != 0 || ::pipe(b) != 0) throw std::runtime_error("pipe");
      peerIn = a[0];
      farOut = a[1];
      farIn = b[0];
      peerOut = b[1];
      ::fcntl(farIn, F_SETFL, ::fcntl(farIn, F_GETFL) | O_NONBLOCK);
      ::fcntl(farOut, F_SETFL, ::fcntl(farOut, F_GETFL) | O_NONBLOCK);
      ::fcntl(farIn, F_SETFD, FD_CLOEXEC);
      ::fcntl(farOut, F_SETFD, FD_CLOEXEC);
    } else {
      farIn = farOut = farEnd.master();
    }
    thread_ = std::thread([this] { Run(); });
  }
  ~Relay() {
    stop_ = true;
    thread_.join();
    if (peerIn >= 0) {
      for (int fd : {peerIn, peerOut, farIn, farOut}) ::close(fd);
    }
  }

 private:
  void Pass(Faults& f, const char* in, ssize_t n, std::string& out) {
    for (ssize_t i = 0; i < n; ++i) {
      char c = in[i];
      std::uint64_t k = ++f.passed;
      if (f.cut) continue;
      if (k > f.skipFirst && (f.lastFault == 0 || k <= f.lastFault)) {
        std::uint64_t d = f.dropEvery, x = f.flipEvery;
        if (d && k % d == 0) {
          ++f.dropped;
          continue;
        }
        if (x && k % x == 0 && (f.flipOnly < 0 || static_cast<std::uint8_t>(c) == f.flipOnly)) {
          c = static_cast<char>(c ^ f.flipMask);
          ++f.flipped;
        }
      }
      out += c;
    }
  }
  // Bytes that may go now on a paced line: the credit grows with the line rate.
  std::size_t Allowed(Faults& f, double& credit, std::size_t want) {
    const std::uint64_t rate = f.bytesPerSec;
    if (!rate) return want;
    auto now = std::chrono::steady_clock::now();
    auto& last = &f == &toNear ? lastN_ : lastF_;
    credit = std::min(credit + std::chrono::duration<double>(now - last).count() * static_cast<double>(rate),
                      64.0);
    last = now;
    return credit >= 1 ? std::min(want, static_cast<std::size_t>(credit)) : 0;
  }
  std::chrono::steady_clock::time_point lastN_ = std::chrono::steady_clock::now(), lastF_ = lastN_;
  void Run() {
    double creditN = 0, creditF = 0;
    std::string toN, toF;
    char buf[4096];
    while (!stop_) {
      const bool same = farIn == farOut;
      // A paced line takes no more from its sender than a UART would hold: the sender's
      // output drains at the line rate.
      const bool takeNear = !toFar.bytesPerSec || toF.size() < kPacedHold;
      const bool takeFar = !toNear.bytesPerSec || toN.size() < kPacedHold;
      pollfd p[3] = {
          {nearEnd.master(), static_cast<short>((takeNear ? POLLIN : 0) | (toN.empty() ? 0 : POLLOUT)), 0},
          {farIn, static_cast<short>((takeFar ? POLLIN : 0) | (same && !toF.empty() ? POLLOUT : 0)), 0},
          {farOut, static_cast<short>(toF.empty() ? 0 : POLLOUT), 0}};
      if (::poll(p, same ? 2 : 3, Paced() && !(toN.empty() && toF.empty()) ? 1 : 20) < 0) continue;
      if (farIn != farOut && (p[1].revents & POLLHUP) && !(p[1].revents & POLLIN))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (p[0].revents & POLLIN) {
        ssize_t r = ::read(nearEnd.master(), buf, toFar.bytesPerSec ? kPacedHold : sizeof buf);
        if (r > 0) Pass(toFar, buf, r, toF);
      }
      if (p[1].revents & POLLIN) {
        ssize_t r = ::read(farIn, buf, toNear.bytesPerSec ? kPacedHold : sizeof buf);
        if (r > 0) Pass(toNear, buf, r, toN);
      }
      // A cut line also loses what was under way on it.
      if (toNear.cut) toN.clear();
      if (toFar.cut) toF.clear();
      if (!toN.empty()) {
        std::size_t n = Allowed(toNear, creditN, toN.size());
        ssize_t w = n ? ::write(nearEnd.master(), toN.data(), n) : 0;
        if (w > 0) {
          toN.erase(0, static_cast<std::size_t>(w));
          creditN -= static_cast<double>(w);
        }
      }
      if (!toF.empty()) {
        std::size_t n = Allowed(toFar, creditF, toF.size());
        ssize_t w = n ? ::write(farOut, toF.data(), n) : 0;
        if (w > 0) {
          toF.erase(0, static_cast<std::size_t>(w));
          creditF -= static_cast<double>(w);
        }
      }
      if ((p[0].revents | p[1].revents) & (POLLHUP | POLLERR))
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  bool Paced() const { return toNear.bytesPerSec || toFar.bytesPerSec; }
  static constexpr std::size_t kPacedHold = 16;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace support
