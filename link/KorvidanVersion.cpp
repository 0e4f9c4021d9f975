#include "link/KorvidanVersion.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <stdexcept>

#include "platform/Text.h"

const char* const VersionNoAnswerCaption = "Firmawareversion abfragen";
const char* const VersionNoAnswerText =
    "Korvidan antwortet nicht! Bitte Verbindung überprüfen !\n\n"
    "Eventuell verwenden Sie noch eine andere Version als 2.19 der korvidan Software !\n\n"
    "Dann müssen Sie auf den Menüpunkt 'korvidan programmieren' verzichten ! \n\n"
    "Bitte auf Version 2.19 aktualisieren ! ";
const char* const VersionReadErrorCaption = "Auslesefehler ";
const char* const VersionReadErrorText =
    "Fehler beim Auslesen der korvidan Firmware Version ! \n"
    "Bitte verwenden Sie nur Version 2.19 !\n"
    "Fehler Nr. 1 ";
const char* const VersionConvertErrorText = "Fehler bei Konvertierung korvidan firmware version !";
const char* const VersionCheckCaption = "Korvidan Version abfragen";
const char* const VersionCheckText =
    "Bitte verwenden Sie nur die korvidan Firmware Version 2.19 in Verbindung mit dralmit V0.19 !\n\n"
    "Ansonsten kann es beim Auslesen der Programmierdaten (Menüpunkt 'korvidan konfigurieren') "
    "Probleme geben ! ";

TTKorvidanVersion* KorvidanVersionQuery = nullptr;

namespace {

constexpr const char* TimerWindowClass = "TTKorvidanVersionTimer";
constexpr UINT GetVersionTimerId = 1;
// The part of a reply that is looked at, counted from the marker's first character.
constexpr std::size_t KeptReplyLength = 16;

template <class F, class... A>
void CallHook(const F& hook, A&&... args) {
  if (hook) hook(std::forward<A>(args)...);
}

bool HasLineEndAfter(const std::string& text, std::size_t pos) {
  return text.find_first_of("\r\n", pos) != std::string::npos;
}

}  // namespace

// ---------------------------------------------------------------------------
// Creation

TTKorvidanVersion::TTKorvidanVersion(TDataModule1& bus, TAcquisitionState& state)
    : FBus(bus),
      FState(state),
      FVersionEvent(false, false, VersionEventName),
      FVersionTerminateEvent(false, false, VersionTerminateEventName) {
  RegisterClass(TimerWindowClass, &TTKorvidanVersion::TimerWindowProc);
  FTimerWindow = CreateWindow(TimerWindowClass, this);
  FBus.Version = &FFlags;
  FBus.TransferHooks.ParseVersionReply = [this] { ParseVersionReply(); };
  if (!KorvidanVersionQuery) KorvidanVersionQuery = this;
}

TTKorvidanVersion::~TTKorvidanVersion() {
  FClosing = true;
  EnableTimer(false);
  // A thread still waiting for the reply is released; its first steps, should they still
  // be due, find the dialog closing and do nothing.
  if (FVersionThread.Valid() && !FVersionThread.Finished()) {
    FVersionEvent.SetEvent();
    FVersionThread.WaitFor();
  }
  if (FFlags.FWaitingVersion) RemoveVersionMarker();
  if (FBus.Version == &FFlags) FBus.Version = nullptr;
  FBus.TransferHooks.ParseVersionReply = nullptr;
  DestroyWindow(FTimerWindow);
  if (KorvidanVersionQuery == this) KorvidanVersionQuery = nullptr;
}

LRESULT TTKorvidanVersion::TimerWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_TIMER && wParam == GetVersionTimerId) {
    if (auto* dialog = static_cast<TTKorvidanVersion*>(GetWindowUserData(hwnd)))
      if (dialog->FTimerEnabled) dialog->GetVersionTimerTimer();
    return 0;
  }
  return DefWindowProc(hwnd, msg, wParam, lParam);
}

void TTKorvidanVersion::EnableTimer(bool on) {
  if (on == FTimerEnabled) return;
  FTimerEnabled = on;
  if (on)
    SetTimer(FTimerWindow, GetVersionTimerId, VersionRetryIntervalMs);
  else
    KillTimer(FTimerWindow, GetVersionTimerId);
}

void TTKorvidanVersion::RemoveVersionMarker() {
  const std::uint16_t handle = FTriggerHandle;
  FTriggerHandle = 0;
  if (FBus.Transfer) {
    FBus.Transfer->FTriggerHandle = 0;
    FBus.Transfer->FEndTriggerHandle = 0;
  }
  if (handle == 0) return;
  try {
    FBus.RemoveMarker(handle);
  } catch (const std::exception&) {
    // The port was closed meanwhile, and the trigger with it.
  }
}

// ---------------------------------------------------------------------------
// Handlers

void TTKorvidanVersion::OkButtonClick() {
  CallHook(Hooks.SetOkEnabled, false);
  FVersionThread = ThKorvidanVersion::Create(*this);
}

bool TTKorvidanVersion::StartQuery() {
  if (FClosing) return false;
  FVersionTerminateEvent.ResetEvent();
  FVersionEvent.ResetEvent();
  FFlags = TVersionQueryState{};
  FRetryCount = 0;
  FTriggerHandle = 0;

  try {
    // Opening the port may ask for its number: this runs on the window thread.
    if (FBus.SioComPort1.GetPortState() != psOpen) FBus.SioComPort1.SetOpen(true);
    if (FBus.SioComPort1.GetPortState() != psOpen)
      throw std::runtime_error("Die Schnittstelle ist nicht geöffnet.");
    FTriggerHandle = FBus.ArmMarker(MarkerVersion);
    if (FBus.Transfer) FBus.Transfer->FTriggerHandle = FTriggerHandle;
    FState.FInputBuffer.Clear();
    // Waiting before the request goes out: a quick reply must find the trigger armed
    // and the flag set.
    FFlags.FWaitingVersion = true;
    FBus.SendRequest(RequestVersion);
  } catch (const std::exception& e) {
    FFlags.FWaitingVersion = false;
    RemoveVersionMarker();  // armed or not yet: nothing else can hold its handle
    LinkMessageBox("Die Firmwareversion kann nicht abgefragt werden: " + LinkErrorText(e),
                   VersionNoAnswerCaption, TBoxKind::Error);
    CallHook(Hooks.ShowVerzichten);
    CallHook(Hooks.SetOkEnabled, true);
    FVersionEvent.SetEvent();
    return false;
  }
  EnableTimer(true);
  return true;
}

void TTKorvidanVersion::GetVersionTimerTimer() {
  // Sending lets the message queue run, and with it this timer: one tick at a time.
  if (FInTimer) return;
  FInTimer = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{FInTimer};
  ++FRetryCount;
  // A parsed reply ends the retries, whatever tick it came on.
  if (FFlags.FVersionDone) {
    EnableTimer(false);
    return;
  }
  const bool markerSeen = !FFlags.FWaitingVersion && FFlags.FVersionReceived;
  if (FRetryCount < VersionRetryLimit) {
    // While a reply is coming in, a new request would only send another one behind it.
    if (!markerSeen) FBus.SendRequest(RequestVersion);
    return;
  }
  if (markerSeen) {
    // The reply began but never ended its line: take what came.
    FFlags.FVersionReceived = false;
    ParseVersionReply(true);
    return;
  }

  const bool armed = FFlags.FWaitingVersion;
  FFlags.FWaitingVersion = false;
  EnableTimer(false);
  if (armed)
    RemoveVersionMarker();
  else
    FTriggerHandle = 0;
  LinkMessageBox(VersionNoAnswerText, VersionNoAnswerCaption, TBoxKind::Error);
  CallHook(Hooks.ShowVerzichten);
  LinkProcessMessages();
  FFlags.FVersionDone = false;
  FState.FInputBuffer.Clear();
  CallHook(Hooks.SetOkEnabled, true);
  FVersionEvent.SetEvent();
}

std::string TTKorvidanVersion::VersionText(const std::string& fromMarker) {
  const std::size_t markerLength = std::string(MarkerVersion).size();
  // The reply's line only: what comes behind its end may or may not be there yet when the
  // reply is read, and the version must not depend on it.
  const std::string kept =
      fromMarker.substr(0, std::min(KeptReplyLength, fromMarker.find_first_of("\r\n", markerLength)));
  const std::size_t v = kept.find('v', markerLength);
  if (v == std::string::npos) return kept.substr(0, 4);
  return kept.substr(v + 1, 4);
}

bool TTKorvidanVersion::ConvertVersion(const std::string& versionText, int& version) {
  std::string text = Trim(versionText);
  if (const std::size_t comma = text.find(','); comma != std::string::npos) text[comma] = '.';
  double value = 0.0;
  if (!TryStrToFloat(text, value) || !std::isfinite(value) || value < 0.0 || value > 1.0e6) return false;
  version = static_cast<int>(value * 100.0 + 0.1);
  return true;
}

void TTKorvidanVersion::ParseVersionReply(bool force) {
  std::string text = FState.FInputBuffer.Joined();
  const std::size_t marker = text.find(MarkerVersion);
  if (!force && marker != std::string::npos &&
      !HasLineEndAfter(text, marker + std::string(MarkerVersion).size())) {
    // The rest of the reply is still on its way: look again with the next chunk.
    FFlags.FVersionReceived = true;
    return;
  }
  FState.FInputBuffer.Clear();
  // Whatever the outcome, the query has its answer: no more retries.  The bus module
  // removed the marker trigger when it fired.
  EnableTimer(false);
  FTriggerHandle = 0;

  if (marker == std::string::npos) {
    FFlags.FVersionDone = false;
    LinkMessageBox(VersionReadErrorText, VersionReadErrorCaption, TBoxKind::Error);
    FFirmwareVersion = SupportedFirmwareVersion;
    FinishQuery();
    return;
  }

  FFlags.FVersionDone = true;
  const std::string versionText = VersionText(text.substr(marker));
  LinkMessageBox("korvidan Firmware Version : " + Cp1252ToUtf8(versionText));

  int version = 0;
  if (ConvertVersion(versionText, version)) {
    FFirmwareVersion = version;
  } else {
    LinkMessageBox(VersionConvertErrorText);
    FFirmwareVersion = SupportedFirmwareVersion;
  }

  if (FFirmwareVersion >= SupportedFirmwareVersion) {
    CallHook(Hooks.EnableProgrammingRead);
    LinkMessageBox(VersionCheckText, VersionCheckCaption, TBoxKind::Error);
  } else {
    // An older firmware is warned about but kept as it is: the programming transfer
    // decides the byte order of the floats by it.
    LinkMessageBox(VersionCheckText, VersionCheckCaption, TBoxKind::Error);
  }
  FinishQuery();
}

void TTKorvidanVersion::FinishQuery() {
  FVersionEvent.SetEvent();
  CallHook(Hooks.CloseDialog);
}

void TTKorvidanVersion::verzichtenClick() {
  // A query that is still running is ended first.
  if (FTimerEnabled || FFlags.FWaitingVersion) {
    EnableTimer(false);
    if (FFlags.FWaitingVersion) {
      FFlags.FWaitingVersion = false;
      RemoveVersionMarker();
    }
    FFlags.FVersionReceived = false;
    FVersionEvent.SetEvent();
  }
  CallHook(Hooks.DisableProgrammingMenu);
  CallHook(Hooks.CloseDialog);
  LinkProcessMessages();
  FVersionTerminateEvent.SetEvent();
}

void TTKorvidanVersion::dm_beendenClick() { CallHook(Hooks.Terminate); }

// ---------------------------------------------------------------------------
// The query thread

ThKorvidanVersion::ThKorvidanVersion(TTKorvidanVersion& dialog) : TThread(false), FDialog(dialog) {
  SetFreeOnTerminate(true);
}

TThreadHandle ThKorvidanVersion::Create(TTKorvidanVersion& dialog) {
  auto* thread = new ThKorvidanVersion(dialog);
  TThreadHandle handle = thread->Handle();
  thread->Start();
  return handle;
}

void ThKorvidanVersion::Execute() {
  // The events by name: they outlive the dialog object should it go first.
  TEvent versionEvent(false, false, VersionEventName);
  TEvent terminateEvent(false, false, VersionTerminateEventName);
  // The port, its triggers and its hidden window belong to the window thread.
  Synchronize([this] { FDialog.StartQuery(); });
  versionEvent.WaitFor(INFINITE);
  terminateEvent.SetEvent();
}
