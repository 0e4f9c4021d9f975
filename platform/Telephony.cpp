// The telephony service over modems: line applications, open lines with a worker thread each
// that talks to its modem, calls, their events, and the voice calls' wave devices.
#include "platform/Telephony.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Messages.h"
#include "platform/ModemReplies.h"
#include "platform/Registry.h"
#include "platform/SerialDevice.h"
#include "platform/Threads.h"
#include "platform/WaveIO.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kDLE = 0x10;
constexpr char kETX = 0x03;
constexpr char kCAN = 0x18;
constexpr UINT kEventsWaiting = WM_USER + 0x7E;
constexpr const char* kServiceWindowClass = "swTapiService";
constexpr const char* kLocationKey = "\\Software\\Nordhaven\\SIO\\Location";
constexpr std::uint32_t kWaveDeviceBase = 0x100;  // wave device id of line device n: 0x100 + n
constexpr int kCommandTimeoutMs = 3000;

// ---------------------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------------------

std::uint32_t ReadDword(TRegistry& reg, const char* name, std::uint32_t def) {
  if (!reg.ValueExists(name)) return def;
  try {
    return static_cast<std::uint32_t>(reg.ReadInteger(name));
  } catch (const std::exception&) {
    return def;
  }
}

std::string ReadText(TRegistry& reg, const char* name, const std::string& def) {
  if (!reg.ValueExists(name)) return def;
  try {
    return reg.ReadString(name);
  } catch (const std::exception&) {
    return def;
  }
}

// The init string's commands: one a line, or separated by '|'.
std::vector<std::string> SplitCommands(const std::string& text) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : text) {
    if (c == '|' || c == '\r' || c == '\n') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

bool ParseUnsigned(std::string_view s, std::uint32_t& v) {
  if (s.empty() || s.size() > 9) return false;
  std::uint32_t r = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    r = r * 10 + static_cast<std::uint32_t>(c - '0');
  }
  v = r;
  return true;
}

// ---------------------------------------------------------------------------------------
// Variable-size records
// ---------------------------------------------------------------------------------------

// Fills the strings behind a record's fixed part. Strings that do not fit are left out; the
// needed size always counts them all.
class TRecordWriter {
 public:
  TRecordWriter(void* record, std::size_t fixed)
      : base_(static_cast<std::uint8_t*>(record)), total_(*static_cast<std::uint32_t*>(record)) {
    std::memset(base_ + 4, 0, fixed - 4);
    needed_ = used_ = static_cast<std::uint32_t>(fixed);
  }
  TRecordWriter(const TRecordWriter&) = delete;
  TRecordWriter& operator=(const TRecordWriter&) = delete;
  // A string with its NUL; size and offset stay 0 when it does not fit.
  void String(const std::string& s, std::uint32_t& size, std::uint32_t& offset) {
    if (s.empty()) return;
    Bytes(s.c_str(), s.size() + 1, size, offset);
  }
  void Bytes(const void* data, std::size_t n, std::uint32_t& size, std::uint32_t& offset) {
    needed_ += static_cast<std::uint32_t>(n);
    if (used_ + n > total_) return;
    std::memcpy(base_ + used_, data, n);
    size = static_cast<std::uint32_t>(n);
    offset = used_;
    used_ += static_cast<std::uint32_t>(n);
  }
  // Room asked for without data.
  void Need(std::size_t n) { needed_ += static_cast<std::uint32_t>(n); }
  void Finish() {
    auto* head = reinterpret_cast<std::uint32_t*>(base_);
    head[1] = needed_;
    head[2] = used_;
  }

 private:
  std::uint8_t* base_;
  std::uint32_t total_;
  std::uint32_t needed_, used_;
};

// ---------------------------------------------------------------------------------------
// The service's state
// ---------------------------------------------------------------------------------------

struct TEventRec {
  HLINEAPP app = 0;
  HLINE line = 0;  // 0: not tied to a line
  HCALL call = 0;  // 0: not tied to a call
  DWORD_PTR device = 0;
  std::uint32_t message = 0;
  DWORD_PTR instance = 0;
  DWORD_PTR p1 = 0, p2 = 0, p3 = 0;
};

struct TApp {
  HLINEAPP id = 0;
  LINECALLBACK callback = nullptr;
  HWND window = 0;
  std::deque<TEventRec> events;
  std::vector<TTelephonyLine> lines;  // the device list as this application knows it
};

class TLine;

enum TVoiceMode { vmNone, vmPlay, vmRecord };

struct TCall {
  HCALL id = 0;
  std::uint32_t state = LINECALLSTATE_IDLE;
  std::uint32_t stateMode = 0;
  bool inbound = false;
  std::uint32_t bearer = LINEBEARERMODE_VOICE;
  std::uint32_t media = LINEMEDIAMODE_DATAMODEM;
  std::uint32_t rate = 0;
  std::uint32_t callerFlags = LINECALLPARTYID_UNAVAIL;
  std::string callerId, callerName;
  std::string called;
  std::uint32_t monitorDigits = 0;
  std::uint32_t ringCount = 0;
  bool handedOver = false;
  bool online = false;  // the modem is in its data state
};

struct TService {
  std::mutex m;
  std::map<HLINEAPP, std::shared_ptr<TApp>> apps;
  std::map<HLINE, std::shared_ptr<TLine>> lines;
  std::map<HCALL, std::pair<std::shared_ptr<TCall>, std::weak_ptr<TLine>>> calls;
  HLINEAPP nextApp = 0x00A10001;
  HLINE nextLine = 0x00B10001;
  HCALL nextCall = 0x00C10001;
  std::uint32_t nextRequest = 1;
  TTelephonyDialogs dialogs;
};

TService& Service() {
  static TService* s = new TService;  // never destroyed: workers may still end during exit
  return *s;
}

std::uint32_t NewRequest(TService& s) {
  std::uint32_t r = s.nextRequest++;
  if (s.nextRequest > 0x7FFFFFFF) s.nextRequest = 1;
  return r;
}

// Queues an event for its application's thread (service lock held).
void PostEventLocked(TService& s, const TEventRec& e) {
  auto it = s.apps.find(e.app);
  if (it == s.apps.end()) return;
  TApp& app = *it->second;
  const bool first = app.events.empty();
  app.events.push_back(e);
  if (first) PostMessage(app.window, kEventsWaiting, 0, 0);
}

// Hands the waiting events of the window's application to its callback, one at a time; an
// event of a line closed or a call deallocated in the meantime is dropped.
LRESULT ServiceWindowProc(HWND hwnd, UINT msg, WPARAM, LPARAM) {
  if (msg != kEventsWaiting) return 0;
  TService& s = Service();
  for (;;) {
    TEventRec e;
    LINECALLBACK cb = nullptr;
    {
      std::lock_guard<std::mutex> g(s.m);
      std::shared_ptr<TApp> app;
      for (auto& [id, a] : s.apps)
        if (a->window == hwnd) app = a;
      if (!app || app->events.empty()) return 0;
      e = app->events.front();
      app->events.pop_front();
      if (e.line != 0 && s.lines.find(e.line) == s.lines.end()) continue;
      if (e.call != 0 && s.calls.find(e.call) == s.calls.end()) continue;
      cb = app->callback;
      // A callback that waits handles messages: it must see the events still waiting.
      if (!app->events.empty()) PostMessage(hwnd, kEventsWaiting, 0, 0);
    }
    if (cb != nullptr) cb(e.device, e.message, e.instance, e.p1, e.p2, e.p3);
  }
}

// ---------------------------------------------------------------------------------------
// Sample conversion between a wave format and the modem's mono stream
// ---------------------------------------------------------------------------------------

// Frames of the format to mono samples of the same width.
std::string ToModemSamples(const WAVEFORMATEX& f, const char* data, std::size_t bytes) {
  const std::size_t frame = f.nBlockAlign;
  std::string out;
  if (f.nChannels == 1) return std::string(data, bytes - bytes % frame);
  out.reserve(bytes / 2);
  for (std::size_t i = 0; i + frame <= bytes; i += frame) {
    if (f.wBitsPerSample == 8) {
      unsigned a = static_cast<unsigned char>(data[i]), b = static_cast<unsigned char>(data[i + 1]);
      out += static_cast<char>((a + b) / 2);
    } else {
      auto sample = [&](std::size_t k) {
        return static_cast<std::int16_t>(static_cast<unsigned char>(data[k]) |
                                         static_cast<unsigned char>(data[k + 1]) << 8);
      };
      int v = (sample(i) + sample(i + 2)) / 2;
      out += static_cast<char>(v & 0xFF);
      out += static_cast<char>((v >> 8) & 0xFF);
    }
  }
  return out;
}

// Mono samples of the format's width to its frames.
std::string FromModemSamples(const WAVEFORMATEX& f, const std::string& mono) {
  if (f.nChannels == 1) return mono;
  const std::size_t w = f.wBitsPerSample / 8;
  std::string out;
  out.reserve(mono.size() * 2);
  for (std::size_t i = 0; i + w <= mono.size(); i += w) {
    out.append(mono, i, w);
    out.append(mono, i, w);
  }
  return out;
}

// The modem's compression code for the sample width (+VSM).
int VsmCode(const WAVEFORMATEX& f) { return f.wBitsPerSample == 8 ? 128 : 130; }

// ---------------------------------------------------------------------------------------
// An open line and its worker
// ---------------------------------------------------------------------------------------

class TLine : public std::enable_shared_from_this<TLine> {
 public:
  HLINE id = 0;
  HLINEAPP app = 0;
  std::uint32_t deviceId = 0;
  TTelephonyLine config;
  DWORD_PTR instance = 0;
  std::uint32_t privileges = LINECALLPRIVILEGE_NONE;
  std::uint32_t mediaModes = 0;
  std::uint32_t lineStates = 0;                 // service lock
  std::uint32_t addressStates = 0;              // service lock
  std::shared_ptr<TCall> call;                  // service lock
  std::vector<std::shared_ptr<TCall>> orphans;  // service lock: let go while they ran, still to drop

  TLine() { wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }
  ~TLine() {
    if (wake_ >= 0) ::close(wake_);
  }

  void Start() {
    thread_ = std::thread([self = shared_from_this()] { self->Run(); });
  }

  // Ends the worker: a running exchange is cut short, a call hung up, the modem closed.
  void Stop() {
    {
      std::lock_guard<std::mutex> g(jobLock_);
      stop_ = true;
    }
    abort_ = true;
    Wake();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    // Jobs the worker never ran hold the line: they go with it.
    std::deque<std::function<void()>> left;
    {
      std::lock_guard<std::mutex> g(jobLock_);
      left.swap(jobs_);
    }
  }

  void Push(std::function<void()> job) {
    {
      std::lock_guard<std::mutex> g(jobLock_);
      jobs_.push_back(std::move(job));
    }
    Wake();
  }

  // Runs a job on the worker and waits for its result (at most timeoutMs).
  template <class R>
  bool RunSync(std::function<R()> job, R& result, int timeoutMs) {
    auto promise = std::make_shared<std::promise<R>>();
    std::future<R> f = promise->get_future();
    {
      std::lock_guard<std::mutex> g(jobLock_);
      if (stop_) return false;
      jobs_.push_back([promise, job = std::move(job)] { promise->set_value(job()); });
    }
    Wake();
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (f.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
      std::lock_guard<std::mutex> g(jobLock_);
      if (stop_ || Clock::now() > end) return false;  // the worker ends without it
    }
    result = f.get();
    return true;
  }

  // Cuts the exchange running now short (a drop or a close is coming).
  void Abort() {
    abort_ = true;
    Wake();
  }

  // Jobs, run on the worker.
  LONG OpenOwner();
  void MakeCall(std::shared_ptr<TCall> c, std::uint32_t request);
  void Answer(std::shared_ptr<TCall> c, std::uint32_t request);
  void Drop(std::shared_ptr<TCall> c, std::uint32_t request, bool reply);
  void GenerateDigits(std::shared_ptr<TCall> c, std::string digits);
  void SetPassThrough(std::shared_ptr<TCall> c, std::uint32_t request);
  int HandOver(std::shared_ptr<TCall> c);

  // Voice streams, run on the worker.
  MMRESULT VoiceOpen(bool input, const WAVEFORMATEX& f, std::shared_ptr<TWaveNotifier> n);
  MMRESULT VoiceQueue(WAVEHDR* h);
  MMRESULT VoiceStart();
  MMRESULT VoiceStop(bool reset);
  MMRESULT VoiceResetPlay();
  MMRESULT VoiceClose(bool input);
  bool VoiceCallReady();

  std::uint32_t WaveDeviceId() const { return kWaveDeviceBase + deviceId; }

 private:
  void Wake() {
    std::uint64_t one = 1;
    if (wake_ >= 0) {
      ssize_t r = ::write(wake_, &one, sizeof one);
      (void)r;
    }
  }
  void DrainWake() {
    std::uint64_t v;
    ssize_t r = ::read(wake_, &v, sizeof v);
    (void)r;
  }

  void Run();
  void Idle();
  void Cleanup();

  // Modem I/O.
  bool OpenDevice(LONG& error);
  void CloseDevice();
  bool WriteAll(std::string_view bytes, int timeoutMs = 2000);
  // Waits for input (and the wake descriptor) at most timeoutMs; reads and parses it. False
  // when the device has gone away.
  bool Pump(int timeoutMs, bool wantWrite = false);
  void Feed(const char* p, std::size_t n);
  // Sends a command (CR added) and waits for its final result: the result line, "" on a
  // time-out, kAborted when a drop or close cut it short.
  std::string Command(const std::string& cmd, int timeoutMs = kCommandTimeoutMs);
  std::string WaitFinal(int timeoutMs);
  bool Initialise();
  void Unsolicited(const std::string& line);
  void DleEvent(char code);
  void EscapeToCommandMode();
  void HangUpModem(const std::shared_ptr<TCall>& c);
  void DeviceGone();

  // Events.
  void PostCall(const std::shared_ptr<TCall>& c, std::uint32_t msg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3);
  void SetState(const std::shared_ptr<TCall>& c, std::uint32_t state, std::uint32_t mode);
  void Reply(std::uint32_t request, LONG result);
  void PostLineState(std::uint32_t state, DWORD_PTR p2, DWORD_PTR p3);
  void ForgetCall(const std::shared_ptr<TCall>& c);
  std::shared_ptr<TCall> CurrentCall();

  // Voice.
  void PumpPlayback();
  void GiveBackAll(UINT msg);
  void FillRecordBuffers(bool flushPartial);

  static constexpr const char* kAborted = "\x01";

  int wake_ = -1;
  std::thread thread_;
  std::mutex jobLock_;
  std::deque<std::function<void()>> jobs_;
  bool stop_ = false;
  std::atomic<bool> abort_{false};

  // Worker only.
  TSerialDevice device_;
  TModemInput in_;  // reply lines, DLE codes, recorded samples not yet in a buffer
  bool initialised_ = false;
  Clock::time_point ringDeadline_{};
  bool reinitPending_ = false;
  Clock::time_point reinitAt_{};
  bool ringWatch_ = false;
  std::string pendingCallerId_, pendingCallerName_;
  std::uint32_t pendingCallerFlags_ = 0;

  TVoiceMode voice_ = vmNone;
  bool voiceInput_ = false;
  WAVEFORMATEX voiceFormat_{};
  std::shared_ptr<TWaveNotifier> notifier_;
  std::deque<WAVEHDR*> buffers_;
  std::string txOut_;  // shielded bytes still to write
  std::size_t txPos_ = 0;
  bool txMidPair_ = false;       // the last byte written opened a DLE pair
  WAVEHDR* txHeader_ = nullptr;  // the buffer whose bytes are in txOut_
};

std::shared_ptr<TCall> TLine::CurrentCall() {
  std::lock_guard<std::mutex> g(Service().m);
  return call;
}

void TLine::PostCall(const std::shared_ptr<TCall>& c, std::uint32_t msg, DWORD_PTR p1, DWORD_PTR p2,
                     DWORD_PTR p3) {
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  if (s.calls.find(c->id) == s.calls.end()) return;
  PostEventLocked(s, TEventRec{app, id, c->id, c->id, msg, instance, p1, p2, p3});
}

void TLine::SetState(const std::shared_ptr<TCall>& c, std::uint32_t state, std::uint32_t mode) {
  {
    std::lock_guard<std::mutex> g(Service().m);
    c->state = state;
    c->stateMode = mode;
  }
  PostCall(c, LINE_CALLSTATE, state, mode, LINECALLPRIVILEGE_OWNER);
}

void TLine::Reply(std::uint32_t request, LONG result) {
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  PostEventLocked(
      s, TEventRec{app, id, 0, 0, LINE_REPLY, instance, request, static_cast<std::uint32_t>(result), 0});
}

void TLine::PostLineState(std::uint32_t state, DWORD_PTR p2, DWORD_PTR p3) {
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  if (state != LINEDEVSTATE_REINIT && (lineStates & state) == 0) return;
  PostEventLocked(s, TEventRec{app, id, 0, id, LINE_LINEDEVSTATE, instance, state, p2, p3});
}

void TLine::ForgetCall(const std::shared_ptr<TCall>& c) {
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  s.calls.erase(c->id);
  if (call == c) call.reset();
}

// ----- modem I/O -----

bool TLine::OpenDevice(LONG& error) {
  if (device_.IsOpen() && !device_.HungUp()) return true;
  CloseDevice();
  const std::string path = TSerialDevice::PathForComNumber(config.ComNumber);
  int e = config.ComNumber == 0 ? ENOENT : device_.Open(path);
  if (e != 0) {
    error = e == EBUSY ? LINEERR_ALLOCATED : LINEERR_RESOURCEUNAVAIL;
    return false;
  }
  TSerialSettings st;
  device_.GetSettings(st);
  st.baud = config.Baud;
  st.dataBits = 8;
  st.parity = 0;
  st.stopBits = 0;
  st.rtsCts = st.xonXoffIn = st.xonXoffOut = false;
  device_.SetSettings(st);
  device_.SetModemLine(kSerialDTR | kSerialRTS, true);
  device_.Flush(true, false);
  in_.Clear();
  initialised_ = false;
  return true;
}

void TLine::CloseDevice() {
  if (device_.IsOpen()) device_.Close();
  initialised_ = false;
}

bool TLine::WriteAll(std::string_view bytes, int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = device_.Write(bytes.data() + done, bytes.size() - done);
    if (n < 0) return false;
    done += static_cast<std::size_t>(n);
    if (done < bytes.size()) {
      if (Clock::now() > end) return false;
      pollfd p{device_.Fd(), POLLOUT, 0};
      ::poll(&p, 1, 20);
    }
  }
  return true;
}

bool TLine::Pump(int timeoutMs, bool wantWrite) {
  pollfd p[2] = {{wake_, POLLIN, 0},
                 {device_.Fd(), static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0}};
  const int n = device_.IsOpen() ? 2 : 1;
  int r = ::poll(p, static_cast<nfds_t>(n), timeoutMs);
  if (r <= 0) return true;
  if (p[0].revents & POLLIN) DrainWake();
  if (n == 2 && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
    char buf[4096];
    for (;;) {
      ssize_t got = device_.Read(buf, sizeof buf);
      if (got < 0) return false;
      if (got == 0) break;
      Feed(buf, static_cast<std::size_t>(got));
      if (static_cast<std::size_t>(got) < sizeof buf) break;
    }
    if ((p[1].revents & POLLHUP) && device_.InputQueued() == 0) {
      // A pseudo-terminal whose far end is gone reads as hang-up for good.
      device_.MarkHungUp();
      return false;
    }
  }
  return true;
}

void TLine::Feed(const char* p, std::size_t n) {
  for (char code : in_.Feed(p, n)) DleEvent(code);
  if (in_.recording) FillRecordBuffers(false);
}

std::string TLine::Command(const std::string& cmd, int timeoutMs) {
  in_.lines.clear();
  if (!WriteAll(cmd + "\r")) return {};
  return WaitFinal(timeoutMs);
}

std::string TLine::WaitFinal(int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    while (!in_.lines.empty()) {
      std::string l = in_.lines.front();
      in_.lines.pop_front();
      if (IsFinalResult(l)) return VerbalResult(l);
      Unsolicited(l);
    }
    if (abort_) return kAborted;
    const auto now = Clock::now();
    if (now >= end) return {};
    const int left =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count());
    if (!Pump(std::min(left, 100))) return {};
  }
}

bool TLine::Initialise() {
  for (const std::string& c : SplitCommands(config.Init)) {
    std::string r = Command(c);
    if (r != "OK") return false;
  }
  // Caller-id reports are welcome but not every modem has them.
  if (!config.CallerID.empty() && (privileges & LINECALLPRIVILEGE_OWNER)) Command(config.CallerID);
  initialised_ = true;
  return true;
}

void TLine::Unsolicited(const std::string& line) {
  std::shared_ptr<TCall> c = CurrentCall();
  if (line == "RING" || line == "2") {
    if (!(privileges & LINECALLPRIVILEGE_OWNER)) return;
    bool fresh = false;
    {
      TService& s = Service();
      std::lock_guard<std::mutex> g(s.m);
      // A call that has ended makes room for the next one, deallocated or not.
      if (call && call->state == LINECALLSTATE_IDLE) call.reset();
      if (!call) {
        c = std::make_shared<TCall>();
        c->id = s.nextCall++;
        c->inbound = true;
        c->state = LINECALLSTATE_OFFERING;
        c->media =
            LINEMEDIAMODE_UNKNOWN |
            (mediaModes & (LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_G3FAX | LINEMEDIAMODE_AUTOMATEDVOICE));
        c->callerFlags = pendingCallerFlags_ ? pendingCallerFlags_ : LINECALLPARTYID_UNKNOWN;
        c->callerId = pendingCallerId_;
        c->callerName = pendingCallerName_;
        s.calls[c->id] = {c, weak_from_this()};
        call = c;
        fresh = true;
      }
      if (c->state != LINECALLSTATE_OFFERING && c->state != LINECALLSTATE_ACCEPTED) return;
      ++c->ringCount;
    }
    pendingCallerFlags_ = 0;
    pendingCallerId_.clear();
    pendingCallerName_.clear();
    if (fresh) PostCall(c, LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0, LINECALLPRIVILEGE_OWNER);
    PostLineState(LINEDEVSTATE_RINGING, 0, c->ringCount);
    ringWatch_ = true;
    ringDeadline_ = Clock::now() + std::chrono::milliseconds(config.RingTimeoutMs);
    return;
  }
  {
    std::unique_lock<std::mutex> g(Service().m);
    std::uint32_t flags = c ? c->callerFlags : pendingCallerFlags_;
    std::string id = c ? c->callerId : pendingCallerId_;
    std::string callerName = c ? c->callerName : pendingCallerName_;
    if (ApplyCallerIdReport(line, flags, id, callerName)) {
      if (c) {
        c->callerFlags = flags;
        c->callerId = id;
        c->callerName = callerName;
        g.unlock();
        PostCall(c, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, 0, 0);
      } else {
        pendingCallerFlags_ = flags;
        pendingCallerId_ = id;
        pendingCallerName_ = callerName;
      }
      return;
    }
  }
  if (line == "NO CARRIER" || line == "3") {
    if (c && c->state == LINECALLSTATE_CONNECTED) {
      {
        std::lock_guard<std::mutex> g(Service().m);
        c->online = false;
      }
      SetState(c, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
    }
  }
}

void TLine::DleEvent(char code) {
  std::shared_ptr<TCall> c = CurrentCall();
  if (!c || c->state != LINECALLSTATE_CONNECTED) return;
  const bool digit =
      (code >= '0' && code <= '9') || code == '*' || code == '#' || (code >= 'A' && code <= 'D');
  if (digit) {
    std::uint32_t modes;
    {
      std::lock_guard<std::mutex> g(Service().m);
      modes = c->monitorDigits;
    }
    if (modes & LINEDIGITMODE_DTMF)
      PostCall(c, LINE_MONITORDIGITS, static_cast<unsigned char>(code), LINEDIGITMODE_DTMF, GetTickCount());
  } else if (code == 'b' || code == 'd') {
    // Busy or dial tone on a voice call: the far end has hung up.
    SetState(c, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
  }
}

void TLine::EscapeToCommandMode() {
  const int guard = static_cast<int>(config.EscapeGuardMs);
  std::this_thread::sleep_for(std::chrono::milliseconds(guard));
  WriteAll("+++");
  in_.lines.clear();
  WaitFinal(guard + 1000);
}

void TLine::HangUpModem(const std::shared_ptr<TCall>& c) {
  if (!device_.IsOpen() || device_.HungUp()) return;
  bool online, passThrough;
  {
    std::lock_guard<std::mutex> g(Service().m);
    online = c->online;
    passThrough = c->bearer == LINEBEARERMODE_PASSTHROUGH;
  }
  if (device_.HasModemLines()) {
    // DTR off hangs a modem up that follows DTR (&D2).
    device_.SetModemLine(kSerialDTR, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    device_.SetModemLine(kSerialDTR, true);
  }
  device_.Flush(true, false);
  in_.lines.clear();
  if (online) EscapeToCommandMode();
  abort_ = false;
  std::string r = Command("ATH", passThrough ? 1500 : kCommandTimeoutMs);
  if (r != "OK" && passThrough && !online) {
    // The owner of the pass-through call may have left the modem in its data state.
    EscapeToCommandMode();
    Command("ATH");
  }
  initialised_ = false;
}

void TLine::DeviceGone() {
  std::shared_ptr<TCall> c = CurrentCall();
  CloseDevice();
  if (c && c->state != LINECALLSTATE_IDLE && c->state != LINECALLSTATE_DISCONNECTED)
    SetState(c, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL);
  if (privileges & LINECALLPRIVILEGE_OWNER) PostLineState(LINEDEVSTATE_OUTOFSERVICE, 0, 0);
}

// ----- jobs -----

LONG TLine::OpenOwner() {
  LONG e = 0;
  if (!OpenDevice(e)) return e;
  if (!Initialise()) {
    CloseDevice();
    return LINEERR_OPERATIONFAILED;
  }
  return 0;
}

void TLine::MakeCall(std::shared_ptr<TCall> c, std::uint32_t request) {
  abort_ = false;
  LONG e = 0;
  if (!OpenDevice(e)) {
    ForgetCall(c);
    Reply(request, e);
    return;
  }
  bool passThrough, voiceCall;
  std::string number;
  {
    std::lock_guard<std::mutex> g(Service().m);
    passThrough = c->bearer == LINEBEARERMODE_PASSTHROUGH;
    voiceCall = (c->media & LINEMEDIAMODE_AUTOMATEDVOICE) != 0;
    number = c->called;
  }
  if (passThrough) {
    // The owner talks to the modem itself: not a word from here.
    device_.Flush(true, false);
    in_.lines.clear();
    Reply(request, 0);
    SetState(c, LINECALLSTATE_CONNECTED, 0);
    return;
  }
  if (!initialised_ && !Initialise()) {
    ForgetCall(c);
    Reply(request, LINEERR_OPERATIONFAILED);
    return;
  }
  if (voiceCall && Command("AT+FCLASS=8") != "OK") {
    ForgetCall(c);
    Reply(request, LINEERR_OPERATIONFAILED);
    return;
  }
  Reply(request, 0);
  SetState(c, LINECALLSTATE_DIALTONE, LINEDIALTONEMODE_NORMAL);
  in_.lines.clear();
  if (!WriteAll("ATD" + number + "\r")) {
    SetState(c, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL);
    return;
  }
  SetState(c, LINECALLSTATE_DIALING, 0);
  SetState(c, LINECALLSTATE_PROCEEDING, 0);
  std::string r = WaitFinal(static_cast<int>(config.DialTimeoutS) * 1000);
  if (r == kAborted) {
    // A drop during the dial: any character ends the dial attempt.
    abort_ = false;
    WriteAll("\r");
    WaitFinal(2000);
    return;
  }
  if (r.rfind("CONNECT", 0) == 0 || r == "VCON" || (voiceCall && r == "OK")) {
    std::uint32_t rate = 0;
    if (r.size() > 8) {
      std::size_t i = 8;
      while (i < r.size() && r[i] >= '0' && r[i] <= '9')
        rate = rate * 10 + static_cast<std::uint32_t>(r[i++] - '0');
    }
    {
      std::lock_guard<std::mutex> g(Service().m);
      c->rate = rate ? rate : (voiceCall ? 0 : config.Baud);
      c->online = !voiceCall;
    }
    SetState(c, LINECALLSTATE_CONNECTED, 0);
  } else if (r == "BUSY") {
    SetState(c, LINECALLSTATE_BUSY, LINEBUSYMODE_UNAVAIL);
  } else if (r == "NO DIALTONE") {
    SetState(c, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NODIALTONE);
  } else if (r == "ERROR") {
    SetState(c, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_BADADDRESS);
  } else if (r.empty() && (device_.HungUp() || !device_.IsOpen())) {
    DeviceGone();
  } else {
    if (r.empty()) {
      // No result in time: end the attempt.
      WriteAll("\r");
      WaitFinal(2000);
    }
    SetState(c, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NOANSWER);
  }
}

void TLine::Answer(std::shared_ptr<TCall> c, std::uint32_t request) {
  abort_ = false;
  bool voiceCall;
  {
    std::lock_guard<std::mutex> g(Service().m);
    if (c->state != LINECALLSTATE_OFFERING && c->state != LINECALLSTATE_ACCEPTED) {
      Reply(request, LINEERR_INVALCALLSTATE);
      return;
    }
    voiceCall = (mediaModes & LINEMEDIAMODE_AUTOMATEDVOICE) != 0;
  }
  if (!device_.IsOpen()) {
    Reply(request, LINEERR_OPERATIONFAILED);
    return;
  }
  if (voiceCall && Command("AT+FCLASS=8") != "OK") {
    Reply(request, LINEERR_OPERATIONFAILED);
    return;
  }
  ringWatch_ = false;
  in_.lines.clear();
  if (!WriteAll("ATA\r")) {
    Reply(request, LINEERR_OPERATIONFAILED);
    return;
  }
  Reply(request, 0);
  std::string r = WaitFinal(static_cast<int>(config.DialTimeoutS) * 1000);
  if (r == kAborted) {
    abort_ = false;
    WriteAll("\r");
    WaitFinal(2000);
    return;
  }
  if (r.rfind("CONNECT", 0) == 0 || r == "VCON" || (voiceCall && r == "OK")) {
    std::uint32_t rate = 0;
    for (std::size_t i = 8; i < r.size() && r[i] >= '0' && r[i] <= '9'; ++i)
      rate = rate * 10 + static_cast<std::uint32_t>(r[i] - '0');
    {
      std::lock_guard<std::mutex> g(Service().m);
      c->rate = rate ? rate : (voiceCall ? 0 : config.Baud);
      c->online = !voiceCall;
      c->media = voiceCall ? LINEMEDIAMODE_AUTOMATEDVOICE : LINEMEDIAMODE_DATAMODEM;
    }
    SetState(c, LINECALLSTATE_CONNECTED, 0);
  } else if (r.empty() && device_.HungUp()) {
    DeviceGone();
  } else {
    SetState(c, LINECALLSTATE_DISCONNECTED,
             r.empty() ? LINEDISCONNECTMODE_NOANSWER : LINEDISCONNECTMODE_UNAVAIL);
  }
}

void TLine::Drop(std::shared_ptr<TCall> c, std::uint32_t request, bool reply) {
  abort_ = false;
  {
    std::lock_guard<std::mutex> g(Service().m);
    orphans.erase(std::remove(orphans.begin(), orphans.end(), c), orphans.end());
  }
  if (voice_ != vmNone) {
    if (in_.recording) VoiceStop(true);
    if (voice_ == vmPlay) VoiceResetPlay();
    GiveBackAll(voiceInput_ ? MM_WIM_DATA : MM_WOM_DONE);
    voice_ = vmNone;
  }
  std::uint32_t state;
  bool inboundUnanswered;
  {
    std::lock_guard<std::mutex> g(Service().m);
    state = c->state;
    c->handedOver = false;
    inboundUnanswered = c->inbound && (state == LINECALLSTATE_OFFERING || state == LINECALLSTATE_ACCEPTED);
  }
  if (state != LINECALLSTATE_IDLE && !inboundUnanswered) HangUpModem(c);
  ringWatch_ = false;
  {
    std::lock_guard<std::mutex> g(Service().m);
    c->online = false;
  }
  if (reply) Reply(request, 0);
  if (state != LINECALLSTATE_IDLE) SetState(c, LINECALLSTATE_IDLE, 0);
  // A line that waits for calls is made ready for the next one, unless it is closed soon.
  if (privileges & LINECALLPRIVILEGE_OWNER) {
    reinitPending_ = true;
    reinitAt_ = Clock::now() + std::chrono::milliseconds(500);
  }
}

void TLine::GenerateDigits(std::shared_ptr<TCall> c, std::string digits) {
  if (voice_ != vmNone || !device_.IsOpen()) {
    PostCall(c, LINE_GENERATE, LINEGENERATETERM_CANCEL, 0, GetTickCount());
    return;
  }
  std::string cmd = "AT+VTS=";
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i) cmd += ',';
    cmd += digits[i];
  }
  std::string r = Command(cmd, 10000);
  PostCall(c, LINE_GENERATE, r == "OK" ? LINEGENERATETERM_DONE : LINEGENERATETERM_CANCEL, 0, GetTickCount());
}

void TLine::SetPassThrough(std::shared_ptr<TCall> c, std::uint32_t request) {
  if (voice_ != vmNone) {
    if (in_.recording) VoiceStop(true);
    if (voice_ == vmPlay) VoiceResetPlay();
    GiveBackAll(voiceInput_ ? MM_WIM_DATA : MM_WOM_DONE);
    voice_ = vmNone;
  }
  {
    std::lock_guard<std::mutex> g(Service().m);
    c->bearer = LINEBEARERMODE_PASSTHROUGH;
  }
  Reply(request, 0);
}

int TLine::HandOver(std::shared_ptr<TCall> c) {
  {
    std::lock_guard<std::mutex> g(Service().m);
    if (c->state != LINECALLSTATE_CONNECTED) return -1;
  }
  if (!device_.IsOpen() || device_.HungUp() || voice_ != vmNone) return -1;
  // What the modem said before belongs to no one; what comes now is the port's.
  in_.Clear();
  int fd = ::fcntl(device_.Fd(), F_DUPFD_CLOEXEC, 1);
  if (fd < 0) return -1;
  if (fd > 0xFFFF) {  // a port keeps a 16-bit handle
    ::close(fd);
    return -1;
  }
  std::lock_guard<std::mutex> g(Service().m);
  c->handedOver = true;
  return fd;
}

// ----- the worker's loop -----

void TLine::Run() {
  for (;;) {
    std::function<void()> job;
    {
      std::lock_guard<std::mutex> g(jobLock_);
      if (stop_) break;
      if (!jobs_.empty()) {
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
    }
    if (job) {
      job();
      continue;
    }
    Idle();
  }
  Cleanup();
}

void TLine::Idle() {
  std::shared_ptr<TCall> c = CurrentCall();
  bool handedOver = false, passThrough = false, dataCall = false;
  if (c) {
    std::lock_guard<std::mutex> g(Service().m);
    handedOver = c->handedOver;
    passThrough = c->bearer == LINEBEARERMODE_PASSTHROUGH;
    // A connected data or pass-through call's bytes are its owner's, read or not.
    dataCall = c->state == LINECALLSTATE_CONNECTED && (passThrough || c->online);
  }
  if (!device_.IsOpen() || handedOver || dataCall) {
    // Someone else reads the modem now; a modem with a carrier line still tells of a hang-up.
    pollfd p{wake_, POLLIN, 0};
    if (::poll(&p, 1, 250) > 0) DrainWake();
    if (handedOver && !passThrough && device_.IsOpen() && device_.HasModemLines()) {
      unsigned lines = 0;
      device_.GetModemLines(lines);
      if (!(lines & kSerialDCD) && c->state == LINECALLSTATE_CONNECTED)
        SetState(c, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
    }
    return;
  }
  int timeout = 250;
  if (reinitPending_ && !c) {
    if (Clock::now() >= reinitAt_) {
      reinitPending_ = false;
      if (!device_.HungUp()) Initialise();
      return;
    }
    timeout = 50;
  }
  if (ringWatch_) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(ringDeadline_ - Clock::now()).count();
    if (left <= 0) {
      ringWatch_ = false;
      // The caller gave up before the call was answered.
      if (c && c->inbound && (c->state == LINECALLSTATE_OFFERING || c->state == LINECALLSTATE_ACCEPTED))
        SetState(c, LINECALLSTATE_IDLE, 0);
      return;
    }
    timeout = static_cast<int>(std::min<long long>(left, timeout));
  }
  const bool writing = voice_ == vmPlay && txPos_ < txOut_.size();
  if (!Pump(writing ? 20 : timeout, writing)) {
    DeviceGone();
    return;
  }
  while (!in_.lines.empty()) {
    std::string l = in_.lines.front();
    in_.lines.pop_front();
    Unsolicited(l);
  }
  if (voice_ == vmPlay) PumpPlayback();
  if (in_.recording && in_.samplesEnded) {
    // The modem ended the recording by itself.
    in_.recording = false;
    FillRecordBuffers(true);
  }
}

void TLine::Cleanup() {
  abort_ = false;
  std::shared_ptr<TCall> c = CurrentCall();
  if (voice_ != vmNone) {
    if (in_.recording) VoiceStop(true);
    voice_ = vmNone;
  }
  std::vector<std::shared_ptr<TCall>> calls;
  {
    std::lock_guard<std::mutex> g(Service().m);
    calls.swap(orphans);
  }
  if (c) calls.push_back(c);
  for (auto& call : calls) {
    std::uint32_t state;
    bool offered;
    {
      std::lock_guard<std::mutex> g(Service().m);
      state = call->state;
      offered = call->inbound && (state == LINECALLSTATE_OFFERING || state == LINECALLSTATE_ACCEPTED);
    }
    if (state != LINECALLSTATE_IDLE && !offered) {
      HangUpModem(call);
      break;  // one modem, one hang-up
    }
  }
  CloseDevice();
}

// ----- voice -----

bool TLine::VoiceCallReady() {
  std::shared_ptr<TCall> c = CurrentCall();
  if (!c) return false;
  std::lock_guard<std::mutex> g(Service().m);
  return c->state == LINECALLSTATE_CONNECTED && (c->media & LINEMEDIAMODE_AUTOMATEDVOICE) &&
         c->bearer != LINEBEARERMODE_PASSTHROUGH && !c->handedOver;
}

MMRESULT TLine::VoiceOpen(bool input, const WAVEFORMATEX& f, std::shared_ptr<TWaveNotifier> n) {
  if (!VoiceCallReady() || !device_.IsOpen()) return MMSYSERR_NOTENABLED;
  if (voice_ != vmNone) return MMSYSERR_ALLOCATED;
  abort_ = false;
  if (Command("AT+VSM=" + std::to_string(VsmCode(f)) + "," + std::to_string(f.nSamplesPerSec)) != "OK")
    return WAVERR_BADFORMAT;
  if (!input) {
    std::string r = Command("AT+VTX");
    if (r.rfind("CONNECT", 0) != 0) return MMSYSERR_ERROR;
  }
  voice_ = input ? vmRecord : vmPlay;
  voiceInput_ = input;
  voiceFormat_ = f;
  notifier_ = std::move(n);
  buffers_.clear();
  txOut_.clear();
  txPos_ = 0;
  txMidPair_ = false;
  txHeader_ = nullptr;
  in_.samples.clear();
  in_.samplesEnded = false;
  in_.recording = false;
  return MMSYSERR_NOERROR;
}

MMRESULT TLine::VoiceQueue(WAVEHDR* h) {
  if (voice_ == vmNone) return MMSYSERR_INVALHANDLE;
  h->dwFlags = (h->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
  buffers_.push_back(h);
  if (voice_ == vmPlay)
    PumpPlayback();
  else
    FillRecordBuffers(false);
  return MMSYSERR_NOERROR;
}

void TLine::PumpPlayback() {
  for (;;) {
    if (txPos_ < txOut_.size()) {
      ssize_t n = device_.Write(txOut_.data() + txPos_, txOut_.size() - txPos_);
      if (n < 0) {
        GiveBackAll(MM_WOM_DONE);
        return;
      }
      for (ssize_t i = 0; i < n; ++i) {
        const char b = txOut_[txPos_ + static_cast<std::size_t>(i)];
        txMidPair_ = txMidPair_ ? false : b == kDLE;
      }
      txPos_ += static_cast<std::size_t>(n);
      if (txPos_ < txOut_.size()) return;  // the modem takes more later
    }
    if (txHeader_ != nullptr) {
      WAVEHDR* done = txHeader_;
      txHeader_ = nullptr;
      if (!buffers_.empty() && buffers_.front() == done) buffers_.pop_front();
      notifier_->BufferDone(MM_WOM_DONE, done);
    }
    txOut_.clear();
    txPos_ = 0;
    if (buffers_.empty()) return;
    txHeader_ = buffers_.front();
    std::string mono = ToModemSamples(voiceFormat_, txHeader_->lpData, txHeader_->dwBufferLength);
    txOut_.reserve(mono.size() + mono.size() / 16);
    for (char b : mono) {
      txOut_ += b;
      if (b == kDLE) txOut_ += kDLE;
    }
  }
}

void TLine::GiveBackAll(UINT msg) {
  if (!notifier_) {
    buffers_.clear();
    return;
  }
  while (!buffers_.empty()) {
    notifier_->BufferDone(msg, buffers_.front());
    buffers_.pop_front();
  }
  txHeader_ = nullptr;
}

MMRESULT TLine::VoiceResetPlay() {
  if (voice_ != vmPlay) return MMSYSERR_INVALHANDLE;
  // A DLE pair cut in half would swallow the discard command.
  if (txMidPair_) WriteAll(std::string(1, kDLE));
  txOut_.clear();
  txPos_ = 0;
  txMidPair_ = false;
  WriteAll(std::string{kDLE, kCAN});
  GiveBackAll(MM_WOM_DONE);
  return MMSYSERR_NOERROR;
}

void TLine::FillRecordBuffers(bool flushPartial) {
  const std::size_t frame = voiceFormat_.nBlockAlign ? voiceFormat_.nBlockAlign : 1;
  const std::size_t modemSample = voiceFormat_.wBitsPerSample / 8 ? voiceFormat_.wBitsPerSample / 8 : 1;
  while (!buffers_.empty()) {
    WAVEHDR* h = buffers_.front();
    // Frames available in the format, from whole modem samples.
    const std::size_t samples = in_.samples.size() / modemSample;
    const std::size_t room = (h->dwBufferLength - h->dwBytesRecorded) / frame;
    const std::size_t take = std::min(samples, room);
    if (take > 0) {
      std::string frames = FromModemSamples(voiceFormat_, in_.samples.substr(0, take * modemSample));
      std::memcpy(h->lpData + h->dwBytesRecorded, frames.data(), frames.size());
      h->dwBytesRecorded += static_cast<DWORD>(frames.size());
      in_.samples.erase(0, take * modemSample);
    }
    const bool full = (h->dwBufferLength - h->dwBytesRecorded) < frame;
    if (!full && !flushPartial) return;
    buffers_.pop_front();
    notifier_->BufferDone(MM_WIM_DATA, h);
    if (!full) return;  // a stop gives back only the buffer being filled
  }
  // Without a buffer the samples wait (at most a minute of them).
  const std::size_t limit = static_cast<std::size_t>(voiceFormat_.nSamplesPerSec) * modemSample * 60;
  if (in_.samples.size() > limit) in_.samples.erase(0, in_.samples.size() - limit);
}

MMRESULT TLine::VoiceStart() {
  if (voice_ != vmRecord) return MMSYSERR_INVALHANDLE;
  if (in_.recording) return MMSYSERR_NOERROR;
  abort_ = false;
  in_.lines.clear();
  if (!WriteAll("AT+VRX\r")) return MMSYSERR_ERROR;
  std::string r = WaitFinal(kCommandTimeoutMs);
  if (r.rfind("CONNECT", 0) != 0) return MMSYSERR_ERROR;
  // Bytes that came with the CONNECT are already samples.
  in_.StartRecording();
  return MMSYSERR_NOERROR;
}

MMRESULT TLine::VoiceStop(bool reset) {
  if (voice_ != vmRecord) return MMSYSERR_INVALHANDLE;
  if (in_.recording) {
    WriteAll(std::string{kDLE, '!'});
    const auto end = Clock::now() + std::chrono::milliseconds(kCommandTimeoutMs);
    while (!in_.samplesEnded && Clock::now() < end)
      if (!Pump(50)) break;
    in_.recording = false;
    in_.lines.clear();
    WaitFinal(1000);  // the OK after the end of the data
  }
  FillRecordBuffers(true);
  if (reset) GiveBackAll(MM_WIM_DATA);
  return MMSYSERR_NOERROR;
}

MMRESULT TLine::VoiceClose(bool input) {
  if (voice_ == vmNone) {
    // The call ended under the device; it closes all the same.
    auto n = std::move(notifier_);
    if (n) n->Notice(input ? MM_WIM_CLOSE : MM_WOM_CLOSE);
    return MMSYSERR_NOERROR;
  }
  if (input) {
    if (in_.recording) VoiceStop(false);
  } else {
    // Everything written is played before the modem answers.
    if (!buffers_.empty()) return WAVERR_STILLPLAYING;
    WriteAll(std::string{kDLE, kETX});
    in_.lines.clear();
    WaitFinal(10000);
  }
  if (!buffers_.empty()) return WAVERR_STILLPLAYING;
  voice_ = vmNone;
  auto n = std::move(notifier_);
  if (n) n->Notice(input ? MM_WIM_CLOSE : MM_WOM_CLOSE);
  return MMSYSERR_NOERROR;
}

// ---------------------------------------------------------------------------------------
// Voice calls as wave devices
// ---------------------------------------------------------------------------------------

std::shared_ptr<TLine> LineOfWaveDevice(std::uint32_t deviceId) {
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  for (auto& [id, l] : s.lines)
    if (l->WaveDeviceId() == deviceId && l->call) return l;
  return nullptr;
}

class TModemWave : public TWaveStream {
 public:
  TModemWave(std::shared_ptr<TLine> line, bool input) : line_(std::move(line)), input_(input) {}
  ~TModemWave() override { Close(); }
  MMRESULT Queue(WAVEHDR* h) override {
    return Run([this, h] { return line_->VoiceQueue(h); });
  }
  MMRESULT Start() override {
    return Run([this] { return line_->VoiceStart(); });
  }
  MMRESULT Stop() override {
    return Run([this] { return line_->VoiceStop(false); });
  }
  MMRESULT Reset() override {
    return input_ ? Run([this] { return line_->VoiceStop(true); })
                  : Run([this] { return line_->VoiceResetPlay(); });
  }
  MMRESULT Close() override {
    if (closed_) return MMSYSERR_NOERROR;
    MMRESULT r = Run([this] { return line_->VoiceClose(input_); });
    if (r == MMSYSERR_NOERROR || r == MMSYSERR_INVALHANDLE) closed_ = true;
    return r == MMSYSERR_INVALHANDLE ? MMSYSERR_NOERROR : r;
  }

 private:
  MMRESULT Run(std::function<MMRESULT()> job) {
    MMRESULT r = MMSYSERR_ERROR;
    if (!line_->RunSync<MMRESULT>(std::move(job), r, 15000)) return MMSYSERR_ERROR;
    return r;
  }
  std::shared_ptr<TLine> line_;
  bool input_;
  bool closed_ = false;
};

class TModemWaveProvider : public TWaveProvider {
 public:
  bool Owns(UINT deviceId) const override {
    return deviceId >= kWaveDeviceBase && deviceId < kWaveDeviceBase + 0x100;
  }
  MMRESULT Open(UINT deviceId, bool input, const WAVEFORMATEX& format, bool queryOnly,
                std::shared_ptr<TWaveNotifier> notifier, std::unique_ptr<TWaveStream>& stream) override {
    if (!WaveFormatIsPlainPcm(format) || format.nSamplesPerSec < 4000 || format.nSamplesPerSec > 48000)
      return WAVERR_BADFORMAT;
    std::shared_ptr<TLine> line = LineOfWaveDevice(deviceId);
    if (!line) return MMSYSERR_BADDEVICEID;
    if (queryOnly) return MMSYSERR_NOERROR;
    MMRESULT r = MMSYSERR_ERROR;
    if (!line->RunSync<MMRESULT>(
            [&line, input, format, notifier] { return line->VoiceOpen(input, format, notifier); }, r, 15000))
      return MMSYSERR_ERROR;
    if (r != MMSYSERR_NOERROR) return r;
    stream = std::make_unique<TModemWave>(line, input);
    return MMSYSERR_NOERROR;
  }
};

void RegisterModemWaves() {
  static TModemWaveProvider* provider = [] {
    auto* p = new TModemWaveProvider;
    RegisterWaveProvider(p);
    return p;
  }();
  (void)provider;
}

// ---------------------------------------------------------------------------------------
// Lookups (service lock held)
// ---------------------------------------------------------------------------------------

std::shared_ptr<TApp> FindApp(TService& s, HLINEAPP app) {
  auto it = s.apps.find(app);
  return it == s.apps.end() ? nullptr : it->second;
}

std::shared_ptr<TLine> FindLine(TService& s, HLINE line) {
  auto it = s.lines.find(line);
  return it == s.lines.end() ? nullptr : it->second;
}

bool FindCall(TService& s, HCALL call, std::shared_ptr<TCall>& c, std::shared_ptr<TLine>& l) {
  auto it = s.calls.find(call);
  if (it == s.calls.end()) return false;
  c = it->second.first;
  l = it->second.second.lock();
  return l != nullptr;
}

// The dialable form of an address after the location's rules.
std::string Translate(const std::string& in, std::uint32_t options, const TDialingLocation& loc,
                      std::uint32_t& results, std::uint32_t& destCountry, std::string& displayable) {
  std::string out;
  results = 0;
  destCountry = loc.CountryCode;
  displayable = in;
  std::string s;
  for (char c : in)
    if (c != ' ' && c != '-' && c != '/' && c != '.') s += c;
  if (!s.empty() && s[0] == '+') {
    // Canonical: +country (area) number.
    results |= LINETRANSLATERESULT_CANONICAL;
    std::size_t i = 1;
    std::string country;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) country += s[i++];
    std::string area, number;
    if (i < s.size() && s[i] == '(') {
      ++i;
      while (i < s.size() && s[i] != ')') area += s[i++];
      if (i < s.size()) ++i;
    }
    number = s.substr(i);
    std::uint32_t cc = 0;
    ParseUnsigned(country, cc);
    destCountry = cc;
    if (cc != loc.CountryCode) {
      results |= LINETRANSLATERESULT_INTERNATIONAL;
      out = loc.International + country + area + number;
    } else if (!area.empty() && area != loc.AreaCode) {
      results |= LINETRANSLATERESULT_LONGDISTANCE;
      out = loc.LongDistance + area + number;
    } else {
      results |= LINETRANSLATERESULT_LOCAL;
      out = number;
    }
  } else {
    results |= LINETRANSLATERESULT_LOCAL;
    for (char c : s)
      if (c != '(' && c != ')') out += c;
  }
  out = loc.OutsideLine + out;
  if (options & LINETRANSLATEOPTION_CANCELCALLWAITING) out = loc.CancelCallWaiting + out;
  return out;
}

// Digits and dial modifiers only: nothing that would end the dial command and start another
// (';' only at the end, where it keeps the modem in its command state).
bool Dialable(const std::string& number) {
  for (std::size_t i = 0; i < number.size(); ++i) {
    const char c = number[i];
    if (c == ';' && i + 1 == number.size()) continue;
    if (c == '\0' ||
        !(std::isdigit(static_cast<unsigned char>(c)) || std::strchr("*#,ABCDabcdTPW!@", c) != nullptr))
      return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// The module
// ---------------------------------------------------------------------------------------

struct TModule {
  std::mutex m;
  bool available = true;
  std::map<std::string, void*, std::less<>> overrides;  // null: hidden
};

TModule& Module() {
  static TModule* m = new TModule;
  return *m;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------------------

std::vector<TTelephonyLine> ReadTelephonyLines() {
  std::vector<TTelephonyLine> out;
  try {
    TRegistry reg;
    if (!reg.OpenKeyReadOnly(kTelephonyLinesKey)) return out;
    TStringList keys;
    reg.GetKeyNames(keys);
    for (int i = 0; i < keys.Count(); ++i) {
      TRegistry sub;
      if (!sub.OpenKeyReadOnly(std::string(kTelephonyLinesKey) + "\\" + keys[i])) continue;
      TTelephonyLine l;
      l.Name = ReadText(sub, "Name", "");
      if (l.Name.empty()) continue;
      l.ComNumber = static_cast<std::uint16_t>(ReadDword(sub, "ComNumber", 0));
      l.Init = ReadText(sub, "Init", l.Init);
      l.CallerID = ReadText(sub, "CallerID", l.CallerID);
      l.Voice = ReadDword(sub, "Voice", 0) != 0;
      l.Baud = ReadDword(sub, "Baud", l.Baud);
      l.EscapeGuardMs = ReadDword(sub, "EscapeGuard", l.EscapeGuardMs);
      l.DialTimeoutS = ReadDword(sub, "DialTimeout", l.DialTimeoutS);
      l.RingTimeoutMs = ReadDword(sub, "RingTimeout", l.RingTimeoutMs);
      if (l.Baud == 0) l.Baud = 57600;
      if (l.DialTimeoutS == 0) l.DialTimeoutS = 60;
      out.push_back(l);
    }
  } catch (const std::exception&) {
  }
  return out;
}

void WriteTelephonyLine(const TTelephonyLine& line) {
  TRegistry reg;
  std::string key;
  bool added = false;
  if (reg.OpenKey(kTelephonyLinesKey, true)) {
    TStringList keys;
    reg.GetKeyNames(keys);
    int highest = 0;
    for (int i = 0; i < keys.Count(); ++i) {
      TRegistry sub;
      std::string k = std::string(kTelephonyLinesKey) + "\\" + keys[i];
      if (sub.OpenKeyReadOnly(k) && ReadText(sub, "Name", "") == line.Name) key = k;
      std::uint32_t n = 0;
      if (ParseUnsigned(keys[i], n)) highest = std::max(highest, static_cast<int>(n));
    }
    if (key.empty()) {
      key = std::string(kTelephonyLinesKey) + "\\" + std::to_string(highest + 1);
      added = true;
    }
  }
  TRegistry sub;
  if (!sub.OpenKey(key, true)) throw ERegistryException("cannot create " + key);
  sub.WriteString("Name", line.Name);
  sub.WriteInteger("ComNumber", line.ComNumber);
  sub.WriteString("Init", line.Init);
  sub.WriteString("CallerID", line.CallerID);
  sub.WriteInteger("Voice", line.Voice ? 1 : 0);
  sub.WriteInteger("Baud", static_cast<int>(line.Baud));
  sub.WriteInteger("EscapeGuard", static_cast<int>(line.EscapeGuardMs));
  sub.WriteInteger("DialTimeout", static_cast<int>(line.DialTimeoutS));
  sub.WriteInteger("RingTimeout", static_cast<int>(line.RingTimeoutMs));
  if (!added) return;
  // Running applications learn of the new device.
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  for (auto& [id, app] : s.apps) {
    app->lines.push_back(line);
    PostEventLocked(s, TEventRec{id, 0, 0, 0, LINE_CREATE, 0, app->lines.size() - 1, 0, 0});
  }
}

std::string TelephonyLineConfigText(const TTelephonyLine& l) {
  return "ComNumber=" + std::to_string(l.ComNumber) + "\nInit=" + l.Init + "\nCallerID=" + l.CallerID +
         "\nBaud=" + std::to_string(l.Baud) + "\nEscapeGuard=" + std::to_string(l.EscapeGuardMs) +
         "\nDialTimeout=" + std::to_string(l.DialTimeoutS) +
         "\nRingTimeout=" + std::to_string(l.RingTimeoutMs) + "\n";
}

bool ApplyTelephonyLineConfigText(std::string_view text, TTelephonyLine& line) {
  TTelephonyLine l = line;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view row = text.substr(pos, end - pos);
    pos = end + 1;
    if (!row.empty() && row.back() == '\r') row.remove_suffix(1);
    if (row.empty()) continue;
    std::size_t eq = row.find('=');
    if (eq == std::string_view::npos) return false;
    std::string_view key = row.substr(0, eq), value = row.substr(eq + 1);
    std::uint32_t n = 0;
    if (key == "Init") {
      l.Init = std::string(value);
    } else if (key == "CallerID") {
      l.CallerID = std::string(value);
    } else if (!ParseUnsigned(value, n)) {
      return false;
    } else if (key == "ComNumber" && n <= 0xFFFF) {
      l.ComNumber = static_cast<std::uint16_t>(n);
    } else if (key == "Baud" && n > 0) {
      l.Baud = n;
    } else if (key == "EscapeGuard") {
      l.EscapeGuardMs = n;
    } else if (key == "DialTimeout" && n > 0) {
      l.DialTimeoutS = n;
    } else if (key == "RingTimeout") {
      l.RingTimeoutMs = n;
    } else {
      return false;
    }
  }
  line = l;
  return true;
}

TDialingLocation ReadDialingLocation() {
  TDialingLocation loc;
  try {
    TRegistry reg;
    if (!reg.OpenKeyReadOnly(kLocationKey)) return loc;
    loc.CountryCode = ReadDword(reg, "CountryCode", loc.CountryCode);
    loc.AreaCode = ReadText(reg, "AreaCode", loc.AreaCode);
    loc.OutsideLine = ReadText(reg, "OutsideLine", loc.OutsideLine);
    loc.LongDistance = ReadText(reg, "LongDistance", loc.LongDistance);
    loc.International = ReadText(reg, "International", loc.International);
    loc.CancelCallWaiting = ReadText(reg, "CancelCallWaiting", loc.CancelCallWaiting);
  } catch (const std::exception&) {
  }
  return loc;
}

void WriteDialingLocation(const TDialingLocation& loc) {
  TRegistry reg;
  if (!reg.OpenKey(kLocationKey, true)) throw ERegistryException("cannot create the dialing location");
  reg.WriteInteger("CountryCode", static_cast<int>(loc.CountryCode));
  reg.WriteString("AreaCode", loc.AreaCode);
  reg.WriteString("OutsideLine", loc.OutsideLine);
  reg.WriteString("LongDistance", loc.LongDistance);
  reg.WriteString("International", loc.International);
  reg.WriteString("CancelCallWaiting", loc.CancelCallWaiting);
}

void SetTelephonyDialogs(const TTelephonyDialogs& dialogs) {
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  s.dialogs = dialogs;
}

// ---------------------------------------------------------------------------------------
// Line applications
// ---------------------------------------------------------------------------------------

LONG lineInitialize(HLINEAPP* lineApp, const void*, LINECALLBACK callback, const char*,
                    std::uint32_t* numDevs) {
  if (lineApp == nullptr || numDevs == nullptr) return LINEERR_INVALPOINTER;
  static std::once_flag classOnce;
  std::call_once(classOnce, [] { RegisterClass(kServiceWindowClass, ServiceWindowProc); });
  RegisterModemWaves();
  auto app = std::make_shared<TApp>();
  app->callback = callback;
  app->lines = ReadTelephonyLines();
  app->window = CreateWindow(kServiceWindowClass);
  if (app->window == 0) return LINEERR_NOMEM;
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  app->id = s.nextApp++;
  s.apps[app->id] = app;
  *lineApp = app->id;
  *numDevs = static_cast<std::uint32_t>(app->lines.size());
  return 0;
}

LONG lineShutdown(HLINEAPP lineApp) {
  TService& s = Service();
  std::vector<std::shared_ptr<TLine>> lines;
  HWND window;
  {
    std::lock_guard<std::mutex> g(s.m);
    auto app = FindApp(s, lineApp);
    if (!app) return LINEERR_INVALAPPHANDLE;
    for (auto it = s.lines.begin(); it != s.lines.end();) {
      if (it->second->app == lineApp) {
        lines.push_back(it->second);
        it = s.lines.erase(it);
      } else {
        ++it;
      }
    }
    window = app->window;
    s.apps.erase(lineApp);
  }
  for (auto& l : lines) l->Stop();
  {
    std::lock_guard<std::mutex> g(s.m);
    for (auto it = s.calls.begin(); it != s.calls.end();) {
      auto line = it->second.second.lock();
      if (!line || std::find(lines.begin(), lines.end(), line) != lines.end())
        it = s.calls.erase(it);
      else
        ++it;
    }
  }
  DestroyWindow(window);
  return 0;
}

LONG lineNegotiateAPIVersion(HLINEAPP lineApp, std::uint32_t deviceId, std::uint32_t low, std::uint32_t high,
                             std::uint32_t* apiVersion, LINEEXTENSIONID* extensionId) {
  if (apiVersion == nullptr || extensionId == nullptr) return LINEERR_INVALPOINTER;
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  auto app = FindApp(s, lineApp);
  if (!app) return LINEERR_INVALAPPHANDLE;
  if (deviceId >= app->lines.size()) return LINEERR_BADDEVICEID;
  if (low > kTelephonyApiVersion || high < kTelephonyApiVersion) return LINEERR_INCOMPATIBLEAPIVERSION;
  *apiVersion = kTelephonyApiVersion;
  *extensionId = LINEEXTENSIONID{};
  return 0;
}

LONG lineGetDevCaps(HLINEAPP lineApp, std::uint32_t deviceId, std::uint32_t apiVersion, std::uint32_t,
                    LINEDEVCAPS* caps) {
  if (caps == nullptr) return LINEERR_INVALPOINTER;
  if (caps->dwTotalSize < sizeof(LINEDEVCAPS)) return LINEERR_STRUCTURETOOSMALL;
  TTelephonyLine l;
  {
    TService& s = Service();
    std::lock_guard<std::mutex> g(s.m);
    auto app = FindApp(s, lineApp);
    if (!app) return LINEERR_INVALAPPHANDLE;
    if (deviceId >= app->lines.size()) return LINEERR_BADDEVICEID;
    if (apiVersion != kTelephonyApiVersion) return LINEERR_INCOMPATIBLEAPIVERSION;
    l = app->lines[deviceId];
  }
  TRecordWriter w(caps, sizeof(LINEDEVCAPS));
  caps->dwPermanentLineID = deviceId;
  caps->dwStringFormat = STRINGFORMAT_ASCII;
  caps->dwAddressModes = LINEADDRESSMODE_ADDRESSID;
  caps->dwNumAddresses = 1;
  caps->dwBearerModes = LINEBEARERMODE_VOICE | LINEBEARERMODE_PASSTHROUGH;
  caps->dwMaxRate = l.Baud;
  caps->dwMediaModes = LINEMEDIAMODE_UNKNOWN | LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_G3FAX |
                       (l.Voice ? LINEMEDIAMODE_AUTOMATEDVOICE : 0);
  caps->dwGenerateDigitModes = caps->dwMonitorDigitModes = l.Voice ? LINEDIGITMODE_DTMF : 0;
  caps->dwMaxNumActiveCalls = 1;
  caps->dwRingModes = 1;
  caps->dwLineStates = LINEDEVSTATE_OTHER | LINEDEVSTATE_RINGING | LINEDEVSTATE_OUTOFSERVICE |
                       LINEDEVSTATE_OPEN | LINEDEVSTATE_CLOSE | LINEDEVSTATE_REINIT;
  w.String(l.Name, caps->dwLineNameSize, caps->dwLineNameOffset);
  w.String("Modem on COM" + std::to_string(l.ComNumber), caps->dwProviderInfoSize,
           caps->dwProviderInfoOffset);
  w.Finish();
  return 0;
}

LONG lineOpen(HLINEAPP lineApp, std::uint32_t deviceId, HLINE* line, std::uint32_t apiVersion, std::uint32_t,
              DWORD_PTR callbackInstance, std::uint32_t privileges, std::uint32_t mediaModes,
              const LINECALLPARAMS*) {
  if (line == nullptr) return LINEERR_INVALPOINTER;
  TService& s = Service();
  auto l = std::make_shared<TLine>();
  {
    std::lock_guard<std::mutex> g(s.m);
    auto app = FindApp(s, lineApp);
    if (!app) return LINEERR_INVALAPPHANDLE;
    if (deviceId >= app->lines.size()) return LINEERR_BADDEVICEID;
    if (apiVersion != kTelephonyApiVersion) return LINEERR_INCOMPATIBLEAPIVERSION;
    const std::uint32_t known = LINECALLPRIVILEGE_NONE | LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER;
    if (privileges == 0 || (privileges & ~known)) return LINEERR_INVALPRIVSELECT;
    l->config = app->lines[deviceId];
    std::uint32_t supported = LINEMEDIAMODE_UNKNOWN | LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_G3FAX |
                              (l->config.Voice ? LINEMEDIAMODE_AUTOMATEDVOICE : 0);
    if ((privileges & LINECALLPRIVILEGE_OWNER) && (mediaModes == 0 || (mediaModes & ~supported)))
      return LINEERR_INVALMEDIAMODE;
    l->id = s.nextLine++;
    l->app = lineApp;
    l->deviceId = deviceId;
    l->instance = callbackInstance;
    l->privileges = privileges;
    l->mediaModes = mediaModes;
  }
  l->Start();
  if (privileges & LINECALLPRIVILEGE_OWNER) {
    // An owner waits for calls: the modem is opened and made ready now.
    LONG r = LINEERR_OPERATIONFAILED;
    if (!l->RunSync<LONG>([l] { return l->OpenOwner(); }, r, 30000)) r = LINEERR_OPERATIONFAILED;
    if (r != 0) {
      l->Stop();
      return r;
    }
  }
  std::lock_guard<std::mutex> g(s.m);
  s.lines[l->id] = l;
  *line = l->id;
  return 0;
}

LONG lineClose(HLINE line) {
  TService& s = Service();
  std::shared_ptr<TLine> l;
  {
    std::lock_guard<std::mutex> g(s.m);
    l = FindLine(s, line);
    if (!l) return LINEERR_INVALLINEHANDLE;
    s.lines.erase(line);
  }
  l->Stop();
  std::lock_guard<std::mutex> g(s.m);
  for (auto it = s.calls.begin(); it != s.calls.end();) {
    auto owner = it->second.second.lock();
    if (!owner || owner == l)
      it = s.calls.erase(it);
    else
      ++it;
  }
  l->call.reset();
  return 0;
}

LONG lineSetStatusMessages(HLINE line, std::uint32_t lineStates, std::uint32_t addressStates) {
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  auto l = FindLine(s, line);
  if (!l) return LINEERR_INVALLINEHANDLE;
  if (lineStates & ~LINEDEVSTATE_ALL) return LINEERR_INVALPARAM;
  if (addressStates & ~LINEADDRESSSTATE_ALL) return LINEERR_INVALPARAM;
  l->lineStates = lineStates;
  l->addressStates = addressStates;
  return 0;
}

LONG lineGetStatusMessages(HLINE line, std::uint32_t* lineStates, std::uint32_t* addressStates) {
  if (lineStates == nullptr || addressStates == nullptr) return LINEERR_INVALPOINTER;
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  auto l = FindLine(s, line);
  if (!l) return LINEERR_INVALLINEHANDLE;
  *lineStates = l->lineStates;
  *addressStates = l->addressStates;
  return 0;
}

LONG lineGetAddressStatus(HLINE line, std::uint32_t addressId, LINEADDRESSSTATUS* status) {
  if (status == nullptr) return LINEERR_INVALPOINTER;
  if (status->dwTotalSize < sizeof(LINEADDRESSSTATUS)) return LINEERR_STRUCTURETOOSMALL;
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  auto l = FindLine(s, line);
  if (!l) return LINEERR_INVALLINEHANDLE;
  if (addressId != 0) return LINEERR_INVALPARAM;
  TRecordWriter w(status, sizeof(LINEADDRESSSTATUS));
  const bool active = l->call && l->call->state != LINECALLSTATE_IDLE;
  status->dwNumInUse = active ? 1 : 0;
  status->dwNumActiveCalls = active ? 1 : 0;
  w.Finish();
  return 0;
}

// ---------------------------------------------------------------------------------------
// Calls
// ---------------------------------------------------------------------------------------

LONG lineMakeCall(HLINE line, HCALL* call, const char* destAddress, std::uint32_t,
                  const LINECALLPARAMS* params) {
  if (call == nullptr) return LINEERR_INVALPOINTER;
  std::uint32_t bearer = LINEBEARERMODE_VOICE, media = LINEMEDIAMODE_DATAMODEM;
  if (params != nullptr) {
    if (params->dwTotalSize < 36) return LINEERR_STRUCTURETOOSMALL;
    if (params->dwBearerMode != 0) bearer = params->dwBearerMode;
    if (params->dwMediaMode != 0) media = params->dwMediaMode;
  }
  if (bearer != LINEBEARERMODE_VOICE && bearer != LINEBEARERMODE_PASSTHROUGH && bearer != LINEBEARERMODE_DATA)
    return LINEERR_INVALBEARERMODE;
  std::string number = destAddress != nullptr ? destAddress : "";
  if (!number.empty() && number[0] == '+') {
    std::uint32_t results, dest;
    std::string displayable;
    number = Translate(number, 0, ReadDialingLocation(), results, dest, displayable);
  }
  std::string cleaned;
  for (char c : number)
    if (c != ' ' && c != '-' && c != '(' && c != ')' && c != '/' && c != '.') cleaned += c;
  if (!Dialable(cleaned)) return LINEERR_INVALADDRESS;
  if (cleaned.empty() && bearer != LINEBEARERMODE_PASSTHROUGH) return LINEERR_INVALADDRESS;

  TService& s = Service();
  std::shared_ptr<TLine> l;
  auto c = std::make_shared<TCall>();
  std::uint32_t request;
  {
    std::lock_guard<std::mutex> g(s.m);
    l = FindLine(s, line);
    if (!l) return LINEERR_INVALLINEHANDLE;
    if (l->call) return LINEERR_INUSE;
    if ((media & LINEMEDIAMODE_AUTOMATEDVOICE) && !l->config.Voice) return LINEERR_INVALMEDIAMODE;
    c->id = s.nextCall++;
    c->bearer = bearer;
    c->media = media;
    c->called = cleaned;
    c->callerFlags = LINECALLPARTYID_UNAVAIL;
    c->state = LINECALLSTATE_IDLE;
    s.calls[c->id] = {c, l};
    l->call = c;
    request = NewRequest(s);
  }
  *call = c->id;
  l->Push([l, c, request] { l->MakeCall(c, request); });
  return static_cast<LONG>(request);
}

LONG lineAccept(HCALL call, const char*, std::uint32_t) {
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  std::shared_ptr<TCall> c;
  std::shared_ptr<TLine> l;
  if (!FindCall(s, call, c, l)) return LINEERR_INVALCALLHANDLE;
  if (c->state != LINECALLSTATE_OFFERING) return LINEERR_INVALCALLSTATE;
  const std::uint32_t request = NewRequest(s);
  c->state = LINECALLSTATE_ACCEPTED;
  PostEventLocked(s, TEventRec{l->app, l->id, 0, 0, LINE_REPLY, l->instance, request, 0, 0});
  PostEventLocked(s, TEventRec{l->app, l->id, c->id, c->id, LINE_CALLSTATE, l->instance,
                               LINECALLSTATE_ACCEPTED, 0, LINECALLPRIVILEGE_OWNER});
  return static_cast<LONG>(request);
}

LONG lineAnswer(HCALL call, const char*, std::uint32_t) {
  TService& s = Service();
  std::shared_ptr<TCall> c;
  std::shared_ptr<TLine> l;
  std::uint32_t request;
  {
    std::lock_guard<std::mutex> g(s.m);
    if (!FindCall(s, call, c, l)) return LINEERR_INVALCALLHANDLE;
    if (c->state != LINECALLSTATE_OFFERING && c->state != LINECALLSTATE_ACCEPTED)
      return LINEERR_INVALCALLSTATE;
    request = NewRequest(s);
  }
  l->Push([l, c, request] { l->Answer(c, request); });
  return static_cast<LONG>(request);
}

LONG lineDrop(HCALL call, const char*, std::uint32_t) {
  TService& s = Service();
  std::shared_ptr<TCall> c;
  std::shared_ptr<TLine> l;
  std::uint32_t request;
  {
    std::lock_guard<std::mutex> g(s.m);
    if (!FindCall(s, call, c, l)) return LINEERR_INVALCALLHANDLE;
    request = NewRequest(s);
  }
  l->Abort();
  l->Push([l, c, request] { l->Drop(c, request, true); });
  return static_cast<LONG>(request);
}

LONG lineDeallocateCall(HCALL call) {
  TService& s = Service();
  std::shared_ptr<TCall> c;
  std::shared_ptr<TLine> l;
  bool active;
  {
    std::lock_guard<std::mutex> g(s.m);
    if (!FindCall(s, call, c, l)) return LINEERR_INVALCALLHANDLE;
    active = c->state != LINECALLSTATE_IDLE;
    s.calls.erase(call);
    if (l->call == c) l->call.reset();
    if (active) l->orphans.push_back(c);
  }
  if (active) {
    // A call let go while it runs is still hung up.
    l->Abort();
    l->Push([l, c] { l->Drop(c, 0, false); });
  }
  return 0;
}

LONG lineHandoff(HCALL call, const char*, std::uint32_t) {
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  std::shared_ptr<TCall> c;
  std::shared_ptr<TLine> l;
  if (!FindCall(s, call, c, l)) return LINEERR_INVALCALLHANDLE;
  return LINEERR_OPERATIONUNAVAIL;  // one application a call here
}

LONG lineGetID(HLINE line, std::uint32_t, HCALL call, std::uint32_t select, VARSTRING* deviceId,
               const char* deviceClass) {
  if (deviceId == nullptr || deviceClass == nullptr) return LINEERR_INVALPOINTER;
  if (deviceId->dwTotalSize < sizeof(VARSTRING)) return LINEERR_STRUCTURETOOSMALL;
  const std::string cls = deviceClass;
  TService& s = Service();
  std::shared_ptr<TLine> l;
  std::shared_ptr<TCall> c;
  {
    std::lock_guard<std::mutex> g(s.m);
    if (select == LINECALLSELECT_CALL) {
      if (!FindCall(s, call, c, l)) return LINEERR_INVALCALLHANDLE;
    } else if (select == LINECALLSELECT_LINE || select == LINECALLSELECT_ADDRESS) {
      l = FindLine(s, line);
      if (!l) return LINEERR_INVALLINEHANDLE;
    } else {
      return LINEERR_INVALCALLSELECT;
    }
  }
  TRecordWriter w(deviceId, sizeof(VARSTRING));
  const std::string portName = "COM" + std::to_string(l->config.ComNumber);
  if (cls == "comm/datamodem/portname") {
    deviceId->dwStringFormat = STRINGFORMAT_ASCII;
    w.String(portName, deviceId->dwStringSize, deviceId->dwStringOffset);
    w.Finish();
    return 0;
  }
  if (cls == "comm/datamodem") {
    if (!c) return LINEERR_INVALCALLSELECT;
    deviceId->dwStringFormat = STRINGFORMAT_BINARY;
    const std::uint32_t need = sizeof(VARSTRING) + 4 + static_cast<std::uint32_t>(portName.size()) + 1;
    if (deviceId->dwTotalSize < need) {  // asked again with room; no descriptor is made for nothing
      w.Need(need - sizeof(VARSTRING));
      w.Finish();
      return 0;
    }
    int fd = -1;
    if (!l->RunSync<int>([l, c] { return l->HandOver(c); }, fd, 10000)) fd = -1;
    if (fd < 0) return LINEERR_OPERATIONFAILED;
    std::string data(4 + portName.size() + 1, '\0');
    const std::uint32_t handle = static_cast<std::uint32_t>(fd);
    std::memcpy(data.data(), &handle, 4);
    std::memcpy(data.data() + 4, portName.c_str(), portName.size());
    w.Bytes(data.data(), data.size(), deviceId->dwStringSize, deviceId->dwStringOffset);
    w.Finish();
    return 0;
  }
  if (cls == "wave/out" || cls == "wave/in") {
    if (!l->config.Voice) return LINEERR_INVALDEVICECLASS;
    deviceId->dwStringFormat = STRINGFORMAT_BINARY;
    const std::uint32_t id = l->WaveDeviceId();
    w.Bytes(&id, 4, deviceId->dwStringSize, deviceId->dwStringOffset);
    w.Finish();
    return 0;
  }
  return LINEERR_INVALDEVICECLASS;
}

LONG lineGetCallInfo(HCALL call, LINECALLINFO* info) {
  if (info == nullptr) return LINEERR_INVALPOINTER;
  if (info->dwTotalSize < sizeof(LINECALLINFO)) return LINEERR_STRUCTURETOOSMALL;
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  std::shared_ptr<TCall> c;
  std::shared_ptr<TLine> l;
  if (!FindCall(s, call, c, l)) return LINEERR_INVALCALLHANDLE;
  TRecordWriter w(info, sizeof(LINECALLINFO));
  info->hLine = l->id;
  info->dwLineDeviceID = l->deviceId;
  info->dwBearerMode = c->bearer;
  info->dwRate = c->state == LINECALLSTATE_CONNECTED ? c->rate : 0;
  info->dwMediaMode = c->media;
  info->dwCallID = c->id;
  info->dwCallStates = LINECALLSTATE_IDLE | LINECALLSTATE_OFFERING | LINECALLSTATE_ACCEPTED |
                       LINECALLSTATE_DIALTONE | LINECALLSTATE_DIALING | LINECALLSTATE_PROCEEDING |
                       LINECALLSTATE_BUSY | LINECALLSTATE_CONNECTED | LINECALLSTATE_DISCONNECTED;
  info->dwMonitorDigitModes = c->monitorDigits;
  info->dwOrigin = c->inbound ? LINECALLORIGIN_INBOUND : LINECALLORIGIN_OUTBOUND;
  info->dwNumOwners = 1;
  info->dwCallerIDFlags = c->callerFlags;
  w.String(c->callerId, info->dwCallerIDSize, info->dwCallerIDOffset);
  w.String(c->callerName, info->dwCallerIDNameSize, info->dwCallerIDNameOffset);
  info->dwCalledIDFlags = c->called.empty() ? LINECALLPARTYID_UNAVAIL : LINECALLPARTYID_ADDRESS;
  w.String(c->called, info->dwCalledIDSize, info->dwCalledIDOffset);
  w.Finish();
  return 0;
}

LONG lineGetCallStatus(HCALL call, LINECALLSTATUS* status) {
  if (status == nullptr) return LINEERR_INVALPOINTER;
  if (status->dwTotalSize < sizeof(LINECALLSTATUS)) return LINEERR_STRUCTURETOOSMALL;
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  std::shared_ptr<TCall> c;
  std::shared_ptr<TLine> l;
  if (!FindCall(s, call, c, l)) return LINEERR_INVALCALLHANDLE;
  TRecordWriter w(status, sizeof(LINECALLSTATUS));
  status->dwCallState = c->state;
  status->dwCallStateMode = c->stateMode;
  status->dwCallPrivilege = LINECALLPRIVILEGE_OWNER;
  w.Finish();
  return 0;
}

LONG lineSetMediaMode(HCALL call, std::uint32_t mediaModes) {
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  std::shared_ptr<TCall> c;
  std::shared_ptr<TLine> l;
  if (!FindCall(s, call, c, l)) return LINEERR_INVALCALLHANDLE;
  const std::uint32_t known = LINEMEDIAMODE_UNKNOWN | LINEMEDIAMODE_INTERACTIVEVOICE |
                              LINEMEDIAMODE_AUTOMATEDVOICE | LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_G3FAX;
  if (mediaModes == 0 || (mediaModes & ~known)) return LINEERR_INVALMEDIAMODE;
  if ((mediaModes & LINEMEDIAMODE_AUTOMATEDVOICE) && !l->config.Voice) return LINEERR_INVALMEDIAMODE;
  c->media = mediaModes;
  return 0;
}

LONG lineSetCallParams(HCALL call, std::uint32_t bearerMode, std::uint32_t, std::uint32_t,
                       const LINEDIALPARAMS*) {
  TService& s = Service();
  std::shared_ptr<TCall> c;
  std::shared_ptr<TLine> l;
  std::uint32_t request;
  {
    std::lock_guard<std::mutex> g(s.m);
    if (!FindCall(s, call, c, l)) return LINEERR_INVALCALLHANDLE;
    if (c->state != LINECALLSTATE_CONNECTED) return LINEERR_INVALCALLSTATE;
    if (bearerMode != LINEBEARERMODE_PASSTHROUGH && bearerMode != LINEBEARERMODE_VOICE)
      return LINEERR_INVALBEARERMODE;
    request = NewRequest(s);
    if (bearerMode == LINEBEARERMODE_VOICE) {
      c->bearer = bearerMode;
      PostEventLocked(s, TEventRec{l->app, l->id, 0, 0, LINE_REPLY, l->instance, request, 0, 0});
      return static_cast<LONG>(request);
    }
  }
  l->Push([l, c, request] { l->SetPassThrough(c, request); });
  return static_cast<LONG>(request);
}

LONG lineMonitorDigits(HCALL call, std::uint32_t digitModes) {
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  std::shared_ptr<TCall> c;
  std::shared_ptr<TLine> l;
  if (!FindCall(s, call, c, l)) return LINEERR_INVALCALLHANDLE;
  if (digitModes & ~(LINEDIGITMODE_PULSE | LINEDIGITMODE_DTMF)) return LINEERR_INVALDIGITMODE;
  if (digitModes != 0 && !l->config.Voice) return LINEERR_OPERATIONUNAVAIL;
  c->monitorDigits = digitModes;
  return 0;
}

LONG lineMonitorMedia(HCALL call, std::uint32_t) {
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  std::shared_ptr<TCall> c;
  std::shared_ptr<TLine> l;
  if (!FindCall(s, call, c, l)) return LINEERR_INVALCALLHANDLE;
  return LINEERR_OPERATIONUNAVAIL;
}

LONG lineMonitorTones(HCALL call, const void*, std::uint32_t) {
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  std::shared_ptr<TCall> c;
  std::shared_ptr<TLine> l;
  if (!FindCall(s, call, c, l)) return LINEERR_INVALCALLHANDLE;
  return LINEERR_OPERATIONUNAVAIL;
}

LONG lineGenerateDigits(HCALL call, std::uint32_t digitMode, const char* digits, std::uint32_t) {
  TService& s = Service();
  std::shared_ptr<TCall> c;
  std::shared_ptr<TLine> l;
  {
    std::lock_guard<std::mutex> g(s.m);
    if (!FindCall(s, call, c, l)) return LINEERR_INVALCALLHANDLE;
    if (digitMode != LINEDIGITMODE_DTMF) return LINEERR_INVALDIGITMODE;
    if (!l->config.Voice) return LINEERR_OPERATIONUNAVAIL;
    if (c->state != LINECALLSTATE_CONNECTED) return LINEERR_INVALCALLSTATE;
  }
  std::string d = digits != nullptr ? digits : "";
  if (d.empty()) return LINEERR_INVALDIGITS;
  for (char ch : d)
    if (!(std::isdigit(static_cast<unsigned char>(ch)) || ch == '*' || ch == '#' || (ch >= 'A' && ch <= 'D')))
      return LINEERR_INVALDIGITS;
  l->Push([l, c, d] { l->GenerateDigits(c, d); });
  return 0;
}

LONG lineGenerateTone(HCALL call, std::uint32_t, std::uint32_t, std::uint32_t, const void*) {
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  std::shared_ptr<TCall> c;
  std::shared_ptr<TLine> l;
  if (!FindCall(s, call, c, l)) return LINEERR_INVALCALLHANDLE;
  return LINEERR_OPERATIONUNAVAIL;
}

// ---------------------------------------------------------------------------------------
// Configuration, translation and the rest
// ---------------------------------------------------------------------------------------

LONG lineGetCountry(std::uint32_t, std::uint32_t, LINECOUNTRYLIST* list) {
  if (list == nullptr) return LINEERR_INVALPOINTER;
  if (list->dwTotalSize < sizeof(LINECOUNTRYLIST)) return LINEERR_STRUCTURETOOSMALL;
  TRecordWriter w(list, sizeof(LINECOUNTRYLIST));
  w.Finish();
  return 0;
}

namespace {

bool LineByDevice(std::uint32_t deviceId, TTelephonyLine& line) {
  std::vector<TTelephonyLine> lines = ReadTelephonyLines();
  if (deviceId >= lines.size()) return false;
  line = lines[deviceId];
  return true;
}

LONG ConfigOut(VARSTRING* out, const TTelephonyLine& line) {
  if (out->dwTotalSize < sizeof(VARSTRING)) return LINEERR_STRUCTURETOOSMALL;
  TRecordWriter w(out, sizeof(VARSTRING));
  out->dwStringFormat = STRINGFORMAT_BINARY;
  std::string text = TelephonyLineConfigText(line);
  w.Bytes(text.data(), text.size(), out->dwStringSize, out->dwStringOffset);
  w.Finish();
  return 0;
}

TTelephonyDialogs Dialogs() {
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  return s.dialogs;
}

}  // namespace

LONG lineGetDevConfig(std::uint32_t deviceId, VARSTRING* config, const char* deviceClass) {
  if (config == nullptr || deviceClass == nullptr) return LINEERR_INVALPOINTER;
  if (std::string(deviceClass) != "comm/datamodem") return LINEERR_INVALDEVICECLASS;
  TTelephonyLine line;
  if (!LineByDevice(deviceId, line)) return LINEERR_BADDEVICEID;
  return ConfigOut(config, line);
}

LONG lineSetDevConfig(std::uint32_t deviceId, const void* config, std::uint32_t size,
                      const char* deviceClass) {
  if (config == nullptr || deviceClass == nullptr) return LINEERR_INVALPOINTER;
  if (std::string(deviceClass) != "comm/datamodem") return LINEERR_INVALDEVICECLASS;
  TTelephonyLine line;
  if (!LineByDevice(deviceId, line)) return LINEERR_BADDEVICEID;
  if (!ApplyTelephonyLineConfigText(std::string_view(static_cast<const char*>(config), size), line))
    return LINEERR_INVALPARAM;
  try {
    WriteTelephonyLine(line);
  } catch (const std::exception&) {
    return LINEERR_OPERATIONFAILED;
  }
  return 0;
}

LONG lineConfigDialog(std::uint32_t deviceId, DWORD_PTR ownerWindow, const char* deviceClass) {
  if (deviceClass != nullptr && *deviceClass != '\0' && std::string(deviceClass) != "comm/datamodem" &&
      std::string(deviceClass) != "comm")
    return LINEERR_INVALDEVICECLASS;
  TTelephonyLine line;
  if (!LineByDevice(deviceId, line)) return LINEERR_BADDEVICEID;
  TTelephonyDialogs d = Dialogs();
  if (d.EditLine == nullptr) return LINEERR_OPERATIONUNAVAIL;
  if (!d.EditLine(ownerWindow, line)) return 0;
  try {
    WriteTelephonyLine(line);
  } catch (const std::exception&) {
    return LINEERR_OPERATIONFAILED;
  }
  return 0;
}

LONG lineConfigDialogEdit(std::uint32_t deviceId, DWORD_PTR ownerWindow, const char* deviceClass,
                          const void* configIn, std::uint32_t sizeIn, VARSTRING* configOut) {
  if (configOut == nullptr || deviceClass == nullptr) return LINEERR_INVALPOINTER;
  if (std::string(deviceClass) != "comm/datamodem") return LINEERR_INVALDEVICECLASS;
  TTelephonyLine line;
  if (!LineByDevice(deviceId, line)) return LINEERR_BADDEVICEID;
  if (configIn != nullptr && sizeIn > 0 &&
      !ApplyTelephonyLineConfigText(std::string_view(static_cast<const char*>(configIn), sizeIn), line))
    return LINEERR_INVALPARAM;
  TTelephonyDialogs d = Dialogs();
  if (d.EditLine == nullptr) return LINEERR_OPERATIONUNAVAIL;
  d.EditLine(ownerWindow, line);
  return ConfigOut(configOut, line);
}

LONG lineTranslateAddress(HLINEAPP lineApp, std::uint32_t deviceId, std::uint32_t apiVersion,
                          const char* addressIn, std::uint32_t, std::uint32_t options,
                          LINETRANSLATEOUTPUT* output) {
  if (output == nullptr || addressIn == nullptr) return LINEERR_INVALPOINTER;
  if (output->dwTotalSize < sizeof(LINETRANSLATEOUTPUT)) return LINEERR_STRUCTURETOOSMALL;
  {
    TService& s = Service();
    std::lock_guard<std::mutex> g(s.m);
    auto app = FindApp(s, lineApp);
    if (!app) return LINEERR_INVALAPPHANDLE;
    if (deviceId >= app->lines.size()) return LINEERR_BADDEVICEID;
    if (apiVersion != kTelephonyApiVersion) return LINEERR_INCOMPATIBLEAPIVERSION;
  }
  std::string in = addressIn;
  if (in.empty()) return LINEERR_INVALADDRESS;
  for (char c : in)
    if (static_cast<unsigned char>(c) < 0x20) return LINEERR_INVALADDRESS;
  TDialingLocation loc = ReadDialingLocation();
  std::uint32_t results = 0, dest = 0;
  std::string displayable;
  std::string dialable = Translate(in, options, loc, results, dest, displayable);
  TRecordWriter w(output, sizeof(LINETRANSLATEOUTPUT));
  w.String(dialable, output->dwDialableStringSize, output->dwDialableStringOffset);
  w.String(displayable, output->dwDisplayableStringSize, output->dwDisplayableStringOffset);
  output->dwCurrentCountry = loc.CountryCode;
  output->dwDestCountry = dest;
  output->dwTranslateResults = results;
  w.Finish();
  return 0;
}

LONG lineTranslateDialog(HLINEAPP lineApp, std::uint32_t deviceId, std::uint32_t apiVersion,
                         DWORD_PTR ownerWindow, const char* addressIn) {
  {
    TService& s = Service();
    std::lock_guard<std::mutex> g(s.m);
    auto app = FindApp(s, lineApp);
    if (!app) return LINEERR_INVALAPPHANDLE;
    if (deviceId >= app->lines.size()) return LINEERR_BADDEVICEID;
    if (apiVersion != kTelephonyApiVersion) return LINEERR_INCOMPATIBLEAPIVERSION;
  }
  TTelephonyDialogs d = Dialogs();
  if (d.EditLocation == nullptr) return LINEERR_OPERATIONUNAVAIL;
  TDialingLocation loc = ReadDialingLocation();
  if (!d.EditLocation(ownerWindow, addressIn != nullptr ? addressIn : "", loc)) return 0;
  try {
    WriteDialingLocation(loc);
  } catch (const std::exception&) {
    return LINEERR_OPERATIONFAILED;
  }
  return 0;
}

LONG lineSetCurrentLocation(HLINEAPP lineApp, std::uint32_t location) {
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  if (!FindApp(s, lineApp)) return LINEERR_INVALAPPHANDLE;
  return location == 0 ? 0 : LINEERR_INVALPARAM;  // one location: the one in the settings
}

LONG lineSetTollList(HLINEAPP lineApp, std::uint32_t, const char*, std::uint32_t) {
  TService& s = Service();
  std::lock_guard<std::mutex> g(s.m);
  if (!FindApp(s, lineApp)) return LINEERR_INVALAPPHANDLE;
  return LINEERR_OPERATIONUNAVAIL;
}

LONG lineGetTranslateCaps(HLINEAPP lineApp, std::uint32_t, LINETRANSLATECAPS* caps) {
  if (caps == nullptr) return LINEERR_INVALPOINTER;
  if (caps->dwTotalSize < sizeof(LINETRANSLATECAPS)) return LINEERR_STRUCTURETOOSMALL;
  {
    TService& s = Service();
    std::lock_guard<std::mutex> g(s.m);
    if (!FindApp(s, lineApp)) return LINEERR_INVALAPPHANDLE;
  }
  TRecordWriter w(caps, sizeof(LINETRANSLATECAPS));
  caps->dwNumLocations = 1;
  caps->dwCurrentLocationID = 0;
  w.Finish();
  return 0;
}

// ---------------------------------------------------------------------------------------
// The module
// ---------------------------------------------------------------------------------------

bool TelephonyLoad() {
  TModule& m = Module();
  std::lock_guard<std::mutex> g(m.m);
  return m.available;
}

void* TelephonyGetProc(std::string_view name) {
  {
    TModule& m = Module();
    std::lock_guard<std::mutex> g(m.m);
    if (auto it = m.overrides.find(name); it != m.overrides.end()) return it->second;
  }
#define TELEPHONY_ENTRY(fn) \
  if (name == #fn) return reinterpret_cast<void*>(&fn);
  TELEPHONY_ENTRY(lineInitialize)
  TELEPHONY_ENTRY(lineShutdown)
  TELEPHONY_ENTRY(lineNegotiateAPIVersion)
  TELEPHONY_ENTRY(lineGetDevCaps)
  TELEPHONY_ENTRY(lineOpen)
  TELEPHONY_ENTRY(lineClose)
  TELEPHONY_ENTRY(lineSetStatusMessages)
  TELEPHONY_ENTRY(lineGetStatusMessages)
  TELEPHONY_ENTRY(lineGetAddressStatus)
  TELEPHONY_ENTRY(lineMakeCall)
  TELEPHONY_ENTRY(lineAccept)
  TELEPHONY_ENTRY(lineAnswer)
  TELEPHONY_ENTRY(lineDrop)
  TELEPHONY_ENTRY(lineDeallocateCall)
  TELEPHONY_ENTRY(lineHandoff)
  TELEPHONY_ENTRY(lineGetID)
  TELEPHONY_ENTRY(lineGetCallInfo)
  TELEPHONY_ENTRY(lineGetCallStatus)
  TELEPHONY_ENTRY(lineSetMediaMode)
  TELEPHONY_ENTRY(lineSetCallParams)
  TELEPHONY_ENTRY(lineMonitorDigits)
  TELEPHONY_ENTRY(lineMonitorMedia)
  TELEPHONY_ENTRY(lineMonitorTones)
  TELEPHONY_ENTRY(lineGenerateDigits)
  TELEPHONY_ENTRY(lineGenerateTone)
  TELEPHONY_ENTRY(lineGetCountry)
  TELEPHONY_ENTRY(lineGetDevConfig)
  TELEPHONY_ENTRY(lineSetDevConfig)
  TELEPHONY_ENTRY(lineConfigDialog)
  TELEPHONY_ENTRY(lineConfigDialogEdit)
  TELEPHONY_ENTRY(lineTranslateAddress)
  TELEPHONY_ENTRY(lineTranslateDialog)
  TELEPHONY_ENTRY(lineSetCurrentLocation)
  TELEPHONY_ENTRY(lineSetTollList)
  TELEPHONY_ENTRY(lineGetTranslateCaps)
#undef TELEPHONY_ENTRY
  return nullptr;
}

void TelephonySetAvailable(bool available) {
  TModule& m = Module();
  std::lock_guard<std::mutex> g(m.m);
  m.available = available;
}

void TelephonySetProc(std::string_view name, void* proc) {
  TModule& m = Module();
  std::lock_guard<std::mutex> g(m.m);
  m.overrides[std::string(name)] = proc;
}

void TelephonyResetProcs() {
  TModule& m = Module();
  std::lock_guard<std::mutex> g(m.m);
  m.overrides.clear();
}
