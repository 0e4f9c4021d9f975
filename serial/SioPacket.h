#pragma once
// Data packets: TSioDataPacket watches the bytes received on a serial port component and
// fires its events when a packet is complete. A packet begins with a start string (or with
// any data) and ends with an end string or after a byte count, with an optional time-out.
//
// All packets of one port share one TSioDataPacketManager, which owns the receive buffer,
// reads every arriving byte from the dispatcher and offers it to the packets in turn. One
// packet at a time collects (it holds the capture); the others wait.
//
// The manager's trigger handler is registered synchronised: it runs on the window thread,
// so packet state, the buffer and the events all live on that thread.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/SioDispatch.h"
#include "serial/SioMisc.h"
#include "serial/SioPort.h"
#include "serial/Sioexcept.h"

enum TPacketStartCond { scString, scAnyData };
enum TPacketEndCond { ecString, ecPacketSize };
// A set of TPacketEndCond: bit (1 << condition).
using TPacketEndSet = std::uint8_t;
constexpr TPacketEndSet PacketEndBit(TPacketEndCond c) { return static_cast<TPacketEndSet>(1u << c); }
enum TPacketMode { dpIdle, dpWaitStart, dpCollecting };
enum TSioOperation { opInsert, opRemove };

// Dispatch-log sub-kinds of the packets (type dtPacket).
constexpr TDispatchSubType dstEnable = 117;
constexpr TDispatchSubType dstStartStr = 118;
constexpr TDispatchSubType dstEndStr = 119;
constexpr TDispatchSubType dstDisable = 120;
constexpr TDispatchSubType dstIdle = 121;
constexpr TDispatchSubType dstWaiting = 122;
constexpr TDispatchSubType dstCollecting = 123;
constexpr TDispatchSubType dstStringPacket = 124;
constexpr TDispatchSubType dstSizePacket = 125;
constexpr TDispatchSubType dstPacketTimeout = 126;

// Default time-out: 120 seconds in ticks.
constexpr std::int32_t DefaultPacketTimeout = 2184;

class TSioDataPacket;
class TSioDataPacketManager;

using TPacketNotifyEvent = std::function<void(TSioDataPacket* Sender)>;
using TPacketEvent = std::function<void(TSioDataPacket* Sender, const void* Data, int Size)>;
using TStringPacketEvent = std::function<void(TSioDataPacket* Sender, const std::string& Data)>;

class TSioDataPacket : public TSioBaseComponent, public TSioComponentOwner {
 public:
  explicit TSioDataPacket(TSioComponentOwner* owner = nullptr);
  ~TSioDataPacket() override;

  // Ends reading from the stored form: enables when asked while loading.
  void Loaded();
  // Told by the owner when a component is added to it or removed from it.
  void Notification(TSioComponentOwner* component, TSioOperation operation);

  const std::string& GetName() const { return FName; }
  void SetName(std::string_view name) { FName = name; }

  bool GetEnabled() const;
  void SetEnabled(bool enabled);
  bool GetAutoEnable() const { return FAutoEnable; }
  void SetAutoEnable(bool v) { FAutoEnable = v; }
  TPacketStartCond GetStartCond() const { return FStartCond; }
  void SetStartCond(TPacketStartCond c);
  TPacketEndSet GetEndCond() const { return FEndCond; }
  void SetEndCond(TPacketEndSet c);
  const std::string& GetStartString() const { return FStartString; }
  void SetStartString(std::string_view s);
  const std::string& GetEndString() const { return FEndString; }
  void SetEndString(std::string_view s);
  bool GetIgnoreCase() const { return FIgnoreCase; }
  void SetIgnoreCase(bool v);
  TSioCustomComPort* GetComPort() const { return FComPort; }
  void SetComPort(TSioCustomComPort* port);
  int GetPacketSize() const { return FPacketSize; }
  void SetPacketSize(int size);
  bool GetIncludeStrings() const { return FIncludeStrings; }
  void SetIncludeStrings(bool v) { FIncludeStrings = v; }
  std::int32_t GetTimeOut() const { return FTimeOut; }
  void SetTimeOut(std::int32_t ticks) { FTimeOut = ticks; }

  void SetOnPacket(TPacketEvent e) { FOnPacket = std::move(e); }
  void SetOnStringPacket(TStringPacketEvent e) { FOnStringPacket = std::move(e); }
  void SetOnTimeout(TPacketNotifyEvent e) { FOnTimeout = std::move(e); }

  void Enable();
  void Disable();

  // The packet being delivered (valid inside the events).
  std::string GetCollectedString() const;
  void GetCollectedData(const void*& data, int& size) const;

  TPacketMode Mode() const { return FMode; }
  TSioDataPacketManager* Manager() const { return FManager; }

 private:
  friend class TSioDataPacketManager;

  bool Designing() const { return (ComponentState & csDesigning) != 0; }
  bool Loading() const { return (ComponentState & csLoading) != 0; }
  void ResetMatch();
  void SetMode(TPacketMode mode);
  void Log(TDispatchSubType sub, const void* bytes = nullptr, std::uint32_t count = 0);
  // Runs the packet over the manager's buffer from pos; true when it delivered a packet
  // or took the capture (the rest of the offer is then handled).
  bool Process(std::size_t pos);
  bool ProcessCollecting(std::size_t pos);
  bool Matches(std::uint8_t b, const std::string& pattern, const std::string& mask, std::size_t i) const;
  void Deliver(std::size_t end, bool sizePacket);
  void TimedOut();
  void FireEvent(const std::function<void()>& fn);

  std::string FName;
  bool FAutoEnable = true;
  TPacketStartCond FStartCond = scString;
  TPacketEndSet FEndCond = 0;
  std::string FStartString;
  std::string FEndString;
  bool FIgnoreCase = true;
  TSioCustomComPort* FComPort = nullptr;
  int FPacketSize = 0;
  bool FIncludeStrings = true;
  std::int32_t FTimeOut = DefaultPacketTimeout;
  TPacketEvent FOnPacket;
  TStringPacketEvent FOnStringPacket;
  TPacketNotifyEvent FOnTimeout;

  TPacketMode FMode = dpIdle;
  bool FEnabled = false;  // Enable has run and no Disable since
  std::string FStartPattern, FStartMask, FEndPattern, FEndMask;
  std::ptrdiff_t FMatchStart = -1;
  std::size_t FStartPos = 1;
  std::size_t FEndSearch = 0;  // first buffer position where an end string may still begin
  int FSizeTarget = 0;
  const std::uint8_t* FDataPtr = nullptr;
  int FDataSize = 0;
  bool FEnableWhenLoaded = false;
  bool FEnablePending = false;  // asked to enable while the manager delivered an event
  bool FWaitCapture = false;
  TSioDataPacketManager* FManager = nullptr;
};

class TSioDataPacketManager {
 public:
  explicit TSioDataPacketManager(TSioCustomComPort* port);
  ~TSioDataPacketManager();
  TSioDataPacketManager(const TSioDataPacketManager&) = delete;
  TSioDataPacketManager& operator=(const TSioDataPacketManager&) = delete;

  TSioCustomComPort* Port() const { return FPort; }
  void Insert(TSioDataPacket* packet);
  void Remove(TSioDataPacket* packet);
  int PacketCount() const { return static_cast<int>(FPackets.size()); }
  bool Enabled() const { return FEnabled; }
  TSioDataPacket* Capture() const { return FCapture; }
  std::size_t BufferFill() const { return FBuffer.size(); }
  // The port was destroyed: forget it without touching it again.
  void PortGone();

 private:
  friend class TSioDataPacket;

  void PortOpenClose(TSioCustomComPort* cp, bool opening);
  void EnableManager();
  void DisableManager();
  void TriggerHandler(UINT msg, WPARAM wParam, LPARAM lParam);
  void OfferFrom(std::size_t pos);
  void TakeCapture(TSioDataPacket* packet);
  void ReleaseCapture(TSioDataPacket* packet);
  void EnterEvent();
  void LeaveEvent();
  void RemoveData(std::size_t end);
  TSioBaseDispatcher* LiveDispatcher() const;

  TSioCustomComPort* FPort;
  TSioBaseDispatcher* FDispatcher = nullptr;  // the one our handler and timer are on
  std::vector<TSioDataPacket*> FPackets;
  std::vector<std::uint8_t> FBuffer;
  bool FEnabled = false;
  std::uint16_t FTimerTrigger = 0;
  TSioDataPacket* FCapture = nullptr;
  int FInEvent = 0;
  bool FNotifyPending = false;
  std::size_t FNotifyStart = 0;
  bool FFreeWhenIdle = false;
};

// The process-wide list of managers.
TSioDataPacketManager* GetPortManager(TSioCustomComPort* port);
