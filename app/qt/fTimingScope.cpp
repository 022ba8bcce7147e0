#include "app/qt/fTimingScope.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace app::qt {

namespace {

// Lanes of the chart, top to bottom, and the room for the time axis.
constexpr int kLeft = 74, kRight = 8, kLane = 26, kEnvelope = 70, kAxis = 18;
constexpr int kTopDit = 6, kTopDah = kTopDit + kLane + 6, kTopKey = kTopDah + kLane + 6,
              kTopEnvelope = kTopKey + kLane + 6;

}  // namespace

TScopeChart::TScopeChart(const TTimingModel& Model, QWidget* Parent)
    : QWidget(Parent), FModel(Model) {
  setObjectName("Chart");
  setMouseTracking(true);
  // The lanes have fixed heights; the histogram takes what room is left.
  setFixedHeight(kTopEnvelope + kEnvelope + kAxis + 4);
  setAutoFillBackground(true);
}

void TScopeChart::SetSpanSeconds(double Seconds) {
  FSpan = std::clamp(Seconds, 2.0, TTimingModel::kKeepSeconds);
  update();
}

void TScopeChart::SetFrozen(bool Value) {
  FFrozen = Value;
  FFrozenAt = FModel.Now();
  update();
}

double TScopeChart::EndTime() const {
  return FFrozen ? FFrozenAt : FModel.Now();
}

double TScopeChart::TimeAt(int X) const {
  const int w = std::max(1, width() - kLeft - kRight);
  return EndTime() - FSpan + FSpan * (X - kLeft) / w;
}

int TScopeChart::XOf(double Time) const {
  const int w = std::max(1, width() - kLeft - kRight);
  return kLeft + static_cast<int>(std::lround((Time - (EndTime() - FSpan)) / FSpan * w));
}

const TTimedElement* TScopeChart::ElementAt(QPoint At) const {
  if (At.x() < kLeft) return nullptr;
  const double t = TimeAt(At.x());
  // Two pixels of slack, so a short dit can be found at any span.
  const double slack = 2 * FSpan / std::max(1, width() - kLeft - kRight);
  for (const TTimedElement& e : FModel.Elements())
    if (t >= e.Start - slack && t <= e.Start + e.MarkMs / 1000 + slack) return &e;
  return nullptr;
}

QString TScopeChart::Describe(const TTimedElement& E) {
  QString text = QString("%1: mark %2 ms (%3%4)")
                     .arg(E.Dah ? "dah" : "dit")
                     .arg(E.MarkMs, 0, 'f', 1)
                     .arg(E.MarkErrorMs >= 0 ? "+" : "")
                     .arg(E.MarkErrorMs, 0, 'f', 1);
  if (E.SpaceMs >= 0)
    text += QString(", space %1 ms (%2%3)")
                .arg(E.SpaceMs, 0, 'f', 1)
                .arg(E.SpaceErrorMs >= 0 ? "+" : "")
                .arg(E.SpaceErrorMs, 0, 'f', 1);
  text += E.LatencyMs >= 0 ? QString(", latency %1 ms").arg(E.LatencyMs, 0, 'f', 2)
                           : QString(", no closure of its own");
  return text;
}

void TScopeChart::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing, false);
  const QPalette& pal = palette();
  const int right = width() - kRight;
  const double start = EndTime() - FSpan, end = EndTime();

  // Lane names and frames.
  const struct {
    int Top;
    int Height;
    const char* Name;
  } lanes[] = {{kTopDit, kLane, "dit"},
               {kTopDah, kLane, "dah"},
               {kTopKey, kLane, "key"},
               {kTopEnvelope, kEnvelope, "envelope"}};
  for (const auto& lane : lanes) {
    p.setPen(pal.color(QPalette::Mid));
    p.drawRect(kLeft, lane.Top, right - kLeft, lane.Height);
    p.setPen(pal.color(QPalette::WindowText));
    p.drawText(QRect(4, lane.Top, kLeft - 8, lane.Height), Qt::AlignVCenter | Qt::AlignRight,
               lane.Name);
  }

  // The dit grid of the current speed, through the newest element's start.
  const double dit = FModel.DitSeconds();
  if (dit > 0 && FSpan / dit < 2000) {
    const double origin = FModel.Elements().empty() ? 0 : FModel.Elements().back().Start;
    p.setPen(QPen(pal.color(QPalette::Midlight), 1, Qt::DotLine));
    for (double t = origin - std::ceil((origin - start) / dit) * dit; t <= end; t += dit) {
      const int x = XOf(t);
      if (x >= kLeft && x <= right) p.drawLine(x, kTopDit, x, kTopEnvelope + kEnvelope);
    }
  }

  // A step trace: high while on.
  const auto steps = [&](int Top, const std::vector<std::pair<double, bool>>& Changes,
                         const QColor& Colour) {
    p.setPen(QPen(Colour, 2));
    const int high = Top + 4, low = Top + kLane - 4;
    bool on = false;
    int x = kLeft;
    for (const auto& [t, state] : Changes) {
      if (t < start) {
        on = state;
        continue;
      }
      const int nx = std::min(right, XOf(t));
      p.drawLine(x, on ? high : low, nx, on ? high : low);
      p.drawLine(nx, high, nx, low);
      x = nx;
      on = state;
    }
    p.drawLine(x, on ? high : low, right, on ? high : low);
  };
  std::vector<std::pair<double, bool>> dits, dahs, keys;
  for (const TContactChange& c : FModel.Contacts())
    (c.Dit ? dits : dahs).emplace_back(c.Time, c.Closed);
  for (const TKeyEdge& k : FModel.KeyEdges())
    keys.emplace_back(k.Time, k.Down);
  steps(kTopDit, dits, QColor(0, 110, 200));
  steps(kTopDah, dahs, QColor(200, 90, 0));
  steps(kTopKey, keys, QColor(0, 140, 60));

  // The envelope as drawn, full scale at the key level of 0.7.
  QPainterPath path;
  bool first = true;
  for (const TEnvelopePoint& e : FModel.Envelope()) {
    if (e.Time < start || e.Time > end) continue;
    const double y = kTopEnvelope + kEnvelope - 3 - e.Value / 0.7 * (kEnvelope - 6);
    if (first)
      path.moveTo(XOf(e.Time), y);
    else
      path.lineTo(XOf(e.Time), y);
    first = false;
  }
  p.setPen(QPen(pal.color(QPalette::WindowText), 1));
  p.setRenderHint(QPainter::Antialiasing, true);
  p.drawPath(path);
  p.setRenderHint(QPainter::Antialiasing, false);

  // The time axis: seconds before the newest moment.
  const int axis = kTopEnvelope + kEnvelope + 2;
  p.setPen(pal.color(QPalette::WindowText));
  for (int s = 0; s <= static_cast<int>(FSpan); ++s) {
    const int x = XOf(end - s);
    p.drawLine(x, axis, x, axis + 4);
    // Labels stay inside the chart at both ends.
    const int lx = std::clamp(x - 30, 0, width() - 60);
    p.drawText(QRect(lx, axis + 3, 60, kAxis - 3),
               (x - 30 > width() - 60 ? Qt::AlignRight : Qt::AlignHCenter) | Qt::AlignTop,
               s == 0 ? (FFrozen ? QString("frozen") : QString("now")) : QString("-%1 s").arg(s));
  }
}

void TScopeChart::mousePressEvent(QMouseEvent* Event) {
  if (Event->button() == Qt::LeftButton) SetFrozen(!FFrozen);
}

bool TScopeChart::event(QEvent* Event) {
  if (Event->type() == QEvent::ToolTip) {
    auto* help = static_cast<QHelpEvent*>(Event);
    if (const TTimedElement* e = ElementAt(help->pos()))
      QToolTip::showText(help->globalPos(), Describe(*e), this);
    else
      QToolTip::hideText();
    return true;
  }
  return QWidget::event(Event);
}

TLatencyHistogram::TLatencyHistogram(const TTimingModel& Model, QWidget* Parent)
    : QWidget(Parent), FModel(Model) {
  setObjectName("Histogram");
  setMinimumHeight(80);
}

void TLatencyHistogram::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const std::vector<int> bins = FModel.LatencyHistogram();
  const int most = std::max(1, *std::max_element(bins.begin(), bins.end()));
  const int left = kLeft, right = width() - kRight, bottom = height() - 16, top = 4;
  const double w = static_cast<double>(right - left) / TTimingModel::kBins;
  p.setPen(palette().color(QPalette::WindowText));
  p.drawText(QRect(2, top, left - 6, bottom - top), Qt::AlignVCenter | Qt::AlignRight, "latency");
  for (int i = 0; i < TTimingModel::kBins; ++i) {
    const int h = bins[static_cast<size_t>(i)] * (bottom - top) / most;
    p.fillRect(QRectF(left + i * w + 1, bottom - h, w - 2, h), QColor(0, 110, 200));
  }
  p.drawLine(left, bottom, right, bottom);
  for (int ms = 0; ms <= 20; ms += 5) {
    const int x = left + static_cast<int>(ms / TTimingModel::kBinMs * w);
    const int lx = std::clamp(x - 25, 0, width() - 50);
    p.drawText(QRect(lx, bottom + 1, 50, 14),
               x - 25 > width() - 50 ? Qt::AlignRight : Qt::AlignHCenter,
               ms == 20 ? QString("20+ ms") : QString("%1").arg(ms));
  }
}

TfrmTimingScope::TfrmTimingScope(TTimingModel& Model, QWidget* Parent)
    : QWidget(Parent, Qt::Window), FModel(Model) {
  setObjectName("frmTimingScope");
  setWindowTitle("Timing scope");
  auto* layout = new QVBoxLayout(this);
  auto* bar = new QHBoxLayout;
  bar->addWidget(new QLabel("Span", this));
  Span = new QComboBox(this);
  Span->setObjectName("Span");
  for (int s : {2, 4, 6, 10})
    Span->addItem(QString("%1 s").arg(s), s);
  Span->setCurrentIndex(1);
  bar->addWidget(Span);
  bar->addStretch(1);
  RecordButton = new QPushButton("Record", this);
  RecordButton->setObjectName("Record");
  RecordButton->setCheckable(true);
  bar->addWidget(RecordButton);
  SaveButton = new QPushButton("Save as PNG...", this);
  SaveButton->setObjectName("SaveImage");
  bar->addWidget(SaveButton);
  layout->addLayout(bar);

  Chart = new TScopeChart(Model, this);
  layout->addWidget(Chart, 3);
  Histogram = new TLatencyHistogram(Model, this);
  layout->addWidget(Histogram, 1);
  Counts = new QLabel(this);
  Counts->setObjectName("Counts");
  layout->addWidget(Counts);
  auto* textRow = new QHBoxLayout;
  Text = new QLabel(this);
  Text->setObjectName("Text");
  Text->setTextFormat(Qt::PlainText);
  Text->setTextInteractionFlags(Qt::TextSelectableByMouse);
  QFont mono = Text->font();
  mono.setStyleHint(QFont::Monospace);
  mono.setFamily("monospace");
  Text->setFont(mono);
  textRow->addWidget(Text, 1);
  ClearText = new QPushButton("Clear", this);
  ClearText->setObjectName("ClearText");
  textRow->addWidget(ClearText);
  layout->addLayout(textRow);

  connect(Span, &QComboBox::currentIndexChanged, this,
          [this] { Chart->SetSpanSeconds(Span->currentData().toInt()); });
  connect(SaveButton, &QPushButton::clicked, this, [this] {
    const QString path = QFileDialog::getSaveFileName(this, "Save the timing scope",
                                                      "timing-scope.png", "PNG images (*.png)");
    if (!path.isEmpty()) SaveImage(path);
  });
  connect(RecordButton, &QPushButton::clicked, this, [this] {
    if (OnRecord) OnRecord();
  });
  connect(ClearText, &QPushButton::clicked, this, [this] {
    FModel.ClearText();
    Refresh();
  });
  FTimer = new QTimer(this);
  FTimer->setInterval(50);
  connect(FTimer, &QTimer::timeout, this, [this] { Refresh(); });
  FTimer->start();
  resize(800, 460);
  Refresh();
}

void TfrmTimingScope::Refresh() {
  Counts->setText(QString("Elements %1    spaces too long %2, too short %3 (by more than 10 % "
                          "of a dit)    bounces %4")
                      .arg(FModel.ElementCount())
                      .arg(FModel.SpacesTooLong())
                      .arg(FModel.SpacesTooShort())
                      .arg(FModel.Bounces()));
  std::string text = FModel.Decoder().Text();
  const std::string pending = FModel.Decoder().Pending();
  if (!pending.empty()) text += "[" + pending + "]";
  Text->setText(QString::fromStdString(text.empty() ? std::string(" ") : text));
  if (!Chart->Frozen()) Chart->update();
  Histogram->update();
}

void TfrmTimingScope::closeEvent(QCloseEvent* Event) {
  QWidget::closeEvent(Event);
  if (OnClosed) OnClosed();
}

void TfrmTimingScope::SetRecording(bool On) {
  const QSignalBlocker block(RecordButton);
  RecordButton->setChecked(On);
}

bool TfrmTimingScope::SaveImage(const QString& Path) {
  Refresh();
  return grab().save(Path, "PNG");
}

}  // namespace app::qt
