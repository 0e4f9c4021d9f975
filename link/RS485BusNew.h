// The bus data module: the one serial port to the controllers on the RS485 bus and a
// one-second timer.  Every chunk of received characters becomes a line of the received-text
// list; marker strings of the controllers' replies advance the transfer flags of the
// programming-data transfer and of the firmware version query; the module offers the send
// operations of all request senders, listens to the controllers' value output for the
// acquisition thread and parses it.
//
// The controllers' vocabulary on the bus (Windows-1252 text):
//   requests  LF "D" letter LF, one character at a time with 65 ms after the first line
//             feed and after each letter: "R" programming data, "G" ready to receive
//             programming data, "S" stored sensor data, "V" firmware version;
//   rename    "$", two hex digits of the address, "6", the name, CR;
//   markers   "Data RAM:", "End RAM", "Socket Data", "Socket End", "Receive Start",
//             "CheckSum", "-------------", "END", "korvidan".
//
// The handlers run on the window thread (the thread that made the module).  PollController
// and the listening and parsing run on the acquisition thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "link/BusShared.h"
#include "serial/SioPort.h"

class TControllerList;
class TKorvidan;

// Bus requests (the second letter after "D").
constexpr char RequestProgrammingData = 'R';
constexpr char RequestReadyToReceive = 'G';
constexpr char RequestStoredData = 'S';
constexpr char RequestVersion = 'V';

// Reply markers.
extern const char* const MarkerDataRam;
extern const char* const MarkerEndRam;
extern const char* const MarkerSocketData;
extern const char* const MarkerSocketEnd;
extern const char* const MarkerReceiveStart;
extern const char* const MarkerCheckSum;
extern const char* const MarkerStoreStart;
extern const char* const MarkerStoreEnd;
extern const char* const MarkerVersion;

// The moving progress patterns of the stored-data dialog.
extern const std::array<std::string, 4> ProgressPatterns;

// Pauses of the send operations, in milliseconds.
constexpr std::uint32_t RequestCharPauseMs = 65;
constexpr std::uint32_t HexPairPauseMs = 12;
constexpr std::uint32_t CommandWaitPauseMs = 2000;
// The reply time-out after a programming write, in ticks (about 2 seconds).
constexpr std::int32_t ReplyTimeoutTicks = 36;
// How long a poll listens to a controller's value output.
constexpr int DefaultListenMilliseconds = 20000;

// The flags and marker triggers of the programming-data transfer (ProgData) that the
// module's handlers read and advance.
struct TBusTransferState {
  bool FWaitingDataRam = false;
  bool FWaitingSocketData = false;
  bool FReceivingRam = false;
  bool FReceivingSockets = false;
  bool FRamComplete = false;
  bool FDumpComplete = false;
  bool FWaitingReceiveStart = false;
  bool FReceiveStarted = false;
  bool FSendStarted = false;
  bool FWaitingChecksum = false;
  bool FChecksumReceived = false;
  bool FWaitingStoreStart = false;
  bool FStoreReceiving = false;
  bool FStoreComplete = false;
  int FPatternCounter = 0;
  std::uint16_t FTriggerHandle = 0;     // armed start marker
  std::uint16_t FEndTriggerHandle = 0;  // armed end marker
};

// The flags of the firmware version dialog that the handlers read and advance.
struct TVersionQueryState {
  bool FWaitingVersion = false;
  bool FVersionDone = false;
  bool FVersionReceived = false;
};

// What the handlers hand on to the transfers and dialogs (all on the window thread).  A hook
// that is not installed does nothing.
struct TBusTransferHooks {
  std::function<void()> ParseVersionReply;
  std::function<void()> CollectReceived;
  std::function<void()> SendBlocks;
  std::function<void()> CheckChecksumReply;
  std::function<void()> ShowStoredData;
  // The stored-data dialog's label ProgressSimulator.
  std::function<void(const std::string& pattern)> ShowProgressPattern;
  // The stored-data dialog's field ReadStoreOutput.
  std::function<void(const std::string& text)> ShowStoreStatus;
  // The read progress dialog's bar ReadProgress.
  std::function<void(int position)> SetReadProgress;
  // After the reply time-out's box: enable the main window, the value board and the
  // programming window, restore the cursor, close the send progress dialog.
  std::function<void()> ReplyTimedOut;
};

class TDataModule1 : public TSioComponentOwner {
 public:
  // Builds the module: the port at 9600 baud in RS485 mode with RTS off and the dispatch
  // log on, opened at once on COM comNumber (0: the port selection dialog asks; a failure
  // to open goes to the application's exception handler and leaves the port closed), and
  // the one-second timer running on the calling thread.
  TDataModule1(TAcquisitionState& state, std::uint16_t comNumber = 0);
  ~TDataModule1() override;
  TDataModule1(const TDataModule1&) = delete;
  TDataModule1& operator=(const TDataModule1&) = delete;

  TSioComPort SioComPort1;

  TAcquisitionState& State() { return FState; }

  // The transfers whose flags the handlers advance (none: null) and their hooks.
  TBusTransferState* Transfer = nullptr;
  TVersionQueryState* Version = nullptr;
  TBusTransferHooks TransferHooks;

  // How long PollController listens (20 s; tests shorten it).
  int ListenMilliseconds = DefaultListenMilliseconds;

  // ----- handlers (window thread) -----
  void Timer1Timer();
  void SioComPort1TriggerAvail(TSioCustomComPort* CP, std::uint16_t Count);
  void SioComPort1TriggerData(TSioCustomComPort* CP, std::uint16_t TriggerHandle);
  void SioComPort1TriggerTimer(TSioCustomComPort* CP, std::uint16_t TriggerHandle);
  // A line error: when the port's device has gone, the port is closed after the event.
  void SioComPort1TriggerLineError(TSioCustomComPort* CP, std::uint16_t Error, bool LineBreak);

  // ----- sending (window thread); 0 when put into the output buffer, -1 when not -----
  // Puts the text when the output buffer has room for it plus 3, then pauses 2000 ms.
  int SendCommandWait(std::string_view text);
  // Puts the text when the output buffer has room for it plus 3.
  int SendCommand(std::string_view text);
  // Puts one line feed.
  int SendLineFeed();
  // Pauses 12 ms, then puts the two characters when more than one byte is free.
  int SendHexPair(std::string_view pair);
  // LF, "D", the letter, LF, with 65 ms after the line feed and after each letter.
  void SendRequest(char letter);
  // Arms a data trigger on a marker; its handle (0 when the port is not open).
  std::uint16_t ArmMarker(std::string_view marker);
  // Removes a trigger unless the handle is 0.
  void RemoveMarker(std::uint16_t handle);

  // The reply time-out after a programming write: a one-shot timer trigger of 36 ticks.
  void StartReplyTimeout();
  void StopReplyTimeout();
  std::uint16_t ReplyTimeoutTrigger() const { return FReplyTimeoutTrigger; }

  // Registers the controllers on the bus: one controller "Korvidan1" at address 0.  Returns
  // 1.  FillDeviceTabs (when set) fills the main window's tabs afterwards.
  int ScanBus(TControllerList& list);
  std::function<void()> FillDeviceTabs;

  // ----- acquisition (acquisition thread) -----
  // Listens to one controller and converts what it printed; 1 when records were converted.
  int PollController(TControllerList& list, int index);
  // Sleeps the given time, then writes "InputBuffer = " and the received text to the
  // communication test window.
  void ListenAndLog(int milliseconds);
  // The sensor records cut from the received text; false (and the box asking to connect
  // the controller) when there is none.
  bool SplitRecords(std::vector<std::string>& records);
  // Writes the records into the controller's sensors; 1 after a non-empty list.
  int ConvertSensorRecords(const std::vector<std::string>& records, TKorvidan& controller);
  // Empties the port's input (when it is open).
  void FlushPortInput();

 private:
  static LRESULT TimerWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void PortUsersCallback(TSioCustomComPort* CP, bool opening);
  // Window thread: close the port whose device has gone; open it again (quietly; it stays
  // closed while the device is still away).
  void CloseLostPort();
  void ReopenLostPort();
  bool PortIsOpen() const { return SioComPort1.GetPortState() == psOpen; }

  TAcquisitionState& FState;
  HWND FTimerWindow = 0;
  std::uint16_t FReplyTimeoutTrigger = 0;
  // The line-error trigger that watches for the loss of the device.
  std::uint16_t FLineErrorTrigger = 0;
  std::atomic<bool> FDeviceLost{false};

  // The dispatcher while the port is open, for the acquisition thread's flush: the port's
  // close waits here until a running flush has finished.
  std::mutex FFlushLock;
  TSioBaseDispatcher* FFlushDispatcher = nullptr;
};
