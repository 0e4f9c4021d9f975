#pragma once
// The bench of the controller protocol's fuzz targets: the bus module on a fuzz line whose
// bytes are what the controllers send, the application's boxes and status texts quiet. One per
// process (Bench()); it is never freed, as closing its port would write the port's logs.
#include <cstddef>
#include <cstdint>
#include <string>

#include "link/RS485BusNew.h"
#include "platform/Messages.h"
#include "tests/support/FuzzLine.h"

namespace fuzz {

class TBusBench {
 public:
  TBusBench() {
    LinkHooks().MessageBox = [](const std::string&, const std::string&, TBoxKind) {};
    LinkHooks().StatusText = [](const std::string&) {};
    SetActivateDeviceLayerHook([this](TSioCustomComPort* cp) { return Line = new TFuzzLine(cp); });
    Bus = new TDataModule1(State, 1);
    SetActivateDeviceLayerHook(nullptr);
  }
  // The bytes arrive in pieces of the given size, each handled before the next comes.
  void Play(const std::uint8_t* data, std::size_t size, std::size_t piece) {
    Line->Play({data, size}, piece);
    while (!Line->Exhausted()) {
      Line->Round();
      ProcessMessages();
    }
  }
  TAcquisitionState State;
  TDataModule1* Bus = nullptr;
  TFuzzLine* Line = nullptr;
};

inline TBusBench& Bench() {
  static TBusBench* bench = new TBusBench;
  return *bench;
}

}  // namespace fuzz
