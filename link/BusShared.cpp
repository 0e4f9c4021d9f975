#include "link/BusShared.h"

#include <chrono>
#include <cstdio>

#include "platform/Messages.h"

TCriticalSection SensorDataLock;

// ---------------------------------------------------------------------------
// TInputBuffer

void TInputBuffer::Add(std::string line) {
  std::lock_guard<std::mutex> g(FLock);
  FLines.push_back(std::move(line));
}

void TInputBuffer::Clear() {
  std::lock_guard<std::mutex> g(FLock);
  FLines.clear();
}

int TInputBuffer::Count() const {
  std::lock_guard<std::mutex> g(FLock);
  return static_cast<int>(FLines.size());
}

std::vector<std::string> TInputBuffer::Lines() const {
  std::lock_guard<std::mutex> g(FLock);
  return FLines;
}

std::string TInputBuffer::Text() const {
  std::lock_guard<std::mutex> g(FLock);
  std::string text;
  for (const std::string& line : FLines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

std::string TInputBuffer::Joined() const {
  std::lock_guard<std::mutex> g(FLock);
  std::string text;
  for (const std::string& line : FLines) text += line;
  return text;
}

std::string TInputBuffer::TakeJoined() {
  std::lock_guard<std::mutex> g(FLock);
  std::string text;
  for (const std::string& line : FLines) text += line;
  FLines.clear();
  return text;
}

// ---------------------------------------------------------------------------
// TAcquisitionState

int TAcquisitionState::GetSecondsCounter() const {
  std::lock_guard<std::mutex> g(FLock);
  return FSecondsCounter;
}

void TAcquisitionState::SetSecondsCounter(int seconds) {
  {
    std::lock_guard<std::mutex> g(FLock);
    FSecondsCounter = seconds;
  }
  FChanged.notify_all();
}

void TAcquisitionState::IncSecondsCounter() {
  {
    std::lock_guard<std::mutex> g(FLock);
    // A 32-bit counter as in the main window; it stops short of the wrap instead of
    // turning negative after 68 years without a reset.
    if (FSecondsCounter < INT32_MAX) ++FSecondsCounter;
  }
  FChanged.notify_all();
}

void TAcquisitionState::SetIntervalSeconds(int seconds) {
  {
    std::lock_guard<std::mutex> g(FLock);
    FIntervalSeconds.store(seconds, std::memory_order_release);
  }
  FChanged.notify_all();
}

bool TAcquisitionState::WaitForInterval(const std::function<bool()>& stop, int pollMs) {
  std::unique_lock<std::mutex> lock(FLock);
  for (;;) {
    if (stop && stop()) return false;
    if (FSecondsCounter > FIntervalSeconds.load(std::memory_order_acquire)) return true;
    FChanged.wait_for(lock, std::chrono::milliseconds(pollMs > 0 ? pollMs : 1));
  }
}

void TAcquisitionState::Wake() {
  { std::lock_guard<std::mutex> g(FLock); }
  FChanged.notify_all();
}

// ---------------------------------------------------------------------------
// Hooks

TLinkHooks& LinkHooks() {
  static TLinkHooks hooks;
  return hooks;
}

std::string LinkErrorText(const std::exception& e) {
  const TLinkHooks& h = LinkHooks();
  return h.ErrorText ? h.ErrorText(e) : e.what();
}

void LinkMessageBox(const std::string& text, const std::string& caption, TBoxKind kind) {
  const TLinkHooks& h = LinkHooks();
  if (h.MessageBox) {
    h.MessageBox(text, caption, kind);
    return;
  }
  if (caption.empty())
    std::fprintf(stderr, "%s\n", text.c_str());
  else
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

void LinkStatusText(const std::string& text) {
  const TLinkHooks& h = LinkHooks();
  if (h.StatusText)
    h.StatusText(text);
  else
    std::fprintf(stderr, "%s\n", text.c_str());
}

void LinkTestMemoLine(const std::string& line) {
  const TLinkHooks& h = LinkHooks();
  if (h.TestMemoLine) h.TestMemoLine(line);
}

void LinkProcessMessages() {
  const TLinkHooks& h = LinkHooks();
  if (h.ProcessMessages)
    h.ProcessMessages();
  else
    ProcessMessages();
}
