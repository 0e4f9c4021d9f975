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
#include <type_traits>
#include <vector>

#include "platform/Messages.h"
#include "serial/SioPort.h"
#include "tests/support/Child.h"
#include "tests/support/Pty.h"
#include "tests/support/Relay.h"
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

using support::Faults;
using support::Relay;

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

// A look at a record while a run may be under way: the engine changes it on the dispatcher's
// thread, under the record's lock.
template <class F>
std::invoke_result_t<F&, TProtocolData&> Locked(TProtocolData& P, F f) {
  TProtocolReading r(P);
  return f(P);
}
inline std::int32_t Transferred(TProtocolData& P) {
  return Locked(P, [](TProtocolData& p) { return p.BytesTransferred; });
}

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
    bool y = false, rx = false;
    Locked(*P, [&](TProtocolData& p) {
      y = p.ProtocolType == ptYmodem || p.ProtocolType == ptYmodemG;
      rx = y ? p.YmodemState >= ryInitial : p.XmodemState >= rxInitial;
    });
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
