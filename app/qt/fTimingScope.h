#pragma once
// The timing scope: a strip chart of the last seconds (dit contact, dah
// contact, key, envelope) on one time axis with the dit grid, the latency
// histogram and the counts below it, and the text read back. It draws the
// form's timing model and changes nothing in the keyer.
#include <QWidget>
#include <functional>

#include "app/form/TimingModel.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTimer;

namespace app::qt {

// The chart itself. A click freezes it (and a second click lets it run);
// hovering over an element tells its lengths, errors and latency.
class TScopeChart : public QWidget {
 public:
  explicit TScopeChart(const TTimingModel& Model, QWidget* Parent = nullptr);

  void SetSpanSeconds(double Seconds);
  double SpanSeconds() const { return FSpan; }
  bool Frozen() const { return FFrozen; }
  void SetFrozen(bool Value);
  // The element under a point of the chart, if any.
  const TTimedElement* ElementAt(QPoint At) const;
  // The words hovering shows for an element.
  static QString Describe(const TTimedElement& Element);

  QSize sizeHint() const override { return {760, 220}; }

 protected:
  void paintEvent(QPaintEvent* Event) override;
  void mousePressEvent(QMouseEvent* Event) override;
  bool event(QEvent* Event) override;

 private:
  double TimeAt(int X) const;
  int XOf(double Time) const;
  double EndTime() const;

  const TTimingModel& FModel;
  double FSpan = 4;
  bool FFrozen = false;
  double FFrozenAt = 0;
};

// The latency histogram.
class TLatencyHistogram : public QWidget {
 public:
  explicit TLatencyHistogram(const TTimingModel& Model, QWidget* Parent = nullptr);
  QSize sizeHint() const override { return {760, 90}; }

 protected:
  void paintEvent(QPaintEvent* Event) override;

 private:
  const TTimingModel& FModel;
};

class TfrmTimingScope : public QWidget {
 public:
  // Model: the form's; Parent: the main window (the scope opens beside it).
  explicit TfrmTimingScope(TTimingModel& Model, QWidget* Parent = nullptr);

  // Redraws from the model (a timer does it while the scope is shown).
  void Refresh();
  // Saves the scope as it looks now; answers whether it was written.
  bool SaveImage(const QString& Path);
  // The Record button shows whether a recording runs.
  void SetRecording(bool On);

  TScopeChart* Chart;
  TLatencyHistogram* Histogram;
  QLabel* Counts;
  QLabel* Text;
  QComboBox* Span;
  QPushButton* ClearText;
  QPushButton* SaveButton;
  QPushButton* RecordButton;

 protected:
  void closeEvent(QCloseEvent* Event) override;

 public:
  // Runs when the scope closes (the form then stops tracing).
  std::function<void()> OnClosed;
  // Runs when the operator clicks Record.
  std::function<void()> OnRecord;

 private:
  TTimingModel& FModel;
  QTimer* FTimer;
};

}  // namespace app::qt
