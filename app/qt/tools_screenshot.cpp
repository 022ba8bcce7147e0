// Renders the main window (with a simulated COM1 and the self-clocked
// driver, so it runs anywhere) to a PNG file: the picture in the README.
#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <cstdio>

#include "app/qt/QtMessagePump.h"
#include "app/qt/fKeyerWindow.h"
#include "asio/DASIOConvert.h"
#include "asio/drivers/PlatformDrivers.h"
#include "serial/SimulatedPort.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
    return 2;
  }
  asio::InitializeConverters();
  asio::RegisterPlatformDrivers();
  QApplication application(argc, argv);
  app::qt::InstallMessagePump();
  serial::TSimulatedPortDriver devices;
  serial::TSimulatedPort& com1 = devices.AddPort("COM1");
  com1.SetCTS(true);
  com1.SetDSR(true);
  app::TKeyerPlatform platform;
  platform.Devices = &devices;
  platform.DevicePaths = {"/dev/serial/by-id/usb-Test_Paddle-if00"};
  int result = 1;
  {
    app::qt::TfrmKeyerWindow window(platform);
    window.show();
    // Let the worker thread report the line states, then draw.
    QTimer::singleShot(600, &window, [&] {
      window.Form().UpdateLineCheckBoxes();
      result = window.grab().save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
      window.close();
    });
    application.exec();
  }
  app::qt::RemoveMessagePump();
  return result;
}
