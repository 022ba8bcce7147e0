#include "core/MessagePump.h"

#include "core/MainThread.h"

namespace core {

void TMainThreadPump::ProcessMessages() {
  core::ProcessMessages();
}

void TMainThreadPump::IdleWait(uint32_t Milliseconds) {
  MainThread::WaitForCalls(Milliseconds);
}

}  // namespace core
