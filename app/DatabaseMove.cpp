#include "app/DatabaseMove.h"

#include <QFileDialog>
#include <QPushButton>
#include <QTimer>

#include "ui_DatabaseMove.h"

TDatabaseMoveForm* DatabaseMoveForm = nullptr;

TDatabaseMoveForm::TDatabaseMoveForm(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::TDatabaseMoveForm>()) {
  ui->setupUi(this);
  OpenDialog1 = new QFileDialog(this);
  OpenDialog1->setNameFilter(QStringLiteral("*.DB"));
  OpenDialog1->setFileMode(QFileDialog::ExistingFile);
  SaveDialog1 = new QFileDialog(this);
  SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
  connect(ui->Button1, &QPushButton::clicked, this, &TDatabaseMoveForm::Button1Click);
  if (!DatabaseMoveForm) DatabaseMoveForm = this;
}

TDatabaseMoveForm::~TDatabaseMoveForm() {
  if (DatabaseMoveForm == this) DatabaseMoveForm = nullptr;
}

void TDatabaseMoveForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  QTimer::singleShot(0, OpenDialog1, [d = OpenDialog1] { d->exec(); });
}

void TDatabaseMoveForm::Button1Click() {
  SaveDialog1->exec();
  accept();
}

void TDatabaseMoveForm::done(int result) {
  QDialog::done(result);
  if (StartAcquisition) StartAcquisition();
}
