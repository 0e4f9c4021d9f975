// Encodes the same 100 A4 pages (1728 x 2287 pixels, fine resolution) with our converter
// into a fax file and with netpbm's pbmtog3 from a PBM file, and prints both times and
// their ratio. Nine pages in ten are text, every tenth is a dithered picture (the hard case).
//
// Usage: bench_t4 [pages]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "fax/Swfaxcvt.h"
#include "fax/Swtxtcvt.h"
#include "tests/support/PageFeeder.h"
#include "tests/support/TempDir.h"

namespace {

using support::PageRowBytes;
using support::PageRows;
using support::PageWidth;

using Clock = std::chrono::steady_clock;

// The pages, one raster row after the other.
std::vector<std::uint8_t> MakePages(int pages) {
  std::vector<std::uint8_t> raster(static_cast<std::size_t>(pages) * PageRows * PageRowBytes, 0);
  TAbsFaxCvt* text = nullptr;
  fcInitTextConverter(text);
  fcLoadFont(text, "SWFAX.FNT", ffStandardFontHandle, true);
  std::mt19937 rng(1234);
  static const char* words[] = {"Aquarium",
                                "Temperatur",
                                "Redox",
                                "pH-Wert",
                                "Leitwert",
                                "Sauerstoff",
                                "Grenzwert",
                                ("\xFC"
                                 "berschritten"),
                                "Steuerung",
                                "Korvidan",
                                "Messung",
                                "Alarm",
                                "F\xFCtterungspause",
                                "Mondlicht",
                                "Steckdose",
                                "Intervall"};
  std::uint8_t line[RasterBufferSize];
  for (int p = 0; p < pages; ++p) {
    std::uint8_t* page = raster.data() + static_cast<std::size_t>(p) * PageRows * PageRowBytes;
    if (p % 10 == 9) {
      support::DitherPicture(page);
      continue;
    }
    // A text page: 60 lines of 32 rows below a top margin, 50 pixels from the left.
    for (int l = 0; l < 60; ++l) {
      std::string s;
      while (true) {
        std::string w = words[rng() % (sizeof words / sizeof *words)];
        if (s.size() + w.size() + 1 > 80) break;
        s += w + " ";
      }
      for (int r = 1; r <= 32; ++r) {
        std::memset(line, 0, sizeof line);
        fcRasterizeText(text, s, r, line);
        int y = 100 + l * 35 + r;
        std::uint8_t* row = page + static_cast<std::size_t>(y) * PageRowBytes;
        // 50 pixels of margin: shift the text line right by 50 bits.
        for (int b = 0; b < PageRowBytes; ++b) {
          int src = b * 8 - 50;
          unsigned v = 0;
          for (int k = 0; k < 8; ++k) {
            int bit = src + k;
            if (bit >= 0 && (line[bit / 8] >> (7 - bit % 8)) & 1) v |= 0x80u >> k;
          }
          row[b] = static_cast<std::uint8_t>(v);
        }
      }
    }
  }
  fcDoneTextConverter(text);
  return raster;
}

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int pages = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
  namespace fs = std::filesystem;
  const support::TempDir tmp("bench_t4");
  const fs::path& dir = tmp.path();

  std::printf("making %d A4 pages (%d x %d pixels each)...\n", pages, PageWidth, PageRows);
  const auto raster = MakePages(pages);

  // The same pages as one PBM picture for pbmtog3.
  const fs::path pbm = dir / "pages.pbm";
  support::WritePagesPbm(pbm, raster, pages);

  // Ours: the whole conversion into a fax file, best of three runs.
  support::PageFeeder doc{&raster, pages};
  TAbsFaxCvt* cvt = nullptr;
  acInitFaxConverter(cvt, &doc, support::PageFeeder::GetRow, support::PageFeeder::Open, nullptr, "");
  acOptionsOff(cvt, coYield);
  acSetMargins(cvt, 0, 0);
  acSetResolutionMode(cvt, 1);
  double ours = 1e9;
  const fs::path fxf = dir / "pages.fxf";
  for (int run = 0; run < 3; ++run) {
    auto t0 = Clock::now();
    int rc = acConvertToFile(cvt, "pages", fxf.string());
    auto t1 = Clock::now();
    if (rc != 0) {
      std::fprintf(stderr, "conversion failed: %d\n", rc);
      return 1;
    }
    ours = std::min(ours, Seconds(t0, t1));
  }
  acDoneFaxConverter(cvt);

  // pbmtog3 on the same pages, best of three runs.
  double theirs = 1e9;
  const std::string cmd = "pbmtog3 " + pbm.string() + " > " + (dir / "pages.g3").string();
  for (int run = 0; run < 3; ++run) {
    auto t0 = Clock::now();
    int rc = std::system(cmd.c_str());
    auto t1 = Clock::now();
    if (rc != 0) {
      std::fprintf(stderr, "pbmtog3 failed (%d)\n", rc);
      return 1;
    }
    theirs = std::min(theirs, Seconds(t0, t1));
  }

  const double lines = static_cast<double>(pages) * PageRows;
  std::printf("pages:          %d (%.0f lines)\n", pages, lines);
  std::printf("our encoder:    %.3f s  (%.1f ns a line, fax file %ju bytes)\n", ours, ours / lines * 1e9,
              static_cast<std::uintmax_t>(fs::file_size(fxf)));
  std::printf("pbmtog3:        %.3f s  (%.1f ns a line, G3 file %ju bytes)\n", theirs, theirs / lines * 1e9,
              static_cast<std::uintmax_t>(fs::file_size(dir / "pages.g3")));
  std::printf("ratio ours/pbmtog3: %.3f (target at most 1.0)\n", ours / theirs);
  return 0;
}
