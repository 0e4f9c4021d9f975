#include "app/Dialogfaxconfig.h"

#include <QLineEdit>
#include <QPushButton>

#include "fax/SioFax.h"
#include "platform/Text.h"
#include "ui_Dialogfaxconfig.h"

TFaxConfigFrm* FaxConfigFrm = nullptr;

namespace {
QString ToUi(const std::string& cp1252) { return QString::fromStdString(Cp1252ToUtf8(cp1252)); }
std::string Take(const QLineEdit* e) { return Utf8ToCp1252(e->text().toStdString()).substr(0, 255); }
}  // namespace

TFaxConfigFrm::TFaxConfigFrm(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TFaxConfigFrm>()) {
  ui->setupUi(this);
  edKopfzeile = ui->edKopfzeile;
  edEmpfaenger = ui->edEmpfaenger;
  edSender = ui->edSender;
  edFaxNumber = ui->edFaxNumber;
  connect(ui->Button1, &QPushButton::clicked, this, &TFaxConfigFrm::Button1Click);
  if (!FaxConfigFrm) FaxConfigFrm = this;
}

TFaxConfigFrm::~TFaxConfigFrm() {
  if (FaxConfigFrm == this) FaxConfigFrm = nullptr;
}

void TFaxConfigFrm::FormActivate() {
  if (SendFax == nullptr) return;
  edKopfzeile->setText(ToUi(SendFax->GetHeaderLine()));
  edEmpfaenger->setText(ToUi(SendFax->GetHeaderRecipient()));
  edSender->setText(ToUi(SendFax->GetHeaderSender()));
  edFaxNumber->setText(ToUi(SendFax->GetPhoneNumber()));
}

void TFaxConfigFrm::FormClose() {
  if (SendFax == nullptr) return;
  SendFax->SetHeaderLine(Take(edKopfzeile));
  SendFax->SetHeaderRecipient(Take(edEmpfaenger));
  SendFax->SetHeaderSender(Take(edSender));
  SendFax->SetPhoneNumber(Take(edFaxNumber));
}

void TFaxConfigFrm::Button1Click() {
  FormClose();
  close();
}

void TFaxConfigFrm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FormActivate();
}

void TFaxConfigFrm::closeEvent(QCloseEvent* event) {
  FormClose();
  QDialog::closeEvent(event);
}

void TFaxConfigFrm::done(int result) {
  FormClose();  // Escape closes the form too
  QDialog::done(result);
}
