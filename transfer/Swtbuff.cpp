// Terminal screen memory: executing emulator commands, scrolling, tabs, capture, marking.
#include "transfer/Swtbuff.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "serial/SioDispatch.h"
#include "serial/Sioexcept.h"

const std::array<std::uint32_t, 16> DefaultColorMap = {
    0x000000, 0x000080, 0x008000, 0x008080, 0x800000, 0x800080, 0x808000, 0xC0C0C0,
    0x808080, 0x0000FF, 0x00FF00, 0x00FFFF, 0xFF0000, 0xFF00FF, 0xFFFF00, 0xFFFFFF};

namespace {
constexpr const char* DefaultCaptureName = "CAPTURE.CAP";
inline std::uint8_t ColorByte(std::uint8_t fg, std::uint8_t bg) {
  return static_cast<std::uint8_t>(((bg & 0x0F) << 4) | (fg & 0x0F));
}
}  // namespace

TBuffer::TBuffer(HWND window, std::uint16_t columns, std::uint16_t rows) : Window(window) {
  ColorMap = DefaultColorMap;
  if (bNewBuffer(rows, columns, 25) != 0) throw EGeneral("Buffer allocation failed");
  bSetColors(7, 0);
  HighlightFg = 0;
  HighlightBg = 7;
  // Until a window reports its size, the whole page counts as visible.
  bSetClientSize(Columns, PageHeight);
  bResetMarking();
}

TBuffer::~TBuffer() { CloseCapture(); }

int TBuffer::bNewBuffer(std::uint16_t rows, std::uint16_t columns, std::uint16_t pageHeight) {
  if (columns > MaxTermColumns || rows < pageHeight ||
      static_cast<std::uint32_t>(rows) * columns > MaxTermCells || columns == 0 || pageHeight == 0)
    return ecBadArgument;
  Rows = rows;
  Columns = columns;
  PageHeight = pageHeight;
  CellCount = static_cast<std::uint32_t>(rows) * columns;
  LastRowOfs = static_cast<std::uint32_t>(columns) * (rows - 1);
  Chars.assign(CellCount, ' ');
  Colors.assign(CellCount, 0);
  BaseColors.assign(CellCount, 0);
  Attrs.assign(CellCount, 0);
  std::size_t screen = static_cast<std::size_t>(pageHeight) * columns;
  std::fill_n(Colors.begin(), screen, ColorByte(BkColor, BkColor));
  std::fill_n(BaseColors.begin(), screen, ColorByte(BkColor, BkColor));
  std::memset(HorizTabs, 0, sizeof HorizTabs);
  std::memset(VertTabs, 0, sizeof VertTabs);
  int stops = columns / 8;
  for (int i = 0; i < stops && i < HorizTabSlots; ++i)
    HorizTabs[HorizTabSlots - stops + i] = static_cast<std::uint8_t>((i + 1) * 8);
  CurCol = 0;
  CurRow = 0;
  MaxRow = static_cast<std::uint16_t>(pageHeight - 1);
  LeftCol = 0;
  TopRow = 0;
  InvalidRect = {};
  PendingScrollX = PendingScrollY = 0;
  RegionTop = 1;
  RegionBottom = pageHeight;
  CursorSaved = false;
  bResetMarking();
  return 0;
}

void TBuffer::bSetColors(std::uint8_t fg, std::uint8_t bg) {
  FgColor = BaseFg = fg & 0x0F;
  BkColor = BaseBk = bg & 0x0F;
  HighlightFg = BkColor;
  HighlightBg = FgColor;
}

void TBuffer::bSetHighlightColors(std::uint8_t fg, std::uint8_t bg) {
  HighlightFg = fg & 0x0F;
  HighlightBg = bg & 0x0F;
}

void TBuffer::bSetScrollMode(bool on) { ScrollBackMode = on; }

void TBuffer::bUpdateFont(std::uint16_t charHeight, std::uint16_t charWidth) {
  CharHeight = charHeight;
  CharWidth = charWidth;
  VisRows = CharHeight ? static_cast<std::uint16_t>(ClientHeight / CharHeight) : 0;
  VisCols = CharWidth ? static_cast<std::uint16_t>(ClientWidth / CharWidth) : 0;
  RegionTop = 1;
  RegionBottom = PageHeight;
}

void TBuffer::bSetClientSize(std::uint16_t width, std::uint16_t height) {
  ClientWidth = width;
  ClientHeight = height;
  VisRows = CharHeight ? static_cast<std::uint16_t>(ClientHeight / CharHeight) : 0;
  VisCols = CharWidth ? static_cast<std::uint16_t>(ClientWidth / CharWidth) : 0;
}

// ---------------------------------------------------------------------------------------
// Messages and drawing
// ---------------------------------------------------------------------------------------

void TBuffer::PostMsg(UINT msg, WPARAM w, LPARAM l) {
  if (Window) PostMessage(Window, msg, w, l);
}

LRESULT TBuffer::SendMsg(UINT msg, WPARAM w, LPARAM l) { return Window ? SendMessage(Window, msg, w, l) : 0; }

void TBuffer::bWriteReply(std::string_view text) {
  if (Dispatcher) Dispatcher->PutBlock(text.data(), static_cast<std::uint32_t>(text.size()));
}

void TBuffer::bMoveCaret() {
  if (CaretShown)
    WindowSetCaret((static_cast<int>(CurCol) - LeftCol) * CharWidth,
                   (static_cast<int>(CurRow) - TopRow) * CharHeight);
}

void TBuffer::bInvalidateChar(int column, int row) {
  int x = (column - LeftCol) * CharWidth;
  int y = (row - TopRow) * CharHeight;
  if (y < ClientHeight) {
    TTermRect r{x, y, x + CharWidth, y + CharHeight};
    if (InvalidRect.Empty()) {
      InvalidRect = r;
    } else {
      InvalidRect.Left = std::min(InvalidRect.Left, r.Left);
      InvalidRect.Top = std::min(InvalidRect.Top, r.Top);
      InvalidRect.Right = std::max(InvalidRect.Right, r.Right);
      InvalidRect.Bottom = std::max(InvalidRect.Bottom, r.Bottom);
    }
  }
  bMoveCaret();
}

void TBuffer::InvalidateRows(int firstRow, int lastRow) {
  if (lastRow < firstRow) return;
  int y1 = (firstRow - TopRow) * CharHeight;
  int y2 = (lastRow + 1 - TopRow) * CharHeight;
  TTermRect r{0, y1, std::max<int>(ClientWidth, Columns * CharWidth), y2};
  if (InvalidRect.Empty()) {
    InvalidRect = r;
  } else {
    InvalidRect.Left = std::min(InvalidRect.Left, r.Left);
    InvalidRect.Top = std::min(InvalidRect.Top, r.Top);
    InvalidRect.Right = std::max(InvalidRect.Right, r.Right);
    InvalidRect.Bottom = std::max(InvalidRect.Bottom, r.Bottom);
  }
}

void TBuffer::InvalidateAll() {
  InvalidRect = {0, 0, std::max<int>(ClientWidth, 1), std::max<int>(ClientHeight, 1)};
}

void TBuffer::bPostStatusMsg() {
  WPARAM w = 0;
  if (!ScrollBackMode) {
    unsigned row = static_cast<unsigned>(static_cast<int>(CurRow) - TopRow + 1) & 0xFF;
    unsigned col = static_cast<unsigned>(CurCol + 1) & 0xFF;
    w = row | (col << 8);
  }
  LPARAM l = static_cast<LPARAM>(((TopRow + 1) & 0xFFFF) | (((LeftCol + 1) & 0xFFFF) << 16));
  PostMsg(apw_TermStatus, w, l);
}

void TBuffer::bUpdateScrollThumb(bool vertical) {
  if (!vertical) {
    HScrollPos = LeftCol;
    WindowSetScrollPos(false, HScrollPos);
    return;
  }
  int v;
  if (ScrollBackMode) {
    v = TopRow;
    VScrollPos = v;
  } else {
    v = PageHeight - (MaxRow - TopRow);
    VScrollPos = v - 1;
  }
  WindowSetScrollPos(true, VScrollPos);
}

void TBuffer::bForcePaint() {
  if (!InvalidRect.Empty()) {
    WindowInvalidate(InvalidRect);
    InvalidRect = {};
  }
  if (PendingScrollX != 0 || PendingScrollY != 0) {
    TTermRect band{0, 0, std::max<int>(ClientWidth, Columns * CharWidth), ClientHeight};
    if (!ScrollBackMode) {
      band.Top = (RegionTop - 1) * CharHeight;
      band.Bottom = RegionBottom * CharHeight;
    }
    WindowScroll(PendingScrollX, PendingScrollY, band);
    if (PendingScrollY < 0) WindowInvalidate({band.Left, band.Bottom - CharHeight, band.Right, band.Bottom});
    bUpdateScrollThumb(true);
    bUpdateScrollThumb(false);
    PendingScrollX = PendingScrollY = 0;
    WindowUpdate();
  }
  bPostStatusMsg();
}

// ---------------------------------------------------------------------------------------
// Cells
// ---------------------------------------------------------------------------------------

void TBuffer::BlankRange(std::size_t start, std::size_t end, bool invalidate) {
  end = std::min<std::size_t>(end, CellCount);
  if (start >= end) return;
  std::uint8_t color = ColorByte(FgColor, BkColor);
  std::fill(Chars.begin() + start, Chars.begin() + end, ' ');
  std::fill(Colors.begin() + start, Colors.begin() + end, color);
  std::fill(BaseColors.begin() + start, BaseColors.begin() + end, color);
  std::fill(Attrs.begin() + start, Attrs.begin() + end, 0);
  if (invalidate) {
    InvalidateRows(static_cast<int>(start / Columns), static_cast<int>((end - 1) / Columns));
    WindowUpdate();
  }
}

// Rows made new by scrolling: spaces, the current colours and the current attributes.
void TBuffer::BlankRows(int firstRow, int count) {
  for (int r = firstRow; r < firstRow + count; ++r) {
    if (r < 0 || r >= Rows) continue;
    std::size_t s = Cell(0, r), e = s + Columns;
    std::uint8_t color = ColorByte(FgColor, BkColor);
    std::fill(Chars.begin() + s, Chars.begin() + e, ' ');
    std::fill(Colors.begin() + s, Colors.begin() + e, color);
    std::fill(BaseColors.begin() + s, BaseColors.begin() + e, color);
    std::fill(Attrs.begin() + s, Attrs.begin() + e, Attr);
  }
}

void TBuffer::MoveCells(std::size_t dest, std::size_t src, std::size_t count) {
  if (src >= CellCount || dest >= CellCount) return;
  count = std::min(
      {count, static_cast<std::size_t>(CellCount) - src, static_cast<std::size_t>(CellCount) - dest});
  if (count == 0) return;
  for (auto* plane : {&Chars, &Colors, &BaseColors, &Attrs})
    std::memmove(plane->data() + dest, plane->data() + src, count);
}

void TBuffer::CopyRow(int destRow, int srcRow) {
  if (destRow == srcRow || destRow < 0 || srcRow < 0 || destRow >= Rows || srcRow >= Rows) return;
  MoveCells(Cell(0, destRow), Cell(0, srcRow), Columns);
}

std::string TBuffer::RowText(int row) const {
  if (row < 0 || row >= Rows) return {};
  return std::string(reinterpret_cast<const char*>(Chars.data()) + Cell(0, row), Columns);
}

std::string TBuffer::ScreenLine(int screenRow) const { return RowText(TopRow + screenRow - 1); }

int TBuffer::bCurLineLength() const {
  std::string s = RowText(CurRow);
  std::size_t n = s.find_last_not_of(' ');
  return n == std::string::npos ? 0 : static_cast<int>(n + 1);
}

// ---------------------------------------------------------------------------------------
// Writing and line feeds
// ---------------------------------------------------------------------------------------

void TBuffer::RecomputeInRegion() {
  int sr = ScreenRow();
  InScrollRegion = sr >= RegionTop && sr <= RegionBottom;
}

std::uint16_t TBuffer::LastVisibleRow() const {
  int vis = std::clamp<int>(VisRows, 1, PageHeight);
  return static_cast<std::uint16_t>(std::min<int>(TopRow + vis - 1, Rows - 1));
}

void TBuffer::bUpdateBuffer() {
  // 1. the highest row written
  if (CurRow > MaxRow && CurRow < Rows) {
    MaxRow = CurRow;
    if (ScrollBackMode) {
      ScrollRangeMin = 1;
      ScrollRangeMax = CurRow < VisRows ? CurRow : CurRow - VisRows + 1;
    }
  }
  int sr = ScreenRow();
  int screenLast = TopRow + PageHeight - 1;
  if (InScrollRegion && sr > RegionBottom) {
    int regionFirst = TopRow + RegionTop - 1;
    int regionLast = TopRow + RegionBottom - 1;
    if (TopRow + PageHeight >= Rows) {
      // 2. the screen sits at the end of the buffer: the content moves up one row. With the
      // region at the top of the screen the oldest buffer row is dropped (it scrolls into
      // history); a region further down leaves the rows above it where they are.
      int from = RegionTop == 1 ? 0 : regionFirst;
      if (regionLast > from)
        MoveCells(Cell(0, from), Cell(0, from + 1), static_cast<std::size_t>(regionLast - from) * Columns);
      BlankRows(regionLast, 1);
      CurRow = static_cast<std::uint16_t>(regionLast);
      PendingScrollY -= CharHeight;
    } else {
      // 3. the view moves down so that the cursor row is the region's bottom row; rows
      // below and above the region are carried along so that they stay in place.
      int d = std::min(sr - RegionBottom, Rows - PageHeight - TopRow);
      int newTop = TopRow + d;
      // Rows below and above the region, each block in one move (newTop > TopRow: the blocks
      // move down, and memmove keeps an overlapping block whole).
      if (PageHeight > RegionBottom)
        MoveCells(Cell(0, newTop + RegionBottom), Cell(0, TopRow + RegionBottom),
                  static_cast<std::size_t>(PageHeight - RegionBottom) * Columns);
      if (RegionTop > 1)
        MoveCells(Cell(0, newTop), Cell(0, TopRow), static_cast<std::size_t>(RegionTop - 1) * Columns);
      TopRow = newTop;
      CurRow = static_cast<std::uint16_t>(newTop + RegionBottom - 1);
      BlankRows(CurRow, 1);
      PendingScrollY -= d * CharHeight;
      InvalidateAll();
    }
  } else if (sr > RegionBottom && CurRow > screenLast) {
    // Outside the region a cursor that passed the screen's last row stays on it.
    CurRow = static_cast<std::uint16_t>(std::min(screenLast, Rows - 1));
  }
  if (CurRow >= Rows) CurRow = static_cast<std::uint16_t>(Rows - 1);
  // 4. the view follows the cursor
  int lastVis = LastVisibleRow();
  if (CurRow > lastVis) {
    int d = std::min<int>(CurRow - lastVis, Rows - PageHeight - TopRow);
    if (d > 0) {
      TopRow += d;
      PendingScrollY -= d * CharHeight;
    }
  } else if (CurRow < TopRow) {
    PendingScrollY += (TopRow - CurRow) * CharHeight;
    TopRow = CurRow;
  }
  bMoveCaret();
}

void TBuffer::LineFeed() {
  std::int32_t before = PendingScrollY;
  ++CurRow;
  bUpdateBuffer();
  if (PendingScrollY != before && ScreenRow() >= RegionBottom) {
    std::size_t s = Cell(0, CurRow);
    std::uint8_t color = ColorByte(FgColor, BkColor);
    std::fill_n(Colors.begin() + s, Columns, color);
    std::fill_n(BaseColors.begin() + s, Columns, color);
    std::fill_n(Attrs.begin() + s, Columns, Attr);
  }
}

void TBuffer::bWriteChar(char ch) {
  auto c = static_cast<std::uint8_t>(ch);
  RecomputeInRegion();
  if (c == 8 || c == 10 || c == 13) WrapPending = false;
  switch (c) {
    case 8:
      if (CurCol > 0) {
        --CurCol;
        // A VT100's backspace only moves; the other emulations blank the cell as well.
        if (Command.Emulation != etVT100) Chars[Cell(CurCol, CurRow)] = ' ';
        bInvalidateChar(CurCol, CurRow);
      }
      break;
    case 10:
      LineFeed();
      break;
    case 13:
      CurCol = 0;
      bMoveCaret();
      break;
    default: {
      if (WrapPending) {
        WrapPending = false;
        CurCol = 0;
        LineFeed();
      }
      std::size_t i = Cell(CurCol, CurRow);
      Chars[i] = c;
      Colors[i] = BaseColors[i] = ColorByte(FgColor, BkColor);
      if ((Attr & eattrBlink) && BlinkOff) Colors[i] = ColorByte(BkColor, BkColor);
      Attrs[i] = Attr;
      bInvalidateChar(CurCol, CurRow);
      if (CurCol + 1 >= Columns) {
        WrapPending = true;
      } else {
        ++CurCol;
      }
      break;
    }
  }
  bAddToCapture(c);
}

void TBuffer::bClearScreen() {
  CurCol = 0;
  if (TopRow + 2 * PageHeight < Rows) {
    TopRow += PageHeight;
  } else {
    // Too close to the end: the buffer content moves up so that the old screen stays right
    // above the new one (as far as the buffer holds it).
    int newTop = Rows - PageHeight;
    int shift = TopRow + PageHeight - newTop;
    if (shift > 0) {
      for (int r = 0; r + shift < Rows; ++r) CopyRow(r, r + shift);
      MaxRow = static_cast<std::uint16_t>(std::max(0, MaxRow - shift));
    }
    TopRow = newTop;
  }
  CurRow = static_cast<std::uint16_t>(TopRow);
  BlankRows(TopRow, PageHeight);
  MaxRow = std::max<std::uint16_t>(MaxRow, static_cast<std::uint16_t>(TopRow + PageHeight - 1));
  InvalidateAll();
  bForcePaint();
}

// ---------------------------------------------------------------------------------------
// Tabs
// ---------------------------------------------------------------------------------------

void TBuffer::bSortTabBuffer(std::uint8_t* table, int length) {
  bool swapped = true;
  while (swapped) {
    swapped = false;
    for (int i = 0; i + 1 < length; ++i) {
      if (table[i] != 0 && table[i] == table[i + 1]) {
        table[i] = 0;
        swapped = true;
      } else if (table[i] > table[i + 1]) {
        std::swap(table[i], table[i + 1]);
        swapped = true;
      }
    }
  }
}

void TBuffer::bSetHorizontalTabStop(std::uint8_t pos) {
  if (pos == 0) return;
  if (HorizTabs[0] == 0) HorizTabs[0] = pos;
  bSortTabBuffer(HorizTabs, HorizTabSlots);
}

void TBuffer::bClearHorizontalTabStop(std::uint8_t pos) {
  for (auto& t : HorizTabs)
    if (t == pos) t = 0;
  bSortTabBuffer(HorizTabs, HorizTabSlots);
}

void TBuffer::bSetVerticalTabStop(std::uint8_t pos) {
  if (pos == 0) return;
  if (VertTabs[0] == 0) VertTabs[0] = pos;
  bSortTabBuffer(VertTabs, VertTabSlots);
}

void TBuffer::bClearVerticalTabStop(std::uint8_t pos) {
  for (auto& t : VertTabs)
    if (t == pos) t = 0;
  bSortTabBuffer(VertTabs, VertTabSlots);
}

std::uint8_t TBuffer::bGetNextTabStop(std::uint8_t start, int count, int length,
                                      const std::uint8_t* table) const {
  std::uint8_t last = 0;
  int found = 0;
  for (int i = 0; i < length; ++i) {
    std::uint8_t v = table[i];
    if (v > start && v < Columns) {
      last = v;
      if (++found == count) return v;
    }
  }
  return found ? last : start;
}

std::uint8_t TBuffer::bGetPrevTabStop(std::uint8_t start, int count, int length,
                                      const std::uint8_t* table) const {
  std::uint8_t leftmost = 0;
  int found = 0;
  for (int i = length - 1; i >= 0; --i) {
    std::uint8_t v = table[i];
    if (v >= start) continue;
    ++found;
    if (v != 0) leftmost = v;
    if (found >= count) {
      if (v != 0) return v;
      break;
    }
  }
  return leftmost ? leftmost : start;
}

void TBuffer::ResetHorizontalTabs() {
  std::memset(HorizTabs, 0, sizeof HorizTabs);
  int stops = std::min(VisCols / 8, HorizTabSlots);
  for (int i = 0; i < stops; ++i)
    HorizTabs[HorizTabSlots - stops + i] = static_cast<std::uint8_t>((i + 1) * 8);
}

// ---------------------------------------------------------------------------------------
// Editing commands
// ---------------------------------------------------------------------------------------

void TBuffer::EraseInDisplay(std::uint8_t x, std::uint8_t y) {
  std::uint8_t savedBk = BkColor;
  if (y == 1 && (Attr & eattrReverse)) BkColor = FgColor;
  std::size_t cur = Cell(CurCol, CurRow);
  switch (x) {
    case 0:
      BlankRange(cur, CellCount);
      break;
    case 1:
      BlankRange(0, cur + 1);
      break;
    case 2:
      bClearScreen();
      break;
    default:
      break;
  }
  BkColor = savedBk;
}

void TBuffer::EraseInLine(std::uint8_t x, std::uint8_t y) {
  std::uint8_t savedBk = BkColor;
  if (y == 1 && (Attr & eattrReverse)) BkColor = FgColor;
  std::size_t lineStart = Cell(0, CurRow), cur = Cell(CurCol, CurRow), lineEnd = lineStart + Columns;
  switch (x) {
    case 0:
      BlankRange(cur, lineEnd);
      break;
    case 1:
      BlankRange(lineStart, cur + 1);
      break;
    case 2:
      BlankRange(lineStart, lineEnd);
      break;
    default:
      break;
  }
  BkColor = savedBk;
}

void TBuffer::DeleteChars(int n) {
  // Only the cursor's line moves; the freed cells at its end are blanked.
  int remaining = Columns - CurCol;
  n = std::min(n, remaining);
  if (n <= 0) return;
  std::size_t cur = Cell(CurCol, CurRow), lineEnd = Cell(0, CurRow) + Columns;
  MoveCells(cur, cur + n, static_cast<std::size_t>(remaining - n));
  BlankRange(lineEnd - n, lineEnd, false);
  InvalidateRows(CurRow, CurRow);
  WindowUpdate();
}

void TBuffer::InsertChars(int n) {
  int remaining = Columns - CurCol;
  n = std::min(n, remaining);
  if (n <= 0) return;
  std::size_t cur = Cell(CurCol, CurRow);
  MoveCells(cur + n, cur, static_cast<std::size_t>(remaining - n));
  BlankRange(cur, cur + n, false);
  InvalidateRows(CurRow, CurRow);
  WindowUpdate();
}

void TBuffer::DeleteLines(int n) {
  if (n == 0) n = 1;
  int screenLast = std::min(TopRow + PageHeight - 1, Rows - 1);
  if (CurRow > screenLast) return;
  n = std::min(n, screenLast - CurRow + 1);
  for (int r = CurRow; r + n <= screenLast; ++r) CopyRow(r, r + n);
  BlankRange(Cell(0, screenLast - n + 1), Cell(0, screenLast) + Columns, false);
  InvalidateRows(CurRow, std::min<int>(CurRow + RegionBottom, Rows - 1));
  WindowUpdate();
}

void TBuffer::InsertLines(int n) {
  RecomputeInRegion();
  int screenLast = std::min(TopRow + PageHeight - 1, Rows - 1);
  if (n <= 0 || CurRow > screenLast) return;
  n = std::min(n, screenLast - CurRow + 1);
  for (int r = screenLast; r - n >= CurRow; --r) CopyRow(r, r - n);
  BlankRange(Cell(0, CurRow), Cell(0, CurRow + n - 1) + Columns, false);
  InvalidateRows(CurRow, std::min<int>(CurRow + RegionBottom, Rows - 1));
  WindowUpdate();
}

void TBuffer::SetScrollRegion(int top, int bottom) {
  // 0 or an omitted bottom is the bottom of the screen; margins beyond the screen are cut
  // back to it, and a region of less than two rows is refused.
  if (top < 1) top = 1;
  if (bottom < 1 || bottom > PageHeight) bottom = PageHeight;
  if (top >= bottom) return;
  RegionTop = static_cast<std::uint16_t>(top);
  RegionBottom = static_cast<std::uint16_t>(bottom);
  CurCol = static_cast<std::uint16_t>(LeftCol);
  CurRow = static_cast<std::uint16_t>(TopRow);
  InScrollRegion = top == 1;
  bMoveCaret();
}

void TBuffer::Index() {
  RecomputeInRegion();
  LineFeed();
}

void TBuffer::ReverseIndex() {
  RecomputeInRegion();
  int sr = ScreenRow();
  if (InScrollRegion && sr == RegionTop) {
    // At the top margin the region moves down by one row; its top row is blanked.
    int regionFirst = TopRow + RegionTop - 1;
    int regionLast = std::min(TopRow + RegionBottom - 1, Rows - 1);
    for (int r = regionLast; r > regionFirst; --r) CopyRow(r, r - 1);
    BlankRows(regionFirst, 1);
    InvalidateRows(regionFirst, regionLast);
  } else if (sr > 1) {
    --CurRow;
  }
  bMoveCaret();
}

// ---------------------------------------------------------------------------------------
// Commands
// ---------------------------------------------------------------------------------------

void TBuffer::bProcessChar(char c) {
  if (UserEmuProc && UserEmuData) {
    UserEmuProc(UserEmuData, c, Command);
  } else {
    Command.Ch = c;
    Command.Cmd = 1;
  }
  ExecuteCommand();
}

void TBuffer::ExecuteCommand() {
  const TEmuCommandLo& cmd = Command;
  int X = cmd.X, Y = cmd.Y;
  // Only a written character keeps a pending wrap; every other command ends it.
  if (cmd.Cmd != 1 && cmd.Cmd != 0 && cmd.Cmd != 16) WrapPending = false;
  int screenLast = std::min(TopRow + PageHeight - 1, Rows - 1);
  switch (cmd.Cmd) {
    case 1:
      if (cmd.Ch != 0) bWriteChar(cmd.Ch);
      break;
    case 2:
      if (X > 0) CurCol = static_cast<std::uint16_t>(std::min(LeftCol + X - 1, Columns - 1));
      if (Y > 0) CurRow = static_cast<std::uint16_t>(std::min(TopRow + Y - 1, screenLast));
      bMoveCaret();
      RecomputeInRegion();
      break;
    case 3: {
      int oldSr = ScreenRow();
      int y = std::min<int>(Y, CurRow);
      int newSr = oldSr - y;
      InScrollRegion =
          (oldSr >= RegionTop && oldSr <= RegionBottom) || (RegionTop > newSr && RegionTop < oldSr);
      newSr = std::max(newSr, InScrollRegion ? static_cast<int>(RegionTop) : 1);
      CurRow = static_cast<std::uint16_t>(std::max(0, TopRow + newSr - 1));
      bMoveCaret();
      break;
    }
    case 4:
      // ESC D (index) arrives as a cursor-down by one with "D" as its character: it moves
      // down like a line feed, scrolling the region at its bottom margin.
      if (cmd.Ch == 'D') {
        Index();
        break;
      }
      if (CurRow + Y < Rows) {
        int oldSr = ScreenRow();
        int newSr = oldSr + Y;
        InScrollRegion =
            (oldSr >= RegionTop && oldSr <= RegionBottom) || (RegionBottom > oldSr && RegionBottom < newSr);
        int limit = InScrollRegion ? RegionBottom : LastVisibleRow() - TopRow + 1;
        if (oldSr > limit) limit = oldSr;  // never moves up
        newSr = std::min(newSr, limit);
        CurRow = static_cast<std::uint16_t>(std::min(TopRow + newSr - 1, Rows - 1));
        bMoveCaret();
      }
      break;
    case 5:
      if (CurCol + X < Columns)
        CurCol = static_cast<std::uint16_t>(CurCol + X);
      else if (cmd.Emulation == etVT100)
        CurCol = static_cast<std::uint16_t>(Columns - 1);  // a VT100 stops at the right margin
      bMoveCaret();
      break;
    case 6:
      CurCol = static_cast<std::uint16_t>(CurCol - std::min<int>(X, CurCol));
      bMoveCaret();
      break;
    case 7:
    case 8:
    case 9:
    case 50:
      EraseInDisplay(cmd.X, cmd.Y);
      break;
    case 10:
    case 11:
    case 12:
    case 52:
      EraseInLine(cmd.X, cmd.Y);
      break;
    case 16:
      if (cmd.FgColor < 16 && cmd.BkColor < 16) {
        BaseFg = cmd.FgColor;
        BaseBk = cmd.BkColor;
        Attr = cmd.ExtAttr;
        if (Attr & eattrReverse) {
          FgColor = cmd.BkColor;
          BkColor = cmd.FgColor;
        } else {
          FgColor = cmd.FgColor;
          BkColor = cmd.BkColor;
        }
      }
      break;
    case 17:
      SavedCol = CurCol;
      SavedRow = CurRow;
      SavedColor = ColorByte(FgColor, BkColor);
      SavedAttr = Attr;
      CursorSaved = true;
      break;
    case 18:
      if (CursorSaved) {
        CurCol = std::min<std::uint16_t>(SavedCol, static_cast<std::uint16_t>(Columns - 1));
        CurRow = std::min<std::uint16_t>(SavedRow, static_cast<std::uint16_t>(Rows - 1));
        FgColor = SavedColor & 0x0F;
        BkColor = SavedColor >> 4;
        Attr = SavedAttr;
        CursorSaved = false;
      } else if (cmd.Emulation == etANSI) {
        CurCol = static_cast<std::uint16_t>(LeftCol);
        CurRow = static_cast<std::uint16_t>(TopRow);
        FgColor = 7;
        BkColor = 0;
        Attr = 0;
      }
      bMoveCaret();
      break;
    case 19:
      // Status: the terminal is fine (so that a host asking for it goes on to the position).
      if (X == 5) bWriteReply("\x1b[0n");
      if (X == 6) {
        int row = std::clamp(ScreenRow(), 0, 999);
        int col = std::clamp(static_cast<int>(CurCol) - LeftCol + 1, 0, 999);
        bWriteReply("\x1b[" + std::to_string(row) + ";" + std::to_string(col) + "R");
      }
      break;
    case 20:
      for (int i = 1; i <= cmd.Other[0] && i <= MaxOtherLen; ++i) bWriteChar(static_cast<char>(cmd.Other[i]));
      break;
    case 21: {
      std::uint8_t s =
          bGetNextTabStop(static_cast<std::uint8_t>(std::min<int>(CurCol, 255)), 1, HorizTabSlots, HorizTabs);
      CurCol = std::min<std::uint16_t>(s, static_cast<std::uint16_t>(Columns - 1));
      bMoveCaret();
      break;
    }
    case 31: {
      std::uint8_t s =
          bGetPrevTabStop(static_cast<std::uint8_t>(std::min(CurCol + 1, 255)), X, HorizTabSlots, HorizTabs);
      CurCol = static_cast<std::uint16_t>(std::clamp(s - 1, 0, Columns - 1));
      bMoveCaret();
      break;
    }
    case 33:
      if (X > 0) CurCol = static_cast<std::uint16_t>(std::min(LeftCol + X - 1, Columns - 1));
      bMoveCaret();
      break;
    case 34: {
      std::uint8_t s =
          bGetNextTabStop(static_cast<std::uint8_t>(std::min(CurCol + 1, 255)), X, HorizTabSlots, HorizTabs);
      CurCol = static_cast<std::uint16_t>(std::clamp(s - 1, 0, Columns - 1));
      bMoveCaret();
      break;
    }
    case 35: {
      int y = Y == 0 ? 1 : Y;
      // the host moves the cursor within its screen only
      if (CurRow + y < Rows)
        CurRow = static_cast<std::uint16_t>(std::max<int>(CurRow, std::min(CurRow + y, screenLast)));
      CurCol = static_cast<std::uint16_t>(LeftCol);
      bMoveCaret();
      break;
    }
    case 36: {
      int y = std::min<int>(Y == 0 ? 1 : Y, CurRow);
      CurRow = static_cast<std::uint16_t>(CurRow - y);
      CurCol = static_cast<std::uint16_t>(LeftCol);
      RecomputeInRegion();
      bMoveCaret();
      break;
    }
    case 37:
      SendMsg(apw_CursorPosReport, static_cast<WPARAM>(X), static_cast<LPARAM>(Y));
      break;
    case 39:
      switch (X) {
        case 0:
          bSetHorizontalTabStop(static_cast<std::uint8_t>(std::min(CurCol + 1, 255)));
          break;
        case 1:
          bSetVerticalTabStop(static_cast<std::uint8_t>(std::min<int>(CurRow + 1, PageHeight)));
          break;
        case 2:
          bClearHorizontalTabStop(static_cast<std::uint8_t>(std::min(CurCol + 1, 255)));
          break;
        case 3:
          bClearVerticalTabStop(static_cast<std::uint8_t>(std::min<int>(CurRow + 1, PageHeight)));
          break;
        case 4:
        case 5:
          ResetHorizontalTabs();
          break;
        case 6:
          std::memset(VertTabs, 0, sizeof VertTabs);
          break;
        default:
          break;
      }
      break;
    case 40:
      if (CurRow < PageHeight - 1) {
        std::uint8_t s = bGetNextTabStop(static_cast<std::uint8_t>(CurRow + 1), Y, VertTabSlots, VertTabs);
        CurRow = static_cast<std::uint16_t>(std::clamp(s - 1, 0, Rows - 1));
        bMoveCaret();
      }
      break;
    case 41:
      if (X == 0) {
        if (Y == 1)
          bWriteReply("\x1b[?1;0c");
        else if (Y == 0)
          bWriteReply("\x1b/Z");
      }
      break;
    case 43:
      DeleteChars(X);
      break;
    case 45:
      DeleteLines(Y);
      break;
    case 49: {
      std::size_t cur = Cell(CurCol, CurRow);
      BlankRange(cur, cur + static_cast<std::size_t>(X));
      break;
    }
    case 64: {
      std::uint8_t s =
          bGetNextTabStop(static_cast<std::uint8_t>(std::min(CurCol + 1, 255)), 1, HorizTabSlots, HorizTabs);
      int h = s - 1 - CurCol;
      if (h > 0) {
        InsertChars(h);
        CurCol = static_cast<std::uint16_t>(std::min(CurCol + h, Columns - 1));
        bMoveCaret();
      }
      break;
    }
    case 65:
      bSetHorizontalTabStop(static_cast<std::uint8_t>(std::min(CurCol + 1, 255)));
      break;
    case 66:
      InsertChars(X);
      break;
    case 67:
      InsertLines(Y);
      break;
    case 76:
      if (CurRow + 1 < Rows && CurRow < screenLast) ++CurRow;
      CurCol = 0;
      RecomputeInRegion();
      bMoveCaret();
      break;
    case 106:
      switch (X) {
        case 0:
          bClearHorizontalTabStop(static_cast<std::uint8_t>(std::min(CurCol + 1, 255)));
          break;
        case 1:
          bClearVerticalTabStop(static_cast<std::uint8_t>(std::min<int>(CurRow + 1, PageHeight)));
          break;
        case 2:
        case 3:
          ResetHorizontalTabs();
          break;
        case 4:
          std::memset(VertTabs, 0, sizeof VertTabs);
          break;
        default:
          break;
      }
      break;
    case 88:
      ReverseIndex();
      break;
    case 111:
      if (Y > 0) CurRow = static_cast<std::uint16_t>(std::min(TopRow + Y - 1, screenLast));
      bMoveCaret();
      break;
    case 112:
      bSetVerticalTabStop(static_cast<std::uint8_t>(std::min<int>(CurRow + 1, PageHeight)));
      break;
    case 113:
      SetScrollRegion(X, Y);
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------------------
// Capture
// ---------------------------------------------------------------------------------------

int TBuffer::bSetCapture(bool on, bool append, const std::string& fileName) {
  if (on && !Capturing) {
    CaptureName = fileName.empty() ? DefaultCaptureName : fileName.substr(0, 255);
    std::FILE* f = std::fopen(CaptureName.c_str(), append ? "ab" : "wb");
    if (!f) return SioErrorFromErrno(errno, true);
    CaptureBlock = std::make_unique<std::uint8_t[]>(CaptureBlockSize);
    CaptureFile = f;
    CaptureCount = 0;
    Capturing = true;
  } else if (!on && Capturing) {
    CloseCapture();
  }
  return 0;
}

void TBuffer::CloseCapture() {
  if (!Capturing) return;
  bFlushCapture();
  if (CaptureFile) std::fclose(CaptureFile);
  CaptureFile = nullptr;
  CaptureBlock.reset();
  CaptureCount = 0;
  Capturing = false;
}

void TBuffer::bAddToCapture(std::uint8_t c) {
  if (!Capturing || !CaptureBlock) return;
  CaptureBlock[CaptureCount++] = c;
  if (CaptureCount >= CaptureBlockSize) bFlushCapture();
}

void TBuffer::bFlushCapture() {
  if (!Capturing || !CaptureFile || CaptureCount == 0) return;
  errno = 0;
  std::size_t written = std::fwrite(CaptureBlock.get(), 1, CaptureCount, CaptureFile);
  int err = 0;
  if (written == CaptureCount && std::fflush(CaptureFile) != 0) err = errno ? errno : EIO;
  if (written < CaptureCount || err != 0) {
    WPARAM code =
        written < CaptureCount && err == 0 ? 101 : static_cast<std::uint16_t>(-SioErrorFromErrno(err, true));
    std::fclose(CaptureFile);
    CaptureFile = nullptr;
    CaptureBlock.reset();
    CaptureCount = 0;
    Capturing = false;
    SendMsg(apw_TermError, code, 0);
    return;
  }
  CaptureCount = 0;
}

// ---------------------------------------------------------------------------------------
// View
// ---------------------------------------------------------------------------------------

void TBuffer::bScroll(int dx, int dy) {
  int oldTop = TopRow, oldLeft = LeftCol;
  if (dy != 0) {
    if (ScrollBackMode) {
      int maxTop = std::max(0, MaxRow - VisRows + 1);
      TopRow = std::clamp(TopRow + dy, 0, std::max(maxTop, 0));
      if (dy < 0 && TopRow > oldTop) TopRow = oldTop;
    } else if (VisRows < PageHeight) {
      int minTop = std::max(0, MaxRow + 1 - PageHeight);
      int maxTop = std::max(minTop, MaxRow + 1 - static_cast<int>(VisRows));
      TopRow = std::clamp(TopRow + dy, minTop, std::min(maxTop, Rows - static_cast<int>(PageHeight)));
    }
  }
  if (dx != 0) LeftCol = std::clamp(LeftCol + dx, 0, std::max(0, Columns - static_cast<int>(VisCols)));
  PendingScrollY += (oldTop - TopRow) * CharHeight;
  PendingScrollX += (oldLeft - LeftCol) * CharWidth;
  bUpdateScrollThumb(true);
  bUpdateScrollThumb(false);
  bForcePaint();
}

void TBuffer::bGotoTop(bool vertical) {
  if (!vertical) {
    LeftCol = 0;
    InvalidateAll();
  } else if (ScrollBackMode) {
    TopRow = 0;
    InvalidateAll();
  } else {
    bScroll(0, -static_cast<int>(Rows));
    return;
  }
  bUpdateScrollThumb(true);
  bUpdateScrollThumb(false);
  bPostStatusMsg();
}

void TBuffer::bGotoBottom(bool vertical) {
  if (!vertical) {
    LeftCol = std::max(0, Columns - static_cast<int>(VisCols));
    InvalidateAll();
  } else if (ScrollBackMode) {
    int top = MaxRow - VisRows;
    TopRow = top > 0 ? top : 1;
    InvalidateAll();
  } else {
    bScroll(0, Rows);
    return;
  }
  bUpdateScrollThumb(true);
  bUpdateScrollThumb(false);
  bPostStatusMsg();
}

int TBuffer::bConvertToRow(int y) const {
  if (y < 0) y = 0;
  if (CharHeight == 0) return 0;
  int r = y / CharHeight;
  if (y > 0 && y % CharHeight == 0) --r;
  return r + TopRow;
}

int TBuffer::bConvertToCol(int x) const {
  if (x < 0) x = 0;
  if (CharWidth == 0) return 0;
  int c = x / CharWidth;
  if (x > 0 && x % CharWidth == 0) --c;
  return c + LeftCol;
}

// ---------------------------------------------------------------------------------------
// Marking
// ---------------------------------------------------------------------------------------

void TBuffer::bResetMarking() {
  Marking = false;
  AnchorCol = AnchorRow = MarkStartCol = MarkStartRow = MarkEndCol = MarkEndRow = 0;
}

void TBuffer::bFixMarking(int x, int y) {
  int col = bConvertToCol(std::clamp<int>(x, 0, ClientWidth));
  int row = bConvertToRow(std::clamp<int>(y, 0, ClientHeight));
  AnchorCol = MarkStartCol = MarkEndCol = col;
  AnchorRow = MarkStartRow = MarkEndRow = row;
  Marking = true;
}

void TBuffer::bUpdateMarks(int x, int y) {
  if (!Marking) return;
  int col = bConvertToCol(std::clamp<int>(x, 0, ClientWidth));
  int row = bConvertToRow(std::clamp<int>(y, 0, ClientHeight));
  bool after = row > AnchorRow || (row == AnchorRow && col > AnchorCol);
  if (after) {
    MarkStartCol = AnchorCol;
    MarkStartRow = AnchorRow;
    MarkEndCol = col;
    MarkEndRow = row;
  } else {
    MarkStartCol = col;
    MarkStartRow = row;
    MarkEndCol = AnchorCol;
    MarkEndRow = AnchorRow;
  }
  InvalidateAll();
}
