// Times what the fax viewer does with A4 pages at fine resolution (1728 x 2287 pixels), a
// text-like page and a dithered picture, offscreen: page set-up (decoding into the page
// bitmap), a quarter turn, drawing a full window at 1:1 and at 1/2, and copying the whole
// page to the clipboard; beside them netpbm's g3topbm decoding and pnmflip turning the same
// pages. Each figure is the best of five runs.
//
// Usage: bench_fax_viewer
#include <stdlib.h>

#include <QApplication>
#include <QPixmap>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>

#include "fax/Swfaxcvt.h"
#include "fax/ui/SioFview.h"
#include "tests/support/PageFeeder.h"
#include "tests/support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;
using support::PageRowBytes;
using support::PageRows;
using support::PageWidth;

// Milliseconds of the fastest of Runs calls of Fn, each after Before (not timed).
double BestOf(int runs, const std::function<void()>& fn, const std::function<void()>& before = {}) {
  double best = 1e9;
  for (int i = 0; i < runs; ++i) {
    if (before) before();
    const auto t0 = Clock::now();
    fn();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best * 1000;
}

std::vector<std::uint8_t> MakePages() {
  std::vector<std::uint8_t> raster(2 * support::PageBytes, 0);
  std::mt19937 rng(7);
  // Text-like: 60 lines of strokes in 20-pixel cells.
  for (int l = 0; l < 60; ++l)
    for (int cell = 0; cell < 80; ++cell) {
      if (rng() % 7 == 0) continue;
      const unsigned shape = static_cast<unsigned>(rng());
      for (int r = 0; r < 24; ++r)
        for (int k = 0; k < 3; ++k) {
          if (!((shape >> ((r / 3 + k * 8) % 32)) & 1)) continue;
          const int y = 100 + l * 35 + r, x0 = 50 + cell * 20 + k * 5;
          for (int x = x0; x < x0 + 1 + static_cast<int>((shape >> k) % 4); ++x)
            raster[static_cast<std::size_t>(y) * PageRowBytes + x / 8] |=
                static_cast<std::uint8_t>(0x80 >> (x % 8));
        }
    }
  support::DitherPicture(raster.data() + support::PageBytes);
  return raster;
}

int Run(const std::string& cmd) { return std::system(cmd.c_str()); }

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  namespace fs = std::filesystem;
  const support::TempDir tmp("bench_fax_viewer");
  const fs::path& dir = tmp.path();

  const auto raster = MakePages();
  const fs::path fxf = dir / "pages.fxf", pbm = dir / "pages.pbm", g3 = dir / "pages.g3",
                 picture = dir / "picture.pbm";
  support::PageFeeder doc{&raster, 2};
  TAbsFaxCvt* cvt = nullptr;
  acInitFaxConverter(cvt, &doc, support::PageFeeder::GetRow, support::PageFeeder::Open, nullptr, "");
  acOptionsOff(cvt, coYield);
  acSetMargins(cvt, 0, 0);
  acSetResolutionMode(cvt, 1);
  if (acConvertToFile(cvt, "pages", fxf.string()) != 0) return 1;
  acDoneFaxConverter(cvt);
  support::WritePagesPbm(pbm, raster, 2);
  if (Run("pbmtog3 -reversebits " + pbm.string() + " > " + g3.string()) != 0) return 1;
  if (Run("pamcut -top=" + std::to_string(PageRows) + " " + pbm.string() + " > " + picture.string()) != 0)
    return 1;

  TSioFaxViewer viewer;
  viewer.resize(1280, 1024);
  viewer.show();
  viewer.SetFileName(fxf.string());
  if (viewer.NumPages() != 2) return 1;

  // Without the whole fax loaded, every page change decodes the new page.
  const double setupText = BestOf(
      5, [&] { viewer.SetActivePage(1); }, [&] { viewer.SetActivePage(2); });
  const double setupPicture = BestOf(
      5, [&] { viewer.SetActivePage(2); }, [&] { viewer.SetActivePage(1); });
  const double turn = BestOf(5, [&] { viewer.SetRotation(viewer.GetRotation() == vr0 ? vr90 : vr0); });
  viewer.SetRotation(vr0);
  QWidget* view = viewer.Window()->viewport();
  const double draw = BestOf(5, [&] { (void)view->grab(); });
  viewer.SetHorizDiv(2);
  viewer.SetVertDiv(2);
  viewer.SetScaling(true);
  const double drawHalf = BestOf(5, [&] { (void)view->grab(); });
  viewer.SetScaling(false);
  int copied = 0;
  const double copy = BestOf(
      5, [&] { copied = viewer.CopyToClipBoard(); }, [&] { viewer.SelectImage(); });
  if (copied != 0) return 1;

  // g3topbm decodes both pages: half its time is a page.
  const double g3topbm = BestOf(5, [&] { Run("g3topbm -reversebits " + g3.string() + " > /dev/null"); }) / 2;
  const double flip = BestOf(5, [&] { Run("pnmflip -r270 " + picture.string() + " > /dev/null"); });

  std::printf("A4 pages at fine resolution, %d x %d pixels; netpbm's times include starting the program\n",
              PageWidth, PageRows);
  std::printf("page set-up, text page (decoding included): %7.2f ms\n", setupText);
  std::printf("page set-up, picture page:                  %7.2f ms   g3topbm a page: %7.2f ms\n",
              setupPicture, g3topbm);
  std::printf("quarter turn of the picture page:           %7.2f ms   pnmflip -r270:  %7.2f ms\n", turn,
              flip);
  std::printf("drawing a 1280 x 1024 window at 1:1:        %7.2f ms\n", draw);
  std::printf("drawing a 1280 x 1024 window at 1/2:        %7.2f ms\n", drawHalf);
  std::printf("copying the whole page to the clipboard:    %7.2f ms\n", copy);
  return 0;
}
