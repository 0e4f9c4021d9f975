// Text converter and fax font: text files become the pages, lines and glyphs they should,
// checked by decoding the written fax file with netpbm's g3topbm.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fax/Swfaxfmt.h"
#include "fax/Swtxtcvt.h"
#include "platform/Resources.h"
#include "serial/Sioexcept.h"
#include "tests/fax/G3Decode.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using Row = PixelRow;
using Page = std::vector<Row>;

using support::TempDir;

// Every page of a fax file, decoded.
std::vector<Page> DecodeFaxFile(const std::string& file, int width) {
  TFaxFileReader r;
  EXPECT_EQ(0, r.Open(file));
  std::vector<Page> pages;
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

// What a text line must look like in the built-in font: Rows rows of the margin followed
// by the glyph rows, read straight from the font resource.
void AddTextLine(Page& page, const std::string& text, bool standard, bool fine, int width = 1728,
                 int margin = 50) {
  auto font = FindResource(FaxFontResource);
  ASSERT_TRUE(font);
  const TFontRecord f = standard ? StandardFont : SmallFont;
  const std::uint8_t* base = font->data() + (standard ? 4096 : 0);
  for (int row = 0; row < f.Height * (fine ? 2 : 1); ++row) {
    Row r(static_cast<std::size_t>(width), false);
    std::size_t x = static_cast<std::size_t>(margin);
    for (unsigned char c : text)
      for (int px = 0; px < f.PWidth; ++px, ++x) {
        const std::uint8_t* glyphRow = base + c * f.Bytes + (fine ? row / 2 : row) * f.Width;
        if (x < r.size()) r[x] = (glyphRow[px / 8] >> (7 - px % 8)) & 1;
      }
    page.push_back(std::move(r));
  }
}

struct TextConverter {
  TAbsFaxCvt* cvt = nullptr;
  explicit TextConverter(bool standard = true, bool fine = false) {
    EXPECT_EQ(0, fcInitTextConverter(cvt));
    acOptionsOff(cvt, coYield);
    EXPECT_EQ(0, fcLoadFont(cvt, "SWFAX.FNT", standard ? ffStandardFontHandle : ffSmallFontHandle, fine));
    acSetResolutionMode(cvt, fine ? 1 : 0);
  }
  ~TextConverter() { fcDoneTextConverter(cvt); }
};

void ExpectPages(const std::vector<Page>& got, const std::vector<Page>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t p = 0; p < want.size(); ++p) {
    ASSERT_EQ(got[p].size(), want[p].size()) << "page " << p + 1;
    for (std::size_t y = 0; y < want[p].size(); ++y)
      ASSERT_EQ(got[p][y], want[p][y]) << "page " << p + 1 << " row " << y;
  }
}

}  // namespace

TEST(FaxFont, LayoutAndWindows1252Positions) {
  auto font = FindResource(FaxFontResource);
  ASSERT_TRUE(font);
  ASSERT_EQ(font->size(), FaxFontResourceSize);
  auto inked = [&](bool standard, int c) {
    const TFontRecord f = standard ? StandardFont : SmallFont;
    const std::uint8_t* g = font->data() + (standard ? 4096 : 0) + c * f.Bytes;
    int n = 0;
    for (int i = 0; i < f.Bytes; ++i) n += __builtin_popcount(g[i]);
    // Pixels behind the glyph width stay clear.
    for (int row = 0; row < f.Height; ++row)
      for (int px = f.PWidth; px < f.Width * 8; ++px)
        EXPECT_EQ((g[row * f.Width + px / 8] >> (7 - px % 8)) & 1, 0);
    return n;
  };
  for (bool standard : {false, true}) {
    for (int c : {0x41, 0x67, 0x30, 0xC4, 0xD6, 0xDC, 0xE4, 0xF6, 0xFC, 0xDF, 0x80, 0x96})
      EXPECT_GT(inked(standard, c), 0) << c;
    for (int c : {0, 9, 12, 0x20, 0x81, 0x8D, 0x8F, 0x90, 0x9D}) EXPECT_EQ(inked(standard, c), 0) << c;
  }
  // Umlauts differ from their base letters.
  const std::uint8_t* std0 = font->data() + 4096;
  EXPECT_NE(0, std::memcmp(std0 + 'a' * 48, std0 + 0xE4 * 48, 48));
  EXPECT_NE(0, std::memcmp(std0 + 'A' * 48, std0 + 0xC4 * 48, 48));
}

TEST(TextConverter, DocumentBecomesPagesLinesAndGlyphs) {
  TempDir dir;
  const std::string umlauts =
      "Gr\xFC\xDF"
      "e aus K\xF6ln \x96 \xC4pfel & \xD6l, \xDC"
      "berma\xDF \x80"
      "5";
  std::string longLine;
  for (int i = 0; i < 300; ++i) longLine += static_cast<char>('a' + i % 26);
  const std::string text =
      umlauts + "\r\nA\tB\r\n\tx\r\n" + longLine + "\r\nSeite eins\fSeite zwei\r\nEnde\r\n";
  std::string in = dir.Write("brief.txt", text);

  TextConverter c;
  fcSetTabStop(c.cvt, 0);  // keeps 4
  ASSERT_EQ(0, acConvertToFile(c.cvt, in, ""));
  const std::string out = (dir.path() / "brief.FXF").string();
  ASSERT_TRUE(swIsAnFXFFile(out));

  std::vector<Page> want(2);
  AddTextLine(want[0], umlauts, true, false);
  AddTextLine(want[0], "A   B", true, false);
  AddTextLine(want[0], "    x", true, false);
  AddTextLine(want[0], longLine.substr(0, 84), true, false);  // (1728 div 20) - (50 div 20)
  AddTextLine(want[0], "Seite eins", true, false);
  AddTextLine(want[1], "Seite zwei", true, false);
  AddTextLine(want[1], "Ende", true, false);
  AddTextLine(want[1], "", true, false);  // the line end at the end of the file
  ExpectPages(DecodeFaxFile(out, 1728), want);
}

// A text written on Linux (LF), on Windows (CR LF), with CR alone, or with its line ends
// mixed, converts to the same page: one text line per line end.
TEST(TextConverter, LineEndsOfEitherSystemGiveTheSameLines) {
  TempDir dir;
  const std::vector<std::string> lines = {"Alarm im Becken 1", "", "pH zu hoch: 8,4",
                                          "Bitte pr\xFC"
                                          "fen"};
  Page want;
  for (const std::string& l : lines) AddTextLine(want, l, true, false);
  AddTextLine(want, "", true, false);  // the line end at the end of the file
  const std::vector<std::vector<std::string>> ends = {{"\r\n", "\r\n", "\r\n", "\r\n"},
                                                      {"\n", "\n", "\n", "\n"},
                                                      {"\r", "\r", "\r", "\r"},
                                                      {"\n", "\r\n", "\r", "\n"}};
  for (std::size_t e = 0; e < ends.size(); ++e) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) text += lines[i] + ends[e][i];
    const std::string name = "ends" + std::to_string(e);
    TextConverter c;
    ASSERT_EQ(0, acConvertToFile(c.cvt, dir.Write(name + ".txt", text), ""));
    SCOPED_TRACE(name);
    ExpectPages(DecodeFaxFile((dir.path() / (name + ".FXF")).string(), 1728), {want});
  }
}

TEST(TextConverter, PageLengthsFormFeedsAndEmptyFiles) {
  TempDir dir;
  {
    std::string lines;
    for (int i = 1; i <= 61; ++i) lines += "Zeile " + std::to_string(i) + (i < 61 ? "\r\n" : "");
    TextConverter c(false, true);  // small font, fine: 16 rows a text line
    fcSetLinesPerPage(c.cvt, 60);
    ASSERT_EQ(0, acConvertToFile(c.cvt, dir.Write("lang.txt", lines), ""));
    auto pages = DecodeFaxFile((dir.path() / "lang.FXF").string(), 1728);
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0].size(), 60u * 16);
    Page last;
    AddTextLine(last, "Zeile 61", false, true);
    ExpectPages({pages[1]}, {last});
  }
  {
    // An empty file: one page with one blank line.
    TextConverter c;
    ASSERT_EQ(0, acConvertToFile(c.cvt, dir.Write("leer.txt", ""), ""));
    TFaxFileReader r;
    ASSERT_EQ(0, r.Open((dir.path() / "leer.FXF").string()));
    EXPECT_EQ(r.Header().PageCount, 1);
    ASSERT_EQ(0, r.SeekPage(1));
    EXPECT_EQ(r.PageHeader().ImageLength, 8u + 14u);
  }
  {
    // Form feeds alone or at a line's end only break the page; one at the file's end adds
    // no page; text behind a form feed opens the next page.
    TextConverter c;
    ASSERT_EQ(0, acConvertToFile(c.cvt, dir.Write("ff.txt", "eins\f\r\n\f\r\nzwei\fdrei\f"), ""));
    std::vector<Page> want(4);
    AddTextLine(want[0], "eins", true, false);
    AddTextLine(want[1], "", true, false);
    AddTextLine(want[2], "zwei", true, false);
    AddTextLine(want[3], "drei", true, false);
    ExpectPages(DecodeFaxFile((dir.path() / "ff.FXF").string(), 1728), want);
  }
  {
    // A form feed at a line's start breaks the page without an empty line; a document that
    // starts with one has no empty first page.
    TextConverter c;
    ASSERT_EQ(0, acConvertToFile(c.cvt, dir.Write("ff2.txt", "\feins\r\n\fzwei\r\n"), ""));
    std::vector<Page> want(2);
    AddTextLine(want[0], "eins", true, false);
    AddTextLine(want[1], "zwei", true, false);
    AddTextLine(want[1], "", true, false);
    ExpectPages(DecodeFaxFile((dir.path() / "ff2.FXF").string(), 1728), want);
  }
  {
    // The small font at normal resolution keeps 140 characters of a line.
    TextConverter c(false, false);
    acOptionsOff(c.cvt, coYield);
    ASSERT_EQ(0, acConvertToFile(c.cvt, dir.Write("breit.txt", std::string(200, 'W')), ""));
    std::vector<Page> want(1);
    AddTextLine(want[0], std::string(140, 'W'), false, false);
    ExpectPages(DecodeFaxFile((dir.path() / "breit.FXF").string(), 1728), want);
  }
  {
    TextConverter c;
    EXPECT_EQ(ecFileNotFound, acConvertToFile(c.cvt, (dir.path() / "fehlt.txt").string(), ""));
    EXPECT_FALSE(fs::exists(dir.path() / "fehlt.FXF"));
  }
}

TEST(TextConverter, RasterizeRowsForTheFaxSender) {
  TextConverter c(true, true);
  EXPECT_EQ(fcFontRows(c.cvt), 32);
  std::vector<std::uint8_t> buf(RasterBufferSize, 0);
  fcRasterizeText(c.cvt, "HALLO", 33, buf.data());
  fcRasterizeText(c.cvt, "HALLO", 0, buf.data());
  EXPECT_EQ(std::count(buf.begin(), buf.end(), 0), RasterBufferSize);
  // A 300-character text draws at most 255 characters and stays in the buffer.
  int lastByte = 0;
  for (int row = 1; row <= 32; ++row) {
    std::fill(buf.begin(), buf.end(), 0);
    fcRasterizeText(c.cvt, std::string(300, '\xDB'), row, buf.data());
    for (int i = 0; i < RasterBufferSize; ++i)
      if (buf[static_cast<std::size_t>(i)]) lastByte = std::max(lastByte, i);
  }
  EXPECT_LT(lastByte, (255 * 20 + 7) / 8);
  EXPECT_GT(lastByte, (254 * 20) / 8);
}

namespace {

// Converts Text with a named font; returns the decoded pages.
std::vector<Page> ConvertNamed(const TempDir& dir, const std::string& name, const TFaxTextFont& font,
                               bool fine, int* rows = nullptr) {
  TAbsFaxCvt* cvt = nullptr;
  EXPECT_EQ(0, fcInitTextExConverter(cvt));
  acOptionsOff(cvt, coYield);
  EXPECT_EQ(0, fcSetFont(cvt, font, fine));
  if (rows) *rows = fcFontRows(cvt);
  std::string in = dir.Write(name + ".txt",
                             "Alarm: pH 6,2 \xFC"
                             "ber Grenze\r\nAquarium K\xF6"
                             "ln");
  EXPECT_EQ(0, acConvertToFile(cvt, in, ""));
  fcDoneTextExConverter(cvt);
  return DecodeFaxFile((dir.path() / (name + ".FXF")).string(), 1728);
}

int Ink(const Page& p) {
  int n = 0;
  for (const Row& r : p) n += static_cast<int>(std::count(r.begin(), r.end(), true));
  return n;
}

}  // namespace

TEST(TextConverter, NamedFontsThroughFontconfig) {
  TempDir dir;
  TFaxTextFont times{"Times New Roman", -19, false, false};
  int rows = 0, fineRows = 0;
  auto normal = ConvertNamed(dir, "normal", times, false, &rows);
  auto fine = ConvertNamed(dir, "fine", times, true, &fineRows);
  ASSERT_EQ(normal.size(), 1u);
  ASSERT_EQ(fine.size(), 1u);
  EXPECT_GE(rows, 19);
  EXPECT_LE(rows, 26);
  EXPECT_NEAR(fineRows, 2 * rows, 2);
  EXPECT_EQ(normal[0].size(), 2u * static_cast<std::size_t>(rows));
  EXPECT_EQ(fine[0].size(), 2u * static_cast<std::size_t>(fineRows));
  EXPECT_GT(Ink(normal[0]), 500);
  // Text starts behind the left margin.
  for (const Row& r : normal[0])
    for (int x = 0; x < 50; ++x) EXPECT_FALSE(r[static_cast<std::size_t>(x)]);

  TAbsFaxCvt* cvt = nullptr;
  ASSERT_EQ(0, fcInitTextExConverter(cvt));
  EXPECT_EQ(ecEnhFontTooBig, fcSetFont(cvt, TFaxTextFont{"Liberation Sans", -400, false, false}, false));
  EXPECT_EQ(ecEnhFontTooBig, fcSetFont(cvt, TFaxTextFont{"Liberation Sans", -200, false, false}, true));
  EXPECT_EQ(0, fcSetFont(cvt, TFaxTextFont{"Liberation Sans", 30, true, false}, false));
  EXPECT_EQ(fcFontRows(cvt), 30);
  fcDoneTextExConverter(cvt);
}

TEST(TextConverter, ConversionsOnSeveralThreadsAgree) {
  TempDir dir;
  TFaxTextFont font{"DejaVu Sans", -13, false, false};
  auto reference = ConvertNamed(dir, "ref", font, false);
  std::vector<std::vector<Page>> results(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      TAbsFaxCvt* cvt = nullptr;
      fcInitTextExConverter(cvt);
      acOptionsOff(cvt, coYield);
      fcSetFont(cvt, font, false);
      std::string in = (dir.path() / ("ref.txt")).string();
      std::string out = (dir.path() / ("t" + std::to_string(t) + ".fxf")).string();
      acConvertToFile(cvt, in, out);
      fcDoneTextExConverter(cvt);
    });
  for (auto& t : threads) t.join();
  for (int t = 0; t < 4; ++t)
    ExpectPages(DecodeFaxFile((dir.path() / ("t" + std::to_string(t) + ".fxf")).string(), 1728), reference);
}
