#pragma once
// One sensor's stored values in a chart that fills the window; "Print" asks for the page
// orientation and prints it.
#include <QMainWindow>
#include <functional>
#include <memory>

class QAction;
class TDataModule2;
class TDBChart;
class TPrintOrientationForm;
class TKorvidan;

namespace Ui {
class TSensorGraphicForm;
}

class TSensorGraphicForm : public QMainWindow {
  Q_OBJECT
 public:
  explicit TSensorGraphicForm(TDataModule2& database, QWidget* parent = nullptr);
  ~TSensorGraphicForm() override;

  TDBChart* SensorDBChart1;
  QAction* Print1;
  // The orientation dialog that "Print" shows.
  TPrintOrientationForm* PrintOrientation = nullptr;
  // The main window's selected controller, whose type text titles the chart.
  std::function<TKorvidan*()> SelectedController;

  // Re-reads the chart from the measurement table that Table1 names ("Sensor1"); the title
  // is "Sensor1: " and the sensor's stored type text, as in the overview ("Sensor" without
  // a selected controller).
  void Reload();
  void FormResize();
  void Print1Click();

 protected:
  void showEvent(QShowEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;

 private:
  std::unique_ptr<Ui::TSensorGraphicForm> ui;
  TDataModule2& db_;
};

extern TSensorGraphicForm* SensorGraphicForm;
