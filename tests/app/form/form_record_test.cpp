// Recording through the form: a minute of keying in virtual time gives a
// WAV file of the driver's stream and a CSV of the trace that line up
// sample for sample; the status line names the file; a recording that
// cannot start says why.
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ScriptedKeying.h"

namespace app::testing {
namespace {

namespace fs = std::filesystem;

class FormRecord : public FormTiming {
 protected:
  void SetUp() override {
    FormTiming::SetUp();
    Folder = fs::temp_directory_path() / ("rig-form-record-" + std::to_string(::getpid()));
    fs::remove_all(Folder);
    fs::create_directories(Folder);
    RecordDirectory = Folder.string();
  }
  void TearDown() override {
    FormTiming::TearDown();
    fs::remove_all(Folder);
  }
  std::vector<fs::path> Files(const char* Extension) const {
    std::vector<fs::path> found;
    for (const auto& e : fs::directory_iterator(Folder))
      if (e.path().extension() == Extension) found.push_back(e.path());
    return found;
  }
  std::string LastStatus() {
    Form->CheckStatus();
    return View.StatusText;
  }

  fs::path Folder;
};

struct TCsvEdge {
  bool Down;
  int64_t Frame;
};

std::vector<TCsvEdge> KeyEdges(const fs::path& Csv, std::string& Header) {
  std::ifstream in(Csv);
  std::getline(in, Header);
  std::vector<TCsvEdge> edges;
  std::string line;
  while (std::getline(in, line)) {
    std::stringstream row(line);
    std::string time, source, event, value;
    std::getline(row, time, ',');
    std::getline(row, source, ',');
    std::getline(row, event, ',');
    std::getline(row, value, ',');
    if ((event == "key down" || event == "key up") && !value.empty())
      edges.push_back({event == "key down", std::stoll(value)});
  }
  return edges;
}

TEST_F(FormRecord, AMinuteOfKeyingIsRecordedWithItsTraceAlignedToTheSample) {
  Factory.Config.PreferredSize = kHalf;
  Create();
  serial::TSimulatedPort& port = *Devices.Port("COM1");
  port.SetCTS(true);
  port.SetDSR(true);
  ASSERT_TRUE(PumpUntil([&] { return Form->SerialPort1().CTSState(); }));

  Form->Record1Click();
  ASSERT_TRUE(Form->Recording()) << View.StatusText;
  EXPECT_TRUE(View.RecordingShown);
  EXPECT_NE(LastStatus().find("Recording to " + Folder.string()), std::string::npos)
      << View.StatusText;

  // PARIS keyed through the whole road, then a minute of the driver
  // playing on: the keyed part is what the element checks below look at.
  std::vector<TExpect> causes;
  double end = 0;
  const std::string letters = "PARIS";
  std::vector<TChange> script = Paddles(letters, causes, end);
  // Faster than real time: the writer is given time to keep up.
  OnHalf = [this] {
    if (Form->Recorder().Pending() > TRecorder::kRingSamples / 2) {
      ASSERT_TRUE(Form->Recorder().WaitDrained(5000));
    }
  };
  // The keying loop runs on, idle, to past a minute.
  Run(std::move(script), 61000);
  const int64_t halves = RunHalves;
  OnHalf = nullptr;
  Form->Record1Click();
  EXPECT_FALSE(Form->Recording());
  EXPECT_FALSE(View.RecordingShown);
  EXPECT_NE(LastStatus().find("Recorded "), std::string::npos) << View.StatusText;

  const std::vector<fs::path> wavs = Files(".wav"), csvs = Files(".csv");
  ASSERT_EQ(wavs.size(), 1u);
  ASSERT_EQ(csvs.size(), 1u);
  EXPECT_EQ(wavs[0].stem(), csvs[0].stem());
  EXPECT_EQ(wavs[0].stem().string().rfind("paddle-rig-", 0), 0u);
  EXPECT_NE(View.StatusText.find(wavs[0].string()), std::string::npos);

  // The whole stream from the first buffer after the click.
  SF_INFO info{};
  SNDFILE* f = sf_open(wavs[0].c_str(), SFM_READ, &info);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  EXPECT_EQ(info.channels, Form->ASIOHost1().OutputChannels());
  EXPECT_EQ(info.samplerate, static_cast<int>(Form->ASIOHost1().SampleRate()));
  EXPECT_EQ(info.frames, halves * kHalf);
  EXPECT_GE(static_cast<double>(info.frames) / info.samplerate, 60.0);
  std::vector<float> data(static_cast<size_t>(info.frames * info.channels));
  ASSERT_EQ(sf_readf_float(f, data.data(), info.frames), info.frames);
  sf_close(f);
  EXPECT_EQ(Form->Recorder().FramesDropped(), 0u);

  // Onsets of the tone in the file: the first sound after a silence.
  const auto sample = [&](int64_t i) { return data[static_cast<size_t>(i * info.channels)]; };
  std::vector<int64_t> onsets;
  int64_t quiet = 1 << 20;
  for (int64_t i = 0; i < info.frames; ++i) {
    if (std::fabs(sample(i)) > 1e-4f) {
      if (quiet > 480) onsets.push_back(i);
      quiet = 0;
    } else {
      ++quiet;
    }
  }

  std::string header;
  const std::vector<TCsvEdge> edges = KeyEdges(csvs[0], header);
  EXPECT_EQ(header, "time,source,event,value");
  std::vector<int64_t> downs;
  const double dit = Form->Keyer().DitTime() * info.samplerate;
  int wrongMarks = 0;
  for (size_t i = 0; i < edges.size(); ++i) {
    if (!edges[i].Down) continue;
    downs.push_back(edges[i].Frame);
    ASSERT_LT(i + 1, edges.size());
    ASSERT_FALSE(edges[i + 1].Down);
    const double mark = static_cast<double>(edges[i + 1].Frame - edges[i].Frame);
    wrongMarks += std::fabs(mark - dit) > 1 && std::fabs(mark - 3 * dit) > 1;
  }
  EXPECT_EQ(wrongMarks, 0);
  // PARIS is 14 elements.
  EXPECT_EQ(downs.size(), 14 * letters.size() / 5);
  ASSERT_EQ(onsets.size(), downs.size());
  int misplaced = 0;
  for (size_t i = 0; i < downs.size(); ++i)
    misplaced += onsets[i] < downs[i] || onsets[i] > downs[i] + 2;
  EXPECT_EQ(misplaced, 0);
}

TEST_F(FormRecord, ARecordingThatCannotStartSaysWhyAndShowsItIsOff) {
  RecordDirectory = (Folder / "missing").string();
  Create();
  Form->Record1Click();
  EXPECT_FALSE(Form->Recording());
  EXPECT_FALSE(View.RecordingShown);
  EXPECT_NE(LastStatus().find("Cannot record to "), std::string::npos) << View.StatusText;
  EXPECT_EQ(View.StatusSeverity, core::svError);
  EXPECT_FALSE(Form->Tracing());
}

TEST_F(FormRecord, ChangingTheDriverEndsTheRecording) {
  Create(2);
  Form->Record1Click();
  ASSERT_TRUE(Form->Recording());
  View.cbASIOdriverIndex = 1;
  Form->cbASIOdriverChange();
  EXPECT_FALSE(Form->Recording());
  EXPECT_FALSE(View.RecordingShown);
  bool said = false;
  Form->CheckStatus();
  for (const auto& e : Form->StatusHistory())
    said |= std::string(e.Record.Text).find("the driver changed") != std::string::npos;
  EXPECT_TRUE(said);
  EXPECT_EQ(Files(".wav").size(), 1u);
}

}  // namespace
}  // namespace app::testing
