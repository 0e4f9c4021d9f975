// Fax unpacker: fax files made by our converter and G3 data made by netpbm decode back to
// exactly the raster encoded; blank-line compression, resolution options, bitmaps,
// scaling and malformed input.
#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <cstring>

#include "platform/Messages.h"
#include "serial/Sioexcept.h"
#include "tests/fax/FaxTestUtil.h"
#include "tests/support/CpuTime.h"
#include "tests/support/Sanitizer.h"

using namespace faxtest;

namespace {

Row RunsRow(std::initializer_list<int> lengths, int width) {
  Row r;
  bool black = false;
  for (int n : lengths) {
    r.insert(r.end(), static_cast<std::size_t>(n), black);
    black = !black;
  }
  r.resize(static_cast<std::size_t>(width), false);
  return r;
}

void ExpectSame(const Picture& got, const Picture& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t y = 0; y < want.size(); ++y) ASSERT_EQ(got[y], want[y]) << "line " << y;
}

}  // namespace

TEST(Unpacker, ConverterFilesDecodeToTheRasterEncoded) {
  TempDir dir;
  for (int width : {1728, 2048}) {
    SCOPED_TRACE(width);
    Picture page1 = RandomPicture(width, 120, static_cast<unsigned>(width));
    Picture page2;
    page2.push_back(Row(static_cast<std::size_t>(width), false));
    page2.push_back(Row(static_cast<std::size_t>(width), true));
    // Runs across the make-up boundaries: 63/64/65, 127/128, 1727/1728 and beyond.
    page2.push_back(RunsRow({63, 64, 65, 127, 128, 129, 1, 2, 3}, width));
    page2.push_back(RunsRow({0, 63, 1, 64, 2560}, width));
    page2.push_back(RunsRow({1727, 1}, width));
    page2.push_back(RunsRow({0, 1727, 1}, width));
    page2.push_back(RunsRow({width - 1, 1}, width));
    page2.push_back(RunsRow({0, width - 1, 1}, width));
    page2.push_back(RunsRow({1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, width));
    for (bool fine : {false, true}) {
      const std::string name = dir / ("r" + std::to_string(width) + (fine ? "f" : "n") + ".fxf");
      ASSERT_EQ(0, WriteFaxFile(name, {page1, page2}, width == 2048, fine));
      Unpacker u;
      upOptionsOn(u.up, ufDoubleHeight);  // changes nothing on a fine page only
      ASSERT_EQ(0, upUnpackFile(u.up, name));
      EXPECT_EQ(u.got.Starts, 1);
      EXPECT_EQ(u.got.Ends, 1);
      EXPECT_EQ(u.up->BadCodes, 0);
      Picture want;
      for (const Picture* p : {&page1, &page2})
        for (const Row& r : *p) {
          want.push_back(r);
          if (!fine) want.push_back(r);
        }
      ExpectSame(u.Rows(width), want);
      for (const auto& l : u.got.Lines) ASSERT_EQ(static_cast<int>(l.size()), width / 8);

      // One page alone, and the page numbers handed to the output function.
      Unpacker one;
      ASSERT_EQ(0, upUnpackPage(one.up, name, 2));
      ExpectSame(one.Rows(width), page2);
      EXPECT_EQ(one.got.LinePages.front(), 2);
    }
  }
}

TEST(Unpacker, NetpbmG3DecodesToTheSourceRaster) {
  TempDir dir;
  struct Case {
    int width;
    bool wide;
  };
  for (Case c : {Case{1728, false}, Case{2048, true}}) {
    SCOPED_TRACE(c.width);
    Picture pic = RandomPicture(c.width, 80, 7u + static_cast<unsigned>(c.width), 60);
    pic.push_back(Row(static_cast<std::size_t>(c.width), true));
    pic.push_back(Row(static_cast<std::size_t>(c.width), false));
    const std::string pbm = WritePbm(dir, "in.pbm", pic);
    const std::string g3 = dir / "out.g3";
    ASSERT_TRUE(
        Shell("pbmtog3 -reversebits" + std::string(c.wide ? " -nofixedwidth " : " ") + pbm + " > " + g3));
    auto file = RawFaxFile(ReadBytes(g3), c.wide ? pfWideLine : 0);
    const std::string fxf = dir.Write("g3.fxf", file);
    Unpacker u;
    ASSERT_EQ(0, upUnpackPage(u.up, fxf, 1));
    ExpectSame(u.Rows(c.width), pic);
    EXPECT_EQ(u.up->BadCodes, 0);
  }

  // Lines that are neither 1728 nor 2048 pixels wide are discarded.
  Picture narrow = RandomPicture(1000, 10, 3);
  const std::string pbm = WritePbm(dir, "narrow.pbm", narrow);
  ASSERT_TRUE(Shell("pbmtog3 -reversebits -nofixedwidth " + pbm + " > " + (dir / "n.g3")));
  const std::string fxf = dir.Write("narrow.fxf", RawFaxFile(ReadBytes(dir / "n.g3"), 0));
  Unpacker u;
  ASSERT_EQ(0, upUnpackPage(u.up, fxf, 1));
  EXPECT_TRUE(u.got.Lines.empty());
}

TEST(Unpacker, BlankLineCompression) {
  TempDir dir;
  const Row text = RunsRow({100, 50}, 1728);
  const Row blank(1728, false);
  Picture page{text};
  page.insert(page.end(), 25, blank);
  page.push_back(text);
  page.insert(page.end(), 5, blank);
  page.push_back(text);
  page.insert(page.end(), 12, blank);  // at the page end
  const std::string name = dir / "ws.fxf";
  ASSERT_EQ(0, WriteFaxFile(name, {page}, false, true));

  auto count = [&](int from, int to) {
    Unpacker u;
    EXPECT_EQ(0, upSetWhitespaceCompression(u.up, from, to));
    EXPECT_EQ(0, upUnpackFile(u.up, name));
    std::vector<int> runs;  // lengths of the blank runs
    int n = 0;
    for (const Row& r : u.Rows(1728)) {
      if (r == blank) {
        ++n;
      } else {
        runs.push_back(n);
        n = 0;
      }
    }
    runs.push_back(n);
    return runs;
  };
  EXPECT_EQ(count(10, 2), (std::vector<int>{0, 2, 5, 2}));
  EXPECT_EQ(count(3, 3), (std::vector<int>{0, 3, 3, 0}));  // from = to: dropped at the end
  EXPECT_EQ(count(0, 0), (std::vector<int>{0, 25, 5, 12}));

  Unpacker u;
  EXPECT_EQ(ecBadArgument, upSetWhitespaceCompression(u.up, 2, 10));
  EXPECT_EQ(ecBadArgument, upSetWhitespaceCompression(u.up, 0, 1));
}

TEST(Unpacker, ResolutionOptions) {
  Unpacker u;
  upOptionsOn(u.up, ufHalfWidth);
  upOptionsOn(u.up, ufDoubleHeight);
  EXPECT_TRUE(upOptionsAreOn(u.up, ufDoubleHeight));
  EXPECT_FALSE(upOptionsAreOn(u.up, ufHalfWidth));
  upOptionsOn(u.up, ufDoubleHeight | ufHalfWidth);  // both at once: nothing changes
  EXPECT_TRUE(upOptionsAreOn(u.up, ufDoubleHeight));
  EXPECT_FALSE(upOptionsAreOn(u.up, ufHalfWidth));

  TempDir dir;
  Picture page(1100, RunsRow({10, 3, 2, 1, 1, 3}, 1728));
  const std::string normal = dir / "n.fxf", fine = dir / "f.fxf";
  ASSERT_EQ(0, WriteFaxFile(normal, {page}, false, false));
  ASSERT_EQ(0, WriteFaxFile(fine, {page}, false, true));
  ASSERT_EQ(0, upUnpackFile(u.up, normal));
  EXPECT_EQ(u.got.Lines.size(), 2200u);
  u.got = {};
  ASSERT_EQ(0, upUnpackFile(u.up, fine));
  EXPECT_EQ(u.got.Lines.size(), 1100u);

  // Half width: each pair of pixels becomes one, black when either is.
  u.got = {};
  upOptionsOn(u.up, ufHalfWidth);
  ASSERT_EQ(0, upUnpackFile(u.up, normal));
  ASSERT_EQ(u.got.Lines.size(), 1100u);
  ASSERT_EQ(u.got.Lines[0].size(), 108u);
  EXPECT_EQ(ToRow(u.got.Lines[0], 864), RunsRow({5, 5, 854}, 864));
}

TEST(Unpacker, BitmapsAndScaling) {
  TempDir dir;
  Picture page(1100, Row(1728, false));
  for (int y = 0; y < 1100; y += 2)
    page[static_cast<std::size_t>(y)][1726] = page[static_cast<std::size_t>(y)][1727] = true;
  page[0][0] = true;
  const std::string name = dir / "big.fxf";
  ASSERT_EQ(0, WriteFaxFile(name, {page, page}, false, true));

  Unpacker u;
  TMemoryBitmapDesc desc;
  ASSERT_EQ(0, upUnpackPageToBitmap(u.up, name, 1, false, desc));
  ASSERT_TRUE(desc.Bitmap);
  EXPECT_EQ(desc.Width, 1728);
  EXPECT_EQ(desc.Height, 1100);
  EXPECT_EQ(desc.Bitmap->Row(0)[0], 0x80);
  EXPECT_EQ(desc.Bitmap->Row(0)[215], 0x03);
  EXPECT_EQ(desc.Bitmap->Row(1)[215], 0x00);

  // Inverted (1 = white), all pages one below the other.
  ASSERT_EQ(0, upUnpackFileToBitmap(u.up, name, desc, true));
  EXPECT_EQ(desc.Height, 2200);
  EXPECT_EQ(desc.Bitmap->Row(1100)[0], 0x7F);
  EXPECT_EQ(desc.Bitmap->Row(1101)[0], 0xFF);

  ASSERT_EQ(0, upSetScaling(u.up, 1, 2, 1, 2));
  ASSERT_EQ(0, upUnpackPageToBitmap(u.up, name, 1, false, desc));
  EXPECT_EQ(desc.Width, 864);
  EXPECT_EQ(desc.Height, 550);
  EXPECT_EQ(desc.Bitmap->Row(0)[107], 0x01);

  // Scaled lines reach the output function as the bitmap's rows.
  ASSERT_EQ(0, upUnpackPage(u.up, name, 1));
  EXPECT_EQ(u.got.Lines.size(), 550u);
  EXPECT_EQ(u.got.Lines[0].size(), 108u);
  EXPECT_EQ(u.got.Starts, 1);
  EXPECT_EQ(u.got.Ends, 1);
  EXPECT_EQ(ecBadArgument, upSetScaling(u.up, 1, 0, 1, 1));

  // A picture with only a little black is as wide as its rightmost black byte, rounded
  // to whole 16-bit words.
  Picture small(3, Row(1728, false));
  small[1][20] = true;
  ASSERT_EQ(0, WriteFaxFile(dir / "s.fxf", {small}, false, true));
  TBitmapImage img;
  ASSERT_EQ(0, upSetScaling(u.up, 1, 1, 1, 1));
  ASSERT_EQ(0, upUnpackPageToBuffer(u.up, dir / "s.fxf", 1, img));
  EXPECT_EQ(img.Width, 32);
  EXPECT_EQ(img.Height, 3);
  EXPECT_EQ(img.BytesPerRow, 4);
}

TEST(Unpacker, MalformedInputGivesErrorCodes) {
  TempDir dir;
  Unpacker u;
  EXPECT_EQ(ecFileNotFound, upUnpackFile(u.up, ""));
  EXPECT_EQ(ecFileNotFound, upUnpackFile(u.up, dir / "missing.fxf"));
  EXPECT_EQ(ecFaxBadFormat, upUnpackFile(u.up, dir.Write("no.fxf", std::vector<std::uint8_t>(200, 'x'))));

  Picture page = RandomPicture(1728, 30, 9);
  const std::string name = dir / "ok.fxf";
  ASSERT_EQ(0, WriteFaxFile(name, {page}, false, true));
  EXPECT_EQ(ecFaxBadFormat, upUnpackPage(u.up, name, 2));
  EXPECT_EQ(ecFaxBadFormat, upUnpackPage(u.up, name, 0));
  TFaxHeaderRec h;
  EXPECT_EQ(0, upGetFaxHeader(u.up, name, h));
  EXPECT_EQ(h.PageCount, 1);

  // Every truncation of a fax file is refused.
  auto bytes = ReadBytes(name);
  for (std::size_t cut = 0; cut < bytes.size(); cut += 37) {
    std::vector<std::uint8_t> part(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
    Unpacker t;
    int rc = upUnpackFile(t.up, dir.Write("cut.fxf", part));
    EXPECT_EQ(rc, ecFaxBadFormat) << cut;
  }
  // A line record longer than 4096 bytes.
  auto bad = bytes;
  bad[64 + 16] = 0xFF;
  bad[64 + 17] = 0x7F;
  EXPECT_EQ(ecFaxBadFormat, upUnpackFile(u.up, dir.Write("bad.fxf", bad)));

  // 65535 empty pages: the pages are found in one walk through the file, not one walk
  // a page (two billion page headers). Counted in this thread's processor time, which a
  // loaded machine does not stretch as it stretches the wall clock.
  {
    TFaxHeaderRec eh;
    eh.Signature = DefFXFSig;
    eh.PageCount = 65535;
    eh.FirstPageOffset = 64;
    std::vector<std::uint8_t> many(64 + 16 * 65535, 0);
    eh.Store(many.data());
    const std::string file = dir.Write("many.fxf", many);
    const double cpu0 = support::ThreadCpuSeconds();
    Unpacker m;
    EXPECT_EQ(0, upUnpackFile(m.up, file));
    EXPECT_LT(support::ThreadCpuSeconds() - cpu0, 5.0);
    EXPECT_EQ(m.up->CurrPage, 65535);
  }

  // Garbage page data: bad codes are counted and skipped.
  std::vector<std::uint8_t> noise(5000);
  std::mt19937 rng(1);
  for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
  Unpacker n;
  EXPECT_EQ(0, upUnpackPage(n.up, dir.Write("noise.fxf", RawFaxFile(noise, 0)), 1));
  EXPECT_GT(n.up->BadCodes, 0);
  // Raw page data shorter than the page header says.
  auto shortRaw = RawFaxFile(noise, 0);
  shortRaw.resize(shortRaw.size() - 10);
  EXPECT_EQ(ecFaxBadFormat, upUnpackPage(n.up, dir.Write("short.fxf", shortRaw), 1));
}

// The decoder looks codes up 13 bits at a time where it can and walks bit by bit where it
// must (near the end of the data it has): the same stream cut into one-byte line records
// (all bit by bit) and read whole must decode alike, good lines and garbage between them.
TEST(Unpacker, TableAndBitwiseDecodingAgree) {
  TempDir dir;
  const std::string src = dir / "src.fxf";
  ASSERT_EQ(0, WriteFaxFile(src, {RandomPicture(1728, 60, 77)}, false, true));
  auto file = ReadBytes(src);
  std::vector<std::uint8_t> stream;
  std::mt19937 rng(5);
  for (std::size_t at = 80; at + 2 <= file.size();) {
    const std::size_t n = file[at] | (file[at + 1] << 8);
    stream.insert(stream.end(), file.begin() + static_cast<std::ptrdiff_t>(at + 2),
                  file.begin() + static_cast<std::ptrdiff_t>(at + 2 + n));
    at += 2 + n;
    if (rng() % 3 == 0)
      for (unsigned k = rng() % 9; k > 0; --k) stream.push_back(static_cast<std::uint8_t>(rng()));
  }
  std::vector<std::uint8_t> records;
  for (std::uint8_t b : stream) records.insert(records.end(), {1, 0, b});
  Unpacker whole, bytewise;
  ASSERT_EQ(0, upUnpackPage(whole.up, dir.Write("raw.fxf", RawFaxFile(stream, pfHighResolution)), 1));
  ASSERT_EQ(0, upUnpackPage(bytewise.up,
                            dir.Write("rec.fxf", RawFaxFile(records, pfHighResolution | pfLineLengths)), 1));
  EXPECT_GT(whole.got.Lines.size(), 30u);
  EXPECT_GT(whole.up->BadCodes, 0);
  EXPECT_EQ(whole.got.Lines, bytewise.got.Lines);
  EXPECT_EQ(whole.up->BadCodes, bytewise.up->BadCodes);
}

TEST(Unpacker, AbortQuitAndStatus) {
  TempDir dir;
  const std::string name = dir / "p.fxf";
  ASSERT_EQ(0, WriteFaxFile(name, {RandomPicture(1728, 200, 4)}, false, true));

  Unpacker u;
  static int calls;
  static std::int32_t lastDone, lastTotal;
  calls = 0;
  upSetStatusCallback(u.up, [](TUnpackFax*, const std::string&, int, std::int32_t done, std::int32_t total) {
    ++calls;
    lastDone = done;
    lastTotal = total;
  });
  ASSERT_EQ(0, upUnpackFile(u.up, name));
  EXPECT_GT(calls, 0);
  EXPECT_EQ(lastDone, lastTotal);

  upOptionsOn(u.up, ufAbort);
  EXPECT_EQ(ecUnpackAbort, upUnpackFile(u.up, name));
  upOptionsOff(u.up, ufAbort);

  upOptionsOn(u.up, ufYield);
  PostQuitMessage(3);
  EXPECT_EQ(ecGotQuitMsg, upUnpackFile(u.up, name));
  MSG msg;
  while (PeekMessage(&msg, true)) {
  }
}

TEST(Unpacker, DecodesAPageQuickly) {
  TempDir dir;
  const std::string name = dir / "speed.fxf";
  ASSERT_EQ(0, WriteFaxFile(name, {RandomPicture(1728, 2200, 11)}, false, true));
  Unpacker u;
  // The unpacker's own processor time: the other processes of a loaded machine do not count.
  const double cpu0 = support::ThreadCpuSeconds();
  for (int i = 0; i < 3; ++i) {
    u.got = {};
    ASSERT_EQ(0, upUnpackFile(u.up, name));
  }
  const double ms = (support::ThreadCpuSeconds() - cpu0) * 1000 / 3;
  EXPECT_EQ(u.got.Lines.size(), 2200u);
  RecordProperty("ms_per_page", std::to_string(ms));
  // A sanitizer's code runs several times slower.
  if (!support::SanitizerBuild()) EXPECT_LT(ms, 2000.0);
}
