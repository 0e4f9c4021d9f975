// The call-progress window, its status display, the device selection dialog and the
// telephony service's own dialogs.
#include "fax/ui/Swtapidsp.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>

#include "fax/ui/OnScreen.h"
#include "platform/Messages.h"
#include "platform/Telephony.h"
#include "platform/Text.h"
#include "serial/ComSelect.h"
#include "ui_DeviceSelectionForm.h"
#include "ui_SioTapiDisplay.h"

namespace {

QString FromAnsi(const std::string& s) { return QString::fromStdString(Cp1252ToUtf8(s)); }

std::string TwoDigits(unsigned v) {
  std::string s = std::to_string(v);
  return s.size() < 2 ? "0" + s : s;
}

void CenterOnScreen(QWidget* w) {
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect r = w->frameGeometry();
    r.moveCenter(screen->availableGeometry().center());
    w->move(r.topLeft());
  }
}

constexpr const char* kDirectToCom = "Direct to COM";

}  // namespace

// ---------------------------------------------------------------------------------------
// Call progress
// ---------------------------------------------------------------------------------------

TSioStandardTapiDisplay::TSioStandardTapiDisplay(QWidget* parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TSioStandardTapiDisplay>()) {
  ui->setupUi(this);
  dpLabel1 = ui->dpLabel1;
  dpLabel2 = ui->dpLabel2;
  dpLabel3 = ui->dpLabel3;
  dpLabel4 = ui->dpLabel4;
  dpDialing = ui->dpDialing;
  dpUsing = ui->dpUsing;
  dpAttempt = ui->dpAttempt;
  dpTotalAttempts = ui->dpTotalAttempts;
  dpCancel = ui->dpCancel;
  dpStat = {ui->dpStat1, ui->dpStat2, ui->dpStat3, ui->dpStat4, ui->dpStat5,
            ui->dpStat6, ui->dpStat7, ui->dpStat8, ui->dpStat9};
  connect(dpCancel, &QPushButton::clicked, this, [this] { dpCancelClick(); });
  KeepWindowsOnScreen();
}

TSioStandardTapiDisplay::~TSioStandardTapiDisplay() = default;

void TSioStandardTapiDisplay::Mode(const std::string& text) { dpLabel1->setText(FromAnsi(text)); }

void TSioStandardTapiDisplay::ClearStatusMessages() {
  for (QLabel* l : dpStat) l->clear();
  dpDialing->clear();
  dpUsing->clear();
  FCount = 0;
  FReplaceLast = false;
}

void TSioStandardTapiDisplay::AddStatusLine(const std::string& text) {
  ++FCount;
  if (FCount > dpStat.size()) {
    for (std::size_t i = 0; i + 1 < dpStat.size(); ++i) dpStat[i]->setText(dpStat[i + 1]->text());
    FCount = static_cast<std::uint16_t>(dpStat.size());
  }
  dpStat[FCount - 1]->setText(FromAnsi(text));
}

void TSioStandardTapiDisplay::UpdateStatusLine(const std::string& text) {
  if (FCount == 0) {
    AddStatusLine(text);
    return;
  }
  dpStat[FCount - 1]->setText(FromAnsi(text));
}

void TSioStandardTapiDisplay::ShowUsing(TSioCustomTapiDevice* device) {
  dpUsing->setText(FromAnsi(device->GetSelectedDevice()));
}

void TSioStandardTapiDisplay::ShowCall(TSioCustomTapiDevice* device, bool answering) {
  Mode(answering ? "Answering -" : "Dialing:");
  ShowUsing(device);
  if (device->GetDialMode()) dpDialing->setText(FromAnsi(device->GetNumber()));
}

void TSioStandardTapiDisplay::UpdateValues(TSioCustomTapiDevice* device, std::uint32_t, std::uint32_t Message,
                                           std::uint32_t Param1, std::uint32_t Param2, std::uint32_t) {
  if (device == nullptr) return;
  ShowUsing(device);
  if (device->GetDialMode()) {
    dpDialing->setText(FromAnsi(device->GetNumber()));
    dpAttempt->setText(QString::fromStdString(TwoDigits(device->GetAttempt())));
    dpTotalAttempts->setText(QString::fromStdString(TwoDigits(device->GetMaxAttempts())));
  } else {
    dpDialing->setText(FromAnsi("Caller ID: " + device->GetCallerID()));
    dpAttempt->setText("1");
    dpTotalAttempts->setText("1");
  }
  const std::string text = device->TapiStatusMsg(Message, Param1, Param2);
  // Proceeding and the retry count-down repeat: they rewrite their line.
  const bool repeating = Param1 == 0x200 || Param1 == 8;
  if (repeating && FReplaceLast)
    UpdateStatusLine(text);
  else
    AddStatusLine(text);
  FReplaceLast = repeating;
}

void TSioStandardTapiDisplay::dpCancelClick() {
  if (TapiDevice != nullptr) TapiDevice->CancelCall();
}

TSioTapiStatus::TSioTapiStatus(TSioComponentOwner* owner) : TSioAbstractTapiStatus(owner) { CreateDisplay(); }

TSioTapiStatus::~TSioTapiStatus() { DestroyDisplay(); }

void TSioTapiStatus::CreateDisplay() {
  FDisplay = std::make_unique<TSioStandardTapiDisplay>();
  FDisplay->TapiDevice = GetTapiDevice();
  FDisplay->setWindowTitle(QString::fromStdString(GetCaption()));
  FVisible = FDisplay->isVisible();
  FCaption = FDisplay->windowTitle().toStdString();
}

void TSioTapiStatus::DestroyDisplay() { FDisplay.reset(); }

void TSioTapiStatus::ApplyPosition() {
  if (FDisplay && (FPosition == poScreenCenter || FPosition == poDesktopCenter))
    CenterOnScreen(FDisplay.get());
}

void TSioTapiStatus::ApplyVisible() {
  if (!FDisplay) return;
  if (FVisible) {
    // A quiet call (the alarm fax's pass-through) gets no updates: the window shown for it
    // names the call all the same.
    if (TSioCustomTapiDevice* device = GetTapiDevice()) FDisplay->ShowCall(device, GetAnswering());
    ApplyPosition();
    FDisplay->show();
  } else {
    FDisplay->hide();
  }
}

void TSioTapiStatus::ApplyCaption() {
  if (FDisplay) FDisplay->setWindowTitle(QString::fromStdString(FCaption));
}

void TSioTapiStatus::UpdateDisplay(bool First, bool Last, std::uint32_t Device, std::uint32_t Message,
                                   std::uint32_t Param1, std::uint32_t Param2, std::uint32_t Param3) {
  if (!FDisplay) return;
  if (First) {
    FDisplay->TapiDevice = GetTapiDevice();
    FDisplay->ClearStatusMessages();
    FDisplay->Mode(GetAnswering() ? "Answering -" : "Dialing:");
    SetVisible(true);
    return;
  }
  if (Last) {
    SetVisible(false);
    return;
  }
  if (!FDisplay->isVisible()) SetVisible(true);
  FDisplay->UpdateValues(GetTapiDevice(), Device, Message, Param1, Param2, Param3);
}

// ---------------------------------------------------------------------------------------
// Device selection
// ---------------------------------------------------------------------------------------

TDeviceSelectionForm::TDeviceSelectionForm(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::TDeviceSelectionForm>()) {
  ui->setupUi(this);
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  dsfComboBox = ui->dsfComboBox;
  dsfOkBitBtn = ui->dsfOkBitBtn;
  dsfCancelBitBtn = ui->dsfCancelBitBtn;
  connect(dsfOkBitBtn, &QPushButton::clicked, this, [this] { dsfOkBitBtnClick(); });
  connect(dsfCancelBitBtn, &QPushButton::clicked, this, &QDialog::reject);
}

TDeviceSelectionForm::~TDeviceSelectionForm() = default;

void TDeviceSelectionForm::EnumTapiPorts() {
  const TStringList names = EnumTapiLineNames();
  for (int i = 0; i < names.Count(); ++i) FEntries.Add(Cp1252ToUtf8(names[i]));
}

void TDeviceSelectionForm::EnumComPorts() {
  for (std::uint16_t n = 1; n <= MaxComSelectPort; ++n) {
    if (IsPortAvailable(n)) FEntries.Add(kDirectToCom + std::to_string(n));
    QApplication::processEvents();
    ProcessMessages();
  }
}

void TDeviceSelectionForm::EnumAllPorts() {
  if (ShowTapiDevices) EnumTapiPorts();
  if (ShowPorts) EnumComPorts();
}

void TDeviceSelectionForm::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  FormShow();
}

void TDeviceSelectionForm::FormShow() {
  if (FFilled) return;
  FFilled = true;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  FEntries.Clear();
  EnumAllPorts();
  QApplication::restoreOverrideCursor();
  dsfComboBox->clear();
  for (int i = 0; i < FEntries.Count(); ++i) dsfComboBox->addItem(QString::fromStdString(FEntries[i]));
  int index = -1;
  if (TapiMode == tmOff)
    index = dsfComboBox->findText(QString::fromStdString(kDirectToCom + std::to_string(ComNumber)));
  if (index < 0) index = dsfComboBox->findText(QString::fromStdString(DeviceName));
  if (index < 0 && dsfComboBox->count() > 0) index = 0;
  dsfComboBox->setCurrentIndex(index);
}

void TDeviceSelectionForm::dsfOkBitBtnClick() {
  // Nothing to choose is no choice.
  if (dsfComboBox->currentIndex() < 0) {
    reject();
    return;
  }
  const std::string chosen = dsfComboBox->currentText().toStdString();
  DeviceName = chosen;
  if (chosen.find(kDirectToCom) != std::string::npos) {
    TapiMode = tmOff;
    unsigned n = 0;
    for (char c : chosen.substr(std::min<std::size_t>(chosen.size(), 13)))
      if (c >= '0' && c <= '9' && n <= 6553) n = n * 10 + static_cast<unsigned>(c - '0');
    ComNumber = static_cast<std::uint16_t>(n);
  } else {
    TapiMode = tmAuto;
    ComNumber = 0;
  }
  accept();
}

// ---------------------------------------------------------------------------------------
// The telephony service's dialogs
// ---------------------------------------------------------------------------------------

namespace {

QWidget* OwnerWidget(DWORD_PTR) { return QApplication::activeWindow(); }

bool EditLineDialog(DWORD_PTR owner, TTelephonyLine& line) {
  QDialog d(OwnerWidget(owner));
  d.setWindowTitle(QString::fromStdString(Cp1252ToUtf8(line.Name)));
  auto* form = new QFormLayout(&d);
  auto* com = new QSpinBox(&d);
  com->setRange(1, MaxComSelectPort);
  com->setValue(line.ComNumber);
  auto* init = new QLineEdit(QString::fromStdString(line.Init), &d);
  auto* callerId = new QLineEdit(QString::fromStdString(line.CallerID), &d);
  auto* baud = new QComboBox(&d);
  for (int b : {9600, 19200, 38400, 57600, 115200}) baud->addItem(QString::number(b));
  baud->setCurrentText(QString::number(line.Baud));
  auto* voice = new QCheckBox(&d);
  voice->setChecked(line.Voice);
  form->addRow("Port (COM):", com);
  form->addRow("Init string:", init);
  form->addRow("Caller ID:", callerId);
  form->addRow("Baud rate:", baud);
  form->addRow("Voice modem:", voice);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &d);
  form->addRow(buttons);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &d, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &d, &QDialog::reject);
  if (d.exec() != QDialog::Accepted) return false;
  line.ComNumber = static_cast<std::uint16_t>(com->value());
  line.Init = init->text().toStdString();
  line.CallerID = callerId->text().toStdString();
  line.Baud = baud->currentText().toUInt();
  line.Voice = voice->isChecked();
  return true;
}

bool EditLocationDialog(DWORD_PTR owner, const std::string& address, TDialingLocation& loc) {
  QDialog d(OwnerWidget(owner));
  d.setWindowTitle("Dialing Properties");
  auto* form = new QFormLayout(&d);
  auto* country = new QSpinBox(&d);
  country->setRange(1, 999);
  country->setValue(static_cast<int>(loc.CountryCode));
  auto* area = new QLineEdit(QString::fromStdString(loc.AreaCode), &d);
  auto* outside = new QLineEdit(QString::fromStdString(loc.OutsideLine), &d);
  auto* longDistance = new QLineEdit(QString::fromStdString(loc.LongDistance), &d);
  auto* international = new QLineEdit(QString::fromStdString(loc.International), &d);
  auto* waiting = new QLineEdit(QString::fromStdString(loc.CancelCallWaiting), &d);
  if (!address.empty())
    form->addRow("Number:", new QLabel(QString::fromStdString(Cp1252ToUtf8(address)), &d));
  form->addRow("Country code:", country);
  form->addRow("Area code:", area);
  form->addRow("Outside line:", outside);
  form->addRow("Long distance:", longDistance);
  form->addRow("International:", international);
  form->addRow("Disable call waiting:", waiting);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &d);
  form->addRow(buttons);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &d, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &d, &QDialog::reject);
  if (d.exec() != QDialog::Accepted) return false;
  loc.CountryCode = static_cast<std::uint32_t>(country->value());
  loc.AreaCode = area->text().toStdString();
  loc.OutsideLine = outside->text().toStdString();
  loc.LongDistance = longDistance->text().toStdString();
  loc.International = international->text().toStdString();
  loc.CancelCallWaiting = waiting->text().toStdString();
  return true;
}

}  // namespace

void InstallTapiWindows() {
  SetDeviceSelectionHook([](const TDeviceSelectionRequest& request) {
    // Owned by the window the user works in, so that it stands above it while it runs.
    TDeviceSelectionForm form(QApplication::activeWindow());
    form.ShowTapiDevices = request.ShowLines;
    form.ShowPorts = request.ShowPorts;
    form.TapiMode = request.Mode;
    form.ComNumber = request.ComNumber;
    form.DeviceName = Cp1252ToUtf8(request.LineName);
    CenterOnScreen(&form);
    TDeviceSelectionResult result;
    if (form.exec() != QDialog::Accepted) return result;
    result.Ok = true;
    result.Name = Utf8ToCp1252(form.DeviceName);
    result.Mode = form.TapiMode;
    result.ComNumber = form.ComNumber;
    return result;
  });
  SetTapiBusyCursorHook([](bool busy) {
    if (busy)
      QApplication::setOverrideCursor(Qt::WaitCursor);
    else
      QApplication::restoreOverrideCursor();
  });
  TTelephonyDialogs dialogs;
  dialogs.EditLine = &EditLineDialog;
  dialogs.EditLocation = &EditLocationDialog;
  SetTelephonyDialogs(dialogs);
}
