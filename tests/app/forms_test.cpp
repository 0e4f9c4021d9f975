// The small forms of the settings and the database: the interval dialog, the merge's
// progress box and main-window effects on the window thread, and a file dialog typed into.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QWindow>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "app/DataBase.h"
#include "app/DatabaseMove.h"
#include "app/DlgUpdate.h"
#include "app/FileDialogs.h"
#include "app/IntervallFrm.h"
#include "app/Localregistry.h"
#include "app/SharedState.h"
#include "app/UiThread.h"
#include "fax/ui/OnScreen.h"
#include "platform/Registry.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// Handles the window thread's events until the condition holds (false after 10 s).
bool WaitFor(const std::function<bool()>& condition) {
  QElapsedTimer waited;
  waited.start();
  while (!condition() && waited.elapsed() < 10000)
    QApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
  return condition();
}

class FormsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetRegistryFile((dir_ / "registry.ini").string());
    Session().AddStandardAlias("Zelvanor", dir_);
    MessageSink = [this](const std::string& text, TMsgKind) { messages_.push_back(text); };
  }
  void TearDown() override {
    MessageSink = nullptr;
    SetRegistryFile("");
  }

  support::TempDir tmp_{"forms_"};
  const std::filesystem::path& dir_ = tmp_.path();
  std::vector<std::string> messages_;
};

TEST_F(FormsTest, IntervalDialogStoresMinutesAndSetsTheSeconds) {
  InitRegistryDefaults();
  TAcquisitionState state;
  state.SetIntervalSeconds(ReadInterval() * 60);
  TIntervallFrm dialog(state);
  EXPECT_EQ(dialog.windowTitle().toStdString(), "Systemeinstellungen");
  dialog.show();  // showing it enters the edit
  EXPECT_EQ(dialog.MaskEdit1->text().trimmed().toStdString(), "15");

  dialog.MaskEdit1->setText("30");
  dialog.Button1Click();
  EXPECT_EQ(state.GetIntervalSeconds(), 1800);
  EXPECT_EQ(ReadInterval(), 30);
  EXPECT_TRUE(messages_.empty());

  // No number: reported, nothing changes, the dialog stays.
  dialog.show();
  EXPECT_EQ(dialog.MaskEdit1->text().trimmed().toStdString(), "30");
  dialog.MaskEdit1->setText("");
  dialog.Button1Click();
  EXPECT_EQ(messages_.size(), 1u);
  EXPECT_EQ(state.GetIntervalSeconds(), 1800);
  EXPECT_EQ(ReadInterval(), 30);
  EXPECT_TRUE(dialog.isVisible());
  dialog.reject();  // Escape does not leave it
  EXPECT_TRUE(dialog.isVisible());

  // Leaving the edit takes its number at once, without storing it.
  dialog.MaskEdit1->setText("7");
  EXPECT_TRUE(dialog.MaskEdit1Exit());
  EXPECT_EQ(state.GetIntervalSeconds(), 420);
  EXPECT_EQ(ReadInterval(), 30);
  dialog.Button1Click();
  EXPECT_FALSE(dialog.isVisible());
}

// The settings ask for a title bar without buttons. A window manager that draws buttons all
// the same finds a dialog of fixed size, and one it minimises comes back at once: the dialog
// blocks the other windows while it is shown.
TEST_F(FormsTest, SystemSettingsAreLeftOnlyThroughOk) {
  InitRegistryDefaults();
  TAcquisitionState state;
  TIntervallFrm dialog(state);
  const Qt::WindowFlags flags = dialog.windowFlags();
  EXPECT_EQ(dialog.windowType(), Qt::Dialog);
  EXPECT_TRUE(flags.testFlag(Qt::CustomizeWindowHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowTitleHint));
  for (Qt::WindowType button :
       {Qt::WindowSystemMenuHint, Qt::WindowMinimizeButtonHint, Qt::WindowMaximizeButtonHint,
        Qt::WindowCloseButtonHint, Qt::WindowContextHelpButtonHint})
    EXPECT_FALSE(flags.testFlag(button)) << std::hex << button;

  KeepWindowsOnScreen();  // as the application does at start
  dialog.show();
  ASSERT_TRUE(WaitFor([&] { return dialog.windowHandle()->isExposed(); }));
  EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
  EXPECT_GE(dialog.width(), 240);
  dialog.windowHandle()->close();  // as the window manager's close
  EXPECT_TRUE(dialog.isVisible());
  dialog.setWindowState(dialog.windowState() | Qt::WindowMinimized);  // as its minimise
  EXPECT_TRUE(WaitFor([&] { return !dialog.isMinimized() && dialog.windowHandle()->isExposed(); }));
  EXPECT_TRUE(dialog.isVisible());
  dialog.Button1Click();
  EXPECT_FALSE(dialog.isVisible());

  // So is every window that asks for a title bar without those buttons (the firmware query's,
  // the programming transfers'); one that asks for them keeps what its buttons do.
  QDialog plain(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  QDialog buttoned(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint);
  for (QDialog* d : {&plain, &buttoned}) {
    d->show();
    ASSERT_TRUE(WaitFor([&] { return d->windowHandle()->isExposed(); }));
    d->setWindowState(Qt::WindowMaximized);
  }
  EXPECT_TRUE(WaitFor([&] { return plain.windowState() == Qt::WindowNoState; }));
  EXPECT_EQ(buttoned.windowState(), Qt::WindowMaximized);
  plain.setWindowState(Qt::WindowMinimized);
  EXPECT_TRUE(WaitFor([&] { return plain.windowState() == Qt::WindowNoState; }));
}

TEST_F(FormsTest, MergeShowsItsProgressAndTouchesTheMainWindowOnlyOnTheWindowThread) {
  TDlgUpdate box;
  EXPECT_EQ(box.windowTitle().toStdString(), "Datenbank aktualisieren");
  TDataModule2 module;
  module.DlgUpdate = &box;
  std::vector<std::pair<std::string, bool>> effects;  // what, on the window thread
  const auto window = std::this_thread::get_id();
  module.SetGridEnabled = [&](bool on) {
    effects.emplace_back(on ? "grid on" : "grid off", std::this_thread::get_id() == window);
  };
  module.RefreshPreviewCharts = [&] { effects.emplace_back("charts", std::this_thread::get_id() == window); };
  TControllerList list;
  for (const char* name : {"Korvidan1", "Korvidan2"}) {
    auto* c = new TKorvidan(list.GetControllerCount());
    c->GetIdent()->SetName(name);
    list.AddController(c);
  }
  module.StoreCurrentValues(list);

  // On the window thread: the box shows each pair of tables and is hidden at the end.
  module.MergeTempTables(list);
  EXPECT_FALSE(box.isVisible());
  EXPECT_EQ(box.ProgressBar1->value(), 0);
  EXPECT_EQ(box.SourceDB->text().toStdString(), "Korvidan2_Temp.DB");
  EXPECT_EQ(box.DestinationDB->text().toStdString(), "Korvidan2.db");
  EXPECT_EQ(effects, (std::vector<std::pair<std::string, bool>>{
                         {"grid off", true}, {"charts", true}, {"grid on", true}}));

  // From the acquisition thread: everything visible is queued for the window thread.
  effects.clear();
  box.SourceDB->clear();
  std::thread acquisition([&] {
    for (int i = 0; i < 5; ++i) module.StoreCurrentValues(list);  // the fifth row merges
  });
  acquisition.join();
  EXPECT_TRUE(effects.empty());
  EXPECT_TRUE(box.SourceDB->text().isEmpty());
  QApplication::processEvents();
  EXPECT_EQ(effects, (std::vector<std::pair<std::string, bool>>{
                         {"grid off", true}, {"charts", true}, {"grid on", true}}));
  EXPECT_EQ(box.SourceDB->text().toStdString(), "Korvidan2_Temp.DB");
  EXPECT_FALSE(box.isVisible());
  EXPECT_TRUE(MainFlags.FTempDataMerged);
  EXPECT_TRUE(messages_.empty());
}

// Sends a key with its text to a widget, as a user's key press reaches it.
void Key(QWidget* to, int key, const QString& text = {}) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
  QApplication::sendEvent(to, &press);
}

TEST_F(FormsTest, AFileDialogTakesItsListOfCompletionsAlongWhenATypedNameIsConfirmed) {
  CloseFileDialogCompletions(*QCoreApplication::instance());
  for (const char* name : {"Korvidan1.DB", "Korvidan2.DB"}) std::ofstream(dir_ / name).put('x');
  TDatabaseMoveForm form;
  QFileDialog& dialog = *form.OpenDialog1();
  dialog.setDirectory(QString::fromStdString(dir_.string()));
  dialog.open();
  auto* field = dialog.findChild<QLineEdit*>("fileNameEdit");
  ASSERT_NE(field, nullptr);
  QAbstractItemView* list = field->completer()->popup();
  dialog.activateWindow();
  ASSERT_TRUE(WaitFor([&] { return field->hasFocus(); }));

  // The path typed into the name field: the names that match are listed under it.
  const QString path = QString::fromStdString((dir_ / "Korvidan1.DB").string());
  for (QChar c : path) Key(field, c.toUpper().unicode(), c);
  ASSERT_TRUE(WaitFor([&] { return list->isVisible(); }));
  // Enter, which goes to the open list, confirms the name and closes the dialog and the list.
  ASSERT_EQ(QApplication::activePopupWidget(), list);
  Key(list, Qt::Key_Return);
  QApplication::processEvents();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.selectedFiles(), QStringList{path});
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_FALSE(list->isVisible());
}

}  // namespace

// The application object lives for the whole run and is destroyed before the program ends, so
// that Qt releases what it holds.
int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
