#pragma once
// The standard fax status window: TSioFaxStatus, the status display that a fax component
// keeps up to date, and its form TStandardFaxDisplay with the numbers of the session, the
// status text, the elapsed time, the redial count-down and the page progress meter.
#include <QWidget>
#include <memory>
#include <string>

#include "fax/SioFax.h"
#include "serial/SioMisc.h"

class QLabel;
class QPushButton;
class QFrame;
class TSioMeter;

namespace Ui {
class TStandardFaxDisplay;
}

class TStandardFaxDisplay : public QWidget {
  Q_OBJECT
 public:
  explicit TStandardFaxDisplay(QWidget* parent = nullptr);
  ~TStandardFaxDisplay() override;

  TSioCustomAbstractFax* Fax = nullptr;

  // Fills the labels from the fax component.
  void UpdateValues(TSioCustomAbstractFax* fax);
  // Ends the bound fax as a user abort.
  void CancelClick();
  // A new fax: its elapsed time and count-down start again.
  void Restart();

  QFrame* fsPanel1;
  QFrame* fsPanel6;
  QLabel* fsPhoneNumber;
  QLabel* fsFaxFileName;
  QLabel* fsCoverFileName;
  QLabel* fsTotalPages;
  QLabel* fsDialAttempt;
  QLabel* fsRemoteID;
  QLabel* fsConnectBPS;
  QLabel* fsResolution;
  QLabel* fsWidth;
  QLabel* fsErrorControl;
  QLabel* fsCurrentPage;
  QLabel* fsPageLength;
  QLabel* fsBytesTransferred;
  QLabel* fsElapsedTime;
  QLabel* fsStatusMsg;
  QLabel* fsLabel19;
  QPushButton* fsCancel;
  TSioMeter* Meter;

 private:
  std::unique_ptr<Ui::TStandardFaxDisplay> ui;
  EventTimer elapsed_{};
  bool elapsedRunning_ = false;
  EventTimer redial_{};
  bool redialRunning_ = false;
};

class TSioFaxStatus : public TSioAbstractFaxStatus {
 public:
  // The display form is made at once, hidden.
  explicit TSioFaxStatus(TSioComponentOwner* owner = nullptr);
  ~TSioFaxStatus() override;

  void CreateDisplay() override;
  void DestroyDisplay() override;
  // First: bind the form to the fax and show it; Last: hide it; otherwise fill it.
  void UpdateDisplay(bool First, bool Last) override;

  TStandardFaxDisplay* Display() const { return FDisplay; }

 protected:
  void ApplyToDisplay() override;
  void ShowDisplay() override;

 private:
  TStandardFaxDisplay* FDisplay = nullptr;
};

// "m:ss" right-aligned in six characters ("  1:05"), as the window shows times.
std::string FaxStatusTime(std::int32_t seconds);
// A file name without its directory, cut to 20 characters and "..." when longer.
std::string FaxStatusFileName(const std::string& path);
