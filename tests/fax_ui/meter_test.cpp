// The progress meter: how many blocks a position shows, what it draws, when it tells.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <cstdlib>
#include <stdexcept>

#include "fax/ui/SioMeter.h"

namespace {

// The columns of row y that carry the bar colour.
int BarPixels(TSioMeter& m, int y) {
  const QImage img = m.grab().toImage();
  int n = 0;
  for (int x = 0; x < img.width(); ++x)
    if (img.pixelColor(x, y) == m.GetBarColor()) ++n;
  return n;
}

}  // namespace

TEST(Meter, BlocksFollowThePosition) {
  TSioMeter m;
  EXPECT_EQ(m.width(), 150);
  EXPECT_EQ(m.height(), 16);
  m.SetPosition(0);
  EXPECT_EQ(m.Blocks(), 0);
  m.SetPosition(1);
  EXPECT_EQ(m.Blocks(), 1);
  m.SetPosition(50);  // 50 × (147 div 8) div 100 + 1
  EXPECT_EQ(m.Blocks(), 10);
  m.SetPosition(100);
  EXPECT_EQ(m.Blocks(), 18);
  EXPECT_EQ(m.PartialWidth(), 2);
  m.SetPosition(500);  // beyond Max: still full
  EXPECT_EQ(m.Blocks(), 18);
  m.SetMin(10);
  m.SetPosition(10);
  EXPECT_EQ(m.Blocks(), 0);
}

TEST(Meter, DrawsBlocksWithGapsInsideTheFrame) {
  TSioMeter m;
  m.SetBarColor(QColor(0, 0, 255));
  m.SetBevelColor1(QColor(255, 255, 255));
  m.SetBevelColor2(QColor(128, 128, 128));
  m.SetPosition(1);
  EXPECT_EQ(BarPixels(m, 8), 6);  // one block, Step − 2 wide
  EXPECT_EQ(BarPixels(m, 1), 0);  // rows 0 and 1 are frame and gap
  m.SetPosition(100);
  EXPECT_EQ(BarPixels(m, 8), 18 * 6 + 2);
  const QImage img = m.grab().toImage();
  EXPECT_EQ(img.pixelColor(0, 5), QColor(128, 128, 128));    // lowered: left edge dark
  EXPECT_EQ(img.pixelColor(149, 5), QColor(255, 255, 255));  // right edge light
  m.SetBevelStyle(TBevelStyle::bsRaised);
  EXPECT_EQ(m.grab().toImage().pixelColor(0, 5), QColor(255, 255, 255));
}

TEST(Meter, TellsOnlyWhenTheBlocksChange) {
  TSioMeter m;
  int told = 0;
  m.SetOnPosChange([&](TSioMeter*) { ++told; });
  m.SetPosition(1);
  EXPECT_EQ(told, 1);
  m.SetPosition(2);  // the same one block
  EXPECT_EQ(told, 1);
  m.SetPosition(20);
  EXPECT_EQ(told, 2);
  m.SetBounds(0, 0, 300, 16);  // more room: more blocks for the same position
  EXPECT_EQ(told, 3);
  EXPECT_EQ(m.Blocks(), 8);
}

TEST(Meter, SettingsWithoutAScaleAreRefusedOrShowNothing) {
  TSioMeter m;
  EXPECT_THROW(m.SetStep(0), std::invalid_argument);
  EXPECT_EQ(m.GetStep(), 8);
  m.SetMax(0);  // Max equal to Min: no scale
  m.SetPosition(5);
  EXPECT_EQ(m.Blocks(), 0);
  m.SetMax(10);  // 5 × (147 div 8) div 10 + 1
  EXPECT_EQ(m.Blocks(), 10);
}

int main(int argc, char** argv) {
  // Listing the tests happens without the test environment: no display then either.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
