// B+ host simulator: the host's side of a B+ session on a pseudo-terminal, for the tests of
// the terminal's B+ engine. It stands alone (C++20 and POSIX only) and shares no code with
// the engine it tests.
//
// It prints the path of its port on the first line, then takes commands on standard input,
// one a line, each answered "ok" or "error <why>"; a transfer ends with a line
// "done ok <bytes>" or "done error <why>". The end of standard input ends it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tools/HostPty.h"

namespace {

const char* const kHelp =
    "bplus-host [options]: the host's side of a B+ session on a pseudo-terminal\n"
    "  --block UNITS   block size offered, in 128-byte units (default 8)\n"
    "  --no-crc        offer the 8-bit check instead of the CRC\n"
    "  --no-window     offer no send window (one packet outstanding)\n"
    "  --eager         send ESC I right behind the first ENQ, not after its answer\n"
    "  --log FILE      write what happens to FILE\n"
    "Commands on standard input:\n"
    "  download FILE [NAME]   send FILE to the terminal (named NAME)\n"
    "  upload NAME SAVE       ask the terminal for NAME and save it as SAVE\n"
    "  ignore N               take the N-th data packet (1-based) as lost on the line\n"
    "  corrupt N              send the N-th data packet once with a wrong check\n"
    "  refuse-resume          answer a resume request with \"f\"\n"
    "  abort-after N          send a failure packet after N data packets\n"
    "  capture FILE           write all that the host sends to FILE\n"
    "  quit                   end\n";

constexpr std::uint8_t DLE = 0x10, ENQ = 0x05, ETX = 0x03, NAK = 0x15, ESC = 0x1B;

volatile sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

struct Options {
  int block = 8;
  bool crc = true;
  bool window = true;
  bool eager = false;
  std::string log;
};

// Test faults for the next transfer, and where to keep what the host sends in it.
struct Faults {
  std::set<int> ignore, corrupt;
  bool refuseResume = false;
  int abortAfter = 0;
  std::string capture;
};

std::uint16_t Crc(std::uint16_t crc, std::uint8_t c) {
  crc ^= static_cast<std::uint16_t>(c) << 8;
  for (int i = 0; i < 8; ++i)
    crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                         : static_cast<std::uint16_t>(crc << 1);
  return crc;
}
std::uint16_t Sum8(std::uint16_t v, std::uint8_t c) {
  v = static_cast<std::uint16_t>(((v << 1) | (v >> 7)) & 0xFF);
  v = static_cast<std::uint16_t>(v + c);
  if (v > 0xFF) v = static_cast<std::uint16_t>((v & 0xFF) + 1);
  return v;
}

// Which bytes a side quotes: one bit a character in 8 bytes (0x00..0x1F, then 0x80..0x9F).
struct QuoteSet {
  std::uint8_t bits[8] = {0x14, 0x00, 0xD4, 0x00, 0, 0, 0, 0};  // ETX ENQ DLE XON XOFF NAK
  bool Quotes(std::uint8_t c) const {
    int n = c < 0x20 ? c : (c >= 0x80 && c < 0xA0) ? 32 + (c - 0x80) : -1;
    return n >= 0 && (bits[n / 8] & (0x80 >> (n % 8)));
  }
};

class Host {
 public:
  Host(const Options& o, int fd) : opt_(o), fd_(fd) {
    if (!o.log.empty()) log_.open(o.log, std::ios::app);
  }

  std::string Run(const std::string& cmd, const std::vector<std::string>& args, Faults& faults) {
    faults_ = faults;
    faults = Faults{};
    capture_.close();
    if (!faults_.capture.empty()) capture_.open(faults_.capture, std::ios::binary | std::ios::trunc);
    std::string why;
    long bytes = 0;
    if (!Start(why)) return "error " + why;
    bool ok = cmd == "download" ? Download(args, bytes, why) : Upload(args, bytes, why);
    return ok ? "ok " + std::to_string(bytes) : "error " + why;
  }

 private:
  void Log(const std::string& s) {
    if (log_) log_ << s << std::endl;
  }
  // ----- line -----
  void Put(const Bytes& b) {
    if (capture_.is_open())
      capture_.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size())).flush();
    std::size_t done = 0;
    while (done < b.size()) {
      ssize_t w = ::write(fd_, b.data() + done, b.size() - done);
      if (w > 0) {
        done += static_cast<std::size_t>(w);
      } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
        return;
      } else {
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, 100);
      }
    }
  }
  // One byte, or -1 after ms of silence.
  int Get(int ms) {
    if (head_ < in_.size()) return in_[head_++];
    in_.clear();
    head_ = 0;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!gStop) {
      int left =
          static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
      if (left <= 0) return -1;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, left) <= 0) continue;
      std::uint8_t buf[4096];
      ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n > 0) {
        in_.assign(buf, buf + n);
        head_ = 1;
        return in_[0];
      }
    }
    return -1;
  }

  // ----- packets -----
  Bytes Frame(int seq, char type, const Bytes& data, bool spoil = false) {
    Bytes out{DLE, 'B'};
    std::uint16_t check = crc_ ? 0xFFFF : 0;
    auto sum = [&](std::uint8_t c) { check = crc_ ? Crc(check, c) : Sum8(check, c); };
    auto put = [&](std::uint8_t c) {
      if (theirQuotes_.Quotes(c) || ourQuotes_.Quotes(c)) {
        out.push_back(DLE);
        out.push_back(c < 0x20 ? static_cast<std::uint8_t>(0x40 + c)
                               : static_cast<std::uint8_t>(0x60 + (c - 0x80)));
      } else {
        out.push_back(c);
      }
    };
    const std::uint8_t digit = static_cast<std::uint8_t>('0' + seq);
    out.push_back(digit);
    sum(digit);
    out.push_back(static_cast<std::uint8_t>(type));
    sum(static_cast<std::uint8_t>(type));
    for (std::uint8_t c : data) {
      put(c);
      sum(c);
    }
    out.push_back(ETX);
    sum(ETX);
    if (spoil) check ^= 0x5A;
    if (crc_) {
      put(static_cast<std::uint8_t>(check >> 8));
      put(static_cast<std::uint8_t>(check & 0xFF));
    } else {
      put(static_cast<std::uint8_t>(check & 0xFF));
    }
    return out;
  }
  void Ack(int seq) { Put({DLE, static_cast<std::uint8_t>('0' + seq)}); }

  struct Packet {
    int seq = -1;
    char type = 0;
    Bytes data;
  };
  enum Event { evPacket, evAck, evNak, evEnq, evBad, evTimeout };
  // The next thing from the terminal: a packet (check verified), an acknowledgement, a NAK,
  // an ENQ, a damaged packet or silence.
  Event Next(Packet& p, int& ack, int ms) {
    for (;;) {
      int c = Get(ms);
      if (c < 0) return evTimeout;
      if (c == NAK) return evNak;
      if (c == ENQ) return evEnq;
      if (c != DLE) continue;
      c = Get(ms);
      if (c < 0) return evTimeout;
      if (c >= '0' && c <= '9') {
        ack = c - '0';
        return evAck;
      }
      if (c == ';') continue;  // the terminal is busy
      if (c != 'B') continue;
      return ReadPacket(p, ms) ? evPacket : evBad;
    }
  }
  int Unquoted(int ms) {
    int c = Get(ms);
    if (c != DLE) return c;
    c = Get(ms);
    if (c < 0) return c;
    return c >= 0x60 ? (c & 0x1F) + 0x80 : (c & 0x1F);
  }
  bool ReadPacket(Packet& p, int ms) {
    int seq = Get(ms), type = Get(ms);
    if (seq < 0 || type < 0) return false;
    std::uint16_t check = crc_ ? 0xFFFF : 0;
    auto sum = [&](std::uint8_t c) { check = crc_ ? Crc(check, c) : Sum8(check, c); };
    sum(static_cast<std::uint8_t>(seq));
    sum(static_cast<std::uint8_t>(type));
    p = Packet{};
    p.seq = seq - '0';
    p.type = static_cast<char>(type);
    for (;;) {
      int c = Get(ms);
      if (c < 0) return false;
      if (c == ETX) break;
      if (c == DLE) {
        c = Get(ms);
        if (c < 0) return false;
        c = c >= 0x60 ? (c & 0x1F) + 0x80 : (c & 0x1F);
      }
      p.data.push_back(static_cast<std::uint8_t>(c));
      sum(static_cast<std::uint8_t>(c));
      if (p.data.size() > 4096) return false;
    }
    sum(ETX);
    if (crc_) {
      int a = Unquoted(ms), b = Unquoted(ms);
      if (a < 0 || b < 0) return false;
      check = Crc(Crc(check, static_cast<std::uint8_t>(a)), static_cast<std::uint8_t>(b));
      return check == 0;
    }
    int a = Unquoted(ms);
    return a >= 0 && (check & 0xFF) == a;
  }

  // Sends a packet and waits for its acknowledgement, with the ENQ ENQ exchange on silence
  // or a NAK. False when the terminal stops answering or fails the transfer.
  bool SendAndWait(char type, const Bytes& data, std::string& why) {
    seq_ = (seq_ + 1) % 10;
    Put(Frame(seq_, type, data));
    return WaitAcks({{seq_, type, data}}, why);
  }
  struct Sent {
    int seq;
    char type;
    Bytes data;
  };
  // Waits until every packet of `out` is acknowledged; resends from the first one the
  // terminal does not have after an ENQ ENQ exchange.
  bool WaitAcks(std::vector<Sent> out, std::string& why) {
    int tries = 0;
    while (!out.empty()) {
      Packet p;
      int ack = -1;
      Event e = Next(p, ack, 3000);
      if (e == evAck) {
        auto it = out.begin();
        for (; it != out.end(); ++it)
          if (it->seq == ack) break;
        if (it != out.end()) out.erase(out.begin(), it + 1);
        continue;
      }
      if (e == evPacket && p.type == 'F') {
        Ack(p.seq);
        why = "terminal failed: " + std::string(p.data.begin(), p.data.end());
        return false;
      }
      if (e == evPacket && p.type == 'T' && !p.data.empty() && p.data[0] == 'r') {
        resume_ = p;
        out.clear();
        return true;
      }
      if (e == evPacket) continue;
      if (++tries > 10) {
        why = "no acknowledgement";
        return false;
      }
      // Silence or a NAK: ENQ ENQ, then the terminal tells its last packet twice.
      Log("resync");
      Put({ENQ, ENQ});
      int last = -1;
      for (int k = 0; k < 2; ++k) {
        int a = -1;
        Packet q;
        if (Next(q, a, 3000) == evAck) last = a;
      }
      auto it = out.begin();
      for (; it != out.end(); ++it)
        if (it->seq == last) break;
      if (it != out.end()) out.erase(out.begin(), it + 1);
      for (const Sent& s : out) {
        Log("resend " + std::to_string(s.seq));
        Put(Frame(s.seq, s.type, s.data));
      }
    }
    return true;
  }

  // ENQ, ESC I, the "+" exchange.
  bool Start(std::string& why) {
    in_.clear();
    head_ = 0;
    crc_ = false;
    theirQuotes_ = QuoteSet{};
    ourQuotes_ = QuoteSet{};
    resume_ = Packet{};
    // The answers are read until complete, so long waits cost nothing on a quick line; a
    // late answer to an ENQ that was sent again is skipped before the ESC I answer.
    bool answered = false, inquired = false;
    for (int i = 0; i < 3 && !answered; ++i) {
      if (opt_.eager && i == 0) {
        Put({ENQ, ESC, 'I'});
        inquired = true;
      } else {
        Put({ENQ});
      }
      Bytes got;
      for (int c; got.size() < 5 && (c = Get(8000)) >= 0;) got.push_back(static_cast<std::uint8_t>(c));
      answered = got == Bytes{DLE, '+', '+', DLE, '0'};
    }
    if (!answered) {
      why = "no answer to ENQ";
      return false;
    }
    if (!inquired) Put({ESC, 'I'});
    std::string id;
    for (int c; (c = Get(8000)) >= 0 && c != '\r';) id += static_cast<char>(c);
    if (const auto at = id.find("#IB1"); at != std::string::npos && id.find_first_not_of("\x10+0") >= at)
      id.erase(0, at);
    if (id.rfind("#IB1", 0) != 0) {
      why = "bad ESC I answer: " + id;
      return false;
    }
    Log("ESC I: " + id);
    seq_ = 0;
    Bytes ours = {static_cast<std::uint8_t>(opt_.window ? 1 : 0), 2, static_cast<std::uint8_t>(opt_.block),
                  static_cast<std::uint8_t>(opt_.crc ? 1 : 0),    1, 0};
    for (std::uint8_t b : ourQuotes_.bits) ours.push_back(b);
    ours.push_back(1);
    ours.push_back(1);
    ours.push_back(1);
    seq_ = 1;
    Put(Frame(seq_, '+', ours));
    // The terminal acknowledges it and sends its own.
    Packet p;
    int ack = -1;
    bool acked = false, got = false;
    for (int i = 0; i < 8 && !(acked && got); ++i) {
      Event e = Next(p, ack, 8000);
      if (e == evAck && ack == seq_) acked = true;
      if (e == evPacket && p.type == '+') got = true;
      if (e == evTimeout) break;
    }
    if (!acked || !got || p.data.size() < 17) {
      why = "no parameters from the terminal";
      return false;
    }
    seq_ = p.seq;
    Ack(seq_);
    theirWindow_ = p.data[1];
    block_ = std::min<int>(opt_.block, p.data[2] ? p.data[2] : 4) * 128;
    for (int i = 0; i < 8; ++i) theirQuotes_.bits[i] = p.data[6 + i];
    crc_ = opt_.crc && p.data[3] != 0;
    Log("agreed block " + std::to_string(block_) + " crc " + std::to_string(crc_) + " window " +
        std::to_string(theirWindow_));
    return true;
  }

  bool Download(const std::vector<std::string>& args, long& bytes, std::string& why) {
    if (args.empty()) {
      why = "download wants a file";
      return false;
    }
    std::ifstream f(args[0], std::ios::binary);
    if (!f) {
      why = "cannot read " + args[0];
      return false;
    }
    Bytes file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::string name = args.size() > 1 ? args[1] : args[0].substr(args[0].find_last_of('/') + 1);
    Bytes t(name.size() + 2);
    t[0] = 'D';
    t[1] = 'B';
    std::copy(name.begin(), name.end(), t.begin() + 2);
    if (!SendAndWait('T', t, why)) return false;
    std::size_t pos = 0;
    if (resume_.seq >= 0) {
      // "r <crc> <length>": the part the terminal has.
      seq_ = resume_.seq;
      Ack(seq_);
      std::istringstream in(std::string(resume_.data.begin() + 1, resume_.data.end()));
      unsigned long crc = 0, length = 0;
      in >> crc >> length;
      std::uint16_t mine = 0xFFFF;
      for (std::size_t i = 0; i < length && i < file.size(); ++i) mine = Crc(mine, file[i]);
      if (!faults_.refuseResume && length <= file.size() && mine == crc) {
        pos = length;
        Log("resuming at " + std::to_string(pos));
      } else {
        Log("resume refused");
        if (!SendAndWait('T', {'f'}, why)) return false;
      }
    }
    std::string info = "IB " + std::to_string(file.size());
    if (!SendAndWait('T', Bytes(info.begin(), info.end()), why)) return false;
    const int window = opt_.window ? std::min(2, std::max(1, theirWindow_)) : 1;
    int number = 0;
    std::vector<Sent> out;
    bytes = static_cast<long>(file.size() - pos);
    while (pos < file.size() || !out.empty()) {
      while (static_cast<int>(out.size()) < window && pos < file.size()) {
        std::size_t n = std::min<std::size_t>(block_, file.size() - pos);
        Bytes data(file.begin() + static_cast<long>(pos), file.begin() + static_cast<long>(pos + n));
        pos += n;
        ++number;
        if (faults_.abortAfter && number > faults_.abortAfter) {
          const std::string text = "AHost aborted";
          seq_ = (seq_ + 1) % 10;
          Put(Frame(seq_, 'F', Bytes(text.begin(), text.end())));
          why = "aborted";
          return false;
        }
        seq_ = (seq_ + 1) % 10;
        Put(Frame(seq_, 'N', data, faults_.corrupt.erase(number) > 0));
        out.push_back({seq_, 'N', data});
      }
      // Wait for the oldest one's acknowledgement (the window then slides).
      std::vector<Sent> oldest{out.front()};
      std::size_t before = out.size();
      if (!WaitAcksKeep(out, why)) return false;
      (void)oldest;
      (void)before;
    }
    return SendAndWait('T', {'C'}, why);
  }
  // One round of WaitAcks that returns once at least one packet of `out` is acknowledged.
  bool WaitAcksKeep(std::vector<Sent>& out, std::string& why) {
    int tries = 0;
    for (;;) {
      Packet p;
      int ack = -1;
      Event e = Next(p, ack, 3000);
      if (e == evAck) {
        auto it = out.begin();
        for (; it != out.end(); ++it)
          if (it->seq == ack) break;
        if (it != out.end()) {
          out.erase(out.begin(), it + 1);
          return true;
        }
        continue;
      }
      if (e == evPacket && p.type == 'F') {
        Ack(p.seq);
        why = "terminal failed: " + std::string(p.data.begin(), p.data.end());
        return false;
      }
      if (e == evPacket) continue;
      if (++tries > 10) {
        why = "no acknowledgement";
        return false;
      }
      Log(e == evNak ? "nak: resync" : "silence: resync");
      Put({ENQ, ENQ});
      int last = -1;
      for (int k = 0; k < 2; ++k) {
        int a = -1;
        Packet q;
        if (Next(q, a, 3000) == evAck) last = a;
      }
      auto it = out.begin();
      for (; it != out.end(); ++it)
        if (it->seq == last) break;
      if (it != out.end()) {
        out.erase(out.begin(), it + 1);
        for (const Sent& s : out) Put(Frame(s.seq, s.type, s.data));
        return true;
      }
      for (const Sent& s : out) {
        Log("resend " + std::to_string(s.seq));
        Put(Frame(s.seq, s.type, s.data));
      }
    }
  }

  bool Upload(const std::vector<std::string>& args, long& bytes, std::string& why) {
    if (args.size() < 2) {
      why = "upload wants a name and a file to save";
      return false;
    }
    Bytes t{'U', 'B'};
    t.insert(t.end(), args[0].begin(), args[0].end());
    if (!SendAndWait('T', t, why)) return false;
    std::ofstream save(args[1], std::ios::binary | std::ios::trunc);
    if (!save) {
      why = "cannot write " + args[1];
      return false;
    }
    int number = 0, silent = 0;
    bytes = 0;
    for (;;) {
      Packet p;
      int ack = -1;
      Event e = Next(p, ack, 3000);
      if (e == evEnq) {
        Ack(seq_);
        continue;
      }
      if (e == evBad) {
        Log("bad packet: nak");
        Put({NAK});
        continue;
      }
      if (e == evTimeout) {
        if (++silent > 10) {
          why = "terminal went silent";
          return false;
        }
        continue;
      }
      if (e != evPacket) continue;
      silent = 0;
      if (p.seq == seq_) {  // a resend of what is here: acknowledged again
        Ack(seq_);
        continue;
      }
      if (p.seq != (seq_ + 1) % 10) {
        Log("out of sequence " + std::to_string(p.seq));
        continue;
      }
      if (p.type == 'N') {
        ++number;
        if (faults_.ignore.erase(number) > 0) {
          // Lost on the line: neither taken nor acknowledged; the one behind it is one ahead.
          Log("ignoring packet " + std::to_string(p.seq));
          continue;
        }
        seq_ = p.seq;
        save.write(reinterpret_cast<const char*>(p.data.data()), static_cast<std::streamsize>(p.data.size()));
        bytes += static_cast<long>(p.data.size());
        Ack(seq_);
        if (faults_.abortAfter && number >= faults_.abortAfter) {
          const std::string text = "AHost aborted";
          seq_ = (seq_ + 1) % 10;
          Put(Frame(seq_, 'F', Bytes(text.begin(), text.end())));
          why = "aborted";
          return false;
        }
        continue;
      }
      seq_ = p.seq;
      Ack(seq_);
      if (p.type == 'T' && !p.data.empty() && p.data[0] == 'C') return true;
      if (p.type == 'F') {
        why = "terminal failed: " + std::string(p.data.begin(), p.data.end());
        return false;
      }
    }
  }

  Options opt_;
  int fd_;
  std::ofstream log_;
  std::ofstream capture_;  // what the host sends in the transfer, when asked for
  Faults faults_;
  Bytes in_;
  std::size_t head_ = 0;
  int seq_ = 0;
  bool crc_ = false;
  int block_ = 512;
  int theirWindow_ = 1;
  QuoteSet theirQuotes_, ourQuotes_;
  Packet resume_;
};

int Fail(const std::string& why) {
  std::fprintf(stderr, "bplus-host: %s (see --help)\n", why.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (a == "--no-crc") {
      opt.crc = false;
    } else if (a == "--no-window") {
      opt.window = false;
    } else if (a == "--eager") {
      opt.eager = true;
    } else if (a == "--block" && i + 1 < argc) {
      opt.block = std::atoi(argv[++i]);
      if (opt.block < 1 || opt.block > 16) return Fail("block wants 1 to 16");
    } else if (a == "--log" && i + 1 < argc) {
      opt.log = argv[++i];
    } else {
      return Fail("unknown option " + a);
    }
  }
  HostPty pty;
  if (!pty.Open()) return Fail(pty.error);
  const int master = pty.master;
  const std::string& path = pty.path;
  signal(SIGTERM, OnSignal);
  signal(SIGINT, OnSignal);
  signal(SIGPIPE, SIG_IGN);
  std::printf("%s\n", path.c_str());
  std::fflush(stdout);

  Host host(opt, master);
  Faults faults;
  std::string line;
  while (!gStop && std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    std::vector<std::string> args;
    for (std::string w; in >> w;) args.push_back(w);
    auto number = [&](int& n) {
      n = args.empty() ? 0 : std::atoi(args[0].c_str());
      return n > 0;
    };
    int n = 0;
    if (cmd.empty()) continue;
    if (cmd == "quit") break;
    if (cmd == "ignore" && number(n)) {
      faults.ignore.insert(n);
    } else if (cmd == "corrupt" && number(n)) {
      faults.corrupt.insert(n);
    } else if (cmd == "abort-after" && number(n)) {
      faults.abortAfter = n;
    } else if (cmd == "refuse-resume") {
      faults.refuseResume = true;
    } else if (cmd == "capture" && !args.empty()) {
      faults.capture = args[0];
    } else if (cmd == "download" || cmd == "upload") {
      std::printf("ok\n");
      std::fflush(stdout);
      std::string result = host.Run(cmd, args, faults);
      std::printf("done %s\n", result.c_str());
      std::fflush(stdout);
      continue;
    } else {
      std::printf("error unknown command %s\n", cmd.c_str());
      std::fflush(stdout);
      continue;
    }
    std::printf("ok\n");
    std::fflush(stdout);
  }
  return 0;
}
