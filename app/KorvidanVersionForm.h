#pragma once
// The firmware version dialog: asks whether to query the controller's firmware version and
// runs the query (link/KorvidanVersion.h) when OK is pressed. It has no close button; it is
// closed by the query's end or by "Auf Menüpunkt verzichten !".
#include <QDialog>
#include <memory>

#include "link/KorvidanVersion.h"

class QPushButton;

namespace Ui {
class TTKorvidanVersion;
}

class TTKorvidanVersionForm : public QDialog {
  Q_OBJECT
 public:
  TTKorvidanVersionForm(TDataModule1& bus, TAcquisitionState& state, QWidget* parent = nullptr);
  ~TTKorvidanVersionForm() override;

  // The dialog's logic and state (FFirmwareVersion, the query flags).
  TTKorvidanVersion Query;

  QPushButton* OkButton;
  QPushButton* dm_beenden;
  QPushButton* verzichten;

  // The escape key does not close the dialog.
  void reject() override;

 private:
  std::unique_ptr<Ui::TTKorvidanVersion> ui;
};

extern TTKorvidanVersionForm* TKorvidanVersion;
