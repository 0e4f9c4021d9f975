#include "app/LoadAppForm.h"

#include <QProgressBar>

#include "ui_LoadAppForm.h"

TLoadAppForm* LoadAppForm = nullptr;

TLoadAppForm::TLoadAppForm(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TLoadAppForm>()) {
  ui->setupUi(this);
  ProgressBar1 = ui->ProgressBar1;
  if (!LoadAppForm) LoadAppForm = this;
}

TLoadAppForm::~TLoadAppForm() {
  if (LoadAppForm == this) LoadAppForm = nullptr;
}
