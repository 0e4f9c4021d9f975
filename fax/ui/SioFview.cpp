// The fax viewer component.
#include "fax/ui/SioFview.h"

#include <QResizeEvent>
#include <QShowEvent>
#include <exception>

#include "serial/SioPort.h"
#include "serial/Sioexcept.h"

Qt::CursorShape CursorShapeFor(TCursor cursor) {
  switch (cursor) {
    case crCross:
      return Qt::CrossCursor;
    case crIBeam:
      return Qt::IBeamCursor;
    case crHourGlass:
      return Qt::WaitCursor;
    case crAppStart:
      return Qt::BusyCursor;
    case crHandPoint:
      return Qt::PointingHandCursor;
    default:
      return Qt::ArrowCursor;
  }
}

namespace {

// Runs a user's event handler; what it throws goes to the application's exception handler.
template <class F>
void Fire(F&& fn) {
  SioGuarded(std::forward<F>(fn));
}

}  // namespace

TSioCustomFaxViewer::TSioCustomFaxViewer(QWidget* parent) : QWidget(parent) {
  resize(100, 50);
  setFocusPolicy(Qt::StrongFocus);
}

TSioCustomFaxViewer::~TSioCustomFaxViewer() {
  if (FWindow) FWindow->SetSubclass({});
  FWindow.reset();
}

int TSioCustomFaxViewer::Check(int code) {
  return CheckException(static_cast<TSioBaseWinControl*>(this), code);
}

LRESULT TSioCustomFaxViewer::Send(UINT msg, WPARAM wParam, LPARAM lParam) {
  HandleNeeded();
  return FWindow->Perform(msg, wParam, lParam);
}

TFaxViewerWindow* TSioCustomFaxViewer::Window() {
  HandleNeeded();
  return FWindow.get();
}

void TSioCustomFaxViewer::CreateParams(TCreateParams& params) {
  params.DesignTime = Designing();
  params.Style = params.DesignTime ? 0 : vwsAcceptFiles;  // at run time dropped files are always taken
  if (FBorderStyle == bsSingle) params.Style |= vwsBorder;
}

void TSioCustomFaxViewer::HandleNeeded() {
  if (FWindow) return;
  TCreateParams params;
  CreateParams(params);
  FWindow = std::make_unique<TFaxViewerWindow>(this, params.DesignTime, params.Style);
  FWindow->SetSubclass([this](HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return SubclassProc(hwnd, msg, wParam, lParam);
  });
  FWindow->setGeometry(rect());
  FWindow->setFont(font());
  setFocusProxy(FWindow.get());
  FWindow->show();
  CreateWnd();
}

void TSioCustomFaxViewer::CreateWnd() {
  const bool design = Designing();
  const std::string name = GetName();
  if (design) FWindow->Perform(apw_ViewSetDesignMode, 0, reinterpret_cast<LPARAM>(name.c_str()));
  FWindow->Perform(apw_ViewSetFG, 0, static_cast<LPARAM>(FFGColor));
  FWindow->Perform(apw_ViewSetBG, 0, static_cast<LPARAM>(FBGColor));
  if (design) return;
  int failed = 0;
  auto keep = [&failed](LRESULT rc) {
    if (rc < 0 && failed == 0) failed = static_cast<int>(rc);
  };
  if (FScaling) keep(FWindow->Perform(apw_ViewSetScale, 0, reinterpret_cast<LPARAM>(&FScale)));
  if (FWhitespaceCompression)
    keep(FWindow->Perform(apw_ViewSetWhitespace, FWhitespaceFrom, static_cast<LPARAM>(FWhitespaceTo)));
  SendScroll();
  SendScroll();
  SendAutoScale();
  keep(FWindow->Perform(apw_ViewSetFile, 0, reinterpret_cast<LPARAM>(FFileName.c_str())));
  const LRESULT whole = FWindow->Perform(apw_ViewSetLoadWholeFax, FLoadWholeFax ? 1 : 0, 0);
  FWindow->Perform(apw_ViewSetBusyCursor, static_cast<WPARAM>(CursorShapeFor(FBusyCursor)), 0);
  FRotation = vr0;
  // Everything is sent first; then the first failure is raised.
  Check(failed);
  if (whole < 0 && FOnViewerError) Fire([&] { FOnViewerError(this, static_cast<int>(whole)); });
}

void TSioCustomFaxViewer::RecreateWnd() {
  if (!FWindow) return;
  FWindow->SetSubclass({});
  FWindow.reset();
  HandleNeeded();
}

void TSioCustomFaxViewer::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  try {
    HandleNeeded();
  } catch (const std::exception& e) {
    SioHandleException(e);
  }
}

void TSioCustomFaxViewer::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (FWindow) FWindow->setGeometry(rect());
}

LRESULT TSioCustomFaxViewer::SubclassProc(HWND, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case apw_ViewNotifyPage:
      if (FOnPageChange) Fire([&] { FOnPageChange(this); });
      return 0;
    case apw_ViewNotifyError:
      if (FOnViewerError)
        Fire([&] { FOnViewerError(this, static_cast<int>(static_cast<std::intptr_t>(wParam))); });
      return 0;
    case WM_DROPFILES: {
      const LRESULT rc = FWindow->ViewerProc(msg, wParam, lParam);
      if (rc == 0)
        FileDropped();
      else if (FOnViewerError)
        Fire([&] { FOnViewerError(this, static_cast<int>(rc)); });
      return rc;
    }
    default:
      return FWindow->ViewerProc(msg, wParam, lParam);
  }
}

void TSioCustomFaxViewer::FileDropped() {
  const auto* name = reinterpret_cast<const char*>(FWindow->Perform(apw_ViewGetFileName));
  FFileName = name ? name : "";
  FRotation = vr0;
  FScale = TScaleSettings{};
  if (FOnDropFile) Fire([&] { FOnDropFile(this, FFileName); });
}

// ---------------------------------------------------------------------------------------
// Properties

void TSioCustomFaxViewer::SetBorderStyle(TBorderStyle style) {
  if (style == FBorderStyle) return;
  FBorderStyle = style;
  RecreateWnd();
}

void TSioCustomFaxViewer::SetFGColor(TColor c) {
  FFGColor = c;
  if (FWindow) FWindow->Perform(apw_ViewSetFG, 0, static_cast<LPARAM>(c));
  update();
}

void TSioCustomFaxViewer::SetBGColor(TColor c) {
  FBGColor = c;
  if (FWindow) FWindow->Perform(apw_ViewSetBG, 0, static_cast<LPARAM>(c));
  update();
}

void TSioCustomFaxViewer::SendScale() {
  if (!FWindow || Designing()) return;
  static const TScaleSettings one;
  Check(static_cast<int>(
      FWindow->Perform(apw_ViewSetScale, 0, reinterpret_cast<LPARAM>(FScaling ? &FScale : &one))));
}

void TSioCustomFaxViewer::SetScaling(bool on) {
  if (on == FScaling) return;
  FScaling = on;
  SendScale();
}

void TSioCustomFaxViewer::SetFactor(int& factor, unsigned v) {
  if (v == 0 || v > (1u << 16) || static_cast<int>(v) == factor) return;
  factor = static_cast<int>(v);
  if (FScaling) SendScale();
}

void TSioCustomFaxViewer::SendAutoScale() {
  if (!FWindow || Designing()) return;
  const WPARAM bits = FAutoScaleMode == asDoubleHeight ? ufDoubleHeight
                      : FAutoScaleMode == asHalfWidth  ? ufHalfWidth
                                                       : 0;
  FWindow->Perform(apw_ViewSetAutoScale, bits, 0);
}

void TSioCustomFaxViewer::SetAutoScaleMode(TAutoScaleMode mode) {
  FAutoScaleMode = mode;
  SendAutoScale();
}

void TSioCustomFaxViewer::SendWhitespace() {
  if (!FWindow || Designing()) return;
  const unsigned from = FWhitespaceCompression ? FWhitespaceFrom : 0;
  const unsigned to = FWhitespaceCompression ? FWhitespaceTo : 0;
  Check(static_cast<int>(FWindow->Perform(apw_ViewSetWhitespace, from, static_cast<LPARAM>(to))));
}

void TSioCustomFaxViewer::SetWhitespaceCompression(bool on) {
  FWhitespaceCompression = on;
  SendWhitespace();
}

void TSioCustomFaxViewer::SetWhitespaceFrom(unsigned v) {
  FWhitespaceFrom = v;
  if (FWhitespaceCompression) SendWhitespace();
}

void TSioCustomFaxViewer::SetWhitespaceTo(unsigned v) {
  FWhitespaceTo = v;
  if (FWhitespaceCompression) SendWhitespace();
}

void TSioCustomFaxViewer::SendScroll() {
  if (!FWindow || Designing()) return;
  FWindow->Perform(apw_ViewSetScroll, FHorizScroll, static_cast<LPARAM>(FVertScroll));
}

void TSioCustomFaxViewer::SetHorizScroll(unsigned v) {
  FHorizScroll = v;
  SendScroll();
}

void TSioCustomFaxViewer::SetVertScroll(unsigned v) {
  FVertScroll = v;
  SendScroll();
}

void TSioCustomFaxViewer::SetLoadWholeFax(bool on) {
  FLoadWholeFax = on;
  if (!FWindow || Designing()) return;
  const LRESULT rc = FWindow->Perform(apw_ViewSetLoadWholeFax, on ? 1 : 0, 0);
  // The window shows no page after such an error: say why.
  if (rc < 0 && FOnViewerError) Fire([&] { FOnViewerError(this, static_cast<int>(rc)); });
}

void TSioCustomFaxViewer::SetBusyCursor(TCursor c) {
  FBusyCursor = c;
  if (FWindow && !Designing())
    FWindow->Perform(apw_ViewSetBusyCursor, static_cast<WPARAM>(CursorShapeFor(c)), 0);
}

void TSioCustomFaxViewer::SetFileName(std::string_view name) {
  if (name == FFileName) return;
  if (Designing() || ComponentIsLoading(*this)) {
    // Sent when the window is made.
    FFileName = name;
    return;
  }
  const std::string n(name);
  if (!FWindow) {
    // The window is made with the new name (the one kept before is not tried).
    const std::string previous = FFileName;
    FFileName = n;
    try {
      HandleNeeded();
    } catch (...) {
      FFileName = previous;
      throw;
    }
  } else {
    Check(static_cast<int>(FWindow->Perform(apw_ViewSetFile, 0, reinterpret_cast<LPARAM>(n.c_str()))));
    FFileName = n;
  }
  FRotation = vr0;
  FScale = TScaleSettings{};
}

void TSioCustomFaxViewer::setFileName(const QString& name) {
  const std::uint32_t state = ComponentState;
  ComponentState |= csLoading;
  SetFileName(name.toStdString());
  ComponentState = state;
}

void TSioCustomFaxViewer::setScaling(bool on) {
  const std::uint32_t state = ComponentState;
  ComponentState |= csLoading;
  SetScaling(on);
  ComponentState = state;
}

void TSioCustomFaxViewer::SetName(std::string_view name) {
  setObjectName(QString::fromStdString(std::string(name)));
  if (FWindow && Designing()) {
    const std::string n(name);
    FWindow->Perform(apw_ViewSetDesignMode, 0, reinterpret_cast<LPARAM>(n.c_str()));
  }
}

// ---------------------------------------------------------------------------------------
// Pages

void TSioCustomFaxViewer::SetRotation(TViewerRotation r) {
  if (r == FRotation) return;
  if (!Designing()) Check(static_cast<int>(Send(apw_ViewSetRotation, static_cast<WPARAM>(r))));
  FRotation = r;
}

unsigned TSioCustomFaxViewer::GetActivePage() { return static_cast<unsigned>(Send(apw_ViewGetCurPage)); }

void TSioCustomFaxViewer::SetActivePage(unsigned page) {
  const unsigned current = GetActivePage();
  if (page == current || current == 0) return;
  if (page == 0 || page > NumPages()) Check(ecBadArgument);
  Check(static_cast<int>(Send(apw_ViewGotoPage, page)));
}

unsigned TSioCustomFaxViewer::NumPages() { return static_cast<unsigned>(Send(apw_ViewGetNumPages)); }

int TSioCustomFaxViewer::PageWidth() {
  TViewRect r;
  Send(apw_ViewGetPageDim, 0, reinterpret_cast<LPARAM>(&r));
  return r.Right - r.Left + 1;
}

int TSioCustomFaxViewer::PageHeight() {
  TViewRect r;
  Send(apw_ViewGetPageDim, 0, reinterpret_cast<LPARAM>(&r));
  return r.Bottom - r.Top + 1;
}

std::uint16_t TSioCustomFaxViewer::PageFlags() {
  return static_cast<std::uint16_t>(Send(apw_ViewGetPageFlags));
}

std::unique_ptr<TBitmapImage> TSioCustomFaxViewer::PageBitmaps(unsigned page) {
  if (page == 0 || page > NumPages()) Check(ecBadArgument);
  TViewSize size;
  return std::unique_ptr<TBitmapImage>(
      reinterpret_cast<TBitmapImage*>(Send(apw_ViewGetBitmap, page, reinterpret_cast<LPARAM>(&size))));
}

void TSioCustomFaxViewer::BeginUpdate() { Send(apw_ViewStartUpdate); }
void TSioCustomFaxViewer::EndUpdate() { Send(apw_ViewEndUpdate); }

void TSioCustomFaxViewer::FirstPage() {
  if (GetActivePage() == 0) return;
  SetActivePage(1);
}

void TSioCustomFaxViewer::LastPage() {
  if (GetActivePage() == 0) return;
  SetActivePage(NumPages());
}

void TSioCustomFaxViewer::NextPage() {
  const unsigned current = GetActivePage();
  if (current == 0 || current >= NumPages()) return;
  SetActivePage(current + 1);
}

void TSioCustomFaxViewer::PrevPage() {
  const unsigned current = GetActivePage();
  if (current <= 1) return;
  SetActivePage(current - 1);
}

int TSioCustomFaxViewer::SelectRegion(const TViewRect& r) {
  return static_cast<int>(Send(apw_ViewSelect, 0, reinterpret_cast<LPARAM>(&r)));
}

int TSioCustomFaxViewer::SelectImage() { return static_cast<int>(Send(apw_ViewSelectAll)); }

int TSioCustomFaxViewer::CopyToClipBoard() { return static_cast<int>(Send(apw_ViewCopy)); }
