// Data packets and their manager.
#include "serial/SioPacket.h"

#include <algorithm>
#include <exception>

namespace {

constexpr std::size_t kBufferStep = 8192;

std::vector<TSioDataPacketManager*>& Managers() {
  static std::vector<TSioDataPacketManager*> list;
  return list;
}

std::uint8_t Upper(std::uint8_t c) { return (c >= 'a' && c <= 'z') ? static_cast<std::uint8_t>(c - 32) : c; }

// "\" makes the next character literal, an unescaped "?" matches any byte.
void CompilePattern(const std::string& source, bool ignoreCase, std::string& pattern, std::string& mask) {
  pattern.clear();
  mask.clear();
  for (std::size_t i = 0; i < source.size(); ++i) {
    std::uint8_t c = static_cast<std::uint8_t>(source[i]);
    bool wild = false;
    if (c == '\\' && i + 1 < source.size()) {
      c = static_cast<std::uint8_t>(source[++i]);
    } else if (c == '?') {
      wild = true;
    }
    pattern.push_back(static_cast<char>(ignoreCase ? Upper(c) : c));
    mask.push_back(wild ? '1' : '0');
  }
}

}  // namespace

TSioDataPacketManager* GetPortManager(TSioCustomComPort* port) {
  for (auto* m : Managers())
    if (m->Port() == port) return m;
  return nullptr;
}

// ---------------------------------------------------------------------------------------
// Manager
// ---------------------------------------------------------------------------------------

TSioDataPacketManager::TSioDataPacketManager(TSioCustomComPort* port) : FPort(port) {
  Managers().push_back(this);
  FPort->RegisterUserCallback(TPortCallback::Of<&TSioDataPacketManager::PortOpenClose>(this));
  if (FPort->GetPortState() == psOpen && (FPort->ComponentState & (csLoading | csDesigning)) == 0)
    EnableManager();
}

TSioDataPacketManager::~TSioDataPacketManager() {
  if (FPort != nullptr) {
    DisableManager();
    FPort->DeregisterUserCallback(TPortCallback::Of<&TSioDataPacketManager::PortOpenClose>(this));
  }
  std::erase(Managers(), this);
}

void TSioDataPacketManager::PortGone() {
  for (auto* p : FPackets) {
    p->FMode = dpIdle;
    p->FWaitCapture = false;
    p->FComPort = nullptr;
  }
  FCapture = nullptr;
  FEnabled = false;
  FDispatcher = nullptr;
  FTimerTrigger = 0;
  FBuffer.clear();
  FPort = nullptr;
}

TSioBaseDispatcher* TSioDataPacketManager::LiveDispatcher() const {
  if (FPort == nullptr || FPort->GetPortState() == psClosed) return nullptr;
  return FDispatcher;
}

void TSioDataPacketManager::Insert(TSioDataPacket* packet) {
  if (std::find(FPackets.begin(), FPackets.end(), packet) == FPackets.end()) FPackets.push_back(packet);
}

void TSioDataPacketManager::Remove(TSioDataPacket* packet) {
  if (FCapture == packet) ReleaseCapture(packet);
  std::erase(FPackets, packet);
}

void TSioDataPacketManager::PortOpenClose(TSioCustomComPort*, bool opening) {
  if (opening) {
    // Nothing raised here may stop the port from opening.
    try {
      EnableManager();
    } catch (const std::exception& e) {
      SioHandleException(e);
      return;
    }
    for (auto* p : std::vector<TSioDataPacket*>(FPackets)) {
      if (!p->FEnabled) continue;
      try {
        p->Enable();
      } catch (const std::exception& e) {
        p->FEnabled = false;
        SioHandleException(e);
      }
    }
  } else {
    // What was received is gone with the port; nothing is offered while the packets stop.
    FBuffer.clear();
    ++FInEvent;
    for (auto* p : std::vector<TSioDataPacket*>(FPackets)) {
      bool was = p->FEnabled;
      p->Disable();
      // Packets enabled before the close watch again once the port reopens.
      p->FEnabled = was;
    }
    --FInEvent;
    FNotifyPending = false;
    DisableManager();
  }
}

void TSioDataPacketManager::EnableManager() {
  if (FEnabled || FPort == nullptr) return;
  TSioBaseDispatcher* d = FPort->Dispatcher();
  if (d == nullptr) return;
  CheckException(
      static_cast<const TSioBaseComponent*>(FPort),
      d->RegisterSyncEventTriggerHandler(TSioNotifyEvent::Of<&TSioDataPacketManager::TriggerHandler>(this)));
  int h = d->AddTimerTrigger();
  if (h < 0) {
    d->DeregisterEventTriggerHandler(TSioNotifyEvent::Of<&TSioDataPacketManager::TriggerHandler>(this));
    CheckException(static_cast<const TSioBaseComponent*>(FPort), h);
    return;
  }
  FDispatcher = d;
  FTimerTrigger = static_cast<std::uint16_t>(h);
  FEnabled = true;
}

void TSioDataPacketManager::DisableManager() {
  if (!FEnabled) return;
  FEnabled = false;
  if (TSioBaseDispatcher* d = LiveDispatcher()) {
    d->DeregisterEventTriggerHandler(TSioNotifyEvent::Of<&TSioDataPacketManager::TriggerHandler>(this));
    d->RemoveTrigger(FTimerTrigger);
  }
  FDispatcher = nullptr;
  FTimerTrigger = 0;
  FCapture = nullptr;
  FBuffer.clear();
}

void TSioDataPacketManager::TriggerHandler(UINT msg, WPARAM wParam, LPARAM) {
  if (!FEnabled || FDispatcher == nullptr) return;
  if (msg == SW_TRIGGERAVAIL) {
    std::size_t count = static_cast<std::size_t>(wParam);
    if (count == 0) return;
    std::size_t oldFill = FBuffer.size();
    if (oldFill + count >= FBuffer.capacity())
      FBuffer.reserve((oldFill + count) / kBufferStep * kBufferStep + kBufferStep);
    FBuffer.resize(oldFill + count);
    int got = FDispatcher->GetBlock(FBuffer.data() + oldFill, static_cast<std::uint32_t>(count));
    FBuffer.resize(oldFill + static_cast<std::size_t>(std::max(got, 0)));
    if (got > 0) OfferFrom(oldFill);
  } else if (msg == SW_TRIGGERTIMER) {
    if (static_cast<std::uint16_t>(wParam) == FTimerTrigger && FCapture != nullptr) FCapture->TimedOut();
  }
}

void TSioDataPacketManager::OfferFrom(std::size_t pos) {
  if (FInEvent > 0) {
    FNotifyStart = FNotifyPending ? std::min(FNotifyStart, pos) : pos;
    FNotifyPending = true;
    return;
  }
  if (FCapture != nullptr) {
    FCapture->Process(pos);
  } else {
    for (auto* p : std::vector<TSioDataPacket*>(FPackets)) {
      if (std::find(FPackets.begin(), FPackets.end(), p) == FPackets.end()) continue;
      if (p->FMode == dpIdle) continue;
      if (p->Process(pos) || FBuffer.empty()) break;
    }
  }
  if (FCapture == nullptr && FInEvent == 0) {
    bool partial = std::any_of(FPackets.begin(), FPackets.end(), [](const TSioDataPacket* p) {
      return p->FMode == dpWaitStart && p->FMatchStart >= 0;
    });
    if (!partial) FBuffer.clear();
  }
}

void TSioDataPacketManager::TakeCapture(TSioDataPacket* packet) {
  FCapture = packet;
  if (TSioBaseDispatcher* d = LiveDispatcher(); d != nullptr && packet->FTimeOut != 0)
    d->SetTimerTrigger(FTimerTrigger, packet->FTimeOut, true);
  // Partial start matches of the others are void now.
  for (auto* p : FPackets)
    if (p != packet && p->FMode == dpWaitStart) p->ResetMatch();
}

void TSioDataPacketManager::ReleaseCapture(TSioDataPacket* packet) {
  if (FCapture != packet) return;
  FCapture = nullptr;
  if (TSioBaseDispatcher* d = LiveDispatcher()) d->SetTimerTrigger(FTimerTrigger, 0, false);
  // A packet that waited for the capture collects now.
  for (auto* p : FPackets) {
    if (p->FWaitCapture && p->FMode == dpIdle) {
      p->FWaitCapture = false;
      p->SetMode(dpCollecting);
      break;
    }
  }
  OfferFrom(0);
}

void TSioDataPacketManager::EnterEvent() { ++FInEvent; }

void TSioDataPacketManager::LeaveEvent() {
  if (--FInEvent > 0) return;
  for (auto* p : std::vector<TSioDataPacket*>(FPackets)) {
    if (std::find(FPackets.begin(), FPackets.end(), p) == FPackets.end()) continue;
    if (p->FEnablePending) {
      p->FEnablePending = false;
      try {
        p->Enable();
      } catch (const std::exception& e) {
        SioHandleException(e);
      }
    }
  }
  if (FNotifyPending) {
    FNotifyPending = false;
    OfferFrom(std::min(FNotifyStart, FBuffer.size()));
  }
  if (FFreeWhenIdle && FInEvent == 0 && FPackets.empty()) delete this;
}

void TSioDataPacketManager::RemoveData(std::size_t end) {
  end = std::min(end, FBuffer.size());
  FBuffer.erase(FBuffer.begin(), FBuffer.begin() + static_cast<std::ptrdiff_t>(end));
  // Every other packet starts its match over on the shifted data.
  for (auto* p : FPackets)
    if (p->FMode == dpWaitStart) p->ResetMatch();
  FNotifyStart = 0;
  FNotifyPending = true;
}

// ---------------------------------------------------------------------------------------
// Packet
// ---------------------------------------------------------------------------------------

TSioDataPacket::TSioDataPacket(TSioComponentOwner* owner) : TSioComponentOwner(owner) {}

TSioDataPacket::~TSioDataPacket() { SetComPort(nullptr); }

void TSioDataPacket::Loaded() {
  ComponentState &= ~csLoading;
  if (FEnableWhenLoaded) {
    FEnableWhenLoaded = false;
    Enable();
  }
}

void TSioDataPacket::Notification(TSioComponentOwner* component, TSioOperation operation) {
  auto* port = dynamic_cast<TSioCustomComPort*>(component);
  if (port == nullptr) return;
  if (operation == opRemove && port == FComPort) {
    SetComPort(nullptr);
  } else if (operation == opInsert && FComPort == nullptr) {
    SetComPort(port);
  }
}

bool TSioDataPacket::GetEnabled() const { return FEnabled || FEnableWhenLoaded || FEnablePending; }

void TSioDataPacket::SetEnabled(bool enabled) {
  if (enabled)
    Enable();
  else
    Disable();
}

void TSioDataPacket::SetStartCond(TPacketStartCond c) {
  bool was = GetEnabled();
  Disable();
  FStartCond = c;
  if (was) Enable();
}

void TSioDataPacket::SetEndCond(TPacketEndSet c) {
  bool was = GetEnabled();
  Disable();
  FEndCond = c;
  if (was) Enable();
}

void TSioDataPacket::SetStartString(std::string_view s) {
  bool was = GetEnabled();
  Disable();
  FStartString = s;
  if (was) Enable();
}

void TSioDataPacket::SetEndString(std::string_view s) {
  bool was = GetEnabled();
  Disable();
  FEndString = s;
  if (was) Enable();
}

void TSioDataPacket::SetIgnoreCase(bool v) {
  bool was = GetEnabled();
  Disable();
  FIgnoreCase = v;
  if (was) Enable();
}

void TSioDataPacket::SetPacketSize(int size) {
  bool was = GetEnabled();
  Disable();
  FPacketSize = size;
  if (was) Enable();
}

void TSioDataPacket::SetComPort(TSioCustomComPort* port) {
  // A packet whose port went first still belongs to that port's manager until it leaves.
  if (port == FComPort && (port != nullptr || FManager == nullptr)) return;
  bool was = GetEnabled();
  Disable();
  if (FManager != nullptr) {
    FManager->Remove(this);
    // A manager inside an event goes once the event is over.
    if (FManager->PacketCount() == 0) {
      if (FManager->FInEvent > 0)
        FManager->FFreeWhenIdle = true;
      else
        delete FManager;
    }
    FManager = nullptr;
  }
  FComPort = port;
  if (port != nullptr) {
    FManager = GetPortManager(port);
    if (FManager == nullptr) FManager = new TSioDataPacketManager(port);
    FManager->Insert(this);
    if (was) Enable();
  }
}

void TSioDataPacket::Log(TDispatchSubType sub, const void* bytes, std::uint32_t count) {
  if (FManager == nullptr) return;
  TSioBaseDispatcher* d = FManager->LiveDispatcher();
  if (d == nullptr || !d->DispatchLogging()) return;
  d->AddDispatchEntry(dtPacket, sub, 0, bytes, count);
}

void TSioDataPacket::ResetMatch() {
  FSizeTarget = FPacketSize;
  FMatchStart = -1;
  FStartPos = 1;
  FEndSearch = 0;
}

void TSioDataPacket::SetMode(TPacketMode mode) {
  if (mode == FMode) return;
  TPacketMode old = FMode;
  FMode = mode;
  if (mode == dpCollecting) {
    FEndSearch = 0;
    if (FManager != nullptr) FManager->TakeCapture(this);
    Log(dstCollecting);
  } else {
    Log(mode == dpIdle ? dstIdle : dstWaiting);
  }
  if (old == dpCollecting && FManager != nullptr) FManager->ReleaseCapture(this);
}

void TSioDataPacket::Enable() {
  if (Designing()) return;
  if (Loading()) {
    FEnableWhenLoaded = true;
    return;
  }
  if (FManager == nullptr || !FManager->Enabled()) {
    ResetMatch();
    FEnabled = true;
    return;
  }
  if (FManager->FInEvent > 0) {
    FEnablePending = true;
    return;
  }
  // Properties are checked before anything changes, so that a refused packet stays idle.
  if (FStartCond == scAnyData) {
    if (FEndCond == 0) throw EInvalidProperty(ecNoEndCharCount);
  } else {
    if (FStartString.empty()) throw EInvalidProperty(ecStartStringEmpty);
    std::string pattern, mask;
    CompilePattern(FStartString, FIgnoreCase, pattern, mask);
    if ((FEndCond & PacketEndBit(ecPacketSize)) != 0 && FPacketSize < static_cast<int>(pattern.size()))
      throw EInvalidProperty(ecPacketTooSmall);
  }
  if ((FEndCond & PacketEndBit(ecString)) != 0 && FEndString.empty())
    throw EInvalidProperty(ecEmptyEndString);
  if ((FEndCond & PacketEndBit(ecPacketSize)) != 0 && FPacketSize == 0)
    throw EInvalidProperty(ecZeroSizePacket);

  if (FMode != dpIdle) Disable();
  Log(dstEnable);
  FEnabled = true;
  ResetMatch();
  if ((FEndCond & PacketEndBit(ecString)) != 0) {
    Log(dstEndStr, FEndString.data(), static_cast<std::uint32_t>(FEndString.size()));
    CompilePattern(FEndString, FIgnoreCase, FEndPattern, FEndMask);
  }
  if (FStartCond == scAnyData) {
    if (FManager->Capture() != nullptr && FManager->Capture() != this)
      FWaitCapture = true;
    else
      SetMode(dpCollecting);
  } else {
    Log(dstStartStr, FStartString.data(), static_cast<std::uint32_t>(FStartString.size()));
    CompilePattern(FStartString, FIgnoreCase, FStartPattern, FStartMask);
    SetMode(dpWaitStart);
  }
}

void TSioDataPacket::Disable() {
  bool busy = FEnabled || FMode != dpIdle || FWaitCapture || FEnablePending || FEnableWhenLoaded;
  FEnabled = false;
  FEnablePending = false;
  FEnableWhenLoaded = false;
  FWaitCapture = false;
  if (!busy) return;
  SetMode(dpIdle);
  Log(dstDisable);
}

bool TSioDataPacket::Matches(std::uint8_t b, const std::string& pattern, const std::string& mask,
                             std::size_t i) const {
  if (mask[i] == '1') return true;
  std::uint8_t p = static_cast<std::uint8_t>(pattern[i]);
  return (FIgnoreCase ? Upper(b) : b) == p;
}

bool TSioDataPacket::Process(std::size_t pos) {
  const std::vector<std::uint8_t>& buf = FManager->FBuffer;
  if (FMode == dpCollecting) return ProcessCollecting(pos);
  if (FMode != dpWaitStart || FStartPattern.empty()) return false;
  // A partial match already covers the bytes from its start.
  std::size_t i =
      FMatchStart >= 0 ? std::max(pos, static_cast<std::size_t>(FMatchStart) + FStartPos - 1) : pos;
  while (i < buf.size()) {
    if (Matches(buf[i], FStartPattern, FStartMask, FStartPos - 1)) {
      if (FStartPos == 1) FMatchStart = static_cast<std::ptrdiff_t>(i);
      if (FStartPos == FStartPattern.size()) {
        if (FEndCond == 0) {
          Deliver(i + 1, false);
          return true;
        }
        FStartPos = 1;
        SetMode(dpCollecting);
        ProcessCollecting(i + 1);
        return true;
      }
      ++FStartPos;
      ++i;
    } else if (FStartPos > 1) {
      i = static_cast<std::size_t>(FMatchStart) + 1;
      FStartPos = 1;
      FMatchStart = -1;
    } else {
      FMatchStart = -1;
      ++i;
    }
  }
  return false;
}

bool TSioDataPacket::ProcessCollecting(std::size_t pos) {
  const std::vector<std::uint8_t>& buf = FManager->FBuffer;
  if (FMatchStart < 0) {
    if (pos >= buf.size()) return false;
    FMatchStart = static_cast<std::ptrdiff_t>(pos);
  }
  const std::size_t start = static_cast<std::size_t>(FMatchStart);
  const std::size_t fill = buf.size();
  std::size_t sizeEnd = 0;
  bool haveSize = false;
  if ((FEndCond & PacketEndBit(ecPacketSize)) != 0 && fill - start >= static_cast<std::size_t>(FSizeTarget)) {
    sizeEnd = start + static_cast<std::size_t>(FSizeTarget);
    haveSize = true;
  }
  std::size_t stringEnd = 0;
  bool haveString = false;
  if ((FEndCond & PacketEndBit(ecString)) != 0 && !FEndPattern.empty()) {
    // The end string is looked for behind the start string, never inside it.
    std::size_t from = start + (FStartCond == scString ? FStartPattern.size() : 0);
    std::size_t k = std::max(from, FEndSearch);
    const std::size_t len = FEndPattern.size();
    for (; k < fill; ++k) {
      std::size_t j = 0;
      while (j < len && k + j < fill && Matches(buf[k + j], FEndPattern, FEndMask, j)) ++j;
      if (j == len) {
        stringEnd = k + len;
        haveString = true;
        break;
      }
      if (k + j == fill) break;  // a partial occurrence runs to the end of the data
    }
    FEndSearch = k;
  }
  if (haveString && (!haveSize || stringEnd <= sizeEnd)) {
    Deliver(stringEnd, false);
    return true;
  }
  if (haveSize) {
    Deliver(sizeEnd, true);
    return true;
  }
  return false;
}

void TSioDataPacket::FireEvent(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    SioHandleException(e);
  }
}

void TSioDataPacket::Deliver(std::size_t end, bool sizePacket) {
  TSioDataPacketManager* m = FManager;
  m->EnterEvent();
  const std::size_t start = FMatchStart >= 0 ? static_cast<std::size_t>(FMatchStart) : end;
  const bool stringEnded = !sizePacket && (FEndCond & PacketEndBit(ecString)) != 0;
  Disable();
  std::size_t first = start;
  std::size_t last = end;
  if (FStartCond == scString && !FIncludeStrings) first = std::min(last, first + FStartPattern.size());
  if (stringEnded && !FIncludeStrings) last = std::max(first, last - FEndPattern.size());
  FDataPtr = m->FBuffer.data() + first;
  FDataSize = static_cast<int>(last - first);
  Log(dstStringPacket, FName.data(), static_cast<std::uint32_t>(FName.size()));
  Log(sizePacket ? dstSizePacket : dstStringPacket, FDataPtr, static_cast<std::uint32_t>(FDataSize));
  // The handlers get their own copy: they may change the port's data meanwhile.
  std::vector<std::uint8_t> data(FDataPtr, FDataPtr + FDataSize);
  FDataPtr = data.data();
  if (FOnPacket) FireEvent([&] { FOnPacket(this, data.data(), static_cast<int>(data.size())); });
  if (FOnStringPacket)
    FireEvent(
        [&] { FOnStringPacket(this, std::string(reinterpret_cast<const char*>(data.data()), data.size())); });
  FDataPtr = nullptr;
  FDataSize = 0;
  m->RemoveData(end);
  if (FManager == m && FAutoEnable) FEnablePending = true;
  m->LeaveEvent();
}

void TSioDataPacket::TimedOut() {
  TSioDataPacketManager* m = FManager;
  m->EnterEvent();
  Log(dstPacketTimeout);
  Disable();
  if (FOnTimeout) FireEvent([&] { FOnTimeout(this); });
  m->LeaveEvent();
}

std::string TSioDataPacket::GetCollectedString() const {
  if (FDataPtr == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(FDataPtr), static_cast<std::size_t>(FDataSize));
}

void TSioDataPacket::GetCollectedData(const void*& data, int& size) const {
  data = FDataPtr;
  size = FDataSize;
}
