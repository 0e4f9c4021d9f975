// The standard fax status window.
#include "fax/ui/SioFStat.h"

#include <QLabel>
#include <QPushButton>
#include <cmath>
#include <cstdio>

#include "fax/ui/OnScreen.h"
#include "fax/ui/SioMeter.h"
#include "platform/Text.h"
#include "ui_StandardFaxDisplay.h"

namespace {
QString Q(const std::string& text) { return QString::fromStdString(Cp1252ToUtf8(text)); }
QString Num(long long v) { return QString::number(v); }
}  // namespace

std::string FaxStatusTime(std::int32_t seconds) {
  if (seconds < 0) seconds = 0;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d:%02d", seconds / 60, seconds % 60);
  std::string s = buf;
  if (s.size() < 6) s.insert(0, 6 - s.size(), ' ');
  return s;
}

std::string FaxStatusFileName(const std::string& path) {
  std::size_t cut = path.find_last_of("/\\:");
  std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
  if (name.size() > 20) name = name.substr(0, 20) + "...";
  return name;
}

// ---------------------------------------------------------------------------------------
// The form

TStandardFaxDisplay::TStandardFaxDisplay(QWidget* parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TStandardFaxDisplay>()) {
  ui->setupUi(this);
  fsPanel1 = ui->fsPanel1;
  fsPanel6 = ui->fsPanel6;
  fsPhoneNumber = ui->fsPhoneNumber;
  fsFaxFileName = ui->fsFaxFileName;
  fsCoverFileName = ui->fsCoverFileName;
  fsTotalPages = ui->fsTotalPages;
  fsDialAttempt = ui->fsDialAttempt;
  fsRemoteID = ui->fsRemoteID;
  fsConnectBPS = ui->fsConnectBPS;
  fsResolution = ui->fsResolution;
  fsWidth = ui->fsWidth;
  fsErrorControl = ui->fsErrorControl;
  fsCurrentPage = ui->fsCurrentPage;
  fsPageLength = ui->fsPageLength;
  fsBytesTransferred = ui->fsBytesTransferred;
  fsElapsedTime = ui->fsElapsedTime;
  fsStatusMsg = ui->fsStatusMsg;
  fsLabel19 = ui->fsLabel19;
  fsCancel = ui->fsCancel;
  Meter = new TSioMeter(fsPanel6);
  Meter->SetBounds(99, 7, 406, 20);
  Meter->SetPosition(0);
  Meter->SetStep(10);
  connect(fsCancel, &QPushButton::clicked, this, [this] { CancelClick(); });
  KeepWindowsOnScreen();
}

TStandardFaxDisplay::~TStandardFaxDisplay() = default;

void TStandardFaxDisplay::Restart() {
  elapsedRunning_ = false;
  redialRunning_ = false;
}

void TStandardFaxDisplay::CancelClick() {
  if (Fax != nullptr) Fax->CancelFax();
}

void TStandardFaxDisplay::UpdateValues(TSioCustomAbstractFax* fax) {
  if (fax == nullptr) return;
  const int progress = fax->GetFaxProgress();
  // 1. The elapsed time runs from the connection to the end.
  if (!elapsedRunning_ && (progress == fpSessionParams || progress == fpGotRemoteID)) {
    NewTimer(elapsed_, 0);
    elapsedRunning_ = true;
  } else if (elapsedRunning_ && (progress == fpFinished || progress == fpCancel || progress == fpGotHangup)) {
    elapsedRunning_ = false;
  }
  // 2. The count-down to the next dial.
  auto* send = dynamic_cast<TSioCustomSendFax*>(fax);
  if (!redialRunning_ && progress == fpBusyWait) {
    NewTimer(redial_, Secs2Ticks(send != nullptr ? send->GetDialRetryWait() : 0));
    redialRunning_ = true;
  } else if (redialRunning_ && progress != fpBusyWait) {
    redialRunning_ = false;
  }
  // 3. The call.
  if (send != nullptr) {
    fsPhoneNumber->setText(Q(send->GetPhoneNumber()));
    fsFaxFileName->setText(Q(FaxStatusFileName(send->GetFaxFile())));
    fsCoverFileName->setText(Q(FaxStatusFileName(send->GetCoverFile())));
    fsDialAttempt->setText(Num(send->GetDialAttempt()));
  } else {
    fsPhoneNumber->clear();
    fsFaxFileName->setText(Q(FaxStatusFileName(fax->GetFaxFile())));
    fsCoverFileName->clear();
    fsDialAttempt->setText(QStringLiteral("1"));
  }
  // 4. The session.
  fsTotalPages->setText(Num(fax->GetTotalPages()));
  fsRemoteID->setText(Q(fax->GetRemoteID()));
  fsConnectBPS->setText(Num(fax->GetSessionBPS()));
  fsResolution->setText(fax->GetSessionResolution() ? QStringLiteral("high") : QStringLiteral("standard"));
  fsWidth->setText(fax->GetSessionWidth() ? QStringLiteral("2048") : QStringLiteral("1728"));
  fsErrorControl->setText(fax->GetSessionECM() ? QStringLiteral("on") : QStringLiteral("off"));
  // 5. The page.
  const int page = fax->GetCurrentPage();
  fsCurrentPage->setText(page == 0 ? QStringLiteral("<cover page>") : Num(page));
  const std::int32_t length = fax->GetPageLength();
  const std::int32_t bytes = fax->GetBytesTransferred();
  fsPageLength->setText(Num(length));
  fsBytesTransferred->setText(Num(bytes));
  // 6. and 7. Times and the status text.
  fsElapsedTime->setText(elapsedRunning_
                             ? Q(FaxStatusTime(static_cast<std::int32_t>(ElapsedTimeInSecs(elapsed_))))
                             : QStringLiteral("00:00"));
  std::string status = TSioCustomAbstractFax::StatusMsg(progress);
  if (progress == fpBusyWait && redialRunning_)
    status += FaxStatusTime(static_cast<std::int32_t>(RemainingTimeInSecs(redial_)));
  fsStatusMsg->setText(Q(status));
  // 8. The page progress, for a send.
  if (send != nullptr) {
    Meter->setVisible(true);
    Meter->SetMax(100);
    Meter->SetPosition(length > 0 ? static_cast<int>(std::lround(100.0 * bytes / length)) : 0);
    fsLabel19->setText(QStringLiteral("Page progress:"));
  } else {
    Meter->setVisible(false);
    fsLabel19->setText(QStringLiteral("Page progress: N/A"));
  }
}

// ---------------------------------------------------------------------------------------
// The component

TSioFaxStatus::TSioFaxStatus(TSioComponentOwner* owner) : TSioAbstractFaxStatus(owner) {
  SetCaption("Fax Status");
  CreateDisplay();
}

TSioFaxStatus::~TSioFaxStatus() { DestroyDisplay(); }

void TSioFaxStatus::CreateDisplay() {
  if (FDisplay != nullptr) return;
  FDisplay = new TStandardFaxDisplay();
  FDisplay->Fax = GetFax();
  ApplyToDisplay();
}

void TSioFaxStatus::DestroyDisplay() {
  delete FDisplay;
  FDisplay = nullptr;
}

void TSioFaxStatus::ApplyToDisplay() {
  if (FDisplay == nullptr) return;
  FDisplay->setWindowTitle(QString::fromStdString(Cp1252ToUtf8(GetCaption())));
  FDisplay->setVisible(GetVisible());
}

void TSioFaxStatus::ShowDisplay() {
  if (FDisplay == nullptr) CreateDisplay();
  FDisplay->show();
  FDisplay->raise();
}

void TSioFaxStatus::UpdateDisplay(bool First, bool Last) {
  if (FDisplay == nullptr) return;
  if (First) {
    FDisplay->Fax = GetFax();
    FDisplay->Restart();
    FDisplay->show();
    return;
  }
  if (Last) {
    FDisplay->hide();
    return;
  }
  FDisplay->UpdateValues(GetFax());
}
