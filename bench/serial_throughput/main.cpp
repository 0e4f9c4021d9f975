// Throughput of the dispatcher against a plain read/write loop on one pseudo-terminal pair,
// and the CPU time of an open idle port.
//
//   serial_throughput [megabytes per run] [idle seconds]
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "serial/SioWin32.h"
#include "tests/support/Pty.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

double CpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Writes everything, waiting for room.
void WriteAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, std::min<std::size_t>(n, 65536));
    if (w > 0) {
      p += w;
      n -= static_cast<std::size_t>(w);
    } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd pf{fd, POLLOUT, 0};
      poll(&pf, 1, 100);
    } else {
      return;
    }
  }
}

// Reads n bytes, waiting for them.
std::size_t ReadAll(int fd, std::size_t n) {
  std::vector<char> buf(8192);
  std::size_t got = 0;
  while (got < n) {
    ssize_t r = ::read(fd, buf.data(), std::min(buf.size(), n - got));
    if (r > 0) {
      got += static_cast<std::size_t>(r);
    } else if (r == 0 || errno == EAGAIN || errno == EINTR) {
      pollfd pf{fd, POLLIN, 0};  // raw mode without VMIN reads an empty queue as 0
      poll(&pf, 1, 100);
    } else {
      break;
    }
  }
  return got;
}

int OpenSlaveRaw(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  termios t;
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

// The plain loop: one thread moves the bytes with read/write, the peer side as below.
double PlainReceive(support::PtyPair& p, const std::string& data) {
  int s = OpenSlaveRaw(p.path());
  auto t0 = Clock::now();
  std::thread w([&] { WriteAll(p.master(), data.data(), data.size()); });
  ReadAll(s, data.size());
  auto t1 = Clock::now();
  w.join();
  close(s);
  return Seconds(t0, t1);
}

double PlainTransmit(support::PtyPair& p, const std::string& data) {
  int s = OpenSlaveRaw(p.path());
  auto t0 = Clock::now();
  std::thread r([&] { ReadAll(p.master(), data.size()); });
  WriteAll(s, data.data(), data.size());
  r.join();
  auto t1 = Clock::now();
  close(s);
  return Seconds(t0, t1);
}

struct Sink {
  TSioBaseDispatcher* d = nullptr;
  std::size_t want = 0;
  std::size_t got = 0;  // dispatch thread only
  std::atomic<bool> done{false};
  std::vector<char> buf = std::vector<char>(DispatchBufferSize);
  void On(UINT msg, WPARAM count, LPARAM) {
    if (msg != SW_TRIGGERAVAIL) return;
    if (d->GetBlock(buf.data(), static_cast<std::uint32_t>(count)) > 0) got += count;
    if (got >= want && !done.load()) {
      done.store(true);
      done.notify_one();
    }
  }
};

double DispatcherReceive(support::PtyPair& p, const std::string& data, bool withDataTriggers = false) {
  TSioWin32Dispatcher d(nullptr);
  if (d.InitPort(p.path().c_str(), 115200, 0, 8, 1, 4096, 4096, true, true) != 0) return -1;
  if (withDataTriggers) {
    d.AddDataTrigger("NO CARRIER", false);
    d.AddDataTrigger("+FHNG:", true);
    d.AddDataTrigger("\r\nOK\r\n", false);
  }
  Sink sink;
  sink.d = &d;
  sink.want = data.size();
  d.RegisterEventTriggerHandler(TSioNotifyEvent::Of<&Sink::On>(&sink));
  d.ChangeLengthTrigger(1);
  auto t0 = Clock::now();
  std::thread w([&] { WriteAll(p.master(), data.data(), data.size()); });
  sink.done.wait(false);
  auto t1 = Clock::now();
  w.join();
  d.DonePort();
  return Seconds(t0, t1);
}

double DispatcherTransmit(support::PtyPair& p, const std::string& data) {
  TSioWin32Dispatcher d(nullptr);
  if (d.InitPort(p.path().c_str(), 115200, 0, 8, 1, 4096, 32768, true, true) != 0) return -1;
  auto t0 = Clock::now();
  std::thread r([&] { ReadAll(p.master(), data.size()); });
  std::size_t pos = 0;
  while (pos < data.size()) {
    std::uint32_t room = d.OutBuffFree();
    if (room < 4096 && room < data.size() - pos) {
      std::this_thread::sleep_for(std::chrono::microseconds(20));
      continue;
    }
    std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(room, data.size() - pos));
    if (d.PutBlock(data.data() + pos, n) != 0) break;
    pos += n;
  }
  r.join();
  auto t1 = Clock::now();
  d.DonePort();
  return Seconds(t0, t1);
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t mb = argc > 1 ? static_cast<std::size_t>(std::atoi(argv[1])) : 32;
  int idleSecs = argc > 2 ? std::atoi(argv[2]) : 10;
  std::string data(mb << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);

  support::PtyPair p(false, false);  // nothing holds the slave but the side under test
  // Best of five runs each, interleaved so that both see the same machine load.
  double plainRx = 1e9, plainTx = 1e9, dispRx = 1e9, dispTx = 1e9, dispRxTrig = 1e9;
  for (int run = 0; run < 5; ++run) {
    plainRx = std::min(plainRx, PlainReceive(p, data));
    dispRx = std::min(dispRx, DispatcherReceive(p, data));
    dispRxTrig = std::min(dispRxTrig, DispatcherReceive(p, data, true));
    plainTx = std::min(plainTx, PlainTransmit(p, data));
    dispTx = std::min(dispTx, DispatcherTransmit(p, data));
  }
  if (dispRx < 0 || dispTx < 0) {
    std::fprintf(stderr, "could not open %s\n", p.path().c_str());
    return 1;
  }
  auto mbs = [&](double s) { return static_cast<double>(mb) / s; };
  std::printf("pseudo-terminal pair %s, %zu MB a run, best of 5\n", p.path().c_str(), mb);
  std::printf("receive : dispatcher %8.1f MB/s   plain loop %8.1f MB/s\n", mbs(dispRx), mbs(plainRx));
  std::printf("receive with three data triggers: dispatcher %8.1f MB/s\n", mbs(dispRxTrig));
  std::printf("transmit: dispatcher %8.1f MB/s   plain loop %8.1f MB/s\n", mbs(dispTx), mbs(plainTx));
  std::printf("ratio receive: %.2f\n", plainRx / dispRx);
  std::printf("ratio receive with triggers: %.2f\n", plainRx / dispRxTrig);
  std::printf("ratio transmit: %.2f\n", plainTx / dispTx);
  double both = (plainRx + plainTx) / (dispRx + dispTx);
  std::printf("both ways: ratio %.2f (target at least 0.90)\n", both);

  // An open port with nothing to do.
  TSioWin32Dispatcher idle(nullptr);
  if (idle.InitPort(p.path().c_str(), 9600, 0, 8, 1, 4096, 4096, true, true) != 0) return 1;
  idle.ChangeLengthTrigger(1);
  int t = idle.AddTimerTrigger();
  idle.SetTimerTrigger(static_cast<std::uint32_t>(t), Secs2Ticks(3600), true);
  double cpu0 = CpuSeconds();
  auto w0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idleSecs));
  double cpu = CpuSeconds() - cpu0;
  double wall = Seconds(w0, Clock::now());
  std::printf("idle port: %.3f s CPU in %.1f s = %.3f %% of one core (target below 1 %%)\n", cpu, wall,
              100.0 * cpu / wall);
  idle.DonePort();
  return 0;
}
