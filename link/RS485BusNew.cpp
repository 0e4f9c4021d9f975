#include "link/RS485BusNew.h"

#include <algorithm>
#include <exception>

#include "link/SensorRecords.h"
#include "link/Tkorvidan.h"
#include "platform/Messages.h"
#include "platform/Text.h"
#include "platform/Threads.h"
#include "serial/SioMisc.h"

const char* const MarkerDataRam = "Data RAM:";
const char* const MarkerEndRam = "End RAM";
const char* const MarkerSocketData = "Socket Data";
const char* const MarkerSocketEnd = "Socket End";
const char* const MarkerReceiveStart = "Receive Start";
const char* const MarkerCheckSum = "CheckSum";
const char* const MarkerStoreStart = "-------------";
const char* const MarkerStoreEnd = "END";
const char* const MarkerVersion = "korvidan";

const std::array<std::string, 4> ProgressPatterns = {"1000100010001000", "0100010001000100",
                                                     "0010001000100010", "0001000100010001"};

namespace {

constexpr const char* TimerWindowClass = "TDataModule1Timer";
constexpr UINT Timer1Id = 1;
constexpr DWORD Timer1IntervalMs = 1000;
// To the module's window: close the port whose device has gone; open it again.
constexpr UINT WmCloseLostPort = WM_USER + 1;
constexpr UINT WmReopenLostPort = WM_USER + 2;
// The line errors watched on the bus port: a break, which is also how a device that goes
// away is reported.
constexpr std::uint16_t LineErrorBreak = 8;

template <class F, class... A>
void CallHook(const F& hook, A&&... args) {
  if (hook) hook(std::forward<A>(args)...);
}

}  // namespace

// ---------------------------------------------------------------------------
// Creation

TDataModule1::TDataModule1(TAcquisitionState& state, std::uint16_t comNumber)
    : SioComPort1(this), FState(state) {
  RegisterClass(TimerWindowClass, &TDataModule1::TimerWindowProc);
  FTimerWindow = CreateWindow(TimerWindowClass, this);
  SetTimer(FTimerWindow, Timer1Id, Timer1IntervalMs);

  TIdent::WriteIDHandler = [this](const std::string& command) {
    LinkMessageBox("WriteID: Command = " + command);
    return SendCommandWait(Utf8ToCp1252(command));
  };

  // The port as the stored form describes it; opened when loading ends.
  SioComPort1.ComponentState |= csLoading;
  SioComPort1.SetComNumber(comNumber);
  SioComPort1.SetBaud(9600);
  SioComPort1.SetRTS(false);
  SioComPort1.SetRS485Mode(true);
  SioComPort1.SetTraceName("SIO.TRC");
  SioComPort1.SetLogName("SIO.LOG");
  SioComPort1.SetLogging(tlOn);
  SioComPort1.SetOpen(true);
  SioComPort1.SetOnTriggerAvail(
      [this](TSioCustomComPort* cp, std::uint16_t count) { SioComPort1TriggerAvail(cp, count); });
  SioComPort1.SetOnTriggerData(
      [this](TSioCustomComPort* cp, std::uint16_t handle) { SioComPort1TriggerData(cp, handle); });
  SioComPort1.SetOnTriggerTimer(
      [this](TSioCustomComPort* cp, std::uint16_t handle) { SioComPort1TriggerTimer(cp, handle); });
  SioComPort1.SetOnTriggerLineError([this](TSioCustomComPort* cp, std::uint16_t error, bool lineBreak) {
    SioComPort1TriggerLineError(cp, error, lineBreak);
  });
  SioComPort1.RegisterUserCallback(TPortCallback::Of<&TDataModule1::PortUsersCallback>(this));
  SioComPort1.Loaded();
}

TDataModule1::~TDataModule1() {
  KillTimer(FTimerWindow, Timer1Id);
  DestroyWindow(FTimerWindow);
  // Close while the members that the close notifies still exist.
  try {
    SioComPort1.SetOpen(false);
  } catch (const std::exception& e) {
    SioHandleException(e);
  }
  SioComPort1.DeregisterUserCallback(TPortCallback::Of<&TDataModule1::PortUsersCallback>(this));
  TIdent::WriteIDHandler = nullptr;
}

LRESULT TDataModule1::TimerWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* module = static_cast<TDataModule1*>(GetWindowUserData(hwnd));
  if (module == nullptr) return DefWindowProc(hwnd, msg, wParam, lParam);
  switch (msg) {
    case WM_TIMER:
      if (wParam != Timer1Id) break;
      module->Timer1Timer();
      return 0;
    case WmCloseLostPort:
      module->CloseLostPort();
      return 0;
    case WmReopenLostPort:
      module->ReopenLostPort();
      return 0;
    default:
      break;
  }
  return DefWindowProc(hwnd, msg, wParam, lParam);
}

void TDataModule1::PortUsersCallback(TSioCustomComPort* CP, bool opening) {
  {
    std::lock_guard<std::mutex> g(FFlushLock);
    FFlushDispatcher = opening ? CP->Dispatcher() : nullptr;
  }
  if (!opening) return;
  FDeviceLost.store(false);
  // Every open watches for the loss of the device anew: the watch fires once per arming, and
  // the port keeps its triggers across a close.
  try {
    if (FLineErrorTrigger == 0) FLineErrorTrigger = CP->AddStatusTrigger(stLine);
    CP->SetStatusTrigger(FLineErrorTrigger, LineErrorBreak, true);
  } catch (const std::exception& e) {
    SioHandleException(e);
  }
}

// ---------------------------------------------------------------------------
// A device that goes away
//
// A bus port whose device has gone (the far end hung up, the adapter was unplugged) is
// closed, so that the dead device is let go; the acquisition's next poll has it opened again
// on the window thread, quietly, until the device is back. Meanwhile the polls hear nothing
// and say so as always.

void TDataModule1::SioComPort1TriggerLineError(TSioCustomComPort* CP, std::uint16_t, bool) {
  if (CP->GetDeviceGone()) {
    // Closed after this event, not inside it.
    PostMessage(FTimerWindow, WmCloseLostPort, 0, 0);
    return;
  }
  // A break on a line that is still there: go on watching.
  if (FLineErrorTrigger != 0) CP->SetStatusTrigger(FLineErrorTrigger, LineErrorBreak, true);
}

void TDataModule1::CloseLostPort() {
  if (!PortIsOpen() || !SioComPort1.GetDeviceGone()) return;
  FDeviceLost.store(true);
  try {
    SioComPort1.SetOpen(false);
  } catch (const std::exception& e) {
    SioHandleException(e);  // the dispatch log could not be written; the port is closed
  }
}

void TDataModule1::ReopenLostPort() {
  if (!FDeviceLost.load() || SioComPort1.GetPortState() != psClosed) return;
  try {
    SioComPort1.SetOpen(true);
  } catch (const std::exception&) {
    return;  // still away: the next poll tries again
  }
  // What the device held from before this poll is not this poll's.
  try {
    SioComPort1.FlushInBuffer();
  } catch (const std::exception&) {
  }
}

// ---------------------------------------------------------------------------
// Handlers

void TDataModule1::Timer1Timer() { FState.IncSecondsCounter(); }

void TDataModule1::SioComPort1TriggerAvail(TSioCustomComPort* CP, std::uint16_t Count) {
  TSioCustomComPort& port = CP ? *CP : SioComPort1;
  const std::uint32_t present = port.GetInBuffUsed();
  std::string text(std::min<std::uint32_t>(Count, present), '\0');
  if (!text.empty()) {
    const int got = port.GetBlock(text.data(), static_cast<std::uint16_t>(text.size()));
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  }
  FState.FInputBuffer.Add(std::move(text));

  if (Version && Version->FVersionReceived) {
    Version->FVersionReceived = false;
    CallHook(TransferHooks.ParseVersionReply);
  }
  TBusTransferState* t = Transfer;
  if (t == nullptr) return;
  if (t->FReceivingRam || t->FReceivingSockets) CallHook(TransferHooks.CollectReceived);
  if (t->FReceiveStarted && !t->FSendStarted) {
    t->FSendStarted = true;
    CallHook(TransferHooks.SendBlocks);
  }
  if (t->FChecksumReceived) {
    t->FChecksumReceived = false;
    t->FReceiveStarted = false;
    CallHook(TransferHooks.CheckChecksumReply);
  }
  if (t->FStoreReceiving) {
    const int pattern = std::clamp(t->FPatternCounter / 20, 0, 3);
    CallHook(TransferHooks.ShowProgressPattern, ProgressPatterns[static_cast<std::size_t>(pattern)]);
    t->FPatternCounter = t->FPatternCounter >= 79 ? 0 : t->FPatternCounter + 1;
  }
  if (t->FStoreComplete) CallHook(TransferHooks.ShowStoredData);
}

void TDataModule1::SioComPort1TriggerData(TSioCustomComPort*, std::uint16_t TriggerHandle) {
  auto remove = [&] { RemoveMarker(TriggerHandle); };
  TBusTransferState* t = Transfer;

  if (Version && Version->FWaitingVersion) {
    remove();
    if (t) t->FTriggerHandle = 0;
    Version->FWaitingVersion = false;
    Version->FVersionReceived = true;
    return;
  }
  if (t == nullptr) return;
  if (t->FWaitingDataRam) {
    remove();
    t->FTriggerHandle = 0;
    t->FReceivingRam = true;
    t->FWaitingDataRam = false;
    CallHook(TransferHooks.SetReadProgress, 0);
    t->FEndTriggerHandle = ArmMarker(MarkerEndRam);
  } else if (t->FReceivingRam) {
    remove();
    t->FReceivingRam = false;
    t->FEndTriggerHandle = 0;
    t->FRamComplete = true;
    t->FTriggerHandle = ArmMarker(MarkerSocketData);
    t->FWaitingSocketData = true;
  } else if (t->FWaitingSocketData && !t->FReceivingSockets) {
    remove();
    t->FTriggerHandle = 0;
    t->FWaitingSocketData = false;
    t->FEndTriggerHandle = ArmMarker(MarkerSocketEnd);
    t->FReceivingSockets = true;
  } else if (t->FReceivingSockets) {
    remove();
    t->FEndTriggerHandle = 0;
    t->FDumpComplete = true;
  } else if (t->FWaitingReceiveStart) {
    remove();
    t->FTriggerHandle = 0;
    t->FWaitingReceiveStart = false;
    t->FReceiveStarted = true;
  } else if (t->FWaitingChecksum) {
    remove();
    t->FTriggerHandle = 0;
    t->FChecksumReceived = true;
    t->FWaitingChecksum = false;
  } else if (t->FWaitingStoreStart) {
    remove();
    t->FTriggerHandle = 0;
    t->FWaitingStoreStart = false;
    t->FStoreReceiving = true;
    t->FEndTriggerHandle = ArmMarker(MarkerStoreEnd);
    CallHook(TransferHooks.ShowStoreStatus, std::string("Empfange Daten..."));
  } else if (t->FStoreReceiving) {
    remove();
    t->FEndTriggerHandle = 0;
    t->FStoreReceiving = false;
    t->FStoreComplete = true;
  }
}

void TDataModule1::SioComPort1TriggerTimer(TSioCustomComPort*, std::uint16_t TriggerHandle) {
  if (FReplyTimeoutTrigger == 0 || TriggerHandle != FReplyTimeoutTrigger) return;
  LinkMessageBox("Fehler bei Datenübertragung! Timeout! Verbindung überprüfen und korvidan neu starten",
                 "Senden der Daten", TBoxKind::Error);
  LinkProcessMessages();
  CallHook(TransferHooks.ReplyTimedOut);
}

// ---------------------------------------------------------------------------
// Sending

int TDataModule1::SendCommandWait(std::string_view text) {
  if (SioComPort1.GetOutBuffFree() < text.size() + 3) return -1;
  SioComPort1.PutString(text);
  LinkProcessMessages();
  DelayMS(CommandWaitPauseMs);
  return 0;
}

int TDataModule1::SendCommand(std::string_view text) {
  if (SioComPort1.GetOutBuffFree() < text.size() + 3) return -1;
  SioComPort1.PutString(text);
  LinkProcessMessages();
  return 0;
}

int TDataModule1::SendLineFeed() {
  SioComPort1.PutChar('\n');
  LinkProcessMessages();
  return 0;
}

int TDataModule1::SendHexPair(std::string_view pair) {
  DelayMS(HexPairPauseMs);
  if (SioComPort1.GetOutBuffFree() <= 1) return -1;
  SioComPort1.PutString(pair);
  LinkProcessMessages();
  return 0;
}

void TDataModule1::SendRequest(char letter) {
  SendLineFeed();
  DelayMS(RequestCharPauseMs);
  SendCommand("D");
  DelayMS(RequestCharPauseMs);
  SendCommand(std::string_view(&letter, 1));
  DelayMS(RequestCharPauseMs);
  SendLineFeed();
}

std::uint16_t TDataModule1::ArmMarker(std::string_view marker) {
  return SioComPort1.AddDataTrigger(marker, false);
}

void TDataModule1::RemoveMarker(std::uint16_t handle) {
  if (handle != 0) SioComPort1.RemoveTrigger(handle);
}

void TDataModule1::StartReplyTimeout() {
  // One timer trigger serves every write: arming it again restarts it.
  if (FReplyTimeoutTrigger != 0) {
    try {
      SioComPort1.SetTimerTrigger(FReplyTimeoutTrigger, ReplyTimeoutTicks, true);
      return;
    } catch (const std::exception&) {
      FReplyTimeoutTrigger = 0;  // gone with a closed port: add a new one
    }
  }
  FReplyTimeoutTrigger = SioComPort1.AddTimerTrigger();
  SioComPort1.SetTimerTrigger(FReplyTimeoutTrigger, ReplyTimeoutTicks, true);
}

void TDataModule1::StopReplyTimeout() {
  if (FReplyTimeoutTrigger != 0 && PortIsOpen())
    SioComPort1.SetTimerTrigger(FReplyTimeoutTrigger, ReplyTimeoutTicks, false);
}

// ---------------------------------------------------------------------------
// Controllers

int TDataModule1::ScanBus(TControllerList& list) {
  auto* controller = new TKorvidan(0);
  controller->GetIdent()->SetName("Korvidan1");
  {
    std::lock_guard<TCriticalSection> g(SensorDataLock);
    list.SetController(0, controller);
    list.SetControllerCount(1);
  }
  CallHook(FillDeviceTabs);
  return 1;
}

void TDataModule1::FlushPortInput() {
  std::lock_guard<std::mutex> g(FFlushLock);
  if (FFlushDispatcher) FFlushDispatcher->FlushInBuffer();
}

int TDataModule1::PollController(TControllerList& list, int index) {
  TKorvidan* controller = list.GetController(index);
  if (controller == nullptr) return 0;

  FlushPortInput();
  FState.FInputBuffer.Clear();
  {
    std::lock_guard<TCriticalSection> g(SensorDataLock);
    controller->ClearSensors();
  }
  if (FDeviceLost.load()) PostMessage(FTimerWindow, WmReopenLostPort, 0, 0);

  ListenAndLog(ListenMilliseconds);
  ListenAndLog(1);

  std::vector<std::string> records;
  if (!SplitRecords(records)) {
    std::lock_guard<TCriticalSection> g(SensorDataLock);
    controller->StampTime();
    return 0;
  }
  FState.SetDataReceived(true);
  const int result = ConvertSensorRecords(records, *controller);
  if (result == 0) {
    std::lock_guard<TCriticalSection> g(SensorDataLock);
    controller->StampTime();
  }
  return result;
}

void TDataModule1::ListenAndLog(int milliseconds) {
  if (milliseconds > 0) Sleep(static_cast<DWORD>(milliseconds));
  LinkTestMemoLine("InputBuffer = " + Cp1252ToUtf8(FState.FInputBuffer.Text()));
}

bool TDataModule1::SplitRecords(std::vector<std::string>& records) {
  if (!CutSensorRecords(FState.FInputBuffer.Lines(), records)) {
    LinkMessageBox(NoDataMessage);
    return false;
  }
  return true;
}

int TDataModule1::ConvertSensorRecords(const std::vector<std::string>& records, TKorvidan& controller) {
  return ConvertRecords(records, controller, SensorDataLock,
                        [](const std::string& text) { LinkMessageBox(text); });
}
