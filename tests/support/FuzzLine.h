#pragma once
// The serial line of the fuzz targets: a dispatcher whose device plays the fuzzer's bytes, a
// piece at a time, and swallows whatever is written to it. It has no worker threads: the
// target runs the dispatch rounds on its own thread, and so does every pause of the library
// (DelayMS, which in a fuzz target moves the library's clock on instead of sleeping:
// FuzzClock.cpp) outside a notification, as the dispatch thread would go on meanwhile. Once
// the bytes have run out the target moves the clock on, so that the time-outs of the machine
// under test come at once and every run ends.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "serial/SioDispatch.h"
#include "serial/SioMisc.h"

class TFuzzLine : public TSioBaseDispatcher {
 public:
  explicit TFuzzLine(void* owner = nullptr) : TSioBaseDispatcher(owner) {
    dev_.BaudRate = 19200;
    dev_.ByteSize = 8;
    dev_.Flags = lfBinary;
    Pausing() = this;
  }
  ~TFuzzLine() override {
    DonePort();
    if (Pausing() == this) Pausing() = nullptr;
  }
  // The line that the library's pauses let go on (the last one made).
  static TFuzzLine*& Pausing() {
    static TFuzzLine* line = nullptr;
    return line;
  }

  // The bytes the far end sends, at most `piece` of them in one round.
  void Play(std::span<const std::uint8_t> bytes, std::size_t piece) {
    input_.assign(bytes.begin(), bytes.end());
    pos_ = 0;
    piece_ = std::max<std::size_t>(piece, 1);
  }
  bool Exhausted() const { return pos_ >= input_.size(); }
  // Everything that has come to this end.
  const std::vector<std::uint8_t>& Received() const { return input_; }
  // When set, sees everything written here, when it is written (a link to another line).
  std::function<void(const std::uint8_t* bytes, std::size_t count)> Written;
  // Bytes that come to this end behind those it has.
  void Arrive(const std::uint8_t* bytes, std::size_t count) {
    input_.insert(input_.end(), bytes, bytes + count);
  }

  // Opens the line on its own (a port component opens it through its device layer hook).
  int Open(std::uint32_t baud = 19200) { return InitPort("FUZZ", baud, 0, 8, 1, 8192, 8192, true, true); }
  // One round of the dispatch thread: the next piece arrives and the triggers fire.
  void Round() {
    HandleEvents(evRxChar);
    CheckIdleTriggers();
  }
  // Lets ms pass on the library's clock and fires the timers that became due.
  void Pass(std::uint32_t ms) {
    SioSetClockOffset(SioClockOffset() + ms);
    Round();
  }
  // Lets the time pass up to the next armed timer (a minute at most); the milliseconds passed.
  std::uint32_t Idle() {
    const auto ms = static_cast<std::uint32_t>(std::clamp(NextTimerWait(60000), 1, 60000));
    Pass(ms);
    return ms;
  }
  // A pause of ms: the dispatch thread goes on unless it is the one that pauses (in a
  // notification). Once nothing more comes, a pause lasts a tenth of a second at least: only
  // time-outs can happen then, and they come sooner.
  void Pause(std::uint32_t ms) {
    if (Exhausted()) ms = std::max<std::uint32_t>(ms, 100);
    SioSetClockOffset(SioClockOffset() + ms);
    if (!inNotification_) Round();
  }

  int EscapeComFunction(int) override { return 0; }
  int FlushCom(int) override { return 0; }
  std::uint32_t GetComError(TComStat& stat) override {
    stat = {};
    stat.InQue = static_cast<std::uint32_t>(input_.size() - pos_);
    return 0;
  }
  int GetComEventMask(std::uint32_t) override { return 0; }
  int GetComState(TLineState& state) override {
    state = dev_;
    return 0;
  }
  int SetComState(const TLineState& state) override {
    dev_ = state;
    return 0;
  }
  int ReadCom(std::uint8_t* buffer, int count) override {
    const std::size_t n = std::min({static_cast<std::size_t>(std::max(count, 0)), piece_, input_.size() - pos_});
    std::copy_n(input_.data() + pos_, n, buffer);
    pos_ += n;
    return static_cast<int>(n);
  }
  int WriteCom(const std::uint8_t* buffer, int count) override {
    if (Written) Written(buffer, static_cast<std::size_t>(count));
    outputSent_ = true;
    return count;
  }
  bool WaitComEvent(std::uint32_t&) override { return false; }
  bool SetupCom(int, int) override { return true; }
  int StartDispatcher() override { return 0; }
  void StopDispatcher() override {}
  int OpenCom(const char*, int, int) override { return 1000; }
  int CloseCom() override {
    deviceHandle_ = -1;
    return 0;
  }
  // A blocking wait of the machine under test lets the line go on.
  int ProcessCommunications() override {
    Pass(Exhausted() ? MSecsPerTick : 0);
    return 0;
  }
  // Carrier, CTS and DSR are up.
  std::uint8_t ReadModemLevels() override { return msCTS | msDSR | msDCD; }

 private:
  TLineState dev_{};
  std::vector<std::uint8_t> input_;
  std::size_t pos_ = 0;
  std::size_t piece_ = 1;
};
