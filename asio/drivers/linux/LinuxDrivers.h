#pragma once
// The built-in Linux drivers: ALSA, JACK and a self-clocked stand-in that
// needs no sound hardware (discarding its output or recording it to a WAV
// file). ALSA, JACK and the recorder are each built only when the build
// has their library.
#include <cstdint>
#include <string>
#include <vector>

#include "asio/ASIODriver.h"
#include "asio/DriverCatalogue.h"
#include "asio/drivers/PlatformDrivers.h"

namespace asio::drivers {

// Each factory answers a new driver object holding one reference.

#if RIG_WITH_ALSA
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
std::vector<TCatalogueEntry> AlsaEntries();
#endif

#if RIG_WITH_JACK
struct TJackOptions {
  std::string DisplayName = "JACK";
  std::string ClientName = "paddle-keyer-rig";
  std::string ServerName;  // empty: the default server
  bool ConnectPhysical = true;
};
IASIODriver* CreateJackDriver(const TJackOptions& Options);
// True when a JACK server answers (never starts one).
bool JackServerReachable();
std::vector<TCatalogueEntry> JackEntries();
#endif

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
  // that gets a new time-stamped file at each recording. A build without
  // the recorder refuses init for such options.
  std::string WavPath;
  IPacer* Pacer = nullptr;  // nullptr: MonotonicPacer()
  // Frames the recorder's ring holds; 0 picks one second.
  int32_t RingFrames = 0;
};
IASIODriver* CreateSelfClockedDriver(const TSelfClockedOptions& Options);
// The folder the WAV recorder entry writes to: $HOME/ or the current one.
std::string DefaultRecordingFolder();

// The discard entry, and the WAV recorder's where the build records.
std::vector<TCatalogueEntry> SelfClockedEntries();

}  // namespace asio::drivers
