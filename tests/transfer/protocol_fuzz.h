#pragma once
// The bench of the transfer engines' fuzz targets: port components on fuzz lines, the notices
// answered as the protocol component answers them, and real files in a scratch directory of
// the process (emptied after every run). A run is one of two kinds:
//  - against the bytes: one side of ours, the input's bytes what the other side sends;
//  - against our own other side: our sender and our receiver on two lines joined by a link
//    that loses and holds back packets as the input says (TLink). A file the receiver takes is
//    the file sent, byte for byte (XModem adds its padding), whatever the line did; on a line
//    without faults both sides succeed.
//
// Input: byte 0: bit 1 set for a run against our own other side, else bit 0 set when this
// side sends; bits 2-7 the size of the pieces in which the bytes arrive (1 to 64). Byte 1 is
// for the engine's own options. The rest is the other side's bytes, or the faults of the link
// (TLink).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/Messages.h"
#include "serial/SioPort.h"
#include "tests/support/FuzzLine.h"
#include "tests/support/TempDir.h"
#include "transfer/Swabspcl.h"

namespace fuzz {

struct TEngine {
  std::function<int(TProtocolData*& P, TSioCustomComPort* port, std::uint8_t options)> Init;
  TSioNotifyProc Transmit = nullptr;
  PrepareProc PrepareTransmit = nullptr;
  TSioNotifyProc Receive = nullptr;
  PrepareProc PrepareReceive = nullptr;
  // Where the other side starts the run (B+): reads its start packets and tells the direction;
  // false when no transfer starts. An engine with such a start runs only against the bytes.
  std::function<bool(TProtocolData& P, TFuzzLine& line, bool& send)> Start;
};

class TBench {
 public:
  TBench() {
    // Every byte value, so that the senders quote and escape.
    std::string file(3000, '\0');
    for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<char>(i * 7);
    Dir.Write("send.bin", file);
    RegisterClass("FuzzProtocolNotices", [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
      return static_cast<TBench*>(GetWindowUserData(h))->Notice(h, m, w, l);
    });
    Window = CreateWindow("FuzzProtocolNotices", this);
  }
  ~TBench() { DestroyWindow(Window); }
  std::string SendFile() const { return Dir / "send.bin"; }
  std::string InDir() const { return In.str(); }
  // Sets up for a run: one file to send, no notices yet.
  void Reset() {
    Finished = 0;
    FilesToSend = 1;
    Results.clear();
    Logs.clear();
  }

  support::TempDir Dir{"korvidan-fuzz", support::TmpfsOrTemp()};
  support::TempDir In{"in", Dir.path()};
  HWND Window = 0;
  int Finished = 0;  // finish notices
  int FilesToSend = 0;
  std::map<const TProtocolData*, int> Results;                 // the finish notices' codes
  std::map<const TProtocolData*, std::vector<unsigned>> Logs;  // the log notices' codes

 private:
  LRESULT Notice(HWND h, UINT m, WPARAM w, LPARAM l) {
    switch (m) {
      case apw_ProtocolNextFile:
        if (FilesToSend == 0) return 0;
        --FilesToSend;
        CopyToBufferZ(reinterpret_cast<char*>(l), apMaxPath, SendFile());
        return 1;
      case apw_ProtocolAcceptFile:
        return 1;
      case apw_ProtocolLog:
        Logs[reinterpret_cast<const TProtocolData*>(l)].push_back(static_cast<unsigned>(w));
        return 0;
      case apw_ProtocolFinish:
        ++Finished;
        Results[reinterpret_cast<const TProtocolData*>(l)] = static_cast<int>(static_cast<std::intptr_t>(w));
        return 0;
      default:
        return DefWindowProc(h, m, w, l);
    }
  }
};

inline TBench& Bench() {
  static TBench bench;
  return bench;
}

// One side: a port component on a fuzz line and the engine's record, its notices to the bench.
struct TSide {
  TSide(const TEngine& engine, std::uint8_t options, const std::function<void(TFuzzLine&)>& play = nullptr) {
    SetActivateDeviceLayerHook([&](TSioCustomComPort* cp) {
      Line = new TFuzzLine(cp);
      if (play) play(*Line);
      return Line;
    });
    Port.SetComNumber(1);
    Port.SetInSize(8192);
    Port.SetOutSize(32768);  // room for ZModem's escaped 8K subpackets
    Port.SetOpen(true);
    SetActivateDeviceLayerHook(nullptr);
    if (engine.Init(P, &Port, options) != 0) std::abort();
    TBench& bench = Bench();
    apSetProtocolWindow(*P, bench.Window);
    apSetStatusInterval(*P, Secs2Ticks(3600));  // no status rounds between the time-outs
    apSetDestinationDirectory(*P, bench.InDir().c_str());
    apSetReceiveFilename(*P, (bench.InDir() + "/received").c_str());  // XModem names no file
  }
  ~TSide() {
    apDoneProtocol(P);
    Port.SetOpen(false);
  }
  void Start(const TEngine& engine, bool send) {
    if (send)
      apStartProtocol(*P, P->ProtocolType, engine.Transmit, engine.PrepareTransmit);
    else
      apStartProtocol(*P, P->ProtocolType, engine.Receive, engine.PrepareReceive);
  }
  bool Finished() const { return Bench().Results.contains(P); }

  TFuzzLine* Line = nullptr;
  TSioComPort Port;
  TProtocolData* P = nullptr;
};

// The line between our two sides: what one side writes reaches the other in its order, but
// for the faults, which take or hold back whole writes (packets). A fault is three bytes: the
// first says which way (bit 7 clear: from the sender, set: from the receiver), what (bit 6
// clear: lose 1 to 64 writes (bits 0-5 + 1), set: hold back the writes from there on for 1 to
// 64 quarter seconds) and the other two which write, counted from 0 that way, little-endian.
// A line that loses or delays packets never makes a wrong file of a right one; one that cuts
// packets or changes bytes fools any check now and then (a 6-bit Kermit sum once in 64).
// The limits of a protocol: without losses the link only holds back, and it holds back for no
// longer than the longest hold given.
struct TLineLimits {
  // Option bits that choose a streaming variant without acknowledgements, made for a line
  // that loses nothing (a lost tail goes unnoticed): with one of them set nothing is lost.
  std::uint8_t Streaming = 0;
  // Acknowledgements without a block number (XModem, YModem) take one held back beyond the
  // other side's time-out for the answer to a later block: such a line breaks the protocol.
  unsigned LongestHoldMs = 64 * 250;
};

class TLink {
 public:
  TLink(TFuzzLine& sender, TFuzzLine& receiver, std::span<const std::uint8_t> faults, bool losses = true,
        unsigned longestHoldMs = 64 * 250) {
    ways_[0].To = &receiver;
    ways_[1].To = &sender;
    for (std::size_t i = 0; i + 3 <= faults.size() && i < 16 * 3; i += 3)
      if (losses || (faults[i] & 0x40))
        ways_[faults[i] >> 7].Faults.push_back({(faults[i] & 0x40) != 0,
                                                std::min((faults[i] & 0x3Fu) + 1, longestHoldMs / 250),
                                                static_cast<unsigned>(faults[i + 1] | faults[i + 2] << 8)});
    sender.Written = [this](const std::uint8_t* b, std::size_t n) { Write(ways_[0], b, n); };
    receiver.Written = [this](const std::uint8_t* b, std::size_t n) { Write(ways_[1], b, n); };
  }
  ~TLink() {
    for (TWay& way : ways_) way.To->Written = nullptr;
  }
  bool Faultless() const { return ways_[0].Faults.empty() && ways_[1].Faults.empty(); }
  // Hands on the writes whose time has come; true when there were any.
  bool Deliver() {
    const std::uint32_t now = SioTimeGetTime();
    bool any = false;
    for (TWay& way : ways_) {
      while (!way.Queue.empty() && static_cast<std::int32_t>(way.Queue.front().first - now) <= 0) {
        way.To->Arrive(way.Queue.front().second.data(), way.Queue.front().second.size());
        way.Queue.pop_front();
        any = true;
      }
    }
    return any;
  }
  // Milliseconds until the next write held back is due (at most Most).
  std::uint32_t NextDue(std::uint32_t most) const {
    const std::uint32_t now = SioTimeGetTime();
    for (const TWay& way : ways_)
      if (!way.Queue.empty())
        most = std::min(most,
                        static_cast<std::uint32_t>(std::max<std::int32_t>(way.Queue.front().first - now, 0)));
    return most;
  }

 private:
  struct TFault {
    bool Hold;
    unsigned Amount, At;
  };
  struct TWay {
    TFuzzLine* To = nullptr;
    std::vector<TFault> Faults;
    unsigned Writes = 0;                                                    // writes that went this way
    unsigned Lose = 0;                                                      // writes still to lose
    std::optional<std::uint32_t> HoldUntil;                                 // writes wait until then
    std::deque<std::pair<std::uint32_t, std::vector<std::uint8_t>>> Queue;  // due time, bytes
  };
  static void Write(TWay& way, const std::uint8_t* bytes, std::size_t count) {
    const std::uint32_t now = SioTimeGetTime();
    for (const TFault& f : way.Faults) {
      if (f.At != way.Writes) continue;
      if (f.Hold)
        way.HoldUntil = now + f.Amount * 250;
      else
        way.Lose = std::max(way.Lose, f.Amount);
    }
    ++way.Writes;
    if (way.Lose > 0) {
      --way.Lose;
      return;
    }
    // The clock runs round: only a wait that has been set, and is still ahead, counts.
    const std::uint32_t due =
        way.HoldUntil && static_cast<std::int32_t>(*way.HoldUntil - now) > 0 ? *way.HoldUntil : now;
    way.Queue.emplace_back(due, std::vector<std::uint8_t>(bytes, bytes + count));
  }
  TWay ways_[2];
};

// What a run against the bytes came to: whether the transfer started and which way, the
// finish code, the log codes, what our side put on the line and the files it received.
struct TOutcome {
  bool Started = false, Send = false;
  int Result = 0;
  std::vector<unsigned> Logs;
  std::vector<std::uint8_t> Written;
  std::map<std::string, std::string> Files;
  bool operator==(const TOutcome&) const = default;
};

// One run against the bytes, in pieces as byte 0 says or of the size given. A run that has not
// ended an hour (of the line's clock) after the other side fell silent is a fault: the engine
// would wait for ever.
inline TOutcome RunAgainstBytes(const std::uint8_t* data, std::size_t size, const TEngine& engine,
                                std::size_t piece = 0) {
  TBench& bench = Bench();
  TOutcome out;
  out.Send = (data[0] & 1) != 0;
  {
    TSide side(engine, data[1], [&](TFuzzLine& line) {
      line.Play({data + 2, size - 2}, piece ? piece : 1 + (data[0] >> 2));
      line.Written = [&](const std::uint8_t* b, std::size_t n) {
        out.Written.insert(out.Written.end(), b, b + n);
      };
    });
    TFuzzLine& line = *side.Line;
    bench.Reset();
    out.Started = true;
    if (engine.Start) {
      out.Started = false;
      while (!out.Started && !line.Exhausted()) {
        line.Round();
        out.Started = engine.Start(*side.P, line, out.Send);
      }
    }
    if (out.Started) {
      side.Start(engine, out.Send);
      while (!bench.Finished && !line.Exhausted()) {
        line.Round();
        ProcessMessages();
      }
      for (std::uint32_t silent = 0; !bench.Finished;) {
        if (silent > 3600 * 1000) __builtin_trap();
        silent += line.Idle();
        ProcessMessages();
      }
      out.Result = bench.Results[side.P];
      out.Logs = bench.Logs[side.P];
    }
    line.Written = nullptr;
  }
  ProcessMessages();
  for (const auto& entry : std::filesystem::recursive_directory_iterator(bench.In.path()))
    if (entry.is_regular_file()) out.Files[entry.path().string()] = support::ReadFile(entry.path());
  bench.In.Clear();
  return out;
}

// Runs our sender against our receiver until both have finished. Both must end within a day
// of the line's clock.
inline void RunBoth(TSide& sender, TSide& receiver, TLink& link, const TEngine& engine) {
  sender.Start(engine, true);
  receiver.Start(engine, false);
  for (std::uint32_t passed = 0; !sender.Finished() || !receiver.Finished();) {
    bool busy = link.Deliver();
    for (TSide* s : {&sender, &receiver}) {
      busy = busy || !s->Line->Exhausted();
      s->Line->Round();
    }
    ProcessMessages();
    if (busy) continue;
    // Nothing on its way: the time passes to the next time-out or the next write held back.
    const std::uint32_t wait =
        std::max<std::uint32_t>(link.NextDue(static_cast<std::uint32_t>(std::min(
                                    sender.Line->NextTimerWait(60000), receiver.Line->NextTimerWait(60000)))),
                                1);
    passed += wait;
    if (passed > 24 * 3600 * 1000u) __builtin_trap();
    sender.Line->Pass(wait);
    receiver.Line->Round();
    ProcessMessages();
  }
}

inline void RunAgainstOurOwn(const std::uint8_t* data, std::size_t size, const TEngine& engine,
                             const TLineLimits& limits) {
  TBench& bench = Bench();
  TSide sender(engine, data[1]), receiver(engine, data[1]);
  TLink link(*sender.Line, *receiver.Line, {data + 2, size - 2}, (data[1] & limits.Streaming) == 0,
             limits.LongestHoldMs);
  for (TSide* s : {&sender, &receiver}) s->Line->Play({}, 1 + (data[0] >> 2));
  bench.Reset();
  RunBoth(sender, receiver, link, engine);

  // A file taken is the file sent; a line without faults takes it.
  const int result = bench.Results[receiver.P];
  const std::vector<unsigned>& logs = bench.Logs[receiver.P];
  const bool taken = std::find(logs.begin(), logs.end(), lfReceiveOk) != logs.end();
  if (link.Faultless() && (result != 0 || bench.Results[sender.P] != 0 || !taken)) __builtin_trap();
  if (taken) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(bench.In.path()))
      files.push_back(entry.path());
    if (files.size() != 1) __builtin_trap();
    const std::string sent = support::ReadFile(bench.SendFile()), got = support::ReadFile(files[0]);
    // XModem fills its last block with ^Z.
    const bool padding = receiver.P->ProtocolType <= ptXmodem1KG && got.size() > sent.size() &&
                         got.size() - sent.size() < 1024 &&
                         got.find_first_not_of('\x1A', sent.size()) == std::string::npos;
    if (got.compare(0, sent.size(), sent) != 0 || (got.size() != sent.size() && !padding)) __builtin_trap();
  }
}

// One run as the input says; against our own other side within the protocol's limits.
inline int RunTransfer(const std::uint8_t* data, std::size_t size, const TEngine& engine,
                       const TLineLimits& limits = {}) {
  if (size < 2) return 0;
  if ((data[0] & 2) && !engine.Start) {
    RunAgainstOurOwn(data, size, engine, limits);
    ProcessMessages();
    Bench().In.Clear();
  } else {
    RunAgainstBytes(data, size, engine);
  }
  return 0;
}

}  // namespace fuzz
