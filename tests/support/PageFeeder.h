#pragma once
// The pages of the T.4 benchmarks: A4 at fine resolution (1728 x 2287 pixels) as raster rows one
// after the other, fed to the fax converter row by row, and the same pages as a PBM picture for
// netpbm's tools.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fax/Swfaxcvt.h"

namespace support {

constexpr int PageWidth = 1728;
constexpr int PageRowBytes = PageWidth / 8;
constexpr int PageRows = 2287;
constexpr std::size_t PageBytes = static_cast<std::size_t>(PageRows) * PageRowBytes;

// A dithered picture, the hard case for the coder: a radial gradient against a 4 x 4 ordered
// threshold, over a page of PageBytes.
inline void DitherPicture(std::uint8_t* page) {
  static const int bayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
  for (int y = 0; y < PageRows; ++y)
    for (int x = 0; x < PageWidth; ++x) {
      double d =
          std::hypot(x - PageWidth / 2.0, y - PageRows / 2.0) / std::hypot(PageWidth / 2.0, PageRows / 2.0);
      if (d * 16 < bayer[y % 4][x % 4] + 0.5)
        page[y * PageRowBytes + x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    }
}

// Feeds the pages to the converter; the converter's user data points at the feeder.
struct PageFeeder {
  const std::vector<std::uint8_t>* raster;
  int pages;
  int page = 0;
  int row = 0;

  static int Open(TAbsFaxCvt* cvt, const std::string&) {
    auto* f = static_cast<PageFeeder*>(cvt->UserData);
    f->page = 0;
    f->row = 0;
    return 0;
  }
  static int GetRow(TAbsFaxCvt* cvt, std::uint8_t* data, int& len, bool& endOfPage, bool& morePages) {
    auto* f = static_cast<PageFeeder*>(cvt->UserData);
    morePages = f->page + 1 < f->pages;
    if (f->row == PageRows) {
      endOfPage = true;
      ++f->page;
      f->row = 0;
      return 0;
    }
    std::memcpy(data,
                f->raster->data() + (static_cast<std::size_t>(f->page) * PageRows + f->row) * PageRowBytes,
                PageRowBytes);
    len = PageRowBytes;
    endOfPage = false;
    ++f->row;
    return 0;
  }
};

// The pages as one PBM picture (P4), one page below the other.
inline void WritePagesPbm(const std::filesystem::path& file, const std::vector<std::uint8_t>& raster,
                          int pages) {
  std::ofstream out(file, std::ios::binary);
  out << "P4\n" << PageWidth << " " << static_cast<long>(PageRows) * pages << "\n";
  out.write(reinterpret_cast<const char*>(raster.data()), static_cast<std::streamsize>(raster.size()));
}

}  // namespace support
