// T.4 encoder: lines from our encoder, put into a G3 stream, must decode with netpbm's
// g3topbm (bits least significant first) to exactly the raster we meant.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fax/Swfaxcvt.h"
#include "tests/fax/G3Decode.h"

namespace {

using Line = PixelRow;

struct Converter {
  TAbsFaxCvt* cvt = nullptr;
  Converter() { acInitFaxConverter(cvt, nullptr, nullptr, nullptr, nullptr, ""); }
  ~Converter() { acDoneFaxConverter(cvt); }
};

std::vector<std::uint8_t> Pack(const Line& pixels) {
  std::vector<std::uint8_t> r(RasterBufferSize, 0);
  for (std::size_t i = 0; i < pixels.size(); ++i)
    if (pixels[i]) r[i / 8] |= static_cast<std::uint8_t>(0x80 >> (i % 8));
  return r;
}

// The line the fax carries for a raster line: margin, then the pixels (doubled), cut or
// padded with white to the line width.
Line Expected(const Line& raster, int width, int margin, bool doubled) {
  Line l(static_cast<std::size_t>(width), false);
  std::size_t at = static_cast<std::size_t>(margin);
  for (std::size_t i = 0; i < raster.size() && at < l.size(); ++i)
    for (int k = 0; k < (doubled ? 2 : 1) && at < l.size(); ++k) l[at++] = raster[i];
  return l;
}

// Encodes every raster line, then checks the decoded picture line by line.
void RoundTrip(TAbsFaxCvt* cvt, const std::vector<Line>& rasters, const std::vector<Line>& expected) {
  std::vector<std::uint8_t> g3;
  for (const Line& r : rasters) {
    auto packed = Pack(r);
    acCompressRasterLine(cvt, packed.data());
    ASSERT_GT(cvt->ByteOfs, 2);
    g3.insert(g3.end(), cvt->DataLine.get(), cvt->DataLine.get() + cvt->ByteOfs);
  }
  std::uint8_t eop[12];
  int len = 0;
  acMakeEndOfPage(cvt, eop, len);
  g3.insert(g3.end(), eop, eop + len);
  auto decoded = G3Decode(g3, cvt->ResWidth);
  ASSERT_EQ(decoded.size(), expected.size()) << "g3topbm refused the stream";
  for (std::size_t y = 0; y < expected.size(); ++y) ASSERT_EQ(decoded[y], expected[y]) << "line " << y;
}

Line Runs(std::initializer_list<int> lengths, int total) {
  Line l;
  bool black = false;
  for (int n : lengths) {
    for (int i = 0; i < n; ++i) l.push_back(black);
    black = !black;
  }
  l.resize(static_cast<std::size_t>(total), black);
  return l;
}

}  // namespace

TEST(T4Encoder, KnownLines) {
  Converter c;
  std::vector<std::uint8_t> white(RasterBufferSize, 0);
  for (int margin : {0, 50, 1727}) {
    acSetMargins(c.cvt, margin, 0);
    acCompressRasterLine(c.cvt, white.data());
    ASSERT_EQ(c.cvt->ByteOfs, 6);
    const std::uint8_t expect[6] = {0x00, 0x80, 0xB2, 0x59, 0x01, 0x00};
    EXPECT_EQ(0, std::memcmp(c.cvt->DataLine.get(), expect, 6));
  }
  // First pixel black with no margin: a white run of 0 (0011 0101) comes first.
  acSetMargins(c.cvt, 0, 0);
  std::vector<std::uint8_t> raster(RasterBufferSize, 0);
  raster[0] = 0x80;
  acCompressRasterLine(c.cvt, raster.data());
  const std::uint8_t* d = c.cvt->DataLine.get();
  EXPECT_EQ(d[0], 0x00);
  EXPECT_EQ(d[1], 0x80);
  EXPECT_EQ(d[2], 0xAC);  // 0011 0101 least significant bit first

  std::uint8_t eop[12];
  int len = 0;
  acMakeEndOfPage(c.cvt, eop, len);
  const std::uint8_t expectEop[12] = {0x00, 0x80, 0x00, 0x08, 0x80, 0x00, 0x08, 0x80, 0x00, 0x08, 0x80, 0x00};
  ASSERT_EQ(len, 12);
  EXPECT_EQ(0, std::memcmp(eop, expectEop, 12));
}

TEST(T4Encoder, RandomAndSpecialLinesDecodeExactly) {
  std::mt19937 rng(4711);
  for (int width : {StandardWidth, WideWidth}) {
    for (int margin : {0, 50, 7}) {
      Converter c;
      acSetResolutionWidth(c.cvt, width == WideWidth ? 2 : 1);
      acSetMargins(c.cvt, margin, 0);
      std::vector<Line> rasters, expected;
      auto add = [&](const Line& r) {
        rasters.push_back(r);
        expected.push_back(Expected(r, width, margin, false));
      };
      add(Line(static_cast<std::size_t>(width), false));
      add(Line(static_cast<std::size_t>(width), true));
      Line alternating(static_cast<std::size_t>(width));
      for (std::size_t i = 0; i < alternating.size(); ++i) alternating[i] = i % 2 == 0;
      add(alternating);
      for (std::size_t i = 0; i < alternating.size(); ++i) alternating[i] = i % 2 == 1;
      add(alternating);
      // Runs around the make-up boundaries and the full line width.
      for (int n : {1, 62, 63, 64, 65, 127, 128, 129, 1663, 1664, 1727, 1728, 1729, 1791, 1792, 2047, 2048}) {
        add(Runs({n}, width));     // white run n, then black to the end
        add(Runs({0, n}, width));  // black run n first
        add(Runs({3, n, 1}, width));
      }
      // Random lines of every density, and lines of short random runs.
      for (int k = 0; k < 60; ++k) {
        Line l(static_cast<std::size_t>(width));
        std::bernoulli_distribution black(k / 60.0);
        for (std::size_t i = 0; i < l.size(); ++i) l[i] = black(rng);
        add(l);
        Line r;
        std::uniform_int_distribution<int> runLen(1, k < 30 ? 8 : 300);
        bool colour = k % 2;
        while (r.size() < static_cast<std::size_t>(width)) {
          r.insert(r.end(), static_cast<std::size_t>(runLen(rng)), colour);
          colour = !colour;
        }
        r.resize(static_cast<std::size_t>(width));
        add(r);
      }
      SCOPED_TRACE("width " + std::to_string(width) + " margin " + std::to_string(margin));
      RoundTrip(c.cvt, rasters, expected);
    }
  }
}

TEST(T4Encoder, DoubleWidthLinesKeepThePageWidth) {
  std::mt19937 rng(99);
  for (int width : {StandardWidth, WideWidth}) {
    for (int margin : {50, 51, 0, 13}) {
      for (int pictureWidth : {100, 813, 814, 815, 816, 827, 839, 1000, 1017, 1023}) {
        Converter c;
        acSetResolutionWidth(c.cvt, width == WideWidth ? 2 : 1);
        acSetMargins(c.cvt, margin, 0);
        acSetPictureWidth(c.cvt, pictureWidth);
        if (!c.cvt->DoubleWidth) continue;
        const int ofs = c.cvt->CenterOfs * 8;
        // A centred picture that fits beside the margin is never cut on the right.
        EXPECT_LE(margin + 2 * (ofs + pictureWidth), width) << pictureWidth;
        std::vector<Line> rasters, expected;
        for (int k = 0; k < 6; ++k) {
          Line picture(static_cast<std::size_t>(pictureWidth));
          for (std::size_t i = 0; i < picture.size(); ++i) picture[i] = k == 0 ? true : (rng() % 3 == 0);
          Line raster(static_cast<std::size_t>(ofs), false);
          raster.insert(raster.end(), picture.begin(), picture.end());
          rasters.push_back(raster);
          expected.push_back(Expected(raster, width, margin, true));
        }
        // A raster black up to the buffer's end still gives lines of exactly the width.
        rasters.push_back(Line(static_cast<std::size_t>(width), true));
        expected.push_back(Expected(rasters.back(), width, margin, true));
        SCOPED_TRACE("width " + std::to_string(width) + " margin " + std::to_string(margin) + " picture " +
                     std::to_string(pictureWidth));
        RoundTrip(c.cvt, rasters, expected);
      }
    }
  }
}

TEST(T4Encoder, PictureWidthSettings) {
  Converter c;
  // Doubling needs 2 * w <= W - M at normal resolution.
  acSetPictureWidth(c.cvt, 839);
  EXPECT_TRUE(c.cvt->DoubleWidth);
  acSetPictureWidth(c.cvt, 840);
  EXPECT_FALSE(c.cvt->DoubleWidth);
  // Centred without doubling: 1000 pixels at 1728 start 45 bytes in.
  acSetPictureWidth(c.cvt, 1000);
  EXPECT_EQ(c.cvt->CenterOfs, 45);
  // Fine resolution never doubles; half height only without double width.
  acSetResolutionMode(c.cvt, 1);
  acOptionsOn(c.cvt, coHalfHeight);
  acSetPictureWidth(c.cvt, 300);
  EXPECT_FALSE(c.cvt->DoubleWidth);
  EXPECT_FALSE(c.cvt->HalfHeight);
  acSetResolutionMode(c.cvt, 0);
  acOptionsOff(c.cvt, coDoubleWidth);
  acSetPictureWidth(c.cvt, 300);
  EXPECT_TRUE(c.cvt->HalfHeight);
  // Too wide for centring: no offset.
  acSetPictureWidth(c.cvt, 1720);
  EXPECT_EQ(c.cvt->CenterOfs, 0);
}
