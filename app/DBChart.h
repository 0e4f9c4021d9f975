#pragma once
// A line chart bound to a table of the database: x values from a date-time field, y values
// from a float field, in the order of the table's primary index. Bind() sets table and
// fields; Refresh() reads the rows again.
#include <QChartView>
#include <string>

class QLineSeries;

class TDBChart : public QChartView {
  Q_OBJECT
 public:
  explicit TDBChart(QWidget* parent = nullptr);

  QLineSeries* Series() const { return series_; }
  void SetTitle(const std::string& title);
  std::string Title() const;

  // Binds the series and reads the rows.
  void Bind(const std::string& databaseName, const std::string& tableName, const std::string& xField,
            const std::string& yField);
  // Reads the bound table again; an empty series when it cannot be read.
  void Refresh();
  const std::string& TableName() const { return table_; }
  const std::string& YField() const { return yField_; }
  int PointCount() const;

 signals:
  void doubleClicked();

 protected:
  void mouseDoubleClickEvent(QMouseEvent* e) override;

 private:
  QLineSeries* series_;
  std::string database_, table_, xField_ = "DateTime", yField_ = "Sensor1";
};
