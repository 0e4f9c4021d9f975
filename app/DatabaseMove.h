#pragma once
// The database move dialog: asks for the tables and the place to move them to. The main
// window merges the temporary tables before it; closing the dialog starts the acquisition
// again.
#include <QDialog>
#include <functional>
#include <memory>

class QFileDialog;

namespace Ui {
class TDatabaseMoveForm;
}

class TDatabaseMoveForm : public QDialog {
  Q_OBJECT
 public:
  explicit TDatabaseMoveForm(QWidget* parent = nullptr);
  ~TDatabaseMoveForm() override;

  // Made when first asked for: a file dialog lists and watches its directory from the moment
  // it exists, and this dialog lives as long as the program.
  QFileDialog* OpenDialog1();
  QFileDialog* SaveDialog1();
  // Starts a new acquisition thread (installed by the main window).
  std::function<void()> StartAcquisition;

  void Button1Click();

 protected:
  void showEvent(QShowEvent* event) override;
  void done(int result) override;

 private:
  std::unique_ptr<Ui::TDatabaseMoveForm> ui;
  QFileDialog* openDialog_ = nullptr;
  QFileDialog* saveDialog_ = nullptr;
};

extern TDatabaseMoveForm* DatabaseMoveForm;
