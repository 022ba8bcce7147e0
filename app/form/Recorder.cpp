#include "app/form/Recorder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#if RIG_HAVE_SNDFILE
#include <sndfile.h>
#endif

namespace app {

namespace {

// A canonical WAVE file of IEEE floats. The sizes in the header are
// written when the file is closed; a file left by a crash still opens in
// most players with the header's zero sizes.
class TRiffWavSink : public IWavSink {
 public:
  ~TRiffWavSink() override {
    std::string ignored;
    if (FFile != nullptr) Close(ignored);
  }
  bool Open(const std::string& Path, int SampleRate, int Channels, std::string& Error) override {
    FFile = std::fopen(Path.c_str(), "wb");
    if (FFile == nullptr) {
      Error = std::strerror(errno);
      return false;
    }
    FChannels = Channels;
    FRate = SampleRate;
    FDataBytes = 0;
    if (!Header()) {
      Error = std::strerror(errno);
      std::fclose(FFile);
      FFile = nullptr;
      return false;
    }
    return true;
  }
  bool Write(const float* Interleaved, size_t Frames, std::string& Error) override {
    const size_t n = Frames * static_cast<size_t>(FChannels);
    if (std::fwrite(Interleaved, sizeof(float), n, FFile) != n) {
      Error = std::strerror(errno);
      return false;
    }
    FDataBytes += n * sizeof(float);
    return true;
  }
  bool Close(std::string& Error) override {
    bool ok = std::fseek(FFile, 0, SEEK_SET) == 0 && Header();
    ok = std::fclose(FFile) == 0 && ok;
    FFile = nullptr;
    if (!ok) Error = std::strerror(errno);
    return ok;
  }

 private:
  bool Header() {
    // Little-endian fields, as the format has them (and x86 stores them).
    const auto u32 = [](uint8_t* p, uint32_t v) {
      for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    };
    const auto u16 = [](uint8_t* p, uint16_t v) {
      p[0] = static_cast<uint8_t>(v);
      p[1] = static_cast<uint8_t>(v >> 8);
    };
    // Sizes past 4 GiB do not fit the format: they are kept at its limit.
    const uint32_t data = static_cast<uint32_t>(std::min<uint64_t>(FDataBytes, 0xFFFFFFFFu - 36));
    uint8_t h[44];
    std::memcpy(h, "RIFF", 4);
    u32(h + 4, 36 + data);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    u32(h + 16, 16);
    u16(h + 20, 3);  // IEEE float
    u16(h + 22, static_cast<uint16_t>(FChannels));
    u32(h + 24, static_cast<uint32_t>(FRate));
    u32(h + 28, static_cast<uint32_t>(FRate * FChannels * 4));
    u16(h + 32, static_cast<uint16_t>(FChannels * 4));
    u16(h + 34, 32);
    std::memcpy(h + 36, "data", 4);
    u32(h + 40, data);
    return std::fwrite(h, 1, sizeof h, FFile) == sizeof h;
  }

  std::FILE* FFile = nullptr;
  int FChannels = 0;
  int FRate = 0;
  uint64_t FDataBytes = 0;
};

#if RIG_HAVE_SNDFILE
class TSndfileWavSink : public IWavSink {
 public:
  ~TSndfileWavSink() override {
    if (FFile != nullptr) sf_close(FFile);
  }
  bool Open(const std::string& Path, int SampleRate, int Channels, std::string& Error) override {
    SF_INFO info{};
    info.samplerate = SampleRate;
    info.channels = Channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    FFile = sf_open(Path.c_str(), SFM_WRITE, &info);
    if (FFile == nullptr) {
      Error = sf_strerror(nullptr);
      return false;
    }
    return true;
  }
  bool Write(const float* Interleaved, size_t Frames, std::string& Error) override {
    const auto n = static_cast<sf_count_t>(Frames);
    if (sf_writef_float(FFile, Interleaved, n) != n) {
      Error = sf_strerror(FFile);
      return false;
    }
    return true;
  }
  bool Close(std::string& Error) override {
    const int rc = sf_close(FFile);
    FFile = nullptr;
    if (rc != 0) Error = sf_error_number(rc);
    return rc == 0;
  }

 private:
  SNDFILE* FFile = nullptr;
};
#endif

}  // namespace

std::unique_ptr<IWavSink> MakeRiffWavSink() {
  return std::make_unique<TRiffWavSink>();
}

std::unique_ptr<IWavSink> MakeWavSink() {
#if RIG_HAVE_SNDFILE
  return std::make_unique<TSndfileWavSink>();
#else
  return MakeRiffWavSink();
#endif
}

TRecorder::TRecorder(std::unique_ptr<IWavSink> Sink)
    : FSink(std::move(Sink)), FRing(kRingSamples), FChunk(kRingSamples / 4) {}

TRecorder::~TRecorder() {
  std::string ignored;
  if (FWriter.joinable()) Stop(ignored);
}

bool TRecorder::Start(const std::string& Path, int SampleRate, int Channels, std::string& Error) {
  if (FWriter.joinable()) {
    Error = "a recording runs already";
    return false;
  }
  Channels = std::clamp(Channels, 1, kMaxChannels);
  if (SampleRate <= 0) {
    Error = "the driver has no sample rate";
    return false;
  }
  if (!FSink->Open(Path, SampleRate, Channels, Error)) return false;
  FPath = Path;
  FRate = SampleRate;
  FChannels = Channels;
  FHead.store(0, std::memory_order_relaxed);
  FTail.store(0, std::memory_order_relaxed);
  FFirst.store(-1, std::memory_order_relaxed);
  FWritten.store(0, std::memory_order_relaxed);
  FDropped.store(0, std::memory_order_relaxed);
  FFailed.store(false, std::memory_order_relaxed);
  FWriteError.clear();
  FStop = false;
  FWriter = std::thread([this] { WriterLoop(); });
  FActive.store(true, std::memory_order_release);
  return true;
}

bool TRecorder::Stop(std::string& Error) {
  if (!FWriter.joinable()) {
    Error.clear();
    return true;
  }
  FActive.store(false, std::memory_order_seq_cst);
  // A buffer the audio thread is copying now still goes in.
  while (FInWrite.load(std::memory_order_seq_cst) != 0)
    std::this_thread::yield();
  {
    std::lock_guard<std::mutex> lock(FLock);
    FStop = true;
  }
  FWake.notify_one();
  FWriter.join();
  bool ok = !FFailed.load(std::memory_order_acquire);
  Error = FWriteError;
  std::string closeError;
  if (!FSink->Close(closeError) && ok) {
    ok = false;
    Error = closeError;
  }
  return ok;
}

void TRecorder::Write(const dsp::TArrayOfSingleArray& Out, int64_t Position) {
  FInWrite.fetch_add(1, std::memory_order_seq_cst);
  if (!FActive.load(std::memory_order_seq_cst)) {
    FInWrite.fetch_sub(1, std::memory_order_release);
    return;
  }
  const size_t frames = Out.empty() ? 0 : Out[0].size();
  const auto channels = static_cast<size_t>(FChannels);
  const size_t samples = frames * channels;
  const uint64_t head = FHead.load(std::memory_order_relaxed);
  const uint64_t tail = FTail.load(std::memory_order_acquire);
  if (samples > kRingSamples - (head - tail)) {
    FDropped.fetch_add(frames, std::memory_order_relaxed);
  } else {
    if (FFirst.load(std::memory_order_relaxed) < 0)
      FFirst.store(Position, std::memory_order_release);
    uint64_t at = head;
    for (size_t i = 0; i < frames; ++i)
      for (size_t c = 0; c < channels; ++c, ++at) {
        const bool have = c < Out.size() && i < Out[c].size();
        FRing[at & (kRingSamples - 1)] = have ? Out[c][i] : 0.0f;
      }
    FHead.store(at, std::memory_order_release);
  }
  FInWrite.fetch_sub(1, std::memory_order_release);
}

void TRecorder::WriterLoop() {
  std::unique_lock<std::mutex> lock(FLock);
  for (;;) {
    const bool stop = FStop;
    lock.unlock();
    Drain();
    lock.lock();
    FDrained.notify_all();
    if (stop) return;
    FWake.wait_for(lock, std::chrono::milliseconds(kWriterPassMs), [this] { return FStop; });
  }
}

void TRecorder::Drain() {
  const auto channels = static_cast<uint64_t>(FChannels);
  for (;;) {
    const uint64_t tail = FTail.load(std::memory_order_relaxed);
    const uint64_t head = FHead.load(std::memory_order_acquire);
    // Whole frames only; the audio side publishes whole buffers.
    uint64_t n = std::min<uint64_t>(head - tail, FChunk.size() / channels * channels);
    if (n == 0) return;
    for (uint64_t i = 0; i < n; ++i)
      FChunk[i] = FRing[(tail + i) & (kRingSamples - 1)];
    FTail.store(tail + n, std::memory_order_release);
    if (FFailed.load(std::memory_order_relaxed)) continue;  // keep the ring moving
    std::string error;
    if (FSink->Write(FChunk.data(), n / channels, error)) {
      FWritten.fetch_add(n / channels, std::memory_order_release);
    } else {
      FWriteError = error;
      FFailed.store(true, std::memory_order_release);
    }
  }
}

bool TRecorder::WaitDrained(uint32_t Milliseconds) {
  std::unique_lock<std::mutex> lock(FLock);
  return FDrained.wait_for(lock, std::chrono::milliseconds(Milliseconds), [this] {
    return FHead.load(std::memory_order_acquire) == FTail.load(std::memory_order_acquire);
  });
}

}  // namespace app
