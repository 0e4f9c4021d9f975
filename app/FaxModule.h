#pragma once
// The fax data module: the alarm fax, the fax modem's selection and the test fax.
//
// An alarm fax writes the alarm text behind the cover text "Cover.txt" into "Fax.txt",
// opens the modem line named in the settings through the telephony device in pass-through
// mode and, once the line's serial port is open, lets the send-fax component dial and send
// the header line, "Fax.txt" as its cover and the pages of "korvidan.fxf". The files are
// those of the working directory; while it holds no "Cover.txt" or no "korvidan.fxf", the
// one that comes with the program (share/korvidan/Fax) is sent. At most one alarm fax goes
// out in a run, until a test fax clears the gate.
//
// SendAlarmFax may be called from the acquisition thread: the file work runs there, the line
// is opened on the window thread (the telephony device works there only), after the
// "SendFax: " box. The telephony and fax events arrive on the window thread.
#include <memory>
#include <mutex>
#include <string>

#include "serial/SioPort.h"

class TSioTapiDevice;
class TSioCustomTapiDevice;
class TSioTapiStatus;
class TSioTapiLog;
class TSioSendFax;
class TSioCustomAbstractFax;
class TSioFaxStatus;
class TSioFaxConverter;
class TSioFaxLog;

// The box text for a fax file that the fax viewer cannot show: the file's name and the
// cause of the library's error code, in German.
std::string FaxViewErrorText(const std::string& file, int code);

class TDataModule3 : public TSioComponentOwner {
 public:
  TDataModule3();
  ~TDataModule3() override;

  // Components, as the module's form description sets them.
  TSioComPort* SioComPort1;
  TSioTapiDevice* SioTapiDevice1;
  TSioTapiStatus* SioTapiStatus1;
  TSioTapiLog* SioTapiLog1;
  TSioSendFax* SioSendFax1;
  TSioFaxStatus* SioFaxStatus1;
  TSioFaxConverter* SioFaxConverter1;
  TSioFaxLog* SioFaxLog1;

  // The alarm fax with this report text (UTF-8); nothing when one went out in this run.
  // A cover text or fax file that is missing or cannot be read, a fax file that is none,
  // or "Fax.txt" that cannot be written raises EInOutError naming the file, before the
  // once-per-run gate closes.
  void SendAlarmFax(const std::string& text);
  // Clears the once-per-run gate and sends "TestFax".
  void SendTestFax();
  // The telephony device's selection dialog; the line then chosen is stored in the settings.
  void SelectFaxModem();
  // True from an alarm fax's start until its call has ended.
  bool Sending() const;

  void SioTapiDevice1TapiPortOpen(TSioCustomTapiDevice* Sender);
  void SioTapiDevice1TapiPortClose(TSioCustomTapiDevice* Sender);
  void SioSendFax1FaxError(TSioCustomAbstractFax* CP, int ErrorCode);
  void SioSendFax1FaxFinish(TSioCustomAbstractFax* CP, int ErrorCode);

 private:
  // Window thread: the box, then the line for a fax of these pages.
  void OpenLine(const std::string& text, const std::string& faxFile);
  // Ends the line's call: cancelled when the fax failed, else hung up.
  void EndCall(bool failed);

  mutable std::mutex lock_;
  bool sending_ = false;
};

extern TDataModule3* DataModule3;
