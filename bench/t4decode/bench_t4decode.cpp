// Decodes the same A4 pages (1728 x 2287 pixels, fine resolution) with our unpacker from a
// fax file and with netpbm's g3topbm from a G3 file made by pbmtog3, and prints both times
// and their ratio a line. Five pages in six look like text, every sixth is a dithered
// picture; g3topbm decodes at most 14400 rows, so six pages (13722 rows) is the default.
//
// Usage: bench_t4decode [pages]
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
#include "fax/Swunpack.h"
#include "tests/support/PageFeeder.h"
#include "tests/support/TempDir.h"

namespace {

using support::PageRowBytes;
using support::PageRows;
using support::PageWidth;

using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> MakePages(int pages) {
  std::vector<std::uint8_t> raster(static_cast<std::size_t>(pages) * PageRows * PageRowBytes, 0);
  std::mt19937 rng(99);
  for (int p = 0; p < pages; ++p) {
    std::uint8_t* page = raster.data() + static_cast<std::size_t>(p) * PageRows * PageRowBytes;
    if (p % 6 == 5) {
      support::DitherPicture(page);
      continue;
    }
    // Text-like: 60 lines of "glyphs", strokes of 1 to 4 pixels within 20-pixel cells.
    for (int l = 0; l < 60; ++l)
      for (int cell = 0; cell < 80; ++cell) {
        if (rng() % 7 == 0) continue;  // a space
        const unsigned shape = static_cast<unsigned>(rng());
        for (int r = 0; r < 24; ++r) {
          const int y = 100 + l * 35 + r;
          std::uint8_t* row = page + static_cast<std::size_t>(y) * PageRowBytes;
          for (int k = 0; k < 3; ++k) {
            if (!((shape >> ((r / 3 + k * 8) % 32)) & 1)) continue;
            const int x0 = 50 + cell * 20 + k * 5, len = 1 + static_cast<int>((shape >> k) % 4);
            for (int x = x0; x < x0 + len && x < PageWidth; ++x)
              row[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
          }
        }
      }
  }
  return raster;
}

std::uint64_t linesOut = 0;
int CountLine(TUnpackFax*, std::uint16_t flags, const std::uint8_t*, int, int) {
  if (flags == 0) ++linesOut;
  return 0;
}

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int pages = argc > 1 ? std::max(1, std::atoi(argv[1])) : 6;
  namespace fs = std::filesystem;
  const support::TempDir tmp("bench_t4decode");
  const fs::path& dir = tmp.path();

  std::printf("making %d A4 pages (%d x %d pixels each)...\n", pages, PageWidth, PageRows);
  const auto raster = MakePages(pages);
  const fs::path pbm = dir / "pages.pbm", g3 = dir / "pages.g3", fxf = dir / "pages.fxf";
  support::WritePagesPbm(pbm, raster, pages);
  if (std::system(("pbmtog3 -reversebits " + pbm.string() + " > " + g3.string()).c_str()) != 0) return 1;
  support::PageFeeder doc{&raster, pages};
  TAbsFaxCvt* cvt = nullptr;
  acInitFaxConverter(cvt, &doc, support::PageFeeder::GetRow, nullptr, nullptr, "");
  acOptionsOff(cvt, coYield);
  acSetMargins(cvt, 0, 0);
  acSetResolutionMode(cvt, 1);
  if (acConvertToFile(cvt, "pages", fxf.string()) != 0) return 1;
  acDoneFaxConverter(cvt);

  TUnpackFax* up = nullptr;
  upInitFaxUnpacker(up, nullptr, CountLine);
  upOptionsOff(up, ufYield);
  double ours = 1e9;
  for (int run = 0; run < 3; ++run) {
    linesOut = 0;
    auto t0 = Clock::now();
    int rc = upUnpackFile(up, fxf.string());
    auto t1 = Clock::now();
    if (rc != 0 || linesOut != static_cast<std::uint64_t>(pages) * PageRows) {
      std::fprintf(stderr, "unpacking failed: %d, %ju lines\n", rc, static_cast<std::uintmax_t>(linesOut));
      return 1;
    }
    ours = std::min(ours, Seconds(t0, t1));
  }
  upDoneFaxUnpacker(up);

  double theirs = 1e9;
  // g3topbm stops at its own row limit (14400 rows): times are compared per decoded line.
  const fs::path out = dir / "out.pbm";
  const std::string cmd = "g3topbm -reversebits " + g3.string() + " > " + out.string();
  for (int run = 0; run < 3; ++run) {
    auto t0 = Clock::now();
    int rc = std::system(cmd.c_str());
    auto t1 = Clock::now();
    if (rc != 0) return 1;
    theirs = std::min(theirs, Seconds(t0, t1));
  }
  long theirLines = 0;
  {
    std::ifstream in(out, std::ios::binary);
    std::string magic;
    long w = 0;
    in >> magic >> w >> theirLines;
  }
  if (theirLines <= 0) return 1;
  const double lines = static_cast<double>(pages) * PageRows;
  std::printf("pages:          %d (%.0f lines; g3topbm decodes %ld of them)\n", pages, lines, theirLines);
  std::printf("our unpacker:   %.3f s  (%.1f ns a line, fax file %ju bytes)\n", ours, ours / lines * 1e9,
              static_cast<std::uintmax_t>(fs::file_size(fxf)));
  const double theirsPerLine = theirs / static_cast<double>(theirLines);
  std::printf("g3topbm:        %.3f s  (%.1f ns a line, G3 file %ju bytes)\n", theirs, theirsPerLine * 1e9,
              static_cast<std::uintmax_t>(fs::file_size(g3)));
  std::printf("ratio ours/g3topbm a line: %.3f\n", ours / lines / theirsPerLine);
  return 0;
}
