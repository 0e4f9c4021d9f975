// Serial devices over the kernel's termios2 interface (standard rates by their constants, any
// other rate through BOTHER).
#include "platform/SerialDevice.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/Registry.h"

namespace {

int MakeEventFd() { return ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

void Signal(int efd) {
  if (efd < 0) return;
  std::uint64_t one = 1;
  ssize_t r = ::write(efd, &one, sizeof one);
  (void)r;
}

void Drain(int efd) {
  std::uint64_t v;
  ssize_t r = ::read(efd, &v, sizeof v);
  (void)r;
}

// The constant of a standard baud rate, 0 for any other rate.
tcflag_t StandardBaudCode(std::uint32_t baud) {
  static const struct {
    std::uint32_t rate;
    tcflag_t code;
  } rates[] = {{50, B50},           {75, B75},           {110, B110},         {134, B134},
               {150, B150},         {200, B200},         {300, B300},         {600, B600},
               {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
               {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
               {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
               {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
               {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
               {3500000, B3500000}, {4000000, B4000000}};
  for (const auto& r : rates)
    if (r.rate == baud) return r.code;
  return 0;
}

// The line has no modem lines, counters, ... : ENOTTY, EINVAL, ENOIOCTLCMD and relatives.
bool Unsupported(int err) { return err == ENOTTY || err == EINVAL || err == EOPNOTSUPP || err == ENOSYS; }

bool ParseComNumber(std::string_view name, int& n) {
  if (name.starts_with("\\\\.\\")) name.remove_prefix(4);
  if (name.size() < 4) return false;
  if (!((name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
        (name[2] == 'M' || name[2] == 'm')))
    return false;
  int v = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    char c = name[i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > 65535) return false;
  }
  if (v < 1) return false;
  n = v;
  return true;
}

}  // namespace

const char* const TSerialDevice::kPortMapKey = "\\Software\\Nordhaven\\SIO\\Ports";

TSerialDevice::TSerialDevice() {
  readWake_ = MakeEventFd();
  writeWake_ = MakeEventFd();
}

TSerialDevice::~TSerialDevice() {
  Close();
  if (readWake_ >= 0) ::close(readWake_);
  if (writeWake_ >= 0) ::close(writeWake_);
}

std::string TSerialDevice::PathForComNumber(int n) {
  std::string name = "COM" + std::to_string(n);
  std::string var = "SIO_" + name;
  if (const char* v = std::getenv(var.c_str()); v != nullptr && *v != '\0') return v;
  // The settings map a port to a device under "Software\Nordhaven\SIO\Ports", one string
  // value a port ("COM1"="/dev/ttyUSB0"). A settings file that cannot be read maps nothing.
  try {
    TRegistry reg;
    if (reg.OpenKeyReadOnly(kPortMapKey) && reg.ValueExists(name)) {
      std::string path = reg.ReadString(name);
      if (!path.empty()) return path;
    }
  } catch (const std::exception&) {
  }
  return "/dev/ttyS" + std::to_string(n - 1);
}

std::string TSerialDevice::PathForName(std::string_view name) {
  if (name.starts_with("/")) return std::string(name);
  int n = 0;
  if (!ParseComNumber(name, n)) return {};
  return PathForComNumber(n);
}

int TSerialDevice::Open(const std::string& path) {
  if (fd_ >= 0) return EBUSY;
  if (readWake_ < 0 || writeWake_ < 0) return EMFILE;
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  // Not shared: one user at a time, also against other processes of ours.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int e = errno;
    ::close(fd);
    return e == EWOULDBLOCK ? EBUSY : e;
  }
  if (::ioctl(fd, TIOCEXCL) != 0 && !Unsupported(errno)) {
    int e = errno;
    ::close(fd);
    return e;
  }
  fd_ = fd;
  locked_ = true;
  isSocket_ = false;
  path_ = path;
  int r = Prepare(true);
  if (r != 0) {
    Close();
    return r;
  }
  return 0;
}

int TSerialDevice::Adopt(int fd) {
  if (fd_ >= 0) return EBUSY;
  if (fd < 0) return EBADF;
  if (readWake_ < 0 || writeWake_ < 0) return EMFILE;
  int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0) return errno;
  if (::fcntl(fd, F_SETFL, fl | O_NONBLOCK) != 0) return errno;
  struct stat st;
  const bool socket = ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
  fd_ = fd;
  locked_ = false;
  isSocket_ = socket;
  path_.clear();
  // Byte-for-byte like any port; the line settings stay as the owner left them.
  return Prepare(true);
}

int TSerialDevice::Prepare(bool makeRaw) {  // makeRaw: no echo, no line editing, no translation
  hungUp_.store(false);
  hasLines_.store(-1);
  hasCounters_.store(-1);
  hasLsr_.store(-1);
  Drain(readWake_);
  Drain(writeWake_);
  if (isSocket_) return 0;  // nothing to set on a socket
  struct termios2 t;
  if (::ioctl(fd_, TCGETS2, &t) != 0) return errno;
  if (makeRaw) {
    t.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | IUCLC | IMAXBEL);
    t.c_iflag |= IGNPAR;
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN | ECHOE | ECHOK);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cflag &= ~HUPCL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::ioctl(fd_, TCSETS2, &t) != 0) return errno;
  }
  return 0;
}

int TSerialDevice::Close() {
  if (fd_ < 0) return 0;
  int r = 0;
  if (locked_) {
    ::ioctl(fd_, TIOCNXCL);
    ::flock(fd_, LOCK_UN);
  }
  if (::close(fd_) != 0) r = errno;
  fd_ = -1;
  locked_ = false;
  isSocket_ = false;
  return r;
}

int TSerialDevice::GetSettings(TSerialSettings& s) {
  if (fd_ < 0) return EBADF;
  struct termios2 t;
  if (::ioctl(fd_, TCGETS2, &t) != 0) return errno;
  s.baud = t.c_ospeed;
  switch (t.c_cflag & CSIZE) {
    case CS5:
      s.dataBits = 5;
      break;
    case CS6:
      s.dataBits = 6;
      break;
    case CS7:
      s.dataBits = 7;
      break;
    default:
      s.dataBits = 8;
      break;
  }
  if (!(t.c_cflag & PARENB)) {
    s.parity = 0;
  } else if (t.c_cflag & CMSPAR) {
    s.parity = (t.c_cflag & PARODD) ? 3 : 4;
  } else {
    s.parity = (t.c_cflag & PARODD) ? 1 : 2;
  }
  if (t.c_cflag & CSTOPB)
    s.stopBits = s.dataBits == 5 ? 1 : 2;
  else
    s.stopBits = 0;
  s.rtsCts = (t.c_cflag & CRTSCTS) != 0;
  s.xonXoffOut = (t.c_iflag & IXON) != 0;
  s.xonXoffIn = (t.c_iflag & IXOFF) != 0;
  s.xonChar = t.c_cc[VSTART];
  s.xoffChar = t.c_cc[VSTOP];
  return 0;
}

int TSerialDevice::SetSettings(const TSerialSettings& s) {
  if (fd_ < 0) return EBADF;
  if (s.baud == 0 || s.dataBits < 5 || s.dataBits > 8 || s.parity > 4 || s.stopBits > 2) return EINVAL;
  struct termios2 t;
  if (::ioctl(fd_, TCGETS2, &t) != 0) return errno;
  // A standard rate goes in as its constant, so that every other tool (stty) sees it too;
  // only the others need the arbitrary-rate form.
  const tcflag_t code = StandardBaudCode(s.baud);
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= code != 0 ? code : (BOTHER | (BOTHER << IBSHIFT));
  t.c_ospeed = s.baud;
  t.c_ispeed = s.baud;
  t.c_cflag &= ~CSIZE;
  static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= sizes[s.dataBits - 5];
  t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
  switch (s.parity) {
    case 1:
      t.c_cflag |= PARENB | PARODD;
      break;
    case 2:
      t.c_cflag |= PARENB;
      break;
    case 3:
      t.c_cflag |= PARENB | PARODD | CMSPAR;
      break;
    case 4:
      t.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (s.parity != 0) {
    t.c_iflag |= INPCK;
    t.c_iflag &= ~IGNPAR;
  } else {
    t.c_iflag &= ~INPCK;
  }
  if (s.stopBits != 0)
    t.c_cflag |= CSTOPB;
  else
    t.c_cflag &= ~CSTOPB;
  if (s.rtsCts)
    t.c_cflag |= CRTSCTS;
  else
    t.c_cflag &= ~CRTSCTS;
  t.c_iflag &= ~(IXON | IXOFF | IXANY);
  if (s.xonXoffOut) t.c_iflag |= IXON;
  if (s.xonXoffIn) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = s.xonChar;
  t.c_cc[VSTOP] = s.xoffChar;
  if (::ioctl(fd_, TCSETS2, &t) != 0) return errno;
  return 0;
}

ssize_t TSerialDevice::Read(void* buffer, std::size_t count) { return Read(buffer, count, nullptr, 0); }

ssize_t TSerialDevice::Read(void* first, std::size_t firstCount, void* second, std::size_t secondCount) {
  if (fd_ < 0) return -EBADF;
  iovec iov[2] = {{first, firstCount}, {second, secondCount}};
  const int pieces = secondCount != 0 ? 2 : 1;
  if (firstCount + secondCount == 0) return 0;
  // Even after a hang-up, whatever the driver still holds is read.
  if (isSocket_) {
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<std::size_t>(pieces);
    for (;;) {
      ssize_t n = ::recvmsg(fd_, &msg, MSG_DONTWAIT);
      if (n > 0) return n;
      if (n == 0) {  // the peer has closed the connection
        MarkHungUp();
        return 0;
      }
      int e = errno;
      if (e == EINTR) continue;
      if (e == EAGAIN) return 0;
      MarkHungUp();
      return -e;
    }
  }
  for (;;) {
    ssize_t n = pieces == 1 ? ::read(fd_, first, firstCount) : ::readv(fd_, iov, pieces);
    // With VMIN and VTIME 0 an empty queue reads as 0; a hang-up shows in poll (POLLHUP).
    if (n >= 0) return n;
    int e = errno;
    if (e == EINTR) continue;
    if (e == EAGAIN) return 0;
    if (e == EIO || e == ENXIO || e == ENODEV) MarkHungUp();
    return -e;
  }
}

ssize_t TSerialDevice::Write(const void* buffer, std::size_t count) {
  if (fd_ < 0) return -EBADF;
  if (count == 0) return 0;
  if (hungUp_.load(std::memory_order_relaxed)) return -EIO;
  if (isSocket_) {
    for (;;) {
      ssize_t n = ::send(fd_, buffer, count, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n >= 0) return n;
      int e = errno;
      if (e == EINTR) continue;
      if (e == EAGAIN) return 0;
      if (e == EPIPE || e == ECONNRESET || e == ENOTCONN) MarkHungUp();
      return -e;
    }
  }
  for (;;) {
    ssize_t n = ::write(fd_, buffer, count);
    if (n >= 0) return n;
    int e = errno;
    if (e == EINTR) continue;
    if (e == EAGAIN) return 0;
    if (e == EIO || e == ENXIO || e == ENODEV) MarkHungUp();
    return -e;
  }
}

int TSerialDevice::InputQueued() {
  int n = 0;
  if (fd_ < 0 || ::ioctl(fd_, FIONREAD, &n) != 0) return 0;
  return n < 0 ? 0 : n;
}

int TSerialDevice::OutputQueued() {
  int n = 0;
  if (fd_ < 0 || ::ioctl(fd_, TIOCOUTQ, &n) != 0) return 0;
  return n < 0 ? 0 : n;
}

int TSerialDevice::WaitOn(int wakeFd, short events, int timeoutMs, int readyBit) {
  struct pollfd p[2];
  p[0].fd = wakeFd;
  p[0].events = POLLIN;
  p[0].revents = 0;
  // After a hang-up the descriptor would report itself ready for ever: leave it out.
  p[1].fd = (fd_ >= 0 && !hungUp_.load(std::memory_order_relaxed)) ? fd_ : -1;
  // A socket's peer that closes shows as its read side hanging up.
  p[1].events = static_cast<short>(events | (isSocket_ && (events & POLLIN) ? POLLRDHUP : 0));
  p[1].revents = 0;
  int r;
  do {
    r = ::poll(p, 2, timeoutMs);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return 0;
  int mask = 0;
  if (p[0].revents & POLLIN) {
    Drain(wakeFd);
    mask |= WaitWoken;
  }
  if (p[1].revents & (POLLHUP | POLLERR | POLLNVAL | POLLRDHUP)) {
    MarkHungUp();
    mask |= WaitHangup;
  }
  if (p[1].revents & events) mask |= readyBit;
  return mask;
}

int TSerialDevice::WaitReadable(int timeoutMs, bool watchData) {
  return WaitOn(readWake_, watchData ? POLLIN : 0, timeoutMs, WaitData);
}

void TSerialDevice::WakeReader() { Signal(readWake_); }

bool TSerialDevice::WaitInput(int timeoutMs) {
  if (fd_ < 0 || hungUp_.load(std::memory_order_relaxed)) return false;
  struct pollfd p;
  p.fd = fd_;
  p.events = static_cast<short>(POLLIN | (isSocket_ ? POLLRDHUP : 0));
  p.revents = 0;
  int r = ::poll(&p, 1, timeoutMs);
  if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL | POLLRDHUP))) {
    MarkHungUp();
    return isSocket_ && InputQueued() > 0;  // what the peer sent before it closed
  }
  return r > 0 && (p.revents & POLLIN);
}

int TSerialDevice::WaitWritable(int timeoutMs) {
  return WaitOn(writeWake_, POLLOUT, timeoutMs, WaitWritable_);
}

void TSerialDevice::WakeWriter() { Signal(writeWake_); }

bool TSerialDevice::WaitSent(int timeoutMs, std::uint32_t baud) {
  if (fd_ < 0) return false;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  if (baud == 0) baud = 9600;
  // Wait for the driver's queue in steps of about the time its content needs.
  for (;;) {
    if (hungUp_.load(std::memory_order_relaxed)) return false;
    int queued = OutputQueued();
    if (queued == 0) break;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    long step = static_cast<long>((static_cast<std::uint64_t>(queued) * 10000u) / baud) + 1;
    if (step > 50) step = 50;
    if (step > left) step = static_cast<long>(left);
    if (WaitWritableWake(static_cast<int>(step))) return false;
  }
  // Then for the transmitter itself (the UART's shift register and FIFO).
  if (hasLsr_.load(std::memory_order_relaxed) != 0) {
    for (;;) {
      unsigned lsr = 0;
      if (::ioctl(fd_, TIOCSERGETLSR, &lsr) != 0) {
        if (Unsupported(errno)) hasLsr_.store(0);
        break;
      }
      hasLsr_.store(1);
      if (lsr & TIOCSER_TEMT) return true;
      if (Clock::now() >= deadline) return false;
      if (WaitWritableWake(1)) return false;
    }
  }
  return true;
}

bool TSerialDevice::WaitWritableWake(int ms) {
  struct pollfd p;
  p.fd = writeWake_;
  p.events = POLLIN;
  p.revents = 0;
  int r = ::poll(&p, 1, ms);
  if (r > 0 && (p.revents & POLLIN)) {
    Drain(writeWake_);
    return true;
  }
  return false;
}

bool TSerialDevice::HungUp() const { return hungUp_.load(std::memory_order_acquire); }

void TSerialDevice::MarkHungUp() { hungUp_.store(true, std::memory_order_release); }

bool TSerialDevice::HasModemLines() {
  if (hasLines_.load(std::memory_order_relaxed) < 0) {
    unsigned l;
    GetModemLines(l);
  }
  return hasLines_.load(std::memory_order_relaxed) == 1;
}

int TSerialDevice::GetModemLines(unsigned& lines) {
  lines = 0;
  if (fd_ < 0) return EBADF;
  if (hasLines_.load(std::memory_order_relaxed) == 0 || hungUp_.load(std::memory_order_relaxed)) return 0;
  int m = 0;
  if (::ioctl(fd_, TIOCMGET, &m) != 0) {
    int e = errno;
    if (Unsupported(e)) {
      hasLines_.store(0);
      return 0;
    }
    if (e == EIO || e == ENXIO || e == ENODEV) {
      MarkHungUp();
      return 0;
    }
    return e;
  }
  hasLines_.store(1);
  if (m & TIOCM_CTS) lines |= kSerialCTS;
  if (m & TIOCM_DSR) lines |= kSerialDSR;
  if (m & TIOCM_RI) lines |= kSerialRI;
  if (m & TIOCM_CD) lines |= kSerialDCD;
  if (m & TIOCM_DTR) lines |= kSerialDTR;
  if (m & TIOCM_RTS) lines |= kSerialRTS;
  return 0;
}

int TSerialDevice::SetModemLine(unsigned line, bool on) {
  if (fd_ < 0) return EBADF;
  int bits = 0;
  if (line & kSerialDTR) bits |= TIOCM_DTR;
  if (line & kSerialRTS) bits |= TIOCM_RTS;
  if (bits == 0) return EINVAL;
  if (hasLines_.load(std::memory_order_relaxed) == 0 || hungUp_.load(std::memory_order_relaxed)) return 0;
  if (::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits) != 0) {
    int e = errno;
    if (Unsupported(e)) {
      hasLines_.store(0);
      return 0;
    }
    if (e == EIO || e == ENXIO || e == ENODEV) {
      MarkHungUp();
      return 0;
    }
    return e;
  }
  return 0;
}

int TSerialDevice::SetBreak(bool on) {
  if (fd_ < 0) return EBADF;
  if (::ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) != 0) {
    int e = errno;
    return Unsupported(e) ? 0 : e;
  }
  return 0;
}

int TSerialDevice::Flush(bool input, bool output) {
  if (fd_ < 0) return EBADF;
  if (isSocket_) {
    // What has arrived is discarded; what was sent has left already.
    char scratch[4096];
    while (input &&
           ::recv(fd_, scratch, sizeof scratch, MSG_DONTWAIT) == static_cast<ssize_t>(sizeof scratch)) {
    }
    return 0;
  }
  int how = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
  if (!input && !output) return 0;
  if (::ioctl(fd_, TCFLSH, how) != 0) {
    int e = errno;
    // A device that went away has nothing left to purge.
    if (e == EIO && hungUp_.load()) return 0;
    return e;
  }
  return 0;
}

int TSerialDevice::GetErrorCounts(TSerialErrorCounts& c) {
  c = {};
  if (fd_ < 0) return EBADF;
  if (hasCounters_.load(std::memory_order_relaxed) == 0 || hungUp_.load(std::memory_order_relaxed)) return 0;
  struct serial_icounter_struct ic;
  std::memset(&ic, 0, sizeof ic);
  if (::ioctl(fd_, TIOCGICOUNT, &ic) != 0) {
    int e = errno;
    if (Unsupported(e)) {
      hasCounters_.store(0);
      return 0;
    }
    return e;
  }
  hasCounters_.store(1);
  c.overrun = static_cast<std::uint32_t>(ic.overrun);
  c.bufOverrun = static_cast<std::uint32_t>(ic.buf_overrun);
  c.parity = static_cast<std::uint32_t>(ic.parity);
  c.frame = static_cast<std::uint32_t>(ic.frame);
  c.brk = static_cast<std::uint32_t>(ic.brk);
  return 0;
}

bool TSerialDevice::SetRS485(bool on) {
  if (fd_ < 0) return false;
  struct serial_rs485 rs;
  std::memset(&rs, 0, sizeof rs);
  if (::ioctl(fd_, TIOCGRS485, &rs) != 0) return false;
  if (on) {
    rs.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    rs.flags &= ~SER_RS485_RTS_AFTER_SEND;
  } else {
    rs.flags &= ~SER_RS485_ENABLED;
  }
  return ::ioctl(fd_, TIOCSRS485, &rs) == 0;
}
