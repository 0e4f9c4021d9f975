// Port availability and the hook to the port selection dialog.
#include "serial/ComSelect.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "platform/SerialDevice.h"
#include "serial/SioWin32.h"
#include "serial/Sioexcept.h"

bool UseDispatcherForAvail = true;
bool ShowPortsInUse = true;

namespace {

std::mutex& HookLock() {
  static std::mutex m;
  return m;
}

TPortPromptHook& Hook() {
  static TPortPromptHook hook;
  return hook;
}

}  // namespace

bool IsPortAvailable(std::uint16_t comNumber) {
  if (comNumber == 0) return false;
  char name[32];
  std::snprintf(name, sizeof name, "\\\\.\\COM%u", static_cast<unsigned>(comNumber));
  int result;
  if (UseDispatcherForAvail) {
    auto d = std::make_unique<TSioWin32Dispatcher>(nullptr);
    int h = d->OpenCom(name, 64, 64);
    result = h < 0 ? h : 0;
    // The dispatcher closes the device when it is destroyed.
  } else {
    TSerialDevice device;
    std::string path = TSerialDevice::PathForName(name);
    int e = path.empty() ? ENOENT : device.Open(path);
    result = e == 0 ? 0 : SioErrorFromErrno(e);
    if (e == ENXIO || e == ENODEV || e == EIO) result = ecFileNotFound;
    if (e == 0) device.Close();
  }
  if (result == 0) return true;
  return ShowPortsInUse && result == ecFileAccessDenied;
}

void SetPortPromptHook(TPortPromptHook hook) {
  std::lock_guard<std::mutex> g(HookLock());
  Hook() = std::move(hook);
}

std::optional<std::uint16_t> PromptForComPort() {
  TPortPromptHook hook;
  {
    std::lock_guard<std::mutex> g(HookLock());
    hook = Hook();
  }
  if (!hook) return std::nullopt;
  return hook();
}
