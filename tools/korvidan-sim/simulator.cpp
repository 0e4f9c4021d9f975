#include "simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>

namespace ksim {
namespace {

constexpr long long kMs = 1000;
constexpr long long kQuietAfterRxUs = 400 * kMs;       // no value output while the PC talks
constexpr long long kWriteIdleTimeoutUs = 5000 * kMs;  // a programming write that stalls is dropped
constexpr long long kByteTimeUs = 1042;                // 10 bits at 9600 baud

volatile sig_atomic_t g_stopSignal = 0;
extern "C" void onStopSignal(int) { g_stopSignal = 1; }

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, sep)) parts.push_back(part);
  if (!text.empty() && text.back() == sep) parts.emplace_back();
  return parts;
}

// "\r", "\n", "\t", "\\" and "\xHH" in a text to send.
std::string unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    const char e = text[++i];
    if (e == 'r')
      out += '\r';
    else if (e == 'n')
      out += '\n';
    else if (e == 't')
      out += '\t';
    else if (e == 'x' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
             std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else
      out += e;
  }
  return out;
}

// The wall clock, which the drift's day follows.
double UnixSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string formatValue(const Sensor& s) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%g", s.value);
  return buf;
}

}  // namespace

long long nowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool parseNumber(const std::string& text, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text.c_str(), &end);  // the "C" locale: this program never changes it
  return errno == 0 && end && *end == '\0' && std::isfinite(value);
}

bool parseInt(const std::string& text, long long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoll(text.c_str(), &end, 10);
  return errno == 0 && end && *end == '\0';
}

int parseVersion(const std::string& text) {
  double v = 0;
  if (!parseNumber(text, v)) return -1;
  const long long hundredths = text.find('.') != std::string::npos ? std::llround(v * 100) : std::llround(v);
  return hundredths >= 100 && hundredths <= 999 ? static_cast<int>(hundredths) : -1;
}

std::string applySensorSpec(std::vector<Controller>& controllers, const std::string& spec) {
  const std::vector<std::string> f = split(spec, ':');
  if (f.size() != 3 && f.size() != 4) return "sensor wants ADDR:NUM:KIND:VALUE or ADDR:NUM:VALUE: " + spec;
  long long addr = 0, number = 0;
  if (!parseInt(f[0], addr)) return "bad address: " + f[0];
  if (!parseInt(f[1], number) || number < 1 || number > 8) return "sensor number must be 1..8: " + f[1];
  Controller* c = nullptr;
  for (Controller& k : controllers)
    if (k.address == addr) c = &k;
  if (!c) return "no controller at address " + f[0];
  Sensor s;
  s.number = static_cast<int>(number);
  if (f.size() == 4) {
    const auto kind = parseSensorKind(f[2]);
    if (!kind) return "unknown sensor kind: " + f[2];
    s.kind = *kind;
  } else if (const Sensor* existing = c->findSensor(s.number)) {
    s.kind = existing->kind;
  } else {
    return "sensor " + f[1] + " does not exist; give its kind";
  }
  if (!parseNumber(f.back(), s.value)) return "bad value: " + f.back();
  c->setSensor(s);
  return {};
}

Simulator::Simulator(SimOptions options)
    : opt_(std::move(options)), ctrls_(opt_.controllers), rng_(opt_.seed) {}

Simulator::~Simulator() {
  if (master_ >= 0) ::close(master_);
  if (fifo_ >= 0) ::close(fifo_);
  if (fifoKeeper_ >= 0) ::close(fifoKeeper_);
}

void Simulator::log(const std::string& text) const {
  if (opt_.verbose) std::fprintf(stderr, "korvidan-sim: %s\n", text.c_str());
}

bool Simulator::openPty() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    std::fprintf(stderr, "korvidan-sim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
    return false;
  }
  char name[256];
  if (ptsname_r(master_, name, sizeof name) != 0) {
    std::fprintf(stderr, "korvidan-sim: ptsname: %s\n", std::strerror(errno));
    return false;
  }
  slavePath_ = name;
  termios t{};
  if (tcgetattr(master_, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
  }
  // Raw 8N1 at a nominal 9600 baud on the port side; the settings stay with the terminal when
  // the port is closed and opened again.
  const int slave = ::open(name, O_RDWR | O_NOCTTY);
  if (slave < 0) {
    std::fprintf(stderr, "korvidan-sim: cannot open %s: %s\n", name, std::strerror(errno));
    return false;
  }
  if (tcgetattr(slave, &t) == 0) {
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(slave, TCSANOW, &t);
  }
  ::close(slave);  // from now on the master reports a hang-up until the port is opened
  return true;
}

void Simulator::checkConnection() {
  pollfd p{master_, POLLIN, 0};
  if (::poll(&p, 1, 0) < 0) return;
  const bool hangup = (p.revents & POLLHUP) != 0;
  if (!connected_ && !hangup)
    connect();
  else if (connected_ && hangup && !(p.revents & POLLIN))
    disconnect();
}

void Simulator::connect() {
  connected_ = true;
  tcflush(master_, TCOFLUSH);
  line_.clear();
  lineOverflow_ = false;
  const long long now = nowUs();
  for (std::size_t i = 0; i < ctrls_.size(); ++i)
    ctrls_[i].nextOutputUs = now + 50 * kMs + static_cast<long long>(i) * 300 * kMs;
  log("port opened");
}

void Simulator::disconnect() {
  connected_ = false;
  queue_.clear();
  haveCurrent_ = false;
  wantWrite_ = false;
  line_.clear();
  for (Controller& c : ctrls_) c.receiver.stop();
  log("port closed");
}

long long Simulator::periodUs(const Controller& c) const {
  const double seconds = opt_.periodSeconds > 0 ? opt_.periodSeconds : c.displayIntervalSeconds();
  return std::max<long long>(10 * kMs, std::llround(seconds * 1e6));
}

Drift Simulator::driftOf(const Controller& c) const { return {!opt_.fixedValues, opt_.seed, c.address}; }

bool Simulator::canPrintValues(long long now) const {
  if (!connected_ || opt_.disturbance.silent || haveCurrent_ || !queue_.empty()) return false;
  if (now - lastRxUs_ < kQuietAfterRxUs) return false;
  for (const Controller& c : ctrls_)
    if (c.receiver.active()) return false;
  return true;
}

void Simulator::scheduleValues(long long now) {
  for (std::size_t i = 0; i < ctrls_.size(); ++i) {
    Controller& c = ctrls_[i];
    if (now < c.nextOutputUs) continue;
    if (!connected_ || opt_.disturbance.silent) {
      c.nextOutputUs = now + periodUs(c);
    } else if (!canPrintValues(now)) {
      c.nextOutputUs = now + 50 * kMs;  // the bus is busy; try again shortly
    } else {
      const Drift d = driftOf(c);
      const std::string block =
          formatValueBlock(d.on ? sensorsAt(c.sensors, UnixSeconds(), d.seed, d.address) : c.sensors);
      if (!block.empty()) enqueue({{block, 0}}, static_cast<int>(i), false);
      c.nextOutputUs = now + periodUs(c);
    }
  }
}

void Simulator::checkReceiveTimeout(long long now) {
  for (Controller& c : ctrls_) {
    if (c.receiver.active() && now - lastWriteByteUs_ > kWriteIdleTimeoutUs) {
      log("programming write stalled after " + std::to_string(c.receiver.received()) + " of " +
          std::to_string(ProgramReceiver::kTotalChars) + " characters; dropped");
      c.receiver.stop();
    }
  }
}

std::string Simulator::withGarbage(const std::string& bytes) {
  if (opt_.disturbance.garbagePercent <= 0) return bytes;
  std::uniform_real_distribution<double> chance(0.0, 100.0);
  std::uniform_int_distribution<int> byte(0, 255);
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 8);
  for (char c : bytes) {
    if (chance(rng_) < opt_.disturbance.garbagePercent) out += static_cast<char>(byte(rng_));
    out += c;
  }
  return out;
}

void Simulator::enqueue(const std::vector<Segment>& segments, int owner, bool reply) {
  for (const Segment& s : segments) queue_.push_back({s, owner, reply});
}

bool Simulator::busyReplying(int owner) const {
  if (haveCurrent_ && current_.reply && current_.owner == owner) return true;
  return std::any_of(queue_.begin(), queue_.end(),
                     [owner](const Queued& q) { return q.reply && q.owner == owner; });
}

void Simulator::pumpOutput(long long now) {
  const Disturbance& d = opt_.disturbance;
  while (connected_) {
    if (!haveCurrent_) {
      if (queue_.empty()) return;
      current_ = std::move(queue_.front());
      queue_.pop_front();
      current_.segment.bytes = withGarbage(current_.segment.bytes);
      currentPos_ = 0;
      haveCurrent_ = true;
      writeAtUs_ = std::max(writeAtUs_, now) + current_.segment.delayMs * kMs;
    }
    if (now < writeAtUs_) return;
    const std::string& bytes = current_.segment.bytes;
    std::size_t n = bytes.size() - currentPos_;
    if (d.chunkMax > 0) n = std::min<std::size_t>(n, std::uniform_int_distribution<int>(1, d.chunkMax)(rng_));
    if (d.pace) n = std::min<std::size_t>(n, 8);
    const ssize_t w = n ? ::write(master_, bytes.data() + currentPos_, n) : 0;
    if (w < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK)
        wantWrite_ = true;
      else if (errno != EINTR)
        disconnect();
      return;
    }
    wantWrite_ = false;
    currentPos_ += static_cast<std::size_t>(w);
    if (d.pace) writeAtUs_ = std::max(writeAtUs_, now) + w * kByteTimeUs;
    if (d.chunkMax > 0 && currentPos_ < bytes.size())
      writeAtUs_ = std::max(writeAtUs_, now + d.chunkPauseMs * kMs);
    if (currentPos_ >= bytes.size()) haveCurrent_ = false;
  }
}

void Simulator::readBus(long long now) {
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(master_, buf, sizeof buf);
    if (n > 0) {
      lastRxUs_ = now;
      for (ssize_t i = 0; i < n; ++i) onBusByte(buf[i], now);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    disconnect();  // EIO: the port was closed
    return;
  }
}

void Simulator::onBusByte(char c, long long now) {
  Controller& answering = ctrls_.front();
  if (answering.receiver.active()) {
    lastWriteByteUs_ = now;
    switch (answering.receiver.feed(c)) {
      case ProgramReceiver::Status::Pending:
        break;
      case ProgramReceiver::Status::Complete:
        finishWrite(answering);
        break;
      case ProgramReceiver::Status::Interrupted: {
        const char letter = answering.receiver.interruptingRequest;
        log("programming write interrupted by request D" + std::string(1, letter));
        answering.receiver.stop();
        onRequest(letter, now);
        break;
      }
    }
    return;
  }
  if (c == '\n' || c == '\r') {
    if (!lineOverflow_) handleLine(line_, now);
    line_.clear();
    lineOverflow_ = false;
  } else if (line_.size() < 128) {
    line_ += c;
  } else {
    lineOverflow_ = true;
  }
}

Controller* Simulator::controllerAt(int address) {
  for (Controller& c : ctrls_)
    if (c.address == address) return &c;
  return nullptr;
}

void Simulator::handleLine(const std::string& line, long long now) {
  if (line.empty()) return;
  if (line.size() == 2 && line[0] == 'D' && std::strchr("VRGS", line[1])) {
    onRequest(line[1], now);
    return;
  }
  // Rename: "$", two hex digits of the address, "6", the name (ended by the carriage return).
  if (line[0] == '$' && line.size() >= 4 && hexDigit(line[1]) >= 0 && hexDigit(line[2]) >= 0 &&
      line[3] == '6') {
    const int address = hexDigit(line[1]) * 16 + hexDigit(line[2]);
    if (Controller* c = controllerAt(address)) {
      c->name = line.substr(4, 24);
      log("controller " + std::to_string(address) + " renamed to " + c->name);
    } else {
      log("rename for address " + std::to_string(address) + ": no such controller");
    }
    return;
  }
  log("ignored: " + line);
}

void Simulator::onRequest(char letter, long long now) {
  log(std::string("request D") + letter);
  if (opt_.disturbance.silent) return;
  Controller& c = ctrls_.front();
  if (busyReplying(0)) {
    log("busy, request ignored");
    return;
  }
  const ReplyTiming& t = opt_.timing;
  switch (letter) {
    case 'V':
      enqueue({{versionReply(c.version), t.reactionMs}}, 0, true);
      break;
    case 'R':
      if (c.clock) setClock(c.memory.image, static_cast<long long>(std::time(nullptr)));
      enqueue(dumpReply(c.memory, c.version, t), 0, true);
      break;
    case 'S':
      enqueue(listingReply(c.sensors, opt_.storedRows, c.storageIntervalSeconds(),
                           static_cast<long long>(std::time(nullptr)), t, driftOf(c)),
              0, true);
      break;
    case 'G':
      enqueue({{"Receive Start\r\n", t.reactionMs}}, 0, true);
      c.receiver.start();
      lastWriteByteUs_ = now;
      break;
    default:
      break;
  }
}

void Simulator::finishWrite(Controller& c) {
  const ProgramReceiver::Result r = c.receiver.evaluate();
  c.receiver.stop();
  char pair[8];
  std::snprintf(pair, sizeof pair, "%02X", r.checksum);
  enqueue({{std::string(pair) + "CheckSum\r\n", opt_.timing.reactionMs}}, 0, true);
  if (!r.consistent) {
    log(std::string("programming write with checksum ") + pair + ": checksum pairs do not match, not stored");
    return;
  }
  c.memory.image = fromBusOrder(r.busMemory.image, c.version);
  c.memory.sockets = r.busMemory.sockets;
  log(std::string("programming write stored, checksum ") + pair);
  if (!c.savePath.empty()) {
    const std::string error = savePrgFile(c.savePath, c.memory);
    if (!error.empty()) std::fprintf(stderr, "korvidan-sim: %s\n", error.c_str());
  }
}

std::string Simulator::status() {
  std::string out;
  char buf[160];
  const Disturbance& d = opt_.disturbance;
  std::snprintf(buf, sizeof buf, "bus %s connected=%d silent=%d pace=%d chunk=%d:%d garbage=%g\n",
                slavePath_.c_str(), connected_ ? 1 : 0, d.silent ? 1 : 0, d.pace ? 1 : 0, d.chunkMax,
                d.chunkPauseMs, d.garbagePercent);
  out += buf;
  for (const Controller& c : ctrls_) {
    std::snprintf(buf, sizeof buf, "controller %d version=%d period=%g name=", c.address, c.version,
                  static_cast<double>(periodUs(c)) / 1e6);
    out += buf + c.name + "\n";
    for (const Sensor& s : c.sensors)
      out += "sensor " + std::to_string(c.address) + ":" + std::to_string(s.number) + " " +
             sensorKindName(s.kind) + " " + formatValue(s) + "\n";
  }
  return out;
}

std::string Simulator::command(const std::string& raw) {
  std::string line = raw;
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  const std::size_t space = line.find(' ');
  const std::string verb = line.substr(0, space);
  const std::string arg = space == std::string::npos ? "" : line.substr(space + 1);
  const std::vector<std::string> args = split(arg, ' ');
  auto error = [](const std::string& why) { return "error: " + why + "\n"; };
  auto onOff = [&](bool& flag) {
    if (arg == "on")
      flag = true;
    else if (arg == "off")
      flag = false;
    else
      return error("want on or off");
    return std::string("ok\n");
  };
  Disturbance& d = opt_.disturbance;

  if (verb.empty()) return "";
  if (verb == "status") return status() + "ok\n";
  if (verb == "set") {
    const std::string why = applySensorSpec(ctrls_, arg);
    return why.empty() ? "ok\n" : error(why);
  }
  if (verb == "remove") {
    const std::vector<std::string> f = split(arg, ':');
    long long a = 0, n = 0;
    Controller* c =
        f.size() == 2 && parseInt(f[0], a) && parseInt(f[1], n) ? controllerAt(static_cast<int>(a)) : nullptr;
    return c && c->removeSensor(static_cast<int>(n)) ? "ok\n" : error("no such sensor: " + arg);
  }
  if (verb == "version") {
    long long a = 0;
    Controller* c = args.size() == 2 && parseInt(args[0], a) ? controllerAt(static_cast<int>(a)) : nullptr;
    const int v = args.size() == 2 ? parseVersion(args[1]) : -1;
    if (!c || v < 0) return error("want: version ADDR VERSION");
    c->version = v;
    return "ok\n";
  }
  if (verb == "period") {
    double s = 0;
    if (arg == "auto")
      s = 0;
    else if (!parseNumber(arg, s) || s < 0.01)
      return error("want seconds (at least 0.01) or auto");
    opt_.periodSeconds = s;
    const long long now = nowUs();
    for (Controller& c : ctrls_) c.nextOutputUs = std::min(c.nextOutputUs, now + periodUs(c));
    return "ok\n";
  }
  if (verb == "silent") {
    std::string answer = onOff(d.silent);
    if (d.silent) {
      queue_.clear();
      haveCurrent_ = false;
    }
    return answer;
  }
  if (verb == "pace") return onOff(d.pace);
  if (verb == "chunk") {
    long long max = 0, pause = d.chunkPauseMs;
    if (arg == "off")
      max = 0;
    else if (args.empty() || args.size() > 2 || !parseInt(args[0], max) || max < 0 ||
             (args.size() == 2 && (!parseInt(args[1], pause) || pause < 0)))
      return error("want: chunk MAX [PAUSE_MS] or chunk off");
    d.chunkMax = static_cast<int>(std::min<long long>(max, INT_MAX));
    d.chunkPauseMs = static_cast<int>(std::min<long long>(pause, 60000));
    return "ok\n";
  }
  if (verb == "garbage") {
    double p = 0;
    if (!parseNumber(arg, p) || p < 0 || p > 100) return error("want a percentage 0..100");
    d.garbagePercent = p;
    return "ok\n";
  }
  if (verb == "send") {
    if (!connected_) return error("port not open");
    enqueue({{unescape(arg), 0}}, -1, false);
    return "ok\n";
  }
  if (verb == "quit") {
    stop_ = true;
    return "ok\n";
  }
  return error("unknown command: " + verb);
}

void Simulator::readControl(int fd, std::string& pending, bool& eof) {
  char buf[1024];
  const ssize_t n = ::read(fd, buf, sizeof buf);
  if (n == 0) {
    eof = true;
    return;
  }
  if (n < 0) return;
  pending.append(buf, static_cast<std::size_t>(n));
  std::size_t nl;
  while ((nl = pending.find('\n')) != std::string::npos) {
    const std::string answer = command(pending.substr(0, nl));
    pending.erase(0, nl + 1);
    std::fputs(answer.c_str(), stdout);
    std::fflush(stdout);
  }
}

int Simulator::run() {
  if (ctrls_.empty()) return 2;
  if (!openPty()) return 1;

  struct sigaction sa {};
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (!opt_.link.empty()) {
    ::unlink(opt_.link.c_str());
    if (::symlink(slavePath_.c_str(), opt_.link.c_str()) != 0)
      std::fprintf(stderr, "korvidan-sim: cannot link %s: %s\n", opt_.link.c_str(), std::strerror(errno));
  }
  if (!opt_.controlFifo.empty()) {
    if (::mkfifo(opt_.controlFifo.c_str(), 0600) != 0 && errno != EEXIST) {
      std::fprintf(stderr, "korvidan-sim: cannot make %s: %s\n", opt_.controlFifo.c_str(),
                   std::strerror(errno));
      return 1;
    }
    fifo_ = ::open(opt_.controlFifo.c_str(), O_RDONLY | O_NONBLOCK);
    fifoKeeper_ = ::open(opt_.controlFifo.c_str(), O_WRONLY | O_NONBLOCK);  // no end-of-file between writers
    if (fifo_ < 0) {
      std::fprintf(stderr, "korvidan-sim: cannot open %s: %s\n", opt_.controlFifo.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }

  std::printf("%s\n", slavePath_.c_str());
  std::fflush(stdout);

  while (!stop_ && !g_stopSignal) {
    long long now = nowUs();
    checkConnection();
    scheduleValues(now);
    checkReceiveTimeout(now);
    pumpOutput(now);

    long long next = now + 200 * kMs;
    if (!connected_) next = std::min(next, now + 50 * kMs);
    if (haveCurrent_ && !wantWrite_) next = std::min(next, writeAtUs_);
    for (const Controller& c : ctrls_) {
      next = std::min(next, c.nextOutputUs);
      if (c.receiver.active()) next = std::min(next, lastWriteByteUs_ + kWriteIdleTimeoutUs + kMs);
    }
    const int timeoutMs = static_cast<int>(std::max<long long>(0, (next - now + kMs - 1) / kMs));

    pollfd fds[3];
    int n = 0, busIdx = -1, stdinIdx = -1, fifoIdx = -1;
    if (connected_) {
      busIdx = n;
      fds[n++] = {master_, static_cast<short>(POLLIN | (wantWrite_ ? POLLOUT : 0)), 0};
    }
    if (opt_.readStdin) {
      stdinIdx = n;
      fds[n++] = {STDIN_FILENO, POLLIN, 0};
    }
    if (fifo_ >= 0) {
      fifoIdx = n;
      fds[n++] = {fifo_, POLLIN, 0};
    }
    if (::poll(fds, static_cast<nfds_t>(n), timeoutMs) < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "korvidan-sim: poll: %s\n", std::strerror(errno));
      return 1;
    }
    now = nowUs();
    if (busIdx >= 0) {
      if (fds[busIdx].revents & POLLIN) readBus(now);
      if (connected_ && (fds[busIdx].revents & POLLOUT)) wantWrite_ = false;
      if (connected_ && (fds[busIdx].revents & POLLHUP) && !(fds[busIdx].revents & POLLIN)) disconnect();
    }
    if (stdinIdx >= 0 && (fds[stdinIdx].revents & (POLLIN | POLLHUP))) {
      bool eof = false;
      readControl(STDIN_FILENO, stdinPending_, eof);
      if (eof) stop_ = true;
    }
    if (fifoIdx >= 0 && (fds[fifoIdx].revents & POLLIN)) {
      bool eof = false;
      readControl(fifo_, fifoPending_, eof);
    }
  }

  if (!opt_.link.empty()) {
    char target[256];
    const ssize_t len = ::readlink(opt_.link.c_str(), target, sizeof target - 1);
    if (len > 0 && std::string(target, static_cast<std::size_t>(len)) == slavePath_)
      ::unlink(opt_.link.c_str());
  }
  return 0;
}

}  // namespace ksim
