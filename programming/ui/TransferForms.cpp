#include "programming/ui/TransferForms.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

#include "ui_DebugOutput.h"
#include "ui_ReadDataRamForm.h"
#include "ui_SendDataRamForm.h"

TReadDataRamForm* ReadDataRamForm = nullptr;
TSendDataRamForm* SendDataRamForm = nullptr;
TDebugOutput* DebugOutput = nullptr;

namespace {
// A dialog frame without system buttons.
constexpr Qt::WindowFlags DialogFrame = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
}  // namespace

TReadDataRamForm::TReadDataRamForm(QWidget* parent)
    : QDialog(parent, DialogFrame), ui(std::make_unique<Ui::TReadDataRamForm>()) {
  ui->setupUi(this);
  Address = ui->Address;
  ReadProgress = ui->ReadProgress;
  btReadDataOk = ui->btReadDataOk;
  btReadDataAbbrechen = ui->btReadDataAbbrechen;
  connect(btReadDataOk, &QPushButton::clicked, this, [this] { hide(); });
  if (!ReadDataRamForm) ReadDataRamForm = this;
}

TReadDataRamForm::~TReadDataRamForm() {
  if (ReadDataRamForm == this) ReadDataRamForm = nullptr;
}

void TReadDataRamForm::SetButtons(bool cancelEnabled, bool okEnabled) {
  btReadDataAbbrechen->setEnabled(cancelEnabled);
  btReadDataOk->setEnabled(okEnabled);
  if (cancelEnabled) {
    setCursor(Qt::WaitCursor);
    btReadDataAbbrechen->setCursor(Qt::ArrowCursor);
  } else {
    unsetCursor();
    btReadDataAbbrechen->unsetCursor();
  }
}

// Escape does not close the dialog while its transfer runs; OK does once it has ended.
void TReadDataRamForm::reject() {
  if (btReadDataOk->isEnabled()) hide();
}

TSendDataRamForm::TSendDataRamForm(QWidget* parent)
    : QDialog(parent, DialogFrame), ui(std::make_unique<Ui::TSendDataRamForm>()) {
  ui->setupUi(this);
  Address = ui->Address;
  SendProgress = ui->SendProgress;
  ProgressBar1 = ui->ProgressBar1;
  btSendDataOK = ui->btSendDataOK;
  connect(btSendDataOK, &QPushButton::clicked, this, [this] { hide(); });
  if (!SendDataRamForm) SendDataRamForm = this;
}

TSendDataRamForm::~TSendDataRamForm() {
  if (SendDataRamForm == this) SendDataRamForm = nullptr;
}

void TSendDataRamForm::reject() {
  if (btSendDataOK->isEnabled()) hide();
}

TDebugOutput::TDebugOutput(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::TDebugOutput>()) {
  ui->setupUi(this);
  Memo1 = ui->Memo1;
  if (!DebugOutput) DebugOutput = this;
}

TDebugOutput::~TDebugOutput() {
  if (DebugOutput == this) DebugOutput = nullptr;
}
