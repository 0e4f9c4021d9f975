// Fuzz target: arbitrary host bytes through each emulator into a terminal buffer. The first
// bytes choose the emulator, the buffer's geometry and the scroll region.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "transfer/Swtbuff.h"

namespace {
class FuzzBuffer : public TBuffer {
 public:
  FuzzBuffer() : TBuffer(0, 80, 25) {}
  std::size_t replied = 0;

 protected:
  void bWriteReply(std::string_view text) override { replied += text.size(); }
};

void Proc(void* d, char c, TEmuCommandLo& cmd) { aeProcessAnsiChar(static_cast<TAnsiEmulator*>(d), c, cmd); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  static const TEmulatorType types[] = {etNone, etANSI, etVT52, etVT100, etANSIBBS};
  FuzzBuffer b;
  std::uint16_t columns = static_cast<std::uint16_t>(1 + data[1] % 133);
  std::uint16_t page = static_cast<std::uint16_t>(1 + (data[2] & 0x1F));
  std::uint16_t rows = static_cast<std::uint16_t>(page + (data[2] >> 5) * 9);
  b.bNewBuffer(rows, columns, page);
  b.bSetClientSize(static_cast<std::uint16_t>(columns - (data[1] >> 7)), page);
  TAnsiEmulator* emu = nullptr;
  aeInitAnsiEmulator(emu);
  emu->emuType = types[data[0] % 5];
  b.SetUserEmulator(emu, Proc);
  for (std::size_t i = 3; i < size; ++i) {
    b.bProcessChar(static_cast<char>(data[i]));
    if (b.CurRow >= b.Rows || b.CurCol >= b.Columns) __builtin_trap();
  }
  b.bForcePaint();
  aeDoneAnsiEmulator(emu);
  return 0;
}
