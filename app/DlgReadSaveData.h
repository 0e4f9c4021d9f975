#pragma once
// The progress dialog of a stored-data read: the moving pattern while the listing comes in,
// the transfer's status texts, "OK" (enabled once the read has ended) and "Abbrechen".
//
// The read itself is the programming-data transfer object's (ProgData); this dialog starts
// it and receives its status, pattern and the cut listing, which goes to the stored-data
// window.
#include <QDialog>
#include <memory>

class QLabel;
class QLineEdit;
class QPushButton;
class TAcquisitionState;
class TDataModule1;
class TProgData;
class TStoredDataForm;

namespace Ui {
class TReadSaveDataDlg;
}

class TReadSaveDataDlg : public QDialog {
  Q_OBJECT
 public:
  explicit TReadSaveDataDlg(TAcquisitionState& state, QWidget* parent = nullptr);
  ~TReadSaveDataDlg() override;

  QLabel* ProgressSimulator;
  QLineEdit* ReadStoreOutput;
  QPushButton* btOK;
  QPushButton* btAbbrechen;

  // The bus module the read goes through, and the window that shows the listing.
  TDataModule1* Bus = nullptr;
  TStoredDataForm* StoredData = nullptr;

  // "gespeicherte Daten lesen": shows the dialog and starts the read. False when it could
  // not start (reported) or another transfer runs.
  bool StartRead();
  // The transfer object the read goes through (the application's, else one of its own).
  TProgData* Transfer();

  void btOKClick();
  void btAbbrechenClick();

 private:
  std::unique_ptr<Ui::TReadSaveDataDlg> ui;
  TAcquisitionState& state_;
  std::unique_ptr<TProgData> own_;
};

extern TReadSaveDataDlg* ReadSaveDataDlg;
