#pragma once
// A framed group of radio buttons, one per item, of which at most one is checked. ItemIndex
// is the checked item, -1 when none is. Click() is emitted when the user clicks an item;
// setting ItemIndex from code emits nothing.
#include <QGroupBox>
#include <QStringList>
#include <vector>

class QButtonGroup;
class QGridLayout;
class QRadioButton;

class TRadioGroup : public QGroupBox {
  Q_OBJECT
  Q_PROPERTY(QStringList items READ Items WRITE SetItems)
  Q_PROPERTY(int columns READ Columns WRITE SetColumns)
 public:
  explicit TRadioGroup(QWidget* parent = nullptr);

  QStringList Items() const { return items_; }
  void SetItems(const QStringList& items);
  int Columns() const { return columns_; }
  void SetColumns(int columns);

  int ItemIndex() const;
  void SetItemIndex(int index);
  // The button of an item (nullptr outside the items).
  QRadioButton* Button(int index) const;

 signals:
  void Click();

 private:
  void Rebuild();

  QStringList items_;
  int columns_ = 1;
  QGridLayout* layout_;
  QButtonGroup* group_;
  std::vector<QRadioButton*> buttons_;
};
