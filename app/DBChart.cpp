#include "app/DBChart.h"

#include <QChart>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QLineSeries>
#include <QValueAxis>
#include <algorithm>
#include <cmath>
#include <exception>

#include "platform/Database.h"
#include "platform/DateTime.h"

namespace {

// The smallest of 1, 2 or 5 times a power of ten that is at least x (x > 0).
double RoundStep(double x) {
  const double unit = std::pow(10.0, std::floor(std::log10(x)));
  for (double f : {1.0, 2.0, 5.0})
    if (x <= f * unit * (1 + 1e-9)) return f * unit;
  return 10 * unit;
}

// The value axis over the values lo..hi: at most four gridlines at round values (at least a
// hundredth apart, the values' resolution), labelled with the decimals the step needs, and
// the outermost gridlines half a step inside the axis, so that the lowest value's label never
// stands in the corner beside the first time label.
void SetValueRange(QValueAxis& axis, double lo, double hi) {
  if (hi <= lo) lo -= 1, hi += 1;
  double step = std::max(RoundStep((hi - lo) / 3), 0.01), first = 0, last = 0;
  for (;; step = RoundStep(step * 1.5)) {
    first = std::floor(lo / step + 1e-9) * step;
    last = std::ceil(hi / step - 1e-9) * step;
    if (last - first < 3.5 * step) break;
  }
  axis.setTickAnchor(first);
  axis.setTickInterval(step);
  axis.setRange(first - step / 2, last + step / 2);
  const int decimals = std::max(0, -static_cast<int>(std::floor(std::log10(step) + 1e-9)));
  axis.setLabelFormat(QString("%.%1f").arg(decimals));
}

QDateTime ToQDateTime(double stamp) {
  std::uint16_t y, m, d, h, n, s, ms;
  if (!DecodeDate(stamp, y, m, d)) return {};
  DecodeTime(stamp, h, n, s, ms);
  return QDateTime(QDate(y, m, d), QTime(h, n, s, ms));
}

}  // namespace

TDBChart::TDBChart(QWidget* parent) : QChartView(parent) {
  auto* chart = new QChart();
  chart->legend()->hide();
  chart->setBackgroundRoundness(0);
  chart->setMargins(QMargins(2, 2, 2, 2));
  series_ = new QLineSeries(chart);
  series_->setColor(Qt::red);
  series_->setPointsVisible(false);
  chart->addSeries(series_);
  auto* x = new QDateTimeAxis(chart);
  x->setFormat("dd.MM/hh:mm");
  x->setTickCount(4);
  auto* y = new QValueAxis(chart);
  y->setLabelFormat("%.1f");
  y->setTickType(QValueAxis::TicksDynamic);
  chart->addAxis(x, Qt::AlignBottom);
  chart->addAxis(y, Qt::AlignLeft);
  series_->attachAxis(x);
  series_->attachAxis(y);
  setChart(chart);
  setRenderHint(QPainter::Antialiasing);
}

void TDBChart::SetTitle(const std::string& title) { chart()->setTitle(QString::fromStdString(title)); }

std::string TDBChart::Title() const { return chart()->title().toStdString(); }

int TDBChart::PointCount() const { return static_cast<int>(series_->count()); }

void TDBChart::Bind(const std::string& databaseName, const std::string& tableName, const std::string& xField,
                    const std::string& yField) {
  database_ = databaseName;
  table_ = tableName;
  xField_ = xField;
  yField_ = yField;
  Refresh();
}

void TDBChart::Refresh() {
  QList<QPointF> points;
  double lo = 0, hi = 0;
  if (!table_.empty()) {
    try {
      TRowReader reader(database_, table_, {xField_, yField_});
      while (reader.Next()) {
        if (reader.IsNull(0) || reader.IsNull(1)) continue;
        const QDateTime t = ToQDateTime(reader.AsDateTime(0));
        if (!t.isValid()) continue;
        const double v = reader.AsFloat(1);
        if (!std::isfinite(v)) continue;  // no point to draw
        if (points.isEmpty()) lo = hi = v;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        points.append(QPointF(static_cast<qreal>(t.toMSecsSinceEpoch()), v));
      }
    } catch (const std::exception&) {
      points.clear();  // no table (yet): an empty chart
    }
  }
  series_->replace(points);
  const auto xs = chart()->axes(Qt::Horizontal);
  const auto ys = chart()->axes(Qt::Vertical);
  if (!points.isEmpty() && !xs.isEmpty() && !ys.isEmpty()) {
    const qint64 first = static_cast<qint64>(points.front().x());
    qint64 last = static_cast<qint64>(points.back().x());
    if (last <= first) last = first + 60000;
    xs.front()->setRange(QDateTime::fromMSecsSinceEpoch(first), QDateTime::fromMSecsSinceEpoch(last));
    if (auto* y = qobject_cast<QValueAxis*>(ys.front())) SetValueRange(*y, lo, hi);
  }
}

void TDBChart::mouseDoubleClickEvent(QMouseEvent* e) {
  QChartView::mouseDoubleClickEvent(e);
  emit doubleClicked();
}
