// The trace of a scripted keying run through the whole road, in virtual
// time: paddle taps on the simulated port, the worker, the keying loop, the
// buffer fill; read back as contacts, elements with their latencies, and
// the text sent.
#include <algorithm>
#include <cmath>

#include "FormFixture.h"
#include "keyer/MorseDecoder.h"

namespace app::testing {
namespace {

constexpr int kHalf = 64;  // samples per buffer half: 1.333 ms at 48000 Hz

class FormTiming : public FormFixture {
 protected:
  // A paddle line change at a virtual time.
  struct TChange {
    double AtMs;
    bool Dit;
    bool Closed;
  };
  // What each element's latency should show.
  enum TCause { caIdle, caArmed, caHeld };

  static std::string Code(char Letter) {
    for (int length = 1; length <= 5; ++length)
      for (int bits = 0; bits < (1 << length); ++bits) {
        std::string code;
        for (int i = length - 1; i >= 0; --i)
          code += (bits >> i) & 1 ? '-' : '.';
        if (keyer::TMorseDecoder::Character(code) == std::string(1, Letter)) return code;
      }
    return "";
  }

  // Runs the keying loop until CloseAtMs. The driver plays one half per
  // 1.333 ms of virtual time; a scripted line change waits (in real time)
  // until the worker has handed it to the main thread, so it is seen at the
  // next pump point whatever the machine's speed.
  void Run(std::vector<TChange> Script, double CloseAtMs) {
    std::stable_sort(Script.begin(), Script.end(),
                     [](const TChange& A, const TChange& B) { return A.AtMs < B.AtMs; });
    asio::test::TSubstituteDriver* driver = Factory.Last();
    ASSERT_NE(driver, nullptr);
    serial::TSimulatedPort& port = *Devices.Port("COM1");
    size_t next = 0;
    bool unseen = false;
    int64_t halves = 0;
    int index = 0;
    Clock.SetOnSleep([&](uint32_t) {
      const double now = Clock.Seconds() * 1000;
      for (; (halves + 1) * kHalf * 1000.0 / 48000.0 <= now; ++halves) {
        driver->BufferSwitch(index);
        index ^= 1;
      }
      // A change made while the worker was blocked in a hand-off is read
      // once that hand-off has run; it must be handed over before the line
      // changes again, or the worker would see the later level only.
      const auto handed = [] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (core::MainThread::Pending() == 0 && std::chrono::steady_clock::now() < deadline)
          std::this_thread::sleep_for(std::chrono::microseconds(20));
      };
      if (unseen && core::MainThread::Pending() == 0) {
        handed();
        unseen = false;
      }
      for (; next < Script.size() && now >= Script[next].AtMs; ++next) {
        if (unseen) break;  // the worker has not read the last change yet
        const TChange& c = Script[next];
        // A closed contact makes its line inactive. A free worker reads the
        // line and hands the event over at once.
        const bool blocked = core::MainThread::Pending() > 0;
        (c.Dit ? port.SetDSR(!c.Closed) : port.SetCTS(!c.Closed));
        if (blocked)
          unseen = true;
        else
          handed();
      }
      if (now >= CloseAtMs) Form->Exit1Click();
    });
    Form->FormActivate();
    Clock.SetOnSleep(nullptr);
    Form->CheckTrace();
  }

  // The paddle work that keys Letters in iambic B at 20 WPM: each run of
  // like elements is one paddle, tapped for one element or held for more;
  // the paddle of the next run is tapped 12 ms into the element before it,
  // which arms its memory.
  struct TExpect {
    TCause Cause;
    double LatencyMs;  // of an armed element: the element before it, less 12 ms
  };
  static std::vector<TChange> Paddles(const std::string& Letters, std::vector<TExpect>& Causes,
                                      double& EndMs) {
    std::vector<TChange> script;
    double letter = 10;
    for (char c : Letters) {
      const std::string code = Code(c);
      std::vector<double> start(code.size());
      const auto length = [&](size_t i) { return code[i] == '.' ? 100.0 : 200.0; };
      for (size_t i = 0; i < code.size(); ++i)
        start[i] = i == 0 ? letter : start[i - 1] + length(i - 1);
      for (size_t a = 0; a < code.size();) {
        size_t b = a;
        while (b < code.size() && code[b] == code[a])
          ++b;
        const bool dit = code[a] == '.';
        const double press = a == 0 ? letter : start[a - 1] + 12;
        // A tap inside an element outlasts the element's next pump point:
        // while a hand-off waits, the worker reads the line only after it,
        // and a contact opened by then was never seen closed.
        const double tap = a == 0 ? 3 : 28;
        const double release = b - a == 1 ? press + tap : start[b - 1] + length(b - 1) / 2;
        script.push_back({press, dit, true});
        script.push_back({release, dit, false});
        for (size_t i = a; i < b; ++i)
          Causes.push_back({i == 0   ? caIdle
                            : i == a ? caArmed
                                     : caHeld,
                            i == a && a > 0 ? length(a - 1) - 12 : 0});
        a = b;
      }
      // A space between letters of four dits: three at the least, five
      // would part words.
      letter = start.back() + length(code.size() - 1) + 150;
    }
    EndMs = letter + 300;
    return script;
  }
};

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
