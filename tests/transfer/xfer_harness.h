#pragma once
// Test bench of the transfer engines: a relay between two pseudo-terminals that can drop and
// flip bytes, a peer program (lrzsz) on the far side, our port on the near side and a small
// driver that starts a run and answers the engine's notices as the protocol component does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Messages.h"
#include "serial/SioPort.h"
#include "tests/support/Child.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"
#include "transfer/SioProtocol.h"
#include "transfer/Swabspcl.h"
#include "transfer/Swxmodem.h"
#include "transfer/Swymodem.h"

namespace xfer {

namespace fs = std::filesystem;

using support::ReadFile;

using support::WriteFile;

inline std::string RandomData(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

// Faults of one direction, applied to the bytes that pass while the rule is set.
struct Faults {
  std::atomic<std::uint64_t> dropEvery{0};  // drop each n-th byte (0: none)
  std::atomic<std::uint64_t> flipEvery{0};  // change each n-th byte by flipMask
  std::atomic<std::uint8_t> flipMask{0x04};
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
        if (x && k % x == 0) {
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
      pollfd p[3] = {{nearEnd.master(), static_cast<short>(POLLIN | (toN.empty() ? 0 : POLLOUT)), 0},
                     {farIn, static_cast<short>(POLLIN | (same && !toF.empty() ? POLLOUT : 0)), 0},
                     {farOut, static_cast<short>(toF.empty() ? 0 : POLLOUT), 0}};
      if (::poll(p, same ? 2 : 3, Paced() && !(toN.empty() && toF.empty()) ? 1 : 20) < 0) continue;
      if (farIn != farOut && (p[1].revents & POLLHUP) && !(p[1].revents & POLLIN))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (p[0].revents & POLLIN) {
        ssize_t r = ::read(nearEnd.master(), buf, sizeof buf);
        if (r > 0) Pass(toFar, buf, r, toF);
      }
      if (p[1].revents & POLLIN) {
        ssize_t r = ::read(farIn, buf, sizeof buf);
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
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A program on the far end of the relay, its stdin and stdout on the far pty.
class Peer {
 public:
  Peer(const Relay& relay, const fs::path& cwd, std::vector<std::string> args)
      : log_(cwd / ".peer.log"),
        child_(args.at(0), std::vector<std::string>(args.begin() + 1, args.end()),
               Options(relay, cwd, log_)) {}
  ~Peer() { Kill(); }
  // Exit status, or -1 when it did not end within the time.
  int Wait(int ms) { return child_.Wait(ms) ? child_.ExitCode() : -1; }
  void Kill() { child_.Kill(); }
  std::string Log() const { return ReadFile(log_); }

 private:
  static support::ChildOptions Options(const Relay& relay, const fs::path& cwd, const fs::path& log) {
    support::ChildOptions o;
    o.stdinFd = relay.peerIn;
    o.stdoutFd = relay.peerOut;
    o.stderrFile = log.string();
    o.directory = cwd.string();
    o.newSession = true;
    return o;
  }

  fs::path log_;
  support::ChildProcess child_;
};

// Our side: a port on a pty and the answers of the protocol component to the notices.
class Driver {
 public:
  Driver(int comNumber, const std::string& devicePath) {
    var_ = "SIO_COM" + std::to_string(comNumber);
    ::setenv(var_.c_str(), devicePath.c_str(), 1);
    port.SetComNumber(static_cast<std::uint16_t>(comNumber));
    port.SetBaud(115200);
    port.SetInSize(8192);
    port.SetOutSize(8192);
    port.SetOpen(true);
    static bool registered =
        RegisterClass("swMsgHandlerTest", [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
          auto* self = static_cast<Driver*>(GetWindowUserData(h));
          if (!self) return DefWindowProc(h, m, w, l);
          return self->Handle(m, w, l);
        });
    (void)registered;
    window_ = CreateWindow("swMsgHandlerTest", this);
  }
  ~Driver() {
    if (P) {
      if (P->InProgress) Cancel();
      apDoneProtocol(P);
    }
    DestroyWindow(window_);
    port.SetOpen(false);
    ::unsetenv(var_.c_str());
  }

  void InitXmodem(bool crc, bool oneK, bool g) {
    ASSERT_EQ(0, xpInit(P, &port, crc, oneK, g, 0));
    Common();
  }
  void InitYmodem(bool g) {
    ASSERT_EQ(0, ypInit(P, &port, true, g, 0));
    Common();
    P->FinishWait = 364;
  }

  void StartTransmit() {
    finished = false;
    bool y = P->ProtocolType == ptYmodem || P->ProtocolType == ptYmodemG;
    apStartProtocol(*P, P->ProtocolType, y ? ypTransmit : xpTransmit,
                    y ? ypPrepareTransmit : xpPrepareTransmit);
  }
  void StartReceive() {
    finished = false;
    bool y = P->ProtocolType == ptYmodem || P->ProtocolType == ptYmodemG;
    apStartProtocol(*P, P->ProtocolType, y ? ypReceive : xpReceive, y ? ypPrepareReceive : xpPrepareReceive);
  }
  void Cancel() {
    TSioBaseDispatcher* D = port.Dispatcher();
    if (!D) return;
    bool y = P->ProtocolType == ptYmodem || P->ProtocolType == ptYmodemG;
    bool rx = y ? P->YmodemState >= ryInitial : P->XmodemState >= rxInitial;
    TSioNotifyProc proc = y ? (rx ? ypReceive : ypTransmit) : (rx ? xpReceive : xpTransmit);
    proc(apw_ProtocolCancel, 0, static_cast<LPARAM>(D->Handle()) * 65536);
  }
  // Pumps the messages until the finish notice came; false on time-out.
  bool WaitFinish(int ms) {
    return PumpUntil([this] { return finished; }, static_cast<DWORD>(ms));
  }

  TSioComPort port;
  TProtocolData* P = nullptr;
  std::vector<std::string> sendList;  // next-file answers
  std::size_t nextIndex = 0;
  bool refuse = false;
  bool finished = false;
  int finishCode = 1;
  std::vector<unsigned> logCodes;
  std::vector<std::string> logNames;
  std::vector<int> errors;
  int firstStatus = 0, lastStatus = 0;
  // The record is freed by the handler of the last status notice or of the finish notice.
  bool freeOnLastStatus = false, freeOnFinish = false;
  std::function<void(unsigned)> onLog;  // called with each log code

 private:
  void Common() {
    apSetProtocolWindow(*P, window_);
    P->StatusInterval = 5;
  }
  LRESULT Handle(UINT m, WPARAM w, LPARAM l) {
    switch (m) {
      case apw_ProtocolStatus:
        if (w & apFirstCall) ++firstStatus;
        if (w & apLastCall) ++lastStatus;
        if ((w & apLastCall) && freeOnLastStatus) apDoneProtocol(P);
        return 0;
      case apw_ProtocolLog:
        logCodes.push_back(static_cast<unsigned>(w));
        logNames.push_back(reinterpret_cast<TProtocolData*>(l)->PathName);
        if (onLog) onLog(static_cast<unsigned>(w));
        return 0;
      case apw_ProtocolNextFile: {
        if (nextIndex >= sendList.size()) return 0;
        CopyToBufferZ(reinterpret_cast<char*>(l), apMaxPath, sendList[nextIndex++]);
        return 1;
      }
      case apw_ProtocolAcceptFile:
        return refuse ? 0 : 1;
      case apw_ProtocolFinish:
        finished = true;
        finishCode = static_cast<int>(static_cast<std::intptr_t>(w));
        if (freeOnFinish) apDoneProtocol(P);
        return 0;
      case apw_ProtocolError:
        errors.push_back(static_cast<int>(static_cast<std::intptr_t>(w)));
        return 0;
      default:
        return DefWindowProc(window_, m, w, l);
    }
  }
  std::string var_;
  HWND window_ = 0;
};

// A form with a port, the protocol component and its history log, as an application holds
// them; the finish and the log codes are kept.
struct Form : TSioComponentOwner {
  Form(int com, const std::string& device, const fs::path& history, std::uint16_t bufferSize = 8192) {
    var = "SIO_COM" + std::to_string(com);
    ::setenv(var.c_str(), device.c_str(), 1);
    port = new TSioComPort(this);
    log = new TSioProtocolLog(this);
    log->SetHistoryName(history.string());
    protocol = new TSioProtocol(this);
    port->SetComNumber(static_cast<std::uint16_t>(com));
    port->SetBaud(115200);
    port->SetInSize(bufferSize);
    port->SetOutSize(bufferSize);
    port->SetOpen(true);
    protocol->SetOnProtocolFinish([this](TSioCustomProtocol*, int code) {
      finished = true;
      finishCode = code;
    });
    protocol->SetOnProtocolLog([this](TSioCustomProtocol* cp, std::uint16_t code) {
      logs.push_back(code);
      logNames.push_back(cp->GetFileName());
    });
  }
  ~Form() override {
    delete protocol;
    delete log;
    port->SetOpen(false);
    delete port;
    ::unsetenv(var.c_str());
  }
  bool WaitFinish(int ms) {
    return PumpUntil([this] { return finished; }, static_cast<DWORD>(ms));
  }
  // Next-file answers from a list.
  void SendList(std::vector<std::string> names) {
    list = std::move(names);
    protocol->SetOnProtocolNextFile([this](TSioCustomProtocol*, std::string& name) {
      if (next < list.size()) name = list[next++];
    });
  }
  std::string var;
  TSioComPort* port;
  TSioProtocolLog* log;
  TSioProtocol* protocol;
  bool finished = false;
  int finishCode = 1;
  std::vector<std::uint16_t> logs;
  std::vector<std::string> logNames;
  std::vector<std::string> list;
  std::size_t next = 0;
};

// A fresh directory per test.
class XferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir / "near");
    fs::create_directories(dir / "far");
  }
  support::TempDir tmp_{"xfer_"};
  const std::filesystem::path& dir = tmp_.path();
};

}  // namespace xfer
