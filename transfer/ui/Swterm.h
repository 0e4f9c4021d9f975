#pragma once
// The terminal window: shows a terminal buffer (transfer/Swtbuff.h) with its colours and
// attributes, takes the received bytes from the port's dispatcher, sends typed keys (through
// a key map when one is attached), browses the scroll-back, marks and copies text, and is
// driven by the terminal's private messages sent to its window handle.
#include <QAbstractScrollArea>
#include <QFont>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Messages.h"
#include "transfer/Swkbemu.h"
#include "transfer/Swtbuff.h"

class TSioBaseDispatcher;

// Private messages of the terminal window.
inline constexpr UINT apw_TermStart = 0x7E3C;
inline constexpr UINT apw_TermStop = 0x7E3D;
inline constexpr UINT apw_TermSetCom = 0x7E3E;        // wParam: the dispatcher's handle
inline constexpr UINT apw_TermRelCom = 0x7E3F;        //
inline constexpr UINT apw_TermSetEmuPtr = 0x7E40;     // lParam: emulator data
inline constexpr UINT apw_TermSetEmuProc = 0x7E41;    // lParam: TUserEmuProc
inline constexpr UINT apw_TermClear = 0x7E42;         // wParam 0: screen, 1: whole buffer
inline constexpr UINT apw_TermBuffer = 0x7E43;        // wParam: page height, lParam: rows | columns << 16
inline constexpr UINT apw_TermColors = 0x7E44;        // wParam: foreground, lParam: background index
inline constexpr UINT apw_TermToggleScroll = 0x7E45;  //
inline constexpr UINT apw_TermCapture = 0x7E46;       // wParam: on | append << 8, lParam: const char* name
inline constexpr UINT apw_TermStuff = 0x7E47;         // wParam: count, lParam: bytes
inline constexpr UINT apw_TermPaint = 0x7E48;         //
inline constexpr UINT apw_TermSetWndProc = 0x7E49;    //
inline constexpr UINT apw_TermSetHighlight = 0x7E4A;  // wParam: foreground, lParam: background
inline constexpr UINT apw_TermSave = 0x7E4B;          // wParam 0: save (result: a state block), 1: restore
inline constexpr UINT apw_TermColorMap = 0x7E4C;      // wParam 0 set, 1 get (lParam: 16 colours), 2 current
inline constexpr UINT apw_TermForceSize = 0x7E4D;     // wParam: columns, lParam: rows
inline constexpr UINT apw_TermFontSize = 0x7E4E;      // result: width << 8 | height
inline constexpr UINT apw_TermBPlusStart = 0x7E51;    // to the B+ terminal itself
inline constexpr UINT apw_TermBlinkTime = 0x7E82;     // wParam: milliseconds
inline constexpr UINT apw_TermPersistentMark = 0x7E83;
inline constexpr UINT apw_TermSetKeyEmuPtr = 0x7E84;   // lParam: key emulator data
inline constexpr UINT apw_TermSetKeyEmuProc = 0x7E85;  // lParam: TKeyEmuProc
inline constexpr UINT apw_TermHalfDuplex = 0x7E86;     // wParam: flag
inline constexpr UINT apw_TermGetBuffPtr = 0x7E87;     // lParam: TTermBuffPtrs*
inline constexpr UINT apw_TermGetClientLine = 0x7E88;  // result: the top visible row
inline constexpr UINT WM_COPY = 0x0301;

// Window style bits of the terminal.
inline constexpr unsigned tws_WantTab = 1;
inline constexpr unsigned tws_IntHeight = 2;
inline constexpr unsigned tws_IntWidth = 4;
inline constexpr unsigned tws_AutoHScroll = 8;
inline constexpr unsigned tws_AutoVScroll = 16;
inline constexpr unsigned tws_HScroll = 0x00100000;
inline constexpr unsigned tws_VScroll = 0x00200000;

inline constexpr const char* TerminalClassName = "swTerminal";

struct TTermBuffPtrs {
  std::uint8_t* Chars = nullptr;
  std::uint8_t* Colors = nullptr;
  std::uint8_t* Attrs = nullptr;
};

// A saved window state (message 0x7E4B): planes, tabs, settings and capture.
struct TTermState;

class TTerminalWindow;

// The buffer as the window shows it.
class TTermBuffer : public TBuffer {
 public:
  TTermBuffer(TTerminalWindow& owner, HWND window);

 protected:
  void WindowInvalidate(const TTermRect& rect) override;
  void WindowScroll(int dx, int dy, const TTermRect& clip) override;
  void WindowUpdate() override;
  void WindowSetCaret(int x, int y) override;
  void WindowSetScrollPos(bool vertical, int pos) override;

 private:
  TTerminalWindow& FOwner;
};

class TTerminalWindow : public QAbstractScrollArea {
  Q_OBJECT
 public:
  explicit TTerminalWindow(QWidget* parent = nullptr, unsigned style = tws_WantTab);
  ~TTerminalWindow() override;

  HWND Handle() const { return FHandle; }
  LRESULT Perform(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) {
    return TerminalProc(msg, wParam, lParam);
  }
  // The window's procedure (the class's procedure calls it).
  LRESULT TerminalProc(UINT msg, WPARAM wParam, LPARAM lParam);
  // Notices to the parent component (status 0x7E50, error 0x7E52, cursor report 0x7E53, and
  // the port's trigger messages that the window does not handle itself).
  void SetParentProc(std::function<LRESULT(UINT, WPARAM, LPARAM)> proc) { FParentProc = std::move(proc); }

  TTermBuffer& Buffer() { return *FBuffer; }
  TSioBaseDispatcher* Dispatcher() const { return FDispatcher; }
  bool Started() const { return FStarted; }
  bool ScrollBack() const { return FScrollBack; }
  bool HalfDuplex() const { return FHalfDuplex; }
  int CharWidth() const { return FCharWidth; }
  int CharHeight() const { return FCharHeight; }
  // Sets a fixed-pitch font; false (and nothing changed) for a proportional one.
  bool SetTerminalFont(const QFont& font);
  const QFont& TerminalFont() const { return FFont; }
  // The bytes a key press sends, as the window would (for the window's own key handling).
  void KeyDown(std::uint16_t key, const std::uint8_t* keyboardState);
  void Char(std::uint8_t c);

  // Caret and scroll state, for the buffer.
  void SetCaret(int x, int y);
  void SetScrollThumb(bool vertical, int pos);
  void UpdateScrollBars();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  bool focusNextPrevChild(bool next) override;

 private:
  void KeyPress(QKeyEvent* event);
  void Receive(std::uint32_t count);
  void Send(const std::string& bytes);
  void ToggleScrollBack();
  LRESULT Capture(WPARAM w, LPARAM l);
  LRESULT SaveState();
  void RestoreState(const TTermState* s);
  void ForceSize(int columns, int rows);
  void Blink();
  void CopyMark();
  void Recompute();
  void DrawRow(class QPainter& p, int row, int y);
  void AutoScrollMark();

  HWND FHandle = 0;
  std::unique_ptr<TTermBuffer> FBuffer;
  TSioBaseDispatcher* FDispatcher = nullptr;
  int FDispatcherHandle = -1;
  bool FScrollBack = false;
  bool FDataWaiting = false;
  QFont FFont;
  int FCharWidth = 8, FCharHeight = 16, FAscent = 12;
  bool FHasFocus = false;
  bool FPersistentMark = true;
  bool FHalfDuplex = false;
  bool FStarted = false;
  unsigned FStyle = 0;
  int FCaretX = 0, FCaretY = 0;
  bool FCaretOn = false;
  bool FSettingScroll = false;
  // Scroll-back: what it changed.
  std::uint16_t FSavedCol = 0, FSavedRow = 0;
  std::int32_t FSavedTop = 0, FSavedLeft = 0;
  // Keyboard emulator.
  void* FKeyEmuData = nullptr;
  TKeyEmuProc FKeyEmuProc = nullptr;
  TKeyEmuCommandLo FKeyCommand;
  bool FLastKeyMapped = false;
  // Marking.
  bool FMouseDown = false, FMouseMoved = false;
  QTimer FBlinkTimer, FMarkTimer;
  int FMarkX = 0, FMarkY = 0;
  std::function<LRESULT(UINT, WPARAM, LPARAM)> FParentProc;
};
