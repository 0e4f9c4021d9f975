// The fax viewer, offscreen: pages, keys, scaling, rotation, marking and copying, dropped
// files, files that cannot be shown, and the fax view form.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTimer>
#include <QUrl>
#include <filesystem>

#include "fax/SioFaxCvt.h"
#include "fax/ui/Faxview.h"
#include "fax/ui/SioFview.h"
#include "fax/ui/Swfview.h"
#include "serial/SioPort.h"
#include "serial/Sioexcept.h"
#include "tests/fax/FaxTestUtil.h"
#include "tests/support/TempDir.h"

using faxtest::Picture;
using faxtest::RandomPicture;
using faxtest::Row;
namespace fs = std::filesystem;

namespace {

// Pages 1728 pixels wide whose right-most pixel is black somewhere, so that the decoded
// bitmaps are the full width.
Picture Page(int lines, unsigned seed) {
  Picture p = RandomPicture(1728, lines, seed, 30);
  p[0][1727] = true;
  return p;
}

void Wait(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

void Key(TSioCustomFaxViewer& v, int key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
  QKeyEvent press(QEvent::KeyPress, key, mods);
  QApplication::sendEvent(v.Window(), &press);
}

void Mouse(TSioCustomFaxViewer& v, QEvent::Type type, QPoint at) {
  QWidget* vp = v.Window()->viewport();
  const Qt::MouseButtons buttons = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
  QMouseEvent e(type, QPointF(at), QPointF(vp->mapToGlobal(at)), Qt::LeftButton, buttons, Qt::NoModifier);
  QApplication::sendEvent(vp, &e);
}

int ErrorOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const ESIOException& e) {
    return e.ErrorCode;
  } catch (const EInOutError& e) {
    return -e.ErrorCode;
  }
  return 0;
}

bool BlackAt(const TBitmapImage& b, int x, int y) { return !((b.Row(y)[x >> 3] >> (7 - (x & 7))) & 1); }

// The picture turned by a half turn, computed here pixel by pixel.
bool IsHalfTurnOf(const TBitmapImage& turned, const TBitmapImage& b) {
  if (turned.Width != b.Width || turned.Height != b.Height) return false;
  for (int y = 0; y < b.Height; ++y)
    for (int x = 0; x < b.Width; ++x)
      if (BlackAt(turned, b.Width - 1 - x, b.Height - 1 - y) != BlackAt(b, x, y)) return false;
  return true;
}

struct Viewer {
  TSioFaxViewer v;
  int pageChanges = 0;
  std::vector<int> errors;
  Viewer() {
    v.resize(420, 320);
    v.SetOnPageChange([this](TSioCustomFaxViewer*) { ++pageChanges; });
    v.SetOnViewerError([this](TSioCustomFaxViewer*, int code) { errors.push_back(code); });
    v.show();
  }
  TFaxViewerWindow& W() { return *v.Window(); }
  // Lets the scroll bars come or go (Qt lays them out from its event loop).
  void Settle() {
    for (int i = 0; i < 3; ++i) QApplication::processEvents();
  }
  QSize Client() { return W().viewport()->size(); }
};

class FaxViewer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new support::TempDir("faxviewer");
    three = *dir / "drei.fxf";
    // Three normal-resolution pages of 1100 lines: 2200 rows each when doubled.
    ASSERT_EQ(0, faxtest::WriteFaxFile(three, {Page(1100, 1), Page(1100, 2), Page(1100, 3)}, false, false));
    small = *dir / "klein.fxf";
    ASSERT_EQ(0, faxtest::WriteFaxFile(small, {Page(60, 4), Page(40, 5)}, false, true));
  }
  static void TearDownTestSuite() { delete dir; }
  static support::TempDir* dir;
  static std::string three, small;
};
support::TempDir* FaxViewer::dir = nullptr;
std::string FaxViewer::three, FaxViewer::small;

}  // namespace

TEST_F(FaxViewer, PagesKeysAndScaling) {
  Viewer t;
  EXPECT_EQ(t.v.NumPages(), 0u);
  EXPECT_EQ(t.v.GetActivePage(), 0u);
  t.v.SetFileName(three);
  EXPECT_EQ(t.v.NumPages(), 3u);
  EXPECT_EQ(t.v.GetActivePage(), 1u);
  EXPECT_EQ(t.pageChanges, 1);
  EXPECT_EQ(t.v.PageWidth(), 1728);
  EXPECT_EQ(t.v.PageHeight(), 2200);
  EXPECT_EQ(t.v.PageFlags(), pfLineLengths);
  t.Settle();
  QScrollBar* h = t.W().horizontalScrollBar();
  QScrollBar* v = t.W().verticalScrollBar();
  EXPECT_EQ(v->maximum(), 2200 - t.Client().height());
  EXPECT_EQ(h->maximum(), 1728 - t.Client().width());

  // Control+End: the last page; again: its top-left corner.
  Key(t.v, Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(t.v.GetActivePage(), 3u);
  EXPECT_EQ(t.pageChanges, 2);
  Key(t.v, Qt::Key_Down);
  Key(t.v, Qt::Key_Down);
  EXPECT_EQ(t.W().VertPos(), 16);
  Key(t.v, Qt::Key_Down, Qt::ControlModifier);
  EXPECT_EQ(t.W().VertPos(), 96);
  Key(t.v, Qt::Key_End);
  EXPECT_EQ(t.W().HorzPos(), h->maximum());
  Key(t.v, Qt::Key_Left, Qt::ControlModifier);
  EXPECT_EQ(t.W().HorzPos(), h->maximum() - 80);
  Key(t.v, Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(t.v.GetActivePage(), 3u);
  EXPECT_EQ(t.W().HorzPos(), 0);
  EXPECT_EQ(t.W().VertPos(), 0);
  EXPECT_EQ(t.pageChanges, 2);

  Key(t.v, Qt::Key_PageDown, Qt::ControlModifier);
  EXPECT_EQ(t.W().VertPos(), v->maximum());
  Key(t.v, Qt::Key_PageUp, Qt::ControlModifier);
  EXPECT_EQ(t.W().VertPos(), 0);
  Key(t.v, Qt::Key_PageDown);  // no page after the last
  EXPECT_EQ(t.v.GetActivePage(), 3u);
  Key(t.v, Qt::Key_PageUp);
  EXPECT_EQ(t.v.GetActivePage(), 2u);
  Key(t.v, Qt::Key_Home, Qt::ControlModifier);
  EXPECT_EQ(t.v.GetActivePage(), 1u);

  // Scale 1/2 by 1/2: the scroll area is 864 x 1100.
  t.v.SetHorizDiv(2);
  t.v.SetVertDiv(2);
  EXPECT_EQ(t.v.PageWidth(), 1728);  // not scaling yet
  t.v.SetScaling(true);
  EXPECT_EQ(t.v.PageWidth(), 864);
  EXPECT_EQ(t.v.PageHeight(), 1100);
  t.Settle();
  EXPECT_EQ(v->maximum(), 1100 - t.Client().height());
  EXPECT_EQ(h->maximum(), 864 - t.Client().width());
  // Scaling off shows the page 1:1 whatever the factors hold.
  t.v.SetScaling(false);
  EXPECT_EQ(t.v.PageWidth(), 1728);
  EXPECT_EQ(t.v.PageHeight(), 2200);

  // Page operations of the component.
  t.v.LastPage();
  EXPECT_EQ(t.v.GetActivePage(), 3u);
  const int changes = t.pageChanges;
  t.v.NextPage();
  EXPECT_EQ(t.pageChanges, changes);
  t.v.PrevPage();
  EXPECT_EQ(t.v.GetActivePage(), 2u);
  EXPECT_THROW(t.v.SetActivePage(4), EBadArgument);
  t.v.SetFileName(three);  // the same name: not loaded again
  EXPECT_EQ(t.v.GetActivePage(), 2u);
  t.v.FirstPage();
  EXPECT_EQ(t.v.GetActivePage(), 1u);

  // A window too large for the page has nothing to scroll.
  t.v.SetScaling(true);
  t.v.SetHorizDiv(16);
  t.v.SetVertDiv(16);
  t.Settle();
  EXPECT_EQ(v->maximum(), 0);
  EXPECT_EQ(h->maximum(), 0);
}

TEST_F(FaxViewer, AutoScaleWhitespaceAndBorder) {
  // Two black lines with 50 white lines between them, at normal resolution.
  Picture p(52, Row(1728, false));
  p[0] = Row(1728, true);
  p[51] = Row(1728, true);
  ASSERT_EQ(0, faxtest::WriteFaxFile(*dir / "luecke.fxf", {p}, false, false));
  Viewer t;
  t.v.SetFileName(*dir / "luecke.fxf");
  EXPECT_EQ(t.v.PageHeight(), 104);  // doubled
  t.v.SetAutoScaleMode(asHalfWidth);
  t.v.SetWhitespaceCompression(true);
  t.v.SetWhitespaceFrom(10);
  t.v.SetWhitespaceTo(2);
  t.v.SetFileName(small);
  t.v.SetFileName(*dir / "luecke.fxf");  // decoded again with the new settings
  EXPECT_EQ(t.v.PageWidth(), 864);
  EXPECT_EQ(t.v.PageHeight(), 4);
  EXPECT_THROW(t.v.SetWhitespaceFrom(1), EBadArgument);  // from below to
  // A new border makes a new window, which gets every setting and the file again.
  t.v.SetWhitespaceCompression(false);
  t.v.SetAutoScaleMode(asNone);
  t.v.SetBorderStyle(bsNone);
  EXPECT_EQ(t.W().frameShape(), QFrame::NoFrame);
  EXPECT_EQ(t.v.NumPages(), 1u);
  EXPECT_EQ(t.v.PageHeight(), 52);
  EXPECT_EQ(t.v.GetVersion(), "v3.01");
}

TEST_F(FaxViewer, RotationIsExactPixelForPixel) {
  Viewer t;
  t.v.SetFileName(small);
  const std::unique_ptr<TBitmapImage> upright = t.v.PageBitmaps(1);
  ASSERT_TRUE(upright);
  ASSERT_EQ(upright->Width, 1728);
  ASSERT_EQ(upright->Height, 60);

  // A quarter turn clockwise: the top row becomes the right-hand column.
  t.v.SetRotation(vr90);
  const std::unique_ptr<TBitmapImage> quarter = t.v.PageBitmaps(1);
  ASSERT_EQ(quarter->Width, 60);
  ASSERT_EQ(quarter->Height, 1728);
  EXPECT_EQ(t.v.PageWidth(), 60);
  EXPECT_EQ(t.v.PageHeight(), 1728);
  for (int x = 0; x < 1728; x += 7)
    for (int y = 0; y < 60; y += 3) ASSERT_EQ(BlackAt(*quarter, 59 - y, x), BlackAt(*upright, x, y));

  // From 90 to 270 degrees, and from 270 to 90, the bitmap turns by a half turn.
  t.v.SetRotation(vr270);
  const std::unique_ptr<TBitmapImage> threeQuarters = t.v.PageBitmaps(1);
  EXPECT_TRUE(IsHalfTurnOf(*threeQuarters, *quarter));
  for (int x = 0; x < 1728; x += 7)
    for (int y = 0; y < 60; y += 3) ASSERT_EQ(BlackAt(*threeQuarters, y, 1727 - x), BlackAt(*upright, x, y));
  Viewer u;
  u.v.SetFileName(small);
  u.v.SetRotation(vr270);
  EXPECT_EQ(u.v.PageBitmaps(1)->Bits, threeQuarters->Bits);
  u.v.SetRotation(vr90);
  EXPECT_EQ(u.v.PageBitmaps(1)->Bits, quarter->Bits);
  u.v.SetRotation(vr180);
  EXPECT_TRUE(IsHalfTurnOf(*u.v.PageBitmaps(1), *upright));

  // The next page, decoded when it is shown, comes turned as well; a new file upright.
  Viewer w;
  w.v.SetFileName(small);
  const std::unique_ptr<TBitmapImage> second = w.v.PageBitmaps(2);
  w.v.SetRotation(vr180);
  w.v.NextPage();
  EXPECT_TRUE(IsHalfTurnOf(*w.v.PageBitmaps(2), *second));
  w.v.SetLoadWholeFax(true);
  w.v.SetRotation(vr0);
  EXPECT_EQ(w.v.PageBitmaps(1)->Bits, upright->Bits);
  w.v.SetRotation(vr90);
  w.v.SetFileName(three);
  EXPECT_EQ(w.v.GetRotation(), vr0);
  EXPECT_EQ(w.v.PageWidth(), 1728);
}

TEST_F(FaxViewer, MarkingCopyingAndPainting) {
  Viewer empty;
  EXPECT_EQ(empty.v.CopyToClipBoard(), ecNoImageLoaded);
  EXPECT_EQ(empty.v.SelectImage(), ecNoImageLoaded);

  Viewer t;
  t.v.SetFileName(small);
  EXPECT_EQ(t.v.CopyToClipBoard(), ecNoImageBlockMarked);
  // A click without moving the mouse leaves no mark.
  Mouse(t.v, QEvent::MouseButtonPress, {30, 20});
  Mouse(t.v, QEvent::MouseButtonRelease, {30, 20});
  EXPECT_FALSE(t.W().Marked());
  EXPECT_EQ(t.v.CopyToClipBoard(), ecNoImageBlockMarked);

  // Dragging marks a rectangle, clamped to the page (60 rows high).
  Mouse(t.v, QEvent::MouseButtonPress, {130, 10});
  Mouse(t.v, QEvent::MouseMove, {30, 50});
  Mouse(t.v, QEvent::MouseMove, {20, 90});
  Mouse(t.v, QEvent::MouseButtonRelease, {20, 90});
  ASSERT_TRUE(t.W().Marked());
  const TViewRect m = t.W().Mark();
  EXPECT_EQ(m.Left, 20);
  EXPECT_EQ(m.Top, 10);
  EXPECT_EQ(m.Right, 130);
  EXPECT_EQ(m.Bottom, 60);
  ASSERT_EQ(t.v.CopyToClipBoard(), 0);
  const std::unique_ptr<TBitmapImage> page = t.v.PageBitmaps(1);
  QImage copied = QGuiApplication::clipboard()->image();
  ASSERT_EQ(copied.width(), 110);
  ASSERT_EQ(copied.height(), 50);
  for (int y = 0; y < 50; ++y)
    for (int x = 0; x < 110; ++x)
      ASSERT_EQ(qGray(copied.pixel(x, y)) < 128, BlackAt(*page, 20 + x, 10 + y)) << x << "," << y;

  // What is painted: the page in the foreground and background colours, the mark
  // inverted, white beyond the page.
  t.v.SetFGColor(0x0000FF);  // red
  t.v.SetBGColor(clWhite);
  const QImage shot = t.W().viewport()->grab().toImage();
  auto expect = [&](int x, int y) {
    const bool black = y < 60 && BlackAt(*page, x, y);
    const bool inMark = x >= 20 && x < 130 && y >= 10 && y < 60;
    return (black != inMark) ? QColor(255, 0, 0) : QColor(255, 255, 255);
  };
  for (int y = 0; y < 80; y += 3)
    for (int x = 0; x < 200; x += 5) ASSERT_EQ(shot.pixelColor(x, y), expect(x, y)) << x << "," << y;
  // Scrolled by a step of 3 pixels: the page moves, not on a byte boundary.
  t.Settle();
  t.v.SetHorizScroll(3);
  Key(t.v, Qt::Key_Right);
  ASSERT_EQ(t.W().HorzPos(), 3);
  const QImage moved = t.W().viewport()->grab().toImage();
  for (int y = 0; y < 80; y += 2)
    for (int x = 0; x < 300; ++x) ASSERT_EQ(moved.pixelColor(x, y), expect(x + 3, y)) << x << "," << y;

  // Select a region by numbers; scaled copies are as large as the mark.
  t.v.SetScaling(true);
  t.v.SetHorizMult(2);
  EXPECT_FALSE(t.W().Marked());  // a new page set-up removes the mark
  ASSERT_EQ(t.v.SelectRegion({100, 5, 300, 45}), 0);
  ASSERT_EQ(t.v.CopyToClipBoard(), 0);
  copied = QGuiApplication::clipboard()->image();
  EXPECT_EQ(copied.width(), 200);
  EXPECT_EQ(copied.height(), 40);
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 200; ++x)
      ASSERT_EQ(qGray(copied.pixel(x, y)) < 128, BlackAt(*page, (100 + x) / 2, 5 + y));
  ASSERT_EQ(t.v.SelectImage(), 0);
  EXPECT_EQ(t.W().Mark().Right, 3456);
  EXPECT_EQ(t.W().Mark().Bottom, 60);

  // Dragging past the window's edge scrolls towards the mouse, and the mark follows.
  Viewer s;
  s.v.SetFileName(three);
  s.Settle();
  Mouse(s.v, QEvent::MouseButtonPress, {50, 50});
  Mouse(s.v, QEvent::MouseMove, {60, s.Client().height() + 40});
  Wait(400);
  Mouse(s.v, QEvent::MouseButtonRelease, {60, s.Client().height() + 40});
  EXPECT_GE(s.W().VertPos(), 16);
  EXPECT_EQ(s.W().VertPos() % 16, 0);  // two steps at a time, 40 pixels outside
  EXPECT_EQ(s.W().Mark().Bottom, s.Client().height() + 40 + s.W().VertPos());
}

TEST_F(FaxViewer, FilesThatCannotBeShownKeepThePage) {
  Viewer t;
  t.v.SetFileName(three);
  t.v.NextPage();
  const std::string text = dir->Write("brief.txt", "kein Fax\n");
  EXPECT_EQ(ErrorOf([&] { t.v.SetFileName(text); }), ecFaxBadFormat);
  EXPECT_EQ(ErrorOf([&] { t.v.SetFileName(*dir / "fehlt.fxf"); }), ecFileNotFound);
  // A fax file whose pages run past its end.
  std::vector<std::uint8_t> cut = support::ReadBytes(three);
  cut.resize(cut.size() / 2);
  support::WriteFile(*dir / "halb.fxf", std::string(cut.begin(), cut.end()));
  t.v.SetLoadWholeFax(true);
  EXPECT_EQ(ErrorOf([&] { t.v.SetFileName(*dir / "halb.fxf"); }), ecFaxBadFormat);
  EXPECT_EQ(t.v.GetFileName(), three);
  EXPECT_EQ(t.v.GetActivePage(), 2u);
  EXPECT_EQ(t.v.PageWidth(), 1728);
  EXPECT_EQ(t.v.NumPages(), 3u);

  // A fax of no pages (an aborted receive) shows no page.
  TFaxHeaderRec h;
  h.Signature = DefFXFSig;
  h.FirstPageOffset = 64;
  std::string raw(64, '\0');
  h.Store(reinterpret_cast<std::uint8_t*>(raw.data()));
  const int changes = t.pageChanges;
  t.v.SetFileName(dir->Write("leer.fxf", raw));
  EXPECT_EQ(t.v.NumPages(), 0u);
  EXPECT_EQ(t.v.GetActivePage(), 0u);
  EXPECT_EQ(t.v.PageWidth(), 0);
  EXPECT_EQ(t.v.SelectImage(), ecNoImageLoaded);
  EXPECT_EQ(t.pageChanges, changes);
  t.v.NextPage();
  t.v.LastPage();
  EXPECT_EQ(t.v.GetActivePage(), 0u);
  EXPECT_THROW(t.v.PageBitmaps(1), EBadArgument);
  (void)t.W().viewport()->grab();  // paints without a page

  // A page extracted by the unpacker component opens in the viewer.
  TSioFaxUnpacker u;
  u.SetInFileName(three);
  u.SetOutFileName(*dir / "seite3.fxf");
  u.ExtractPage(3);
  t.v.SetLoadWholeFax(false);
  t.v.SetFileName(*dir / "seite3.fxf");
  EXPECT_EQ(t.v.NumPages(), 1u);
  Viewer ref;
  ref.v.SetFileName(three);
  ref.v.LastPage();
  EXPECT_EQ(t.v.PageBitmaps(1)->Bits, ref.v.PageBitmaps(3)->Bits);
  EXPECT_TRUE(t.errors.empty());
}

TEST_F(FaxViewer, PageBitmapsAreTheCallersCopies) {
  Viewer t;
  t.v.SetFileName(small);
  const QRect region(0, 0, 300, 60);
  const TBitmapImage before = t.W().RenderRegion(region);
  {
    std::unique_ptr<TBitmapImage> mine = t.v.PageBitmaps(1);
    std::fill(mine->Bits.begin(), mine->Bits.end(), 0);
  }  // and freed
  EXPECT_EQ(t.W().RenderRegion(region).Bits, before.Bits);
  (void)t.W().viewport()->grab();
  // A page not in memory is decoded for the caller; the viewer stays on its page.
  const std::unique_ptr<TBitmapImage> second = t.v.PageBitmaps(2);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->Height, 40);
  EXPECT_EQ(t.v.GetActivePage(), 1u);
  EXPECT_THROW(t.v.PageBitmaps(0), EBadArgument);
  EXPECT_THROW(t.v.PageBitmaps(3), EBadArgument);
}

TEST_F(FaxViewer, DroppedFiles) {
  Viewer t;
  std::vector<std::string> dropped;
  t.v.SetOnDropFile([&](TSioCustomFaxViewer*, const std::string& name) { dropped.push_back(name); });
  auto drop = [&](const std::string& file) {
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(file))});
    QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(t.W().viewport(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent e(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(t.W().viewport(), &e);
  };
  drop(small);
  ASSERT_EQ(dropped, std::vector<std::string>{small});
  EXPECT_EQ(t.v.GetFileName(), small);
  EXPECT_EQ(t.v.NumPages(), 2u);
  // A file that is no fax: reported, and the page stays.
  drop(dir->Write("nicht.fxf", "FXF11 nein"));
  EXPECT_EQ(dropped.size(), 1u);
  EXPECT_EQ(t.errors, std::vector<int>{ecFaxBadFormat});
  EXPECT_EQ(t.v.GetFileName(), small);
  EXPECT_EQ(t.v.GetActivePage(), 1u);
}

TEST_F(FaxViewer, DesignTimeShowsOnlyTheName) {
  TSioFaxViewer v;
  v.ComponentState |= csDesigning;
  v.SetName("SioFaxViewer1");
  v.SetFileName(three);  // kept, not loaded
  v.SetBGColor(0x00FF00);
  v.resize(200, 60);
  v.show();
  const QImage shot = v.Window()->viewport()->grab().toImage();
  int dark = 0, green = 0;
  for (int y = 0; y < shot.height(); ++y)
    for (int x = 0; x < shot.width(); ++x) {
      const QColor c = shot.pixelColor(x, y);
      if (c == QColor(0, 255, 0)) ++green;
      if (qGray(c.rgb()) < 80) {
        ++dark;
        EXPECT_LT(y, 30);
      }
    }
  EXPECT_GT(dark, 20);
  EXPECT_GT(green, shot.width() * shot.height() * 3 / 4);
  EXPECT_EQ(v.GetFileName(), three);
}

TEST_F(FaxViewer, TheFaxViewFormShowsKorvidanFxf) {
  const fs::path cwd = fs::current_path();
  support::TempDir here("faxviewform");
  fs::current_path(here.path());
  std::vector<std::string> reported;
  SetSioApplicationExceptionHandler([&](const std::exception& e) { reported.push_back(e.what()); });
  {
    // Without the file the user is told so when the form is shown.
    TFaxViewForm form;
    EXPECT_EQ(form.windowTitle(), "FaxViewForm");
    EXPECT_EQ(form.size(), QSize(696, 480));
    form.show();
    EXPECT_EQ(reported.size(), 1u);
    EXPECT_EQ(form.SioFaxViewer1->NumPages(), 0u);
  }
  {
    // A fax shown before the form ever was: korvidan.fxf is not looked for.
    TFaxViewForm form;
    form.ShowFax(small);
    EXPECT_EQ(form.SioFaxViewer1->NumPages(), 2u);
    EXPECT_EQ(reported.size(), 1u);
    EXPECT_THROW(form.ShowFax(*dir / "fehlt.fxf"), EInOutError);
    EXPECT_EQ(form.SioFaxViewer1->GetFileName(), small);
  }
  fs::copy_file(small, here.path() / "korvidan.fxf");
  {
    TFaxViewForm form;
    EXPECT_EQ(FaxViewForm, &form);
    form.ShowFax();
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.SioFaxViewer1->NumPages(), 2u);
    EXPECT_FALSE(form.SioFaxViewer1->GetScaling());
    EXPECT_EQ(form.SioFaxViewer1->Window()->width(), form.width());
    form.ShowFax(three);
    EXPECT_EQ(form.SioFaxViewer1->NumPages(), 3u);
  }
  EXPECT_EQ(FaxViewForm, nullptr);
  EXPECT_EQ(reported.size(), 1u);
  SetSioApplicationExceptionHandler(nullptr);
  fs::current_path(cwd);
}

int main(int argc, char** argv) {
  // Listing the tests happens without the test environment: no display then either.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
