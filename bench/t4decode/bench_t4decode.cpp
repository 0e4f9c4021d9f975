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

namespace {

constexpr int Width = 1728;
constexpr int RowBytes = Width / 8;
constexpr int Rows = 2287;

using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> MakePages(int pages) {
  std::vector<std::uint8_t> raster(static_cast<std::size_t>(pages) * Rows * RowBytes, 0);
  std::mt19937 rng(99);
  for (int p = 0; p < pages; ++p) {
    std::uint8_t* page = raster.data() + static_cast<std::size_t>(p) * Rows * RowBytes;
    if (p % 6 == 5) {
      static const int bayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
      for (int y = 0; y < Rows; ++y)
        for (int x = 0; x < Width; ++x) {
          double d = std::hypot(x - Width / 2.0, y - Rows / 2.0) / std::hypot(Width / 2.0, Rows / 2.0);
          if (d * 16 < bayer[y % 4][x % 4] + 0.5)
            page[y * RowBytes + x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
        }
      continue;
    }
    // Text-like: 60 lines of "glyphs", strokes of 1 to 4 pixels within 20-pixel cells.
    for (int l = 0; l < 60; ++l)
      for (int cell = 0; cell < 80; ++cell) {
        if (rng() % 7 == 0) continue;  // a space
        const unsigned shape = static_cast<unsigned>(rng());
        for (int r = 0; r < 24; ++r) {
          const int y = 100 + l * 35 + r;
          std::uint8_t* row = page + static_cast<std::size_t>(y) * RowBytes;
          for (int k = 0; k < 3; ++k) {
            if (!((shape >> ((r / 3 + k * 8) % 32)) & 1)) continue;
            const int x0 = 50 + cell * 20 + k * 5, len = 1 + static_cast<int>((shape >> k) % 4);
            for (int x = x0; x < x0 + len && x < Width; ++x)
              row[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
          }
        }
      }
  }
  return raster;
}

struct Document {
  const std::vector<std::uint8_t>* raster;
  int pages;
  int page = 0;
  int row = 0;
};

int GetRow(TAbsFaxCvt* cvt, std::uint8_t* data, int& len, bool& endOfPage, bool& morePages) {
  auto* d = static_cast<Document*>(cvt->UserData);
  morePages = d->page + 1 < d->pages;
  if (d->row == Rows) {
    endOfPage = true;
    ++d->page;
    d->row = 0;
    return 0;
  }
  std::memcpy(data, d->raster->data() + (static_cast<std::size_t>(d->page) * Rows + d->row) * RowBytes,
              RowBytes);
  len = RowBytes;
  endOfPage = false;
  ++d->row;
  return 0;
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
  char tmpl[] = "/tmp/bench_t4decodeXXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const fs::path dir = tmpl;

  std::printf("making %d A4 pages (%d x %d pixels each)...\n", pages, Width, Rows);
  const auto raster = MakePages(pages);
  const fs::path pbm = dir / "pages.pbm", g3 = dir / "pages.g3", fxf = dir / "pages.fxf";
  {
    std::ofstream out(pbm, std::ios::binary);
    out << "P4\n" << Width << " " << static_cast<long>(Rows) * pages << "\n";
    out.write(reinterpret_cast<const char*>(raster.data()), static_cast<std::streamsize>(raster.size()));
  }
  if (std::system(("pbmtog3 -reversebits " + pbm.string() + " > " + g3.string()).c_str()) != 0) return 1;
  Document doc{&raster, pages};
  TAbsFaxCvt* cvt = nullptr;
  acInitFaxConverter(cvt, &doc, GetRow, nullptr, nullptr, "");
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
    if (rc != 0 || linesOut != static_cast<std::uint64_t>(pages) * Rows) {
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
  const double lines = static_cast<double>(pages) * Rows;
  std::printf("pages:          %d (%.0f lines; g3topbm decodes %ld of them)\n", pages, lines, theirLines);
  std::printf("our unpacker:   %.3f s  (%.1f ns a line, fax file %ju bytes)\n", ours, ours / lines * 1e9,
              static_cast<std::uintmax_t>(fs::file_size(fxf)));
  const double theirsPerLine = theirs / static_cast<double>(theirLines);
  std::printf("g3topbm:        %.3f s  (%.1f ns a line, G3 file %ju bytes)\n", theirs, theirsPerLine * 1e9,
              static_cast<std::uintmax_t>(fs::file_size(g3)));
  std::printf("ratio ours/g3topbm a line: %.3f\n", ours / lines / theirsPerLine);
  fs::remove_all(dir);
  return 0;
}
