#include "app/SmallForms.h"

#include <QPushButton>

#include "ui_AboutForm.h"
#include "ui_DialogExit.h"
#include "ui_StartupFrm.h"

TStartupFrm* StartupFrm = nullptr;
TDialogExit* DialogExit = nullptr;
TAboutForm* AboutForm = nullptr;

TStartupFrm::TStartupFrm(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TStartupFrm>()) {
  ui->setupUi(this);
  Button1 = ui->Button1;
  Button2 = ui->Button2;
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
  if (!StartupFrm) StartupFrm = this;
}

TStartupFrm::~TStartupFrm() {
  if (StartupFrm == this) StartupFrm = nullptr;
}

void TStartupFrm::Button1Click() {
  if (OnYes) OnYes();
  accept();
}

void TStartupFrm::Button2Click() {
  if (OnNo) OnNo();
  accept();
}

TDialogExit::TDialogExit(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TDialogExit>()) {
  ui->setupUi(this);
  if (!DialogExit) DialogExit = this;
}

TDialogExit::~TDialogExit() {
  if (DialogExit == this) DialogExit = nullptr;
}

TAboutForm::TAboutForm(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TAboutForm>()) {
  ui->setupUi(this);
  connect(ui->OKButton, &QPushButton::clicked, this, &QDialog::accept);
  if (!AboutForm) AboutForm = this;
}

TAboutForm::~TAboutForm() {
  if (AboutForm == this) AboutForm = nullptr;
}
