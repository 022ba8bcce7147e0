// Paddle to first tone frame, measured from outside the rig.
//
//   road_latency_bench [--closures=300] [--frames=64,128,256] [--idle-seconds=20]
//                      [--wpm=60] [--mode=iambic|straight] [--hidden] [--seed=N]
//
// For each period size it starts a private dummy JACK server at 48 kHz and
// runs the program's road in a child process: the Qt window (offscreen)
// with its message pump, the serial component over a simulated port, the
// host and the JACK driver. A probe client of its own, fed by the rig's
// first output, finds the first tone sample after each closure of the dah
// contact. Closures come at random phases, each held briefly so that it
// makes one element, and the next waits until the output has been silent.
//
// Closure and onset are measured on one clock, CLOCK_MONOTONIC_RAW (JACK's
// time base here, which the run checks). The closure is the simulated
// port's own record of its line change (the rig's trace, CLOCK_MONOTONIC,
// moved over by a pair of reads taken just before). The onset's time is
// its frame's place on the dummy server's cycle schedule, which runs on
// CLOCK_MONOTONIC_RAW: the probe stamps each callback on entry, and the
// earliest lead of an entry over frame / rate from the onset's cycle to the
// element's end anchors the schedule (late by at least the shortest path
// through the graph, so the figures err long, never short; a cycle that
// runs late can put its frames before the closure on that schedule). The
// server's own filtered cycle times wander from its wake-ups under load and
// are not used. The trace gives the stages too. The baseline is the floor a
// closure at a random phase cannot beat when a mark starts at a buffer
// start: half a period.
//
// --hidden runs the keying loop without showing the window, which tells
// what the window's painting adds to the road.
//
// Last, the idle CPU of the program with the discarding driver at 64 frames.
#include <fcntl.h>
#include <jack/jack.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <QApplication>
#include <QComboBox>
#include <QRadioButton>
#include <QSlider>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/qt/QtMessagePump.h"
#include "app/qt/fKeyerWindow.h"
#include "asio/DASIOConvert.h"
#include "asio/drivers/PlatformDrivers.h"
#include "bench/app/RoadStats.h"
#include "core/MainThread.h"
#include "core/Trace.h"
#include "serial/SimulatedPort.h"

extern char** environ;

namespace {

constexpr double kRate = 48000;
// Parts of an onset's stretch whose anchors differ by more than this saw
// the schedule start anew.
constexpr int64_t kAnchorTolerance = 100000;

struct TOptions {
  int Closures = 300;
  std::vector<int> Frames{64, 128, 256};
  int IdleSeconds = 20;
  int WPM = 60;
  bool Straight = false;
  bool Hidden = false;
  uint64_t Seed = 0;  // 0: from the random device
  // Child roles.
  int ChildFrames = 0;
  bool ChildIdle = false;
  int ResultFd = -1;
};

bool Option(const char* Arg, const char* Name, std::string& Value) {
  const size_t n = std::strlen(Name);
  if (std::strncmp(Arg, Name, n) != 0 || Arg[n] != '=') return false;
  Value = Arg + n + 1;
  return true;
}

bool Parse(int argc, char** argv, TOptions& O) {
  for (int i = 1; i < argc; ++i) {
    std::string v;
    if (Option(argv[i], "--closures", v)) {
      O.Closures = std::max(1, std::atoi(v.c_str()));
    } else if (Option(argv[i], "--frames", v)) {
      O.Frames.clear();
      std::stringstream list(v);
      for (std::string item; std::getline(list, item, ',');)
        if (std::atoi(item.c_str()) > 0) O.Frames.push_back(std::atoi(item.c_str()));
    } else if (Option(argv[i], "--idle-seconds", v)) {
      O.IdleSeconds = std::atoi(v.c_str());
    } else if (Option(argv[i], "--wpm", v)) {
      O.WPM = std::atoi(v.c_str());
    } else if (Option(argv[i], "--mode", v)) {
      if (v != "iambic" && v != "straight") return false;
      O.Straight = v == "straight";
    } else if (std::strcmp(argv[i], "--hidden") == 0) {
      O.Hidden = true;
    } else if (Option(argv[i], "--seed", v)) {
      O.Seed = std::strtoull(v.c_str(), nullptr, 10);
    } else if (Option(argv[i], "--child-frames", v)) {
      O.ChildFrames = std::atoi(v.c_str());
    } else if (std::strcmp(argv[i], "--child-idle") == 0) {
      O.ChildIdle = true;
    } else if (Option(argv[i], "--result-fd", v)) {
      O.ResultFd = std::atoi(v.c_str());
    } else {
      return false;
    }
  }
  return true;
}

int64_t NowNs(clockid_t Clock) {
  timespec ts{};
  clock_gettime(Clock, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// CLOCK_MONOTONIC_RAW less CLOCK_MONOTONIC, from reads of the one around a
// read of the other that no preemption split.
int64_t RawLessMono() {
  int64_t offset = 0;
  for (int i = 0; i < 10; ++i) {
    const int64_t r0 = NowNs(CLOCK_MONOTONIC_RAW);
    const int64_t m = NowNs(CLOCK_MONOTONIC);
    const int64_t r1 = NowNs(CLOCK_MONOTONIC_RAW);
    offset = (r0 + r1) / 2 - m;
    if (r1 - r0 < 20000) break;
  }
  return offset;
}

void SleepNs(int64_t Ns) {
  if (Ns <= 0) return;
  timespec ts{static_cast<time_t>(Ns / 1000000000), static_cast<long>(Ns % 1000000000)};
  clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, nullptr);
}

void Quiet(const char*) {}

// ------------------------------------------------------------ the probe client

class TJackProbe {
 public:
  TJackProbe() : FDetector(kRate) {}
  ~TJackProbe() {
    if (FClient) jack_client_close(FClient);
  }

  // Opens the client on the default server and feeds it from Source.
  bool Open(const std::string& Source, std::string& Error) {
    jack_status_t status{};
    FClient = jack_client_open("rig-latency-probe", JackNoStartServer, &status);
    if (!FClient) {
      Error = "the probe cannot reach the JACK server";
      return false;
    }
    FPort = jack_port_register(FClient, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    if (!FPort || jack_set_process_callback(FClient, &TJackProbe::Process, this) != 0 ||
        jack_activate(FClient) != 0) {
      Error = "the probe cannot register its port";
      return false;
    }
    if (jack_connect(FClient, Source.c_str(), jack_port_name(FPort)) != 0) {
      Error = "cannot connect " + Source + " to the probe";
      return false;
    }
    return true;
  }

  bench::TOnsetDetector& Detector() { return FDetector; }

  // JACK's clock against CLOCK_MONOTONIC_RAW and CLOCK_MONOTONIC (µs): the
  // offset of jack_get_time from each, read between two reads of the other.
  void ClockOffsets(double& Raw, double& Mono) const {
    const int64_t r0 = NowNs(CLOCK_MONOTONIC_RAW);
    const int64_t j = static_cast<int64_t>(jack_get_time()) * 1000;
    const int64_t r1 = NowNs(CLOCK_MONOTONIC_RAW);
    const int64_t m0 = NowNs(CLOCK_MONOTONIC);
    const int64_t j2 = static_cast<int64_t>(jack_get_time()) * 1000;
    const int64_t m1 = NowNs(CLOCK_MONOTONIC);
    Raw = static_cast<double>(j - (r0 + r1) / 2) / 1000.0;
    Mono = static_cast<double>(j2 - (m0 + m1) / 2) / 1000.0;
  }

 private:
  static int Process(jack_nframes_t Frames, void* Self) {
    auto* p = static_cast<TJackProbe*>(Self);
    const int64_t entry = NowNs(CLOCK_MONOTONIC_RAW);
    // The frame count is exact; the server's filtered cycle times are not
    // used, as they wander from the real wake-ups by a good part of a period.
    const jack_nframes_t frame = jack_last_frame_time(p->FClient);
    const auto* in = static_cast<const float*>(jack_port_get_buffer(p->FPort, Frames));
    p->FDetector.Cycle(in, Frames, static_cast<int64_t>(frame), entry);
    return 0;
  }

  jack_client_t* FClient = nullptr;
  jack_port_t* FPort = nullptr;
  bench::TOnsetDetector FDetector;
};

// ------------------------------------------------------------ the rig in a child

// The program as it starts, over a simulated COM1 (contacts open: both
// lines active) and the system clock.
struct TRig {
  serial::TSimulatedPortDriver Devices;
  serial::TSimulatedPort* Port = nullptr;
  std::unique_ptr<app::qt::TfrmKeyerWindow> Window;

  TRig() {
    Port = &Devices.AddPort("COM1");
    Port->SetCTS(true);
    Port->SetDSR(true);
    app::TKeyerPlatform platform;
    platform.Devices = &Devices;
    Window = std::make_unique<app::qt::TfrmKeyerWindow>(platform);
  }

  // Picks the driver as the operator would, from the list.
  bool ChooseDriver(const char* Name, uint32_t Frames, std::string& Error) {
    const int index = Window->cbASIOdriver->findText(QString::fromUtf8(Name));
    if (index < 0) {
      Error = std::string("no \"") + Name + "\" in the driver list";
      return false;
    }
    Window->cbASIOdriver->setCurrentIndex(index);
    asio::TASIOHost& host = Window->Form().ASIOHost1();
    if (!host.Active() || host.BufferSize() != Frames) {
      Error = std::string(Name) + " is not running at " + std::to_string(Frames) + " frames";
      return false;
    }
    return true;
  }

  // Closes the window from another thread; the keying loop ends and with
  // it the event loop.
  void CloseLater() {
    app::qt::TfrmKeyerWindow* w = Window.get();
    core::MainThread::Post([w] {
      w->close();
      QMetaObject::invokeMethod(
          qApp, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    });
  }
};

struct TResults {
  std::vector<double> Graph, Heard, Probe, Handler, Queued, Fill;
  // From this thread's stamp to the line change it made (ms).
  std::vector<double> Stamp;
  int Misses = 0;
  int NoLine = 0;     // closures the port's trace did not record
  int NoSilence = 0;  // closures not made: the output never fell silent
  int MidBuffer = 0;  // onsets not at a cycle's first frame
  int32_t OutputLatency = 0;
  double JackVsRaw = 0, JackVsMono = 0;
  // Closures whose element saw the schedule start anew (kept: their onsets
  // err late).
  int Restarted = 0;
  // How far the anchors of the parts of each closure's stretch lay apart (ms).
  std::vector<double> AnchorSpread;
  // The spaces after the dits of a held dit paddle, less the dit (ms), by speed.
  std::map<int, std::vector<double>> DitSpaces;
};

void WriteSummary(FILE* Out, const char* Name, const std::vector<double>& Values) {
  const bench::TSummary s = bench::Summarize(Values);
  std::fprintf(Out, "sum %s %zu %.4f %.4f %.4f %.4f %.4f\n", Name, s.Count, s.Min, s.Median, s.P90,
               s.P99, s.Max);
}

// Holds the dit paddle for a run of dits at Wpm and answers each space
// between them as played, from the fill's key edges, less the dit.
template <typename TWaitFor, typename TSilent>
void MeasureDitSpaces(TRig& Rig, int Wpm, TWaitFor WaitFor, TSilent Silent,
                      std::vector<double>& Spaces) {
  constexpr int kDits = 30;
  double dit = 0;  // seconds, as the keyer times it
  core::MainThread::Synchronize([&] {
    Rig.Window->tbWPM->setValue(Wpm);
    dit = Rig.Window->Form().Keyer().DitTime();
  });
  WaitFor(Silent, 3000);
  core::TTrace& trace = core::TTrace::Instance();
  std::vector<core::TTraceRecord> audio, other;
  trace.Drain(audio, other);
  audio.clear();
  Rig.Port->SetDSR(false);
  SleepNs(static_cast<int64_t>(dit * 2 * kDits * 1e9));
  Rig.Port->SetDSR(true);
  SleepNs(static_cast<int64_t>(dit * 3 * 1e9));
  WaitFor(Silent, 3000);
  trace.Drain(audio, other);
  int64_t up = -1;
  for (const core::TTraceRecord& r : audio) {
    if (r.Source != core::tsAudio) continue;
    if (r.Event == core::teKeyUp) {
      up = r.Position;
    } else if (r.Event == core::teKeyDown && up >= 0) {
      Spaces.push_back((static_cast<double>(r.Position - up) / kRate - dit) * 1000);
      up = -1;
    }
  }
}

// The closures, on a thread of their own while the main thread runs the
// window's event loop and, inside it, the keying loop.
void RunClosures(const TOptions& O, TRig& Rig, TJackProbe& Probe, TResults& R) {
  bench::TOnsetDetector& d = Probe.Detector();
  const auto waitFor = [](auto Done, int64_t TimeoutMs) {
    const int64_t end = NowNs(CLOCK_MONOTONIC) + TimeoutMs * 1000000;
    while (!Done()) {
      if (NowNs(CLOCK_MONOTONIC) > end) return false;
      SleepNs(1000000);
    }
    return true;
  };
  // The stream runs and the loop has settled.
  waitFor([&] { return d.Cycles() > 200; }, 10000);
  SleepNs(300000000);
  Probe.ClockOffsets(R.JackVsRaw, R.JackVsMono);

  core::TTrace& trace = core::TTrace::Instance();
  // The rig's clock is the steady clock: CLOCK_MONOTONIC in nanoseconds.
  const int64_t frequency = trace.Clock().QueryPerformanceFrequency();
  if (frequency != 1000000000) {
    std::fprintf(stderr, "road_latency_bench: the trace clock is not in nanoseconds\n");
    return;
  }
  std::vector<core::TTraceRecord> audio, other;
  trace.Drain(audio, other);

  std::mt19937_64 random(O.Seed ? O.Seed : std::random_device{}());
  // Random phase against the period and the keying loop's idle wait.
  std::uniform_int_distribution<int64_t> phase(0, 10000000);
  // Held long enough that a stalled main thread still sees it closed (its
  // handler reads the line as it is then), short enough for one element:
  // a dah at 60 WPM keeps the loop 80 ms.
  const int64_t holdNs = 30000000;
  const int64_t silentFrames = static_cast<int64_t>(kRate * 0.03);
  for (int i = 0; i < O.Closures; ++i) {
    if (!waitFor([&] { return d.SilentFrames() >= silentFrames; }, 3000)) {
      ++R.NoSilence;
      continue;
    }
    SleepNs(phase(random));
    audio.clear();
    other.clear();
    trace.Drain(audio, other);
    d.Arm();
    const int64_t rawLessMono = RawLessMono();
    const int64_t stamp = NowNs(CLOCK_MONOTONIC);
    Rig.Port->SetCTS(false);
    SleepNs(holdNs);
    Rig.Port->SetCTS(true);
    bench::TOnset onset;
    if (!waitFor([&] { return d.Detected(onset); }, 500)) {
      ++R.Misses;
      continue;
    }
    // The element plays out and falls silent before its records are read.
    waitFor([&] { return d.SilentFrames() >= silentFrames; }, 3000);
    audio.clear();
    other.clear();
    trace.Drain(audio, other);
    // The closure is the moment the port's line changed, as its own trace
    // record tells; this thread may lose the processor between its stamp
    // and the change.
    bench::TStages s = bench::StagesOf(stamp, frequency, audio, other);
    if (s.Line < 0) {
      ++R.NoLine;
      continue;
    }
    R.Stamp.push_back(s.Line);
    const int64_t mono = stamp + std::llround(s.Line * 1e6);
    s = bench::StagesOf(mono, frequency, audio, other);
    const int64_t raw = mono + rawLessMono;

    // The onset on the schedule, anchored on the cycles from its own to
    // the end of the element.
    int64_t spread = 0;
    const int64_t anchor = d.Anchor(onset.Cycle, d.Cycles(), &spread);
    if (spread > kAnchorTolerance) ++R.Restarted;
    R.AnchorSpread.push_back(static_cast<double>(spread) / 1e6);
    if (onset.Offset != 0) ++R.MidBuffer;
    R.Graph.push_back(static_cast<double>(d.FrameNs(onset.Frame, anchor) - raw) / 1e6);
    R.Probe.push_back(static_cast<double>(onset.EntryNs - raw) / 1e6);
    if (s.Handler >= 0) R.Handler.push_back(s.Handler);
    if (s.Queued >= 0) R.Queued.push_back(s.Queued);
    if (s.Fill >= 0) R.Fill.push_back(s.Fill);
  }
  if (!O.Straight) {
    for (int wpm : {20, 60})
      MeasureDitSpaces(
          Rig, wpm, waitFor, [&] { return d.SilentFrames() >= silentFrames; }, R.DitSpaces[wpm]);
  }
  R.OutputLatency = Rig.Window->Form().ASIOHost1().OutputLatency();
  for (double g : R.Graph)
    R.Heard.push_back(g + R.OutputLatency / kRate * 1000);
}

int RunLatencyChild(const TOptions& O, FILE* Out) {
  jack_set_error_function(Quiet);
  jack_set_info_function(Quiet);
  asio::InitializeConverters();
  asio::RegisterPlatformDrivers();
  int argc = 1;
  char name[] = "road_latency_bench";
  char* argv[] = {name, nullptr};
  QApplication application(argc, argv);
  app::qt::InstallMessagePump();
  int rc = 0;
  {
    TRig rig;
    std::string error;
    TJackProbe probe;
    if (!rig.ChooseDriver("JACK", static_cast<uint32_t>(O.ChildFrames), error) ||
        !probe.Open("paddle-keyer-rig:out_1", error)) {
      std::fprintf(stderr, "road_latency_bench: %s\n", error.c_str());
      rc = 1;
    } else {
      app::qt::TfrmKeyerWindow& w = *rig.Window;
      w.tbWPM->setValue(O.WPM);
      if (O.Straight) w.rbStraightKey->click();
      core::TTrace::Instance().SetEnabled(true);
      TResults r;
      std::thread closures([&] {
        RunClosures(O, rig, probe, r);
        rig.CloseLater();
      });
      if (O.Hidden)
        QTimer::singleShot(0, &w, [&w] { w.Form().FormActivate(); });
      else
        w.show();
      QApplication::exec();
      closures.join();
      core::TTrace::Instance().SetEnabled(false);
      std::fprintf(Out, "info latency %d\ninfo misses %d\ninfo midbuffer %d\ninfo noline %d\n",
                   r.OutputLatency, r.Misses, r.MidBuffer, r.NoLine);
      std::fprintf(Out, "info restarted %d\ninfo nosilence %d\n", r.Restarted, r.NoSilence);
      std::fprintf(Out, "info jackraw %.1f\ninfo jackmono %.1f\n", r.JackVsRaw, r.JackVsMono);
      WriteSummary(Out, "graph", r.Graph);
      WriteSummary(Out, "heard", r.Heard);
      WriteSummary(Out, "probe", r.Probe);
      WriteSummary(Out, "stamp", r.Stamp);
      WriteSummary(Out, "handler", r.Handler);
      WriteSummary(Out, "queued", r.Queued);
      WriteSummary(Out, "fill", r.Fill);
      WriteSummary(Out, "spread", r.AnchorSpread);
      for (const auto& [wpm, spaces] : r.DitSpaces) {
        WriteSummary(Out, ("space" + std::to_string(wpm)).c_str(), spaces);
        double sum = 0;
        for (double v : spaces)
          sum += v;
        std::fprintf(Out, "info spacemean%d %.4f\n", wpm,
                     spaces.empty() ? -1.0 : sum / static_cast<double>(spaces.size()));
      }
    }
  }
  app::qt::RemoveMessagePump();
  return rc;
}

// CPU time of each of the process's threads, in clock ticks.
std::map<int, std::pair<std::string, long>> ThreadTimes() {
  std::map<int, std::pair<std::string, long>> times;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return times;
  while (dirent* e = readdir(dir)) {
    const int tid = std::atoi(e->d_name);
    if (tid <= 0) continue;
    const std::string path = std::string("/proc/self/task/") + e->d_name + "/stat";
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) continue;
    char line[1024] = {};
    const size_t n = std::fread(line, 1, sizeof line - 1, f);
    std::fclose(f);
    line[n] = '\0';
    // pid (comm) state ... utime is field 14, stime 15.
    const char* open = std::strchr(line, '(');
    const char* close = std::strrchr(line, ')');
    if (!open || !close) continue;
    unsigned long utime = 0, stime = 0;
    if (std::sscanf(close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                    &stime) != 2)
      continue;
    times[tid] = {std::string(open + 1, close), static_cast<long>(utime + stime)};
  }
  closedir(dir);
  return times;
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The floor of the idle cost: the same wake-ups with no work, in this
// process, just before the rig runs. One thread polls with a 5 ms time-out,
// as the keying loop's idle pass waits; one sleeps to each 64-frame period
// at 48 kHz, as the discarding driver's stream thread does.
double WakeUpFloor(int Seconds) {
  std::atomic<bool> stop{false};
  std::thread poller([&] {
    while (!stop.load())
      poll(nullptr, 0, 5);
  });
  std::thread pacer([&] {
    const int64_t period = static_cast<int64_t>(64 / kRate * 1e9);
    int64_t due = NowNs(CLOCK_MONOTONIC);
    while (!stop.load()) {
      due += period;
      timespec ts{static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
      }
    }
  });
  SleepNs(500000000);
  const double c0 = CpuSeconds();
  const int64_t w0 = NowNs(CLOCK_MONOTONIC);
  SleepNs(static_cast<int64_t>(Seconds) * 1000000000);
  const double c1 = CpuSeconds();
  const int64_t w1 = NowNs(CLOCK_MONOTONIC);
  stop.store(true);
  poller.join();
  pacer.join();
  return (c1 - c0) / (static_cast<double>(w1 - w0) / 1e9) * 100;
}

int RunIdleChild(const TOptions& O, FILE* Out) {
  const double floor = WakeUpFloor(O.IdleSeconds);
  asio::InitializeConverters();
  asio::RegisterPlatformDrivers();
  const char* driver = "Self-clocked (discard)";
  asio::drivers::SetDriverSettings(driver, asio::drivers::TDriverSettings{64, -1});
  int argc = 1;
  char name[] = "road_latency_bench";
  char* argv[] = {name, nullptr};
  QApplication application(argc, argv);
  app::qt::InstallMessagePump();
  int rc = 0;
  {
    TRig rig;
    std::string error;
    if (!rig.ChooseDriver(driver, 64, error)) {
      std::fprintf(stderr, "road_latency_bench: %s\n", error.c_str());
      rc = 1;
    } else {
      std::vector<std::string> lines;
      // One idle stretch: the program's CPU, and each thread's.
      const auto measure = [&](const char* Name) {
        const auto t0 = ThreadTimes();
        const double c0 = CpuSeconds();
        const int64_t w0 = NowNs(CLOCK_MONOTONIC);
        SleepNs(static_cast<int64_t>(O.IdleSeconds) * 1000000000);
        const double c1 = CpuSeconds();
        const int64_t w1 = NowNs(CLOCK_MONOTONIC);
        const auto t1 = ThreadTimes();
        const double wall = static_cast<double>(w1 - w0) / 1e9;
        char text[160];
        std::snprintf(text, sizeof text, "info %s %.3f", Name, (c1 - c0) / wall * 100);
        lines.push_back(text);
        const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
        // The threads are unnamed: the main thread (the window and the
        // keying loop) by its id, the others in the order they were made.
        std::string threads = "threads";
        for (const auto& [tid, now] : t1) {
          const auto was = t0.find(tid);
          const long before = was == t0.end() ? 0 : was->second.second;
          std::snprintf(text, sizeof text, " %s %.2f", tid == getpid() ? "main" : "other",
                        static_cast<double>(now.second - before) / tick / wall * 100);
          threads += text;
        }
        lines.push_back(threads);
      };
      std::thread meter([&] {
        SleepNs(2000000000);  // start-up settles
        measure("idlecpu");
        // Once keyed, the envelope filter's decay never reaches zero: the
        // fill keeps the sine for the residue it leaves.
        rig.Port->SetCTS(false);
        SleepNs(30000000);
        rig.Port->SetCTS(true);
        SleepNs(2000000000);
        measure("idlecpukeyed");
        rig.CloseLater();
      });
      rig.Window->show();
      QApplication::exec();
      meter.join();
      std::fprintf(Out, "info idleseconds %d\ninfo idlefloor %.3f\n", O.IdleSeconds, floor);
      for (const std::string& l : lines)
        std::fprintf(Out, "%s\n", l.c_str());
    }
  }
  app::qt::RemoveMessagePump();
  return rc;
}

// ------------------------------------------------------------ the orchestrator

pid_t Spawn(const std::vector<std::string>& Args, const std::vector<std::string>& Env, int QuietFd,
            int ResultFd) {
  std::vector<char*> argv;
  for (const std::string& a : Args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) {
    bool replaced = false;
    for (const std::string& mine : Env)
      replaced = replaced || std::strncmp(*e, mine.c_str(), mine.find('=') + 1) == 0;
    if (!replaced) envStrings.emplace_back(*e);
  }
  envStrings.insert(envStrings.end(), Env.begin(), Env.end());
  std::vector<char*> envp;
  for (std::string& e : envStrings)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (QuietFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, QuietFd, 1);
    posix_spawn_file_actions_adddup2(&actions, QuietFd, 2);
  }
  if (ResultFd >= 0) posix_spawn_file_actions_adddup2(&actions, ResultFd, 3);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void Stop(pid_t Pid) {
  if (Pid <= 0) return;
  kill(Pid, SIGTERM);
  for (int i = 0; i < 50; ++i) {
    if (waitpid(Pid, nullptr, WNOHANG) == Pid) return;
    SleepNs(100000000);
  }
  kill(Pid, SIGKILL);
  waitpid(Pid, nullptr, 0);
}

bool ServerAnswers(const std::string& Name) {
  for (int i = 0; i < 100; ++i) {
    jack_status_t status{};
    jack_client_t* c = jack_client_open(
        "rig-latency-wait", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
        &status, Name.c_str());
    if (c) {
      jack_client_close(c);
      return true;
    }
    SleepNs(100000000);
  }
  return false;
}

// Runs this program again as a child with Args; answers its result lines.
bool RunChild(const std::vector<std::string>& Args, const std::vector<std::string>& Env,
              std::vector<std::string>& Lines) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  char self[4096] = {};
  if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return false;
  std::vector<std::string> args{self};
  args.insert(args.end(), Args.begin(), Args.end());
  args.push_back("--result-fd=3");
  const pid_t pid = Spawn(args, Env, -1, fds[1]);
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return false;
  }
  FILE* in = fdopen(fds[0], "r");
  char line[512];
  while (std::fgets(line, sizeof line, in)) {
    std::string l(line);
    if (!l.empty() && l.back() == '\n') l.pop_back();
    Lines.push_back(l);
  }
  std::fclose(in);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct TSizeResult {
  int Frames = 0;
  std::map<std::string, double> Info;
  std::map<std::string, bench::TSummary> Sums;
};

TSizeResult ParseResult(int Frames, const std::vector<std::string>& Lines) {
  TSizeResult r;
  r.Frames = Frames;
  for (const std::string& l : Lines) {
    std::istringstream in(l);
    std::string kind, name;
    in >> kind >> name;
    if (kind == "info") {
      double v = 0;
      in >> v;
      r.Info[name] = v;
    } else if (kind == "sum") {
      bench::TSummary s;
      in >> s.Count >> s.Min >> s.Median >> s.P90 >> s.P99 >> s.Max;
      r.Sums[name] = s;
    }
  }
  return r;
}

void PrintRow(const char* What, const bench::TSummary& S, double Floor) {
  std::printf("%s | %zu | %.2f | %.2f | %.2f | %.2f | %.2f |", What, S.Count, S.Min, S.Median,
              S.P90, S.P99, S.Max);
  if (Floor > 0)
    std::printf(" %.2f |\n", S.Median / Floor);
  else
    std::printf(" |\n");
}

}  // namespace

int main(int argc, char** argv) {
  TOptions o;
  if (!Parse(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: road_latency_bench [--closures=N] [--frames=64,128,256] "
                 "[--idle-seconds=N] [--wpm=N] [--mode=iambic|straight] [--hidden] [--seed=N]\n");
    return 2;
  }
  if (o.ChildFrames > 0 || o.ChildIdle) {
    FILE* out = fdopen(o.ResultFd >= 0 ? o.ResultFd : 1, "w");
    const int rc = o.ChildIdle ? RunIdleChild(o, out) : RunLatencyChild(o, out);
    std::fclose(out);
    return rc;
  }

  jack_set_error_function(Quiet);
  jack_set_info_function(Quiet);
  const int devNull = open("/dev/null", O_WRONLY);
  std::vector<std::string> common{"--closures=" + std::to_string(o.Closures),
                                  "--wpm=" + std::to_string(o.WPM),
                                  o.Straight ? "--mode=straight" : "--mode=iambic"};
  if (o.Seed) common.push_back("--seed=" + std::to_string(o.Seed));
  if (o.Hidden) common.push_back("--hidden");
  std::vector<TSizeResult> results;
  int failures = 0;
  for (int frames : o.Frames) {
    const std::string server =
        "rig-latency-" + std::to_string(getpid()) + "-" + std::to_string(frames);
    std::printf("# %d frames: dummy JACK server \"%s\", %d closures\n", frames, server.c_str(),
                o.Closures);
    std::fflush(stdout);
    const pid_t jackd =
        Spawn({"jackd", "-n", server, "-d", "dummy", "-r", "48000", "-p", std::to_string(frames)},
              {}, devNull, -1);
    if (jackd < 0 || !ServerAnswers(server)) {
      std::fprintf(stderr, "road_latency_bench: the JACK server did not start\n");
      Stop(jackd);
      ++failures;
      continue;
    }
    std::vector<std::string> args = common;
    args.push_back("--child-frames=" + std::to_string(frames));
    std::vector<std::string> lines;
    const bool ok =
        RunChild(args, {"JACK_DEFAULT_SERVER=" + server, "QT_QPA_PLATFORM=offscreen"}, lines);
    Stop(jackd);
    if (!ok) {
      std::fprintf(stderr, "road_latency_bench: the %d-frame run failed\n", frames);
      ++failures;
      continue;
    }
    results.push_back(ParseResult(frames, lines));
  }

  std::vector<std::string> idleLines;
  bool idleOk = o.IdleSeconds <= 0;
  if (o.IdleSeconds > 0) {
    std::printf("# idle CPU: discarding driver, 64 frames, %d s\n", o.IdleSeconds);
    std::fflush(stdout);
    // No JACK server of anyone's is listed: the driver list is the same
    // whatever runs on the machine.
    idleOk = RunChild({"--child-idle", "--idle-seconds=" + std::to_string(o.IdleSeconds)},
                      {"JACK_DEFAULT_SERVER=rig-latency-none-" + std::to_string(getpid()),
                       "QT_QPA_PLATFORM=offscreen"},
                      idleLines);
    if (!idleOk) ++failures;
  }

  std::printf(
      "\nClosure of the dah contact (%s, %d WPM) to the first tone frame, ms; the "
      "ratio is the median over half a period.%s\n\n",
      o.Straight ? "straight key" : "iambic B", o.WPM,
      o.Hidden ? " The window was not shown." : "");
  std::printf("| period | from the closure to | n | min | median | p90 | p99 | max | ratio |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|\n");
  for (const TSizeResult& r : results) {
    const double half = r.Frames / kRate * 1000 / 2;
    const auto row = [&](const char* What, const char* Key, double Floor) {
      auto it = r.Sums.find(Key);
      if (it == r.Sums.end() || it->second.Count == 0) return;
      std::printf("| %d | ", r.Frames);
      PrintRow(What, it->second, Floor);
    };
    char heard[96];
    std::snprintf(heard, sizeof heard, "heard (+ %d frames output latency)",
                  static_cast<int>(r.Info.count("latency") ? r.Info.at("latency") : 0));
    row("first frame in the graph", "graph", half);
    row(heard, "heard", 0);
    row("trace: handler ran", "handler", 0);
    row("trace: element queued", "queued", 0);
    row("trace: fill that keys it began", "fill", half);
    row("probe ran for that cycle", "probe", 0);
  }
  std::printf("\n");
  for (const TSizeResult& r : results) {
    const auto info = [&](const char* Key) { return r.Info.count(Key) ? r.Info.at(Key) : -1.0; };
    const bench::TSummary g = r.Sums.count("graph") ? r.Sums.at("graph") : bench::TSummary{};
    const bool met = g.Count > 0 && g.Median <= r.Frames / kRate * 1000 / 2 + 0.3 &&
                     (r.Frames != 64 || (g.Median <= 1.0 && g.P99 <= 2.0));
    const bench::TSummary spread = r.Sums.count("spread") ? r.Sums.at("spread") : bench::TSummary{};
    std::printf(
        "%d frames: %.0f closures without a tone, %.0f without the port's record, %.0f "
        "onsets inside a cycle; target %s\n",
        r.Frames, info("misses"), info("noline"), info("midbuffer"), met ? "met" : "MISSED");
    const bench::TSummary stamp = r.Sums.count("stamp") ? r.Sums.at("stamp") : bench::TSummary{};
    std::printf(
        "  clocks: jack_get_time - CLOCK_MONOTONIC_RAW %.1f us, - CLOCK_MONOTONIC %.1f us; "
        "the closing thread's stamp to the line change: median %.1f us, max %.1f us\n",
        info("jackraw"), info("jackmono"), stamp.Median * 1000, stamp.Max * 1000);
    std::printf(
        "  schedule: the earliest probe runs in the eighths of an element differ by median "
        "%.1f us, max %.1f us; %.0f elements over %.0f us (the schedule restarted, or the "
        "probe never ran early: their onsets err late)\n",
        spread.Median * 1000, spread.Max * 1000, info("restarted"),
        static_cast<double>(kAnchorTolerance) / 1000);
  }
  bool spacesShown = false;
  for (const TSizeResult& r : results) {
    for (int wpm : {20, 60}) {
      const std::string key = "space" + std::to_string(wpm);
      const auto it = r.Sums.find(key);
      if (it == r.Sums.end() || it->second.Count == 0) continue;
      if (!spacesShown) {
        std::printf(
            "\nSpace after a dit, dit paddle held (the fill's key edges), ms beyond the dit; "
            "target: mean at most half a period\n\n"
            "| period | WPM | dit | n | mean | min | median | max | target |\n"
            "|---|---|---|---|---|---|---|---|---|\n");
        spacesShown = true;
      }
      const double mean = r.Info.count("spacemean" + std::to_string(wpm))
                              ? r.Info.at("spacemean" + std::to_string(wpm))
                              : -1;
      const double half = r.Frames / kRate * 1000 / 2;
      std::printf("| %d | %d | %.2f | %zu | %+.3f | %+.3f | %+.3f | %+.3f | %s |\n", r.Frames, wpm,
                  1000.0 / wpm, it->second.Count, mean, it->second.Min, it->second.Median,
                  it->second.Max, mean <= half ? "met" : "MISSED");
    }
  }
  if (o.IdleSeconds > 0 && idleOk) {
    // CPU costs on a shared or virtual machine drift from run to run: the
    // ratio to the bare wake-ups, measured just before, is what compares.
    double floor = 0;
    for (const std::string& l : idleLines)
      if (l.rfind("info idlefloor ", 0) == 0) floor = std::atof(l.substr(15).c_str());
    std::printf(
        "\nIdle CPU, discarding driver at 64 frames, %d s each; the floor is the same "
        "wake-ups doing nothing (a thread polling every 5 ms, one sleeping to each period): "
        "%.3f %% of a core\n",
        o.IdleSeconds, floor);
    for (const std::string& l : idleLines) {
      std::istringstream in(l);
      std::string kind, name;
      double value = 0;
      in >> kind >> name >> value;
      if (kind == "info" && (name == "idlecpu" || name == "idlecpukeyed"))
        std::printf("%s: %.3f %% of a core, %.2f times the floor\n",
                    name == "idlecpu" ? "never keyed" : "after an element", value,
                    floor > 0 ? value / floor : 0.0);
      if (kind == "threads") std::printf("  by thread (%% of a core):%s\n", l.substr(7).c_str());
    }
  }
  return failures == 0 ? 0 : 1;
}
