// The programming window offscreen, driven as a user drives it: typing into its edits and
// leaving them, clicking its buttons, steppers and radio groups, choosing files in its file
// dialogs. Every test looks at what the window shows, at the programming image and socket
// table behind it, and at the boxes it shows.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTimer>
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/Messages.h"
#include "programming/Programmingdata.h"
#include "programming/ui/ProgrammingForm.h"
#include "programming/ui/RadioGroup.h"
#include "programming/ui/TransferForms.h"
#include "programming/ui/UpDown.h"
#include "tests/programming_ui/ProgrammingSample.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"

namespace {

using namespace ProgLayout;

// Runs the event loop, waiting for events as the application does, until the condition holds.
bool RunUntil(const std::function<bool()>& condition, int timeoutMs) {
  QElapsedTimer t;
  t.start();
  while (!condition()) {
    if (t.elapsed() > timeoutMs) return false;
    QEventLoop loop;
    QTimer::singleShot(10, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

struct Box {
  std::string text, caption;
  TBoxKind kind;
};

class ProgrammingFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LinkHooks().MessageBox = [this](const std::string& text, const std::string& caption, TBoxKind kind) {
      boxes.push_back({text, caption, kind});
    };
    form.Connect(data, &readForm, &sendForm, &debug);
    sample_ = sample::Configuration();
  }
  void TearDown() override { LinkHooks() = TLinkHooks{}; }

  // The sample in the window, as a good read leaves it.
  void Load(const sample::TSample& s) {
    ProgrammingImage = s.image;
    SocketTable = s.sockets;
    data.SetImageValid(true);
    form.ShowAllPages();
  }
  void Load() { Load(sample_); }

  QLineEdit* Edit(const char* name) {
    QLineEdit* e = form.Control<QLineEdit>(name);
    EXPECT_NE(e, nullptr) << name;
    return e;
  }
  std::string Text(const char* name) { return Edit(name)->text().toStdString(); }
  // Types the text into the edit and leaves it.
  void Type(const char* name, const QString& text) {
    QLineEdit* e = Edit(name);
    ASSERT_TRUE(e->isEnabled()) << name << " is disabled";
    ASSERT_FALSE(e->isReadOnly()) << name << " is read-only";
    e->setText(text);
    e->setModified(true);
    QFocusEvent out(QEvent::FocusOut);
    QApplication::sendEvent(e, &out);
  }
  void Click(const char* name) {
    QAbstractButton* b = form.Control<QAbstractButton>(name);
    ASSERT_NE(b, nullptr) << name;
    ASSERT_TRUE(b->isEnabled()) << name << " is disabled";
    b->click();
  }
  void Step(const char* name, int direction) {
    TUpDown* u = form.Control<TUpDown>(name);
    ASSERT_NE(u, nullptr) << name;
    ASSERT_TRUE(u->isEnabled()) << name << " is disabled";
    direction > 0 ? u->ClickNext() : u->ClickPrev();
  }
  void ClickItem(const char* group, int item) {
    TRadioGroup* g = form.Control<TRadioGroup>(group);
    ASSERT_NE(g, nullptr) << group;
    ASSERT_TRUE(g->isEnabled()) << group << " is disabled";
    g->Button(item)->click();
  }
  bool Checked(const char* name) { return form.Control<QRadioButton>(name)->isChecked(); }
  std::string Label(const char* name) { return form.Control<QLabel>(name)->text().toStdString(); }
  void ShowTimeTab(int tab) {
    form.PageControlProgrammingData->setCurrentIndex(1);
    form.PageControlZeitschaltuhr->setCurrentIndex(tab);
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> t;
    for (const Box& b : boxes) t.push_back(b.text);
    return t;
  }
  // Answers the next file dialog with a file name (an empty name cancels it).
  void AnswerFileDialog(QFileDialog* dialog, const std::string& file) {
    QTimer::singleShot(0, dialog, [dialog, file] {
      if (file.empty()) {
        dialog->reject();
        return;
      }
      // Typed into the dialog's name field, as a user does, over a name chosen in its list.
      if (auto* list = dialog->findChild<QAbstractItemView*>("listView")) list->clearSelection();
      if (auto* name = dialog->findChild<QLineEdit*>("fileNameEdit"))
        name->setText(QString::fromStdString(file));
      QMetaObject::invokeMethod(dialog, "accept");
    });
  }

  std::vector<Box> boxes;
  TProgData data;
  TReadDataRamForm readForm;
  TSendDataRamForm sendForm;
  TDebugOutput debug;
  TProgrammingForm form;
  sample::TSample sample_;
  support::TempDir dir{"korvidan-progform"};
};

TEST_F(ProgrammingFormTest, ComesUpWithItsMenusAndEveryGroupDisabled) {
  ClearImage();
  data.SetImageValid(false);
  TProgrammingForm fresh;
  EXPECT_EQ(fresh.windowTitle().toStdString(), "korvidan Programmierschnittstelle");
  EXPECT_EQ(fresh.Dateiffnen1->text().toStdString(), "Ö&ffnen");
  EXPECT_EQ(fresh.Dateispeichern1->text().toStdString(), "&Speichern");
  EXPECT_EQ(fresh.Speichernunter1->text().toStdString(), "Speichern &unter");
  EXPECT_EQ(fresh.sbReadProgrammingData->toolTip().toStdString(), "Programmierdaten lesen");
  EXPECT_EQ(fresh.sbWrtieProgrammingData->toolTip().toStdString(), "Programmierdaten schreiben");
  // Only the commands under "Bearbeiten" and the read button are live; no code enables the
  // two top-level items.
  EXPECT_FALSE(fresh.Programmierdatenlesen1->isEnabled());
  EXPECT_FALSE(fresh.Programmierdatenschreiben1->isEnabled());
  EXPECT_TRUE(fresh.Programmierdatenlesen2->isEnabled());
  EXPECT_FALSE(fresh.Programmierdatenschreiben2->isEnabled());
  EXPECT_TRUE(fresh.sbReadProgrammingData->isEnabled());
  EXPECT_FALSE(fresh.sbWrtieProgrammingData->isEnabled());
  fresh.EnableProgrammingRead();
  fresh.ApplicationIdle(true);
  EXPECT_TRUE(fresh.sbWrtieProgrammingData->isEnabled());
  EXPECT_TRUE(fresh.Programmierdatenschreiben2->isEnabled());
  EXPECT_FALSE(fresh.Programmierdatenschreiben1->isEnabled());
  fresh.ApplicationIdle(false);
  EXPECT_FALSE(fresh.sbWrtieProgrammingData->isEnabled());

  std::vector<std::string> pages;
  for (QTabWidget* t : {fresh.PageControlProgrammingData, fresh.PageControl2, fresh.PageControlZeitschaltuhr,
                        fresh.PageControl4, fresh.PageControlMenuLayer2})
    for (int i = 0; i < t->count(); ++i) pages.push_back(t->tabText(i).toStdString());
  EXPECT_EQ(pages, (std::vector<std::string>{"Regelung",
                                             "Zeitfunktionen",
                                             "Messwerteinstellungen",
                                             "System",
                                             "pH",
                                             "Redox",
                                             "Leitwert",
                                             "Sauerstoff",
                                             "Pegel",
                                             "Temperatur",
                                             "Strömungssimulation",
                                             "Tag/Nacht Simulation",
                                             "Mondphase",
                                             "Zeitschaltuhr",
                                             "Intervall",
                                             "Futterpause",
                                             "Trendzeitraum",
                                             "Speicherung",
                                             "Anzeige",
                                             "Datum/Uhrzeit",
                                             "Akustischer Alarm",
                                             "Externer Alarm",
                                             "Programmierstufe"}));
  EXPECT_EQ(fresh.PageControlProgrammingData->currentIndex(), 0);
  EXPECT_EQ(fresh.PageControl2->currentIndex(), 0);
  for (const char* name :
       {"RegelPage_pH_AusRButton", "btPhNeuerVorgang", "PhPanelWertSommerTag", "UpDownDosePH",
        "btTempNeuerVorgang", "rgStroemArt", "Sonnenaufgang", "btMondUebernehmen", "rgTageDerWoche",
        "IntervallAnZeit", "FutterpauseBeginn", "rbTrend1Tag", "Speicherintervall", "rgLeitwert",
        "SystemPageDatum", "rbAkustAlarmAn", "btExtAlarmDoseUebernehmen", "rbProgstufeProfi"})
    EXPECT_FALSE(fresh.Control<QWidget>(name)->isEnabled()) << name;
  // The input steppers stay usable; the number edits are never the user's.
  EXPECT_TRUE(fresh.Control<QWidget>("UpDownSensorPH")->isEnabled());
  EXPECT_FALSE(fresh.Control<QWidget>("RegelPage_pH_SensorNr")->isEnabled());
  EXPECT_FALSE(fresh.Control<QWidget>("TagNachtDose")->isEnabled());

  for (QTimer* t : {fresh.RetryTimer, fresh.SendRetryTimer, fresh.GetStoreTimer}) {
    EXPECT_EQ(t->interval(), 295);
    EXPECT_FALSE(t->isActive());
  }
  // A file dialog lists and watches its directory while it exists: the window, which lives as
  // long as the program, has none until one is asked for.
  EXPECT_TRUE(fresh.findChildren<QFileDialog*>().isEmpty());
  EXPECT_EQ(fresh.odProgData()->nameFilters(),
            (QStringList{"ovu Programmierdaten (*.prg)", QString::fromUtf8("Alle Dateien (*.*)")}));
  EXPECT_EQ(fresh.sdProgData()->defaultSuffix().toStdString(), "prg");
  EXPECT_EQ(readForm.windowTitle().toStdString(), "Programmierdaten lesen");
  EXPECT_EQ(sendForm.windowTitle().toStdString(), "Programmierdaten senden");
  EXPECT_EQ(debug.windowTitle().toStdString(), "DebugOutput");
}

TEST_F(ProgrammingFormTest, ControlTabsStepInputsAndProcessesAndOpenNewProcesses) {
  Load();
  // Process outer, inputs inner: the pH tab ends on the last used pH record.
  EXPECT_EQ(Text("RegelPage_pH_SensorNr"), "1");
  EXPECT_EQ(Text("RegelPage_pH_VorgangNr"), "2");
  EXPECT_EQ(Text("PhPanelWertSommerTag"), "06.50");
  EXPECT_TRUE(Checked("RegelPage_pH_ErhoehenRButton"));
  Step("UpDownPhVorgang", -1);
  EXPECT_EQ(Text("RegelPage_pH_VorgangNr"), "1");
  EXPECT_EQ(Text("PhPanelWertSommerTag"), "07.13");
  EXPECT_EQ(form.Control<TRadioGroup>("rgPhControlinThe")->ItemIndex(), 1);
  Step("UpDownPhVorgang", -1);  // nothing below process 1
  EXPECT_EQ(Text("RegelPage_pH_VorgangNr"), "1");

  // The second pH input is input 7; nothing of type pH lies above it.
  Step("UpDownSensorPH", 1);
  EXPECT_EQ(Text("RegelPage_pH_SensorNr"), "7");
  EXPECT_EQ(Text("RegelPage_pH_VorgangNr"), "1");
  EXPECT_TRUE(Checked("RegelPage_pH_AusRButton"));
  Step("UpDownSensorPH", 1);
  EXPECT_EQ(Text("RegelPage_pH_SensorNr"), "7");
  Step("UpDownPhVorgang", 1);  // process 2 is free: skipped
  EXPECT_EQ(Text("RegelPage_pH_VorgangNr"), "1");

  // Two new processes without a mode: both unset, and the write names the first.
  Click("btPhNeuerVorgang");
  EXPECT_EQ(Text("RegelPage_pH_VorgangNr"), "1");  // no process in use: process 1
  EXPECT_EQ(ProgrammingImage.GetControlRecord(6, 0).GetMode(), ControlModeUnset);
  for (const char* m : {"RegelPage_pH_AusRButton", "RegelPage_pH_CO2RButton", "RegelPage_pH_ErhoehenRButton"})
    EXPECT_FALSE(Checked(m)) << m;
  Click("btPhNeuerVorgang");
  EXPECT_EQ(Text("RegelPage_pH_VorgangNr"), "2");
  EXPECT_EQ(ProgrammingImage.GetControlRecord(6, 1).GetMode(), ControlModeUnset);
  EXPECT_EQ(ProgrammingImage.GetControlRecord(6, 1).GetSensorType(), 1);
  EXPECT_FALSE(form.ValidateBeforeWrite());
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Bitte Regelart für Sensor Nr. 7 und Vorgang Nr.1 einstellen ! ");
  EXPECT_EQ(boxes[0].caption, "Regelart");
  EXPECT_EQ(boxes[0].kind, TBoxKind::Warning);

  // A mode for each; then processes 3 and 4; with all four in use and process 1 shown, the
  // last one keeps its mode and the "no more" box comes.
  Step("UpDownPhVorgang", -1);
  Click("RegelPage_pH_CO2RButton");
  EXPECT_EQ(ProgrammingImage.GetControlRecord(6, 0).GetMode(), ControlModeLower);
  Step("UpDownPhVorgang", 1);
  Click("RegelPage_pH_ErhoehenRButton");
  Click("btPhNeuerVorgang");
  Click("RegelPage_pH_CO2RButton");
  Click("btPhNeuerVorgang");
  EXPECT_EQ(Text("RegelPage_pH_VorgangNr"), "4");
  Click("RegelPage_pH_ErhoehenRButton");
  boxes.clear();
  Click("btPhNeuerVorgang");  // process 4 shown
  ASSERT_EQ(Texts(), std::vector<std::string>{"Keine weiteren Regelvorgänge möglich!"});
  EXPECT_EQ(boxes[0].caption, "pH-Regelung");
  Step("UpDownPhVorgang", -1);
  Step("UpDownPhVorgang", -1);
  Step("UpDownPhVorgang", -1);
  EXPECT_EQ(Text("RegelPage_pH_VorgangNr"), "1");
  boxes.clear();
  Click("btPhNeuerVorgang");
  EXPECT_EQ(Texts(), std::vector<std::string>{"Keine weiteren Regelvorgänge möglich!"});
  EXPECT_EQ(ProgrammingImage.GetControlRecord(6, 3).GetMode(), ControlModeRaise);
  EXPECT_TRUE(form.ValidateBeforeWrite());

  // A tab change shows the current record of the new tab; "Regelung im" is stored.
  form.PageControl2->setCurrentIndex(5);
  EXPECT_EQ(Text("RegelPageTempSensorNr"), "2");
  EXPECT_EQ(Text("TempPanelWertSommerTag"), "25.2");
  EXPECT_EQ(Text("TempPanelWertWinterNacht"), "23.0");
  form.PageControl2->setCurrentIndex(0);
  Step("UpDownSensorPH", -1);
  ClickItem("rgPhControlinThe", 0);
  EXPECT_EQ(ProgrammingImage.GetControlRecord(0, 0).GetControlIn(), 0);
}

TEST_F(ProgrammingFormTest, SocketSteppersMoveOnlyOntoPresentSocketsAndUebernehmenStoresClampedValues) {
  sample_.image.GetControlRecord(2, 0).SetSocket(9);  // redox switches the dimmable socket 9
  Load();
  form.PageControl2->setCurrentIndex(1);
  EXPECT_EQ(Text("RxPageDose"), "9");
  EXPECT_EQ(Label("RedoxDosenBelegung"), "Mond");
  EXPECT_EQ(Text("RedoxWertAn"), "69");  // plain numbers on the control tabs
  EXPECT_TRUE(Edit("RedoxWertAn")->isEnabled());

  Step("UpDownDoseRx", 1);  // 10 is present, switching only
  EXPECT_EQ(Text("RxPageDose"), "10");
  EXPECT_EQ(Label("RedoxDosenBelegung"), "Licht");
  EXPECT_EQ(Text("RedoxWertAn"), "100");
  EXPECT_EQ(Text("RedoxWertAus"), "000");
  EXPECT_FALSE(Edit("RedoxWertAn")->isEnabled());
  Step("UpDownDoseRx", 1);  // 11 is absent: 10 stays
  EXPECT_EQ(Text("RxPageDose"), "10");
  Step("UpDownDoseRx", -1);
  Step("UpDownDoseRx", -1);
  EXPECT_EQ(Text("RxPageDose"), "8");
  EXPECT_TRUE(Edit("RedoxWertAn")->isEnabled());
  // Only the controls change; the record and the table change with "Übernehmen".
  EXPECT_EQ(ProgrammingImage.GetControlRecord(2, 0).GetSocket(), 9);
  Type("RedoxWertAn", "300");
  Type("RedoxWertAus", "12");
  Click("btRxUebernehemen");
  EXPECT_EQ(ProgrammingImage.GetControlRecord(2, 0).GetSocket(), 8);
  EXPECT_EQ(SocketTable.GetEntry(8).GetAssignment(), 3);
  EXPECT_EQ(SocketTable.GetEntry(8).GetValueOn(), 100);  // not 300 & 0xFF
  EXPECT_EQ(SocketTable.GetEntry(8).GetValueOff(), 12);
  EXPECT_EQ(Text("RedoxWertAn"), "100");
  EXPECT_EQ(Label("RedoxDosenBelegung"), "Redox");

  // Socket 1 stays 1 downward.
  for (int i = 0; i < 10; ++i) Step("UpDownDoseRx", -1);
  EXPECT_EQ(Text("RxPageDose"), "1");

  // A socket byte above 16 is no socket; the stepper goes on from 0 to the first present one.
  ProgrammingImage.GetControlRecord(2, 0).SetSocket(200);
  form.PageControl2->setCurrentIndex(0);
  form.PageControl2->setCurrentIndex(1);
  EXPECT_EQ(Text("RxPageDose"), "0");
  EXPECT_EQ(Label("RedoxDosenBelegung"), "nicht ausgewählt");
  Step("UpDownDoseRx", -1);
  EXPECT_EQ(Text("RxPageDose"), "1");
  EXPECT_EQ(Label("RedoxDosenBelegung"), "pH");

  // Without any socket: 0 stays 0 and is "nicht verfügbar".
  SocketTable.Clear();
  ProgrammingImage.GetControlRecord(2, 0).SetSocket(0);
  form.PageControl2->setCurrentIndex(0);
  form.PageControl2->setCurrentIndex(1);
  Step("UpDownDoseRx", 1);
  EXPECT_EQ(Text("RxPageDose"), "0");
  EXPECT_EQ(Label("RedoxDosenBelegung"), "nicht verfügbar");
  EXPECT_TRUE(boxes.empty());
}

TEST_F(ProgrammingFormTest, TimeTabsStepOnlyOntoRecordsInUseAndOpenNewOnes) {
  Load();
  ShowTimeTab(4);  // Intervall: record 2 is free
  EXPECT_EQ(Text("IntervallNr"), "1");
  Step("UpDownIntervallNr", 1);
  EXPECT_EQ(Text("IntervallNr"), "1");
  EXPECT_TRUE(boxes.empty());  // the box comes once the click has been handled
  QCoreApplication::processEvents();
  ASSERT_EQ(Texts(),
            std::vector<std::string>{"Nummer nicht anwählbar! \n Bitte Knopf 'Neuer Vorgang' klicken !"});
  EXPECT_EQ(boxes[0].caption, "Intervall Vorgang Nummer");
  boxes.clear();
  Step("UpDownIntervallNr", -1);  // below record 1: nothing at all
  QCoreApplication::processEvents();
  EXPECT_TRUE(boxes.empty());

  ShowTimeTab(1);  // Tag/Nacht: a refused step says nothing
  Step("UpDownVorgangTagNacht", 1);
  EXPECT_EQ(Text("TagNachtVorgangNr"), "2");
  Step("UpDownVorgangTagNacht", 1);
  QCoreApplication::processEvents();
  EXPECT_EQ(Text("TagNachtVorgangNr"), "2");
  EXPECT_TRUE(boxes.empty());
  Click("btTagNachtNeuerVorgang");
  EXPECT_EQ(Text("TagNachtVorgangNr"), "3");
  EXPECT_EQ(ProgrammingImage.GetDayNightRecord(2).GetMode(), DayNightModeUnset);
  EXPECT_FALSE(Checked("rbTagNachtSimArtSimu"));
  for (int k = 3; k < 16; ++k) ProgrammingImage.GetDayNightRecord(k).SetMode(1);
  Click("btTagNachtNeuerVorgang");
  ASSERT_EQ(Texts(), std::vector<std::string>{"Keine weiteren Tag/Nacht Vorgänge möglich!"});
  EXPECT_EQ(boxes[0].caption, "Tag/Nacht Simulation ");
  EXPECT_EQ(boxes[0].kind, TBoxKind::Warning);

  // The other codes of the message.
  boxes.clear();
  ShowTimeTab(2);
  Step("UpDownVorgangMond", 1);
  ShowTimeTab(3);
  Step("UpDownZeitschaltNummer", 1);
  Step("UpDownZeitschaltNummer", 1);
  ShowTimeTab(5);
  Step("UpDownFutterpauseNr", 1);
  Step("UpDownFutterpauseNr", 1);
  QCoreApplication::processEvents();
  QCoreApplication::postEvent(&form, new TNumberMessageEvent(9));
  QCoreApplication::processEvents();
  EXPECT_EQ(Texts(),
            (std::vector<std::string>{"Nummer nicht anwählbar! \n Bitte Knopf 'Neuer Vorgang' klicken !",
                                      "Nummer nicht anwählbar! \n Bitte Knopf 'Neu' klicken !",
                                      "Nummer nicht anwählbar! \n Bitte Knopf 'Neue Nummer' klicken !",
                                      "Fehler im Programm : Nr. 3 !"}));
  EXPECT_EQ(boxes[0].caption, "Mondphase Vorgang Nummer");
  EXPECT_EQ(boxes[1].caption, "Zeitschaltuhr Vorgang Nummer");
  EXPECT_EQ(boxes[2].caption, "Futterpause Nummer");
  EXPECT_EQ(boxes[3].caption, "Fehler");
}

TEST_F(ProgrammingFormTest, ModesSwitchTheLayoutsOfTheirTabs) {
  Load();
  ShowTimeTab(0);  // ebb and flood
  EXPECT_EQ(form.Control<TRadioGroup>("rgStroemArt")->ItemIndex(), 2);
  EXPECT_EQ(Label("lbEbbeStroem"), "(Ebbe)");
  EXPECT_FALSE(form.Control<QWidget>("FlutPanel")->isHidden());
  EXPECT_EQ(form.Control<TRadioGroup>("rgWellen")->ItemIndex(), 0);
  EXPECT_EQ(Text("StroemPageWellenDauer"), "00:00:30");
  ClickItem("rgStroemArt", 1);
  EXPECT_EQ(ProgrammingImage.GetCurrentRecord(0).GetMode(), 1);
  EXPECT_EQ(Label("lbEbbeStroem"), "(Ström)");
  EXPECT_TRUE(form.Control<QWidget>("FlutPanel")->isHidden());
  EXPECT_TRUE(form.Control<QWidget>("StroemPageDauerEbbeFlut")->isHidden());
  ClickItem("rgStroemArt", 0);  // "Aus" keeps the layout
  EXPECT_EQ(ProgrammingImage.GetCurrentRecord(0).GetMode(), 0);
  EXPECT_TRUE(form.Control<QWidget>("FlutPanel")->isHidden());
  ClickItem("rgStroemArt", 2);
  EXPECT_FALSE(form.Control<QWidget>("FlutPanel")->isHidden());

  // "Nein" only disables the wave duration; a duration of zero turns the waves off.
  ClickItem("rgWellen", 1);
  EXPECT_FALSE(Edit("StroemPageWellenDauer")->isEnabled());
  EXPECT_FLOAT_EQ(ProgrammingImage.GetCurrentRecord(0).GetWaveDuration(), 30.0f);
  ClickItem("rgWellen", 0);
  Type("StroemPageWellenDauer", "00:00:00");
  Step("UpDownVorgangStroem", 1);
  ASSERT_EQ(Texts(), std::vector<std::string>{"Wellendauer ist 00:00:00 ! \nWellen werden ausgeschaltet ! "});
  EXPECT_EQ(boxes[0].caption, "Wellen");
  EXPECT_EQ(Text("StroemungVorgangNr"), "2");
  Step("UpDownVorgangStroem", -1);  // "Nein" before: no second box
  EXPECT_EQ(boxes.size(), 1u);

  // Day/night: the times are the user's only with the light simply on.
  ShowTimeTab(1);
  EXPECT_TRUE(Edit("Sonnenaufgang")->isEnabled());
  Click("rbTagNachtSimArtSimu");
  EXPECT_EQ(ProgrammingImage.GetDayNightRecord(0).GetMode(), 2);
  EXPECT_FALSE(Edit("Sonnenaufgang")->isEnabled());
  EXPECT_FALSE(Edit("Sonnenuntergang")->isEnabled());

  // Timer: the day of the week belongs to "Wöchentlich".
  ShowTimeTab(3);
  EXPECT_TRUE(form.Control<QWidget>("rgTageDerWoche")->isEnabled());
  EXPECT_EQ(form.Control<TRadioGroup>("rgTageDerWoche")->ItemIndex(), 3);
  ClickItem("rgTageDerWoche", 5);
  EXPECT_EQ(ProgrammingImage.GetTimerRecord(0).GetDayOfWeek(), 5);
  Click("rbZeitschaltTaeglich");
  EXPECT_EQ(ProgrammingImage.GetTimerRecord(0).GetMode(), 1);
  EXPECT_FALSE(form.Control<QWidget>("rgTageDerWoche")->isEnabled());
  EXPECT_EQ(form.Control<TRadioGroup>("rgTageDerWoche")->ItemIndex(), -1);
}

TEST_F(ProgrammingFormTest, TimeTabsAssignSocketsAndTheFeedingPauseKeepsItsEnd) {
  Load();
  const TProgrammingImage before = ProgrammingImage;
  ShowTimeTab(2);  // moon on the dimmable socket 9
  EXPECT_EQ(Text("MondphaseDose"), "9");
  EXPECT_EQ(Text("MondphaseWertAn"), "069");
  EXPECT_EQ(Text("MondHelligkeit"), "030");
  Step("UpDownDoseMond", -1);
  Type("MondphaseWertAn", "55");
  Click("btMondUebernehmen");
  EXPECT_EQ(ProgrammingImage.GetMoonRecord(0).GetSocket(), 8);
  EXPECT_EQ(SocketTable.GetEntry(8).GetAssignment(), 16);
  EXPECT_EQ(SocketTable.GetEntry(8).GetValueOn(), 55);
  for (int k = 0; k < 16; ++k)
    EXPECT_TRUE(
        std::equal(ProgrammingImage.Bytes.begin() + static_cast<long>(DayNightRecordsOffset + 18 * k),
                   ProgrammingImage.Bytes.begin() + static_cast<long>(DayNightRecordsOffset + 18 * k + 18),
                   before.Bytes.begin() + static_cast<long>(DayNightRecordsOffset + 18 * k)));

  // Timer and interval keep copies of the values in their records.
  ShowTimeTab(4);
  Step("UpDownIntervall", 1);
  EXPECT_EQ(Text("IntervallDose"), "6");
  Click("btIntervallUebernehmen");
  EXPECT_EQ(ProgrammingImage.GetIntervalRecord(0).GetSocket(), 6);
  EXPECT_EQ(ProgrammingImage.GetIntervalRecord(0).GetValueOn(), 100);
  EXPECT_EQ(ProgrammingImage.GetIntervalRecord(0).GetValueOff(), 0);
  EXPECT_EQ(SocketTable.GetEntry(6).GetAssignment(), 12);

  // Feeding pause: 23:00:00 and 25:00:00 give a day's last second and an end of 22:59:59.
  ShowTimeTab(5);
  EXPECT_EQ(Text("FutterpauseEnde"), "01:00:00");
  Type("FutterpauseAnZeit", "25:00:00");
  EXPECT_FLOAT_EQ(ProgrammingImage.GetFeedingPauseDuration(), 86399.0f);
  EXPECT_EQ(Text("FutterpauseAnZeit"), "23:59:59");
  EXPECT_FLOAT_EQ(ProgrammingImage.GetFeedingPauseEnd(), 82799.0f);
  EXPECT_EQ(Text("FutterpauseEnde"), "22:59:59");
  Type("FutterpauseWertAn", "150");
  Click("btFutterpauseUebernehmen");
  EXPECT_EQ(ProgrammingImage.GetFeedingPausePercent(0), 100);
  EXPECT_EQ(Text("FutterpauseWertAn"), "100");
  EXPECT_EQ(SocketTable.GetEntry(7).GetAssignment(), sample_.sockets.GetEntry(7).GetAssignment());
  Click("btFutterpauseNeueNummer");
  EXPECT_EQ(Text("FutterpauseNr"), "3");
  EXPECT_EQ(ProgrammingImage.GetFeedingPauseMode(), FeedingPauseModeUnset);
  EXPECT_FALSE(Checked("rbFutterpauseAn"));
  EXPECT_FALSE(Checked("rbFutterpauseAus"));
  Click("rbFutterpauseAn");
  EXPECT_EQ(ProgrammingImage.GetFeedingPauseMode(), 1);
}

TEST_F(ProgrammingFormTest, OutOfRangeInputIsRefusedOrClampedAndNeverWrapped) {
  Load();
  const TProgrammingImage loaded = ProgrammingImage;
  ShowTimeTab(1);
  // Times of day end at 23:59:59; what is no time is refused, and the edit shows the field.
  for (const char* text : {"24:00:00", "99:99:99", "08:00"}) {
    SCOPED_TRACE(text);
    boxes.clear();
    Type("Sonnenaufgang", text);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Ungültige Uhrzeit! Bitte eine Uhrzeit von 00:00:00 bis 23:59:59 eingeben.");
    EXPECT_EQ(Text("Sonnenaufgang"), "08:00:00");
  }
  Type("Sonnenaufgang", "23:59:59");
  EXPECT_FLOAT_EQ(ProgrammingImage.GetDayNightRecord(0).GetSunrise(), 86399.0f);
  // A duration may go up to 99:99:99.
  ShowTimeTab(4);
  Type("IntervallAnZeit", "99:99:99");
  EXPECT_FLOAT_EQ(ProgrammingImage.GetIntervalRecord(0).GetOnTime(), 362439.0f);
  boxes.clear();
  Type("IntervallAusZeit", "1:2");
  EXPECT_EQ(Texts(), std::vector<std::string>{"Ungültige Zeitangabe! Bitte die Zeit als hh:mm:ss eingeben."});

  // Percent bytes stop at 100, the time zone at -12 and +14.
  ShowTimeTab(0);
  Type("StroemPageNachtabsenk", "300");
  EXPECT_EQ(ProgrammingImage.GetCurrentRecord(0).GetNightReduction(), 100);
  EXPECT_EQ(Text("StroemPageNachtabsenk"), "100");
  ShowTimeTab(1);
  Type("TagNachtZeitzone", "+20");
  EXPECT_EQ(ProgrammingImage.GetTimeZone(), 14);
  Type("TagNachtZeitzone", "-200");
  EXPECT_EQ(ProgrammingImage.GetTimeZone(), -12);
  EXPECT_EQ(Text("TagNachtZeitzone"), "-12");
  EXPECT_EQ(Text("MondphaseZeitzone"), "-12");  // the moon tab shows the same field

  // Numbers: a comma is a decimal point; letters, infinities and blanks are refused.
  form.PageControlProgrammingData->setCurrentIndex(0);
  Step("UpDownPhVorgang", -1);
  Type("PhPanelWertSommerTag", "7,25");
  EXPECT_FLOAT_EQ(ProgrammingImage.GetControlRecord(0, 0).GetSetValueDay(), 7.25f);
  for (const char* text : {"abc", "inf", "", "7.2x"}) {
    SCOPED_TRACE(text);
    boxes.clear();
    Type("PhPanelWertSommerNacht", text);
    EXPECT_EQ(Texts(), std::vector<std::string>{"Ungültige Zahl! Bitte einen Zahlenwert eingeben."});
    EXPECT_EQ(Text("PhPanelWertSommerNacht"), "07.20");
  }
  EXPECT_FLOAT_EQ(ProgrammingImage.GetControlRecord(0, 0).GetSetValueNight(), 7.2f);

  // The coordinates are shown and stored at the same offsets on both tabs.
  ShowTimeTab(2);
  Type("MondphaseLaengengrad", "9.5");
  EXPECT_FLOAT_EQ(ProgrammingImage.GetLongitude(), 9.5f);
  EXPECT_FLOAT_EQ(ProgrammingImage.GetLatitude(), loaded.GetLatitude());
  EXPECT_EQ(Text("TagNachtLaengengrad"), "+09.50");
  EXPECT_EQ(Text("TagNachtBreitengrad"), "+53.08");
}

TEST_F(ProgrammingFormTest, EachCheckBeforeAWriteHasItsBoxAndNothingGoesOut) {
  support::PtyPair line;
  line.MapTo(12);
  TAcquisitionState state;
  TDataModule1 bus(state, 12);
  bus.SioComPort1.SetLogName(dir / "SIO.LOG");
  data.Attach(bus, state);
  struct Detach {
    TProgData& data;
    ~Detach() { data.Detach(); }
  } detach{data};

  struct Case {
    std::function<void(TProgrammingImage&)> unset;
    const char* text;
    const char* caption;
  };
  const std::vector<Case> cases = {
      {[](TProgrammingImage& i) { i.GetControlRecord(3, 2).SetMode(4); },
       "Bitte Regelart für Sensor Nr. 4 und Vorgang Nr.3 einstellen ! ", "Regelart"},
      {[](TProgrammingImage& i) { i.GetTimerRecord(31).SetMode(4); },
       "Bitte zuvor Regelart (Aus, Täglich, Wöchentlich) eines bestimmten Zeitschaltuhr Vorgangs auswählen!",
       "Zeitschaltuhr"},
      {[](TProgrammingImage& i) { i.GetIntervalRecord(5).SetMode(4); },
       "Bitte zuvor Betriebsart (Aus, An) eines bestimmten Intervall Vorgangs auswählen!", "Intervall"},
      {[](TProgrammingImage& i) { i.SetFeedingPauseMode(4); },
       "Bitte zuvor Betriebsart (Aus, An) der Futterpause auswählen!", "Futterpause"},
      {[](TProgrammingImage& i) { i.GetCurrentRecord(15).SetMode(3); },
       "Bitte zuvor Strömungsart (Aus, Strömung oder Ebbe/Flut) eines bestimmten Strömungsvorgangs "
       "auswählen!",
       "Strömungssimulation"},
      {[](TProgrammingImage& i) { i.GetDayNightRecord(7).SetMode(3); },
       "Bitte zuvor Simulationsart (Aus, An, Simulation) eines bestimmten Tag/Nacht Vorgangs auswählen!",
       "Tag/Nacht Simulation"},
      {[](TProgrammingImage& i) { i.GetMoonRecord(2).SetMode(3); },
       "Bitte zuvor Simulationsart (Aus, An, Simulation) eines bestimmten Mondsimulations Vorgangs "
       "auswählen!",
       "Mondphase"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.caption);
    sample::TSample s = sample::Configuration();
    c.unset(s.image);
    Load(s);
    form.ApplicationIdle(true);
    boxes.clear();
    form.sbWrtieProgrammingData->trigger();
    RunUntil([] { return false; }, 100);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, c.text);
    EXPECT_EQ(boxes[0].caption, c.caption);
    EXPECT_EQ(boxes[0].kind, TBoxKind::Warning);
    EXPECT_EQ(data.WriteResult(), TTransferResult::None);
    EXPECT_FALSE(sendForm.isVisible());
    EXPECT_TRUE(form.isEnabled());
  }
  EXPECT_EQ(line.Read(1, 200), "");  // not even the write request

  // The checks stop at the first failure: an unset timer and an unset moon give the timer's box.
  sample::TSample s = sample::Configuration();
  s.image.GetTimerRecord(0).SetMode(4);
  s.image.GetMoonRecord(0).SetMode(3);
  Load(s);
  boxes.clear();
  form.Programmierdatenschreiben2->setEnabled(true);
  form.Programmierdatenschreiben2->trigger();
  EXPECT_EQ(Texts(), std::vector<std::string>{cases[1].text});
}

TEST_F(ProgrammingFormTest, AReadRetriesOnTheWindowsTimerAndItsDialogCancelsIt) {
  support::PtyPair line;  // nobody answers
  line.MapTo(13);
  TAcquisitionState state;
  TDataModule1 bus(state, 13);
  bus.SioComPort1.SetLogName(dir / "SIO.LOG");
  data.Attach(bus, state);
  struct Detach {
    TProgData& data;
    ~Detach() { data.Detach(); }
  } detach{data};
  bool othersLocked = false;
  form.LockOtherWindows = [&](bool locked) { othersLocked = locked; };

  form.sbReadProgrammingData->trigger();
  EXPECT_TRUE(readForm.isVisible());
  EXPECT_EQ(readForm.Address->text().toStdString(), "Verbindungsaufnahme");
  EXPECT_TRUE(readForm.btReadDataAbbrechen->isEnabled());
  EXPECT_FALSE(readForm.btReadDataOk->isEnabled());
  EXPECT_EQ(readForm.ReadProgress->maximum(), 7152);
  EXPECT_TRUE(form.RetryTimer->isActive());
  EXPECT_FALSE(form.isEnabled());
  EXPECT_TRUE(othersLocked);
  // The request goes out again on the window's timer.
  std::string sent;
  RunUntil(
      [&] {
        sent += line.Read(64, 10);
        std::size_t n = 0;
        for (std::size_t at = sent.find("DR"); at != std::string::npos; at = sent.find("DR", at + 1)) ++n;
        return n >= 3;
      },
      5000);
  EXPECT_GE(std::count(sent.begin(), sent.end(), 'R'), 3);

  readForm.btReadDataAbbrechen->click();
  EXPECT_EQ(Texts(), std::vector<std::string>{"Lesen der Programmierdaten wurde abgebrochen !"});
  EXPECT_EQ(boxes[0].caption, "Daten lesen");
  EXPECT_FALSE(form.RetryTimer->isActive());
  EXPECT_FALSE(readForm.isVisible());
  EXPECT_TRUE(form.isEnabled());
  EXPECT_FALSE(othersLocked);
  EXPECT_EQ(data.ReadResult(), TTransferResult::Failed);
  EXPECT_FALSE(data.GetImageValid());
}

TEST_F(ProgrammingFormTest, FilesOpenAndSaveThroughTheirDialogsAndARefusedFileChangesNothing) {
  // As a controller keeps them, the unused processes of the Leitwert input carry its type, off.
  for (int p = 1; p < ProcessesPerInput; ++p) sample_.image.GetControlRecord(3, p).SetSensorType(5);
  const std::string good = dir.Write("gut.prg", sample::PrgFile(sample_));
  ClearImage();
  AnswerFileDialog(form.odProgData(), good);
  form.Dateiffnen1->trigger();
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(ProgrammingImage.Bytes, sample_.image.Bytes);
  EXPECT_EQ(SocketTable.Bytes, sample_.sockets.Bytes);
  EXPECT_TRUE(data.GetImageValid());
  EXPECT_EQ(form.FFileName, good);
  EXPECT_EQ(form.windowTitle().toStdString(), "korvidan Programmierschnittstelle [" + good + "]");
  EXPECT_EQ(Text("PhPanelWertSommerTag"), "06.50");
  EXPECT_TRUE(form.Control<QWidget>("btPhNeuerVorgang")->isEnabled());
  // The values of the socket shown take input only for a dimmable one, not for "nicht
  // ausgewählt" (the Leitwert record has no socket; the Temperatur record's socket 3 dims).
  EXPECT_EQ(Label("LwDosenBelegung"), "nicht ausgewählt");
  EXPECT_FALSE(Edit("LwWertAn")->isEnabled());
  EXPECT_FALSE(Edit("LwWertAus")->isEnabled());
  EXPECT_TRUE(Edit("RegelPageTempWertAn")->isEnabled());
  EXPECT_TRUE(Edit("RegelPageTempWertAus")->isEnabled());

  // Foreign, truncated and damaged files: the box, and neither the image, nor the window,
  // nor the name that "Speichern" uses changes.
  std::string damaged = sample::PrgFile(sample_);
  damaged[3589] = 'X';
  const std::pair<std::string, const char*> refused[] = {
      {dir.Write("fremd.prg", std::string(3709, 'x')), "Ungültiges Dateiformat!"},
      {dir.Write("kurz.prg", sample::PrgFile(sample_).substr(0, 3000)),
       "Fehler beim Einlesen: ungültige Daten."},
      {dir.Write("kaputt.prg", damaged), "Fehler beim Einlesen: ungültige Daten."},
  };
  Type("PhPanelWertSommerTag", "6.75");
  const TProgrammingImage edited = ProgrammingImage;
  for (const auto& [file, text] : refused) {
    SCOPED_TRACE(file);
    boxes.clear();
    AnswerFileDialog(form.odProgData(), file);
    form.Dateiffnen1->trigger();
    EXPECT_EQ(Texts(), std::vector<std::string>{text});
    EXPECT_EQ(boxes[0].caption, "Datei öffnen");
    EXPECT_EQ(boxes[0].kind, TBoxKind::Error);
    EXPECT_EQ(ProgrammingImage.Bytes, edited.Bytes);
    EXPECT_EQ(form.FFileName, good);
    EXPECT_EQ(form.windowTitle().toStdString(), "korvidan Programmierschnittstelle [" + good + "]");
    EXPECT_EQ(Text("PhPanelWertSommerTag"), "6.75");
    EXPECT_TRUE(form.Control<QWidget>("btPhNeuerVorgang")->isEnabled());
  }
  const std::string foreign = support::ReadFile(refused[0].first);

  // "Speichern" writes the loaded file without a dialog, "Speichern unter" asks.
  boxes.clear();
  form.Dateispeichern1->trigger();
  EXPECT_TRUE(boxes.empty());
  const std::string saved = support::ReadFile(good);
  ASSERT_EQ(saved.size(), 3709u);
  EXPECT_EQ(saved.substr(12, 3578), std::string(edited.Bytes.begin(), edited.Bytes.end()));
  EXPECT_EQ(support::ReadFile(refused[0].first), foreign);
  const std::string copy = dir / "kopie";
  AnswerFileDialog(form.sdProgData(), copy);
  form.Speichernunter1->trigger();
  EXPECT_EQ(form.FFileName, copy + ".prg");  // the default extension
  EXPECT_EQ(support::ReadFile(copy + ".prg"), saved);
  EXPECT_EQ(form.windowTitle().toStdString(), "korvidan Programmierschnittstelle [" + copy + ".prg]");

  // A fresh window loads the saved file: the same image and socket table, the same pages.
  {
    const TSocketTable sockets = SocketTable;
    ClearImage();
    TProgData freshData;
    TProgrammingForm fresh;
    fresh.Connect(freshData, nullptr, nullptr, nullptr);
    AnswerFileDialog(fresh.odProgData(), copy + ".prg");
    fresh.Dateiffnen1->trigger();
    EXPECT_EQ(ProgrammingImage.Bytes, edited.Bytes);
    EXPECT_EQ(SocketTable.Bytes, sockets.Bytes);
    EXPECT_EQ(fresh.Control<QLineEdit>("PhPanelWertSommerTag")->text().toStdString(), "06.75");
    EXPECT_EQ(fresh.Control<QLineEdit>("RegelPageTempDose")->text().toStdString(), "3");
    EXPECT_EQ(fresh.FFileName, copy + ".prg");
  }

  // Without a name "Speichern" asks; a cancelled dialog saves nothing.
  form.FFileName.clear();
  AnswerFileDialog(form.sdProgData(), "");
  form.Dateispeichern1->trigger();
  EXPECT_TRUE(form.FFileName.empty());
  EXPECT_TRUE(boxes.empty());
}

TEST_F(ProgrammingFormTest, AnEditStillBeingTypedIsStoredBeforeASave) {
  Load();
  form.show();
  QLineEdit* e = Edit("PhPanelWertSommerNacht");
  form.activateWindow();
  e->setFocus();
  RunUntil([e] { return e->hasFocus(); }, 2000);
  ASSERT_TRUE(e->hasFocus());
  e->setText("6.45");
  e->setModified(true);
  const std::string file = dir / "offen.prg";
  form.FFileName = file;
  form.Dateispeichern1->trigger();  // a menu command leaves the focus where it was
  TProgrammingImage saved;
  std::memcpy(saved.Bytes.data(), support::ReadFile(file).data() + 12, 3578);
  EXPECT_FLOAT_EQ(saved.GetControlRecord(0, 1).GetSetValueNight(), 6.45f);
  form.hide();
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
