#pragma once
// Test bench of the Kermit engine: our port on the near pty of the relay, C-Kermit on the far
// pty as `kermit -l <pty> -b 115200 -i`, and a small driver that answers the engine's notices
// as the protocol component does.
#include <sys/stat.h>

#include "tests/support/Child.h"
#include "tests/support/TempDir.h"
#include "transfer/Swkermit.h"
#include "xfer_harness.h"

namespace kermit {

using xfer::Relay;

// C-Kermit on a serial line, binary mode, carrier watch off. `commands` are its settings
// (comma separated), read from a command file before the command line; `action` are the
// action options (-s file, -r).
class CKermit {
 public:
  CKermit(const std::string& line, const std::string& dir, const std::string& commands,
          std::vector<std::string> action)
      : child_("sh", {"-c", Command(line, dir, commands, std::move(action))}, true) {}
  // Exit code, or -1 when it is still running after ms.
  int Wait(int ms) { return child_.Wait(ms) ? child_.ExitCode() : -1; }
  void Kill() { child_.Kill(); }

 private:
  // Started in its directory: kermit takes its action options before any -C command, so the
  // settings go into a command file, which it reads first.
  static std::string Command(const std::string& line, const std::string& dir, const std::string& commands,
                             std::vector<std::string> action) {
    std::string take = "set carrier-watch off\nset transfer display none\n" + commands + "\n";
    for (char& c : take)
      if (c == ',') c = '\n';
    const std::string file = dir + "/.kermit-settings";
    support::WriteFile(file, take);
    std::string cmd = "cd '" + dir + "' && exec kermit '" + file + "' -q -l '" + line + "' -b 115200 -i";
    for (const std::string& a : action) cmd += " '" + a + "'";
    return cmd;
  }
  support::ChildProcess child_;
};

// Our side.
class Driver {
 public:
  Driver(int comNumber, const std::string& devicePath) {
    var_ = "SIO_COM" + std::to_string(comNumber);
    ::setenv(var_.c_str(), devicePath.c_str(), 1);
    port.SetComNumber(static_cast<std::uint16_t>(comNumber));
    port.SetBaud(115200);
    port.SetInSize(16384);
    port.SetOutSize(8192);
    port.SetOpen(true);
    static bool registered =
        RegisterClass("swMsgHandlerKermitTest", [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
          auto* self = static_cast<Driver*>(GetWindowUserData(h));
          if (!self) return DefWindowProc(h, m, w, l);
          return self->Handle(m, w, l);
        });
    (void)registered;
    window_ = CreateWindow("swMsgHandlerKermitTest", this);
    EXPECT_EQ(0, kpInit(P, &port, 0));
    if (P) {
      apSetProtocolWindow(*P, window_);
      P->StatusInterval = 5;
    }
  }
  ~Driver() {
    if (P) {
      if (P->InProgress) Cancel();
      kpDone(P);
    }
    DestroyWindow(window_);
    port.SetOpen(false);
    ::unsetenv(var_.c_str());
  }
  // Short waits, so that a faulty line costs seconds and not minutes.
  void Quick(std::uint32_t waitTicks = 18, std::uint32_t timeoutSecs = 1) {
    apSetHandshakeWait(*P, waitTicks, 0);
    kpSetMaxTimeoutSecs(*P, timeoutSecs);
  }
  void Long(std::uint32_t len, std::uint32_t windows) {
    ASSERT_EQ(0, kpSetMaxLongPacketLen(*P, len));
    ASSERT_EQ(0, kpSetMaxWindows(*P, windows));
  }

  void StartTransmit() {
    finished = false;
    receiving_ = false;
    apStartProtocol(*P, ptKermit, kpTransmit, kpPrepareTransmit);
  }
  void StartReceive() {
    finished = false;
    receiving_ = true;
    apStartProtocol(*P, ptKermit, kpReceive, kpPrepareReceive);
  }
  void Cancel() {
    TSioBaseDispatcher* D = port.Dispatcher();
    if (!D) return;
    (receiving_ ? kpReceive : kpTransmit)(apw_ProtocolCancel, 0, static_cast<LPARAM>(D->Handle()) * 65536);
  }
  bool WaitFinish(int ms) {
    return PumpUntil([this] { return finished; }, static_cast<DWORD>(ms));
  }

  TSioComPort port;
  TProtocolData* P = nullptr;
  std::vector<std::string> sendList;
  std::size_t nextIndex = 0;
  bool refuse = false;
  bool finished = false;
  int finishCode = 1;
  std::vector<unsigned> logCodes;
  std::vector<std::string> logNames;
  int firstStatus = 0, lastStatus = 0;
  std::function<void()> onStatus;  // called on every status notice

 private:
  LRESULT Handle(UINT m, WPARAM w, LPARAM l) {
    switch (m) {
      case apw_ProtocolStatus:
        if (w & apFirstCall) ++firstStatus;
        if (w & apLastCall) ++lastStatus;
        if (onStatus) onStatus();
        return 0;
      case apw_ProtocolLog:
        logCodes.push_back(static_cast<unsigned>(w));
        logNames.push_back(reinterpret_cast<TProtocolData*>(l)->PathName);
        return 0;
      case apw_ProtocolNextFile:
        if (nextIndex >= sendList.size()) return 0;
        CopyToBufferZ(reinterpret_cast<char*>(l), apMaxPath, sendList[nextIndex++]);
        return 1;
      case apw_ProtocolAcceptFile:
        return refuse ? 0 : 1;
      case apw_ProtocolFinish:
        finished = true;
        finishCode = static_cast<int>(static_cast<std::intptr_t>(w));
        return 0;
      default:
        return DefWindowProc(window_, m, w, l);
    }
  }
  std::string var_;
  HWND window_ = 0;
  bool receiving_ = false;
};

// Every byte value, then runs of repeated bytes of every length around the repeat threshold
// and beyond the longest repeat count, then random bytes.
inline std::string MixedData(std::size_t randomBytes, unsigned seed) {
  std::string s;
  for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
  for (int i = 255; i >= 0; --i) s += static_cast<char>(i);
  for (std::size_t run : {1, 2, 3, 4, 5, 6, 93, 94, 95, 200, 1500}) {
    for (char c : {'\0', 'A', '#', '~', '&', '\x8D', '\xFF', '\x01', '\r'}) s.append(run, c);
  }
  s += xfer::RandomData(randomBytes, seed);
  return s;
}

}  // namespace kermit
