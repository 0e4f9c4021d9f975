#pragma once
// The progress meter: a row of solid blocks inside a bevelled frame, as the fax status
// window shows how far the current page has gone.
//
// The blocks follow Position between Min and Max: none at Min, one as soon as Position is
// above it, all of them at Max; the last block is cut short where the meter's width is no
// multiple of Step. OnPosChange fires when the number of blocks shown changes.
#include <QColor>
#include <QWidget>
#include <functional>

#include "serial/SioMisc.h"

// Scoped: the border styles of the viewer use the name bsNone too.
enum class TBevelStyle { bsLowered, bsRaised, bsNone };

class TSioMeter : public QWidget, public TSioBaseWinControl {
  Q_OBJECT
 public:
  explicit TSioMeter(QWidget* parent = nullptr);

  QColor GetBarColor() const { return FBarColor; }
  void SetBarColor(const QColor& c);
  QColor GetBevelColor1() const { return FBevelColor1; }
  void SetBevelColor1(const QColor& c);
  QColor GetBevelColor2() const { return FBevelColor2; }
  void SetBevelColor2(const QColor& c);
  TBevelStyle GetBevelStyle() const { return FBevelStyle; }
  void SetBevelStyle(TBevelStyle s);
  int GetMax() const { return FMax; }
  void SetMax(int max);
  int GetMin() const { return FMin; }
  void SetMin(int min);
  int GetPosition() const { return FPosition; }
  void SetPosition(int position);
  int GetStep() const { return FStep; }
  // A step below 1 pixel is refused (std::invalid_argument); the meter keeps its step.
  void SetStep(int step);
  void SetOnPosChange(std::function<void(TSioMeter*)> e) { FOnPosChange = std::move(e); }
  // Position, size and repaint at once.
  void SetBounds(int left, int top, int width, int height);

  // What is shown: whole blocks, and the width of a cut block after them (0: none).
  int Blocks() const { return FBlocks; }
  int PartialWidth() const { return FPartial ? FPartialWidth : 0; }

 protected:
  virtual void DoOnPosChange();
  void paintEvent(QPaintEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;

 private:
  void Recalc(bool repaintAnyway);

  QColor FBarColor;
  QColor FBevelColor1;
  QColor FBevelColor2;
  TBevelStyle FBevelStyle = TBevelStyle::bsLowered;
  int FMax = 100;
  int FMin = 0;
  int FPosition = 0;
  int FStep = 8;
  int FBlocks = 0;
  bool FPartial = false;
  int FPartialWidth = 0;
  std::function<void(TSioMeter*)> FOnPosChange;
};
