#pragma once
// A scripted keying run through the whole road, in virtual time: paddle
// taps on the simulated port, the worker, the keying loop, the buffer fill.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "FormFixture.h"
#include "keyer/MorseDecoder.h"

namespace app::testing {

inline constexpr int kHalf = 64;  // samples per buffer half: 1.333 ms at 48000 Hz

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
    RunHalves = 0;
    std::stable_sort(Script.begin(), Script.end(),
                     [](const TChange& A, const TChange& B) { return A.AtMs < B.AtMs; });
    asio::test::TSubstituteDriver* driver = Factory.Last();
    ASSERT_NE(driver, nullptr);
    serial::TSimulatedPort& port = *Devices.Port("COM1");
    size_t next = 0;
    // Line events run, per line (dit, dah), and the level each last read,
    // seen through the paddle boxes the handlers set; they run on this
    // thread, as the sleeps do. (The component's handlers are not wrapped:
    // the worker reads them while it runs.)
    int runs[2] = {0, 0};
    bool levels[2] = {false, false};
    int runsBefore = 0;
    serial::TSerialPort& component = Form->SerialPort1();
    View.OnCheckBoxChecked = [&](int Number, bool Checked) {
      if (Number != 5 && Number != 6) return;
      const int line = Number == 6 ? 0 : 1;  // DSR (dit), CTS (dah)
      ++runs[line];
      levels[line] = !Checked;  // a closed contact is an inactive line
    };
    int64_t halves = 0;
    int index = 0;
    Clock.SetOnSleep([&](uint32_t) {
      const double now = Clock.Seconds() * 1000;
      for (; (halves + 1) * kHalf * 1000.0 / 48000.0 <= now; ++halves) {
        driver->BufferSwitch(index);
        index ^= 1;
        ++RunHalves;
        if (OnHalf) OnHalf();
      }
      // A change is handed over once the worker has read the line (the
      // component shows the new level) and then queued its event, or the
      // event has already run. Pending calls alone do not show the change
      // was read: a worker blocked in an earlier hand-off (each event is
      // handed over twice, the line's own and the general one) reads the
      // line only once that one has run, and a later change made before
      // would be all it sees. Such a hand-off is run here, as the early
      // wake of a real idle wait would run it at once.
      const auto handOver = [&](const TChange& c) {
        const int line = c.Dit ? 0 : 1;
        const bool level = !c.Closed;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
          if (runs[line] > runsBefore && levels[line] == level) return;
          const bool read = (c.Dit ? component.DSRState() : component.CTSState()) == level;
          const bool queued = core::MainThread::Pending() > 0;
          if (read && queued) return;
          if (!read && queued)
            core::MainThread::CheckSynchronize();
          else
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
        ADD_FAILURE() << "a line change at " << c.AtMs << " ms was never handed over";
      };
      for (; next < Script.size() && now >= Script[next].AtMs; ++next) {
        const TChange& c = Script[next];
        runsBefore = runs[c.Dit ? 0 : 1];
        // A closed contact makes its line inactive.
        (c.Dit ? port.SetDSR(!c.Closed) : port.SetCTS(!c.Closed));
        handOver(c);
      }
      if (now >= CloseAtMs) Form->Exit1Click();
    });
    Form->FormActivate();
    Clock.SetOnSleep(nullptr);
    View.OnCheckBoxChecked = nullptr;
    Form->CheckTrace();
  }

  // Halves the driver played in the last Run; OnHalf runs after each.
  int64_t RunHalves = 0;
  std::function<void()> OnHalf;

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

}  // namespace app::testing
