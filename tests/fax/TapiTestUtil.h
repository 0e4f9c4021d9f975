#pragma once
// A telephony line on the modem simulator: the settings in a registry file of their own, the
// line listed there, the simulator mapped to its COM port and its command log.
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Messages.h"
#include "platform/Registry.h"
#include "platform/Telephony.h"
#include "serial/SioPort.h"
#include "tests/support/Child.h"
#include "tests/support/TempDir.h"

namespace tapitest {

class Rig {
 public:
  Rig() { SetRegistryFile(dir / "registry.ini"); }
  ~Rig() {
    sims.clear();
    SetSioApplicationExceptionHandler(nullptr);
    SetRegistryFile("");
  }

  // Starts a modem on COM<com> that logs its commands.
  support::Simulator& StartModem(int com, std::vector<std::string> args = {}) {
    const std::string log = dir / ("modem" + std::to_string(com) + ".log");
    args.push_back("--log");
    args.push_back(log);
    sims.push_back(std::make_unique<support::Simulator>("modem-sim", std::move(args), com));
    logs.push_back(log);
    return *sims.back();
  }
  support::Simulator& Modem(std::size_t i = 0) { return *sims.at(i); }

  // A line on COM<com>, with short guard times so that hanging up is quick.
  static TTelephonyLine Line(const std::string& name, int com, bool voice = false) {
    TTelephonyLine l;
    l.Name = name;
    l.ComNumber = static_cast<std::uint16_t>(com);
    l.Init = "ATE0V1Q0S12=5";
    l.Voice = voice;
    l.EscapeGuardMs = 150;
    l.DialTimeoutS = 10;
    l.RingTimeoutMs = 3000;
    return l;
  }
  static void AddLine(const std::string& name, int com, bool voice = false) {
    WriteTelephonyLine(Line(name, com, voice));
  }

  // The modem's command log: (milliseconds, line).
  std::vector<std::pair<long, std::string>> ModemLog(std::size_t i = 0) const {
    std::vector<std::pair<long, std::string>> out;
    std::ifstream f(logs.at(i));
    for (std::string line; std::getline(f, line);) {
      const std::size_t sp = line.find(' ');
      if (sp == std::string::npos) continue;
      out.emplace_back(std::strtol(line.c_str(), nullptr, 10), line.substr(sp + 1));
    }
    return out;
  }
  std::vector<std::string> ModemCommands(std::size_t i = 0) const {
    std::vector<std::string> out;
    for (auto& [ms, text] : ModemLog(i))
      if (text.rfind("AT", 0) == 0) out.push_back(text);
    return out;
  }

  // Collects what the library hands to the application's exception handler.
  void CatchExceptions() {
    SetSioApplicationExceptionHandler([this](const std::exception& e) { exceptions.push_back(e.what()); });
  }

  support::TempDir dir{"tapi"};
  std::vector<std::unique_ptr<support::Simulator>> sims;
  std::vector<std::string> logs;
  std::vector<std::string> exceptions;
};

// Handles the window thread's messages until the condition holds (false after timeoutMs).
inline bool Pump(const std::function<bool()>& condition, int timeoutMs = 10000) {
  return PumpUntil(condition, static_cast<DWORD>(timeoutMs));
}
inline void PumpFor(int ms) {
  PumpUntil([] { return false; }, static_cast<DWORD>(ms));
}

}  // namespace tapitest
