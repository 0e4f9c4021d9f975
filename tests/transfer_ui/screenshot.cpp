// Takes the documentation's picture of the terminal window: vttest's first screen, drawn by
// vttest on the far end of a pseudo-terminal line through the terminal window on the near
// end, as the X server shows it. Run under Xvfb (docs/make-terminal-screenshot).
#include <stdlib.h>

#include <QApplication>
#include <QPixmap>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/Messages.h"
#include "serial/SioPort.h"
#include "tests/support/Pty.h"
#include "tests/support/PtyProgram.h"
#include "transfer/Swemu.h"
#include "transfer/ui/SioTerm.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: terminal-screenshot output.png\n");
    return 2;
  }
  QApplication app(argc, argv);
  support::PtyPair line;
  line.MapTo(71);
  TSioComPort port;
  port.SetComNumber(71);
  port.SetBaud(38400);
  port.SetOpen(true);
  TSioEmulator emu;
  emu.SetEmulatorType(etVT100);
  TSioTerminal term;
  term.setWindowTitle("Terminal");
  term.SetPageHeight(24);
  term.SetEmulator(&emu);
  term.SetComPort(&port);
  term.show();
  term.SetDisplayColumns(80);
  term.SetDisplayRows(24);
  term.resize(term.Window()->size());
  support::PtyProgram vttest("vttest", {"24x80.80"}, line.master(), 24, 80, "vt100");
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  bool shown = false;
  while (std::chrono::steady_clock::now() < end) {
    app.processEvents();
    ProcessMessages();
    TBuffer& b = term.Window()->Buffer();
    if (!shown && b.ScreenLine(21).find("Enter choice number") != std::string::npos) {
      shown = true;
      // A little longer, so that the last bytes are drawn too.
      const auto settle = std::chrono::steady_clock::now() + std::chrono::milliseconds(800);
      while (std::chrono::steady_clock::now() < settle) {
        app.processEvents();
        ProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!shown) {
    std::fprintf(stderr, "terminal-screenshot: vttest's menu did not come\n");
    return 1;
  }
  term.Window()->setFocus();
  app.processEvents();
  if (!term.grab().save(argv[1])) {
    std::fprintf(stderr, "terminal-screenshot: cannot write %s\n", argv[1]);
    return 1;
  }
  term.SetComPort(nullptr);
  port.SetOpen(false);
  return 0;
}
