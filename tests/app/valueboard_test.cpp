// The value board: grid contents, alarm states at the limits, sounds, the protocol file
// byte for byte, the alarm fax seam, and refreshes from the acquisition thread.
#include "app/ValueBoard.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QFontMetrics>
#include <QGroupBox>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScrollBar>
#include <QTableWidget>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/SharedState.h"
#include "app/UiThread.h"
#include "link/SensorRecords.h"
#include "platform/Registry.h"
#include "platform/Text.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using support::ReadFile;

// A short 8-bit mono wave file.
void WriteWave(const fs::path& p) {
  std::string samples(800, '\x80');
  auto le32 = [](std::uint32_t v) {
    return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
  };
  auto le16 = [](std::uint16_t v) { return std::string{char(v), char(v >> 8)}; };
  std::string data = "RIFF" + le32(36 + static_cast<std::uint32_t>(samples.size())) + "WAVEfmt " + le32(16) +
                     le16(1) + le16(1) + le32(8000) + le32(8000) + le16(1) + le16(8) + "data" +
                     le32(static_cast<std::uint32_t>(samples.size())) + samples;
  std::ofstream(p, std::ios::binary) << data;
}

class ValueBoardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "Sound");
    WriteWave(dir_ / "Sound" / "error.wav");
    WriteWave(dir_ / "Sound" / "boing.wav");
    SetRegistryFile((dir_ / "registry.ini").string());
    TRegistry reg;
    reg.OpenKey("\\Software\\Zelvanor\\SoundDirectory", true);
    reg.WriteString("Path", (dir_ / "Sound").string());
    reg.CloseKey();
    MessageSink = [this](const std::string& text, TMsgKind) { messages_.push_back(text); };
    state_.SetDataReceived(true);
    MainFlags.FFaxSent = false;

    board_ = std::make_unique<TForm2>(state_);
    board_->ProtocolDirectory = dir_.string();
    board_->Clock = [] { return EncodeDate(2026, 12, 9) + EncodeTime(23, 59, 58, 0); };
    board_->MediaPlayer1.DeviceName =
        "null";  // ALSA's sink; where there is none, the failure is only reported
    ctl_ = new TKorvidan(0);
    ctl_->GetIdent()->SetName("Korvidan1");
    ctl_->SetValuesDelivered(true);  // it has answered; the sensors are set by each test
    list_.AddController(ctl_);
  }
  void TearDown() override {
    board_.reset();
    MessageSink = nullptr;
    SetRegistryFile("");
  }

  std::string Protocol() { return ReadFile(dir_ / "Protokoll 09.12.2026.txt"); }
  int ProtocolReports() {
    std::string p = Protocol();
    int n = 0;
    for (std::size_t i = 0; (i = p.find("Datum: ", i)) != std::string::npos; ++i) ++n;
    return n;
  }
  int Messages(const std::string& part) {
    int n = 0;
    for (const auto& m : messages_) n += m.find(part) != std::string::npos;
    return n;
  }
  std::string Cell(int row, int column) {
    QTableWidgetItem* item = board_->StringGrid1->item(row, column);
    return item ? item->text().toStdString() : std::string();
  }
  void Sensor(int s, std::uint8_t type, float value, float lower = -1.0f, float upper = 1.0f,
              const std::string& action = {}) {
    TSensor* sensor = ctl_->GetSensor(s);
    sensor->SetType(type);
    sensor->SetValue(value);
    sensor->SetLowerLimit(lower);
    sensor->SetUpperLimit(upper);
    sensor->SetActionText(action);
  }
  // The frame drawn around the value cell of a grid row: "red", "blue" or "none".
  std::string Frame(int row) {
    board_->StringGrid1->viewport()->repaint();
    const QImage image = board_->StringGrid1->viewport()->grab().toImage();
    QRect r = board_->StringGrid1->visualItemRect(board_->StringGrid1->item(row, 2));
    QColor top = image.pixelColor(r.center().x(), r.top());
    QColor left = image.pixelColor(r.left(), r.center().y());
    if (top == QColor(Qt::red) && left == QColor(Qt::red)) return "red";
    if (top == QColor(Qt::blue) && left == QColor(Qt::blue)) return "blue";
    return "none";
  }
  std::string Header(TKorvidan* c) {
    return "Datum: " + DateToStr(c->GetTimeStamp()) + ", Uhrzeit: " + TimeToStr(c->GetTimeStamp()) + ", " +
           c->GetIdent()->GetName() + ": \r\n";
  }

  support::TempDir tmp_{"valueboard_"};
  const std::filesystem::path& dir_ = tmp_.path();
  std::vector<std::string> messages_;
  TAcquisitionState state_;
  std::unique_ptr<TForm2> board_;
  TControllerList list_;
  TKorvidan* ctl_ = nullptr;
};

TEST_F(ValueBoardTest, ProtocolLinesAreWrittenByteForByteOnEveryRefresh) {
  Sensor(0, SensorPH, 7.12f);                                 // default limits: above
  Sensor(1, SensorTemperature, -5.0f, -1.0f, 1.0f, "Alarm");  // below
  board_->ShowCurrentValues(list_);
  const std::string first = Header(ctl_) +
                            "Oberen Alarmwert \xFC"
                            "berschritten: Sensor Nr = 1, Typ = pH, Sensorwert = 7,11999988555908\r\n"
                            " oberer Alarmwert = 1, Aktion = markieren\r\n" +
                            Header(ctl_) +
                            "Unteren Alarmwert unterschritten: Sensor Nr = 2, Typ = Temp.[\xB0"
                            "C], Sensorwert = -5\r\n"
                            " unterer Alarmwert = -1, Aktion = Alarm\r\n";
  EXPECT_EQ(Protocol(), first);

  // Still out of limits at the next cycle: reported again.
  ctl_->GetSensor(1)->SetValue(0.5f);
  ctl_->GetSensor(0)->SetActionText("Anruf");
  board_->ShowCurrentValues(list_);
  EXPECT_EQ(Protocol(), first + Header(ctl_) +
                            "Oberen Alarmwert \xFC"
                            "berschritten: Sensor Nr = 1, Typ = pH, Sensorwert = "
                            "7,11999988555908\r\n oberer Alarmwert = 1, Aktion = Anruf\r\n");

  // The file is named after the day of writing, not the day of the poll.
  board_->Clock = [] { return EncodeDate(2026, 12, 10) + EncodeTime(0, 0, 1, 0); };
  board_->ShowCurrentValues(list_);
  EXPECT_TRUE(fs::exists(dir_ / "Protokoll 10.12.2026.txt"));
}

TEST_F(ValueBoardTest, AlarmStatesAndSoundsAtAndAroundBothLimits) {
  auto refresh = [&](float value) {
    Sensor(0, SensorPH, value, 6.5f, 7.5f);
    board_->MediaPlayer1.FileName.clear();
    const int before = ProtocolReports();
    board_->ShowCurrentValues(list_);
    return std::make_pair(ProtocolReports() - before, board_->MediaPlayer1.FileName);
  };
  const std::string below = (dir_ / "Sound" / "error.wav").string();
  const std::string above = (dir_ / "Sound" / "boing.wav").string();
  EXPECT_EQ(refresh(6.49f), std::make_pair(1, below));
  EXPECT_EQ(refresh(6.5f), std::make_pair(0, std::string()));
  EXPECT_EQ(refresh(7.0f), std::make_pair(0, std::string()));
  EXPECT_EQ(refresh(7.5f), std::make_pair(0, std::string()));
  EXPECT_EQ(refresh(7.51f), std::make_pair(1, above));
  EXPECT_NE(Protocol().find(
                "Unteren Alarmwert unterschritten: Sensor Nr = 1, Typ = pH, Sensorwert = 6,48999977111816\r\n"
                " unterer Alarmwert = 6,5"),
            std::string::npos);
  EXPECT_NE(Protocol().find("Sensorwert = 7,51000022888184\r\n oberer Alarmwert = 7,5, Aktion = markieren"),
            std::string::npos);
}

TEST_F(ValueBoardTest, ValueCellsOnALimitAreFramedThoughInside) {
  Sensor(0, SensorPH, 7.5f, 6.5f, 7.5f);  // on the upper limit: red
  Sensor(1, SensorPH, 6.5f, 6.5f, 7.5f);  // on the lower limit: blue
  Sensor(2, SensorPH, 7.0f, 6.5f, 7.5f);  // inside: no frame
  Sensor(3, SensorPH, 8.0f, 6.5f, 7.5f);  // above: red
  board_->resize(400, 400);
  board_->show();
  board_->ShowCurrentValues(list_);
  EXPECT_EQ(ProtocolReports(), 1);
  QApplication::processEvents();
  EXPECT_EQ(Frame(2), "red");
  EXPECT_EQ(Frame(3), "blue");
  EXPECT_EQ(Frame(4), "none");
  EXPECT_EQ(Frame(5), "red");
}

TEST_F(ValueBoardTest, OnlyAControllerThatDeliveredValuesIsJudged) {
  // A stored pH range of 6 to 9 holds from the first cycle; the controller has not spoken.
  ctl_->ClearSensors();
  Sensor(0, SensorNone, 0.0f, 6.0f, 9.0f, "Fax");
  std::vector<std::string> faxes;
  board_->SendAlarmFax = [&](const std::string& text) { faxes.push_back(text); };
  board_->resize(400, 400);
  board_->show();
  board_->ShowCurrentValues(list_);
  QApplication::processEvents();
  EXPECT_FALSE(fs::exists(dir_ / "Protokoll 09.12.2026.txt"));
  EXPECT_EQ(board_->MediaPlayer1.FileName, "");
  EXPECT_TRUE(faxes.empty());
  EXPECT_EQ(Frame(2), "none");
  EXPECT_EQ(Cell(2, 2), " ---- ");

  // Its first values, through the parser: a pH of 5.5 is below the range.
  ASSERT_EQ(ConvertRecords({"1(pH )05.50 pH "}, *ctl_, SensorDataLock, nullptr), 1);
  board_->ShowCurrentValues(list_);
  QApplication::processEvents();
  EXPECT_EQ(ProtocolReports(), 1);
  EXPECT_NE(Protocol().find("Sensor Nr = 1, Typ = pH, Sensorwert = 5,5\r\n"), std::string::npos);
  EXPECT_EQ(board_->MediaPlayer1.FileName, (dir_ / "Sound" / "error.wav").string());
  EXPECT_EQ(faxes.size(), 1u);
  EXPECT_EQ(Frame(2), "blue");

  // A poll that gets nothing clears the sensors: nothing is judged until values come again.
  ctl_->ClearSensors();
  board_->ShowCurrentValues(list_);
  EXPECT_EQ(ProtocolReports(), 1);
  EXPECT_EQ(faxes.size(), 1u);
  board_->hide();
}

TEST_F(ValueBoardTest, GridShowsNamesTimesTypesAndValueTexts) {
  auto* second = new TKorvidan(1);
  second->GetIdent()->SetName("Korvidan2");
  list_.AddController(second);
  Sensor(0, SensorPH, 0.0f);
  Sensor(1, SensorLevel, 2.0f, -1.0f, 3.0f);
  Sensor(2, SensorLevel, 1.0f);
  Sensor(3, SensorRedox, 0.75f);
  state_.SetDataReceived(false);
  board_->ShowCurrentValues(list_);
  EXPECT_EQ(board_->StringGrid1->rowCount(), 10);
  EXPECT_EQ(board_->StringGrid1->columnCount(), 6);
  EXPECT_EQ(board_->StringGrid1->columnWidth(0), 40);
  EXPECT_EQ(Cell(0, 1), "Korvidan1");
  EXPECT_EQ(Cell(0, 2), ctl_->GetTimeStampText());
  EXPECT_EQ(Cell(0, 3), "Korvidan2");
  EXPECT_EQ(Cell(0, 4), second->GetTimeStampText());
  EXPECT_EQ(Cell(1, 0), "S.Nr");
  EXPECT_EQ(Cell(1, 4), "S.Typ");
  EXPECT_EQ(Cell(1, 5), "Value");
  EXPECT_EQ(Cell(2, 0), "1");
  EXPECT_EQ(Cell(2, 1), "pH");
  EXPECT_EQ(Cell(2, 2), " ---- ");
  EXPECT_EQ(Cell(3, 2), "Luft");
  EXPECT_EQ(Cell(4, 2), "Wasser");
  EXPECT_EQ(Cell(5, 1), "Redox[mV]");
  EXPECT_EQ(Cell(5, 2), "0,75");
  EXPECT_EQ(Cell(9, 3), "8");
  EXPECT_EQ(Cell(9, 4), "kein Sensor");
  EXPECT_EQ(board_->SerialInput->text().toStdString(), "Aktuelle Daten vom korvidan");
  EXPECT_EQ(ProtocolReports(), 0);
}

TEST_F(ValueBoardTest, EveryTextOfEightSensorsOfTwoControllersIsWholeAtTheOpeningSize) {
  auto* second = new TKorvidan(1);
  second->GetIdent()->SetName("Korvidan2");
  list_.AddController(second);
  const std::uint8_t types[] = {SensorPH,     SensorTemperature, SensorRedox,    SensorSeaConductivity,
                                SensorOxygen, SensorLevel,       SensorPressure, SensorNone};
  for (int s = 0; s < 8; ++s) Sensor(s, types[s], 1013.25f, -1e6f, 1e6f);
  board_->ShowCurrentValues(list_);
  board_->show();
  QTableWidget* grid = board_->StringGrid1;
  const QFontMetrics fm(grid->font());
  for (int r = 0; r < grid->rowCount(); ++r)
    for (int c = 1; c < grid->columnCount(); ++c) {
      if (QTableWidgetItem* item = grid->item(r, c)) {
        EXPECT_GE(grid->columnWidth(c), fm.horizontalAdvance(item->text()) + 4) << item->text().toStdString();
      }
    }
  EXPECT_FALSE(grid->wordWrap());
  // The window opens with the whole grid in view: no scroll bar is needed.
  QCoreApplication::processEvents();
  EXPECT_EQ(grid->horizontalScrollBar()->maximum(), 0);
  EXPECT_EQ(grid->verticalScrollBar()->maximum(), 0);
  board_->hide();
}

TEST_F(ValueBoardTest, TheSystemTitleStandsWholeAndItsFieldTakesNoTyping) {
  state_.SetDataReceived(false);
  board_->show();
  board_->ShowCurrentValues(list_);
  QApplication::processEvents();

  // The group's title "aktuelles System" keeps clear of the window's left edge.
  const QImage image = board_->grab().toImage();
  const int top = board_->GroupBox1->mapTo(board_.get(), QPoint(0, 0)).y();
  int leftmostInk = image.width();
  for (int y = top; y < top + board_->GroupBox1->fontMetrics().height(); ++y)
    for (int x = 0; x < image.width() / 2; ++x)
      if (image.pixelColor(x, y).lightness() < 128) leftmostInk = std::min(leftmostInk, x);
  EXPECT_GE(leftmostInk, 3);
  EXPECT_LT(leftmostInk, 20);

  QLineEdit* field = board_->SerialInput;
  field->setFocus();
  QKeyEvent key(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, "x");
  QApplication::sendEvent(field, &key);
  EXPECT_EQ(field->text().toStdString(), "Aktuelle Daten vom korvidan");
  board_->hide();
}

TEST_F(ValueBoardTest, AlarmFaxGoesThroughTheInstalledSeamOnly) {
  Sensor(0, SensorPH, 7.12f, -1.0f, 1.0f, "Fax");
  // No fax module installed: nothing is sent, nothing complains, the line is written.
  board_->ShowCurrentValues(list_);
  EXPECT_EQ(ProtocolReports(), 1);
  EXPECT_TRUE(messages_.empty() || Messages("Alarmton") == static_cast<int>(messages_.size()));
  EXPECT_NE(Protocol().find(", Aktion = Fax\r\n"), std::string::npos);

  std::vector<std::string> faxes;
  board_->SendAlarmFax = [&](const std::string& text) { faxes.push_back(text); };
  state_.SetDataReceived(false);  // no controller has answered yet
  board_->ShowCurrentValues(list_);
  EXPECT_TRUE(faxes.empty());
  state_.SetDataReceived(true);
  board_->ShowCurrentValues(list_);
  ASSERT_EQ(faxes.size(), 1u);
  EXPECT_EQ(faxes[0],
            "Datum: " + DateToStr(ctl_->GetTimeStamp()) + ", Uhrzeit: " + TimeToStr(ctl_->GetTimeStamp()) +
                ", Korvidan1: \nOberen Alarmwert überschritten: Sensor Nr = 1, Typ = pH, Sensorwert = "
                "7,11999988555908\n oberer Alarmwert = 1, Aktion = Fax");
  ctl_->GetSensor(0)->SetActionText("Alarm");
  board_->ShowCurrentValues(list_);
  EXPECT_EQ(faxes.size(), 1u);

  // A fax that fails is reported; the protocol line is written all the same.
  ctl_->GetSensor(0)->SetActionText("Fax");
  board_->SendAlarmFax = [](const std::string&) {
    throw EFOpenError("Cover.txt kann nicht geöffnet werden");
  };
  const int before = ProtocolReports();
  board_->ShowCurrentValues(list_);
  EXPECT_EQ(ProtocolReports(), before + 1);
  EXPECT_EQ(Messages("Cover.txt"), 1);
}

TEST_F(ValueBoardTest, MissingSoundFilesAndDevicesAreReportedOnceAndStopNothing) {
  Sensor(0, SensorPH, 7.12f);
  fs::remove(dir_ / "Sound" / "boing.wav");
  board_->ShowCurrentValues(list_);
  board_->ShowCurrentValues(list_);
  EXPECT_EQ(ProtocolReports(), 2);
  EXPECT_EQ(Messages("boing.wav"), 1);
  // Wholly German: the box names the file and says what is wrong with it.
  EXPECT_EQ(Messages("Alarmton kann nicht gespielt werden: die Datei \"" +
                     (dir_ / "Sound" / "boing.wav").string() + "\" existiert nicht"),
            1);
  EXPECT_EQ(Messages("does not exist"), 0);

  // A file that is no wave file: reported once, in German.
  std::ofstream(dir_ / "Sound" / "boing.wav") << "kein RIFF";
  messages_.clear();
  board_->ShowCurrentValues(list_);
  board_->ShowCurrentValues(list_);
  EXPECT_EQ(Messages("ist keine abspielbare Wave-Datei"), 1);
  EXPECT_EQ(messages_.size(), 1u);

  board_->MediaPlayer1.DeviceName = "hw:CARD=KeineSoundkarte";
  WriteWave(dir_ / "Sound" / "boing.wav");
  messages_.clear();
  for (int i = 0; i < 3; ++i) board_->ShowCurrentValues(list_);
  EXPECT_EQ(ProtocolReports(), 7);
  EXPECT_EQ(Messages("Alarmton kann nicht gespielt werden: kein Audiogerät \"hw:CARD=KeineSoundkarte\""), 1);
  EXPECT_EQ(Messages("Alarmton"), 1);
  EXPECT_EQ(Cell(2, 2), "7,12");

  // No sound directory at all: "\boing.wav" at the root, missing, reported, board goes on.
  TRegistry reg;
  reg.OpenKey("\\Software\\Zelvanor\\SoundDirectory", false);
  reg.WriteString("Path", "");
  board_->ShowCurrentValues(list_);
  EXPECT_EQ(board_->MediaPlayer1.FileName, "/boing.wav");
  EXPECT_EQ(ProtocolReports(), 8);
}

TEST_F(ValueBoardTest, UnwritableProtocolFileIsReportedOnce) {
  Sensor(0, SensorPH, 7.12f);
  board_->ProtocolDirectory = (dir_ / "fehlt").string();
  board_->ShowCurrentValues(list_);
  board_->ShowCurrentValues(list_);
  EXPECT_EQ(Messages("Alarmprotokoll"), 1);
  board_->ProtocolDirectory = dir_.string();
  board_->ShowCurrentValues(list_);
  EXPECT_EQ(ProtocolReports(), 1);
}

TEST_F(ValueBoardTest, RefreshFromTheAcquisitionThreadFillsTheGridOnTheWindowThread) {
  Sensor(0, SensorPH, 7.12f);
  std::thread acquisition([&] { board_->ShowCurrentValues(list_); });
  acquisition.join();
  EXPECT_EQ(ProtocolReports(), 1) << "sound and protocol on the calling thread";
  QApplication::processEvents();
  EXPECT_EQ(Cell(2, 2), "7,12");
  EXPECT_EQ(Cell(0, 1), "Korvidan1");

  // The board may be gone before its queued update arrives.
  std::thread late([&] { board_->ShowCurrentValues(list_); });
  late.join();
  board_.reset();
  QApplication::processEvents();
}

TEST_F(ValueBoardTest, EmptyControllerListOnlyReports) {
  TControllerList empty;
  board_->ShowCurrentValues(empty);
  EXPECT_EQ(Messages("Keine Korvidans am COM Port erkannt !"), 1);
  EXPECT_FALSE(fs::exists(dir_ / "Protokoll 09.12.2026.txt"));
}

}  // namespace

// The application object lives for the whole run and is destroyed before the program ends, so
// that Qt releases what it holds.
int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
