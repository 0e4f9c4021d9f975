#pragma once
// A pseudo-terminal pair in raw mode: the slave's path is what a port opens (SIO_COM<n>), the
// master is the far end that a test reads and writes.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace support {

class PtyPair {
 public:
  // keepSlave: hold the slave open too, so that the master never sees a hang-up while the
  // port under test is closed.
  explicit PtyPair(bool nonBlockingMaster = true, bool keepSlave = true) {
    char name[128] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    path_ = name;
    termios t{};
    ::tcgetattr(slave_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave_, TCSANOW, &t);
    if (nonBlockingMaster) ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    if (!keepSlave) CloseSlave();
  }
  ~PtyPair() {
    CloseSlave();
    if (master_ >= 0) ::close(master_);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  int master() const { return master_; }
  int slave() const { return slave_; }
  const std::string& path() const { return path_; }
  void CloseSlave() {
    if (slave_ >= 0) ::close(slave_);
    slave_ = -1;
  }
  // Maps COM<n> to the slave for the port layer.
  void MapTo(int com) const { ::setenv(("SIO_COM" + std::to_string(com)).c_str(), path_.c_str(), 1); }

  // Writes all of data to the master, waiting while the pty is full.
  bool Write(const std::string& data) const {
    std::size_t done = 0;
    while (done < data.size()) {
      ssize_t w = ::write(master_, data.data() + done, data.size() - done);
      if (w > 0) {
        done += static_cast<std::size_t>(w);
      } else {
        pollfd p{master_, POLLOUT, 0};
        if (::poll(&p, 1, 2000) <= 0) return false;
      }
    }
    return true;
  }
  // Reads from the master until `want` bytes have come or nothing came for `quietMs`.
  std::string Read(std::size_t want, int quietMs = 2000) const {
    std::string got;
    char buf[4096];
    while (got.size() < want) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, quietMs) <= 0) break;
      ssize_t r = ::read(master_, buf, sizeof buf);
      if (r <= 0) break;
      got.append(buf, static_cast<std::size_t>(r));
    }
    return got;
  }

 private:
  int master_ = -1, slave_ = -1;
  std::string path_;
};

}  // namespace support
