#pragma once

namespace app {

// Makes the toolkit's event processing the message pump: ProcessMessages
// runs Qt's pending events and the waiting main-thread calls, and a call
// queued from another thread wakes Qt's own loop (a modal dialog's too).
void InstallMessagePump();
void RemoveMessagePump();

}  // namespace app
