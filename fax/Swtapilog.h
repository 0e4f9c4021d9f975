#pragma once
// Companions of the telephony device: the base of its call-progress display (the window
// itself, TSioTapiStatus, lives in the fax UI library) and its history log "SIOTAPI.HIS".
#include <cstdint>
#include <functional>
#include <string>

#include "platform/DateTime.h"
#include "serial/SioMisc.h"
#include "serial/SioPacket.h"
#include "serial/SioPort.h"

class TSioCustomTapiDevice;

enum TTapiLogCode {
  ltapiNone,
  ltapiCallStart,
  ltapiCallFinish,
  ltapiDial,
  ltapiAccept,
  ltapiAnswer,
  ltapiConnect,
  ltapiCancel,
  ltapiDrop,
  ltapiBusy,
  ltapiDialFail,
  ltapiReceivedDigit
};

// Where a form is placed when it is shown.
enum TPosition {
  poDesigned,
  poDefault,
  poDefaultPosOnly,
  poDefaultSizeOnly,
  poScreenCenter,
  poDesktopCenter,
  poMainFormCenter,
  poOwnerFormCenter
};

// The call-progress display. A device finds the first one on its owner that serves no
// device yet; a display destroyed leaves its device.
class TSioAbstractTapiStatus : public TSioBaseComponent, public TSioComponentOwner {
 public:
  explicit TSioAbstractTapiStatus(TSioComponentOwner* owner = nullptr);
  ~TSioAbstractTapiStatus() override;

  TPosition GetPosition() const { return FPosition; }
  void SetPosition(TPosition p);
  bool GetCtl3D() const { return FCtl3D; }
  void SetCtl3D(bool on);
  bool GetVisible() const { return FVisible; }
  void SetVisible(bool on);
  const std::string& GetCaption() const { return FCaption; }
  void SetCaption(const std::string& caption);
  TSioCustomTapiDevice* GetTapiDevice() const { return FTapiDevice; }
  // Links the device back to this display.
  void SetTapiDevice(TSioCustomTapiDevice* device);
  // Set by the device's AutoAnswer, cleared by Dial.
  bool GetAnswering() const { return FAnswering; }
  void SetAnswering(bool on) { FAnswering = on; }

  // Clears TapiDevice when that device is removed.
  virtual void Notification(TSioComponentOwner* component, TSioOperation operation);
  virtual void UpdateDisplay(bool First, bool Last, std::uint32_t Device, std::uint32_t Message,
                             std::uint32_t Param1, std::uint32_t Param2, std::uint32_t Param3) = 0;
  // Shows the display (its form).
  virtual void Show() { SetVisible(true); }

 protected:
  // The display form's side of the properties (nothing without a form).
  virtual void CreateDisplay() = 0;
  virtual void DestroyDisplay() = 0;
  virtual void ApplyPosition() {}
  virtual void ApplyCtl3D() {}
  virtual void ApplyVisible() {}
  virtual void ApplyCaption() {}
  // The device forgets this display (the device's own unlinking, without calling back).
  friend class TSioCustomTapiDevice;
  void ForgetDevice() { FTapiDevice = nullptr; }

  TPosition FPosition = poDesigned;
  bool FCtl3D = true;
  bool FVisible = false;
  std::string FCaption;
  TSioCustomTapiDevice* FTapiDevice = nullptr;
  bool FAnswering = false;
};

// Appends one line per call event to the history file: "<date time> : <event>", CR LF.
class TSioTapiLog : public TSioBaseComponent, public TSioComponentOwner {
 public:
  explicit TSioTapiLog(TSioComponentOwner* owner = nullptr);
  ~TSioTapiLog() override;

  const std::string& GetTapiHistoryName() const { return FTapiHistoryName; }
  void SetTapiHistoryName(const std::string& name) { FTapiHistoryName = name; }
  TSioCustomTapiDevice* GetTapiDevice() const { return FTapiDevice; }
  void SetTapiDevice(TSioCustomTapiDevice* device);

  // Writes the event's line (nothing with an empty name or for ltapiNone). The file is
  // created when missing and only ever appended to; a file that cannot be written raises
  // EInOutError.
  virtual void UpdateLog(TTapiLogCode Log);
  virtual void Notification(TSioComponentOwner* component, TSioOperation operation);

  // The clock of the time stamps (Now() unless replaced).
  void SetClock(std::function<TDateTime()> clock) { FClock = std::move(clock); }

 private:
  friend class TSioCustomTapiDevice;
  void ForgetDevice() { FTapiDevice = nullptr; }

  std::string FTapiHistoryName = "SIOTAPI.HIS";
  TSioCustomTapiDevice* FTapiDevice = nullptr;
  std::function<TDateTime()> FClock;
};
