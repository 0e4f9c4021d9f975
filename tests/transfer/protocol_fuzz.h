#pragma once
// The bench of the transfer engines' fuzz targets: a port component on a fuzz line whose bytes
// are what the other side sends, the notices answered as the protocol component answers them,
// and real files in a scratch directory of the process (emptied after every run).
//
// Input: byte 0 chooses the direction (bit 0 set: this side sends a file) and the size of the
// pieces in which the bytes arrive (the other bits: 1 to 128 bytes); byte 1 is for the
// engine's own options; the rest is the line.
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>

#include "platform/Messages.h"
#include "serial/SioPort.h"
#include "tests/support/FuzzLine.h"
#include "tests/support/TempDir.h"
#include "transfer/Swabspcl.h"

namespace fuzz {

struct TEngine {
  std::function<int(TProtocolData*& P, TSioCustomComPort* port, std::uint8_t options)> Init;
  TSioNotifyProc Transmit = nullptr;
  PrepareProc PrepareTransmit = nullptr;
  TSioNotifyProc Receive = nullptr;
  PrepareProc PrepareReceive = nullptr;
  // Where the other side starts the run (B+): reads its start packets and tells the direction;
  // false when no transfer starts.
  std::function<bool(TProtocolData& P, TFuzzLine& line, bool& send)> Start;
};

class TBench {
 public:
  TBench() {
    // Every byte value, so that the senders quote and escape.
    std::string file(3000, '\0');
    for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<char>(i * 7);
    Dir.Write("send.bin", file);
    RegisterClass("FuzzProtocolNotices", [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
      return static_cast<TBench*>(GetWindowUserData(h))->Notice(h, m, w, l);
    });
    Window = CreateWindow("FuzzProtocolNotices", this);
  }
  ~TBench() { DestroyWindow(Window); }
  std::string SendFile() const { return Dir / "send.bin"; }
  std::string InDir() const { return In.str(); }

  support::TempDir Dir{"korvidan-fuzz", support::TmpfsOrTemp()};
  support::TempDir In{"in", Dir.path()};
  HWND Window = 0;
  int Finished = 0;  // finish notices
  int FilesToSend = 0;

 private:
  LRESULT Notice(HWND h, UINT m, WPARAM w, LPARAM l) {
    switch (m) {
      case apw_ProtocolNextFile:
        if (FilesToSend == 0) return 0;
        --FilesToSend;
        CopyToBufferZ(reinterpret_cast<char*>(l), apMaxPath, SendFile());
        return 1;
      case apw_ProtocolAcceptFile:
        return 1;
      case apw_ProtocolFinish:
        ++Finished;
        return 0;
      default:
        return DefWindowProc(h, m, w, l);
    }
  }
};

// One run of the engine against the input. A run that has not ended an hour (of the line's
// clock) after the other side fell silent is a fault: the engine would wait for ever.
inline int RunTransfer(const std::uint8_t* data, std::size_t size, const TEngine& engine) {
  if (size < 2) return 0;
  static TBench bench;
  bool send = (data[0] & 1) != 0;
  TFuzzLine* line = nullptr;
  SetActivateDeviceLayerHook([&](TSioCustomComPort* cp) {
    line = new TFuzzLine(cp);
    line->Play({data + 2, size - 2}, 1 + (data[0] >> 1));
    return line;
  });
  TSioComPort port;
  port.SetComNumber(1);
  port.SetInSize(8192);
  port.SetOutSize(8192);
  port.SetOpen(true);
  SetActivateDeviceLayerHook(nullptr);

  TProtocolData* P = nullptr;
  if (engine.Init(P, &port, data[1]) != 0) std::abort();
  apSetProtocolWindow(*P, bench.Window);
  apSetStatusInterval(*P, Secs2Ticks(3600));  // no status rounds between the time-outs
  apSetDestinationDirectory(*P, bench.InDir().c_str());
  apSetReceiveFilename(*P, (bench.InDir() + "/received").c_str());  // XModem names no file
  bench.Finished = 0;
  bench.FilesToSend = 1;
  bool started = true;
  if (engine.Start) {
    started = false;
    while (!started && !line->Exhausted()) {
      line->Round();
      started = engine.Start(*P, *line, send);
    }
  }
  if (started) {
    if (send)
      apStartProtocol(*P, P->ProtocolType, engine.Transmit, engine.PrepareTransmit);
    else
      apStartProtocol(*P, P->ProtocolType, engine.Receive, engine.PrepareReceive);
    while (!bench.Finished && !line->Exhausted()) {
      line->Round();
      ProcessMessages();
    }
    for (std::uint32_t silent = 0; !bench.Finished;) {
      if (silent > 3600 * 1000) __builtin_trap();
      silent += line->Idle();
      ProcessMessages();
    }
  }
  apDoneProtocol(P);
  port.SetOpen(false);
  ProcessMessages();
  bench.In.Clear();
  return 0;
}

}  // namespace fuzz
