#pragma once
// The page orientation of a chart print, and the print itself.
//
// A chart goes to the system's default printer. Where no printer is installed it goes to a
// PDF file instead (PdfFileName, else "Grafik Sensor <date> <time>.pdf" in the current
// directory, never over an earlier print), and a box names the file.
#include <QDialog>
#include <functional>
#include <memory>
#include <string>

class QChartView;
class QPainter;
class QRectF;
class QRadioButton;

namespace Ui {
class TPrintOrientationForm;
}

// 1 when the last print was landscape, 0 for portrait (the start).
extern int PrintLandscape;

struct TChartPrinting {
  // Whether the system has a printer to print on (replaceable for tests).
  static std::function<bool()> PrinterInstalled;
  // The PDF file of a print without a printer; empty: a new name for every print.
  static std::string PdfFileName;
};

// Prints the chart onto one page of the given orientation, within a margin of 15 mm (laid out
// in the proportions of the rest of the page). Returns the PDF file's
// name when it went to one, "" when it went to the printer; throws std::runtime_error when
// printing cannot begin.
std::string PrintChart(QChartView& chart, bool landscape);
// Draws the chart over the whole of the page rectangle, laid out in its proportions.
void RenderChartOnPage(QChartView& chart, QPainter& painter, const QRectF& page);

class TPrintOrientationForm : public QDialog {
  Q_OBJECT
 public:
  explicit TPrintOrientationForm(QWidget* parent = nullptr);
  ~TPrintOrientationForm() override;

  QRadioButton* Hochkant;
  QRadioButton* Quer;
  // The chart that "Print" prints.
  QChartView* Chart = nullptr;

  // Presets the orientation of the last print.
  void FormShow();
  void HochkantClick();
  void QuerClick();
  // Takes the orientation, closes the dialog and prints the chart.
  void Button1Click();

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  std::unique_ptr<Ui::TPrintOrientationForm> ui;
};

extern TPrintOrientationForm* PrintOrientationForm;
