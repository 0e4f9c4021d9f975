// Takes the picture of the main window for the documentation: the application against the
// controller simulator, answered start-up dialogs, a few acquisition cycles, then the main
// window as the X server shows it. Run under Xvfb (docs/make-screenshot).
#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QTableView>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "app/Application.h"
#include "app/Main.h"
#include "app/UiThread.h"
#include "link/RS485BusNew.h"
#include "platform/Database.h"
#include "platform/Registry.h"
#include "serial/ComSelectForm.h"
#include "tests/main/Driver.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: korvidan-screenshot OUTPUT.png\n");
    return 2;
  }
  const fs::path output = fs::absolute(argv[1]);
  QApplication app(argc, argv);

  const support::TempDir tmp("korvidan-shot-");
  const fs::path& dir = tmp.path();
  fs::create_directories(dir / "db");
  SetRegistryFile((dir / "registry.ini").string());
  Session().AddStandardAlias("Zelvanor", dir / "db");
  fs::current_path(dir);

  e2e::Simulator sim({"--period", "1"});
  if (sim.Path().empty()) return 1;
  setenv("SIO_COM1", sim.Path().c_str(), 1);
  InstallComSelectPrompt();
  MessageSink = [](const std::string&, TMsgKind) {};

  e2e::User user;
  QTimer driver;
  QObject::connect(&driver, &QTimer::timeout, [&] { user.Act(); });
  driver.start(50);

  int code = 1;
  {
    TKorvidanApplication korvidan;
    TForm1& form = *korvidan.MainForm;
    form.FState.SetIntervalSeconds(0);
    korvidan.Bus->ListenMilliseconds = 1500;
    form.resize(1000, 640);
    form.move(0, 0);
    korvidan.Show();
    // Some merged rows in the grid and the charts, and the current values on the board.
    if (e2e::RunUntil([&] { return form.DBGrid1->model()->rowCount() >= 6; }, 60000)) {
      form.btShowValuesClick();
      e2e::RunUntil([] { return false; }, 1500);
      form.raise();
      form.activateWindow();
      e2e::RunUntil([] { return false; }, 500);
      QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(
          0, form.frameGeometry().x(), form.frameGeometry().y(), form.frameGeometry().width(),
          form.frameGeometry().height());
      code = shot.save(QString::fromStdString(output.string()), "PNG") ? 0 : 1;
    } else {
      std::fprintf(stderr, "korvidan-screenshot: no values arrived\n");
    }
    form.close();
  }
  fs::current_path("/");
  std::error_code ec;
  fs::remove_all(dir, ec);
  return code;
}
