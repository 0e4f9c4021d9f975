// The fax viewer window.
#include "fax/ui/Swfview.h"

#include <sys/stat.h>

#include <QApplication>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>
#include <QScrollBar>
#include <QUrl>
#include <algorithm>
#include <cstring>
#include <new>

#include "fax/Swfaxfmt.h"
#include "serial/Sioexcept.h"

namespace {

// The class procedure: every message sent to a viewer's window handle reaches its window.
LRESULT ViewerClassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* window = static_cast<TFaxViewerWindow*>(GetWindowUserData(hwnd));
  if (!window) return DefWindowProc(hwnd, msg, wParam, lParam);
  return window->Perform(msg, wParam, lParam);
}

QColor ToQColor(TColor c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

inline bool White(const TBitmapImage& b, int x, int y) { return (b.Row(y)[x >> 3] >> (7 - (x & 7))) & 1; }
inline void SetBlack(TBitmapImage& b, int x, int y) {
  b.Row(y)[x >> 3] &= static_cast<std::uint8_t>(~(0x80 >> (x & 7)));
}

// An all-white monochrome bitmap (1 = white) whose rows are padded to 32 bits, as images
// on the screen want them.
TBitmapImage WhiteBitmap(int width, int height) {
  TBitmapImage b;
  b.Width = width;
  b.Height = height;
  b.BitsPerPixel = 1;
  b.BytesPerRow = std::max(4, (width + 31) / 32 * 4);
  b.Bits.assign(static_cast<std::size_t>(b.BytesPerRow) * static_cast<std::size_t>(std::max(height, 0)),
                0xFF);
  return b;
}

// Turns a bitmap (1 = white) clockwise by Quarters quarter turns: one quarter turn makes
// the top row the right-hand column. Throws std::bad_alloc when memory runs out.
std::unique_ptr<TBitmapImage> Rotate(const TBitmapImage& src, int quarters) {
  quarters &= 3;
  const int w = src.Width, h = src.Height;
  const bool across = quarters == 1 || quarters == 3;
  const int dw = across ? h : w, dh = across ? w : h;
  auto dst = std::make_unique<TBitmapImage>();
  dst->Width = dw;
  dst->Height = dh;
  dst->BitsPerPixel = 1;
  dst->BytesPerRow = TBitmapImage::RowBytes(dw, 1);
  dst->Bits.assign(static_cast<std::size_t>(dst->BytesPerRow) * static_cast<std::size_t>(dh), 0xFF);
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* row = src.Row(y);
    for (int xb = 0; xb < (w + 7) / 8; ++xb) {
      const std::uint8_t v = row[xb];
      if (v == 0xFF) continue;  // eight white pixels
      for (int bit = 0; bit < 8; ++bit) {
        const int x = xb * 8 + bit;
        if (x >= w) break;
        if ((v >> (7 - bit)) & 1) continue;
        switch (quarters) {
          case 0:
            SetBlack(*dst, x, y);
            break;
          case 1:
            SetBlack(*dst, h - 1 - y, x);
            break;
          case 2:
            SetBlack(*dst, w - 1 - x, h - 1 - y);
            break;
          default:
            SetBlack(*dst, y, w - 1 - x);
            break;
        }
      }
    }
  }
  return dst;
}

// The range of source pixels [first, last) behind destination pixel D when Mult source
// pixels... are shown as Div: D * div / mult up to (D + 1) * div / mult, at least one.
inline void SourceSpan(int d, int mult, int div, int limit, int& first, int& last) {
  first = static_cast<int>(static_cast<std::int64_t>(d) * div / mult);
  last = static_cast<int>((static_cast<std::int64_t>(d) + 1) * div / mult);
  if (last <= first) last = first + 1;
  first = std::min(first, limit);
  last = std::min(last, limit);
}

}  // namespace

bool RegisterFaxViewerClass(bool designTime) {
  const char* name = designTime ? DesignViewerClassName : ViewerClassName;
  if (IsClassRegistered(name)) return false;
  return RegisterClass(name, ViewerClassProc);
}

TFaxViewerWindow::TFaxViewerWindow(QWidget* parent, bool designTime, unsigned style)
    : QAbstractScrollArea(parent) {
  RegisterFaxViewerClass(designTime);
  FHandle = CreateWindow(designTime ? DesignViewerClassName : ViewerClassName, this);
  if (upInitFaxUnpacker(FUnpacker, this, nullptr) < 0) throw EOutOfMemory();
  FDesignMode = designTime;
  setFrameShape((style & vwsBorder) ? QFrame::Box : QFrame::NoFrame);
  setFrameShadow(QFrame::Plain);
  setLineWidth(1);
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
  viewport()->setCursor(Qt::ArrowCursor);
  FAcceptDrops = !designTime && (style & vwsAcceptFiles);
  setAcceptDrops(FAcceptDrops);
  viewport()->setAcceptDrops(FAcceptDrops);
  SetSteps();
  FAutoScroll.setInterval(50);
  connect(&FAutoScroll, &QTimer::timeout, this, [this] { AutoScroll(); });
}

TFaxViewerWindow::~TFaxViewerWindow() {
  FAutoScroll.stop();
  if (FHandle) DestroyWindow(FHandle);
  upDoneFaxUnpacker(FUnpacker);
}

int TFaxViewerWindow::HorzPos() const { return horizontalScrollBar()->value(); }
int TFaxViewerWindow::VertPos() const { return verticalScrollBar()->value(); }

LRESULT TFaxViewerWindow::Perform(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (FSubclass) return FSubclass(FHandle, msg, wParam, lParam);
  return ViewerProc(msg, wParam, lParam);
}

void TFaxViewerWindow::Notify(UINT msg, WPARAM wParam, LPARAM lParam) { Perform(msg, wParam, lParam); }

LRESULT TFaxViewerWindow::ViewerProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case apw_ViewSetFile:
      return SetFile(reinterpret_cast<const char*>(lParam));
    case apw_ViewSetFG:
      FForeground = static_cast<TColor>(lParam);
      viewport()->update();
      return 0;
    case apw_ViewSetBG:
      FBackground = static_cast<TColor>(lParam);
      viewport()->update();
      return 0;
    case apw_ViewSetScale:
      return SetScale(reinterpret_cast<const TScaleSettings*>(lParam));
    case apw_ViewSetScroll:
      if (wParam != 0) FHorzStep = static_cast<int>(std::min<WPARAM>(wParam, 1 << 16));
      if (lParam > 0) FVertStep = static_cast<int>(std::min<LPARAM>(lParam, 1 << 16));
      SetSteps();
      return 0;
    case apw_ViewSelectAll:
      if (!HasPage()) return ecNoImageLoaded;
      return SelectRect({0, 0, FPageWidth, FPageHeight});
    case apw_ViewSelect:
      if (!HasPage()) return ecNoImageLoaded;
      if (!lParam) return ecBadArgument;
      return SelectRect(*reinterpret_cast<const TViewRect*>(lParam));
    case apw_ViewCopy:
      return CopyMark();
    case apw_ViewSetWndProc:
      FMdiChild = wParam == 1;
      FOtherProc = lParam ? *reinterpret_cast<const WNDPROC*>(lParam) : WNDPROC{};
      return 0;
    case apw_ViewSetWhitespace:
      return upSetWhitespaceCompression(FUnpacker, static_cast<int>(std::min<WPARAM>(wParam, 1 << 20)),
                                        static_cast<int>(std::clamp<LPARAM>(lParam, -1, 1 << 20)));
    case apw_ViewGetBitmap:
      return GetBitmap(static_cast<int>(std::min<WPARAM>(wParam, 1 << 20)),
                       reinterpret_cast<TViewSize*>(lParam));
    case apw_ViewGetNumPages:
      return FNumPages;
    case apw_ViewStartUpdate:
      FUpdating = true;
      return 0;
    case apw_ViewEndUpdate:
      FUpdating = false;
      if (FCurPage > 0) SetupPage();
      return 0;
    case apw_ViewGotoPage:
      return GotoPage(static_cast<int>(std::min<WPARAM>(wParam, 1 << 20)));
    case apw_ViewGetCurPage:
      return FCurPage;
    case apw_ViewSetDesignMode:
      FDesignMode = true;
      FDesignText = lParam ? reinterpret_cast<const char*>(lParam) : "";
      if (FDesignText.size() > 255) FDesignText.resize(255);
      viewport()->update();
      return 0;
    case apw_ViewSetRotation:
      return SetRotation(static_cast<int>(std::min<WPARAM>(wParam, 4)));
    case apw_ViewSetAutoScale:
      upOptionsOff(FUnpacker, ufDoubleHeight | ufHalfWidth);
      if (wParam & ufDoubleHeight)
        upOptionsOn(FUnpacker, ufDoubleHeight);
      else if (wParam & ufHalfWidth)
        upOptionsOn(FUnpacker, ufHalfWidth);
      return 0;
    case apw_ViewGetPageDim:
      if (lParam) *reinterpret_cast<TViewRect*>(lParam) = {0, 0, FPageWidth - 1, FPageHeight - 1};
      return 0;
    case apw_ViewSetLoadWholeFax: {
      if (FBusy) return ecBadArgument;
      FLoadWholeFax = wParam != 0;
      if (FLoadWholeFax) {
        const int rc = LoadMissingPages();
        if (rc < 0) {
          FreePages();
          SetupPage();
        }
        return rc;
      }
      for (int p = 1; p <= FNumPages; ++p)
        if (p != FCurPage) FPages[static_cast<std::size_t>(p - 1)] = TPage{};
      return 0;
    }
    case apw_ViewSetBusyCursor:
      FBusyCursor = wParam <= Qt::LastCursor ? static_cast<Qt::CursorShape>(wParam) : Qt::WaitCursor;
      return 0;
    case apw_ViewGetPageFlags:
      return FPageFlags;
    case apw_ViewGetFileName:
      return reinterpret_cast<LRESULT>(FFileName.c_str());
    case WM_DROPFILES: {
      const auto* files = reinterpret_cast<const TDroppedFiles*>(wParam);
      if (!files || files->Names.empty()) return ecBadArgument;
      // The whole name: a path cut short would name another file.
      return SetFile(files->Names.front().c_str());
    }
    default:
      if (FOtherProc) return FOtherProc(FHandle, msg, wParam, lParam);
      return DefWindowProc(FHandle, msg, wParam, lParam);
  }
}

// ---------------------------------------------------------------------------------------
// Pages

void TFaxViewerWindow::BeginBusy() {
  if (FBusy++ == 0) QGuiApplication::setOverrideCursor(QCursor(FBusyCursor));
}

void TFaxViewerWindow::EndBusy() {
  if (--FBusy == 0) QGuiApplication::restoreOverrideCursor();
}

const TBitmapImage* TFaxViewerWindow::CurrentBitmap() const {
  if (FCurPage < 1 || FCurPage > static_cast<int>(FPages.size())) return nullptr;
  return FPages[static_cast<std::size_t>(FCurPage - 1)].Bitmap.get();
}

void TFaxViewerWindow::FreePages() {
  FPages.clear();
  FNumPages = 0;
  FCurPage = 0;
}

int TFaxViewerWindow::DecodePage(int page, std::unique_ptr<TBitmapImage>& out) {
  out.reset();
  TMemoryBitmapDesc desc;
  BeginBusy();
  const int rc = upUnpackPageToBitmap(FUnpacker, FFileName, static_cast<unsigned>(page), true, desc);
  EndBusy();
  FPageFlags = FUnpacker->PageHeader.PageFlags;
  if (rc < 0) return rc;
  if (desc.Bitmap && FRotation != 0) {
    try {
      desc.Bitmap = Rotate(*desc.Bitmap, FRotation);
    } catch (const std::bad_alloc&) {
      return ecOutOfMemory;
    }
  }
  out = std::move(desc.Bitmap);
  return 0;
}

int TFaxViewerWindow::LoadMissingPages() {
  for (int p = 1; p <= FNumPages; ++p) {
    TPage& page = FPages[static_cast<std::size_t>(p - 1)];
    if (page.Loaded) continue;
    const int rc = DecodePage(p, page.Bitmap);
    if (rc < 0) return rc;
    page.Loaded = true;
  }
  return 0;
}

int TFaxViewerWindow::SetFile(const char* name) {
  if (FBusy) return ecBadArgument;  // not while a page of the present file is decoded
  if (!name || !*name) {
    FFileName.clear();
    FreePages();
    SetupPage();
    return 0;
  }
  struct stat st {};
  if (::stat(name, &st) != 0) return ecFileNotFound;
  if (!swIsAnFXFFile(name)) return ecFaxBadFormat;
  TFaxHeaderRec header;
  int rc = upGetFaxHeader(FUnpacker, name, header);
  if (rc < 0) return rc;

  // The new file's pages are decoded before the present ones go: a file that cannot be
  // shown leaves the page shown before.
  const std::string previous = FFileName;
  const int previousRotation = FRotation;
  FFileName = name;
  FRotation = 0;
  std::vector<TPage> pages(header.PageCount);
  for (int p = 1; p <= header.PageCount && (p == 1 || FLoadWholeFax); ++p) {
    TPage& page = pages[static_cast<std::size_t>(p - 1)];
    rc = DecodePage(p, page.Bitmap);
    if (rc < 0) {
      FFileName = previous;
      FRotation = previousRotation;
      return rc;
    }
    page.Loaded = true;
  }
  FPages = std::move(pages);
  FNumPages = header.PageCount;
  FCurPage = FNumPages > 0 ? 1 : 0;  // a fax of no pages shows no page
  FScale = TScaleSettings{};
  SetupPage();
  return 0;
}

void TFaxViewerWindow::SetupPage() {
  if (FSettingUp) return;
  FSettingUp = true;
  if (FCurPage > 0 && !FLoadWholeFax && !FPages[static_cast<std::size_t>(FCurPage - 1)].Loaded) {
    for (TPage& p : FPages) p = TPage{};
    std::unique_ptr<TBitmapImage> bitmap;
    const int rc = DecodePage(FCurPage, bitmap);
    if (rc < 0) {
      Notify(apw_ViewNotifyError, static_cast<WPARAM>(static_cast<std::intptr_t>(rc)), 0);
      FreePages();
    } else {
      FPages[static_cast<std::size_t>(FCurPage - 1)] = TPage{true, std::move(bitmap)};
    }
  }
  horizontalScrollBar()->setValue(0);
  verticalScrollBar()->setValue(0);
  const TBitmapImage* b = CurrentBitmap();
  FPageWidth = b ? static_cast<int>(static_cast<std::int64_t>(b->Width) * FScale.HMult / FScale.HDiv) : 0;
  FPageHeight = b ? static_cast<int>(static_cast<std::int64_t>(b->Height) * FScale.VMult / FScale.VDiv) : 0;
  FMarked = false;
  FMark = QRect();
  FDragging = false;
  FAutoScroll.stop();
  RecalcRanges();
  viewport()->update();
  if (FCurPage > 0) Notify(apw_ViewNotifyPage, 0, FCurPage);
  FSettingUp = false;
}

int TFaxViewerWindow::GotoPage(int page) {
  if (FSettingUp || FBusy) return 0;  // a page is being set up: ignored
  if (page < 1 || page > FNumPages) return ecBadArgument;
  FCurPage = page;
  SetupPage();
  return 0;
}

int TFaxViewerWindow::SetRotation(int rotation) {
  if (rotation < 0 || rotation > 3) return ecBadArgument;
  if (FBusy) return ecBadArgument;
  const int turn = (rotation - FRotation + 4) % 4;
  if (turn == 0) return 0;
  // All turned bitmaps are made before any is replaced: out of memory changes nothing.
  std::vector<std::unique_ptr<TBitmapImage>> turned(FPages.size());
  try {
    for (std::size_t i = 0; i < FPages.size(); ++i)
      if (FPages[i].Bitmap) turned[i] = Rotate(*FPages[i].Bitmap, turn);
  } catch (const std::bad_alloc&) {
    return ecOutOfMemory;
  }
  for (std::size_t i = 0; i < FPages.size(); ++i)
    if (FPages[i].Bitmap) FPages[i].Bitmap = std::move(turned[i]);
  FRotation = rotation;
  if (FCurPage > 0) SetupPage();
  return 0;
}

int TFaxViewerWindow::SetScale(const TScaleSettings* s) {
  if (!s || s->HMult <= 0 || s->HDiv <= 0 || s->VMult <= 0 || s->VDiv <= 0) return ecBadArgument;
  TScaleSettings n = *s;
  if (n.HMult == n.HDiv) n.HMult = n.HDiv = 1;
  if (n.VMult == n.VDiv) n.VMult = n.VDiv = 1;
  const bool changed =
      n.HMult != FScale.HMult || n.HDiv != FScale.HDiv || n.VMult != FScale.VMult || n.VDiv != FScale.VDiv;
  FScale = n;
  if (changed && FCurPage > 0 && !FUpdating) SetupPage();
  return 0;
}

LRESULT TFaxViewerWindow::GetBitmap(int page, TViewSize* size) {
  if (size) *size = {};
  if (page < 1 || page > FNumPages) return 0;
  // Always a copy of the caller's own: the window's bitmaps stay the window's.
  std::unique_ptr<TBitmapImage> copy;
  const TPage& p = FPages[static_cast<std::size_t>(page - 1)];
  try {
    if (p.Loaded) {
      if (!p.Bitmap) return 0;
      copy = std::make_unique<TBitmapImage>(*p.Bitmap);
    } else {
      const int rc = DecodePage(page, copy);
      if (rc < 0) {
        Notify(apw_ViewNotifyError, static_cast<WPARAM>(static_cast<std::intptr_t>(rc)), 0);
        return 0;
      }
      if (!copy) return 0;
    }
  } catch (const std::bad_alloc&) {
    Notify(apw_ViewNotifyError, static_cast<WPARAM>(static_cast<std::intptr_t>(ecOutOfMemory)), 0);
    return 0;
  }
  if (size) *size = {copy->Width, copy->Height};
  return reinterpret_cast<LRESULT>(copy.release());
}

// ---------------------------------------------------------------------------------------
// Marking and copying

int TFaxViewerWindow::SelectRect(const TViewRect& r) {
  const int left = std::clamp(std::min(r.Left, r.Right), 0, FPageWidth);
  const int right = std::clamp(std::max(r.Left, r.Right), 0, FPageWidth);
  const int top = std::clamp(std::min(r.Top, r.Bottom), 0, FPageHeight);
  const int bottom = std::clamp(std::max(r.Top, r.Bottom), 0, FPageHeight);
  FMark = QRect(left, top, right - left, bottom - top);
  FMarked = !FMark.isEmpty();
  viewport()->update();
  return 0;
}

TBitmapImage TFaxViewerWindow::RenderRegion(const QRect& region) const {
  TBitmapImage out = WhiteBitmap(std::max(region.width(), 0), std::max(region.height(), 0));
  const TBitmapImage* src = CurrentBitmap();
  if (!src || region.isEmpty()) return out;
  const int x0 = region.x(), y0 = region.y();
  if (FScale.HMult == 1 && FScale.HDiv == 1 && FScale.VMult == 1 && FScale.VDiv == 1) {
    // Whole bytes at a time; the pixels beyond the page stay white.
    const int n = std::clamp(src->Width - x0, 0, out.Width);
    const int sh = x0 & 7;
    for (int y = 0; y < out.Height; ++y) {
      const int sy = y0 + y;
      if (sy < 0 || sy >= src->Height) continue;
      const std::uint8_t* s = src->Row(sy) + (x0 >> 3);
      std::uint8_t* d = out.Row(y);
      const int full = n / 8;
      if (sh == 0) {
        std::memcpy(d, s, static_cast<std::size_t>(full));
      } else {
        for (int i = 0; i < full; ++i)
          d[i] = static_cast<std::uint8_t>((s[i] << sh) | (s[i + 1] >> (8 - sh)));
      }
      for (int x = full * 8; x < n; ++x)
        if (!White(*src, x0 + x, sy)) SetBlack(out, x, y);
    }
    return out;
  }
  // Scaled: a pixel is black when any of the source pixels it stands for is black, so
  // that thin lines survive a reduction.
  std::vector<int> sx0(static_cast<std::size_t>(out.Width)), sx1(static_cast<std::size_t>(out.Width));
  for (int x = 0; x < out.Width; ++x)
    SourceSpan(x0 + x, FScale.HMult, FScale.HDiv, src->Width, sx0[static_cast<std::size_t>(x)],
               sx1[static_cast<std::size_t>(x)]);
  for (int y = 0; y < out.Height; ++y) {
    int sy0, sy1;
    SourceSpan(y0 + y, FScale.VMult, FScale.VDiv, src->Height, sy0, sy1);
    for (int x = 0; x < out.Width; ++x) {
      bool black = false;
      for (int sy = sy0; sy < sy1 && !black; ++sy)
        for (int sx = sx0[static_cast<std::size_t>(x)]; sx < sx1[static_cast<std::size_t>(x)]; ++sx)
          if (!White(*src, sx, sy)) {
            black = true;
            break;
          }
      if (black) SetBlack(out, x, y);
    }
  }
  return out;
}

int TFaxViewerWindow::CopyMark() {
  if (!HasPage()) return ecNoImageLoaded;
  if (!FMarked || FMark.isEmpty()) return ecNoImageBlockMarked;
  TBitmapImage bits = RenderRegion(FMark);
  QImage image(bits.Bits.data(), bits.Width, bits.Height, bits.BytesPerRow, QImage::Format_Mono);
  image.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
  QGuiApplication::clipboard()->setImage(image.copy());
  return 0;
}

void TFaxViewerWindow::UpdateMark(const QPoint& viewportPos) {
  const QPoint p = viewportPos + QPoint(HorzPos(), VertPos());
  FPoint = QPoint(std::clamp(p.x(), 0, FPageWidth), std::clamp(p.y(), 0, FPageHeight));
  FMark = QRect(QPoint(std::min(FAnchor.x(), FPoint.x()), std::min(FAnchor.y(), FPoint.y())),
                QSize(std::abs(FAnchor.x() - FPoint.x()), std::abs(FAnchor.y() - FPoint.y())));
  FMarked = true;
  viewport()->update();
}

void TFaxViewerWindow::AutoScroll() {
  if (!FDragging) {
    FAutoScroll.stop();
    return;
  }
  const QSize client = viewport()->size();
  auto steps = [](int outside) { return outside > 20 ? 2 : 1; };
  int dx = 0, dy = 0;
  if (FLastMouse.x() < 0)
    dx = -steps(-FLastMouse.x()) * FHorzStep;
  else if (FLastMouse.x() >= client.width())
    dx = steps(FLastMouse.x() - client.width() + 1) * FHorzStep;
  if (FLastMouse.y() < 0)
    dy = -steps(-FLastMouse.y()) * FVertStep;
  else if (FLastMouse.y() >= client.height())
    dy = steps(FLastMouse.y() - client.height() + 1) * FVertStep;
  if (dx == 0 && dy == 0) {
    FAutoScroll.stop();
    return;
  }
  ScrollBy(dx, dy);
  UpdateMark(FLastMouse);
}

// ---------------------------------------------------------------------------------------
// Scrolling

void TFaxViewerWindow::SetSteps() {
  horizontalScrollBar()->setSingleStep(FHorzStep);
  horizontalScrollBar()->setPageStep(FHorzStep * 10);
  verticalScrollBar()->setSingleStep(FVertStep);
  verticalScrollBar()->setPageStep(FVertStep * 10);
}

void TFaxViewerWindow::RecalcRanges() {
  if (FSizing) {
    FSizePending = true;  // a size change while the ranges are set: handled by the loop below
    return;
  }
  FSizing = true;
  QScrollBar* h = horizontalScrollBar();
  QScrollBar* v = verticalScrollBar();
  // Scroll bars that come or go change the client area: set the ranges again until it
  // stays as it is.
  for (int round = 0; round < 4; ++round) {
    FSizePending = false;
    const QSize client = viewport()->size();
    // A page that fits keeps the present position as the end of the range.
    h->setRange(0, FPageWidth > client.width() ? FPageWidth - client.width() : h->value());
    v->setRange(0, FPageHeight > client.height() ? FPageHeight - client.height() : v->value());
    if (!FSizePending && viewport()->size() == client) break;
  }
  FSizing = false;
}

void TFaxViewerWindow::ScrollBy(int dx, int dy) {
  if (dx) horizontalScrollBar()->setValue(HorzPos() + dx);
  if (dy) verticalScrollBar()->setValue(VertPos() + dy);
}

void TFaxViewerWindow::ToTopLeft() {
  horizontalScrollBar()->setValue(0);
  verticalScrollBar()->setValue(0);
}

void TFaxViewerWindow::scrollContentsBy(int dx, int dy) {
  viewport()->scroll(dx, dy);
  // Back at the start, a range kept only for the old position can go.
  if ((dx && HorzPos() == 0) || (dy && VertPos() == 0))
    QTimer::singleShot(0, this, [this] { RecalcRanges(); });
}

void TFaxViewerWindow::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  RecalcRanges();
}

// ---------------------------------------------------------------------------------------
// Painting

void TFaxViewerWindow::paintEvent(QPaintEvent* event) {
  QPainter painter(viewport());
  const QColor fg = ToQColor(FForeground), bg = ToQColor(FBackground);
  const QRect update = event->rect();
  if (FDesignMode) {
    painter.fillRect(update, bg);
    painter.setPen(fg);
    painter.setFont(font());
    painter.drawText(QPoint(3, 3 + painter.fontMetrics().ascent()), QString::fromStdString(FDesignText));
    return;
  }
  const QRect page(-HorzPos(), -VertPos(), FPageWidth, FPageHeight);
  const QRect visible = HasPage() ? (update & page) : QRect();
  QRegion rest(update);
  if (!visible.isEmpty()) rest -= visible;
  for (const QRect& r : rest) painter.fillRect(r, bg);
  if (visible.isEmpty()) return;

  const QRect inPage = visible.translated(HorzPos(), VertPos());
  TBitmapImage bits = RenderRegion(inPage);
  if (FMarked) {
    const QRect m = FMark & inPage;
    for (int y = m.top(); y <= m.bottom(); ++y) {
      std::uint8_t* row = bits.Row(y - inPage.y());
      for (int x = m.left(); x <= m.right(); ++x) {
        const int bx = x - inPage.x();
        row[bx >> 3] ^= static_cast<std::uint8_t>(0x80 >> (bx & 7));
      }
    }
  }
  QImage image(bits.Bits.data(), bits.Width, bits.Height, bits.BytesPerRow, QImage::Format_Mono);
  image.setColorTable({fg.rgb(), bg.rgb()});
  painter.drawImage(visible.topLeft(), image);
}

// ---------------------------------------------------------------------------------------
// Keys and mouse

void TFaxViewerWindow::keyPressEvent(QKeyEvent* event) {
  if (FDragging) return;
  const bool control = (event->modifiers() & Qt::ControlModifier) != 0;
  const int steps = control ? 10 : 1;
  switch (event->key()) {
    case Qt::Key_PageUp:
      if (control)
        verticalScrollBar()->setValue(0);
      else if (FCurPage > 1)
        GotoPage(FCurPage - 1);
      break;
    case Qt::Key_PageDown:
      if (control)
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
      else if (FCurPage > 0 && FCurPage < FNumPages)
        GotoPage(FCurPage + 1);
      break;
    case Qt::Key_Home:
      if (!control)
        horizontalScrollBar()->setValue(0);
      else if (FCurPage == 1)
        ToTopLeft();
      else if (FNumPages > 0)
        GotoPage(1);
      break;
    case Qt::Key_End:
      if (!control)
        horizontalScrollBar()->setValue(horizontalScrollBar()->maximum());
      else if (FCurPage == FNumPages)
        ToTopLeft();
      else if (FNumPages > 0)
        GotoPage(FNumPages);
      break;
    case Qt::Key_Up:
      ScrollBy(0, -steps * FVertStep);
      break;
    case Qt::Key_Down:
      ScrollBy(0, steps * FVertStep);
      break;
    case Qt::Key_Left:
      ScrollBy(-steps * FHorzStep, 0);
      break;
    case Qt::Key_Right:
      ScrollBy(steps * FHorzStep, 0);
      break;
    default:
      event->ignore();  // the owner's
      return;
  }
  event->accept();
}

void TFaxViewerWindow::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || FDesignMode) {
    QAbstractScrollArea::mousePressEvent(event);
    return;
  }
  setFocus(Qt::MouseFocusReason);
  FMarked = false;
  FMark = QRect();
  const QPoint p = event->position().toPoint() + QPoint(HorzPos(), VertPos());
  FAnchor = QPoint(std::clamp(p.x(), 0, FPageWidth), std::clamp(p.y(), 0, FPageHeight));
  FPoint = FAnchor;
  FLastMouse = event->position().toPoint();
  FDragging = HasPage();
  viewport()->update();
}

void TFaxViewerWindow::mouseMoveEvent(QMouseEvent* event) {
  if (!FDragging) return;
  FLastMouse = event->position().toPoint();
  UpdateMark(FLastMouse);
  if (viewport()->rect().contains(FLastMouse))
    FAutoScroll.stop();
  else if (!FAutoScroll.isActive())
    FAutoScroll.start();
}

void TFaxViewerWindow::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !FDragging) return;
  FDragging = false;
  FAutoScroll.stop();
  if (FMark.isEmpty()) {
    FMarked = false;
    FMark = QRect();
  }
  viewport()->update();
}

// ---------------------------------------------------------------------------------------
// Dropped files

void TFaxViewerWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (FAcceptDrops && event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TFaxViewerWindow::dragMoveEvent(QDragMoveEvent* event) {
  if (FAcceptDrops && event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TFaxViewerWindow::dropEvent(QDropEvent* event) {
  if (!FAcceptDrops) return;
  TDroppedFiles files;
  for (const QUrl& url : event->mimeData()->urls())
    if (url.isLocalFile()) files.Names.push_back(url.toLocalFile().toStdString());
  if (files.Names.empty()) return;
  event->acceptProposedAction();
  const LRESULT rc = Perform(WM_DROPFILES, reinterpret_cast<WPARAM>(&files), 0);
  if (rc < 0 && !FSubclass) Notify(apw_ViewNotifyError, static_cast<WPARAM>(rc), 0);
}
