#include "app/Sensorgraphic.h"

#include <QAction>
#include <exception>

#include "app/DBChart.h"
#include "app/DataBase.h"
#include "app/ErrorText.h"
#include "app/PrintOrientation.h"
#include "app/UiThread.h"
#include "ui_Sensorgraphic.h"

TSensorGraphicForm* SensorGraphicForm = nullptr;

TSensorGraphicForm::TSensorGraphicForm(TDataModule2& database, QWidget* parent)
    : QMainWindow(parent), ui(std::make_unique<Ui::TSensorGraphicForm>()), db_(database) {
  ui->setupUi(this);
  Print1 = ui->Print1;
  SensorDBChart1 = new TDBChart(ui->centralwidget);
  SensorDBChart1->setObjectName("SensorDBChart1");
  SensorDBChart1->SetTitle("Sensor");
  connect(Print1, &QAction::triggered, this, [this] { Print1Click(); });
  if (!SensorGraphicForm) SensorGraphicForm = this;
}

TSensorGraphicForm::~TSensorGraphicForm() {
  if (SensorGraphicForm == this) SensorGraphicForm = nullptr;
}

void TSensorGraphicForm::Reload() {
  if (TKorvidan* c = SelectedController ? SelectedController() : nullptr)
    SensorDBChart1->SetTitle("Sensor1: " + db_.ReadSensorType(*c, 0));
  else
    SensorDBChart1->SetTitle("Sensor");
  SensorDBChart1->Bind(db_.Table1.DatabaseName(), db_.Table1.TableName(), "DateTime", "Sensor1");
}

void TSensorGraphicForm::showEvent(QShowEvent* e) {
  QMainWindow::showEvent(e);
  FormResize();
  try {
    Reload();
  } catch (const std::exception& ex) {
    ShowError(ex);
  }
}

void TSensorGraphicForm::resizeEvent(QResizeEvent* e) {
  QMainWindow::resizeEvent(e);
  FormResize();
}

void TSensorGraphicForm::FormResize() { SensorDBChart1->setGeometry(ui->centralwidget->rect()); }

void TSensorGraphicForm::Print1Click() {
  if (!PrintOrientation) return;
  PrintOrientation->Chart = SensorDBChart1;
  PrintOrientation->show();
}
