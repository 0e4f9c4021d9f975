// Chart windows: the overview and the single-sensor chart show the stored rows; printing
// without a printer writes a PDF page of the chosen orientation; the preview chart source
// selection stores the chosen sensor.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QChart>
#include <QGraphicsScene>
#include <QGraphicsTextItem>
#include <QImage>
#include <QLineSeries>
#include <QListWidget>
#include <QPainter>
#include <QRadioButton>
#include <QTabBar>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "app/DBChart.h"
#include "app/DataBase.h"
#include "app/GraphicOverview.h"
#include "app/Localregistry.h"
#include "app/PrintOrientation.h"
#include "app/Selectgraphic.h"
#include "app/Sensorgraphic.h"
#include "app/UiThread.h"
#include "platform/DateTime.h"
#include "platform/Registry.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

class ChartsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetRegistryFile((dir_ / "registry.ini").string());
    Session().AddStandardAlias("Zelvanor", dir_);
    MessageSink = [this](const std::string& text, TMsgKind) { messages_.push_back(text); };
    db_ = std::make_unique<TDataModule2>();
    controller_.GetIdent()->SetName("Korvidan1");
    controller_.GetSensor(0)->SetType(SensorPH);
    controller_.GetSensor(1)->SetType(SensorTemperature);
    db_->WriteSensorTypes(controller_);

    TTable& t = db_->Table1;
    t.SetTableName("Korvidan1");
    TDataModule2::DefineMeasurementFields(t, true);
    t.CreateTable();
    t.Open();
    for (int i = 0; i < 3; ++i) {
      t.Append();
      const TDateTime stamp =
          EncodeDate(2026, 12, 8) + EncodeTime(10, static_cast<std::uint16_t>(15 * i), 0, 0);
      t.FieldByName("DateTime").SetAsDateTime(stamp);
      for (int s = 1; s <= 8; ++s) t.FieldByName("Sensor" + std::to_string(s)).SetAsFloat(s * 10 + i);
      t.Post();
    }
    t.Close();
  }
  void TearDown() override {
    db_.reset();
    MessageSink = nullptr;
    TChartPrinting::PdfFileName.clear();
    SetRegistryFile("");
  }

  // The width and height of the first page of a PDF file, from its media box.
  static std::pair<double, double> PageSize(const fs::path& pdf) {
    std::ifstream f(pdf, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const std::size_t at = data.find("/MediaBox");
    if (data.rfind("%PDF-", 0) != 0 || at == std::string::npos) return {0, 0};
    double x0, y0, x1, y1;
    if (std::sscanf(data.c_str() + at, "/MediaBox [%lf %lf %lf %lf]", &x0, &y0, &x1, &y1) != 4) return {0, 0};
    return {x1 - x0, y1 - y0};
  }

  support::TempDir tmp_{"charts_"};
  const std::filesystem::path& dir_ = tmp_.path();
  std::vector<std::string> messages_;
  std::unique_ptr<TDataModule2> db_;
  TKorvidan controller_{0};
};

TEST_F(ChartsTest, OverviewShowsEachSensorsRowsUnderItsTitleAndLaysOutTwoColumns) {
  TGraphicOverviewForm overview(*db_);
  EXPECT_EQ(overview.windowTitle().toStdString(),
            "Grafik \xC3\x9C"
            "bersicht");
  overview.SelectedController = [this] { return &controller_; };
  int opened = 0;
  overview.ShowSensorChart = [&] { ++opened; };
  overview.resize(800, 600);
  overview.show();
  for (int n = 0; n < 8; ++n) {
    TDBChart* chart = overview.DBChartSensor[static_cast<std::size_t>(n)];
    ASSERT_EQ(chart->PointCount(), 3) << n;
    EXPECT_EQ(chart->Series()->at(2).y(), (n + 1) * 10 + 2);
    EXPECT_EQ(chart->TableName(), "Korvidan1");
  }
  EXPECT_EQ(db_->Graphik5.TableName(), "Korvidan1");
  EXPECT_TRUE(db_->Graphik5.Active());
  EXPECT_EQ(overview.DBChartSensor[0]->Title(), "Sensor1: pH");
  EXPECT_EQ(overview.DBChartSensor[1]->Title(),
            "Sensor2: Temp.[\xC2\xB0"
            "C]");
  EXPECT_EQ(overview.DBChartSensor[7]->Title(), "Sensor8: kein Sensor");
  EXPECT_EQ(overview.DBChartSensor[3]->geometry(), QRect(0, 450, 400, 150));
  EXPECT_EQ(overview.DBChartSensor[4]->geometry(), QRect(400, 0, 400, 150));

  emit overview.DBChartSensor[1]->doubleClicked();
  EXPECT_EQ(opened, 0);
  emit overview.DBChartSensor[0]->doubleClicked();
  EXPECT_EQ(opened, 1);
  EXPECT_TRUE(messages_.empty());
}

TEST_F(ChartsTest, PrintingWithoutAPrinterWritesAPdfPageOfTheChosenOrientation) {
  TSensorGraphicForm window(*db_);
  TPrintOrientationForm orientation;
  window.PrintOrientation = &orientation;
  window.resize(640, 400);
  window.show();
  EXPECT_EQ(window.SensorDBChart1->PointCount(), 3);
  EXPECT_EQ(window.SensorDBChart1->Series()->at(1).y(), 11.0);

  TChartPrinting::PrinterInstalled = [] { return false; };
  const fs::path landscape = dir_ / "landscape.pdf", portrait = dir_ / "portrait.pdf";
  TChartPrinting::PdfFileName = landscape.string();
  window.Print1Click();
  ASSERT_TRUE(orientation.isVisible());
  EXPECT_TRUE(orientation.Hochkant->isChecked());  // portrait at first
  orientation.Quer->click();
  EXPECT_FALSE(orientation.Hochkant->isChecked());
  orientation.Button1Click();
  EXPECT_FALSE(orientation.isVisible());
  ASSERT_TRUE(fs::exists(landscape));
  auto [w, h] = PageSize(landscape);
  EXPECT_GT(w, h);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_NE(messages_[0].find(landscape.string()), std::string::npos);

  // The next print presets the last orientation.
  TChartPrinting::PdfFileName = portrait.string();
  window.Print1Click();
  EXPECT_TRUE(orientation.Quer->isChecked());
  orientation.Hochkant->click();
  orientation.Button1Click();
  EXPECT_EQ(PrintLandscape, 0);
  auto [pw, ph] = PageSize(portrait);
  EXPECT_GT(ph, pw);
  EXPECT_GT(pw, 0);

  // A file that cannot be written is reported.
  messages_.clear();
  TChartPrinting::PdfFileName = (dir_ / "missing" / "x.pdf").string();
  window.Print1Click();
  orientation.Button1Click();
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_NE(messages_[0].find("kann nicht geschrieben werden"), std::string::npos);
}

// The share of a white page that the drawing covers: its bounding box's area over the page's.
double CoveredShare(const QImage& page) {
  int left = page.width(), right = -1, top = page.height(), bottom = -1;
  for (int y = 0; y < page.height(); ++y) {
    const QRgb* line = reinterpret_cast<const QRgb*>(page.constScanLine(y));
    for (int x = 0; x < page.width(); ++x) {
      if ((line[x] & 0xFFFFFF) == 0xFFFFFF) continue;
      left = std::min(left, x), right = std::max(right, x);
      top = std::min(top, y), bottom = std::max(bottom, y);
    }
  }
  if (right < 0) return 0;
  return double(right - left + 1) * (bottom - top + 1) / (double(page.width()) * page.height());
}

TEST_F(ChartsTest, SingleChartIsTitledWithItsSensorKeepsItsLabelsApartAndFillsAPortraitPage) {
  TSensorGraphicForm window(*db_);
  window.SelectedController = [this] { return &controller_; };
  db_->Table1.SetTableName("Korvidan1");
  window.resize(640, 400);
  window.show();
  EXPECT_EQ(window.SensorDBChart1->Title(), "Sensor1: pH");

  // The values 10 to 12: gridlines at round values, each labelled whole, the lowest clear of
  // the time labels under the chart.
  QApplication::processEvents();
  const QRectF plot = window.SensorDBChart1->chart()->plotArea();
  std::map<qreal, QGraphicsTextItem*> values, times;  // by their place
  for (QGraphicsItem* item : window.SensorDBChart1->scene()->items())
    if (auto* label = dynamic_cast<QGraphicsTextItem*>(item);
        label && label->isVisible() && !label->toPlainText().isEmpty()) {
      const QRectF at = label->sceneBoundingRect();
      if (at.right() <= plot.left()) values[at.top()] = label;
      if (at.top() >= plot.bottom()) times[at.left()] = label;
    }
  std::string texts;
  for (const auto& [place, label] : values) texts += label->toPlainText().toStdString() + " ";
  EXPECT_EQ(texts, "12 11 10 ");
  ASSERT_FALSE(times.empty());
  EXPECT_LT(values.rbegin()->second->sceneBoundingRect().bottom(),
            times.begin()->second->sceneBoundingRect().top())
      << "the lowest value's label touches the first time label";
  // Without a selected controller the title is the bare "Sensor".
  window.SelectedController = [] { return nullptr; };
  window.Reload();
  EXPECT_EQ(window.SensorDBChart1->Title(), "Sensor");

  // A portrait A4 page and a landscape one, at 30 dots per centimetre.
  for (const QSize size : {QSize(630, 891), QSize(891, 630)}) {
    QImage page(size, QImage::Format_RGB32);
    page.fill(Qt::white);
    {
      QPainter painter(&page);
      RenderChartOnPage(*window.SensorDBChart1, painter, QRectF(QPointF(0, 0), QSizeF(size)));
    }
    EXPECT_GT(CoveredShare(page), 0.9) << size.width() << "x" << size.height();
  }
  // The window's chart keeps its own size.
  EXPECT_EQ(window.SensorDBChart1->chart()->size().toSize(), window.SensorDBChart1->size());
}

TEST_F(ChartsTest, SourceSelectionStoresTheSelectedSensorOfTheTab) {
  InitRegistryDefaults();
  TGrafikAuswahlForm form(*db_);
  form.SelectedController = [this] { return &controller_; };
  int refreshes = 0;
  form.RefreshPreviewCharts = [&] { ++refreshes; };
  form.show();
  ASSERT_EQ(form.TabBar1->count(), 2);
  EXPECT_EQ(form.TabBar1->tabText(1).toStdString(), "Grafik rechts");
  ASSERT_EQ(form.ListBox1->count(), 9);
  EXPECT_EQ(form.ListBox1->item(0)->text().toStdString(),
            "Verf\xC3\xBC"
            "gbare Sensoren:");
  EXPECT_EQ(form.ListBox1->item(1)->text().toStdString(), "Sensor 1: pH");
  EXPECT_EQ(form.ListBox1->item(8)->text().toStdString(), "Sensor 8: kein Sensor");

  form.ListBox1->setCurrentRow(0);  // the header line changes nothing
  form.ListBox1Exit();
  EXPECT_EQ(ReadGraphicSourceName(0), "Sensor1");
  form.ListBox1->setCurrentRow(3);
  form.ListBox1Exit();
  EXPECT_EQ(ReadGraphicSourceName(0), "Sensor3");
  EXPECT_EQ(ReadGraphicSourceName(1), "Sensor2");

  form.TabBar1->setCurrentIndex(1);
  form.ListBox1->setCurrentRow(8);
  form.ListBox1Exit();
  EXPECT_EQ(ReadGraphicSourceName(1), "Sensor8");
  EXPECT_EQ(ReadGraphicSourceName(0), "Sensor3");
  EXPECT_EQ(refreshes, 3);
  EXPECT_TRUE(messages_.empty());
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
