#include "serial/ThreadPriority.h"

#include <windows.h>

namespace serial {

void RaiseThreadPriority() {
  // Below the audio thread (time-critical): a buffer must never wait for a
  // line event.
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
}

}  // namespace serial
