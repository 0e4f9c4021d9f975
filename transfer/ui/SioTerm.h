#pragma once
// The terminal components: TSioTerminal, the control a form places to show a serial port's
// session, and TSioBPTerminal, which also hosts the B+ transfers that the host starts.
// Each makes a terminal window (transfer/ui/Swterm.h) inside itself, passes its properties
// to it as the window's private messages and turns the window's notices into events.
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>

#include "serial/SioMisc.h"
#include "transfer/Swemu.h"
#include "transfer/Swkbemu.h"
#include "transfer/ui/Swterm.h"

class TSioCustomComPort;
struct TProtocolData;
class TSioCustomProtocol;

enum TCaptureMode { cmOff, cmOn, cmAppend };
enum TScrollStyle { ssNone, ssHorizontal, ssVertical, ssBoth };
enum TAutoScroll { asNone, asHorizontal, asVertical, asBoth };
enum TIntegralSize { isNone, isWidth, isHeight, isBoth };

class TSioCustomTerminal;
using TTerminalStatusEvent =
    std::function<void(TSioCustomTerminal* Sender, int Row, int Col, int FirstRow, int FirstCol)>;
using TTerminalErrorEvent = std::function<void(TSioCustomTerminal* Sender, int ErrorCode)>;
using TCursorPosReportEvent = std::function<void(TSioCustomTerminal* Sender, int X, int Y)>;

class TSioCustomTerminal : public QWidget, public TSioBaseWinControl {
  Q_OBJECT
 public:
  explicit TSioCustomTerminal(QWidget* parent = nullptr);
  ~TSioCustomTerminal() override;

  // ----- published properties -----
  TSioCustomComPort* GetComPort() const { return FComPort; }
  void SetComPort(TSioCustomComPort* port);
  bool GetActive() const { return FActive; }
  void SetActive(bool on);
  TSioCustomEmulator* GetEmulator() const { return FEmulator; }
  void SetEmulator(TSioCustomEmulator* emulator);
  TSioCustomKeyboardEmulator* GetKeyBoardEmu() const { return FKeyBoardEmu; }
  void SetKeyBoardEmu(TSioCustomKeyboardEmulator* emulator);
  std::uint16_t GetRows() const { return FRows; }
  void SetRows(std::uint16_t rows);
  std::uint16_t GetColumns() const { return FColumns; }
  void SetColumns(std::uint16_t columns);
  std::uint16_t GetPageHeight() const { return FPageHeight; }
  void SetPageHeight(std::uint16_t height);
  std::uint16_t GetDisplayRows() const;
  void SetDisplayRows(std::uint16_t rows);
  std::uint16_t GetDisplayColumns() const;
  void SetDisplayColumns(std::uint16_t columns);
  const std::string& GetCaptureFile() const { return FCaptureFile; }
  void SetCaptureFile(const std::string& name);
  TCaptureMode GetCapture() const { return FCapture; }
  void SetCapture(TCaptureMode mode);
  bool GetScrollback() const { return FScrollback; }
  void SetScrollback(bool on);
  bool GetHalfDuplex() const { return FHalfDuplex; }
  void SetHalfDuplex(bool on);
  std::uint16_t GetBlinkTime() const { return FBlinkTime; }
  void SetBlinkTime(std::uint16_t ms);
  bool GetPersistentMark() const { return FPersistentMark; }
  void SetPersistentMark(bool on);
  bool GetWantTabs() const { return FWantTabs; }
  void SetWantTabs(bool on) { FWantTabs = on; }
  // The font; a proportional one is replaced by the fixed terminal font.
  void SetTerminalFont(const QFont& font);

  TTerminalStatusEvent OnTerminalStatus;
  TTerminalErrorEvent OnTerminalError;
  TCursorPosReportEvent OnCursorPosReport;

  // ----- public operations (a negative result raises the library exception) -----
  void ClearWindow();
  void ClearBuffer();
  void StuffChar(char c);
  void StuffString(const std::string& s);
  void ForcePaint();
  void CopyToClipboard();
  void SetColors(std::uint8_t fg, std::uint8_t bg);
  void StartTerminal();
  void StopTerminal();
  int StartTerminalPrim();
  int StopTerminalPrim();
  int ClientLine(int n);
  // Text of buffer row n (1-based).
  std::string GetTermLine(int n);
  void SetTermLine(int n, const std::string& text);

  TTerminalWindow* Window() const { return FWindow; }

 protected:
  // The window's notices and the port's trigger messages; true when handled (the window
  // then leaves received bytes alone).
  virtual bool WndProc(UINT msg, WPARAM w, LPARAM l);
  virtual void TerminalStatus(int row, int col, int firstRow, int firstCol);
  virtual void TerminalError(int code);
  virtual void CursorPosReport(int x, int y);
  virtual void PortOpen();
  virtual void PortClose();
  void resizeEvent(QResizeEvent* e) override;
  LRESULT Send(UINT msg, WPARAM w = 0, LPARAM l = 0);
  void PassBuffer();

  TTerminalWindow* FWindow = nullptr;
  TSioCustomComPort* FComPort = nullptr;
  bool FActive = true;
  bool FStartPending = false;

 private:
  void AttachPort();
  static void EmulatorDispatch(void* data, char c, TEmuCommandLo& cmd);
  static void KeyDispatch(void* data, std::uint16_t key, TKeyEmuCommandLo& cmd);

  TSioCustomEmulator* FEmulator = nullptr;
  TSioCustomKeyboardEmulator* FKeyBoardEmu = nullptr;
  std::uint16_t FRows = 200, FColumns = 80, FPageHeight = 25;
  std::string FCaptureFile = "SIO.CAP";
  TCaptureMode FCapture = cmOff;
  bool FScrollback = false, FHalfDuplex = false, FPersistentMark = true, FWantTabs = true;
  std::uint16_t FBlinkTime = 550;
};

class TSioTerminal : public TSioCustomTerminal {
  Q_OBJECT
 public:
  using TSioCustomTerminal::TSioCustomTerminal;
};

// What the B+ terminal asks of its protocol component: the four host hooks and the start of
// a transfer in either direction. A protocol component (or a test's engine record) fills it.
struct TBPlusLink {
  std::function<int()> ProcessENQ;
  std::function<int(std::uint8_t, std::uint8_t)> ProcessESCI;
  std::function<int(std::uint32_t&)> PrepareProcessDLE;
  std::function<int(bool, bool&, bool&, bool&)> ProcessDLE;
  std::function<void(bool upload)> StartTransfer;
  std::function<bool()> InProgress;
};
// The link over a bare B+ engine record (the engine's own routines).
TBPlusLink BPlusEngineLink(TProtocolData* P);
// The link over a protocol component: its B+ hooks, StartTransmit and StartReceive.
TBPlusLink BPlusProtocolLink(TSioCustomProtocol* protocol);

using TNotifyEvent = std::function<void(QObject* Sender)>;

class TSioCustomBPTerminal : public TSioCustomTerminal {
  Q_OBJECT
 public:
  explicit TSioCustomBPTerminal(QWidget* parent = nullptr);
  ~TSioCustomBPTerminal() override;

  void SetProtocolLink(const TBPlusLink& link);
  // The protocol component that runs the transfers the host starts (null: none).
  TSioCustomProtocol* GetProtocol() const { return FProtocol; }
  void SetProtocol(TSioCustomProtocol* protocol);
  bool TransferRunning() const { return FTransferRunning; }
  TNotifyEvent OnBPlusStart;

 protected:
  bool WndProc(UINT msg, WPARAM w, LPARAM l) override;
  void PortOpen() override;
  void PortClose() override;

 private:
  void ArmTriggers();
  void RemoveTriggers();
  void StartDLE();
  void RunDLE(bool dleSeen);
  // A transfer has ended: the host's start sequences are watched for again, also in what
  // came meanwhile.
  void EndTransfer();
  // Takes at most `limit` waiting bytes: text goes to the screen, and each start sequence of
  // the host (ENQ, ESC "I", DLE) is taken and answered in its place; `once` stops after the
  // first one. An ESC at the end stays until the byte behind it has come.
  void TakeWaiting(std::uint32_t limit, bool once);
  TSioBaseDispatcher* Dispatcher() const;
  QTimer FTransferWatch;

  TBPlusLink FLink;
  bool FHasLink = false;
  TSioCustomProtocol* FProtocol = nullptr;
  std::uint32_t FEnqTrigger = 0, FDleTrigger = 0, FEscITrigger = 0, FDleTimer = 0;
  bool FInDLE = false;
  bool FTransferRunning = false;
  bool FUpload = false;
};

class TSioBPTerminal : public TSioCustomBPTerminal {
  Q_OBJECT
 public:
  using TSioCustomBPTerminal::TSioCustomBPTerminal;
};
