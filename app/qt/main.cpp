// Program start-up: the converter table, the built-in drivers, the main
// window (whose creation loads driver 0, opens COM1 and starts the host),
// the hidden About box, then the event loop. The window's first activation
// enters the keying loop, which pumps every message until the window closes.
// The rig's own options are read before the toolkit starts, so --version and
// --help work without a display.
#include <QApplication>
#include <QTimer>

#include "app/form/CommandLine.h"
#include "app/qt/ControlPanelDialog.h"
#include "app/qt/QtMessagePump.h"
#include "app/qt/fHelpAbout.h"
#include "app/qt/fKeyerWindow.h"
#include "asio/DASIOConvert.h"
#include "asio/drivers/PlatformDrivers.h"
#include "serial/SerialDevices.h"

namespace {

constexpr const char* kUsage =
    "Usage: paddle-rig [--quit-after MS] [Qt options]\n"
    "       paddle-rig --version | --help\n"
    "Keys Morse code from a paddle on a serial port's CTS (dah) and DSR (dit)\n"
    "lines, or from the keyboard ([ and ], Left and Right Ctrl), and plays a\n"
    "click-free sidetone.\n"
    "\n"
    "  --quit-after MS  start, then close the window and quit after MS milliseconds\n"
    "  --version        print the name and version, then exit\n"
    "  -h, --help       print this help, then exit\n"
    "\n"
    "Qt options such as -platform offscreen are passed on. See paddle-rig(1).\n";

}  // namespace

int main(int argc, char** argv) {
  // The rig's options leave argv; the toolkit's stay for QApplication.
  app::TCommandLine line;
  const int status = app::ReadCommandLine(argc, argv, {kUsage, false, true}, line);
  if (status >= 0) return status;

  asio::InitializeConverters();
  asio::RegisterPlatformDrivers();
  QApplication application(argc, argv);
  // Whatever the toolkit did not take is not an option of this program.
  if (argc > 1) return app::BadOption("unknown option", argv[1]);
#ifdef RIG_DESKTOP_ID
  // Lets the desktop match the window to its menu entry and icon.
  QGuiApplication::setDesktopFileName(RIG_DESKTOP_ID);
#endif
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
    // Closing goes the way File, Exit does, through the form's shutdown.
    if (line.QuitAfterMs >= 0)
      QTimer::singleShot(line.QuitAfterMs, &frmKeyer, [&frmKeyer] { frmKeyer.close(); });
    result = application.exec();
  }
  asio::drivers::SetControlPanelHook(nullptr);
  app::qt::RemoveMessagePump();
  return result;
}
