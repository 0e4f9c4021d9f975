// Helpers of the end-to-end programs: the controller simulator as a child process, a user
// who answers the start-up dialogs, and an event loop that runs until something holds.
#pragma once

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/KorvidanVersionForm.h"
#include "app/SmallForms.h"
#include "link/BusShared.h"
#include "platform/Database.h"
#include "platform/Registry.h"
#include "serial/ComSelectForm.h"
#include "tests/support/Child.h"
#include "tests/support/TempDir.h"

namespace e2e {

// The controller simulator as a child process; its port is the first line it prints.
struct Simulator : support::Simulator {
  explicit Simulator(std::vector<std::string> args) : support::Simulator("korvidan-sim", std::move(args)) {}
  // Maps COM1 to the simulator and lets the port selection ask for it, as a user sees it;
  // false when the simulator gave no port.
  bool OfferOnCom1() const {
    if (Path().empty()) return false;
    setenv("SIO_COM1", Path().c_str(), 1);
    InstallComSelectPrompt();
    return true;
  }
};

// Counts the acquisition cycles stored from now on.
inline void CountStoredCycles(std::atomic<int>& count) {
  auto store = LinkHooks().StoreCurrentValues;
  LinkHooks().StoreCurrentValues = [&count, store](TControllerList& list) {
    store(list);
    ++count;
  };
}

// A place of its own for settings, tables, protocol files and logs, the current directory
// while it lives.
class Sandbox {
 public:
  Sandbox() {
    old_ = std::filesystem::current_path();
    std::filesystem::create_directories(dir_ / "db");
    SetRegistryFile((dir_ / "registry.ini").string());
    setenv("KORVIDAN_DATABASE_DIR", (dir_ / "db").c_str(), 1);
    Session().AddStandardAlias("Zelvanor", dir_ / "db");
    std::filesystem::current_path(dir_);
  }
  ~Sandbox() { std::filesystem::current_path(old_); }
  std::filesystem::path Db() const { return dir_ / "db"; }
  std::string Write(const std::string& name, const std::string& content) const {
    return tmp_.Write(name, content);
  }

 private:
  support::TempDir tmp_{"korvidan-main-"};
  const std::filesystem::path& dir_ = tmp_.path();
  std::filesystem::path old_;
};

// Plays the user: reads and confirms message boxes, answers the port selection, the version
// dialog and the start question.
struct User {
  bool giveUpVersion = false;  // "Auf Menüpunkt verzichten !" once it is offered
  bool startAcquisition = true;
  bool answerBoxes = true;                  // false: message boxes are left open
  std::function<void()> beforeStartAnswer;  // runs just before the start question is answered
  int portDialogs = 0, versionOks = 0, startAnswers = 0, verzichtenClicks = 0;
  std::vector<std::string> boxTexts;  // the message boxes read, in order

  bool Read(const std::string& part) const {
    for (const std::string& t : boxTexts)
      if (t.find(part) != std::string::npos) return true;
    return false;
  }

  void Act() {
    // A message box is on top of everything else.
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(w);
      if (!answerBoxes || !box || !box->isVisible()) continue;
      boxTexts.push_back(box->text().toStdString());
      if (QAbstractButton* b = box->defaultButton() ? box->defaultButton() : box->buttons().value(0))
        b->click();
      return;
    }
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (!w->isVisible()) continue;
      if (auto* ports = qobject_cast<TComSelectForm*>(w)) {
        ports->PortsComboBox->setCurrentText("COM1");
        ++portDialogs;
        ports->OkBtn->click();
        return;
      }
      if (auto* version = qobject_cast<TTKorvidanVersionForm*>(w)) {
        if (giveUpVersion && version->verzichten->isVisible()) {
          ++verzichtenClicks;
          version->verzichten->click();
          return;
        }
        if (version->OkButton->isEnabled() && versionOks == 0) {
          ++versionOks;
          version->OkButton->click();
        }
        return;
      }
      if (auto* start = qobject_cast<TStartupFrm*>(w)) {
        ++startAnswers;
        if (beforeStartAnswer) beforeStartAnswer();
        (startAcquisition ? start->Button1 : start->Button2)->click();
        return;
      }
    }
  }
};

// Lets the user act every 50 ms while it lives, or until stopped.
class Acting {
 public:
  explicit Acting(User& user) {
    QObject::connect(&timer_, &QTimer::timeout, [&user] { user.Act(); });
    timer_.start(50);
  }
  void Stop() { timer_.stop(); }

 private:
  QTimer timer_;
};

// While it lives, cancels every modal file dialog that comes up (the "Öffnen" that
// "Datenbanken verschieben" opens as it shows), as a user who wants none.
class CancellingFileDialogs {
 public:
  CancellingFileDialogs() {
    QObject::connect(&timer_, &QTimer::timeout, [] {
      for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* files = qobject_cast<QFileDialog*>(w); files && files->isVisible() && files->isModal())
          files->reject();
    });
    timer_.start(50);
  }

 private:
  QTimer timer_;
};

// A new user for a picture program: settings, data folder (XDG_DATA_HOME, where the tables
// go) and working directory of its own, below a temporary folder.
class FreshHome {
 public:
  explicit FreshHome(const std::string& prefix) : tmp_(prefix) {
    ::setenv("XDG_DATA_HOME", (Dir() / "data").c_str(), 1);
    ::unsetenv("KORVIDAN_DATABASE_DIR");
    SetRegistryFile((Dir() / "registry.ini").string());
    std::filesystem::current_path(Dir());
  }
  const std::filesystem::path& Dir() const { return tmp_.path(); }

 private:
  support::TempDir tmp_;
};

// The folder a picture program is given on its command line, made when missing; without one
// the program's usage is printed and the path is empty.
inline std::filesystem::path PictureFolder(int argc, char** argv, const char* program) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", program);
    return {};
  }
  const std::filesystem::path output = std::filesystem::absolute(argv[1]);
  std::filesystem::create_directories(output);
  return output;
}

// Runs the event loop until the condition holds or the time is up.
inline bool RunUntil(const std::function<bool()>& condition, int timeoutMs) {
  QElapsedTimer t;
  t.start();
  while (!condition()) {
    if (t.elapsed() > timeoutMs) return false;
    // A loop that waits for events as the application's does, so that its idle handler runs.
    QEventLoop loop;
    QTimer::singleShot(10, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

}  // namespace e2e
