#include "app/DatabaseMove.h"

#include <QFileDialog>
#include <QPushButton>
#include <QTimer>

#include "ui_DatabaseMove.h"

TDatabaseMoveForm* DatabaseMoveForm = nullptr;

TDatabaseMoveForm::TDatabaseMoveForm(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::TDatabaseMoveForm>()) {
  ui->setupUi(this);
  connect(ui->Button1, &QPushButton::clicked, this, &TDatabaseMoveForm::Button1Click);
  if (!DatabaseMoveForm) DatabaseMoveForm = this;
}

TDatabaseMoveForm::~TDatabaseMoveForm() {
  if (DatabaseMoveForm == this) DatabaseMoveForm = nullptr;
}

QFileDialog* TDatabaseMoveForm::OpenDialog1() {
  if (!openDialog_) {
    openDialog_ = new QFileDialog(this);
    openDialog_->setNameFilter(QStringLiteral("*.DB"));
    openDialog_->setFileMode(QFileDialog::ExistingFile);
  }
  return openDialog_;
}

QFileDialog* TDatabaseMoveForm::SaveDialog1() {
  if (!saveDialog_) {
    saveDialog_ = new QFileDialog(this);
    saveDialog_->setAcceptMode(QFileDialog::AcceptSave);
  }
  return saveDialog_;
}

void TDatabaseMoveForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  QTimer::singleShot(0, OpenDialog1(), [d = OpenDialog1()] { d->exec(); });
}

void TDatabaseMoveForm::Button1Click() {
  SaveDialog1()->exec();
  accept();
}

void TDatabaseMoveForm::done(int result) {
  QDialog::done(result);
  if (StartAcquisition) StartAcquisition();
}
