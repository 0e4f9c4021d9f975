// Takes pictures of the database's boxes as the X server shows them: the application on a
// fresh data folder, then a store of the current values with the tables' folder full (a
// SQLite file layer that refuses more room, as a full disk does), with a text file and with a
// table of another program in the place of the temporary table. Prints each box's text. Run
// under Xvfb with a window manager:
//   xvfb-run -a -s "-screen 0 1024x768x24" sh -c 'openbox & sleep 1; korvidan-db-screenshots DIR'
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "app/Application.h"
#include "app/DataBase.h"
#include "app/Main.h"
#include "serial/ComSelect.h"
#include "tests/main/Driver.h"
#include "tests/support/FullDisk.h"

namespace fs = std::filesystem;

namespace {

// Stores the current values and takes the box that the store raises, framed by the window
// manager, into the file; then answers it. False when no box came.
bool StoreAndShoot(TDataModule2& db, const fs::path& file) {
  bool shot = false, saved = false;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(w);
      if (!box || !box->isVisible() || !box->windowHandle() || !box->windowHandle()->isExposed()) continue;
      // The window manager's frame is there once the frame is larger than the window.
      const QRect frame = box->frameGeometry();
      if (frame == box->geometry()) continue;
      if (!shot) {  // one round for the frame to be painted
        shot = true;
        return;
      }
      std::printf("%s: %s\n", file.filename().c_str(), box->text().toUtf8().constData());
      saved = QGuiApplication::primaryScreen()
                  ->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height())
                  .save(QString::fromStdString(file.string()), "PNG");
      if (QAbstractButton* ok = box->buttons().value(0)) ok->click();
      return;
    }
  });
  watch.start(100);
  db.StoreCurrentValues(*ControllerList);
  return saved;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path output = e2e::PictureFolder(argc, argv, "korvidan-db-screenshots");
  if (output.empty()) return 2;
  QApplication app(argc, argv);

  const e2e::FreshHome home("korvidan-db-shot-");
  const fs::path& dir = home.Dir();
  // No controller on a port: the port selection is cancelled, the version query given up.
  SetPortPromptHook([]() -> std::optional<std::uint16_t> { return std::nullopt; });
  e2e::User user;
  user.giveUpVersion = true;
  user.startAcquisition = false;
  e2e::Acting driver(user);

  int code = 1;
  {
    TKorvidanApplication korvidan;
    TForm1& form = *korvidan.MainForm;
    korvidan.Show();
    if (e2e::RunUntil([&] { return user.startAnswers == 1; }, 30000)) {
      driver.Stop();  // the boxes below are answered by the pictures
      const fs::path tables = dir / "data" / "korvidan" / "Zelvanor";
      const fs::path temp = tables / "Korvidan1_Temp.DB";
      support::FullDisk::Fill(tables);
      const bool full = StoreAndShoot(*korvidan.Database, output / "db-box-full-disk.png");
      support::FullDisk::Free();
      std::ofstream(temp) << "Einkaufsliste\n";
      const bool corrupt = StoreAndShoot(*korvidan.Database, output / "db-box-corrupt.png");
      fs::remove(temp);
      const std::string notes =
          "sqlite3 '" + temp.string() + "' \"CREATE TABLE Notizen(DateTime DATETIME, Notiz TEXT)\"";
      const bool layout =
          std::system(notes.c_str()) == 0 && StoreAndShoot(*korvidan.Database, output / "db-box-layout.png");
      if (full && corrupt && layout) code = 0;
    }
    form.close();
  }
  fs::current_path("/");
  return code;
}
