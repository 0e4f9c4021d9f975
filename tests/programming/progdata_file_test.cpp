// Programming-data file: layout of a saved file, loading it back, and files
// that are refused without touching the image.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "programming/Programmingdata.h"
#include "tests/support/TempDir.h"

namespace {

struct Box {
  std::string text, caption;
  TBoxKind kind;
};

class ProgFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LinkHooks().MessageBox = [this](const std::string& text, const std::string& caption, TBoxKind kind) {
      boxes_.push_back({text, caption, kind});
    };
    data_.Hooks.SetCaption = [this](const std::string& caption) { caption_ = caption; };
    data_.Hooks.ShowAllPages = [this] { ++refreshes_; };
    FillPattern();
  }
  void TearDown() override { LinkHooks() = TLinkHooks{}; }

  // A recognisable image (every byte differs from its neighbours) and table.
  void FillPattern() {
    for (std::size_t i = 0; i < ProgrammingImage.Bytes.size(); ++i)
      ProgrammingImage.Bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    ProgrammingImage.SetTrendPeriod(TrendPeriod1Day);
    ProgrammingImage.Bytes[ProgLayout::EndMarkerOffset] = ProgLayout::EndMarker0;
    ProgrammingImage.Bytes[ProgLayout::EndMarkerOffset + 1] = ProgLayout::EndMarker1;
    for (std::size_t i = 0; i < SocketTable.Bytes.size(); ++i)
      SocketTable.Bytes[i] = static_cast<std::uint8_t>(200 - i);
  }
  std::string Path(const std::string& name) { return tmp_ / name; }

  support::TempDir tmp_{"korvidan-prg-"};
  const std::string dir_ = tmp_.str();
  std::vector<Box> boxes_;
  std::string caption_;
  int refreshes_ = 0;
  TProgData data_;
};

TEST_F(ProgFileTest, SavedFileHasTheLayoutAndLoadsBack) {
  const std::string path = Path("layout.prg");
  // Something longer is there already: the file is replaced, not overwritten in part.
  support::WriteFile(path, std::vector<std::uint8_t>(5000, 0xEE));
  const TProgrammingImage image = ProgrammingImage;
  const TSocketTable sockets = SocketTable;

  ASSERT_TRUE(data_.SaveToFile(path));
  EXPECT_TRUE(boxes_.empty());
  EXPECT_EQ(caption_, "korvidan Programmierschnittstelle [" + path + "]");

  const std::vector<std::uint8_t> file = support::ReadBytes(path);
  ASSERT_EQ(file.size(), 3709u);
  EXPECT_EQ(std::string(file.begin(), file.begin() + 12), "ovu ProgData");
  EXPECT_TRUE(std::equal(image.Bytes.begin(), image.Bytes.end(), file.begin() + 12));
  EXPECT_TRUE(std::equal(sockets.Bytes.begin(), sockets.Bytes.end(), file.begin() + 3590));
  // PC order in the file: 86400.0f is 0x47A8C000, little-endian at 12 + 34.
  EXPECT_EQ(file[46], 0x00);
  EXPECT_EQ(file[47], 0xC0);
  EXPECT_EQ(file[48], 0xA8);
  EXPECT_EQ(file[49], 0x47);
  EXPECT_EQ(file[3588], 0x30);
  EXPECT_EQ(file[3589], 0x39);

  ClearImage();
  data_.SetImageValid(false);
  caption_.clear();
  ASSERT_TRUE(data_.LoadFromFile(path));
  EXPECT_TRUE(boxes_.empty());
  EXPECT_EQ(ProgrammingImage.Bytes, image.Bytes);
  EXPECT_EQ(SocketTable.Bytes, sockets.Bytes);
  EXPECT_TRUE(data_.GetImageValid());
  EXPECT_EQ(caption_, "korvidan Programmierschnittstelle [" + path + "]");
  EXPECT_EQ(refreshes_, 1);
}

TEST_F(ProgFileTest, BadFilesAreRefusedAndTheImageStaysAsItWas) {
  const std::string good = Path("good.prg");
  ASSERT_TRUE(data_.SaveToFile(good));
  const std::vector<std::uint8_t> bytes = support::ReadBytes(good);
  ASSERT_EQ(bytes.size(), 3709u);

  struct Case {
    const char* name;
    std::vector<std::uint8_t> content;
    const char* text;
    const char* caption;
  };
  std::vector<std::uint8_t> lowerCase = bytes;
  lowerCase[0] = 'O';  // "Ovu ProgData"
  std::vector<std::uint8_t> noMarker = bytes;
  noMarker[3589] = 0x38;
  const std::vector<Case> cases = {
      {"truncated",
       {bytes.begin(), bytes.begin() + 2000},
       "Fehler beim Einlesen: ungültige Daten.",
       "Datei öffnen"},
      {"one byte short",
       {bytes.begin(), bytes.end() - 1},
       "Fehler beim Einlesen: ungültige Daten.",
       "Datei öffnen"},
      {"signature only",
       {bytes.begin(), bytes.begin() + 12},
       "Fehler beim Einlesen: ungültige Daten.",
       "Datei öffnen"},
      {"no end marker", noMarker, "Fehler beim Einlesen: ungültige Daten.", "Datei öffnen"},
      {"letter case", lowerCase, "Ungültiges Dateiformat!", "Datei öffnen"},
      {"foreign", std::vector<std::uint8_t>(3709, 'x'), "Ungültiges Dateiformat!", "Datei öffnen"},
      {"empty", {}, "Ungültiges Dateiformat!", "Datei öffnen"},
  };

  // The image being edited differs from the file's.
  ProgrammingImage.SetByte(100, 0x5A);
  SocketTable.Bytes[3] = 0x11;
  const TProgrammingImage before = ProgrammingImage;
  const TSocketTable socketsBefore = SocketTable;
  for (const bool validBefore : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      const std::string path = Path(std::string(c.name) + ".prg");
      support::WriteFile(path, c.content);
      data_.SetImageValid(validBefore);
      boxes_.clear();
      caption_.clear();
      EXPECT_FALSE(data_.LoadFromFile(path));
      ASSERT_EQ(boxes_.size(), 1u);
      EXPECT_EQ(boxes_[0].text, c.text);
      EXPECT_EQ(boxes_[0].caption, c.caption);
      EXPECT_EQ(boxes_[0].kind, TBoxKind::Error);
      EXPECT_EQ(ProgrammingImage.Bytes, before.Bytes);
      EXPECT_EQ(SocketTable.Bytes, socketsBefore.Bytes);
      EXPECT_EQ(data_.GetImageValid(), validBefore);
      EXPECT_TRUE(caption_.empty());
    }
  }

  boxes_.clear();
  EXPECT_FALSE(data_.LoadFromFile(dir_ + "/missing.prg"));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "Fehler beim öffen der Datei");
  EXPECT_EQ(ProgrammingImage.Bytes, before.Bytes);
}

TEST_F(ProgFileTest, SaveFailuresAreReported) {
  EXPECT_FALSE(data_.SaveToFile(dir_ + "/no/such/dir/x.prg"));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "Fehler beim Öffnen der Datei");
  EXPECT_EQ(boxes_[0].caption, "Datei Fehler");

  if (access("/dev/full", W_OK) == 0) {
    boxes_.clear();
    EXPECT_FALSE(data_.SaveToFile("/dev/full"));
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, "Fehler beim Schreiben der Datei");
  }
}

TEST(HexToIntTest, UpperCaseDigitsOnly) {
  EXPECT_EQ(HexToInt("3039"), 0x3039);
  EXPECT_EQ(HexToInt("FF"), 255);
  EXPECT_EQ(HexToInt("00"), 0);
  EXPECT_EQ(HexToInt("1g"), -1);
  EXPECT_EQ(HexToInt("ff"), -1);
  EXPECT_EQ(HexToInt("\r\n"), -1);
}

}  // namespace
