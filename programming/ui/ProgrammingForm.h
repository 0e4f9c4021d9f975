#pragma once
// The programming window: reads the controller's programming data, shows it on four pages
// ("Regelung", "Zeitfunktionen", "Messwerteinstellungen", "System"), writes every edited value
// straight back into the programming image and the socket table, checks the image and writes
// it to the controller, and opens and saves programming-data files.
//
// The window keeps no copy of the data: every control shows a field of ProgrammingImage or
// SocketTable. The pages are built from tables (the control tabs, the time-function tabs, the
// socket controls, the enabling families), and one routine serves each kind of control: a
// value edit, a mode button, a record stepper, a new-record button, a socket stepper, an
// "Übernehmen" button. The rules behind them are programming/ProgrammingEdits.h.
//
// Everything runs on the window thread. Boxes go through the link layer's message box, so the
// application decides how they look.
#include <QEvent>
#include <QMainWindow>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "programming/ProgrammingEdits.h"

class QAction;
class QFileDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTimer;
class TDebugOutput;
class TProgData;
class TRadioGroup;
class TReadDataRamForm;
class TSendDataRamForm;
class TUpDown;

namespace Ui {
class TProgrammingForm;
class TProgrammingRegelung;
class TProgrammingZeitfunktionen;
class TProgrammingMesswerte;
class TProgrammingSystem;
}  // namespace Ui

// The private message of the window (user message base + 1001): a record stepper that was
// refused posts it with its page code, and the window then shows the box of that code.
inline constexpr int WM_PROGRAMMING_NUMBER = 2025;

class TNumberMessageEvent : public QEvent {
 public:
  explicit TNumberMessageEvent(int page)
      : QEvent(static_cast<QEvent::Type>(WM_PROGRAMMING_NUMBER)), Page(page) {}
  const int Page;
};

class TProgrammingForm : public QMainWindow {
  Q_OBJECT
 public:
  explicit TProgrammingForm(QWidget* parent = nullptr);
  ~TProgrammingForm() override;

  // Joins the transfer object and the progress dialogs: installs the transfer's hooks (pages,
  // caption, dialogs, cursor, window locks, the acquisition around a transfer).
  void Connect(TProgData& data, TReadDataRamForm* readForm, TSendDataRamForm* sendForm, TDebugOutput* debug);

  // ----- what the application provides
  // Disables (true) or enables (false) the main window and the value board.
  std::function<void(bool locked)> LockOtherWindows;
  // The acquisition: whether it runs, stopping it (the main window's start/stop operation)
  // and starting it again.
  std::function<bool()> IsAcquisitionRunning;
  std::function<void()> StopAcquisition;
  std::function<void()> StartAcquisition;

  // ----- components
  QAction* Dateiffnen1;
  QAction* Dateispeichern1;
  QAction* Speichernunter1;
  QAction* Programmierdatenlesen1;
  QAction* Programmierdatenschreiben1;
  QAction* Programmierdatenlesen2;
  QAction* Programmierdatenschreiben2;
  QAction* sbReadProgrammingData;
  QAction* sbWrtieProgrammingData;
  QTabWidget* PageControlProgrammingData;
  QTabWidget* PageControl2;              // "Regelung"
  QTabWidget* PageControlZeitschaltuhr;  // "Zeitfunktionen"
  QTabWidget* PageControl4;              // "Messwerteinstellungen"
  QTabWidget* PageControlMenuLayer2;     // "System"
  // The file dialogs are made when first asked for: a file dialog lists and watches its
  // directory from the moment it exists, and this window lives as long as the program.
  QFileDialog* odProgData();
  QFileDialog* sdProgData();
  // The retry timers of the read, the write and the stored-data listing (295 ms, stopped at
  // creation); what they do is the transfer object's.
  QTimer* RetryTimer;
  QTimer* SendRetryTimer;
  QTimer* GetStoreTimer;

  // A control of the pages by its component name (nullptr when there is none).
  template <class T>
  T* Control(const char* name) const {
    return findChild<T*>(QString::fromLatin1(name));
  }

  // The programming-data file name of the last good load or save; empty at first.
  std::string FFileName;
  // A read or write had to stop the acquisition (it is started again when the transfer ends).
  bool FAcquisitionWasRunning = false;

  // ----- operations
  void FormCreate();
  void ShowAllPages();
  void DisableAllPages();
  void ReadProgrammingData();
  void WriteProgrammingData();
  // The seven checks before a write; shows the box of the first failure.
  bool ValidateBeforeWrite();
  void ShowNumberMessage(int page);
  // The version query for a firmware of 2.19 or later: reading enabled, writing disabled.
  void EnableProgrammingRead();
  // The application's idle handler: the write commands follow the image's validity.
  void ApplicationIdle(bool imageValid);

  // The socket rules on the window's socket table.
  int DoseUpDown(int direction, int n) const;
  int FirstPresentSocket() const;
  std::string SocketAssignmentName(int socket) const;
  // The record number a number edit shows: its number minus 1.
  static int NumberOf(const QLineEdit* edit);

  // File menu.
  void Dateiffnen1Click();
  void Dateispeichern1Click();
  void Speichernunter1Click();

 protected:
  bool event(QEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  QFileDialog* odProgData_ = nullptr;
  QFileDialog* sdProgData_ = nullptr;
  struct TField;
  struct TSocketSet;
  struct TControlTab;
  struct TTimeTab;

  void BuildTables();
  void ConnectControls();
  // Stores what the edit with the focus holds; false when it was refused.
  bool CommitPendingEdit();

  // One routine per kind of control.
  void ShowField(const TField& field);
  bool FieldExit(TField& field);
  void ShowSocket(TSocketSet& set, int socket, int valueOn, int valueOff, bool plain);
  void SocketStep(TSocketSet& set, int direction);
  void EnableSocketValues(TSocketSet& set);
  void SetGroupEnabled(int group, bool on);
  void Warn(const std::string& text, const std::string& caption);

  // Control tabs.
  void ShowControlRecord(TControlTab& tab, int input, int process);
  void ShowControlTab(TControlTab& tab);
  void ControlInputStep(TControlTab& tab, int direction);
  void ControlProcessStep(TControlTab& tab, int direction);
  void ControlMode(TControlTab& tab, std::uint8_t mode);
  void ControlNewProcess(TControlTab& tab);
  void ControlAssign(TControlTab& tab);

  // Time-function tabs.
  // force: also a record not in use (a new feeding-pause entry has no socket yet).
  void ShowTimeRecord(TTimeTab& tab, int k, bool force = false);
  void ShowTimeTab(TTimeTab& tab);
  void TimeRecordStep(TTimeTab& tab, int direction);
  void TimeNewRecord(TTimeTab& tab);
  void TimeMode(TTimeTab& tab, std::uint8_t mode);
  void TimeAssign(TTimeTab& tab, int socketSet);
  void SetCurrentLayout(int mode);
  void ShowCoordinates();

  // Header pages.
  void ShowSettingsPage();
  void ShowSystemPage();
  void ExternalAlarmAssign();

  std::unique_ptr<Ui::TProgrammingForm> ui;
  std::unique_ptr<Ui::TProgrammingRegelung> uiRegelung;
  std::unique_ptr<Ui::TProgrammingZeitfunktionen> uiZeit;
  std::unique_ptr<Ui::TProgrammingMesswerte> uiMesswerte;
  std::unique_ptr<Ui::TProgrammingSystem> uiSystem;

  std::vector<std::unique_ptr<TField>> fields_;
  std::vector<std::unique_ptr<TSocketSet>> sockets_;
  std::vector<std::unique_ptr<TControlTab>> controlTabs_;
  std::vector<std::unique_ptr<TTimeTab>> timeTabs_;
  std::vector<std::vector<QWidget*>> groups_;

  TProgData* data_ = nullptr;
  bool cursorSet_ = false;
  bool wavesShown_ = false;  // "Ja" of the current tab's wave group before a show
  bool inExit_ = false;
};

extern TProgrammingForm* ProgrammingForm;
