#include "app/DlgReadSaveData.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/StoredDataWindow.h"
#include "app/UiThread.h"
#include "link/BusShared.h"
#include "programming/Programmingdata.h"
#include "ui_DlgReadSaveData.h"

TReadSaveDataDlg* ReadSaveDataDlg = nullptr;

TReadSaveDataDlg::TReadSaveDataDlg(TAcquisitionState& state, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::TReadSaveDataDlg>()), state_(state) {
  ui->setupUi(this);
  ProgressSimulator = ui->ProgressSimulator;
  ReadStoreOutput = ui->ReadStoreOutput;
  btOK = ui->btOK;
  btAbbrechen = ui->btAbbrechen;
  connect(btOK, &QPushButton::clicked, this, [this] { btOKClick(); });
  connect(btAbbrechen, &QPushButton::clicked, this, [this] { btAbbrechenClick(); });
  if (!ReadSaveDataDlg) ReadSaveDataDlg = this;
}

TReadSaveDataDlg::~TReadSaveDataDlg() {
  if (own_) own_->Detach();
  if (ReadSaveDataDlg == this) ReadSaveDataDlg = nullptr;
}

TProgData* TReadSaveDataDlg::Transfer() {
  if (::ProgData && ::ProgData != own_.get()) return ::ProgData;
  if (!own_) own_ = std::make_unique<TProgData>();
  return own_.get();
}

bool TReadSaveDataDlg::StartRead() {
  TProgData* data = Transfer();
  if (data->Busy()) return false;
  if (Bus) data->Attach(*Bus, state_);
  TProgDataHooks& h = data->Hooks;
  h.StoreStatus = [this](const std::string& text) { ReadStoreOutput->setText(QString::fromStdString(text)); };
  h.EnableStoreOk = [this](bool enabled) { btOK->setEnabled(enabled); };
  h.ShowProgressPattern = [this](const std::string& pattern) {
    ProgressSimulator->setText(QString::fromStdString(pattern));
  };
  h.ShowStoredData = [this](const std::string& listing) {
    if (StoredData) StoredData->ShowListing(listing);
  };
  show();
  return data->StartStoredDataRead();
}

void TReadSaveDataDlg::btOKClick() { close(); }

void TReadSaveDataDlg::btAbbrechenClick() {
  ShowMessage(
      "Die \xC3\x9C"
      "bertragung der abgespeicherten Daten wird abgebrochen!",
      TMsgKind::Warning, "Daten lesen");
  LinkProcessMessages();
  Transfer()->CancelStoredDataRead();
}
