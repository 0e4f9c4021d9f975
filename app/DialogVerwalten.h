#pragma once
// The controllers on the bus with their addresses and names, and the renaming of one.
//
// A new name goes to the controller with the rename command. It has to survive the bus and
// the application's use of the name: at most 24 characters, each with a Windows-1252 byte,
// no control characters, not empty, and no "/" or "\" (the name is the base of the
// controller's table files). Any other name is refused with a message and nothing is sent.
#include <QDialog>
#include <functional>
#include <memory>
#include <string>

#include "link/Tkorvidan.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace Ui {
class TForm4;
}

// Empty when the name can be given to a controller, else why not.
std::string CheckControllerName(const std::string& name);

class TForm4 : public QDialog {
  Q_OBJECT
 public:
  explicit TForm4(QWidget* parent = nullptr);
  ~TForm4() override;

  QLabel* AddressLabel;
  QListWidget* AddressBox;
  QListWidget* IDBox;
  QPushButton* Modify;
  QLineEdit* EditID;
  QPushButton* OKBtn;

  // Answers the confirmation instead of a box (tests).
  static std::function<bool(const std::string& text)> ConfirmSink;

  // Lists the controllers, selects the first and shows the dialog.
  void ShowDevices(TControllerList& list);
  void AddressBoxClick();
  void IDBoxClick();
  // Asks, then renames the selected controller to the text of EditID.
  void ModifyClick();
  void OKBtnClick();

 private:
  void SelectLine(int line);
  bool Confirm(const std::string& text);

  std::unique_ptr<Ui::TForm4> ui;
  TControllerList* list_ = nullptr;
};

extern TForm4* Form4;
