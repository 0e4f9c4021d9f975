// Takes pictures of where the application's windows appear, as the X server shows them: the
// box that the acquisition raises when the alarm sound finds no audio device, while the user
// types in the programming window, "Grafik Sensor" opened from the overview, where it once
// stood on a larger screen, and the forms "Datenbanken verschieben" and "gespeicherte Daten
// lesen" with the listing's window, opened from the menu. Prints each window's place, the
// window manager's stacking of the main window and the others, and which window has the
// keyboard. Run under Xvfb with a window manager:
//   xvfb-run -a -s "-screen 0 1024x768x24" sh -c 'openbox & sleep 1; korvidan-window-screenshots DIR'
#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QScreen>
#include <QTableView>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/Application.h"
#include "app/DatabaseMove.h"
#include "app/DlgReadSaveData.h"
#include "app/GraphicOverview.h"
#include "app/Main.h"
#include "app/Sensorgraphic.h"
#include "app/StoredDataWindow.h"
#include "app/UiThread.h"
#include "app/ValueBoard.h"
#include "link/RS485BusNew.h"
#include "programming/ui/ProgrammingForm.h"
#include "serial/ComSelectForm.h"
#include "tests/main/Driver.h"
#include "tests/programming_ui/ProgrammingSample.h"

namespace fs = std::filesystem;

namespace {

void PrintPlace(QWidget* w) {
  const QRect frame = w->frameGeometry();
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  std::printf("%s: %dx%d at %d,%d, %s the available area %dx%d\n", w->windowTitle().toUtf8().constData(),
              frame.width(), frame.height(), frame.x(), frame.y(),
              area.contains(frame) ? "inside" : "NOT inside", area.width(), area.height());
}

bool ShootScreen(const fs::path& file) {
  return QGuiApplication::primaryScreen()->grabWindow(0).save(QString::fromStdString(file.string()), "PNG");
}

// The window manager's stacking of its clients, bottom first.
std::vector<unsigned long> Stacking() {
  std::vector<unsigned long> ids;
  FILE* p = popen("xprop -root _NET_CLIENT_LIST_STACKING", "r");
  if (!p) return ids;
  char buf[8192];
  std::string out;
  while (std::fgets(buf, sizeof buf, p)) out += buf;
  pclose(p);
  std::string::size_type at = out.find('#');
  if (at == std::string::npos) return ids;
  std::istringstream in(out.substr(at + 1));
  for (std::string id; std::getline(in, id, ',');) ids.push_back(std::stoul(id, nullptr, 16));
  return ids;
}

int StackIndex(const std::vector<unsigned long>& ids, QWidget* w) {
  for (std::size_t i = 0; i < ids.size(); ++i)
    if (ids[i] == w->winId()) return static_cast<int>(i);
  return -1;
}

// The window manager's stacking of the main window and the given windows (bottom first), and
// the owner that each of them names.
void PrintStacking(QWidget& main, std::initializer_list<QWidget*> windows) {
  const auto ids = Stacking();
  std::printf("stacking (bottom 0): main window %d", StackIndex(ids, &main));
  for (QWidget* w : windows)
    std::printf(", %s %d", w->windowTitle().toUtf8().constData(), StackIndex(ids, w));
  std::printf("\n");
  for (QWidget* w : windows) {
    std::printf("main window 0x%lx, %s ", static_cast<unsigned long>(main.winId()),
                w->windowTitle().toUtf8().constData());
    std::fflush(stdout);
    std::system(("xprop -id " + std::to_string(w->winId()) + " WM_TRANSIENT_FOR").c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path output = e2e::PictureFolder(argc, argv, "korvidan-window-screenshots");
  if (output.empty()) return 2;
  QApplication app(argc, argv);

  const e2e::Sandbox sandbox;
  const std::string file = sandbox.Write("sample.prg", sample::PrgFile(sample::Configuration()));
  e2e::Simulator sim({"--fixed", "--period", "1"});
  if (sim.Path().empty()) return 1;
  setenv("SIO_COM1", sim.Path().c_str(), 1);
  InstallComSelectPrompt();

  e2e::User user;
  // The boxes after the start question stay open for the pictures.
  user.beforeStartAnswer = [&] { user.answerBoxes = false; };
  QTimer driver;
  QObject::connect(&driver, &QTimer::timeout, [&] { user.Act(); });
  driver.start(50);

  int code = 1;
  {
    TKorvidanApplication korvidan;
    TForm1& form = *korvidan.MainForm;
    form.FState.SetIntervalSeconds(0);
    korvidan.Bus->ListenMilliseconds = 1500;
    // The alarm sound of the first cycle finds no audio device: the acquisition reports it.
    korvidan.ValueBoard->MediaPlayer1.DeviceName = "hw:CARD=KeineSoundkarte";
    korvidan.Show();
    auto soundBox = [] {
      for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w);
            box && box->isVisible() && box->text().contains("Alarmton kann nicht gespielt werden"))
          return box;
      return static_cast<QMessageBox*>(nullptr);
    };
    bool shots = false;
    if (e2e::RunUntil([&] { return user.startAnswers == 1; }, 30000)) {
      // The user opens a programming-data file and types in one of its fields while the
      // first cycle listens.
      form.korvidanprogrammieren1->trigger();
      TProgrammingForm& programming = *korvidan.Programming;
      QFileDialog* open = programming.odProgData();
      QTimer::singleShot(0, open, [open, file] {
        if (auto* name = open->findChild<QLineEdit*>("fileNameEdit"))
          name->setText(QString::fromStdString(file));
        QMetaObject::invokeMethod(open, "accept");
      });
      programming.Dateiffnen1->trigger();
      QLineEdit* edit = programming.findChild<QLineEdit*>("PhPanelWertSommerTag");
      programming.activateWindow();
      e2e::RunUntil([&] { return programming.isActiveWindow(); }, 5000);
      if (edit) {
        edit->setFocus(Qt::MouseFocusReason);
        edit->setText("7,2");
      }
      QMessageBox* box = nullptr;
      if (e2e::RunUntil([&] { return (box = soundBox()) != nullptr; }, 30000)) {
        e2e::RunUntil([] { return false; }, 1500);
        PrintPlace(&form);
        PrintPlace(korvidan.Programming.get());
        PrintPlace(box);
        const auto ids = Stacking();
        std::printf("stacking: main window %d, programming window %d, box %d (bottom 0)\n",
                    StackIndex(ids, &form), StackIndex(ids, korvidan.Programming.get()),
                    StackIndex(ids, box));
        QWidget* active = QApplication::activeWindow();
        std::printf("keyboard: %s, focus in the field: %s\n",
                    active ? active->windowTitle().toUtf8().constData() : "-",
                    edit && QApplication::focusWidget() == edit ? "yes" : "no");
        std::fflush(stdout);
        std::printf("main window 0x%lx, box ", static_cast<unsigned long>(form.winId()));
        std::fflush(stdout);
        std::system(("xprop -id " + std::to_string(box->winId()) + " WM_TRANSIENT_FOR").c_str());
        shots = ShootScreen(output / "worker-box-above-main.png");
        box->close();
      }
      korvidan.Programming->close();
      // Five cycles give the charts a few values.
      e2e::RunUntil([&] { return form.DBGrid1->model()->rowCount() >= 5; }, 60000);
      // "Übersicht", then a double click on its first chart.
      form.Vorschaugrafik1->trigger();
      e2e::RunUntil([&] { return korvidan.Overview->isVisible(); }, 5000);
      e2e::RunUntil([] { return false; }, 1000);
      // Where it once stood on a larger screen: its bottom 15 pixels below this one's.
      korvidan.SensorChart->move(322, 333);
      korvidan.Overview->DBChartSensor1DblClick();
      e2e::RunUntil([&] { return korvidan.SensorChart->isVisible(); }, 5000);
      e2e::RunUntil([] { return false; }, 1500);
      PrintPlace(korvidan.Overview.get());
      PrintPlace(korvidan.SensorChart.get());
      shots = ShootScreen(output / "grafik-sensor-1024x768.png") && shots;
      korvidan.SensorChart->close();
      korvidan.Overview->close();

      // "Datenbanken verschieben": "Öffnen" cancelled, the question answered "Ja"; the form
      // stays above the main window after the merge.
      for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w)) box->close();
      user.answerBoxes = true;
      TForm1::ConfirmSink = [](const std::string&) { return true; };
      const e2e::CancellingFileDialogs cancel;
      form.Datenbankenverschieben1->trigger();
      QWidget* move = korvidan.MoveForm.get();
      e2e::RunUntil([] { return false; }, 1000);
      // The user clicks the main window.
      form.raise();
      form.activateWindow();
      e2e::RunUntil([] { return false; }, 1000);
      PrintPlace(&form);
      PrintPlace(move);
      PrintStacking(form, {move});
      shots = ShootScreen(output / "database-move-above-main.png") && shots;
      move->close();

      // "gespeicherte Daten lesen": its progress form, and the listing's window, which the user
      // moves aside before clicking the main window and then the progress form.
      form.gespeicherteDatenlesen1->trigger();
      QWidget* read = korvidan.ReadSaveData.get();
      QWidget* listing = korvidan.StoredData.get();
      e2e::RunUntil([&] { return listing->isVisible(); }, 30000);
      e2e::RunUntil([] { return false; }, 1000);
      listing->move(QGuiApplication::primaryScreen()->availableGeometry().bottomRight() -
                    QPoint(listing->frameGeometry().width() - 1, listing->frameGeometry().height() - 1));
      form.raise();
      form.activateWindow();
      e2e::RunUntil([] { return false; }, 1000);
      read->raise();
      read->activateWindow();
      e2e::RunUntil([] { return false; }, 1000);
      PrintPlace(read);
      PrintPlace(listing);
      PrintStacking(form, {read, listing});
      shots = ShootScreen(output / "stored-data-above-main.png") && shots;
      TForm1::ConfirmSink = nullptr;
    }
    if (shots) code = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* box = qobject_cast<QMessageBox*>(w)) box->close();
    form.close();
  }
  return code;
}
