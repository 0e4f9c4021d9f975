// The alarm configuration: limits and actions go from the grid into the controller's "_Val"
// table and from there into its sensors; bad numbers are refused; a new run keeps what the
// table holds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QFontMetrics>
#include <QHeaderView>
#include <QRadioButton>
#include <QTabBar>
#include <QTableView>
#include <filesystem>
#include <string>
#include <vector>

#include "app/DataBase.h"
#include "app/DialogSelAktion.h"
#include "app/SetAlarmValues.h"
#include "app/UiThread.h"
#include "platform/Database.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

class AlarmValuesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Session().AddStandardAlias("Zelvanor", dir_);
    MessageSink = [this](const std::string& text, TMsgKind) { messages_.push_back(text); };
    db_ = std::make_unique<TDataModule2>();
    form_ = std::make_unique<TAlarmForm>(*db_);
    form_->ActionDialog = &dialog_;
    NewRun();
  }
  void TearDown() override {
    form_.reset();
    db_.reset();
    MessageSink = nullptr;
  }

  // Controllers as the bus set-up makes them at the start of a run: default limits.
  void NewRun(int count = 1) {
    list_ = std::make_unique<TControllerList>();
    for (int i = 0; i < count; ++i) {
      auto* c = new TKorvidan(i);
      c->GetIdent()->SetName("Korvidan" + std::to_string(i + 1));
      c->GetSensor(0)->SetType(SensorPH);
      list_->AddController(c);
    }
    form_->FillDeviceTabs(*list_);
    form_->TabControl1Enter();
  }
  TSensor* Sensor(int s, int controller = 0) { return list_->GetController(controller)->GetSensor(s); }
  TAlarmValueModel& Model() { return *form_->Model(); }
  int Col(const char* name) { return Model().FieldIndex(name); }
  bool Type(int row, const char* field, const char* text) {
    return Model().setData(Model().index(row, Col(field)), QString::fromUtf8(text), Qt::EditRole);
  }
  std::string Cell(int row, const char* field) { return Model().Cell(row, Col(field)).toStdString(); }

  support::TempDir tmp_{"alarmvalues_"};
  const std::filesystem::path& dir_ = tmp_.path();
  std::vector<std::string> messages_;
  std::unique_ptr<TDataModule2> db_;
  TDialogAktion dialog_;
  std::unique_ptr<TAlarmForm> form_;
  std::unique_ptr<TControllerList> list_;
};

TEST_F(AlarmValuesTest, FirstEntryCreatesEightRowsAndEditsReachTheSensorsOnLeaving) {
  EXPECT_TRUE(fs::exists(dir_ / "Korvidan1_Val.db"));
  ASSERT_EQ(Model().rowCount(), 8);
  for (int r = 0; r < 8; ++r) EXPECT_EQ(Cell(r, "SensorNr"), std::to_string(r + 1));
  EXPECT_EQ(Cell(0, "SensorTyp"), "pH");
  EXPECT_EQ(Cell(1, "SensorTyp"), "kein Sensor");
  EXPECT_EQ(Cell(0, "ObererAlarmwert"), "1");
  EXPECT_EQ(Cell(0, "UntererAlarmwert"), "-1");
  EXPECT_EQ(Model().columnCount(), 20);
  // Every column title is whole ("UntererAlarmwert", not "ntererAlarmwer").
  const QFontMetrics fm(form_->AlarmValueDBGrid->horizontalHeader()->font());
  for (int c = 0; c < Model().columnCount(); ++c) {
    const QString title = Model().headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
    EXPECT_GT(form_->AlarmValueDBGrid->columnWidth(c), fm.horizontalAdvance(title)) << title.toStdString();
  }

  // Decimal comma or point, whatever the locale.
  EXPECT_TRUE(Type(0, "UntererAlarmwert", "6,8"));
  EXPECT_TRUE(Type(0, "ObererAlarmwert", " 7.45 "));
  EXPECT_TRUE(Type(3, "ObererAlarmwert", "1.5e3"));
  EXPECT_EQ(Cell(0, "ObererAlarmwert"), "7,45");
  // Not yet in the sensors: they take the table when the tabs are left.
  EXPECT_EQ(Sensor(0)->GetUpperLimit(), 1.0f);
  form_->TabControl1Exit();
  EXPECT_EQ(Sensor(0)->GetLowerLimit(), 6.8f);
  EXPECT_EQ(Sensor(0)->GetUpperLimit(), 7.45f);
  EXPECT_EQ(Sensor(3)->GetUpperLimit(), 1500.0f);
  EXPECT_EQ(Sensor(0)->GetAlarmState(), AlarmBelow);  // value 0
  // The table holds the number as typed, not the float's widened digits.
  TRowReader rows("Zelvanor", "Korvidan1_Val", {"ObererAlarmwert"});
  ASSERT_TRUE(rows.Next());
  EXPECT_EQ(rows.AsFloat(0), 7.45);
  EXPECT_TRUE(messages_.empty());
}

TEST_F(AlarmValuesTest, BadNumbersAreRefusedAndNothingIsStored) {
  EXPECT_TRUE(Type(0, "ObererAlarmwert", "8"));
  for (const char* bad : {"abc", "", "7,1,2", "1e40", "nan", "inf", "0x10", "7.5 pH"}) {
    messages_.clear();
    EXPECT_FALSE(Type(0, "ObererAlarmwert", bad)) << bad;
    ASSERT_EQ(messages_.size(), 1u) << bad;
    EXPECT_EQ(messages_[0],
              "'" + std::string(bad) + "' is not a valid floating point value for field 'ObererAlarmwert'");
    EXPECT_EQ(Cell(0, "ObererAlarmwert"), "8");
  }
  // Number, type and action cannot be typed over.
  EXPECT_FALSE(Type(0, "SensorNr", "5"));
  EXPECT_FALSE(Type(0, "Aktion", "Fax"));
  form_->TabControl1Exit();
  EXPECT_EQ(Sensor(0)->GetUpperLimit(), 8.0f);
  EXPECT_EQ(Sensor(0)->GetActionCode(), ActionMarkOnly);
}

TEST_F(AlarmValuesTest, ActionDialogWritesTheChosenActionOnlyFromTheActionColumn) {
  QTableView* grid = form_->AlarmValueDBGrid;
  grid->setCurrentIndex(Model().index(2, Col("ObererAlarmwert")));
  form_->AlarmValueDBGridDblClick();
  EXPECT_FALSE(dialog_.isVisible());

  grid->setCurrentIndex(Model().index(2, Col("Aktion")));
  form_->AlarmValueDBGridDblClick();
  ASSERT_TRUE(dialog_.isVisible());
  EXPECT_TRUE(dialog_.NurMarkierenButton->isChecked());  // no action yet
  EXPECT_EQ(dialog_.pos(), form_->pos() + QPoint(200, 80));
  dialog_.FaxButton->setChecked(true);
  dialog_.Button1Click();
  EXPECT_FALSE(dialog_.isVisible());
  EXPECT_EQ(Cell(2, "Aktion"), "Fax");

  // Shown again, it presets the row's action.
  form_->AlarmValueDBGridDblClick();
  EXPECT_TRUE(dialog_.FaxButton->isChecked());
  dialog_.AnrufButton->setChecked(true);
  dialog_.hide();  // closing the window writes as well
  EXPECT_EQ(Cell(2, "Aktion"), "Anruf");

  form_->TabControl1Exit();
  EXPECT_EQ(Sensor(2)->GetActionCode(), ActionCall);
  EXPECT_TRUE(messages_.empty());
}

TEST_F(AlarmValuesTest, ANewRunKeepsTheStoredLimitsAndActions) {
  EXPECT_TRUE(Type(0, "UntererAlarmwert", "6.5"));
  EXPECT_TRUE(Type(0, "ObererAlarmwert", "7.8"));
  form_->AlarmValueDBGrid->setCurrentIndex(Model().index(0, Col("Aktion")));
  form_->AlarmValueDBGridDblClick();
  dialog_.AlarmButton->setChecked(true);
  dialog_.Button1Click();
  form_->hide();  // closing the form applies the edits

  NewRun();  // fresh controller objects with the defaults
  EXPECT_EQ(Cell(0, "UntererAlarmwert"), "6,5");
  EXPECT_EQ(Cell(0, "ObererAlarmwert"), "7,8");
  EXPECT_EQ(Cell(0, "Aktion"), "Alarm");
  EXPECT_EQ(Sensor(0)->GetLowerLimit(), 6.5f);
  EXPECT_EQ(Sensor(0)->GetUpperLimit(), 7.8f);
  EXPECT_EQ(Sensor(0)->GetActionCode(), ActionAlarm);
  EXPECT_EQ(Sensor(1)->GetUpperLimit(), 1.0f);
}

TEST_F(AlarmValuesTest, ANewRunJudgesByTheStoredLimitsBeforeTheFormIsOpened) {
  EXPECT_TRUE(Type(0, "UntererAlarmwert", "7,9"));
  EXPECT_TRUE(Type(0, "ObererAlarmwert", "8,3"));
  form_->hide();

  // The next start: the bus set-up registers fresh controllers with the default limits, plus
  // one that has no table yet.
  TControllerList next;
  auto* known = new TKorvidan(0);
  known->GetIdent()->SetName("Korvidan1");
  known->GetSensor(0)->SetType(SensorPH);
  known->GetSensor(0)->SetValue(8.1f);
  next.AddController(known);
  auto* fresh = new TKorvidan(1);
  fresh->GetIdent()->SetName("Korvidan9");
  next.AddController(fresh);
  form_->LoadStoredLimits(next);
  EXPECT_EQ(known->GetSensor(0)->GetLowerLimit(), 7.9f);
  EXPECT_EQ(known->GetSensor(0)->GetUpperLimit(), 8.3f);
  EXPECT_EQ(known->GetSensor(0)->GetAlarmState(), 0);
  EXPECT_EQ(fresh->GetSensor(0)->GetUpperLimit(), 1.0f);
  EXPECT_FALSE(fs::exists(dir_ / "Korvidan9_Val.db"));  // nothing is created for it
  EXPECT_TRUE(messages_.empty());
}

TEST_F(AlarmValuesTest, ChangingTheTabHandsTheEditsToTheControllerLeft) {
  NewRun(2);
  ASSERT_EQ(form_->TabBar1->count(), 2);
  EXPECT_TRUE(Type(1, "ObererAlarmwert", "30"));
  form_->TabBar1->setCurrentIndex(1);
  EXPECT_EQ(Sensor(1, 0)->GetUpperLimit(), 30.0f);
  EXPECT_EQ(Sensor(1, 1)->GetUpperLimit(), 1.0f);
  EXPECT_EQ(db_->AlarmValueTable.TableName(), "Korvidan2_Val");
  EXPECT_TRUE(fs::exists(dir_ / "Korvidan2_Val.db"));
  EXPECT_TRUE(Type(1, "ObererAlarmwert", "40"));
  form_->TabBar1->setCurrentIndex(0);
  EXPECT_EQ(Sensor(1, 1)->GetUpperLimit(), 40.0f);
  EXPECT_EQ(Cell(1, "ObererAlarmwert"), "30");
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
