// State that the bus module, the acquisition thread and the main window share, and the
// hooks through which the link layer reaches the user interface and the application.
//
// The main window owns one TAcquisitionState (its FInputBuffer, FSecondsCounter,
// FIntervalSeconds and the acquisition flags).  The bus module's handlers run on the window
// thread, the acquisition thread reads and clears the same state: every member here may be
// used from both threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Text.h"
#include "platform/Threads.h"

class TControllerList;

// Held by every reader and writer of sensor values, types, oxygen modes and limits.
extern TCriticalSection SensorDataLock;

// The received-text list: one line for every chunk of characters that came in from the bus
// (Windows-1252 bytes, as received).  Each operation is one step under the list's own
// lock, so a chunk appended by the window thread while another thread reads or clears the
// list lands either completely before or completely after that operation.
class TInputBuffer {
 public:
  void Add(std::string line);
  void Clear();
  int Count() const;
  // A copy of the lines.
  std::vector<std::string> Lines() const;
  // All lines, each followed by CR LF (a string list's text).
  std::string Text() const;
  // All lines joined without separators.
  std::string Joined() const;
  // Joined() and Clear() as one step: nothing that arrives in between is lost.
  std::string TakeJoined();

 private:
  mutable std::mutex FLock;
  std::vector<std::string> FLines;
};

// The main window's run-time fields that the acquisition uses.
class TAcquisitionState {
 public:
  TInputBuffer FInputBuffer;

  // Seconds since the acquisition thread's last reset; the bus module's one-second timer
  // adds one.
  int GetSecondsCounter() const;
  void SetSecondsCounter(int seconds);
  void IncSecondsCounter();

  int GetIntervalSeconds() const { return FIntervalSeconds.load(std::memory_order_acquire); }
  void SetIntervalSeconds(int seconds);

  bool GetDataCollecting() const { return FDataCollecting.load(std::memory_order_acquire); }
  void SetDataCollecting(bool on) { FDataCollecting.store(on, std::memory_order_release); }
  bool GetDataReceived() const { return FDataReceived.load(std::memory_order_acquire); }
  void SetDataReceived(bool on) { FDataReceived.store(on, std::memory_order_release); }

  // Sleeps until the seconds counter is greater than the interval (true) or stop() holds
  // (false).  The counter and a change of the interval wake the sleeper at once; stop() is
  // looked at after Wake() and at least every pollMs.
  bool WaitForInterval(const std::function<bool()>& stop, int pollMs = 50);
  // Makes a WaitForInterval look at its conditions now.
  void Wake();

 private:
  mutable std::mutex FLock;
  std::condition_variable FChanged;
  std::int32_t FSecondsCounter = 0;
  std::atomic<std::int32_t> FIntervalSeconds{900};
  std::atomic<bool> FDataCollecting{false};
  std::atomic<bool> FDataReceived{false};
};

// Plain: a box without an icon.
enum class TBoxKind { Plain, Information, Warning, Error };

// How the link layer reaches the user interface and the application.  The application
// installs these; until then each has a harmless default (messages and status texts go to
// standard error, the rest does nothing).
//
// MessageBox, StatusText and TestMemoLine are called from the acquisition thread as well as
// from the window thread.  Their implementations must not wait for the window thread (queue
// the work there instead): the window thread may be blocked waiting for the acquisition
// thread to end.  Texts are UTF-8.
struct TLinkHooks {
  std::function<void(const std::string& text, const std::string& caption, TBoxKind kind)> MessageBox;
  // Panel 1 of the main window's status bar.
  std::function<void(const std::string& text)> StatusText;
  // A line for the memo of the communication test window.
  std::function<void(const std::string& line)> TestMemoLine;
  // "Let the message queue run" of the window thread's handlers.
  std::function<void()> ProcessMessages;
  // The value board's refresh and alarm evaluation, and the database module's store of
  // the current values; both are called on the acquisition thread after each cycle.
  std::function<void(TControllerList& list)> ShowCurrentValues;
  std::function<void(TControllerList& list)> StoreCurrentValues;
  // How a failure reads in a box (the application words the library's failures in German).
  std::function<std::string(const std::exception& e)> ErrorText;
};

// The installed hooks.  Install them before the bus module and the acquisition start.
TLinkHooks& LinkHooks();

// Calls of the hooks (or of their defaults).
// The text of a failure for a box: the installed wording, else the failure's own.
std::string LinkErrorText(const std::exception& e);
void LinkMessageBox(const std::string& text, const std::string& caption = {},
                    TBoxKind kind = TBoxKind::Information);
void LinkStatusText(const std::string& text);
void LinkTestMemoLine(const std::string& line);
void LinkProcessMessages();
