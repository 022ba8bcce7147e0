#pragma once
// Recording of what the driver plays: the audio thread copies each output
// buffer into a ring, a writer thread of the recorder's own empties it into
// a WAV file. The audio side never blocks, allocates or calls the system;
// when the disk falls behind it drops whole buffers and counts them.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dsp/DDSPBase.h"

namespace app {

// Where the recorded samples go: a WAV file of 32-bit floats.
class IWavSink {
 public:
  virtual ~IWavSink() = default;
  // False with Error set when the file cannot be made.
  virtual bool Open(const std::string& Path, int SampleRate, int Channels, std::string& Error) = 0;
  // Frames of interleaved samples; false with Error set when writing fails.
  virtual bool Write(const float* Interleaved, size_t Frames, std::string& Error) = 0;
  // Finishes the header; false with Error set when that fails.
  virtual bool Close(std::string& Error) = 0;
};

// The platform's sink: libsndfile where the build has it, else a plain
// RIFF writer of the program's own.
std::unique_ptr<IWavSink> MakeWavSink();
// The plain RIFF writer, always built (the tests read its files back).
std::unique_ptr<IWavSink> MakeRiffWavSink();

class TRecorder {
 public:
  static constexpr int kMaxChannels = 8;
  // Room for about three seconds of stereo at 48 kHz: the writer empties
  // it every kWriterPassMs.
  static constexpr size_t kRingSamples = size_t{1} << 18;
  static constexpr int kWriterPassMs = 20;

  explicit TRecorder(std::unique_ptr<IWavSink> Sink = MakeWavSink());
  ~TRecorder();
  TRecorder(const TRecorder&) = delete;
  TRecorder& operator=(const TRecorder&) = delete;

  // Main thread. Opens the file and starts the writer; false with Error
  // set when the file cannot be made (nothing is recorded then).
  bool Start(const std::string& Path, int SampleRate, int Channels, std::string& Error);
  // Main thread. Stops taking buffers, writes what the ring holds and
  // closes the file; false with Error set when any write failed.
  bool Stop(std::string& Error);
  bool Recording() const { return FActive.load(std::memory_order_acquire); }

  // Audio thread: one output buffer, Position the stream index of its
  // first frame. Channels beyond the recorded count are ignored, missing
  // ones recorded as silence.
  void Write(const dsp::TArrayOfSingleArray& Out, int64_t Position);

  // Of the present (or last) recording.
  const std::string& Path() const { return FPath; }
  int SampleRate() const { return FRate; }
  int Channels() const { return FChannels; }
  // The stream index of the first recorded frame; -1 before any.
  int64_t FirstPosition() const { return FFirst.load(std::memory_order_acquire); }
  uint64_t FramesWritten() const { return FWritten.load(std::memory_order_acquire); }
  uint64_t FramesDropped() const { return FDropped.load(std::memory_order_acquire); }
  // Set once by the writer when a write fails (read it after Stop, or
  // poll WriteFailed while recording).
  bool WriteFailed() const { return FFailed.load(std::memory_order_acquire); }

  // Samples the ring holds now.
  size_t Pending() const {
    return static_cast<size_t>(FHead.load(std::memory_order_acquire) -
                               FTail.load(std::memory_order_acquire));
  }
  // Waits (at most Milliseconds) until the writer has emptied the ring;
  // for callers that feed faster than real time, such as tests.
  bool WaitDrained(uint32_t Milliseconds);

 private:
  void WriterLoop();
  // Writer thread: moves what the ring holds into the sink.
  void Drain();

  std::unique_ptr<IWavSink> FSink;
  std::vector<float> FRing;
  std::vector<float> FChunk;
  // Samples, counted forever; the ring index is the count modulo its size.
  std::atomic<uint64_t> FHead{0};  // audio thread writes
  std::atomic<uint64_t> FTail{0};  // writer thread writes
  std::atomic<bool> FActive{false};
  std::atomic<int> FInWrite{0};
  std::atomic<int64_t> FFirst{-1};
  std::atomic<uint64_t> FWritten{0};
  std::atomic<uint64_t> FDropped{0};
  std::atomic<bool> FFailed{false};
  std::string FWriteError;  // writer thread, read after it is joined
  std::string FPath;
  int FRate = 0;
  int FChannels = 0;
  std::mutex FLock;
  std::condition_variable FWake;
  std::condition_variable FDrained;
  bool FStop = false;
  std::thread FWriter;
};

}  // namespace app
