#include "app/Application.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QProgressBar>
#include <exception>
#include <initializer_list>

#include "app/DataBase.h"
#include "app/DatabaseMove.h"
#include "app/DialogSelAktion.h"
#include "app/DialogVerwalten.h"
#include "app/Dialogfaxconfig.h"
#include "app/DlgReadSaveData.h"
#include "app/DlgUpdate.h"
#include "app/ErrorText.h"
#include "app/FaxModule.h"
#include "app/GraphicOverview.h"
#include "app/IntervallFrm.h"
#include "app/KorvidanVersionForm.h"
#include "app/LinkForms.h"
#include "app/LoadAppForm.h"
#include "app/Main.h"
#include "app/MessagePump.h"
#include "app/PrintOrientation.h"
#include "app/Selectgraphic.h"
#include "app/Sensorgraphic.h"
#include "app/SetAlarmValues.h"
#include "app/SmallForms.h"
#include "app/StoredDataWindow.h"
#include "app/UiThread.h"
#include "app/ValueBoard.h"
#include "fax/SioFax.h"
#include "fax/ui/Faxview.h"
#include "fax/ui/OnScreen.h"
#include "fax/ui/SioFStat.h"
#include "fax/ui/Swtapidsp.h"
#include "link/RS485BusNew.h"
#include "platform/Messages.h"
#include "programming/ProgDataTransfer.h"
#include "programming/ui/ProgrammingForm.h"
#include "programming/ui/TransferForms.h"
#include "serial/SioPort.h"
#include "serial/Sioexcept.h"

TKorvidanApplication::TKorvidanApplication() {
  try {
    Create();
  } catch (...) {
    // What was made goes again, the main window's business first.
    Teardown();
    throw;
  }
}

void TKorvidanApplication::Create() {
  // 1. The application object: its title, its window thread and its message queue.
  QApplication::setApplicationName(ApplicationTitle);
  SetMainThread();
  Pump = std::make_unique<TMessagePump>();
  // Every window that comes shows wholly on the screen, the port selection at load time first.
  KeepWindowsOnScreen();
  // Exceptions of the port's handlers and of its opening at load time end up in a box.
  SetSioApplicationExceptionHandler([](const std::exception& e) { ShowError(e); });

  // 2. The forms and modules, in their order.
  MainForm = std::make_unique<TForm1>();  //  1 TForm1
  SetMainWindow(MainForm.get());
  auto splash = std::make_unique<TLoadAppForm>();        //  2 TLoadAppForm
  ConfigRS485 = std::make_unique<TDialogConfigRS485>();  //  3 TDialogConfigRS485
  Database = std::make_unique<TDataModule2>();           //  4 TDataModule2
  ExitBox = std::make_unique<TDialogExit>();             //  5 TDialogExit
  FaxConfig = std::make_unique<TFaxConfigFrm>();         //  6 TFaxConfigFrm
  ActionDialog = std::make_unique<TDialogAktion>();      //  7 TDialogAktion
  UpdateBox = std::make_unique<TDlgUpdate>();            //  8 TDlgUpdate
  Database->DlgUpdate = UpdateBox.get();
  ControllerDialog = std::make_unique<TForm4>();  //  9 TForm4
  //                                                 10 TDialogScan, 11 TFormThreadStopped,
  // 12 TDataModule3: the alarm fax, through the telephony device and its windows.
  InstallTapiWindows();
  FaxModule = std::make_unique<TDataModule3>();
  FaxConfig->SendFax = FaxModule->SioSendFax1;
  FaxView = std::make_unique<TFaxViewForm>();                    // 13 TFaxViewForm (FaxViewForm)
  Overview = std::make_unique<TGraphicOverviewForm>(*Database);  // 14 TGraphicOverviewForm
  MoveForm = std::make_unique<TDatabaseMoveForm>();              // 15 TDatabaseMoveForm
  //                                                 16 TProtokollForm
  ChartSelection = std::make_unique<TGrafikAuswahlForm>(*Database);  // 17 TGrafikAuswahlForm
  AlarmValues = std::make_unique<TAlarmForm>(*Database);             // 18 TAlarmForm
  StartQuestion = std::make_unique<TStartupFrm>();                   // 19 TStartupFrm
  IntervalForm = std::make_unique<TIntervallFrm>(MainForm->FState);  // 20 TIntervallFrm
  TestCommunication = std::make_unique<TTestCommunicationForm>();    // 21 TTestCommunicationForm
  LinkHooks().TestMemoLine = [form = TestCommunication.get()](const std::string& line) {
    form->AddLine(line);
  };
  ValueBoard = std::make_unique<TForm2>(MainForm->FState);  // 22 TForm2
  ValueBoard->OnFormClose = [] {
    if (Form1) Form1->aktuelleWerteanzeigen1->setChecked(false);
  };
  About = std::make_unique<TAboutForm>();                         // 23 TAboutForm
  Programming = std::make_unique<TProgrammingForm>();             // 24 TProgrammingForm
  SelectController = std::make_unique<TSelectKorvidan>();         // 25 TSelectKorvidan
  SensorChart = std::make_unique<TSensorGraphicForm>(*Database);  // 26 TSensorGraphicForm
  PrintOrientation = std::make_unique<TPrintOrientationForm>();   // 27 TPrintOrientationForm
  ReadDataRam = std::make_unique<TReadDataRamForm>();             // 28 TReadDataRamForm
  Debug = std::make_unique<TDebugOutput>();                       // 29 TDebugOutput
  // 30 TDataModule1: loading it opens the bus port, asking for its number first.
  Bus = std::make_unique<TDataModule1>(MainForm->FState);
  MainForm->DataModule1 = Bus.get();
  if (MainForm->FProgData) MainForm->FProgData->Attach(*Bus, MainForm->FState);
  SendDataRam = std::make_unique<TSendDataRamForm>();                   // 31 TSendDataRamForm
  ReadSaveData = std::make_unique<TReadSaveDataDlg>(MainForm->FState);  // 32 TReadSaveDataDlg
  StoredData = std::make_unique<TStoredDataForm>();                     // 33 TStoredDataForm
  // 34 TTKorvidanVersion
  Version = std::make_unique<TTKorvidanVersionForm>(*Bus, MainForm->FState);
  MainForm->VersionForm = Version.get();
  Version->Query.Hooks.DisableProgrammingMenu = [] {
    if (Form1) Form1->korvidanprogrammieren1->setEnabled(false);
  };
  // The hooks that need the database module.
  MainForm->ConnectModules();
  ConnectWindows();
  ConnectProgramming();
  // The windows that the menus open, and the wait box of the close, stand above the main
  // window while they are shown. The merge's progress box comes unasked, with the cycle that
  // merges: it leaves the keyboard where it is.
  for (QWidget* w : std::initializer_list<QWidget*>{
           MoveForm.get(), Programming.get(), ReadSaveData.get(), StoredData.get(), ControllerDialog.get(),
           ValueBoard.get(), ChartSelection.get(), IntervalForm.get(), FaxConfig.get(), Overview.get(),
           About.get(), SensorChart.get(), PrintOrientation.get(), AlarmValues.get(), ActionDialog.get(),
           FaxView.get(), ExitBox.get()})
    StandAboveMainWindow(*w);
  StandAboveMainWindow(*UpdateBox, TKeyboard::Leaves);
  // 3. The splash form goes again, never shown.
  splash->ProgressBar1->setValue(splash->ProgressBar1->value() + 5);
  splash.reset();
}

// The programming window: its menu item, its transfer object and dialogs, the windows it
// locks during a transfer, the acquisition it stops, the version query's switching of its
// commands and the idle handler that keeps its write commands.
void TKorvidanApplication::ConnectProgramming() {
  TForm1* main = MainForm.get();
  if (!main->FProgData) return;
  Programming->Connect(*main->FProgData, ReadDataRam.get(), SendDataRam.get(), Debug.get());
  Programming->LockOtherWindows = [this, main](bool locked) {
    main->setEnabled(!locked);
    if (ValueBoard) ValueBoard->setEnabled(!locked);
  };
  Programming->IsAcquisitionRunning = [main] { return main->IsCollecting(); };
  Programming->StopAcquisition = [main] { main->ToggleDataCollection(); };
  Programming->StartAcquisition = [main] {
    main->StartAcquisition();
    main->Datenabfrage1->setChecked(true);
  };
  main->ShowProgrammingWindow = [this] {
    Programming->show();
    Programming->raise();
    Programming->activateWindow();
  };
  Version->Query.Hooks.EnableProgrammingRead = [this] { Programming->EnableProgrammingRead(); };
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, Programming.get(),
                     [this] { ApplicationIdle(); });
}

void TKorvidanApplication::ApplicationIdle() {
  if (Programming && MainForm && MainForm->FProgData)
    Programming->ApplicationIdle(MainForm->FProgData->GetImageValid());
}

// The menu commands that open the chart, alarm, stored-data and controller windows, and
// what those windows need of the main window.
void TKorvidanApplication::ConnectWindows() {
  TForm1* main = MainForm.get();
  auto selected = [main] { return main->SelectedController(); };
  main->ShowOverviewCharts = [this] { Overview->show(); };
  main->ReloadOverviewCharts = [this] {
    if (Overview->isVisible()) Overview->FormShow();
  };
  main->ShowChartSelection = [this] { ChartSelection->show(); };
  main->ShowControllerManagement = [this] {
    if (ControllerList) ControllerDialog->ShowDevices(*ControllerList);
  };
  main->StartStoredDataRead = [this] { ReadSaveData->StartRead(); };
  Overview->SelectedController = selected;
  Overview->ShowSensorChart = [this] { SensorChart->show(); };
  ChartSelection->SelectedController = selected;
  ChartSelection->RefreshPreviewCharts = [main] { main->GetDBChartSources(); };
  SensorChart->PrintOrientation = PrintOrientation.get();
  SensorChart->SelectedController = selected;
  AlarmValues->ActionDialog = ActionDialog.get();
  // The limits configured in an earlier run hold from the first cycle on.
  main->ControllersRegistered = [this] {
    if (ControllerList) AlarmValues->LoadStoredLimits(*ControllerList);
  };
  ValueBoard->OnConfigureAlarms = [this] {
    if (!ControllerList) return;
    AlarmValues->FillDeviceTabs(*ControllerList);
    AlarmValues->show();
  };
  ReadSaveData->Bus = Bus.get();
  ReadSaveData->StoredData = StoredData.get();
  // The fax menu commands and the alarm fax.
  main->ShowFaxHeaderDialog = [this] { FaxConfig->show(); };
  main->ShowFaxModemSelection = [this] { FaxModule->SelectFaxModem(); };
  // The test fax shows the fax it sends in the fax view form, once the call is under way,
  // behind the call's own windows.
  main->SendTestFax = [this] {
    FaxModule->SendTestFax();
    if (!FaxModule->Sending()) return;
    const std::string faxFile = FaxModule->SioSendFax1->GetFaxFile();
    try {
      FaxView->ShowFax(faxFile);
    } catch (const ESIOException& e) {
      // A file whose header is sound may still hold pages that cannot be shown.
      ShowMessage(FaxViewErrorText(faxFile, e.ErrorCode), TMsgKind::Error);
      return;
    }
    // Once the window system has brought the viewer up, the call's windows come back on top.
    struct RaiseCall : QObject {
      TDataModule3* fax;
      explicit RaiseCall(QObject* viewer, TDataModule3* m) : QObject(viewer), fax(m) {
        setObjectName("RaiseCall");
      }
      bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() != QEvent::WindowActivate) return false;
        for (QWidget* w : {static_cast<QWidget*>(fax->SioTapiStatus1->Display()),
                           static_cast<QWidget*>(fax->SioFaxStatus1->Display())})
          if (w != nullptr && w->isVisible()) w->raise();
        deleteLater();
        return false;
      }
    };
    if (!FaxView->findChild<QObject*>("RaiseCall", Qt::FindDirectChildrenOnly))
      FaxView->installEventFilter(new RaiseCall(FaxView.get(), FaxModule.get()));
  };
  ValueBoard->SendAlarmFax = [this](const std::string& text) { FaxModule->SendAlarmFax(text); };
}

TKorvidanApplication::~TKorvidanApplication() { Teardown(); }

void TKorvidanApplication::Teardown() {
  if (MainForm) MainForm->FormClose();
  if (MainForm) MainForm->VersionForm = nullptr;
  if (MainForm) MainForm->ShowProgrammingWindow = nullptr;
  // The transfer object leaves the bus module before the module goes.
  if (MainForm && MainForm->FProgData) {
    MainForm->FProgData->Detach();
    MainForm->FProgData->Hooks = TProgDataHooks{};
  }
  Version.reset();
  if (MainForm) {
    MainForm->ShowOverviewCharts = nullptr;
    MainForm->ReloadOverviewCharts = nullptr;
    MainForm->ShowChartSelection = nullptr;
    MainForm->ShowControllerManagement = nullptr;
    MainForm->StartStoredDataRead = nullptr;
    MainForm->ControllersRegistered = nullptr;
    MainForm->ShowFaxHeaderDialog = nullptr;
    MainForm->ShowFaxModemSelection = nullptr;
    MainForm->SendTestFax = nullptr;
  }
  StoredData.reset();
  ReadSaveData.reset();
  SendDataRam.reset();
  if (MainForm) MainForm->DataModule1 = nullptr;
  Bus.reset();
  Debug.reset();
  ReadDataRam.reset();
  PrintOrientation.reset();
  SensorChart.reset();
  SelectController.reset();
  Programming.reset();
  About.reset();
  ValueBoard.reset();
  LinkHooks().TestMemoLine = nullptr;
  TestCommunication.reset();
  IntervalForm.reset();
  StartQuestion.reset();
  AlarmValues.reset();
  ChartSelection.reset();
  MoveForm.reset();
  Overview.reset();
  FaxView.reset();
  FaxModule.reset();
  ControllerDialog.reset();
  if (Database) Database->DlgUpdate = nullptr;
  UpdateBox.reset();
  ActionDialog.reset();
  FaxConfig.reset();
  ExitBox.reset();
  Database.reset();
  ConfigRS485.reset();
  SetMainWindow(nullptr);
  MainForm.reset();
  SetSioApplicationExceptionHandler(nullptr);
  Pump.reset();
}

void TKorvidanApplication::Show() { MainForm->show(); }

int RunApplication(QApplication& app) {
  int code = 0;
  try {
    TKorvidanApplication korvidan;
    korvidan.Show();
    code = app.exec();
  } catch (const std::exception& e) {
    ShowError(e);
    code = 1;
  }
  return code;
}
