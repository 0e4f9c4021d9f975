#include "app/IntervallFrm.h"

#include <QCloseEvent>
#include <QFocusEvent>
#include <QLineEdit>
#include <QPushButton>

#include "app/Localregistry.h"
#include "app/UiThread.h"
#include "platform/Text.h"
#include "ui_IntervallFrm.h"

TIntervallFrm* IntervallFrm = nullptr;

TIntervallFrm::TIntervallFrm(TAcquisitionState& state, QWidget* parent)
    : QDialog(parent), state_(state), ui(std::make_unique<Ui::TIntervallFrm>()) {
  ui->setupUi(this);
  // A title bar without buttons. A window manager that draws its buttons all the same (openbox
  // does) finds nothing to maximise, and a minimised dialog comes back at once (the keeping of
  // the windows on the screen sees to that).
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  setFixedSize(size().expandedTo(minimumSizeHint()));
  MaskEdit1 = ui->MaskEdit1;
  MaskEdit1->installEventFilter(this);
  MaskEdit1->setFocus();
  ui->Button1->setFocusPolicy(Qt::TabFocus);  // a click on OK does not leave the edit first
  connect(ui->Button1, &QPushButton::clicked, this, &TIntervallFrm::Button1Click);
  if (!IntervallFrm) IntervallFrm = this;
}

TIntervallFrm::~TIntervallFrm() {
  if (IntervallFrm == this) IntervallFrm = nullptr;
}

bool TIntervallFrm::eventFilter(QObject* watched, QEvent* event) {
  // Entering and leaving the edit within the dialog; the dialog losing or regaining the
  // active window (a message box, another program) is neither.
  if (watched == MaskEdit1 && (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut)) {
    const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
    if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
      if (event->type() == QEvent::FocusIn)
        MaskEdit1Enter();
      else if (!closing_)
        MaskEdit1Exit();
    }
  }
  return QDialog::eventFilter(watched, event);
}

bool TIntervallFrm::EditedMinutes(int& minutes) {
  const std::string text = MaskEdit1->text().toStdString();
  try {
    minutes = StrToInt(Trim(text));
  } catch (const EConvertError& e) {
    ShowMessage(e.what(), TMsgKind::Error);
    return false;
  }
  if (minutes < 0) {
    ShowMessage("'" + Trim(text) + "' ist kein gültiges Abfrageintervall", TMsgKind::Error);
    return false;
  }
  return true;
}

void TIntervallFrm::MaskEdit1Enter() {
  MaskEdit1->setText(QString::number(state_.GetIntervalSeconds() / 60));
}

bool TIntervallFrm::MaskEdit1Exit() {
  int minutes = 0;
  if (!EditedMinutes(minutes)) return false;
  state_.SetIntervalSeconds(minutes * 60);
  return true;
}

void TIntervallFrm::Button1Click() {
  int minutes = 0;
  if (!EditedMinutes(minutes)) return;
  state_.SetIntervalSeconds(minutes * 60);
  WriteInterval(minutes);
  closing_ = true;
  accept();
  closing_ = false;
}

void TIntervallFrm::reject() {}

void TIntervallFrm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  MaskEdit1->setFocus(Qt::OtherFocusReason);
  MaskEdit1Enter();
}

void TIntervallFrm::closeEvent(QCloseEvent* event) {
  if (!closing_) event->ignore();
}
