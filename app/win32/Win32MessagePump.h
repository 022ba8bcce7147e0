#pragma once
// The message pump over the Win32 message queue.
#include <windows.h>

#include "core/MessagePump.h"

namespace app::win32 {

// Keys the window takes before any control sees them (the keyboard
// paddle); answers whether the message was taken.
using TKeyFilter = bool (*)(const MSG& Message);

// ProcessMessages dispatches every queued message and the waiting
// main-thread calls; IdleWait blocks in MsgWaitForMultipleObjects, so input,
// a posted wake or the time running out ends it.
class TWin32MessagePump final : public core::IMessagePump {
 public:
  void ProcessMessages() override;
  void IdleWait(uint32_t Milliseconds) override;
};

// Dispatches one message, first through the key filter and the dialog
// keys of Window; answers false on WM_QUIT (which it posts again, so the
// outer loop ends too).
bool DispatchOne(const MSG& Message);

// Makes this pump the process-wide one; a call queued from another thread
// posts WakeMessage to Window (a modal loop dispatches it too).
void InstallMessagePump(HWND Window, UINT WakeMessage, TKeyFilter Filter);
void RemoveMessagePump();

}  // namespace app::win32
