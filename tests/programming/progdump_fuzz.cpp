// Fuzz target: a read of the programming data from its request to the parse of the dump; the
// bytes are what the controller sends after the request. A dump that is taken gives an image
// with its end marker, and written back it is what the controller then holds: the simulated
// controller takes from the line the image and the socket table as read (in its byte order
// for the firmware), both checksum pairs agree with what it received, the write reports the
// controller's checksum as a success, and the image in memory is as it was.
#include <algorithm>
#include <cstdio>
#include <string>

#include "tests/programming/progdata_fuzz.h"
#include "tools/korvidan-sim/sim_controller.h"

namespace {

void Play(const std::string& text) {
  fuzz::Bench().Play(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), text.size());
}

void CheckWriteBack(TProgData& prog) {
  const TProgrammingImage image = ProgrammingImage;
  const TSocketTable sockets = SocketTable;
  ksim::ProgramReceiver controller;
  prog.HexPairPauseMs = 0;
  if (!prog.WriteProgrammingData()) __builtin_trap();
  controller.start();
  TFuzzLine& line = *fuzz::Bench().Line;
  line.Written = [&](const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) controller.feed(static_cast<char>(bytes[i]));
  };
  Play("Receive Start\r\n");
  Play("\r\n");
  line.Written = nullptr;
  const ksim::ProgramReceiver::Result got = controller.evaluate();
  const ksim::Image held = ksim::fromBusOrder(got.busMemory.image, prog.GetFirmwareVersion());
  if (!got.consistent || !std::equal(held.begin(), held.end(), image.Bytes.begin()) ||
      !std::equal(got.busMemory.sockets.begin(), got.busMemory.sockets.end(), sockets.Bytes.begin()) ||
      ProgrammingImage.Bytes != image.Bytes || SocketTable.Bytes != sockets.Bytes)
    __builtin_trap();
  char reply[16];
  std::snprintf(reply, sizeof reply, "%02XCheckSum\r\n", got.checksum);
  Play(reply);
  Play("\r\n");
  if (prog.WriteResult() != TTransferResult::Ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::RunProgTransfer(
      data, size, [](TProgData& prog) { return prog.ReadProgrammingData(); },
      [](const TProgData& prog) {
        if (prog.ReadResult() == TTransferResult::Ok && !ProgrammingImage.HasEndMarker()) __builtin_trap();
        return prog.ReadResult();
      },
      [](TProgData& prog) {
        if (prog.ReadResult() == TTransferResult::Ok) CheckWriteBack(prog);
      });
  return 0;
}
