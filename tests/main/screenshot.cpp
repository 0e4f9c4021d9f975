// Takes the picture of the main window for the documentation: the application against the
// drifting controller simulator, answered start-up dialogs, the value board opened from the
// menu, a few minutes of acquisition cycles, then the main window and the board beside it as
// the X server shows them. Run under Xvfb (docs/make-screenshot).
#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QTableView>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "app/Application.h"
#include "app/Main.h"
#include "app/UiThread.h"
#include "app/ValueBoard.h"
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
  e2e::Acting driver(user);

  // How long the acquisition runs before the picture: long enough for the drifting values to
  // draw a curve (KORVIDAN_SHOT_SECONDS, 180 by default).
  int seconds = 180;
  if (const char* v = std::getenv("KORVIDAN_SHOT_SECONDS"); v && std::atoi(v) > 0) seconds = std::atoi(v);

  int code = 1;
  {
    TKorvidanApplication korvidan;
    TForm1& form = *korvidan.MainForm;
    form.FState.SetIntervalSeconds(0);
    korvidan.Bus->ListenMilliseconds = 1500;
    TForm2& board = *korvidan.ValueBoard;
    board.MediaPlayer1.DeviceName = "null";
    form.move(0, 0);
    korvidan.Show();
    // The window at its default size, the value board beside it, opened from the menu.
    if (e2e::RunUntil([&] { return user.startAnswers == 1; }, 30000)) {
      form.aktuelleWerteanzeigen1->trigger();
      e2e::RunUntil([] { return false; }, seconds * 1000);
      board.move(form.frameGeometry().right() + 8, 0);
      e2e::RunUntil([] { return false; }, 1000);
    }
    if (form.DBGrid1->model()->rowCount() >= 5 && board.isVisible()) {
      const QRect area = form.frameGeometry().united(board.frameGeometry());
      QPixmap shot =
          QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
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
