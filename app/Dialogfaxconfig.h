#pragma once
// The fax header dialog: header line, recipient, sender and fax number of the alarm fax.
// The values live in the send-fax component only, for the run.
#include <QDialog>
#include <memory>

class QLineEdit;
class TSioCustomSendFax;

namespace Ui {
class TFaxConfigFrm;
}

class TFaxConfigFrm : public QDialog {
  Q_OBJECT
 public:
  explicit TFaxConfigFrm(QWidget* parent = nullptr);
  ~TFaxConfigFrm() override;

  // The send-fax component the dialog edits (the fax module's).
  TSioCustomSendFax* SendFax = nullptr;

  QLineEdit* edKopfzeile;
  QLineEdit* edEmpfaenger;
  QLineEdit* edSender;
  QLineEdit* edFaxNumber;

  // Fills the edits from the component.
  void FormActivate();
  // Writes the edits back into the component.
  void FormClose();
  void Button1Click();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 public:
  void done(int result) override;

 private:
  std::unique_ptr<Ui::TFaxConfigFrm> ui;
};

extern TFaxConfigFrm* FaxConfigFrm;
