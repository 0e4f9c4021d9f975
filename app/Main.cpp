#include "app/Main.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLineSeries>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTabBar>
#include <QTableView>
#include <QTimer>
#include <exception>
#include <optional>
#include <vector>

#include "app/DBChart.h"
#include "app/DataBase.h"
#include "app/DatabaseMove.h"
#include "app/ErrorText.h"
#include "app/IntervallFrm.h"
#include "app/KorvidanVersionForm.h"
#include "app/Localregistry.h"
#include "app/SharedState.h"
#include "app/SmallForms.h"
#include "app/UiThread.h"
#include "app/ValueBoard.h"
#include "link/KorvidanVersion.h"
#include "link/RS485BusNew.h"
#include "link/ThGetData.h"
#include "platform/Database.h"
#include "platform/DateTime.h"
#include "platform/Text.h"
#include "programming/ProgDataTransfer.h"
#include "ui_Main.h"

TForm1* Form1 = nullptr;
TControllerList* ControllerList = nullptr;
std::function<bool(const std::string& text)> TForm1::ConfirmSink;

namespace {

const char* const kStopped = "Datenabfrage gestoppt";
const char* const kUpdateQuestion =
    "Soll die Datenbank mit den aktuellen Werten aktualisiert werden?    \n"
    "Die Erfassung aktueller Werte wird solange unterbrochen!";

// Runs the window thread's events (painting, timers, the port's notifications, work queued
// by other threads) until done() holds or timeoutMs (-1: no limit) have passed; with
// ExcludeUserInputEvents among the flags, what the user does waits until afterwards.
// The events are taken straight from the dispatcher, which blocks until one comes: a nested
// event loop would return at once, handling nothing, once the application's loop has been
// told to quit (the wait would then spin). The timer wakes the wait to look at done().
void WaitHandlingEvents(const std::function<bool()>& done, int timeoutMs,
                        QEventLoop::ProcessEventsFlags flags = QEventLoop::AllEvents) {
  QElapsedTimer t;
  t.start();
  QTimer wake;
  wake.start(10);
  while (!(done && done()) && (timeoutMs < 0 || t.elapsed() < timeoutMs))
    QCoreApplication::processEvents(flags | QEventLoop::WaitForMoreEvents);
}

// Sets a flag for its own lifetime and then gives it back the value it had.
class TFlagScope {
 public:
  explicit TFlagScope(bool& flag) : flag_(flag), was_(flag) { flag = true; }
  ~TFlagScope() { flag_ = was_; }
  TFlagScope(const TFlagScope&) = delete;
  TFlagScope& operator=(const TFlagScope&) = delete;

 private:
  bool& flag_;
  bool was_;
};

// The German display of a float field with the grid's format "#.##".
std::string GridNumber(double v) {
  std::string s = FormatFloat("#.##", v);
  if (s.empty() || s == "-") s = "0";
  for (char& c : s)
    if (c == '.') c = ',';
  return s;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// The grid's rows: "Datum", "Uhrzeit", "Sensor1" to "Sensor8" of a measurement table

class TMeasurementGridModel : public QAbstractTableModel {
 public:
  using QAbstractTableModel::QAbstractTableModel;

  static QStringList Columns() {
    QStringList c{"Datum", "Uhrzeit"};
    for (int i = 1; i <= 8; ++i) c << QString("Sensor%1").arg(i);
    return c;
  }

  // Reads every row of the table; an empty grid when it cannot be read.
  void Load(const std::string& databaseName, const std::string& tableName) {
    beginResetModel();
    rows_.clear();
    try {
      std::vector<std::string> fields;
      for (const QString& c : Columns()) fields.push_back(c.toStdString());
      TRowReader reader(databaseName, tableName, fields);
      while (reader.Next()) {
        std::vector<QString> row;
        row.push_back(QString::fromStdString(reader.AsString(0)));
        row.push_back(QString::fromStdString(reader.AsString(1)));
        for (int i = 2; i < 10; ++i)
          row.push_back(reader.IsNull(i) ? QString() : QString::fromStdString(GridNumber(reader.AsFloat(i))));
        rows_.push_back(std::move(row));
      }
    } catch (const std::exception&) {
      rows_.clear();
    }
    endResetModel();
  }

  int rowCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
  }
  int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : 10; }
  QVariant data(const QModelIndex& index, int role) const override {
    if (!index.isValid() || role != Qt::DisplayRole) return {};
    return rows_[static_cast<std::size_t>(index.row())][static_cast<std::size_t>(index.column())];
  }
  QVariant headerData(int section, Qt::Orientation o, int role) const override {
    if (role != Qt::DisplayRole) return {};
    if (o == Qt::Horizontal) return Columns().value(section);
    return {};
  }
  // The text of a cell (tests and the window).
  QString Cell(int row, int column) const { return data(index(row, column), Qt::DisplayRole).toString(); }

 private:
  std::vector<std::vector<QString>> rows_;
};

// ---------------------------------------------------------------------------------------
// Creation

TForm1::TForm1(QWidget* parent) : QMainWindow(parent), ui(std::make_unique<Ui::TForm1>()) {
  ui->setupUi(this);
  File1 = ui->File1;
  Edit1 = ui->Edit1;
  RS485Bus1 = ui->RS485Bus1;
  Werte = ui->Werte;
  Einstellungen1 = ui->Einstellungen1;
  Grafikmodul1 = ui->Grafikmodul1;
  Test1 = ui->Test1;
  Help1 = ui->Help1;
  DatenbankNeu1 = ui->DatenbankNeu1;
  Datenbankenverschieben1 = ui->Datenbankenverschieben1;
  korvidanprogrammieren1 = ui->korvidanprogrammieren1;
  gespeicherteDatenlesen1 = ui->gespeicherteDatenlesen1;
  Bezeichnung1 = ui->Bezeichnung1;
  aktuelleWerteanzeigen1 = ui->aktuelleWerteanzeigen1;
  Datenbankanzeigeaktualisieren1 = ui->Datenbankanzeigeaktualisieren1;
  Datenabfrage1 = ui->Datenabfrage1;
  Grafik1 = ui->Grafik1;
  Datenabfrage2 = ui->Datenabfrage2;
  FaxKonfiguration1 = ui->FaxKonfiguration1;
  Faxmodemkonfigurieren1 = ui->Faxmodemkonfigurieren1;
  SMSkonfigurieren1 = ui->SMSkonfigurieren1;
  Vorschaugrafik1 = ui->Vorschaugrafik1;
  Testfaxsenden1 = ui->Testfaxsenden1;
  About1 = ui->About1;
  Bevel1 = ui->Bevel1;
  TabControl1 = ui->TabControl1;
  TabBar1 = ui->TabBar1;
  DBGrid1 = ui->DBGrid1;
  // The menus' hints are shown when their titles are hovered.
  for (QMenu* m : {File1, Edit1, RS485Bus1, Werte, Einstellungen1, Grafikmodul1, Test1, Help1})
    m->menuAction()->setStatusTip(m->statusTip());
  // Every menu whose commands have a window is shown and enabled: "RS485Bus" for the
  // controller management, "Test" for the test fax.
  RS485Bus1->menuAction()->setVisible(true);
  Test1->menuAction()->setEnabled(true);
  Test1->menuAction()->setVisible(true);

  // Status bar: the hint, then the acquisition state.
  StatusPanel0 = new QLabel(this);
  StatusPanel0->setFixedWidth(400);
  StatusPanel1 = new QLabel(this);
  statusBar()->addPermanentWidget(StatusPanel0);
  statusBar()->addPermanentWidget(StatusPanel1, 1);

  TabBar1->setExpanding(false);
  TabBar1->setDrawBase(false);

  // Grid.
  gridModel_ = new TMeasurementGridModel(this);
  DBGrid1->setModel(gridModel_);
  DBGrid1->setSelectionBehavior(QAbstractItemView::SelectRows);
  DBGrid1->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  DBGrid1->verticalHeader()->setDefaultSectionSize(20);
  DBGrid1->verticalHeader()->hide();
  SizeGridColumns();

  // Preview charts: a red line each, no legend, dates as "dd.mm/hh:mm".
  DBChart1 = new TDBChart(ui->centralwidget);
  DBChart1->setObjectName("DBChart1");
  DBChart1->SetTitle("Sensor1");
  Series1 = DBChart1->Series();
  DBChart2 = new TDBChart(ui->centralwidget);
  DBChart2->setObjectName("DBChart2");
  DBChart2->SetTitle("Sensor2");
  Series2 = DBChart2->Series();

  ConnectMenu();
  connect(TabBar1, &QTabBar::currentChanged, this, [this](int) { Guarded([this] { TabControl1Enter(); }); });
  connect(TabBar1, &QTabBar::tabBarClicked, this, [this](int) { Guarded([this] { TabControl1Enter(); }); });

  if (!Form1) Form1 = this;
  FormCreate();
}

TForm1::~TForm1() {
  FormClose();
  LinkHooks() = TLinkHooks{};
  if (DataModule2) {
    DataModule2->SetGridEnabled = nullptr;
    DataModule2->RefreshPreviewCharts = nullptr;
  }
  if (ControllerList == controllers_.get()) ControllerList = nullptr;
  if (Form1 == this) Form1 = nullptr;
}

void TForm1::ConnectMenu() {
  auto on = [this](QAction* a, auto fn) {
    connect(a, &QAction::triggered, this, [this, a, fn] {
      // A checked item keeps its mark until its handler sets it: the handlers decide by the
      // state before the click (Qt has already flipped it).
      if (a->isCheckable()) a->setChecked(!a->isChecked());
      Guarded([this, fn] { (this->*fn)(); });
    });
  };
  auto seam = [this](QAction* a, std::function<void()> TForm1::*hook) {
    connect(a, &QAction::triggered, this, [this, hook] {
      Guarded([this, hook] {
        if (this->*hook) (this->*hook)();
      });
    });
  };
  on(Datenbankenverschieben1, &TForm1::Datenbankenverschieben1Click);
  on(aktuelleWerteanzeigen1, &TForm1::btShowValuesClick);
  on(Datenbankanzeigeaktualisieren1, &TForm1::UpdateDatabaseClick);
  on(Datenabfrage1, &TForm1::Datenabfrage1Click);
  on(Datenabfrage2, &TForm1::Datenabfrage2Click);
  on(About1, &TForm1::About1Click);
  seam(korvidanprogrammieren1, &TForm1::ShowProgrammingWindow);
  seam(gespeicherteDatenlesen1, &TForm1::StartStoredDataRead);
  seam(Bezeichnung1, &TForm1::ShowControllerManagement);
  seam(Grafik1, &TForm1::ShowChartSelection);
  seam(Vorschaugrafik1, &TForm1::ShowOverviewCharts);
  seam(FaxKonfiguration1, &TForm1::ShowFaxHeaderDialog);
  seam(Faxmodemkonfigurieren1, &TForm1::ShowFaxModemSelection);
  seam(Testfaxsenden1, &TForm1::SendTestFax);
}

void TForm1::FormCreate() {
  TDataModule2::FTypesWritten = false;
  FFirstShow = true;
  MainFlags.FFaxSent = false;
  MainFlags.FFaxError = false;
  FState.SetDataReceived(false);
  FState.SetSecondsCounter(0);
  FState.SetIntervalSeconds(900);

  ReportDamagedSettings();
  InitRegistryDefaults();
  FState.FInputBuffer.Clear();
  FProgData = std::make_unique<TProgData>();

  InstallHooks();
  MainFlags.FTempDataMerged = true;

  controllers_ = std::make_unique<TControllerList>();
  ControllerList = controllers_.get();
  FTerminateEvent = std::make_unique<TEvent>(false, false, "Terminate");
  FVersionEvent = std::make_unique<TEvent>(false, false, VersionEventName);
  FVersionTerminateEvent = std::make_unique<TEvent>(false, false, VersionTerminateEventName);

  FillDeviceTabs();
  StatusPanel1->setText(QString::fromUtf8(kStopped));
  const int seconds = ReadInterval() * 60;
  FState.SetIntervalSeconds(seconds);
}

// What the link layer and the database module do to this window. Work from other threads
// is queued to the window thread with this window as its context, so that nothing runs on
// a window that is gone.
void TForm1::InstallHooks() {
  TLinkHooks& h = LinkHooks();
  h.MessageBox = [](const std::string& text, const std::string& caption, TBoxKind kind) {
    TMsgKind k = kind == TBoxKind::Error     ? TMsgKind::Error
                 : kind == TBoxKind::Warning ? TMsgKind::Warning
                 : kind == TBoxKind::Plain   ? TMsgKind::Plain
                                             : TMsgKind::Information;
    ShowMessage(text, k, caption);
  };
  QPointer<QLabel> panel = StatusPanel1;
  h.StatusText = [this, panel](const std::string& text) {
    QString t = QString::fromStdString(text);
    RunOnWindowThread(
        [panel, t] {
          if (panel) panel->setText(t);
        },
        this);
  };
  h.ProcessMessages = [] {
    if (OnWindowThread() && QCoreApplication::instance()) QCoreApplication::processEvents();
    ProcessMessages();
  };
  h.ShowCurrentValues = [](TControllerList& list) {
    if (Form2) Form2->ShowCurrentValues(list);
  };
  h.StoreCurrentValues = [](TControllerList& list) {
    if (DataModule2) DataModule2->StoreCurrentValues(list);
  };
  h.ErrorText = [](const std::exception& e) { return ErrorText(e); };
}

void TForm1::ConnectModules() {
  if (!DataModule2) return;
  QPointer<TForm1> self(this);
  DataModule2->SetGridEnabled = [self](bool on) {
    if (self) self->DBGrid1->setEnabled(on);
  };
  DataModule2->RefreshPreviewCharts = [self] {
    if (self) Guarded([&] { self->ReloadViews(); });
  };
}

// ---------------------------------------------------------------------------------------
// Show, resize, hints

void TForm1::showEvent(QShowEvent* e) {
  QMainWindow::showEvent(e);
  FormResize();
  if (FFirstShow) {
    FFirstShow = false;
    // After the window has appeared: the version dialog and the start question.
    QTimer::singleShot(0, this, [this] { Guarded([this] { FirstShow(); }); });
  }
  DBChart1->show();
  DBChart2->show();
}

void TForm1::FirstShow() {
  if (VersionForm) {
    VersionForm->exec();
    // The query has ended once its thread has; a dialog given up before any query needs
    // no wait beyond the event it set itself.
    const bool queried = VersionForm->Query.VersionThread().Valid();
    FVersionThread = VersionForm->Query.VersionThread();
    if (queried || FVersionTerminateEvent->IsSet()) FVersionTerminateEvent->WaitForPumping(INFINITE);
  }
  if (closed_) return;
  if (StartupFrm) {
    // The buttons run inside the dialog's own loop: a table that cannot be made shows its box.
    StartupFrm->OnYes = [this] {
      Guarded([this] {
        ScanBus();
        StartAcquisition();
        Datenabfrage1->setChecked(true);
      });
    };
    StartupFrm->OnNo = [this] {
      Guarded([this] {
        ScanBus();
        Datenabfrage1->setChecked(false);
      });
    };
    StartupFrm->exec();
  }
}

bool TForm1::event(QEvent* e) {
  // The application's hint: the long hint of the item under the mouse, in panel 0.
  if (e->type() == QEvent::StatusTip) {
    StatusPanel0->setText(static_cast<QStatusTipEvent*>(e)->tip());
    return true;
  }
  return QMainWindow::event(e);
}

void TForm1::resizeEvent(QResizeEvent* e) {
  QMainWindow::resizeEvent(e);
  FormResize();
}

void TForm1::FormResize() {
  if (!DBChart1 || !DBChart2) return;  // not built yet
  // The charts share the band above the tabs; tabs and grid fill the rest of the window.
  QWidget* client = ui->centralwidget;
  const int w = client->width();
  const int h = client->height();
  Bevel1->setGeometry(0, 0, w, 2);
  DBChart1->setGeometry(0, 2, w / 2, 136);
  DBChart2->setGeometry(w / 2, 2, w - w / 2, 136);
  TabControl1->setGeometry(0, 140, w, std::max(0, h - 140));
  TabBar1->setGeometry(4, 2, std::max(0, w - 8), 23);
  DBGrid1->setGeometry(4, 25, std::max(0, w - 8), std::max(0, h - 140 - 29));
}

// ---------------------------------------------------------------------------------------
// Close

void TForm1::closeEvent(QCloseEvent* e) {
  Guarded([this] { FormClose(); });
  e->accept();
  // The other windows go with the main window.
  if (Form2) Form2->hide();
  QCoreApplication::quit();
}

void TForm1::FormClose() {
  if (closed_) return;
  closed_ = true;
  if (IsCollecting()) {
    // The window thread goes on handling its events while it waits: the box stays painted,
    // the port still delivers the running cycle's bytes, and boxes that the ending cycle
    // raises appear beside it. Being modal, the box keeps the other windows from starting
    // anything meanwhile.
    if (DialogExit) {
      DialogExit->setWindowModality(Qt::ApplicationModal);
      DialogExit->show();
    }
    WaitHandlingEvents(nullptr, 1000);
    if (FDataThread.Valid()) {
      FDataThread.Terminate();
      FState.Wake();
      WaitHandlingEvents([this] { return FDataThread.Finished(); }, -1);
    }
    StopAcquisition();
    if (DialogExit) DialogExit->hide();
    MergeAfterStop();
  }
  // The controllers go, and with them the tabs' tables.
  {
    std::lock_guard<TCriticalSection> g(SensorDataLock);
    controllers_ = std::make_unique<TControllerList>();
    ControllerList = controllers_.get();
  }
  if (DataModule1) {
    try {
      DataModule1->SioComPort1.SetOpen(false);
    } catch (const std::exception& e) {
      ShowError(e);
    }
  }
}

void TForm1::MergeAfterStop() {
  if (!MainFlags.FTempDataMerged && DataModule2 && controllers_ && controllers_->GetControllerCount() > 0)
    DataModule2->MergeTempTables(*controllers_);
}

// ---------------------------------------------------------------------------------------
// Controllers, tabs and acquisition

void TForm1::FillDeviceTabs() {
  inTabHandler_ = true;
  while (TabBar1->count() > 0) TabBar1->removeTab(0);
  const int count = controllers_ ? controllers_->GetControllerCount() : 0;
  for (int i = 0; i < count; ++i)
    if (TKorvidan* c = controllers_->GetController(i))
      TabBar1->addTab(QString::fromStdString(c->GetIdent()->GetName()));
  inTabHandler_ = false;
  if (TabBar1->count() > 0) TabControl1Enter();
}

void TForm1::ScanBus() {
  if (!DataModule1) return;
  DataModule1->FillDeviceTabs = [this] { FillDeviceTabs(); };
  DataModule1->ScanBus(*controllers_);
  if (ControllersRegistered) ControllersRegistered();
}

TKorvidan* TForm1::SelectedController() const {
  if (!controllers_ || controllers_->GetControllerCount() == 0) return nullptr;
  const int tab = TabBar1->currentIndex();
  return tab < 0 ? nullptr : controllers_->GetController(tab);
}

bool TForm1::IsCollecting() const {
  return FState.GetDataCollecting() || (FDataThread.Valid() && !FDataThread.Finished());
}

void TForm1::StartAcquisition() {
  // One acquisition at a time: two threads would poll the same bus against each other.
  if (IsCollecting() || !DataModule1) return;
  FDataThread = ThGetData::Create(*DataModule1, *controllers_, FState);
}

bool TForm1::StopAcquisition() {
  if (!FDataThread.Valid()) return !closed_;
  FDataThread.Terminate();
  FState.Wake();
  if (!FDataThread.Finished()) {
    // The running cycle ends after its listening, up to 20 s. Meanwhile the windows are
    // painted, the port delivers the cycle's bytes and the cycle's boxes appear, the cursor
    // shows the wait, and what the user does is taken afterwards.
    TFlagScope busy(busy_);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    WaitHandlingEvents([this] { return FDataThread.Finished(); }, -1, QEventLoop::ExcludeUserInputEvents);
    QApplication::restoreOverrideCursor();
  }
  FDataThread.WaitFor();
  return !closed_;
}

void TForm1::ToggleDataCollection() {
  if (IsCollecting()) {
    if (!StopAcquisition()) return;
    if (Datenabfrage1->isChecked()) {
      Datenabfrage1->setChecked(false);
      ShowMessage("Datenabfrage beendet !");
    } else {
      ShowMessage("Bitte warten, die Datenabfrage ist noch nicht beendet !");
    }
  } else {
    FState.SetSecondsCounter(FState.GetIntervalSeconds());
    StartAcquisition();
    Datenabfrage1->setChecked(true);
    ShowMessage("Datenabfrage gestartet !");
  }
}

void TForm1::TabControl1Enter() {
  if (inTabHandler_) return;
  TKorvidan* c = SelectedController();
  if (!c || !DataModule2) return;
  const std::string name = c->GetIdent()->GetName();
  TDataModule2& dm = *DataModule2;
  std::optional<EDatabaseError> foreign;
  {
    // Table1 is also the merge's table.
    std::lock_guard<TCriticalSection> g(TempTableLock);
    for (TTable* t : {&dm.Table4, &dm.Table3, &dm.Table2, &dm.Table1}) t->Close();
    for (TTable* t : {&dm.Table4, &dm.Table1, &dm.Table2, &dm.Table3}) t->SetTableName(name);
    if (!dm.Table1.Exists()) {
      TDataModule2::DefineMeasurementFields(dm.Table1, true);
      dm.Table1.CreateTable();
    }
    // A file of another program in the table's place is left as it is: no table opens on it,
    // and the grid and the charts find nothing of theirs in it (its box comes once the
    // temporary tables are free again).
    try {
      TDataModule2::CheckLayout(dm.Table1, TDataModule2::MeasurementLayout());
    } catch (const EDatabaseError& e) {
      foreign = e;
    }
    if (!foreign) {
      dm.SetGridDisplayFormats(*c);
      if (ReloadOverviewCharts) ReloadOverviewCharts();
      for (TTable* t : {&dm.Table4, &dm.Table3, &dm.Table2, &dm.Table1}) t->Open();
    }
  }
  if (foreign) ShowError(*foreign);
  ReloadViews();
}

void TForm1::SizeGridColumns() {
  // All ten columns fit the window's default width: date, time (65) and the eight sensors.
  DBGrid1->setColumnWidth(0, 80);
  DBGrid1->setColumnWidth(1, 65);
  for (int i = 2; i < 10; ++i) DBGrid1->setColumnWidth(i, 72);
}

void TForm1::ReloadViews() {
  if (!DataModule2) return;
  gridModel_->Load(DataModule2->Table4.DatabaseName(), DataModule2->Table4.TableName());
  SizeGridColumns();
  if (gridModel_->rowCount() > 0) DBGrid1->scrollToBottom();
  GetDBChartSources();
}

void TForm1::GetDBChartSources() {
  if (!DataModule2) return;
  std::string left = ReadGraphicSourceName(0);
  std::string right = ReadGraphicSourceName(1);
  if (left.empty()) left = "Sensor1";
  if (right.empty()) right = "Sensor2";
  DBChart1->Bind(DataModule2->Table2.DatabaseName(), DataModule2->Table2.TableName(), "DateTime", left);
  DBChart2->Bind(DataModule2->Table3.DatabaseName(), DataModule2->Table3.TableName(), "DateTime", right);
  UpdateChartTitles();
}

void TForm1::UpdateChartTitles() {
  TKorvidan* c = SelectedController();
  if (!c || !DataModule2) return;
  auto title = [&](int side) {
    int n = 0;
    try {
      n = ReadGraphicSourceNumber(side);
    } catch (const std::exception&) {
      n = side + 1;
    }
    std::string type;
    try {
      type = DataModule2->ReadSensorType(*c, n - 1);
    } catch (const std::exception&) {
    }
    return "Sensor" + IntToStr(n) + ": " + type;
  };
  DBChart1->SetTitle(title(0));
  DBChart2->SetTitle(title(1));
}

// ---------------------------------------------------------------------------------------
// Menu commands

bool TForm1::Confirm(const std::string& text) {
  if (ConfirmSink) return ConfirmSink(text);
  QMessageBox box(QMessageBox::Question, QCoreApplication::applicationName(), QString::fromStdString(text),
                  QMessageBox::Yes | QMessageBox::No, this);
  box.button(QMessageBox::Yes)->setText("Ja");
  box.button(QMessageBox::No)->setText("Nein");
  FitToCaption(box);
  return box.exec() == QMessageBox::Yes;
}

void TForm1::btShowValuesClick() {
  if (!controllers_ || controllers_->GetControllerCount() == 0) {
    ShowMessage("Keine Korvidans am RS485-Bus erkannt!", TMsgKind::Warning);
    return;
  }
  if (!Form2) return;
  if (Form2->isVisible()) {
    aktuelleWerteanzeigen1->setChecked(false);
    Form2->hide();
  } else {
    if (QScreen* s = QGuiApplication::primaryScreen())
      Form2->move(s->availableGeometry().center() - Form2->rect().center());
    Form2->show();
    aktuelleWerteanzeigen1->setChecked(true);
    Form2->ShowCurrentValues(*controllers_);
  }
}

void TForm1::Datenabfrage1Click() {
  if (busy_) return;
  TFlagScope busy(busy_);
  ToggleDataCollection();
}

void TForm1::UpdateDatabaseClick() {
  if (busy_) return;
  TFlagScope busy(busy_);
  if (MainFlags.FTempDataMerged) {
    ShowMessage("Keine neuen Daten zum Kopieren vorhanden!");
    return;
  }
  if (!Confirm(kUpdateQuestion)) return;
  if (IsCollecting() && !StopAcquisition()) return;
  MergeAfterStop();
  StartAcquisition();
}

void TForm1::Datenbankenverschieben1Click() {
  if (busy_ || !DatabaseMoveForm) return;
  TFlagScope busy(busy_);
  DatabaseMoveForm->StartAcquisition = [this] { StartAcquisition(); };
  DatabaseMoveForm->show();
  if (!Confirm(kUpdateQuestion)) return;
  if (IsCollecting() && !StopAcquisition()) return;
  MergeAfterStop();
}

void TForm1::Datenabfrage2Click() {
  if (!IntervallFrm) return;
  IntervallFrm->exec();
}

void TForm1::About1Click() {
  if (AboutForm) AboutForm->exec();
}
