// Program start-up: the converter table, the built-in drivers, the main
// window (whose creation loads driver 0, opens COM1 and starts the host),
// the hidden About box, then the event loop. The window's first activation
// enters the keying loop, which pumps every message until the window closes.
#include <QApplication>

#include "app/qt/ControlPanelDialog.h"
#include "app/qt/QtMessagePump.h"
#include "app/qt/fHelpAbout.h"
#include "app/qt/fKeyerWindow.h"
#include "asio/DASIOConvert.h"
#include "asio/drivers/PlatformDrivers.h"
#include "serial/SerialDevices.h"

int main(int argc, char** argv) {
  asio::InitializeConverters();
  asio::RegisterPlatformDrivers();
  QApplication application(argc, argv);
  app::qt::InstallMessagePump();
  asio::drivers::SetControlPanelHook(app::qt::ShowDriverControlPanel);

  app::TKeyerPlatform platform;
  platform.DevicePaths = serial::ListSerialDevices();
  int result;
  {
    app::qt::TfrmKeyerWindow frmKeyer(platform);
    app::qt::TfrmHelpAbout frmHelpAbout(&frmKeyer);
    frmKeyer.SetAboutBox(&frmHelpAbout);
    frmKeyer.show();
    result = application.exec();
  }
  asio::drivers::SetControlPanelHook(nullptr);
  app::qt::RemoveMessagePump();
  return result;
}
