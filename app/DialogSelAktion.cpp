#include "app/DialogSelAktion.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <exception>

#include "app/ErrorText.h"
#include "app/UiThread.h"
#include "ui_DialogSelAktion.h"

TDialogAktion* DialogAktion = nullptr;

TDialogAktion::TDialogAktion(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TDialogAktion>()) {
  ui->setupUi(this);
  FaxButton = ui->FaxButton;
  AnrufButton = ui->AnrufButton;
  AlarmButton = ui->AlarmButton;
  NurMarkierenButton = ui->NurMarkierenButton;
  MaskEdit1 = ui->MaskEdit1;
  MaskEdit2 = ui->MaskEdit2;
  cbWochentag = ui->cbWochentag;
  // One of the four at a time, and none until the dialog is first shown.
  auto* group = new QButtonGroup(this);
  for (QRadioButton* b : {FaxButton, AnrufButton, AlarmButton, NurMarkierenButton}) group->addButton(b);
  connect(ui->Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  if (!DialogAktion) DialogAktion = this;
}

TDialogAktion::~TDialogAktion() {
  if (DialogAktion == this) DialogAktion = nullptr;
}

void TDialogAktion::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  FormActivate();
}

void TDialogAktion::hideEvent(QHideEvent* e) {
  QDialog::hideEvent(e);
  FormHide();
}

void TDialogAktion::FormActivate() {
  if (!CurrentActionCode) return;
  int code = 3;
  try {
    code = CurrentActionCode();
  } catch (const std::exception& e) {
    ShowError(e);
  }
  QRadioButton* buttons[] = {FaxButton, AnrufButton, AlarmButton, NurMarkierenButton};
  buttons[code >= 0 && code <= 3 ? code : 3]->setChecked(true);
}

std::string TDialogAktion::CheckedAction() const {
  if (FaxButton->isChecked()) return "Fax";
  if (AnrufButton->isChecked()) return "Anruf";
  if (AlarmButton->isChecked()) return "Alarm";
  if (NurMarkierenButton->isChecked()) return "nur markieren";
  return {};
}

void TDialogAktion::FormHide() {
  const std::string action = CheckedAction();
  if (action.empty() || !WriteAction) return;
  try {
    WriteAction(action);
  } catch (const std::exception& e) {
    ShowError(e);
  }
}

void TDialogAktion::Button1Click() { hide(); }
