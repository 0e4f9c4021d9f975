// Implements programming/ProgDataTransfer.h: the read (dump of the controller's
// programming memory), the write (hex pairs with checksums) and the stored-data listing.
#include "programming/ProgDataTransfer.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <thread>

#include "link/BusShared.h"
#include "link/KorvidanVersion.h"
#include "platform/Threads.h"

using namespace ProgTransfer;

TProgData* ProgData = nullptr;

namespace {

constexpr const char* TimerWindowClass = "TProgDataRetryTimers";

// Boxes of the transfers.
constexpr const char* ReadCaption = "Datenübertragung";
constexpr const char* NoDumpText = "Keine Daten vom korvidan erhalten! Bitte serielle Verbindung überprüfen.";
constexpr const char* BadDumpText =
    "Fehler bei Datenübertragung! Bitte Verbindung überprüfen und erneut versuchen.";
constexpr const char* CancelledText = "Lesen der Programmierdaten wurde abgebrochen !";
constexpr const char* CancelledCaption = "Daten lesen";
constexpr const char* NoAnswerText = "Korvidan antwortet nicht! Bitte serielle Verbindung überprüfen";
constexpr const char* NoAnswerCaption = "Daten senden";
constexpr const char* ChecksumBadText =
    "Fehler bei Datenübertragung! Verbindung überprüfen und korvidan neu starten";
constexpr const char* ChecksumCaption = "Senden der Daten";
constexpr const char* WriteOkText = "Datenübertragung OK";
constexpr const char* WriteOkCaption = "Schreiben der Daten";

template <class F, class... A>
void CallHook(const F& hook, A&&... args) {
  if (hook) hook(std::forward<A>(args)...);
}

std::string Hex2(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value & 0xFFu);
  return text;
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

}  // namespace

int HexToInt(std::string_view text) {
  // Seven digits always fit; more could overflow the 32-bit result.
  if (text.size() > 7) {
    LinkMessageBox("Fehler im Programm : 2 !", "Fehler", TBoxKind::Plain);
    return -1;
  }
  int value = 0;
  for (char c : text) {
    if (!IsHexDigit(c)) return -1;
    value = value * 16 + (c <= '9' ? c - '0' : c - 'A' + 10);
  }
  return value;
}

// ---------------------------------------------------------------------------
// Creation

TProgData::TProgData() {
  RegisterClass(TimerWindowClass, &TProgData::TimerWindowProc);
  FTimerWindow = CreateWindow(TimerWindowClass, this);
  if (ProgData == nullptr) ProgData = this;
}

TProgData::~TProgData() {
  for (TTimer t : {ReadTimer, SendTimer, StoreTimer}) EnableTimer(t, false);
  RemoveTriggers();
  Detach();
  DestroyWindow(FTimerWindow);
  if (ProgData == this) ProgData = nullptr;
}

void TProgData::Attach(TDataModule1& bus, TAcquisitionState& state) {
  Detach();
  FBus = &bus;
  FState = &state;
  bus.Transfer = this;
  TBusTransferHooks& h = bus.TransferHooks;
  h.CollectReceived = [this] { CollectReceived(); };
  // A retried request lets the message queue run between its letters; the controller's
  // "Receive Start" handled there must not put the data between them (a hex digit behind
  // its "D" would shift every following one in the controller): the blocks wait for the
  // end of the request.
  h.SendBlocks = [this] {
    if (FSendingRequest)
      FBlocksDeferred = true;
    else
      SendBlocks();
  };
  h.CheckChecksumReply = [this] { CheckChecksumReply(); };
  h.ShowStoredData = [this] { ShowStoredData(); };
  h.ShowProgressPattern = [this](const std::string& p) { CallHook(Hooks.ShowProgressPattern, p); };
  h.ShowStoreStatus = [this](const std::string& text) { CallHook(Hooks.StoreStatus, text); };
  h.SetReadProgress = [this](int position) { ReportRead(position); };
  h.ReplyTimedOut = [this] { ReplyTimedOut(); };
}

void TProgData::Detach() {
  if (FBus == nullptr) return;
  if (FBus->Transfer == this) {
    FBus->Transfer = nullptr;
    TBusTransferHooks& h = FBus->TransferHooks;
    h.CollectReceived = nullptr;
    h.SendBlocks = nullptr;
    h.CheckChecksumReply = nullptr;
    h.ShowStoredData = nullptr;
    h.ShowProgressPattern = nullptr;
    h.ShowStoreStatus = nullptr;
    h.SetReadProgress = nullptr;
    h.ReplyTimedOut = nullptr;
  }
  FBus = nullptr;
  FState = nullptr;
}

int TProgData::GetFirmwareVersion() const {
  if (Hooks.FirmwareVersion) return Hooks.FirmwareVersion();
  return KorvidanVersionQuery ? KorvidanVersionQuery->GetFirmwareVersion() : UnknownFirmwareVersion;
}

bool TProgData::Busy() const {
  return FReadResult == TTransferResult::Running || FWriteResult == TTransferResult::Running ||
         FStoreResult == TTransferResult::Running;
}

// ---------------------------------------------------------------------------
// Timers

LRESULT TProgData::TimerWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg != WM_TIMER || wParam < 1 || wParam > 3) return DefWindowProc(hwnd, msg, wParam, lParam);
  if (auto* self = static_cast<TProgData*>(GetWindowUserData(hwnd)))
    self->TimerTick(static_cast<int>(wParam) - 1);
  return 0;
}

void TProgData::TimerTick(int timer) {
  if (timer < 0 || timer > 2) return;
  // Sending lets the message queue run, and with it these timers: one tick at a time.
  if (!FTimerOn[timer] || FInTimer) return;
  FInTimer = true;
  struct Clear {
    bool& flag;
    ~Clear() { flag = false; }
  } clear{FInTimer};
  switch (static_cast<TTimer>(timer)) {
    case ReadTimer:
      RetryTimerTimer();
      break;
    case SendTimer:
      SendRetryTimerTimer();
      break;
    case StoreTimer:
      GetStoreTimerTimer();
      break;
  }
}

void TProgData::EnableTimer(TTimer timer, bool on) {
  if (FTimerOn[timer] == on) return;
  FTimerOn[timer] = on;
  if (Hooks.DriveTimer) {
    Hooks.DriveTimer(static_cast<int>(timer), on);
    return;
  }
  if (on)
    SetTimer(FTimerWindow, static_cast<UINT>(timer) + 1, RetryIntervalMs);
  else
    KillTimer(FTimerWindow, static_cast<UINT>(timer) + 1);
}

// ---------------------------------------------------------------------------
// Common steps

void TProgData::PutByte(std::int32_t position, std::uint8_t value) {
  if (position >= 0 && position < static_cast<std::int32_t>(BufferSize))
    FBuffer[static_cast<std::size_t>(position)] = value;
}

std::uint8_t TProgData::GetByte(std::int32_t position) const {
  if (position < 0 || position >= static_cast<std::int32_t>(BufferSize)) return 0;
  return FBuffer[static_cast<std::size_t>(position)];
}

void TProgData::SendRequest(char letter) {
  // Sending lets the message queue run: a retry tick that comes meanwhile
  // must not put its letters between these.
  if (FBus == nullptr || FSendingRequest) return;
  FSendingRequest = true;
  FBlocksDeferred = false;
  {
    struct Clear {
      bool& flag;
      ~Clear() { flag = false; }
    } clear{FSendingRequest};
    FBus->SendRequest(letter);
  }
  if (FBlocksDeferred) {
    FBlocksDeferred = false;
    if (FBus != nullptr && FWriteResult == TTransferResult::Running) SendBlocks();
  }
}

void TProgData::SendReadRequest() { SendRequest(RequestProgrammingData); }
void TProgData::SendWriteRequest() { SendRequest(RequestReadyToReceive); }
void TProgData::SendStoredDataRequest() { SendRequest(RequestStoredData); }
void TProgData::SendVersionRequest() { SendRequest(RequestVersion); }

void TProgData::RemoveTriggers() {
  const std::uint16_t handles[2] = {FTriggerHandle, FEndTriggerHandle};
  FTriggerHandle = 0;
  FEndTriggerHandle = 0;
  if (FBus == nullptr) return;
  for (std::uint16_t handle : handles) {
    try {
      FBus->RemoveMarker(handle);
    } catch (const std::exception&) {
      // The port was closed meanwhile, and its triggers with it.
    }
  }
}

void TProgData::Reset() {
  EnableTimer(ReadTimer, false);
  FImageValid = false;
  FWaitingDataRam = false;
  FReceivingRam = false;
  FReceivingSockets = false;
  FRamComplete = false;
  FDumpComplete = false;
  FWaitingSocketData = false;
  FRetryCount = 0;
  FBufferCount = 0;
  FParseStart = 0;
  // A marker left armed would later fire into another transfer's state:
  // take it off the port as well.
  RemoveTriggers();
}

bool TProgData::OpenPort(const std::string& caption) {
  if (FBus == nullptr) {
    LinkMessageBox("Die Schnittstelle zum korvidan ist nicht eingerichtet.", caption, TBoxKind::Error);
    return false;
  }
  TSioComPort& port = FBus->SioComPort1;
  try {
    port.SetAutoOpen(true);
    if (port.GetPortState() != psOpen) port.SetOpen(true);
  } catch (const std::exception& e) {
    LinkMessageBox("Die Schnittstelle kann nicht geöffnet werden: " + LinkErrorText(e), caption,
                   TBoxKind::Error);
    return false;
  }
  if (port.GetPortState() != psOpen) {
    LinkMessageBox("Die Schnittstelle kann nicht geöffnet werden.", caption, TBoxKind::Error);
    return false;
  }
  return true;
}

void TProgData::ReportRead(int position) {
  FReadPosition = std::clamp(position, 0, ReadProgressMax);
  CallHook(Hooks.ReadProgress, FReadPosition, ReadProgressMax);
}

void TProgData::ReportSend(int position) {
  FSendPosition = std::clamp(position, 0, SendProgressMax);
  CallHook(Hooks.SendProgress, FSendPosition, SendProgressMax);
}

// ---------------------------------------------------------------------------
// Read

bool TProgData::ReadProgrammingData() {
  if (Busy()) return false;
  StopAcquisition();
  CallHook(Hooks.LockWindows, true);
  Reset();
  CallHook(Hooks.SetCursor, TTransferCursor::HourGlass);
  CallHook(Hooks.ReadButtons, true, false);
  ReportRead(0);
  if (!OpenPort(ReadCaption)) {
    CallHook(Hooks.SetCursor, TTransferCursor::Default);
    CallHook(Hooks.LockWindows, false);
    FReadResult = TTransferResult::Failed;
    RestartAcquisition();
    return false;
  }
  FTriggerHandle = FBus->ArmMarker(MarkerDataRam);
  StartRead();
  return true;
}

void TProgData::StartRead() {
  FReadResult = TTransferResult::Running;
  // The acquisition's polls flush the port and clear the received text.
  StopAcquisition();
  CallHook(Hooks.ReadStatus, std::string("Verbindungsaufnahme"));
  if (FState) FState->FInputBuffer.Clear();
  // A shorter dump must not be completed by what an earlier one left behind.
  FBuffer.fill(0);
  FBufferCount = 0;
  FWatchCount = -1;
  FWatchLines = -1;
  FSilentTicks = 0;
  CallHook(Hooks.ShowReadDialog);
  ReportRead(0);
  // The request lets messages run, and a quick controller may be answered
  // before it returns: the flag and the timer are set first.
  FWaitingDataRam = true;
  FRetryCount = 0;
  EnableTimer(ReadTimer, true);
  SendReadRequest();
}

void TProgData::RetryTimerTimer() {
  ++FRetryCount;
  if (FWaitingDataRam) {
    if (FRetryCount < RetryLimit) {
      SendReadRequest();
      return;
    }
    EnableTimer(ReadTimer, false);
    CallHook(Hooks.ReadStatus, std::string("Timeout"));
    RemoveTriggers();
    Reset();
    LinkMessageBox(NoDumpText, ReadCaption, TBoxKind::Error);
    EndRead(TTransferResult::Failed);
    return;
  }
  if (FReadResult != TTransferResult::Running) {
    EnableTimer(ReadTimer, false);
    return;
  }
  // The dump is arriving: no more requests, but a controller that falls
  // silent in the middle of it must not leave the transfer hanging.
  if (FDumpComplete && FReceivingSockets) {
    CollectReceived();  // the end marker came with the last characters
    return;
  }
  const int lines = FState ? FState->FInputBuffer.Count() : 0;
  if (FBufferCount != FWatchCount || lines != FWatchLines) {
    FWatchCount = FBufferCount;
    FWatchLines = lines;
    FSilentTicks = 0;
    return;
  }
  if (++FSilentTicks < ReceiveSilenceTicks) return;
  CallHook(Hooks.ReadStatus, std::string("Timeout"));
  ReadFailed(BadDumpText);
}

void TProgData::CollectReceived() {
  if (FState == nullptr) return;
  const std::string text = FState->FInputBuffer.TakeJoined();
  for (std::size_t i = 0; i < text.size(); ++i)
    PutByte(FBufferCount + static_cast<std::int32_t>(i), static_cast<std::uint8_t>(text[i]));
  FBufferCount += static_cast<std::int32_t>(text.size());
  ReportRead(FReadPosition + static_cast<int>(text.size()));
  CallHook(Hooks.ReadStatus, std::to_string(FBufferCount));
  if (FDumpComplete) {
    EnableTimer(ReadTimer, false);
    FReceivingSockets = false;
    ParseDump();
  }
}

void TProgData::ParseDump() {
  constexpr auto Size = static_cast<std::int32_t>(BufferSize);
  // The image text starts 11 characters behind the "D" of "Data RAM:" (the
  // marker and its line end); the last marker in the buffer counts.
  std::int32_t start = 0;
  for (std::int32_t i = 0; i < Size; ++i)
    if (GetByte(i) == 'D' && GetByte(i + 5) == 'R') start = i + 11;
  FParseStart = start;
  auto pairAt = [this](std::int32_t pos) {
    const char text[2] = {static_cast<char>(GetByte(pos)), static_cast<char>(GetByte(pos + 1))};
    return HexToInt(std::string_view(text, 2));
  };

  const auto markerPos = start + static_cast<std::int32_t>(ImageHexChars) - 4;
  const bool markerOk = GetByte(markerPos) == '3' && GetByte(markerPos + 1) == '0' &&
                        GetByte(markerPos + 2) == '3' && GetByte(markerPos + 3) == '9';
  if (!markerOk) {
    ReadFailed(BadDumpText);
    return;
  }

  // Everything is decoded aside first: the image in memory changes only
  // when the whole dump is sound.
  TProgrammingImage image;
  TSocketTable sockets;
  for (std::size_t n = 0; n < image.Bytes.size(); ++n) {
    const int value = pairAt(start + static_cast<std::int32_t>(2 * n));
    if (value < 0) {
      ReadFailed(BadDumpText);
      return;
    }
    image.Bytes[n] = static_cast<std::uint8_t>(value);
  }
  // The socket text starts 13 characters behind the "S" of "Socket Data";
  // without that marker there is no socket table in the buffer.
  std::int32_t socketStart = -1;
  for (std::int32_t i = 0; i < Size; ++i)
    if (GetByte(i) == 'S' && GetByte(i + 7) == 'D') socketStart = i + 13;
  if (socketStart < 0) {
    ReadFailed(BadDumpText);
    return;
  }
  for (std::size_t n = 0; n < sockets.Bytes.size(); ++n) {
    const int value = pairAt(socketStart + static_cast<std::int32_t>(2 * n));
    if (value < 0) {
      ReadFailed(BadDumpText);
      return;
    }
    sockets.Bytes[n] = static_cast<std::uint8_t>(value);
  }
  image.SwapByteOrder(GetFirmwareVersion());

  ProgrammingImage = image;
  SocketTable = sockets;
  FImageValid = true;
  FBufferCount = 0;
  CallHook(Hooks.ReadStatus, std::string("Daten gelesen"));
  CallHook(Hooks.ShowAllPages);
  CallHook(Hooks.EnablePages);
  CallHook(Hooks.ReadButtons, false, true);
  CallHook(Hooks.SetCursor, TTransferCursor::Default);
  CallHook(Hooks.LockWindows, false);
  FReadResult = TTransferResult::Ok;
  RestartAcquisition();
}

void TProgData::ReadFailed(const std::string& text) {
  EnableTimer(ReadTimer, false);
  Reset();
  LinkMessageBox(text, ReadCaption, TBoxKind::Error);
  EndRead(TTransferResult::Failed);
}

void TProgData::EndRead(TTransferResult result) {
  CallHook(Hooks.SetCursor, TTransferCursor::Default);
  CallHook(Hooks.CloseReadDialog);
  CallHook(Hooks.LockWindows, false);
  FReadResult = result;
  RestartAcquisition();
}

void TProgData::CancelRead() {
  if (FReadResult != TTransferResult::Running) return;
  FReceivingRam = false;
  RemoveTriggers();
  if (FBus) {
    try {
      if (FBus->SioComPort1.GetPortState() == psOpen) FBus->SioComPort1.FlushInBuffer();
      FBus->SioComPort1.SetOpen(false);
    } catch (const std::exception&) {
      // Closed already.
    }
  }
  Reset();
  LinkMessageBox(CancelledText, CancelledCaption, TBoxKind::Warning);
  CallHook(Hooks.CloseReadDialog);
  CallHook(Hooks.SetCursor, TTransferCursor::Arrow);
  CallHook(Hooks.LockWindows, false);
  FReadResult = TTransferResult::Failed;
  RestartAcquisition();
}

// ---------------------------------------------------------------------------
// Write

bool TProgData::WriteProgrammingData() {
  if (Busy()) return false;
  StopAcquisition();
  CallHook(Hooks.LockWindows, true);
  CallHook(Hooks.SetCursor, TTransferCursor::HourGlass);
  CallHook(Hooks.EnableSendOk, false);
  StartWrite();
  // A quick controller may have been served completely inside the start.
  return FWriteResult != TTransferResult::Failed;
}

void TProgData::StartWrite() {
  CallHook(Hooks.ShowSendDialog);
  FWaitingReceiveStart = false;
  FReceiveStarted = false;
  FSendStarted = false;
  FSending = false;
  FWaitingChecksum = false;
  FChecksumReceived = false;
  FRetryCount = 0;
  CallHook(Hooks.SendStatus, std::string("Verbindungsaufnahme"));
  if (!OpenPort(NoAnswerCaption)) {
    EndWrite(TTransferResult::Failed);
    return;
  }
  FWriteResult = TTransferResult::Running;
  FTriggerHandle = FBus->ArmMarker(MarkerReceiveStart);
  if (FState) FState->FInputBuffer.Clear();
  FWaitingReceiveStart = true;
  EnableTimer(SendTimer, true);
  SendWriteRequest();
}

void TProgData::SendRetryTimerTimer() {
  ++FRetryCount;
  if (FRetryCount < RetryLimit) {
    if (FReceiveStarted || FSendStarted) {
      EnableTimer(SendTimer, false);
      ReportSend(0);
    } else {
      SendWriteRequest();
    }
    return;
  }
  EnableTimer(SendTimer, false);
  if (FReceiveStarted || FSendStarted) return;  // the controller answered on the last tick
  FWaitingReceiveStart = false;
  RemoveTriggers();
  LinkMessageBox(NoAnswerText, NoAnswerCaption, TBoxKind::Error);
  EndWrite(TTransferResult::Failed);
}

bool TProgData::SendPair(const std::string& pair, bool letMessagesRun) {
  if (FBus == nullptr) return false;
  if (HexPairPauseMs > 0) Sleep(HexPairPauseMs);
  TSioComPort& port = FBus->SioComPort1;
  try {
    // A full output buffer is waited out rather than the pair dropped: a
    // lost pair would shift everything behind it in the controller.
    DWORD waited = 0;
    while (port.GetPortState() == psOpen && port.GetOutBuffFree() <= 1) {
      if (waited >= PairRoomTimeoutMs) return false;
      Sleep(5);
      waited += 5;
    }
    if (port.GetPortState() != psOpen) return false;
    port.PutString(pair);
  } catch (const std::exception&) {
    return false;
  }
  if (letMessagesRun) LinkProcessMessages();
  return true;
}

void TProgData::SendBlocks() {
  if (FBus == nullptr) return;
  FChecksum = 0;
  ReportSend(0);
  // The controller's byte order goes out; the image in memory stays in PC order.
  TProgrammingImage busImage = ProgrammingImage;
  busImage.SwapByteOrder(GetFirmwareVersion());
  const TSocketTable sockets = SocketTable;

  std::string debugText;
  bool ok = true;
  auto sendBlock = [&](const std::uint8_t* first, std::size_t count, unsigned address) {
    unsigned lastStep = address;
    for (std::size_t n = 0; n < count && ok; ++n, ++address) {
      char status[16];
      std::snprintf(status, sizeof status, "%X", address);
      CallHook(Hooks.SendStatus, std::string(status));
      const std::string pair = Hex2(first[n]);
      FChecksum = static_cast<std::uint8_t>(FChecksum + static_cast<unsigned char>(pair[0]) +
                                            static_cast<unsigned char>(pair[1]));
      ok = SendPair(pair, true);
      if (address - lastStep >= 20) {
        ReportSend(FSendPosition + 20);
        lastStep = address;
      }
      debugText += pair;
      if (debugText.size() >= 80) {
        CallHook(Hooks.DebugLine, debugText);
        debugText.clear();
      }
    }
  };

  sendBlock(busImage.Bytes.data(), busImage.Bytes.size(), ImageStartAddress);
  if (ok) {
    ReportSend(static_cast<int>(ProgLayout::ImageSize));
    ok = SendPair(Hex2(FChecksum), true);
  }
  if (ok) {
    if (FState) FState->FInputBuffer.Clear();
    FWaitingChecksum = true;
    FChecksumReceived = false;
    FChecksumReply.clear();
    FTriggerHandle = FBus->ArmMarker(MarkerCheckSum);
    FSending = true;
    sendBlock(sockets.Bytes.data(), sockets.Bytes.size(), SocketStartAddress);
  }
  if (ok) {
    CallHook(Hooks.SendStatus, "Check: " + Hex2(FChecksum));
    // The reply time-out is armed before the reply can be handled: no
    // message runs between the last pair and the arming.
    ok = SendPair(Hex2(FChecksum), false);
  }
  FSending = false;
  if (!ok) {
    FWaitingChecksum = false;
    RemoveTriggers();
    LinkMessageBox(ChecksumBadText, ChecksumCaption, TBoxKind::Error);
    EndWrite(TTransferResult::Failed);
    return;
  }
  // A reply handled while the last pairs went out needs no time-out.
  if (FWriteResult != TTransferResult::Running) return;
  try {
    FBus->StartReplyTimeout();
  } catch (const std::exception&) {
    // Without a port there is no reply to wait for; the reply check ends the write.
  }
}

void TProgData::CheckChecksumReply() {
  EnableTimer(SendTimer, false);
  if (FBus) {
    try {
      FBus->StopReplyTimeout();
    } catch (const std::exception&) {
    }
  }
  if (FState) FChecksumReply += FState->FInputBuffer.TakeJoined();
  int reply = -1;
  const std::size_t at = FChecksumReply.find(MarkerCheckSum);
  if (at != std::string::npos && at >= 2)
    reply = HexToInt(std::string_view(FChecksumReply).substr(at - 2, 2));
  if (reply >= 0 && reply == FChecksum) {
    CallHook(Hooks.SendStatus, "Check: " + Hex2(FChecksum) + " OK");
    LinkMessageBox(WriteOkText, WriteOkCaption, TBoxKind::Plain);
    CallHook(Hooks.CloseSendDialog);
    FWriteResult = TTransferResult::Ok;
  } else {
    LinkMessageBox(ChecksumBadText, ChecksumCaption, TBoxKind::Error);
    FWriteResult = TTransferResult::Failed;
  }
  CallHook(Hooks.EnableSendOk, true);
  CallHook(Hooks.SetCursor, TTransferCursor::Default);
  CallHook(Hooks.LockWindows, false);
  RestartAcquisition();
}

void TProgData::ReplyTimedOut() {
  // The bus module has shown its time-out box.
  CallHook(Hooks.LockWindows, false);
  CallHook(Hooks.SetCursor, TTransferCursor::Default);
  CallHook(Hooks.CloseSendDialog);
  CallHook(Hooks.EnableSendOk, true);
  if (FWriteResult == TTransferResult::Running) FWriteResult = TTransferResult::Failed;
  RestartAcquisition();
}

void TProgData::EndWrite(TTransferResult result) {
  EnableTimer(SendTimer, false);
  CallHook(Hooks.CloseSendDialog);
  CallHook(Hooks.EnableSendOk, true);
  CallHook(Hooks.SetCursor, TTransferCursor::Default);
  CallHook(Hooks.LockWindows, false);
  FWriteResult = result;
  RestartAcquisition();
}

// ---------------------------------------------------------------------------
// Stored-data listing

bool TProgData::StartStoredDataRead() {
  if (Busy()) return false;
  StopAcquisition();
  FWaitingStoreStart = false;
  FStoreReceiving = false;
  FStoreComplete = false;
  FPatternCounter = 0;
  CallHook(Hooks.StoreStatus, std::string("Verbindungsaufnahme..."));
  CallHook(Hooks.EnableStoreOk, false);
  if (!OpenPort(NoAnswerCaption)) {
    CallHook(Hooks.EnableStoreOk, true);
    FStoreResult = TTransferResult::Failed;
    RestartAcquisition();
    return false;
  }
  FStoreResult = TTransferResult::Running;
  FTriggerHandle = FBus->ArmMarker(MarkerStoreStart);
  FWaitingStoreStart = true;
  if (FState) FState->FInputBuffer.Clear();
  FRetryCount = 0;
  FWatchLines = -1;
  FSilentTicks = 0;
  EnableTimer(StoreTimer, true);
  SendStoredDataRequest();
  return true;
}

void TProgData::GetStoreTimerTimer() {
  ++FRetryCount;
  if (FStoreComplete) {
    // "END" came with the last characters: no further chunk will show the listing. Its
    // notification comes before its own characters, though, and the chunk that brings them
    // shows the listing: a tick in between waits for it.
    if (!FState || FState->FInputBuffer.Joined().find(MarkerStoreEnd) != std::string::npos) {
      ShowStoredData();
      return;
    }
  }
  if (FStoreReceiving || FStoreComplete) {
    // The listing is arriving: no more requests, but a controller that falls silent in the
    // middle of it must not leave the dialog waiting for ever.
    const int lines = FState ? FState->FInputBuffer.Count() : 0;
    if (lines != FWatchLines) {
      FWatchLines = lines;
      FSilentTicks = 0;
      return;
    }
    if (++FSilentTicks < ReceiveSilenceTicks) return;
    StoreFailed(BadDumpText);
    return;
  }
  if (FRetryCount < RetryLimit) {
    SendStoredDataRequest();
    return;
  }
  EnableTimer(StoreTimer, false);
  FWaitingStoreStart = false;
  RemoveTriggers();
  LinkMessageBox(NoAnswerText, NoAnswerCaption, TBoxKind::Error);
  CallHook(Hooks.EnableStoreOk, true);
  FStoreResult = TTransferResult::Failed;
  RestartAcquisition();
}

void TProgData::StoreFailed(const std::string& text) {
  EnableTimer(StoreTimer, false);
  FWaitingStoreStart = false;
  FStoreReceiving = false;
  FStoreComplete = false;
  RemoveTriggers();
  if (FState) FState->FInputBuffer.Clear();
  CallHook(Hooks.StoreStatus, std::string("abgebrochen"));
  LinkMessageBox(text, ReadCaption, TBoxKind::Error);
  CallHook(Hooks.EnableStoreOk, true);
  FStoreResult = TTransferResult::Failed;
  RestartAcquisition();
}

void TProgData::ShowStoredData() {
  if (FStoreResult != TTransferResult::Running) return;
  // A listing shorter than one retry tick must not be asked for again.
  EnableTimer(StoreTimer, false);
  FStoreComplete = false;
  FStoreReceiving = false;
  std::string text = FState ? FState->FInputBuffer.TakeJoined() : std::string();
  // The listing lies between its first "-" and three characters before its first "END"; a
  // text without them, or with "END" too early, is no complete listing.
  const std::size_t dash = text.find('-');
  const std::size_t end = dash == std::string::npos ? std::string::npos : text.find(MarkerStoreEnd, dash + 1);
  if (end == std::string::npos || end < dash + 1 + 3) {
    StoreFailed(BadDumpText);
    return;
  }
  text = text.substr(dash + 1, end - 3 - (dash + 1));
  CallHook(Hooks.StoreStatus, std::string("Daten gelesen"));
  CallHook(Hooks.EnableStoreOk, true);
  CallHook(Hooks.ShowStoredData, text);
  FStoreResult = TTransferResult::Ok;
  RestartAcquisition();
}

void TProgData::CancelStoredDataRead() {
  FWaitingStoreStart = false;
  FStoreReceiving = false;
  FStoreComplete = false;
  FPatternCounter = 0;
  FRetryCount = 0;
  EnableTimer(StoreTimer, false);
  RemoveTriggers();
  CallHook(Hooks.StoreStatus, std::string("abgebrochen"));
  CallHook(Hooks.EnableStoreOk, true);
  if (FStoreResult == TTransferResult::Running) FStoreResult = TTransferResult::Failed;
  RestartAcquisition();
}

// ---------------------------------------------------------------------------
// The acquisition around a transfer

void TProgData::StopAcquisition() {
  if (Hooks.StopAcquisition && Hooks.StopAcquisition()) FAcquisitionStopped = true;
}

void TProgData::RestartAcquisition() {
  if (!FAcquisitionStopped) return;
  FAcquisitionStopped = false;
  // A cancelled read closed the port; the acquisition listens on it.
  if (FBus) {
    try {
      if (FBus->SioComPort1.GetPortState() != psOpen) FBus->SioComPort1.SetOpen(true);
    } catch (const std::exception& e) {
      LinkMessageBox("Die Schnittstelle kann nicht geöffnet werden: " + LinkErrorText(e), ReadCaption,
                     TBoxKind::Error);
    }
  }
  CallHook(Hooks.RestartAcquisition);
}
