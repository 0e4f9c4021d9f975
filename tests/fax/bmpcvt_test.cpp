// Bitmap reader: BMP files made by netpbm (1, 4, 8 and 24 bits a pixel) converted to fax
// files whose decoded raster is the expected one; dithering, doubling, centring, errors.
#include <gtest/gtest.h>

#include "fax/Swbmpcvt.h"
#include "serial/Sioexcept.h"
#include "tests/fax/FaxTestUtil.h"

using namespace faxtest;

namespace {

struct BmpConverter {
  TAbsFaxCvt* cvt = nullptr;
  BmpConverter() { EXPECT_EQ(0, bcInitBmpConverter(cvt)); }
  ~BmpConverter() { bcDoneBmpConverter(cvt); }
};

// A picture of a few colours, so that palette bitmaps hold it exactly.
std::vector<std::uint8_t> ColourPicture(int w, int h) {
  static const std::uint8_t colours[6][3] = {{0, 0, 0},     {255, 255, 255}, {200, 30, 30},
                                             {30, 200, 90}, {84, 83, 83},    {120, 120, 250}};
  std::vector<std::uint8_t> rgb;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const auto* c = colours[((x / 7) + (y / 5) * 3) % 6];
      rgb.insert(rgb.end(), c, c + 3);
    }
  return rgb;
}

}  // namespace

TEST(BitmapReader, MonochromeBmpConvertsToItsPixels) {
  TempDir dir;
  for (int width : {100, 1000, 1728}) {
    SCOPED_TRACE(width);
    Picture pic = RandomPicture(width, 40, static_cast<unsigned>(width));
    const std::string pbm = WritePbm(dir, "m.pbm", pic);
    ASSERT_TRUE(Shell("ppmtobmp " + pbm + " > " + (dir / "m.BMP")));
    BmpConverter c;
    int rc = 0;
    Picture got = ConvertAndDecode(c.cvt, dir / "m", dir / "m.fxf", &rc);  // default extension BMP
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(got, Framed(pic));
  }
  // One row gives one line.
  const std::string one = WritePbm(dir, "one.pbm", RandomPicture(50, 1, 2));
  ASSERT_TRUE(Shell("ppmtobmp " + one + " > " + (dir / "one.bmp")));
  BmpConverter c;
  int rc = 0;
  EXPECT_EQ(ConvertAndDecode(c.cvt, dir / "one.bmp", dir / "one.fxf", &rc).size(), 1u);
}

TEST(BitmapReader, PaletteAndTrueColourDitherAlike) {
  TempDir dir;
  const int w = 300, h = 70;
  const std::string ppm = WritePpm(dir, "c.ppm", w, h, ColourPicture(w, h));
  Picture reference;
  for (int bpp : {24, 8, 4}) {
    SCOPED_TRACE(bpp);
    const std::string bmp = dir / ("c" + std::to_string(bpp) + ".bmp");
    ASSERT_TRUE(Shell("ppmtobmp -bpp " + std::to_string(bpp) + " " + ppm + " > " + bmp));
    BmpConverter c;
    int rc = 0;
    Picture got = ConvertAndDecode(c.cvt, bmp, dir / "c.fxf", &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(got.size(), static_cast<std::size_t>(h));
    if (reference.empty()) reference = got;
    ASSERT_EQ(got, reference);
  }
}

TEST(BitmapReader, DitheringOfPlainColours) {
  TempDir dir;
  const int w = 64, h = 32;
  auto convert = [&](std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    std::vector<std::uint8_t> rgb;
    for (int i = 0; i < w * h; ++i) rgb.insert(rgb.end(), {r, g, b});
    const std::string ppm = WritePpm(dir, "p.ppm", w, h, rgb);
    EXPECT_TRUE(Shell("ppmtobmp -bpp 24 " + ppm + " > " + (dir / "p.bmp")));
    BmpConverter c;
    int rc = 0;
    Picture got = ConvertAndDecode(c.cvt, dir / "p.bmp", dir / "p.fxf", &rc);
    EXPECT_EQ(rc, 0);
    return got;
  };
  Picture white = convert(255, 255, 255);
  ASSERT_EQ(white.size(), static_cast<std::size_t>(h));
  for (const Row& r : white) EXPECT_EQ(r, Row(1728, false));

  // Pure black: black everywhere except where the threshold is 0 (column and row 0 of
  // every 16 x 16 block).
  Picture black = convert(0, 0, 0);
  ASSERT_EQ(black.size(), static_cast<std::size_t>(h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      ASSERT_EQ(black[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)],
                !(x % 16 == 0 && y % 16 == 0))
          << x << "," << y;

  // Colour sum 250: column 0 has the thresholds 0, 240, 120, 280, 60, 300, 140, 300 in
  // rows 0 to 7, so rows 3, 5 and 7 are black there.
  Picture grey = convert(84, 83, 83);
  for (int y = 0; y < 8; ++y)
    EXPECT_EQ(grey[static_cast<std::size_t>(y)][0], y == 3 || y == 5 || y == 7) << y;
}

TEST(BitmapReader, DoublingAndCentring) {
  TempDir dir;
  auto open = [&](int width, std::uint16_t options) {
    const std::string pbm = WritePbm(dir, "d.pbm", Picture(2, Row(static_cast<std::size_t>(width), true)));
    EXPECT_TRUE(Shell("ppmtobmp " + pbm + " > " + (dir / "d.bmp")));
    BmpConverter c;
    acOptionsOff(c.cvt, 0xFFFF);
    acOptionsOn(c.cvt, options);
    EXPECT_EQ(0, acConvertToFile(c.cvt, dir / "d.bmp", dir / "d.fxf"));
    return std::pair<bool, int>(c.cvt->DoubleWidth, c.cvt->CenterOfs);
  };
  EXPECT_TRUE(open(839, coDoubleWidth).first);
  EXPECT_FALSE(open(840, coDoubleWidth).first);
  EXPECT_EQ(open(1000, coCenterImage).second, 45);
}

TEST(BitmapReader, BadInputGivesErrorCodes) {
  TempDir dir;
  BmpConverter c;
  EXPECT_EQ(ecFileNotFound, acConvertToFile(c.cvt, dir / "missing.bmp", dir / "x.fxf"));
  EXPECT_EQ(ecBadGraphicsFormat,
            acConvertToFile(c.cvt, dir.Write("t.bmp", {'B', 'M', 1, 2, 3}), dir / "x.fxf"));
  EXPECT_FALSE(std::filesystem::exists(dir / "x.fxf"));

  const std::string pbm = WritePbm(dir, "m.pbm", RandomPicture(200, 50, 1));
  ASSERT_TRUE(Shell("ppmtobmp " + pbm + " > " + (dir / "m.bmp")));
  auto bytes = ReadBytes(dir / "m.bmp");
  for (std::size_t cut : {std::size_t(10), std::size_t(40), std::size_t(60), bytes.size() - 1}) {
    std::vector<std::uint8_t> part(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_EQ(ecBadGraphicsFormat, acConvertToFile(c.cvt, dir.Write("cut.bmp", part), dir / "x.fxf")) << cut;
  }
  auto huge = bytes;
  huge[18] = 0xFF;
  huge[19] = 0xFF;
  huge[20] = 0xFF;
  huge[21] = 0x7F;  // width 2^31 - 1
  EXPECT_EQ(ecBadGraphicsFormat, acConvertToFile(c.cvt, dir.Write("huge.bmp", huge), dir / "x.fxf"));

  // Bitmaps in memory: a colour bitmap cannot be given as a handle; nothing to convert.
  TAbsFaxCvt* mem = nullptr;
  ASSERT_EQ(0, bcInitBitmapConverter(mem));
  TBitmapImage colour;
  ASSERT_TRUE(colour.Allocate(10, 10, 24));
  EXPECT_EQ(ecBadArgument, bcSetInputBitmap(mem, &colour));
  EXPECT_EQ(ecBadArgument, bcSetInputBitmap(mem, nullptr));
  EXPECT_EQ(ecBadArgument, acConvertToFile(mem, "", dir / "y.fxf"));
  mem->InBitmap = &colour;
  ASSERT_EQ(0, bcSetInputBitmap(mem, nullptr));
  mem->InBitmap = nullptr;
  EXPECT_EQ(0, acConvertToFile(mem, "", dir / "y.fxf"));
  EXPECT_EQ(DecodeFax(dir / "y.fxf", 1728).size(), 10u);
  bcDoneBitmapConverter(mem);
}
