// The end-to-end programming tests' share: the application against the controller simulator
// holding the sample configuration, the user who opens the programming window from the menu
// and reads, the fields every page and tab must show for the sample, and the edits of one
// field of each kind of control with what each does to the image.
#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "app/Application.h"
#include "app/KorvidanVersionForm.h"
#include "app/Main.h"
#include "app/UiThread.h"
#include "platform/Database.h"
#include "platform/Registry.h"
#include "programming/ProgrammingEdits.h"
#include "programming/Programmingdata.h"
#include "programming/ui/ProgrammingForm.h"
#include "programming/ui/RadioGroup.h"
#include "programming/ui/TransferForms.h"
#include "programming/ui/UpDown.h"
#include "serial/ComSelectForm.h"
#include "tests/main/Driver.h"
#include "tests/programming_ui/ProgrammingSample.h"
#include "tests/support/TempDir.h"

namespace e2e {

// What a page or tab shows: the control and its text (or, for a radio button or group, the
// checked state or item index written as a text).
struct TShown {
  int page, tab;
  const char* control;
  std::string text;
};

// Every page and tab of the window for the sample configuration (Regelung shows the last
// used record of each quantity).
inline std::vector<TShown> SampleFields() {
  return {
      {0, 0, "RegelPage_pH_SensorNr", "1"},
      {0, 0, "RegelPage_pH_VorgangNr", "2"},
      {0, 0, "PhPanelWertSommerTag", "06.50"},
      {0, 0, "PhPanelWertSommerNacht", "06.60"},
      {0, 0, "RegelPage_pH_ObererAlarm", "07.00"},
      {0, 0, "RegelPage_pH_UntererAlarm", "06.00"},
      {0, 0, "RegelPage_pH_ErhoehenRButton", "checked"},
      {0, 0, "RegelPage_pH_Dose", "2"},
      {0, 0, "RegelPage_pH_DosenBelegung", "pH"},
      {0, 0, "RegelPage_pH_WertEin", "100"},
      {0, 0, "RegelPage_pH_WertAus", "0"},
      {0, 1, "RegelPageRxSensorNr", "3"},
      {0, 1, "RxPaneWert", " 350"},
      {0, 1, "RxPanelObererAlarm", " 400"},
      {0, 1, "RxPanelUntererAlarm", " 250"},
      {0, 1, "RegelPageRxSenkenRButton", "checked"},
      {0, 1, "RxPageDose", "4"},
      {0, 1, "RedoxDosenBelegung", "Redox"},
      {0, 2, "RegelPageLwSensorNr", "4"},
      {0, 2, "RegelPageLwWert", " 52"},
      {0, 2, "LWPanelObererAlarm", " 55"},
      {0, 2, "LWPanelUntererAlarm", " 48"},
      {0, 2, "LwPageDose", "0"},
      {0, 2, "LwDosenBelegung", "nicht ausgewählt"},
      {0, 3, "RegelPageO2SensorNr", "5"},
      {0, 3, "RegelPageO2WertTag", "008.5"},
      {0, 3, "RegelPageO2WertNacht", "007.5"},
      {0, 3, "RegelPageO2ObererAlarm", "010.0"},
      {0, 3, "RegelPageO2UntererAlarm", "005.0"},
      {0, 4, "RegelPagePeSensorNr", "6"},
      {0, 4, "RegelPagePeAlarmZeit", "00:10:00"},
      {0, 4, "RegelPagePeNachfuellenRButton", "checked"},
      {0, 4, "PeDosenBelegung", "Pegel"},
      {0, 5, "RegelPageTempSensorNr", "2"},
      {0, 5, "TempPanelWertSommerTag", "25.2"},
      {0, 5, "TempPanelWertSommerNAcht", "24.5"},
      {0, 5, "TempPanelWertWinterTag", "24.0"},
      {0, 5, "TempPanelWertWinterNacht", "23.0"},
      {0, 5, "RegelPageTempObererAlarm", "27.5"},
      {0, 5, "RegelPageTempUntererAlarm", "22.0"},
      {0, 5, "RegelPageTempHeizenRButton", "checked"},
      {0, 5, "RegelPageTempDose", "3"},
      {0, 5, "TeDosenBelegung", "Temperatur"},
      {0, 5, "RegelPageTempWertAn", "63"},
      {0, 5, "RegelPageTempWertAus", "3"},
      {1, 0, "rgStroemArt", "item 2"},
      {1, 0, "StroemPageDauerEbbeFlut", "06:00:00"},
      {1, 0, "StroemPageZufall", "00:10:00"},
      {1, 0, "StroemPageWellenDauer", "00:00:30"},
      {1, 0, "rgWellen", "item 0"},
      {1, 0, "StroemPageNachtabsenk", "040"},
      {1, 0, "StroemPageDoseEbbe", "7"},
      {1, 0, "EbbeDosenBelegung", "Strömung/Ebbe"},
      {1, 0, "StroemPageWertEbbeAn", "067"},
      {1, 0, "StroemPageWertEbbeAus", "007"},
      {1, 0, "StroemPageDoseFlut", "8"},
      {1, 0, "FlutDosenBelegung", "Strömung/Flut"},
      {1, 0, "StroemPageWertFlutAn", "068"},
      {1, 1, "rbTagNachtSimArtAn", "checked"},
      {1, 1, "Sonnenaufgang", "08:00:00"},
      {1, 1, "Sonnenuntergang", "20:30:00"},
      {1, 1, "TagNachtLaengengrad", "+08.80"},
      {1, 1, "TagNachtBreitengrad", "+53.08"},
      {1, 1, "TagNachtZeitzone", "-03"},
      {1, 1, "TagNachtDose", "10"},
      {1, 1, "TagNachtDosenBelegung", "Licht"},
      {1, 2, "rbMondphaseSArtSimu", "checked"},
      {1, 2, "Mondaufgang", "21:00:00"},
      {1, 2, "Monduntergang", "05:00:00"},
      {1, 2, "MondHelligkeit", "030"},
      {1, 2, "MondphaseLaengengrad", "+08.80"},
      {1, 2, "MondphaseZeitzone", "-03"},
      {1, 2, "MondphaseDose", "9"},
      {1, 2, "MondphaseWertAn", "069"},
      {1, 2, "MondphaseWertAus", "009"},
      {1, 3, "rbZeitschaltWoechentlich", "checked"},
      {1, 3, "rgTageDerWoche", "item 3"},
      {1, 3, "ZeitschaltuhrBeginn", "10:00:00"},
      {1, 3, "ZeitschaltuhrEnde", "10:30:00"},
      {1, 3, "ZeitschaltDose", "12"},
      {1, 3, "ZeitschaltDosenBelegung", "Zeitschaltuhr"},
      {1, 4, "rbIntervalAn", "checked"},
      {1, 4, "IntervallBeginn", "09:00:00"},
      {1, 4, "IN_AktivBis", "21:00:00"},
      {1, 4, "IntervallAnZeit", "00:05:00"},
      {1, 4, "IntervallAusZeit", "00:55:00"},
      {1, 4, "IntervallZufallAn", "00:01:00"},
      {1, 4, "IntervallZufallAus", "00:02:00"},
      {1, 4, "IntervallDose", "5"},
      {1, 5, "rbFutterpauseAn", "checked"},
      {1, 5, "FutterpauseBeginn", "23:00:00"},
      {1, 5, "FutterpauseAnZeit", "02:00:00"},
      {1, 5, "FutterpauseEnde", "01:00:00"},
      {1, 5, "FutterpauseDose", "7"},
      {1, 5, "FutterpauseWertAn", "030"},
      {2, 0, "rbTrend1Tag", "checked"},
      {2, 1, "Speicherintervall", "00:15:00"},
      {2, 1, "rbSpeicherLoeschenNein", "checked"},
      {2, 2, "rgLeitwert", "item 1"},
      {2, 2, "rgRedoxwert", "item 0"},
      {2, 2, "rgSauerstoff", "item 1"},
      {2, 2, "rgTemperaturwert", "item 0"},
      {2, 2, "rgInternesDisplay", "item 2"},
      {2, 2, "rgExternesDisplay", "item 1"},
      {3, 0, "SystemPageDatum", "01.01.2024"},
      {3, 0, "SystemPageUhrzeit", "12:34:56"},
      {3, 1, "rbAkustAlarmAn", "checked"},
      {3, 2, "rbExternAlarmAn", "checked"},
      {3, 2, "ExtAlarmDose", "6"},
      {3, 2, "ExtAlarmDosenBelegung", "externer Alarm"},
      {3, 3, "rbProgstufeProfi", "checked"},
  };
}

// The user of the programming window.
class ProgrammingUser {
 public:
  explicit ProgrammingUser(TProgrammingForm& form) : form_(form) {}

  void Show(int page, int tab) {
    form_.PageControlProgrammingData->setCurrentIndex(page);
    QTabWidget* inner[] = {form_.PageControl2, form_.PageControlZeitschaltuhr, form_.PageControl4,
                           form_.PageControlMenuLayer2};
    inner[page]->setCurrentIndex(tab);
  }
  // What a control shows, in the terms of TShown.
  std::string Shown(const char* name) {
    if (auto* e = form_.Control<QLineEdit>(name)) return e->text().toStdString();
    if (auto* l = form_.Control<QLabel>(name)) return l->text().toStdString();
    if (auto* g = form_.Control<TRadioGroup>(name)) return "item " + std::to_string(g->ItemIndex());
    if (auto* r = form_.Control<QRadioButton>(name)) return r->isChecked() ? "checked" : "unchecked";
    ADD_FAILURE() << "no control " << name;
    return {};
  }
  void ExpectShows(const std::vector<TShown>& fields) {
    for (const TShown& f : fields) {
      Show(f.page, f.tab);
      EXPECT_EQ(Shown(f.control), f.text) << f.control;
    }
  }
  void Type(const char* name, const char* text) {
    QLineEdit* e = form_.Control<QLineEdit>(name);
    ASSERT_TRUE(e && e->isEnabled() && !e->isReadOnly()) << name;
    e->setText(QString::fromUtf8(text));
    e->setModified(true);
    QFocusEvent out(QEvent::FocusOut);
    QApplication::sendEvent(e, &out);
  }
  void Click(const char* name) {
    QAbstractButton* b = form_.Control<QAbstractButton>(name);
    ASSERT_TRUE(b && b->isEnabled()) << name;
    b->click();
  }
  void ClickItem(const char* group, int item) {
    TRadioGroup* g = form_.Control<TRadioGroup>(group);
    ASSERT_TRUE(g && g->isEnabled()) << group;
    g->Button(item)->click();
  }
  void Step(const char* name, int direction) {
    TUpDown* u = form_.Control<TUpDown>(name);
    ASSERT_TRUE(u && u->isEnabled()) << name;
    direction > 0 ? u->ClickNext() : u->ClickPrev();
  }

 private:
  TProgrammingForm& form_;
};

// One edit of each kind of control, done through the window, and the same edit on an image.
struct TEdit {
  const char* what;
  std::function<void(ProgrammingUser&)> onScreen;
  std::function<void(TProgrammingImage&, TSocketTable&)> onImage;
};

inline std::vector<TEdit> OneEditOfEachKind() {
  using namespace ProgLayout;
  return {
      {"a set value",
       [](ProgrammingUser& u) {
         u.Show(0, 0);
         u.Step("UpDownPhVorgang", -1);
         u.Type("PhPanelWertSommerTag", "7,25");
       },
       [](TProgrammingImage& i, TSocketTable&) { i.GetControlRecord(0, 0).SetSetValueDay(7.25f); }},
      {"a control mode",
       [](ProgrammingUser& u) {
         u.Show(0, 1);
         u.Click("RegelPageRxErhoehenRButton");
       },
       [](TProgrammingImage& i, TSocketTable&) { i.GetControlRecord(2, 0).SetMode(ControlModeRaise); }},
      {"a control socket",
       [](ProgrammingUser& u) {
         u.Show(0, 5);
         u.Step("UpDown2", 1);
         u.Click("btTeUebernehemen");
       },
       [](TProgrammingImage& i, TSocketTable& s) {
         i.GetControlRecord(1, 0).SetSocket(4);
         s.GetEntry(4).SetAssignment(2);
       }},
      {"a duration",
       [](ProgrammingUser& u) {
         u.Show(1, 4);
         u.Type("IntervallAnZeit", "00:06:00");
       },
       [](TProgrammingImage& i, TSocketTable&) { i.GetIntervalRecord(0).SetOnTime(360.0f); }},
      {"a new record and its mode",
       [](ProgrammingUser& u) {
         u.Show(1, 4);
         u.Click("btIntervallNeuerVorgang");
         u.Click("rbIntervalAn");
       },
       [](TProgrammingImage& i, TSocketTable&) { i.GetIntervalRecord(1).SetMode(1); }},
      {"a percent",
       [](ProgrammingUser& u) {
         u.Show(1, 0);
         u.Type("StroemPageNachtabsenk", "055");
       },
       [](TProgrammingImage& i, TSocketTable&) { i.GetCurrentRecord(0).SetNightReduction(55); }},
      {"a time of day",
       [](ProgrammingUser& u) {
         u.Show(1, 1);
         u.Type("Sonnenaufgang", "07:30:00");
       },
       [](TProgrammingImage& i, TSocketTable&) { i.GetDayNightRecord(0).SetSunrise(27000.0f); }},
      {"the time zone",
       [](ProgrammingUser& u) {
         u.Show(1, 1);
         u.Type("TagNachtZeitzone", "+02");
       },
       [](TProgrammingImage& i, TSocketTable&) { i.SetTimeZone(2); }},
      {"a coordinate",
       [](ProgrammingUser& u) {
         u.Show(1, 2);
         u.Type("MondphaseBreitengrad", "50.5");
       },
       [](TProgrammingImage& i, TSocketTable&) { i.SetLatitude(50.5f); }},
      {"a day of the week",
       [](ProgrammingUser& u) {
         u.Show(1, 3);
         u.ClickItem("rgTageDerWoche", 6);
       },
       [](TProgrammingImage& i, TSocketTable&) { i.GetTimerRecord(0).SetDayOfWeek(6); }},
      {"a feeding-pause value",
       [](ProgrammingUser& u) {
         u.Show(1, 5);
         u.Type("FutterpauseWertAn", "045");
         u.Click("btFutterpauseUebernehmen");
       },
       [](TProgrammingImage& i, TSocketTable&) { i.SetFeedingPausePercent(0, 45); }},
      {"a trend period",
       [](ProgrammingUser& u) {
         u.Show(2, 0);
         u.Click("rbTrend1Woche");
       },
       [](TProgrammingImage& i, TSocketTable&) { i.SetTrendPeriod(TrendPeriod1Week); }},
      {"the storage interval",
       [](ProgrammingUser& u) {
         u.Show(2, 1);
         u.Type("Speicherintervall", "00:30:00");
       },
       [](TProgrammingImage& i, TSocketTable&) { i.SetStorageInterval(1800.0f); }},
      {"a unit",
       [](ProgrammingUser& u) {
         u.Show(2, 2);
         u.ClickItem("rgLeitwert", 2);
       },
       [](TProgrammingImage& i, TSocketTable&) { i.SetConductivityUnit(2); }},
      {"an alarm switch",
       [](ProgrammingUser& u) {
         u.Show(3, 1);
         u.Click("rbAkustAlarmAus");
       },
       [](TProgrammingImage& i, TSocketTable&) { i.SetAcousticAlarm(0); }},
  };
}

// The image offsets and socket-table offsets in which two configurations differ.
inline std::set<std::size_t> Differences(const std::vector<std::uint8_t>& a,
                                         const std::vector<std::uint8_t>& b) {
  std::set<std::size_t> d;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
    if (a[i] != b[i]) d.insert(i);
  return d;
}

inline std::vector<std::uint8_t> Bytes(const TProgrammingImage& image, const TSocketTable& sockets) {
  std::vector<std::uint8_t> v(image.Bytes.begin(), image.Bytes.end());
  v.insert(v.end(), sockets.Bytes.begin(), sockets.Bytes.end());
  return v;
}

// The boxes the application showed.
struct Boxes {
  std::mutex lock;
  std::vector<std::string> texts;
  std::vector<TMsgKind> kinds;
  void Add(const std::string& t, TMsgKind kind) {
    std::lock_guard<std::mutex> g(lock);
    texts.push_back(t);
    kinds.push_back(kind);
  }
  int Count(const std::string& text) {
    std::lock_guard<std::mutex> g(lock);
    int n = 0;
    for (const std::string& t : texts) n += t == text;
    return n;
  }
  int Count(const std::string& text, TMsgKind kind) {
    std::lock_guard<std::mutex> g(lock);
    int n = 0;
    for (std::size_t i = 0; i < texts.size(); ++i) n += texts[i] == text && kinds[i] == kind;
    return n;
  }
};

// The whole run of a programming session against the simulator: start-up, the window from
// the menu, a read, the fields checked, one edit of each kind, a write, and the simulator's
// memory afterwards.
class ProgrammingSession : public ::testing::Test {
 protected:
  void SetUp() override {
    fs_ = tmp_.path();
    std::filesystem::create_directories(fs_ / "db");
    SetRegistryFile((fs_ / "registry.ini").string());
    Session().AddStandardAlias("Zelvanor", fs_ / "db");
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(fs_);
    MessageSink = [this](const std::string& text, TMsgKind kind) { boxes.Add(text, kind); };
    driver_ = new QTimer();
    QObject::connect(driver_, &QTimer::timeout, [this] {
      // Closed before any query: the firmware stays 216, as after a query never answered.
      if (closeVersionDialog)
        for (QWidget* w : QApplication::topLevelWidgets())
          if (auto* v = qobject_cast<TTKorvidanVersionForm*>(w); v && v->isVisible())
            v->done(QDialog::Accepted);
      user.Act();
    });
    driver_->start(50);
  }
  void TearDown() override {
    // What the application said, for a failure that only shows on a loaded machine.
    if (HasFailure())
      for (const std::string& t : boxes.texts) std::fprintf(stderr, "box: %s\n", t.c_str());
    delete driver_;
    MessageSink = nullptr;
    std::filesystem::current_path(old_);
  }

  void Run(int firmware, DWORD pairPauseMs) {
    const sample::TSample s = sample::Configuration();
    const std::string source = tmp_.Write("sample.prg", sample::PrgFile(s));
    const std::string saved = (fs_ / "controller.prg").string();
    Simulator sim({"--controller",
                   "version=" + std::to_string(firmware) + ",clock=off,image=" + source + ",save=" + saved,
                   "--period", "1"});
    setenv("SIO_COM1", sim.Path().c_str(), 1);
    InstallComSelectPrompt();
    closeVersionDialog = firmware < 217;

    auto app = std::make_unique<TKorvidanApplication>();
    TForm1& main = *app->MainForm;
    TProgrammingForm& form = *app->Programming;
    TProgData& data = *main.FProgData;
    data.HexPairPauseMs = pairPauseMs;
    main.FState.SetIntervalSeconds(0);
    app->Bus->ListenMilliseconds = 400;
    app->Show();
    ASSERT_TRUE(RunUntil([&] { return user.startAnswers == 1; }, 30000)) << "no start question";
    EXPECT_EQ(app->Version->Query.GetFirmwareVersion(), firmware < 217 ? 216 : 219);
    ASSERT_TRUE(RunUntil([&] { return main.IsCollecting(); }, 5000));

    // The window from the menu; a read stops the acquisition and starts it again afterwards.
    ASSERT_TRUE(main.korvidanprogrammieren1->isEnabled());
    main.korvidanprogrammieren1->trigger();
    ASSERT_TRUE(form.isVisible());
    EXPECT_FALSE(form.sbWrtieProgrammingData->isEnabled());
    ASSERT_TRUE(form.sbReadProgrammingData->isEnabled());
    form.sbReadProgrammingData->trigger();
    ASSERT_TRUE(RunUntil([&] { return data.ReadResult() != TTransferResult::Running; }, 30000));
    ASSERT_EQ(data.ReadResult(), TTransferResult::Ok);
    EXPECT_EQ(boxes.Count("Datenabfrage wird gestoppt!"), 1);
    EXPECT_TRUE(app->ReadDataRam->isVisible());
    EXPECT_EQ(app->ReadDataRam->Address->text().toStdString(), "Daten gelesen");
    app->ReadDataRam->btReadDataOk->click();
    EXPECT_FALSE(app->ReadDataRam->isVisible());
    EXPECT_TRUE(main.IsCollecting());
    EXPECT_TRUE(main.isEnabled());
    EXPECT_TRUE(form.isEnabled());
    EXPECT_EQ(Bytes(ProgrammingImage, SocketTable), Bytes(s.image, s.sockets));
    // The idle handler: a valid image enables the write commands.
    ASSERT_TRUE(RunUntil([&] { return form.sbWrtieProgrammingData->isEnabled(); }, 2000));
    EXPECT_TRUE(form.Programmierdatenschreiben2->isEnabled());

    ProgrammingUser u(form);
    u.ExpectShows(SampleFields());

    // One edit of each kind; each changes what it should and nothing else.
    TProgrammingImage expected = s.image;
    TSocketTable expectedSockets = s.sockets;
    for (const TEdit& e : OneEditOfEachKind()) {
      SCOPED_TRACE(e.what);
      const std::vector<std::uint8_t> before = Bytes(ProgrammingImage, SocketTable);
      e.onScreen(u);
      e.onImage(expected, expectedSockets);
      EXPECT_FALSE(Differences(before, Bytes(ProgrammingImage, SocketTable)).empty());
      ASSERT_EQ(Bytes(ProgrammingImage, SocketTable), Bytes(expected, expectedSockets));
    }
    const std::set<std::size_t> changed =
        Differences(Bytes(s.image, s.sockets), Bytes(expected, expectedSockets));

    const int stoppedBefore = boxes.Count("Datenabfrage wird gestoppt!");
    form.sbWrtieProgrammingData->trigger();
    ASSERT_TRUE(RunUntil([&] { return data.WriteResult() != TTransferResult::Running; },
                         static_cast<int>(20000 + 3 * 3697 * pairPauseMs)));
    ASSERT_EQ(data.WriteResult(), TTransferResult::Ok);
    EXPECT_EQ(boxes.Count("Datenübertragung OK", TMsgKind::Plain), 1) << "a box without an icon";
    EXPECT_EQ(boxes.Count("Datenabfrage wird gestoppt!"), stoppedBefore + 1);
    EXPECT_FALSE(app->SendDataRam->isVisible());
    EXPECT_TRUE(main.IsCollecting());
    EXPECT_FALSE(app->Debug->Memo1->toPlainText().isEmpty());
    // The image in memory is in PC order again.
    EXPECT_EQ(Bytes(ProgrammingImage, SocketTable), Bytes(expected, expectedSockets));

    // The controller's memory differs from before in exactly those bytes.
    ASSERT_TRUE(RunUntil([&] { return std::filesystem::exists(saved); }, 5000));
    const std::string file = support::ReadFile(saved);
    ASSERT_EQ(file.size(), 3709u);
    const std::vector<std::uint8_t> controller(file.begin() + 12, file.end());
    EXPECT_EQ(Differences(Bytes(s.image, s.sockets), controller), changed);
    EXPECT_EQ(controller, Bytes(expected, expectedSockets));

    main.close();
    app.reset();
  }

  support::TempDir tmp_{"korvidan-e2e-prog"};
  std::filesystem::path fs_, old_;
  Boxes boxes;
  User user;
  bool closeVersionDialog = false;
  QTimer* driver_ = nullptr;
};

}  // namespace e2e
