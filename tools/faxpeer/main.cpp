// faxpeer: an independent Class 1 fax machine for testing the fax engine. A T.31 Class 1
// modem of libspandsp is offered on a pseudo-terminal; its audio is wired back to back with
// a T.30 fax terminal of libspandsp, and both run in real time in blocks of 20 ms.
//
// When the program on the port dials, the terminal answers and receives into a TIFF file;
// with a file to send, the modem rings until the program answers and the terminal sends
// the file. The modem's requests to hold the data (CTS off) are honoured by not reading the
// port, and the modem keeps running after the terminal has ended the call (phase E) until
// the program hangs up, so that it gets the modem's final responses.
//
// Standard output: the port's path on the first line; one result line per call, the last
// line of all: T.30 result <code> "<text>" pages <n> rate <bit/s> remote "<id>". Standard
// output ends after the last call; the line and its modem stay until standard input ends.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
// For the terminal's choice to send a page again after RTN, which has no call of its own.
#define SPANDSP_EXPOSE_INTERNAL_STRUCTURES
#include <spandsp.h>

#include "tools/HostPty.h"
}

namespace {

const char kHelp[] =
    "Usage: faxpeer (--receive FILE.tif | --send FILE.tif) [OPTIONS]\n"
    "\n"
    "An independent Class 1 fax machine on a pseudo-terminal (libspandsp's T.31 modem wired\n"
    "back to back with its T.30 terminal, in real time). Prints the port's path first and a\n"
    "result line per call last, and closes its standard output after the calls; the line\n"
    "stays, its modem answering, until standard input ends. SIGTERM or the time-out end it.\n"
    "\n"
    "  --receive FILE       answer when the port dials and receive into FILE (TIFF); from the\n"
    "                       second call on FILE gets \"-<call>\" before its extension\n"
    "  --send FILE          ring the port until it answers (ATA), then send FILE (TIFF)\n"
    "  --calls N            take or make N calls one after the other (default 1)\n"
    "  --ring-interval MS   time between two RINGs (default 1000)\n"
    "  --rings N            give a call up after N unanswered RINGs (default 20)\n"
    "  --ident TEXT         the terminal's identifier, CSI or TSI (default \"FAXPEER\")\n"
    "  --modems LIST        modems the terminal offers: a comma list of v27, v29, v17\n"
    "                       (default v27,v29,v17)\n"
    "  --bad-line LIST      the line garbles the image of the pages the port sends as the\n"
    "                       n-th, a comma list of n (counted over the run, a page sent again\n"
    "                       counts again; the training check is no page)\n"
    "  --late-page LIST     the port's listen for the n-th page of the run (its first AT+FRM=\n"
    "                       after it sent CFR or MCF) reaches the modem late, the first time\n"
    "                       the page is sent; a comma list of n\n"
    "  --late-by MS         how late those listens are (default 1000)\n"
    "  --wait-for-listen    after each OK of the modem (the end of a frame the port sent or\n"
    "                       heard) the line stands still until the port's next command (at\n"
    "                       most 2 s), so that on a busy machine no listen comes late but\n"
    "                       those made late\n"
    "  --resend-rejected    the terminal sends a page answered with RTN again (a page it ended\n"
    "                       with MPS or EOP; without the option it goes on with the next page)\n"
    "  --dcn-at-dis N       the terminal hangs up (DCN) in place of answering the N-th DIS of\n"
    "                       a call\n"
    "  --timeout S          give up after S seconds (default 180)\n"
    "  --log FILE           write the port's command lines, the modem's answers and the\n"
    "                       terminal's frames (\"(sent DCS)\", \"(got DIS)\") to FILE\n"
    "  --verbose            libspandsp's protocol log on standard error\n"
    "  -h, --help           this text\n"
    "\n"
    "Exit code: 0 when every call ended with T.30 result 0 (OK), 1 otherwise, 2 for bad use.\n";

constexpr int kBlock = 160;  // 20 ms at 8000 samples a second

struct Options {
  std::string receiveFile;
  std::string sendFile;
  int calls = 1;
  int ringIntervalMs = 1000;
  int rings = 20;
  std::string ident = "FAXPEER";
  int modems = T30_SUPPORT_V27TER | T30_SUPPORT_V29 | T30_SUPPORT_V17;
  std::vector<int> badLines;
  std::vector<int> latePages;
  int lateByMs = 1000;
  bool waitForListen = false;
  int dcnAtDis = 0;
  bool resendRejected = false;
  int timeoutS = 180;
  std::string log;
  bool verbose = false;
};

volatile sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

std::int64_t NowNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

struct CallResult {
  int code = -1;
  int pages = 0;
  int rate = 0;
  std::string remote;
};

class Peer {
 public:
  Peer(const Options& o, int master) : opt_(o), fd_(master) {
    if (!o.log.empty()) log_ = std::fopen(o.log.c_str(), "w");
  }
  ~Peer() {
    EndTerminal();
    if (t31_) t31_free(t31_);
    if (log_) std::fclose(log_);
  }

  bool Init() {
    t31_ = t31_init(nullptr, &Peer::AtTx, this, &Peer::ModemControl, this, nullptr, nullptr);
    if (t31_ == nullptr) return false;
    t31_set_transmit_on_idle(t31_, 1);
    if (opt_.verbose) {
      logging_state_t* l = t31_get_logging_state(t31_);
      span_log_set_level(l,
                         SPAN_LOG_SHOW_SEVERITY | SPAN_LOG_SHOW_PROTOCOL | SPAN_LOG_SHOW_TAG | SPAN_LOG_FLOW);
      span_log_set_tag(l, "T.31");
    }
    return true;
  }

  // Runs every call; false when one ended with an error (or not at all).
  bool Run() {
    bool allOk = true;
    const std::int64_t deadline = NowNs() + static_cast<std::int64_t>(opt_.timeoutS) * 1000000000;
    for (call_ = 1; call_ <= opt_.calls && !gStop; ++call_) {
      StartCall();
      const bool ended = RunCall(deadline);
      if (!ended && terminal_ != nullptr && !phaseE_) {
        // Given up: the terminal reports what it has.
        t30_terminate(fax_get_t30_state(terminal_));
      }
      if (!phaseE_) result_.code = result_.code < 0 ? T30_ERR_CALLDROPPED : result_.code;
      EndTerminal();
      PrintResult();
      if (result_.code != T30_ERR_OK) allOk = false;
      if (!ended) break;
    }
    // The reader of the results sees their end here, while the line stays (see Linger).
    std::fclose(stdout);
    Linger(deadline);
    return allOk && call_ > opt_.calls;
  }

  // After the last call the line stays open, the modem still answering, until standard input
  // ends: the port may not have read the modem's last answers yet (the OK to its hang-up),
  // and a pseudo-terminal whose other side is gone loses what it still holds.
  void Linger(std::int64_t deadline) {
    std::int64_t next = NowNs();
    while (!gStop && NowNs() < deadline) {
      if (!PortUntil(next, true)) return;
      if (NowNs() < next) continue;
      next += 20000000;
      AudioBlock();
      if (NowNs() - next > 1000000000) next = NowNs();
    }
  }

  // The port's bytes until the next block is due (or one read of them); with watchInput,
  // false once standard input has ended.
  bool PortUntil(std::int64_t next, bool watchInput) {
    if (!late_.empty() && NowNs() >= lateUntil_) {
      const std::vector<std::uint8_t> due = std::move(late_);
      late_.clear();
      FromPort(due.data(), static_cast<int>(due.size()));
    }
    int waitMs = static_cast<int>((next - NowNs()) / 1000000);
    if (waitMs < 0) waitMs = 0;
    std::uint8_t buf[1024];
    pollfd p[2] = {{holding_ || !late_.empty() ? -1 : fd_, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (::poll(p, watchInput ? 2 : 1, waitMs) <= 0) return true;
    if (watchInput && p[1].revents != 0 && ::read(STDIN_FILENO, buf, sizeof buf) <= 0) return false;
    if (p[0].revents & POLLIN) {
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n > 0) FromPort(buf, static_cast<int>(n));
    }
    return true;
  }

  // 20 ms of audio each way between the modem and the terminal (silence without one).
  void AudioBlock() {
    std::int16_t fromModem[kBlock], fromTerminal[kBlock];
    int n = t31_tx(t31_, fromModem, kBlock);
    for (int i = n < 0 ? 0 : n; i < kBlock; ++i) fromModem[i] = 0;
    if (terminal_ != nullptr) {
      n = fax_tx(terminal_, fromTerminal, kBlock);
      for (int i = n < 0 ? 0 : n; i < kBlock; ++i) fromTerminal[i] = 0;
      fax_rx(terminal_, fromModem, kBlock);
    } else {
      std::memset(fromTerminal, 0, sizeof fromTerminal);
    }
    t31_rx(t31_, fromTerminal, kBlock);
  }

  // The port's bytes: taken only while the modem does not hold them off.
  bool Holding() const { return holding_; }

  // A listen to be late (--late-listen) reaches the modem without its CR; the CR and what
  // follows it are held back, and the port is not read, until it is due.
  void FromPort(const std::uint8_t* data, int len) {
    std::vector<std::uint8_t> buf(data, data + len);
    int taken = 0;
    while (taken < len && !Watch(buf[static_cast<std::size_t>(taken)])) ++taken;
    t31_at_rx(t31_, reinterpret_cast<const char*>(buf.data()), taken);
    if (taken < len) {
      late_.assign(buf.begin() + taken, buf.end());
      lateUntil_ = NowNs() + static_cast<std::int64_t>(opt_.lateByMs) * 1000000;
    }
  }

 private:
  const Options& opt_;
  int fd_;
  FILE* log_ = nullptr;
  t31_state_t* t31_ = nullptr;
  fax_state_t* terminal_ = nullptr;
  int call_ = 0;
  bool holding_ = false;
  // Call state, as the modem's control requests and the terminal's phase E tell it.
  bool dialled_ = false;   // the port dialled (ATD): connect it
  bool answered_ = false;  // the port answered (ATA)
  bool inCall_ = false;    // a call is connected
  bool hungUp_ = false;    // the port hung up during or after the call
  bool phaseE_ = false;    // the terminal has ended its part
  CallResult result_;
  // What the port sends, watched for the image of a page (--bad-line).
  std::string line_;
  bool expectData_ = false;  // a transmit command went out: data follows its CONNECT
  bool inData_ = false;
  bool dataDle_ = false;
  bool dataIsPage_ = false;
  bool dataGarbled_ = false;
  long dataCount_ = 0;
  long lastGarble_ = 0;
  int pagesSeen_ = 0;
  std::string modemLine_;
  // The port's listens for a page (--late-page) and the DIS of the call (--dcn-at-dis).
  std::uint32_t frameBytes_ = 0;      // the last three bytes of the port's frames
  bool pageListenDue_ = false;        // the port sent CFR or MCF: a page follows
  int pagesConfirmed_ = 0;            // MCF over the run
  std::int64_t listenWaitUntil_ = 0;  // the line stands still for the listen (--wait-for-listen)
  std::vector<int> madeLate_;
  std::vector<std::uint8_t> late_;
  std::int64_t lateUntil_ = 0;
  int disSeen_ = 0;

  // ----- the modem's side of the port

  static int AtTx(at_state_t*, void* user, const std::uint8_t* buf, std::size_t len) {
    static_cast<Peer*>(user)->ToPort(buf, len);
    return static_cast<int>(len);
  }

  void ToPort(const std::uint8_t* buf, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) WatchModem(buf[i]);
    std::size_t off = 0;
    while (off < len) {
      const ssize_t w = ::write(fd_, buf + off, len - off);
      if (w > 0) {
        off += static_cast<std::size_t>(w);
      } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, 1000) <= 0 && gStop) return;
      } else {
        return;  // nobody on the port
      }
    }
  }

  static int ModemControl(t31_state_t*, void* user, int op, const char* num) {
    Peer* p = static_cast<Peer*>(user);
    switch (op) {
      case AT_MODEM_CONTROL_CALL:
        p->dialled_ = true;
        p->Log("(dial)");
        break;
      case AT_MODEM_CONTROL_ANSWER:
        p->answered_ = true;
        p->Log("(answer)");
        break;
      case AT_MODEM_CONTROL_HANGUP:
        if (p->inCall_ || p->dialled_ || p->answered_) {
          p->hungUp_ = true;
          p->Log("(hang-up)");
        }
        break;
      case AT_MODEM_CONTROL_ONHOOK:
        if (p->inCall_) {
          p->hungUp_ = true;
          p->Log("(on hook)");
        }
        break;
      case AT_MODEM_CONTROL_CTS:
        // CTS off: the modem's transmit buffer is full, the port must wait.
        p->holding_ = num == nullptr;
        p->Log(p->holding_ ? "(hold)" : "(go on)");
        break;
      default:
        break;
    }
    return 0;
  }

  // ----- calls

  void StartCall() {
    dialled_ = answered_ = inCall_ = hungUp_ = phaseE_ = false;
    pageListenDue_ = false;
    disSeen_ = 0;
    result_ = CallResult{};
  }

  std::string ReceiveName() const {
    if (call_ <= 1) return opt_.receiveFile;
    const std::string& f = opt_.receiveFile;
    const std::size_t dot = f.rfind('.');
    const std::size_t slash = f.rfind('/');
    const std::string suffix = "-" + std::to_string(call_);
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return f + suffix;
    return f.substr(0, dot) + suffix + f.substr(dot);
  }

  void StartTerminal(bool calling) {
    terminal_ = fax_init(nullptr, calling ? 1 : 0);
    fax_set_transmit_on_idle(terminal_, 1);
    t30_state_t* t30 = fax_get_t30_state(terminal_);
    t30_set_tx_ident(t30, opt_.ident.c_str());
    t30_set_supported_modems(t30, opt_.modems);
    t30_set_ecm_capability(t30, 0);
    t30_set_supported_compressions(t30, T30_SUPPORT_T4_1D_COMPRESSION);
    t30_set_supported_resolutions(t30, T30_SUPPORT_STANDARD_RESOLUTION | T30_SUPPORT_FINE_RESOLUTION);
    if (calling)
      t30_set_tx_file(t30, opt_.sendFile.c_str(), -1, -1);
    else
      t30_set_rx_file(t30, ReceiveName().c_str(), -1);
    t30_set_phase_e_handler(t30, &Peer::PhaseE, this);
    t30_set_phase_b_handler(t30, &Peer::PhaseB, this);
    t30->retransmit_capable = opt_.resendRejected ? 1 : 0;
    t30_set_real_time_frame_handler(t30, &Peer::Frame, this);
    if (opt_.verbose) {
      for (logging_state_t* l : {fax_get_logging_state(terminal_), t30_get_logging_state(t30)}) {
        span_log_set_level(
            l, SPAN_LOG_SHOW_SEVERITY | SPAN_LOG_SHOW_PROTOCOL | SPAN_LOG_SHOW_TAG | SPAN_LOG_FLOW);
        span_log_set_tag(l, "T.30");
      }
    }
  }

  void EndTerminal() {
    if (terminal_ != nullptr) fax_free(terminal_);
    terminal_ = nullptr;
  }

  static void Frame(t30_state_t*, void* user, int incoming, const std::uint8_t* msg, int len) {
    if (len < 3) return;
    Peer* p = static_cast<Peer*>(user);
    p->Log(std::string(incoming ? "(got " : "(sent ") + t30_frametype(msg[2]) + ")");
  }

  // The terminal has a DIS (or, receiving, a DCS): anything but OK makes it hang up with DCN.
  static int PhaseB(t30_state_t*, void* user, int fcf) {
    Peer* p = static_cast<Peer*>(user);
    if ((fcf & 0xFE) != T30_DIS || ++p->disSeen_ != p->opt_.dcnAtDis) return T30_ERR_OK;
    p->Log("(refuse DIS)");
    return T30_ERR_IDENT_UNACCEPTABLE;
  }

  static void PhaseE(t30_state_t* t30, void* user, int code) {
    Peer* p = static_cast<Peer*>(user);
    t30_stats_t st{};
    t30_get_transfer_statistics(t30, &st);
    p->result_.code = code;
    p->result_.pages = p->opt_.sendFile.empty() ? st.pages_rx : st.pages_tx;
    p->result_.rate = st.bit_rate;
    const char* id = t30_get_rx_ident(t30);
    p->result_.remote = id ? id : "";
    p->phaseE_ = true;
    p->Log("(phase E " + std::to_string(code) + ")");
  }

  void PrintResult() {
    std::printf("T.30 result %d \"%s\" pages %d rate %d remote \"%s\"\n", result_.code,
                result_.code >= 0 ? t30_completion_code_to_str(result_.code) : "no call", result_.pages,
                result_.rate, result_.remote.c_str());
    std::fflush(stdout);
  }

  // One call from ringing (or waiting for the dial) to the port's hang-up; false when it
  // did not end before the deadline (or was not answered).
  bool RunCall(std::int64_t deadline) {
    const bool sending = !opt_.sendFile.empty();
    std::int64_t next = NowNs();
    std::int64_t nextRing = next;
    int rings = 0;
    while (!gStop) {
      if (NowNs() > deadline) return false;
      PortUntil(next, false);
      if (NowNs() < next) continue;
      next += 20000000;

      // Call events, outside the modem's own call-backs.
      if (sending && !inCall_) {
        if (answered_) {
          answered_ = false;
          inCall_ = true;
          t31_call_event(t31_, AT_CALL_EVENT_ANSWERED);
          StartTerminal(true);
        } else if (NowNs() >= nextRing) {
          if (rings >= opt_.rings) return false;
          ++rings;
          Log("(ring)");
          t31_call_event(t31_, AT_CALL_EVENT_ALERTING);
          nextRing = NowNs() + static_cast<std::int64_t>(opt_.ringIntervalMs) * 1000000;
        }
      } else if (!sending && !inCall_ && dialled_) {
        dialled_ = false;
        inCall_ = true;
        t31_call_event(t31_, AT_CALL_EVENT_CONNECTED);
        StartTerminal(false);
      }
      if (hungUp_) {
        if (terminal_ != nullptr && !phaseE_) t30_terminate(fax_get_t30_state(terminal_));
        return true;
      }
      if (NowNs() < listenWaitUntil_) continue;

      AudioBlock();
      // A block late by more than a second is not made up for: real time goes on from now.
      if (NowNs() - next > 1000000000) next = NowNs();
    }
    return false;
  }

  // ----- watching the port's stream (command log, page images for --bad-line)

  void Log(const std::string& text) {
    if (!log_) return;
    std::fprintf(log_, "%s\n", text.c_str());
    std::fflush(log_);
  }

  void WatchModem(std::uint8_t c) {
    if (c == '\r' || c == '\n') {
      if (!modemLine_.empty()) {
        Log("< " + modemLine_);
        if (opt_.waitForListen && modemLine_ == "OK") listenWaitUntil_ = NowNs() + 2000000000;
        if (expectData_ && modemLine_ == "CONNECT") {
          expectData_ = false;
          inData_ = true;
          dataDle_ = false;
          dataIsPage_ = false;
          dataGarbled_ = false;
          dataCount_ = 0;
          lastGarble_ = 0;
        } else if (expectData_ && modemLine_ != "CONNECT") {
          expectData_ = false;
        }
      }
      modemLine_.clear();
    } else if (c >= 32 && c < 127 && modemLine_.size() < 80) {
      modemLine_ += static_cast<char>(c);
    } else if (c < 32 || c >= 127) {
      modemLine_.clear();  // frame bytes, not a response
    }
  }

  bool Garbled(int page) const {
    return std::find(opt_.badLines.begin(), opt_.badLines.end(), page) != opt_.badLines.end();
  }

  // True at the CR of a listen that is to reach the modem late.
  bool Watch(std::uint8_t& c) {
    if (inData_) {
      if (dataDle_) {
        dataDle_ = false;
        if (c == 0x03) {
          inData_ = false;
          if (dataIsPage_)
            Log(std::string("(page image ") + std::to_string(pagesSeen_) + ", " + std::to_string(dataCount_) +
                " bytes" + (dataGarbled_ ? ", garbled)" : ")"));
        }
        return false;
      }
      if (c == 0x10) {
        dataDle_ = true;
        return false;
      }
      ++dataCount_;
      if (!dataIsPage_ && c != 0) {
        dataIsPage_ = true;  // the training check is all zeros; a page is not
        ++pagesSeen_;
      }
      // A garbled line: one code bit in twenty bytes turned on, in bytes whose outer bits are
      // set already, so that no end-of-line code is made or broken and the lines around
      // the faults are still found: the rows decode to the wrong length.
      if (dataIsPage_ && Garbled(pagesSeen_) && dataCount_ > 100 && dataCount_ - lastGarble_ >= 20 &&
          (c & 0x81) == 0x81 && (c & 0x08) == 0) {
        c = static_cast<std::uint8_t>(c | 0x08);
        lastGarble_ = dataCount_;
        dataGarbled_ = true;
      }
      return false;
    }
    bool late = false;
    frameBytes_ = (frameBytes_ << 8 | c) & 0xFFFFFF;
    if ((frameBytes_ >> 16) == 0xFF && (frameBytes_ >> 8 & 0xEF) == 0x03) {
      if ((c & 0xFE) == T30_MCF) ++pagesConfirmed_;
      if ((c & 0xFE) == T30_MCF || (c & 0xFE) == T30_CFR) pageListenDue_ = true;
    }
    if (c == '\r') {
      std::string up;
      for (char ch : line_) up += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      if (!line_.empty()) Log("> " + line_);
      if (up.rfind("AT+FTM=", 0) == 0 && up != "AT+FTM=?") expectData_ = true;
      if (up.rfind("AT", 0) == 0) listenWaitUntil_ = 0;
      if (up.rfind("AT", 0) == 0 && pageListenDue_) {
        // The first command after CFR or MCF: a listen for the next page, or none comes.
        pageListenDue_ = false;
        const int page = pagesConfirmed_ + 1;
        if (up.rfind("AT+FRM=", 0) == 0 && up != "AT+FRM=?" && std::ranges::count(opt_.latePages, page) > 0 &&
            std::ranges::count(madeLate_, page) == 0) {
          madeLate_.push_back(page);
          Log("(late listen for page " + std::to_string(page) + ")");
          late = true;
        }
      }
      line_.clear();
    } else if (c >= 32 && c < 127) {
      if (line_.size() < 200) line_ += static_cast<char>(c);
    } else if (c != '\n') {
      line_.clear();  // frame bytes
    }
    return late;
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

bool Number(const std::string& v, int lo, int hi, int& out) {
  char* end = nullptr;
  const long n = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end != '\0' || n < lo || n > hi) return false;
  out = static_cast<int>(n);
  return true;
}

// A comma list of numbers from lo to hi.
bool NumberList(const std::string& v, int lo, int hi, std::vector<int>& out) {
  std::size_t start = 0;
  while (start <= v.size()) {
    std::size_t comma = v.find(',', start);
    if (comma == std::string::npos) comma = v.size();
    int n = 0;
    if (!Number(v.substr(start, comma - start), lo, hi, n)) return false;
    out.push_back(n);
    start = comma + 1;
  }
  return true;
}

int Usage(const std::string& why) {
  std::fprintf(stderr, "faxpeer: %s (see --help)\n", why.c_str());
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
    } else if (a == "--verbose") {
      opt.verbose = true;
    } else if (a == "--resend-rejected") {
      opt.resendRejected = true;
    } else if (TakeValue(argc, argv, i, "--receive", v)) {
      opt.receiveFile = v;
    } else if (TakeValue(argc, argv, i, "--send", v)) {
      opt.sendFile = v;
    } else if (TakeValue(argc, argv, i, "--calls", v)) {
      if (!Number(v, 1, 1000, opt.calls)) return Usage("--calls wants a count");
    } else if (TakeValue(argc, argv, i, "--ring-interval", v)) {
      if (!Number(v, 100, 60000, opt.ringIntervalMs)) return Usage("--ring-interval wants milliseconds");
    } else if (TakeValue(argc, argv, i, "--rings", v)) {
      if (!Number(v, 1, 1000, opt.rings)) return Usage("--rings wants a count");
    } else if (TakeValue(argc, argv, i, "--ident", v)) {
      opt.ident = v.substr(0, 20);
    } else if (TakeValue(argc, argv, i, "--modems", v)) {
      opt.modems = 0;
      std::size_t start = 0;
      while (start <= v.size()) {
        std::size_t comma = v.find(',', start);
        if (comma == std::string::npos) comma = v.size();
        const std::string item = v.substr(start, comma - start);
        start = comma + 1;
        if (item == "v27")
          opt.modems |= T30_SUPPORT_V27TER;
        else if (item == "v29")
          opt.modems |= T30_SUPPORT_V29;
        else if (item == "v17")
          opt.modems |= T30_SUPPORT_V17;
        else if (!item.empty())
          return Usage("unknown modem " + item);
      }
      if (opt.modems == 0) return Usage("--modems wants at least one modem");
    } else if (TakeValue(argc, argv, i, "--bad-line", v)) {
      if (!NumberList(v, 1, 100000, opt.badLines)) return Usage("--bad-line wants page numbers");
    } else if (TakeValue(argc, argv, i, "--late-page", v)) {
      if (!NumberList(v, 1, 100000, opt.latePages)) return Usage("--late-page wants page numbers");
    } else if (TakeValue(argc, argv, i, "--late-by", v)) {
      if (!Number(v, 0, 60000, opt.lateByMs)) return Usage("--late-by wants milliseconds");
    } else if (a == "--wait-for-listen") {
      opt.waitForListen = true;
    } else if (TakeValue(argc, argv, i, "--dcn-at-dis", v)) {
      if (!Number(v, 1, 1000, opt.dcnAtDis)) return Usage("--dcn-at-dis wants a count");
    } else if (TakeValue(argc, argv, i, "--timeout", v)) {
      if (!Number(v, 1, 86400, opt.timeoutS)) return Usage("--timeout wants seconds");
    } else if (TakeValue(argc, argv, i, "--log", v)) {
      opt.log = v;
    } else {
      return Usage("unknown option " + a);
    }
  }
  if (opt.receiveFile.empty() == opt.sendFile.empty()) return Usage("give either --receive or --send");
  if (!opt.sendFile.empty() && ::access(opt.sendFile.c_str(), R_OK) != 0)
    return Usage("cannot read " + opt.sendFile);

  HostPty pty;
  if (!pty.Open()) return Usage(pty.error);
  const int master = pty.master;
  const std::string& path = pty.path;

  signal(SIGTERM, OnSignal);
  signal(SIGINT, OnSignal);
  signal(SIGPIPE, SIG_IGN);

  Peer peer(opt, master);
  if (!peer.Init()) return Usage("the T.31 modem cannot be made");
  std::printf("%s\n", path.c_str());
  std::fflush(stdout);
  const bool ok = peer.Run();
  return ok ? 0 : 1;
}
