// The timing scope draws the form's timing model: elements found under the
// pointer with their lengths, errors and latency, a click that freezes it,
// the counts and the text, and a picture of it saved as PNG.
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>

#include "app/form/TimingModel.h"
#include "app/qt/fTimingScope.h"

namespace app::testing {
namespace {

// A model holding a dit and a dah keyed at 20 WPM, one second into a
// stream of 48000 samples a second, the dit 1.5 ms after its closure.
void Fill(TTimingModel& Model) {
  Model.SetSampleRate(48000);
  Model.SetDitSeconds(0.05);
  const int64_t ns = 1000000;  // the clock runs in nanoseconds
  std::vector<core::TTraceRecord> audio, other;
  const auto rec = [](core::TTraceEvent Event, int64_t Position, int32_t Value, int64_t Time) {
    core::TTraceRecord r;
    r.Event = Event;
    r.Position = Position;
    r.Value = Value;
    r.Time = Time;
    r.Source = core::tsAudio;
    return r;
  };
  // The dit paddle tapped, then the dah paddle pressed while the dit
  // sounds (it waits in the memory) and held into the dah.
  const auto line = [&](int32_t Line, bool Closed, int64_t Time) {
    core::TTraceRecord r;
    r.Source = core::tsPort;
    r.Event = core::teLine;
    r.Value = Line;      // 1 DSR: the dit contact; 0 CTS: the dah contact
    r.Value2 = !Closed;  // a closed contact makes its line inactive
    r.Time = Time;
    other.push_back(r);
  };
  line(1, true, 1000 * ns - 1500000);
  line(0, true, 1030 * ns);
  line(1, false, 1040 * ns);
  line(0, false, 1200 * ns);
  // One second of buffers: the newest moment is 2 s.
  for (int64_t b = 0; b < 48000 / 64; ++b)
    audio.push_back(
        rec(core::teBuffer, 48000 + b * 64, 64, 1000 * ns + b * 64 * 1000 * ns / 48000));
  // Buffers first, then edges: the model reads each edge against the
  // stream's timeline, whatever buffer it lies in.
  audio.push_back(rec(core::teKeyDown, 48000, 0, 0));
  audio.push_back(rec(core::teKeyUp, 48000 + 2400, 0, 0));
  audio.push_back(rec(core::teKeyDown, 48000 + 4800, 0, 0));
  audio.push_back(rec(core::teKeyUp, 48000 + 4800 + 7200, 0, 0));
  // The envelope follows the key with the filter's rise and fall.
  double envelope = 0;
  for (int64_t s = 48000; s < 48000 + 14400; s += 32) {
    const int64_t t = s - 48000;
    const bool down = t < 2400 || (t >= 4800 && t < 12000);
    envelope += ((down ? 0.7 : 0.0) - envelope) * 0.5;
    audio.push_back(rec(core::teEnvelope, s, static_cast<int32_t>(envelope * 1e6), 0));
  }
  Model.Add(audio, other);
}

TEST(TimingScope, ShowsElementsFreezesAndSavesAPicture) {
  TTimingModel model(1000000000);
  Fill(model);
  ASSERT_EQ(model.ElementCount(), 2);
  EXPECT_NEAR(model.Elements()[0].LatencyMs, 1.5, 1e-6);
  qt::TfrmTimingScope scope(model);
  scope.resize(800, 460);
  scope.Span->setCurrentIndex(0);  // 2 s
  scope.grab();                    // lays it out
  qt::TScopeChart& chart = *scope.Chart;
  EXPECT_EQ(chart.SpanSeconds(), 2);
  // The dit sits 1 s before the newest moment (2 s): halfway along.
  const int left = 74, width = chart.width() - left - 8;
  const int x = left + width / 2 + 1;
  const TTimedElement* dit = chart.ElementAt(QPoint(x, 60));
  ASSERT_NE(dit, nullptr);
  EXPECT_FALSE(dit->Dah);
  EXPECT_EQ(qt::TScopeChart::Describe(*dit).toStdString(),
            "dit: mark 50.0 ms (+0.0), space 50.0 ms (+0.0), latency 1.50 ms");
  EXPECT_EQ(chart.ElementAt(QPoint(left + 2, 60)), nullptr);
  // A click freezes the view, a second lets it run.
  QTest::mouseClick(&chart, Qt::LeftButton, Qt::NoModifier, QPoint(x, 60));
  EXPECT_TRUE(chart.Frozen());
  QTest::mouseClick(&chart, Qt::LeftButton, Qt::NoModifier, QPoint(x, 60));
  EXPECT_FALSE(chart.Frozen());
  scope.Refresh();
  EXPECT_TRUE(scope.Counts->text().startsWith("Elements 2 "));
  EXPECT_EQ(scope.Text->text().toStdString(), "A ");
  QTemporaryDir dir;
  const QString path = dir.filePath("scope.png");
  ASSERT_TRUE(scope.SaveImage(path));
  if (const char* keep = std::getenv("RIG_SCOPE_PNG")) scope.SaveImage(keep);
  const QImage image(path);
  ASSERT_FALSE(image.isNull());
  EXPECT_EQ(image.size(), scope.size());
  // Something was drawn in the chart's lanes: more than one colour.
  QSet<QRgb> colours;
  for (int y = 0; y < image.height(); y += 3)
    for (int xx = 0; xx < image.width(); xx += 3)
      colours.insert(image.pixel(xx, y));
  EXPECT_GT(colours.size(), 5);
  scope.ClearText->click();
  EXPECT_EQ(model.Decoder().Text(), "");
}

}  // namespace
}  // namespace app::testing
