// The terminal window.
#include "transfer/ui/Swterm.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/Text.h"
#include "serial/SioDispatch.h"
#include "serial/SioPort.h"
#include "serial/Sioexcept.h"

struct TTermState {
  std::vector<std::uint8_t> Chars, Colors, BaseColors, Attrs;
  std::uint8_t HorizTabs[HorizTabSlots] = {}, VertTabs[VertTabSlots] = {};
  std::uint16_t Rows = 0, Columns = 0, PageHeight = 0, CurCol = 0, CurRow = 0, MaxRow = 0;
  std::int32_t LeftCol = 0, TopRow = 0;
  std::uint8_t FgColor = 7, BkColor = 0;
  std::array<std::uint32_t, 16> ColorMap{};
  std::string CaptureName;
  bool Capturing = false;
  QFont Font;
};

namespace {

QColor ToQColor(std::uint32_t bgr) { return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF); }

bool RegisterTerminalClass() {
  static std::once_flag once;
  std::call_once(once, [] {
    RegisterClass(TerminalClassName, [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
      auto* self = static_cast<TTerminalWindow*>(GetWindowUserData(h));
      if (!self) return DefWindowProc(h, m, w, l);
      // The messages of the event loop: what the terminal or its component throws while it
      // handles one ends here.
      LRESULT r = 0;
      SioGuarded([&] { r = self->TerminalProc(m, w, l); });
      return r;
    });
  });
  return true;
}

// The virtual key code of a Qt key (0 for keys without one).
std::uint16_t VirtualKey(int key) {
  if (key >= Qt::Key_A && key <= Qt::Key_Z) return static_cast<std::uint16_t>('A' + (key - Qt::Key_A));
  if (key >= Qt::Key_0 && key <= Qt::Key_9) return static_cast<std::uint16_t>('0' + (key - Qt::Key_0));
  if (key >= Qt::Key_F1 && key <= Qt::Key_F12) return static_cast<std::uint16_t>(112 + (key - Qt::Key_F1));
  switch (key) {
    case Qt::Key_Backspace:
      return 8;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
      return 9;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return 13;
    case Qt::Key_Shift:
      return 16;
    case Qt::Key_Control:
      return 17;
    case Qt::Key_Alt:
      return 18;
    case Qt::Key_CapsLock:
      return 20;
    case Qt::Key_Escape:
      return 27;
    case Qt::Key_Space:
      return 32;
    case Qt::Key_PageUp:
      return 33;
    case Qt::Key_PageDown:
      return 34;
    case Qt::Key_End:
      return 35;
    case Qt::Key_Home:
      return 36;
    case Qt::Key_Left:
      return 37;
    case Qt::Key_Up:
      return 38;
    case Qt::Key_Right:
      return 39;
    case Qt::Key_Down:
      return 40;
    case Qt::Key_Insert:
      return 45;
    case Qt::Key_Delete:
      return 46;
    case Qt::Key_NumLock:
      return 144;
    default:
      return 0;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// The buffer's drawing surface
// ---------------------------------------------------------------------------------------
TTermBuffer::TTermBuffer(TTerminalWindow& owner, HWND window) : TBuffer(window, 80, 200), FOwner(owner) {}

void TTermBuffer::WindowInvalidate(const TTermRect& r) {
  FOwner.viewport()->update(QRect(r.Left, r.Top, r.Right - r.Left, r.Bottom - r.Top));
}
void TTermBuffer::WindowScroll(int, int, const TTermRect&) { FOwner.viewport()->update(); }
void TTermBuffer::WindowUpdate() {}
void TTermBuffer::WindowSetCaret(int x, int y) { FOwner.SetCaret(x, y); }
void TTermBuffer::WindowSetScrollPos(bool vertical, int pos) { FOwner.SetScrollThumb(vertical, pos); }

// ---------------------------------------------------------------------------------------
// Window
// ---------------------------------------------------------------------------------------
TTerminalWindow::TTerminalWindow(QWidget* parent, unsigned style)
    : QAbstractScrollArea(parent), FStyle(style) {
  RegisterTerminalClass();
  FHandle = CreateWindow(TerminalClassName, this);
  if (!FHandle) RaiseSioException(ecInternal);
  FBuffer = std::make_unique<TTermBuffer>(*this, FHandle);
  FBuffer->bNewBuffer(200, 80, 25);
  FBuffer->CaretShown = true;
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_InputMethodEnabled, false);
  viewport()->setAutoFillBackground(false);
  viewport()->setCursor(Qt::IBeamCursor);
  QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  f.setPointSize(10);
  SetTerminalFont(f);
  setHorizontalScrollBarPolicy((style & tws_HScroll) ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAsNeeded);
  setVerticalScrollBarPolicy((style & tws_VScroll) ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAsNeeded);
  FBlinkTimer.setInterval(550);
  connect(&FBlinkTimer, &QTimer::timeout, this, [this] { Blink(); });
  FBlinkTimer.start();
  FMarkTimer.setInterval(50);
  connect(&FMarkTimer, &QTimer::timeout, this, [this] { AutoScrollMark(); });
}

TTerminalWindow::~TTerminalWindow() {
  FBuffer->bSetCapture(false, false, "");
  TerminalProc(apw_TermRelCom, 0, 0);
  DestroyWindow(FHandle);
}

bool TTerminalWindow::SetTerminalFont(const QFont& font) {
  QFontInfo info(font);
  if (!info.fixedPitch()) return false;
  FFont = font;
  QFontMetrics m(FFont);
  FCharWidth = std::max(1, m.horizontalAdvance(QLatin1Char('M')));
  FCharHeight = std::max(1, m.height());
  FAscent = m.ascent();
  FBuffer->bUpdateFont(static_cast<std::uint16_t>(FCharHeight), static_cast<std::uint16_t>(FCharWidth));
  Recompute();
  viewport()->update();
  return true;
}

void TTerminalWindow::Recompute() {
  const QSize s = viewport()->size();
  FBuffer->bSetClientSize(static_cast<std::uint16_t>(std::max(0, s.width())),
                          static_cast<std::uint16_t>(std::max(0, s.height())));
  UpdateScrollBars();
}

void TTerminalWindow::UpdateScrollBars() {
  TBuffer& b = *FBuffer;
  FSettingScroll = true;
  int vmax = 0;
  if (FScrollBack)
    vmax = std::max(0, b.MaxRow + 1 - b.VisRows);
  else
    vmax = std::max(0, b.PageHeight - b.VisRows);
  verticalScrollBar()->setRange(0, vmax);
  verticalScrollBar()->setPageStep(std::max<int>(1, b.VisRows));
  verticalScrollBar()->setValue(
      FScrollBack ? b.TopRow : std::clamp(b.TopRow - std::max(0, b.MaxRow + 1 - b.PageHeight), 0, vmax));
  horizontalScrollBar()->setRange(0, std::max(0, b.Columns - b.VisCols));
  horizontalScrollBar()->setValue(b.LeftCol);
  FSettingScroll = false;
}

void TTerminalWindow::SetCaret(int x, int y) {
  if (FCaretX == x && FCaretY == y) return;
  viewport()->update(QRect(FCaretX, FCaretY, FCharWidth, FCharHeight));
  FCaretX = x;
  FCaretY = y;
  viewport()->update(QRect(FCaretX, FCaretY, FCharWidth, FCharHeight));
}

void TTerminalWindow::SetScrollThumb(bool, int) {
  if (!FSettingScroll) UpdateScrollBars();
}

void TTerminalWindow::scrollContentsBy(int, int) {
  if (FSettingScroll) return;
  TBuffer& b = *FBuffer;
  int dy = 0;
  if (FScrollBack)
    dy = verticalScrollBar()->value() - b.TopRow;
  else
    dy = verticalScrollBar()->value() + std::max(0, b.MaxRow + 1 - b.PageHeight) - b.TopRow;
  int dx = horizontalScrollBar()->value() - b.LeftCol;
  if (dx || dy) b.bScroll(dx, dy);
  viewport()->update();
}

bool TTerminalWindow::focusNextPrevChild(bool next) {
  if (FStyle & tws_WantTab) return false;  // Tab goes to the host
  return QAbstractScrollArea::focusNextPrevChild(next);
}

// ---------------------------------------------------------------------------------------
// Messages
// ---------------------------------------------------------------------------------------
LRESULT TTerminalWindow::TerminalProc(UINT msg, WPARAM w, LPARAM l) {
  TBuffer& b = *FBuffer;
  switch (msg) {
    case SW_TRIGGERAVAIL:
      if (FParentProc && FParentProc(msg, w, l) != 0) return 0;  // taken by the component
      Receive(static_cast<std::uint32_t>(w));
      return 0;
    case apw_TermStart:
      if (FDispatcher && !FStarted) {
        FDispatcher->RegisterWndTriggerHandler(FHandle);
        FDispatcher->ChangeLengthTrigger(1);
        FStarted = true;
        if (FDispatcher->CharReady()) PostMessage(FHandle, SW_TRIGGERAVAIL, 8192, 0);
      }
      return FDispatcher ? 0 : ecNoDispatcher;
    case apw_TermStop:
      if (FDispatcher && FStarted) FDispatcher->DeregisterWndTriggerHandler(FHandle);
      FStarted = false;
      return 0;
    case apw_TermSetCom:
      TerminalProc(apw_TermStop, 0, 0);
      FDispatcherHandle = static_cast<int>(w);
      FDispatcher = GetTComRecPtr(FDispatcherHandle);
      b.SetDispatcher(FDispatcher);
      return 0;
    case apw_TermRelCom:
      TerminalProc(apw_TermStop, 0, 0);
      FDispatcher = nullptr;
      FDispatcherHandle = -1;
      b.SetDispatcher(nullptr);
      return 0;
    case apw_TermSetEmuPtr:
      b.SetUserEmulator(reinterpret_cast<void*>(l), b.UserEmuProc);
      return 0;
    case apw_TermSetEmuProc:
      b.SetUserEmulator(b.UserEmuData, reinterpret_cast<TUserEmuProc>(l));
      return 0;
    case apw_TermClear:
      if (w == 0) {
        b.bClearScreen();
      } else {
        const std::uint16_t rows = b.Rows, cols = b.Columns, page = b.PageHeight;
        b.bNewBuffer(rows, cols, page);
        viewport()->update();
      }
      UpdateScrollBars();
      return 0;
    case apw_TermBuffer: {
      const auto rows = static_cast<std::uint16_t>(l & 0xFFFF);
      const auto cols = static_cast<std::uint16_t>((static_cast<std::uint32_t>(l) >> 16) & 0xFFFF);
      int r = b.bNewBuffer(rows, cols, static_cast<std::uint16_t>(w));
      if (r == 0) {
        b.bUpdateFont(static_cast<std::uint16_t>(FCharHeight), static_cast<std::uint16_t>(FCharWidth));
        Recompute();
        viewport()->update();
      }
      return r;
    }
    case apw_TermColors:
      b.bSetColors(static_cast<std::uint8_t>(w), static_cast<std::uint8_t>(l));
      viewport()->update();
      return 0;
    case apw_TermToggleScroll:
      ToggleScrollBack();
      return 0;
    case apw_TermCapture:
      return Capture(w, l);
    case apw_TermStuff: {
      const auto* p = reinterpret_cast<const char*>(l);
      for (WPARAM i = 0; p && i < w; ++i) b.bProcessChar(p[i]);
      b.bForcePaint();
      return 0;
    }
    case apw_TermPaint:
      b.bForcePaint();
      return 0;
    case apw_TermSetWndProc:
      return 0;
    case apw_TermSetHighlight:
      b.bSetHighlightColors(static_cast<std::uint8_t>(w), static_cast<std::uint8_t>(l));
      viewport()->update();
      return 0;
    case apw_TermSave:
      if (w == 0) return SaveState();
      RestoreState(reinterpret_cast<const TTermState*>(l));
      return 0;
    case apw_TermColorMap: {
      auto* colors = reinterpret_cast<std::uint32_t*>(l);
      if (w == 0 && colors) {
        std::copy(colors, colors + 16, b.ColorMap.begin());
        viewport()->update();
      } else if (w == 1 && colors) {
        std::copy(b.ColorMap.begin(), b.ColorMap.end(), colors);
      } else if (w == 2) {
        return static_cast<LRESULT>(b.BkColor) * 65536 + b.FgColor;
      }
      return 0;
    }
    case apw_TermForceSize:
      ForceSize(static_cast<int>(w), static_cast<int>(l));
      return 0;
    case apw_TermFontSize:
      return FCharWidth * 256 + FCharHeight;
    case apw_TermBlinkTime:
      FBlinkTimer.setInterval(std::max<int>(50, static_cast<int>(w)));
      FBlinkTimer.start();
      return 0;
    case apw_TermPersistentMark:
      FPersistentMark = w != 0;
      return 0;
    case apw_TermSetKeyEmuPtr:
      FKeyEmuData = reinterpret_cast<void*>(l);
      return 0;
    case apw_TermSetKeyEmuProc:
      FKeyEmuProc = reinterpret_cast<TKeyEmuProc>(l);
      return 0;
    case apw_TermHalfDuplex:
      FHalfDuplex = w != 0;
      return 0;
    case apw_TermGetBuffPtr: {
      auto* p = reinterpret_cast<TTermBuffPtrs*>(l);
      if (p) *p = {b.CharPlane(), b.ColorPlane(), b.AttrPlane()};
      return 0;
    }
    case apw_TermGetClientLine:
      return b.TopRow;
    case WM_COPY:
      CopyMark();
      return 0;
    case apw_TermStatus:
    case apw_TermError:
    case apw_CursorPosReport:
    case SW_TRIGGERDATA:
    case SW_TRIGGERTIMER:
    case SW_TRIGGERSTATUS:
    case SW_PORTOPEN:
    case SW_PORTCLOSE:
      return FParentProc ? FParentProc(msg, w, l) : 0;
    default:
      return DefWindowProc(FHandle, msg, w, l);
  }
}

void TTerminalWindow::Receive(std::uint32_t count) {
  if (!FDispatcher) return;
  if (FScrollBack) {
    FDataWaiting = true;  // the bytes stay in the dispatcher until browsing ends
    return;
  }
  TBuffer& b = *FBuffer;
  std::uint8_t c = 0;
  for (std::uint32_t i = 0; i < count && FDispatcher->GetChar(c) == 0; ++i)
    b.bProcessChar(static_cast<char>(c));
  b.bForcePaint();
}

void TTerminalWindow::Send(const std::string& bytes) {
  if (!FDispatcher || bytes.empty()) return;
  if (FHalfDuplex) {
    for (char c : bytes) {
      FDispatcher->PutChar(static_cast<std::uint8_t>(c));
      FBuffer->bProcessChar(c);
      FBuffer->bForcePaint();
    }
  } else {
    FDispatcher->PutBlock(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  }
}

void TTerminalWindow::KeyDown(std::uint16_t key, const std::uint8_t* keyboardState) {
  TBuffer& b = *FBuffer;
  FLastKeyMapped = false;
  if (FScrollBack) {
    switch (key) {
      case 33:
        b.bScroll(0, -static_cast<int>(b.VisRows));
        break;
      case 34:
        b.bScroll(0, b.VisRows);
        break;
      case 36:
        b.bScroll(-static_cast<int>(b.Columns), 0);
        break;
      case 35:
        b.bScroll(b.bCurLineLength() - b.CurCol, 0);
        break;
      case 37:
        b.bScroll(-1, 0);
        break;
      case 39:
        b.bScroll(1, 0);
        break;
      case 38:
        b.bScroll(0, -1);
        break;
      case 40:
        b.bScroll(0, 1);
        break;
      default:
        break;
    }
    UpdateScrollBars();
    viewport()->update();
    return;
  }
  if (FKeyEmuProc) {
    FKeyCommand = TKeyEmuCommandLo{};
    if (keyboardState) std::memcpy(FKeyCommand.KeyboardState, keyboardState, 256);
    FKeyEmuProc(FKeyEmuData, key, FKeyCommand);
    FLastKeyMapped = FKeyCommand.KeyMapped != 0;
    if (FDispatcher && FKeyCommand.Extended && FKeyCommand.KeyMapped) Send(FKeyCommand.Value);
  }
}

void TTerminalWindow::Char(std::uint8_t c) {
  if (!FDispatcher) return;
  if (FKeyEmuProc && FLastKeyMapped) {
    if (!FKeyCommand.Extended) Send(FKeyCommand.Value);
    return;
  }
  Send(std::string(1, static_cast<char>(c)));
}

void TTerminalWindow::keyPressEvent(QKeyEvent* e) {
  // A key runs the key map and the emulator, and handlers of the application with them.
  SioGuarded([&] { KeyPress(e); });
}

void TTerminalWindow::KeyPress(QKeyEvent* e) {
  std::uint8_t state[256] = {};
  const auto mods = e->modifiers();
  if (mods & Qt::ShiftModifier) state[16] = 0x80;
  if (mods & Qt::ControlModifier) state[17] = 0x80;
  if (mods & Qt::AltModifier) state[18] = 0x80;
  const std::uint16_t vk = VirtualKey(e->key());
  if (vk)
    KeyDown(vk, state);
  else
    FLastKeyMapped = false;  // a key without a code is never mapped: its characters go as they are
  if (FScrollBack) return;
  // The characters of the key, as the window system would make them.
  std::string text = Utf8ToCp1252(e->text().toStdString());
  if (text.empty() && vk == 13) text = "\r";
  if (text.empty() && vk == 8) text = "\b";
  if (text.empty() && vk == 27) text = "\x1b";
  if (text.empty() && vk == 9) text = "\t";
  for (char c : text) Char(static_cast<std::uint8_t>(c));
}

// ---------------------------------------------------------------------------------------
// Scroll-back, capture, state
// ---------------------------------------------------------------------------------------
void TTerminalWindow::ToggleScrollBack() {
  TBuffer& b = *FBuffer;
  if (!FScrollBack) {
    FSavedCol = b.CurCol;
    FSavedRow = b.CurRow;
    FSavedTop = b.TopRow;
    FSavedLeft = b.LeftCol;
    FScrollBack = true;
    b.bSetScrollMode(true);
    b.ScrollRangeMin = 1;
    b.ScrollRangeMax = b.MaxRow;
  } else {
    FScrollBack = false;
    b.bSetScrollMode(false);
    b.CurCol = FSavedCol;
    b.CurRow = FSavedRow;
    b.TopRow = FSavedTop;
    b.LeftCol = FSavedLeft;
    if (FDataWaiting) {
      FDataWaiting = false;
      PostMessage(FHandle, SW_TRIGGERAVAIL, 8192, 0);
    }
  }
  UpdateScrollBars();
  b.bPostStatusMsg();
  viewport()->update();
}

LRESULT TTerminalWindow::Capture(WPARAM w, LPARAM l) {
  const bool on = (w & 0xFF) != 0, append = ((w >> 8) & 0xFF) != 0;
  const char* name = reinterpret_cast<const char*>(l);
  return FBuffer->bSetCapture(on, append, name ? name : "");
}

LRESULT TTerminalWindow::SaveState() {
  TBuffer& b = *FBuffer;
  auto* s = new TTermState;
  const std::size_t n = b.CellCount;
  s->Chars.assign(b.CharPlane(), b.CharPlane() + n);
  s->Colors.assign(b.ColorPlane(), b.ColorPlane() + n);
  s->BaseColors.assign(b.BaseColorPlane(), b.BaseColorPlane() + n);
  s->Attrs.assign(b.AttrPlane(), b.AttrPlane() + n);
  std::memcpy(s->HorizTabs, b.HorizTabs, sizeof s->HorizTabs);
  std::memcpy(s->VertTabs, b.VertTabs, sizeof s->VertTabs);
  s->Rows = b.Rows;
  s->Columns = b.Columns;
  s->PageHeight = b.PageHeight;
  s->CurCol = b.CurCol;
  s->CurRow = b.CurRow;
  s->MaxRow = b.MaxRow;
  s->LeftCol = b.LeftCol;
  s->TopRow = b.TopRow;
  s->FgColor = b.FgColor;
  s->BkColor = b.BkColor;
  s->ColorMap = b.ColorMap;
  s->Font = FFont;
  s->Capturing = b.Capturing;
  s->CaptureName = b.CaptureName;
  if (b.Capturing) b.bSetCapture(false, false, "");
  return reinterpret_cast<LRESULT>(s);
}

void TTerminalWindow::RestoreState(const TTermState* s) {
  if (!s) return;
  TBuffer& b = *FBuffer;
  if (b.bNewBuffer(s->Rows, s->Columns, s->PageHeight) == 0) {
    std::copy(s->Chars.begin(), s->Chars.end(), b.CharPlane());
    std::copy(s->Colors.begin(), s->Colors.end(), b.ColorPlane());
    std::copy(s->BaseColors.begin(), s->BaseColors.end(), b.BaseColorPlane());
    std::copy(s->Attrs.begin(), s->Attrs.end(), b.AttrPlane());
    std::memcpy(b.HorizTabs, s->HorizTabs, sizeof s->HorizTabs);
    std::memcpy(b.VertTabs, s->VertTabs, sizeof s->VertTabs);
    b.CurCol = s->CurCol;
    b.CurRow = s->CurRow;
    b.MaxRow = s->MaxRow;
    b.LeftCol = s->LeftCol;
    b.TopRow = s->TopRow;
  }
  b.bSetColors(s->FgColor, s->BkColor);
  b.ColorMap = s->ColorMap;
  SetTerminalFont(s->Font);
  if (s->Capturing) b.bSetCapture(true, true, s->CaptureName);
  delete s;
  viewport()->update();
}

void TTerminalWindow::ForceSize(int columns, int rows) {
  const QSize frame = size() - viewport()->size();
  resize(frame.width() + columns * FCharWidth, frame.height() + rows * FCharHeight);
  Recompute();
  FBuffer->RegionBottom = FBuffer->PageHeight;
}

void TTerminalWindow::resizeEvent(QResizeEvent* e) {
  QAbstractScrollArea::resizeEvent(e);
  Recompute();
  // The cursor stays in view.
  TBuffer& b = *FBuffer;
  if (!FScrollBack && b.VisRows > 0 && b.CurRow > b.TopRow + b.VisRows - 1)
    b.bScroll(0, b.CurRow - (b.TopRow + b.VisRows - 1));
}

// ---------------------------------------------------------------------------------------
// Painting
// ---------------------------------------------------------------------------------------
void TTerminalWindow::DrawRow(QPainter& p, int row, int y) {
  TBuffer& b = *FBuffer;
  const int cols = std::min<int>(b.Columns - b.LeftCol, b.VisCols + 1);
  const std::uint8_t* chars = b.CharPlane() + b.Cell(0, row);
  const std::uint8_t* colors = b.ColorPlane() + b.Cell(0, row);
  const std::uint8_t* attrs = b.AttrPlane() + b.Cell(0, row);
  auto marked = [&](int col) {
    if (!(b.MarkStartRow != b.MarkEndRow || b.MarkStartCol != b.MarkEndCol)) return false;
    if (row < b.MarkStartRow || row > b.MarkEndRow) return false;
    if (row == b.MarkStartRow && col < b.MarkStartCol) return false;
    if (row == b.MarkEndRow && col > b.MarkEndCol) return false;
    return true;
  };
  int c = 0;
  while (c < cols) {
    const int col = b.LeftCol + c;
    const std::uint8_t color = colors[col], attr = attrs[col];
    const bool mark = marked(col);
    int end = c + 1;
    while (end < cols && colors[b.LeftCol + end] == color && attrs[b.LeftCol + end] == attr &&
           marked(b.LeftCol + end) == mark)
      ++end;
    std::uint8_t fg = color & 0x0F, bg = color >> 4;
    if (mark) {
      fg = b.HighlightFg;
      bg = b.HighlightBg;
    }
    const QRect r(c * FCharWidth, y, (end - c) * FCharWidth, FCharHeight);
    p.fillRect(r, ToQColor(b.ColorMap[bg]));
    if (!(attr & eattrInvisible)) {
      std::string text(reinterpret_cast<const char*>(chars + col), static_cast<std::size_t>(end - c));
      for (char& ch : text)
        if (static_cast<std::uint8_t>(ch) < 0x20) ch = ' ';
      QFont f = FFont;
      f.setUnderline((attr & eattrUnderline) != 0);
      p.setFont(f);
      p.setPen(ToQColor(b.ColorMap[fg]));
      const QString s = QString::fromStdString(Cp1252ToUtf8(text));
      for (int i = 0; i < s.size(); ++i)
        p.drawText(QPoint((c + i) * FCharWidth, y + FAscent), QString(s.at(i)));
    }
    c = end;
  }
}

void TTerminalWindow::paintEvent(QPaintEvent* e) {
  QPainter p(viewport());
  TBuffer& b = *FBuffer;
  p.fillRect(e->rect(), ToQColor(b.ColorMap[b.BkColor & 0x0F]));
  const int first = std::max(0, e->rect().top() / FCharHeight);
  const int last = std::min<int>(e->rect().bottom() / FCharHeight, b.VisRows);
  for (int sr = first; sr <= last; ++sr) {
    const int row = b.TopRow + sr;
    if (row < 0 || row >= b.Rows) continue;
    if (!FScrollBack && sr >= b.PageHeight) continue;
    DrawRow(p, row, sr * FCharHeight);
  }
  if (FHasFocus && !FScrollBack) {
    const int cx = (b.CurCol - b.LeftCol) * FCharWidth, cy = (b.CurRow - b.TopRow) * FCharHeight;
    p.fillRect(QRect(cx, cy + FCharHeight - 2, FCharWidth, 2), ToQColor(b.ColorMap[b.FgColor & 0x0F]));
  }
}

void TTerminalWindow::Blink() {
  TBuffer& b = *FBuffer;
  b.BlinkOff = !b.BlinkOff;
  bool any = false;
  for (int sr = 0; sr < b.VisRows && sr < b.PageHeight; ++sr) {
    const int row = b.TopRow + sr;
    if (row >= b.Rows) break;
    for (int col = 0; col < b.Columns; ++col) {
      const std::size_t i = b.Cell(col, row);
      if (!(b.AttrPlane()[i] & eattrBlink)) continue;
      const std::uint8_t base = b.BaseColorPlane()[i];
      b.ColorPlane()[i] = b.BlinkOff ? static_cast<std::uint8_t>((base & 0xF0) | (base >> 4)) : base;
      any = true;
    }
  }
  if (any) viewport()->update();
}

void TTerminalWindow::focusInEvent(QFocusEvent* e) {
  FHasFocus = true;
  viewport()->update();
  QAbstractScrollArea::focusInEvent(e);
}
void TTerminalWindow::focusOutEvent(QFocusEvent* e) {
  FHasFocus = false;
  viewport()->update();
  QAbstractScrollArea::focusOutEvent(e);
}

// ---------------------------------------------------------------------------------------
// Marking and copying
// ---------------------------------------------------------------------------------------
void TTerminalWindow::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return;
  setFocus();
  FMouseDown = true;
  FMouseMoved = false;
  const QPoint pos = e->position().toPoint();
  if ((e->modifiers() & Qt::ShiftModifier) && FBuffer->MarkStartRow != FBuffer->MarkEndRow) {
    FBuffer->Marking = true;
    FBuffer->bUpdateMarks(pos.x(), pos.y());
  } else if (!FPersistentMark) {
    FBuffer->bFixMarking(pos.x(), pos.y());
  }
  FMarkX = pos.x();
  FMarkY = pos.y();
  FMarkTimer.start();
  viewport()->update();
}

void TTerminalWindow::mouseMoveEvent(QMouseEvent* e) {
  if (!FMouseDown) return;
  const QPoint pos = e->position().toPoint();
  if (!FMouseMoved && FPersistentMark && !FBuffer->Marking) FBuffer->bFixMarking(FMarkX, FMarkY);
  FMouseMoved = true;
  FMarkX = pos.x();
  FMarkY = pos.y();
  FBuffer->bUpdateMarks(pos.x(), pos.y());
  viewport()->update();
}

void TTerminalWindow::mouseReleaseEvent(QMouseEvent*) {
  FMouseDown = false;
  FMarkTimer.stop();
  FBuffer->Marking = false;
}

void TTerminalWindow::AutoScrollMark() {
  if (!FMouseDown) return;
  const int h = viewport()->height();
  int dy = 0;
  if (FMarkY < 0) dy = FMarkY < -20 ? -3 : -1;
  if (FMarkY > h) dy = FMarkY > h + 20 ? 3 : 1;
  if (dy == 0) return;
  FBuffer->bScroll(0, dy);
  FBuffer->bUpdateMarks(FMarkX, FMarkY);
  UpdateScrollBars();
  viewport()->update();
}

void TTerminalWindow::CopyMark() {
  TBuffer& b = *FBuffer;
  if (b.MarkStartRow == b.MarkEndRow && b.MarkStartCol == b.MarkEndCol) return;
  std::string text;
  for (int row = b.MarkStartRow; row <= b.MarkEndRow; ++row) {
    const std::string line = b.RowText(row);
    int from = row == b.MarkStartRow ? b.MarkStartCol : 0;
    int to = row == b.MarkEndRow ? b.MarkEndCol : b.Columns - 1;
    from = std::clamp(from, 0, b.Columns - 1);
    to = std::clamp(to, from, b.Columns - 1);
    text += line.substr(static_cast<std::size_t>(from), static_cast<std::size_t>(to - from + 1));
    text += "\r\n";
  }
  QApplication::clipboard()->setText(QString::fromStdString(Cp1252ToUtf8(text)));
}
