// The terminal components.
#include "transfer/ui/SioTerm.h"

#include <QFontInfo>
#include <QVBoxLayout>
#include <algorithm>

#include "serial/SioDispatch.h"
#include "serial/SioPort.h"
#include "serial/Sioexcept.h"
#include "transfer/SioProtocol.h"
#include "transfer/Swbplus.h"

// ---------------------------------------------------------------------------------------
// TSioCustomTerminal
// ---------------------------------------------------------------------------------------
TSioCustomTerminal::TSioCustomTerminal(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  FWindow = new TTerminalWindow(this, tws_WantTab);
  layout->addWidget(FWindow);
  setFocusProxy(FWindow);
  FWindow->SetParentProc([this](UINT m, WPARAM w, LPARAM l) -> LRESULT { return WndProc(m, w, l) ? 1 : 0; });
  resize(200, 200);
}

TSioCustomTerminal::~TSioCustomTerminal() {
  if (FComPort) FComPort->DeregisterUser(FWindow->Handle());
  Send(apw_TermCapture, 0, 0);
  Send(apw_TermRelCom);
  if (FEmulator) FEmulator->InUse = false;
  if (FKeyBoardEmu) FKeyBoardEmu->InUse = false;
  FWindow->SetParentProc(nullptr);
}

LRESULT TSioCustomTerminal::Send(UINT msg, WPARAM w, LPARAM l) { return FWindow->Perform(msg, w, l); }

bool TSioCustomTerminal::WndProc(UINT msg, WPARAM w, LPARAM l) {
  switch (msg) {
    case apw_TermStatus:
      TerminalStatus(static_cast<int>(w & 0xFF), static_cast<int>((w >> 8) & 0xFF),
                     static_cast<int>(l & 0xFFFF),
                     static_cast<int>((static_cast<std::uint32_t>(l) >> 16) & 0xFFFF));
      return true;
    case apw_TermError:
      TerminalError(-static_cast<int>(static_cast<std::uint16_t>(w)));
      return true;
    case apw_CursorPosReport:
      CursorPosReport(static_cast<int>(w), static_cast<int>(l));
      return true;
    case SW_PORTOPEN:
      PortOpen();
      return true;
    case SW_PORTCLOSE:
      PortClose();
      return true;
    default:
      return false;
  }
}

void TSioCustomTerminal::TerminalStatus(int row, int col, int firstRow, int firstCol) {
  if (OnTerminalStatus) SioGuarded([&] { OnTerminalStatus(this, row, col, firstRow, firstCol); });
}

void TSioCustomTerminal::TerminalError(int code) {
  // A capture that failed has ended.
  if (code != ecOutOfMemory) FCapture = cmOff;
  if (OnTerminalError) SioGuarded([&] { OnTerminalError(this, code); });
}

void TSioCustomTerminal::CursorPosReport(int x, int y) {
  if (OnCursorPosReport) SioGuarded([&] { OnCursorPosReport(this, x, y); });
}

void TSioCustomTerminal::PortOpen() {
  AttachPort();
  if (FActive || FStartPending) {
    FStartPending = false;
    StartTerminalPrim();
  }
}

void TSioCustomTerminal::PortClose() {
  Send(apw_TermRelCom);
  FStartPending = FActive;
}

void TSioCustomTerminal::AttachPort() {
  TSioBaseDispatcher* D = FComPort && FComPort->GetPortState() == psOpen ? FComPort->Dispatcher() : nullptr;
  if (D)
    Send(apw_TermSetCom, static_cast<WPARAM>(D->Handle()));
  else
    Send(apw_TermRelCom);
}

void TSioCustomTerminal::SetComPort(TSioCustomComPort* port) {
  if (port == FComPort) return;
  if (FComPort) FComPort->DeregisterUser(FWindow->Handle());
  StopTerminalPrim();
  FComPort = port;
  if (!port) {
    Send(apw_TermRelCom);
    return;
  }
  port->RegisterUser(FWindow->Handle());
  const bool open = port->GetPortState() == psOpen;
  if (open || port->GetAutoOpen()) {
    if (!open) port->ForcePortOpen();
    AttachPort();
    if (FActive) StartTerminalPrim();
  } else {
    Send(apw_TermRelCom);
    FStartPending = FActive;
  }
}

void TSioCustomTerminal::SetActive(bool on) {
  if (on && !FComPort) CheckException(this, ecPortNotAssigned);
  FActive = on;
  if (!on) {
    StopTerminalPrim();
    return;
  }
  if (FComPort->GetPortState() != psOpen) {
    FStartPending = true;
    FComPort->ForcePortOpen();
    if (FComPort->GetPortState() != psOpen) return;
  }
  AttachPort();
  StartTerminalPrim();
}

int TSioCustomTerminal::StartTerminalPrim() {
  if (!FComPort) return ecPortNotAssigned;
  if (!FWindow->Dispatcher()) AttachPort();
  if (!FWindow->Dispatcher()) return ecNoDispatcher;
  return static_cast<int>(Send(apw_TermStart));
}

int TSioCustomTerminal::StopTerminalPrim() { return static_cast<int>(Send(apw_TermStop)); }
void TSioCustomTerminal::StartTerminal() { CheckException(this, StartTerminalPrim()); }
void TSioCustomTerminal::StopTerminal() { CheckException(this, StopTerminalPrim()); }

void TSioCustomTerminal::EmulatorDispatch(void* data, char c, TEmuCommandLo& cmd) {
  static_cast<TSioCustomEmulator*>(data)->Dispatch(c, cmd);
}

void TSioCustomTerminal::SetEmulator(TSioCustomEmulator* emulator) {
  if (FEmulator) FEmulator->InUse = false;
  FEmulator = nullptr;
  if (!emulator || emulator->InUse) {
    Send(apw_TermSetEmuProc, 0, 0);
    Send(apw_TermSetEmuPtr, 0, 0);
    return;
  }
  FEmulator = emulator;
  emulator->InUse = true;
  Send(apw_TermSetEmuPtr, 0, reinterpret_cast<LPARAM>(emulator));
  Send(apw_TermSetEmuProc, 0, reinterpret_cast<LPARAM>(&EmulatorDispatch));
}

void TSioCustomTerminal::KeyDispatch(void* data, std::uint16_t key, TKeyEmuCommandLo& cmd) {
  auto* k = static_cast<TSioCustomKeyboardEmulator*>(data);
  if (k->KeyEmuProc) {
    k->KeyEmuProc(k->KeyEmuData, key, cmd);
  } else {
    cmd.KeyCode = key;
    cmd.KeyMapped = 0;
    cmd.Extended = 0;
  }
}

void TSioCustomTerminal::SetKeyBoardEmu(TSioCustomKeyboardEmulator* emulator) {
  if (FKeyBoardEmu) FKeyBoardEmu->InUse = false;
  FKeyBoardEmu = nullptr;
  if (!emulator || emulator->InUse) {
    Send(apw_TermSetKeyEmuProc, 0, 0);
    Send(apw_TermSetKeyEmuPtr, 0, 0);
    return;
  }
  FKeyBoardEmu = emulator;
  emulator->InUse = true;
  Send(apw_TermSetKeyEmuPtr, 0, reinterpret_cast<LPARAM>(emulator));
  Send(apw_TermSetKeyEmuProc, 0, reinterpret_cast<LPARAM>(&KeyDispatch));
}

void TSioCustomTerminal::PassBuffer() {
  CheckException(this, static_cast<int>(
                           Send(apw_TermBuffer, FPageHeight,
                                static_cast<LPARAM>(FRows | (static_cast<std::uint32_t>(FColumns) << 16)))));
}

void TSioCustomTerminal::SetRows(std::uint16_t rows) {
  rows = std::max(rows, FPageHeight);
  if (static_cast<std::uint32_t>(rows) * FColumns > 65535)
    FColumns = static_cast<std::uint16_t>(65535 / rows);
  FRows = rows;
  PassBuffer();
}

void TSioCustomTerminal::SetColumns(std::uint16_t columns) {
  columns = std::max<std::uint16_t>(columns, 1);
  if (static_cast<std::uint32_t>(columns) * FRows > 65535)
    FRows = static_cast<std::uint16_t>(65535 / columns);
  FColumns = columns;
  PassBuffer();
}

void TSioCustomTerminal::SetPageHeight(std::uint16_t height) {
  FPageHeight = std::min(std::max<std::uint16_t>(height, 1), FRows);
  PassBuffer();
}

std::uint16_t TSioCustomTerminal::GetDisplayRows() const { return FWindow->Buffer().VisRows; }
std::uint16_t TSioCustomTerminal::GetDisplayColumns() const { return FWindow->Buffer().VisCols; }

void TSioCustomTerminal::SetDisplayRows(std::uint16_t rows) {
  rows = std::min(rows, FPageHeight);
  Send(apw_TermForceSize, GetDisplayColumns(), rows);
  resize(FWindow->size());
}

void TSioCustomTerminal::SetDisplayColumns(std::uint16_t columns) {
  columns = std::min(columns, FColumns);
  Send(apw_TermForceSize, columns, GetDisplayRows());
  resize(FWindow->size());
}

void TSioCustomTerminal::resizeEvent(QResizeEvent* e) { QWidget::resizeEvent(e); }

void TSioCustomTerminal::SetCaptureFile(const std::string& name) {
  const std::string n = name.substr(0, 255);
  const bool same = n.size() == FCaptureFile.size() &&
                    std::equal(n.begin(), n.end(), FCaptureFile.begin(),
                               [](char a, char b) { return std::tolower(a) == std::tolower(b); });
  if (same) return;
  FCaptureFile = n;
  if (FCapture != cmOff) {
    const TCaptureMode mode = FCapture;
    SetCapture(cmOff);
    SetCapture(mode);
  }
}

void TSioCustomTerminal::SetCapture(TCaptureMode mode) {
  if (mode == FCapture) return;
  if (mode == cmOff) {
    Send(apw_TermCapture, 0, 0);
    FCapture = cmOff;
    return;
  }
  if (FCapture != cmOff) Send(apw_TermCapture, 0, 0);
  const WPARAM w = 1 | (mode == cmAppend ? 0x100 : 0);
  const int r = static_cast<int>(Send(apw_TermCapture, w, reinterpret_cast<LPARAM>(FCaptureFile.c_str())));
  FCapture = r == 0 ? mode : cmOff;
  CheckException(this, r);
}

void TSioCustomTerminal::SetScrollback(bool on) {
  if (on == FScrollback) return;
  FScrollback = on;
  Send(apw_TermToggleScroll);
}

void TSioCustomTerminal::SetHalfDuplex(bool on) {
  FHalfDuplex = on;
  Send(apw_TermHalfDuplex, on ? 1 : 0);
}

void TSioCustomTerminal::SetBlinkTime(std::uint16_t ms) {
  FBlinkTime = ms;
  Send(apw_TermBlinkTime, ms);
}

void TSioCustomTerminal::SetPersistentMark(bool on) {
  FPersistentMark = on;
  Send(apw_TermPersistentMark, on ? 1 : 0);
}

void TSioCustomTerminal::SetTerminalFont(const QFont& font) {
  if (!FWindow->SetTerminalFont(font)) {
    QFont fixed("Terminal");
    fixed.setStyleHint(QFont::TypeWriter);
    fixed.setFixedPitch(true);
    fixed.setPointSize(9);
    if (!FWindow->SetTerminalFont(fixed)) {
      QFont mono("Monospace");
      mono.setStyleHint(QFont::TypeWriter);
      mono.setPointSize(9);
      FWindow->SetTerminalFont(mono);
    }
  }
}

void TSioCustomTerminal::ClearWindow() { Send(apw_TermClear, 0); }
void TSioCustomTerminal::ClearBuffer() { Send(apw_TermClear, 1); }
void TSioCustomTerminal::StuffChar(char c) { Send(apw_TermStuff, 1, reinterpret_cast<LPARAM>(&c)); }
void TSioCustomTerminal::StuffString(const std::string& s) {
  Send(apw_TermStuff, s.size(), reinterpret_cast<LPARAM>(s.data()));
}
void TSioCustomTerminal::ForcePaint() { Send(apw_TermPaint); }
void TSioCustomTerminal::CopyToClipboard() { Send(WM_COPY); }
void TSioCustomTerminal::SetColors(std::uint8_t fg, std::uint8_t bg) { Send(apw_TermColors, fg, bg); }

int TSioCustomTerminal::ClientLine(int n) {
  if (n == 0) n = 1;
  if (n > GetDisplayRows()) CheckException(this, ecBadArgument);
  return static_cast<int>(Send(apw_TermGetClientLine)) + n;
}

std::string TSioCustomTerminal::GetTermLine(int n) {
  TBuffer& b = FWindow->Buffer();
  if (n < 1 || n > b.Rows || static_cast<std::uint32_t>(n) * b.Columns > 65535)
    CheckException(this, ecBadArgument);
  return b.RowText(n - 1);
}

void TSioCustomTerminal::SetTermLine(int n, const std::string& text) {
  TBuffer& b = FWindow->Buffer();
  if (n < 1 || n > b.Rows || static_cast<std::uint32_t>(n) * b.Columns > 65535)
    CheckException(this, ecBadArgument);
  const std::size_t start = b.Cell(0, n - 1);
  const std::uint8_t color = b.ColorPlane()[start] ? b.ColorPlane()[start] : 7;
  for (int c = 0; c < b.Columns; ++c) {
    b.CharPlane()[start + c] = c < static_cast<int>(text.size()) ? static_cast<std::uint8_t>(text[c]) : ' ';
    b.ColorPlane()[start + c] = b.BaseColorPlane()[start + c] = color;
    b.AttrPlane()[start + c] = 0;
  }
  FWindow->viewport()->update();
}

// ---------------------------------------------------------------------------------------
// B+ terminal
// ---------------------------------------------------------------------------------------
TBPlusLink BPlusEngineLink(TProtocolData* P) {
  TBPlusLink l;
  l.ProcessENQ = [P] { return bpProcessENQ(*P); };
  l.ProcessESCI = [P](std::uint8_t a, std::uint8_t b) { return bpProcessESCI(*P, a, b); };
  l.PrepareProcessDLE = [P](std::uint32_t& h) { return bpPrepareProcessDLE(*P, h); };
  l.ProcessDLE = [P](bool seen, bool& start, bool& upload, bool& error) {
    return bpProcessDLE(*P, seen, start, upload, error);
  };
  l.StartTransfer = [P](bool upload) {
    if (upload)
      apStartProtocol(*P, ptBPlus, bpTransmit, bpPrepareTransmit);
    else
      apStartProtocol(*P, ptBPlus, bpReceive, bpPrepareReceive);
  };
  l.InProgress = [P] { return P->InProgress != 0; };
  return l;
}

TBPlusLink BPlusProtocolLink(TSioCustomProtocol* protocol) {
  TBPlusLink l;
  if (!protocol) return l;
  // The component raises the exception of a failing code; the terminal catches it.
  l.ProcessENQ = [protocol] {
    protocol->ProcessENQ();
    return 0;
  };
  l.ProcessESCI = [protocol](std::uint8_t a, std::uint8_t b) {
    protocol->ProcessESCI(a, b);
    return 0;
  };
  l.PrepareProcessDLE = [protocol](std::uint32_t& h) {
    h = protocol->PrepareProcessDLE();
    return 0;
  };
  l.ProcessDLE = [protocol](bool seen, bool& start, bool& upload, bool& error) {
    protocol->ProcessDLE(seen, start, upload, error);
    return 0;
  };
  l.StartTransfer = [protocol](bool upload) {
    if (upload)
      protocol->StartTransmit();
    else
      protocol->StartReceive();
  };
  l.InProgress = [protocol] { return protocol->GetInProgress(); };
  return l;
}

void TSioCustomBPTerminal::SetProtocol(TSioCustomProtocol* protocol) {
  FProtocol = protocol;
  SetProtocolLink(BPlusProtocolLink(protocol));
}

TSioCustomBPTerminal::TSioCustomBPTerminal(QWidget* parent) : TSioCustomTerminal(parent) {
  FTransferWatch.setInterval(20);
  connect(&FTransferWatch, &QTimer::timeout, this, [this] {
    if (FTransferRunning && !(FLink.InProgress && FLink.InProgress())) SioGuarded([this] { EndTransfer(); });
  });
}

void TSioCustomBPTerminal::EndTransfer() {
  FTransferWatch.stop();
  FTransferRunning = false;
  // The engine flushed what its run left; what came after is the host's next word, and more
  // of it may come at any moment. The window takes the line back first, so that every byte
  // from now on reaches it; then the triggers watch what comes, and what came before them is
  // read here, its start sequences answered, not shown.
  if (FActive) Send(apw_TermStart);
  ArmTriggers();
  if (FActive && !GetScrollback()) TakeWaiting(UINT32_MAX, false);
}

TSioCustomBPTerminal::~TSioCustomBPTerminal() { RemoveTriggers(); }

TSioBaseDispatcher* TSioCustomBPTerminal::Dispatcher() const { return FWindow->Dispatcher(); }

void TSioCustomBPTerminal::SetProtocolLink(const TBPlusLink& link) {
  RemoveTriggers();
  FLink = link;
  FHasLink = static_cast<bool>(link.ProcessENQ);
  ArmTriggers();
}

void TSioCustomBPTerminal::ArmTriggers() {
  TSioBaseDispatcher* D = Dispatcher();
  if (!D || !FHasLink) return;
  auto add = [&](std::uint32_t& handle, const char* bytes, std::uint32_t n) {
    if (handle) return;
    int h = D->AddDataTriggerLen(bytes, false, n);
    handle = h > 0 ? static_cast<std::uint32_t>(h) : 0;
  };
  add(FEnqTrigger, "\x05", 1);
  add(FDleTrigger, "\x10", 1);
  add(FEscITrigger, "\x1bI", 2);
}

void TSioCustomBPTerminal::RemoveTriggers() {
  TSioBaseDispatcher* D = Dispatcher();
  for (std::uint32_t* h : {&FEnqTrigger, &FDleTrigger, &FEscITrigger}) {
    if (*h && D) D->RemoveTrigger(*h);
    *h = 0;
  }
}

void TSioCustomBPTerminal::PortOpen() {
  TSioCustomTerminal::PortOpen();
  ArmTriggers();
}

void TSioCustomBPTerminal::PortClose() {
  FEnqTrigger = FDleTrigger = FEscITrigger = FDleTimer = 0;  // gone with the dispatcher
  FInDLE = FTransferRunning = false;
  TSioCustomTerminal::PortClose();
}

void TSioCustomBPTerminal::StartDLE() {
  TSioBaseDispatcher* D = Dispatcher();
  if (!D) return;
  if (FDleTrigger) D->RemoveTrigger(FDleTrigger);
  FDleTrigger = 0;
  try {
    FDleTimer = 0;
    CheckException(this, FLink.PrepareProcessDLE(FDleTimer));
    FInDLE = true;
    RunDLE(true);
  } catch (const std::exception&) {
    FInDLE = false;
    D->FlushInBuffer();
    ArmTriggers();
  }
}

void TSioCustomBPTerminal::RunDLE(bool dleSeen) {
  TSioBaseDispatcher* D = Dispatcher();
  if (!D || !FInDLE) return;
  bool start = false, upload = false, error = false;
  try {
    const int r = FLink.ProcessDLE(dleSeen, start, upload, error);
    if (error) CheckException(this, r < 0 ? r : ecProtocolError);
  } catch (const std::exception&) {
    // The host's request failed (its engine has told the host and the history why, a file
    // that is missing or cannot be made, say): what the host sent goes, and the terminal
    // waits for its next request.
    FInDLE = false;
    FDleTimer = 0;
    D->FlushInBuffer();
    ArmTriggers();
    return;
  }
  if (!start) return;
  FInDLE = false;
  FDleTimer = 0;
  RemoveTriggers();
  FTransferRunning = true;
  FUpload = upload;
  SendMessage(FWindow->Handle(), apw_TermBPlusStart, 0, 0);
  if (OnBPlusStart) SioGuarded([this] { OnBPlusStart(this); });
  // The window leaves the line to the protocol until the transfer is over.
  Send(apw_TermStop);
  try {
    FLink.StartTransfer(upload);
  } catch (const std::exception& e) {
    // No run started: the terminal takes the line back.
    SioHandleException(e);
    EndTransfer();
    return;
  }
  FTransferWatch.start();
}

void TSioCustomBPTerminal::TakeWaiting(std::uint32_t limit, bool once) {
  // Whoever takes a start sequence off the line answers it: a trigger's notice that finds
  // its bytes already taken (here, from an earlier notice) has nothing left to answer.
  TSioBaseDispatcher* D = Dispatcher();
  if (!D) return;
  TTermBuffer& screen = FWindow->Buffer();
  bool shown = false;
  try {
    std::uint8_t c = 0, next = 0;
    while (limit > 0 && !FInDLE && D->PeekChar(c, 1) == 0) {
      if (c == bpDLE) {
        StartDLE();
        break;
      }
      bool escI = false;
      if (c == bpESC) {
        if (D->PeekChar(next, 2) != 0) break;  // it may be the start of an ESC "I"
        escI = next == 'I';
      }
      if (c == bpENQ || escI) {
        const std::uint32_t n = escI ? 2 : 1;
        for (std::uint32_t k = 0; k < n; ++k) D->GetChar(c);
        limit -= std::min(limit, n);
        CheckException(this, escI ? FLink.ProcessESCI(25, 80) : FLink.ProcessENQ());
        if (once) {
          // A DLE right behind the ENQ starts its processing at once.
          if (!escI && D->PeekChar(c, 1) == 0 && c == bpDLE) StartDLE();
          break;
        }
        continue;
      }
      D->GetChar(c);
      --limit;
      screen.bProcessChar(static_cast<char>(c));
      shown = true;
    }
  } catch (const std::exception&) {
    D->FlushInBuffer();
    ArmTriggers();
  }
  if (shown) screen.bForcePaint();
}

bool TSioCustomBPTerminal::WndProc(UINT msg, WPARAM w, LPARAM l) {
  if (TSioCustomTerminal::WndProc(msg, w, l)) return true;
  if (!FHasLink) return false;
  if (FTransferRunning) {
    // The protocol reads the line while its transfer runs; the screen goes on after it.
    if (FLink.InProgress && FLink.InProgress()) return msg == SW_TRIGGERAVAIL;
    EndTransfer();
    return msg == SW_TRIGGERAVAIL;
  }
  TSioBaseDispatcher* D = Dispatcher();
  if (!D) return false;
  switch (msg) {
    case SW_TRIGGERAVAIL:
      if (FInDLE) {
        RunDLE(false);
        return true;
      }
      if (GetScrollback()) return false;  // the window keeps the bytes until browsing ends
      TakeWaiting(static_cast<std::uint32_t>(w), false);
      return true;
    case SW_TRIGGERTIMER:
      if (FInDLE && static_cast<std::uint32_t>(w) == FDleTimer) {
        RunDLE(false);
        return true;
      }
      return false;
    case SW_TRIGGERDATA: {
      if (FInDLE) {
        RunDLE(false);
        return true;
      }
      const auto handle = static_cast<std::uint32_t>(w);
      if (handle == 0 || (handle != FEnqTrigger && handle != FDleTrigger && handle != FEscITrigger))
        return false;
      // While the user browses, the sequence waits with the text before it.
      if (GetScrollback())
        Send(SW_TRIGGERAVAIL, 0, 0);
      else
        TakeWaiting(UINT32_MAX, true);
      return true;
    }
    default:
      return false;
  }
}
