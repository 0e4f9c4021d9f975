#include "programming/ui/UpDown.h"

#include <QToolButton>
#include <QVBoxLayout>

TUpDown::TUpDown(QWidget* parent)
    : QWidget(parent), up_(new QToolButton(this)), down_(new QToolButton(this)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  for (QToolButton* b : {up_, down_}) {
    b->setFixedSize(18, 11);
    b->setFocusPolicy(Qt::NoFocus);
    b->setAutoRepeat(true);
    layout->addWidget(b);
  }
  up_->setArrowType(Qt::UpArrow);
  down_->setArrowType(Qt::DownArrow);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  connect(up_, &QToolButton::clicked, this, [this] { emit Click(btNext); });
  connect(down_, &QToolButton::clicked, this, [this] { emit Click(btPrev); });
}

void TUpDown::ClickNext() { up_->click(); }
void TUpDown::ClickPrev() { down_->click(); }
