// Takes pictures of "Call Progress" and "Fax Status" during a test fax, as the X server shows
// them: the application on a fresh data folder (no "Cover.txt", no "korvidan.fxf": the files
// that come with the program go out) against the controller simulator, its fax modem line an
// independent fax machine (tools/faxpeer). Prints each window's place on the screen and what
// the fax machine reports. Run under Xvfb with a window manager:
//   xvfb-run -a -s "-screen 0 1024x768x24" sh -c 'openbox & sleep 1; korvidan-fax-screenshots DIR'
#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "app/Application.h"
#include "app/FaxModule.h"
#include "app/Localregistry.h"
#include "app/Main.h"
#include "app/UiThread.h"
#include "app/ValueBoard.h"
#include "fax/SioFax.h"
#include "fax/ui/SioFStat.h"
#include "fax/ui/SioMeter.h"
#include "fax/ui/Swtapidsp.h"
#include "link/RS485BusNew.h"
#include "platform/Registry.h"
#include "platform/Telephony.h"
#include "serial/ComSelectForm.h"
#include "tests/main/Driver.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// The window's frame as the screen shows it, saved, and the whole screen; its place printed.
bool Shoot(QWidget* w, const fs::path& file) {
  const QRect frame = w->frameGeometry();
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  std::printf("%s: %dx%d at %d,%d, %s the available area %dx%d at %d,%d\n",
              w->windowTitle().toUtf8().constData(), frame.width(), frame.height(), frame.x(), frame.y(),
              area.contains(frame) ? "inside" : "NOT inside", area.width(), area.height(), area.x(), area.y());
  const QPixmap shot =
      QGuiApplication::primaryScreen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
  // And the whole screen beside it, which shows where the window stands.
  fs::path whole = file;
  whole.replace_filename(file.stem().string() + "-screen.png");
  return shot.save(QString::fromStdString(file.string()), "PNG") &&
         QGuiApplication::primaryScreen()->grabWindow(0).save(QString::fromStdString(whole.string()), "PNG");
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path output = e2e::PictureFolder(argc, argv, "korvidan-fax-screenshots");
  if (output.empty()) return 2;
  QApplication app(argc, argv);

  const e2e::FreshHome home("korvidan-fax-shot-");
  const fs::path& dir = home.Dir();

  support::ChildProcess peer(support::Tool("faxpeer"),
                             {"--receive", dir / "received.tif", "--calls", "1", "--timeout", "170"}, true);
  const std::string peerPath = peer.ReadLine(10000);
  e2e::Simulator sim({"--fixed", "--period", "1"});
  if (peerPath.empty() || sim.Path().empty()) return 1;
  setenv("SIO_COM1", sim.Path().c_str(), 1);
  setenv("SIO_COM7", peerPath.c_str(), 1);
  TTelephonyLine line;
  line.Name = "Faxmodem";
  line.ComNumber = 7;
  line.CallerID = "";
  WriteTelephonyLine(line);
  InstallComSelectPrompt();
  MessageSink = [](const std::string& text, TMsgKind) { std::printf("box: %s\n", text.c_str()); };

  e2e::User user;
  e2e::Acting driver(user);

  int code = 1;
  {
    TKorvidanApplication korvidan;
    TForm1& form = *korvidan.MainForm;
    korvidan.ValueBoard->MediaPlayer1.DeviceName = "null";
    korvidan.Show();
    TDataModule3& fax = *korvidan.FaxModule;
    if (e2e::RunUntil([&] { return user.startAnswers == 1; }, 30000)) {
      // The modem line, as "Faxmodem konfigurieren" stores it.
      WriteTapiDeviceName("Faxmodem");
      form.Testfaxsenden1->trigger();
      // Pictures while the page after the cover goes out, its progress shown.
      TStandardFaxDisplay* status = fax.SioFaxStatus1->Display();
      if (e2e::RunUntil([&] { return status->Meter->GetPosition() > 0; }, 120000)) {
        const bool shots = Shoot(fax.SioTapiStatus1->Display(), output / "call-progress.png") &&
                           Shoot(status, output / "fax-status.png");
        if (e2e::RunUntil([&] { return !fax.Sending(); }, 120000) && shots) code = 0;
      }
    }
    form.close();
  }
  fs::current_path("/");
  for (std::string l = peer.ReadLine(60000); !l.empty(); l = peer.ReadLine(60000)) std::printf("faxpeer: %s\n", l.c_str());
  return code;
}
