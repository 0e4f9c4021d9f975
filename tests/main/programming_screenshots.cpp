// Takes the pictures of the programming window for the documentation: the application against
// the controller simulator holding a sample configuration, the window opened from the menu
// "korvidan konfigurieren", the data read, then one picture per page kind. Run under Xvfb
// (docs/make-screenshot).
#include <QAction>
#include <QApplication>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
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
#include "programming/ProgDataTransfer.h"
#include "programming/ui/ProgrammingForm.h"
#include "programming/ui/TransferForms.h"
#include "serial/ComSelectForm.h"
#include "tests/main/Driver.h"
#include "tests/programming_ui/ProgrammingSample.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: korvidan-programming-screenshots OUTPUT-DIRECTORY\n");
    return 2;
  }
  const fs::path output = fs::absolute(argv[1]);
  QApplication app(argc, argv);

  const support::TempDir tmp("korvidan-progshot-");
  const fs::path& dir = tmp.path();
  fs::create_directories(dir / "db");
  SetRegistryFile((dir / "registry.ini").string());
  Session().AddStandardAlias("Zelvanor", dir / "db");
  fs::current_path(dir);
  const std::string prg = tmp.Write("sample.prg", sample::PrgFile(sample::Configuration()));

  e2e::Simulator sim({"--no-stdin", "--controller", "version=219,clock=off,image=" + prg, "--period", "1"});
  setenv("SIO_COM1", sim.Path().c_str(), 1);
  InstallComSelectPrompt();
  MessageSink = [](const std::string&, TMsgKind) {};

  e2e::User user;
  user.startAcquisition = false;
  e2e::Acting driver(user);

  int code = 1;
  {
    TKorvidanApplication korvidan;
    TForm1& main = *korvidan.MainForm;
    TProgrammingForm& form = *korvidan.Programming;
    korvidan.Show();
    if (!e2e::RunUntil([&] { return user.startAnswers == 1; }, 30000)) {
      std::fprintf(stderr, "korvidan-programming-screenshots: no start question\n");
      return 1;
    }
    main.korvidanprogrammieren1->trigger();
    form.resize(960, 560);
    form.move(0, 0);
    form.sbReadProgrammingData->trigger();
    if (!e2e::RunUntil([&] { return main.FProgData->ReadResult() == TTransferResult::Ok; }, 30000)) {
      std::fprintf(stderr, "korvidan-programming-screenshots: nothing read\n");
      return 1;
    }
    korvidan.ReadDataRam->btReadDataOk->click();
    struct Shot {
      const char* file;
      int page, tab;
    };
    const Shot shots[] = {{"programming-control.png", 0, 0},
                          {"programming-time.png", 1, 1},
                          {"programming-sockets.png", 1, 0},
                          {"programming-system.png", 3, 2}};
    QTabWidget* inner[] = {form.PageControl2, form.PageControlZeitschaltuhr, form.PageControl4,
                           form.PageControlMenuLayer2};
    code = 0;
    for (const Shot& s : shots) {
      form.PageControlProgrammingData->setCurrentIndex(s.page);
      inner[s.page]->setCurrentIndex(s.tab);
      form.raise();
      form.activateWindow();
      e2e::RunUntil([] { return false; }, 700);
      const QRect g = form.frameGeometry();
      QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, g.x(), g.y(), g.width(), g.height());
      if (!shot.save(QString::fromStdString((output / s.file).string()), "PNG")) code = 1;
    }
    main.close();
  }
  fs::current_path("/");
  return code;
}
