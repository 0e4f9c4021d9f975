// The Korvidan monitoring application.
#include <QApplication>
#include <clocale>

#include "app/Application.h"
#include "app/FileDialogs.h"
#include "app/Translations.h"
#include "fax/ui/Swtapidsp.h"
#ifdef KORVIDAN_PORT_DIALOG
#include "serial/ComSelectForm.h"
#endif

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // Qt takes the number formats from the environment; this program's texts never do.
  std::setlocale(LC_NUMERIC, "C");
  InstallGermanTranslations(app);
  CloseFileDialogCompletions(app);
#ifdef KORVIDAN_PORT_DIALOG
  InstallComSelectPrompt();
#endif
  // The telephony device's line selection, wait cursor and the modem lines' dialogs.
  InstallTapiWindows();
  return RunApplication(app);
}
