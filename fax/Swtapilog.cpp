// The call-progress display's base and the telephony history log.
#include "fax/Swtapilog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fax/Swtapi.h"
#include "serial/Sioexcept.h"

// ---------------------------------------------------------------------------------------
// Status display
// ---------------------------------------------------------------------------------------

TSioAbstractTapiStatus::TSioAbstractTapiStatus(TSioComponentOwner* owner)
    : TSioComponentOwner(owner), FCaption("Call Progress") {}

TSioAbstractTapiStatus::~TSioAbstractTapiStatus() {
  if (FTapiDevice != nullptr && FTapiDevice->GetStatusDisplay() == this)
    FTapiDevice->SetStatusDisplay(nullptr);
}

void TSioAbstractTapiStatus::SetPosition(TPosition p) {
  FPosition = p;
  ApplyPosition();
}

void TSioAbstractTapiStatus::SetCtl3D(bool on) {
  FCtl3D = on;
  ApplyCtl3D();
}

void TSioAbstractTapiStatus::SetVisible(bool on) {
  FVisible = on;
  ApplyVisible();
}

void TSioAbstractTapiStatus::SetCaption(const std::string& caption) {
  FCaption = caption;
  ApplyCaption();
}

void TSioAbstractTapiStatus::SetTapiDevice(TSioCustomTapiDevice* device) {
  if (device == FTapiDevice) return;
  if (FTapiDevice != nullptr && FTapiDevice->GetStatusDisplay() == this)
    FTapiDevice->SetStatusDisplay(nullptr);
  FTapiDevice = device;
  if (device != nullptr && device->GetStatusDisplay() != this) device->SetStatusDisplay(this);
}

void TSioAbstractTapiStatus::Notification(TSioComponentOwner* component, TSioOperation operation) {
  if (operation == opRemove && component != nullptr &&
      component == dynamic_cast<TSioComponentOwner*>(FTapiDevice))
    FTapiDevice = nullptr;
}

// ---------------------------------------------------------------------------------------
// History log
// ---------------------------------------------------------------------------------------

TSioTapiLog::TSioTapiLog(TSioComponentOwner* owner) : TSioComponentOwner(owner) {}

TSioTapiLog::~TSioTapiLog() {
  if (FTapiDevice != nullptr && FTapiDevice->GetTapiLog() == this) FTapiDevice->SetTapiLog(nullptr);
}

void TSioTapiLog::SetTapiDevice(TSioCustomTapiDevice* device) {
  if (device == FTapiDevice) return;
  if (FTapiDevice != nullptr && FTapiDevice->GetTapiLog() == this) FTapiDevice->SetTapiLog(nullptr);
  FTapiDevice = device;
  if (device != nullptr && device->GetTapiLog() != this) device->SetTapiLog(this);
}

void TSioTapiLog::Notification(TSioComponentOwner* component, TSioOperation operation) {
  if (operation == opRemove && component != nullptr &&
      component == dynamic_cast<TSioComponentOwner*>(FTapiDevice))
    FTapiDevice = nullptr;
}

void TSioTapiLog::UpdateLog(TTapiLogCode Log) {
  if (FTapiHistoryName.empty()) return;
  std::string text;
  switch (Log) {
    case ltapiNone:
      return;
    case ltapiCallStart:
      text = "call started";
      break;
    case ltapiCallFinish:
      text = "call finished\r\n";  // an empty line ends each call
      break;
    case ltapiDial:
      text = "  dialing " + (FTapiDevice != nullptr ? FTapiDevice->GetNumber() : std::string());
      break;
    case ltapiAccept:
      text = "  accepting";
      break;
    case ltapiAnswer:
      text = "  answering";
      break;
    case ltapiConnect:
      text = "  connected";
      break;
    case ltapiCancel:
      text = "  cancelled";
      break;
    case ltapiDrop:
      text = "  dropped";
      break;
    case ltapiBusy:
      text = "  busy";
      break;
    case ltapiDialFail:
      text = "  dial failed";
      break;
    case ltapiReceivedDigit:
      text = "  received digit";
      break;
  }
  const std::string line = DateTimeToStr(FClock ? FClock() : Now()) + " : " + text + "\r\n";
  // Appended, or created when missing; never cut short, also when another program has the
  // history open too.
  const int fd = ::open(FTapiHistoryName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int e = errno;
    throw EInOutError(FTapiHistoryName + ": " + std::strerror(e), e == ENOENT ? 3 : 5);
  }
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int e = errno;
      ::close(fd);
      throw EInOutError(FTapiHistoryName + ": " + std::strerror(e), 29);
    }
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}
