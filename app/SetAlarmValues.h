#pragma once
// The alarm configuration: per controller a grid over its alarm value table N + "_Val",
// one row per sensor with its number, type, lower and upper limit and action.
//
// Entering a controller's tab first takes the limits and actions the table holds into the
// controller's sensors, then writes the sensors' numbers, types and limits into the table,
// so that a new run keeps what was configured before. Edits in the grid go into the table
// at once; they reach the sensors when the tabs are left (focus elsewhere, another tab,
// "OK" or closing the window). The copy in both directions holds SensorDataLock, so the
// acquisition never sees half of a controller's limits.
#include <QAbstractTableModel>
#include <QDialog>
#include <memory>
#include <string>
#include <vector>

#include "link/Tkorvidan.h"

class QTabBar;
class QTableView;
class QFrame;
class TDataModule2;
class TDialogAktion;
class TTable;

namespace Ui {
class TAlarmForm;
}

// The rows of an alarm value table as the grid shows them; the two limit columns can be
// edited. A limit must be a finite number that a 32-bit float holds ("7.5" or "7,5"); any
// other entry is refused with a message and the table keeps its value.
class TAlarmValueModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  TAlarmValueModel(TTable& table, QObject* parent = nullptr);

  // Re-reads every row of the (open) table; an empty grid when it is closed.
  void Reload();
  int FieldIndex(const std::string& name) const;
  QString Cell(int row, int column) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation o, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;

  // Writes one field of a row; false (reported) when the value is refused or the table
  // fails, and then the row is as it was.
  bool WriteField(int row, const std::string& field, const std::string& text);

 private:
  // Puts the table's cursor on the row (0-based); false when there is no such row.
  bool GoToRow(int row);
  // The display texts of the table's current row.
  std::vector<QString> CurrentRow();
  TTable& table_;
  std::vector<std::string> names_;
  std::vector<std::vector<QString>> rows_;
};

// A limit as typed: decimal point or comma, optional exponent; false when it is no finite
// number within the range of a 32-bit float.
bool ParseAlarmLimit(const std::string& text, float& value);

class TAlarmForm : public QDialog {
  Q_OBJECT
 public:
  explicit TAlarmForm(TDataModule2& database, QWidget* parent = nullptr);
  ~TAlarmForm() override;

  QFrame* TabControl1;
  QTabBar* TabBar1;
  QTableView* AlarmValueDBGrid;
  // The action dialog (none: the double click opens nothing).
  TDialogAktion* ActionDialog = nullptr;

  // One tab per controller of the list, in list order. Called before the form is shown.
  void FillDeviceTabs(TControllerList& list);
  // The selected tab's controller, or nullptr.
  TKorvidan* SelectedController() const;
  // After the bus set-up: every controller of the list whose alarm value table exists takes
  // its stored limits and actions, so that a new run judges by what was configured before
  // the form is first opened. Nothing while the form is shown (it holds its table open).
  void LoadStoredLimits(TControllerList& list);

  // A tab is entered or changed: opens (and creates) the controller's table and brings
  // sensors and table together as described at the top.
  void TabControl1Enter();
  // The tabs are left: the selected controller's limits and actions from its table.
  void TabControl1Exit();
  // Opens the action dialog when the current cell is in the "Aktion" column.
  void AlarmValueDBGridDblClick();
  // "OK": hides the form.
  void Button1Click();

  TAlarmValueModel* Model() const { return model_; }

 protected:
  void showEvent(QShowEvent* e) override;
  void hideEvent(QHideEvent* e) override;

 private:
  void CopyTableToSensors(TKorvidan& controller);
  void TabChanged();
  void FocusChanged(QWidget* old, QWidget* now);

  std::unique_ptr<Ui::TAlarmForm> ui;
  TDataModule2& db_;
  TControllerList* list_ = nullptr;
  TAlarmValueModel* model_ = nullptr;
  TKorvidan* entered_ = nullptr;  // the controller whose table is open
  bool filling_ = false;
};

extern TAlarmForm* AlarmForm;
