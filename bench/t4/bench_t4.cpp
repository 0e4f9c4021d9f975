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

namespace {

constexpr int Width = 1728;
constexpr int RowBytes = Width / 8;
constexpr int Rows = 2287;

using Clock = std::chrono::steady_clock;

// The pages, one raster row after the other.
std::vector<std::uint8_t> MakePages(int pages) {
  std::vector<std::uint8_t> raster(static_cast<std::size_t>(pages) * Rows * RowBytes, 0);
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
    std::uint8_t* page = raster.data() + static_cast<std::size_t>(p) * Rows * RowBytes;
    if (p % 10 == 9) {
      // A dithered picture: a radial gradient against a 4 x 4 ordered threshold.
      static const int bayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
      for (int y = 0; y < Rows; ++y)
        for (int x = 0; x < Width; ++x) {
          double d = std::hypot(x - Width / 2.0, y - Rows / 2.0) / std::hypot(Width / 2.0, Rows / 2.0);
          if (d * 16 < bayer[y % 4][x % 4] + 0.5)
            page[y * RowBytes + x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
        }
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
        std::uint8_t* row = page + static_cast<std::size_t>(y) * RowBytes;
        // 50 pixels of margin: shift the text line right by 50 bits.
        for (int b = 0; b < RowBytes; ++b) {
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

struct Document {
  const std::vector<std::uint8_t>* raster;
  int pages;
  int page = 0;
  int row = 0;
};

int OpenDocument(TAbsFaxCvt* cvt, const std::string&) {
  auto* d = static_cast<Document*>(cvt->UserData);
  d->page = 0;
  d->row = 0;
  return 0;
}

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

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int pages = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
  namespace fs = std::filesystem;
  char tmpl[] = "/tmp/bench_t4XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const fs::path dir = tmpl;

  std::printf("making %d A4 pages (%d x %d pixels each)...\n", pages, Width, Rows);
  const auto raster = MakePages(pages);

  // The same pages as one PBM picture for pbmtog3.
  const fs::path pbm = dir / "pages.pbm";
  {
    std::ofstream out(pbm, std::ios::binary);
    out << "P4\n" << Width << " " << static_cast<long>(Rows) * pages << "\n";
    out.write(reinterpret_cast<const char*>(raster.data()), static_cast<std::streamsize>(raster.size()));
  }

  // Ours: the whole conversion into a fax file, best of three runs.
  Document doc{&raster, pages};
  TAbsFaxCvt* cvt = nullptr;
  acInitFaxConverter(cvt, &doc, GetRow, OpenDocument, nullptr, "");
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

  const double lines = static_cast<double>(pages) * Rows;
  std::printf("pages:          %d (%.0f lines)\n", pages, lines);
  std::printf("our encoder:    %.3f s  (%.1f ns a line, fax file %ju bytes)\n", ours, ours / lines * 1e9,
              static_cast<std::uintmax_t>(fs::file_size(fxf)));
  std::printf("pbmtog3:        %.3f s  (%.1f ns a line, G3 file %ju bytes)\n", theirs, theirs / lines * 1e9,
              static_cast<std::uintmax_t>(fs::file_size(dir / "pages.g3")));
  std::printf("ratio ours/pbmtog3: %.3f (target at most 1.0)\n", ours / theirs);
  fs::remove_all(dir);
  return 0;
}
