#pragma once
// A stepper: two small arrow buttons, one above the other, that report which of them was
// clicked. The edit it steps is a control of its own; the stepper changes nothing by itself.
#include <QWidget>

class QToolButton;

enum TUDBtnType { btNext, btPrev };

class TUpDown : public QWidget {
  Q_OBJECT
 public:
  explicit TUpDown(QWidget* parent = nullptr);

  QToolButton* UpButton() const { return up_; }
  QToolButton* DownButton() const { return down_; }
  // What a user's click on the upper or lower arrow does.
  void ClickNext();
  void ClickPrev();

 signals:
  void Click(TUDBtnType button);

 private:
  QToolButton* up_;
  QToolButton* down_;
};
