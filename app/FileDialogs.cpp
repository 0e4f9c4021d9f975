#include "app/FileDialogs.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QCoreApplication>
#include <QEvent>
#include <QFileDialog>

namespace {

class TCompletionCloser : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Hide && qobject_cast<QFileDialog*>(watched))
      for (QCompleter* completer : watched->findChildren<QCompleter*>())
        if (QAbstractItemView* list = completer->popup(); list && list->isVisible()) list->hide();
    return false;
  }
};

}  // namespace

void CloseFileDialogCompletions(QCoreApplication& app) {
  const char* const name = "TCompletionCloser";
  if (app.findChild<QObject*>(name, Qt::FindDirectChildrenOnly)) return;
  auto* closer = new TCompletionCloser(&app);
  closer->setObjectName(name);
  app.installEventFilter(closer);
}
