#pragma once
// The fax viewer window: one page of a fax file at a time, scaled and rotated as asked,
// with scroll bars, keyboard and mouse scrolling, a rectangle marked with the mouse that
// can be copied to the clipboard, and files dropped onto it.
//
// The window is driven by private messages (apw_View...), sent to its window handle or
// through Perform; its notices (page changed, error) it sends to itself, where a subclass
// procedure (the viewer component's) receives them. Page bitmaps are decoded by an
// unpacker of the window's own and held with 1 = white.
#include <QAbstractScrollArea>
#include <QCursor>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fax/Swbitmap.h"
#include "fax/Swunpack.h"
#include "platform/Messages.h"

// Colours as the forms keep them: 0x00BBGGRR.
using TColor = std::uint32_t;
inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clWhite = 0xFFFFFF;

// Rectangles in page pixels: Right and Bottom are exclusive for a mark, inclusive for the
// page dimensions (apw_ViewGetPageDim gives 0, 0, width - 1, height - 1).
struct TViewRect {
  int Left = 0;
  int Top = 0;
  int Right = 0;
  int Bottom = 0;
};
struct TViewSize {
  int Width = 0;
  int Height = 0;
};

// Private messages of the window
inline constexpr UINT apw_ViewSetFile = 0x7E64;          // lParam: const char* file name
inline constexpr UINT apw_ViewSetFG = 0x7E65;            // lParam: TColor
inline constexpr UINT apw_ViewSetBG = 0x7E66;            // lParam: TColor
inline constexpr UINT apw_ViewSetScale = 0x7E67;         // lParam: const TScaleSettings*
inline constexpr UINT apw_ViewSetScroll = 0x7E68;        // wParam: horizontal step, lParam: vertical
inline constexpr UINT apw_ViewSelectAll = 0x7E69;        //
inline constexpr UINT apw_ViewSelect = 0x7E6A;           // lParam: const TViewRect*
inline constexpr UINT apw_ViewCopy = 0x7E6B;             //
inline constexpr UINT apw_ViewSetWndProc = 0x7E6C;       // wParam 1: MDI child; lParam: const WNDPROC* or 0
inline constexpr UINT apw_ViewSetWhitespace = 0x7E6D;    // wParam: from, lParam: to
inline constexpr UINT apw_ViewGetBitmap = 0x7E6E;        // wParam: page, lParam: TViewSize* (may be 0)
inline constexpr UINT apw_ViewGetNumPages = 0x7E6F;      //
inline constexpr UINT apw_ViewStartUpdate = 0x7E70;      //
inline constexpr UINT apw_ViewEndUpdate = 0x7E71;        //
inline constexpr UINT apw_ViewGotoPage = 0x7E72;         // wParam: page
inline constexpr UINT apw_ViewGetCurPage = 0x7E73;       //
inline constexpr UINT apw_ViewSetDesignMode = 0x7E74;    // lParam: const char* text
inline constexpr UINT apw_ViewSetRotation = 0x7E75;      // wParam: 0 to 3 quarter turns
inline constexpr UINT apw_ViewSetAutoScale = 0x7E76;     // wParam: unpacker option 2, 4 or 0
inline constexpr UINT apw_ViewNotifyPage = 0x7E77;       // notice, lParam: the new current page
inline constexpr UINT apw_ViewGetPageDim = 0x7E78;       // lParam: TViewRect* out
inline constexpr UINT apw_ViewSetLoadWholeFax = 0x7E79;  // wParam: on or off
inline constexpr UINT apw_ViewSetBusyCursor = 0x7E7A;    // wParam: Qt::CursorShape
inline constexpr UINT apw_ViewNotifyError = 0x7E7B;      // notice, wParam: the error code
inline constexpr UINT apw_ViewGetPageFlags = 0x7E7C;     //
inline constexpr UINT apw_ViewGetFileName = 0x7E7D;      // result: const char* of the window's file name

// Files dropped onto the window: wParam is a const TDroppedFiles*; the result is that of
// loading the first of them.
inline constexpr UINT WM_DROPFILES = 0x0233;
struct TDroppedFiles {
  std::vector<std::string> Names;
};

// Window style bits
inline constexpr unsigned vwsAcceptFiles = 0x0001;  // accept dropped files
inline constexpr unsigned vwsBorder = 0x00800000;   // a single border

// Window classes: "swViewer" at run time, "dcViewer" at design time, registered once each.
inline constexpr const char* ViewerClassName = "swViewer";
inline constexpr const char* DesignViewerClassName = "dcViewer";
bool RegisterFaxViewerClass(bool designTime);

class TFaxViewerWindow : public QAbstractScrollArea {
  Q_OBJECT
 public:
  TFaxViewerWindow(QWidget* parent = nullptr, bool designTime = false, unsigned style = vwsAcceptFiles);
  ~TFaxViewerWindow() override;

  HWND Handle() const { return FHandle; }
  // Sends a message to the window: to the subclass procedure when there is one, else to
  // the window's own.
  LRESULT Perform(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
  // The window's own procedure; a subclass passes on what it leaves alone.
  LRESULT ViewerProc(UINT msg, WPARAM wParam, LPARAM lParam);
  // Receives every message sent to the window first (empty: none).
  void SetSubclass(WNDPROC proc) { FSubclass = std::move(proc); }

  // What the window shows, for its owner and for tests.
  int HorzPos() const;
  int VertPos() const;
  int PageWidth() const { return FPageWidth; }
  int PageHeight() const { return FPageHeight; }
  bool Marked() const { return FMarked; }
  TViewRect Mark() const { return {FMark.left(), FMark.top(), FMark.right() + 1, FMark.bottom() + 1}; }
  int Rotation() const { return FRotation; }
  // The pixels of the visible part of the page as drawn (without the mark), 1 = white.
  TBitmapImage RenderRegion(const QRect& region) const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  struct TPage {
    bool Loaded = false;  // decoded (a page without lines has no bitmap)
    std::unique_ptr<TBitmapImage> Bitmap;
  };

  int SetFile(const char* name);
  void FreePages();
  void SetupPage();
  int DecodePage(int page, std::unique_ptr<TBitmapImage>& out);
  int LoadMissingPages();
  int GotoPage(int page);
  int SetRotation(int rotation);
  int SetScale(const TScaleSettings* s);
  int SelectRect(const TViewRect& r);
  int CopyMark();
  LRESULT GetBitmap(int page, TViewSize* size);
  void Notify(UINT msg, WPARAM wParam, LPARAM lParam);
  void RecalcRanges();
  void ScrollBy(int dx, int dy);
  void ToTopLeft();
  void SetSteps();
  void UpdateMark(const QPoint& viewportPos);
  void AutoScroll();
  const TBitmapImage* CurrentBitmap() const;
  bool HasPage() const { return CurrentBitmap() != nullptr; }
  void BeginBusy();
  void EndBusy();

  HWND FHandle = 0;
  WNDPROC FSubclass;
  WNDPROC FOtherProc;  // messages the window leaves alone
  bool FMdiChild = false;
  TUnpackFax* FUnpacker = nullptr;
  std::vector<TPage> FPages;
  bool FLoadWholeFax = false;
  Qt::CursorShape FBusyCursor = Qt::ArrowCursor;
  bool FAcceptDrops = false;
  TColor FForeground = clBlack;
  TColor FBackground = clWhite;
  int FPageWidth = 0, FPageHeight = 0;
  int FVertStep = 8, FHorzStep = 8;
  bool FSizing = false, FSizePending = false;
  int FNumPages = 0, FCurPage = 0;
  TScaleSettings FScale;
  int FRotation = 0;
  bool FMarked = false;
  bool FDragging = false;
  QPoint FAnchor, FPoint;  // the mark's fixed corner and the one that follows the mouse
  QPoint FLastMouse;       // last mouse position in the viewport while dragging
  QTimer FAutoScroll;
  QRect FMark;  // in scaled page pixels
  std::uint16_t FPageFlags = 0;
  std::string FFileName;
  std::string FDesignText;
  bool FUpdating = false;
  bool FDesignMode = false;
  bool FSettingUp = false;  // a page is being set up: page changes are ignored
  int FBusy = 0;
};
