// TIFF reader: black-and-white TIFF files made by netpbm's pnmtotiff and libtiff's tiffcp
// (uncompressed, PackBits, several strips, either byte order) converted to fax files whose
// decoded raster is the picture; compressions it cannot read and broken files refused.
#include <gtest/gtest.h>

#include "fax/Swtifcvt.h"
#include "serial/Sioexcept.h"
#include "tests/fax/FaxTestUtil.h"

using namespace faxtest;

namespace {

struct TiffConverter {
  TAbsFaxCvt* cvt = nullptr;
  TiffConverter() { EXPECT_EQ(0, tcInitTiffConverter(cvt)); }
  ~TiffConverter() { tcDoneTiffConverter(cvt); }
};

Picture Convert(const std::string& tif, const TempDir& dir, int* rc) {
  TiffConverter c;
  return ConvertAndDecode(c.cvt, tif, dir / "t.fxf", rc);
}

}  // namespace

TEST(TiffReader, UncompressedAndPackBitsInEitherByteOrder) {
  TempDir dir;
  Picture pic = RandomPicture(1725, 60, 17);
  pic.push_back(Row(1725, true));  // pad bits of an all-black row stay white
  const std::string pbm = WritePbm(dir, "p.pbm", pic);
  for (const char* options :
       {"-none -miniswhite", "-none -minisblack", "-packbits -miniswhite", "-packbits -minisblack",
        "-packbits -rowsperstrip=7", "-none -rowsperstrip=100"}) {
    SCOPED_TRACE(options);
    ASSERT_TRUE(Shell(std::string("pnmtotiff ") + options + " " + pbm + " > " + (dir / "a.tif")));
    int rc = 0;
    Picture got = Convert(dir / "a.tif", dir, &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(got, Framed(pic));
    for (const char* order : {"-B", "-L"}) {
      ASSERT_TRUE(Shell(std::string("tiffcp ") + order + " " + (dir / "a.tif") + " " + (dir / "b.tif")));
      got = Convert(dir / "b.tif", dir, &rc);
      ASSERT_EQ(rc, 0) << order;
      ASSERT_EQ(got, Framed(pic)) << order;
    }
  }
}

TEST(TiffReader, StripsImagesAndDefaultExtension) {
  TempDir dir;
  Picture pic = RandomPicture(640, 257, 21);
  const std::string pbm = WritePbm(dir, "p.pbm", pic);
  ASSERT_TRUE(Shell("pnmtotiff -packbits -rowsperstrip=100 " + pbm + " > " + (dir / "s.TIF")));
  int rc = 0;
  Picture got = Convert(dir / "s", dir, &rc);  // default extension TIF
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(got.size(), 257u);
  EXPECT_EQ(got, Framed(pic));

  // Of a file with several images only the first becomes the page.
  Picture second = RandomPicture(300, 20, 22);
  ASSERT_TRUE(Shell("pnmtotiff -none " + pbm + " > " + (dir / "m.tif")));
  ASSERT_TRUE(
      Shell("pnmtotiff -none -append -output " + (dir / "m.tif") + " " + WritePbm(dir, "q.pbm", second)));
  got = Convert(dir / "m.tif", dir, &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(got, Framed(pic));
}

TEST(TiffReader, UnreadableFilesAreRefused) {
  TempDir dir;
  Picture pic = RandomPicture(500, 40, 5);
  const std::string pbm = WritePbm(dir, "p.pbm", pic);
  int rc = 0;
  ASSERT_TRUE(Shell("pnmtotiff -none " + pbm + " > " + (dir / "n.tif")));
  for (const char* c : {"g3", "g4", "lzw"}) {
    ASSERT_TRUE(Shell(std::string("tiffcp -c ") + c + " " + (dir / "n.tif") + " " + (dir / "c.tif")));
    Convert(dir / "c.tif", dir, &rc);
    EXPECT_EQ(rc, ecBadGraphicsFormat) << c;
  }
  // Grey levels: 8 bits a sample.
  std::vector<std::uint8_t> rgb(20 * 10 * 3);
  for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<std::uint8_t>(i);
  ASSERT_TRUE(Shell("pnmtotiff " + WritePpm(dir, "c.ppm", 20, 10, rgb) + " > " + (dir / "g.tif")));
  Convert(dir / "g.tif", dir, &rc);
  EXPECT_EQ(rc, ecBadGraphicsFormat);

  Convert(dir.Write("x.tif", {'X', 'X', 42, 0, 8, 0, 0, 0}), dir, &rc);
  EXPECT_EQ(rc, ecBadGraphicsFormat);
  Convert(dir / "missing.tif", dir, &rc);
  EXPECT_EQ(rc, ecFileNotFound);

  // Cut short: in the directory, or in the picture data.
  auto bytes = ReadBytes(dir / "n.tif");
  std::vector<std::uint8_t> head(bytes.begin(), bytes.begin() + 6);
  Convert(dir.Write("h.tif", head), dir, &rc);
  EXPECT_EQ(rc, ecDeviceRead);
}

// A small file made by hand, directory first: two strips whose offsets and byte counts
// are SHORT values held in the entries themselves.
TEST(TiffReader, ShortStripArraysAndDataCutShort) {
  TempDir dir;
  std::vector<std::uint8_t> f = {'I', 'I', 42, 0, 8, 0, 0, 0};
  auto put16 = [&](unsigned v) {
    f.insert(f.end(), {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)});
  };
  auto entry = [&](unsigned tag, unsigned count, unsigned v0, unsigned v1) {
    put16(tag);
    put16(3);
    put16(count);
    put16(0);
    put16(v0);
    put16(v1);
  };
  const unsigned dataAt = 8 + 2 + 8 * 12 + 4;
  put16(8);
  entry(256, 1, 16, 0);
  entry(257, 1, 4, 0);
  entry(258, 1, 1, 0);
  entry(259, 1, 1, 0);
  entry(262, 1, 0, 0);
  entry(273, 2, dataAt + 4, dataAt);  // the second strip comes first in the file
  entry(278, 1, 2, 0);
  entry(279, 2, 4, 4);
  f.insert(f.end(), 4, 0);
  f.insert(f.end(), {0x00, 0x0F, 0xFF, 0x00});  // rows 3 and 4
  f.insert(f.end(), {0x80, 0x01, 0x00, 0x00});  // rows 1 and 2
  ASSERT_EQ(f.size(), dataAt + 8);
  int rc = 0;
  Picture got = Convert(dir.Write("h.tif", f), dir, &rc);
  ASSERT_EQ(rc, 0);
  Picture want(4, Row(1728, false));
  want[0][0] = want[0][15] = true;
  for (int x = 12; x < 16; ++x) want[2][static_cast<std::size_t>(x)] = true;
  for (int x = 0; x < 8; ++x) want[3][static_cast<std::size_t>(x)] = true;
  EXPECT_EQ(got, want);

  f.pop_back();
  Convert(dir.Write("cut.tif", f), dir, &rc);
  EXPECT_EQ(rc, ecDeviceRead);
}
