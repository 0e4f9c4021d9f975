#include "app/ValueBoard.h"

#include <QCloseEvent>
#include <QFrame>
#include <QGroupBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <cstdio>

#include "app/ErrorText.h"
#include "app/Localregistry.h"
#include "app/SharedState.h"
#include "app/UiThread.h"
#include "platform/Text.h"
#include "ui_ValueBoard.h"

TForm2* Form2 = nullptr;

namespace {

constexpr int kValueRole = Qt::UserRole + 1;  // float value of a value cell
constexpr int kLowerRole = Qt::UserRole + 2;
constexpr int kUpperRole = Qt::UserRole + 3;

// The general number format of the reports: up to 15 significant digits, decimal comma.
std::string GeneralNumber(float v) {
  std::string s = FloatToStr(static_cast<double>(v));
  for (char& c : s)
    if (c == '.') c = ',';
  return s;
}

// Frames a value cell red when its value reaches the upper limit, blue when it reaches the
// lower one (a value on a limit is framed, though it raises no alarm).
class TValueFrameDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QStyledItemDelegate::paint(painter, option, index);
    if (index.column() % 3 != 2 || index.row() < 2) return;
    QVariant v = index.data(kValueRole);
    if (!v.isValid()) return;
    const float value = v.toFloat();
    QRect r = option.rect.adjusted(0, 0, -1, -1);
    painter->save();
    if (value >= index.data(kUpperRole).toFloat()) {
      painter->setPen(QPen(Qt::red, 1));
      painter->drawRect(r);
    }
    if (value <= index.data(kLowerRole).toFloat()) {
      painter->setPen(QPen(Qt::blue, 1));
      painter->drawRect(r);
    }
    painter->restore();
  }
};

class TResizeWatcher : public QObject {
 public:
  TResizeWatcher(QObject* parent, std::function<void()> fn) : QObject(parent), fn_(std::move(fn)) {}
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::Resize) fn_();
    return QObject::eventFilter(o, e);
  }

 private:
  std::function<void()> fn_;
};

}  // namespace

TForm2::TForm2(TAcquisitionState& state, QWidget* parent)
    : QMainWindow(parent), state_(state), ui(std::make_unique<Ui::TForm2>()) {
  ui->setupUi(this);
  SerialInput = ui->SerialInput;
  GroupBox1 = ui->GroupBox1;
  Bevel1 = ui->Bevel1;
  StringGrid1 = ui->StringGrid1;
  AlarmWertekonfigurieren1 = ui->AlarmWertekonfigurieren1;
  StringGrid1->setItemDelegate(new TValueFrameDelegate(StringGrid1));
  StringGrid1->horizontalHeader()->setDefaultSectionSize(73);
  StringGrid1->horizontalHeader()->hide();
  StringGrid1->verticalHeader()->hide();
  StringGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  StringGrid1->setWordWrap(false);
  StringGrid1->verticalHeader()->setDefaultSectionSize(22);
  GroupBox1->installEventFilter(new TResizeWatcher(this, [this] { FormResize(); }));
  connect(AlarmWertekonfigurieren1, &QAction::triggered, this, [this] {
    if (OnConfigureAlarms) OnConfigureAlarms();
  });
  if (!Form2) Form2 = this;
}

TForm2::~TForm2() {
  MediaPlayer1.Close();
  if (Form2 == this) Form2 = nullptr;
}

void TForm2::closeEvent(QCloseEvent* event) {
  if (OnFormClose) OnFormClose();
  QMainWindow::closeEvent(event);
}

void TForm2::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  FormResize();
}

void TForm2::FormResize() {
  SerialInput->resize(std::max(0, GroupBox1->width() - 14), SerialInput->height());
}

// ---------------------------------------------------------------------------------------
// Refresh

void TForm2::ShowCurrentValues(TControllerList& list) {
  std::vector<TBoardCell> cells;
  std::vector<Alarm> alarms;
  int columns = 0;
  bool empty = false;
  {
    std::lock_guard<TCriticalSection> sensors(SensorDataLock);
    const int count = list.GetControllerCount();
    empty = count == 0;
    const int c = list.GetController(0) ? list.GetController(0)->GetBoardColumns() : 3;
    columns = c * count;
    for (int k = 0; k < count; ++k) {
      TKorvidan* ctl = list.GetController(k);
      if (!ctl) continue;
      const int nameColumn = k == 0 ? 1 : c * k;
      cells.push_back({0, nameColumn, ctl->GetIdent()->GetName()});
      cells.push_back({0, nameColumn + 1, ctl->GetTimeStampText()});
      cells.push_back({1, c * k, "S.Nr"});
      cells.push_back({1, c * k + 1, "S.Typ"});
      cells.push_back({1, c * k + 2, "Value"});
    }
    for (int k = 0; k < count; ++k) {
      TKorvidan* ctl = list.GetController(k);
      if (!ctl) continue;
      // The zeros of a controller that delivered nothing are no measurement: nothing to judge.
      const bool judged = ctl->HasDeliveredValues();
      for (int s = 0; s < TKorvidan::SensorCount; ++s) {
        TSensor* sensor = ctl->GetSensor(s);
        cells.push_back({s + 2, c * k, IntToStr(s + 1)});
        cells.push_back({s + 2, c * k + 1, sensor->GetTypeText()});
        std::string value;
        if (sensor->GetType() == SensorLevel)
          value = sensor->GetValue() == 1.0f ? "Wasser" : "Luft";
        else
          value = sensor->GetValueText();
        if (value == "0,00") value = " ---- ";
        cells.push_back({s + 2, c * k + 2, value, judged, sensor->GetValue(), sensor->GetLowerLimit(),
                         sensor->GetUpperLimit()});
        if (!judged) continue;
        const int state = sensor->GetAlarmState();
        if (state == AlarmBelow || state == AlarmAbove) {
          const int action = sensor->GetActionCode();
          alarms.push_back({state, action, AlarmReportText(list, action, state, s + 1, k)});
        }
      }
    }
  }
  if (empty) {
    // Shown after the lock is released: a box on the window thread waits for the user.
    ShowMessage("Keine Korvidans am COM Port erkannt !");
    return;
  }

  const bool showWaiting = !state_.GetDataReceived();
  RunOnWindowThread(
      [this, cells = std::move(cells), columns, showWaiting] { ApplyCells(cells, columns, showWaiting); }, this);

  for (const Alarm& a : alarms) {
    PlayAlarmSound(a.state);
    DeliverReport(a.text, a.action);
  }
}

void TForm2::ApplyCells(const std::vector<TBoardCell>& cells, int columns, bool showWaiting) {
  StringGrid1->clear();
  StringGrid1->setRowCount(10);
  StringGrid1->setColumnCount(columns);
  StringGrid1->setColumnWidth(0, 40);
  const QBrush fixed = palette().brush(QPalette::Button);
  for (int r = 0; r < 10; ++r) {
    auto* item = new QTableWidgetItem;
    item->setBackground(fixed);
    StringGrid1->setItem(r, 0, item);
  }
  for (const TBoardCell& cell : cells) {
    if (cell.column >= columns) continue;
    QTableWidgetItem* item = StringGrid1->item(cell.row, cell.column);
    if (!item) {
      item = new QTableWidgetItem;
      StringGrid1->setItem(cell.row, cell.column, item);
    }
    item->setText(QString::fromStdString(cell.text));
    if (cell.valueCell) {
      item->setData(kValueRole, cell.value);
      item->setData(kLowerRole, cell.lower);
      item->setData(kUpperRole, cell.upper);
    }
  }
  if (showWaiting) SerialInput->setText(QStringLiteral("Aktuelle Daten vom korvidan"));
  FitToGrid();
}

void TForm2::FitToGrid() {
  // Every text on one line and whole: each column as wide as its widest text, at least the
  // default width; column 0 keeps its 40 pixels.
  StringGrid1->resizeColumnsToContents();
  for (int c = 1; c < StringGrid1->columnCount(); ++c)
    StringGrid1->setColumnWidth(c, std::max(73, StringGrid1->columnWidth(c) + 6));
  StringGrid1->setColumnWidth(0, 40);
  // The window grows (never shrinks) until the whole grid is in view, within the screen.
  const int frame = 2 * StringGrid1->frameWidth();
  const int gridW = StringGrid1->horizontalHeader()->length() + frame;
  const int gridH = StringGrid1->verticalHeader()->length() + frame;
  int w = gridW;
  int h = menuBar()->sizeHint().height() + Bevel1->sizeHint().height() + GroupBox1->maximumHeight() + 2 * 2 +
          gridH;
  if (QScreen* screen = this->screen()) {
    const QRect avail = screen->availableGeometry();
    w = std::min(w, avail.width() - 20);
    h = std::min(h, avail.height() - 60);
  }
  if (width() < w || height() < h) resize(std::max(width(), w), std::max(height(), h));
}

// ---------------------------------------------------------------------------------------
// Alarms

std::string TForm2::AlarmReportText(TControllerList& list, int actionCode, int alarmState, int number,
                                    int controllerIndex) {
  std::lock_guard<TCriticalSection> sensors(SensorDataLock);
  TKorvidan* ctl = list.GetController(controllerIndex);
  TSensor* sensor = ctl ? ctl->GetSensor(number - 1) : nullptr;
  if (!sensor) return {};
  const TDateTime stamp = ctl->GetTimeStamp();
  std::string text = "Datum: " + DateToStr(stamp) + ", Uhrzeit: " + TimeToStr(stamp) + ", " +
                     ctl->GetIdent()->GetName() + ": \n";
  if (alarmState == AlarmBelow)
    text += "Unteren Alarmwert unterschritten: Sensor Nr = " + IntToStr(number) +
            ", Typ = " + sensor->GetTypeText() + ", Sensorwert = " + GeneralNumber(sensor->GetValue()) +
            "\n unterer Alarmwert = " + GeneralNumber(sensor->GetLowerLimit());
  else if (alarmState == AlarmAbove)
    text += "Oberen Alarmwert überschritten: Sensor Nr = " + IntToStr(number) +
            ", Typ = " + sensor->GetTypeText() + ", Sensorwert = " + GeneralNumber(sensor->GetValue()) +
            "\n oberer Alarmwert = " + GeneralNumber(sensor->GetUpperLimit());
  switch (actionCode) {
    case ActionFax:
      text += ", Aktion = Fax";
      break;
    case ActionCall:
      text += ", Aktion = Anruf";
      break;
    case ActionAlarm:
      text += ", Aktion = Alarm";
      break;
    case ActionMarkOnly:
      text += ", Aktion = markieren";
      break;
    default:
      break;
  }
  return text;
}

void TForm2::ReportAlarm(TControllerList& list, int actionCode, int alarmState, int number,
                         int controllerIndex) {
  std::string text = AlarmReportText(list, actionCode, alarmState, number, controllerIndex);
  if (!text.empty()) DeliverReport(text, actionCode);
}

void TForm2::DeliverReport(const std::string& text, int actionCode) {
  if (actionCode == ActionFax && state_.GetDataReceived() && SendAlarmFax) {
    try {
      SendAlarmFax(text);
    } catch (const std::exception& e) {
      // The protocol line is written all the same.
      ShowMessage("Alarmfax konnte nicht gesendet werden: " + ErrorText(e), TMsgKind::Error);
    }
  }
  AppendProtocol(text);
}

std::string TForm2::ProtocolFileName() const {
  std::string name = "Protokoll " + DateToStr(Clock()) + ".txt";
  return ProtocolDirectory.empty() ? name : ProtocolDirectory + "/" + name;
}

void TForm2::AppendProtocol(const std::string& text) {
  std::string lines;
  for (char ch : text) {
    if (ch == '\n') lines += '\r';
    lines += ch;
  }
  lines += "\r\n";
  const std::string bytes = Utf8ToCp1252(lines);
  const std::string file = ProtocolFileName();

  std::lock_guard<std::mutex> g(protocolLock_);
  bool ok = false;
  if (FILE* f = std::fopen(file.c_str(), "ab")) {
    ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = std::fclose(f) == 0 && ok;
  }
  if (ok) {
    protocolFailureReported_ = false;
  } else if (!protocolFailureReported_) {
    protocolFailureReported_ = true;
    ShowMessage("Alarmprotokoll \"" + file + "\" kann nicht geschrieben werden !", TMsgKind::Error);
  }
}

void TForm2::PlayAlarmSound(int alarmState) {
  std::lock_guard<std::mutex> g(soundLock_);
  std::string file;
  try {
    file = SoundDirectory() + (alarmState == AlarmBelow ? "/error.wav" : "/boing.wav");
    MediaPlayer1.Close();
    MediaPlayer1.FileName = file;
    MediaPlayer1.Open();
    MediaPlayer1.Play();
    soundFilesReported_.erase("missing:" + file);
    soundFilesReported_.erase("format:" + file);
  } catch (const std::exception&) {
    // The player's own text is for developers; the user reads what went wrong in German.
    std::string why;
    switch (MediaPlayer1.Error()) {
      case TWavePlayer::weDevice:
      case TWavePlayer::wePlayback:
        if (deviceFailureReported_) return;
        deviceFailureReported_ = true;
        why =
            MediaPlayer1.Error() == TWavePlayer::weDevice
                ? "kein Audiogerät \"" + MediaPlayer1.DeviceName + "\" verfügbar."
                : "die Wiedergabe auf dem Audiogerät \"" + MediaPlayer1.DeviceName + "\" ist fehlgeschlagen.";
        break;
      case TWavePlayer::weFormat:
        if (!soundFilesReported_.insert("format:" + file).second) return;
        why = "die Datei \"" + file + "\" ist keine abspielbare Wave-Datei.";
        break;
      default:
        if (!soundFilesReported_.insert("missing:" + file).second) return;
        why = "die Datei \"" + file + "\" existiert nicht oder kann nicht gelesen werden.";
        break;
    }
    ShowMessage("Alarmton kann nicht gespielt werden: " + why, TMsgKind::Warning);
  }
}
