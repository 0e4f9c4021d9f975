#pragma once
// Qt's own file dialog shows the names that match a typed path in a list under its name
// field. Confirming the typed name with Enter while that list is open closes the dialog from
// under the list, which then stays on screen until the next click. The application closes
// the list together with any of its file dialogs.
class QCoreApplication;

// Watches every file dialog of the application from now on (once, however often called).
void CloseFileDialogCompletions(QCoreApplication& app);
