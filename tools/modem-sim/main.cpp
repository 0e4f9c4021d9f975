// modem-sim: a data and voice modem with its telephone line, simulated on a pseudo-terminal
// for testing the telephony service without hardware. It answers the AT command set the
// service uses, rings with caller id on command, dials with the outcome it is told, carries
// a data call (the remote echoes what it gets), and speaks a voice mode with DTMF and
// sample data.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tools/HostPty.h"

namespace {

const char kHelp[] =
    "Usage: modem-sim [OPTIONS]\n"
    "\n"
    "Simulates a data and voice modem on a pseudo-terminal. Prints the path of the port on the\n"
    "first line of standard output and runs until SIGTERM or SIGINT or the end of standard input.\n"
    "\n"
    "  --dial OUTCOME       what a dial gives: answer (default), busy, no-carrier, no-dialtone,\n"
    "                       no-answer, error or silent (no result at all)\n"
    "  --dial-delay MS      time from the dial to its result (default 300)\n"
    "  --rate N             the rate reported with CONNECT (default 33600)\n"
    "  --ring-interval MS   time between two rings (default 400)\n"
    "  --voice-in SPEC      what the line carries while recording (AT+VRX): segments\n"
    "                       tone:MS and silence:MS separated by commas, then silence (default\n"
    "                       tone:60000)\n"
    "  --voice-out FILE     append the samples of every voice play-back (AT+VTX) to FILE\n"
    "  --log FILE           write every command line received to FILE, each after the\n"
    "                       milliseconds since the start and a blank (\"-> RING n\" for the\n"
    "                       rings, \"voice-played N\" for each play-back's sample bytes)\n"
    "  --raw FILE           write every byte received from the port to FILE, as it came\n"
    "  --mute               answer nothing at all\n"
    "  -h, --help           this text\n"
    "\n"
    "Commands on standard input (each answered with \"ok\" or \"error ...\"):\n"
    "  ring N [NUMBER [NAME]]  ring N times; with caller id on (AT+VCID=1) the number and name\n"
    "                          follow the first ring (P: private, O: out of area)\n"
    "  dial OUTCOME            the outcome of the next dials (as --dial)\n"
    "  hangup                  the far end hangs up (NO CARRIER; in voice mode DLE b)\n"
    "  dtmf DIGITS             the far end keys DTMF digits (voice calls: DLE and the digit)\n"
    "  voice SPEC              what the next recording carries (as --voice-in)\n"
    "  mute on|off             stop or resume answering\n"
    "\n"
    "AT commands: E, V, Q, X, Z, &F, &D, &C, S<n>=<v> (S12: escape guard in 1/50 s), I, H, O,\n"
    "A (answer while ringing), D<number>, +FCLASS=0|1|2|8 and ?, +VCID=<n>, +VLS=<n>,\n"
    "+VSM=<code>,<rate> (code 128: 8-bit unsigned, 130: 16-bit signed little-endian, rates\n"
    "4000-48000), +VTX (CONNECT, samples with DLE doubled until DLE ETX, then OK; DLE CAN\n"
    "discards), +VRX (CONNECT, samples with DLE doubled at the sample rate until the DTE sends\n"
    "DLE !, then DLE ETX and OK), +VTS=<digits separated by commas>; other commands give OK.\n"
    "A data call ends with \"+++\" between guard times (OK, command state) and ATH.\n";

using Clock = std::chrono::steady_clock;

struct Segment {
  bool tone = true;
  long ms = 0;
};

bool ParseSpec(const std::string& spec, std::vector<Segment>& out) {
  std::vector<Segment> segs;
  std::size_t start = 0;
  while (start < spec.size()) {
    std::size_t comma = spec.find(',', start);
    if (comma == std::string::npos) comma = spec.size();
    const std::string item = spec.substr(start, comma - start);
    start = comma + 1;
    const std::size_t colon = item.find(':');
    if (colon == std::string::npos) return false;
    Segment s;
    const std::string kind = item.substr(0, colon);
    if (kind == "tone")
      s.tone = true;
    else if (kind == "silence")
      s.tone = false;
    else
      return false;
    char* end = nullptr;
    s.ms = std::strtol(item.c_str() + colon + 1, &end, 10);
    if (end == item.c_str() + colon + 1 || *end != '\0' || s.ms < 0) return false;
    segs.push_back(s);
  }
  out = segs;
  return true;
}

struct Options {
  std::string dial = "answer";
  long dialDelay = 300;
  long rate = 33600;
  long ringInterval = 400;
  std::vector<Segment> voiceIn{{true, 60000}};
  std::string voiceOut;
  std::string log;
  std::string raw;
  bool mute = false;
};

bool KnownOutcome(const std::string& o) {
  return o == "answer" || o == "busy" || o == "no-carrier" || o == "no-dialtone" || o == "no-answer" ||
         o == "error" || o == "silent";
}

volatile sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

constexpr char kDLE = 0x10;
constexpr char kETX = 0x03;
constexpr char kCAN = 0x18;

class Modem {
 public:
  Modem(Options& o, int master) : opt_(o), fd_(master), start_(Clock::now()) {
    if (!o.log.empty()) log_ = std::fopen(o.log.c_str(), "w");
    if (!o.raw.empty()) raw_ = std::fopen(o.raw.c_str(), "wb");
  }
  ~Modem() {
    if (log_) std::fclose(log_);
    if (raw_) std::fclose(raw_);
  }

  void Feed(const char* p, std::size_t n) {
    lastRx_ = Clock::now();
    if (raw_) {
      std::fwrite(p, 1, n, raw_);
      std::fflush(raw_);
    }
    for (std::size_t i = 0; i < n; ++i) {
      switch (state_) {
        case State::Online:
          OnlineByte(p[i]);
          break;
        case State::VoiceTx:
          VoiceTxByte(p[i]);
          break;
        case State::VoiceRx:
          VoiceRxByte(p[i]);
          break;
        default:
          CommandByte(p[i]);
          break;
      }
    }
  }

  // Runs what is due; the milliseconds until the next thing is due (at most 200).
  int Tick() {
    const auto now = Clock::now();
    // Timers may add timers.
    for (bool again = true; again;) {
      again = false;
      for (std::size_t i = 0; i < timers_.size(); ++i) {
        if (timers_[i].first <= now) {
          auto fn = std::move(timers_[i].second);
          timers_.erase(timers_.begin() + static_cast<long>(i));
          fn();
          again = true;
          break;
        }
      }
    }
    // An escape: three '+' after a guard time and then a guard time of silence.
    if (state_ == State::Online && plus_ == 3 && now - lastRx_ >= Guard()) {
      plus_ = 0;
      state_ = State::OnlineCommand;
      Result("OK");
    }
    if (state_ == State::VoiceRx) StreamVoice(now);
    int wait = 200;
    for (auto& t : timers_)
      wait = std::min<int>(
          wait, static_cast<int>(std::max<long>(
                    0, std::chrono::duration_cast<std::chrono::milliseconds>(t.first - now).count())));
    if (state_ == State::Online && plus_ == 3) wait = std::min(wait, 10);
    if (state_ == State::VoiceRx) wait = std::min(wait, 10);
    return wait;
  }

  // A command from standard input: "" when done, else the error text.
  std::string Control(const std::string& line) {
    std::vector<std::string> w;
    std::size_t i = 0;
    while (i < line.size()) {
      while (i < line.size() && line[i] == ' ') ++i;
      if (i >= line.size()) break;
      std::size_t j = line.find(' ', i);
      if (w.size() == 3 || j == std::string::npos) j = line.size();  // the name may hold blanks
      w.push_back(line.substr(i, j - i));
      i = j;
    }
    if (w.empty()) return "empty command";
    if (w[0] == "ring") {
      if (w.size() < 2) return "ring wants a count";
      char* end = nullptr;
      long n = std::strtol(w[1].c_str(), &end, 10);
      if (*end != '\0' || n < 1) return "ring wants a count";
      callerNumber_ = w.size() > 2 ? w[2] : "";
      callerName_ = w.size() > 3 ? w[3] : "";
      ringsLeft_ = static_cast<int>(n);
      ringsDone_ = 0;
      Ring();
      return {};
    }
    if (w[0] == "dial") {
      if (w.size() != 2 || !KnownOutcome(w[1])) return "unknown dial outcome";
      opt_.dial = w[1];
      return {};
    }
    if (w[0] == "hangup") {
      RemoteHangup();
      return {};
    }
    if (w[0] == "dtmf") {
      if (w.size() != 2) return "dtmf wants digits";
      if (!voiceCall_) return "no voice call";
      for (char c : w[1]) {
        if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '*' || c == '#' || (c >= 'A' && c <= 'D')))
          return "not a DTMF digit";
      }
      for (char c : w[1]) Write(std::string{kDLE, c});
      return {};
    }
    if (w[0] == "voice") {
      if (w.size() != 2 || !ParseSpec(w[1], opt_.voiceIn)) return "voice wants tone:MS,silence:MS,...";
      return {};
    }
    if (w[0] == "mute") {
      if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) return "mute on|off";
      opt_.mute = w[1] == "on";
      return {};
    }
    return "unknown command " + w[0];
  }

 private:
  enum class State { Command, Online, OnlineCommand, VoiceTx, VoiceRx };

  std::chrono::milliseconds Guard() const { return std::chrono::milliseconds(s12_ * 20); }

  void After(long ms, std::function<void()> fn) {
    timers_.emplace_back(Clock::now() + std::chrono::milliseconds(ms), std::move(fn));
  }

  void Write(const std::string& s) {
    if (opt_.mute) return;
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

  void Result(const std::string& verbal, int numeric = -1) {
    if (quiet_) return;
    if (verbose_)
      Write("\r\n" + verbal + "\r\n");
    else
      Write((numeric >= 0 ? std::to_string(numeric) : verbal) + "\r");
  }

  void Log(const std::string& line) {
    if (!log_) return;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count();
    std::fprintf(log_, "%lld %s\n", static_cast<long long>(ms), line.c_str());
    std::fflush(log_);
  }

  // ----- command state -----

  void CommandByte(char c) {
    if (c == '\r') {
      if (echo_) Write(std::string(1, c));
      std::string line = line_;
      line_.clear();
      Command(line);
      return;
    }
    if (c == '\n') return;
    if (c == '\b' || c == 0x7F) {
      if (!line_.empty()) line_.pop_back();
      return;
    }
    if (echo_) Write(std::string(1, c));
    if (line_.size() < 512) line_ += c;
    // Any character ends a dial that waits for its result.
    if (dialing_) {
      dialing_ = false;
      ++dialGeneration_;
      line_.clear();
      Result("NO CARRIER", 3);
    }
  }

  void Command(std::string line) {
    // Leading noise before "AT" (a stray CR from the DTE) is ignored.
    std::size_t at = std::string::npos;
    for (std::size_t i = 0; i + 1 < line.size(); ++i)
      if (std::toupper(static_cast<unsigned char>(line[i])) == 'A' &&
          std::toupper(static_cast<unsigned char>(line[i + 1])) == 'T') {
        at = i;
        break;
      }
    if (at == std::string::npos) return;
    line = line.substr(at);
    Log(line);
    if (opt_.mute) return;
    std::string body = line.substr(2);
    std::size_t i = 0;
    auto number = [&](long def) {
      long v = 0;
      bool any = false;
      while (i < body.size() && std::isdigit(static_cast<unsigned char>(body[i]))) {
        v = v * 10 + (body[i++] - '0');
        any = true;
      }
      return any ? v : def;
    };
    std::string info;  // text lines before the final result
    while (i < body.size()) {
      const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(body[i++])));
      switch (c) {
        case ' ':
          break;
        case 'E':
          echo_ = number(0) != 0;
          break;
        case 'V':
          verbose_ = number(0) != 0;
          break;
        case 'Q':
          quiet_ = number(0) != 0;
          break;
        case 'X':
        case 'L':
        case 'M':
          number(0);
          break;
        case 'Z':
          number(0);
          Reset();
          break;
        case '&': {
          if (i < body.size()) {
            const char f = static_cast<char>(std::toupper(static_cast<unsigned char>(body[i++])));
            long v = number(0);
            if (f == 'F') Reset();
            (void)v;
          }
          break;
        }
        case 'S': {
          long reg = number(-1);
          if (reg < 0) return Error();
          if (i < body.size() && body[i] == '=') {
            ++i;
            long v = number(0);
            if (reg == 12) s12_ = static_cast<int>(v);
          } else if (i < body.size() && body[i] == '?') {
            ++i;
            info += reg == 12 ? std::to_string(s12_) : "0";
          }
          break;
        }
        case 'I': {
          long n = number(0);
          info += n == 3 ? "modem-sim voice data modem" : "modem-sim";
          break;
        }
        case 'H':
          number(0);
          Hangup();
          break;
        case 'O':
          number(0);
          if (!callUp_ || voiceCall_) return Error();
          state_ = State::Online;
          Result("CONNECT " + std::to_string(opt_.rate), 1);
          return;
        case 'A':
          return Answer();
        case 'D':
          return Dial(body.substr(i));
        case '+':
          return Extended(body.substr(i), info);
        default:
          return Error();
      }
    }
    if (!info.empty()) Write("\r\n" + info + "\r\n");
    Result("OK", 0);
  }

  void Error() { Result("ERROR", 4); }

  void Reset() {
    echo_ = true;
    verbose_ = true;
    quiet_ = false;
    s12_ = 50;
    fclass_ = 0;
    vcid_ = false;
  }

  void Extended(const std::string& cmd, const std::string& info) {
    std::string u;
    for (char c : cmd) u += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto valueAfter = [&](const char* name, std::string& v) {
      const std::size_t n = std::strlen(name);
      if (u.compare(0, n, name) != 0) return false;
      v = u.substr(n);
      return true;
    };
    std::string v;
    if (valueAfter("FCLASS", v)) {
      if (v == "=?") {
        Write("\r\n0,1,2,2.0,8\r\n");
      } else if (v == "?") {
        Write("\r\n" + std::to_string(fclass_) + "\r\n");
      } else if (v.size() >= 2 && v[0] == '=') {
        long c = std::strtol(v.c_str() + 1, nullptr, 10);
        if (c != 0 && c != 1 && c != 2 && c != 8) return Error();
        fclass_ = static_cast<int>(c);
      } else {
        return Error();
      }
      return Result("OK", 0);
    }
    if (valueAfter("VCID=", v)) {
      vcid_ = v != "0";
      return Result("OK", 0);
    }
    if (valueAfter("VLS=", v)) return Result("OK", 0);
    if (valueAfter("VSM=", v)) {
      if (fclass_ != 8) return Error();
      long code = std::strtol(v.c_str(), nullptr, 10);
      std::size_t comma = v.find(',');
      long rate = comma == std::string::npos ? 8000 : std::strtol(v.c_str() + comma + 1, nullptr, 10);
      if ((code != 128 && code != 130) || rate < 4000 || rate > 48000) return Error();
      vsmBits_ = code == 128 ? 8 : 16;
      vsmRate_ = rate;
      return Result("OK", 0);
    }
    if (u == "VTX") {
      if (fclass_ != 8 || !voiceCall_) return Error();
      state_ = State::VoiceTx;
      txDle_ = false;
      txSamples_.clear();
      txPaced_ = 0;
      txStart_ = Clock::now();
      return Result("CONNECT", 1);
    }
    if (u == "VRX") {
      if (fclass_ != 8 || !voiceCall_) return Error();
      state_ = State::VoiceRx;
      rxDle_ = false;
      rxStart_ = Clock::now();
      rxSent_ = 0;
      rxPhase_ = 0;
      Result("CONNECT", 1);
      return;
    }
    if (valueAfter("VTS=", v)) {
      if (fclass_ != 8 || !voiceCall_) return Error();
      for (char c : v)
        if (!(std::isdigit(static_cast<unsigned char>(c)) || c == ',' || c == '*' || c == '#' ||
              (c >= 'A' && c <= 'D')))
          return Error();
      // Each tone and its pause take 100 ms.
      long n = static_cast<long>(std::count_if(v.begin(), v.end(), [](char c) { return c != ','; }));
      After(100 * n, [this] { Result("OK", 0); });
      return;
    }
    if (!info.empty()) Write("\r\n" + info + "\r\n");
    Result("OK", 0);
  }

  // ----- calls -----

  void Ring() {
    if (ringsLeft_ <= 0) {
      ringing_ = false;
      return;
    }
    ringing_ = true;
    --ringsLeft_;
    ++ringsDone_;
    if (!quiet_) Write(verbose_ ? "\r\nRING\r\n" : "2\r");
    Log("-> RING " + std::to_string(ringsDone_));
    if (ringsDone_ == 1 && vcid_ && (!callerNumber_.empty() || !callerName_.empty())) {
      Write("\r\nDATE = 0101\r\nTIME = 1200\r\n");
      if (!callerNumber_.empty()) Write("NMBR = " + callerNumber_ + "\r\n");
      if (!callerName_.empty()) Write("NAME = " + callerName_ + "\r\n");
    }
    const int generation = ++ringGeneration_;
    After(opt_.ringInterval, [this, generation] {
      if (generation == ringGeneration_) Ring();
    });
    if (ringsLeft_ == 0) {
      // After the last ring the caller gives up when nobody answers.
      After(opt_.ringInterval * 2, [this, generation] {
        if (generation == ringGeneration_) ringing_ = false;
      });
    }
  }

  void Answer() {
    if (!ringing_) {
      Result("NO CARRIER", 3);
      return;
    }
    ringing_ = false;
    ++ringGeneration_;
    After(200, [this] { Connect(); });
  }

  void Dial(std::string number) {
    // ATDT / ATDP and a trailing ';' (stay in command state) are accepted.
    while (!number.empty() && (number.back() == ' ' || number.back() == ';')) number.pop_back();
    if (!number.empty() && (number[0] == 'T' || number[0] == 't' || number[0] == 'P' || number[0] == 'p'))
      number.erase(0, 1);
    if (callUp_) return Error();
    dialing_ = true;
    const int generation = ++dialGeneration_;
    if (opt_.dial == "silent") return;
    After(opt_.dialDelay, [this, generation] {
      if (generation != dialGeneration_ || !dialing_) return;
      dialing_ = false;
      const std::string& o = opt_.dial;
      if (o == "answer")
        Connect();
      else if (o == "busy")
        Result("BUSY", 7);
      else if (o == "no-carrier")
        Result("NO CARRIER", 3);
      else if (o == "no-dialtone")
        Result("NO DIALTONE", 6);
      else if (o == "no-answer")
        Result("NO ANSWER", 8);
      else
        Error();
    });
  }

  void Connect() {
    callUp_ = true;
    if (fclass_ == 8) {
      voiceCall_ = true;
      state_ = State::Command;
      Result("VCON");
    } else {
      voiceCall_ = false;
      state_ = State::Online;
      plus_ = 0;
      lastData_ = Clock::now();
      Result("CONNECT " + std::to_string(opt_.rate), 1);
    }
  }

  void Hangup() {
    callUp_ = false;
    voiceCall_ = false;
    dialing_ = false;
    ++dialGeneration_;
    if (state_ != State::Command) state_ = State::Command;
  }

  void RemoteHangup() {
    ringsLeft_ = 0;
    ringing_ = false;
    ++ringGeneration_;
    if (!callUp_) return;
    if (voiceCall_) {
      Write(std::string{kDLE, 'b'});
      if (state_ == State::VoiceRx) EndRecording();
      return;
    }
    callUp_ = false;
    state_ = State::Command;
    Result("NO CARRIER", 3);
  }

  // ----- data state: the remote echoes what it gets -----

  void OnlineByte(char c) {
    const auto now = Clock::now();
    if (c == '+' && plus_ < 3 && (plus_ > 0 || now - lastData_ >= Guard())) {
      ++plus_;
      return;
    }
    if (plus_ > 0) {
      Write(std::string(static_cast<std::size_t>(plus_), '+'));
      plus_ = 0;
    }
    lastData_ = now;
    Write(std::string(1, c));
  }

  // ----- voice -----

  void VoiceTxByte(char c) {
    if (txDle_) {
      txDle_ = false;
      if (c == kDLE) {
        txSamples_ += kDLE;
        ++txPaced_;
      } else if (c == kETX) {
        EndPlayback();
      } else if (c == kCAN) {
        // Discards what waits to be played: only what the line has played by now is kept.
        const auto now = Clock::now();
        const long bytesPerSecond = vsmRate_ * (vsmBits_ / 8);
        const long played = std::chrono::duration_cast<std::chrono::milliseconds>(now - txStart_).count() *
                            bytesPerSecond / 1000;
        const long waiting = std::max(0L, txPaced_ - played);
        txSamples_.resize(txSamples_.size() - static_cast<std::size_t>(std::min<long>(
                                                  waiting, static_cast<long>(txSamples_.size()))));
        txPaced_ = 0;
        txStart_ = now;
      }
      return;
    }
    if (c == kDLE) {
      txDle_ = true;
      return;
    }
    txSamples_ += c;
    ++txPaced_;
  }

  void EndPlayback() {
    if (!opt_.voiceOut.empty()) {
      if (FILE* f = std::fopen(opt_.voiceOut.c_str(), "ab")) {
        std::fwrite(txSamples_.data(), 1, txSamples_.size(), f);
        std::fclose(f);
      }
    }
    Log("voice-played " + std::to_string(txSamples_.size()));
    state_ = State::Command;
    // The modem plays what it holds before it answers.
    const long bytesPerSecond = vsmRate_ * (vsmBits_ / 8);
    const long ms = bytesPerSecond > 0 ? txPaced_ * 1000 / bytesPerSecond : 0;
    const long played =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - txStart_).count();
    After(std::max(0L, std::min(ms - played, 2000L)), [this] { Result("OK", 0); });
  }

  void VoiceRxByte(char c) {
    if (rxDle_) {
      rxDle_ = false;
      if (c == '!' || c == kETX) EndRecording();
      return;
    }
    if (c == kDLE) rxDle_ = true;
    // Anything else from the DTE while recording is ignored.
  }

  void EndRecording() {
    if (state_ != State::VoiceRx) return;
    state_ = State::Command;
    Write(std::string{kDLE, kETX});
    Result("OK", 0);
  }

  // Sends the samples that are due by now, 20 ms at a time.
  void StreamVoice(Clock::time_point now) {
    const long elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(now - rxStart_).count();
    const long long due = static_cast<long long>(elapsedMs) * vsmRate_ / 1000;
    std::string out;
    while (rxSent_ < due) {
      const long msAt = static_cast<long>(rxSent_ * 1000 / vsmRate_);
      bool tone = false;
      long t = 0;
      for (const Segment& s : opt_.voiceIn) {
        if (msAt < t + s.ms) {
          tone = s.tone;
          break;
        }
        t += s.ms;
      }
      double v = tone ? std::sin(rxPhase_) : 0.0;
      rxPhase_ += 2 * M_PI * 440.0 / static_cast<double>(vsmRate_);
      if (vsmBits_ == 8) {
        char b = static_cast<char>(128 + static_cast<int>(v * 60));
        out += b;
        if (b == kDLE) out += kDLE;
      } else {
        int s = static_cast<int>(v * 8000);
        char lo = static_cast<char>(s & 0xFF), hi = static_cast<char>((s >> 8) & 0xFF);
        out += lo;
        if (lo == kDLE) out += kDLE;
        out += hi;
        if (hi == kDLE) out += kDLE;
      }
      ++rxSent_;
    }
    if (!out.empty()) Write(out);
  }

  Options& opt_;
  int fd_;
  FILE* log_ = nullptr;
  FILE* raw_ = nullptr;
  Clock::time_point start_;
  std::vector<std::pair<Clock::time_point, std::function<void()>>> timers_;
  State state_ = State::Command;
  std::string line_;
  bool echo_ = true, verbose_ = true, quiet_ = false;
  int s12_ = 50;
  int fclass_ = 0;
  bool vcid_ = false;
  bool callUp_ = false, voiceCall_ = false;
  bool dialing_ = false;
  int dialGeneration_ = 0;
  bool ringing_ = false;
  int ringsLeft_ = 0, ringsDone_ = 0, ringGeneration_ = 0;
  std::string callerNumber_, callerName_;
  int plus_ = 0;
  Clock::time_point lastRx_{}, lastData_{};
  int vsmBits_ = 16;
  long vsmRate_ = 8000;
  bool txDle_ = false;
  std::string txSamples_;
  long txPaced_ = 0;  // bytes still to be played since the last discard
  Clock::time_point txStart_{};
  bool rxDle_ = false;
  Clock::time_point rxStart_{};
  long long rxSent_ = 0;
  double rxPhase_ = 0;
};

int Fail(const std::string& why) {
  std::fprintf(stderr, "modem-sim: %s\n", why.c_str());
  return 2;
}

bool TakeValue(int argc, char** argv, int& i, const char* name, std::string& value) {
  if (std::strcmp(argv[i], name) != 0) return false;
  if (i + 1 >= argc) {
    value.clear();
    return true;
  }
  value = argv[++i];
  return true;
}

long Number(const std::string& v, long min) {
  char* end = nullptr;
  long n = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end != '\0' || n < min) return -1;
  return n;
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
    } else if (a == "--mute") {
      opt.mute = true;
    } else if (TakeValue(argc, argv, i, "--dial", v)) {
      if (!KnownOutcome(v)) return Fail("unknown dial outcome: " + v);
      opt.dial = v;
    } else if (TakeValue(argc, argv, i, "--dial-delay", v)) {
      if ((opt.dialDelay = Number(v, 0)) < 0) return Fail("dial-delay wants milliseconds");
    } else if (TakeValue(argc, argv, i, "--rate", v)) {
      if ((opt.rate = Number(v, 1)) < 0) return Fail("rate wants a number");
    } else if (TakeValue(argc, argv, i, "--ring-interval", v)) {
      if ((opt.ringInterval = Number(v, 1)) < 0) return Fail("ring-interval wants milliseconds");
    } else if (TakeValue(argc, argv, i, "--voice-in", v)) {
      if (!ParseSpec(v, opt.voiceIn)) return Fail("voice-in wants tone:MS,silence:MS,...");
    } else if (TakeValue(argc, argv, i, "--voice-out", v)) {
      if (v.empty()) return Fail("voice-out wants a file");
      opt.voiceOut = v;
    } else if (TakeValue(argc, argv, i, "--log", v)) {
      if (v.empty()) return Fail("log wants a file");
      opt.log = v;
    } else if (TakeValue(argc, argv, i, "--raw", v)) {
      if (v.empty()) return Fail("raw wants a file");
      opt.raw = v;
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
  std::string control;
  char buf[4096];
  while (!gStop) {
    const int wait = modem.Tick();
    pollfd p[2] = {{master, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    int r = poll(p, 2, wait);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    if (p[0].revents & POLLIN) {
      ssize_t n = ::read(master, buf, sizeof buf);
      if (n > 0) modem.Feed(buf, static_cast<std::size_t>(n));
    }
    if (p[1].revents & (POLLIN | POLLHUP)) {
      ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
      if (n <= 0) break;  // the end of standard input ends the simulator
      control.append(buf, static_cast<std::size_t>(n));
      for (std::size_t nl; (nl = control.find('\n')) != std::string::npos;) {
        std::string line = control.substr(0, nl);
        control.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::string error = modem.Control(line);
        if (error.empty())
          std::fputs("ok\n", stdout);
        else
          std::printf("error %s\n", error.c_str());
        std::fflush(stdout);
      }
    }
  }
  return 0;
}
