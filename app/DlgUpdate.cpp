#include "app/DlgUpdate.h"

#include <QLabel>
#include <QProgressBar>
#include <algorithm>

#include "ui_DlgUpdate.h"

TDlgUpdate* DlgUpdate = nullptr;

TDlgUpdate::TDlgUpdate(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TDlgUpdate>()) {
  ui->setupUi(this);
  SourceDB = ui->SourceDB;
  DestinationDB = ui->DestinationDB;
  ProgressBar1 = ui->ProgressBar1;
  if (!DlgUpdate) DlgUpdate = this;
}

TDlgUpdate::~TDlgUpdate() {
  if (DlgUpdate == this) DlgUpdate = nullptr;
}

void TDlgUpdate::StepIt() {
  ProgressBar1->setValue(std::min(ProgressBar1->value() + Step, ProgressBar1->maximum()));
}
