#pragma once
// The link forms that the start-up creates and nothing shows: the serial settings dialog,
// the controller choice list and the communication test window, whose memo collects the
// acquisition's "InputBuffer = " lines.
#include <QDialog>
#include <QWidget>
#include <memory>
#include <string>

class QPlainTextEdit;

namespace Ui {
class TDialogConfigRS485;
class TSelectKorvidan;
class TTestCommunicationForm;
}  // namespace Ui

// "RS485-Bus konfigurieren".
class TDialogConfigRS485 : public QDialog {
  Q_OBJECT
 public:
  explicit TDialogConfigRS485(QWidget* parent = nullptr);
  ~TDialogConfigRS485() override;

 private:
  std::unique_ptr<Ui::TDialogConfigRS485> ui;
};

// "korvidan auswählen".
class TSelectKorvidan : public QDialog {
  Q_OBJECT
 public:
  explicit TSelectKorvidan(QWidget* parent = nullptr);
  ~TSelectKorvidan() override;

 private:
  std::unique_ptr<Ui::TSelectKorvidan> ui;
};

// "Test korvidan Communication".
class TTestCommunicationForm : public QWidget {
  Q_OBJECT
 public:
  explicit TTestCommunicationForm(QWidget* parent = nullptr);
  ~TTestCommunicationForm() override;

  QPlainTextEdit* Memo1;

  // Appends a line (UTF-8) to the memo. Callable from any thread: from another one the line
  // is queued to the window thread, and the caller does not wait for it. The memo keeps the
  // last 10000 lines, so that months of acquisition do not pile up in memory.
  void AddLine(const std::string& line);

 private:
  std::unique_ptr<Ui::TTestCommunicationForm> ui;
};

extern TDialogConfigRS485* DialogConfigRS485;
extern TSelectKorvidan* SelectKorvidan;
extern TTestCommunicationForm* TestCommunicationForm;
