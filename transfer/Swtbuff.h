#pragma once
// Screen memory of the terminal window.
//
// A block of Rows x Columns cells in four parallel byte planes (characters, display colours,
// base colours, attributes), a cursor, a scroll region, tab stops, a view onto the block
// (the emulated screen is the PageHeight rows from the top visible row), text marking and
// an optional capture file. Commands made by the emulator are executed one received
// character at a time (bProcessChar).
//
// The drawing surface is reached through a few virtual operations (invalidate, scroll,
// caret, scroll bars); a window that shows the buffer overrides them. Replies to the host
// go to the port's dispatcher through bWriteReply.
#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Messages.h"
#include "transfer/Swemu.h"

class TSioBaseDispatcher;

// Private messages of the terminal window.
constexpr UINT apw_TermStatus = 0x7E50;
constexpr UINT apw_TermError = 0x7E52;
constexpr UINT apw_CursorPosReport = 0x7E53;

constexpr std::uint16_t MaxTermColumns = 133;
constexpr std::uint32_t MaxTermCells = 65535;
constexpr int HorizTabSlots = 25;
constexpr int VertTabSlots = 12;
constexpr std::size_t CaptureBlockSize = 8192;

// The 16 terminal colours in Windows 0x00BBGGRR order, ANSI index order.
extern const std::array<std::uint32_t, 16> DefaultColorMap;

struct TTermRect {
  int Left = 0, Top = 0, Right = 0, Bottom = 0;
  bool Empty() const { return Right <= Left || Bottom <= Top; }
};

using TUserEmuProc = void (*)(void* data, char c, TEmuCommandLo& command);

class TBuffer {
 public:
  // Raises EGeneral "Buffer allocation failed" when the sizes are outside the limits.
  TBuffer(HWND window, std::uint16_t columns, std::uint16_t rows);
  virtual ~TBuffer();
  TBuffer(const TBuffer&) = delete;
  TBuffer& operator=(const TBuffer&) = delete;

  // ----- set-up -----
  int bNewBuffer(std::uint16_t rows, std::uint16_t columns, std::uint16_t pageHeight);
  void bSetColors(std::uint8_t fg, std::uint8_t bg);
  void bSetHighlightColors(std::uint8_t fg, std::uint8_t bg);
  int bSetCapture(bool on, bool append, const std::string& fileName);
  void bAddToCapture(std::uint8_t c);
  void bFlushCapture();
  void bSetScrollMode(bool on);
  void bUpdateFont(std::uint16_t charHeight, std::uint16_t charWidth);
  // Client area in pixels (the window's size); recomputes the visible rows and columns.
  void bSetClientSize(std::uint16_t width, std::uint16_t height);
  void SetDispatcher(TSioBaseDispatcher* dispatcher) { Dispatcher = dispatcher; }
  void SetUserEmulator(void* data, TUserEmuProc proc) {
    UserEmuData = data;
    UserEmuProc = proc;
  }

  // ----- receiving -----
  void bProcessChar(char c);
  void bWriteChar(char c);
  void bClearScreen();

  // ----- tabs -----
  void bSetHorizontalTabStop(std::uint8_t pos);
  void bClearHorizontalTabStop(std::uint8_t pos);
  void bSetVerticalTabStop(std::uint8_t pos);
  void bClearVerticalTabStop(std::uint8_t pos);
  std::uint8_t bGetNextTabStop(std::uint8_t start, int count, int length, const std::uint8_t* table) const;
  std::uint8_t bGetPrevTabStop(std::uint8_t start, int count, int length, const std::uint8_t* table) const;
  static void bSortTabBuffer(std::uint8_t* table, int length);

  // ----- view and painting -----
  void bInvalidateChar(int column, int row);
  void bMoveCaret();
  bool bNeedPaint() const { return !InvalidRect.Empty(); }
  void bForcePaint();
  void bPostStatusMsg();
  void bUpdateScrollThumb(bool vertical);
  void bScroll(int dx, int dy);
  void bGotoTop(bool vertical);
  void bGotoBottom(bool vertical);
  int bConvertToRow(int y) const;
  int bConvertToCol(int x) const;
  int bCurLineLength() const;
  void bUpdateBuffer();

  // ----- marking -----
  void bResetMarking();
  void bFixMarking(int x, int y);
  void bUpdateMarks(int x, int y);

  // ----- reading the block (for painting and tests) -----
  std::uint8_t* CharPlane() { return Chars.data(); }
  std::uint8_t* ColorPlane() { return Colors.data(); }
  std::uint8_t* BaseColorPlane() { return BaseColors.data(); }
  std::uint8_t* AttrPlane() { return Attrs.data(); }
  std::size_t Cell(int column, int row) const { return static_cast<std::size_t>(row) * Columns + column; }
  // Text of a buffer row (all columns).
  std::string RowText(int row) const;
  // Text of a screen row, 1-based from the top visible row.
  std::string ScreenLine(int screenRow) const;

  // ----- state (public like the record it stands for) -----
  std::uint8_t HorizTabs[HorizTabSlots] = {};
  std::uint8_t VertTabs[VertTabSlots] = {};
  std::uint16_t Rows = 0, Columns = 0;
  std::uint16_t CharHeight = 1, CharWidth = 1;
  std::uint16_t PageHeight = 0;
  std::uint32_t CellCount = 0;
  std::uint32_t LastRowOfs = 0;
  std::uint16_t CurCol = 0, CurRow = 0;
  std::uint16_t MaxRow = 0;  // highest row written so far
  std::int32_t LeftCol = 0, TopRow = 0;
  TSioBaseDispatcher* Dispatcher = nullptr;
  bool InScrollRegion = false;
  std::uint8_t FgColor = 7, BkColor = 0, BaseFg = 7, BaseBk = 0;
  std::array<std::uint32_t, 16> ColorMap{};
  std::uint8_t Attr = 0;
  std::uint16_t VisRows = 0, VisCols = 0;
  std::uint16_t ClientWidth = 0, ClientHeight = 0;
  std::uint16_t RegionTop = 1, RegionBottom = 0;
  void* UserEmuData = nullptr;
  TUserEmuProc UserEmuProc = nullptr;
  TEmuCommandLo Command;
  std::uint16_t SavedCol = 0, SavedRow = 0;
  bool CursorSaved = false;
  std::uint8_t SavedColor = 7, SavedAttr = 0;
  HWND Window = 0;
  std::int32_t PendingScrollY = 0, PendingScrollX = 0;
  TTermRect InvalidRect;
  bool CaretShown = false;
  bool Marking = false;
  int AnchorCol = 0, AnchorRow = 0, MarkStartCol = 0, MarkStartRow = 0, MarkEndCol = 0, MarkEndRow = 0;
  std::uint8_t HighlightFg = 0, HighlightBg = 7;
  std::size_t CaptureCount = 0;
  std::unique_ptr<std::uint8_t[]> CaptureBlock;
  std::string CaptureName;
  std::FILE* CaptureFile = nullptr;
  bool Capturing = false;
  bool ScrollBackMode = false;
  bool BlinkOff = false;
  // A character was written in the last column: the next printable character wraps first,
  // as on a VT100 (so that the bottom-right cell can be written without scrolling).
  bool WrapPending = false;
  // Vertical scroll range kept for the scroll bar in scroll-back mode.
  int ScrollRangeMin = 0, ScrollRangeMax = 0;
  int VScrollPos = 0, HScrollPos = 0;

 protected:
  // Drawing surface; the window that shows the buffer overrides these.
  virtual void WindowInvalidate(const TTermRect& rect) {}
  virtual void WindowScroll(int dx, int dy, const TTermRect& clip) {}
  virtual void WindowUpdate() {}
  virtual void WindowSetCaret(int x, int y) {}
  virtual void WindowSetScrollPos(bool vertical, int pos) {}
  // Writes a reply to the host (the port's dispatcher; nothing without one).
  virtual void bWriteReply(std::string_view text);

 private:
  void ExecuteCommand();
  void RecomputeInRegion();
  int ScreenRow() const { return static_cast<int>(CurRow) - TopRow + 1; }
  void LineFeed();
  void BlankRange(std::size_t start, std::size_t end, bool invalidate = true);
  void BlankRows(int firstRow, int count);
  void MoveCells(std::size_t dest, std::size_t src, std::size_t count);
  void CopyRow(int destRow, int srcRow);
  void InvalidateRows(int firstRow, int lastRow);
  void InvalidateAll();
  void EraseInDisplay(std::uint8_t x, std::uint8_t y);
  void EraseInLine(std::uint8_t x, std::uint8_t y);
  void ResetHorizontalTabs();
  void DeleteChars(int n);
  void DeleteLines(int n);
  void InsertChars(int n);
  void InsertLines(int n);
  void SetScrollRegion(int top, int bottom);
  void Index();
  void ReverseIndex();
  std::uint16_t LastVisibleRow() const;
  void PostMsg(UINT msg, WPARAM w, LPARAM l);
  LRESULT SendMsg(UINT msg, WPARAM w, LPARAM l);
  void CloseCapture();

  std::vector<std::uint8_t> Chars, Colors, BaseColors, Attrs;
};
