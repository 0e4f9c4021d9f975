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

using namespace faxtest;

namespace {

// Reads what a netpbm command prints (P4, P5 or P6) as pixel rows, dark = black.
Picture ReadPnm(const std::string& cmd) {
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
  for (int y = 0; y < h; ++y) {
    Row r(static_cast<std::size_t>(w));
    for (int x = 0; x < w; ++x) {
      if (magic == "P4") {
        const std::size_t at = pos + static_cast<std::size_t>(y) * static_cast<std::size_t>((w + 7) / 8) +
                               static_cast<std::size_t>(x / 8);
        r[static_cast<std::size_t>(x)] = at < b.size() && ((b[at] >> (7 - x % 8)) & 1);
      } else {
        const std::size_t ch = magic == "P6" ? 3 : 1;
        const std::size_t at =
            pos +
            (static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)) * ch;
        r[static_cast<std::size_t>(x)] = at < b.size() && b[at] < maxval / 2;
      }
    }
    pic.push_back(std::move(r));
  }
  return pic;
}

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
