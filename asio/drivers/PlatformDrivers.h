#pragma once
// What the built-in drivers of every platform share: their catalogue
// registration, identities, the settings a user picks in their control
// panels, and the hook through which a window toolkit supplies that
// control panel. Each platform's drivers live in a folder of their own
// (linux/) and are chosen by the build.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "asio/ASIODriver.h"
#include "asio/DriverCatalogue.h"

namespace asio {

// Registers the sources of the drivers this build has with the catalogue
// (on Linux in the order ALSA, JACK, self-clocked (discard), self-clocked
// (WAV recorder), each only when built in). Repeated calls do nothing.
void RegisterPlatformDrivers();

namespace drivers {

// The platform folder's part of RegisterPlatformDrivers; called once.
void RegisterNativeSources();

// Catalogue ranks of the sources.
constexpr int kRankAlsa = 100;
constexpr int kRankJack = 200;
constexpr int kRankSelfClocked = 300;

// Which drivers this build has (the build's RIG_WITH_* options).
#ifndef RIG_WITH_ALSA
#define RIG_WITH_ALSA 0
#endif
#ifndef RIG_WITH_JACK
#define RIG_WITH_JACK 0
#endif
#ifndef RIG_WITH_SNDFILE
#define RIG_WITH_SNDFILE 0
#endif

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
  std::string Note;  // shown with the choices; empty: the general advice
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
