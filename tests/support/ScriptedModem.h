#pragma once
// A modem played on the master side of a pseudo-terminal by a thread of its own: each command
// line the port sends is answered with what the script returns for it.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Pty.h"

namespace support {

class ScriptedModem {
 public:
  using Script = std::function<std::string(const std::string& command)>;
  explicit ScriptedModem(Script script) : script_(std::move(script)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedModem() {
    stop_ = true;
    thread_.join();
  }
  const std::string& Path() const { return pty_.path(); }
  void Send(const std::string& text) { pty_.Write(text); }
  std::vector<std::string> Commands() {
    std::lock_guard<std::mutex> g(m_);
    return commands_;
  }
  // Everything that came that was no command line (bytes after a dial, data).
  std::string Raw() {
    std::lock_guard<std::mutex> g(m_);
    return raw_;
  }
  // Waits until the command lines that came so far satisfy done; ms only keeps a test that
  // fails from hanging.
  bool WaitForCommands(const std::function<bool(const std::vector<std::string>&)>& done, int ms = 5000) {
    std::unique_lock<std::mutex> g(m_);
    return arrived_.wait_for(g, std::chrono::milliseconds(ms), [&] { return done(commands_); });
  }
  bool WaitForCommand(const std::string& c, int ms = 5000) {
    return WaitForCommands([&](const std::vector<std::string>& cs) { return std::ranges::count(cs, c) > 0; },
                           ms);
  }
  void SetScript(Script s) {
    std::lock_guard<std::mutex> g(m_);
    script_ = std::move(s);
  }

 private:
  void Run() {
    std::string line;
    char buf[512];
    while (!stop_) {
      pollfd p{pty_.master(), POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      ssize_t n = ::read(pty_.master(), buf, sizeof buf);
      for (ssize_t i = 0; i < n; ++i) {
        const char c = buf[i];
        {
          std::lock_guard<std::mutex> g(m_);
          raw_ += c;
        }
        if (c != '\r') {
          if (c != '\n') line += c;
          if (line.size() >= 3 && line.compare(line.size() - 3, 3, "+++") == 0) {  // escape to commands
            line.clear();
            pty_.Write("\r\nOK\r\n");
          }
          continue;
        }
        std::string reply;
        {
          std::lock_guard<std::mutex> g(m_);
          if (line.rfind("AT", 0) == 0) {
            commands_.push_back(line);
            arrived_.notify_all();
          }
          reply = script_ ? script_(line) : "";
        }
        line.clear();
        if (!reply.empty()) pty_.Write(reply);
      }
    }
  }

  support::PtyPair pty_;
  std::mutex m_;
  std::condition_variable arrived_;
  Script script_;
  std::vector<std::string> commands_;
  std::string raw_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace support
