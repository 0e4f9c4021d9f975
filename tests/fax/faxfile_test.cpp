// Fax files as the converter writes them: header and page-header bytes at their offsets,
// line records, page counting, naming of the output, and the reader's answer to damaged
// or foreign files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fax/Swfaxcvt.h"
#include "fax/Swfaxfmt.h"
#include "platform/Messages.h"
#include "serial/Sioexcept.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// A reader that delivers pages of raster lines from memory: Pages[p] lines of which every
// line has its first pixel black.
struct MemoryDocument {
  std::vector<int> pages;
  std::size_t page = 0;
  int line = 0;
};

int MemoryGetLine(TAbsFaxCvt* cvt, std::uint8_t* data, int& len, bool& endOfPage, bool& morePages) {
  auto* doc = static_cast<MemoryDocument*>(cvt->UserData);
  morePages = doc->page + 1 < doc->pages.size();
  if (doc->page >= doc->pages.size() || doc->line >= doc->pages[doc->page]) {
    endOfPage = true;
    ++doc->page;
    doc->line = 0;
    len = 0;
    return 0;
  }
  endOfPage = false;
  data[0] = 0x80;
  len = cvt->ResWidth / 8;
  ++doc->line;
  return 0;
}

using support::TempDir;

std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t(b[at + 3]) << 24);
}
std::uint16_t Le16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

struct Converter {
  TAbsFaxCvt* cvt = nullptr;
  MemoryDocument doc;
  explicit Converter(std::vector<int> pages) {
    doc.pages = std::move(pages);
    acInitFaxConverter(cvt, &doc, MemoryGetLine, nullptr, nullptr, "RAW");
    acOptionsOff(cvt, coYield);
  }
  ~Converter() { acDoneFaxConverter(cvt); }
};

}  // namespace

TEST(FaxFile, HeaderAndPagesAtTheirOffsets) {
  TempDir dir;
  Converter c({3, 1});
  acSetMargins(c.cvt, 0, 2);
  acSetStationID(c.cvt, "Korvidan Test Station 12345");
  acSetResolutionMode(c.cvt, 1);
  fs::path out = dir.path() / "two";
  ASSERT_EQ(0, acConvertToFile(c.cvt, (dir.path() / "doc").string(), out.string()));
  auto b = support::ReadBytes(dir.path() / "two.FXF");
  ASSERT_GE(b.size(), 64u);
  EXPECT_EQ(0, std::memcmp(b.data(), "FXF10\x1A", 6));
  std::uint32_t dt = Le32(b, 6);
  EXPECT_NE(dt, 0u);
  EXPECT_GE((dt >> 25) + 1980, 2020u);
  EXPECT_EQ(b[10], 20);  // station text cut to 20 characters
  EXPECT_EQ(std::string(b.begin() + 11, b.begin() + 31), "Korvidan Test Statio");
  EXPECT_EQ(b[31], 0);
  EXPECT_EQ(Le16(b, 32), 2);
  EXPECT_EQ(Le32(b, 34), 64u);
  for (std::size_t i = 38; i < 64; ++i) EXPECT_EQ(b[i], 0) << i;

  // Page 1: flags 4 + 1 (fine), two top-margin records, three lines, the end-of-page record.
  std::size_t at = 64;
  const std::uint8_t white[8] = {6, 0, 0x00, 0x80, 0xB2, 0x59, 0x01, 0x00};
  const std::uint8_t eop[14] = {12,   0,    0x00, 0x80, 0x00, 0x08, 0x80,
                                0x00, 0x08, 0x80, 0x00, 0x08, 0x80, 0x00};
  for (int page = 0; page < 2; ++page) {
    std::uint32_t imageLength = Le32(b, at);
    EXPECT_EQ(Le16(b, at + 4), pfLineLengths | pfHighResolution);
    for (std::size_t i = 6; i < 16; ++i) EXPECT_EQ(b[at + i], 0);
    std::size_t p = at + 16, end = p + imageLength;
    ASSERT_LE(end, b.size());
    EXPECT_EQ(0, std::memcmp(&b[p], white, 8));
    EXPECT_EQ(0, std::memcmp(&b[p + 8], white, 8));
    int records = 0;
    std::size_t last = p;
    while (p < end) {
      last = p;
      p += 2 + Le16(b, p);
      ++records;
    }
    EXPECT_EQ(p, end);  // ImageLength counts the records whole
    EXPECT_EQ(records, 2 + (page == 0 ? 3 : 1) + 1);
    EXPECT_EQ(0, std::memcmp(&b[last], eop, 14));
    at = end;
  }
  EXPECT_EQ(at, b.size());

  TFaxFileReader r;
  ASSERT_EQ(0, r.Open((dir.path() / "two.FXF").string()));
  EXPECT_EQ(r.Header().GetStationID(), "Korvidan Test Statio");
  ASSERT_EQ(0, r.SeekPage(2));
  std::uint8_t line[MaxLineRecordLen];
  int len = 0, n = 0;
  while (r.ReadLineRecord(line, len) == 0) ++n;
  EXPECT_EQ(n, 4);
  EXPECT_EQ(r.SeekPage(3), ecDiskRead);
  EXPECT_EQ(r.SeekPage(0), ecDiskRead);
  TPageHeaderRec ph;
  EXPECT_EQ(0, fxfReadPageHeader((dir.path() / "two.FXF").string(), 1, ph));
  EXPECT_EQ(ph.PageFlags, pfLineLengths | pfHighResolution);
  EXPECT_EQ(ecFaxBadFormat, fxfReadPageHeader((dir.path() / "two.FXF").string(), 3, ph));
  EXPECT_EQ(ecFileNotFound, fxfReadPageHeader("", 1, ph));
}

TEST(FaxFile, WidePagesEmptyPagesAndShortStation) {
  TempDir dir;
  // The middle page ends before any line: it still gets its own header and is counted once.
  Converter c({2, 0, 1});
  acSetResolutionWidth(c.cvt, 2);
  acSetStationID(c.cvt, "AB");
  ASSERT_EQ(0, acConvertToFile(c.cvt, (dir.path() / "doc").string(), (dir.path() / "w.fxf").string()));
  auto b = support::ReadBytes(dir.path() / "w.fxf");
  EXPECT_EQ(b[10], 2);
  EXPECT_EQ(std::string(b.begin() + 11, b.begin() + 31), "AB" + std::string(18, ' '));
  ASSERT_EQ(Le16(b, 32), 3);
  std::size_t at = 64;
  std::vector<std::uint32_t> lengths;
  for (int page = 0; page < 3; ++page) {
    ASSERT_LE(at + 16, b.size());
    EXPECT_EQ(Le16(b, at + 4), pfLineLengths | pfWideLine);
    lengths.push_back(Le32(b, at));
    at += 16 + Le32(b, at);
  }
  EXPECT_EQ(at, b.size());
  EXPECT_EQ(lengths[1], 14u);  // the end-of-page record alone
}

TEST(FaxFile, HalfHeightAndWideTopMargin) {
  TempDir dir;
  Converter c({5});
  acSetResolutionWidth(c.cvt, 2);
  acSetMargins(c.cvt, 50, 1);
  c.cvt->HalfHeight = true;  // as a picture reader sets it: every second line is left out
  ASSERT_EQ(0, acConvertToFile(c.cvt, "doc", (dir.path() / "h.fxf").string()));
  TFaxFileReader r;
  ASSERT_EQ(0, r.Open((dir.path() / "h.fxf").string()));
  ASSERT_EQ(0, r.SeekPage(1));
  EXPECT_EQ(r.PageHeader().PageFlags, pfLineLengths | pfWideLine);
  std::uint8_t line[MaxLineRecordLen];
  int len = 0;
  ASSERT_EQ(0, r.ReadLineRecord(line, len));
  const std::uint8_t white1728[6] = {0x00, 0x80, 0xB2, 0x59, 0x01, 0x00};
  ASSERT_EQ(len, 6);
  EXPECT_EQ(0, std::memcmp(line, white1728, 6));
  int lines = 0;
  while (r.ReadLineRecord(line, len) == 0) ++lines;
  EXPECT_EQ(lines, 3 + 1);  // lines 1, 3 and 5, then the end of the page
}

TEST(FaxFile, OutputNameBesideTheInput) {
  TempDir dir;
  auto cwd = fs::current_path();
  fs::current_path(dir.path());
  {
    Converter c({1});
    ASSERT_EQ(0, acConvertToFile(c.cvt, "letter.txt", ""));
    EXPECT_EQ(c.cvt->OutFileName, "letter.FXF");
    EXPECT_TRUE(swIsAnFXFFile((dir.path() / "letter.FXF").string()));
  }
  {
    fs::create_directory(dir.path() / "sub.d");
    Converter c({1});
    ASSERT_EQ(0, acConvertToFile(c.cvt, (dir.path() / "sub.d" / "memo").string(), ""));
    EXPECT_TRUE(swIsAnFXFFile((dir.path() / "sub.d" / "memo.FXF").string()));
  }
  fs::current_path(cwd);
}

namespace {
bool AbortAtSecondLine(TAbsFaxCvt* cvt, std::uint16_t flags, std::int32_t, std::int32_t) {
  return flags == 0 && cvt->CurrLine >= 2;
}
bool RefuseStart(TAbsFaxCvt*, std::uint16_t flags, std::int32_t, std::int32_t) { return flags == csStarting; }
int openCalls = 0, closeCalls = 0;
int CountOpen(TAbsFaxCvt*, const std::string&) { return ++openCalls, 0; }
void CountClose(TAbsFaxCvt*) { ++closeCalls; }
}  // namespace

TEST(FaxFile, FailuresRemoveTheOutputAndCloseTheInput) {
  TempDir dir;
  fs::path out = dir.path() / "x.fxf";
  {
    Converter c({5});
    c.cvt->OpenCall = CountOpen;
    c.cvt->CloseCall = CountClose;
    acSetStatusCallback(c.cvt, AbortAtSecondLine);
    EXPECT_EQ(ecConvertAbort, acConvertToFile(c.cvt, "doc", out.string()));
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(openCalls, 1);
    EXPECT_EQ(closeCalls, 1);
    // A status window of 0 keeps the function, and the record stays usable.
    acSetStatusWnd(c.cvt, 0);
    EXPECT_EQ(c.cvt->StatusFunc, &AbortAtSecondLine);
    c.cvt->StatusFunc = nullptr;
    c.doc.page = 0;
    c.doc.line = 0;
    EXPECT_EQ(0, acConvertToFile(c.cvt, "doc", out.string()));
    EXPECT_TRUE(swIsAnFXFFile(out.string()));
  }
  {
    Converter c({1});
    acSetStatusCallback(c.cvt, RefuseStart);
    EXPECT_EQ(ecConvertAbort, acConvertToFile(c.cvt, "doc", (dir.path() / "y").string()));
    EXPECT_FALSE(fs::exists(dir.path() / "y.FXF"));
  }
  {
    Converter c({1});
    EXPECT_EQ(ecFileNotFound, acConvertToFile(c.cvt, "doc", (dir.path() / "none" / "z.fxf").string()));
  }
  {
    // The fax file never replaces the document it is made from.
    std::ofstream(dir.path() / "same.FXF") << "text";
    Converter c({1});
    EXPECT_EQ(ecFileAccessDenied, acConvertToFile(c.cvt, (dir.path() / "same.FXF").string(), ""));
    EXPECT_EQ(fs::file_size(dir.path() / "same.FXF"), 4u);
  }
}

TEST(FaxFile, QuitMessageEndsAYieldingConversion) {
  TempDir dir;
  Converter c({40});
  acOptionsOn(c.cvt, coYield | coYieldOften);
  PostQuitMessage(3);
  EXPECT_EQ(ecGotQuitMsg, acConvertToFile(c.cvt, "doc", (dir.path() / "q.fxf").string()));
  EXPECT_FALSE(fs::exists(dir.path() / "q.fxf"));
  MSG msg;
  ASSERT_TRUE(PeekMessage(&msg, true));  // the quit stays for the message loop
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 3u);
}

TEST(FaxFile, DamagedAndForeignFilesAreRefused) {
  TempDir dir;
  Converter c({2, 1});
  fs::path good = dir.path() / "good.fxf";
  ASSERT_EQ(0, acConvertToFile(c.cvt, "doc", good.string()));
  const auto bytes = support::ReadBytes(good);

  auto write = [&](const std::string& name, const std::vector<std::uint8_t>& b) {
    fs::path p = dir.path() / name;
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    return p.string();
  };
  // Walks every page and record; returns the first error.
  auto walk = [](const std::vector<std::uint8_t>& b) {
    TFaxFileReader r;
    int rc = r.OpenMemory(b);
    if (rc < 0) return rc;
    std::uint8_t line[MaxLineRecordLen];
    for (unsigned p = 1; p <= r.Header().PageCount; ++p) {
      if ((rc = r.SeekPage(p)) < 0) return rc;
      int len;
      while ((rc = r.ReadLineRecord(line, len)) == 0) {
      }
      if (rc < 0) return rc;
    }
    return 0;
  };
  EXPECT_EQ(0, walk(bytes));

  EXPECT_FALSE(swIsAnFXFFile(write("five", {'F', 'X', 'F', '1', '0'})));
  EXPECT_FALSE(swIsAnFXFFile(write("sixth", {'F', 'X', 'F', '1', '0', 0x1B, 0, 0})));
  EXPECT_FALSE(swIsAnFXFFile((dir.path() / "missing").string()));
  TFaxHeaderRec h;
  EXPECT_EQ(ecFaxBadFormat, fxfReadFaxHeader(write("short", {'F', 'X', 'F', '1', '0', 0x1A}), h));
  EXPECT_EQ(ecFileNotFound, fxfReadFaxHeader((dir.path() / "missing").string(), h));
  EXPECT_EQ(ecFileNotFound, fxfReadFaxHeader("", h));

  // Every truncation of a good file is refused cleanly.
  for (std::size_t n = 0; n < bytes.size(); n += 7) {
    std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(n));
    EXPECT_EQ(ecFaxBadFormat, walk(cut)) << n;
  }
  auto patched = [&](std::size_t at, std::vector<std::uint8_t> with) {
    auto b = bytes;
    for (std::size_t i = 0; i < with.size(); ++i) b.at(at + i) = with[i];
    return b;
  };
  EXPECT_EQ(ecFaxBadFormat, walk(patched(5, {0x1B})));                     // wrong signature
  EXPECT_EQ(ecFaxBadFormat, walk(patched(32, {0xFF, 0xFF})));              // 65535 pages
  EXPECT_EQ(ecFaxBadFormat, walk(patched(34, {0xFF, 0xFF, 0xFF, 0x7F})));  // first page far away
  EXPECT_EQ(ecFaxBadFormat, walk(patched(64, {0xFF, 0xFF, 0xFF, 0xFF})));  // absurd ImageLength
  EXPECT_EQ(ecFaxBadFormat, walk(patched(80, {0x01, 0x20})));              // record of 8193 bytes
  EXPECT_EQ(ecFaxBadFormat, walk(patched(64, {0x03, 0, 0, 0})));           // record longer than its page

  // A file without pages has no readable page.
  auto none = patched(32, {0, 0});
  TFaxFileReader r;
  ASSERT_EQ(0, r.OpenMemory(none));
  EXPECT_EQ(ecDiskRead, r.SeekPage(1));
  TPageHeaderRec ph;
  EXPECT_EQ(ecFaxBadFormat, fxfReadPageHeader(write("none.fxf", none), 1, ph));
  EXPECT_EQ(0, fxfReadPageHeader(write("none2.fxf", none), 0, ph));

  // Raw page data (no line records) that end early.
  auto raw = patched(68, {0x01, 0x00});
  raw.resize(64 + 16 + 10);
  ASSERT_EQ(0, r.OpenMemory(raw));
  ASSERT_EQ(0, r.SeekPage(1));
  std::uint8_t block[4096];
  int len = 0;
  EXPECT_EQ(ecFaxBadFormat, r.ReadPageData(block, sizeof block, len));
}

TEST(FaxFile, DosDateTime) {
  EXPECT_EQ(PackDosDateTime(1979, 12, 31, 23, 59, 58), 0u);
  EXPECT_EQ(PackDosDateTime(2100, 1, 1, 0, 0, 0), 0u);
  EXPECT_EQ(PackDosDateTime(1980, 1, 1, 0, 0, 0), (1u | (1u << 5)) << 16);
  EXPECT_EQ(PackDosDateTime(2026, 12, 9, 13, 45, 31),
            (((2026u - 1980) << 9 | 12u << 5 | 9u) << 16) | (13u << 11 | 45u << 5 | 15u));
}
