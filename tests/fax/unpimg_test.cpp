// Picture files from fax files: PCX, DCX, TIFF and BMP written by the unpacker are read
// back by netpbm (pcxtoppm, tifftopnm, bmptopnm) and by our own readers, and must show
// the decoded pages pixel for pixel.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>

#include "fax/Swpcxcvt.h"
#include "fax/Swunpimg.h"
#include "serial/Sioexcept.h"
#include "tests/fax/FaxTestUtil.h"
#include "tests/support/TempDir.h"

using namespace faxtest;

namespace {

struct Fixture {
  TempDir dir;
  Picture page1, page2, page3;
  std::string fax;
  Fixture() {
    page1 = RandomPicture(1728, 30, 31);
    page2 = RandomPicture(1728, 20, 32);
    page3 = RandomPicture(1728, 10, 33);
    for (Picture* p : {&page1, &page2, &page3}) (*p)[0][1727] = true;  // the picture is the full width
    fax = dir / "doc.fxf";
    EXPECT_EQ(0, WriteFaxFile(fax, {page1, page2, page3}, false, true));
  }
};

Picture Concat(std::initializer_list<const Picture*> pages) {
  Picture all;
  for (const Picture* p : pages) all.insert(all.end(), p->begin(), p->end());
  return all;
}

}  // namespace

TEST(UnpackerPictures, PcxTiffAndBmpShowThePages) {
  Fixture fx;
  Unpacker u;
  ASSERT_EQ(0, upUnpackPageToPcx(u.up, fx.fax, fx.dir / "p2.pcx", 2));
  EXPECT_EQ(ReadPnm("pcxtoppm " + (fx.dir / "p2.pcx")), fx.page2);
  ASSERT_EQ(0, upUnpackFileToTiff(u.up, fx.fax, fx.dir / "all.tif"));
  EXPECT_EQ(ReadPnm("tifftopnm " + (fx.dir / "all.tif")), Concat({&fx.page1, &fx.page2, &fx.page3}));
  ASSERT_EQ(0, upUnpackPageToTiff(u.up, fx.fax, fx.dir / "p3.tif", 3));
  EXPECT_EQ(ReadPnm("tifftopnm " + (fx.dir / "p3.tif")), fx.page3);
  ASSERT_EQ(0, upUnpackFileToBmp(u.up, fx.fax, fx.dir / "all.bmp"));
  EXPECT_EQ(ReadPnm("bmptopnm " + (fx.dir / "all.bmp")), Concat({&fx.page1, &fx.page2, &fx.page3}));
  ASSERT_EQ(0, upUnpackFileToPcx(u.up, fx.fax, fx.dir / "all.pcx"));
  EXPECT_EQ(ReadPnm("pcxtoppm " + (fx.dir / "all.pcx")), Concat({&fx.page1, &fx.page2, &fx.page3}));

  // The PCX header, and an all-white row as runs of 63, 63, 63 and 27 bytes.
  Picture white(2, Row(1728, false));
  white[1][1727] = true;
  ASSERT_EQ(0, WriteFaxFile(fx.dir / "w.fxf", {white}, false, true));
  ASSERT_EQ(0, upUnpackPageToPcx(u.up, fx.dir / "w.fxf", fx.dir / "w.pcx", 1));
  auto bytes = ReadBytes(fx.dir / "w.pcx");
  ASSERT_GT(bytes.size(), 136u);
  EXPECT_EQ(bytes[0], 10);
  EXPECT_EQ(bytes[8] | (bytes[9] << 8), 1727);
  EXPECT_EQ(bytes[10] | (bytes[11] << 8), 1);
  EXPECT_EQ(bytes[66] | (bytes[67] << 8), 216);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 128, bytes.begin() + 136),
            (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xDB, 0xFF}));
}

TEST(UnpackerPictures, DcxHasOnePicturePerPage) {
  Fixture fx;
  Unpacker u;
  ASSERT_EQ(0, upUnpackFileToDcx(u.up, fx.fax, fx.dir / "all.dcx"));
  auto bytes = ReadBytes(fx.dir / "all.dcx");
  ASSERT_GT(bytes.size(), 4100u);
  auto at32 = [&](std::size_t i) {
    return static_cast<std::uint32_t>(bytes[i] | (bytes[i + 1] << 8) | (bytes[i + 2] << 16) |
                                      (bytes[i + 3] << 24));
  };
  EXPECT_EQ(at32(0), DcxSignature);
  EXPECT_EQ(at32(4), 4100u);
  EXPECT_NE(at32(8), 0u);
  EXPECT_NE(at32(12), 0u);
  EXPECT_EQ(at32(16), 0u);

  TAbsFaxCvt* dcx = nullptr;
  ASSERT_EQ(0, dcInitDcxConverter(dcx));
  acOptionsOff(dcx, coDoubleWidth | coCenterImage | coYield);
  acSetMargins(dcx, 0, 0);
  acSetResolutionMode(dcx, 1);
  ASSERT_EQ(0, acConvertToFile(dcx, fx.dir / "all.dcx", fx.dir / "back.fxf"));
  dcDoneDcxConverter(dcx);
  EXPECT_EQ(DecodeFax(fx.dir / "back.fxf", 1728), Concat({&fx.page1, &fx.page2, &fx.page3}));

  ASSERT_EQ(0, upUnpackPageToDcx(u.up, fx.fax, fx.dir / "one.dcx", 2));
  bytes = ReadBytes(fx.dir / "one.dcx");
  EXPECT_EQ(at32(4), 4100u);
  EXPECT_EQ(at32(8), 0u);
}

TEST(UnpackerPictures, OutputNamesAndLimits) {
  Fixture fx;
  Unpacker u;
  ASSERT_EQ(0, upUnpackPageToPcx(u.up, fx.fax, fx.dir / "named.img", 1));
  EXPECT_TRUE(std::filesystem::exists(fx.dir / "named.img"));
  ASSERT_EQ(0, upUnpackPageToPcx(u.up, fx.fax, fx.dir / "bare", 1));
  EXPECT_TRUE(std::filesystem::exists(fx.dir / "bare.PCX"));
  ASSERT_EQ(0, upUnpackPageToBmp(u.up, fx.fax, "", 1));
  EXPECT_TRUE(std::filesystem::exists(fx.dir / "doc.BMP"));

  EXPECT_EQ(ecFaxBadFormat, upUnpackPageToTiff(u.up, fx.fax, fx.dir / "x.tif", 4));
  EXPECT_EQ(ecFileNotFound, upUnpackFileToPcx(u.up, fx.dir / "none.fxf", fx.dir / "x.pcx"));
  EXPECT_FALSE(std::filesystem::exists(fx.dir / "x.tif"));

  // 16384 normal-resolution lines, doubled in height: 32768 rows are too many for a BMP.
  Picture tall(16384, Row(1728, false));
  ASSERT_EQ(0, WriteFaxFile(fx.dir / "tall.fxf", {tall}, false, false));
  upOptionsOn(u.up, ufDoubleHeight);
  EXPECT_EQ(ecBmpTooBig, upUnpackFileToBmp(u.up, fx.dir / "tall.fxf", fx.dir / "tall.bmp"));
  EXPECT_FALSE(std::filesystem::exists(fx.dir / "tall.bmp"));
  upOptionsOff(u.up, ufDoubleHeight);
  EXPECT_EQ(0, upUnpackFileToBmp(u.up, fx.dir / "tall.fxf", fx.dir / "tall.bmp"));
}

// Pictures that a format cannot hold are refused with an error and leave no file: before,
// a fax without a decodable line gave a BMP of width 0, a TIFF with RowsPerStrip 0 and a
// PCX with BytesPerLine 0, and more than 65536 rows wrapped the PCX's Ymax.
TEST(UnpackerPictures, PicturesAFormatCannotHoldAreRefused) {
  TempDir dir;
  Unpacker u;
  auto noFile = [&](const std::string& name) { return !std::filesystem::exists(dir / name); };

  // A fax of no pages, and one whose only lines are 2100 pixels wide (no fax line).
  TFaxHeaderRec h;
  h.Signature = DefFXFSig;
  h.FirstPageOffset = 64;
  std::vector<std::uint8_t> empty(64);
  h.Store(empty.data());
  const std::string none = dir.Write("none.fxf", empty);
  const std::string pbm = WritePbm(dir, "wide.pbm", RandomPicture(2100, 5, 9));
  ASSERT_TRUE(Shell("pbmtog3 -reversebits -nofixedwidth " + pbm + " > " + (dir / "w.g3")));
  const std::string overlong = dir.Write("overlong.fxf", RawFaxFile(ReadBytes(dir / "w.g3"), 0));
  for (const std::string& fax : {none, overlong}) {
    SCOPED_TRACE(fax);
    EXPECT_EQ(ecBadGraphicsFormat, upUnpackFileToPcx(u.up, fax, dir / "e.pcx"));
    EXPECT_EQ(ecBadGraphicsFormat, upUnpackFileToTiff(u.up, fax, dir / "e.tif"));
    EXPECT_EQ(ecBadGraphicsFormat, upUnpackFileToBmp(u.up, fax, dir / "e.bmp"));
    EXPECT_EQ(ecBadGraphicsFormat, upUnpackFileToDcx(u.up, fax, dir / "e.dcx"));
    EXPECT_TRUE(noFile("e.pcx") && noFile("e.tif") && noFile("e.bmp") && noFile("e.dcx"));
  }
  EXPECT_EQ(ecBadGraphicsFormat, upUnpackPageToTiff(u.up, overlong, dir / "e.tif", 1));
  EXPECT_EQ(ecBadGraphicsFormat, upUnpackPageToDcx(u.up, overlong, dir / "e.dcx", 1));
  EXPECT_TRUE(noFile("e.tif") && noFile("e.dcx"));

  // 32769 normal-resolution lines doubled are 65538 rows: too many for a PCX, even inside
  // a DCX; a TIFF holds them. A refused picture leaves an existing file of its name alone.
  Picture tall(32769, Row(1728, false));
  tall[0][1727] = tall[32768][0] = true;
  ASSERT_EQ(0, WriteFaxFile(dir / "tall.fxf", {tall}, false, false));
  upOptionsOn(u.up, ufDoubleHeight);
  support::WriteFile(dir / "keep.pcx", "old");
  EXPECT_EQ(ecBadGraphicsFormat, upUnpackFileToPcx(u.up, dir / "tall.fxf", dir / "keep.pcx"));
  EXPECT_EQ(support::ReadFile(dir / "keep.pcx"), "old");
  EXPECT_EQ(ecBadGraphicsFormat, upUnpackPageToDcx(u.up, dir / "tall.fxf", dir / "t.dcx", 1));
  EXPECT_TRUE(noFile("t.dcx"));
  ASSERT_EQ(0, upUnpackFileToTiff(u.up, dir / "tall.fxf", dir / "t.tif"));
  // Its last three rows: exactly three, so the picture has 65538 rows.
  const Picture back = ReadPnm("tifftopnm " + (dir / "t.tif") + " | pamcut -top 65535");
  ASSERT_EQ(back.size(), 3u);
  EXPECT_TRUE(back[2][0] && back[1][0] && !back[0][0]);
  upOptionsOff(u.up, ufDoubleHeight);

  // Nothing but the finished picture is left in the folder.
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    EXPECT_EQ(e.path().filename().string().find(".~"), std::string::npos) << e.path();
}
