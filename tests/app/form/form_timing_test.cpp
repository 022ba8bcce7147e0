// The trace of a scripted keying run through the whole road, in virtual
// time: paddle taps on the simulated port, the worker, the keying loop, the
// buffer fill; read back as contacts, elements with their latencies, and
// the text sent.
#include <algorithm>
#include <cmath>

#include "ScriptedKeying.h"

namespace app::testing {
namespace {

TEST_F(FormTiming, AKeyedRunIsTracedInOrderWithLatenciesAndReadBack) {
  Factory.Config.PreferredSize = kHalf;
  Create();
  serial::TSimulatedPort& port = *Devices.Port("COM1");
  port.SetCTS(true);
  port.SetDSR(true);
  ASSERT_TRUE(PumpUntil([&] { return Form->SerialPort1().CTSState(); }));
  Form->SetTracing(true);
  std::vector<TExpect> causes;
  double end = 0;
  std::vector<TChange> script = Paddles("PARIS", causes, end);
  Run(std::move(script), end);
  const TTimingModel& m = Form->Timing();
  EXPECT_EQ(m.Decoder().Text(), "PARIS ");
  ASSERT_EQ(m.ElementCount(), 14);  // .--. .- .-. .. ...
  ASSERT_EQ(causes.size(), 14u);
  // From idle an element sounds at the first buffer after the pump that saw
  // its closure; an armed one waits for the element before it; one of a
  // held paddle answers no closure of its own.
  const double period = kHalf * 1000.0 / 48000.0;
  int i = 0;
  for (const TTimedElement& e : m.Elements()) {
    EXPECT_NEAR(e.MarkErrorMs, 0, 1e-6) << i;
    const TExpect& want = causes[static_cast<size_t>(i)];
    switch (want.Cause) {
      case caIdle:
        EXPECT_GE(e.LatencyMs, 0) << i;
        EXPECT_LT(e.LatencyMs, period) << i;
        break;
      case caArmed:
        EXPECT_NEAR(e.LatencyMs, want.LatencyMs, period + 5) << i;
        break;
      case caHeld:
        EXPECT_EQ(e.LatencyMs, -1) << i;
        break;
    }
    ++i;
  }
  EXPECT_EQ(m.SpacesTooLong(), 0);
  EXPECT_EQ(m.SpacesTooShort(), 0);
  EXPECT_EQ(m.Bounces(), 0);
  // Closures and openings, as the port saw them: one of each per run.
  EXPECT_EQ(m.Contacts().size(), 2u * 10);
  const std::vector<int> bins = m.LatencyHistogram();
  int counted = 0;
  for (int n : bins)
    counted += n;
  EXPECT_EQ(counted, 10);
}

}  // namespace
}  // namespace app::testing
