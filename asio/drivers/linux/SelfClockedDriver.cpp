// The driver for machines without sound hardware: a thread paced by an
// absolute monotonic clock at 48000 Hz calls the host once per half. One
// flavour discards the output; the other (built with libsndfile) hands it
// through a ring to a writer thread that records it to a WAV file, so the
// stream thread never waits on the disk.
#if RIG_WITH_SNDFILE
#include <sndfile.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "asio/drivers/SpscRing.h"
#include "asio/drivers/linux/DriverBase.h"

namespace asio::drivers {

namespace {

constexpr double kRate = 48000.0;
constexpr int32_t kChannels = 2;
constexpr int32_t kMinFrames = 16;
constexpr int32_t kMaxFrames = 8192;
constexpr int32_t kDefaultFrames = 64;

class TMonotonicPacer final : public IPacer {
 public:
  int64_t NowNs() override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
  }
  void SleepUntilNs(int64_t DeadlineNs) override {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(DeadlineNs / 1000000000);
    ts.tv_nsec = static_cast<long>(DeadlineNs % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
  }
};

#if RIG_WITH_SNDFILE
std::string TimeStampedName(const std::string& Folder) {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  localtime_r(&now, &parts);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &parts);
  std::string base = Folder + "keyed-" + stamp;
  std::string path = base + ".wav";
  for (int n = 2; std::filesystem::exists(path); ++n)
    path = base + "-" + std::to_string(n) + ".wav";
  return path;
}
#endif

class TSelfClockedDriver final : public TDriverBase {
 public:
  explicit TSelfClockedDriver(const TSelfClockedOptions& Options)
      : TDriverBase(Options.DisplayName, Options.DisplayName),
        FOptions(Options),
        FPacer(Options.Pacer ? *Options.Pacer : MonotonicPacer()) {}

  ~TSelfClockedDriver() override {
    Shutdown();
    CloseFile();
  }

  ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) override {
    if (State() == TDriverState::dsCreated) return ASE_NotPresent;
    // A half is "heard" (discarded or recorded) as the next one is asked
    // for: one buffer each way.
    int32_t frames = BufferFrames() > 0 ? BufferFrames() : PreferredFrames();
    if (inputLatency) *inputLatency = frames;
    if (outputLatency) *outputLatency = frames;
    return ASE_OK;
  }
  ASIOError canSampleRate(ASIOSampleRate sampleRate) override {
    return sampleRate == kRate ? ASE_OK : ASE_NoClock;
  }
  ASIOError getSampleRate(ASIOSampleRate* sampleRate) override {
    if (!sampleRate) return ASE_InvalidParameter;
    *sampleRate = kRate;
    return ASE_OK;
  }
  ASIOError setSampleRate(ASIOSampleRate sampleRate) override { return canSampleRate(sampleRate); }

 protected:
  bool OpenDevice() override {
    if (Recording() && !RIG_WITH_SNDFILE) {
      SetError("this build records no WAV files");
      return false;
    }
    return true;
  }
  int32_t InputCount() const override { return 0; }
  int32_t OutputCount() const override { return kChannels; }
  ASIOSampleType SampleType(bool) const override { return ASIOSTFloat32LSB; }

  int32_t PreferredFrames() const {
    int32_t picked = GetDriverSettings(SettingsKey()).BufferSize;
    return (picked >= kMinFrames && picked <= kMaxFrames) ? picked : kDefaultFrames;
  }
  void BufferRange(int32_t& Min, int32_t& Max, int32_t& Preferred,
                   int32_t& Granularity) const override {
    Min = kMinFrames;
    Max = kMaxFrames;
    Preferred = PreferredFrames();
    Granularity = -1;  // powers of two
  }

  ASIOError Prepare(int32_t BufferFrames) override {
    SetStreamRate(kRate);
    FPeriodFrames = BufferFrames;
    if (Recording()) {
      std::size_t ringFrames = FOptions.RingFrames > 0
                                   ? static_cast<std::size_t>(FOptions.RingFrames)
                                   : static_cast<std::size_t>(kRate);
      ringFrames = std::max<std::size_t>(ringFrames, static_cast<std::size_t>(BufferFrames));
      FRing = std::make_unique<TSpscRing<float>>(ringFrames * kChannels);
      FScratch.assign(static_cast<std::size_t>(BufferFrames) * kChannels, 0.0f);
      FWriteBuffer.assign(static_cast<std::size_t>(BufferFrames) * kChannels * 4, 0.0f);
    }
    return ASE_OK;
  }

  void Unprepare() override {
    CloseFile();
    FRing.reset();
  }

  ASIOError StartStream() override {
    if (Recording()) {
      if (!FFile && !OpenFile()) {
        SetError("cannot open the recording file");
        return ASE_HWMalfunction;
      }
      FWriterStop.store(false);
      FWriter = std::thread([this] { WriterLoop(); });
    }
    FStop.store(false);
    FThread = std::thread([this] { StreamLoop(); });
    PromoteToRealtime(FThread);
    return ASE_OK;
  }

  void StopStream() override {
    FStop.store(true);
    if (FThread.joinable()) FThread.join();
    FWriterStop.store(true);
    if (FWriter.joinable()) FWriter.join();
    SyncFile();
  }

 private:
  bool Recording() const { return !FOptions.WavPath.empty(); }

#if RIG_WITH_SNDFILE
  bool OpenFile() {
    std::string path = FOptions.WavPath;
    if (path.back() == '/') path = TimeStampedName(path);
    SF_INFO info{};
    info.samplerate = static_cast<int>(kRate);
    info.channels = kChannels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    FFile = sf_open(path.c_str(), SFM_WRITE, &info);
    return FFile != nullptr;
  }

  void CloseFile() {
    if (FFile) sf_close(FFile);
    FFile = nullptr;
  }
  void WriteFrames(const float* Frames, std::size_t Count) {
    sf_writef_float(FFile, Frames, static_cast<sf_count_t>(Count));
  }
  void SyncFile() {
    if (FFile) sf_write_sync(FFile);
  }
  SNDFILE* FFile = nullptr;
#else
  bool OpenFile() {
    return false;
  }
  void CloseFile() {}
  void WriteFrames(const float*, std::size_t) {}
  void SyncFile() {}
  void* FFile = nullptr;
#endif

  void StreamLoop() {
    const int64_t frames = FPeriodFrames;
    int64_t origin = FPacer.NowNs();
    int64_t k = 0;  // halves since origin
    int64_t position = 0;
    int32_t index = 0;
    while (!FStop.load(std::memory_order_relaxed)) {
      // Deadlines from the origin, not from the last wake-up, so
      // rounding and wake-up jitter never accumulate.
      int64_t deadline = origin + FramesToNs(k * frames, static_cast<int64_t>(kRate));
      FPacer.SleepUntilNs(deadline);
      if (FStop.load(std::memory_order_relaxed)) break;
      int64_t now = FPacer.NowNs();
      if (now - deadline > FramesToNs(2 * frames, static_cast<int64_t>(kRate))) {
        // Woken far too late (suspend, overload): start a new origin
        // rather than calling the host in a burst to catch up.
        CountXrun();
        origin = now;
        k = 0;
        deadline = now;
      }
      DeliverHalf(index, position, deadline);
      if (FRing) Record(index);
      position += frames;
      index ^= 1;
      ++k;
    }
  }

  void Record(int32_t Index) {
    const float* left = reinterpret_cast<const float*>(OutputHalf(0, Index));
    const float* right = reinterpret_cast<const float*>(OutputHalf(1, Index));
    const std::size_t n = static_cast<std::size_t>(FPeriodFrames);
    for (std::size_t i = 0; i < n; ++i) {
      FScratch[2 * i] = left ? left[i] : 0.0f;
      FScratch[2 * i + 1] = right ? right[i] : 0.0f;
    }
    if (!FRing->Push(FScratch.data(), FScratch.size())) CountDropped(n);
  }

  void WriterLoop() {
    for (;;) {
      bool stopping = FWriterStop.load();
      std::size_t n = FRing->Pop(FWriteBuffer.data(), FWriteBuffer.size());
      if (n > 0) {
        WriteFrames(FWriteBuffer.data(), n / kChannels);
        continue;
      }
      // Empty: done once the stream thread has stopped and all is written.
      if (stopping) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  TSelfClockedOptions FOptions;
  IPacer& FPacer;
  int32_t FPeriodFrames = 0;
  std::thread FThread;
  std::thread FWriter;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FWriterStop{false};
  std::unique_ptr<TSpscRing<float>> FRing;
  std::vector<float> FScratch;
  std::vector<float> FWriteBuffer;
};

}  // namespace

IPacer& MonotonicPacer() {
  static TMonotonicPacer pacer;
  return pacer;
}

IASIODriver* CreateSelfClockedDriver(const TSelfClockedOptions& Options) {
  return new TSelfClockedDriver(Options);
}

std::string DefaultRecordingFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home) {
    std::string folder = home;
    if (folder.back() != '/') folder += '/';
    return folder;
  }
  return "./";
}

std::vector<TCatalogueEntry> SelfClockedEntries() {
  std::vector<TCatalogueEntry> entries;
  TCatalogueEntry discard;
  discard.Name = "Self-clocked (discard)";
  discard.ClassId = NameBasedClassId("self-clocked", "discard");
  discard.LibraryPath = "built-in";
  discard.Create = [] { return CreateSelfClockedDriver(TSelfClockedOptions{}); };
  entries.push_back(std::move(discard));
  if (!RIG_WITH_SNDFILE) return entries;

  TCatalogueEntry wav;
  wav.Name = "Self-clocked (WAV recorder)";
  wav.ClassId = NameBasedClassId("self-clocked", "wav recorder");
  wav.LibraryPath = "built-in";
  wav.Create = [] {
    TSelfClockedOptions o;
    o.DisplayName = "Self-clocked (WAV recorder)";
    o.WavPath = DefaultRecordingFolder();
    return CreateSelfClockedDriver(o);
  };
  entries.push_back(std::move(wav));
  return entries;
}

}  // namespace asio::drivers
