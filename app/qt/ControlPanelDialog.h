#pragma once
// The built-in drivers' control panel, shown through the drivers' hook.
#include "asio/drivers/PlatformDrivers.h"

namespace app::qt {

// Shows the panel modally; answers true with the user's pick.
bool ShowDriverControlPanel(const asio::drivers::TPanelChoices& Choices,
                            asio::drivers::TPanelPick& Pick);

}  // namespace app::qt
