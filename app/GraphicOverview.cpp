#include "app/GraphicOverview.h"

#include <exception>

#include "app/DBChart.h"
#include "app/DataBase.h"
#include "app/ErrorText.h"
#include "app/UiThread.h"
#include "platform/Text.h"
#include "ui_GraphicOverview.h"

TGraphicOverviewForm* GraphicOverviewForm = nullptr;

TGraphicOverviewForm::TGraphicOverviewForm(TDataModule2& database, QWidget* parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TGraphicOverviewForm>()), db_(database) {
  ui->setupUi(this);
  for (int n = 0; n < 8; ++n) {
    auto* chart = new TDBChart(this);
    chart->setObjectName(QString("DBChartSensor%1").arg(n + 1));
    DBChartSensor[static_cast<std::size_t>(n)] = chart;
  }
  // Only the first chart opens the single-sensor window.
  connect(DBChartSensor[0], &TDBChart::doubleClicked, this, [this] { DBChartSensor1DblClick(); });
  FormResize();
  if (!GraphicOverviewForm) GraphicOverviewForm = this;
}

TGraphicOverviewForm::~TGraphicOverviewForm() {
  if (GraphicOverviewForm == this) GraphicOverviewForm = nullptr;
}

void TGraphicOverviewForm::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  try {
    FormShow();
  } catch (const std::exception& ex) {
    ShowError(ex);
  }
}

void TGraphicOverviewForm::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  FormResize();
}

void TGraphicOverviewForm::FormShow() {
  TTable* tables[8] = {&db_.Graphik1, &db_.Graphik2, &db_.Graphik3, &db_.Graphik4,
                       &db_.Graphik5, &db_.Graphik6, &db_.Graphik7, &db_.Graphik8};
  const std::string name = db_.Table1.TableName();
  for (TTable* t : tables) t->Close();
  for (TTable* t : tables) t->SetTableName(name);
  if (tables[0]->Exists()) {
    TDataModule2::CheckLayout(*tables[0], TDataModule2::MeasurementLayout());
    for (TTable* t : tables) t->Open();
  }
  TKorvidan* controller = SelectedController ? SelectedController() : nullptr;
  for (int n = 0; n < 8; ++n) {
    TDBChart* chart = DBChartSensor[static_cast<std::size_t>(n)];
    const std::string field = "Sensor" + IntToStr(n + 1);
    chart->Bind(tables[n]->DatabaseName(), name, "DateTime", field);
    std::string type;
    if (controller) type = db_.ReadSensorType(*controller, n);
    chart->SetTitle(field + ": " + type);
  }
}

void TGraphicOverviewForm::FormResize() {
  const int w = width() / 2;
  const int h = height() / 4;
  for (int n = 0; n < 8; ++n)
    DBChartSensor[static_cast<std::size_t>(n)]->setGeometry(n < 4 ? 0 : w, (n % 4) * h, w, h);
}

void TGraphicOverviewForm::DBChartSensor1DblClick() {
  if (ShowSensorChart) ShowSensorChart();
}
