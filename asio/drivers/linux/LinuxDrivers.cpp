#include "asio/drivers/linux/LinuxDrivers.h"

namespace asio::drivers {

void RegisterNativeSources() {
#if RIG_WITH_ALSA
  DriverCatalogue::RegisterSource(kRankAlsa, AlsaEntries);
#endif
#if RIG_WITH_JACK
  DriverCatalogue::RegisterSource(kRankJack, JackEntries);
#endif
  DriverCatalogue::RegisterSource(kRankSelfClocked, SelfClockedEntries);
}

}  // namespace asio::drivers
