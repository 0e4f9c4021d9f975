#include "app/Selectgraphic.h"

#include <QEvent>
#include <QListWidget>
#include <QPushButton>
#include <QTabBar>
#include <exception>

#include "app/DataBase.h"
#include "app/ErrorText.h"
#include "app/Localregistry.h"
#include "app/UiThread.h"
#include "platform/Text.h"
#include "ui_Selectgraphic.h"

TGrafikAuswahlForm* GrafikAuswahlForm = nullptr;

TGrafikAuswahlForm::TGrafikAuswahlForm(TDataModule2& database, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::TGrafikAuswahlForm>()), db_(database) {
  ui->setupUi(this);
  TabBar1 = ui->TabBar1;
  ListBox1 = ui->ListBox1;
  TabBar1->setExpanding(false);
  ListBox1->installEventFilter(this);
  connect(TabBar1, &QTabBar::currentChanged, this, [this](int) { Guarded([this] { TabControl1Enter(); }); });
  connect(ui->Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  if (!GrafikAuswahlForm) GrafikAuswahlForm = this;
}

TGrafikAuswahlForm::~TGrafikAuswahlForm() {
  if (GrafikAuswahlForm == this) GrafikAuswahlForm = nullptr;
}

void TGrafikAuswahlForm::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  Guarded([this] {
    FormShow();
    TabControl1Enter();  // showing the form activates it
  });
}

bool TGrafikAuswahlForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ListBox1 && event->type() == QEvent::FocusOut) Guarded([this] { ListBox1Exit(); });
  return QDialog::eventFilter(watched, event);
}

void TGrafikAuswahlForm::FormShow() {
  const QSignalBlocker block(TabBar1);
  while (TabBar1->count() > 0) TabBar1->removeTab(0);
  TabBar1->addTab("Grafik links");
  TabBar1->addTab("Grafik rechts");
}

void TGrafikAuswahlForm::TabControl1Enter() {
  ListBox1->clear();
  ListBox1->addItem(QString::fromUtf8("Verfügbare Sensoren:"));
  TKorvidan* controller = SelectedController ? SelectedController() : nullptr;
  for (int n = 1; n <= 8; ++n) {
    std::string type;
    if (controller) type = db_.ReadSensorType(*controller, n - 1);
    ListBox1->addItem(QString::fromStdString("Sensor " + IntToStr(n) + ": " + type));
  }
}

void TGrafikAuswahlForm::ListBox1Exit() {
  const bool left = TabBar1->currentIndex() == 0;
  for (int n = 1; n <= 8 && n < ListBox1->count(); ++n)
    if (ListBox1->item(n)->isSelected()) WriteGraphicSource(left ? n : 0, left ? 0 : n);
  if (RefreshPreviewCharts) RefreshPreviewCharts();
}

void TGrafikAuswahlForm::Button1Click() { close(); }
