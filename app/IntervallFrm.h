#pragma once
// The system settings dialog: the acquisition interval in minutes. It has no buttons in its
// title bar and is left only through "OK".
#include <QDialog>
#include <memory>

#include "link/BusShared.h"

class QLineEdit;

namespace Ui {
class TIntervallFrm;
}

class TIntervallFrm : public QDialog {
  Q_OBJECT
 public:
  // state: the main window's acquisition state, whose interval the dialog edits.
  explicit TIntervallFrm(TAcquisitionState& state, QWidget* parent = nullptr);
  ~TIntervallFrm() override;

  QLineEdit* MaskEdit1;

  void MaskEdit1Enter();
  // false when the text is no interval (reported; nothing changes).
  bool MaskEdit1Exit();
  void Button1Click();

  void reject() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  // The edit is the dialog's active control: showing the dialog enters it.
  void showEvent(QShowEvent* event) override;

 private:
  // The edited number of minutes; false (reported) when the text is none.
  bool EditedMinutes(int& minutes);

  TAcquisitionState& state_;
  std::unique_ptr<Ui::TIntervallFrm> ui;
  bool closing_ = false;
};

extern TIntervallFrm* IntervallFrm;
