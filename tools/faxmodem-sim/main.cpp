// faxmodem-sim: a fax modem with its remote fax machine, simulated on a pseudo-terminal for
// testing the fax engine without hardware. It speaks the AT command set with the fax
// Class 1, Class 2 and Class 2.0 commands for sending (the remote takes the pages) and
// writes the received page data to files, one per page.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kHelp[] =
    "Usage: faxmodem-sim [OPTIONS]\n"
    "\n"
    "Simulates a fax modem on a pseudo-terminal. Prints the path of the port on the first line\n"
    "of standard output and runs until SIGTERM or SIGINT or the end of standard input.\n"
    "\n"
    "  --classes LIST       fax classes offered, a comma list of 1, 2, 2.0 (default 1,2,2.0)\n"
    "  --busy               the called number is busy (BUSY)\n"
    "  --no-dialtone        there is no dial tone (NO DIALTONE)\n"
    "  --voice              the remote answers with voice (VOICE)\n"
    "  --no-answer          the remote never answers (NO CARRIER after the dial)\n"
    "  --mute               the modem answers nothing at all\n"
    "  --fail-train         training with the remote fails (Class 1: FTT after every training\n"
    "                       check; Class 2/2.0: +FHNG:27 / +FHS:27 and ERROR after AT+FDT)\n"
    "  --hangup-page N[:B]  the remote hangs up in page N after B bytes of page data (Class 2, 2.0)\n"
    "                       (default 100); the page end is then answered with +FHNG:50 (Class 2)\n"
    "                       or +FHS:50 and ERROR (Class 2.0)\n"
    "  --stall-page N[:B]   the remote stops taking data in page N after B bytes (default 0)\n"
    "                       and the line stays as it is: the sender's output backs up\n"
    "  --bad-pages N        the remote rejects the first N pages it gets (+FPTS:2; Class 2)\n"
    "  --remote-id TEXT     called station ID of the remote (default \"REMOTE FAX\")\n"
    "  --scan CODE          minimum scan time code 0..7 the remote asks for (default 0)\n"
    "  --output PREFIX      write the data of page n (DLE doubling undone, page end removed) to\n"
    "                       PREFIX-n.g3, n counting from 1 over the whole run\n"
    "  --log FILE           write every command line received to FILE\n"
    "  -h, --help           this text\n"
    "\n"
    "Commands answered: AT, ATE/Q/V/X/S settings, ATH, ATD (T/P), AT+FCLASS=? / ? / =n,\n"
    "AT+FMDL? AT+FMFR? AT+FREV? (Class 2), AT+FMI? AT+FMM? AT+FMR? (Class 2.0), AT+FTM=? and\n"
    "AT+FRM=? (Class 1), AT+FDT, AT+FET=n, AT+FPS?, AT+FKS and every other AT command with OK.\n"
    "Class 1 dial: CONNECT, CSI frame, OK; AT+FRH=3: CONNECT, the remote's next frame (DIS, then\n"
    "CFR or FTT after the training check, MCF after a post-page frame), OK; AT+FTH=3: CONNECT, then\n"
    "frames up to DLE ETX, each answered with CONNECT (OK after the final one); AT+FTM=n: CONNECT,\n"
    "data up to DLE ETX (the first after a DCS is the training check), OK. Frames carry two\n"
    "check bytes that are not verified.\n"
    "Class 2 dial: +FCON, +FCSI, +FDIS, OK; AT+FDT: +FDCS, CONNECT, XON; page end DLE ETX: OK;\n"
    "AT+FET=n: +FPTS:1 (and +FHNG:0 after the last page), OK.\n"
    "Class 2.0 dial: +FCO, +FCI, +FIS, OK; AT+FDT: +FCS, CONNECT; page end DLE and '.', ',' or\n"
    "';': OK (+FHS:00 before it after the last page).\n";

struct Options {
  bool class1 = true, class2 = true, class20 = true;
  bool busy = false, noDialtone = false, voice = false, noAnswer = false, mute = false;
  bool failTrain = false;
  int badPages = 0;
  int stallPage = 0;
  long stallBytes = 0;
  int hangupPage = 0;
  long hangupBytes = 100;
  std::string remoteId = "REMOTE FAX";
  int scan = 0;
  std::string output;
  std::string log;
};

volatile sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

class Modem {
 public:
  Modem(const Options& o, int master) : opt_(o), fd_(master) {
    if (!o.log.empty()) log_ = std::fopen(o.log.c_str(), "w");
  }
  ~Modem() {
    if (log_) std::fclose(log_);
  }

  // True while the simulator reads nothing from the line.
  bool Stalled() const {
    return dataMode_ && opt_.stallPage > 0 && opt_.stallPage == page_ && pageBytes_ >= opt_.stallBytes;
  }

  void Feed(const unsigned char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      if (rx_ == Rx::Frames)
        FrameByte(p[i]);
      else if (dataMode_)
        DataByte(p[i]);
      else
        CommandByte(p[i]);
    }
  }

 private:
  const Options& opt_;
  int fd_;
  FILE* log_ = nullptr;
  std::string line_;
  std::string fclass_ = "0";
  bool dataMode_ = false;
  bool afterDle_ = false;
  bool connected_ = false;
  bool hungUp_ = false;  // the remote has gone in this page
  int page_ = 0;         // pages received in this run
  std::vector<unsigned char> pageData_;
  long pageBytes_ = 0;
  char res_ = '0';
  // Class 1
  enum class Rx { None, Frames, Data };
  Rx rx_ = Rx::None;  // what the modem is receiving from the sender
  std::vector<unsigned char> frame_;
  std::vector<std::vector<unsigned char>> pendingFrames_;  // frames the remote sends next
  bool training_ = false;                                  // the next AT+FTM carries the training check
  bool lastPage_ = false;
  int rejected_ = 0;

  void Write(const std::string& s) {
    std::size_t off = 0;
    while (off < s.size()) {
      ssize_t w = ::write(fd_, s.data() + off, s.size() - off);
      if (w > 0) {
        off += static_cast<std::size_t>(w);
      } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, 50);
      } else {
        return;  // nobody on the line
      }
    }
  }
  void Reply(const std::string& text) {
    if (!opt_.mute) Write("\r\n" + text + "\r\n");
  }

  bool Class20() const { return fclass_ == "2.0"; }

  void CommandByte(unsigned char c) {
    if (c == '\r') {
      std::string cmd = line_;
      line_.clear();
      if (!cmd.empty()) Command(cmd);
    } else if (c != '\n' && c >= 32 && line_.size() < 256) {
      line_ += static_cast<char>(c);
    }
  }

  void Command(std::string cmd) {
    while (!cmd.empty() && cmd.back() == ' ') cmd.pop_back();
    if (log_) {
      std::fprintf(log_, "%s\n", cmd.c_str());
      std::fflush(log_);
    }
    std::string up = cmd;
    for (char& ch : up) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    if (up == "+++") return;
    if (up.rfind("AT", 0) != 0) return;
    const std::string body = up.substr(2);

    if (body.rfind("D", 0) == 0) return Dial();
    if (body.rfind("H", 0) == 0) {
      connected_ = false;
      return Reply("OK");
    }
    if (body == "+FCLASS=?") {
      std::string list = "0";
      if (opt_.class1) list += ",1";
      if (opt_.class2) list += ",2";
      if (opt_.class20) list += ",2.0";
      Reply(list);
      return Reply("OK");
    }
    if (body == "+FCLASS?") {
      Reply(fclass_);
      return Reply("OK");
    }
    if (body.rfind("+FCLASS=", 0) == 0) {
      const std::string c = body.substr(8);
      bool ok =
          c == "0" || (c == "1" && opt_.class1) || (c == "2" && opt_.class2) || (c == "2.0" && opt_.class20);
      if (!ok) return Reply("ERROR");
      fclass_ = c;
      return Reply("OK");
    }
    if (body == "+FMDL?" || body == "+FMI?") {
      Reply("FAXSIM 14400");
      return Reply("OK");
    }
    if (body == "+FMFR?" || body == "+FMM?") {
      Reply("KORVIDAN TEST");
      return Reply("OK");
    }
    if (body == "+FREV?" || body == "+FMR?") {
      Reply("1.0");
      return Reply("OK");
    }
    if (body == "+FTM=?" || body == "+FRM=?") {
      if (fclass_ != "1") return Reply("ERROR");
      Reply("24,48,72,96");
      return Reply("OK");
    }
    if (body.rfind("+FDIS=", 0) == 0 || body.rfind("+FIS=", 0) == 0) {
      const char r = body[body.find('=') + 1];
      if (r == '0' || r == '1') res_ = r;
      return Reply("OK");
    }
    if (fclass_ == "1" && connected_) {
      if (body == "+FTH=3") {
        Reply("CONNECT");
        rx_ = Rx::Frames;
        frame_.clear();
        afterDle_ = false;
        return;
      }
      if (body == "+FRH=3") return SendNextFrame();
      if (body.rfind("+FTM=", 0) == 0 && body != "+FTM=?") {
        Reply("CONNECT");
        dataMode_ = true;
        afterDle_ = false;
        hungUp_ = false;
        pageData_.clear();
        pageBytes_ = 0;
        if (!training_) ++page_;
        return;
      }
    }
    if (body == "+FDT") return StartPage();
    if (body.rfind("+FET=", 0) == 0) return PostPage(body.substr(5));
    if (body == "+FPS?") {
      Reply(Class20() ? "+FPS:1" : "+FPTS:1");
      return Reply("OK");
    }
    Reply("OK");
  }

  // Capabilities (DIS: fine resolution possible) or session parameters (DCS: the
  // resolution the sender chose last).
  std::string Params(bool capabilities) const {
    return std::string(1, capabilities ? '1' : res_) + ",5,0,2,0,0,0," + std::to_string(opt_.scan);
  }

  void Dial() {
    if (opt_.noDialtone) return Reply("NO DIALTONE");
    if (opt_.busy) return Reply("BUSY");
    if (opt_.voice) return Reply("VOICE");
    if (opt_.noAnswer) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      return Reply("NO CARRIER");
    }
    if (fclass_ == "2" || fclass_ == "2.0") {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      connected_ = true;
      Reply(Class20() ? "+FCO" : "+FCON");
      Reply((Class20() ? "+FCI:\"" : "+FCSI:\"") + opt_.remoteId + "\"");
      Reply((Class20() ? "+FIS:" : "+FDIS:") + Params(true));
      return Reply("OK");
    }
    if (fclass_ == "1") {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      connected_ = true;
      // CSI (not final), then DIS (final) on the next AT+FRH=3.
      std::vector<unsigned char> csi{0xFF, 0x03, 0x40};
      std::string id = opt_.remoteId;
      id.resize(20, ' ');
      for (auto it = id.rbegin(); it != id.rend(); ++it) csi.push_back(static_cast<unsigned char>(*it));
      static const unsigned char kScanBits[8] = {0x70, 0x10, 0x60, 0x20, 0x30, 0x00, 0x50, 0x40};
      std::vector<unsigned char> dis{0xFF, 0x13, 0x80, 0x00, 0x4C, kScanBits[opt_.scan], 0x00};
      pendingFrames_ = {dis};
      Reply("CONNECT");
      SendFrame(csi);
      return;
    }
    // A data call is not part of this simulator.
    Reply("NO CARRIER");
  }

  void StartPage() {
    if (!connected_) return Reply("ERROR");
    if (opt_.failTrain) {
      connected_ = false;
      Reply(Class20() ? "+FHS:27" : "+FHNG:27");
      return Reply("ERROR");
    }
    Reply((Class20() ? "+FCS:" : "+FDCS:") + Params(false));
    Reply("CONNECT");
    if (!Class20() && !opt_.mute) Write(std::string(1, '\x11'));
    dataMode_ = true;
    afterDle_ = false;
    hungUp_ = false;
    pageData_.clear();
    pageBytes_ = 0;
    ++page_;
  }

  void DataByte(unsigned char c) {
    if (afterDle_) {
      afterDle_ = false;
      if (c == 0x10) return Keep(0x10);
      if (c == 0x03 && !Class20()) return EndPage('\x03');
      if (Class20() && (c == '.' || c == ',' || c == ';' || c == 0x03)) return EndPage(static_cast<char>(c));
      return;  // other DLE pairs carry no data
    }
    if (c == 0x10) {
      afterDle_ = true;
      return;
    }
    Keep(c);
  }

  void Keep(unsigned char c) {
    if (opt_.hangupPage == page_ && pageBytes_ >= opt_.hangupBytes) hungUp_ = true;
    ++pageBytes_;
    if (!hungUp_) pageData_.push_back(c);
  }

  // Class 1: an HDLC frame from the remote, with its check bytes, then OK.
  void SendFrame(const std::vector<unsigned char>& f) {
    std::string out;
    for (unsigned char b : f) {
      out += static_cast<char>(b);
      if (b == 0x10) out += static_cast<char>(b);
    }
    out += "\x5A\xA5\x10\x03";  // check bytes (not verified by the sender), DLE ETX
    if (!opt_.mute) Write(out);
    Reply("OK");
  }

  void SendNextFrame() {
    if (pendingFrames_.empty()) return;  // nothing to say: the sender's wait runs out
    std::vector<unsigned char> f = pendingFrames_.front();
    pendingFrames_.erase(pendingFrames_.begin());
    Reply("CONNECT");
    SendFrame(f);
  }

  void FrameByte(unsigned char c) {
    if (afterDle_) {
      afterDle_ = false;
      if (c == 0x10) {
        frame_.push_back(c);
      } else if (c == 0x03) {
        FrameDone();
      }
      return;
    }
    if (c == 0x10) {
      afterDle_ = true;
      return;
    }
    if (frame_.size() < 512) frame_.push_back(c);
  }

  void FrameDone() {
    const std::vector<unsigned char> f = frame_;
    frame_.clear();
    if (f.size() < 3 || f[0] != 0xFF) {
      rx_ = Rx::None;
      return Reply("ERROR");
    }
    const bool final = (f[1] & 0x10) != 0;
    switch (f[2] & 0xFE) {
      case 0x82:  // DCS
        res_ = (f.size() > 4 && (f[4] & 0x40)) ? '1' : '0';
        training_ = true;
        break;
      case 0x4E:  // MPS
      case 0x8E:  // EOM
      case 0x2E:  // EOP
        lastPage_ = (f[2] & 0xFE) == 0x2E;
        pendingFrames_ = {{0xFF, 0x13, static_cast<unsigned char>(hungUp_ ? 0xCC : 0x8C)}};
        break;
      case 0xFA:  // DCN
        connected_ = false;
        break;
      default:
        break;
    }
    if (final) {
      rx_ = Rx::None;
      Reply("OK");
    } else {
      Reply("CONNECT");
    }
  }

  void EndPage(char how) {
    dataMode_ = false;
    if (fclass_ == "1") {
      if (training_) {
        training_ = false;
        pendingFrames_ = {{0xFF, 0x13, static_cast<unsigned char>(opt_.failTrain ? 0x44 : 0x84)}};
        return Reply("OK");
      }
      if (!opt_.output.empty()) {
        const std::string name = opt_.output + "-" + std::to_string(page_) + ".g3";
        if (FILE* f = std::fopen(name.c_str(), "wb")) {
          if (!pageData_.empty()) std::fwrite(pageData_.data(), 1, pageData_.size(), f);
          std::fclose(f);
        }
      }
      return Reply("OK");
    }
    if (!opt_.output.empty()) {
      const std::string name = opt_.output + "-" + std::to_string(page_) + ".g3";
      if (FILE* f = std::fopen(name.c_str(), "wb")) {
        if (!pageData_.empty()) std::fwrite(pageData_.data(), 1, pageData_.size(), f);
        std::fclose(f);
      }
    }
    if (hungUp_) {
      connected_ = false;
      if (Class20()) {
        Reply("+FHS:50");
        return Reply("ERROR");
      }
      return Reply("+FHNG:50");
    }
    if (Class20()) {
      if (how == '.' || how == 0x03) {
        connected_ = false;
        Reply("+FHS:00");
      }
      return Reply("OK");
    }
    Reply("OK");
  }

  void PostPage(const std::string& arg) {
    if (!connected_) return Reply("ERROR");
    if (rejected_ < opt_.badPages) {
      ++rejected_;
      Reply(Class20() ? "+FPS:2" : "+FPTS:2");
      return Reply("OK");
    }
    Reply(Class20() ? "+FPS:1" : "+FPTS:1");
    if (arg == "2") {
      connected_ = false;
      Reply(Class20() ? "+FHS:00" : "+FHNG:0");
    }
    Reply("OK");
  }
};

bool TakeValue(int argc, char** argv, int& i, const std::string& name, std::string& value) {
  const std::string a = argv[i];
  if (a == name) {
    if (i + 1 >= argc) return false;
    value = argv[++i];
    return true;
  }
  if (a.rfind(name + "=", 0) == 0) {
    value = a.substr(name.size() + 1);
    return true;
  }
  return false;
}

int Fail(const std::string& why) {
  std::fprintf(stderr, "faxmodem-sim: %s (see --help)\n", why.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    std::string v;
    if (a == "-h" || a == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (a == "--busy") {
      opt.busy = true;
    } else if (a == "--no-dialtone") {
      opt.noDialtone = true;
    } else if (a == "--voice") {
      opt.voice = true;
    } else if (a == "--no-answer") {
      opt.noAnswer = true;
    } else if (a == "--mute") {
      opt.mute = true;
    } else if (a == "--fail-train") {
      opt.failTrain = true;
    } else if (TakeValue(argc, argv, i, "--classes", v)) {
      opt.class1 = opt.class2 = opt.class20 = false;
      std::size_t start = 0;
      while (start <= v.size()) {
        std::size_t comma = v.find(',', start);
        if (comma == std::string::npos) comma = v.size();
        const std::string item = v.substr(start, comma - start);
        start = comma + 1;
        if (item == "1")
          opt.class1 = true;
        else if (item == "2")
          opt.class2 = true;
        else if (item == "2.0")
          opt.class20 = true;
        else if (!item.empty())
          return Fail("unknown class: " + item);
      }
    } else if (TakeValue(argc, argv, i, "--hangup-page", v)) {
      char* end = nullptr;
      long n = std::strtol(v.c_str(), &end, 10);
      if (n < 1 || end == v.c_str()) return Fail("hangup-page wants N[:BYTES]");
      opt.hangupPage = static_cast<int>(n);
      if (*end == ':') {
        char* end2 = nullptr;
        opt.hangupBytes = std::strtol(end + 1, &end2, 10);
        if (end2 == end + 1 || *end2 != '\0' || opt.hangupBytes < 0)
          return Fail("hangup-page wants N[:BYTES]");
      } else if (*end != '\0') {
        return Fail("hangup-page wants N[:BYTES]");
      }
    } else if (TakeValue(argc, argv, i, "--stall-page", v)) {
      char* end = nullptr;
      opt.stallPage = static_cast<int>(std::strtol(v.c_str(), &end, 10));
      if (end == v.c_str() || opt.stallPage < 1) return Fail("stall-page wants N[:BYTES]");
      if (*end == ':') opt.stallBytes = std::strtol(end + 1, nullptr, 10);
    } else if (TakeValue(argc, argv, i, "--bad-pages", v)) {
      char* end = nullptr;
      opt.badPages = static_cast<int>(std::strtol(v.c_str(), &end, 10));
      if (end == v.c_str() || *end != '\0' || opt.badPages < 0) return Fail("bad-pages wants a count");
    } else if (TakeValue(argc, argv, i, "--remote-id", v)) {
      opt.remoteId = v.substr(0, 20);
    } else if (TakeValue(argc, argv, i, "--scan", v)) {
      if (v.size() != 1 || v[0] < '0' || v[0] > '7') return Fail("scan wants 0..7");
      opt.scan = v[0] - '0';
    } else if (TakeValue(argc, argv, i, "--output", v)) {
      opt.output = v;
    } else if (TakeValue(argc, argv, i, "--log", v)) {
      opt.log = v;
    } else {
      return Fail("unknown option " + a);
    }
  }

  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return Fail("no pseudo-terminal");
  const char* name = ptsname(master);
  if (name == nullptr) return Fail("no pseudo-terminal");
  const std::string path = name;
  // The port side stays open here, so that the line survives the other side closing it.
  int slave = ::open(path.c_str(), O_RDWR | O_NOCTTY);
  if (slave < 0) return Fail("cannot open " + path);
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

  signal(SIGTERM, OnSignal);
  signal(SIGINT, OnSignal);
  signal(SIGPIPE, SIG_IGN);
  std::printf("%s\n", path.c_str());
  std::fflush(stdout);

  Modem modem(opt, master);
  bool stdinOpen = true;
  unsigned char buf[4096];
  while (!gStop) {
    // A stalled remote takes nothing: the master side is not polled.
    const bool stalled = modem.Stalled();
    pollfd p[2] = {{stalled ? -1 : master, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    int r = poll(p, stdinOpen ? 2 : 1, 200);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    if (p[0].revents & POLLIN) {
      ssize_t n = ::read(master, buf, sizeof buf);
      if (n > 0) modem.Feed(buf, static_cast<std::size_t>(n));
    }
    if (stdinOpen && (p[1].revents & (POLLIN | POLLHUP))) {
      ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
      if (n <= 0) break;  // the end of standard input ends the simulator
    }
  }
  close(slave);
  close(master);
  return 0;
}
