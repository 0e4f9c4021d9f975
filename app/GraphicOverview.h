#pragma once
// The overview of the selected controller's stored values: eight charts, one per sensor, in
// two columns of four. A double click on the first chart opens the single-sensor chart.
#include <QWidget>
#include <array>
#include <functional>
#include <memory>

class TDataModule2;
class TDBChart;
class TKorvidan;

namespace Ui {
class TGraphicOverviewForm;
}

class TGraphicOverviewForm : public QWidget {
  Q_OBJECT
 public:
  explicit TGraphicOverviewForm(TDataModule2& database, QWidget* parent = nullptr);
  ~TGraphicOverviewForm() override;

  // DBChartSensor1 .. DBChartSensor8 (index 0 .. 7).
  std::array<TDBChart*, 8> DBChartSensor{};

  // The main window's selected controller (for the titles); none: titles without type.
  std::function<TKorvidan*()> SelectedController;
  // Shows the single-sensor chart (double click on the first chart).
  std::function<void()> ShowSensorChart;

  // Binds Graphik1..8 and the charts to the measurement table that Table1 names, reads them
  // and sets the titles "Sensor<n>: <type>". Also run by the main window's tab selection
  // while the overview is visible.
  void FormShow();
  // Charts 1-4 in the left column, 5-8 in the right, each a half of the width and a quarter
  // of the height of the client area.
  void FormResize();
  void DBChartSensor1DblClick();

 protected:
  void showEvent(QShowEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;

 private:
  std::unique_ptr<Ui::TGraphicOverviewForm> ui;
  TDataModule2& db_;
};

extern TGraphicOverviewForm* GraphicOverviewForm;
