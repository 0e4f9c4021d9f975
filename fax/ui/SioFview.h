#pragma once
// The fax viewer component: the control a form places to show fax files. It makes a
// viewer window (fax/ui/Swfview.h) inside itself and forwards every property to it as the
// window's private messages; the window's notices come back as events.
//
// As with the form library's windowed controls, the window is made when it is first
// needed (the control is shown, or asked something only the window knows); properties set
// before that are sent, in a fixed order, when it is made.
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "fax/SioFaxCvt.h"
#include "fax/ui/Swfview.h"
#include "serial/SioMisc.h"

enum TViewerRotation { vr0, vr90, vr180, vr270 };
enum TBorderStyle { bsNone, bsSingle };

// Cursors by the form library's numbers (crDefault 0, crHourGlass -11, ...).
using TCursor = int;
inline constexpr TCursor crDefault = 0;
inline constexpr TCursor crArrow = -2;
inline constexpr TCursor crCross = -3;
inline constexpr TCursor crIBeam = -4;
inline constexpr TCursor crHourGlass = -11;
inline constexpr TCursor crAppStart = -19;
inline constexpr TCursor crHandPoint = -21;
// The screen cursor shown for a TCursor.
Qt::CursorShape CursorShapeFor(TCursor cursor);

class TSioCustomFaxViewer;
using TViewerFileDropEvent = std::function<void(TSioCustomFaxViewer* Sender, const std::string& FileName)>;
using TViewerNotifyEvent = std::function<void(TSioCustomFaxViewer* Sender)>;
using TViewerErrorEvent = std::function<void(TSioCustomFaxViewer* Sender, int ErrorCode)>;

class TSioCustomFaxViewer : public QWidget, public TSioBaseWinControl {
  Q_OBJECT
  // For the stored form descriptions.
  Q_PROPERTY(QString FileName READ GetFileNameQ WRITE setFileName)
  Q_PROPERTY(bool Scaling READ GetScaling WRITE setScaling)

 public:
  explicit TSioCustomFaxViewer(QWidget* parent = nullptr);
  ~TSioCustomFaxViewer() override;

  // Published properties
  TBorderStyle GetBorderStyle() const { return FBorderStyle; }
  void SetBorderStyle(TBorderStyle style);
  TColor GetFGColor() const { return FFGColor; }
  void SetFGColor(TColor c);
  TColor GetBGColor() const { return FBGColor; }
  void SetBGColor(TColor c);
  bool GetScaling() const { return FScaling; }
  void SetScaling(bool on);
  unsigned GetHorizMult() const { return FScale.HMult; }
  void SetHorizMult(unsigned v) { SetFactor(FScale.HMult, v); }
  unsigned GetHorizDiv() const { return FScale.HDiv; }
  void SetHorizDiv(unsigned v) { SetFactor(FScale.HDiv, v); }
  unsigned GetVertMult() const { return FScale.VMult; }
  void SetVertMult(unsigned v) { SetFactor(FScale.VMult, v); }
  unsigned GetVertDiv() const { return FScale.VDiv; }
  void SetVertDiv(unsigned v) { SetFactor(FScale.VDiv, v); }
  TAutoScaleMode GetAutoScaleMode() const { return FAutoScaleMode; }
  void SetAutoScaleMode(TAutoScaleMode mode);
  bool GetWhitespaceCompression() const { return FWhitespaceCompression; }
  void SetWhitespaceCompression(bool on);
  unsigned GetWhitespaceFrom() const { return FWhitespaceFrom; }
  void SetWhitespaceFrom(unsigned v);
  unsigned GetWhitespaceTo() const { return FWhitespaceTo; }
  void SetWhitespaceTo(unsigned v);
  unsigned GetHorizScroll() const { return FHorizScroll; }
  void SetHorizScroll(unsigned v);
  unsigned GetVertScroll() const { return FVertScroll; }
  void SetVertScroll(unsigned v);
  // Kept for the form descriptions; at run time the window always accepts dropped files.
  bool GetAcceptDragged() const { return FAcceptDragged; }
  void SetAcceptDragged(bool on) { FAcceptDragged = on; }
  bool GetLoadWholeFax() const { return FLoadWholeFax; }
  void SetLoadWholeFax(bool on);
  TCursor GetBusyCursor() const { return FBusyCursor; }
  void SetBusyCursor(TCursor c);
  const std::string& GetFileName() const { return FFileName; }
  // Loads the file (at run time); a file that cannot be shown raises and leaves the name,
  // the page shown, the rotation and the scale as they were.
  void SetFileName(std::string_view name);
  bool GetTabStop() const { return focusPolicy() != Qt::NoFocus; }
  void SetTabStop(bool on) { setFocusPolicy(on ? Qt::StrongFocus : Qt::NoFocus); }
  // The component's name: at design time the control shows it.
  void SetName(std::string_view name);
  std::string GetName() const { return objectName().toStdString(); }

  void SetOnDropFile(TViewerFileDropEvent e) { FOnDropFile = std::move(e); }
  void SetOnPageChange(TViewerNotifyEvent e) { FOnPageChange = std::move(e); }
  void SetOnViewerError(TViewerErrorEvent e) { FOnViewerError = std::move(e); }

  // Public properties and operations
  TViewerRotation GetRotation() const { return FRotation; }
  void SetRotation(TViewerRotation r);
  unsigned GetActivePage();
  void SetActivePage(unsigned page);
  unsigned NumPages();
  int PageWidth();
  int PageHeight();
  std::uint16_t PageFlags();
  // A copy of the page's bitmap (1 = white) for the caller to keep; empty when the page
  // has none.
  std::unique_ptr<TBitmapImage> PageBitmaps(unsigned page);
  void BeginUpdate();
  void EndUpdate();
  void FirstPage();
  void LastPage();
  void NextPage();
  void PrevPage();
  // Marking and copying give the window's result (0, -8050 without a page, -8051 for a
  // copy without a mark); they raise nothing.
  int SelectRegion(const TViewRect& r);
  int SelectImage();
  int CopyToClipBoard();

  // Writers of the stored form description (uic): values taken as while loading, sent
  // when the window is made.
  void setFileName(const QString& name);
  void setScaling(bool on);

  // Ends reading the component from its stored form.
  void Loaded() { ComponentState &= ~csLoading; }

  // The window (made when needed).
  TFaxViewerWindow* Window();
  bool HandleAllocated() const { return FWindow != nullptr; }
  void HandleNeeded();

 protected:
  struct TCreateParams {
    bool DesignTime = false;
    unsigned Style = 0;
  };
  virtual void CreateParams(TCreateParams& params);
  // Sends the properties to a newly made window.
  virtual void CreateWnd();
  // The window took a dropped file: FileName follows it and OnDropFile fires.
  virtual void FileDropped();

  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  bool Designing() const { return (ComponentState & csDesigning) != 0; }
  int Check(int code);
  LRESULT Send(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
  LRESULT SubclassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void SetFactor(int& factor, unsigned v);
  void SendScale();
  void SendWhitespace();
  void SendScroll();
  void SendAutoScale();
  void RecreateWnd();
  QString GetFileNameQ() const { return QString::fromStdString(FFileName); }

  std::unique_ptr<TFaxViewerWindow> FWindow;
  TBorderStyle FBorderStyle = bsSingle;
  TColor FFGColor = clBlack;
  TColor FBGColor = clWhite;
  bool FScaling = false;
  TScaleSettings FScale;
  TAutoScaleMode FAutoScaleMode = asDoubleHeight;
  bool FWhitespaceCompression = false;
  unsigned FWhitespaceFrom = 0, FWhitespaceTo = 0;
  unsigned FHorizScroll = 8, FVertScroll = 8;
  bool FAcceptDragged = true;
  bool FLoadWholeFax = false;
  TCursor FBusyCursor = crDefault;
  std::string FFileName;
  TViewerRotation FRotation = vr0;
  TViewerFileDropEvent FOnDropFile;
  TViewerNotifyEvent FOnPageChange;
  TViewerErrorEvent FOnViewerError;
};

class TSioFaxViewer : public TSioCustomFaxViewer {
  Q_OBJECT
 public:
  using TSioCustomFaxViewer::TSioCustomFaxViewer;
};
