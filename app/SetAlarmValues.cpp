#include "app/SetAlarmValues.h"

#include <QApplication>
#include <QFrame>
#include <QHeaderView>
#include <QPushButton>
#include <QTabBar>
#include <QTableView>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <exception>
#include <mutex>

#include "app/DataBase.h"
#include "app/DialogSelAktion.h"
#include "app/ErrorText.h"
#include "app/UiThread.h"
#include "link/BusShared.h"
#include "platform/Database.h"
#include "platform/Text.h"
#include "ui_SetAlarmValues.h"

TAlarmForm* AlarmForm = nullptr;

namespace {

const char* const kLower = "UntererAlarmwert";
const char* const kUpper = "ObererAlarmwert";
const char* const kAction = "Aktion";

// The shortest decimal that reads back as the same 32-bit float, so that the table shows
// 7.12 rather than the float's widened 7.11999988555908.
double StoredLimit(float v) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  double d = v;
  std::from_chars(buf, r.ptr, d);
  return d;
}

}  // namespace

bool ParseAlarmLimit(const std::string& text, float& value) {
  std::string s = Trim(text);
  for (char& c : s)
    if (c == ',') c = '.';
  double d = 0;
  if (!TryStrToFloat(s, d) || !std::isfinite(d) || std::fabs(d) > FLT_MAX) return false;
  value = static_cast<float>(d);
  return true;
}

// ---------------------------------------------------------------------------------------
// Grid model

TAlarmValueModel::TAlarmValueModel(TTable& table, QObject* parent)
    : QAbstractTableModel(parent), table_(table) {}

void TAlarmValueModel::Reload() {
  beginResetModel();
  names_.clear();
  rows_.clear();
  if (table_.Active()) {
    for (int i = 0; i < table_.FieldCount(); ++i) names_.push_back(table_.Fields(i).FieldName());
    table_.First();
    while (!table_.Eof()) {
      rows_.push_back(CurrentRow());
      table_.Next();
    }
    table_.First();
  }
  endResetModel();
}

std::vector<QString> TAlarmValueModel::CurrentRow() {
  std::vector<QString> row;
  for (int i = 0; i < table_.FieldCount(); ++i) {
    TField& f = table_.Fields(i);
    if (f.DataType() == ftFloat && !f.IsNull()) {
      // Limits as the float the sensor holds, with a decimal comma.
      char buf[32];
      auto r = std::to_chars(buf, buf + sizeof buf, static_cast<float>(f.AsFloat()));
      std::string t(buf, r.ptr);
      for (char& c : t)
        if (c == '.') c = ',';
      row.push_back(QString::fromStdString(t));
    } else {
      row.push_back(QString::fromStdString(f.AsString()));
    }
  }
  return row;
}

int TAlarmValueModel::FieldIndex(const std::string& name) const {
  for (std::size_t i = 0; i < names_.size(); ++i)
    if (SameText(names_[i], name)) return static_cast<int>(i);
  return -1;
}

QString TAlarmValueModel::Cell(int row, int column) const {
  if (row < 0 || column < 0 || row >= rowCount() || column >= columnCount()) return {};
  return rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
}

int TAlarmValueModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TAlarmValueModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(names_.size());
}

QVariant TAlarmValueModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole)) return {};
  return Cell(index.row(), index.column());
}

QVariant TAlarmValueModel::headerData(int section, Qt::Orientation o, int role) const {
  if (role != Qt::DisplayRole || o != Qt::Horizontal || section < 0 || section >= columnCount()) return {};
  return QString::fromStdString(names_[static_cast<std::size_t>(section)]);
}

Qt::ItemFlags TAlarmValueModel::flags(const QModelIndex& index) const {
  Qt::ItemFlags f = QAbstractTableModel::flags(index);
  if (index.isValid() && (index.column() == FieldIndex(kLower) || index.column() == FieldIndex(kUpper)))
    f |= Qt::ItemIsEditable;
  return f;
}

bool TAlarmValueModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || role != Qt::EditRole || !(flags(index) & Qt::ItemIsEditable)) return false;
  return WriteField(index.row(), names_[static_cast<std::size_t>(index.column())],
                    value.toString().toStdString());
}

bool TAlarmValueModel::GoToRow(int row) {
  if (!table_.Active() || row < 0) return false;
  table_.First();
  for (int i = 0; i < row && !table_.Eof(); ++i) table_.Next();
  return !table_.Eof();
}

bool TAlarmValueModel::WriteField(int row, const std::string& field, const std::string& text) {
  const int column = FieldIndex(field);
  if (column < 0 || row < 0 || row >= rowCount()) return false;
  const bool limit = SameText(field, kLower) || SameText(field, kUpper);
  float v = 0;
  if (limit && !ParseAlarmLimit(text, v)) {
    ShowMessage("'" + text + "' is not a valid floating point value for field '" + field + "'",
                TMsgKind::Error);
    return false;
  }
  bool ok = false;
  try {
    if (!GoToRow(row)) return false;
    table_.Edit();
    try {
      if (limit)
        table_.FieldByName(field).SetAsFloat(StoredLimit(v));
      else
        table_.FieldByName(field).SetAsString(text);
      table_.Post();
      ok = true;
    } catch (...) {
      table_.Cancel();
      throw;
    }
  } catch (const std::exception& e) {
    ShowError(e);
  }
  // The row as the table now holds it.
  try {
    if (GoToRow(row)) rows_[static_cast<std::size_t>(row)] = CurrentRow();
    table_.First();
  } catch (const std::exception&) {
  }
  emit dataChanged(index(row, 0), index(row, columnCount() - 1));
  return ok;
}

// ---------------------------------------------------------------------------------------
// Form

TAlarmForm::TAlarmForm(TDataModule2& database, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::TAlarmForm>()), db_(database) {
  ui->setupUi(this);
  TabControl1 = ui->TabControl1;
  TabBar1 = ui->TabBar1;
  AlarmValueDBGrid = ui->AlarmValueDBGrid;
  TabBar1->setExpanding(false);
  model_ = new TAlarmValueModel(db_.AlarmValueTable, this);
  AlarmValueDBGrid->setModel(model_);
  AlarmValueDBGrid->verticalHeader()->setDefaultSectionSize(20);
  AlarmValueDBGrid->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                                    QAbstractItemView::AnyKeyPressed);
  connect(ui->Button1, &QPushButton::clicked, this, [this] { Guarded([this] { Button1Click(); }); });
  connect(TabBar1, &QTabBar::currentChanged, this, [this](int) { Guarded([this] { TabChanged(); }); });
  connect(AlarmValueDBGrid, &QTableView::doubleClicked, this,
          [this](const QModelIndex&) { Guarded([this] { AlarmValueDBGridDblClick(); }); });
  connect(qApp, &QApplication::focusChanged, this,
          [this](QWidget* old, QWidget* now) { FocusChanged(old, now); });
  if (!AlarmForm) AlarmForm = this;
}

TAlarmForm::~TAlarmForm() {
  if (AlarmForm == this) AlarmForm = nullptr;
}

void TAlarmForm::FillDeviceTabs(TControllerList& list) {
  filling_ = true;
  list_ = &list;
  entered_ = nullptr;
  while (TabBar1->count() > 0) TabBar1->removeTab(0);
  for (int i = 0; i < list.GetControllerCount(); ++i)
    if (TKorvidan* c = list.GetController(i))
      TabBar1->addTab(QString::fromStdString(c->GetIdent()->GetName()));
  filling_ = false;
}

TKorvidan* TAlarmForm::SelectedController() const {
  if (!list_ || list_->GetControllerCount() == 0) return nullptr;
  const int i = TabBar1->currentIndex();
  return i >= 0 && i < list_->GetControllerCount() ? list_->GetController(i) : nullptr;
}

void TAlarmForm::CopyTableToSensors(TKorvidan& controller) {
  TTable& t = db_.AlarmValueTable;
  if (!t.Active()) return;
  TField* lower = t.FindField(kLower);
  TField* upper = t.FindField(kUpper);
  TField* action = t.FindField(kAction);
  if (!lower || !upper || !action) return;
  t.First();
  {
    std::lock_guard<TCriticalSection> lock(SensorDataLock);
    for (int i = 0; i < TKorvidan::SensorCount && !t.Eof(); ++i) {
      TSensor* s = controller.GetSensor(i);
      // A value no float can hold (the table was changed elsewhere) leaves the limit alone.
      auto usable = [](TField* f) {
        return !f->IsNull() && std::isfinite(f->AsFloat()) && std::fabs(f->AsFloat()) <= FLT_MAX;
      };
      if (usable(upper)) s->SetUpperLimit(static_cast<float>(upper->AsFloat()));
      if (usable(lower)) s->SetLowerLimit(static_cast<float>(lower->AsFloat()));
      s->SetActionText(action->AsString());
      t.Next();
    }
  }
  t.First();
}

void TAlarmForm::LoadStoredLimits(TControllerList& list) {
  if (isVisible()) return;
  TTable& t = db_.AlarmValueTable;
  for (int i = 0; i < list.GetControllerCount(); ++i) {
    TKorvidan* c = list.GetController(i);
    if (!c) continue;
    t.Close();
    entered_ = nullptr;
    t.SetTableName(c->GetIdent()->GetName() + "_Val");
    if (!t.Exists()) continue;
    // Another program's file holds no limits of this one: the others are loaded all the same.
    try {
      TDataModule2::CheckLayout(t, TDataModule2::AlarmValueLayout());
    } catch (const EDatabaseError& e) {
      ShowError(e);
      continue;
    }
    t.Open();
    CopyTableToSensors(*c);
    t.Close();
  }
}

void TAlarmForm::TabControl1Enter() {
  AlarmValueDBGrid->hide();
  TKorvidan* c = SelectedController();
  if (!c) return;
  TTable& t = db_.AlarmValueTable;
  t.Close();
  entered_ = nullptr;
  t.SetTableName(c->GetIdent()->GetName() + "_Val");
  if (!t.Exists()) {
    TDataModule2::DefineAlarmValueFields(t);
    t.CreateTable();
  }
  TDataModule2::CheckLayout(t, TDataModule2::AlarmValueLayout());
  t.Open();
  entered_ = c;
  // What an earlier run configured is kept: the table's limits and actions first go into
  // the sensors, which then write them back with their numbers and types.
  CopyTableToSensors(*c);
  t.First();
  {
    std::lock_guard<TCriticalSection> lock(SensorDataLock);
    for (int i = 0; i < TKorvidan::SensorCount; ++i) {
      TSensor* s = c->GetSensor(i);
      if (t.Eof())
        t.Append();
      else
        t.Edit();
      try {
        t.FieldByName("SensorNr").SetAsInteger(i + 1);
        t.FieldByName("SensorTyp").SetAsString(s->GetTypeText());
        t.FieldByName(kUpper).SetAsFloat(StoredLimit(s->GetUpperLimit()));
        t.FieldByName(kLower).SetAsFloat(StoredLimit(s->GetLowerLimit()));
        t.Post();
      } catch (...) {
        t.Cancel();
        throw;
      }
      t.Next();
    }
  }
  t.First();
  model_->Reload();
  // Each column as wide as its title or its widest value, so that no title is cut.
  AlarmValueDBGrid->resizeColumnsToContents();
  AlarmValueDBGrid->show();
}

void TAlarmForm::TabControl1Exit() {
  if (!entered_ || !list_) return;
  // The controller whose table is open, while it is still registered.
  for (int i = 0; i < list_->GetControllerCount(); ++i)
    if (list_->GetController(i) == entered_) return CopyTableToSensors(*entered_);
}

void TAlarmForm::TabChanged() {
  if (filling_) return;
  // The edits of the tab left behind reach its controller before another table opens.
  TabControl1Exit();
  TabControl1Enter();
}

void TAlarmForm::FocusChanged(QWidget* old, QWidget* now) {
  if (!old || !TabControl1->isAncestorOf(old) ||
      (now && (now == TabControl1 || TabControl1->isAncestorOf(now))))
    return;
  // An editor of the grid gives its value to the table when it closes; take it after that.
  Guarded([this] { TabControl1Exit(); });
}

void TAlarmForm::AlarmValueDBGridDblClick() {
  if (!ActionDialog) return;
  ActionDialog->move(pos() + QPoint(200, 80));
  const QModelIndex current = AlarmValueDBGrid->currentIndex();
  if (!current.isValid() || current.column() != model_->FieldIndex(kAction)) return;
  const int row = current.row();
  ActionDialog->CurrentActionCode = [this, row] {
    TSensor probe(0);
    probe.SetActionText(model_->Cell(row, model_->FieldIndex(kAction)).toStdString());
    return probe.GetActionCode();
  };
  ActionDialog->WriteAction = [this, row](const std::string& action) {
    model_->WriteField(row, kAction, action);
  };
  ActionDialog->show();
}

void TAlarmForm::Button1Click() { hide(); }

void TAlarmForm::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  // Showing the form enters its tabs.
  Guarded([this] { TabControl1Enter(); });
}

void TAlarmForm::hideEvent(QHideEvent* e) {
  QDialog::hideEvent(e);
  Guarded([this] { TabControl1Exit(); });
}
