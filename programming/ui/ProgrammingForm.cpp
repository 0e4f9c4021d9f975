#include "programming/ui/ProgrammingForm.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "programming/ProgDataTransfer.h"
#include "programming/Ttimejulian.h"
#include "programming/ui/RadioGroup.h"
#include "programming/ui/TransferForms.h"
#include "programming/ui/UpDown.h"
#include "ui_ProgrammingForm.h"
#include "ui_ProgrammingMesswerte.h"
#include "ui_ProgrammingRegelung.h"
#include "ui_ProgrammingSystem.h"
#include "ui_ProgrammingZeitfunktionen.h"

using namespace ProgLayout;

TProgrammingForm* ProgrammingForm = nullptr;

namespace {

// Boxes of refused input.
constexpr const char* InputCaption = "Eingabe";
constexpr const char* BadNumberText = "Ungültige Zahl! Bitte einen Zahlenwert eingeben.";
constexpr const char* BadTimeOfDayText =
    "Ungültige Uhrzeit! Bitte eine Uhrzeit von 00:00:00 bis 23:59:59 eingeben.";
constexpr const char* BadDurationText = "Ungültige Zeitangabe! Bitte die Zeit als hh:mm:ss eingeben.";

constexpr const char* NoMoreProcessesText = "Keine weiteren Regelvorgänge möglich!";

QString Q(const std::string& s) { return QString::fromStdString(s); }

int Direction(TUDBtnType button) { return button == btNext ? 1 : -1; }

// Checks the button of an index and clears the others; -1 clears all.
void CheckOnly(const std::vector<QRadioButton*>& buttons, int index) {
  for (int i = 0; i < static_cast<int>(buttons.size()); ++i) {
    QRadioButton* b = buttons[static_cast<std::size_t>(i)];
    if (i == index) continue;
    b->setAutoExclusive(false);
    b->setChecked(false);
    b->setAutoExclusive(true);
  }
  if (index >= 0 && index < static_cast<int>(buttons.size()))
    buttons[static_cast<std::size_t>(index)]->setChecked(true);
}

void Uncheck(QRadioButton* b) {
  b->setAutoExclusive(false);
  b->setChecked(false);
  b->setAutoExclusive(true);
}

// The item index of a byte in a group of count items; -1 for any other value.
int ItemOf(std::uint8_t value, int count) { return value < count ? value : -1; }

}  // namespace

// ---------------------------------------------------------------------------------------
// Tables

enum class TFieldKind {
  Float,        // float32 with the field's format
  TimeOfDay,    // float32 seconds of the day, up to 23:59:59
  Duration,     // float32 seconds, up to 99:99:99
  FeedingTime,  // float32 seconds, at most 86399
  Percent,      // byte 0..100, "%03d"
  TimeZone,     // signed byte, hours -12..+14, "%+03d"
};

struct TProgrammingForm::TField {
  QLineEdit* edit = nullptr;
  TFieldKind kind = TFieldKind::Float;
  const char* format = "%f";
  // The field's image offset for the record shown; none while no record is selected.
  std::function<std::optional<std::size_t>()> offset;
  // After a value was stored.
  std::function<void()> after;
  bool always = false;  // stored on every exit, not only when the text was changed
};

struct TProgrammingForm::TSocketSet {
  QLineEdit* edit = nullptr;
  TUpDown* stepper = nullptr;
  QLabel* label = nullptr;
  QLineEdit* on = nullptr;
  QLineEdit* off = nullptr;  // none on the feeding-pause tab
  QPushButton* assign = nullptr;
};

struct TProgrammingForm::TControlTab {
  std::uint8_t type;
  const char* format;
  std::uint8_t code;
  const char* caption;
  bool setsType;  // "Neuer Vorgang" gives the new process this tab's sensor type
  QLineEdit* input;
  TUpDown* inputStepper;
  QLineEdit* process;
  TUpDown* processStepper;
  std::vector<QRadioButton*> modes;
  QPushButton* newProcess;
  TRadioGroup* controlIn;  // pH only
  std::vector<TField*> values;
  int socket;
  int group;
};

enum class TTimeKind { Current, DayNight, Moon, Timer, Interval, FeedingPause };

struct TProgrammingForm::TTimeTab {
  TTimeKind kind;
  TRecordBlock block;
  QLineEdit* number;
  TUpDown* stepper;
  QPushButton* newRecord;
  int messageCode;  // of a refused step; -1: nothing
  const char* noMoreText;
  const char* noMoreCaption;
  std::vector<QRadioButton*> modes;
  std::vector<TField*> fields;
  std::vector<int> sockets;
  int group;
};

// The socket controls, one set per page or record kind: pH to temperature, interval, timer, moon,
// day/night, ebb, flood, external alarm, feeding pause.
enum TSocketSetIndex {
  SockPh,
  SockRx,
  SockLw,
  SockO2,
  SockPe,
  SockTe,
  SockIntervall,
  SockZeitschalt,
  SockMond,
  SockTagNacht,
  SockEbbe,
  SockFlut,
  SockExtAlarm,
  SockFutter,
  SocketSetCount
};

// The 19 page groups and their enabling families.
enum TGroupIndex : int {
  GroupPh,
  GroupRx,
  GroupLw,
  GroupO2,
  GroupPe,
  GroupTe,
  GroupStroemung,
  GroupTagNacht,
  GroupMond,
  GroupZeitschalt,
  GroupIntervall,
  GroupFutter,
  GroupTrend,
  GroupSpeicherung,
  GroupAnzeige,
  GroupDatum,
  GroupAkustAlarm,
  GroupExtAlarm,
  GroupProgstufe,
  GroupCount
};

namespace {

struct TSocketNames {
  const char *edit, *stepper, *label, *on, *off, *assign;
};
constexpr TSocketNames SocketNames[SocketSetCount] = {
    {"RegelPage_pH_Dose", "UpDownDosePH", "RegelPage_pH_DosenBelegung", "RegelPage_pH_WertEin",
     "RegelPage_pH_WertAus", "btPhUebernehmen"},
    {"RxPageDose", "UpDownDoseRx", "RedoxDosenBelegung", "RedoxWertAn", "RedoxWertAus", "btRxUebernehemen"},
    {"LwPageDose", "UpDownDoseLw", "LwDosenBelegung", "LwWertAn", "LwWertAus", "btLwUebernehmen"},
    {"O2PageDose", "UpDownDoseO2", "O2DosenBelegung", "O2WertAn", "O2WertAus", "btO2Uebernehmen"},
    {"PePageDose", "UpDownDosePe", "PeDosenBelegung", "PeWertAn", "PeWertAus", "btPeUebernehmen"},
    {"RegelPageTempDose", "UpDown2", "TeDosenBelegung", "RegelPageTempWertAn", "RegelPageTempWertAus",
     "btTeUebernehemen"},
    {"IntervallDose", "UpDownIntervall", "IntervallDosenBelegung", "IntervallWertAn", "IntervallWertAus",
     "btIntervallUebernehmen"},
    {"ZeitschaltDose", "UpDownDoseZeitschalt", "ZeitschaltDosenBelegung", "ZeitschaltWertAn",
     "ZeitschaltWertAus", "btZeitschaltUebernehmen"},
    {"MondphaseDose", "UpDownDoseMond", "MondDosenBelegung", "MondphaseWertAn", "MondphaseWertAus",
     "btMondUebernehmen"},
    {"TagNachtDose", "UpDownDoseTagNacht", "TagNachtDosenBelegung", "TAgNachtWertAn", "TagNachtWertAus",
     "btTagNachtUebernehmen"},
    {"StroemPageDoseEbbe", "UpDownDoseEbbe", "EbbeDosenBelegung", "StroemPageWertEbbeAn",
     "StroemPageWertEbbeAus", "btStroemEbbeUebernehmen"},
    {"StroemPageDoseFlut", "UpDownDoseFlut", "FlutDosenBelegung", "StroemPageWertFlutAn",
     "StroemPageWertFlutAus", "btStroemFlutUebernehmen"},
    {"ExtAlarmDose", "UpDownDoseExtAlarm", "ExtAlarmDosenBelegung", "ExtAlarmWertAn", "ExtAlarmWertAus",
     "btExtAlarmDoseUebernehmen"},
    {"FutterpauseDose", "UpDownFutterpause", "FutterpauseDosenBelegung", "FutterpauseWertAn", nullptr,
     "btFutterpauseUebernehmen"},
};

struct TValueName {
  const char* edit;
  std::size_t offset;
};

struct TControlTabNames {
  const char *input, *inputStepper, *process, *processStepper;
  const char* modes[3];
  const char* newProcess;
  TValueName values[6];
  std::uint8_t type;
  const char* format;
  std::uint8_t code;
  const char* caption;
  const char* controlIn;
  int socket;
};

// The six tabs of "Regelung" in the order of PageControl2.
const TControlTabNames ControlTabNames[6] = {
    {"RegelPage_pH_SensorNr",
     "UpDownSensorPH",
     "RegelPage_pH_VorgangNr",
     "UpDownPhVorgang",
     {"RegelPage_pH_AusRButton", "RegelPage_pH_CO2RButton", "RegelPage_pH_ErhoehenRButton"},
     "btPhNeuerVorgang",
     {{"PhPanelWertSommerTag", 3},
      {"PhPanelWertSommerNacht", 7},
      {"RegelPage_pH_ObererAlarm", 23},
      {"RegelPage_pH_UntererAlarm", 19}},
     1,
     "%05.2f",
     1,
     "pH-Regelung",
     "rgPhControlinThe",
     SockPh},
    {"RegelPageRxSensorNr",
     "UpDown3Redox",
     "RegelPageRxVorgangNr",
     "UpDown3",
     {"RegelPageRxAusRButton", "RegelPageRxSenkenRButton", "RegelPageRxErhoehenRButton"},
     "btRxNeuerVorgang",
     {{"RxPaneWert", 3}, {"RxPanelObererAlarm", 23}, {"RxPanelUntererAlarm", 19}},
     3,
     "%4.0f",
     3,
     "Redox-Regelung",
     nullptr,
     SockRx},
    {"RegelPageLwSensorNr",
     "UpDown3LEitwert",
     "RegelPageLwVorgangNr",
     "UpDown6",
     {"RegelPageLwAusRButton", "RegelPageLwSenkenRButton", "RegelPageLwErhoehenRButton"},
     "btLwNeuerVorgang",
     {{"RegelPageLwWert", 3}, {"LWPanelObererAlarm", 23}, {"LWPanelUntererAlarm", 19}},
     5,
     "%3.0f",
     5,
     "Leitwert-Regelung",
     nullptr,
     SockLw},
    {"RegelPageO2SensorNr",
     "UpDown3O2",
     "RegelPageO2_VorgangNr",
     "UpDown4",
     {"RegelPageO2AusRButton", "RegelPageO2SenkenRButton", "RegelPageO2ErhoehenRButton"},
     "btO2NeuerVorgang",
     {{"RegelPageO2WertTag", 3},
      {"RegelPageO2WertNacht", 7},
      {"RegelPageO2ObererAlarm", 23},
      {"RegelPageO2UntererAlarm", 19}},
     6,
     "%05.1f",
     6,
     "Sauerstoff-Regelung",
     nullptr,
     SockO2},
    {"RegelPagePeSensorNr",
     "UpDown3Pegel",
     "RegelPagePeVorgangNr",
     "UpDown5",
     {"RegelPagePeAusRButton", "RegelPagePeAblassenRButton", "RegelPagePeNachfuellenRButton"},
     "btPeNeuerVorgang",
     {{"RegelPagePeAlarmZeit", 27}},
     7,
     nullptr,  // the alarm time is a time text
     7,
     "Pegel-Regelung",
     nullptr,
     SockPe},
    {"RegelPageTempSensorNr",
     "UpDownTempSensor",
     "RegelPageTempVorgangNr",
     "UpDownTempVorgang",
     {"RegelPageTempAusRButtom", "RegelPageTempKuehlenRButton", "RegelPageTempHeizenRButton"},
     "btTempNeuerVorgang",
     {{"TempPanelWertSommerTag", 3},
      {"TempPanelWertSommerNAcht", 7},
      {"TempPanelWertWinterTag", 11},
      {"TempPanelWertWinterNacht", 15},
      {"RegelPageTempObererAlarm", 23},
      {"RegelPageTempUntererAlarm", 19}},
     2,
     "%04.1f",
     2,
     "Temperatur-Regelung",
     nullptr,
     SockTe},
};

struct TTimeFieldName {
  const char* edit;
  std::size_t offset;
  TFieldKind kind;
};

struct TTimeTabNames {
  TTimeKind kind;
  TRecordBlock block;
  const char *number, *stepper, *newRecord;
  int messageCode;
  const char *noMoreText, *noMoreCaption;
  const char* modes[3];
  TTimeFieldName fields[6];
  int sockets[2];
  int group;
};

// The six tabs of "Zeitfunktionen" in the order of PageControlZeitschaltuhr. The feeding
// pause's times sit at fixed image offsets; the others are offsets in their records.
const TTimeTabNames TimeTabNames[6] = {
    {TTimeKind::Current,
     CurrentBlock,
     "StroemungVorgangNr",
     "UpDownVorgangStroem",
     "btStroemPageNeuerVorgang",
     -1,
     "Keine weiteren Strömungsvorgänge möglich!",
     "Strömungssimulation",
     {},
     {{"StroemPageDauerEbbeFlut", 1, TFieldKind::Duration},
      {"StroemPageZufall", 9, TFieldKind::Duration},
      {"StroemPageWellenDauer", 13, TFieldKind::Duration},
      {"StroemPageNachtabsenk", 21, TFieldKind::Percent}},
     {SockEbbe, SockFlut},
     GroupStroemung},
    {TTimeKind::DayNight,
     DayNightBlock,
     "TagNachtVorgangNr",
     "UpDownVorgangTagNacht",
     "btTagNachtNeuerVorgang",
     -1,
     "Keine weiteren Tag/Nacht Vorgänge möglich!",
     "Tag/Nacht Simulation ",
     {"rbTagNachtSimArtAus", "rbTagNachtSimArtAn", "rbTagNachtSimArtSimu"},
     {{"Sonnenaufgang", 1, TFieldKind::TimeOfDay}, {"Sonnenuntergang", 13, TFieldKind::TimeOfDay}},
     {SockTagNacht, -1},
     GroupTagNacht},
    {TTimeKind::Moon,
     MoonBlock,
     "MondphaseVorgang",
     "UpDownVorgangMond",
     "btMondphaseNeuerVorgang",
     3,
     "Keine weiteren Mondphasen Vorgänge möglich!",
     "Mond Simulation ",
     {"rbMondphaseSArtAus", "rbMondphaseSArtAn", "rbMondphaseSArtSimu"},
     {{"Mondaufgang", 2, TFieldKind::TimeOfDay}, {"Monduntergang", 6, TFieldKind::TimeOfDay}},
     {SockMond, -1},
     GroupMond},
    {TTimeKind::Timer,
     TimerBlock,
     "ZeitschaltuhrNummer",
     "UpDownZeitschaltNummer",
     "btZeitschaltNeuerVorgang",
     2,
     "Keine weiteren Vorgänge möglich!",
     "Zeitschaltuhr",
     {"rbZeitschaltAus", "rbZeitschaltTaeglich", "rbZeitschaltWoechentlich"},
     {{"ZeitschaltuhrBeginn", 2, TFieldKind::TimeOfDay}, {"ZeitschaltuhrEnde", 6, TFieldKind::TimeOfDay}},
     {SockZeitschalt, -1},
     GroupZeitschalt},
    {TTimeKind::Interval,
     IntervalBlock,
     "IntervallNr",
     "UpDownIntervallNr",
     "btIntervallNeuerVorgang",
     1,
     "Keine weiteren Vorgänge möglich!",
     "Intervall",
     {"rbIntervalAus", "rbIntervalAn"},
     {{"IntervallBeginn", 1, TFieldKind::TimeOfDay},
      {"IN_AktivBis", 5, TFieldKind::TimeOfDay},
      {"IntervallAnZeit", 9, TFieldKind::Duration},
      {"IntervallAusZeit", 13, TFieldKind::Duration},
      {"IntervallZufallAn", 17, TFieldKind::Duration},
      {"IntervallZufallAus", 21, TFieldKind::Duration}},
     {SockIntervall, -1},
     GroupIntervall},
    {TTimeKind::FeedingPause,
     FeedingPauseBlock,
     "FutterpauseNr",
     "UpDownFutterpauseNr",
     "btFutterpauseNeueNummer",
     0,
     "Keine weitere Nummer möglich!",
     "Futterpause",
     {"rbFutterpauseAus", "rbFutterpauseAn"},
     {{"FutterpauseBeginn", FeedingPauseStartOffset, TFieldKind::FeedingTime},
      {"FutterpauseAnZeit", FeedingPauseDurationOffset, TFieldKind::FeedingTime}},
     {SockFutter, -1},
     GroupFutter},
};

// The assignment code of each socket set's "Übernehmen" on the time-function tabs.
constexpr std::uint8_t CodeOf(int socketSet) {
  switch (socketSet) {
    case SockIntervall:
      return 12;
    case SockZeitschalt:
      return 13;
    case SockEbbe:
      return 14;
    case SockFlut:
      return 15;
    case SockMond:
      return 16;
    case SockTagNacht:
      return 17;
    case SockExtAlarm:
      return 18;
    default:
      return 0;
  }
}

// The record offset of the socket byte each socket set writes on the time-function tabs.
constexpr std::size_t SocketFieldOf(int socketSet) {
  switch (socketSet) {
    case SockIntervall:
      return 29;
    case SockZeitschalt:
      return 10;
    case SockEbbe:
      return 22;
    case SockFlut:
      return 23;
    case SockMond:
      return 11;
    case SockTagNacht:
      return 17;
    default:
      return 0;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Creation

TProgrammingForm::TProgrammingForm(QWidget* parent)
    : QMainWindow(parent),
      ui(std::make_unique<Ui::TProgrammingForm>()),
      uiRegelung(std::make_unique<Ui::TProgrammingRegelung>()),
      uiZeit(std::make_unique<Ui::TProgrammingZeitfunktionen>()),
      uiMesswerte(std::make_unique<Ui::TProgrammingMesswerte>()),
      uiSystem(std::make_unique<Ui::TProgrammingSystem>()) {
  ui->setupUi(this);
  auto page = [](QWidget* sheet, QVBoxLayout* layout, auto& pageUi) {
    auto* w = new QWidget(sheet);
    pageUi->setupUi(w);
    layout->addWidget(w);
  };
  page(ui->TabSheetRegelung, ui->regelungLayout, uiRegelung);
  page(ui->TabSheetZeitfunktionen, ui->zeitfunktionenLayout, uiZeit);
  page(ui->TabSheetMesswerte, ui->messwerteLayout, uiMesswerte);
  page(ui->TabSheetSystem, ui->systemLayout, uiSystem);

  Dateiffnen1 = ui->Dateiffnen1;
  Dateispeichern1 = ui->Dateispeichern1;
  Speichernunter1 = ui->Speichernunter1;
  Programmierdatenlesen1 = ui->Programmierdatenlesen1;
  Programmierdatenschreiben1 = ui->Programmierdatenschreiben1;
  Programmierdatenlesen2 = ui->Programmierdatenlesen2;
  Programmierdatenschreiben2 = ui->Programmierdatenschreiben2;
  sbReadProgrammingData = ui->sbReadProgrammingData;
  sbWrtieProgrammingData = ui->sbWrtieProgrammingData;
  sbReadProgrammingData->setIcon(style()->standardIcon(QStyle::SP_ArrowDown));
  sbWrtieProgrammingData->setIcon(style()->standardIcon(QStyle::SP_ArrowUp));
  PageControlProgrammingData = ui->PageControlProgrammingData;
  PageControl2 = uiRegelung->PageControl2;
  PageControlZeitschaltuhr = uiZeit->PageControlZeitschaltuhr;
  PageControl4 = uiMesswerte->PageControl4;
  PageControlMenuLayer2 = uiSystem->PageControlMenuLayer2;

  auto timer = [this](const char* name) {
    auto* t = new QTimer(this);
    t->setObjectName(name);
    t->setInterval(static_cast<int>(ProgTransfer::RetryIntervalMs));
    return t;
  };
  RetryTimer = timer("RetryTimer");
  SendRetryTimer = timer("SendRetryTimer");
  GetStoreTimer = timer("GetStoreTimer");

  BuildTables();
  ConnectControls();
  if (!ProgrammingForm) ProgrammingForm = this;
  FormCreate();
}

TProgrammingForm::~TProgrammingForm() {
  if (data_) {
    TProgDataHooks& h = data_->Hooks;
    h.DriveTimer = nullptr;
    h.LockWindows = nullptr;
    h.SetCursor = nullptr;
    h.StopAcquisition = nullptr;
    h.RestartAcquisition = nullptr;
    h.ShowReadDialog = nullptr;
    h.CloseReadDialog = nullptr;
    h.ReadStatus = nullptr;
    h.ReadProgress = nullptr;
    h.ReadButtons = nullptr;
    h.ShowSendDialog = nullptr;
    h.CloseSendDialog = nullptr;
    h.SendStatus = nullptr;
    h.SendProgress = nullptr;
    h.EnableSendOk = nullptr;
    h.DebugLine = nullptr;
    h.ShowAllPages = nullptr;
    h.EnablePages = nullptr;
    h.DisableAllPages = nullptr;
    h.SetCaption = nullptr;
  }
  if (cursorSet_) QApplication::restoreOverrideCursor();
  if (ProgrammingForm == this) ProgrammingForm = nullptr;
}

void TProgrammingForm::FormCreate() {
  DisableAllPages();
  PageControlProgrammingData->setCurrentIndex(0);
  PageControl2->setCurrentIndex(0);
}

void TProgrammingForm::BuildTables() {
  auto find = [this](const char* name) -> QWidget* {
    if (name == nullptr) return nullptr;
    QWidget* w = Control<QWidget>(name);
    if (w == nullptr) throw std::logic_error(std::string("programming window: no control ") + name);
    return w;
  };
  auto edit = [&](const char* name) { return static_cast<QLineEdit*>(find(name)); };
  auto radio = [&](const char* name) { return static_cast<QRadioButton*>(find(name)); };
  auto addField = [this](QLineEdit* e, TFieldKind kind, const char* format,
                         std::function<std::optional<std::size_t>()> offset) {
    auto f = std::make_unique<TField>();
    f->edit = e;
    f->kind = kind;
    f->format = format ? format : "%f";
    f->offset = std::move(offset);
    e->installEventFilter(this);
    fields_.push_back(std::move(f));
    return fields_.back().get();
  };
  auto header = [](std::size_t offset) {
    return [offset]() -> std::optional<std::size_t> { return offset; };
  };

  groups_.assign(GroupCount, {});

  for (const TSocketNames& n : SocketNames) {
    auto s = std::make_unique<TSocketSet>();
    s->edit = edit(n.edit);
    s->stepper = static_cast<TUpDown*>(find(n.stepper));
    s->label = static_cast<QLabel*>(find(n.label));
    s->on = edit(n.on);
    s->off = n.off ? edit(n.off) : nullptr;
    s->assign = static_cast<QPushButton*>(find(n.assign));
    sockets_.push_back(std::move(s));
  }
  // The socket controls that an enabling family switches (the number edit stays disabled).
  auto socketControls = [this](int set) {
    const TSocketSet& s = *sockets_[static_cast<std::size_t>(set)];
    std::vector<QWidget*> w{s.stepper, s.on, s.assign};
    if (s.off) w.push_back(s.off);
    return w;
  };
  auto addTo = [this](int group, std::vector<QWidget*> widgets) {
    for (QWidget* w : widgets)
      if (w) groups_[static_cast<std::size_t>(group)].push_back(w);
  };

  // Control tabs.
  for (int t = 0; t < 6; ++t) {
    const TControlTabNames& n = ControlTabNames[t];
    auto tab = std::make_unique<TControlTab>();
    TControlTab* tp = tab.get();
    tab->type = n.type;
    tab->format = n.format;
    tab->code = n.code;
    tab->caption = n.caption;
    tab->setsType = t == 0;
    tab->input = edit(n.input);
    tab->inputStepper = static_cast<TUpDown*>(find(n.inputStepper));
    tab->process = edit(n.process);
    tab->processStepper = static_cast<TUpDown*>(find(n.processStepper));
    for (const char* m : n.modes) tab->modes.push_back(radio(m));
    tab->newProcess = static_cast<QPushButton*>(find(n.newProcess));
    tab->controlIn = static_cast<TRadioGroup*>(find(n.controlIn));
    tab->socket = n.socket;
    tab->group = GroupPh + t;
    for (const TValueName& v : n.values) {
      if (v.edit == nullptr) break;
      const std::size_t field = v.offset;
      auto offset = [tp, field]() -> std::optional<std::size_t> {
        const int i = NumberOf(tp->input), p = NumberOf(tp->process);
        if (i < 0 || i >= SensorInputs || p < 0 || p >= ProcessesPerInput) return std::nullopt;
        return ControlRecordOffset(i, p) + field;
      };
      tab->values.push_back(
          addField(edit(v.edit), n.format ? TFieldKind::Float : TFieldKind::Duration, n.format, offset));
    }
    std::vector<QWidget*> family(tab->modes.begin(), tab->modes.end());
    family.push_back(tab->controlIn);
    family.push_back(tab->processStepper);
    family.push_back(tab->newProcess);
    for (TField* f : tab->values) family.push_back(f->edit);
    for (QWidget* w : socketControls(n.socket)) family.push_back(w);
    addTo(tab->group, family);
    controlTabs_.push_back(std::move(tab));
  }

  // Time-function tabs.
  for (const TTimeTabNames& n : TimeTabNames) {
    auto tab = std::make_unique<TTimeTab>();
    TTimeTab* tp = tab.get();
    tab->kind = n.kind;
    tab->block = n.block;
    tab->number = edit(n.number);
    tab->stepper = static_cast<TUpDown*>(find(n.stepper));
    tab->newRecord = static_cast<QPushButton*>(find(n.newRecord));
    tab->messageCode = n.messageCode;
    tab->noMoreText = n.noMoreText;
    tab->noMoreCaption = n.noMoreCaption;
    tab->group = n.group;
    for (const char* m : n.modes)
      if (m) tab->modes.push_back(radio(m));
    for (const TTimeFieldName& f : n.fields) {
      if (f.edit == nullptr) break;
      const std::size_t field = f.offset;
      std::function<std::optional<std::size_t>()> offset;
      if (n.kind == TTimeKind::FeedingPause) {
        offset = header(field);
      } else {
        offset = [tp, field]() -> std::optional<std::size_t> {
          const int k = NumberOf(tp->number);
          if (k < 0 || k >= tp->block.count) return std::nullopt;
          return RecordOffset(tp->block, k) + field;
        };
      }
      tab->fields.push_back(addField(edit(f.edit), f.kind, nullptr, offset));
    }
    for (int s : n.sockets)
      if (s >= 0) tab->sockets.push_back(s);
    std::vector<QWidget*> family(tab->modes.begin(), tab->modes.end());
    family.push_back(tab->stepper);
    family.push_back(tab->newRecord);
    for (TField* f : tab->fields) family.push_back(f->edit);
    for (int s : tab->sockets)
      for (QWidget* w : socketControls(s)) family.push_back(w);
    addTo(tab->group, family);
    timeTabs_.push_back(std::move(tab));
  }

  // The header fields of the day/night and moon tabs: one pair of coordinates and the time
  // zone, shown and stored at the same offsets on both tabs.
  for (auto [tab, longitude, latitude, zone] :
       {std::tuple{1, "TagNachtLaengengrad", "TagNachtBreitengrad", "TagNachtZeitzone"},
        std::tuple{2, "MondphaseLaengengrad", "MondphaseBreitengrad", "MondphaseZeitzone"}}) {
    TTimeTab& t = *timeTabs_[static_cast<std::size_t>(tab)];
    for (TField* f : {addField(edit(longitude), TFieldKind::Float, "%+06.2f", header(LongitudeOffset)),
                      addField(edit(latitude), TFieldKind::Float, "%+05.2f", header(LatitudeOffset)),
                      addField(edit(zone), TFieldKind::TimeZone, nullptr, header(TimeZoneOffset))}) {
      f->after = [this] { ShowCoordinates(); };
      t.fields.push_back(f);
      groups_[static_cast<std::size_t>(t.group)].push_back(f->edit);
    }
  }
  // The feeding pause's end follows its start and duration.
  for (TField* f : timeTabs_[5]->fields)
    f->after = [this] {
      ProgrammingImage.UpdateFeedingPauseEnd();
      Control<QLineEdit>("FutterpauseEnde")->setText(Q(TimeTextOf(ProgrammingImage.GetFeedingPauseEnd())));
    };
  addTo(GroupStroemung, {Control<QWidget>("rgStroemArt"), Control<QWidget>("rgWellen")});
  addTo(GroupZeitschalt, {Control<QWidget>("rgTageDerWoche")});

  // The header pages.
  TField* interval =
      addField(edit("Speicherintervall"), TFieldKind::Duration, nullptr, header(StorageIntervalOffset));
  interval->always = true;
  addTo(GroupTrend,
        {find("rbTrend12Stunden"), find("rbTrend1Tag"), find("rbTrend2Tage"), find("rbTrend1Woche")});
  addTo(GroupSpeicherung, {interval->edit, find("rbSpeicherLoeschenJa"), find("rbSpeicherLoeschenNein")});
  addTo(GroupAnzeige, {find("rgLeitwert"), find("rgRedoxwert"), find("rgSauerstoff"),
                       find("rgTemperaturwert"), find("rgInternesDisplay"), find("rgExternesDisplay")});
  addTo(GroupDatum, {find("SystemPageDatum"), find("SystemPageUhrzeit")});
  addTo(GroupAkustAlarm, {find("rbAkustAlarmAn"), find("rbAkustAlarmAus")});
  std::vector<QWidget*> ext{find("rbExternAlarmAn"), find("rbExternAlarmAus")};
  for (QWidget* w : socketControls(SockExtAlarm)) ext.push_back(w);
  addTo(GroupExtAlarm, ext);
  addTo(GroupProgstufe, {find("rbProgstufeNormal"), find("rbProgstufeProfi")});
}

void TProgrammingForm::ConnectControls() {
  auto guarded = [](auto fn) {
    return [fn](auto&&...) {
      try {
        fn();
      } catch (const std::exception& e) {
        LinkMessageBox(e.what(), "Fehler", TBoxKind::Error);
      }
    };
  };
  auto onClick = [&](QAbstractButton* b, auto fn) {
    connect(b, &QAbstractButton::clicked, this, guarded(fn));
  };
  auto onStep = [&](TUpDown* u, auto fn) {
    connect(u, &TUpDown::Click, this, [fn](TUDBtnType button) {
      try {
        fn(Direction(button));
      } catch (const std::exception& e) {
        LinkMessageBox(e.what(), "Fehler", TBoxKind::Error);
      }
    });
  };
  auto onAction = [&](QAction* a, auto fn) { connect(a, &QAction::triggered, this, guarded(fn)); };
  auto onGroup = [&](const char* name, auto fn) {
    connect(Control<TRadioGroup>(name), &TRadioGroup::Click, this, guarded(fn));
  };

  // Menus and tool bar.
  for (QAction* a : {Programmierdatenlesen1, Programmierdatenlesen2, sbReadProgrammingData})
    onAction(a, [this] { ReadProgrammingData(); });
  for (QAction* a : {Programmierdatenschreiben1, Programmierdatenschreiben2, sbWrtieProgrammingData})
    onAction(a, [this] { WriteProgrammingData(); });
  onAction(Dateiffnen1, [this] { Dateiffnen1Click(); });
  onAction(Dateispeichern1, [this] { Dateispeichern1Click(); });
  onAction(Speichernunter1, [this] { Speichernunter1Click(); });

  // Socket steppers.
  for (auto& s : sockets_) {
    TSocketSet* set = s.get();
    onStep(set->stepper, [this, set](int d) { SocketStep(*set, d); });
  }

  // Control tabs.
  for (auto& t : controlTabs_) {
    TControlTab* tab = t.get();
    onStep(tab->inputStepper, [this, tab](int d) { ControlInputStep(*tab, d); });
    onStep(tab->processStepper, [this, tab](int d) { ControlProcessStep(*tab, d); });
    for (std::size_t m = 0; m < tab->modes.size(); ++m)
      onClick(tab->modes[m], [this, tab, m] { ControlMode(*tab, static_cast<std::uint8_t>(m)); });
    onClick(tab->newProcess, [this, tab] { ControlNewProcess(*tab); });
    onClick(sockets_[static_cast<std::size_t>(tab->socket)]->assign, [this, tab] { ControlAssign(*tab); });
    if (tab->controlIn)
      connect(
          tab->controlIn, &TRadioGroup::Click, this, guarded([tab] {
            const int i = NumberOf(tab->input), p = NumberOf(tab->process);
            if (i < 0 || i >= SensorInputs || p < 0 || p >= ProcessesPerInput) return;
            ProgrammingImage.GetControlRecord(i, p).SetControlIn(tab->controlIn->ItemIndex() == 1 ? 1 : 0);
          }));
  }
  connect(PageControl2, &QTabWidget::currentChanged, this, guarded([this] {
            const int t = PageControl2->currentIndex();
            if (t >= 0 && t < static_cast<int>(controlTabs_.size()))
              ShowControlTab(*controlTabs_[static_cast<std::size_t>(t)]);
          }));

  // Time-function tabs.
  for (auto& t : timeTabs_) {
    TTimeTab* tab = t.get();
    onStep(tab->stepper, [this, tab](int d) { TimeRecordStep(*tab, d); });
    onClick(tab->newRecord, [this, tab] { TimeNewRecord(*tab); });
    for (std::size_t m = 0; m < tab->modes.size(); ++m)
      onClick(tab->modes[m], [this, tab, m] { TimeMode(*tab, static_cast<std::uint8_t>(m)); });
    for (int s : tab->sockets)
      onClick(sockets_[static_cast<std::size_t>(s)]->assign, [this, tab, s] { TimeAssign(*tab, s); });
  }
  connect(PageControlZeitschaltuhr, &QTabWidget::currentChanged, this, guarded([this] {
            const int t = PageControlZeitschaltuhr->currentIndex();
            if (t >= 0 && t < static_cast<int>(timeTabs_.size()))
              ShowTimeTab(*timeTabs_[static_cast<std::size_t>(t)]);
          }));
  onGroup("rgStroemArt", [this] {
    TTimeTab& tab = *timeTabs_[0];
    const int k = NumberOf(tab.number), mode = Control<TRadioGroup>("rgStroemArt")->ItemIndex();
    if (k < 0 || k >= tab.block.count || mode < 0) return;
    ProgrammingImage.SetByte(RecordOffset(tab.block, k), static_cast<std::uint8_t>(mode));
    SetCurrentLayout(mode);
  });
  onGroup("rgWellen", [this] {
    Control<QLineEdit>("StroemPageWellenDauer")
        ->setEnabled(Control<TRadioGroup>("rgWellen")->ItemIndex() == 0);
  });
  onGroup("rgTageDerWoche", [this] {
    TTimeTab& tab = *timeTabs_[3];
    const int k = NumberOf(tab.number), day = Control<TRadioGroup>("rgTageDerWoche")->ItemIndex();
    if (k < 0 || k >= tab.block.count || day < 0) return;
    ProgrammingImage.GetTimerRecord(k).SetDayOfWeek(static_cast<std::uint8_t>(day));
  });

  // "Messwerteinstellungen".
  connect(PageControl4, &QTabWidget::currentChanged, this, guarded([this] { ShowSettingsPage(); }));
  const std::pair<const char*, float> trends[] = {{"rbTrend12Stunden", TrendPeriod12Hours},
                                                  {"rbTrend1Tag", TrendPeriod1Day},
                                                  {"rbTrend2Tage", TrendPeriod2Days},
                                                  {"rbTrend1Woche", TrendPeriod1Week}};
  for (auto [name, seconds] : trends)
    onClick(Control<QRadioButton>(name), [s = seconds] { ProgrammingImage.SetTrendPeriod(s); });
  auto storeByte = [&](const char* name, std::size_t offset, std::uint8_t value) {
    onClick(Control<QRadioButton>(name), [offset, value] { ProgrammingImage.SetByte(offset, value); });
  };
  storeByte("rbSpeicherLoeschenJa", ClearStoredDataOffset, 1);
  storeByte("rbSpeicherLoeschenNein", ClearStoredDataOffset, 0);
  const std::pair<const char*, std::size_t> unitGroups[] = {
      {"rgLeitwert", ConductivityUnitOffset},       {"rgRedoxwert", RedoxUnitOffset},
      {"rgSauerstoff", OxygenUnitOffset},           {"rgTemperaturwert", TemperatureUnitOffset},
      {"rgInternesDisplay", InternalDisplayOffset}, {"rgExternesDisplay", ExternalDisplayOffset}};
  for (auto [name, offset] : unitGroups) {
    TRadioGroup* g = Control<TRadioGroup>(name);
    onGroup(name, [g, o = offset] {
      if (g->ItemIndex() >= 0) ProgrammingImage.SetByte(o, static_cast<std::uint8_t>(g->ItemIndex()));
    });
  }

  // "System".
  connect(PageControlMenuLayer2, &QTabWidget::currentChanged, this, guarded([this] { ShowSystemPage(); }));
  storeByte("rbAkustAlarmAn", AcousticAlarmOffset, 1);
  storeByte("rbAkustAlarmAus", AcousticAlarmOffset, 0);
  storeByte("rbExternAlarmAus", ExternalAlarmOffset, 0);  // "An" stores nothing by itself
  storeByte("rbProgstufeNormal", ProgrammingLevelOffset, 0);
  storeByte("rbProgstufeProfi", ProgrammingLevelOffset, 1);
  onClick(sockets_[SockExtAlarm]->assign, [this] { ExternalAlarmAssign(); });
}

// ---------------------------------------------------------------------------------------
// The transfer object and the dialogs

void TProgrammingForm::Connect(TProgData& data, TReadDataRamForm* readForm, TSendDataRamForm* sendForm,
                               TDebugOutput* debug) {
  data_ = &data;
  TProgDataHooks& h = data.Hooks;
  QTimer* timers[3] = {RetryTimer, SendRetryTimer, GetStoreTimer};
  for (int t = 0; t < 3; ++t)
    connect(timers[t], &QTimer::timeout, this, [this, t] {
      if (data_) data_->TimerTick(t);
    });
  h.DriveTimer = [this](int t, bool on) {
    QTimer* timer = t == 0 ? RetryTimer : t == 1 ? SendRetryTimer : GetStoreTimer;
    if (on)
      timer->start();
    else
      timer->stop();
  };
  h.LockWindows = [this](bool locked) {
    setEnabled(!locked);
    if (LockOtherWindows) LockOtherWindows(locked);
  };
  h.SetCursor = [this](TTransferCursor cursor) {
    if (cursor == TTransferCursor::HourGlass) {
      if (!cursorSet_) QApplication::setOverrideCursor(Qt::WaitCursor);
      cursorSet_ = true;
    } else if (cursorSet_) {
      QApplication::restoreOverrideCursor();
      cursorSet_ = false;
    }
  };
  h.StopAcquisition = [this]() -> bool {
    if (!IsAcquisitionRunning || !IsAcquisitionRunning()) return false;
    Warn("Datenabfrage wird gestoppt!", "Datenübertragung");
    if (StopAcquisition) StopAcquisition();
    FAcquisitionWasRunning = true;
    return true;
  };
  h.RestartAcquisition = [this] {
    FAcquisitionWasRunning = false;
    if (StartAcquisition) StartAcquisition();
  };
  if (readForm) {
    h.ShowReadDialog = [readForm] {
      readForm->show();
      readForm->raise();
    };
    h.CloseReadDialog = [readForm] { readForm->hide(); };
    h.ReadStatus = [readForm](const std::string& text) { readForm->Address->setText(Q(text)); };
    h.ReadProgress = [readForm](int position, int maximum) {
      readForm->ReadProgress->setMaximum(maximum);
      readForm->ReadProgress->setValue(position);
    };
    h.ReadButtons = [readForm](bool cancel, bool ok) { readForm->SetButtons(cancel, ok); };
    connect(readForm->btReadDataAbbrechen, &QPushButton::clicked, this, [this] {
      if (data_) data_->CancelRead();
    });
  }
  if (sendForm) {
    h.ShowSendDialog = [sendForm] {
      sendForm->SendProgress->setValue(0);
      sendForm->show();
      sendForm->raise();
    };
    h.CloseSendDialog = [sendForm] { sendForm->hide(); };
    h.SendStatus = [sendForm](const std::string& text) { sendForm->Address->setText(Q(text)); };
    h.SendProgress = [sendForm](int position, int maximum) {
      sendForm->SendProgress->setMaximum(maximum);
      sendForm->SendProgress->setValue(position);
    };
    h.EnableSendOk = [sendForm](bool on) { sendForm->btSendDataOK->setEnabled(on); };
  }
  if (debug) h.DebugLine = [debug](const std::string& line) { debug->Memo1->appendPlainText(Q(line)); };
  h.ShowAllPages = [this] { ShowAllPages(); };
  h.EnablePages = [this] { PageControlProgrammingData->setEnabled(true); };
  h.DisableAllPages = [this] { DisableAllPages(); };
  h.SetCaption = [this](const std::string& caption) { setWindowTitle(Q(caption)); };
}

// ---------------------------------------------------------------------------------------
// Commands

void TProgrammingForm::ReadProgrammingData() {
  if (!CommitPendingEdit()) return;
  FAcquisitionWasRunning = false;
  if (data_) data_->ReadProgrammingData();
}

void TProgrammingForm::WriteProgrammingData() {
  if (!CommitPendingEdit()) return;
  if (!ValidateBeforeWrite()) return;
  if (data_) data_->WriteProgrammingData();
}

bool TProgrammingForm::ValidateBeforeWrite() {
  const TWriteCheck check = ::ValidateBeforeWrite(ProgrammingImage);
  if (!check.ok) Warn(check.text, check.caption);
  return check.ok;
}

void TProgrammingForm::ShowNumberMessage(int page) {
  const TNumberMessage m = NumberMessageFor(page);
  Warn(m.text, m.caption);
}

void TProgrammingForm::EnableProgrammingRead() {
  sbWrtieProgrammingData->setEnabled(false);
  Programmierdatenschreiben2->setEnabled(false);
  sbReadProgrammingData->setEnabled(true);
  Programmierdatenlesen2->setEnabled(true);
}

void TProgrammingForm::ApplicationIdle(bool imageValid) {
  if (sbWrtieProgrammingData->isEnabled() != imageValid) sbWrtieProgrammingData->setEnabled(imageValid);
  if (Programmierdatenschreiben2->isEnabled() != imageValid)
    Programmierdatenschreiben2->setEnabled(imageValid);
}

// The file dialogs, with the filter of the programming-data files.
static QFileDialog* MakeProgDataDialog(QWidget* owner, const char* name, QFileDialog::AcceptMode mode) {
  auto* d = new QFileDialog(owner);
  d->setObjectName(name);
  d->setOption(QFileDialog::DontUseNativeDialog);
  d->setAcceptMode(mode);
  d->setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  d->setNameFilters(
      {QString::fromUtf8("ovu Programmierdaten (*.prg)"), QString::fromUtf8("Alle Dateien (*.*)")});
  d->setDefaultSuffix("prg");
  return d;
}

QFileDialog* TProgrammingForm::odProgData() {
  if (!odProgData_) odProgData_ = MakeProgDataDialog(this, "odProgData", QFileDialog::AcceptOpen);
  return odProgData_;
}

QFileDialog* TProgrammingForm::sdProgData() {
  if (!sdProgData_) sdProgData_ = MakeProgDataDialog(this, "sdProgData", QFileDialog::AcceptSave);
  return sdProgData_;
}

void TProgrammingForm::Dateiffnen1Click() {
  if (!data_ || odProgData()->exec() != QDialog::Accepted || odProgData()->selectedFiles().isEmpty()) return;
  const std::string name = odProgData()->selectedFiles().front().toStdString();
  // The name is kept only for a file that loaded: "Speichern" must not write over a file
  // that was refused.
  if (data_->LoadFromFile(name)) FFileName = name;
}

void TProgrammingForm::Dateispeichern1Click() {
  if (!data_ || !CommitPendingEdit()) return;
  std::string name = FFileName;
  if (!name.empty()) {
    sdProgData()->selectFile(Q(name));
  } else {
    if (sdProgData()->exec() != QDialog::Accepted || sdProgData()->selectedFiles().isEmpty()) return;
    name = sdProgData()->selectedFiles().front().toStdString();
  }
  if (data_->SaveToFile(name)) FFileName = name;
}

void TProgrammingForm::Speichernunter1Click() {
  if (!data_ || !CommitPendingEdit()) return;
  if (sdProgData()->exec() != QDialog::Accepted || sdProgData()->selectedFiles().isEmpty()) return;
  const std::string name = sdProgData()->selectedFiles().front().toStdString();
  if (data_->SaveToFile(name)) FFileName = name;
}

// ---------------------------------------------------------------------------------------
// Messages and edits

bool TProgrammingForm::event(QEvent* e) {
  if (e->type() == static_cast<QEvent::Type>(WM_PROGRAMMING_NUMBER)) {
    ShowNumberMessage(static_cast<TNumberMessageEvent*>(e)->Page);
    return true;
  }
  return QMainWindow::event(e);
}

bool TProgrammingForm::eventFilter(QObject* watched, QEvent* e) {
  if (e->type() == QEvent::FocusOut) {
    for (auto& f : fields_)
      if (f->edit == watched) {
        try {
          FieldExit(*f);
        } catch (const std::exception& ex) {
          LinkMessageBox(ex.what(), "Fehler", TBoxKind::Error);
        }
        break;
      }
  }
  return QMainWindow::eventFilter(watched, e);
}

bool TProgrammingForm::CommitPendingEdit() {
  // A command from the menu or the tool bar leaves the focus where it was: the edit the user
  // is in counts as left.
  QWidget* focus = QApplication::focusWidget();
  for (auto& f : fields_)
    if (f->edit == focus) return FieldExit(*f);
  return true;
}

void TProgrammingForm::Warn(const std::string& text, const std::string& caption) {
  LinkMessageBox(text, caption, TBoxKind::Warning);
}

int TProgrammingForm::NumberOf(const QLineEdit* edit) { return TextToInt(edit->text().toStdString()) - 1; }

void TProgrammingForm::ShowField(const TField& field) {
  const std::optional<std::size_t> offset = field.offset();
  if (!offset) return;
  const TProgrammingImage& image = ProgrammingImage;
  std::string text;
  switch (field.kind) {
    case TFieldKind::Float:
      text = FormatValue(field.format, image.GetFloat(*offset));
      break;
    case TFieldKind::TimeOfDay:
    case TFieldKind::Duration:
    case TFieldKind::FeedingTime:
      text = TimeTextOf(image.GetFloat(*offset));
      break;
    case TFieldKind::Percent:
      text = FormatInt("%03d", image.GetByte(*offset));
      break;
    case TFieldKind::TimeZone:
      text = FormatInt("%+03d", static_cast<std::int8_t>(image.GetByte(*offset)));
      break;
  }
  field.edit->setText(Q(text));
}

bool TProgrammingForm::FieldExit(TField& field) {
  if (inExit_ || (!field.always && !field.edit->isModified())) return true;
  const std::optional<std::size_t> offset = field.offset();
  field.edit->setModified(false);
  if (!offset) return true;
  inExit_ = true;
  struct Clear {
    bool& flag;
    ~Clear() { flag = false; }
  } clear{inExit_};

  const std::string text = field.edit->text().toStdString();
  TProgrammingImage& image = ProgrammingImage;
  const char* refusal = nullptr;
  float seconds = 0.0f;
  switch (field.kind) {
    case TFieldKind::Float: {
      float value = 0.0f;
      if (ReadFloatText(text, value))
        image.SetFloat(*offset, value);
      else
        refusal = BadNumberText;
      break;
    }
    case TFieldKind::TimeOfDay:
      if (ReadTimeOfDayText(text, seconds))
        image.SetFloat(*offset, seconds);
      else
        refusal = BadTimeOfDayText;
      break;
    case TFieldKind::Duration:
      if (ReadDurationText(text, seconds))
        image.SetFloat(*offset, seconds);
      else
        refusal = BadDurationText;
      break;
    case TFieldKind::FeedingTime:
      if (ReadDurationText(text, seconds))
        image.SetFloat(*offset, std::min(seconds, 86399.0f));
      else
        refusal = BadDurationText;
      break;
    case TFieldKind::Percent:
    case TFieldKind::TimeZone: {
      int value = 0;
      if (!ReadIntText(text, value)) {
        refusal = BadNumberText;
        break;
      }
      const bool percent = field.kind == TFieldKind::Percent;
      value = std::clamp(value, percent ? PercentMin : TimeZoneMin, percent ? PercentMax : TimeZoneMax);
      image.SetByte(*offset, static_cast<std::uint8_t>(value));
      break;
    }
  }
  // What is stored is what the edit shows: a clamped or refused text shows the field's value.
  if (refusal || field.kind == TFieldKind::Percent || field.kind == TFieldKind::TimeZone ||
      field.kind == TFieldKind::FeedingTime)
    ShowField(field);
  if (refusal) {
    Warn(refusal, InputCaption);
    return false;
  }
  if (field.after) field.after();
  return true;
}

// ---------------------------------------------------------------------------------------
// Sockets

int TProgrammingForm::DoseUpDown(int direction, int n) const {
  return ::DoseUpDown(direction, n, SocketTable);
}

int TProgrammingForm::FirstPresentSocket() const { return ::FirstPresentSocket(SocketTable); }

std::string TProgrammingForm::SocketAssignmentName(int socket) const {
  return ::SocketAssignmentName(socket, SocketTable);
}

void TProgrammingForm::ShowSocket(TSocketSet& set, int socket, int valueOn, int valueOff, bool plain) {
  set.edit->setText(QString::number(socket));
  set.label->setText(Q(RecordSocketText(socket, SocketTable)));
  const char* format = plain ? "%d" : "%03d";
  set.on->setText(Q(FormatInt(format, valueOn)));
  if (set.off) set.off->setText(Q(FormatInt(format, valueOff)));
  EnableSocketValues(set);
}

// The on and off values take input only for a dimmable socket: the one the set's edit shows.
void TProgrammingForm::EnableSocketValues(TSocketSet& set) {
  const bool dimmable = SocketIsDimmable(TextToInt(set.edit->text().toStdString()), SocketTable);
  set.on->setEnabled(dimmable);
  if (set.off) set.off->setEnabled(dimmable);
}

void TProgrammingForm::SocketStep(TSocketSet& set, int direction) {
  if (set.edit->text().trimmed().isEmpty()) return;
  int n = DoseUpDown(direction, TextToInt(set.edit->text().toStdString()));
  if (n == 0) n = FirstPresentSocket();
  set.edit->setText(QString::number(n));
  set.label->setText(Q(SocketAssignmentName(n)));
  if (!SocketIsDimmable(n, SocketTable)) {
    if (set.off) {
      set.on->setText("100");
      set.off->setText("000");
    } else {
      set.on->setText("000");  // the feeding pause's value
    }
  }
  EnableSocketValues(set);
}

void TProgrammingForm::SetGroupEnabled(int group, bool on) {
  const std::vector<QWidget*>& widgets = groups_[static_cast<std::size_t>(group)];
  for (QWidget* w : widgets) w->setEnabled(on);
  // Switched on, a group's socket values still follow the kind of the socket shown.
  if (on)
    for (auto& set : sockets_)
      if (std::find(widgets.begin(), widgets.end(), set->on) != widgets.end()) EnableSocketValues(*set);
}

void TProgrammingForm::DisableAllPages() {
  for (int g = 0; g < GroupCount; ++g) SetGroupEnabled(g, false);
}

// ---------------------------------------------------------------------------------------
// All pages

void TProgrammingForm::ShowAllPages() {
  for (auto& tab : controlTabs_) tab->input->setText("0");
  for (int p = 0; p < ProcessesPerInput; ++p)
    for (int i = 0; i < SensorInputs; ++i) {
      const std::uint8_t type = ProgrammingImage.GetControlRecord(i, p).GetSensorType();
      for (auto& tab : controlTabs_)
        if (tab->type == type) ShowControlRecord(*tab, i, p);
    }
  // A tab without an input of its type shows nothing from an earlier image.
  for (auto& tab : controlTabs_)
    if (NumberOf(tab->input) < 0) SetGroupEnabled(tab->group, false);
  ShowControlTab(*controlTabs_[0]);
  for (auto& tab : timeTabs_) ShowTimeRecord(*tab, 0);
  ShowSettingsPage();
  ShowSystemPage();
}

// ---------------------------------------------------------------------------------------
// Control tabs

void TProgrammingForm::ShowControlTab(TControlTab& tab) {
  ShowControlRecord(tab, NumberOf(tab.input), std::clamp(NumberOf(tab.process), 0, ProcessesPerInput - 1));
}

void TProgrammingForm::ShowControlRecord(TControlTab& tab, int input, int process) {
  if (input < 0 || input >= SensorInputs) {
    SetGroupEnabled(tab.group, false);
    return;
  }
  SetGroupEnabled(tab.group, true);
  const TConstControlRecord record = std::as_const(ProgrammingImage).GetControlRecord(input, process);
  if (record.GetMode() == ControlModeOff && process != 0) return;
  tab.input->setText(QString::number(input + 1));
  tab.process->setText(QString::number(process + 1));
  CheckOnly(tab.modes, record.GetMode() <= ControlModeRaise ? record.GetMode() : -1);
  if (tab.controlIn) tab.controlIn->SetItemIndex(ItemOf(record.GetControlIn(), 2));
  for (TField* f : tab.values) ShowField(*f);
  const int socket = ShownSocket(record.GetSocket());
  const TConstSocketEntry entry = std::as_const(SocketTable).GetEntry(socket);
  ShowSocket(*sockets_[static_cast<std::size_t>(tab.socket)], socket, entry.GetValueOn(), entry.GetValueOff(),
             true);
}

void TProgrammingForm::ControlInputStep(TControlTab& tab, int direction) {
  const int current = NumberOf(tab.input);
  const int next = StepInput(ProgrammingImage, tab.type, current, direction);
  if (next != current) ShowControlRecord(tab, next, 0);
}

void TProgrammingForm::ControlProcessStep(TControlTab& tab, int direction) {
  const int input = NumberOf(tab.input), current = NumberOf(tab.process);
  if (input < 0 || input >= SensorInputs) return;
  const int next = StepProcess(ProgrammingImage, input, current, direction);
  if (next != current) ShowControlRecord(tab, input, next);
}

void TProgrammingForm::ControlMode(TControlTab& tab, std::uint8_t mode) {
  const int i = NumberOf(tab.input), p = NumberOf(tab.process);
  if (i < 0 || i >= SensorInputs || p < 0 || p >= ProcessesPerInput) return;
  ProgrammingImage.GetControlRecord(i, p).SetMode(mode);
}

void TProgrammingForm::ControlNewProcess(TControlTab& tab) {
  int process = 0;
  switch (NewControlProcess(ProgrammingImage, NumberOf(tab.input), NumberOf(tab.process),
                            tab.setsType ? tab.type : 0, process)) {
    case TNewRecordResult::NoMore:
      Warn(NoMoreProcessesText, tab.caption);
      break;
    case TNewRecordResult::NothingSelected:
      break;
    case TNewRecordResult::Created:
      ShowControlRecord(tab, NumberOf(tab.input), process);
      break;
  }
}

void TProgrammingForm::ControlAssign(TControlTab& tab) {
  const int i = NumberOf(tab.input), p = NumberOf(tab.process);
  if (i < 0 || i >= SensorInputs || p < 0 || p >= ProcessesPerInput) return;
  TSocketSet& set = *sockets_[static_cast<std::size_t>(tab.socket)];
  const int socket = TextToInt(set.edit->text().toStdString());
  if (!AssignSocket(SocketTable, socket, tab.code, TextToInt(set.on->text().toStdString()),
                    TextToInt(set.off->text().toStdString())))
    return;
  ProgrammingImage.GetControlRecord(i, p).SetSocket(static_cast<std::uint8_t>(socket));
  ShowControlRecord(tab, i, p);
}

// ---------------------------------------------------------------------------------------
// Time-function tabs

void TProgrammingForm::ShowTimeTab(TTimeTab& tab) { ShowTimeRecord(tab, NumberOf(tab.number)); }

void TProgrammingForm::ShowTimeRecord(TTimeTab& tab, int k, bool force) {
  if (k < 0 || k >= tab.block.count) {
    SetGroupEnabled(tab.group, false);
    return;
  }
  SetGroupEnabled(tab.group, true);
  const TProgrammingImage& image = ProgrammingImage;
  if (!RecordInUse(image, tab.block, k) && k != 0 && !force) return;
  tab.number->setText(QString::number(k + 1));
  const std::size_t at = RecordOffset(tab.block, k);
  const std::uint8_t mode =
      tab.kind == TTimeKind::FeedingPause ? image.GetFeedingPauseMode() : image.GetByte(at);
  auto socketOf = [&](int set) { return ShownSocket(image.GetByte(at + SocketFieldOf(set))); };
  auto tableValues = [&](int set) {
    const int socket = socketOf(set);
    const TConstSocketEntry entry = std::as_const(SocketTable).GetEntry(socket);
    ShowSocket(*sockets_[static_cast<std::size_t>(set)], socket, entry.GetValueOn(), entry.GetValueOff(),
               false);
  };
  auto ownValues = [&](int set, std::size_t on) {
    ShowSocket(*sockets_[static_cast<std::size_t>(set)], socketOf(set), image.GetByte(at + on),
               image.GetByte(at + on + 1), false);
  };

  switch (tab.kind) {
    case TTimeKind::Current: {
      Control<TRadioGroup>("rgStroemArt")->SetItemIndex(ItemOf(mode, 3));
      SetCurrentLayout(mode);
      TRadioGroup* waves = Control<TRadioGroup>("rgWellen");
      const bool hadWaves = waves->ItemIndex() == 0;
      const bool withWaves = image.GetCurrentRecord(k).GetWaveDuration() != 0.0f;
      waves->SetItemIndex(withWaves ? 0 : 1);
      Control<QLineEdit>("StroemPageWellenDauer")->setEnabled(withWaves);
      tableValues(SockEbbe);
      tableValues(SockFlut);
      for (TField* f : tab.fields) ShowField(*f);
      if (!withWaves && hadWaves)
        Warn("Wellendauer ist 00:00:00 ! \nWellen werden ausgeschaltet ! ", "Wellen");
      return;
    }
    case TTimeKind::DayNight:
      if (mode <= 2)
        CheckOnly(tab.modes, mode);
      else
        Uncheck(tab.modes[2]);
      tableValues(SockTagNacht);
      for (TField* f : tab.fields) ShowField(*f);
      // The times are the user's only with the light simply on.
      Control<QLineEdit>("Sonnenaufgang")->setEnabled(mode == 1);
      Control<QLineEdit>("Sonnenuntergang")->setEnabled(mode == 1);
      return;
    case TTimeKind::Moon:
      CheckOnly(tab.modes, mode <= 2 ? mode : -1);
      tableValues(SockMond);
      Control<QLineEdit>("MondHelligkeit")
          ->setText(Q(FormatInt("%03d", image.GetMoonRecord(k).GetBrightness())));
      break;
    case TTimeKind::Timer: {
      const bool weekly = mode != 0 && mode != 1 && mode != TimerModeUnset;
      CheckOnly(tab.modes, mode == 0 ? 0 : mode == 1 ? 1 : mode == TimerModeUnset ? -1 : 2);
      TRadioGroup* days = Control<TRadioGroup>("rgTageDerWoche");
      days->setEnabled(weekly);
      days->SetItemIndex(weekly ? ItemOf(image.GetTimerRecord(k).GetDayOfWeek(), 7) : -1);
      ownValues(SockZeitschalt, 11);
      break;
    }
    case TTimeKind::Interval:
      CheckOnly(tab.modes, mode == 1 ? 1 : mode == IntervalModeUnset ? -1 : 0);
      ownValues(SockIntervall, 30);
      break;
    case TTimeKind::FeedingPause: {
      CheckOnly(tab.modes, mode == 1 ? 1 : mode == FeedingPauseModeUnset ? -1 : 0);
      const int socket = ShownSocket(image.GetFeedingPauseSocket(k));
      ShowSocket(*sockets_[SockFutter], socket, image.GetFeedingPausePercent(k), 0, false);
      Control<QLineEdit>("FutterpauseEnde")->setText(Q(TimeTextOf(image.GetFeedingPauseEnd())));
      break;
    }
  }
  for (TField* f : tab.fields) ShowField(*f);
}

void TProgrammingForm::SetCurrentLayout(int mode) {
  if (mode != 1 && mode != 2) return;
  const bool tides = mode == 2;
  for (const char* name :
       {"lbDauerEbbeFlut", "StroemPageDauerEbbeFlut", "lbZufall", "StroemPageZufall", "FlutPanel"})
    Control<QWidget>(name)->setVisible(tides);
  Control<QLabel>("lbEbbeStroem")->setText(tides ? "(Ebbe)" : QString::fromUtf8("(Ström)"));
}

void TProgrammingForm::ShowCoordinates() {
  for (std::size_t t : {std::size_t{1}, std::size_t{2}})
    for (TField* f : timeTabs_[t]->fields)
      if (f->after && f->kind != TFieldKind::TimeOfDay) ShowField(*f);
}

void TProgrammingForm::TimeRecordStep(TTimeTab& tab, int direction) {
  const int k = NumberOf(tab.number);
  bool refused = false;
  const int next = StepRecord(ProgrammingImage, tab.block, k, direction, refused);
  if (refused) {
    // The box comes once the click has been handled.
    if (tab.messageCode >= 0) QCoreApplication::postEvent(this, new TNumberMessageEvent(tab.messageCode));
    return;
  }
  if (next != k) ShowTimeRecord(tab, next);
}

void TProgrammingForm::TimeNewRecord(TTimeTab& tab) {
  const int k = NewRecord(ProgrammingImage, tab.block);
  if (k < 0) {
    Warn(tab.noMoreText, tab.noMoreCaption);
    return;
  }
  // A new feeding-pause entry is not in use until it has a socket: it is shown all the same,
  // or it could never be chosen.
  ShowTimeRecord(tab, k, true);
}

void TProgrammingForm::TimeMode(TTimeTab& tab, std::uint8_t mode) {
  const int k = NumberOf(tab.number);
  if (k < 0 || k >= tab.block.count) return;
  if (tab.kind == TTimeKind::FeedingPause)
    ProgrammingImage.SetFeedingPauseMode(mode);
  else
    ProgrammingImage.SetByte(RecordOffset(tab.block, k), mode);
  ShowTimeRecord(tab, k);
}

void TProgrammingForm::TimeAssign(TTimeTab& tab, int socketSet) {
  const int k = NumberOf(tab.number);
  if (k < 0 || k >= tab.block.count) return;
  TSocketSet& set = *sockets_[static_cast<std::size_t>(socketSet)];
  const int socket = TextToInt(set.edit->text().toStdString());
  if (socket < 0 || socket >= SocketCount) return;
  TProgrammingImage& image = ProgrammingImage;
  if (tab.kind == TTimeKind::FeedingPause) {
    const int percent = TextToIntClamped(set.on->text().toStdString(), PercentMin, PercentMax);
    image.SetFeedingPauseSocket(k, static_cast<std::uint8_t>(socket));
    image.SetFeedingPausePercent(k, static_cast<std::uint8_t>(percent));
    set.on->setText(Q(FormatInt("%03d", percent)));
    ShowTimeRecord(tab, k);
    return;
  }
  const int on = TextToIntClamped(set.on->text().toStdString(), PercentMin, PercentMax);
  const int off = TextToIntClamped(set.off->text().toStdString(), PercentMin, PercentMax);
  const std::size_t at = RecordOffset(tab.block, k);
  image.SetByte(at + SocketFieldOf(socketSet), static_cast<std::uint8_t>(socket));
  AssignSocket(SocketTable, socket, CodeOf(socketSet), on, off);
  if (tab.kind == TTimeKind::Timer || tab.kind == TTimeKind::Interval) {
    const std::size_t own = tab.kind == TTimeKind::Timer ? 11 : 30;
    image.SetByte(at + own, static_cast<std::uint8_t>(on));
    image.SetByte(at + own + 1, static_cast<std::uint8_t>(off));
  }
  ShowTimeRecord(tab, k);
}

// ---------------------------------------------------------------------------------------
// "Messwerteinstellungen" and "System"

void TProgrammingForm::ShowSettingsPage() {
  if (!data_ || !data_->GetImageValid()) return;
  const TProgrammingImage& image = ProgrammingImage;
  for (int g : {GroupTrend, GroupSpeicherung, GroupAnzeige}) SetGroupEnabled(g, true);
  const float trend = image.GetTrendPeriod();
  const std::pair<const char*, float> trends[] = {{"rbTrend12Stunden", TrendPeriod12Hours},
                                                  {"rbTrend1Tag", TrendPeriod1Day},
                                                  {"rbTrend2Tage", TrendPeriod2Days},
                                                  {"rbTrend1Woche", TrendPeriod1Week}};
  for (auto [name, seconds] : trends)
    if (trend == seconds) Control<QRadioButton>(name)->setChecked(true);
  for (auto& f : fields_)
    if (f->edit->objectName() == "Speicherintervall") ShowField(*f);
  Control<QRadioButton>(image.GetClearStoredData() ? "rbSpeicherLoeschenJa" : "rbSpeicherLoeschenNein")
      ->setChecked(true);
  const std::tuple<const char*, std::uint8_t, int> groups[] = {
      {"rgLeitwert", image.GetConductivityUnit(), 3},
      {"rgRedoxwert", image.GetRedoxUnit(), 2},
      {"rgSauerstoff", image.GetOxygenUnit(), 2},
      {"rgTemperaturwert", image.GetTemperatureUnit(), 2},
      {"rgInternesDisplay", image.GetInternalDisplayInterval(), 4},
      {"rgExternesDisplay", image.GetExternalDisplayInterval(), 4}};
  for (auto [name, value, count] : groups) Control<TRadioGroup>(name)->SetItemIndex(ItemOf(value, count));
}

void TProgrammingForm::ShowSystemPage() {
  if (!data_ || !data_->GetImageValid()) return;
  const TProgrammingImage& image = ProgrammingImage;
  for (int g : {GroupDatum, GroupAkustAlarm, GroupExtAlarm, GroupProgstufe}) SetGroupEnabled(g, true);
  std::string date, time;
  FormatDate(image.GetControllerDate(), date);
  FormatTime(image.GetControllerTime(), time);
  Control<QLineEdit>("SystemPageDatum")->setText(Q(date));
  Control<QLineEdit>("SystemPageUhrzeit")->setText(Q(time));
  Control<QRadioButton>(image.GetAcousticAlarm() ? "rbAkustAlarmAn" : "rbAkustAlarmAus")->setChecked(true);
  Control<QRadioButton>(image.GetExternalAlarmSocket() ? "rbExternAlarmAn" : "rbExternAlarmAus")
      ->setChecked(true);
  const int socket = ShownSocket(image.GetExternalAlarmSocket());
  const TConstSocketEntry entry = std::as_const(SocketTable).GetEntry(socket);
  ShowSocket(*sockets_[SockExtAlarm], socket, entry.GetValueOn(), entry.GetValueOff(), false);
  Control<QRadioButton>(image.GetProgrammingLevel() ? "rbProgstufeProfi" : "rbProgstufeNormal")
      ->setChecked(true);
}

void TProgrammingForm::ExternalAlarmAssign() {
  TSocketSet& set = *sockets_[SockExtAlarm];
  const int socket = TextToInt(set.edit->text().toStdString());
  if (!AssignSocket(SocketTable, socket, CodeOf(SockExtAlarm), TextToInt(set.on->text().toStdString()),
                    TextToInt(set.off->text().toStdString())))
    return;
  ProgrammingImage.SetExternalAlarmSocket(static_cast<std::uint8_t>(socket));
  ShowSystemPage();
}
