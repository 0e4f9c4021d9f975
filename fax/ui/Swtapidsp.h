#pragma once
// The telephony device's windows: the call-progress window "Call Progress" with its status
// display component, and the device selection dialog "Device Selection".
#include <QDialog>
#include <QWidget>
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "fax/Swtapi.h"
#include "fax/Swtapilog.h"

class QComboBox;
class QLabel;
class QPushButton;

namespace Ui {
class TSioStandardTapiDisplay;
class TDeviceSelectionForm;
}  // namespace Ui

// The call-progress form: what is dialled or who calls, the line, the attempts, and the last
// nine status lines.
class TSioStandardTapiDisplay : public QWidget {
  Q_OBJECT
 public:
  explicit TSioStandardTapiDisplay(QWidget* parent = nullptr);
  ~TSioStandardTapiDisplay() override;

  QLabel* dpLabel1;
  QLabel* dpLabel2;
  QLabel* dpLabel3;
  QLabel* dpLabel4;
  QLabel* dpDialing;
  QLabel* dpUsing;
  QLabel* dpAttempt;
  QLabel* dpTotalAttempts;
  QPushButton* dpCancel;
  std::array<QLabel*, 9> dpStat{};

  // The device served (its texts are Windows-1252).
  TSioCustomTapiDevice* TapiDevice = nullptr;

  void Mode(const std::string& text);
  void ClearStatusMessages();
  void AddStatusLine(const std::string& text);
  void UpdateStatusLine(const std::string& text);
  // "Using:" names the device's selected line.
  void ShowUsing(TSioCustomTapiDevice* device);
  // Names the call without a status line: the mode ("Dialing:" unless answering), the line and,
  // for an outgoing call, its number.
  void ShowCall(TSioCustomTapiDevice* device, bool answering);
  void UpdateValues(TSioCustomTapiDevice* device, std::uint32_t Device, std::uint32_t Message,
                    std::uint32_t Param1, std::uint32_t Param2, std::uint32_t Param3);
  void dpCancelClick();
  std::uint16_t StatusCount() const { return FCount; }

 private:
  std::unique_ptr<Ui::TSioStandardTapiDisplay> ui;
  std::uint16_t FCount = 0;
  bool FReplaceLast = false;  // the last line came from a repeating update
};

// The status display component that shows the standard form.
class TSioTapiStatus : public TSioAbstractTapiStatus {
 public:
  explicit TSioTapiStatus(TSioComponentOwner* owner = nullptr);
  ~TSioTapiStatus() override;

  void UpdateDisplay(bool First, bool Last, std::uint32_t Device, std::uint32_t Message, std::uint32_t Param1,
                     std::uint32_t Param2, std::uint32_t Param3) override;
  TSioStandardTapiDisplay* Display() const { return FDisplay.get(); }

 protected:
  void CreateDisplay() override;
  void DestroyDisplay() override;
  void ApplyPosition() override;
  void ApplyVisible() override;
  void ApplyCaption() override;

 private:
  std::unique_ptr<TSioStandardTapiDisplay> FDisplay;
};

// The modal choice of a telephony line or a serial port.
class TDeviceSelectionForm : public QDialog {
  Q_OBJECT
 public:
  explicit TDeviceSelectionForm(QWidget* parent = nullptr);
  ~TDeviceSelectionForm() override;

  QComboBox* dsfComboBox;
  QPushButton* dsfOkBitBtn;
  QPushButton* dsfCancelBitBtn;

  // Set before it is shown: what to list and what was chosen before.
  bool ShowTapiDevices = true;
  bool ShowPorts = true;
  TTapiMode TapiMode = tmAuto;
  std::uint16_t ComNumber = 0;
  std::string DeviceName;  // the chosen entry (UTF-8 as shown)

  // Fills the list (once, on the first show).
  void EnumTapiPorts();
  void EnumComPorts();
  void EnumAllPorts();
  void FormShow();
  void dsfOkBitBtnClick();
  TStringList Entries() const { return FEntries; }

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  std::unique_ptr<Ui::TDeviceSelectionForm> ui;
  TStringList FEntries;
  bool FFilled = false;
};

// Makes the telephony device use these windows: the selection dialog, the wait cursor, and
// the telephony service's dialogs for a line's settings and the dialing location.
void InstallTapiWindows();
