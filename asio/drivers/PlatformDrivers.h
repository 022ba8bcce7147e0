#pragma once
// The built-in Linux drivers (ALSA, JACK and a self-clocked stand-in that
// needs no sound hardware), their catalogue registration, the settings a
// user picks in their control panels, and the hook through which a window
// toolkit supplies that control panel.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "asio/ASIODriver.h"
#include "asio/DriverCatalogue.h"

namespace asio {

// Registers the driver sources with the catalogue, in the order ALSA,
// JACK, self-clocked (discard), self-clocked (WAV recorder). Repeated
// calls do nothing.
void RegisterPlatformDrivers();

namespace drivers {

// Catalogue ranks of the sources.
constexpr int kRankAlsa = 100;
constexpr int kRankJack = 200;
constexpr int kRankSelfClocked = 300;

// A class identifier derived from the driver kind and device name only, so
// an entry keeps its identity between runs.
TGUID NameBasedClassId(std::string_view Kind, std::string_view Device);

// What a user picked in a control panel. Kept per driver entry for the
// process's lifetime, so the driver object the host creates after the
// reset request starts with the pick. 0 / -1 mean "the driver's default".
struct TDriverSettings {
  int32_t BufferSize = 0;
  int32_t Format = -1;  // index into TPanelChoices::Formats
};
TDriverSettings GetDriverSettings(const std::string& Key);
void SetDriverSettings(const std::string& Key, const TDriverSettings& Settings);
void ClearDriverSettings();

// The control panel's contents: what the driver offers and what it uses now.
struct TPanelChoices {
  std::string DriverName;
  std::vector<int32_t> BufferSizes;
  int32_t CurrentBufferSize = 0;
  std::vector<std::string> Formats;  // empty: the driver has no choice
  int32_t CurrentFormat = -1;
};
struct TPanelPick {
  int32_t BufferSize = 0;
  int32_t Format = -1;
};
// Shows the panel (modally, on the main thread) and answers true with the
// user's pick, or false when the user cancelled.
using TControlPanelHook = std::function<bool(const TPanelChoices& Choices, TPanelPick& Pick)>;
// Installs the hook; an empty one removes it. Without a hook every
// driver's controlPanel answers ASE_OK and changes nothing.
void SetControlPanelHook(TControlPanelHook Hook);
TControlPanelHook ControlPanelHook();

// ---- Factories. Each answers a new driver object holding one reference.

struct TAlsaDevice {
  std::string DisplayName;  // the entry's name; also the settings key
  std::string PcmName;      // "default", "hw:0,0", "plughw:0,0", ...
  // Optional ALSA configuration text merged over the system configuration
  // before the PCM is opened (defines PCMs of its own, e.g. for tests).
  std::string ConfigText;
};
IASIODriver* CreateAlsaDriver(const TAlsaDevice& Device);
// Playback devices that open: "default", then every hw and plughw device.
std::vector<TAlsaDevice> EnumerateAlsaDevices();

struct TJackOptions {
  std::string DisplayName = "JACK";
  std::string ClientName = "paddle-keyer-rig";
  std::string ServerName;  // empty: the default server
  bool ConnectPhysical = true;
};
IASIODriver* CreateJackDriver(const TJackOptions& Options);
// True when a JACK server answers (never starts one).
bool JackServerReachable();

// Pacing source of the self-clocked driver: monotonic nanoseconds and an
// absolute-deadline sleep. Tests substitute a virtual one.
class IPacer {
 public:
  virtual ~IPacer() = default;
  virtual int64_t NowNs() = 0;
  virtual void SleepUntilNs(int64_t DeadlineNs) = 0;
};
IPacer& MonotonicPacer();

struct TSelfClockedOptions {
  std::string DisplayName = "Self-clocked (discard)";
  // Empty: the output is discarded. Otherwise the output is recorded to a
  // 32-bit float stereo WAV file; a path ending in '/' names a directory
  // that gets a new time-stamped file at each recording.
  std::string WavPath;
  IPacer* Pacer = nullptr;  // nullptr: MonotonicPacer()
  // Frames the recorder's ring holds; 0 picks one second.
  int32_t RingFrames = 0;
};
IASIODriver* CreateSelfClockedDriver(const TSelfClockedOptions& Options);
// The folder the WAV recorder entry writes to: $HOME/ or the current one.
std::string DefaultRecordingFolder();

// Catalogue entries of each source (what RegisterPlatformDrivers lists).
std::vector<TCatalogueEntry> AlsaEntries();
std::vector<TCatalogueEntry> JackEntries();
std::vector<TCatalogueEntry> SelfClockedEntries();

// Counters a driver exposes for tests and the measurement tool; reached
// through QueryInterface with kStatsIID.
struct TDriverStats {
  uint64_t Callbacks = 0;
  uint64_t Xruns = 0;          // underruns/overruns recovered, late wake-ups
  uint64_t DroppedFrames = 0;  // frames the recorder could not keep
  bool DeviceLost = false;
};
class IDriverStats {
 public:
  virtual TDriverStats Stats() const = 0;

 protected:
  ~IDriverStats() = default;
};
extern const TGUID kStatsIID;

}  // namespace drivers
}  // namespace asio
