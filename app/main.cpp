// Program start-up: the converter table, the built-in drivers, the main
// window (whose creation loads driver 0, opens COM1 and starts the host),
// the hidden About box, then the event loop. The window's first activation
// enters the keying loop, which pumps every message until the window closes.
#include <QApplication>

#include "app/ControlPanelDialog.h"
#include "app/MessagePump.h"
#include "app/fHelpAbout.h"
#include "app/fKeyer.h"
#include "asio/DASIOConvert.h"
#include "asio/drivers/PlatformDrivers.h"
#include "core/MainThread.h"
#include "serial/SerialDevices.h"

int main(int argc, char** argv) {
  asio::InitializeConverters();
  asio::RegisterPlatformDrivers();
  QApplication application(argc, argv);
  app::InstallMessagePump();
  asio::drivers::SetControlPanelHook(app::ShowDriverControlPanel);

  app::TKeyerPlatform platform;
  platform.DevicePaths = serial::ListSerialDevices();
  int result;
  {
    app::TfrmKeyer frmKeyer(platform);
    app::TfrmHelpAbout frmHelpAbout(&frmKeyer);
    frmKeyer.SetAboutBox(&frmHelpAbout);
    frmKeyer.show();
    result = application.exec();
  }
  asio::drivers::SetControlPanelHook(nullptr);
  return result;
}
