#pragma once
// The choice of the sensor each of the main window's two preview charts shows: a tab per
// chart ("Grafik links", "Grafik rechts") over the list of the selected controller's
// sensors. Leaving the list takes the selected sensor as that chart's source (stored in
// the settings) and redraws both charts.
#include <QDialog>
#include <functional>
#include <memory>

class QListWidget;
class QTabBar;
class TDataModule2;
class TKorvidan;

namespace Ui {
class TGrafikAuswahlForm;
}

class TGrafikAuswahlForm : public QDialog {
  Q_OBJECT
 public:
  explicit TGrafikAuswahlForm(TDataModule2& database, QWidget* parent = nullptr);
  ~TGrafikAuswahlForm() override;

  QTabBar* TabBar1;
  QListWidget* ListBox1;

  // The main window's selected controller, and the redraw of its preview charts (sources
  // and titles from the settings).
  std::function<TKorvidan*()> SelectedController;
  std::function<void()> RefreshPreviewCharts;

  void FormShow();
  void TabControl1Enter();
  void ListBox1Exit();
  void Button1Click();

 protected:
  void showEvent(QShowEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::unique_ptr<Ui::TGrafikAuswahlForm> ui;
  TDataModule2& db_;
};

extern TGrafikAuswahlForm* GrafikAuswahlForm;
