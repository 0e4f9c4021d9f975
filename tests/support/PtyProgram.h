#pragma once
// A program run on a pseudo-terminal of its own (as a shell runs it in a terminal), its
// terminal relayed to a line: the far end of a PtyPair whose near end a port opens. So a
// terminal under test sits on one end of the line and the program (vttest, a shell) on the
// other, with a real controlling terminal of the given size.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace support {

class PtyProgram {
 public:
  // line: the descriptor to relay to (a PtyPair's master). The program gets TERM=term.
  PtyProgram(const std::string& program, std::vector<std::string> args, int line, int rows = 24,
             int cols = 80, const std::string& term = "vt100")
      : line_(line) {
    winsize ws{};
    ws.ws_row = static_cast<unsigned short>(rows);
    ws.ws_col = static_cast<unsigned short>(cols);
    termios t{};
    cfmakeraw(&t);
    pid_ = ::forkpty(&master_, nullptr, nullptr, &ws);
    if (pid_ < 0) throw std::runtime_error("forkpty");
    if (pid_ == 0) {
      ::setenv("TERM", term.c_str(), 1);
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execvp(program.c_str(), argv.data());
      ::_exit(127);
    }
    thread_ = std::thread([this] { Relay(); });
  }
  ~PtyProgram() {
    stop_ = true;
    thread_.join();
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) ::close(master_);
  }
  PtyProgram(const PtyProgram&) = delete;
  PtyProgram& operator=(const PtyProgram&) = delete;

  // Everything the program has written so far.
  std::string Output() {
    std::lock_guard<std::mutex> g(m_);
    return output_;
  }
  // Everything that reached the program from the line so far.
  std::string Input() {
    std::lock_guard<std::mutex> g(m_);
    return input_;
  }

 private:
  static bool WriteAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
      ssize_t w = ::write(fd, p, n);
      if (w > 0) {
        p += w;
        n -= static_cast<std::size_t>(w);
      } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
        return false;
      } else {
        pollfd q{fd, POLLOUT, 0};
        ::poll(&q, 1, 50);
      }
    }
    return true;
  }
  void Relay() {
    char buf[4096];
    while (!stop_) {
      pollfd p[2] = {{master_, POLLIN, 0}, {line_, POLLIN, 0}};
      if (::poll(p, 2, 20) <= 0) continue;
      if (p[0].revents & POLLIN) {
        ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0) {
          {
            std::lock_guard<std::mutex> g(m_);
            output_.append(buf, static_cast<std::size_t>(n));
          }
          WriteAll(line_, buf, static_cast<std::size_t>(n));
        }
      } else if (p[0].revents & (POLLHUP | POLLERR)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      if (p[1].revents & POLLIN) {
        ssize_t n = ::read(line_, buf, sizeof buf);
        if (n > 0) {
          {
            std::lock_guard<std::mutex> g(m_);
            input_.append(buf, static_cast<std::size_t>(n));
          }
          WriteAll(master_, buf, static_cast<std::size_t>(n));
        }
      }
    }
  }

  int line_;
  int master_ = -1;
  pid_t pid_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex m_;
  std::string output_, input_;
};

}  // namespace support
