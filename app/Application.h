#pragma once
// Start-up of the application: the application's title, then every form and data module,
// once, in the fixed order of the system; the main window first, the measurement database
// fourth, the bus module near the end (its port is opened then, asking for the port number
// first), the firmware version dialog last.
//
// Forms that later parts of the application bring (splash, serial settings, fax module and
// dialogs, chart windows, alarm limits, programming window and its progress boxes, stored
// data windows, debug and test windows) take their places in this order as they come; see
// the numbered steps in Application.cpp.
#include <memory>

class QApplication;
class TMessagePump;
class TForm1;
class TDataModule2;
class TDialogExit;
class TDlgUpdate;
class TDatabaseMoveForm;
class TStartupFrm;
class TIntervallFrm;
class TForm2;
class TAboutForm;
class TDataModule1;
class TTKorvidanVersionForm;
class TDialogAktion;
class TForm4;
class TFaxViewForm;
class TFaxConfigFrm;
class TDataModule3;
class TGraphicOverviewForm;
class TGrafikAuswahlForm;
class TAlarmForm;
class TSensorGraphicForm;
class TPrintOrientationForm;
class TReadSaveDataDlg;
class TStoredDataForm;
class TProgrammingForm;
class TReadDataRamForm;
class TDebugOutput;
class TSendDataRamForm;
class TDialogConfigRS485;
class TTestCommunicationForm;
class TSelectKorvidan;

// The application's title.
inline constexpr const char* ApplicationTitle = "ovu korvidan dralmit v0.19.0";

class TKorvidanApplication {
 public:
  // Needs the QApplication of the process; runs on its thread.
  TKorvidanApplication();
  // Closes the main window's business (acquisition, merge, port) when that has not
  // happened yet, then frees everything in the reverse order of creation.
  ~TKorvidanApplication();
  TKorvidanApplication(const TKorvidanApplication&) = delete;
  TKorvidanApplication& operator=(const TKorvidanApplication&) = delete;

  // Shows the main window; its first show asks for the firmware version and whether to
  // start the acquisition.
  void Show();

  std::unique_ptr<TMessagePump> Pump;
  std::unique_ptr<TForm1> MainForm;  // 1
  // 3, 21 and 25: created, never shown.
  std::unique_ptr<TDialogConfigRS485> ConfigRS485;
  std::unique_ptr<TTestCommunicationForm> TestCommunication;
  std::unique_ptr<TSelectKorvidan> SelectController;
  std::unique_ptr<TDataModule2> Database;                   // 4
  std::unique_ptr<TDialogExit> ExitBox;                     // 5
  std::unique_ptr<TDialogAktion> ActionDialog;              // 7
  std::unique_ptr<TDlgUpdate> UpdateBox;                    // 8
  std::unique_ptr<TForm4> ControllerDialog;                 // 9
  std::unique_ptr<TFaxConfigFrm> FaxConfig;                 // 6 (FaxConfigFrm)
  std::unique_ptr<TDataModule3> FaxModule;                  // 12 (DataModule3)
  std::unique_ptr<TFaxViewForm> FaxView;                    // 13 (FaxViewForm)
  std::unique_ptr<TGraphicOverviewForm> Overview;           // 14
  std::unique_ptr<TDatabaseMoveForm> MoveForm;              // 15
  std::unique_ptr<TGrafikAuswahlForm> ChartSelection;       // 17
  std::unique_ptr<TAlarmForm> AlarmValues;                  // 18
  std::unique_ptr<TStartupFrm> StartQuestion;               // 19
  std::unique_ptr<TIntervallFrm> IntervalForm;              // 20
  std::unique_ptr<TForm2> ValueBoard;                       // 22
  std::unique_ptr<TAboutForm> About;                        // 23
  std::unique_ptr<TProgrammingForm> Programming;            // 24
  std::unique_ptr<TSensorGraphicForm> SensorChart;          // 26
  std::unique_ptr<TPrintOrientationForm> PrintOrientation;  // 27
  std::unique_ptr<TReadDataRamForm> ReadDataRam;            // 28
  std::unique_ptr<TDebugOutput> Debug;                      // 29
  std::unique_ptr<TDataModule1> Bus;                        // 30
  std::unique_ptr<TSendDataRamForm> SendDataRam;            // 31
  std::unique_ptr<TReadSaveDataDlg> ReadSaveData;           // 32
  std::unique_ptr<TStoredDataForm> StoredData;              // 33
  std::unique_ptr<TTKorvidanVersionForm> Version;           // 34

  // The application's idle handler: the programming window's write commands follow the
  // validity of the programming image.
  void ApplicationIdle();

 private:
  void Create();
  void ConnectWindows();
  void ConnectProgramming();
  void Teardown();
};

// The whole run: start-up, message loop, shut-down. Returns the exit code.
int RunApplication(QApplication& app);
