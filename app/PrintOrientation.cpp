#include "app/PrintOrientation.h"

#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QGraphicsLayout>
#include <QGraphicsScene>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <exception>
#include <stdexcept>

#include "app/ErrorText.h"
#include "app/UiThread.h"
#include "ui_PrintOrientation.h"

int PrintLandscape = 0;
TPrintOrientationForm* PrintOrientationForm = nullptr;

std::function<bool()> TChartPrinting::PrinterInstalled = [] {
  return !QPrinterInfo::defaultPrinter().isNull();
};
std::string TChartPrinting::PdfFileName;

namespace {

// A file name in the current directory that no earlier print has taken.
QString NewPdfFileName() {
  const QString stamp = QDateTime::currentDateTime().toString("yyyy-MM-dd hh-mm-ss");
  QString name = QDir::current().absoluteFilePath("Grafik Sensor " + stamp + ".pdf");
  for (int n = 2; QFileInfo::exists(name); ++n)
    name = QDir::current().absoluteFilePath(QString("Grafik Sensor %1 (%2).pdf").arg(stamp).arg(n));
  return name;
}

}  // namespace

void RenderChartOnPage(QChartView& chart, QPainter& painter, const QRectF& page) {
  // The chart is laid out anew in the page's proportions, at least as wide as on the screen,
  // so that it fills the whole page in either orientation; then it gets its own size back.
  QChart* c = chart.chart();
  const QSizeF shown = c->size();
  const qreal w = std::max<qreal>(shown.width(), 900);
  const QSizeF laid(w, w * page.height() / page.width());
  c->resize(laid);
  if (c->layout()) c->layout()->activate();
  chart.scene()->render(&painter, page, QRectF(c->pos(), laid), Qt::KeepAspectRatio);
  c->resize(shown);
  if (c->layout()) c->layout()->activate();
}

std::string PrintChart(QChartView& chart, bool landscape) {
  QPrinter printer(QPrinter::HighResolution);
  QString pdf;
  if (TChartPrinting::PrinterInstalled && TChartPrinting::PrinterInstalled()) {
    printer.setPrinterName(QPrinterInfo::defaultPrinter().printerName());
  } else {
    pdf = TChartPrinting::PdfFileName.empty() ? NewPdfFileName()
                                              : QString::fromStdString(TChartPrinting::PdfFileName);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(pdf);
  }
  printer.setPageOrientation(landscape ? QPageLayout::Landscape : QPageLayout::Portrait);
  // A margin all round the page (or the printer's own where it needs more).
  printer.setPageMargins(QMarginsF(15, 15, 15, 15), QPageLayout::Millimeter);
  printer.setDocName(chart.window()->windowTitle());
  QPainter painter;
  if (!painter.begin(&printer))
    throw std::runtime_error(pdf.isEmpty()
                                 ? "Der Drucker kann nicht benutzt werden."
                                 : "Die Datei \"" + pdf.toStdString() + "\" kann nicht geschrieben werden.");
  RenderChartOnPage(chart, painter, QRectF(0, 0, printer.width(), printer.height()));
  painter.end();
  return pdf.toStdString();
}

TPrintOrientationForm::TPrintOrientationForm(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::TPrintOrientationForm>()) {
  ui->setupUi(this);
  Hochkant = ui->Hochkant;
  Quer = ui->Quer;
  connect(Hochkant, &QRadioButton::clicked, this, [this] { HochkantClick(); });
  connect(Quer, &QRadioButton::clicked, this, [this] { QuerClick(); });
  connect(ui->Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  if (!PrintOrientationForm) PrintOrientationForm = this;
}

TPrintOrientationForm::~TPrintOrientationForm() {
  if (PrintOrientationForm == this) PrintOrientationForm = nullptr;
}

void TPrintOrientationForm::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  FormShow();
}

void TPrintOrientationForm::FormShow() { (PrintLandscape == 1 ? Quer : Hochkant)->setChecked(true); }

void TPrintOrientationForm::HochkantClick() { Hochkant->setChecked(true); }

void TPrintOrientationForm::QuerClick() { Quer->setChecked(true); }

void TPrintOrientationForm::Button1Click() {
  PrintLandscape = Quer->isChecked() ? 1 : 0;
  close();
  if (!Chart) return;
  try {
    const std::string pdf = PrintChart(*Chart, PrintLandscape == 1);
    if (!pdf.empty())
      ShowMessage("Kein Drucker eingerichtet: die Grafik wurde in die Datei \"" + pdf + "\" gedruckt.");
  } catch (const std::exception& e) {
    ShowError(e);
  }
}
