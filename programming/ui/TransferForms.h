#pragma once
// The progress dialogs of the programming-data transfers and the debug window:
//   TReadDataRamForm  "Programmierdaten lesen": status edit Address, bar ReadProgress, buttons
//                     btReadDataOk and btReadDataAbbrechen (cancels the read);
//   TSendDataRamForm  "Programmierdaten senden": status edit Address, bar SendProgress, button
//                     btSendDataOK, and a second bar ProgressBar1 that nothing drives;
//   TDebugOutput      "DebugOutput": the memo Memo1 with the hex text of the last write.
// The dialogs have no system buttons and stay open until their transfer has ended: only
// their OK buttons, enabled at the end, close them.
#include <QDialog>
#include <QWidget>
#include <memory>

class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace Ui {
class TReadDataRamForm;
class TSendDataRamForm;
class TDebugOutput;
}  // namespace Ui

class TReadDataRamForm : public QDialog {
  Q_OBJECT
 public:
  explicit TReadDataRamForm(QWidget* parent = nullptr);
  ~TReadDataRamForm() override;

  QLineEdit* Address;
  QProgressBar* ReadProgress;
  QPushButton* btReadDataOk;
  QPushButton* btReadDataAbbrechen;

  // btReadDataAbbrechen enabled: the hourglass over the dialog, the arrow over the button.
  void SetButtons(bool cancelEnabled, bool okEnabled);
  void reject() override;

 private:
  std::unique_ptr<Ui::TReadDataRamForm> ui;
};

class TSendDataRamForm : public QDialog {
  Q_OBJECT
 public:
  explicit TSendDataRamForm(QWidget* parent = nullptr);
  ~TSendDataRamForm() override;

  QLineEdit* Address;
  QProgressBar* SendProgress;
  QProgressBar* ProgressBar1;
  QPushButton* btSendDataOK;

  void reject() override;

 private:
  std::unique_ptr<Ui::TSendDataRamForm> ui;
};

class TDebugOutput : public QWidget {
  Q_OBJECT
 public:
  explicit TDebugOutput(QWidget* parent = nullptr);
  ~TDebugOutput() override;

  QPlainTextEdit* Memo1;

 private:
  std::unique_ptr<Ui::TDebugOutput> ui;
};

extern TReadDataRamForm* ReadDataRamForm;
extern TSendDataRamForm* SendDataRamForm;
extern TDebugOutput* DebugOutput;
