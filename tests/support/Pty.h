#pragma once
// A pseudo-terminal pair in raw mode: the slave's path is what a port opens (SIO_COM<n>), the
// master is the far end that a test reads and writes.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace support {

// The line settings as the kernel holds them, speeds included (what `stty -F` shows). The
// fields carry the kernel's names, so the flags of <termios.h> test them.
struct LineSettings {
  std::uint32_t c_iflag, c_oflag, c_cflag, c_lflag;
  std::uint8_t c_line;
  std::uint8_t c_cc[19];
  std::uint32_t c_ispeed, c_ospeed;
};

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
    Unmap();
    CloseSlave();
    CloseMaster();
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
  // The far end goes away: the port sees its line hang up.
  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  // Maps COM<n> to the slave for the port layer, until the pair ends (or another pair takes
  // the number over).
  void MapTo(int com) {
    Unmap();
    mapped_ = com;
    ::setenv(Variable(com).c_str(), path_.c_str(), 1);
  }

  // Writes all of data to the master, waiting while the pty is full.
  bool Write(const std::string& data) const { return Write(data.data(), data.size()); }
  bool Write(const void* bytes, std::size_t size) const {
    const char* data = static_cast<const char*>(bytes);
    std::size_t done = 0;
    while (done < size) {
      ssize_t w = ::write(master_, data + done, size - done);
      if (w > 0) {
        done += static_cast<std::size_t>(w);
      } else {
        if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd p{master_, POLLOUT, 0};
        if (::poll(&p, 1, 2000) <= 0) return false;
      }
    }
    return true;
  }
  // Reads from the master until `want` bytes have come (never more) or nothing came for
  // `quietMs`.
  std::string Read(std::size_t want, int quietMs = 2000) const {
    std::string got;
    char buf[65536];
    while (got.size() < want) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, quietMs) <= 0) break;
      const std::size_t room = want - got.size() < sizeof buf ? want - got.size() : sizeof buf;
      ssize_t r = ::read(master_, buf, room);
      if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (r <= 0) break;
      got.append(buf, static_cast<std::size_t>(r));
    }
    return got;
  }
  // Everything that arrives until the line has been quiet for quietMs.
  std::string ReadQuiet(int quietMs) const { return Read(static_cast<std::size_t>(-1), quietMs); }

  // The line settings that the port under test has set on the slave.
  LineSettings Settings() const {
    LineSettings s{};
    ::ioctl(master_, _IOR('T', 0x2A, LineSettings), &s);  // TCGETS2
    return s;
  }

 private:
  static std::string Variable(int com) { return "SIO_COM" + std::to_string(com); }
  void Unmap() {
    if (mapped_ <= 0) return;
    const char* now = std::getenv(Variable(mapped_).c_str());
    if (now && path_ == now) ::unsetenv(Variable(mapped_).c_str());
    mapped_ = 0;
  }

  int master_ = -1, slave_ = -1;
  int mapped_ = 0;
  std::string path_;
};

}  // namespace support
