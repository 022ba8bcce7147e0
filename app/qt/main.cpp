// Program start-up: the converter table, the built-in drivers, the main
// window (whose creation loads driver 0, opens COM1 and starts the host),
// the hidden About box, then the event loop. The window's first activation
// enters the keying loop, which pumps every message until the window closes.
// The rig's own options are read before the toolkit starts, so --version and
// --help work without a display.
#include <QApplication>
#include <QTimer>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/form/FormLayout.h"
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

constexpr int kBadOption = 2;

// A whole number of milliseconds, 0 to INT_MAX, with nothing after it.
bool ParseMilliseconds(const char* Text, int& Ms) {
  if (Text == nullptr || *Text < '0' || *Text > '9') return false;
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(Text, &end, 10);
  if (errno != 0 || *end != '\0' || value > INT_MAX) return false;
  Ms = static_cast<int>(value);
  return true;
}

int BadOption(const char* Message, const char* Argument) {
  std::fprintf(stderr, "paddle-rig: %s '%s'\nTry 'paddle-rig --help'.\n", Message, Argument);
  return kBadOption;
}

}  // namespace

int main(int argc, char** argv) {
  // The rig's options leave argv; the toolkit's stay for QApplication.
  int quitAfterMs = -1;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--version") == 0) {
      std::printf("%s\n", app::AboutLines()[0].c_str());
      return 0;
    }
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    const char* value = nullptr;
    if (std::strcmp(arg, "--quit-after") == 0) {
      if (i + 1 >= argc) return BadOption("missing milliseconds after", arg);
      value = argv[++i];
    } else if (std::strncmp(arg, "--quit-after=", 13) == 0) {
      value = arg + 13;
    } else {
      argv[kept++] = argv[i];
      continue;
    }
    if (!ParseMilliseconds(value, quitAfterMs))
      return BadOption("--quit-after takes whole milliseconds, not", value);
  }
  argc = kept;
  argv[argc] = nullptr;

  asio::InitializeConverters();
  asio::RegisterPlatformDrivers();
  QApplication application(argc, argv);
  // Whatever the toolkit did not take is not an option of this program.
  if (argc > 1) return BadOption("unknown option", argv[1]);
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
    if (quitAfterMs >= 0)
      QTimer::singleShot(quitAfterMs, &frmKeyer, [&frmKeyer] { frmKeyer.close(); });
    result = application.exec();
  }
  asio::drivers::SetControlPanelHook(nullptr);
  app::qt::RemoveMessagePump();
  return result;
}
