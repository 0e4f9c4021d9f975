#include "app/DialogVerwalten.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <exception>

#include "app/UiThread.h"
#include "platform/Text.h"
#include "ui_DialogVerwalten.h"

TForm4* Form4 = nullptr;
std::function<bool(const std::string& text)> TForm4::ConfirmSink;

namespace {

constexpr int kMaxNameLength = 24;
const char* const kCaption = "Bezeichnung \xC3\xA4ndern";

}  // namespace

std::string CheckControllerName(const std::string& name) {
  if (Trim(name).empty()) return "Die Bezeichnung darf nicht leer sein.";
  const QByteArray bytes(name.data(), static_cast<qsizetype>(name.size()));
  const QString text = QString::fromUtf8(bytes);
  if (text.toUtf8() != bytes || Cp1252ToUtf8(Utf8ToCp1252(name)) != name)
    return "Die Bezeichnung enth\xC3\xA4lt Zeichen, die zum korvidan nicht \xC3\xBC"
           "bertragen werden k\xC3\xB6nnen.";
  const QList<uint> characters = text.toUcs4();
  if (characters.size() > kMaxNameLength)
    return "Die Bezeichnung darf h\xC3\xB6"
           "chstens 24 Zeichen lang sein.";
  for (uint c : characters)
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return "Die Bezeichnung darf keine Steuerzeichen enthalten.";
  if (name.find_first_of("/\\") != std::string::npos)
    return "Die Bezeichnung darf weder \"/\" noch \"\\\" enthalten.";
  return {};
}

TForm4::TForm4(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TForm4>()) {
  ui->setupUi(this);
  AddressLabel = ui->AddressLabel;
  AddressBox = ui->AddressBox;
  IDBox = ui->IDBox;
  Modify = ui->Modify;
  EditID = ui->EditID;
  OKBtn = ui->OKBtn;
  connect(AddressBox, &QListWidget::itemClicked, this, [this] { AddressBoxClick(); });
  connect(IDBox, &QListWidget::itemClicked, this, [this] { IDBoxClick(); });
  connect(Modify, &QPushButton::clicked, this, [this] { ModifyClick(); });
  connect(OKBtn, &QPushButton::clicked, this, [this] { OKBtnClick(); });
  if (!Form4) Form4 = this;
}

TForm4::~TForm4() {
  if (Form4 == this) Form4 = nullptr;
}

void TForm4::ShowDevices(TControllerList& list) {
  list_ = &list;
  AddressBox->clear();
  IDBox->clear();
  for (int i = 0; i < list.GetControllerCount(); ++i) {
    const TKorvidan* c = list.GetController(i);
    if (!c) continue;
    const int address = c->GetIdent()->GetAddress();
    AddressBox->addItem(QString::fromStdString(IntToStr(address) + " (" +
                                               IntToHex(static_cast<std::uint64_t>(address), 2) + "H)"));
    IDBox->addItem(QString::fromStdString(c->GetIdent()->GetName()));
  }
  SelectLine(0);
  show();
}

void TForm4::SelectLine(int line) {
  if (line < 0 || line >= AddressBox->count() || line >= IDBox->count()) {
    EditID->clear();
    return;
  }
  AddressBox->setCurrentRow(line);
  IDBox->setCurrentRow(line);
  AddressLabel->setText("Adresse: " + AddressBox->item(line)->text());
  EditID->setText(IDBox->item(line)->text());
}

void TForm4::AddressBoxClick() {
  SelectLine(AddressBox->currentRow());
  IDBox->verticalScrollBar()->setValue(AddressBox->verticalScrollBar()->value());
}

void TForm4::IDBoxClick() {
  SelectLine(IDBox->currentRow());
  AddressBox->verticalScrollBar()->setValue(IDBox->verticalScrollBar()->value());
}

bool TForm4::Confirm(const std::string& text) {
  if (ConfirmSink) return ConfirmSink(text);
  QMessageBox box(QMessageBox::Question, QString::fromUtf8(kCaption), QString::fromStdString(text),
                  QMessageBox::Yes | QMessageBox::No, this);
  box.button(QMessageBox::Yes)->setText("Ja");
  box.button(QMessageBox::No)->setText("Nein");
  FitToCaption(box);
  return box.exec() == QMessageBox::Yes;
}

void TForm4::ModifyClick() {
  const int line = AddressBox->currentRow();
  if (!list_ || line < 0 || line >= list_->GetControllerCount()) return;
  TKorvidan* c = list_->GetController(line);
  if (!c) return;
  const std::string name = EditID->text().toStdString();
  if (const std::string why = CheckControllerName(name); !why.empty()) {
    ShowMessage(why, TMsgKind::Error, kCaption);
    return;
  }
  if (!Confirm("Soll die Bezeichnung ge\xC3\xA4ndert werden?")) return;
  try {
    c->GetIdent()->WriteID(name);
  } catch (const std::exception& e) {
    ShowMessage(e.what(), TMsgKind::Error, kCaption);
    return;
  }
  if (QListWidgetItem* item = IDBox->item(line))
    item->setText(QString::fromStdString(c->GetIdent()->GetName()));
}

void TForm4::OKBtnClick() { hide(); }
