// The recorder: what goes in comes out of the WAV file sample for sample,
// whichever sink writes it; a disk that falls behind costs whole buffers,
// counted, and never blocks the audio side; a failed write is reported.
#include "app/form/Recorder.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

namespace app::testing {
namespace {

namespace fs = std::filesystem;

class RecorderFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    Folder = fs::temp_directory_path() / ("rig-recorder-" + std::to_string(::getpid()));
    fs::create_directories(Folder);
  }
  void TearDown() override { fs::remove_all(Folder); }
  std::string File(const char* Name) const { return (Folder / Name).string(); }

  fs::path Folder;
};

// A buffer whose samples tell their frame and channel apart.
void FillBuffer(dsp::TArrayOfSingleArray& Out, int64_t First) {
  for (size_t c = 0; c < Out.size(); ++c)
    for (size_t i = 0; i < Out[c].size(); ++i)
      Out[c][i] = static_cast<float>((First + static_cast<int64_t>(i)) % 1000) / 1000.0f -
                  (c == 0 ? 0.0f : 0.5f);
}

class RecorderSinks : public RecorderFiles, public ::testing::WithParamInterface<bool> {};

TEST_P(RecorderSinks, AMinuteOfBuffersComesBackSampleForSample) {
  TRecorder recorder(GetParam() ? MakeWavSink() : MakeRiffWavSink());
  std::string error;
  const std::string path = File("minute.wav");
  ASSERT_TRUE(recorder.Start(path, 48000, 2, error)) << error;
  dsp::TArrayOfSingleArray out(2, dsp::TSingleArray(128));
  const int64_t first = 1000;  // the stream ran before the recording began
  const int64_t frames = 60 * 48000;
  for (int64_t at = first; at < first + frames; at += 128) {
    FillBuffer(out, at);
    recorder.Write(out, at);
    // Faster than real time: let the writer keep up instead of dropping.
    if (recorder.Pending() > TRecorder::kRingSamples / 2) {
      ASSERT_TRUE(recorder.WaitDrained(5000));
    }
  }
  ASSERT_TRUE(recorder.Stop(error)) << error;
  EXPECT_EQ(recorder.FirstPosition(), first);
  EXPECT_EQ(recorder.FramesWritten(), static_cast<uint64_t>(frames));
  EXPECT_EQ(recorder.FramesDropped(), 0u);
  // Buffers after the stop are not taken.
  recorder.Write(out, first + frames);

  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  EXPECT_EQ(info.channels, 2);
  EXPECT_EQ(info.samplerate, 48000);
  EXPECT_EQ(info.frames, frames);
  std::vector<float> data(static_cast<size_t>(frames) * 2);
  ASSERT_EQ(sf_readf_float(f, data.data(), frames), frames);
  sf_close(f);
  size_t wrong = 0;
  for (int64_t i = 0; i < frames; ++i) {
    const float want = static_cast<float>((first + i) % 1000) / 1000.0f;
    wrong += data[static_cast<size_t>(2 * i)] != want;
    wrong += data[static_cast<size_t>(2 * i + 1)] != want - 0.5f;
  }
  EXPECT_EQ(wrong, 0u);
}

INSTANTIATE_TEST_SUITE_P(Sinks, RecorderSinks, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& Info) {
                           return Info.param ? "Platform" : "PlainRiff";
                         });

// A sink that holds its writer until told, then fails or succeeds.
class TStalledSink : public IWavSink {
 public:
  bool Open(const std::string&, int, int, std::string&) override { return true; }
  bool Write(const float*, size_t Frames, std::string& Error) override {
    while (!Release.load())
      std::this_thread::yield();
    if (Fail) {
      Error = "No space left on device";
      return false;
    }
    Frames_ += Frames;
    return true;
  }
  bool Close(std::string&) override { return true; }

  std::atomic<bool> Release{false};
  bool Fail = false;
  std::atomic<uint64_t> Frames_{0};
};

TEST(RecorderFaults, AStalledDiskCostsWholeCountedBuffersAndNeverBlocksTheAudioSide) {
  auto sink = std::make_unique<TStalledSink>();
  TStalledSink& s = *sink;
  TRecorder recorder(std::move(sink));
  std::string error;
  ASSERT_TRUE(recorder.Start("stalled.wav", 48000, 2, error));
  dsp::TArrayOfSingleArray out(2, dsp::TSingleArray(256));
  // Four times the ring while the writer is stuck: every call returns.
  const int buffers = static_cast<int>(4 * TRecorder::kRingSamples / 512);
  for (int b = 0; b < buffers; ++b)
    recorder.Write(out, int64_t{b} * 256);
  EXPECT_GT(recorder.FramesDropped(), 0u);
  EXPECT_EQ(recorder.FramesDropped() % 256, 0u);  // whole buffers only
  s.Release = true;
  ASSERT_TRUE(recorder.Stop(error)) << error;
  EXPECT_EQ(recorder.FramesWritten() + recorder.FramesDropped(), uint64_t(buffers) * 256);
  EXPECT_EQ(s.Frames_.load(), recorder.FramesWritten());
}

TEST(RecorderFaults, AFailedWriteIsReportedAndTheRingKeepsMoving) {
  auto sink = std::make_unique<TStalledSink>();
  sink->Fail = true;
  sink->Release = true;
  TRecorder recorder(std::move(sink));
  std::string error;
  ASSERT_TRUE(recorder.Start("full.wav", 48000, 1, error));
  dsp::TArrayOfSingleArray out(1, dsp::TSingleArray(64));
  for (int b = 0; b < 100; ++b)
    recorder.Write(out, b * 64);
  ASSERT_TRUE(recorder.WaitDrained(5000));
  EXPECT_TRUE(recorder.WriteFailed());
  EXPECT_FALSE(recorder.Stop(error));
  EXPECT_EQ(error, "No space left on device");
  EXPECT_EQ(recorder.FramesDropped(), 0u);
}

TEST_F(RecorderFiles, AFileThatCannotBeMadeIsRefusedWithTheReason) {
  for (bool platform : {true, false}) {
    TRecorder recorder(platform ? MakeWavSink() : MakeRiffWavSink());
    std::string error;
    EXPECT_FALSE(recorder.Start(File("no-such-folder/x.wav"), 48000, 2, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(recorder.Recording());
    EXPECT_FALSE(recorder.Start(File("x.wav"), 0, 2, error)) << "no rate, no file";
  }
}

}  // namespace
}  // namespace app::testing
