#include "app/StoredDataWindow.h"

#include <QAction>
#include <QFileDialog>
#include <QPlainTextEdit>
#include <QTextDocument>
#include <cstdio>
#include <exception>
#include <filesystem>

#include "app/ErrorText.h"
#include "app/UiThread.h"
#include "platform/Text.h"
#include "ui_StoredDataWindow.h"

TStoredDataForm* StoredDataForm = nullptr;

void FilterStoredDataLines(std::vector<std::string>& lines) {
  bool header = false;
  int separators = 0;
  for (std::size_t i = 0; i < lines.size();) {
    std::string& s = lines[i];
    bool keep = false;
    if (s.find("Datum") != std::string::npos) {
      keep = !header;
      header = true;
    } else if (s.size() >= 3 && s[2] == '.') {
      // Decimal commas for the values; the date's two points stay.
      for (char& c : s)
        if (c == '.') c = ',';
      int back = 0;
      for (char& c : s)
        if (c == ',' && back < 2) c = '.', ++back;
      keep = true;
    } else if (s.find("-----------") != std::string::npos) {
      keep = separators < 2;
      ++separators;
    }
    if (keep)
      ++i;
    else
      lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

TStoredDataForm::TStoredDataForm(QWidget* parent)
    : QMainWindow(parent), ui(std::make_unique<Ui::TStoredDataForm>()) {
  ui->setupUi(this);
  StoredDataMemo = ui->StoredDataMemo;
  DateiSpeichernunter = ui->DateiSpeichernunter;
  DateiBeenden = ui->DateiBeenden;
  AskFileName = [this] {
    QFileDialog dialog(this, "Speichern unter ...");
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix("ovu");
    dialog.setNameFilters({"ovu Sensordaten (*.ovu)", "Alle Dateien (*.*)"});
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::string();
    return dialog.selectedFiles().front().toStdString();
  };
  connect(DateiSpeichernunter, &QAction::triggered, this, [this] { DateiSpeichernunterClick(); });
  connect(DateiBeenden, &QAction::triggered, this, [this] { DateiBeendenClick(); });
  if (!StoredDataForm) StoredDataForm = this;
}

TStoredDataForm::~TStoredDataForm() {
  if (StoredDataForm == this) StoredDataForm = nullptr;
}

void TStoredDataForm::ShowListing(const std::string& listing) {
  TStringList split;
  split.SetText(listing);
  std::vector<std::string> lines = split.Items();
  FilterStoredDataLines(lines);
  QStringList text;
  for (const std::string& line : lines) text << QString::fromStdString(Cp1252ToUtf8(line));
  StoredDataMemo->setPlainText(text.join('\n'));
  StoredDataMemo->document()->setModified(false);
  show();
}

std::vector<std::string> TStoredDataForm::Lines() const {
  std::vector<std::string> lines;
  // The document's own characters: its plain text would turn the non-breaking spaces of a
  // listing into blanks. Only its line breaks become line ends.
  QString text = StoredDataMemo->document()->toRawText();
  text.replace(QChar::ParagraphSeparator, u'\n').replace(QChar::LineSeparator, u'\n');
  if (text.isEmpty()) return lines;
  for (const QString& line : text.split('\n')) lines.push_back(line.toStdString());
  return lines;
}

bool TStoredDataForm::SaveToFile(const std::string& fileName) {
  TStringList file;
  int number = 0;
  for (const std::string& line : Lines()) {
    ++number;
    const std::string bytes = Utf8ToCp1252(line);
    if (Cp1252ToUtf8(bytes) != line) {
      ShowMessage("Zeile " + IntToStr(number) +
                      " enth\xC3\xA4lt ein Zeichen, das in der Datei nicht gespeichert werden kann. "
                      "Die Datei wurde nicht geschrieben.",
                  TMsgKind::Error, "Speichern unter ...");
      return false;
    }
    file.Add(bytes);
  }
  // Written beside the target first, so that a failed write leaves an older file whole.
  const std::string temporary = fileName + ".tmp";
  try {
    file.SaveToFile(temporary);
    std::filesystem::rename(temporary, fileName);
  } catch (const std::exception& e) {
    std::remove(temporary.c_str());
    ShowMessage("Die Datei konnte nicht geschrieben werden: " + ErrorText(e), TMsgKind::Error,
                "Speichern unter ...");
    return false;
  }
  StoredDataMemo->document()->setModified(false);
  return true;
}

void TStoredDataForm::DateiSpeichernunterClick() {
  const std::string name = AskFileName ? AskFileName() : std::string();
  if (!name.empty()) SaveToFile(name);
}

void TStoredDataForm::DateiBeendenClick() { close(); }
