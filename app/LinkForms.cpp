#include "app/LinkForms.h"

#include <QMetaObject>
#include <QPlainTextEdit>
#include <QString>

#include "app/UiThread.h"
#include "ui_DialogConfigRS485.h"
#include "ui_SelectKorvidan.h"
#include "ui_TestCommunicationForm.h"

TDialogConfigRS485* DialogConfigRS485 = nullptr;
TSelectKorvidan* SelectKorvidan = nullptr;
TTestCommunicationForm* TestCommunicationForm = nullptr;

namespace {

constexpr int kMemoLines = 10000;

}  // namespace

TDialogConfigRS485::TDialogConfigRS485(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::TDialogConfigRS485>()) {
  ui->setupUi(this);
  if (!DialogConfigRS485) DialogConfigRS485 = this;
}

TDialogConfigRS485::~TDialogConfigRS485() {
  if (DialogConfigRS485 == this) DialogConfigRS485 = nullptr;
}

TSelectKorvidan::TSelectKorvidan(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::TSelectKorvidan>()) {
  ui->setupUi(this);
  if (!SelectKorvidan) SelectKorvidan = this;
}

TSelectKorvidan::~TSelectKorvidan() {
  if (SelectKorvidan == this) SelectKorvidan = nullptr;
}

TTestCommunicationForm::TTestCommunicationForm(QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::TTestCommunicationForm>()) {
  ui->setupUi(this);
  Memo1 = ui->Memo1;
  Memo1->setMaximumBlockCount(kMemoLines);
  if (!TestCommunicationForm) TestCommunicationForm = this;
}

TTestCommunicationForm::~TTestCommunicationForm() {
  if (TestCommunicationForm == this) TestCommunicationForm = nullptr;
}

void TTestCommunicationForm::AddLine(const std::string& line) {
  const QString text = QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()));
  RunOnWindowThread([this, text] { Memo1->appendPlainText(text); }, this);
}
