#pragma once
// Test helpers for the unpacker and the picture readers: temporary folders, fax files made
// by our converter from rasters, and decoding a fax file back into rows of pixels.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "fax/Swfaxcvt.h"
#include "fax/Swunpack.h"
#include "tests/support/TempDir.h"

namespace faxtest {

using Row = std::vector<bool>;  // true = black
using Picture = std::vector<Row>;

using support::ReadBytes;
using support::TempDir;

// Runs a shell command; true when it exits with 0.
inline bool Shell(const std::string& cmd) { return std::system((cmd + " 2>/dev/null").c_str()) == 0; }

inline Picture RandomPicture(int width, int height, unsigned seed, int density = 50) {
  std::mt19937 rng(seed);
  Picture p(static_cast<std::size_t>(height), Row(static_cast<std::size_t>(width)));
  for (auto& r : p) {
    // Runs of random length, so that short and long codes both occur.
    bool black = false;
    for (std::size_t x = 0; x < r.size();) {
      std::size_t len = 1 + rng() % (rng() % 4 == 0 ? 300 : 12);
      for (std::size_t k = 0; k < len && x < r.size(); ++k, ++x) r[x] = black;
      black = static_cast<int>(rng() % 100) < density ? !black : black;
    }
  }
  return p;
}

// Writes a picture as a plain PBM file (P4).
inline std::string WritePbm(const TempDir& dir, const std::string& name, const Picture& p) {
  const int w = p.empty() ? 0 : static_cast<int>(p[0].size());
  std::string head = "P4\n" + std::to_string(w) + " " + std::to_string(p.size()) + "\n";
  std::vector<std::uint8_t> bytes(head.begin(), head.end());
  for (const Row& r : p) {
    std::vector<std::uint8_t> row(static_cast<std::size_t>((w + 7) / 8), 0);
    for (int x = 0; x < w; ++x)
      if (r[static_cast<std::size_t>(x)])
        row[static_cast<std::size_t>(x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    bytes.insert(bytes.end(), row.begin(), row.end());
  }
  return dir.Write(name, bytes);
}

// A fax file made by our converter from the given pages of rasters (no margin, no
// doubling, no centring): every decoded line must equal its raster.
struct TRasterSource {
  std::vector<Picture> Pages;
  std::size_t Page = 0, Line = 0;
};

inline int RasterGetLine(TAbsFaxCvt* cvt, std::uint8_t* data, int& len, bool& endOfPage, bool& morePages) {
  auto* src = static_cast<TRasterSource*>(cvt->UserData);
  const Picture& p = src->Pages[src->Page];
  morePages = src->Page + 1 < src->Pages.size();
  if (src->Line >= p.size()) {
    endOfPage = true;
    ++src->Page;
    src->Line = 0;
    return 0;
  }
  const Row& r = p[src->Line++];
  for (std::size_t x = 0; x < r.size(); ++x)
    if (r[x]) data[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
  len = static_cast<int>((r.size() + 7) / 8);
  return 0;
}

inline int WriteFaxFile(const std::string& name, const std::vector<Picture>& pages, bool wide, bool fine) {
  TRasterSource src{pages};
  TAbsFaxCvt* cvt = nullptr;
  int rc = acInitFaxConverter(cvt, &src, RasterGetLine, nullptr, nullptr, "");
  if (rc < 0) return rc;
  acOptionsOff(cvt, coDoubleWidth | coCenterImage | coYield);
  acSetMargins(cvt, 0, 0);
  acSetResolutionWidth(cvt, wide ? 2 : 1);
  acSetResolutionMode(cvt, fine ? 1 : 0);
  rc = acConvertToFile(cvt, "raster", name);
  acDoneFaxConverter(cvt);
  return rc;
}

// A fax file of one page holding a raw G3 stream (no line records).
inline std::vector<std::uint8_t> RawFaxFile(const std::vector<std::uint8_t>& g3, std::uint16_t flags) {
  TFaxHeaderRec h;
  h.Signature = DefFXFSig;
  h.PageCount = 1;
  h.FirstPageOffset = 64;
  std::vector<std::uint8_t> out(64 + 16);
  h.Store(out.data());
  TPageHeaderRec ph;
  ph.ImageLength = static_cast<std::uint32_t>(g3.size());
  ph.PageFlags = flags;
  ph.Store(out.data() + 64);
  out.insert(out.end(), g3.begin(), g3.end());
  return out;
}

// Collects what the unpacker delivers: pages of decoded lines.
struct TCollected {
  std::vector<std::vector<std::uint8_t>> Lines;
  std::vector<int> LinePages;
  int Starts = 0, Ends = 0;
};

inline int CollectLine(TUnpackFax* up, std::uint16_t flags, const std::uint8_t* data, int len, int page) {
  auto* c = static_cast<TCollected*>(up->UserData);
  if (flags & ufStarting) ++c->Starts;
  if (flags & ufEnding) ++c->Ends;
  if (flags == 0) {
    c->Lines.emplace_back(data, data + len);
    c->LinePages.push_back(page);
  }
  return 0;
}

inline Row ToRow(const std::vector<std::uint8_t>& bytes, int width) {
  Row r(static_cast<std::size_t>(width));
  for (int x = 0; x < width && static_cast<std::size_t>(x / 8) < bytes.size(); ++x)
    r[static_cast<std::size_t>(x)] = (bytes[static_cast<std::size_t>(x / 8)] >> (7 - x % 8)) & 1;
  return r;
}

struct Unpacker {
  TUnpackFax* up = nullptr;
  TCollected got;
  Unpacker() {
    EXPECT_EQ(0, upInitFaxUnpacker(up, &got, CollectLine));
    upOptionsOff(up, ufYield | ufDoubleHeight);
  }
  ~Unpacker() { upDoneFaxUnpacker(up); }
  // Decoded lines as pixel rows Width wide.
  Picture Rows(int width) const {
    Picture p;
    for (const auto& l : got.Lines) p.push_back(ToRow(l, width));
    return p;
  }
};

// Decodes a fax file with a fresh unpacker (no doubling) into pixel rows.
inline Picture DecodeFax(const std::string& name, int width, int* rc = nullptr) {
  Unpacker u;
  const int r = upUnpackFile(u.up, name);
  if (rc)
    *rc = r;
  else
    EXPECT_EQ(0, r);
  return u.Rows(width);
}

}  // namespace faxtest

namespace faxtest {

// Writes a colour picture as a binary PPM file (P6); Rgb holds 3 bytes a pixel.
inline std::string WritePpm(const TempDir& dir, const std::string& name, int w, int h,
                            const std::vector<std::uint8_t>& rgb) {
  std::string head = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  std::vector<std::uint8_t> bytes(head.begin(), head.end());
  bytes.insert(bytes.end(), rgb.begin(), rgb.end());
  return dir.Write(name, bytes);
}

// Converts a picture file with a reader's converter into a fax file (no margin, no
// doubling, no centring, fine resolution unless asked otherwise) and decodes it.
inline Picture ConvertAndDecode(TAbsFaxCvt* cvt, const std::string& in, const std::string& out, int* rc,
                                int width = 1728) {
  acOptionsOff(cvt, coDoubleWidth | coCenterImage | coYield);
  acSetMargins(cvt, 0, 0);
  acSetResolutionMode(cvt, 1);
  *rc = acConvertToFile(cvt, in, out);
  if (*rc < 0) return {};
  return DecodeFax(out, width);
}

// The fax lines expected for a picture: its pixels, cut or padded white to the width.
inline Picture Framed(const Picture& p, int width = 1728) {
  Picture out;
  for (const Row& r : p) {
    Row l(static_cast<std::size_t>(width), false);
    for (std::size_t x = 0; x < r.size() && x < l.size(); ++x) l[x] = r[x];
    out.push_back(l);
  }
  return out;
}

// Reads what a netpbm command prints (P4, P5 or P6) as pixel rows, dark = black.
inline Picture ReadPnm(const std::string& cmd) {
  FILE* p = popen((cmd + " 2>/dev/null").c_str(), "r");
  if (!p) return {};
  std::vector<std::uint8_t> b;
  char buf[65536];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) b.insert(b.end(), buf, buf + n);
  pclose(p);
  std::size_t pos = 0;
  auto token = [&]() {
    while (pos < b.size() && (std::isspace(b[pos]) || b[pos] == '#')) {
      if (b[pos] == '#')
        while (pos < b.size() && b[pos] != '\n') ++pos;
      else
        ++pos;
    }
    std::string t;
    while (pos < b.size() && !std::isspace(b[pos])) t += static_cast<char>(b[pos++]);
    return t;
  };
  const std::string magic = token();
  const int w = std::atoi(token().c_str()), h = std::atoi(token().c_str());
  const int maxval = magic == "P4" ? 1 : std::atoi(token().c_str());
  ++pos;
  Picture pic;
  const bool bits = magic == "P4";
  const std::size_t width = static_cast<std::size_t>(w), ch = magic == "P6" ? 3 : 1;
  const std::size_t stride = bits ? (width + 7) / 8 : width * ch;
  for (int y = 0; y < h; ++y) {
    Row r(width);
    const std::size_t at = pos + static_cast<std::size_t>(y) * stride;
    if (at + stride <= b.size()) {
      const std::uint8_t* row = b.data() + at;
      for (std::size_t x = 0; x < width; ++x)
        r[x] = bits ? ((row[x / 8] >> (7 - x % 8)) & 1) != 0 : row[x * ch] < maxval / 2;
    }
    pic.push_back(std::move(r));
  }
  return pic;
}

}  // namespace faxtest
