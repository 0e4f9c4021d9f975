#pragma once
// The fax view form: one fax viewer filling the window, set to the fax image file
// "korvidan.fxf". Created once; reached through FaxViewForm.
#include <QWidget>
#include <memory>
#include <string>

class TSioFaxViewer;

namespace Ui {
class TFaxViewForm;
}

class TFaxViewForm : public QWidget {
  Q_OBJECT
 public:
  explicit TFaxViewForm(QWidget* parent = nullptr);
  ~TFaxViewForm() override;

  TSioFaxViewer* SioFaxViewer1;

  // Shows the form with a fax file (an empty name keeps the file set): the viewer loads
  // it (again, when it is the file shown before), a file that cannot be shown raises the
  // library's exception for its error before the form shows, and the form is brought to
  // the front.
  void ShowFax(const std::string& fileName = {});

 private:
  std::unique_ptr<Ui::TFaxViewForm> ui;
};

// The one fax view form of the application (null until it is made).
extern TFaxViewForm* FaxViewForm;
