// The converter and unpacker components as a form drives them: documents of every kind
// become fax files whose pages netpbm's g3topbm decodes, aborts and failing handlers leave
// no output behind, and fax files become pictures that netpbm and libtiff read back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "fax/SioFaxCvt.h"
#include "fax/Swfaxfmt.h"
#include "serial/Sioexcept.h"
#include "tests/fax/FaxTestUtil.h"
#include "tests/fax/G3Decode.h"
#include "tests/support/TempDir.h"

using namespace faxtest;
namespace fs = std::filesystem;

namespace {

// Every page of a fax file as g3topbm decodes it (the line records' code bytes in a row).
std::vector<Picture> G3Pages(const std::string& file, int width = 1728) {
  TFaxFileReader r;
  EXPECT_EQ(0, r.Open(file));
  std::vector<Picture> pages;
  for (unsigned p = 1; p <= r.Header().PageCount; ++p) {
    EXPECT_EQ(0, r.SeekPage(p));
    std::vector<std::uint8_t> g3;
    std::uint8_t line[MaxLineRecordLen];
    int len = 0;
    while (r.ReadLineRecord(line, len) == 0) g3.insert(g3.end(), line, line + len);
    pages.push_back(G3Decode(g3, width));
  }
  return pages;
}

// A converter set so that picture pixels reach the fax lines one to one.
void PlainPictures(TSioFaxConverter& c) {
  c.SetOptions(coYield);
  c.SetLeftMargin(0);
  c.SetResolution(frHigh);
}

unsigned PageCount(const std::string& file) {
  TFaxHeaderRec h;
  return fxfReadFaxHeader(file, h) == 0 ? h.PageCount : 0;
}

int ErrorOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const ESIOException& e) {
    return e.ErrorCode;
  } catch (const EInOutError& e) {  // the file errors (-2 .. -162)
    return -e.ErrorCode;
  }
  return 0;
}

}  // namespace

TEST(FaxConverterComponent, ConvertsTextAndPicturesIntoFaxFilesThatNetpbmDecodes) {
  support::TempDir dir;
  TSioFaxConverter c;

  // Text: 61 lines at 60 lines a page make two pages; netpbm and our unpacker agree.
  std::string text;
  for (int i = 1; i <= 61; ++i)
    text += "Zeile " + std::to_string(i) +
            " \xC4rger \xFC"
            "ber \xDF\r\n";
  c.SetInputDocumentType(idText);
  c.SetDocumentFile(dir.Write("brief.txt", text));
  EXPECT_EQ(c.GetOutFileName(), dir / "brief.FXF");
  c.ConvertToFile();
  const std::vector<Picture> textPages = G3Pages(dir / "brief.FXF");
  ASSERT_EQ(textPages.size(), 2u);
  EXPECT_EQ(textPages[0].size(), 60u * 16);  // 60 text lines of 16 rows
  bool inked = false;
  for (const Row& r : textPages[0])
    for (bool b : r) inked = inked || b;
  EXPECT_TRUE(inked);
  for (unsigned p = 1; p <= 2; ++p) {
    Unpacker ours;
    ASSERT_EQ(0, upUnpackPage(ours.up, dir / "brief.FXF", p));
    EXPECT_EQ(textPages[p - 1], ours.Rows(1728)) << "page " << p;
  }

  // The same text in a named font (the enhanced text converter) at fine resolution.
  c.SetInputDocumentType(idTextEx);
  TFaxTextFont font;
  font.Name = "Times New Roman";
  font.Height = -19;
  c.SetEnhFont(font);
  c.SetResolution(frHigh);
  c.SetOutFileName(dir / "brief_ex.fxf");
  c.ConvertToFile();
  const std::vector<Picture> exPages = G3Pages(dir / "brief_ex.fxf");
  ASSERT_EQ(exPages.size(), 2u);
  Unpacker ex;
  ASSERT_EQ(0, upUnpackPage(ex.up, dir / "brief_ex.fxf", 1));
  EXPECT_EQ(exPages[0], ex.Rows(1728));
  EXPECT_GT(exPages[0].size(), 60u * 19);
  c.SetResolution(frNormal);

  // Pictures: the same picture as BMP, PCX and TIFF (made by netpbm) gives the same page.
  const Picture pic = RandomPicture(1000, 120, 77);
  const std::string in = WritePbm(dir, "pic.pbm", pic);
  ASSERT_TRUE(Shell("ppmtobmp " + in + " > " + (dir / "pic.bmp")));
  ASSERT_TRUE(Shell("ppmtopcx " + in + " > " + (dir / "pic.pcx")));
  ASSERT_TRUE(Shell("pnmtotiff -packbits " + in + " > " + (dir / "pic.tif")));
  struct Case {
    TFaxInputDocumentType type;
    std::string file;
  };
  PlainPictures(c);
  for (const Case& k : {Case{idBmp, "pic.bmp"}, Case{idPcx, "pic.pcx"}, Case{idTiff, "pic.tif"}}) {
    SCOPED_TRACE(k.file);
    c.SetInputDocumentType(k.type);
    c.SetDocumentFile(dir / k.file);
    c.SetOutFileName(dir / (k.file + ".fxf"));
    c.ConvertToFile();
    const std::vector<Picture> pages = G3Pages(dir / (k.file + ".fxf"));
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0], Framed(pic));
  }

  // A bitmap in memory: the unpacker's page bitmap (1 = white) converts back to the page.
  TSioFaxUnpacker u;
  u.SetAutoScaleMode(asNone);
  u.SetInFileName(dir / "pic.tif.fxf");
  std::unique_ptr<TBitmapImage> bmp = u.UnpackPageToBitmap(1);
  c.SetInputDocumentType(idPcx);
  c.SetOutFileName(dir / "bitmap.fxf");
  c.ConvertBitmapToFile(*bmp);
  EXPECT_EQ(c.GetInputDocumentType(), idPcx);
  const std::vector<Picture> back = G3Pages(dir / "bitmap.fxf");
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0], Framed(pic));
}

TEST(FaxConverterComponent, AnAbortOrAFailingHandlerLeavesNoOutputFile) {
  support::TempDir dir;
  std::string text;
  for (int i = 0; i < 200; ++i) text += "Text der Seite, Zeile " + std::to_string(i) + "\r\n";
  TSioFaxConverter c;
  c.SetInputDocumentType(idText);
  c.SetDocumentFile(dir.Write("doc.txt", text));

  // Abort from OnStatus in the middle of page 2.
  int starts = 0, ends = 0, lastPage = 0;
  c.SetOnStatus([&](TSioCustomFaxConverter*, bool starting, bool ending, int pages, int, std::int32_t done,
                    std::int32_t total, bool& abort) {
    starts += starting;
    ends += ending;
    lastPage = std::max(lastPage, pages);
    EXPECT_LE(done, total);
    if (pages == 2 && !ending) abort = true;
  });
  try {
    c.ConvertToFile();
    ADD_FAILURE() << "no abort";
  } catch (const EConvertAbort& e) {
    EXPECT_EQ(e.ErrorCode, ecConvertAbort);
  }
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(ends, 1);
  EXPECT_EQ(lastPage, 2);
  EXPECT_FALSE(fs::exists(dir / "doc.FXF"));

  // An abort at the start: nothing is opened, nothing written.
  c.SetOnStatus([](TSioCustomFaxConverter*, bool starting, bool, int, int, std::int32_t, std::int32_t,
                   bool& abort) { abort = starting; });
  EXPECT_EQ(ErrorOf([&] { c.ConvertToFile(); }), ecConvertAbort);
  EXPECT_FALSE(fs::exists(dir / "doc.FXF"));

  // An exception of a handler comes out of the call as it was thrown.
  c.SetOnStatus({});
  c.SetInputDocumentType(idUser);
  int lines = 0;
  c.SetOnReadUserLine([&](TSioCustomFaxConverter*, std::uint8_t* data, int& len, bool& eop, bool& more) {
    if (++lines == 100) throw std::runtime_error("Lesefehler");
    data[0] = 0xF0;
    len = 216;
    eop = false;
    more = false;
  });
  c.SetOutFileName(dir / "user.fxf");
  try {
    c.ConvertToFile();
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Lesefehler");
  }
  EXPECT_FALSE(fs::exists(dir / "user.fxf"));

  // The component stays usable: the same conversion without the fault succeeds.
  lines = 0;
  c.SetOnReadUserLine([&](TSioCustomFaxConverter*, std::uint8_t* data, int& len, bool& eop, bool& more) {
    eop = ++lines > 10;
    more = false;
    data[0] = 0xF0;
    len = 216;
  });
  c.ConvertToFile();
  EXPECT_EQ(PageCount(dir / "user.fxf"), 1u);
  EXPECT_EQ(DecodeFax(dir / "user.fxf", 1728).size(), 10u);
}

TEST(FaxConverterComponent, UserInputLineOutputAndProperties) {
  support::TempDir dir;
  TSioFaxConverter c;
  EXPECT_EQ(c.GetOptions(), DefFaxCvtOptions);
  EXPECT_EQ(c.GetLeftMargin(), 50u);
  EXPECT_EQ(c.GetLinesPerPage(), 60u);
  EXPECT_EQ(c.GetFontFile(), "SWFAX.FNT");
  c.SetOptions(coYieldOften);
  EXPECT_EQ(c.GetOptions(), coYield | coYieldOften);

  // idNone, and idBitmap outside ConvertBitmapToFile, are refused.
  EXPECT_EQ(ErrorOf([&] { c.ConvertToFile(); }), ecBadArgument);
  c.SetInputDocumentType(idBitmap);
  EXPECT_EQ(ErrorOf([&] { c.Convert(); }), ecBadArgument);

  // ConvertBitmapToFile restores the input type also when it fails.
  c.SetInputDocumentType(idTiff);
  TBitmapImage nothing;
  c.SetOutFileName(dir / "none.fxf");
  EXPECT_NE(ErrorOf([&] { c.ConvertBitmapToFile(nothing); }), 0);
  EXPECT_EQ(c.GetInputDocumentType(), idTiff);
  EXPECT_FALSE(fs::exists(dir / "none.fxf"));
  c.SetOutFileName("");  // and no document either: no name for the fax file
  EXPECT_EQ(ErrorOf([&] { c.ConvertBitmapToFile(nothing); }), ecBadArgument);
  EXPECT_EQ(c.GetInputDocumentType(), idTiff);

  // User input: two pages of three lines; the open and close events see the document
  // with the default extension.
  c.SetOptions(0);
  c.SetInputDocumentType(idUser);
  c.SetDefUserExtension("usr");
  c.SetDocumentFile(dir / "eigen");
  EXPECT_EQ(c.GetOutFileName(), dir / "eigen.FXF");
  std::string opened;
  int closed = 0, line = 0;
  c.SetOnOpenUserFile([&](TSioCustomFaxConverter*, const std::string& name) { opened = name; });
  c.SetOnCloseUserFile([&](TSioCustomFaxConverter*) { ++closed; });
  c.SetOnReadUserLine([&](TSioCustomFaxConverter*, std::uint8_t* data, int& len, bool& eop, bool& more) {
    ++line;
    eop = line == 4 || line == 8;
    more = line < 8;
    data[10] = static_cast<std::uint8_t>(line);
    len = 216;
  });
  c.ConvertToFile();
  EXPECT_EQ(opened, dir / "eigen.usr");
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(PageCount(dir / "eigen.FXF"), 2u);

  // Without a line handler nothing is converted: the fax file holds one empty page, as
  // the engine makes of a reader that ends its first page at once.
  c.SetOnReadUserLine({});
  c.ConvertToFile();
  EXPECT_EQ(PageCount(dir / "eigen.FXF"), 1u);
  EXPECT_TRUE(DecodeFax(dir / "eigen.FXF", 1728).empty());

  // Convert: the encoded lines and page ends go to OnOutputLine.
  line = 0;
  c.SetOnReadUserLine([&](TSioCustomFaxConverter*, std::uint8_t* data, int& len, bool& eop, bool& more) {
    ++line;
    eop = line == 4 || line == 8;
    more = line < 8;
    data[0] = 0x80;
    len = 216;
  });
  std::vector<int> lens;
  int pageEnds = 0;
  bool lastMore = true;
  c.SetOnOutputLine([&](TSioCustomFaxConverter*, const std::uint8_t* data, int len, bool eop, bool more) {
    if (eop) {
      ++pageEnds;
      lastMore = more;
      return;
    }
    lens.push_back(len);
    EXPECT_EQ(data[0], 0x00);
    EXPECT_EQ(data[1], 0x80);  // EOL with fill
  });
  c.Convert();
  EXPECT_EQ(lens.size(), 6u);
  EXPECT_EQ(pageEnds, 2);
  EXPECT_FALSE(lastMore);

  // Reading raster lines one by one from a PCX picture, and the encoder.
  const Picture pic = RandomPicture(300, 5, 5);
  ASSERT_TRUE(Shell("ppmtopcx " + WritePbm(dir, "p.pbm", pic) + " > " + (dir / "p.pcx")));
  c.SetInputDocumentType(idPcx);
  c.SetOptions(0);
  c.SetDocumentFile(dir / "p.pcx");
  std::uint8_t raster[RasterBufferSize];
  int rows = 0;
  for (;;) {
    std::memset(raster, 0, sizeof raster);
    int len = 0;
    bool eop = false, more = false;
    c.GetRasterLine(raster, len, eop, more);
    if (eop) break;
    EXPECT_EQ(ToRow(std::vector<std::uint8_t>(raster, raster + 38), 300),
              pic[static_cast<std::size_t>(rows)]);
    ++rows;
  }
  c.CloseFile();
  EXPECT_EQ(rows, 5);
  std::uint8_t white[216] = {}, code[LineBufferSize];
  int len = 0;
  c.CompressRasterLine(white, code, len);
  EXPECT_EQ(std::vector<std::uint8_t>(code, code + len),
            (std::vector<std::uint8_t>{0x00, 0x80, 0xB2, 0x59, 0x01, 0x00}));
  c.MakeEndOfPage(code, len);
  EXPECT_EQ(len, 12);
}

// ---------------------------------------------------------------------------------------
// Unpacker

namespace {

struct TwoPages {
  support::TempDir dir;
  Picture page1, page2;
  std::string fax;
  TwoPages() {
    page1 = RandomPicture(1728, 40, 41);
    page2 = RandomPicture(1728, 25, 42);
    page1[0][1727] = page2[0][1727] = true;
    fax = dir / "zwei.fxf";
    EXPECT_EQ(0, WriteFaxFile(fax, {page1, page2}, false, true));
  }
};

// The unpacker's bitmap (1 = white) as pixel rows, true = black.
Picture FromBitmap(const TBitmapImage& b) {
  Picture p;
  for (int y = 0; y < b.Height; ++y) {
    Row r(static_cast<std::size_t>(b.Width));
    for (int x = 0; x < b.Width; ++x)
      r[static_cast<std::size_t>(x)] = !((b.Row(y)[x >> 3] >> (7 - (x & 7))) & 1);
    p.push_back(r);
  }
  return p;
}

// The PCX pictures of a DCX file, each read by pcxtoppm.
std::vector<Picture> DcxPages(const std::string& dcx, const support::TempDir& dir) {
  const std::vector<std::uint8_t> bytes = support::ReadBytes(dcx);
  auto at32 = [&](std::size_t i) {
    return static_cast<std::uint32_t>(bytes[i] | (bytes[i + 1] << 8) | (bytes[i + 2] << 16) |
                                      (bytes[i + 3] << 24));
  };
  std::vector<std::uint32_t> offsets;
  for (std::size_t i = 4; i < 4100 && at32(i) != 0; i += 4) offsets.push_back(at32(i));
  std::vector<Picture> pages;
  for (std::size_t k = 0; k < offsets.size(); ++k) {
    const std::size_t end = k + 1 < offsets.size() ? offsets[k + 1] : bytes.size();
    const std::string name = dir / ("dcx" + std::to_string(k) + ".pcx");
    support::WriteFile(
        name, std::string(bytes.begin() + offsets[k], bytes.begin() + static_cast<std::ptrdiff_t>(end)));
    pages.push_back(ReadPnm("pcxtoppm " + name));
  }
  return pages;
}

}  // namespace

TEST(FaxUnpackerComponent, WritesPicturesThatNetpbmAndLibtiffReadBack) {
  TwoPages fx;
  TSioFaxUnpacker u;
  u.SetAutoScaleMode(asNone);
  u.SetInFileName(fx.fax);
  EXPECT_EQ(u.GetOutFileName(), fx.dir / "zwei");
  EXPECT_EQ(u.NumPages(), 2u);
  EXPECT_EQ(u.FaxResolution(), frHigh);
  EXPECT_EQ(u.FaxWidth(), fwNormal);

  const Picture p1 = FromBitmap(*u.UnpackPageToBitmap(1));
  const Picture p2 = FromBitmap(*u.UnpackPageToBitmap(2));
  EXPECT_EQ(p1, fx.page1);
  EXPECT_EQ(p2, fx.page2);
  Picture both = p1;
  both.insert(both.end(), p2.begin(), p2.end());
  EXPECT_EQ(FromBitmap(*u.UnpackFileToBitmap()), both);

  u.UnpackFileToTiff();  // "zwei" gets the default extension
  EXPECT_EQ(ReadPnm("tifftopnm " + (fx.dir / "zwei.TIF")), both);
  EXPECT_TRUE(Shell("tiffinfo " + (fx.dir / "zwei.TIF") + " | grep -q 'PackBits'"));
  u.SetOutFileName(fx.dir / "s2.tif");
  u.UnpackPageToTiff(2);
  EXPECT_EQ(ReadPnm("tifftopnm " + (fx.dir / "s2.tif")), p2);
  u.SetOutFileName(fx.dir / "all.pcx");
  u.UnpackFileToPcx();
  EXPECT_EQ(ReadPnm("pcxtoppm " + (fx.dir / "all.pcx")), both);
  u.SetOutFileName(fx.dir / "s1.pcx");
  u.UnpackPageToPcx(1);
  EXPECT_EQ(ReadPnm("pcxtoppm " + (fx.dir / "s1.pcx")), p1);
  u.SetOutFileName(fx.dir / "all.bmp");
  u.UnpackFileToBmp();
  EXPECT_EQ(ReadPnm("bmptopnm " + (fx.dir / "all.bmp")), both);
  u.SetOutFileName(fx.dir / "s2.bmp");
  u.UnpackPageToBmp(2);
  EXPECT_EQ(ReadPnm("bmptopnm " + (fx.dir / "s2.bmp")), p2);
  u.SetOutFileName(fx.dir / "all.dcx");
  u.UnpackFileToDcx();
  EXPECT_EQ(DcxPages(fx.dir / "all.dcx", fx.dir), (std::vector<Picture>{p1, p2}));
  u.SetOutFileName(fx.dir / "s2.dcx");
  u.UnpackPageToDcx(2);
  EXPECT_EQ(DcxPages(fx.dir / "s2.dcx", fx.dir), (std::vector<Picture>{p2}));

  // A page the file does not have raises.
  u.SetOutFileName(fx.dir / "s3.pcx");
  EXPECT_THROW(u.UnpackPageToPcx(3), EFaxBadFormat);
  EXPECT_FALSE(fs::exists(fx.dir / "s3.pcx"));
}

TEST(FaxUnpackerComponent, LinesScalingStatusAndAbort) {
  TwoPages fx;
  TSioFaxUnpacker u;
  u.SetInFileName(fx.fax);
  EXPECT_EQ(u.GetOptions(), UnpackerOption(uoYield));
  EXPECT_EQ(u.GetAutoScaleMode(), asDoubleHeight);

  // Lines with their start and end notices; fine pages are not doubled.
  int starts = 0, ends = 0, lines = 0;
  u.SetOnOutputLine(
      [&](TSioCustomFaxUnpacker*, bool starting, bool ending, const std::uint8_t*, int len, int) {
        starts += starting;
        ends += ending;
        if (!starting && !ending) {
          ++lines;
          EXPECT_EQ(len, 216);
        }
      });
  u.UnpackFile();
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(ends, 1);
  EXPECT_EQ(lines, 65);

  // Scaling with a divide of 0 scales by 1.
  u.SetScaling(true);
  u.SetHorizDiv(0);
  u.SetHorizMult(1);
  u.SetVertMult(1);
  u.SetVertDiv(2);
  EXPECT_EQ(u.GetHorizDiv(), 1u);
  const std::unique_ptr<TBitmapImage> half = u.UnpackPageToBitmap(1);
  EXPECT_EQ(half->Width, 1728);
  EXPECT_EQ(half->Height, 20);
  u.SetScaling(false);

  // Status reports, and an abort asked for from inside them.
  int reports = 0;
  u.SetOnStatus([&](TSioCustomFaxUnpacker* s, const std::string& name, int page, std::int32_t done,
                    std::int32_t total) {
    ++reports;
    EXPECT_EQ(name, fx.fax);
    EXPECT_LE(done, total);
    if (page == 1) s->SetOptions(UnpackerOption(uoYield) | UnpackerOption(uoAbort));
  });
  EXPECT_THROW(u.UnpackFile(), EUnpackAbort);
  EXPECT_GE(reports, 1);

  // An exception of a handler comes out unchanged.
  u.SetOptions(UnpackerOption(uoYield));
  u.SetOnStatus({});
  u.SetOnOutputLine([](TSioCustomFaxUnpacker*, bool, bool, const std::uint8_t*, int, int) {
    throw std::runtime_error("voll");
  });
  EXPECT_THROW(u.UnpackPage(2), std::runtime_error);

  // Invalid blank-line thresholds raise; a missing file has no pages.
  u.SetWhitespaceCompression(true);
  u.SetWhitespaceFrom(2);
  u.SetWhitespaceTo(5);
  EXPECT_THROW(u.UnpackFile(), EBadArgument);
  u.SetInFileName(fx.dir / "fehlt.fxf");
  EXPECT_EQ(u.NumPages(), 0u);
  EXPECT_THROW(u.FaxWidth(), EInOutError);
}

TEST(FaxUnpackerComponent, ExtractPageComparesFilesNotNames) {
  support::TempDir dir;
  const Picture a = RandomPicture(1728, 10, 1), b = RandomPicture(1728, 12, 2),
                c = RandomPicture(1728, 14, 3);
  const std::string fax = dir / "drei.fxf";
  ASSERT_EQ(0, WriteFaxFile(fax, {a, b, c}, false, true));
  const std::vector<std::uint8_t> original = support::ReadBytes(fax);

  TSioFaxUnpacker u;
  u.SetInFileName(fax);
  u.SetOutFileName(dir / "seite2");
  u.ExtractPage(2);
  ASSERT_EQ(PageCount(dir / "seite2.FXF"), 1u);
  EXPECT_EQ(DecodeFax(dir / "seite2.FXF", 1728), b);
  TFaxHeaderRec h1, h2;
  ASSERT_EQ(0, fxfReadFaxHeader(fax, h1));
  ASSERT_EQ(0, fxfReadFaxHeader(dir / "seite2.FXF", h2));
  EXPECT_EQ(h1.StationID, h2.StationID);
  EXPECT_EQ(h1.FileDateTime, h2.FileDateTime);

  // Other spellings of the input file, and a hard link to it, are the input file.
  fs::create_directory(dir / "sub");
  ASSERT_EQ(0, ::link(fax.c_str(), (dir / "link.fxf").c_str()));
  for (const std::string& same : {fax, dir / "sub/../drei.fxf", dir.str() + "//drei.fxf", dir / "link.fxf"}) {
    SCOPED_TRACE(same);
    u.SetOutFileName(same);
    EXPECT_EQ(ErrorOf([&] { u.ExtractPage(1); }), ecFileAccessDenied);
    EXPECT_EQ(support::ReadBytes(fax), original);
  }
  // A name that differs only in case is another file here.
  u.SetOutFileName(dir / "DREI.FXF");
  u.ExtractPage(3);
  EXPECT_EQ(DecodeFax(dir / "DREI.FXF", 1728), c);
  EXPECT_EQ(support::ReadBytes(fax), original);
  // Without an output name the input's name gets ".FXF": here another file.
  u.SetOutFileName("");
  u.ExtractPage(1);
  EXPECT_EQ(DecodeFax(dir / "drei.FXF", 1728), a);

  // Pages the file does not have, a missing input, and an existing output left alone.
  u.SetOutFileName(dir / "x.fxf");
  support::WriteFile(dir / "x.fxf", "bleibt");
  EXPECT_EQ(ErrorOf([&] { u.ExtractPage(4); }), ecInvalidPageNumber);
  EXPECT_EQ(ErrorOf([&] { u.ExtractPage(0); }), ecInvalidPageNumber);
  EXPECT_EQ(support::ReadFile(dir / "x.fxf"), "bleibt");
  u.SetInFileName(dir / "fehlt.fxf");
  u.SetOutFileName(dir / "x.fxf");
  EXPECT_EQ(ErrorOf([&] { u.ExtractPage(1); }), ecFileNotFound);
  u.SetInFileName(dir / "x.fxf");
  u.SetOutFileName(dir / "y.fxf");
  EXPECT_EQ(ErrorOf([&] { u.ExtractPage(1); }), ecFaxBadFormat);
  EXPECT_FALSE(fs::exists(dir / "y.fxf"));
}
