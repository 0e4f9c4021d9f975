#pragma once
// The device layer of the dispatcher over a serial device (platform/SerialDevice.h), and
// the three worker threads of an open port:
// - the communications thread waits for the device (input, hang-up) and wakes the
//   dispatch thread, then waits until that one has handled the event;
// - the dispatch thread moves received bytes into the dispatch buffer and tests the
//   triggers, after every event and at least every 50 ms;
// - the output thread writes the output ring to the device and, once the ring is empty,
//   waits until the bytes have left the line ("output sent", RS485 direction switch).
//
// The device descriptor is closed only after all three threads have stopped using it.
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "platform/SerialDevice.h"
#include "serial/SioDispatch.h"

class TSioWin32Dispatcher;

// Base of the three worker threads.
class TSioDispatcherThread {
 public:
  explicit TSioDispatcherThread(TSioWin32Dispatcher* dispatcher) : dispatcher_(dispatcher) {}
  virtual ~TSioDispatcherThread();
  TSioDispatcherThread(const TSioDispatcherThread&) = delete;
  TSioDispatcherThread& operator=(const TSioDispatcherThread&) = delete;

  void Start();
  // Joins the thread unless it is the calling one.
  void Join();
  std::thread::id Id() const { return id_.load(); }
  // Kernel id of the running thread (0 before it runs).
  int Tid() const { return tid_.load(); }

  // Runs method(msg, wParam, lParam) on the window thread and waits for it.
  static void SyncNotify(UINT msg, WPARAM wParam, TSioNotifyEvent method, LPARAM lParam);
  // Runs fn on the window thread and waits for it.
  static void Sync(const std::function<void()>& fn);

 protected:
  virtual void Execute() = 0;
  TSioWin32Dispatcher* dispatcher_;

 private:
  void Run();
  std::thread thread_;
  std::atomic<std::thread::id> id_{};
  std::atomic<int> tid_{0};
};

class TComThread : public TSioDispatcherThread {
 public:
  using TSioDispatcherThread::TSioDispatcherThread;

 protected:
  void Execute() override;
};

class TDispThread : public TSioDispatcherThread {
 public:
  using TSioDispatcherThread::TSioDispatcherThread;

 protected:
  void Execute() override;
};

class TOutThread : public TSioDispatcherThread {
 public:
  using TSioDispatcherThread::TSioDispatcherThread;

 protected:
  void Execute() override;

 private:
  void WriteRing();
};

// A class derived from it whose overrides the worker threads call (ReadModemLines) closes
// the port in its own destructor, before its part of the object is gone.
class TSioWin32Dispatcher : public TSioBaseDispatcher {
 public:
  explicit TSioWin32Dispatcher(void* owner);
  ~TSioWin32Dispatcher() override;

  int EscapeComFunction(int function) override;
  int FlushCom(int queue) override;
  std::uint32_t GetComError(TComStat& stat) override;
  int GetComEventMask(std::uint32_t mask) override;
  int GetComState(TLineState& state) override;
  int ReadCom(std::uint8_t* buffer, int count) override;
  int ReadComPieces(std::uint8_t* first, int firstCount, std::uint8_t* second, int secondCount) override;
  std::uint32_t PollComErrors() override;
  bool DeviceGone() override { return device_.HungUp(); }
  int SetComState(const TLineState& state) override;
  int WriteCom(const std::uint8_t* buffer, int count) override;
  bool WaitComEvent(std::uint32_t& mask) override;
  bool SetupCom(int inSize, int outSize) override;
  int StartDispatcher() override;
  void StopDispatcher() override;
  int OpenCom(const char* name, int inSize, int outSize) override;
  int CloseCom() override;
  int ProcessCommunications() override;
  std::uint8_t ReadModemLevels() override;
  void SetThreadBoost(std::uint8_t boost) override;

  TSerialDevice& Device() { return device_; }

 protected:
  // Closes the port, waits for the worker threads and joins them (the destructor's work;
  // derived classes call it in theirs).
  void Shutdown();
  // Reads the modem lines of the device (kSerial* bits); tests replace it to simulate a
  // device with modem lines. False when the device has none.
  virtual bool ReadModemLines(unsigned& lines);
  void DispatchRoomMade() override;

  TSerialDevice device_;

 private:
  friend class TSioDispatcherThread;
  friend class TComThread;
  friend class TDispThread;
  friend class TOutThread;

  void ThreadStarted();
  void ApplyPriority(TSioDispatcherThread* t);
  void AckOutputStop();
  void CloseDevicePrim();
  std::uint32_t PollLineEvents();

  // Events of the worker threads.
  TSioSignal commEvent_;       // communications thread -> dispatch thread
  TSioSignal eventsHandled_;   // dispatch thread -> communications thread
  TSioSignalPair outSignals_;  // 0 output ready, 1 output stop
  std::atomic<bool> outStopRequest_{false};
  std::uint64_t outStopAcks_ = 0;      // threadLock_
  std::uint64_t outStopReleases_ = 0;  // threadLock_: counts the ends of stop requests
  bool started1_ = false;              // threadLock_: acknowledgement of the thread being started

  std::mutex joinLock_;  // one joiner at a time
  std::unique_ptr<TComThread> com_;
  std::unique_ptr<TDispThread> disp_;
  std::unique_ptr<TOutThread> out_;

  std::atomic<bool> closePending_{false};  // close the device once the threads are gone
  std::atomic<std::uint32_t> pendingEvents_{0};
  std::atomic<bool> draining_{false};
  std::atomic<bool> rtsToggle_{false};  // RTS follows transmissions
  std::atomic<bool> rs485ByDriver_{false};
  std::atomic<bool> dsrFlow_{false};
  std::atomic<bool> ctsFlow_{false};
  std::atomic<bool> hangupReported_{false};
  std::atomic<unsigned> polledLines_{0};
  TSerialErrorCounts lastCounts_{};  // trigger lock
  TLineState shadow_{};              // trigger lock: what was last written
  bool shadowValid_ = false;
};

// The same layer over a descriptor handed over by the telephony device instead of a
// device opened by name. A negative descriptor means none: the open fails with -2007
// (descriptor 0 is a descriptor like any other). The port owns the descriptor from the
// open on and closes it with the port, so the telephony device hands over one of its own
// (a duplicate).
class TSioTAPI32Dispatcher : public TSioWin32Dispatcher {
 public:
  TSioTAPI32Dispatcher(void* owner, int deviceHandle);
  ~TSioTAPI32Dispatcher() override { Shutdown(); }
  int OpenCom(const char* name, int inSize, int outSize) override;

 private:
  int handedOver_;
};

// The socket device layer: the same threads over a connected stream socket (platform/
// Winsock.h) instead of a serial device; the dispatcher's InitSocket opens it. The port owns
// the socket from the open on (its notices to a window stop) and closes it with the port.
// A socket has no line settings: those the port applies are kept and read back, and change
// nothing. The peer's close shows as a line break (a hang-up).
class TSioWinsockDispatcher : public TSioWin32Dispatcher {
 public:
  // socket: the connected socket; a negative one means none: the open fails with -2007.
  TSioWinsockDispatcher(void* owner, int socket);
  ~TSioWinsockDispatcher() override { Shutdown(); }
  int OpenCom(const char* name, int inSize, int outSize) override;
  int GetComState(TLineState& state) override;
  int SetComState(const TLineState& state) override;

 private:
  int socket_;
  std::mutex lineLock_;
  TLineState line_{};
};
