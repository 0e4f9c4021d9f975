#pragma once
// The standard protocol status window: a status display (TSioAbstractStatus) that shows the
// form TStandardDisplay while a transfer runs and fills it from the protocol component on
// every status notice. Its Cancel button cancels the transfer.
#include <QDialog>
#include <memory>

#include "transfer/SioProtocol.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace Ui {
class TStandardDisplay;
}

class TStandardDisplay : public QDialog {
  Q_OBJECT
 public:
  explicit TStandardDisplay(QWidget* parent = nullptr);
  ~TStandardDisplay() override;

  // Fills the labels from the component's values.
  void UpdateValues(TSioCustomProtocol& protocol);
  void CancelClick();

  TSioCustomProtocol* Protocol = nullptr;
  QLabel *psProtocol, *psBlockCheck, *psFileName, *psFileSize, *psBlockSize, *psTotalBlocks;
  QLabel *psEstimatedTime, *psElapsedTime, *psRemainingTime;
  QLabel *psBytesTransferred, *psBytesRemaining, *psBlocksTransferred, *psBlocksRemaining;
  QLabel *psBlockErrors, *psTotalErrors, *psStatusMsg;
  QProgressBar* psProgress;
  QPushButton* psCancel;

 private:
  std::unique_ptr<Ui::TStandardDisplay> ui;
};

class TSioProtocolStatus : public TSioAbstractStatus {
 public:
  explicit TSioProtocolStatus(TSioComponentOwner* owner = nullptr);
  ~TSioProtocolStatus() override;

  void CreateDisplay() override;
  void DestroyDisplay() override;
  // first: bound to the protocol and shown; last: hidden; otherwise the values are updated.
  void UpdateDisplay(bool first, bool last) override;

  TStandardDisplay* Display() const { return FDisplay.get(); }

 protected:
  bool ReadDisplay(TPosition& position, bool& ctl3d, bool& visible, std::string& caption) override;
  void DisplayPosition(TPosition) override;
  void DisplayVisible(bool visible) override;
  void DisplayCaption(const std::string& caption) override;
  void DisplayShow() override;

 private:
  std::unique_ptr<TStandardDisplay> FDisplay;
};
