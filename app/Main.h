#pragma once
// The main window: menus, the controller tabs with the grid of the selected controller's
// measurement table, the two preview charts, the status bar, and the run-time state that
// the bus module, the acquisition thread and the version query share with it.
//
// The window thread runs every handler here. Stopping the acquisition asks the thread to
// end and waits for it on the window thread (up to one cycle), handling the window's events
// meanwhile; the thread never waits for the window thread, so the wait cannot lock up.
#include <QMainWindow>
#include <functional>
#include <memory>
#include <string>

#include "link/BusShared.h"
#include "link/Tkorvidan.h"
#include "platform/Threads.h"

class QAction;
class QLabel;
class QMenu;
class QTabBar;
class QTableView;
class QFrame;
class QLineSeries;
class TDBChart;
class TDataModule1;
class TProgData;
class TTKorvidanVersionForm;
class TMeasurementGridModel;

namespace Ui {
class TForm1;
}

// The controllers on the bus; created by the main window, filled by the bus set-up.
extern TControllerList* ControllerList;

class TForm1 : public QMainWindow {
  Q_OBJECT
 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // ----- run-time state shared with the bus module, the acquisition and the version query
  bool FFirstShow = true;
  TThreadHandle FDataThread;     // the running or last acquisition thread
  TThreadHandle FVersionThread;  // the version query thread
  // Received-text list, seconds counter, interval and the acquisition flags.
  TAcquisitionState FState;
  std::unique_ptr<TEvent> FTerminateEvent;
  std::unique_ptr<TEvent> FVersionEvent;
  std::unique_ptr<TEvent> FVersionTerminateEvent;

  // The programming-data transfer object (ProgData), made by FormCreate.
  std::unique_ptr<TProgData> FProgData;

  // Modules and forms made after the main window (set by the start-up).
  TDataModule1* DataModule1 = nullptr;
  TTKorvidanVersionForm* VersionForm = nullptr;

  // ----- components
  QMenu* File1 = nullptr;
  QMenu* Edit1 = nullptr;
  QMenu* RS485Bus1 = nullptr;
  QMenu* Werte = nullptr;
  QMenu* Einstellungen1 = nullptr;
  QMenu* Grafikmodul1 = nullptr;
  QMenu* Test1 = nullptr;
  QMenu* Help1 = nullptr;
  QAction* DatenbankNeu1 = nullptr;
  QAction* Datenbankenverschieben1 = nullptr;
  QAction* korvidanprogrammieren1 = nullptr;
  QAction* gespeicherteDatenlesen1 = nullptr;
  QAction* Bezeichnung1 = nullptr;
  QAction* aktuelleWerteanzeigen1 = nullptr;
  QAction* Datenbankanzeigeaktualisieren1 = nullptr;
  QAction* Datenabfrage1 = nullptr;
  QAction* Grafik1 = nullptr;
  QAction* Datenabfrage2 = nullptr;
  QAction* FaxKonfiguration1 = nullptr;
  QAction* Faxmodemkonfigurieren1 = nullptr;
  QAction* SMSkonfigurieren1 = nullptr;
  QAction* Vorschaugrafik1 = nullptr;
  QAction* Testfaxsenden1 = nullptr;
  QAction* About1 = nullptr;
  QFrame* Bevel1 = nullptr;
  QFrame* TabControl1 = nullptr;
  QTabBar* TabBar1 = nullptr;
  QTableView* DBGrid1 = nullptr;
  TDBChart* DBChart1 = nullptr;
  TDBChart* DBChart2 = nullptr;
  QLineSeries* Series1 = nullptr;
  QLineSeries* Series2 = nullptr;
  QLabel* StatusPanel0 = nullptr;  // the application's current hint
  QLabel* StatusPanel1 = nullptr;  // the acquisition state

  // ----- seams for the windows that later parts of the application add; unset: nothing
  std::function<void()> ShowProgrammingWindow;     // "korvidan konfigurieren"
  std::function<void()> StartStoredDataRead;       // "gespeicherte Daten lesen"
  std::function<void()> ShowControllerManagement;  // "Bezeichnung"
  std::function<void()> ShowChartSelection;        // "Grafik"
  std::function<void()> ShowOverviewCharts;        // "Übersicht"
  std::function<void()> ReloadOverviewCharts;      // the overview, when visible, on a tab change
  std::function<void()> ShowFaxHeaderDialog;       // "Fax-Konfiguration"
  std::function<void()> ShowFaxModemSelection;     // "Faxmodem konfigurieren"
  std::function<void()> SendTestFax;               // "Testfax senden"
  std::function<void()> ControllersRegistered;     // after the bus set-up has registered them

  // Answers the yes/no questions of the window instead of a box (tests).
  static std::function<bool(const std::string& text)> ConfirmSink;

  // ----- operations
  void FormCreate();
  // Connects the modules made after the main window (the database module's merge effects).
  void ConnectModules();
  // The first show's work: version dialog, wait for the query's end, start question.
  void FirstShow();
  // Shut-down: waits for a running acquisition and merges its rows, frees the controllers
  // and closes the bus port. Runs once.
  void FormClose();
  void FormResize();

  // The tabs: one per registered controller.
  void FillDeviceTabs();
  // Registers the controllers on the bus (through the bus module) and fills the tabs.
  void ScanBus();
  void ToggleDataCollection();
  // True while an acquisition thread runs (or has been started and not yet ended).
  bool IsCollecting() const;
  // Starts the acquisition thread unless one runs.
  void StartAcquisition();
  // Stops the acquisition thread and waits for its end, the windows' events handled
  // meanwhile. False when the window was closed during the wait (nothing is left to do).
  bool StopAcquisition();

  void TabControl1Enter();
  void GetDBChartSources();
  void UpdateChartTitles();
  // Re-reads the grid's and both charts' tables.
  void ReloadViews();

  // Menu handlers.
  void btShowValuesClick();
  void UpdateDatabaseClick();
  void Datenbankenverschieben1Click();
  void Datenabfrage1Click();
  void Datenabfrage2Click();
  void About1Click();

  // The controller of the selected tab, or nullptr.
  TKorvidan* SelectedController() const;
  // The grid's model (rows of the selected controller's measurement table).
  TMeasurementGridModel* GridModel() const { return gridModel_; }

 protected:
  bool event(QEvent* e) override;
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;

 private:
  void InstallHooks();
  void ConnectMenu();
  bool Confirm(const std::string& text);
  void MergeAfterStop();
  void SizeGridColumns();

  std::unique_ptr<Ui::TForm1> ui;
  std::unique_ptr<TControllerList> controllers_;
  TMeasurementGridModel* gridModel_ = nullptr;
  bool closed_ = false;
  bool inTabHandler_ = false;
  // A stop or merge of the menu's runs (or waits for the cycle's end): the menu's stop and
  // merge commands start nothing meanwhile.
  bool busy_ = false;
};

extern TForm1* Form1;
