#pragma once
// The choice of a sensor's alarm action: "Fax", "Anruf", "Alarm" or "nur markieren".
//
// Opened by a double click on the "Aktion" column of the alarm configuration. Showing it
// checks the button of the row's present action; hiding it (its "OK" or its window's close
// button) writes the checked action into that row.
#include <QDialog>
#include <functional>
#include <memory>
#include <string>

class QComboBox;
class QLineEdit;
class QRadioButton;

namespace Ui {
class TDialogAktion;
}

class TDialogAktion : public QDialog {
  Q_OBJECT
 public:
  explicit TDialogAktion(QWidget* parent = nullptr);
  ~TDialogAktion() override;

  QRadioButton* FaxButton;
  QRadioButton* AnrufButton;
  QRadioButton* AlarmButton;
  QRadioButton* NurMarkierenButton;
  QLineEdit* MaskEdit1;
  QLineEdit* MaskEdit2;
  QComboBox* cbWochentag;

  // The action code (0 Fax .. 3 nur markieren) of the row the dialog works on.
  std::function<int()> CurrentActionCode;
  // Writes the chosen action text into that row.
  std::function<void(const std::string& action)> WriteAction;

  // Checks the button of CurrentActionCode.
  void FormActivate();
  // Writes the checked button's text through WriteAction (nothing when none is checked).
  void FormHide();
  // "OK": hides the dialog.
  void Button1Click();

  // The action text of the checked button; empty when none is checked.
  std::string CheckedAction() const;

 protected:
  void showEvent(QShowEvent* e) override;
  void hideEvent(QHideEvent* e) override;

 private:
  std::unique_ptr<Ui::TDialogAktion> ui;
};

extern TDialogAktion* DialogAktion;
