#pragma once
// The port selection dialog: lists the serial ports that exist (COM1 to COM50) and lets
// the user choose one. The port component shows it through the prompt hook of
// ComSelect.h, which InstallComSelectPrompt installs.
#include <QDialog>
#include <cstdint>
#include <memory>
#include <string>

class QComboBox;
class QPushButton;

namespace Ui {
class TComSelectForm;
}

class TComSelectForm : public QDialog {
  Q_OBJECT
 public:
  explicit TComSelectForm(QWidget* parent = nullptr);
  ~TComSelectForm() override;

  QComboBox* PortsComboBox;
  QPushButton* OkBtn;
  QPushButton* AbortBtn;

  // Fills the list with the ports that IsPortAvailable accepts and selects the first.
  void FormCreate();
  // The chosen entry's text ("COM3"); empty when none is chosen.
  std::string SelectedCom() const;
  // The chosen port number; 0 when none is chosen.
  std::uint16_t SelectedComNum() const;

 private:
  std::unique_ptr<Ui::TComSelectForm> ui;
};

// Makes the port component ask the user with this dialog (shown modally, centred on the
// screen, without a parent) when it opens without a port number.
void InstallComSelectPrompt();
