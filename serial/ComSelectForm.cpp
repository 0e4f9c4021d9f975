#include "serial/ComSelectForm.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>

#include "serial/ComSelect.h"
#include "ui_ComSelectForm.h"

TComSelectForm::TComSelectForm(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::TComSelectForm>()) {
  ui->setupUi(this);
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  PortsComboBox = ui->PortsComboBox;
  OkBtn = ui->OkBtn;
  AbortBtn = ui->AbortBtn;
  connect(OkBtn, &QPushButton::clicked, this, &QDialog::accept);
  connect(AbortBtn, &QPushButton::clicked, this, &QDialog::reject);
  FormCreate();
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    adjustSize();
    QRect r = frameGeometry();
    r.moveCenter(screen->availableGeometry().center());
    move(r.topLeft());
  }
}

TComSelectForm::~TComSelectForm() = default;

void TComSelectForm::FormCreate() {
  PortsComboBox->clear();
  for (std::uint16_t n = 1; n <= MaxComSelectPort; ++n)
    if (IsPortAvailable(n)) PortsComboBox->addItem(QStringLiteral("COM%1").arg(n));
  if (PortsComboBox->count() > 0) PortsComboBox->setCurrentIndex(0);
  // With nothing to choose only Cancel leaves the dialog.
  OkBtn->setEnabled(PortsComboBox->count() > 0);
}

std::string TComSelectForm::SelectedCom() const {
  if (PortsComboBox->currentIndex() < 0) return {};
  return PortsComboBox->currentText().toStdString();
}

std::uint16_t TComSelectForm::SelectedComNum() const {
  std::string text = SelectedCom();
  if (text.size() <= 3) return 0;
  bool ok = false;
  unsigned n = QString::fromStdString(text.substr(3)).toUInt(&ok, 10);
  return ok && n <= 0xFFFF ? static_cast<std::uint16_t>(n) : 0;
}

void InstallComSelectPrompt() {
  SetPortPromptHook([]() -> std::optional<std::uint16_t> {
    TComSelectForm form;
    if (form.exec() != QDialog::Accepted) return std::nullopt;
    std::uint16_t n = form.SelectedComNum();
    if (n == 0) return std::nullopt;
    return n;
  });
}
