#include "programming/ui/RadioGroup.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QRadioButton>

TRadioGroup::TRadioGroup(QWidget* parent)
    : QGroupBox(parent), layout_(new QGridLayout(this)), group_(new QButtonGroup(this)) {
  connect(group_, &QButtonGroup::idClicked, this, [this](int) { emit Click(); });
}

void TRadioGroup::SetItems(const QStringList& items) {
  items_ = items;
  Rebuild();
}

void TRadioGroup::SetColumns(int columns) {
  columns_ = columns < 1 ? 1 : columns;
  Rebuild();
}

void TRadioGroup::Rebuild() {
  const int checked = ItemIndex();
  for (QRadioButton* b : buttons_) {
    group_->removeButton(b);
    delete b;
  }
  buttons_.clear();
  const int rows = (static_cast<int>(items_.size()) + columns_ - 1) / columns_;
  for (int i = 0; i < items_.size(); ++i) {
    auto* b = new QRadioButton(items_[i], this);
    b->setObjectName(objectName() + "Item" + QString::number(i));
    group_->addButton(b, i);
    // Filled column by column, as a radio group with several columns is.
    layout_->addWidget(b, rows > 0 ? i % rows : 0, rows > 0 ? i / rows : 0);
    buttons_.push_back(b);
  }
  SetItemIndex(checked);
}

int TRadioGroup::ItemIndex() const { return group_->checkedId(); }

void TRadioGroup::SetItemIndex(int index) {
  if (index >= 0 && index < static_cast<int>(buttons_.size())) {
    buttons_[static_cast<std::size_t>(index)]->setChecked(true);
    return;
  }
  // No item: an exclusive group keeps one button checked, so it lets go for a moment.
  group_->setExclusive(false);
  for (QRadioButton* b : buttons_) b->setChecked(false);
  group_->setExclusive(true);
}

QRadioButton* TRadioGroup::Button(int index) const {
  if (index < 0 || index >= static_cast<int>(buttons_.size())) return nullptr;
  return buttons_[static_cast<std::size_t>(index)];
}
