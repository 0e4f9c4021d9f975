#include "fax/ui/Faxview.h"

#include "fax/ui/SioFview.h"
#include "ui_Faxview.h"

TFaxViewForm* FaxViewForm = nullptr;

TFaxViewForm::TFaxViewForm(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::TFaxViewForm>()) {
  ui->setupUi(this);
  SioFaxViewer1 = ui->SioFaxViewer1;
  SioFaxViewer1->SetName("SioFaxViewer1");
  if (!FaxViewForm) FaxViewForm = this;
}

TFaxViewForm::~TFaxViewForm() {
  if (FaxViewForm == this) FaxViewForm = nullptr;
}

void TFaxViewForm::ShowFax(const std::string& fileName) {
  if (!fileName.empty()) SioFaxViewer1->SetFileName(fileName);
  show();
  raise();
  activateWindow();
}
