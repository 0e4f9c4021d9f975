// The standard protocol status window.
#include "transfer/ui/SioPStat.h"

#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <algorithm>

#include "serial/SioMisc.h"
#include "ui_ProtocolStatus.h"

namespace {

QString Num(std::int64_t v) { return QString::number(v); }

std::int32_t TicksToSecs(std::int32_t ticks) {
  return static_cast<std::int32_t>((static_cast<std::int64_t>(ticks) + 9) * 92 / 1675);
}

// A long file name shows its first 20 characters and "...".
QString ShortName(const std::string& path) {
  QString name = QString::fromStdString(JustFilename(path));
  if (name.size() > 20) name = name.left(20) + "...";
  return name;
}

}  // namespace

TStandardDisplay::TStandardDisplay(QWidget* parent) : QDialog(parent), ui(new Ui::TStandardDisplay) {
  ui->setupUi(this);
  psProtocol = ui->psProtocol;
  psBlockCheck = ui->psBlockCheck;
  psFileName = ui->psFileName;
  psFileSize = ui->psFileSize;
  psBlockSize = ui->psBlockSize;
  psTotalBlocks = ui->psTotalBlocks;
  psEstimatedTime = ui->psEstimatedTime;
  psElapsedTime = ui->psElapsedTime;
  psRemainingTime = ui->psRemainingTime;
  psBytesTransferred = ui->psBytesTransferred;
  psBytesRemaining = ui->psBytesRemaining;
  psBlocksTransferred = ui->psBlocksTransferred;
  psBlocksRemaining = ui->psBlocksRemaining;
  psBlockErrors = ui->psBlockErrors;
  psTotalErrors = ui->psTotalErrors;
  psStatusMsg = ui->psStatusMsg;
  psProgress = ui->psProgress;
  psCancel = ui->psCancel;
  psProgress->setRange(0, 100);
  connect(psCancel, &QPushButton::clicked, this, [this] { CancelClick(); });
}

TStandardDisplay::~TStandardDisplay() = default;

void TStandardDisplay::CancelClick() {
  if (Protocol) Protocol->CancelProtocol();
}

void TStandardDisplay::UpdateValues(TSioCustomProtocol& cp) {
  const std::int32_t length = cp.GetFileLength();
  const std::int32_t block = std::max<std::int32_t>(1, cp.GetBlockLength());
  const std::int32_t done = cp.GetBytesTransferred();
  const std::int32_t left = cp.GetBytesRemaining();
  psProtocol->setText(QString::fromStdString(ProtocolName(cp.GetProtocolType())));
  psBlockCheck->setText(QString::fromStdString(CheckNameString(cp.GetBlockCheckMethod())));
  psFileName->setText(ShortName(cp.GetFileName()));
  psFileSize->setText(Num(length));
  psBlockSize->setText(Num(block));
  psTotalBlocks->setText(Num((length + block - 1) / block));
  psEstimatedTime->setText(QString::fromStdString(FormatMinSec(cp.EstimateTransferSecs(length))));
  psElapsedTime->setText(QString::fromStdString(FormatMinSec(TicksToSecs(cp.GetElapsedTicks()))));
  psRemainingTime->setText(QString::fromStdString(FormatMinSec(cp.EstimateTransferSecs(left))));
  psBytesTransferred->setText(Num(done));
  psBytesRemaining->setText(Num(left));
  psBlocksTransferred->setText(Num(done / block));
  psBlocksRemaining->setText(Num((left + block - 1) / block));
  psBlockErrors->setText(Num(cp.GetBlockErrors()));
  psTotalErrors->setText(Num(cp.GetTotalErrors()));
  psStatusMsg->setText(QString::fromStdString(TSioCustomProtocol::StatusMsg(cp.GetProtocolStatus())));
  psProgress->setValue(
      length > 0 ? static_cast<int>(std::min<std::int64_t>(100, std::int64_t{done} * 100 / length)) : 0);
}

TSioProtocolStatus::TSioProtocolStatus(TSioComponentOwner* owner) : TSioAbstractStatus(owner) {
  InitDisplay();
}

TSioProtocolStatus::~TSioProtocolStatus() { DestroyDisplay(); }

void TSioProtocolStatus::CreateDisplay() {
  FDisplay = std::make_unique<TStandardDisplay>();
  FDisplay->Protocol = GetProtocol();
}

void TSioProtocolStatus::DestroyDisplay() { FDisplay.reset(); }

void TSioProtocolStatus::UpdateDisplay(bool first, bool last) {
  if (!FDisplay) return;
  TSioCustomProtocol* cp = GetProtocol();
  FDisplay->Protocol = cp;
  if (last) {
    if (cp) FDisplay->UpdateValues(*cp);
    FDisplay->hide();
    return;
  }
  if (cp) FDisplay->UpdateValues(*cp);
  if (first) {
    FDisplay->setWindowTitle(QString::fromStdString(GetCaption()));
    DisplayPosition(GetPosition());
    FDisplay->show();
  }
}

bool TSioProtocolStatus::ReadDisplay(TPosition& position, bool& ctl3d, bool& visible, std::string& caption) {
  if (!FDisplay) return false;
  position = poScreenCenter;
  ctl3d = true;
  visible = FDisplay->isVisible();
  caption = FDisplay->windowTitle().toStdString();
  return true;
}

void TSioProtocolStatus::DisplayPosition(TPosition position) {
  if (!FDisplay) return;
  if (position == poScreenCenter || position == poDesktopCenter) {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      QRect r = FDisplay->frameGeometry();
      r.moveCenter(screen->availableGeometry().center());
      FDisplay->move(r.topLeft());
    }
  }
}

void TSioProtocolStatus::DisplayVisible(bool visible) {
  if (FDisplay) FDisplay->setVisible(visible);
}

void TSioProtocolStatus::DisplayCaption(const std::string& caption) {
  if (FDisplay) FDisplay->setWindowTitle(QString::fromStdString(caption));
}

void TSioProtocolStatus::DisplayShow() {
  if (FDisplay) FDisplay->show();
}
