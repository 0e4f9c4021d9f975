#pragma once
// The bench of the fax fuzz targets: a send or receive session on a fuzz line whose bytes are
// what the modem answers, the notices answered as the fax components answer them, a two-page
// fax file to send and a scratch directory for the received ones (emptied after every run).
//
// Byte 0 of the input: bits 0-5 the size of the pieces in which the modem's bytes arrive (1 to
// 64), bit 6 set for a send; the rest is the modem's side. A session that has not ended ten
// minutes (of the line's clock) after the modem fell silent is cancelled; one that a cancel
// does not end within the hour is a fault.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fax/Swfax.h"
#include "fax/Swfaxcvt.h"
#include "fax/Swtxtcvt.h"
#include "tests/support/FuzzLine.h"
#include "tests/support/TempDir.h"

namespace fuzz {

class TFaxBench {
 public:
  TFaxBench() {
    const std::string text = Dir.Write("page.txt", "Alarm im Becken 1\r\n\x10 pH 9,1\fSeite zwei\r\n");
    TAbsFaxCvt* cvt = nullptr;
    if (fcInitTextConverter(cvt) != 0 || fcLoadFont(cvt, "SWFAX.FNT", ffStandardFontHandle, false) != 0)
      std::abort();
    acOptionsOff(cvt, coYield);
    if (acConvertToFile(cvt, text, FaxFile()) != 0) std::abort();
    fcDoneTextConverter(cvt);
    RegisterClass("FuzzFaxNotices", [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
      return static_cast<TFaxBench*>(GetWindowUserData(h))->Notice(m, l);
    });
    Window = CreateWindow("FuzzFaxNotices", this);
  }
  ~TFaxBench() { DestroyWindow(Window); }
  std::string FaxFile() const { return Dir / "send.fxf"; }

  // One session against the input.
  void Run(const std::uint8_t* data, std::size_t size, ClassType cls) {
    if (size < 1) return;
    const bool send = (data[0] & 0x40) != 0;
    TFuzzLine line;
    if (line.Open() != 0) std::abort();
    line.Play({data + 1, size - 1}, 1 + (data[0] & 0x3F));
    TFaxRec* fax = nullptr;
    const int r = send ? fInitC12SendFax(fax, "KORVIDAN FUZZ", &line, Window)
                       : fInitC12ReceiveFax(fax, "KORVIDAN FUZZ", &line, Window);
    if (r != 0) std::abort();
    fSetClassType(fax, cls);
    fax->PData->StatusInterval = 3600;  // no status rounds between the time-outs
    Finished = false;
    Entries = 1;
    if (send) {
      afStartFax(fax, fPrepareFaxTransmit, fFaxTransmit);
    } else {
      afSetDestinationDir(fax, In.str() + "/");
      fSetOneFax(fax, true);
      afStartFax(fax, fPrepareFaxReceive, fFaxReceive);
    }
    ProcessMessages();
    while (!Finished && !line.Exhausted()) {
      line.Round();
      ProcessMessages();
    }
    bool cancelled = false;
    for (std::uint32_t silent = 0; !Finished;) {
      if (silent > 600 * 1000 && !cancelled) {
        cancelled = true;
        (send ? fFaxTransmit : fFaxReceive)(apw_FaxCancel, 0, static_cast<LPARAM>(line.Handle()) << 16);
      }
      if (silent > 4200 * 1000) __builtin_trap();
      silent += line.Idle();
      ProcessMessages();
    }
    send ? fDoneC12SendFax(fax) : fDoneC12ReceiveFax(fax);
    In.Clear();
  }

  support::TempDir Dir{"korvidan-fax-fuzz", support::TmpfsOrTemp()};
  support::TempDir In{"in", Dir.path()};
  HWND Window = 0;
  bool Finished = false;
  int Entries = 0;

 private:
  LRESULT Notice(UINT m, LPARAM l) {
    auto* fax = reinterpret_cast<TFaxRec*>(l);
    switch (m) {
      case apw_FaxNextfile:
        if (Entries == 0) return 0;
        --Entries;
        afSetNextFax(fax, "4711", FaxFile(), "");
        return 1;
      case apw_FaxName:
        afSetFaxName(fax, afFaxNameCount(fax));
        return 0;
      case apw_FaxAccept:
        return 1;
      case apw_FaxFinish:
        Finished = true;
        return 0;
      default:
        return 0;
    }
  }
};

}  // namespace fuzz
