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
  const std::string file = fileName.empty() ? SioFaxViewer1->GetFileName() : fileName;
  // The file is read before the form shows, so that one that cannot be shown raises here,
  // for the caller (not in the viewer's first show); a file of the name shown before is
  // read again, as it may have been written anew.
  if (file == SioFaxViewer1->GetFileName()) SioFaxViewer1->SetFileName({});
  SioFaxViewer1->SetFileName(file);
  show();
  raise();
  activateWindow();
}
