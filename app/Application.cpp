#include "app/Application.h"

#include <QApplication>
#include <exception>

#include "app/DataBase.h"
#include "app/DatabaseMove.h"
#include "app/DlgUpdate.h"
#include "app/IntervallFrm.h"
#include "app/KorvidanVersionForm.h"
#include "app/Main.h"
#include "app/MessagePump.h"
#include "app/SmallForms.h"
#include "app/UiThread.h"
#include "app/ValueBoard.h"
#include "link/RS485BusNew.h"
#include "platform/Messages.h"
#include "serial/SioPort.h"

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
  // Exceptions of the port's handlers and of its opening at load time end up in a box.
  SetSioApplicationExceptionHandler([](const std::exception& e) { ShowMessage(e.what(), TMsgKind::Error); });

  // 2. The forms and modules, in their order.
  MainForm = std::make_unique<TForm1>();           //  1 TForm1
  //                                                  2 TLoadAppForm, 3 TDialogConfigRS485
  Database = std::make_unique<TDataModule2>();     //  4 TDataModule2
  ExitBox = std::make_unique<TDialogExit>();       //  5 TDialogExit
  //                                                  6 TFaxConfigFrm, 7 TDialogAktion
  UpdateBox = std::make_unique<TDlgUpdate>();      //  8 TDlgUpdate
  Database->DlgUpdate = UpdateBox.get();
  //                                                  9 TForm4, 10 TDialogScan, 11 TFormThreadStopped,
  //                                                 12 TDataModule3, 13 TFaxViewForm, 14 TGraphicOverviewForm
  MoveForm = std::make_unique<TDatabaseMoveForm>();  // 15 TDatabaseMoveForm
  //                                                 16 TProtokollForm, 17 TGrafikAuswahlForm, 18 TAlarmForm
  StartQuestion = std::make_unique<TStartupFrm>();   // 19 TStartupFrm
  IntervalForm = std::make_unique<TIntervallFrm>(MainForm->FState);  // 20 TIntervallFrm
  //                                                 21 TTestCommunicationForm
  ValueBoard = std::make_unique<TForm2>(MainForm->FState);           // 22 TForm2
  ValueBoard->OnFormClose = [] {
    if (Form1) Form1->aktuelleWerteanzeigen1->setChecked(false);
  };
  About = std::make_unique<TAboutForm>();            // 23 TAboutForm
  //                                                 24 TProgrammingForm, 25 TSelectKorvidan,
  //                                                 26 TSensorGraphicForm, 27 TPrintOrientationForm,
  //                                                 28 TReadDataRamForm, 29 TDebugOutput
  // 30 TDataModule1: loading it opens the bus port, asking for its number first.
  Bus = std::make_unique<TDataModule1>(MainForm->FState);
  MainForm->DataModule1 = Bus.get();
  //                                                 31 TSendDataRamForm, 32 TReadSaveDataDlg,
  //                                                 33 TStoredDataForm
  // 34 TTKorvidanVersion
  Version = std::make_unique<TTKorvidanVersionForm>(*Bus, MainForm->FState);
  MainForm->VersionForm = Version.get();
  Version->Query.Hooks.DisableProgrammingMenu = [] {
    if (Form1) Form1->korvidanprogrammieren1->setEnabled(false);
  };
  // The hooks that need the database module.
  MainForm->ConnectModules();
}

TKorvidanApplication::~TKorvidanApplication() { Teardown(); }

void TKorvidanApplication::Teardown() {
  if (MainForm) MainForm->FormClose();
  if (MainForm) MainForm->VersionForm = nullptr;
  Version.reset();
  if (MainForm) MainForm->DataModule1 = nullptr;
  Bus.reset();
  About.reset();
  ValueBoard.reset();
  IntervalForm.reset();
  StartQuestion.reset();
  MoveForm.reset();
  if (Database) Database->DlgUpdate = nullptr;
  UpdateBox.reset();
  ExitBox.reset();
  Database.reset();
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
    ShowMessage(e.what(), TMsgKind::Error);
    code = 1;
  }
  return code;
}
