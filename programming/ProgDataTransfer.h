// The programming-data transfer object.
//
// TProgData moves the programming image and the socket table
// (ProgrammingImage.h) between the PC and the controller over the bus
// module's port, fetches the controller's stored-data listing and keeps the
// programming-data file (".prg", ProgDataFile.h).  It is a plain object: no
// thread of its own; everything runs on the window thread.  The bus module's
// trigger handlers advance its flags (the TBusTransferState it derives from)
// and hand each received chunk on to it; its three retry timers resend a
// request every 295 ms until the reply starts, at most 25 times.  The windows
// it works with (progress dialogs, programming window, stored-data dialog)
// are reached through TProgDataHooks, which the application installs; each
// hook that is not installed does nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "link/RS485BusNew.h"
#include "programming/ProgDataFile.h"
#include "programming/ProgrammingImage.h"

namespace ProgTransfer {

constexpr std::size_t BufferSize = 9000;
constexpr DWORD RetryIntervalMs = 295;
constexpr int RetryLimit = 25;
// A dump that stops arriving for this many retry ticks (about 5 s) is given up.
constexpr int DefaultReceiveSilenceTicks = 17;
// Hex text of the dump: 3578 pairs; the end marker pair "3039" closes it.
constexpr std::size_t ImageHexChars = 2 * ProgLayout::ImageSize;         // 7156
constexpr std::size_t SocketHexChars = 2 * ProgLayout::SocketTableSize;  // 238
constexpr int ReadProgressMax = 7152;
constexpr int SendProgressMax = 3634;
// Addresses shown while the blocks go out.
constexpr unsigned ImageStartAddress = 50299;   // 0xC47B
constexpr unsigned SocketStartAddress = 53842;  // 0xD252
// A hex pair waits this long for room in the port's output buffer.
constexpr DWORD PairRoomTimeoutMs = 5000;

}  // namespace ProgTransfer

enum class TTransferCursor { Default, HourGlass, Arrow };
enum class TTransferResult { None, Running, Ok, Failed };

struct TProgDataHooks {
  // Disables (true) or enables (false) the main window, the value board and
  // the programming window for the duration of a transfer.
  std::function<void(bool locked)> LockWindows;
  std::function<void(TTransferCursor cursor)> SetCursor;
  // Stops a running acquisition before a transfer (the acquisition's polls
  // flush the port and clear the received text): the box saying so, the
  // thread terminated and waited for, the main window's acquisition menu item
  // unchecked.  True when one was running; nothing when none runs.
  std::function<bool()> StopAcquisition;
  // Starts the acquisition again once a transfer that stopped it has ended.
  std::function<void()> RestartAcquisition;

  // Read dialog "Programmierdaten lesen": the status edit Address, the bar
  // ReadProgress, the buttons btReadDataAbbrechen and btReadDataOk.
  std::function<void()> ShowReadDialog;
  std::function<void()> CloseReadDialog;
  std::function<void(const std::string& text)> ReadStatus;
  std::function<void(int position, int maximum)> ReadProgress;
  std::function<void(bool cancelEnabled, bool okEnabled)> ReadButtons;

  // Send dialog "Programmierdaten senden": the status edit Address, the bar
  // SendProgress, the button btSendDataOK.
  std::function<void()> ShowSendDialog;
  std::function<void()> CloseSendDialog;
  std::function<void(const std::string& text)> SendStatus;
  std::function<void(int position, int maximum)> SendProgress;
  std::function<void(bool enabled)> EnableSendOk;
  // A line of the sent hex text for the debug window's memo.
  std::function<void(const std::string& line)> DebugLine;

  // Programming window.
  std::function<void()> ShowAllPages;
  std::function<void()> EnablePages;
  std::function<void()> DisableAllPages;
  std::function<void(const std::string& caption)> SetCaption;

  // Stored-data dialog and window: the field ReadStoreOutput, the button
  // btOK, the label ProgressSimulator, and the window showing the cut
  // listing (it splits the text into lines and cleans them).
  std::function<void(const std::string& text)> StoreStatus;
  std::function<void(bool enabled)> EnableStoreOk;
  std::function<void(const std::string& pattern)> ShowProgressPattern;
  std::function<void(const std::string& listing)> ShowStoredData;

  // Firmware version times 100; by default the version query's, 216 without one.
  std::function<int()> FirmwareVersion;

  // The three retry timers of the programming window (0 RetryTimer, 1 SendRetryTimer,
  // 2 GetStoreTimer, 295 ms each): started and stopped through this, and each of their ticks
  // handed to TimerTick.  Without it the transfer keeps timers of its own.
  std::function<void(int timer, bool on)> DriveTimer;
};

class TProgData : public TBusTransferState {
 public:
  TProgData();
  ~TProgData();
  TProgData(const TProgData&) = delete;
  TProgData& operator=(const TProgData&) = delete;

  // Joins the bus module: its handlers advance this object's flags and hand
  // on the received chunks.  Detach undoes it; call it before the bus module
  // goes.  The destructor detaches (taking its armed markers off the port)
  // while still attached.
  void Attach(TDataModule1& bus, TAcquisitionState& state);
  void Detach();

  TProgDataHooks Hooks;

  // ----- commands of the programming window -----
  // Starts a read (windows locked, port opened, request sent, retries
  // running).  False when it could not start (reported) or a transfer runs.
  bool ReadProgrammingData();
  // Starts a write of the image and socket table; the caller has validated
  // them.  False when it could not start or a transfer runs.
  bool WriteProgrammingData();
  // btReadDataAbbrechen.
  void CancelRead();
  // Stored-data dialog: start and "Abbrechen".
  bool StartStoredDataRead();
  void CancelStoredDataRead();

  // ----- steps (also called by the bus module's handlers) -----
  void SendReadRequest();
  void SendWriteRequest();
  void SendStoredDataRequest();
  void SendVersionRequest();
  void Reset();
  void RemoveTriggers();
  void StartRead();
  void CollectReceived();
  void ParseDump();
  void StartWrite();
  void SendBlocks();
  void CheckChecksumReply();
  void ShowStoredData();

  // Retry timers (295 ms, window thread).  TimerTick runs one tick of timer 0, 1 or 2 unless
  // that timer is off or another tick is running.
  void TimerTick(int timer);
  void RetryTimerTimer();
  void SendRetryTimerTimer();
  void GetStoreTimerTimer();

  // ----- programming-data file -----
  // True when the file was written completely.
  bool SaveToFile(const std::string& fileName);
  // True when the file was valid and loaded; otherwise the image, the
  // socket table and their validity are as before.
  bool LoadFromFile(const std::string& fileName);

  // ----- receive buffer -----
  void PutByte(std::int32_t position, std::uint8_t value);
  std::uint8_t GetByte(std::int32_t position) const;

  // ----- state -----
  bool GetImageValid() const { return FImageValid; }
  void SetImageValid(bool valid) { FImageValid = valid; }
  bool Busy() const;
  TTransferResult ReadResult() const { return FReadResult; }
  TTransferResult WriteResult() const { return FWriteResult; }
  TTransferResult StoreResult() const { return FStoreResult; }
  bool RetryTimerEnabled() const { return FTimerOn[0]; }
  bool SendRetryTimerEnabled() const { return FTimerOn[1]; }
  bool GetStoreTimerEnabled() const { return FTimerOn[2]; }
  std::uint8_t GetChecksum() const { return FChecksum; }
  int GetFirmwareVersion() const;

  // Pause before each hex pair of a write (12 ms; tests shorten it).
  DWORD HexPairPauseMs = 12;
  // Retry ticks without a received character after which a dump is given up.
  int ReceiveSilenceTicks = ProgTransfer::DefaultReceiveSilenceTicks;

  std::array<std::uint8_t, ProgTransfer::BufferSize> FBuffer{};
  std::int32_t FBufferCount = 0;
  std::int32_t FParseStart = 0;
  std::uint8_t FChecksum = 0;
  std::string FChecksumReply;
  bool FImageValid = false;
  bool FSending = false;
  std::int32_t FRetryCount = 0;

 private:
  enum TTimer { ReadTimer = 0, SendTimer = 1, StoreTimer = 2 };
  static LRESULT TimerWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void EnableTimer(TTimer timer, bool on);
  bool OpenPort(const std::string& caption);
  bool SendPair(const std::string& pair, bool letMessagesRun);
  void SendRequest(char letter);
  void ReadFailed(const std::string& text);
  void EndRead(TTransferResult result);
  void EndWrite(TTransferResult result);
  void ReportRead(int position);
  void ReportSend(int position);
  void ReplyTimedOut();
  void StopAcquisition();
  void RestartAcquisition();
  void StoreFailed(const std::string& text);

  TDataModule1* FBus = nullptr;
  TAcquisitionState* FState = nullptr;
  HWND FTimerWindow = 0;
  bool FTimerOn[3] = {false, false, false};
  bool FInTimer = false;
  bool FSendingRequest = false;
  bool FBlocksDeferred = false;  // the controller was ready while a request went out
  TTransferResult FReadResult = TTransferResult::None;
  TTransferResult FWriteResult = TTransferResult::None;
  TTransferResult FStoreResult = TTransferResult::None;
  int FReadPosition = 0;
  int FSendPosition = 0;
  // Receive watch of a running read: what had arrived at the last tick.
  std::int32_t FWatchCount = -1;
  int FWatchLines = -1;
  int FSilentTicks = 0;
  // A transfer stopped the acquisition; it is started again when the transfer ends.
  bool FAcquisitionStopped = false;
};

// The transfer object of the running application (the first one made); null
// while there is none.
extern TProgData* ProgData;

// Value of a text of upper-case hex digits; -1 when a character is none or
// the value does not fit (then also the box "Fehler im Programm : 2 !").
int HexToInt(std::string_view text);
