#pragma once
// Qt's own texts in German: file dialogs, standard buttons, context menus. The translations
// are the ones Qt ships for its base library (the system's Qt translation files).
class QCoreApplication;

// Installs Qt's German base translation into the application; false (and nothing
// installed) when the translation file cannot be found or read.
bool InstallGermanTranslations(QCoreApplication& app);
