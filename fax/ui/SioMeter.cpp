// The progress meter.
#include "fax/ui/SioMeter.h"

#include <QPainter>
#include <QPalette>
#include <stdexcept>

TSioMeter::TSioMeter(QWidget* parent) : QWidget(parent) {
  const QPalette p = palette();
  FBarColor = p.color(QPalette::Highlight);
  FBevelColor1 = p.color(QPalette::Light);
  FBevelColor2 = p.color(QPalette::Dark);
  setAttribute(Qt::WA_OpaquePaintEvent, false);
  resize(150, 16);
  Recalc(false);
}

void TSioMeter::SetBarColor(const QColor& c) {
  if (c == FBarColor) return;
  FBarColor = c;
  update();
}
void TSioMeter::SetBevelColor1(const QColor& c) {
  if (c == FBevelColor1) return;
  FBevelColor1 = c;
  update();
}
void TSioMeter::SetBevelColor2(const QColor& c) {
  if (c == FBevelColor2) return;
  FBevelColor2 = c;
  update();
}
void TSioMeter::SetBevelStyle(TBevelStyle s) {
  if (s == FBevelStyle) return;
  FBevelStyle = s;
  update();
}

void TSioMeter::SetMax(int max) {
  FMax = max;
  Recalc(false);
}
void TSioMeter::SetMin(int min) {
  FMin = min;
  Recalc(false);
}
void TSioMeter::SetPosition(int position) {
  FPosition = position;
  Recalc(false);
}
void TSioMeter::SetStep(int step) {
  if (step < 1) throw std::invalid_argument("Step must be at least 1 pixel");
  FStep = step;
  Recalc(true);
}

void TSioMeter::SetBounds(int left, int top, int width, int height) {
  setGeometry(left, top, width, height);
  Recalc(true);
}

void TSioMeter::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  Recalc(true);
}

void TSioMeter::Recalc(bool repaintAnyway) {
  const int w = width();
  int blocks = 0;
  bool partial = false;
  int partialWidth = 0;
  // With Max not above Min there is no scale: nothing is shown.
  if (FPosition > FMin && FMax > FMin) {
    const long long span = static_cast<long long>(FMax) - FMin;
    blocks = static_cast<int>((static_cast<long long>(FPosition) - FMin) * ((w - 3) / FStep) / span) + 1;
    if (blocks * FStep > w - 4) {
      blocks = (w - 4) / FStep;
      partialWidth = (w - 4) % FStep;
      partial = partialWidth > 0;
    }
  }
  if (blocks < 0) blocks = 0;
  const bool changed = blocks != FBlocks || partial != FPartial;
  FBlocks = blocks;
  FPartial = partial;
  FPartialWidth = partialWidth;
  if (changed) {
    update();
    DoOnPosChange();
  } else if (repaintAnyway) {
    update();
  }
}

void TSioMeter::DoOnPosChange() {
  if (FOnPosChange) FOnPosChange(this);
}

void TSioMeter::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const int w = width(), h = height();
  if (FBevelStyle != TBevelStyle::bsNone) {
    const QColor topLeft = FBevelStyle == TBevelStyle::bsLowered ? FBevelColor2 : FBevelColor1;
    const QColor bottomRight = FBevelStyle == TBevelStyle::bsLowered ? FBevelColor1 : FBevelColor2;
    p.setPen(topLeft);
    p.drawLine(0, 0, w - 1, 0);
    p.drawLine(0, 0, 0, h - 1);
    p.setPen(bottomRight);
    p.drawLine(w - 1, 0, w - 1, h - 1);
    p.drawLine(0, h - 1, w - 1, h - 1);
  }
  for (int i = 0; i < FBlocks; ++i) p.fillRect(i * FStep + 2, 2, FStep - 2, h - 4, FBarColor);
  if (FPartial) p.fillRect(FBlocks * FStep + 2, 2, FPartialWidth, h - 4, FBarColor);
}
