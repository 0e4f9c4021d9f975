// PCX and DCX readers: monochrome PCX pictures made by netpbm's ppmtopcx, and DCX files
// of several of them, converted to fax files whose decoded raster is the picture.
#include <gtest/gtest.h>

#include "fax/Swpcxcvt.h"
#include "serial/Sioexcept.h"
#include "tests/fax/FaxTestUtil.h"

using namespace faxtest;

namespace {

struct PcxConverter {
  TAbsFaxCvt* cvt = nullptr;
  explicit PcxConverter(bool dcx = false) : dcx_(dcx) {
    EXPECT_EQ(0, dcx ? dcInitDcxConverter(cvt) : pcInitPcxConverter(cvt));
  }
  ~PcxConverter() {
    if (dcx_)
      dcDoneDcxConverter(cvt);
    else
      pcDonePcxConverter(cvt);
  }
  bool dcx_;
};

std::vector<std::uint8_t> MakePcx(const TempDir& dir, const Picture& pic) {
  const std::string pbm = WritePbm(dir, "p.pbm", pic);
  EXPECT_TRUE(Shell("ppmtopcx " + pbm + " > " + (dir / "p.pcx")));
  return ReadBytes(dir / "p.pcx");
}

// A DCX file of the given PCX pictures, one after the other behind the page table.
std::vector<std::uint8_t> MakeDcx(const std::vector<std::vector<std::uint8_t>>& pictures) {
  std::vector<std::uint8_t> out(DcxTableSize, 0);
  auto put32 = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
      out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  put32(0, DcxSignature);
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    put32(4 + 4 * i, static_cast<std::uint32_t>(out.size()));
    out.insert(out.end(), pictures[i].begin(), pictures[i].end());
  }
  return out;
}

}  // namespace

TEST(PcxReader, MonochromePcxConvertsToItsPixels) {
  TempDir dir;
  for (int width : {100, 1001, 1728}) {
    SCOPED_TRACE(width);
    Picture pic = RandomPicture(width, 50, static_cast<unsigned>(width) + 5);
    pic.push_back(Row(static_cast<std::size_t>(width), true));
    dir.Write("m.PCX", MakePcx(dir, pic));
    PcxConverter c;
    int rc = 0;
    Picture got = ConvertAndDecode(c.cvt, dir / "m", dir / "m.fxf", &rc);  // default extension PCX
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(got, Framed(pic));
  }
}

TEST(PcxReader, WidthLimitCentringAndShortData) {
  TempDir dir;
  PcxConverter c;
  int rc = 0;
  dir.Write("w.pcx", MakePcx(dir, Picture(4, Row(1730, true))));
  ConvertAndDecode(c.cvt, dir / "w.pcx", dir / "w.fxf", &rc);
  EXPECT_EQ(rc, ecBadGraphicsFormat);

  // Centred: a 1000-pixel picture starts 45 bytes in.
  dir.Write("k.pcx", MakePcx(dir, Picture(3, Row(1000, true))));
  acOptionsOff(c.cvt, coDoubleWidth | coYield);
  acOptionsOn(c.cvt, coCenterImage);
  acSetMargins(c.cvt, 0, 0);
  ASSERT_EQ(0, acConvertToFile(c.cvt, dir / "k.pcx", dir / "k.fxf"));
  Row want(1728, false);
  for (int x = 360; x < 1360; ++x) want[static_cast<std::size_t>(x)] = true;
  Picture got = DecodeFax(dir / "k.fxf", 1728);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], want);

  // Data that run out early end the page there.
  Picture pic = RandomPicture(400, 30, 8);
  auto bytes = MakePcx(dir, pic);
  bytes.resize(bytes.size() / 2);
  Picture half = ConvertAndDecode(c.cvt, dir.Write("h.pcx", bytes), dir / "h.fxf", &rc);
  ASSERT_EQ(rc, 0);
  ASSERT_GT(half.size(), 5u);
  ASSERT_LT(half.size(), 30u);
  for (std::size_t y = 0; y + 1 < half.size(); ++y) EXPECT_EQ(half[y], Framed(pic)[y]) << y;

  // Not a monochrome PCX: a colour picture, a broken header, nothing at all.
  std::vector<std::uint8_t> rgb(30 * 20 * 3, 0);
  for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<std::uint8_t>(i * 37);
  ASSERT_TRUE(Shell("ppmtopcx " + WritePpm(dir, "c.ppm", 30, 20, rgb) + " > " + (dir / "c.pcx")));
  ConvertAndDecode(c.cvt, dir / "c.pcx", dir / "c.fxf", &rc);
  EXPECT_EQ(rc, ecBadGraphicsFormat);
  auto broken = MakePcx(dir, pic);
  broken[66] = broken[67] = 0;  // no bytes per line
  ConvertAndDecode(c.cvt, dir.Write("b.pcx", broken), dir / "b.fxf", &rc);
  EXPECT_EQ(rc, ecBadGraphicsFormat);
  ConvertAndDecode(c.cvt, dir.Write("e.pcx", {10, 5, 1, 1}), dir / "e.fxf", &rc);
  EXPECT_EQ(rc, ecBadGraphicsFormat);
  ConvertAndDecode(c.cvt, dir / "none.pcx", dir / "n.fxf", &rc);
  EXPECT_EQ(rc, ecFileNotFound);
}

TEST(DcxReader, OnePagePerPicture) {
  TempDir dir;
  Picture a = RandomPicture(800, 20, 1), b = RandomPicture(1728, 35, 2), e = RandomPicture(64, 3, 3);
  const std::string name =
      dir.Write("three.dcx", MakeDcx({MakePcx(dir, a), MakePcx(dir, b), MakePcx(dir, e)}));
  PcxConverter c(true);
  int rc = 0;
  ConvertAndDecode(c.cvt, name, dir / "three.fxf", &rc);
  ASSERT_EQ(rc, 0);
  TFaxHeaderRec h;
  ASSERT_EQ(0, fxfReadFaxHeader(dir / "three.fxf", h));
  ASSERT_EQ(h.PageCount, 3);
  for (int page = 1; page <= 3; ++page) {
    Unpacker u;
    ASSERT_EQ(0, upUnpackPage(u.up, dir / "three.fxf", static_cast<unsigned>(page)));
    EXPECT_EQ(u.Rows(1728), Framed(page == 1 ? a : page == 2 ? b : e)) << page;
  }

  // Page lengths: the distance to the next picture, the last one to the end of the file.
  std::vector<std::uint8_t> first = MakePcx(dir, a);
  first.resize(50000, 0);
  const std::string two = dir.Write("two.dcx", MakeDcx({first, MakePcx(dir, b)}));
  ASSERT_EQ(0, dcOpenFile(c.cvt, two));
  auto* data = static_cast<TPcxReaderData*>(c.cvt->UserData);
  EXPECT_EQ(data->PageTable->PageCount, 2);
  EXPECT_EQ(data->PageTable->Offsets[1], 54100u);
  EXPECT_EQ(data->PageTable->Lengths[0], 50000);
  dcCloseFile(c.cvt);

  // Wrong signature, a table with no page, a page that is no PCX picture.
  auto bad = MakeDcx({MakePcx(dir, a)});
  bad[0] ^= 1;
  ConvertAndDecode(c.cvt, dir.Write("bad.dcx", bad), dir / "x.fxf", &rc);
  EXPECT_EQ(rc, ecBadGraphicsFormat);
  ConvertAndDecode(c.cvt, dir.Write("empty.dcx", MakeDcx({})), dir / "x.fxf", &rc);
  EXPECT_EQ(rc, ecBadGraphicsFormat);
  ConvertAndDecode(c.cvt,
                   dir.Write("junk.dcx", MakeDcx({MakePcx(dir, a), std::vector<std::uint8_t>(300, 7)})),
                   dir / "x.fxf", &rc);
  EXPECT_EQ(rc, ecBadGraphicsFormat);
}
