#pragma once
// The splash form of the start-up: made second, its bar stepped once all forms exist, and
// freed again; it is never shown.
#include <QDialog>
#include <memory>

class QProgressBar;

namespace Ui {
class TLoadAppForm;
}

class TLoadAppForm : public QDialog {
  Q_OBJECT
 public:
  explicit TLoadAppForm(QWidget* parent = nullptr);
  ~TLoadAppForm() override;

  QProgressBar* ProgressBar1;

 private:
  std::unique_ptr<Ui::TLoadAppForm> ui;
};

extern TLoadAppForm* LoadAppForm;
