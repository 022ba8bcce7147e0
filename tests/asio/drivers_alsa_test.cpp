// The ALSA driver into ALSA's file plugin: what the host writes into the
// halves must come out of the device sample for sample, in every format
// the device negotiates, with the sample type the format implies.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "asio/drivers/linux/LinuxDrivers.h"
#include "drivers_stand_in.h"

using namespace asio;
using namespace asio::drivers;
using rigtest::TStandInHost;

namespace {

struct TTypeInfo {
  ASIOSampleType Type;
  int Bytes;
};

// ALSA format name -> the sample type the host must be told.
const std::map<std::string, TTypeInfo> kExpected = {
    {"S16_LE", {ASIOSTInt16LSB, 2}},     {"S24_3LE", {ASIOSTInt24LSB, 3}},
    {"S32_LE", {ASIOSTInt32LSB, 4}},     {"S24_LE", {ASIOSTInt32LSB24, 4}},
    {"FLOAT_LE", {ASIOSTFloat32LSB, 4}}, {"FLOAT64_LE", {ASIOSTFloat64LSB, 8}},
    {"S16_BE", {ASIOSTInt16MSB, 2}},     {"S24_3BE", {ASIOSTInt24MSB, 3}},
    {"S32_BE", {ASIOSTInt32MSB, 4}},     {"S24_BE", {ASIOSTInt32MSB24, 4}},
    {"FLOAT_BE", {ASIOSTFloat32MSB, 4}}, {"FLOAT64_BE", {ASIOSTFloat64MSB, 8}},
};

int16_t Signal(int64_t Frame, int Channel) {
  return static_cast<int16_t>(std::lround(20000.0 * std::sin(0.013 * Frame + Channel)));
}

// One sample of value V (16-bit range) in the driver's format.
void Encode(ASIOSampleType Type, int16_t V, uint8_t* To) {
  uint8_t le[8] = {};
  int bytes = 0;
  auto putInt = [&](int64_t x, int n) {
    for (int i = 0; i < n; ++i)
      le[i] = static_cast<uint8_t>(static_cast<uint64_t>(x) >> (8 * i));
    bytes = n;
  };
  bool msb = Type < ASIOSTInt16LSB;
  switch (msb ? Type + 16 : Type) {
    case ASIOSTInt16LSB:
      putInt(V, 2);
      break;
    case ASIOSTInt24LSB:
      putInt(static_cast<int64_t>(V) * 256, 3);
      break;
    case ASIOSTInt32LSB:
      putInt(static_cast<int64_t>(V) * 65536, 4);
      break;
    case ASIOSTInt32LSB24:
      putInt(static_cast<int64_t>(V) * 256, 4);
      break;
    case ASIOSTFloat32LSB: {
      float f = V / 32768.0f;
      std::memcpy(le, &f, 4);
      bytes = 4;
      break;
    }
    case ASIOSTFloat64LSB: {
      double f = V / 32768.0;
      std::memcpy(le, &f, 8);
      bytes = 8;
      break;
    }
  }
  for (int i = 0; i < bytes; ++i)
    To[i] = msb ? le[bytes - 1 - i] : le[i];
}

TAlsaDevice FileDevice(const std::string& Path) {
  TAlsaDevice d;
  d.DisplayName = "ALSA rig file";
  d.PcmName = "rigfile";
  // The file plugin records its capture stream into the same file, so
  // capture goes to a separate null device.
  d.ConfigText =
      "pcm.rigfile { type asym playback.pcm { type file slave { pcm { type null } } "
      "file \"" +
      Path + "\" format raw } capture.pcm { type null } }";
  return d;
}

std::vector<std::string> OfferedFormats(const TAlsaDevice& Dev) {
  std::vector<std::string> formats;
  SetControlPanelHook([&](const TPanelChoices& Choices, TPanelPick&) {
    formats = Choices.Formats;
    return false;
  });
  IASIODriver* d = CreateAlsaDriver(Dev);
  if (d->init(nullptr) == ASIOTrue) d->controlPanel();
  d->Release();
  SetControlPanelHook({});
  return formats;
}

}  // namespace

TEST(AlsaDriver, EveryNegotiatedFormatCarriesTheSignalSampleForSample) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("rig-drivers-" + std::to_string(::getpid()) + ".raw"))
                               .string();
  const TAlsaDevice dev = FileDevice(path);
  const std::vector<std::string> formats = OfferedFormats(dev);
  ASSERT_EQ(formats.size(), kExpected.size()) << "the null device takes every format";
  constexpr int32_t kFrames = 256;
  for (std::size_t f = 0; f < formats.size(); ++f) {
    SCOPED_TRACE(formats[f]);
    const TTypeInfo expected = kExpected.at(formats[f]);
    SetDriverSettings(dev.DisplayName, TDriverSettings{kFrames, static_cast<int32_t>(f)});
    IASIODriver* d = CreateAlsaDriver(dev);
    ASSERT_EQ(d->init(nullptr), ASIOTrue);
    ASIOChannelInfo info{};
    ASSERT_EQ(d->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.type, expected.Type);
    TStandInHost host;
    host.OnSwitch = [&](int32_t Index, int64_t Callback) {
      for (int ch = 0; ch < 2; ++ch) {
        uint8_t* half = static_cast<uint8_t*>(host.Out(ch, Index));
        for (int32_t i = 0; i < kFrames; ++i)
          Encode(expected.Type, Signal(Callback * kFrames + i, ch), half + i * expected.Bytes);
      }
    };
    ASSERT_EQ(host.Setup(d, kFrames), ASE_OK);
    ASSERT_EQ(d->start(), ASE_OK);
    ASSERT_TRUE(TStandInHost::WaitFor([&] { return host.Switches.load() >= 40; }, 5));
    d->stop();
    d->Release();  // closes the device, which flushes the file

    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    const std::size_t frameBytes = 2 * static_cast<std::size_t>(expected.Bytes);
    const std::size_t frames = data.size() / frameBytes;
    EXPECT_GE(frames, 20u * kFrames);
    EXPECT_LE(frames, static_cast<std::size_t>(host.Switches.load()) * kFrames);
    std::size_t mismatches = 0;
    uint8_t want[8];
    for (std::size_t n = 0; n < frames; ++n) {
      for (int ch = 0; ch < 2; ++ch) {
        Encode(expected.Type, Signal(static_cast<int64_t>(n), ch), want);
        mismatches +=
            std::memcmp(want, &data[n * frameBytes + ch * expected.Bytes], expected.Bytes) != 0;
      }
    }
    EXPECT_EQ(mismatches, 0u);
  }
  ClearDriverSettings();
  std::filesystem::remove(path);
}

TEST(AlsaDriver, WithoutAPickTheDevicesPreferredFormatAnd128FramesAreUsed) {
  const TAlsaDevice dev = FileDevice("/dev/null");
  IASIODriver* d = CreateAlsaDriver(dev);
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  int32_t mn, mx, pref, gran;
  ASSERT_EQ(d->getBufferSize(&mn, &mx, &pref, &gran), ASE_OK);
  EXPECT_EQ(pref, 128);
  EXPECT_LE(mn, 128);
  EXPECT_GE(mx, 128);
  ASIOChannelInfo info{};
  ASSERT_EQ(d->getChannelInfo(&info), ASE_OK);
  EXPECT_EQ(info.type, ASIOSTInt32LSB);
  d->Release();
}

TEST(AlsaDriver, ADeviceThatDoesNotOpenFailsInitQuietly) {
  TAlsaDevice missing{"ALSA missing", "rig_no_such_pcm", {}};
  IASIODriver* d = CreateAlsaDriver(missing);
  EXPECT_EQ(d->init(nullptr), ASIOFalse);
  EXPECT_NE(d->start(), ASE_OK);
  int32_t ins, outs;
  EXPECT_NE(d->getChannels(&ins, &outs), ASE_OK);
  d->Release();
  TAlsaDevice broken{"ALSA broken", "x", "pcm.x { type"};
  d = CreateAlsaDriver(broken);
  EXPECT_EQ(d->init(nullptr), ASIOFalse);
  d->Release();
}

// The output latency is the buffer the file plugin was configured with
// (period x 2) until the stream runs, then the delay the plugin reports.
TEST(AlsaDriver, LatenciesAreWhatTheConfiguredDeviceGives) {
  const TAlsaDevice dev = FileDevice("/dev/null");
  for (int32_t frames : {128, 512}) {
    SCOPED_TRACE(frames);
    SetDriverSettings(dev.DisplayName, TDriverSettings{frames, -1});
    IASIODriver* d = CreateAlsaDriver(dev);
    ASSERT_EQ(d->init(nullptr), ASIOTrue);
    TStandInHost host;
    ASSERT_EQ(host.Setup(d, frames), ASE_OK);
    int32_t in = -1, out = -1;
    ASSERT_EQ(d->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(out, 2 * frames);
    EXPECT_EQ(in, host.Inputs > 0 ? frames : 0);  // one period of capture
    ASSERT_EQ(d->start(), ASE_OK);
    ASSERT_TRUE(TStandInHost::WaitFor([&] { return host.Switches.load() > 40; }, 5));
    ASSERT_EQ(d->getLatencies(&in, &out), ASE_OK);
    EXPECT_GE(out, frames);
    EXPECT_LE(out, 2 * frames + frames / 4);
    d->Release();
  }
  ClearDriverSettings();
}
