#include "app/KorvidanVersionForm.h"

#include <QApplication>
#include <QPushButton>

#include "ui_KorvidanVersionForm.h"

TTKorvidanVersionForm* TKorvidanVersion = nullptr;

TTKorvidanVersionForm::TTKorvidanVersionForm(TDataModule1& bus, TAcquisitionState& state, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      Query(bus, state),
      ui(std::make_unique<Ui::TTKorvidanVersion>()) {
  ui->setupUi(this);
  OkButton = ui->OkButton;
  dm_beenden = ui->dm_beenden;
  verzichten = ui->verzichten;

  Query.Hooks.SetOkEnabled = [this](bool on) { OkButton->setEnabled(on); };
  Query.Hooks.ShowVerzichten = [this] { verzichten->show(); };
  Query.Hooks.CloseDialog = [this] {
    if (isVisible()) done(QDialog::Accepted);
  };
  Query.Hooks.Terminate = [] { QApplication::exit(0); };

  connect(OkButton, &QPushButton::clicked, this, [this] { Query.OkButtonClick(); });
  connect(verzichten, &QPushButton::clicked, this, [this] { Query.verzichtenClick(); });
  connect(dm_beenden, &QPushButton::clicked, this, [this] { Query.dm_beendenClick(); });
  if (!TKorvidanVersion) TKorvidanVersion = this;
}

TTKorvidanVersionForm::~TTKorvidanVersionForm() {
  if (TKorvidanVersion == this) TKorvidanVersion = nullptr;
}

void TTKorvidanVersionForm::reject() {}
