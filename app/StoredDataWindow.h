#pragma once
// The sensor data a controller has stored, as its listing came from the bus: cut between
// its markers, cleaned (one header line, the data lines with decimal commas, the first two
// separator lines) and shown in a memo, from which it can be saved as an ".ovu" text file
// in Windows-1252 with CR LF line ends.
#include <QMainWindow>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QPlainTextEdit;

namespace Ui {
class TStoredDataForm;
}

// Cleans the lines of a listing in place (Windows-1252 bytes): keeps the first line that
// contains "Datum", every line whose third character is "." (its points turned into commas
// except the first two, the date's), and the first two lines that contain eleven hyphens;
// every other line goes.
void FilterStoredDataLines(std::vector<std::string>& lines);

class TStoredDataForm : public QMainWindow {
  Q_OBJECT
 public:
  explicit TStoredDataForm(QWidget* parent = nullptr);
  ~TStoredDataForm() override;

  QPlainTextEdit* StoredDataMemo;
  QAction* DateiSpeichernunter;
  QAction* DateiBeenden;

  // The cut listing (Windows-1252, the controller's line breaks in it): split into lines,
  // cleaned and shown.
  void ShowListing(const std::string& listing);
  // The memo's lines (UTF-8).
  std::vector<std::string> Lines() const;

  // Asks for a file name ("Speichern unter ...", default extension "ovu") and saves.
  void DateiSpeichernunterClick();
  void DateiBeendenClick();
  // Writes the memo's lines to the file, each followed by CR LF, in Windows-1252, and marks
  // the memo unmodified. A line with a character that Windows-1252 lacks, or a file that
  // cannot be written, is reported and the file is left as it was. True when written.
  bool SaveToFile(const std::string& fileName);

  // The save dialog; returns the chosen file name, empty when cancelled (tests replace it).
  std::function<std::string()> AskFileName;

 private:
  std::unique_ptr<Ui::TStoredDataForm> ui;
};

extern TStoredDataForm* StoredDataForm;
