#pragma once
// The small forms of the start-up and the shut-down: the start question, the exit wait box
// and the info box.
#include <QDialog>
#include <functional>
#include <memory>

class QPushButton;

namespace Ui {
class TStartupFrm;
class TDialogExit;
class TAboutForm;
}  // namespace Ui

// "Datenabfrage starten?" with "Ja" and "Nein"; the main window installs what they do.
class TStartupFrm : public QDialog {
  Q_OBJECT
 public:
  explicit TStartupFrm(QWidget* parent = nullptr);
  ~TStartupFrm() override;

  QPushButton* Button1;  // "Ja"
  QPushButton* Button2;  // "Nein"
  std::function<void()> OnYes;
  std::function<void()> OnNo;

  void Button1Click();
  void Button2Click();

 private:
  std::unique_ptr<Ui::TStartupFrm> ui;
};

// Shown while the shut-down waits for the acquisition and merges its rows.
class TDialogExit : public QDialog {
  Q_OBJECT
 public:
  explicit TDialogExit(QWidget* parent = nullptr);
  ~TDialogExit() override;

 private:
  std::unique_ptr<Ui::TDialogExit> ui;
};

class TAboutForm : public QDialog {
  Q_OBJECT
 public:
  explicit TAboutForm(QWidget* parent = nullptr);
  ~TAboutForm() override;

 private:
  std::unique_ptr<Ui::TAboutForm> ui;
};

extern TStartupFrm* StartupFrm;
extern TDialogExit* DialogExit;
extern TAboutForm* AboutForm;
