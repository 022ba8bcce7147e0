#pragma once
// The message pump over Qt's event processing.
#include <memory>

#include "core/MessagePump.h"

class QTimer;

namespace app::qt {

// ProcessMessages runs Qt's pending events and the waiting main-thread
// calls; IdleWait blocks in Qt's event dispatcher, so a key press, a queued
// main-thread call (whose wake posts a Qt event) or the time running out
// ends it.
class TQtMessagePump final : public core::IMessagePump {
 public:
  TQtMessagePump();
  ~TQtMessagePump() override;
  void ProcessMessages() override;
  void IdleWait(uint32_t Milliseconds) override;

 private:
  // The idle wait has just run Qt's events: the pump point right after it
  // runs only the main-thread calls, so an element a paddle event asked
  // for is queued before the window repaints what that event changed.
  bool FJustPumped = false;
  // One timer for every idle wait: making and destroying a timer object
  // 200 times a second was a good part of the idle loop's cost.
  std::unique_ptr<QTimer> FLimit;
};

// Makes Qt's event processing the process-wide message pump, and a call
// queued from another thread wake Qt's own loop (a modal dialog's too).
void InstallMessagePump();
void RemoveMessagePump();

}  // namespace app::qt
