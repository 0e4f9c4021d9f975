// The protocol component, the status display base and the history log.
#include "transfer/SioProtocol.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/Text.h"
#include "serial/SioStrRes.h"
#include "serial/Sioexcept.h"
#include "transfer/Swbplus.h"
#include "transfer/Swkermit.h"
#include "transfer/Swxmodem.h"
#include "transfer/Swymodem.h"
#include "transfer/Swzmodem.h"

// ---------------------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------------------
std::string ProtocolName(TProtocolType type) {
  switch (type) {
    case ptXmodem:
      return "Xmodem";
    case ptXmodemCRC:
      return "XmodemCRC";
    case ptXmodem1K:
      return "Xmodem1K";
    case ptXmodem1KG:
      return "Xmodem1KG";
    case ptYmodem:
      return "Ymodem";
    case ptYmodemG:
      return "YmodemG";
    case ptZmodem:
      return "Zmodem";
    case ptKermit:
      return "Kermit";
    case ptAscii:
      return "Ascii";
    case ptBPlus:
      return "B+";
    default:
      return "None";
  }
}

std::string CheckNameString(TBlockCheckMethod method) {
  switch (method) {
    case bcmChecksum:
      return "Checksum";
    case bcmChecksum2:
      return "Checksum2";
    case bcmCrc16:
      return "Crc16";
    case bcmCrc32:
      return "Crc32";
    case bcmCrcK:
      return "CrcKermit";
    default:
      return "No check";
  }
}

std::string FormatMinSec(std::int32_t secs) {
  if (secs < 0) secs = 0;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d:%02d", secs / 60, secs % 60);
  std::string s = buf;
  if (s.size() < 6) s.insert(0, 6 - s.size(), ' ');
  return s;
}

namespace {

// Elapsed seconds of a number of ticks.
std::int32_t TicksToSecs(std::int32_t ticks) {
  return static_cast<std::int32_t>((static_cast<std::int64_t>(ticks) + 9) * 92 / 1675);
}

// Depth first through the owner's components: the first T whose Protocol is not yet set.
template <class T>
T* FindFree(TSioComponentOwner* owner) {
  if (!owner) return nullptr;
  for (int i = 0; i < owner->ComponentCount(); ++i) {
    TSioComponentOwner* c = owner->Components(i);
    if (auto* t = dynamic_cast<T*>(c); t && t->GetProtocol() == nullptr) return t;
    if (T* t = FindFree<T>(c)) return t;
  }
  return nullptr;
}

struct Engine {
  PrepareProc PrepareReceive;
  TSioNotifyProc Receive;
  PrepareProc PrepareTransmit;
  TSioNotifyProc Transmit;
};

bool EngineOf(TProtocolType type, Engine& e) {
  switch (type) {
    case ptXmodem:
    case ptXmodemCRC:
    case ptXmodem1K:
    case ptXmodem1KG:
      e = {xpPrepareReceive, xpReceive, xpPrepareTransmit, xpTransmit};
      return true;
    case ptYmodem:
    case ptYmodemG:
      e = {ypPrepareReceive, ypReceive, ypPrepareTransmit, ypTransmit};
      return true;
    case ptZmodem:
      e = {zpPrepareReceive, zpReceive, zpPrepareTransmit, zpTransmit};
      return true;
    case ptKermit:
      e = {kpPrepareReceive, kpReceive, kpPrepareTransmit, kpTransmit};
      return true;
    case ptAscii:
      e = {spPrepareReceive, spReceive, spPrepareTransmit, spTransmit};
      return true;
    case ptBPlus:
      e = {bpPrepareReceive, bpReceive, bpPrepareTransmit, bpTransmit};
      return true;
    default:
      return false;
  }
}

std::once_flag classOnce;

}  // namespace

// ---------------------------------------------------------------------------------------
// Status display base
// ---------------------------------------------------------------------------------------
TSioAbstractStatus::TSioAbstractStatus(TSioComponentOwner* owner) : TSioComponentOwner(owner) {}

TSioAbstractStatus::~TSioAbstractStatus() { SetProtocol(nullptr); }

void TSioAbstractStatus::InitDisplay() {
  CreateDisplay();
  TPosition position;
  bool ctl3d, visible;
  std::string caption;
  if (ReadDisplay(position, ctl3d, visible, caption)) {
    FPosition = position;
    FCtl3D = ctl3d;
    FVisible = visible;
    FCaption = caption;
  }
  SetCaption("Protocol Status");
}

void TSioAbstractStatus::SetPosition(TPosition v) {
  FPosition = v;
  DisplayPosition(v);
}
void TSioAbstractStatus::SetCtl3D(bool v) {
  FCtl3D = v;
  DisplayCtl3D(v);
}
void TSioAbstractStatus::SetVisible(bool v) {
  FVisible = v;
  DisplayVisible(v);
}
void TSioAbstractStatus::SetCaption(std::string_view v) {
  FCaption = v;
  DisplayCaption(FCaption);
}
void TSioAbstractStatus::Show() { DisplayShow(); }

void TSioAbstractStatus::SetProtocol(TSioCustomProtocol* protocol) {
  if (protocol == FProtocol) return;
  TSioCustomProtocol* old = FProtocol;
  FProtocol = protocol;
  if (old && old->FStatusDisplay == this) old->FStatusDisplay = nullptr;
  if (protocol) {
    if (protocol->FStatusDisplay && protocol->FStatusDisplay != this)
      protocol->FStatusDisplay->FProtocol = nullptr;
    protocol->FStatusDisplay = this;
  }
}

void TSioAbstractStatus::Notification(TSioComponentOwner* component, TSioOperation operation) {
  if (operation == opRemove && component && component == FProtocol) SetProtocol(nullptr);
}

// ---------------------------------------------------------------------------------------
// History log
// ---------------------------------------------------------------------------------------
TSioProtocolLog::TSioProtocolLog(TSioComponentOwner* owner) : TSioComponentOwner(owner) {}

TSioProtocolLog::~TSioProtocolLog() { SetProtocol(nullptr); }

void TSioProtocolLog::SetProtocol(TSioCustomProtocol* protocol) {
  if (protocol == FProtocol) return;
  TSioCustomProtocol* old = FProtocol;
  FProtocol = protocol;
  if (old && old->FProtocolLog == this) old->FProtocolLog = nullptr;
  if (protocol) {
    if (protocol->FProtocolLog && protocol->FProtocolLog != this) protocol->FProtocolLog->FProtocol = nullptr;
    protocol->FProtocolLog = this;
  }
}

void TSioProtocolLog::Notification(TSioComponentOwner* component, TSioOperation operation) {
  if (operation == opRemove && component && component == FProtocol) SetProtocol(nullptr);
}

void TSioProtocolLog::UpdateLog(std::uint16_t log) {
  if (FHistoryName.empty() || !FProtocol || log > lfTransmitSkip) return;
  TSioCustomProtocol& CP = *FProtocol;
  TProtocolData& P = CP.Data();
  const std::string eol = "\r\n";
  const std::string N = ProtocolName(CP.GetProtocolType());
  const std::string D = log <= lfReceiveSkip ? " receive " : " transmit ";
  const std::string F = CP.GetFileName();
  const std::string status = TSioCustomProtocol::StatusMsg(CP.GetProtocolStatus());
  // A failure names the error that ended the run; the status may still tell of the last
  // packet or be "OK".
  const std::string failure = P.ProtocolError != 0 ? SioLoadStrUtf8(P.ProtocolError) : status;
  std::string line;
  switch (log) {
    case lfReceiveStart:
    case lfTransmitStart:
      line = N + D + "started on  " + DateTimeToStr(Now()) + " : " + F + eol;
      break;
    case lfReceiveOk:
    case lfTransmitOk: {
      const std::int32_t secs = TicksToSecs(P.ElapsedTicks);
      const std::int32_t cps = P.ElapsedTicks >= 18 && secs > 0 ? P.FileLength / secs : P.FileLength;
      line = N + D + "finished OK " + DateTimeToStr(Now()) + " : " + F + eol +
             "   Elapsed time: " + FormatMinSec(secs) + "   CPS: " + std::to_string(cps) +
             "   Size: " + std::to_string(P.FileLength) + "\r\n" + eol;
      break;
    }
    case lfReceiveFail:
      line = N + " receive failed " + F + " " + failure + "\r\n" + eol;
      break;
    case lfReceiveSkip:
      line = N + " receive skipped " + F + " " + status + "\r\n" + eol;
      break;
    case lfTransmitFail:
      line = N + " transmit failed " + F + " " + failure + "\r\n" + eol;
      break;
    case lfTransmitSkip:
      line = N + " transmit skipped " + F + " " + status + "\r\n" + eol;
      break;
    default:
      return;
  }
  // The history is a file of the system: Windows-1252.
  const std::string bytes = Utf8ToCp1252(line);
  int fd = ::open(FHistoryName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int code = SioErrorFromErrno(errno, true);
    RaiseSioException(code ? code : -5);
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (w <= 0) break;
    done += static_cast<std::size_t>(w);
  }
  ::close(fd);
  // A failed receive leaves a partial file; ZModem and B+ can resume from it. Only a file
  // that this run created is ever deleted, never a file that was skipped or was there.
  if (log == lfReceiveFail && P.FileCreated && P.ProtocolError != ecCantWriteFile && !P.FileOpen) {
    const TProtocolType t = CP.GetProtocolType();
    const bool resumable = t == ptZmodem || t == ptBPlus;
    if (FDeleteFailed == dfAlways || (FDeleteFailed == dfNonRecoverable && !resumable)) {
      ::unlink(F.c_str());
      P.FileCreated = false;
    }
  }
}

// ---------------------------------------------------------------------------------------
// The component
// ---------------------------------------------------------------------------------------
TSioCustomProtocol::TSioCustomProtocol(TSioComponentOwner* owner) : TSioComponentOwner(owner) {
  Check(apInitProtocolData(FP, nullptr, 0));
  FP->HandshakeWait = 182;
  FP->HandshakeRetry = 10;
  FP->TransmitTimeout = 1092;
  FP->FinishWait = 364;
  FP->StatusInterval = 18;
  FP->TurnDelay = 0;
  FP->Overhead = 0;
  FP->UpcaseFileNames = true;
  FP->Options = 0;
  FComPort = SearchComPort(owner);
  if (TSioAbstractStatus* s = FindFree<TSioAbstractStatus>(owner)) s->SetProtocol(this);
  if (TSioProtocolLog* l = FindFree<TSioProtocolLog>(owner)) l->SetProtocol(this);
  if (Designing()) {
    if (InitEngine(ptZmodem) == 0) {
      FProtocolType = ptZmodem;
      PushStoredValues();
    }
    return;
  }
  std::call_once(classOnce, [] { RegisterClass(ProtocolWindowClassName, &TSioCustomProtocol::WindowProc); });
  FWindow = CreateWindow(ProtocolWindowClassName, this);
  if (!FWindow) {
    apDoneProtocol(FP);
    RaiseSioException(ecInternal);
  }
  apSetProtocolWindow(*FP, FWindow);
  FProtocolType = ptNoProtocol;
}

TSioCustomProtocol::~TSioCustomProtocol() {
  ComponentState |= csDestroying;
  if (FStatusDisplay) FStatusDisplay->SetProtocol(nullptr);
  if (FProtocolLog) FProtocolLog->SetProtocol(nullptr);
  if (FWindow) {
    SetWindowUserData(FWindow, nullptr);
    DestroyWindow(FWindow);
    FWindow = 0;
  }
  StopRun();
  apDoneProtocol(FP);
}

void TSioCustomProtocol::Assign(const TSioCustomProtocol& source) {
  if (&source == this) return;
  SetProtocolType(ptNoProtocol);
  apCopySettings(*FP, *source.FP);
  apSetProtocolWindow(*FP, FWindow);
  FComPort = source.FComPort;
  FTakeBaud = source.FTakeBaud;
  FXYmodemBlockWait = source.FXYmodemBlockWait;
  FZmodemOptionOverride = source.FZmodemOptionOverride;
  FZmodemSkipNoFile = source.FZmodemSkipNoFile;
  FZmodemFileOption = source.FZmodemFileOption;
  FZmodemRecover = source.FZmodemRecover;
  FZmodem8K = source.FZmodem8K;
  FZmodemFinishRetry = source.FZmodemFinishRetry;
  FKermitMaxLen = source.FKermitMaxLen;
  FKermitMaxWindows = source.FKermitMaxWindows;
  FKermitSWCTurnDelay = source.FKermitSWCTurnDelay;
  FKermitTimeoutSecs = source.FKermitTimeoutSecs;
  FKermitPadCharacter = source.FKermitPadCharacter;
  FKermitPadCount = source.FKermitPadCount;
  FKermitTerminator = source.FKermitTerminator;
  FKermitCtlPrefix = source.FKermitCtlPrefix;
  FKermitHighbitPrefix = source.FKermitHighbitPrefix;
  FKermitRepeatPrefix = source.FKermitRepeatPrefix;
  FAsciiCharDelay = source.FAsciiCharDelay;
  FAsciiLineDelay = source.FAsciiLineDelay;
  FAsciiEOLChar = source.FAsciiEOLChar;
  FAsciiCRTranslation = source.FAsciiCRTranslation;
  FAsciiLFTranslation = source.FAsciiLFTranslation;
  FAsciiEOFTimeout = source.FAsciiEOFTimeout;
  FOnProtocolAccept = source.FOnProtocolAccept;
  FOnProtocolError = source.FOnProtocolError;
  FOnProtocolFinish = source.FOnProtocolFinish;
  FOnProtocolLog = source.FOnProtocolLog;
  FOnProtocolNextFile = source.FOnProtocolNextFile;
  FOnProtocolResume = source.FOnProtocolResume;
  FOnProtocolStatus = source.FOnProtocolStatus;
  SetProtocolType(source.FProtocolType);
}

void TSioCustomProtocol::Notification(TSioComponentOwner* component, TSioOperation operation) {
  if (!component) return;
  if (operation == opRemove) {
    if (component == FComPort) SetComPort(nullptr);
    if (FStatusDisplay && component == FStatusDisplay) FStatusDisplay->SetProtocol(nullptr);
    if (FProtocolLog && component == FProtocolLog) FProtocolLog->SetProtocol(nullptr);
    return;
  }
  if (auto* port = dynamic_cast<TSioCustomComPort*>(component); port && !FComPort) SetComPort(port);
  if (auto* s = dynamic_cast<TSioAbstractStatus*>(component); s && !s->GetProtocol() && !FStatusDisplay)
    s->SetProtocol(this);
  if (auto* l = dynamic_cast<TSioProtocolLog*>(component); l && !l->GetProtocol() && !FProtocolLog)
    l->SetProtocol(this);
}

template <class F>
void TSioCustomProtocol::Fire(F&& f) {
  // A handler's exception goes to the application, never back into the engine.
  SioGuarded(std::forward<F>(f));
}

// ----- notices -----
bool TSioCustomProtocol::apwProtocolAccept(char* name) {
  bool accept = true;
  std::string fname = name;
  if (FOnProtocolAccept) Fire([&] { FOnProtocolAccept(this, accept, fname); });
  if (accept && !fname.empty()) CopyToBufferZ(name, apMaxPath, fname);
  return accept;
}

void TSioCustomProtocol::apwProtocolError(int errorCode) {
  if (FOnProtocolError) Fire([&] { FOnProtocolError(this, errorCode); });
}

void TSioCustomProtocol::apwProtocolFinish(int errorCode) {
  if (FOnProtocolFinish) Fire([&] { FOnProtocolFinish(this, errorCode); });
}

void TSioCustomProtocol::apwProtocolLog(std::uint16_t log) {
  if (FProtocolLog) Fire([&] { FProtocolLog->UpdateLog(log); });
  if (FOnProtocolLog) Fire([&] { FOnProtocolLog(this, log); });
}

bool TSioCustomProtocol::apwProtocolNextFile(char* buffer) {
  std::string name;
  if (FOnProtocolNextFile) {
    Fire([&] { FOnProtocolNextFile(this, name); });
  } else {
    char found[apMaxPath] = {};
    if (apNextFileMask(*FP, found)) name = found;
  }
  if (name.empty()) return false;
  CopyToBufferZ(buffer, apMaxPath, name);
  return true;
}

TWriteFailAction TSioCustomProtocol::apwProtocolResume(TWriteFailAction proposed) {
  TWriteFailAction action = proposed;
  if (FOnProtocolResume) Fire([&] { FOnProtocolResume(this, action); });
  return action;
}

void TSioCustomProtocol::apwProtocolStatus(std::uint16_t options) {
  if (FStatusDisplay)
    Fire([&] { FStatusDisplay->UpdateDisplay((options & apFirstCall) != 0, (options & apLastCall) != 0); });
  if (FOnProtocolStatus) Fire([&] { FOnProtocolStatus(this, options); });
}

LRESULT TSioCustomProtocol::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = static_cast<TSioCustomProtocol*>(GetWindowUserData(hwnd));
  if (!self) return DefWindowProc(hwnd, msg, wParam, lParam);
  switch (msg) {
    case apw_ProtocolStatus:
      self->apwProtocolStatus(static_cast<std::uint16_t>(wParam));
      return 0;
    case apw_ProtocolLog:
      self->apwProtocolLog(static_cast<std::uint16_t>(wParam));
      return 0;
    case apw_ProtocolNextFile:
      return self->apwProtocolNextFile(reinterpret_cast<char*>(lParam)) ? 1 : 0;
    case apw_ProtocolAcceptFile:
      return self->apwProtocolAccept(reinterpret_cast<char*>(lParam)) ? 1 : 0;
    case apw_ProtocolFinish:
      self->apwProtocolFinish(static_cast<int>(static_cast<std::intptr_t>(wParam)));
      return 0;
    case apw_ProtocolResume:
      return self->apwProtocolResume(static_cast<TWriteFailAction>(wParam));
    case apw_ProtocolError:
      self->apwProtocolError(static_cast<int>(static_cast<std::intptr_t>(wParam)));
      return 0;
    case apw_ProtocolCancel:  // a cancel that had to wait for the engine
      self->CancelProtocol();
      return 0;
    default:
      return DefWindowProc(hwnd, msg, wParam, lParam);
  }
}

// ----- running -----
void TSioCustomProtocol::StartTransmit() { StartRun(true); }

void TSioCustomProtocol::StartReceive() { StartRun(false); }

void TSioCustomProtocol::StartRun(bool transmit) {
  if (FProtocolType == ptNoProtocol) return;
  if (!FComPort) RaiseSioException(ecPortNotAssigned);
  Engine e{};
  if (!EngineOf(FProtocolType, e)) return;
  // A run already under way keeps the record.
  if (FP->InProgress != 0 || FP->TimeoutTrigger != 0) return;
  apSetProtocolPort(*FP, FComPort);
  if (FTakeBaud) {
    apSetActualBPS(*FP, FComPort->GetBaud());
    FTakeBaud = false;
  }
  FStateProc = transmit ? e.Transmit : e.Receive;
  apStartProtocol(*FP, FProtocolType, FStateProc, transmit ? e.PrepareTransmit : e.PrepareReceive);
}

// ----- B+ host hooks -----
void TSioCustomProtocol::PrepareBPlus() {
  if (!FComPort) RaiseSioException(ecPortNotAssigned);
  if (FProtocolType != ptBPlus) SetProtocolType(ptBPlus);
  apSetProtocolPort(*FP, FComPort);
  if (FTakeBaud) {
    apSetActualBPS(*FP, FComPort->GetBaud());
    FTakeBaud = false;
  }
}

void TSioCustomProtocol::ProcessENQ() {
  PrepareBPlus();
  Check(bpProcessENQ(*FP));
}

void TSioCustomProtocol::ProcessESCI(std::uint8_t first, std::uint8_t second) {
  PrepareBPlus();
  Check(bpProcessESCI(*FP, first, second));
}

std::uint32_t TSioCustomProtocol::PrepareProcessDLE() {
  PrepareBPlus();
  std::uint32_t handle = 0;
  Check(bpPrepareProcessDLE(*FP, handle));
  return handle;
}

void TSioCustomProtocol::ProcessDLE(bool dleSeen, bool& start, bool& upload, bool& error) {
  PrepareBPlus();
  start = upload = error = false;
  const int r = bpProcessDLE(*FP, dleSeen, start, upload, error);
  if (r < 0) Check(r);
}

void TSioCustomProtocol::CancelProtocol() {
  if (!FStateProc || FP->InProgress == 0) return;
  TSioBaseDispatcher* D = apDispatcher(*FP);
  if (!D) return;
  // Inside the handling of one of the engine's own notices the engine holds its lock and waits
  // for this thread: the cancel then goes through the window once the notice is done. Elsewhere a call of the
  // engine that is under way is waited for, and the notices it waits to have taken meanwhile
  // are handled.
  const LPARAM handleArg = static_cast<LPARAM>(D->Handle()) * 65536;
  if (InSendMessageTagged(FP)) {
    if (!FP->Lock->try_lock()) {
      if (FWindow) PostMessage(FWindow, apw_ProtocolCancel, 0, 0);
      return;
    }
    FStateProc(apw_ProtocolCancel, 0, handleArg);
    FP->Lock->unlock();
    return;
  }
  // The notices' handlers may even free the component: the record and the machine are kept.
  const TSioNotifyProc proc = FStateProc;
  TProtocolReading call(*FP);
  proc(apw_ProtocolCancel, 0, handleArg);
}

std::int32_t TSioCustomProtocol::EstimateTransferSecs(std::int32_t size) const {
  return apEstimateTransferSecs(*FP, size);
}

std::string TSioCustomProtocol::StatusMsg(int status) {
  char buf[96];
  return apStatusMsg(buf, status);
}

void TSioCustomProtocol::StopRun() {
  if (FP->InProgress == 0 && FP->TimeoutTrigger == 0) return;
  CancelProtocol();
  if (FP->InProgress == 0 && FP->TimeoutTrigger == 0) return;
  // Still running (the engine waits for its peer, or a call of it is under way): the record
  // is set aside and freed by the engine's call, a fresh one takes over its settings.
  TProtocolData* fresh = nullptr;
  Check(apInitProtocolData(fresh, nullptr, 0));
  apCopySettings(*fresh, *FP);
  apSetProtocolWindow(*fresh, FWindow);
  TProtocolData* old = FP;
  FP = fresh;
  FP->ProtocolType = ptNoProtocol;
  apDoneProtocol(old);
  FStateProc = nullptr;
  // The fresh record has no engine part yet.
  if (FProtocolType != ptNoProtocol && !(ComponentState & csDestroying)) {
    const TProtocolType t = FProtocolType;
    FProtocolType = ptNoProtocol;
    if (InitEngine(t) == 0) {
      FProtocolType = t;
      PushStoredValues();
    }
  }
}

// ----- protocol type -----
int TSioCustomProtocol::InitEngine(TProtocolType type) {
  if (FP->ReleasePart) {
    PrepFinishProc release = FP->ReleasePart;
    FP->ReleasePart = nullptr;
    release(*FP);
  }
  apResetReadWriteHooks(*FP);
  FP->BatchProtocol = false;
  switch (type) {
    case ptNoProtocol:
      FP->ProtocolType = ptNoProtocol;
      return 0;
    case ptXmodem:
    case ptXmodemCRC:
    case ptXmodem1K:
    case ptXmodem1KG:
      return xpReinit(*FP, type != ptXmodem, type == ptXmodem1K, type == ptXmodem1KG);
    case ptYmodem:
    case ptYmodemG:
      return ypReinit(*FP, true, type == ptYmodemG);
    case ptZmodem:
      return zpReinit(*FP);
    case ptKermit:
      return kpReinit(*FP);
    case ptAscii:
      return spReinit(*FP);
    case ptBPlus:
      return bpReinit(*FP);
    default:
      return ecBadProtocolFunction;
  }
}

void TSioCustomProtocol::SetProtocolType(TProtocolType type) {
  if (type == FProtocolType && !Loading()) return;
  if (type > ptBPlus) type = ptNoProtocol;
  // The old engine must not go on running on the part that is released now.
  StopRun();
  FForce = true;
  const int r = InitEngine(type);
  if (r != 0) {
    // The old part is gone: the component goes on without a protocol.
    InitEngine(ptNoProtocol);
    FProtocolType = ptNoProtocol;
    FForce = false;
    Check(r);
    return;
  }
  FProtocolType = type;
  PushStoredValues();
  FForce = false;
}

void TSioCustomProtocol::PushStoredValues() {
  TProtocolData& P = *FP;
  switch (FProtocolType) {
    case ptXmodem:
    case ptXmodemCRC:
    case ptXmodem1K:
    case ptXmodem1KG:
    case ptYmodem:
    case ptYmodemG:
      xpSetBlockWait(P, FXYmodemBlockWait);
      break;
    case ptZmodem:
      zpSetFileMgmtOptions(P, FZmodemOptionOverride, FZmodemSkipNoFile, FZmodemFileOption);
      zpSetRecoverOption(P, FZmodemRecover);
      Check(zpSetBigSubpacketOption(P, FZmodem8K));
      zpSetZmodemFinishWait(P, P.FinishWait, FZmodemFinishRetry);
      break;
    case ptKermit:
      PushKermitMaxLen();
      Check(kpSetMaxWindows(P, FKermitMaxWindows));
      kpSetSWCTurnDelay(P, FKermitSWCTurnDelay);
      kpSetMaxTimeoutSecs(P, FKermitTimeoutSecs);
      kpSetPacketPadding(P, FKermitPadCharacter, FKermitPadCount);
      kpSetTerminator(P, FKermitTerminator);
      kpSetCtlPrefix(P, FKermitCtlPrefix);
      kpSetHibitPrefix(P, FKermitHighbitPrefix);
      kpSetRepeatPrefix(P, FKermitRepeatPrefix);
      break;
    case ptAscii:
      spSetDelays(P, FAsciiCharDelay, FAsciiLineDelay);
      spSetEOLChar(P, static_cast<std::uint8_t>(FAsciiEOLChar));
      spSetEOLTranslation(P, FAsciiCRTranslation, FAsciiLFTranslation);
      spSetEOFTimeout(P, FAsciiEOFTimeout);
      break;
    default:
      break;
  }
}

void TSioCustomProtocol::SetBlockCheckMethod(TBlockCheckMethod method) {
  if (FP->InProgress != 0 || method == FP->CheckType) return;
  switch (FProtocolType) {
    case ptXmodem:
      if (method == bcmCrc16) SetProtocolType(ptXmodemCRC);
      break;
    case ptXmodemCRC:
      if (method == bcmChecksum) SetProtocolType(ptXmodem);
      break;
    case ptZmodem:
      if (method == bcmCrc16 || method == bcmCrc32) FP->CheckType = method;
      break;
    case ptKermit:
      if (method == bcmChecksum || method == bcmChecksum2 || method == bcmCrcK)
        Check(kpSetKermitCheck(*FP, method));
      break;
    default:
      break;
  }
}

// ----- plain properties -----
void TSioCustomProtocol::SetComPort(TSioCustomComPort* port) {
  FComPort = port;
  apSetProtocolPort(*FP, port);
}

void TSioCustomProtocol::SetDestinationDirectory(std::string_view dir) {
  apSetDestinationDirectory(*FP, std::string(dir.substr(0, apMaxPath - 1)).c_str());
}

void TSioCustomProtocol::SetFileMask(std::string_view mask) {
  apSetFileMask(*FP, std::string(mask.substr(0, apMaxPath - 1)).c_str());
}

void TSioCustomProtocol::SetHandshakeRetry(std::uint32_t v) { apSetHandshakeWait(*FP, 0, v); }
void TSioCustomProtocol::SetHandshakeWait(std::uint32_t v) { apSetHandshakeWait(*FP, v, 0); }

void TSioCustomProtocol::SetFinishWait(std::uint32_t v) {
  FP->FinishWait = v;
  if (FProtocolType == ptZmodem) zpSetZmodemFinishWait(*FP, v, FZmodemFinishRetry);
}

void TSioCustomProtocol::SetTurnDelay(std::uint32_t v) { apSetEfficiencyParms(*FP, FP->Overhead, v); }
void TSioCustomProtocol::SetOverhead(std::uint32_t v) {
  apSetEfficiencyParms(*FP, static_cast<std::int32_t>(v), FP->TurnDelay);
}
void TSioCustomProtocol::SetWriteFailAction(TWriteFailAction v) { apSetOverwriteOption(*FP, v); }

void TSioCustomProtocol::SetOption(std::uint32_t bit, bool on) {
  if (on)
    apOptionsOn(*FP, bit);
  else
    apOptionsOff(*FP, bit);
}

void TSioCustomProtocol::SetStatusDisplay(TSioAbstractStatus* display) {
  if (display == FStatusDisplay) return;
  if (FStatusDisplay) FStatusDisplay->SetProtocol(nullptr);
  if (display) display->SetProtocol(this);
}

void TSioCustomProtocol::SetProtocolLog(TSioProtocolLog* log) {
  if (log == FProtocolLog) return;
  if (FProtocolLog) FProtocolLog->SetProtocol(nullptr);
  if (log) log->SetProtocol(this);
}

void TSioCustomProtocol::SetFileName(std::string_view name) {
  if (FP->FileOpen) return;
  apSetReceiveFilename(*FP, std::string(name.substr(0, apMaxPath - 1)).c_str());
}

TDateTime TSioCustomProtocol::GetFileDate() const {
  const std::uint32_t d = Read([](TProtocolData& P) { return P.FileDate; });
  TDateTime date, time;
  if (!TryEncodeDate(1980 + (d >> 25), (d >> 21) & 15, (d >> 16) & 31, date)) return TDateTime(0.0);
  if (!TryEncodeTime((d >> 11) & 31, (d >> 5) & 63, (d & 31) * 2, 0, time)) return date;
  return TDateTime(date.Val + time.Val);
}

std::int32_t TSioCustomProtocol::GetBlockLength() const {
  return Read([](TProtocolData& P) {
    if (P.InProgress != 0 && P.CurrentBlockLength != 0) return P.CurrentBlockLength;
    return static_cast<std::int32_t>(P.BlockLength);
  });
}

void TSioCustomProtocol::SetActualBPS(std::uint32_t bps) {
  apSetActualBPS(*FP, bps);
  FTakeBaud = false;
}

// ----- XModem and YModem -----
std::uint32_t TSioCustomProtocol::GetXYmodemBlockWait() const {
  return IsXorY() ? FP->BlockWait : FXYmodemBlockWait;
}
void TSioCustomProtocol::SetXYmodemBlockWait(std::uint32_t v) {
  FXYmodemBlockWait = v;
  if (IsXorY()) xpSetBlockWait(*FP, v);
}

// ----- ZModem -----
bool TSioCustomProtocol::GetZmodemOptionOverride() const {
  if (FProtocolType == ptZmodem) return FP->OptionOverride;
  return FZmodemOptionOverride;
}
bool TSioCustomProtocol::GetZmodemSkipNoFile() const {
  if (FProtocolType == ptZmodem) return (FP->FileOption & 0x80) != 0;
  return FZmodemSkipNoFile;
}
TZmodemFileOptions TSioCustomProtocol::GetZmodemFileOption() const {
  if (FProtocolType == ptZmodem) return static_cast<TZmodemFileOptions>(FP->FileOption & 0x7F);
  return FZmodemFileOption;
}
bool TSioCustomProtocol::GetZmodemRecover() const {
  if (FProtocolType == ptZmodem) return FP->Recover;
  return FZmodemRecover;
}
bool TSioCustomProtocol::GetZmodem8K() const {
  if (FProtocolType == ptZmodem) return FP->Use8K;
  return FZmodem8K;
}
std::uint32_t TSioCustomProtocol::GetZmodemFinishRetry() const {
  if (FProtocolType == ptZmodem) return FP->FinishRetry;
  return FZmodemFinishRetry;
}

void TSioCustomProtocol::SetZmodemOptionOverride(bool v) {
  FZmodemOptionOverride = v;
  if (FProtocolType == ptZmodem)
    Check(zpSetFileMgmtOptions(*FP, FZmodemOptionOverride, FZmodemSkipNoFile, FZmodemFileOption));
}
void TSioCustomProtocol::SetZmodemSkipNoFile(bool v) {
  FZmodemSkipNoFile = v;
  if (FProtocolType == ptZmodem)
    Check(zpSetFileMgmtOptions(*FP, FZmodemOptionOverride, FZmodemSkipNoFile, FZmodemFileOption));
}
void TSioCustomProtocol::SetZmodemFileOption(TZmodemFileOptions v) {
  // Comparing files by their CRC is not offered: the value stays.
  if (v == zfoWriteCrc || v > zfoWriteProtect) return;
  FZmodemFileOption = v;
  if (FProtocolType == ptZmodem)
    Check(zpSetFileMgmtOptions(*FP, FZmodemOptionOverride, FZmodemSkipNoFile, FZmodemFileOption));
}
void TSioCustomProtocol::SetZmodemRecover(bool v) {
  FZmodemRecover = v;
  if (FProtocolType == ptZmodem) Check(zpSetRecoverOption(*FP, v));
}
void TSioCustomProtocol::SetZmodem8K(bool v) {
  FZmodem8K = v;
  if (FProtocolType == ptZmodem) Check(zpSetBigSubpacketOption(*FP, v));
}
void TSioCustomProtocol::SetZmodemFinishRetry(std::uint32_t v) {
  FZmodemFinishRetry = v;
  if (FProtocolType == ptZmodem) Check(zpSetZmodemFinishWait(*FP, FP->FinishWait, v));
}

// ----- Kermit -----
void TSioCustomProtocol::PushKermitMaxLen() {
  if (FKermitMaxLen > 94) {
    // The long-packet length the engine gets is the stored one (at most 1024).
    Check(kpSetMaxLongPacketLen(*FP, FKermitMaxLen));
  } else {
    Check(kpSetMaxPacketLen(*FP, FKermitMaxLen));
    Check(kpSetMaxLongPacketLen(*FP, 0));
  }
}

void TSioCustomProtocol::SetKermitMaxLen(std::uint32_t v) {
  FKermitMaxLen = v > 94 ? std::min<std::uint32_t>(v, 1024) : v;
  if (FProtocolType == ptKermit) PushKermitMaxLen();
}
void TSioCustomProtocol::SetKermitMaxWindows(std::uint32_t v) {
  FKermitMaxWindows = v <= 1 ? 0 : std::min<std::uint32_t>(v, 27);
  if (FProtocolType == ptKermit) Check(kpSetMaxWindows(*FP, FKermitMaxWindows));
}
void TSioCustomProtocol::SetKermitSWCTurnDelay(std::uint32_t v) {
  FKermitSWCTurnDelay = v;
  if (FProtocolType == ptKermit) Check(kpSetSWCTurnDelay(*FP, v));
}
void TSioCustomProtocol::SetKermitTimeoutSecs(std::uint32_t v) {
  FKermitTimeoutSecs = v;
  if (FProtocolType == ptKermit) Check(kpSetMaxTimeoutSecs(*FP, v));
}
void TSioCustomProtocol::SetKermitPadCharacter(char v) {
  FKermitPadCharacter = v;
  if (FProtocolType == ptKermit) Check(kpSetPacketPadding(*FP, FKermitPadCharacter, FKermitPadCount));
}
void TSioCustomProtocol::SetKermitPadCount(std::uint32_t v) {
  FKermitPadCount = v;
  if (FProtocolType == ptKermit) Check(kpSetPacketPadding(*FP, FKermitPadCharacter, FKermitPadCount));
}
void TSioCustomProtocol::SetKermitTerminator(char v) {
  FKermitTerminator = v;
  if (FProtocolType == ptKermit) Check(kpSetTerminator(*FP, v));
}
void TSioCustomProtocol::SetKermitCtlPrefix(char v) {
  FKermitCtlPrefix = v;
  if (FProtocolType == ptKermit) Check(kpSetCtlPrefix(*FP, v));
}
void TSioCustomProtocol::SetKermitHighbitPrefix(char v) {
  FKermitHighbitPrefix = v;
  if (FProtocolType == ptKermit) Check(kpSetHibitPrefix(*FP, v));
}
void TSioCustomProtocol::SetKermitRepeatPrefix(char v) {
  FKermitRepeatPrefix = v;
  if (FProtocolType == ptKermit) Check(kpSetRepeatPrefix(*FP, v));
}

std::uint32_t TSioCustomProtocol::GetKermitWindowsTotal() const {
  return static_cast<std::uint32_t>(Read(kpGetSWCSize));
}
std::uint32_t TSioCustomProtocol::GetKermitWindowsUsed() const {
  if (FProtocolType == ptKermit) return static_cast<std::uint32_t>(Read(kpWindowsUsed));
  return 0;
}
bool TSioCustomProtocol::GetKermitLongBlocks() const {
  if (FProtocolType == ptKermit) {
    return Read([](TProtocolData& P) {
      bool inUse = false;
      std::uint32_t length = 0;
      kpGetLPStatus(P, inUse, length);
      return inUse;
    });
  }
  return false;
}

// ----- ASCII -----
void TSioCustomProtocol::SetAsciiCharDelay(std::uint32_t v) {
  FAsciiCharDelay = v;
  if (FProtocolType == ptAscii) Check(spSetDelays(*FP, FAsciiCharDelay, FAsciiLineDelay));
}
void TSioCustomProtocol::SetAsciiLineDelay(std::uint32_t v) {
  FAsciiLineDelay = v;
  if (FProtocolType == ptAscii) Check(spSetDelays(*FP, FAsciiCharDelay, FAsciiLineDelay));
}
void TSioCustomProtocol::SetAsciiEOLChar(char v) {
  FAsciiEOLChar = v;
  if (FProtocolType == ptAscii) Check(spSetEOLChar(*FP, static_cast<std::uint8_t>(v)));
}
void TSioCustomProtocol::SetAsciiCRTranslation(TAsciiEOLTranslation v) {
  FAsciiCRTranslation = v;
  if (FProtocolType == ptAscii) Check(spSetEOLTranslation(*FP, FAsciiCRTranslation, FAsciiLFTranslation));
}
void TSioCustomProtocol::SetAsciiLFTranslation(TAsciiEOLTranslation v) {
  FAsciiLFTranslation = v;
  if (FProtocolType == ptAscii) Check(spSetEOLTranslation(*FP, FAsciiCRTranslation, FAsciiLFTranslation));
}
void TSioCustomProtocol::SetAsciiEOFTimeout(std::uint32_t v) {
  FAsciiEOFTimeout = v;
  if (FProtocolType == ptAscii) Check(spSetEOFTimeout(*FP, v));
}
