#pragma once
// A dispatcher over an in-memory device, without worker threads: the tests play the
// device (input bytes, error bits, modem lines) and run the dispatch rounds themselves.
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "serial/SioDispatch.h"

class TFakeDispatcher : public TSioBaseDispatcher {
 public:
  TFakeDispatcher() : TSioBaseDispatcher(nullptr) {
    dev.BaudRate = 9600;
    dev.ByteSize = 8;
    dev.Flags = lfBinary;
  }
  ~TFakeDispatcher() override { DonePort(); }

  // The device.
  TLineState dev{};
  int setStateCalls = 0;
  std::deque<std::uint8_t> input;
  std::vector<std::uint8_t> sent;
  std::uint32_t errorBits = 0;
  std::uint8_t levels = 0;
  std::vector<int> escapes;
  int inputPurges = 0;
  bool fakeStarted = false;

  void Feed(const std::string& s) { input.insert(input.end(), s.begin(), s.end()); }
  // One dispatch round after the device reported received bytes.
  void Round(std::uint32_t mask = evRxChar) { HandleEvents(mask); }
  // What the output thread would do: take everything out of the output ring.
  void DrainOutput() {
    std::lock_guard<TSioLock> g(OutputLock());
    while (outFull_ || outHead_ != outTail_) {
      sent.push_back(outBuff_[outTail_]);
      outTail_ = (outTail_ + 1) % outSize_;
      outFull_ = false;
    }
    outHead_ = outTail_ = 0;
    outputSent_ = true;
  }
  void SetLastBaudRaw(std::uint32_t v) { lastBaud_ = v; }

  int EscapeComFunction(int f) override {
    escapes.push_back(f);
    return 0;
  }
  int FlushCom(int queue) override {
    if (queue == 1) {
      input.clear();
      ++inputPurges;
    } else {
      std::lock_guard<TSioLock> g(OutputLock());
      outHead_ = outTail_ = 0;
      outFull_ = false;
    }
    return 0;
  }
  std::uint32_t GetComError(TComStat& st) override {
    st = {};
    st.InQue = static_cast<std::uint32_t>(input.size());
    std::uint32_t e = errorBits;
    errorBits = 0;
    return e;
  }
  int GetComEventMask(std::uint32_t) override { return 0; }
  int GetComState(TLineState& st) override {
    st = dev;
    return 0;
  }
  int ReadCom(std::uint8_t* buffer, int count) override {
    int n = 0;
    while (n < count && !input.empty()) {
      buffer[n++] = input.front();
      input.pop_front();
    }
    return n;
  }
  int SetComState(const TLineState& st) override {
    dev = st;
    ++setStateCalls;
    return 0;
  }
  int WriteCom(const std::uint8_t* buffer, int count) override {
    std::lock_guard<TSioLock> g(OutputLock());
    for (int i = 0; i < count; ++i) {
      outBuff_[outHead_] = buffer[i];
      outHead_ = (outHead_ + 1) % outSize_;
    }
    if (outHead_ == outTail_) outFull_ = true;
    return count;
  }
  bool WaitComEvent(std::uint32_t&) override { return false; }
  bool SetupCom(int, int) override { return true; }
  int StartDispatcher() override {
    fakeStarted = true;
    return 0;
  }
  void StopDispatcher() override { fakeStarted = false; }
  int OpenCom(const char*, int, int) override { return 3; }
  int CloseCom() override {
    deviceHandle_ = -1;
    return 0;
  }
  int ProcessCommunications() override { return 0; }
  std::uint8_t ReadModemLevels() override { return levels; }

  int Open(std::uint32_t baud = 9600, std::uint32_t outSize = 64) {
    return InitPort("COM1", baud, 0, 8, 1, 4096, outSize, true, true);
  }
};

// Records every notification of a method handler.
struct TNotifyLog {
  struct Entry {
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
  };
  std::vector<Entry> entries;
  void On(UINT msg, WPARAM w, LPARAM l) { entries.push_back({msg, w, l}); }
  TSioNotifyEvent Handler() { return TSioNotifyEvent::Of<&TNotifyLog::On>(this); }
  int Count(UINT msg) const {
    int n = 0;
    for (auto& e : entries)
      if (e.msg == msg) ++n;
    return n;
  }
};
