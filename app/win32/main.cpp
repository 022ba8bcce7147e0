// Program start-up on Windows: the converter table, the built-in and
// installed drivers, the main window (whose creation loads driver 0, opens
// COM1 and starts the host), then the message loop. The window's first
// activation enters the keying loop, which pumps every message until the
// window closes.
#include <cstdio>

#include "app/form/CommandLine.h"
#include "asio/DASIOConvert.h"
#include "asio/drivers/PlatformDrivers.h"
#include "serial/SerialDevices.h"

// The system's headers last (see fKeyerWindow.h).
#include "app/win32/fKeyerWindow.h"

namespace {

constexpr const char* kUsage =
    "Usage: paddle-rig [--quit-after MS] [--port NAME] [--state FILE]\n"
    "       paddle-rig --version | --help\n"
    "Keys Morse code from a paddle on a serial port's CTS (dah) and DSR (dit)\n"
    "lines, or from the keyboard ([ and ], Left and Right Ctrl), and plays a\n"
    "click-free sidetone.\n"
    "\n"
    "  --quit-after MS  start, then close the window and quit after MS milliseconds\n"
    "  --port NAME      choose this entry of the port list at start-up\n"
    "  --state FILE     log the paddle lines and status texts to FILE as they\n"
    "                   change, and every control's state when the window closes\n"
    "  --version        print the name and version, then exit\n"
    "  -h, --help       print this help, then exit\n";

constexpr UINT_PTR kQuitTimer = 2;
HWND gMainWindow = nullptr;

void CALLBACK QuitAfter(HWND, UINT, UINT_PTR Id, DWORD) {
  KillTimer(nullptr, Id);
  // Closing goes the way File, Exit does, through the form's shutdown.
  if (gMainWindow != nullptr) PostMessageW(gMainWindow, WM_CLOSE, 0, 0);
}

}  // namespace

int main(int argc, char** argv) {
  app::TCommandLine line;
  const int status = app::ReadCommandLine(argc, argv, {kUsage, true, false}, line);
  if (status >= 0) return status;
  const std::string& port = line.Port;
  const std::string& statePath = line.StatePath;

  std::FILE* state = nullptr;
  if (!statePath.empty()) {
    state = std::fopen(statePath.c_str(), "wb");
    if (state == nullptr) return app::BadOption("cannot write the state file", statePath.c_str());
  }

  asio::InitializeConverters();
  asio::RegisterPlatformDrivers();
  app::TKeyerPlatform platform;
  platform.DevicePaths = serial::ListSerialDevices();
  int result = 0;
  {
    app::win32::TfrmKeyerWindow frmKeyer(platform);
    frmKeyer.SetStateLog(state);
    gMainWindow = frmKeyer.Handle();
    if (!port.empty() && !frmKeyer.ChoosePort(port)) {
      std::fprintf(stderr, "paddle-rig: no port list entry '%s'\n", port.c_str());
      frmKeyer.Form().FormClose();
      result = app::kBadOption;
    } else {
      frmKeyer.Show(SW_SHOWNORMAL);
      if (line.QuitAfterMs >= 0)
        SetTimer(nullptr, kQuitTimer, static_cast<UINT>(line.QuitAfterMs), QuitAfter);
      MSG msg;
      while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && msg.hwnd == nullptr) {
          DispatchMessageW(&msg);
          continue;
        }
        if (!app::win32::DispatchOne(msg)) break;
      }
      result = static_cast<int>(msg.wParam);
      if (state != nullptr) std::fputs(frmKeyer.DumpState().c_str(), state);
    }
    gMainWindow = nullptr;
  }
  // A state file cut short (a full disk) is no state file.
  if (state != nullptr) {
    const bool failed = std::ferror(state) != 0;
    if (std::fclose(state) != 0 || failed)
      result = app::BadOption("cannot write the state file", statePath.c_str());
  }
  return result;
}
