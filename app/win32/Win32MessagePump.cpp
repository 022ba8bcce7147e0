#include "app/win32/Win32MessagePump.h"

#include <atomic>

#include "core/MainThread.h"

namespace app::win32 {

namespace {

std::atomic<HWND> gWindow{nullptr};
UINT gWakeMessage = WM_NULL;
TKeyFilter gFilter = nullptr;
bool gQuitSeen = false;

void PumpAll() {
  MSG msg;
  while (!gQuitSeen && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (!DispatchOne(msg)) break;
  }
  core::MainThread::CheckSynchronize();
}

}  // namespace

bool DispatchOne(const MSG& Message) {
  if (Message.message == WM_QUIT) {
    // The loop that sees it first may be a nested one; the outer one must
    // end as well.
    gQuitSeen = true;
    PostQuitMessage(static_cast<int>(Message.wParam));
    return false;
  }
  if (gFilter != nullptr && gFilter(Message)) return true;
  HWND window = gWindow.load();
  if (window != nullptr && IsDialogMessageW(window, const_cast<MSG*>(&Message))) return true;
  TranslateMessage(&Message);
  DispatchMessageW(&Message);
  return true;
}

void TWin32MessagePump::ProcessMessages() {
  PumpAll();
}

void TWin32MessagePump::IdleWait(uint32_t Milliseconds) {
  if (core::MainThread::Pending() > 0 || gQuitSeen) return;
  MsgWaitForMultipleObjectsEx(0, nullptr, Milliseconds, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

void InstallMessagePump(HWND Window, UINT WakeMessage, TKeyFilter Filter) {
  gWakeMessage = WakeMessage;
  gFilter = Filter;
  gQuitSeen = false;
  gWindow.store(Window);
  core::SetMessagePump(PumpAll);
  core::MainThread::SetWakeHook([] {
    if (HWND window = gWindow.load()) PostMessageW(window, gWakeMessage, 0, 0);
  });
}

void RemoveMessagePump() {
  core::MainThread::SetWakeHook(nullptr);
  core::SetMessagePump(nullptr);
  gWindow.store(nullptr);
  gFilter = nullptr;
}

}  // namespace app::win32
