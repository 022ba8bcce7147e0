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
    bool unseen = false;
    // Line events the port has raised, and the count that shows the last
    // change handed over.
    std::atomic<int> events{0};
    int wanted = 0;
    serial::TSerialPort& component = Form->SerialPort1();
    const core::TNotifyEvent cts = component.OnCTSEvent, dsr = component.OnDSREvent;
    component.OnCTSEvent = [&, cts](core::TObject* Sender) {
      ++events;
      cts(Sender);
    };
    component.OnDSREvent = [&, dsr](core::TObject* Sender) {
      ++events;
      dsr(Sender);
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
      // A change made while the worker was blocked in a hand-off is read
      // once that hand-off has run; it must be handed over before the line
      // changes again, or the worker would see the later level only. A
      // change is handed over once its event is queued, or has already run
      // (the pump may run both hand-offs before the next sleep).
      const auto handed = [&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (core::MainThread::Pending() == 0 && events.load() < wanted &&
               std::chrono::steady_clock::now() < deadline)
          std::this_thread::sleep_for(std::chrono::microseconds(20));
      };
      if (unseen && (events.load() >= wanted || core::MainThread::Pending() == 0)) {
        handed();
        unseen = false;
      }
      for (; next < Script.size() && now >= Script[next].AtMs; ++next) {
        if (unseen) break;  // the worker has not read the last change yet
        const TChange& c = Script[next];
        // A closed contact makes its line inactive. A free worker reads the
        // line and hands the event over at once.
        const bool blocked = core::MainThread::Pending() > 0;
        wanted = events.load() + (blocked ? 2 : 1);
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
    component.OnCTSEvent = cts;
    component.OnDSREvent = dsr;
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
