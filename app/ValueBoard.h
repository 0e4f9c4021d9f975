#pragma once
// The value board: the current value of every sensor of every controller, and the alarm
// evaluation after each acquisition cycle.
//
// A sensor below its lower limit (state 1) sounds "\error.wav", one above its upper limit
// (state 2) "\boing.wav", both from the sound directory of the settings, and is reported:
// a line in the day's alarm protocol file "Protokoll <dd.mm.yyyy>.txt" and, for the action
// "Fax", the alarm fax. A sensor in alarm is reported on every refresh while it stays out.
// A controller whose last poll delivered no values (none yet in this run, a silent bus, a
// lost port) is neither judged nor framed: its zeros are no measurement.
//
// The refresh may run on the acquisition thread: it reads the sensors under SensorDataLock,
// fills the grid on the window thread, and plays, writes and faxes on the calling thread
// after releasing the lock. A sound that cannot be played (no sound device, a missing or
// broken file) is reported once and never stops the board.
#include <QMainWindow>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "link/BusShared.h"
#include "link/Tkorvidan.h"
#include "platform/DateTime.h"
#include "platform/WavePlayer.h"

class QFrame;
class QLineEdit;
class QGroupBox;
class QTableWidget;
class QAction;

namespace Ui {
class TForm2;
}

// What the board shows, taken from the sensors in one go.
struct TBoardCell {
  int row = 0;
  int column = 0;
  std::string text;
  bool valueCell = false;  // a judged value cell carries its value and limits for the frames
  float value = 0.0f;
  float lower = 0.0f;
  float upper = 0.0f;
};

class TForm2 : public QMainWindow {
  Q_OBJECT
 public:
  // state: the main window's acquisition state (whether a controller has answered).
  explicit TForm2(TAcquisitionState& state, QWidget* parent = nullptr);
  ~TForm2() override;

  // Refresh and alarm evaluation over the controllers of the list; any thread.
  void ShowCurrentValues(TControllerList& list);
  // Reports one alarm: the protocol line and, for the action "Fax" once a controller has
  // answered, the alarm fax. number is the sensor number 1..8, controllerIndex the slot.
  void ReportAlarm(TControllerList& list, int actionCode, int alarmState, int number, int controllerIndex);
  // The report text of one alarm as the protocol file and the fax receive it (line feeds
  // between its three lines, no line end at its end).
  std::string AlarmReportText(TControllerList& list, int actionCode, int alarmState, int number,
                              int controllerIndex);

  // The alarm fax: installed by the fax module, called with the report text of an alarm
  // whose action is "Fax" while a controller has answered. The fax module keeps the
  // once-per-run gate MainFlags.FFaxSent. Without it nothing is sent, which is no error.
  // An exception it throws is reported; the protocol line is written all the same.
  std::function<void(const std::string& reportText)> SendAlarmFax;
  // Called when the board is closed (the main window unchecks its menu item).
  std::function<void()> OnFormClose;
  // Called by "Alarm-Werte konfigurieren" (shows the alarm configuration).
  std::function<void()> OnConfigureAlarms;

  // The clock that dates the protocol file (the date of writing).
  std::function<TDateTime()> Clock = [] { return Now(); };
  // The directory of the protocol files; empty: the current directory.
  std::string ProtocolDirectory;

  // The protocol file that an alarm written now goes to.
  std::string ProtocolFileName() const;

  // The player of the alarm sounds (its FileName is the last sound asked for).
  TWavePlayer MediaPlayer1;

  QFrame* Bevel1;
  QLineEdit* SerialInput;
  QGroupBox* GroupBox1;
  QTableWidget* StringGrid1;
  QAction* AlarmWertekonfigurieren1;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  struct Alarm {
    int state;
    int action;
    std::string text;
  };
  void ApplyCells(const std::vector<TBoardCell>& cells, int columns, bool showWaiting);
  void PlayAlarmSound(int alarmState);
  void DeliverReport(const std::string& text, int actionCode);
  void AppendProtocol(const std::string& text);
  void FormResize();
  // Sizes the columns to their texts and grows the window until the grid is whole.
  void FitToGrid();

  TAcquisitionState& state_;
  std::unique_ptr<Ui::TForm2> ui;
  std::mutex soundLock_;                      // the player is used by one thread at a time
  bool deviceFailureReported_ = false;        // guarded by soundLock_
  std::set<std::string> soundFilesReported_;  // "missing:" or "format:" and the file; soundLock_
  std::mutex protocolLock_;
  bool protocolFailureReported_ = false;  // guarded by protocolLock_
};

extern TForm2* Form2;
