// faxmodem-sim: a fax modem with its remote fax machine, simulated on a pseudo-terminal for
// testing the fax engine without hardware. It speaks the AT command set with the fax
// Class 1, Class 2 and Class 2.0 commands for sending (the remote takes the pages) and
// writes the received page data to files, one per page.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tools/HostPty.h"

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
    "  --late WHEN:REPLY[:N]\n"
    "                       Class 1: the remote's frame comes late: the first N times (default 1)\n"
    "                       the sender listens for it, the modem hears nothing for 200 ms and\n"
    "                       answers REPLY (\"NO CARRIER\", \"ERROR\") instead, or with CORRUPT\n"
    "                       gives a frame whose check fails (its bytes read as DCN) and ERROR;\n"
    "                       WHEN is dial (the DIS after the dial), eom (each DIS after EOM) or\n"
    "                       cfr (each answer to the training check); may be given more than once\n"
    "  --dcn-after-eom      Class 1: the remote hangs up after EOM: DCN in place of its DIS\n"
    "  --scan CODE          minimum scan time code 0..7 the remote asks for (default 0)\n"
    "  --output PREFIX      write the data of page n (DLE doubling undone, page end removed) to\n"
    "                       PREFIX-n.g3, n counting from 1 over the whole run\n"
    "  --log FILE           write every command line received to FILE\n"
    "\n"
    "The remote calls (receiving through the simulator):\n"
    "  --call PAGES         the remote rings and, once answered (ATA), sends the pages: a comma\n"
    "                       list of files of T.4 code (bits least significant first), each\n"
    "                       with \":fine\" behind it for fine resolution (Class 2, 2.0; Class 1\n"
    "                       answers the call and stays silent after it)\n"
    "  --calls N            the remote calls N times, one after the other (default 1)\n"
    "  --ring-interval MS   time between two RINGs (default 1000)\n"
    "  --fet LIST           the +FET values reported after the pages, a comma list (default 0\n"
    "                       for every page but the last, 2 for the last)\n"
    "  --no-tsi             the remote gives no identification (no +FTSI / +FTI)\n"
    "\n"
    "Two simulators back to back (a fax from the program on one to the program on the other):\n"
    "  --link-listen PATH   wait for the other simulator on the local socket PATH\n"
    "  --link-connect PATH  join the simulator listening on PATH; a dial on either rings the\n"
    "                       other, and the pages sent to one are received from the other\n"
    "  -h, --help           this text\n"
    "\n"
    "Commands answered: AT, ATE/Q/V/X/S settings, ATH, ATD (T/P), AT+FCLASS=? / ? / =n,\n"
    "AT+FMDL? AT+FMFR? AT+FREV? (Class 2), AT+FMI? AT+FMM? AT+FMR? (Class 2.0), AT+FTM=? and\n"
    "AT+FRM=? (Class 1), AT+FDT, AT+FET=n, AT+FPS?, AT+FKS and every other AT command with OK.\n"
    "Class 1 dial: CONNECT, CSI frame, OK; AT+FRH=3: CONNECT, the remote's next frame (DIS, then\n"
    "CFR or FTT after the training check, MCF after a post-page frame and DIS again after that\n"
    "MCF when the frame was EOM), OK; AT+FTH=3: CONNECT, then frames up to DLE ETX, each\n"
    "answered with CONNECT (OK after the final one); AT+FTM=n: CONNECT,\n"
    "data up to DLE ETX (the first after a DCS is the training check), OK. Frames carry two\n"
    "check bytes that are not verified.\n"
    "Class 2 dial: +FCON, +FCSI, +FDIS, OK; AT+FDT: +FDCS, CONNECT, XON; page end DLE ETX: OK;\n"
    "AT+FET=n: +FPTS:1 (and +FHNG:0 after the last page), OK.\n"
    "Class 2.0 dial: +FCO, +FCI, +FIS, OK; AT+FDT: +FCS, CONNECT; page end DLE and '.', ',' or\n"
    "';': OK (+FHS:00 before it after the last page).\n"
    "Answering (ATA), Class 2: +FCON, +FTSI, +FDCS, OK; AT+FDR: +FDCS, CONNECT, the page after the\n"
    "program's DC2 (bits reversed in Class 2), DLE ETX, +FPTS:1, +FET:n, OK; after the last page\n"
    "AT+FDR gives +FHNG:0 (Class 2.0: +FCO, +FTI, +FCS, +FPS, +FHS:00).\n";

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
  struct Late {
    std::string when, reply;
    int count = 1;
  };
  std::vector<Late> late;
  bool dcnAfterEom = false;
  int scan = 0;
  std::string output;
  std::string log;
  // The remote calls
  struct CallPage {
    std::string file;
    bool fine = false;
  };
  std::vector<CallPage> callPages;
  int calls = 1;
  int ringIntervalMs = 1000;
  std::vector<int> fet;
  bool noTsi = false;
  std::string linkListen, linkConnect;
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

  // The link to the other simulator (back to back), -1 without one.
  void SetLink(int fd) { link_ = fd; }
  int Link() const { return link_; }
  // Bytes from the other simulator.
  void LinkFeed(const unsigned char* p, std::size_t n) {
    linkIn_.append(reinterpret_cast<const char*>(p), n);
    for (;;) {
      const std::size_t nl = linkIn_.find('\n');
      if (nl == std::string::npos) return;
      const std::string head = linkIn_.substr(0, nl);
      if (head.rfind("PAGE ", 0) == 0) {
        int fine = 0;
        long len = 0;
        if (std::sscanf(head.c_str(), "PAGE %d %ld", &fine, &len) != 2 || len < 0) {
          linkIn_.erase(0, nl + 1);
          continue;
        }
        if (linkIn_.size() < nl + 1 + static_cast<std::size_t>(len)) return;  // the rest follows
        InPage page;
        page.fine = fine != 0;
        page.data.assign(linkIn_.begin() + static_cast<long>(nl) + 1,
                         linkIn_.begin() + static_cast<long>(nl) + 1 + len);
        linkIn_.erase(0, nl + 1 + static_cast<std::size_t>(len));
        inPages_.push_back(std::move(page));
      } else {
        linkIn_.erase(0, nl + 1);
        LinkMessage(head);
      }
      Deliver();
    }
  }
  // Rings while a call waits to be answered; called every pass of the main loop.
  void Tick() {
    if (!ringing_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < nextRing_) return;
    nextRing_ = now + std::chrono::milliseconds(opt_.ringIntervalMs);
    Reply("RING");
  }
  // Starts the remote's first call (--call).
  void StartCalls() {
    if (opt_.callPages.empty()) return;
    callsLeft_ = opt_.calls;
    NextCall();
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
  std::vector<unsigned char> dis_;                         // the remote's capabilities
  bool training_ = false;                                  // the next AT+FTM carries the training check
  bool lastPage_ = false;
  int rejected_ = 0;
  // --late: the frame due next is heard only after this many misses, answered with lateReply_
  int lateLeft_ = 0;
  std::string lateReply_;
  // Answering: the remote's call and its pages
  struct InPage {
    bool fine = false;
    std::vector<unsigned char> data;
  };
  int link_ = -1;
  std::string linkIn_;
  std::string localId_;                  // the program's own ID (AT+FLID / AT+FLI)
  std::string callerId_ = "REMOTE FAX";  // the remote's ID
  bool ringing_ = false;
  std::chrono::steady_clock::time_point nextRing_{};
  bool answering_ = false;    // an answered call is connected
  bool dialPending_ = false;  // a dial waits for the other simulator to answer
  int callsLeft_ = 0;
  std::deque<InPage> inPages_;  // pages of the remote not yet delivered
  std::deque<int> inPosts_;     // their post-page messages (+FET values)
  bool fdrPending_ = false;     // the program asked for a page (AT+FDR)
  bool waitDC2_ = false;        // a page waits for the program's DC2
  bool pageOut_ = false;        // a page went out and waits for its post-page message
  bool docEnded_ = false;       // the last page's post-page message was EOP
  InPage current_;

  void LinkSend(const std::string& s) {
    if (link_ < 0) return;
    std::size_t off = 0;
    while (off < s.size()) {
      const ssize_t w = ::write(link_, s.data() + off, s.size() - off);
      if (w > 0)
        off += static_cast<std::size_t>(w);
      else if (w < 0 && (errno == EAGAIN || errno == EINTR))
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      else
        return;
    }
  }

  void LinkMessage(const std::string& msg) {
    if (msg.rfind("CALL ", 0) == 0) {
      // The other side dialled: ring the program here.
      callerId_ = msg.substr(5);
      inPages_.clear();
      inPosts_.clear();
      docEnded_ = pageOut_ = fdrPending_ = waitDC2_ = false;
      ringing_ = true;
      nextRing_ = std::chrono::steady_clock::now();
    } else if (msg.rfind("ANSWER ", 0) == 0 && dialPending_) {
      dialPending_ = false;
      connected_ = true;
      Reply(Class20() ? "+FCO" : "+FCON");
      Reply((Class20() ? "+FCI:\"" : "+FCSI:\"") + msg.substr(7) + "\"");
      Reply((Class20() ? "+FIS:" : "+FDIS:") + Params(true));
      Reply("OK");
    } else if (msg.rfind("POST ", 0) == 0) {
      inPosts_.push_back(std::atoi(msg.c_str() + 5));
    } else if (msg == "HANGUP") {
      ringing_ = false;
    }
  }

  void NextCall() {
    if (callsLeft_ <= 0) return;
    --callsLeft_;
    callerId_ = opt_.remoteId;
    inPages_.clear();
    inPosts_.clear();
    for (std::size_t i = 0; i < opt_.callPages.size(); ++i) {
      InPage page;
      page.fine = opt_.callPages[i].fine;
      std::ifstream f(opt_.callPages[i].file, std::ios::binary);
      page.data.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
      inPages_.push_back(std::move(page));
      const bool last = i + 1 == opt_.callPages.size();
      inPosts_.push_back(i < opt_.fet.size() ? opt_.fet[i] : last ? 2 : 0);
    }
    docEnded_ = pageOut_ = fdrPending_ = waitDC2_ = false;
    ringing_ = true;
    nextRing_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  }

  std::string Dcs(bool fine) const { return std::string(1, fine ? '1' : '0') + ",5,0,2,0,0,0,0"; }

  void Answer() {
    if (!ringing_) return Reply("NO CARRIER");
    ringing_ = false;
    answering_ = true;
    connected_ = true;
    LinkSend("ANSWER " + localId_ + "\n");
    if (fclass_ == "1") {
      // Class 1: the program's frames are taken, nothing is answered.
      Reply("CONNECT");
      rx_ = Rx::Frames;
      frame_.clear();
      afterDle_ = false;
      return;
    }
    Reply(Class20() ? "+FCO" : "+FCON");
    if (!opt_.noTsi) Reply((Class20() ? "+FTI:\"" : "+FTSI:\"") + callerId_ + "\"");
    if (!inPages_.empty()) Reply((Class20() ? "+FCS:" : "+FDCS:") + Dcs(inPages_.front().fine));
    Reply("OK");
  }

  void Fdr() {
    if (!answering_) return Reply("ERROR");
    fdrPending_ = true;
    Deliver();
  }

  // Moves the answered call on as far as the remote's pages and messages allow.
  void Deliver() {
    if (!answering_) return;
    if (pageOut_ && !inPosts_.empty()) {
      const int post = inPosts_.front();
      inPosts_.pop_front();
      pageOut_ = false;
      Reply(Class20() ? "+FPS:1" : "+FPTS:1");
      Reply("+FET:" + std::to_string(post));
      Reply("OK");
      if (post == 2 || post == 5) docEnded_ = true;
    }
    if (!fdrPending_ || pageOut_ || waitDC2_) return;
    if (docEnded_) {
      fdrPending_ = false;
      answering_ = connected_ = false;
      Reply(Class20() ? "+FHS:00" : "+FHNG:0");
      Reply("OK");
      NextCall();
      return;
    }
    if (inPages_.empty()) {
      if (link_ >= 0) return;  // the other side has not sent it yet
      // The remote announced another page and has none: it hangs up.
      fdrPending_ = false;
      answering_ = connected_ = false;
      Reply(Class20() ? "+FHS:50" : "+FHNG:50");
      Reply("OK");
      NextCall();
      return;
    }
    fdrPending_ = false;
    current_ = std::move(inPages_.front());
    inPages_.pop_front();
    Reply((Class20() ? "+FCS:" : "+FDCS:") + Dcs(current_.fine));
    Reply("CONNECT");
    waitDC2_ = true;
  }

  static unsigned char Reverse(unsigned char b) {
    b = static_cast<unsigned char>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<unsigned char>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    b = static_cast<unsigned char>((b & 0xAA) >> 1 | (b & 0x55) << 1);
    return b;
  }

  // The program's DC2: the page goes out, DLE doubled, its bits reversed in Class 2.
  void SendPage() {
    waitDC2_ = false;
    std::string out;
    for (unsigned char b : current_.data) {
      const unsigned char x = Class20() ? b : Reverse(b);
      out += static_cast<char>(x);
      if (x == 0x10) out += static_cast<char>(x);
    }
    out += "\x10\x03";
    Write(out);
    pageOut_ = true;
    Deliver();
  }

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
    if (c == 0x12 && waitDC2_) return SendPage();
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
    // The escape sequence and the command that follows it arrive as one line.
    while (up.rfind("+++", 0) == 0) {
      up.erase(0, 3);
      cmd.erase(0, 3);
    }
    if (up.rfind("AT", 0) != 0) return;
    const std::string body = up.substr(2);

    if (body.rfind("D", 0) == 0) return Dial();
    if (body == "A") return Answer();
    if (body.rfind("H", 0) == 0) {
      const bool wasAnswering = answering_;
      connected_ = answering_ = dialPending_ = false;
      rx_ = Rx::None;
      Reply("OK");
      if (wasAnswering) NextCall();
      return;
    }
    if (body == "+FDR") return Fdr();
    if (body.rfind("+FLID=", 0) == 0 || body.rfind("+FLI=", 0) == 0) {
      std::string id = cmd.substr(cmd.find('=') + 1);
      if (!id.empty() && id.front() == '"') id.erase(0, 1);
      if (!id.empty() && id.back() == '"') id.pop_back();
      localId_ = id;
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
    if ((fclass_ == "2" || fclass_ == "2.0") && link_ >= 0) {
      // The other simulator rings its program; the call connects when it answers.
      dialPending_ = true;
      LinkSend("CALL " + localId_ + "\n");
      return;
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
      dis_ = {0xFF, 0x13, 0x80, 0x00, 0x4C, kScanBits[opt_.scan], 0x00};
      pendingFrames_ = {dis_};
      MakeLate("dial");
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

  // Class 1: an HDLC frame from the remote, with its check bytes, then OK (or the modem's ERROR
  // for a frame whose check failed).
  void SendFrame(const std::vector<unsigned char>& f, const char* result = "OK") {
    std::string out;
    for (unsigned char b : f) {
      out += static_cast<char>(b);
      if (b == 0x10) out += static_cast<char>(b);
    }
    out += "\x5A\xA5\x10\x03";  // check bytes (not verified by the sender), DLE ETX
    if (!opt_.mute) Write(out);
    Reply(result);
  }

  // The next frame the remote sends (DIS or the answer to the training) comes late.
  void MakeLate(const std::string& when) {
    lateLeft_ = 0;
    for (const Options::Late& l : opt_.late)
      if (l.when == when) {
        lateLeft_ = l.count;
        lateReply_ = l.reply;
      }
  }

  void SendNextFrame() {
    if (pendingFrames_.empty()) return;  // nothing to say: the sender's wait runs out
    const bool late = pendingFrames_.front() == dis_ || (pendingFrames_.front()[2] & 0xFE) == 0x84 ||
                      (pendingFrames_.front()[2] & 0xFE) == 0x44;
    if (late && lateLeft_ > 0) {
      --lateLeft_;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      if (lateReply_ != "CORRUPT") return Reply(lateReply_);
      // Noise: a frame whose bytes read as DCN, and whose check fails.
      Reply("CONNECT");
      return SendFrame({0xFF, 0x13, 0xFA}, "ERROR");
    }
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
        // After EOM the remote starts phase B again with its DIS (or hangs up).
        if ((f[2] & 0xFE) == 0x8E) {
          pendingFrames_.push_back(opt_.dcnAfterEom ? std::vector<unsigned char>{0xFF, 0x13, 0xFA} : dis_);
          MakeLate("eom");
        }
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
        MakeLate("cfr");
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
    if (link_ >= 0) {
      // The page goes on to the other simulator; Class 2.0 tells its post-page message here.
      LinkSend("PAGE " + std::string(res_ == '1' ? "1 " : "0 ") + std::to_string(pageData_.size()) + "\n" +
               std::string(pageData_.begin(), pageData_.end()));
      if (Class20()) LinkSend("POST " + std::string(how == ',' ? "0" : how == ';' ? "1" : "2") + "\n");
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
    if (link_ >= 0) LinkSend("POST " + arg + "\n");
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
    } else if (TakeValue(argc, argv, i, "--late", v)) {
      Options::Late l;
      const std::size_t c1 = v.find(':');
      const std::size_t c2 = c1 == std::string::npos ? c1 : v.find(':', c1 + 1);
      l.when = v.substr(0, c1);
      l.reply = c1 == std::string::npos ? std::string()
                                        : v.substr(c1 + 1, c2 == std::string::npos ? c2 : c2 - c1 - 1);
      if (c2 != std::string::npos) {
        char* end = nullptr;
        l.count = static_cast<int>(std::strtol(v.c_str() + c2 + 1, &end, 10));
        if (end == v.c_str() + c2 + 1 || *end != '\0' || l.count < 1)
          return Fail("late wants WHEN:REPLY[:N]");
      }
      if ((l.when != "dial" && l.when != "eom" && l.when != "cfr") || l.reply.empty())
        return Fail("late wants WHEN:REPLY[:N]");
      opt.late.push_back(l);
    } else if (a == "--dcn-after-eom") {
      opt.dcnAfterEom = true;
    } else if (TakeValue(argc, argv, i, "--scan", v)) {
      if (v.size() != 1 || v[0] < '0' || v[0] > '7') return Fail("scan wants 0..7");
      opt.scan = v[0] - '0';
    } else if (TakeValue(argc, argv, i, "--output", v)) {
      opt.output = v;
    } else if (TakeValue(argc, argv, i, "--log", v)) {
      opt.log = v;
    } else if (TakeValue(argc, argv, i, "--call", v)) {
      std::size_t start = 0;
      while (start <= v.size()) {
        std::size_t comma = v.find(',', start);
        if (comma == std::string::npos) comma = v.size();
        std::string item = v.substr(start, comma - start);
        start = comma + 1;
        if (item.empty()) continue;
        Options::CallPage page;
        if (item.size() > 5 && item.compare(item.size() - 5, 5, ":fine") == 0) {
          page.fine = true;
          item.resize(item.size() - 5);
        }
        page.file = item;
        if (::access(item.c_str(), R_OK) != 0) return Fail("cannot read " + item);
        opt.callPages.push_back(page);
      }
    } else if (TakeValue(argc, argv, i, "--calls", v)) {
      opt.calls = std::atoi(v.c_str());
      if (opt.calls < 1) return Fail("calls wants a count");
    } else if (TakeValue(argc, argv, i, "--ring-interval", v)) {
      opt.ringIntervalMs = std::atoi(v.c_str());
      if (opt.ringIntervalMs < 10) return Fail("ring-interval wants milliseconds");
    } else if (TakeValue(argc, argv, i, "--fet", v)) {
      std::size_t start = 0;
      while (start <= v.size()) {
        std::size_t comma = v.find(',', start);
        if (comma == std::string::npos) comma = v.size();
        const std::string item = v.substr(start, comma - start);
        start = comma + 1;
        if (item.size() != 1 || item[0] < '0' || item[0] > '5') return Fail("fet wants values 0..5");
        opt.fet.push_back(item[0] - '0');
      }
    } else if (a == "--no-tsi") {
      opt.noTsi = true;
    } else if (TakeValue(argc, argv, i, "--link-listen", v)) {
      opt.linkListen = v;
    } else if (TakeValue(argc, argv, i, "--link-connect", v)) {
      opt.linkConnect = v;
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

  Modem modem(opt, master);
  // The link to the other simulator: a local stream socket.
  int listener = -1;
  if (!opt.linkListen.empty() || !opt.linkConnect.empty()) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string& where = opt.linkListen.empty() ? opt.linkConnect : opt.linkListen;
    if (where.size() >= sizeof addr.sun_path) return Fail("link path too long");
    std::strcpy(addr.sun_path, where.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Fail("no socket");
    if (!opt.linkListen.empty()) {
      ::unlink(where.c_str());
      if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 1) != 0)
        return Fail("cannot listen on " + where);
      listener = fd;
    } else {
      bool joined = false;
      for (int i = 0; i < 100 && !joined; ++i) {
        joined = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (!joined) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (!joined) return Fail("cannot join " + where);
      modem.SetLink(fd);
    }
  }
  modem.StartCalls();
  bool stdinOpen = true;
  unsigned char buf[4096];
  while (!gStop) {
    modem.Tick();
    // A stalled remote takes nothing: the master side is not polled.
    const bool stalled = modem.Stalled();
    pollfd p[4] = {{stalled ? -1 : master, POLLIN, 0},
                   {modem.Link(), POLLIN, 0},
                   {modem.Link() < 0 ? listener : -1, POLLIN, 0},
                   {stdinOpen ? STDIN_FILENO : -1, POLLIN, 0}};
    int r = poll(p, 4, 50);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    if (p[0].revents & POLLIN) {
      ssize_t n = ::read(master, buf, sizeof buf);
      if (n > 0) modem.Feed(buf, static_cast<std::size_t>(n));
    }
    if (p[1].revents & (POLLIN | POLLHUP)) {
      ssize_t n = ::read(modem.Link(), buf, sizeof buf);
      if (n > 0) {
        modem.LinkFeed(buf, static_cast<std::size_t>(n));
      } else {
        ::close(modem.Link());
        modem.SetLink(-1);
      }
    }
    if (p[2].revents & POLLIN) {
      const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) modem.SetLink(fd);
    }
    if (p[3].revents & (POLLIN | POLLHUP)) {
      ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
      if (n <= 0) break;  // the end of standard input ends the simulator
    }
  }
  if (modem.Link() >= 0) ::close(modem.Link());
  if (listener >= 0) {
    ::close(listener);
    ::unlink(opt.linkListen.c_str());
  }
  return 0;
}
