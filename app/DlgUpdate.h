#pragma once
// The progress box of a database update: which temporary table goes into which
// measurement table, and how far the merge has come.
#include <QDialog>
#include <memory>

class QLabel;
class QProgressBar;

namespace Ui {
class TDlgUpdate;
}

class TDlgUpdate : public QDialog {
  Q_OBJECT
 public:
  explicit TDlgUpdate(QWidget* parent = nullptr);
  ~TDlgUpdate() override;

  QLabel* SourceDB;
  QLabel* DestinationDB;
  QProgressBar* ProgressBar1;
  // The amount StepIt adds to the progress bar.
  int Step = 10;
  // Advances the progress bar by Step, up to its maximum.
  void StepIt();

 private:
  std::unique_ptr<Ui::TDlgUpdate> ui;
};

extern TDlgUpdate* DlgUpdate;
